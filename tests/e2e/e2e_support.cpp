#include "tests/e2e/e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "recover/recover_context.h"
#include "storefile/cursor.h"
#include "storefile/store_open.h"
#include "tests/support/file_damage.h"
#include "tests/support/store_builder.h"
#include "tools/sf_tool/sample_messages.h"

extern char** environ;

namespace e2e {

namespace {

std::string binary(std::string_view relative) { return std::string(ZENTO_BIN_DIR) + "/" + std::string(relative); }

// The test's own environment with the node's home and name (and any extra
// variables) put in place of what it had.
std::vector<std::string> childEnvironment(const Node& node, const Env& extraEnv) {
    Env overrides = {{"ZENTO_HOME", node.home}, {"ZENTO_NODE", node.name}};
    overrides.insert(overrides.end(), extraEnv.begin(), extraEnv.end());
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        const bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) {
            return text.size() > o.first.size() && text.substr(0, o.first.size()) == o.first &&
                   text[o.first.size()] == '=';
        });
        if (!replaced) env.emplace_back(text);
    }
    for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (std::string& text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// Keeps the cursor's console lines out of the test output.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            ::dup2(saved_, STDOUT_FILENO);
            ::close(saved_);
        }
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};

std::string fixedField(const std::uint8_t* field) {
    return std::string(fixedText(reinterpret_cast<const char*>(field), 32));
}

}  // namespace

std::string recoverProgram() { return binary("recover/zento_sf_recover"); }
std::string toolProgram() { return binary("tools/sf_tool/zento_sf_tool"); }
std::string arecProgram() { return binary("tools/arec/zento_arec"); }

Node Node::inside(const testsupport::TempHome& temp, std::string_view nodeName, std::string_view subdir) {
    Node node{std::string(nodeName), temp.path()};
    if (!subdir.empty()) {
        node.home = temp.file(subdir);
        if (::mkdir(node.home.c_str(), 0700) != 0) ADD_FAILURE() << "cannot make " << node.home;
    }
    return node;
}

std::string Node::log() const { return readText(file("log/zento.log")); }

Process::~Process() {
    if (pid_ > 0 && !exitCode_) kill(SIGKILL);
}

bool Process::start(const Node& node, const std::vector<std::string>& args, const std::string& outPath,
                    const Env& extraEnv) {
    outPath_ = outPath;
    exitCode_.reset();
    maxRssKb_ = 0;
    std::vector<std::string> argv = args;
    std::vector<std::string> env = childEnvironment(node, extraEnv);
    const std::string errPath = outPath + ".err";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int failed = ::posix_spawn(&pid_, argv.at(0).c_str(), &actions, nullptr, pointers(argv).data(),
                                     pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(failed);
        return false;
    }
    return true;
}

bool Process::reap(int flags) {
    if (pid_ <= 0) return false;
    if (exitCode_) return true;
    int status = 0;
    rusage usage{};
    const pid_t done = ::wait4(pid_, &status, flags, &usage);
    if (done != pid_) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    maxRssKb_ = usage.ru_maxrss;
    return true;
}

bool Process::running() { return pid_ > 0 && !reap(WNOHANG); }

std::optional<int> Process::wait(milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reap(WNOHANG)) {
        if (pid_ <= 0 || std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(milliseconds(2));
    }
    return exitCode_;
}

void Process::kill(int signal) {
    if (pid_ <= 0 || exitCode_) return;
    ::kill(pid_, signal);
    if (signal == SIGKILL) reap(0);
}

std::string Process::out() const { return readText(outPath_); }
std::string Process::err() const { return readText(outPath_ + ".err"); }

RunResult runProgram(const Node& node, const std::vector<std::string>& args, const std::string& outPath,
                     milliseconds limit, const Env& extraEnv) {
    RunResult result;
    Process process;
    const auto started = std::chrono::steady_clock::now();
    if (!process.start(node, args, outPath, extraEnv)) return result;
    const std::optional<int> code = process.wait(limit);
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (code) {
        result.exitCode = *code;
    } else {
        process.kill();
        ADD_FAILURE() << args[0] << " still ran after " << limit.count() << " ms and was killed";
    }
    result.out = process.out();
    return result;
}

RunResult runRecovery(const Node& node, const std::vector<std::string>& args, milliseconds limit,
                      const Env& extraEnv) {
    std::vector<std::string> all{recoverProgram()};
    all.insert(all.end(), args.begin(), args.end());
    return runProgram(node, all, node.file("recover.out"), limit, extraEnv);
}

bool tool(const Node& node, const std::vector<std::string>& args) {
    std::vector<std::string> all{toolProgram()};
    all.insert(all.end(), args.begin(), args.end());
    const std::string outPath = node.file("tool.out");
    const RunResult run = runProgram(node, all, outPath, kRunLimit);
    if (run.exitCode == 0) return true;
    ADD_FAILURE() << "zento_sf_tool " << (args.empty() ? "" : args[0]) << " failed with " << run.exitCode << ":\n"
                  << run.out << readText(outPath + ".err");
    return false;
}

bool startArec(Process& arec, const Node& node, const std::string& capture, std::vector<std::string> args) {
    args.insert(args.begin(), {arecProgram(), "--out", capture});
    if (!arec.start(node, args, capture + ".console")) return false;
    const bool ready = waitUntil([&] { return arec.out().find("ready\n") != std::string::npos || !arec.running(); },
                                 kReadyLimit);
    if (ready && arec.running()) return true;
    ADD_FAILURE() << "zento_arec did not get ready:\n" << arec.out() << arec.err();
    arec.kill();
    return false;
}

bool waitUntil(const std::function<bool()>& condition, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeText(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

std::vector<Captured> capturedMessages(const std::string& capturePath) {
    const Bytes bytes = testsupport::readAllBytes(capturePath);
    std::vector<Captured> messages;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint32_t length =
            bytes.size() - at >= 8 ? decodeU32(bytes.data() + at + head::kLengthOffset) : 0;
        if (length <= kMessageHeadSize || length > bytes.size() - at) {
            ADD_FAILURE() << "capture " << capturePath << " breaks off at byte " << at;
            break;
        }
        Captured message;
        message.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        if (!sampleSequence(message.bytes, message.sequence)) {
            ADD_FAILURE() << "captured message at byte " << at << " carries no sequence number";
        }
        messages.push_back(std::move(message));
        at += length;
    }
    return messages;
}

std::vector<std::uint32_t> sequencesOf(const std::vector<Captured>& messages) {
    std::vector<std::uint32_t> sequences;
    for (const Captured& m : messages) sequences.push_back(m.sequence);
    return sequences;
}

std::map<std::uint32_t, Bytes> storedMessages(const Bytes& storeFile) {
    std::map<std::uint32_t, Bytes> stored;
    const std::size_t size = storeFile.size();
    for (std::size_t p = 0; p + kRecordHeadSize <= size; ++p) {
        if (std::memcmp(storeFile.data() + p, kRecordMarker, 4) != 0) continue;
        const std::span<const std::uint8_t> head(storeFile.data() + p + kRecordPrefixSize, kMessageHeadSize);
        if (storeCrc(head) != decodeU32(storeFile.data() + p + 4)) continue;
        const std::uint32_t length = decodeU32(head.data() + head::kLengthOffset);
        if (length <= kMessageHeadSize || length > size - p - kRecordPrefixSize) continue;
        const Bytes message(head.begin(), head.begin() + length);
        std::uint32_t sequence = 0;
        if (sampleSequence(message, sequence)) stored.emplace(sequence, message);
    }
    return stored;
}

void expectSameAsStored(const std::vector<Captured>& received, const std::map<std::uint32_t, Bytes>& stored,
                        std::string_view destinationNode) {
    int mismatches = 0;
    for (std::size_t i = 0; i < received.size() && mismatches < 5; ++i) {
        const Captured& m = received[i];
        const auto it = stored.find(m.sequence);
        if (it == stored.end()) {
            ADD_FAILURE() << "received message " << i << " (number " << m.sequence << ") was never stored";
            ++mismatches;
            continue;
        }
        const Bytes& original = it->second;
        const bool sameBody = m.bytes.size() == original.size() &&
                              std::equal(m.bytes.begin() + kMessageHeadSize, m.bytes.end(),
                                         original.begin() + kMessageHeadSize);
        const std::uint8_t* destination = m.bytes.data() + head::kDestinationOffset;
        const bool addressed = fixedField(destination) == destinationNode && fixedField(destination + 32) == "TSK_AREC";
        if (!sameBody || !addressed) {
            ++mismatches;
            ADD_FAILURE() << "received message " << i << " (number " << m.sequence << ", " << m.bytes.size()
                          << " bytes, stored " << original.size() << ") " << (sameBody ? "" : "differs from the stored one ")
                          << "went to " << fixedField(destination) << "/" << fixedField(destination + 32);
        }
    }
}

std::vector<std::uint32_t> numbers(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> result;
    for (std::uint32_t n = first; n <= last; ++n) result.push_back(n);
    return result;
}

std::vector<std::uint32_t> collapseRepeats(const std::vector<std::uint32_t>& sequence) {
    std::vector<std::uint32_t> result;
    for (std::uint32_t n : sequence) {
        if (result.empty() || result.back() != n) result.push_back(n);
    }
    return result;
}

std::uint32_t headerBlockSize(int headerType) { return blockSizeOf(headerType); }

void rewriteHeaderAs(const std::string& storePath, int headerType) {
    Bytes bytes = testsupport::readAllBytes(storePath);
    ASSERT_GE(bytes.size(), kHeaderAreaRead);
    StoreFileHeader header = decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92));
    // Detection goes by the revision word first: 1 names type 1, and type 0
    // is found by its magic behind a zero revision.
    header.revision = static_cast<std::uint32_t>(headerType);
    const Bytes area = testsupport::makeHeaderArea(header, headerType);
    std::copy(area.begin(), area.end(), bytes.begin());
    testsupport::writeAllBytes(storePath, bytes);
}

StoreFileHeader headerOf(const std::string& storePath, int headerType) {
    const Bytes bytes = testsupport::readAllBytes(storePath);
    const std::uint32_t s = blockSizeOf(headerType);
    StoreFileHeader header{};
    if (bytes.size() < 2 * s + 8) {
        ADD_FAILURE() << storePath << " is too short for a header";
        return header;
    }
    const std::span<const std::uint8_t> primary(bytes.data(), s);
    const std::span<const std::uint8_t> backup(bytes.data() + s + 4, s);
    EXPECT_EQ(storeCrc(primary), decodeU32(bytes.data() + s)) << "CRC #1 of the header left behind";
    EXPECT_EQ(storeCrc(backup), decodeU32(bytes.data() + 2 * s + 4)) << "CRC #2 of the header left behind";
    EXPECT_TRUE(std::equal(primary.begin(), primary.end(), backup.begin())) << "the two header blocks differ";
    switch (headerType) {
        case 0: headerFromType0(std::span<const std::uint8_t, 64>(bytes.data(), 64), header); break;
        case 1: headerFromType1(std::span<const std::uint8_t, 68>(bytes.data(), 68), header); break;
        default: header = decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92)); break;
    }
    return header;
}

void forwardInProcess(const std::string& storePath, std::uint32_t count) {
    QuietStdout quiet;
    RecoverContext ctx;
    ctx.storeFileName = storePath;
    setFixedText(ctx.serviceName, sizeof ctx.serviceName, "E2ESETUP");
    StatusBlock status;
    ASSERT_TRUE(openStoreFile(ctx, status)) << storePath;
    for (std::uint32_t i = 0; i < count; ++i) {
        ASSERT_GT(readNextMessage(ctx, status), 0u) << "message " << i + 1 << " of " << count;
        removeLastMsg(ctx, status);
        ASSERT_FALSE(statusFailed(status));
    }
    EXPECT_TRUE(MasterFileClose(ctx, status));
}

std::string startedLine(std::string_view service) {
    return "Zen-TO Recover Process for DLGP service '" + std::string(service) + "' started.\n";
}

std::string openingLines(int headerType) {
    const std::string type = std::to_string(headerType);
    std::string lines = "File opened.\n";
    if (headerType != 0) lines += "Found non-zero revision number " + type + "\n";
    lines += "Checking store file header blocks, size=" + std::to_string(blockSizeOf(headerType)) + "\n";
    lines += "Header read in ok.\n";
    lines += "Processing file header type " + type + "\n";
    lines += "File header type " + type + " detected and read.  Processing file.\n";
    return lines;
}

std::string startingAtLine(std::int64_t forwardOffset, std::int64_t lastOffset) {
    // The share is worked out in single precision, as the program does.
    const float percent = static_cast<float>(forwardOffset) * 100.0f / static_cast<float>(lastOffset);
    char line[128];
    std::snprintf(line, sizeof line, "Starting at location %lld, %5.2f percent of file.\n",
                  static_cast<long long>(forwardOffset), static_cast<double>(percent));
    return line;
}

std::string closingLines() {
    return "Messages have all been sent to destination.\nExecuting MasterFileClose.\nEnding program.\n";
}

}  // namespace e2e
