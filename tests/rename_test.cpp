// The rename's file operations (mkdir_p, unique_dest, same_file, move_file) and
// the dry-run forms of the rename and the batch.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "naming.h"
#include "pdf_builder.h"
#include "rename.h"

namespace {

namespace fs = std::filesystem;
using tavrik_test::read_file;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

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

std::string titled_pdf(const std::string& title, const std::string& id = "")
{
    std::string info = "/Title " + tavrik_test::pdf_literal(title);
    if (!id.empty())
        info += " /Subject " + tavrik_test::pdf_literal(id);
    return tavrik_test::simple_pdf("", info);
}

std::vector<std::string> names_in(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// ---- mkdir_p -------------------------------------------------------------------------

TEST(MkdirP, CreatesEveryLevel)
{
    temp_dir dir;
    const std::string nested = dir.str() + "/a/b/c";
    EXPECT_EQ(tavrik::mkdir_p(nested.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_EQ(tavrik::mkdir_p(nested.c_str()), 0);
    EXPECT_EQ(tavrik::mkdir_p((dir.str() + "/x/y///").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir.path() / "x" / "y"));
    EXPECT_EQ(tavrik::mkdir_p("/"), 0);
}

TEST(MkdirP, FailuresAndAPlainFileInTheWay)
{
    temp_dir dir;
    write_file(dir.path() / "file", "x");
    EXPECT_EQ(tavrik::mkdir_p((dir.path() / "file").c_str()), 0);   // noticed later, by the move
    EXPECT_EQ(tavrik::mkdir_p((dir.path() / "file" / "sub").c_str()), -1);
    EXPECT_EQ(tavrik::mkdir_p(""), -1);
    EXPECT_EQ(tavrik::mkdir_p(nullptr), -1);
    // Too long to copy whole: refused, never cut into another directory.
    const std::string long_dir = dir.str() + "/" + std::string(tavrik::DIR_PATH_BYTES, 'd');
    EXPECT_EQ(tavrik::mkdir_p(long_dir.c_str()), -1);
}

// ---- unique_dest and same_file -------------------------------------------------------------

TEST(UniqueDest, TakesTheFirstFreeCandidate)
{
    temp_dir dir;
    const std::string d = dir.str();
    std::string dest;
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Invoice 42", nullptr, dest));
    EXPECT_EQ(dest, d + "/Invoice 42.pdf");

    write_file(dir.path() / "Invoice 42.pdf", "other");
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Invoice 42", nullptr, dest));
    EXPECT_EQ(dest, d + "/Invoice 42-2.pdf");

    fs::create_directory(dir.path() / "Invoice 42-2.pdf");   // a directory counts as taken
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "Invoice 42-3.pdf");
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Invoice 42", nullptr, dest));
    EXPECT_EQ(dest, d + "/Invoice 42-4.pdf");
}

TEST(UniqueDest, TheFileItselfIsUsable)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "Report.pdf", "other");
    write_file(dir.path() / "Report-2.pdf", "mine");
    std::string dest;
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Report", (d + "/Report-2.pdf").c_str(), dest));
    EXPECT_EQ(dest, d + "/Report-2.pdf");
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Report", (d + "/./Report-2.pdf").c_str(), dest));
    EXPECT_EQ(dest, d + "/Report-2.pdf");
}

TEST(UniqueDest, GivesTheLastCandidateWhenAllAreTaken)
{
    temp_dir disk;
    shm_dir shm;   // many files: on the RAM file system where there is one
    const fs::path dir = shm.path().empty() ? disk.path() : shm.path();
    const std::string d = dir.string();
    write_file(dir / "S.pdf", "0");
    for (int i = 2; i <= tavrik::MAX_NAME_COUNTER; ++i)
        write_file(dir / ("S-" + std::to_string(i) + ".pdf"), std::to_string(i));
    std::string dest;
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "S", nullptr, dest));
    EXPECT_EQ(dest, d + "/S-999.pdf");
    write_file(dir / "src.pdf", "mine");
    EXPECT_FALSE(tavrik::move_file((d + "/src.pdf").c_str(), dest.c_str()));
    EXPECT_EQ(read_file(dest), "999");
    EXPECT_EQ(read_file(dir / "src.pdf"), "mine");
}

TEST(UniqueDest, RefusesADestinationThatDoesNotFit)
{
    const std::string dir(tavrik::DEST_PATH_BYTES - 8, 'd');
    std::string dest;
    EXPECT_TRUE(tavrik::unique_dest(dir.c_str(), "", nullptr, dest));   // "/.pdf" just fits
    EXPECT_EQ(dest.size(), tavrik::DEST_PATH_BYTES - 3);
    EXPECT_FALSE(tavrik::unique_dest(dir.c_str(), "abc", nullptr, dest));
    EXPECT_EQ(dest.size(), tavrik::DEST_PATH_BYTES);
}

TEST(UniqueDest, APlanCountsItsOwnMoves)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "R.pdf", "x");
    tavrik::move_plan plan;
    plan.vacated.insert(d + "/R.pdf");
    plan.taken.insert(d + "/R-2.pdf");
    std::string dest;
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "R", nullptr, dest, &plan));
    EXPECT_EQ(dest, d + "/R.pdf");
    plan.vacated.clear();
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "R", nullptr, dest, &plan));
    EXPECT_EQ(dest, d + "/R-3.pdf");
}

TEST(SameFile, IdentityFirstThenTextIgnoringCase)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "a.pdf", "x");
    write_file(dir.path() / "A.PDF", "x");
    fs::create_hard_link(dir.path() / "a.pdf", dir.path() / "hard.pdf");
    EXPECT_TRUE(tavrik::same_file((d + "/a.pdf").c_str(), (d + "/hard.pdf").c_str()));
    EXPECT_FALSE(tavrik::same_file((d + "/a.pdf").c_str(), (d + "/A.PDF").c_str()));
    EXPECT_TRUE(tavrik::same_file((d + "/Missing.pdf").c_str(), (d + "/missing.PDF").c_str()));
    EXPECT_TRUE(tavrik::same_file((d + "/Invoice.pdf").c_str(), (d + "/invoice.pdf").c_str()));
    EXPECT_FALSE(tavrik::same_file((d + "/a.pdf").c_str(), (d + "/b.pdf").c_str()));
}

// ---- move_file -------------------------------------------------------------------------------

TEST(MoveFile, MovesWithinAFileSystemAndNeverReplaces)
{
    temp_dir dir;
    const auto a = dir.path() / "a.pdf", b = dir.path() / "b.pdf";
    write_file(a, "A");
    write_file(b, "B");
    EXPECT_FALSE(tavrik::move_file(a.c_str(), b.c_str()));
    EXPECT_EQ(read_file(a), "A");
    EXPECT_EQ(read_file(b), "B");
    EXPECT_TRUE(tavrik::move_file(a.c_str(), (dir.path() / "c.pdf").c_str()));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"b.pdf", "c.pdf"}));
}

class MoveAcrossDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!shm_.other_device_than(disk_.path()))
            GTEST_SKIP() << "/dev/shm is not a separate file system here";
    }
    temp_dir disk_;
    shm_dir shm_;
};

TEST_F(MoveAcrossDevices, LeavesOneCompleteCopyAndNoSource)
{
    std::string data(300000, 'p');
    data[123456] = 'q';
    const auto from = shm_.path() / "scan.pdf", to = disk_.path() / "Report.pdf";
    write_file(from, data);
    ASSERT_EQ(::chmod(from.c_str(), 0604), 0);
    ASSERT_TRUE(tavrik::move_file(from.c_str(), to.c_str()));
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(read_file(to), data);
    EXPECT_EQ(fs::status(to).permissions(), static_cast<fs::perms>(0604));
}

TEST_F(MoveAcrossDevices, ExistingDestinationOnTheOtherSideStays)
{
    const auto from = shm_.path() / "scan.pdf", to = disk_.path() / "Report.pdf";
    write_file(from, "mine");
    write_file(to, "theirs");
    EXPECT_FALSE(tavrik::move_file(from.c_str(), to.c_str()));
    EXPECT_EQ(read_file(from), "mine");
    EXPECT_EQ(read_file(to), "theirs");
}

// The copy cannot be completed (the file-size limit stops the write): the source
// stays and no partial destination is left. Runs in a child, which owns the limit.
TEST_F(MoveAcrossDevices, IncompleteCopyLeavesSourceAndNoDestination)
{
    const auto from = shm_.path() / "scan.pdf", to = disk_.path() / "Report.pdf";
    const std::string data(200000, 'z');
    write_file(from, data);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit = {70000, 70000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(tavrik::move_file(from.c_str(), to.c_str()) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the move claimed success";
    EXPECT_EQ(read_file(from), data);
    EXPECT_FALSE(fs::exists(to));
}

// The source cannot be removed after a complete copy (its directory is
// append-only): the copy is removed again and the move fails.
TEST_F(MoveAcrossDevices, UnremovableSourceRemovesTheCopy)
{
    const auto src_dir = disk_.path() / "locked";
    fs::create_directory(src_dir);
    const auto from = src_dir / "scan.pdf", to = shm_.path() / "Report.pdf";
    write_file(from, "content");
    const int fd = ::open(src_dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    const bool locked = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                        (flags |= FS_APPEND_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (!locked) {
        ::close(fd);
        GTEST_SKIP() << "cannot make a directory append-only here";
    }
    const bool moved = tavrik::move_file(from.c_str(), to.c_str());
    flags &= ~FS_APPEND_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
    EXPECT_FALSE(moved);
    EXPECT_EQ(read_file(from), "content");
    EXPECT_FALSE(fs::exists(to));
}

// ---- dry runs ----------------------------------------------------------------------------------

TEST(DryRun, RenameReportsTheDestinationAndTouchesNothing)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "a.pdf", titled_pdf("Report", "a"));
    write_file(dir.path() / "b.pdf", titled_pdf("Report", "b"));
    const std::string out = d + "/new/out";
    tavrik::move_plan plan;
    ASSERT_EQ(tavrik::rename_flow((d + "/a.pdf").c_str(), 0, out.c_str(), &plan), 1);
    EXPECT_EQ(std::string(tavrik::g_suggest_buf), out + "/Report.pdf");
    EXPECT_STREQ(tavrik::g_last_error, "no error");
    ASSERT_EQ(tavrik::rename_flow((d + "/b.pdf").c_str(), 0, out.c_str(), &plan), 1);
    EXPECT_EQ(std::string(tavrik::g_suggest_buf), out + "/Report-2.pdf");
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a.pdf", "b.pdf"}));
}

TEST(DryRun, BatchReportsEveryFileInOrderAndTouchesNothing)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "b.pdf", titled_pdf("Report", "b"));
    write_file(dir.path() / "a.pdf", titled_pdf("Report", "a"));
    write_file(dir.path() / "Report.pdf", titled_pdf("Other", "r"));
    write_file(dir.path() / "bad.pdf", "not a pdf");
    struct seen {
        std::vector<std::string> lines;
    } log;
    const auto report = [](const char* path, const char* dest, const char* message, void* user) {
        static_cast<seen*>(user)->lines.push_back(std::string(path) + (dest ? " -> " + std::string(dest)
                                                                            : ": " + std::string(message)));
    };
    tavrik::move_plan plan;
    EXPECT_EQ(tavrik::batch_flow(d.c_str(), nullptr, 0, &plan, report, &log), 3);
    EXPECT_STREQ(tavrik::g_last_error, "renamed 3 file(s), 1 failed");
    // Report.pdf moves away to Other.pdf first, which frees its name for a.pdf.
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             d + "/Report.pdf -> " + d + "/Other.pdf",
                             d + "/a.pdf -> " + d + "/Report.pdf",
                             d + "/b.pdf -> " + d + "/Report-2.pdf",
                             d + "/bad.pdf: failed to parse PDF: " + d + "/bad.pdf (not a PDF or unreadable)",
                         }));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"Report.pdf", "a.pdf", "b.pdf", "bad.pdf"}));

    // The real batch does the same.
    EXPECT_EQ(tavrik::batch_flow(d.c_str(), nullptr, 0), 3);
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"Other.pdf", "Report-2.pdf", "Report.pdf", "bad.pdf"}));
    EXPECT_EQ(read_file(dir.path() / "Report.pdf"), titled_pdf("Report", "a"));
}

}  // namespace
