// Name stems: the raw text per strategy, the title found by font size, PDF dates,
// and the cleaning that makes a stem safe as a file name.
#include "naming.h"

#include <cstdio>
#include <cstring>

namespace tavrik {

namespace {

inline constexpr double NO_SIZE_YET = -1.0;        // only larger sizes can win
inline constexpr int MAJORITY_MIN_LINES = 3;       // more lines than this: majority rule
inline constexpr int MERGE_MAX_LINES = 8;
inline constexpr std::size_t MERGE_STOP_BYTES = 180;
inline constexpr std::size_t MERGE_MAX_BYTES = 510;
inline constexpr std::size_t SANITIZED_BUF_BYTES = 512;
inline constexpr int YEAR_MIN = 1900;
inline constexpr int YEAR_MAX = 2100;

char s_stem[STEM_BUF_BYTES];
char s_merged[STEM_BUF_BYTES];
char s_sanitized[SANITIZED_BUF_BYTES];
char s_empty[1];

// Line texts come from the reader; never trust their terminator.
std::size_t line_len(const ppdf_line& line) noexcept { return strnlen(line.text, LINE_TEXT_BYTES - 1); }

int valid_line_count(const ppdf_info& info) noexcept
{
    return info.line_count <= 0 ? 0 : info.line_count > MAX_LINES ? MAX_LINES : info.line_count;
}

const char* first_nonempty_line(const ppdf_info& info) noexcept
{
    const int n = valid_line_count(info);
    for (int i = 0; i < n; ++i)
        if (info.lines[i].text[0] != '\0')
            return info.lines[i].text;
    return nullptr;
}

// Bounded copy of at most STEM_BUF_BYTES - 1 bytes into the stem.
void stem_assign(const char* text) noexcept
{
    const std::size_t n = strnlen(text, STEM_BUF_BYTES - 1);
    std::memcpy(s_stem, text, n);
    s_stem[n] = '\0';
}

// A cut at a byte count may end inside a UTF-8 character: drop such a trailing,
// incomplete sequence so that the name stays valid text. Bytes that were never
// valid UTF-8 are left as they are.
std::size_t drop_incomplete_utf8(const char* s, std::size_t len) noexcept
{
    std::size_t i = len;
    int continuation = 0;
    while (i > 0 && continuation < 3 && (static_cast<std::uint8_t>(s[i - 1]) & 0xC0) == 0x80) {
        --i;
        ++continuation;
    }
    if (i == 0)
        return len;
    const auto lead = static_cast<std::uint8_t>(s[i - 1]);
    const int want = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (want < 0 || continuation >= want)
        return len;
    return i - 1;
}

// A decimal number as the C scanner's %d reads it: white space, a sign, digits.
// Overflow saturates, which can only make the date fail its range checks.
bool scan_int(const char*& p, int& value_out) noexcept
{
    const char* q = p;
    while (is_c_space(static_cast<std::uint8_t>(*q)))
        ++q;
    bool negative = false;
    if (*q == '+' || *q == '-')
        negative = *q++ == '-';
    if (!is_digit(static_cast<std::uint8_t>(*q)))
        return false;
    long long v = 0;
    while (is_digit(static_cast<std::uint8_t>(*q))) {
        if (v < 100000000000LL)
            v = v * 10 + (*q - '0');
        ++q;
    }
    value_out = static_cast<int>(negative ? (v > 2147483648LL ? -2147483647 - 1 : -v)
                                          : (v > 2147483647LL ? 2147483647 : v));
    p = q;
    return true;
}

}  // namespace

const char* pick_title_line(const ppdf_info& info) noexcept
{
    const int n = valid_line_count(info);
    if (n == 0)
        return s_empty;

    double best = NO_SIZE_YET;
    int chosen = -1;
    for (int i = 0; i < n; ++i) {
        if (info.lines[i].font_size > best) {   // NaN never wins
            best = info.lines[i].font_size;
            chosen = i;
        }
    }
    if (chosen < 0 || info.lines[chosen].text[0] == '\0') {
        const char* first = first_nonempty_line(info);
        return first ? first : s_empty;
    }

    int same_size = 0;
    for (int i = 0; i < n; ++i)
        if (info.lines[i].font_size == best)
            ++same_size;
    // When most lines share the largest size, size does not single out a heading.
    if (n > MAJORITY_MIN_LINES && same_size > n / 2)
        return info.lines[chosen].text;

    std::size_t merged_len = 0;
    s_merged[0] = '\0';
    for (int i = chosen; i < n && i < chosen + MERGE_MAX_LINES; ++i) {
        const ppdf_line& line = info.lines[i];
        if (line.font_size != best)
            break;
        const std::size_t len = line_len(line);
        if (len == 0)
            continue;
        const std::size_t new_len = merged_len == 0 ? len : merged_len + 1 + len;
        if (new_len > MERGE_MAX_BYTES)
            break;
        if (merged_len != 0)
            s_merged[merged_len++] = ' ';
        std::memcpy(s_merged + merged_len, line.text, len);
        merged_len += len;
        s_merged[merged_len] = '\0';
        if (merged_len > MERGE_STOP_BYTES)
            break;
    }
    return merged_len != 0 ? s_merged : info.lines[chosen].text;
}

int parse_pdf_date(const char* text, char* out) noexcept
{
    const char* p = text;
    while (*p != '\0' && !is_digit(static_cast<std::uint8_t>(*p)))
        ++p;
    const auto at = [p](std::size_t i) { return static_cast<std::uint8_t>(p[i]); };
    const std::size_t remaining = std::strlen(p);

    int year = 0;
    int month = 0;
    int day = 0;
    bool compact = remaining >= 7;
    for (std::size_t i = 0; compact && i < 6; ++i)
        compact = is_digit(at(i));
    if (compact) {
        year = (at(0) - '0') * 1000 + (at(1) - '0') * 100 + (at(2) - '0') * 10 + (at(3) - '0');
        month = (at(4) - '0') * 10 + (at(5) - '0');
        if (!is_digit(at(6)))
            day = 0;
        else if (!is_digit(at(7)))
            day = at(6) - '0';
        else
            day = (at(6) - '0') * 10 + (at(7) - '0');
    } else {
        if (std::strchr(p, '-') == nullptr)
            return 0;
        // "%d-%d-%d": the dashes must follow the numbers directly.
        const char* q = p;
        if (!scan_int(q, year) || *q++ != '-' || !scan_int(q, month) || *q++ != '-' || !scan_int(q, day))
            return 0;
    }
    if (year < YEAR_MIN || year > YEAR_MAX || month < 1 || month > 12 || day < 1 || day > 31)
        return 0;
    std::snprintf(out, 32, "%04d-%02d-%02d", year, month, day);
    return 1;
}

const char* sanitize_name(const char* stem) noexcept
{
    std::size_t len = 0;
    for (const char* p = stem; *p != '\0' && len < SANITIZED_BUF_BYTES - 1; ++p) {
        auto c = static_cast<std::uint8_t>(*p);
        switch (c) {
        case '"': case '%': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        case 0x7F:
            continue;
        case '\t': case '\n': case '\r':
            c = ' ';
            break;
        default:
            if (c < 0x20)
                continue;
            break;
        }
        if (c == ' ' && (len == 0 || s_sanitized[len - 1] == ' '))
            continue;
        s_sanitized[len++] = static_cast<char>(c);
    }
    while (len > 0 && s_sanitized[len - 1] == ' ')
        --len;
    s_sanitized[len] = '\0';
    return s_sanitized;
}

const char* suggest_stem(const ppdf_info& info, int strategy) noexcept
{
    s_stem[0] = '\0';
    // The reader terminates its texts; cap the reads at their fields all the same.
    const char* title = strnlen(info.title, TITLE_BYTES) < TITLE_BYTES ? info.title : s_empty;
    switch (strategy) {
    case 0: {
        const char* text = title[0] != '\0' ? title : pick_title_line(info);
        if (text[0] == '\0') {
            set_error("PDF has no title metadata and no extractable text");
            return s_stem;
        }
        stem_assign(text);
        break;
    }
    case 1: {
        const char* line = first_nonempty_line(info);
        if (line == nullptr) {
            set_error("no extractable text in PDF");
            return s_stem;
        }
        stem_assign(line);
        break;
    }
    case 2: {
        const char* text = title[0] != '\0' ? title : pick_title_line(info);
        char date[32];
        const bool has_date = (strnlen(info.creation_date, DATE_BYTES) < DATE_BYTES &&
                               parse_pdf_date(info.creation_date, date)) ||
                              (strnlen(info.mod_date, DATE_BYTES) < DATE_BYTES && parse_pdf_date(info.mod_date, date));
        if (has_date && text[0] != '\0')
            std::snprintf(s_stem, sizeof s_stem, "%s %.*s", date, DATE_TITLE_MAX_BYTES, text);
        else if (has_date)
            stem_assign(date);
        else if (text[0] != '\0')
            stem_assign(text);
        else {
            set_error("PDF has neither date nor title");
            return s_stem;
        }
        break;
    }
    default:
        return s_stem;
    }
    const std::size_t len = std::strlen(s_stem);
    if (len > STEM_MAX_BYTES)
        s_stem[drop_incomplete_utf8(s_stem, STEM_MAX_BYTES)] = '\0';
    return s_stem;
}

}  // namespace tavrik
