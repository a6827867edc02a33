#pragma once
// Helpers of the library's tests: a fresh home for every test, and short
// spellings of descriptors, words and address comparisons.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "msglib/coding.h"
#include "msglib/descriptors.h"
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
inline Bytes bytesOf(std::span<const std::uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }
inline bool same(const AddressRecord& a, const AddressRecord& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace msgtest
