// When the header reaches the disk, that no header write moves the forward
// offset past a message the destination has not acknowledged, and what a
// failed sync or a full disk does to a run.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <map>
#include <set>

#include "tests/hardening/hardening_support.h"

namespace {

using namespace hardening;
using testsupport::FileOpKind;

class Durability : public testsupport::TempHomeTest {
protected:
    void TearDown() override { ::unsetenv("ZENTO_SF_SYNC"); }
    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
};

// A destination that acknowledges late, ignores the first send of message 3,
// never acknowledges message 5, and an operator who shuts the recovery down
// a minute after message 5 went out. Whenever the recovery takes a message
// in, the header on the disk stands at most on the first message it has not
// had acknowledged.
TEST_F(Durability, HeaderNeverPassesAnUnacknowledgedMessage) {
    for (const bool everyMessage : {false, true}) {
        SCOPED_TRACE(everyMessage ? "synced per message" : "synced at close");
        if (everyMessage) ::setenv("ZENTO_SF_SYNC", "message", 1);
        const testsupport::StoreFileBuilder b = storeOf({1, 2, 0, 3, 4, 5});
        b.writeTo(path_);
        std::map<std::uint32_t, std::int32_t> listOf;  // by transaction
        std::set<std::int32_t> acknowledged, seen;
        const auto headerWithinAcknowledged = [&] {
            std::int64_t firstOpen = INT64_MAX;
            for (std::int32_t n = 5; n >= 1; --n) {
                if (acknowledged.count(n) == 0) firstOpen = b.recordOffsets()[static_cast<std::size_t>(n - 1)];
            }
            EXPECT_LE(forwardOffsetOnDisk(path_), firstOpen);
        };
        const auto destination = [&](InProcessNetwork& net, MsgView sent) {
            const std::int32_t id = listIdOf(sent);
            listOf[ZENTO_SERVER_TRANSNUM(sent)] = id;
            const bool first = seen.insert(id).second;
            if (id == kNoticeListId || (id == 3 && first) || (id == 5 && !first)) return;
            if (id == 5) {
                net.deliverAt(net.nowMs() + 60'000,
                              notification(kTransShut, makeAddress("ophost", "OPERATOR"), net.self()).view());
            } else {
                net.deliverAt(net.nowMs() + 1500,
                              notification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent)).view());
            }
        };
        const auto recovery = [&](MsgView in) {
            headerWithinAcknowledged();
            if (ZENTO_SERVER_MSGTYPE(in) == kMsgNotification && ZENTO_SERVER_TRANSTYPE(in) == kTransAck) {
                acknowledged.insert(listOf[ZENTO_SERVER_TRANSNUM(in)]);
            }
        };
        RunResult run;
        {
            testsupport::FaultyFileOps counting;  // no faults: it counts the syncs
            run = recoverInProcess(path_, destination, recovery);
            EXPECT_EQ(counting.calls(FileOpKind::Fsync), everyMessage ? 4 + 1 : 1) << "per removal and at the close";
        }
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_FALSE(run.runaway);
        headerWithinAcknowledged();
        EXPECT_EQ(acknowledged, (std::set<std::int32_t>{1, 2, 3, 4}));
        EXPECT_EQ(forwardOffsetOnDisk(path_), b.recordOffsets()[4]) << "message 5 stays for the next run";
        EXPECT_EQ(withoutRepeats(recoverInProcess(path_).delivered), Ids{5});
    }
}

// A header that may not be on the disk is never reported as success.
TEST_F(Durability, FailedSyncAtTheEndIsAFailure) {
    storeOf(numbers(1, 5)).writeTo(path_);
    RunResult run;
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(FileOpKind::Fsync, 1, EIO);
        run = recoverInProcess(path_);
    }
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(contains(run.out, "Executing MasterFileClose.\nError syncing file: Input/output error.\n"
                                  "\nfacility=13  error=13457Error : Could not close store file.\nEnding program.\n"))
        << run.out;
    EXPECT_EQ(withoutRepeats(run.delivered), numbers(1, 5));
}

// A disk that refuses every write: the header cannot record the first
// acknowledged message, so the run stops with a failure and the file keeps
// every message for the next run.
TEST_F(Durability, DiskRefusingWritesStopsTheRunAndKeepsTheMessages) {
    storeOf(numbers(1, 3)).writeTo(path_);
    const std::vector<std::uint8_t> before = testsupport::readAllBytes(path_);
    RunResult full;
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(FileOpKind::Write, 1, ENOSPC, true);
        full = recoverInProcess(path_);
    }
    EXPECT_EQ(full.exitCode, 2);
    EXPECT_TRUE(contains(full.out, "Error: the store file header could not be written (No space left on device).  "
                                   "Recovery stopped; the remaining messages stay in the store file.\n"))
        << full.out;
    EXPECT_FALSE(contains(full.out, "Messages have all been sent to destination."));
    EXPECT_EQ(withoutRepeats(full.delivered), Ids{1});
    EXPECT_EQ(full.notices, 0);
    EXPECT_EQ(testsupport::readAllBytes(path_), before);
    EXPECT_EQ(withoutRepeats(recoverInProcess(path_).delivered), numbers(1, 3));
}

// On a really full file system: the recovery only rewrites bytes the file
// already has, so it needs no space and finishes.
TEST_F(Durability, FullFileSystemDoesNotStopTheRecovery) {
    const std::string mountPoint = home_.file("small");
    ASSERT_EQ(::mkdir(mountPoint.c_str(), 0700), 0);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    const std::string file = mountPoint + "/ZENTO_STORE_NODE1.HARDSVC";
    storeOf(numbers(1, 3)).writeTo(file);
    const int fd = ::open((mountPoint + "/filler").c_str(), O_WRONLY | O_CREAT, 0600);
    const std::vector<char> block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0 || ::write(fd, block.data(), 1) > 0) {
    }
    EXPECT_EQ(errno, ENOSPC);
    ::close(fd);
    const RunResult run = recoverInProcess(file);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(withoutRepeats(run.delivered), numbers(1, 3));
    EXPECT_EQ(run.notices, 1);
    EXPECT_TRUE(recoverInProcess(file).delivered.empty());
    ::umount2(mountPoint.c_str(), MNT_DETACH);
}

}  // namespace
