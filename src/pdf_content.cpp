// The content-stream text scanner: one forward pass over a decoded content stream
// that turns the text-showing operators into lines of UTF-8 text with the font size
// they were shown in. Operands are found by looking backwards from an operator.
#include "pdf_parse.h"

#include <algorithm>
#include <cmath>
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

// A move leaves a word space when the gap it opens after the end of the text before
// it is wider than this fraction of the font size. Kerning and the pieces that
// groff or Ghostscript place one after the other stay well below a tenth of an em;
// the narrowest interword spaces of justified text (a TeX space shrunk to its
// limit, a condensed sans serif) stay above a fifth. The middle keeps both.
constexpr double WORD_GAP_EM = 0.15;
// The box a glyph is taken to cover, in ems above its baseline: enough for
// descenders and accents, so that a glyph is judged off the page only when no
// part of it can be on it.
constexpr double GLYPH_BOTTOM_EM = -0.3;
constexpr double GLYPH_TOP_EM = 1.0;

[[nodiscard]] bool is_delimiter(std::uint8_t c) noexcept
{
    return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' || c == '}' ||
           c == '/' || c == '%';
}

enum class placement { inside, outside, partly };

class scanner {
public:
    scanner(byte_view d, ppdf_info& info, scan_state& state) noexcept
        : d_(d), n_(static_cast<std::int64_t>(d.size())), info_(info), st_(state),
          g_(state.geometry != nullptr ? *state.geometry : own_geometry_)
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
            } else if (c == 'q' || c == 'Q' || c == 'c' || c == 'D' || c == 'B' || c == 'I') {
                p = after_other_operator(p);
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

    // An operator of len bytes at p: it starts a token and nothing continues it.
    [[nodiscard]] bool operator_at(std::int64_t p, std::int64_t len) const noexcept
    {
        if (p > 0) {
            const std::uint8_t b = d_[idx(p - 1)];
            if (!is_c_space(b) && (!is_delimiter(b) || b == '/'))
                return false;
        }
        return p + len >= n_ || ends_operator(d_[idx(p + len)]);
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

    void note_size() noexcept
    {
        if (st_.has_font_size)
            line_max_ = std::max(line_max_, st_.font_size);
    }

    // Text that would overflow the line is dropped whole: a later, shorter one may fit.
    void append_to_line(const char* text, std::size_t len) noexcept
    {
        // A word space put in for a gap gives way to the text's own.
        if (len > 0 && text[0] == ' ' && gap_space_at_ + 1 == line_len_ && line_len_ > 0)
            --line_len_;
        if (line_len_ + len + 1 <= WORK_BYTES - 1) {
            std::memcpy(line_ + line_len_, text, len);
            line_len_ += len;
        }
    }

    void word_space() noexcept
    {
        if (line_len_ > 0 && line_[line_len_ - 1] != ' ' && line_len_ != TEXT_MAX) {
            gap_space_at_ = line_len_;
            line_[line_len_++] = ' ';
        }
    }

    void flush() noexcept
    {
        moved_ = false;
        legacy_space_ = false;
        if (line_len_ == 0 || info_.line_count >= st_.line_limit)
            return;
        line_[line_len_] = '\0';
        emit_line(info_, line_, line_max_ > 0 ? line_max_ : st_.font_size);
        line_len_ = 0;
        gap_space_at_ = SIZE_MAX;
        line_max_ = 0;
    }

    // ---- where text stands ----------------------------------------------------
    // A horizontal move: whether it leaves a word space is decided where the next
    // glyph stands. legacy: the move is a word break by the rule for text whose
    // widths are not known.
    void moved(bool legacy) noexcept
    {
        moved_ = true;
        legacy_space_ = legacy_space_ || legacy;
    }

    // The pending move, decided for a glyph whose origin is (x, y) under m.
    void settle_move(const pdf_matrix* m, double x, double y) noexcept
    {
        if (!moved_)
            return;
        moved_ = false;
        const bool legacy = legacy_space_;
        legacy_space_ = false;
        if (m == nullptr || !pen_known_ || !st_.has_font_size) {
            if (legacy)
                word_space();
            return;
        }
        const double len = std::hypot(m->a, m->b);
        const double gap = ((x - pen_x_) * m->a + (y - pen_y_) * m->b) / len;
        const double em = std::fabs(st_.font_size) * len;
        if (!std::isfinite(gap) || !std::isfinite(em) || len == 0) {
            if (legacy)
                word_space();
            return;
        }
        if (gap > WORD_GAP_EM * em)
            word_space();
    }

    void set_line_matrix(const pdf_matrix& m) noexcept
    {
        tlm_ = m;
        tm_ = m;
        tm_known_ = true;
    }

    // Td: a move by (tx, ty) from the start of the line.
    void move_line(double tx, double ty) noexcept
    {
        pdf_matrix m = tlm_;
        m.e = tx * tlm_.a + ty * tlm_.c + tlm_.e;
        m.f = tx * tlm_.b + ty * tlm_.d + tlm_.f;
        set_line_matrix(m);
    }

    void advance(double tx) noexcept
    {
        tm_.e += tx * tm_.a;
        tm_.f += tx * tm_.b;
    }

    // Where one code's glyph ends (its own width) and where the next one starts
    // (with Tc and, for a one-byte space, Tw), in text space; negative when not known.
    struct glyph_step {
        double width;
        double advance;
    };
    [[nodiscard]] glyph_step code_step(const pf_code& c) const noexcept
    {
        const double w = pf_advance(st_.font, c.code);
        if (!(w >= 0))
            return {-1, -1};
        const double width = w / 1000 * st_.font_size;
        double tx = width + st_.char_spacing;
        if (c.len == 1 && c.code == 32)
            tx += st_.word_spacing;
        return {width * st_.h_scale, tx * st_.h_scale};
    }

    [[nodiscard]] placement place(const pdf_matrix& m, double x0, double x1) const noexcept
    {
        if (!g_.has_box)
            return placement::inside;
        const double y0 = st_.rise + GLYPH_BOTTOM_EM * st_.font_size;
        const double y1 = st_.rise + GLYPH_TOP_EM * st_.font_size;
        const pdf_bounds b = mat_bounds(m, x0, y0, x1, y1);
        if (b.x1 < g_.box[0] || b.x0 > g_.box[2] || b.y1 < g_.box[1] || b.y0 > g_.box[3])
            return placement::outside;
        if (b.x0 >= g_.box[0] && b.x1 <= g_.box[2] && b.y0 >= g_.box[1] && b.y1 <= g_.box[3])
            return placement::inside;
        return placement::partly;   // NaN lands here too, and its glyphs are kept
    }

    // Decodes the codes of raw_ in [from, to) onto the line.
    void append_codes(std::size_t from, std::size_t to) noexcept
    {
        const std::size_t len = pf_decode(st_.font, raw_ + from, to - from, decoded_, WORK_BYTES);
        if (len > 0)
            append_to_line(decoded_, len);
    }

    // One shown string: its glyphs that stand on the page go onto the line.
    void show(int count) noexcept
    {
        const auto n = static_cast<std::size_t>(count);
        double total = 0;
        double last_width = 0;   // how far the last glyph reaches from where it starts
        double last_start = 0;
        bool known = tm_known_ && st_.has_font_size && st_.font != nullptr;
        for (std::size_t pos = 0; known && pos < n;) {
            const pf_code c = pf_next_code(st_.font, raw_, n, pos);
            const glyph_step g = code_step(c);
            known = g.advance >= 0;
            last_start = total;
            last_width = g.width;
            total += g.advance;
            pos += c.len;
        }
        if (!known) {
            // Where the string ends, and so where anything after it on this line
            // starts, is not known: every glyph is kept, and moves decide as before.
            settle_move(nullptr, 0, 0);
            append_codes(0, n);
            note_size();
            pen_known_ = false;
            tm_known_ = false;
            return;
        }
        const pdf_matrix m = mat_mul(tm_, g_.ctm);
        const placement where = n == 0 ? placement::inside : place(m, 0, total);
        // Letter spacing as wide as a word gap (Ghostscript writes some word spaces
        // so) separates the glyphs of one string.
        const bool spaced = st_.char_spacing * st_.h_scale > WORD_GAP_EM * std::fabs(st_.font_size);
        if (where == placement::inside && !spaced) {
            settle_move(&m, m.e, m.f);
            append_codes(0, n);
            note_size();
            if (n > 0) {
                pen_x_ = m.a * (last_start + last_width) + m.e;
                pen_y_ = m.b * (last_start + last_width) + m.f;
                pen_known_ = true;
            }
            advance(total);
            return;
        }
        if (where == placement::outside) {
            advance(total);
            return;
        }
        double x = 0;
        bool shown = false;
        for (std::size_t pos = 0; pos < n;) {
            const pf_code c = pf_next_code(st_.font, raw_, n, pos);
            const glyph_step g = code_step(c);
            if (place(m, x, x + std::max(g.width, 0.0)) != placement::outside) {
                if (shown && spaced)
                    moved(false);
                settle_move(&m, m.a * x + m.e, m.b * x + m.f);
                append_codes(pos, pos + c.len);
                pen_x_ = m.a * (x + g.width) + m.e;
                pen_y_ = m.b * (x + g.width) + m.f;
                pen_known_ = true;
                shown = true;
            }
            x += g.advance;
            pos += c.len;
        }
        if (shown)
            note_size();
        advance(total);
    }

    // ---- strings and arrays ---------------------------------------------------
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
            if (d_[idx(r)] == '"') {
                double v[2];
                if (nums_before(d_, p, v, 2) == 2) {
                    st_.word_spacing = v[0];
                    st_.char_spacing = v[1];
                }
            }
            flush();
            move_line(0, -st_.leading);
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

    // What showing an array changes, to be undone when no TJ shows it.
    struct shown_so_far {
        std::size_t line_len;
        double line_max;
        pdf_matrix tm;
        bool tm_known;
        double pen_x, pen_y;
        bool pen_known;
        bool moved, legacy_space;
    };

    // "[" at p: the text of a TJ array. Returns where the main loop goes on.
    std::int64_t after_array(std::int64_t p)
    {
        const shown_so_far before{line_len_, line_max_, tm_, tm_known_, pen_x_, pen_y_, pen_known_, moved_,
                                  legacy_space_};
        const auto undo = [&] {
            line_len_ = before.line_len;
            line_max_ = before.line_max;
            tm_ = before.tm;
            tm_known_ = before.tm_known;
            pen_x_ = before.pen_x;
            pen_y_ = before.pen_y;
            pen_known_ = before.pen_known;
            moved_ = before.moved;
            legacy_space_ = before.legacy_space;
        };
        std::int64_t i = p + 1;
        while (i < n_ && !(dead_.size() > 0 && dead_[idx(i)])) {
            const array_step s = step_array(i);
            if (s.closed) {
                std::int64_t j = i + 1;
                while (j < n_ && is_c_space(d_[idx(j)]))
                    ++j;
                if (j + 1 < n_ && d_[idx(j)] == 'T' && d_[idx(j + 1)] == 'J')
                    return j + 2;
                undo();
                return i + 1;   // not a TJ array: its text is discarded
            }
            if (s.count >= 0) {
                show(s.count);
            } else if (s.count == -2) {
                // A displacement in thousandths of text space; to the right when
                // negative. Without widths, 100 or more to the right is a word gap.
                const double v = number_value(d_, i, s.next);
                if (st_.has_font_size)
                    advance(-v / 1000 * st_.font_size * st_.h_scale);
                moved(v <= -100);
            }
            i = s.next;
        }
        undo();
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
    // or -1 when white space or the start of the data comes first. Name operands
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

    // The name operand that ends at e (white space before the operator skipped).
    std::string_view name_ending(std::int64_t e) noexcept
    {
        while (e > 0 && is_c_space(d_[idx(e - 1)]))
            --e;
        if (e == 0)
            return {};
        const std::int64_t slash = slash_before(e);
        if (slash < 0 || e - slash - 1 <= 0)
            return {};
        const std::int64_t len = std::min<std::int64_t>(e - slash - 1, FONT_NAME_MAX);
        return {reinterpret_cast<const char*>(d_.data()) + slash + 1, static_cast<std::size_t>(len)};
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
        const std::string_view name = name_ending(e);
        if (name.empty())
            return;
        st_.font = st_.find_font != nullptr ? st_.find_font(st_.find_user, name) : fm_find(*st_.fonts, name);
    }

    [[nodiscard]] double one_number(std::int64_t p, double otherwise) const noexcept
    {
        double v = 0;
        return nums_before(d_, p, &v, 1) == 1 ? v : otherwise;
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
            if (nums_before(d_, p, v, 2) == 2) {
                if (d_[idx(p + 1)] == 'D')
                    st_.leading = -v[1];
                move_line(v[0], v[1]);
                if (v[1] == 0)
                    moved(true);
                else
                    flush();
            } else {
                flush();
            }
            return p + 2;
        }
        case 'm': {
            double v[6];
            if (nums_before(d_, p, v, 6) == 6) {
                set_line_matrix({v[0], v[1], v[2], v[3], v[4], v[5]});
                if (st_.has_tm && v[5] == st_.last_tm_y) {
                    moved(true);
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
            move_line(0, -st_.leading);
            return p + 2;
        case 'c':
            st_.char_spacing = one_number(p, st_.char_spacing);
            return p + 2;
        case 'w':
            st_.word_spacing = one_number(p, st_.word_spacing);
            return p + 2;
        case 'z':
            st_.h_scale = one_number(p, st_.h_scale * 100) / 100;
            return p + 2;
        case 'L':
            st_.leading = one_number(p, st_.leading);
            return p + 2;
        case 's':
            st_.rise = one_number(p, st_.rise);
            return p + 2;
        default:
            return p + 1;
        }
    }

    // q, Q, cm, Do, BT and the data of inline images.
    std::int64_t after_other_operator(std::int64_t p)
    {
        const std::uint8_t c = d_[idx(p)];
        if (c == 'q' && operator_at(p, 1)) {
            if (g_.stack.size() < MAX_SAVED_STATES)
                g_.stack.push_back({g_.ctm, text_of(st_), g_.stream});
            else
                ++g_.unsaved;
            return p + 1;
        }
        if (c == 'Q' && operator_at(p, 1)) {
            if (g_.unsaved > 0) {
                --g_.unsaved;
            } else if (!g_.stack.empty()) {
                const draw_geometry::saved& s = g_.stack.back();
                g_.ctm = s.ctm;
                if (s.stream == g_.stream)
                    set_text(st_, s.text);
                g_.stack.pop_back();
                g_.low_water = std::min(g_.low_water, g_.stack.size());
            }
            return p + 1;
        }
        if (c == 'c' && next_is(p, 'm') && operator_at(p, 2)) {
            double v[6];
            if (nums_before(d_, p, v, 6) == 6)
                g_.ctm = mat_mul({v[0], v[1], v[2], v[3], v[4], v[5]}, g_.ctm);
            return p + 2;
        }
        if (c == 'D' && next_is(p, 'o') && operator_at(p, 2)) {
            if (st_.draw_form != nullptr) {
                const std::string_view name = name_ending(p);
                if (!name.empty()) {
                    flush();
                    st_.draw_form(st_.draw_user, name, st_);
                }
            }
            return p + 2;
        }
        if (c == 'B' && next_is(p, 'T') && operator_at(p, 2)) {
            set_line_matrix({});
            return p + 2;
        }
        if (c == 'B' && next_is(p, 'I') && operator_at(p, 2)) {
            in_inline_image_ = true;
            return p + 2;
        }
        if (c == 'I' && next_is(p, 'D') && in_inline_image_ && operator_at(p, 2)) {
            in_inline_image_ = false;
            return after_image_data(p + 2);
        }
        return p + 1;
    }

    // Past the "EI" that ends the image data after "ID" (one white-space byte follows
    // "ID"); where the data start when no "EI" does, as the bytes may be text after all.
    std::int64_t after_image_data(std::int64_t from) noexcept
    {
        if (from >= no_ei_from_)
            return from;
        for (std::int64_t k = from + 1; k + 1 < n_; ++k) {
            if (d_[idx(k)] == 'E' && d_[idx(k + 1)] == 'I' && is_c_space(d_[idx(k - 1)]) &&
                (k + 2 >= n_ || is_c_space(d_[idx(k + 2)])))
                return k + 2;
        }
        no_ei_from_ = from;
        return from;
    }

    byte_view d_;
    std::int64_t n_;
    ppdf_info& info_;
    scan_state& st_;
    draw_geometry own_geometry_;
    draw_geometry& g_;

    char line_[WORK_BYTES];
    std::size_t line_len_ = 0;
    double line_max_ = 0;     // largest size shown since the last line went out
    std::uint8_t raw_[RAW_STRING_BYTES];
    char decoded_[WORK_BYTES];

    pdf_matrix tm_;            // text matrix
    pdf_matrix tlm_;           // text line matrix
    bool tm_known_ = true;     // false after a string of unknown advance
    double pen_x_ = 0;         // where the last glyph on the line ended (device space)
    double pen_y_ = 0;
    bool pen_known_ = false;
    bool moved_ = false;
    bool legacy_space_ = false;
    bool in_inline_image_ = false;
    std::size_t gap_space_at_ = SIZE_MAX;   // where word_space last put a space
    std::int64_t no_ei_from_ = std::numeric_limits<std::int64_t>::max();

    literal_failures literal_;
    std::int64_t last_gt_ = -2;       // -2: not looked for yet; -1: none
    std::vector<bool> dead_;          // positions from which an array walk finds no "]"
    std::int64_t slash_memo_end_ = 0; // slash_before's last question and answer
    std::int64_t slash_memo_ = -1;
};

}  // namespace

pdf_matrix mat_mul(const pdf_matrix& m, const pdf_matrix& n) noexcept
{
    return {m.a * n.a + m.b * n.c,       m.a * n.b + m.b * n.d,       m.c * n.a + m.d * n.c,
            m.c * n.b + m.d * n.d,       m.e * n.a + m.f * n.c + n.e, m.e * n.b + m.f * n.d + n.f};
}

pdf_bounds mat_bounds(const pdf_matrix& m, double x0, double y0, double x1, double y1) noexcept
{
    pdf_bounds b{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (const double x : {x0, x1})
        for (const double y : {y0, y1}) {
            const double px = m.a * x + m.c * y + m.e;
            const double py = m.b * x + m.d * y + m.f;
            b.x0 = std::min(b.x0, px);
            b.x1 = std::max(b.x1, px);
            b.y0 = std::min(b.y0, py);
            b.y1 = std::max(b.y1, py);
        }
    return b;
}

text_params text_of(const scan_state& state) noexcept
{
    return {state.font,         state.font_size, state.has_font_size, state.char_spacing,
            state.word_spacing, state.h_scale,   state.leading,       state.rise};
}

void set_text(scan_state& state, const text_params& text) noexcept
{
    state.font = text.font;
    state.font_size = text.font_size;
    state.has_font_size = text.has_font_size;
    state.char_spacing = text.char_spacing;
    state.word_spacing = text.word_spacing;
    state.h_scale = text.h_scale;
    state.leading = text.leading;
    state.rise = text.rise;
}

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
