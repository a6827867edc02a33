#pragma once
// Whole recoveries with real processes: the recovery, the store file tool and
// the destination service run as children, each node with a ZENTO_HOME and
// ZENTO_NODE of its own, and the test reads back what the destination kept.
//
//   e2e::Node node = e2e::Node::inside(home_, "nodea");
//   e2e::tool(node, {"create", store});
//   e2e::Process arec;
//   ASSERT_TRUE(e2e::startArec(arec, node, {"--exit-on-eof"}, capture));
//   e2e::RunResult run = e2e::runRecovery(node, {"E2E", store});
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storefile/store_format.h"
#include "tests/support/temp_home.h"

namespace e2e {

using Bytes = std::vector<std::uint8_t>;
using Env = std::vector<std::pair<std::string, std::string>>;
using std::chrono::milliseconds;

// Waits are generous: the tests share two loaded cores with whole builds.
constexpr milliseconds kRunLimit{60'000};
constexpr milliseconds kReadyLimit{20'000};

std::string recoverProgram();
std::string toolProgram();
std::string arecProgram();

// A node of its own: a home directory and a node name that every process
// started for it gets in its environment.
struct Node {
    std::string name;
    std::string home;

    // The temporary home itself, or a directory inside it for a second node.
    static Node inside(const testsupport::TempHome& temp, std::string_view nodeName, std::string_view subdir = {});
    std::string file(std::string_view fileName) const { return home + "/" + std::string(fileName); }
    std::string log() const;  // the library log, zento.log
};

// A child process with its standard output and error in files. Killed with
// SIGKILL and reaped if it is still running when the object goes, so a failed
// assertion never leaves a process behind.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // False (with a test failure) when the program cannot be started.
    bool start(const Node& node, const std::vector<std::string>& args, const std::string& outPath,
               const Env& extraEnv = {});
    bool running();
    // The exit code (128 + the signal for a killed process), or nothing when
    // it still runs at the deadline.
    std::optional<int> wait(milliseconds limit);
    // Sends signal and, for SIGKILL, reaps the process.
    void kill(int signal = SIGKILL);

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    long maxRssKb() const { return maxRssKb_; }  // once reaped

private:
    bool reap(int flags);

    pid_t pid_ = -1;
    std::optional<int> exitCode_;
    std::string outPath_;
    long maxRssKb_ = 0;
};

struct RunResult {
    int exitCode = -1;  // -1: killed at the time limit
    std::string out;
    double seconds = 0;
};

RunResult runProgram(const Node& node, const std::vector<std::string>& args, const std::string& outPath,
                     milliseconds limit = kRunLimit, const Env& extraEnv = {});
RunResult runRecovery(const Node& node, const std::vector<std::string>& args, milliseconds limit = kRunLimit,
                      const Env& extraEnv = {});
// zento_sf_tool; a failure is a test failure and gives false.
bool tool(const Node& node, const std::vector<std::string>& args);
// zento_arec with its --out capture file; waits for its "ready".
bool startArec(Process& arec, const Node& node, const std::string& capture, std::vector<std::string> args = {});

bool waitUntil(const std::function<bool()>& condition, milliseconds limit);
std::string readText(const std::string& path);
void writeText(const std::string& path, std::string_view text);

// A free TCP port on the loopback interface, for a routes file.
int freeLoopbackPort();

// Messages of a capture file (as zento_arec --out writes them) or of a store
// file, with the sequence number the tool gave each.
struct Captured {
    std::uint32_t sequence = 0;
    Bytes bytes;
};
std::vector<Captured> capturedMessages(const std::string& capturePath);
std::vector<std::uint32_t> sequencesOf(const std::vector<Captured>& messages);
// Every sound record of a store file wherever it lies (a scan for the record
// marker and a matching head CRC), keyed by sequence number: the reference a
// capture is compared with, independent of the cursor.
std::map<std::uint32_t, Bytes> storedMessages(const Bytes& storeFile);

// Each captured message is the stored message of its number byte for byte
// behind the message head, and was addressed to TSK_AREC on destinationNode.
void expectSameAsStored(const std::vector<Captured>& received, const std::map<std::uint32_t, Bytes>& stored,
                        std::string_view destinationNode);

std::vector<std::uint32_t> numbers(std::uint32_t first, std::uint32_t last);
// The sequence with runs of the same number cut to one.
std::vector<std::uint32_t> collapseRepeats(const std::vector<std::uint32_t>& sequence);

// Store file headers.
std::uint32_t headerBlockSize(int headerType);
// Rewrites a type-2 header in the type-0 or type-1 layout: block, CRC,
// block, CRC. The bytes behind the shorter header stay as they were.
void rewriteHeaderAs(const std::string& storePath, int headerType);
// The header as the file now holds it; a test failure unless both blocks
// carry their CRC and are equal.
StoreFileHeader headerOf(const std::string& storePath, int headerType);

// Forwards and removes up to count messages in-process through the real
// cursor, as an interrupted recovery would have left the file.
void forwardInProcess(const std::string& storePath, std::uint32_t count);

// Console lines of the recovery.
std::string startedLine(std::string_view service);
std::string openingLines(int headerType);
std::string startingAtLine(std::int64_t forwardOffset, std::int64_t lastOffset);
std::string closingLines();

}  // namespace e2e
