// The program with its standard output a pipe nobody reads any more (as
// after `zento_sf_recover ... | head`): every line it prints fails, and the
// recovery still forwards every message and ends as usual. The test plays
// the destination over the real transport.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "tests/hardening/hardening_support.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

constexpr const char* kNode = "hardnode";
constexpr int kMessages = 5;

class ClosedOutput : public testsupport::TempHomeTest {
protected:
    void SetUp() override { ::setenv("ZENTO_NODE", kNode, 1); }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        StatusBlock status;
        ZENTO_SERVER_EXIT(status);
        ::unsetenv("ZENTO_NODE");
    }

    // Starts the recovery with standard output a pipe whose reading end is
    // already closed.
    void startRecovery(const std::string& store) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::string program = ZENTO_BIN_DIR "/recover/zento_sf_recover";
        std::vector<std::string> args = {program, "hardsvc", store, "NODE", kNode};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[0]);
        ::close(fds[1]);
        ASSERT_GT(pid_, 0);
    }

    // Acknowledges every stored message until the end-of-file notice or the
    // deadline; the list ids of the stored messages received.
    std::vector<std::int32_t> serveUntilNotice(bool& noticeSeen) {
        std::vector<std::int32_t> received;
        noticeSeen = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!noticeSeen && std::chrono::steady_clock::now() < deadline) {
            StatusBlock status;
            ZENTO_SERVER_ACCEPT(status);
            Message msg;
            if (ZENTO_SERVER_RECEIVE(5, msg, status) <= 0) continue;
            if (ZENTO_SERVER_MSGTYPE(msg.view()) == kMsgNotification) continue;
            const std::int32_t id = hardening::listIdOf(msg.view());
            if (id == hardening::kNoticeListId) {
                noticeSeen = true;
                continue;
            }
            received.push_back(id);
            Message ack;
            buildNotification(kTransAck, self_, ZENTO_SERVER_MSGSRC(msg.view()), ZENTO_SERVER_TRANSNUM(msg.view()),
                              ack, status);
            ZENTO_SERVER_SEND(50, ack.view(), status);
            EXPECT_FALSE(statusFailed(status));
        }
        return received;
    }

    int exitOfRecovery() {
        int status = 0;
        const pid_t reaped = ::waitpid(pid_, &status, 0);
        pid_ = -1;
        if (reaped < 0) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    AddressRecord self_{};
};

TEST_F(ClosedOutput, RecoveryGoesOnWhenNobodyReadsItsLines) {
    StatusBlock status;
    ZENTO_SERVER_INIT(1, "TSK_AREC", self_, status);
    ASSERT_FALSE(statusFailed(status));
    const std::string store = home_.file("ZENTO_STORE_NODE1.HARDSVC");
    testsupport::StoreFileBuilder b;
    for (std::int32_t n = 1; n <= kMessages; ++n) b.addMessage(hardening::storedReply(n));
    b.describeRecords();
    b.writeTo(store);

    startRecovery(store);
    bool noticeSeen = false;
    const std::vector<std::int32_t> received = serveUntilNotice(noticeSeen);
    EXPECT_EQ(exitOfRecovery(), 0) << "128 + 13 would be the death by SIGPIPE";
    EXPECT_EQ(received, hardening::numbers(1, kMessages));
    EXPECT_TRUE(noticeSeen);
    // Every removal reached the header: a rerun has nothing to send.
    const StoreFileHeader h = [&] {
        StatusBlock st;
        const std::int32_t fd = zento_s_file_open(store.c_str(), kOpenReadWrite, st);
        const StoreFileHeader read = readType2Header(fd, st);
        closeStoreFileHandle(fd, st);
        return read;
    }();
    EXPECT_EQ(h.forwardOffset, h.lastMsgOffset);
    EXPECT_EQ(h.forwardedCount, static_cast<std::uint32_t>(kMessages));
}

}  // namespace
