// STUB: replaced by cross-reference reading.
#include "pdf_parse.h"
namespace tavrik {
std::int64_t find_startxref(const ppdf_ctx&) noexcept { return -1; }
void read_xref_chain(ppdf_ctx&, std::int64_t) {}
void parse_xref_stream(ppdf_ctx&, std::int64_t) {}
void unpack_object_streams(ppdf_ctx&) {}
}
