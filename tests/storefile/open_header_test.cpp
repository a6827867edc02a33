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
    std::snprintf(line, sizeof line, "Starting at location %lld, %5.2f percent of file.\n", static_cast<long long>(forward),
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

TEST_F(OpenTest, NewFileStartUpLines) {
    StoreFileBuilder fresh;
    fresh.zeroFillTo(4096);
    ASSERT_TRUE(openFile(fresh));
    EXPECT_EQ(out_,
              "File opened.\nFound non-zero revision number 2\nChecking store file header blocks, size=92\n"
              "Header read in ok.\nProcessing file header type 2\n"
              "File header type 2 detected and read.  Processing file.\n"
              "Starting at location 192, 100.00 percent of file.\n");
    EXPECT_EQ(ctx_.fileSize, 4096);
}

TEST(DetectHeaderType, RevisionFirstThenTheNewestMatchingMagic) {
    const std::tuple<std::uint32_t, std::vector<std::size_t>, std::int32_t, const char*> cases[] = {
        {1, {}, 1, "Found non-zero revision number 1\n"}, {2, {}, 2, "Found non-zero revision number 2\n"},
        {0, {68}, 0, ""}, {0, {72}, 1, ""}, {3, {68, 96}, 2, ""},
        {0, {}, -1, "ERROR: Could not match header to any known type.\n"},
    };
    for (const auto& [revision, magicAt, type, line] : cases) {
        Bytes area(kHeaderAreaRead, 0);
        encodeU32(area.data() + 4, revision);
        for (std::size_t at : magicAt) encodeU32(area.data() + at, kStoreMagic);
        std::int32_t found = 0;
        EXPECT_EQ(captured([&] { found = detectHeaderType(area); }), line);
        EXPECT_EQ(found, type) << revision;
    }
}

// Every row of the start-up decision table, without and with DUMP.
TEST_F(OpenTest, DecisionTable) {
    const StoreFileBuilder base = twoMessages();
    const auto end = static_cast<std::uint64_t>(base.end());
    const std::string checked = "Found non-zero revision number 2\nChecking store file header blocks, size=92\n";
    const std::string processing = "Processing file header type 2\n";
    const auto badCrc = [](const Bytes& area, int which) {
        const std::size_t at = which == 1 ? 0 : 96;
        char line[128];
        std::snprintf(line, sizeof line, "BAD CRC: CRC #%d should be %08X, file CRC #%d is %08X\n", which,
                      storeCrc({area.data() + at, 92}), which, decodeU32(area.data() + at + 92));
        return std::string(line);
    };
    const auto forwardAt = [](std::uint64_t forward) {
        return [forward](const std::string& p) {
            setWord64(p, 64, forward);
            setWord64(p, 96 + 64, forward);
            testsupport::fixHeaderCrcs(p, 2);
        };
    };
    char beyond[128];
    std::snprintf(beyond, sizeof beyond, "Error: file header forward offset %llu greater than file size %llu.\n",
                  static_cast<unsigned long long>(end), static_cast<unsigned long long>(end));
    struct Row {
        const char* name;
        std::function<void(const std::string&)> damage;
        std::function<std::string(const Bytes&)> lines;  // after "File opened.", up to the verdict's consequences
        bool usable;
    } rows[] = {
        {"unknown type", [](const std::string& p) { setWord64(p, 0, 0); setWord64(p, 96, 0); },
         [](const Bytes&) { return std::string("ERROR: Could not match header to any known type.\n"); }, false},
        {"verdict 0", [](const std::string&) {}, [&](const Bytes&) { return checked + "Header read in ok.\n" + processing; },
         true},
        {"verdict 1: backup used", [&](const std::string& p) { setWord64(p, 64, 800); },
         [&](const Bytes& a) { return checked + badCrc(a, 1) + "Primary block bad.\n" + processing; }, true},
        {"verdict 2: primary used", [&](const std::string& p) { setWord64(p, 96 + 64, 800); },
         [&](const Bytes& a) { return checked + badCrc(a, 2) + "Header backup block bad.\n" + processing; }, true},
        {"verdict 3: both CRCs bad", [](const std::string& p) { setWord64(p, 16, 1); setWord64(p, 96 + 16, 1); },
         [&](const Bytes& a) { return checked + badCrc(a, 1) + badCrc(a, 2) + "Both header blocks bad.\n" + processing; },
         false},
        {"verdict 3: good CRCs, blocks differ", [&](const std::string& p) {
             setWord64(p, 16, 1);
             forwardAt(192)(p);
         },
         [&](const Bytes&) { return checked + "Both header blocks bad.\n" + processing; }, false},
        {"forward offset at the file's length", forwardAt(end),
         [&](const Bytes&) { return checked + "Header read in ok.\n" + processing + beyond; }, false},
        {"negative forward offset", forwardAt(static_cast<std::uint64_t>(-5)),
         [&](const Bytes&) {
             return checked + "Header read in ok.\n" + processing + "Error: file header forward offset -5 is negative.\n";
         },
         false},
    };
    const std::string cannotContinue =
        "*!* If you wish emergency file recovery, please use the DUMP parameter\n"
        "*!* It is recommended that you back up your KV58 database before\n"
        "*!* attempting emergency file recovery with the DUMP parameter.\n";
    const std::string dumping =
        "*!* Your file header is not readable.\n*!* You have specified the DUMP paramter (total message recovery).\n"
        "*!* Store and Forward will attempt to recover any readable data.\n"
        "*!* Because of this, your KV58 database may contain duplicate,\n    strange, or impossible values.\n"
        "*!* Please check your database values after this operation.\n"
        "    Default front-to-back-of-file message dumping will be used.\n";
    for (const Row& row : rows) {
        for (bool dump : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (dump ? " with DUMP" : ""));
            base.writeTo(path_);
            row.damage(path_);
            const bool unknown = row.name == std::string("unknown type");
            std::string expected = "File opened.\n" + row.lines(testsupport::readAllBytes(path_));
            if (row.usable) {
                expected += "File header type 2 detected and read.  Processing file.\n";
            } else if (!dump) {
                expected += std::string("*!* The file header is ") + (unknown ? "of an unknown type" : "corrupt") +
                            ".  RECOVER cannot continue\n" + cannotContinue;
            } else {
                expected += dumping;
            }
            EXPECT_EQ(reopen(dump), row.usable || dump);
            EXPECT_EQ(out_, expected + (row.usable || dump ? startLine(192, base.end()) : ""));
            if (!row.usable && !dump) {
                EXPECT_EQ(statusEntries(status_), unknown ? storeCodes({13512, 13411}) : storeCodes({13510, 13512, 13411}));
                continue;
            }
            EXPECT_FALSE(statusFailed(status_));
            EXPECT_EQ(ctx_.headerType, 2);
            const std::int64_t e = base.end();
            const StoreFileHeader defaultHeader{kStoreMagic, 2, 0, 0, 0, 0, e, 0xFFFFFFFF, 0, e, e, 192, 0, 0, 0, 0};
            EXPECT_EQ(ctx_.header.forwardOffset, 192);
            if (dump && !row.usable) {
                EXPECT_EQ(encodeType2(ctx_.header), encodeType2(defaultHeader));
            }
        }
    }
}

TEST_F(OpenTest, StartPercentInSinglePrecisionAndWithoutDataEnd) {
    StoreFileBuilder b;
    b.header().forwardOffset = 16777217;  // 2^24 + 1 is no float: single precision shows 1677721600.00
    b.header().lastOffset = 1;
    b.writeTo(path_);
    testsupport::truncateFile(path_, 16777300);
    ASSERT_TRUE(reopen());
    EXPECT_NE(out_.find("Starting at location 16777217, 1677721600.00 percent of file.\n"), std::string::npos);
    b.header().forwardOffset = 192;
    b.header().lastOffset = 0;  // would divide by zero
    b.zeroFillTo(1000);
    ASSERT_TRUE(openFile(b));
    EXPECT_NE(out_.find("Starting at location 192, 100.00 percent of file.\n"), std::string::npos);
}

TEST_F(OpenTest, EmptyShortMissingAndFailingFiles) {
    testsupport::writeAllBytes(path_, {});
    EXPECT_FALSE(reopen());
    EXPECT_EQ(out_, "File opened.\n");
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_GE(ctx_.storeFileHandle, 0) << "left open";
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
    EXPECT_EQ(ctx_.header.lastOffset, 2147483647);
    EXPECT_EQ(ctx_.fileSize, twoMessages().end());
}

// The header is synced once, at the close, however the run ends; a failed
// sync or close is a failure; only a failed close keeps the handle.
TEST_F(OpenTest, MasterFileCloseSyncsAndReportsEachOutcome) {
    const std::tuple<FileOpKind, std::string, Entries> cases[] = {
        {FileOpKind::Close, "Error closing file.\n", storeCodes({13456})},
        {FileOpKind::Fsync, "Error syncing file: Input/output error.\n", storeCodes({13457})},
        {FileOpKind::Open, "", {}},  // no fault
    };
    for (const auto& [fault, lines, codes] : cases) {
        ASSERT_TRUE(openFile(twoMessages()));
        FaultyFileOps ops;
        if (fault != FileOpKind::Open) ops.failNth(fault, 1, EIO);
        bool closed = false;
        EXPECT_EQ(captured([&] { closed = MasterFileClose(ctx_, status_); }), "Executing MasterFileClose.\n" + lines);
        EXPECT_EQ(closed, codes.empty());
        EXPECT_EQ(statusEntries(status_), codes);
        EXPECT_EQ(ops.calls(FileOpKind::Fsync), 1);
        EXPECT_EQ(ctx_.dataUnreadable, fault == FileOpKind::Fsync);
        EXPECT_EQ(ctx_.storeFileHandle >= 0, fault == FileOpKind::Close);
    }
    bool closed = false;
    EXPECT_EQ(captured([&] { closed = MasterFileClose(ctx_, status_); }),
              "Executing MasterFileClose.\nStrange occurrence: file handle is empty; no file to close.\n");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(statusFailed(status_));
}

}  // namespace
