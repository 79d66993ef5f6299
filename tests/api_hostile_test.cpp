// What a host can pass to the exported functions: null pointers, empty and huge
// paths, bytes that are no valid UTF-8, directories it may not read or write, and
// files that vanish while a batch runs. Every call must return with a message.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "pdf_builder.h"
#include "tavrik.h"

namespace {

namespace fs = std::filesystem;
using tavrik_test::temp_dir;
using tavrik_test::write_file;

std::string titled_pdf(const std::string& title)
{
    return tavrik_test::simple_pdf("", "/Title " + tavrik_test::pdf_literal(title));
}

std::string high_bytes()
{
    std::string s;
    for (int c = 0x80; c <= 0xFF; ++c)
        s += static_cast<char>(c);
    return s;
}

// Paths no file system holds or accepts: each call fails cleanly with a message.
TEST(ApiHostile, PathsThatCannotBeFiles)
{
    const temp_dir dir;
    const std::string long_path = dir.str() + "/" + std::string(100000, 'a') + ".pdf";
    const std::string long_dir = dir.str() + "/" + std::string(100000, 'd');
    const std::string bad_utf8 = dir.str() + "/" + high_bytes() + ".pdf";
    const std::vector<const char*> inputs = {nullptr, "", long_path.c_str(), bad_utf8.c_str()};
    ASSERT_EQ(tavrik_init(), 1);
    for (const char* in : inputs) {
        SCOPED_TRACE(in == nullptr ? "null" : std::string(in).substr(0, 80));
        for (int strategy : {-1, 0, 1, 2, 3, 1 << 30}) {
            EXPECT_STREQ(tavrik_suggest(in, strategy), "");
            EXPECT_STRNE(tavrik_last_error(), "no error");
            for (const char* out : {static_cast<const char*>(nullptr), "", long_dir.c_str()}) {
                EXPECT_EQ(tavrik_rename(in, strategy, out), 0);
                EXPECT_STRNE(tavrik_last_error(), "");
            }
        }
        for (const char* out : {static_cast<const char*>(nullptr), "", long_dir.c_str(), bad_utf8.c_str()})
            EXPECT_EQ(tavrik_batch(in, out, 0), 0);
    }
    EXPECT_NE(tavrik_last_result_path(), nullptr);
    tavrik_cleanup();
    EXPECT_STREQ(tavrik_last_result_path(), "");
}

// A real file whose own name is not UTF-8, and a title made of such bytes.
TEST(ApiHostile, HighBytesInNamesAndTitles)
{
#if defined(_WIN32)
    GTEST_SKIP() << "file names are UTF-16 here: bytes that are no UTF-8 name no file";
#else
    const temp_dir dir;
    const fs::path file = dir.path() / (high_bytes() + ".pdf");
    write_file(file, titled_pdf(high_bytes() + " Report"));
    ASSERT_EQ(tavrik_init(), 1);
    const std::string suggested = tavrik_suggest(file.c_str(), 0);
    EXPECT_FALSE(suggested.empty()) << tavrik_last_error();
    ASSERT_EQ(tavrik_rename(file.c_str(), 0, nullptr), 1) << tavrik_last_error();
    EXPECT_TRUE(fs::exists(tavrik_last_result_path()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 1);
#endif
}

// Directories without permission. Root ignores permissions, so there the case
// cannot be made and is skipped.
TEST(ApiHostile, DirectoriesWithoutPermission)
{
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX permission bits";
#else
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permissions do not restrict";
    const temp_dir dir;
    const fs::path locked = dir.path() / "locked";
    const fs::path readonly = dir.path() / "readonly";
    fs::create_directory(locked);
    fs::create_directory(readonly);
    write_file(locked / "a.pdf", titled_pdf("Alpha"));
    write_file(readonly / "b.pdf", titled_pdf("Beta"));
    const fs::path outside = dir.path() / "c.pdf";
    write_file(outside, titled_pdf("Gamma"));
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(chmod(readonly.c_str(), 0555), 0);
    struct restore {
        fs::path a, b;
        ~restore()
        {
            chmod(a.c_str(), 0755);
            chmod(b.c_str(), 0755);
        }
    } guard{locked, readonly};

    ASSERT_EQ(tavrik_init(), 1);
    EXPECT_STREQ(tavrik_suggest((locked / "a.pdf").c_str(), 0), "");
    EXPECT_EQ(tavrik_rename((locked / "a.pdf").c_str(), 0, nullptr), 0);
    EXPECT_EQ(tavrik_batch(locked.c_str(), nullptr, 0), 0);
    EXPECT_EQ(tavrik_rename((readonly / "b.pdf").c_str(), 0, nullptr), 0);
    EXPECT_TRUE(fs::exists(readonly / "b.pdf"));
    EXPECT_EQ(tavrik_batch(readonly.c_str(), nullptr, 0), 0);
    EXPECT_EQ(tavrik_rename(outside.c_str(), 0, readonly.c_str()), 0);
    EXPECT_TRUE(fs::exists(outside));
#endif
}

// Files removed while the batch runs: whatever it manages, nothing is lost,
// nothing is duplicated, and the call returns with a summary. Each document is
// then where it was or under its title, once; one that was removed may also
// survive under its title (Wine lets a delete that races a rename succeed while
// the renamed file lives on).
TEST(ApiHostile, FilesVanishDuringBatch)
{
    const temp_dir dir;
    const int files = 300;
    const auto old_name = [](int i) { return "in" + std::to_string(i) + ".pdf"; };
    const auto new_name = [](int i) { return "Doc " + std::to_string(i) + ".pdf"; };
    for (int i = 0; i < files; ++i)
        write_file(dir.path() / old_name(i), titled_pdf("Doc " + std::to_string(i)));
    std::atomic<bool> done{false};
    std::vector<char> removed(files, 0);   // written by the remover alone until it is joined
    std::thread remover([&] {
        for (int i = files - 1; i >= 0 && !done; i -= 2) {
            std::error_code ec;
            if (fs::remove(dir.path() / old_name(i), ec))
                removed[static_cast<std::size_t>(i)] = 1;
            std::this_thread::yield();
        }
    });
    ASSERT_EQ(tavrik_init(), 1);
    const int renamed = tavrik_batch(dir.str().c_str(), nullptr, 0);
    done = true;
    remover.join();
    EXPECT_GE(renamed, 0);
    EXPECT_LE(renamed, files);
    EXPECT_STRNE(tavrik_last_error(), "");
    std::size_t accounted = 0;
    for (int i = 0; i < files; ++i) {
        SCOPED_TRACE(i);
        const int copies = (fs::exists(dir.path() / old_name(i)) ? 1 : 0) + (fs::exists(dir.path() / new_name(i)) ? 1 : 0);
        EXPECT_LE(copies, 1);
        if (removed[static_cast<std::size_t>(i)] == 0) {
            EXPECT_EQ(copies, 1);
        }
        accounted += static_cast<std::size_t>(copies);
    }
    const auto left = std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{});
    EXPECT_EQ(static_cast<std::size_t>(left), accounted);   // nothing else appeared
}

}  // namespace
