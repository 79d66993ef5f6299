// The rename's file operations (mkdir_p, unique_dest, same_file, move_file) and
// the dry-run forms of the rename and the batch.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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
using tavrik_test::narrow;
using tavrik_test::read_file;
using tavrik_test::shm_dir;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

const std::string S(1, tavrik_test::SEP);   // the separator the library inserts
using pf_status = tavrik::platform::move_status;

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

#if defined(_WIN32)
// Backslashes, a drive prefix ("C:\a\b\c": "C:" is never created), and the
// roots of "\\?\C:\..." and "\\server\share\..." that cannot be created level
// by level.
TEST(MkdirP, WindowsPathForms)
{
    temp_dir dir;
    const std::string d = dir.str();
    ASSERT_TRUE(d.size() > 3 && d[1] == ':' && d[2] == '\\') << d;
    const struct {
        std::string path;
        fs::path made;
    } cases[] = {
        {d + "\\a\\b\\c", dir.path() / "a" / "b" / "c"},
        {d + "\\m/n\\o\\\\", dir.path() / "m" / "n" / "o"},
        {d + "/fwd/slash", dir.path() / "fwd" / "slash"},
        {"\\\\?\\" + d + "\\long\\form", dir.path() / "long" / "form"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(tavrik::mkdir_p(c.path.c_str()), 0);
        EXPECT_TRUE(fs::is_directory(c.made));
        EXPECT_EQ(tavrik::mkdir_p(c.path.c_str()), 0);
    }
    EXPECT_EQ(tavrik::mkdir_p(d.substr(0, 3).c_str()), 0);   // "C:\" exists
    EXPECT_EQ(tavrik::mkdir_p(d.substr(0, 2).c_str()), 0);   // "C:", the current directory there
}
#endif

TEST(MkdirP, FailuresAndAPlainFileInTheWay)
{
    temp_dir dir;
    write_file(dir.path() / "file", "x");
    EXPECT_EQ(tavrik::mkdir_p(narrow(dir.path() / "file").c_str()), 0);   // noticed later, by the move
    EXPECT_EQ(tavrik::mkdir_p(narrow(dir.path() / "file" / "sub").c_str()), -1);
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
    EXPECT_EQ(dest, d + S + "Invoice 42.pdf");

    write_file(dir.path() / "Invoice 42.pdf", "other");
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Invoice 42", nullptr, dest));
    EXPECT_EQ(dest, d + S + "Invoice 42-2.pdf");

    fs::create_directory(dir.path() / "Invoice 42-2.pdf");   // a directory counts as taken
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Invoice 42", nullptr, dest));
    EXPECT_EQ(dest, d + S + "Invoice 42-3.pdf");
#if !defined(_WIN32)
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "Invoice 42-3.pdf");
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Invoice 42", nullptr, dest));
    EXPECT_EQ(dest, d + S + "Invoice 42-4.pdf");
#endif
}

TEST(UniqueDest, TheFileItselfIsUsable)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "Report.pdf", "other");
    write_file(dir.path() / "Report-2.pdf", "mine");
    std::string dest;
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Report", (d + S + "Report-2.pdf").c_str(), dest));
    EXPECT_EQ(dest, d + S + "Report-2.pdf");
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "Report", (d + S + "./Report-2.pdf").c_str(), dest));
    EXPECT_EQ(dest, d + S + "Report-2.pdf");
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
    EXPECT_EQ(dest, d + S + "S-999.pdf");
    write_file(dir / "src.pdf", "mine");
    EXPECT_FALSE(tavrik::move_file((d + S + "src.pdf").c_str(), dest.c_str()));
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
    plan.vacated.insert(d + S + "R.pdf");
    plan.taken.insert(d + S + "R-2.pdf");
    std::string dest;
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "R", nullptr, dest, &plan));
    EXPECT_EQ(dest, d + S + "R.pdf");
    plan.vacated.clear();
    ASSERT_TRUE(tavrik::unique_dest(d.c_str(), "R", nullptr, dest, &plan));
    EXPECT_EQ(dest, d + S + "R-3.pdf");
}

TEST(SameFile, IdentityFirstThenTextIgnoringCase)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "a.pdf", "x");
    fs::create_hard_link(dir.path() / "a.pdf", dir.path() / "hard.pdf");
    EXPECT_TRUE(tavrik::same_file((d + S + "a.pdf").c_str(), (d + S + "hard.pdf").c_str()));
#if defined(_WIN32)
    // One file whatever the letter case, found through its identity (the texts
    // differ in more than case).
    EXPECT_TRUE(tavrik::same_file((d + "\\a.pdf").c_str(), (d + "/A.PDF").c_str()));
    write_file(dir.path() / "B.pdf", "x");
    EXPECT_FALSE(tavrik::same_file((d + "\\a.pdf").c_str(), (d + "\\b.pdf").c_str()));
#else
    write_file(dir.path() / "A.PDF", "x");
    EXPECT_FALSE(tavrik::same_file((d + S + "a.pdf").c_str(), (d + S + "A.PDF").c_str()));
#endif
    EXPECT_TRUE(tavrik::same_file((d + S + "Missing.pdf").c_str(), (d + S + "missing.PDF").c_str()));
    EXPECT_TRUE(tavrik::same_file((d + S + "Invoice.pdf").c_str(), (d + S + "invoice.pdf").c_str()));
    EXPECT_FALSE(tavrik::same_file((d + S + "a.pdf").c_str(), (d + S + "b.pdf").c_str()));
}

// ---- move_file -------------------------------------------------------------------------------

TEST(MoveFile, MovesWithinAFileSystemAndNeverReplaces)
{
    temp_dir dir;
    const std::string a = narrow(dir.path() / "a.pdf"), b = narrow(dir.path() / "b.pdf");
    write_file(a, "A");
    write_file(b, "B");
    EXPECT_FALSE(tavrik::move_file(a.c_str(), b.c_str()));
    EXPECT_EQ(read_file(a), "A");
    EXPECT_EQ(read_file(b), "B");
    fs::create_directory(dir.path() / "d.pdf");
    EXPECT_FALSE(tavrik::move_file(a.c_str(), narrow(dir.path() / "d.pdf").c_str()));
    EXPECT_TRUE(fs::is_empty(dir.path() / "d.pdf"));
    EXPECT_TRUE(tavrik::move_file(a.c_str(), narrow(dir.path() / "c.pdf").c_str()));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"b.pdf", "c.pdf", "d.pdf"}));
}

// The copy fall-back through stand-ins for the platform: a rename that answers
// "another device", then the real copy and removal, or a failing copy, or a
// source that cannot be removed.
struct fake_platform {
    static inline pf_status rename_answer = pf_status::cross_device;
    static inline bool copy_fails = false;
    static inline std::string unremovable;
    static inline std::vector<std::string> calls;

    static pf_status rename(const char* from, const char* to) noexcept
    {
        calls.push_back(std::string("rename ") + from + " " + to);
        return rename_answer;
    }
    static bool copy(const char* from, const char* to) noexcept
    {
        calls.push_back(std::string("copy ") + from + " " + to);
        return !copy_fails && tavrik::platform::copy_new_file(from, to);
    }
    static bool remove(const char* path) noexcept
    {
        calls.push_back(std::string("remove ") + path);
        return path != unremovable && tavrik::platform::remove_file(path);
    }
};

TEST(MoveFileWith, CopyFallBackAndItsFailures)
{
    const tavrik::move_ops ops = {&fake_platform::rename, &fake_platform::copy, &fake_platform::remove};
    const struct {
        const char* name;
        pf_status rename_answer;
        bool copy_fails;
        bool source_unremovable;
        bool moved;
        const char* calls;
    } cases[] = {
        {"copied then removed", pf_status::cross_device, false, false, true, "rename copy remove:from"},
        {"copy fails", pf_status::cross_device, true, false, false, "rename copy"},
        {"source stays", pf_status::cross_device, false, true, false, "rename copy remove:from remove:to"},
        {"plain failure", pf_status::failed, false, false, false, "rename"},
        {"renamed", pf_status::moved, false, false, true, "rename"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        temp_dir dir;
        const std::string from = narrow(dir.path() / "scan.pdf"), to = narrow(dir.path() / "Report.pdf");
        const std::string data(150000, 'c');
        write_file(from, data);
        fake_platform::rename_answer = c.rename_answer;
        fake_platform::copy_fails = c.copy_fails;
        fake_platform::unremovable = c.source_unremovable ? from : std::string();
        fake_platform::calls.clear();

        bool copied = true;
        EXPECT_EQ(tavrik::move_file_with(ops, from.c_str(), to.c_str(), &copied), c.moved);
        EXPECT_EQ(copied, c.moved && c.rename_answer == pf_status::cross_device);   // a new file, not the source
        std::string calls;
        for (const auto& call : fake_platform::calls) {
            std::string word = call.substr(0, call.find(' '));
            if (word == "remove")
                word += call == "remove " + from ? ":from" : call == "remove " + to ? ":to" : ":other";
            calls += (calls.empty() ? "" : " ") + word;
        }
        EXPECT_EQ(calls, c.calls);
        if (c.rename_answer == pf_status::moved)
            continue;   // the stand-in moved nothing
        if (c.moved) {
            EXPECT_FALSE(fs::exists(from));
            EXPECT_EQ(read_file(to), data);
        } else {
            EXPECT_EQ(read_file(from), data);
            EXPECT_FALSE(fs::exists(to));
        }
    }
}

// An existing destination is never touched, whatever the rename answered.
TEST(MoveFileWith, CopyNeverReplacesAnExistingDestination)
{
    const tavrik::move_ops ops = {&fake_platform::rename, &fake_platform::copy, &fake_platform::remove};
    temp_dir dir;
    const std::string from = narrow(dir.path() / "scan.pdf"), to = narrow(dir.path() / "Report.pdf");
    write_file(from, "mine");
    write_file(to, "theirs");
    fake_platform::rename_answer = pf_status::cross_device;
    fake_platform::copy_fails = false;
    fake_platform::unremovable.clear();
    EXPECT_FALSE(tavrik::move_file_with(ops, from.c_str(), to.c_str()));
    EXPECT_EQ(read_file(from), "mine");
    EXPECT_EQ(read_file(to), "theirs");
}

class MoveAcrossDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!shm_.other_device_than(disk_.path()))
            GTEST_SKIP() << "no second file system at hand";
    }
    temp_dir disk_;
    shm_dir shm_;
};

TEST_F(MoveAcrossDevices, LeavesOneCompleteCopyAndNoSource)
{
    std::string data(300000, 'p');
    data[123456] = 'q';
    const std::string from = narrow(shm_.path() / "scan.pdf"), to = narrow(disk_.path() / "Report.pdf");
    write_file(from, data);
#if !defined(_WIN32)
    ASSERT_EQ(::chmod(from.c_str(), 0604), 0);
#endif
    ASSERT_TRUE(tavrik::move_file(from.c_str(), to.c_str()));
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(read_file(to), data);
#if !defined(_WIN32)
    EXPECT_EQ(fs::status(to).permissions(), static_cast<fs::perms>(0604));
#endif
}

TEST_F(MoveAcrossDevices, ExistingDestinationOnTheOtherSideStays)
{
    const std::string from = narrow(shm_.path() / "scan.pdf"), to = narrow(disk_.path() / "Report.pdf");
    write_file(from, "mine");
    write_file(to, "theirs");
    EXPECT_FALSE(tavrik::move_file(from.c_str(), to.c_str()));
    EXPECT_EQ(read_file(from), "mine");
    EXPECT_EQ(read_file(to), "theirs");
}

#if !defined(_WIN32)
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
#endif

// ---- dry runs ----------------------------------------------------------------------------------

TEST(DryRun, RenameReportsTheDestinationAndTouchesNothing)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "a.pdf", titled_pdf("Report", "a"));
    write_file(dir.path() / "b.pdf", titled_pdf("Report", "b"));
    const std::string out = d + S + "new/out";
    tavrik::move_plan plan;
    ASSERT_EQ(tavrik::rename_flow((d + S + "a.pdf").c_str(), 0, out.c_str(), &plan), 1);
    EXPECT_EQ(std::string(tavrik::g_suggest_buf), out + S + "Report.pdf");
    EXPECT_STREQ(tavrik::g_last_error, "no error");
    ASSERT_EQ(tavrik::rename_flow((d + S + "b.pdf").c_str(), 0, out.c_str(), &plan), 1);
    EXPECT_EQ(std::string(tavrik::g_suggest_buf), out + S + "Report-2.pdf");
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
                             d + S + "Report.pdf -> " + d + S + "Other.pdf",
                             d + S + "a.pdf -> " + d + S + "Report.pdf",
                             d + S + "b.pdf -> " + d + S + "Report-2.pdf",
                             d + S + "bad.pdf: failed to parse PDF: " + d + S + "bad.pdf (not a PDF or unreadable)",
                         }));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"Report.pdf", "a.pdf", "b.pdf", "bad.pdf"}));

    // The real batch does the same.
    EXPECT_EQ(tavrik::batch_flow(d.c_str(), nullptr, 0), 3);
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"Other.pdf", "Report-2.pdf", "Report.pdf", "bad.pdf"}));
    EXPECT_EQ(read_file(dir.path() / "Report.pdf"), titled_pdf("Report", "a"));
}

}  // namespace

namespace {

// Files removed after the listing, before their turn: passed over, neither
// counted nor reported, whether or not they would have parsed.
TEST(Batch, FilesGoneSinceTheListingArePassedOver)
{
    temp_dir dir;
    const std::string d = dir.str();
    write_file(dir.path() / "a.pdf", titled_pdf("First"));
    write_file(dir.path() / "b.pdf", titled_pdf("Second"));
    write_file(dir.path() / "c.pdf", "not a pdf");
    write_file(dir.path() / "d.pdf", titled_pdf("Fourth"));
    struct seen {
        fs::path dir;
        std::vector<std::string> paths;
    } log{dir.path(), {}};
    const auto report = [](const char* path, const char*, const char*, void* user) {
        auto& s = *static_cast<seen*>(user);
        s.paths.push_back(fs::path(path).filename().string());
        if (s.paths.size() == 1) {
            fs::remove(s.dir / "b.pdf");
            fs::remove(s.dir / "c.pdf");
        }
    };
    EXPECT_EQ(tavrik::batch_flow(d.c_str(), nullptr, 0, nullptr, report, &log), 2);
    EXPECT_STREQ(tavrik::g_last_error, "renamed 2 file(s)");
    EXPECT_EQ(log.paths, (std::vector<std::string>{"a.pdf", "d.pdf"}));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"First.pdf", "Fourth.pdf"}));
}

}  // namespace
