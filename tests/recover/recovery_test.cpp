// Whole recoveries run in-process on the in-process transport: start-up
// failures, the acknowledgement handling of the main loop, shutdown, and the
// ways a recovery ends; and the address comparison that matches
// acknowledgements.
#include "recover/recovery.h"

#include <cstring>

#include "recover/same_address.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using namespace fwdtest;
using Call = msglib::InProcessNetwork::Call;
constexpr std::int64_t kStart = msglib::InProcessNetwork::kStartMs;

Message notification(std::int32_t transType, const AddressRecord& source, const AddressRecord& destination,
                     std::uint32_t transNum = 0) {
    Message m;
    StatusBlock status;
    buildNotification(transType, source, destination, transNum, m, status);
    return m;
}

// Fails the registration with a chain of entries, the newest last.
struct FailingInit final : msglib::Transport {
    explicit FailingInit(int n) : entries(n) {}
    void init(std::int32_t, std::string_view, AddressRecord&, StatusBlock& s) override {
        for (int i = 1; i <= entries; ++i) ZENTO_SERVER_LDBLK(i == entries ? 13 : 9, 100 + i, s);
    }
    void accept(StatusBlock&) override {}
    std::int32_t receive(std::int32_t, Message&, StatusBlock&) override { return 0; }
    void send(std::int32_t, MsgView, StatusBlock&) override {}
    void exit(StatusBlock&) override {}
    TimeStamp now() override { return {0, 0}; }
    void sleep(std::int32_t) override {}
    int entries;
};

class Recovery : public InProcessTest {
protected:
    int run() {
        const char* argv[] = {"zento_sf_recover", "recsvc", path_.c_str()};
        int code = -1;
        out_ = capturedStdout([&] { code = runRecovery(ctx_, 3, argv); });
        return code;
    }
    // The destination acknowledges every message 2 s after it came.
    void acknowledgeEverySend() {
        network_.onSend([](msglib::InProcessNetwork& net, MsgView sent) {
            net.deliverAt(net.nowMs() + 2000,
                          notification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent)).view());
        });
    }
    std::int32_t listIdSent(std::size_t i) {
        ReplyFields fields;
        StatusBlock status;
        ZENTO_SERVER_PARSE_GETREP(network_.sent().at(i).view(), fields, status);
        return fields.listId;
    }
};

TEST_F(Recovery, NormalRunForwardsEveryMessageSendsTheNoticeAndEnds) {
    storeWith({reply(1), reply(2)}).writeTo(path_);
    acknowledgeEverySend();
    // Failed accepts and receives only delay: see the time of the first send.
    for (int n : {1, 2, 4}) network_.failNth(Call::kAccept, n, kFacilityLibrary, 9110);
    for (int n : {1, 2}) network_.failNth(Call::kReceive, n, kFacilityLibrary, 9111);
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 3u);
    // Pauses of 100 ms after the first two accepts, none after the fourth
    // (one has succeeded); two failed receives with no forward step; then the
    // 500 ms wait of the pass that sends.
    EXPECT_EQ(network_.sent()[0].timeMs, kStart + 200 + 500);
    EXPECT_EQ(std::make_pair(logged("error=9110"), logged("error=9111")), std::make_pair(3, 2));
    EXPECT_EQ(listIdSent(2), 9999);  // the notice, after the last acknowledgement
    EXPECT_EQ(network_.calls(Call::kExit), 1);
    EXPECT_EQ(logged("[RECSVC] Zen-TO Recover Process for DLGP service 'RECSVC' started.\n"), 1);
    EXPECT_EQ(logged("All messages from file " + path_ + " have been forwarded\nRECSVC process is exitting\n"), 1);
    EXPECT_EQ(logged("2 messages forwarded, 0 resends, 0 damaged ranges skipped (0 bytes)"), 1);
    // The header stays on the last message once it is removed: nothing is left to read.
    EXPECT_EQ(storedForwardOffset(path_), ctx_.header.lastMsgOffset);
}

TEST_F(Recovery, AcknowledgementsAreMatchedByTheirSourceAndOtherMessagesOnlyLogged) {
    storeWith({reply(1)}).writeTo(path_);
    // Before anything is sent the destination is all zeros, which this matches:
    // with nothing outstanding it is ignored, unlogged, and its pass sends nothing.
    network_.deliver(notification(kTransAck, AddressRecord{}, AddressRecord{}).view());
    network_.onSend([&](msglib::InProcessNetwork& net, MsgView) {
        if (net.sent().size() > 1) return;  // the notice
        const AddressRecord self = net.self();
        const std::int64_t t = net.nowMs();
        net.deliverAt(t + 100, notification(kTransAck, makeAddress("otherhost", "TSK_AREC"), self).view());
        net.deliverAt(t + 200, notification(kTransAck, makeAddress("clienthost", "tsk_arec"), self).view());
        net.deliverAt(t + 300, notification(kTransDisconnect, makeAddress("peer", "PEERSVC"), self).view());
        net.deliverAt(t + 400, notification(99, kArec, self).view());
        Message request = notification(kTransAck, kArec, self);
        encodeU32(request.data() + head::kMessageTypeOffset, kMsgRequest);
        net.deliverAt(t + 500, request.view());
        net.deliverAt(t + 600, notification(kTransAck, makeAddress("clienthost.plant.example", "TSK_AREC"), self).view());
    });
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 2u);  // the message once, then the notice
    EXPECT_EQ(network_.sent()[0].timeMs, kStart + 500);  // in the second pass
    EXPECT_EQ(network_.sent()[1].timeMs, kStart + 500 + 600);
    EXPECT_EQ(logged("[RECSVC] Could not find reply in store file, ignoring Acknowledgement \n"), 2);
    EXPECT_EQ(logged("\nReceived disconnect message from PEERSVC on node peer\n"), 1);
    EXPECT_EQ(logged("Unknown transaction type: 99\n"), 1);
    EXPECT_EQ(logged("Unknown message type: 1\n"), 1);
}

TEST_F(Recovery, FailedRemovalKeepsTheMessageOutstandingUntilAResendIsAcknowledged) {
    storeWith({reply(1), reply(2)}).writeTo(path_);
    acknowledgeEverySend();
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO);
    EXPECT_EQ(run(), kExitSuccess);
    const std::size_t at = out_.find("Error in removeLastMsg\n");
    EXPECT_TRUE(at != std::string::npos && at == out_.rfind("Error in removeLastMsg\n")) << out_;
    ASSERT_EQ(network_.sent().size(), 4u);
    EXPECT_EQ(network_.sent()[0].bytes, network_.sent()[1].bytes);
    EXPECT_EQ(network_.sent()[1].timeMs, kStart + 21'000);  // the first second past the 20 s deadline
    EXPECT_EQ(logged("2 messages forwarded, 1 resends"), 1);
}

// A slow destination acknowledges both the first send of a message and its
// resend, each after the deadline, then vanishes. The second acknowledgement
// must not count for the message sent next: that one was never acknowledged
// and stays in the store file when a shutdown request ends the run.
TEST_F(Recovery, LateAcknowledgementOfAResendDoesNotRemoveTheNextMessage) {
    const std::vector<std::uint8_t> first = reply(1);
    storeWith({first, reply(2), reply(3)}).writeTo(path_);
    std::vector<std::uint32_t> numbers;
    network_.onSend([&](msglib::InProcessNetwork& net, MsgView sent) {
        numbers.push_back(ZENTO_SERVER_TRANSNUM(sent));
        if (numbers.size() <= 2) {  // 22.5 s: past the 20 s deadline, so the first send is resent at 21 s
            net.deliverAt(net.nowMs() + 22'500, notification(kTransAck, kArec, net.self(), numbers.back()).view());
        } else if (numbers.size() == 3) {
            net.declareUnreachable(kArec);
            net.deliverAt(net.nowMs() + 60'000,
                          notification(kTransShut, makeAddress("ophost", "OPERATOR"), net.self()).view());
        }
    });
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(numbers.size(), 3u);  // no notice after a shutdown request
    EXPECT_EQ(listIdSent(2), 2);
    EXPECT_EQ(storedForwardOffset(path_), 192 + 12 + static_cast<std::int64_t>(first.size()));
    // The resend carries its first send's number; the next message another.
    EXPECT_TRUE(numbers[0] != 0 && numbers[1] == numbers[0] && numbers[2] != numbers[0] && numbers[2] != 0);
    EXPECT_EQ(logged("Ignoring an acknowledgement of transaction " + std::to_string(numbers[0]) +
                     ": the message awaiting acknowledgement is transaction " + std::to_string(numbers[2])),
              1);
    EXPECT_EQ(logged("[RECSVC] \nReceived Shutdown message from OPERATOR on node ophost\n"), 1);
    EXPECT_EQ(network_.calls(Call::kExit), 1);
}

TEST_F(Recovery, StartUpFailuresPrintTheStatusEntriesAndExitWithOne) {
    std::string full;
    for (int i = 1; i <= 9; ++i) full += "\nfacility=9  error=" + std::to_string(100 + i);
    full += "\nfacility=13  error=112";  // a full block keeps its newest entry last
    for (const auto& [entries, expected] : std::vector<std::pair<int, std::string>>{
             {3, "\nfacility=9  error=101\nfacility=9  error=102\nfacility=13  error=103"}, {12, full}}) {
        FailingInit failing(entries);
        msglib::ScopedTransport useFailing(failing);
        ctx_ = {};
        EXPECT_EQ(run(), kExitBadStart);
        EXPECT_EQ(out_, expected + "Critical error - Failed to initialize ZENT I/O, Exiting\n");
    }
    testsupport::writeAllBytes(path_, {});  // a store file of size 0 cannot be opened
    ctx_ = {};
    EXPECT_EQ(run(), kExitBadStart);
    EXPECT_EQ(out_, "Zen-TO Recover Process for DLGP service 'RECSVC' started.\nFile opened.\n"
                    "Critical error -- Could not open store file.  Exiting\n");
}

TEST_F(Recovery, StoreFileWithNothingToForwardEndsWithTheNoticeAttempt) {
    testsupport::StoreFileBuilder b;
    b.addRaw(std::vector<std::uint8_t>(250, 0));  // room for a header read, none for a record
    b.header().lastOffset = b.end();
    b.writeTo(path_);
    EXPECT_EQ(run(), kExitSuccess) << out_;
    EXPECT_TRUE(network_.sent().empty());  // no destination was ever known
    EXPECT_EQ(network_.calls(Call::kExit), 0);
    EXPECT_NE(out_.find("Reached file end.\nMessages have all been sent to destination.\n"), std::string::npos);
    EXPECT_EQ(logged("[RECSVC] Error creating a shutdown message for recover async task ec=4052\n"), 1);
}

TEST_F(Recovery, SameAddressComparesNodesUpToTheirDomainAndServicesExactly) {
    for (const auto& [node1, service1, node2, service2, same] :
         std::vector<std::tuple<const char*, const char*, const char*, const char*, int>>{
             {"host.plant.example", "TSK_AREC", "host", "TSK_AREC", 1},
             {"host.a", "TSK_AREC", "host.b", "TSK_AREC", 1},
             {"host", "TSK_AREC", "HOST", "TSK_AREC", 0},   // case counts
             {"host", "TSK.AREC", "host", "TSK.OTHER", 0},  // services are not cut at a dot
             {"host", "TSK_AREC", "hostx", "TSK_AREC", 0},
             {".host", "S", ".host.dom", "S", 1},  // leading dots stay part of the name
             {".host", "S", "host", "S", 0},
             {"..a.b", "S", "..a", "S", 1},
             {"a..b", "S", "a", "S", 1},
             {"", "S", ".", "S", 0}}) {
        const AddressRecord a = makeAddress(node1, service1), b = makeAddress(node2, service2);
        EXPECT_EQ(std::make_pair(sameAddress(a, b), sameAddress(b, a)), std::make_pair(same, same))
            << node1 << "/" << service1 << " " << node2 << "/" << service2;
    }
    // Unterminated fields are read within their record: 31 characters of a node count, all 32 of a service.
    AddressRecord a{}, b{};
    std::memset(&a, 'n', sizeof a);
    std::memset(&b, 'n', sizeof b);
    b.node[31] = 'X';
    EXPECT_EQ(sameAddress(a, b), 1);
    b.service[31] = 'X';
    EXPECT_EQ(sameAddress(a, b), 0);
}

}  // namespace
