// Framing, routes and node names: the pure parts of the transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "msglib/coding.h"
#include "msglib/transport_address.h"
#include "msglib/transport_frame.h"
#include "msglib/transport_routes.h"
#include "tests/transport/test_messages.h"

using namespace msglib;
using transport_test::makeMessage;

namespace {

// Feeds bytes to reader in pieces of at most chunk bytes; collects frames.
std::vector<std::vector<std::uint8_t>> feed(FrameReader& reader, const std::vector<std::uint8_t>& bytes,
                                            std::size_t chunk) {
    std::vector<std::vector<std::uint8_t>> frames;
    std::size_t offset = 0;
    for (;;) {
        Message frame;
        while (reader.take(frame)) frames.emplace_back(frame.view().begin(), frame.view().end());
        if (offset == bytes.size() || reader.state() != FrameReader::State::kIncomplete) return frames;
        MsgSpan space = reader.receiveSpace();
        const std::size_t count = std::min({chunk, space.size(), bytes.size() - offset});
        std::memcpy(space.data(), bytes.data() + offset, count);
        offset += count;
        reader.received(count);
    }
}

std::vector<std::uint8_t> bytesOf(const Message& msg) { return {msg.view().begin(), msg.view().end()}; }

const AddressRecord kDest = makeAddress("node", "DEST");
const AddressRecord kSource = makeAddress("node", "SRC");

}  // namespace

TEST(FrameReader, ReassemblesFramesWhateverTheReadSizes) {
    // Sizes around the staging buffer (32 KiB) and the smallest frame.
    const Message small = makeMessage(head::kSize, kDest, kSource);
    const Message medium = makeMessage(400, kDest, kSource);
    const Message large = makeMessage(100'000, kDest, kSource);
    std::vector<std::uint8_t> stream;
    for (const Message* msg : {&small, &large, &medium, &small}) {
        stream.insert(stream.end(), msg->view().begin(), msg->view().end());
    }
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{293}, std::size_t{65536}}) {
        FrameReader reader;
        ASSERT_TRUE(reader.allocate());
        const auto frames = feed(reader, stream, chunk);
        ASSERT_EQ(frames.size(), 4u) << "chunk " << chunk;
        EXPECT_EQ(frames[0], bytesOf(small));
        EXPECT_EQ(frames[1], bytesOf(large));
        EXPECT_EQ(frames[2], bytesOf(medium));
        EXPECT_EQ(frames[3], bytesOf(small));
        EXPECT_FALSE(reader.holdsPartialFrame());
    }
}

TEST(FrameReader, HoldsBackWhileAFrameWaitsAndKeepsPartialFrames) {
    const Message msg = makeMessage(300, kDest, kSource);
    std::vector<std::uint8_t> stream = bytesOf(msg);
    stream.insert(stream.end(), stream.begin(), stream.begin() + 10);  // a second frame begun
    FrameReader reader;
    ASSERT_TRUE(reader.allocate());
    MsgSpan space = reader.receiveSpace();
    std::memcpy(space.data(), stream.data(), stream.size());
    reader.received(stream.size());
    ASSERT_EQ(reader.state(), FrameReader::State::kReady);
    EXPECT_TRUE(reader.receiveSpace().empty()) << "no more bytes are taken while a frame waits";
    Message frame;
    ASSERT_TRUE(reader.take(frame));
    EXPECT_EQ(bytesOf(frame), bytesOf(msg));
    EXPECT_EQ(reader.state(), FrameReader::State::kIncomplete);
    EXPECT_TRUE(reader.holdsPartialFrame());
    EXPECT_FALSE(reader.take(frame));
}

TEST(FrameReader, RefusesBadMagicAndImpossibleLengths) {
    struct Case {
        std::uint16_t magic;
        std::uint32_t length;
        bool good;
    } cases[] = {
        {head::kMagic, head::kSize, true},          {head::kMagic, kMaxFrameBytes, true},
        {0x5A5B, 400, false},                       {head::kMagic, head::kSize - 1, false},
        {head::kMagic, 0, false},                   {head::kMagic, kMaxFrameBytes + 1, false},
        {head::kMagic, 0xFFFFFFFF, false},
    };
    for (const Case& c : cases) {
        std::uint8_t start[8] = {};
        encodeU16(start, c.magic);
        encodeU32(start + 4, c.length);
        FrameReader reader;
        ASSERT_TRUE(reader.allocate());
        std::memcpy(reader.receiveSpace().data(), start, sizeof start);
        reader.received(sizeof start);
        EXPECT_EQ(reader.state() == FrameReader::State::kIncomplete, c.good) << c.magic << " " << c.length;
        if (!c.good) {
            EXPECT_EQ(reader.state(), FrameReader::State::kBadFrame);
            EXPECT_EQ(reader.badLength(), c.length);
            EXPECT_TRUE(reader.receiveSpace().empty());
        }
    }
}

TEST(FrameReader, OnlyWholeWellFormedMessagesAreSendable) {
    Message msg = makeMessage(400, kDest, kSource);
    EXPECT_TRUE(isSendableMessage(msg.view()));
    EXPECT_FALSE(isSendableMessage(msg.view().first(399))) << "length word larger than the buffer";
    EXPECT_FALSE(isSendableMessage(msg.view().first(head::kSize - 1)));
    encodeU32(msg.data() + head::kLengthOffset, 300);
    EXPECT_FALSE(isSendableMessage(msg.view())) << "length word smaller than the buffer";
    encodeU32(msg.data() + head::kLengthOffset, 400);
    msg.data()[0] ^= 1;
    EXPECT_FALSE(isSendableMessage(msg.view()));

    const auto hello = encodeHello(kSource);
    EXPECT_TRUE(isHelloFrame(hello));
    EXPECT_TRUE(isSendableMessage(hello));
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGSRC(hello).service, 32), "SRC");
    EXPECT_FALSE(isHelloFrame(makeMessage(head::kSize, kDest, kSource, kMsgNotification).view()));
}

TEST(Routes, LinesAndLookup) {
    struct Case {
        const char* line;
        bool valid;
    } cases[] = {
        {"plant2 10.0.0.1 7410", true},   {"  plant2\t10.0.0.1   7410  # main", true},
        {"plant2 10.0.0.1 7410\r", true}, {"plant2 10.0.0.1 65535", true},
        {"plant2 10.0.0.1 0", false},     {"plant2 10.0.0.1 65536", false},
        {"plant2 10.0.0.1 74a", false},   {"plant2 10.0.0.1", false},
        {"plant2 10.0.0.1 7410 x", false}, {"# plant2 10.0.0.1 7410", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(parseRouteLine(c.line).has_value(), c.valid) << c.line;

    const char* text =
        "# routes\n"
        "\n"
        "broken line\n"
        "Plant2.example.com 10.0.0.2 7000\r\n"
        "plant2 10.0.0.3 7001\n"
        "plant3 ::1 7002";
    const auto plant2 = findRoute(text, "PLANT2");
    ASSERT_TRUE(plant2);
    EXPECT_EQ(plant2->host, "10.0.0.2") << "the first matching line wins";
    EXPECT_EQ(plant2->port, "7000");
    ASSERT_TRUE(findRoute(text, "plant3.other.org"));
    EXPECT_EQ(findRoute(text, "plant3.other.org")->host, "::1");
    EXPECT_FALSE(findRoute(text, "plant"));
    EXPECT_FALSE(findRoute(text, ""));
    EXPECT_FALSE(findRoute(text, "broken"));
}

TEST(NodeNames, LocalityAndConnectionKeys) {
    EXPECT_TRUE(isLocalNode("", "alpha"));
    EXPECT_TRUE(isLocalNode("localhost", "alpha"));
    EXPECT_TRUE(isLocalNode("LOCALHOST.localdomain", "alpha"));
    EXPECT_TRUE(isLocalNode("ALPHA.corp.example", "alpha.lab"));
    EXPECT_FALSE(isLocalNode("alphabet", "alpha"));
    EXPECT_FALSE(isLocalNode(".alpha", "alpha")) << "leading dots are part of the name";
    EXPECT_EQ(nodeWithoutDomain("..a.b"), "..a");

    // Every spelling of the local node shares one cached connection per service.
    const std::string key = peerKey(makeAddress("", "TSK_AREC"), "alpha");
    EXPECT_EQ(peerKey(makeAddress("Alpha.x", "TSK_AREC"), "alpha"), key);
    EXPECT_EQ(peerKey(makeAddress("localhost", "TSK_AREC"), "alpha"), key);
    EXPECT_NE(peerKey(makeAddress("alpha", "tsk_arec"), "alpha"), key) << "services compare exactly";
    EXPECT_EQ(peerKey(makeAddress("Beta.x", "S"), "alpha"), peerKey(makeAddress("BETA", "S"), "alpha"));
    EXPECT_NE(peerKey(makeAddress("beta", "S"), "alpha"), peerKey(makeAddress("gamma", "S"), "alpha"));

    for (const char* name : {"TSK_AREC", "a.b-c_9", "X"}) EXPECT_TRUE(isServiceName(name)) << name;
    for (const char* name : {"", ".hidden", "a/b", "..", "a b", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}) {
        EXPECT_FALSE(isServiceName(name)) << name;
    }
}
