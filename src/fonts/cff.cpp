// Embedded CFF programs (FontFile3 of subtype Type1C or CIDFontType0C): the glyph
// names of the charset (standard strings or the font's own) and the encoding that
// gives codes their glyphs.
//
// Every offset and count comes from the file, so each read is checked against the
// data; a table that does not fit leaves the program without what it would give.
#include <new>

#include "fonts/font_internal.h"
#include "fonts/generated/encodings.h"

namespace tavrik {
namespace {

constexpr std::size_t CFF_STANDARD_STRINGS = 391;
constexpr int MAX_DICT_OPERANDS = 48;

struct cff_reader {
    std::span<const std::uint8_t> d;

    [[nodiscard]] bool has(std::size_t pos, std::size_t n) const noexcept { return pos <= d.size() && n <= d.size() - pos; }
    [[nodiscard]] std::uint32_t card(std::size_t pos, std::size_t n) const noexcept
    {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v = v << 8 | d[pos + i];
        return v;
    }
};

// An INDEX: count, offset size, count + 1 offsets, then the data they point into.
struct cff_index {
    std::size_t count = 0;
    std::size_t off_size = 0;
    std::size_t offsets_at = 0;
    std::size_t data_at = 0;   // offsets count from the byte before this one
    std::size_t end = 0;       // past the whole INDEX
    bool ok = false;

    // The bounds of element i, checked against the data.
    [[nodiscard]] bool element(const cff_reader& r, std::size_t i, std::size_t& from, std::size_t& to) const noexcept
    {
        if (!ok || i >= count) return false;
        const std::size_t a = r.card(offsets_at + i * off_size, off_size);
        const std::size_t b = r.card(offsets_at + (i + 1) * off_size, off_size);
        if (a < 1 || b < a) return false;
        from = data_at - 1 + a;
        to = data_at - 1 + b;
        return to <= r.d.size();
    }
};

cff_index read_index(const cff_reader& r, std::size_t pos) noexcept
{
    cff_index x;
    if (!r.has(pos, 2)) return x;
    x.count = r.card(pos, 2);
    if (x.count == 0) {
        x.end = pos + 2;
        x.ok = true;
        return x;
    }
    if (!r.has(pos + 2, 1)) return x;
    x.off_size = r.d[pos + 2];
    if (x.off_size < 1 || x.off_size > 4) return x;
    x.offsets_at = pos + 3;
    if ((x.count + 1) > (r.d.size() - x.offsets_at) / x.off_size) return x;
    x.data_at = x.offsets_at + (x.count + 1) * x.off_size;
    const std::size_t last = r.card(x.offsets_at + x.count * x.off_size, x.off_size);
    if (last < 1 || last - 1 > r.d.size() - x.data_at) return x;
    x.end = x.data_at + last - 1;
    x.ok = true;
    return x;
}

// The Top DICT entries this reader needs.
struct top_dict {
    std::int64_t charset = 0;
    std::int64_t encoding = 0;
    std::int64_t charstrings = -1;
    bool cid_keyed = false;
};

top_dict read_top_dict(const cff_reader& r, std::size_t from, std::size_t to) noexcept
{
    top_dict t;
    std::int64_t ops[MAX_DICT_OPERANDS];
    int nops = 0;
    std::size_t p = from;
    while (p < to) {
        const std::uint8_t b = r.d[p];
        if (b <= 21) {   // an operator
            int op = b;
            ++p;
            if (b == 12) {
                if (p >= to) break;
                op = 1200 + r.d[p++];
            }
            const std::int64_t last = nops > 0 ? ops[nops - 1] : 0;
            if (op == 15) t.charset = last;
            if (op == 16) t.encoding = last;
            if (op == 17) t.charstrings = last;
            if (op == 1230) t.cid_keyed = true;   // ROS
            nops = 0;
            continue;
        }
        std::int64_t v = 0;
        if (b == 28 && p + 2 < to) {
            v = static_cast<std::int16_t>(r.card(p + 1, 2));
            p += 3;
        } else if (b == 29 && p + 4 < to) {
            v = static_cast<std::int32_t>(r.card(p + 1, 4));
            p += 5;
        } else if (b == 30) {   // a real: nibbles up to 0xF
            ++p;
            while (p < to && (r.d[p] & 0x0F) != 0x0F && (r.d[p] >> 4) != 0x0F) ++p;
            ++p;
        } else if (b >= 32 && b <= 246) {
            v = b - 139;
            ++p;
        } else if (b >= 247 && b <= 250 && p + 1 < to) {
            v = (b - 247) * 256 + r.d[p + 1] + 108;
            p += 2;
        } else if (b >= 251 && b <= 254 && p + 1 < to) {
            v = -(b - 251) * 256 - r.d[p + 1] - 108;
            p += 2;
        } else {
            break;   // a reserved byte or an operand cut short
        }
        if (nops < MAX_DICT_OPERANDS) ops[nops++] = v;
    }
    return t;
}

// The code point a string id names.
std::uint32_t sid_cp(const cff_reader& r, const cff_index& strings, std::uint32_t sid) noexcept
{
    if (sid < CFF_STANDARD_STRINGS) return tables::g_cff_standard_cp[sid];
    std::size_t from = 0;
    std::size_t to = 0;
    if (!strings.element(r, sid - CFF_STANDARD_STRINGS, from, to)) return 0;
    return glyph_code_point(std::string_view(reinterpret_cast<const char*>(r.d.data()) + from, to - from));
}

// The string id (or CID) of every glyph, from the charset.
bool read_charset(const cff_reader& r, std::int64_t offset, std::size_t nglyphs, std::vector<std::uint32_t>& sids)
{
    sids.assign(nglyphs, 0);
    if (offset == 0) {   // ISOAdobe: glyph i is string i
        for (std::size_t g = 0; g < nglyphs; ++g) sids[g] = g <= 228 ? static_cast<std::uint32_t>(g) : 0;
        return true;
    }
    if (offset < 3 || !r.has(static_cast<std::size_t>(offset), 1)) return false;   // the expert charsets: no text
    std::size_t p = static_cast<std::size_t>(offset);
    const std::uint8_t format = r.d[p++];
    std::size_t g = 1;
    if (format == 0) {
        for (; g < nglyphs && r.has(p, 2); ++g, p += 2) sids[g] = r.card(p, 2);
        return true;
    }
    if (format != 1 && format != 2) return false;
    const std::size_t left_bytes = format == 1 ? 1 : 2;
    while (g < nglyphs && r.has(p, 2 + left_bytes)) {
        std::uint32_t first = r.card(p, 2);
        const std::size_t left = r.card(p + 2, left_bytes);
        p += 2 + left_bytes;
        for (std::size_t k = 0; k <= left && g < nglyphs; ++k) sids[g++] = first++;
    }
    return true;
}

// Codes to glyphs from a custom encoding (formats 0 and 1, with supplements).
void read_encoding(const cff_reader& r, std::size_t p, const std::vector<std::uint32_t>& sids,
                   std::array<std::int32_t, 256>& gid_of_code)
{
    if (!r.has(p, 2)) return;
    const std::uint8_t format = r.d[p++];
    if ((format & 0x7F) == 0) {
        const std::size_t n = r.d[p++];
        for (std::size_t i = 0; i < n && r.has(p, 1); ++i, ++p) gid_of_code[r.d[p]] = static_cast<std::int32_t>(i + 1);
    } else if ((format & 0x7F) == 1) {
        const std::size_t nranges = r.d[p++];
        std::int32_t gid = 1;
        for (std::size_t i = 0; i < nranges && r.has(p, 2); ++i, p += 2) {
            const std::size_t first = r.d[p];
            const std::size_t left = r.d[p + 1];
            for (std::size_t c = first; c <= first + left && c < 256; ++c) gid_of_code[c] = gid++;
        }
    } else {
        return;
    }
    if ((format & 0x80) != 0 && r.has(p, 1)) {   // supplements: more codes for named glyphs
        const std::size_t nsups = r.d[p++];
        for (std::size_t i = 0; i < nsups && r.has(p, 3); ++i, p += 3) {
            const std::uint8_t code = r.d[p];
            const std::uint32_t sid = r.card(p + 1, 2);
            for (std::size_t g = 0; g < sids.size(); ++g) {
                if (sids[g] == sid) {
                    gid_of_code[code] = static_cast<std::int32_t>(g);
                    break;
                }
            }
        }
    }
}

}  // namespace

std::shared_ptr<const font_program> read_cff_program(std::span<const std::uint8_t> data)
{
    try {
        const cff_reader r{data};
        if (!r.has(0, 4) || r.d[0] != 1) return nullptr;   // major version 1
        const std::size_t hdr = r.d[2];
        const cff_index names = read_index(r, hdr);
        if (!names.ok) return nullptr;
        const cff_index tops = read_index(r, names.end);
        if (!tops.ok) return nullptr;
        const cff_index strings = read_index(r, tops.end);
        std::size_t from = 0;
        std::size_t to = 0;
        if (!tops.element(r, 0, from, to)) return nullptr;
        const top_dict top = read_top_dict(r, from, to);
        if (top.charstrings <= 0 || static_cast<std::uint64_t>(top.charstrings) >= data.size()) return nullptr;
        const cff_index glyphs = read_index(r, static_cast<std::size_t>(top.charstrings));
        if (!glyphs.ok || glyphs.count == 0) return nullptr;
        const std::size_t nglyphs = std::min(glyphs.count, MAX_GLYPHS);

        auto prog = std::make_shared<font_program>();
        if (top.cid_keyed) return prog;   // glyphs are CIDs; the collection gives text
        std::vector<std::uint32_t> sids;
        if (!read_charset(r, top.charset, nglyphs, sids)) return prog;
        prog->glyph_cps.resize(nglyphs);
        for (std::size_t g = 1; g < nglyphs; ++g) prog->glyph_cps[g] = sid_cp(r, strings, sids[g]);

        if (top.encoding == 0) {
            prog->builtin = standard_encoding();
            prog->has_builtin = true;
        } else if (top.encoding > 1 && static_cast<std::uint64_t>(top.encoding) < data.size()) {
            std::array<std::int32_t, 256> gid_of_code;
            gid_of_code.fill(-1);
            read_encoding(r, static_cast<std::size_t>(top.encoding), sids, gid_of_code);
            for (std::size_t c = 0; c < 256; ++c) {
                const std::int32_t g = gid_of_code[c];
                if (g > 0 && static_cast<std::size_t>(g) < nglyphs) prog->builtin[c] = prog->glyph_cps[static_cast<std::size_t>(g)];
            }
            prog->has_builtin = true;
        }
        return prog;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace tavrik
