// Differences array contents: parse, finalize, then decode the input through the font.
#include <cstddef>
#include <cstdint>

#include "fonts/cmap.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tavrik::pdf_font font;
    tavrik::pf_parse_differences(&font, data, size);
    tavrik::pf_finalize(&font);

    char out[32];
    const std::size_t n = size < 64 ? size : 64;
    (void)tavrik::pf_decode(&font, data, n, out, sizeof out);
    font.code_bytes = 2;
    (void)tavrik::pf_decode(&font, data, n, out, sizeof out);
    return 0;
}
