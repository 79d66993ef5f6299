// The platform layer on POSIX systems (Linux first; other systems take the
// portable fall-backs).
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace tavrik::platform {

namespace {

inline constexpr std::size_t COPY_CHUNK_BYTES = 65536;

#ifndef RENAME_NOREPLACE
inline constexpr unsigned RENAME_NOREPLACE_FLAG = 1;
#else
inline constexpr unsigned RENAME_NOREPLACE_FLAG = RENAME_NOREPLACE;
#endif

// -1 with errno set as the kernel's renameat2 does; ENOSYS where it is missing.
int renameat2_noreplace(const char* from, const char* to) noexcept
{
#if defined(__linux__) && defined(SYS_renameat2)
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE_FLAG));
#else
    (void)from;
    (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

bool unsupported(int err) noexcept
{
    return err == EINVAL || err == ENOSYS || err == ENOTSUP || err == EOPNOTSUPP;
}

// The rename cannot be done here, but a copy may be: different file systems, and
// ENOTEMPTY, which some systems give for renames they cannot do in place.
bool wants_copy(int err) noexcept { return err == EXDEV || err == ENOTEMPTY; }

int open_retry(const char* path, int flags, mode_t mode = 0) noexcept
{
    int fd;
    do
        fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t len) noexcept
{
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Closes now and reports whether the close succeeded.
    bool close_now() noexcept
    {
        const int rc = ::close(fd);
        fd = -1;
        return rc == 0;
    }
};

}  // namespace

mkdir_status make_dir(const char* path) noexcept
{
    if (::mkdir(path, 0777) == 0)
        return mkdir_status::created;
    if (errno == EEXIST)
        return mkdir_status::exists;
    // Some file systems answer EACCES or EROFS for a directory that is already
    // there; what exists is all the caller needs to know.
    struct stat st;
    return ::lstat(path, &st) == 0 ? mkdir_status::exists : mkdir_status::failed;
}

bool path_exists(const char* path) noexcept
{
    struct stat st;
    return ::lstat(path, &st) == 0;
}

move_status rename_noreplace(const char* from, const char* to) noexcept
{
    if (renameat2_noreplace(from, to) == 0)
        return move_status::moved;
    int err = errno;
    if (wants_copy(err))
        return move_status::cross_device;
    if (!unsupported(err))
        return move_status::failed;   // EEXIST included: never replace

    // The file system refuses the flag: a hard link cannot replace an entry either.
    if (::link(from, to) == 0) {
        if (::unlink(from) == 0)
            return move_status::moved;
        ::unlink(to);   // the link we just made; the source stays
        return move_status::failed;
    }
    err = errno;
    if (err == EXDEV)
        return move_status::cross_device;
    if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP)
        return move_status::failed;

    // Neither the flag nor hard links (some FUSE and FAT mounts): the best left is
    // a check right before a plain rename.
    if (path_exists(to))
        return move_status::failed;
    if (::rename(from, to) == 0)
        return move_status::moved;
    return wants_copy(errno) ? move_status::cross_device : move_status::failed;
}

namespace {

// The directory that holds the entry path.
std::string dir_of(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, static_cast<std::size_t>(slash - path));
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
    struct timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const auto t = static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<std::uint64_t>(ts.tv_nsec);
    return splitmix(t ^ (static_cast<std::uint64_t>(::getpid()) << 40) ^ (++calls << 20) ^
                    static_cast<std::uint64_t>(attempt) ^ reinterpret_cast<std::uintptr_t>(&ts));
}

bool same_inode(const struct stat& st, const file_id& id) noexcept
{
    return static_cast<std::uint64_t>(st.st_dev) == id.volume && static_cast<std::uint64_t>(st.st_ino) == id.index;
}

// Removes path while it still holds the file id (another process may have put
// something else there since).
bool unlink_if_ours(const std::string& path, const file_id& id) noexcept
{
    struct stat now;
    return ::lstat(path.c_str(), &now) == 0 && same_inode(now, id) && ::unlink(path.c_str()) == 0;
}

// Unnamed files get their name through /proc (linkat with AT_EMPTY_PATH needs a
// privilege); without it they could never be named.
bool unnamed_files_usable() noexcept
{
#if defined(__linux__) && defined(O_TMPFILE)
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
#else
    return false;
#endif
}

bool stage_copy_as(const char* from, const char* to, staged_file& staged, bool unnamed) noexcept
{
    discard_staged(staged);
    fd_closer in{open_retry(from, O_RDONLY)};
    if (in.fd < 0)
        return false;
    struct stat src;
    if (::fstat(in.fd, &src) != 0 || !S_ISREG(src.st_mode))
        return false;
    try {
        const std::string dir = dir_of(to);
        int out = -1;
#if defined(__linux__) && defined(O_TMPFILE)
        if (unnamed && unnamed_files_usable())
            out = open_retry(dir.c_str(), O_TMPFILE | O_WRONLY, S_IRUSR | S_IWUSR);
#else
        (void)unnamed;
#endif
        // No unnamed files here (the file system refuses them): a hidden name.
        for (int attempt = 0; out < 0 && attempt < HIDDEN_TEMP_ATTEMPTS; ++attempt) {
            std::string name = hidden_temp_name(dir, temp_seed(attempt));
            out = open_retry(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
            if (out >= 0)
                staged.temp_path = std::move(name);
            else if (errno != EEXIST)
                break;
        }
        if (out < 0)
            return false;
        staged.handle = out;
    } catch (...) {
        discard_staged(staged);
        return false;
    }
    const int out = static_cast<int>(staged.handle);
    struct stat made;
    if (::fstat(out, &made) == 0) {
        staged.id = file_id{static_cast<std::uint64_t>(made.st_dev), static_cast<std::uint64_t>(made.st_ino)};
        staged.have_id = true;
    }

    bool ok = true;
    std::uint8_t chunk[COPY_CHUNK_BYTES];
    for (;;) {
        const ssize_t n = ::read(in.fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;   // a read error is no end of file
            break;
        }
        if (n == 0)
            break;
        if (!write_all(out, chunk, static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ok = in.close_now() && ok;
    if (!ok) {
        discard_staged(staged);
        return false;
    }
    (void)::fchmod(out, src.st_mode & 07777);
    const struct timespec times[2] = {src.st_atim, src.st_mtim};
    (void)::futimens(out, times);
    return true;
}

// Directory flushes that cannot be had: the directory cannot be opened for
// reading, or its file system does not flush directories.
bool no_dir_flush_here(int err) noexcept
{
    return err == EACCES || err == EPERM || err == EINVAL || err == ENOSYS || err == ENOTSUP || err == EOPNOTSUPP;
}

}  // namespace

staged_file::~staged_file() { discard_staged(*this); }

bool stage_copy(const char* from, const char* to, staged_file& staged) noexcept
{
    return stage_copy_as(from, to, staged, true);
}

bool stage_copy_hidden(const char* from, const char* to, staged_file& staged) noexcept
{
    return stage_copy_as(from, to, staged, false);
}

bool flush_staged(staged_file& staged) noexcept
{
    if (staged.handle < 0)
        return false;
    int rc;
    do
        rc = ::fsync(static_cast<int>(staged.handle));
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool name_staged(staged_file& staged, const char* to) noexcept
{
    if (staged.handle < 0 || !staged.final_path.empty())
        return false;
    try {
        if (!staged.temp_path.empty()) {
            if (rename_noreplace(staged.temp_path.c_str(), to) != move_status::moved)
                return false;
            staged.temp_path.clear();
        } else {
#if defined(__linux__)
            // linkat never replaces an entry: an existing one gives EEXIST.
            char proc[64];
            std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", static_cast<int>(staged.handle));
            if (::linkat(AT_FDCWD, proc, AT_FDCWD, to, AT_SYMLINK_FOLLOW) != 0 &&
                (errno == EEXIST || ::linkat(static_cast<int>(staged.handle), "", AT_FDCWD, to, AT_EMPTY_PATH) != 0))
                return false;
#else
            return false;
#endif
        }
        staged.final_path = to;
    } catch (...) {
        return false;   // named, but the name could not be kept: the file stays
    }
    return true;
}

bool unname_staged(staged_file& staged) noexcept
{
    if (staged.final_path.empty() || !staged.have_id)
        return false;
    const bool removed = unlink_if_ours(staged.final_path, staged.id);
    staged.final_path.clear();
    return removed;
}

void discard_staged(staged_file& staged) noexcept
{
    if (!staged.temp_path.empty() && staged.have_id)
        (void)unlink_if_ours(staged.temp_path, staged.id);
    staged.temp_path.clear();
    staged.final_path.clear();
    if (staged.handle >= 0)
        ::close(static_cast<int>(staged.handle));
    staged.handle = -1;
    staged.have_id = false;
}

bool flush_dir_of(const char* path) noexcept
{
    int fd;
    try {
        fd = open_retry(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY);
    } catch (...) {
        return false;
    }
    if (fd < 0)
        return no_dir_flush_here(errno);
    int rc;
    do
        rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    return rc == 0 || no_dir_flush_here(err);
}

bool remove_file(const char* path) noexcept { return ::unlink(path) == 0; }

std::optional<file_id> file_identity(const char* path) noexcept
{
    struct stat st;
    if (::stat(path, &st) != 0)
        return std::nullopt;
    return file_id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::optional<file_stamp> file_stamp_of(const char* path) noexcept
{
    struct stat st;
    if (::lstat(path, &st) != 0)
        return std::nullopt;
    file_stamp out;
    out.id = file_id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return out;
}

std::string absolute_path(const char* path)
{
    if (path[0] == '/')
        return path;
    std::string cwd(256, '\0');
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
        if (errno != ERANGE || cwd.size() > (std::size_t{1} << 20))
            return {};
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    if (cwd.back() != '/')
        cwd += '/';
    return cwd + path;
}

std::optional<std::vector<std::string>> list_subdirs(const char* dir)
{
    DIR* d = ::opendir(dir);
    if (d == nullptr)
        return std::nullopt;
    struct dir_closer {
        DIR* d;
        ~dir_closer() { ::closedir(d); }
    } closer{d};

    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0)
                return std::nullopt;
            break;
        }
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        bool is_dir = false;
#if defined(_DIRENT_HAVE_D_TYPE) || defined(DT_DIR)
        if (e->d_type == DT_DIR)
            is_dir = true;
        else if (e->d_type == DT_UNKNOWN)
#endif
        {
            // lstat: a link to a folder is a link, not a folder.
            std::string full = dir;
            full += PATH_SEP;
            full += e->d_name;
            struct stat st;
            is_dir = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_dir)
            names.emplace_back(e->d_name);
    }
    return names;
}

std::optional<std::vector<dir_entry>> list_pdf_entries(const char* dir)
{
    DIR* d = ::opendir(dir);
    if (d == nullptr)
        return std::nullopt;
    struct dir_closer {
        DIR* d;
        ~dir_closer() { ::closedir(d); }
    } closer{d};

    std::vector<dir_entry> entries;
    for (;;) {
        errno = 0;
        const struct dirent* e = ::readdir(d);
        if (e == nullptr) {
            if (errno != 0)
                return std::nullopt;
            break;
        }
        if (!is_pdf_name(e->d_name))
            continue;
        bool is_dir = false;
#if defined(_DIRENT_HAVE_D_TYPE) || defined(DT_DIR)
        if (e->d_type == DT_DIR)
            is_dir = true;
        else if (e->d_type == DT_UNKNOWN)
#endif
        {
            std::string full = dir;
            full += PATH_SEP;
            full += e->d_name;
            struct stat st;
            is_dir = ::lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        entries.push_back({e->d_name, is_dir});
    }
    return entries;
}

void advise_huge_pages(void* data, std::size_t len) noexcept
{
#if defined(MADV_HUGEPAGE)
    if (data == nullptr || len < HUGE_PAGE_MIN_BYTES)
        return;
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page <= 0)
        return;
    const auto mask = static_cast<std::uintptr_t>(page) - 1;
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t start = (first + mask) & ~mask;
    const std::uintptr_t end = (first + len) & ~mask;
    if (end > start)
        (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)data;
    (void)len;
#endif
}

bool read_file(const char* path, std::uint64_t max_bytes, byte_buffer& out)
{
    out.clear();
    fd_closer f{open_retry(path, O_RDONLY)};
    if (f.fd < 0)
        return false;
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0)
        return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size > max_bytes)
        return false;

    const bool fresh = out.capacity() < size + 1;
    out.reserve(static_cast<std::size_t>(size) + 1);
    if (fresh)
        advise_huge_pages(out.data(), out.capacity());
    out.resize(static_cast<std::size_t>(size));
    // One read normally fills the buffer; a short read (a signal, a network file
    // system) continues into the same buffer.
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(f.fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            out.clear();
            return false;
        }
        if (n == 0)
            break;   // the file shrank since fstat
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return got > 0;
}

read_handle::~read_handle()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

bool read_handle::open(const char* path, std::uint64_t max_bytes) noexcept
{
    fd_closer f{open_retry(path, O_RDONLY)};
    if (f.fd < 0)
        return false;
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<std::uint64_t>(st.st_size) > max_bytes)
        return false;
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
    handle_ = f.fd;
    f.fd = -1;
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::size_t read_handle::read_at(std::uint64_t offset, std::uint8_t* out, std::size_t n) noexcept
{
    std::size_t got = 0;
    while (handle_ >= 0 && got < n && offset + got <= static_cast<std::uint64_t>(INT64_MAX)) {
        const ssize_t r = ::pread(static_cast<int>(handle_), out + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

}  // namespace tavrik::platform
