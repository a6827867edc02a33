#pragma once
// Helpers of the library's tests: a fresh ZENTO_HOME per test, and GET
// requests assembled byte by byte from the request layout, independently of
// the library's own layout code.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"

namespace msgtest {

// A fresh directory set as ZENTO_HOME, removed afterwards; the previous
// value comes back.
class ScopedHome {
public:
    ScopedHome() {
        if (const char* before = std::getenv("ZENTO_HOME")) previous_ = before;
        std::string pattern = (std::filesystem::temp_directory_path() / "zento-msglib-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        ::setenv("ZENTO_HOME", path_.c_str(), 1);
    }
    ~ScopedHome() {
        if (previous_.empty()) {
            ::unsetenv("ZENTO_HOME");
        } else {
            ::setenv("ZENTO_HOME", previous_.c_str(), 1);
        }
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

// The whole test program runs under a home of its own, so no test can touch
// a shared one.
class HomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { home_ = std::make_unique<ScopedHome>(); }
    void TearDown() override { home_.reset(); }

private:
    std::unique_ptr<ScopedHome> home_;
};
inline ::testing::Environment* const kHomeEnvironment = ::testing::AddGlobalTestEnvironment(new HomeEnvironment);

// Tests that look into the log files get a home of their own.
class TempHomeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(home_.path().empty()); }
    const std::string& home() const { return home_.path(); }

private:
    ScopedHome home_;
};

inline DescriptorEntry entry(std::uint16_t type, std::uint32_t size, std::uint32_t count) {
    return {type, 0, size, count};
}

struct RequestSpec {
    std::int32_t headValue = 1;
    std::uint32_t transNum = 77;
    AddressRecord destination = makeAddress("SERVERNODE", "DLGP1");
    AddressRecord replyDestination = makeAddress("CLIENTNODE", "TSK_CLIENT");
    AddressRecord requester = makeAddress("clientnode", "tsk_client");
    std::int32_t replyToFlag = 1;
    std::int32_t listId = 4242;
    std::string deviceName = "PLC-7";
    std::int32_t requestWord = 3;
    std::int32_t frequency = 100;
    std::vector<DescriptorEntry> dataTemplate{entry(7, 2, 1), entry(4, 4, 1), entry(1, 4, 1)};
    std::vector<std::string> names{"TEMP", "FLOW"};
    std::uint32_t nameWidth = 5;
    std::vector<std::int32_t> pairs;  // two words per tag, or empty
};

inline void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    std::uint8_t bytes[4];
    encodeU32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

inline void putEntry(std::vector<std::uint8_t>& out, const DescriptorEntry& e) {
    std::uint8_t bytes[12];
    encodeDescriptor(bytes, e);
    out.insert(out.end(), bytes, bytes + 12);
}

inline void putAddress(std::vector<std::uint8_t>& out, std::size_t at, const AddressRecord& address) {
    std::memcpy(out.data() + at, &address, sizeof address);
}

// A GET request as a request builder lays it out: head, 14 or 17 entries,
// then the data in table order.
inline std::vector<std::uint8_t> makeGetRequest(const RequestSpec& spec) {
    const bool withPairs = !spec.pairs.empty();
    const auto tags = static_cast<std::uint32_t>(spec.names.size());
    const auto templateEntries = static_cast<std::uint32_t>(spec.dataTemplate.size());
    std::vector<DescriptorEntry> table{entry(7, withPairs ? 10u : 9u, 1), entry(4, 4, 1), entry(4, 4, 1),
                                       entry(4, 4, 1), entry(3, 32, 1), entry(4, 4, 1), entry(4, 4, 1),
                                       entry(4, 4, 1), entry(7, 4, templateEntries), entry(2, 2, 1),
                                       entry(2, 2, 1), entry(4, 4, 1), entry(4, 4, 1)};
    if (withPairs) {
        table.push_back(entry(7, 2, tags));
        table.push_back(entry(4, 4, 1));
        table.push_back(entry(4, 4, 1));
    }
    table.push_back(entry(3, tags * spec.nameWidth, 1));

    std::vector<std::uint8_t> msg(292, 0);
    for (const DescriptorEntry& e : table) putEntry(msg, e);
    put32(msg, withPairs ? 1 : 0);
    put32(msg, static_cast<std::uint32_t>(spec.replyToFlag));
    put32(msg, static_cast<std::uint32_t>(spec.listId));
    std::vector<std::uint8_t> device(32, 0);
    std::memcpy(device.data(), spec.deviceName.data(), std::min<std::size_t>(spec.deviceName.size(), 32));
    msg.insert(msg.end(), device.begin(), device.end());
    put32(msg, static_cast<std::uint32_t>(spec.requestWord));
    put32(msg, tags);
    put32(msg, static_cast<std::uint32_t>(spec.frequency));
    for (const DescriptorEntry& e : spec.dataTemplate) putEntry(msg, e);
    for (std::int32_t word : spec.pairs) put32(msg, static_cast<std::uint32_t>(word));
    for (const std::string& name : spec.names) {
        std::vector<std::uint8_t> field(spec.nameWidth, 0);
        std::memcpy(field.data(), name.data(), std::min<std::size_t>(name.size(), spec.nameWidth));
        msg.insert(msg.end(), field.begin(), field.end());
    }

    encodeU16(msg.data(), 0x5A5A);
    encodeU32(msg.data() + 4, static_cast<std::uint32_t>(msg.size()));
    encodeU32(msg.data() + 12, static_cast<std::uint32_t>(spec.headValue));
    encodeU32(msg.data() + 16, spec.transNum);
    putAddress(msg, 24, spec.destination);
    putAddress(msg, 88, spec.replyDestination);
    encodeU32(msg.data() + 152, 1);
    putAddress(msg, 156, spec.destination);
    putAddress(msg, 220, spec.requester);
    encodeU32(msg.data() + 284, 1);
    encodeU32(msg.data() + 288, static_cast<std::uint32_t>(table.size()));
    return msg;
}

inline std::vector<DescriptorEntry> tableOf(MsgView msg) {
    std::uint32_t count = decodeU32(msg.data() + 288);
    return decodeDescriptors(msg.subspan(292, count * 12));
}

inline bool sameAddressBytes(const AddressRecord& a, const AddressRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace msgtest
