// A list save that fails at any step, from the first write to the rename,
// leaves the old list whole and nothing beside it; a failed load tells the
// entry it could not read.
#include <cerrno>
#include <functional>
#include <optional>

#include "platform/file_replace.h"
#include "snf/list_files.h"
#include "snf/list_files_io.h"
#include "tests/snf/list_files_test_support.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/status_entries.h"

namespace {

using namespace listtest;
using testsupport::Entries;
using testsupport::FaultyFileOps;
using testsupport::FileOpKind;
using testsupport::statusEntries;

// Fails the replacing rename or the directory sync, as a test asks.
struct ReplaceFaults {
    static inline int replaceError = 0;
    static inline int syncError = 0;
    static int replace(const char* from, const char* to) {
        return replaceError != 0 ? replaceError : platform::systemReplaceOps().replace(from, to);
    }
    static int sync(const char* directory) {
        return syncError != 0 ? syncError : platform::systemReplaceOps().syncDirectory(directory);
    }
    ReplaceFaults() { platform::installReplaceOps(&ops); }
    ~ReplaceFaults() {
        platform::installReplaceOps(nullptr);
        replaceError = syncError = 0;
    }
    platform::ReplaceOps ops{replace, sync};
};

class ListFileFaults : public ListFileTest {
protected:
    void SetUp() override {
        ListFileTest::SetUp();
        // One entry a block: a write for each.
        setListFileBlockBytes(2048);
    }
    void TearDown() override {
        setListFileBlockBytes(0);
        ListFileTest::TearDown();
    }

    // A list of count destinations whose names start with prefix.
    static std::unique_ptr<StoreList> storeList(std::uint32_t count, const char* prefix) {
        auto table = newStoreList();
        for (std::uint32_t i = 0; i < count; ++i) {
            table->slots[i] = storeEntry({.fileName = prefix + std::to_string(i), .node = prefix + std::to_string(i),
                                          .service = "SVC"});
        }
        table->highestEntry = count;
        return table;
    }
    Entries save(StoreList& table) {
        StatusBlock status;
        saveStoreList(table, storeFile_.c_str(), status);
        return statusEntries(status);
    }
};

TEST_F(ListFileFaults, ASaveInterruptedAtAnyStepLeavesTheOldList) {
    auto old = storeList(5, "old");
    ASSERT_EQ(save(*old), Entries{});
    const Bytes oldBytes = fileBytes(storeFile_);
    auto fresh = storeList(9, "new");
    int writes = 0;
    {
        FaultyFileOps counting;
        ASSERT_EQ(save(*fresh), Entries{});
        writes = counting.calls(FileOpKind::Write);
    }
    const Bytes newBytes = fileBytes(storeFile_);
    ASSERT_EQ(writes, 9) << "the header with the first entry, then one write an entry";

    struct Case {
        std::string what;
        std::function<void(FaultyFileOps&)> fault;
        Entries status;
        bool newInPlace = false;
    };
    std::vector<Case> cases;
    for (int n = 1; n <= writes; ++n) {
        // A write that failed counts as writing nothing: the header's code for
        // the first, an entry's for the others.
        const std::int32_t code = n == 1 ? 13063 : 13064;
        cases.push_back({"write " + std::to_string(n) + " fails",
                         [n](FaultyFileOps& f) { f.failNth(FileOpKind::Write, n, ENOSPC); },
                         {{1, ENOSPC}, {13, 13202}, {13, code}}});
        cases.push_back({"write " + std::to_string(n) + " stops after 100 bytes",
                         [n](FaultyFileOps& f) { f.shortWriteNth(n, 100); }, {{1, EIO}, {13, 13202}, {13, code}}});
    }
    cases.push_back({"the new file cannot be made", [](FaultyFileOps& f) { f.failNth(FileOpKind::Open, 1, EACCES); },
                     {{1, EACCES}, {13, 13153}, {13, 13062}}});
    cases.push_back({"the sync fails", [](FaultyFileOps& f) { f.failNth(FileOpKind::Fsync, 1, EIO); },
                     {{1, EIO}, {13, 13220}, {13, 13065}}});
    cases.push_back({"the close fails", [](FaultyFileOps& f) { f.failNth(FileOpKind::Close, 1, EIO); },
                     {{1, EIO}, {13, 13210}, {13, 13065}}});
    cases.push_back({"the rename fails", [](FaultyFileOps&) { ReplaceFaults::replaceError = EXDEV; },
                     {{1, EXDEV}, {13, 13065}}});
    cases.push_back({"the directory sync fails", [](FaultyFileOps&) { ReplaceFaults::syncError = EIO; },
                     {{1, EIO}, {13, 13220}, {13, 13065}}, true});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeBytes(storeFile_, oldBytes);
        {
            ReplaceFaults replaceFaults;
            FaultyFileOps faults;
            c.fault(faults);
            EXPECT_EQ(save(*fresh), c.status);
        }
        EXPECT_EQ(fileBytes(storeFile_), c.newInPlace ? newBytes : oldBytes);
        EXPECT_FALSE(snftest::readText(storeFile_ + ".new")) << "nothing is left beside the list";
    }
    const std::string log = this->log("zento.log");
    EXPECT_NE(log.find("facility=1 error=13, facility=13 error=13153"), std::string::npos) << "the open's failure is logged:\n" << log;
}

TEST_F(ListFileFaults, AFailedReadNamesTheEntry) {
    auto table = storeList(3, "dest");
    ASSERT_EQ(save(*table), Entries{});
    setListFileBlockBytes(2048);
    for (int n = 1; n <= 3; ++n) {
        FaultyFileOps faults;
        faults.failNth(FileOpKind::Read, n, EIO);
        auto loaded = newStoreList();
        StatusBlock status;
        loadStoreList(*loaded, storeFile_.c_str(), status);
        EXPECT_EQ(statusEntries(status), (Entries{{1, EIO}, {13, 13182}, {13, n == 1 ? 13054 : 13055}})) << n;
        EXPECT_EQ(loaded->highestEntry, 0u);
    }
}

}  // namespace
