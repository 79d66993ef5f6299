// Font dictionary loading: per font resource, the code width from Subtype and
// Encoding, single mappings from a direct Differences array, and the ToUnicode CMap.
#include "pdf_parse.h"

#include <cstring>

namespace tavrik {

namespace {

constexpr std::size_t NAME_BYTES = 64;   // Subtype and Encoding names: 63 bytes kept

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

}  // namespace

void font_load_encoding(ppdf_ctx& ctx, pdf_font& font, std::int64_t value_pos)
{
    const byte_view d = ctx.bytes();
    const auto n = static_cast<std::int64_t>(d.size());
    const std::int64_t p = rd_skip_ws(d, value_pos);
    if (p < n && d[static_cast<std::size_t>(p)] == '/') {
        char name[NAME_BYTES];
        std::int64_t end = 0;
        const int len = rd_name(d, p, name, sizeof name, &end);
        if (len > 0 && is_composite_encoding(std::string_view(name, static_cast<std::size_t>(len)))) {
            font.code_bytes = 2;
            font.width_fixed = 1;
        }
        return;
    }

    std::int64_t dict = 0;
    std::int64_t diffs = 0;
    if (!resolve_dict(ctx, p, dict) || !dict_find(d, dict, "Differences", diffs))
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
    const byte_view d = ctx.bytes();
    std::int64_t v = 0;
    bool type0 = false;
    if (dict_find(d, dict, "Subtype", v)) {
        char name[NAME_BYTES];
        type0 = ieq(name_at(d, v, name, sizeof name), "Type0");
        if (type0)
            font.code_bytes = 2;
    }
    if (dict_find(d, dict, "Encoding", v))
        font_load_encoding(ctx, font, v);

    std::int64_t obj = -1;
    std::int64_t stream_dict = 0;
    if (dict_find(d, dict, "ToUnicode", v)) {
        std::int64_t p = rd_skip_ws(d, v);
        if (rd_ref(d, p, obj) && in_object_table(ctx, obj) && ctx_obj_dict(ctx, obj, stream_dict)) {
            // A simple font reads one byte per code whatever its CMap's code space
            // says: some producers declare <0000> <FFFF> for one-byte fonts.
            if (!type0)
                font.width_fixed = 1;
            if (auto data = stream_decode(ctx, stream_dict))
                pf_parse_tounicode(&font, data->data(), data->size());
        }
    }
    pf_finalize(&font);
}

}  // namespace tavrik
