// The content-stream text scanner: line breaks, word spaces, font sizes, the line
// filter, operands read backwards, and linear time on hostile streams.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tavrik {
namespace {

byte_view bytes_of(std::string_view s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::unique_ptr<ppdf_info> new_info()
{
    auto info = std::make_unique<ppdf_info>();
    std::memset(info.get(), 0, sizeof(ppdf_info));
    return info;
}

struct line_out {
    std::string text;
    double size;
    bool operator==(const line_out&) const = default;
};

void PrintTo(const line_out& l, std::ostream* os) { *os << '"' << l.text << "\"@" << l.size; }

std::vector<line_out> lines_of(const ppdf_info& info)
{
    std::vector<line_out> out;
    for (int k = 0; k < info.line_count; ++k)
        out.push_back({info.lines[k].text, info.lines[k].font_size});
    return out;
}

std::vector<line_out> scan(std::string_view content, font_map* fonts = nullptr)
{
    auto info = new_info();
    scan_state state;
    state.fonts = fonts;
    content_scan(bytes_of(content), *info, state);
    return lines_of(*info);
}

// F1 maps A to X (one byte); F2 is two-byte and maps 0x0041 to Y.
struct test_fonts {
    font_map map;
    test_fonts()
    {
        pdf_font* f1 = fm_add(map, "F1");
        pf_set_char(*f1, 'A', "X");
        pf_finalize(f1);
        pdf_font* f2 = fm_add(map, "F2");
        f2->code_bytes = 2;
        pf_set_char(*f2, 0x41, "Y");
        pf_finalize(f2);
    }
    ~test_fonts() { fm_free(map); }
};

struct scan_case {
    const char* name;
    std::string content;
    std::vector<line_out> lines;
};

void PrintTo(const scan_case& c, std::ostream* os) { *os << c.name; }

class ContentScan : public ::testing::TestWithParam<scan_case> {};

TEST_P(ContentScan, Lines)
{
    test_fonts fonts;
    EXPECT_EQ(scan(GetParam().content, &fonts.map), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Breaks, ContentScan, ::testing::Values(
    scan_case{"VerticalTd", "BT /F9 12 Tf 72 700 Td (Hello) Tj 0 -14 Td (World) Tj ET", {{"Hello", 12}, {"World", 12}}},
    scan_case{"HorizontalTd", "(Hel) Tj 5 0 Td (lo) Tj", {{"Hel lo", 0}}},
    scan_case{"HorizontalTDNoDoubleSpace", "(a ) Tj 5 0 TD (b) Tj", {{"a b", 0}}},
    scan_case{"TdWithoutOperands", "(a) Tj Td (b) Tj", {{"a", 0}, {"b", 0}}},
    scan_case{"TmSameY", "1 0 0 1 10 700 Tm (A) Tj 1 0 0 1 50 700 Tm (B) Tj", {{"A B", 0}}},
    scan_case{"TmOtherY", "1 0 0 1 10 700 Tm (A) Tj 1 0 0 1 10 680 Tm (B) Tj", {{"A", 0}, {"B", 0}}},
    scan_case{"FirstTmFlushes", "(X) Tj 1 0 0 1 0 700 Tm (Y) Tj", {{"X", 0}, {"Y", 0}}},
    scan_case{"ShortTmFlushesKeepsY", "1 0 0 1 0 5 Tm (A) Tj 0 5 Tm (B) Tj 1 0 0 1 0 5 Tm (C) Tj",
              {{"A", 0}, {"B C", 0}}},
    scan_case{"TStar", "(A) Tj T* (B) Tj", {{"A", 0}, {"B", 0}}},
    scan_case{"SingleQuote", "(A) Tj (B) '", {{"A", 0}, {"B", 0}}},
    scan_case{"DoubleQuote", "(A) Tj 1 2 (B) \"", {{"A", 0}, {"B", 0}}},
    scan_case{"ETXIsNoET", "(A) Tj ETX (B) Tj", {{"AB", 0}}},
    scan_case{"ETAtEnd", "(A) Tj ET", {{"A", 0}}},
    scan_case{"BTAloneJoins", "BT (A) Tj BT (B) Tj ET", {{"AB", 0}}},
    scan_case{"BlocksSplitAtET", "BT (A) Tj ET BT (B) Tj ET", {{"A", 0}, {"B", 0}}},
    scan_case{"UnshownString", "(Hidden) Td (Shown) Tj", {{"Shown", 0}}},
    scan_case{"HexString", "<48 65 6c6C6F> Tj <5> Tj", {{"HelloP", 0}}},
    scan_case{"DictOpenerIsNoHexString", "<</A 1>> (x) Tj", {{"x", 0}}},
    scan_case{"OperatorNeedsDelimiter", "(a) Tj 0 -9 Tdx (b) Tj", {{"ab", 0}}},
    scan_case{"OperatorAtNameEnd", "(a) Tj /MyT* (b) Tj", {{"a", 0}, {"b", 0}}},
    scan_case{"UnterminatedString", "(a) Tj (b", {{"a", 0}}},
    scan_case{"Empty", "", {}}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(Arrays, ContentScan, ::testing::Values(
    scan_case{"SmallKernJoins", "[(Hel) -50 (lo)] TJ", {{"Hello", 0}}},
    scan_case{"WideKernSpaces", "[(Hello) -250 (World)] TJ", {{"Hello World", 0}}},
    scan_case{"OneSpaceForTwoGaps", "[(A) -300 -300 (B)] TJ", {{"A B", 0}}},
    scan_case{"Exactly100", "[(A) -100 (B) -99.9 (C)] TJ", {{"A BC", 0}}},
    scan_case{"LeftwardAddsNothing", "[(A) 300 (B)] TJ", {{"AB", 0}}},
    scan_case{"NoLeadingSpace", "[-300 (A)] TJ", {{"A", 0}}},
    scan_case{"NotTJDiscarded", "[(Hidden)] Do (Shown) Tj", {{"Shown", 0}}},
    scan_case{"SpaceBeforeTJ", "[(A)]\n TJ", {{"A", 0}}},
    scan_case{"ArrayJoinsLine", "(x) Tj [(y)] TJ", {{"xy", 0}}},
    scan_case{"UnterminatedRescanned", "[(a) Tj (b) -500 (c) Tj", {{"ac", 0}}},
    scan_case{"StringHidesBracket", "[(a]) (b)] TJ", {{"a]b", 0}}}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(Fonts, ContentScan, ::testing::Values(
    scan_case{"LargestSizeWins", "/F1 8 Tf (A) Tj /F1 24 Tf (A) Tj /F1 10 Tf (A) Tj", {{"XXX", 24}}},
    scan_case{"NoTfGivesZero", "(A) Tj", {{"A", 0}}},
    scan_case{"SizeSetAfterTextIsUsed", "(A) Tj /F9 9 Tf ET", {{"A", 9}}},
    scan_case{"EmptyFlushKeepsLargest", "/F1 30 Tf (\\001) Tj ET /F1 10 Tf (A) Tj", {{"X", 30}}},
    scan_case{"SizeOfArray", "/F1 14 Tf [(A)] TJ", {{"X", 14}}},
    scan_case{"UnknownFontIsByteWise", "/F1 12 Tf (A) Tj /F9 12 Tf (A\351) Tj", {{"XA\xC3\xA9", 12}}},
    scan_case{"TwoByteFont", "/F2 12 Tf <00410042> Tj", {{"Y", 12}}},
    scan_case{"NameWithoutSpace", "/F1 12Tf (A) Tj", {{"X", 12}}},
    scan_case{"SpaceInsideNameRun", "/ F1 12 Tf (A) Tj", {{"A", 12}}},
    scan_case{"NameOfSlashesRun", "/X/F1 12 Tf (A) Tj", {{"X", 12}}},
    scan_case{"SizeUnreadable", "/F1 x Tf (A) Tj", {{"A", 0}}},
    scan_case{"NormalisedSpaces", "(A\240B) Tj", {{"A B", 0}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ContentScanLimits, TwoHundredLinesThenIgnored)
{
    std::string content;
    for (int k = 0; k < 250; ++k)
        content += "(L" + std::to_string(k) + ") Tj T*\n";
    const auto lines = scan(content);
    ASSERT_EQ(lines.size(), 200u);
    EXPECT_EQ(lines.front().text, "L0");
    EXPECT_EQ(lines.back().text, "L199");
}

// A caller that wants fewer lines gets exactly those, also where one operator
// both ends a line and starts the next.
TEST(ContentScanLimits, StopsAtTheCallersLineLimit)
{
    for (const std::string_view content : {"(A) Tj T* (B) Tj T* (C) Tj", "(A) Tj (B) ' (C) '", "[(A)] TJ ET [(B)] TJ"}) {
        SCOPED_TRACE(content);
        auto info = new_info();
        scan_state state;
        state.line_limit = 1;
        content_scan(bytes_of(content), *info, state);
        EXPECT_EQ(lines_of(*info), (std::vector<line_out>{{"A", 0}}));
    }
}

TEST(ContentScanLimits, OverlongStringDroppedWhole)
{
    const std::string a(1000, 'a');
    const auto lines = scan("(" + a + ") Tj (" + std::string(30, 'b') + ") Tj (cc) Tj");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, a + "cc");
}

TEST(ContentScanLimits, LineStopsAt1022Bytes)
{
    // 1021 bytes, then a word space brings it to 1022; nothing more fits.
    const std::string a(1000, 'a');
    const std::string b(21, 'b');
    const auto lines = scan("(" + a + ") Tj (" + b + ") Tj 5 0 Td (c) Tj 5 0 Td (d) Tj");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, a + b);   // the trailing space is trimmed on output
}

// Hostile streams that take quadratic time when every "(" or "[" is followed to
// the end of the data again.
TEST(ContentScanLimits, HostileStreamsAreLinear)
{
    struct hostile {
        const char* name;
        std::string content;
        std::size_t lines;
    };
    const std::size_t big = 400000;
    std::string slashes = "/" + std::string(big, 'A');
    for (int k = 0; k < 100000; ++k)
        slashes += "1Tf[";
    std::string arrays;
    for (int k = 0; k < 100000; ++k)
        arrays += "[(a)Tj";
    std::string hex;
    for (std::size_t k = 0; k < big / 2; ++k)
        hex += "<a";
    std::string nested = std::string(big, '[') + "(x)";
    const std::vector<hostile> cases = {
        {"OpenParens", std::string(big, '('), 0},
        {"OpenParensAfterText", "(ok) Tj " + std::string(big, '(') + "a)", 1},
        {"OpenHexStrings", hex, 0},
        {"UnclosedArrays", arrays, 1},
        {"UnclosedNestedArrays", nested, 0},
        {"LongFontNameRun", slashes, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_fonts fonts;
        const auto t0 = std::chrono::steady_clock::now();
        const auto lines = scan(c.content, &fonts.map);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_LT(took.count(), 2.0);
    }
}

TEST(ContentScanLimits, UnclosedArrayStringsStillShown)
{
    std::string content;
    for (int k = 0; k < 3000; ++k)
        content += "[(a)Tj";
    const auto lines = scan(content);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(1022, 'a'));
}

struct emit_case {
    const char* name;
    std::string text;
    const char* stored;   // null: rejected
};

void PrintTo(const emit_case& c, std::ostream* os) { *os << c.name; }

class EmitLine : public ::testing::TestWithParam<emit_case> {};

TEST_P(EmitLine, NormalisesTrimsAndFilters)
{
    auto info = new_info();
    emit_line(*info, GetParam().text.c_str(), 7.5);
    if (GetParam().stored == nullptr) {
        EXPECT_EQ(info->line_count, 0);
        return;
    }
    ASSERT_EQ(info->line_count, 1);
    EXPECT_STREQ(info->lines[0].text, GetParam().stored);
    EXPECT_EQ(info->lines[0].font_size, 7.5);
}

INSTANTIATE_TEST_SUITE_P(Emit, EmitLine, ::testing::Values(
    emit_case{"Plain", "Title", "Title"},
    emit_case{"Trimmed", " \n\t Title   ", "Title"},
    emit_case{"NoBreakSpace", "a\xC2\xA0" "b", "a b"},
    emit_case{"EmSpace", "a\xE2\x80\x83" "b", "a b"},
    emit_case{"NarrowNoBreakSpace", "a\xE2\x80\xAF" "b", "a b"},
    emit_case{"HairSpace", "a\xE2\x80\x8A" "b", "a b"},
    emit_case{"ZeroWidthSpaceRemoved", "a\xE2\x80\x8B" "b", "ab"},
    emit_case{"BomRemoved", "\xEF\xBB\xBF" "ab", "ab"},
    emit_case{"TruncatedSequenceKept", "ab\xE2\x80", "ab\xE2\x80"},
    emit_case{"OnlyUnicodeSpaces", "\xC2\xA0\xE2\x80\x83", nullptr},
    emit_case{"OnlySpaces", "   ", nullptr},
    emit_case{"Empty", "", nullptr},
    emit_case{"ThirtyPercentControl", "abcdefg\x01\x02\x03", nullptr},
    emit_case{"TwentyPercentControl", "abcdefgh\x01\x02", "abcdefgh\x01\x02"},
    emit_case{"TabIsNoControl", "ab\t\tcd", "ab\t\tcd"},
    emit_case{"TrailingLineFeedsCount", "abc\n\n", nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(EmitLineLimits, KeepsAtMost200)
{
    auto info = new_info();
    for (int k = 0; k < 205; ++k)
        emit_line(*info, ("line " + std::to_string(k)).c_str(), k);
    EXPECT_EQ(info->line_count, 200);
    EXPECT_STREQ(info->lines[199].text, "line 199");
    EXPECT_EQ(info->lines[199].font_size, 199);
}

struct nums_case {
    const char* name;
    std::string data;   // the operator follows the last byte
    int wanted;
    std::vector<double> values;
};

void PrintTo(const nums_case& c, std::ostream* os) { *os << c.name; }

class NumsBefore : public ::testing::TestWithParam<nums_case> {};

TEST_P(NumsBefore, ReadsBackwards)
{
    const auto& c = GetParam();
    const std::string data = c.data + "Op";
    double v[8];
    std::fill(std::begin(v), std::end(v), -777.0);
    const int got = nums_before(bytes_of(data), static_cast<std::int64_t>(c.data.size()), v, c.wanted);
    ASSERT_EQ(got, static_cast<int>(c.values.size()));
    for (int k = 0; k < got; ++k)
        EXPECT_DOUBLE_EQ(v[k], c.values[static_cast<std::size_t>(k)]) << k;
    EXPECT_EQ(v[got], -777.0);
}

INSTANTIATE_TEST_SUITE_P(Nums, NumsBefore, ::testing::Values(
    nums_case{"TwoInOrder", "1 0 0 1 72 -14.5 ", 2, {72, -14.5}},
    nums_case{"SixOfSix", "1 0 0 1 72 700\r\n", 6, {1, 0, 0, 1, 72, 700}},
    nums_case{"FewerAvailable", "/F1 12 ", 6, {1, 12}},
    nums_case{"StopsAtWord", "x 3 4 ", 6, {3, 4}},
    nums_case{"AtStartOfData", "", 2, {}},
    nums_case{"OnlyGaps", " \t ", 1, {}},
    nums_case{"FormFeedIsNoGap", "1\f2 ", 2, {2}},
    nums_case{"TouchingOperator", "5", 1, {5}},
    nums_case{"SignsAndPoints", "-.5 +3. ", 2, {-0.5, 3}},
    nums_case{"RunConvertedAsPrefix", "1-2 ", 1, {1}},
    nums_case{"At39Bytes", std::string(45, '1') + " ", 1, {1.11111111111111111111111111111111111111e38}},
    nums_case{"NoNumber", "(x) ", 1, {}}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tavrik
