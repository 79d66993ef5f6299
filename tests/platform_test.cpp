// The POSIX platform layer: directory creation, existence, the rename that never
// replaces, the exclusive copy, file identity, the PDF listing and whole-file reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform.h"
#include "pdf_builder.h"

namespace {

namespace fs = std::filesystem;
namespace pf = tavrik::platform;
using tavrik_test::read_file;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

// A directory on the RAM file system, to cross a device boundary.
class shm_dir {
public:
    shm_dir()
    {
        char tmpl[] = "/dev/shm/tavrik-test-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr)
            path_ = tmpl;
    }
    ~shm_dir()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    shm_dir(const shm_dir&) = delete;
    shm_dir& operator=(const shm_dir&) = delete;
    [[nodiscard]] const fs::path& path() const { return path_; }
    [[nodiscard]] bool other_device_than(const fs::path& p) const
    {
        struct stat a, b;
        return !path_.empty() && ::stat(path_.c_str(), &a) == 0 && ::stat(p.c_str(), &b) == 0 && a.st_dev != b.st_dev;
    }

private:
    fs::path path_;
};

TEST(PlatformMakeDir, TellsCreatedExistingAndFailed)
{
    temp_dir dir;
    const auto sub = dir.path() / "sub";
    EXPECT_EQ(pf::make_dir(sub.c_str()), pf::mkdir_status::created);
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_EQ(pf::make_dir(sub.c_str()), pf::mkdir_status::exists);
    write_file(dir.path() / "file", "x");
    EXPECT_EQ(pf::make_dir((dir.path() / "file").c_str()), pf::mkdir_status::exists);
    EXPECT_EQ(pf::make_dir((dir.path() / "missing" / "child").c_str()), pf::mkdir_status::failed);
    EXPECT_EQ(pf::make_dir((dir.path() / "file" / "child").c_str()), pf::mkdir_status::failed);
}

TEST(PlatformExists, CountsEveryKindOfEntry)
{
    temp_dir dir;
    write_file(dir.path() / "f", "x");
    fs::create_directory(dir.path() / "d");
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
    EXPECT_TRUE(pf::path_exists((dir.path() / "f").c_str()));
    EXPECT_TRUE(pf::path_exists((dir.path() / "d").c_str()));
    EXPECT_TRUE(pf::path_exists((dir.path() / "dangling").c_str()));
    EXPECT_FALSE(pf::path_exists((dir.path() / "nowhere").c_str()));
}

TEST(PlatformRename, MovesButNeverReplaces)
{
    temp_dir dir;
    const auto a = dir.path() / "a", b = dir.path() / "b", c = dir.path() / "c";
    write_file(a, "first");
    write_file(b, "second");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), b.c_str()), pf::move_status::failed);
    EXPECT_EQ(read_file(a), "first");
    EXPECT_EQ(read_file(b), "second");

    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), (dir.path() / "dangling").c_str()), pf::move_status::failed);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "dangling"));

    EXPECT_EQ(pf::rename_noreplace(a.c_str(), c.c_str()), pf::move_status::moved);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_EQ(read_file(c), "first");
    EXPECT_EQ(pf::rename_noreplace(a.c_str(), (dir.path() / "d").c_str()), pf::move_status::failed);
}

TEST(PlatformRename, TellsCrossDeviceApart)
{
    temp_dir dir;
    shm_dir shm;
    if (!shm.other_device_than(dir.path()))
        GTEST_SKIP() << "/dev/shm is not a separate file system here";
    write_file(dir.path() / "a", "data");
    EXPECT_EQ(pf::rename_noreplace((dir.path() / "a").c_str(), (shm.path() / "a").c_str()),
              pf::move_status::cross_device);
    EXPECT_TRUE(fs::exists(dir.path() / "a"));
    EXPECT_FALSE(fs::exists(shm.path() / "a"));
}

TEST(PlatformCopy, CopiesBytesPermissionsAndTime)
{
    temp_dir dir;
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    const auto from = dir.path() / "from", to = dir.path() / "to";
    write_file(from, data);
    ASSERT_EQ(::chmod(from.c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1234567890, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, from.c_str(), times, 0), 0);

    ASSERT_TRUE(pf::copy_new_file(from.c_str(), to.c_str()));
    EXPECT_EQ(read_file(to), data);
    struct stat st;
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
    EXPECT_EQ(read_file(from), data);
}

TEST(PlatformCopy, NeverTouchesAnExistingDestination)
{
    temp_dir dir;
    const auto from = dir.path() / "from", to = dir.path() / "to";
    write_file(from, "new");
    write_file(to, "theirs");
    EXPECT_FALSE(pf::copy_new_file(from.c_str(), to.c_str()));
    EXPECT_EQ(read_file(to), "theirs");
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "link");
    EXPECT_FALSE(pf::copy_new_file(from.c_str(), (dir.path() / "link").c_str()));
    EXPECT_FALSE(fs::exists(dir.path() / "nowhere"));
}

// A source that fails while being read (the process's own memory at address 0
// answers EIO): the partial destination goes away.
TEST(PlatformCopy, ReadErrorRemovesThePartialCopy)
{
    temp_dir dir;
    const auto to = dir.path() / "to";
    EXPECT_FALSE(pf::copy_new_file("/proc/self/mem", to.c_str()));
    EXPECT_FALSE(fs::exists(to));
    EXPECT_FALSE(pf::copy_new_file(dir.path().c_str(), to.c_str()));   // not a regular file
    EXPECT_FALSE(pf::copy_new_file((dir.path() / "missing").c_str(), to.c_str()));
    EXPECT_FALSE(fs::exists(to));
}

TEST(PlatformIdentity, ComparesDeviceAndInode)
{
    temp_dir dir;
    const auto a = dir.path() / "a", b = dir.path() / "b", link = dir.path() / "hard";
    write_file(a, "same bytes");
    write_file(b, "same bytes");
    fs::create_hard_link(a, link);
    const auto ia = pf::file_identity(a.c_str());
    ASSERT_TRUE(ia);
    EXPECT_EQ(*ia, *pf::file_identity(link.c_str()));
    EXPECT_NE(*ia, *pf::file_identity(b.c_str()));
    EXPECT_EQ(*ia, *pf::file_identity((dir.path() / "." / "a").c_str()));
    EXPECT_FALSE(pf::file_identity((dir.path() / "missing").c_str()));
}

TEST(PlatformListing, GivesPdfNamesInAnyCaseWithDirectoriesMarked)
{
    temp_dir dir;
    for (const char* name : {"a.pdf", "B.PDF", "c.Pdf", ".pdf", "d.txt", "e.pdfx", "pdf"})
        write_file(dir.path() / name, "x");
    fs::create_directory(dir.path() / "sub.pdf");
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling.pdf");

    const auto entries = pf::list_pdf_entries(dir.str().c_str());
    ASSERT_TRUE(entries);
    std::vector<std::string> files, dirs;
    for (const auto& e : *entries)
        (e.is_dir ? dirs : files).push_back(e.name);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{".pdf", "B.PDF", "a.pdf", "c.Pdf", "dangling.pdf"}));
    EXPECT_EQ(dirs, std::vector<std::string>{"sub.pdf"});

    temp_dir empty;
    const auto none = pf::list_pdf_entries(empty.str().c_str());
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(pf::list_pdf_entries((dir.path() / "missing").c_str()));
    EXPECT_FALSE(pf::list_pdf_entries((dir.path() / "a.pdf").c_str()));
}

TEST(PlatformReadFile, ReadsWholeFilesWithinBounds)
{
    temp_dir dir;
    const std::string data = "%PDF-1.7\nsome bytes\n";
    write_file(dir.path() / "f", data);
    write_file(dir.path() / "empty", "");

    const auto got = pf::read_file((dir.path() / "f").c_str(), data.size());
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(got->begin(), got->end()), data);
    EXPECT_FALSE(pf::read_file((dir.path() / "f").c_str(), data.size() - 1));
    EXPECT_FALSE(pf::read_file((dir.path() / "empty").c_str(), 1000));
    EXPECT_FALSE(pf::read_file((dir.path() / "missing").c_str(), 1000));
    EXPECT_FALSE(pf::read_file(dir.str().c_str(), 1000));
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
        EXPECT_FALSE(pf::read_file(p.c_str(), 1ull << 28));
    }
}

}  // namespace
