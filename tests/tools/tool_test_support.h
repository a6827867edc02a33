#pragma once
// Shared by the companion tool tests: a fresh ZENTO_HOME per test, running
// the tool programs as child processes, and draining a store file through the
// real cursor.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "msglib/msglib.h"
#include "recover/recover_context.h"
#include "storefile/cursor.h"
#include "storefile/store_open.h"
#include "tests/support/temp_home.h"
#include "tools/sf_tool/sample_messages.h"

extern char** environ;

namespace tooltest {

constexpr const char* kNode = "testnode";

inline std::string binary(const char* relative) { return std::string(ZENTO_BIN_DIR) + "/" + relative; }
inline std::string sfTool() { return binary("tools/sf_tool/zento_sf_tool"); }
inline std::string arec() { return binary("tools/arec/zento_arec"); }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A test's own ZENTO_HOME, which also holds its scratch files.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("ZENTO_NODE", kNode, 1); }
    std::string path(const std::string& name) const { return home_.file(name); }

    testsupport::TempHome home_;
    std::string dir_ = home_.path();
};

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Starts a program with stdout and stderr going to files, or with stdout a
// pipe nobody reads (as after `| head` has gone) when outPath is empty; the
// pid, or -1.
inline pid_t spawn(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath) {
    int fds[2] = {-1, -1};
    if (outPath.empty() && ::pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outPath.empty()) {
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (outPath.empty()) {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    return pid;
}

inline int waitExit(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline RunResult run(const std::vector<std::string>& args, const std::string& scratch) {
    RunResult result;
    const pid_t pid = spawn(args, scratch + "/run.out", scratch + "/run.err");
    if (pid < 0) return result;
    result.exitCode = waitExit(pid);
    result.out = readFile(scratch + "/run.out");
    result.err = readFile(scratch + "/run.err");
    return result;
}

inline RunResult runSf(std::vector<std::string> args, const std::string& scratch) {
    args.insert(args.begin(), sfTool());
    return run(args, scratch);
}

// What the real cursor delivers from a store file, in order.
struct Drained {
    std::vector<std::uint32_t> sequences;
    std::vector<std::int64_t> offsets;
    bool opened = false;
};

// Reads and removes up to limit messages as a recovery does, then closes.
inline Drained drain(const std::string& path, std::size_t limit = SIZE_MAX) {
    testing::internal::CaptureStdout();  // the store file subsystem's lines
    Drained drained;
    RecoverContext ctx;
    ctx.storeFileName = path;
    setFixedText(ctx.serviceName, sizeof ctx.serviceName, "TOOLTEST");
    StatusBlock status;
    drained.opened = openStoreFile(ctx, status);
    while (drained.opened && drained.sequences.size() < limit && readNextMessage(ctx, status) != 0) {
        std::uint32_t sequence = 0;
        EXPECT_TRUE(sampleSequence(ctx.currentMsg.view(), sequence));
        drained.sequences.push_back(sequence);
        drained.offsets.push_back(ctx.header.forwardOffset);
        removeLastMsg(ctx, status);
        EXPECT_FALSE(statusFailed(status));
        if (!ctx.moreMessages || ctx.stopRequested) break;
    }
    if (drained.opened) MasterFileClose(ctx, status);
    testing::internal::GetCapturedStdout();
    return drained;
}

inline std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t n = first; n <= last; ++n) numbers.push_back(n);
    return numbers;
}

}  // namespace tooltest
