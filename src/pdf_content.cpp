// STUB: replaced by the content scanner.
#include "pdf_parse.h"
namespace tavrik {
void content_scan(byte_view, ppdf_info&, scan_state&) {}
int nums_before(byte_view, std::int64_t, double*, int) noexcept { return 0; }
void emit_line(ppdf_info&, const char*, double) {}
}
