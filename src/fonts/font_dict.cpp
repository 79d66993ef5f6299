// Font dictionary loading: per font resource, the code width and codes from Subtype
// and Encoding, the named, base or built-in encoding of a simple font with its
// Differences, the CMap and descendant of a composite font, what an embedded font
// program says, and the ToUnicode CMap.
#include "pdf_parse.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "fonts/font_internal.h"

namespace tavrik {

namespace {

constexpr std::size_t NAME_BYTES = 64;   // Subtype and Encoding names: 63 bytes kept
// Bytes inflated past a Type 1 program's Length1, for writers that count it short.
constexpr std::uint64_t TYPE1_CLEAR_SLACK = 1024;
// ...and at first, for the writers that count it right (Length1 ends just past
// "eexec" and its line end).
constexpr std::uint64_t TYPE1_FIRST_SLACK = 64;

[[nodiscard]] bool contains(std::string_view s, std::string_view part) noexcept
{
    return s.find(part) != std::string_view::npos;
}

// A predefined CMap name with two-byte codes.
[[nodiscard]] bool is_composite_encoding(std::string_view name) noexcept
{
    return (name.size() >= 8 && ieq(name.substr(0, 8), "Identity")) || contains(name, "UCS2") ||
           contains(name, "UniGB") || contains(name, "UniCNS") || contains(name, "UniJIS") ||
           contains(name, "UniKS");
}

// The name at pos (after white space), or an empty view; stored in out.
[[nodiscard]] std::string_view name_at(byte_view d, std::int64_t pos, char* out, std::size_t cap) noexcept
{
    const std::int64_t p = rd_skip_ws(d, pos);
    std::int64_t end = 0;
    const int len = rd_name(d, p, out, cap, &end);
    if (len <= 0)
        return {};
    return {out, static_cast<std::size_t>(len)};
}

// Past the "]" that closes the array whose "[" is at open (strings and comments
// do not count); the end of the data when it is never closed.
[[nodiscard]] std::int64_t array_close(byte_view d, std::int64_t open) noexcept
{
    const auto n = static_cast<std::int64_t>(d.size());
    int depth = 1;
    std::int64_t i = open + 1;
    while (i < n) {
        const std::uint8_t c = d[static_cast<std::size_t>(i)];
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            if (--depth == 0)
                return i;
        } else if (c == '%') {
            while (i < n && d[static_cast<std::size_t>(i)] != '\n')
                ++i;
            continue;
        } else if (c == '(') {
            int nest = 1;
            ++i;
            while (i < n && nest > 0) {
                const std::uint8_t s = d[static_cast<std::size_t>(i)];
                if (s == '\\')
                    ++i;
                else if (s == '(')
                    ++nest;
                else if (s == ')')
                    --nest;
                ++i;
            }
            continue;
        }
        ++i;
    }
    return -1;
}

// The stream an entry refers to: its object number and dictionary, when the
// reference reads and names an object the table has located.
bool stream_at(ppdf_ctx& ctx, std::int64_t value_pos, std::int64_t& obj, std::int64_t& stream_dict)
{
    std::int64_t p = rd_skip_ws(ctx.bytes(), value_pos);
    return rd_ref(ctx.bytes(), p, obj) && in_object_table(ctx, obj) && ctx_obj_dict(ctx, obj, stream_dict);
}

// A number entry of a dictionary, or fallback.
std::int64_t number_entry(byte_view d, std::int64_t dict, std::string_view key, std::int64_t fallback) noexcept
{
    std::int64_t v = 0;
    double x = 0;
    if (!dict_find(d, dict, key, v)) return fallback;
    v = rd_skip_ws(d, v);
    return rd_number(d, v, x) ? trunc_i64(x) : fallback;
}

// A dictionary entry that is a dictionary or refers to one.
bool dict_entry(const ppdf_ctx& ctx, std::int64_t dict, std::string_view key, std::int64_t& out)
{
    std::int64_t v = 0;
    return dict_find(ctx.bytes(), dict, key, v) && resolve_dict(ctx, v, out);
}

enum class program_kind { none, type1, cff, truetype };

// Whether a font descriptor has a program, without reading it.
program_kind embedded_kind(const ppdf_ctx& ctx, std::int64_t descriptor) noexcept
{
    std::int64_t v = 0;
    if (dict_find(ctx.bytes(), descriptor, "FontFile", v)) return program_kind::type1;
    if (dict_find(ctx.bytes(), descriptor, "FontFile2", v)) return program_kind::truetype;
    if (dict_find(ctx.bytes(), descriptor, "FontFile3", v)) return program_kind::cff;
    return program_kind::none;
}

// The font program of a font descriptor, read once per document and kept in the
// font table for the pages after.
std::shared_ptr<const font_program> load_program(ppdf_ctx& ctx, std::int64_t descriptor, program_kind& kind)
{
    kind = program_kind::none;
    std::int64_t v = 0;
    std::int64_t obj = -1;
    std::int64_t sdict = 0;
    if (dict_find(ctx.bytes(), descriptor, "FontFile", v) && stream_at(ctx, v, obj, sdict)) {
        kind = program_kind::type1;
    } else if (dict_find(ctx.bytes(), descriptor, "FontFile2", v) && stream_at(ctx, v, obj, sdict)) {
        kind = program_kind::truetype;
    } else if (dict_find(ctx.bytes(), descriptor, "FontFile3", v) && stream_at(ctx, v, obj, sdict)) {
        char sub[NAME_BYTES];
        std::int64_t sv = 0;
        const std::string_view subtype =
            dict_find(ctx.bytes(), sdict, "Subtype", sv) ? name_at(ctx.bytes(), sv, sub, sizeof sub) : "";
        kind = subtype == "OpenType" ? program_kind::truetype : program_kind::cff;
    } else {
        return nullptr;
    }
    for (const font_program_entry& e : ctx.fonts.programs) {
        if (e.obj == obj) return e.program;
    }
    // A Type 1 program is read only up to "eexec", at the end of its clear-text part
    // of Length1 bytes: the encrypted rest, most of the program, need not be inflated.
    static constexpr std::string_view eexec = "eexec";
    const auto has_eexec = [](const byte_buffer& b) {
        return std::search(b.begin(), b.end(), eexec.begin(), eexec.end()) != b.end();
    };
    std::uint64_t prefix = UINT64_MAX;
    double clear_bytes = 0;
    std::int64_t lv = 0;
    if (kind == program_kind::type1 && dict_find(ctx.bytes(), sdict, "Length1", lv)) {
        std::int64_t p = rd_skip_ws(ctx.bytes(), lv);
        std::int64_t q = p;
        std::int64_t ref = -1;
        if (rd_ref(ctx.bytes(), q, ref) && ctx_obj_body(ctx, ref, p))
            p = rd_skip_ws(ctx.bytes(), p);
        if (rd_number(ctx.bytes(), p, clear_bytes) && clear_bytes > 0 && clear_bytes < MAX_FONT_PROGRAM_BYTES)
            prefix = static_cast<std::uint64_t>(clear_bytes) + TYPE1_CLEAR_SLACK;
    }
    // First only a few bytes past Length1. When they hold "eexec", so do the bytes
    // up to the slack, and a reading that settles inside them is the reading of
    // those; else the bytes up to the slack are inflated after all.
    std::shared_ptr<const font_program> prog;
    bool settled = false;
    if (prefix != UINT64_MAX && prefix <= MAX_FONT_PROGRAM_BYTES) {
        const auto first = stream_decode(ctx, sdict, static_cast<std::uint64_t>(clear_bytes) + TYPE1_FIRST_SLACK);
        if (first && first->size() <= MAX_FONT_PROGRAM_BYTES && has_eexec(*first)) {
            prog = read_type1_clear(std::span<const std::uint8_t>(first->data(), first->size()), settled);
            if (!settled) prog.reset();
        }
    }
    std::optional<byte_buffer> data;
    if (!settled) {
        data = stream_decode(ctx, sdict, prefix);
        if (data && prefix != UINT64_MAX && !has_eexec(*data))
            data = stream_decode(ctx, sdict);   // a Length1 that does not reach "eexec"
    }
    if (data) {
        if (data->size() <= MAX_FONT_PROGRAM_BYTES) {
            const std::span<const std::uint8_t> bytes(data->data(), data->size());
            if (kind == program_kind::type1)
                prog = read_type1_program(bytes);
            else if (kind == program_kind::cff)
                prog = read_cff_program(bytes);
            else
                prog = read_truetype_program(bytes);
        }
    }
    if (ctx.fonts.programs.size() < MAX_CACHED_PROGRAMS) {
        try {
            ctx.fonts.programs.push_back({obj, prog});
        } catch (const std::bad_alloc&) {
        }
    }
    return prog;
}

// An encoding that gives no code any text (a subset program whose glyphs have
// made-up names) leaves the font as if it had none.
void set_simple_cps(pdf_font& font, const simple_encoding& enc)
{
    if (std::all_of(enc.begin(), enc.end(), [](std::uint32_t cp) { return cp == 0; })) {
        font.simple_cps.reset();
        return;
    }
    try {
        font.simple_cps = std::make_unique<simple_encoding>(enc);
        font.has_map = 1;
    } catch (const std::bad_alloc&) {
        font.simple_cps.reset();
    }
}

// A TrueType font's codes through its own cmap: the (3,0) symbol table, else the
// (1,0) Macintosh one, to glyphs, and the glyphs to code points.
bool truetype_codes(const font_program& prog, simple_encoding& out) noexcept
{
    const std::array<std::uint16_t, 256>* gids =
        prog.has_symbol_cmap ? &prog.symbol_gids : prog.has_mac_cmap ? &prog.mac_gids : nullptr;
    if (gids == nullptr) return false;
    out.fill(0);
    for (std::size_t c = 0; c < 256; ++c) {
        const std::uint16_t g = (*gids)[c];
        if (g != 0 && g < prog.glyph_cps.size()) out[c] = prog.glyph_cps[g];
    }
    return true;
}

// The first element of the DescendantFonts array, as a dictionary.
bool descendant_font(const ppdf_ctx& ctx, std::int64_t dict, std::int64_t& out)
{
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    std::int64_t v = 0;
    if (!dict_find(d, dict, "DescendantFonts", v)) return false;
    std::int64_t p = rd_skip_ws(d, v);
    std::int64_t obj = 0;
    std::int64_t q = p;
    if (rd_ref(d, q, obj)) {   // an array kept in an object of its own
        if (!in_object_table(ctx, obj) || !ctx_obj_body(ctx, obj, p)) return false;
    }
    if (p >= n || d[static_cast<std::size_t>(p)] != '[') return false;
    return resolve_dict(ctx, p + 1, out);
}

// The Ordering of an Adobe CIDSystemInfo, when it is one of the four CJK collections.
int adobe_collection(const ppdf_ctx& ctx, std::int64_t cid_font)
{
    std::int64_t info = 0;
    if (!dict_entry(ctx, cid_font, "CIDSystemInfo", info)) return -1;
    const byte_view d = ctx.bytes();
    char registry[NAME_BYTES] = {};
    char ordering[NAME_BYTES] = {};
    std::int64_t v = 0;
    if (!dict_find(d, info, "Registry", v)) return -1;
    v = rd_skip_ws(d, v);
    if (rd_string(d, v, registry, sizeof registry) < 0 || std::string_view(registry) != "Adobe") return -1;
    if (!dict_find(d, info, "Ordering", v)) return -1;
    v = rd_skip_ws(d, v);
    if (rd_string(d, v, ordering, sizeof ordering) < 0) return -1;
    return cjk_collection_index(ordering);
}

// CIDs to glyph ids from a CIDToGIDMap stream: two bytes per CID, big-endian.
std::shared_ptr<const std::vector<std::uint16_t>> cid_to_gid_map(ppdf_ctx& ctx, std::int64_t cid_font)
{
    std::int64_t v = 0;
    std::int64_t obj = 0;
    std::int64_t sdict = 0;
    if (!dict_find(ctx.bytes(), cid_font, "CIDToGIDMap", v) || !stream_at(ctx, v, obj, sdict)) return nullptr;
    for (const auto& [num, map] : ctx.fonts.gid_maps) {
        if (num == obj) return map;
    }
    std::shared_ptr<std::vector<std::uint16_t>> map;
    try {
        if (auto data = stream_decode(ctx, sdict)) {
            map = std::make_shared<std::vector<std::uint16_t>>(std::min(data->size() / 2, MAX_GLYPHS));
            for (std::size_t i = 0; i < map->size(); ++i)
                (*map)[i] = static_cast<std::uint16_t>((*data)[2 * i] << 8 | (*data)[2 * i + 1]);
        }
        if (ctx.fonts.gid_maps.size() < MAX_CACHED_PROGRAMS) ctx.fonts.gid_maps.emplace_back(obj, map);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return map;
}

// A composite font: its codes from the Encoding CMap, and text for its CIDs from
// the collection or from the descendant's embedded program.
// A font program is read only where its text may be needed: a font with a ToUnicode
// map has its producer's text, and reading programs is most of what fonts cost.
void load_composite(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict, bool has_tounicode)
{
    std::int64_t v = 0;
    if (dict_find(ctx.bytes(), dict, "Encoding", v)) {
        char name[NAME_BYTES];
        const std::string_view enc = name_at(ctx.bytes(), v, name, sizeof name);
        if (!enc.empty() && !pf_use_predefined_cmap(font, enc) && ieq(enc.substr(0, 8), "Identity"))
            font.codes = pf_codes::cid_identity;
        // Vertical writing: glyphs advance down the page, by metrics this library
        // does not read.
        std::int64_t cmap = 0;
        std::int64_t wmode = 0;
        double mode = 0;
        if (enc.size() >= 2 && enc.substr(enc.size() - 2) == "-V") {
            font.vertical = 1;
        } else if (enc.empty() && resolve_dict(ctx, v, cmap) && dict_find(ctx.bytes(), cmap, "WMode", wmode)) {
            std::int64_t p = rd_skip_ws(ctx.bytes(), wmode);
            if (rd_number(ctx.bytes(), p, mode) && mode == 1)
                font.vertical = 1;
        }
        font_load_encoding(ctx, font, v);   // the width a composite name fixes
    }
    const bool unicode_codes = font.codes == pf_codes::ucs2 || font.codes == pf_codes::utf16 ||
                               font.codes == pf_codes::utf8 || font.codes == pf_codes::utf32;
    if (unicode_codes) font.has_map = 1;
    std::int64_t cid_font = 0;
    if (!descendant_font(ctx, dict, cid_font)) return;
    if (font.cid_cps == nullptr) {
        const int coll = adobe_collection(ctx, cid_font);
        if (coll >= 0)
            if (const cjk_collection* c = cjk_collection_get(static_cast<std::size_t>(coll)))
                font.cid_cps = &c->cid_cps;
    }
    std::int64_t descriptor = 0;
    program_kind kind = program_kind::none;
    if (!has_tounicode && dict_entry(ctx, cid_font, "FontDescriptor", descriptor)) {
        font.program = load_program(ctx, descriptor, kind);
        if (font.program && font.program->glyph_cps.empty()) font.program.reset();
    }
    if (font.program && kind == program_kind::truetype) font.cid_to_gid = cid_to_gid_map(ctx, cid_font);

    const bool cid_codes = font.codes == pf_codes::cid_cmap || font.codes == pf_codes::cid_identity;
    if (cid_codes && (font.cid_cps != nullptr || font.program)) font.has_map = 1;
}

// A simple font: the encoding it names or has built in, with Differences on top.
void load_simple(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict, std::string_view subtype, bool has_tounicode)
{
    const bool type1 = subtype == "Type1" || subtype == "MMType1";
    const bool truetype = subtype == "TrueType";
    if (!type1 && !truetype) {   // Type 3 and the rest: only what the dictionary says
        std::int64_t v = 0;
        if (dict_find(ctx.bytes(), dict, "Encoding", v)) font_load_encoding(ctx, font, v);
        return;
    }
    char name[NAME_BYTES];
    std::int64_t v = 0;
    const std::string_view base_font =
        dict_find(ctx.bytes(), dict, "BaseFont", v) ? name_at(ctx.bytes(), v, name, sizeof name) : "";
    std::int64_t descriptor = 0;
    const bool has_descriptor = dict_entry(ctx, dict, "FontDescriptor", descriptor);
    const std::int64_t flags = has_descriptor ? number_entry(ctx.bytes(), descriptor, "Flags", 0) : 0;
    const bool symbolic = (flags & 4) != 0 && (flags & 32) == 0;
    // The built-in encoding matters without an Encoding, or under Differences
    // without a BaseEncoding; the program's cmap of a TrueType font only without
    // an Encoding.
    std::int64_t enc_pos = -1;
    const bool has_encoding = dict_find(ctx.bytes(), dict, "Encoding", enc_pos);
    bool builtin_wanted = !has_encoding;
    if (has_encoding && type1) {
        std::int64_t enc_dict = 0;
        std::int64_t base = 0;
        builtin_wanted = resolve_dict(ctx, enc_pos, enc_dict) && !dict_find(ctx.bytes(), enc_dict, "BaseEncoding", base);
    }
    program_kind kind = has_descriptor ? embedded_kind(ctx, descriptor) : program_kind::none;
    std::shared_ptr<const font_program> prog;
    if (has_descriptor && !has_tounicode && builtin_wanted) prog = load_program(ctx, descriptor, kind);

    // The built-in encoding: the program's own, else that of a standard font, else
    // StandardEncoding for a Type 1 font that is not symbolic.
    simple_encoding builtin{};
    bool has_builtin = false;
    if (prog && prog->has_builtin) {
        builtin = prog->builtin;
        has_builtin = true;
    } else if (kind == program_kind::none || (!prog && !has_tounicode && builtin_wanted)) {
        const standard_font sf = standard_font_of(base_font);
        if (sf == standard_font::symbol || sf == standard_font::dingbats || (type1 && sf == standard_font::text))
            has_builtin = standard_font_encoding(sf, builtin);
        else if (type1 && !symbolic && kind == program_kind::none)
            has_builtin = standard_font_encoding(standard_font::text, builtin);
    }
    if (has_encoding) {
        font_load_encoding(ctx, font, enc_pos, has_builtin ? &builtin : nullptr);
        return;
    }
    if (has_builtin) {
        set_simple_cps(font, builtin);
    } else if (prog && truetype && (prog->has_symbol_cmap || !prog->has_unicode_cmap || symbolic)) {
        // Codes through the program's own cmap when it is a symbol font or has no
        // Unicode cmap to suggest that its codes are text.
        simple_encoding cps{};
        if (truetype_codes(*prog, cps)) set_simple_cps(font, cps);
    }
}

// The producer's ToUnicode map decides the text of the codes it maps: a Differences
// name for such a code is often a placeholder (every glyph /f, or /g12), so the
// Differences entries (the first n of chars) for codes it maps are dropped.
void drop_overruled_differences(pdf_font& font, std::size_t n)
{
    if (n == 0 || (font.chars.size() == n && font.ranges.empty())) return;
    try {
        std::vector<std::uint32_t> mapped;
        mapped.reserve(font.chars.size() - n);
        for (std::size_t i = n; i < font.chars.size(); ++i) mapped.push_back(font.chars[i].code);
        std::sort(mapped.begin(), mapped.end());
        const auto by_tounicode = [&](std::uint32_t code) {
            if (std::binary_search(mapped.begin(), mapped.end(), code)) return true;
            for (const pf_range& r : font.ranges) {
                if (code < r.first_code || code > r.last_code) continue;
                const std::uint32_t off = code - r.first_code;
                if (r.utf8s) return off < r.nslots && r.utf8s[std::size_t{off} * MAP_TEXT_BYTES] != '\0';
                return true;   // the first range that holds a code decides it
            }
            return false;
        };
        const auto first_tounicode = font.chars.begin() + static_cast<std::ptrdiff_t>(n);
        const auto kept_end = std::remove_if(font.chars.begin(), first_tounicode,
                                             [&](const pf_char& c) { return by_tounicode(c.code); });
        font.chars.erase(kept_end, first_tounicode);
    } catch (const std::bad_alloc&) {
        // the Differences entries stay
    }
}

}  // namespace

void font_load_encoding(ppdf_ctx& ctx, pdf_font& font, std::int64_t value_pos, const simple_encoding* builtin)
{
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    const std::int64_t p = rd_skip_ws(d, value_pos);
    if (p < n && d[static_cast<std::size_t>(p)] == '/') {
        char name[NAME_BYTES];
        std::int64_t end = 0;
        const int len = rd_name(d, p, name, sizeof name, &end);
        const std::string_view enc(name, static_cast<std::size_t>(std::max(len, 0)));
        simple_encoding table{};
        if (len > 0 && is_composite_encoding(enc)) {
            font.code_bytes = 2;
            font.width_fixed = 1;
        } else if (len > 0 && font.code_bytes < 2 && named_encoding(enc, table)) {
            set_simple_cps(font, table);
        } else if (builtin != nullptr) {
            set_simple_cps(font, *builtin);   // a name that is no encoding leaves the built-in one
        }
        return;
    }

    std::int64_t dict = 0;
    if (!resolve_dict(ctx, p, dict)) {
        if (builtin != nullptr) set_simple_cps(font, *builtin);
        return;
    }
    // The base the Differences modify: BaseEncoding, else the built-in encoding.
    std::int64_t base = 0;
    simple_encoding table{};
    char name[NAME_BYTES];
    if (dict_find(d, dict, "BaseEncoding", base) && named_encoding(name_at(d, base, name, sizeof name), table))
        set_simple_cps(font, table);
    else if (builtin != nullptr)
        set_simple_cps(font, *builtin);

    std::int64_t diffs = 0;
    if (!dict_find(d, dict, "Differences", diffs))
        return;
    const std::int64_t open = rd_skip_ws(d, diffs);
    if (open >= n || d[static_cast<std::size_t>(open)] != '[')
        return;   // an indirect reference to the array is not followed
    std::int64_t close = array_close(d, open);
    if (close < 0)
        close = n - 1;   // unclosed: the text stops one byte before the end
    if (close > open + 1)
        pf_parse_differences(&font, d.data() + open + 1, static_cast<std::size_t>(close - open - 1));
}

// user: the reader context.
void fontdict_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    auto& ctx = *static_cast<ppdf_ctx*>(user);
    if (fm_find(ctx.fonts, key) != nullptr)
        return;   // the first font loaded under a name stays (inherited ones come first)
    std::int64_t dict = 0;
    if (!resolve_dict(ctx, value_pos, dict))
        return;
    pdf_font* font = fm_add(ctx.fonts, key);
    if (font == nullptr)
        return;
    font_load(ctx, *font, dict);
}

void font_load(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict)
{
    std::int64_t v = 0;
    char subtype_name[NAME_BYTES];
    const std::string_view subtype =
        dict_find(ctx.bytes(), dict, "Subtype", v) ? name_at(ctx.bytes(), v, subtype_name, sizeof subtype_name) : "";
    const bool type0 = ieq(subtype, "Type0");
    std::int64_t tu_obj = -1;
    std::int64_t tu_dict = 0;
    const bool has_tounicode = dict_find(ctx.bytes(), dict, "ToUnicode", v) && stream_at(ctx, v, tu_obj, tu_dict);
    if (type0) {
        font.code_bytes = 2;
        load_composite(ctx, font, dict, has_tounicode);
    } else {
        load_simple(ctx, font, dict, subtype, has_tounicode);
    }
    // Before a ToUnicode named Identity-H makes the codes text: they stay CIDs for W.
    std::int64_t cid_font = -1;
    if (type0 && !descendant_font(ctx, dict, cid_font)) cid_font = -1;
    font_load_widths(ctx, font, dict, type0, cid_font);

    const std::size_t from_differences = font.chars.size();
    if (has_tounicode) {
        // A simple font reads one byte per code whatever its CMap's code space
        // says: some producers declare <0000> <FFFF> for one-byte fonts.
        if (!type0)
            font.width_fixed = 1;
        if (auto data = stream_decode(ctx, tu_dict))
            pf_parse_tounicode(&font, data->data(), data->size());
        drop_overruled_differences(font, from_differences);
        // A map that maps nothing (some producers write empty ones) leaves the
        // font to what its encoding and program say.
        if (font.chars.size() == from_differences && font.ranges.empty()) {
            if (type0)
                load_composite(ctx, font, dict, false);
            else
                load_simple(ctx, font, dict, subtype, false);
        }
    } else if (type0 && dict_find(ctx.bytes(), dict, "ToUnicode", v)) {
        // Some producers write /ToUnicode /Identity-H for two-byte codes that are
        // the UTF-16 of their text.
        char name[NAME_BYTES];
        const std::string_view n = name_at(ctx.bytes(), v, name, sizeof name);
        if (n == "Identity-H" || n == "Identity-V") {
            font.codes = pf_codes::ucs2;
            font.codespace.clear();
            font.cid_cps = nullptr;
            font.program.reset();
            font.has_map = 1;
        }
    }
    pf_finalize(&font);
}

}  // namespace tavrik
