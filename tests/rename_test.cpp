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
namespace pf = tavrik::platform;
using pf_status = pf::move_status;

std::string titled_pdf(const std::string& title, const std::string& id = "")
{
    std::string info = "/Title " + tavrik_test::pdf_literal(title);
    if (!id.empty())
        info += " /Subject " + tavrik_test::pdf_literal(id);
    return tavrik_test::simple_pdf("", info);
}

// Whether copies into dir are made without any name (Linux, where the file
// system allows it and /proc lets them be named), rather than under a hidden one.
bool unnamed_copies_in(const fs::path& dir)
{
#if defined(__linux__) && defined(O_TMPFILE)
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return fs::exists("/proc/self/fd");
#else
    (void)dir;
    return false;
#endif
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

// The move across file systems through stand-ins for the platform that log each
// step and can make any one of them fail; the real operations do the work, so
// that the files show the outcome. The rename always answers "another device"
// unless told otherwise, which reaches the copy within one temporary directory.
struct fake_platform {
    static inline pf_status rename_answer = pf_status::cross_device;
    static inline std::string failing;   // the step that fails, as logged
    static inline bool hidden = false;   // copies under a hidden name, not unnamed
    static inline std::string from, to;
    static inline std::vector<std::string> calls;
    static inline std::vector<std::string> seen_before_naming;   // names in the directory

    static std::string which(const char* path) { return path == from ? ":from" : path == to ? ":to" : ":other"; }
    static bool step(const std::string& name)
    {
        calls.push_back(name);
        return name != failing;
    }
    static pf_status rename(const char*, const char*) noexcept
    {
        calls.push_back("rename");
        return rename_answer;
    }
    static bool stage(const char* f, const char* t, pf::staged_file& staged) noexcept
    {
        // A copy that fails midway has made its file already: what remains of it
        // must go.
        const bool done = hidden ? pf::stage_copy_hidden(f, t, staged) : pf::stage_copy(f, t, staged);
        return step("copy") && done;
    }
    static bool flush(pf::staged_file& staged) noexcept { return step("flush") && pf::flush_staged(staged); }
    static bool name(pf::staged_file& staged, const char* t) noexcept
    {
        seen_before_naming = names_in(fs::path(to).parent_path());
        return step("link") && pf::name_staged(staged, t);
    }
    static bool flush_dir(const char* path) noexcept
    {
        return step("flush-dir" + which(path)) && pf::flush_dir_of(path);
    }
    static bool remove(const char* path) noexcept { return step("remove" + which(path)) && pf::remove_file(path); }
    static bool unname(pf::staged_file& staged) noexcept { return step("unname") && pf::unname_staged(staged); }
    static void discard(pf::staged_file& staged) noexcept
    {
        calls.push_back("discard");
        pf::discard_staged(staged);
    }
    static constexpr tavrik::move_ops ops = {&rename, &stage,  &flush,  &name,
                                             &flush_dir, &remove, &unname, &discard};

    static void reset(const std::string& f, const std::string& t)
    {
        rename_answer = pf_status::cross_device;
        failing.clear();
        from = f;
        to = t;
        calls.clear();
        seen_before_naming.clear();
    }
    static std::string log()
    {
        std::string out;
        for (const auto& c : calls)
            out += (out.empty() ? "" : " ") + c;
        return out;
    }
};

// The steps in their order, and a fault at each one: the copy has no visible
// name until it is complete and flushed, the source goes only once the new name
// is on the disk, and every failure keeps the source and leaves no copy.
TEST(MoveFileWith, StepsInOrderAndAFaultAtEach)
{
    const std::string full = "rename copy flush link flush-dir:to remove:from discard flush-dir:from";
    const struct {
        const char* failing;
        pf_status rename_answer;
        bool moved;
        const char* calls;
    } cases[] = {
        {"", pf_status::cross_device, true, full.c_str()},
        {"copy", pf_status::cross_device, false, "rename copy discard"},
        {"flush", pf_status::cross_device, false, "rename copy flush discard"},
        {"link", pf_status::cross_device, false, "rename copy flush link discard"},
        {"flush-dir:to", pf_status::cross_device, false, "rename copy flush link flush-dir:to unname discard"},
        {"remove:from", pf_status::cross_device, false,
         "rename copy flush link flush-dir:to remove:from unname discard"},
        // The document lives at its new name alone by then: the move is done.
        {"flush-dir:from", pf_status::cross_device, true, full.c_str()},
        {"", pf_status::failed, false, "rename"},
        {"", pf_status::moved, true, "rename"},
    };
    for (const bool hidden : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(hidden ? "hidden copy, " : "unnamed copy, ") + "failing: " + c.failing);
            temp_dir dir;
            const std::string from = narrow(dir.path() / "scan.pdf"), to = narrow(dir.path() / "Report.pdf");
            std::string data(150000, 'c');
            data[140000] = 'd';
            write_file(from, data);
            fake_platform::reset(from, to);
            fake_platform::hidden = hidden;
            fake_platform::failing = c.failing;
            fake_platform::rename_answer = c.rename_answer;

            bool copied = !c.moved;
            EXPECT_EQ(tavrik::move_file_with(fake_platform::ops, from.c_str(), to.c_str(), &copied), c.moved);
            EXPECT_EQ(copied, c.moved && c.rename_answer == pf_status::cross_device);   // a new file
            EXPECT_EQ(fake_platform::log(), c.calls);
            if (c.rename_answer != pf_status::cross_device)
                continue;   // the stand-in moved nothing
            if (std::string(c.calls).find("link") != std::string::npos) {
                // Only the source, and a hidden name that is no PDF name, before naming.
                ASSERT_FALSE(fake_platform::seen_before_naming.empty());
                EXPECT_EQ(fake_platform::seen_before_naming.back(), "scan.pdf");
                EXPECT_EQ(fake_platform::seen_before_naming.size(), hidden || !unnamed_copies_in(dir.path()) ? 2u : 1u);
                for (const auto& n : fake_platform::seen_before_naming)
                    EXPECT_TRUE(n == "scan.pdf" || (n.rfind(pf::HIDDEN_TEMP_PREFIX, 0) == 0 &&
                                                    !pf::is_pdf_name(n.c_str())))
                        << n;
            }
            EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{c.moved ? "Report.pdf" : "scan.pdf"});
            EXPECT_EQ(read_file(c.moved ? to : from), data);
        }
    }
}

// An existing destination is never touched, and nothing of the copy stays.
TEST(MoveFileWith, CopyNeverReplacesAnExistingDestination)
{
    for (const bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "hidden copy" : "unnamed copy");
        temp_dir dir;
        const std::string from = narrow(dir.path() / "scan.pdf"), to = narrow(dir.path() / "Report.pdf");
        write_file(from, "mine");
        write_file(to, "theirs");
        fake_platform::reset(from, to);
        fake_platform::hidden = hidden;
        EXPECT_FALSE(tavrik::move_file_with(fake_platform::ops, from.c_str(), to.c_str()));
        EXPECT_EQ(fake_platform::log(), "rename copy flush link discard");
        EXPECT_EQ(read_file(from), "mine");
        EXPECT_EQ(read_file(to), "theirs");
        EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"Report.pdf", "scan.pdf"}));
    }
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
    EXPECT_TRUE(fs::is_empty(disk_.path()));   // nor any part of the copy
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
    EXPECT_TRUE(fs::is_empty(shm_.path()));
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
    const auto report = [](const tavrik::batch_event& e, void* user) {
        static_cast<seen*>(user)->lines.push_back(std::string(e.path) + (e.dest ? " -> " + std::string(e.dest)
                                                                                : ": " + std::string(e.message)));
        return true;
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
    const auto report = [](const tavrik::batch_event& e, void* user) {
        auto& s = *static_cast<seen*>(user);
        s.paths.push_back(fs::path(e.path).filename().string());
        if (s.paths.size() == 1) {
            fs::remove(s.dir / "b.pdf");
            fs::remove(s.dir / "c.pdf");
        }
        return true;
    };
    EXPECT_EQ(tavrik::batch_flow(d.c_str(), nullptr, 0, nullptr, report, &log), 2);
    EXPECT_STREQ(tavrik::g_last_error, "renamed 2 file(s)");
    EXPECT_EQ(log.paths, (std::vector<std::string>{"a.pdf", "d.pdf"}));
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"First.pdf", "Fourth.pdf"}));
}

}  // namespace

namespace {

// ---- trees -----------------------------------------------------------------------------------

struct tree_log {
    std::vector<std::string> lines;
    int stop_after = -1;   // stop the batch after this many reports
    static bool add(const tavrik::batch_event& e, void* self)
    {
        auto& log = *static_cast<tree_log*>(self);
        log.lines.push_back(std::string(e.path) + (e.dest != nullptr ? " -> " + std::string(e.dest)
                                                                      : ": " + std::string(e.message)));
        return log.stop_after < 0 || static_cast<int>(log.lines.size()) < log.stop_after;
    }
};

// Every file in the tree, by its path below top (separators as '/'), sorted.
std::vector<std::string> files_below(const fs::path& top)
{
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it)
        if (!it->is_directory())
            out.push_back(it->path().lexically_relative(top).generic_string());
    std::sort(out.begin(), out.end());
    return out;
}

class Tree : public ::testing::Test {
protected:
    void SetUp() override
    {
        top_ = dir_.path() / "tree";
        for (const char* d : {"2023/q1", "2023/q2", "papers", "empty/deeper"})
            fs::create_directories(top_ / d);
        write_file(top_ / "loose.pdf", titled_pdf("Stray"));
        write_file(top_ / "2023" / "q1" / "s1.pdf", titled_pdf("Invoice"));
        write_file(top_ / "2023" / "q1" / "s2.pdf", titled_pdf("Invoice", "2"));
        write_file(top_ / "2023" / "q2" / "bad.pdf", "not a pdf");
        write_file(top_ / "papers" / "p.pdf", titled_pdf("Paper"));
        write_file(top_ / "papers" / "notes.txt", "notes");
    }
    std::string t(const std::string& rel) const { return narrow(top_) + rel; }
    temp_dir dir_;
    fs::path top_;
};

// In place: each folder's files renamed in that folder, every one counted; folders
// are taken depth first in byte order.
TEST_F(Tree, RenamesEveryFolderInPlace)
{
    tree_log log;
    EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), nullptr, 0, nullptr, &tree_log::add, &log), 4);
    EXPECT_STREQ(tavrik::g_last_error, "renamed 4 file(s), 1 failed");
    const std::string s = S;
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             t(s + "loose.pdf -> ") + t(s + "Stray.pdf"),
                             t(s + "2023" + s + "q1" + s + "s1.pdf -> ") + t(s + "2023" + s + "q1" + s + "Invoice.pdf"),
                             t(s + "2023" + s + "q1" + s + "s2.pdf -> ") +
                                 t(s + "2023" + s + "q1" + s + "Invoice-2.pdf"),
                             t(s + "2023" + s + "q2" + s + "bad.pdf: failed to parse PDF: ") +
                                 t(s + "2023" + s + "q2" + s + "bad.pdf (not a PDF or unreadable)"),
                             t(s + "papers" + s + "p.pdf -> ") + t(s + "papers" + s + "Paper.pdf"),
                         }));
    EXPECT_EQ(files_below(top_), (std::vector<std::string>{"2023/q1/Invoice-2.pdf", "2023/q1/Invoice.pdf",
                                                           "2023/q2/bad.pdf", "Stray.pdf", "papers/Paper.pdf",
                                                           "papers/notes.txt"}));
}

// With an output folder: the same relative folders below it, made only where
// there is something to move; an output folder inside the tree is not walked,
// so a second run moves nothing again.
TEST_F(Tree, KeepsRelativeFoldersBelowTheOutputFolder)
{
    for (const fs::path& out : {dir_.path() / "sorted", top_ / "sorted"}) {
        SCOPED_TRACE(narrow(out));
        SetUp();
        tree_log log;
        EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), narrow(out).c_str(), 0, nullptr, &tree_log::add, &log),
                  4);
        EXPECT_EQ(files_below(out), (std::vector<std::string>{"2023/q1/Invoice-2.pdf", "2023/q1/Invoice.pdf",
                                                              "Stray.pdf", "papers/Paper.pdf"}));
        EXPECT_FALSE(fs::exists(out / "empty"));
        log.lines.clear();
        EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), narrow(out).c_str(), 0, nullptr, &tree_log::add, &log),
                  0);
        EXPECT_STREQ(tavrik::g_last_error, ("no PDFs could be renamed in " + narrow(top_)).c_str());
        EXPECT_EQ(log.lines.size(), 1u);   // bad.pdf once more
        fs::remove_all(out);
    }
}

#if !defined(_WIN32)
// A link to a folder is not followed, within the tree or out of it.
TEST_F(Tree, DoesNotFollowSymbolicLinks)
{
    temp_dir elsewhere;
    write_file(elsewhere.path() / "outside.pdf", titled_pdf("Outside"));
    fs::create_directory_symlink(elsewhere.path(), top_ / "link-out");
    fs::create_directory_symlink(top_ / "papers", top_ / "2023" / "link-in");
    // A link to a file is a file of its folder, as in a flat batch: the link moves.
    write_file(dir_.path() / "far.pdf", titled_pdf("Far"));
    fs::create_symlink(dir_.path() / "far.pdf", top_ / "papers" / "link.pdf");
    tree_log log;
    EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), narrow(dir_.path() / "out").c_str(), 0, nullptr,
                                &tree_log::add, &log),
              5);
    EXPECT_EQ(files_below(dir_.path() / "out"),
              (std::vector<std::string>{"2023/q1/Invoice-2.pdf", "2023/q1/Invoice.pdf", "Stray.pdf",
                                        "papers/Far.pdf", "papers/Paper.pdf"}));
    EXPECT_TRUE(fs::exists(elsewhere.path() / "outside.pdf"));
    EXPECT_TRUE(fs::is_symlink(dir_.path() / "out" / "papers" / "Far.pdf"));
    EXPECT_TRUE(fs::exists(dir_.path() / "far.pdf"));
}
#endif

TEST_F(Tree, SummariesAndADryRun)
{
    tavrik::move_plan plan;
    tree_log log;
    EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), narrow(dir_.path() / "out").c_str(), 0, &plan,
                                &tree_log::add, &log),
              4);
    EXPECT_STREQ(tavrik::g_last_error, "renamed 4 file(s), 1 failed");
    EXPECT_EQ(log.lines.size(), 5u);
    EXPECT_FALSE(fs::exists(dir_.path() / "out"));
    EXPECT_EQ(files_below(top_).size(), 6u);

    EXPECT_EQ(tavrik::tree_flow(narrow(top_ / "empty").c_str(), nullptr, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(tavrik::g_last_error, ("no PDF files found in " + narrow(top_ / "empty")).c_str());
    EXPECT_EQ(tavrik::tree_flow(narrow(top_ / "missing").c_str(), nullptr, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(tavrik::g_last_error, ("cannot open directory: " + narrow(top_ / "missing")).c_str());
    EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), nullptr, 7, nullptr, nullptr, nullptr), 0);
    EXPECT_STREQ(tavrik::g_last_error, "invalid strategy 7");
}

// A report that asks to stop (the journal could not be written) ends the batch
// after that file, also across folders.
TEST_F(Tree, AReportCanStopTheBatch)
{
    tree_log log;
    log.stop_after = 2;
    EXPECT_EQ(tavrik::tree_flow(narrow(top_).c_str(), nullptr, 0, nullptr, &tree_log::add, &log), 2);
    EXPECT_EQ(log.lines.size(), 2u);
    EXPECT_TRUE(fs::exists(top_ / "2023" / "q1" / "s2.pdf"));
    EXPECT_TRUE(fs::exists(top_ / "papers" / "p.pdf"));
}

}  // namespace
