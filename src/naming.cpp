// STUB: replaced by stem building.
#include "naming.h"
namespace tavrik {
const char* suggest_stem(const ppdf_info&, int strategy) noexcept
{
    static const char* const msgs[] = {"PDF has no title metadata and no extractable text",
                                       "no extractable text in PDF", "PDF has neither date nor title"};
    set_error("%s", msgs[strategy]);
    return "";
}
const char* pick_title_line(const ppdf_info&) noexcept { return ""; }
int parse_pdf_date(const char*, char*) noexcept { return 0; }
const char* sanitize_name(const char* stem) noexcept { return stem; }
}
