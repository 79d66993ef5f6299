// The per-page font table and one font's mappings: single codes, ranges, and the
// index that keeps decoding from scanning many ranges per code.
#include "fonts/cmap.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "fonts/font_internal.h"
#include "pdf_parse.h"

namespace tavrik {
namespace {

// ---- capacities ------------------------------------------------------------
// Arrays grow by doubling from a first size; a doubling past the ceiling is refused,
// so the last size reached is the real limit.
constexpr std::size_t FONT_LIST_FIRST = 16;
constexpr std::size_t CHARS_FIRST = 64;
constexpr std::size_t CHARS_CEILING = 200000;
constexpr std::size_t RANGES_FIRST = 16;
constexpr std::size_t RANGES_CEILING = 100000;

constexpr std::size_t last_doubling(std::size_t first, std::size_t ceiling)
{
    std::size_t n = first;
    while (n * 2 <= ceiling) n *= 2;
    return n;
}
static_assert(last_doubling(CHARS_FIRST, CHARS_CEILING) == MAX_CHAR_MAPPINGS);
static_assert(last_doubling(RANGES_FIRST, RANGES_CEILING) == MAX_RANGE_MAPPINGS);

constexpr std::size_t RANGE_INDEX_MIN_RANGES = 16;         // fewer are scanned directly

// Paints codes 0 to 0xFFFF with the first range holding each, visiting every code once
// (next_free skips painted runs), then keeps the runs of equal owners.
void build_range_runs(pdf_font& font)
{
    font.range_runs.clear();
    font.runs_for_ranges = 0;
    if (font.ranges.size() < RANGE_INDEX_MIN_RANGES) return;
    try {
        std::vector<std::int32_t> owner(RANGE_INDEX_CODES, -1);
        std::vector<std::uint32_t> next_free(RANGE_INDEX_CODES + 1);
        for (std::uint32_t c = 0; c <= RANGE_INDEX_CODES; ++c) next_free[c] = c;
        auto find_free = [&next_free](std::uint32_t c) {
            std::uint32_t root = c;
            while (next_free[root] != root) root = next_free[root];
            while (next_free[c] != root) {
                const std::uint32_t up = next_free[c];
                next_free[c] = root;
                c = up;
            }
            return root;
        };
        for (std::size_t i = 0; i < font.ranges.size(); ++i) {
            const pf_range& r = font.ranges[i];
            if (r.first_code >= RANGE_INDEX_CODES) continue;
            const std::uint32_t hi = std::min<std::uint32_t>(r.last_code, RANGE_INDEX_CODES - 1);
            for (std::uint32_t c = find_free(r.first_code); c <= hi; c = find_free(c + 1)) {
                owner[c] = static_cast<std::int32_t>(i);
                next_free[c] = c + 1;
            }
        }
        for (std::uint32_t c = 0; c < RANGE_INDEX_CODES; ++c) {
            if (c == 0 || owner[c] != owner[c - 1]) font.range_runs.push_back({c, owner[c]});
        }
        font.runs_for_ranges = font.ranges.size();
    } catch (const std::bad_alloc&) {
        font.range_runs.clear();   // decoding scans the ranges instead
    }
}

int bfchar_cmp(const pf_char& a, const pf_char& b) noexcept
{
    return a.code < b.code ? -1 : a.code > b.code ? 1 : 0;
}

}  // namespace

void fm_init(font_map& map) noexcept
{
    map.list.clear();
    map.programs.clear();
    map.gid_maps.clear();
}

void fm_clear(font_map& map) noexcept
{
    map.list.clear();   // keeps the array's capacity for the next page
}

void fm_free(font_map& map) noexcept
{
    map.list.clear();
    map.list.shrink_to_fit();
    map.programs.clear();
    map.programs.shrink_to_fit();
    map.gid_maps.clear();
    map.gid_maps.shrink_to_fit();
}

pdf_font* fm_find(font_map& map, std::string_view name) noexcept
{
    for (auto& f : map.list) {
        if (std::string_view(f->name) == name) return f.get();
    }
    return nullptr;
}

const pdf_font* fm_find(const font_map& map, std::string_view name) noexcept
{
    return fm_find(const_cast<font_map&>(map), name);
}

pdf_font* fm_add(font_map& map, std::string_view name)
{
    if (pdf_font* found = fm_find(map, name)) return found;
    if (map.list.size() >= MAX_FONTS) return nullptr;
    try {
        if (map.list.size() == map.list.capacity())
            map.list.reserve(map.list.empty() ? FONT_LIST_FIRST : map.list.capacity() * 2);
        auto font = std::make_unique<pdf_font>();
        const std::size_t n = std::min(name.size(), FONT_NAME_BYTES - 1);
        std::memcpy(font->name, name.data(), n);
        font->name[n] = '\0';
        font->code_bytes = 1;
        map.list.push_back(std::move(font));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return map.list.back().get();
}

void pf_set_char(pdf_font& font, std::uint32_t code, std::string_view text)
{
    if (text.empty() || text.front() == '\0') return;
    if (font.chars.size() >= MAX_CHAR_MAPPINGS) return;
    pf_char c{};
    c.code = code;
    const std::size_t n = std::min(text.substr(0, text.find('\0')).size(), MAP_TEXT_MAX);
    std::memcpy(c.utf8, text.data(), n);
    c.utf8[n] = '\0';
    try {
        if (font.chars.size() == font.chars.capacity())
            font.chars.reserve(font.chars.empty() ? CHARS_FIRST : font.chars.capacity() * 2);
        font.chars.push_back(c);
    } catch (const std::bad_alloc&) {
        return;
    }
    font.has_map = 1;
}

void pf_add_range(pdf_font& font, std::uint32_t first, std::uint32_t last, std::int32_t base,
                  std::unique_ptr<char[]> texts, std::uint64_t nslots)
{
    if (last < first || font.ranges.size() >= MAX_RANGE_MAPPINGS) return;   // texts released here
    pf_range r;
    r.first_code = first;
    r.last_code = last;
    r.base_cp = texts ? 0 : base;
    if (texts) {
        const std::uint64_t span = std::uint64_t{last} - first + 1;
        r.nslots = static_cast<std::uint32_t>(std::min({nslots, span, std::uint64_t{UINT32_MAX}}));
    }
    r.utf8s = std::move(texts);
    try {
        if (font.ranges.size() == font.ranges.capacity())
            font.ranges.reserve(font.ranges.empty() ? RANGES_FIRST : font.ranges.capacity() * 2);
        font.ranges.push_back(std::move(r));
    } catch (const std::bad_alloc&) {
        return;
    }
    font.has_map = 1;
}

void pf_finalize(pdf_font* font)
{
    if (font == nullptr) return;
    // Stable, so that among mappings of one code the first added is the one found:
    // a Differences name wins over a ToUnicode entry of the same font.
    if (font->chars.size() > 1) {
        std::stable_sort(font->chars.begin(), font->chars.end(),
                         [](const pf_char& a, const pf_char& b) { return bfchar_cmp(a, b) < 0; });
    }
    build_range_runs(*font);
}

}  // namespace tavrik
