// STUB: replaced by the page walk.
#include "pdf_parse.h"
namespace tavrik {
void ctx_do_pages_node(ppdf_ctx&, std::int64_t, int) {}
void ctx_do_page(ppdf_ctx& ctx, std::int64_t) { ++ctx.page_count; }
void ctx_load_resources(ppdf_ctx&, std::int64_t) {}
void ctx_extract_content(ppdf_ctx&, std::int64_t) {}
}
