// STUB: replaced by the font table and character mapping.
#include "cmap.h"
namespace tavrik {
void fm_init(font_map& map) noexcept { map.list.clear(); }
void fm_clear(font_map& map) noexcept { map.list.clear(); }
void fm_free(font_map& map) noexcept { map.list.clear(); map.list.shrink_to_fit(); }
pdf_font* fm_find(font_map&, std::string_view) noexcept { return nullptr; }
pdf_font* fm_add(font_map&, std::string_view) { return nullptr; }
void pf_set_char(pdf_font&, std::uint32_t, std::string_view) {}
void pf_add_range(pdf_font&, std::uint32_t, std::uint32_t, std::int32_t, std::unique_ptr<char[]>) {}
void pf_finalize(pdf_font*) {}
std::size_t cm_utf8(char*, std::size_t pos, std::size_t, std::uint32_t) noexcept { return pos; }
void pf_parse_tounicode(pdf_font*, const std::uint8_t*, std::size_t) {}
void pf_parse_differences(pdf_font*, const std::uint8_t*, std::size_t) {}
std::uint32_t glyph_to_cp(std::string_view) noexcept { return 0; }
std::size_t pf_decode(const pdf_font*, const std::uint8_t*, std::size_t, char* out, std::size_t cap) noexcept
{ if (cap) out[0] = 0; return 0; }
}
