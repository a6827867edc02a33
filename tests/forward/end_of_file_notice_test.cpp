// The end-of-file notice: what the destination receives, and what is logged
// and left for the caller when it cannot be made or sent.
#include "forward/end_of_file_notice.h"

#include <gtest/gtest.h>

#include "forward/forwarding.h"
#include "msglib/inprocess.h"
#include "tests/forward/forward_test_support.h"

namespace {

using fwdtest::logText;
using fwdtest::occurrences;
using msglib::InProcessNetwork;

const AddressRecord kArec = makeAddress("clienthost", "TSK_AREC");

class EndOfFileNoticeTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        setFixedText(ctx_.serviceName, sizeof ctx_.serviceName, "RECSVC");
        ctx_.selfAddress = makeAddress("rechost", "RECSVC");
        network_.declareReachable(kArec);
    }
    void TearDown() override { fwdtest::closeStore(ctx_); }

    InProcessNetwork network_;
    msglib::ScopedTransport use_{network_};
    RecoverContext ctx_;
    StatusBlock status_{};
};

TEST_F(EndOfFileNoticeTest, DestinationGetsAStoreFileIsEmptyReplyOnce) {
    ctx_.destinationAddress = kArec;
    setFixedText(ctx_.deviceName, sizeof ctx_.deviceName, "DEV-3");
    sendEndOfFileNotice(ctx_, status_);
    ASSERT_FALSE(statusFailed(status_));
    ASSERT_EQ(network_.sent().size(), 1u);
    const auto& sent = network_.sent()[0];
    EXPECT_EQ(sent.timeout, 300);

    MsgView reply = sent.view();
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(reply), kTransGet);
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(reply), kMsgReply);
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(reply).node, 32), "clienthost");
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(reply).service, 32), "TSK_AREC");
    EXPECT_EQ(fixedText(ZENTO_SERVER_REPDEST(reply).service, 32), "TSK_AREC");
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGSRC(reply).node, 32), "rechost");
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGSRC(reply).service, 32), "RECSVC");

    ReplyFields fields;
    StatusBlock parse;
    ZENTO_SERVER_PARSE_GETREP(reply, fields, parse);
    ASSERT_FALSE(statusFailed(parse));
    EXPECT_EQ(fields.listId, 9999);
    EXPECT_EQ(fields.frequency, 100);
    EXPECT_EQ(fields.tagCount, 1);
    EXPECT_EQ(fields.requestWord, 0);
    EXPECT_STREQ(fields.deviceName, "DEV-3");
    ASSERT_EQ(fields.tagNames.size(), 17u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fields.tagNames.data())), "STOREFILEISEMPTY");
    ASSERT_EQ(fields.values.size(), 17u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(fields.values.data())), "STOREFILEISEMPTY");
    ASSERT_EQ(fields.statusRecords.size(), 12u);
    EXPECT_EQ(decodeI32(fields.statusRecords.data()), -1);
    EXPECT_EQ(decodeI32(fields.statusRecords.data() + 4), 13);
    ASSERT_EQ(fields.pairs.size(), 8u);
    EXPECT_EQ(decodeU64(fields.pairs.data()), 0u);
    EXPECT_EQ(logText(home_), "");
}

TEST_F(EndOfFileNoticeTest, WithNoMessageEverSentNothingIsSentAndTheBuildErrorIsLogged) {
    sendEndOfFileNotice(ctx_, status_);
    EXPECT_TRUE(network_.sent().empty());
    ASSERT_EQ(statusEntryCount(status_), 1);
    EXPECT_EQ(status_.facility[0], kFacilityBuilder);
    EXPECT_EQ(status_.error[0], 4052);
    EXPECT_EQ(occurrences(logText(home_), "[RECSVC] Error creating a shutdown message for recover async task ec=4052\n"),
              1);
}

TEST_F(EndOfFileNoticeTest, FailedSendIsLoggedAndStaysInTheCallersBlock) {
    ctx_.destinationAddress = makeAddress("nowhere", "TSK_AREC");
    sendEndOfFileNotice(ctx_, status_);
    EXPECT_TRUE(network_.sent().empty());
    ASSERT_TRUE(statusFailed(status_));
    const std::string line =
        "Error sending shutdown message to recover async task ec=" + std::to_string(firstErrorCode(status_));
    EXPECT_EQ(occurrences(logText(home_), line), 1);
}

TEST_F(EndOfFileNoticeTest, FollowsTheNodeOptionAndCarriesTheDeviceOfTheMessageSent) {
    network_.declareReachable(makeAddress("othernode", "TSK_AREC"));
    ctx_.nodeRedirect = true;
    setFixedText(ctx_.redirectNodeName, sizeof ctx_.redirectNodeName, "othernode");
    const AddressRecord requester = makeAddress("clienthost", "CLIENT");
    testsupport::StoreFileBuilder b = fwdtest::storeWith(
        {fwdtest::makeStoredReply(4, 100, requester), fwdtest::makeStoredReply(5, 100, requester)});
    b.writeTo(home_.file("store.dat"));
    fwdtest::openInto(ctx_, home_.file("store.dat"));

    StatusBlock status;
    ASSERT_EQ(forwardNextMessage(ctx_, status), kNormalWait);
    // Not acknowledged: resent.
    network_.advanceMs(30'000);
    ASSERT_EQ(forwardNextMessage(ctx_, status), kNormalWait);
    ASSERT_EQ(network_.sent().size(), 2u);

    sendEndOfFileNotice(ctx_, status_);
    ASSERT_FALSE(statusFailed(status_));
    ASSERT_EQ(network_.sent().size(), 3u);
    MsgView notice = network_.sent()[2].view();
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(notice).node, 32), "othernode");
    ReplyFields fields;
    StatusBlock parse;
    ZENTO_SERVER_PARSE_GETREP(notice, fields, parse);
    EXPECT_STREQ(fields.deviceName, "DEV-4");
}

}  // namespace
