// The interface's state and the suggest flow.
#include "naming.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace tavrik {

char g_last_error[ERROR_BUF_BYTES] = "no error";
char g_suggest_buf[SUGGEST_BUF_BYTES] = "";

void set_error(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    // vsnprintf cuts at the capacity and always terminates.
    std::vsnprintf(g_last_error, sizeof g_last_error, format, args);
    va_end(args);
}

bool ends_with_pdf(const char* s) noexcept
{
    const std::size_t n = std::strlen(s);
    if (n < 4)
        return false;
    const char* t = s + n - 4;
    return t[0] == '.' && (t[1] | 0x20) == 'p' && (t[2] | 0x20) == 'd' && (t[3] | 0x20) == 'f';
}

const char* suggest_flow(const char* input_path, int strategy)
{
    g_suggest_buf[0] = '\0';
    set_error("no error");
    if (input_path == nullptr || input_path[0] == '\0') {
        set_error("input_path is NULL or empty");
        return g_suggest_buf;
    }
    if (static_cast<unsigned>(strategy) > 2) {
        set_error("invalid strategy %d (0=title, 1=first-line, 2=date+title)", strategy);
        return g_suggest_buf;
    }
    // The summary is about 210 KiB: too large for a host thread's stack, and fresh
    // pages for it on every call would cost more than reading a small file. Nor is
    // it zeroed: every parse clears what it reads (clear_summary), and zeroing the
    // 200 lines cost a one-file run more than some of its fonts.
    thread_local const std::unique_ptr<ppdf_info> info = std::make_unique_for_overwrite<ppdf_info>();
    if (!ppdf_parse(input_path, *info, need_for(strategy))) {
        set_error("failed to parse PDF: %s (not a PDF or unreadable)", input_path);
        return g_suggest_buf;
    }
    if (info->encrypted) {
        set_error("PDF is encrypted; cannot read content: %s", input_path);
        return g_suggest_buf;
    }
    const char* stem = suggest_stem(*info, strategy);
    if (stem[0] == '\0')
        return g_suggest_buf;
    const char* clean = sanitize_name(stem);
    if (clean[0] == '\0') {
        set_error("suggested name is empty after sanitization");
        return g_suggest_buf;
    }
    std::snprintf(g_suggest_buf, sizeof g_suggest_buf, ends_with_pdf(clean) ? "%s" : "%s.pdf", clean);
    return g_suggest_buf;
}

}  // namespace tavrik
