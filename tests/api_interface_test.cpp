// The exported functions as a host sees them: the two buffers, the argument
// checks, and the suggest flow's outcomes.
#include <gtest/gtest.h>

#include <string>

#include "pdf_builder.h"
#include "tavrik.h"

namespace {

using tavrik_test::temp_dir;
using tavrik_test::write_file;

// Taken when the program loads, before any test has called the library.
const std::string g_error_at_load = tavrik_last_error();
const std::string g_result_at_load = tavrik_last_result_path();

std::string titled_pdf(const std::string& title)
{
    return tavrik_test::simple_pdf("", "/Title " + tavrik_test::pdf_literal(title));
}

TEST(ApiBuffers, HoldNoErrorAndNoResultBeforeAnyCall)
{
    EXPECT_EQ(g_error_at_load, "no error");
    EXPECT_EQ(g_result_at_load, "");
}

TEST(ApiBuffers, InitResetsBothAndCleanupOnlyTheResult)
{
    temp_dir dir;
    const auto path = (dir.path() / "a.pdf").string();
    write_file(path, titled_pdf("Quarterly Report"));
    ASSERT_STREQ(tavrik_suggest(path.c_str(), 0), "Quarterly Report.pdf");
    tavrik_cleanup();
    EXPECT_STREQ(tavrik_last_result_path(), "");
    EXPECT_STREQ(tavrik_last_error(), "no error");

    (void)tavrik_suggest(nullptr, 0);
    tavrik_cleanup();
    EXPECT_STREQ(tavrik_last_error(), "input_path is NULL or empty");
    EXPECT_EQ(tavrik_init(), 1);
    EXPECT_EQ(tavrik_init(), 1);
    EXPECT_STREQ(tavrik_last_error(), "no error");
    EXPECT_STREQ(tavrik_last_result_path(), "");
}

TEST(ApiSuggest, ArgumentChecks)
{
    struct {
        const char* path;
        int strategy;
        const char* message;
    } cases[] = {
        {nullptr, 0, "input_path is NULL or empty"},
        {"", 1, "input_path is NULL or empty"},
        {nullptr, 7, "input_path is NULL or empty"},   // the path is checked first
        {"x.pdf", 3, "invalid strategy 3 (0=title, 1=first-line, 2=date+title)"},
        {"x.pdf", -1, "invalid strategy -1 (0=title, 1=first-line, 2=date+title)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const char* got = tavrik_suggest(c.path, c.strategy);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got, "");
        EXPECT_EQ(got, tavrik_last_result_path());
        EXPECT_STREQ(tavrik_last_error(), c.message);
    }
}

TEST(ApiSuggest, FilesThatAreNotReadablePdfs)
{
    temp_dir dir;
    const auto text = (dir.path() / "notes.pdf").string();
    const auto nine = (dir.path() / "nine.pdf").string();
    const auto empty = (dir.path() / "empty.pdf").string();
    const auto missing = (dir.path() / "missing.pdf").string();
    write_file(text, "hello, this is plain text and no PDF\n");
    write_file(nine, "%PDF-1.7\n");
    write_file(empty, "");
    for (const auto& path : {text, nine, empty, missing, dir.str()}) {
        SCOPED_TRACE(path);
        EXPECT_STREQ(tavrik_suggest(path.c_str(), 0), "");
        EXPECT_EQ(std::string(tavrik_last_error()), "failed to parse PDF: " + path + " (not a PDF or unreadable)");
    }
}

// Ten bytes with the header are a PDF without anything in it: each strategy tells
// what it missed.
TEST(ApiSuggest, HeaderOnlyPdfGivesEachStrategysMessage)
{
    temp_dir dir;
    const auto path = (dir.path() / "ten.pdf").string();
    write_file(path, "%PDF-1.7\n\n");
    const char* const messages[] = {"PDF has no title metadata and no extractable text", "no extractable text in PDF",
                                    "PDF has neither date nor title"};
    for (int strategy = 0; strategy < 3; ++strategy) {
        SCOPED_TRACE(strategy);
        EXPECT_STREQ(tavrik_suggest(path.c_str(), strategy), "");
        EXPECT_STREQ(tavrik_last_error(), messages[strategy]);
    }
}

TEST(ApiSuggest, SuffixRuleAndSanitising)
{
    temp_dir dir;
    struct {
        const char* title;
        const char* name;
        const char* message;
    } cases[] = {
        {"Quarterly Report", "Quarterly Report.pdf", "no error"},
        {"scan.PDF", "scan.PDF", "no error"},
        {"pdf", "pdf.pdf", "no error"},
        {".pdf", ".pdf", "no error"},
        {"Memo: Budget/Plan 2023?", "Memo BudgetPlan 2023.pdf", "no error"},
        {"???", "", "suggested name is empty after sanitization"},
    };
    const auto path = (dir.path() / "in.pdf").string();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        write_file(path, titled_pdf(c.title));
        EXPECT_STREQ(tavrik_suggest(path.c_str(), 0), c.name);
        EXPECT_STREQ(tavrik_last_error(), c.message);
    }
}

TEST(ApiSuggest, DateAndTitle)
{
    temp_dir dir;
    const auto path = (dir.path() / "in.pdf").string();
    write_file(path, tavrik_test::simple_pdf("", "/Title (Minutes) /CreationDate (D:20240115093000Z)"));
    EXPECT_STREQ(tavrik_suggest(path.c_str(), 2), "2024-01-15 Minutes.pdf");
    EXPECT_STREQ(tavrik_last_error(), "no error");
}

TEST(ApiSuggest, EncryptedPdfIsRefusedEvenWithATitle)
{
    temp_dir dir;
    const auto path = (dir.path() / "locked.pdf").string();
    tavrik_test::pdf_options opt;
    opt.info = 2;
    opt.trailer_extra = "/Encrypt 3 0 R";
    write_file(path, tavrik_test::build_pdf({{1, "<< /Type /Catalog >>"},
                                             {2, "<< /Title (Readable Title) >>"},
                                             {3, "<< /Filter /Standard /V 2 /R 3 >>"}},
                                            opt));
    for (int strategy = 0; strategy < 3; ++strategy) {
        EXPECT_STREQ(tavrik_suggest(path.c_str(), strategy), "");
        EXPECT_EQ(std::string(tavrik_last_error()), "PDF is encrypted; cannot read content: " + path);
    }
}

TEST(ApiSuggest, VeryLongMessageIsCutAt1023Bytes)
{
    const std::string path = "/nonexistent/" + std::string(3000, 'p') + ".pdf";
    EXPECT_STREQ(tavrik_suggest(path.c_str(), 0), "");
    const std::string msg = tavrik_last_error();
    EXPECT_EQ(msg.size(), 1023u);
    EXPECT_EQ(msg.rfind("failed to parse PDF: /nonexistent/ppp", 0), 0u);
}

}  // namespace
