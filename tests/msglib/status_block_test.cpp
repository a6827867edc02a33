#include <gtest/gtest.h>

#include "msglib/status_block.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

StatusBlock loaded(std::initializer_list<std::pair<int, int>> entries) {
    StatusBlock status;
    ZENTO_SERVER_LDBLK(13, 13999, status);  // whatever was there before
    ZENTO_SERVER_INITBLK(status);
    for (auto [facility, code] : entries) ZENTO_SERVER_LDBLK(facility, code, status);
    return status;
}

TEST(StatusBlock, EmptiedBlockHasNoEntriesAndNoFailure) {
    StatusBlock status = loaded({});
    EXPECT_FALSE(statusFailed(status));
    EXPECT_EQ(statusEntryCount(status), 0);
    EXPECT_EQ(firstErrorCode(status), -1);
    ZENTO_CLIENT_INITBLK(status);
    EXPECT_EQ(status.error[kStatusEntries - 1], -1);
    EXPECT_EQ(status.facility[0], 0);
}

TEST(StatusBlock, EntriesReadCauseFirst) {
    StatusBlock status = loaded({{1, 2}, {9, 9040}, {13, 13471}});
    ASSERT_EQ(statusEntryCount(status), 3);
    EXPECT_TRUE(statusFailed(status));
    EXPECT_EQ(status.facility[0], 1);
    EXPECT_EQ(status.error[0], 2);
    EXPECT_EQ(status.error[1], 9040);
    EXPECT_EQ(status.facility[2], 13);
}

TEST(StatusBlock, CauseWithoutCodeStillLeavesTheBlockFailed) {
    StatusBlock status = loaded({{1, 0}});
    EXPECT_FALSE(statusFailed(status));
    ZENTO_SERVER_LDBLK(13, 13005, status);
    ZENTO_SERVER_LDBLK(13, 13100, status);
    ZENTO_SERVER_LDBLK(4, 0, status);
    EXPECT_EQ(firstErrorCode(status), 13005);
    ASSERT_EQ(statusEntryCount(status), 4);
    EXPECT_EQ(status.facility[1], 1);  // the cause is kept, right behind
    EXPECT_EQ(status.error[1], 0);
    EXPECT_EQ(status.error[2], 13100);
}

TEST(StatusBlock, FullBlockKeepsFirstNineAndNewest) {
    StatusBlock status = loaded({});
    for (int i = 1; i <= 14; ++i) ZENTO_SERVER_LDBLK(13, 13000 + i, status);
    EXPECT_EQ(statusEntryCount(status), kStatusEntries);
    for (int i = 0; i < kStatusEntries - 1; ++i) EXPECT_EQ(status.error[i], 13001 + i);
    EXPECT_EQ(status.error[kStatusEntries - 1], 13014);

    status = loaded({});
    for (int i = 0; i < kStatusEntries; ++i) ZENTO_SERVER_LDBLK(1, 0, status);
    ZENTO_SERVER_LDBLK(13, 13471, status);
    EXPECT_EQ(firstErrorCode(status), 13471);
    EXPECT_EQ(statusEntryCount(status), kStatusEntries);
}

}  // namespace
