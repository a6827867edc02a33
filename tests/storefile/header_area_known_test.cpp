// A store file held open under its name lock keeps the header area it was
// last given in memory, so a rewrite goes straight to its writes; whenever
// the bytes on disk could differ (a failed write, a new open, a handle not
// under the lock) the area is read again, so that a crash during the next
// rewrite still leaves a header the block checks accept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "recover/recover_context.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"
#include "tests/storefile/write_recorder.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::FileOpKind;
using testsupport::readAllBytes;

constexpr std::size_t kArea = 192;

StoreFileHeader headerAt(std::int64_t forward) {
    StoreFileHeader h = testsupport::newType2Header(0);
    h.lastMsgOffset = 5000;
    h.lastOffset = 5400;
    h.offset48 = 5400;
    h.msgCount = 9;
    h.forwardOffset = forward;
    return h;
}

Bytes areaOf(const Bytes& file) { return Bytes(file.begin(), file.begin() + kArea); }

class HeaderAreaKnown : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        path_ = home_.file("ZENTO_STORE_NODE1.AREA");
        Bytes file = testsupport::makeHeaderArea(headerAt(192), 2);
        file.resize(6000, 0);
        testsupport::writeAllBytes(path_, file);
        openLocked();
    }
    void TearDown() override { close(); }

    void openLocked() {
        StatusBlock status;
        ctx_.storeFileHandle = zento_s_file_open(path_.c_str(), kOpenReadWrite, status);
        ASSERT_GE(ctx_.storeFileHandle, 0);
        ctx_.headerType = 2;
    }
    void close() {
        if (ctx_.storeFileHandle < 0) return;
        StatusBlock status;
        closeStoreFileHandle(ctx_.storeFileHandle, status);
        ctx_.storeFileHandle = -1;
    }
    // Rewrites the header; whether it succeeded.
    bool write(const StoreFileHeader& h) {
        StatusBlock status;
        testing::internal::CaptureStdout();
        writeStoreHeader(ctx_, h, status);
        testing::internal::GetCapturedStdout();
        return !statusFailed(status);
    }
    // Every file a crash during a rewrite to h can leave accepts one copy.
    void expectEveryCrashPointKeepsAHeader(const StoreFileHeader& h) {
        const Bytes before = readAllBytes(path_);
        std::vector<storetest::RecordedWrite> writes;
        {
            storetest::WriteRecorder recorder;
            ASSERT_TRUE(write(h));
            writes = recorder.writes();
        }
        std::size_t state = 0;
        for (const Bytes& file : storetest::crashStates(areaOf(before), writes, 92)) {
            EXPECT_NE(checkType2Blocks(file), 3) << "crash point " << state;
            ++state;
        }
        EXPECT_EQ(areaOf(readAllBytes(path_)), testsupport::makeHeaderArea(h, 2));
    }

    std::string path_;
    RecoverContext ctx_;
};

TEST_F(HeaderAreaKnown, OnlyTheFirstRewriteOfAnOpenFileReadsTheArea) {
    testsupport::FaultyFileOps ops;
    for (std::int64_t forward : {500, 900, 1300}) {
        SCOPED_TRACE(forward);
        ops.resetCounts();
        ASSERT_TRUE(write(headerAt(forward)));
        EXPECT_EQ(ops.calls(FileOpKind::Read), forward == 500 ? 1 : 0);
        EXPECT_EQ(ops.calls(FileOpKind::Write), 4) << "the four pieces, each one positioned write";
        EXPECT_EQ(ops.calls(FileOpKind::Seek), 0);
        EXPECT_EQ(areaOf(readAllBytes(path_)), testsupport::makeHeaderArea(headerAt(forward), 2));
    }
}

// A write torn in the middle leaves the backup copy broken: the next rewrite
// must see that and mend the backup before it touches the primary.
TEST_F(HeaderAreaKnown, AFailedRewriteMakesTheAreaUnknown) {
    ASSERT_TRUE(write(headerAt(500)));
    for (int piece = 1; piece <= 4; ++piece) {
        SCOPED_TRACE("torn in piece " + std::to_string(piece));
        {
            testsupport::FaultyFileOps ops;
            ops.shortWriteNth(piece, 3, EIO);
            EXPECT_FALSE(write(headerAt(700)));
        }
        expectEveryCrashPointKeepsAHeader(headerAt(900 + piece));
    }
}

TEST_F(HeaderAreaKnown, ANewOpenOrAnUnlockedHandleReadsTheArea) {
    ASSERT_TRUE(write(headerAt(500)));
    close();
    // Another process (it took the lock in turn) broke the backup copy.
    testsupport::flipByte(path_, 92 + 4 + 30);
    openLocked();
    expectEveryCrashPointKeepsAHeader(headerAt(600));

    close();
    ctx_.storeFileHandle = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
    ASSERT_GE(ctx_.storeFileHandle, 0);
    testsupport::FaultyFileOps ops;
    ASSERT_TRUE(write(headerAt(700)));
    ASSERT_TRUE(write(headerAt(800)));
    EXPECT_EQ(ops.calls(FileOpKind::Read), 2) << "without the name lock the area is read every time";
    platform::rtClose(ctx_.storeFileHandle);
    ctx_.storeFileHandle = -1;
}

}  // namespace
