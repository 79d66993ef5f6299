// Font dictionary loading: code width from Subtype, Encoding and ToUnicode, and the
// mappings a font ends up with.
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fonts/font_internal.h"
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

// ---- encodings a font names or has built in ----------------------------------

INSTANTIATE_TEST_SUITE_P(Encodings, FontLoad, ::testing::Values(
    font_case{"MacRoman", "<< /Subtype /TrueType /Encoding /MacRomanEncoding >>", {}, 1, "Caf\x8E M\x9Fnster",
              "Caf\xC3\xA9 M\xC3\xBCnster"},
    font_case{"WinAnsi", "<< /Subtype /TrueType /Encoding /WinAnsiEncoding >>", {}, 1, "\x93Q\x94 \x80\xE9",
              "\xE2\x80\x9CQ\xE2\x80\x9D \xE2\x82\xAC\xC3\xA9"},
    font_case{"StandardNamed", "<< /Subtype /TrueType /Encoding /StandardEncoding >>", {}, 1, "It's \xAE",
              "It\xE2\x80\x99s fi"},
    font_case{"PDFDoc", "<< /Subtype /Type1 /Encoding /PDFDocEncoding >>", {}, 1, "a\x84" "b\x8D", "a\xE2\x80\x94" "b\xE2\x80\x9C"},
    font_case{"MacExpert", "<< /Subtype /Type1 /Encoding /MacExpertEncoding >>", {}, 1, "\x56", "ff"},
    font_case{"BaseEncodingUnderDifferences",
              "<< /Subtype /Type1 /BaseFont /Foo /Encoding << /BaseEncoding /MacRomanEncoding /Differences [65 /Omega] >> >>",
              {}, 1, "A\x8E" "B", "\xE2\x84\xA6\xC3\xA9" "B"},   // the glyph list's Omega is the ohm sign
    // Without BaseEncoding, Differences modify the font's built-in encoding.
    font_case{"DifferencesOverBuiltIn", "<< /Subtype /Type1 /BaseFont /Times-Roman /Encoding << /Differences [65 /B] >> >>",
              {}, 1, "A'", "B\xE2\x80\x99"},
    font_case{"DifferencesNameReplacesBase",
              "<< /Subtype /Type1 /BaseFont /Times-Roman /Encoding << /Differences [174 /g7] >> >>", {}, 1, "\xAE", ""},
    font_case{"StandardFontWithout", "<< /Subtype /Type1 /BaseFont /Times-Roman >>", {}, 1, "It's", "It\xE2\x80\x99s"},
    font_case{"SubsetOfStandardFont", "<< /Subtype /Type1 /BaseFont /ABCDEF+Helvetica-Bold >>", {}, 1, "`q'",
              "\xE2\x80\x98q\xE2\x80\x99"},
    font_case{"Symbol", "<< /Subtype /Type1 /BaseFont /Symbol >>", {}, 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    font_case{"ZapfDingbats", "<< /Subtype /Type1 /BaseFont /ZapfDingbats >>", {}, 1, "\x33", "\xE2\x9C\x93"},
    font_case{"NotAnEncodingName", "<< /Subtype /Type1 /BaseFont /Times-Roman /Encoding /FooEncoding >>", {}, 1, "'",
              "\xE2\x80\x99"},
    // A TrueType font that names no encoding keeps the byte-wise reading.
    font_case{"TrueTypeWithout", "<< /Subtype /TrueType /BaseFont /Arial >>", {}, 1, "Caf\xE9", "Caf\xC3\xA9"},
    font_case{"Type3Without", "<< /Subtype /Type3 /BaseFont /Times-Roman >>", {}, 1, "'\xE9", "'\xC3\xA9"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- embedded font programs ------------------------------------------------------

std::string fixture_bytes(const std::string& name)
{
    return tavrik_test::read_file(tavrik_test::fixture("fonts/" + name));
}

// Object 4: a font descriptor whose program (object 5) is in file under key.
std::vector<pdf_object> program(const std::string& key, const std::string& file, const std::string& stream_dict = "",
                                int flags = 32)
{
    return {{4, "<< /Type /FontDescriptor /Flags " + std::to_string(flags) + " /" + key + " 5 0 R >>"},
            {5, tavrik_test::stream_body(stream_dict, fixture_bytes(file))}};
}

// data as a zlib stream of stored blocks of up to block bytes, as a FlateDecode
// stream holds it.
std::string flate_stored(const std::string& data, std::size_t block = 65535)
{
    std::string out = "\x78\x01";
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(block, data.size() - at);
        out += static_cast<char>(at + n == data.size() ? 1 : 0);
        out += static_cast<char>(n & 0xFF);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(~n & 0xFF);
        out += static_cast<char>((~n >> 8) & 0xFF);
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    std::uint32_t a = 1, b = 0;
    for (const unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    const std::uint32_t adler = b << 16 | a;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>(adler >> shift & 0xFF);
    return out;
}

// A Type 1 program, compressed, with this Length1. Small blocks let a part of the
// data be inflated without the rest.
std::vector<pdf_object> compressed_type1_text(const std::string& program, const std::string& length1)
{
    return {{4, "<< /Type /FontDescriptor /Flags 4 /FontFile 5 0 R >>"},
            {5, tavrik_test::stream_body("/Filter /FlateDecode /Length1 " + length1, flate_stored(program, 16))}};
}
std::vector<pdf_object> compressed_type1(const std::string& file, const std::string& length1)
{
    return compressed_type1_text(fixture_bytes(file), length1);
}

// A clear text whose comment says "eexec" long before the real one, and whose
// encoding goes on past the first bytes inflated for a Length1 that ends inside it.
const std::string early_eexec_head = "%!PS-AdobeFont-1.0: Test\n% no eexec tools were used\n/Encoding 256 array\n"
                                     "0 1 255 {1 index exch /.notdef put} for\ndup 97 /alpha put\n";
const std::string early_eexec_program = early_eexec_head + "%" + std::string(300, '-') +
                                        "\ndup 98 /beta put\nreadonly def\ncurrentfile eexec\n";

std::vector<pdf_object> with(std::vector<pdf_object> a, const std::vector<pdf_object>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A composite font (object 2) over the CID font of object 6.
std::string type0(const std::string& encoding) { return "<< /Subtype /Type0 /Encoding /" + encoding + " /DescendantFonts [6 0 R] >>"; }
pdf_object cid_font(const std::string& subtype, const std::string& ordering, const std::string& rest = "")
{
    return {6, "<< /Type /Font /Subtype /" + subtype + " /CIDSystemInfo << /Registry (Adobe) /Ordering (" + ordering +
                   ") /Supplement 0 >> " + rest + " >>"};
}

INSTANTIATE_TEST_SUITE_P(EmbeddedPrograms, FontLoad, ::testing::Values(
    // A Type 1 program's own encoding (Symbol's, under a name that is not Symbol).
    font_case{"Type1OwnEncoding", "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R >>",
              program("FontFile", "symbol_clear.t1", "", 4), 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    // Only the clear-text part is inflated; a Length1 that falls short of "eexec", or
    // none, still finds the encoding.
    font_case{"Type1CompressedLength1", "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R >>",
              compressed_type1("symbol_clear.t1", "4946"), 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    font_case{"Type1Length1EndsInsideTheEncoding",
              "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R >>",
              compressed_type1_text(early_eexec_program, std::to_string(early_eexec_head.size())), 1, "ab",
              "\xCE\xB1\xCE\xB2"},
    font_case{"Type1Length1ShortByMoreThanTheFirstSlack",
              "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R >>",
              compressed_type1("symbol_clear.t1", "4700"), 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    font_case{"Type1Length1TooShort", "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R >>",
              compressed_type1("symbol_clear.t1", "10"), 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    font_case{"Type1Length1Garbage", "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R >>",
              compressed_type1("symbol_clear.t1", "/x"), 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    font_case{"Type1DeclaresStandard", "<< /Subtype /Type1 /BaseFont /ABCDEF+Roman /FontDescriptor 4 0 R >>",
              program("FontFile", "nimbus_roman_clear.t1"), 1, "\xAE" "le", "file"},
    font_case{"CffOwnEncoding", "<< /Subtype /Type1 /BaseFont /ABCDEF+Roman /FontDescriptor 4 0 R >>",
              program("FontFile3", "nimbus_roman_custom.cff", "/Subtype /Type1C"), 1, "\x01\x02\x03\x04\x05",
              "fie\xC3\xA9" "A\xE2\x80\x99"},
    font_case{"CffUnderDifferences",
              "<< /Subtype /Type1 /BaseFont /ABCDEF+Roman /FontDescriptor 4 0 R /Encoding << /Differences [2 /x] >> >>",
              program("FontFile3", "nimbus_roman_custom.cff", "/Subtype /Type1C"), 1, "\x01\x02", "fix"},
    // A symbolic TrueType font through its (3,0) cmap at 0xF000 and its post names.
    font_case{"TrueTypeSymbolCmap", "<< /Subtype /TrueType /BaseFont /ABCDEF+Sym /FontDescriptor 4 0 R >>",
              program("FontFile2", "dejavu_symbol_cut.ttf", "", 4), 1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    // A TrueType font with a Unicode cmap and no encoding reads its codes as text.
    font_case{"TrueTypeTextFont", "<< /Subtype /TrueType /BaseFont /ABCDEF+DejaVu /FontDescriptor 4 0 R >>",
              program("FontFile2", "dejavu_sans_cut.ttf"), 1, "Caf\xE9", "Caf\xC3\xA9"},
    // Glyph ids of a composite TrueType font to text through the font's Unicode cmap.
    font_case{"CidTrueTypeIdentity", type0("Identity-H"),
              with({cid_font("CIDFontType2", "Identity", "/FontDescriptor 4 0 R /CIDToGIDMap /Identity")},
                   program("FontFile2", "dejavu_sans_cut.ttf")),
              2, std::string("\0\x02\0\x03\0\x05\0\x07", 8), "Caf\xC3\xA9"},
    font_case{"CidTrueTypeMapStream", type0("Identity-H"),
              with({cid_font("CIDFontType2", "Identity", "/FontDescriptor 4 0 R /CIDToGIDMap 7 0 R"),
                    {7, tavrik_test::stream_body("", std::string("\0\0\0\x02\0\x03\0\x05\0\x07", 10))}},
                   program("FontFile2", "dejavu_sans_cut.ttf")),
              2, std::string("\0\x01\0\x02\0\x03\0\x04", 8), "Caf\xC3\xA9"},
    // A ToUnicode map that maps nothing leaves the program to give the text.
    font_case{"EmptyToUnicode", "<< /Subtype /Type1 /BaseFont /ABCDEF+Greek /FontDescriptor 4 0 R /ToUnicode 3 0 R >>",
              with({{3, tavrik_test::stream_body("", cmap("<00> <FF>", "0 beginbfchar endbfchar"))}},
                   program("FontFile", "symbol_clear.t1", "", 4)),
              1, "abg", "\xCE\xB1\xCE\xB2\xCE\xB3"},
    // Broken programs leave the font as it would be without one.
    font_case{"BrokenType1", "<< /Subtype /Type1 /BaseFont /ABCDEF+Foo /FontDescriptor 4 0 R >>",
              {{4, "<< /FontFile 5 0 R >>"}, {5, tavrik_test::stream_body("", "%!PS garbage /Encoding 12 dup")}}, 1,
              "Caf\xE9", "Caf\xC3\xA9"},
    font_case{"TruncatedCff", "<< /Subtype /Type1 /BaseFont /ABCDEF+Foo /FontDescriptor 4 0 R >>",
              {{4, "<< /FontFile3 5 0 R >>"},
               {5, tavrik_test::stream_body("/Subtype /Type1C", fixture_bytes("nimbus_roman_custom.cff").substr(0, 40))}},
              1, "Caf\xE9", "Caf\xC3\xA9"},
    font_case{"GarbageTrueType", "<< /Subtype /TrueType /BaseFont /ABCDEF+Foo /FontDescriptor 4 0 R >>",
              {{4, "<< /Flags 4 /FontFile2 5 0 R >>"}, {5, tavrik_test::stream_body("", std::string("\0\x01\0\0\xFF\xFF", 6))}},
              1, "Caf\xE9", "Caf\xC3\xA9"},
    font_case{"GarbageCidTrueType", type0("Identity-H"),
              {cid_font("CIDFontType2", "Identity", "/FontDescriptor 4 0 R"), {4, "<< /FontFile2 5 0 R >>"},
               {5, tavrik_test::stream_body("", "true\0\0\0\0")}},
              2, std::string("\0A", 2), "A"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- predefined CMaps of the CJK collections -------------------------------------

INSTANTIATE_TEST_SUITE_P(CjkCMaps, FontLoad, ::testing::Values(
    font_case{"ShiftJis", type0("90ms-RKSJ-H"), {cid_font("CIDFontType0", "Japan1")}, 2,
              "AB\x93\xFA\x96\x7B\x8C\xEA\xB1", "AB\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xEF\xBD\xB1"},
    font_case{"ShiftJisProportional", type0("90msp-RKSJ-H"), {cid_font("CIDFontType0", "Japan1")}, 2,
              "x\x81\x60", "x\xE3\x80\x9C"},
    font_case{"ShiftJisVertical", type0("90ms-RKSJ-V"), {cid_font("CIDFontType0", "Japan1")}, 2,
              "\x93\xFA\x96\x7B", "\xE6\x97\xA5\xE6\x9C\xAC"},
    font_case{"EucJp", type0("EUC-H"), {cid_font("CIDFontType0", "Japan1")}, 2, "\xC6\xFC\xCB\xDC",
              "\xE6\x97\xA5\xE6\x9C\xAC"},
    font_case{"Gbk", type0("GBK-EUC-H"), {cid_font("CIDFontType0", "GB1")}, 2,
              "\xC4\xEA\xB6\xC8\xB9\xA4\xD7\xF7\xB1\xA8\xB8\xE6",
              "\xE5\xB9\xB4\xE5\xBA\xA6\xE5\xB7\xA5\xE4\xBD\x9C\xE6\x8A\xA5\xE5\x91\x8A"},
    font_case{"Gb2312", type0("GB-EUC-H"), {cid_font("CIDFontType0", "GB1")}, 2, "\xB1\xA8\xB8\xE6",
              "\xE6\x8A\xA5\xE5\x91\x8A"},
    font_case{"Big5", type0("ETen-B5-H"), {cid_font("CIDFontType0", "CNS1")}, 2, "\xA4\xA4\xA4\xE5",
              "\xE4\xB8\xAD\xE6\x96\x87"},
    font_case{"Hkscs", type0("HKscs-B5-H"), {cid_font("CIDFontType0", "CNS1")}, 2, "\x9D\xEE", "\xE3\x97\x8E"},
    font_case{"Uhc", type0("KSCms-UHC-H"), {cid_font("CIDFontType0", "Korea1")}, 2, "\xC7\xD1\x8C\x63",
              "\xED\x95\x9C\xEB\x98\xA0"},
    font_case{"EucKr", type0("KSC-EUC-H"), {cid_font("CIDFontType0", "Korea1")}, 2, "\xC7\xD1\xB1\xB9",
              "\xED\x95\x9C\xEA\xB5\xAD"},
    font_case{"Ucs2", type0("UniJIS-UCS2-H"), {}, 2, "\x65\xE5\x67\x2C", "\xE6\x97\xA5\xE6\x9C\xAC"},
    font_case{"Utf16SurrogatePair", type0("UniGB-UTF16-H"), {}, 2, "\xD8\x40\xDC\x0B\x5E\x74",
              "\xF0\xA0\x80\x8B\xE5\xB9\xB4"},
    font_case{"Utf8", type0("UniKS-UTF8-H"), {}, 2, "A\xED\x95\x9C\xEA\xB5\xAD", "A\xED\x95\x9C\xEA\xB5\xAD"},
    font_case{"Utf32", type0("UniCNS-UTF32-V"), {}, 2, std::string("\0\0\x4E\x2D\0\0\x65\x87", 8),
              "\xE4\xB8\xAD\xE6\x96\x87"},
    // Identity codes are CIDs, which the collection names.
    font_case{"IdentityJapan1", type0("Identity-H"), {cid_font("CIDFontType0", "Japan1")}, 2,
              std::string("\0\x22\x03\x4B", 4), "A\xE3\x81\x82"},
    font_case{"IdentityUnknownCollection", type0("Identity-H"), {cid_font("CIDFontType0", "Identity")}, 2,
              std::string("\0A", 2), "A"},
    // A composite font whose ToUnicode is the name Identity-H: its codes are UTF-16.
    font_case{"ToUnicodeIdentityName", "<< /Subtype /Type0 /Encoding /Identity-H /ToUnicode /Identity-H >>", {}, 2,
              std::string("\0U\x01\x1B", 4), "U\xC4\x9B"}),
    [](const auto& p) { return std::string(p.param.name); });

// A reading of a clear text settles only where the token it stops on is ended by a
// byte after it: a cut that falls right after "def" might be the start of "define".
TEST(Type1ClearText, SettlesOnlyBeforeTheEnd)
{
    struct clear_case {
        const char* name;
        std::string text;
        bool settled;
        std::uint32_t cp_of_97;   // 0: no code point
    };
    const std::string enc = "/Encoding 256 array\n0 1 255 {1 index exch /.notdef put} for\ndup 97 /alpha put\n";
    const std::vector<clear_case> cases = {
        {"ArrayEnds", enc + "readonly def\n", true, 0x3B1},
        {"ArrayCutAfterDef", enc + "readonly", false, 0x3B1},
        {"ArrayCutInside", enc + "dup 98 /beta", false, 0x3B1},
        {"Standard", "/FontName /X def /Encoding StandardEncoding def", true, 'a'},
        {"StandardCut", "/FontName /X def /Encoding StandardEncoding", false, 'a'},
        {"Eexec", "/FontName /X def currentfile eexec\r", true, 0},
        {"EexecCut", "/FontName /X def currentfile eexec", false, 0},
        {"NoEncoding", "/FontName /X def", false, 0},
        {"AdjacentDelimiters", "/Encoding 256 array dup 97/alpha put readonly def{", true, 0x3B1},
        {"InComment", "% /Encoding StandardEncoding def\n(eexec) /FontName /X def", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool settled = !c.settled;
        const auto prog = read_type1_clear(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(c.text.data()), c.text.size()), settled);
        ASSERT_NE(prog, nullptr);
        EXPECT_EQ(settled, c.settled);
        EXPECT_EQ(prog->builtin['a'], c.cp_of_97);
    }
}

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
