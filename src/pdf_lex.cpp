// STUB: replaced by the lexical layer.
#include "pdf_parse.h"
namespace tavrik {
bool ieq(std::string_view a, std::string_view b) noexcept { return a == b; }
double c_strtod(std::string_view) noexcept { return 0; }
std::int64_t rd_skip_ws(byte_view, std::int64_t pos) noexcept { return pos; }
int rd_name(byte_view, std::int64_t, char*, std::size_t, std::int64_t*) noexcept { return -1; }
bool rd_number(byte_view, std::int64_t&, double&) noexcept { return false; }
bool rd_ref(byte_view, std::int64_t&, std::int64_t&) noexcept { return false; }
int rd_string(byte_view, std::int64_t&, char*, std::size_t) noexcept { return -1; }
int rd_raw_literal(byte_view, std::int64_t&, std::uint8_t*) noexcept { return -1; }
int rd_raw_hex(byte_view, std::int64_t&, std::uint8_t*) noexcept { return -1; }
void rd_skip_value(byte_view d, std::int64_t& pos) noexcept { pos = static_cast<std::int64_t>(d.size()); }
int dict_start(byte_view, std::int64_t) noexcept { return 0; }
std::int64_t dict_end(byte_view, std::int64_t pos) noexcept { return pos + 1; }
void rd_dict(byte_view, std::int64_t&, dict_key_fn, void*) {}
bool dict_find(byte_view, std::int64_t, std::string_view, std::int64_t&) noexcept { return false; }
std::size_t utf8_emit(char*, std::size_t len, std::size_t, std::uint32_t) noexcept { return len; }
}
