// Embedded Type 1 programs (FontFile): the encoding their clear-text part declares,
// either "/Encoding StandardEncoding def" or an array filled by "dup code /name put".
#include <algorithm>
#include <array>
#include <new>
#include <string_view>

#include "fonts/font_internal.h"
#include "pdf_parse.h"

namespace tavrik {
namespace {

// The clear-text part ends at "eexec"; encodings stand well inside its first bytes.
constexpr std::size_t MAX_TYPE1_CLEAR_BYTES = std::size_t{1} << 20;
constexpr std::size_t MAX_TYPE1_TOKEN = 127;

// Bytes that end a name or a word: white space and the PostScript delimiters. A
// table, since most of the clear text is words.
constexpr std::array<bool, 256> make_word_ends() noexcept
{
    std::array<bool, 256> ends{};
    for (unsigned c = 0; c < 256; ++c) ends[c] = is_pdf_ws(static_cast<std::uint8_t>(c));
    for (const char c : std::string_view("/{}[]()%<>")) ends[static_cast<std::uint8_t>(c)] = true;
    return ends;
}
constexpr std::array<bool, 256> WORD_ENDS = make_word_ends();

struct ps_lexer {
    const std::uint8_t* p;
    const std::uint8_t* end;

    // The next token: a name with its "/", a number or a keyword; empty at the end.
    // Strings, comments and procedure braces are passed over as single tokens.
    std::string_view next() noexcept
    {
        for (;;) {
            while (p < end && is_pdf_ws(*p)) ++p;
            if (p == end) return {};
            if (*p == '%') {
                while (p < end && *p != '\n' && *p != '\r') ++p;
                continue;
            }
            break;
        }
        const std::uint8_t* start = p;
        if (*p == '(') {
            int depth = 0;
            while (p < end) {
                const std::uint8_t c = *p++;
                if (c == '\\' && p < end) {
                    ++p;
                } else if (c == '(') {
                    ++depth;
                } else if (c == ')' && --depth == 0) {
                    break;
                }
            }
            return {reinterpret_cast<const char*>(start), 1};
        }
        if (*p == '{' || *p == '}' || *p == '[' || *p == ']') {
            ++p;
            return {reinterpret_cast<const char*>(start), 1};
        }
        ++p;   // a "/" or the first byte of a word
        while (p < end && !WORD_ENDS[*p]) ++p;
        const auto n = std::min<std::size_t>(static_cast<std::size_t>(p - start), MAX_TYPE1_TOKEN);
        return {reinterpret_cast<const char*>(start), n};
    }
};

bool small_number(std::string_view t, std::uint32_t& out) noexcept
{
    if (t.empty() || t.size() > 3) return false;
    std::uint32_t v = 0;
    for (const char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint32_t>(c - '0');
    }
    out = v;
    return true;
}

}  // namespace

std::shared_ptr<const font_program> read_type1_program(std::span<const std::uint8_t> data)
{
    bool settled = false;
    return read_type1_clear(data, settled);
}

std::shared_ptr<const font_program> read_type1_clear(std::span<const std::uint8_t> data, bool& settled)
{
    settled = false;
    // A program kept in the PFB form starts with a segment header.
    if (data.size() >= 6 && data[0] == 0x80 && data[1] == 0x01) data = data.subspan(6);
    const std::size_t n = std::min(data.size(), MAX_TYPE1_CLEAR_BYTES);
    ps_lexer lx{data.data(), data.data() + n};
    std::shared_ptr<font_program> prog;
    try {
        prog = std::make_shared<font_program>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    bool in_encoding = false;
    std::string_view prev2;
    std::string_view prev;
    for (std::string_view t = lx.next(); !t.empty(); t = lx.next()) {
        if (t == "eexec") {
            settled = lx.p < lx.end;
            break;
        }
        if (!in_encoding) {
            if (t == "/Encoding") {
                const std::string_view v = lx.next();
                if (v == "StandardEncoding") {
                    prog->builtin = standard_encoding();
                    prog->has_builtin = true;
                    settled = lx.p < lx.end;
                    break;
                }
                in_encoding = true;   // "256 array 0 1 255 {1 index exch /.notdef put} for" and the dups
                prog->has_builtin = true;
            }
            continue;
        }
        // dup CODE /NAME put
        std::uint32_t code = 0;
        if (t == "put" && prev2.size() > 0 && prev.size() > 1 && prev[0] == '/' && small_number(prev2, code) &&
            code < 256) {
            prog->builtin[code] = glyph_code_point(prev.substr(1));
        } else if (t == "def" || t == "readonly") {
            settled = lx.p < lx.end;
            break;   // the end of the array
        }
        prev2 = prev;
        prev = t;
    }
    return prog;
}

}  // namespace tavrik
