// Glyph names to Unicode, and Differences arrays that give codes glyph names.
#include "fonts/cmap.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#include "fonts/font_internal.h"
#include "fonts/generated/glyph_list.h"
#include "pdf_parse.h"

namespace tavrik {
namespace {

// ---- glyph names ---------------------------------------------------------------
std::string_view glyph_list_name(std::size_t i) noexcept
{
    const std::size_t at = tables::g_glyph_name_at[i];
    return {tables::g_glyph_name_text + at, tables::g_glyph_name_at[i + 1] - at - 1};
}

// Bisection over the names, which the generator sorted by bytes.
std::uint32_t glyph_list_find(std::string_view name) noexcept
{
    std::size_t lo = 0;
    std::size_t hi = tables::GLYPH_LIST_NAMES;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const int c = glyph_list_name(mid).compare(name);
        if (c == 0) return tables::g_glyph_cp[mid];
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return 0;
}

constexpr bool glyph_delim(std::uint8_t c) noexcept
{
    return c == '/' || c == '[' || c == ']' || c == '<' || c == '>' || c == '(' || c == ')' || c == '{' ||
           c == '}' || c == '%';
}

// Hex digits of text as one value, or -1 when one is not a hex digit.
std::int64_t hex_run(std::string_view text) noexcept
{
    std::int64_t v = 0;
    for (const char ch : text) {
        const int d = hex_value(static_cast<std::uint8_t>(ch));
        if (d < 0) return -1;
        v = v << 4 | d;
    }
    return v;
}

}  // namespace

void pf_parse_differences(pdf_font* font, const std::uint8_t* text, std::size_t len)
{
    if (font == nullptr || text == nullptr || len == 0) return;
    std::unordered_set<std::uint32_t> mapped;   // codes with a single mapping: the first name stays
    for (const pf_char& c : font->chars) mapped.insert(c.code);
    // A number saturates at 0xFFFFFFFF instead of wrapping; the current code is kept
    // wide, and names past 0xFFFFFFFF map nothing rather than wrapping onto code 0.
    std::uint64_t code = 0;
    std::size_t i = 0;
    while (i < len) {
        const std::uint8_t c = text[i];
        if (is_digit(c)) {
            std::uint64_t v = 0;
            while (i < len && is_digit(text[i])) {
                v = std::min<std::uint64_t>(v * 10 + (text[i] - '0'), UINT32_MAX);
                ++i;
            }
            code = v;
            continue;
        }
        if (c != '/') {
            ++i;
            continue;
        }
        const std::size_t start = ++i;
        while (i < len && text[i] != 0 && !is_c_space(text[i]) && !glyph_delim(text[i])) ++i;
        const std::string_view name(reinterpret_cast<const char*>(text) + start, std::min(i - start, GLYPH_NAME_MAX));
        char utf8[MAP_TEXT_BYTES];
        const std::size_t n = glyph_text(name, utf8);
        if (code <= UINT32_MAX && font->simple_cps && code < font->simple_cps->size() &&
            mapped.count(static_cast<std::uint32_t>(code)) == 0)
            (*font->simple_cps)[code] = 0;   // the name replaces the base encoding's glyph
        if (n > 0 && code <= UINT32_MAX && mapped.count(static_cast<std::uint32_t>(code)) == 0) {
            const std::size_t before = font->chars.size();
            pf_set_char(*font, static_cast<std::uint32_t>(code), std::string_view(utf8, n));
            if (font->chars.size() != before) mapped.insert(static_cast<std::uint32_t>(code));
        }
        ++code;
    }
}

std::size_t cp_text(std::uint32_t cp, char (&out)[MAP_TEXT_BYTES]) noexcept
{
    // The Latin ligatures read as their letters: a name is searched and compared
    // as the words it spells, whatever glyph the typesetter chose.
    static constexpr std::array<std::string_view, 7> ligatures = {"ff", "fi", "fl", "ffi", "ffl", "st", "st"};
    std::size_t n = 0;
    if (cp >= 0xFB00 && cp <= 0xFB06) {
        const std::string_view l = ligatures[cp - 0xFB00];
        std::memcpy(out, l.data(), l.size());
        n = l.size();
    } else {
        n = cm_utf8(out, 0, MAP_TEXT_BYTES, cp);
    }
    out[n] = '\0';
    return n;
}

std::size_t glyph_text(std::string_view name, char (&out)[MAP_TEXT_BYTES]) noexcept
{
    out[0] = '\0';
    const std::size_t underscore = name.find('_');
    if (underscore == std::string_view::npos || underscore == 0) return cp_text(glyph_to_cp(name), out);
    // A ligature named by its parts (f_f_i, T_h): the text of each part in turn,
    // provided every part resolves. A suffix after a "." belongs to the whole name.
    const std::string_view whole = name.substr(0, std::min(name.find('.'), name.size()));
    std::size_t n = 0;
    std::size_t start = 0;
    while (start <= whole.size()) {
        std::size_t end = whole.find('_', start);
        if (end == std::string_view::npos) end = whole.size();
        char part[MAP_TEXT_BYTES];
        const std::size_t len = cp_text(glyph_to_cp(whole.substr(start, end - start)), part);
        if (len == 0 || n + len >= MAP_TEXT_BYTES) {
            out[0] = '\0';
            return 0;
        }
        std::memcpy(out + n, part, len);
        n += len;
        start = end + 1;
    }
    out[n] = '\0';
    return n;
}

std::uint32_t glyph_code_point(std::string_view name) noexcept
{
    name = name.substr(0, std::min(name.size(), GLYPH_NAME_MAX));
    if (name.find('_') == std::string_view::npos || name[0] == '_') return glyph_to_cp(name);
    const std::string_view whole = name.substr(0, std::min(name.find('.'), name.size()));
    static constexpr std::array<std::string_view, 5> parts = {"f_f", "f_i", "f_l", "f_f_i", "f_f_l"};
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (whole == parts[i]) return 0xFB00 + static_cast<std::uint32_t>(i);
    }
    return 0;
}

std::uint32_t glyph_to_cp(std::string_view name) noexcept
{
    if (name.empty()) return 0;
    if (name.size() == 1) {
        const auto b = static_cast<std::uint8_t>(name[0]);
        return b >= 0x20 && b <= 0x7E ? b : 0;
    }
    if (const std::uint32_t cp = glyph_list_find(name)) return cp;
    if (name.size() >= 7 && name.substr(0, 3) == "uni") {   // uniXXXX, suffix ignored
        const std::int64_t v = hex_run(name.substr(3, 4));
        return v < 0 ? 0 : static_cast<std::uint32_t>(v);
    }
    if (name.size() >= 5 && name.size() <= 7 && name[0] == 'u') {   // uXXXX to uXXXXXX
        const std::int64_t v = hex_run(name.substr(1));
        return v < 0 ? 0 : static_cast<std::uint32_t>(v);
    }
    const std::size_t dot = name.find('.');
    if (dot != std::string_view::npos && dot > 0 && dot <= GLYPH_NAME_MAX) return glyph_to_cp(name.substr(0, dot));
    return 0;
}

}  // namespace tavrik
