// Zeros where a power loss leaves them: a 512-byte sector or a 4 KiB block,
// at seeded places inside the data the header names, in linear files and in
// wrapped rings. Every record whose head the zeros do not touch is
// delivered, once, in reading order, the run ends by itself with exit code
// 0, and a rerun sends nothing more.
#include <algorithm>
#include <random>

#include "tests/hardening/hardening_support.h"

namespace {

using namespace hardening;

class DamageLoop : public testsupport::TempHomeTest {
protected:
    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
};

// Forty messages; a ring holds 21-40 in the older part behind 1-20, which
// were written after the wrap, and reads them in that order.
testsupport::StoreFileBuilder layout(bool ring) {
    testsupport::StoreFileBuilder b = storeOf(numbers(1, 40));
    if (ring) {
        const auto& at = b.recordOffsets();
        StoreFileHeader& h = b.header();
        h.firstMsgOffset = h.forwardOffset = h.offset48 = at[20];
        h.lastMsgOffset = at[19];
        h.wrapped = 1;
        h.maxSize = 1;
    }
    return b;
}

Ids readingOrder(bool ring) {
    if (!ring) return numbers(1, 40);
    Ids order = numbers(21, 40);
    const Ids newer = numbers(1, 20);
    order.insert(order.end(), newer.begin(), newer.end());
    return order;
}

TEST_F(DamageLoop, ZeroedSectorsAndBlocksLoseNoIntactRecord) {
    std::mt19937 random(20261207);
    int runs = 0;
    for (const bool ring : {false, true}) {
        for (const std::int64_t hole : {512, 4096}) {
            for (int trial = 0; trial < 25; ++trial, ++runs) {
                const testsupport::StoreFileBuilder b = layout(ring);
                const std::vector<std::int64_t>& at = b.recordOffsets();
                const std::vector<std::uint8_t> original = b.bytes();
                std::vector<std::uint8_t> bytes = original;
                const std::int64_t from =
                    std::uniform_int_distribution<std::int64_t>(b.dataStart(), b.end() - hole)(random);
                std::fill_n(bytes.begin() + from, hole, 0);
                testsupport::writeAllBytes(path_, bytes);

                // A record is found when its prefix and head are untouched.
                // The format carries no check of the rest: a message whose
                // body the zeros hit goes out as it now reads (its list id
                // may then read as -1).
                Ids found, whole;
                for (const std::int32_t id : readingOrder(ring)) {
                    const std::int64_t start = at[static_cast<std::size_t>(id - 1)];
                    const std::int64_t end = id == 40 ? b.end() : at[static_cast<std::size_t>(id)];
                    // Zeros written over zeros change nothing.
                    const auto untouched = [&](std::int64_t to) {
                        return std::equal(original.begin() + start, original.begin() + to, bytes.begin() + start);
                    };
                    if (untouched(start + kRecordHeadSize)) found.push_back(id);
                    if (untouched(end)) whole.push_back(id);
                }
                SCOPED_TRACE(std::string(ring ? "ring" : "linear") + ", " + std::to_string(hole) +
                             " zero bytes at " + std::to_string(from));
                const RunResult run = recoverInProcess(path_);
                EXPECT_EQ(run.exitCode, 0) << run.out;
                ASSERT_EQ(run.delivered.size(), found.size()) << run.out;
                for (std::size_t i = 0; i < found.size(); ++i) {
                    const bool isWhole = std::find(whole.begin(), whole.end(), found[i]) != whole.end();
                    EXPECT_TRUE(run.delivered[i] == found[i] || (!isWhole && run.delivered[i] == -1))
                        << "record " << found[i] << " came as " << run.delivered[i];
                }
                EXPECT_TRUE(recoverInProcess(path_).delivered.empty());
                if (HasFailure()) return;
            }
        }
    }
    std::printf("zeroed ranges tried: %d\n", runs);
}

}  // namespace
