// Name stems: the title found by font size, PDF dates, the sanitiser, and the
// stem per strategy with its messages and its 200-byte cut.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "naming.h"

namespace {

using tavrik::ppdf_info;

struct line_spec {
    std::string text;
    double size;
};

std::unique_ptr<ppdf_info> make_info(const std::vector<line_spec>& lines, const std::string& title = "",
                                     const std::string& created = "", const std::string& modified = "")
{
    auto info = std::make_unique<ppdf_info>();
    std::snprintf(info->title, sizeof info->title, "%s", title.c_str());
    std::snprintf(info->creation_date, sizeof info->creation_date, "%s", created.c_str());
    std::snprintf(info->mod_date, sizeof info->mod_date, "%s", modified.c_str());
    for (const auto& l : lines) {
        auto& slot = info->lines[info->line_count++];
        std::snprintf(slot.text, sizeof slot.text, "%s", l.text.c_str());
        slot.font_size = l.size;
    }
    return info;
}

std::string words(const char* prefix, int from, int to)
{
    std::string out;
    for (int i = from; i <= to; ++i)
        out += (out.empty() ? "" : " ") + std::string(prefix) + std::to_string(i);
    return out;
}

// ---- pick_title_line --------------------------------------------------------------

struct TitleCase {
    const char* name;
    std::vector<line_spec> lines;
    std::string expect;
};

class TitleLine : public ::testing::TestWithParam<TitleCase> {};

TEST_P(TitleLine, PicksTheLargestRun)
{
    const auto info = make_info(GetParam().lines);
    EXPECT_EQ(tavrik::pick_title_line(*info), GetParam().expect);
}

std::vector<line_spec> thirty_lines_with_run_of_ten()
{
    std::vector<line_spec> lines;
    for (int i = 1; i <= 20; ++i)
        lines.push_back({"body" + std::to_string(i), 10});
    for (int i = 1; i <= 10; ++i)
        lines.push_back({"L" + std::to_string(i), 16});
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Naming, TitleLine,
    ::testing::Values(
        TitleCase{"NoLines", {}, ""},
        TitleCase{"MergesTwoLargeLines",
                  {{"Company Letterhead", 10}, {"Annual Report", 24}, {"2023", 24}, {"Page text", 10}},
                  "Annual Report 2023"},
        TitleCase{"MajorityOfFiveGivesFirstAlone", {{"a", 12}, {"B", 20}, {"C", 20}, {"d", 10}, {"E", 20}}, "B"},
        TitleCase{"ThreeEqualLinesAreMerged", {{"X", 11}, {"Y", 11}, {"Z", 11}}, "X Y Z"},
        TitleCase{"RunOfTenMergesEight", thirty_lines_with_run_of_ten(), words("L", 1, 8)},
        TitleCase{"StopsAfterPassing180",
                  {{std::string(100, 'a'), 9}, {std::string(100, 'b'), 9}, {std::string(100, 'c'), 9}},
                  std::string(100, 'a') + " " + std::string(100, 'b')},
        TitleCase{"LongChosenLineComesBackWhole", {{std::string(600, 'x'), 20}, {"small", 10}}, std::string(600, 'x')},
        TitleCase{"LineBeyond510IsLeftOut",
                  {{std::string(150, 'a'), 9}, {std::string(400, 'b'), 9}, {"c", 9}},
                  std::string(150, 'a')},
        TitleCase{"SizeZeroStillWins", {{"First", 0}, {"Second", 0}}, "First Second"},
        TitleCase{"SmallerLineEndsTheMerge", {{"A", 24}, {"B", 20}, {"C", 24}}, "A"},
        TitleCase{"EmptyLineInRunIsPassedOver", {{"A", 20}, {"", 20}, {"B", 20}}, "A B"},
        TitleCase{"EmptyChosenLineFallsBackToFirstText", {{"", 30}, {"Body", 10}}, "Body"},
        TitleCase{"NoSizeAboveMinusOneFallsBackToFirstText", {{"", -2}, {"Text", -1}}, "Text"},
        TitleCase{"NaNNeverWins", {{"N", NAN}, {"F", 5}}, "F"},
        TitleCase{"TieKeepsEarliestAndMergesOnlyTheRun", {{"T1", 18}, {"x", 9}, {"T2", 18}}, "T1"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- parse_pdf_date ------------------------------------------------------------------

struct DateCase {
    const char* name;
    const char* text;
    const char* expect;   // nullptr: no date
};

class PdfDate : public ::testing::TestWithParam<DateCase> {};

TEST_P(PdfDate, Parses)
{
    char out[32] = "untouched";
    const int ok = tavrik::parse_pdf_date(GetParam().text, out);
    if (GetParam().expect == nullptr) {
        EXPECT_EQ(ok, 0);
        EXPECT_STREQ(out, "untouched");
    } else {
        EXPECT_EQ(ok, 1);
        EXPECT_STREQ(out, GetParam().expect);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Naming, PdfDate,
    ::testing::Values(DateCase{"Full", "D:20240115093000Z", "2024-01-15"},
                      DateCase{"WithZoneApostrophes", "D:20230612074502+01'00'", "2023-06-12"},
                      DateCase{"SingleDigitDay", "D:2024011", "2024-01-01"},
                      DateCase{"DayZeroEndsWithoutDashedTry", "D:202401Z", nullptr},
                      DateCase{"CompactDayZeroDespiteDashes", "D:202401-2024-01-05", nullptr},
                      DateCase{"Dashed", "2024-1-5", "2024-01-05"},
                      DateCase{"DashedWithSpacesAfterDashes", "on 2024- 1-  5", "2024-01-05"},
                      DateCase{"DashedNeedsDashRightAfterNumber", "2024 -01-05", nullptr},
                      DateCase{"DashedNeedsThreeNumbers", "2024-01", nullptr},
                      DateCase{"TooShortWithoutDash", "D:2024", nullptr},
                      DateCase{"Year2101", "D:21010101", nullptr},
                      DateCase{"Year1899", "D:18991231", nullptr},
                      DateCase{"Year1900", "D:19000101", "1900-01-01"},
                      DateCase{"Year2100", "D:21001231", "2100-12-31"},
                      DateCase{"Month13", "D:20241301", nullptr},
                      DateCase{"Day32", "D:20240132", nullptr},
                      DateCase{"DayNotCheckedAgainstMonth", "D:20240231", "2024-02-31"},
                      DateCase{"NoDigits", "D:yesterday", nullptr},
                      DateCase{"Empty", "", nullptr},
                      DateCase{"OverflowDoesNotWrapIntoRange", "2024-4294967297-1", nullptr}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- sanitize_name -------------------------------------------------------------------

struct SanitizeCase {
    const char* name;
    std::string stem;
    std::string expect;
};

class Sanitize : public ::testing::TestWithParam<SanitizeCase> {};

TEST_P(Sanitize, Cleans) { EXPECT_EQ(tavrik::sanitize_name(GetParam().stem.c_str()), GetParam().expect); }

INSTANTIATE_TEST_SUITE_P(
    Naming, Sanitize,
    ::testing::Values(SanitizeCase{"ReservedPunctuation", "a/b:c*d?", "abcd"},
                      SanitizeCase{"SpacesTabsLineEnds", "  Report\t\t2024\r\n ", "Report 2024"},
                      SanitizeCase{"AngleBracketsAndBar", "x<>|y", "xy"},
                      SanitizeCase{"WindowsPath", "C:\\Docs\\file", "CDocsfile"},
                      SanitizeCase{"Percent", "50% off", "50 off"},
                      SanitizeCase{"QuoteAndDel", "say \"hi\"\x7F", "say hi"},
                      SanitizeCase{"Utf8PassesThrough", "D\xC3\xA9j\xC3\xA0 vu", "D\xC3\xA9j\xC3\xA0 vu"},
                      SanitizeCase{"VerticalTabRemoved", "a\vb", "ab"},
                      SanitizeCase{"OtherPunctuationKept", ".a'#&;=[]{}!.", ".a'#&;=[]{}!."},
                      SanitizeCase{"OnlyRemovable", "???", ""},
                      SanitizeCase{"RemovedByteBetweenSpaces", "a ? b", "a b"},
                      SanitizeCase{"CapAt511", std::string(600, 'k'), std::string(511, 'k')}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- suggest_stem ----------------------------------------------------------------------

class Stem : public ::testing::Test {
protected:
    void SetUp() override { tavrik::set_error("no error"); }
    static std::string error() { return tavrik::g_last_error; }
};

TEST_F(Stem, TitleStrategyPrefersMetadata)
{
    const auto info = make_info({{"Big Heading", 30}}, "Annual Report");
    EXPECT_STREQ(tavrik::suggest_stem(*info, 0), "Annual Report");
    const auto untitled = make_info({{"small", 9}, {"Big Heading", 30}});
    EXPECT_STREQ(tavrik::suggest_stem(*untitled, 0), "Big Heading");
    EXPECT_EQ(error(), "no error");
}

TEST_F(Stem, FirstLineStrategyIgnoresSizes)
{
    const auto info = make_info({{"", 50}, {"first", 8}, {"HUGE", 72}}, "Title");
    EXPECT_STREQ(tavrik::suggest_stem(*info, 1), "first");
}

TEST_F(Stem, DateTitleStrategy)
{
    struct {
        const char* title;
        std::vector<line_spec> lines;
        const char* created;
        const char* modified;
        const char* expect;
    } cases[] = {
        {"Minutes", {}, "D:20240115093000Z", "", "2024-01-15 Minutes"},
        {"Minutes", {}, "D:2024", "D:20230302", "2023-03-02 Minutes"},
        {"", {{"Heading", 20}, {"body", 10}}, "D:20240115", "", "2024-01-15 Heading"},
        {"", {}, "D:20240115", "", "2024-01-15"},
        {"Minutes", {}, "garbage", "", "Minutes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expect);
        const auto info = make_info(c.lines, c.title, c.created, c.modified);
        EXPECT_STREQ(tavrik::suggest_stem(*info, 2), c.expect);
    }
}

TEST_F(Stem, EachStrategyWordsItsFailure)
{
    const char* const messages[] = {"PDF has no title metadata and no extractable text", "no extractable text in PDF",
                                    "PDF has neither date nor title"};
    const auto empty = make_info({});
    const auto blank_lines = make_info({{"", 12}, {"", 0}});
    for (int strategy = 0; strategy < 3; ++strategy) {
        for (const auto* info : {empty.get(), blank_lines.get()}) {
            SCOPED_TRACE(strategy);
            tavrik::set_error("no error");
            EXPECT_STREQ(tavrik::suggest_stem(*info, strategy), "");
            EXPECT_EQ(error(), messages[strategy]);
        }
    }
}

TEST_F(Stem, LongDateTitleKeepsAtMost200Bytes)
{
    const auto info = make_info({}, std::string(511, 't'), "D:20240115");
    const std::string stem = tavrik::suggest_stem(*info, 2);
    EXPECT_EQ(stem, "2024-01-15 " + std::string(189, 't'));
}

// The cut counts bytes but never leaves half a UTF-8 character at the end.
TEST_F(Stem, CutAt200BytesKeepsWholeCharacters)
{
    const std::string e_acute = "\xC3\xA9";
    const std::string euro = "\xE2\x82\xAC";
    const std::string emoji = "\xF0\x9F\x93\x84";
    struct {
        const char* name;
        std::string title;
        std::string expect;
    } cases[] = {
        {"Ascii250", std::string(250, 'a'), std::string(200, 'a')},
        {"TwoByteAcrossCut", std::string(199, 'a') + e_acute + "zz", std::string(199, 'a')},
        {"TwoByteEndsAtCut", std::string(198, 'a') + e_acute + "zz", std::string(198, 'a') + e_acute},
        {"ThreeByteAcrossCut", std::string(198, 'a') + euro + "zz", std::string(198, 'a')},
        {"FourByteAcrossCut", std::string(197, 'a') + emoji + "zz", std::string(197, 'a')},
        {"FourByteEndsAtCut", std::string(196, 'a') + emoji + "zz", std::string(196, 'a') + emoji},
        {"CharacterRightAfterCut", std::string(200, 'a') + e_acute, std::string(200, 'a')},
        {"StrayContinuationBytesStay", std::string(197, 'a') + "\x80\x80\x80" + "zz",
         std::string(197, 'a') + "\x80\x80\x80"},
        {"Exactly200Untouched", std::string(198, 'a') + "\xC3", std::string(198, 'a') + "\xC3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto info = make_info({}, c.title);
        EXPECT_EQ(std::string(tavrik::suggest_stem(*info, 0)), c.expect);
    }
}

TEST_F(Stem, LongLineIsCut)
{
    const auto info = make_info({{std::string(1000, 'w'), 12}});
    EXPECT_EQ(std::strlen(tavrik::suggest_stem(*info, 1)), 200u);
    EXPECT_EQ(std::strlen(tavrik::suggest_stem(*info, 0)), 200u);
}

}  // namespace
