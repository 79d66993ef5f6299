#include <gtest/gtest.h>

#include "naming.h"
#include "pdf_builder.h"

TEST(Skeleton, HeaderOnlyFileIsAPdf)
{
    tavrik_test::temp_dir dir;
    tavrik_test::write_file(dir.path() / "a.pdf", "%PDF-1.7\n\n");
    tavrik::ppdf_info info{};
    EXPECT_EQ(tavrik::ppdf_parse((dir.path() / "a.pdf").c_str(), info), 1);
    EXPECT_STREQ(info.version, "1.7");
}
