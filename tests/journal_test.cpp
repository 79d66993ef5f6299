// The journal of moves: its lines, written and read back, and undo with its
// refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "journal.h"
#include "json_lite.h"
#include "pdf_builder.h"
#include "rename.h"

namespace {

namespace fs = std::filesystem;
namespace pf = tavrik::platform;
using tavrik_test::narrow;
using tavrik_test::read_file;
using tavrik_test::shm_dir;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

tavrik::move_record record_of(std::string old_path, std::string new_path)
{
    tavrik::move_record r;
    r.old_path = std::move(old_path);
    r.new_path = std::move(new_path);
    r.stamp.id = {2049, 1837465};
    r.stamp.size = 38179;
    r.stamp.mtime = 1733836800123456789;
    return r;
}

// ---- the lines ----------------------------------------------------------------------------

TEST(JournalRecord, IsOneLineOfJson)
{
    const auto r = record_of("/scans/scan001.pdf", "/scans/Invoice 42.pdf");
    const std::string line = tavrik::format_move_record(r);
    EXPECT_EQ(line, "{\"old\":\"/scans/scan001.pdf\",\"new\":\"/scans/Invoice 42.pdf\",\"volume\":2049,"
                    "\"index\":1837465,\"size\":38179,\"mtime\":1733836800123456789}\n");
    // Another JSON reader finds the same.
    const auto j = tavrik_test::json::parse(line);
    EXPECT_EQ(j["old"].str, "/scans/scan001.pdf");
    EXPECT_EQ(j["new"].str, "/scans/Invoice 42.pdf");
    EXPECT_EQ(j["size"].num, 38179);
}

// Paths are bytes: whatever they hold comes back the same, and every line stays
// one line of JSON.
TEST(JournalRecord, EveryPathComesBackAsTheSameBytes)
{
    const struct {
        const char* name;
        std::string path;
        const char* written;   // the JSON text of the path
    } cases[] = {
        {"quote and backslash", "C:\\in\\\"a\".pdf", "\"C:\\\\in\\\\\\\"a\\\".pdf\""},
        {"line ends and controls", "a\nb\r\tc\x01.pdf", "\"a\\u000ab\\u000d\\u0009c\\u0001.pdf\""},
        {"UTF-8 unchanged", "Отчёт café 😀.pdf", "\"Отчёт café 😀.pdf\""},
        {"a byte that is no UTF-8", "scan\xff.pdf", "\"scan\\udcff.pdf\""},
        {"a cut sequence", "x\xe2\x80.pdf", "\"x\\udce2\\udc80.pdf\""},
        {"an overlong slash", "\xc0\xaf", "\"\\udcc0\\udcaf\""},
        {"an encoded surrogate", "\xed\xa0\x80", "\"\\udced\\udca0\\udc80\""},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = record_of(c.path, "/new/" + c.path);
        r.stamp.id = {std::numeric_limits<std::uint64_t>::max(), 0};
        r.stamp.mtime = -1;   // before 1970
        const std::string line = tavrik::format_move_record(r);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
        EXPECT_NE(line.find(std::string("\"old\":") + c.written), std::string::npos) << line;
        const auto back = tavrik::parse_move_record(std::string_view(line).substr(0, line.size() - 1));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->old_path, r.old_path);
        EXPECT_EQ(back->new_path, r.new_path);
        EXPECT_EQ(back->stamp, r.stamp);
    }
}

TEST(JournalRecord, ReadsWhatOthersMayWriteAndRefusesTheRest)
{
    const std::string tail = ",\"volume\":1,\"index\":2,\"size\":3,\"mtime\":4}";
    const auto ok = tavrik::parse_move_record(
        " { \"mtime\" : 4 , \"size\":3,\"note\":\"by hand\",\"n\":1.5e3,\"f\":false,\"z\":null,"
        "\"index\":2,\"volume\":1,\"new\":\"b\\/\\u00e9\\ud83d\\ude00\",\"old\":\"a\"}\r");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->old_path, "a");
    EXPECT_EQ(ok->new_path, "b/é😀");
    EXPECT_EQ(ok->stamp, (pf::file_stamp{{1, 2}, 3, 4}));

    const struct {
        const char* name;
        std::string line;
    } bad[] = {
        {"empty", ""},
        {"cut short (a killed run)", "{\"old\":\"a\",\"new\":\"b\",\"volume\":1,\"ind"},
        {"no mtime", "{\"old\":\"a\",\"new\":\"b\",\"volume\":1,\"index\":2,\"size\":3}"},
        {"empty old path", "{\"old\":\"\",\"new\":\"b\"" + tail},
        {"a number as a path", "{\"old\":7,\"new\":\"b\"" + tail},
        {"negative size", "{\"old\":\"a\",\"new\":\"b\",\"volume\":1,\"index\":2,\"size\":-3,\"mtime\":4}"},
        {"a fraction", "{\"old\":\"a\",\"new\":\"b\",\"volume\":1.5,\"index\":2,\"size\":3,\"mtime\":4}"},
        {"too large", "{\"old\":\"a\",\"new\":\"b\",\"volume\":18446744073709551616,\"index\":2,\"size\":3,"
                      "\"mtime\":4}"},
        {"something after it", "{\"old\":\"a\",\"new\":\"b\"" + tail + " x"},
        {"two records", "{\"old\":\"a\",\"new\":\"b\"" + tail + "{\"old\":\"a\",\"new\":\"b\"" + tail},
        {"unknown escape", "{\"old\":\"a\\q\",\"new\":\"b\"" + tail},
        {"lone high surrogate", "{\"old\":\"a\\ud83d\",\"new\":\"b\"" + tail},
        {"lone surrogate outside the byte range", "{\"old\":\"a\\udc20\",\"new\":\"b\"" + tail},
        {"raw line end in a string", "{\"old\":\"a\nb\",\"new\":\"b\"" + tail},
        {"nested value", "{\"old\":\"a\",\"new\":\"b\",\"x\":[1]" + tail},
        {"an array", "[]"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(tavrik::parse_move_record(c.line));
    }
}

// ---- undo ------------------------------------------------------------------------------------

// Undo's reports, in order: "FROM -> TO" for each move taken back, "FROM: MESSAGE"
// for each refusal.
struct undo_log {
    std::vector<std::string> lines;
    static void add(const tavrik::undo_event& e, void* self)
    {
        static_cast<undo_log*>(self)->lines.push_back(e.ok ? std::string(e.from) + " -> " + e.to
                                                           : std::string(e.from) + ": " + e.message);
    }
};

tavrik::undo_result undo(const std::string& journal, bool dry_run, undo_log& log)
{
    return tavrik::undo_flow(journal.c_str(), dry_run, &undo_log::add, &log);
}

class Undo : public ::testing::Test {
protected:
    void SetUp() override { journal_ = narrow(dir_.path() / "moves.jsonl"); }
    // Moves from to to (any file system) and records it as the command does.
    void move_and_record(const fs::path& from, const fs::path& to)
    {
        fs::create_directories(to.parent_path());
        ASSERT_TRUE(tavrik::move_file(narrow(from).c_str(), narrow(to).c_str()));
        tavrik::journal_writer w;
        ASSERT_TRUE(w.open(journal_.c_str()));
        ASSERT_TRUE(w.record(narrow(from).c_str(), narrow(to).c_str()));
        ASSERT_TRUE(w.close());
    }
    std::string p(const fs::path& path) const { return narrow(path); }
    temp_dir dir_;
    std::string journal_;
};

// Two runs, the second moving what the first did once more: undo takes the newest
// back first, and a dry run shows the same while touching nothing.
TEST_F(Undo, TakesMovesBackNewestFirst)
{
    const auto a = dir_.path() / "in" / "scan.pdf", b = dir_.path() / "in" / "Report.pdf",
               c = dir_.path() / "out" / "sub" / "Report.pdf";
    fs::create_directory(dir_.path() / "in");
    write_file(a, "document");
    move_and_record(a, b);
    move_and_record(b, c);
    fs::remove_all(dir_.path() / "in");   // the old folder is made again

    const std::vector<std::string> want = {p(c) + " -> " + p(b), p(b) + " -> " + p(a)};
    undo_log dry;
    const auto planned = undo(journal_, true, dry);
    EXPECT_TRUE(planned.journal_read);
    EXPECT_EQ(planned.undone, 2);
    EXPECT_EQ(planned.refused, 0);
    EXPECT_EQ(dry.lines, want);
    EXPECT_EQ(read_file(c), "document");
    EXPECT_FALSE(fs::exists(dir_.path() / "in"));

    undo_log real;
    const auto done = undo(journal_, false, real);
    EXPECT_EQ(done.undone, 2);
    EXPECT_EQ(done.refused, 0);
    EXPECT_EQ(real.lines, want);
    EXPECT_EQ(read_file(a), "document");
    EXPECT_FALSE(fs::exists(b));
    EXPECT_FALSE(fs::exists(c));
}

// A file that is not the one moved, or whose old name is taken, stays where it
// is, with the reason; the other moves are taken back.
TEST_F(Undo, RefusesWhatIsNoLongerTheMovedFile)
{
    const fs::path in = dir_.path() / "in", out = dir_.path() / "out";
    const char* names[] = {"changed", "replaced", "gone", "taken", "fine"};
    fs::create_directory(in);
    for (const char* n : names) {
        write_file(in / (std::string(n) + ".pdf"), std::string("was ") + n);
        move_and_record(in / (std::string(n) + ".pdf"), out / (std::string("New ") + n + ".pdf"));
    }
    const auto moved = [&](const char* n) { return out / (std::string("New ") + n + ".pdf"); };
    const auto old = [&](const char* n) { return in / (std::string(n) + ".pdf"); };
    write_file(moved("changed"), "was changed, and then some more");   // same file, written again
    // Made before the moved file goes, so that it cannot get its freed number.
    write_file(out / "another", "another file");
    fs::rename(out / "another", moved("replaced"));
    fs::remove(moved("gone"));
    write_file(old("taken"), "a new file under the old name");

    undo_log log;
    const auto r = undo(journal_, false, log);
    EXPECT_EQ(r.undone, 1);
    EXPECT_EQ(r.refused, 4);
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             p(moved("fine")) + " -> " + p(old("fine")),
                             p(moved("taken")) + ": not moved back: " + p(old("taken")) + " is taken",
                             p(moved("gone")) + ": not moved back: nothing there any more",
                             p(moved("replaced")) + ": not moved back: another file is there now",
                             p(moved("changed")) + ": not moved back: the file has changed since the move",
                         }));
    EXPECT_EQ(read_file(old("fine")), "was fine");
    EXPECT_EQ(read_file(moved("taken")), "was taken");
    EXPECT_EQ(read_file(old("taken")), "a new file under the old name");
    EXPECT_EQ(read_file(moved("replaced")), "another file");
    EXPECT_EQ(read_file(moved("changed")), "was changed, and then some more");
    for (const char* n : {"changed", "replaced", "gone"})
        EXPECT_FALSE(fs::exists(old(n))) << n;
}

// A line that is no record (the last one of a killed run, cut short) is
// reported; the records around it are taken back. Blank lines are nothing.
TEST_F(Undo, LinesThatAreNoRecordAreReported)
{
    const auto a = dir_.path() / "a.pdf", b = dir_.path() / "B.pdf";
    write_file(a, "x");
    move_and_record(a, b);
    {
        std::string text = read_file(journal_);
        write_file(journal_, "\n" + text + "\n  \n{\"old\":\"/x\",\"new\":\"/y\",\"vol");
    }
    undo_log log;
    const auto r = undo(journal_, false, log);
    EXPECT_EQ(r.undone, 1);
    EXPECT_EQ(r.refused, 1);
    EXPECT_EQ(log.lines, (std::vector<std::string>{journal_ + ": line 5: not a move record", p(b) + " -> " + p(a)}));
}

TEST_F(Undo, EmptyAndMissingJournals)
{
    write_file(journal_, "");
    undo_log log;
    auto r = undo(journal_, false, log);
    EXPECT_TRUE(r.journal_read);
    EXPECT_EQ(r.undone + r.refused, 0);
    r = undo(narrow(dir_.path() / "missing.jsonl"), false, log);
    EXPECT_FALSE(r.journal_read);
    r = undo(dir_.str(), false, log);   // a folder is no journal
    EXPECT_FALSE(r.journal_read);
    EXPECT_TRUE(log.lines.empty());
}

// Back across file systems, also through a chain of runs in which a move across
// made a new copy: the copy that undo puts back is known by size and time.
TEST_F(Undo, TakesMovesBackAcrossFileSystems)
{
    shm_dir shm;
    if (!shm.other_device_than(dir_.path()))
        GTEST_SKIP() << "no second file system at hand";
    const auto a = dir_.path() / "scan.pdf", b = dir_.path() / "Report.pdf", c = shm.path() / "Report.pdf";
    std::string data(300000, 'd');
    data[1234] = 'e';
    write_file(a, data);
    move_and_record(a, b);   // one rename
    move_and_record(b, c);   // a copy
    undo_log log;
    const auto r = undo(journal_, false, log);
    EXPECT_EQ(r.refused, 0) << (log.lines.empty() ? "" : log.lines.back());
    EXPECT_EQ(r.undone, 2);
    EXPECT_EQ(read_file(a), data);
    EXPECT_TRUE(fs::is_empty(shm.path()));
    EXPECT_EQ(std::vector<std::string>({"moves.jsonl", "scan.pdf"}),
              [&] {
                  std::vector<std::string> n;
                  for (const auto& e : fs::directory_iterator(dir_.path()))
                      n.push_back(e.path().filename().string());
                  std::sort(n.begin(), n.end());
                  return n;
              }());
}

// The writer appends: runs one after another share a journal.
TEST_F(Undo, WriterAppendsWholeLines)
{
    write_file(dir_.path() / "one.pdf", "1");
    tavrik::journal_writer w;
    ASSERT_TRUE(w.open(journal_.c_str()));
    ASSERT_TRUE(w.record(narrow(dir_.path() / "old.pdf").c_str(), narrow(dir_.path() / "one.pdf").c_str()));
    ASSERT_TRUE(w.close());
    ASSERT_TRUE(w.open(journal_.c_str()));
    ASSERT_TRUE(w.record("relative/old.pdf", narrow(dir_.path() / "gone.pdf").c_str()));
    ASSERT_TRUE(w.close());
    const std::string text = read_file(journal_);
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    const auto first = tavrik::parse_move_record(text.substr(0, text.find('\n')));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->stamp, *pf::file_stamp_of(narrow(dir_.path() / "one.pdf").c_str()));
    const auto second = tavrik::parse_move_record(text.substr(text.find('\n') + 1, text.size() - text.find('\n') - 2));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->old_path, narrow(fs::absolute("relative/old.pdf")));   // made absolute
    EXPECT_EQ(second->stamp, pf::file_stamp{});   // nothing there to describe

    tavrik::journal_writer nowhere;
    EXPECT_FALSE(nowhere.open(narrow(dir_.path() / "missing" / "j.jsonl").c_str()));
    EXPECT_FALSE(nowhere.record("a", "b"));
}

}  // namespace
