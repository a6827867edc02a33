// The scan list file against byte images written out here: revision 2 saved
// and loaded with requests, deadbands and rebuilt dummy-tag copies; revision
// 1; what the loader refuses; a save failing at any write.
#include "scanlist/scan_list_file.h"

#include <set>

#include "msglib/coding.h"
#include "msglib/request_layout.h"
#include "scanlist/scan_entry.h"
#include "snf/list_files_io.h"
#include "tests/scanlist/scan_test_support.h"
#include "tests/snf/list_files_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/status_entries.h"

namespace {

using namespace listtest;
using scantest::deadbands;
using scantest::entry;
using scantest::getRequest;
using scantest::nameBlock;
using scantest::uniformTemplate;
using testsupport::Entries;
using testsupport::statusEntries;

constexpr std::uint32_t kScanSignature = 0x5A5AA5A6;

struct ScanFields {
    std::int32_t listId = 0, frequency = 0;
    std::uint32_t reserved[2] = {0, 0};
    std::string replyNode, replyService, sourceNode, sourceService;
    std::uint32_t word156 = 0, inUse = 1, flag164 = 0;
};

Bytes scanImage(const ScanFields& f, std::uint32_t requestLength) {
    Bytes image(168, 0);
    put32(image, 0, static_cast<std::uint32_t>(f.listId));
    put32(image, 4, static_cast<std::uint32_t>(f.frequency));
    put32(image, 8, f.reserved[0]);
    put32(image, 12, f.reserved[1]);
    putText(image, 16, f.replyNode);
    putText(image, 48, f.replyService);
    putText(image, 80, f.sourceNode);
    putText(image, 112, f.sourceService);
    put32(image, 152, requestLength);
    put32(image, 156, f.word156);
    put32(image, 160, f.inUse);
    put32(image, 164, f.flag164);
    return image;
}

Bytes tagsImage(std::uint32_t tagCount) {
    Bytes image(20, 0);
    put32(image, 0, tagCount);
    return image;
}

Bytes bytesOf(const Message& msg) { return Bytes(msg.data(), msg.data() + msg.size); }

const ScanFields kFirst{-7, -10, {1, 2}, "RNODE", "RSVC", "CNODE", "CSVC", 0xABCD, 1, 1};
const ScanFields kSecond{12, 50, {0, 0}, "R2", "S2", "C2", "T2", 3, 1, 9};

class ScanListFile : public ListFileTest {
protected:
    std::string scanFile_ = home_.file("ZENTO_SCAN_LIST.SVC");
    std::unique_ptr<ScanList> table_ = newScanList();
    std::unique_ptr<ScanTagArray> tags_ = newScanTagArray();
    Message request1_ = getRequest(-7, nameBlock({"TAG1", "TAG2"}), 2, uniformTemplate(2));
    Message request2_ = getRequest(12, nameBlock({"X"}), 1, uniformTemplate(1));
    Bytes deadbands1_ = deadbands({{1, 0.5f}, {2, 1.5f}});

    void put(std::uint32_t slot, const ScanFields& f, const Message& request) {
        ScanListEntry& e = table_->slots[slot];
        e.listId = f.listId;
        e.frequency = f.frequency;
        e.reserved8[0] = f.reserved[0];
        e.reserved8[1] = f.reserved[1];
        e.replyDestination = makeAddress(f.replyNode, f.replyService);
        e.requestSource = makeAddress(f.sourceNode, f.sourceService);
        allocateMessage(e.requestMsg, request.size);
        std::memcpy(e.requestMsg.data(), request.data(), request.size);
        e.requestLength = request.size;
        e.word156 = f.word156;
        e.inUse = f.inUse;
        e.flag164 = f.flag164;
    }
    // Slots 0 and 3 in use, 0 with two deadbands.
    void fill() {
        put(0, kFirst, request1_);
        put(3, kSecond, request2_);
        table_->highestEntry = 4;
        ScanEntryTags& t = (*tags_)[0];
        t.tagCount = 2;
        allocateBytes(t.deadbands, 16);
        std::memcpy(t.deadbands.data(), deadbands1_.data(), 16);
    }
    Bytes revision2() const {
        return concat({header(kScanSignature, 2, 2), scanImage(kFirst, request1_.size), bytesOf(request1_),
                       scanImage(kSecond, request2_.size), bytesOf(request2_), tagsImage(2), deadbands1_,
                       tagsImage(0)});
    }
    Entries load(std::int32_t rebuild) {
        StatusBlock status;
        loadScanList(*table_, *tags_, scanFile_.c_str(), rebuild, status);
        return statusEntries(status);
    }
};

TEST_F(ScanListFile, SavesRevisionTwoAndLoadsItWithTagStateAndDummyCopies) {
    fill();
    StatusBlock status = testsupport::dirtyStatus();
    saveScanList(*table_, *tags_, scanFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(fileBytes(scanFile_), revision2());
    const std::vector<diagtest::Filed> filed = takeFiled();
    ASSERT_EQ(filed.size(), 2u);
    EXPECT_EQ(filed[0], (diagtest::Filed{7079, "Messages to save. Open WRITE|CREATE file " + scanFile_}));
    EXPECT_EQ(filed[1].code, 7032);

    for (std::int32_t rebuild : {1, 0}) {
        SCOPED_TRACE(rebuild);
        table_ = newScanList();
        tags_ = newScanTagArray();
        ASSERT_EQ(load(rebuild), Entries{});
        EXPECT_EQ(table_->highestEntry, 2u);
        const ScanListEntry& first = table_->slots[0];
        const ScanListEntry& second = table_->slots[1];
        EXPECT_EQ(bytesOf(first.requestMsg), bytesOf(request1_));
        EXPECT_EQ(bytesOf(second.requestMsg), bytesOf(request2_));
        EXPECT_EQ(first.listId, -7);
        EXPECT_EQ(first.frequency, -10);
        EXPECT_EQ(first.reserved8[1], 2u);
        EXPECT_EQ(first.inUse, 1u);
        EXPECT_EQ(first.flag164, 1u);
        EXPECT_EQ(second.flag164, 0u) << "made 0 unless 0 or 1";
        EXPECT_EQ(first.word156, rebuild == 1 ? 0u : 0xABCDu);
        EXPECT_EQ(static_cast<bool>(first.dummyTagMsg), rebuild == 1);
        if (rebuild == 1) {
            // The copy keeps the request's bytes up to the names: its list id
            // lies where the request's does, 4 bytes before the device name.
            GetRequestView view;
            ASSERT_EQ(readGetRequest(first.requestMsg.view(), view), 0);
            const auto at = reinterpret_cast<const std::uint8_t*>(view.items.deviceName) - first.requestMsg.data() - 4;
            EXPECT_EQ(decodeI32(first.dummyTagMsg.data() + at), 7) << "the copy carries the id without its sign";
            Message expected;
            StatusBlock made;
            makeDummyTagMessage(second.requestMsg.view(), expected, made);
            ASSERT_FALSE(statusFailed(made));
            EXPECT_EQ(bytesOf(second.dummyTagMsg), bytesOf(expected)) << "the copy the scan task makes";
        }
        const ScanEntryTags& t = (*tags_)[0];
        EXPECT_EQ(t.tagCount, 2u);
        EXPECT_EQ(Bytes(t.deadbands.data(), t.deadbands.data() + t.deadbands.size), deadbands1_);
        EXPECT_EQ(t.tagStates.size, 24u);
        EXPECT_EQ(t.lastValues.size, 8u) << "two float values, as the template says";
        EXPECT_EQ((*tags_)[1].tagCount, 0u);
        EXPECT_FALSE((*tags_)[1].deadbands);
    }
}

TEST_F(ScanListFile, ATableWithNoEntryInUseRemovesTheFile) {
    for (bool fileBefore : {false, true}) {
        if (fileBefore) writeBytes(scanFile_, revision2());
        StatusBlock status;
        saveScanList(*table_, *tags_, scanFile_.c_str(), status);
        EXPECT_EQ(statusEntries(status), Entries{});
        EXPECT_FALSE(snftest::readText(scanFile_));
        const std::vector<diagtest::Filed> filed = takeFiled();
        ASSERT_EQ(filed.size(), fileBefore ? 3u : 2u);
        EXPECT_EQ(filed[0], (diagtest::Filed{7079, "No messages to save. Open READONLY file " + scanFile_}));
        if (fileBefore) {
            EXPECT_EQ(filed[1], (diagtest::Filed{7079, "No messages to save, marked delete file found " + scanFile_}));
        }
        EXPECT_EQ(filed.back().code, fileBefore ? 7033 : 7032) << "removed, or saved with nothing to save";
    }
}

TEST_F(ScanListFile, RevisionOneLoadsWithoutTagStateAndOtherHeadersAreRefused) {
    const Bytes entries = concat({scanImage(kFirst, request1_.size), bytesOf(request1_)});
    struct Case {
        const char* what;
        Bytes file;
        Entries status;
        std::uint32_t highestEntry;  // from 5
    } cases[] = {
        {"revision 1", concat({header(kScanSignature, 1, 1), entries}), {}, 1},
        {"the unsol list's signature", concat({header(0x5A5AA5A7, 2, 1), entries}), {{13, 13028}}, 5},
        {"revision 3", concat({header(kScanSignature, 3, 1), entries}), {{13, 13029}}, 5},
        {"revision 0", concat({header(kScanSignature, 0, 1), entries}), {{13, 13029}}, 5},
        {"more entries than slots", concat({header(kScanSignature, 2, 15001), entries}), {{13, 13022}}, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(scanFile_, c.file);
        table_ = newScanList();
        tags_ = newScanTagArray();
        table_->highestEntry = 5;
        (*tags_)[0].tagCount = 3;
        allocateBytes((*tags_)[0].deadbands, 24);
        EXPECT_EQ(load(0), c.status);
        EXPECT_EQ(table_->highestEntry, c.highestEntry);
        const bool loaded = c.status.empty();
        EXPECT_EQ((*tags_)[0].tagCount, loaded ? 0u : 3u);
        EXPECT_EQ(static_cast<bool>((*tags_)[0].deadbands), !loaded);
    }
}

// Nothing is allocated for what the file cannot hold, and a slot keeps no
// tag state that its request does not have.
TEST_F(ScanListFile, LoaderRefusals) {
    const Bytes first = concat({scanImage(kFirst, request1_.size), bytesOf(request1_)});
    Message bigValues = getRequest(1, nameBlock({"A"}), 1, {entry(kDescStruct, 1), entry(kDescChars, 20u << 20)});
    struct Case {
        const char* what;
        Bytes file;
        Entries status;
        std::uint32_t highestEntry;  // from 5
    } cases[] = {
        {"a request longer than the rest of the file",
         concat({header(kScanSignature, 2, 1), scanImage(kFirst, 0x7FFFFFF0), bytesOf(request1_)}),
         {{13, 13182}, {1, 0}, {13, 13025}}, 5},
        {"a request cut short",
         concat({header(kScanSignature, 2, 1), scanImage(kFirst, request1_.size), Bytes(10, 1)}),
         {{13, 13182}, {1, 0}, {13, 13025}}, 5},
        {"deadbands beyond the file", concat({header(kScanSignature, 2, 1), first, tagsImage(0x40000000)}),
         {{13, 13182}, {1, 0}, {13, 13610}}, 1},
        {"a request that does not parse",
         concat({header(kScanSignature, 2, 1), scanImage(kFirst, 300), Bytes(300, 0x55), tagsImage(0)}),
         {{8, 8002}, {8, 8018}, {13, 13606}}, 1},
        {"values larger than any message carries",
         concat({header(kScanSignature, 2, 1), scanImage(kFirst, bigValues.size), bytesOf(bigValues), tagsImage(1),
                 Bytes(8, 0)}),
         {{13, 13608}}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(scanFile_, c.file);
        table_ = newScanList();
        tags_ = newScanTagArray();
        table_->highestEntry = 5;
        EXPECT_EQ(load(0), c.status);
        EXPECT_EQ(table_->highestEntry, c.highestEntry);
        EXPECT_EQ((*tags_)[0].tagCount, 0u);
        EXPECT_FALSE((*tags_)[0].deadbands);
    }
    // Rebuilding, a request that does not parse fails at its dummy-tag copy.
    writeBytes(scanFile_, concat({header(kScanSignature, 2, 1), scanImage(kFirst, 300), Bytes(300, 0x55)}));
    EXPECT_EQ(load(1), (Entries{{8, 8002}, {8, 8018}, {13, 13072}, {13, 13030}}));
}

TEST_F(ScanListFile, ASaveFailingAtAnyWriteLeavesTheOldList) {
    fill();
    // Deadbands longer than a block, so that a block starts inside them.
    ScanEntryTags& t = (*tags_)[0];
    t.tagCount = 1000;
    allocateBytes(t.deadbands, 8000);
    StatusBlock status;
    saveScanList(*table_, *tags_, scanFile_.c_str(), status);
    ASSERT_FALSE(statusFailed(status));
    const Bytes old = fileBytes(scanFile_);
    table_->slots[0].listId = 99;
    setListFileBlockBytes(2048);
    int writes = 0;
    {
        testsupport::FaultyFileOps counting;
        saveScanList(*table_, *tags_, scanFile_.c_str(), status);
        writes = counting.calls(testsupport::FileOpKind::Write);
    }
    ASSERT_GE(writes, 3);
    std::set<std::int32_t> codes;
    for (int n = 1; n <= writes; ++n) {
        writeBytes(scanFile_, old);
        testsupport::FaultyFileOps faults;
        faults.failNth(testsupport::FileOpKind::Write, n, EIO);
        saveScanList(*table_, *tags_, scanFile_.c_str(), status);
        ASSERT_EQ(statusEntryCount(status), 3) << n;
        codes.insert(lastErrorCode(status));
        EXPECT_EQ(fileBytes(scanFile_), old) << n;
    }
    setListFileBlockBytes(0);
    EXPECT_EQ(codes.count(13013), 1u) << "the first write holds the header";
    EXPECT_EQ(codes.count(13604), 1u) << "a block that starts inside deadbands";
    for (std::int32_t code : codes) EXPECT_TRUE(code == 13013 || code == 13014 || code == 13015 || code >= 13603);

    // A request shorter than its recorded length is not written past.
    table_->slots[3].requestLength = request2_.size + 1;
    saveScanList(*table_, *tags_, scanFile_.c_str(), status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, 13201}, {13, 13015}}));
    EXPECT_EQ(fileBytes(scanFile_), old);
}

}  // namespace
