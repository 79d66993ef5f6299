// The platform layer on Windows: the narrow (ANSI code page) file functions of the
// system itself, so that paths reach it exactly as the host gave them.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>

namespace tavrik::platform {

namespace {

inline constexpr DWORD COPY_CHUNK_BYTES = 65536;
inline constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// ReadFile and WriteFile take 32-bit counts; larger buffers go in steps.
inline constexpr std::size_t MAX_IO_STEP = 1u << 30;

class handle {
public:
    explicit handle(HANDLE h) noexcept : h_(h) {}
    ~handle()
    {
        if (valid())
            ::CloseHandle(h_);
    }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    [[nodiscard]] bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    [[nodiscard]] HANDLE get() const noexcept { return h_; }
    // Closes now and reports whether the close succeeded.
    bool close_now() noexcept
    {
        const BOOL ok = ::CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE h_;
};

bool write_all(HANDLE h, const std::uint8_t* data, DWORD len) noexcept
{
    while (len > 0) {
        DWORD n = 0;
        if (!::WriteFile(h, data, len, &n, nullptr) || n == 0)
            return false;
        data += n;
        len -= n;
    }
    return true;
}

// Marks the open file to be removed when its last handle closes; the handle
// needs DELETE access.
bool delete_on_close(HANDLE h) noexcept
{
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose) != FALSE;
}

bool is_dot_entry(const char* name) noexcept
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

}  // namespace

mkdir_status make_dir(const char* path) noexcept
{
    if (::CreateDirectoryA(path, nullptr))
        return mkdir_status::created;
    if (::GetLastError() == ERROR_ALREADY_EXISTS)
        return mkdir_status::exists;
    // A drive root or a share answers ERROR_ACCESS_DENIED (or another error) for
    // a directory that is already there; what exists is all the caller needs.
    return path_exists(path) ? mkdir_status::exists : mkdir_status::failed;
}

bool path_exists(const char* path) noexcept { return ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

move_status rename_noreplace(const char* from, const char* to) noexcept
{
    // No MOVEFILE_REPLACE_EXISTING: an existing destination makes the move fail.
    // No MOVEFILE_COPY_ALLOWED either: across volumes the system's own copy would
    // neither flush the copy nor guarantee that a failed one is cleaned up, so the
    // caller's copy (copy_new_file) is used.
    if (::MoveFileExA(from, to, 0))
        return move_status::moved;
    return ::GetLastError() == ERROR_NOT_SAME_DEVICE ? move_status::cross_device : move_status::failed;
}

bool copy_new_file(const char* from, const char* to) noexcept
{
    handle in(::CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                            nullptr));
    if (!in.valid())
        return false;
    BY_HANDLE_FILE_INFORMATION src;
    if (!::GetFileInformationByHandle(in.get(), &src) || (src.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    // CREATE_NEW: an existing entry is never opened, let alone truncated. DELETE
    // access lets a failed copy be removed through this very handle, so that only
    // the file created here can ever be removed.
    handle out(::CreateFileA(to, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             src.dwFileAttributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED),
                             nullptr));
    if (!out.valid())
        return false;   // not ours: never touch it
    BY_HANDLE_FILE_INFORMATION made;
    const bool know_made = ::GetFileInformationByHandle(out.get(), &made) != FALSE;

    bool ok = true;
    std::uint8_t chunk[COPY_CHUNK_BYTES];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(in.get(), chunk, COPY_CHUNK_BYTES, &n, nullptr)) {
            ok = false;   // a read error is no end of file
            break;
        }
        if (n == 0)
            break;
        if (!write_all(out.get(), chunk, n)) {
            ok = false;
            break;
        }
    }
    if (ok) {
        (void)::SetFileTime(out.get(), nullptr, nullptr, &src.ftLastWriteTime);
        ok = ::FlushFileBuffers(out.get()) != FALSE;
    }
    ok = in.close_now() && ok;
    // A failed copy is removed through its own handle; should that fail, or the
    // close itself, through a new one, but only while the name still holds the
    // file made here (another process may have replaced it since).
    const bool marked = !ok && delete_on_close(out.get());
    ok = out.close_now() && ok;
    if (!ok && !marked && know_made) {
        handle again(::CreateFileA(to, DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        BY_HANDLE_FILE_INFORMATION now;
        if (again.valid() && ::GetFileInformationByHandle(again.get(), &now) &&
            now.dwVolumeSerialNumber == made.dwVolumeSerialNumber && now.nFileIndexHigh == made.nFileIndexHigh &&
            now.nFileIndexLow == made.nFileIndexLow)
            (void)delete_on_close(again.get());
    }
    return ok;
}

bool remove_file(const char* path) noexcept { return ::DeleteFileA(path) != FALSE; }

std::optional<file_id> file_identity(const char* path) noexcept
{
    // No access rights are asked for and every sharing mode is granted, so that no
    // other opener is disturbed; directories open with the backup-semantics flag.
    handle h(::CreateFileA(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid())
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h.get(), &info))
        return std::nullopt;
    return file_id{info.dwVolumeSerialNumber,
                   (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::optional<std::vector<dir_entry>> list_pdf_entries(const char* dir)
{
    std::string pattern = dir;
    pattern += PATH_SEP;
    pattern += "*.pdf";
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // Nothing matches in a directory that exists: an empty listing.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
            const DWORD attrs = ::GetFileAttributesA(dir);
            if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
                return std::vector<dir_entry>{};
        }
        return std::nullopt;
    }
    struct search_closer {
        HANDLE h;
        ~search_closer() { ::FindClose(h); }
    } closer{search};

    std::vector<dir_entry> entries;
    do {
        // The pattern also matches 8.3 short names: "report.pdfx" is found as
        // "REPORT~1.PDF". Only a long name that itself ends in ".pdf" counts.
        if (is_dot_entry(found.cFileName) || !is_pdf_name(found.cFileName))
            continue;
        entries.push_back({found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (::FindNextFileA(search, &found));
    if (::GetLastError() != ERROR_NO_MORE_FILES)
        return std::nullopt;
    return entries;
}

void advise_huge_pages(void*, std::size_t) noexcept
{
    // Large pages need a privilege that hosts rarely hold: nothing to advise.
}

bool read_file(const char* path, std::uint64_t max_bytes, byte_buffer& out)
{
    out.clear();
    handle f(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr));
    if (!f.valid())
        return false;   // directories included: they need backup semantics to open
    if (::GetFileType(f.get()) != FILE_TYPE_DISK)
        return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(f.get(), &size) || size.QuadPart <= 0)
        return false;
    const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
    if (bytes > max_bytes)
        return false;

    out.reserve(static_cast<std::size_t>(bytes) + 1);
    out.resize(static_cast<std::size_t>(bytes));
    // One read normally fills the buffer; a short read continues into it.
    std::size_t got = 0;
    while (got < out.size()) {
        const std::size_t want = std::min(out.size() - got, MAX_IO_STEP);
        DWORD n = 0;
        if (!::ReadFile(f.get(), out.data() + got, static_cast<DWORD>(want), &n, nullptr)) {
            out.clear();
            return false;
        }
        if (n == 0)
            break;   // the file shrank since its size was taken
        got += n;
    }
    out.resize(got);
    return got > 0;
}

}  // namespace tavrik::platform
