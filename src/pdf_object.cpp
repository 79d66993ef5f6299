// Object access: the object table, from an object number to its value and its
// dictionary, the scan of the file's bytes that stands in for cross-reference
// data that are lost or wrong, the recovery of a lost trailer, the catalog's
// Pages entry, and the document information.
#include "pdf_parse.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace tavrik {

// ---- the object table ---------------------------------------------------------

void object_table::reset()
{
    if (dense_.size() > KEPT_TABLE_SLOTS)
        std::vector<xref_entry>().swap(dense_);
    else
        std::fill(dense_.begin(), dense_.begin() + static_cast<std::ptrdiff_t>(dense_size_), xref_entry{});
    dense_size_ = 0;
    given_ = 0;
    far_.clear();
}

const xref_entry& object_table::far_entry(std::int64_t n) const noexcept
{
    static const xref_entry none{};
    if (far_.empty())
        return none;
    const auto it = far_.find(n);
    return it == far_.end() ? none : it->second;
}

xref_entry& object_table::slot(std::int64_t n)
{
    ++given_;
    const auto u = static_cast<std::uint64_t>(n);
    if (u < dense_size_)
        return dense_[static_cast<std::size_t>(u)];
    const std::uint64_t allowed = std::max<std::uint64_t>(DENSE_FREE_SLOTS, DENSE_SLOTS_PER_ENTRY * given_);
    if (u >= allowed)
        return far_[n];
    const auto need = static_cast<std::size_t>(u) + 1;
    if (dense_.size() < need) {
        // Geometric growth, within what the entries given out allow.
        const std::size_t grown = std::max(need, dense_.size() + dense_.size() / 2);
        dense_.resize(std::min<std::size_t>(grown, static_cast<std::size_t>(allowed)));
    }
    dense_size_ = need;
    // Far entries the vector now covers move into it.
    while (!far_.empty() && static_cast<std::uint64_t>(far_.begin()->first) < dense_size_) {
        dense_[static_cast<std::size_t>(far_.begin()->first)] = far_.begin()->second;
        far_.erase(far_.begin());
    }
    return dense_[static_cast<std::size_t>(u)];
}

xref_entry* object_table::dense_run(std::int64_t end, std::uint64_t given)
{
    if (end <= 0 || end > MAX_OBJNUM + 1)
        return nullptr;
    const auto u = static_cast<std::uint64_t>(end);
    const std::uint64_t allowed = std::max<std::uint64_t>(DENSE_FREE_SLOTS, DENSE_SLOTS_PER_ENTRY * (given_ + given));
    if (u > allowed)
        return nullptr;
    given_ += given;
    if (u > dense_size_) {
        (void)slot(end - 1);   // grows the vector and takes in the far entries below end
        --given_;
    }
    return u <= dense_size_ ? dense_.data() : nullptr;
}

namespace {

// Object numbers in a header have at most this many digits (MAX_OBJNUM has 10).
inline constexpr int MAX_OBJNUM_DIGITS = 10;
// Bytes looked at before "obj" for the object number and generation.
inline constexpr std::int64_t HEADER_BYTES_LOOKED_AT = 64;

struct catalog_state {
    const ppdf_ctx* ctx;
    std::int64_t pages;
};

// The last Pages entry that reads as a reference wins.
void catalog_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& st = *static_cast<catalog_state*>(user);
    if (!ieq(key, "Pages"))
        return;
    std::int64_t objnum = 0;
    if (rd_ref(st.ctx->bytes(), value_pos, objnum))
        st.pages = objnum;
}

// Copies a decoded text into a summary field, up to its capacity and its first
// zero byte.
void copy_field(char* field, std::size_t cap, const char* text) noexcept
{
    std::size_t n = 0;
    while (n + 1 < cap && text[n] != '\0') {
        field[n] = text[n];
        ++n;
    }
    field[n] = '\0';
}

std::uint8_t at(byte_view d, std::int64_t i) noexcept { return d[static_cast<std::size_t>(i)]; }

// The first "obj" keyword from offset onward, not glued to a word: at most
// OBJ_SEARCH_STARTS starting positions; -1 when none.
std::int64_t find_obj_keyword(byte_view d, std::int64_t offset) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    for (std::int64_t s = offset; s < offset + OBJ_SEARCH_STARTS; ++s) {
        if (s > len - 3)
            return -1;
        if (at(d, s) == 'o' && at(d, s + 1) == 'b' && at(d, s + 2) == 'j' && (s == 0 || !is_alnum(at(d, s - 1))))
            return s;
    }
    return -1;
}

// The object number of the header whose "obj" starts at s ("N G obj"), or -1 when
// no two numbers stand before it within HEADER_BYTES_LOOKED_AT.
std::int64_t header_number(byte_view d, std::int64_t s) noexcept
{
    const std::int64_t stop = std::max<std::int64_t>(-1, s - 1 - HEADER_BYTES_LOOKED_AT);
    std::int64_t i = s - 1;
    const auto skip = [&](bool (*cls)(std::uint8_t)) {
        const std::int64_t from = i;
        while (i > stop && cls(at(d, i)))
            --i;
        return i < from;
    };
    const auto ws = [](std::uint8_t c) { return is_pdf_ws(c); };
    const auto digit = [](std::uint8_t c) { return is_digit(c); };
    skip(ws);
    if (!skip(digit) || !skip(ws))
        return -1;
    const std::int64_t num_end = i;
    if (!skip(digit) || (i == stop && stop >= 0))
        return -1;   // no number, or one longer than the bytes looked at
    std::int64_t first = i + 1;
    while (first < num_end && at(d, first) == '0')
        ++first;
    if (num_end - first + 1 > MAX_OBJNUM_DIGITS)
        return -1;
    std::int64_t v = 0;
    for (std::int64_t k = first; k <= num_end; ++k)
        v = v * 10 + (at(d, k) - '0');
    return v;
}

enum class header_kind { match, other_object, none };

struct header_found {
    header_kind kind = header_kind::none;
    std::int64_t body = -1;   // just past "obj"; for none, where the old rule would look
};

// What the entry's position leads to: objnum's own header, another object's, or no
// header at all. Without a keyword in reach the value is looked for right after the
// searched window, as the reader always did for positions it cannot check.
header_found header_at(byte_view d, std::int64_t offset, std::int64_t objnum) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    header_found h;
    if (offset < 0 || offset >= len - 3)
        return h;
    const std::int64_t s = find_obj_keyword(d, offset);
    if (s < 0) {
        h.body = offset + OBJ_SEARCH_STARTS;
        return h;
    }
    h.body = s + 3;
    const std::int64_t n = header_number(d, s);
    if (n >= 0)
        h.kind = n == objnum ? header_kind::match : header_kind::other_object;
    return h;
}

// The value of a body position as the lookups give it: past white space, with the
// end of the data in sight.
bool body_value(byte_view d, std::int64_t body, std::int64_t& pos_out) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    if (body < 0 || body >= len - 3)
        return false;
    pos_out = rd_skip_ws(d, body);
    return true;
}

// Where objnum's value starts. The entry's position must lead to objnum's own
// header, from the file start or from the header when the file has leading bytes;
// an entry that does not lead there, and a number no section gave an entry, are
// looked up in the scan of the file, as a viewer rebuilds its table then.
bool locate(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& body_out)
{
    if (objnum < 0 || objnum > MAX_OBJNUM)
        return false;
    const xref_entry& e = ctx.xref[objnum];
    ctx_need(ctx, e.offset);
    if (ctx.header_offset > 0 && e.offset >= 0 && e.offset <= INT64_MAX - ctx.header_offset)
        ctx_need(ctx, e.offset + ctx.header_offset);
    const byte_view d = ctx.bytes();
    std::int64_t unchecked = -1;   // a body no header confirms, the last resort
    if (e.offset >= 0) {
        const header_found h = header_at(d, e.offset, objnum);
        if (h.kind == header_kind::match) {
            body_out = h.body;
            return true;
        }
        if (h.kind == header_kind::none)
            unchecked = h.body;
        if (ctx.header_offset > 0 && e.offset <= INT64_MAX - ctx.header_offset) {
            const header_found shifted = header_at(d, e.offset + ctx.header_offset, objnum);
            if (shifted.kind == header_kind::match) {
                body_out = shifted.body;
                return true;
            }
        }
    } else if (e.compressed != 0) {
        // Still packed: only unpacking it can tell.
        if (!ctx.objstm.all && !ctx.objstm.settled.contains(e.objstm)) {
            if (ctx.lazy_walk && ctx.walk_miss < 0)
                ctx.walk_miss = objnum;
            return false;
        }
        const auto alt = ctx.objstm.alternates.find(objnum);
        if (alt != ctx.objstm.alternates.end()) {
            ctx_need(ctx, alt->second);
            const header_found h = header_at(d, alt->second, objnum);
            if (h.kind == header_kind::match) {
                body_out = h.body;
                return true;
            }
        }
    }
    const xref_entry& r = ctx_repair_index(ctx).headers[objnum];
    if (r.offset >= 0) {
        const header_found h = header_at(ctx.bytes(), r.offset, objnum);
        if (h.kind == header_kind::match) {
            body_out = h.body;
            return true;
        }
    }
    if (unchecked >= 0) {
        body_out = unchecked;
        return true;
    }
    return false;
}

// Header check of the scan, from the end of an object number's digit run: white
// space, a generation number, white space, "obj" not glued to a word. Gives the
// position of the generation's first byte and its value.
bool repair_header_tail(byte_view d, std::int64_t run_end, std::int64_t& gen_pos_out, double& gen_out) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    std::int64_t p = rd_skip_ws(d, run_end);
    if (p >= len || !(is_digit(at(d, p)) || at(d, p) == '-'))
        return false;
    const std::int64_t gen_pos = p;
    double gen = 0;
    if (!rd_number(d, p, gen))
        return false;
    p = rd_skip_ws(d, p);
    if (p > len - 3 || std::memcmp(d.data() + p, "obj", 3) != 0)
        return false;
    if (p > 0 && is_alnum(at(d, p - 1)))
        return false;
    gen_pos_out = gen_pos;
    gen_out = gen;
    return true;
}

// Every "N G obj" header of the file's bytes, the last one of each number winning:
// later revisions of an incrementally updated file come later.
void scan_headers(byte_view d, repair_index& idx)
{
    const auto len = static_cast<std::int64_t>(d.size());
    std::int64_t q = 0;
    while (q < len - 8) {
        if (!is_digit(at(d, q))) {
            ++q;
            continue;
        }
        std::int64_t end = q;
        while (end < len && is_digit(at(d, end)))
            ++end;
        std::int64_t first = q;
        while (first < end && at(d, first) == '0')
            ++first;
        std::int64_t objnum = 0;
        if (end - first <= MAX_OBJNUM_DIGITS)
            for (std::int64_t i = first; i < end; ++i)
                objnum = objnum * 10 + (at(d, i) - '0');
        if (end - first > MAX_OBJNUM_DIGITS || objnum < 1 || objnum > MAX_OBJNUM) {
            q = end;
            continue;
        }
        std::int64_t gen_pos = 0;
        double gen = 0;
        if (!repair_header_tail(d, end, gen_pos, gen)) {
            q = end + 1;
            continue;
        }
        xref_entry& e = idx.headers.slot(objnum);
        e.offset = q;
        e.gen = trunc_i64(gen);
        idx.starts.push_back(q);
        q = gen_pos + 1;
    }
}

// The header (by its start) that a byte at pos belongs to: the last one before it.
std::int64_t header_before(const repair_index& idx, std::int64_t pos) noexcept
{
    const auto it = std::upper_bound(idx.starts.begin(), idx.starts.end(), pos);
    return it == idx.starts.begin() ? -1 : *(it - 1);
}

// The object number of the header that starts at pos.
std::int64_t number_at(byte_view d, std::int64_t pos) noexcept
{
    std::int64_t v = 0;
    std::int64_t i = pos;
    while (i < static_cast<std::int64_t>(d.size()) && at(d, i) == '0')
        ++i;
    for (int k = 0; i < static_cast<std::int64_t>(d.size()) && is_digit(at(d, i)) && k < MAX_OBJNUM_DIGITS; ++i, ++k)
        v = v * 10 + (at(d, i) - '0');
    return v;
}

bool name_is(byte_view d, std::int64_t pos, std::string_view want) noexcept
{
    char name[KEY_BYTES];
    std::int64_t end = 0;
    const std::int64_t p = rd_skip_ws(d, pos);
    const int n = rd_name(d, p, name, sizeof name, &end);
    return n > 0 && ieq(std::string_view(name, static_cast<std::size_t>(n)), want);
}

// The dictionaries of objects that say "/Type /NAME" (as written, not through
// escapes), in file order: each occurrence belongs to the header before it. Looking
// at the text around each occurrence, not walking dictionaries, keeps the cost of
// a file full of them linear.
std::vector<std::int64_t> typed_dicts(byte_view d, const repair_index& idx, std::string_view type)
{
    std::vector<std::int64_t> out;
    const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
    std::string key = "/";
    key += type;
    std::int64_t last_header = -1;
    for (std::size_t hit = text.find(key); hit != std::string_view::npos; hit = text.find(key, hit + 1)) {
        const std::size_t after = hit + key.size();
        if (after < text.size() && is_alnum(static_cast<std::uint8_t>(text[after])))
            continue;
        auto i = static_cast<std::int64_t>(hit) - 1;
        while (i >= 0 && is_pdf_ws(at(d, i)))
            --i;
        if (i < 4 || std::memcmp(d.data() + i - 4, "/Type", 5) != 0)
            continue;
        const std::int64_t header = header_before(idx, static_cast<std::int64_t>(hit));
        if (header < 0 || header == last_header)
            continue;
        last_header = header;
        std::int64_t dict = 0;
        if (obj_dict_at(d, header, dict) && dict < static_cast<std::int64_t>(hit))
            out.push_back(dict);
    }
    return out;
}

// Dictionaries after the keyword "trailer", in file order.
std::vector<std::int64_t> trailer_dicts(byte_view d)
{
    std::vector<std::int64_t> out;
    const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
    for (std::size_t hit = text.find("trailer"); hit != std::string_view::npos; hit = text.find("trailer", hit + 7)) {
        const std::int64_t p = rd_skip_ws(d, static_cast<std::int64_t>(hit) + 7);
        if (dict_start(d, p) != 0)
            out.push_back(p);
    }
    return out;
}

struct trailer_values {
    const ppdf_ctx* ctx;
    std::int64_t root = -1;
    std::int64_t info = -1;
    bool encrypt = false;
};

// The first Root and Info of one dictionary, and whether it has Encrypt.
void recovered_trailer_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& t = *static_cast<trailer_values*>(user);
    const byte_view d = t.ctx->bytes();
    std::int64_t p = value_pos;
    std::int64_t objnum = 0;
    if (ieq(key, "Root")) {
        if (t.root < 0 && rd_ref(d, p, objnum))
            t.root = objnum;
    } else if (ieq(key, "Info")) {
        if (t.info < 0 && rd_ref(d, p, objnum))
            t.info = objnum;
    } else if (ieq(key, "Encrypt")) {
        t.encrypt = true;
    }
}

}  // namespace

bool obj_dict_at(byte_view d, std::int64_t offset, std::int64_t& pos_out) noexcept
{
    // Recorded positions are often a little off (into the previous "endobj", or
    // shifted by an editor): look forward for the keyword, but not into "endobj".
    const header_found h = header_at(d, offset, -1);
    std::int64_t p = 0;
    if (!body_value(d, h.body, p) || dict_start(d, p) == 0)
        return false;
    pos_out = p;
    return true;
}

bool ctx_obj_body(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out)
{
    std::int64_t body = 0;
    return locate(ctx, objnum, body) && body_value(ctx.bytes(), body, pos_out);
}

bool ctx_obj_dict(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out)
{
    std::int64_t p = 0;
    if (!ctx_obj_body(ctx, objnum, p) || dict_start(ctx.bytes(), p) == 0)
        return false;
    pos_out = p;
    return true;
}

bool fetch_obj_body(ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out)
{
    unpack_for(ctx, objnum);
    return ctx_obj_body(ctx, objnum, pos_out);
}

bool fetch_obj_dict(ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out)
{
    unpack_for(ctx, objnum);
    return ctx_obj_dict(ctx, objnum, pos_out);
}

bool resolve_dict(const ppdf_ctx& ctx, std::int64_t pos, std::int64_t& pos_out)
{
    const byte_view d = ctx.bytes();
    const std::int64_t p = rd_skip_ws(d, pos);
    std::int64_t cur = p;
    std::int64_t objnum = 0;
    if (rd_ref(d, cur, objnum))
        return ctx_obj_dict(ctx, objnum, pos_out);
    if (dict_start(d, p) == 0)
        return false;
    pos_out = p;
    return true;
}

std::int64_t catalog_pages(const ppdf_ctx& ctx, std::int64_t catalog_pos)
{
    catalog_state st{&ctx, -1};
    std::int64_t p = catalog_pos;
    rd_dict(ctx.bytes(), p, catalog_cb, &st);
    return st.pages;
}

const repair_index& ctx_repair_index(const ppdf_ctx& ctx)
{
    if (!ctx.repaired) {
        ctx_need_all(ctx);
        auto idx = std::make_unique<repair_index>();
        const byte_view d = ctx.file_bytes();
        scan_headers(d, *idx);
        std::vector<std::int64_t> trailers = trailer_dicts(d);
        const std::vector<std::int64_t> streams = typed_dicts(d, *idx, "XRef");
        trailers.insert(trailers.end(), streams.begin(), streams.end());
        std::sort(trailers.begin(), trailers.end());
        idx->trailers = std::move(trailers);
        ctx.repaired = std::move(idx);
    }
    return *ctx.repaired;
}

void repair_scan(ppdf_ctx& ctx)
{
    const repair_index& idx = ctx_repair_index(ctx);
    idx.headers.for_each([&](std::int64_t n, const xref_entry& found) {
        if (found.offset < 0)
            return;
        xref_entry& e = ctx.xref.slot(n);
        if (e.offset == -1)
            ++ctx.xref_known;
        e.offset = found.offset;
        e.gen = found.gen;
    });
}

bool root_resolves(const ppdf_ctx& ctx)
{
    if (ctx.root < 0 || ctx.root > MAX_OBJNUM)
        return false;
    const xref_entry& e = ctx.xref[ctx.root];
    if (e.offset < 0 && e.compressed != 0) {
        // Packed: trusted while its object stream is there; unpacking it to look
        // would cost naming by title a stream it does not need.
        std::int64_t stm = 0;
        return in_object_table(ctx, e.objstm) &&
               (ctx.xref[e.objstm].offset < 0 || ctx_obj_dict(ctx, e.objstm, stm));
    }
    std::int64_t dict = 0;
    if (!ctx_obj_dict(ctx, ctx.root, dict))
        return false;
    std::int64_t type = 0;
    return !dict_find(ctx.bytes(), dict, "Type", type) || name_is(ctx.bytes(), type, "Catalog");
}

void recover_trailer(ppdf_ctx& ctx)
{
    const repair_index& idx = ctx_repair_index(ctx);
    ctx.recovered = 1;
    const std::int64_t sections_root = ctx.root;
    trailer_values found{&ctx};
    trailer_values fallback{&ctx};   // the newest trailer with any Root
    {
        const byte_view d = ctx.file_bytes();
        // Newest first; each dictionary is read only up to the next candidate, so a
        // file of unterminated ones costs one pass.
        std::int64_t end = static_cast<std::int64_t>(d.size());
        for (auto it = idx.trailers.rbegin(); it != idx.trailers.rend() && found.root < 0; ++it) {
            trailer_values t{&ctx};
            std::int64_t p = *it;
            rd_dict(d.first(static_cast<std::size_t>(end)), p, recovered_trailer_cb, &t);
            end = *it;
            if (t.root < 0)
                continue;
            if (fallback.root < 0)
                fallback = t;
            ctx.root = t.root;
            if (root_resolves(ctx))
                found = t;
        }
        if (found.root < 0) {
            // No trailer names a catalog: the last object that is one.
            const std::vector<std::int64_t> catalogs = typed_dicts(d, idx, "Catalog");
            if (!catalogs.empty()) {
                found = fallback;
                found.root = number_at(d, header_before(idx, catalogs.back()));
            } else if (fallback.root >= 0) {
                found = fallback;
            } else {
                ctx.root = sections_root;
                return;
            }
        }
    }
    ctx.root = found.root;
    if (found.encrypt)
        ctx.encrypted = 1;
    std::int64_t info = 0;
    if (found.info >= 0 && (ctx.info_obj < 0 || !fetch_obj_dict(ctx, ctx.info_obj, info)))
        ctx.info_obj = found.info;
}

void read_doc_info(ppdf_ctx& ctx, std::int64_t dict_pos)
{
    ppdf_info& info = *ctx.info;
    {
        const byte_view d = ctx.bytes();
        if (dict_start(d, dict_pos) == 0)
            return;
    }
    std::int64_t p = dict_pos + dict_start(ctx.bytes(), dict_pos);
    char key[KEY_BYTES];
    char text[TITLE_BYTES];
    static_assert(TITLE_BYTES >= DATE_BYTES);
    for (;;) {
        // Following a reference may unpack an object stream and move the buffer.
        byte_view d = ctx.bytes();
        const auto len = static_cast<std::int64_t>(d.size());
        p = rd_skip_ws(d, p);
        if (p >= len)
            return;
        const std::uint8_t c = at(d, p);
        if (c == '}' || (c == '>' && p + 1 < len && at(d, p + 1) == '>'))
            return;
        std::int64_t name_end = p;
        if (rd_name(d, p, key, sizeof key, &name_end) < 0) {
            rd_skip_value(d, p);
            return;
        }
        p = rd_skip_ws(d, name_end);
        const std::string_view k(key);
        char* field = nullptr;
        std::size_t cap = 0;
        if (ieq(k, "Title")) {
            field = info.title;
            cap = TITLE_BYTES;
        } else if (ieq(k, "CreationDate")) {
            field = info.creation_date;
            cap = DATE_BYTES;
        } else if (ieq(k, "ModDate")) {
            field = info.mod_date;
            cap = DATE_BYTES;
        }
        const std::int64_t before = p;
        if (field != nullptr && rd_string(d, p, text, cap) >= 0) {
            copy_field(field, cap, text);
        } else {
            // A string kept in an object of its own counts; a reference in that
            // object is not followed further.
            std::int64_t ref = p;
            std::int64_t objnum = 0;
            std::int64_t value = 0;
            if (field != nullptr && rd_ref(d, ref, objnum)) {
                p = ref;
                if (fetch_obj_body(ctx, objnum, value)) {
                    d = ctx.bytes();
                    if (rd_string(d, value, text, cap) >= 0)
                        copy_field(field, cap, text);
                }
            } else {
                rd_skip_value(d, p);
            }
        }
        if (p <= before)
            ++p;   // a value that cannot be stepped over must not stall the walk
    }
}

}  // namespace tavrik
