// Turning a document summary into a file-name stem, and the interface's buffers.
#pragma once

#include <cstddef>
#include <cstdarg>

#include "pdf_parse.h"

namespace tavrik {

inline constexpr std::size_t ERROR_BUF_BYTES = 1024;     // 1023 text bytes and NUL
inline constexpr std::size_t SUGGEST_BUF_BYTES = 4700;   // 4699 text bytes and NUL
inline constexpr std::size_t STEM_MAX_BYTES = 200;
inline constexpr std::size_t STEM_BUF_BYTES = 512;
inline constexpr int DATE_TITLE_MAX_BYTES = 478;

// The interface's two static buffers (interface.cpp).
extern char g_last_error[ERROR_BUF_BYTES];
extern char g_suggest_buf[SUGGEST_BUF_BYTES];

// printf-style message into g_last_error, cut at 1023 bytes.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void set_error(const char* format, ...) noexcept;

// Stems (naming.cpp). Results live in static buffers until the next call.
[[nodiscard]] const char* suggest_stem(const ppdf_info& info, int strategy) noexcept;
[[nodiscard]] const char* pick_title_line(const ppdf_info& info) noexcept;
[[nodiscard]] int parse_pdf_date(const char* text, char* out /* 32 bytes */) noexcept;
[[nodiscard]] const char* sanitize_name(const char* stem) noexcept;
// What suggest_stem looks at for a strategy, for the reader to read no more.
[[nodiscard]] constexpr ppdf_need need_for(int strategy) noexcept
{
    return strategy == 1 ? ppdf_need::first_line : ppdf_need::title_else_lines;
}

// True when s is at least 4 bytes and ends in ".pdf" in any letter case.
[[nodiscard]] bool ends_with_pdf(const char* s) noexcept;

// The suggest flow: fills g_suggest_buf or leaves it empty with a message.
const char* suggest_flow(const char* input_path, int strategy);
int rename_flow(const char* input_path, int strategy, const char* output_dir);
int batch_flow(const char* input_dir, const char* output_dir, int strategy);

}  // namespace tavrik
