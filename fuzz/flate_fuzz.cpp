// libFuzzer target for the raw DEFLATE decoder. Without an oracle it checks that
// results are deterministic and that the capacity answers agree with each other;
// with zlib (TAVRIK_HAVE_ZLIB) every stream zlib accepts must decode the same.
#include "flate.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#if TAVRIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

constexpr std::size_t MAX_OUT_BYTES = std::size_t{4} << 20;

void check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using tavrik::inflate_stop;
    const std::size_t cap = std::min(3 * size + 65536, MAX_OUT_BYTES);
    // Exactly sized copies, so that ASan sees any read or write past either end.
    std::vector<std::uint8_t> in(data, data + size);
    std::vector<std::uint8_t> out1(cap);
    std::vector<std::uint8_t> out2(cap);

    inflate_stop why1 = inflate_stop::none;
    inflate_stop why2 = inflate_stop::none;
    const std::int64_t r1 = tavrik::sx_inflate_ex(in.data(), in.size(), out1.data(), cap, &why1);
    const std::int64_t r2 = tavrik::sx_inflate_ex(in.data(), in.size(), out2.data(), cap, &why2);
    check(r1 == r2 && why1 == why2);
    check((r1 >= 0) == (why1 == inflate_stop::none));
    if (r1 > 0) {
        const auto n = static_cast<std::size_t>(r1);
        check(std::memcmp(out1.data(), out2.data(), n) == 0);
        // Exactly the room needed is enough; one byte less is out_full.
        std::vector<std::uint8_t> exact(n);
        check(tavrik::sx_inflate_ex(in.data(), in.size(), exact.data(), n, &why2) == r1);
        check(std::memcmp(exact.data(), out1.data(), n) == 0);
        std::vector<std::uint8_t> short_by_one(n - 1);
        check(tavrik::sx_inflate_ex(in.data(), in.size(), short_by_one.data(), n - 1, &why2) == -1);
        check(why2 == inflate_stop::out_full);
    }
    if (r1 < 0 && why1 == inflate_stop::bad_data) {
        // Bad data stays bad with less room.
        check(tavrik::sx_inflate_ex(in.data(), in.size(), out2.data(), cap / 2, &why2) == -1);
    }

#if TAVRIK_HAVE_ZLIB
    // zlib is stricter (it refuses incomplete codes), so only its successes bind.
    z_stream z{};
    if (inflateInit2(&z, -15) == Z_OK) {
        std::vector<std::uint8_t> ref(cap);
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = ref.data();
        z.avail_out = static_cast<uInt>(ref.size());
        const int zr = inflate(&z, Z_FINISH);
        const std::size_t ref_len = ref.size() - z.avail_out;
        inflateEnd(&z);
        if (zr == Z_STREAM_END) {
            check(r1 == static_cast<std::int64_t>(ref_len));
            check(std::memcmp(out1.data(), ref.data(), ref_len) == 0);
        }
    }
#endif
    return 0;
}
