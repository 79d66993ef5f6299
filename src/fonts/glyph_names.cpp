// Glyph names to Unicode, and Differences arrays that give codes glyph names.
#include "fonts/cmap.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "fonts/font_internal.h"
#include "pdf_parse.h"

namespace tavrik {
namespace {

// ---- glyph names ---------------------------------------------------------------
struct agl_entry {
    std::string_view name;   // its length is known, so most comparisons end at once
    std::uint32_t cp;
};

// clang-format off
constexpr std::array<agl_entry, 84> g_agl = {{
    {"space", 0x0020}, {"exclam", 0x0021}, {"quotedbl", 0x0022}, {"numbersign", 0x0023},
    {"dollar", 0x0024}, {"percent", 0x0025}, {"ampersand", 0x0026}, {"quotesingle", 0x0027},
    {"quoteright", 0x2019}, {"quoteleft", 0x2018}, {"parenleft", 0x0028}, {"parenright", 0x0029},
    {"asterisk", 0x002A}, {"plus", 0x002B}, {"comma", 0x002C}, {"hyphen", 0x002D},
    {"period", 0x002E}, {"slash", 0x002F}, {"zero", 0x0030}, {"one", 0x0031},
    {"two", 0x0032}, {"three", 0x0033}, {"four", 0x0034}, {"five", 0x0035},
    {"six", 0x0036}, {"seven", 0x0037}, {"eight", 0x0038}, {"nine", 0x0039},
    {"colon", 0x003A}, {"semicolon", 0x003B}, {"less", 0x003C}, {"equal", 0x003D},
    {"greater", 0x003E}, {"question", 0x003F}, {"at", 0x0040}, {"bracketleft", 0x005B},
    {"backslash", 0x005C}, {"bracketright", 0x005D}, {"asciicircum", 0x005E}, {"underscore", 0x005F},
    {"grave", 0x0060}, {"braceleft", 0x007B}, {"bar", 0x007C}, {"braceright", 0x007D},
    {"asciitilde", 0x007E}, {"quotedblleft", 0x201C}, {"quotedblright", 0x201D}, {"endash", 0x2013},
    {"emdash", 0x2014}, {"bullet", 0x2022}, {"ellipsis", 0x2026}, {"dagger", 0x2020},
    {"trademark", 0x2122}, {"copyright", 0x00A9}, {"registered", 0x00AE}, {"degree", 0x00B0},
    {"sterling", 0x00A3}, {"yen", 0x00A5}, {"euro", 0x20AC}, {"cent", 0x00A2},
    {"section", 0x00A7}, {"paragraph", 0x00B6}, {"germandbls", 0x00DF}, {"adieresis", 0x00E4},
    {"odieresis", 0x00F6}, {"udieresis", 0x00FC}, {"Adieresis", 0x00C4}, {"Odieresis", 0x00D6},
    {"Udieresis", 0x00DC}, {"aacute", 0x00E1}, {"eacute", 0x00E9}, {"iacute", 0x00ED},
    {"oacute", 0x00F3}, {"uacute", 0x00FA}, {"ntilde", 0x00F1}, {"ccedilla", 0x00E7},
    {"agrave", 0x00E0}, {"egrave", 0x00E8}, {"ugrave", 0x00F9}, {"acircumflex", 0x00E2},
    {"ecircumflex", 0x00EA}, {"ocircumflex", 0x00F4}, {"fi", 0xFB01}, {"fl", 0xFB02},
}};
// clang-format on

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
        const std::uint32_t cp = glyph_to_cp(name);
        if (cp != 0 && code <= UINT32_MAX && mapped.count(static_cast<std::uint32_t>(code)) == 0) {
            char utf8[MAP_TEXT_BYTES];
            const std::size_t n = cm_utf8(utf8, 0, MAP_TEXT_BYTES, cp);
            if (n > 0) {
                utf8[n] = '\0';
                const std::size_t before = font->chars.size();
                pf_set_char(*font, static_cast<std::uint32_t>(code), std::string_view(utf8, n));
                if (font->chars.size() != before) mapped.insert(static_cast<std::uint32_t>(code));
            }
        }
        ++code;
    }
}

std::uint32_t glyph_to_cp(std::string_view name) noexcept
{
    if (name.empty()) return 0;
    if (name.size() == 1) {
        const auto b = static_cast<std::uint8_t>(name[0]);
        return b >= 0x20 && b <= 0x7E ? b : 0;
    }
    for (const agl_entry& e : g_agl) {
        if (name == e.name) return e.cp;
    }
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
