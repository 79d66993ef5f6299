// STUB: replaced by stream decoding.
#include "pdf_parse.h"
namespace tavrik {
std::optional<std::vector<std::uint8_t>> stream_decode(ppdf_ctx&, std::int64_t) { return std::nullopt; }
}
