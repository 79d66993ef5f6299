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
#include <string>

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
    // Gives up ownership.
    [[nodiscard]] HANDLE release() noexcept
    {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
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
    // No MOVEFILE_COPY_ALLOWED either: across volumes the system's own copy writes
    // under the final name, so the caller's copy (stage_copy) is used.
    if (::MoveFileExA(from, to, 0))
        return move_status::moved;
    return ::GetLastError() == ERROR_NOT_SAME_DEVICE ? move_status::cross_device : move_status::failed;
}

namespace {

// The directory that holds the entry path, for a name to be made beside it.
std::string dir_of(const char* path)
{
    const char* sep = nullptr;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\')
            sep = p;
    if (sep == nullptr)
        return path[0] != '\0' && path[1] == ':' ? std::string(path, 2) : std::string(".");
    if (sep == path)
        return std::string(1, *sep);
    if (sep == path + 2 && path[1] == ':')
        return std::string(path, 3);   // "C:\"
    return std::string(path, static_cast<std::size_t>(sep - path));
}

std::uint64_t splitmix(std::uint64_t x) noexcept
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Bits that differ between processes, calls and attempts; the names are created
// exclusively, so a repeat costs only another attempt.
std::uint64_t temp_seed(int attempt) noexcept
{
    static std::uint64_t calls = 0;
    LARGE_INTEGER t{};
    ::QueryPerformanceCounter(&t);
    return splitmix(static_cast<std::uint64_t>(t.QuadPart) ^
                    (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 40) ^ (++calls << 20) ^
                    static_cast<std::uint64_t>(attempt) ^ reinterpret_cast<std::uintptr_t>(&t));
}

HANDLE native(const staged_file& staged) noexcept { return reinterpret_cast<HANDLE>(staged.handle); }

bool same_index(const BY_HANDLE_FILE_INFORMATION& info, const file_id& id) noexcept
{
    return info.dwVolumeSerialNumber == id.volume &&
           ((static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow) == id.index;
}

// Removes path while it still holds the file id, through a handle of its own.
bool remove_if_ours(const std::string& path, const file_id& id) noexcept
{
    handle again(
        ::CreateFileA(path.c_str(), DELETE, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION now;
    return again.valid() && ::GetFileInformationByHandle(again.get(), &now) && same_index(now, id) &&
           delete_on_close(again.get()) && again.close_now();
}

bool copy_into(HANDLE in, HANDLE out) noexcept
{
    std::uint8_t chunk[COPY_CHUNK_BYTES];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(in, chunk, COPY_CHUNK_BYTES, &n, nullptr))
            return false;   // a read error is no end of file
        if (n == 0)
            return true;
        if (!write_all(out, chunk, n))
            return false;
    }
}

}  // namespace

staged_file::~staged_file() { discard_staged(*this); }

bool stage_copy(const char* from, const char* to, staged_file& staged) noexcept
{
    discard_staged(staged);
    handle in(::CreateFileA(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                            nullptr));
    if (!in.valid())
        return false;
    BY_HANDLE_FILE_INFORMATION src;
    if (!::GetFileInformationByHandle(in.get(), &src) || (src.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    try {
        const std::string dir = dir_of(to);
        // CREATE_NEW: an existing entry is never opened. DELETE access lets a failed
        // copy, or one whose name must be taken back, be removed through this very
        // handle; sharing DELETE lets the move give it its name while it is open.
        for (int attempt = 0; attempt < HIDDEN_TEMP_ATTEMPTS; ++attempt) {
            std::string name = hidden_temp_name(dir, temp_seed(attempt));
            const HANDLE out = ::CreateFileA(name.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                                             CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
            if (out != INVALID_HANDLE_VALUE) {
                staged.handle = reinterpret_cast<std::intptr_t>(out);
                staged.temp_path = std::move(name);
                break;
            }
            const DWORD err = ::GetLastError();
            if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS)
                return false;
        }
    } catch (...) {
        discard_staged(staged);
        return false;
    }
    if (staged.handle == -1)
        return false;
    BY_HANDLE_FILE_INFORMATION made;
    if (::GetFileInformationByHandle(native(staged), &made)) {
        staged.id = file_id{made.dwVolumeSerialNumber,
                            (static_cast<std::uint64_t>(made.nFileIndexHigh) << 32) | made.nFileIndexLow};
        staged.have_id = true;
    }
    const bool ok = copy_into(in.get(), native(staged));
    if (!in.close_now() || !ok) {
        discard_staged(staged);
        return false;
    }
    // The source's attributes replace the hidden one now, so that the flush
    // covers them and the final name needs no change after the move.
    FILE_BASIC_INFO basic{};
    basic.LastWriteTime.LowPart = src.ftLastWriteTime.dwLowDateTime;
    basic.LastWriteTime.HighPart = static_cast<LONG>(src.ftLastWriteTime.dwHighDateTime);
    const DWORD kept = src.dwFileAttributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    basic.FileAttributes = kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    (void)::SetFileInformationByHandle(native(staged), FileBasicInfo, &basic, sizeof basic);
    return true;
}

bool stage_copy_hidden(const char* from, const char* to, staged_file& staged) noexcept
{
    return stage_copy(from, to, staged);   // copies are always hidden here
}

bool flush_staged(staged_file& staged) noexcept
{
    return staged.handle != -1 && ::FlushFileBuffers(native(staged)) != FALSE;
}

bool name_staged(staged_file& staged, const char* to) noexcept
{
    if (staged.handle == -1 || staged.temp_path.empty())
        return false;
    // A move only names the file: the final name is never opened or written, so
    // that a name the system takes for a device (NUL.pdf, COM1.pdf) receives
    // nothing. Without MOVEFILE_REPLACE_EXISTING an existing entry stays.
    if (!::MoveFileExA(staged.temp_path.c_str(), to, MOVEFILE_WRITE_THROUGH))
        return false;
    try {
        staged.final_path = to;
        staged.temp_path.clear();
    } catch (...) {
        staged.temp_path.clear();   // the handle still removes the file if asked
    }
    return true;
}

bool unname_staged(staged_file& staged) noexcept
{
    if (staged.handle == -1 || staged.final_path.empty() || !staged.have_id)
        return false;
    // By the name, checked to still hold the copy: the handle alone may not know
    // the name the move gave (Wine deletes by the name it was opened with).
    const bool removed = remove_if_ours(staged.final_path, staged.id);
    staged.final_path.clear();
    return removed;
}

void discard_staged(staged_file& staged) noexcept
{
    if (staged.handle != -1) {
        const bool marked = !staged.temp_path.empty() && delete_on_close(native(staged));
        const bool closed = ::CloseHandle(native(staged)) != FALSE;
        if (!staged.temp_path.empty() && (!marked || !closed) && staged.have_id)
            (void)remove_if_ours(staged.temp_path, staged.id);
    }
    staged.handle = -1;
    staged.temp_path.clear();
    staged.final_path.clear();
    staged.have_id = false;
}

bool flush_dir_of(const char* path) noexcept
{
    std::string dir;
    try {
        dir = dir_of(path);
    } catch (...) {
        return false;
    }
    // Directories flush through a handle with write access where the file system
    // allows it; elsewhere the write-through move made the name durable already.
    handle h(::CreateFileA(dir.c_str(), GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr));
    if (!h.valid()) {
        const DWORD err = ::GetLastError();
        return err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND;
    }
    if (::FlushFileBuffers(h.get()))
        return true;
    const DWORD err = ::GetLastError();
    return err == ERROR_ACCESS_DENIED || err == ERROR_INVALID_FUNCTION || err == ERROR_INVALID_PARAMETER ||
           err == ERROR_NOT_SUPPORTED;
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

std::optional<file_stamp> file_stamp_of(const char* path) noexcept
{
    // The entry itself: a reparse point (a symbolic link, a junction) is not followed.
    handle h(::CreateFileA(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h.valid())
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(h.get(), &info))
        return std::nullopt;
    file_stamp out;
    out.id = file_id{info.dwVolumeSerialNumber,
                     (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out.mtime = static_cast<std::int64_t>((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                          info.ftLastWriteTime.dwLowDateTime);
    return out;
}

std::string absolute_path(const char* path)
{
    const DWORD need = ::GetFullPathNameA(path, 0, nullptr, nullptr);
    if (need == 0)
        return {};
    std::string out(need, '\0');
    const DWORD got = ::GetFullPathNameA(path, need, out.data(), nullptr);
    if (got == 0 || got >= need)
        return {};
    out.resize(got);
    return out;
}

std::optional<std::vector<std::string>> list_subdirs(const char* dir)
{
    std::string pattern = dir;
    pattern += PATH_SEP;
    pattern += '*';
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // A drive's root lists no "." and "..": empty, if it is a directory.
        if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
            const DWORD attrs = ::GetFileAttributesA(dir);
            if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0)
                return std::vector<std::string>{};
        }
        return std::nullopt;
    }
    struct search_closer {
        HANDLE h;
        ~search_closer() { ::FindClose(h); }
    } closer{search};

    std::vector<std::string> names;
    do {
        const DWORD attrs = found.dwFileAttributes;
        if (is_dot_entry(found.cFileName) || (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
            (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            continue;
        names.emplace_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    if (::GetLastError() != ERROR_NO_MORE_FILES)
        return std::nullopt;
    return names;
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

read_handle::~read_handle()
{
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool read_handle::open(const char* path, std::uint64_t max_bytes) noexcept
{
    handle f(::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS,
                           nullptr));
    if (!f.valid() || ::GetFileType(f.get()) != FILE_TYPE_DISK)
        return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(f.get(), &size) || size.QuadPart <= 0 ||
        static_cast<std::uint64_t>(size.QuadPart) > max_bytes)
        return false;
    if (handle_ != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = reinterpret_cast<std::intptr_t>(f.release());
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

std::size_t read_handle::read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) noexcept
{
    std::size_t got = 0;
    while (handle_ != -1 && got < n) {
        const std::size_t want = std::min(n - got, MAX_IO_STEP);
        OVERLAPPED at{};
        const std::uint64_t from = offset + got;
        at.Offset = static_cast<DWORD>(from & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD r = 0;
        if (!::ReadFile(reinterpret_cast<HANDLE>(handle_), out + got, static_cast<DWORD>(want), &r, &at) || r == 0)
            break;
        got += r;
    }
    return got;
}

}  // namespace tavrik::platform
