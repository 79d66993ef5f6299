// Hostile documents, generated here: each must finish in bounded time and memory
// with the result a tolerant reader gives. The time bounds are for an optimised
// build; sanitizer and debug builds get more room.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "fonts/cmap.h"
#include "flate.h"
#include "pdf_builder.h"
#include "pdf_parse.h"
#include "reader_fixture.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#define TAVRIK_HOSTILE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRIK_HOSTILE_SANITIZED 1
#endif
#endif

namespace {

using namespace tavrik;
using tavrik_test::build_pdf;
using tavrik_test::pdf_object;
using tavrik_test::stream_body;

#if defined(TAVRIK_HOSTILE_SANITIZED)
constexpr double TIME_SCALE = 10;
#elif !defined(NDEBUG)
constexpr double TIME_SCALE = 5;
#else
constexpr double TIME_SCALE = 1;
#endif

// Bounds apply to the processor time of the parse (user and system), which other
// work on a shared machine does not inflate as it does the wall clock.
// Every input up to 1 MiB; the larger ones get the same bound, well within theirs.
constexpr double SMALL_INPUT_SECONDS = 2.0;

// Raw DEFLATE data that inflate to 1 + 258 * matches zero bytes: one dynamic block
// whose length code 285 and distance code 0 take one bit each, so every zero byte
// of the data is four matches (1032 bytes of output).
class bit_writer {
public:
    void put(std::uint32_t value, int bits)
    {
        for (int i = 0; i < bits; ++i) {
            acc_ |= ((value >> i) & 1u) << fill_;
            if (++fill_ == 8) {
                out_.push_back(static_cast<char>(acc_));
                acc_ = 0;
                fill_ = 0;
            }
        }
    }
    // Huffman codes go most significant bit first.
    void put_code(std::uint32_t code, int len)
    {
        for (int i = len - 1; i >= 0; --i)
            put((code >> i) & 1u, 1);
    }
    std::string finish()
    {
        if (fill_ > 0)
            out_.push_back(static_cast<char>(acc_));
        return std::move(out_);
    }

private:
    std::string out_;
    std::uint32_t acc_ = 0;
    int fill_ = 0;
};

std::string deflate_zeros(std::uint64_t matches)
{
    bit_writer w;
    w.put(1, 1);    // final block
    w.put(2, 2);    // dynamic codes
    w.put(29, 5);   // 286 literal/length codes
    w.put(1, 5);    // 2 distance codes
    w.put(14, 4);   // 18 code length codes
    // Code length code lengths in their stored order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1:
    // 18 gets one bit ("0"), 1 and 2 get two ("10", "11").
    const int cl[18] = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2};
    for (const int v : cl)
        w.put(static_cast<std::uint32_t>(v), 3);
    const auto zeros = [&](std::uint32_t n) {
        w.put_code(0, 1);
        w.put(n - 11, 7);
    };
    w.put_code(3, 2);   // literal 0: length 2
    zeros(138);         // literals 1..138
    zeros(117);         // literals 139..255
    w.put_code(3, 2);   // 256 (end of block): length 2
    zeros(28);          // 257..284
    w.put_code(2, 2);   // 285: length 1
    w.put_code(2, 2);   // distance 0: length 1
    w.put_code(2, 2);   // distance 1: length 1
    // Codes: 285 -> "0", literal 0 -> "10", 256 -> "11"; distance 0 -> "0".
    w.put_code(2, 2);
    std::uint64_t left = matches;
    for (; left > 0 && left % 4 != 0; --left)
        w.put(0, 2);
    for (; left > 0; left -= 4)
        w.put(0, 8);
    w.put_code(3, 2);
    return w.finish();
}

std::uint64_t matches_for(std::uint64_t bytes) { return bytes / 258 + 1; }

struct parse_result {
    std::unique_ptr<ppdf_info> info = std::make_unique<ppdf_info>();
    int ok = 0;
    double seconds = 0;
    std::size_t input_bytes = 0;
};

// The process's processor time in seconds. The C runtime's clock() is that on
// POSIX systems, but the wall clock on Windows.
double processor_seconds()
{
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e7;
#else
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#endif
}

parse_result parse(const std::string& pdf)
{
    parse_result r;
    r.input_bytes = pdf.size();
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = processor_seconds();
    r.ok = ppdf_parse_bytes(std::vector<std::uint8_t>(pdf.begin(), pdf.end()), *r.info);
    r.seconds = processor_seconds() - c0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  [%s] %.1f KiB: %.3f s processor, %.3f s wall\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), static_cast<double>(pdf.size()) / 1024.0,
                r.seconds, wall);
    return r;
}

// Inputs past 1 MiB get a share of the 60 s allowed at 256 MiB on top.
void expect_fast(const parse_result& r, double seconds = SMALL_INPUT_SECONDS)
{
    EXPECT_EQ(r.ok, 1);
    const double extra = 58.0 * static_cast<double>(r.input_bytes) / static_cast<double>(MAX_FILE_BYTES);
    EXPECT_LT(r.seconds, (seconds + (r.input_bytes > (1u << 20) ? extra : 0)) * TIME_SCALE);
}

std::string line(const ppdf_info& info, int i) { return i < info.line_count ? info.lines[i].text : "<none>"; }

std::string repeat(const std::string& s, std::size_t n)
{
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

// A catalog, a one-page tree and the page's font /F1; the page dictionary takes
// `page_extra`, the content streams are objects 10, 11, ...
std::vector<pdf_object> one_page(const std::vector<std::string>& contents, const std::string& page_extra = "")
{
    std::string refs;
    for (std::size_t i = 0; i < contents.size(); ++i)
        refs += std::to_string(10 + i) + " 0 R ";
    std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
        {3, "<< /Type /Page /Parent 2 0 R " + page_extra + " /Resources << /Font << /F1 5 0 R >> >> /Contents [" +
                refs + "] >>"},
        {5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
    };
    for (std::size_t i = 0; i < contents.size(); ++i)
        objs.push_back({static_cast<int>(10 + i), contents[i]});
    return objs;
}

const std::string HELLO = stream_body("", "BT /F1 12 Tf (Hello) Tj ET");

TEST(HostileBomb, GeneratorInflatesToZeros)
{
    const std::string data = deflate_zeros(5);
    std::vector<std::uint8_t> out(2000, 0xAA);
    const auto n = sx_inflate(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), out.data(), out.size());
    ASSERT_EQ(n, 1 + 5 * 258);
    for (std::int64_t i = 0; i < n; ++i)
        ASSERT_EQ(out[static_cast<std::size_t>(i)], 0) << i;
}

// A stream that inflates past the ceiling is dropped; the page's other stream counts.
TEST(HostileBomb, StreamPastTheCeilingIsDropped)
{
    const std::string bomb = stream_body("/Filter /FlateDecode", deflate_zeros(matches_for(MAX_DECODED_BYTES + 1)));
    const auto r = parse(build_pdf(one_page({bomb, HELLO})));
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, 1);
    EXPECT_EQ(r.info->line_count, 1);
    EXPECT_EQ(line(*r.info, 0), "Hello");
}

// One bomb just under the ceiling named by every page's Contents: the document's
// inflation budget ends the work long before the pages do.
TEST(HostileBomb, OneStreamSharedByManyPages)
{
    const int pages = 2000;
    const std::string bomb = stream_body("/Filter /FlateDecode", deflate_zeros(matches_for(200u << 20)));
    std::string kids;
    for (int i = 0; i < pages; ++i)
        kids += "<< /Type /Page /Contents 10 0 R >> ";
    const std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [" + kids + "] >>"},
        {10, bomb},
    };
    const std::string pdf = build_pdf(objs);
    ASSERT_LT(pdf.size(), 1u << 20);
    const auto r = parse(pdf);
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, pages);
    EXPECT_EQ(r.info->line_count, 0);
}

// Thousands of object-stream numbers whose entries all point at one bomb.
TEST(HostileBomb, ManyObjectStreamsOneBomb)
{
    const int streams = 4000;
    const std::string bomb =
        stream_body("/Type /ObjStm /N 1 /First 4 /Filter /FlateDecode", deflate_zeros(matches_for(200u << 20)));
    std::string pdf = "%PDF-1.7\n";
    std::vector<long long> offsets(10, -1);
    const auto put = [&](int num, const std::string& body) {
        offsets[static_cast<std::size_t>(num)] = static_cast<long long>(pdf.size());
        pdf += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
    };
    put(1, "<< /Type /Catalog /Pages 2 0 R >>");
    put(2, "<< /Type /Pages /Kids [3 0 R] >>");
    put(3, "<< /Type /Page /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>");
    put(4, HELLO);
    put(5, "<< /Type /Font /Subtype /Type1 >>");
    put(6, bomb);
    // Rows: 0..5 as written, 6 .. 6+streams-1 all at the bomb, then as many
    // compressed objects, one in each of those streams.
    const int size = 6 + 2 * streams + 1;
    std::vector<tavrik_test::xref_row> rows;
    rows.push_back({0, 0, 0});
    for (int n = 1; n <= 5; ++n)
        rows.push_back({1, offsets[static_cast<std::size_t>(n)], 0});
    for (int k = 0; k < streams; ++k)
        rows.push_back({1, offsets[6], 0});
    for (int k = 0; k < streams; ++k)
        rows.push_back({2, 6 + k, 0});
    const long long xref_pos = static_cast<long long>(pdf.size());
    rows.push_back({1, xref_pos, 0});
    const std::string data = tavrik_test::xref_stream_rows(rows, 1, 4, 2);
    pdf += std::to_string(size - 1) + " 0 obj\n" +
           stream_body("/Type /XRef /W [1 4 2] /Size " + std::to_string(size) + " /Root 1 0 R", data) +
           "\nendobj\nstartxref\n" + std::to_string(xref_pos) + "\n%%EOF\n";
    ASSERT_LT(pdf.size(), 1u << 20);
    const auto r = parse(pdf);
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, 1);
    EXPECT_EQ(line(*r.info, 0), "Hello");
}

// ---- nesting a million levels deep -------------------------------------------

constexpr std::size_t DEEP = 1000000;

struct deep_case {
    const char* name;
    std::string open;
    std::string close;
};

class HostileNesting : public ::testing::TestWithParam<deep_case> {};

// Balanced: everything after the deep value is still read.
TEST_P(HostileNesting, EverywhereItMatters)
{
    const deep_case& c = GetParam();
    const std::string deep = repeat(c.open, DEEP) + repeat(c.close, DEEP);
    const std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Deep " + deep + " /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] >>"},
        {3, "<< /Type /Page /Deep " + deep + " /Resources << /Font << /F1 5 0 R >> >> /Contents 4 0 R >>"},
        {4, stream_body("", deep + " BT /F1 12 Tf (Hello) Tj ET")},
        {5, "<< /Type /Font /Subtype /Type1 >>"},
        {6, "<< /Deep " + deep + " /Title (Deep) >>"},
    };
    tavrik_test::pdf_options opt;
    opt.info = 6;
    const auto r = parse(build_pdf(objs, opt));
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, 1);
    EXPECT_STREQ(r.info->title, "Deep");
    EXPECT_EQ(line(*r.info, 0), "Hello");
}

// Never closed: the rest of the object is swallowed, nothing worse.
TEST_P(HostileNesting, NeverClosed)
{
    const deep_case& c = GetParam();
    const std::string deep = repeat(c.open, DEEP);
    const std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] >>"},
        {3, "<< /Type /Page /Resources << /Font << /F1 5 0 R >> >> /Contents [4 0 R 7 0 R] /Deep " + deep + " >>"},
        {4, stream_body("", "BT /F1 12 Tf (Hello) Tj ET " + deep)},
        {5, "<< /Type /Font /Subtype /Type1 >>"},
        {6, "<< /Title (Deep) /Deep " + deep + " >>"},
        {7, stream_body("", deep)},
    };
    tavrik_test::pdf_options opt;
    opt.info = 6;
    const auto r = parse(build_pdf(objs, opt));
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, 1);
    EXPECT_STREQ(r.info->title, "Deep");
    EXPECT_EQ(line(*r.info, 0), "Hello");
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileNesting,
                         ::testing::Values(deep_case{"Arrays", "[", "]"}, deep_case{"Dicts", "<</A ", ">>"},
                                           deep_case{"Mixed", "[<</A ", ">>]"}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- cross-reference data ---------------------------------------------------

// Classic sections whose Prev chain loops back to itself or to each other.
TEST(HostileXref, PrevChainLoops)
{
    std::string pdf = tavrik_test::simple_pdf("BT /F1 12 Tf (Hello) Tj ET");
    const std::size_t sx = pdf.rfind("startxref");
    const std::string xref_pos = pdf.substr(sx + 10, pdf.find('\n', sx + 10) - (sx + 10));
    // Self loop in the one trailer.
    std::string self = pdf;
    self.replace(self.find("trailer\n<<") + 10, 0, " /Prev " + xref_pos);
    // An update whose trailer points at the first section, whose trailer points back.
    std::string pair = self;
    const std::string second = std::to_string(pair.size());
    pair += "xref\n0 1\n0000000000 65535 f\r\ntrailer\n<< /Size 6 /Root 1 0 R /Prev " + xref_pos +
            " >>\nstartxref\n" + second + "\n%%EOF\n";
    pair.replace(pair.find("/Prev " + xref_pos), 6 + xref_pos.size(), "/Prev " + second);
    for (const std::string* p : {&self, &pair}) {
        const auto r = parse(*p);
        expect_fast(r);
        EXPECT_EQ(r.info->page_count, 1);
        EXPECT_EQ(line(*r.info, 0), "Hello");
    }
}

// A cross-reference stream whose Prev names itself.
TEST(HostileXref, StreamPrevNamesItself)
{
    const auto objs = one_page({HELLO});
    std::string pdf = tavrik_test::build_pdf_xref_stream(objs, {});
    const std::size_t sx = pdf.rfind("startxref");
    const std::string pos = pdf.substr(sx + 10, pdf.find('\n', sx + 10) - (sx + 10));
    const std::size_t dict = pdf.find("/Type /XRef");
    ASSERT_NE(dict, std::string::npos);
    pdf.insert(dict, "/Prev " + pos + " ");
    const auto r = parse(pdf);
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, 1);
    EXPECT_EQ(line(*r.info, 0), "Hello");
}

// Object streams that name themselves, directly or as one of their own objects.
TEST(HostileXref, ObjectStreamNamesItself)
{
    // The page lives in stream 20, whose own entry says it lives in stream 20.
    {
        auto objs = one_page({HELLO});
        objs.erase(objs.begin() + 2);
        objs.push_back({20, tavrik_test::object_stream_body({{3, "<< /Type /Page /Contents 10 0 R >>"}})});
        const std::string pdf = tavrik_test::build_pdf_xref_stream(objs, {{3, 20, 0}, {20, 20, 0}});
        const auto r = parse(pdf);
        expect_fast(r);
        EXPECT_EQ(r.info->page_count, 0);
    }
    // Stream 20 is written and lists itself (and the page) as its own objects.
    {
        auto objs = one_page({HELLO});
        objs.erase(objs.begin() + 2);
        objs.push_back({20, tavrik_test::object_stream_body({{20, "<< /Type /ObjStm /N 1 /First 0 >>"},
                                                             {3, "<< /Type /Page /Resources << /Font << /F1 5 0 R >> "
                                                                 ">> /Contents 10 0 R >>"}})});
        const std::string pdf = tavrik_test::build_pdf_xref_stream(objs, {{3, 20, 1}});
        const auto r = parse(pdf);
        expect_fast(r);
        EXPECT_EQ(r.info->page_count, 1);
        EXPECT_EQ(line(*r.info, 0), "Hello");
    }
}

struct xref_dict_case {
    const char* name;
    std::string dict_extra;
};

class HostileXrefStream : public ::testing::TestWithParam<xref_dict_case> {};

// Widths and counts that would walk for ever or read far outside the data: the
// later keys win over the builder's own, and the document falls back on the scan.
TEST_P(HostileXrefStream, HugeWidthsAndSizes)
{
    tavrik_test::xref_stream_options opt;
    opt.dict_extra = GetParam().dict_extra;
    const std::string pdf = tavrik_test::build_pdf_xref_stream(one_page({HELLO}), {}, opt);
    const auto r = parse(pdf);
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, 1);
    EXPECT_EQ(line(*r.info, 0), "Hello");
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileXrefStream,
    ::testing::Values(xref_dict_case{"HugeSize", "/Size 1000000000000000000"},
                      xref_dict_case{"HugeMiddleWidth", "/W [1 2147483647 1] /Size 99999999999"},
                      xref_dict_case{"HugeEveryWidth", "/W [2147483647 2147483647 2147483647]"},
                      xref_dict_case{"NegativeWidths", "/W [-5 -2147483648 -1]"},
                      xref_dict_case{"WiderThanInt", "/W [1 1e300 -1e300] /Size 1e300"},
                      xref_dict_case{"HugeIndex", "/Index [0 1000000000000000000 9223372036854775807 5]"},
                      xref_dict_case{"ManyIndexNumbers", "/Index [" + repeat("0 99999999999 ", 100000) + "]"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- declared sizes and long histories ----------------------------------------

// A tiny document with a title, whose cross-reference data declare 8,000,000
// objects in the ways a writer can: the table is sized by the entries the file
// holds, not by what it declares.
struct declared_case {
    const char* name;
    std::string pdf;
};

class HostileDeclaredSize : public ::testing::TestWithParam<declared_case> {};

TEST_P(HostileDeclaredSize, CostsWhatTheFileHolds)
{
    const std::string& pdf = GetParam().pdf;
    ASSERT_LT(pdf.size(), 4096u);
    const auto r = parse(pdf);
    expect_fast(r, 0.05);
    EXPECT_STREQ(r.info->title, "Declared");
    EXPECT_EQ(line(*r.info, 0), "Hello");

    tavrik_test::reader rd(pdf);
    rd.load_xref();
    EXPECT_LE(rd.ctx.xref.capacity_slots(), DENSE_FREE_SLOTS);
    EXPECT_LE(rd.ctx.xref.far_count(), 16u);
}

// The one-page document with a title, its objects numbered from first + 1.
std::vector<pdf_object> declared_document(int first)
{
    const auto ref = [&](int k) { return std::to_string(first + k) + " 0 R"; };
    return {
        {first + 1, "<< /Type /Catalog /Pages " + ref(2) + " >>"},
        {first + 2, "<< /Type /Pages /Kids [" + ref(3) + "] /Count 1 >>"},
        {first + 3, "<< /Type /Page /Resources << /Font << /F1 " + ref(5) + " >> >> /Contents " + ref(4) + " >>"},
        {first + 4, HELLO},
        {first + 5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
        {first + 6, "<< /Title (Declared) >>"},
    };
}

std::string declared_classic(const std::string& trailer_size, const std::string& first_subsection, int first)
{
    tavrik_test::pdf_options opt;
    opt.root = 1 + first;
    opt.info = 6 + first;
    opt.sparse_xref = true;
    std::string pdf = build_pdf(declared_document(first), opt);
    if (!trailer_size.empty())
        pdf.replace(pdf.find("/Size "), pdf.find(" /Root") - pdf.find("/Size "), "/Size " + trailer_size);
    if (!first_subsection.empty())
        pdf.replace(pdf.find("xref\n0 1\n") + 5, 3, first_subsection);
    return pdf;
}

std::string declared_stream(const std::string& extra, int first)
{
    tavrik_test::xref_stream_options xo;
    xo.root = 1 + first;
    xo.info = 6 + first;
    xo.sparse = true;
    xo.dict_extra = extra;
    return tavrik_test::build_pdf_xref_stream(declared_document(first), {}, xo);
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, HostileDeclaredSize,
    ::testing::Values(declared_case{"TrailerSize", declared_classic("8000000", "", 0)},
                      // The rows stop long before the count; the trailer is not read.
                      declared_case{"SubsectionCount", declared_classic("", "0 8000000", 0)},
                      declared_case{"ObjectsNumberedNearTheEnd", declared_classic("8000000", "", 7999980)},
                      declared_case{"StreamSize", declared_stream("/Size 8000000", 0)},
                      declared_case{"StreamObjectsNumberedNearTheEnd", declared_stream("/Size 8000000", 7999980)}),
    [](const auto& p) { return std::string(p.param.name); });

// Long histories: 5,000 incremental updates, each with its own section, Info only
// in the oldest; and the same chain with the oldest section pointing back at the
// newest.
TEST(HostileXref, ChainOfFiveThousandSections)
{
    for (const bool ring : {false, true}) {
        SCOPED_TRACE(ring ? "ring" : "chain");
        tavrik_test::pdf_options opt;
        opt.info = 6;
        opt.trailer_extra = "/XX 0000000000";   // room for the ring's Prev
        auto objs = one_page({HELLO});
        objs.push_back({6, "<< /Title (Oldest) >>"});
        std::string pdf = build_pdf(objs, opt);
        std::size_t prev = pdf.rfind("xref\n0 ");
        const int sections = 5000;
        for (int k = 1; k < sections; ++k) {
            const int num = 100 + k;
            const std::size_t obj = pdf.size();
            pdf += std::to_string(num) + " 0 obj\n<< >>\nendobj\n";
            const std::size_t xref = pdf.size();
            char row[32];
            std::snprintf(row, sizeof row, "%010zu 00000 n\r\n", obj);
            pdf += "xref\n" + std::to_string(num) + " 1\n" + row + "trailer\n<< /Root 1 0 R /Info 6 0 R /Prev " +
                   std::to_string(prev) + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
            prev = xref;
        }
        if (ring) {
            char back[16];
            std::snprintf(back, sizeof back, "Prev %08zu", prev);
            pdf.replace(pdf.find("XX 0000000000"), 13, back);
        }
        ASSERT_LT(pdf.size(), 1u << 20);
        const auto r = parse(pdf);
        expect_fast(r);
        EXPECT_STREQ(r.info->title, "Oldest");
        EXPECT_EQ(line(*r.info, 0), "Hello");
    }
}

struct objstm_case {
    const char* name;
    std::string extra;   // appended to the dictionary, so these N and First win
};

class HostileObjectStream : public ::testing::TestWithParam<objstm_case> {};

TEST_P(HostileObjectStream, CountsOutOfRange)
{
    auto objs = one_page({HELLO});
    objs.erase(objs.begin() + 2);
    objs.push_back({20, tavrik_test::object_stream_body({{3, "<< /Type /Page /Contents 10 0 R >>"}},
                                                        GetParam().extra)});
    const std::string pdf = tavrik_test::build_pdf_xref_stream(objs, {{3, 20, 0}});
    const auto r = parse(pdf);
    expect_fast(r);
    EXPECT_LE(r.info->page_count, 1);
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileObjectStream,
                         ::testing::Values(objstm_case{"HugeN", "/N 1000000000000"},
                                           objstm_case{"NegativeN", "/N -1"},
                                           objstm_case{"HugeFirst", "/First 1000000000000000000"},
                                           objstm_case{"NegativeFirst", "/First -7"},
                                           objstm_case{"NaNs", "/N 1e999 /First -1e999"}),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- page trees --------------------------------------------------------------

TEST(HostilePageTree, CycleAndRepeatedSubtrees)
{
    // 2 -> 3 -> 2 and 3 -> 4 (the one page).
    {
        const std::vector<pdf_object> objs = {
            {1, "<< /Type /Catalog /Pages 2 0 R >>"},
            {2, "<< /Type /Pages /Kids [3 0 R 2 0 R] >>"},
            {3, "<< /Type /Pages /Kids [2 0 R 4 0 R 3 0 R] >>"},
            {4, "<< /Type /Page /Contents 10 0 R >>"},
            {10, HELLO},
        };
        const auto r = parse(build_pdf(objs));
        expect_fast(r);
        EXPECT_EQ(r.info->page_count, 1);
    }
    // Every level lists the next one 100 times, 30 levels down: 100^30 pages by
    // the letter; the document's node budget ends the walk.
    {
        std::vector<pdf_object> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"}};
        const int levels = 30;
        for (int l = 0; l < levels; ++l)
            objs.push_back({2 + l, "<< /Type /Pages /Kids [" + repeat(std::to_string(3 + l) + " 0 R ", 100) + "] >>"});
        objs.push_back({2 + levels, "<< /Type /Page /Contents 100 0 R >>"});
        objs.push_back({100, HELLO});
        const auto r = parse(build_pdf(objs));
        expect_fast(r);
        EXPECT_GT(r.info->page_count, MAX_PAGE_NODES / 2);
        EXPECT_LE(r.info->page_count, MAX_PAGE_NODES);
        EXPECT_EQ(r.info->line_count, MAX_LINES);
    }
}

// Ten thousand distinct pages, each with 600 fonts that share one ToUnicode CMap
// and a content stream that selects a font but shows nothing. Two resource
// dictionaries alternate, so no page's fonts are the last page's.
TEST(HostilePageTree, ManyPagesWithManyFontsAndNoText)
{
    const int pages = 10000;
    const int fonts = 600;
    std::string cmap = "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
                       "1 begincodespacerange <00> <FF> endcodespacerange\n"
                       "2 beginbfrange <20> <7E> <0020> <80> <FF> <00C0> endbfrange\n";
    for (int i = 0; i < 10; ++i)
        cmap += "10 beginbfchar " + repeat("<41> <0042> ", 10) + "endbfchar\n";
    cmap += "endcmap CMapName currentdict /CMap defineresource pop end end\n";
    std::string font_dict_a = "<< ";
    std::string font_dict_b = "<< ";
    for (int f = 0; f < fonts; ++f) {
        font_dict_a += "/F" + std::to_string(f) + " " + std::to_string(1000 + f) + " 0 R ";
        font_dict_b += "/F" + std::to_string(fonts - 1 - f) + " " + std::to_string(1000 + fonts - 1 - f) + " 0 R ";
    }
    std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {3, "<< /Font 5 0 R >>"},
        {4, "<< /Font 6 0 R >>"},
        {5, font_dict_a + ">>"},
        {6, font_dict_b + ">>"},
        {7, stream_body("", "BT /F1 12 Tf ET")},
        {8, stream_body("", cmap)},
    };
    for (int f = 0; f < fonts; ++f)
        objs.push_back({1000 + f, "<< /Type /Font /Subtype /Type1 /ToUnicode 8 0 R >>"});
    std::string kids;
    for (int p = 0; p < pages; ++p)
        kids += p % 2 == 0 ? "<< /Type /Page /Resources 3 0 R /Contents 7 0 R >> "
                           : "<< /Type /Page /Resources 4 0 R /Contents 7 0 R >> ";
    objs.push_back({2, "<< /Type /Pages /Kids [" + kids + "] >>"});
    const std::string pdf = build_pdf(objs);
    ASSERT_LT(pdf.size(), 1u << 20);
    const auto r = parse(pdf);
    expect_fast(r);
    EXPECT_EQ(r.info->page_count, pages);
    EXPECT_EQ(r.info->line_count, 0);
}

// ---- fonts and content ---------------------------------------------------------

// Millions of tokens in a ToUnicode CMap; the mapping before them still counts.
TEST(HostileFonts, CMapOfMillionsOfTokens)
{
    const std::string cmap = "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n"
                             "1 begincodespacerange <00> <FF> endcodespacerange\n"
                             "1 beginbfchar <41> <005A> endbfchar\n" +
                             repeat("x ", 3000000) + repeat("<41> ", 2000000) + "\nendcmap\n";
    auto objs = one_page({HELLO});
    objs[3].body = "<< /Type /Font /Subtype /Type1 /ToUnicode 20 0 R >>";
    objs.push_back({20, stream_body("", cmap)});
    objs[4].body = stream_body("", "BT /F1 12 Tf (A) Tj ET");
    const auto r = parse(build_pdf(objs));
    expect_fast(r);
    EXPECT_EQ(line(*r.info, 0), "Z");
}

TEST(HostileFonts, DifferencesWithHugeCodes)
{
    auto objs = one_page({stream_body("", "BT /F1 12 Tf (AB) Tj ET")});
    objs[3].body = "<< /Type /Font /Subtype /Type1 /Encoding << /Differences [ 4294967296 /x 99999999999999999999 "
                   "/y -1 /z 1e308 /w -1e308 /v 2147483647 /u 4294967295 /t 65 /Z /Y ] >> >>";
    const auto r = parse(build_pdf(objs));
    expect_fast(r);
    EXPECT_EQ(line(*r.info, 0), "ZY");
}

std::string be16(std::uint32_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string be32(std::uint32_t v) { return be16(v >> 16) + be16(v & 0xFFFF); }

// A TrueType program of a maxp table and a cmap table holding the given subtables.
std::string truetype_program(std::uint32_t glyphs, const std::vector<std::pair<std::uint32_t, std::string>>& subtables)
{
    std::string cmap = be16(0) + be16(static_cast<std::uint32_t>(subtables.size()));
    std::uint32_t at = 4 + 8 * static_cast<std::uint32_t>(subtables.size());
    for (const auto& [id, t] : subtables) {
        cmap += be16(id >> 16) + be16(id & 0xFFFF) + be32(at);
        at += static_cast<std::uint32_t>(t.size());
    }
    for (const auto& st : subtables) cmap += st.second;
    const std::string maxp = be32(0x00005000) + be16(glyphs);
    const std::uint32_t dir = 12 + 2 * 16;
    return be32(0x00010000) + be16(2) + be16(0) + be16(0) + be16(0) + "cmap" + be32(0) + be32(dir) +
           be32(static_cast<std::uint32_t>(cmap.size())) + "maxp" + be32(0) +
           be32(dir + static_cast<std::uint32_t>(cmap.size())) + be32(static_cast<std::uint32_t>(maxp.size())) + cmap +
           maxp;
}

// cmap subtables whose segments and groups overlap, each asking for every code: a
// reader that walked them all would take billions of steps.
TEST(HostileFonts, OverlappingCmapSegmentsAndGroups)
{
    const std::uint32_t segs = 30000;
    std::string ends, starts, deltas, offsets;
    for (std::uint32_t i = 0; i < segs; ++i) {
        ends += be16(i + 1 == segs ? 0xFFFF : 0xFFFE);
        starts += be16(0);
        deltas += be16(1);
        offsets += be16(0);
    }
    const std::string format4 = be16(4) + be16(0) + be16(0) + be16(2 * segs) + be16(0) + be16(0) + be16(0) + ends +
                                be16(0) + starts + deltas + offsets;
    std::string groups;
    for (int i = 0; i < 60000; ++i) groups += be32(0) + be32(0x10FFFF) + be32(1);
    const std::string format12 = be16(12) + be16(0) + be32(0) + be32(0) + be32(60000) + groups;
    const std::string program = truetype_program(65535, {{0x30000, format4}, {0x3000A, format12}, {0x10000, format4}});

    auto objs = one_page({stream_body("", "BT /F1 12 Tf (AB) Tj ET")});
    objs[3].body = "<< /Type /Font /Subtype /TrueType /BaseFont /ABCDEF+X /FontDescriptor 6 0 R >>";
    objs.push_back({6, "<< /Type /FontDescriptor /Flags 4 /FontFile2 7 0 R >>"});
    objs.push_back({7, stream_body("", program)});
    const auto r = parse(build_pdf(objs));
    expect_fast(r);
    EXPECT_EQ(r.info->line_count, 1);
}

// Hundreds of fonts on hundreds of pages share one embedded program, which is read
// once for the document rather than once per font and page.
TEST(HostileFonts, ManyFontsShareOneProgram)
{
    std::vector<pdf_object> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"}};
    std::string kids;
    std::string fonts;
    for (int f = 0; f < 400; ++f) fonts += "/F" + std::to_string(f) + " 5 0 R ";
    const int pages = 300;
    for (int p = 0; p < pages; ++p) {
        kids += std::to_string(100 + p) + " 0 R ";
        objs.push_back({100 + p, "<< /Type /Page /Parent 2 0 R /Resources << /Font << " + fonts +
                                     ">> >> /Contents 10 0 R >>"});
    }
    objs.push_back({2, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>"});
    objs.push_back({5, "<< /Type /Font /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 6 0 R >>"});
    objs.push_back({6, "<< /Type /FontDescriptor /Flags 4 /FontFile 7 0 R >>"});
    // A clear-text part padded to a megabyte before its encoding.
    objs.push_back({7, stream_body("", "%!PS-AdobeFont-1.0: Greek\n" + repeat("% padding\n", 100000) +
                                           "/Encoding 256 array\ndup 97 /alpha put\nreadonly def\ncurrentfile eexec\n")});
    objs.push_back({10, stream_body("", "BT /F399 12 Tf (a) Tj ET")});
    const auto r = parse(build_pdf(objs));
    expect_fast(r);
    EXPECT_EQ(line(*r.info, 0), "\xCE\xB1");
}

TEST(HostileContent, MillionFontSelections)
{
    auto objs = one_page({stream_body("", "BT " + repeat("/F1 12 Tf\n", 1000000) + "(Hello) Tj ET")});
    std::string font_dict;
    for (int f = 0; f < 600; ++f)
        font_dict += "/G" + std::to_string(f) + " 5 0 R ";
    objs[2].body = "<< /Type /Page /Resources << /Font << " + font_dict + "/F1 5 0 R >> >> /Contents 10 0 R >>";
    const auto r = parse(build_pdf(objs));
    expect_fast(r);
    EXPECT_EQ(line(*r.info, 0), "Hello");
    EXPECT_EQ(r.info->lines[0].font_size, 12);
}

}  // namespace
