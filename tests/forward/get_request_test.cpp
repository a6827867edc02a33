// The GET request builder: its argument checks in order, and the bytes it
// lays down, read back independently by offset.
#include "forward/get_request.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/inprocess.h"
#include "msglib/msglib.h"
#include "tests/support/temp_home.h"

namespace {

struct Request {
    std::int32_t listId = 42;
    std::array<char, 32> device{};
    const char* deviceName = nullptr;
    std::int32_t requestWord = 7;
    std::uint32_t tagCount = 2;
    std::uint32_t headValue = 1;
    std::int32_t replyToFlag = 0;
    const AddressRecord* replyTo = nullptr;
    AddressRecord destination = makeAddress("nodeA", "SvcA");
    std::int32_t frequency = 100;
    std::vector<char> names;
    std::vector<std::int32_t> pairs;
    std::vector<DescriptorEntry> dataTemplate = {{kDescStruct, 0, 1, 1}, {kDescInt, 0, 4, 1}};

    Request() {
        setFixedText(device.data(), device.size(), "DEVICE-1");
        deviceName = device.data();
        names = {'T', 'A', 'G', '1', '\0', 'T', 'A', 'G', '2', '\0'};
    }

    void build(Message& out, StatusBlock& status) const {
        buildGetRequest(listId, deviceName, requestWord, tagCount, headValue, replyToFlag, 300, replyTo,
                        destination, frequency, names, pairs, dataTemplate, out, status);
    }
};

std::string textAt(const Message& m, std::uint32_t offset, std::size_t size) {
    return std::string(fixedText(reinterpret_cast<const char*>(m.data() + offset), size));
}

std::uint32_t u32(const Message& m, std::uint32_t offset) { return decodeU32(m.data() + offset); }

class GetRequestTest : public testsupport::TempHomeTest {};

TEST_F(GetRequestTest, ChecksFailInOrderWithTheirCodesAndLeaveTheOutputAlone) {
    const AddressRecord noService = makeAddress("n", "");
    struct Case {
        const char* what;
        void (*breakIt)(Request&, const AddressRecord&);
        std::int32_t code;
    };
    const std::vector<Case> cases = {
        {"no device, no tags", [](Request& r, const AddressRecord&) { r.deviceName = nullptr; r.tagCount = 0; }, 4040},
        {"no tags, head 0", [](Request& r, const AddressRecord&) { r.tagCount = 0; r.headValue = 0; }, 4041},
        {"head 0", [](Request& r, const AddressRecord&) { r.headValue = 0; }, 4042},
        {"head 10, flag 2", [](Request& r, const AddressRecord&) { r.headValue = 10; r.replyToFlag = 2; }, 4042},
        {"flag 2, no names", [](Request& r, const AddressRecord&) { r.replyToFlag = 2; r.names.clear(); }, 4043},
        {"reply-to without service",
         [](Request& r, const AddressRecord& a) { r.replyToFlag = 1; r.replyTo = &a; r.names.clear(); }, 4045},
        {"no names, no template", [](Request& r, const AddressRecord&) { r.names.clear(); r.dataTemplate.clear(); },
         4046},
        {"names shorter than tags x width", [](Request& r, const AddressRecord&) { r.tagCount = 3; }, 4047},
        {"first name unterminated", [](Request& r, const AddressRecord&) { r.names = {'A', 'B'}; r.tagCount = 1; },
         4047},
        {"pairs for one tag of two",
         [](Request& r, const AddressRecord&) { r.replyToFlag = 1; r.pairs = {1, 2}; }, 4049},
        {"no template, no node",
         [](Request& r, const AddressRecord&) { r.dataTemplate.clear(); r.destination.node[0] = '\0'; }, 4048},
        {"no destination node", [](Request& r, const AddressRecord&) { r.destination.node[0] = '\0'; }, 4052},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Request r;
        c.breakIt(r, noService);
        Message out;
        ASSERT_TRUE(allocateMessage(out, 3));
        StatusBlock status;
        r.build(out, status);
        ASSERT_EQ(statusEntryCount(status), 1);
        EXPECT_EQ(status.facility[0], kFacilityBuilder);
        EXPECT_EQ(status.error[0], c.code);
        EXPECT_EQ(out.size, 3u);  // untouched
    }

    // The same reply-to passes when the flag is clear: it is then not used.
    Request r;
    r.replyTo = &noService;
    Message out;
    StatusBlock status;
    r.build(out, status);
    EXPECT_FALSE(statusFailed(status));
}

TEST_F(GetRequestTest, AFailingSizeCallKeepsItsCauseBeforeTheBuildersCode) {
    Request r;
    r.dataTemplate = {{99, 0, 4, 1}};
    Message out;
    StatusBlock status;
    r.build(out, status);
    ASSERT_EQ(statusEntryCount(status), 2);
    EXPECT_EQ(status.facility[0], kFacilityLibrary);
    EXPECT_EQ(status.facility[1], kFacilityBuilder);
    EXPECT_EQ(status.error[1], 4056);
    EXPECT_FALSE(out);
}

TEST_F(GetRequestTest, LayoutWithoutPairsIgnoresAGivenPairArray) {
    Request r;
    r.pairs = {5, 6, 7, 8};  // flag clear: not written
    Message m;
    StatusBlock status;
    r.build(m, status);
    ASSERT_FALSE(statusFailed(status));

    const std::uint32_t n = 14;
    const std::uint32_t dataSize = 4 * 3 + 32 + 4 * 3 + 2 * 12 + 2 * 5;
    ASSERT_EQ(m.size, 292 + 12 * n + dataSize);
    EXPECT_EQ(decodeU16(m.data()), 0x5A5A);
    EXPECT_EQ(decodeU16(m.data() + 2), 0);
    EXPECT_EQ(u32(m, 4), m.size);
    EXPECT_EQ(u32(m, 12), 1u);
    EXPECT_EQ(decodeU64(m.data() + 16), 0u);
    EXPECT_EQ(textAt(m, 24, 32), "nodeA");
    EXPECT_EQ(textAt(m, 56, 32), "SvcA");
    EXPECT_EQ(std::memcmp(m.data() + 88, m.data() + 24, 64), 0);  // flag clear: the destination, case kept
    EXPECT_EQ(u32(m, 152), 1u);
    EXPECT_EQ(std::memcmp(m.data() + 156, m.data() + 24, 64), 0);
    for (int i = 220; i < 284; ++i) EXPECT_EQ(m.data()[i], 0) << i;  // no requester named
    EXPECT_EQ(u32(m, 284), 1u);
    EXPECT_EQ(u32(m, 288), n);

    std::vector<DescriptorEntry> table = decodeDescriptors({m.data() + 292, 12 * n});
    EXPECT_EQ(table[0].type, kDescStruct);
    EXPECT_EQ(table[0].size, 9u);
    EXPECT_EQ(table[8].count, 2u);  // template entries
    EXPECT_EQ(table[13].type, kDescChars);
    EXPECT_EQ(table[13].size, 10u);  // 2 names x width 5
    StatusBlock sizeStatus;
    EXPECT_EQ(ZENTO_SERVER_DSIZE(table, sizeStatus), static_cast<std::int32_t>(dataSize));

    const std::uint32_t d = 292 + 12 * n;
    EXPECT_EQ(decodeI32(m.data() + d), 0);       // pairs flag
    EXPECT_EQ(decodeI32(m.data() + d + 4), 0);   // reply-to flag
    EXPECT_EQ(decodeI32(m.data() + d + 8), 42);  // list id
    EXPECT_EQ(textAt(m, d + 12, 32), "DEVICE-1");
    EXPECT_EQ(decodeI32(m.data() + d + 44), 7);
    EXPECT_EQ(decodeI32(m.data() + d + 48), 2);
    EXPECT_EQ(decodeI32(m.data() + d + 52), 100);
    DescriptorEntry second = decodeDescriptor(m.data() + d + 56 + 12);
    EXPECT_EQ(second.type, kDescInt);
    EXPECT_EQ(second.size, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data() + d + 80), 10), std::string("TAG1\0TAG2\0", 10));
}

TEST_F(GetRequestTest, LayoutWithPairsAndAReplyToAddress) {
    Request r;
    r.replyToFlag = 1;
    AddressRecord replyTo = makeAddress("", "myService");
    r.replyTo = &replyTo;
    r.pairs = {-1, 2, 3, 0x7FFFFFFF};
    r.destination = makeAddress("host.dom", "Dest");
    Message m;
    StatusBlock status;
    r.build(m, status);
    ASSERT_FALSE(statusFailed(status));

    const std::uint32_t n = 17;
    ASSERT_EQ(u32(m, 288), n);
    std::vector<DescriptorEntry> table = decodeDescriptors({m.data() + 292, 12 * n});
    EXPECT_EQ(table[0].size, 10u);
    EXPECT_EQ(table[13].type, kDescStruct);
    EXPECT_EQ(table[13].count, 2u);
    StatusBlock sizeStatus;
    EXPECT_EQ(static_cast<std::uint32_t>(ZENTO_SERVER_DSIZE(table, sizeStatus)), m.size - 292 - 12 * n);

    // Empty reply-to node: the destination's node with the given service, in upper case.
    EXPECT_EQ(textAt(m, 88, 32), "HOST.DOM");
    EXPECT_EQ(textAt(m, 120, 32), "MYSERVICE");
    EXPECT_EQ(textAt(m, 220, 32), "");
    EXPECT_EQ(textAt(m, 252, 32), "myService");  // as passed

    const std::uint32_t d = 292 + 12 * n;
    EXPECT_EQ(decodeI32(m.data() + d), 1);
    EXPECT_EQ(decodeI32(m.data() + d + 4), 1);
    const std::uint32_t pairsAt = d + 56 + 2 * 12;
    EXPECT_EQ(decodeI32(m.data() + pairsAt), -1);
    EXPECT_EQ(decodeI32(m.data() + pairsAt + 12), 0x7FFFFFFF);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data() + pairsAt + 16), 10),
              std::string("TAG1\0TAG2\0", 10));
    EXPECT_EQ(pairsAt + 16 + 10, m.size);
}

TEST_F(GetRequestTest, ReplyDestinationIsCutTo31CharactersButOffset220KeepsTheWholeAddress) {
    Request r;
    r.replyToFlag = 1;
    AddressRecord replyTo{};
    std::memset(replyTo.node, 'n', 32);
    std::memset(replyTo.service, 's', 32);
    r.replyTo = &replyTo;
    Message m;
    StatusBlock status;
    r.build(m, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(textAt(m, 88, 32), std::string(31, 'N'));
    EXPECT_EQ(textAt(m, 120, 32), std::string(31, 'S'));
    EXPECT_EQ(std::memcmp(m.data() + 220, &replyTo, 64), 0);

    // Flag set without an address: the destination, in upper case.
    r.replyTo = nullptr;
    r.build(m, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(textAt(m, 88, 32), "NODEA");
    EXPECT_EQ(textAt(m, 120, 32), "SVCA");
}

TEST_F(GetRequestTest, NameWidthFollowsTheFirstNameAndCopiesOnlyTheBlock) {
    Request r;
    r.tagCount = 1;
    r.names.assign(80, '\0');
    std::memcpy(r.names.data(), "STOREFILEISEMPTY", 16);
    r.names[40] = 'X';  // beyond the block: never copied
    Message m;
    StatusBlock status;
    r.build(m, status);
    ASSERT_FALSE(statusFailed(status));
    std::vector<DescriptorEntry> table = decodeDescriptors({m.data() + 292, 12 * 14});
    EXPECT_EQ(table[13].size, 17u);
    EXPECT_EQ(textAt(m, m.size - 17, 17), "STOREFILEISEMPTY");
    EXPECT_EQ(m.data()[m.size - 1], 0);
}

}  // namespace

namespace {

TEST_F(GetRequestTest, CreationTimeIsMillisecondsOfTheClockKeptModulo32Bits) {
    msglib::InProcessNetwork network;
    msglib::ScopedTransport use(network);
    const std::int64_t nowMs = 1'700'000'123'456;
    network.setTimeMs(nowMs);
    Request r;
    Message m;
    StatusBlock status;
    r.build(m, status);
    ASSERT_FALSE(statusFailed(status));
    EXPECT_EQ(u32(m, 8), static_cast<std::uint32_t>(nowMs % (std::int64_t{1} << 32)));
}

}  // namespace
