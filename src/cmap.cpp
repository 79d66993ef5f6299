// Fonts and character mapping: the per-page font table, ToUnicode CMaps,
// Differences arrays with glyph names, and the decoding of shown strings.
#include "cmap.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <unordered_set>

#include "pdf_parse.h"

namespace tavrik {
namespace {

// ---- capacities ------------------------------------------------------------
// Arrays grow by doubling from a first size; a doubling past the ceiling is refused,
// so the last size reached is the real limit.
constexpr std::size_t FONT_LIST_FIRST = 16;
constexpr std::size_t CHARS_FIRST = 64;
constexpr std::size_t CHARS_CEILING = 200000;
constexpr std::size_t RANGES_FIRST = 16;
constexpr std::size_t RANGES_CEILING = 100000;

constexpr std::size_t last_doubling(std::size_t first, std::size_t ceiling)
{
    std::size_t n = first;
    while (n * 2 <= ceiling) n *= 2;
    return n;
}
static_assert(last_doubling(CHARS_FIRST, CHARS_CEILING) == MAX_CHAR_MAPPINGS);
static_assert(last_doubling(RANGES_FIRST, RANGES_CEILING) == MAX_RANGE_MAPPINGS);

constexpr std::uint32_t MAX_CODE_POINT = 0x10FFFF;
constexpr std::size_t MAP_TEXT_MAX = MAP_TEXT_BYTES - 1;   // text bytes before the NUL
constexpr std::size_t GLYPH_NAME_MAX = 63;
// Decoded codes are one or two bytes wide, so the range index covers 0 to 0xFFFF.
constexpr std::uint32_t RANGE_INDEX_CODES = 0x10000;
constexpr std::size_t RANGE_INDEX_MIN_RANGES = 16;         // fewer are scanned directly
// Byte-wise decoding keeps room for the longest sequence and the NUL.
constexpr std::size_t BYTEWISE_ROOM = 4;

// ---- CMap tokenizer ----------------------------------------------------------
constexpr std::size_t CM_HEX_MAX = 64;
constexpr std::size_t CM_TEXT_BYTES = 128;                 // 127 bytes and NUL

enum cm_kind : std::int32_t { CM_END = 0, CM_HEX = 1, CM_WORD = 2, CM_OPEN = 3, CM_CLOSE = 4, CM_OTHER = 5 };

struct cm_lexer {
    const std::uint8_t* data;
    std::uint64_t len;
    std::uint64_t pos;   // next unread byte
};

struct cm_token {
    std::int32_t kind = CM_END;
    std::uint8_t bytes[CM_HEX_MAX] = {};   // hex string, nbytes of them
    std::uint64_t nbytes = 0;
    char text[CM_TEXT_BYTES] = {};         // word or name, NUL-terminated
};

constexpr bool cm_delim(std::uint8_t c) noexcept
{
    return c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' || c == '(' || c == ')' ||
           c == '/' || c == '%';
}

constexpr bool cm_word_start(std::uint8_t c) noexcept
{
    return is_alnum(c) || c == '+' || c == '-' || c == '.' || c == '_';
}

void cm_read_name(cm_lexer& lx, cm_token& t) noexcept
{
    std::size_t n = 0;
    while (lx.pos < lx.len) {
        const std::uint8_t c = lx.data[lx.pos];
        if (c == 0 || is_c_space(c) || cm_delim(c)) break;
        if (n < CM_TEXT_BYTES - 1) t.text[n++] = static_cast<char>(c);
        ++lx.pos;
    }
    t.text[n] = '\0';
}

// Only the fields a token kind uses are reset; the rest is never read.
std::int32_t cm_next(cm_lexer& lx, cm_token& t) noexcept
{
    t.kind = CM_END;
    t.nbytes = 0;
    t.text[0] = '\0';
    const std::uint8_t* d = lx.data;
    for (;;) {
        if (lx.pos >= lx.len) return CM_END;
        const std::uint8_t c = d[lx.pos];
        if (is_c_space(c)) {
            ++lx.pos;
        } else if (c == '%') {   // to the next line feed only: a CR alone does not end it
            while (lx.pos < lx.len && d[lx.pos] != '\n') ++lx.pos;
        } else {
            break;
        }
    }
    const std::uint8_t c = d[lx.pos++];
    switch (c) {
    case '<': {
        if (lx.pos < lx.len && d[lx.pos] == '<') {
            ++lx.pos;
            return t.kind = CM_OTHER;
        }
        int high = -1;
        while (lx.pos < lx.len) {
            const std::uint8_t b = d[lx.pos++];
            if (b == '>') break;
            const int v = hex_value(b);
            if (v < 0) continue;
            if (high < 0) {
                high = v;
                continue;
            }
            if (t.nbytes < CM_HEX_MAX) t.bytes[t.nbytes++] = static_cast<std::uint8_t>(high << 4 | v);
            high = -1;
        }
        if (high >= 0 && t.nbytes < CM_HEX_MAX) t.bytes[t.nbytes++] = static_cast<std::uint8_t>(high << 4);
        return t.kind = CM_HEX;
    }
    case '>':
        if (lx.pos < lx.len && d[lx.pos] == '>') ++lx.pos;
        return t.kind = CM_OTHER;
    case '[':
        return t.kind = CM_OPEN;
    case ']':
        return t.kind = CM_CLOSE;
    case '(': {
        std::uint64_t depth = 1;
        while (lx.pos < lx.len) {
            const std::uint8_t b = d[lx.pos++];
            if (b == '\\') {
                if (lx.pos < lx.len) ++lx.pos;
            } else if (b == '(') {
                ++depth;
            } else if (b == ')' && --depth == 0) {
                break;
            }
        }
        return t.kind = CM_OTHER;
    }
    case '/':
        cm_read_name(lx, t);
        return t.kind = CM_WORD;
    default:
        if (cm_word_start(c)) {
            --lx.pos;
            cm_read_name(lx, t);
            return t.kind = CM_WORD;
        }
        return t.kind = CM_OTHER;
    }
}

// Big-endian value of the first four bytes at most; an empty string is code 0.
std::uint32_t hex_code(const cm_token& t) noexcept
{
    std::uint32_t v = 0;
    for (std::uint64_t i = 0; i < t.nbytes && i < 4; ++i) v = v << 8 | t.bytes[i];
    return v;
}

// out has MAP_TEXT_BYTES bytes. BOMs and replacement characters carry no text.
void utf16be_to_utf8(const std::uint8_t* bytes, std::uint64_t n, char* out) noexcept
{
    std::size_t pos = 0;
    std::uint64_t i = 0;
    while (n - i >= 2) {
        std::uint32_t u = static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
        i += 2;
        if (u >= 0xD800 && u <= 0xDBFF && n - i >= 2) {
            const std::uint32_t low = static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        } else if (u == 0xFFFD || u == 0xFEFF) {
            continue;
        }
        pos = cm_utf8(out, pos, MAP_TEXT_BYTES, u);
    }
    out[pos] = '\0';
}

[[nodiscard]] bool is_word(const cm_token& t, const char* keyword) noexcept
{
    return std::strcmp(t.text, keyword) == 0;
}

// The sections below return false once the data has ended.

bool parse_codespace(cm_lexer& lx, cm_token& t, pdf_font& font) noexcept
{
    for (;;) {
        switch (cm_next(lx, t)) {
        case CM_END:
            return false;
        case CM_WORD:
            return true;
        case CM_HEX:
            if (t.nbytes > 0 && font.width_fixed == 0) {   // the first bound decides
                font.width_fixed = 1;
                font.code_bytes = t.nbytes == 1 ? 1 : 2;
            }
            break;
        default:
            break;
        }
    }
}

bool parse_bfchar(cm_lexer& lx, cm_token& t, pdf_font& font)
{
    for (;;) {
        std::int32_t k = cm_next(lx, t);
        if (k == CM_END) return false;
        if (k == CM_WORD) return true;
        if (k != CM_HEX) continue;
        const std::uint32_t code = hex_code(t);
        const bool wide = t.nbytes >= 2;
        k = cm_next(lx, t);
        if (k == CM_END) return false;
        if (k == CM_WORD) return true;
        if (k != CM_HEX) continue;   // the source is dropped
        char text[MAP_TEXT_BYTES];
        utf16be_to_utf8(t.bytes, t.nbytes, text);
        pf_set_char(font, code, text);
        if (font.width_fixed == 0 && wide) font.code_bytes = 2;
    }
}

// Collects the hex elements of an array destination up to its "]"; false at the end
// of the data, which still adds what was read.
bool parse_range_array(cm_lexer& lx, cm_token& t, pdf_font& font, std::uint32_t first, std::uint32_t last)
{
    if (last < first || last - first > MAX_ARRAY_RANGE_SPAN) {
        for (;;) {
            const std::int32_t k = cm_next(lx, t);
            if (k == CM_END) return false;
            if (k == CM_CLOSE) return true;
        }
    }
    // The block grows with the elements actually given rather than being sized for
    // the span up front: <0000> <FFFF> [] must not cost a megabyte per line.
    const std::uint64_t span = std::uint64_t{last} - first + 1;
    std::vector<char> block;
    std::uint64_t nslots = 0;
    bool ok = true;
    std::int32_t k;
    for (;;) {
        k = cm_next(lx, t);
        if (k == CM_END || k == CM_CLOSE) break;
        if (k != CM_HEX || !ok || nslots >= span) continue;
        try {
            block.resize(static_cast<std::size_t>(nslots + 1) * MAP_TEXT_BYTES);
        } catch (const std::bad_alloc&) {
            ok = false;
            continue;
        }
        utf16be_to_utf8(t.bytes, t.nbytes, block.data() + nslots * MAP_TEXT_BYTES);
        ++nslots;
    }
    if (ok) {
        std::unique_ptr<char[]> texts(new (std::nothrow) char[std::max<std::size_t>(block.size(), 1)]());
        if (texts) {
            if (!block.empty()) std::memcpy(texts.get(), block.data(), block.size());
            pf_add_range(font, first, last, 0, std::move(texts), nslots);
        }
    }
    return k != CM_END;
}

bool parse_bfrange(cm_lexer& lx, cm_token& t, pdf_font& font)
{
    for (;;) {
        std::int32_t k = cm_next(lx, t);
        if (k == CM_END) return false;
        if (k == CM_WORD) return true;
        if (k != CM_HEX) continue;
        const std::uint32_t first = hex_code(t);
        const bool wide = t.nbytes >= 2;
        k = cm_next(lx, t);
        if (k == CM_END) return false;
        if (k != CM_HEX) return true;   // a broken triple ends the section
        const std::uint32_t last = hex_code(t);
        if (font.width_fixed == 0 && wide) font.code_bytes = 2;
        k = cm_next(lx, t);
        switch (k) {
        case CM_END:
            return false;
        case CM_WORD:
            return true;
        case CM_HEX:
            if (t.nbytes == 2 && hex_code(t) != 0) {
                pf_add_range(font, first, last, static_cast<std::int32_t>(hex_code(t)), nullptr);
            } else {   // a text destination maps the first code only
                char text[MAP_TEXT_BYTES];
                utf16be_to_utf8(t.bytes, t.nbytes, text);
                pf_set_char(font, first, text);
            }
            break;
        case CM_OPEN:
            if (!parse_range_array(lx, t, font, first, last)) return false;
            break;
        default:
            break;   // the range is dropped
        }
    }
}

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

// ---- decoding ------------------------------------------------------------------
// Windows-1252 for bytes 0x80 to 0x9F, which no document means as C1 controls;
// 0 for the five bytes the code page leaves undefined.
constexpr std::array<std::uint16_t, 32> g_cp1252_80 = {{
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0, 0x017D, 0,
    0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178,
}};

std::uint32_t bytewise_cp(std::uint8_t b) noexcept
{
    return b >= 0x80 && b <= 0x9F ? g_cp1252_80[b - 0x80] : b;
}

// Length of a stored text, never reading past its slot. Texts are a few bytes: a
// plain loop beats a call to memchr.
std::size_t text_len(const char* text) noexcept
{
    std::size_t n = 0;
    while (n < MAP_TEXT_MAX && text[n] != '\0') ++n;
    return n;
}

// First range (in the order added) that holds code, or -1.
std::int64_t find_range(const pdf_font& font, std::uint32_t code) noexcept
{
    if (font.runs_for_ranges != 0 && font.runs_for_ranges == font.ranges.size() && code < RANGE_INDEX_CODES &&
        !font.range_runs.empty()) {
        auto it = std::upper_bound(font.range_runs.begin(), font.range_runs.end(), code,
                                   [](std::uint32_t c, const pf_range_run& r) { return c < r.start_code; });
        return it == font.range_runs.begin() ? -1 : std::prev(it)->range;
    }
    for (std::size_t i = 0; i < font.ranges.size(); ++i) {
        if (font.ranges[i].first_code <= code && code <= font.ranges[i].last_code) return static_cast<std::int64_t>(i);
    }
    return -1;
}

// The text for code: null when nothing maps it, an empty text when a range holds it
// without giving any.
const char* lookup_text(const pdf_font& font, std::uint32_t code, char (&scratch)[MAP_TEXT_BYTES]) noexcept
{
    auto it = std::lower_bound(font.chars.begin(), font.chars.end(), code,
                               [](const pf_char& c, std::uint32_t v) { return c.code < v; });
    if (it != font.chars.end() && it->code == code) return it->utf8;
    const std::int64_t ri = find_range(font, code);
    if (ri < 0) return nullptr;
    const pf_range& r = font.ranges[static_cast<std::size_t>(ri)];
    const std::uint32_t offset = code - r.first_code;
    if (r.utf8s) {
        if (offset >= r.nslots) return "";
        return r.utf8s.get() + std::size_t{offset} * MAP_TEXT_BYTES;
    }
    const std::int64_t cp = std::int64_t{r.base_cp} + offset;
    std::size_t n = 0;
    if (cp > 0 && cp <= MAX_CODE_POINT) n = cm_utf8(scratch, 0, MAP_TEXT_BYTES, static_cast<std::uint32_t>(cp));
    scratch[n] = '\0';
    return scratch;
}

// The cache of known texts, made or emptied for the font as it now stands; null
// when there is no memory for it.
pf_known_text* known_texts(const pdf_font& font) noexcept
{
    const std::uint32_t codes = font.code_bytes > 1 ? PF_KNOWN_CODES_WIDE : PF_KNOWN_CODES_NARROW;
    if (font.known && font.known_codes == codes && font.known_for_chars == font.chars.size() &&
        font.known_for_ranges == font.ranges.size())
        return font.known.get();
    if (font.known_codes != codes) {
        font.known.reset(new (std::nothrow) pf_known_text[codes]);
        font.known_codes = font.known ? codes : 0;
        if (!font.known) return nullptr;
    }
    for (std::uint32_t c = 0; c < codes; ++c) font.known[c].len = PF_TEXT_UNKNOWN;
    font.known_for_chars = font.chars.size();
    font.known_for_ranges = font.ranges.size();
    return font.known.get();
}

// The text of code and its length, through the cache where it reaches.
std::size_t code_text(const pdf_font& font, pf_known_text* known, std::uint32_t code, char (&scratch)[MAP_TEXT_BYTES],
                      const char*& text) noexcept
{
    if (known == nullptr || code >= font.known_codes) {
        text = lookup_text(font, code, scratch);
        return text ? text_len(text) : 0;
    }
    pf_known_text& k = known[code];
    if (k.len == PF_TEXT_UNKNOWN) {
        const char* found = lookup_text(font, code, scratch);
        const std::size_t len = found ? text_len(found) : 0;
        if (len > 0) std::memcpy(k.text, found, len);
        k.len = static_cast<std::uint8_t>(len);
    }
    text = k.text;
    return k.len;
}

std::size_t decode_mapped(const pdf_font& font, const std::uint8_t* bytes, std::size_t n, char* out,
                          std::size_t cap) noexcept
{
    const bool wide = font.code_bytes > 1;
    pf_known_text* const known = n > 0 ? known_texts(font) : nullptr;
    std::size_t w = 0;
    std::size_t i = 0;
    while (i < n) {
        std::uint32_t code = bytes[i++];
        if (wide && i < n) code = code << 8 | bytes[i++];   // a lone last byte is a code by itself
        char scratch[MAP_TEXT_BYTES];
        const char* text = nullptr;
        const std::size_t len = code_text(font, known, code, scratch, text);
        if (len > 0) {
            if (w + len + 1 < cap) {   // a text that does not fit is left out whole
                std::memcpy(out + w, text, len);
                w += len;
            }
        } else if (!wide && code >= 0x20 && code <= 0x7E && w + 1 < cap) {
            out[w++] = static_cast<char>(code);
        }
    }
    if (cap > 0) out[w] = '\0';
    return w;
}

std::size_t decode_bytewise(const std::uint8_t* bytes, std::size_t n, char* out, std::size_t cap) noexcept
{
    if (n == 0 || cap <= BYTEWISE_ROOM) {
        if (cap > 0) out[0] = '\0';
        return 0;
    }
    std::size_t w = 0;
    for (std::size_t i = 0; i < n; ++i) {
        w = cm_utf8(out, w, cap, bytewise_cp(bytes[i]));
        if (w + BYTEWISE_ROOM >= cap) break;
    }
    out[w] = '\0';
    return w;
}

// Paints codes 0 to 0xFFFF with the first range holding each, visiting every code once
// (next_free skips painted runs), then keeps the runs of equal owners.
void build_range_runs(pdf_font& font)
{
    font.range_runs.clear();
    font.runs_for_ranges = 0;
    if (font.ranges.size() < RANGE_INDEX_MIN_RANGES) return;
    try {
        std::vector<std::int32_t> owner(RANGE_INDEX_CODES, -1);
        std::vector<std::uint32_t> next_free(RANGE_INDEX_CODES + 1);
        for (std::uint32_t c = 0; c <= RANGE_INDEX_CODES; ++c) next_free[c] = c;
        auto find_free = [&next_free](std::uint32_t c) {
            std::uint32_t root = c;
            while (next_free[root] != root) root = next_free[root];
            while (next_free[c] != root) {
                const std::uint32_t up = next_free[c];
                next_free[c] = root;
                c = up;
            }
            return root;
        };
        for (std::size_t i = 0; i < font.ranges.size(); ++i) {
            const pf_range& r = font.ranges[i];
            if (r.first_code >= RANGE_INDEX_CODES) continue;
            const std::uint32_t hi = std::min<std::uint32_t>(r.last_code, RANGE_INDEX_CODES - 1);
            for (std::uint32_t c = find_free(r.first_code); c <= hi; c = find_free(c + 1)) {
                owner[c] = static_cast<std::int32_t>(i);
                next_free[c] = c + 1;
            }
        }
        for (std::uint32_t c = 0; c < RANGE_INDEX_CODES; ++c) {
            if (c == 0 || owner[c] != owner[c - 1]) font.range_runs.push_back({c, owner[c]});
        }
        font.runs_for_ranges = font.ranges.size();
    } catch (const std::bad_alloc&) {
        font.range_runs.clear();   // decoding scans the ranges instead
    }
}

int bfchar_cmp(const pf_char& a, const pf_char& b) noexcept
{
    return a.code < b.code ? -1 : a.code > b.code ? 1 : 0;
}

}  // namespace

// ---- font table ------------------------------------------------------------------

void fm_init(font_map& map) noexcept
{
    map.list.clear();
}

void fm_clear(font_map& map) noexcept
{
    map.list.clear();   // keeps the array's capacity for the next page
}

void fm_free(font_map& map) noexcept
{
    map.list.clear();
    map.list.shrink_to_fit();
}

pdf_font* fm_find(font_map& map, std::string_view name) noexcept
{
    for (auto& f : map.list) {
        if (std::string_view(f->name) == name) return f.get();
    }
    return nullptr;
}

const pdf_font* fm_find(const font_map& map, std::string_view name) noexcept
{
    return fm_find(const_cast<font_map&>(map), name);
}

pdf_font* fm_add(font_map& map, std::string_view name)
{
    if (pdf_font* found = fm_find(map, name)) return found;
    if (map.list.size() >= MAX_FONTS) return nullptr;
    try {
        if (map.list.size() == map.list.capacity())
            map.list.reserve(map.list.empty() ? FONT_LIST_FIRST : map.list.capacity() * 2);
        auto font = std::make_unique<pdf_font>();
        const std::size_t n = std::min(name.size(), FONT_NAME_BYTES - 1);
        std::memcpy(font->name, name.data(), n);
        font->name[n] = '\0';
        font->code_bytes = 1;
        map.list.push_back(std::move(font));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return map.list.back().get();
}

void pf_set_char(pdf_font& font, std::uint32_t code, std::string_view text)
{
    if (text.empty() || text.front() == '\0') return;
    if (font.chars.size() >= MAX_CHAR_MAPPINGS) return;
    pf_char c{};
    c.code = code;
    const std::size_t n = std::min(text.substr(0, text.find('\0')).size(), MAP_TEXT_MAX);
    std::memcpy(c.utf8, text.data(), n);
    c.utf8[n] = '\0';
    try {
        if (font.chars.size() == font.chars.capacity())
            font.chars.reserve(font.chars.empty() ? CHARS_FIRST : font.chars.capacity() * 2);
        font.chars.push_back(c);
    } catch (const std::bad_alloc&) {
        return;
    }
    font.has_map = 1;
}

void pf_add_range(pdf_font& font, std::uint32_t first, std::uint32_t last, std::int32_t base,
                  std::unique_ptr<char[]> texts, std::uint64_t nslots)
{
    if (last < first || font.ranges.size() >= MAX_RANGE_MAPPINGS) return;   // texts released here
    pf_range r;
    r.first_code = first;
    r.last_code = last;
    r.base_cp = texts ? 0 : base;
    if (texts) {
        const std::uint64_t span = std::uint64_t{last} - first + 1;
        r.nslots = static_cast<std::uint32_t>(std::min({nslots, span, std::uint64_t{UINT32_MAX}}));
    }
    r.utf8s = std::move(texts);
    try {
        if (font.ranges.size() == font.ranges.capacity())
            font.ranges.reserve(font.ranges.empty() ? RANGES_FIRST : font.ranges.capacity() * 2);
        font.ranges.push_back(std::move(r));
    } catch (const std::bad_alloc&) {
        return;
    }
    font.has_map = 1;
}

void pf_finalize(pdf_font* font)
{
    if (font == nullptr) return;
    // Stable, so that among mappings of one code the first added is the one found:
    // a Differences name wins over a ToUnicode entry of the same font.
    if (font->chars.size() > 1) {
        std::stable_sort(font->chars.begin(), font->chars.end(),
                         [](const pf_char& a, const pf_char& b) { return bfchar_cmp(a, b) < 0; });
    }
    build_range_runs(*font);
}

std::size_t cm_utf8(char* buf, std::size_t pos, std::size_t cap, std::uint32_t cp) noexcept
{
    if (cp == 0 || cp > MAX_CODE_POINT) return pos;
    const std::size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (pos >= cap || n >= cap - pos) return pos;   // n bytes and one to spare
    char* p = buf + pos;
    switch (n) {
    case 1:
        p[0] = static_cast<char>(cp);
        break;
    case 2:
        p[0] = static_cast<char>(0xC0 | cp >> 6);
        p[1] = static_cast<char>(0x80 | (cp & 0x3F));
        break;
    case 3:
        p[0] = static_cast<char>(0xE0 | cp >> 12);
        p[1] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        p[2] = static_cast<char>(0x80 | (cp & 0x3F));
        break;
    default:
        p[0] = static_cast<char>(0xF0 | cp >> 18);
        p[1] = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        p[2] = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        p[3] = static_cast<char>(0x80 | (cp & 0x3F));
        break;
    }
    return pos + n;
}

// ---- ToUnicode -----------------------------------------------------------------

void pf_parse_tounicode(pdf_font* font, const std::uint8_t* data, std::size_t len)
{
    if (font == nullptr || data == nullptr || len == 0) return;
    cm_lexer lx{data, len, 0};
    cm_token t;
    // Only top-level tokens count: every token inside a section consumes input, so
    // the whole parse stays linear in the data.
    for (long examined = 0; examined < MAX_CMAP_TOKENS; ++examined) {
        const std::int32_t k = cm_next(lx, t);
        if (k == CM_END) return;
        if (k != CM_WORD) continue;
        bool more = true;
        if (is_word(t, "begincodespacerange")) {
            more = parse_codespace(lx, t, *font);
        } else if (is_word(t, "beginbfchar")) {
            more = parse_bfchar(lx, t, *font);
        } else if (is_word(t, "beginbfrange")) {
            more = parse_bfrange(lx, t, *font);
        }
        if (!more) return;
    }
}

// ---- Differences ---------------------------------------------------------------

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

// ---- decoding --------------------------------------------------------------------

std::size_t pf_decode(const pdf_font* font, const std::uint8_t* bytes, std::size_t n, char* out,
                      std::size_t cap) noexcept
{
    if (out == nullptr) return 0;
    if (bytes == nullptr) n = 0;
    if (font != nullptr && font->has_map != 0) return decode_mapped(*font, bytes, n, out, cap);
    return decode_bytewise(bytes, n, out, cap);
}

}  // namespace tavrik
