// The lexical layer: results and cursor positions of every operation. Each input is
// copied into a heap buffer of exactly its size, so the sanitizer build catches any
// read at or past the end of the view.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <array>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace tavrik;

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

std::string u8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

// ---- white space and comments -------------------------------------------------

TEST(LexSkipWs, StopsAtTheRightByte)
{
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"", 0},
        {"  a", 2},
        {std::string("\x00\x08\x09\x0A\x0C\x0D x", 8), 7},
        {"\x1F", 0},                      // 0x1F is no white space here
        {"\x0B", 0},                      // nor is VT
        {"% note\n x", 8},                // a comment ends at LF
        {"% a\r b\r c\n d", 11},          // CR alone does not end it
        {"% to the end", 12},
        {"%\n%\n5", 4},
    };
    for (const auto& [text, want] : cases) {
        SCOPED_TRACE(text);
        const auto d = bytes_of(text);
        EXPECT_EQ(rd_skip_ws(d, 0), want);
    }
}

// ---- names --------------------------------------------------------------------

struct NameCase {
    const char* name;
    std::string in;
    std::size_t cap;
    int result;
    std::string value;
    std::int64_t end;
};

class LexName : public ::testing::TestWithParam<NameCase> {};

TEST_P(LexName, ReadsBytesAndEnd)
{
    const auto& c = GetParam();
    const auto d = bytes_of(c.in);
    std::vector<char> out(c.cap + 1, '?');
    std::int64_t end = -7;
    const int r = rd_name(d, 0, out.data(), c.cap, &end);
    EXPECT_EQ(r, c.result);
    if (r >= 0) {
        EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(r)), c.value);
        EXPECT_EQ(out[static_cast<std::size_t>(r)], '\0');
        EXPECT_EQ(end, c.end);
    } else {
        EXPECT_EQ(end, -7);   // nothing moved
    }
}

INSTANTIATE_TEST_SUITE_P(Lex, LexName, ::testing::Values(
    NameCase{"Plain", "/Type /Page", 64, 4, "Type", 5},
    NameCase{"HashEscape", "/A#20B>>", 64, 3, "A B", 6},
    NameCase{"HashOneDigit", "/A#2 ", 64, 3, "A#2", 4},
    NameCase{"HashCutByEnd", "/A#4", 64, 3, "A#4", 4},
    NameCase{"HashNonHex", "/A#G1", 64, 4, "A#G1", 5},
    NameCase{"EscapedNul", "/a#00b", 64, 3, std::string("a\0b", 3), 6},
    NameCase{"EndsAtEnd", "/Name", 64, 4, "Name", 5},
    NameCase{"EndsAtDelimiter", "/a%b", 64, 1, "a", 2},
    NameCase{"EndsAtUnitSep", "/a\x1F" "b", 64, 1, "a", 2},
    NameCase{"EndsAtFormFeed", "/a\x0C" "b", 64, 1, "a", 2},
    NameCase{"VerticalTabIsPart", "/a\x0B" "b", 64, 3, "a\x0B" "b", 4},
    NameCase{"CutToCapacity", "/Abcdef ", 4, 3, "Abc", 7},
    NameCase{"DoubleSlash", "//A", 64, -1, "", 0},
    NameCase{"SlashAtEnd", "/", 64, -1, "", 0},
    NameCase{"EmptyName", "/ x", 64, -1, "", 0},
    NameCase{"NoSlash", "Type", 64, -1, "", 0},
    NameCase{"CapacityOne", "/A", 1, -1, "", 0}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- numbers ----------------------------------------------------------------------

struct NumberCase {
    const char* name;
    std::string in;
    bool ok;
    double value;
    std::int64_t end;
};

class LexNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(LexNumber, ReadsValueAndEnd)
{
    const auto& c = GetParam();
    const auto d = bytes_of(c.in);
    std::int64_t pos = 0;
    double v = -99;
    ASSERT_EQ(rd_number(d, pos, v), c.ok);
    if (c.ok) {
        EXPECT_DOUBLE_EQ(v, c.value);
        EXPECT_EQ(pos, c.end);
    } else {
        EXPECT_EQ(pos, 0);
        EXPECT_EQ(v, -99);
    }
}

INSTANTIATE_TEST_SUITE_P(Lex, LexNumber, ::testing::Values(
    NumberCase{"Integer", "123 0 R", true, 123, 3},
    NumberCase{"NegativeFraction", "-.5", true, -0.5, 3},
    NumberCase{"TwoPoints", "1.2.3 x", true, 1.2, 5},
    NumberCase{"Exponent", "1e3", true, 1000, 3},
    NumberCase{"DanglingE", "1e", true, 1, 1},
    NumberCase{"DanglingESign", "1e+x", true, 1, 1},
    NumberCase{"NegativeExponent", "1E-2x", true, 0.01, 4},
    NumberCase{"LeadingPlus", "+5", true, 5, 2},
    NumberCase{"TrailingPoint", "5.]", true, 5, 2},
    NumberCase{"PointAlone", ". ", true, 0, 1},
    NumberCase{"SignPoint", "-.", true, 0, 2},
    NumberCase{"LonePlus", "+", false, 0, 0},
    NumberCase{"MinusLetter", "-x", false, 0, 0},
    NumberCase{"DoubleSign", "--5", false, 0, 0},
    NumberCase{"Letter", "e5", false, 0, 0},
    NumberCase{"Empty", "", false, 0, 0},
    NumberCase{"LongRunCutAt47", std::string(60, '1') + " ", true, 1.1111111111111111e46, 60},
    NumberCase{"Overflow", "1e999", true, HUGE_VAL, 5}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LexStrtod, MatchesTheCLocale)
{
    // The process runs in the C locale here, so strtod is the reference.
    const char* texts[] = {"0", "1.5", "-2.25", "+3", ".5", "5.", "1e", "1e+", "1.e3", "1.2.3", "  7",
                           "\t-8e-2", "0x1p4", "0x", "0x.8", "inf", "-Infinity", "x", "", "-", "+.",
                           "1e-310", "4.9e-324", "2e-324", "1e-400", "1.7976931348623157e308",
                           "1.8e308", "123456789012345678901234567890", "0.1", "3.14159265358979323846",
                           "000012.5000", "9007199254740993", "1e0000000000000000000000002",
                           "123456789012345", "1234567890123456", "0.0000000000000000000001",
                           "0.00000000000000000000001", "-0", "0.", "-.0", "12x", "1.5 2", "7-3", "0.1.2"};
    for (const char* t : texts) {
        SCOPED_TRACE(t);
        const double want = std::strtod(t, nullptr);
        const double got = c_strtod(t);
        EXPECT_EQ(std::signbit(got), std::signbit(want));
        if (std::isnan(want)) {
            EXPECT_TRUE(std::isnan(got));
        } else {
            EXPECT_EQ(got, want);
        }
    }
    EXPECT_TRUE(std::isnan(c_strtod("nan")));
}

// Content streams are mostly short decimals, which take a quicker path: random ones
// of up to 18 digits, around its limits of 15 significant and 22 fractional digits.
TEST(LexStrtod, ShortDecimalsMatchTheCLocale)
{
    std::uint32_t seed = 2024;
    auto rnd = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (int k = 0; k < 20000; ++k) {
        std::string t = rnd(3) == 0 ? "-" : "";
        const std::uint32_t digits = 1 + rnd(18);
        const std::uint32_t point = rnd(digits + 2);
        for (std::uint32_t i = 0; i < digits; ++i) {
            if (i == point)
                t += '.';
            t += static_cast<char>('0' + (i < 2 && rnd(4) == 0 ? 0 : rnd(10)));
        }
        SCOPED_TRACE(t);
        const double want = std::strtod(t.c_str(), nullptr);
        const double got = c_strtod(t);
        ASSERT_EQ(got, want);
        ASSERT_EQ(std::signbit(got), std::signbit(want));
    }
}

// A host that reads numbers with a decimal comma must not change what the reader sees.
TEST(LexStrtod, IgnoresTheHostLocale)
{
    const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "fr_FR", "ru_RU.UTF-8"};
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = old != nullptr ? old : "C";
    const char* set = nullptr;
    for (const char* name : candidates) {
        if ((set = std::setlocale(LC_NUMERIC, name)) != nullptr) break;
    }
    if (set == nullptr) GTEST_SKIP() << "no comma locale installed";
    const auto d = bytes_of("1.5 2,5");
    std::int64_t pos = 0;
    double v = 0;
    const bool ok = rd_number(d, pos, v);
    const double direct = c_strtod("0.25");
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(ok);
    EXPECT_EQ(v, 1.5);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(direct, 0.25);
}

// ---- references -------------------------------------------------------------------

TEST(LexRef, ReadsObjectNumberAndEnd)
{
    struct Case {
        std::string in;
        bool ok;
        std::int64_t num;
        std::int64_t end;
    };
    const Case cases[] = {
        {"1 0 R", true, 1, 5},           // at the very end of the data
        {"12 0 R/Next", true, 12, 6},
        {"7 0 R]", true, 7, 5},
        {"3\n0\r\nR ", true, 3, 6},
        {"1.9 0 R ", true, 1, 7},        // truncated toward zero
        {"5 %c\n0 R ", true, 5, 8},
        {"1 0 Rx", false, 0, 0},
        {"1 0 R\x0C", false, 0, 0},      // form feed does not delimit here
        {" 1 0 R", false, 0, 0},         // no white space skipped first
        {"1 0 obj", false, 0, 0},
        {"1 0", false, 0, 0},
        {"1 R", false, 0, 0},
        {"R", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const auto d = bytes_of(c.in);
        std::int64_t pos = 0;
        std::int64_t num = -5;
        ASSERT_EQ(rd_ref(d, pos, num), c.ok);
        EXPECT_EQ(pos, c.end);
        EXPECT_EQ(num, c.ok ? c.num : -5);
    }
}

// rd_number_or_ref must take every element exactly as rd_ref, then rd_number do:
// the fonts' arrays are read with it in place of those two.
TEST(LexElement, AgreesWithRefThenNumber)
{
    const std::string inputs[] = {
        "1 0 R", "12 0 R/Next", "7 0 R]", "3\n0\r\nR ", "1.9 0 R ", "5 %c\n0 R ", "-4 0 R ", "+4 0 R ",
        "5 0.0 R ", "5 1e2 R ", "1 0 Rx", "1 0 R\x0C", "1 0 obj", "1 0", "1 R", "R", "500", "500 ", "500]",
        "277.8 500 ", "277.8 500 R", "1 2 3 R", "-.5 ", ".", "-", "+]", "1e5 ", "1e ", "1e+", "4 /a",
        "4 0 /R", "4 0 Rx ", "1234567890123456 0 R", "12345678901234567890 ", "(s)", "/n", "[1]", "",
        "9 0  R", "9\x0C" "0\x0CR ", "1 0 R%",
    };
    for (const std::string& in : inputs) {
        SCOPED_TRACE(in);
        const auto d = bytes_of(in);
        std::int64_t ref_pos = 0;
        std::int64_t num = 0;
        double want = -7;
        rd_element want_kind = rd_element::other;
        if (rd_ref(d, ref_pos, num)) {
            want_kind = rd_element::reference;
        } else if (rd_number(d, ref_pos, want)) {
            want_kind = rd_element::number;
        }
        std::int64_t pos = 0;
        double got = -7;
        rd_ahead ahead;
        EXPECT_EQ(rd_number_or_ref(d, pos, got, ahead), want_kind);
        EXPECT_EQ(pos, ref_pos);
        if (want_kind != rd_element::reference) {
            EXPECT_EQ(got, want);
        }
    }
}

// The number looked ahead to is read as if it had not been; an ahead kept from
// another position does not count.
TEST(LexElement, LookAheadOnlyAtItsOwnPosition)
{
    const auto d = bytes_of("500 % x\n 277.8 3 0 R 9]");
    std::int64_t pos = 0;
    double x = 0;
    rd_ahead ahead;
    ASSERT_EQ(rd_number_or_ref(d, pos, x, ahead), rd_element::number);
    EXPECT_EQ(x, 500);
    EXPECT_EQ(pos, 3);
    pos = rd_skip_ws(d, pos);
    ASSERT_EQ(ahead.start, pos);
    ASSERT_EQ(rd_number_or_ref(d, pos, x, ahead), rd_element::number);
    EXPECT_EQ(x, 277.8);
    pos = rd_skip_ws(d, pos);
    ASSERT_EQ(rd_number_or_ref(d, pos, x, ahead), rd_element::reference);
    pos = rd_skip_ws(d, pos);
    ASSERT_EQ(rd_number_or_ref(d, pos, x, ahead), rd_element::number);
    EXPECT_EQ(x, 9);

    std::int64_t inside = 10;   // inside "277.8", looked ahead to from 9
    rd_ahead stale{9, 14};
    ASSERT_EQ(rd_number_or_ref(d, inside, x, stale), rd_element::number);
    EXPECT_EQ(x, 77.8);
    EXPECT_EQ(inside, 14);
}

// ---- text strings -----------------------------------------------------------------

struct StringCase {
    const char* name;
    std::string in;
    int result;            // -1: failure
    std::string text;      // the bytes counted by the result
    std::int64_t end;
    std::size_t cap = 512;
};

class LexString : public ::testing::TestWithParam<StringCase> {};

TEST_P(LexString, DecodesToUtf8)
{
    const auto& c = GetParam();
    const auto d = bytes_of(c.in);
    std::vector<char> out(c.cap, '?');
    std::int64_t pos = 0;
    const int r = rd_string(d, pos, out.data(), c.cap);
    ASSERT_EQ(r, c.result);
    if (r < 0) {
        EXPECT_EQ(pos, 0);
        return;
    }
    EXPECT_EQ(std::string(out.data(), static_cast<std::size_t>(r)), c.text);
    EXPECT_EQ(out[static_cast<std::size_t>(r)], '\0');
    EXPECT_EQ(pos, c.end);
}

INSTANTIATE_TEST_SUITE_P(Literal, LexString, ::testing::Values(
    StringCase{"Plain", "(Annual Report) x", 13, "Annual Report", 15},
    StringCase{"OctalLatin1", "(Caf\\351)", 5, u8(u8"Café"), 9},
    StringCase{"Nesting", "(a(b)c)d", 5, "a(b)c", 7},
    StringCase{"EscapedParens", "(a\\)b\\(c)", 5, "a)b(c", 9},
    StringCase{"Escapes", "(\\n\\r\\t\\b\\f\\q\\\\)", 7, "\n\r\t\b\fq\\", 16},
    StringCase{"OctalStopsAtThree", "(\\0053)", 2, "\x05" "3", 7},
    StringCase{"OctalModulo", "(\\777)", 2, u8(u8"ÿ"), 6},
    StringCase{"ContinuationLf", "(a\\\nb)", 2, "ab", 6},
    StringCase{"ContinuationCrLf", "(a\\\r\nb)", 2, "ab", 7},
    StringCase{"ContinuationCr", "(a\\\rb)", 2, "ab", 6},
    StringCase{"ZeroEndsText", "(a\\000b)", 3, std::string("a\0b", 3), 8},
    StringCase{"Unterminated", "(abc", -1, "", 0},
    StringCase{"BackslashLast", "(abc\\", -1, "", 0},
    StringCase{"OpenAtEnd", "(", -1, "", 0},
    StringCase{"RawUtf16Be", std::string("(\xFE\xFF\x00" "A\x00" "B)", 8), 2, "AB", 8},
    StringCase{"RawSurrogatePair", std::string("(\xFE\xFF\xD8\x3D\xDE\x00)", 8), 4, u8(u8"\U0001F600"), 8},
    StringCase{"EscapedBomUtf16", "(\\376\\377\\000T\\000i)", 2, "Ti", 20},
    StringCase{"EscapedSurrogatePair", "(\\376\\377\\330\\075\\336\\000)", 4, u8(u8"\U0001F600"), 26},
    StringCase{"Utf16Le", std::string("(\xFF\xFE" "A\x00" "B\x00)", 8), 2, "AB", 8},
    StringCase{"Utf16OddByteDropped", std::string("(\xFE\xFF\x00" "A\x00)", 7), 1, "A", 7},
    StringCase{"Utf16BomOnly", "(\xFE\xFF)", 0, "", 4},
    StringCase{"PdfDocSpecials", "(\x80\x92\xA0\x18\x9F)", 13,
               u8(u8"\u2022\u2122\u20AC\u02D8") + "\xC2\x9F", 7},
    StringCase{"ShortUtf8BomIsPdfDoc", "(\xEF\xBB)", 4, u8(u8"ï»"), 4},
    StringCase{"Utf8Bom", "(\xEF\xBB\xBF\xC3\xA9!)", 3, u8(u8"é!"), 8},
    StringCase{"CharacterThatDoesNotFitIsDropped", "(\xE9\x80" "a)", 3, u8(u8"éa"), 5, 4},
    StringCase{"LongStringCut", "(" + std::string(600, 'a') + ")x", 511, std::string(511, 'a'), 602},
    StringCase{"NotAString", "/Title", -1, "", 0}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(Hex, LexString, ::testing::Values(
    StringCase{"Hello", "<48 65 6C 6c 6F>", 5, "Hello", 16},
    StringCase{"UnpairedDigit", "<4>", 0, "", 3},
    StringCase{"ZeroDropped", "<00>", 0, "", 4},
    StringCase{"ZeroInsideDropped", "<410042>", 2, "AB", 8},
    StringCase{"CSpaceSkipped", "<41\x0B\x0C\r\n\t 42>", 2, "AB", 12},
    StringCase{"Utf16BeBom", "<FEFF00410042>", 2, "AB", 14},
    StringCase{"Utf16LeBom", "<FFFE41004200>", 2, "AB", 14},
    StringCase{"SurrogatePair", "<FEFFD83DDE00>", 4, u8(u8"\U0001F600"), 14},
    StringCase{"LoneHighThenUnit", "<FEFFD8000041>", 4, "\xED\xA0\x80" "A", 14},
    StringCase{"LoneHighAtEnd", "<FEFFD83D>", 3, "\xED\xA0\xBD", 10},
    StringCase{"LoneLow", "<FEFFDC00>", 3, "\xED\xB0\x80", 10},
    StringCase{"Utf16ZeroUnitEndsText", "<FEFF004100000042>", 3, std::string("A\0B", 3), 18},
    StringCase{"ZeroBeforeBom", "<00FEFF>", 4, u8(u8"þÿ"), 8},
    StringCase{"Utf8", "<EFBBBFC3A941>", 3, u8(u8"éA"), 14},
    StringCase{"Utf8IllFormedDropped", "<EFBBBF41C328E28241F4908080C08042>", 4, "A(AB", 34},
    StringCase{"Utf8Surrogate", "<EFBBBFEDA08041>", 1, "A", 16},
    StringCase{"StrayByteEndsIt", "<4142x43>", 2, "AB", 6},
    StringCase{"StrayByteLast", "<4142x", -1, "", 0},
    StringCase{"Unterminated", "<4142", -1, "", 0},
    StringCase{"LessAtEnd", "<", -1, "", 0},
    StringCase{"DictOpener", "<</A 1>>", -1, "", 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LexUtf8Emit, KeepsOneByteForTheTerminator)
{
    std::array<char, 4> out{'x', 0, 0, 0};
    EXPECT_EQ(utf8_emit(out.data(), 1, 4, 0xE9), 3u);         // two bytes fit
    EXPECT_EQ(utf8_emit(out.data(), 1, 4, 0x20AC), 1u);       // three do not
    EXPECT_EQ(utf8_emit(out.data(), 3, 4, 'a'), 3u);
    EXPECT_EQ(utf8_emit(out.data(), 0, 0, 'a'), 0u);
    std::array<char, 8> wide{};
    EXPECT_EQ(utf8_emit(wide.data(), 0, 8, 0x1F600), 4u);
    EXPECT_EQ(std::string(wide.data(), 4), "\xF0\x9F\x98\x80");
}

// ---- raw strings for font decoding ------------------------------------------------

TEST(LexRawString, LiteralAndHex)
{
    struct Case {
        bool hex;
        std::string in;
        int result;
        std::string raw;
        std::int64_t end;
    };
    const Case cases[] = {
        {false, "(a\\101(b)) Tj", 5, "aA(b)", 10},
        {false, "(\\0)", 1, std::string(1, '\0'), 4},
        {false, "(\xFE\xFF)", 2, "\xFE\xFF", 4},
        {false, "()", 0, "", 2},
        {false, "(", -1, "", 0},
        {false, "(ab\\", -1, "", 0},
        {false, "(ab", -1, "", 0},
        {true, "<41 42\n4>", 3, "AB\x40", 9},
        {true, "<4x1>", 1, "A", 5},
        {true, "<>", 0, "", 2},
        {true, "<", -1, "", 0},
        {true, "<<41>>", -1, "", 0},
        {true, "<41", -1, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const auto d = bytes_of(c.in);
        std::vector<std::uint8_t> out(RAW_STRING_BYTES);
        std::int64_t pos = 0;
        const int r = c.hex ? rd_raw_hex(d, pos, out.data()) : rd_raw_literal(d, pos, out.data());
        ASSERT_EQ(r, c.result);
        EXPECT_EQ(pos, c.end);
        if (r >= 0) {
            EXPECT_EQ(std::string(out.begin(), out.begin() + r), c.raw);
        }
    }
}

TEST(LexRawString, StoresAtMost1024BytesButReadsToTheEnd)
{
    std::vector<std::uint8_t> out(RAW_STRING_BYTES);
    const auto lit = bytes_of("(" + std::string(2000, 'q') + ")");
    std::int64_t pos = 0;
    EXPECT_EQ(rd_raw_literal(lit, pos, out.data()), 1024);
    EXPECT_EQ(pos, 2002);
    std::string hex = "<";
    for (int i = 0; i < 1500; ++i) hex += "41";
    hex += "4>";
    const auto h = bytes_of(hex);
    pos = 0;
    EXPECT_EQ(rd_raw_hex(h, pos, out.data()), 1024);
    EXPECT_EQ(pos, static_cast<std::int64_t>(hex.size()));
}

// ---- skipping values --------------------------------------------------------------

TEST(LexSkipValue, EndsWhereTheValueEnds)
{
    struct Case {
        std::string in;
        std::int64_t end;
    };
    const Case cases[] = {
        {"", 0},
        {"   ", 3},
        {"  /Name rest", 7},
        {"/A#20B/C", 6},
        {"/ x", 1},                          // no valid name: just the "/"
        {"<< /A (>>) /B 1 >> x", 18},        // ">>" inside a string does not count
        {"<< /A <AB>> >> x", 11},            // "<AB>" then ">": first ">>" closes
        {"<< /A <AB>>> x", 11},              // closes one byte early, before the last ">"
        {"<< /A << /B 1 >> >>x", 19},
        {"<< /A 1", 7},
        {"[1 (]) [2]] x", 11},
        {"[ (a\\)]) ] x", 10},
        {"[ (", 3},
        {"{ { } } x", 7},
        {"{ (}) } x", 4},                    // strings are not recognised in braces
        {"(a\\)b) x", 6},
        {"(a(b)c) x", 7},
        {"(ab\\", 4},
        {"<414243> x", 8},
        {"<41", 3},
        {"12 0 R x", 6},
        {"12 0 R", 6},
        {"12 0 Rx", 2},
        {"12 0 obj", 2},
        {"-3 -4 R ", 7},
        {"3 +4 R ", 1},                      // a second number must start with a digit or "-"
        {"1.5 2.5 3.5", 3},
        {"+ x", 1},
        {"true]", 4},
        {"]x", 2},
        {"endobj\x0C" "x", 8},               // form feed is no delimiter here
        {"%c\n 5 ", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const auto d = bytes_of(c.in);
        std::int64_t pos = 0;
        rd_skip_value(d, pos);
        EXPECT_EQ(pos, c.end);
    }
}

TEST(LexSkipValue, DeepNestingIsLinear)
{
    // 200000 nested arrays and dictionaries: counted, never recursed into.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const auto d = bytes_of(deep);
    std::int64_t pos = 0;
    rd_skip_value(d, pos);
    EXPECT_EQ(pos, static_cast<std::int64_t>(deep.size()));
    std::string dict;
    for (int i = 0; i < 100000; ++i) dict += "<</A ";
    for (int i = 0; i < 100000; ++i) dict += ">>";
    const auto dd = bytes_of(dict);
    pos = 0;
    rd_skip_value(dd, pos);
    EXPECT_EQ(pos, static_cast<std::int64_t>(dict.size()));
    EXPECT_EQ(dict_end(dd, 0), static_cast<std::int64_t>(dict.size()));
}

// ---- dictionaries ---------------------------------------------------------------------

TEST(LexDict, StartAndEnd)
{
    struct Case {
        std::string in;
        int start;
        std::int64_t end;
    };
    const Case cases[] = {
        {"<< <<>> >>x", 2, 10},
        {"{{}}x", 1, 4},
        {"<< (>>) >>", 2, 6},                // strings are not recognised
        {"<< /A 1", 2, 7},                   // no closer: end of data
        {"{ ", 1, 2},
        {"<", 0, 1},
        {"x<<", 0, 1},
        {"[", 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const auto d = bytes_of(c.in);
        EXPECT_EQ(dict_start(d, 0), c.start);
        EXPECT_EQ(dict_end(d, 0), c.end);
    }
}

struct seen_key {
    std::string key;
    std::int64_t value_pos;
};

void collect_cb(std::string_view key, std::int64_t value_pos, void* user)
{
    static_cast<std::vector<seen_key>*>(user)->push_back({std::string(key), value_pos});
}

TEST(LexDict, WalksKeysWithValuePositions)
{
    struct Case {
        std::string in;
        std::vector<seen_key> keys;
        std::int64_t end;
    };
    const std::string long_key(300, 'K');
    const Case cases[] = {
        {"<< /Type /Page /Kids [1 0 R] >> x", {{"Type", 9}, {"Kids", 21}}, 31},
        {"<</A#20B 1/C<</D 2>>>>", {{"A B", 9}, {"C", 12}}, 22},
        {"<< /A %c\n 1 >>", {{"A", 10}}, 14},
        {"{ /Font 5 0 R }x", {{"Font", 8}}, 15},
        {"<< /A 1 }", {{"A", 6}}, 9},        // either closer ends the walk
        {"{ /A 1 >>", {{"A", 5}}, 9},
        {"<< /A 1 (x) /B 2 >>", {{"A", 6}}, 11},   // a key that is no name stops the walk
        {"<< /A 1 ", {{"A", 6}}, 8},
        {"<< /A", {{"A", 5}}, 5},
        {"<< /" + long_key + " 1 /B 2 >>", {{long_key.substr(0, 255), 305}, {"B", 310}}, 314},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        const auto d = bytes_of(c.in);
        std::vector<seen_key> seen;
        std::int64_t pos = 0;
        rd_dict(d, pos, collect_cb, &seen);
        ASSERT_EQ(seen.size(), c.keys.size());
        for (std::size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].key, c.keys[i].key);
            EXPECT_EQ(seen[i].value_pos, c.keys[i].value_pos);
        }
        EXPECT_EQ(pos, c.end);
    }
    const auto not_dict = bytes_of("[ /A 1 ]");
    std::vector<seen_key> seen;
    std::int64_t pos = 0;
    rd_dict(not_dict, pos, collect_cb, &seen);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(pos, 0);
}

TEST(LexDict, FindIgnoresCaseAndTakesTheFirstKey)
{
    const auto d = bytes_of("<< /Type /Catalog /Pages 2 0 R /TYPE /Other >>");
    std::int64_t at = -1;
    ASSERT_TRUE(dict_find(d, 0, "type", at));
    EXPECT_EQ(at, 9);
    ASSERT_TRUE(dict_find(d, 0, "pages", at));
    EXPECT_EQ(at, 25);
    at = -1;
    EXPECT_FALSE(dict_find(d, 0, "Kids", at));
    EXPECT_EQ(at, -1);
    EXPECT_FALSE(dict_find(d, 1, "Type", at));   // not at an opener
    const auto nested = bytes_of("<< /A << /Type /Inner >> /Type /Outer >>");
    ASSERT_TRUE(dict_find(nested, 0, "Type", at));
    EXPECT_EQ(at, 31);
}

}  // namespace
