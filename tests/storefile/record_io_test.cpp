#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msglib/coding.h"
#include "platform/file_ops.h"
#include "storefile/store_format.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/file_damage.h"
#include "tests/support/status_entries.h"
#include "tests/support/store_builder.h"
#include "tests/support/temp_home.h"

namespace {

using testsupport::Entries;
using testsupport::FileOpKind;
using testsupport::failingEntries;
using testsupport::makeTestMessage;
using testsupport::readAllBytes;
using testsupport::statusEntries;

using Bytes = std::vector<std::uint8_t>;

class RecordIoTest : public testsupport::TempHomeTest {
protected:
    void TearDown() override {
        if (fd_ >= 0) platform::rtClose(fd_);
    }
    int openFile(const Bytes& content) {
        path_ = home_.file("records.svc");
        testsupport::writeAllBytes(path_, content);
        fd_ = platform::rtOpen(path_.c_str(), platform::kRtReadWrite, 0);
        EXPECT_GE(fd_, 0);
        return fd_;
    }
    // A type-2 file with the records of the given messages; their offsets.
    std::vector<std::int64_t> openStore(const std::vector<Bytes>& messages, std::uint32_t bodyCheck = 0) {
        testsupport::StoreFileBuilder builder;
        for (const Bytes& m : messages) builder.addMessage(m, bodyCheck);
        openFile(builder.bytes());
        return builder.recordOffsets();
    }
    std::string path_;
    int fd_ = -1;
};

TEST_F(RecordIoTest, AppendedRecordsReadBackWhole) {
    const int fd = openFile(Bytes(192, 0));
    const std::vector<Bytes> messages = {makeTestMessage(400, 1), makeTestMessage(292, 2), makeTestMessage(5000, 3)};
    std::int64_t at = 192;
    std::vector<std::int64_t> offsets;
    testsupport::FaultyFileOps faults;
    for (const Bytes& m : messages) {
        StatusBlock status = testsupport::dirtyStatus();
        faults.resetCounts();
        appendRecord(fd, at, m, status);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(faults.calls(FileOpKind::Write), 1) << "a record goes out in one write";
        offsets.push_back(at);
        at += 12 + static_cast<std::int64_t>(m.size());
    }
    EXPECT_EQ(testsupport::fileSizeOf(path_), at) << "records carry no padding";

    const Bytes file = readAllBytes(path_);
    EXPECT_EQ(Bytes(file.begin() + 192, file.begin() + 196), Bytes({0x5B, 0x5D, 0x5C, 0x5E}));
    EXPECT_EQ(decodeU32(file.data() + 192 + 4), storeCrc(std::span(messages[0]).first(292)));
    EXPECT_EQ(decodeU32(file.data() + 192 + 8), 0u);
    Bytes expected(192, 0);
    for (const Bytes& m : messages) {
        const Bytes r = testsupport::makeRecord(m);
        expected.insert(expected.end(), r.begin(), r.end());
    }
    EXPECT_EQ(file, expected);

    for (std::size_t i = 0; i < messages.size(); ++i) {
        std::array<std::uint8_t, 292> head{};
        StatusBlock status;
        EXPECT_EQ(readRecordHead(fd, offsets[i], head, status), 0u);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_TRUE(std::equal(head.begin(), head.end(), messages[i].begin()));
        const auto length = decodeU32(head.data() + 4);
        ASSERT_EQ(length, messages[i].size());
        Bytes message(length);
        std::copy(head.begin(), head.end(), message.begin());
        readRecordBody(fd, offsets[i], length, 0, message, status);
        EXPECT_TRUE(statusEntries(status).empty());
        EXPECT_EQ(message, messages[i]);
    }
}

TEST_F(RecordIoTest, AppendRefusesMessagesARecordCannotCarry) {
    const int fd = openFile(Bytes(192, 0));
    Bytes wrongLength = makeTestMessage(400, 1);
    encodeU32(wrongLength.data() + 4, 399);
    const Bytes tooShort = makeTestMessage(291, 1);
    for (const Bytes& m : {wrongLength, tooShort}) {
        StatusBlock status;
        appendRecord(fd, 192, m, status);
        EXPECT_EQ(statusEntries(status), (Entries{{13, 13342}}));
    }
    EXPECT_EQ(testsupport::fileSizeOf(path_), 192) << "nothing of a refused record is written";
}

TEST_F(RecordIoTest, AppendFailures) {
    const int fd = openFile(Bytes(192, 0));
    const Bytes m = makeTestMessage(400, 9);
    testsupport::FaultyFileOps faults;
    StatusBlock status;

    faults.failNth(FileOpKind::Seek, 1, EINVAL);
    appendRecord(fd, 192, m, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}, {13, 13340}}));

    faults.failNth(FileOpKind::Write, 1, ENOSPC);
    appendRecord(fd, 192, m, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, ENOSPC}, {13, 13202}, {13, 13342}}));

    // Short transfers are carried on until the record is whole.
    faults.limitTransfers(100);
    appendRecord(fd, 192, m, status);
    EXPECT_TRUE(statusEntries(status).empty());
    faults.clearFaults();
    const Bytes file = readAllBytes(path_);
    EXPECT_EQ(Bytes(file.begin() + 192, file.end()), testsupport::makeRecord(m));
}

TEST_F(RecordIoTest, ZeroFilledSpacePassesTheHeadCheck) {
    const int fd = openFile(Bytes(1000, 0));
    std::array<std::uint8_t, 292> head;
    head.fill(0xFF);
    StatusBlock status;
    EXPECT_EQ(readRecordHead(fd, 192, head, status), 0u);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_EQ(head, (std::array<std::uint8_t, 292>{}));
    EXPECT_EQ(decodeU32(head.data() + 4), 0u) << "its length word is 0";
}

TEST_F(RecordIoTest, DamagedHeadIsDeliveredWithItsCode) {
    const Bytes m = makeTestMessage(600, 4);
    const auto offsets = openStore({m}, 5);
    testsupport::flipByte(path_, offsets[0] + 12 + 100);
    testsupport::setByte(path_, offsets[0], 'X');  // the marker is not checked here

    std::array<std::uint8_t, 292> head{};
    StatusBlock status;
    EXPECT_EQ(readRecordHead(fd_, offsets[0], head, status), 5u);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13531}}));
    EXPECT_EQ(head[100], static_cast<std::uint8_t>(m[100] ^ 0xFF));
    EXPECT_TRUE(std::equal(head.begin(), head.begin() + 100, m.begin()));
}

TEST_F(RecordIoTest, NonZeroBodyCheckFailsAnIntactBody) {
    const Bytes m = makeTestMessage(700, 6);
    const auto offsets = openStore({m}, 1);
    std::array<std::uint8_t, 292> head{};
    StatusBlock status;
    const std::uint32_t check = readRecordHead(fd_, offsets[0], head, status);
    EXPECT_EQ(check, 1u);
    EXPECT_TRUE(statusEntries(status).empty());
    Bytes message(700);
    std::copy(head.begin(), head.end(), message.begin());
    readRecordBody(fd_, offsets[0], 700, check, message, status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13530}}));
    EXPECT_EQ(message, m) << "the body is read before it is judged";
}

TEST_F(RecordIoTest, ReadsThatRunOutOfFile) {
    const Bytes m = makeTestMessage(1000, 8);
    const auto offsets = openStore({m});
    const std::int64_t end = offsets[0] + 12 + 1000;

    std::array<std::uint8_t, 292> head{};
    StatusBlock status;
    readRecordHead(fd_, end - 303, head, status);  // 303 bytes left: one short
    EXPECT_EQ(failingEntries(status), (Entries{{13, 13182}, {13, 13532}}));

    testsupport::truncateFile(path_, end - 1);
    Bytes message(1000);
    readRecordBody(fd_, offsets[0], 1000, 0, message, status);
    EXPECT_EQ(failingEntries(status), (Entries{{13, 13182}, {13, 13512}}));
}

// Each part of a record is one positioned read: no seek, and a position the
// read refuses counts as the failed seek it replaces.
TEST_F(RecordIoTest, PositionAndReadFailuresCarryTheirCauses) {
    const Bytes m = makeTestMessage(500, 2);
    const auto offsets = openStore({m});
    std::array<std::uint8_t, 292> head{};
    Bytes message(500);
    testsupport::FaultyFileOps faults;
    StatusBlock status;

    readRecordHead(fd_, offsets[0], head, status);
    readRecordBody(fd_, offsets[0], 500, 0, message, status);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_EQ(faults.calls(FileOpKind::Read), 2);
    EXPECT_EQ(faults.calls(FileOpKind::Seek), 0);

    readRecordHead(fd_, -1, head, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}, {13, 13402}}));
    readRecordBody(fd_, -1000, 500, 0, message, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EINVAL}, {13, 13159}, {13, 13402}}));

    faults.failNth(FileOpKind::Read, 1, EIO);
    readRecordHead(fd_, offsets[0], head, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}, {13, 13532}}));

    faults.failNth(FileOpKind::Read, 1, EIO);
    readRecordBody(fd_, offsets[0], 500, 0, message, status);
    EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}, {13, 13512}}));

    // The body goes exactly behind the record head, into the message behind its head.
    faults.clearFaults();
    faults.limitTransfers(7);
    Bytes fresh(500, 0);
    readRecordBody(fd_, offsets[0], 500, 0, fresh, status);
    EXPECT_TRUE(statusEntries(status).empty());
    EXPECT_TRUE(std::equal(fresh.begin() + 292, fresh.end(), m.begin() + 292));
    EXPECT_EQ(fresh[291], 0) << "the head part of the buffer is the caller's";
}

TEST_F(RecordIoTest, BodyReadRefusesLengthsItCannotHold) {
    const auto offsets = openStore({makeTestMessage(500, 2)});
    testsupport::FaultyFileOps faults;
    for (std::uint32_t length : {0u, 12u, 291u}) {
        Bytes message(500, 0xAA);
        StatusBlock status;
        readRecordBody(fd_, offsets[0], length, 0, message, status);
        EXPECT_EQ(statusEntries(status), (Entries{{13, 13512}})) << length;
        EXPECT_EQ(message, Bytes(500, 0xAA));
    }
    Bytes small(400);
    StatusBlock status;
    readRecordBody(fd_, offsets[0], 500, 0, small, status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13512}})) << "a buffer smaller than the length";
    EXPECT_EQ(faults.totalCalls(), 0);
}

}  // namespace
