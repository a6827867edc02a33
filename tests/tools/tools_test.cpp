// The companion tools: store files made by zento_sf_tool read back by the
// real cursor across wraps and refills, as inspect foresees them, and both
// programs with nobody reading their output.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <thread>

#include "msglib/msglib.h"
#include "storefile/store_file.h"
#include "storefile/cursor.h"
#include "storefile/store_open.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"
#include "tools/sf_tool/sample_messages.h"
#include "tools/sf_tool/store_inspect.h"
#include "tools/sf_tool/store_writer.h"

extern char** environ;

namespace {

constexpr const char* kNode = "testnode";

// Starts a program with standard output a pipe nobody reads (as after
// `| head` has gone); the pid, or -1.
pid_t startUnread(const std::vector<std::string>& args) {
    int fds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (::pipe2(fds, O_CLOEXEC) == 0) posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : fds) ::close(fd);
    return pid;
}

int exitCodeOf(pid_t pid) {
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What the real cursor delivers from a store file, reading and removing up
// to limit messages as a recovery does.
struct Drained {
    std::vector<std::uint32_t> sequences;
    std::vector<std::int64_t> offsets;
};
Drained drain(const std::string& path, std::size_t limit = SIZE_MAX) {
    testing::internal::CaptureStdout();  // the store file subsystem's lines
    Drained drained;
    StoreFile ctx;
    StatusBlock status;
    const bool opened = openStoreFile(ctx, path, {}, status);
    while (opened && drained.sequences.size() < limit && readNextMessage(ctx, status) != 0) {
        drained.sequences.push_back(0);
        EXPECT_TRUE(sampleSequence(ctx.currentMsg.view(), drained.sequences.back()));
        drained.offsets.push_back(ctx.header.forwardOffset);
        removeLastMsg(ctx, status);
        EXPECT_FALSE(statusFailed(status));
        if (!ctx.moreMessages || ctx.stopRequested) break;
    }
    if (opened) MasterFileClose(ctx, status);
    testing::internal::GetCapturedStdout();
    return drained;
}

std::vector<std::uint32_t> range(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> numbers;
    for (std::uint32_t n = first; n <= last; ++n) numbers.push_back(n);
    return numbers;
}

class Tools : public testsupport::TempHomeTest {
protected:
    void SetUp() override { ::setenv("ZENTO_NODE", kNode, 1); }

    std::string create(const std::string& name, std::uint32_t ringMiB) {
        std::string error;
        EXPECT_TRUE(createStoreFile(home_.file(name), ringMiB, false, error)) << error;
        return home_.file(name);
    }
    // Appends count messages of size bytes numbered from first; the number
    // actually stored (a full ring stops early).
    std::uint32_t append(const std::string& file, std::uint32_t first, std::uint32_t count, std::uint32_t size) {
        StoreWriter writer;
        std::string error;
        EXPECT_TRUE(openStoreWriter(writer, file, error)) << error;
        const SampleShape shape{SampleKind::GetReply, kNode, "DLGPCLIENT", size};
        std::uint32_t stored = 0;
        for (Message message; stored < count; ++stored) {
            EXPECT_TRUE(buildSampleMessage(shape, first + stored, message, error)) << error;
            if (!appendStoredMessage(writer, message.view(), error)) break;
        }
        closeStoreWriter(writer);
        return stored;
    }
    static InspectReport inspect(const std::string& file) {
        InspectReport report;
        std::string error;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(inspectStoreFile(file, report, error)) << error;
        testing::internal::GetCapturedStdout();
        return report;
    }
};

// Random sizes and batches against a model of what must come back, more
// appended than forwarded so that the ring wraps with a backlog and fills up.
// Each drain checks order and completeness (records of earlier laps must
// never come back) and that inspect foresaw the reading.
TEST_F(Tools, RingSurvivesManyLapsOfAppendingAndForwarding) {
    const std::string file = create("laps.dat", 1);
    std::mt19937 random(20240611);
    std::uint32_t next = 1, oldest = 1;
    int wrapsWithBacklog = 0;
    for (int round = 0; round < 60; ++round) {
        const std::uint32_t size = std::uniform_int_distribution<std::uint32_t>(700, 60000)(random);
        next += append(file, next, std::uniform_int_distribution<std::uint32_t>(1, 25)(random), size);
        const InspectReport report = inspect(file);
        if (report.check.header.wrapped != 0) ++wrapsWithBacklog;
        const std::uint32_t take = std::uniform_int_distribution<std::uint32_t>(1, 14)(random);
        const Drained drained = drain(file, take);
        const std::uint32_t expected = std::min(take, next - oldest);
        ASSERT_EQ(drained.sequences, range(oldest, oldest + expected - 1)) << "round " << round;
        std::vector<std::int64_t> foreseen = deliveredOffsets(report);
        foreseen.resize(std::min<std::size_t>(foreseen.size(), expected));
        ASSERT_EQ(foreseen, drained.offsets) << "round " << round;
        oldest += expected;
    }
    EXPECT_EQ(drain(file).sequences, range(oldest, next - 1));
    EXPECT_TRUE(next > 400 && wrapsWithBacklog > 10) << "the rounds went round the ring several times";
}

TEST_F(Tools, WrapClearsTheRecordsOfAnEarlierLapBehindTheOlderPart) {
    // Lap 1: 52 records of 20012 bytes, all forwarded. Lap 2 starts over at
    // the data start with records of 30012 bytes and wraps after 34 of them,
    // at offset 1020600: the lap-1 record at 1020804 lies in the space the
    // wrap leaves behind and must not be read after the older part.
    const std::string file = create("stale.dat", 1);
    ASSERT_EQ(append(file, 1, 52, 20000), 52u);
    ASSERT_EQ(drain(file).sequences, range(1, 52));
    ASSERT_EQ(append(file, 53, 20, 30000), 20u);
    ASSERT_EQ(drain(file, 10).sequences, range(53, 62));
    ASSERT_EQ(append(file, 73, 20, 30000), 20u);
    ASSERT_EQ(inspect(file).check.header.lastOffset, 192 + 34 * 30012);
    EXPECT_EQ(drain(file).sequences, range(63, 92));
}

TEST_F(Tools, AppendAfterACompleteRecoveryStartsANewRun) {
    for (std::uint32_t ring : {0u, 1u}) {
        const std::string file = create("rerun" + std::to_string(ring) + ".dat", ring);
        ASSERT_EQ(append(file, 1, 2, 800), 2u);
        EXPECT_EQ(drain(file).sequences, range(1, 2));
        // The last record stays under the forward offset, counted forwarded;
        // inspect sees nothing left, and it must not come back with the new ones.
        EXPECT_EQ(deliveredOffsets(inspect(file)), std::vector<std::int64_t>{}) << ring;
        ASSERT_EQ(append(file, 3, 2, 800), 2u);
        EXPECT_EQ(drain(file).sequences, range(3, 4)) << ring;
    }
}

// A reader that went away (`inspect FILE | head`) must kill neither tool in
// the middle of its work: an append still appends everything, the destination
// still answers, each answer naming the message's transaction, and SIGTERM
// ends its registration.
TEST_F(Tools, NeitherToolDiesOfAClosedStandardOutput) {
    const std::string tool = ZENTO_BIN_DIR "/tools/sf_tool/zento_sf_tool", file = create("closed.dat", 0);
    EXPECT_EQ(exitCodeOf(startUnread({tool, "append", file, "--count", "3"})), 0);
    EXPECT_EQ(exitCodeOf(startUnread({tool, "inspect", file})), 0);
    EXPECT_EQ(drain(file).sequences, range(1, 3));

    Message message;
    std::string error;
    ASSERT_TRUE(buildSampleMessage(SampleShape{SampleKind::GetReply, kNode}, 1, message, error)) << error;
    const std::string socket = home_.file("run/TSK_AREC.sock");
    const pid_t arec = startUnread({ZENTO_BIN_DIR "/tools/arec/zento_arec", "--disconnect-after", "1"});
    ASSERT_GT(arec, 0);
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    AddressRecord self{};
    StatusBlock status;
    ZENTO_SERVER_INIT(1, "TOOLTEST", self, status);
    ZENTO_SERVER_SET_MSGDEST(message.span(), makeAddress(kNode, "TSK_AREC"));
    ZENTO_SERVER_SET_MSGSRC(message.span(), self);
    ZENTO_SERVER_SET_TRANSNUM(message.span(), 101);
    ZENTO_SERVER_SEND(50, message.view(), status);
    for (const std::int32_t transType : {kTransDisconnect, kTransAck}) {  // the DISCONNECT asked for comes first
        Message note;
        ZENTO_SERVER_ACCEPT(status);
        const bool received = ZENTO_SERVER_RECEIVE(50, note, status) > 0;
        EXPECT_EQ(received ? std::make_pair(ZENTO_SERVER_TRANSTYPE(note.view()), ZENTO_SERVER_TRANSNUM(note.view()))
                           : std::make_pair(0, 0u),
                  std::make_pair(transType, 101u));
    }
    ZENTO_SERVER_EXIT(status);
    ::kill(arec, SIGTERM);
    EXPECT_EQ(exitCodeOf(arec), 0);
    EXPECT_FALSE(std::filesystem::exists(socket)) << "left without ZENTO_SERVER_EXIT";
}

}  // namespace
