// The file operations of a whole recovery failed one at a time: for N = 1, 2,
// ... the N-th operation (of any kind, or of one kind) fails once, or from
// then on, and a clean rerun on the same file follows, until a run makes
// fewer than N operations. After every pair: the first run ended by itself
// with an exit code and lines that fit what happened, 0 only when it really
// finished; the rerun finished; and across both runs every stored message
// went out, in order, repeated only right behind itself.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "tests/hardening/hardening_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

using hardening::RunResult;
using testsupport::FileOpKind;

constexpr std::int32_t kMessages = 4;

const char* kindName(std::optional<FileOpKind> kind) {
    if (!kind) return "any";
    switch (*kind) {
        case FileOpKind::Open: return "open";
        case FileOpKind::Close: return "close";
        case FileOpKind::Read: return "read";
        case FileOpKind::Write: return "write";
        case FileOpKind::Seek: return "seek";
        case FileOpKind::Fsync: return "fsync";
    }
    return "?";
}

class FaultLoop : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        // Two messages, a damaged stretch the cursor must search over (its
        // skip rewrites the header), two more messages.
        testsupport::StoreFileBuilder b;
        b.addMessage(hardening::storedReply(1));
        b.addMessage(hardening::storedReply(2));
        b.addRaw(std::vector<std::uint8_t>(700, 0x3C));
        b.addMessage(hardening::storedReply(3));
        b.addMessage(hardening::storedReply(4));
        b.describeRecords();
        original_ = b.bytes();
    }
    void TearDown() override { ::unsetenv("ZENTO_SF_SYNC"); }

    // Runs the loop for one kind (nullopt: any kind); the number of faults
    // that fired.
    int loop(std::optional<FileOpKind> kind, bool persistent) {
        int injected = 0;
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::string(kindName(kind)) + (persistent ? " from call " : " once at call ") +
                         std::to_string(n));
            testsupport::writeAllBytes(path_, original_);
            RunResult first;
            bool fired = false;
            {
                testsupport::FaultyFileOps faults;
                if (kind) {
                    faults.failNth(*kind, n, EIO, persistent);
                } else {
                    faults.failNthAny(n, EIO, persistent);
                }
                first = hardening::recoverInProcess(path_);
                fired = (kind ? faults.calls(*kind) : faults.totalCalls()) >= n;
            }
            const RunResult second = hardening::recoverInProcess(path_);
            checkPair(first, second, fired);
            if (fired) ++exits_[std::clamp(first.exitCode, 0, 3)];
            if (::testing::Test::HasFailure()) return injected;
            if (!fired) return injected;
            ++injected;
        }
    }

    void checkPair(const RunResult& first, const RunResult& second, bool fired) {
        EXPECT_FALSE(first.runaway) << "the faulty run did not end by itself:\n" << first.out;
        EXPECT_FALSE(second.runaway);
        EXPECT_EQ(second.exitCode, 0) << second.out;

        std::vector<std::int32_t> all = first.delivered;
        all.insert(all.end(), second.delivered.begin(), second.delivered.end());
        EXPECT_EQ(hardening::withoutRepeats(all), hardening::numbers(1, kMessages))
            << "first run:\n" << first.out << "second run:\n" << second.out;

        switch (first.exitCode) {
            case 0:
                // Done for good: everything went out and the rerun has nothing.
                EXPECT_EQ(hardening::withoutRepeats(first.delivered), hardening::numbers(1, kMessages)) << first.out;
                EXPECT_TRUE(second.delivered.empty()) << second.out;
                EXPECT_TRUE(hardening::contains(first.out, "Messages have all been sent to destination.\n"));
                break;
            case 1:
                EXPECT_TRUE(hardening::contains(first.out, "Critical error -- Could not open store file.  Exiting\n"))
                    << first.out;
                EXPECT_TRUE(first.delivered.empty());
                break;
            case 2:
                if (hardening::contains(first.out, "Recovery stopped; the remaining messages stay in the store file.\n")) {
                    EXPECT_EQ(first.notices, 0) << "no end-of-file notice while messages may be left";
                } else {
                    // Everything went out, but the header may not be on the disk.
                    EXPECT_TRUE(hardening::contains(first.out, "Error syncing file: ")) << first.out;
                    EXPECT_EQ(hardening::withoutRepeats(first.delivered), hardening::numbers(1, kMessages));
                }
                break;
            default: ADD_FAILURE() << "exit code " << first.exitCode << "\n" << first.out;
        }
        if (!fired) {
            EXPECT_EQ(first.exitCode, 0) << "a run without a fault must finish";
        }
        EXPECT_TRUE(hardening::contains(first.out, "Ending program.\n") || first.exitCode == 1) << first.out;
    }

    std::string tally() const {
        return "exit 0: " + std::to_string(exits_[0]) + ", exit 1: " + std::to_string(exits_[1]) +
               ", exit 2: " + std::to_string(exits_[2]);
    }

    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
    int exits_[4] = {};
    std::vector<std::uint8_t> original_;
};

TEST_F(FaultLoop, EveryOperationOfAnyKindFailingOnceOrFromThenOn) {
    int injected = 0;
    for (const bool persistent : {false, true}) injected += loop(std::nullopt, persistent);
    std::printf("faults injected (any kind): %d (%s)\n", injected, tally().c_str());
}

TEST_F(FaultLoop, EveryOperationOfEachKindFailingOnceOrFromThenOn) {
    int injected = 0;
    for (const FileOpKind kind : {FileOpKind::Seek, FileOpKind::Read, FileOpKind::Write, FileOpKind::Close,
                                  FileOpKind::Fsync}) {
        for (const bool persistent : {false, true}) injected += loop(kind, persistent);
    }
    std::printf("faults injected (per kind): %d (%s)\n", injected, tally().c_str());
}

// Synced after every removal, the syncs are as many as the removals, and each
// one may fail.
TEST_F(FaultLoop, SyncAfterEveryMessageFailingOnceOrFromThenOn) {
    ::setenv("ZENTO_SF_SYNC", "message", 1);
    int injected = 0;
    for (const FileOpKind kind : {FileOpKind::Fsync, FileOpKind::Write}) {
        for (const bool persistent : {false, true}) injected += loop(kind, persistent);
    }
    std::printf("faults injected (synced per message): %d (%s)\n", injected, tally().c_str());
}

}  // namespace
