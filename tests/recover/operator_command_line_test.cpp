// The command line tells the operator on standard error about every word the
// rules ignore and every timeout that is not plainly a whole number, with
// what it was read as; alone, --help and --version answer and end the run.
#include <sstream>

#include "recover/command_line.h"
#include "recover/recovery.h"
#include "tests/forward/forward_test_support.h"
#include "zento_version.h"

namespace {

class OperatorCommandLine : public fwdtest::InProcessTest {
protected:
    CommandLineResult parse(std::vector<std::string> args) {
        args.insert(args.begin(), "zento_sf_recover");
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ctx_ = {};
        const CommandLineResult r = parseCommandLine(ctx_, static_cast<int>(argv.size()), argv.data());
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return r;
    }
    std::string err_;
};

TEST_F(OperatorCommandLine, IgnoredWordsAndOddTimeoutsAreNamedWithWhatTheyWereReadAs) {
    const std::string w = "zento_sf_recover: Warning: ";
    for (const auto& [options, timeout, err] : std::vector<std::tuple<std::vector<std::string>, std::int32_t, std::string>>{
             {{"10", "+7", " 8", "NODE", "abc", "DUMP"}, 80, ""},  // whole numbers, keywords and a node name
             {{"abc"}, 50, w + "'abc' is neither NODE, DUMP nor a timeout, and is ignored.\n"},
             {{"FOO", "5s"}, 50, w + "'FOO' is neither NODE, DUMP nor a timeout, and is ignored.\n" + w +
                                     "the timeout '5s' is not a whole number of seconds: it is read as 5 s.\n"},
             {{"2.5"}, 20, w + "the timeout '2.5' is not a whole number of seconds: it is read as 2 s.\n"},
             {{"7", "0"}, 70, w + "the timeout '0' reads as 0, which is ignored: the timeout stays 7 s.\n"},
             {{"-1"}, -10, w + "the timeout '-1' is negative: it is read as -1 s, and every send gets the shortest "
                               "time-out the library allows.\n"},
             {{"99999999999"}, INT32_MAX, w + "the timeout '99999999999' is beyond the longest a send can take: it "
                                              "is read as 214748364 s.\n"},
             {{"", "\x1b[2J"}, 50, w + "an empty argument is ignored.\n" + w +
                                       "'\\x1B[2J' is neither NODE, DUMP nor a timeout, and is ignored.\n"},
             {{std::string(1024, 'x')}, 50, w + "an argument of 1024 bytes is ignored (1024 bytes or more): '" +
                                                std::string(32, 'x') + "...'.\n"},
         }) {
        SCOPED_TRACE(testing::PrintToString(options));
        std::vector<std::string> args = {"svc", "file"};
        args.insert(args.end(), options.begin(), options.end());
        ASSERT_TRUE(parse(args).ok);
        EXPECT_EQ(ctx_.sendTimeout, timeout);
        EXPECT_EQ(err_, err);
        // The same lines in the log, under the service name.
        std::istringstream lines(err);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_GE(logged("[SVC] " + line.substr(std::strlen("zento_sf_recover: ")) + "\n"), 1) << line;
        }
    }
}

TEST_F(OperatorCommandLine, HelpAndVersionAloneAnswerOnStandardOutputAndEndWithZero) {
    for (const char* ask : {"--help", "-h"}) {
        const CommandLineResult r = parse({ask});
        EXPECT_TRUE(!r.ok && r.exitCode == 0);
        EXPECT_TRUE(out_.starts_with("usage: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n"));
        for (const char* part : {"Exit codes:\n  0  ", "\n  1  it could not start", "\n  2  it stopped on a file fault",
                                 "NODE nodename", "DUMP", "timeout"}) {
            EXPECT_NE(out_.find(part), std::string::npos) << part;
        }
        EXPECT_EQ(err_, "");
    }
    const CommandLineResult r = parse({"--version"});
    EXPECT_TRUE(!r.ok && r.exitCode == 0);
    EXPECT_EQ(out_, std::string("zento_sf_recover ") + kZentoVersion + " (revision " + kZentoRevision + ")\n");
    // Anywhere else they are words like any other.
    EXPECT_TRUE(parse({"svc", "file", "--help"}).ok);
    EXPECT_EQ(err_, "zento_sf_recover: Warning: '--help' is neither NODE, DUMP nor a timeout, and is ignored.\n");
    EXPECT_TRUE(parse({"--version", "file"}).ok);
}

}  // namespace
