// When the header reaches the disk, that no header write moves the forward
// offset past a message the destination has not acknowledged, and what a full
// disk or a file without permission does to a run.
#include <map>
#include <set>

#include "tests/hardening/hardening_support.h"

namespace {

using namespace hardening;
using testsupport::FileOpKind;

// The forward offset in the primary header block on the disk.
std::int64_t forwardOffsetOnDisk(const std::string& path) {
    const std::vector<std::uint8_t> bytes = testsupport::readAllBytes(path);
    return decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92)).forwardOffset;
}

class Disk : public testsupport::TempHomeTest {
protected:
    void TearDown() override { ::unsetenv("ZENTO_SF_SYNC"); }
    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
};

// A destination that acknowledges 1.5 s late, ignores the first send of
// message 3, never acknowledges message 5, and an operator who shuts the
// recovery down a minute after message 5 went out. At every send the header
// on the disk stands at most on the first message whose acknowledgement has
// not come yet.
TEST_F(Disk, HeaderNeverPassesAnUnacknowledgedMessage) {
    for (const bool everyMessage : {false, true}) {
        SCOPED_TRACE(everyMessage ? "synced per message" : "synced at close");
        if (everyMessage) ::setenv("ZENTO_SF_SYNC", "message", 1);
        const testsupport::StoreFileBuilder b = storeOf({1, 2, 0, 3, 4, 5});
        b.writeTo(path_);
        std::map<std::size_t, std::int64_t> ackDue;  // when the acknowledgement of message n + 1 comes
        std::set<std::int32_t> seen;
        std::vector<std::string> passed;  // told after the run: its console is captured
        const auto destination = [&](InProcessNetwork& net, MsgView sent) {
            std::size_t open = 0;  // the first message whose acknowledgement has not come
            while (ackDue.count(open) != 0 && ackDue[open] <= net.nowMs()) ++open;
            if (forwardOffsetOnDisk(path_) > b.recordOffsets()[open]) {
                passed.push_back("past message " + std::to_string(open + 1));
            }
            const std::int32_t id = listIdOf(sent);
            const bool first = seen.insert(id).second;
            if (id == kNoticeListId || (id == 3 && first) || (id == 5 && !first)) return;
            const std::int64_t due = net.nowMs() + (id == 5 ? 60'000 : 1500);
            if (id != 5) ackDue.emplace(static_cast<std::size_t>(id - 1), due);
            const Message answer = id == 5 ? notification(kTransShut, makeAddress("ophost", "OPERATOR"), net.self())
                                           : notification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent));
            net.deliverAt(due, answer.view());
        };
        testsupport::FaultyFileOps counting;  // no faults: it counts the syncs
        const RunResult run = recoverInProcess(path_, destination);
        EXPECT_EQ(counting.calls(FileOpKind::Fsync), everyMessage ? 4 : 1) << "per removal, or once at the close";
        EXPECT_EQ(run.exitCode, 0) << run.out;
        EXPECT_EQ(passed, std::vector<std::string>{});
        EXPECT_EQ(withoutRepeats(run.delivered), numbers(1, 5));
        EXPECT_EQ(forwardOffsetOnDisk(path_), b.recordOffsets()[4]) << "message 5 stays for the next run";
        EXPECT_EQ(withoutRepeats(recoverInProcess(path_).delivered), Ids{5});
    }
}

// A disk that refuses every write: the header cannot record the first
// acknowledged message, so the run stops with a failure and the file keeps
// every message for the next run.
TEST_F(Disk, RefusingWritesStopsTheRunAndKeepsTheMessages) {
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

// Root may open anything: a refused open stands in for a file without read
// or write permission.
TEST_F(Disk, StoreFileWithoutPermissionIsRefused) {
    storeOf({1}).writeTo(path_);
    testsupport::FaultyFileOps faults;
    faults.failNth(FileOpKind::Open, 1, EACCES, true);
    const RunResult run = recoverInProcess(path_);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(contains(run.out, "started.\nError: store file " + path_ + " could not be opened: Permission denied.\n"
                                  "facility=1  error=13\nfacility=13  error=13153\nfacility=13  error=13408\n"
                                  "Critical error -- Could not open store file.  Exiting\n"))
        << run.out;
}

}  // namespace
