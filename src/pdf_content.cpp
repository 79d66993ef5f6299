// The content-stream text scanner: one forward pass over a decoded content stream
// that turns the text-showing operators into lines of UTF-8 text with the font size
// they were shown in. Operands are found by looking backwards from an operator.
#include "pdf_parse.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace tavrik {

namespace {

constexpr std::size_t WORK_BYTES = 1024;            // line, array text, decoded text
constexpr std::size_t TEXT_MAX = WORK_BYTES - 2;    // 1022 bytes of text in a line or array
constexpr std::size_t NUMBER_TEXT_MAX = 39;         // bytes of a number converted
constexpr std::size_t FONT_NAME_MAX = FONT_NAME_BYTES - 1;

[[nodiscard]] constexpr bool is_num_byte(std::uint8_t c) noexcept
{
    return is_digit(c) || c == '+' || c == '-' || c == '.';
}

// nums_before separates numbers by these four only (no VT, FF or NUL).
[[nodiscard]] constexpr bool is_num_gap(std::uint8_t c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// What may follow a two-letter operator for it to count as one.
[[nodiscard]] constexpr bool ends_operator(std::uint8_t c) noexcept
{
    return is_c_space(c) || c == 0 || c == '/' || c == '[' || c == ']' || c == '<' || c == '>' ||
           c == '(' || c == ')';
}

[[nodiscard]] double number_value(byte_view d, std::int64_t from, std::int64_t to) noexcept
{
    const std::int64_t len = std::min<std::int64_t>(to - from, NUMBER_TEXT_MAX);
    return c_strtod(std::string_view(reinterpret_cast<const char*>(d.data()) + from,
                                     static_cast<std::size_t>(len)));
}

// Which "(" positions start a literal string that runs off the end of the data.
// Data with many unbalanced "(" would otherwise be read to its end from every one
// of them. One forward pass records which bytes a backslash escapes; a read from
// any "(" then follows the same depth changes as that pass (from the byte after
// it at the latest), so it ends exactly where the depth first falls below its
// starting depth, which a backward pass with a running minimum answers.
class literal_failures {
public:
    [[nodiscard]] bool built() const noexcept { return built_; }
    [[nodiscard]] bool known_to_fail(std::int64_t pos) const noexcept
    {
        return built_ && fails_[static_cast<std::size_t>(pos)];
    }

    void build(byte_view d)
    {
        const std::size_t n = d.size();
        std::vector<bool> escaped(n);
        std::int64_t depth = 0;
        bool escape = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (escape) {
                escaped[i] = true;
                escape = false;
                continue;
            }
            if (d[i] == '\\')
                escape = true;
            else if (d[i] == '(')
                ++depth;
            else if (d[i] == ')')
                --depth;
        }
        fails_.assign(n, false);
        std::int64_t after = depth;                                  // depth after byte k
        std::int64_t least_later = std::numeric_limits<std::int64_t>::max();
        for (std::size_t k = n; k-- > 0;) {
            const std::uint8_t c = d[k];
            const int change = escaped[k] ? 0 : c == '(' ? 1 : c == ')' ? -1 : 0;
            const std::int64_t before = after - change;
            if (c == '(') {
                // Read from k, the string closes when the depth returns to its
                // level before k (one lower when the pass took k as escaped).
                const std::int64_t close_at = escaped[k] ? before - 1 : before;
                fails_[k] = least_later > close_at;
            }
            least_later = std::min(least_later, after);
            after = before;
        }
        built_ = true;
    }

private:
    bool built_ = false;
    std::vector<bool> fails_;
};

class scanner {
public:
    scanner(byte_view d, ppdf_info& info, scan_state& state) noexcept
        : d_(d), n_(static_cast<std::int64_t>(d.size())), info_(info), st_(state)
    {
    }

    void run()
    {
        std::int64_t p = 0;
        // Once the summary holds its lines, nothing further can be stored.
        while (p < n_ && info_.line_count < st_.line_limit) {
            const std::uint8_t c = d_[idx(p)];
            if (c == '(' || (c == '<' && !next_is(p, '<'))) {
                p = after_string(p);
            } else if (c == '<') {
                ++p;   // "<<": the second "<" may still open a hex string
            } else if (c == '[') {
                p = after_array(p);
            } else if (c == 'T') {
                if (p + 1 >= n_)
                    break;
                p = after_t_operator(p);
            } else if (c == 'E') {
                if (p + 1 >= n_)
                    break;
                if (d_[idx(p + 1)] == 'T' && (p + 2 >= n_ || is_c_space(d_[idx(p + 2)]))) {
                    flush();
                    p += 2;
                } else {
                    ++p;
                }
            } else {
                ++p;
            }
        }
        flush();
    }

private:
    static std::size_t idx(std::int64_t pos) noexcept { return static_cast<std::size_t>(pos); }

    [[nodiscard]] bool next_is(std::int64_t p, std::uint8_t c) const noexcept
    {
        return p + 1 < n_ && d_[idx(p + 1)] == c;
    }

    // Reads the string at pos into raw_; its byte count, or -1 with pos unchanged.
    int read_string(std::int64_t& pos)
    {
        if (d_[idx(pos)] == '(') {
            if (literal_.known_to_fail(pos))
                return -1;
            const int count = rd_raw_literal(d_, pos, raw_);
            if (count < 0 && !literal_.built())
                literal_.build(d_);
            return count;
        }
        // A hex string can only close at a ">" after it.
        if (last_gt_ == -2) {
            last_gt_ = -1;
            for (std::int64_t k = n_; k-- > 0;)
                if (d_[idx(k)] == '>') {
                    last_gt_ = k;
                    break;
                }
        }
        if (last_gt_ <= pos)
            return -1;
        return rd_raw_hex(d_, pos, raw_);
    }

    std::size_t decode(int count) noexcept
    {
        return pf_decode(st_.font, raw_, static_cast<std::size_t>(count), decoded_, WORK_BYTES);
    }

    void note_size() noexcept
    {
        if (st_.has_font_size)
            line_max_ = std::max(line_max_, st_.font_size);
    }

    // Text that would overflow the line is dropped whole: a later, shorter one may fit.
    void append_to_line(const char* text, std::size_t len) noexcept
    {
        if (line_len_ + len + 1 <= WORK_BYTES - 1) {
            std::memcpy(line_ + line_len_, text, len);
            line_len_ += len;
        }
    }

    void show(int count) noexcept
    {
        const std::size_t len = decode(count);
        if (len > 0)
            append_to_line(decoded_, len);
        note_size();
    }

    void word_space() noexcept
    {
        if (line_len_ > 0 && line_[line_len_ - 1] != ' ' && line_len_ != TEXT_MAX)
            line_[line_len_++] = ' ';
    }

    void flush() noexcept
    {
        if (line_len_ == 0 || info_.line_count >= st_.line_limit)
            return;
        line_[line_len_] = '\0';
        emit_line(info_, line_, line_max_ > 0 ? line_max_ : st_.font_size);
        line_len_ = 0;
        line_max_ = 0;
    }

    std::int64_t after_string(std::int64_t p)
    {
        std::int64_t q = p;
        const int count = read_string(q);
        if (count < 0)
            return p + 1;
        std::int64_t r = q;
        while (r < n_ && is_c_space(d_[idx(r)]))
            ++r;
        if (r + 1 < n_ && d_[idx(r)] == 'T' && (d_[idx(r + 1)] == 'J' || d_[idx(r + 1)] == 'j')) {
            show(count);
            return r + 2;
        }
        if (r < n_ && (d_[idx(r)] == '\'' || d_[idx(r)] == '"')) {
            flush();
            show(count);
            return r + 1;
        }
        return q;   // a string that no operator shows
    }

    // One step of the walk through an array: where it goes from position i, and
    // the string it read there (count >= 0) if any.
    struct array_step {
        std::int64_t next;
        int count;
        bool closed;   // i holds the closing "]"
    };

    array_step step_array(std::int64_t i)
    {
        const std::uint8_t c = d_[idx(i)];
        if (c == ']')
            return {i, -1, true};
        if (c == '(' || (c == '<' && !next_is(i, '<'))) {
            std::int64_t q = i;
            const int count = read_string(q);
            return count < 0 ? array_step{i + 1, -1, false} : array_step{q, count, false};
        }
        if (is_num_byte(c)) {
            std::int64_t j = i;
            while (j < n_ && is_num_byte(d_[idx(j)]))
                ++j;
            return {j, -2, false};
        }
        return {i + 1, -1, false};
    }

    // "[" at p: the text of a TJ array. Returns where the main loop goes on.
    std::int64_t after_array(std::int64_t p)
    {
        char text[WORK_BYTES];
        std::size_t len = 0;
        std::int64_t i = p + 1;
        while (i < n_ && !(dead_.size() > 0 && dead_[idx(i)])) {
            const array_step s = step_array(i);
            if (s.closed) {
                std::int64_t j = i + 1;
                while (j < n_ && is_c_space(d_[idx(j)]))
                    ++j;
                if (j + 1 < n_ && d_[idx(j)] == 'T' && d_[idx(j + 1)] == 'J') {
                    append_to_line(text, len);
                    note_size();
                    return j + 2;
                }
                return i + 1;   // not a TJ array: its text is discarded
            }
            if (s.count >= 0) {
                const std::size_t dlen = decode(s.count);
                if (len + dlen + 1 <= WORK_BYTES - 1) {
                    std::memcpy(text + len, decoded_, dlen);
                    len += dlen;
                }
            } else if (s.count == -2) {
                // A displacement of 100 thousandths of text space or more to the
                // right is a word gap.
                const double v = number_value(d_, i, s.next);
                if (v <= -100 && len > 0 && text[len - 1] != ' ' && len != TEXT_MAX)
                    text[len++] = ' ';
            }
            i = s.next;
        }
        // No "]" ends it. Every position this walk stood on leads to the same end,
        // so a later "[" whose walk reaches one of them fails at once; the main
        // loop goes on with the array's strings one by one.
        if (dead_.empty())
            dead_.assign(idx(n_), false);
        for (std::int64_t k = p + 1; k < n_ && !dead_[idx(k)];) {
            dead_[idx(k)] = true;
            const array_step s = step_array(k);
            if (s.closed)
                break;   // cannot happen: the walk above met no "]" on this path
            k = s.next;
        }
        return p + 1;
    }

    // The run of non-space bytes ending at e, back to a "/": the slash's position,
    // or -1 when white space or the start of the data comes first. Font operators
    // come in increasing order of e, so the bytes before the last answer are not
    // walked again.
    std::int64_t slash_before(std::int64_t e) noexcept
    {
        std::int64_t lo = slash_memo_end_;
        if (e < lo)
            lo = 0;
        std::int64_t found = -1;
        bool decided = false;
        for (std::int64_t j = e - 1; j >= lo; --j) {
            const std::uint8_t c = d_[idx(j)];
            if (c == '/') {
                found = j;
                decided = true;
                break;
            }
            if (is_c_space(c)) {
                decided = true;
                break;
            }
        }
        if (!decided && lo == slash_memo_end_)
            found = slash_memo_;
        slash_memo_end_ = e;
        slash_memo_ = found;
        return found;
    }

    void op_tf(std::int64_t p)
    {
        double size = 0;
        if (nums_before(d_, p, &size, 1) == 1) {
            st_.font_size = size;
            st_.has_font_size = 1;
        }
        if (st_.fonts == nullptr && st_.find_font == nullptr)
            return;
        std::int64_t e = p;
        while (e > 0 && is_c_space(d_[idx(e - 1)]))
            --e;
        while (e > 0 && is_num_byte(d_[idx(e - 1)]))
            --e;
        while (e > 0 && is_c_space(d_[idx(e - 1)]))
            --e;
        if (e == 0)
            return;
        const std::int64_t slash = slash_before(e);
        if (slash < 0 || e - slash - 1 <= 0)
            return;
        const std::int64_t len = std::min<std::int64_t>(e - slash - 1, FONT_NAME_MAX);
        const std::string_view name(reinterpret_cast<const char*>(d_.data()) + slash + 1,
                                    static_cast<std::size_t>(len));
        st_.font = st_.find_font != nullptr ? st_.find_font(st_.find_user, name) : fm_find(*st_.fonts, name);
    }

    std::int64_t after_t_operator(std::int64_t p)
    {
        if (p + 2 < n_ && !ends_operator(d_[idx(p + 2)]))
            return p + 1;
        switch (d_[idx(p + 1)]) {
        case 'f':
            op_tf(p);
            return p + 2;
        case 'D':
        case 'd': {
            double v[2];
            if (nums_before(d_, p, v, 2) == 2 && v[1] == 0)
                word_space();
            else
                flush();
            return p + 2;
        }
        case 'm': {
            double v[6];
            if (nums_before(d_, p, v, 6) == 6) {
                if (st_.has_tm && v[5] == st_.last_tm_y) {
                    word_space();
                } else {
                    flush();
                    st_.has_tm = 1;
                    st_.last_tm_y = v[5];
                }
            } else {
                flush();
            }
            return p + 2;
        }
        case '*':
            flush();
            return p + 2;
        default:
            return p + 1;
        }
    }

    byte_view d_;
    std::int64_t n_;
    ppdf_info& info_;
    scan_state& st_;

    char line_[WORK_BYTES];
    std::size_t line_len_ = 0;
    double line_max_ = 0;     // largest size shown since the last line went out
    std::uint8_t raw_[RAW_STRING_BYTES];
    char decoded_[WORK_BYTES];

    literal_failures literal_;
    std::int64_t last_gt_ = -2;       // -2: not looked for yet; -1: none
    std::vector<bool> dead_;          // positions from which an array walk finds no "]"
    std::int64_t slash_memo_end_ = 0; // slash_before's last question and answer
    std::int64_t slash_memo_ = -1;
};

}  // namespace

void content_scan(byte_view data, ppdf_info& info, scan_state& state)
{
    scanner s(data, info, state);
    s.run();
}

int nums_before(byte_view data, std::int64_t pos, double* values, int wanted) noexcept
{
    if (values == nullptr || wanted <= 0)
        return 0;
    std::int64_t e = std::min<std::int64_t>(pos, static_cast<std::int64_t>(data.size()));
    int count = 0;
    while (e > 0) {
        while (e > 0 && is_num_gap(data[static_cast<std::size_t>(e - 1)]))
            --e;
        if (e == 0)
            break;
        std::int64_t s = e;
        while (s > 0 && is_num_byte(data[static_cast<std::size_t>(s - 1)]))
            --s;
        if (s == e)
            break;
        values[count++] = number_value(data, s, e);
        if (count == wanted)
            break;
        e = s;
    }
    std::reverse(values, values + count);
    return count;
}

void emit_line(ppdf_info& info, const char* text, double font_size)
{
    if (text == nullptr)
        return;
    unsigned char buf[LINE_TEXT_BYTES];
    std::size_t n = 0;
    while (n < LINE_TEXT_BYTES - 1 && text[n] != '\0') {
        buf[n] = static_cast<unsigned char>(text[n]);
        ++n;
    }

    // Unicode spaces become one ASCII space; zero-width space and BOM go.
    std::size_t w = 0;
    for (std::size_t r = 0; r < n;) {
        if (buf[r] == 0xC2 && r + 1 < n && buf[r + 1] == 0xA0) {   // U+00A0
            buf[w++] = ' ';
            r += 2;
            continue;
        }
        if (buf[r] == 0xE2 && r + 2 < n && buf[r + 1] == 0x80) {
            const unsigned char c = buf[r + 2];
            if ((c >= 0x80 && c <= 0x8A) || c == 0xAF) {   // U+2000..U+200A, U+202F
                buf[w++] = ' ';
                r += 3;
                continue;
            }
            if (c == 0x8B) {   // U+200B
                r += 3;
                continue;
            }
        }
        if (buf[r] == 0xEF && r + 2 < n && buf[r + 1] == 0xBB && buf[r + 2] == 0xBF) {   // U+FEFF
            r += 3;
            continue;
        }
        buf[w++] = buf[r++];
    }
    n = w;

    std::size_t s = 0;
    while (s < n && is_c_space(buf[s]))
        ++s;
    if (s == n)
        return;
    const std::size_t total = n - s;
    std::size_t controls = 0;
    for (std::size_t k = s; k < n; ++k)
        if (buf[k] < 0x20 && buf[k] != '\t')
            ++controls;
    if (controls * 100 / total > 20)
        return;   // mostly control bytes: binary data shown as text
    if (info.line_count < 0 || info.line_count >= MAX_LINES)
        return;

    ppdf_line& line = info.lines[info.line_count];
    std::size_t m = std::min(total, LINE_TEXT_BYTES - 1);
    std::memcpy(line.text, buf + s, m);
    while (m > 0 && is_c_space(static_cast<std::uint8_t>(line.text[m - 1])))
        --m;
    line.text[m] = '\0';
    if (m > 0) {
        line.font_size = font_size;
        ++info.line_count;
    }
}

}  // namespace tavrik
