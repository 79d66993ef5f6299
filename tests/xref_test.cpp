// Classic cross-reference tables, trailers, the chain of sections and the
// startxref search.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "pdf_parse.h"
#include "reader_fixture.h"

using tavrik_test::build_pdf;
using tavrik_test::pdf_object;
using tavrik_test::pdf_options;

namespace {

using tavrik_test::reader;

std::int64_t pos_of(const std::string& file, const std::string& text)
{
    const auto p = file.rfind(text);
    return p == std::string::npos ? -1 : static_cast<std::int64_t>(p);
}

std::string row(long long offset, int gen, char type)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%010lld %05d %c\r\n", offset, gen, type);
    return buf;
}

// Appends an incremental update: the objects, a table with one subsection per
// object, and a trailer pointing back at the previous section.
std::string append_update(const std::string& base, const std::vector<pdf_object>& objects,
                          const std::string& trailer_entries)
{
    const auto start = base.rfind("startxref\n");
    const std::string prev = base.substr(start + 10, base.find('\n', start + 10) - start - 10);
    std::string out = base;
    std::vector<std::pair<int, std::size_t>> placed;
    for (const auto& o : objects) {
        placed.emplace_back(o.num, out.size());
        out += std::to_string(o.num) + " 0 obj\n" + o.body + "\nendobj\n";
    }
    const std::size_t xref_pos = out.size();
    out += "xref\n";
    for (const auto& [num, at] : placed)
        out += std::to_string(num) + " 1\n" + row(static_cast<long long>(at), 0, 'n');
    out += "trailer\n<< /Prev " + prev + " " + trailer_entries + " >>\nstartxref\n" + std::to_string(xref_pos) +
           "\n%%EOF\n";
    return out;
}

const std::vector<pdf_object> k_three = {
    {1, "<< /Type /Catalog /Pages 2 0 R >>"},
    {2, "<< /Type /Pages /Kids [] /Count 0 >>"},
    {3, "<< /Title (three) >>"},
};

}  // namespace

// ---- startxref ----------------------------------------------------------------

struct startxref_case {
    const char* name;
    std::string bytes;
    std::int64_t expect;
};

class StartxrefSearch : public ::testing::TestWithParam<startxref_case> {};

TEST_P(StartxrefSearch, FindsTheLastCandidateFollowedByDigits)
{
    reader r(GetParam().bytes);
    EXPECT_EQ(tavrik::find_startxref(r.ctx), GetParam().expect);
}

INSTANTIATE_TEST_SUITE_P(
    Xref, StartxrefSearch,
    ::testing::Values(
        startxref_case{"LaterOfTwoWins", "%PDF-1.4\nstartxref\n111\n%%EOF\nstartxref\n222\n%%EOF\n", 222},
        startxref_case{"TabIsNotSteppedOver", "%PDF-1.4\nstartxref\n111\nstartxref\t222\n", 111},
        startxref_case{"NoDigitsKeepsEarlier", "%PDF-1.4\nstartxref\n111\nstartxref\n%%EOF\n", 111},
        startxref_case{"CrLfAndSpacesStepped", "%PDF-1.4\nstartxref\r\n \r333", 333},
        startxref_case{"KeywordAsLastBytesIgnored", "%PDF-1.4\nstartxref 44 startxref", 44},
        startxref_case{"OnlyFarFromTheEnd", "%PDF-1.4\nstartxref\n555\n" + std::string(3000, 'x'), 555},
        startxref_case{"TailWinsOverFar",
                       "%PDF-1.4\nstartxref\n1\n" + std::string(3000, 'x') + "startxref\n2\n", 2},
        startxref_case{"TailWithoutDigitsFallsBackToWholeFile",
                       "%PDF-1.4\nstartxref\n7\n" + std::string(3000, 'x') + "startxref\t9\n", 7},
        startxref_case{"StraddlingTheWindow",
                       "%PDF-1.4\nstartxref" + std::string(2046, ' ') + "42", 42},
        startxref_case{"Missing", "%PDF-1.4\n1 0 obj\n<< >>\nendobj\n", -1}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- classic sections ----------------------------------------------------------

TEST(XrefChain, NewestEntryOfAnIncrementalUpdateWins)
{
    const std::string base = build_pdf(k_three);
    const std::string file = append_update(base, {{3, "<< /Title (new) >>"}}, "");
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.offset(3), pos_of(file, "3 0 obj"));
    EXPECT_NE(r.offset(3), pos_of(base, "3 0 obj"));
    EXPECT_EQ(r.offset(1), pos_of(base, "1 0 obj"));
    EXPECT_EQ(r.ctx.xref_known, 3);
}

struct trailer_case {
    const char* name;
    std::string newest_entries;
    std::int64_t root;
    std::int64_t info;
};

class TrailerValues : public ::testing::TestWithParam<trailer_case> {};

// The base trailer has Root 1 and Info 3; the update's trailer varies.
TEST_P(TrailerValues, NewestTrailerHavingTheKeyWins)
{
    pdf_options opt;
    opt.info = 3;
    const std::string file = append_update(build_pdf(k_three, opt), {{4, "<< >>"}}, GetParam().newest_entries);
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.ctx.root, GetParam().root);
    EXPECT_EQ(r.ctx.info_obj, GetParam().info);
}

INSTANTIATE_TEST_SUITE_P(Xref, TrailerValues,
                         ::testing::Values(trailer_case{"RootOnlyInOlder", "", 1, 3},
                                           trailer_case{"RootInBoth", "/Root 4 0 R /Info 4 0 R", 4, 4},
                                           trailer_case{"FirstRootOfOneDictionary", "/Root 4 0 R /Root 2 0 R", 4, 3},
                                           trailer_case{"UnreadableRootLeavesOlder", "/Root 4 0 X", 1, 3}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(XrefChain, EncryptWithAnyValueMarksTheDocument)
{
    pdf_options opt;
    opt.trailer_extra = "/Encrypt null";
    reader r(build_pdf(k_three, opt));
    r.load_xref();
    EXPECT_EQ(r.ctx.encrypted, 1);
}

TEST(XrefChain, LastPrevOfATrailerIsFollowed)
{
    const std::string base = build_pdf(k_three);
    std::string file = append_update(base, {{4, "<< >>"}}, "");
    // A bogus Prev before the real one: the later key replaces it.
    const auto p = file.rfind("/Prev ");
    file.insert(p, "/Prev 1 ");
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.offset(1), pos_of(base, "1 0 obj"));
    EXPECT_EQ(r.ctx.xref_known, 4);
}

TEST(XrefChain, ReadsTheWholeHistory)
{
    // Twelve sections, each adding one object; only the oldest trailer has Root.
    std::string file = build_pdf({{1, "<< >>"}}, pdf_options{});
    for (int n = 2; n <= 12; ++n)
        file = append_update(file, {{n, "<< >>"}}, "");
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.offset(1), static_cast<std::int64_t>(file.find("1 0 obj")));
    for (int n = 2; n <= 12; ++n)
        EXPECT_EQ(r.offset(n), pos_of(file, "\n" + std::to_string(n) + " 0 obj") + 1) << n;
    EXPECT_EQ(r.ctx.root, 1);
}

TEST(XrefChain, PrevPointingAtItselfEnds)
{
    std::string file = build_pdf(k_three);
    const std::string xref_pos = std::to_string(pos_of(file, "xref\n0 "));
    file.insert(file.rfind(" >>\nstartxref"), " /Prev " + xref_pos);
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.ctx.xref_known, 3);
    EXPECT_EQ(r.ctx.prev, -1);
}

// Tables written by hand: objects 1 to 3, then rows and a trailer as given.
struct section_case {
    const char* name;
    std::string table;   // from "xref" to just before "trailer"
    int known;
    bool trailer_read;
};

class ClassicSection : public ::testing::TestWithParam<section_case> {};

TEST_P(ClassicSection, StepsRowsAndEndsWhereTheTableBreaks)
{
    const std::string file = GetParam().table + "trailer\n<< /Root 1 0 R >>\nstartxref\n9\n%%EOF\n";
    reader r("%PDF-1.4\n" + file);
    r.load_xref();
    EXPECT_EQ(r.ctx.xref_known, GetParam().known);
    EXPECT_EQ(r.ctx.root, GetParam().trailer_read ? 1 : -1);
}

INSTANTIATE_TEST_SUITE_P(
    Xref, ClassicSection,
    ::testing::Values(
        section_case{"TwoSubsections", "xref\n0 2\n" + row(0, 65535, 'f') + row(100, 0, 'n') + "7 1\n" + row(200, 0, 'n'),
                     2, true},
        section_case{"EmptySubsectionThenRows", "xref\n0 0\n1 1\n" + row(100, 0, 'n'), 1, true},
        section_case{"FreeRowAndZeroPosition", "xref\n0 3\n" + row(0, 65535, 'f') + row(0, 0, 'n') + row(300, 0, 'f'),
                     0, true},
        section_case{"NegativeRowPosition", "xref\n1 1\n-000000100 00000 n\r\n", 0, true},
        section_case{"SingleLfRowsFallOutOfStep",
                     "xref\n0 3\n0000000000 65535 f\n0000000100 00000 n\n0000000200 00000 n\n", 0, false},
        section_case{"UnknownTypeEndsSection",
                     "xref\n1 3\n" + row(100, 0, 'n') + "0000000200 00000 x\r\n" + row(300, 0, 'n'), 1, false},
        section_case{"CountOverLimit", "xref\n0 5000001\n" + row(100, 0, 'n'), 0, false},
        section_case{"CountAtLimitRunsOutOfRows", "xref\n1 5000000\n" + row(100, 0, 'n'), 1, false},
        section_case{"NegativeCount", "xref\n0 -1\n" + row(100, 0, 'n'), 0, false},
        section_case{"MissingCount", "xref\n0 trailer\n", 0, false},
        section_case{"LargeObjectNumbers",
                     "xref\n9998 4\n" + row(100, 0, 'n') + row(200, 0, 'n') + row(300, 0, 'n') + row(400, 0, 'n') +
                         "2147483646 2\n" + row(500, 0, 'n') + row(600, 0, 'n'),
                     5, true},
        section_case{"HugeFirstObjectNumber", "xref\n1e300 1\n" + row(100, 0, 'n'), 0, true},
        section_case{"CommentBeforeTrailer", "xref\n1 1\n" + row(100, 0, 'n') + "% note\n", 1, true},
        section_case{"GarbageEndsSection", "xref\n1 1\n" + row(100, 0, 'n') + "junk\n", 1, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(XrefChain, StartxrefMustPointExactlyAtXref)
{
    std::string file = build_pdf(k_three);
    const std::string real = std::to_string(pos_of(file, "xref\n0 "));
    const std::string off_by_one = std::to_string(pos_of(file, "xref\n0 ") - 1);
    file.replace(file.rfind(real), real.size(), off_by_one);
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.ctx.xref_known, 0);
    EXPECT_EQ(r.ctx.root, -1);
}

TEST(XrefChain, KeepsTheRecordedOffsetsUnverified)
{
    pdf_options opt;
    opt.offset_shift = -3;   // into the previous object's "endobj" line
    const std::string file = build_pdf(k_three, opt);
    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.offset(2), pos_of(file, "2 0 obj") - 3);
}

TEST(XrefChain, HugeSubsectionOfShortRowsEndsQuickly)
{
    // Five million rows announced, a few present: the table ends at the data's end.
    const std::string file = "%PDF-1.4\nxref\n0 5000000\n" + std::string(2000, '0') + "\nstartxref\n9\n";
    reader r(file);
    const auto t0 = std::chrono::steady_clock::now();
    r.load_xref();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(r.ctx.xref_known, 0);
}
