// STUB: replaced by the POSIX platform layer.
#include "platform.h"
#include <cstdio>
namespace tavrik::platform {
mkdir_status make_dir(const char*) noexcept { return mkdir_status::failed; }
bool path_exists(const char*) noexcept { return false; }
move_status rename_noreplace(const char*, const char*) noexcept { return move_status::failed; }
bool copy_new_file(const char*, const char*) noexcept { return false; }
bool remove_file(const char*) noexcept { return false; }
std::optional<file_id> file_identity(const char*) noexcept { return std::nullopt; }
std::optional<std::vector<dir_entry>> list_pdf_entries(const char*) { return std::nullopt; }
std::optional<std::vector<std::uint8_t>> read_file(const char* path, std::uint64_t max_bytes)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return std::nullopt;
    std::vector<std::uint8_t> buf;
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        buf.insert(buf.end(), chunk, chunk + n);
        if (buf.size() > max_bytes) { std::fclose(f); return std::nullopt; }
    }
    std::fclose(f);
    if (buf.empty()) return std::nullopt;
    return buf;
}
}
