// Whole recoveries run in-process on the in-process transport: start-up
// failures, the acknowledgement handling of the main loop, shutdown, and the
// ways a recovery ends.
#include "recover/recovery.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msglib/inprocess.h"
#include "recover/recover_context.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"

namespace {

using fwdtest::capturedStdout;
using fwdtest::occurrences;
using msglib::InProcessNetwork;

const AddressRecord kRequester = makeAddress("clienthost", "CLIENT");
const AddressRecord kArec = makeAddress("clienthost", "TSK_AREC");
constexpr std::int64_t kStart = InProcessNetwork::kStartMs;

Message notification(std::int32_t transType, const AddressRecord& source, const AddressRecord& destination) {
    Message m;
    StatusBlock status;
    buildNotification(transType, source, destination, 0, m, status);
    EXPECT_FALSE(statusFailed(status));
    return m;
}

// Delegates to the in-process network and counts the pauses taken.
struct PauseCounter final : msglib::Transport {
    explicit PauseCounter(InProcessNetwork& n) : net(n) {}
    void init(std::int32_t mode, std::string_view name, AddressRecord& self, StatusBlock& s) override {
        net.init(mode, name, self, s);
    }
    void accept(StatusBlock& s) override { net.accept(s); }
    std::int32_t receive(std::int32_t t, Message& m, StatusBlock& s) override { return net.receive(t, m, s); }
    void send(std::int32_t t, MsgView m, StatusBlock& s) override { net.send(t, m, s); }
    void exit(StatusBlock& s) override { net.exit(s); }
    TimeStamp now() override { return net.now(); }
    void sleep(std::int32_t units) override {
        ++pauses;
        net.sleep(units);
    }
    InProcessNetwork& net;
    int pauses = 0;
};

// Fails the registration with a chain of entries.
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

class RecoveryTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override { network_.declareReachable(kArec); }

    int run(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"zento_sf_recover", "recsvc", path_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());
        int code = -1;
        out_ = capturedStdout([&] { code = runRecovery(ctx_, static_cast<int>(argv.size()), argv.data()); });
        return code;
    }

    void writeStore(const std::vector<std::vector<std::uint8_t>>& messages) {
        fwdtest::storeWith(messages).writeTo(path_);
    }

    // The destination acknowledges every stored message 2 s after it came.
    void acknowledgeEverySend(const AddressRecord& from = kArec) {
        network_.onSend([from](InProcessNetwork& net, MsgView sent) {
            if (ZENTO_SERVER_TRANSTYPE(sent) == kTransGet && ZENTO_SERVER_MSGTYPE(sent) == kMsgReply &&
                decodeU32(sent.data() + head::kLengthOffset) > 0) {
                Message ack = notification(kTransAck, from, net.self());
                net.deliverAt(net.nowMs() + 2000, ack.view());
            }
        });
    }

    std::string log() const { return fwdtest::logText(home_); }
    bool printedInOrder(const std::vector<std::string>& lines) const {
        std::size_t at = 0;
        for (const auto& line : lines) {
            at = out_.find(line, at);
            if (at == std::string::npos) return false;
            at += line.size();
        }
        return true;
    }

    InProcessNetwork network_;
    msglib::ScopedTransport use_{network_};
    RecoverContext ctx_;
    std::string path_ = home_.file("store.dat");
    std::string out_;
};

TEST_F(RecoveryTest, NormalRunForwardsEveryMessageSendsTheNoticeAndEnds) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester), fwdtest::makeStoredReply(2, 100, kRequester)});
    acknowledgeEverySend();
    EXPECT_EQ(run(), kExitSuccess);

    ASSERT_EQ(network_.sent().size(), 3u);
    ReplyFields notice;
    StatusBlock parse;
    ZENTO_SERVER_PARSE_GETREP(network_.sent()[2].view(), notice, parse);
    EXPECT_EQ(notice.listId, 9999);
    EXPECT_STREQ(notice.deviceName, "DEV-2");
    EXPECT_EQ(network_.calls(InProcessNetwork::Call::kExit), 1);

    EXPECT_EQ(out_.rfind("Zen-TO Recover Process for DLGP service 'RECSVC' started.\nFile opened.\n", 0), 0u);
    EXPECT_TRUE(printedInOrder({"All messages have been forwarded.\n", "Messages have all been sent to destination.\n",
                                "Executing MasterFileClose.\n", "Ending program.\n"}));
    EXPECT_EQ(out_.substr(out_.size() - 16), "Ending program.\n");

    const std::string text = log();
    EXPECT_EQ(occurrences(text, "[RECSVC] Zen-TO Recover Process for DLGP service 'RECSVC' started.\n"), 1);
    EXPECT_EQ(occurrences(text, "All messages from file " + path_ + " have been forwarded\nRECSVC process is exitting\n"),
              1);
    EXPECT_EQ(occurrences(text, "2 messages forwarded, 0 resends, 0 damaged ranges skipped (0 bytes)"), 1);
    // The header stays on the last message once it is removed: nothing is left to read.
    EXPECT_EQ(fwdtest::storedForwardOffset(path_), ctx_.header.lastMsgOffset);
    EXPECT_EQ(ctx_.stats.forwarded, 2u);
}

TEST_F(RecoveryTest, ShutdownWhileAMessageIsOutstandingLeavesItInTheFile) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester)});
    const AddressRecord operatorTask = makeAddress("ophost", "OPERATOR");
    network_.onSend([&](InProcessNetwork& net, MsgView) {
        Message shut = notification(kTransShut, operatorTask, net.self());
        net.deliverAt(net.nowMs() + 1000, shut.view());
    });
    EXPECT_EQ(run(), kExitSuccess);
    EXPECT_EQ(network_.sent().size(), 1u);  // no notice
    EXPECT_EQ(network_.calls(InProcessNetwork::Call::kExit), 1);
    EXPECT_TRUE(printedInOrder({"Messages have all been sent to destination.\n", "Ending program.\n"}));
    EXPECT_EQ(out_.find("All messages have been forwarded."), std::string::npos);
    EXPECT_EQ(occurrences(log(), "\nReceived Shutdown message from OPERATOR on node ophost\n"), 1);
    EXPECT_EQ(fwdtest::storedForwardOffset(path_), 192);
}

TEST_F(RecoveryTest, AcknowledgementsAreMatchedByTheirSourceAndOtherMessagesOnlyLogged) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester)});
    int sends = 0;
    network_.onSend([&](InProcessNetwork& net, MsgView) {
        if (++sends > 1) return;  // the notice
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
    EXPECT_EQ(network_.sent().size(), 2u);  // the message once, then the notice
    EXPECT_EQ(network_.sent()[1].timeMs, kStart + 500 + 600);
    const std::string text = log();
    EXPECT_EQ(occurrences(text, "Could not find reply in store file, ignoring Acknowledgement \n"), 2);
    EXPECT_EQ(occurrences(text, "\nReceived disconnect message from PEERSVC on node peer\n"), 1);
    EXPECT_EQ(occurrences(text, "Unknown transaction type: 99"), 1);
    EXPECT_EQ(occurrences(text, "Unknown message type: 1"), 1);
}

TEST_F(RecoveryTest, AcknowledgementWithNothingOutstandingSkipsThatPassesForwardStep) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester)});
    // Before anything is sent the destination is all zeros, which this matches.
    network_.deliver(notification(kTransAck, AddressRecord{}, AddressRecord{}).view());
    acknowledgeEverySend();
    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 2u);
    EXPECT_EQ(network_.sent()[0].timeMs, kStart + 500);  // sent in the second pass
    EXPECT_EQ(occurrences(log(), "ignoring Acknowledgement"), 0);
}

TEST_F(RecoveryTest, FailedReceiveSkipsTheForwardStepAndFailedAcceptsPauseUntilOneSucceeds) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester)});
    PauseCounter counter(network_);
    msglib::ScopedTransport useCounter(counter);
    acknowledgeEverySend();
    network_.failNth(InProcessNetwork::Call::kReceive, 1, kFacilityLibrary, 9111);
    network_.failNth(InProcessNetwork::Call::kAccept, 1, kFacilityLibrary, 9110);
    network_.failNth(InProcessNetwork::Call::kAccept, 2, kFacilityLibrary, 9110);
    network_.failNth(InProcessNetwork::Call::kAccept, 5, kFacilityLibrary, 9110);
    EXPECT_EQ(run(), kExitSuccess);
    EXPECT_EQ(counter.pauses, 2);
    ASSERT_EQ(network_.sent().size(), 2u);
    // Two pauses of 100 ms, a failed receive that made no forward step, then a 500 ms wait.
    EXPECT_EQ(network_.sent()[0].timeMs, kStart + 200 + 500);
    EXPECT_EQ(occurrences(log(), "error=9110"), 3);
}

TEST_F(RecoveryTest, FailedRemovalKeepsTheMessageOutstandingUntilAResendIsAcknowledged) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester), fwdtest::makeStoredReply(2, 100, kRequester)});
    acknowledgeEverySend();
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO);
    EXPECT_EQ(run(), kExitSuccess);
    EXPECT_EQ(occurrences(out_, "Error in removeLastMsg\n"), 1);
    ASSERT_EQ(network_.sent().size(), 4u);
    EXPECT_EQ(network_.sent()[0].bytes, network_.sent()[1].bytes);
    EXPECT_EQ(network_.sent()[1].timeMs, kStart + 21'000);  // the first second past the 20 s deadline
    EXPECT_EQ(occurrences(log(), "2 messages forwarded, 1 resends"), 1);
}

// A slow destination acknowledges both the first send of a message and its
// resend, each after the deadline, then vanishes. The second acknowledgement
// must not count for the message sent next: that one was never acknowledged
// and has to stay in the store file.
TEST_F(RecoveryTest, LateAcknowledgementOfAResendDoesNotRemoveTheNextMessage) {
    const std::vector<std::uint8_t> first = fwdtest::makeStoredReply(1, 100, kRequester);
    writeStore({first, fwdtest::makeStoredReply(2, 100, kRequester), fwdtest::makeStoredReply(3, 100, kRequester)});
    const std::int64_t secondRecord = 192 + 12 + static_cast<std::int64_t>(first.size());
    const AddressRecord operatorTask = makeAddress("ophost", "OPERATOR");
    int sends = 0;
    std::vector<std::uint32_t> numbers;
    network_.onSend([&](InProcessNetwork& net, MsgView sent) {
        numbers.push_back(ZENTO_SERVER_TRANSNUM(sent));
        ++sends;
        if (sends <= 2) {
            // 22.5 s: past the 20 s deadline, so the first send is resent at 21 s.
            Message ack;
            StatusBlock status;
            buildNotification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent), ack, status);
            net.deliverAt(net.nowMs() + 22'500, ack.view());
        } else if (sends == 3) {
            net.declareUnreachable(kArec);
            net.deliverAt(net.nowMs() + 60'000, notification(kTransShut, operatorTask, net.self()).view());
        }
    });

    EXPECT_EQ(run(), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 3u);
    ReplyFields fields;
    StatusBlock parse;
    ZENTO_SERVER_PARSE_GETREP(network_.sent()[2].view(), fields, parse);
    EXPECT_EQ(fields.listId, 2);
    EXPECT_EQ(fwdtest::storedForwardOffset(path_), secondRecord);
    EXPECT_EQ(ctx_.stats.forwarded, 1u);

    // The resend carries its first send's number; the next message another.
    ASSERT_EQ(numbers.size(), 3u);
    EXPECT_NE(numbers[0], 0u);
    EXPECT_EQ(numbers[1], numbers[0]);
    EXPECT_NE(numbers[2], numbers[0]);
    EXPECT_NE(numbers[2], 0u);
    EXPECT_EQ(occurrences(log(), "Ignoring an acknowledgement of transaction " + std::to_string(numbers[0]) +
                                     ": the message awaiting acknowledgement is transaction " +
                                     std::to_string(numbers[2])),
              1);
}

TEST_F(RecoveryTest, RegistrationFailurePrintsEveryStatusEntry) {
    struct Case {
        int entries;
        std::string expected;
    };
    std::string full;
    for (int i = 1; i <= 9; ++i) full += "\nfacility=9  error=" + std::to_string(100 + i);
    full += "\nfacility=13  error=112";  // a full block keeps its newest entry last
    const std::vector<Case> cases = {
        {3, "\nfacility=9  error=101\nfacility=9  error=102\nfacility=13  error=103"},
        {12, full},
    };
    for (const auto& c : cases) {
        FailingInit failing(c.entries);
        msglib::ScopedTransport useFailing(failing);
        ctx_ = {};
        EXPECT_EQ(run(), kExitBadStart);
        EXPECT_EQ(out_, c.expected + "Critical error - Failed to initialize ZENT I/O, Exiting\n");
    }
}

TEST_F(RecoveryTest, EmptyStoreFileCannotBeOpened) {
    testsupport::writeAllBytes(path_, {});
    EXPECT_EQ(run(), kExitBadStart);
    EXPECT_EQ(out_,
              "Zen-TO Recover Process for DLGP service 'RECSVC' started.\n"
              "File opened.\n"
              "Critical error -- Could not open store file.  Exiting\n");
    EXPECT_TRUE(network_.sent().empty());
}

TEST_F(RecoveryTest, StoreFileWithNothingToForwardEndsWithTheNoticeAttempt) {
    testsupport::StoreFileBuilder b;
    b.addRaw(std::vector<std::uint8_t>(250, 0));  // room for a header read, none for a record
    b.header().lastOffset = b.end();
    b.writeTo(path_);
    EXPECT_EQ(run(), kExitSuccess) << out_;
    EXPECT_TRUE(network_.sent().empty());  // no destination was ever known
    EXPECT_EQ(network_.calls(InProcessNetwork::Call::kExit), 0);
    EXPECT_TRUE(printedInOrder({"Reached file end.\n", "Messages have all been sent to destination.\n",
                                "Ending program.\n"}));
    EXPECT_EQ(occurrences(log(), "Error creating a shutdown message for recover async task ec=4052"), 1);
}

TEST_F(RecoveryTest, UnreadableDataEndsWithAFailureAndNoNotice) {
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester)});
    testsupport::FaultyFileOps faults;
    int readsToOpen = 0;
    {
        RecoverContext probe;
        fwdtest::openInto(probe, path_);
        readsToOpen = faults.calls(testsupport::FileOpKind::Read);
        fwdtest::closeStore(probe);
    }
    faults.resetCounts();
    faults.failNth(testsupport::FileOpKind::Read, readsToOpen + 1, EIO, true);
    acknowledgeEverySend();

    EXPECT_EQ(run(), kExitUnreadable) << out_;
    EXPECT_TRUE(network_.sent().empty());
    EXPECT_EQ(out_.find("Messages have all been sent to destination."), std::string::npos);
    EXPECT_TRUE(printedInOrder({"Error: stored data at location 192 cannot be read.", "Executing MasterFileClose.\n",
                                "Ending program.\n"}));
    EXPECT_EQ(occurrences(log(), "0 messages forwarded"), 1);
    EXPECT_EQ(network_.calls(InProcessNetwork::Call::kExit), 0);
}

TEST_F(RecoveryTest, NodeOptionSendsMessagesAndTheNoticeToThatNode) {
    const AddressRecord otherArec = makeAddress("othernode", "TSK_AREC");
    network_.declareReachable(otherArec);
    writeStore({fwdtest::makeStoredReply(1, 100, kRequester)});
    acknowledgeEverySend(otherArec);
    EXPECT_EQ(run({"NODE", "othernode", "2"}), kExitSuccess);
    ASSERT_EQ(network_.sent().size(), 2u);
    for (const auto& sent : network_.sent()) {
        EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(sent.view()).node, 32), "othernode");
    }
    EXPECT_EQ(network_.sent()[0].timeout, 20);
    EXPECT_EQ(network_.sent()[1].timeout, 300);
}

}  // namespace
