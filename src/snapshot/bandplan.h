#pragma once

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>

namespace snapvel {

// The most memory one band's decoded picture may take.
inline constexpr qint64 kMaxBandBytes = qint64(256) * 1024 * 1024;

// One band of a page to paint: its rectangle in CSS pixels, and the rows of
// the picture it fills (its top and height times the device scale).
struct Band
{
    QRect clip;
    int pixelTop = 0;
    int pixelHeight = 0;

    friend bool operator==(const Band &, const Band &) = default;
};

// Splits an area into bands painted one after another. An area no taller
// than one band is painted at once; a taller one in as few bands of equal
// height as fit. A band is at most preferredHeight tall and its decoded
// picture at most kMaxBandBytes; the bands cover the area's rows exactly.
QList<Band> planBands(QSize area, qreal scale, int preferredHeight);

// What can be wrong with a band the browser painted, in words.
QString unreadableBand();
QString bandSizeMismatch(QSize painted, QSize asked);

} // namespace snapvel
