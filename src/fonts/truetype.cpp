// Embedded TrueType and OpenType programs (FontFile2, FontFile3 of subtype
// OpenType): the glyphs that the (3,0) symbol and (1,0) Macintosh cmaps give the
// 256 one-byte codes, and what each glyph stands for, by the Unicode cmap or else
// by its name in the post table.
//
// Offsets, counts and lengths all come from the file: every read is checked
// against the table it belongs to, and a table that does not fit is left out.
#include <algorithm>
#include <new>

#include "fonts/font_internal.h"
#include "fonts/generated/encodings.h"

namespace tavrik {
namespace {

constexpr std::size_t MAX_SFNT_TABLES = 256;
constexpr std::size_t MAX_CMAP_SUBTABLES = 64;
constexpr std::size_t MAX_CMAP_GROUPS = 65536;   // format 12 groups looked at
constexpr std::size_t MAC_STANDARD_GLYPHS = 258;
// Codes looked at per subtable: overlapping segments or groups could otherwise ask
// for billions.
constexpr std::size_t MAX_CMAP_CODES_VISITED = std::size_t{1} << 20;

struct bytes_view {
    std::span<const std::uint8_t> d;
    [[nodiscard]] bool has(std::size_t pos, std::size_t n) const noexcept { return pos <= d.size() && n <= d.size() - pos; }
    [[nodiscard]] std::uint32_t u16(std::size_t p) const noexcept
    {
        return has(p, 2) ? static_cast<std::uint32_t>(d[p] << 8 | d[p + 1]) : 0;
    }
    [[nodiscard]] std::uint32_t u32(std::size_t p) const noexcept
    {
        return has(p, 4) ? (static_cast<std::uint32_t>(d[p]) << 24 | static_cast<std::uint32_t>(d[p + 1]) << 16 |
                            static_cast<std::uint32_t>(d[p + 2]) << 8 | d[p + 3])
                         : 0;
    }
    [[nodiscard]] bytes_view sub(std::size_t at, std::size_t n) const noexcept
    {
        if (!has(at, 0)) return {};
        return {d.subspan(at, std::min(n, d.size() - at))};
    }
};

bytes_view find_table(const bytes_view& f, std::size_t dir, const char* tag) noexcept
{
    const std::size_t n = std::min<std::size_t>(f.u16(dir + 4), MAX_SFNT_TABLES);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t rec = dir + 12 + 16 * i;
        if (!f.has(rec, 16)) break;
        if (std::equal(tag, tag + 4, f.d.begin() + static_cast<std::ptrdiff_t>(rec))) {
            const std::uint32_t off = f.u32(rec + 8);
            const std::uint32_t len = f.u32(rec + 12);
            if (!f.has(off, 0)) return {};
            return f.sub(off, len);
        }
    }
    return {};
}

// Calls fn(code, gid) for each mapping of a cmap subtable of format 0, 4, 6 or 12
// with a code at most max_code.
template <class Fn>
void each_mapping(const bytes_view& t, std::uint32_t max_code, Fn fn)
{
    std::size_t budget = MAX_CMAP_CODES_VISITED;
    const std::uint32_t format = t.u16(0);
    if (format == 0) {
        for (std::uint32_t c = 0; c < 256 && c <= max_code && t.has(6 + c, 1); ++c) fn(c, t.d[6 + c]);
    } else if (format == 4) {
        const std::size_t segs = t.u16(6) / 2;
        const std::size_t ends = 14;
        const std::size_t starts = ends + 2 * segs + 2;
        const std::size_t deltas = starts + 2 * segs;
        const std::size_t range_offsets = deltas + 2 * segs;
        for (std::size_t s = 0; s < segs; ++s) {
            const std::uint32_t end = t.u16(ends + 2 * s);
            const std::uint32_t start = t.u16(starts + 2 * s);
            const std::uint32_t delta = t.u16(deltas + 2 * s);
            const std::uint32_t ro = t.u16(range_offsets + 2 * s);
            if (!t.has(range_offsets + 2 * s, 2) || start > end) continue;
            for (std::uint32_t c = start; c <= end && c <= max_code; ++c) {
                if (budget-- == 0) return;
                std::uint32_t g = 0;
                if (ro == 0) {
                    g = (c + delta) & 0xFFFF;
                } else {
                    const std::size_t at = range_offsets + 2 * s + ro + 2 * (c - start);
                    if (!t.has(at, 2)) break;
                    g = t.u16(at);
                    if (g != 0) g = (g + delta) & 0xFFFF;
                }
                if (g != 0) fn(c, g);
                if (c == 0xFFFF) break;
            }
        }
    } else if (format == 6) {
        const std::uint32_t first = t.u16(6);
        const std::uint32_t count = t.u16(8);
        for (std::uint32_t i = 0; i < count && first + i <= max_code && t.has(10 + 2 * i, 2); ++i) {
            const std::uint32_t g = t.u16(10 + 2 * i);
            if (g != 0) fn(first + i, g);
        }
    } else if (format == 12) {
        const std::size_t groups = std::min<std::size_t>(t.u32(12), MAX_CMAP_GROUPS);
        for (std::size_t i = 0; i < groups && t.has(16 + 12 * i, 12); ++i) {
            const std::uint32_t start = t.u32(16 + 12 * i);
            const std::uint32_t end = t.u32(20 + 12 * i);
            const std::uint32_t g0 = t.u32(24 + 12 * i);
            // A group maps one glyph per code: no more codes than there are glyphs.
            for (std::uint64_t c = start; c <= end && c <= max_code && c - start < MAX_GLYPHS; ++c) {
                if (budget-- == 0) return;
                const std::uint64_t g = g0 + (c - start);
                if (g > 0 && g < MAX_GLYPHS) fn(static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(g));
            }
        }
    }
}

bool is_private_use(std::uint32_t cp) noexcept
{
    return (cp >= 0xE000 && cp <= 0xF8FF) || cp >= 0xF0000;
}

void read_post_names(const bytes_view& post, std::vector<std::uint32_t>& cps)
{
    const std::uint32_t version = post.u32(0);
    if (version == 0x00010000) {
        for (std::size_t g = 0; g < cps.size() && g < MAC_STANDARD_GLYPHS; ++g)
            if (cps[g] == 0) cps[g] = tables::g_mac_glyph_cp[g];
        return;
    }
    if (version != 0x00020000) return;
    const std::size_t n = std::min<std::size_t>(post.u16(32), cps.size());
    // The names after the index, as Pascal strings, in order.
    std::vector<std::pair<std::size_t, std::size_t>> names;
    std::size_t p = 34 + 2 * std::size_t{post.u16(32)};
    while (post.has(p, 1) && names.size() < MAX_GLYPHS) {
        const std::size_t len = post.d[p];
        if (!post.has(p + 1, len)) break;
        names.emplace_back(p + 1, len);
        p += 1 + len;
    }
    for (std::size_t g = 0; g < n; ++g) {
        if (cps[g] != 0) continue;
        const std::uint32_t idx = post.u16(34 + 2 * g);
        if (idx < MAC_STANDARD_GLYPHS) {
            cps[g] = tables::g_mac_glyph_cp[idx];
        } else if (idx - MAC_STANDARD_GLYPHS < names.size()) {
            const auto [at, len] = names[idx - MAC_STANDARD_GLYPHS];
            cps[g] = glyph_code_point(std::string_view(reinterpret_cast<const char*>(post.d.data()) + at, len));
        }
    }
}

}  // namespace

std::shared_ptr<const font_program> read_truetype_program(std::span<const std::uint8_t> data)
{
    try {
        const bytes_view f{data};
        std::size_t dir = 0;
        if (f.u32(0) == 0x74746366) dir = f.u32(12);   // "ttcf": the first font of a collection
        const std::uint32_t version = f.u32(dir);
        if (version != 0x00010000 && version != 0x74727565 && version != 0x4F54544F) return nullptr;

        auto prog = std::make_shared<font_program>();
        const bytes_view maxp = find_table(f, dir, "maxp");
        const std::size_t nglyphs = std::min<std::size_t>(maxp.u16(4), MAX_GLYPHS);
        prog->glyph_cps.assign(nglyphs, 0);

        const bytes_view cmap = find_table(f, dir, "cmap");
        const std::size_t nsub = std::min<std::size_t>(cmap.u16(2), MAX_CMAP_SUBTABLES);
        bytes_view unicode;
        int unicode_rank = 0;
        for (std::size_t i = 0; i < nsub; ++i) {
            const std::size_t rec = 4 + 8 * i;
            if (!cmap.has(rec, 8)) break;
            const std::uint32_t platform = cmap.u16(rec);
            const std::uint32_t encoding = cmap.u16(rec + 2);
            const std::uint32_t off = cmap.u32(rec + 4);
            if (!cmap.has(off, 2)) continue;
            const bytes_view t = cmap.sub(off, cmap.d.size() - off);
            if (platform == 3 && encoding == 0) {
                prog->has_symbol_cmap = true;
                // Symbol fonts put their codes at 0xF000 (some at 0xF100 or 0xF200) up.
                each_mapping(t, 0xF2FF, [&](std::uint32_t c, std::uint32_t g) {
                    const std::uint32_t low = c & 0xFF;
                    if ((c <= 0xFF || (c >= 0xF000 && c <= 0xF2FF)) && (prog->symbol_gids[low] == 0 || c >= 0xF000))
                        prog->symbol_gids[low] = static_cast<std::uint16_t>(g);
                });
            } else if (platform == 1 && encoding == 0) {
                prog->has_mac_cmap = true;
                each_mapping(t, 0xFF, [&](std::uint32_t c, std::uint32_t g) { prog->mac_gids[c] = static_cast<std::uint16_t>(g); });
            }
            const int rank = platform == 3 && encoding == 10 ? 3 : platform == 3 && encoding == 1 ? 2 : platform == 0 ? 1 : 0;
            if (rank > unicode_rank) {
                unicode_rank = rank;
                unicode = t;
            }
        }
        if (unicode_rank > 0) {
            prog->has_unicode_cmap = true;
            each_mapping(unicode, MAX_CODE_POINT, [&](std::uint32_t c, std::uint32_t g) {
                if (g >= prog->glyph_cps.size()) return;
                std::uint32_t& cur = prog->glyph_cps[g];
                if (cur == 0 || (is_private_use(cur) && !is_private_use(c))) cur = c;
            });
        }
        read_post_names(find_table(f, dir, "post"), prog->glyph_cps);
        return prog;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tavrik
