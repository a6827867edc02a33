#pragma once
// Helpers of the library's tests: a home of their own, GET requests assembled
// byte by byte from the request layout (independently of the library's layout
// code), and the calls that build sample replies.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"

namespace msgtest {

using Bytes = std::vector<std::uint8_t>;

// Every test runs under a fresh ZENTO_HOME, removed afterwards, so none can
// touch a shared one.
class FreshHome : public ::testing::EmptyTestEventListener {
public:
    static std::string current() { return std::getenv("ZENTO_HOME"); }

private:
    void OnTestStart(const ::testing::TestInfo&) override {
        std::string pattern = (std::filesystem::temp_directory_path() / "zento-msglib-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        ::setenv("ZENTO_HOME", pattern.c_str(), 1);
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::error_code ignored;
        std::filesystem::remove_all(current(), ignored);
        ::unsetenv("ZENTO_HOME");
    }
};
inline const bool kFreshHomeInstalled =
    (::testing::UnitTest::GetInstance()->listeners().Append(new FreshHome), true);

inline DescriptorEntry entry(std::uint16_t type, std::uint32_t size, std::uint32_t count) {
    return {type, 0, size, count};
}

inline void put32(Bytes& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    encodeU32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

inline Bytes words(std::initializer_list<std::int32_t> values) {
    Bytes out;
    for (std::int32_t value : values) put32(out, static_cast<std::uint32_t>(value));
    return out;
}

inline std::string text(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

inline bool sameAddressBytes(const AddressRecord& a, const AddressRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct RequestSpec {
    std::int32_t headValue = 1;
    std::uint32_t transNum = 77;
    AddressRecord destination = makeAddress("SERVERNODE", "DLGP1");
    AddressRecord replyDestination = makeAddress("CLIENTNODE", "TSK_CLIENT");
    AddressRecord requester = makeAddress("clientnode", "tsk_client");
    std::int32_t listId = 4242;
    std::string deviceName = "PLC-7";
    std::int32_t requestWord = 3;
    std::int32_t frequency = 100;
    std::vector<DescriptorEntry> dataTemplate{entry(7, 2, 1), entry(4, 4, 1), entry(1, 4, 1)};
    std::vector<std::string> names{"TEMP", "FLOW"};
    std::uint32_t nameWidth = 5;
    std::vector<std::int32_t> pairs;  // two words per tag, or empty
};

// Head, 14 or 17 descriptor entries, then the data in table order.
inline Bytes makeGetRequest(const RequestSpec& spec) {
    const bool withPairs = !spec.pairs.empty();
    const auto tags = static_cast<std::uint32_t>(spec.names.size());
    std::vector<DescriptorEntry> table{
        entry(7, withPairs ? 10u : 9u, 1), entry(4, 4, 1), entry(4, 4, 1), entry(4, 4, 1), entry(3, 32, 1),
        entry(4, 4, 1), entry(4, 4, 1), entry(4, 4, 1), entry(7, 4, static_cast<std::uint32_t>(spec.dataTemplate.size())),
        entry(2, 2, 1), entry(2, 2, 1), entry(4, 4, 1), entry(4, 4, 1)};
    if (withPairs) table.insert(table.end(), {entry(7, 2, tags), entry(4, 4, 1), entry(4, 4, 1)});
    table.push_back(entry(3, tags * spec.nameWidth, 1));

    Bytes msg(292, 0);
    auto putEntry = [&msg](const DescriptorEntry& e) {
        msg.resize(msg.size() + 12);
        encodeDescriptor(msg.data() + msg.size() - 12, e);
    };
    auto putText = [&msg](const std::string& text, std::size_t width) {
        msg.resize(msg.size() + width, 0);
        std::memcpy(msg.data() + msg.size() - width, text.data(), std::min(text.size(), width));
    };
    for (const DescriptorEntry& e : table) putEntry(e);
    for (std::int32_t word : {withPairs ? 1 : 0, 1, spec.listId}) put32(msg, static_cast<std::uint32_t>(word));
    putText(spec.deviceName, 32);
    for (std::int32_t word : {spec.requestWord, static_cast<std::int32_t>(tags), spec.frequency}) {
        put32(msg, static_cast<std::uint32_t>(word));
    }
    for (const DescriptorEntry& e : spec.dataTemplate) putEntry(e);
    for (std::int32_t word : spec.pairs) put32(msg, static_cast<std::uint32_t>(word));
    for (const std::string& name : spec.names) putText(name, spec.nameWidth);

    encodeU16(msg.data(), 0x5A5A);
    encodeU32(msg.data() + 4, static_cast<std::uint32_t>(msg.size()));
    encodeI32(msg.data() + 12, spec.headValue);
    encodeU32(msg.data() + 16, spec.transNum);
    std::memcpy(msg.data() + 24, &spec.destination, 64);
    std::memcpy(msg.data() + 88, &spec.replyDestination, 64);
    encodeU32(msg.data() + 152, 1);
    std::memcpy(msg.data() + 156, &spec.destination, 64);
    std::memcpy(msg.data() + 220, &spec.requester, 64);
    encodeU32(msg.data() + 284, 1);
    encodeU32(msg.data() + 288, static_cast<std::uint32_t>(table.size()));
    return msg;
}

struct GetReplyCall {
    StatusBlock acquisition{};
    Bytes values = words({1234, 0});
    std::vector<std::int32_t> valueStatus{0, 1, 2, 10, 11, 12};
    Message reply;
    StatusBlock status{};

    GetReplyCall() {
        ZENTO_SERVER_INITBLK(acquisition);
        values.resize(40, 0xEE);  // a buffer longer than the values
    }
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
        input.destination = makeAddress("CLIENT", "TSK_CLIENT");
        input.replyDestination = makeAddress("SERVER", "DLGP1");
        input.deviceName = device;
        input.requestWord = -5;
        input.listId = 17;
        input.frequency = 30;
        input.tagCount = 3;
        input.tagNames = names;
        input.pairs = pairs;
        input.values = values;
        input.statusRecords = statusRecords;
        input.secondPairs = secondPairs;
    }
    void build() {
        input.dataTemplate = dataTemplate;
        ZENTO_SERVER_BLD_UNSREPLY(input, reply, status);
    }
};

}  // namespace msgtest
