// Font dictionaries with Widths, FontMatrix, Encoding Differences, or W and DW: the
// input is a document's bytes whose first value is the dictionary, its objects found
// by the repair scan. It loads as a font, then again as the descendant of an
// Identity-H composite font, and advances are looked up across the code range.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pdf_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    tavrik::ppdf_info info{};
    tavrik::ppdf_ctx ctx;
    ctx.buf.assign(data, data + size);
    ctx.len = size;
    ctx.buf.push_back(0);
    ctx.file_len = size;
    ctx.info = &info;
    ctx.xref.reset();
    tavrik::repair_scan(ctx);

    std::int64_t dict = 0;
    if (!tavrik::resolve_dict(ctx, 0, dict)) return 0;
    tavrik::pdf_font font;
    tavrik::font_load(ctx, font, dict);
    for (std::uint32_t code = 0; code < 0x300; ++code) (void)tavrik::pf_advance(&font, code);
    (void)tavrik::pf_width_bytes(font);

    tavrik::pdf_font composite;
    composite.code_bytes = 2;
    composite.codes = tavrik::pf_codes::cid_identity;
    tavrik::font_load_widths(ctx, composite, dict, true, dict);
    for (std::uint32_t cid = 0; cid <= 0x10000; cid += 61) (void)tavrik::pf_advance(&composite, cid);
    (void)tavrik::pf_advance(&composite, 0xFFFFFFFF);
    tavrik::fm_free(ctx.fonts);
    return 0;
}
