#include <gtest/gtest.h>

#include "msglib/status_block.h"
#include "tests/msglib/msglib_test_support.h"

namespace {

TEST(StatusBlock, EmptiedBlockReadsAsNoEntriesAndNoFailure) {
    StatusBlock status;
    ZENTO_SERVER_LDBLK(13, 13005, status);  // whatever was there before
    ZENTO_SERVER_INITBLK(status);
    EXPECT_FALSE(statusFailed(status));
    EXPECT_EQ(statusEntryCount(status), 0);
    for (int i = 0; i < kStatusEntries; ++i) {
        EXPECT_EQ(status.error[i], -1);
        EXPECT_EQ(status.facility[i], 0);
    }
    StatusBlock client;
    ZENTO_CLIENT_INITBLK(client);
    EXPECT_EQ(statusEntryCount(client), 0);
    EXPECT_EQ(firstErrorCode(client), -1);
}

TEST(StatusBlock, EntriesReadCauseFirst) {
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_LDBLK(1, 2, status);
    ZENTO_SERVER_LDBLK(9, 9040, status);
    ZENTO_SERVER_LDBLK(13, 13471, status);
    ASSERT_EQ(statusEntryCount(status), 3);
    EXPECT_TRUE(statusFailed(status));
    EXPECT_EQ(status.facility[0], 1);
    EXPECT_EQ(status.error[0], 2);
    EXPECT_EQ(status.error[1], 9040);
    EXPECT_EQ(status.facility[2], 13);
    EXPECT_EQ(status.error[2], 13471);
}

TEST(StatusBlock, CauseWithoutCodeStillLeavesTheBlockFailed) {
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_LDBLK(1, 0, status);
    EXPECT_FALSE(statusFailed(status));
    ZENTO_SERVER_LDBLK(13, 13005, status);
    EXPECT_TRUE(statusFailed(status));
    EXPECT_EQ(firstErrorCode(status), 13005);
    ASSERT_EQ(statusEntryCount(status), 2);
    EXPECT_EQ(status.facility[1], 1);
    EXPECT_EQ(status.error[1], 0);
    // Later codes go behind, and the first stays the real one.
    ZENTO_SERVER_LDBLK(13, 13100, status);
    ZENTO_SERVER_LDBLK(4, 0, status);
    EXPECT_EQ(firstErrorCode(status), 13005);
    EXPECT_EQ(status.error[2], 13100);
    EXPECT_EQ(statusEntryCount(status), 4);
}

TEST(StatusBlock, FullBlockKeepsFirstNineAndNewest) {
    StatusBlock status;
    ZENTO_SERVER_INITBLK(status);
    for (int i = 1; i <= 14; ++i) ZENTO_SERVER_LDBLK(13, 13000 + i, status);
    EXPECT_EQ(statusEntryCount(status), kStatusEntries);
    for (int i = 0; i < kStatusEntries - 1; ++i) EXPECT_EQ(status.error[i], 13001 + i);
    EXPECT_EQ(status.error[kStatusEntries - 1], 13014);

    // A full block of zero codes still turns failed on a real code.
    ZENTO_SERVER_INITBLK(status);
    for (int i = 0; i < kStatusEntries; ++i) ZENTO_SERVER_LDBLK(1, 0, status);
    ZENTO_SERVER_LDBLK(13, 13471, status);
    EXPECT_TRUE(statusFailed(status));
    EXPECT_EQ(statusEntryCount(status), kStatusEntries);
}

}  // namespace
