// What the font files share beyond the module's interface.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fonts/cmap.h"

namespace tavrik {

inline constexpr std::uint32_t MAX_CODE_POINT = 0x10FFFF;
inline constexpr std::size_t MAP_TEXT_MAX = MAP_TEXT_BYTES - 1;   // text bytes before the NUL
inline constexpr std::size_t GLYPH_NAME_MAX = 63;
// Decoded codes are one or two bytes wide, so the range index covers 0 to 0xFFFF.
inline constexpr std::uint32_t RANGE_INDEX_CODES = 0x10000;

}  // namespace tavrik
