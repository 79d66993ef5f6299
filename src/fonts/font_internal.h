// What the font files share beyond the module's interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "fonts/cmap.h"

namespace tavrik {

inline constexpr std::uint32_t MAX_CODE_POINT = 0x10FFFF;
inline constexpr std::size_t MAP_TEXT_MAX = MAP_TEXT_BYTES - 1;   // text bytes before the NUL
inline constexpr std::size_t GLYPH_NAME_MAX = 63;
// Decoded codes are one or two bytes wide, so the range index covers 0 to 0xFFFF.
inline constexpr std::uint32_t RANGE_INDEX_CODES = 0x10000;
inline constexpr std::size_t MAX_GLYPHS = 65536;                  // glyph ids and CIDs are 16-bit

// ---- glyph names (glyph_names.cpp) -------------------------------------------
// The text of a code point as decoding gives it; the Latin ligatures as their letters.
std::size_t cp_text(std::uint32_t cp, char (&out)[MAP_TEXT_BYTES]) noexcept;
// The text of a glyph name: its code point, or the parts of a ligature name.
std::size_t glyph_text(std::string_view name, char (&out)[MAP_TEXT_BYTES]) noexcept;
// One code point for a glyph name, for tables of code points: a ligature named by
// its parts (f_i) as the ligature's code point where Unicode has one.
[[nodiscard]] std::uint32_t glyph_code_point(std::string_view name) noexcept;

// ---- single-byte encodings (encodings.cpp) -------------------------------------
using simple_encoding = std::array<std::uint32_t, 256>;
// /WinAnsiEncoding, /MacRomanEncoding, /StandardEncoding, /MacExpertEncoding,
// /PDFDocEncoding; false for any other name.
[[nodiscard]] bool named_encoding(std::string_view name, simple_encoding& out) noexcept;
enum class standard_font { none, text, symbol, dingbats };
// The standard fonts every reader has, by BaseFont (a subset prefix is passed over).
[[nodiscard]] standard_font standard_font_of(std::string_view base_font) noexcept;
// The built-in encoding of a standard font; false for none.
[[nodiscard]] bool standard_font_encoding(standard_font kind, simple_encoding& out) noexcept;
// StandardEncoding's code of each of the 256 codes.
[[nodiscard]] const simple_encoding& standard_encoding() noexcept;

// ---- predefined CJK CMaps (cjk.cpp) --------------------------------------------
struct cjk_cid_range {
    std::uint32_t lo;
    std::uint32_t hi;
    std::uint32_t cid;   // the CID of lo
};
struct cjk_cmap {
    std::vector<pf_codespace> codespace;
    std::vector<cjk_cid_range> ranges;   // ascending, not overlapping
    std::size_t collection = 0;
};
struct cjk_collection {
    std::vector<std::uint32_t> cid_cps;   // code point by CID, 0: none
    std::vector<cjk_cmap> cmaps;
};
// Adobe-Japan1, -GB1, -CNS1, -Korea1 by ordering; -1 for others.
[[nodiscard]] int cjk_collection_index(std::string_view ordering) noexcept;
// The collection's tables, read on first use; null when they cannot be had.
[[nodiscard]] const cjk_collection* cjk_collection_get(std::size_t index) noexcept;
// Sets the font's codes, code space and CID tables from a predefined CMap name;
// false (and nothing changed) for a name that is not one.
bool pf_use_predefined_cmap(pdf_font& font, std::string_view name);
// The CID of code, 0 when the CMap does not map it.
[[nodiscard]] std::uint32_t cjk_cid(const cjk_cmap& cmap, std::uint32_t code) noexcept;

// ---- embedded font programs (type1.cpp, cff.cpp, truetype.cpp) ----------------
struct font_program {
    // The encoding the program declares (Type 1, CFF), as code points by code.
    bool has_builtin = false;
    simple_encoding builtin{};
    // Code points by glyph id (CFF names, TrueType cmap and post), 0: none.
    std::vector<std::uint32_t> glyph_cps;
    // TrueType: the glyphs of the 256 codes through the (3,0) and (1,0) cmaps.
    bool has_symbol_cmap = false;
    bool has_mac_cmap = false;
    bool has_unicode_cmap = false;
    std::array<std::uint16_t, 256> symbol_gids{};
    std::array<std::uint16_t, 256> mac_gids{};
};
inline constexpr std::size_t MAX_FONT_PROGRAM_BYTES = std::size_t{32} << 20;
inline constexpr std::size_t MAX_CACHED_PROGRAMS = 256;   // per document
[[nodiscard]] std::shared_ptr<const font_program> read_type1_program(std::span<const std::uint8_t> data);
// The same, and whether the reading settled: it stopped on a token that a byte after
// it ends, so any data that starts with these bytes reads the same.
[[nodiscard]] std::shared_ptr<const font_program> read_type1_clear(std::span<const std::uint8_t> data, bool& settled);
[[nodiscard]] std::shared_ptr<const font_program> read_cff_program(std::span<const std::uint8_t> data);
[[nodiscard]] std::shared_ptr<const font_program> read_truetype_program(std::span<const std::uint8_t> data);

}  // namespace tavrik
