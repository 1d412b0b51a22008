#pragma once

#include <QList>

namespace snapvel {

// A stored block: its data is aligned to a byte boundary, wherever its
// header ends.
struct StoredBlock
{
    qint64 headerEndBit = 0; // just past its three header bits
    qint64 lengthByte = 0;   // its length, the length's complement, then the data
    qint64 length = 0;
};

// What a walk through a raw deflate stream found.
struct DeflateWalk
{
    bool ok = false;           // false: the stream is damaged or ran past its end
    qint64 finalBlockBit = -1; // where the final block's header starts
    qint64 endBit = -1;        // just past the final block's end code
    qint64 produced = 0;       // bytes the walked blocks inflate to
    QList<StoredBlock> stored; // in the order they come
};

// Walks the blocks of a raw deflate stream from bit `fromBit` of `data`
// (bits counted from the least significant of each byte, as deflate packs
// them) to the end of its final block, reading every code but writing no
// byte: several times faster than inflating, for finding where the blocks
// are. `history` is how many bytes the stream had inflated to before
// `fromBit`, for checking how far back its matches reach; a stream that
// would inflate to more than `limit` bytes is refused.
DeflateWalk walkDeflate(const uchar *data, qsizetype size, qint64 fromBit, qint64 history,
                        qint64 limit);

} // namespace snapvel
