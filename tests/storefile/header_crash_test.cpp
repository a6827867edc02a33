// A header rewrite cut short at every byte: whatever prefix of its writes
// reached the file, the header a recovery chooses at its next start is the
// complete old one or the complete new one. The writes of a rewrite are
// recorded once and replayed onto the old bytes up to each crash point.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "recover/recover_context.h"
#include "storefile/store_format.h"
#include "storefile/store_open.h"
#include "tests/storefile/write_recorder.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using storetest::apply;
using storetest::RecordedWrite;
using storetest::WriteRecorder;

struct HeaderCase {
    const char* name;
    int type;
    std::uint32_t revision;  // 1 and 2 name the type; others leave it to the magic of the backup
};

StoreFileHeader headerWith(std::uint32_t revision, std::int64_t forward, std::uint32_t forwarded) {
    StoreFileHeader h = testsupport::newType2Header(0);
    h.revision = revision;
    h.firstMsgOffset = 392;
    h.lastMsgOffset = 5000;
    h.lastOffset = 5400;
    h.offset48 = 5400;
    h.msgCount = 9;
    h.forwardedCount = forwarded;
    h.forwardOffset = forward;
    h.word08 = 0x5A;  // a byte equal to the magic's high byte, near the seal
    return h;
}

Bytes blockOf(const StoreFileHeader& h, int type) {
    Bytes area = testsupport::makeHeaderArea(h, type);
    area.resize(blockSizeOf(type));
    return area;
}

class HeaderCrashTest : public testsupport::TempHomeTest {
protected:
    // The block a recovery would take from these header bytes, or empty when
    // it would refuse them (unknown or other type, both copies rejected).
    Bytes chosenBlock(const Bytes& file, int type) {
        if (detectHeaderType(file) != type) return {};
        const std::uint32_t s = blockSizeOf(type);
        switch (checkHeaderBlocks(file, s)) {
            case 0:
            case 2: return Bytes(file.begin(), file.begin() + s);
            case 1: return Bytes(file.begin() + s + 4, file.begin() + 2 * s + 4);
            default: return {};
        }
    }

    // Rewrites the header of a file holding `before` with h; the writes made.
    std::vector<RecordedWrite> rewrite(const Bytes& before, int type, const StoreFileHeader& h) {
        testsupport::writeAllBytes(path_, before);
        RecoverContext ctx;
        ctx.headerType = type;
        ctx.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        EXPECT_GE(ctx.storeFileHandle, 0);
        StatusBlock status;
        std::vector<RecordedWrite> writes;
        {
            WriteRecorder recorder;
            writeStoreHeader(ctx, h, status);
            writes = recorder.writes();
        }
        EXPECT_FALSE(statusFailed(status));
        platform::rtClose(ctx.storeFileHandle);
        Bytes after = before;
        for (const auto& w : writes) apply(after, w, w.bytes.size());
        EXPECT_EQ(after, testsupport::readAllBytes(path_)) << "the recording misses a write";
        return writes;
    }

    // The crash states of the writes. The one write that covers both
    // copies is where they change over, taken as landing whole: there must
    // be exactly one, of a few bytes, inside the first sector.
    std::vector<Bytes> crashStates(const Bytes& before, const std::vector<RecordedWrite>& writes, int type) {
        const std::int64_t s = blockSizeOf(type);
        int switches = 0;
        for (const auto& w : writes) {
            if (!storetest::coversBothCopies(w, s)) continue;
            ++switches;
            EXPECT_LE(w.bytes.size(), 16u);
            EXPECT_LE(w.offset + static_cast<std::int64_t>(w.bytes.size()), 512);
        }
        EXPECT_EQ(switches, 1);
        return storetest::crashStates(before, writes, s);
    }

    std::string path_ = home_.file("store.hdr");
};

const HeaderCase kCases[] = {
    {"type 0, revision 0", 0, 0},
    {"type 0, a revision word one byte from the magic", 0, 0x5A5AA55A},
    {"type 1, revision 1", 1, 1},
    {"type 1, found by its magic", 1, 0x5A},
    {"type 2, revision 2", 2, 2},
    {"type 2, found by its magic", 2, 0},
};

TEST_F(HeaderCrashTest, EveryCrashPointLeavesTheOldOrTheNewHeader) {
    int crashPoints = 0;
    std::vector<std::string> wrong;  // collected while the checks' lines are captured
    testing::internal::CaptureStdout();
    for (const HeaderCase& c : kCases) {
        const StoreFileHeader h0 = headerWith(c.revision, 1000, 2);
        const StoreFileHeader h1 = headerWith(c.revision, 1412, 3);
        const StoreFileHeader h2 = headerWith(c.revision, 5000, 9);
        Bytes file0 = testsupport::makeHeaderArea(h0, c.type);
        file0.resize(400, 0xEE);  // data behind the header stays as it is
        const auto headerLength = static_cast<std::ptrdiff_t>(2 * blockSizeOf(c.type) + 8);

        const std::vector<RecordedWrite> first = rewrite(file0, c.type, h1);
        const std::vector<Bytes> states = crashStates(file0, first, c.type);
        for (std::size_t i = 0; i < states.size(); ++i) {
            const Bytes& state = states[i];
            ++crashPoints;
            const Bytes chosen = chosenBlock(state, c.type);
            if (chosen != blockOf(h0, c.type) && chosen != blockOf(h1, c.type)) {
                wrong.push_back(std::string(c.name) + ": crash point " + std::to_string(i));
                continue;
            }
            if (!std::equal(state.begin() + headerLength, state.end(), file0.begin() + headerLength)) {
                wrong.push_back(std::string(c.name) + ": data behind the header changed");
            }
            // The next rewrite starts from whatever the crash left: a torn
            // primary, a torn backup, or both copies whole.
            const std::vector<RecordedWrite> second = rewrite(state, c.type, h2);
            const std::vector<Bytes> nextStates = crashStates(state, second, c.type);
            for (std::size_t j = 0; j < nextStates.size(); ++j) {
                ++crashPoints;
                const Bytes again = chosenBlock(nextStates[j], c.type);
                if (again != chosen && again != blockOf(h2, c.type)) {
                    wrong.push_back(std::string(c.name) + ": crash point " + std::to_string(i) + ", then " +
                                    std::to_string(j));
                }
            }
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " crash points lose the header, first: " << wrong.front();
    std::printf("header crash points tried: %d\n", crashPoints);
}

TEST_F(HeaderCrashTest, RewriteEndsWithTwoEqualCopiesFromAnyUsableStart) {
    // A primary or backup damaged by other means is repaired by the next
    // rewrite, never made worse first.
    const StoreFileHeader h0 = headerWith(2, 1000, 2);
    const StoreFileHeader h1 = headerWith(2, 1412, 3);
    std::vector<std::string> wrong;
    testing::internal::CaptureStdout();
    for (const int damageAt : {-1, 10, 100, 150}) {
        Bytes file0 = testsupport::makeHeaderArea(h0, 2);
        if (damageAt >= 0) file0[static_cast<std::size_t>(damageAt)] ^= 0x40;
        file0.resize(400, 0xEE);
        const std::vector<RecordedWrite> writes = rewrite(file0, 2, h1);
        for (const Bytes& state : crashStates(file0, writes, 2)) {
            const Bytes chosen = chosenBlock(state, 2);
            if (chosen != blockOf(h0, 2) && chosen != blockOf(h1, 2)) wrong.push_back(std::to_string(damageAt));
        }
        Bytes expected = testsupport::makeHeaderArea(h1, 2);
        expected.resize(400, 0xEE);
        if (testsupport::readAllBytes(path_) != expected) wrong.push_back("end state, damage at " + std::to_string(damageAt));
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(wrong.empty()) << "damage at " << wrong.front();
}

TEST_F(HeaderCrashTest, NewFileHeaderNeedsNoHeaderAreaYet) {
    testsupport::writeAllBytes(path_, {});
    const int fd = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    ASSERT_GE(fd, 0);
    StatusBlock status = testsupport::dirtyStatus();
    writeNewType2Header(fd, headerWith(2, 192, 0), status);
    EXPECT_TRUE(testsupport::statusEntries(status).empty());
    EXPECT_EQ(testsupport::readAllBytes(path_), testsupport::makeHeaderArea(headerWith(2, 192, 0), 2));
    platform::rtClose(fd);
}

}  // namespace
