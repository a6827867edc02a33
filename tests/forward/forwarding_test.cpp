// The forwarding step and the end-of-file notice on the in-process transport:
// addressing, deadlines, resends and their log lines, the ways a call can end
// without a send, and what the destination is told at the end.
#include "forward/forwarding.h"

#include "forward/end_of_file_notice.h"
#include "storefile/cursor.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/status_entries.h"

namespace {

using namespace fwdtest;
using Call = msglib::InProcessNetwork::Call;
using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;

// A message of length bytes with a sound head that is neither kind of reply.
Bytes otherMessage(std::uint32_t length) {
    Bytes m(length, 0);
    for (std::uint32_t i = head::kSize; i < length; ++i) m[i] = static_cast<std::uint8_t>(i);
    encodeU16(m.data(), head::kMagic);
    encodeU32(m.data() + head::kLengthOffset, length);
    encodeU32(m.data() + head::kMessageTypeOffset, 2);
    encodeU32(m.data() + head::kTransTypeOffset, 5);
    std::memcpy(m.data() + head::kRequestSourceOffset, &kRequester, sizeof kRequester);
    return m;
}

class Forwarding : public InProcessTest {
protected:
    void SetUp() override {
        InProcessTest::SetUp();
        fresh();
    }
    // The context of a new recovery registered as RECSVC, with the timeout argument 7, on a store file.
    void fresh(const testsupport::StoreFileBuilder& b = storeWith({reply(7)})) {
        TearDown();
        ctx_ = {};
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "RECSVC");
        ctx_.selfAddress = makeAddress("rechost", "RECSVC");
        ctx_.sendTimeout = 70;
        ctx_.storeFileName = path_;
        network_.clearSent();
        b.writeTo(path_);
        bool opened = false;
        capturedStdout([&] { opened = openStoreFile(ctx_, status_); });
        ASSERT_TRUE(opened);
    }
    std::int32_t forward() {
        std::int32_t wait = 0;
        out_ += capturedStdout([&] { wait = forwardNextMessage(ctx_, status_); });
        return wait;
    }
    std::int32_t nowSeconds() const { return static_cast<std::int32_t>(network_.nowMs() / 1000); }
    std::size_t sent() const { return network_.sent().size(); }

    StatusBlock status_{};
};

TEST_F(Forwarding, FirstSendGoesToTheRequestersArecWithADeadlineFromTheFrequency) {
    for (auto [frequency, seconds] : std::vector<std::pair<std::int32_t, std::int32_t>>{
             {100, 20}, {29, 5}, {0, 5}, {-50, 5}, {30, 6}, {35, 7}}) {
        fresh(storeWith({reply(7, frequency)}));
        EXPECT_EQ(forward(), kNormalWait);
        EXPECT_FALSE(statusFailed(status_));
        ASSERT_EQ(sent(), 1u);
        const MsgView message = network_.sent()[0].view();
        EXPECT_EQ(text(ZENTO_SERVER_MSGDEST(message)) + " from " + text(ZENTO_SERVER_MSGSRC(message)),
                  "clienthost/TSK_AREC from rechost/RECSVC");
        EXPECT_EQ(network_.sent()[0].timeout, 70);
        EXPECT_EQ(ctx_.ackDeadline.seconds, nowSeconds() + seconds) << frequency;
        EXPECT_FALSE(ctx_.lastMsgAcked || ctx_.retryPending);
        EXPECT_STREQ(ctx_.deviceName, "DEV-7");
    }
    // NODE names the node whatever the requester; 32 characters are cut so the address stays terminated.
    fresh();
    ctx_.nodeRedirect = true;
    std::memset(ctx_.redirectNodeName, 'n', 32);
    forward();
    EXPECT_EQ(text(ctx_.destinationAddress), std::string(31, 'n') + "/TSK_AREC");
}

TEST_F(Forwarding, RetryLinesAndResendErrorsAreLoggedSparinglyAndNotLeftForTheCaller) {
    forward();
    network_.advanceMs(21'000);
    ctx_.retryLogged = true;
    ctx_.lastRetryLogTime = TimeStamp{0, nowSeconds() - 300};
    network_.failNext(Call::kSend, 3, kFacilityLibrary, 9555);
    network_.failNth(Call::kSend, 4, kFacilityLibrary, 9666);
    auto lines = [&] {
        return std::make_pair(
            logged("[RECSVC] Zen-TO Recover Store File Process retry sending msg for listid 7\n"),
            logged("[RECSVC] Zen-TO Recover Store File Process had error on retry for send; listid 7\n"));
    };
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // 300 s since the last retry line: none; a new code is logged
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_EQ(lines(), std::make_pair(0, 1));
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // the same code: silent
    EXPECT_EQ(lines(), std::make_pair(0, 1));
    ctx_.lastRetryLogTime = TimeStamp{0, nowSeconds() - 301};
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // a retry line, so its error is logged even with the same code
    EXPECT_EQ(lines(), std::make_pair(1, 2));
    EXPECT_EQ(ctx_.lastRetryLogTime.seconds, nowSeconds());
    EXPECT_EQ(forward(), kWaitAfterFailedSend);  // another code
    EXPECT_EQ(lines(), std::make_pair(1, 3));
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_FALSE(ctx_.retryPending);
    ASSERT_EQ(sent(), 2u);
    // The resend carries what the first send set, its transaction number too.
    EXPECT_EQ(network_.sent()[0].bytes, network_.sent()[1].bytes);
}

TEST_F(Forwarding, FailedFirstSendIsLeftForTheCallerAndResentNextCall) {
    network_.failNth(Call::kSend, 1, kFacilityLibrary, 9777);
    EXPECT_EQ(forward(), kWaitAfterFailedSend);
    EXPECT_EQ(firstErrorCode(status_), 9777);
    EXPECT_TRUE(ctx_.retryPending && !ctx_.lastMsgAcked);
    EXPECT_EQ(logged("[RECSVC] Recover Store File Process had error on send; listid 7\n"), 1);
    EXPECT_EQ(forward(), kNormalWait);  // no earlier deadline holds it back
    ASSERT_EQ(sent(), 1u);
    EXPECT_EQ(text(ZENTO_SERVER_MSGDEST(network_.sent()[0].view())), "clienthost/TSK_AREC");
}

TEST_F(Forwarding, MessageThatIsNoReplyIsSentWithUnknownListIdAndKeepsTheDeviceName) {
    fresh(storeWith({otherMessage(400)}));
    setFixedText(ctx_.deviceName, sizeof ctx_.deviceName, "EARLIER");
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(out_, "Unable to parse message.\n");
    EXPECT_EQ(sent(), 1u);
    EXPECT_STREQ(ctx_.deviceName, "EARLIER");
    // Its frequency cannot be read either: 5 seconds, and the caller hears of it.
    EXPECT_EQ(ctx_.ackDeadline.seconds, nowSeconds() + 5);
    EXPECT_EQ(status_.error[statusEntryCount(status_) - 1], 13470);
    network_.advanceMs(6000);
    forward();
    EXPECT_EQ(logged("retry sending msg for listid -1\n"), 1);
}

TEST_F(Forwarding, HeadOnlyMessageIsTakenOutAndTheNextOneSent) {
    fresh(storeWith({otherMessage(292), otherMessage(293)}));
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_TRUE(sent() == 0 && ctx_.lastMsgAcked);
    EXPECT_EQ(testsupport::statusEntries(status_), (Entries{{13, 13473}}));
    EXPECT_EQ(storedForwardOffset(path_), 192 + 12 + 292);
    EXPECT_EQ(logged("Skipped a stored message of 292 bytes at location 192"), 1);
    EXPECT_EQ(forward(), kNormalWait);
    ASSERT_EQ(sent(), 1u);
    EXPECT_EQ(network_.sent()[0].bytes.size(), 293u);
}

TEST_F(Forwarding, NoFurtherRecordEndsTheDataDuringTheCallInsteadOfWaiting) {
    testsupport::StoreFileBuilder b = storeWith({reply(7)});
    b.header().lastOffset = 150;  // the reading stands past the last offset at once
    fresh(b);
    EXPECT_EQ(forward(), kNoWait);
    EXPECT_EQ(out_, "No further stored message after location 192.\n");
    EXPECT_TRUE(ctx_.stopRequested && !ctx_.moreMessages && !ctx_.dataUnreadable);

    // A tail too short for a record, behind a last-message offset that names
    // none: only the end of the file ends the reading.
    b = storeWith({reply(7)});
    b.addRaw(Bytes(100, 0xEE));
    b.header().lastMsgOffset = b.header().lastOffset = b.end();
    fresh(b);
    ASSERT_EQ(forward(), kNormalWait);
    StatusBlock removal;
    removeLastMsg(ctx_, removal);
    ctx_.lastMsgAcked = true;
    EXPECT_EQ(forward(), kNoWait);
    EXPECT_TRUE(ctx_.stopRequested && !ctx_.dataUnreadable && sent() == 1);
}

TEST_F(Forwarding, UnreadableDataStopsTheRecoveryAsAFailure) {
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Read, 1, EIO, true);
    EXPECT_EQ(forward(), kNoWait);
    EXPECT_TRUE(ctx_.stopRequested && ctx_.dataUnreadable && !ctx_.currentMsg && sent() == 0);
    EXPECT_EQ(out_, "Error: stored data at location 192 cannot be read.  Recovery stopped; the remaining messages stay "
                    "in the store file.\n");
    EXPECT_EQ(std::make_pair(firstErrorCode(status_), status_.error[statusEntryCount(status_) - 1]),
              std::make_pair(EIO, 13471));
}

TEST_F(Forwarding, MessageFoundBehindDamageIsForwardedEvenWhenTheHeaderCannotBeRewritten) {
    testsupport::StoreFileBuilder b;
    b.addRaw(Bytes(500, 0x11));
    b.addMessage(reply(7));
    b.describeRecords();
    b.header().forwardOffset = b.header().firstMsgOffset = b.dataStart();
    fresh(b);
    testsupport::FaultyFileOps faults;
    faults.failNth(testsupport::FileOpKind::Write, 1, EIO);
    EXPECT_EQ(forward(), kNormalWait);
    EXPECT_EQ(sent(), 1u);
    EXPECT_STREQ(ctx_.deviceName, "DEV-7");
    EXPECT_EQ(logged("error=13414"), 1);
}

TEST_F(Forwarding, EndOfFileNoticeIsAStoreFileIsEmptyReplySentOnce) {
    ctx_.destinationAddress = kArec;
    setFixedText(ctx_.deviceName, sizeof ctx_.deviceName, "DEV-3");
    sendEndOfFileNotice(ctx_, status_);
    ASSERT_EQ(sent(), 1u);
    EXPECT_EQ(network_.sent()[0].timeout, 300);
    const MsgView notice = network_.sent()[0].view();
    EXPECT_EQ(text(ZENTO_SERVER_MSGDEST(notice)) + " " + text(ZENTO_SERVER_REPDEST(notice)) + " " +
                  text(ZENTO_SERVER_MSGSRC(notice)),
              "clienthost/TSK_AREC clienthost/TSK_AREC rechost/RECSVC");
    ReplyFields f;
    ZENTO_SERVER_PARSE_GETREP(notice, f, status_);
    ASSERT_FALSE(statusFailed(status_));
    EXPECT_EQ((std::vector<std::int32_t>{f.listId, f.frequency, f.tagCount, f.requestWord, decodeI32(f.statusRecords.data()),
                                         decodeI32(f.statusRecords.data() + 4)}),
              (std::vector<std::int32_t>{9999, 100, 1, 0, -1, 13}));
    EXPECT_STREQ(f.deviceName, "DEV-3");
    EXPECT_EQ(std::string(f.tagNames.begin(), f.tagNames.end()) + std::string(f.values.begin(), f.values.end()),
              std::string("STOREFILEISEMPTY\0STOREFILEISEMPTY\0", 34));
    EXPECT_EQ(logged("RECSVC"), 0);

    // A failed send is logged and left in the caller's block; no retry.
    ctx_.destinationAddress = makeAddress("nowhere", "TSK_AREC");
    sendEndOfFileNotice(ctx_, status_);
    ASSERT_TRUE(statusFailed(status_));
    EXPECT_EQ(logged("[RECSVC] Error sending shutdown message to recover async task ec=" +
                     std::to_string(firstErrorCode(status_)) + "\n"),
              1);
    EXPECT_EQ(sent(), 1u);
}

}  // namespace
