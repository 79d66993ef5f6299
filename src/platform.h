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

[[nodiscard]] bool remove_file(const char* path) noexcept;

// Identity of the file at path (volume and index, or device and inode).
struct file_id {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend auto operator<=>(const file_id&, const file_id&) = default;   // == and an order for maps
};
[[nodiscard]] std::optional<file_id> file_identity(const char* path) noexcept;

// What tells a file apart from every other, and from itself once changed: its
// identity, size and modification time (nanoseconds since 1970 on POSIX, 100 ns
// steps since 1601 on Windows). A symbolic link (or reparse point) at path is
// taken as itself, never followed.
struct file_stamp {
    file_id id;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    friend bool operator==(const file_stamp&, const file_stamp&) = default;
};
[[nodiscard]] std::optional<file_stamp> file_stamp_of(const char* path) noexcept;

// path made independent of the working directory: relative paths get the
// working directory in front (on Windows, the system's full path of it). Empty
// when that cannot be done.
[[nodiscard]] std::string absolute_path(const char* path);

// A copy across file systems is made where nobody can take it for a finished
// file, and only then given its name: a killed run, a full disk or a power cut
// never leaves part of a document under a name that looks finished. The copy
// lives in the destination's directory, either without any name (Linux's
// O_TMPFILE, which vanishes with the process) or under a hidden temporary name,
// HIDDEN_TEMP_PREFIX, random letters, HIDDEN_TEMP_SUFFIX: never a ".pdf" name,
// so no listing of PDFs picks it up and no destination a move wants is ever one.
inline constexpr const char* HIDDEN_TEMP_PREFIX = ".tavrik-";
inline constexpr const char* HIDDEN_TEMP_SUFFIX = ".tmp";
// Temporary names tried before the copy gives up (each is created exclusively).
inline constexpr int HIDDEN_TEMP_ATTEMPTS = 16;

class staged_file {
public:
    staged_file() noexcept = default;
    ~staged_file();   // whatever is left is discarded (discard_staged)
    staged_file(const staged_file&) = delete;
    staged_file& operator=(const staged_file&) = delete;

    std::intptr_t handle = -1;   // open for writing: a descriptor, or a HANDLE on Windows
    std::string temp_path;       // the hidden name while the file has one
    std::string final_path;      // the name name_staged gave it
    file_id id{};                // identity of the file made, to never remove another
    bool have_id = false;
};

// A fresh hidden temporary name in directory dir, from the random bits of seed.
[[nodiscard]] inline std::string hidden_temp_name(const std::string& dir, std::uint64_t seed)
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = dir;
    if (!name.empty() && name.back() != PATH_SEP && name.back() != '/')
        name += PATH_SEP;
    name += HIDDEN_TEMP_PREFIX;
    for (int i = 0; i < 12; ++i, seed /= 36)
        name += letters[seed % 36];
    name += HIDDEN_TEMP_SUFFIX;
    return name;
}

// Copies the regular file from into a new file in the directory of to, with the
// source's permission bits and modification time where possible; nothing is
// flushed yet. The file has no name where the system allows it, else a hidden
// one; stage_copy_hidden always gives it a hidden name. On failure nothing is
// left behind and staged is closed.
[[nodiscard]] bool stage_copy(const char* from, const char* to, staged_file& staged) noexcept;
[[nodiscard]] bool stage_copy_hidden(const char* from, const char* to, staged_file& staged) noexcept;
// Flushes the staged file's data and attributes to the disk.
[[nodiscard]] bool flush_staged(staged_file& staged) noexcept;
// Gives the staged file the name to, never replacing an existing entry.
[[nodiscard]] bool name_staged(staged_file& staged, const char* to) noexcept;
// Takes back the name name_staged gave, while that name still holds this file.
[[nodiscard]] bool unname_staged(staged_file& staged) noexcept;
// Closes the staged file and removes its hidden name, if it still has one.
void discard_staged(staged_file& staged) noexcept;

// Flushes the directory that holds the entry path (its text before the last
// separator, else the working directory), so that names made or removed there
// survive a power cut. Where the system offers no way to flush a directory, there
// is nothing to wait for and this succeeds.
[[nodiscard]] bool flush_dir_of(const char* path) noexcept;

// Entries of dir whose names end in ".pdf" in any letter case (a name of exactly
// ".pdf" included), in the listing's order, each with whether it is a directory.
// nullopt when the directory cannot be opened or read.
struct dir_entry {
    std::string name;
    bool is_dir = false;
};
[[nodiscard]] std::optional<std::vector<dir_entry>> list_pdf_entries(const char* dir);

// Names of the folders in dir, never "." or "..", nor symbolic links (on Windows,
// nor junctions or other reparse points), in the listing's order. nullopt when
// the directory cannot be opened or read.
[[nodiscard]] std::optional<std::vector<std::string>> list_subdirs(const char* dir);

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


// A regular file open for reads at any offset, for a reader that takes only the
// parts it needs: naming a large document by its title reads its tail, not all
// of it. Nothing is mapped, so a file that another process truncates meanwhile
// only reads short; it can never fault the host.
class read_handle {
public:
    read_handle() noexcept = default;
    ~read_handle();
    read_handle(const read_handle&) = delete;
    read_handle& operator=(const read_handle&) = delete;
    // Opens path when it is a regular file whose size is within [1, max_bytes]
    // (taken as 64 bits, as read_file does).
    [[nodiscard]] bool open(const char* path, std::uint64_t max_bytes) noexcept;
    // The size when the file was opened.
    [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
    // Reads up to n bytes at offset into out; gives the count read, short only at
    // the end of the file or on an error.
    [[nodiscard]] std::size_t read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) noexcept;

private:
    std::intptr_t handle_ = -1;   // a descriptor, or a HANDLE on Windows
    std::uint64_t size_ = 0;
};

}  // namespace tavrik::platform
