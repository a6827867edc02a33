#pragma once
// Recoveries run as real processes against zento_arec: start them, watch
// what they print, end them, and read back what the destination received.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "tests/tools/tool_test_support.h"

namespace robust {

using tooltest::readFile;

inline std::string recoverProgram() { return tooltest::binary("recover/zento_sf_recover"); }

// True once done() holds, false when it did not within limit.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// A child process with its standard output and error in files. Killed and
// reaped on destruction unless it was waited for.
class Process {
public:
    Process(const std::vector<std::string>& args, std::string outPath, std::string errPath)
        : outPath_(std::move(outPath)), errPath_(std::move(errPath)) {
        pid_ = tooltest::spawn(args, outPath_, errPath_);
    }
    ~Process() { kill(SIGKILL); }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }

    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == 0) return true;
        pid_ = -1;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    // The exit code, or -1 when it did not end within limit (it is then killed).
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        if (!waitUntil([this] { return !running(); }, limit)) {
            kill(SIGKILL);
            return -1;
        }
        return exitCode_;
    }
    void kill(int signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, signal);
        exitCode_ = tooltest::waitExit(pid_);
        pid_ = -1;
    }

private:
    std::string outPath_;
    std::string errPath_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// The list ids (sequence numbers) of the messages a --out file holds, in the
// order they arrived.
inline std::vector<std::uint32_t> receivedSequences(const std::string& path) {
    const std::string bytes = readFile(path);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::vector<std::uint32_t> sequences;
    std::size_t at = 0;
    while (bytes.size() - at >= head::kSize) {
        const std::uint32_t length = decodeU32(data + at + head::kLengthOffset);
        if (length < head::kSize || length > bytes.size() - at) break;
        std::uint32_t sequence = 0;
        sampleSequence(MsgView(data + at, length), sequence);
        sequences.push_back(sequence);
        at += length;
    }
    return sequences;
}

// A fresh home with a store file and helpers to run the programs in it.
class RecoveryProcessTest : public tooltest::ToolTest {
protected:
    // A linear store file of count sample messages numbered from 1, all
    // requested from this node.
    void makeStore(const std::string& file, std::uint32_t count) {
        const tooltest::RunResult created = tooltest::runSf({"create", file}, dir_);
        ASSERT_EQ(created.exitCode, 0) << created.err;
        const tooltest::RunResult appended =
            tooltest::runSf({"append", file, "--count", std::to_string(count), "--node", tooltest::kNode}, dir_);
        ASSERT_EQ(appended.exitCode, 0) << appended.err;
    }

    // zento_arec with options, once it has said it is ready; name tells its
    // output files apart.
    std::unique_ptr<Process> startArec(const std::string& name, std::vector<std::string> options) {
        std::vector<std::string> args{tooltest::arec()};
        args.insert(args.end(), options.begin(), options.end());
        auto arec = std::make_unique<Process>(args, path(name + ".out"), path(name + ".err"));
        EXPECT_TRUE(arec->started());
        EXPECT_TRUE(waitUntil([&] { return contains(arec->out(), "ready\n") || !arec->running(); },
                              std::chrono::seconds(10)))
            << arec->err();
        EXPECT_TRUE(arec->running()) << arec->err();
        return arec;
    }

    std::unique_ptr<Process> startRecovery(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), recoverProgram());
        auto recovery = std::make_unique<Process>(args, path(name + ".out"), path(name + ".err"));
        EXPECT_TRUE(recovery->started());
        return recovery;
    }

    std::string libraryLog() const { return readFile(path("log/zento.log")); }
};

}  // namespace robust
