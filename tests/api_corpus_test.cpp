// Every real-producer corpus file gets, through the shared library, the names and
// messages expected of it for all three strategies.
#include <gtest/gtest.h>

#include "corpus_cases.h"
#include "tavrik.h"

using tavrik_test::corpus_case;

class CorpusSuggest : public ::testing::TestWithParam<corpus_case> {};

TEST_P(CorpusSuggest, NamesAndMessagesMatch)
{
    const corpus_case& c = GetParam();
    const std::string path = tavrik_test::fixture("corpus/" + c.file);
    for (const char* s : {"0", "1", "2"}) {
        SCOPED_TRACE(std::string("strategy ") + s);
        const auto& want = c.expected["suggest"][s];
        const std::string name = tavrik_suggest(path.c_str(), std::atoi(s));
        const std::string message = tavrik_last_error();
        EXPECT_EQ(name, want[0].str);
        EXPECT_EQ(message, tavrik_test::replace_all(want[1].str, c.file, path));
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusSuggest, ::testing::ValuesIn(tavrik_test::load_corpus_cases()),
                         [](const auto& p) { return tavrik_test::corpus_case_name(p.param.file); });
