// The file operations of a whole recovery failed one at a time: for N = 1, 2,
// ... the N-th operation (of any kind, or of one kind) fails once, or from
// then on, and a clean rerun on the same file follows, until a run makes
// fewer than N operations. After every pair: the first run ended by itself
// with an exit code and lines that fit what happened, 0 only when it really
// finished; the rerun finished; and across both runs every stored message
// went out, in order, repeated only right behind itself.
#include <cstdio>
#include <optional>

#include "tests/hardening/hardening_support.h"

namespace {

using namespace hardening;
using testsupport::FileOpKind;

class FaultLoop : public testsupport::TempHomeTest {
protected:
    void TearDown() override { ::unsetenv("ZENTO_SF_SYNC"); }

    // Runs the loop for each kind given (nothing: any kind), once and from
    // then on, and prints how many faults fired and how the runs ended.
    void loop(const char* what, std::vector<std::optional<FileOpKind>> kinds) {
        int injected = 0, exits[3] = {};
        for (const auto kind : kinds) {
            for (const bool persistent : {false, true}) {
                for (int n = 1;; ++n, ++injected) {
                    SCOPED_TRACE("kind " + (kind ? std::to_string(static_cast<int>(*kind)) : std::string("any")) +
                                 (persistent ? " failing from call " : " failing once at call ") + std::to_string(n));
                    testsupport::writeAllBytes(path_, original_);
                    RunResult first;
                    bool fired = false;
                    {
                        testsupport::FaultyFileOps faults;
                        kind ? faults.failNth(*kind, n, EIO, persistent) : faults.failNthAny(n, EIO, persistent);
                        first = recoverInProcess(path_);
                        fired = (kind ? faults.calls(*kind) : faults.totalCalls()) >= n;
                    }
                    check(first, recoverInProcess(path_), fired);
                    if (!fired || HasFailure()) break;
                    ++exits[std::clamp(first.exitCode, 0, 2)];
                }
            }
        }
        std::printf("faults injected (%s): %d (exit 0: %d, exit 1: %d, exit 2: %d)\n", what, injected, exits[0],
                    exits[1], exits[2]);
    }

    static void check(const RunResult& first, const RunResult& second, bool fired) {
        EXPECT_FALSE(first.runaway || second.runaway) << "a run did not end by itself:\n" << first.out;
        EXPECT_EQ(second.exitCode, 0) << second.out;
        Ids all = first.delivered;
        all.insert(all.end(), second.delivered.begin(), second.delivered.end());
        EXPECT_EQ(withoutRepeats(all), numbers(1, 4)) << "first run:\n" << first.out << "second run:\n" << second.out;
        EXPECT_TRUE(fired || first.exitCode == 0) << "a run without a fault must finish";
        EXPECT_TRUE(contains(first.out, "Ending program.\n") || first.exitCode == 1) << first.out;
        if (first.exitCode == 0) {
            // Done for good: everything went out and the rerun has nothing.
            EXPECT_EQ(withoutRepeats(first.delivered), numbers(1, 4)) << first.out;
            EXPECT_TRUE(second.delivered.empty()) << second.out;
            EXPECT_TRUE(contains(first.out, "Messages have all been sent to destination.\n"));
        } else if (first.exitCode == 1) {
            EXPECT_TRUE(contains(first.out, "Critical error -- Could not open store file.  Exiting\n")) << first.out;
            EXPECT_TRUE(first.delivered.empty());
        } else if (first.exitCode != 2) {
            ADD_FAILURE() << "exit code " << first.exitCode << "\n" << first.out;
        } else {
            // Messages may be left, or the header saying none is may not be
            // on the disk: no end-of-file notice either way.
            EXPECT_EQ(first.notices, 0) << first.out;
            if (!contains(first.out, "Recovery stopped; the remaining messages stay in the store file.\n")) {
                EXPECT_TRUE(contains(first.out, "Error syncing file: ")) << first.out;
                EXPECT_EQ(withoutRepeats(first.delivered), numbers(1, 4));
            }
        }
    }

    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
    std::vector<std::uint8_t> original_ = storeOf({1, 2, 0, 3, 4}).bytes();
};

TEST_F(FaultLoop, EveryOperationOfAnyKindFailingOnceOrFromThenOn) { loop("any kind", {std::nullopt}); }

TEST_F(FaultLoop, EveryOperationOfEachKindFailingOnceOrFromThenOn) {
    loop("per kind", {FileOpKind::Seek, FileOpKind::Read, FileOpKind::Write, FileOpKind::Close, FileOpKind::Fsync});
}

// Synced after every removal, the syncs are as many as the removals, and each
// one may fail.
TEST_F(FaultLoop, SyncAfterEveryMessageFailingOnceOrFromThenOn) {
    ::setenv("ZENTO_SF_SYNC", "message", 1);
    loop("synced per message", {FileOpKind::Fsync, FileOpKind::Write});
}

}  // namespace
