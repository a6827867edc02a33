// zento_sf_tool explain: a code of a status line looked up in the catalogue.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/sf_tool/sf_tool_cli.h"

namespace {

TEST(Explain, PrintsTheCataloguesMeaningOfACode) {
    const struct {
        std::vector<const char*> args;
        int exitCode;
        std::string out;
    } cases[] = {
        {{"explain", "13 ", "13510"}, kToolUsage, ""},
        {{"explain", "13", "13510"}, kToolOk,
         "facility=13  error=13510  the store file header is unusable: both blocks bad, or the forward offset "
         "outside the file\n"},
        {{"explain", "9103"}, kToolOk,
         "facility=9  error=9103  the service name is empty, too long, or has characters other than "
         "A-Z a-z 0-9 _ . -\n"},
        // A number loaded under two facilities shows both.
        {{"explain", "13575"}, kToolOk,
         "facility=8  error=13575  updateScanList: removing the declared tags from the stored list failed\n"
         "facility=13  error=13575  updateScanList: removing the cancelled tags failed\n"},
        {{"explain", "1", "2"}, kToolOk, "facility=1  error=2  No such file or directory\n"},
        {{"explain", "4", "13510"}, kToolFailed, ""},
        {{"explain", "13999"}, kToolFailed, ""},
        {{"explain"}, kToolUsage, ""},
        {{"explain", "x13510"}, kToolUsage, ""},
        {{"explain", "13", "13510", "1"}, kToolUsage, ""},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv = {"zento_sf_tool"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "(none)");
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int exitCode = runSfTool(static_cast<int>(argv.size()), argv.data());
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(exitCode, c.exitCode) << err;
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(err.empty(), c.exitCode == kToolOk) << err;
    }
}

}  // namespace
