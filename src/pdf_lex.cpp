// The lexical layer: white space, names, numbers, references, strings, value
// skipping and the per-key dictionary walk, all by position over one byte view.
// Byte classes are written out here (never <cctype>), so no host locale can change
// what the reader sees. Nothing here allocates; every loop is bounded by the view.
#include "pdf_parse.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace tavrik {

namespace {

inline constexpr std::size_t NUMBER_TEXT_BYTES = 48;   // at most 47 characters converted

// Bytes that end a name: the reader's white space, 0x1F and the delimiters.
[[nodiscard]] constexpr bool is_name_end(std::uint8_t c) noexcept
{
    if (is_pdf_ws(c) || c == 0x1F) return true;
    switch (c) {
    case '%': case '(': case ')': case '/': case '<': case '>':
    case '[': case '\\': case ']': case '{': case '}':
        return true;
    default:
        return false;
    }
}

// Bytes that end a bare word and must follow the "R" of a reference. Form feed and
// backspace are not among them.
[[nodiscard]] constexpr bool is_token_delim(std::uint8_t c) noexcept
{
    switch (c) {
    case 0x00: case ' ': case '\t': case '\r': case '\n': case 0x1F:
    case '(': case ')': case '<': case '>': case '[': case ']':
    case '{': case '}': case '/': case '%':
        return true;
    default:
        return false;
    }
}

[[nodiscard]] constexpr bool is_octal(std::uint8_t c) noexcept { return c >= '0' && c <= '7'; }

[[nodiscard]] constexpr std::uint8_t ascii_lower(char c) noexcept
{
    const auto u = static_cast<std::uint8_t>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<std::uint8_t>(u + 32) : u;
}

[[nodiscard]] std::int64_t size_of(byte_view d) noexcept { return static_cast<std::int64_t>(d.size()); }

[[nodiscard]] bool at(byte_view d, std::int64_t i, std::uint8_t c) noexcept
{
    return i >= 0 && i < size_of(d) && d[static_cast<std::size_t>(i)] == c;
}

[[nodiscard]] std::uint8_t byte_at(byte_view d, std::int64_t i) noexcept
{
    return d[static_cast<std::size_t>(i)];
}

// Walks a name token at pos ("/" first). Calls put(byte) for every resulting byte,
// escapes resolved. Returns the position just past the token, or -1 when pos holds
// no "/" followed by a byte other than "/". An empty name gives pos + 1.
template <class Put>
std::int64_t scan_name(byte_view d, std::int64_t pos, Put&& put) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos < 0 || pos + 1 >= n || byte_at(d, pos) != '/' || byte_at(d, pos + 1) == '/') return -1;
    std::int64_t i = pos + 1;
    while (i < n && !is_name_end(byte_at(d, i))) {
        const std::uint8_t c = byte_at(d, i);
        if (c == '#' && i + 2 < n && is_xdigit(byte_at(d, i + 1)) && is_xdigit(byte_at(d, i + 2))) {
            put(static_cast<std::uint8_t>(hex_value(byte_at(d, i + 1)) * 16 + hex_value(byte_at(d, i + 2))));
            i += 3;
        } else {
            put(c);
            ++i;
        }
    }
    return i;
}

// Reads a literal string at pos ("(" first), calling put(byte) for each byte after
// escape processing. Returns the position just past the closing ")", or -1 when the
// data end first (a backslash as the last byte included).
template <class Put>
std::int64_t scan_literal(byte_view d, std::int64_t pos, Put&& put) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos < 0 || pos >= n || byte_at(d, pos) != '(') return -1;
    int depth = 1;
    std::int64_t i = pos + 1;
    while (i < n) {
        const std::uint8_t c = byte_at(d, i);
        if (c == '\\') {
            if (i + 1 >= n) return -1;
            const std::uint8_t e = byte_at(d, i + 1);
            i += 2;
            switch (e) {
            case 'n': put(std::uint8_t{'\n'}); break;
            case 'r': put(std::uint8_t{'\r'}); break;
            case 't': put(std::uint8_t{'\t'}); break;
            case 'b': put(std::uint8_t{'\b'}); break;
            case 'f': put(std::uint8_t{'\f'}); break;
            case '\n': break;   // line continuation
            case '\r':
                if (i < n && byte_at(d, i) == '\n') ++i;
                break;
            default:
                if (is_octal(e)) {
                    unsigned v = e - '0';
                    for (int k = 0; k < 2 && i < n && is_octal(byte_at(d, i)); ++k, ++i)
                        v = v * 8 + (byte_at(d, i) - '0');
                    put(static_cast<std::uint8_t>(v & 0xFF));
                } else {
                    put(e);   // \\ \( \) and any other byte stand for themselves
                }
                break;
            }
            continue;
        }
        ++i;
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) return i;
        }
        put(c);
    }
    return -1;
}

// Steps over a literal string for the skipping operations: nesting counted, a
// backslash skips the byte after it. Returns the position past ")" or the end.
[[nodiscard]] std::int64_t skip_literal(byte_view d, std::int64_t i) noexcept
{
    const std::int64_t n = size_of(d);
    int depth = 0;
    while (i < n) {
        const std::uint8_t c = byte_at(d, i);
        if (c == '\\') {
            i += 2;
            continue;
        }
        ++i;
        if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth <= 0) return i;
        }
    }
    return n;
}

// Characters 0x18-0x1F and 0x80-0xA0 of PDFDocEncoding; 0 marks a byte that keeps
// its Latin-1 value.
constexpr std::array<std::uint16_t, 8> k_doc_18 = {0x02D8, 0x02C7, 0x02C6, 0x02D9, 0x02DD, 0x02DB, 0x02DA, 0x02DC};
constexpr std::array<std::uint16_t, 33> k_doc_80 = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
    0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
    0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0,      0x20AC};

[[nodiscard]] constexpr std::uint32_t pdfdoc_cp(std::uint8_t b) noexcept
{
    if (b >= 0x18 && b <= 0x1F) return k_doc_18[b - 0x18];
    if (b >= 0x80 && b <= 0xA0 && k_doc_80[b - 0x80] != 0) return k_doc_80[b - 0x80];
    return b;
}

// Turns the decoded bytes of a text string into UTF-8, one byte at a time: the first
// bytes choose UTF-16BE (FE FF), UTF-16LE (FF FE), UTF-8 (EF BB BF) or PDFDocEncoding.
class text_decoder {
public:
    text_decoder(char* out, std::size_t cap, bool hex) noexcept : out_(out), cap_(cap), hex_(hex) {}

    void put(std::uint8_t b) noexcept
    {
        switch (mode_) {
        case mode::undecided:
            head_[head_len_++] = b;
            if (head_len_ == 2 && head_[0] == 0xFE && head_[1] == 0xFF) {
                mode_ = mode::utf16be;
            } else if (head_len_ == 2 && head_[0] == 0xFF && head_[1] == 0xFE) {
                mode_ = mode::utf16le;
            } else if (head_len_ == 3) {
                if (head_[0] == 0xEF && head_[1] == 0xBB && head_[2] == 0xBF) {
                    mode_ = mode::utf8;
                } else {
                    flush_head_as_doc();
                }
            }
            break;
        case mode::pdfdoc: put_doc(b); break;
        case mode::utf16be:
        case mode::utf16le: put_utf16(b); break;
        case mode::utf8: put_utf8(b); break;
        }
    }

    // Ends the text and writes the terminator; returns the length of the text.
    std::size_t finish() noexcept
    {
        if (mode_ == mode::undecided) flush_head_as_doc();
        if (high_ != 0) emit(high_);   // a high surrogate with nothing after it
        high_ = 0;
        if (cap_ > 0) out_[len_] = '\0';
        return len_;
    }

private:
    enum class mode { undecided, pdfdoc, utf16be, utf16le, utf8 };

    void emit(std::uint32_t cp) noexcept { len_ = utf8_emit(out_, len_, cap_, cp); }

    void flush_head_as_doc() noexcept
    {
        mode_ = mode::pdfdoc;
        for (int k = 0; k < head_len_; ++k) put_doc(head_[k]);
        head_len_ = 0;
    }

    // A zero byte ends a literal string's text (it is stored, and readers of the
    // terminated text stop there); hex strings drop it.
    void put_doc(std::uint8_t b) noexcept
    {
        if (b == 0 && hex_) return;
        emit(pdfdoc_cp(b));
    }

    void put_utf16(std::uint8_t b) noexcept
    {
        if (odd_ < 0) {
            odd_ = b;
            return;
        }
        const auto first = static_cast<std::uint32_t>(odd_);
        odd_ = -1;
        const std::uint32_t unit = mode_ == mode::utf16be ? (first << 8 | b) : (std::uint32_t{b} << 8 | first);
        if (high_ != 0) {
            const std::uint32_t high = high_;
            high_ = 0;
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                emit((high - 0xD800) * 0x400 + (unit - 0xDC00) + 0x10000);
                return;
            }
            emit(high);   // lone high surrogate, in its three-byte form
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            high_ = unit;
        } else {
            emit(unit);
        }
    }

    // Well-formed sequences are copied; every byte of an ill-formed one is dropped.
    // A byte that breaks a sequence is looked at again as a possible start.
    void put_utf8(std::uint8_t b) noexcept
    {
        if (need_ > 0) {
            if (b >= lo_ && b <= hi_) {
                cp_ = cp_ << 6 | (b & 0x3Fu);
                lo_ = 0x80;
                hi_ = 0xBF;
                if (--need_ == 0) emit(cp_);
                return;
            }
            need_ = 0;
        }
        lo_ = 0x80;
        hi_ = 0xBF;
        if (b < 0x80) {
            if (b == 0 && hex_) return;
            emit(b);
        } else if (b >= 0xC2 && b <= 0xDF) {
            need_ = 1;
            cp_ = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need_ = 2;
            cp_ = b & 0x0Fu;
            if (b == 0xE0) lo_ = 0xA0;
            if (b == 0xED) hi_ = 0x9F;   // no surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            need_ = 3;
            cp_ = b & 0x07u;
            if (b == 0xF0) lo_ = 0x90;
            if (b == 0xF4) hi_ = 0x8F;   // nothing above U+10FFFF
        }
    }

    char* out_;
    std::size_t cap_;
    bool hex_;
    std::size_t len_ = 0;
    mode mode_ = mode::undecided;
    std::array<std::uint8_t, 3> head_{};
    int head_len_ = 0;
    int odd_ = -1;            // first byte of a UTF-16 unit
    std::uint32_t high_ = 0;  // pending high surrogate
    int need_ = 0;            // UTF-8 continuation bytes still expected
    std::uint32_t cp_ = 0;
    std::uint8_t lo_ = 0x80;
    std::uint8_t hi_ = 0xBF;
};

// The powers of ten that a double holds exactly.
constexpr double EXACT_POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The decimal part of c_strtod: the longest prefix strtod would take.
[[nodiscard]] double decimal_to_double(const char* p, const char* end, const char** stop) noexcept
{
    const char* q = p;
    int int_sig = 0;        // integer digits from the first non-zero one
    int frac_zeros = 0;     // zeros after the point before the first non-zero digit
    bool seen_nonzero = false;
    bool any_digit = false;
    while (q < end && is_digit(static_cast<std::uint8_t>(*q))) {
        if (*q != '0') seen_nonzero = true;
        if (seen_nonzero) ++int_sig;
        any_digit = true;
        ++q;
    }
    if (q < end && *q == '.') {
        const char* f = q + 1;
        while (f < end && is_digit(static_cast<std::uint8_t>(*f))) {
            if (*f != '0') seen_nonzero = true;
            if (!seen_nonzero) ++frac_zeros;
            any_digit = true;
            ++f;
        }
        if (any_digit) q = f;
    }
    if (!any_digit) {
        *stop = p;
        return 0.0;
    }
    long long exp10 = 0;
    bool has_exp = false;
    if (q < end && (*q == 'e' || *q == 'E')) {
        const char* e = q + 1;
        bool neg = false;
        if (e < end && (*e == '+' || *e == '-')) neg = *e++ == '-';
        if (e < end && is_digit(static_cast<std::uint8_t>(*e))) {
            while (e < end && is_digit(static_cast<std::uint8_t>(*e))) {
                if (exp10 < 1000000000) exp10 = exp10 * 10 + (*e - '0');
                ++e;
            }
            if (neg) exp10 = -exp10;
            q = e;
            has_exp = true;
        }
    }
    *stop = q;
    // At most 15 significant digits, at most 22 after the point, no exponent: the
    // digits as an integer and the power of ten are both exact doubles, so the one
    // rounding of the division gives the correctly rounded value, as below.
    if (!has_exp) {
        std::uint64_t m = 0;
        int sig = 0;
        int frac = 0;
        bool point = false;
        for (const char* c = p; c < q; ++c) {
            if (*c == '.') {
                point = true;
                continue;
            }
            if (sig > 0 || *c != '0') ++sig;
            if (point) ++frac;
            m = m * 10 + static_cast<std::uint64_t>(*c - '0');
            if (sig > 15 || frac > 22) break;
        }
        if (sig <= 15 && frac <= 22) return static_cast<double>(m) / EXACT_POW10[frac];
    }
    double v = 0.0;
    const auto r = std::from_chars(p, q, v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Out of range: overflow gives HUGE_VAL, underflow zero, as strtod does.
        const long long magnitude = (int_sig > 0 ? int_sig : -frac_zeros) + exp10;
        return magnitude > 0 ? HUGE_VAL : 0.0;
    }
    return r.ec == std::errc{} ? v : 0.0;
}

// The numbers of content streams in one pass: digits with at most one point, at
// most 15 significant digits and 22 after the point, and nothing after them that
// strtod would read on (an exponent, or the "x" of a hexadecimal "0x"). Such a
// value is exact as an integer over a power of ten, so one division rounds it
// correctly. Anything else is left to the full conversion.
[[nodiscard]] bool short_decimal(const char* p, const char* end, double& out) noexcept
{
    std::uint64_t m = 0;
    int sig = 0;
    int frac = -1;   // digits after the point; -1 before it
    bool any = false;
    for (; p < end; ++p) {
        const auto c = static_cast<std::uint8_t>(*p);
        if (is_digit(c)) {
            any = true;
            if (sig > 0 || c != '0')
                ++sig;
            if (frac >= 0)
                ++frac;
            if (sig > 15 || frac > 22)
                return false;
            m = m * 10 + (c - '0');
        } else if (c == '.' && frac < 0) {
            frac = 0;
        } else if (c == 'e' || c == 'E' || c == 'x' || c == 'X') {
            return false;
        } else {
            break;
        }
    }
    if (!any)
        return false;
    out = static_cast<double>(m) / EXACT_POW10[frac < 0 ? 0 : frac];
    return true;
}

[[nodiscard]] bool starts_icase(const char* p, const char* end, std::string_view word) noexcept
{
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    for (std::size_t k = 0; k < word.size(); ++k)
        if (ascii_lower(p[k]) != static_cast<std::uint8_t>(word[k])) return false;
    return true;
}

}  // namespace

bool ieq(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k)
        if (ascii_lower(a[k]) != ascii_lower(b[k])) return false;
    return true;
}

double c_strtod(std::string_view text) noexcept
{
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p < end && is_c_space(static_cast<std::uint8_t>(*p))) ++p;
    bool neg = false;
    if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    double v = 0.0;
    if (short_decimal(p, end, v))
        return neg ? -v : v;
    if (starts_icase(p, end, "inf")) {
        v = HUGE_VAL;
    } else if (starts_icase(p, end, "nan")) {
        v = std::numeric_limits<double>::quiet_NaN();
    } else if (p + 2 < end && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
               (is_xdigit(static_cast<std::uint8_t>(p[2])) ||
                (p[2] == '.' && p + 3 < end && is_xdigit(static_cast<std::uint8_t>(p[3]))))) {
        const auto r = std::from_chars(p + 2, end, v, std::chars_format::hex);
        if (r.ec == std::errc::result_out_of_range) {
            // Decide by the binary exponent's sign, roughly, as strtod would saturate.
            const char* pe = r.ptr;
            while (pe > p + 2 && pe[-1] != 'p' && pe[-1] != 'P') --pe;
            v = (pe > p + 2 && pe < r.ptr && *pe == '-') ? 0.0 : HUGE_VAL;
        } else if (r.ec != std::errc{}) {
            v = 0.0;
        }
    } else {
        const char* stop = p;
        v = decimal_to_double(p, end, &stop);
        if (stop == p) return 0.0;   // no conversion: strtod gives +0
    }
    return neg ? -v : v;
}

std::size_t utf8_emit(char* out, std::size_t len, std::size_t cap, std::uint32_t cp) noexcept
{
    std::array<std::uint8_t, 4> b{};
    std::size_t k = 0;
    if (cp <= 0x7F) {
        b[k++] = static_cast<std::uint8_t>(cp);
    } else if (cp <= 0x7FF) {
        b[k++] = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
        b[k++] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else if (cp <= 0xFFFF) {
        b[k++] = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
        b[k++] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        b[k++] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else {
        b[k++] = static_cast<std::uint8_t>(0xF0 | ((cp >> 18) & 0x07));
        b[k++] = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        b[k++] = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        b[k++] = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    }
    if (len >= cap || k >= cap - len) return len;   // keep one byte for the terminator
    for (std::size_t j = 0; j < k; ++j) out[len + j] = static_cast<char>(b[j]);
    out[len + k] = '\0';
    return len + k;
}

std::int64_t rd_skip_ws(byte_view d, std::int64_t pos) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos < 0) return pos;
    while (pos < n) {
        const std::uint8_t c = byte_at(d, pos);
        if (is_pdf_ws(c)) {
            ++pos;
        } else if (c == '%') {
            // Only LF ends a comment: with CR-only line ends it runs on.
            while (pos < n && byte_at(d, pos) != '\n') ++pos;
        } else {
            break;
        }
    }
    return pos;
}

int rd_name(byte_view d, std::int64_t pos, char* out, std::size_t cap, std::int64_t* end_out) noexcept
{
    std::size_t stored = 0;
    const std::int64_t end = scan_name(d, pos, [&](std::uint8_t c) {
        if (cap > 0 && stored < cap - 1) out[stored++] = static_cast<char>(c);
    });
    if (end < 0 || stored == 0) return -1;
    out[stored] = '\0';
    if (end_out != nullptr) *end_out = end;
    return static_cast<int>(stored);
}

namespace {

// The end of the number token at pos, or -1 when pos starts none.
[[nodiscard]] std::int64_t number_end(byte_view d, std::int64_t pos) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos < 0 || pos >= n) return -1;
    std::int64_t i = pos;
    if (byte_at(d, i) == '+' || byte_at(d, i) == '-') ++i;
    const std::int64_t run = i;
    while (i < n && (is_digit(byte_at(d, i)) || byte_at(d, i) == '.')) ++i;
    if (i == run) return -1;
    if (i < n && (byte_at(d, i) == 'e' || byte_at(d, i) == 'E')) {
        std::int64_t j = i + 1;
        if (j < n && (byte_at(d, j) == '+' || byte_at(d, j) == '-')) ++j;
        if (j < n && is_digit(byte_at(d, j))) {
            while (j < n && is_digit(byte_at(d, j))) ++j;
            i = j;
        }
    }
    return i;
}

// Steps over a number whose value nobody needs, exactly as rd_number would.
[[nodiscard]] bool skip_number(byte_view d, std::int64_t& pos) noexcept
{
    const std::int64_t end = number_end(d, pos);
    if (end < 0) return false;
    pos = end;
    return true;
}

}  // namespace

bool rd_number(byte_view d, std::int64_t& pos, double& value_out) noexcept
{
    const std::int64_t i = number_end(d, pos);
    if (i < 0) return false;
    // Only the first NUMBER_TEXT_BYTES - 1 characters are converted.
    const auto len = static_cast<std::size_t>(std::min<std::int64_t>(i - pos, NUMBER_TEXT_BYTES - 1));
    value_out = c_strtod(std::string_view(reinterpret_cast<const char*>(d.data()) + pos, len));
    pos = i;
    return true;
}

bool rd_ref(byte_view d, std::int64_t& pos, std::int64_t& objnum_out) noexcept
{
    std::int64_t i = pos;
    double num = 0;
    // Plain digits before white space, as nearly every reference is written, need
    // no conversion of a real number.
    std::int64_t digits_end = pos;
    std::int64_t whole = 0;
    while (digits_end < size_of(d) && digits_end - pos < 15 && is_digit(byte_at(d, digits_end)))
        whole = whole * 10 + (byte_at(d, digits_end++) - '0');
    if (digits_end > pos && digits_end < size_of(d) && is_pdf_ws(byte_at(d, digits_end))) {
        num = static_cast<double>(whole);
        i = digits_end;
    } else if (!rd_number(d, i, num)) {
        return false;
    }
    i = rd_skip_ws(d, i);
    if (!skip_number(d, i)) return false;
    i = rd_skip_ws(d, i);
    if (!at(d, i, 'R')) return false;
    if (i + 1 < size_of(d) && !is_token_delim(byte_at(d, i + 1))) return false;
    objnum_out = trunc_i64(num);
    pos = i + 1;
    return true;
}

rd_element rd_number_or_ref(byte_view d, std::int64_t& pos, double& value_out, rd_ahead& ahead) noexcept
{
    // The first token ends where rd_ref's and rd_number's both end it; the rest is
    // rd_ref's test for "int R" after it.
    const std::int64_t end = ahead.start == pos && pos >= 0 ? ahead.end : number_end(d, pos);
    ahead = {};
    if (end < 0) return rd_element::other;
    const std::int64_t second = rd_skip_ws(d, end);
    const std::int64_t second_end = number_end(d, second);
    if (second_end >= 0) {
        const std::int64_t r = rd_skip_ws(d, second_end);
        if (at(d, r, 'R') && (r + 1 >= size_of(d) || is_token_delim(byte_at(d, r + 1)))) {
            pos = r + 1;
            return rd_element::reference;
        }
        ahead = {second, second_end};
    }
    const auto len = static_cast<std::size_t>(std::min<std::int64_t>(end - pos, NUMBER_TEXT_BYTES - 1));
    value_out = c_strtod(std::string_view(reinterpret_cast<const char*>(d.data()) + pos, len));
    pos = end;
    return rd_element::number;
}

int rd_string(byte_view d, std::int64_t& pos, char* out, std::size_t cap) noexcept
{
    const std::int64_t n = size_of(d);
    if (cap > 0) out[0] = '\0';
    if (pos < 0 || pos >= n) return -1;
    const std::uint8_t first = byte_at(d, pos);
    if (first == '(') {
        text_decoder text(out, cap, false);
        const std::int64_t end = scan_literal(d, pos, [&](std::uint8_t c) { text.put(c); });
        if (end < 0) {
            if (cap > 0) out[0] = '\0';
            return -1;
        }
        pos = end;
        return static_cast<int>(text.finish());
    }
    if (first != '<' || at(d, pos + 1, '<')) return -1;
    text_decoder text(out, cap, true);
    int high = -1;
    for (std::int64_t i = pos + 1; i < n; ++i) {
        const std::uint8_t c = byte_at(d, i);
        if (is_c_space(c)) continue;
        const int v = hex_value(c);
        if (v >= 0) {
            if (high < 0) {
                high = v;
            } else {
                text.put(static_cast<std::uint8_t>(high * 16 + v));
                high = -1;
            }
            continue;
        }
        // ">" ends the string; any other byte ends it too, and reading resumes
        // after that byte, unless it is the last byte of the data.
        if (c != '>' && i + 1 >= n) break;
        pos = i + 1;
        return static_cast<int>(text.finish());
    }
    if (cap > 0) out[0] = '\0';
    return -1;
}

int rd_raw_literal(byte_view d, std::int64_t& pos, std::uint8_t* out) noexcept
{
    if (pos < 0 || pos + 1 >= size_of(d)) return -1;
    std::size_t stored = 0;
    const std::int64_t end = scan_literal(d, pos, [&](std::uint8_t c) {
        if (stored < RAW_STRING_BYTES) out[stored++] = c;
    });
    if (end < 0) return -1;
    pos = end;
    return static_cast<int>(stored);
}

int rd_raw_hex(byte_view d, std::int64_t& pos, std::uint8_t* out) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos < 0 || pos + 1 >= n || byte_at(d, pos) != '<' || byte_at(d, pos + 1) == '<') return -1;
    std::size_t stored = 0;
    int high = -1;
    for (std::int64_t i = pos + 1; i < n; ++i) {
        const std::uint8_t c = byte_at(d, i);
        if (c == '>') {
            if (high >= 0 && stored < RAW_STRING_BYTES) out[stored++] = static_cast<std::uint8_t>(high * 16);
            pos = i + 1;
            return static_cast<int>(stored);
        }
        const int v = hex_value(c);
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            if (stored < RAW_STRING_BYTES) out[stored++] = static_cast<std::uint8_t>(high * 16 + v);
            high = -1;
        }
    }
    return -1;
}

void rd_skip_value(byte_view d, std::int64_t& pos) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos < 0) return;
    std::int64_t i = rd_skip_ws(d, pos);
    if (i >= n) {
        pos = i;
        return;
    }
    const std::uint8_t c = byte_at(d, i);
    if (c == '{') {
        int depth = 0;
        while (i < n) {
            const std::uint8_t b = byte_at(d, i++);
            if (b == '{') {
                ++depth;
            } else if (b == '}' && --depth == 0) {
                break;
            }
        }
    } else if (c == '[') {
        // Long arrays (a Kids array of thousands of references) are crossed with
        // memchr from one bracket or string to the next.
        // Each byte's next occurrence is searched again only once the walk has
        // passed the last one found, so deep or unclosed arrays stay linear.
        int depth = 0;
        const int specials[3] = {']', '[', '('};
        std::int64_t next[3] = {-1, -1, -1};
        while (i < n) {
            std::int64_t j = n;
            for (int k = 0; k < 3; ++k) {
                if (next[k] < i) {
                    const void* hit = std::memchr(d.data() + i, specials[k], static_cast<std::size_t>(n - i));
                    next[k] = hit != nullptr ? static_cast<const std::uint8_t*>(hit) - d.data() : n;
                }
                j = std::min(j, next[k]);
            }
            i = j;
            if (i >= n)
                break;
            const std::uint8_t b = byte_at(d, i);
            if (b == '(') {
                i = skip_literal(d, i);
                continue;
            }
            ++i;
            if (b == '[') {
                ++depth;
            } else if (--depth == 0) {
                break;
            }
        }
    } else if (c == '(') {
        i = skip_literal(d, i);
    } else if (c == '<' && at(d, i + 1, '<')) {
        // Hex strings are not told apart here: "<AB>>>" closes one byte early.
        int depth = 0;
        while (i < n) {
            const std::uint8_t b = byte_at(d, i);
            if (b == '<' && at(d, i + 1, '<')) {
                ++depth;
                i += 2;
            } else if (b == '>' && at(d, i + 1, '>')) {
                i += 2;
                if (--depth == 0) break;
            } else if (b == '(') {
                i = skip_literal(d, i);
            } else {
                ++i;
            }
        }
    } else if (c == '<') {
        while (i < n && byte_at(d, i) != '>') ++i;
        if (i < n) ++i;
    } else if (c == '/') {
        const std::int64_t end = scan_name(d, i, [](std::uint8_t) {});
        i = end > i + 1 ? end : i + 1;
    } else if (c == '+' || c == '-' || c == '.' || is_digit(c)) {
        if (!skip_number(d, i)) {
            ++i;
        } else {
            std::int64_t j = rd_skip_ws(d, i);
            if (j < n && (is_digit(byte_at(d, j)) || byte_at(d, j) == '-') && skip_number(d, j)) {
                j = rd_skip_ws(d, j);
                if (at(d, j, 'R') && (j + 1 >= n || is_token_delim(byte_at(d, j + 1)))) i = j + 1;
            }
        }
    } else {
        ++i;
        while (i < n && !is_token_delim(byte_at(d, i))) ++i;
    }
    pos = i < n ? i : n;
}

int dict_start(byte_view d, std::int64_t pos) noexcept
{
    if (at(d, pos, '<') && at(d, pos + 1, '<')) return 2;
    if (at(d, pos, '{')) return 1;
    return 0;
}

std::int64_t dict_end(byte_view d, std::int64_t pos) noexcept
{
    const std::int64_t n = size_of(d);
    const int kind = dict_start(d, pos);
    if (kind == 0) return pos + 1;
    int depth = 0;
    std::int64_t i = pos;
    if (kind == 1) {
        while (i < n) {
            const std::uint8_t b = byte_at(d, i++);
            if (b == '{') {
                ++depth;
            } else if (b == '}' && --depth == 0) {
                return i;
            }
        }
        return n;
    }
    while (i < n) {
        const std::uint8_t b = byte_at(d, i);
        if (b == '<' && at(d, i + 1, '<')) {
            ++depth;
            i += 2;
        } else if (b == '>' && at(d, i + 1, '>')) {
            i += 2;
            if (--depth == 0) return i;
        } else {
            ++i;
        }
    }
    return n;
}

namespace {

// The walk of rd_dict; each key goes to on_key(key, value_pos), which returns false
// to end the walk there (pos is then left as it was).
template <typename OnKey>
void walk_dict(byte_view d, std::int64_t& pos, OnKey&& on_key)
{
    const int kind = dict_start(d, pos);
    if (kind == 0) return;
    const std::int64_t n = size_of(d);
    std::int64_t i = pos + kind;
    std::array<char, KEY_BYTES> key{};
    for (;;) {
        i = rd_skip_ws(d, i);
        if (i >= n) break;
        if (byte_at(d, i) == '}') {
            ++i;
            break;
        }
        if (byte_at(d, i) == '>' && at(d, i + 1, '>')) {
            i += 2;
            break;
        }
        std::int64_t name_end = 0;
        const int key_len = rd_name(d, i, key.data(), key.size(), &name_end);
        if (key_len < 0) {
            std::int64_t skipped = i;
            rd_skip_value(d, skipped);
            i = skipped != i ? skipped : i + 1;
            break;
        }
        const std::int64_t value_pos = rd_skip_ws(d, name_end);
        if (!on_key(std::string_view(key.data(), static_cast<std::size_t>(key_len)), value_pos)) return;
        i = value_pos;
        rd_skip_value(d, i);
    }
    pos = i;
}

}  // namespace

void rd_dict(byte_view d, std::int64_t& pos, dict_key_fn cb, void* user)
{
    walk_dict(d, pos, [&](std::string_view key, std::int64_t value_pos) {
        cb(key, value_pos, user);
        return true;
    });
}

bool dict_find(byte_view d, std::int64_t pos, std::string_view key, std::int64_t& value_pos_out) noexcept
{
    if (dict_start(d, pos) == 0) return false;
    // The first key that matches is the answer: the walk ends there, before the
    // values after it (a font's long Widths array) are skipped.
    std::int64_t found = -1;
    walk_dict(d, pos, [&](std::string_view k, std::int64_t value_pos) {
        if (!ieq(k, key)) return true;
        found = value_pos;
        return false;
    });
    if (found < 0) return false;
    value_pos_out = found;
    return true;
}

}  // namespace tavrik
