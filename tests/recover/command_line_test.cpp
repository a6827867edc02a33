// In-process checks of the command line: what lands in the context and what
// is printed, byte for byte.
#include "recover/command_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "recover/recover_context.h"
#include "tests/support/temp_home.h"

namespace {

class CommandLine : public testsupport::TempHomeTest {
protected:
    // The result; what was printed goes to out_.
    CommandLineResult parse(std::vector<std::string> args) {
        args.insert(args.begin(), "zento_sf_recover");
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());
        testing::internal::CaptureStdout();
        const CommandLineResult r = parseCommandLine(ctx_, static_cast<int>(argv.size()), argv.data());
        out_ = testing::internal::GetCapturedStdout();
        return r;
    }
    std::string node() const { return std::string(ctx_.redirectNodeName, sizeof ctx_.redirectNodeName); }

    RecoverContext ctx_;
    std::string out_;
};

TEST_F(CommandLine, RefusedPositionalArgumentsPrintErrorAndSyntax) {
    const std::string missing = "\nError: DLGP service name & Store filename has not been specified";
    for (const auto& [args, error] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, missing},
             {{"svc"}, missing},
             {{"ABCDEFGHIJKLMNOP", "f"}, "\nError: DLGP service name too long"},
             {{"svc", std::string(kMaxStoreFileName + 1, 'p')}, "\nError: Store filename too long"}}) {
        const CommandLineResult r = parse(args);
        EXPECT_TRUE(!r.ok && r.exitCode == 1);
        EXPECT_EQ(out_, error + "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n");
    }
}

TEST_F(CommandLine, AcceptedPositionalArgumentsSetTheStartValuesEvenOverAnEarlierRun) {
    ctx_.moreMessages = ctx_.lastMsgAcked = false;
    ctx_.retryPending = ctx_.dumpMode = ctx_.nodeRedirect = true;
    ctx_.readPosition = ctx_.sendTimeout = 77;
    std::memset(ctx_.redirectNodeName, 'z', sizeof ctx_.redirectNodeName);
    ASSERT_TRUE(allocateMessage(ctx_.currentMsg, 300));
    // 15 characters, the most; only a to z are upper-cased. The path is kept whole.
    const std::string path = "/Data/" + std::string(kMaxStoreFileName - 6, 'x');
    ASSERT_TRUE(parse({"abz{AZ09-\xe9_mnop", path}).ok);
    EXPECT_EQ(out_, "");
    EXPECT_STREQ(ctx_.serviceName, "ABZ{AZ09-\xe9_MNOP");
    EXPECT_EQ(ctx_.storeFileName, path);
    EXPECT_TRUE(ctx_.moreMessages && ctx_.lastMsgAcked);
    EXPECT_FALSE(ctx_.retryPending || ctx_.currentMsg || ctx_.dumpMode || ctx_.nodeRedirect);
    EXPECT_EQ(std::make_pair(ctx_.readPosition, ctx_.sendTimeout), std::make_pair(std::int64_t{0}, 50));
    EXPECT_EQ(node(), std::string(34, '\0'));
    EXPECT_TRUE(parse({"", "f"}).ok);  // an empty service name passes
    EXPECT_STREQ(ctx_.serviceName, "");
}

TEST_F(CommandLine, OptionsSetTimeoutNodeAndDump) {
    struct Case {
        std::vector<std::string> options;
        std::int32_t timeout;
        std::string node;  // empty: no redirect
        bool dump;
        std::string out;
    };
    const auto to = [](const std::string& node) {
        return "Your have chosen to redirect your messages to node [" + node + "]\n";
    };
    const std::string dump =
        "You have specified the DUMP parameter.\nMessage recovery will occur regardless of file corruption\n";
    const std::string longName = std::string(31, 'n') + "Ltail", cut = longName.substr(0, 32);
    for (const Case& c : std::vector<Case>{
             {{}, 50, "", false, ""},
             {{"10"}, 100, "", false, ""},
             {{"12abc"}, 120, "", false, ""},
             {{"  -4"}, -40, "", false, ""},
             {{"9", "0", "x"}, 90, "", false, ""},  // zero and words leave the last number
             {{"3", "NODE", "host1", "7"}, 70, "host1", false, to("host1")},
             {{"NODE", "25"}, 50, "25", false, to("25")},
             {{"node", "HoSt1"}, 50, "HoSt1", false, to("HoSt1")},
             {{"NODE", "DUMP"}, 50, "DUMP", false, to("DUMP")},
             {{"dump", "NODE"}, 50, "", true, dump + "Error parsing parameters: no node name specified.\n"},
             {{"DUMP", "DUMP"}, 50, "", true, dump + dump},
             {{"NODE", "longername", "NODE", "ab"}, 50, "ab", false, to("longername") + to("ab")},
             {{"NODE", longName}, 50, cut, false, to(cut)},
             {{"NODEX", "DUMPY"}, 50, "", false, ""},  // whole words only
             {{"", "20"}, 200, "", false, ""},
             {{"214748364"}, 2147483640, "", false, ""},
             {{std::string(1023, '5')}, INT32_MAX, "", false, ""},  // saturates instead of wrapping
             {{"-99999999999999999999"}, INT32_MIN, "", false, ""},
             {{"11" + std::string(1022, 'a')}, 50, "", false, ""},  // 1,024 characters: skipped
         }) {
        std::vector<std::string> args = {"svc", "file"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ctx_ = {};
        ASSERT_TRUE(parse(args).ok);
        SCOPED_TRACE(testing::PrintToString(c.options));
        EXPECT_EQ(ctx_.sendTimeout, c.timeout);
        EXPECT_EQ(ctx_.nodeRedirect, !c.node.empty());
        EXPECT_EQ(node(), c.node + std::string(34 - c.node.size(), '\0'));
        EXPECT_EQ(ctx_.dumpMode, c.dump);
        EXPECT_EQ(out_, c.out);
    }
}

}  // namespace
