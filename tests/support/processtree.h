#pragma once

#include <QList>
#include <QString>

namespace snapvel::test {

// The processes below `root` (children, grandchildren...) whose command line
// contains `argument`, e.g. "--type=renderer" for Chromium's renderers.
QList<qint64> descendantsWith(qint64 root, const QString &argument);

// Kills every renderer below Chromium's process at once, as a crash would;
// returns how many there were.
int killRenderers(qint64 chromium);

} // namespace snapvel::test
