// When the header reaches the disk, and that no header write ever moves the
// forward offset past a message the destination has not acknowledged.
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>

#include "tests/hardening/hardening_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

using msglib::InProcessNetwork;

// What the recovery has acknowledged so far (it received the ACK), and a
// check of every primary header block it writes against that.
struct Ledger {
    std::map<std::uint32_t, std::int32_t> listOfTransaction;
    std::set<std::int32_t> acknowledged;
    std::vector<std::int64_t> recordAt;  // offset of message n at index n - 1
    int headerWrites = 0;
    int syncs = 0;
    std::vector<std::string> violations;

    std::int64_t firstUnacknowledged() const {
        for (std::size_t i = 0; i < recordAt.size(); ++i) {
            if (acknowledged.count(static_cast<std::int32_t>(i + 1)) == 0) return recordAt[i];
        }
        return INT64_MAX;
    }
};

Ledger* gLedger = nullptr;

// A primary block written at offset 0, by a plain or a positioned write.
void checkWrite(std::int64_t at, const void* buffer, unsigned count) {
    if (at != 0 || count != 92 || gLedger == nullptr) return;
    ++gLedger->headerWrites;
    const auto* block = static_cast<const std::uint8_t*>(buffer);
    const std::int64_t forward = decodeType2(std::span<const std::uint8_t, 92>(block, 92)).forwardOffset;
    if (forward > gLedger->firstUnacknowledged()) {
        gLedger->violations.push_back("forward offset " + std::to_string(forward) + " past " +
                                      std::to_string(gLedger->firstUnacknowledged()));
    }
}

int checkingWrite(int handle, const void* buffer, unsigned count) {
    checkWrite(platform::posixFileOps().seek(handle, 0, 1), buffer, count);
    return platform::posixFileOps().write(handle, buffer, count);
}

int checkingPwrite(int handle, const void* buffer, unsigned count, std::int64_t at) {
    checkWrite(at, buffer, count);
    return platform::posixFileOps().pwrite(handle, buffer, count, at);
}

int countingSync(int handle) {
    if (gLedger != nullptr) ++gLedger->syncs;
    return platform::posixFileOps().fsync(handle);
}

// Delegates to the network and books the acknowledgements as the recovery
// receives them.
class AckBook final : public msglib::Transport {
public:
    AckBook(InProcessNetwork& network, Ledger& ledger) : net_(network), ledger_(ledger) {}
    void init(std::int32_t mode, std::string_view name, AddressRecord& self, StatusBlock& s) override {
        net_.init(mode, name, self, s);
    }
    void accept(StatusBlock& s) override { net_.accept(s); }
    std::int32_t receive(std::int32_t timeout, Message& m, StatusBlock& s) override {
        const std::int32_t n = net_.receive(timeout, m, s);
        if (n > 0 && ZENTO_SERVER_MSGTYPE(m.view()) == kMsgNotification &&
            ZENTO_SERVER_TRANSTYPE(m.view()) == kTransAck) {
            const auto found = ledger_.listOfTransaction.find(ZENTO_SERVER_TRANSNUM(m.view()));
            if (found != ledger_.listOfTransaction.end()) ledger_.acknowledged.insert(found->second);
        }
        return n;
    }
    void send(std::int32_t timeout, MsgView m, StatusBlock& s) override {
        ledger_.listOfTransaction[ZENTO_SERVER_TRANSNUM(m)] = hardening::listIdOf(m);
        net_.send(timeout, m, s);
    }
    void exit(StatusBlock& s) override { net_.exit(s); }
    TimeStamp now() override { return net_.now(); }
    void sleep(std::int32_t units) override { net_.sleep(units); }

private:
    InProcessNetwork& net_;
    Ledger& ledger_;
};

Message notification(std::int32_t transType, const AddressRecord& source, const AddressRecord& destination,
                     std::uint32_t transNum = 0) {
    Message m;
    StatusBlock status;
    buildNotification(transType, source, destination, transNum, m, status);
    return m;
}

class Durability : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        testsupport::StoreFileBuilder b;
        b.addMessage(hardening::storedReply(1));
        b.addMessage(hardening::storedReply(2));
        b.addRaw(std::vector<std::uint8_t>(900, 0x51));  // skipped: the header moves onto message 3
        b.addMessage(hardening::storedReply(3));
        b.addMessage(hardening::storedReply(4));
        b.addMessage(hardening::storedReply(5));
        b.describeRecords();
        b.writeTo(path_);
        ledger_.recordAt = b.recordOffsets();
    }
    void TearDown() override { ::unsetenv("ZENTO_SF_SYNC"); }

    // A destination that acknowledges late, ignores the first send of
    // message 3, never acknowledges message 5, and an operator who shuts the
    // recovery down a minute after message 5 went out.
    int runWithSlowDestination(std::string& out) {
        InProcessNetwork network;
        network.declareReachable(hardening::kArec);
        std::set<std::int32_t> seen;
        network.onSend([&](InProcessNetwork& net, MsgView sent) {
            const std::int32_t id = hardening::listIdOf(sent);
            const bool first = seen.insert(id).second;
            if (id == hardening::kNoticeListId || (id == 3 && first)) return;
            if (id == 5) {
                if (first) {
                    net.deliverAt(net.nowMs() + 60'000,
                                  notification(kTransShut, makeAddress("ophost", "OPERATOR"), net.self()).view());
                }
                return;
            }
            net.deliverAt(net.nowMs() + 1500,
                          notification(kTransAck, hardening::kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent)).view());
        });
        AckBook book(network, ledger_);
        msglib::ScopedTransport use(book);

        platform::FileOps table = platform::posixFileOps();
        table.write = checkingWrite;
        table.pwrite = checkingPwrite;
        table.fsync = countingSync;
        testsupport::ScopedFileOps checking(table);
        gLedger = &ledger_;

        const std::vector<std::string> args = {"zento_sf_recover", "hardsvc", path_};
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());
        RecoverContext ctx;
        int code = -1;
        out = fwdtest::capturedStdout([&] { code = runRecovery(ctx, static_cast<int>(argv.size()), argv.data()); });
        gLedger = nullptr;
        return code;
    }

    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
    Ledger ledger_;
};

TEST_F(Durability, HeaderNeverPassesAnUnacknowledgedMessage) {
    for (const bool everyMessage : {false, true}) {
        SCOPED_TRACE(everyMessage ? "synced per message" : "synced at close");
        if (everyMessage) ::setenv("ZENTO_SF_SYNC", "message", 1);
        SetUp();
        ledger_.acknowledged.clear();
        ledger_.headerWrites = 0;
        ledger_.syncs = 0;

        std::string out;
        EXPECT_EQ(runWithSlowDestination(out), 0) << out;
        EXPECT_TRUE(ledger_.violations.empty()) << ledger_.violations.front();
        EXPECT_EQ(ledger_.acknowledged, (std::set<std::int32_t>{1, 2, 3, 4}));
        // Four removals and the skip onto message 3.
        EXPECT_EQ(ledger_.headerWrites, 5);
        EXPECT_EQ(ledger_.syncs, everyMessage ? 4 + 1 : 1) << "per removal, and always at the close";
        EXPECT_EQ(fwdtest::storedForwardOffset(path_), ledger_.recordAt[4]) << "message 5 stays for the next run";

        const hardening::RunResult rerun = hardening::recoverInProcess(path_);
        EXPECT_EQ(hardening::withoutRepeats(rerun.delivered), std::vector<std::int32_t>{5});
    }
}

// A header that may not be on the disk is never reported as success.
TEST_F(Durability, FailedSyncAtTheEndIsAFailure) {
    hardening::RunResult run;
    {
        testsupport::FaultyFileOps faults;
        faults.failNth(testsupport::FileOpKind::Fsync, 1, EIO);
        run = hardening::recoverInProcess(path_);
    }
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(hardening::contains(run.out,
                                    "Executing MasterFileClose.\nError syncing file: Input/output error.\n"
                                    "\nfacility=13  error=13457Error : Could not close store file.\nEnding program.\n"))
        << run.out;
    EXPECT_EQ(hardening::withoutRepeats(run.delivered), hardening::numbers(1, 5));
}

}  // namespace
