// The programs as Windows processes: a recovery draining a store file into
// zento_arec, locally and across TCP to another node, its console lines with
// the runtime's CR LF line ends, its exit codes, the wait for a name lock
// that another process holds, a stop by Ctrl+Break, and the operator's tool.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "platform/named_mutex.h"
#include "storefile/store_format.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

using std::chrono::milliseconds;

const std::string kBin = ZENTO_BIN_DIR;
const std::string kRecover = kBin + "/recover/zento_sf_recover.exe";
const std::string kTool = kBin + "/tools/sf_tool/zento_sf_tool.exe";
const std::string kArec = kBin + "/tools/arec/zento_arec.exe";
const std::string kSnfTool = kBin + "/tools/snf_tool/zento_snf_tool.exe";
// Generous: Wine starts a program in about a second on a loaded machine.
constexpr milliseconds kRunLimit{60'000};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Every line end of text is CR LF; the text without its CRs.
std::string withoutCrs(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "a bare LF at byte " << i;
        }
        if (text[i] != '\r') plain += text[i];
    }
    return plain;
}

std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    for (char c : arg) q += c == '"' ? std::string("\\\"") : std::string(1, c);
    return q + "\"";
}

// A program with standard output and error in files, in ZENTO_HOME and
// ZENTO_NODE of the node it runs on; ended when the object goes.
struct Child {
    PROCESS_INFORMATION info{};
    std::string outPath;

    ~Child() {
        if (info.hProcess == nullptr) return;
        if (!exitCode(milliseconds(0))) TerminateProcess(info.hProcess, 99);
        WaitForSingleObject(info.hProcess, 10'000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    bool start(const std::string& home, const std::string& node, const std::vector<std::string>& args,
               const std::string& out, bool ownGroup = false) {
        outPath = out;
        SetEnvironmentVariableA("ZENTO_HOME", home.c_str());
        SetEnvironmentVariableA("ZENTO_NODE", node.c_str());
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const HANDLE files[] = {
            CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr),
            CreateFileA(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr),
            CreateFileA((out + ".err").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr)};
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = files[0];
        startup.hStdOutput = files[1];
        startup.hStdError = files[2];
        std::string line;
        for (const std::string& arg : args) line += (line.empty() ? "" : " ") + quoted(arg);
        const BOOL started = CreateProcessA(args[0].c_str(), line.data(), nullptr, nullptr, TRUE,
                                            ownGroup ? CREATE_NEW_PROCESS_GROUP : 0, nullptr, nullptr, &startup, &info);
        for (HANDLE file : files) CloseHandle(file);
        SetEnvironmentVariableA("ZENTO_NODE", nullptr);
        EXPECT_TRUE(started) << "cannot start " << args[0] << ": error " << GetLastError();
        return started != 0;
    }
    // The exit code, or nothing while it still runs at the limit.
    std::optional<DWORD> exitCode(milliseconds limit = kRunLimit) {
        if (info.hProcess == nullptr || WaitForSingleObject(info.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
    std::string out() const { return readText(outPath); }
    std::string err() const { return readText(outPath + ".err"); }
};

bool waitUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + kRunLimit;
    for (; !done(); std::this_thread::sleep_for(milliseconds(20))) {
        if (std::chrono::steady_clock::now() >= end) return false;
    }
    return true;
}

// The messages zento_arec kept, each starting with its length word.
int messagesIn(const std::string& capture) {
    const std::string bytes = readText(capture);
    int count = 0;
    for (std::size_t at = 0; at + 8 <= bytes.size(); ++count) {
        const std::uint32_t length = decodeU32(reinterpret_cast<const std::uint8_t*>(bytes.data() + at + 4));
        if (length < 8) break;
        at += length;
    }
    return count;
}

class WindowsProcesses : public ::testing::Test {
protected:
    // The programs use the machine's registry: so does the test.
    void SetUp() override { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }

    struct Run {
        std::optional<DWORD> exit;
        std::string out, err;
    };
    Run run(const std::string& program, std::vector<std::string> args, const std::string& node = "nodea") {
        args.insert(args.begin(), program);
        Child child;
        if (!child.start(home_.path(), node, args, home_.file("run.out"))) return {};
        const std::optional<DWORD> code = child.exitCode();
        return {code, child.out(), child.err()};
    }
    void fill(const std::string& store) {
        ASSERT_EQ(run(kTool, {"create", store}).exit, 0u);
        ASSERT_EQ(run(kTool, {"append", store, "--count", "5"}).exit, 0u);
        ASSERT_EQ(run(kTool, {"append", store, "--count", "3", "--type", "uns", "--size", "2000"}).exit, 0u);
    }
    bool startArec(Child& arec, const std::string& home, const std::string& node, std::vector<std::string> args) {
        args.insert(args.begin(), {kArec, "--out", capture_});
        if (!arec.start(home, node, args, capture_ + ".console")) return false;
        return waitUntil([&] { return contains(arec.out(), "ready") || arec.exitCode(milliseconds(0)); }) &&
               !arec.exitCode(milliseconds(0));
    }

    testsupport::TempHome home_;
    std::string store_ = home_.file("store.dat");
    std::string capture_ = home_.file("received.bin");
};

TEST_F(WindowsProcesses, ARecoveryDrainsTheFileAndPrintsItsLinesWithCrLf) {
    fill(store_);
    Child arec;
    ASSERT_TRUE(startArec(arec, home_.path(), "nodea", {"--exit-on-eof"}));
    const Run r = run(kRecover, {"WIN", store_});
    EXPECT_EQ(r.exit, 0u) << r.out << r.err;
    EXPECT_EQ(withoutCrs(r.out),
              "Zen-TO Recover Process for DLGP service 'WIN' started.\nFile opened.\nFound non-zero revision number 2\n"
              "Checking store file header blocks, size=92\nHeader read in ok.\nProcessing file header type 2\n"
              "File header type 2 detected and read.  Processing file.\nStarting at location 192,  1.98 percent of "
              "file.\nAll messages have been forwarded.\nMessages have all been sent to destination.\n"
              "Executing MasterFileClose.\nEnding program.\n");
    EXPECT_EQ(arec.exitCode(), 0u);
    EXPECT_EQ(messagesIn(capture_), 8);
    EXPECT_TRUE(contains(readText(capture_ + ".console"), "end-of-file notice received"));
}

TEST_F(WindowsProcesses, BadStartsEndWithExitCodeOne) {
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{}, ""},
        {{"WIN", home_.file("missing.dat")}, ""},
        {{"bad/name", store_}, "facility=9  error=9103"},
    };
    testsupport::writeAllBytes(store_, std::vector<std::uint8_t>(400, 0));
    for (const auto& c : cases) {
        const Run r = run(kRecover, c.args);
        EXPECT_EQ(r.exit, 1u) << r.out << r.err;
        EXPECT_TRUE(contains(r.out + r.err, c.line)) << r.out << r.err;
    }
}

// Another process holding the name lock of the file's extension keeps the
// recovery waiting; it says so once on standard error.
TEST_F(WindowsProcesses, ARecoveryWaitsForTheNameLockOfAnotherProcess) {
    fill(store_);
    platform::NamedMutex* lock = platform::createNamedMutex("dat");
    ASSERT_TRUE(platform::waitNamedMutex(lock));
    Child arec, recovery;
    ASSERT_TRUE(startArec(arec, home_.path(), "nodea", {"--exit-on-eof"}));
    ASSERT_TRUE(recovery.start(home_.path(), "nodea", {kRecover, "WIN", store_}, home_.file("recover.out")));
    EXPECT_TRUE(waitUntil([&] { return contains(recovery.err(), "Waiting for the lock on 'dat' held by another process...\r\n"); }))
        << recovery.out() << recovery.err();
    EXPECT_FALSE(recovery.exitCode(milliseconds(500)));
    platform::releaseNamedMutex(lock);
    EXPECT_EQ(recovery.exitCode(), 0u) << recovery.out();
    EXPECT_EQ(messagesIn(capture_), 8);
}

// Ctrl+Break ends a recovery as a SHUT request does: the message still
// unacknowledged stays in the file.
TEST_F(WindowsProcesses, CtrlBreakEndsTheRecoveryAndKeepsWhatWasNotAcknowledged) {
    // The event goes to processes of the sender's console, which the test
    // gets when it runs without one.
    AllocConsole();
    fill(store_);
    Child arec, recovery;
    ASSERT_TRUE(startArec(arec, home_.path(), "nodea", {"--no-ack", "1000"}));
    ASSERT_TRUE(recovery.start(home_.path(), "nodea", {kRecover, "WIN", store_}, home_.file("recover.out"), true));
    ASSERT_TRUE(waitUntil([&] { return contains(readText(capture_ + ".console"), "message 1"); }));
    ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, recovery.info.dwProcessId)) << GetLastError();
    EXPECT_EQ(recovery.exitCode(), 0u) << recovery.out() << recovery.err();
    const std::vector<std::uint8_t> header = testsupport::readAllBytes(store_);
    ASSERT_GE(header.size(), 72u);
    EXPECT_EQ(decodeU64(header.data() + 64), 192u) << "the forward offset has not moved";
}

// NODE sends to another node over TCP at the address of the routes file.
TEST_F(WindowsProcesses, NodeSendsToAnotherNodeOverTcp) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    const std::string routes = "nodeb 127.0.0.1 " + std::to_string(ntohs(address.sin_port)) + "\n";
    testsupport::TempHome other;
    for (const std::string& home : {home_.path(), other.path()}) {
        std::ofstream(home + "/routes", std::ios::binary) << routes;
    }
    fill(store_);
    Child arec;
    ASSERT_TRUE(startArec(arec, other.path(), "nodeb", {"--exit-on-eof"}));
    const Run r = run(kRecover, {"WIN", store_, "NODE", "nodeb"});
    EXPECT_EQ(r.exit, 0u) << r.out << r.err;
    EXPECT_EQ(arec.exitCode(), 0u);
    EXPECT_EQ(messagesIn(capture_), 8);
}

// The operator's tool: names, a configuration load into the registry, and
// the value read back.
TEST_F(WindowsProcesses, TheSnfToolNamesFilesAndKeepsTheConfigurationInTheRegistry) {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_WSVC_CFG\\client1", KEY_WOW64_64KEY, 0);
    const std::string data = home_.path() + "/data/";
    Run r = run(kSnfTool, {"names", "10.1.2.3", "WSVC"});
    EXPECT_EQ(r.exit, 0u) << r.err;
    EXPECT_TRUE(contains(withoutCrs(r.out), "store-file " + data + "ZENTO_STORE_10_1_2_3.WSVC\n")) << r.out;
    r = run(kSnfTool, {"--service", "WSVC", "config", "load", "client1"});
    EXPECT_EQ(withoutCrs(r.out), "MaxSize=0 MaxPeriod=86400\n") << r.err;
    r = run(kSnfTool, {"registry", "get", "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_WSVC_CFG\\client1", "MaxPeriod"});
    EXPECT_EQ(withoutCrs(r.out), "MaxPeriod REG_DWORD 86400\n") << r.err;
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_WSVC_CFG\\client1", KEY_WOW64_64KEY, 0);
}

}  // namespace
