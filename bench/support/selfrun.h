#pragma once

#include <QList>
#include <QStringList>

namespace snapvel::bench {

// Runs this benchmark program again as `program --run ARGUMENTS...`, so that
// each measurement has a fresh process (and its own peak memory), and
// returns the words it printed; empty when it failed.
QStringList runSelf(const QStringList &arguments);

// The median of the values; -1 when there are none.
double median(QList<double> values);

} // namespace snapvel::bench
