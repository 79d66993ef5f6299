// Stream decoding: finds the data between "stream" and "endstream", undoes the
// filter chain (FlateDecode, ASCIIHexDecode, ASCII85Decode) and PNG predictors.
// Tolerant on purpose: a wrong Length falls back to a search for "endstream", and
// a filter this reader does not know ends the chain without failing the call.
#include "pdf_parse.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "flate.h"
#include "platform.h"

namespace tavrik {

namespace {

inline constexpr std::size_t STREAM_KEY_BYTES = 64;        // keys and filter names: 63 bytes
inline constexpr std::size_t MAX_FILTER_CHAIN = 8;         // filters applied one after another
inline constexpr std::uint64_t FLATE_MIN_CAP = 8192;
inline constexpr std::uint64_t FLATE_FIRST_CAP_MAX = 134217728;   // 128 MiB before any growth
static_assert(FLATE_FIRST_CAP_MAX <= MAX_DECODED_BYTES);
inline constexpr std::uint64_t FLATE_RETRY_GROWTH = 16;

enum class filter_kind { flate, ascii_hex, ascii85, other };

struct predictor_parms {
    std::int32_t predictor = 1;
    std::int32_t colors = 1;
    std::int32_t bits = 8;
    std::int32_t columns = 1;
};

struct stream_info {
    std::int64_t length = -1;
    // The chain as written; "other" covers unknown names and values that are no name.
    std::array<filter_kind, MAX_FILTER_CHAIN> filters{};
    std::size_t filter_count = 0;
    bool has_filter = false;
    // DecodeParms: one dictionary for the whole chain, or one entry per filter.
    predictor_parms single;
    bool parms_array = false;
    std::array<predictor_parms, MAX_FILTER_CHAIN> per_filter{};
};

[[nodiscard]] std::int64_t size_of(byte_view d) noexcept { return static_cast<std::int64_t>(d.size()); }
[[nodiscard]] std::uint8_t byte_at(byte_view d, std::int64_t i) noexcept { return d[static_cast<std::size_t>(i)]; }

[[nodiscard]] bool has_text(byte_view d, std::int64_t pos, std::string_view word) noexcept
{
    if (pos < 0 || pos > size_of(d) || static_cast<std::uint64_t>(size_of(d) - pos) < word.size()) return false;
    return std::memcmp(d.data() + pos, word.data(), word.size()) == 0;
}

[[nodiscard]] std::int32_t trunc_to_i32(double v) noexcept
{
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

[[nodiscard]] filter_kind kind_of(std::string_view name) noexcept
{
    if (ieq(name, "FlateDecode")) return filter_kind::flate;
    if (ieq(name, "ASCIIHexDecode")) return filter_kind::ascii_hex;
    if (ieq(name, "ASCII85Decode")) return filter_kind::ascii85;
    return filter_kind::other;
}

// Sets the predictor parameters named anywhere in [from, to): each "/" that begins a
// name followed, after white space, by a number.
void read_parms(byte_view d, std::int64_t from, std::int64_t to, predictor_parms& p) noexcept
{
    std::array<char, STREAM_KEY_BYTES> name{};
    for (std::int64_t i = from; i + 2 < to; ++i) {
        if (byte_at(d, i) != '/') continue;
        std::int64_t end = 0;
        const int len = rd_name(d, i, name.data(), name.size(), &end);
        if (len < 0) continue;
        std::int64_t j = rd_skip_ws(d, end);
        double v = 0;
        if (!rd_number(d, j, v)) continue;
        const std::string_view key(name.data(), static_cast<std::size_t>(len));
        if (ieq(key, "Predictor")) {
            p.predictor = trunc_to_i32(v);
        } else if (ieq(key, "Colors")) {
            p.colors = trunc_to_i32(v);
        } else if (ieq(key, "BitsPerComponent")) {
            p.bits = trunc_to_i32(v);
        } else if (ieq(key, "Columns")) {
            p.columns = trunc_to_i32(v);
        }
    }
}

// DecodeParms at pos (after white space); returns where the dictionary scan goes on.
std::int64_t read_decode_parms(byte_view d, std::int64_t pos, std::int64_t dict_stop, stream_info& si) noexcept
{
    if (pos >= dict_stop || (byte_at(d, pos) != '<' && byte_at(d, pos) != '[')) return pos;
    std::int64_t value_end = pos;
    rd_skip_value(d, value_end);
    value_end = std::min(value_end, dict_stop);
    if (byte_at(d, pos) == '<') {
        si.single = predictor_parms{};
        si.parms_array = false;
        read_parms(d, pos, value_end, si.single);
        return value_end;
    }
    // An array: element i belongs to filter i; null or any other value means none.
    // The merged reading (later dictionaries override earlier ones) serves a stream
    // without Filter.
    si.single = predictor_parms{};
    read_parms(d, pos, value_end, si.single);
    si.parms_array = true;
    si.per_filter.fill(predictor_parms{});
    std::int64_t i = pos + 1;
    for (std::size_t k = 0; k < MAX_FILTER_CHAIN; ++k) {
        i = rd_skip_ws(d, i);
        if (i >= value_end || byte_at(d, i) == ']') break;
        const std::int64_t start = i;
        rd_skip_value(d, i);
        if (dict_start(d, start) != 0) read_parms(d, start, std::min(i, value_end), si.per_filter[k]);
    }
    return value_end;
}

// Filter at pos (after white space). Returns where the dictionary scan goes on: past
// a dictionary value, so that nested ones are searched once, else at pos.
std::int64_t read_filter(byte_view d, std::int64_t pos, stream_info& si) noexcept
{
    const std::int64_t n = size_of(d);
    if (pos >= n) return pos;
    std::array<char, STREAM_KEY_BYTES> name{};
    std::int64_t end = 0;
    const std::uint8_t c = byte_at(d, pos);
    if (c == '/') {
        const int len = rd_name(d, pos, name.data(), name.size(), &end);
        if (len < 0) return pos;
        si.filters[0] = kind_of(std::string_view(name.data(), static_cast<std::size_t>(len)));
        si.filter_count = 1;
        si.has_filter = true;
    } else if (c == '[') {
        // The whole chain; an array that does not start with a name counts as no
        // filter, as a filter given by reference does.
        std::array<filter_kind, MAX_FILTER_CHAIN> chain{};
        std::size_t count = 0;
        std::int64_t i = pos + 1;
        while (count < MAX_FILTER_CHAIN) {
            i = rd_skip_ws(d, i);
            if (i >= n || byte_at(d, i) == ']') break;
            const int len = rd_name(d, i, name.data(), name.size(), &end);
            if (len < 0) {
                if (count == 0) return pos;
                chain[count++] = filter_kind::other;   // ends the chain there
                break;
            }
            chain[count++] = kind_of(std::string_view(name.data(), static_cast<std::size_t>(len)));
            i = end;
        }
        if (count == 0) return pos;
        si.filters = chain;
        si.filter_count = count;
        si.has_filter = true;
    } else if (c == '<' && pos + 1 < n && byte_at(d, pos + 1) == '<') {
        // A dictionary where a name belongs: take the first known filter name in it.
        const std::int64_t stop = std::min(dict_end(d, pos), n);
        static constexpr std::array<std::string_view, 3> known = {"FlateDecode", "ASCIIHexDecode", "ASCII85Decode"};
        for (std::int64_t i = pos; i < stop; ++i) {
            if (byte_at(d, i) != '/') continue;
            for (std::size_t k = 0; k < known.size(); ++k) {
                const auto w = static_cast<std::int64_t>(known[k].size());
                if (i + 1 + w < stop && has_text(d, i + 1, known[k]) && !is_alnum(byte_at(d, i + 1 + w))) {
                    si.filters[0] = kind_of(known[k]);
                    si.filter_count = 1;
                    si.has_filter = true;
                    return stop;
                }
            }
        }
        return stop;
    }
    return pos;
}

void read_stream_dict(byte_view d, std::int64_t dict_pos, std::int64_t dict_stop, stream_info& si) noexcept
{
    std::array<char, STREAM_KEY_BYTES> name{};
    std::int64_t i = dict_pos;
    while (i < dict_stop) {
        if (byte_at(d, i) != '/' || i + 1 >= dict_stop) {
            ++i;
            continue;
        }
        std::int64_t end = 0;
        const int len = rd_name(d, i, name.data(), name.size(), &end);
        if (len < 0) {
            ++i;
            continue;
        }
        i = end;
        const std::string_view key(name.data(), static_cast<std::size_t>(len));
        if (ieq(key, "Length")) {
            std::int64_t j = rd_skip_ws(d, end);
            double v = 0;
            if (rd_number(d, j, v)) si.length = trunc_i64(v);
        } else if (ieq(key, "DecodeParms") || ieq(key, "DP")) {
            i = read_decode_parms(d, rd_skip_ws(d, end), dict_stop, si);
        } else if (ieq(key, "Filter")) {
            i = std::max(i, read_filter(d, rd_skip_ws(d, end), si));
        }
    }
}

// The first two bytes as a zlib header: deflate method, check bits right.
[[nodiscard]] bool zlib_header(std::span<const std::uint8_t> s) noexcept
{
    return s.size() >= 2 && (s[0] & 0x0F) == 8 && ((s[0] * 256u + s[1]) % 31u) == 0;
}

// Inflates into a buffer sized from the input. When the data were sound but did not
// fit (object streams of office suites inflate to 16 times their size and more), it
// tries again with sixteen times the room, then with all the room MAX_DECODED_BYTES
// and the document's budget leave. Buffers are not cleared first, so an attempt
// touches only the pages its data reach; doubling step by step would inflate and
// fault twice the final size, and reserving the whole ceiling at once costs an
// ordinary stream more than its decoding. Every attempt is paid from the budget,
// and none exceeds what is left.
// prefix: the caller needs no more than this many bytes of the output.
[[nodiscard]] std::optional<byte_buffer> flate_step(std::span<const std::uint8_t> in, std::uint64_t& budget,
                                                    std::uint64_t prefix = UINT64_MAX)
{
    if (in.empty() || budget == 0) return std::nullopt;
    if (zlib_header(in)) in = in.subspan(2);
    const std::uint64_t n = in.size();
    std::uint64_t cap = n > (FLATE_FIRST_CAP_MAX - 256) / 4 ? FLATE_FIRST_CAP_MAX : 4 * n + 256;
    cap = std::max(cap, FLATE_MIN_CAP);
    byte_buffer out;
    for (int attempt = 0;; ++attempt) {
        cap = std::min({cap, budget, prefix});
        out = byte_buffer();   // release the last attempt first
        try {
            out.resize(static_cast<std::size_t>(cap));
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
        platform::advise_huge_pages(out.data(), out.size());
        inflate_stop why = inflate_stop::none;
        std::uint64_t written = 0;
        const std::int64_t got = sx_inflate_ex(in.data(), n, out.data(), cap, &why, &written);
        // Every byte written counts, failed attempts included, or a bomb retried
        // would go unbounded.
        budget -= std::min(written, budget);
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            if (out.capacity() / 2 > out.size()) out.shrink_to_fit();
            return out;
        }
        if (why == inflate_stop::out_full && cap == prefix) {
            out.resize(static_cast<std::size_t>(written));
            return out;   // as much as the caller wants
        }
        if (why == inflate_stop::bad_data && written > 0) {
            // Data cut short or damaged part way: what came before the fault is
            // sound, and viewers show it (writers that never finish the last
            // block are common).
            out.resize(static_cast<std::size_t>(written));
            out.shrink_to_fit();
            return out;
        }
        if (why != inflate_stop::out_full || cap >= MAX_DECODED_BYTES || budget == 0 || attempt == 2)
            return std::nullopt;
        cap = attempt == 0 ? std::min(cap * FLATE_RETRY_GROWTH, MAX_DECODED_BYTES) : MAX_DECODED_BYTES;
    }
}

// ">" ends the data, C-locale white space is skipped, any other non-digit ends the
// decoding; an unpaired last digit is dropped.
[[nodiscard]] byte_buffer ascii_hex_step(std::span<const std::uint8_t> in)
{
    byte_buffer out;
    out.reserve(in.size() / 2 + 1);
    int high = -1;
    for (const std::uint8_t c : in) {
        if (c == '>') break;
        if (is_c_space(c)) continue;
        const int v = hex_value(c);
        if (v < 0) break;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

// Base-85 groups of five digits to four bytes; "z" is four zero bytes, "~" ends the
// data, bytes outside the digit range are ignored. A final group of k digits is
// padded with "u" and gives k - 1 bytes.
[[nodiscard]] byte_buffer ascii85_step(std::span<const std::uint8_t> in)
{
    byte_buffer out;
    out.reserve(in.size() / 5 * 4 + 8);
    std::uint32_t group = 0;
    int digits = 0;
    const auto put_group = [&](std::size_t count) {
        // Runs of "z" expand fourfold; the output stays under the decoding ceiling.
        if (out.size() + count > MAX_DECODED_BYTES) return;
        for (std::size_t k = 0; k < count; ++k) out.push_back(static_cast<std::uint8_t>(group >> (24 - 8 * k)));
    };
    for (const std::uint8_t c : in) {
        if (is_c_space(c)) continue;
        if (c == '~') break;
        if (c == 'z') {
            if (digits == 0) {
                group = 0;
                put_group(4);
            }
            continue;
        }
        if (c < '!' || c > 'u') continue;
        group = group * 85u + static_cast<std::uint32_t>(c - '!');
        if (++digits == 5) {
            put_group(4);
            group = 0;
            digits = 0;
        }
    }
    if (digits > 1) {
        for (int k = digits; k < 5; ++k) group = group * 85u + 84u;
        put_group(static_cast<std::size_t>(digits - 1));
    }
    return out;
}

// TIFF predictor 2: each component is stored as its difference from the same
// component of the pixel to its left, row by row. Cross-reference streams are
// written so by some tools. Components of 8 and 16 bits are undone; other depths
// stay as they are.
[[nodiscard]] byte_buffer undo_tiff_predictor(byte_buffer in, const predictor_parms& p)
{
    const std::int64_t colors = p.colors > 0 ? p.colors : 1;
    const std::int64_t columns = p.columns > 0 ? p.columns : 1;
    if ((p.bits != 8 && p.bits != 16) || colors > (std::int64_t{1} << 20) || columns > (std::int64_t{1} << 30))
        return in;
    const std::int64_t bytes_per_component = p.bits / 8;
    const std::int64_t pixel_bytes = colors * bytes_per_component;
    const std::int64_t row_bytes = pixel_bytes * columns;
    const auto total = static_cast<std::int64_t>(in.size());
    for (std::int64_t start = 0; start + row_bytes <= total; start += row_bytes) {
        std::uint8_t* row = in.data() + start;
        if (bytes_per_component == 1) {
            for (std::int64_t x = pixel_bytes; x < row_bytes; ++x)
                row[x] = static_cast<std::uint8_t>(row[x] + row[x - pixel_bytes]);
        } else {
            for (std::int64_t x = pixel_bytes; x + 1 < row_bytes; x += 2) {
                const unsigned sum = ((row[x] << 8 | row[x + 1]) + (row[x - pixel_bytes] << 8 | row[x - pixel_bytes + 1])) & 0xFFFF;
                row[x] = static_cast<std::uint8_t>(sum >> 8);
                row[x + 1] = static_cast<std::uint8_t>(sum);
            }
        }
    }
    return in;
}

// PNG predictors (10 and above); each row's type byte decides, unknown types copy.
// TIFF predictor 2 as above; other values below 10 leave the data as they are.
[[nodiscard]] byte_buffer apply_predictor(byte_buffer in, const predictor_parms& p)
{
    if (p.predictor == 2) return undo_tiff_predictor(std::move(in), p);
    if (p.predictor < 10) return in;
    const std::int64_t colors = p.colors > 0 ? p.colors : 1;
    const std::int64_t bits = p.bits > 0 ? p.bits : 8;
    const std::int64_t columns = p.columns > 0 ? p.columns : 1;
    const std::int64_t bits_per_pixel = colors * bits;   // both below 2^31
    const auto total = static_cast<std::int64_t>(in.size());
    // A row wider than the data leaves no whole row; checked before it could overflow.
    if (bits_per_pixel > (total * 8 + 8) / columns) return {};
    const std::int64_t row_bytes = (columns * bits_per_pixel + 7) / 8;
    const std::int64_t pixel_bytes = std::max<std::int64_t>(1, (bits_per_pixel + 7) / 8);
    const std::int64_t rows = total / (row_bytes + 1);
    byte_buffer out(static_cast<std::size_t>(rows * row_bytes));
    for (std::int64_t r = 0; r < rows; ++r) {
        const std::uint8_t* src = in.data() + r * (row_bytes + 1);
        const std::uint8_t type = src[0];
        ++src;
        std::uint8_t* row = out.data() + r * row_bytes;
        const std::uint8_t* above = r > 0 ? row - row_bytes : nullptr;
        for (std::int64_t x = 0; x < row_bytes; ++x) {
            const int a = x >= pixel_bytes ? row[x - pixel_bytes] : 0;
            const int b = above != nullptr ? above[x] : 0;
            const int c = (above != nullptr && x >= pixel_bytes) ? above[x - pixel_bytes] : 0;
            int add = 0;
            switch (type) {
            case 1: add = a; break;
            case 2: add = b; break;
            case 3: add = (a + b) / 2; break;
            case 4: {
                const int pp = a + b - c;
                const int pa = pp > a ? pp - a : a - pp;
                const int pb = pp > b ? pp - b : b - pp;
                const int pc = pp > c ? pp - c : c - pp;
                add = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
                break;
            }
            default: break;   // 0, and any type above 4, copy
            }
            row[x] = static_cast<std::uint8_t>(src[x] + add);
        }
    }
    return out;
}

}  // namespace

std::optional<byte_buffer> stream_decode(ppdf_ctx& ctx, std::int64_t dict_pos, std::uint64_t prefix)
{
    const byte_view d = ctx.bytes();
    const std::int64_t n = size_of(d);
    if (dict_pos < 0 || dict_pos >= n) return std::nullopt;

    // 1. The dictionary.
    const std::int64_t dict_stop = std::min(dict_end(d, dict_pos), n);
    stream_info si;
    read_stream_dict(d, dict_pos, dict_stop, si);

    // 2. The data.
    std::int64_t p = rd_skip_ws(d, dict_stop);
    if (!has_text(d, p, "stream")) return std::nullopt;
    std::int64_t start = p + 6;
    if (start < n && byte_at(d, start) == '\r') {
        ++start;
        if (start < n && byte_at(d, start) == '\n') ++start;
    } else if (start < n && byte_at(d, start) == '\n') {
        ++start;
    }
    std::int64_t length = -1;
    if (si.length >= 0 && si.length <= n - start && has_text(d, rd_skip_ws(d, start + si.length), "endstream")) {
        length = si.length;
    } else {
        static constexpr std::string_view end_kw = "endstream";
        const auto* first = d.data() + start;
        const auto* last = d.data() + n;
        const auto* hit = std::search(first, last, end_kw.begin(), end_kw.end());
        if (hit != last) {
            std::int64_t e = start + (hit - first);
            if (e > start && byte_at(d, e - 1) == '\n') {
                --e;
                if (e > start && byte_at(d, e - 1) == '\r') --e;
            } else if (e > start && byte_at(d, e - 1) == '\r') {
                --e;
            }
            length = e - start;
        } else if (si.length >= 0 && si.length <= n - start) {
            // A damaged "endstream" keyword: a Length that fits the file still says
            // where the data end, as viewers take it.
            length = si.length;
        } else {
            return std::nullopt;
        }
    }
    const std::span<const std::uint8_t> raw = d.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(length));

    // 3. The chain. Without Filter, data that begin with a zlib header are inflated.
    std::array<filter_kind, MAX_FILTER_CHAIN> chain = si.filters;
    std::size_t count = si.filter_count;
    if (!si.has_filter) {
        count = zlib_header(raw) ? 1 : 0;
        chain[0] = filter_kind::flate;
    }
    std::size_t steps = 0;   // the known filters before the first unknown one
    while (steps < count && chain[steps] != filter_kind::other) ++steps;

    // A single DecodeParms dictionary belongs to the last FlateDecode step, or to the
    // end of the chain when there is none; an array gives each filter its own.
    std::int64_t single_at = -1;
    for (std::size_t k = 0; k < steps; ++k)
        if (chain[k] == filter_kind::flate) single_at = static_cast<std::int64_t>(k);
    const bool per_filter = si.parms_array && si.has_filter;

    // The first step reads the file buffer in place; later ones the last output.
    byte_buffer data;
    for (std::size_t k = 0; k < steps; ++k) {
        const std::span<const std::uint8_t> in = k == 0 ? raw : std::span<const std::uint8_t>(data);
        switch (chain[k]) {
        case filter_kind::flate: {
            // Only a single Flate step may stop early: a later filter would get a cut input.
            const bool may_stop = steps == 1 && count == 1 && si.single.predictor == 1 && !si.parms_array;
            auto inflated = flate_step(in, ctx.inflate_budget, may_stop ? prefix : UINT64_MAX);
            if (!inflated) return std::nullopt;
            data = std::move(*inflated);
            break;
        }
        case filter_kind::ascii_hex: data = ascii_hex_step(in); break;
        case filter_kind::ascii85: data = ascii85_step(in); break;
        case filter_kind::other: break;
        }
        if (per_filter) {
            data = apply_predictor(std::move(data), si.per_filter[k]);
        } else if (static_cast<std::int64_t>(k) == single_at) {
            data = apply_predictor(std::move(data), si.single);
        }
    }
    if (steps == 0) data.assign(raw.begin(), raw.end());
    if (!per_filter && single_at < 0) data = apply_predictor(std::move(data), si.single);
    return data;
}

}  // namespace tavrik
