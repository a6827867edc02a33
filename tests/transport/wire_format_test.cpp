// Framing, routes and node names: the parts of the transport without sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "msglib/coding.h"
#include "msglib/transport_address.h"
#include "msglib/transport_frame.h"
#include "msglib/transport_routes.h"
#include "tests/transport/test_messages.h"

using namespace msglib;
using namespace transport_test;

namespace {

// Feeds bytes to a new reader in pieces of at most chunk bytes.
struct Fed {
    std::vector<Bytes> frames;
    FrameReader::State state;
    bool partial;  // an unfinished frame is held
};
Fed feed(const Bytes& bytes, std::size_t chunk) {
    FrameReader reader;
    EXPECT_TRUE(reader.allocate());
    std::vector<Bytes> frames;
    for (std::size_t offset = 0;;) {
        for (Message frame; reader.take(frame);) frames.push_back(bytesOf(frame.view()));
        if (offset == bytes.size() || reader.state() != FrameReader::State::kIncomplete) {
            return {frames, reader.state(), reader.holdsPartialFrame()};
        }
        const MsgSpan space = reader.receiveSpace();
        const std::size_t count = std::min({chunk, space.size(), bytes.size() - offset});
        std::memcpy(space.data(), bytes.data() + offset, count);
        offset += count;
        reader.received(count);
    }
}

}  // namespace

TEST(FrameReader, ReassemblesFramesWhateverTheReadSizesAndRefusesImpossibleOnes) {
    const AddressRecord a = makeAddress("node", "DEST"), b = makeAddress("node", "SRC");
    // Sizes around the 32 KiB staging buffer and the smallest frame.
    const Bytes small = bytesOf(makeMessage(head::kSize, a, b).view()), large = bytesOf(makeMessage(100'000, a, b).view());
    Bytes stream = small;
    stream.insert(stream.end(), large.begin(), large.end());
    stream.insert(stream.end(), small.begin(), small.end());
    for (std::size_t chunk : {1, 7, 293, 65536}) {
        const Fed fed = feed(stream, chunk);
        EXPECT_TRUE(fed.frames == (std::vector<Bytes>{small, large, small}) && !fed.partial) << chunk;
    }
    stream.pop_back();  // the last frame unfinished is held, not delivered
    const Fed cut = feed(stream, 65536);
    EXPECT_TRUE(cut.frames.size() == 2 && cut.partial);

    const std::pair<std::uint16_t, std::uint32_t> refused[] = {
        {0x5A5B, 400}, {head::kMagic, head::kSize - 1}, {head::kMagic, kMaxFrameBytes + 1}, {head::kMagic, 0xFFFFFFFF}};
    for (const auto& [magic, length] : refused) {
        Bytes start(8, 0);
        encodeU16(start.data(), magic);
        encodeU32(start.data() + 4, length);
        EXPECT_EQ(feed(start, 8).state, FrameReader::State::kBadFrame) << magic << " " << length;
    }
}

TEST(Routes, LinesAndLookup) {
    for (const char* line : {"plant2 10.0.0.1 7410", "  plant2\t10.0.0.1   7410  # main", "plant2 10.0.0.1 65535\r"}) {
        EXPECT_TRUE(parseRouteLine(line)) << line;
    }
    for (const char* line : {"plant2 10.0.0.1 0", "plant2 10.0.0.1 65536", "plant2 10.0.0.1 74a", "plant2 10.0.0.1",
                             "plant2 10.0.0.1 7410 x", "# plant2 10.0.0.1 7410", ""}) {
        EXPECT_FALSE(parseRouteLine(line)) << line;
    }
    const char* text = "# routes\n\nbroken line\nPlant2.example.com 10.0.0.2 7000\r\nplant2 10.0.0.3 7001\nplant3 ::1 7002";
    const auto plant2 = findRoute(text, "PLANT2");
    ASSERT_TRUE(plant2);
    EXPECT_EQ(plant2->host + " " + plant2->port, "10.0.0.2 7000") << "the first matching line wins";
    ASSERT_TRUE(findRoute(text, "plant3.other.org"));
    EXPECT_EQ(findRoute(text, "plant3.other.org")->host, "::1");
    EXPECT_FALSE(findRoute(text, "plant") || findRoute(text, "") || findRoute(text, "broken"));
}

TEST(NodeNames, LocalityServiceNamesAndConnectionKeys) {
    for (const char* node : {"", "localhost", "LOCALHOST.localdomain", "ALPHA.corp.example"}) {
        EXPECT_TRUE(isLocalNode(node, "alpha.lab")) << node;
    }
    EXPECT_FALSE(isLocalNode("alphabet", "alpha"));
    EXPECT_FALSE(isLocalNode(".alpha", "alpha")) << "leading dots are part of the name";
    EXPECT_EQ(nodeWithoutDomain("..a.b"), "..a");
    for (const char* name : {"TSK_AREC", "a.b-c_9", "X"}) EXPECT_TRUE(isServiceName(name)) << name;
    for (const char* name : {"", ".hidden", "a/b", "..", "a b", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}) {
        EXPECT_FALSE(isServiceName(name)) << name;
    }
    // Every spelling of a node shares one cached connection per service.
    const std::string key = peerKey(makeAddress("", "TSK_AREC"), "alpha");
    EXPECT_EQ(peerKey(makeAddress("Alpha.x", "TSK_AREC"), "alpha"), key);
    EXPECT_EQ(peerKey(makeAddress("localhost", "TSK_AREC"), "alpha"), key);
    EXPECT_NE(peerKey(makeAddress("alpha", "tsk_arec"), "alpha"), key) << "services compare exactly";
    EXPECT_EQ(peerKey(makeAddress("Beta.x", "S"), "alpha"), peerKey(makeAddress("BETA", "S"), "alpha"));
    EXPECT_NE(peerKey(makeAddress("beta", "S"), "alpha"), peerKey(makeAddress("gamma", "S"), "alpha"));
}
