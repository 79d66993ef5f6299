// Every input a fuzzer ever found (fuzz/regressions/<target>/) is replayed through
// the same target code on each ordinary test run, no fuzzer needed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "fuzz_targets.h"

#ifndef TAVRIK_FUZZ_REGRESSIONS_DIR
#define TAVRIK_FUZZ_REGRESSIONS_DIR "fuzz/regressions"
#endif

TEST(FuzzRegressions, EveryKeptInputRunsCleanly)
{
    namespace fs = std::filesystem;
    int replayed = 0;
    for (const fuzz_target& t : kFuzzTargets) {
        const fs::path dir = fs::path(TAVRIK_FUZZ_REGRESSIONS_DIR) / t.name;
        if (!fs::is_directory(dir))
            continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file())
                continue;
            SCOPED_TRACE(entry.path().string());
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(t.run(bytes.data(), bytes.size()), 0);
            ++replayed;
        }
    }
    RecordProperty("replayed", replayed);
}
