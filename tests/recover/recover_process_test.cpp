// The program run as a process: what it prints and its exit code before it
// could ever forward anything.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
};

Outcome runProgram(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    std::string program = ZENTO_BIN_DIR "/recover/zento_sf_recover";
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    Outcome outcome;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        outcome.out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    return outcome;
}

const std::string kSyntax = "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n";
const std::string kCannotOpen = "File opened.\nCritical error -- Could not open store file.  Exiting\n";

std::string started(const std::string& service) {
    return "Zen-TO Recover Process for DLGP service '" + service + "' started.\n";
}

class RecoverProcess : public testsupport::TempHomeTest {
protected:
    void SetUp() override { testsupport::writeAllBytes(empty_, {}); }
    std::string empty_ = home_.file("empty.dat");
};

TEST_F(RecoverProcess, BadPositionalArgumentsExitWithTheSyntaxLine) {
    const std::string missing = "\nError: DLGP service name & Store filename has not been specified";
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{}, missing + kSyntax},
        {{"svc"}, missing + kSyntax},
        {{"SIXTEEN_CHARSXYZ", "f"}, "\nError: DLGP service name too long" + kSyntax},
        {{"svc", "/" + std::string(1027, 'p')}, "\nError: Store filename too long" + kSyntax},
    };
    for (const auto& c : cases) {
        Outcome o = runProgram(c.args);
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.out, c.out);
    }
}

TEST_F(RecoverProcess, AcceptedArgumentsReachTheStoreFile) {
    struct Case {
        std::vector<std::string> options;
        std::string optionLines;
    };
    const std::string dump =
        "You have specified the DUMP parameter.\nMessage recovery will occur regardless of file corruption\n";
    const std::vector<Case> cases = {
        {{}, ""},
        {{"20", "node", "Host1", "dump"}, "Your have chosen to redirect your messages to node [Host1]\n" + dump},
        {{"NODE", "DUMP"}, "Your have chosen to redirect your messages to node [DUMP]\n"},
        {{"DUMP", "NODE"}, dump + "Error parsing parameters: no node name specified.\n"},
        {{"99999999999999999999"}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"abcdefghijklmno", empty_};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Outcome o = runProgram(args);
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_EQ(o.out, c.optionLines + started("ABCDEFGHIJKLMNO") + kCannotOpen);
    }
}

TEST_F(RecoverProcess, LongestAcceptedPathIsUsedWhole) {
    // 1,027 characters naming a file that cannot exist: the open fails on the
    // whole name, not on a cut one.
    std::string path = home_.path() + "/";
    while (path.size() < 1027) path += path.size() % 200 == 0 ? '/' : 'd';
    Outcome o = runProgram({"svc", path});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out.rfind(started("SVC"), 0), 0u);
    EXPECT_NE(o.out.find("Critical error -- Could not open store file.  Exiting\n"), std::string::npos);
}

}  // namespace
