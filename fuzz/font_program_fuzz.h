// What the font-program fuzz targets share: decoding strings through a font that
// uses a program, as a simple font and as a composite one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fonts/font_internal.h"

namespace tavrik_fuzz {

inline void decode_through(const std::shared_ptr<const tavrik::font_program>& prog, const std::uint8_t* data,
                           std::size_t size)
{
    if (!prog) return;
    char out[64];
    const std::size_t n = size < 48 ? size : 48;
    const std::uint8_t probe[] = {0x00, 0x01, 0x41, 0x61, 0x80, 0xAE, 0xFF, 0x20};

    tavrik::pdf_font simple;
    if (prog->has_builtin) {
        simple.simple_cps = std::make_unique<tavrik::simple_encoding>(prog->builtin);
        simple.has_map = 1;
    }
    tavrik::pf_finalize(&simple);
    (void)tavrik::pf_decode(&simple, data, n, out, sizeof out);
    (void)tavrik::pf_decode(&simple, probe, sizeof probe, out, sizeof out);

    tavrik::pdf_font composite;
    composite.code_bytes = 2;
    composite.codes = tavrik::pf_codes::cid_identity;
    composite.program = prog;
    composite.has_map = 1;
    tavrik::pf_finalize(&composite);
    (void)tavrik::pf_decode(&composite, data, n, out, sizeof out);
    (void)tavrik::pf_decode(&composite, probe, sizeof probe, out, 9);
}

}  // namespace tavrik_fuzz
