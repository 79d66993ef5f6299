// Embedded CFF programs: charset, encoding and the names they give glyphs; then strings decoded through fonts that use the program.
#include <cstddef>
#include <cstdint>

#include "font_program_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto prog = tavrik::read_cff_program({data, size});
    tavrik_fuzz::decode_through(prog, data, size);
    return 0;
}
