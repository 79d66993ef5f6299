// The content-stream scanner on arbitrary bytes: once without fonts (byte-wise
// decoding) and once with a small table of one- and two-byte fonts.
#include <cstdint>
#include <cstring>
#include <memory>

#include "pdf_parse.h"

namespace {

using namespace tavrik;

struct fuzz_fonts {
    font_map map;
    fuzz_fonts()
    {
        pdf_font* f1 = fm_add(map, "F1");
        pf_set_char(*f1, 'A', "\xE2\x80\x83");   // an em space, normalised on output
        pf_set_char(*f1, 'B', "\xC2\xA0");
        pf_set_char(*f1, 'C', "\x01");
        auto block = std::make_unique<char[]>(3 * MAP_TEXT_BYTES);
        std::memset(block.get(), 0, 3 * MAP_TEXT_BYTES);
        std::memcpy(block.get(), "xy", 2);
        pf_add_range(*f1, 0x80, 0x82, 0, std::move(block));
        pf_finalize(f1);
        pdf_font* f2 = fm_add(map, "F2");
        f2->code_bytes = 2;
        pf_add_range(*f2, 0x0020, 0x007E, 0x20, nullptr);
        pf_set_char(*f2, 0x2000, "\xEF\xBB\xBF");
        pf_finalize(f2);
        static_cast<void>(fm_add(map, "F3"));   // no mappings: byte-wise
    }
    ~fuzz_fonts() { fm_free(map); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static fuzz_fonts fonts;
    static const auto info = std::make_unique<ppdf_info>();
    const byte_view bytes(data, size);

    std::memset(info.get(), 0, sizeof(ppdf_info));
    scan_state plain;
    content_scan(bytes, *info, plain);

    std::memset(info.get(), 0, sizeof(ppdf_info));
    scan_state with_fonts;
    with_fonts.fonts = &fonts.map;
    content_scan(bytes, *info, with_fonts);
    return 0;
}
