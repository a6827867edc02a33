#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "msglib/library_codes.h"
#include "msglib/msglib.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

class Logging : public ::testing::Test {
protected:
    static std::string home() { return msgtest::FreshHome::current(); }
    std::string read(const char* name) const {
        std::ifstream in(home() + "/log/" + name, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    std::vector<std::string> lines(const char* name) const {
        std::vector<std::string> out;
        std::stringstream all(read(name));
        for (std::string line; std::getline(all, line);) out.push_back(line);
        return out;
    }
};

TEST_F(Logging, MessageLinesAreStampedNamedAndEndInOneNewline) {
    testing::internal::CaptureStdout();
    StatusBlock status;
    ZENTO_SERVER_LOGMSG("DLGP1", "Zen-TO Recover Process started.\n", status);
    EXPECT_FALSE(statusFailed(status));
    ZENTO_SERVER_LOGMSG("DLGP1", "first\nsecond\n\n", status);
    ZENTO_SERVER_LOGMSG("DLGP1", "", status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::string log = read("zento.log");
    std::vector<std::string> all = lines("zento.log");
    ASSERT_EQ(all.size(), 4u);
    EXPECT_TRUE(std::regex_match(
        all[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DLGP1\] Zen-TO Recover Process started\.)")));
    EXPECT_TRUE(all[1].ends_with("[DLGP1] first"));
    EXPECT_EQ(all[2], "second");
    EXPECT_TRUE(all[3].ends_with("[DLGP1] "));
    EXPECT_EQ(log.back(), '\n');
    EXPECT_EQ(log.find("\n\n"), std::string::npos);
}

TEST_F(Logging, StatusBlocksDiagnosticsAndKernelLinesGoToTheirFiles) {
    StatusBlock block, status;
    ZENTO_SERVER_INITBLK(block);
    ZENTO_SERVER_LDBLK(1, 2, block);
    ZENTO_SERVER_LDBLK(13, 13005, block);
    testing::internal::CaptureStdout();
    ZENTO_SERVER_LOGBLK("SVC", block, status);
    EXPECT_FALSE(statusFailed(status));
    ZENTO_DIAG_LOG("LOGIC", 7004, "KV.58 Scan task sending regular scan request\n  Frequency = 10.0 sec", status);
    EXPECT_FALSE(statusFailed(status));
    KernelDebugLog("[%s] [%s]", "ScanList", "entry 3 removed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    std::vector<std::string> message = lines("zento.log");
    ASSERT_EQ(message.size(), 1u);
    EXPECT_TRUE(message[0].ends_with("[SVC] facility=1 error=2, facility=13 error=13005"));
    std::vector<std::string> diag = lines("diag.log");
    ASSERT_EQ(diag.size(), 2u);
    EXPECT_NE(diag[0].find("[LOGIC] [7004] KV.58 Scan task"), std::string::npos);
    EXPECT_EQ(diag[1], "  Frequency = 10.0 sec");
    std::vector<std::string> kernel = lines("kernel.log");
    ASSERT_EQ(kernel.size(), 1u);
    EXPECT_TRUE(kernel[0].ends_with(" [ScanList] [entry 3 removed]"));
}

TEST_F(Logging, FailureToLogIsReportedNotPrinted) {
    // A plain file where the log directory belongs.
    std::ofstream(home() + "/log").put('x');
    testing::internal::CaptureStdout();
    StatusBlock status;
    ZENTO_SERVER_LOGMSG("SVC", "lost", status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(statusEntryCount(status), 2);
    EXPECT_EQ(status.facility[0], kFacilityRuntime);
    EXPECT_EQ(status.error[0], ENOTDIR);
    EXPECT_EQ(status.facility[1], kFacilityLibrary);
    EXPECT_EQ(status.error[1], libcode::kLogOpenFailed);
    ZENTO_DIAG_LOG("LOGIC", 7004, "lost", status);
    EXPECT_TRUE(statusFailed(status));
}

TEST_F(Logging, TwoProcessesAppendWholeLines) {
    constexpr int kLines = 300;
    const std::string text(200, 'p');
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    StatusBlock status;
    const char* name = child == 0 ? "CHILD" : "PARENT";
    for (int i = 0; i < kLines; ++i) ZENTO_SERVER_LOGMSG(name, text, status);
    if (child == 0) ::_exit(statusFailed(status) ? 1 : 0);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(child, &exitStatus, 0), child);
    EXPECT_EQ(exitStatus, 0);

    std::vector<std::string> all = lines("zento.log");
    ASSERT_EQ(all.size(), 2u * kLines);
    const std::regex whole(".{24}\\[(CHILD|PARENT)\\] p{200}");
    for (const std::string& line : all) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

TEST(FilterCrLf, BlanksLineBreaksInPlace) {
    char text[] = "a\r\nb\nc\r";
    ZENTO_FILTER_CRLF(text);
    EXPECT_STREQ(text, "a  b c ");
    ZENTO_FILTER_CRLF(nullptr);
}

}  // namespace
