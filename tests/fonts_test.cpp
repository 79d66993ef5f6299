// Font dictionary loading: code width from Subtype, Encoding and ToUnicode, and the
// mappings a font ends up with.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pdf_builder.h"
#include "reader_fixture.h"

namespace tavrik {
namespace {

using tavrik_test::pdf_object;

// A reader with the cross references loaded.
struct reader : tavrik_test::reader {
    explicit reader(const std::string& bytes) : tavrik_test::reader(bytes) { load_xref(); }

    std::int64_t dict_of(std::int64_t obj)
    {
        std::int64_t pos = -1;
        EXPECT_TRUE(ctx_obj_dict(ctx, obj, pos)) << obj;
        return pos;
    }
};

std::string decode(const pdf_font* font, std::string_view bytes)
{
    char out[1024];
    const std::size_t n = pf_decode(font, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), out,
                                    sizeof out);
    return {out, n};
}

// A ToUnicode CMap; body holds bfchar or bfrange sections.
std::string cmap(const std::string& codespace, const std::string& body)
{
    std::string s = "/CIDInit /ProcSet findresource begin 12 dict begin begincmap\n";
    if (!codespace.empty())
        s += "1 begincodespacerange " + codespace + " endcodespacerange\n";
    s += body + "\nendcmap CMapName currentdict /CMap defineresource pop end end";
    return s;
}

struct font_case {
    const char* name;
    std::string font;                   // object 2, the font dictionary
    std::vector<pdf_object> extra;      // object 3: a ToUnicode stream, 4: anything else
    int code_bytes;
    std::string shown;                  // bytes of a string shown in the font
    std::string text;                   // what they decode to
};

void PrintTo(const font_case& c, std::ostream* os) { *os << c.name; }

class FontLoad : public ::testing::TestWithParam<font_case> {};

TEST_P(FontLoad, WidthAndMappings)
{
    const auto& c = GetParam();
    std::vector<pdf_object> objs = {{1, "<< /Font << /F1 2 0 R >> >>"}, {2, c.font}};
    objs.insert(objs.end(), c.extra.begin(), c.extra.end());
    reader r(tavrik_test::build_pdf(objs));
    ctx_load_resources(r.ctx, r.dict_of(1));
    const pdf_font* font = fm_find(r.ctx.fonts, "F1");
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(font->code_bytes, c.code_bytes);
    EXPECT_EQ(decode(font, c.shown), c.text);
}

const std::string one_byte_space = cmap("<00> <80>", "1 beginbfchar <41> <0058> endbfchar");
const std::string wide_space = cmap("<0000> <FFFF>", "1 beginbfchar <0041> <0058> endbfchar");

INSTANTIATE_TEST_SUITE_P(Width, FontLoad, ::testing::Values(
    font_case{"Type0LowerCase", "<< /Subtype /type0 >>", {}, 2, std::string("\0A", 2), "A"},
    font_case{"SubtypeAsString", "<< /Subtype (Type0) >>", {}, 1, "A", "A"},
    font_case{"IdentityLowerCase", "<< /Subtype /Type1 /Encoding /identity-h >>", {}, 2, "A", "A"},
    font_case{"IdentityPrefix", "<< /Encoding /IdentityFoo >>", {}, 2, "A", "A"},
    font_case{"Ucs2OnlyLowerCase", "<< /Encoding /Foo-ucs2-H >>", {}, 1, "A", "A"},
    font_case{"UniGB", "<< /Encoding /UniGB-UTF16-H >>", {}, 2, "A", "A"},
    font_case{"OtherPredefinedCMap", "<< /Encoding /GBK-EUC-H >>", {}, 1, "A", "A"},
    font_case{"TrueTypeIdentity", "<< /Subtype /TrueType /Encoding /Identity-H >>", {}, 2, "A", "A"},
    font_case{"Type0OneByteCodeSpace", "<< /Subtype /Type0 /Encoding /90ms-RKSJ-H /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", one_byte_space)}}, 1, "AB", "XB"},
    font_case{"Type0WideCodeSpace", "<< /Subtype /Type0 /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", wide_space)}}, 2, std::string("\0A\0B", 4), "X"},
    // A simple font stays one-byte whatever its CMap declares.
    font_case{"SimpleFontWideCodeSpace", "<< /Subtype /Type1 /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", wide_space)}}, 1, "AB", "XB"},
    font_case{"SimpleFontWideBfchar", "<< /Subtype /TrueType /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", cmap("", "1 beginbfchar <0041> <0058> endbfchar"))}}, 1, "AB", "XB"},
    font_case{"CompositeEncodingFixesWidth", "<< /Encoding /Identity-H /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", one_byte_space)}}, 2, "AA", ""}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(Mappings, FontLoad, ::testing::Values(
    font_case{"DifferencesDirect", "<< /Encoding << /Differences [65 /B] >> >>", {}, 1, "AB\xE9", "BB"},
    font_case{"EncodingByReference", "<< /Encoding 4 0 R >>", {{4, "<< /Differences [65 /B] >>"}}, 1, "A", "B"},
    font_case{"DifferencesByReferenceIgnored", "<< /Encoding << /Differences 4 0 R >> >>", {{4, "[65 /B]"}}, 1,
              "A\xE9", "A\xC3\xA9"},
    font_case{"NestedArrayInDifferences", "<< /Encoding << /Differences [65 /B [1 2] 66 /C] >> >>", {}, 1, "AB",
              "BC"},
    font_case{"StringInDifferences", "<< /Encoding << /Differences [65 /B (]) 66 /C] >> >>", {}, 1, "AB", "BC"},
    // The ToUnicode map decides the codes it maps; Differences name the others.
    font_case{"ToUnicodeOverDifferences", "<< /Encoding << /Differences [65 /Q /Z] >> /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", cmap("", "1 beginbfrange <42> <42> <0059> endbfrange"))}}, 1, "AB",
              "QY"},
    font_case{"ToUnicodeCharOverDifferences", "<< /Encoding << /Differences [30 /f /f /f] >> /ToUnicode 3 0 R >>",
              {{3, tavrik_test::stream_body("", cmap("", "1 beginbfchar <1E> <0420> endbfchar"))}}, 1, "\x1e\x1f",
              "\xD0\xA0" "f"},
    font_case{"ToUnicodeOutOfRange", "<< /ToUnicode 99999 0 R /Encoding << /Differences [65 /B] >> >>", {}, 1,
              "A", "B"},
    font_case{"ToUnicodeNeverLocated", "<< /ToUnicode 50 0 R /Encoding << /Differences [65 /B] >> >>", {}, 1,
              "A", "B"},
    font_case{"ToUnicodeName", "<< /ToUnicode /Identity-H >>", {}, 1, "A\xE9", "A\xC3\xA9"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FontLoadNames, FirstLoadedNameStays)
{
    struct names_case {
        const char* name;
        std::string fonts;
        std::string expect;   // what "A" decodes to in F1
    };
    const std::vector<names_case> cases = {
        {"FirstWins", "<< /F1 2 0 R /F1 3 0 R >>", "B"},
        {"UnresolvedFirstSkipped", "<< /F1 77 0 R /F1 3 0 R >>", "C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        reader r(tavrik_test::build_pdf({{1, "<< /Font " + c.fonts + " >>"},
                                         {2, "<< /Encoding << /Differences [65 /B] >> >>"},
                                         {3, "<< /Encoding << /Differences [65 /C] >> >>"}}));
        ctx_load_resources(r.ctx, r.dict_of(1));
        ASSERT_EQ(r.ctx.fonts.list.size(), 1u);
        EXPECT_EQ(decode(fm_find(r.ctx.fonts, "F1"), "A"), c.expect);
    }
}

TEST(FontLoadEncoding, UnclosedDifferencesStopsBeforeLastByte)
{
    // The array runs to the end of the data; its last byte is not handed on.
    for (const std::string tail : {"]", ""}) {
        SCOPED_TRACE(tail);
        reader r("<< /Differences [65 /B 66 /C" + tail);
        pdf_font font;
        font_load_encoding(r.ctx, font, 0);
        pf_finalize(&font);
        EXPECT_EQ(decode(&font, "AB"), tail.empty() ? "BB" : "BC");
    }
}

}  // namespace
}  // namespace tavrik
