// Journal lines: whatever parses writes back to a line that reads as the same
// record, and every path written comes back as the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto r = tavrik::parse_move_record(text)) {
        const std::string line = tavrik::format_move_record(*r);
        const auto again = tavrik::parse_move_record(std::string_view(line).substr(0, line.size() - 1));
        if (!again || again->old_path != r->old_path || again->new_path != r->new_path || !(again->stamp == r->stamp))
            std::abort();
    }
    // The input as a path.
    tavrik::move_record r;
    r.old_path = std::string(text);
    r.new_path = "x";
    if (r.old_path.empty())
        return 0;
    const std::string line = tavrik::format_move_record(r);
    if (line.find('\n') != line.size() - 1)
        std::abort();
    const auto back = tavrik::parse_move_record(std::string_view(line).substr(0, line.size() - 1));
    if (!back || back->old_path != r.old_path)
        std::abort();
    return 0;
}
