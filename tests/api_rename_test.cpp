// Renaming through the exported functions: the single rename's outcomes, the
// directory batch, safety against overwriting (also with several processes at
// once and across file systems), and the tavrik command.
#include <gtest/gtest.h>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "json_lite.h"
#include "pdf_builder.h"
#include "tavrik.h"

namespace {

namespace fs = std::filesystem;
using tavrik_test::narrow;
using tavrik_test::read_file;
using tavrik_test::shm_dir;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

const std::string S(1, tavrik_test::SEP);   // the separator the library inserts

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

std::vector<std::string> contents_in(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            out.push_back(read_file(e.path()));
    std::sort(out.begin(), out.end());
    return out;
}

// Runs with the working directory set to a fresh temporary directory.
class in_dir {
public:
    explicit in_dir(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
    ~in_dir() { fs::current_path(old_); }
    in_dir(const in_dir&) = delete;
    in_dir& operator=(const in_dir&) = delete;

private:
    fs::path old_;
};

// ---- single rename: the outcome table --------------------------------------------------------

class ApiRename : public ::testing::Test {
protected:
    void SetUp() override
    {
        d_ = dir_.str();
        in_ = d_ + S + "scan001.pdf";
        write_file(in_, titled_pdf("Invoice 42"));
    }
    // A known result left by an earlier call, to see that a call keeps it.
    static void leave_result(const std::string& path)
    {
        ASSERT_STREQ(tavrik_suggest(path.c_str(), 0), "Invoice 42.pdf");
    }
    temp_dir dir_;
    std::string d_;
    std::string in_;
};

TEST_F(ApiRename, ArgumentErrorsKeepTheResultBuffer)
{
    struct {
        const char* path;
        int strategy;
        const char* message;
    } cases[] = {
        {nullptr, 0, "input_path is NULL or empty"},
        {"", 0, "input_path is NULL or empty"},
        {nullptr, 9, "input_path is NULL or empty"},
        {"x.pdf", 3, "invalid strategy 3"},
        {"x.pdf", -1, "invalid strategy -1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        leave_result(in_);
        EXPECT_EQ(tavrik_rename(c.path, c.strategy, nullptr), 0);
        EXPECT_STREQ(tavrik_last_error(), c.message);
        EXPECT_STREQ(tavrik_last_result_path(), "Invoice 42.pdf");
    }
}

TEST_F(ApiRename, SuggestFailureEmptiesTheResult)
{
    leave_result(in_);
    const std::string bad = d_ + S + "bad.pdf";
    write_file(bad, "plain text");
    EXPECT_EQ(tavrik_rename(bad.c_str(), 0, nullptr), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "failed to parse PDF: " + bad + " (not a PDF or unreadable)");
    EXPECT_STREQ(tavrik_last_result_path(), "");
    EXPECT_TRUE(fs::exists(bad));
}

TEST_F(ApiRename, DirectoryThatCannotBeCreated)
{
    write_file(dir_.path() / "blocker", "x");
    const std::string out = d_ + S + "blocker/sub";
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, out.c_str()), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "cannot create output directory: " + out);
    EXPECT_STREQ(tavrik_last_result_path(), "Invoice 42.pdf");
    EXPECT_TRUE(fs::exists(in_));
}

// A plain file where the output directory should be passes the directory step;
// the move then fails and nothing is overwritten.
TEST_F(ApiRename, PlainFileInPlaceOfTheOutputDirectory)
{
    const std::string out = d_ + S + "out";
    write_file(out, "not a directory");
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, out.c_str()), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "failed to move " + in_ + " -> " + out + S + "Invoice 42.pdf");
    EXPECT_STREQ(tavrik_last_result_path(), "Invoice 42.pdf");
    EXPECT_EQ(read_file(out), "not a directory");
    EXPECT_TRUE(fs::exists(in_));
}

TEST_F(ApiRename, MovesThenFindsItAlreadyNamed)
{
    const std::string want = d_ + S + "Invoice 42.pdf";
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "no error");
    EXPECT_EQ(std::string(tavrik_last_result_path()), want);
    EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"Invoice 42.pdf"});

    EXPECT_EQ(tavrik_rename(want.c_str(), 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "already named correctly");
    EXPECT_EQ(std::string(tavrik_last_result_path()), want);
    EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"Invoice 42.pdf"});
}

TEST_F(ApiRename, TakenNamesGetACounterAndKeepTheirFiles)
{
    write_file(dir_.path() / "Invoice 42.pdf", "first");
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, nullptr), 1);
    EXPECT_EQ(std::string(tavrik_last_result_path()), d_ + S + "Invoice 42-2.pdf");
    EXPECT_EQ(read_file(dir_.path() / "Invoice 42.pdf"), "first");

    // The numbered file is already named correctly while the plain name is taken.
    EXPECT_EQ(tavrik_rename((d_ + S + "Invoice 42-2.pdf").c_str(), 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "already named correctly");

    const std::string next = d_ + S + "next.pdf";
    write_file(next, titled_pdf("Invoice 42", "another"));
    EXPECT_EQ(tavrik_rename(next.c_str(), 0, nullptr), 1);
    EXPECT_EQ(std::string(tavrik_last_result_path()), d_ + S + "Invoice 42-3.pdf");
}

TEST_F(ApiRename, ADirectoryInTheWayCountsAsTaken)
{
    fs::create_directory(dir_.path() / "Invoice 42.pdf");
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, nullptr), 1);
    EXPECT_EQ(std::string(tavrik_last_result_path()), d_ + S + "Invoice 42-2.pdf");
    EXPECT_TRUE(fs::is_directory(dir_.path() / "Invoice 42.pdf"));
}

TEST_F(ApiRename, AllNineHundredNinetyNineTakenFailsWithoutOverwriting)
{
    shm_dir shm;
    const fs::path dir = shm.path().empty() ? dir_.path() : shm.path();
    const std::string d = dir.string(), in = d + S + "scan001.pdf";
    write_file(in, titled_pdf("Invoice 42"));
    write_file(dir / "Invoice 42.pdf", "taken 1");
    for (int i = 2; i <= 999; ++i)
        write_file(dir / ("Invoice 42-" + std::to_string(i) + ".pdf"), "taken " + std::to_string(i));
    EXPECT_EQ(tavrik_rename(in.c_str(), 0, nullptr), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "failed to move " + in + " -> " + d + S + "Invoice 42-999.pdf");
    EXPECT_STREQ(tavrik_last_result_path(), "Invoice 42.pdf");
    EXPECT_EQ(read_file(dir / "Invoice 42-999.pdf"), "taken 999");
    EXPECT_EQ(read_file(dir / "Invoice 42.pdf"), "taken 1");
    EXPECT_TRUE(fs::exists(in));
}

// On a case-sensitive file system the suggested name does not exist; the text
// comparison ignoring letter case still finds the file itself.
TEST_F(ApiRename, NameDifferingOnlyInCaseIsAlreadyCorrect)
{
    const std::string lower = d_ + S + "invoice 42.PDF";
    fs::rename(in_, lower);
    EXPECT_EQ(tavrik_rename(lower.c_str(), 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "already named correctly");
    EXPECT_EQ(std::string(tavrik_last_result_path()), d_ + S + "Invoice 42.pdf");
    EXPECT_EQ(names_in(dir_.path()), std::vector<std::string>{"invoice 42.PDF"});
}

TEST_F(ApiRename, OutputDirectoriesAreCreatedAndUsedAsGiven)
{
    const std::string out = d_ + S + "a/b/c/";
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, out.c_str()), 1);
    EXPECT_EQ(std::string(tavrik_last_result_path()), out + S + "Invoice 42.pdf");   // doubled separator
    EXPECT_EQ(read_file(dir_.path() / "a" / "b" / "c" / "Invoice 42.pdf"), titled_pdf("Invoice 42"));
    EXPECT_FALSE(fs::exists(in_));
}

TEST_F(ApiRename, BareNamesAndALeadingSeparatorUseTheWorkingDirectory)
{
    in_dir here(dir_.path());
    EXPECT_EQ(tavrik_rename("scan001.pdf", 0, nullptr), 1);
    EXPECT_EQ(tavrik_last_result_path(), "." + S + "Invoice 42.pdf");
#if defined(_WIN32)
    // "\\scan002.pdf" names the root of the drive here: a subdirectory instead.
    fs::create_directory("sub");
    write_file("sub\\scan003.pdf", titled_pdf("Letter"));
    EXPECT_EQ(tavrik_rename("sub\\scan003.pdf", 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_result_path(), "sub\\Letter.pdf");
    EXPECT_EQ(tavrik_rename("sub/Letter.pdf", 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "already named correctly");
    EXPECT_STREQ(tavrik_last_result_path(), "sub\\Letter.pdf");
    EXPECT_EQ(names_in("."), (std::vector<std::string>{"Invoice 42.pdf", "sub"}));
    EXPECT_EQ(names_in("sub"), std::vector<std::string>{"Letter.pdf"});
#else
    // A backslash is a separator in given paths; as the first byte it leaves ".".
    write_file("\\scan002.pdf", titled_pdf("Receipt"));
    EXPECT_EQ(tavrik_rename("\\scan002.pdf", 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_result_path(), "./Receipt.pdf");
    write_file("sub\\scan003.pdf", titled_pdf("Letter"));
    EXPECT_EQ(tavrik_rename("sub\\scan003.pdf", 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_result_path(), "sub/Letter.pdf");
    EXPECT_EQ(names_in("."), (std::vector<std::string>{"Invoice 42.pdf", "Receipt.pdf", "sub"}));
#endif
}

// A title beyond ASCII ("Отчёт café", UTF-16 in the PDF) names the file in
// UTF-8. On Windows the narrow paths are read in the process's code page: this
// test program, like tavrik.exe, declares UTF-8 as its code page in its manifest.
const char* const NON_ASCII_TITLE = "/Title <FEFF041E0442044704510442002000630061006600E9>";
const std::string NON_ASCII_NAME = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 caf\xC3\xA9.pdf";

// The names as UTF-8 bytes, whatever the code page (path::string() converts to it).
std::vector<std::string> utf8_names_in(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::u8string name = e.path().filename().u8string();
        out.emplace_back(name.begin(), name.end());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(ApiRename, NonAsciiTitleNamesTheFileInUtf8)
{
    write_file(in_, tavrik_test::simple_pdf("", NON_ASCII_TITLE));
    ASSERT_EQ(tavrik_suggest(in_.c_str(), 0), NON_ASCII_NAME);
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, nullptr), 1) << tavrik_last_error();
    EXPECT_EQ(tavrik_last_result_path(), d_ + S + NON_ASCII_NAME);
    EXPECT_EQ(utf8_names_in(dir_.path()), std::vector<std::string>{NON_ASCII_NAME});
    const std::string renamed = tavrik_last_result_path();
    EXPECT_EQ(tavrik_rename(renamed.c_str(), 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "already named correctly");
    EXPECT_EQ(tavrik_batch(d_.c_str(), (d_ + S + "out").c_str(), 0), 1);
    EXPECT_EQ(utf8_names_in(dir_.path() / "out"), std::vector<std::string>{NON_ASCII_NAME});
}

TEST_F(ApiRename, TitleDotPdfGivesAnEmptyStem)
{
    write_file(in_, titled_pdf(".pdf"));
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, nullptr), 1);
    EXPECT_EQ(std::string(tavrik_last_result_path()), d_ + S + ".pdf");
    write_file(dir_.path() / "scan.pdf", titled_pdf("scan.PDF"));
    EXPECT_EQ(tavrik_rename((d_ + S + "scan.pdf").c_str(), 0, nullptr), 1);
    EXPECT_STREQ(tavrik_last_error(), "already named correctly");
}

// A path that does not fit is refused, never cut into another path.
TEST_F(ApiRename, OverlongOutputDirectoryIsRefused)
{
    const std::string out = d_ + S + std::string(4100, 'o');
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, out.c_str()), 0);
    const std::string msg = tavrik_last_error();
    EXPECT_EQ(msg.rfind("cannot create output directory: " + d_ + S + "ooo", 0), 0u);
    EXPECT_TRUE(fs::exists(in_));
}

TEST_F(ApiRename, MovesAcrossFileSystems)
{
    shm_dir shm;
    if (!shm.other_device_than(dir_.path()))
        GTEST_SKIP() << "no second file system at hand";
    EXPECT_EQ(tavrik_rename(in_.c_str(), 0, shm.str().c_str()), 1);
    EXPECT_STREQ(tavrik_last_error(), "no error");
    EXPECT_FALSE(fs::exists(in_));
    EXPECT_EQ(read_file(shm.path() / "Invoice 42.pdf"), titled_pdf("Invoice 42"));
    EXPECT_EQ(names_in(shm.path()), std::vector<std::string>{"Invoice 42.pdf"});
}

// Titles that Windows takes for devices: "NUL.pdf" may open the null device, and
// whatever is written there is gone. The file is only ever given such a name by
// a move, never written to it, so whatever name it ends under, within one file
// system or across two, by the rename or the batch, the document stays whole:
// where a move is reported, the file is listed there; where not, the source stays.
TEST(ApiDeviceNames, TitlesThatNameDevicesNeverLoseTheDocument)
{
    temp_dir disk;
    shm_dir shm;
    const bool two_file_systems = shm.other_device_than(disk.path());
    int n = 0;
    for (const char* title : {"NUL", "nul", "CON", "AUX", "COM1", "LPT1", "CONIN$", "NUL.txt"}) {
        for (const bool across : {false, true}) {
            if (across && !two_file_systems)
                continue;
            for (const bool batch : {false, true}) {
                SCOPED_TRACE(std::string(title) + (across ? ", across file systems" : ", one file system") +
                             (batch ? ", batch" : ", rename"));
                const std::string id = std::to_string(++n);
                const fs::path in = (across ? shm.path() : disk.path()) / ("in" + id);
                const fs::path out = disk.path() / ("out" + id);
                fs::create_directories(in);
                const std::string doc = titled_pdf(title, id);
                const std::string src = narrow(in / "scan.pdf");
                write_file(src, doc);
                const int moved = batch ? tavrik_batch(narrow(in).c_str(), narrow(out).c_str(), 0)
                                        : tavrik_rename(src.c_str(), 0, narrow(out).c_str());
                const auto listed = fs::exists(out) ? names_in(out) : std::vector<std::string>{};
                if (moved == 1) {
                    EXPECT_FALSE(fs::exists(src));
                    ASSERT_EQ(listed.size(), 1u);
                    EXPECT_EQ(read_file(out / listed[0]), doc) << listed[0];
                    if (!batch) {
                        EXPECT_EQ(fs::path(tavrik_last_result_path()).filename().string(), listed[0]);
                    }
                } else {
                    EXPECT_EQ(read_file(src), doc) << tavrik_last_error();
                    EXPECT_TRUE(listed.empty());
                }
            }
        }
    }
}

// ---- batch ---------------------------------------------------------------------------------------

class ApiBatch : public ::testing::Test {
protected:
    void SetUp() override { d_ = dir_.str(); }
    void add(const std::string& name, const std::string& title) { write_file(dir_.path() / name, titled_pdf(title, name)); }
    temp_dir dir_;
    std::string d_;
};

TEST_F(ApiBatch, ArgumentAndDirectoryMessages)
{
    EXPECT_EQ(tavrik_batch(nullptr, nullptr, 0), 0);
    EXPECT_STREQ(tavrik_last_error(), "input_dir is NULL or empty");
    EXPECT_EQ(tavrik_batch("", nullptr, 0), 0);
    EXPECT_STREQ(tavrik_last_error(), "input_dir is NULL or empty");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 3), 0);
    EXPECT_STREQ(tavrik_last_error(), "invalid strategy 3");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, -1), 0);
    EXPECT_STREQ(tavrik_last_error(), "invalid strategy -1");

    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "cannot open directory: " + d_);
    write_file(dir_.path() / "notes.txt", "x");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "cannot open directory: " + d_);

    // Without an output directory a missing input directory is created first.
    const std::string missing = d_ + S + "new";
    EXPECT_EQ(tavrik_batch(missing.c_str(), nullptr, 0), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "cannot open directory: " + missing);
    EXPECT_TRUE(fs::is_directory(missing));

    fs::create_directory(dir_.path() / "old.pdf");
    write_file(dir_.path() / ".pdf", titled_pdf("Dot"));
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "no PDF files found in " + d_);

    write_file(dir_.path() / "blocker", "x");
    EXPECT_EQ(tavrik_batch(d_.c_str(), (d_ + S + "blocker/out").c_str(), 0), 0);
    EXPECT_STREQ(tavrik_last_error(), "cannot create output directory");
    EXPECT_EQ(tavrik_batch(d_.c_str(), (d_ + S + std::string(4100, 'o')).c_str(), 0), 0);
    EXPECT_STREQ(tavrik_last_error(), "cannot create output directory");
    const std::string too_long = d_ + S + std::string(4600, 'i');
    EXPECT_EQ(tavrik_batch(too_long.c_str(), d_.c_str(), 0), 0);
    EXPECT_EQ(std::string(tavrik_last_error()).rfind("cannot open directory: " + d_ + S + "iii", 0), 0u);
}

TEST_F(ApiBatch, SortedOrderDecidesWhoGetsAContestedName)
{
    for (const char* name : {"b.pdf", "B2.pdf", "a.pdf", "10.pdf"})
        add(name, "Report");
    ASSERT_STREQ(tavrik_suggest((d_ + S + "a.pdf").c_str(), 0), "Report.pdf");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 4);
    EXPECT_STREQ(tavrik_last_error(), "renamed 4 file(s)");
    EXPECT_STREQ(tavrik_last_result_path(), "Report.pdf");   // the batch never writes it
    EXPECT_EQ(read_file(dir_.path() / "Report.pdf"), titled_pdf("Report", "10.pdf"));
    EXPECT_EQ(read_file(dir_.path() / "Report-2.pdf"), titled_pdf("Report", "B2.pdf"));
    EXPECT_EQ(read_file(dir_.path() / "Report-3.pdf"), titled_pdf("Report", "a.pdf"));
    EXPECT_EQ(read_file(dir_.path() / "Report-4.pdf"), titled_pdf("Report", "b.pdf"));
    EXPECT_EQ(names_in(dir_.path()).size(), 4u);
}

// The batch remembers the names its own moves took, but a name that a move of the
// same batch frees, or that a file outside the batch holds, is still seen as it is.
TEST_F(ApiBatch, NamesFreedOrHeldDuringTheBatchAreSeen)
{
    add("Report-2.pdf", "Summary");   // sorted first: moves away and frees its name
    add("a.pdf", "Report");
    add("b.pdf", "Report");
    add("c.pdf", "Report");
    const fs::path out = dir_.path() / "out";
    fs::create_directory(out);
    write_file(out / "Report-3.pdf", "not a batch file");
    // In place: the freed Report-2.pdf goes to the second Report.
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 4);
    EXPECT_EQ(read_file(dir_.path() / "Summary.pdf"), titled_pdf("Summary", "Report-2.pdf"));
    EXPECT_EQ(read_file(dir_.path() / "Report.pdf"), titled_pdf("Report", "a.pdf"));
    EXPECT_EQ(read_file(dir_.path() / "Report-2.pdf"), titled_pdf("Report", "b.pdf"));
    EXPECT_EQ(read_file(dir_.path() / "Report-3.pdf"), titled_pdf("Report", "c.pdf"));
    // Into a directory where a stranger holds Report-3.pdf: it is passed over.
    EXPECT_EQ(tavrik_batch(d_.c_str(), (d_ + S + "out").c_str(), 0), 4);
    EXPECT_EQ(read_file(out / "Report.pdf"), titled_pdf("Report", "b.pdf"));
    EXPECT_EQ(read_file(out / "Report-2.pdf"), titled_pdf("Report", "c.pdf"));
    EXPECT_EQ(read_file(out / "Report-3.pdf"), "not a batch file");
    EXPECT_EQ(read_file(out / "Report-4.pdf"), titled_pdf("Report", "a.pdf"));
    EXPECT_EQ(names_in(out),
              (std::vector<std::string>{"Report-2.pdf", "Report-3.pdf", "Report-4.pdf", "Report.pdf", "Summary.pdf"}));
}

// A second name of a file that the batch already moved (a hard link) finds the
// file under its title, however many names the batch filled before it.
TEST_F(ApiBatch, ASecondNameOfAMovedFileFindsItAmongManyFilled)
{
    for (const char* name : {"a.pdf", "b.pdf", "c.pdf", "d.pdf", "e.pdf"})
        add(name, "Report");
    std::error_code ec;
    fs::create_hard_link(dir_.path() / "c.pdf", dir_.path() / "f.pdf", ec);
    if (ec)
        GTEST_SKIP() << "no hard links here: " << ec.message();
    add("g.pdf", "Report");
    const fs::path out = dir_.path() / "out";
    EXPECT_EQ(tavrik_batch(d_.c_str(), (d_ + S + "out").c_str(), 0), 7);
    EXPECT_STREQ(tavrik_last_error(), "renamed 7 file(s)");
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"f.pdf", "out"}));
    EXPECT_EQ(read_file(out / "Report-3.pdf"), titled_pdf("Report", "c.pdf"));
    EXPECT_EQ(read_file(out / "Report-6.pdf"), titled_pdf("Report", "g.pdf"));
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"Report-2.pdf", "Report-3.pdf", "Report-4.pdf", "Report-5.pdf",
                                                       "Report-6.pdf", "Report.pdf"}));
}

TEST_F(ApiBatch, CountsFailuresAndKeepsFailedFiles)
{
    add("one.pdf", "Alpha");
    add("two.pdf", "Beta");
    write_file(dir_.path() / "broken.pdf", "garbage");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 2);
    EXPECT_STREQ(tavrik_last_error(), "renamed 2 file(s), 1 failed");
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"Alpha.pdf", "Beta.pdf", "broken.pdf"}));
}

TEST_F(ApiBatch, NothingRenamable)
{
    write_file(dir_.path() / "broken.pdf", "garbage");
    write_file(dir_.path() / "header.pdf", "%PDF-1.7\n\n");   // no title, no text
    tavrik_test::pdf_options opt;
    opt.trailer_extra = "/Encrypt 2 0 R";
    write_file(dir_.path() / "locked.pdf",
               tavrik_test::build_pdf({{1, "<< /Type /Catalog >>"}, {2, "<< /Filter /Standard >>"}}, opt));
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 0);
    EXPECT_EQ(std::string(tavrik_last_error()), "no PDFs could be renamed in " + d_);
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"broken.pdf", "header.pdf", "locked.pdf"}));
}

TEST_F(ApiBatch, SecondRunMovesNothingAndCountsEveryFile)
{
    add("x.pdf", "Report");
    add("y.pdf", "Report");
    add("z.pdf", "Summary");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 3);
    const auto after_first = names_in(dir_.path());
    EXPECT_EQ(after_first, (std::vector<std::string>{"Report-2.pdf", "Report.pdf", "Summary.pdf"}));
    const auto contents = contents_in(dir_.path());
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 3);
    EXPECT_STREQ(tavrik_last_error(), "renamed 3 file(s)");
    EXPECT_EQ(names_in(dir_.path()), after_first);
    EXPECT_EQ(contents_in(dir_.path()), contents);
}

TEST_F(ApiBatch, NameEndingInPdfGetsNoSecondSuffix)
{
    add("in.pdf", "scan.pdf");
    add("up.pdf", "Draft.PDF");
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 2);
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"Draft.pdf", "scan.pdf"}));
}

TEST_F(ApiBatch, MovesIntoAnOutputDirectory)
{
    add("a.pdf", "Alpha");
    add("b.PDF", "Beta");
    write_file(dir_.path() / "broken.pdf", "garbage");
    const std::string out = d_ + S + "out/sub";
    EXPECT_EQ(tavrik_batch(d_.c_str(), out.c_str(), 1 - 1), 2);
    EXPECT_STREQ(tavrik_last_error(), "renamed 2 file(s), 1 failed");
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"Alpha.pdf", "Beta.pdf"}));
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"broken.pdf", "out"}));
}

TEST_F(ApiBatch, AcrossFileSystemsLeavesOneCopyOfEach)
{
    shm_dir shm;
    if (!shm.other_device_than(dir_.path()))
        GTEST_SKIP() << "no second file system at hand";
    add("a.pdf", "Alpha");
    add("b.pdf", "Alpha");
    const auto before = contents_in(dir_.path());
    EXPECT_EQ(tavrik_batch(d_.c_str(), shm.str().c_str(), 0), 2);
    EXPECT_TRUE(names_in(dir_.path()).empty());
    EXPECT_EQ(names_in(shm.path()), (std::vector<std::string>{"Alpha-2.pdf", "Alpha.pdf"}));
    EXPECT_EQ(contents_in(shm.path()), before);
}

// What a killed move across file systems can leave: a hidden temporary, never a
// ".pdf" name. The batch and the rename leave it alone, and a title that reads
// like one names a file that is no temporary.
TEST_F(ApiBatch, LeftoverTemporariesAreLeftAlone)
{
    const std::string leftover = ".tavrik-0123456789ab.tmp";
    write_file(dir_.path() / leftover, "part of a copy");
    add("a.pdf", "Alpha");
    add("b.pdf", leftover);
    EXPECT_EQ(tavrik_batch(d_.c_str(), nullptr, 0), 2);
    EXPECT_STREQ(tavrik_last_error(), "renamed 2 file(s)");
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{leftover, leftover + ".pdf", "Alpha.pdf"}));
    EXPECT_EQ(read_file(dir_.path() / leftover), "part of a copy");

    write_file(dir_.path() / "c.pdf", titled_pdf(leftover, "c"));
    EXPECT_EQ(tavrik_rename((d_ + S + "c.pdf").c_str(), 0, nullptr), 1);
    EXPECT_EQ(std::string(tavrik_last_result_path()), d_ + S + leftover + "-2.pdf");
    EXPECT_EQ(read_file(dir_.path() / leftover), "part of a copy");
}

#if !defined(_WIN32)
// Several processes at once, started together: four on each of two directories,
// all moving into one output directory and contending for the same few names.
// Every file survives, none is overwritten, and each ends under a name from its
// own title. Races are chance events: a few rounds give them more chances.
TEST_F(ApiBatch, ConcurrentBatchesLoseAndOverwriteNothing)
{
    constexpr int ROUNDS = 4;
    constexpr int FILES_PER_DIR = 40;
    constexpr int PROCESSES_PER_DIR = 4;
    shm_dir shm;
    const fs::path base = shm.path().empty() ? dir_.path() : shm.path();
    for (int round = 0; round < ROUNDS; ++round) {
        SCOPED_TRACE(round);
        const fs::path top = base / std::to_string(round);
        const fs::path in[2] = {top / "in1", top / "in2"};
        const fs::path out = top / "out";
        std::vector<std::string> before;
        for (int k = 0; k < 2; ++k) {
            fs::create_directories(in[k]);
            for (int i = 0; i < FILES_PER_DIR; ++i) {
                const std::string name = "f" + std::to_string(100 + i) + ".pdf";
                write_file(in[k] / name, titled_pdf("Title " + std::to_string(i % 2), std::to_string(k) + name));
                before.push_back(read_file(in[k] / name));
            }
        }
        std::sort(before.begin(), before.end());

        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        std::vector<pid_t> children;
        for (int p = 0; p < 2 * PROCESSES_PER_DIR; ++p) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::close(gate[1]);
                char c;
                (void)!::read(gate[0], &c, 1);   // returns when the parent closes the gate
                (void)tavrik_batch(in[p % 2].c_str(), out.c_str(), 0);
                ::_exit(0);
            }
            children.push_back(pid);
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (const pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }

        const auto all_contents = [&] {
            std::vector<std::string> all;
            for (const auto& d : {in[0], in[1], out})
                for (auto& c : contents_in(d))
                    all.push_back(std::move(c));
            std::sort(all.begin(), all.end());
            return all;
        };
        ASSERT_EQ(all_contents(), before);
        for (const auto& name : names_in(out)) {
            EXPECT_NE(read_file(out / name).find("/Title (" + name.substr(0, 7) + ")"), std::string::npos) << name;
        }
        // Whatever a racing process left behind, one more run finishes the job.
        const int left = static_cast<int>(names_in(in[0]).size() + names_in(in[1]).size());
        if (left > 0) {
            EXPECT_EQ(tavrik_batch(in[0].c_str(), out.c_str(), 0) + tavrik_batch(in[1].c_str(), out.c_str(), 0),
                      left);
        }
        EXPECT_EQ(all_contents(), before);
        EXPECT_EQ(names_in(out).size(), before.size());
    }
}
#endif

// Thousands of files: on the RAM file system where there is one, for speed.
TEST_F(ApiBatch, HandlesAtMost4096Files)
{
    constexpr int FILES = 4100;
    shm_dir shm;
    const fs::path dir = shm.path().empty() ? dir_.path() : shm.path();
    for (int i = 0; i < FILES; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%04d.pdf", i);
        write_file(dir / name, titled_pdf("T" + std::to_string(i)));
    }
    EXPECT_EQ(tavrik_batch(narrow(dir).c_str(), nullptr, 0), 4096);
    EXPECT_STREQ(tavrik_last_error(), "renamed 4096 file(s)");
    int untouched = 0;
    for (const auto& name : names_in(dir))
        untouched += name[0] == 'f';
    EXPECT_EQ(untouched, FILES - 4096);
}

// ---- the tavrik command ----------------------------------------------------------------------------

struct run_result {
    int status;
    std::string out;
    std::string err;
};

#if defined(_WIN32)
// One argument as the C runtime splits a command line: quoted, with the
// backslashes before a quote (or before the closing quote) doubled.
std::string quoted(const std::string& s)
{
    std::string q = "\"";
    std::size_t backslashes = 0;
    for (char c : s) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(2 * backslashes, '\\');
    return q + "\"";
}

std::wstring wide(const std::string& utf8)
{
    std::wstring w(utf8.size() + 1, L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(),
                                        static_cast<int>(w.size()));
    w.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return w;
}

// The program's output as text: the C runtime writes line ends as CR LF.
std::string without_cr(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}
#else
std::string quoted(const std::string& s)
{
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}
#endif

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(TAVRIK_CLI_PATH).empty())
            GTEST_SKIP() << "the tavrik command is not built";
        d_ = dir_.str();
        fs::create_directory(dir_.path() / "io");
    }
#if defined(_WIN32)
    // The command line goes over as UTF-16, so that UTF-8 arguments reach the
    // program intact whatever this process's code page.
    run_result run(const std::vector<std::string>& args)
    {
        const std::string program = narrow(fs::absolute(TAVRIK_CLI_PATH));
        std::string cmd = quoted(program);
        for (const auto& a : args)
            cmd += " " + quoted(a);
        const auto out = dir_.path() / "io" / "out", err = dir_.path() / "io" / "err";
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const auto create = [&](const fs::path& p, DWORD access, DWORD disposition) {
            return ::CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        };
        const HANDLE out_h = create(out, GENERIC_WRITE, CREATE_ALWAYS);
        const HANDLE err_h = create(err, GENERIC_WRITE, CREATE_ALWAYS);
        const HANDLE in_h = create("NUL", GENERIC_READ, OPEN_EXISTING);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_h;
        si.hStdOutput = out_h;
        si.hStdError = err_h;
        PROCESS_INFORMATION pi{};
        std::wstring line = wide(cmd);
        const bool started = ::CreateProcessW(wide(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                              nullptr, &si, &pi) != FALSE;
        DWORD code = static_cast<DWORD>(-1);
        if (started) {
            ::WaitForSingleObject(pi.hProcess, INFINITE);
            ::GetExitCodeProcess(pi.hProcess, &code);
            ::CloseHandle(pi.hThread);
            ::CloseHandle(pi.hProcess);
        }
        for (const HANDLE h : {out_h, err_h, in_h})
            ::CloseHandle(h);
        return {started ? static_cast<int>(code) : -1, without_cr(read_file(out)), without_cr(read_file(err))};
    }
#else
    run_result run(const std::vector<std::string>& args)
    {
        std::string cmd = quoted(TAVRIK_CLI_PATH);
        for (const auto& a : args)
            cmd += " " + quoted(a);
        const auto out = dir_.path() / "io" / "out", err = dir_.path() / "io" / "err";
        cmd += " >" + quoted(out.string()) + " 2>" + quoted(err.string()) + " </dev/null";
        const int raw = std::system(cmd.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
    }
#endif
#if defined(_WIN32)
    // A run in the background, its output discarded, that can be killed.
    struct child {
        HANDLE process = nullptr;
        [[nodiscard]] bool started() const { return process != nullptr; }
    };
    static child start(const std::vector<std::string>& args)
    {
        const std::string program = narrow(fs::absolute(TAVRIK_CLI_PATH));
        std::string cmd = quoted(program);
        for (const auto& a : args)
            cmd += " " + quoted(a);
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        const HANDLE null = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = si.hStdOutput = si.hStdError = null;
        PROCESS_INFORMATION pi{};
        std::wstring line = wide(cmd);
        child c;
        if (::CreateProcessW(wide(program).c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                             &pi)) {
            ::CloseHandle(pi.hThread);
            c.process = pi.hProcess;
        }
        ::CloseHandle(null);
        return c;
    }
    static void kill(child& c)
    {
        ::TerminateProcess(c.process, 137);
        (void)finish(c);
    }
    static int finish(child& c)
    {
        DWORD code = static_cast<DWORD>(-1);
        ::WaitForSingleObject(c.process, INFINITE);
        ::GetExitCodeProcess(c.process, &code);
        ::CloseHandle(c.process);
        c.process = nullptr;
        return static_cast<int>(code);
    }
#else
    struct child {
        pid_t pid = -1;
        [[nodiscard]] bool started() const { return pid > 0; }
    };
    static child start(const std::vector<std::string>& args)
    {
        std::vector<std::string> all = {TAVRIK_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        child c;
        c.pid = ::fork();
        if (c.pid == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            for (int fd = 0; fd <= 2; ++fd)
                ::dup2(null, fd);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        return c;
    }
    static void kill(child& c)
    {
        ::kill(c.pid, SIGKILL);
        (void)finish(c);
    }
    static int finish(child& c)
    {
        int status = 0;
        if (::waitpid(c.pid, &status, 0) != c.pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
#endif
    temp_dir dir_;
    std::string d_;
};

TEST_F(Cli, HelpVersionAndUsageErrors)
{
    auto r = run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tavrik 1.0.0\n");
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("usage: tavrik suggest"), std::string::npos);
    EXPECT_EQ(run({"rename", "--help"}).status, 0);

    const std::vector<std::vector<std::string>> usage_errors = {
        {},
        {"frobnicate"},
        {"--frobnicate"},
        {"suggest"},
        {"suggest", "-x", "a.pdf"},
        {"suggest", "-s", "3", "a.pdf"},
        {"suggest", "--strategy=newest", "a.pdf"},
        {"suggest", "-s"},
        {"suggest", "-n", "a.pdf"},
        {"inspect"},
        {"inspect", "a.pdf", "b.pdf"},
        {"rename"},
        {"batch"},
        {"batch", "a", "b"},
        {"batch", "--journal"},
        {"rename", "-r", "a.pdf"},
        {"undo"},
        {"undo", "a", "b"},
        {"undo", "-s", "1", "j"},
    };
    for (const auto& args : usage_errors) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : ""));
        r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
}

TEST_F(Cli, SuggestPrintsOneNamePerLineAndFailuresOnStderr)
{
    const std::string good = d_ + S + "good.pdf", bad = d_ + S + "bad.pdf";
    write_file(good, tavrik_test::simple_pdf("", "/Title (Minutes) /CreationDate (D:20240115)"));
    write_file(bad, "plain");
    auto r = run({"suggest", good, bad, good});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Minutes.pdf\nMinutes.pdf\n");
    EXPECT_EQ(r.err, bad + ": failed to parse PDF: " + bad + " (not a PDF or unreadable)\n");

    for (const char* s : {"2", "date+title"}) {
        r = run({"suggest", "-s", s, good});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "2024-01-15 Minutes.pdf\n");
    }
    r = run({"suggest", "--strategy=first-line", good});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, good + ": no extractable text in PDF\n");
}

TEST_F(Cli, InspectPrintsOneJsonLine)
{
    const std::string file = d_ + S + "doc.pdf";
    tavrik_test::pdf_options opt;
    opt.root = 0;
    opt.info = 1;
    write_file(file, tavrik_test::build_pdf(
                         {{1, "<< /Title (A \"q\" \\\\ b) /CreationDate (D:2024) /ModDate (D:2025) >>"}}, opt));
    auto r = run({"inspect", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"ok\":true,\"version\":\"1.7\",\"encrypted\":0,\"page_count\":0,"
                     "\"title\":\"A \\\"q\\\" \\\\ b\",\"creation_date\":\"D:2024\",\"mod_date\":\"D:2025\","
                     "\"lines\":[]}\n");

    write_file(file, "plain");
    r = run({"inspect", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "{\"ok\":false}\n");
}

// Lines with their font sizes need the page text; sizes always carry a point.
TEST_F(Cli, InspectWritesFontSizesAsDecimals)
{
    const std::string file = d_ + S + "doc.pdf";
    write_file(file, tavrik_test::simple_pdf("BT /F1 24 Tf 72 700 Td (Hello) Tj ET\n"
                                             "BT /F1 10.5 Tf 72 600 Td (World) Tj ET\n"));
    const auto r = run({"inspect", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\"page_count\":1,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"lines\":[{\"text\":\"Hello\",\"font_size\":24.0},"
                         "{\"text\":\"World\",\"font_size\":10.5}]}\n"),
              std::string::npos)
        << r.out;
}

TEST_F(Cli, RenameAndItsDryRun)
{
    const std::string a = d_ + S + "a.pdf", b = d_ + S + "b.pdf", bad = d_ + S + "bad.pdf";
    write_file(a, titled_pdf("Report", "a"));
    write_file(b, titled_pdf("Report", "b"));
    write_file(bad, "plain");

    auto r = run({"rename", "-n", a, b, bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, a + " -> " + d_ + S + "Report.pdf\n" + b + " -> " + d_ + S + "Report-2.pdf\n");
    EXPECT_EQ(r.err, bad + ": failed to parse PDF: " + bad + " (not a PDF or unreadable)\n");
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"a.pdf", "b.pdf", "bad.pdf", "io"}));

    r = run({"rename", a, b});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, a + " -> " + d_ + S + "Report.pdf\n" + b + " -> " + d_ + S + "Report-2.pdf\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"Report-2.pdf", "Report.pdf", "bad.pdf", "io"}));

    r = run({"rename", "--output", d_ + S + "out", "--dry-run", d_ + S + "Report.pdf"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, d_ + S + "Report.pdf -> " + d_ + S + "out" + S + "Report.pdf\n");
    EXPECT_FALSE(fs::exists(dir_.path() / "out"));
}

// The name reaches the file system in UTF-8 through the command too, and the
// printed destination is the same UTF-8 text.
TEST_F(Cli, RenamesWithANonAsciiTitle)
{
    const std::string file = d_ + S + "scan.pdf";
    write_file(file, tavrik_test::simple_pdf("", NON_ASCII_TITLE));
    const auto r = run({"rename", file});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, file + " -> " + d_ + S + NON_ASCII_NAME + "\n");
    EXPECT_EQ(utf8_names_in(dir_.path()), (std::vector<std::string>{"io", NON_ASCII_NAME}));
    const auto again = run({"suggest", d_ + S + NON_ASCII_NAME});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, NON_ASCII_NAME + "\n");
}

// Killed at any moment while moving large files from one file system to another,
// a batch leaves every document whole: under its old name, its new one, or both
// (killed between naming the copy and removing the source), with nothing beside
// them but hidden temporaries; a second batch finishes the job and leaves those
// alone. Half the kills come the moment the output folder shows its first,
// second or third entry (mid-copy, where a copy is made under a visible name),
// half at fractions of the time an uninterrupted run takes.
TEST_F(Cli, KilledBatchAcrossFileSystemsLosesAndBreaksNothing)
{
    shm_dir shm;
    if (!shm.other_device_than(dir_.path()))
        GTEST_SKIP() << "no second file system at hand";
    constexpr int DOCS = 3;
    constexpr std::size_t PAGE_BYTES = std::size_t{6} << 20;   // the page's content, which naming skips
#if defined(_WIN32)
    constexpr int KILLS = DOCS + 1;   // each start of the program costs most of a second under Wine
#else
    constexpr int KILLS = 2 * DOCS;
#endif
    std::vector<std::string> docs;
    for (int k = 0; k < DOCS; ++k) {
        std::string filler(PAGE_BYTES, ' ');
        for (std::size_t i = k; i < filler.size(); i += 4099)
            filler[i] = static_cast<char>('a' + (i / 4099 + k) % 26);
        docs.push_back(tavrik_test::simple_pdf("% " + filler + "\n", "/Title (Annual Report) /Subject (" +
                                                                         std::to_string(k) + ")"));
    }
    const auto is_doc = [&](const std::string& bytes) {
        return std::find(docs.begin(), docs.end(), bytes) != docs.end();
    };
    const auto is_temporary = [](const std::string& name) {
        return name.rfind(".tavrik-", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp";
    };
    const auto entries = [](const fs::path& d) {
        std::error_code ec;
        std::size_t n = 0;
        for (auto it = fs::directory_iterator(d, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            ++n;
        return n;
    };

    std::chrono::duration<double> whole_run{};
    for (int round = 0; round <= KILLS; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const fs::path in = shm.path() / std::to_string(round), out = dir_.path() / ("out" + std::to_string(round));
        fs::create_directories(in);
        for (int k = 0; k < DOCS; ++k)
            write_file(in / ("scan" + std::to_string(k) + ".pdf"), docs[k]);

        const auto started = std::chrono::steady_clock::now();
        child c = start({"batch", "-o", narrow(out), narrow(in)});
        ASSERT_TRUE(c.started());
        if (round == 0) {
            ASSERT_EQ(finish(c), 0);
            whole_run = std::chrono::steady_clock::now() - started;
        } else if (round <= DOCS) {
            const auto give_up = started + 2 * whole_run;
            while (entries(out) < static_cast<std::size_t>(round) && std::chrono::steady_clock::now() < give_up)
                std::this_thread::yield();
            kill(c);
        } else {
            std::this_thread::sleep_for(whole_run * (round - DOCS) / (DOCS + 1));
            kill(c);
        }

        // Every document whole somewhere; nothing visible that is not one.
        std::vector<std::string> found;
        int temporaries = 0;
        for (const fs::path& d : {in, out}) {
            if (!fs::exists(d))
                continue;
            for (const auto& name : names_in(d)) {
                if (is_temporary(name)) {
                    EXPECT_EQ(d, out) << name;
                    ++temporaries;
                    continue;
                }
                const std::string bytes = read_file(d / name);
                EXPECT_TRUE(is_doc(bytes)) << narrow(d / name) << ": " << bytes.size() << " bytes";
                found.push_back(bytes);
            }
        }
        for (int k = 0; k < DOCS; ++k)
            EXPECT_NE(std::find(found.begin(), found.end(), docs[k]), found.end()) << "document " << k << " lost";

        if (!names_in(in).empty()) {
            child again = start({"batch", "-o", narrow(out), narrow(in)});
            EXPECT_EQ(finish(again), 0);
        }
        EXPECT_TRUE(names_in(in).empty());
        std::vector<std::string> moved;
        int temporaries_after = 0;
        for (const auto& name : names_in(out)) {
            if (is_temporary(name)) {
                ++temporaries_after;
                continue;
            }
            EXPECT_EQ(name.rfind("Annual Report", 0), 0u) << name;
            moved.push_back(read_file(out / name));
        }
        EXPECT_EQ(temporaries_after, temporaries);   // left alone
        for (int k = 0; k < DOCS; ++k)
            EXPECT_NE(std::find(moved.begin(), moved.end(), docs[k]), moved.end()) << "document " << k << " lost";
        fs::remove_all(in);
        fs::remove_all(out);
    }
}

// ---- the journal and undo ------------------------------------------------------------------

// The records of a journal, one JSON object a line, read by a JSON reader of its own.
std::vector<tavrik_test::json> journal_records(const fs::path& journal)
{
    std::vector<tavrik_test::json> out;
    const std::string text = read_file(journal);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "the last line is not ended";
        out.push_back(tavrik_test::json::parse(text.substr(start, end - start)));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

// Every file below top with its bytes, by path below top ('/' as separator).
std::map<std::string, std::string> tree_contents(const fs::path& top)
{
    std::map<std::string, std::string> out;
    if (!fs::exists(top))
        return out;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file() && !it->is_symlink())
            out[it->path().lexically_relative(top).generic_string()] = read_file(it->path());
    return out;
}

// A tree, renamed with a journal into an output folder, and undone: every old name
// back with its bytes. A link to a folder is not followed.
TEST_F(Cli, RecursiveBatchWithAJournalAndItsUndo)
{
    const fs::path top = dir_.path() / "scans", out = dir_.path() / "sorted", journal = dir_.path() / "moves.jsonl";
    fs::create_directories(top / "2023" / "spring");
    fs::create_directories(top / "2024");
    write_file(top / "a.pdf", titled_pdf("Annual Report", "a"));
    write_file(top / "2023" / "b.pdf", titled_pdf("Annual Report", "b"));
    write_file(top / "2023" / "spring" / "c.pdf", titled_pdf("Minutes", "c"));
    write_file(top / "2024" / "d.pdf", titled_pdf("Annual Report", "d"));
#if !defined(_WIN32)
    fs::create_directory_symlink(top / "2024", top / "again");
#endif
    const auto before = tree_contents(top);

    auto r = run({"batch", "-r", "-o", narrow(out), "--journal", narrow(journal), narrow(top)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("renamed 4 file(s)\n"), std::string::npos) << r.out;
    EXPECT_EQ(tree_contents(out), (std::map<std::string, std::string>{
                                      {"2023/Annual Report.pdf", before.at("2023/b.pdf")},
                                      {"2023/spring/Minutes.pdf", before.at("2023/spring/c.pdf")},
                                      {"2024/Annual Report.pdf", before.at("2024/d.pdf")},
                                      {"Annual Report.pdf", before.at("a.pdf")},
                                  }));
    const auto records = journal_records(journal);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["old"].str, narrow(fs::absolute(top / "a.pdf")));
    EXPECT_EQ(records[0]["new"].str, narrow(fs::absolute(out)) + S + "Annual Report.pdf");
    for (const auto& rec : records)
        EXPECT_TRUE(rec.obj.count("volume") && rec.obj.count("index") && rec.obj.count("size") &&
                    rec.obj.count("mtime"));

    r = run({"undo", "-n", narrow(journal)});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string want;
    for (auto it = records.rbegin(); it != records.rend(); ++it)
        want += (*it)["new"].str + " -> " + (*it)["old"].str + "\n";
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(tree_contents(out).size(), 4u);

    r = run({"undo", narrow(journal)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree_contents(top), before);
    EXPECT_TRUE(tree_contents(out).empty());
}

// One old name taken again since: that file and the moved one stay as they are,
// the others go back, and the status says that one failed.
TEST_F(Cli, UndoLeavesATakenOldNameAlone)
{
    const fs::path in = dir_.path() / "in", journal = dir_.path() / "moves.jsonl";
    fs::create_directory(in);
    for (const char* n : {"a", "b", "c"})
        write_file(in / (std::string(n) + ".pdf"), titled_pdf(std::string("Title ") + n));
    auto r = run({"batch", "--journal=" + narrow(journal), narrow(in)});
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(in / "b.pdf", "a new b");

    r = run({"undo", narrow(journal)});
    EXPECT_EQ(r.status, 1);
    const std::string moved_b = narrow(fs::absolute(in / "Title b.pdf"));
    EXPECT_EQ(r.err, moved_b + ": not moved back: " + narrow(fs::absolute(in / "b.pdf")) + " is taken\n");
    EXPECT_EQ(names_in(in), (std::vector<std::string>{"Title b.pdf", "a.pdf", "b.pdf", "c.pdf"}));
    EXPECT_EQ(read_file(in / "b.pdf"), "a new b");
    EXPECT_EQ(read_file(in / "Title b.pdf"), titled_pdf("Title b"));
    EXPECT_EQ(read_file(in / "a.pdf"), titled_pdf("Title a"));
}

// Single renames are journaled too, but not a file already named so, nor a dry
// run; a journal that cannot be opened stops the command before anything moves.
TEST_F(Cli, RenameWithAJournalUndone)
{
    const std::string a = d_ + S + "a.pdf", b = d_ + S + "b.pdf", named = d_ + S + "Named.pdf";
    const std::string journal = d_ + S + "moves.jsonl";
    write_file(a, titled_pdf("Letter", "a"));
    write_file(b, titled_pdf("Letter", "b"));
    write_file(named, titled_pdf("Named"));

    auto r = run({"rename", "--journal", journal, "-n", a, b});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(journal));
    r = run({"rename", "-j", d_ + S + "missing" + S + "moves.jsonl", a});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tavrik: cannot open journal " + d_ + S + "missing" + S + "moves.jsonl\n");
    EXPECT_TRUE(fs::exists(a));

    r = run({"rename", "--journal", journal, a, b, named});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(journal_records(journal).size(), 2u);
    EXPECT_EQ(names_in(dir_.path()),
              (std::vector<std::string>{"Letter-2.pdf", "Letter.pdf", "Named.pdf", "io", "moves.jsonl"}));
    r = run({"undo", journal});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(names_in(dir_.path()), (std::vector<std::string>{"Named.pdf", "a.pdf", "b.pdf", "io", "moves.jsonl"}));
    EXPECT_EQ(read_file(a), titled_pdf("Letter", "a"));
    EXPECT_EQ(read_file(b), titled_pdf("Letter", "b"));

    // Done once, undo has nothing left to take back: each move says why.
    r = run({"undo", journal});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Letter.pdf: not moved back: nothing there any more\n"), std::string::npos) << r.err;
    r = run({"undo", d_ + S + "nowhere.jsonl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tavrik: cannot read journal " + d_ + S + "nowhere.jsonl\n");
}

// A run killed midway leaves a journal of whole lines, one for each move it
// made, which undo takes back; a file the run had moved but not yet recorded (a
// kill between the two) is the only one that may stay.
TEST_F(Cli, AKilledRunsJournalIsUndone)
{
    constexpr int DOCS = 12;
    // From the RAM file system where there is one: each move then waits for the
    // disk, and the kill comes amid the run.
    shm_dir shm;
    const bool across = shm.other_device_than(dir_.path());
    const fs::path in = (across ? shm.path() : dir_.path()) / "in";
    const fs::path out = dir_.path() / "out", journal = dir_.path() / "moves.jsonl";
    fs::create_directory(in);
    std::map<std::string, std::string> before;
    for (int k = 0; k < DOCS; ++k) {
        const std::string name = "scan" + std::to_string(10 + k) + ".pdf";
        write_file(in / name, tavrik_test::simple_pdf("% " + std::string(std::size_t{1} << 20, 'x') + "\n",
                                                      "/Title (Paper " + std::to_string(k) + ")"));
        before[name] = read_file(in / name);
    }
    child c = start({"batch", "-o", narrow(out), "--journal", narrow(journal), narrow(in)});
    ASSERT_TRUE(c.started());
    // Killed once the journal holds a few records.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        const std::string text = fs::exists(journal) ? read_file(journal) : std::string();
        if (std::count(text.begin(), text.end(), '\n') >= 3 || std::chrono::steady_clock::now() > give_up)
            break;
        std::this_thread::yield();
    }
    kill(c);

    const auto records = journal_records(journal);
    EXPECT_GE(records.size(), 3u);
    if (across) {
        EXPECT_LT(records.size(), static_cast<std::size_t>(DOCS)) << "the run ended before the kill";
    }
    const auto r = run({"undo", narrow(journal)});
    EXPECT_EQ(r.status, 0) << r.err;
    int unrecorded = 0;
    for (const auto& [name, bytes] : before) {
        if (fs::exists(in / name)) {
            EXPECT_EQ(read_file(in / name), bytes) << name;
            continue;
        }
        ++unrecorded;
        bool found = false;
        for (const auto& [moved_name, moved_bytes] : tree_contents(out))
            found = found || moved_bytes == bytes;
        EXPECT_TRUE(found) << name << " lost";
    }
    EXPECT_LE(unrecorded, 1);
}

TEST_F(Cli, BatchAndItsDryRun)
{
    const std::string in = d_ + S + "in";
    fs::create_directory(in);
    write_file(in + S + "a.pdf", titled_pdf("Alpha"));
    write_file(in + S + "b.pdf", titled_pdf("Beta"));

    auto r = run({"batch", "-n", "-o", d_ + S + "out", in});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, in + S + "a.pdf -> " + d_ + S + "out" + S + "Alpha.pdf\n" + in + S + "b.pdf -> " + d_ + S +
                         "out" + S + "Beta.pdf\nrenamed 2 file(s)\n");
    EXPECT_FALSE(fs::exists(dir_.path() / "out"));
    EXPECT_EQ(names_in(in), (std::vector<std::string>{"a.pdf", "b.pdf"}));

    write_file(in + S + "c.pdf", "plain");
    r = run({"batch", in});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, in + S + "a.pdf -> " + in + S + "Alpha.pdf\n" + in + S + "b.pdf -> " + in + S + "Beta.pdf\n");
    EXPECT_EQ(r.err, in + S + "c.pdf: failed to parse PDF: " + in + S + "c.pdf (not a PDF or unreadable)\n"
                     "renamed 2 file(s), 1 failed\n");
    EXPECT_EQ(names_in(in), (std::vector<std::string>{"Alpha.pdf", "Beta.pdf", "c.pdf"}));

    r = run({"batch", d_ + S + "nowhere", "-o", d_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "cannot open directory: " + d_ + S + "nowhere\n");
}

}  // namespace
