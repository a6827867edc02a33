// A recovery that crashes while it records an acknowledged message: for every
// point at which its header writes can be cut short, the next start opens the
// file, resumes at that message or behind it, and delivers every message that
// was not acknowledged before the crash.
#include <cstdio>

#include "storefile/cursor.h"
#include "storefile/store_open.h"
#include "tests/hardening/hardening_support.h"

namespace {

using namespace hardening;
using Bytes = std::vector<std::uint8_t>;

std::vector<std::pair<std::int64_t, Bytes>> gWrites;  // made while the recorder is installed

// Header rewrites are positioned writes.
int recordingPwrite(int fd, const void* buffer, unsigned count, std::int64_t at) {
    const int written = platform::systemFileOps().pwrite(fd, buffer, count, at);
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    if (written > 0) gWrites.push_back({at, Bytes(p, p + written)});
    return written;
}

TEST(CrashResume, CrashWhileRecordingAnAcknowledgementLosesNoMessage) {
    testsupport::TempHome home;
    const std::string path = home.file("ZENTO_STORE_NODE1.HARDSVC");
    platform::FileOps recording = platform::systemFileOps(), noFlush = platform::systemFileOps();
    recording.pwrite = recordingPwrite;
    // A crash is simulated by the bytes a file holds, and a thousand flushes
    // of a real disk take seconds.
    noFlush.fsync = [](int) { return 0; };
    int crashPoints = 0;
    for (const int type : {2, 1}) {
        // A type-1 header keeps no last message offset: once the last message
        // is removed its forward offset stands at the file's end, which a
        // recovery refuses at start-up whether it crashed or not.
        for (std::int32_t acknowledged = 1; acknowledged <= (type == 2 ? 3 : 2); ++acknowledged) {
            SCOPED_TRACE("type " + std::to_string(type) + ", message " + std::to_string(acknowledged) + " removed");
            storeOf(numbers(1, 3), type).writeTo(path);
            // Forward up to that message, recording the writes of its removal.
            Bytes file;
            StoreFile ctx;
            StatusBlock status;
            testing::internal::CaptureStdout();
            EXPECT_TRUE(openStoreFile(ctx, path, {}, status));
            for (std::int32_t n = 1; n <= acknowledged; ++n) {
                EXPECT_GT(readNextMessage(ctx, status), 0u);
                file = testsupport::readAllBytes(path);
                gWrites.clear();
                testsupport::ScopedFileOps use(recording);
                removeLastMsg(ctx, status);
                EXPECT_FALSE(statusFailed(status));
            }
            MasterFileClose(ctx, status);
            testing::internal::GetCapturedStdout();
            ASSERT_FALSE(HasFailure() || gWrites.empty());

            // Every state a crash can leave: each write torn at every byte,
            // but for the one that covers the change-over to the backup copy,
            // which lands whole (see storefile/header_pair.cpp).
            std::vector<Bytes> states;
            const std::int64_t changeOver = blockSizeOf(type) + 4;
            for (const auto& [at, bytes] : gWrites) {
                const bool whole = at < changeOver && at + static_cast<std::int64_t>(bytes.size()) > changeOver;
                for (std::size_t torn = 0; torn < (whole ? 1 : bytes.size()); ++torn) {
                    states.push_back(file);
                    std::copy_n(bytes.begin(), torn, states.back().begin() + at);
                }
                std::copy(bytes.begin(), bytes.end(), file.begin() + at);
            }
            states.push_back(file);

            // Every message behind the acknowledged one comes; that one may come again.
            for (const Bytes& state : states) {
                ++crashPoints;
                testsupport::ScopedFileOps use(noFlush);
                testsupport::writeAllBytes(path, state);
                const RunResult rerun = recoverInProcess(path);
                ASSERT_EQ(rerun.exitCode, 0) << "crash point " << crashPoints << "\n" << rerun.out;
                const Ids sent = withoutRepeats(rerun.delivered);
                ASSERT_TRUE(sent == numbers(acknowledged + 1, 3) || sent == numbers(acknowledged, 3))
                    << "crash point " << crashPoints << " sends " << testing::PrintToString(sent);
            }
        }
    }
    std::printf("recovery crash points tried: %d\n", crashPoints);
}

}  // namespace
