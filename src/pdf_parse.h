// The PDF reader's shared declarations: the document summary, the reader context,
// the lexical layer, object access, stream decoding, the page walk and the
// content scanner. Everything here is internal to the library.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "byte_buffer.h"
#include "fonts/cmap.h"

namespace tavrik {

// A table of default entries that keeps its memory from one document to the next.
// Only slot() gives write access, so every entry at or past reached() is still the
// default, and a reset clears just the entries below it: a document with few
// objects does not pay for clearing a table sized for the most. Indices at or past
// size() live in a map, for the few far numbers a document may use.
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
        far_.clear();
    }
    [[nodiscard]] std::size_t size() const noexcept { return items_.size(); }
    // One past the highest entry below size() that slot() has given out since the last reset.
    [[nodiscard]] std::size_t reached() const noexcept { return reached_; }
    [[nodiscard]] const T& operator[](std::size_t i) const noexcept
    {
        if (i < items_.size())
            return items_[i];
        static const T none{};
        const auto it = far_.find(i);
        return it == far_.end() ? none : it->second;
    }
    [[nodiscard]] T& slot(std::size_t i)
    {
        if (i >= items_.size())
            return far_[i];
        if (i >= reached_)
            reached_ = i + 1;
        return items_[i];
    }

private:
    std::vector<T> items_;
    std::size_t reached_ = 0;
    std::unordered_map<std::size_t, T> far_;
};

// ---- limits of the reader --------------------------------------------------
inline constexpr std::int64_t MAX_FILE_BYTES = 268435456;        // 256 MiB
inline constexpr std::uint64_t MIN_FILE_BYTES = 10;               // "%PDF-1.x" and a bit
inline constexpr std::int64_t HEADER_SEARCH_BYTES = 1024;         // "%PDF-" may follow a mail or download header
// Object numbers an entry may have: n + 1 still fits 32 bits, as the page walk needs.
inline constexpr std::int64_t MAX_OBJNUM = 2147483646;
// The table keeps entries for numbers up to this many densely whatever the file
// holds (2 MiB); beyond it, dense only up to DENSE_SLOTS_PER_ENTRY per entry given.
inline constexpr std::size_t DENSE_FREE_SLOTS = 65536;
inline constexpr std::size_t DENSE_SLOTS_PER_ENTRY = 4;
// A thread keeps a table this large for its next document; a larger one is freed.
inline constexpr std::size_t KEPT_TABLE_SLOTS = std::size_t{1} << 19;
// Sections of the Prev chain, newest first; real files have a few, signed forms
// a few hundred. Each section is read once, so a loop ends at the first repeat.
inline constexpr int MAX_XREF_SECTIONS = 65536;
inline constexpr std::int64_t STARTXREF_WINDOW = 2048;            // tail searched first
inline constexpr std::int64_t MAX_SUBSECTION_COUNT = 5000000;
inline constexpr int XREF_ROW_BYTES = 20;
inline constexpr int OBJ_SEARCH_STARTS = 1000;                    // forward search for "obj"
inline constexpr int REPAIR_MIN_KNOWN = 3;                        // fewer entries: repair scan
// Object streams found inside object streams (never in sound files) are followed
// this deep when one is needed.
inline constexpr int MAX_OBJSTM_NESTING = 4;
inline constexpr int MAX_PAGE_DEPTH = 32;
// Walks by first line that unpack what they missed and start again; past them every
// object stream is unpacked and the walk runs once more.
inline constexpr int MAX_WALK_RESTARTS = 64;
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

// One entry per object number that the cross-reference data, an object stream or a
// scan named, and a default entry for every other number. Real files number their
// objects densely, so entries live in a vector indexed by number; that vector grows
// only as far as the entries given out justify (DENSE_FREE_SLOTS, then
// DENSE_SLOTS_PER_ENTRY per entry), and numbers beyond it go to an ordered map. A
// tiny file that names object 8,000,000 therefore costs one map node, and memory
// stays proportional to the entries the file holds. The vector's memory is kept
// from one document to the next; reset clears only what the last one used.
class object_table {
public:
    void reset();
    // Numbers below size() are held in the vector; every far entry lies at or above it.
    [[nodiscard]] std::size_t size() const noexcept { return dense_size_; }
    [[nodiscard]] const xref_entry& operator[](std::int64_t n) const noexcept
    {
        if (n >= 0 && static_cast<std::uint64_t>(n) < dense_size_)
            return dense_[static_cast<std::size_t>(n)];
        return far_entry(n);
    }
    // The entry of n for writing, created when missing; n in [0, MAX_OBJNUM].
    [[nodiscard]] xref_entry& slot(std::int64_t n);
    // The entries [0, end) for writing, all in the vector, when `given` more entries
    // are about to be given out among them and the growth rule allows it; null
    // otherwise. A cross-reference section fills its rows through it in one pass.
    [[nodiscard]] xref_entry* dense_run(std::int64_t end, std::uint64_t given);
    // Every entry given out, in increasing object number.
    template <class F>
    void for_each(F&& f) const
    {
        for (std::size_t i = 0; i < dense_size_; ++i)
            f(static_cast<std::int64_t>(i), dense_[i]);
        for (const auto& [n, e] : far_)
            f(n, e);
    }
    [[nodiscard]] std::size_t far_count() const noexcept { return far_.size(); }
    [[nodiscard]] std::size_t capacity_slots() const noexcept { return dense_.size(); }

private:
    [[nodiscard]] const xref_entry& far_entry(std::int64_t n) const noexcept;
    std::vector<xref_entry> dense_;   // default past dense_size_
    std::size_t dense_size_ = 0;
    std::uint64_t given_ = 0;         // calls of slot(), what the growth may draw on
    std::map<std::int64_t, xref_entry> far_;
};

// The page walk's bookkeeping (pdf_pages.cpp); lives on the walk's stack.
struct page_walk;

// What a scan of the file's own bytes found, for documents whose cross-reference
// data are lost or wrong (pdf_object.cpp). Built at most once per document.
struct repair_index {
    object_table headers;               // the last "N G obj" of each number, at N's first digit
    std::vector<std::int64_t> starts;   // every header found, in file order
    std::vector<std::int64_t> trailers; // trailer dictionaries and cross-reference stream
                                        // dictionaries, in file order
};

// The object streams of one document: each is decoded at most once, when an object
// it holds is first needed, or all at once before the page walk.
struct objstm_book {
    std::unordered_set<std::int64_t> done_at;    // dictionary positions decoded or unusable
    std::unordered_set<std::int64_t> settled;    // stream numbers worked on
    std::int64_t busy[MAX_OBJSTM_NESTING] = {};  // numbers being unpacked, innermost last
    int depth = 0;
    bool all = false;                            // every named stream has been worked on
    std::int32_t decoded = 0;                    // streams decoded, for measurements
    // Objects a stream listed whose entries name another stream: used only when that
    // one cannot supply them.
    std::unordered_map<std::int64_t, std::int64_t> alternates;
};

// What the first read of a file takes from its end, and at least what each further
// read below it adds (the loaded part at least doubles, so a document read to its
// start costs a few reads, not one per object).
inline constexpr std::uint64_t TAIL_FIRST_BYTES = 8192;
inline constexpr std::uint64_t LAZY_STEP_BYTES = 4096;

// Where the file's bytes come from when they are read as they are needed. Naming by
// title mostly needs the tail: the last cross-reference section, the trailer, the
// Info dictionary and the object stream that holds it. The bytes from lo to the end
// of the file are in the buffer, and below lo only the first `head` bytes, which
// only the header search reads. Anything that starts reading at a position it did
// not reach by reading forward (an offset from the file, a search backward) calls
// ctx_need first; a forward read from a loaded position stays loaded, since the
// loaded part always runs to the end of the file and what is appended after it.
struct lazy_bytes {
    std::uint64_t lo = 0;     // 0: the whole file is in the buffer
    std::uint64_t head = 0;
    std::uint64_t step = LAZY_STEP_BYTES;   // reads start at multiples of this
    byte_buffer* buf = nullptr;
    std::size_t (*read_at)(void* user, std::uint64_t offset, std::uint8_t* out, std::size_t n) noexcept = nullptr;
    void* user = nullptr;
};
// Bytes before a needed position that come with it: an object's header is found by
// looking back from its "obj" keyword.
inline constexpr std::int64_t NEED_BEFORE_BYTES = 128;

// ---- the reader context --------------------------------------------------------
// Positions are 64-bit offsets into buf, never addresses: buf grows while object
// streams are unpacked. buf always holds len valid bytes followed by one zero byte.
struct ppdf_ctx {
    byte_buffer buf;
    std::uint64_t len = 0;
    std::uint64_t file_len = 0;        // the file's own bytes; unpacked objects follow
    std::int64_t header_offset = 0;    // where "%PDF-" starts
    ppdf_info* info = nullptr;
    object_table xref;
    std::int64_t xref_cap = MAX_OBJNUM + 1;   // object numbers at or above are never stored
    std::int32_t xref_known = 0;
    std::int64_t xref_entries = 0;     // entries the cross-reference sections gave
    std::int64_t root = -1;
    std::int64_t info_obj = -1;
    std::int64_t prev = -1;
    std::int64_t xref_stm = -1;        // a hybrid file's cross-reference stream, from the trailer
    std::int32_t encrypted = 0;
    std::int32_t recovered = 0;        // Root and Info came from the scan
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
    objstm_book objstm;
    // Built by the first lookup that needs it; lookups are const, the index a cache.
    mutable std::unique_ptr<repair_index> repaired;
    // A page walk that runs before every object stream is unpacked: the first object
    // it looked for in a stream not unpacked yet, for the walk to be run again.
    bool lazy_walk = false;
    mutable std::int64_t walk_miss = -1;
    // Lookups are const and may need bytes not read yet: reading them changes no
    // byte the reader could have seen.
    mutable lazy_bytes lazy;

    // A view of the valid bytes; never keep it across a call that may append.
    [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept
    {
        return {buf.data(), static_cast<std::size_t>(len)};
    }
    // The file's own bytes, without unpacked objects.
    [[nodiscard]] std::span<const std::uint8_t> file_bytes() const noexcept
    {
        return {buf.data(), static_cast<std::size_t>(std::min(file_len, len))};
    }
};

// Reads the file's bytes from a little before pos to where they are loaded.
void load_below(const ppdf_ctx& ctx, std::int64_t pos) noexcept;
// Makes sure a read may start at pos (and look a little before it).
inline void ctx_need(const ppdf_ctx& ctx, std::int64_t pos) noexcept
{
    if (pos >= 0 && static_cast<std::uint64_t>(pos) < ctx.lazy.lo + NEED_BEFORE_BYTES && ctx.lazy.lo > 0)
        load_below(ctx, pos);
}
inline void ctx_need_all(const ppdf_ctx& ctx) noexcept
{
    if (ctx.lazy.lo > 0)
        load_below(ctx, 0);
}

// Whether objnum is a number the object table can hold: a lookup of any other
// finds nothing. Callers that look at the table themselves ask this first.
[[nodiscard]] inline bool in_object_table(const ppdf_ctx& ctx, std::int64_t objnum) noexcept
{
    (void)ctx;
    return objnum >= 0 && objnum <= MAX_OBJNUM;
}

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
// What an array element at pos is, read in one scan: a reference where rd_ref reads
// one (pos past its "R"), else a number where rd_number reads one (value_out set, pos
// past it), else neither (pos unchanged). Ruling a reference out reads the number
// token after the first one; its span is kept in ahead, so that an array of numbers
// read element by element scans each only once. An ahead kept for another
// position is ignored; one is only good for the data it was read from.
enum class rd_element { other, number, reference };
struct rd_ahead {
    std::int64_t start = -1;
    std::int64_t end = -1;
};
[[nodiscard]] rd_element rd_number_or_ref(byte_view d, std::int64_t& pos, double& value_out, rd_ahead& ahead) noexcept;
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
// Unpacks the object stream whose entry holds objnum, if it is still packed.
void unpack_for(ppdf_ctx& ctx, std::int64_t objnum);
// Unpacks every object stream not unpacked yet. Runs before the page walk, whose
// views of the buffer must not move under it.
void unpack_object_streams(ppdf_ctx& ctx);

// ---- object access and document information (pdf_object.cpp) ---------------
// The dictionary after the first "obj" keyword from offset onward (no number check).
[[nodiscard]] bool obj_dict_at(byte_view d, std::int64_t offset, std::int64_t& pos_out) noexcept;
// Where the object's value starts (past "obj" and white space) and its dictionary.
// Neither appends to the buffer: an object still packed in an object stream is not
// found; the fetch_ forms unpack it first (and may move the buffer).
[[nodiscard]] bool ctx_obj_body(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out);
[[nodiscard]] bool ctx_obj_dict(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out);
[[nodiscard]] bool fetch_obj_body(ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out);
[[nodiscard]] bool fetch_obj_dict(ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out);
[[nodiscard]] bool resolve_dict(const ppdf_ctx& ctx, std::int64_t pos, std::int64_t& pos_out);
[[nodiscard]] std::int64_t catalog_pages(const ppdf_ctx& ctx, std::int64_t catalog_pos);  // -1: none
// The scan of the file's bytes, built on first use.
[[nodiscard]] const repair_index& ctx_repair_index(const ppdf_ctx& ctx);
// Fills the table from the scan: for files whose cross-reference data gave almost nothing.
void repair_scan(ppdf_ctx& ctx);
// Whether Root names a catalog, judged without unpacking anything.
[[nodiscard]] bool root_resolves(const ppdf_ctx& ctx);
// Root, Info and Encrypt from the last trailer the scan found, else the last catalog.
void recover_trailer(ppdf_ctx& ctx);
void read_doc_info(ppdf_ctx& ctx, std::int64_t dict_pos);

// ---- stream decoding (pdf_stream.cpp) --------------------------------------
// The decoded bytes of the stream whose dictionary opens at dict_pos; nullopt when
// the stream cannot be located or inflated. An empty result is a valid stream.
// prefix: a caller that reads no further than this many decoded bytes may get no
// more than them (a single FlateDecode stops there); the rest of the data is the same.
[[nodiscard]] std::optional<byte_buffer> stream_decode(ppdf_ctx& ctx, std::int64_t dict_pos,
                                                      std::uint64_t prefix = UINT64_MAX);

// ---- page walk and font loading (pdf_pages.cpp, fonts/font_dict.cpp) -------
void ctx_do_pages_node(ppdf_ctx& ctx, std::int64_t pos, int depth);
void ctx_do_page(ppdf_ctx& ctx, std::int64_t pos);
void ctx_load_resources(ppdf_ctx& ctx, std::int64_t value_pos);
void ctx_extract_content(ppdf_ctx& ctx, std::int64_t objnum);
void fontdict_cb(std::string_view key, std::int64_t value_pos, void* user);
// A simple font's Encoding value; builtin: the encoding the font has without one,
// the base of Differences when no BaseEncoding is named.
void font_load_encoding(ppdf_ctx& ctx, pdf_font& font, std::int64_t value_pos,
                        const std::array<std::uint32_t, 256>* builtin = nullptr);
// Everything but the name of the font whose dictionary opens at dict.
void font_load(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict);
// The advances of the font whose dictionary opens at dict, once its encoding is
// read; cid_font: a composite font's descendant dictionary, -1 for none.
void font_load_widths(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict, bool composite, std::int64_t cid_font);

// ---- content scanner (pdf_content.cpp) --------------------------------------
// An affine map of the plane as PDF writes it: a point (x, y) goes to
// (a x + c y + e, b x + d y + f).
struct pdf_matrix {
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
};
// m first, then n (PDF's "m × n").
[[nodiscard]] pdf_matrix mat_mul(const pdf_matrix& m, const pdf_matrix& n) noexcept;
// The bounds of the four corners of [x0, x1] x [y0, y1] under m.
struct pdf_bounds {
    double x0, y0, x1, y1;
};
[[nodiscard]] pdf_bounds mat_bounds(const pdf_matrix& m, double x0, double y0, double x1, double y1) noexcept;

// The parts of the text state that q and Q save and restore.
struct text_params {
    const pdf_font* font = nullptr;
    double font_size = 0;
    std::int32_t has_font_size = 0;
    double char_spacing = 0;   // Tc
    double word_spacing = 0;   // Tw
    double h_scale = 1;        // Tz / 100
    double leading = 0;        // TL
    double rise = 0;           // Ts
};

// Saves of q kept per drawing; deeper ones are counted, and their Q restores nothing.
inline constexpr std::size_t MAX_SAVED_STATES = 256;

// Where a drawing puts things: the transformation matrix with what q saved, and the
// box (default user space) outside which a glyph is not page text. The page's
// content streams share one: a page may set its matrix in one stream and draw in
// the next. Text state saved by q comes back on Q only within the stream that saved it.
struct draw_geometry {
    struct saved {
        pdf_matrix ctm;
        text_params text;
        std::uint32_t stream;
    };
    pdf_matrix ctm;
    std::vector<saved> stack;
    std::int64_t unsaved = 0;
    bool has_box = false;
    double box[4] = {};            // x0 y0 x1 y1, x0 <= x1 and y0 <= y1
    std::uint32_t stream = 0;      // which stream of the drawing is being scanned
    std::size_t low_water = 0;     // the fewest saves held since the caller last set it
};

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
    // Tc, Tw, Tz, TL and Ts; font and font size above are the rest of the text state.
    double char_spacing = 0;
    double word_spacing = 0;
    double h_scale = 1;
    double leading = 0;
    double rise = 0;
    // Null: the scan keeps its own, with no box.
    draw_geometry* geometry = nullptr;
    // Called for "/name Do" with the state as it stands; it may scan a form into the
    // same summary. The line being built has gone out before.
    void (*draw_form)(void* user, std::string_view name, const scan_state& state) = nullptr;
    void* draw_user = nullptr;
};
// The text state a scan holds, and setting it from a saved one.
[[nodiscard]] text_params text_of(const scan_state& state) noexcept;
void set_text(scan_state& state, const text_params& text) noexcept;
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
// What a parse did beyond the summary, for tests and measurements.
struct ppdf_trace {
    std::int32_t object_streams_decoded = 0;
    std::int32_t repair_scans = 0;   // 0 or 1
    // Read in parts: the first byte not read at the start (0: all of it was), and
    // the first byte read by the end (0 also when no part was read later).
    std::int64_t first_unread = 0;
    std::int64_t first_read = 0;
};
// Reads the file at path into info; 1 when it has a PDF header, 0 otherwise.
[[nodiscard]] int ppdf_parse(const char* path, ppdf_info& info, ppdf_need need = ppdf_need::everything);
// The same sequence on bytes already in memory (the file entry and the fuzzers).
// By title the bytes are read as a file is, the last tail_bytes first.
[[nodiscard]] int ppdf_parse_bytes(const std::vector<std::uint8_t>& bytes, ppdf_info& info,
                                   ppdf_need need = ppdf_need::everything, ppdf_trace* trace = nullptr,
                                   std::uint64_t tail_bytes = TAIL_FIRST_BYTES);

}  // namespace tavrik
