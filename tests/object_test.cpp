// Object access (the forward search for an object's dictionary, references, the
// catalog), the repair scan, and the document information.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "corpus_cases.h"
#include "pdf_builder.h"
#include "pdf_parse.h"
#include "reader_fixture.h"

using tavrik_test::build_pdf;
using tavrik_test::pdf_object;
using tavrik_test::pdf_options;
using namespace std::string_literals;

namespace {

using tavrik_test::reader;

std::int64_t pos_of(const std::string& s, const std::string& text)
{
    const auto p = s.find(text);
    return p == std::string::npos ? -1 : static_cast<std::int64_t>(p);
}

}  // namespace

// ---- ctx_obj_dict -----------------------------------------------------------------

struct obj_dict_case {
    const char* name;
    std::string bytes;
    std::string offset_at;     // the slot's offset: where this text starts (+ shift)
    std::int64_t shift;
    std::string expect_at;     // the dictionary expected here; empty: none
};

class ObjDict : public ::testing::TestWithParam<obj_dict_case> {};

TEST_P(ObjDict, SearchesForwardForTheHeader)
{
    const auto& c = GetParam();
    reader r(c.bytes);
    r.place(7, pos_of(c.bytes, c.offset_at) + c.shift);
    std::int64_t pos = -1;
    const bool found = tavrik::ctx_obj_dict(r.ctx, 7, pos);
    if (c.expect_at.empty()) {
        EXPECT_FALSE(found);
    } else {
        ASSERT_TRUE(found);
        EXPECT_EQ(pos, pos_of(c.bytes, c.expect_at));
    }
}

const std::string k_two_objects = "%PDF-1.4\n1 0 obj\n<< /A 1 >>\nendobj\n7 0 obj\n<< /B 2 >>\nendobj\n";
const std::string k_tail(40, ' ');

INSTANTIATE_TEST_SUITE_P(
    Object, ObjDict,
    ::testing::Values(
        obj_dict_case{"ExactHeader", k_two_objects, "7 0 obj", 0, "<< /B"},
        obj_dict_case{"IntoPrecedingEndobj", k_two_objects, "endobj\n7", 2, "<< /B"},
        obj_dict_case{"BodyIsANumber", "%PDF-1.4\n7 0 obj\n42\nendobj\n" + k_tail, "7 0", 0, ""},
        obj_dict_case{"BodyIsAnArray", "%PDF-1.4\n7 0 obj\n[1 2]\nendobj\n" + k_tail, "7 0", 0, ""},
        obj_dict_case{"BraceDictionary", "%PDF-1.4\n7 0 obj { /A 1 }\nendobj\n" + k_tail, "7 0", 0, "{"},
        obj_dict_case{"CommentBeforeDictionary", "%PDF-1.4\n7 0 obj % note\n<< >>\nendobj\n" + k_tail, "7 0", 0,
                      "<<"},
        obj_dict_case{"GluedKeywordSkipped", "%PDF-1.4\n7 0 xobj << /X 1 >> 7 0 obj << /Y 2 >> endobj" + k_tail,
                      "7 0 x", 0, "<< /Y"},
        obj_dict_case{"NoKeywordWithinTheWindow",
                      "%PDF-1.4\n" + std::string(1000, 'x') + " << /Z 1 >>" + k_tail, "xxx", 0, "<< /Z"},
        obj_dict_case{"KeywordJustPastTheWindow",
                      "%PDF-1.4\n" + std::string(1001, 'x') + " obj << /Z 1 >>" + k_tail, "xxx", 0, ""},
        obj_dict_case{"KeywordAtFileStart", "obj << /S 1 >>" + k_tail, "obj", 0, "<< /S"},
        obj_dict_case{"KeywordTooNearTheEnd", "%PDF-1.4\n7 0 obj<<", "7 0", 0, ""},
        obj_dict_case{"NoPositionFoundByTheScan", k_two_objects, "no such text", 0, "<< /B"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Object, ObjectNumbersOutsideTheTableHaveNoDictionary)
{
    reader r(k_two_objects);
    std::int64_t pos = 0;
    EXPECT_FALSE(tavrik::ctx_obj_dict(r.ctx, -1, pos));
    EXPECT_FALSE(tavrik::ctx_obj_dict(r.ctx, tavrik::MAX_OBJNUM + 1, pos));
}

// ---- resolve_dict and the catalog -------------------------------------------------------

TEST(Object, ResolveDictTakesDirectDictionariesAndReferences)
{
    const std::string bytes = k_two_objects + "X  << /D 1 >> 7 0 R 5 0 R 12000 0 R 42 " + k_tail;
    reader r(bytes);
    r.place(7, pos_of(bytes, "7 0 obj"));
    struct {
        const char* value;
        std::int64_t expect;
    } cases[] = {
        {"X  <<", pos_of(bytes, "<< /D")},      // direct: its own position
        {"7 0 R", pos_of(bytes, "<< /B")},     // reference to a placed object
        {"5 0 R", -1},                          // reference without a position
        {"12000 0 R", -1},                      // outside the table
        {"42 ", -1},                            // neither
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::int64_t from = pos_of(bytes, c.value);
        if (c.value[0] == 'X')
            ++from;
        std::int64_t pos = -1;
        const bool found = tavrik::resolve_dict(r.ctx, from, pos);
        EXPECT_EQ(found, c.expect >= 0);
        if (found) {
            EXPECT_EQ(pos, c.expect);
        }
    }
}

TEST(Object, CatalogPagesLastReadableEntryWins)
{
    struct {
        const char* dict;
        std::int64_t expect;
    } cases[] = {
        {"<< /Pages 2 0 R /Pages 3 0 R >>", 3},
        {"<< /Pages 3 0 R /Pages (x) >>", 3},
        {"<< /pages 4 0 R >>", 4},
        {"<< /Kids [4 0 R] >>", -1},
        {"{ /Pages 6 0 R }", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dict);
        reader r(std::string(c.dict) + k_tail);
        EXPECT_EQ(tavrik::catalog_pages(r.ctx, 0), c.expect);
    }
}

// ---- repair scan ---------------------------------------------------------------------

TEST(Repair, RegistersEveryHeaderOfAFileWithoutCrossReferences)
{
    pdf_options opt;
    opt.write_xref = false;
    std::vector<pdf_object> objs;
    for (int n = 1; n <= 5; ++n)
        objs.push_back({n, "<< /N " + std::to_string(n) + " >>"});
    const std::string file = build_pdf(objs, opt);
    reader r(file);
    tavrik::repair_scan(r.ctx);
    EXPECT_EQ(r.ctx.xref_known, 5);
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(r.offset(n), pos_of(file, "\n" + std::to_string(n) + " 0 obj") + 1) << n;
}

struct repair_case {
    const char* name;
    std::string bytes;
    int objnum;
    std::string expect_at;   // where the slot points; empty: no position
    std::int64_t shift;
};

class RepairScan : public ::testing::TestWithParam<repair_case> {};

TEST_P(RepairScan, RegistersHeadersByTheirDigitRuns)
{
    const auto& c = GetParam();
    const std::string bytes = "%PDF-1.4\n" + c.bytes + k_tail;
    reader r(bytes);
    tavrik::repair_scan(r.ctx);
    if (c.expect_at.empty()) {
        EXPECT_EQ(r.offset(c.objnum), -1);
    } else {
        EXPECT_EQ(r.offset(c.objnum), static_cast<std::int64_t>(bytes.rfind(c.expect_at)) + c.shift);
        EXPECT_EQ(r.ctx.xref_known, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Object, RepairScan,
    ::testing::Values(
        repair_case{"LaterDefinitionWins", "1 0 obj << /A 1 >> endobj\n1 0 obj << /A 2 >> endobj\n", 1, "1 0 obj", 0},
        repair_case{"ObjectZeroNeverRegistered", "0 0 obj << >> endobj\n", 0, "", 0},
        repair_case{"LargeNumberRegisteredWhole", "12345 0 obj << >> endobj\n", 12345, "12345", 0},
        repair_case{"NumberTooLargeForAnyTable", "99999999999 0 obj << >> endobj\n", 2147483647, "", 0},
        repair_case{"LeadingZerosStayInTheRun", "0012 0 obj << >> endobj\n", 12, "0012", 0},
        repair_case{"CommentBetweenTheNumbers", "9 % c\n0 obj << >>\n", 9, "9 %", 0},
        repair_case{"NegativeGeneration", "8 -1 obj << >>\n", 8, "8 -1", 0},
        repair_case{"KeywordGluedToTheGeneration", "7 0obj << >>\n", 7, "", 0},
        repair_case{"KeywordGluedToAWord", "7 0 xobj << >>\n", 7, "", 0},
        repair_case{"NoGeneration", "7 obj << >>\n", 7, "", 0},
        repair_case{"HeaderTooNearTheEnd", "", 7, "", 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Repair, HeaderInTheLastEightBytesIsNotVisited)
{
    reader r("%PDF-1.4\n7 0 obj");
    tavrik::repair_scan(r.ctx);
    EXPECT_EQ(r.offset(7), -1);
}

TEST(Repair, LongDigitRunsAreReadOnce)
{
    // Quadratic rereading of these runs would not finish in time. A run of nines
    // names no object; one of zeros before 12 names object 12.
    const std::string nines(3000000, '9');
    const std::string zeros(3000000, '0');
    const std::string bytes = "%PDF-1.4\n" + nines + " 0 obj << >>\n" + zeros + "12 0 obj << >>\n" + k_tail;
    reader r(bytes);
    const auto t0 = std::chrono::steady_clock::now();
    tavrik::repair_scan(r.ctx);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(r.offset(12), pos_of(bytes, "000"));
    EXPECT_EQ(r.ctx.xref_known, 1);
}

TEST(Repair, ScanFillsTheTableOnlyWhenFewerThanThreeEntriesAreKnown)
{
    // The table's offsets are wrong by far. With two entries the scan fills the
    // table; with three the entries stand, and each lookup that does not find its
    // object there asks the scan.
    for (int objects : {2, 3}) {
        SCOPED_TRACE(objects);
        std::vector<pdf_object> objs = {{1, "<< /Type /Catalog >>"}, {2, "<< /Title (Repaired) >>"}};
        if (objects == 3)
            objs.push_back({3, "<< >>"});
        pdf_options opt;
        opt.info = 2;
        opt.offset_shift = 5000;
        const std::string file = build_pdf(objs, opt) + std::string(100, ' ');
        auto info = std::make_unique<tavrik::ppdf_info>();
        ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info), 1);
        EXPECT_STREQ(info->title, "Repaired");
        reader r(file);
        r.load_xref();
        if (r.ctx.xref_entries < tavrik::REPAIR_MIN_KNOWN)
            tavrik::repair_scan(r.ctx);
        EXPECT_EQ(r.offset(2), objects == 2 ? pos_of(file, "2 0 obj") : pos_of(file, "2 0 obj") + 5000);
    }
}

// ---- document information ----------------------------------------------------------

struct info_case {
    const char* name;
    std::string body;   // the Info object's body
    std::string title;
    std::string creation_date;
    std::string mod_date;
};

class DocInfo : public ::testing::TestWithParam<info_case> {};

TEST_P(DocInfo, ReadsTitleAndDates)
{
    const auto& c = GetParam();
    const std::string file = build_pdf({{1, "<< /Type /Catalog >>"}, {2, c.body}, {3, "(Indirect)"}, {4, "3 0 R"}},
                                       [] {
                                           pdf_options o;
                                           o.info = 2;
                                           return o;
                                       }());
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info), 1);
    EXPECT_EQ(std::string(info->title), c.title);
    EXPECT_EQ(std::string(info->creation_date), c.creation_date);
    EXPECT_EQ(std::string(info->mod_date), c.mod_date);
}

INSTANTIATE_TEST_SUITE_P(
    Object, DocInfo,
    ::testing::Values(
        info_case{"Literal", "<< /Title (Annual Report) >>", "Annual Report", "", ""},
        info_case{"Hex", "<< /Title <416E6E75616C 20 52> >>", "Annual R", "", ""},
        info_case{"Utf16BeLiteral", "<< /Title (\xFE\xFF\x00G\x00r\x00\xFC\x00\xDF\x00" "e) >>"s, "Grüße", "", ""},
        info_case{"Utf16BeHex", "<< /Title <FEFF00470072> >>", "Gr", "", ""},
        info_case{"Utf16Le", "<< /Title (\xFF\xFEG\x00r\x00\xFC\x00) >>"s, "Grü", "", ""},
        info_case{"PdfDocEncoding", "<< /Title (\x8Dquoted\x8E \x85 caf\xE9) >>", "“quoted” – café", "", ""},
        info_case{"OctalEscapes", "<< /Title (Caf\\351 \\(1\\)) >>", "Café (1)", "", ""},
        info_case{"ZeroByteEndsTheText", "<< /Title (ab\\000cd) >>", "ab", "", ""},
        info_case{"LongTitleCut", "<< /Title (" + std::string(600, 'a') + ") >>", std::string(511, 'a'), "", ""},
        info_case{"LowerCaseKeys", "<< /title (x) /creationdate (D:1) /MODDATE (D:2) >>", "x", "D:1", "D:2"},
        info_case{"IndirectValueFollowed", "<< /Title 3 0 R /CreationDate 3 0 R /ModDate 3 0 R >>", "Indirect",
                  "Indirect", "Indirect"},
        info_case{"LastReadableValueWins", "<< /Title (a) /Title (b) /Title 3 0 R >>", "Indirect", "", ""},
        info_case{"UnreadableReferenceKeepsTheEarlierValue", "<< /Title (a) /Title 9 0 R /Title 2 0 R >>", "a", "", ""},
        info_case{"ReferenceToAReferenceNotFollowed", "<< /Title 4 0 R >>", "", "", ""},
        info_case{"NonNameKeyEndsTheWalk", "<< /Title (a) 5 /Title (b) >>", "a", "", ""},
        info_case{"BraceDictionary", "{ /Title (brace) }", "brace", "", ""},
        info_case{"OtherKeysSkipped", "<< /Author (x) /Keys [(a) <</T (no)>>] /Title (yes) >>", "yes", "", ""},
        info_case{"DatesUnchanged", "<< /CreationDate (D:20240131120000Z) /ModDate (D:20230302) >>", "",
                  "D:20240131120000Z", "D:20230302"},
        info_case{"LongDateCut", "<< /ModDate (" + std::string(200, '9') + ") >>", "", "", std::string(127, '9')}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- real files --------------------------------------------------------------------

class CorpusDocInfo : public ::testing::TestWithParam<tavrik_test::corpus_case> {};

TEST_P(CorpusDocInfo, GivesTheExpectedTitleDatesAndEncryption)
{
    const auto& c = GetParam();
    const auto& want = c.expected["inspect"];
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse(tavrik_test::fixture("corpus/" + c.file).c_str(), *info), 1);
    EXPECT_EQ(std::string(info->title), want["title"].str);
    EXPECT_EQ(std::string(info->creation_date), want["creation_date"].str);
    EXPECT_EQ(std::string(info->mod_date), want["mod_date"].str);
    EXPECT_EQ(info->encrypted, static_cast<int>(want["encrypted"].num));
}

static std::vector<tavrik_test::corpus_case> titled_corpus_cases()
{
    std::vector<tavrik_test::corpus_case> out;
    for (auto& c : tavrik_test::load_corpus_cases()) {
        const auto inspect = c.expected.obj.find("inspect");
        if (inspect == c.expected.obj.end())
            continue;
        const auto title = inspect->second.obj.find("title");
        if (title != inspect->second.obj.end() && !title->second.str.empty())
            out.push_back(c);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusDocInfo, ::testing::ValuesIn(titled_corpus_cases()),
                         [](const auto& p) { return tavrik_test::corpus_case_name(p.param.file); });

// ---- memory reused from one document to the next ------------------------------------

TEST(ReusedTable, ResetRestoresEverySlotGivenOut)
{
    tavrik::reused_table<tavrik::xref_entry> t;
    t.reset(100);
    t.slot(3).offset = 7;
    t.slot(50).compressed = 1;
    (void)t.slot(60);   // given out, left alone
    EXPECT_EQ(t.reached(), 61u);
    t.reset(100);
    EXPECT_EQ(t.reached(), 0u);
    EXPECT_EQ(t[3].offset, -1);
    EXPECT_EQ(t[50].compressed, 0);
    t.reset(200);   // a new size starts from defaults too
    ASSERT_EQ(t.size(), 200u);
    for (std::size_t i = 0; i < t.size(); ++i) {
        ASSERT_EQ(t[i].offset, -1) << i;
        ASSERT_EQ(t[i].compressed, 0) << i;
    }
}

// A thread's parses share the object table and the page walk's table: nothing the
// first document placed there may be seen by the next.
TEST(ReusedTable, NothingCarriesOverBetweenDocuments)
{
    tavrik_test::pdf_options with_info;
    with_info.info = 9000;
    const std::string first = build_pdf({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                         {2, "<< /Type /Pages /Kids [3 0 R 9001 0 R] >>"},
                                         {3, "<< /Type /Page >>"},
                                         {9000, "<< /Title (Stale) >>"},
                                         {9001, "<< /Type /Page >>"}},
                                        with_info);
    // The same numbers, named but never defined; a repair scan finds nothing either.
    tavrik_test::pdf_options dangling = with_info;
    const std::string second = build_pdf({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                          {2, "<< /Type /Pages /Kids [3 0 R 9001 0 R] >>"},
                                          {3, "<< /Type /Page >>"}},
                                         dangling);
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({first.begin(), first.end()}, *info), 1);
    EXPECT_STREQ(info->title, "Stale");
    EXPECT_EQ(info->page_count, 2);
    ASSERT_EQ(tavrik::ppdf_parse_bytes({second.begin(), second.end()}, *info), 1);
    EXPECT_STREQ(info->title, "");
    EXPECT_EQ(info->page_count, 1);
}

// ---- damaged documents: what the scan recovers ---------------------------------------

namespace {

const std::string k_page_text = tavrik_test::stream_body("", "BT /F1 12 Tf (Recovered text) Tj ET");

// Catalog 1, pages 2, page 3 with content 4 and font 5, Info 6.
std::vector<pdf_object> recoverable()
{
    return {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
        {3, "<< /Type /Page /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>"},
        {4, k_page_text},
        {5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
        {6, "<< /Title (Found) >>"},
    };
}

std::string replace_once(std::string s, const std::string& from, const std::string& to)
{
    const auto p = s.rfind(from);
    if (p != std::string::npos)
        s.replace(p, from.size(), to);
    return s;
}

pdf_options with_info()
{
    pdf_options o;
    o.info = 6;
    return o;
}

}  // namespace

struct damage_case {
    const char* name;
    std::string file;
    std::string title;
    std::string line;
    int encrypted;
};

class Recovery : public ::testing::TestWithParam<damage_case> {};

TEST_P(Recovery, FindsWhatTheDamageLeft)
{
    const auto& c = GetParam();
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({c.file.begin(), c.file.end()}, *info), 1);
    EXPECT_EQ(std::string(info->title), c.title);
    EXPECT_EQ(info->line_count > 0 ? std::string(info->lines[0].text) : "", c.line);
    EXPECT_EQ(info->encrypted, c.encrypted);
}

INSTANTIATE_TEST_SUITE_P(
    Object, Recovery,
    ::testing::Values(
        // No startxref: the trailer in plain sight gives Root and Info.
        damage_case{"StartxrefLost", replace_once(build_pdf(recoverable(), with_info()), "startxref", "farbage"),
                    "Found", "Recovered text", 0},
        // The table is gone; the trailer is still there.
        damage_case{"TableLost",
                    replace_once(build_pdf(recoverable(), with_info()), "xref\n0 7", "junk\n0 7"), "Found",
                    "Recovered text", 0},
        // No table, no trailer: the last catalog counts, not the older one.
        damage_case{"OnlyObjectsLeft",
                    [] {
                        pdf_options o;
                        o.write_xref = false;
                        auto objs = recoverable();
                        objs.insert(objs.begin(), {7, "<< /Type /Catalog /Pages 8 0 R >>"});
                        return build_pdf(objs, o);
                    }(),
                    "", "Recovered text", 0},
        // A table whose entries for the page and its content are swapped: each
        // entry leads to the other object, and the scan puts them right.
        damage_case{"EntriesLeadToOtherObjects",
                    [] {
                        const std::string f = build_pdf(recoverable(), with_info());
                        char a[32];
                        char b[32];
                        std::snprintf(a, sizeof a, "%010zu 00000 n", f.find("3 0 obj"));
                        std::snprintf(b, sizeof b, "%010zu 00000 n", f.find("4 0 obj"));
                        std::string out = replace_once(f, a, "PLACEHOLDER_ROW_3xx");
                        out = replace_once(out, b, a);
                        return replace_once(out, "PLACEHOLDER_ROW_3xx", b);
                    }(),
                    "Found", "Recovered text", 0},
        // Every offset a few bytes late, as when an editor shortened line ends: each
        // lands past its header, and the scan finds the objects.
        damage_case{"OffsetsShiftedLate", [] {
                        pdf_options o = with_info();
                        o.offset_shift = 5;
                        return build_pdf(recoverable(), o);
                    }(),
                    "Found", "Recovered text", 0},
        // The trailer names a Root that is no catalog; the scan's trailer does no
        // better, so the last catalog counts, with the trailer's Info.
        damage_case{"RootIsNoCatalog", [] {
                        pdf_options o = with_info();
                        o.root = 2;
                        return build_pdf(recoverable(), o);
                    }(),
                    "Found", "Recovered text", 0},
        // An Encrypt entry found by the scan still marks the document.
        damage_case{"EncryptInARecoveredTrailer",
                    [] {
                        pdf_options o = with_info();
                        o.trailer_extra = "/Encrypt 9 0 R";
                        return replace_once(build_pdf(recoverable(), o), "startxref", "farbage");
                    }(),
                    "Found", "Recovered text", 1},
        // A cross-reference stream whose startxref is wrong: its dictionary is a
        // trailer too.
        damage_case{"StreamTrailerFound",
                    [] {
                        tavrik_test::xref_stream_options xo;
                        xo.info = 6;
                        std::string f = tavrik_test::build_pdf_xref_stream(recoverable(), {}, xo);
                        const auto p = f.rfind("startxref\n");
                        return f.substr(0, p) + "startxref\n3\n%%EOF\n";
                    }(),
                    "Found", "Recovered text", 0}),
    [](const auto& p) { return std::string(p.param.name); });

// The scan runs once per document, and only when a lookup needs it.
TEST(Recovery, ScanRunsOnlyWhenNeeded)
{
    const std::string sound = build_pdf(recoverable(), with_info());
    const std::string damaged = replace_once(sound, "startxref", "farbage");
    for (const auto* file : {&sound, &damaged}) {
        auto info = std::make_unique<tavrik::ppdf_info>();
        tavrik::ppdf_trace trace;
        ASSERT_EQ(tavrik::ppdf_parse_bytes({file->begin(), file->end()}, *info, tavrik::ppdf_need::everything, &trace),
                  1);
        EXPECT_EQ(trace.repair_scans, file == &damaged ? 1 : 0);
        EXPECT_STREQ(info->title, "Found");
    }
}
