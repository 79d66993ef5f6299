// Fonts and character mapping: the per-page font table, ToUnicode CMaps,
// Differences arrays with glyph names, the encodings a font names or carries in its
// program, the predefined CJK CMaps, and the decoding of shown strings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrik {

inline constexpr int MAX_FONTS = 512;                        // per page
inline constexpr std::size_t FONT_NAME_BYTES = 64;           // 63 bytes and NUL
inline constexpr std::size_t MAP_TEXT_BYTES = 16;            // 15 bytes of UTF-8 and NUL
inline constexpr std::size_t MAX_CHAR_MAPPINGS = 131072;     // single mappings per font
inline constexpr std::size_t MAX_RANGE_MAPPINGS = 65536;     // ranges per font
inline constexpr std::uint32_t MAX_ARRAY_RANGE_SPAN = 65535; // last - first of an array bfrange
inline constexpr long MAX_CMAP_TOKENS = 4000000;             // top-level tokens examined

// One single mapping: a code and the text it stands for.
struct pf_char {
    std::uint32_t code;
    char utf8[MAP_TEXT_BYTES];
};

// Consecutive codes: a base range (code point base_cp + offset) or a text block
// of slots of MAP_TEXT_BYTES bytes, one per code from first_code on. A block holds
// only the slots up to its last given text (nslots); the codes after them have an
// empty text, so a short array over a wide range costs no more than its elements.
struct pf_range {
    std::uint32_t first_code = 0;
    std::uint32_t last_code = 0;
    std::int32_t base_cp = 0;
    std::unique_ptr<char[]> utf8s;   // null for a base range
    std::uint32_t nslots = 0;        // slots held in utf8s
};

// One run of the range index: from start_code up to the next run's start, codes
// are decided by ranges[range] (-1: by no range).
struct pf_range_run {
    std::uint32_t start_code;
    std::int32_t range;
};

// A code's text as decoding found it, kept for the next time the code comes.
struct pf_known_text {
    char text[MAP_TEXT_BYTES - 1];
    std::uint8_t len;   // PF_TEXT_UNKNOWN: not looked up yet
};
inline constexpr std::uint8_t PF_TEXT_UNKNOWN = 0xFF;
inline constexpr std::uint32_t PF_KNOWN_CODES_NARROW = 256;    // every one-byte code
inline constexpr std::uint32_t PF_KNOWN_CODES_WIDE = 1024;     // glyph numbers of common subsets

// Codes of nbytes bytes whose every byte lies between lo and hi: one range of a CMap's
// code space. Shift JIS, EUC, GBK, Big5 and UTF-8 mix codes of one to four bytes.
struct pf_codespace {
    std::uint8_t nbytes = 1;
    std::uint8_t lo[4] = {};
    std::uint8_t hi[4] = {};
};
inline constexpr std::size_t MAX_CODE_BYTES = 4;
inline constexpr std::size_t MAX_CODESPACE_RANGES = 16;

// How a composite font's code, past its explicit mappings, becomes text.
enum class pf_codes : std::uint8_t {
    none,
    ucs2,        // the code is a UCS-2 value (Uni*-UCS2-*)
    utf16,       // UTF-16: two bytes, or four for a surrogate pair (Uni*-UTF16-*)
    utf8,        // UTF-8 of one to four bytes (Uni*-UTF8-*)
    utf32,       // UTF-32 (Uni*-UTF32-*)
    cid_cmap,    // a predefined legacy CMap gives the CID (90ms-RKSJ-H, GBK-EUC-H ...)
    cid_identity // the code is the CID (Identity-H, Identity-V)
};

struct cjk_cmap;
struct font_program;

// CIDs first to last advance by width, from a composite font's W array.
struct pf_cid_width {
    std::uint16_t first;
    std::uint16_t last;
    float width;
};
// Every 16-bit CID in a run of its own, the most a W array can make differ.
inline constexpr std::size_t MAX_CID_WIDTH_RUNS = 65536;
// Elements of one W array (its inner arrays counted) looked at before the rest is
// given up: a font whose every CID has a width of its own needs a little over 65,536.
inline constexpr long MAX_WIDTH_ELEMENTS = 1000000;
// A simple font has 256 codes, so a Widths array longer than that is cut, and one
// whose FirstChar lies further below code 0 than this many elements is given up.
inline constexpr std::size_t SIMPLE_CODES = 256;
inline constexpr long MAX_SKIPPED_WIDTHS = 65536;

// What a font's advances come from.
enum class pf_width_source : std::uint8_t {
    none,       // nothing: every advance is unknown
    widths,     // a simple font's Widths, FirstChar and MissingWidth
    standard,   // the metrics of a standard font through its encoding, as simple widths
    cids        // a CIDFont's W and DW
};
// How a composite font's code becomes the CID that W is keyed by.
enum class pf_cid_of : std::uint8_t { unknown, identity, cmap };

struct pf_widths {
    pf_width_source source = pf_width_source::none;
    pf_cid_of cid_of = pf_cid_of::unknown;
    std::uint32_t first_code = 0;       // the code of simple[0]
    float missing = -1;                 // codes outside simple, and its NaN elements; DW for cids
    std::vector<float> simple;          // in thousandths of the text size, by code - first_code
    std::vector<pf_cid_width> cids;     // ascending, disjoint
    const cjk_cmap* cmap = nullptr;     // for pf_cid_of::cmap
};

struct pdf_font {
    char name[FONT_NAME_BYTES] = {};
    std::int32_t code_bytes = 1;     // 1 or 2 bytes per character code
    std::int32_t width_fixed = 0;    // 1: nothing changes code_bytes any more
    std::int32_t has_map = 0;        // 1: decode through the mappings
    std::int32_t vertical = 0;       // 1: written top to bottom (a -V or WMode 1 CMap)
    std::vector<pf_char> chars;      // sorted by code after pf_finalize
    std::vector<pf_range> ranges;    // in the order added
    // Built by pf_finalize for fonts with many ranges, so that decoding does not scan
    // them all per code; used only while ranges.size() == runs_for_ranges.
    std::vector<pf_range_run> range_runs;
    std::size_t runs_for_ranges = 0;
    // Texts of the low codes, filled as decoding meets them: a page shows the same
    // few codes again and again. Only a cache, so decoding through a const font
    // fills it; it holds while chars and ranges keep the sizes they had when it was
    // made.
    mutable std::unique_ptr<pf_known_text[]> known;
    mutable std::uint32_t known_codes = 0;
    mutable std::size_t known_for_chars = 0;
    mutable std::size_t known_for_ranges = 0;

    // ---- what the encoding and the font program say, below the explicit mappings ----
    // Where set, codes are split by these ranges instead of by code_bytes.
    std::vector<pf_codespace> codespace;
    // A simple font's code points by code (0: none): its named or built-in encoding,
    // with Differences on top.
    std::unique_ptr<std::array<std::uint32_t, 256>> simple_cps;
    pf_codes codes = pf_codes::none;
    const cjk_cmap* cmap = nullptr;                     // for pf_codes::cid_cmap
    const std::vector<std::uint32_t>* cid_cps = nullptr; // the collection's CID -> code point
    // CIDs to glyphs (null: the same number) and glyphs to code points, from the
    // embedded program, where the collection gives no text.
    std::shared_ptr<const std::vector<std::uint16_t>> cid_to_gid;
    std::shared_ptr<const font_program> program;

    pf_widths widths;
};
// The most memory the cache of decoded codes can take for a font.
[[nodiscard]] constexpr std::size_t pf_known_bytes(const pdf_font& font) noexcept
{
    return (font.code_bytes > 1 ? PF_KNOWN_CODES_WIDE : PF_KNOWN_CODES_NARROW) * sizeof(pf_known_text);
}

// An embedded font program once read, shared by the fonts that use it.
struct font_program_entry {
    std::int64_t obj;                               // the stream's object number
    std::shared_ptr<const font_program> program;    // null: unreadable
};

// The fonts of the page being scanned, by resource name. Lookups are linear: a page
// has few fonts. The font programs read so far stay for the next pages: documents
// use the same few fonts on every page.
struct font_map {
    std::vector<std::unique_ptr<pdf_font>> list;   // stable addresses
    std::vector<font_program_entry> programs;
    // CIDToGIDMap streams read so far, by object number.
    std::vector<std::pair<std::int64_t, std::shared_ptr<const std::vector<std::uint16_t>>>> gid_maps;
};

void fm_init(font_map& map) noexcept;
void fm_clear(font_map& map) noexcept;
void fm_free(font_map& map) noexcept;
[[nodiscard]] pdf_font* fm_find(font_map& map, std::string_view name) noexcept;
[[nodiscard]] const pdf_font* fm_find(const font_map& map, std::string_view name) noexcept;
[[nodiscard]] pdf_font* fm_add(font_map& map, std::string_view name);
void pf_set_char(pdf_font& font, std::uint32_t code, std::string_view text);
// Takes ownership of texts (null for a base range), a block of nslots slots; the
// default means one slot per code of the range.
void pf_add_range(pdf_font& font, std::uint32_t first, std::uint32_t last, std::int32_t base,
                  std::unique_ptr<char[]> texts, std::uint64_t nslots = UINT64_MAX);
void pf_finalize(pdf_font* font);
// UTF-8 of cp at buf[pos] when it fits with one byte to spare; the new position.
[[nodiscard]] std::size_t cm_utf8(char* buf, std::size_t pos, std::size_t cap, std::uint32_t cp) noexcept;

// ToUnicode CMap program into font's mappings and, where allowed, its code width.
void pf_parse_tounicode(pdf_font* font, const std::uint8_t* data, std::size_t len);
// The bytes between the brackets of a Differences array.
void pf_parse_differences(pdf_font* font, const std::uint8_t* text, std::size_t len);
[[nodiscard]] std::uint32_t glyph_to_cp(std::string_view name) noexcept;
// One character code of a shown string and the number of bytes it takes.
struct pf_code {
    std::uint32_t code;
    std::uint32_t len;
};
// The code that starts at bytes[pos] (pos < n) as font reads its strings: one byte,
// or two for a two-byte font, where a lone last byte is a code by itself. Decoding
// and glyph positions both split strings here, so they always agree on the codes.
//
// A font with code space ranges takes the first range, shortest first, that all of
// the next bytes fall in; when none does, as many bytes as the shortest range whose
// first byte matches (so that a stray code does not shift the rest of the string),
// else one byte.
[[nodiscard]] inline pf_code pf_next_code(const pdf_font* font, const std::uint8_t* bytes, std::size_t n,
                                          std::size_t pos) noexcept
{
    if (font != nullptr && !font->codespace.empty()) {
        const std::size_t left = n - pos;
        std::size_t partial = 0;
        for (std::size_t len = 1; len <= MAX_CODE_BYTES && len <= left; ++len) {
            for (const pf_codespace& cs : font->codespace) {
                if (cs.nbytes != len)
                    continue;
                std::size_t k = 0;
                while (k < len && bytes[pos + k] >= cs.lo[k] && bytes[pos + k] <= cs.hi[k])
                    ++k;
                if (k == len) {
                    std::uint32_t code = 0;
                    for (std::size_t i = 0; i < len; ++i)
                        code = code << 8 | bytes[pos + i];
                    return {code, static_cast<std::uint32_t>(len)};
                }
                if (k > 0 && partial == 0)
                    partial = len;
            }
        }
        if (partial > 1) {
            std::uint32_t code = 0;
            for (std::size_t i = 0; i < partial; ++i)
                code = code << 8 | bytes[pos + i];
            return {code, static_cast<std::uint32_t>(partial)};
        }
        return {bytes[pos], 1};
    }
    if (font == nullptr || font->code_bytes < 2 || pos + 1 >= n)
        return {bytes[pos], 1};
    return {static_cast<std::uint32_t>(bytes[pos] << 8 | bytes[pos + 1]), 2};
}
// Bytes of one shown string through font (or none) into NUL-terminated UTF-8.
std::size_t pf_decode(const pdf_font* font, const std::uint8_t* bytes, std::size_t n, char* out,
                      std::size_t cap) noexcept;

// The advance of one character code, in thousandths of the text size (a 1000-unit
// em), from the font's widths or, for the standard fonts, their metrics; negative
// where nothing says how wide the glyph is, so that callers can fall back to
// treating every move as a word break.
[[nodiscard]] double pf_advance(const pdf_font* font, std::uint32_t code) noexcept;
// The memory the font's advances take beyond sizeof(pdf_font).
[[nodiscard]] std::size_t pf_width_bytes(const pdf_font& font) noexcept;

}  // namespace tavrik
