// Raw DEFLATE (RFC 1951) decoder: table-driven Huffman decoding, a 64-bit bit
// buffer refilled a word at a time, and all state in the call's own frame.
#include "flate.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>

namespace tavrik {
namespace {

// ---- Format constants -------------------------------------------------------

constexpr unsigned MAX_CODE_BITS = 15;     // longest Huffman code word
constexpr unsigned MAX_LIT_CODES = 286;    // literal/length symbols a dynamic block may declare
constexpr unsigned FIXED_LIT_CODES = 288;  // the fixed code also gives 286 and 287 a code
constexpr unsigned MAX_DIST_CODES = 30;    // distance symbols; 30 and 31 never decode
constexpr unsigned NUM_CL_CODES = 19;      // code-length code symbols
constexpr unsigned MAX_CL_BITS = 7;        // code-length code words are 3-bit lengths
constexpr unsigned MAX_LENS = MAX_LIT_CODES + MAX_DIST_CODES;
constexpr unsigned END_OF_BLOCK = 256;
constexpr unsigned FIRST_LENGTH_SYMBOL = 257;
constexpr unsigned NUM_LENGTH_SYMBOLS = 29;  // 257..285
constexpr unsigned MAX_MATCH_BYTES = 258;
constexpr unsigned STORED_HEADER_BYTES = 4;  // LEN and NLEN
constexpr unsigned MAX_LENGTH_EXTRA_BITS = 5;
constexpr unsigned MAX_DIST_EXTRA_BITS = 13;

static_assert(MAX_LENS == 316);
static_assert(FIRST_LENGTH_SYMBOL + NUM_LENGTH_SYMBOLS == MAX_LIT_CODES);

// Order in which a dynamic header lists the code-length code lengths.
constexpr std::array<std::uint8_t, NUM_CL_CODES> DECODE_ORDER = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                                  11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr std::array<std::uint16_t, NUM_LENGTH_SYMBOLS> BASE_LEN = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, NUM_LENGTH_SYMBOLS> LEN_EXTRA_BITS = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, MAX_DIST_CODES> BASE_DIST = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, MAX_DIST_CODES> DIST_EXTRA_BITS = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// ---- Decode tables ------------------------------------------------------------
//
// A table is indexed by the next ROOT bits of the stream (first bit lowest). Codes
// longer than ROOT bits go through a subtable indexed by the bits after the root.
// Every entry is 32 bits:
//   bits 0..5    bits to consume: the code word, plus for lengths and distances
//                their extra bits, so one shift takes both
//   bits 8..11   code word length (subtable pointer: the subtable's index bits)
//   bits 12..27  literal byte, base length, base distance, code-length symbol,
//                or the subtable's start index
//   bits 28..31  flags below

constexpr std::uint32_t F_EOB = 1u << 28;
constexpr std::uint32_t F_SUB = 1u << 29;     // pointer to a subtable
constexpr std::uint32_t F_EXCEPT = 1u << 30;  // end of block, subtable pointer or no code
constexpr std::uint32_t F_LITERAL = 1u << 31;
constexpr std::uint32_t ENTRY_NO_CODE = F_EXCEPT;  // bits that start no code word (incomplete
                                                   // code, or a symbol that must not appear)
constexpr unsigned VALUE_SHIFT = 12;
constexpr std::uint32_t VALUE_MASK = 0xFFFF;

constexpr unsigned LIT_ROOT_BITS = 11;
constexpr unsigned DIST_ROOT_BITS = 8;
constexpr unsigned CL_ROOT_BITS = MAX_CL_BITS;  // never needs a subtable

// Room for the root table plus the worst case of subtables. Incomplete codes are
// accepted, so each long code may own a subtable of its own; the bound covers that.
constexpr std::size_t table_capacity(unsigned symbols, unsigned root_bits)
{
    return (std::size_t{1} << root_bits) +
           (root_bits >= MAX_CODE_BITS ? 0 : std::size_t{symbols} << (MAX_CODE_BITS - root_bits));
}
constexpr std::size_t LIT_TABLE_ENTRIES = table_capacity(FIXED_LIT_CODES, LIT_ROOT_BITS);
constexpr std::size_t DIST_TABLE_ENTRIES = table_capacity(MAX_DIST_CODES, DIST_ROOT_BITS);
constexpr std::size_t CL_TABLE_ENTRIES = std::size_t{1} << CL_ROOT_BITS;

static_assert(LIT_TABLE_ENTRIES == 2048 + 288 * 16);
static_assert(DIST_TABLE_ENTRIES == 256 + 30 * 128);
static_assert(LIT_TABLE_ENTRIES - 1 <= VALUE_MASK && DIST_TABLE_ENTRIES - 1 <= VALUE_MASK,
              "subtable start must fit the value field");
static_assert(BASE_DIST[MAX_DIST_CODES - 1] <= VALUE_MASK && BASE_LEN[NUM_LENGTH_SYMBOLS - 1] <= VALUE_MASK);
static_assert(MAX_CODE_BITS + MAX_DIST_EXTRA_BITS < 64 && MAX_CODE_BITS - LIT_ROOT_BITS <= 15,
              "consume and subtable-bit fields");

enum class table_kind { litlen, dist, code_length };

constexpr std::uint32_t make_entry(table_kind kind, unsigned sym, unsigned code_len)
{
    const std::uint32_t len_fields = code_len << 8;
    switch (kind) {
    case table_kind::litlen:
        if (sym < END_OF_BLOCK) {
            return F_LITERAL | (sym << VALUE_SHIFT) | len_fields | code_len;
        }
        if (sym == END_OF_BLOCK) {
            return F_EXCEPT | F_EOB | len_fields | code_len;
        }
        if (sym < MAX_LIT_CODES) {
            const unsigned i = sym - FIRST_LENGTH_SYMBOL;
            return (std::uint32_t{BASE_LEN[i]} << VALUE_SHIFT) | len_fields | (code_len + LEN_EXTRA_BITS[i]);
        }
        return ENTRY_NO_CODE | len_fields | code_len;  // 286, 287 of the fixed code
    case table_kind::dist:
        if (sym < MAX_DIST_CODES) {
            return (std::uint32_t{BASE_DIST[sym]} << VALUE_SHIFT) | len_fields | (code_len + DIST_EXTRA_BITS[sym]);
        }
        return ENTRY_NO_CODE | len_fields | code_len;
    case table_kind::code_length:
        break;
    }
    return (sym << VALUE_SHIFT) | len_fields | code_len;
}

// Each byte with its bits in reverse order: a table is built for every dynamic
// block, and reversing its code words bit by bit was most of that work.
constexpr std::array<std::uint8_t, 256> make_reversed_bytes()
{
    std::array<std::uint8_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = 0;
        for (unsigned i = 0; i < 8; ++i) {
            r = (r << 1) | ((b >> i) & 1u);
        }
        t[b] = static_cast<std::uint8_t>(r);
    }
    return t;
}
constexpr std::array<std::uint8_t, 256> REVERSED_BYTES = make_reversed_bytes();
static_assert(MAX_CODE_BITS <= 16, "code words are reversed as 16-bit values");

constexpr unsigned reverse_bits(unsigned code, unsigned len)
{
    const unsigned r16 = (unsigned{REVERSED_BYTES[code & 0xFF]} << 8) | REVERSED_BYTES[(code >> 8) & 0xFF];
    return r16 >> (16 - len);
}

// Builds a decode table for the canonical code given by lens[0..n-1] (0 = no code).
// Returns false only for over-subscribed lengths. Incomplete sets are accepted: the
// bit patterns that start no code word get ENTRY_NO_CODE and fail when met.
constexpr bool build_table(const std::uint8_t* lens, unsigned n, std::uint32_t* table, std::size_t capacity,
                           unsigned root_bits, table_kind kind)
{
    std::array<unsigned, MAX_CODE_BITS + 1> count{};
    for (unsigned s = 0; s < n; ++s) {
        ++count[lens[s]];
    }
    count[0] = 0;
    int left = 1;
    for (unsigned len = 1; len <= MAX_CODE_BITS; ++len) {
        left = 2 * left - static_cast<int>(count[len]);
        if (left < 0) {
            return false;  // over-subscribed
        }
    }
    const bool complete = left == 0;

    std::array<unsigned, MAX_CODE_BITS + 2> offset{};
    for (unsigned len = 1; len <= MAX_CODE_BITS; ++len) {
        offset[len + 1] = offset[len] + count[len];
    }
    std::array<std::uint16_t, FIXED_LIT_CODES> sorted{};
    for (unsigned s = 0; s < n; ++s) {
        if (lens[s] != 0) {
            sorted[offset[lens[s]]++] = static_cast<std::uint16_t>(s);
        }
    }

    const std::size_t root_size = std::size_t{1} << root_bits;
    table[0] = ENTRY_NO_CODE;
    table[1] = ENTRY_NO_CODE;

    // Walk the code words in canonical order. Up to root_bits the table grows by
    // doubling: at length L it has 2^L entries and each code word is written once;
    // the copies replicate it for the longer indexes. Codes that share their first
    // root bits are adjacent in canonical order, so each subtable fills in one run.
    std::size_t next_sub = root_size;
    std::size_t sub_start = 0;
    unsigned sub_bits = 0;
    unsigned cur_prefix = ~0u;
    unsigned code = 0;  // the current code word, most significant bit first
    unsigned idx = 0;
    for (unsigned len = 1; len <= MAX_CODE_BITS; ++len, code <<= 1) {
        if (len >= 2 && len <= root_bits) {
            const std::size_t half = std::size_t{1} << (len - 1);
            std::copy_n(table, half, table + half);
        }
        for (; count[len] > 0; --count[len], ++code) {
            const std::uint32_t entry = make_entry(kind, sorted[idx++], len);
            const unsigned rev = reverse_bits(code, len);  // as it arrives in the stream
            if (len <= root_bits) {
                table[rev] = entry;
                continue;
            }
            const unsigned prefix = rev & static_cast<unsigned>(root_size - 1);
            if (prefix != cur_prefix) {
                // Smallest subtable that the remaining codes fill (all remaining
                // lengths when the code runs out first).
                sub_bits = len - root_bits;
                int room = 1 << sub_bits;
                while (sub_bits + root_bits < MAX_CODE_BITS) {
                    room -= static_cast<int>(count[sub_bits + root_bits]);
                    if (room <= 0) {
                        break;
                    }
                    ++sub_bits;
                    room <<= 1;
                }
                const std::size_t sub_size = std::size_t{1} << sub_bits;
                if (next_sub + sub_size > capacity) {
                    return false;  // cannot happen: capacity covers the worst case
                }
                sub_start = next_sub;
                next_sub += sub_size;
                if (!complete) {
                    for (std::size_t i = 0; i < sub_size; ++i) {
                        table[sub_start + i] = ENTRY_NO_CODE;
                    }
                }
                cur_prefix = prefix;
                table[prefix] = F_EXCEPT | F_SUB | (static_cast<std::uint32_t>(sub_start) << VALUE_SHIFT) |
                                (sub_bits << 8) | root_bits;
            }
            const std::size_t sub_size = std::size_t{1} << sub_bits;
            for (std::size_t i = rev >> root_bits; i < sub_size; i += std::size_t{1} << (len - root_bits)) {
                table[sub_start + i] = entry;
            }
        }
    }
    return true;
}

// The fixed code's tables, built at compile time.
struct fixed_tables {
    std::array<std::uint32_t, std::size_t{1} << LIT_ROOT_BITS> lit{};
    std::array<std::uint32_t, std::size_t{1} << DIST_ROOT_BITS> dist{};
};

constexpr fixed_tables make_fixed_tables()
{
    fixed_tables t;
    std::array<std::uint8_t, FIXED_LIT_CODES> lens{};
    for (unsigned s = 0; s < FIXED_LIT_CODES; ++s) {
        lens[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    }
    const bool lit_ok = build_table(lens.data(), FIXED_LIT_CODES, t.lit.data(), t.lit.size(), LIT_ROOT_BITS,
                                    table_kind::litlen);
    for (unsigned s = 0; s < MAX_DIST_CODES; ++s) {
        lens[s] = 5;  // only 30 of the 32 five-bit codes name a distance
    }
    const bool dist_ok = build_table(lens.data(), MAX_DIST_CODES, t.dist.data(), t.dist.size(), DIST_ROOT_BITS,
                                     table_kind::dist);
    if (!lit_ok || !dist_ok) {
        throw "fixed code tables";  // fails the constant evaluation
    }
    return t;
}

constexpr fixed_tables FIXED = make_fixed_tables();

// ---- Decoder state ------------------------------------------------------------

enum class status { ok, bad_data, out_full };

// Where one inflation stands in its input and output. Lives in the call's own
// frame, as does everything else: concurrent calls share nothing.
//
// Input: bytes [in_next, in_end) are not yet in the bit buffer. bitbuf holds
// bitcnt pending bits, the next stream bit lowest; bits above bitcnt are either
// zero or copies of the byte at in_next (the word refill loads 8 bytes but counts
// whole bytes only). Near the end of input the refill appends zero bytes instead
// and counts them in overread: the pending bits that are real number
// bitcnt - 8 * overread, and a decode that consumed more than that read past the
// end of input. overread > 0 only once in_next == in_end.
//
// Output: bytes [out_begin, out_next) are written; out_end is the capacity's end.
struct cursor {
    const std::uint8_t* in_next;
    const std::uint8_t* in_end;
    std::uint64_t bitbuf;
    unsigned bitcnt;
    unsigned overread;

    std::uint8_t* out_begin;
    std::uint8_t* out_next;
    std::uint8_t* out_end;
};

// The tables of the current dynamic block, and its code lengths.
struct dynamic_tables {
    std::array<std::uint32_t, LIT_TABLE_ENTRIES> lit;
    std::array<std::uint32_t, DIST_TABLE_ENTRIES> dist;
    std::array<std::uint32_t, CL_TABLE_ENTRIES> cl;
    std::array<std::uint8_t, MAX_LENS> lens;
};

constexpr unsigned WORD_REFILL_MIN_BITS = 56;  // pending bits after any refill
// After a refill: a length code with its extra bits and a distance with its own.
static_assert(MAX_CODE_BITS + MAX_LENGTH_EXTRA_BITS + MAX_CODE_BITS + MAX_DIST_EXTRA_BITS <= WORD_REFILL_MIN_BITS);
// ...or two literals and the lookup of the code after them.
static_assert(3 * MAX_CODE_BITS <= WORD_REFILL_MIN_BITS);

inline std::uint64_t load_le64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (unsigned i = 0; i < 8; ++i) {
        v |= std::uint64_t{p[i]} << (8 * i);
    }
    return v;  // compilers turn this into one load on little-endian targets
}

// Tops the bit buffer up to at least WORD_REFILL_MIN_BITS bits; needs 8 input bytes.
inline void refill_word(cursor& s)
{
    s.bitbuf |= load_le64(s.in_next) << s.bitcnt;
    s.in_next += (63 - s.bitcnt) >> 3;
    s.bitcnt |= WORD_REFILL_MIN_BITS;
}

// The same anywhere in the input: byte by byte near its end, then zero padding.
inline void refill(cursor& s)
{
    if (s.in_end - s.in_next >= 8) {
        refill_word(s);
        return;
    }
    while (s.bitcnt <= WORD_REFILL_MIN_BITS) {
        if (s.in_next != s.in_end) {
            s.bitbuf |= std::uint64_t{*s.in_next++} << s.bitcnt;
        } else {
            ++s.overread;
        }
        s.bitcnt += 8;
    }
}

inline void consume(cursor& s, unsigned n)
{
    s.bitbuf >>= n;
    s.bitcnt -= n;
}

// True once the decoder has used bits beyond the end of input.
inline bool past_end(const cursor& s)
{
    return s.bitcnt < 8 * s.overread;
}

// The next n bits (n <= 32), first bit lowest; failure at the end of input.
inline bool read_bits(cursor& s, unsigned n, unsigned& value_out)
{
    if (s.bitcnt < n) {
        refill(s);
    }
    value_out = static_cast<unsigned>(s.bitbuf & ((std::uint64_t{1} << n) - 1));
    consume(s, n);
    return !past_end(s);
}

inline std::uint32_t entry_value(std::uint32_t e)
{
    return (e >> VALUE_SHIFT) & VALUE_MASK;
}

// The entry for the code word at the front of bitbuf (which must hold enough bits,
// real or padding).
template <unsigned ROOT_BITS>
inline std::uint32_t lookup(const std::uint32_t* table, std::uint64_t bitbuf)
{
    std::uint32_t e = table[bitbuf & ((1u << ROOT_BITS) - 1)];
    if (e & F_SUB) {
        const unsigned sub_bits = (e >> 8) & 0xF;
        e = table[entry_value(e) + ((bitbuf >> ROOT_BITS) & ((1u << sub_bits) - 1))];
    }
    return e;
}

// Takes the entry's code word and extra bits; returns base + extra value.
inline std::uint32_t take_with_extra(cursor& s, std::uint32_t e)
{
    const std::uint64_t saved = s.bitbuf;
    const unsigned n = e & 0x3F;
    consume(s, n);
    return entry_value(e) + static_cast<std::uint32_t>((saved & ((std::uint64_t{1} << n) - 1)) >> ((e >> 8) & 0xF));
}

// Copies a match of len bytes from dist back. Writes may run up to 15 bytes past
// the match's end (the caller keeps that room); overlapping matches repeat their
// pattern as the format requires.
inline void copy_match_fast(std::uint8_t* dst, std::size_t dist, std::size_t len)
{
    std::uint8_t* const end = dst + len;
    const std::uint8_t* src = dst - dist;
    if (dist >= 16) {
        do {
            std::memcpy(dst, src, 16);
            dst += 16;
            src += 16;
        } while (dst < end);
    } else if (dist >= 8) {
        do {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        } while (dst < end);
    } else if (dist == 1) {
        const std::uint64_t v = std::uint64_t{*src} * 0x0101010101010101ull;
        do {
            std::memcpy(dst, &v, 8);
            dst += 8;
        } while (dst < end);
    } else {
        // Short period: copy byte by byte until a whole multiple of the period
        // reaches 8 bytes, then copy 8 bytes at a time from that multiple back.
        std::size_t period = dist;
        while (period < 8) {
            period += dist;
        }
        std::uint8_t* const stop = dst + (period - dist) < end ? dst + (period - dist) : end;
        while (dst < stop) {
            *dst++ = *src++;
        }
        src = dst - period;
        while (dst < end) {
            std::memcpy(dst, src, 8);
            dst += 8;
            src += 8;
        }
    }
}

// Room the fast loop needs: two word refills of input, and on output two
// literals, the longest match and the copy's overrun.
constexpr std::ptrdiff_t FAST_IN_MARGIN = 16;
constexpr std::ptrdiff_t FAST_OUT_MARGIN = 2 + MAX_MATCH_BYTES + 16;

// Decodes symbols up to and including the end-of-block code.
status decode_symbols(cursor& s, const std::uint32_t* lit, const std::uint32_t* dist)
{
    cursor st = s;  // a local copy stays in registers
    auto finish = [&](status r) {
        s = st;
        return r;
    };

    // Fast loop: room is known on both sides, so only the data are checked. Bits
    // come from real input only (overread is 0 while 16 bytes remain).
    while (st.in_end - st.in_next >= FAST_IN_MARGIN && st.out_end - st.out_next >= FAST_OUT_MARGIN) {
        refill_word(st);
        std::uint32_t e = lookup<LIT_ROOT_BITS>(lit, st.bitbuf);
        if (e & F_LITERAL) {
            consume(st, e & 0x3F);
            *st.out_next++ = static_cast<std::uint8_t>(entry_value(e));
            e = lookup<LIT_ROOT_BITS>(lit, st.bitbuf);
            if (e & F_LITERAL) {
                consume(st, e & 0x3F);
                *st.out_next++ = static_cast<std::uint8_t>(entry_value(e));
                e = lookup<LIT_ROOT_BITS>(lit, st.bitbuf);
                if (e & F_LITERAL) {
                    consume(st, e & 0x3F);
                    *st.out_next++ = static_cast<std::uint8_t>(entry_value(e));
                    continue;
                }
            }
            refill_word(st);  // keeps the bits e was looked up from
        }
        if (e & F_EXCEPT) {
            if (e & F_EOB) {
                consume(st, e & 0x3F);
                return finish(status::ok);
            }
            return finish(status::bad_data);  // no such code, or symbol 286/287
        }
        const std::uint32_t length = take_with_extra(st, e);
        e = lookup<DIST_ROOT_BITS>(dist, st.bitbuf);
        if (e & F_EXCEPT) {
            return finish(status::bad_data);  // no such distance code
        }
        const std::uint32_t distance = take_with_extra(st, e);
        if (distance > static_cast<std::size_t>(st.out_next - st.out_begin)) {
            return finish(status::bad_data);  // reaches before the output's start
        }
        copy_match_fast(st.out_next, distance, length);
        st.out_next += length;
    }

    // Careful loop for the ends of input and output: one symbol at a time, each
    // checked against the real input end before it is used.
    for (;;) {
        refill(st);
        std::uint32_t e = lookup<LIT_ROOT_BITS>(lit, st.bitbuf);
        if ((e & (F_LITERAL | F_EXCEPT)) == F_EXCEPT && !(e & F_EOB)) {
            return finish(status::bad_data);
        }
        const std::uint32_t value = take_with_extra(st, e);
        if (past_end(st)) {
            return finish(status::bad_data);  // input ended inside the code
        }
        if (e & F_LITERAL) {
            if (st.out_next == st.out_end) {
                return finish(status::out_full);
            }
            *st.out_next++ = static_cast<std::uint8_t>(value);
            continue;
        }
        if (e & F_EOB) {
            return finish(status::ok);
        }
        const std::uint32_t length = value;
        refill(st);
        e = lookup<DIST_ROOT_BITS>(dist, st.bitbuf);
        if (e & F_EXCEPT) {
            return finish(status::bad_data);
        }
        const std::uint32_t distance = take_with_extra(st, e);
        if (past_end(st)) {
            return finish(status::bad_data);
        }
        if (distance > static_cast<std::size_t>(st.out_next - st.out_begin)) {
            return finish(status::bad_data);
        }
        if (length > static_cast<std::size_t>(st.out_end - st.out_next)) {
            return finish(status::out_full);
        }
        const std::uint8_t* src = st.out_next - distance;
        for (std::uint32_t i = 0; i < length; ++i) {
            st.out_next[i] = src[i];  // byte by byte: the match may overlap itself
        }
        st.out_next += length;
    }
}

// Stored block: LEN and NLEN from the next byte boundary, then LEN raw bytes.
status inflate_stored(cursor& s)
{
    consume(s, s.bitcnt & 7);
    // Whole bytes still pending go back to the input (padding bytes were never in it).
    const std::uint8_t* p = s.in_next - ((s.bitcnt >> 3) - s.overread);
    s.bitbuf = 0;
    s.bitcnt = 0;
    s.overread = 0;
    if (s.in_end - p < std::ptrdiff_t{STORED_HEADER_BYTES}) {
        return status::bad_data;
    }
    const unsigned len = p[0] | (p[1] << 8);
    const unsigned nlen = p[2] | (p[3] << 8);
    p += STORED_HEADER_BYTES;
    if (nlen != (~len & 0xFFFFu)) {
        return status::bad_data;
    }
    if (static_cast<std::size_t>(s.in_end - p) < len) {
        return status::bad_data;
    }
    if (static_cast<std::size_t>(s.out_end - s.out_next) < len) {
        return status::out_full;
    }
    if (len > 0) {
        std::memcpy(s.out_next, p, len);
    }
    s.out_next += len;
    s.in_next = p + len;
    return status::ok;
}

// Dynamic block header: the code-length code, then the literal/length and
// distance code lengths as one run-length coded sequence.
status read_dynamic_tables(cursor& s, dynamic_tables& t)
{
    unsigned hlit = 0;
    unsigned hdist = 0;
    unsigned hclen = 0;
    if (!read_bits(s, 5, hlit) || !read_bits(s, 5, hdist) || !read_bits(s, 4, hclen)) {
        return status::bad_data;
    }
    const unsigned nlit = hlit + 257;
    const unsigned ndist = hdist + 1;
    if (nlit > MAX_LIT_CODES || ndist > MAX_DIST_CODES) {
        return status::bad_data;
    }

    std::array<std::uint8_t, NUM_CL_CODES> cl_lens{};
    for (unsigned i = 0; i < hclen + 4; ++i) {
        unsigned v = 0;
        if (!read_bits(s, 3, v)) {
            return status::bad_data;
        }
        cl_lens[DECODE_ORDER[i]] = static_cast<std::uint8_t>(v);
    }
    if (!build_table(cl_lens.data(), NUM_CL_CODES, t.cl.data(), t.cl.size(), CL_ROOT_BITS,
                     table_kind::code_length)) {
        return status::bad_data;
    }

    const unsigned total = nlit + ndist;
    unsigned i = 0;
    while (i < total) {
        // One refill covers a code-length code word and its longest repeat field.
        if (s.bitcnt < MAX_CL_BITS + 7) {
            refill(s);
        }
        const std::uint32_t e = t.cl[s.bitbuf & (CL_TABLE_ENTRIES - 1)];
        if (e & F_EXCEPT) {
            return status::bad_data;  // no such code word
        }
        consume(s, e & 0x3F);
        const unsigned sym = entry_value(e);
        if (sym < 16) {
            t.lens[i++] = static_cast<std::uint8_t>(sym);
        } else {
            unsigned repeat = 0;
            std::uint8_t fill = 0;
            if (sym == 16) {
                if (i == 0) {
                    return status::bad_data;  // nothing to repeat
                }
                fill = t.lens[i - 1];
                repeat = 3 + static_cast<unsigned>(s.bitbuf & 0x3);
                consume(s, 2);
            } else if (sym == 17) {
                repeat = 3 + static_cast<unsigned>(s.bitbuf & 0x7);
                consume(s, 3);
            } else {
                repeat = 11 + static_cast<unsigned>(s.bitbuf & 0x7F);
                consume(s, 7);
            }
            if (past_end(s)) {
                return status::bad_data;
            }
            if (repeat > total - i) {
                return status::bad_data;  // runs past the announced count
            }
            std::memset(t.lens.data() + i, fill, repeat);
            i += repeat;
        }
        if (past_end(s)) {
            return status::bad_data;
        }
    }

    if (!build_table(t.lens.data(), nlit, t.lit.data(), t.lit.size(), LIT_ROOT_BITS, table_kind::litlen) ||
        !build_table(t.lens.data() + nlit, ndist, t.dist.data(), t.dist.size(), DIST_ROOT_BITS,
                     table_kind::dist)) {
        return status::bad_data;  // over-subscribed
    }
    return status::ok;
}

status inflate_all(cursor& s, dynamic_tables& t)
{
    for (;;) {
        unsigned header = 0;
        if (!read_bits(s, 3, header)) {
            return status::bad_data;
        }
        const bool final_block = (header & 1) != 0;
        status r = status::ok;
        switch (header >> 1) {
        case 0:
            r = inflate_stored(s);
            break;
        case 1:
            r = decode_symbols(s, FIXED.lit.data(), FIXED.dist.data());
            break;
        case 2:
            r = read_dynamic_tables(s, t);
            if (r == status::ok) {
                r = decode_symbols(s, t.lit.data(), t.dist.data());
            }
            break;
        default:
            return status::bad_data;  // reserved block type
        }
        if (r != status::ok) {
            return r;
        }
        if (final_block) {
            return status::ok;
        }
    }
}

}  // namespace

std::int64_t sx_inflate_ex(const std::uint8_t* in, std::uint64_t in_len, std::uint8_t* out, std::uint64_t out_cap,
                           inflate_stop* why_out, std::uint64_t* written_out) noexcept
{
    if (written_out != nullptr) {
        *written_out = 0;
    }
    cursor s;
    auto report_written = [&s, written_out] {
        if (written_out != nullptr) {
            *written_out = static_cast<std::uint64_t>(s.out_next - s.out_begin);
        }
    };
    auto fail = [why_out, &report_written](inflate_stop why) -> std::int64_t {
        report_written();
        if (why_out != nullptr) {
            *why_out = why;
        }
        return -1;
    };
    if (in == nullptr) {
        in_len = 0;
    }
    if (out == nullptr) {
        out_cap = 0;
    }
    // The count must fit the signed result.
    const std::uint64_t cap = out_cap > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                                  ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                                  : out_cap;

    s.in_next = in;
    s.in_end = in + in_len;
    s.bitbuf = 0;
    s.bitcnt = 0;
    s.overread = 0;
    s.out_begin = out;
    s.out_next = out;
    s.out_end = out + cap;

    dynamic_tables tables;  // filled by each dynamic block before use
    switch (inflate_all(s, tables)) {
    case status::ok:
        break;
    case status::out_full:
        return fail(inflate_stop::out_full);
    case status::bad_data:
        return fail(inflate_stop::bad_data);
    }
    report_written();
    if (why_out != nullptr) {
        *why_out = inflate_stop::none;
    }
    return static_cast<std::int64_t>(s.out_next - s.out_begin);
}

std::int64_t sx_inflate(const std::uint8_t* in, std::uint64_t in_len, std::uint8_t* out,
                        std::uint64_t out_cap) noexcept
{
    return sx_inflate_ex(in, in_len, out, out_cap, nullptr);
}

}  // namespace tavrik
