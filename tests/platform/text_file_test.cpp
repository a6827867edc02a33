// Small text files read whole up to a limit. Appends are tested through the
// logs that use them.
#include "platform/text_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/support/temp_home.h"

namespace {

using TextFileTest = testsupport::TempHomeTest;

// Whatever is no readable file reads as nothing, at once: a FIFO without a
// writer must not hang its reader.
TEST_F(TextFileTest, SmallFilesAreReadUpToTheLimitAndAnythingElseAsNothing) {
    std::ofstream(home_.file("routes")) << "0123456789";
    ASSERT_EQ(::mkfifo(home_.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(home_.file("dir").c_str(), 0700), 0);
    const std::tuple<const char*, std::size_t, bool, std::string> cases[] = {
        {"routes", 4, true, "0123"},
        {"routes", 100, true, "0123456789"},
        {"absent", 100, false, ""},
        {"dir", 100, false, ""},
        {"fifo", 100, true, ""},
    };
    for (const auto& [name, limit, readable, text] : cases) {
        std::string got = "left over";
        EXPECT_EQ(platform::readSmallTextFile(home_.file(name), limit, got), readable) << name;
        EXPECT_EQ(got, text) << name;
    }
}

}  // namespace
