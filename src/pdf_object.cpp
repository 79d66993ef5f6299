// Object access: from an object number to its dictionary, the catalog's Pages
// entry, the repair scan for files whose cross-reference data gave almost
// nothing, and the document information.
#include "pdf_parse.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavrik {

namespace {

bool slot_in_range(const ppdf_ctx& ctx, std::int64_t objnum) noexcept
{
    return objnum >= 0 && objnum < ctx.xref_cap && objnum < static_cast<std::int64_t>(ctx.xref.size());
}

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

// Header check of the repair scan, from the end of an object number's digit run:
// white space, a generation number, white space, "obj" not glued to a word.
// Gives the position of the generation's first byte and its value.
bool repair_header_tail(byte_view d, std::int64_t run_end, std::int64_t& gen_pos_out, double& gen_out) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    std::int64_t p = rd_skip_ws(d, run_end);
    if (p >= len || !(is_digit(d[static_cast<std::size_t>(p)]) || d[static_cast<std::size_t>(p)] == '-'))
        return false;
    const std::int64_t gen_pos = p;
    double gen = 0;
    if (!rd_number(d, p, gen))
        return false;
    p = rd_skip_ws(d, p);
    if (p > len - 3 || std::memcmp(d.data() + p, "obj", 3) != 0)
        return false;
    if (p > 0 && is_alnum(d[static_cast<std::size_t>(p - 1)]))
        return false;
    gen_pos_out = gen_pos;
    gen_out = gen;
    return true;
}

}  // namespace

bool obj_dict_at(byte_view d, std::int64_t offset, std::int64_t& pos_out) noexcept
{
    const auto len = static_cast<std::int64_t>(d.size());
    if (offset < 0 || offset >= len - 3)
        return false;
    // Recorded positions are often a little off (into the previous "endobj", or
    // shifted by an editor): look forward for the keyword, but not into "endobj".
    std::int64_t body = -1;
    for (std::int64_t s = offset; s < offset + OBJ_SEARCH_STARTS; ++s) {
        if (s > len - 3)
            return false;
        if (d[static_cast<std::size_t>(s)] == 'o' && d[static_cast<std::size_t>(s) + 1] == 'b' &&
            d[static_cast<std::size_t>(s) + 2] == 'j' && (s == 0 || !is_alnum(d[static_cast<std::size_t>(s - 1)]))) {
            body = s + 3;
            break;
        }
    }
    if (body < 0)
        body = offset + OBJ_SEARCH_STARTS;
    if (body >= len - 3)
        return false;
    const std::int64_t p = rd_skip_ws(d, body);
    if (dict_start(d, p) == 0)
        return false;
    pos_out = p;
    return true;
}

bool ctx_obj_dict(const ppdf_ctx& ctx, std::int64_t objnum, std::int64_t& pos_out) noexcept
{
    if (!slot_in_range(ctx, objnum))
        return false;
    return obj_dict_at(ctx.bytes(), ctx.xref[static_cast<std::size_t>(objnum)].offset, pos_out);
}

bool resolve_dict(const ppdf_ctx& ctx, std::int64_t pos, std::int64_t& pos_out) noexcept
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

void repair_scan(ppdf_ctx& ctx)
{
    const byte_view d = ctx.bytes();
    const auto len = static_cast<std::int64_t>(d.size());
    const auto at = [&](std::int64_t i) { return d[static_cast<std::size_t>(i)]; };

    std::int64_t q = 0;
    while (q < len - 8) {
        if (!is_digit(at(q))) {
            ++q;
            continue;
        }
        // One digit run [q, end). Every suffix of it is a candidate object number;
        // all suffixes share the same tail after the run, so only the first one
        // whose value lies in 1..MAX_OBJECTS-1 can succeed, and the scan then moves
        // past the run either way. That suffix starts after the last non-zero digit
        // that lies more than four digits before the end. The last five non-zero
        // positions suffice to find it in one pass.
        std::int64_t nz[5] = {-1, -1, -1, -1, -1};
        int nz_count = 0;
        std::int64_t end = q;
        while (end < len && is_digit(at(end))) {
            if (at(end) != '0') {
                nz[nz_count % 5] = end;
                ++nz_count;
            }
            ++end;
        }
        std::int64_t start = q;
        std::int64_t last_nz = -1;
        for (int i = 0; i < 5 && i < nz_count; ++i) {
            const std::int64_t pos = nz[(nz_count - 1 - i) % 5];
            if (last_nz < 0)
                last_nz = pos;
            if (pos < end - 4) {
                start = std::max(start, pos + 1);
                break;
            }
        }
        // No non-zero digit at or after start: every suffix is 0.
        // Suffixes beyond the loop's bound are never visited.
        if (last_nz < start || start >= len - 8) {
            q = end;
            continue;
        }
        std::int64_t objnum = 0;   // digits before end - 4 are zeros here
        for (std::int64_t i = std::max(start, end - 4); i < end; ++i)
            objnum = objnum * 10 + (at(i) - '0');
        if (!slot_in_range(ctx, objnum)) {
            q = end;
            continue;
        }

        std::int64_t gen_pos = 0;
        double gen = 0;
        if (!repair_header_tail(d, end, gen_pos, gen)) {
            q = end + 1;
            continue;
        }
        // Later headers overwrite earlier ones: the newest revision of an
        // incrementally updated file comes last.
        xref_entry& e = ctx.xref.slot(static_cast<std::size_t>(objnum));
        if (e.offset == -1)
            ++ctx.xref_known;
        e.offset = start;
        e.gen = trunc_i64(gen);
        q = gen_pos + 1;
    }
}

void read_doc_info(ppdf_ctx& ctx, std::int64_t dict_pos)
{
    const byte_view d = ctx.bytes();
    const auto len = static_cast<std::int64_t>(d.size());
    ppdf_info& info = *ctx.info;

    const int opener = dict_start(d, dict_pos);
    if (opener == 0)
        return;
    std::int64_t p = dict_pos + opener;
    char key[KEY_BYTES];
    char text[TITLE_BYTES];
    static_assert(TITLE_BYTES >= DATE_BYTES);
    for (;;) {
        p = rd_skip_ws(d, p);
        if (p >= len)
            return;
        const std::uint8_t c = d[static_cast<std::size_t>(p)];
        if (c == '}' || (c == '>' && p + 1 < len && d[static_cast<std::size_t>(p) + 1] == '>'))
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
        if (field != nullptr && rd_string(d, p, text, cap) >= 0)
            copy_field(field, cap, text);
        else
            rd_skip_value(d, p);
        if (p <= before)
            ++p;   // a value that cannot be stepped over must not stall the walk
    }
}

}  // namespace tavrik
