// Every real-producer corpus file gives the document summary expected of it.
#include <gtest/gtest.h>

#include <memory>

#include <string>

#include "corpus_cases.h"
#include "naming.h"
#include "pdf_parse.h"

using tavrik_test::corpus_case;

class CorpusSummary : public ::testing::TestWithParam<corpus_case> {};

TEST_P(CorpusSummary, MatchesExpectedSummary)
{
    const corpus_case& c = GetParam();
    const auto& want = c.expected["inspect"];
    auto info = std::make_unique<tavrik::ppdf_info>();
    const int ok = tavrik::ppdf_parse(tavrik_test::fixture("corpus/" + c.file).c_str(), *info);
    ASSERT_EQ(ok != 0, want["ok"].b);
    if (!ok)
        return;
    EXPECT_EQ(info->version, want["version"].str);
    EXPECT_EQ(info->encrypted, static_cast<int>(want["encrypted"].num));
    EXPECT_EQ(info->page_count, static_cast<int>(want["page_count"].num));
    EXPECT_EQ(info->title, want["title"].str);
    EXPECT_EQ(info->creation_date, want["creation_date"].str);
    EXPECT_EQ(info->mod_date, want["mod_date"].str);
    const auto& lines = want["lines"].arr;
    EXPECT_EQ(info->line_count, static_cast<int>(lines.size()));
    const std::size_t n = std::min(lines.size(), static_cast<std::size_t>(std::max(info->line_count, 0)));
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_EQ(info->lines[i].text, lines[i]["text"].str);
        EXPECT_DOUBLE_EQ(info->lines[i].font_size, lines[i]["font_size"].num);
        if (info->lines[i].text != lines[i]["text"].str)
            break;   // one differing line is enough to show where reading went astray
    }
}

// Naming reads only what its strategy looks at; the names must not change for it,
// and the shortcut must really be taken where it applies.
TEST_P(CorpusSummary, NamingReadsOnlyWhatItsStrategyNeeds)
{
    const std::string path = tavrik_test::fixture("corpus/" + GetParam().file);
    auto full = std::make_unique<tavrik::ppdf_info>();
    auto part = std::make_unique<tavrik::ppdf_info>();
    const int ok = tavrik::ppdf_parse(path.c_str(), *full);
    for (int strategy = 0; strategy <= 2; ++strategy) {
        SCOPED_TRACE("strategy " + std::to_string(strategy));
        const tavrik::ppdf_need need = tavrik::need_for(strategy);
        ASSERT_EQ(tavrik::ppdf_parse(path.c_str(), *part, need), ok);
        if (!ok)
            return;
        EXPECT_EQ(part->encrypted, full->encrypted);
        const std::string want = tavrik::suggest_stem(*full, strategy);
        EXPECT_EQ(tavrik::suggest_stem(*part, strategy), want);
        if (full->encrypted != 0 || (need == tavrik::ppdf_need::title_else_lines && full->title[0] != '\0')) {
            EXPECT_EQ(part->line_count, 0);
            EXPECT_EQ(part->page_count, 0);
        } else if (need == tavrik::ppdf_need::first_line) {
            EXPECT_EQ(part->line_count, std::min(full->line_count, 1));
            EXPECT_LE(part->page_count, full->page_count);
            if (full->line_count == 0) {
                EXPECT_EQ(part->page_count, full->page_count);   // no line: every page was looked at
            }
        } else {
            EXPECT_EQ(part->line_count, full->line_count);
        }
    }
}

// By first line the walk ends with the page that gave it: the 300 pages of the
// field log are not all visited.
TEST(CorpusNeeds, FirstLineEndsThePageWalk)
{
    auto info = std::make_unique<tavrik::ppdf_info>();
    const std::string path = tavrik_test::fixture("corpus/p16_rl_field_log_300.pdf");
    ASSERT_EQ(tavrik::ppdf_parse(path.c_str(), *info, tavrik::ppdf_need::first_line), 1);
    EXPECT_EQ(info->line_count, 1);
    EXPECT_EQ(info->page_count, 1);
    ASSERT_EQ(tavrik::ppdf_parse(path.c_str(), *info), 1);
    EXPECT_EQ(info->page_count, 300);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusSummary, ::testing::ValuesIn(tavrik_test::load_corpus_cases()),
                         [](const auto& p) { return tavrik_test::corpus_case_name(p.param.file); });

// A summary is reused from one document to the next without clearing its 200
// lines: what a document shows must not depend on what was read before it.
TEST(CorpusSummaryReuse, NothingCarriesOverFromTheDocumentBefore)
{
    const auto cases = tavrik_test::load_corpus_cases();
    auto fresh = std::make_unique<tavrik::ppdf_info>();
    auto reused = std::make_unique<tavrik::ppdf_info>();
    (void)tavrik::ppdf_parse(tavrik_test::fixture("corpus/p16_rl_field_log_300.pdf").c_str(), *reused);
    ASSERT_EQ(reused->line_count, tavrik::MAX_LINES);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = tavrik_test::fixture("corpus/" + c.file);
        const int ok = tavrik::ppdf_parse(path.c_str(), *fresh);
        ASSERT_EQ(tavrik::ppdf_parse(path.c_str(), *reused), ok);
        EXPECT_STREQ(reused->title, fresh->title);
        EXPECT_STREQ(reused->creation_date, fresh->creation_date);
        EXPECT_STREQ(reused->mod_date, fresh->mod_date);
        EXPECT_STREQ(reused->version, fresh->version);
        EXPECT_EQ(reused->page_count, fresh->page_count);
        EXPECT_EQ(reused->encrypted, fresh->encrypted);
        ASSERT_EQ(reused->line_count, fresh->line_count);
        for (int strategy = 0; strategy <= 2; ++strategy) {
            const std::string want = tavrik::suggest_stem(*fresh, strategy);
            EXPECT_EQ(tavrik::suggest_stem(*reused, strategy), want);
        }
        for (int i = 0; i < fresh->line_count; ++i) {
            EXPECT_STREQ(reused->lines[i].text, fresh->lines[i].text);
            EXPECT_EQ(reused->lines[i].font_size, fresh->lines[i].font_size);
        }
    }
}
