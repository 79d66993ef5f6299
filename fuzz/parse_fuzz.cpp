// The whole reader on a PDF's bytes, then the name stems of all three strategies;
// reading only what a strategy needs, and by title only the parts of the file the
// lookups reach, must give the same stem.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "naming.h"
#include "pdf_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> bytes(data, data + size);
    auto info = std::make_unique<tavrik::ppdf_info>();
    auto part = std::make_unique<tavrik::ppdf_info>();
    if (!tavrik::ppdf_parse_bytes(bytes, *info))
        return 0;
    for (int strategy = 0; strategy <= 2; ++strategy) {
        const std::string stem = tavrik::suggest_stem(*info, strategy);
        if (!stem.empty())
            (void)tavrik::sanitize_name(stem.c_str());
        // An encrypted document gets no name, whatever its stem. By title the bytes are
        // read in parts, from a tail whose size the input picks, as a file would be.
        const std::uint64_t tail = size == 0 ? 0 : 1 + (std::uint64_t{data[size - 1]} * 64 % size);
        if (!tavrik::ppdf_parse_bytes(bytes, *part, tavrik::need_for(strategy), nullptr, tail) ||
            part->encrypted != info->encrypted ||
            (info->encrypted == 0 && stem != tavrik::suggest_stem(*part, strategy)))
            std::abort();
    }
    return 0;
}
