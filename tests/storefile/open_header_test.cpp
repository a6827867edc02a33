// Start-up: header generations, the block verdicts, the forward offset check,
// DUMP's default header, and the open and close steps with their codes.
#include <cerrno>
#include <cstdio>

#include "msglib/coding.h"
#include "tests/storefile/cursor_fixture.h"
#include "tests/support/faulty_file_ops.h"

namespace {

using namespace storetest;
using testsupport::FileOpKind;
using testsupport::StoreFileBuilder;

const std::string kUnknownLines =
    "ERROR: Could not match header to any known type.\n"
    "*!* The file header is of an unknown type.  RECOVER cannot continue\n"
    "*!* If you wish emergency file recovery, please use the DUMP parameter\n"
    "*!* It is recommended that you back up your KV58 database before\n"
    "*!* attempting emergency file recovery with the DUMP parameter.\n";
const std::string kCorruptLines =
    "*!* The file header is corrupt.  RECOVER cannot continue\n"
    "*!* If you wish emergency file recovery, please use the DUMP parameter\n"
    "*!* It is recommended that you back up your KV58 database before\n"
    "*!* attempting emergency file recovery with the DUMP parameter.\n";
const std::string kDumpLines =
    "*!* Your file header is not readable.\n"
    "*!* You have specified the DUMP paramter (total message recovery).\n"
    "*!* Store and Forward will attempt to recover any readable data.\n"
    "*!* Because of this, your KV58 database may contain duplicate,\n"
    "    strange, or impossible values.\n"
    "*!* Please check your database values after this operation.\n"
    "    Default front-to-back-of-file message dumping will be used.\n";

std::string format(const char* fmt, long long a, long long b = 0) {
    char line[256];
    std::snprintf(line, sizeof line, fmt, a, b);
    return line;
}

std::string startLine(std::int64_t forward, std::int64_t last) {
    char line[128];
    std::snprintf(line, sizeof line, "Starting at location %lld, %5.2f percent of file.\n",
                  static_cast<long long>(forward),
                  static_cast<double>(static_cast<float>(forward) * 100.0f / static_cast<float>(last)));
    return line;
}

// "BAD CRC" line of a block of a type-2 header area as it now stands.
std::string badCrcLine(const std::vector<std::uint8_t>& area, int which) {
    const std::size_t at = which == 1 ? 0 : 96;
    char line[128];
    std::snprintf(line, sizeof line, "BAD CRC: CRC #%d should be %08X, file CRC #%d is %08X\n", which,
                  storeCrc({area.data() + at, 92}), which, decodeU32(area.data() + at + 92));
    return line;
}

StoreFileBuilder twoMessages(int type = 2) {
    StoreFileBuilder b(type);
    b.addMessage(testsupport::makeTestMessage(400, 1));
    b.addMessage(testsupport::makeTestMessage(500, 2));
    b.describeRecords();
    return b;
}

class OpenTest : public StoreFileTest {};

TEST_F(OpenTest, NewType2FilePrintsTheFullStartUp) {
    StoreFileBuilder b;
    b.zeroFillTo(4096);
    const std::string out = openFile(b);
    EXPECT_EQ(out,
              "File opened.\n"
              "Found non-zero revision number 2\n"
              "Checking store file header blocks, size=92\n"
              "Header read in ok.\n"
              "Processing file header type 2\n"
              "File header type 2 detected and read.  Processing file.\n"
              "Starting at location 192, 100.00 percent of file.\n");
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_EQ(ctx_.headerType, 2);
    EXPECT_EQ(ctx_.fileSize, 4096);
}

TEST_F(OpenTest, OlderGenerationsAreConvertedAndKeepLastMsgOffset) {
    for (int type : {0, 1}) {
        SCOPED_TRACE(type);
        RecoverContext fresh;
        fresh.storeFileName = path_;
        std::swap(ctx_, fresh);
        if (fresh.storeFileHandle >= 0) closeStoreFileHandle(fresh.storeFileHandle, status_);
        StoreFileBuilder b = twoMessages(type);
        b.header().maxSize = 3;
        const std::int64_t end = b.end();
        const std::string out = openFile(b);
        const std::string s = type == 0 ? "64" : "68";
        EXPECT_EQ(out, "File opened.\nChecking store file header blocks, size=" + s +
                           "\nHeader read in ok.\nProcessing file header type " + std::to_string(type) +
                           "\nFile header type " + std::to_string(type) +
                           " detected and read.  Processing file.\n" + startLine(b.dataStart(), end));
        EXPECT_EQ(ctx_.headerType, type);
        EXPECT_EQ(ctx_.header.forwardOffset, b.dataStart());
        EXPECT_EQ(ctx_.header.lastOffset, end);
        EXPECT_EQ(ctx_.header.msgCount, 2u);
        EXPECT_EQ(ctx_.header.maxSize, 3u);
        EXPECT_EQ(ctx_.header.lastMsgOffset, 0);  // no place for it in these layouts
    }
}

TEST(DetectHeaderType, RevisionFirstThenTheNewestMatchingMagic) {
    struct Case {
        std::uint32_t revision;
        std::vector<std::size_t> magicAt;
        std::int32_t type;
        const char* line;
    };
    const Case cases[] = {
        {1, {}, 1, "Found non-zero revision number 1\n"},
        {2, {}, 2, "Found non-zero revision number 2\n"},
        {0, {68}, 0, ""},
        {0, {72}, 1, ""},
        {3, {68, 96}, 2, ""},
        {0, {}, -1, "ERROR: Could not match header to any known type.\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> area(kHeaderAreaRead, 0);
        encodeU32(area.data() + 4, c.revision);
        for (std::size_t at : c.magicAt) encodeU32(area.data() + at, kStoreMagic);
        std::int32_t type = 0;
        EXPECT_EQ(captured([&] { type = detectHeaderType(area); }), c.line);
        EXPECT_EQ(type, c.type) << c.revision;
    }
}

// Every row of the start-up decision table, without and with DUMP.
TEST_F(OpenTest, DecisionTable) {
    struct Row {
        const char* name;
        std::function<void(const std::string&)> damage;
        // Lines after "File opened." up to the header verdict's consequences.
        std::function<std::string(const std::vector<std::uint8_t>&)> checkLines;
        bool usable;
        std::int64_t forwardWhenUsable;
    };
    const StoreFileBuilder base = twoMessages();
    const std::int64_t second = base.recordOffsets()[1];
    const std::string checking = "Found non-zero revision number 2\nChecking store file header blocks, size=92\n";
    const std::string processing = "Processing file header type 2\n";
    const Row rows[] = {
        {"unknown type", [](const std::string& p) { testsupport::setWord32(p, 4, 0); testsupport::setWord32(p, 96, 0); },
         [](const auto&) { return std::string(); }, false, 0},
        {"verdict 0", [](const std::string&) {},
         [&](const auto&) { return checking + "Header read in ok.\n" + processing; }, true, 192},
        {"verdict 1: backup used",
         [&](const std::string& p) { testsupport::setWord64(p, 64, static_cast<std::uint64_t>(second)); },
         [&](const auto& a) { return checking + badCrcLine(a, 1) + "Primary block bad.\n" + processing; }, true, 192},
        {"verdict 2: primary used",
         [&](const std::string& p) { testsupport::setWord64(p, 96 + 64, static_cast<std::uint64_t>(second)); },
         [&](const auto& a) { return checking + badCrcLine(a, 2) + "Header backup block bad.\n" + processing; }, true,
         192},
        {"verdict 3: both CRCs bad",
         [](const std::string& p) { testsupport::flipByte(p, 20); testsupport::flipByte(p, 96 + 20); },
         [&](const auto& a) {
             return checking + badCrcLine(a, 1) + badCrcLine(a, 2) + "Both header blocks bad.\n" + processing;
         },
         false, 0},
        {"verdict 3: good CRCs, blocks differ",
         [](const std::string& p) { testsupport::flipByte(p, 20); testsupport::fixHeaderCrcs(p, 2); },
         [&](const auto&) { return checking + "Both header blocks bad.\n" + processing; }, false, 0},
        {"forward offset at the file's length",
         [&](const std::string& p) {
             testsupport::setWord64(p, 64, static_cast<std::uint64_t>(base.end()));
             testsupport::setWord64(p, 96 + 64, static_cast<std::uint64_t>(base.end()));
             testsupport::fixHeaderCrcs(p, 2);
         },
         [&](const auto&) {
             return checking + "Header read in ok.\n" + processing +
                    format("Error: file header forward offset %lld greater than file size %lld.\n", base.end(),
                           base.end());
         },
         false, 0},
    };
    for (const Row& row : rows) {
        for (bool dump : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (dump ? " with DUMP" : ""));
            base.writeTo(path_);
            row.damage(path_);
            const std::vector<std::uint8_t> area = testsupport::readAllBytes(path_);
            RecoverContext fresh;
            fresh.storeFileName = path_;
            fresh.dumpMode = dump;
            if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
            std::swap(ctx_, fresh);

            const bool unknown = std::string(row.name) == "unknown type";
            const bool opens = row.usable || dump;
            const std::string out = openWritten(opens);
            std::string expected = "File opened.\n" + row.checkLines(area);
            if (row.usable) {
                expected += "File header type 2 detected and read.  Processing file.\n" +
                            startLine(row.forwardWhenUsable, base.end());
            } else if (!dump) {
                expected += unknown ? kUnknownLines : kCorruptLines;
            } else {
                if (unknown) expected += "ERROR: Could not match header to any known type.\n";
                expected += kDumpLines + startLine(192, base.end());
            }
            EXPECT_EQ(out, expected);
            if (opens) {
                EXPECT_FALSE(statusFailed(status_));
                EXPECT_EQ(ctx_.header.forwardOffset, row.usable ? row.forwardWhenUsable : 192);
                EXPECT_EQ(ctx_.headerType, 2);
            } else {
                EXPECT_EQ(entries(status_), unknown ? storeCodes({13512, 13411}) : storeCodes({13510, 13512, 13411}));
            }
            if (dump && !row.usable) {
                EXPECT_EQ(ctx_.header.lastOffset, base.end());
                EXPECT_EQ(ctx_.header.lastMsgOffset, base.end());
                EXPECT_EQ(ctx_.header.offset48, base.end());
                EXPECT_EQ(ctx_.header.msgCount, 0xFFFFFFFFu);
                EXPECT_EQ(ctx_.header.maxSize, 0u);
            }
        }
    }
}

TEST_F(OpenTest, NegativeForwardOffsetIsUnusable) {
    StoreFileBuilder b = twoMessages();
    b.header().forwardOffset = -5;
    const std::string out = openFile(b, false);
    EXPECT_NE(out.find("Error: file header forward offset -5 is negative.\n"), std::string::npos) << out;
    EXPECT_EQ(entries(status_), storeCodes({13510, 13512, 13411}));
}

TEST_F(OpenTest, StartPercentInSinglePrecisionAndWithoutDataEnd) {
    // 2^24 + 1 is not a float: single precision shows 1677721600.00.
    StoreFileBuilder b;
    b.header().forwardOffset = 16777217;
    b.header().lastOffset = 1;
    b.writeTo(path_);
    testsupport::truncateFile(path_, 16777300);
    EXPECT_NE(openWritten().find("Starting at location 16777217, 1677721600.00 percent of file.\n"),
              std::string::npos);

    b.header().forwardOffset = 192;
    b.header().lastOffset = 0;  // would divide by zero
    b.zeroFillTo(1000);
    EXPECT_NE(openFile(b).find("Starting at location 192, 100.00 percent of file.\n"), std::string::npos);
}

TEST_F(OpenTest, EmptyShortAndMissingFiles) {
    testsupport::writeAllBytes(path_, {});
    ctx_.readPosition = 77;
    EXPECT_EQ(openWritten(false), "File opened.\n");
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_EQ(ctx_.readPosition, 0);
    EXPECT_GE(ctx_.storeFileHandle, 0);  // left open
    closeStoreFileHandle(ctx_.storeFileHandle, status_);
    ctx_.storeFileHandle = -1;

    testsupport::writeAllBytes(path_, std::vector<std::uint8_t>(391, 1));
    EXPECT_EQ(openWritten(false), "File opened.\n");
    const auto short_ = entries(status_);
    ASSERT_GE(short_.size(), 2u);
    EXPECT_EQ(std::vector<Entry>(short_.end() - 2, short_.end()), storeCodes({13512, 13411}));
    closeStoreFileHandle(ctx_.storeFileHandle, status_);
    ctx_.storeFileHandle = -1;

    ctx_.storeFileName = home_.file("missing.SVC");
    EXPECT_EQ(openWritten(false), "");
    EXPECT_EQ(entries(status_), storeCodes({13161, 13408}));
}

TEST_F(OpenTest, IoFaultsGiveTheirCodes) {
    struct Fault {
        FileOpKind kind;
        int nth;
        std::vector<Entry> codes;
    };
    const Fault faults[] = {
        {FileOpKind::Open, 1, {{1, EACCES}, {13, 13153}, {13, 13408}}},
        {FileOpKind::Seek, 1, {{1, EIO}, {13, 13154}, {13, 13410}}},
        {FileOpKind::Seek, 2, {{1, EIO}, {13, 13159}, {13, 13511}, {13, 13411}}},
        {FileOpKind::Read, 1, {{1, EIO}, {13, 13182}, {13, 13512}, {13, 13411}}},
    };
    twoMessages().writeTo(path_);
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.codes.back().second);
        if (ctx_.storeFileHandle >= 0) closeStoreFileHandle(ctx_.storeFileHandle, status_);
        ctx_.storeFileHandle = -1;
        testsupport::FaultyFileOps ops;
        ops.failNth(f.kind, f.nth, f.kind == FileOpKind::Open ? EACCES : EIO);
        openWritten(false);
        EXPECT_EQ(entries(status_), f.codes);
    }
}

TEST_F(OpenTest, DumpAssumesTwoGigabytesWhenTheLengthIsUnknown) {
    StoreFileBuilder b = twoMessages();
    b.writeTo(path_);
    testsupport::setWord32(path_, 4, 0);
    testsupport::setWord32(path_, 96, 0);
    ctx_.dumpMode = true;
    testsupport::FaultyFileOps ops;
    ops.failNth(FileOpKind::Seek, 3, EIO);  // size, seek to 0, then the default header's size query
    const std::string out = openWritten();
    EXPECT_NE(out.find("*!* Cannot find the length of your file!  Assuming size=2Gb\n"), std::string::npos);
    EXPECT_EQ(ctx_.header.lastOffset, 2147483647);
    EXPECT_EQ(ctx_.fileSize, b.end());
}

TEST_F(OpenTest, MasterFileCloseReportsEachOutcome) {
    twoMessages().writeTo(path_);
    openWritten();
    {
        testsupport::FaultyFileOps ops;
        ops.failNth(FileOpKind::Close, 1, EIO);
        bool closed = true;
        EXPECT_EQ(captured([&] { closed = MasterFileClose(ctx_, status_); }),
                  "Executing MasterFileClose.\nError closing file.\n");
        EXPECT_FALSE(closed);
        EXPECT_EQ(entries(status_), storeCodes({13456}));
    }
    bool closed = false;
    EXPECT_EQ(captured([&] { closed = MasterFileClose(ctx_, status_); }), "Executing MasterFileClose.\n");
    EXPECT_TRUE(closed);
    EXPECT_EQ(ctx_.storeFileHandle, -1);
    EXPECT_EQ(captured([&] { closed = MasterFileClose(ctx_, status_); }),
              "Executing MasterFileClose.\nStrange occurrence: file handle is empty; no file to close.\n");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(statusFailed(status_));
}

}  // namespace
