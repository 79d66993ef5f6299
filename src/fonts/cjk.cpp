// The predefined CMaps of the Adobe CJK collections: the Unicode ones decode their
// codes directly, the legacy ones (Shift JIS, EUC, GBK, Big5, UHC ...) give CIDs
// that each collection's table turns into code points.
//
// The tables are built into the library in compressed form and inflated the first
// time a document needs a collection; from then on they are constant and shared by
// every thread. The same tables on every system give the same names everywhere.
#include <algorithm>
#include <new>

#include "flate.h"
#include "fonts/font_internal.h"
#include "fonts/generated/cjk_tables.h"

namespace tavrik {
namespace {

int base64_value(char c) noexcept
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::vector<std::uint8_t> base64_decode(std::string_view text)
{
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const int v = base64_value(c);
        if (v < 0) continue;   // the padding
        acc = acc << 6 | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(acc >> bits));
        }
    }
    return out;
}

// Reads the generator's varints; any overrun marks the reader failed and gives 0.
struct varint_reader {
    const std::uint8_t* p;
    const std::uint8_t* end;
    bool failed = false;

    std::uint64_t next() noexcept
    {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (p == end) {
                failed = true;
                return 0;
            }
            const std::uint8_t b = *p++;
            v |= std::uint64_t{b & 0x7Fu} << shift;
            if ((b & 0x80) == 0) return v;
        }
        failed = true;
        return 0;
    }
    std::int64_t next_signed() noexcept
    {
        const std::uint64_t z = next();
        return (z & 1) != 0 ? -static_cast<std::int64_t>(z >> 1) - 1 : static_cast<std::int64_t>(z >> 1);
    }
    std::uint8_t byte() noexcept
    {
        if (p == end) {
            failed = true;
            return 0;
        }
        return *p++;
    }
};

std::unique_ptr<const cjk_collection> inflate_collection(std::size_t index) noexcept
{
    try {
        const tables::cjk_blob& blob = tables::g_cjk_blobs[index];
        const std::vector<std::uint8_t> packed = base64_decode(blob.base64);
        std::vector<std::uint8_t> data(blob.inflated_bytes);
        if (sx_inflate(packed.data(), packed.size(), data.data(), data.size()) !=
            static_cast<std::int64_t>(data.size()))
            return nullptr;
        auto c = std::make_unique<cjk_collection>();
        varint_reader r{data.data(), data.data() + data.size()};
        const std::uint64_t ncids = std::min<std::uint64_t>(r.next(), MAX_GLYPHS);
        c->cid_cps.resize(static_cast<std::size_t>(ncids));
        std::int64_t cp = 0;
        for (auto& v : c->cid_cps) {
            cp += r.next_signed();
            v = cp > 0 && cp <= MAX_CODE_POINT ? static_cast<std::uint32_t>(cp) : 0;
        }
        const std::uint64_t ncmaps = r.next();
        for (std::uint64_t m = 0; m < ncmaps && !r.failed; ++m) {
            cjk_cmap cm;
            cm.collection = index;
            const std::uint64_t nspace = r.next();
            for (std::uint64_t s = 0; s < nspace && !r.failed; ++s) {
                pf_codespace cs;
                cs.nbytes = std::clamp<std::uint8_t>(r.byte(), 1, MAX_CODE_BYTES);
                const std::uint64_t lo = r.next();
                const std::uint64_t hi = r.next();
                for (std::size_t k = 0; k < cs.nbytes; ++k) {
                    const unsigned shift = static_cast<unsigned>(8 * (cs.nbytes - 1 - k));
                    cs.lo[k] = static_cast<std::uint8_t>(lo >> shift);
                    cs.hi[k] = static_cast<std::uint8_t>(hi >> shift);
                }
                if (cm.codespace.size() < MAX_CODESPACE_RANGES) cm.codespace.push_back(cs);
            }
            const std::uint64_t nranges = r.next();
            std::uint64_t prev_end = 0;
            std::int64_t next_cid = 0;
            std::uint8_t prev_nbytes = 0;
            cm.ranges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(nranges, data.size())));
            for (std::uint64_t i = 0; i < nranges && !r.failed; ++i) {
                const std::uint8_t nb = r.byte();
                if (nb != prev_nbytes) prev_end = 0;
                const std::uint64_t lo = prev_end + r.next();
                const std::uint64_t hi = lo + r.next();
                const std::int64_t cid = next_cid + r.next_signed();
                cm.ranges.push_back({static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi),
                                     static_cast<std::uint32_t>(cid)});
                prev_nbytes = nb;
                prev_end = hi + 1;
                next_cid = cid + static_cast<std::int64_t>(hi - lo) + 1;
            }
            // Codes of different lengths share one order: the generator keeps the
            // lengths apart, and no CMap here has a longer code that starts with 0.
            std::sort(cm.ranges.begin(), cm.ranges.end(),
                      [](const cjk_cid_range& a, const cjk_cid_range& b) { return a.lo < b.lo; });
            c->cmaps.push_back(std::move(cm));
        }
        if (r.failed) return nullptr;
        return c;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

template <std::size_t I>
const cjk_collection* collection_once() noexcept
{
    static const std::unique_ptr<const cjk_collection> c = inflate_collection(I);
    return c.get();
}
static_assert(tables::CJK_COLLECTIONS == 4);
constexpr std::array<const cjk_collection* (*)() noexcept, tables::CJK_COLLECTIONS> g_collections = {
    collection_once<0>, collection_once<1>, collection_once<2>, collection_once<3>};

bool ends_with(std::string_view s, std::string_view tail) noexcept
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool starts_with(std::string_view s, std::string_view head) noexcept
{
    return s.substr(0, head.size()) == head;
}

pf_codespace space(std::uint8_t nbytes, std::array<std::uint8_t, 4> lo, std::array<std::uint8_t, 4> hi) noexcept
{
    pf_codespace cs;
    cs.nbytes = nbytes;
    std::copy(lo.begin(), lo.end(), cs.lo);
    std::copy(hi.begin(), hi.end(), cs.hi);
    return cs;
}

// The Unicode CMaps: Uni{JIS,GB,CNS,KS}-{UCS2,UTF16,UTF8,UTF32}-{H,V} (and the
// half-width UniJIS-UCS2-HW forms).
bool use_unicode_cmap(pdf_font& font, std::string_view name)
{
    static constexpr std::array<std::string_view, 5> prefixes = {"UniJIS-", "UniGB-", "UniCNS-", "UniKS-",
                                                                  "UniJIS2004-"};
    std::string_view rest;
    for (const std::string_view p : prefixes) {
        if (starts_with(name, p)) rest = name.substr(p.size());
    }
    if (rest.empty()) return false;
    if (starts_with(rest, "UCS2-")) {
        font.codes = pf_codes::ucs2;
        font.codespace = {space(2, {0, 0}, {0xFF, 0xFF})};
    } else if (starts_with(rest, "UTF16-")) {
        font.codes = pf_codes::utf16;
        font.codespace = {space(2, {0x00, 0x00}, {0xD7, 0xFF}), space(2, {0xE0, 0x00}, {0xFF, 0xFF}),
                          space(4, {0xD8, 0x00, 0xDC, 0x00}, {0xDB, 0xFF, 0xDF, 0xFF})};
    } else if (starts_with(rest, "UTF8-")) {
        font.codes = pf_codes::utf8;
        font.codespace = {space(1, {0x00}, {0x7F}), space(2, {0xC2, 0x80}, {0xDF, 0xBF}),
                          space(3, {0xE0, 0x80, 0x80}, {0xEF, 0xBF, 0xBF}),
                          space(4, {0xF0, 0x80, 0x80, 0x80}, {0xF4, 0xBF, 0xBF, 0xBF})};
    } else if (starts_with(rest, "UTF32-")) {
        font.codes = pf_codes::utf32;
        font.codespace = {space(4, {0, 0, 0, 0}, {0x00, 0x10, 0xFF, 0xFF})};
    } else {
        return false;
    }
    font.code_bytes = 2;
    font.width_fixed = 1;
    return true;
}

}  // namespace

int cjk_collection_index(std::string_view ordering) noexcept
{
    for (std::size_t i = 0; i < tables::g_cjk_orderings.size(); ++i) {
        if (tables::g_cjk_orderings[i] == ordering) return static_cast<int>(i);
    }
    return -1;
}

const cjk_collection* cjk_collection_get(std::size_t index) noexcept
{
    return index < g_collections.size() ? g_collections[index]() : nullptr;
}

std::uint32_t cjk_cid(const cjk_cmap& cmap, std::uint32_t code) noexcept
{
    auto it = std::upper_bound(cmap.ranges.begin(), cmap.ranges.end(), code,
                               [](std::uint32_t c, const cjk_cid_range& r) { return c < r.lo; });
    if (it == cmap.ranges.begin()) return 0;
    --it;
    return code <= it->hi ? it->cid + (code - it->lo) : 0;
}

bool pf_use_predefined_cmap(pdf_font& font, std::string_view name)
{
    if (use_unicode_cmap(font, name)) return true;
    // A vertical CMap reads as its horizontal twin: they differ in glyph forms only.
    std::string h(name);
    if (h == "V")
        h = "H";
    else if (ends_with(h, "-V"))
        h.back() = 'H';
    const auto it = std::lower_bound(tables::g_cjk_cmaps.begin(), tables::g_cjk_cmaps.end(), std::string_view(h),
                                     [](const tables::cjk_cmap_name& e, std::string_view n) { return e.name < n; });
    if (it == tables::g_cjk_cmaps.end() || it->name != h) return false;
    const cjk_collection* c = cjk_collection_get(it->collection);
    if (c == nullptr || it->index >= c->cmaps.size()) return false;
    const cjk_cmap& cm = c->cmaps[it->index];
    font.codes = pf_codes::cid_cmap;
    font.cmap = &cm;
    font.cid_cps = &c->cid_cps;
    font.codespace = cm.codespace;
    return true;
}

}  // namespace tavrik
