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

constexpr std::int32_t kMessages = 3;

struct Write {
    std::int64_t at;
    Bytes bytes;
};
std::vector<Write> gWrites;  // made while the recorder is installed

// Header rewrites are positioned writes.
int recordingPwrite(int fd, const void* buffer, unsigned count, std::int64_t at) {
    const int written = platform::posixFileOps().pwrite(fd, buffer, count, at);
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    if (written > 0) gWrites.push_back({at, Bytes(p, p + written)});
    return written;
}

// Every file a crash during the writes can leave, from before the first to
// after the last, each write torn at every byte; but the one write that
// covers the change-over to the backup copy lands whole (see
// storefile/header_pair.cpp).
std::vector<Bytes> crashStates(Bytes file, const std::vector<Write>& writes, std::int64_t blockSize) {
    std::vector<Bytes> states;
    for (const Write& w : writes) {
        const bool changeOver = w.at < blockSize + 4 && w.at + static_cast<std::int64_t>(w.bytes.size()) > blockSize + 4;
        for (std::size_t torn = 0; torn < (changeOver ? 1 : w.bytes.size()); ++torn) {
            states.push_back(file);
            std::copy_n(w.bytes.begin(), torn, states.back().begin() + w.at);
        }
        file.resize(std::max(file.size(), static_cast<std::size_t>(w.at) + w.bytes.size()));
        std::copy(w.bytes.begin(), w.bytes.end(), file.begin() + w.at);
    }
    states.push_back(file);
    return states;
}

TEST(CrashResume, CrashWhileRecordingAnAcknowledgementLosesNoMessage) {
    testsupport::TempHome home;
    const std::string path = home.file("ZENTO_STORE_NODE1.HARDSVC");
    platform::FileOps recording = platform::posixFileOps();
    recording.pwrite = recordingPwrite;
    // The real calls, but a sync flushes nothing: a crash is simulated by the
    // bytes a file holds, and a thousand flushes of a real disk take seconds.
    platform::FileOps noFlush = platform::posixFileOps();
    noFlush.fsync = [](int) { return 0; };
    int crashPoints = 0;
    for (const int type : {2, 1}) {
        // A type-1 header keeps no last message offset: once the last message
        // is removed its forward offset stands at the file's end, which a
        // recovery refuses at start-up whether it crashed or not.
        for (std::int32_t acknowledged = 1; acknowledged <= (type == 2 ? kMessages : kMessages - 1); ++acknowledged) {
            SCOPED_TRACE("type " + std::to_string(type) + ", message " + std::to_string(acknowledged) + " acknowledged");
            storeOf(numbers(1, kMessages), type).writeTo(path);
            // Forward up to that message; record the writes of its removal.
            Bytes before;
            RecoverContext ctx;
            ctx.storeFileName = path;
            StatusBlock status;
            capturedStdout([&] {
                ASSERT_TRUE(openStoreFile(ctx, status));
                for (std::int32_t n = 1; n <= acknowledged; ++n) {
                    ASSERT_GT(readNextMessage(ctx, status), 0u);
                    before = testsupport::readAllBytes(path);
                    gWrites.clear();
                    testsupport::ScopedFileOps use(recording);
                    removeLastMsg(ctx, status);
                    ASSERT_FALSE(statusFailed(status));
                }
                MasterFileClose(ctx, status);
            });
            ASSERT_FALSE(HasFatalFailure());
            ASSERT_FALSE(gWrites.empty());

            // Every message behind the acknowledged one comes; that one may come again.
            const Ids withAcknowledged = numbers(acknowledged, kMessages);
            const Ids rest(withAcknowledged.begin() + 1, withAcknowledged.end());
            for (const Bytes& state : crashStates(before, gWrites, blockSizeOf(type))) {
                ++crashPoints;
                testsupport::ScopedFileOps use(noFlush);
                testsupport::writeAllBytes(path, state);
                const RunResult rerun = recoverInProcess(path);
                ASSERT_EQ(rerun.exitCode, 0) << "crash point " << crashPoints << "\n" << rerun.out;
                const Ids sent = withoutRepeats(rerun.delivered);
                ASSERT_TRUE(sent == rest || sent == withAcknowledged)
                    << "crash point " << crashPoints << " sends " << testing::PrintToString(sent);
            }
        }
    }
    std::printf("recovery crash points tried: %d\n", crashPoints);
}

}  // namespace
