// A recovery that crashes while it records an acknowledged message: for every
// point at which its header writes can be cut short, the next start opens the
// file, resumes at that message or behind it, and delivers every message that
// was not acknowledged before the crash.
#include <cstdio>

#include "storefile/cursor.h"
#include "storefile/store_open.h"
#include "tests/hardening/hardening_support.h"
#include "tests/storefile/write_recorder.h"
#include "tests/support/file_damage.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int32_t kMessages = 3;

// The real calls, but a sync flushes nothing: a crash is simulated by the
// bytes a file holds, and a thousand flushes of a real disk take seconds.
class NoFlush {
public:
    NoFlush() : table_(platform::posixFileOps()) {
        table_.fsync = [](int) { return 0; };
    }

private:
    platform::FileOps table_;
    testsupport::ScopedFileOps use_{table_};
};

class CrashResume : public testsupport::TempHomeTest {
protected:
    // The file just before the header write that records the removal of
    // message `acknowledged` (1-based), and the writes of that removal.
    struct Removal {
        Bytes before;
        std::vector<storetest::RecordedWrite> writes;
    };

    Removal recordRemoval(const testsupport::StoreFileBuilder& b, std::int32_t acknowledged) {
        b.writeTo(path_);
        RecoverContext ctx;
        fwdtest::openInto(ctx, path_);
        Removal removal;
        StatusBlock status;
        fwdtest::capturedStdout([&] {
            for (std::int32_t n = 1; n <= acknowledged; ++n) {
                EXPECT_GT(readNextMessage(ctx, status), 0u);
                if (n == acknowledged) {
                    removal.before = testsupport::readAllBytes(path_);
                    storetest::WriteRecorder recorder;
                    removeLastMsg(ctx, status);
                    removal.writes = recorder.writes();
                } else {
                    removeLastMsg(ctx, status);
                }
                EXPECT_FALSE(statusFailed(status));
            }
        });
        fwdtest::closeStore(ctx);
        return removal;
    }

    // The forward offset a recovery starts from, or -1 when it cannot open.
    std::int64_t startingOffset() {
        RecoverContext ctx;
        ctx.storeFileName = path_;
        StatusBlock status;
        bool opened = false;
        fwdtest::capturedStdout([&] { opened = openStoreFile(ctx, status); });
        const std::int64_t at = opened ? ctx.header.forwardOffset : -1;
        fwdtest::closeStore(ctx);
        if (!opened && ctx.storeFileHandle >= 0) closeStoreFileHandle(ctx.storeFileHandle, status);
        return at;
    }

    std::string path_ = home_.file("ZENTO_STORE_NODE1.HARDSVC");
};

TEST_F(CrashResume, CrashWhileRecordingAnAcknowledgementLosesNoMessage) {
    int crashPoints = 0;
    for (const int type : {2, 1}) {
        testsupport::StoreFileBuilder b(type);
        for (std::int32_t n = 1; n <= kMessages; ++n) b.addMessage(hardening::storedReply(n));
        b.describeRecords();
        const std::vector<std::int64_t>& at = b.recordOffsets();

        // A type-1 header keeps no last message offset: once the last message
        // is removed, its forward offset stands at the file's end, which a
        // recovery refuses at start-up whether it crashed or not.
        const std::int32_t lastChecked = type == 2 ? kMessages : kMessages - 1;
        for (std::int32_t acknowledged = 1; acknowledged <= lastChecked; ++acknowledged) {
            SCOPED_TRACE("type " + std::to_string(type) + ", message " + std::to_string(acknowledged) +
                         " acknowledged");
            const Removal removal = recordRemoval(b, acknowledged);
            ASSERT_FALSE(removal.writes.empty());
            // Where the header may resume: on the acknowledged message or
            // behind it; the last one stays under the forward offset.
            const std::int64_t old = at[static_cast<std::size_t>(acknowledged - 1)];
            const std::int64_t next = acknowledged < kMessages ? at[static_cast<std::size_t>(acknowledged)] : old;

            for (const Bytes& state : storetest::crashStates(removal.before, removal.writes, blockSizeOf(type))) {
                ++crashPoints;
                NoFlush noFlush;
                testsupport::writeAllBytes(path_, state);
                const std::int64_t start = startingOffset();
                ASSERT_TRUE(start == old || start == next) << "crash point " << crashPoints << ": starts at " << start;

                const hardening::RunResult rerun = hardening::recoverInProcess(path_);
                ASSERT_EQ(rerun.exitCode, 0) << rerun.out;
                const std::vector<std::int32_t> sent = hardening::withoutRepeats(rerun.delivered);
                // Every message behind the acknowledged one comes; the
                // acknowledged one may come again.
                const std::vector<std::int32_t> rest = hardening::numbers(acknowledged + 1, kMessages);
                std::vector<std::int32_t> withAcknowledged = {acknowledged};
                withAcknowledged.insert(withAcknowledged.end(), rest.begin(), rest.end());
                ASSERT_TRUE(sent == rest || sent == withAcknowledged) << "crash point " << crashPoints;
            }
        }
    }
    std::printf("recovery crash points tried: %d\n", crashPoints);
}

}  // namespace
