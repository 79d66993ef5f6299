// The platform layer: directory creation, existence, the rename that never
// replaces, the staged copy and its naming, directory flushes, file identity, the
// PDF listing and whole-file reads.
#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform.h"
#include "pdf_builder.h"

namespace {

namespace fs = std::filesystem;
namespace pf = tavrik::platform;
using tavrik_test::narrow;
using tavrik_test::read_file;
using tavrik_test::shm_dir;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

TEST(PlatformMakeDir, TellsCreatedExistingAndFailed)
{
    temp_dir dir;
    const std::string sub = narrow(dir.path() / "sub");
    EXPECT_EQ(pf::make_dir(sub.c_str()), pf::mkdir_status::created);
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_EQ(pf::make_dir(sub.c_str()), pf::mkdir_status::exists);
    write_file(dir.path() / "file", "x");
    EXPECT_EQ(pf::make_dir(narrow(dir.path() / "file").c_str()), pf::mkdir_status::exists);
    EXPECT_EQ(pf::make_dir(narrow(dir.path() / "missing" / "child").c_str()), pf::mkdir_status::failed);
    EXPECT_EQ(pf::make_dir(narrow(dir.path() / "file" / "child").c_str()), pf::mkdir_status::failed);
}

TEST(PlatformExists, CountsEveryKindOfEntry)
{
    temp_dir dir;
    write_file(dir.path() / "f", "x");
    fs::create_directory(dir.path() / "d");
    EXPECT_TRUE(pf::path_exists(narrow(dir.path() / "f").c_str()));
    EXPECT_TRUE(pf::path_exists(narrow(dir.path() / "d").c_str()));
    EXPECT_FALSE(pf::path_exists(narrow(dir.path() / "nowhere").c_str()));
#if !defined(_WIN32)
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
    EXPECT_TRUE(pf::path_exists(narrow(dir.path() / "dangling").c_str()));
#endif
}

TEST(PlatformRename, MovesButNeverReplaces)
{
    temp_dir dir;
    const std::string a = narrow(dir.path() / "a"), b = narrow(dir.path() / "b"), c = narrow(dir.path() / "c");
    write_file(a, "first");
    write_file(b, "second");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), b.c_str()), pf::move_status::failed);
    EXPECT_EQ(read_file(a), "first");
    EXPECT_EQ(read_file(b), "second");

    fs::create_directory(dir.path() / "sub");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), narrow(dir.path() / "sub").c_str()), pf::move_status::failed);
    EXPECT_TRUE(fs::is_empty(dir.path() / "sub"));
#if !defined(_WIN32)
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), narrow(dir.path() / "dangling").c_str()), pf::move_status::failed);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "dangling"));
#endif

    EXPECT_EQ(pf::rename_noreplace(a.c_str(), c.c_str()), pf::move_status::moved);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(read_file(c), "first");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), narrow(dir.path() / "d").c_str()), pf::move_status::failed);
}

// Both separators reach the system unchanged; on Windows both are separators.
TEST(PlatformRename, TakesSlashAndBackslashPaths)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "a", "data");
    EXPECT_EQ(pf::rename_noreplace((d + "/a").c_str(), (d + tavrik_test::SEP + "b").c_str()), pf::move_status::moved);
    EXPECT_EQ(read_file(dir.path() / "b"), "data");
    EXPECT_TRUE(pf::path_exists((d + tavrik_test::SEP + "b").c_str()));
#if defined(_WIN32)
    fs::create_directory(dir.path() / "sub");
    EXPECT_EQ(pf::rename_noreplace((d + "\\b").c_str(), (d + "/sub\\c").c_str()), pf::move_status::moved);
    EXPECT_EQ(read_file(dir.path() / "sub" / "c"), "data");
    EXPECT_TRUE(pf::path_exists((d + "/sub/c").c_str()));
#endif
}

TEST(PlatformRename, TellsCrossDeviceApart)
{
    temp_dir dir;
    shm_dir shm;
    if (!shm.other_device_than(dir.path()))
        GTEST_SKIP() << "no second file system at hand";
    write_file(dir.path() / "a", "data");
    EXPECT_EQ(pf::rename_noreplace(narrow(dir.path() / "a").c_str(), narrow(shm.path() / "a").c_str()),
              pf::move_status::cross_device);
    EXPECT_TRUE(fs::exists(dir.path() / "a"));
    EXPECT_FALSE(fs::exists(shm.path() / "a"));
}

// Both ways of staging a copy: unnamed where the system allows it, and hidden.
struct stager {
    const char* name;
    bool (*stage)(const char*, const char*, pf::staged_file&) noexcept;
};
constexpr stager stagers[] = {{"default", &pf::stage_copy}, {"hidden", &pf::stage_copy_hidden}};

std::vector<std::string> names_in(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(PlatformStagedCopy, CopiesBytesModeAndModificationTime)
{
    for (const auto& how : stagers) {
        SCOPED_TRACE(how.name);
        temp_dir dir;
        std::string data(200000, '\0');
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i * 7 + i / 251);
        const std::string from = narrow(dir.path() / "from"), to = narrow(dir.path() / "to");
        write_file(from, data);
        const auto when = fs::last_write_time(from) - std::chrono::hours(24 * 400);
        fs::last_write_time(from, when);
#if !defined(_WIN32)
        ASSERT_EQ(::chmod(from.c_str(), 0640), 0);
#endif
        pf::staged_file staged;
        ASSERT_TRUE(how.stage(from.c_str(), to.c_str(), staged));
        // Until it is named, the copy is nowhere to be found under a PDF name or
        // the one it is made for.
        for (const auto& n : names_in(dir.path()))
            EXPECT_TRUE(n == "from" || (n.rfind(pf::HIDDEN_TEMP_PREFIX, 0) == 0 && n.size() > 12 &&
                                        n.substr(n.size() - 4) == pf::HIDDEN_TEMP_SUFFIX))
                << n;
        ASSERT_TRUE(pf::flush_staged(staged));
        ASSERT_TRUE(pf::name_staged(staged, to.c_str()));
        pf::discard_staged(staged);
        EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"from", "to"}));
        EXPECT_EQ(read_file(to), data);
        EXPECT_EQ(read_file(from), data);
        EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(fs::last_write_time(to) - when).count(), 0);
#if defined(_WIN32)
        const DWORD attrs = ::GetFileAttributesA(to.c_str());
        EXPECT_EQ(attrs & FILE_ATTRIBUTE_HIDDEN, 0u);   // the hidden mark stays with the temporary
#else
        struct stat st;
        ASSERT_EQ(::stat(to.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
#endif
    }
}

// Naming never replaces an entry, of any kind; a copy that is not named leaves
// nothing behind once discarded (also by going out of scope).
TEST(PlatformStagedCopy, NamingNeverReplacesAnExistingEntry)
{
    for (const auto& how : stagers) {
        SCOPED_TRACE(how.name);
        temp_dir dir;
        const std::string from = narrow(dir.path() / "from");
        write_file(from, "new");
        write_file(dir.path() / "to", "theirs");
        fs::create_directory(dir.path() / "sub");
        std::vector<std::string> taken = {"to", "sub"};
#if !defined(_WIN32)
        fs::create_symlink(dir.path() / "nowhere", dir.path() / "link");
        taken.push_back("link");
#endif
        const auto before = names_in(dir.path());
        for (const auto& name : taken) {
            SCOPED_TRACE(name);
            pf::staged_file staged;
            ASSERT_TRUE(how.stage(from.c_str(), narrow(dir.path() / name).c_str(), staged));
            ASSERT_TRUE(pf::flush_staged(staged));
            EXPECT_FALSE(pf::name_staged(staged, narrow(dir.path() / name).c_str()));
            EXPECT_FALSE(pf::unname_staged(staged));   // it was never given that name
        }
        EXPECT_EQ(names_in(dir.path()), before);
        EXPECT_EQ(read_file(dir.path() / "to"), "theirs");
        EXPECT_TRUE(fs::is_empty(dir.path() / "sub"));
        EXPECT_FALSE(fs::exists(dir.path() / "nowhere"));
    }
}

// A name once given is taken back only while it still holds the copy.
TEST(PlatformStagedCopy, UnnamingRemovesOnlyTheCopy)
{
    temp_dir dir;
    const std::string from = narrow(dir.path() / "from"), to = narrow(dir.path() / "to");
    write_file(from, "new");
    {
        pf::staged_file staged;
        ASSERT_TRUE(pf::stage_copy(from.c_str(), to.c_str(), staged));
        ASSERT_TRUE(pf::name_staged(staged, to.c_str()));
        EXPECT_TRUE(pf::unname_staged(staged));
        pf::discard_staged(staged);
        EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"from"});
    }
    // Another file has taken the name since.
    pf::staged_file staged;
    ASSERT_TRUE(pf::stage_copy(from.c_str(), to.c_str(), staged));
    ASSERT_TRUE(pf::name_staged(staged, to.c_str()));
    const std::string aside = narrow(dir.path() / "aside");
    ASSERT_EQ(pf::rename_noreplace(to.c_str(), aside.c_str()), pf::move_status::moved);
    write_file(to, "another file now");
    EXPECT_FALSE(pf::unname_staged(staged));
    pf::discard_staged(staged);
    EXPECT_EQ(read_file(to), "another file now");
    EXPECT_EQ(read_file(aside), "new");
}

TEST(PlatformStagedCopy, SourcesThatCannotBeCopiedLeaveNothing)
{
    temp_dir dir;
    const std::string to = narrow(dir.path() / "out" / "to");
    fs::create_directory(dir.path() / "out");
    for (const auto& how : stagers) {
        SCOPED_TRACE(how.name);
        pf::staged_file staged;
        EXPECT_FALSE(how.stage(dir.str().c_str(), to.c_str(), staged));   // not a regular file
        EXPECT_FALSE(how.stage(narrow(dir.path() / "missing").c_str(), to.c_str(), staged));
        EXPECT_FALSE(pf::name_staged(staged, to.c_str()));
        write_file(dir.path() / "from", "x");
        EXPECT_FALSE(how.stage(narrow(dir.path() / "from").c_str(), narrow(dir.path() / "gone" / "to").c_str(), staged));
        EXPECT_TRUE(fs::is_empty(dir.path() / "out"));
    }
}

// A source that fails while being read: nothing of the copy stays.
TEST(PlatformStagedCopy, ReadErrorLeavesNothing)
{
    temp_dir dir;
    fs::create_directory(dir.path() / "out");
    const std::string to = narrow(dir.path() / "out" / "to");
#if defined(_WIN32)
    // A range locked by another handle refuses reads midway through the file.
    const std::string from = narrow(dir.path() / "from");
    write_file(from, std::string(300000, 'r'));
    const HANDLE holder = ::CreateFileA(from.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    at.Offset = 150000;
    ASSERT_TRUE(::LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1000, 0, &at));
    char probe[16];
    DWORD n = 0;
    const HANDLE reader = ::CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
    ::SetFilePointer(reader, 150000, nullptr, FILE_BEGIN);
    const bool enforced = !::ReadFile(reader, probe, sizeof probe, &n, nullptr);
    ::CloseHandle(reader);
    pf::staged_file staged;
    const bool copied = enforced && pf::stage_copy(from.c_str(), to.c_str(), staged);
    ::CloseHandle(holder);
    if (!enforced)
        GTEST_SKIP() << "byte-range locks do not stop reads here (Wine)";
    EXPECT_FALSE(copied);
#else
    // The process's own memory at address 0 answers EIO.
    for (const auto& how : stagers) {
        SCOPED_TRACE(how.name);
        pf::staged_file staged;
        EXPECT_FALSE(how.stage("/proc/self/mem", to.c_str(), staged));
    }
#endif
    EXPECT_TRUE(fs::is_empty(dir.path() / "out"));
}

TEST(PlatformFlushDir, FlushesTheDirectoryOfAnEntry)
{
    temp_dir dir;
    write_file(dir.path() / "f", "x");
    EXPECT_TRUE(pf::flush_dir_of(narrow(dir.path() / "f").c_str()));
    EXPECT_TRUE(pf::flush_dir_of(narrow(dir.path() / "not yet there").c_str()));
    EXPECT_FALSE(pf::flush_dir_of(narrow(dir.path() / "missing" / "f").c_str()));
}

TEST(PlatformIdentity, ComparesVolumeAndIndex)
{
    temp_dir dir;
    const auto a = dir.path() / "a", b = dir.path() / "b", link = dir.path() / "hard";
    write_file(a, "same bytes");
    write_file(b, "same bytes");
    fs::create_hard_link(a, link);
    const auto ia = pf::file_identity(narrow(a).c_str());
    ASSERT_TRUE(ia);
    EXPECT_EQ(*ia, *pf::file_identity(narrow(link).c_str()));
    EXPECT_NE(*ia, *pf::file_identity(narrow(b).c_str()));
    EXPECT_EQ(*ia, *pf::file_identity(narrow(dir.path() / "." / "a").c_str()));
    EXPECT_EQ(*ia, *pf::file_identity((dir.str() + "/a").c_str()));
    EXPECT_TRUE(pf::file_identity(dir.str().c_str()));   // directories too
    EXPECT_FALSE(pf::file_identity(narrow(dir.path() / "missing").c_str()));
#if defined(_WIN32)
    // Names differ only in letter case: the same file.
    EXPECT_EQ(*ia, *pf::file_identity(narrow(dir.path() / "A").c_str()));
#endif
}

// Identity opens ask for no access at all: a file held open without any sharing
// is still identified.
#if defined(_WIN32)
TEST(PlatformIdentity, WorksOnAFileHeldOpenExclusively)
{
    temp_dir dir;
    const std::string a = narrow(dir.path() / "a");
    write_file(a, "x");
    const HANDLE held = ::CreateFileA(a.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto id = pf::file_identity(a.c_str());
    ::CloseHandle(held);
    EXPECT_TRUE(id);
}
#endif

TEST(PlatformListing, GivesPdfNamesInAnyCaseWithDirectoriesMarked)
{
    temp_dir dir;
    // "e.pdfx" has the short name "E~1.PDF" on Windows, which the pattern matches.
    for (const char* name : {"a.pdf", "B.PDF", "c.Pdf", ".pdf", "d.txt", "e.pdfx", "pdf", "long name.pdf.txt"})
        write_file(dir.path() / name, "x");
    fs::create_directory(dir.path() / "sub.pdf");
    std::vector<std::string> want_files = {".pdf", "B.PDF", "a.pdf", "c.Pdf"};
#if !defined(_WIN32)
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling.pdf");
    want_files.push_back("dangling.pdf");
#endif

    for (const std::string& d : {dir.str(), dir.str() + tavrik_test::SEP}) {
        SCOPED_TRACE(d);
        const auto entries = pf::list_pdf_entries(d.c_str());
        ASSERT_TRUE(entries);
        std::vector<std::string> files, dirs;
        for (const auto& e : *entries)
            (e.is_dir ? dirs : files).push_back(e.name);
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, want_files);
        EXPECT_EQ(dirs, std::vector<std::string>{"sub.pdf"});
    }

    temp_dir empty;
    fs::create_directory(empty.path() / "inner");
    write_file(empty.path() / "notes.txt", "x");
    const auto none = pf::list_pdf_entries(empty.str().c_str());
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(pf::list_pdf_entries(narrow(dir.path() / "missing").c_str()));
    EXPECT_FALSE(pf::list_pdf_entries(narrow(dir.path() / "a.pdf").c_str()));
}

TEST(PlatformReadFile, ReadsWholeFilesWithinBounds)
{
    temp_dir dir;
    const std::string data = "%PDF-1.7\nsome bytes\n\r\n\x1a more";
    write_file(dir.path() / "f", data);
    write_file(dir.path() / "empty", "");

    tavrik::byte_buffer got = {'x'};
    ASSERT_TRUE(pf::read_file(narrow(dir.path() / "f").c_str(), data.size(), got));
    EXPECT_EQ(std::string(got.begin(), got.end()), data);   // raw bytes, no line-end translation
    EXPECT_GT(got.capacity(), got.size());                   // room for the reader's end byte
    // The buffer is reused, and emptied by every refusal.
    for (const auto& [path, max] : std::vector<std::pair<fs::path, std::uint64_t>>{
             {dir.path() / "f", data.size() - 1},
             {dir.path() / "empty", 1000},
             {dir.path() / "missing", 1000},
             {dir.path(), 1000}}) {
        SCOPED_TRACE(narrow(path));
        got.assign({'x'});
        EXPECT_FALSE(pf::read_file(narrow(path).c_str(), max, got));
        EXPECT_TRUE(got.empty());
    }
}

// Large files are read into memory advised for huge pages: every byte must
// still arrive, also into a buffer that held a smaller file before.
TEST(PlatformReadFile, ReadsLargeFilesWhole)
{
    temp_dir dir;
    std::string data(9u << 20, '\0');
    std::uint32_t seed = 99;
    for (char& c : data) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    write_file(dir.path() / "large", data);
    write_file(dir.path() / "small", "%PDF-1.7\n");
    tavrik::byte_buffer got;
    for (const char* name : {"small", "large", "small", "large"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(pf::read_file(narrow(dir.path() / name).c_str(), 1u << 28, got));
        EXPECT_TRUE(std::string(got.begin(), got.end()) == (name[0] == 'l' ? data : "%PDF-1.7\n"));
    }
}

// A size beyond 32 bits must not wrap into the accepted range (a sparse file
// costs no disk space).
TEST(PlatformReadFile, RefusesFilesBeyondTheLimitWithoutReading)
{
    temp_dir dir;
    for (const std::uint64_t size : {(1ull << 28) + 1, (1ull << 32) + 100}) {
        SCOPED_TRACE(size);
        const auto p = dir.path() / "big";
        write_file(p, "%PDF-1.7\n");
        std::error_code ec;
        fs::resize_file(p, size, ec);
        if (ec)
            GTEST_SKIP() << "cannot make a sparse file here: " << ec.message();
        tavrik::byte_buffer got;
        EXPECT_FALSE(pf::read_file(narrow(p).c_str(), 1ull << 28, got));
    }
}

}  // namespace

// Reads at any offset of a regular file; a read past the end is short, and what is
// not a regular file of a size in range does not open.
TEST(PlatformReadHandle, ReadsAtOffsetsAndRefusesWhatIsNoFile)
{
    temp_dir dir;
    write_file(dir.path() / "f", "0123456789");
    write_file(dir.path() / "empty", "");
    tavrik::platform::read_handle h;
    ASSERT_TRUE(h.open(narrow(dir.path() / "f").c_str(), 10));
    EXPECT_EQ(h.size(), 10u);
    std::string got(4, '?');
    EXPECT_EQ(h.read_at(3, reinterpret_cast<std::uint8_t*>(got.data()), 4), 4u);
    EXPECT_EQ(got, "3456");
    EXPECT_EQ(h.read_at(8, reinterpret_cast<std::uint8_t*>(got.data()), 4), 2u);
    EXPECT_EQ(got.substr(0, 2), "89");
    EXPECT_EQ(h.read_at(10, reinterpret_cast<std::uint8_t*>(got.data()), 4), 0u);

    tavrik::platform::read_handle other;
    EXPECT_FALSE(other.open(narrow(dir.path() / "f").c_str(), 9));
    EXPECT_FALSE(other.open(narrow(dir.path() / "empty").c_str(), 10));
    EXPECT_FALSE(other.open(dir.str().c_str(), 10));
    EXPECT_FALSE(other.open(narrow(dir.path() / "missing").c_str(), 10));
}
