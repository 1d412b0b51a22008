// Walks arbitrary bytes as a raw deflate stream and holds the walk to what
// zlib makes of the same bytes: where zlib inflates a whole stream, the walk
// must end where zlib's inflating ends, with as many bytes inflated; where
// zlib finds the stream damaged, cut short or too long, the walk must not
// take it as whole. A joined picture relies on both agreeing.

#include "fuzzcheck.h"
#include "snapshot/deflatewalk.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr qint64 limit = 1 << 20;
    static std::vector<Bytef> out(limit);
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK)
        return 0;
    stream.next_in = const_cast<Bytef *>(data);
    stream.avail_in = uInt(size);
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    const int status = inflate(&stream, Z_FINISH);
    const qint64 consumed = qint64(stream.total_in);
    const qint64 produced = qint64(stream.total_out);
    inflateEnd(&stream);

    const snapvel::DeflateWalk walk = snapvel::walkDeflate(data, qsizetype(size), 0, 0, limit);
    if (status == Z_STREAM_END) {
        FUZZ_CHECK(walk.ok);
        FUZZ_CHECK(walk.produced == produced);
        FUZZ_CHECK((walk.endBit + 7) / 8 == consumed);
        FUZZ_CHECK(walk.finalBlockBit >= 0 && walk.finalBlockBit < walk.endBit);
    } else {
        FUZZ_CHECK(!walk.ok);
    }
    return 0;
}
