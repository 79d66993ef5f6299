// Raw DEFLATE decoder: hand-made streams with one fault each, and (with zlib
// linked as an oracle) agreement with zlib's output on many kinds of streams.
#include "flate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if TAVRIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace tavrik {
namespace {

using bytes = std::vector<std::uint8_t>;

// ---- A tiny bit writer for hand-made streams -----------------------------------

class bit_writer {
public:
    // Header fields and extra bits: least significant bit first.
    bit_writer& put(std::uint32_t value, unsigned n)
    {
        for (unsigned i = 0; i < n; ++i) {
            put_bit((value >> i) & 1u);
        }
        return *this;
    }
    // Huffman code words: most significant bit first.
    bit_writer& code(std::uint32_t code_word, unsigned len)
    {
        for (unsigned i = len; i-- > 0;) {
            put_bit((code_word >> i) & 1u);
        }
        return *this;
    }
    bit_writer& align()
    {
        nbits_ = (nbits_ + 7) & ~std::size_t{7};
        return *this;
    }
    bit_writer& byte(std::uint8_t b) { return align().put(b, 8); }
    bit_writer& bytes_of(const std::string& s)
    {
        for (char c : s) {
            byte(static_cast<std::uint8_t>(c));
        }
        return *this;
    }

    // Fixed code: literal/length symbol and distance symbol.
    bit_writer& fixed_sym(unsigned sym)
    {
        if (sym < 144) return code(0x30 + sym, 8);
        if (sym < 256) return code(0x190 + sym - 144, 9);
        if (sym < 280) return code(sym - 256, 7);
        return code(0xC0 + sym - 280, 8);
    }
    bit_writer& fixed_dist(unsigned sym) { return code(sym, 5); }

    bytes take() const { return buf_; }
    std::size_t bit_count() const { return nbits_; }

private:
    void put_bit(unsigned b)
    {
        if (nbits_ / 8 >= buf_.size()) {
            buf_.push_back(0);
        }
        buf_[nbits_ / 8] |= static_cast<std::uint8_t>(b << (nbits_ % 8));
        ++nbits_;
    }
    bytes buf_;
    std::size_t nbits_ = 0;
};

// Canonical code words for a set of lengths.
std::vector<std::uint32_t> canonical_codes(const std::vector<unsigned>& lens)
{
    unsigned count[16] = {};
    for (unsigned l : lens) ++count[l];
    count[0] = 0;
    unsigned next[16] = {};
    unsigned c = 0;
    for (unsigned l = 1; l < 16; ++l) {
        c = (c + count[l - 1]) << 1;
        next[l] = c;
    }
    std::vector<std::uint32_t> codes(lens.size());
    for (std::size_t s = 0; s < lens.size(); ++s) {
        if (lens[s] != 0) codes[s] = next[lens[s]]++;
    }
    return codes;
}

constexpr unsigned CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A complete code-length code that gives every one of the 19 symbols a code.
std::vector<unsigned> full_cl_lens()
{
    std::vector<unsigned> l(19, 4);
    for (unsigned s = 13; s < 19; ++s) l[s] = 5;  // 13 x 1/16 + 6 x 1/32 = 1
    return l;
}

// One code-length symbol with the value of its extra bits.
struct cl_token {
    unsigned sym;
    unsigned extra = 0;
};

std::vector<cl_token> plain_tokens(const std::vector<unsigned>& lens)
{
    std::vector<cl_token> t;
    for (unsigned l : lens) t.push_back({l});
    return t;
}

// Dynamic block header: BFINAL, BTYPE 2, HLIT, HDIST, HCLEN, the code-length code
// lengths in their stream order, then the tokens.
void dynamic_header(bit_writer& w, bool final_block, unsigned hlit, unsigned hdist, const std::vector<unsigned>& cl_lens,
                    const std::vector<cl_token>& tokens, unsigned hclen = 15)
{
    w.put(final_block ? 1 : 0, 1).put(2, 2);
    w.put(hlit, 5).put(hdist, 5).put(hclen, 4);
    for (unsigned i = 0; i < hclen + 4; ++i) w.put(cl_lens[CL_ORDER[i]], 3);
    const auto codes = canonical_codes(cl_lens);
    for (const cl_token& t : tokens) {
        w.code(codes[t.sym], cl_lens[t.sym]);
        if (t.sym == 16) w.put(t.extra, 2);
        if (t.sym == 17) w.put(t.extra, 3);
        if (t.sym == 18) w.put(t.extra, 7);
    }
}

// A small dynamic code: 'A' (1 bit), end of block (2 bits), length symbol 257
// (3 bits, not in every variant), and the given distance lengths.
struct small_code {
    std::vector<unsigned> lit = std::vector<unsigned>(258, 0);
    std::vector<unsigned> dist = {0};
};

void small_code_header(bit_writer& w, const small_code& c)
{
    std::vector<unsigned> all = c.lit;
    all.insert(all.end(), c.dist.begin(), c.dist.end());
    dynamic_header(w, true, static_cast<unsigned>(c.lit.size() - 257), static_cast<unsigned>(c.dist.size() - 1),
                   full_cl_lens(), plain_tokens(all));
}

// ---- Fault table ------------------------------------------------------------------

struct fault_case {
    std::string name;
    bytes in;
    std::uint64_t cap;
    std::int64_t expect;  // count, or -1
    inflate_stop why;
    std::optional<std::string> out{};  // expected output when it succeeds
};

std::ostream& operator<<(std::ostream& os, const fault_case& c)
{
    return os << c.name;
}

std::vector<fault_case> fault_cases()
{
    using enum inflate_stop;
    std::vector<fault_case> v;
    auto add = [&](std::string name, const bit_writer& w, std::uint64_t cap, std::int64_t expect, inflate_stop why,
                   std::optional<std::string> out = std::nullopt) {
        v.push_back({std::move(name), w.take(), cap, expect, why, std::move(out)});
    };
    auto stored = [](bool final_block, unsigned len, unsigned nlen) {
        bit_writer w;
        w.put(final_block ? 1 : 0, 1).put(0, 2);  // BFINAL, BTYPE 00
        w.align().put(len, 16).put(nlen, 16);     // LEN, NLEN from the byte boundary
        return w;
    };
    auto fixed = [](bool final_block = true) {
        bit_writer w;
        w.put(final_block ? 1 : 0, 1).put(1, 2);  // BFINAL, BTYPE 01
        return w;
    };

    add("EmptyInput", bit_writer{}, 64, -1, bad_data);
    add("EmptyFinalStored", stored(true, 0, 0xFFFF), 64, 0, none, "");
    add("EmptyFinalStoredNoRoom", stored(true, 0, 0xFFFF), 0, 0, none, "");
    add("StoredFillsCapacity", stored(true, 5, 0xFFFA).bytes_of("hello"), 5, 5, none, "hello");
    add("StoredOneOverCapacity", stored(true, 5, 0xFFFA).bytes_of("hello"), 4, -1, out_full);
    add("StoredNlenNotComplement", stored(true, 5, 0xFFFB).bytes_of("hello"), 64, -1, bad_data);
    add("StoredRunsPastInput", stored(true, 5, 0xFFFA).bytes_of("hell"), 64, -1, bad_data);
    add("StoredRunsPastInputAndCapacity", stored(true, 5, 0xFFFA).bytes_of("hell"), 2, -1, bad_data);
    {
        bit_writer w;
        w.put(1, 1).put(0, 2).align().put(0, 16).put(0xFF, 8);  // NLEN cut after one byte
        add("StoredHeaderCut", w, 64, -1, bad_data);
    }
    add("ReservedBlockType", bit_writer{}.put(1, 1).put(3, 2), 64, -1, bad_data);
    add("NoFinalBlock", stored(false, 2, 0xFFFD).bytes_of("hi"), 64, -1, bad_data);
    {
        // Two blocks: a stored one, then a fixed one whose match reaches into it.
        bit_writer w = stored(false, 2, 0xFFFD).bytes_of("hi");
        w.put(1, 1).put(1, 2).fixed_sym(258).fixed_dist(1).fixed_sym(256);  // length 4, distance 2
        add("MatchReachesEarlierBlock", w, 64, 6, none, "hihihi");
    }
    {
        bit_writer w = stored(false, 0, 0xFFFF);
        w.put(1, 1).put(0, 2).align().put(1, 16).put(0xFFFE, 16).bytes_of("z");
        w.byte(0xAB).byte(0xCD);  // an Adler-32 would follow here
        add("TrailingBytesIgnored", w, 64, 1, none, "z");
    }
    add("FixedLiteralThenEnd", fixed().fixed_sym('a').fixed_sym(256), 64, 1, none, "a");
    add("FixedSymbol286", fixed().fixed_sym('a').fixed_sym(286).fixed_dist(0).fixed_sym(256), 64, -1, bad_data);
    add("FixedSymbol287", fixed().fixed_sym('a').fixed_sym(287).fixed_dist(0).fixed_sym(256), 64, -1, bad_data);
    add("FixedDistance30", fixed().fixed_sym('a').fixed_sym(257).fixed_dist(30).fixed_sym(256), 64, -1, bad_data);
    add("FixedDistance31", fixed().fixed_sym('a').fixed_sym(257).fixed_dist(31).fixed_sym(256), 64, -1, bad_data);
    // Distance symbol 1 is distance 2; symbol 257 is length 3.
    add("DistanceBeforeOutput", fixed().fixed_sym('a').fixed_sym(257).fixed_dist(1).fixed_sym(256), 64, -1,
        bad_data);
    add("DistanceToOutputStart", fixed().fixed_sym('a').fixed_sym('b').fixed_sym(257).fixed_dist(1).fixed_sym(256),
        64, 5, none, "ababa");
    add("DistanceOneLength258", fixed().fixed_sym('x').fixed_sym(285).fixed_dist(0).fixed_sym(256), 259, 259, none,
        std::string(259, 'x'));
    {
        // Length symbol 284 with extra bits 31: length 258, the same as symbol 285.
        // Distance symbol 29 with 13 extra bits 0x1FFF: 32768, the longest reach.
        bit_writer w = stored(false, 0x8000, 0x7FFF);
        for (int i = 0; i < 0x8000; ++i) w.put(i == 0 ? 'q' : '.', 8);
        w.put(1, 1).put(1, 2).fixed_sym(284).put(31, 5).fixed_dist(29).put(0x1FFF, 13).fixed_sym(256);
        std::string want(0x8000, '.');
        want[0] = 'q';
        want += "q" + std::string(257, '.');
        add("LongestLengthAndDistance", w, 0x8000 + 258, 0x8000 + 258, none, want);
    }
    {
        // The same faults after 40 literals, with room: met by the word-at-a-time
        // path rather than the careful one near the ends.
        const struct {
            const char* name;
            unsigned sym, dist_sym;
        } faults[] = {{"LongFixedSymbol286", 286, 0}, {"LongFixedSymbol287", 287, 0},
                      {"LongFixedDistance30", 257, 30}, {"LongFixedDistance31", 257, 31},
                      {"LongDistanceBeforeOutput", 257, 16}};  // symbol 16: distance 257..384
        for (const auto& f : faults) {
            bit_writer w = fixed();
            for (int i = 0; i < 40; ++i) w.fixed_sym('a' + i % 26);
            w.fixed_sym(f.sym).fixed_dist(f.dist_sym).put(0, 7);
            for (int i = 0; i < 40; ++i) w.fixed_sym('a' + i % 26);
            w.fixed_sym(256);
            add(f.name, w, 4096, -1, bad_data);
        }
        // Distance symbol 10 with extra bits 7: distance 40, back to the first byte.
        bit_writer ok = fixed();
        std::string lits;
        for (int i = 0; i < 40; ++i) lits += static_cast<char>('a' + i % 26);
        for (char c : lits) ok.fixed_sym(static_cast<unsigned char>(c));
        ok.fixed_sym(257).fixed_dist(10).put(7, 4);
        for (char c : lits) ok.fixed_sym(static_cast<unsigned char>(c));
        ok.fixed_sym(256);
        add("LongDistanceToOutputStart", ok, 4096, 83, none, lits + "abc" + lits);
    }
    add("LiteralPastCapacity", fixed().fixed_sym('a').fixed_sym('b').fixed_sym(256), 1, -1, out_full);
    add("MatchPastCapacity", fixed().fixed_sym('x').fixed_sym(285).fixed_dist(0).fixed_sym(256), 258, -1, out_full);
    add("MatchPastCapacityAndOutputStart", fixed().fixed_sym('x').fixed_sym(285).fixed_dist(1).fixed_sym(256), 8,
        -1, bad_data);
    {
        // Six 9-bit literals make header + literals + end of block exactly 64 bits.
        bit_writer w = fixed();
        for (int i = 0; i < 6; ++i) w.fixed_sym(200);
        w.fixed_sym(256);
        add("EndsAtLastByte", w, 64, 6, none, std::string(6, '\xC8'));
        bytes cut = w.take();
        cut.pop_back();
        v.push_back({"LastByteMissing", cut, 64, -1, bad_data});
        // The same with enough input in front to take the word-refill path first.
        bit_writer l = fixed();
        for (int i = 0; i < 6; ++i) l.fixed_sym(200);
        for (int i = 0; i < 40; ++i) l.fixed_sym('k');
        l.fixed_sym(256);
        add("LongEndsAtLastByte", l, 64, 46, none, std::string(6, '\xC8') + std::string(40, 'k'));
        cut = l.take();
        cut.pop_back();
        v.push_back({"LongLastByteMissing", cut, 64, -1, bad_data});
    }
    {
        // Header (3 bits) and the first 5 bits of a 9-bit literal.
        bytes in = fixed().fixed_sym(200).fixed_sym(256).take();
        in.resize(1);
        v.push_back({"InputEndsInsideCode", in, 64, -1, bad_data});
    }
    {
        // An early end of input, and the padding would decode as literals that fill
        // the output: still bad data, never out_full.
        bytes in = fixed().fixed_sym('a').fixed_sym('b').take();
        v.push_back({"InputEndsBeforeCapacity", in, 2, -1, bad_data});
    }

    // Dynamic blocks.
    small_code base;
    base.lit['A'] = 1;
    base.lit[256] = 2;
    {
        bit_writer w;
        small_code_header(w, base);
        w.code(0, 1).code(0, 1).code(2, 2);  // A A end
        add("IncompleteCodeAccepted", w, 64, 2, none, "AA");
    }
    {
        bit_writer w;
        small_code_header(w, base);
        w.code(0, 1).code(3, 2).code(2, 2);  // A, then 11: no code starts so
        add("IncompleteCodeUnusedWord", w, 64, -1, bad_data);
    }
    {
        small_code c = base;
        c.lit[257] = 3;  // code 110
        bit_writer w;
        small_code_header(w, c);
        w.code(0, 1).code(6, 3).code(2, 2);  // A, length 3: no distance code exists
        add("LengthWithoutDistanceCode", w, 64, -1, bad_data);
    }
    {
        small_code c = base;
        c.lit['A'] = 1;
        c.lit['B'] = 1;
        c.lit[256] = 1;  // three codes of one bit
        bit_writer w;
        small_code_header(w, c);
        add("OversubscribedLiteralCode", w, 64, -1, bad_data);
    }
    {
        small_code c = base;
        c.dist = {1, 1, 1};
        bit_writer w;
        small_code_header(w, c);
        w.code(0, 1).code(2, 2);
        add("OversubscribedDistanceCode", w, 64, -1, bad_data);
    }
    {
        std::vector<unsigned> cl(19, 0);
        cl[0] = cl[1] = cl[2] = 1;  // three code-length codes of one bit
        bit_writer w;
        dynamic_header(w, true, 0, 0, cl, {});
        add("OversubscribedCodeLengthCode", w, 64, -1, bad_data);
    }
    {
        // HLIT 30 and 31 announce 287 and 288 literal/length codes, HDIST 30 and 31
        // announce 31 and 32 distance codes; each stream is whole and would decode
        // to "A" otherwise. HDIST 29 (30 codes) is the limit.
        const struct {
            const char* name;
            std::size_t nlit, ndist;
            std::int64_t expect;
        } counts[] = {{"Hlit30", 287, 1, -1}, {"Hlit31", 288, 1, -1}, {"Hdist30", 257, 31, -1},
                      {"Hdist31", 257, 32, -1}, {"Hdist29Accepted", 257, 30, 1}};
        for (const auto& n : counts) {
            small_code c = base;
            c.lit.resize(n.nlit, 0);
            c.dist.assign(n.ndist, 0);
            bit_writer w;
            small_code_header(w, c);
            w.code(0, 1).code(2, 2);  // A, end of block
            add(n.name, w, 64, n.expect, n.expect < 0 ? bad_data : none);
        }
    }
    {
        bit_writer w;
        // A repeat with nothing before it; taken as zeros the rest would be whole.
        std::vector<cl_token> t = {{16, 0}, {18, 62 - 11}, {1}, {18, 127}, {18, 190 - 138 - 11}, {2}, {0}};
        dynamic_header(w, true, 0, 0, full_cl_lens(), t);
        w.code(0, 1).code(2, 2);
        add("RepeatPreviousFirst", w, 64, -1, bad_data);
    }
    {
        // 258 lengths: 'A' and end of block among 255 + 1 zeros, then 3 zeros too many.
        std::vector<cl_token> t = {{18, 65 - 11}, {1}, {18, 127}, {18, 190 - 138 - 11}, {2}, {17, 0}};
        bit_writer w;
        dynamic_header(w, true, 0, 0, full_cl_lens(), t);
        w.code(0, 1).code(2, 2);  // A, end of block: whole if the run were cut short
        add("ZeroRepeatPastCount", w, 64, -1, bad_data);
    }
    {
        std::vector<cl_token> t = {{18, 65 - 11}, {1}, {18, 127}, {18, 190 - 138 - 11}, {2}, {16, 0}};
        bit_writer w;
        dynamic_header(w, true, 0, 0, full_cl_lens(), t);
        w.code(0, 1).code(2, 2);
        add("PreviousRepeatPastCount", w, 64, -1, bad_data);
    }
    {
        // HLIT 10 and HDIST 0 announce 268 lengths; after the 257 above a zero run of
        // 11 covers the rest of the literal/length lengths and the distance length.
        std::vector<cl_token> t = {{18, 65 - 11}, {1}, {18, 127}, {18, 190 - 138 - 11}, {2}, {18, 0}};
        bit_writer w;
        dynamic_header(w, true, 10, 0, full_cl_lens(), t);
        w.code(0, 1).code(2, 2);  // A, end of block
        add("ZeroRepeatToExactEnd", w, 64, 1, none, "A");
    }
    {
        // Bits of the final block after the end-of-block code are never needed.
        bit_writer w = fixed().fixed_sym('a').fixed_sym(256);
        w.put(0x7F, 7);
        add("FinalBlockPaddingIgnored", w, 64, 1, none, "a");
    }
    return v;
}

class FlateFault : public ::testing::TestWithParam<fault_case> {};

TEST_P(FlateFault, GivesExpectedResult)
{
    const fault_case& c = GetParam();
    std::vector<std::uint8_t> out(c.cap + 1, 0xEE);  // one spare byte shows writes past the capacity
    inflate_stop why = inflate_stop::none;
    std::uint64_t written = 99;
    const std::int64_t got = sx_inflate_ex(c.in.data(), c.in.size(), out.data(), c.cap, &why, &written);
    EXPECT_EQ(got, c.expect);
    EXPECT_EQ(why, c.why);
    // The count a caller pays its budget with: the result on success, at most the
    // capacity otherwise.
    if (got >= 0) {
        EXPECT_EQ(written, static_cast<std::uint64_t>(got));
    } else {
        EXPECT_LE(written, c.cap);
    }
    EXPECT_EQ(sx_inflate(c.in.data(), c.in.size(), out.data(), c.cap), c.expect);
    if (c.out && got >= 0) {
        EXPECT_EQ(std::string(out.begin(), out.begin() + got), *c.out);
    }
    EXPECT_EQ(out[c.cap], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(Streams, FlateFault, ::testing::ValuesIn(fault_cases()),
                         [](const auto& param_info) { return param_info.param.name; });

TEST(FlateApi, NullBuffersAreEmpty)
{
    const std::uint8_t stored_empty[] = {0x01, 0x00, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(sx_inflate(stored_empty, sizeof stored_empty, nullptr, 0), 0);
    inflate_stop why = inflate_stop::none;
    EXPECT_EQ(sx_inflate_ex(nullptr, 0, nullptr, 0, &why), -1);
    EXPECT_EQ(why, inflate_stop::bad_data);
}

// ---- Agreement with zlib ------------------------------------------------------------

#if TAVRIK_HAVE_ZLIB

bytes english_like(std::size_t n, std::uint32_t seed)
{
    static const char* const words[] = {
        "the",    "of",     "and",   "to",      "in",       "a",        "is",      "that",     "for",
        "it",     "as",     "was",   "with",    "be",       "by",       "on",      "not",      "he",
        "this",   "are",    "or",    "his",     "from",     "at",       "which",   "but",      "have",
        "an",     "had",    "they",  "you",     "were",     "their",    "one",     "all",      "we",
        "report", "annual", "page",  "results", "document", "section",  "figure",  "table",    "revenue",
        "growth", "market", "study", "sample",  "analysis", "measured", "between", "however",  "during",
        "across", "while",  "under", "through", "second",   "quarter",  "birds",   "matrix",   "sparse",
        "kickoff"};
    std::mt19937 rng(seed);
    bytes out;
    out.reserve(n + 16);
    std::size_t since_break = 0;
    while (out.size() < n) {
        const char* w = words[rng() % (sizeof words / sizeof words[0])];
        out.insert(out.end(), w, w + std::strlen(w));
        since_break += std::strlen(w) + 1;
        const unsigned r = rng() % 16;
        if (r == 0) out.push_back(',');
        if (r == 1) out.push_back('.');
        out.push_back(since_break > 70 ? '\n' : ' ');
        if (since_break > 70) since_break = 0;
    }
    out.resize(n);
    return out;
}

bytes random_bytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(rng());
    return out;
}

bytes runs(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    bytes out;
    while (out.size() < n) {
        const std::size_t len = 1 + rng() % (rng() % 4 == 0 ? 2000 : 40);
        const auto b = static_cast<std::uint8_t>(rng() % 4);
        out.insert(out.end(), len, b);
        if (rng() % 3 == 0) {  // short periodic patterns exercise small distances
            const unsigned period = 2 + rng() % 7;
            for (std::size_t i = 0; i < 50 + rng() % 300; ++i) out.push_back(static_cast<std::uint8_t>('a' + i % period));
        }
    }
    out.resize(n);
    return out;
}

// Text, binary and runs in turn, like the streams of a PDF.
bytes mixed(std::size_t n, std::uint32_t seed)
{
    bytes out;
    std::uint32_t part = 0;
    while (out.size() < n) {
        const std::size_t len = 20000 + (seed * 7919 + part * 104729) % 60000;
        bytes piece = part % 3 == 0 ? english_like(len, seed + part) : part % 3 == 1 ? random_bytes(len / 4, seed + part)
                                                                                       : runs(len, seed + part);
        out.insert(out.end(), piece.begin(), piece.end());
        ++part;
    }
    out.resize(n);
    return out;
}

// Raw DEFLATE from zlib. Each piece is followed by the flush mode given for it,
// and the level/strategy may change between pieces.
struct piece_plan {
    std::size_t len;
    int flush;
    int level = -2;  // -2: unchanged
    int strategy = Z_DEFAULT_STRATEGY;
};

bytes zlib_raw(const bytes& data, int level, int strategy, const std::vector<piece_plan>& plan = {})
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    bytes out(deflateBound(&z, data.size()) + 64 + 16 * plan.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    std::size_t pos = 0;
    auto run = [&](std::size_t len, int flush) {
        z.next_in = const_cast<Bytef*>(data.data() + pos);  // zlib's API is not const-correct
        z.avail_in = static_cast<uInt>(len);
        for (;;) {
            if (z.avail_out < 64) {
                const std::size_t used = out.size() - z.avail_out;
                out.resize(out.size() * 2);
                z.next_out = out.data() + used;
                z.avail_out = static_cast<uInt>(out.size() - used);
            }
            const int r = deflate(&z, flush);
            EXPECT_TRUE(r == Z_OK || r == Z_STREAM_END || r == Z_BUF_ERROR) << r;
            if (r == Z_STREAM_END || (z.avail_in == 0 && z.avail_out >= 64 && flush != Z_FINISH)) break;
        }
        pos += len;
    };
    for (const piece_plan& p : plan) {
        if (p.level != -2) {
            EXPECT_EQ(deflateParams(&z, p.level, p.strategy), Z_OK);
        }
        run(std::min(p.len, data.size() - pos), p.flush);
    }
    run(data.size() - pos, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

bytes zlib_inflate_raw(const bytes& comp, std::size_t expect)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    bytes out(expect + 1);
    z.next_in = const_cast<Bytef*>(comp.data());
    z.avail_in = static_cast<uInt>(comp.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - z.avail_out);
    inflateEnd(&z);
    return out;
}

// Inflates with exactly the room needed, then with one byte less.
void expect_round_trip(const bytes& data, const bytes& comp)
{
    bytes out(data.size() + 1, 0);
    inflate_stop why = inflate_stop::out_full;
    ASSERT_EQ(sx_inflate_ex(comp.data(), comp.size(), out.data(), data.size(), &why),
              static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(why, inflate_stop::none);
    out.resize(data.size());
    ASSERT_TRUE(out == data);
    if (!data.empty()) {
        EXPECT_EQ(sx_inflate_ex(comp.data(), comp.size(), out.data(), data.size() - 1, &why), -1);
        EXPECT_EQ(why, inflate_stop::out_full);
    }
}

const int STRATEGIES[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

struct data_case {
    const char* name;
    bytes data;
};

std::ostream& operator<<(std::ostream& os, const data_case& c)
{
    return os << c.name;
}

class FlateDifferential : public ::testing::TestWithParam<data_case> {};

TEST_P(FlateDifferential, EveryLevelAndStrategy)
{
    const bytes& data = GetParam().data;
    for (int level = 0; level <= 9; ++level) {
        for (int strategy : STRATEGIES) {
            SCOPED_TRACE(testing::Message() << "level " << level << " strategy " << strategy);
            const bytes comp = zlib_raw(data, level, strategy);
            ASSERT_TRUE(zlib_inflate_raw(comp, data.size()) == data);  // the oracle agrees with itself
            expect_round_trip(data, comp);
        }
    }
}

TEST_P(FlateDifferential, ManyBlocksAndFlushes)
{
    const bytes& data = GetParam().data;
    std::mt19937 rng(77);
    const int flushes[] = {Z_NO_FLUSH, Z_SYNC_FLUSH, Z_FULL_FLUSH, Z_BLOCK, Z_PARTIAL_FLUSH};
    for (int round = 0; round < 4; ++round) {
        std::vector<piece_plan> plan;
        std::size_t planned = 0;
        while (planned < data.size() && plan.size() < 400) {
            piece_plan p{rng() % (round == 0 ? 50 : 5000), flushes[rng() % 5]};
            if (rng() % 4 == 0) {  // switch level and strategy: stored, fixed and dynamic blocks mix
                p.level = static_cast<int>(rng() % 10);
                p.strategy = STRATEGIES[rng() % 5];
            }
            plan.push_back(p);
            planned += p.len;
            if (rng() % 8 == 0) plan.push_back({0, Z_SYNC_FLUSH});  // an empty stored block
        }
        SCOPED_TRACE(testing::Message() << "round " << round << " pieces " << plan.size());
        const bytes comp = zlib_raw(data, 6, Z_DEFAULT_STRATEGY, plan);
        ASSERT_TRUE(zlib_inflate_raw(comp, data.size()) == data);
        expect_round_trip(data, comp);
    }
}

TEST_P(FlateDifferential, TrailingBytesIgnored)
{
    const bytes& data = GetParam().data;
    bytes comp = zlib_raw(data, 6, Z_DEFAULT_STRATEGY);
    const bytes tail = random_bytes(40, 5);
    comp.insert(comp.end(), tail.begin(), tail.end());
    bytes out(data.size());
    ASSERT_EQ(sx_inflate(comp.data(), comp.size(), out.data(), out.size()), static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(out == data);
}

INSTANTIATE_TEST_SUITE_P(Data, FlateDifferential,
                         ::testing::Values(data_case{"Empty", {}}, data_case{"OneByte", {'x'}},
                                           data_case{"Text", english_like(30000, 1)},
                                           data_case{"Runs", runs(40000, 2)},
                                           data_case{"Binary", random_bytes(20000, 3)},
                                           data_case{"Over64KiB", mixed(70000, 4)},
                                           data_case{"OneMiB", mixed(1 << 20, 5)}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Every prefix of a stream runs out of input: bad data, never out_full, whatever
// the room.
TEST(FlateTruncation, EveryPrefixIsBadData)
{
    const bytes data = mixed(3000, 9);
    for (int level : {0, 1, 6}) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED}) {
            const bytes comp = zlib_raw(data, level, strategy);
            bytes out(data.size() + 100);
            for (std::size_t n = 0; n < comp.size(); ++n) {
                SCOPED_TRACE(testing::Message() << "level " << level << " strategy " << strategy << " prefix " << n);
                for (std::size_t cap : {data.size(), out.size()}) {
                    inflate_stop why = inflate_stop::none;
                    ASSERT_EQ(sx_inflate_ex(comp.data(), n, out.data(), cap, &why), -1);
                    ASSERT_EQ(why, inflate_stop::bad_data);
                }
            }
        }
    }
}

// Nothing is shared between calls: two threads inflating different data at once
// get what each gets alone.
TEST(FlateThreads, ConcurrentCallsAreIndependent)
{
    const bytes a = english_like(200000, 11);
    const bytes b = runs(200000, 12);
    const bytes ca = zlib_raw(a, 9, Z_DEFAULT_STRATEGY);
    const bytes cb = zlib_raw(b, 1, Z_FIXED);
    auto work = [](const bytes& data, const bytes& comp, bool* ok) {
        bytes out(data.size());
        *ok = true;
        for (int i = 0; i < 30 && *ok; ++i) {
            *ok = sx_inflate(comp.data(), comp.size(), out.data(), out.size()) ==
                      static_cast<std::int64_t>(data.size()) &&
                  out == data;
        }
    };
    bool ok_a = false;
    bool ok_b = false;
    std::thread ta(work, std::cref(a), std::cref(ca), &ok_a);
    std::thread tb(work, std::cref(b), std::cref(cb), &ok_b);
    ta.join();
    tb.join();
    EXPECT_TRUE(ok_a);
    EXPECT_TRUE(ok_b);
}

#endif  // TAVRIK_HAVE_ZLIB

}  // namespace
}  // namespace tavrik
