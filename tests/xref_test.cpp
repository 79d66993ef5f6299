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

// ---- documents of any size, history and offset ------------------------------------

namespace {

using tavrik_test::stream_body;

const std::string k_hello = stream_body("", "BT /F1 12 Tf (Hello) Tj ET");

// A catalog, one page showing Hello, its font and an Info with a title, numbered
// from first on.
std::vector<pdf_object> numbered_document(int first)
{
    const auto ref = [&](int k) { return std::to_string(first + k) + " 0 R"; };
    return {
        {first, "<< /Type /Catalog /Pages " + ref(1) + " >>"},
        {first + 1, "<< /Type /Pages /Kids [" + ref(2) + "] /Count 1 >>"},
        {first + 2, "<< /Type /Page /Parent " + ref(1) + " /Resources << /Font << /F1 " + ref(4) +
                        " >> >> /Contents " + ref(3) + " >>"},
        {first + 3, k_hello},
        {first + 4, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
        {first + 5, "<< /Title (Numbered) >>"},
    };
}

struct summary {
    std::string title;
    std::string line;
    int pages = 0;
    int encrypted = 0;
    int ok = 0;
};

summary read_summary(const std::string& file)
{
    auto info = std::make_unique<tavrik::ppdf_info>();
    summary s;
    s.ok = tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info);
    s.title = info->title;
    s.line = info->line_count > 0 ? info->lines[0].text : "";
    s.pages = info->page_count;
    s.encrypted = info->encrypted;
    return s;
}

}  // namespace

struct numbering_case {
    const char* name;
    int first;
    bool stream;
};

class LargeObjectNumbers : public ::testing::TestWithParam<numbering_case> {};

TEST_P(LargeObjectNumbers, GiveTheTitleAndThePageText)
{
    const int first = GetParam().first;
    std::string file;
    if (GetParam().stream) {
        tavrik_test::xref_stream_options xo;
        xo.root = first;
        xo.info = first + 5;
        xo.sparse = true;
        file = tavrik_test::build_pdf_xref_stream(numbered_document(first), {}, xo);
    } else {
        pdf_options opt;
        opt.root = first;
        opt.info = first + 5;
        opt.sparse_xref = true;
        file = build_pdf(numbered_document(first), opt);
    }
    const summary s = read_summary(file);
    EXPECT_EQ(s.title, "Numbered");
    EXPECT_EQ(s.line, "Hello");
    EXPECT_EQ(s.pages, 1);
}

INSTANTIATE_TEST_SUITE_P(Xref, LargeObjectNumbers,
                         ::testing::Values(numbering_case{"PastTenThousand", 10000, false},
                                           numbering_case{"PastTenThousandInAStream", 10000, true},
                                           numbering_case{"FarBeyondTheEntries", 7999990, false},
                                           numbering_case{"FarBeyondTheEntriesInAStream", 7999990, true},
                                           numbering_case{"LargestNumber", 2147483641, false}),
                         [](const auto& p) { return std::string(p.param.name); });

// pdfTeX writes the catalog, the page tree and Info last, with the highest numbers.
TEST(XrefChain, ManyObjectsWithTheCatalogLast)
{
    std::vector<pdf_object> objs;
    for (int n = 1; n <= 12000; ++n)
        objs.push_back({n, "<< /N " + std::to_string(n) + " >>"});
    for (const auto& o : numbered_document(12001))
        objs.push_back(o);
    pdf_options opt;
    opt.root = 12001;
    opt.info = 12006;
    const summary s = read_summary(build_pdf(objs, opt));
    EXPECT_EQ(s.title, "Numbered");
    EXPECT_EQ(s.line, "Hello");
}

// A hybrid file: its classic table lists the objects that live in object streams as
// free, and its trailer names a cross-reference stream that has them.
TEST(XrefChain, HybridFileReadsTheStreamOfItsTrailer)
{
    std::string file = "%PDF-1.5\n";
    std::vector<std::pair<int, std::size_t>> at;
    const auto put = [&](int num, const std::string& body) {
        at.emplace_back(num, file.size());
        file += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
    };
    put(1, "<< /Type /Catalog /Pages 2 0 R >>");
    put(2, "<< /Type /Pages /Kids [] /Count 0 >>");
    put(4, tavrik_test::object_stream_body({{3, "<< /Title (Hybrid) >>"}}));
    const std::size_t stm_pos = file.size();
    const std::string rows = tavrik_test::xref_stream_rows({{2, 4, 0}}, 1, 4, 2);
    file += "5 0 obj\n" + stream_body("/Type /XRef /W [1 4 2] /Index [3 1] /Size 6", rows) + "\nendobj\n";
    const std::size_t xref_pos = file.size();
    file += "xref\n0 6\n" + row(0, 65535, 'f');
    file += row(static_cast<long long>(at[0].second), 0, 'n') + row(static_cast<long long>(at[1].second), 0, 'n') +
            row(0, 0, 'f') + row(static_cast<long long>(at[2].second), 0, 'n') + row(0, 0, 'f');
    file += "trailer\n<< /Size 6 /Root 1 0 R /Info 3 0 R /XRefStm " + std::to_string(stm_pos) + " >>\nstartxref\n" +
            std::to_string(xref_pos) + "\n%%EOF\n";
    EXPECT_EQ(read_summary(file).title, "Hybrid");
}

struct leading_case {
    const char* name;
    std::string leading;
    bool offsets_from_header;
    int ok;
};

class LeadingBytes : public ::testing::TestWithParam<leading_case> {};

// Mail and download headers before "%PDF-": offsets may count from the header (the
// file was prefixed) or from the file start (it was written so).
TEST_P(LeadingBytes, HeaderWithinTheFirstKilobyte)
{
    pdf_options opt;
    opt.header = "%PDF-1.6";
    opt.info = 6;
    opt.leading_bytes = GetParam().leading;
    opt.offsets_from_header = GetParam().offsets_from_header;
    const std::string file = build_pdf(numbered_document(1), opt);
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info), GetParam().ok);
    if (GetParam().ok == 0)
        return;
    EXPECT_STREQ(info->version, "1.6");
    EXPECT_STREQ(info->title, "Numbered");
    ASSERT_EQ(info->line_count, 1);
    EXPECT_STREQ(info->lines[0].text, "Hello");
}

INSTANTIATE_TEST_SUITE_P(
    Xref, LeadingBytes,
    ::testing::Values(leading_case{"OneSpaceOffsetsFromHeader", " ", true, 1},
                      leading_case{"MailHeaderOffsetsFromHeader", "From: a@b\r\nSubject: scan\r\n\r\n", true, 1},
                      leading_case{"MailHeaderOffsetsFromFileStart", "From: a@b\r\nSubject: scan\r\n\r\n", false, 1},
                      leading_case{"HeaderAtTheLastAcceptedByte", std::string(1023, 'x'), true, 1},
                      leading_case{"HeaderPastTheFirstKilobyte", std::string(1024, 'x'), true, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// A real manual of 90,096 objects (TeX Live's LaTeX sources, 1,221 pages, 879 object
// streams) whose catalog, page tree and Info come last.
TEST(XrefChain, LargeRealManual)
{
    const std::string path = tavrik_test::fixture("realworld/latex_base_source2e.pdf");
    struct {
        tavrik::ppdf_need need;
        int pages;
    } cases[] = {{tavrik::ppdf_need::everything, 1221}, {tavrik::ppdf_need::title_else_lines, 0}};
    for (const auto& c : cases) {
        auto info = std::make_unique<tavrik::ppdf_info>();
        ASSERT_EQ(tavrik::ppdf_parse(path.c_str(), *info, c.need), 1);
        EXPECT_STREQ(info->title, "The LaTeX2\xCE\xB5 Sources");
        EXPECT_STREQ(info->creation_date, "D:20221130212936Z");
        EXPECT_EQ(info->page_count, c.pages);
        if (c.pages > 0) {
            ASSERT_GT(info->line_count, 0);
            EXPECT_STREQ(info->lines[0].text, "The L");
        }
    }
}
