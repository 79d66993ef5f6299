// Decoding shown strings: a font's mappings (through a cache of its low codes) over
// what its encoding, CMap or program say, or the bytes themselves as Latin-1 with
// Windows-1252 for 0x80 to 0x9F.
#include "fonts/cmap.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fonts/font_internal.h"
#include "pdf_parse.h"

namespace tavrik {
namespace {

// Byte-wise decoding keeps room for the longest sequence and the NUL.
constexpr std::size_t BYTEWISE_ROOM = 4;

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

// Whether the range that holds code gives it no text.
bool range_text_empty(const pf_range& r, std::uint32_t code) noexcept
{
    const std::uint32_t offset = code - r.first_code;
    if (r.utf8s) return offset >= r.nslots || r.utf8s[std::size_t{offset} * MAP_TEXT_BYTES] == '\0';
    const std::int64_t cp = std::int64_t{r.base_cp} + offset;
    return cp <= 0 || cp > MAX_CODE_POINT;
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

// The code point of a UTF-8 or UTF-16 code taken whole (its bytes big-endian), 0
// when it is not well formed.
std::uint32_t utf8_code_cp(std::uint32_t code) noexcept
{
    if (code < 0x80) return code;
    std::uint8_t b[4];
    int n = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto v = static_cast<std::uint8_t>(code >> shift);
        if (n > 0 || v != 0) b[n++] = v;
    }
    const int need = b[0] >= 0xF0 ? 4 : b[0] >= 0xE0 ? 3 : b[0] >= 0xC0 ? 2 : 0;
    if (need != n) return 0;
    std::uint32_t cp = b[0] & (0x7F >> n);
    for (int i = 1; i < n; ++i) {
        if ((b[i] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (b[i] & 0x3F);
    }
    return cp;
}

std::uint32_t utf16_code_cp(std::uint32_t code) noexcept
{
    if (code <= 0xFFFF) return code >= 0xD800 && code <= 0xDFFF ? 0 : code;
    const std::uint32_t hi = code >> 16;
    const std::uint32_t lo = code & 0xFFFF;
    if (hi < 0xD800 || hi > 0xDBFF || lo < 0xDC00 || lo > 0xDFFF) return 0;
    return 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00);
}

// What the font's encoding, CMap or program give code, below its explicit mappings.
std::uint32_t encoded_cp(const pdf_font& font, std::uint32_t code) noexcept
{
    if (font.simple_cps) return code < font.simple_cps->size() ? (*font.simple_cps)[code] : 0;
    std::uint32_t cid = code;
    switch (font.codes) {
    case pf_codes::none:
        return 0;
    case pf_codes::ucs2:
        return code >= 0xD800 && code <= 0xDFFF ? 0 : code;
    case pf_codes::utf16:
        return utf16_code_cp(code);
    case pf_codes::utf8:
        return utf8_code_cp(code);
    case pf_codes::utf32:
        return code >= 0xD800 && code <= 0xDFFF ? 0 : code;
    case pf_codes::cid_cmap:
        cid = font.cmap != nullptr ? cjk_cid(*font.cmap, code) : 0;
        break;
    case pf_codes::cid_identity:
        break;
    }
    if (cid == 0) return 0;   // CID 0 is the missing glyph
    // An embedded TrueType program with a Unicode cmap knows its glyphs better than
    // a collection its producer may have named for form's sake.
    const bool program_first = font.program && font.program->has_unicode_cmap;
    std::uint32_t cp = 0;
    if (!program_first && font.cid_cps != nullptr && cid < font.cid_cps->size()) cp = (*font.cid_cps)[cid];
    if (cp == 0 && font.program) {
        std::uint32_t gid = cid;
        if (font.cid_to_gid) gid = cid < font.cid_to_gid->size() ? (*font.cid_to_gid)[cid] : 0;
        if (gid < font.program->glyph_cps.size()) cp = font.program->glyph_cps[gid];
    }
    if (cp == 0 && program_first && font.cid_cps != nullptr && cid < font.cid_cps->size()) cp = (*font.cid_cps)[cid];
    return cp;
}

// The text for code: null when nothing maps it, an empty text when a range holds it
// without giving any.
const char* lookup_text(const pdf_font& font, std::uint32_t code, char (&scratch)[MAP_TEXT_BYTES]) noexcept
{
    auto it = std::lower_bound(font.chars.begin(), font.chars.end(), code,
                               [](const pf_char& c, std::uint32_t v) { return c.code < v; });
    if (it != font.chars.end() && it->code == code) return it->utf8;
    const std::int64_t ri = find_range(font, code);
    if (ri < 0 || range_text_empty(font.ranges[static_cast<std::size_t>(ri)], code)) {
        const std::uint32_t cp = encoded_cp(font, code);
        if (cp != 0 && cp_text(cp, scratch) > 0) return scratch;
        return ri < 0 ? nullptr : "";
    }
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
    const bool by_codespace = !font.codespace.empty();
    const bool wide_font = font.code_bytes > 1;
    pf_known_text* const known = n > 0 ? known_texts(font) : nullptr;
    std::size_t w = 0;
    std::size_t i = 0;
    while (i < n) {
        const auto [code, len_in_bytes] = pf_next_code(&font, bytes, n, i);
        i += len_in_bytes;
        const bool wide = by_codespace ? len_in_bytes > 1 : wide_font;
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

}  // namespace

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

std::size_t pf_decode(const pdf_font* font, const std::uint8_t* bytes, std::size_t n, char* out,
                      std::size_t cap) noexcept
{
    if (out == nullptr) return 0;
    if (bytes == nullptr) n = 0;
    if (font != nullptr && font->has_map != 0) return decode_mapped(*font, bytes, n, out, cap);
    return decode_bytewise(bytes, n, out, cap);
}

}  // namespace tavrik
