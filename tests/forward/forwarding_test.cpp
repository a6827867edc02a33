// The forwarding step on the in-process transport: addressing, deadlines,
// resends and their log lines, and the ways a call can end without a send.
#include "forward/forwarding.h"
#include "forward/transaction_numbers.h"

#include <gtest/gtest.h>

#include "msglib/inprocess.h"
#include "storefile/cursor.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using fwdtest::capturedStdout;
using fwdtest::logText;
using fwdtest::occurrences;
using msglib::InProcessNetwork;

const AddressRecord kRequester = makeAddress("clienthost", "CLIENT");
const AddressRecord kArec = makeAddress("clienthost", "TSK_AREC");

class ForwardingTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        network_.declareReachable(kArec);
        resetContext();
    }
    void TearDown() override { fwdtest::closeStore(ctx_); }

    void resetContext() {
        fwdtest::closeStore(ctx_);
        ctx_.~RecoverContext();
        new (&ctx_) RecoverContext();
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "RECSVC");
        ctx_.selfAddress = makeAddress("rechost", "RECSVC");
    }

    void openStore(const std::vector<std::vector<std::uint8_t>>& messages) {
        testsupport::StoreFileBuilder b = fwdtest::storeWith(messages);
        b.writeTo(path_);
        fwdtest::openInto(ctx_, path_);
    }

    std::int32_t forward() {
        std::int32_t wait = 0;
        out_ += capturedStdout([&] { wait = forwardNextMessage(ctx_, status_); });
        return wait;
    }

    // Puts the context where a sent message awaits a resend.
    void holdOutstanding(const std::vector<std::uint8_t>& message) {
        ctx_.currentMsg = fwdtest::toMessage(message);
        ZENTO_SERVER_SET_MSGDEST(ctx_.currentMsg.span(), kArec);
        ctx_.destinationAddress = kArec;
        ctx_.lastMsgAcked = false;
        ctx_.ackDeadline = TimeStamp{0, 0};
    }

    std::int32_t nowSeconds() const { return static_cast<std::int32_t>(network_.nowMs() / 1000); }

    InProcessNetwork network_;
    msglib::ScopedTransport use_{network_};
    RecoverContext ctx_;
    StatusBlock status_{};
    std::string out_;
    std::string path_ = home_.file("store.dat");
};

TEST_F(ForwardingTest, FirstSendGoesToTheRequestersArecWithADeadlineFromTheFrequency) {
    struct Case {
        std::int32_t frequency;
        std::int32_t seconds;
    };
    for (Case c : {Case{100, 20}, Case{29, 5}, Case{0, 5}, Case{-50, 5}, Case{30, 6}, Case{35, 7}}) {
        SCOPED_TRACE(c.frequency);
        resetContext();
        network_.clearSent();
        openStore({fwdtest::makeStoredReply(7, c.frequency, kRequester)});

        EXPECT_EQ(forward(), kNormalWait);
        EXPECT_FALSE(statusFailed(status_));
        ASSERT_EQ(network_.sent().size(), 1u);
        MsgView sent = network_.sent()[0].view();
        EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(sent).node, 32), "clienthost");
        EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(sent).service, 32), "TSK_AREC");
        EXPECT_EQ(fixedText(ZENTO_SERVER_MSGSRC(sent).service, 32), "RECSVC");
        EXPECT_EQ(network_.sent()[0].timeout, 50);
        EXPECT_EQ(ctx_.ackDeadline.seconds, nowSeconds() + c.seconds);
        EXPECT_FALSE(ctx_.lastMsgAcked);
        EXPECT_FALSE(ctx_.retryPending);
        EXPECT_STREQ(ctx_.deviceName, "DEV-7");
    }
}

TEST_F(ForwardingTest, ResendComesOnlyOnceTheClockIsPastTheDeadlineSecond) {
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    const std::int64_t start = network_.nowMs();
    ASSERT_EQ(start % 1000, 0);
    ASSERT_EQ(forward(), kNormalWait);
    const std::int32_t deadline = ctx_.ackDeadline.seconds;

    network_.setTimeMs(std::int64_t{deadline} * 1000 + 999);
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(network_.sent().size(), 1u);

    network_.advanceMs(1);
    EXPECT_EQ(forward(), kNormalWait);
    ASSERT_EQ(network_.sent().size(), 2u);
    EXPECT_EQ(ctx_.stats.resends, 1u);
    EXPECT_EQ(ctx_.ackDeadline.seconds, deadline + 1 + 20);
    // The resend carries what the first send set.
    EXPECT_EQ(network_.sent()[0].bytes, network_.sent()[1].bytes);
    EXPECT_EQ(occurrences(logText(home_), "retry sending msg for listid 7"), 1);
}

TEST_F(ForwardingTest, EachMessageCarriesANumberOfItsOwnThatItsResendsKeep) {
    openStore({fwdtest::makeStoredReply(7, 100, kRequester), fwdtest::makeStoredReply(8, 100, kRequester)});
    ASSERT_EQ(forward(), kNormalWait);
    network_.advanceMs(21'000);
    ASSERT_EQ(forward(), kNormalWait);  // the resend
    StatusBlock removal;
    removeLastMsg(ctx_, removal);
    ASSERT_FALSE(statusFailed(removal));
    ctx_.lastMsgAcked = true;
    ASSERT_EQ(forward(), kNormalWait);

    ASSERT_EQ(network_.sent().size(), 3u);
    const std::uint32_t first = ZENTO_SERVER_TRANSNUM(network_.sent()[0].view());
    EXPECT_NE(first, 0u);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(network_.sent()[1].view()), first);
    const std::uint32_t second = ZENTO_SERVER_TRANSNUM(network_.sent()[2].view());
    EXPECT_NE(second, 0u);
    EXPECT_NE(second, first);
    EXPECT_EQ(ctx_.outstandingTransNum, second);

    // Another run at another moment starts elsewhere in the sequence.
    const std::uint32_t firstOfThisRun = first;
    resetContext();
    network_.clearSent();
    network_.advanceMs(1);
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    ASSERT_EQ(forward(), kNormalWait);
    ASSERT_EQ(network_.sent().size(), 1u);
    const std::uint32_t otherRun = ZENTO_SERVER_TRANSNUM(network_.sent()[0].view());
    EXPECT_NE(otherRun, firstOfThisRun);
    EXPECT_NE(otherRun, second);
}

TEST(TransactionNumbers, NeverZeroEvenWhenTheSequenceWraps) {
    msglib::InProcessNetwork network;
    msglib::ScopedTransport use(network);
    RecoverContext ctx;
    ctx.nextTransNum = UINT32_MAX - 1;
    EXPECT_EQ(takeTransactionNumber(ctx), UINT32_MAX - 1);
    EXPECT_EQ(takeTransactionNumber(ctx), UINT32_MAX);
    EXPECT_EQ(takeTransactionNumber(ctx), 1u);
    EXPECT_EQ(takeTransactionNumber(ctx), 2u);

    // Seeding takes every moment to a non-zero start, the epoch included.
    for (std::int64_t ms : {std::int64_t{0}, std::int64_t{1}, InProcessNetwork::kStartMs}) {
        network.setTimeMs(ms);
        RecoverContext fresh;
        EXPECT_NE(takeTransactionNumber(fresh), 0u) << ms;
    }
}

TEST_F(ForwardingTest, RetryLineIsWrittenAgainOnlyAfterMoreThan300Seconds) {
    holdOutstanding(fwdtest::makeStoredReply(12, 100, kRequester));
    ctx_.retryLogged = true;
    ctx_.lastRetryLogTime = TimeStamp{0, nowSeconds() - 300};
    forward();
    EXPECT_EQ(occurrences(logText(home_), "retry sending msg"), 0);

    ctx_.ackDeadline = TimeStamp{0, 0};
    ctx_.lastRetryLogTime = TimeStamp{0, nowSeconds() - 301};
    forward();
    EXPECT_EQ(occurrences(logText(home_), "Zen-TO Recover Store File Process retry sending msg for listid 12"), 1);
    EXPECT_EQ(ctx_.lastRetryLogTime.seconds, nowSeconds());
    EXPECT_EQ(network_.sent().size(), 2u);
}

TEST_F(ForwardingTest, FailingResendsAreLoggedOncePerErrorCodeAndNotLeftForTheCaller) {
    holdOutstanding(fwdtest::makeStoredReply(12, 100, kRequester));
    network_.failNext(InProcessNetwork::Call::kSend, 3, kFacilityLibrary, 9555);
    network_.failNth(InProcessNetwork::Call::kSend, 4, kFacilityLibrary, 9666);
    const std::string errorLine = "Zen-TO Recover Store File Process had error on retry for send; listid 12";

    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // writes the retry line, so logs its error too
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_TRUE(ctx_.retryPending);
    EXPECT_EQ(ctx_.lastRetryError, 9555);
    EXPECT_EQ(occurrences(logText(home_), errorLine), 1);

    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // same code, no retry line: silent
    EXPECT_EQ(forward(), kWaitAfterFailedSend);
    EXPECT_EQ(occurrences(logText(home_), errorLine), 1);

    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // another code
    EXPECT_EQ(occurrences(logText(home_), errorLine), 2);
    EXPECT_EQ(ctx_.lastRetryError, 9666);

    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_FALSE(ctx_.retryPending);
    EXPECT_EQ(network_.sent().size(), 1u);
    EXPECT_EQ(ctx_.stats.resends, 5u);
    EXPECT_EQ(occurrences(logText(home_), "retry sending msg"), 1);
}

TEST_F(ForwardingTest, FailedFirstSendReturns100KeepsTheErrorAndIsResentNextCall) {
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    network_.failNth(InProcessNetwork::Call::kSend, 1, kFacilityLibrary, 9777);

    EXPECT_EQ(forward(), kWaitAfterFailedSend);
    EXPECT_EQ(firstErrorCode(status_), 9777);
    EXPECT_TRUE(ctx_.retryPending);
    EXPECT_FALSE(ctx_.lastMsgAcked);
    EXPECT_EQ(occurrences(logText(home_), "Recover Store File Process had error on send; listid 7"), 1);

    EXPECT_EQ(forward(), kNormalWait);  // no earlier deadline holds it back
    ASSERT_EQ(network_.sent().size(), 1u);
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(network_.sent()[0].view()).service, 32), "TSK_AREC");
}

TEST_F(ForwardingTest, NodeOptionRedirectsEveryMessage) {
    network_.declareReachable(makeAddress("othernode", "TSK_AREC"));
    ctx_.nodeRedirect = true;
    setFixedText(ctx_.redirectNodeName, sizeof ctx_.redirectNodeName, "othernode");
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    EXPECT_EQ(forward(), kNormalWait);
    ASSERT_EQ(network_.sent().size(), 1u);
    EXPECT_EQ(fixedText(ctx_.destinationAddress.node, 32), "othernode");
    EXPECT_EQ(fixedText(ctx_.destinationAddress.service, 32), "TSK_AREC");

    // A name of 32 characters is kept terminated in the address.
    resetContext();
    ctx_.nodeRedirect = true;
    std::memset(ctx_.redirectNodeName, 'n', 32);
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    forward();
    EXPECT_EQ(fixedText(ctx_.destinationAddress.node, 32), std::string(31, 'n'));
}

TEST_F(ForwardingTest, NothingIsSentOnceNoMessagesRemainOrWhileTheDeadlineHolds) {
    holdOutstanding(fwdtest::makeStoredReply(7, 100, kRequester));
    ctx_.moreMessages = false;
    EXPECT_EQ(forward(), kNormalWait);

    ctx_.moreMessages = true;
    ctx_.ackDeadline = TimeStamp{0, nowSeconds()};
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_TRUE(network_.sent().empty());
    EXPECT_FALSE(ctx_.retryPending);
}

TEST_F(ForwardingTest, MessageThatIsNoReplyIsSentWithUnknownListIdAndKeepsTheDeviceName) {
    openStore({fwdtest::makeOtherMessage(400, kRequester)});
    setFixedText(ctx_.deviceName, sizeof ctx_.deviceName, "EARLIER");
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(out_, "Unable to parse message.\n");
    ASSERT_EQ(network_.sent().size(), 1u);
    EXPECT_STREQ(ctx_.deviceName, "EARLIER");
    // Its frequency cannot be read either: 5 seconds, and the caller hears of it.
    EXPECT_EQ(ctx_.ackDeadline.seconds, nowSeconds() + 5);
    ASSERT_TRUE(statusFailed(status_));
    EXPECT_EQ(status_.error[statusEntryCount(status_) - 1], kErrFrequencyFailed);

    network_.failNth(InProcessNetwork::Call::kSend, 1, kFacilityLibrary, 9555);
    network_.advanceMs(6000);
    forward();
    const std::string log = logText(home_);
    EXPECT_EQ(occurrences(log, "retry sending msg for listid -1"), 1);
    EXPECT_EQ(occurrences(log, "error on retry for send; listid -1"), 1);
}

TEST_F(ForwardingTest, HeadOnlyMessageIsTakenOutAndTheNextOneSent) {
    openStore({fwdtest::makeOtherMessage(292, kRequester), fwdtest::makeOtherMessage(293, kRequester)});
    const std::int64_t second = 192 + 12 + 292;

    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_TRUE(network_.sent().empty());
    ASSERT_TRUE(statusFailed(status_));
    EXPECT_EQ(status_.facility[0], kFacilityStore);
    EXPECT_EQ(status_.error[0], kErrMessageTooShort);
    EXPECT_EQ(ctx_.header.forwardOffset, second);
    EXPECT_EQ(fwdtest::storedForwardOffset(path_), second);
    EXPECT_TRUE(ctx_.lastMsgAcked);
    EXPECT_EQ(ctx_.stats.skippedBytes, 304u);
    EXPECT_EQ(occurrences(logText(home_), "Skipped a stored message of 292 bytes at location 192"), 1);

    EXPECT_EQ(forward(), kNormalWait);
    ASSERT_EQ(network_.sent().size(), 1u);
    EXPECT_EQ(network_.sent()[0].bytes.size(), 293u);
}

TEST_F(ForwardingTest, ResendWithNoMessageHeldReadsAgainInstead) {
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    ctx_.lastMsgAcked = false;
    ctx_.retryPending = true;
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_TRUE(network_.sent().empty());
    EXPECT_TRUE(ctx_.lastMsgAcked);
    EXPECT_EQ(ctx_.stats.resends, 0u);

    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(network_.sent().size(), 1u);
}

TEST_F(ForwardingTest, EndOfTheDataDuringTheCallReturnsZeroWithoutSending) {
    // A record with a tail too short for another one; the last-message
    // offset names no record, so only the end of the file ends the reading.
    testsupport::StoreFileBuilder b = fwdtest::storeWith({fwdtest::makeStoredReply(7, 100, kRequester)});
    b.addRaw(std::vector<std::uint8_t>(100, 0xEE));
    b.header().lastMsgOffset = b.end();
    b.header().lastOffset = b.end();
    b.writeTo(path_);
    fwdtest::openInto(ctx_, path_);

    ASSERT_EQ(forward(), kNormalWait);
    StatusBlock removal;
    removeLastMsg(ctx_, removal);
    ASSERT_FALSE(statusFailed(removal));
    ctx_.lastMsgAcked = true;

    EXPECT_EQ(forward(), kNoWait);
    EXPECT_TRUE(ctx_.stopRequested);
    EXPECT_FALSE(ctx_.dataUnreadable);
    EXPECT_EQ(network_.sent().size(), 1u);
}

TEST_F(ForwardingTest, ReadPositionBeyondTheLastOffsetEndsTheDataInsteadOfWaiting) {
    testsupport::StoreFileBuilder b = fwdtest::storeWith({fwdtest::makeStoredReply(7, 100, kRequester)});
    b.header().lastOffset = 150;
    b.writeTo(path_);
    fwdtest::openInto(ctx_, path_);

    EXPECT_EQ(forward(), kNoWait);
    EXPECT_TRUE(ctx_.stopRequested);
    EXPECT_FALSE(ctx_.moreMessages);
    EXPECT_FALSE(ctx_.dataUnreadable);
    EXPECT_EQ(out_, "No further stored message after location 192.\n");
    EXPECT_TRUE(network_.sent().empty());
}

TEST_F(ForwardingTest, UnreadableDataStopsTheRecoveryAsAFailure) {
    openStore({fwdtest::makeStoredReply(7, 100, kRequester)});
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Read, 1, EIO, true);

    EXPECT_EQ(forward(), kNoWait);
    EXPECT_TRUE(ctx_.stopRequested);
    EXPECT_TRUE(ctx_.dataUnreadable);
    EXPECT_FALSE(ctx_.currentMsg);
    EXPECT_EQ(out_,
              "Error: stored data at location 192 cannot be read.  Recovery stopped; the remaining messages stay "
              "in the store file.\n");
    EXPECT_TRUE(network_.sent().empty());
    EXPECT_EQ(firstErrorCode(status_), EIO);
    EXPECT_EQ(status_.error[statusEntryCount(status_) - 1], kErrCursorFailed);
}

TEST_F(ForwardingTest, MessageFoundBehindDamageIsForwardedEvenWhenTheHeaderCannotBeRewritten) {
    testsupport::StoreFileBuilder b;
    b.addRaw(std::vector<std::uint8_t>(500, 0x11));
    b.addMessage(fwdtest::makeStoredReply(7, 100, kRequester));
    b.describeRecords();
    b.header().forwardOffset = b.dataStart();
    b.header().firstMsgOffset = b.dataStart();
    b.writeTo(path_);
    fwdtest::openInto(ctx_, path_);
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO);

    EXPECT_EQ(forward(), kNormalWait);
    ASSERT_EQ(network_.sent().size(), 1u);
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(network_.sent()[0].view()).service, 32), "TSK_AREC");
    EXPECT_EQ(fixedText(ctx_.destinationAddress.node, 32), "clienthost");
    EXPECT_STREQ(ctx_.deviceName, "DEV-7");
    EXPECT_NE(logText(home_).find("13414"), std::string::npos);
}

TEST(ParseStoredReply, TakesBothReplyKindsAndRefusesOthers) {
    testsupport::TempHome home;
    std::vector<std::uint8_t> reply = fwdtest::makeStoredReply(31, 100, kRequester);
    ReplyFields fields;
    StatusBlock status;
    parseStoredReply(reply, fields, status);
    EXPECT_FALSE(statusFailed(status));
    EXPECT_EQ(fields.listId, 31);
    EXPECT_STREQ(fields.deviceName, "DEV-31");

    std::vector<std::uint8_t> other = fwdtest::makeOtherMessage(400, kRequester, 17);
    std::string out = capturedStdout([&] { parseStoredReply(other, fields, status); });
    EXPECT_EQ(out, "Unable to parse message.\n");
    ASSERT_EQ(statusEntryCount(status), 1);
    EXPECT_EQ(status.facility[0], kFacilityParser);
    EXPECT_EQ(status.error[0], kErrUnparsable);
}

}  // namespace
