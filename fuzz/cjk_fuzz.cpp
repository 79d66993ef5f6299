// Shown strings through the predefined CJK CMaps: the first byte picks the CMap,
// the rest is split into codes of one to four bytes and decoded.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fonts/font_internal.h"
#include "fonts/generated/cjk_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) return 0;
    static constexpr std::string_view unicode[] = {"UniJIS-UCS2-H", "UniGB-UTF16-H", "UniKS-UTF8-H", "UniCNS-UTF32-V"};
    const std::size_t pick = data[0] % (tavrik::tables::g_cjk_cmaps.size() + 4);
    const std::string_view name =
        pick < 4 ? unicode[pick] : tavrik::tables::g_cjk_cmaps[pick - 4].name;
    tavrik::pdf_font font;
    font.code_bytes = 2;
    if (!tavrik::pf_use_predefined_cmap(font, name)) __builtin_trap();
    font.has_map = 1;
    tavrik::pf_finalize(&font);
    char out[128];
    (void)tavrik::pf_decode(&font, data + 1, size - 1, out, sizeof out);
    (void)tavrik::pf_decode(&font, data + 1, size - 1, out, 7);
    // The code lengths always step forward and never past the end.
    for (std::size_t pos = 1; pos < size;) {
        const tavrik::pf_code c = tavrik::pf_next_code(&font, data, size, pos);
        if (c.len == 0 || c.len > size - pos) __builtin_trap();
        pos += c.len;
    }
    return 0;
}
