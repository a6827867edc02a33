#include <gtest/gtest.h>

#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

using msgtest::sameAddressBytes;

TEST(FixedText, CutsPadsAndReadsWithoutTerminator) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    setFixedText(field, sizeof field, "ABCDEFGHIJ");
    EXPECT_EQ(fixedText(field, sizeof field), "ABCDEFG");
    setFixedText(field, sizeof field, "AB");
    EXPECT_EQ(std::string(field, 8), std::string("AB\0\0\0\0\0\0", 8));
    const char full[4] = {'W', 'X', 'Y', 'Z'};
    EXPECT_EQ(fixedText(full, sizeof full), "WXYZ");
    EXPECT_EQ(fixedText(makeAddress("n", std::string(40, 's')).service, 32), std::string(31, 's'));
}

TEST(HeadFields, SettersAndReadersMeetAtTheHeadOffsets) {
    std::vector<std::uint8_t> msg(300, 0);
    AddressRecord a = makeAddress("N1", "S1"), b = makeAddress("N2", "S2"), c = makeAddress("N3", "S3");
    ZENTO_SERVER_SET_MSGSRC(msg, a);
    ZENTO_SERVER_SET_MSGDEST(msg, b);
    ZENTO_SERVER_SET_REPDEST(msg, c);
    ZENTO_SERVER_SET_TRANSNUM(msg, 0xDEADBEEF);
    std::memcpy(msg.data() + 220, &c, 64);
    EXPECT_EQ(std::memcmp(msg.data() + 156, &a, 64), 0);
    EXPECT_EQ(std::memcmp(msg.data() + 24, &b, 64), 0);
    EXPECT_EQ(std::memcmp(msg.data() + 88, &c, 64), 0);
    EXPECT_EQ(decodeU32(msg.data() + 16), 0xDEADBEEFu);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(msg), c));
}

TEST(HeadFields, SpanShorterThanHeadReadsZeroAndIsNeverWritten) {
    std::vector<std::uint8_t> shortMsg(291, 0xAB);
    AddressRecord zero{};
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(shortMsg), 0);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(shortMsg), 0u);
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(shortMsg), 0u);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGSRC(shortMsg), zero));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(MsgView{}), zero));

    AddressRecord a = makeAddress("N", "S");
    ZENTO_SERVER_SET_MSGSRC(shortMsg, a);
    ZENTO_SERVER_SET_MSGDEST(shortMsg, a);
    ZENTO_SERVER_SET_REPDEST(shortMsg, a);
    ZENTO_SERVER_SET_TRANSNUM(shortMsg, 5);
    EXPECT_EQ(std::count(shortMsg.begin(), shortMsg.end(), 0xAB), 291);
}

TEST(Notification, HeadOnlyMessageFromSourceToDestination) {
    AddressRecord source = makeAddress("HERE", "SF_RECOVER"), destination = makeAddress("THERE", "TSK_AREC");
    Message msg;
    StatusBlock status;
    buildNotification(kTransAck, source, destination, 31, msg, status);
    ASSERT_FALSE(statusFailed(status));
    ASSERT_EQ(msg.size, 292u);
    MsgView view = msg.view();
    EXPECT_EQ(decodeU16(view.data()), 0x5A5A);
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(view), 292u);
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(view), kMsgNotification);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(view), kTransAck);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(view), 31u);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(view), destination));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGSRC(view), source));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(view), source));
    EXPECT_EQ(decodeU32(view.data() + 284), 1u);
    EXPECT_EQ(decodeU32(view.data() + 288), 0u);
}

}  // namespace
