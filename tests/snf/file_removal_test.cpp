// File removal: kinds, the rotation of backup generations as the registry
// setting asks, and a rotation that cannot finish keeping the file.
#include "snf/file_removal.h"

#include <sys/stat.h>

#include <vector>

#include "snf/snf_codes.h"
#include "tests/snf/snf_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using testsupport::Entries;
using testsupport::statusEntries;

class FileRemoval : public snftest::SnfTest {
protected:
    std::string path_ = home_.file("ZENTO_SCAN_LIST.SVC");

    std::string generation(int n) const {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "_BCK%02d", n);
        return path_ + suffix;
    }
    // The content of the file and of generations 1 to 11 ("" when absent).
    std::vector<std::string> state() const {
        std::vector<std::string> files{snftest::readText(path_).value_or("")};
        for (int n = 1; n <= 11; ++n) files.push_back(snftest::readText(generation(n)).value_or(""));
        return files;
    }
};

TEST_F(FileRemoval, KindOneRotatesAsManyGenerationsAsTheRegistrySays) {
    struct Case {
        const char* what;
        std::optional<std::uint32_t> setting;
        std::vector<int> existing;          // generations present before
        std::vector<std::string> expected;  // file, _BCK01 .. _BCK11 after
    };
    const Case cases[] = {
        {"setting absent: deleted, no copy", std::nullopt, {}, {"", "", "", "", "", "", "", "", "", "", "", ""}},
        {"3 with _BCK01 and _BCK03", 3, {1, 3}, {"", "file", "g1", "", "", "", "", "", "", "", "", ""}},
        {"1: the old copy replaced", 1, {1}, {"", "file", "", "", "", "", "", "", "", "", "", ""}},
        {"25: at most ten", 25, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
         {"", "file", "g1", "g2", "g3", "g4", "g5", "g6", "g7", "g8", "g9", ""}},
        {"top bit set: ten", 0x80000003u, {10}, {"", "file", "", "", "", "", "", "", "", "", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.setting) snftest::setRegistryDword("software\\norvane\\zen-to", "zentostorebckcopies", *c.setting);
        snftest::writeText(path_, "file");
        for (int n : c.existing) snftest::writeText(generation(n), "g" + std::to_string(n));
        StatusBlock status = testsupport::dirtyStatus();
        removeSnfFile(path_.c_str(), kSnfFileWithBackups, &status);
        EXPECT_EQ(statusEntries(status), Entries{}) << "the file gone after the rotation is no failure";
        EXPECT_EQ(state(), c.expected);
        for (int n = 1; n <= 11; ++n) ::unlink(generation(n).c_str());
    }
}

TEST_F(FileRemoval, OtherKindsOnlyDelete) {
    snftest::setRegistryDword("SOFTWARE\\Norvane\\ZEN-TO", "ZENTOStoreBckCopies", 3);
    for (std::int32_t kind : {kSnfConfigFile, kSnfScanListFile, kSnfUnsolListFile, kSnfStoreListFile, 7, -1}) {
        snftest::writeText(path_, "file");
        snftest::writeText(generation(1), "g1");
        StatusBlock status;
        removeSnfFile(path_.c_str(), kind, &status);
        EXPECT_FALSE(statusFailed(status)) << kind;
        EXPECT_EQ(state(), (std::vector<std::string>{"", "g1", "", "", "", "", "", "", "", "", "", ""})) << kind;
    }
}

TEST_F(FileRemoval, AFileThatStaysIsAFailureAMissingOneIsNot) {
    StatusBlock status = testsupport::dirtyStatus();
    removeSnfFile(path_.c_str(), kSnfConfigFile, &status);
    EXPECT_EQ(statusEntries(status), Entries{}) << "already gone";

    ASSERT_EQ(::mkdir(path_.c_str(), 0700), 0);  // cannot be deleted as a file
    removeSnfFile(path_.c_str(), kSnfStoreListFile, &status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kRemoveFailed}}));
    ::rmdir(path_.c_str());

    snftest::writeText(path_, "file");
    removeSnfFile(path_.c_str(), kSnfConfigFile, nullptr);
    EXPECT_EQ(snftest::readText(path_), "file") << "no status block: nothing done";
}

// The rotation stops where a generation cannot be moved: the copies keep
// what they hold, and the file, which no copy holds yet, stays.
TEST_F(FileRemoval, ARotationThatStopsKeepsTheFile) {
    struct Case {
        std::uint32_t copies;
        int blocked;        // generation whose name is taken by a directory
        int failedName;     // generation named in the log line
    };
    for (const Case& c : {Case{1, 1, 1}, Case{3, 3, 2}}) {
        SCOPED_TRACE(c.copies);
        snftest::setRegistryDword("SOFTWARE\\Norvane\\ZEN-TO", "ZENTOStoreBckCopies", c.copies);
        snftest::writeText(path_, "file");
        ASSERT_EQ(::mkdir(generation(c.blocked).c_str(), 0700), 0);
        snftest::writeText(generation(c.blocked) + "/inside", "x");
        if (c.failedName != c.blocked) snftest::writeText(generation(c.failedName), "older");
        StatusBlock status;
        removeSnfFile(path_.c_str(), kSnfFileWithBackups, &status);
        EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kRemoveFailed}}));
        EXPECT_EQ(snftest::readText(path_), "file");
        if (c.failedName != c.blocked) {
            EXPECT_EQ(snftest::readText(generation(c.failedName)), "older");
        }
        EXPECT_NE(log("zento.log").find("[XXX] Error renaming file " + generation(c.failedName) + "\nStatus=80"),
                  std::string::npos)
            << log("zento.log");
        ::unlink((generation(c.blocked) + "/inside").c_str());
        ::rmdir(generation(c.blocked).c_str());
        ::unlink(generation(c.failedName).c_str());
    }
}

}  // namespace
