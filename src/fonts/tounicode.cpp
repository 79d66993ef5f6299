// ToUnicode CMap programs: a small tokenizer and the codespace, bfchar and bfrange
// sections, into a font's mappings and code width.
#include "fonts/cmap.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "fonts/font_internal.h"
#include "pdf_parse.h"

namespace tavrik {
namespace {

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

}  // namespace

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

}  // namespace tavrik
