#pragma once
// Recoveries with real processes: the recovery, the store file tool and the
// destination zento_arec run as children, each node with a ZENTO_HOME and
// ZENTO_NODE of its own, and the test reads back what the destination kept.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/records.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"
#include "tools/sf_tool/sample_messages.h"

namespace e2e {

using Bytes = std::vector<std::uint8_t>;
using Numbers = std::vector<std::uint32_t>;
using std::chrono::milliseconds;

// Generous: the tests share two loaded cores with whole builds.
constexpr milliseconds kRunLimit{60'000};
inline const std::string kRecover = ZENTO_BIN_DIR "/recover/zento_sf_recover";

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline bool waitUntil(const std::function<bool()>& done, milliseconds limit = kRunLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (; !done(); std::this_thread::sleep_for(milliseconds(5))) {
        if (std::chrono::steady_clock::now() >= end) return false;
    }
    return true;
}

inline Numbers numbers(std::uint32_t first, std::uint32_t last) {
    Numbers n;
    for (std::uint32_t i = first; i <= last; ++i) n.push_back(i);
    return n;
}

struct Node {
    std::string name, home;
    std::string file(const std::string& f) const { return home + "/" + f; }
    std::string log() const { return readText(file("log/zento.log")); }
};

// A child with standard output and error in files (or its standard output a
// pipe nobody reads, as after `| head`). Killed and reaped when the object
// goes, so a failed assertion leaves no process behind.
struct Process {
    pid_t pid = -1;
    std::optional<int> exitCode;  // 128 + the signal for a killed one
    std::string outPath;

    ~Process() { kill(); }
    bool start(const Node& node, std::vector<std::string> args, const std::string& outFile, bool closedStdout = false) {
        outPath = outFile;
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int out[2] = {-1, ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        if (closedStdout && (::close(out[1]) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) return false;
        const int err = ::open((outPath + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        exitCode.reset();
        pid = ::fork();
        if (pid == 0) {  // the test process has no other threads
            ::dup2(in, 0);
            ::dup2(out[1], 1);
            ::dup2(err, 2);
            ::setenv("ZENTO_HOME", node.home.c_str(), 1);
            ::setenv("ZENTO_NODE", node.name.c_str(), 1);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        for (const int fd : {out[0], out[1], err, in}) ::close(fd);  // -1 is refused harmlessly
        EXPECT_GT(pid, 0) << "cannot start " << args[0];
        return pid > 0;
    }
    bool running() {
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, WNOHANG) == 0) return pid > 0;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid = -1;
        return false;
    }
    // The exit code, or nothing while it still runs.
    std::optional<int> wait(milliseconds limit = kRunLimit) {
        waitUntil([this] { return !running(); }, limit);
        return exitCode;
    }
    void kill(int signal = SIGKILL) {
        if (pid > 0) ::kill(pid, signal);
        if (signal == SIGKILL) wait();
    }
    std::string out() const { return readText(outPath); }
    std::string err() const { return readText(outPath + ".err"); }
};

struct RunResult {
    int exitCode = -1;  // -1: still running at the limit, then killed
    std::string out, err;
};

// A program run to its end: args[0] names one of the built programs, or
// else the recovery is run with args.
inline RunResult run(const Node& node, std::vector<std::string> args, bool closedStdout = false) {
    if (args.empty() || !args[0].starts_with(ZENTO_BIN_DIR)) args.insert(args.begin(), kRecover);
    Process p;
    const int code = p.start(node, args, node.file("run.out"), closedStdout) ? p.wait().value_or(-1) : -1;
    EXPECT_NE(code, -1) << args[0] << " did not end in time";
    return {code, p.out(), p.err()};
}

// zento_sf_tool; a failure is a test failure.
inline bool tool(const Node& node, std::vector<std::string> args) {
    args.insert(args.begin(), ZENTO_BIN_DIR "/tools/sf_tool/zento_sf_tool");
    const RunResult r = run(node, args);
    EXPECT_EQ(r.exitCode, 0) << args[1] << ": " << r.out << r.err;
    return r.exitCode == 0;
}

// zento_arec keeping what it receives in capture, once it has said "ready".
inline bool startArec(Process& arec, const Node& node, const std::string& capture, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {ZENTO_BIN_DIR "/tools/arec/zento_arec", "--out", capture});
    if (!arec.start(node, args, capture + ".console")) return false;
    waitUntil([&] { return contains(arec.out(), "ready\n") || !arec.running(); });
    EXPECT_TRUE(arec.running()) << "zento_arec did not get ready:\n" << arec.out() << arec.err();
    return arec.running();
}

// The numbers of the messages in a capture file, in order. Given the store
// file's bytes, each must also be the stored message of its number byte for
// byte behind the head, addressed to TSK_AREC on toNode; the stored ones are
// found by a scan for sound records, independent of the cursor.
inline Numbers received(const std::string& capture, const Bytes& storeFile = {}, const std::string& toNode = {}) {
    std::map<std::uint32_t, const std::uint8_t*> stored;
    for (std::size_t p = 0; p + kRecordHeadSize <= storeFile.size(); ++p) {
        const std::uint8_t* m = storeFile.data() + p + kRecordPrefixSize;
        const std::uint32_t length = decodeU32(m + head::kLengthOffset);
        std::uint32_t n = 0;
        if (std::memcmp(m - kRecordPrefixSize, kRecordMarker, 4) == 0 &&
            storeCrc({m, kMessageHeadSize}) == decodeU32(m - 8) &&
            length <= storeFile.size() - p - kRecordPrefixSize && sampleSequence({m, length}, n)) {
            stored.emplace(n, m);
        }
    }
    const std::string bytes = readText(capture);
    Numbers numbers;
    for (std::size_t at = 0; at < bytes.size();) {
        const auto* m = reinterpret_cast<const std::uint8_t*>(bytes.data() + at);
        const std::uint32_t length = bytes.size() - at >= 8 ? decodeU32(m + head::kLengthOffset) : 0;
        std::uint32_t n = 0;
        if (length > bytes.size() - at || !sampleSequence({m, length}, n)) {
            ADD_FAILURE() << capture << " breaks off at byte " << at;
            break;
        }
        numbers.push_back(n);
        at += length;
        if (storeFile.empty()) continue;
        const auto* to = reinterpret_cast<const char*>(m + head::kDestinationOffset);
        EXPECT_EQ(std::string(fixedText(to, 32)) + "/" + std::string(fixedText(to + 32, 32)), toNode + "/TSK_AREC");
        EXPECT_TRUE(stored.count(n) != 0 && decodeU32(stored[n] + head::kLengthOffset) == length &&
                    std::equal(m + kMessageHeadSize, m + length, stored[n] + kMessageHeadSize))
            << "message " << n << " is not as stored";
    }
    return numbers;
}

// The header as the file holds it; a test failure unless both copies carry
// their CRC and are equal.
inline StoreFileHeader headerOf(const std::string& path, int type = 2) {
    Bytes b = testsupport::readAllBytes(path);
    b.resize(std::max<std::size_t>(b.size(), kHeaderAreaRead));  // a short file fails the checks below
    const std::uint32_t s = blockSizeOf(type);
    EXPECT_EQ(storeCrc({b.data(), s}), decodeU32(b.data() + s));
    EXPECT_TRUE(std::equal(b.data(), b.data() + s + 4, b.data() + s + 4)) << "the two header copies differ";
    StoreFileHeader h = type == 2 ? decodeType2(std::span<const std::uint8_t, 92>(b.data(), 92)) : StoreFileHeader{};
    if (type == 0) headerFromType0(std::span<const std::uint8_t, 64>(b.data(), 64), h);
    if (type == 1) headerFromType1(std::span<const std::uint8_t, 68>(b.data(), 68), h);
    return h;
}

// Rewrites a type-2 header in the layout of type 0 or 1; the bytes behind
// the shorter header stay as they were.
inline void rewriteHeaderAs(const std::string& path, int type) {
    Bytes bytes = testsupport::readAllBytes(path);
    StoreFileHeader h = decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92));
    h.revision = static_cast<std::uint32_t>(type);  // type 0 is then told by its magic
    const Bytes area = testsupport::makeHeaderArea(h, type);
    std::copy(area.begin(), area.end(), bytes.begin());
    testsupport::writeAllBytes(path, bytes);
}

// A test's own home with a store file and a capture file in it.
class E2ETest : public ::testing::Test {
protected:
    // A fresh store file: five sample GET replies and three unsolicited
    // replies of 2000 bytes, requested from this node.
    void fill(std::vector<std::string> create = {}) {
        std::filesystem::remove(store_);
        create.insert(create.begin(), {"create", store_});
        ASSERT_TRUE(tool(node_, create));
        ASSERT_TRUE(tool(node_, {"append", store_, "--count", "5"}));
        ASSERT_TRUE(tool(node_, {"append", store_, "--count", "3", "--type", "uns", "--size", "2000"}));
    }

    testsupport::TempHome home_;
    Node node_{"nodea", home_.path()};
    std::string store_ = node_.file("store.dat");
    std::string capture_ = node_.file("received.bin");
};

}  // namespace e2e
