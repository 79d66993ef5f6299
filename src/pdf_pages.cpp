// The page-tree walk: Pages nodes depth first in Kids order, the Resources they
// pass down, each page's fonts and content streams. Damaged trees are the rule:
// node types are found by a byte scan of each kid, inline kid dictionaries are
// accepted, and whatever cannot be read is skipped.
//
// Trees that refer back to an ancestor or list one subtree many times are bounded:
// a node on the current path is never entered again, and a document gets at most
// MAX_PAGE_NODES pages and Pages nodes. Within that budget every visit is cheap:
// a kid's type is found once per object, a node's Kids are parsed once into runs
// of repeated entries, and a page that stored no line is not read again under the
// same inherited resources (reading it again could not store one either).
//
// A page's fonts are loaded when its content first selects them, not all at once:
// a document of many pages naming hundreds of fonts each would otherwise load them
// for every page. The result is the same as loading the whole table first: names
// are indexed in the same order with the same first-wins and capacity rules, and a
// font depends on nothing but its dictionary, so each is loaded once per document.
#include "pdf_parse.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tavrik {

struct ppdf_ctx;

// One drawing being scanned: the page, or a form or appearance stream inside it.
// Names resolve in the innermost Resources first, then outwards to the page's.
struct draw_frame {
    ppdf_ctx* ctx = nullptr;
    const draw_frame* outer = nullptr;   // null for the page
    std::int64_t objnum = -1;            // the form's stream; -1 for the page
    int depth = 0;
    std::int64_t fonts = -1;             // Font and XObject dictionaries, -1: none
    std::int64_t xobjects = -1;
    std::int64_t xobjects_inherited = -1;   // the page's, from its ancestors
};

struct page_walk {
    enum class kid_kind : std::uint8_t { unknown, none, page, pages };

    // How a kid reference to one object number resolves.
    struct kid_class {
        kid_kind kind = kid_kind::unknown;
        std::int32_t node = -1;   // index in nodes, for a Pages kid once entered
        std::int64_t pos = 0;     // dictionary position
    };

    // One Kids entry, repeated count times in a row: an object number, or for an
    // inline page dictionary -1 - its index in inline_pages.
    struct kid_run {
        std::int32_t entry;
        std::int32_t count;
    };

    struct pages_node {
        std::int64_t pos = 0;
        bool built = false;
        bool on_path = false;
        bool has_res = false;
        std::int64_t res_pos = 0;
        std::int64_t media = -1;   // MediaBox and CropBox values, -1: none
        std::int64_t crop = -1;
        std::vector<kid_run> kids;
        std::vector<kid_run> page_kids;   // the page entries alone, for a node at the depth limit
        bool page_kids_built = false;
        // The Kids arrays, read as far as the walk has needed.
        std::vector<std::int64_t> kids_arrays;
        std::size_t kids_array_index = 0;
        std::int64_t kids_cursor = -1;   // in the array being read; -1: between arrays
        int kids_in_array = 0;
        bool kids_done = false;
        bool type_seen = false;
        bool is_page = false;   // its Type says Page
    };

    struct quiet_key {
        std::int64_t page;
        std::int64_t res;   // inherited Resources value, -1 for none
        std::int64_t media; // inherited boxes, -1 for none
        std::int64_t crop;
        bool operator==(const quiet_key&) const = default;
    };
    struct quiet_hash {
        std::size_t operator()(const quiet_key& k) const noexcept
        {
            const auto a = static_cast<std::uint64_t>(k.page) * 0x9E3779B97F4A7C15ULL;
            return static_cast<std::size_t>(a ^ (static_cast<std::uint64_t>(k.res) + 0x632BE59BD9B4E019ULL +
                                                 (a << 6) + (a >> 2)));
        }
    };

    // by_obj takes over kept's memory and gives it back when the walk ends: a
    // thread's walks share it, as fresh pages for it cost more than a small walk.
    page_walk(const ppdf_ctx& ctx, reused_table<kid_class>& kept) : kept_by_obj(kept)
    {
        std::swap(by_obj, kept);
        by_obj.reset(static_cast<std::size_t>(std::max<std::int64_t>(
            0, std::min<std::int64_t>(ctx.xref_cap, static_cast<std::int64_t>(ctx.xref.size())))));
    }
    ~page_walk() { std::swap(kept_by_obj, by_obj); }
    page_walk(const page_walk&) = delete;
    page_walk& operator=(const page_walk&) = delete;

    // Counts one page or Pages node against the budget; false once it is spent.
    bool admit() noexcept
    {
        if (stopped || nodes >= MAX_PAGE_NODES) {
            stopped = true;
            return false;
        }
        ++nodes;
        return true;
    }

    std::int32_t node_at(std::int64_t pos)
    {
        const auto it = node_index.find(pos);
        if (it != node_index.end())
            return it->second;
        const auto id = static_cast<std::int32_t>(node_list.size());
        node_list.emplace_back().pos = pos;
        node_index.emplace(pos, id);
        return id;
    }

    // The font dictionaries (Font values) a page draws on, inherited one first; -1: none.
    struct font_sources {
        std::int64_t first = -1;
        std::int64_t second = -1;
        bool operator==(const font_sources&) const = default;
    };
    struct sources_hash {
        std::size_t operator()(const font_sources& k) const noexcept
        {
            return static_cast<std::size_t>(static_cast<std::uint64_t>(k.first) * 0x9E3779B97F4A7C15ULL ^
                                            static_cast<std::uint64_t>(k.second));
        }
    };
    // A content stream read under one page's fonts and geometry. A stream is
    // scanned from a fresh text state, so one that stored no line under those fonts,
    // that matrix and that box cannot store one later.
    struct quiet_stream {
        std::int64_t objnum;
        font_sources sources;
        std::array<double, 10> geometry;
        bool operator==(const quiet_stream&) const = default;
    };
    struct quiet_stream_hash {
        std::size_t operator()(const quiet_stream& k) const noexcept
        {
            return sources_hash{}(k.sources) ^ static_cast<std::size_t>(static_cast<std::uint64_t>(k.objnum) *
                                                                         0xC2B2AE3D27D4EB4FULL);
        }
    };
    // A page's font table as names: each stored name to its font dictionary.
    using font_index = std::unordered_map<std::string, std::int64_t>;

    std::int64_t nodes = 0;
    std::int64_t runs_visited = 0;
    bool stopped = false;
    reused_table<kid_class>& kept_by_obj;
    reused_table<kid_class> by_obj;
    std::deque<pages_node> node_list;   // stable references while the walk recurses
    std::unordered_map<std::int64_t, std::int32_t> node_index;
    std::vector<std::int64_t> inline_pages;
    std::unordered_set<quiet_key, quiet_hash> quiet;

    std::unordered_set<quiet_stream, quiet_stream_hash> quiet_streams;

    font_sources page_sources;
    const font_index* page_index = nullptr;   // built on the page's first font lookup
    std::unordered_map<font_sources, font_index, sources_hash> indexes;
    std::size_t indexed_names = 0;
    std::unordered_map<std::int64_t, std::unique_ptr<pdf_font>> loaded;   // by font dictionary
    std::uint64_t loaded_bytes = 0;
    // Fonts dropped from the cache while the page is read: scanners and the states
    // that q saved may still hold them, so they go when the page is done.
    std::vector<std::unique_ptr<pdf_font>> retired;
    std::uint64_t retired_bytes = 0;

    std::int64_t inherited_media = -1;
    std::int64_t inherited_crop = -1;
    draw_geometry* page_geometry = nullptr;          // of the page being read
    const draw_frame* page_frame = nullptr;
    std::uint64_t form_bytes_page = 0;               // forms and appearances scanned
    std::uint64_t form_bytes_doc = 0;
};

namespace {

using kid_kind = page_walk::kid_kind;

constexpr std::size_t TYPE_NAME_BYTES = 32;     // a Type value: 31 bytes
constexpr std::int64_t MAX_SHORT_DICT_BYTES = 6; // "<< >>" and the like

[[nodiscard]] std::size_t at(std::int64_t pos) noexcept { return static_cast<std::size_t>(pos); }

// "/Type" at i, followed by a byte that does not continue the key.
[[nodiscard]] bool type_key_at(byte_view d, std::int64_t i, bool hash_continues) noexcept
{
    if (d[at(i)] != '/' || std::memcmp(d.data() + i + 1, "Type", 4) != 0)
        return false;
    const std::uint8_t c = d[at(i + 5)];
    return !(is_alnum(c) || (hash_continues && c == '#'));
}

// The Type value after the key ending at i, or an empty view.
[[nodiscard]] std::string_view type_value(byte_view d, std::int64_t i, char* out) noexcept
{
    const std::int64_t p = rd_skip_ws(d, i);
    std::int64_t end = 0;
    const int len = rd_name(d, p, out, TYPE_NAME_BYTES, &end);
    return len > 0 ? std::string_view(out, static_cast<std::size_t>(len)) : std::string_view{};
}

// The type of a kid dictionary [pos, end): a Type at the top nesting level, with
// strings stepped over.
[[nodiscard]] kid_kind kid_dict_type(byte_view d, std::int64_t pos, std::int64_t end) noexcept
{
    int level = 0;
    std::int64_t i = pos;
    char name[TYPE_NAME_BYTES];
    while (i + 7 < end) {
        const std::uint8_t c = d[at(i)];
        if (c == '<' && d[at(i + 1)] == '<') {
            ++level;
            i += 2;
        } else if (c == '>' && d[at(i + 1)] == '>') {
            --level;
            i += 2;
        } else if (c == '<') {
            ++i;
            while (i < end && d[at(i)] != '>')
                ++i;
            ++i;
        } else if (c == '(') {
            int nest = 1;
            ++i;
            while (i < end && nest > 0) {
                const std::uint8_t s = d[at(i)];
                if (s == '\\') {
                    i += 2;
                    continue;
                }
                if (s == '(')
                    ++nest;
                else if (s == ')')
                    --nest;
                ++i;
            }
        } else {
            if (level == 1 && type_key_at(d, i, true)) {
                const std::string_view v = type_value(d, i + 5, name);
                if (ieq(v, "Page"))
                    return kid_kind::page;
                if (ieq(v, "Pages"))
                    return kid_kind::pages;
            }
            ++i;
        }
    }
    return kid_kind::none;
}

// Past the ">>" that closes the inline dictionary at pos (strings not recognised),
// or the end of the data.
[[nodiscard]] std::int64_t inline_dict_end(byte_view d, std::int64_t pos) noexcept
{
    const auto n = static_cast<std::int64_t>(d.size());
    std::int64_t depth = 0;
    std::int64_t i = pos;
    while (i + 1 < n) {
        if (d[at(i)] == '<' && d[at(i + 1)] == '<') {
            ++depth;
            i += 2;
        } else if (d[at(i)] == '>' && d[at(i + 1)] == '>') {
            i += 2;
            if (--depth == 0)
                return i;
        } else {
            ++i;
        }
    }
    return n;
}

// An inline kid is a page unless the first readable Type, at any level, says otherwise.
[[nodiscard]] bool inline_kid_is_page(byte_view d, std::int64_t pos, std::int64_t end) noexcept
{
    if (end - pos <= MAX_SHORT_DICT_BYTES)
        return true;
    char name[TYPE_NAME_BYTES];
    for (std::int64_t i = pos; i + 7 < end; ++i) {
        if (!type_key_at(d, i, false))
            continue;
        const std::string_view v = type_value(d, i + 5, name);
        if (!v.empty())
            return ieq(v, "Page");
    }
    return true;
}

page_walk::kid_class& classify(ppdf_ctx& ctx, page_walk& w, std::int64_t obj)
{
    page_walk::kid_class& k = w.by_obj.slot(at(obj));
    if (k.kind != kid_kind::unknown)
        return k;
    k.kind = kid_kind::none;
    const byte_view d = ctx.bytes();
    std::int64_t pos = 0;
    if (!ctx_obj_dict(ctx, obj, pos))
        return k;
    pos = rd_skip_ws(d, pos);
    if (dict_start(d, pos) == 0)
        return k;
    const std::int64_t end = dict_end(d, pos);
    if (end - pos <= MAX_SHORT_DICT_BYTES)
        return k;
    k.kind = kid_dict_type(d, pos, end);
    k.pos = pos;
    return k;
}

void add_run(std::vector<page_walk::kid_run>& runs, std::int32_t entry)
{
    if (!runs.empty() && runs.back().entry == entry && runs.back().count < std::numeric_limits<std::int32_t>::max())
        ++runs.back().count;
    else
        runs.push_back({entry, 1});
}

struct pages_cb_user {
    const ppdf_ctx* ctx;
    page_walk::pages_node* node;
};

// What a Pages node's dictionary holds for the walk, found in one pass.
void pages_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& u = *static_cast<pages_cb_user*>(user);
    page_walk::pages_node& node = *u.node;
    if (ieq(key, "Kids")) {
        node.kids_arrays.push_back(value_pos);
    } else if (ieq(key, "Resources")) {
        if (!node.has_res) {
            node.has_res = true;
            node.res_pos = value_pos;
        }
    } else if (ieq(key, "MediaBox")) {
        if (node.media < 0)
            node.media = value_pos;
    } else if (ieq(key, "CropBox")) {
        if (node.crop < 0)
            node.crop = value_pos;
    } else if (ieq(key, "Type") && !node.type_seen) {
        char name[TYPE_NAME_BYTES];
        node.type_seen = true;
        node.is_page = ieq(type_value(u.ctx->bytes(), value_pos, name), "Page");
    }
}

// Kids entries read per step of the walk: a node's Kids are read as far as the walk
// has gone, so the first line of a long flat tree does not wait for the rest.
constexpr int KIDS_PER_STEP = 32;

// Reads up to KIDS_PER_STEP more entries of the node's Kids arrays into runs.
void read_more_kids(ppdf_ctx& ctx, page_walk& w, page_walk::pages_node& node)
{
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    for (int step = 0; step < KIDS_PER_STEP;) {
        if (node.kids_cursor < 0) {
            // The next array, past its "[".
            if (node.kids_array_index >= node.kids_arrays.size()) {
                node.kids_done = true;
                return;
            }
            std::int64_t p = rd_skip_ws(d, node.kids_arrays[node.kids_array_index++]);
            if (p >= n || d[at(p)] != '[')
                continue;
            node.kids_cursor = p + 1;
            node.kids_in_array = 0;
        }
        std::int64_t& p = node.kids_cursor;
        p = rd_skip_ws(d, p);
        if (p >= n || d[at(p)] == ']' || node.kids_in_array >= MAX_KIDS_PER_ARRAY) {
            p = -1;
            continue;
        }
        if (p + 1 < n && d[at(p)] == '<' && d[at(p + 1)] == '<') {
            const std::int64_t end = inline_dict_end(d, p);
            if (++node.kids_in_array > MAX_KIDS_PER_ARRAY)
                continue;
            if (inline_kid_is_page(d, p, end)) {
                w.inline_pages.push_back(p);
                add_run(node.kids, static_cast<std::int32_t>(-1 - static_cast<std::int64_t>(w.inline_pages.size() - 1)));
            }
            p = end;
            ++step;
            continue;
        }
        std::int64_t obj = -1;
        if (!rd_ref(d, p, obj)) {
            ++p;   // a stray token is stepped over byte by byte
            continue;
        }
        if (++node.kids_in_array > MAX_KIDS_PER_ARRAY)
            continue;
        ++step;
        // A kid's type is found when the walk reaches it.
        if (in_object_table(ctx, obj))
            add_run(node.kids, static_cast<std::int32_t>(obj));
    }
}

void build_node(ppdf_ctx& ctx, page_walk::pages_node& node)
{
    node.built = true;
    const byte_view d = ctx.bytes();
    if (dict_start(d, node.pos) != 0) {
        std::int64_t cursor = node.pos;
        pages_cb_user u{&ctx, &node};
        rd_dict(d, cursor, pages_cb, &u);
    }
}

// The page entries alone, for a node at the depth limit, where Pages kids are not entered.
void build_page_kids(ppdf_ctx& ctx, page_walk& w, page_walk::pages_node& node)
{
    node.page_kids_built = true;
    while (!node.kids_done)
        read_more_kids(ctx, w, node);
    for (const page_walk::kid_run& r : node.kids)
        if (r.entry < 0 || classify(ctx, w, r.entry).kind == kid_kind::page)
            node.page_kids.push_back(r);
}

void walk_pages(ppdf_ctx& ctx, page_walk& w, std::int64_t pos, int depth)
{
    const std::int32_t id = w.node_at(pos);
    page_walk::pages_node& node = w.node_list[at(id)];
    if (!node.built)
        build_node(ctx, node);
    // A catalog whose Pages is the one page itself.
    if (depth == 0 && node.is_page) {
        ctx_do_page(ctx, pos);
        return;
    }
    if (node.on_path || !w.admit())
        return;

    const std::int64_t saved_res = ctx.inherited_res;
    const std::int32_t saved_has = ctx.has_inherited_res;
    const std::int64_t saved_media = w.inherited_media;
    const std::int64_t saved_crop = w.inherited_crop;
    if (node.has_res) {
        ctx.inherited_res = node.res_pos;
        ctx.has_inherited_res = 1;
    }
    if (node.media >= 0)
        w.inherited_media = node.media;
    if (node.crop >= 0)
        w.inherited_crop = node.crop;
    node.on_path = true;

    if (depth <= MAX_PAGE_DEPTH) {
        const bool may_descend = depth + 1 <= MAX_PAGE_DEPTH;
        if (!may_descend && !node.page_kids_built)
            build_page_kids(ctx, w, node);
        for (std::size_t i = 0;; ++i) {
            if (may_descend) {
                // A run is final once another follows it: the entries read next
                // may still repeat the last one.
                while (node.kids.size() <= i + 1 && !node.kids_done)
                    read_more_kids(ctx, w, node);
                if (i >= node.kids.size())
                    break;
            } else if (i >= node.page_kids.size()) {
                break;
            }
            // A copy: the walk below may read this node's kids no further (the node
            // is on the path), but the vector is not to be held across it.
            const page_walk::kid_run run = may_descend ? node.kids[i] : node.page_kids[i];
            // A caller that does not want the pages counted needs nothing after the
            // last line, not even the next kid's type.
            const bool done = ctx.count_all_pages == 0 && (ctx.info == nullptr || ctx.info->line_count >= ctx.line_limit);
            if (w.stopped || done || ctx.walk_miss >= 0 || ++w.runs_visited > MAX_KID_RUNS_VISITED) {
                w.stopped = true;
                break;
            }
            if (run.entry < 0) {
                const std::int64_t page_pos = w.inline_pages[at(-1 - static_cast<std::int64_t>(run.entry))];
                for (std::int32_t k = 0; k < run.count && !w.stopped; ++k)
                    ctx_do_page(ctx, page_pos);
                continue;
            }
            page_walk::kid_class& kid = classify(ctx, w, run.entry);
            if (kid.kind == kid_kind::page) {
                for (std::int32_t k = 0; k < run.count && !w.stopped; ++k)
                    ctx_do_page(ctx, kid.pos);
            } else if (kid.kind == kid_kind::pages && may_descend) {
                if (kid.node < 0)
                    kid.node = w.node_at(kid.pos);
                // A node on the current path stays there for the whole run.
                if (w.node_list[at(kid.node)].on_path)
                    continue;
                for (std::int32_t k = 0; k < run.count && !w.stopped; ++k)
                    walk_pages(ctx, w, kid.pos, depth + 1);
            }
        }
    }

    node.on_path = false;
    ctx.inherited_res = saved_res;
    ctx.has_inherited_res = saved_has;
    w.inherited_media = saved_media;
    w.inherited_crop = saved_crop;
}

// user: the reader context.
void page_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    if (!ieq(key, "Contents"))
        return;
    ppdf_ctx& ctx = *static_cast<ppdf_ctx*>(user);
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    std::int64_t p = rd_skip_ws(d, value_pos);
    std::int64_t obj = -1;
    if (p < n && d[at(p)] == '[') {
        ++p;
        for (;;) {
            p = rd_skip_ws(d, p);
            if (p >= n || d[at(p)] == ']')
                return;
            if (rd_ref(d, p, obj))
                ctx_extract_content(ctx, obj);
            else
                ++p;
        }
    }
    if (!rd_ref(d, p, obj))
        return;
    // Contents may name an array of streams as an object of its own.
    std::int64_t body = 0;
    if (in_object_table(ctx, obj) && ctx_obj_body(ctx, obj, body)) {
        body = rd_skip_ws(d, body);
        if (body < n && d[at(body)] == '[') {
            for (std::int64_t q = body + 1;;) {
                q = rd_skip_ws(d, q);
                if (q >= n || d[at(q)] == ']')
                    return;
                std::int64_t stream = -1;
                if (rd_ref(d, q, stream))
                    ctx_extract_content(ctx, stream);
                else
                    ++q;
            }
        }
    }
    ctx_extract_content(ctx, obj);
}

[[nodiscard]] bool lines_full(const ppdf_ctx& ctx) noexcept
{
    return ctx.info == nullptr || ctx.info->line_count >= ctx.line_limit;
}

// Caches of names and loaded fonts are dropped whole beyond these.
constexpr std::size_t MAX_INDEXED_NAMES = 1000000;
constexpr std::uint64_t MAX_LOADED_FONT_BYTES = 256u << 20;

// The Font dictionary under a Resources value, as the eager loading finds it.
[[nodiscard]] std::int64_t font_source(const ppdf_ctx& ctx, std::int64_t res_value)
{
    const byte_view d = ctx.bytes();
    std::int64_t res = 0;
    std::int64_t font_value = 0;
    std::int64_t fonts = 0;
    if (!resolve_dict(ctx, res_value, res) || !dict_find(d, res, "Font", font_value) ||
        !resolve_dict(ctx, font_value, fonts) || dict_start(d, fonts) == 0)
        return -1;
    return fonts;
}

struct index_user {
    const ppdf_ctx* ctx;
    page_walk::font_index* index;
    int added;
};

// The rules of fontdict_cb and the font table: a key equal to a stored name is
// skipped, one that does not resolve takes no place, at most MAX_FONTS are stored,
// a name is kept to FONT_NAME_BYTES - 1 bytes and its first zero byte, and a lookup
// finds the first entry stored under a name.
void index_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& u = *static_cast<index_user*>(user);
    if (u.index->contains(std::string(key)))
        return;
    std::int64_t dict = 0;
    if (u.added >= MAX_FONTS || !resolve_dict(*u.ctx, value_pos, dict))
        return;
    ++u.added;
    std::string stored(key.substr(0, FONT_NAME_BYTES - 1));
    stored.resize(std::min(stored.size(), stored.find('\0')));
    u.index->emplace(std::move(stored), dict);
}

const page_walk::font_index& page_font_index(ppdf_ctx& ctx, page_walk& w)
{
    const auto found = w.indexes.find(w.page_sources);
    if (found != w.indexes.end())
        return found->second;
    if (w.indexed_names > MAX_INDEXED_NAMES) {
        w.indexes.clear();
        w.indexed_names = 0;
    }
    page_walk::font_index& index = w.indexes[w.page_sources];
    index_user u{&ctx, &index, 0};
    const byte_view d = ctx.bytes();
    for (const std::int64_t src : {w.page_sources.first, w.page_sources.second}) {
        if (src < 0)
            continue;
        std::int64_t cursor = src;
        rd_dict(d, cursor, index_cb, &u);
    }
    w.indexed_names += index.size() + 1;
    return index;
}

[[nodiscard]] std::uint64_t font_bytes(const pdf_font& f) noexcept
{
    std::uint64_t n = sizeof f + f.chars.capacity() * sizeof(pf_char) + f.range_runs.capacity() * sizeof(pf_range_run) +
                      pf_known_bytes(f) + pf_width_bytes(f);
    for (const pf_range& r : f.ranges)
        n += sizeof r + static_cast<std::uint64_t>(r.nslots) * MAP_TEXT_BYTES;
    return n;
}

// The font whose dictionary opens at dict, loaded once per document while the
// cache has room.
const pdf_font* load_font_at(ppdf_ctx& ctx, page_walk& w, std::int64_t dict)
{
    if (const auto it = w.loaded.find(dict); it != w.loaded.end())
        return it->second.get();
    if (w.retired_bytes > MAX_LOADED_FONT_BYTES)
        return nullptr;   // one page has loaded twice what the cache holds
    auto font = std::make_unique<pdf_font>();
    font_load(ctx, *font, dict);
    const std::uint64_t bytes = font_bytes(*font);
    if (w.loaded_bytes + bytes > MAX_LOADED_FONT_BYTES) {
        for (auto& [key, f] : w.loaded)
            w.retired.push_back(std::move(f));
        w.loaded.clear();
        w.retired_bytes += w.loaded_bytes;
        w.loaded_bytes = 0;
    }
    w.loaded_bytes += bytes;
    return w.loaded.emplace(dict, std::move(font)).first->second.get();
}

// user: the reader context, during a page walk.
const pdf_font* walk_find_font(void* user, std::string_view name)
{
    ppdf_ctx& ctx = *static_cast<ppdf_ctx*>(user);
    page_walk& w = *ctx.walk;
    if (w.page_index == nullptr)
        w.page_index = &page_font_index(ctx, w);
    const auto entry = w.page_index->find(std::string(name));
    if (entry == w.page_index->end())
        return nullptr;
    return load_font_at(ctx, w, entry->second);
}


// ---- forms and annotation appearances -----------------------------------------
// Forms inside forms: pdfpages and imposition tools nest two or three deep.
constexpr int MAX_FORM_DEPTH = 16;
// Decoded bytes of forms and appearance streams scanned, per page and per
// document: a form drawn thousands of times, or forms that draw one another, end
// there instead of scanning without end.
constexpr std::uint64_t MAX_FORM_BYTES_PER_PAGE = std::uint64_t{32} << 20;
constexpr std::uint64_t MAX_FORM_BYTES_PER_DOC = std::uint64_t{256} << 20;
constexpr int MAX_ANNOTS_PER_PAGE = 10000;
constexpr std::int64_t ANNOT_HIDDEN = 2;    // F bits: Hidden, NoView
constexpr std::int64_t ANNOT_NO_VIEW = 32;


// A dictionary under key of the Resources value at res_value, or -1.
[[nodiscard]] std::int64_t resource_dict(const ppdf_ctx& ctx, std::int64_t res_value, std::string_view key)
{
    const byte_view d = ctx.bytes();
    std::int64_t res = 0;
    std::int64_t value = 0;
    std::int64_t dict = 0;
    if (!resolve_dict(ctx, res_value, res) || !dict_find(d, res, key, value) || !resolve_dict(ctx, value, dict) ||
        dict_start(d, dict) == 0)
        return -1;
    return dict;
}

const pdf_font* frame_find_font(void* user, std::string_view name)
{
    const auto& frame = *static_cast<const draw_frame*>(user);
    ppdf_ctx& ctx = *frame.ctx;
    for (const draw_frame* f = &frame; f != nullptr; f = f->outer) {
        if (f->outer == nullptr)
            return walk_find_font(&ctx, name);
        std::int64_t value = 0;
        std::int64_t dict = 0;
        if (f->fonts >= 0 && dict_find(ctx.bytes(), f->fonts, name, value) && resolve_dict(ctx, value, dict) &&
            dict_start(ctx.bytes(), dict) != 0)
            return load_font_at(ctx, *ctx.walk, dict);
    }
    return nullptr;
}

// The numbers of the array at value_pos (or the array it refers to); how many of
// wanted were read.
int number_array(const ppdf_ctx& ctx, std::int64_t value_pos, double* out, int wanted)
{
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    std::int64_t p = rd_skip_ws(d, value_pos);
    std::int64_t obj = -1;
    std::int64_t q = p;
    if (rd_ref(d, q, obj)) {
        if (!ctx_obj_body(ctx, obj, p))
            return 0;
        p = rd_skip_ws(d, p);
    }
    if (p >= n || d[at(p)] != '[')
        return 0;
    ++p;
    int count = 0;
    while (count < wanted) {
        p = rd_skip_ws(d, p);
        double v = 0;
        if (!rd_number(d, p, v))
            break;
        out[count++] = v;
    }
    return count;
}

[[nodiscard]] pdf_matrix form_matrix(const ppdf_ctx& ctx, std::int64_t dict)
{
    std::int64_t v = 0;
    double m[6];
    if (dict_find(ctx.bytes(), dict, "Matrix", v) && number_array(ctx, v, m, 6) == 6)
        return {m[0], m[1], m[2], m[3], m[4], m[5]};
    return {};
}

// Whether the stream dictionary at dict is a Form XObject; images and the rest
// are passed over without decoding.
[[nodiscard]] bool is_form(const ppdf_ctx& ctx, std::int64_t dict)
{
    std::int64_t v = 0;
    char name[TYPE_NAME_BYTES];
    return dict_find(ctx.bytes(), dict, "Subtype", v) && ieq(type_value(ctx.bytes(), v, name), "Form");
}

void frame_draw_form(void* user, std::string_view name, const scan_state& state);

// Whether "stream" follows the dictionary at dict.
[[nodiscard]] bool is_stream_dict(byte_view d, std::int64_t dict) noexcept
{
    const auto n = static_cast<std::int64_t>(d.size());
    const std::int64_t p = rd_skip_ws(d, dict_end(d, dict));
    return p >= 0 && p + 6 <= n && std::memcmp(d.data() + p, "stream", 6) == 0;
}

// Scans the form or appearance stream obj (dictionary at dict) under ctm, inside outer.
void scan_form(const draw_frame& outer, std::int64_t obj, std::int64_t dict, const pdf_matrix& ctm,
               const scan_state& state)
{
    ppdf_ctx& ctx = *outer.ctx;
    page_walk& w = *ctx.walk;
    if (lines_full(ctx) || outer.depth + 1 > MAX_FORM_DEPTH || w.form_bytes_page >= MAX_FORM_BYTES_PER_PAGE ||
        w.form_bytes_doc >= MAX_FORM_BYTES_PER_DOC)
        return;
    for (const draw_frame* f = &outer; f != nullptr; f = f->outer)
        if (f->objnum == obj)
            return;   // a form that draws itself, directly or through others
    const auto data = stream_decode(ctx, dict);
    if (!data)
        return;
    w.form_bytes_page += data->size();
    w.form_bytes_doc += data->size();
    if (w.form_bytes_page > MAX_FORM_BYTES_PER_PAGE || w.form_bytes_doc > MAX_FORM_BYTES_PER_DOC)
        return;

    draw_frame frame;
    frame.ctx = &ctx;
    frame.outer = &outer;
    frame.objnum = obj;
    frame.depth = outer.depth + 1;
    std::int64_t res = 0;
    if (dict_find(ctx.bytes(), dict, "Resources", res)) {
        frame.fonts = resource_dict(ctx, res, "Font");
        frame.xobjects = resource_dict(ctx, res, "XObject");
    }

    // The page's box holds inside every form, whatever its matrix.
    draw_geometry geometry;
    geometry.ctm = ctm;
    if (const draw_geometry* around = state.geometry != nullptr ? state.geometry : w.page_geometry) {
        geometry.has_box = around->has_box;
        std::copy(std::begin(around->box), std::end(around->box), geometry.box);
    }

    // A form starts from the text state of the drawing around it.
    scan_state inner;
    inner.fonts = state.fonts;
    set_text(inner, text_of(state));
    inner.line_limit = ctx.line_limit;
    inner.find_font = frame_find_font;
    inner.find_user = &frame;
    inner.draw_form = frame_draw_form;
    inner.draw_user = &frame;
    inner.geometry = &geometry;

    content_scan(*data, *ctx.info, inner);
}

// user: the draw_frame of the drawing that says "/name Do".
void frame_draw_form(void* user, std::string_view name, const scan_state& state)
{
    const auto& frame = *static_cast<const draw_frame*>(user);
    ppdf_ctx& ctx = *frame.ctx;
    const byte_view d = ctx.bytes();
    std::int64_t value = -1;
    for (const draw_frame* f = &frame; f != nullptr && value < 0; f = f->outer)
        for (const std::int64_t xobjects : {f->xobjects, f->xobjects_inherited}) {
            std::int64_t v = 0;
            if (xobjects >= 0 && dict_find(d, xobjects, name, v)) {
                value = v;
                break;
            }
        }
    std::int64_t obj = -1;
    std::int64_t p = value >= 0 ? rd_skip_ws(d, value) : 0;
    std::int64_t dict = 0;
    if (value < 0 || !rd_ref(d, p, obj) || !in_object_table(ctx, obj) || !ctx_obj_dict(ctx, obj, dict) ||
        dict_start(d, dict) == 0 || !is_form(ctx, dict))
        return;
    const pdf_matrix ctm = state.geometry != nullptr ? state.geometry->ctm : pdf_matrix{};
    scan_form(frame, obj, dict, mat_mul(form_matrix(ctx, dict), ctm), state);
}

// Form fields inherit FT, V and DA from their parents; this many levels are looked at.
constexpr int MAX_FIELD_PARENTS = 16;
constexpr double FIELD_FONT_SIZE = 12;   // DA with an automatic (0) or no size

// Where key of the field whose dictionary opens at field is, itself or inherited.
bool field_entry(const ppdf_ctx& ctx, std::int64_t field, std::string_view key, std::int64_t& value_out)
{
    const byte_view d = ctx.bytes();
    for (int level = 0; level <= MAX_FIELD_PARENTS; ++level) {
        if (dict_find(d, field, key, value_out))
            return true;
        std::int64_t v = 0;
        std::int64_t parent = 0;
        if (!dict_find(d, field, "Parent", v) || !resolve_dict(ctx, v, parent) || parent == field)
            return false;
        field = parent;
    }
    return false;
}

// A text field without an appearance stream shows its value: viewers draw one for it.
void show_field_value(ppdf_ctx& ctx, std::int64_t annot)
{
    const byte_view d = ctx.bytes();
    std::int64_t v = 0;
    char name[TYPE_NAME_BYTES];
    if (!dict_find(d, annot, "Subtype", v) || !ieq(type_value(d, v, name), "Widget") ||
        !field_entry(ctx, annot, "FT", v) || !ieq(type_value(d, v, name), "Tx") || !field_entry(ctx, annot, "V", v))
        return;
    std::int64_t p = rd_skip_ws(d, v);
    char text[LINE_TEXT_BYTES];
    if (rd_string(d, p, text, sizeof text) <= 0)
        return;
    double size = FIELD_FONT_SIZE;
    if (field_entry(ctx, annot, "DA", v)) {
        std::int64_t q = rd_skip_ws(d, v);
        char da[KEY_BYTES];
        const int len = rd_string(d, q, da, sizeof da);
        const std::string_view s(da, len > 0 ? static_cast<std::size_t>(len) : 0);
        const std::size_t tf = s.rfind("Tf");
        double found = 0;
        if (tf != std::string_view::npos &&
            nums_before(byte_view(reinterpret_cast<const std::uint8_t*>(da), tf), static_cast<std::int64_t>(tf),
                        &found, 1) == 1 &&
            found > 0)
            size = found;
    }
    emit_line(*ctx.info, text, size);
}

// The normal appearance of the annotation whose dictionary opens at annot, scanned
// after the page's content as the page shows it.
void scan_annotation(const draw_frame& page, std::int64_t annot)
{
    ppdf_ctx& ctx = *page.ctx;
    const byte_view d = ctx.bytes();
    std::int64_t v = 0;
    double number = 0;
    if (dict_find(d, annot, "F", v)) {
        std::int64_t p = rd_skip_ws(d, v);
        if (rd_number(d, p, number) && (trunc_i64(number) & (ANNOT_HIDDEN | ANNOT_NO_VIEW)) != 0)
            return;
    }
    std::int64_t ap = 0;
    std::int64_t normal = 0;
    if (!dict_find(d, annot, "AP", v) || !resolve_dict(ctx, v, ap) || !dict_find(d, ap, "N", normal)) {
        show_field_value(ctx, annot);
        return;
    }
    // N is the appearance stream, or a dictionary of them by state that AS chooses.
    std::int64_t p = rd_skip_ws(d, normal);
    std::int64_t obj = -1;
    std::int64_t dict = 0;
    std::int64_t states = -1;
    if (rd_ref(d, p, obj)) {
        if (!in_object_table(ctx, obj) || !ctx_obj_dict(ctx, obj, dict) || dict_start(d, dict) == 0)
            return;
        if (!is_stream_dict(d, dict))
            states = dict;
    } else if (dict_start(d, p) == 2) {
        states = p;
    } else {
        return;
    }
    if (states >= 0) {
        char state[KEY_BYTES];
        std::int64_t end = 0;
        std::int64_t chosen = 0;
        if (!dict_find(d, annot, "AS", v))
            return;
        const int len = rd_name(d, rd_skip_ws(d, v), state, sizeof state, &end);
        if (len <= 0 || !dict_find(d, states, std::string_view(state, static_cast<std::size_t>(len)), chosen))
            return;
        p = rd_skip_ws(d, chosen);
        if (!rd_ref(d, p, obj) || !in_object_table(ctx, obj) || !ctx_obj_dict(ctx, obj, dict) ||
            dict_start(d, dict) == 0 || !is_stream_dict(d, dict))
            return;
    }

    // The appearance's box, through its matrix, is fitted to the annotation's Rect.
    const pdf_matrix matrix = form_matrix(ctx, dict);
    double rect[4];
    double bbox[4];
    pdf_matrix fit;
    if (dict_find(d, annot, "Rect", v) && number_array(ctx, v, rect, 4) == 4 && dict_find(d, dict, "BBox", v) &&
        number_array(ctx, v, bbox, 4) == 4) {
        const auto [x0, y0, x1, y1] = mat_bounds(matrix, bbox[0], bbox[1], bbox[2], bbox[3]);
        const double rx0 = std::min(rect[0], rect[2]);
        const double ry0 = std::min(rect[1], rect[3]);
        const double sx = x1 > x0 ? (std::fabs(rect[2] - rect[0])) / (x1 - x0) : 1;
        const double sy = y1 > y0 ? (std::fabs(rect[3] - rect[1])) / (y1 - y0) : 1;
        if (std::isfinite(sx) && std::isfinite(sy) && std::isfinite(x0) && std::isfinite(y0))
            fit = {sx, 0, 0, sy, rx0 - x0 * sx, ry0 - y0 * sy};
    }
    scan_state outside;
    scan_form(page, obj, dict, mat_mul(matrix, fit), outside);
}

void scan_annotations(const draw_frame& page, std::int64_t page_pos)
{
    ppdf_ctx& ctx = *page.ctx;
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    std::int64_t v = 0;
    if (!dict_find(d, page_pos, "Annots", v))
        return;
    std::int64_t p = rd_skip_ws(d, v);
    std::int64_t obj = -1;
    std::int64_t q = p;
    if (rd_ref(d, q, obj)) {
        if (!in_object_table(ctx, obj) || !ctx_obj_body(ctx, obj, p))
            return;
        p = rd_skip_ws(d, p);
    }
    if (p >= n || d[at(p)] != '[')
        return;
    ++p;
    for (int count = 0; count < MAX_ANNOTS_PER_PAGE && !lines_full(ctx); ++count) {
        p = rd_skip_ws(d, p);
        if (p >= n || d[at(p)] == ']')
            return;
        std::int64_t annot = 0;
        if (dict_start(d, p) == 2) {
            annot = p;
            p = dict_end(d, p);
        } else if (rd_ref(d, p, obj)) {
            if (!in_object_table(ctx, obj) || !ctx_obj_dict(ctx, obj, annot) || dict_start(d, annot) == 0)
                continue;
        } else {
            ++p;
            continue;
        }
        scan_annotation(page, annot);
    }
}

// The box of the MediaBox or CropBox value at value_pos; false when it gives none
// with an area.
bool read_box(const ppdf_ctx& ctx, std::int64_t value_pos, double (&box)[4])
{
    double v[4];
    if (value_pos < 0 || number_array(ctx, value_pos, v, 4) != 4)
        return false;
    box[0] = std::min(v[0], v[2]);
    box[1] = std::min(v[1], v[3]);
    box[2] = std::max(v[0], v[2]);
    box[3] = std::max(v[1], v[3]);
    return std::isfinite(box[0]) && std::isfinite(box[1]) && std::isfinite(box[2]) && std::isfinite(box[3]) &&
           box[2] > box[0] && box[3] > box[1];
}

// The page's crop box: CropBox within MediaBox, else whichever of them is sound.
void page_box(const ppdf_ctx& ctx, std::int64_t media, std::int64_t crop, draw_geometry& g)
{
    double m[4];
    double c[4];
    const bool has_media = read_box(ctx, media, m);
    const bool has_crop = read_box(ctx, crop, c);
    g.has_box = has_media || has_crop;
    if (has_crop && has_media) {
        const double x0 = std::max(c[0], m[0]), y0 = std::max(c[1], m[1]);
        const double x1 = std::min(c[2], m[2]), y1 = std::min(c[3], m[3]);
        if (x1 > x0 && y1 > y0) {
            g.box[0] = x0;
            g.box[1] = y0;
            g.box[2] = x1;
            g.box[3] = y1;
            return;
        }
    }
    const double* b = has_crop ? c : m;
    std::copy(b, b + 4, g.box);
}

}  // namespace

void ctx_do_pages_node(ppdf_ctx& ctx, std::int64_t pos, int depth)
{
    if (ctx.walk != nullptr) {
        walk_pages(ctx, *ctx.walk, pos, depth);
        return;
    }
    thread_local reused_table<page_walk::kid_class> kept;
    page_walk w(ctx, kept);
    struct detach {
        ppdf_ctx& c;
        ~detach() { c.walk = nullptr; }
    } guard{ctx};
    ctx.walk = &w;
    walk_pages(ctx, w, pos, depth);
}

void ctx_do_page(ppdf_ctx& ctx, std::int64_t pos)
{
    page_walk* w = ctx.walk;
    if (w != nullptr && ctx.walk_miss >= 0)
        w->stopped = true;   // the walk starts again once the object it missed is unpacked
    if (w != nullptr && !w->admit())
        return;
    // With every line stored nothing a page holds can change the summary; a caller
    // that does not want the pages counted needs no more of the walk.
    if (lines_full(ctx)) {
        if (ctx.count_all_pages == 0 && w != nullptr)
            w->stopped = true;
        else
            ++ctx.page_count;
        return;
    }
    const page_walk::quiet_key key{pos, ctx.has_inherited_res ? ctx.inherited_res : -1,
                                   w != nullptr ? w->inherited_media : -1, w != nullptr ? w->inherited_crop : -1};
    if (w != nullptr && w->quiet.contains(key)) {
        ++ctx.page_count;
        return;
    }
    const std::int32_t lines_before = ctx.info->line_count;

    const byte_view d = ctx.bytes();
    std::int64_t v = 0;
    const bool has_res = dict_find(d, pos, "Resources", v);
    if (w != nullptr) {
        w->page_sources.first = ctx.has_inherited_res ? font_source(ctx, ctx.inherited_res) : -1;
        w->page_sources.second = has_res ? font_source(ctx, v) : -1;
        w->page_index = nullptr;
    } else {
        fm_clear(ctx.fonts);
        if (ctx.has_inherited_res)
            ctx_load_resources(ctx, ctx.inherited_res);
        if (has_res)
            ctx_load_resources(ctx, v);
    }
    draw_geometry geometry;
    draw_frame frame;
    if (w != nullptr) {
        std::int64_t media = w->inherited_media;
        std::int64_t crop = w->inherited_crop;
        std::int64_t b = 0;
        if (dict_find(d, pos, "MediaBox", b))
            media = b;
        if (dict_find(d, pos, "CropBox", b))
            crop = b;
        page_box(ctx, media, crop, geometry);
        frame.ctx = &ctx;
        frame.xobjects = has_res ? resource_dict(ctx, v, "XObject") : -1;
        frame.xobjects_inherited = ctx.has_inherited_res ? resource_dict(ctx, ctx.inherited_res, "XObject") : -1;
        w->page_geometry = &geometry;
        w->page_frame = &frame;
        w->form_bytes_page = 0;
    }
    if (dict_start(d, pos) != 0) {
        std::int64_t cursor = pos;
        rd_dict(d, cursor, page_cb, &ctx);
        if (w != nullptr)
            scan_annotations(frame, pos);
    }
    ++ctx.page_count;
    if (w != nullptr) {
        w->page_geometry = nullptr;
        w->page_frame = nullptr;
        w->retired.clear();
        w->retired_bytes = 0;
    }

    if (w != nullptr && ctx.info->line_count == lines_before)
        w->quiet.insert(key);
}

void ctx_load_resources(ppdf_ctx& ctx, std::int64_t value_pos)
{
    std::int64_t fonts = font_source(ctx, value_pos);
    if (fonts >= 0)
        rd_dict(ctx.bytes(), fonts, fontdict_cb, &ctx);
}

void ctx_extract_content(ppdf_ctx& ctx, std::int64_t objnum)
{
    if (!in_object_table(ctx, objnum))
        return;
    std::int64_t dict = 0;
    if (!ctx_obj_dict(ctx, objnum, dict) || dict_start(ctx.bytes(), dict) == 0)
        return;
    if (lines_full(ctx) || ctx.walk_miss >= 0)
        return;   // nothing more can be stored, or the walk starts again
    // Pages that share a stream and their fonts need it decoded and read only once,
    // unless it stored a line (the next read may add more, up to the line limit).
    page_walk* w = ctx.walk;
    draw_geometry* const g = w != nullptr ? w->page_geometry : nullptr;
    page_walk::quiet_stream key{objnum, w != nullptr ? w->page_sources : page_walk::font_sources{}, {}};
    if (g != nullptr)
        key.geometry = {g->ctm.a, g->ctm.b, g->ctm.c, g->ctm.d, g->ctm.e, g->ctm.f,
                        g->box[0], g->box[1], g->box[2], g->box[3]};
    if (w != nullptr && w->quiet_streams.contains(key))
        return;
    const auto data = stream_decode(ctx, dict);
    if (!data) {
        if (w != nullptr)
            w->quiet_streams.insert(key);   // same data, no more budget: it would fail again
        return;
    }
    const std::int32_t lines_before = ctx.info->line_count;
    scan_state state;
    state.fonts = &ctx.fonts;
    state.line_limit = ctx.line_limit;
    if (w != nullptr) {
        state.find_font = walk_find_font;
        state.find_user = &ctx;
    }
    std::size_t saved_before = 0;
    std::int64_t unsaved_before = 0;
    if (g != nullptr && w->page_frame != nullptr) {
        state.geometry = g;
        state.draw_form = frame_draw_form;
        state.draw_user = const_cast<draw_frame*>(w->page_frame);
        ++g->stream;
        saved_before = g->stack.size();
        unsaved_before = g->unsaved;
        g->low_water = saved_before;
    }
    content_scan(*data, *ctx.info, state);
    // A stream that leaves the geometry as it found it can be passed over next time.
    const bool balanced = g == nullptr || (g->stack.size() == saved_before && g->low_water == saved_before &&
                                           g->unsaved == unsaved_before && g->ctm.a == key.geometry[0] &&
                                           g->ctm.b == key.geometry[1] && g->ctm.c == key.geometry[2] &&
                                           g->ctm.d == key.geometry[3] && g->ctm.e == key.geometry[4] &&
                                           g->ctm.f == key.geometry[5]);
    if (w != nullptr && ctx.info->line_count == lines_before && balanced)
        w->quiet_streams.insert(key);
}

}  // namespace tavrik
