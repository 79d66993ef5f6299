// The whole reader on a PDF's bytes, then the name stems of all three strategies.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "naming.h"
#include "pdf_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto info = std::make_unique<tavrik::ppdf_info>();
    if (!tavrik::ppdf_parse_bytes(std::vector<std::uint8_t>(data, data + size), *info))
        return 0;
    for (int strategy = 0; strategy <= 2; ++strategy) {
        const char* stem = tavrik::suggest_stem(*info, strategy);
        if (stem[0] != '\0')
            (void)tavrik::sanitize_name(stem);
    }
    return 0;
}
