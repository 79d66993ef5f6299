// Stream decoding on arbitrary input: the first byte gives how many of the following
// bytes form the dictionary text, the rest is the stream data. The lexer's value
// skipping and string readers also walk the raw input.
// Run: stream_fuzz -rss_limit_mb=1024 -timeout=2 -max_total_time=60
#include "pdf_parse.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void walk_values(tavrik::byte_view d)
{
    std::array<char, tavrik::TITLE_BYTES> text{};
    std::array<std::uint8_t, tavrik::RAW_STRING_BYTES> raw{};
    const auto n = static_cast<std::int64_t>(d.size());
    std::int64_t pos = 0;
    while (pos < n) {
        std::int64_t p = tavrik::rd_skip_ws(d, pos);
        if (p >= n) break;
        std::int64_t q = p;
        (void)tavrik::rd_string(d, q, text.data(), text.size());
        q = p;
        (void)tavrik::rd_raw_literal(d, q, raw.data());
        q = p;
        (void)tavrik::rd_raw_hex(d, q, raw.data());
        q = p;
        std::int64_t obj = 0;
        (void)tavrik::rd_ref(d, q, obj);
        if (tavrik::dict_start(d, p) != 0) {
            std::int64_t value = 0;
            (void)tavrik::dict_find(d, p, "type", value);
            (void)tavrik::dict_end(d, p);
        }
        const std::int64_t before = pos;
        tavrik::rd_skip_value(d, pos);
        if (pos <= before) __builtin_trap();   // skipping must always advance
        if (pos > n) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    const std::size_t dict_len = data[0] < size - 1 ? data[0] : size - 1;
    const std::string_view dict(reinterpret_cast<const char*>(data + 1), dict_len);
    const std::string_view body(reinterpret_cast<const char*>(data + 1 + dict_len), size - 1 - dict_len);

    walk_values(tavrik::byte_view(data, size));

    tavrik::ppdf_ctx ctx;
    const std::string_view head = "<<";
    const std::string_view mid = ">>stream\n";
    const std::string_view tail = "\nendstream\n";
    for (const auto part : {head, dict, mid, body, tail}) ctx.buf.insert(ctx.buf.end(), part.begin(), part.end());
    ctx.len = ctx.buf.size();
    ctx.buf.push_back(0);
    const auto out = tavrik::stream_decode(ctx, 0);
    if (out && out->size() > tavrik::MAX_DECODED_BYTES) __builtin_trap();
    return 0;
}
