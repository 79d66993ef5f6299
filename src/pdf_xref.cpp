// Cross-reference data: the startxref search, the chain of sections (classic
// tables with trailers, cross-reference streams), and the unpacking of object
// streams into the end of the file buffer.
#include "pdf_parse.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

namespace tavrik {

namespace {

// Unpacked objects may overlap when an object stream's offsets do not increase
// (each then runs to the end of the stream); this bounds what one parse appends.
inline constexpr std::uint64_t MAX_BUFFER_BYTES = 2 * static_cast<std::uint64_t>(MAX_FILE_BYTES);
// Object numbers far outside the table; keeps "first + row" free of overflow.
inline constexpr std::int64_t FAR_OBJNUM = std::int64_t{1} << 62;

constexpr std::string_view STARTXREF = "startxref";

std::int32_t trunc_i32(double v) noexcept
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(trunc_i64(v), INT32_MIN, INT32_MAX));
}

std::int64_t clamp_objnum(std::int64_t n) noexcept { return std::clamp(n, -FAR_OBJNUM, FAR_OBJNUM); }

std::uint8_t at(byte_view d, std::int64_t i) noexcept { return d[static_cast<std::size_t>(i)]; }

bool is_free(const xref_entry& e) noexcept { return e.offset == -1 && e.compressed == 0; }

// What a section's row gives a free entry (no position, not in an object stream):
// a position, or the object stream that holds it.
void give_position(ppdf_ctx& ctx, xref_entry& e, std::int64_t offset, std::int64_t gen) noexcept
{
    e.offset = offset;
    e.gen = gen;
    ++ctx.xref_known;
    ++ctx.xref_entries;
}

void give_stream(ppdf_ctx& ctx, xref_entry& e, std::int64_t objstm) noexcept
{
    e.compressed = 1;
    e.objstm = objstm;
    ++ctx.xref_entries;
}

// Newer sections are read first, so the first entry for a number stands.
void set_position(ppdf_ctx& ctx, std::int64_t objnum, std::int64_t offset, std::int64_t gen)
{
    if (objnum < 0 || objnum > MAX_OBJNUM || !is_free(ctx.xref[objnum]))
        return;
    give_position(ctx, ctx.xref.slot(objnum), offset, gen);
}

void set_compressed(ppdf_ctx& ctx, std::int64_t objnum, std::int64_t objstm)
{
    if (objnum < 0 || objnum > MAX_OBJNUM || !is_free(ctx.xref[objnum]))
        return;
    give_stream(ctx, ctx.xref.slot(objnum), objstm);
}

// Last "startxref" followed by digits among the occurrences starting in
// [from, to); -1 when there is none.
std::int64_t last_startxref(byte_view d, std::int64_t from, std::int64_t to) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
    std::int64_t found = -1;
    std::int64_t p = from;
    while (p < to) {
        const std::size_t hit = text.find(STARTXREF, static_cast<std::size_t>(p));
        if (hit == std::string_view::npos || static_cast<std::int64_t>(hit) >= to)
            break;
        const auto h = static_cast<std::int64_t>(hit);
        if (h + 9 >= len)   // the keyword may not be the last bytes
            break;
        std::int64_t q = h + 9;
        while (q < len && (at(d, q) == '\n' || at(d, q) == '\r' || at(d, q) == ' '))
            ++q;
        std::int64_t value = 0;
        const std::int64_t digits = q;
        for (; q < len && is_digit(at(d, q)); ++q)
            value = value > (INT64_MAX - 9) / 10 ? INT64_MAX : value * 10 + (at(d, q) - '0');
        if (q > digits)
            found = value;
        // No occurrence can start inside the white space and digits just read.
        p = std::max(q, h + 1);
    }
    return found;
}

// ---- classic sections -------------------------------------------------------

// The trailer keys that matter: the newest trailer having Root or Info wins,
// the last Prev of a dictionary wins, any Encrypt marks the document.
void trailer_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& ctx = *static_cast<ppdf_ctx*>(user);
    const byte_view d = ctx.bytes();
    std::int64_t p = value_pos;
    if (ieq(key, "Root") || ieq(key, "Info")) {
        std::int64_t objnum = 0;
        std::int64_t& slot = ieq(key, "Root") ? ctx.root : ctx.info_obj;
        if (rd_ref(d, p, objnum) && slot == -1)
            slot = objnum;
    } else if (ieq(key, "Prev")) {
        double v = 0;
        if (rd_number(d, p, v))
            ctx.prev = trunc_i64(v);
    } else if (ieq(key, "XRefStm")) {
        double v = 0;
        if (rd_number(d, p, v))
            ctx.xref_stm = trunc_i64(v);
    } else if (ieq(key, "Encrypt")) {
        ctx.encrypted = 1;
    }
}

// The leading-space, signed decimal conversion of strtol over exactly n bytes.
std::int64_t row_position(const std::uint8_t* s, int n) noexcept
{
    int i = 0;
    while (i < n && is_c_space(s[i]))
        ++i;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) {
        neg = s[i] == '-';
        ++i;
    }
    std::int64_t v = 0;
    for (; i < n && is_digit(s[i]); ++i)
        v = v * 10 + (s[i] - '0');
    return neg ? -v : v;
}

void read_classic_section(ppdf_ctx& ctx, std::int64_t pos)
{
    const byte_view d = ctx.bytes();
    const auto len = static_cast<std::int64_t>(d.size());
    std::int64_t cur = pos;
    for (;;) {
        cur = rd_skip_ws(d, cur);
        if (cur >= len)
            return;
        const std::uint8_t c = at(d, cur);
        if (c == 't') {
            if (cur > len - 7 || std::memcmp(d.data() + cur, "trailer", 7) != 0)
                return;
            cur = rd_skip_ws(d, cur + 7);
            if (dict_start(d, cur) != 0)
                rd_dict(d, cur, trailer_cb, &ctx);
            return;
        }
        if (!is_digit(c))
            return;
        double first_v = 0;
        double count_v = 0;
        if (!rd_number(d, cur, first_v))
            return;
        cur = rd_skip_ws(d, cur);
        if (!rd_number(d, cur, count_v))
            return;
        cur = rd_skip_ws(d, cur);
        const std::int64_t first = clamp_objnum(trunc_i64(first_v));
        const std::int64_t count = trunc_i64(count_v);
        if (count < 0 || count > MAX_SUBSECTION_COUNT)
            return;
        // Rows are exactly 20 bytes whatever their own line ending; a table
        // written with one-byte endings falls out of step and ends at a type byte.
        for (std::int64_t i = 0; i < count; ++i, cur += XREF_ROW_BYTES) {
            if (cur > len - XREF_ROW_BYTES)
                return;
            const std::uint8_t* row = d.data() + cur;
            const std::uint8_t type = row[17];
            if (type != 'n' && type != 'f')
                return;
            const std::int64_t offset = row_position(row, 10);
            std::int64_t gen = 0;
            for (int j = 11; j < 16 && is_digit(row[j]); ++j)
                gen = gen * 10 + (row[j] - '0');
            if (type == 'n' && offset > 0)
                set_position(ctx, first + i, offset, gen);
        }
    }
}

// ---- cross-reference streams -----------------------------------------------

struct xref_stream_state {
    ppdf_ctx* ctx;
    std::int32_t w[3] = {1, 4, 1};
    std::int64_t size = 0;
    std::int64_t prev = -1;
    std::int64_t index[MAX_XREF_INDEX_NUMBERS] = {};
    int index_count = 0;
    bool index_present = false;
};

void xref_dict_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& st = *static_cast<xref_stream_state*>(user);
    ppdf_ctx& ctx = *st.ctx;
    const byte_view d = ctx.bytes();
    const auto len = static_cast<std::int64_t>(d.size());
    std::int64_t p = value_pos;
    double v = 0;
    if (ieq(key, "W")) {
        p = rd_skip_ws(d, p);
        if (p >= len || at(d, p) != '[')
            return;
        ++p;
        for (std::int32_t& w : st.w) {
            p = rd_skip_ws(d, p);
            if (rd_number(d, p, v))
                w = trunc_i32(v);
        }
    } else if (ieq(key, "Size")) {
        if (rd_number(d, p, v))
            st.size = trunc_i64(v);
    } else if (ieq(key, "Prev")) {
        if (rd_number(d, p, v))
            st.prev = trunc_i64(v);
    } else if (ieq(key, "Index")) {
        p = rd_skip_ws(d, p);
        if (p >= len || at(d, p) != '[')
            return;
        ++p;
        st.index_present = true;
        st.index_count = 0;
        for (;;) {
            p = rd_skip_ws(d, p);
            if (p >= len || at(d, p) == ']' || !rd_number(d, p, v))
                break;
            if (st.index_count < MAX_XREF_INDEX_NUMBERS)
                st.index[st.index_count++] = trunc_i64(v);
        }
    } else if (ieq(key, "Info") || ieq(key, "Root")) {
        std::int64_t objnum = 0;
        std::int64_t& slot = ieq(key, "Root") ? ctx.root : ctx.info_obj;
        if (rd_ref(d, p, objnum) && slot == -1)
            slot = objnum;
    } else if (ieq(key, "Encrypt")) {
        ctx.encrypted = 1;
    }
}

// One big-endian field of `width` bytes at `cur`; bytes past the data are absent.
// Only the last eight bytes can survive the 64-bit assembly, so only they are read.
std::uint64_t read_field(const byte_buffer& data, std::uint64_t& cur, std::int32_t width) noexcept
{
    if (width <= 0)
        return 0;
    const std::uint64_t size = data.size();
    const std::uint64_t w = static_cast<std::uint64_t>(width);
    const std::uint64_t start = cur;
    cur += w;
    if (start >= size)
        return 0;
    const std::uint64_t stop = std::min(cur, size);
    std::uint64_t v = 0;
    for (std::uint64_t i = stop - std::min<std::uint64_t>(stop - start, 8); i < stop; ++i)
        v = (v << 8) | data[i];
    return v;
}

// Rows of a one-byte type, written straight into the entries they give; W2 and W3
// are the other fields' widths, fixed at compile time for the layouts writers use
// (-1: taken from w2 and w3).
template <int W2, int W3>
void fill_rows(ppdf_ctx& ctx, xref_entry* entries, std::int64_t count, const std::uint8_t* p,
               std::uint64_t row_bytes, std::int32_t w2, std::int32_t w3)
{
    const std::int32_t n2 = W2 >= 0 ? W2 : w2;
    const std::int32_t n3 = W3 >= 0 ? W3 : w3;
    for (std::int64_t k = 0; k < count; ++k, p += row_bytes) {
        const std::uint8_t type = p[0];
        if (type != 1 && type != 2)
            continue;
        std::uint64_t f2 = 0;
        std::uint64_t f3 = 0;
        const std::uint8_t* q = p + 1;
        for (std::int32_t i = 0; i < n2; ++i)
            f2 = (f2 << 8) | *q++;
        for (std::int32_t i = 0; i < n3; ++i)
            f3 = (f3 << 8) | *q++;
        xref_entry& e = entries[k];
        if (!is_free(e))
            continue;
        if (type == 2)
            give_stream(ctx, e, static_cast<std::int64_t>(std::min<std::uint64_t>(f2, INT64_MAX)));
        else if (f2 <= static_cast<std::uint64_t>(INT64_MAX))
            give_position(ctx, e, static_cast<std::int64_t>(f2), static_cast<std::int64_t>(f3));
    }
}

void fill_rows_for(ppdf_ctx& ctx, xref_entry* entries, std::int64_t count, const std::uint8_t* p,
                   std::uint64_t row_bytes, std::int32_t w2, std::int32_t w3)
{
    switch (w2 * 16 + w3) {
    case 2 * 16 + 1: fill_rows<2, 1>(ctx, entries, count, p, row_bytes, w2, w3); break;
    case 3 * 16 + 1: fill_rows<3, 1>(ctx, entries, count, p, row_bytes, w2, w3); break;
    case 4 * 16 + 1: fill_rows<4, 1>(ctx, entries, count, p, row_bytes, w2, w3); break;
    case 2 * 16 + 2: fill_rows<2, 2>(ctx, entries, count, p, row_bytes, w2, w3); break;
    case 3 * 16 + 2: fill_rows<3, 2>(ctx, entries, count, p, row_bytes, w2, w3); break;
    case 4 * 16 + 2: fill_rows<4, 2>(ctx, entries, count, p, row_bytes, w2, w3); break;
    default: fill_rows<-1, -1>(ctx, entries, count, p, row_bytes, w2, w3); break;
    }
}

// ---- object streams ----------------------------------------------------------

struct objstm_pair {
    std::int64_t objnum;
    std::int64_t offset;
    std::int64_t next;   // where the next pair starts
};

// Digit runs saturate here: far beyond any object number or decoded length.
inline constexpr std::int64_t BIG_DIGITS = std::int64_t{1} << 56;

std::int64_t read_digits(const byte_buffer& h, std::int64_t& p, std::int64_t stop) noexcept
{
    std::int64_t v = 0;
    for (; p < stop && is_digit(h[static_cast<std::size_t>(p)]); ++p)
        v = v >= BIG_DIGITS ? v : v * 10 + (h[static_cast<std::size_t>(p)] - '0');
    return v;
}

// One (object number, offset) pair of an object stream's header, all before first.
bool read_pair(const byte_buffer& h, std::int64_t p, std::int64_t first, objstm_pair& out) noexcept
{
    const auto sep = [&](std::int64_t i) { return is_c_space(h[static_cast<std::size_t>(i)]); };
    while (p < first && sep(p))
        ++p;
    if (p >= first)
        return false;
    std::int64_t s = p;
    out.objnum = read_digits(h, p, first);
    if (p == s || p >= first)
        return false;
    while (p < first && sep(p))
        ++p;
    if (p >= first)
        return false;
    s = p;
    out.offset = read_digits(h, p, first);
    if (p == s)
        return false;
    out.next = p;
    return true;
}

enum class append_result { ok, over_limit, no_memory };

// Appends one object with its synthetic header; gives its position.
append_result append_object(ppdf_ctx& ctx, std::int64_t objnum, const std::uint8_t* bytes, std::size_t n,
                            std::int64_t& at_out)
{
    // "\nN 0 obj\n", written by hand: a formatted print per object costs more than
    // the copy of a small object.
    char header[48];
    char digits[24];
    int nd = 0;
    for (auto v = static_cast<std::uint64_t>(objnum); nd == 0 || v > 0; v /= 10)
        digits[nd++] = static_cast<char>('0' + v % 10);
    int hn = 0;
    header[hn++] = '\n';
    while (nd > 0)
        header[hn++] = digits[--nd];
    for (const char c : std::string_view(" 0 obj\n"))
        header[hn++] = c;
    static constexpr char closing[] = "\nendobj\n";
    const std::size_t closing_n = sizeof closing - 1;
    const std::uint64_t old_len = ctx.len;
    const std::uint64_t need = old_len + static_cast<std::uint64_t>(hn) + n + closing_n + 1;
    if (need > MAX_BUFFER_BYTES)
        return append_result::over_limit;
    if (ctx.buf.capacity() < need) {
        // Growing copies the buffer, unread bytes included: read them first.
        ctx_need_all(ctx);
        const std::uint64_t cap = ctx.buf.capacity();
        try {
            ctx.buf.reserve(static_cast<std::size_t>(std::max(need, cap + cap / 2)));
        } catch (const std::bad_alloc&) {
            return append_result::no_memory;
        }
    }
    // Nothing below allocates: the zero byte after the data moves to the new end.
    ctx.buf.resize(static_cast<std::size_t>(old_len));
    ctx.buf.insert(ctx.buf.end(), header, header + hn);
    ctx.buf.insert(ctx.buf.end(), bytes, bytes + n);
    ctx.buf.insert(ctx.buf.end(), closing, closing + closing_n);
    ctx.buf.push_back(0);
    ctx.len = ctx.buf.size() - 1;
    at_out = static_cast<std::int64_t>(old_len) + 1;   // the header's first digit
    return append_result::ok;
}

enum class unpack_result { done, out_of_memory };

// Whether object stream `stm` (its dictionary at dict_pos) is where objnum's entry
// says objnum lives: by number, or by a number whose entry leads to the same place.
bool named_here(const ppdf_ctx& ctx, const xref_entry& e, std::int64_t stm) noexcept
{
    if (e.compressed == 0 || e.objstm == stm)
        return true;
    const std::int64_t a = ctx.xref[e.objstm].offset;
    return a >= 0 && a == ctx.xref[stm].offset;
}

// Appends every object of the stream whose slot has no position yet. An object
// whose entry names another stream is kept aside: that stream has the copy the
// cross-reference data chose, and this one serves only if it cannot.
unpack_result unpack_one(ppdf_ctx& ctx, std::int64_t stm, std::int64_t dict_pos)
{
    std::int64_t first = -1;
    std::int64_t n = 0;
    {
        const byte_view d = ctx.bytes();
        std::int64_t vp = 0;
        double v = 0;
        if (dict_find(d, dict_pos, "First", vp) && rd_number(d, vp, v))
            first = trunc_i64(v);
        if (!dict_find(d, dict_pos, "N", vp) || !rd_number(d, vp, v))
            return unpack_result::done;
        n = trunc_i64(v);
    }
    if (n < 1 || n > MAX_OBJSTM_N || first < 0)
        return unpack_result::done;
    const auto data = stream_decode(ctx, dict_pos);
    ++ctx.objstm.decoded;
    if (!data)
        return unpack_result::done;
    const auto size = static_cast<std::int64_t>(data->size());
    if (first > size)
        return unpack_result::done;

    objstm_pair cur{};
    bool have = read_pair(*data, 0, first, cur);
    for (std::int64_t i = 0; i < n && have; ++i) {
        objstm_pair next{};
        const bool have_next = read_pair(*data, cur.next, first, next);
        const std::int64_t start = first + cur.offset;   // offsets are capped far below overflow
        const xref_entry& e = ctx.xref[cur.objnum];
        const bool chosen = named_here(ctx, e, stm);
        if (cur.objnum <= MAX_OBJNUM && e.offset == -1 && start < size &&
            (chosen || !ctx.objstm.alternates.contains(cur.objnum))) {
            std::int64_t end = size;
            if (have_next && first + next.offset > start && first + next.offset < size)
                end = first + next.offset;
            std::int64_t placed = 0;
            const append_result a =
                append_object(ctx, cur.objnum, data->data() + start, static_cast<std::size_t>(end - start), placed);
            if (a == append_result::no_memory)
                return unpack_result::out_of_memory;   // abandoned; a later need may try again
            if (a == append_result::over_limit)
                return unpack_result::done;
            if (chosen) {
                xref_entry& slot = ctx.xref.slot(cur.objnum);
                slot.offset = placed;
                slot.gen = 0;
                ++ctx.xref_known;
            } else {
                ctx.objstm.alternates.emplace(cur.objnum, placed);
            }
        }
        cur = next;
        have = have_next;
    }
    return unpack_result::done;
}

// Unpacks object stream stm unless that was done; false when its own dictionary
// cannot be found (yet: it may itself be packed in a stream not unpacked).
bool unpack_stream(ppdf_ctx& ctx, std::int64_t stm)
{
    objstm_book& book = ctx.objstm;
    if (stm < 0 || stm > MAX_OBJNUM || book.settled.contains(stm))
        return true;
    for (int i = 0; i < book.depth; ++i)
        if (book.busy[i] == stm)
            return false;   // a stream inside itself
    if (book.depth >= MAX_OBJSTM_NESTING)
        return false;
    const xref_entry& own = ctx.xref[stm];
    if (own.offset < 0 && own.compressed != 0) {
        book.busy[book.depth++] = stm;
        unpack_stream(ctx, own.objstm);
        --book.depth;
    }
    std::int64_t dict_pos = 0;
    if (!ctx_obj_dict(ctx, stm, dict_pos))
        return false;
    // Numbers whose entries all lead to one stream share its unpacking.
    if (book.done_at.contains(dict_pos)) {
        book.settled.insert(stm);
        return true;
    }
    book.busy[book.depth++] = stm;
    const unpack_result r = unpack_one(ctx, stm, dict_pos);
    --book.depth;
    if (r == unpack_result::done) {
        book.settled.insert(stm);
        book.done_at.insert(dict_pos);
    }
    return true;
}

}  // namespace

void unpack_for(ppdf_ctx& ctx, std::int64_t objnum)
{
    if (objnum < 0 || objnum > MAX_OBJNUM || ctx.objstm.all)
        return;
    const xref_entry& e = ctx.xref[objnum];
    if (e.offset >= 0)
        return;
    if (e.compressed != 0)
        unpack_stream(ctx, e.objstm);
    else
        unpack_object_streams(ctx);   // an object no entry names may be in any stream
}

void unpack_object_streams(ppdf_ctx& ctx)
{
    if (ctx.objstm.all)
        return;
    // In the order of the numbers that name them; a stream whose own dictionary is
    // not found yet is tried again for a later number, as it may have been unpacked
    // from another stream meanwhile. Unpacking adds positions, never entries.
    std::vector<std::int64_t> named;
    ctx.xref.for_each([&](std::int64_t, const xref_entry& e) {
        if (e.compressed == 1 && e.offset == -1 && (named.empty() || named.back() != e.objstm))
            named.push_back(e.objstm);
    });
    // A stream not found is looked for again only once more objects have places.
    std::unordered_map<std::int64_t, std::int32_t> missing_at;
    for (const std::int64_t stm : named) {
        const auto m = missing_at.find(stm);
        if (m != missing_at.end() && m->second == ctx.xref_known)
            continue;
        if (!unpack_stream(ctx, stm))
            missing_at[stm] = ctx.xref_known;
    }
    ctx.objstm.all = true;
}

std::int64_t find_startxref(const ppdf_ctx& ctx) noexcept
{
    const auto len = static_cast<std::int64_t>(ctx.len);
    const std::int64_t window = std::max<std::int64_t>(0, len - STARTXREF_WINDOW);
    ctx_need(ctx, window);
    const byte_view d = ctx.bytes();
    const std::int64_t tail = last_startxref(d, window, len);
    if (tail >= 0)
        return tail;
    // The window held no candidate, so searching the rest of the file gives the
    // same answer as searching all of it.
    ctx_need_all(ctx);
    return last_startxref(ctx.bytes(), 0, window);
}

void read_xref_chain(ppdf_ctx& ctx, std::int64_t pos)
{
    // Each section is read once: a Prev or XRefStm that leads back into the chain
    // ends it, however many distinct sections a hostile file links up.
    std::unordered_set<std::int64_t> seen;
    const auto classic_at = [&](std::int64_t p) {
        ctx_need(ctx, p);
        const byte_view d = ctx.bytes();
        const auto len = static_cast<std::int64_t>(d.size());
        if (p < 0 || p > len - 8)
            return false;
        const std::uint8_t after = at(d, p + 4);
        return std::memcmp(d.data() + p, "xref", 4) == 0 &&
               (after == '\t' || after == '\n' || after == '\r' || after == ' ');
    };
    // A section is known by its keyword or by its stream's dictionary, which may lie
    // a little after the position it was named by.
    const auto first_visit = [&](std::int64_t key) { return seen.insert(key).second; };
    for (int section = 0; section < MAX_XREF_SECTIONS && pos >= 0; ++section) {
        const auto len = static_cast<std::int64_t>(ctx.len);
        if (pos > len - 8)
            return;
        // Offsets count from the header when they do not fit from the file start.
        std::int64_t at_pos = pos;
        if (!classic_at(pos) && ctx.header_offset > 0 && pos <= INT64_MAX - ctx.header_offset &&
            classic_at(pos + ctx.header_offset))
            at_pos = pos + ctx.header_offset;
        ctx.xref_stm = -1;
        if (classic_at(at_pos)) {
            if (!first_visit(at_pos))
                return;
            read_classic_section(ctx, at_pos + 4);
            // A hybrid file's stream holds what its classic table leaves out; it comes
            // after that table and before the older sections.
            const std::int64_t stm = ctx.xref_stm;
            std::int64_t stm_dict = 0;
            ctx_need(ctx, stm);
            if (stm >= 0 && obj_dict_at(ctx.bytes(), stm, stm_dict) && first_visit(stm_dict)) {
                const std::int64_t prev = ctx.prev;
                parse_xref_stream(ctx, stm);
                ctx.prev = prev;
            }
        } else {
            std::int64_t dict = 0;
            ctx_need(ctx, pos);
            if (!obj_dict_at(ctx.bytes(), pos, dict) || !first_visit(dict))
                return;
            parse_xref_stream(ctx, pos);
        }
        pos = ctx.prev;
        ctx.prev = -1;
    }
}

void parse_xref_stream(ppdf_ctx& ctx, std::int64_t pos)
{
    std::int64_t dict_pos = 0;
    ctx_need(ctx, pos);
    if (!obj_dict_at(ctx.bytes(), pos, dict_pos))
        return;
    xref_stream_state st;
    st.ctx = &ctx;
    {
        std::int64_t p = dict_pos;
        rd_dict(ctx.bytes(), p, xref_dict_cb, &st);
    }
    const auto data = stream_decode(ctx, dict_pos);
    if (!data)
        return;

    const bool pairs = st.index_count >= 2 && st.index_count % 2 == 0;
    const int ranges = pairs ? st.index_count / 2 : 1;
    // A row whose three widths are all empty reads nothing and changes nothing;
    // so does every row without a type field.
    const bool rows_matter = st.w[0] > 0;
    const auto in_reach = [](std::int32_t w) { return w >= 0 && w <= 8; };
    const bool whole_rows = in_reach(st.w[0]) && in_reach(st.w[1]) && in_reach(st.w[2]);
    const std::uint64_t row_bytes = whole_rows ? static_cast<std::uint64_t>(st.w[0] + st.w[1] + st.w[2]) : 0;
    std::uint64_t cur = 0;
    for (int r = 0; r < ranges && rows_matter; ++r) {
        const std::int64_t first = pairs ? clamp_objnum(st.index[2 * r]) : 0;
        const std::int64_t count = pairs ? st.index[2 * r + 1] : std::max<std::int64_t>(st.size, 0);
        // The common range: whole rows of a one-byte type, numbers the table holds
        // in its vector. Its rows are written straight into the entries.
        if (whole_rows && st.w[0] == 1 && cur <= data->size() && first >= 0 && count > 0 &&
            count <= MAX_SUBSECTION_COUNT &&
            first <= MAX_OBJNUM + 1 - count) {
            const std::uint64_t rows = std::min<std::uint64_t>(static_cast<std::uint64_t>(count),
                                                               (data->size() - cur) / row_bytes);
            std::uint64_t given = 0;
            for (std::uint64_t k = 0; k < rows; ++k) {
                const std::uint8_t type = (*data)[cur + k * row_bytes];
                given += type == 1 || type == 2 ? 1 : 0;
            }
            xref_entry* entries = rows == static_cast<std::uint64_t>(count)
                                      ? ctx.xref.dense_run(first + count, given)
                                      : nullptr;
            if (entries != nullptr) {
                fill_rows_for(ctx, entries + first, count, data->data() + cur, row_bytes, st.w[1], st.w[2]);
                cur += rows * row_bytes;
                continue;
            }
        }
        // Past the data every row reads as zeros (type 0): stop there rather
        // than walk a hostile Size or Index count.
        for (std::int64_t k = 0; k < count && cur < data->size(); ++k) {
            std::uint64_t type = 0;
            std::uint64_t f2 = 0;
            std::uint64_t f3 = 0;
            if (whole_rows && cur + row_bytes <= data->size()) {
                // The common row: every field 1 to 8 bytes, all of it in the data.
                const std::uint8_t* p = data->data() + cur;
                for (std::int32_t i = 0; i < st.w[0]; ++i)
                    type = (type << 8) | *p++;
                for (std::int32_t i = 0; i < st.w[1]; ++i)
                    f2 = (f2 << 8) | *p++;
                for (std::int32_t i = 0; i < st.w[2]; ++i)
                    f3 = (f3 << 8) | *p++;
                cur += row_bytes;
            } else {
                type = read_field(*data, cur, st.w[0]);
                f2 = read_field(*data, cur, st.w[1]);
                f3 = read_field(*data, cur, st.w[2]);
            }
            const std::int64_t objnum = first + k;
            if (type == 1 && f2 <= static_cast<std::uint64_t>(INT64_MAX))
                set_position(ctx, objnum, static_cast<std::int64_t>(f2), static_cast<std::int64_t>(f3));
            else if (type == 2)
                set_compressed(ctx, objnum, static_cast<std::int64_t>(std::min<std::uint64_t>(f2, INT64_MAX)));
        }
    }
    if (st.prev >= 0)
        ctx.prev = st.prev;
}

}  // namespace tavrik
