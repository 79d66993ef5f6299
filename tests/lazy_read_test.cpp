// Reading a file in parts: naming by title starts from the tail and reads further
// back only as far as the lookups reach, with the summary a whole read gives.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "pdf_parse.h"

using tavrik_test::build_pdf;
using tavrik_test::build_pdf_xref_stream;
using tavrik_test::object_stream_body;
using tavrik_test::pdf_object;
using tavrik_test::pdf_options;
using tavrik_test::stream_body;
using tavrik_test::xref_stream_options;

namespace {

using need = tavrik::ppdf_need;

// Bytes no lookup of the title needs: a stream of filler the size of a manual's pages.
pdf_object filler(int num, std::size_t bytes) { return {num, stream_body("", std::string(bytes, 'x'))}; }

// A file with a classic table whose trailer names object 9 as Info.
std::string with_info_9(const std::vector<pdf_object>& objects)
{
    pdf_options o;
    o.info = 9;
    return build_pdf(objects, o);
}

std::vector<std::uint8_t> as_bytes(const std::string& s) { return {s.begin(), s.end()}; }

struct parsed {
    std::unique_ptr<tavrik::ppdf_info> info = std::make_unique<tavrik::ppdf_info>();
    tavrik::ppdf_trace trace;
    int rc = 0;
};

parsed parse(const std::string& file, need n, std::uint64_t tail = tavrik::TAIL_FIRST_BYTES)
{
    parsed p;
    p.rc = tavrik::ppdf_parse_bytes(as_bytes(file), *p.info, n, &p.trace, tail);
    return p;
}

struct lazy_case {
    const char* name;
    std::string file;
    const char* title;      // what the whole read finds
    bool reads_to_start;    // the lookups reach the first bytes of the file
};

std::vector<lazy_case> lazy_cases()
{
    const std::size_t big = 200000;
    std::vector<lazy_case> out;
    {
        // A classic table with the catalog and the Info dictionary written last.
        out.push_back({"InfoAtTheEnd",
                       with_info_9({filler(3, big),
                                    {1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                    {2, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                    {9, "<< /Title (Near the end) >>"}}),
                       "Near the end", false});
    }
    {
        // Info written near the start, past what the header search reads: the reads
        // go back to it, the title is the same.
        out.push_back({"InfoAtTheStart",
                       with_info_9({filler(4, 3000),
                                    {9, "<< /Title (At the start) >>"},
                                    {1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                    {2, "<< /Type /Pages /Kids [] /Count 0 >>"},
                                    filler(3, big)}),
                       "At the start", true});
    }
    {
        // The title string in an object of its own, far before its dictionary.
        out.push_back({"TitleStringFarAway",
                       with_info_9({filler(4, 3000),
                                    {8, "(Kept apart)"},
                                    filler(3, big),
                                    {1, "<< /Type /Catalog >>"},
                                    {9, "<< /Title 8 0 R >>"}}),
                       "Kept apart", true});
    }
    {
        // A cross-reference stream with Info packed in an object stream at the end.
        xref_stream_options xo;
        xo.info = 2;
        out.push_back({"PackedInfo",
                       build_pdf_xref_stream(
                           {filler(5, big),
                            {8, object_stream_body({{1, "<< /Type /Catalog >>"}, {2, "<< /Title (Packed) >>"}})}},
                           {{1, 8, 0}, {2, 8, 1}}, xo),
                       "Packed", false});
    }
    {
        // An update appended to a file: the newest section is at the end, its Prev at
        // the start; the old title loses to the new one.
        pdf_options o;
        o.info = 9;
        const std::string base =
            build_pdf({{1, "<< /Type /Catalog >>"}, {9, "<< /Title (Old) >>"}, filler(3, big)}, o);
        xref_stream_options xo;
        xo.base = base;
        xo.info = 10;
        xo.prev = static_cast<long long>(base.rfind("\nxref") + 1);
        out.push_back({"UpdateAfterAnOlderFile",
                       build_pdf_xref_stream({{10, "<< /Title (New) >>"}}, {}, xo), "New", true});
    }
    {
        // No startxref in the tail window: the whole file is searched.
        std::string file = with_info_9({{1, "<< /Type /Catalog >>"}, {9, "<< /Title (Searched) >>"}});
        file += "%" + std::string(big, ' ') + "\n";
        out.push_back({"StartxrefFarFromTheEnd", file, "Searched", true});
    }
    {
        // Positions that lead nowhere: the scan of the whole file stands in.
        pdf_options o;
        o.info = 9;
        o.offset_shift = 20000;
        out.push_back({"RepairedTable",
                       build_pdf({{1, "<< /Type /Catalog >>"}, {9, "<< /Title (Repaired) >>"}, filler(3, big)}, o),
                       "Repaired", true});
    }
    return out;
}

}  // namespace

class LazyRead : public ::testing::TestWithParam<lazy_case> {};

// Whatever the size of the first tail, down to a single byte, the summary equals
// the whole read's, and a document whose lookups stay near its end is not read whole.
TEST_P(LazyRead, GivesTheWholeReadsSummary)
{
    const auto& c = GetParam();
    const parsed whole = parse(c.file, need::everything);
    ASSERT_EQ(whole.rc, 1);
    ASSERT_STREQ(whole.info->title, c.title);
    for (const std::uint64_t tail : {std::uint64_t{1}, std::uint64_t{100}, std::uint64_t{4096},
                                     tavrik::TAIL_FIRST_BYTES, std::uint64_t{c.file.size()}}) {
        SCOPED_TRACE("tail " + std::to_string(tail));
        const parsed part = parse(c.file, need::title_else_lines, tail);
        ASSERT_EQ(part.rc, 1);
        EXPECT_STREQ(part.info->title, whole.info->title);
        EXPECT_STREQ(part.info->mod_date, whole.info->mod_date);
        EXPECT_EQ(part.info->encrypted, whole.info->encrypted);
        EXPECT_STREQ(part.info->version, whole.info->version);
    }
    const parsed part = parse(c.file, need::title_else_lines);
    EXPECT_GT(part.trace.first_unread, 0);
    if (c.reads_to_start) {
        EXPECT_EQ(part.trace.first_read, 0);
    } else {
        EXPECT_GT(part.trace.first_read, static_cast<std::int64_t>(c.file.size() / 2));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, LazyRead, ::testing::ValuesIn(lazy_cases()),
                         [](const auto& p) { return std::string(p.param.name); });

// Without a title the page text is read, so the whole file is: the lines are those
// of a whole read.
TEST(LazyRead, PageTextNeedsTheWholeFile)
{
    const std::string content = stream_body("", "BT /F1 12 Tf (Words on the page) Tj ET");
    const std::string file = build_pdf({{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
                                        {3, "<< /Type /Page /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"},
                                        {4, content},
                                        {5, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"},
                                        filler(6, 100000)});
    const parsed part = parse(file, need::title_else_lines, 64);
    ASSERT_EQ(part.rc, 1);
    EXPECT_GT(part.trace.first_unread, 0);
    EXPECT_EQ(part.trace.first_read, 0);
    ASSERT_EQ(part.info->line_count, 1);
    EXPECT_STREQ(part.info->lines[0].text, "Words on the page");
}

// A header after leading bytes, with offsets counted from it, is found the same way.
TEST(LazyRead, LeadingBytesBeforeTheHeader)
{
    pdf_options o;
    o.info = 9;
    o.leading_bytes = std::string(300, '#') + "\n";
    const std::string file = build_pdf({{1, "<< /Type /Catalog >>"}, filler(3, 50000), {9, "<< /Title (Shifted) >>"}}, o);
    for (const std::uint64_t tail : {std::uint64_t{1}, tavrik::TAIL_FIRST_BYTES}) {
        const parsed part = parse(file, need::title_else_lines, tail);
        ASSERT_EQ(part.rc, 1);
        EXPECT_STREQ(part.info->title, "Shifted");
    }
}
