// Page text as the page shows it, through whole documents: word spaces decided by
// where glyphs stand, text drawn by Form XObjects and annotation appearances, and
// glyphs off the page's box left out.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "pdf_builder.h"

namespace tavrik {
namespace {

using tavrik_test::build_pdf;
using tavrik_test::pdf_object;
using tavrik_test::stream_body;

std::vector<std::string> lines_of(const std::vector<pdf_object>& objs)
{
    auto info = std::make_unique<ppdf_info>();
    const std::string bytes = build_pdf(objs);
    EXPECT_EQ(ppdf_parse_bytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), *info), 1);
    std::vector<std::string> out;
    for (int k = 0; k < info->line_count; ++k)
        out.emplace_back(info->lines[k].text);
    return out;
}

// Every code from 32 to 126 is 500 units wide.
std::string even_widths()
{
    std::string w = "[";
    for (int c = 32; c <= 126; ++c)
        w += "500 ";
    return w + "]";
}

// F1: widths of 500; F2: the same font with no widths at all; F3: Helvetica, whose
// widths are the standard ones.
const std::string FONTS = "/Font << /F1 10 0 R /F2 11 0 R /F3 12 0 R >>";
const pdf_object FONT_OBJECTS[] = {
    {10, "<< /Type /Font /Subtype /Type1 /BaseFont /Plain /FirstChar 32 /Widths " + even_widths() + " >>"},
    {11, "<< /Type /Font /Subtype /Type1 /BaseFont /Plain >>"},
    {12, "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>"},
};

// A one-page document, 612 by 792, with the fonts above, more resources and more
// page entries, and the objects after it.
std::vector<pdf_object> page_doc(const std::string& content, const std::string& resources = "",
                                 const std::string& page_extra = "", std::vector<pdf_object> rest = {})
{
    std::vector<pdf_object> objs = {
        {1, "<< /Type /Catalog /Pages 2 0 R >>"},
        {2, "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"},
        {3, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << " + FONTS + " " + resources +
                " >> /Contents 4 0 R " + page_extra + " >>"},
        {4, stream_body("", content)},
    };
    objs.insert(objs.end(), std::begin(FONT_OBJECTS), std::end(FONT_OBJECTS));
    objs.insert(objs.end(), rest.begin(), rest.end());
    return objs;
}

struct spacing_case {
    const char* name;
    const char* text;   // shown between "BT 100 700 Td" and "ET"
    const char* line;
};

void PrintTo(const spacing_case& c, std::ostream* os) { *os << c.name; }

class WordSpacing : public ::testing::TestWithParam<spacing_case> {};

TEST_P(WordSpacing, FollowsWhereGlyphsStand)
{
    const spacing_case& c = GetParam();
    EXPECT_EQ(lines_of(page_doc(std::string("BT 100 700 Td ") + c.text + " ET")),
              std::vector<std::string>{c.line});
}

// At 10 points every glyph of F1 advances 5 units; a word gap is wider than 1.5.
INSTANTIATE_TEST_SUITE_P(Moves, WordSpacing, ::testing::Values(
    spacing_case{"PiecesPlacedAtTheirAdvance", "/F1 10 Tf (Ri) Tj 10 0 Td (ver) Tj 15 0 Td (Ecology) Tj", "RiverEcology"},
    spacing_case{"RealGapStaysASpace", "/F1 10 Tf (Field) Tj 28 0 Td (Notes) Tj", "Field Notes"},
    spacing_case{"NarrowGapJoins", "/F1 10 Tf (ab) Tj 11 0 Td (cd) Tj", "abcd"},
    spacing_case{"GapJustOverTheThreshold", "/F1 10 Tf (ab) Tj 11.6 0 Td (cd) Tj", "ab cd"},
    spacing_case{"OneSpaceWhereTheTextHasItsOwn", "/F1 10 Tf (a) Tj 20 0 Td ( ten) Tj", "a ten"},
    spacing_case{"MoveToTheLeftAddsNothing", "/F1 10 Tf (abc) Tj -30 0 Td (x) Tj", "abcx"},
    spacing_case{"TmOnTheSameBaselineClosesUp",
                 "/F1 10 Tf 1 0 0 1 10 10 Tm (ab) Tj 1 0 0 1 20 10 Tm (cd) Tj 1 0 0 1 40 10 Tm (ef) Tj", "abcd ef"},
    spacing_case{"ScaledTextMatrix", "/F1 10 Tf 2 0 0 2 0 0 Tm (ab) Tj 10 0 Td (cd) Tj 12 0 Td (ef) Tj", "abcd ef"},
    spacing_case{"StandardFontWidths", "/F3 10 Tf (Ri) Tj 9.44 0 Td (ver) Tj", "River"},
    spacing_case{"NoWidthsEveryMoveIsASpace", "/F2 10 Tf (Ri) Tj 10 0 Td (ver) Tj", "Ri ver"},
    spacing_case{"AfterTextOfUnknownWidth", "/F2 10 Tf (Ri) Tj /F1 10 Tf 10 0 Td (ver) Tj 15 0 Td (s) Tj", "Ri vers"}));

INSTANTIATE_TEST_SUITE_P(TextState, WordSpacing, ::testing::Values(
    spacing_case{"KerningInTJ", "/F1 10 Tf [(Ri) -50 (v) 30 (er) -300 (Ecology)] TJ", "River Ecology"},
    spacing_case{"TJWithoutWidthsKeepsTheOldRule", "/F2 10 Tf [(Ri) -50 (ver) -120 (E)] TJ", "River E"},
    spacing_case{"HorizontalScaling", "/F1 10 Tf 50 Tz (ab) Tj 5 0 Td (cd) Tj 10 0 Td (ef) Tj", "abcd ef"},
    spacing_case{"CharacterSpacing", "/F1 10 Tf 1 Tc (ab) Tj 12 0 Td (cd) Tj", "abcd"},
    spacing_case{"LetterSpacingAsWideAsAWordGap", "/F1 10 Tf 3 Tc (rE) Tj 0 Tc 13 0 Td (cology) Tj", "r Ecology"},
    spacing_case{"WordSpacingOnTheSpaceCode", "/F1 10 Tf 10 Tw (a b) Tj 25 0 Td (c) Tj", "a bc"},
    spacing_case{"QRestoresTheTextState", "/F1 10 Tf q 3 Tc Q (ab) Tj 10 0 Td (cd) Tj", "abcd"}));

TEST(WordSpacingBreaks, AVerticalMoveStillStartsALine)
{
    EXPECT_EQ(lines_of(page_doc("BT /F1 10 Tf 100 700 Td (ab) Tj 10 -12 Td (cd) Tj ET")),
              (std::vector<std::string>{"ab", "cd"}));
}

// ---- Form XObjects ---------------------------------------------------------------

std::string form(const std::string& content, const std::string& extra = "")
{
    return stream_body("/Type /XObject /Subtype /Form /BBox [0 0 612 792] " + extra, content);
}

struct drawing_case {
    const char* name;
    std::vector<pdf_object> objects;
    std::vector<std::string> lines;
};

void PrintTo(const drawing_case& c, std::ostream* os) { *os << c.name; }

class Drawing : public ::testing::TestWithParam<drawing_case> {};

TEST_P(Drawing, Lines)
{
    EXPECT_EQ(lines_of(GetParam().objects), GetParam().lines);
}

const std::string XOBJECTS = "/XObject << /X1 20 0 R /X2 21 0 R /Im 22 0 R >>";
const pdf_object IMAGE = {22, stream_body("/Type /XObject /Subtype /Image /Width 1 /Height 1 /BitsPerComponent 8 "
                                          "/ColorSpace /DeviceGray", "BT /F1 10 Tf (image bytes) Tj ET")};

INSTANTIATE_TEST_SUITE_P(Forms, Drawing, ::testing::Values(
    drawing_case{"FormTextIsPageText",
                 page_doc("BT /F1 10 Tf 100 750 Td (Header) Tj ET q 1 0 0 1 0 -100 cm /X1 Do Q", XOBJECTS, "",
                          {{20, form("BT /F1 10 Tf 100 700 Td (Inside the form) Tj ET")}, IMAGE}),
                 {"Header", "Inside the form"}},
    drawing_case{"OwnResourcesFirst",
                 page_doc("/X1 Do", XOBJECTS, "",
                          {{20, form("BT /F1 10 Tf 100 700 Td (AB) Tj /F3 10 Tf (AB) Tj ET",
                                     "/Resources << /Font << /F1 23 0 R >> >>")},
                           {23, "<< /Type /Font /Subtype /Type1 /BaseFont /Plain /Encoding << /Differences [65 /Z] >> >>"},
                           IMAGE}),
                 {"ZBAB"}},
    drawing_case{"NestedForms",
                 page_doc("/X1 Do", XOBJECTS, "",
                          {{20, form("BT /F1 10 Tf 100 700 Td (outer) Tj ET /Inner Do",
                                     "/Resources << /XObject << /Inner 21 0 R >> >>")},
                           {21, form("BT /F1 10 Tf 100 600 Td (inner) Tj ET")}, IMAGE}),
                 {"outer", "inner"}},
    drawing_case{"FormsInALoopAreEnteredOnce",
                 page_doc("/X1 Do", XOBJECTS, "",
                          {{20, form("BT /F1 10 Tf 100 700 Td (one) Tj ET /X2 Do /X1 Do")},
                           {21, form("BT /F1 10 Tf 100 600 Td (two) Tj ET /X1 Do /X2 Do")}, IMAGE}),
                 {"one", "two"}},
    drawing_case{"ImagesAreNotRead",
                 page_doc("q 10 0 0 10 0 0 cm /Im Do Q", XOBJECTS, "", {IMAGE}),
                 {}},
    drawing_case{"FormMatrixTakesItsTextOff",
                 page_doc("/X1 Do", XOBJECTS, "",
                          {{20, form("BT /F1 10 Tf 100 700 Td (moved back onto the page) Tj ET",
                                     "/Matrix [1 0 0 1 -1000 0]")},
                           {21, form("BT /F1 10 Tf 1100 700 Td (placed by its matrix) Tj ET",
                                     "/Matrix [1 0 0 1 -1000 0]")}, IMAGE}),
                 {}},
    drawing_case{"FormMatrixBringsTextOn",
                 page_doc("/X2 Do", XOBJECTS, "",
                          {{21, form("BT /F1 10 Tf 1100 700 Td (placed by its matrix) Tj ET",
                                     "/Matrix [1 0 0 1 -1000 0]")}, IMAGE}),
                 {"placed by its matrix"}}));

TEST(DrawingLimits, AFormDrawnOverAndOverStopsAtTheBudget)
{
    std::string content;
    for (int k = 0; k < 20000; ++k)
        content += "/X1 Do\n";
    content += "BT /F1 10 Tf 100 700 Td (after the forms) Tj ET";
    const std::string filler(64 * 1024, ' ');
    const auto started = std::chrono::steady_clock::now();
    const auto lines = lines_of(page_doc(content, XOBJECTS, "", {{20, form(filler + "0 0 m")}, IMAGE}));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(lines, std::vector<std::string>{"after the forms"});
    EXPECT_LT(seconds, 5.0);
}

TEST(DrawingLimits, DeepNestingEnds)
{
    // Forms 20 to 59 each draw the next; the text is in the last.
    std::vector<pdf_object> rest;
    for (int k = 20; k < 60; ++k)
        rest.push_back({k, form("/N Do", "/Resources << /XObject << /N " + std::to_string(k + 1) + " 0 R >> >>")});
    rest.push_back({60, form("BT /F1 10 Tf 100 700 Td (deep) Tj ET")});
    EXPECT_EQ(lines_of(page_doc("/X1 Do", "/XObject << /X1 20 0 R >>", "", rest)), std::vector<std::string>{});
    rest.resize(5);
    rest.push_back({25, form("BT /F1 10 Tf 100 700 Td (shallow) Tj ET")});
    EXPECT_EQ(lines_of(page_doc("/X1 Do", "/XObject << /X1 20 0 R >>", "", rest)),
              std::vector<std::string>{"shallow"});
}

// ---- annotations -----------------------------------------------------------------

std::string appearance(const std::string& text, const std::string& bbox = "0 0 200 20", int x = 2)
{
    return stream_body("/Type /XObject /Subtype /Form /BBox [" + bbox + "]",
                       "BT /F1 10 Tf " + std::to_string(x) + " 2 Td (" + text + ") Tj ET");
}

INSTANTIATE_TEST_SUITE_P(Annotations, Drawing, ::testing::Values(
    drawing_case{"FreeTextComment",
                 page_doc("", "", "/Annots [30 0 R]",
                          {{30, "<< /Type /Annot /Subtype /FreeText /Rect [100 700 300 720] /AP << /N 31 0 R >> >>"},
                           {31, appearance("A comment")}}),
                 {"A comment"}},
    drawing_case{"FilledFieldByItsState",
                 page_doc("", "", "/Annots [<< /Type /Annot /Subtype /Widget /Rect [100 700 300 720] /AS /Yes "
                                  "/AP << /N << /Yes 31 0 R /Off 32 0 R >> >> >>]",
                          {{31, appearance("Filled in")}, {32, appearance("Left empty")}}),
                 {"Filled in"}},
    drawing_case{"TextFieldWithoutAppearance",
                 page_doc("", "", "/Annots [30 0 R 31 0 R 33 0 R]",
                          {{30, "<< /Subtype /Widget /Rect [100 700 300 720] /Parent 32 0 R /DA (/Helv 0 Tf 0 g) >>"},
                           {32, "<< /FT /Tx /T (name) /V (Typed in) >>"},
                           {31, "<< /Subtype /Widget /FT /Btn /Rect [100 600 300 620] /V (Off) >>"},
                           {33, "<< /Subtype /Widget /FT /Tx /F 2 /Rect [100 500 300 520] /V (Hidden value) >>"}}),
                 {"Typed in"}},
    drawing_case{"HiddenBesideShown",
                 page_doc("", "", "/Annots [30 0 R 33 0 R 34 0 R]",
                          {{30, "<< /Subtype /FreeText /F 2 /Rect [100 700 300 720] /AP << /N 31 0 R >> >>"},
                           {31, appearance("Hidden")},
                           {33, "<< /Subtype /FreeText /F 36 /Rect [100 600 300 620] /AP << /N 35 0 R >> >>"},
                           {35, appearance("Not viewed")},
                           {34, "<< /Subtype /FreeText /F 4 /Rect [100 500 300 520] /AP << /N 32 0 R >> >>"},
                           {32, appearance("Shown")}}),
                 {"Shown"}},
    drawing_case{"ContentComesFirst",
                 page_doc("BT /F1 10 Tf 100 100 Td (Body text) Tj ET", "", "/Annots [30 0 R]",
                          {{30, "<< /Subtype /FreeText /Rect [100 700 300 720] /AP << /N 31 0 R >> >>"},
                           {31, appearance("A comment")}}),
                 {"Body text", "A comment"}},
    drawing_case{"AppearanceFittedToItsRect",
                 page_doc("", "", "/Annots [30 0 R]",
                          {{30, "<< /Subtype /FreeText /Rect [100 700 300 720] /AP << /N 31 0 R >> >>"},
                           {31, appearance("Far in its box", "2000 0 2200 20", 2002)}}),
                 {"Far in its box"}}));

// ---- the page's box ----------------------------------------------------------------

INSTANTIATE_TEST_SUITE_P(Box, Drawing, ::testing::Values(
    // Helvetica's W is 944 units: at 12 points, 10 of them start before x = 612.
    drawing_case{"TitleRunningOffTheEdge",
                 page_doc("BT /F3 12 Tf 500 700 Td (WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW) Tj ET"),
                 {"WWWWWWWWWW"}},
    drawing_case{"WhollyOutside",
                 page_doc("BT /F1 10 Tf -900 700 Td (left of the page) Tj ET BT /F1 10 Tf 100 700 Td (on it) Tj ET"),
                 {"on it"}},
    drawing_case{"MatrixBringsItBack",
                 page_doc("q 1 0 0 1 1000 0 cm BT /F1 10 Tf -900 700 Td (back on) Tj ET Q"),
                 {"back on"}},
    drawing_case{"QRestoresTheMatrix",
                 page_doc("q 1 0 0 1 1000 0 cm Q BT /F1 10 Tf 100 700 Td (stays) Tj ET"),
                 {"stays"}},
    drawing_case{"CropBoxWins",
                 page_doc("BT /F1 10 Tf 100 700 Td (cropped away) Tj ET BT /F1 10 Tf 100 100 Td (kept) Tj ET", "",
                          "/CropBox [0 0 612 400]"),
                 {"kept"}},
    drawing_case{"MatrixSetInAnEarlierStream",
                 [] {
                     auto objs = page_doc("q 1 0 0 1 0 -500 cm");
                     objs[2].body = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << " + FONTS +
                                    " >> /Contents [4 0 R 5 0 R] >>";
                     objs.push_back({5, stream_body("", "BT /F1 10 Tf 100 1000 Td (moved down) Tj ET Q")});
                     return objs;
                 }(),
                 {"moved down"}},
    drawing_case{"InlineImageDataIsNotRead",
                 page_doc("BI /W 4 /H 1 /BPC 8 /CS /G ID 1 0 0 1 5000 0 cm\nEI BT /F1 10 Tf 100 700 Td (after the image) "
                          "Tj ET"),
                 {"after the image"}},
    drawing_case{"WidthsUnknownKeepsEverything",
                 page_doc("BT /F2 10 Tf 500 700 Td (runs past the edge) Tj ET"),
                 {"runs past the edge"}}));

}  // namespace
}  // namespace tavrik
