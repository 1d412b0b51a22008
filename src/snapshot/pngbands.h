#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSize>
#include <QString>

namespace snapvel {

// Joins the browser's PNG pictures of a page's bands into one PNG file
// without decoding their pixels into an image. A band's first row is made
// independent of the row above it (the last of the band before): the first
// blocks of its compressed rows are inflated, mended and compressed again,
// and the rest of its blocks are taken over as they are, walked but not
// inflated. A band too short for that is inflated and compressed again
// whole, in slices on several threads. The picture is 8-bit RGB; a band in
// any other form is decoded and converted instead.
//
// Bands may be added in any order and from several threads at once.
class PngBandJoiner
{
public:
    // A picture of `size` pixels made of `bands` bands.
    PngBandJoiner(QSize size, int bands);

    // Adds band `index`, which covers `rows` rows of the picture from row
    // `top`. A band a row short of that (rounding at a fractional scale)
    // repeats its last row. Returns why the band cannot be used, or nothing;
    // *last tells whether it completed the picture (for exactly one band).
    QString addBand(int index, int top, int rows, const QByteArray &png, bool *last = nullptr);

    // The whole file, once every band has been added (empty before, and
    // after the first call); the bands' pieces are let go.
    QByteArray take();

    // How many bands were long enough for their compressed rows to be
    // taken over as they came, past their first blocks.
    int bandsTakenOver() const;

private:
    struct Piece
    {
        QByteArray chunks; // IDAT chunks holding this band's compressed rows
        quint32 adler = 1; // checksum of its uncompressed rows
        qint64 length = 0; // bytes of its uncompressed rows
    };

    QSize m_size;
    mutable QMutex m_mutex;
    QList<Piece> m_pieces;
    QList<bool> m_added;
    int m_missing = 0;
    int m_takenOver = 0;
    bool m_taken = false;
};

} // namespace snapvel
