// Start-up: header types, the block verdicts, the forward offset check,
// DUMP's default header, and the open and close steps with their codes.
#include <cstdio>

#include "msglib/coding.h"
#include "tests/storefile/store_test.h"

namespace {

using namespace storetest;
using testsupport::setWord64;

std::string startLine(std::int64_t forward, std::int64_t last) {
    char line[128];
    std::snprintf(line, sizeof line, "Starting at location %lld, %5.2f percent of file.\n",
                  static_cast<long long>(forward),
                  static_cast<double>(static_cast<float>(forward) * 100.0f / static_cast<float>(last)));
    return line;
}

StoreFileBuilder twoMessages() {
    StoreFileBuilder b;
    b.addMessage(makeTestMessage(400, 1));
    b.addMessage(makeTestMessage(500, 2));
    return b.describeRecords();
}

using OpenTest = StoreFileTest;

// Every row of the start-up decision table, without and with DUMP.
TEST_F(OpenTest, DecisionTable) {
    const StoreFileBuilder base = twoMessages();
    const std::int64_t end = base.end();
    // The type and block-check lines of a type-2 header area as it now stands.
    const auto checkLines = [](const Bytes& area) {
        std::string lines = "Found non-zero revision number 2\nChecking store file header blocks, size=92\n";
        for (int which : {1, 2}) {
            const std::uint32_t crc = storeCrc({area.data() + (which - 1) * 96, 92});
            const std::uint32_t stored = decodeU32(area.data() + (which - 1) * 96 + 92);
            char line[128];
            std::snprintf(line, sizeof line, "BAD CRC: CRC #%d should be %08X, file CRC #%d is %08X\n", which, crc,
                          which, stored);
            if (crc != stored) lines += line;
        }
        return lines;
    };
    const auto forwardAt = [](std::int64_t forward) {
        return [forward](const std::string& p) {
            setWord64(p, 64, static_cast<std::uint64_t>(forward));
            setWord64(p, 96 + 64, static_cast<std::uint64_t>(forward));
            testsupport::fixHeaderCrcs(p, 2);
        };
    };
    const std::string beyond = "Error: file header forward offset " + std::to_string(end) + " greater than file size " +
                               std::to_string(end) + ".\n";
    const std::tuple<const char*, std::function<void(const std::string&)>, std::string, std::string, bool> rows[] = {
        // name, damage, the verdict's line, the line after the type's, usable
        {"unknown type", [](const std::string& p) { setWord64(p, 0, 0); setWord64(p, 96, 0); }, "", "", false},
        {"verdict 0", [](const std::string&) {}, "Header read in ok.\n", "", true},
        {"verdict 1: backup used", [](const std::string& p) { setWord64(p, 64, 800); }, "Primary block bad.\n", "",
         true},
        {"verdict 2: primary used", [](const std::string& p) { setWord64(p, 160, 800); },
         "Header backup block bad.\n", "", true},
        {"verdict 3: both CRCs bad", [](const std::string& p) { setWord64(p, 16, 1); setWord64(p, 96 + 16, 1); },
         "Both header blocks bad.\n", "", false},
        {"verdict 3: good CRCs, blocks differ", [&](const std::string& p) { setWord64(p, 16, 1); forwardAt(192)(p); },
         "Both header blocks bad.\n", "", false},
        {"forward offset at the file's length", forwardAt(end), "Header read in ok.\n", beyond, false},
        {"negative forward offset", forwardAt(-5), "Header read in ok.\n",
         "Error: file header forward offset -5 is negative.\n", false},
    };
    const std::string cannotContinue = ".  RECOVER cannot continue\n"
        "*!* If you wish emergency file recovery, please use the DUMP parameter\n"
        "*!* It is recommended that you back up your KV58 database before\n"
        "*!* attempting emergency file recovery with the DUMP parameter.\n";
    const std::string dumping =
        "*!* Your file header is not readable.\n*!* You have specified the DUMP paramter (total message recovery).\n"
        "*!* Store and Forward will attempt to recover any readable data.\n"
        "*!* Because of this, your KV58 database may contain duplicate,\n    strange, or impossible values.\n"
        "*!* Please check your database values after this operation.\n"
        "    Default front-to-back-of-file message dumping will be used.\n";
    const StoreFileHeader defaultHeader{kStoreMagic, 2, 0, 0, 0, 0, end, 0xFFFFFFFF, 0, end, end, 192, 0, 0, 0, 0};
    for (const auto& [name, damage, verdict, after, usable] : rows) {
        for (bool dump : {false, true}) {
            SCOPED_TRACE(std::string(name) + (dump ? " with DUMP" : ""));
            base.writeTo(path_);
            damage(path_);
            const bool unknown = verdict.empty();
            std::string expected = "File opened.\n";
            if (unknown) {
                expected += "ERROR: Could not match header to any known type.\n";
            } else {
                expected += checkLines(testsupport::readAllBytes(path_)) + verdict;
                expected += "Processing file header type 2\n" + after;
            }
            if (usable) {
                expected += "File header type 2 detected and read.  Processing file.\n" + startLine(192, end);
            } else if (!dump) {
                expected += std::string("*!* The file header is ") + (unknown ? "of an unknown type" : "corrupt") +
                            cannotContinue;
            } else {
                expected += dumping + startLine(192, end);
            }
            EXPECT_EQ(reopen(dump), usable || dump);
            EXPECT_EQ(out_, expected);
            if (!usable && !dump) {
                EXPECT_EQ(statusEntries(status_),
                          unknown ? storeCodes({13512, 13411}) : storeCodes({13510, 13512, 13411}));
                continue;
            }
            EXPECT_FALSE(statusFailed(status_));
            EXPECT_EQ(store_.headerType, 2);
            EXPECT_EQ(store_.header.forwardOffset, 192);
            if (!usable) {
                EXPECT_EQ(encodeType2(store_.header), encodeType2(defaultHeader));
            }
        }
    }
}

// Single precision: 2^24 + 1 is no float and shows as 1677721600.00. A new
// file, and a header whose data ends at 0 (a division by zero), show 100.00.
TEST_F(OpenTest, StartPercentInSinglePrecision) {
    const std::tuple<std::int64_t, std::int64_t, const char*> cases[] = {
        {16777217, 1, "Starting at location 16777217, 1677721600.00 percent of file.\n"},
        {192, 192, "Starting at location 192, 100.00 percent of file.\n"},
        {192, 0, "Starting at location 192, 100.00 percent of file.\n"},
    };
    for (const auto& [forward, last, line] : cases) {
        StoreFileBuilder b;
        b.header().forwardOffset = forward;
        b.header().lastOffset = last;
        b.writeTo(path_);
        testsupport::truncateFile(path_, 16777300);
        ASSERT_TRUE(reopen());
        EXPECT_EQ(out_.substr(out_.find("Starting")), line);
    }
}

TEST_F(OpenTest, EmptyShortMissingAndFailingFiles) {
    testsupport::writeAllBytes(path_, {});
    EXPECT_FALSE(reopen());
    EXPECT_EQ(out_, "File opened.\n");
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_GE(store_.storeFileHandle, 0) << "left open";
    testsupport::writeAllBytes(path_, Bytes(391, 1));
    EXPECT_FALSE(reopen());
    EXPECT_EQ(out_, "File opened.\n");
    EXPECT_EQ(testsupport::failingEntries(status_), storeCodes({13182, 13512, 13411}));

    const std::tuple<FileOpKind, int, Entries> faults[] = {
        {FileOpKind::Open, 0, {{13, 13161}, {13, 13408}}},  // the file is missing
        {FileOpKind::Open, 1, {{1, EIO}, {13, 13153}, {13, 13408}}},
        {FileOpKind::Seek, 1, {{1, EIO}, {13, 13154}, {13, 13410}}},
        {FileOpKind::Seek, 2, {{1, EIO}, {13, 13159}, {13, 13511}, {13, 13411}}},
        {FileOpKind::Read, 1, {{1, EIO}, {13, 13182}, {13, 13512}, {13, 13411}}},
    };
    for (const auto& [kind, nth, codes] : faults) {
        twoMessages().writeTo(path_);
        if (nth == 0) std::remove(path_.c_str());
        FaultyFileOps ops;
        if (nth != 0) ops.failNth(kind, nth, EIO);
        EXPECT_FALSE(reopen());
        EXPECT_EQ(statusEntries(status_), codes);
    }
}

TEST_F(OpenTest, DumpAssumesTwoGigabytesWhenTheLengthIsUnknown) {
    twoMessages().writeTo(path_);
    setWord64(path_, 0, 0);  // no magic, no revision: unknown type
    setWord64(path_, 96, 0);
    FaultyFileOps ops;
    ops.failNth(FileOpKind::Seek, 3, EIO);  // size, seek to 0, then the default header's size query
    ASSERT_TRUE(reopen(true));
    EXPECT_NE(out_.find("*!* Cannot find the length of your file!  Assuming size=2Gb\n"), std::string::npos);
    EXPECT_EQ(store_.header.lastOffset, 2147483647);
    EXPECT_EQ(store_.fileSize, twoMessages().end());
}

// A header written since its last sync is synced at the close, however the
// run ends; a failed sync or close is a failure; only a failed close keeps
// the handle. A header synced already (before the end-of-file notice) is not
// synced again.
TEST_F(OpenTest, MasterFileCloseSyncsAndReportsEachOutcome) {
    const std::tuple<FileOpKind, bool, std::string, Entries> cases[] = {
        {FileOpKind::Close, true, "Error closing file.\n", storeCodes({13456})},
        {FileOpKind::Fsync, true, "Error syncing file: Input/output error.\n", storeCodes({13457})},
        {FileOpKind::Open, true, "", {}},  // no fault
        {FileOpKind::Fsync, false, "", {}},  // synced already
    };
    for (const auto& [fault, written, lines, codes] : cases) {
        ASSERT_TRUE(openFile(twoMessages()));
        ASSERT_GT(read(), 0u);
        remove();
        if (!written) {
            ASSERT_TRUE(syncStoreHeader(store_, status_));
        }
        FaultyFileOps ops;
        if (fault != FileOpKind::Open) ops.failNth(fault, 1, EIO);
        bool closed = false;
        EXPECT_EQ(captured([&] { closed = MasterFileClose(store_, status_); }), "Executing MasterFileClose.\n" + lines);
        EXPECT_EQ(closed, codes.empty());
        EXPECT_EQ(statusEntries(status_), codes);
        EXPECT_EQ(ops.calls(FileOpKind::Fsync), written ? 1 : 0);
        EXPECT_EQ(store_.faulted, !codes.empty() && fault == FileOpKind::Fsync);
        EXPECT_EQ(store_.storeFileHandle >= 0, fault == FileOpKind::Close);
    }
    bool closed = false;
    EXPECT_EQ(captured([&] { closed = MasterFileClose(store_, status_); }),
              "Executing MasterFileClose.\nStrange occurrence: file handle is empty; no file to close.\n");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(statusFailed(status_));
}

}  // namespace
