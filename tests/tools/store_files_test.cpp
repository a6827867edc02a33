// Store files made by the tool, read back by the real cursor: every message
// once and in order across wraps and refills of a ring, and inspect's account
// of sound and damaged files, which must be what the cursor delivers.
#include <random>

#include "tests/support/file_damage.h"
#include "tests/tools/tool_test_support.h"
#include "tools/sf_tool/store_inspect.h"
#include "tools/sf_tool/store_writer.h"

namespace {

using namespace tooltest;

class StoreFiles : public ToolTest {
protected:
    // Appends count messages of size bytes numbered from first; the number
    // actually stored (a full ring stops early).
    std::uint32_t append(const std::string& file, std::uint32_t first, std::uint32_t count, std::uint32_t size) {
        StoreWriter writer;
        std::string error;
        EXPECT_TRUE(openStoreWriter(writer, file, error)) << error;
        SampleShape shape;
        shape.requesterNode = kNode;
        shape.size = size;
        std::uint32_t stored = 0;
        for (Message message; stored < count; ++stored) {
            EXPECT_TRUE(buildSampleMessage(shape, first + stored, message, error)) << error;
            if (!appendStoredMessage(writer, message.view(), error)) break;
        }
        closeStoreWriter(writer);
        return stored;
    }
    std::string create(const std::string& name, std::uint32_t ringMiB) {
        std::string error;
        EXPECT_TRUE(createStoreFile(path(name), ringMiB, false, error)) << error;
        return path(name);
    }
    static InspectReport inspect(const std::string& file) {
        InspectReport report;
        std::string error;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(inspectStoreFile(file, report, error)) << error;
        testing::internal::GetCapturedStdout();
        return report;
    }
};

// Random sizes and batches against a model of what must come back, more
// appended than forwarded so that the ring wraps with a backlog and fills up.
// Each drain checks order and completeness: records of earlier laps must
// never be delivered, and inspect must foresee each reading.
TEST_F(StoreFiles, RingSurvivesManyLapsOfAppendingAndForwarding) {
    const std::string file = create("laps.dat", 1);
    std::mt19937 random(20240611);
    std::uint32_t next = 1, oldest = 1;
    int wrapsWithBacklog = 0;
    for (int round = 0; round < 60; ++round) {
        const std::uint32_t size = std::uniform_int_distribution<std::uint32_t>(700, 60000)(random);
        next += append(file, next, std::uniform_int_distribution<std::uint32_t>(1, 25)(random), size);
        const InspectReport report = inspect(file);
        if (report.check.header.wrapped != 0) ++wrapsWithBacklog;
        const std::uint32_t take = std::uniform_int_distribution<std::uint32_t>(1, 14)(random);
        const Drained drained = drain(file, take);
        const std::uint32_t expected = std::min(take, next - oldest);
        ASSERT_EQ(drained.sequences, range(oldest, oldest + expected - 1)) << "round " << round;
        std::vector<std::int64_t> foreseen = deliveredOffsets(report);
        foreseen.resize(std::min<std::size_t>(foreseen.size(), expected));
        ASSERT_EQ(foreseen, drained.offsets) << "round " << round;
        oldest += expected;
    }
    EXPECT_EQ(drain(file).sequences, range(oldest, next - 1));
    EXPECT_GT(next, 400u) << "the rounds went round the ring several times";
    EXPECT_GT(wrapsWithBacklog, 10);
}

TEST_F(StoreFiles, WrapClearsTheRecordsOfAnEarlierLapBehindTheOlderPart) {
    // Lap 1: 52 records of 20012 bytes, all forwarded. Lap 2 starts over at
    // the data start with records of 30012 bytes and wraps after 34 of them,
    // at offset 1020600: the lap-1 record at 1020804 lies in the space the
    // wrap leaves behind and must not be read after the older part.
    const std::string file = create("stale.dat", 1);
    ASSERT_EQ(append(file, 1, 52, 20000), 52u);
    ASSERT_EQ(drain(file).sequences, range(1, 52));
    ASSERT_EQ(append(file, 53, 20, 30000), 20u);
    ASSERT_EQ(drain(file, 10).sequences, range(53, 62));
    ASSERT_EQ(append(file, 73, 20, 30000), 20u);
    ASSERT_EQ(inspect(file).check.header.lastOffset, 192 + 34 * 30012);
    EXPECT_EQ(drain(file).sequences, range(63, 92));
}

TEST_F(StoreFiles, AppendAfterACompleteRecoveryStartsANewRun) {
    for (std::uint32_t ring : {0u, 1u}) {
        const std::string file = create("rerun" + std::to_string(ring) + ".dat", ring);
        ASSERT_EQ(append(file, 1, 2, 800), 2u);
        EXPECT_EQ(drain(file).sequences, range(1, 2));
        // The last record stays under the forward offset, counted forwarded;
        // it must not come back with the new ones.
        ASSERT_EQ(append(file, 3, 2, 800), 2u);
        EXPECT_EQ(drain(file).sequences, range(3, 4)) << ring;
    }
}

TEST_F(StoreFiles, InspectReportsDamageAsTheCursorMeetsItAndNeverWrites) {
    // Three records of 812 bytes at 192, 1004 and 1816; the file ends at 2628.
    const std::string sound = path("original.dat");
    ASSERT_EQ(runSf({"create", sound}, dir_).exitCode, 0);
    ASSERT_EQ(runSf({"append", sound, "--count", "3", "--size", "800"}, dir_).exitCode, 0);
    struct Case {
        const char* name;
        void (*apply)(const std::string& file);
        int exitCode;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"sound", [](const std::string&) {}, 0,
         {"primary block CRC: good", "backup block CRC: good", "offset 1816: length 800, GET reply, head CRC good",
          "records: 3, 2436 bytes\ndamaged: 0 range(s), 0 bytes\n"
          "recovery: forwards 3 message(s), then sends the end-of-file notice\nverdict: sound\n"}},
        {"record head", [](const std::string& f) { testsupport::flipByte(f, 1004 + 12 + 100); }, 1,
         {"offset 1004: length 800, GET reply, head CRC bad (head CRC mismatch)",
          "damaged: offset 1004, 812 bytes (head CRC mismatch)", "records: 2,", "verdict: damaged"}},
        {"body check", [](const std::string& f) { testsupport::flipByte(f, 1004 + 8); }, 1,
         {"head CRC good (body check not zero)", "damaged: offset 1004, 812 bytes (body check not zero)"}},
        {"primary block", [](const std::string& f) { testsupport::flipByte(f, 20); }, 1,
         {"primary block CRC: bad", "header taken from the backup block", "records: 3,"}},
        {"both blocks", [](const std::string& f) {
             testsupport::flipByte(f, 20);
             testsupport::flipByte(f, 96 + 20);
         }, 1,
         {"refuses the file at start-up: both header blocks are bad; with DUMP it forwards 3 message(s)"}},
        {"truncated", [](const std::string& f) { testsupport::truncateFile(f, 2528); }, 1,
         {"damaged: offset 1816, 712 bytes (the record runs past the end of the file)"}},
        // After a complete recovery the forward offset stays on the last record.
        {"drained", [](const std::string& f) { drain(f); }, 0,
         {"  forwardOffset   1816\n", "recovery: forwards 0 message(s), then sends the end-of-file notice",
          "note: the header counts every record forwarded: a recovery forwards nothing"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string copy = path(std::string(c.name) + ".dat");
        std::filesystem::copy_file(sound, copy);
        c.apply(copy);
        const std::string before = readFile(copy);
        const RunResult result = runSf({"inspect", copy}, dir_);
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
        for (const std::string& line : c.lines) EXPECT_NE(result.out.find(line), std::string::npos) << line;
        EXPECT_EQ(readFile(copy), before) << "inspect must not write";
        const std::vector<std::int64_t> foreseen = deliveredOffsets(inspect(copy));
        const Drained drained = drain(copy);
        EXPECT_EQ(drained.opened ? drained.offsets : foreseen, foreseen);
    }
    EXPECT_EQ(runSf({"inspect", path("missing.dat")}, dir_).exitCode, 2);
}

// A reader that went away (`inspect FILE | head`) must not kill the tool in
// the middle of its work: an append still appends everything.
TEST_F(StoreFiles, ClosedStandardOutputKillsNoCommand) {
    const std::string file = path("closed.dat");
    ASSERT_EQ(runSf({"create", file}, dir_).exitCode, 0);
    for (std::vector<std::string> command : {std::vector<std::string>{"append", file, "--count", "3"},
                                             std::vector<std::string>{"inspect", file}}) {
        command.insert(command.begin(), sfTool());
        EXPECT_EQ(waitExit(spawn(command, "", path("closed.err"))), 0) << command[1];
    }
    EXPECT_EQ(drain(file).sequences, range(1, 3));
}

}  // namespace
