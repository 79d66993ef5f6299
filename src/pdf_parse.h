// The PDF reader's shared declarations: the document summary, the reader context,
// the lexical layer, object access, stream decoding, the page walk and the
// content scanner. Everything here is internal to the library.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "byte_buffer.h"
#include "fonts/cmap.h"

namespace tavrik {

// A table of default entries that keeps its memory from one document to the next.
// Only slot() gives write access, so every entry at or past reached() is still the
// default, and a reset clears just the entries below it: a document with few
// objects does not pay for clearing a table sized for the most.
template <class T>
class reused_table {
public:
    void reset(std::size_t n)
    {
        if (items_.size() != n)
            items_.assign(n, T{});
        else
            std::fill(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(reached_), T{});
        reached_ = 0;
    }
    [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
    // One past the highest entry slot() has given out since the last reset.
    [[nodiscard]] std::size_t reached() const noexcept { return reached_; }
    [[nodiscard]] const T& operator[](std::size_t i) const noexcept { return items_[i]; }
    [[nodiscard]] T& slot(std::size_t i) noexcept
    {
        if (i >= reached_)
            reached_ = i + 1;
        return items_[i];
    }

private:
    std::vector<T> items_;
    std::size_t reached_ = 0;
};

// ---- limits of the reader --------------------------------------------------
inline constexpr std::int64_t MAX_FILE_BYTES = 268435456;        // 256 MiB
inline constexpr std::uint64_t MIN_FILE_BYTES = 10;               // "%PDF-1.x" and a bit
inline constexpr std::int64_t MAX_OBJECTS = 10000;                // object table slots
inline constexpr int MAX_XREF_SECTIONS = 10;                      // newest first
inline constexpr std::int64_t STARTXREF_WINDOW = 2048;            // tail searched first
inline constexpr std::int64_t MAX_SUBSECTION_COUNT = 5000000;
inline constexpr int XREF_ROW_BYTES = 20;
inline constexpr int OBJ_SEARCH_STARTS = 1000;                    // forward search for "obj"
inline constexpr int REPAIR_MIN_KNOWN = 3;                        // fewer known: repair scan
inline constexpr int MAX_PAGE_DEPTH = 32;
inline constexpr int MAX_KIDS_PER_ARRAY = 10000;
inline constexpr std::int64_t MAX_PAGE_NODES = 1000000;           // pages + Pages nodes per document
inline constexpr std::int64_t MAX_KID_RUNS_VISITED = 16000000;    // runs of Kids entries looked at per document
inline constexpr int MAX_LINES = 200;
inline constexpr std::size_t LINE_TEXT_BYTES = 1024;
inline constexpr std::size_t TITLE_BYTES = 512;
inline constexpr std::size_t DATE_BYTES = 128;
inline constexpr std::size_t VERSION_BYTES = 8;
inline constexpr std::size_t KEY_BYTES = 256;                     // dictionary keys in the walk
inline constexpr std::size_t RAW_STRING_BYTES = 1024;             // rd_raw_literal / rd_raw_hex
inline constexpr int MAX_XREF_INDEX_NUMBERS = 256;
inline constexpr int MAX_OBJSTM_N = 10000;
inline constexpr std::uint64_t MAX_DECODED_BYTES = 268435456;     // inflation ceiling, 256 MiB
inline constexpr std::uint64_t MAX_INFLATE_BYTES = 536870912;     // inflated per document, 512 MiB

// ---- the document summary (flat, fixed size, owned by the caller) ----------
struct ppdf_line {
    char text[LINE_TEXT_BYTES];
    double font_size;
};

// clear_summary (pdf_parse.cpp) empties every field but the lines.
struct ppdf_info {
    char title[TITLE_BYTES];
    char creation_date[DATE_BYTES];
    char mod_date[DATE_BYTES];
    ppdf_line lines[MAX_LINES];
    std::int32_t line_count;
    std::int32_t page_count;
    std::int32_t encrypted;
    char version[VERSION_BYTES];
};

// ---- the object table --------------------------------------------------------
struct xref_entry {
    std::int64_t offset = -1;   // where the search for the object's header starts; -1: none
    std::int64_t gen = 0;
    std::int32_t compressed = 0; // lives in an object stream
    std::int64_t objstm = 0;     // that object stream's number
};

// The page walk's bookkeeping (pdf_pages.cpp); lives on the walk's stack.
struct page_walk;

// ---- the reader context --------------------------------------------------------
// Positions are 64-bit offsets into buf, never addresses: buf grows while object
// streams are unpacked. buf always holds len valid bytes followed by one zero byte.
struct ppdf_ctx {
    byte_buffer buf;
    std::uint64_t len = 0;
    ppdf_info* info = nullptr;
    reused_table<xref_entry> xref;
    std::int64_t xref_cap = MAX_OBJECTS;
    std::int32_t xref_known = 0;
    std::int64_t root = -1;
    std::int64_t info_obj = -1;
    std::int64_t prev = -1;
    std::int32_t encrypted = 0;
    std::int32_t page_count = 0;
    std::int32_t line_limit = MAX_LINES;   // lines stored before the text is complete
    std::int32_t count_all_pages = 1;      // 0: the page walk ends with the text
    font_map fonts;
    std::int64_t inherited_res = 0;
    std::int32_t has_inherited_res = 0;
    page_walk* walk = nullptr;   // not owned: set while a page walk runs
    // What FlateDecode may still produce in this document, failed attempts included;
    // once spent no stream is inflated.
    std::uint64_t inflate_budget = MAX_INFLATE_BYTES;

    // A view of the valid bytes; never keep it across a call that may append.
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept
    {
        return {buf.data(), static_cast<std::size_t>(len)};
    }
};

using byte_view = std::span<const std::uint8_t>;

// ---- byte classes (locale-free, equal to the C locale's) -------------------
[[nodiscard]] constexpr bool is_digit(std::uint8_t c) noexcept { return c >= '0' && c <= '9'; }
[[nodiscard]] constexpr bool is_alpha(std::uint8_t c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
[[nodiscard]] constexpr bool is_alnum(std::uint8_t c) noexcept { return is_digit(c) || is_alpha(c); }
[[nodiscard]] constexpr bool is_xdigit(std::uint8_t c) noexcept
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
// isspace() of the C locale: space, tab, LF, VT, FF, CR.
[[nodiscard]] constexpr bool is_c_space(std::uint8_t c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}
// The reader's white space: NUL, backspace, tab, LF, FF, CR, space.
[[nodiscard]] constexpr bool is_pdf_ws(std::uint8_t c) noexcept
{
    return c == 0 || c == 0x08 || c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}
[[nodiscard]] constexpr int hex_value(std::uint8_t c) noexcept
{
    return is_digit(c) ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
}
// Truncation toward zero that cannot overflow: hostile numbers saturate, NaN gives 0.
[[nodiscard]] constexpr std::int64_t trunc_i64(double v) noexcept
{
    if (!(v == v)) return 0;
    if (v >= 9.2e18) return INT64_MAX;
    if (v <= -9.2e18) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}
// ASCII case-insensitive equality (PDF keys, filter and type names).
[[nodiscard]] bool ieq(std::string_view a, std::string_view b) noexcept;
// Decimal text to double exactly as strtod in the C locale (no locale involved).
[[nodiscard]] double c_strtod(std::string_view text) noexcept;

// ---- lexical layer (pdf_lex.cpp) -------------------------------------------
// Every operation reads only inside d; positions are offsets into d.
[[nodiscard]] std::int64_t rd_skip_ws(byte_view d, std::int64_t pos) noexcept;
// Reads the name at pos ("/" first) into out (cap bytes, NUL-terminated). Returns the
// number of bytes stored and sets end_out just past the whole token; -1 for no name.
[[nodiscard]] int rd_name(byte_view d, std::int64_t pos, char* out, std::size_t cap, std::int64_t* end_out) noexcept;
[[nodiscard]] bool rd_number(byte_view d, std::int64_t& pos, double& value_out) noexcept;
[[nodiscard]] bool rd_ref(byte_view d, std::int64_t& pos, std::int64_t& objnum_out) noexcept;
// Text string to UTF-8 (NUL-terminated in out); length or -1 with pos unchanged.
[[nodiscard]] int rd_string(byte_view d, std::int64_t& pos, char* out, std::size_t cap) noexcept;
// Raw string bytes for font decoding; at most RAW_STRING_BYTES stored; count or -1.
[[nodiscard]] int rd_raw_literal(byte_view d, std::int64_t& pos, std::uint8_t* out) noexcept;
[[nodiscard]] int rd_raw_hex(byte_view d, std::int64_t& pos, std::uint8_t* out) noexcept;
void rd_skip_value(byte_view d, std::int64_t& pos) noexcept;
[[nodiscard]] int dict_start(byte_view d, std::int64_t pos) noexcept;    // 2 "<<", 1 "{", 0
[[nodiscard]] std::int64_t dict_end(byte_view d, std::int64_t pos) noexcept;
using dict_key_fn = void (*)(std::string_view key, std::int64_t value_pos, void* user);
void rd_dict(byte_view d, std::int64_t& pos, dict_key_fn cb, void* user);
[[nodiscard]] bool dict_find(byte_view d, std::int64_t pos, std::string_view key, std::int64_t& value_pos_out) noexcept;
// Appends the UTF-8 form of cp when it fits with one byte to spare; returns the new length.
[[nodiscard]] std::size_t utf8_emit(char* out, std::size_t len, std::size_t cap, std::uint32_t cp) noexcept;

// ---- cross references (pdf_xref.cpp) ---------------------------------------
[[nodiscard]] std::int64_t find_startxref(const ppdf_ctx& ctx) noexcept;   // -1: none
void read_xref_chain(ppdf_ctx& ctx, std::int64_t pos);
void parse_xref_stream(ppdf_ctx& ctx, std::int64_t pos);
void unpack_object_streams(ppdf_ctx& ctx);

// ---- object access and document information (pdf_object.cpp) ---------------
// The dictionary of the object whose header is looked for from offset onward.
[[nodiscard]] bool obj_dict_at(byte_view d, std::int64_t offset, std::int64_t& pos_out) noexcept;
[[nodiscard]] bool ctx_obj_dict(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out) noexcept;
[[nodiscard]] bool resolve_dict(const ppdf_ctx& ctx, std::int64_t pos, std::int64_t& pos_out) noexcept;
[[nodiscard]] std::int64_t catalog_pages(const ppdf_ctx& ctx, std::int64_t catalog_pos);  // -1: none
void repair_scan(ppdf_ctx& ctx);
void read_doc_info(ppdf_ctx& ctx, std::int64_t dict_pos);

// ---- stream decoding (pdf_stream.cpp) --------------------------------------
// The decoded bytes of the stream whose dictionary opens at dict_pos; nullopt when
// the stream cannot be located or inflated. An empty result is a valid stream.
[[nodiscard]] std::optional<byte_buffer> stream_decode(ppdf_ctx& ctx, std::int64_t dict_pos);

// ---- page walk and font loading (pdf_pages.cpp, fonts/font_dict.cpp) -------
void ctx_do_pages_node(ppdf_ctx& ctx, std::int64_t pos, int depth);
void ctx_do_page(ppdf_ctx& ctx, std::int64_t pos);
void ctx_load_resources(ppdf_ctx& ctx, std::int64_t value_pos);
void ctx_extract_content(ppdf_ctx& ctx, std::int64_t objnum);
void fontdict_cb(std::string_view key, std::int64_t value_pos, void* user);
void font_load_encoding(ppdf_ctx& ctx, pdf_font& font, std::int64_t value_pos);
// Everything but the name of the font whose dictionary opens at dict.
void font_load(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict);

// ---- content scanner (pdf_content.cpp) --------------------------------------
struct scan_state {
    double font_size = 0;
    std::int32_t has_font_size = 0;
    font_map* fonts = nullptr;
    const pdf_font* font = nullptr;
    double last_tm_y = 0;
    std::int32_t has_tm = 0;
    // When set, font names are looked up here instead of in fonts.
    const pdf_font* (*find_font)(void* user, std::string_view name) = nullptr;
    void* find_user = nullptr;
    // The scan stops once the summary holds this many lines.
    std::int32_t line_limit = MAX_LINES;
};
void content_scan(byte_view data, ppdf_info& info, scan_state& state);
[[nodiscard]] int nums_before(byte_view data, std::int64_t pos, double* values, int wanted) noexcept;
void emit_line(ppdf_info& info, const char* text, double font_size);

// ---- reader entry (pdf_parse.cpp) -------------------------------------------
// How much of the summary the caller will look at. Naming a file needs the page
// text only when the title does not decide, and the first line only its first
// line; the rest of the summary is then left as it stands, so only a caller that
// reads no more than that may ask for less than everything.
enum class ppdf_need : std::int32_t {
    everything,
    title_else_lines,   // everything unless the document is encrypted or has a title
    first_line,         // everything up to the first stored line, unless encrypted;
                        // pages are counted only up to there
};
// Reads the file at path into info; 1 when it has a PDF header, 0 otherwise.
[[nodiscard]] int ppdf_parse(const char* path, ppdf_info& info, ppdf_need need = ppdf_need::everything);
// The same sequence on bytes already in memory (the file entry and the fuzzers).
[[nodiscard]] int ppdf_parse_bytes(const std::vector<std::uint8_t>& bytes, ppdf_info& info,
                                   ppdf_need need = ppdf_need::everything);

}  // namespace tavrik
