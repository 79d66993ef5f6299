// Glyph advances: what the font dictionary declares, else the standard metrics.
#include "pdf_parse.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "fonts/font_internal.h"
#include "fonts/generated/encodings.h"
#include "fonts/generated/std_widths.h"

namespace tavrik {

namespace {

constexpr std::size_t NAME_BYTES = 64;
constexpr double DEFAULT_CID_WIDTH = 1000;      // DW when the CIDFont gives none
constexpr double DEFAULT_GLYPH_SCALE = 0.001;   // FontMatrix[0] when a Type 3 font gives none
constexpr std::uint32_t MAX_CID = 0xFFFF;
// Widths past this are no advance any font has, and would not fit a float.
constexpr double MAX_WIDTH_MAGNITUDE = 1e9;
constexpr float UNREADABLE = std::numeric_limits<float>::quiet_NaN();

// Reads the values of a font's arrays: numbers, arrays, and references to them.
// A reference is followed once, so no chain of objects can loop.
struct values {
    const ppdf_ctx& ctx;
    byte_view d;

    explicit values(const ppdf_ctx& c) noexcept : ctx(c), d(c.bytes()) {}

    // Where the value at pos starts, past one reference; -1 for a reference to
    // nothing.
    [[nodiscard]] std::int64_t deref(std::int64_t pos) const
    {
        std::int64_t p = rd_skip_ws(d, pos);
        std::int64_t q = p;
        std::int64_t obj = 0;
        if (!rd_ref(d, q, obj)) return p;
        std::int64_t body = 0;
        if (!in_object_table(ctx, obj) || !ctx_obj_body(ctx, obj, body)) return -1;
        return rd_skip_ws(d, body);
    }
    [[nodiscard]] bool number(std::int64_t pos, double& out) const
    {
        std::int64_t p = deref(pos);
        return p >= 0 && rd_number(d, p, out) && std::isfinite(out);
    }
    // The position just past the "[" of the array at pos (or that pos refers to).
    [[nodiscard]] std::int64_t array(std::int64_t pos) const
    {
        const std::int64_t p = deref(pos);
        if (p < 0 || static_cast<std::size_t>(p) >= d.size() || d[static_cast<std::size_t>(p)] != '[') return -1;
        return p + 1;
    }
    [[nodiscard]] bool number_entry(std::int64_t dict, std::string_view key, double& out) const
    {
        std::int64_t v = 0;
        return dict_find(d, dict, key, v) && number(v, out);
    }
};

// Steps through the elements of an array one at a time, skipping over each whole
// element whatever it is, and stops at its "]" or the end of the data. A number
// element is read on the way: Widths arrays hold hundreds of them.
struct elements {
    byte_view d;
    std::int64_t pos;
    rd_ahead ahead{};
    rd_element kind = rd_element::other;   // of the element last stepped to
    double value = 0;                      // its value, when a number

    // The start of the next element, or false at the end.
    bool next(std::int64_t& at) noexcept
    {
        const auto n = static_cast<std::int64_t>(d.size());
        pos = rd_skip_ws(d, pos);
        if (pos < 0 || pos >= n || d[static_cast<std::size_t>(pos)] == ']') return false;
        at = pos;
        kind = rd_number_or_ref(d, pos, value, ahead);
        if (kind == rd_element::other) {
            rd_skip_value(d, pos);
            if (pos <= at) pos = at + 1;   // a stray delimiter
        }
        return true;
    }
};

// The number the element last stepped to stands for, as values::number reads it
// at the element's start.
[[nodiscard]] bool element_number(const values& vals, const elements& el, std::int64_t at, double& out)
{
    switch (el.kind) {
    case rd_element::number:
        out = el.value;
        return std::isfinite(out);
    case rd_element::reference:
        return vals.number(at, out);
    case rd_element::other:
        break;
    }
    return false;
}

[[nodiscard]] float as_width(double w) noexcept
{
    return std::fabs(w) <= MAX_WIDTH_MAGNITUDE ? static_cast<float>(w) : UNREADABLE;
}

[[nodiscard]] std::string_view name_entry(byte_view d, std::int64_t dict, std::string_view key, char* out,
                                          std::size_t cap) noexcept
{
    std::int64_t v = 0;
    if (!dict_find(d, dict, key, v)) return {};
    std::int64_t end = 0;
    const int len = rd_name(d, rd_skip_ws(d, v), out, cap, &end);
    return len > 0 ? std::string_view(out, static_cast<std::size_t>(len)) : std::string_view{};
}

// ---- simple fonts --------------------------------------------------------------

// Widths and FirstChar into font; false when the font has no readable widths.
bool load_simple_widths(const values& vals, pdf_font& font, std::int64_t dict, double scale)
{
    std::int64_t v = 0;
    if (!dict_find(vals.d, dict, "Widths", v)) return false;
    const std::int64_t open = vals.array(v);
    if (open < 0) return false;
    double first = 0;
    if (!vals.number_entry(dict, "FirstChar", first)) first = 0;
    first = std::trunc(first);
    if (first >= static_cast<double>(SIMPLE_CODES) || first < -static_cast<double>(MAX_SKIPPED_WIDTHS)) return false;
    // Elements for codes below 0 are passed over; the first kept is code 0.
    long skip = first < 0 ? static_cast<long>(-first) : 0;
    const auto first_code = static_cast<std::uint32_t>(first < 0 ? 0 : first);

    pf_widths& w = font.widths;
    w.simple.clear();
    w.simple.reserve(SIMPLE_CODES - first_code);
    bool any = false;
    elements el{vals.d, open};
    std::int64_t at = 0;
    while (w.simple.size() < SIMPLE_CODES - first_code && el.next(at)) {
        if (skip > 0) {
            --skip;
            continue;
        }
        double x = 0;
        const float width = element_number(vals, el, at, x) ? as_width(x * scale) : UNREADABLE;
        any = any || !std::isnan(width);
        w.simple.push_back(width);
    }
    if (!any) {
        w.simple.clear();
        w.simple.shrink_to_fit();
        return false;
    }
    w.simple.shrink_to_fit();
    w.first_code = first_code;
    w.source = pf_width_source::widths;
    // A code the array leaves out has MissingWidth, whose default is 0: viewers
    // draw the next glyph right there, so that is where the text stands.
    w.missing = 0;
    std::int64_t descriptor = 0;
    double missing = 0;
    if (dict_find(vals.d, dict, "FontDescriptor", v) && resolve_dict(vals.ctx, v, descriptor) &&
        vals.number_entry(descriptor, "MissingWidth", missing)) {
        const float m = as_width(missing * scale);
        if (!std::isnan(m)) w.missing = m;
    }
    return true;
}

// The horizontal scale of a Type 3 font's glyph space to thousandths of the text size.
double type3_scale(const values& vals, std::int64_t dict)
{
    std::int64_t v = 0;
    double a = DEFAULT_GLYPH_SCALE;
    if (dict_find(vals.d, dict, "FontMatrix", v)) {
        const std::int64_t open = vals.array(v);
        elements el{vals.d, open};
        std::int64_t at = 0;
        double x = 0;
        if (open >= 0 && el.next(at) && element_number(vals, el, at, x)) a = x;
    }
    return a * 1000;
}

bool has(std::string_view s, std::string_view part) noexcept { return s.find(part) != std::string_view::npos; }

// The standard metrics a BaseFont names, with a subset prefix and the usual
// substitutes' names (Arial for Helvetica, Times New Roman, Courier New), or -1.
// A style that is not one of the four (Narrow, Light, Black ...) has other widths.
int standard_metrics_of(std::string_view base_font) noexcept
{
    const auto find = [](std::string_view name) {
        const auto it = std::lower_bound(tables::g_std_metrics.begin(), tables::g_std_metrics.end(), name,
                                         [](const tables::std_metrics& m, std::string_view n) { return m.name < n; });
        return it != tables::g_std_metrics.end() && it->name == name
                   ? static_cast<int>(it - tables::g_std_metrics.begin())
                   : -1;
    };
    switch (standard_font_of(base_font)) {
    case standard_font::symbol:
        return find("Symbol");
    case standard_font::dingbats:
        return find("ZapfDingbats");
    case standard_font::none:
    case standard_font::text:
        break;
    }
    if (base_font.size() > 7 && base_font[6] == '+' &&
        std::all_of(base_font.begin(), base_font.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; }))
        base_font.remove_prefix(7);
    const std::size_t cut = std::min(base_font.find_first_of(",-"), base_font.size());
    // "Times New Roman" is written with and without its spaces.
    char family_buf[NAME_BYTES];
    std::size_t flen = 0;
    for (const char c : base_font.substr(0, cut))
        if (c != ' ' && flen < sizeof family_buf) family_buf[flen++] = c;
    const std::string_view family(family_buf, flen);
    std::string_view style = cut < base_font.size() ? base_font.substr(cut + 1) : std::string_view{};
    if (style.size() >= 2 && style.substr(style.size() - 2) == "MT") style.remove_suffix(2);   // Arial-BoldMT
    constexpr std::array<std::string_view, 8> styles = {"",       "Roman",   "Regular",    "Bold",
                                                        "Italic", "Oblique", "BoldItalic", "BoldOblique"};
    if (std::find(styles.begin(), styles.end(), style) == styles.end()) return -1;
    const std::size_t face = (has(style, "Bold") ? 1 : 0) + (has(style, "Italic") || has(style, "Oblique") ? 2 : 0);

    constexpr std::array<std::string_view, 3> helvetica = {"Helvetica", "Arial", "ArialMT"};
    constexpr std::array<std::string_view, 4> times = {"Times", "TimesNewRoman", "TimesNewRomanPS",
                                                       "TimesNewRomanPSMT"};
    constexpr std::array<std::string_view, 4> courier = {"Courier", "CourierNew", "CourierNewPS", "CourierNewPSMT"};
    constexpr std::array<std::string_view, 4> slanted_faces = {"", "-Bold", "-Oblique", "-BoldOblique"};
    constexpr std::array<std::string_view, 4> times_faces = {"-Roman", "-Bold", "-Italic", "-BoldItalic"};
    const auto in = [&](const auto& names) { return std::find(names.begin(), names.end(), family) != names.end(); };
    std::string_view base;
    std::string_view suffix = slanted_faces[face];
    if (in(helvetica)) {
        base = "Helvetica";
    } else if (in(courier)) {
        base = "Courier";
    } else if (in(times)) {
        base = "Times";
        suffix = times_faces[face];
    } else {
        return -1;
    }
    char name[NAME_BYTES];
    std::copy(base.begin(), base.end(), name);
    std::copy(suffix.begin(), suffix.end(), name + base.size());
    return find(std::string_view(name, base.size() + suffix.size()));
}

// ---- composite fonts -------------------------------------------------------------

// The runs of a W array as read, before they are sorted.
struct cid_runs {
    std::vector<pf_cid_width> runs;
    bool full = false;

    void add(double first, double last, float width)
    {
        if (full || std::isnan(width) || !(first >= 0) || !(last >= first) || first > MAX_CID) return;
        const auto lo = static_cast<std::uint16_t>(first);
        const auto hi = static_cast<std::uint16_t>(std::min<double>(last, MAX_CID));
        // "c [w w w ...]" lists are full of neighbours of one width.
        if (!runs.empty() && runs.back().width == width && runs.back().last + 1 == lo) {
            runs.back().last = hi;
            return;
        }
        if (runs.size() >= MAX_CID_WIDTH_RUNS) {
            full = true;
            return;
        }
        runs.push_back({lo, hi, width});
    }
};

// Both forms of W: "c [w1 w2 ...]" and "cfirst clast w". An element that fits
// neither is passed over with the numbers before it.
void read_w(const values& vals, std::int64_t open, cid_runs& out)
{
    long budget = MAX_WIDTH_ELEMENTS;
    double pending[2] = {};
    int npending = 0;
    elements el{vals.d, open};
    std::int64_t at = 0;
    while (!out.full && budget-- > 0 && el.next(at)) {
        double x = 0;
        if (element_number(vals, el, at, x)) {
            if (npending < 2) {
                pending[npending++] = std::trunc(x);
                continue;
            }
            out.add(pending[0], pending[1], as_width(x));
            npending = 0;
            continue;
        }
        const std::int64_t inner = vals.array(at);
        if (inner >= 0 && npending > 0) {
            double cid = pending[npending - 1];   // two numbers before a list: the first is stray
            elements iel{vals.d, inner};
            std::int64_t iat = 0;
            while (!out.full && budget-- > 0 && cid <= MAX_CID && iel.next(iat)) {
                if (element_number(vals, iel, iat, x)) out.add(cid, cid, as_width(x));
                cid += 1;
            }
        }
        npending = 0;
    }
}

// Sorted and without overlaps, neighbours of one width joined. Only broken
// producers overlap runs; the run that starts first keeps the CIDs it covers.
void settle_runs(std::vector<pf_cid_width>& runs)
{
    std::stable_sort(runs.begin(), runs.end(),
                     [](const pf_cid_width& a, const pf_cid_width& b) { return a.first < b.first; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        pf_cid_width r = runs[i];
        if (kept > 0) {
            const pf_cid_width& prev = runs[kept - 1];
            if (r.last <= prev.last) continue;
            if (r.first <= prev.last) r.first = static_cast<std::uint16_t>(prev.last + 1);
            if (prev.width == r.width && prev.last + 1 == r.first) {
                runs[kept - 1].last = r.last;
                continue;
            }
        }
        runs[kept++] = r;
    }
    runs.resize(kept);
    runs.shrink_to_fit();
}

// The horizontal advances: a vertical CMap reads as its horizontal twin, and so
// do its widths.
void load_cid_widths(const values& vals, pdf_font& font, std::int64_t cid_font)
{
    pf_widths& w = font.widths;
    // Codes through a CMap this library has no table for still show glyphs: most
    // glyphs of a CJK font are DW wide, so DW is the best guess for them too.
    if (font.codes == pf_codes::cid_identity) {
        w.cid_of = pf_cid_of::identity;
    } else if (font.codes == pf_codes::cid_cmap && font.cmap != nullptr) {
        w.cid_of = pf_cid_of::cmap;
        w.cmap = font.cmap;
    }
    double dw = DEFAULT_CID_WIDTH;
    if (!vals.number_entry(cid_font, "DW", dw) || std::isnan(as_width(dw))) dw = DEFAULT_CID_WIDTH;
    w.missing = static_cast<float>(dw);
    w.source = pf_width_source::cids;
    std::int64_t v = 0;
    if (w.cid_of == pf_cid_of::unknown || !dict_find(vals.d, cid_font, "W", v)) return;
    const std::int64_t open = vals.array(v);
    if (open < 0) return;
    cid_runs runs;
    read_w(vals, open, runs);
    settle_runs(runs.runs);
    w.cids = std::move(runs.runs);
}

// The width of code point cp in standard metrics m, or NaN for a glyph it lacks.
[[nodiscard]] float standard_width(const tables::std_metrics& m, std::uint32_t cp) noexcept
{
    if (cp == 0) return UNREADABLE;
    const tables::width_run* end = m.runs + m.nruns;
    const tables::width_run* it =
        std::upper_bound(m.runs, end, cp, [](std::uint32_t c, const tables::width_run& r) { return c < r.first_cp; });
    if (it == m.runs) return UNREADABLE;
    --it;
    if (cp - it->first_cp >= it->count) return UNREADABLE;
    return m.widths != nullptr ? m.widths[it->at + (cp - it->first_cp)] : m.fixed;
}

// The code points of the glyphs a simple font's codes show: its encoding, and the
// glyph names of its Differences, which decoding keeps as text rather than as code
// points. The first name given to a code stays, as in decoding.
void glyph_cps(const values& vals, const pdf_font& font, std::int64_t dict, const tables::encoding_table& builtin,
               std::array<std::uint32_t, SIMPLE_CODES>& out)
{
    if (font.simple_cps)
        out = *font.simple_cps;
    else
        std::copy(builtin.begin(), builtin.end(), out.begin());
    std::int64_t v = 0;
    std::int64_t enc = 0;
    if (!dict_find(vals.d, dict, "Encoding", v) || !resolve_dict(vals.ctx, v, enc) ||
        !dict_find(vals.d, enc, "Differences", v))
        return;
    const std::int64_t open = vals.array(v);
    if (open < 0) return;
    std::array<bool, SIMPLE_CODES> named{};
    double code = 0;
    long budget = MAX_WIDTH_ELEMENTS;
    elements el{vals.d, open};
    std::int64_t at = 0;
    while (budget-- > 0 && el.next(at)) {
        double x = 0;
        if (element_number(vals, el, at, x)) {
            code = std::trunc(x);
            continue;
        }
        char name[GLYPH_NAME_MAX + 1];
        std::int64_t end = 0;
        const int len = rd_name(vals.d, at, name, sizeof name, &end);
        if (len < 0) continue;
        if (code >= 0 && code < static_cast<double>(SIMPLE_CODES)) {
            const auto c = static_cast<std::size_t>(code);
            if (!named[c]) out[c] = glyph_code_point(std::string_view(name, static_cast<std::size_t>(len)));
            named[c] = true;
        }
        code += 1;
    }
}

// The standard metrics as a width per code, so that looking one up costs what a
// Widths array does. A symbol font's codes are its own glyphs whatever its encoding
// calls them, so a code whose name finds no glyph takes the built-in code's; a text
// font's encoding that names a glyph the font lacks shows nothing of known width.
void load_standard_widths(const values& vals, pdf_font& font, std::int64_t dict, std::size_t standard)
{
    const tables::std_metrics& m = tables::g_std_metrics[standard];
    pf_widths& w = font.widths;
    w.source = pf_width_source::standard;
    w.first_code = 0;
    if (m.widths == nullptr) {   // one width for every glyph, known or not
        w.missing = m.fixed;
        return;
    }
    const bool symbol = m.name == "Symbol";
    const bool dingbats = m.name == "ZapfDingbats";
    const tables::encoding_table& builtin =
        symbol ? tables::g_enc_symbol : dingbats ? tables::g_enc_zapf_dingbats : tables::g_enc_standard;
    std::array<std::uint32_t, SIMPLE_CODES> cps{};
    glyph_cps(vals, font, dict, builtin, cps);
    w.missing = -1;
    w.simple.resize(SIMPLE_CODES);
    for (std::size_t c = 0; c < SIMPLE_CODES; ++c) {
        float x = standard_width(m, cps[c]);
        if (std::isnan(x) && (symbol || dingbats)) x = standard_width(m, builtin[c]);
        w.simple[c] = x;
    }
}

}  // namespace

void font_load_widths(ppdf_ctx& ctx, pdf_font& font, std::int64_t dict, bool composite, std::int64_t cid_font)
{
    font.widths = pf_widths{};
    const values vals(ctx);
    try {
        if (composite) {
            if (cid_font >= 0) load_cid_widths(vals, font, cid_font);
            return;
        }
        char buf[NAME_BYTES];
        const bool type3 = name_entry(vals.d, dict, "Subtype", buf, sizeof buf) == "Type3";
        if (load_simple_widths(vals, font, dict, type3 ? type3_scale(vals, dict) : 1.0) || type3) return;
        const int standard = standard_metrics_of(name_entry(vals.d, dict, "BaseFont", buf, sizeof buf));
        if (standard >= 0) load_standard_widths(vals, font, dict, static_cast<std::size_t>(standard));
    } catch (const std::bad_alloc&) {
        font.widths = pf_widths{};   // every advance unknown
    }
}

double pf_advance(const pdf_font* font, std::uint32_t code) noexcept
{
    // Vertical advances are not horizontal ones: where such glyphs stand is not known.
    if (font == nullptr || font->vertical != 0) return -1;
    const pf_widths& w = font->widths;
    switch (w.source) {
    case pf_width_source::none:
        return -1;
    case pf_width_source::widths:
    case pf_width_source::standard: {
        if (code < w.first_code || code - w.first_code >= w.simple.size()) return w.missing;
        const float x = w.simple[code - w.first_code];
        return std::isnan(x) ? w.missing : x;
    }
    case pf_width_source::cids: {
        std::uint32_t cid = 0;
        if (w.cid_of == pf_cid_of::identity)
            cid = code;
        else if (w.cid_of == pf_cid_of::cmap && w.cmap != nullptr)
            cid = cjk_cid(*w.cmap, code);
        else
            return w.missing;
        const auto it = std::upper_bound(w.cids.begin(), w.cids.end(), cid,
                                         [](std::uint32_t c, const pf_cid_width& r) { return c < r.first; });
        if (it == w.cids.begin()) return w.missing;
        const pf_cid_width& r = *(it - 1);
        return cid <= r.last ? r.width : w.missing;
    }
    }
    return -1;
}

std::size_t pf_width_bytes(const pdf_font& font) noexcept
{
    return font.widths.simple.capacity() * sizeof(float) + font.widths.cids.capacity() * sizeof(pf_cid_width);
}

}  // namespace tavrik
