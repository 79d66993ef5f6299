// The page-tree walk through whole documents: node types, Kids forms, inherited
// resources, content arrays, and the bounds on damaged or hostile trees.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pdf_builder.h"

namespace tavrik {
namespace {

using tavrik_test::build_pdf;
using tavrik_test::pdf_object;
using tavrik_test::stream_body;

std::unique_ptr<ppdf_info> parse(const std::vector<pdf_object>& objs)
{
    auto info = std::make_unique<ppdf_info>();
    const std::string bytes = build_pdf(objs);
    EXPECT_EQ(ppdf_parse_bytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), *info), 1);
    return info;
}

std::vector<std::string> lines_of(const ppdf_info& info)
{
    std::vector<std::string> out;
    for (int k = 0; k < info.line_count; ++k)
        out.emplace_back(info.lines[k].text);
    return out;
}

std::string ref(int n) { return std::to_string(n) + " 0 R"; }

std::string refs(int n, int times)
{
    std::string s;
    for (int k = 0; k < times; ++k)
        s += ref(n) + " ";
    return s;
}

std::string text_stream(const std::string& text) { return stream_body("", "BT (" + text + ") Tj ET"); }

// Catalog 1, root Pages 2 with these Kids and extra entries, then the rest.
std::vector<pdf_object> doc(const std::string& kids, std::vector<pdf_object> rest, const std::string& root_extra = "")
{
    std::vector<pdf_object> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"},
                                    {2, "<< /Type /Pages " + root_extra + " /Kids [" + kids + "] >>"}};
    objs.insert(objs.end(), rest.begin(), rest.end());
    return objs;
}

struct tree_case {
    const char* name;
    std::vector<pdf_object> objs;
    int pages;
    std::vector<std::string> lines;
};

void PrintTo(const tree_case& c, std::ostream* os) { *os << c.name; }

class PageTree : public ::testing::TestWithParam<tree_case> {};

TEST_P(PageTree, PagesAndLines)
{
    const auto info = parse(GetParam().objs);
    EXPECT_EQ(info->page_count, GetParam().pages);
    EXPECT_EQ(lines_of(*info), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(Kids, PageTree, ::testing::Values(
    tree_case{"KidsOrder", doc("5 0 R 3 0 R 4 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"}, {4, "<< /Type /Page /Contents 7 0 R >>"},
         {5, "<< /Type /Page /Contents 8 0 R >>"},
         {6, text_stream("three")}, {7, text_stream("four")}, {8, text_stream("five")}}),
        3, {"five", "three", "four"}},
    tree_case{"TypeSpellings", doc("3 0 R 4 0 R 5 0 R",
        {{3, "<</Type/Page/Contents 6 0 R>>"}, {4, "<< /Type /page /Contents 6 0 R >>"},
         {5, "<< /Type#20 /Page /Contents 6 0 R >>"}, {6, text_stream("x")}}),
        2, {"x", "x"}},
    tree_case{"KidWithoutTypeIgnored", doc("3 0 R 4 0 R",
        {{3, "<< /Contents 6 0 R /MediaBox [0 0 1 1] >>"}, {4, "<< /Type /Page >>"}, {6, text_stream("x")}}),
        1, {}},
    tree_case{"TypeOnlyInNestedDict", doc("3 0 R",
        {{3, "<< /Resources << /Type /Page >> /Contents 6 0 R >>"}, {6, text_stream("x")}}),
        0, {}},
    tree_case{"TypeInsideStringIgnored", doc("3 0 R",
        {{3, "<< /T (/Type /Page) /Contents 6 0 R >>"}, {6, text_stream("x")}}),
        0, {}},
    tree_case{"ShortKidIgnored", doc("3 0 R", {{3, "<<>>"}}), 0, {}},
    tree_case{"StrayTokenSkipped", doc("3 0 R foo 4 0 R 99999 0 R 7 0 R",
        {{3, "<< /Type /Page >>"}, {4, "<< /Type /Page >>"}}),
        2, {}},
    tree_case{"InlinePage", doc("<< /Type /Page /Contents 6 0 R >> 3 0 R",
        {{3, "<< /Type /Page >>"}, {6, text_stream("inline")}}),
        2, {"inline"}},
    tree_case{"InlineWithoutType", doc("<< /Contents 6 0 R >> <<>>", {{6, text_stream("bare")}}), 2, {"bare"}},
    tree_case{"InlinePagesIgnored", doc("<< /Type /Pages /Kids [3 0 R] >>", {{3, "<< /Type /Page >>"}}), 0, {}},
    tree_case{"PageWithoutContents", doc("3 0 R", {{3, "<< /Type /Page /MediaBox [0 0 1 1] >>"}}), 1, {}},
    tree_case{"DuplicateKidsWalked", doc("3 0 R 3 0 R 4 0 R 4 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"}, {4, "<< /Type /Pages /Kids [5 0 R] >>"},
         {5, "<< /Type /Page /Contents 7 0 R >>"}, {6, text_stream("a")}, {7, text_stream("b")}}),
        4, {"a", "a", "b", "b"}}),
    [](const auto& p) { return std::string(p.param.name); });

// Fonts 10, 11, 12 map A to B, C and D.
std::vector<pdf_object> with_fonts(std::vector<pdf_object> objs)
{
    objs.push_back({10, "<< /Type /Font /Encoding << /Differences [65 /B] >> >>"});
    objs.push_back({11, "<< /Type /Font /Encoding << /Differences [65 /C] >> >>"});
    objs.push_back({12, "<< /Type /Font /Encoding << /Differences [65 /D] >> >>"});
    return objs;
}

const std::string show_f1_f2 = "BT /F1 12 Tf (A) Tj /F2 12 Tf (A) Tj ET";

INSTANTIATE_TEST_SUITE_P(Resources, PageTree, ::testing::Values(
    tree_case{"InheritedWinsSharedName", with_fonts(doc("3 0 R 4 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"},
         {4, "<< /Type /Page /Resources << /Font << /F1 11 0 R /F2 12 0 R >> >> /Contents 6 0 R >>"},
         {6, stream_body("", show_f1_f2)}},
        "/Resources << /Font << /F1 10 0 R >> >>")),
        2, {"BA", "BD"}},
    tree_case{"InheritedByReference", with_fonts(doc("3 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"}, {5, "<< /Font 7 0 R >>"}, {7, "<< /F1 10 0 R >>"},
         {6, stream_body("", show_f1_f2)}},
        "/Resources 5 0 R")),
        1, {"BA"}},
    tree_case{"RestoredAfterSubtree", with_fonts(doc("4 0 R 3 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"},
         {4, "<< /Type /Pages /Resources << /Font << /F1 10 0 R >> >> /Kids [3 0 R] >>"},
         {6, stream_body("", show_f1_f2)}})),
        2, {"BA", "AA"}},
    tree_case{"ContentsArrayScannedApart", with_fonts(doc("3 0 R",
        {{3, "<< /Type /Page /Resources << /Font << /F1 10 0 R >> >> /Contents [6 0 R x 7 0 R] >>"},
         {6, stream_body("", "BT /F1 20 Tf (A) Tj")}, {7, stream_body("", "(A) Tj ET")}})),
        1, {"B", "A"}},
    tree_case{"ContentsArrayAsAnObject", doc("3 0 R",
        {{3, "<< /Type /Page /Contents 5 0 R >>"}, {5, "[6 0 R 7 0 R]"},
         {6, text_stream("first")}, {7, text_stream("second")}}),
        1, {"first", "second"}},
    tree_case{"PagesIsThePageItself",
        {{1, "<< /Type /Catalog /Pages 3 0 R >>"}, {3, "<< /Type /Page /Contents 6 0 R >>"}, {6, text_stream("only")}},
        1, {"only"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(PageTreeLimits, LineCapStillCountsPages)
{
    std::string many;
    for (int k = 0; k < 100; ++k)
        many += "(l" + std::to_string(k) + ") Tj T*\n";
    const auto info = parse(doc("3 0 R 4 0 R 5 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"}, {4, "<< /Type /Page /Contents 6 0 R >>"},
         {5, "<< /Type /Page /Contents 6 0 R >>"}, {6, stream_body("", many)}}));
    EXPECT_EQ(info->page_count, 3);
    EXPECT_EQ(info->line_count, 200);
}

TEST(PageTreeLimits, KidsArrayStopsAfter10000)
{
    const auto info = parse(doc(refs(3, 10001), {{3, "<< /Type /Page >>"}}));
    EXPECT_EQ(info->page_count, 10000);
}

TEST(PageTreeLimits, DepthLimit)
{
    // Pages nodes 2..35 at depths 0..33, each with one page; the node at depth 33
    // is never entered, so its page is not visited.
    std::vector<pdf_object> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"}};
    for (int depth = 0; depth <= 33; ++depth) {
        const int node = 2 + depth;
        const int page = 100 + depth;
        const int content = 200 + depth;
        objs.push_back({node, "<< /Type /Pages /Kids [" + ref(page) + " " + (depth < 33 ? ref(node + 1) : "") + "] >>"});
        objs.push_back({page, "<< /Type /Page /Contents " + ref(content) + " >>"});
        objs.push_back({content, text_stream("d" + std::to_string(depth))});
    }
    const auto info = parse(objs);
    EXPECT_EQ(info->page_count, 33);
    ASSERT_EQ(info->line_count, 33);
    EXPECT_STREQ(info->lines[32].text, "d32");
}

TEST(PageTreeLimits, CycleIsNotEnteredAgain)
{
    const auto info = parse(doc("3 0 R 4 0 R",
        {{3, "<< /Type /Page /Contents 6 0 R >>"}, {4, "<< /Type /Pages /Kids [2 0 R 3 0 R 4 0 R 5 0 R] >>"},
         {5, "<< /Type /Pages /Kids [4 0 R 2 0 R 3 0 R] >>"}, {6, text_stream("p")}}));
    EXPECT_EQ(info->page_count, 3);
    EXPECT_EQ(lines_of(*info), (std::vector<std::string>{"p", "p", "p"}));
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Pages nodes 2..33 at 32 levels, each listing the next 1000 times; the last lists
// page 40 1000 times. The walk stops at MAX_PAGE_NODES: 31 nodes above the last
// level, then 998 visits of the last node with 1000 pages each (1001 apiece), and
// one more with the 970 pages the budget has left.
std::vector<pdf_object> repeated_tree(const std::string& page, const std::string& content)
{
    std::vector<pdf_object> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"}};
    for (int level = 0; level < 32; ++level)
        objs.push_back({2 + level, "<< /Type /Pages /Kids [" + refs(level < 31 ? 3 + level : 40, 1000) + "] >>"});
    objs.push_back({40, page});
    objs.push_back({41, content});
    objs.push_back({42, "<< /Type /Font /Encoding << /Differences [65 /B] >> >>"});
    return objs;
}

TEST(PageTreeLimits, RepeatedSubtreesStopAtTheBudget)
{
    const std::int32_t budget_pages = 998 * 1000 + 970;
    static_assert(MAX_PAGE_NODES == 1000000);
    struct repeated_case {
        const char* name;
        std::string page;
        std::string content;
        int lines;
    };
    const std::vector<repeated_case> cases = {
        {"TextOnEveryPage", "<< /Type /Page /Contents 41 0 R >>", text_stream("hi"), 200},
        {"NoTextButFonts", "<< /Type /Page /Resources << /Font << /F1 42 0 R >> >> /Contents 41 0 R >>",
         stream_body("", "q 1 0 0 1 0 0 cm Q /F1 12 Tf ( ) Tj"), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto objs = repeated_tree(c.page, c.content);
        const auto t0 = std::chrono::steady_clock::now();
        const auto info = parse(objs);
        const double took = seconds_since(t0);
        EXPECT_EQ(info->page_count, budget_pages);
        EXPECT_EQ(info->line_count, c.lines);
#ifdef NDEBUG
        EXPECT_LT(took, 2.0);
#else
        EXPECT_LT(took, 20.0);   // unoptimised and sanitizer builds
#endif
    }
}

TEST(PageTreeLimits, BackReferencesEverywhereFinishQuickly)
{
    // Every node lists its child 1000 times, and the last node lists only its
    // ancestors, alternating, so every one of its entries is skipped.
    std::vector<pdf_object> objs = {{1, "<< /Type /Catalog /Pages 2 0 R >>"}};
    for (int level = 0; level < 32; ++level) {
        std::string kids = level < 31 ? refs(3 + level, 1000) : "";
        if (level == 31)
            for (int k = 0; k < 5000; ++k)
                kids += "2 0 R 3 0 R ";
        objs.push_back({2 + level, "<< /Type /Pages /Kids [" + kids + "] >>"});
    }
    const auto t0 = std::chrono::steady_clock::now();
    const auto info = parse(objs);
    const double took = seconds_since(t0);
    EXPECT_EQ(info->page_count, 0);
#ifdef NDEBUG
    EXPECT_LT(took, 2.0);
#else
    EXPECT_LT(took, 20.0);
#endif
}

}  // namespace
}  // namespace tavrik
