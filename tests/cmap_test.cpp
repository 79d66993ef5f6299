// Font table, ToUnicode CMaps, Differences with glyph names, and string decoding.
#include "fonts/cmap.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tavrik {
namespace {

std::vector<std::uint8_t> hx(std::string_view hex)
{
    std::vector<std::uint8_t> out;
    int high = -1;
    for (const char c : hex) {
        int v = -1;
        if (c >= '0' && c <= '9') v = c - '0';
        if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

std::string decode(const pdf_font* font, const std::vector<std::uint8_t>& bytes, std::size_t cap = 1024)
{
    std::vector<char> out(cap + 1, 'Q');
    const std::size_t n = pf_decode(font, bytes.data(), bytes.size(), out.data(), cap);
    EXPECT_LT(n, cap == 0 ? 1 : cap);
    if (cap == 0) return {};
    EXPECT_EQ(out[n], '\0');
    return std::string(out.data(), n);
}

void parse_cmap(pdf_font& font, std::string_view cmap)
{
    pf_parse_tounicode(&font, reinterpret_cast<const std::uint8_t*>(cmap.data()), cmap.size());
    pf_finalize(&font);
}

void parse_differences(pdf_font& font, std::string_view text)
{
    pf_parse_differences(&font, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    pf_finalize(&font);
}

std::vector<std::pair<std::uint32_t, std::string>> chars_of(const pdf_font& font)
{
    std::vector<std::pair<std::uint32_t, std::string>> out;
    for (const pf_char& c : font.chars) out.emplace_back(c.code, c.utf8);
    return out;
}

// ---- font table ------------------------------------------------------------------

TEST(FontTable, FindIsExactAndEmptyTableFindsNothing)
{
    font_map map;
    fm_init(map);
    EXPECT_EQ(fm_find(map, "F1"), nullptr);
    pdf_font* f1 = fm_add(map, "F1");
    ASSERT_NE(f1, nullptr);
    EXPECT_EQ(f1->code_bytes, 1);
    EXPECT_EQ(f1->has_map, 0);
    EXPECT_EQ(fm_find(map, "F1"), f1);
    EXPECT_EQ(fm_find(map, "f1"), nullptr);
    EXPECT_EQ(fm_find(map, "F"), nullptr);
    const font_map& cmap = map;
    EXPECT_EQ(fm_find(cmap, "F1"), f1);
    fm_free(map);
}

TEST(FontTable, AddingAPresentNameReturnsItUnchanged)
{
    font_map map;
    pdf_font* f = fm_add(map, "F1");
    ASSERT_NE(f, nullptr);
    f->code_bytes = 2;
    pf_set_char(*f, 0x41, "X");
    EXPECT_EQ(fm_add(map, "F1"), f);
    EXPECT_EQ(f->code_bytes, 2);
    EXPECT_EQ(f->chars.size(), 1u);
    EXPECT_EQ(map.list.size(), 1u);
}

TEST(FontTable, HoldsAtMost512Fonts)
{
    font_map map;
    std::vector<pdf_font*> fonts;
    for (int i = 0; i < MAX_FONTS; ++i) {
        fonts.push_back(fm_add(map, "F" + std::to_string(i)));
        ASSERT_NE(fonts.back(), nullptr) << i;
    }
    EXPECT_EQ(fm_add(map, "Extra"), nullptr);
    EXPECT_EQ(fm_add(map, "F7"), fonts[7]);   // present names are still found
    for (int i = 0; i < MAX_FONTS; ++i) EXPECT_EQ(fm_find(map, "F" + std::to_string(i)), fonts[i]);
}

TEST(FontTable, LongNamesAreCutTo63Bytes)
{
    font_map map;
    const std::string full(70, 'N');
    const std::string cut(63, 'N');
    pdf_font* f = fm_add(map, full);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::string(f->name), cut);
    EXPECT_EQ(fm_find(map, cut), f);
    EXPECT_EQ(fm_find(map, full), nullptr);
    pdf_font* again = fm_add(map, full);
    EXPECT_NE(again, nullptr);
    EXPECT_NE(again, f);
    EXPECT_EQ(map.list.size(), 2u);
}

TEST(FontTable, ClearEmptiesTheTableForReuse)
{
    font_map map;
    for (int i = 0; i < 40; ++i) ASSERT_NE(fm_add(map, "F" + std::to_string(i)), nullptr);
    pdf_font* f = fm_find(map, "F1");
    f->code_bytes = 2;
    f->width_fixed = 1;
    pf_set_char(*f, 1, "x");
    const std::size_t cap = map.list.capacity();
    fm_clear(map);
    EXPECT_TRUE(map.list.empty());
    EXPECT_EQ(map.list.capacity(), cap);
    EXPECT_EQ(fm_find(map, "F1"), nullptr);
    pdf_font* fresh = fm_add(map, "F1");
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->code_bytes, 1);
    EXPECT_EQ(fresh->width_fixed, 0);
    EXPECT_EQ(fresh->has_map, 0);
    EXPECT_TRUE(fresh->chars.empty());
    fm_free(map);
    EXPECT_EQ(map.list.capacity(), 0u);
}

// ---- mappings ----------------------------------------------------------------------

TEST(FontMappings, SetCharKeepsNonEmptyTextsCutTo15Bytes)
{
    pdf_font f;
    pf_set_char(f, 1, "");
    EXPECT_EQ(f.has_map, 0);
    pf_set_char(f, 2, "0123456789abcdefgh");
    ASSERT_EQ(f.chars.size(), 1u);
    EXPECT_STREQ(f.chars[0].utf8, "0123456789abcde");
    EXPECT_EQ(f.has_map, 1);
}

TEST(FontMappings, RangeBelowItsFirstCodeIsRefused)
{
    pdf_font f;
    pf_add_range(f, 5, 4, 0, std::make_unique<char[]>(16));
    pf_add_range(f, 5, 4, 0x41, nullptr);
    EXPECT_TRUE(f.ranges.empty());
    EXPECT_EQ(f.has_map, 0);
}

TEST(FontMappings, FinalizeSortsByCode)
{
    pdf_font f;
    pf_finalize(nullptr);
    pf_set_char(f, 0x42, "b");
    pf_finalize(&f);
    pf_set_char(f, 0x41, "a");
    pf_set_char(f, 0x43, "c");
    pf_finalize(&f);
    const std::vector<std::pair<std::uint32_t, std::string>> want{{0x41, "a"}, {0x42, "b"}, {0x43, "c"}};
    EXPECT_EQ(chars_of(f), want);
}

TEST(FontMappings, CapacitiesStopAtTheirLimits)
{
    pdf_font f;
    for (std::uint32_t c = 0; c < MAX_CHAR_MAPPINGS + 10; ++c) pf_set_char(f, c, "x");
    EXPECT_EQ(f.chars.size(), MAX_CHAR_MAPPINGS);
    for (std::uint32_t c = 0; c < MAX_RANGE_MAPPINGS + 10; ++c) pf_add_range(f, c, c, 0x41, nullptr);
    EXPECT_EQ(f.ranges.size(), MAX_RANGE_MAPPINGS);
}

// The first mapping added for a code is the one decoding finds: Differences names
// are added before ToUnicode entries and win over them.
TEST(FontMappings, FirstMappingOfACodeWins)
{
    pdf_font f;
    pf_parse_differences(&f, reinterpret_cast<const std::uint8_t*>("65 /B"), 5);
    parse_cmap(f, "beginbfchar <41> <0058> <42> <0059> endbfchar");
    EXPECT_EQ(decode(&f, hx("41 42")), "BY");
}

// Decoding remembers the texts of low codes; a mapping added or a width changed
// after a decode must still be seen, and codes past what is remembered still found.
TEST(FontMappings, RememberedTextsFollowTheFont)
{
    pdf_font f;
    pf_set_char(f, 'A', "x");
    pf_finalize(&f);
    EXPECT_EQ(decode(&f, hx("41 42 41")), "xBx");
    pf_set_char(f, 'B', "y");
    EXPECT_EQ(decode(&f, hx("41 42")), "xy");
    pf_add_range(f, 'C', 'D', 'p', nullptr);
    EXPECT_EQ(decode(&f, hx("43 44 42")), "pqy");
    f.code_bytes = 2;
    pf_set_char(f, 0x4142, "w");
    pf_set_char(f, 0xFFFF, "z");
    EXPECT_EQ(decode(&f, hx("41 42 00 41 FF FF")), "wxz");
}

// Many ranges are looked up through an index built by pf_finalize; it must give
// what the plain scan in the order added gives.
TEST(FontMappings, RangeIndexAgreesWithScan)
{
    pdf_font scanned;
    std::uint32_t seed = 12345;
    auto rnd = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int i = 0; i < 300; ++i) {
        const std::uint32_t first = rnd() % 0x10000;
        const std::uint32_t last = i % 50 == 0 ? 0xFFFFFFFF : first + rnd() % 3000;
        pf_add_range(scanned, first, last, static_cast<std::int32_t>(0x100 + i * 0x40), nullptr);
    }
    pdf_font indexed;
    for (const pf_range& r : scanned.ranges) pf_add_range(indexed, r.first_code, r.last_code, r.base_cp, nullptr);
    pf_finalize(&indexed);
    ASSERT_FALSE(indexed.range_runs.empty());
    ASSERT_TRUE(scanned.range_runs.empty());
    scanned.code_bytes = indexed.code_bytes = 2;
    for (std::uint32_t c = 0; c < 0x10000; c += 7) {
        const std::vector<std::uint8_t> b{static_cast<std::uint8_t>(c >> 8), static_cast<std::uint8_t>(c)};
        ASSERT_EQ(decode(&indexed, b), decode(&scanned, b)) << c;
    }
    pf_add_range(indexed, 0, 0xFFFF, 0x41, nullptr);   // added after the index: scanned
    EXPECT_EQ(decode(&indexed, hx("FF FF")), decode(&scanned, hx("FF FF")));
}

// ---- UTF-8 encoder -----------------------------------------------------------------

struct Utf8Case {
    const char* name;
    std::size_t pos;
    std::size_t cap;
    std::uint32_t cp;
    std::string bytes;   // written at pos
};
// Without this, a failure or the XML report would print the struct's raw bytes,
// padding included.
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }
class CmUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(CmUtf8, WritesWhenTheSequenceAndOneMoreByteFit)
{
    const Utf8Case& c = GetParam();
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(cm_utf8(buf, c.pos, c.cap, c.cp), c.pos + c.bytes.size());
    EXPECT_EQ(std::string(buf + c.pos, c.bytes.size()), c.bytes);
    EXPECT_EQ(buf[c.pos + c.bytes.size()], '#');   // no NUL written
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, CmUtf8,
    ::testing::Values(Utf8Case{"Ascii", 0, 16, 0x41, "A"}, Utf8Case{"TwoBytes", 0, 16, 0xE9, "\xC3\xA9"},
                      Utf8Case{"FourBytes", 0, 16, 0x1F600, "\xF0\x9F\x98\x80"},
                      Utf8Case{"Surrogate", 0, 16, 0xD800, "\xED\xA0\x80"},
                      Utf8Case{"ThreeBytesAt13DoNotFit", 13, 16, 0x20AC, ""},
                      Utf8Case{"OneByteAt13Fits", 13, 16, 0x41, "A"}, Utf8Case{"NothingAt15", 15, 16, 0x41, ""},
                      Utf8Case{"PosPastCap", 20, 16, 0x41, ""}, Utf8Case{"Zero", 0, 16, 0, ""},
                      Utf8Case{"AboveUnicode", 0, 16, 0x110000, ""},
                      Utf8Case{"LastCodePoint", 0, 16, 0x10FFFF, "\xF4\x8F\xBF\xBF"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- ToUnicode ---------------------------------------------------------------------

struct CmapCase {
    const char* name;
    std::string cmap;
    std::string input;   // hex bytes of a shown string
    std::string text;    // its decoded text
    int code_bytes;      // after the parse
    int width_fixed;
};
void PrintTo(const CmapCase& c, std::ostream* os) { *os << c.name; }
class ToUnicode : public ::testing::TestWithParam<CmapCase> {};

TEST_P(ToUnicode, MapsAndSetsTheCodeWidth)
{
    const CmapCase& c = GetParam();
    pdf_font f;
    parse_cmap(f, c.cmap);
    EXPECT_EQ(decode(&f, hx(c.input)), c.text);
    EXPECT_EQ(f.code_bytes, c.code_bytes);
    EXPECT_EQ(f.width_fixed, c.width_fixed);
}

const std::string k64Zeros(128, '0');   // 64 bytes

INSTANTIATE_TEST_SUITE_P(
    Cmaps, ToUnicode,
    ::testing::Values(
        CmapCase{"BfcharTwoByteSource", "beginbfchar <0041> <00480069> endbfchar", "0041", "Hi", 2, 0},
        CmapCase{"BaseRange", "1 beginbfrange <0000> <0005> <0041> endbfrange", "0000 0001 0002 0003 0004 0005",
                 "ABCDEF", 2, 0},
        CmapCase{"ArrayRangeLeavesMissingSlotsEmpty", "beginbfrange <01> <03> [<0041> <0042>] endbfrange",
                 "01 02 03", "AB", 1, 0},
        CmapCase{"EmptySlotFallsBackAndHidesLaterRanges",
                 "beginbfrange <41> <43> [<0058> <> <005A>] <42> <42> <0051> endbfrange", "41 42 43", "XBZ", 1, 0},
        CmapCase{"TextDestinationMapsFirstCodeOnly", "beginbfrange <10> <12> <00410042> endbfrange", "10 11 12",
                 "AB", 1, 0},
        CmapCase{"ZeroBaseIsAText", "beginbfrange <41> <43> <0000> <44> <44> <0058> endbfrange",
                 "41 42 44", "ABX", 1, 0},
        CmapCase{"Utf16Forms", "beginbfchar <01> <D83DDE00> <02> <FEFF0041> <03> <41> <04> <D83D0041> endbfchar",
                 "01 02 03 04", "\xF0\x9F\x98\x80" "A\xED\xA0\xBD" "A", 1, 0},
        CmapCase{"TextKeepsWhatFitsIn15Bytes",
                 "beginbfchar <01> <20AC20AC20AC20AC20AC20AC20AC20AC> <02> <20AC20AC20AC20AC20AC0041> endbfchar",
                 "01 02", "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"
                          "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC",
                 1, 0},
        CmapCase{"ShorterCharactersStillFit", "beginbfchar <01> <20AC20AC20AC20AC00E920AC0041> endbfchar", "01",
                 "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xC3\xA9" "A", 1, 0},
        CmapCase{"OddHexDigitIsAHighNibble", "beginbfchar <414> <0058> endbfchar", "41 40 41 41", "X", 2, 0},
        CmapCase{"HexPast64BytesIsDropped",
                 "beginbfchar <05> <" + k64Zeros + "0041> <06> <0058> endbfchar", "05 06", "X", 1, 0},
        CmapCase{"LongSourceUsesFirstFourBytes", "beginbfchar <0000004142> <0058> endbfchar", "00 41", "X", 2, 0},
        CmapCase{"EmptyHexIsCodeZero", "beginbfchar <> <0058> endbfchar", "00", "X", 1, 0},
        CmapCase{"ArrayWiderThan65536CodesIsSkipped",
                 "beginbfrange <0000> <00010000> [<0041>] <0005> <0001> [<0041>] <0001> <0001> <0058> endbfrange",
                 "0000 0005 0001", "X", 2, 0},
        CmapCase{"Array65536CodesIsKept", "beginbfrange <0000> <FFFF> [<0041> <0042>] endbfrange",
                 "0000 0001 0002 FFFF", "AB", 2, 0},
        CmapCase{"HugeBaseRange", "beginbfrange <0000> <FFFFFFFF> <0041> endbfrange", "0001 FFFF",
                 "B\xF0\x90\x81\x80", 2, 0},
        CmapCase{"ReversedRangeWithTextMapsFirstCode", "beginbfrange <05> <01> <00410042> endbfrange", "05", "AB", 1,
                 0},
        CmapCase{"ReversedBaseRangeAddsNothing", "beginbfrange <05> <01> <0041> endbfrange", "05 41", "\x05" "A", 1,
                 0},
        CmapCase{"KeywordsAreCaseSensitive", "BeginBFChar <41> <0058> endbfchar", "41", "A", 1, 0},
        CmapCase{"NameOpensASection", "/beginbfchar <41> <0058> /endbfchar", "41", "X", 1, 0},
        CmapCase{"AnyWordEndsASection", "beginbfchar <41> <0058> beginbfrange <42> <42> <0059> endbfrange",
                 "41 42", "XB", 1, 0},
        CmapCase{"StringsAndCommentsHideKeywords",
                 "(endbfchar \\) beginbfchar) % beginbfchar <43> <005A>\n"
                 "beginbfchar (x endbfchar) <41> <0058> endbfchar",
                 "41 43", "XC", 1, 0},
        CmapCase{"CommentRunsToLineFeedOnly", "% note\r beginbfchar <41> <0058> endbfchar", "41", "A", 1, 0},
        CmapCase{"BracketDropsTheSource", "beginbfchar <41> [<0058>] <42> <0059> endbfchar", "41 42", "AY", 1, 0},
        CmapCase{"OtherTokenDropsTheRange",
                 "beginbfrange <41> <41> (x) <42> <42> << <43> <43> <0059> endbfrange", "41 42 43", "ABY", 1, 0},
        CmapCase{"MissingLastCodeEndsTheSection", "beginbfrange <41> foo <42> <42> <0059> endbfrange", "42", "B", 1,
                 0},
        CmapCase{"CodespaceFirstBoundFixesWidth",
                 "begincodespacerange <00> <80> <0000> <FFFF> endcodespacerange "
                 "beginbfchar <0041> <0058> endbfchar beginbfrange <0042> <0043> <0061> endbfrange",
                 "41 42", "Xa", 1, 1},
        CmapCase{"CodespaceTwoBytes",
                 "begincodespacerange <> <0000> <FFFF> endcodespacerange begincodespacerange <00> <FF> "
                 "endcodespacerange beginbfchar <0041> <0058> endbfchar",
                 "0041", "X", 2, 1},
        CmapCase{"DataEndingInsideAnArrayKeepsIt", "beginbfrange <41> <42> [<0058>", "41 42", "XB", 1, 0},
        CmapCase{"DataEndingInsideASection", "beginbfchar <41> <0058> <42>", "41 42", "XB", 1, 0},
        CmapCase{"NothingUsableMeansByteWise", "/CIDInit /ProcSet findresource begin 12 dict begin >> ]",
                 "41 E9", "A\xC3\xA9", 1, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ToUnicodeWidth, AFixedWidthIsKept)
{
    pdf_font f;
    f.width_fixed = 1;   // set by a composite encoding name or a non-Type0 font
    parse_cmap(f, "begincodespacerange <0000> <FFFF> endcodespacerange beginbfchar <0041> <0058> endbfchar");
    EXPECT_EQ(f.code_bytes, 1);
    EXPECT_EQ(f.width_fixed, 1);
    EXPECT_EQ(decode(&f, hx("41")), "X");
}

TEST(ToUnicodeLimits, NullOrEmptyInputDoesNothing)
{
    pdf_font f;
    pf_parse_tounicode(nullptr, reinterpret_cast<const std::uint8_t*>("x"), 1);
    pf_parse_tounicode(&f, nullptr, 5);
    pf_parse_tounicode(&f, reinterpret_cast<const std::uint8_t*>("beginbfchar"), 0);
    EXPECT_EQ(f.has_map, 0);
}

// Array ranges hold only the slots they were given, so a CMap of wide ranges with
// short arrays costs memory in proportion to its own size.
TEST(ToUnicodeLimits, ArrayBlocksHoldOnlyGivenSlots)
{
    std::string cmap = "beginbfrange";
    for (int i = 0; i < 5000; ++i) cmap += " <0000> <FFFF> [<0041>]";
    cmap += " endbfrange";
    pdf_font f;
    parse_cmap(f, cmap);
    ASSERT_EQ(f.ranges.size(), 5000u);
    EXPECT_EQ(f.ranges[0].nslots, 1u);
    EXPECT_EQ(decode(&f, hx("0000 0001")), "A");
}

TEST(ToUnicodeLimits, TopLevelTokenBudget)
{
    for (const long filler : {MAX_CMAP_TOKENS - 1, MAX_CMAP_TOKENS}) {
        SCOPED_TRACE(filler);
        std::string cmap;
        cmap.reserve(static_cast<std::size_t>(filler) * 2 + 64);
        for (long i = 0; i < filler; ++i) cmap += "x ";
        cmap += "beginbfchar <41> <0058> endbfchar";
        pdf_font f;
        parse_cmap(f, cmap);
        EXPECT_EQ(f.has_map, filler < MAX_CMAP_TOKENS ? 1 : 0);
    }
}

// Tokens inside sections are not counted against the budget, but every one of them
// consumes input: a huge section parses in one pass and keeps the first mappings.
TEST(ToUnicodeLimits, HugeSectionKeepsFirstMappings)
{
    std::string cmap = "beginbfchar";
    for (std::uint32_t c = 0; c < 200000; ++c) {
        char line[32];
        std::snprintf(line, sizeof line, " <%06X> <0041>", c);
        cmap += line;
    }
    cmap += " endbfchar";
    pdf_font f;
    parse_cmap(f, cmap);
    EXPECT_EQ(f.chars.size(), MAX_CHAR_MAPPINGS);
    EXPECT_EQ(f.chars.back().code, MAX_CHAR_MAPPINGS - 1);
}

// ---- glyph names -------------------------------------------------------------------

struct GlyphCase {
    const char* label;
    std::string name;
    std::uint32_t cp;
};
class GlyphNames : public ::testing::TestWithParam<GlyphCase> {};

TEST_P(GlyphNames, ResolveToCodePoints)
{
    EXPECT_EQ(glyph_to_cp(GetParam().name), GetParam().cp);
}

INSTANTIATE_TEST_SUITE_P(
    Names, GlyphNames,
    ::testing::Values(GlyphCase{"Empty", "", 0}, GlyphCase{"Letter", "A", 0x41}, GlyphCase{"Digit", "1", 0x31},
                      GlyphCase{"NonAsciiByte", "\xE9", 0}, GlyphCase{"ControlByte", "\x1F", 0},
                      GlyphCase{"Space", "space", 0x20}, GlyphCase{"QuoteRight", "quoteright", 0x2019},
                      GlyphCase{"QuoteLeft", "quoteleft", 0x2018}, GlyphCase{"Grave", "grave", 0x60},
                      GlyphCase{"Euro", "euro", 0x20AC}, GlyphCase{"EuroUpper", "Euro", 0x20AC},
                      GlyphCase{"Eacute", "eacute", 0xE9}, GlyphCase{"EacuteUpper", "Eacute", 0xC9},
                      GlyphCase{"Adieresis", "Adieresis", 0xC4}, GlyphCase{"Germandbls", "germandbls", 0xDF},
                      GlyphCase{"Fi", "fi", 0xFB01}, GlyphCase{"Fl", "fl", 0xFB02},
                      GlyphCase{"Ugrave", "ugrave", 0xF9}, GlyphCase{"Uring", "uring", 0x16F},
                      GlyphCase{"Uni", "uni20AC", 0x20AC}, GlyphCase{"UniLower", "uni20ac", 0x20AC},
                      GlyphCase{"UniSuffix", "uni20AC.sc", 0x20AC}, GlyphCase{"UniPair", "uni00410042", 0x41},
                      GlyphCase{"UniBad", "uniXYZW", 0}, GlyphCase{"UniBadWithSuffix", "uniXYZW.sc", 0},
                      GlyphCase{"UniShort", "uni20A", 0}, GlyphCase{"U5", "u20AC", 0x20AC},
                      GlyphCase{"U6", "u1F600", 0x1F600}, GlyphCase{"U7", "u10FFFF", 0x10FFFF},
                      GlyphCase{"UAboveUnicode", "u110000", 0x110000}, GlyphCase{"U8", "u0010FFFF", 0},
                      GlyphCase{"USuffix", "u1F600.alt", 0x1F600}, GlyphCase{"LetterSuffix", "a.sc", 0x61},
                      GlyphCase{"TableSuffix", "space.alt", 0x20}, GlyphCase{"Notdef", ".notdef", 0},
                      GlyphCase{"Ligature", "f_f", 0}, GlyphCase{"LongSuffix", "a." + std::string(200, 'x'), 0x61},
                      GlyphCase{"LongPrefix", std::string(64, 'a') + ".sc", 0},
                      // The whole glyph list: Greek and Cyrillic, Central European letters.
                      GlyphCase{"Greek", "alpha", 0x3B1}, GlyphCase{"OldCyrillic", "afii10017", 0x410},
                      GlyphCase{"Caron", "rcaron", 0x159}, GlyphCase{"MadeUpName", "g123", 0},
                      // The Zapf Dingbats names are the ZapfDingbats font's only: Type 3
                      // and subset fonts use a1, a2 ... as names of their own.
                      GlyphCase{"DingbatName", "a1", 0}),
    [](const auto& p) { return std::string(p.param.label); });

// ---- Differences -------------------------------------------------------------------

struct DiffCase {
    const char* name;
    std::string text;
    std::vector<std::pair<std::uint32_t, std::string>> chars;   // after pf_finalize
};
class Differences : public ::testing::TestWithParam<DiffCase> {};

TEST_P(Differences, AddSingleMappings)
{
    pdf_font f;
    parse_differences(f, GetParam().text);
    EXPECT_EQ(chars_of(f), GetParam().chars);
    EXPECT_EQ(f.has_map, GetParam().chars.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, Differences,
    ::testing::Values(
        DiffCase{"CodesAndRuns", "32 /space /exclam 65 /A /B", {{32, " "}, {33, "!"}, {65, "A"}, {66, "B"}}},
        DiffCase{"NamesFromCodeZero", "/A /B", {{0, "A"}, {1, "B"}}},
        DiffCase{"UnresolvedNameTakesItsCode", "65 /g12 /B", {{66, "B"}}},
        DiffCase{"FirstNameOfACodeStays", "65 /A 65 /B", {{65, "A"}}},
        DiffCase{"CodesAbove255", "300 /eacute", {{300, "\xC3\xA9"}}},
        DiffCase{"NoSpaces", "65/A/B[/C]", {{65, "A"}, {66, "B"}, {67, "C"}}},
        DiffCase{"EmptyNameAdvances", "1 / /A", {{2, "A"}}},
        DiffCase{"UnencodableAdvances", "10 /u110000 /A", {{11, "A"}}},
        DiffCase{"SignIsPassedOver", "-5 /A", {{5, "A"}}},
        DiffCase{"DelimitersEndNames", "/A%x /B(y)/C", {{0, "A"}, {1, "B"}, {2, "C"}}},
        DiffCase{"ZeroByteEndsAName", std::string("/A\0B /C", 7), {{0, "A"}, {1, "C"}}},
        DiffCase{"HugeNumberSaturates", "99999999999 /A /B 4294967296 /C", {{0xFFFFFFFF, "A"}}},
        DiffCase{"LargestCode", "4294967294 /A /B /C", {{0xFFFFFFFE, "A"}, {0xFFFFFFFF, "B"}}},
        DiffCase{"LongNameWithSuffix", "7 /a." + std::string(100, 'x'), {{7, "a"}}},
        // Ligatures read as their letters, whether named whole or by their parts.
        DiffCase{"Ligatures", "1 /fi /f_f_i /T_h /f_g12", {{1, "fi"}, {2, "ffi"}, {3, "Th"}}},
        DiffCase{"Nothing", "", {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DifferencesExisting, AnEarlierMappingOfTheCodeStays)
{
    pdf_font f;
    pf_set_char(f, 65, "Z");
    parse_differences(f, "65 /A /B");
    const std::vector<std::pair<std::uint32_t, std::string>> want{{65, "Z"}, {66, "B"}};
    EXPECT_EQ(chars_of(f), want);
}

// ---- decoding ----------------------------------------------------------------------

struct DecodeCase {
    const char* name;
    std::function<void(pdf_font&)> setup;   // null: no font
    std::string input;
    std::size_t cap;
    std::string text;
};
class Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, FitsTheBuffer)
{
    const DecodeCase& c = GetParam();
    pdf_font f;
    if (c.setup) {
        c.setup(f);
        pf_finalize(&f);
    }
    EXPECT_EQ(decode(c.setup ? &f : nullptr, hx(c.input), c.cap), c.text);
}

const std::string kEuro = "\xE2\x82\xAC";

void two_byte_a(pdf_font& f)
{
    f.code_bytes = 2;
    pf_set_char(f, 0x41, "A");
}

INSTANTIATE_TEST_SUITE_P(
    Strings, Decode,
    ::testing::Values(
        DecodeCase{"Latin1", nullptr, "43 61 66 E9", 1024, "Caf\xC3\xA9"},
        DecodeCase{"ControlsKept", nullptr, "01 41 00 7F", 1024, "\x01" "A\x7F"},
        DecodeCase{"HighLatin1", nullptr, "A0 FF", 1024, "\xC2\xA0\xC3\xBF"},
        DecodeCase{"Cap4IsEmpty", nullptr, "41 42", 4, ""},
        DecodeCase{"Cap5HoldsOneByte", nullptr, "41 42", 5, "A"},
        DecodeCase{"StopsWithFourBytesLeft", nullptr, "80 80 80", 8, kEuro + kEuro},
        DecodeCase{"WindowsQuotes", nullptr, "93 41 94 85", 1024, "\xE2\x80\x9C" "A\xE2\x80\x9D\xE2\x80\xA6"},
        DecodeCase{"FontWithoutMappings", [](pdf_font& f) { f.code_bytes = 2; }, "00 41 00 42", 1024, "AB"},
        DecodeCase{"OneByteFallbacks", [](pdf_font& f) { pf_set_char(f, 0x41, "X"); }, "41 42 E9 0A 80", 1024,
                   "XB"},
        DecodeCase{"TwoByteUnmappedGivesNothing",
                   two_byte_a, "00 41 00 42", 1024, "A"},
        DecodeCase{"TwoByteLoneLastByte", two_byte_a, "00 41 41", 1024, "AA"},
        DecodeCase{"BaseRange", [](pdf_font& f) { pf_add_range(f, 1, 3, 0x41, nullptr); }, "01 02 03", 1024,
                   "ABC"},
        DecodeCase{"SingleMappingsBeforeRanges",
                   [](pdf_font& f) {
                       pf_add_range(f, 1, 3, 0x41, nullptr);
                       pf_set_char(f, 2, "z");
                   }, "01 02 03",
                   1024, "AzC"},
        DecodeCase{"TextsThatDoNotFitAreLeftOut",
                   [](pdf_font& f) {
                       for (std::uint32_t c = 0x41; c <= 0x43; ++c) pf_set_char(f, c, "\xE2\x82\xAC");
                       pf_set_char(f, 0x45, "Z");
                   },
                   "41 42 43 45 4B", 8, kEuro + kEuro + "K"},
        DecodeCase{"MappedEmptyString", [](pdf_font& f) { pf_set_char(f, 0x41, "X"); }, "", 1024, ""},
        DecodeCase{"EmptyBlockStillMapped",
                   [](pdf_font& f) { pf_add_range(f, 0x41, 0x45, 0, std::make_unique<char[]>(16), 0); }, "41 E9",
                   1024, "A"},
        DecodeCase{"MappedCap1", [](pdf_font& f) { pf_set_char(f, 0x41, "X"); }, "41 42", 1, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(DecodeBytewise, WindowsCodePageForC1Bytes)
{
    const std::uint32_t want[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    for (int b = 0x80; b <= 0x9F; ++b) {
        SCOPED_TRACE(b);
        char expect[8] = {};
        const std::size_t n = cm_utf8(expect, 0, sizeof expect, want[b - 0x80]);
        expect[n] = '\0';
        EXPECT_EQ(decode(nullptr, {static_cast<std::uint8_t>(b), 0x41}), std::string(expect) + "A");
    }
}

TEST(DecodeBytewise, LongStringStopsWithFourBytesLeft)
{
    const std::vector<std::uint8_t> bytes(2000, 'a');
    EXPECT_EQ(decode(nullptr, bytes), std::string(1020, 'a'));
    const std::vector<std::uint8_t> high(2000, 0xE9);   // two bytes each
    EXPECT_EQ(decode(nullptr, high).size(), 1020u);
}

TEST(DecodeBytewise, ZeroCapacityWritesNothing)
{
    char out[2] = {'Q', 'Q'};
    const std::uint8_t bytes[] = {0x41};
    EXPECT_EQ(pf_decode(nullptr, bytes, 1, out, 0), 0u);
    pdf_font f;
    pf_set_char(f, 0x41, "X");
    EXPECT_EQ(pf_decode(&f, bytes, 1, out, 0), 0u);
    EXPECT_EQ(out[0], 'Q');
}

// ---- codes of several lengths ------------------------------------------------------

TEST(NextCode, SplitsByTheCodeSpace)
{
    // The code space of Shift JIS: one byte 00-80 and A0-DF, two bytes 81-9F or
    // E0-FC followed by 40-FC.
    pdf_font font;
    auto range = [](std::uint8_t n, std::array<std::uint8_t, 2> lo, std::array<std::uint8_t, 2> hi) {
        pf_codespace cs;
        cs.nbytes = n;
        cs.lo[0] = lo[0];
        cs.lo[1] = lo[1];
        cs.hi[0] = hi[0];
        cs.hi[1] = hi[1];
        return cs;
    };
    font.codespace = {range(1, {0x00}, {0x80}), range(2, {0x81, 0x40}, {0x9F, 0xFC}), range(1, {0xA0}, {0xDF}),
                      range(2, {0xE0, 0x40}, {0xFC, 0xFC})};
    struct next_case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::vector<pf_code> codes;
    };
    const std::vector<next_case> cases = {
        {"Mixed", hx("41 93FA B1 E040"), {{0x41, 1}, {0x93FA, 2}, {0xB1, 1}, {0xE040, 2}}},
        // A lead byte with a trail outside the space still takes two bytes, so the
        // rest of the string is not shifted.
        {"BadTrail", hx("9320 41"), {{0x9320, 2}, {0x41, 1}}},
        {"LoneLeadAtEnd", hx("41 93"), {{0x41, 1}, {0x93, 1}}},
        {"OutsideEverySpace", hx("FD 41"), {{0xFD, 1}, {0x41, 1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<pf_code> got;
        for (std::size_t pos = 0; pos < c.bytes.size();) {
            const pf_code code = pf_next_code(&font, c.bytes.data(), c.bytes.size(), pos);
            got.push_back(code);
            pos += code.len;
        }
        ASSERT_EQ(got.size(), c.codes.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].code, c.codes[i].code) << i;
            EXPECT_EQ(got[i].len, c.codes[i].len) << i;
        }
    }
}

}  // namespace
}  // namespace tavrik
