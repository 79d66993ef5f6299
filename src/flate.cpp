// STUB: replaced by the DEFLATE decoder.
#include "flate.h"
namespace tavrik {
std::int64_t sx_inflate_ex(const std::uint8_t*, std::uint64_t, std::uint8_t*, std::uint64_t, inflate_stop* why) noexcept
{ if (why) *why = inflate_stop::bad_data; return -1; }
std::int64_t sx_inflate(const std::uint8_t* in, std::uint64_t n, std::uint8_t* out, std::uint64_t cap) noexcept
{ return sx_inflate_ex(in, n, out, cap, nullptr); }
}
