// Raw DEFLATE (RFC 1951) into a caller's buffer of fixed capacity.
#pragma once

#include <cstdint>

namespace tavrik {

// Why an inflation stopped short.
enum class inflate_stop {
    none,       // success
    bad_data,   // a flaw in the data or the end of input: retrying cannot help
    out_full,   // the data were fine so far but the output did not fit
};

// Decodes in_len bytes of raw DEFLATE data into out (out_cap bytes). Returns the
// number of bytes written once a final block is complete, or -1 on any failure; the
// contents of out are then unspecified. Safe to call from several threads at once.
[[nodiscard]] std::int64_t sx_inflate(const std::uint8_t* in, std::uint64_t in_len, std::uint8_t* out,
                                      std::uint64_t out_cap) noexcept;

// The same, telling in why_out whether a failure was bad data or a full output,
// and in written_out how many bytes of out were written, whatever the outcome.
[[nodiscard]] std::int64_t sx_inflate_ex(const std::uint8_t* in, std::uint64_t in_len, std::uint8_t* out,
                                         std::uint64_t out_cap, inflate_stop* why_out,
                                         std::uint64_t* written_out = nullptr) noexcept;

}  // namespace tavrik
