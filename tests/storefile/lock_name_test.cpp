#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storefile/file_handle.h"
#include "tests/support/file_damage.h"
#include "tests/support/lock_probe.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using testsupport::lockHeldElsewhere;
using testsupport::locksHeldElsewhere;
using testsupport::statusEntries;

TEST(LockName, TextBehindTheLastDot) {
    struct Case {
        const char* path;
        const char* name;
    } cases[] = {
        {"C:/store/ZENTO_STORE_NODE1.DLGP1", "DLGP1"},
        {"/var/zento/ZENTO_SCAN_LIST.DLGP1", "DLGP1"},
        {"no-extension", "no-extension"},
        {"a.b.c", "c"},
        {"ends-in-dot.", ""},
        {"", ""},
        {"/dir.d/file", "d/file"},
    };
    for (const Case& c : cases) EXPECT_EQ(lockNameOf(c.path), c.name) << c.path;
}

class NameLockTest : public testsupport::TempHomeTest {
protected:
    std::int32_t open(const std::string& name) {
        const std::string path = home_.file(name);
        testsupport::writeAllBytes(path, std::vector<std::uint8_t>{0});
        StatusBlock status;
        const std::int32_t h = zento_s_file_open(path.c_str(), kOpenReadWrite, status);
        EXPECT_GE(h, 0) << name;
        return h;
    }
    void close(std::int32_t h) {
        StatusBlock status;
        closeStoreFileHandle(h, status);
        EXPECT_TRUE(statusEntries(status).empty());
    }
};

TEST_F(NameLockTest, SameExtensionSharesOneLock) {
    const std::int32_t store = open("ZENTO_STORE_N1.lkshare");
    const std::int32_t list = open("ZENTO_SCAN_LIST.lkshare");
    const std::int32_t other = open("ZENTO_STORE_N1.lkother");
    EXPECT_EQ(locksHeldElsewhere({"lkshare", "lkother"}), (std::vector<bool>{true, true}));
    close(store);
    EXPECT_EQ(locksHeldElsewhere({"lkshare", "lkother"}), (std::vector<bool>{true, true}));
    close(other);
    EXPECT_EQ(locksHeldElsewhere({"lkshare", "lkother"}), (std::vector<bool>{true, false}));
    close(list);
    EXPECT_FALSE(lockHeldElsewhere("lkshare"));
}

TEST_F(NameLockTest, ManyLongAndEmptyNamesNeverShare) {
    // More than 32 names, names that agree in their first 31 characters or
    // more, and the empty name of a path ending in '.'.
    std::vector<std::string> names;
    const std::string prefix(40, 'L');
    for (int i = 0; i < 36; ++i) names.push_back(prefix + std::to_string(i));
    names.push_back(prefix);
    names.push_back(prefix.substr(0, 31));
    names.push_back("");

    std::vector<std::int32_t> handles;
    for (const std::string& name : names) handles.push_back(open("f." + name));
    EXPECT_EQ(locksHeldElsewhere(names), std::vector<bool>(names.size(), true));

    // Each close frees exactly its own name.
    for (std::size_t closing = 0; closing < names.size(); closing += 9) {
        close(handles[closing]);
        const std::vector<bool> held = locksHeldElsewhere(names);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const bool closedSoFar = i <= closing && i % 9 == 0;
            EXPECT_EQ(held[i], !closedSoFar) << "name " << i << " after closing " << closing;
        }
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i % 9 != 0) close(handles[i]);
    }
    EXPECT_EQ(locksHeldElsewhere(names), std::vector<bool>(names.size(), false));
}

TEST_F(NameLockTest, AcquireAndReleaseByPath) {
    StatusBlock status = testsupport::dirtyStatus();
    acquireNameLock("whatever/file.lkdirect", status);
    EXPECT_TRUE(statusEntries(status).empty());
    acquireNameLock("another.lkdirect", status);
    EXPECT_TRUE(lockHeldElsewhere("lkdirect"));
    releaseNameLock("x.lkdirect", status);
    EXPECT_TRUE(lockHeldElsewhere("lkdirect")) << "taken twice, released once";
    releaseNameLock("x.lkdirect", status);
    EXPECT_FALSE(lockHeldElsewhere("lkdirect"));
    releaseNameLock("never.lkunknown", status);
    EXPECT_TRUE(statusEntries(status).empty());
}

TEST(NameLockFailure, OpenRefusedWithoutItsLock) {
    testsupport::TempHome home;
    const std::string path = home.file("data.lknohome");
    testsupport::writeAllBytes(path, std::vector<std::uint8_t>{0});
    const std::string notADirectory = home.file("plain");
    testsupport::writeAllBytes(notADirectory, std::vector<std::uint8_t>{0});
    ::setenv("ZENTO_HOME", notADirectory.c_str(), 1);

    StatusBlock status;
    EXPECT_EQ(zento_s_file_open(path.c_str(), kOpenReadWrite, status), -1);
    ASSERT_EQ(statusEntries(status).size(), 2u);
    EXPECT_EQ(statusEntries(status)[0].first, 1);
    EXPECT_GT(statusEntries(status)[0].second, 0);
    EXPECT_EQ(statusEntries(status)[1], (testsupport::Entry{13, 13153}));
}

}  // namespace
