// STUB: replaced by font dictionary loading.
#include "pdf_parse.h"
namespace tavrik {
void fontdict_cb(std::string_view, std::int64_t, void*) {}
void font_load_encoding(ppdf_ctx&, pdf_font&, std::int64_t) {}
}
