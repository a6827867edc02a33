// The library's logs: one stamped line per call in its file under
// ZENTO_HOME/log, nothing on standard output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <regex>

#include "msglib/library_codes.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

std::vector<std::string> lines(const char* name) {
    std::ifstream in(msgtest::kFreshHome->home->file("log/") + name);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

TEST(Logging, EachLogHasItsLineFormat) {
    StatusBlock block, status;
    ZENTO_SERVER_INITBLK(block);
    ZENTO_SERVER_LDBLK(1, 2, block);
    ZENTO_SERVER_LDBLK(13, 13005, block);
    testing::internal::CaptureStdout();
    ZENTO_SERVER_LOGMSG("DLGP1", "Zen-TO Recover Process started.\n", status);
    ZENTO_SERVER_LOGMSG("DLGP1", "first\nsecond\n\n", status);  // trailing line ends are dropped
    ZENTO_SERVER_LOGBLK("SVC", block, status);
    ZENTO_DIAG_LOG("LOGIC", 7004, "KV.58 Scan task sending regular scan request\n  Frequency = 10.0 sec", status);
    EXPECT_FALSE(statusFailed(status));
    KernelDebugLog("[%s] [%s]", "ScanList", "entry 3 removed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    const std::vector<std::string> message = lines("zento.log"), diag = lines("diag.log");
    ASSERT_EQ(message.size(), 4u);
    EXPECT_TRUE(std::regex_match(
        message[0], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DLGP1\] Zen-TO Recover Process started\.)")));
    EXPECT_EQ(message[1].substr(24) + "|" + message[2], "[DLGP1] first|second");
    EXPECT_EQ(message[3].substr(24), "[SVC] facility=1 error=2, facility=13 error=13005");
    ASSERT_EQ(diag.size(), 2u);
    EXPECT_EQ(diag[0].substr(24), "[LOGIC] [7004] KV.58 Scan task sending regular scan request");
    EXPECT_EQ(diag[1], "  Frequency = 10.0 sec");
    EXPECT_EQ(lines("kernel.log").at(0).substr(24), "[ScanList] [entry 3 removed]");

    char text[] = "a\r\nb\nc\r";
    ZENTO_FILTER_CRLF(text);
    EXPECT_STREQ(text, "a  b c ");
}

TEST(Logging, FailureToLogIsReportedNotPrinted) {
    std::ofstream(msgtest::kFreshHome->home->file("log")).put('x');  // a file where the directory belongs
    testing::internal::CaptureStdout();
    StatusBlock status;
    ZENTO_SERVER_LOGMSG("SVC", "lost", status);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(statusEntryCount(status), 2);
    EXPECT_EQ(std::make_pair(status.facility[0], status.error[0]), std::make_pair(kFacilityRuntime, ENOTDIR));
    EXPECT_EQ(std::make_pair(status.facility[1], status.error[1]),
              std::make_pair(kFacilityLibrary, libcode::kLogOpenFailed));
    ZENTO_DIAG_LOG("LOGIC", 7004, "lost", status);
    EXPECT_TRUE(statusFailed(status));
}

TEST(Logging, TwoProcessesAppendWholeLines) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    StatusBlock status;
    for (int i = 0; i < 300; ++i) ZENTO_SERVER_LOGMSG(child == 0 ? "CHILD" : "PARENT", std::string(200, 'p'), status);
    if (child == 0) ::_exit(statusFailed(status) ? 1 : 0);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(child, &exitStatus, 0), child);
    EXPECT_EQ(exitStatus, 0);
    const std::vector<std::string> all = lines("zento.log");
    ASSERT_EQ(all.size(), 600u);
    const std::regex whole(".{24}\\[(CHILD|PARENT)\\] p{200}");
    for (const std::string& line : all) ASSERT_TRUE(std::regex_match(line, whole)) << line;
}

}  // namespace
