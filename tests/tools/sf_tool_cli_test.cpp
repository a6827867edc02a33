// The zento_sf_tool command line: help, refusals, and what append makes.
#include "tests/tools/tool_test_support.h"

namespace {

using namespace tooltest;

class SfToolCli : public ToolTest {};

TEST_F(SfToolCli, HelpGoesToStandardOutput) {
    for (const char* program : {"sf_tool", "arec"}) {
        SCOPED_TRACE(program);
        const RunResult result = run({program == std::string("arec") ? arec() : sfTool(), "--help"}, dir_);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out.rfind("usage: zento_", 0), 0u) << result.out;
        EXPECT_TRUE(result.err.empty());
    }
}

TEST_F(SfToolCli, BadUsageIsRefusedOnStandardError) {
    const std::string file = path("f.dat");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frob", file},
        {"inspect"},
        {"inspect", file, "--all"},
        {"create", file, "--ring"},
        {"create", file, "--ring", "0"},
        {"create", file, "--ring", "1x"},
        {"append", file},
        {"append", file, "--count", "-3"},
        {"append", file, "--count", "1", "--type", "xml"},
        {"append", file, "--count", "1", "--size", "99999999999"},
        {"append", file, "--count", "1", "--node", ""},
    };
    for (const auto& args : cases) {
        const RunResult result = runSf(args, dir_);
        EXPECT_EQ(result.exitCode, 2) << (args.empty() ? "(none)" : args[0]) << " " << result.err;
        EXPECT_FALSE(result.err.empty());
        EXPECT_TRUE(result.out.empty());
    }
    EXPECT_FALSE(std::filesystem::exists(file)) << "a refused command makes no file";
    EXPECT_EQ(run({arec(), "--no-ack", "x"}, dir_).exitCode, 2);
}

// A reader that went away (`inspect FILE | head`) must not kill the tool in
// the middle of its work: an append still appends everything.
TEST_F(SfToolCli, ClosedStandardOutputKillsNoCommand) {
    const std::string file = path("closed.dat");
    ASSERT_EQ(runSf({"create", file}, dir_).exitCode, 0);
    const std::vector<std::vector<std::string>> commands = {
        {"append", file, "--count", "3"},
        {"inspect", file},
        {"--help"},
    };
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0]);
        std::vector<std::string> args{sfTool()};
        args.insert(args.end(), command.begin(), command.end());
        const pid_t pid = spawnWithClosedStdout(args, path("closed.err"));
        ASSERT_GT(pid, 0);
        EXPECT_NE(waitExit(pid), 128 + SIGPIPE);
    }
    const RunResult inspected = runSf({"inspect", file}, dir_);
    EXPECT_NE(inspected.out.find("3 message"), std::string::npos) << inspected.out;
}

TEST_F(SfToolCli, AppendMakesMessagesOfTheAskedKindSizeAndRequester) {
    const std::string file = path("kinds.dat");
    ASSERT_EQ(runSf({"create", file}, dir_).exitCode, 0);
    RunResult result =
        runSf({"append", file, "--count", "2", "--size", "1000", "--type", "uns", "--node", "othernode"}, dir_);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "appended 2 message(s) to " + file + ", numbered 1 to 2\n");
    ASSERT_EQ(runSf({"append", file, "--count", "1", "--first-seq", "40"}, dir_).exitCode, 0);

    result = runSf({"dump", file}, dir_);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("offset 192: unsolicited reply, 1000 bytes, requester othernode/DLGPCLIENT, list id 1,"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("offset 1204: unsolicited reply, 1000 bytes"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("GET reply, 684 bytes, requester testnode/DLGPCLIENT, list id 40,"), std::string::npos);
    EXPECT_NE(result.out.find("value \"sample message 40\""), std::string::npos);

    // Numbering goes on from the newest record by default.
    result = runSf({"append", file, "--count", "1"}, dir_);
    EXPECT_EQ(result.out, "appended 1 message(s) to " + file + ", numbered 41 to 41\n");
}

TEST_F(SfToolCli, AppendFailuresSayWhy) {
    const std::string file = path("small.dat");
    ASSERT_EQ(runSf({"create", file}, dir_).exitCode, 0);
    RunResult result = runSf({"append", file, "--count", "1", "--size", "400"}, dir_);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("below the smallest message of this kind, 678 bytes"), std::string::npos) << result.err;

    result = runSf({"append", path("missing.dat"), "--count", "1"}, dir_);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot open"), std::string::npos) << result.err;

    const std::string ring = path("ring.dat");
    ASSERT_EQ(runSf({"create", ring, "--ring", "1"}, dir_).exitCode, 0);
    result = runSf({"append", ring, "--count", "1", "--size", "2000000"}, dir_);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("does not fit"), std::string::npos) << result.err;
    result = runSf({"append", ring, "--count", "100", "--size", "20000"}, dir_);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("is full"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("(52 of 100 messages stored)"), std::string::npos) << result.err;
}

}  // namespace
