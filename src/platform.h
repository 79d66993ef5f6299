// The platform layer: every operating-system call the library makes goes through
// this small interface (platform_posix.cpp, platform_win.cpp).
#pragma once

#include <compare>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "byte_buffer.h"

namespace tavrik::platform {

// The separator the library inserts between a directory and a name.
#if defined(_WIN32)
inline constexpr char PATH_SEP = '\\';
#else
inline constexpr char PATH_SEP = '/';
#endif

enum class mkdir_status { created, exists, failed };
// Creates one directory level; tells an existing entry (of any kind) apart.
[[nodiscard]] mkdir_status make_dir(const char* path) noexcept;

// True when any entry exists at path, a dangling symbolic link included.
[[nodiscard]] bool path_exists(const char* path) noexcept;

// cross_device: the rename cannot be done here (EXDEV, or ENOTEMPTY), and a copy
// followed by removing the source may be tried; failed: leave both paths alone
// (an existing destination is always this).
enum class move_status { moved, cross_device, failed };
// Renames without ever replacing an existing destination.
[[nodiscard]] move_status rename_noreplace(const char* from, const char* to) noexcept;

// Copies from to a new file at to (created exclusively, flushed to disk, with the
// source's permission bits and modification time where possible). On any failure
// removes the partial destination it created, and never touches one it did not
// create; returns true when the copy is complete.
[[nodiscard]] bool copy_new_file(const char* from, const char* to) noexcept;

[[nodiscard]] bool remove_file(const char* path) noexcept;

// Identity of the file at path (volume and index, or device and inode).
struct file_id {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend auto operator<=>(const file_id&, const file_id&) = default;   // == and an order for maps
};
[[nodiscard]] std::optional<file_id> file_identity(const char* path) noexcept;

// Entries of dir whose names end in ".pdf" in any letter case (a name of exactly
// ".pdf" included), in the listing's order, each with whether it is a directory.
// nullopt when the directory cannot be opened or read.
struct dir_entry {
    std::string name;
    bool is_dir = false;
};
[[nodiscard]] std::optional<std::vector<dir_entry>> list_pdf_entries(const char* dir);

// Whether a listed name ends in ".pdf" in any letter case. Each listing checks it
// itself: the system's patterns match more (on Windows, "*.pdf" matches the short
// name of "e.pdfx").
[[nodiscard]] inline bool is_pdf_name(const char* name) noexcept
{
    const std::size_t n = std::strlen(name);
    if (n < 4)
        return false;
    const char* t = name + n - 4;
    return t[0] == '.' && (t[1] | 0x20) == 'p' && (t[2] | 0x20) == 'd' && (t[3] | 0x20) == 'f';
}

// Fresh memory that is about to be filled costs a page fault per 4 KiB page,
// which takes far longer than the filling: a 100 MiB file reads many times faster
// into huge pages. Advises them for [data, data + len) where the system offers
// them and len is at least HUGE_PAGE_MIN_BYTES; only advice, nothing else changes.
inline constexpr std::size_t HUGE_PAGE_MIN_BYTES = std::size_t{4} << 20;
void advise_huge_pages(void* data, std::size_t len) noexcept;

// Reads the whole of a regular file into out, when it can be read and its size is
// within [1, max_bytes] (the size is taken as 64 bits, so no large file wraps into
// range). out keeps room for one more byte, and its memory is reused: a caller
// reading many files pays for fresh pages once; a large file goes into huge pages.
// False leaves out empty.
[[nodiscard]] bool read_file(const char* path, std::uint64_t max_bytes, byte_buffer& out);

}  // namespace tavrik::platform
