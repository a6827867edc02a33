// The registry over its SQLite database: Windows results, case-insensitive
// names kept as written, several processes at once, and a database that is
// corrupt, missing or locked.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/windows_errors.h"
#include "tests/support/temp_home.h"

using namespace platform;

namespace {

constexpr const char* kConfig = "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG";

class RegistryTest : public testsupport::TempHomeTest {
protected:
    void SetUp() override { ::unsetenv("ZENTO_REGISTRY"); }
    void TearDown() override {
        ::unsetenv("ZENTO_REGISTRY");
        setRegistryBusyTimeout(5000);
    }

    static RegKey create(const char* path, std::uint32_t* disposition = nullptr) {
        RegKey key = nullptr;
        std::uint32_t ignored = 0;
        EXPECT_EQ(regCreateKeyEx(registryLocalMachine(), path, kKeyAllAccess, &key,
                                 disposition != nullptr ? disposition : &ignored),
                  0)
            << registryFailureReason();
        return key;
    }
    static std::int32_t setDword(RegKey key, const char* name, std::uint32_t value) {
        return regSetValueEx(key, name, kRegDword, &value, 4);
    }
    static std::int32_t queryDword(const char* path, const char* name, std::uint32_t& value) {
        RegKey key = nullptr;
        std::int32_t rc = regOpenKeyEx(registryLocalMachine(), path, kKeyRead, &key);
        if (rc != 0) return rc;
        std::uint32_t length = 4;
        rc = regQueryValueEx(key, name, nullptr, &value, &length);
        regCloseKey(key);
        return rc;
    }
};

TEST_F(RegistryTest, KeysAndValuesAsTheWindowsCallsGiveThem) {
    std::uint32_t disposition = 0;
    RegKey config = create(kConfig, &disposition);
    EXPECT_EQ(disposition, kRegCreatedNewKey);
    EXPECT_EQ(registryDatabasePath(), home_.file("registry.db"));
    for (const char* node : {"nodeB", "NodeA", "nodec"}) regCloseKey(create((std::string(kConfig) + "\\" + node).c_str()));
    RegKey again = create("SOFTWARE\\norvane\\zen-to\\zento_scanner_svc_cfg\\NODEA", &disposition);
    EXPECT_EQ(disposition, kRegOpenedExistingKey) << "names compare without letter case";
    ASSERT_EQ(setDword(again, "maxsize", 500), 0);
    ASSERT_EQ(setDword(again, "MaxSize", 600), 0) << "the same value whatever the case";
    regCloseKey(again);

    std::uint32_t count = 0;
    ASSERT_EQ(regQuerySubkeyCount(config, &count), 0);
    EXPECT_EQ(count, 3u);
    std::vector<std::string> names;
    char name[260];
    std::uint32_t length = sizeof name;
    for (std::uint32_t i = 0; regEnumKeyEx(config, i, name, &(length = sizeof name)) == 0; ++i) names.emplace_back(name, length);
    EXPECT_EQ(names, (std::vector<std::string>{"NodeA", "nodeB", "nodec"})) << "kept as first written, in folded order";
    length = 3;
    EXPECT_EQ(regEnumKeyEx(config, 0, name, &length), kErrorMoreData);
    length = sizeof name;
    EXPECT_EQ(regEnumKeyEx(config, 3, name, &length), kErrorNoMoreItems);
    regCloseKey(config);

    std::uint32_t value = 0;
    const std::string nodeA = std::string(kConfig) + "\\nodea";
    EXPECT_EQ(queryDword(nodeA.c_str(), "MAXSIZE", value), 0);
    EXPECT_EQ(value, 600u);
    struct Missing {
        const char* path;
        const char* value;
    };
    for (const Missing& m : {Missing{nodeA.c_str(), "MaxPeriod"}, Missing{"Software\\Elsewhere", "MaxSize"}}) {
        EXPECT_EQ(queryDword(m.path, m.value, value), kErrorFileNotFound) << m.path << " " << m.value;
        EXPECT_EQ(registryFailureReason(), "") << "finding nothing is no failure";
    }
    RegKey readOnly = nullptr;
    ASSERT_EQ(regOpenKeyEx(registryLocalMachine(), nodeA.c_str(), kKeyRead, &readOnly), 0);
    EXPECT_EQ(setDword(readOnly, "MaxSize", 1), kErrorAccessDenied) << "a key opened to read";
    std::uint32_t tooSmall = 2;
    EXPECT_EQ(regQueryValueEx(readOnly, "MaxSize", nullptr, &value, &tooSmall), kErrorMoreData);
    EXPECT_EQ(tooSmall, 4u);
    ASSERT_EQ(regDeleteTree(registryLocalMachine(), "software\\norvane"), 0);
    EXPECT_EQ(regQuerySubkeyCount(readOnly, &count), kErrorKeyDeleted);
    EXPECT_EQ(setDword(readOnly, "MaxSize", 1), kErrorAccessDenied);
    regCloseKey(readOnly);
}

// Each process sets values of its own under keys both create, at once.
TEST_F(RegistryTest, TwoProcessesWritingAtOnceLoseNoValue) {
    constexpr int kWrites = 150;
    regCloseKey(create(kConfig));  // the parent opens the database before forking
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                const std::string path = std::string(kConfig) + "\\NODE" + std::to_string(i % 10);
                RegKey key = nullptr;
                std::uint32_t disposition = 0;
                if (regCreateKeyEx(registryLocalMachine(), path.c_str(), kKeyAllAccess, &key, &disposition) != 0 ||
                    setDword(key, ("v" + std::to_string(child) + "_" + std::to_string(i)).c_str(),
                             static_cast<std::uint32_t>(i)) != 0) {
                    ++failures;
                }
                regCloseKey(key);
            }
            ::_exit(failures == 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int child = 0; child < 2; ++child) {
        for (int i = 0; i < kWrites; ++i) {
            const std::string path = std::string(kConfig) + "\\node" + std::to_string(i % 10);
            std::uint32_t value = 99999;
            const std::string name = "v" + std::to_string(child) + "_" + std::to_string(i);
            ASSERT_EQ(queryDword(path.c_str(), name.c_str(), value), 0) << name;
            EXPECT_EQ(value, static_cast<std::uint32_t>(i));
        }
    }
}

TEST_F(RegistryTest, AFaultyDatabaseFailsTheCallWithItsReason) {
    // Missing: made on first use, at ZENTO_REGISTRY when that is set.
    ::setenv("ZENTO_REGISTRY", home_.file("elsewhere.db").c_str(), 1);
    regCloseKey(create("Software\\A"));
    EXPECT_EQ(::access(home_.file("elsewhere.db").c_str(), F_OK), 0);

    struct Case {
        const char* what;
        std::string path;
        std::int32_t error;
        const char* reason;
    };
    std::ofstream(home_.file("garbage.db")) << std::string(8192, '\xFF');
    const Case cases[] = {
        {"corrupt", home_.file("garbage.db"), kErrorBadDb, "not a database"},
        {"no such directory", home_.file("none/registry.db"), kErrorCantOpen, "unable to open"},
    };
    for (const Case& c : cases) {
        ::setenv("ZENTO_REGISTRY", c.path.c_str(), 1);
        RegKey key = nullptr;
        EXPECT_EQ(regOpenKeyEx(registryLocalMachine(), "Software", kKeyRead, &key), c.error) << c.what;
        EXPECT_EQ(key, nullptr);
        EXPECT_NE(registryFailureReason().find(c.reason), std::string::npos) << registryFailureReason();
        EXPECT_NE(registryFailureReason().find(c.path), std::string::npos) << registryFailureReason();
    }

    // Locked: another connection holds the write lock beyond the busy timeout.
    ::setenv("ZENTO_REGISTRY", home_.file("elsewhere.db").c_str(), 1);
    RegKey key = create("Software\\A");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(home_.file("elsewhere.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    setRegistryBusyTimeout(50);
    EXPECT_EQ(setDword(key, "x", 1), kErrorLockViolation);
    EXPECT_NE(registryFailureReason().find("locked"), std::string::npos) << registryFailureReason();
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(setDword(key, "x", 1), 0) << "the lock gone, the same key writes";
    regCloseKey(key);
}

}  // namespace
