// Glyph advances of loaded fonts: declared widths, Type 3 glyph space, CID widths,
// the standard metrics, and hostile width arrays.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "reader_fixture.h"

namespace tavrik {
namespace {

using tavrik_test::pdf_object;

// The font of object 2 loaded as /F1, with the other objects beside it.
struct loaded {
    tavrik_test::reader r;
    const pdf_font* font = nullptr;

    explicit loaded(const std::vector<pdf_object>& objs) : r(tavrik_test::build_pdf(objs))
    {
        r.load_xref();
        std::int64_t res = -1;
        EXPECT_TRUE(ctx_obj_dict(r.ctx, 1, res));
        ctx_load_resources(r.ctx, res);
        font = fm_find(r.ctx.fonts, "F1");
    }
};

std::vector<pdf_object> with_font(const std::string& font, const std::vector<pdf_object>& extra)
{
    std::vector<pdf_object> objs = {{1, "<< /Font << /F1 2 0 R >> >>"}, {2, font}};
    objs.insert(objs.end(), extra.begin(), extra.end());
    return objs;
}

struct advance {
    std::uint32_t code;
    double width;   // negative: unknown
};

struct width_case {
    const char* name;
    std::string font;                 // object 2
    std::vector<pdf_object> extra;    // objects 3 on
    std::vector<advance> advances;
};

void PrintTo(const width_case& c, std::ostream* os) { *os << c.name; }

class Advances : public ::testing::TestWithParam<width_case> {};

TEST_P(Advances, OfCodes)
{
    const auto& c = GetParam();
    loaded l(with_font(c.font, c.extra));
    ASSERT_NE(l.font, nullptr);
    for (const advance& a : c.advances) {
        SCOPED_TRACE(a.code);
        const double got = pf_advance(l.font, a.code);
        if (a.width < 0)
            EXPECT_LT(got, 0);
        else
            EXPECT_NEAR(got, a.width, 1e-3);
    }
}

const std::string descendant = "<< /Subtype /Type0 /BaseFont /X /Encoding /Identity-H /DescendantFonts [3 0 R] >>";
std::string cid_font(const std::string& entries)
{
    return "<< /Type /Font /Subtype /CIDFontType2 /BaseFont /X "
           "/CIDSystemInfo << /Registry (Adobe) /Ordering (Identity) /Supplement 0 >> " +
           entries + " >>";
}

INSTANTIATE_TEST_SUITE_P(Declared, Advances, ::testing::Values(
    width_case{"WidthsFromFirstChar", "<< /Subtype /TrueType /BaseFont /Foo /FirstChar 65 /Widths [500 600.5 -20] >>",
               {}, {{65, 500}, {66, 600.5}, {67, -20}}},
    // Out of the array: 0 without MissingWidth, the code before FirstChar too.
    width_case{"OutOfRangeNoMissingWidth", "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 65 /Widths [500 600] >>", {},
               {{64, 0}, {67, 0}, {0, 0}, {255, 0}}},
    width_case{"OutOfRangeMissingWidth",
               "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 65 /Widths [500 600] /FontDescriptor 3 0 R >>",
               {{3, "<< /Type /FontDescriptor /MissingWidth 250 >>"}}, {{64, 250}, {65, 500}, {67, 250}}},
    // The array, FirstChar and elements each in objects of their own.
    width_case{"IndirectWidths", "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 4 0 R /Widths 3 0 R >>",
               {{3, "[ 300 5 0 R 400 ]"}, {4, "32"}, {5, "777"}}, {{32, 300}, {33, 777}, {34, 400}}},
    // A number is a reference only with "int R" after it: the two numbers before an
    // R are one element, a comment may stand inside it, and "R" must end there.
    width_case{"ReferencesAmongNumbers",
               "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 1 /Widths [277.8 5 0 R 6 %c\n 0 R 300 5 0 R] >>",
               {{5, "777"}, {6, "111"}}, {{1, 277.8}, {2, 777}, {3, 111}, {4, 300}, {5, 777}, {6, 0}}},
    width_case{"NumbersThatLookLikeAReference",
               "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 1 /Widths [5 0 Rx 5 0 /R 7 8 9] >>", {{5, "777"}},
               {{1, 5}, {2, 0}, {3, 0}, {4, 5}, {5, 0}, {6, 0}, {7, 7}, {8, 8}, {9, 9}}},
    // A reference to no object, or to one that holds no number, is the missing width.
    width_case{"ReferencesToNoNumber",
               "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 1 /Widths [9 0 R 6 0 R 400] >>", {{6, "/x"}},
               {{1, 0}, {2, 0}, {3, 400}}},
    // An element that is no number is the missing width; the rest keep their places.
    width_case{"GarbageElement", "<< /Subtype /Type1 /BaseFont /Foo /FirstChar 10 /Widths [100 /x (y) 400] >>", {},
               {{10, 100}, {11, 0}, {12, 0}, {13, 400}}},
    width_case{"NegativeFirstChar", "<< /Subtype /Type1 /BaseFont /Foo /FirstChar -2 /Widths [1 2 3 4] >>", {},
               {{0, 3}, {1, 4}, {2, 0}}},
    width_case{"Type3DefaultMatrix", "<< /Subtype /Type3 /FirstChar 1 /Widths [1000 0] >>", {}, {{1, 1000}, {2, 0}}},
    // Glyph space of 1000 units per em at 0.001 is 1000 thousandths; at 0.01, ten times that.
    width_case{"Type3FontMatrix", "<< /Subtype /Type3 /FontMatrix [0.01 0 0 0.01 0 0] /FirstChar 1 /Widths [50 75] >>",
               {}, {{1, 500}, {2, 750}}},
    width_case{"Type3IndirectMatrix", "<< /Subtype /Type3 /FontMatrix 3 0 R /FirstChar 0 /Widths [2] >>",
               {{3, "[ 0.5 0 0 0.5 0 0 ]"}}, {{0, 1000}}},
    width_case{"Type3WithoutWidths", "<< /Subtype /Type3 /FontMatrix [1 0 0 1 0 0] >>", {}, {{65, -1}}},
    // Standard metrics: without Widths, an empty one or one of nothing readable.
    width_case{"HelveticaWinAnsi", "<< /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>", {},
               {{'A', 667}, {' ', 278}, {'i', 222}, {0x80, 556}, {0x81, 350}, {0x01, -1}, {0x96, 556}, {0xE9, 556}, {300, -1}}},
    width_case{"HelveticaStandardEncoding", "<< /Subtype /Type1 /BaseFont /Helvetica >>", {},
               {{'A', 667}, {0xAE, 500}, {0xE9, 778}, {0xE0, -1}}},
    width_case{"HelveticaBoldEmptyWidths", "<< /Subtype /Type1 /BaseFont /Helvetica-Bold /Widths [] >>", {},
               {{'A', 722}, {'i', 278}}},
    width_case{"HelveticaUnreadableWidths", "<< /Subtype /Type1 /BaseFont /Helvetica /Widths [/a /b] >>", {},
               {{'A', 667}}},
    width_case{"DifferencesName", "<< /Subtype /Type1 /BaseFont /Times-Roman "
                                  "/Encoding << /Differences [65 /Eacute /g12] >> >>", {},
               {{65, 611}, {66, -1}, {'a', 444}}},
    width_case{"SubsetPrefix", "<< /Subtype /Type1 /BaseFont /ABCDEF+Helvetica-Oblique >>", {}, {{'A', 667}}},
    width_case{"TimesItalicShape", "<< /Subtype /Type1 /BaseFont /Times-Italic >>", {}, {{'A', 611}}},
    width_case{"ArialBoldAlias", "<< /Subtype /TrueType /BaseFont /Arial,Bold /Encoding /WinAnsiEncoding >>", {},
               {{'A', 722}}},
    width_case{"ArialMTAlias", "<< /Subtype /TrueType /BaseFont /ArialMT /Encoding /WinAnsiEncoding >>", {},
               {{'A', 667}}},
    width_case{"TimesNewRomanBoldMT", "<< /Subtype /TrueType /BaseFont /TimesNewRomanPS-BoldMT >>", {},
               {{'A', 722}, {' ', 250}}},
    width_case{"TimesNewRomanSpaced", "<< /Subtype /TrueType /BaseFont /Times#20New#20Roman,BoldItalic >>", {},
               {{'A', 667}}},
    width_case{"NarrowIsNotStandard", "<< /Subtype /Type1 /BaseFont /Helvetica-Narrow >>", {}, {{'A', -1}}},
    width_case{"Courier", "<< /Subtype /Type1 /BaseFont /Courier-BoldOblique >>", {},
               {{'A', 600}, {' ', 600}, {0, 600}}},
    width_case{"CourierNew", "<< /Subtype /TrueType /BaseFont /CourierNewPSMT >>", {}, {{'x', 600}}},
    // Symbol's codes are its own glyphs: alpha at 0x61, and 0xD6 (radical) by its
    // built-in code under an encoding that names something else there.
    width_case{"Symbol", "<< /Subtype /Type1 /BaseFont /Symbol >>", {}, {{0x61, 631}, {0x20, 250}, {0xD6, 549}}},
    width_case{"SymbolUnderWinAnsi", "<< /Subtype /Type1 /BaseFont /Symbol /Encoding /WinAnsiEncoding >>", {},
               {{0xD6, 549}}},
    width_case{"ZapfDingbats", "<< /Subtype /Type1 /BaseFont /ZapfDingbats >>", {}, {{0x21, 974}, {0x20, 278}}},
    width_case{"Unknown", "<< /Subtype /TrueType /BaseFont /Verdana >>", {}, {{'A', -1}, {0, -1}}},
    width_case{"NoBaseFont", "<< /Subtype /Type1 >>", {}, {{'A', -1}}}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(Cid, Advances, ::testing::Values(
    width_case{"DefaultDW", descendant, {{3, cid_font("")}}, {{0, 1000}, {0x1234, 1000}}},
    width_case{"GivenDW", descendant, {{3, cid_font("/DW 500")}}, {{7, 500}}},
    width_case{"BothForms", descendant, {{3, cid_font("/DW 900 /W [1 [100 200 300] 10 20 555 30 [1.5]]")}},
               {{0, 900}, {1, 100}, {2, 200}, {3, 300}, {4, 900}, {10, 555}, {15, 555}, {20, 555}, {21, 900},
                {30, 1.5}, {31, 900}}},
    width_case{"Indirect", descendant, {{3, cid_font("/DW 4 0 R /W 5 0 R")}, {4, "800"}, {5, "[ 2 6 0 R 9 9 7 0 R ]"},
                                        {6, "[ 321 ]"}, {7, "123"}},
               {{2, 321}, {3, 800}, {9, 123}}},
    // Overlaps: the run that starts first keeps its CIDs; unsorted runs are found.
    width_case{"UnsortedAndOverlapping", descendant, {{3, cid_font("/W [50 60 5 10 [1 2 3] 0 12 9 11 [7]]")}},
               {{0, 9}, {10, 9}, {12, 9}, {13, 1000}, {50, 5}, {60, 5}, {61, 1000}}},
    // Runs past the 16-bit CIDs are cut there.
    width_case{"HugeRange", descendant, {{3, cid_font("/W [65000 4294967295 250]")}},
               {{65535, 250}, {64999, 1000}}},
    width_case{"GarbageInW", descendant, {{3, cid_font("/W [1 /a 2 [<< >> 700 (s)] [[[ 5 6 ]]] 9 9 444]")}},
               {{2, 1000}, {3, 700}, {4, 1000}, {9, 444}}},
    width_case{"TwoBytePredefinedCMap",
               "<< /Subtype /Type0 /Encoding /90ms-RKSJ-H /DescendantFonts [3 0 R] >>",
               {{3, "<< /Subtype /CIDFontType0 /CIDSystemInfo << /Registry (Adobe) /Ordering (Japan1) "
                    "/Supplement 2 >> /W [264 [555] 326 388 500] /DW 1000 >>"}},
               // "A" is CID 264, half-width katakana from CID 326 on; a two-byte kanji has DW
               {{'A', 555}, {0xB1, 500}, {0x93FA, 1000}}},
    // A CMap the library has no table for: every code is DW.
    width_case{"UnknownCMap", "<< /Subtype /Type0 /Encoding 4 0 R /DescendantFonts [3 0 R] >>",
               {{3, cid_font("/DW 700 /W [0 [1 2 3]]")}, {4, tavrik_test::stream_body("/Type /CMap", "")}},
               {{1, 700}}},
    // Codes stay CIDs when the ToUnicode name makes their text UTF-16.
    width_case{"ToUnicodeIdentityName",
               "<< /Subtype /Type0 /Encoding /Identity-H /ToUnicode /Identity-H /DescendantFonts [3 0 R] >>",
               {{3, cid_font("/W [65 [432]]")}}, {{65, 432}}},
    width_case{"NoDescendant", "<< /Subtype /Type0 /Encoding /Identity-H >>", {}, {{1, -1}}},
    // Vertical writing advances down the page: no horizontal advance is known.
    width_case{"VerticalCMapName", "<< /Subtype /Type0 /Encoding /Identity-V /DescendantFonts [3 0 R] >>",
               {{3, cid_font("/W [65 [432]]")}}, {{65, -1}, {1, -1}}},
    width_case{"VerticalEmbeddedCMap", "<< /Subtype /Type0 /Encoding 4 0 R /DescendantFonts [3 0 R] >>",
               {{3, cid_font("")}, {4, tavrik_test::stream_body("/Type /CMap /WMode 1", "")}}, {{1, -1}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Advances, NoFont) { EXPECT_LT(pf_advance(nullptr, 65), 0); }

TEST(Advances, MemoryOfWidthsIsReported)
{
    loaded simple(with_font("<< /Subtype /Type1 /FirstChar 0 /Widths [1 2 3 4] >>", {}));
    ASSERT_NE(simple.font, nullptr);
    EXPECT_GE(pf_width_bytes(*simple.font), 4 * sizeof(float));
    loaded cids(with_font(descendant, {{3, cid_font("/W [0 [1 2 3 4 5 6 7 8 9 10]]")}}));
    ASSERT_NE(cids.font, nullptr);
    EXPECT_GE(pf_width_bytes(*cids.font), 10 * sizeof(pf_cid_width));
    loaded standard(with_font("<< /Subtype /Type1 /BaseFont /Helvetica >>", {}));
    ASSERT_NE(standard.font, nullptr);
    EXPECT_GE(pf_width_bytes(*standard.font), SIMPLE_CODES * sizeof(float));
    loaded courier(with_font("<< /Subtype /Type1 /BaseFont /Courier >>", {}));
    ASSERT_NE(courier.font, nullptr);
    EXPECT_EQ(pf_width_bytes(*courier.font), 0u);
}

// W arrays built to cost: many entries, every CID its own width, wide ranges, deep
// nesting, a Widths array far longer than any font's codes. Each loads within the
// caps and in a short time.
TEST(Advances, HostileArraysStayBounded)
{
    std::string many_ranges;   // more runs than any font can use
    for (int i = 0; i < 300000; ++i)
        many_ranges += std::to_string(i % 70000) + " " + std::to_string(i % 70000) + " " + std::to_string(i) + " ";
    std::string distinct = "0 [";   // every CID its own width, and more elements than CIDs
    for (int i = 0; i < 200000; ++i) distinct += std::to_string(i % 997 + 1) + " ";
    distinct += "]";
    std::string elements;   // past the element cap
    for (int i = 0; i < 1200000; ++i) elements += "1 ";
    const std::string deep = std::string(200000, '[') + "1 [5]" + std::string(200000, ']');
    std::string long_widths;
    for (int i = 0; i < 500000; ++i) long_widths += "7 ";
    std::string references = "0 [";   // to an object and to one that does not exist
    for (int i = 0; i < 200000; ++i) references += i % 2 ? "4 0 R " : "99 0 R ";
    references += "]";

    struct hostile {
        const char* name;
        std::string font;
        std::vector<pdf_object> extra;
    };
    const std::vector<hostile> cases = {
        {"ManyRanges", descendant, {{3, cid_font("/W [" + many_ranges + "]")}}},
        {"DistinctWidths", descendant, {{3, cid_font("/W [" + distinct + "]")}}},
        {"ElementCap", descendant, {{3, cid_font("/W [" + elements + "]")}}},
        {"HugeRanges", descendant, {{3, cid_font("/W [0 4294967295 1 -5 99999999999 2 1e300 1e301 3]")}}},
        {"DeepNesting", descendant, {{3, cid_font("/W " + deep)}}},
        {"Unclosed", descendant, {{3, cid_font("/W [1 [2 3 4 5")}}},
        {"References", descendant, {{3, cid_font("/W [" + references + "]")}, {4, "250"}}},
        {"LongWidths", "<< /Subtype /Type1 /FirstChar -60000 /Widths [" + long_widths + "] >>", {}},
        {"FarFirstChar", "<< /Subtype /Type1 /FirstChar -1e18 /Widths [1 2] >>", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        loaded l(with_font(c.font, c.extra));
        ASSERT_NE(l.font, nullptr);
        for (std::uint32_t code = 0; code < 70000; code += 7) (void)pf_advance(l.font, code);
        EXPECT_LE(l.font->widths.cids.size(), MAX_CID_WIDTH_RUNS);
        EXPECT_LE(l.font->widths.simple.size(), SIMPLE_CODES);
        EXPECT_LE(pf_width_bytes(*l.font), MAX_CID_WIDTH_RUNS * sizeof(pf_cid_width));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST(Advances, WidthsCappedAtTheCodesOfASimpleFont)
{
    std::string long_widths;
    for (int i = 0; i < 1000; ++i) long_widths += std::to_string(i) + " ";
    loaded l(with_font("<< /Subtype /Type1 /FirstChar 200 /Widths [" + long_widths + "] >>", {}));
    ASSERT_NE(l.font, nullptr);
    EXPECT_EQ(l.font->widths.simple.size(), SIMPLE_CODES - 200);
    EXPECT_EQ(pf_advance(l.font, 255), 55);
    EXPECT_EQ(pf_advance(l.font, 256), 0);
}

}  // namespace
}  // namespace tavrik
