// Cross-reference streams and the unpacking of object streams.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "pdf_parse.h"
#include "reader_fixture.h"

using tavrik_test::build_pdf;
using tavrik_test::build_pdf_xref_stream;
using tavrik_test::object_stream_body;
using tavrik_test::pdf_object;
using tavrik_test::stream_body;
using tavrik_test::xref_row;
using tavrik_test::xref_stream_options;
using tavrik_test::xref_stream_rows;
using namespace std::string_literals;

namespace {

using tavrik_test::reader;

std::int64_t pos_of(const std::string& s, const std::string& text)
{
    const auto p = s.rfind(text);
    return p == std::string::npos ? -1 : static_cast<std::int64_t>(p);
}

// One cross-reference stream (object 9) after `before`, named by startxref.
std::string xref_stream_file(const std::string& dict, const std::string& rows, const std::string& before = "")
{
    std::string out = "%PDF-1.5\n" + before;
    const std::size_t pos = out.size();
    out += "9 0 obj\n" + stream_body(dict, rows) + "\nendobj\nstartxref\n" + std::to_string(pos) + "\n%%EOF\n";
    return out;
}

struct slot_want {
    int num;
    long long offset;   // -1: no position
    long long objstm;   // -1: not in an object stream
};

void expect_slots(reader& r, const std::vector<slot_want>& want)
{
    for (const auto& w : want) {
        SCOPED_TRACE("object " + std::to_string(w.num));
        EXPECT_EQ(r.slot(w.num).offset, w.offset);
        EXPECT_EQ(r.slot(w.num).compressed, w.objstm >= 0 ? 1 : 0);
        if (w.objstm >= 0) {
            EXPECT_EQ(r.slot(w.num).objstm, w.objstm);
        }
    }
}

}  // namespace

// ---- cross-reference streams ------------------------------------------------------

struct xref_stream_case {
    const char* name;
    std::string dict;
    std::string rows;
    std::vector<slot_want> want;
    int known;
};

class XrefStream : public ::testing::TestWithParam<xref_stream_case> {};

TEST_P(XrefStream, RecordsRowsByRange)
{
    const auto& c = GetParam();
    reader r(xref_stream_file(c.dict, c.rows));
    r.load_xref();
    expect_slots(r, c.want);
    EXPECT_EQ(r.ctx.xref_known, c.known);
}

const std::string k_rows121 =
    xref_stream_rows({{0, 0, 255}, {1, 0x100, 0}, {2, 7, 0}, {1, 0x200, 0}, {1, 0x300, 1}}, 1, 2, 1);

INSTANTIATE_TEST_SUITE_P(
    Objstm, XrefStream,
    ::testing::Values(
        xref_stream_case{"TwoIndexRanges", "/W [1 2 1] /Index [0 3 10 2] /Size 12", k_rows121,
                         {{0, -1, -1}, {1, 0x100, -1}, {2, -1, 7}, {10, 0x200, -1}, {11, 0x300, -1}, {3, -1, -1}},
                         3},
        xref_stream_case{"OddIndexUsesSize", "/W [1 2 1] /Index [0 3 10] /Size 3", k_rows121,
                         {{1, 0x100, -1}, {2, -1, 7}, {3, -1, -1}, {10, -1, -1}},
                         1},
        xref_stream_case{"SingleIndexNumberUsesSize", "/W [1 2 1] /Index [10] /Size 2", k_rows121,
                         {{1, 0x100, -1}, {10, -1, -1}},
                         1},
        xref_stream_case{"NegativeSizeReadsNothing", "/W [1 2 1] /Size -4", k_rows121, {{1, -1, -1}}, 0},
        xref_stream_case{"EmptyRangeSkipped", "/W [1 2 1] /Index [50 0 0 2] /Size 9", k_rows121,
                         {{0, -1, -1}, {1, 0x100, -1}, {50, -1, -1}},
                         1},
        xref_stream_case{"DefaultWidths", "/Size 2", xref_stream_rows({{1, 0x1234, 0}, {2, 8, 3}}, 1, 4, 1),
                         {{0, 0x1234, -1}, {1, -1, 8}},
                         1},
        xref_stream_case{"NoTypeField", "/W [0 2 1] /Size 5", k_rows121, {{0, -1, -1}, {1, -1, -1}, {2, -1, -1}}, 0},
        xref_stream_case{"AllWidthsEmpty", "/W [0 0 0] /Size 5", k_rows121, {{0, -1, -1}}, 0},
        xref_stream_case{"FieldWiderThanEightBytes", "/W [1 12 1] /Size 1",
                         "\x01\xFF\xFF\xFF\xFF\x00\x00\x00\x00\x00\x00\x01\x00\x00"s,
                         {{0, 0x100, -1}},
                         1},
        xref_stream_case{"RowsStopAtTheEndOfTheData", "/W [1 2 1] /Size 5", xref_stream_rows({{1, 0x100, 0}}, 1, 2, 1) + "\x01\x02"s,
                         {{0, 0x100, -1}, {1, 2, -1}, {2, -1, -1}},
                         2},
        xref_stream_case{"FreeAndUnknownTypes", "/W [1 2 1] /Size 3",
                         xref_stream_rows({{0, 0x100, 0}, {3, 0x200, 0}, {1, 0x300, 0}}, 1, 2, 1),
                         {{0, -1, -1}, {1, -1, -1}, {2, 0x300, -1}},
                         1},
        xref_stream_case{"LargeObjectNumbers", "/W [1 2 1] /Index [9999 3 7999999 1]",
                         xref_stream_rows({{1, 0x100, 0}, {1, 0x200, 0}, {2, 5, 0}, {1, 0x300, 0}}, 1, 2, 1),
                         {{9999, 0x100, -1}, {10000, 0x200, -1}, {10001, -1, 5}, {7999999, 0x300, -1}},
                         3}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Objstm, XrefStreamDictionaryGivesRootInfoAndEncrypt)
{
    reader r(xref_stream_file("/W [1 2 1] /Size 0 /Root 4 0 R /Info 5 0 R /Encrypt 6 0 R", ""));
    r.load_xref();
    EXPECT_EQ(r.ctx.root, 4);
    EXPECT_EQ(r.ctx.info_obj, 5);
    EXPECT_EQ(r.ctx.encrypted, 1);
}

TEST(Objstm, HostileSizesFinishQuickly)
{
    const char* dicts[] = {
        "/W [1 2147483647 2147483647] /Size 2000000000",
        "/W [1 2 1] /Index [0 4000000000 5 4000000000]",
        "/W [2147483647 2147483647 2147483647] /Size 9e18",
        "/W [-5 -5 -5] /Size 2000000000",
        "/W [1 0 0] /Index [-9e18 9e18]",
    };
    for (const char* dict : dicts) {
        SCOPED_TRACE(dict);
        reader r(xref_stream_file(dict, k_rows121));
        const auto t0 = std::chrono::steady_clock::now();
        r.load_xref();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    }
}

TEST(Objstm, UndecodableStreamEndsTheChain)
{
    // The dictionary's keys still count; its Prev is not followed.
    const std::string older = tavrik_test::build_pdf({{1, "<< >>"}, {2, "<< >>"}});
    const std::string prev = std::to_string(older.rfind("xref\n0 "));
    reader r(xref_stream_file("/Filter /FlateDecode /Root 4 0 R /Prev " + prev, "not deflate data",
                              older.substr(9)));
    r.load_xref();
    EXPECT_EQ(r.ctx.root, 4);
    EXPECT_EQ(r.ctx.xref_known, 0);
}

TEST(Objstm, PrevLeadsFromAStreamToAClassicTable)
{
    tavrik_test::pdf_options opt;
    opt.info = 3;
    const std::string base =
        build_pdf({{1, "<< /Type /Catalog >>"}, {2, "<< >>"}, {3, "<< /Title (old) >>"}}, opt);
    xref_stream_options xo;
    xo.base = base;
    xo.root = 0;
    xo.prev = pos_of(base, "xref\n0 ");
    const std::string file = build_pdf_xref_stream({{3, "<< /Title (new) >>"}}, {}, xo);
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info), 1);
    EXPECT_STREQ(info->title, "new");

    reader r(file);
    r.load_xref();
    EXPECT_EQ(r.ctx.root, 1);   // from the classic trailer
    EXPECT_EQ(r.slot(3).offset, pos_of(file, "3 0 obj"));
    EXPECT_EQ(r.slot(2).offset, pos_of(base, "2 0 obj"));
}

TEST(Objstm, NewerPositionBeatsAnOlderCompressedEntry)
{
    const std::string base = build_pdf_xref_stream({{1, "<< /Type /Catalog >>"}}, {{5, 8, 0}});
    xref_stream_options xo;
    xo.base = base;
    xo.prev = pos_of(base, "6 0 obj");
    const std::string file = build_pdf_xref_stream({{5, "<< >>"}}, {}, xo);
    reader r(file);
    r.load_xref();
    expect_slots(r, {{5, pos_of(file, "5 0 obj"), -1}, {1, static_cast<long long>(base.find("1 0 obj")), -1}});

    // Without Prev the chain ends after the newest section.
    xo.prev = -1;
    reader alone(build_pdf_xref_stream({{5, "<< >>"}}, {}, xo));
    alone.load_xref();
    EXPECT_EQ(alone.slot(1).offset, -1);
}

// ---- object streams ------------------------------------------------------------------

namespace {

// Object stream 5 in a file, placed in the table; `compressed` slots name it.
struct objstm_file {
    std::string bytes;
    reader r;

    objstm_file(const std::string& dict, const std::string& data, const std::vector<int>& compressed)
        : bytes("%PDF-1.5\n5 0 obj\n" + stream_body(dict, data) + "\nendobj\n" + std::string(40, ' ')), r(bytes)
    {
        r.slot(5).offset = pos_of(bytes, "5 0 obj");
        for (int n : compressed) {
            r.slot(n).compressed = 1;
            r.slot(n).objstm = 5;
        }
    }
};

}  // namespace

TEST(Objstm, UnpacksEveryListedObjectWithASyntheticHeader)
{
    // Header "10 0 11 25 12 40 " (17 bytes) and 43 bytes of objects: 60 in all.
    const std::string o10 = "<< /A 1 >>               ";   // 25 bytes
    const std::string o11 = "<< /B 2 >>     ";              // 15 bytes
    const std::string o12 = "(c)";
    objstm_file f("/Type /ObjStm /N 3 /First 17", "10 0 11 25 12 40 " + o10 + o11 + o12, {10});
    const std::uint64_t old_len = f.r.ctx.len;
    tavrik::unpack_object_streams(f.r.ctx);

    EXPECT_EQ(f.r.slot(10).offset, static_cast<std::int64_t>(old_len) + 1);
    EXPECT_EQ(f.r.object_text(10), "10 0 obj\n" + o10);
    EXPECT_EQ(f.r.object_text(11), "11 0 obj\n" + o11);
    EXPECT_EQ(f.r.object_text(12), "12 0 obj\n" + o12);
    EXPECT_EQ(f.r.slot(10).compressed, 1);   // the flag stays; the position is what counts
    EXPECT_EQ(f.r.ctx.xref_known, 3);
    const std::string appended(f.r.ctx.buf.begin() + static_cast<std::ptrdiff_t>(old_len), f.r.ctx.buf.end());
    EXPECT_EQ(appended, "\n10 0 obj\n" + o10 + "\nendobj\n\n11 0 obj\n" + o11 + "\nendobj\n\n12 0 obj\n" + o12 +
                            "\nendobj\n" + std::string(1, '\0'));
    EXPECT_EQ(f.r.ctx.buf.size(), f.r.ctx.len + 1);

    std::int64_t pos = 0;
    ASSERT_TRUE(tavrik::ctx_obj_dict(f.r.ctx, 11, pos));
    EXPECT_EQ(pos, f.r.slot(11).offset + 9);
}

struct unusable_case {
    const char* name;
    std::string dict;
};

class ObjstmUnusable : public ::testing::TestWithParam<unusable_case> {};

TEST_P(ObjstmUnusable, UnpacksNothing)
{
    objstm_file f(GetParam().dict, "10 0 11 5 << >> << >> ", {10});
    tavrik::unpack_object_streams(f.r.ctx);
    EXPECT_EQ(f.r.slot(10).offset, -1);
    EXPECT_EQ(f.r.slot(11).offset, -1);
    EXPECT_EQ(f.r.ctx.len, f.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Objstm, ObjstmUnusable,
                         ::testing::Values(unusable_case{"NZero", "/N 0 /First 10"},
                                           unusable_case{"NAboveLimit", "/N 10001 /First 10"},
                                           unusable_case{"NMissing", "/First 10"},
                                           unusable_case{"NNotANumber", "/N /Two /First 10"},
                                           unusable_case{"FirstMissing", "/N 2"},
                                           unusable_case{"FirstNegative", "/N 2 /First -1"},
                                           unusable_case{"FirstPastTheData", "/N 2 /First 23"}),
                         [](const auto& p) { return std::string(p.param.name); });

struct pairs_case {
    const char* name;
    std::string dict;
    std::string data;
    std::vector<std::pair<int, std::string>> want;   // object, its bytes; "" = not unpacked
};

class ObjstmPairs : public ::testing::TestWithParam<pairs_case> {};

TEST_P(ObjstmPairs, ReadsPairsUpToFirst)
{
    const auto& c = GetParam();
    objstm_file f(c.dict, c.data, {10});
    tavrik::unpack_object_streams(f.r.ctx);
    for (const auto& [num, text] : c.want) {
        SCOPED_TRACE(num);
        EXPECT_EQ(f.r.object_text(num), text.empty() ? "" : std::to_string(num) + " 0 obj\n" + text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Objstm, ObjstmPairs,
    ::testing::Values(
        pairs_case{"OffsetEndsExactlyAtFirst", "/N 2 /First 9", "10 0 11 5AAAAABBBBB", {{10, "AAAAA"}, {11, "BBBBB"}}},
        pairs_case{"CSpaceSeparators", "/N 2 /First 10", "10\t0\n11\x0b" "5\x0c" "AAAAABBBBB",
                   {{10, "AAAAA"}, {11, "BBBBB"}}},
        pairs_case{"ObjectNumberRunsUpToFirst", "/N 2 /First 7", "10 0 11AAAAABBBBB", {{10, "AAAAABBBBB"}, {11, ""}}},
        pairs_case{"NonDigitStops", "/N 2 /First 10", "10 0 x1 5 AAAAABBBBB", {{10, "AAAAABBBBB"}, {11, ""}}},
        pairs_case{"OnlySeparatorsLeft", "/N 3 /First 12", "10 0 11 5   AAAAABBBBB", {{10, "AAAAA"}, {11, "BBBBB"}}},
        pairs_case{"DecreasingOffsetsRunToTheEnd", "/N 2 /First 10", "10 5 11 0 AAAAABBBBB",
                   {{10, "BBBBB"}, {11, "AAAAABBBBB"}}},
        pairs_case{"LookaheadPastN", "/N 1 /First 10", "10 0 11 5 AAAAABBBBB", {{10, "AAAAA"}, {11, ""}}},
        pairs_case{"ObjectNumberOutsideTheTable", "/N 2 /First 13", "10000 0 11 5 AAAAABBBBB",
                   {{11, "BBBBB"}}},
        pairs_case{"OffsetPastTheData", "/N 2 /First 11", "10 0 11 99 AAAAABBBBB", {{10, "AAAAABBBBB"}, {11, ""}}},
        pairs_case{"EmptyHeader", "/N 1 /First 0", "AAAAA", {{10, ""}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Objstm, PositionedObjectIsNotUnpackedAgain)
{
    objstm_file f("/N 3 /First 15", "10 0 11 2 12 4 AABBCC", {10});
    f.r.slot(12).offset = 3;
    tavrik::unpack_object_streams(f.r.ctx);
    EXPECT_EQ(f.r.slot(12).offset, 3);
    EXPECT_EQ(f.r.object_text(10), "10 0 obj\nAA");
    EXPECT_EQ(f.r.object_text(11), "11 0 obj\nBB");
    EXPECT_EQ(f.r.ctx.xref_known, 2);
}

TEST(Objstm, SelfReferenceUnpacksNothing)
{
    // Stream 5 claims to live inside itself, and lists itself among its objects.
    objstm_file f("/N 2 /First 9", "5 0 10 2 AABB", {10});
    f.r.slot(5).compressed = 1;
    f.r.slot(5).objstm = 5;
    const std::int64_t own = f.r.slot(5).offset;
    tavrik::unpack_object_streams(f.r.ctx);
    EXPECT_EQ(f.r.slot(5).offset, own);
    EXPECT_EQ(f.r.object_text(10), "10 0 obj\nBB");

    f.r.slot(5).offset = -1;   // now it has no position at all
    f.r.slot(10).offset = -1;
    tavrik::unpack_object_streams(f.r.ctx);
    EXPECT_EQ(f.r.slot(10).offset, -1);
}

TEST(Objstm, StreamInsideAStreamIsUnpackedOnceItHasAPosition)
{
    // Stream 6 lives in stream 5; objects 3 and 20 live in 6. Slot 3 comes first,
    // before 6 has a position; slot 20 comes after.
    const std::string inner = stream_body("/N 2 /First 9", "3 0 20 2 AABB");
    objstm_file f("/N 1 /First 4", "6 0 " + inner, {6});
    for (int n : {3, 20}) {
        f.r.slot(n).compressed = 1;
        f.r.slot(n).objstm = 6;
    }
    tavrik::unpack_object_streams(f.r.ctx);
    EXPECT_NE(f.r.slot(6).offset, -1);
    EXPECT_EQ(f.r.object_text(3), "3 0 obj\nAA");
    EXPECT_EQ(f.r.object_text(20), "20 0 obj\nBB");
}

TEST(Objstm, EachStreamIsDecodedOnce)
{
    // 9000 slots name a stream that holds none of them, next to one big object.
    // Decoding the stream again for each slot would copy gigabytes.
    const std::string big(8000000, 'x');
    objstm_file f("/N 1 /First 4", "1 0 (" + big + ")", {});
    for (int n = 1000; n < 10000; ++n) {
        f.r.slot(n).compressed = 1;
        f.r.slot(n).objstm = 5;
    }
    const auto t0 = std::chrono::steady_clock::now();
    tavrik::unpack_object_streams(f.r.ctx);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(f.r.object_text(1), "1 0 obj\n(" + big + ")");
    EXPECT_EQ(f.r.ctx.xref_known, 1);
}

TEST(Objstm, ManyAppendsKeepTheTerminatingZero)
{
    std::vector<pdf_object> objs;
    for (int n = 100; n < 2100; ++n)
        objs.push_back({n, "<< /N " + std::to_string(n) + " >>"});
    const std::string body = object_stream_body(objs);
    const std::string bytes = "%PDF-1.5\n5 0 obj\n" + body + "\nendobj\n" + std::string(40, ' ');
    reader r(bytes);
    r.slot(5).offset = 9;
    r.slot(100).compressed = 1;
    r.slot(100).objstm = 5;
    tavrik::unpack_object_streams(r.ctx);
    EXPECT_EQ(r.ctx.xref_known, 2000);
    ASSERT_EQ(r.ctx.buf.size(), r.ctx.len + 1);
    EXPECT_EQ(r.ctx.buf[r.ctx.len], 0);
    std::int64_t pos = 0;
    ASSERT_TRUE(tavrik::ctx_obj_dict(r.ctx, 2099, pos));
    std::int64_t value = 0;
    ASSERT_TRUE(tavrik::dict_find(r.ctx.bytes(), pos, "N", value));
    EXPECT_EQ(std::memcmp(r.ctx.buf.data() + value, "2099", 4), 0);
}

TEST(Objstm, TitleFromAnInfoDictionaryInsideAnObjectStream)
{
    const std::string stm = object_stream_body({{1, "<< /Type /Catalog >>"}, {2, "<< /Title (Packed) /ModDate (D:2024) >>"}});
    xref_stream_options xo;
    xo.info = 2;
    const std::string file = build_pdf_xref_stream({{8, stm}}, {{1, 8, 0}, {2, 8, 1}}, xo);
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info), 1);
    EXPECT_STREQ(info->title, "Packed");
    EXPECT_STREQ(info->mod_date, "D:2024");
}

// Object streams are decoded when an object they hold is first needed: naming by
// title reads the one holding Info and the one holding the title string; the page
// walk then needs the rest.
TEST(Objstm, DecodedOnlyWhenAnObjectTheyHoldIsNeeded)
{
    const std::string content = stream_body("", "BT /F1 12 Tf (Hello) Tj ET");
    const std::vector<pdf_object> written = {
        {10, object_stream_body({{1, "<< /Type /Catalog /Pages 2 0 R >>"}, {2, "<< /Type /Pages /Kids [3 0 R] >>"}})},
        {11, object_stream_body({{3, "<< /Type /Page /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>"},
                                 {5, "<< /Type /Font /Subtype /Type1 >>"}})},
        {12, object_stream_body({{6, "<< /Title 7 0 R >>"}})},
        {13, object_stream_body({{7, "(Packed apart)"}})},
        {4, content},
    };
    xref_stream_options xo;
    xo.info = 6;
    const std::string file =
        build_pdf_xref_stream(written, {{1, 10, 0}, {2, 10, 1}, {3, 11, 0}, {5, 11, 1}, {6, 12, 0}, {7, 13, 0}}, xo);
    struct {
        tavrik::ppdf_need need;
        int decoded;
    } cases[] = {{tavrik::ppdf_need::title_else_lines, 2}, {tavrik::ppdf_need::everything, 4}};
    for (const auto& c : cases) {
        auto info = std::make_unique<tavrik::ppdf_info>();
        tavrik::ppdf_trace trace;
        ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info, c.need, &trace), 1);
        EXPECT_STREQ(info->title, "Packed apart");
        EXPECT_EQ(trace.object_streams_decoded, c.decoded);
        EXPECT_EQ(trace.repair_scans, 0);
        if (c.need == tavrik::ppdf_need::everything) {
            ASSERT_EQ(info->line_count, 1);
            EXPECT_STREQ(info->lines[0].text, "Hello");
        }
    }
}

// By first line, the walk unpacks only the streams holding what the first page
// needs, going back to the start each time it meets an object still packed; a
// page it never reaches costs nothing.
TEST(Objstm, FirstLineUnpacksWhatThePageWalkMeets)
{
    const std::vector<pdf_object> written = {
        {10, object_stream_body({{1, "<< /Type /Catalog /Pages 2 0 R >>"}})},
        {11, object_stream_body({{2, "<< /Type /Pages /Kids [3 0 R 6 0 R] >>"}})},
        {12, object_stream_body({{3, "<< /Type /Page /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>"}})},
        {13, object_stream_body({{5, "<< /Type /Font /Subtype /Type1 /Encoding << /Differences [65 /Z] >> >>"}})},
        {14, object_stream_body({{6, "<< /Type /Page /Contents 7 0 R >>"}})},
        {15, object_stream_body({{8, "<< /Unused true >>"}})},
        {4, stream_body("", "BT /F1 12 Tf (AB) Tj ET")},
        {7, stream_body("", "BT (second page) Tj ET")},
    };
    const std::string file = build_pdf_xref_stream(
        written, {{1, 10, 0}, {2, 11, 0}, {3, 12, 0}, {5, 13, 0}, {6, 14, 0}, {8, 15, 0}}, {});
    struct {
        tavrik::ppdf_need need;
        int decoded;
        int lines;
    } cases[] = {{tavrik::ppdf_need::first_line, 4, 1}, {tavrik::ppdf_need::everything, 6, 2}};
    for (const auto& c : cases) {
        auto info = std::make_unique<tavrik::ppdf_info>();
        tavrik::ppdf_trace trace;
        ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info, c.need, &trace), 1);
        EXPECT_EQ(trace.object_streams_decoded, c.decoded);
        ASSERT_EQ(info->line_count, c.lines);
        EXPECT_STREQ(info->lines[0].text, "ZB");
    }
}

// An incremental update rewrites object 3 in a new object stream; the older stream
// still holds the old copy. The entry decides, whichever stream is unpacked first.
TEST(Objstm, TheEntryChoosesBetweenCopiesInTwoStreams)
{
    const std::string base = build_pdf_xref_stream(
        {{10, object_stream_body({{2, "<< /Title 3 0 R >>"}, {3, "(old)"}})}, {1, "<< /Type /Catalog >>"}},
        {{2, 10, 0}, {3, 10, 1}}, [] {
            xref_stream_options o;
            o.info = 2;
            return o;
        }());
    xref_stream_options xo;
    xo.base = base;
    xo.info = 2;
    xo.prev = pos_of(base, "11 0 obj");
    const std::string file = build_pdf_xref_stream({{20, object_stream_body({{3, "(new)"}})}}, {{3, 20, 0}}, xo);
    auto info = std::make_unique<tavrik::ppdf_info>();
    ASSERT_EQ(tavrik::ppdf_parse_bytes({file.begin(), file.end()}, *info), 1);
    EXPECT_STREQ(info->title, "new");
}
