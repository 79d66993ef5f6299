// STUB: replaced by object access.
#include "pdf_parse.h"
namespace tavrik {
bool ctx_obj_dict(const ppdf_ctx&, std::int64_t, std::int64_t&) noexcept { return false; }
bool resolve_dict(const ppdf_ctx&, std::int64_t, std::int64_t&) noexcept { return false; }
std::int64_t catalog_pages(const ppdf_ctx&, std::int64_t) { return -1; }
void repair_scan(ppdf_ctx&) {}
void read_doc_info(ppdf_ctx&, std::int64_t) {}
}
