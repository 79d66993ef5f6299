// The single-byte encodings a font can name, and the built-in encodings of the
// standard fonts.
#include <algorithm>
#include <cstring>

#include "fonts/font_internal.h"
#include "fonts/generated/encodings.h"

namespace tavrik {
namespace {

simple_encoding widen(const tables::encoding_table& t) noexcept
{
    simple_encoding out{};
    std::copy(t.begin(), t.end(), out.begin());
    return out;
}

struct named_table {
    std::string_view name;
    const tables::encoding_table* table;
};
constexpr std::array<named_table, 5> g_named = {{
    {"WinAnsiEncoding", &tables::g_enc_win_ansi},
    {"MacRomanEncoding", &tables::g_enc_mac_roman},
    {"StandardEncoding", &tables::g_enc_standard},
    {"MacExpertEncoding", &tables::g_enc_mac_expert},
    {"PDFDocEncoding", &tables::g_enc_pdf_doc},
}};

// The base names of the fourteen standard fonts and of the usual substitutes that
// producers name without embedding them (Arial for Helvetica and so on). Only the
// part before any "," or "-" style suffix is compared.
constexpr std::array<std::string_view, 11> g_text_families = {
    "Times",          "Helvetica",         "Courier", "Arial",          "ArialMT",       "TimesNewRoman",
    "TimesNewRomanPS", "TimesNewRomanPSMT", "CourierNew", "CourierNewPS", "CourierNewPSMT"};

}  // namespace

bool named_encoding(std::string_view name, simple_encoding& out) noexcept
{
    for (const named_table& n : g_named) {
        if (n.name == name) {
            out = widen(*n.table);
            return true;
        }
    }
    return false;
}

const simple_encoding& standard_encoding() noexcept
{
    static const simple_encoding table = widen(tables::g_enc_standard);
    return table;
}

standard_font standard_font_of(std::string_view base_font) noexcept
{
    // A subset prefix: six capital letters and "+".
    if (base_font.size() > 7 && base_font[6] == '+' &&
        std::all_of(base_font.begin(), base_font.begin() + 6, [](char c) { return c >= 'A' && c <= 'Z'; }))
        base_font.remove_prefix(7);
    if (base_font == "Symbol" || base_font.substr(0, 7) == "Symbol," || base_font == "SymbolMT")
        return standard_font::symbol;
    if (base_font == "ZapfDingbats" || base_font == "ZapfDingbatsITC" || base_font == "Dingbats")
        return standard_font::dingbats;
    const std::string_view family = base_font.substr(0, std::min(base_font.find_first_of(",-"), base_font.size()));
    if (std::find(g_text_families.begin(), g_text_families.end(), family) != g_text_families.end())
        return standard_font::text;
    return standard_font::none;
}

bool standard_font_encoding(standard_font kind, simple_encoding& out) noexcept
{
    switch (kind) {
    case standard_font::text:
        out = standard_encoding();
        return true;
    case standard_font::symbol:
        out = widen(tables::g_enc_symbol);
        return true;
    case standard_font::dingbats:
        out = widen(tables::g_enc_zapf_dingbats);
        return true;
    case standard_font::none:
        break;
    }
    return false;
}

}  // namespace tavrik
