// A header rewrite cut short at every byte: whatever prefix of its writes
// reached the file, the header a recovery chooses at its next start is the
// complete old one or the complete new one. The writes of a rewrite are
// recorded once and replayed onto the old bytes up to each crash point.
#include <algorithm>
#include <cstdio>

#include "platform/file_ops.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;

struct RecordedWrite {
    std::int64_t offset;
    Bytes bytes;
};

// Records every write made through the file seam, with the offset it went to.
class WriteRecorder {
public:
    WriteRecorder() {
        table_.write = [](int h, const void* buffer, unsigned count) {
            const std::int64_t at = platform::posixFileOps().seek(h, 0, 1);
            return record(at, buffer, platform::posixFileOps().write(h, buffer, count));
        };
        table_.pwrite = [](int h, const void* buffer, unsigned count, std::int64_t at) {
            return record(at, buffer, platform::posixFileOps().pwrite(h, buffer, count, at));
        };
        writes() = {};
    }
    std::vector<RecordedWrite> taken() const { return writes(); }

private:
    static std::vector<RecordedWrite>& writes() {
        static std::vector<RecordedWrite> recorded;
        return recorded;
    }
    static int record(std::int64_t at, const void* buffer, int written) {
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        if (written > 0) writes().push_back({at, Bytes(p, p + written)});
        return written;
    }
    platform::FileOps table_ = platform::posixFileOps();
    testsupport::ScopedFileOps use_{table_};
};

// The first `prefix` bytes of w written onto file.
void apply(Bytes& file, const RecordedWrite& w, std::size_t prefix) {
    const auto at = static_cast<std::size_t>(w.offset);
    if (file.size() < at + prefix) file.resize(at + prefix, 0);
    std::copy_n(w.bytes.begin(), prefix, file.begin() + static_cast<std::ptrdiff_t>(at));
}

// Every file a crash during the writes can leave, from before the first to
// after the last, each write torn at every byte, except the one write that
// covers both copies: it is where they change over, and must land whole (a
// few bytes inside the first sector; see storefile/header_pair.cpp).
std::vector<Bytes> crashStates(const Bytes& before, const std::vector<RecordedWrite>& writes, int type) {
    const std::int64_t boundary = blockSizeOf(type) + 4;
    std::vector<Bytes> states;
    Bytes file = before;
    int switches = 0;
    for (const auto& w : writes) {
        if (w.offset < boundary && w.offset + static_cast<std::int64_t>(w.bytes.size()) > boundary) {
            ++switches;
            EXPECT_LE(w.bytes.size(), 16u);
            EXPECT_LE(w.offset + static_cast<std::int64_t>(w.bytes.size()), 512);
            states.push_back(file);
        } else {
            for (std::size_t prefix = 0; prefix < w.bytes.size(); ++prefix) {
                states.push_back(file);
                apply(states.back(), w, prefix);
            }
        }
        apply(file, w, w.bytes.size());
    }
    EXPECT_EQ(switches, 1);
    states.push_back(file);
    return states;
}

StoreFileHeader headerWith(std::uint32_t revision, std::int64_t forward, std::uint32_t forwarded) {
    StoreFileHeader h = testsupport::newType2Header(0);
    h.revision = revision;
    h.firstMsgOffset = 392;
    h.lastMsgOffset = 5000;
    h.lastOffset = h.offset48 = 5400;
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

// The block a recovery would take from these header bytes; empty when it
// would refuse them (unknown or other type, both copies rejected).
Bytes chosenBlock(const Bytes& file, int type) {
    if (detectHeaderType(file) != type) return {};
    const auto s = static_cast<std::ptrdiff_t>(blockSizeOf(type));
    switch (checkHeaderBlocks(file, blockSizeOf(type))) {
        case 0:
        case 2: return Bytes(file.begin(), file.begin() + s);
        case 1: return Bytes(file.begin() + s + 4, file.begin() + 2 * s + 4);
        default: return {};
    }
}

class HeaderCrashTest : public StoreFileTest {
protected:
    // Rewrites the header of a file holding `before` with h, through a handle
    // not under the name lock; the writes made.
    std::vector<RecordedWrite> rewrite(const Bytes& before, int type, const StoreFileHeader& h) {
        testsupport::writeAllBytes(path_, before);
        RecoverContext ctx;
        ctx.headerType = type;
        ctx.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        StatusBlock status;
        std::vector<RecordedWrite> writes;
        {
            WriteRecorder recorder;
            writeStoreHeader(ctx, h, status);
            writes = recorder.taken();
        }
        EXPECT_FALSE(statusFailed(status));
        platform::rtClose(ctx.storeFileHandle);
        Bytes after = before;
        for (const auto& w : writes) apply(after, w, w.bytes.size());
        EXPECT_EQ(after, testsupport::readAllBytes(path_)) << "the recording misses a write";
        return writes;
    }
};

TEST_F(HeaderCrashTest, EveryCrashPointLeavesTheOldOrTheNewHeader) {
    const struct {
        const char* name;
        int type;
        std::uint32_t revision;  // 1 and 2 name the type; others leave it to the magic of the backup
    } cases[] = {
        {"type 0, revision 0", 0, 0},   {"type 0, a revision word one byte from the magic", 0, 0x5A5AA55A},
        {"type 1, revision 1", 1, 1},   {"type 1, found by its magic", 1, 0x5A},
        {"type 2, revision 2", 2, 2},   {"type 2, found by its magic", 2, 0},
    };
    int crashPoints = 0;
    std::vector<std::string> wrong;  // collected while the checks' lines are captured
    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        const Bytes old = blockOf(headerWith(c.revision, 1000, 2), c.type);
        const Bytes next = blockOf(headerWith(c.revision, 1412, 3), c.type);
        const Bytes last = blockOf(headerWith(c.revision, 5000, 9), c.type);
        Bytes file0 = testsupport::makeHeaderArea(headerWith(c.revision, 1000, 2), c.type);
        file0.resize(400, 0xEE);  // data behind the header stays as it is
        const auto headerLength = static_cast<std::ptrdiff_t>(2 * blockSizeOf(c.type) + 8);

        const std::vector<Bytes> states =
            crashStates(file0, rewrite(file0, c.type, headerWith(c.revision, 1412, 3)), c.type);
        for (std::size_t i = 0; i < states.size(); ++i) {
            ++crashPoints;
            const Bytes chosen = chosenBlock(states[i], c.type);
            if (chosen != old && chosen != next) {
                wrong.push_back(std::string(c.name) + ": crash point " + std::to_string(i));
                continue;
            }
            if (!std::equal(states[i].begin() + headerLength, states[i].end(), file0.begin() + headerLength)) {
                wrong.push_back(std::string(c.name) + ": data behind the header changed");
            }
            // The next rewrite starts from whatever the crash left: a torn
            // primary, a torn backup, or both copies whole.
            const std::vector<Bytes> nextStates =
                crashStates(states[i], rewrite(states[i], c.type, headerWith(c.revision, 5000, 9)), c.type);
            for (std::size_t j = 0; j < nextStates.size(); ++j) {
                ++crashPoints;
                const Bytes again = chosenBlock(nextStates[j], c.type);
                if (again != chosen && again != last) {
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

// A primary or backup damaged by other means is repaired by the next
// rewrite, never made worse first.
TEST_F(HeaderCrashTest, RewriteEndsWithTwoEqualCopiesFromAnyUsableStart) {
    const StoreFileHeader h0 = headerWith(2, 1000, 2);
    const StoreFileHeader h1 = headerWith(2, 1412, 3);
    captured([&] {
        for (const int damageAt : {-1, 10, 100, 150}) {
            SCOPED_TRACE(damageAt);
            Bytes file0 = testsupport::makeHeaderArea(h0, 2);
            if (damageAt >= 0) file0[static_cast<std::size_t>(damageAt)] ^= 0x40;
            file0.resize(400, 0xEE);
            for (const Bytes& state : crashStates(file0, rewrite(file0, 2, h1), 2)) {
                const Bytes chosen = chosenBlock(state, 2);
                ASSERT_TRUE(chosen == blockOf(h0, 2) || chosen == blockOf(h1, 2));
            }
            Bytes expected = testsupport::makeHeaderArea(h1, 2);
            expected.resize(400, 0xEE);
            EXPECT_EQ(testsupport::readAllBytes(path_), expected);
        }
    });
}

// A file held open under its name lock keeps its header area in memory, so a
// rewrite goes straight to its writes; whenever the bytes on disk could
// differ (a failed write, a new open, a handle not under the lock) the area
// must be read again, or a crash during the next rewrite could lose it.
class HeaderAreaKnown : public HeaderCrashTest {
protected:
    void SetUp() override {
        Bytes file = testsupport::makeHeaderArea(headerAt(192), 2);
        file.resize(6000, 0);
        testsupport::writeAllBytes(path_, file);
        openLocked();
    }
    void openLocked() {
        closeHandle();
        ctx_.storeFileHandle = zento_s_file_open(path_.c_str(), kOpenReadWrite, status_);
        ctx_.headerType = 2;
    }
    static StoreFileHeader headerAt(std::int64_t forward) { return headerWith(2, forward, 0); }
    bool write(const StoreFileHeader& h) {
        captured([&] { writeStoreHeader(ctx_, h, status_); });
        return !statusFailed(status_);
    }
    void expectEveryCrashPointKeepsAHeader(const StoreFileHeader& h) {
        const Bytes before = testsupport::readAllBytes(path_);
        std::vector<RecordedWrite> writes;
        {
            WriteRecorder recorder;
            ASSERT_TRUE(write(h));
            writes = recorder.taken();
        }
        for (const Bytes& file : crashStates(Bytes(before.begin(), before.begin() + 192), writes, 2)) {
            ASSERT_NE(checkType2Blocks(file), 3);
        }
        const Bytes after = testsupport::readAllBytes(path_);
        EXPECT_EQ(Bytes(after.begin(), after.begin() + 192), testsupport::makeHeaderArea(h, 2));
    }
};

TEST_F(HeaderAreaKnown, OnlyTheFirstRewriteOfAnOpenFileReadsTheArea) {
    FaultyFileOps ops;
    for (std::int64_t forward : {500, 900}) {
        ops.resetCounts();
        ASSERT_TRUE(write(headerAt(forward)));
        EXPECT_EQ(ops.calls(FileOpKind::Read), forward == 500 ? 1 : 0);
        EXPECT_EQ(ops.calls(FileOpKind::Write), 4) << "the four pieces, each one positioned write";
    }
}

// A write torn in the middle leaves the backup copy broken: the next rewrite
// must see that and mend the backup before it touches the primary.
TEST_F(HeaderAreaKnown, AFailedRewriteMakesTheAreaUnknown) {
    ASSERT_TRUE(write(headerAt(500)));
    for (int piece = 1; piece <= 4; ++piece) {
        SCOPED_TRACE(piece);
        {
            FaultyFileOps ops;
            ops.shortWriteNth(piece, 3, EIO);
            EXPECT_FALSE(write(headerAt(700)));
        }
        expectEveryCrashPointKeepsAHeader(headerAt(900 + piece));
    }
}

TEST_F(HeaderAreaKnown, ANewOpenOrAnUnlockedHandleReadsTheArea) {
    ASSERT_TRUE(write(headerAt(500)));
    closeHandle();
    testsupport::flipByte(path_, 92 + 4 + 30);  // another process, holding the lock in turn, broke the backup
    openLocked();
    expectEveryCrashPointKeepsAHeader(headerAt(600));

    closeHandle();
    ctx_.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    FaultyFileOps ops;
    ASSERT_TRUE(write(headerAt(700)));
    ASSERT_TRUE(write(headerAt(800)));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 2) << "without the name lock the area is read every time";
    platform::rtClose(ctx_.storeFileHandle);
    ctx_.storeFileHandle = -1;
}

}  // namespace
