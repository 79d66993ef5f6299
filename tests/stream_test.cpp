// Stream decoding: locating the data, the filter chain, predictors, and inflation
// capacity. Each case is a stream object from its "<<" to past "endstream".
#include "pdf_parse.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#ifdef TAVRIK_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

using namespace tavrik;

std::optional<std::string> decode(const std::string& object, std::int64_t dict_pos = 0)
{
    ppdf_ctx ctx;
    ctx.buf.assign(object.begin(), object.end());
    ctx.buf.push_back(0);
    ctx.len = object.size();
    const auto out = stream_decode(ctx, dict_pos);
    if (!out) return std::nullopt;
    return std::string(out->begin(), out->end());
}

// zlib framing around stored DEFLATE blocks: valid input without a compressor.
std::string zlib_stored(const std::string& data, bool header = true)
{
    std::string z = header ? std::string("\x78\x01", 2) : std::string();
    std::size_t pos = 0;
    do {
        const std::size_t len = std::min<std::size_t>(data.size() - pos, 65535);
        const bool last = pos + len == data.size();
        z += static_cast<char>(last ? 1 : 0);
        z += static_cast<char>(len & 0xFF);
        z += static_cast<char>(len >> 8);
        z += static_cast<char>(~len & 0xFF);
        z += static_cast<char>((~len >> 8) & 0xFF);
        z += data.substr(pos, len);
        pos += len;
    } while (pos < data.size());
    return z + std::string(4, '\0');   // the checksum is not verified
}

std::string hex_of(const std::string& data)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : data) {
        const auto c = static_cast<unsigned char>(ch);
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out + ">";
}

std::string ascii85_of(const std::string& data)
{
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 4) {
        const std::size_t k = std::min<std::size_t>(4, data.size() - i);
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 4; ++j)
            v = v << 8 | (j < k ? static_cast<unsigned char>(data[i + j]) : 0u);
        char g[5];
        for (int j = 4; j >= 0; --j) {
            g[j] = static_cast<char>('!' + v % 85);
            v /= 85;
        }
        out.append(g, k + 1);
    }
    return out + "~>";
}

// Rows of `width` bytes, each prefixed with PNG filter type `type` (1 to 4) encoded
// against `pixel` bytes per pixel.
std::string png_encode(const std::string& data, std::size_t width, std::size_t pixel, int type)
{
    std::string out;
    std::string prev(width, '\0');
    for (std::size_t r = 0; r * width < data.size(); ++r) {
        const std::string row = data.substr(r * width, width);
        out += static_cast<char>(type);
        for (std::size_t x = 0; x < width; ++x) {
            const int a = x >= pixel ? static_cast<unsigned char>(row[x - pixel]) : 0;
            const int b = static_cast<unsigned char>(prev[x]);
            const int c = x >= pixel ? static_cast<unsigned char>(prev[x - pixel]) : 0;
            int pred = 0;
            if (type == 1) pred = a;
            if (type == 2) pred = b;
            if (type == 3) pred = (a + b) / 2;
            if (type == 4) {
                const int p = a + b - c;
                const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            }
            out += static_cast<char>(static_cast<unsigned char>(row[x]) - pred);
        }
        prev = row;
    }
    return out;
}

std::string stream(const std::string& dict, const std::string& data, const std::string& eol = "\n")
{
    return dict + "\nstream" + eol + data + "\nendstream\nendobj\n";
}

struct StreamCase {
    const char* name;
    std::string object;
    std::optional<std::string> want;
};

class StreamDecode : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamDecode, GivesTheDecodedBytes)
{
    const auto& c = GetParam();
    const auto got = decode(c.object);
    ASSERT_EQ(got.has_value(), c.want.has_value());
    if (got) {
        EXPECT_EQ(*got, *c.want);
    }
}

const std::string hello = "Hello";

INSTANTIATE_TEST_SUITE_P(Locate, StreamDecode, ::testing::Values(
    StreamCase{"LengthRight", "<< /Length 5 >>\nstream\nHello\nendstream", "Hello"},
    StreamCase{"LengthKeepsEndOfLineData", "<< /Length 6 >>\nstream\nHello\n\nendstream", "Hello\n"},
    StreamCase{"LengthTooShort", "<< /Length 3 >>\nstream\nHello\nendstream", "Hello"},
    StreamCase{"LengthAsReference", "<< /Length 12 0 R >>\nstream\r\nHello\r\nendstream", "Hello"},
    StreamCase{"LengthTooLarge", "<< /Length 500 >>\nstream\nHello\nendstream", "Hello"},
    StreamCase{"LengthHuge", "<< /Length 9e18 >>\nstream\nHello\nendstream", "Hello"},
    StreamCase{"LengthNegative", "<< /Length -4 >>\nstream\nHello\rendstream", "Hello"},
    StreamCase{"LoneCrAfterStream", "<< /Length 5 >>stream\rHello endstream", "Hello"},
    StreamCase{"SpaceAfterStream", "<< >>stream Hello\nendstream", " Hello"},
    StreamCase{"SearchKeepsSecondLf", "<< >>stream\nHello\n\nendstream", "Hello\n"},
    StreamCase{"EmptyData", "<< /Length 0 >>stream\nendstream", ""},
    StreamCase{"EndstreamRightAfterKeyword", "<< >>streamendstream", ""},
    StreamCase{"CommentBeforeStream", "<< /Length 5 >> % note\nstream\nHello\nendstream", "Hello"},
    StreamCase{"NoEndstream", "<< /Length 50 >>stream\nHello", std::nullopt},
    StreamCase{"DamagedEndstreamLengthHolds", "<< /Length 6 >>stream\nHello\n\nenxstream", "Hello\n"},
    StreamCase{"EndstreamCutShort", "<< >>stream\nHello\nendstrea", std::nullopt},
    StreamCase{"NoStreamKeyword", "<< /Length 5 >> Hello endstream", std::nullopt},
    StreamCase{"NotADictionary", "stream\nHello\nendstream", std::nullopt},
    StreamCase{"NestedLengthIsAKeyToo", "<< /Length 5 /X << /Length 2 >> >>\nstream\nHello\nendstream", "Hello"}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(Filters, StreamDecode, ::testing::Values(
    StreamCase{"Flate", stream("<< /Filter /FlateDecode >>", zlib_stored(hello)), hello},
    StreamCase{"LowerCaseNames", stream("<< /filter /flatedecode /length 17 >>", zlib_stored(hello)), hello},
    StreamCase{"FlateWithoutZlibHeader", stream("<< /Filter /FlateDecode >>", zlib_stored(hello, false)), hello},
    StreamCase{"ImplicitZlibHeader", stream("<< >>", zlib_stored(hello)), hello},
    StreamCase{"ImplicitHeaderBadData", stream("<< >>", std::string("\x78\x9C\xFF\xFF\xFF", 5)), std::nullopt},
    StreamCase{"NoHeaderNoFilterCopies", stream("<< >>", "\x78\x9D" "ab"), "\x78\x9D" "ab"},
    StreamCase{"EmptyFlate", "<< /Filter /FlateDecode /Length 0 >>stream\nendstream", std::nullopt},
    StreamCase{"FlateHeaderOnly", stream("<< /Filter /FlateDecode >>", "\x78\x01"), std::nullopt},
    // A stored block of "Hello" whose final block never comes, as some writers leave it.
    StreamCase{"FlateWithoutFinalBlock", stream("<< /Filter /FlateDecode >>", std::string("\x78\x01\x00\x05\x00\xFA\xFF", 7) +
                                                "Hello"), hello},
    StreamCase{"FilterInArray", stream("<< /Filter [ /FlateDecode ] >>", zlib_stored(hello)), hello},
    StreamCase{"FilterAsReferenceSniffs", stream("<< /Filter 7 0 R >>", zlib_stored(hello)), hello},
    StreamCase{"FilterDictionaryForm", stream("<< /Filter << /F /FlateDecode >> >>", zlib_stored(hello)), hello},
    StreamCase{"LzwCopiesRawBytes", stream("<< /Filter /LZWDecode >>", "\x80\x0B\x60"), "\x80\x0B\x60"},
    StreamCase{"DctCopiesEvenWithZlibHeader", stream("<< /Filter /DCTDecode >>", zlib_stored(hello)), zlib_stored(hello)},
    StreamCase{"AsciiHex", stream("<< /Filter /ASCIIHexDecode >>", "48 65 6C 6c 6F>"), hello},
    StreamCase{"AsciiHexOddDigit", stream("<< /Filter /ASCIIHexDecode >>", "414>"), "A"},
    StreamCase{"AsciiHexInvalidByte", stream("<< /Filter /ASCIIHexDecode >>", "41G42"), "A"},
    StreamCase{"AsciiHexNoEnd", stream("<< /Filter /ASCIIHexDecode >>", "4142"), "AB"},
    StreamCase{"Ascii85Group", stream("<< /Filter /ASCII85Decode >>", "9jqo^"), "Man "},
    StreamCase{"Ascii85PartialGroup", stream("<< /Filter /ASCII85Decode >>", "9jqo~>"), "Man"},
    StreamCase{"Ascii85Z", stream("<< /Filter /ASCII85Decode >>", "z"), std::string(4, '\0')},
    StreamCase{"Ascii85ZInsideGroupIgnored", stream("<< /Filter /ASCII85Decode >>", "9jzqo^"), "Man "},
    StreamCase{"Ascii85SingleDigit", stream("<< /Filter /ASCII85Decode >>", "9~>"), ""},
    StreamCase{"Ascii85SpacesAndJunk", stream("<< /Filter /ASCII85Decode >>", "9j\x01q o\n^"), "Man "},
    StreamCase{"Ascii85ManyZ", stream("<< /Filter /ASCII85Decode >>", std::string(10, 'z') + "~>"),
               std::string(40, '\0')}),
    [](const auto& p) { return std::string(p.param.name); });

const std::string rows8 = "ABCDEFGH";   // two rows of four columns

INSTANTIATE_TEST_SUITE_P(Predictors, StreamDecode, ::testing::Values(
    StreamCase{"Png12Columns4", stream("<< /DecodeParms << /Predictor 12 /Columns 4 >> >>",
                                       png_encode(rows8, 4, 1, 2)), rows8},
    StreamCase{"PngTrailingByteDropped", stream("<< /DecodeParms << /Predictor 12 /Columns 4 >> /Length 11 >>",
                                                png_encode(rows8, 4, 1, 2) + "Z"), rows8},
    StreamCase{"PngAfterFlate", stream("<< /Filter /FlateDecode /DecodeParms << /Predictor 12 /Columns 4 >> >>",
                                       zlib_stored(png_encode(rows8, 4, 1, 2))), rows8},
    StreamCase{"PngShortOfOneRow", stream("<< /DP << /Predictor 12 /Columns 8 >> /Length 4 >>", "\x02" "abc"), ""},
    StreamCase{"PngHugeColumns", stream("<< /DP << /Predictor 12 /Columns 2147483647 /Colors 2147483647 "
                                        "/BitsPerComponent 2147483647 >> /Length 4 >>", "\x02" "abc"), ""},
    StreamCase{"PngBadParmsDefault", stream("<< /DP << /Predictor 12 /Columns -3 /Colors 0 >> /Length 4 >>",
                                            "\x01\x01\x02\x03"), "\x01\x04"},
    StreamCase{"RowTypeSevenCopies", stream("<< /DP << /Predictor 15 /Columns 3 >> /Length 4 >>", "\x07" "abc"), "abc"},
    StreamCase{"Tiff8Bits", stream("<< /DP << /Predictor 2 /Columns 4 >> /Length 9 >>", "\x01\x01\x01\x01" "A\x01\xFF\x01" "d"),
               "\x01\x02\x03\x04" "ABAB" "d"},
    StreamCase{"Tiff8BitsThreeColors", stream("<< /DP << /Predictor 2 /Colors 3 /Columns 2 >> /Length 6 >>",
                                              "abc\x01\x02\x03"), "abcbdf"},
    StreamCase{"Tiff16Bits", stream("<< /DP << /Predictor 2 /BitsPerComponent 16 /Columns 2 >> /Length 4 >>",
                                    std::string("\x00\xFF\x00\x01", 4)), std::string("\x00\xFF\x01\x00", 4)},
    StreamCase{"Tiff4BitsUnchanged", stream("<< /DP << /Predictor 2 /BitsPerComponent 4 /Columns 4 >> /Length 2 >>",
                                            "\x11\x11"), "\x11\x11"},
    StreamCase{"ParmsByReferenceIgnored", stream("<< /DecodeParms 9 0 R /Length 5 >>", "\x02" "abcd"), "\x02" "abcd"}),
    [](const auto& p) { return std::string(p.param.name); });

// A chain is applied in order; the first filter this reader cannot undo ends it.
INSTANTIATE_TEST_SUITE_P(Chains, StreamDecode, ::testing::Values(
    StreamCase{"Ascii85ThenFlate", stream("<< /Filter [/ASCII85Decode /FlateDecode] >>", ascii85_of(zlib_stored(hello))),
               hello},
    StreamCase{"AbbreviatedNameStopsTheChain", stream("<< /Filter [/AHx /FlateDecode] >>", hex_of(zlib_stored(hello))),
               hex_of(zlib_stored(hello))},
    StreamCase{"FlateThenDct", stream("<< /Filter [/FlateDecode /DCTDecode] >>", zlib_stored("JFIF")), "JFIF"},
    StreamCase{"FlateTwice", stream("<< /Filter [/FlateDecode /FlateDecode] >>", zlib_stored(zlib_stored(hello))), hello},
    StreamCase{"FlateThenNonName", stream("<< /Filter [/FlateDecode null] >>", zlib_stored(hello)), hello},
    StreamCase{"LzwFirstStops", stream("<< /Filter [/LZWDecode /FlateDecode] >>", zlib_stored(hello)),
               zlib_stored(hello)},
    StreamCase{"BadFlateInChainFails", stream("<< /Filter [/ASCIIHexDecode /FlateDecode] >>", "78 9C FF FF>"),
               std::nullopt},
    StreamCase{"ParmsArrayPerFilter",
               stream("<< /Filter [/ASCIIHexDecode /FlateDecode] /DecodeParms [null << /Predictor 12 /Columns 4 >>] >>",
                      hex_of(zlib_stored(png_encode(rows8, 4, 1, 2)))), rows8},
    StreamCase{"ParmsArrayFirstFilter",
               stream("<< /Filter [/ASCIIHexDecode /FlateDecode] /DP [<< /Predictor 12 /Columns 4 >> null] >>",
                      hex_of(png_encode(zlib_stored(hello), 4, 1, 2))), hello},
    StreamCase{"SingleParmsAfterLastFlate",
               stream("<< /Filter [/FlateDecode /ASCIIHexDecode] /DecodeParms << /Predictor 12 /Columns 4 >> >>",
                      zlib_stored(png_encode("414243>!", 4, 1, 2))), "ABC"},
    StreamCase{"SingleParmsNoFlate",
               stream("<< /Filter [/ASCIIHexDecode] /DecodeParms << /Predictor 12 /Columns 4 >> >>",
                      hex_of(png_encode(rows8, 4, 1, 1))), rows8}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(StreamPredictor, EveryPngTypeRoundTrips)
{
    std::string image;
    for (int i = 0; i < 3 * 5 * 4; ++i) image += static_cast<char>((i * 37 + i / 7 * 91) & 0xFF);
    for (int type = 0; type <= 4; ++type) {
        SCOPED_TRACE(type);
        const std::string encoded = png_encode(image, 15, 3, type);
        const auto got = decode(stream("<< /DecodeParms << /Predictor 10 /Colors 3 /Columns 5 >> /Length " +
                                           std::to_string(encoded.size()) + " >>", encoded));
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, image);
    }
    // Sixteen-bit samples: two bytes per pixel reach back two bytes.
    const std::string wide = "\x01\x02\x03\x04\x05\x06\x07\x08";
    const std::string enc = png_encode(wide, 4, 2, 4);
    const auto got = decode(stream("<< /DP << /Predictor 12 /BitsPerComponent 16 /Columns 2 >> /Length 10 >>", enc));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, wide);
}

TEST(StreamDecodeFrom, ADictionaryInsideTheFile)
{
    const std::string file = "%PDF-1.4\n4 0 obj\n<< /Length 5 >>\nstream\nHello\nendstream\nendobj\n";
    EXPECT_EQ(decode(file, static_cast<std::int64_t>(file.find("<<"))), hello);
    EXPECT_EQ(decode(file, -1), std::nullopt);
    EXPECT_EQ(decode(file, static_cast<std::int64_t>(file.size())), std::nullopt);
}

#ifdef TAVRIK_HAVE_ZLIB
std::string zlib_compress(const std::string& data)
{
    uLongf len = compressBound(static_cast<uLong>(data.size()));
    std::string out(len, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(data.data()),
                        static_cast<uLong>(data.size()), 9),
              Z_OK);
    out.resize(len);
    return out;
}
#endif

// A cross-reference stream of a few KB that inflates more than sixteenfold must
// still decode: the output buffer doubles until the data fit.
TEST(StreamFlateCapacity, GrowsUntilTheDataFit)
{
#ifndef TAVRIK_HAVE_ZLIB
    GTEST_SKIP() << "needs zlib to compress the sample";
#else
    // Rows as a PNG-Up predicted cross-reference stream holds them: 39450 bytes.
    std::string rows;
    std::uint32_t x = 12345;
    for (int i = 0; i < 7890; ++i) {
        x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
        rows += '\x02';
        rows += '\0';
        rows += static_cast<char>((x >> 16) & 3);
        rows += static_cast<char>(i % 3 == 0 ? 1 : 0);
        rows += '\0';
    }
    const std::string z = zlib_compress(rows);
    // Twice the first capacity is not enough; only growing beyond it decodes this.
    ASSERT_GT(rows.size(), 2 * std::max<std::size_t>(8192, 4 * (z.size() - 2) + 256));
    const auto got = decode(stream("<< /Type /XRef /Filter /FlateDecode /Length " + std::to_string(z.size()) + " >>", z));
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, rows);

    // Damaged data give what came before the damage, without any retry.
    std::string broken = z;
    broken[broken.size() / 2] = static_cast<char>(broken[broken.size() / 2] ^ 0x55);
    broken.resize(broken.size() - 10);
    const auto partial = decode(stream("<< /Filter /FlateDecode >>", broken));
    ASSERT_TRUE(partial.has_value());
    ASSERT_LT(partial->size(), rows.size());
    ASSERT_GT(partial->size(), rows.size() / 4);
    EXPECT_TRUE(partial->compare(0, rows.size() / 4, rows, 0, rows.size() / 4) == 0);
#endif
}

}  // namespace
