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

struct Parsed {
    CommandLineResult result;
    std::string out;
};

Parsed parse(RecoverContext& ctx, std::vector<std::string> args) {
    args.insert(args.begin(), "zento_sf_recover");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    testing::internal::CaptureStdout();
    CommandLineResult r = parseCommandLine(ctx, static_cast<int>(argv.size()), argv.data());
    return {r, testing::internal::GetCapturedStdout()};
}

class CommandLine : public testsupport::TempHomeTest {};

const std::string kSyntax = "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n";

TEST_F(CommandLine, RefusedPositionalArgumentsPrintErrorAndSyntax) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, "\nError: DLGP service name & Store filename has not been specified"},
        {{"svc"}, "\nError: DLGP service name & Store filename has not been specified"},
        {{"ABCDEFGHIJKLMNOP", "f"}, "\nError: DLGP service name too long"},
        {{"svc", std::string(kMaxStoreFileName + 1, 'p')}, "\nError: Store filename too long"},
    };
    for (const auto& c : cases) {
        RecoverContext ctx;
        Parsed p = parse(ctx, c.args);
        EXPECT_FALSE(p.result.ok);
        EXPECT_EQ(p.result.exitCode, 1);
        EXPECT_EQ(p.out, c.error + kSyntax);
    }
}

TEST_F(CommandLine, PositionalArgumentsAtTheirLimitsAreKeptWhole) {
    RecoverContext ctx;
    std::string path = "/Data/" + std::string(kMaxStoreFileName - 6, 'x');
    Parsed p = parse(ctx, {"abcdefghijklmno", path});
    ASSERT_TRUE(p.result.ok);
    EXPECT_EQ(p.out, "");
    EXPECT_STREQ(ctx.serviceName, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(ctx.storeFileName, path);  // case kept, not cut

    RecoverContext empty;
    EXPECT_TRUE(parse(empty, {"", "f"}).result.ok);  // an empty service name passes
    EXPECT_STREQ(empty.serviceName, "");
}

TEST_F(CommandLine, StartValuesAreSetEvenOverAnEarlierRun) {
    RecoverContext ctx;
    ctx.moreMessages = false;
    ctx.lastMsgAcked = false;
    ctx.retryPending = true;
    ctx.readPosition = 77;
    ctx.dumpMode = true;
    ctx.nodeRedirect = true;
    ctx.sendTimeout = 3;
    std::memset(ctx.redirectNodeName, 'z', sizeof ctx.redirectNodeName);
    ASSERT_TRUE(allocateMessage(ctx.currentMsg, 300));

    ASSERT_TRUE(parse(ctx, {"svc", "file"}).result.ok);
    EXPECT_TRUE(ctx.moreMessages);
    EXPECT_TRUE(ctx.lastMsgAcked);
    EXPECT_FALSE(ctx.retryPending);
    EXPECT_FALSE(ctx.currentMsg);
    EXPECT_EQ(ctx.readPosition, 0);
    EXPECT_FALSE(ctx.dumpMode);
    EXPECT_FALSE(ctx.nodeRedirect);
    EXPECT_EQ(ctx.sendTimeout, 50);
    for (char c : ctx.redirectNodeName) EXPECT_EQ(c, '\0');
}

TEST_F(CommandLine, OptionsSetTimeoutNodeAndDump) {
    struct Case {
        std::vector<std::string> options;
        std::int32_t timeout;
        bool redirect;
        std::string node;
        bool dump;
        std::string out;
    };
    const std::string redirectHost1 = "Your have chosen to redirect your messages to node [host1]\n";
    const std::string dumpLines =
        "You have specified the DUMP parameter.\nMessage recovery will occur regardless of file corruption\n";
    const std::string noNode = "Error parsing parameters: no node name specified.\n";
    const std::vector<Case> cases = {
        {{}, 50, false, "", false, ""},
        {{"10"}, 100, false, "", false, ""},
        {{"0"}, 50, false, "", false, ""},
        {{"abc"}, 50, false, "", false, ""},
        {{"12abc"}, 120, false, "", false, ""},
        {{"  -4"}, -40, false, "", false, ""},
        {{"+8"}, 80, false, "", false, ""},
        {{"3", "NODE", "host1", "7"}, 70, true, "host1", false, redirectHost1},
        {{"9", "0", "x"}, 90, false, "", false, ""},  // zero and words leave the last number
        {{"NODE", "25"}, 50, true, "25", false, "Your have chosen to redirect your messages to node [25]\n"},
        {{"node", "HoSt1"}, 50, true, "HoSt1", false,
         "Your have chosen to redirect your messages to node [HoSt1]\n"},
        {{"NODE", "DUMP"}, 50, true, "DUMP", false, "Your have chosen to redirect your messages to node [DUMP]\n"},
        {{"dump", "NODE"}, 50, false, "", true, dumpLines + noNode},
        {{"DUMP", "DUMP"}, 50, false, "", true, dumpLines + dumpLines},
        {{"NODE", "longername", "NODE", "ab"}, 50, true, "ab", false,
         "Your have chosen to redirect your messages to node [longername]\n"
         "Your have chosen to redirect your messages to node [ab]\n"},
        {{"NODEX", "DUMPY"}, 50, false, "", false, ""},  // whole words only
        {{"", "20"}, 200, false, "", false, ""},
        {{std::string(1023, '5')}, INT32_MAX, false, "", false, ""},
        {{"11" + std::string(1022, 'a')}, 50, false, "", false, ""},  // 1,024 characters: skipped
    };
    for (const auto& c : cases) {
        RecoverContext ctx;
        std::vector<std::string> args = {"svc", "file"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Parsed p = parse(ctx, args);
        SCOPED_TRACE(testing::PrintToString(c.options));
        ASSERT_TRUE(p.result.ok);
        EXPECT_EQ(ctx.sendTimeout, c.timeout);
        EXPECT_EQ(ctx.nodeRedirect, c.redirect);
        EXPECT_STREQ(ctx.redirectNodeName, c.node.c_str());
        EXPECT_EQ(ctx.dumpMode, c.dump);
        EXPECT_EQ(p.out, c.out);
    }
}

TEST_F(CommandLine, LongNodeNameIsCutTo32AndTerminated) {
    RecoverContext ctx;
    std::string name(40, 'n');
    name[31] = 'L';
    Parsed p = parse(ctx, {"svc", "file", "NODE", name});
    ASSERT_TRUE(p.result.ok);
    EXPECT_EQ(std::string(ctx.redirectNodeName), name.substr(0, 32));
    EXPECT_EQ(ctx.redirectNodeName[32], '\0');
    EXPECT_EQ(ctx.redirectNodeName[33], '\0');
    EXPECT_EQ(p.out, "Your have chosen to redirect your messages to node [" + name.substr(0, 32) + "]\n");
}

TEST_F(CommandLine, TimeoutSaturatesInsteadOfWrapping) {
    EXPECT_EQ(timeoutUnitsOf("214748364"), 2147483640);
    EXPECT_EQ(timeoutUnitsOf("214748365"), INT32_MAX);
    EXPECT_EQ(timeoutUnitsOf("-214748364"), -2147483640);
    EXPECT_EQ(timeoutUnitsOf("-214748365"), INT32_MIN);
    EXPECT_EQ(timeoutUnitsOf("99999999999999999999999999999"), INT32_MAX);
    EXPECT_EQ(timeoutUnitsOf("-99999999999999999999999999999"), INT32_MIN);
    EXPECT_EQ(timeoutUnitsOf("\t\n 5"), 50);
    EXPECT_EQ(timeoutUnitsOf("- 5"), 0);
    EXPECT_EQ(timeoutUnitsOf("--5"), 0);
    EXPECT_EQ(timeoutUnitsOf(""), 0);
}

TEST_F(CommandLine, UpcaseTouchesOnlyLetters) {
    char text[] = "abz{AZ09-\xe9_m";
    EXPECT_EQ(upcaseInPlace(text), text);
    EXPECT_STREQ(text, "ABZ{AZ09-\xe9_M");
}

TEST_F(CommandLine, ParseOptionsStartsAtTheGivenIndexAndLeavesArgumentsUnchanged) {
    RecoverContext ctx;
    char a0[] = "prog", a1[] = "30", a2[] = "node", a3[] = "MixedCase", a4[] = "4";
    const char* argv[] = {a0, a1, a2, a3, a4};
    testing::internal::CaptureStdout();
    parseOptions(ctx, 5, argv, 2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ctx.sendTimeout, 40);  // argument 1 lies before the first index
    EXPECT_STREQ(ctx.redirectNodeName, "MixedCase");
    EXPECT_STREQ(a2, "node");
}

}  // namespace
