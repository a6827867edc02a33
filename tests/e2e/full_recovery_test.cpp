// Whole recoveries of sound store files of every header type and layout:
// every message arrives once, in order, as it was stored; the console tells
// the run as it went; the header is left where a rerun finds nothing to send.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "tests/e2e/e2e_support.h"
#include "tests/support/file_damage.h"

namespace {

using namespace e2e;

enum class Layout { Linear, Ring, WrappedRing };

const char* layoutName(Layout layout) {
    switch (layout) {
        case Layout::Linear: return "linear";
        case Layout::Ring: return "ring";
        case Layout::WrappedRing: return "wrapped ring";
    }
    return "?";
}

class FullRecovery : public ::testing::Test {
protected:
    testsupport::TempHome home_;
    Node node_ = Node::inside(home_, "nodea");
    std::string store_ = node_.file("store.dat");
    std::string capture_ = node_.file("received.bin");

    // Twelve messages of both kinds and three sizes; their numbers.
    std::vector<std::uint32_t> fillMixed(std::uint32_t ringMiB) {
        std::vector<std::string> create{"create", store_};
        if (ringMiB > 0) create.insert(create.end(), {"--ring", std::to_string(ringMiB)});
        tool(node_, create);
        tool(node_, {"append", store_, "--count", "5"});
        tool(node_, {"append", store_, "--count", "4", "--type", "uns", "--size", "1500"});
        tool(node_, {"append", store_, "--count", "3", "--size", "5000"});
        return numbers(1, 12);
    }

    // A 1 MiB ring whose newest records continue at the data start: 52
    // records of 20012 bytes make one lap; 30 of the first 40 were forwarded
    // before 30 more came, 12 up to the physical end and 18 from the start.
    std::vector<std::uint32_t> fillWrapped() {
        tool(node_, {"create", store_, "--ring", "1"});
        tool(node_, {"append", store_, "--count", "40", "--size", "20000"});
        forwardInProcess(store_, 30);
        tool(node_, {"append", store_, "--count", "30", "--size", "20000"});
        const StoreFileHeader h = headerOf(store_, 2);
        EXPECT_EQ(h.wrapped, 1u);
        EXPECT_LT(h.lastMsgOffset, h.firstMsgOffset);
        return numbers(31, 70);
    }

    // Older header types cannot name the newest record; space behind it that
    // was never written ends their reading.
    void clearBehindNewestRecord() {
        const StoreFileHeader h = headerOf(store_, 2);
        Bytes bytes = testsupport::readAllBytes(store_);
        std::fill(bytes.begin() + h.offset48, bytes.begin() + h.firstMsgOffset, std::uint8_t{0});
        testsupport::writeAllBytes(store_, bytes);
    }
};

TEST_F(FullRecovery, EveryHeaderTypeAndLayoutDeliversEachMessageOnceInOrder) {
    for (Layout layout : {Layout::Linear, Layout::Ring, Layout::WrappedRing}) {
        for (int type : {0, 1, 2}) {
            SCOPED_TRACE(std::string(layoutName(layout)) + " file, header type " + std::to_string(type));
            std::remove(store_.c_str());
            std::remove(capture_.c_str());
            std::vector<std::uint32_t> expected;
            if (layout == Layout::WrappedRing) {
                expected = fillWrapped();
                if (type != 2) clearBehindNewestRecord();
            } else {
                expected = fillMixed(layout == Layout::Ring ? 1 : 0);
            }
            if (type != 2) rewriteHeaderAs(store_, type);
            const StoreFileHeader before = headerOf(store_, type);
            const auto stored = storedMessages(testsupport::readAllBytes(store_));

            Process arec;
            ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
            const RunResult run = runRecovery(node_, {"e2e", store_});
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_EQ(arec.wait(kReadyLimit), 0) << "the destination got the end-of-file notice";

            // Type 2 knows its newest record, and a ring of an older type
            // counts its messages; an older type's linear file is read on to
            // its end.
            std::string ending = "All messages have been forwarded.\n";
            if (type != 2 && layout == Layout::Linear) ending = "Reached file end.\n";
            EXPECT_EQ(run.out, startedLine("E2E") + openingLines(type) +
                                   startingAtLine(before.forwardOffset, before.lastOffset) + ending + closingLines());

            const std::vector<Captured> received = capturedMessages(capture_);
            EXPECT_EQ(sequencesOf(received), expected);
            expectSameAsStored(received, stored, node_.name);

            const StoreFileHeader after = headerOf(store_, type);
            if (type == 2) {
                EXPECT_EQ(after.forwardOffset, before.lastMsgOffset) << "left on the newest record";
                EXPECT_EQ(after.forwardedCount, before.msgCount);
            } else {
                EXPECT_EQ(after.forwardOffset, before.offset48) << "left behind the newest record";
            }
            EXPECT_EQ(after.msgCount, before.msgCount);
            if (HasFailure()) return;
        }
    }
}

// A type-0 or type-1 header has no place for the newest record's offset, so
// in a wrapped ring only the message count can tell where the newer part
// ends: behind it lie records of an earlier lap, forwarded long ago, which
// must not go out again.
TEST_F(FullRecovery, WrappedRingOfAnOlderHeaderTypeStopsBeforeAnEarlierLap) {
    for (int type : {0, 1}) {
        SCOPED_TRACE("header type " + std::to_string(type));
        std::remove(store_.c_str());
        std::remove(capture_.c_str());
        const std::vector<std::uint32_t> expected = fillWrapped();
        rewriteHeaderAs(store_, type);

        Process arec;
        ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
        Process recovery;
        ASSERT_TRUE(recovery.start(node_, {recoverProgram(), "E2E", store_}, node_.file("recover.out")));
        // A recovery that goes round the ring is stopped once it has sent
        // more than the file holds.
        waitUntil([&] { return !recovery.running() || testsupport::fileSizeOf(capture_) > 2 * 40 * 20000; },
                  kRunLimit);
        recovery.kill();
        EXPECT_EQ(recovery.wait(milliseconds(0)), 0);
        EXPECT_EQ(sequencesOf(capturedMessages(capture_)), expected);
    }
}

}  // namespace
