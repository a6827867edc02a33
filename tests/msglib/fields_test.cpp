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
    EXPECT_EQ(field[7], '\0');
    setFixedText(field, sizeof field, "AB");
    for (std::size_t i = 2; i < sizeof field; ++i) EXPECT_EQ(field[i], '\0');
    const char full[4] = {'W', 'X', 'Y', 'Z'};
    EXPECT_EQ(fixedText(full, sizeof full), "WXYZ");

    AddressRecord address = makeAddress("node.domain", std::string(40, 's'));
    EXPECT_EQ(fixedText(address.node, 32), "node.domain");
    EXPECT_EQ(fixedText(address.service, 32), std::string(31, 's'));
}

TEST(MessageBuffer, ZeroFilledAndReleased) {
    Message msg;
    ASSERT_TRUE(allocateMessage(msg, 1000));
    EXPECT_EQ(msg.size, 1000u);
    for (std::uint8_t byte : msg.view()) ASSERT_EQ(byte, 0);
    releaseMessage(msg);
    EXPECT_FALSE(msg);
    EXPECT_EQ(msg.size, 0u);
}

TEST(HeadFields, SettersAndReadersMeetAtTheirOffsets) {
    std::vector<std::uint8_t> msg(300, 0);
    AddressRecord a = makeAddress("N1", "S1"), b = makeAddress("N2", "S2"), c = makeAddress("N3", "S3");
    ZENTO_SERVER_SET_MSGSRC(msg, a);
    ZENTO_SERVER_SET_MSGDEST(msg, b);
    ZENTO_SERVER_SET_REPDEST(msg, c);
    ZENTO_SERVER_SET_TRANSNUM(msg, 0xDEADBEEF);
    EXPECT_EQ(std::memcmp(msg.data() + 156, &a, 64), 0);
    EXPECT_EQ(std::memcmp(msg.data() + 24, &b, 64), 0);
    EXPECT_EQ(std::memcmp(msg.data() + 88, &c, 64), 0);
    EXPECT_EQ(decodeU32(msg.data() + 16), 0xDEADBEEFu);

    encodeU32(msg.data() + 4, 300);
    encodeU32(msg.data() + 12, 2);
    encodeU32(msg.data() + 152, 11);
    std::memcpy(msg.data() + 220, &c, 64);
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(msg), 300u);
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(msg), 2);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(msg), 11);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(msg), 0xDEADBEEFu);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGSRC(msg), a));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(msg), b));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REPDEST(msg), c));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(msg), c));
}

TEST(HeadFields, SpanShorterThanHeadReadsZeroAndIsNeverWritten) {
    std::vector<std::uint8_t> shortMsg(291, 0xAB);
    AddressRecord zero{};
    EXPECT_EQ(ZENTO_SERVER_MSGTYPE(shortMsg), 0);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(shortMsg), 0);
    EXPECT_EQ(ZENTO_SERVER_TRANSNUM(shortMsg), 0u);
    EXPECT_EQ(ZENTO_SERVER_MSGSIZE(shortMsg), 0u);
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGSRC(shortMsg), zero));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_REQSRC(shortMsg), zero));
    EXPECT_TRUE(sameAddressBytes(ZENTO_SERVER_MSGDEST(MsgView{}), zero));

    AddressRecord a = makeAddress("N", "S");
    ZENTO_SERVER_SET_MSGSRC(shortMsg, a);
    ZENTO_SERVER_SET_MSGDEST(shortMsg, a);
    ZENTO_SERVER_SET_REPDEST(shortMsg, a);
    ZENTO_SERVER_SET_TRANSNUM(shortMsg, 5);
    for (std::uint8_t byte : shortMsg) ASSERT_EQ(byte, 0xAB);
}

TEST(Notification, HeadOnlyMessageFromSourceToDestination) {
    AddressRecord source = makeAddress("HERE", "SF_RECOVER");
    AddressRecord destination = makeAddress("THERE", "TSK_AREC");
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
    EXPECT_EQ(decodeU16(view.data() + 2), 0);
    EXPECT_EQ(decodeU32(view.data() + 20), 0u);
}

}  // namespace
