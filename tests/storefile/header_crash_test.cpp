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

// Records every positioned write made through the file seam (a header
// rewrite makes no other kind; the replay below would miss one).
class WriteRecorder {
public:
    WriteRecorder() {
        table_.pwrite = [](int h, const void* buffer, unsigned count, std::int64_t at) {
            const int written = platform::systemFileOps().pwrite(h, buffer, count, at);
            const auto* p = static_cast<const std::uint8_t*>(buffer);
            if (written > 0) writes().push_back({at, Bytes(p, p + written)});
            return written;
        };
        writes() = {};
    }
    static std::vector<RecordedWrite>& writes() {
        static std::vector<RecordedWrite> recorded;
        return recorded;
    }

private:
    platform::FileOps table_ = platform::systemFileOps();
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
        const auto end = w.offset + static_cast<std::int64_t>(w.bytes.size());
        if (w.offset < boundary && end > boundary) {
            ++switches;
            EXPECT_LE(w.bytes.size(), 16u);
            EXPECT_LE(end, 512);
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

// word08 holds a byte equal to the magic's high byte, near the seal.
StoreFileHeader headerWith(std::uint32_t revision, std::int64_t forward, std::uint32_t forwarded = 0) {
    return {kStoreMagic, revision, 0x5A, 0, 392, 0, 5000, 9, forwarded, 5400, 5400, forward, 0, 0, 0, 0};
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
    // Rewrites the header with h on the open handle, or on a plain one (not
    // under the name lock) over a file holding `before`; the writes made.
    std::vector<RecordedWrite> rewrite(const Bytes* before, int type, const StoreFileHeader& h) {
        if (before != nullptr) openPlain(*before);
        store_.headerType = type;
        const Bytes old = testsupport::readAllBytes(path_);
        StatusBlock status;
        std::vector<RecordedWrite> writes;
        {
            WriteRecorder recorder;
            writeStoreHeader(store_, h, status);
            writes = WriteRecorder::writes();
        }
        EXPECT_FALSE(statusFailed(status));
        if (before != nullptr) closeHandle();
        Bytes after = old;
        for (const auto& w : writes) apply(after, w, w.bytes.size());
        EXPECT_EQ(after, testsupport::readAllBytes(path_)) << "the recording misses a write";
        return writes;
    }
};

TEST_F(HeaderCrashTest, EveryCrashPointLeavesTheOldOrTheNewHeader) {
    const std::tuple<const char*, int, std::uint32_t> cases[] = {
        // Revisions 1 and 2 name the type; others leave it to the magic of the backup.
        {"type 0, revision 0", 0, 0},   {"type 0, a revision word one byte from the magic", 0, 0x5A5AA55A},
        {"type 1, revision 1", 1, 1},   {"type 1, found by its magic", 1, 0x5A},
        {"type 2, revision 2", 2, 2},   {"type 2, found by its magic", 2, 0},
    };
    int crashPoints = 0;
    std::vector<std::string> wrong;  // collected while the checks' lines are captured
    testing::internal::CaptureStdout();
    for (const auto& [name, type, revision] : cases) {
        const Bytes old = blockOf(headerWith(revision, 1000, 2), type);
        const Bytes next = blockOf(headerWith(revision, 1412, 3), type);
        const Bytes last = blockOf(headerWith(revision, 5000, 9), type);
        Bytes file0 = testsupport::makeHeaderArea(headerWith(revision, 1000, 2), type);
        file0.resize(400, 0xEE);  // data behind the header stays as it is
        const auto headerLength = static_cast<std::ptrdiff_t>(2 * blockSizeOf(type) + 8);
        const std::vector<Bytes> states =
            crashStates(file0, rewrite(&file0, type, headerWith(revision, 1412, 3)), type);
        for (std::size_t i = 0; i < states.size(); ++i) {
            ++crashPoints;
            const Bytes chosen = chosenBlock(states[i], type);
            const std::string at = std::string(name) + ": crash point " + std::to_string(i);
            if (chosen != old && chosen != next) wrong.push_back(at);
            if (!std::equal(states[i].begin() + headerLength, states[i].end(), file0.begin() + headerLength)) {
                wrong.push_back(at + ": data behind the header changed");
            }
            // The next rewrite starts from whatever the crash left: a torn
            // primary, a torn backup, or both copies whole; it ends with two
            // equal copies of the new header.
            const std::vector<Bytes> nextStates =
                crashStates(states[i], rewrite(&states[i], type, headerWith(revision, 5000, 9)), type);
            for (std::size_t j = 0; j < nextStates.size(); ++j) {
                ++crashPoints;
                const Bytes again = chosenBlock(nextStates[j], type);
                if (again != chosen && again != last) wrong.push_back(at + ", then " + std::to_string(j));
            }
            const Bytes& end = nextStates.back();
            if (checkHeaderBlocks(end, blockSizeOf(type)) != 0 || chosenBlock(end, type) != last) {
                wrong.push_back(at + ": the next rewrite did not end with two equal copies");
            }
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " crash points lose the header, first: " << wrong.front();
    std::printf("header crash points tried: %d\n", crashPoints);
}

// A file held open under its name lock keeps the header area it last wrote
// in memory, so a rewrite need not read it first; whenever the bytes on disk
// could differ (a failed write, a new open) the area must be read again, or a
// crash during the next rewrite could lose the header.
TEST_F(HeaderCrashTest, TheHeaderAreaIsReadAgainWheneverTheDiskMayDiffer) {
    Bytes file = testsupport::makeHeaderArea(headerWith(2, 192), 2);
    file.resize(6000, 0);
    testsupport::writeAllBytes(path_, file);
    const auto openLocked = [&] {
        closeHandle();
        store_.storeFileHandle = zento_s_file_open(path_.c_str(), kOpenReadWrite, status_);
        store_.headerType = 2;
    };
    // Every file a crash during a rewrite can leave accepts one copy, and the rewrite ends with the new header.
    const auto expectEveryCrashPointKeepsAHeader = [&](const StoreFileHeader& h) {
        const Bytes before = testsupport::readAllBytes(path_);
        for (const Bytes& state : crashStates(Bytes(before.begin(), before.begin() + 192), rewrite(nullptr, 2, h), 2)) {
            ASSERT_NE(checkType2Blocks(state), 3);
        }
        const Bytes after = testsupport::readAllBytes(path_);
        EXPECT_EQ(Bytes(after.begin(), after.begin() + 192), testsupport::makeHeaderArea(h, 2));
    };
    openLocked();
    expectEveryCrashPointKeepsAHeader(headerWith(2, 500));
    // A write torn in the middle leaves a copy broken: the next rewrite must
    // see that and mend it before it touches the other.
    for (int piece = 1; piece <= 4; ++piece) {
        SCOPED_TRACE(piece);
        {
            FaultyFileOps ops;
            ops.shortWriteNth(piece, 3, EIO);
            captured([&] { writeStoreHeader(store_, headerWith(2, 700), status_); });
            EXPECT_TRUE(statusFailed(status_));
        }
        expectEveryCrashPointKeepsAHeader(headerWith(2, 900 + piece));
    }
    closeHandle();
    testsupport::flipByte(path_, 92 + 4 + 30);  // another process, holding the lock in turn, broke the backup
    openLocked();
    expectEveryCrashPointKeepsAHeader(headerWith(2, 600));
}

}  // namespace
