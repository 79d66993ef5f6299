// ToUnicode CMap programs: parse, finalize, then decode a few strings through the
// font in both code widths.
#include <cstddef>
#include <cstdint>

#include "fonts/cmap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tavrik::pdf_font font;
    tavrik::pf_parse_tounicode(&font, data, size);
    tavrik::pf_finalize(&font);

    // The first bytes of the input double as a shown string, so that codes the CMap
    // mentions are likely to be looked up.
    char out[64];
    const std::size_t n = size < 48 ? size : 48;
    (void)tavrik::pf_decode(&font, data, n, out, sizeof out);
    (void)tavrik::pf_decode(&font, data, n, out, 9);
    const std::uint8_t probe[] = {0x00, 0x00, 0x00, 0x01, 0x41, 0xFF, 0xFF, 0x80};
    (void)tavrik::pf_decode(&font, probe, sizeof probe, out, sizeof out);
    font.code_bytes = font.code_bytes == 1 ? 2 : 1;
    (void)tavrik::pf_decode(&font, data, n, out, sizeof out);
    (void)tavrik::pf_decode(nullptr, data, n, out, sizeof out);
    return 0;
}
