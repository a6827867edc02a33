// Store files made by the tool: the two layouts as the real cursor reads
// them back, every message once and in order, across wraps and refills.
#include <random>

#include "tests/tools/tool_test_support.h"
#include "tools/sf_tool/store_inspect.h"
#include "tools/sf_tool/store_writer.h"

namespace {

using namespace tooltest;

constexpr std::uint32_t kMiB = 1048576;

class StoreFiles : public ToolTest {
protected:
    // Appends count messages of size bytes numbered from first; the number
    // actually stored (a full ring stops early).
    std::uint32_t append(const std::string& file, std::uint32_t first, std::uint32_t count, std::uint32_t size,
                         std::string* error = nullptr) {
        StoreWriter writer;
        std::string why;
        EXPECT_TRUE(openStoreWriter(writer, file, why)) << why;
        SampleShape shape;
        shape.requesterNode = kNode;
        shape.size = size;
        std::uint32_t stored = 0;
        for (; stored < count; ++stored) {
            Message message;
            EXPECT_TRUE(buildSampleMessage(shape, first + stored, message, why)) << why;
            if (!appendStoredMessage(writer, message.view(), why)) break;
        }
        closeStoreWriter(writer);
        if (error != nullptr) *error = why;
        return stored;
    }

    StoreFileHeader header(const std::string& file) {
        InspectReport report;
        std::string error;
        QuietStdout quiet;
        EXPECT_TRUE(inspectStoreFile(file, report, error)) << error;
        return report.check.header;
    }

    InspectReport inspect(const std::string& file) {
        InspectReport report;
        std::string error;
        QuietStdout quiet;
        EXPECT_TRUE(inspectStoreFile(file, report, error)) << error;
        return report;
    }
};

TEST_F(StoreFiles, LinearFileEndsAtItsDataAndReadsBackInOrder) {
    const std::string file = path("linear.dat");
    std::string error;
    ASSERT_TRUE(createStoreFile(file, 0, false, error)) << error;
    EXPECT_EQ(std::filesystem::file_size(file), 192u);
    ASSERT_EQ(append(file, 1, 3, 800), 3u);

    const StoreFileHeader h = header(file);
    EXPECT_EQ(h.maxSize, 0u);
    EXPECT_EQ(h.firstMsgOffset, 192);
    EXPECT_EQ(h.forwardOffset, 192);
    EXPECT_EQ(h.lastMsgOffset, 192 + 2 * 812);
    EXPECT_EQ(h.lastOffset, 192 + 3 * 812);
    EXPECT_EQ(h.msgCount, 3u);
    EXPECT_EQ(h.wrapped, 0u);
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(file)), h.lastOffset);

    // A second append numbers on behind the first.
    ASSERT_EQ(append(file, 4, 2, 900), 2u);
    EXPECT_EQ(drain(file).sequences, range(1, 5));
}

TEST_F(StoreFiles, AppendAfterACompleteRecoveryStartsANewRun) {
    for (std::uint32_t ring : {0u, 1u}) {
        SCOPED_TRACE(ring);
        const std::string file = path("rerun" + std::to_string(ring) + ".dat");
        std::string error;
        ASSERT_TRUE(createStoreFile(file, ring, false, error)) << error;
        ASSERT_EQ(append(file, 1, 2, 800), 2u);
        EXPECT_EQ(drain(file).sequences, range(1, 2));
        // The last record stays under the forward offset, counted forwarded;
        // it must not come back with the new ones.
        ASSERT_EQ(append(file, 3, 2, 800), 2u);
        const StoreFileHeader h = header(file);
        EXPECT_EQ(h.msgCount, 2u);
        EXPECT_EQ(h.forwardedCount, 0u);
        EXPECT_EQ(h.firstMsgOffset, h.forwardOffset);
        EXPECT_EQ(drain(file).sequences, range(3, 4));
    }
}

TEST_F(StoreFiles, CreateKeepsAnExistingFileUnlessForced) {
    const std::string file = path("kept.dat");
    std::string error;
    ASSERT_TRUE(createStoreFile(file, 0, false, error));
    ASSERT_EQ(append(file, 1, 1, 800), 1u);
    EXPECT_FALSE(createStoreFile(file, 1, false, error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(header(file).msgCount, 1u);

    ASSERT_TRUE(createStoreFile(file, 1, true, error)) << error;
    EXPECT_EQ(std::filesystem::file_size(file), kMiB);
    const StoreFileHeader h = header(file);
    EXPECT_EQ(h.msgCount, 0u);
    EXPECT_EQ(h.maxSize, 1u);
    const std::string bytes = readFile(file);
    EXPECT_EQ(bytes.find_first_not_of('\0', 192), std::string::npos) << "a new ring holds only zeros behind its header";
}

TEST_F(StoreFiles, RingWrapsToTheDataStartAndTheCursorReadsEveryMessageOnce) {
    // Records of 20012 bytes: 52 fit in one lap of a 1 MiB ring.
    const std::string file = path("ring.dat");
    std::string error;
    ASSERT_TRUE(createStoreFile(file, 1, false, error)) << error;
    ASSERT_EQ(append(file, 1, 40, 20000), 40u);
    EXPECT_EQ(drain(file, 30).sequences, range(1, 30));

    ASSERT_EQ(append(file, 41, 30, 20000), 30u);
    const StoreFileHeader h = header(file);
    EXPECT_EQ(h.wrapped, 1u);
    EXPECT_EQ(h.lastMsgOffset, 192 + 17 * 20012);
    EXPECT_EQ(h.firstMsgOffset, 192 + 30 * 20012) << "the oldest record not yet forwarded";
    EXPECT_EQ(h.lastOffset, 192 + 52 * 20012) << "where the older part ends";
    EXPECT_EQ(h.msgCount, 40u);
    EXPECT_EQ(std::filesystem::file_size(file), kMiB);

    const InspectReport report = inspect(file);
    EXPECT_TRUE(report.sound());
    EXPECT_EQ(report.records, 40u);
    const Drained drained = drain(file);
    EXPECT_EQ(drained.sequences, range(31, 70));
    EXPECT_EQ(deliveredOffsets(report), drained.offsets) << "inspect predicts the cursor's reading";
}

TEST_F(StoreFiles, FullRingRefusesAndKeepsWhatItHolds) {
    const std::string file = path("full.dat");
    std::string error;
    ASSERT_TRUE(createStoreFile(file, 1, false, error));
    EXPECT_EQ(append(file, 1, 60, 20000, &error), 52u);
    EXPECT_NE(error.find("is full"), std::string::npos) << error;
    EXPECT_NE(error.find("offset 192"), std::string::npos) << error;

    // Forwarding frees room only up to the oldest record still waiting.
    EXPECT_EQ(drain(file, 5).sequences, range(1, 5));
    // Five records fill the space of the five forwarded, up to the byte.
    EXPECT_EQ(append(file, 53, 10, 20000, &error), 5u);
    EXPECT_NE(error.find("offset " + std::to_string(192 + 5 * 20012)), std::string::npos) << error;
    EXPECT_EQ(drain(file).sequences, range(6, 57));
}

TEST_F(StoreFiles, WrapClearsTheRecordsOfAnEarlierLapBehindTheOlderPart) {
    // Lap 1: 52 records of 20012 bytes, all forwarded. Lap 2 starts over at
    // the data start with records of 30012 bytes and wraps after 34 of them,
    // at offset 1020600: the lap-1 record at 1020804 lies in the space the
    // wrap leaves behind and must not be read after the older part.
    const std::string file = path("stale.dat");
    std::string error;
    ASSERT_TRUE(createStoreFile(file, 1, false, error));
    ASSERT_EQ(append(file, 1, 52, 20000), 52u);
    ASSERT_EQ(drain(file).sequences, range(1, 52));
    ASSERT_EQ(append(file, 53, 20, 30000), 20u);
    EXPECT_EQ(header(file).firstMsgOffset, 192);
    ASSERT_EQ(drain(file, 10).sequences, range(53, 62));
    ASSERT_EQ(append(file, 73, 20, 30000), 20u);
    const StoreFileHeader h = header(file);
    ASSERT_EQ(h.wrapped, 1u);
    ASSERT_EQ(h.lastOffset, 192 + 34 * 30012);

    EXPECT_EQ(drain(file).sequences, range(63, 92));
}

TEST_F(StoreFiles, RingSurvivesManyLapsOfAppendingAndForwarding) {
    // Random sizes and batches against a model of what must come back, with
    // more appended than forwarded so that the ring wraps with a backlog and
    // fills up. Each drain checks order and completeness: stale records of
    // earlier laps must never be delivered.
    const std::string file = path("laps.dat");
    std::string error;
    ASSERT_TRUE(createStoreFile(file, 1, false, error));
    std::mt19937 random(20240611);
    std::uint32_t next = 1;
    std::uint32_t oldest = 1;
    int wrapsWithBacklog = 0;
    for (int round = 0; round < 60; ++round) {
        const std::uint32_t size = std::uniform_int_distribution<std::uint32_t>(700, 60000)(random);
        const std::uint32_t count = std::uniform_int_distribution<std::uint32_t>(1, 25)(random);
        next += append(file, next, count, size);
        if (header(file).wrapped != 0) ++wrapsWithBacklog;
        const std::uint32_t take = std::uniform_int_distribution<std::uint32_t>(1, 14)(random);
        const Drained drained = drain(file, take);
        const std::uint32_t expected = std::min(take, next - oldest);
        ASSERT_EQ(drained.sequences, range(oldest, oldest + expected - 1)) << "round " << round;
        oldest += expected;
    }
    EXPECT_EQ(drain(file).sequences, range(oldest, next - 1));
    EXPECT_GT(next, 400u) << "the rounds went round the ring several times";
    EXPECT_GT(wrapsWithBacklog, 10);
}

}  // namespace
