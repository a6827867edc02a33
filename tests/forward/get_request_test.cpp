// The GET request builder: its argument checks in order, and the bytes it
// lays down, read back independently by offset.
#include "forward/get_request.h"

#include "tests/forward/forward_test_support.h"
#include "tests/support/status_entries.h"

namespace {

struct Request {
    std::array<char, 32> device{'D', 'E', 'V', '-', '1'};
    const char* deviceName = device.data();
    std::uint32_t tagCount = 2, headValue = 1;
    std::int32_t replyToFlag = 1;
    AddressRecord replyToAddress = makeAddress("", "myService");
    const AddressRecord* replyTo = &replyToAddress;
    AddressRecord destination = makeAddress("host.dom", "Dest");
    std::vector<char> names = {'T', 'A', 'G', '1', '\0', 'T', 'A', 'G', '2', '\0'};
    std::vector<std::int32_t> pairs = {-1, 2, 3, 0x7FFFFFFF};
    std::vector<DescriptorEntry> dataTemplate = {{kDescStruct, 0, 1, 1}, {kDescInt, 0, 4, 1}};

    Message build(StatusBlock& status, Message out = {}) const {
        buildGetRequest(42, deviceName, 7, tagCount, headValue, replyToFlag, 300, replyTo, destination, 100, names,
                        pairs, dataTemplate, out, status);
        return out;
    }
};

std::string addressAt(const Message& m, std::uint32_t offset) {
    return fwdtest::text(*reinterpret_cast<const AddressRecord*>(m.data() + offset));
}
std::uint32_t u32(const Message& m, std::uint32_t offset) { return decodeU32(m.data() + offset); }

class GetRequest : public fwdtest::InProcessTest {};

TEST_F(GetRequest, ChecksFailInOrderWithTheirCodesAndLeaveTheOutputAlone) {
    const std::vector<std::pair<void (*)(Request&), std::int32_t>> cases = {
        {[](Request& r) { r.deviceName = nullptr; r.tagCount = 0; }, 4040},
        {[](Request& r) { r.tagCount = 0; r.headValue = 0; }, 4041},
        {[](Request& r) { r.headValue = 0; }, 4042},
        {[](Request& r) { r.headValue = 10; r.replyToFlag = 2; }, 4042},
        {[](Request& r) { r.replyToFlag = 2; r.names.clear(); }, 4043},
        {[](Request& r) { r.replyToAddress = makeAddress("n", ""); r.names.clear(); }, 4045},
        {[](Request& r) { r.names.clear(); r.dataTemplate.clear(); }, 4046},
        {[](Request& r) { r.tagCount = 3; }, 4047},                             // names shorter than tags x width
        {[](Request& r) { r.pairs = {1, 2}; }, 4049},                           // pairs for one tag of two
        {[](Request& r) { r.dataTemplate.clear(); r.destination.node[0] = '\0'; }, 4048},
        {[](Request& r) { r.destination.node[0] = '\0'; }, 4052},
    };
    for (const auto& [breakIt, code] : cases) {
        Request r;
        breakIt(r);
        Message out;
        ASSERT_TRUE(allocateMessage(out, 3));
        StatusBlock status;
        out = r.build(status, std::move(out));
        EXPECT_EQ(testsupport::statusEntries(status), (testsupport::Entries{{kFacilityBuilder, code}}));
        EXPECT_EQ(out.size, 3u) << code;  // untouched
    }
    // A failing size call keeps its cause before the builder's own code.
    Request r;
    r.dataTemplate = {{99, 0, 4, 1}};
    StatusBlock status;
    r.build(status);
    ASSERT_EQ(statusEntryCount(status), 2);
    EXPECT_EQ(std::make_pair(status.facility[0], status.error[1]), std::make_pair(kFacilityLibrary, 4056));
}

TEST_F(GetRequest, HeadDescriptorsAndDataLieAtTheirOffsets) {
    network_.setTimeMs(1'700'000'123'456);  // milliseconds, kept modulo 2^32
    Request r;
    StatusBlock status;
    Message m = r.build(status);
    ASSERT_FALSE(statusFailed(status));
    const std::uint32_t n = 17, d = 292 + 12 * n, pairsAt = d + 56 + 2 * 12;
    ASSERT_EQ(m.size, pairsAt + 2 * 8 + 2 * 5);
    EXPECT_EQ((std::vector<std::uint32_t>{decodeU16(m.data()), decodeU16(m.data() + 2), u32(m, 4), u32(m, 8),
                                          u32(m, 12), u32(m, 152), u32(m, 284), u32(m, 288)}),
              (std::vector<std::uint32_t>{0x5A5A, 0, m.size, static_cast<std::uint32_t>(1'700'000'123'456 % (1LL << 32)),
                                          1, 1, 1, n}));
    EXPECT_EQ(decodeU64(m.data() + 16), 0u);
    // The reply destination: an empty node is the destination's, all in upper case; 220 holds it as passed.
    EXPECT_EQ(addressAt(m, 24) + " " + addressAt(m, 88) + " " + addressAt(m, 156) + " " + addressAt(m, 220),
              "host.dom/Dest HOST.DOM/MYSERVICE host.dom/Dest /myService");
    const std::vector<DescriptorEntry> table = decodeDescriptors({m.data() + 292, 12 * n});
    EXPECT_EQ(std::make_pair(table[0].type, table[0].size), std::make_pair(kDescStruct, 10u));
    EXPECT_EQ(table[8].count, 2u);  // template entries
    EXPECT_EQ(std::make_pair(table[13].type, table[13].count), std::make_pair(kDescStruct, 2u));  // pairs
    EXPECT_EQ(std::make_pair(table[16].type, table[16].size), std::make_pair(kDescChars, 10u));   // 2 x width 5
    // Pairs flag, reply-to flag, list id, request word, tags, frequency; then device, template, pairs, names.
    EXPECT_EQ((std::vector<std::int32_t>{decodeI32(m.data() + d), decodeI32(m.data() + d + 4), decodeI32(m.data() + d + 8),
                                         decodeI32(m.data() + d + 44), decodeI32(m.data() + d + 48),
                                         decodeI32(m.data() + d + 52), decodeI32(m.data() + pairsAt),
                                         decodeI32(m.data() + pairsAt + 12)}),
              (std::vector<std::int32_t>{1, 1, 42, 7, 2, 100, -1, 0x7FFFFFFF}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data() + d + 12)), "DEV-1");
    EXPECT_EQ(decodeDescriptor(m.data() + d + 68).type, kDescInt);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data() + pairsAt + 16), 10), std::string("TAG1\0TAG2\0", 10));

    // Names of 32 characters are cut to 31 in the reply destination, kept whole at 220.
    std::memset(&r.replyToAddress, 'n', sizeof r.replyToAddress);
    EXPECT_EQ(addressAt(r.build(status), 88), std::string(31, 'N') + "/" + std::string(31, 'N'));
    EXPECT_EQ(std::memcmp(r.build(status).data() + 220, &r.replyToAddress, 64), 0);
    r.replyTo = nullptr;  // no address: the destination, in upper case
    EXPECT_EQ(addressAt(r.build(status), 88), "HOST.DOM/DEST");
    // The flag clear: the destination as it is, no pairs, and no reply-to service needed.
    r.replyToFlag = 0;
    r.replyToAddress = makeAddress("n", "");
    r.replyTo = &r.replyToAddress;
    m = r.build(status);
    EXPECT_EQ(std::make_pair(addressAt(m, 88), u32(m, 288)), std::make_pair(std::string("host.dom/Dest"), 14u));
    EXPECT_EQ(decodeDescriptors({m.data() + 292, 12 * 14})[0].size, 9u);
    EXPECT_EQ(m.size, 292 + 12 * 14 + 56 + 24 + 10);
}

}  // namespace
