// Store files with damage: a header beyond repair recovered with DUMP, and a
// broken record in the middle stepped over with a log line naming it.
#include <gtest/gtest.h>

#include <cstdio>

#include "msglib/coding.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/file_damage.h"

namespace {

using namespace e2e;

class DamagedStore : public ::testing::Test {
protected:
    void fill() {
        ASSERT_TRUE(tool(node_, {"create", store_}));
        ASSERT_TRUE(tool(node_, {"append", store_, "--count", "5"}));
        ASSERT_TRUE(tool(node_, {"append", store_, "--count", "3", "--type", "uns", "--size", "2000"}));
    }

    // Where each record of a linear file starts, following the length words.
    std::vector<std::int64_t> recordOffsets() {
        const Bytes bytes = testsupport::readAllBytes(store_);
        std::vector<std::int64_t> offsets;
        for (std::size_t at = kType2HeaderLength; at + kRecordHeadSize <= bytes.size();
             at += kRecordPrefixSize + decodeU32(bytes.data() + at + kRecordPrefixSize + 4)) {
            offsets.push_back(static_cast<std::int64_t>(at));
        }
        return offsets;
    }

    std::vector<Captured> recoverInto(const std::vector<std::string>& args, RunResult& run) {
        Process arec;
        if (!startArec(arec, node_, capture_, {"--exit-on-eof"})) return {};
        run = runRecovery(node_, args);
        EXPECT_EQ(arec.wait(kReadyLimit), 0) << "the end-of-file notice came";
        return capturedMessages(capture_);
    }

    testsupport::TempHome home_;
    Node node_ = Node::inside(home_, "nodea");
    std::string store_ = node_.file("store.dat");
    std::string capture_ = node_.file("received.bin");
};

std::string badCrcLine(int n, std::uint32_t computed, std::uint32_t stored) {
    char line[96];
    std::snprintf(line, sizeof line, "BAD CRC: CRC #%d should be %08X, file CRC #%d is %08X\n", n, computed, n, stored);
    return line;
}

TEST_F(DamagedStore, DumpForwardsEveryReadableMessageBehindAHeaderBeyondRepair) {
    fill();
    // Three messages went out before the header broke; DUMP reads the file
    // from its data start, so they come again.
    forwardInProcess(store_, 3);
    testsupport::flipByte(store_, 8);
    testsupport::flipByte(store_, 96 + 8);
    const Bytes bytes = testsupport::readAllBytes(store_);
    const auto stored = storedMessages(bytes);
    const std::span<const std::uint8_t> area(bytes);

    RunResult run;
    const std::vector<Captured> received = recoverInto({"E2E", store_, "DUMP"}, run);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(sequencesOf(received), numbers(1, 8));
    expectSameAsStored(received, stored, node_.name);

    const std::string expected =
        "You have specified the DUMP parameter.\nMessage recovery will occur regardless of file corruption\n" +
        startedLine("E2E") + "File opened.\nFound non-zero revision number 2\n" +
        "Checking store file header blocks, size=92\n" +
        badCrcLine(1, storeCrc(area.subspan(0, 92)), decodeU32(bytes.data() + 92)) +
        badCrcLine(2, storeCrc(area.subspan(96, 92)), decodeU32(bytes.data() + 188)) +
        "Both header blocks bad.\nProcessing file header type 2\n"
        "*!* Your file header is not readable.\n"
        "*!* You have specified the DUMP paramter (total message recovery).\n"
        "*!* Store and Forward will attempt to recover any readable data.\n"
        "*!* Because of this, your KV58 database may contain duplicate,\n"
        "    strange, or impossible values.\n"
        "*!* Please check your database values after this operation.\n"
        "    Default front-to-back-of-file message dumping will be used.\n" +
        startingAtLine(192, static_cast<std::int64_t>(bytes.size())) + "Reached file end.\n" + closingLines();
    EXPECT_EQ(run.out, expected);
    // The default header replaced the broken one and moved with the messages.
    EXPECT_EQ(headerOf(store_, 2).forwardOffset, static_cast<std::int64_t>(bytes.size()));
}

TEST_F(DamagedStore, ABrokenRecordIsSkippedAndNamedInTheLog) {
    struct Case {
        const char* why;
        void (*damage)(const std::string& store, std::int64_t record);
    };
    const Case cases[] = {
        {"head CRC mismatch",
         [](const std::string& store, std::int64_t record) { testsupport::flipByte(store, record + 12 + 200); }},
        {"body check not zero",
         [](const std::string& store, std::int64_t record) { testsupport::setWord32(store, record + 8, 1); }},
        {"length word below 292",
         [](const std::string& store, std::int64_t record) {
             // A head that passes its CRC yet cannot hold itself.
             testsupport::setWord32(store, record + 12 + 4, 100);
             Bytes head = testsupport::readAllBytes(store);
             const std::span<const std::uint8_t> message(head.data() + record + 12, kMessageHeadSize);
             testsupport::setWord32(store, record + 4, storeCrc(message));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        std::remove(store_.c_str());
        std::remove(capture_.c_str());
        fill();
        const std::vector<std::int64_t> offsets = recordOffsets();
        ASSERT_EQ(offsets.size(), 8u);
        const auto stored = storedMessages(testsupport::readAllBytes(store_));
        c.damage(store_, offsets[4]);

        RunResult run;
        const std::vector<Captured> received = recoverInto({"E2E", store_}, run);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(sequencesOf(received), (std::vector<std::uint32_t>{1, 2, 3, 4, 6, 7, 8}));
        expectSameAsStored(received, stored, node_.name);
        EXPECT_NE(run.out.find("All messages have been forwarded.\n" + closingLines()), std::string::npos) << run.out;

        const std::int64_t skipped = offsets[5] - offsets[4];
        const std::string log = node_.log();
        EXPECT_NE(log.find("[E2E] Store file " + store_ + ": skipped " + std::to_string(skipped) + " bytes at offset " +
                           std::to_string(offsets[4]) + ": " + c.why + "\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("7 messages forwarded, 0 resends, 1 damaged ranges skipped (" + std::to_string(skipped) +
                           " bytes)"),
                  std::string::npos)
            << log;
        std::remove(node_.file("log/zento.log").c_str());
        if (HasFailure()) return;
    }
}

}  // namespace
