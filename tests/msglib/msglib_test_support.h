#pragma once
// Helpers of the library's tests: a fresh home per test, a sample GET request
// (made by the forwarding side's builder, apart from the library's own layout
// code), and the calls that build sample replies.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/descriptors.h"
#include "forward/get_request.h"
#include "msglib/msglib.h"
#include "tests/support/temp_home.h"

namespace msgtest {

using Bytes = std::vector<std::uint8_t>;

// Every test runs under a fresh ZENTO_HOME, removed afterwards.
struct FreshHome : ::testing::EmptyTestEventListener {
    std::optional<testsupport::TempHome> home;
    void OnTestStart(const ::testing::TestInfo&) override { home.emplace(); }
    void OnTestEnd(const ::testing::TestInfo&) override { home.reset(); }
};
inline FreshHome* const kFreshHome = [] {
    auto* listener = new FreshHome;
    ::testing::UnitTest::GetInstance()->listeners().Append(listener);
    return listener;
}();

inline DescriptorEntry entry(std::uint16_t type, std::uint32_t size, std::uint32_t count) {
    return {type, 0, size, count};
}
inline Bytes words(std::initializer_list<std::int32_t> values) {
    Bytes out(values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) encodeI32(out.data() + 4 * i, values.begin()[i]);
    return out;
}
inline std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }
inline bool same(const AddressRecord& a, const AddressRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline const AddressRecord kServer = makeAddress("SERVERNODE", "DLGP1");
inline const AddressRecord kClient = makeAddress("CLIENTNODE", "TSK_CLIENT");
inline const AddressRecord kRequester = makeAddress("clientnode", "tsk_client");
inline const AddressRecord kSender = makeAddress("SENDER", "TSK_SENDER");

// A GET request for tags "TEMP" and "FLOW" of list 4242 on device "PLC-7",
// with pairs; each tag's value is 2 x (short + 3 chars): 10 value bytes.
inline Message sampleRequest() {
    const char device[32] = "PLC-7", names[] = "TEMP\0FLOW";
    const DescriptorEntry dataTemplate[] = {entry(7, 2, 2), entry(2, 2, 1), entry(7, 1, 1), entry(3, 3, 1)};
    const std::int32_t pairs[] = {1, 2, 3, 4};
    Message request;
    StatusBlock status;
    buildGetRequest(4242, device, 3, 2, 1, 1, 300, &kRequester, kServer, 100, {names, 10}, pairs, dataTemplate,
                    request, status);
    EXPECT_FALSE(statusFailed(status));
    ZENTO_SERVER_SET_TRANSNUM(request.span(), 77);
    ZENTO_SERVER_SET_MSGSRC(request.span(), kSender);
    return request;
}

struct GetReplyCall {
    StatusBlock acquisition{};
    Bytes values{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xEE, 0xEE};  // longer than the 10 value bytes
    std::vector<std::int32_t> valueStatus{0, 1, 2, 10, 11, 12};
    Message reply;
    StatusBlock status{};

    GetReplyCall() { ZENTO_SERVER_INITBLK(acquisition); }
    void build(MsgView request) {
        ZENTO_SERVER_BLD_GETREPLY(request, acquisition, values, valueStatus, {250, 1700000000}, reply, status);
    }
};

struct UnsolicitedCall {
    char device[32] = "DEVICE-U";
    // 2 x (short + 3 chars) + 8 = 18 value bytes
    std::vector<DescriptorEntry> dataTemplate{entry(7, 2, 1), entry(7, 2, 2), entry(2, 2, 1), entry(3, 3, 1),
                                              entry(6, 8, 1)};
    Bytes names{'A', 'A', 'A', 'A', 'A', 0, 'B', 0, 0, 0, 0, 0, 'C', 'C', 'C', 0, 0, 0};
    Bytes values = Bytes(18, 0x5C);
    Bytes statusRecords = words({1, 2, 3, 4, 5, 6, 7, 8, 9});
    Bytes pairs = words({1, 1, 2, 2, 3, 3});
    Bytes secondPairs = words({9, 9, 8, 8, 7, 7, 6, 6});  // one pair more than needed
    UnsolicitedReplyInput input;
    Message reply;
    StatusBlock status{};

    UnsolicitedCall() {
        input.destination = kClient;
        input.replyDestination = kServer;
        input.deviceName = device;
        input.requestWord = -5;
        input.listId = 17;
        input.frequency = 30;
        input.tagCount = 3;
    }
    void build() {
        input.tagNames = names;
        input.pairs = pairs;
        input.values = values;
        input.statusRecords = statusRecords;
        input.secondPairs = secondPairs;
        input.dataTemplate = dataTemplate;
        ZENTO_SERVER_BLD_UNSREPLY(input, reply, status);
    }
};

}  // namespace msgtest
