// Store file configuration: loading from the registry and the deprecated
// file, the file's lines whatever bytes they hold, the registry writes and
// their lines, the cached getters, the DLGP address and the file names.
#include "snf/snf_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>

#include "msglib/msglib.h"
#include "platform/registry.h"
#include "snf/snf_codes.h"
#include "tests/snf/snf_test_support.h"
#include "tests/support/status_entries.h"

namespace {

using testsupport::Entries;
using testsupport::statusEntries;

constexpr const char* kServiceKey = "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG";
const std::string kClientKey = std::string(kServiceKey) + "\\client1";

class SnfConfig : public snftest::SnfTest {
protected:
    void SetUp() override {
        SnfTest::SetUp();
        resetSnfCfgState();
        const AddressRecord dlgp = makeAddress("NODE1", "SVC");
        SetDlgpAddress(&dlgp);
    }
    void TearDown() override { resetSnfCfgState(); }

    const AddressRecord client_ = makeAddress("client1", "ANY");
    std::string cfgFile() const { return home_.file("data/ZENTO_SCANNER_SVC.CFG"); }
    static std::optional<std::uint32_t> reg(const char* name) { return snftest::registryDword(kClientKey, name); }
    // The kernel log's lines of one tag: "[tag] [text]" each.
    bool logged(const std::string& tag, const std::string& text) const {
        return log("kernel.log").find("[" + tag + "] [" + text + "]") != std::string::npos;
    }
};

struct LoadCase {
    const char* what;
    std::optional<std::string> file;
    std::optional<std::uint32_t> regSize, regPeriod;
    std::int32_t size, period;                      // current values after
    std::optional<std::uint32_t> afterSize, afterPeriod;  // in the registry after
    std::vector<std::string> lines;                 // logged under SVC, "%F" for the file's name
};

TEST_F(SnfConfig, LoadTakesTheRegistryThenTheFileThenTheDefaults) {
    const LoadCase cases[] = {
        {"nothing anywhere", std::nullopt, std::nullopt, std::nullopt, 0, 86400, 0, 86400,
         {"Warning: No store file configuration file=[%F] or registry value for MaxSize, assumming program "
          "default=[0] for requesting node = [client1]",
          "Warning: No store file configuration file=[%F] or registry value for MaxPeriod, assumming program "
          "default=[86400] for requesting node=[client1]"}},
        {"registry complete", std::nullopt, 10, 20, 10, 20, 10, 20, {}},
        {"period without size counts as absent", std::nullopt, std::nullopt, 20, 0, 86400, 0, 86400,
         {"assumming program default=[86400] for requesting node=[client1]"}},
        {"all bits set counts as absent", std::nullopt, 0xFFFFFFFFu, 20, 0, 20, 0, 20,
         {"Warning: No store file configuration file=[%F] assumed registry value for MaxPeriod = [20] for "
          "requesting node=[client1]"}},
        {"file and complete registry", "[SVC]\nmax_size=5\n", 10, 20, 10, 20, 10, 20,
         {"Warning: store file configuration %F deprecated, assumed registry values for requesting "
          "node=[client1]. MaxSize=[10], MaxPeriod=[20]",
          "Store file configuration %F has been removed, assumed registry values. MaxSize=[10], MaxPeriod=[20] for "
          "requesting node=[client1]"}},
        {"file converted", "[SVC]\nmax_size=500\nmax_period=01:30:00\n", std::nullopt, std::nullopt, 500, 5400, 500,
         5400,
         {"Warning: Converting Store file configuration value in file [%F], MaxSize=[500] to a registry value for "
          "requesting node=[client1]",
          "Warning: Converting Store file configuration value in file [%F], MaxPeriod=[5400] to a registry value "
          "for requesting node=[client1]"}},
        {"registry size overrides", "[SVC]\nmax_size=500\n", 7, std::nullopt, 7, 86400, 7, 86400,
         {"Warning: Overriding Store file configuration value in file [%F], MaxSize=[500] with registry value=[7] "
          "for requesting node=[client1]"}},
        {"blank before =: reading stops", "[SVC]\nmax_period=0:10:0\nmax_size =500\nmax_size=7\n", std::nullopt,
         std::nullopt, 0, 600, 0, 600, {}},
        {"sections before and after", "[SVCX]\nmax_size=1\n[SVC]\nmax_size=2\n[NEXT]\nmax_size=3\n", std::nullopt,
         std::nullopt, 2, 86400, 2, 86400, {}},
        {"written on Windows", "[SVC]\r\n\r\nmax_size=12\r\nmax_period=1:2:3\r\n", std::nullopt, std::nullopt, 12,
         3723, 12, 3723, {}},
        {"0xFF ends the file", "[SVC]\nmax_size=5\xFFmax_period=1:0:0\n", std::nullopt, std::nullopt, 5, 86400, 5,
         86400, {}},
        {"NUL ends the line's text", std::string("[SVC]\nmax_size=6\0 9\nmax_period=", 31) + "0:0:9", std::nullopt,
         std::nullopt, 6, 9, 6, 9, {}},
        {"numbers saturate", "[SVC]\nmax_size=99999999999999999999\nmax_period=99999999999:99999999999:9\n",
         std::nullopt, std::nullopt, INT_MAX, INT_MAX, 0x7FFFFFFFu, 0x7FFFFFFFu, {}},
        {"no '=': value kept; then an empty period", "[SVC]\nmax_size\nmax_period=\n", std::nullopt, std::nullopt,
         0, 0, 0, 0, {}},
        {"long lines come in pieces", "[SVC]\n" + std::string(600, 'x') + "\nmax_size=4\n", std::nullopt,
         std::nullopt, 0, 86400, 0, 86400, {}},
        {"a section without ']' ends the reading", "[SVC\nmax_size=4\n", std::nullopt, std::nullopt, 0, 86400, 0,
         86400, {}},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.what);
        resetSnfCfgState();
        const AddressRecord dlgp = makeAddress("NODE1", "SVC");
        SetDlgpAddress(&dlgp);
        platform::regDeleteTree(platform::registryLocalMachine(), "Software\\Norvane");
        ::unlink(home_.file("log/kernel.log").c_str());
        if (c.regSize) snftest::setRegistryDword(kClientKey, "MaxSize", *c.regSize);
        if (c.regPeriod) snftest::setRegistryDword(kClientKey, "MaxPeriod", *c.regPeriod);
        ClientEnvironmentDirectory();  // makes the directory
        if (c.file) snftest::writeText(cfgFile(), *c.file);
        StatusBlock status = testsupport::dirtyStatus();
        LoadSnfCfg(client_, status);
        EXPECT_FALSE(statusFailed(status));
        EXPECT_EQ(GetSnfMaxSize(client_), c.size);
        EXPECT_EQ(GetSnfMaxPeriod(client_), c.period);
        EXPECT_EQ(reg("MaxSize"), c.afterSize);
        EXPECT_EQ(reg("MaxPeriod"), c.afterPeriod);
        EXPECT_FALSE(snftest::readText(cfgFile())) << "the file is converted once and removed";
        const std::string logText = log("kernel.log");
        for (std::string line : c.lines) {
            for (std::size_t at; (at = line.find("%F")) != std::string::npos;) line.replace(at, 2, cfgFile());
            EXPECT_NE(logText.find(line), std::string::npos) << line << "\n---\n" << logText;
        }
        if (c.regSize && c.regPeriod && *c.regSize != 0xFFFFFFFFu) {
            EXPECT_EQ(logText.find("key value="), std::string::npos) << "a complete registry is not written";
        }
    }
}

TEST_F(SnfConfig, AFileAbsentOnceIsNotLookedForAgainButASaveRemovesIt) {
    StatusBlock status;
    LoadSnfCfg(client_, status);
    snftest::writeText(cfgFile(), "[SVC]\nmax_size=99\n");
    LoadSnfCfg(client_, status);
    EXPECT_EQ(GetSnfMaxSize(client_), 0);
    EXPECT_TRUE(snftest::readText(cfgFile()));
    SaveSnfCfg(client_, status);
    EXPECT_FALSE(statusFailed(status));
    EXPECT_FALSE(snftest::readText(cfgFile()));
    EXPECT_TRUE(logged("SVC", "Store file configuration " + cfgFile() +
                                  " file has been removed during a save, new values will be saved to registry. "
                                  "MaxSize=[0], MaxPeriod=[86400]"));
}

TEST_F(SnfConfig, ARequestIsAppliedSavedAndCached) {
    std::array<std::uint8_t, kSnfRequestSize> body{};
    encodeI32(body.data() + 4, 7);
    encodeI32(body.data() + 8, 700);
    encodeI32(body.data() + 12, 3600);
    StatusBlock status = testsupport::dirtyStatus();
    UpdateSnfCfg(body, client_, status);
    EXPECT_EQ(statusEntries(status), Entries{});
    EXPECT_EQ(GetSnfRequestWord(), 7);
    EXPECT_EQ(reg("MaxSize"), 700u);
    EXPECT_EQ(reg("MaxPeriod"), 3600u);
    EXPECT_TRUE(logged("WriteRegSnfCfg", "Modifying key value=[" + kClientKey +
                                             "\\MaxSize] = [700] Old=[0] for client node=[client1]"));

    const std::uint64_t calls = platform::registryCallCount();
    const AddressRecord upper = makeAddress("CLIENT1", "");
    EXPECT_EQ(GetSnfMaxSize(upper), 700);
    EXPECT_EQ(GetSnfMaxPeriod(client_), 3600);
    EXPECT_EQ(platform::registryCallCount(), calls) << "the requesting client is cached";

    // Another client's values come from the registry once, and a load for a
    // third one does not pass its values off as the second's.
    snftest::setRegistryDword(std::string(kServiceKey) + "\\client2", "MaxSize", 2);
    snftest::setRegistryDword(std::string(kServiceKey) + "\\client2", "MaxPeriod", 22);
    const AddressRecord client2 = makeAddress("client2", ""), client3 = makeAddress("client3", "");
    EXPECT_EQ(GetSnfMaxSize(client2), 2);
    const std::uint64_t once = platform::registryCallCount();
    EXPECT_EQ(GetSnfMaxPeriod(client2), 22);
    EXPECT_EQ(platform::registryCallCount(), once);
    LoadSnfCfg(client3, status);
    EXPECT_EQ(GetSnfMaxSize(client2), 2);
    EXPECT_EQ(GetSnfMaxPeriod(client2), 22);
}

TEST_F(SnfConfig, WritesOnlyChangedValues) {
    StatusBlock status;
    EXPECT_EQ(WriteRegSnfCfg(client_, 5, 6, status), 1);
    EXPECT_TRUE(logged("WriteRegSnfCfg",
                       "Creating key value=[" + kClientKey + "\\MaxSize] = [5] Old=[-1] for client node=[client1]"));
    ::unlink(home_.file("log/kernel.log").c_str());
    EXPECT_EQ(WriteRegSnfCfg(client_, 5, 6, status), 1);
    EXPECT_EQ(log("kernel.log"), "");
    EXPECT_EQ(WriteRegSnfCfg(makeAddress("CLIENT1", ""), 5, 8, status), 1);
    EXPECT_EQ(log("kernel.log").find("MaxSize"), std::string::npos);
    EXPECT_TRUE(logged("WriteRegSnfCfg", "Modifying key value=[Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG\\"
                                         "CLIENT1\\MaxPeriod] = [8] Old=[6] for client node=[CLIENT1]"));
    EXPECT_EQ(reg("MaxPeriod"), 8u);
}

TEST_F(SnfConfig, WithoutADlgpAddressEveryRoutineSaysSo) {
    const AddressRecord noService = makeAddress("NODE1", "");
    SetDlgpAddress(&noService);
    StatusBlock status;
    EXPECT_EQ(GetDlgpAddress(status), GetDlgpAddress(status));
    EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kDlgpIncomplete}}));
    std::int32_t size = 0, period = 0;
    EXPECT_EQ(ReadRegSnfCfg(client_, size, period, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kDlgpIncomplete}, {13, snfcode::kNoDlgp}}));
    EXPECT_EQ(size, -1);
    EXPECT_TRUE(logged("ReadRegSnfCfg", "Bad DLGP name, could not retrieve store file config in registry, assumed "
                                        "Max Size=[-1], Max Period=[-1] for client node=[client1]"));
    EXPECT_EQ(WriteRegSnfCfg(client_, 3, 4, status), 0);
    EXPECT_TRUE(logged("WriteRegSnFCfg", "Bad DLGP name, could not update store file config in registry, Max "
                                         "Size=[3], Max Period=[4], client node=[client1]"));
    struct Routine {
        const char* name;
        void (*call)(const AddressRecord&, StatusBlock&);
        Entries expected;
    };
    const Routine routines[] = {
        {"load", LoadSnfCfg, {{13, snfcode::kDlgpIncomplete}, {13, snfcode::kNoDlgp}}},
        {"save", SaveSnfCfg, {{13, snfcode::kDlgpIncomplete}, {13, snfcode::kNoDlgp}}},
    };
    for (const Routine& r : routines) {
        r.call(client_, status);
        EXPECT_EQ(statusEntries(status), r.expected) << r.name << ": the last registry write's status";
    }
    std::array<std::uint8_t, kSnfRequestSize> body{};
    UpdateSnfCfg(body, client_, status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kDlgpIncomplete}, {13, snfcode::kNoDlgp},
                                               {13, snfcode::kUpdateLoadFailed}}));
}

// A registry that cannot be read or written fails the routines with the
// database's reason in the log.
TEST_F(SnfConfig, AFaultyRegistryFailsTheCallsWithItsReason) {
    snftest::writeText(home_.file("bad.db"), std::string(4096, 'Z'));
    ::setenv("ZENTO_REGISTRY", home_.file("bad.db").c_str(), 1);
    std::int32_t size = 0, period = 0;
    StatusBlock status;
    EXPECT_EQ(ReadRegSnfCfg(client_, size, period, status), 0);
    EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kRegOpenFailed}}));
    EXPECT_NE(log("kernel.log").find("[ReadRegSnfCfg] [Error Opening key=[" + std::string(kServiceKey) + "]"),
              std::string::npos)
        << log("kernel.log");
    EXPECT_NE(log("kernel.log").find("[ReadRegSnfCfg] [registry database [" + home_.file("bad.db") +
                                     "]: opening failed: file is not a database]"),
              std::string::npos);
    EXPECT_EQ(WriteRegSnfCfg(client_, 1, 2, status), 0);
    LoadSnfCfg(client_, status);
    EXPECT_EQ(statusEntries(status), (Entries{{13, snfcode::kRegOpenFailed}}));
    EXPECT_EQ(GetSnfMaxSize(client_), 0) << "the values stay the defaults";
    ::unsetenv("ZENTO_REGISTRY");
}

TEST_F(SnfConfig, PeriodsAndLinesOfAnyBytes) {
    struct Period {
        const char* text;
        std::int32_t seconds;
        Entries status;
    };
    const Period periods[] = {
        {"01:30:00", 5400, {}},
        {":::1:2:3", 3723, {}},
        {"1:30", 5400, {}},
        {"1:2:3:4", 3723, {}},
        {"-1:0:0", -3600, {}},
        {"99999999999:0:0", INT_MAX, {}},
        {"-99999999999:-99999999999:0", INT_MIN, {}},
        {"", 0, {{13, snfcode::kPeriodEmpty}}},
        {":::", 0, {{13, snfcode::kPeriodEmpty}}},
        {"5400", 0, {{13, snfcode::kPeriodNoMinutes}}},
        {"5::7", 0, {{13, snfcode::kPeriodNoMinutes}}},
    };
    for (const Period& p : periods) {
        StatusBlock status = testsupport::dirtyStatus();
        EXPECT_EQ(ParseCfgPeriod(p.text, status), p.seconds) << p.text;
        EXPECT_EQ(statusEntries(status), p.status) << p.text;
    }

    const std::string path = home_.file("lines");
    snftest::writeText(path, std::string("ab\r\n\r\nabcdefg\nx\r\x00y\nlast\xFFnext", 28));
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct Line {
        std::int32_t capacity;
        std::string text;
        std::int32_t result;
    };
    const Line lines[] = {{256, "ab", 0}, {256, "", 0},      {4, "abcd", 0}, {4, "efg", 0},
                          {256, "x\r", 0}, {256, "last", 1}, {256, "next", 1}, {0, "", 1}};
    for (const Line& l : lines) {
        char buffer[300];
        std::memset(buffer, '#', sizeof buffer);
        StatusBlock status;
        EXPECT_EQ(ReadCfgLine(fd, buffer, l.capacity, status), l.result) << l.text;
        EXPECT_EQ(std::string(buffer), l.text);
        EXPECT_EQ(buffer[l.capacity + 1], '#') << "nothing written past capacity + 1";
    }
    ::close(fd);
}

TEST_F(SnfConfig, FileNames) {
    const AddressRecord dotted = makeAddress("10.1.2.3", "SVC");
    const std::string data = home_.file("data/");
    struct Case {
        const char* storeDirectory;
        std::string storeFile;
    };
    for (const Case& c : {Case{"", data + "ZENTO_STORE_10_1_2_3.SVC"}, Case{"/srv/store", "/srv/store/ZENTO_STORE_10_1_2_3.SVC"},
                          Case{"/srv/store/", "/srv/store/ZENTO_STORE_10_1_2_3.SVC"}}) {
        SetStoreDirectory(c.storeDirectory);
        EXPECT_EQ(std::string(StoreFileName(dotted)), c.storeFile);
    }
    // A name too long for its 1,024 bytes is cut as a formatted line is cut.
    for (const std::size_t length : {1000u, 1010u, 1022u, 1023u}) {
        const std::string store = "/" + std::string(length - 1, 's');
        SetStoreDirectory(store.c_str());
        EXPECT_EQ(std::string(StoreFileName(dotted)), (store + "/ZENTO_STORE_10_1_2_3.SVC").substr(0, 1023)) << length;
    }
    SetStoreDirectory("/srv/store/");
    std::array<char, kStoreDirectorySize> directory{};
    GetStoreDirectory(directory);
    EXPECT_STREQ(directory.data(), "/srv/store/");
    EXPECT_EQ(std::string(SnfCfgFileName(dotted)), data + "ZENTO_SCANNER_SVC.CFG");
    EXPECT_EQ(std::string(ScanListFileName(dotted)), data + "ZENTO_SCAN_LIST.SVC");
    EXPECT_EQ(std::string(UnsolListFileName(dotted)), data + "ZENTO_UNSOL_LIST.SVC");
    EXPECT_EQ(std::string(StoreListFileName(dotted)), data + "ZENTO_STORE_LIST.SVC");

    ::setenv("ZENTO_DATA_DIR", home_.file("elsewhere/deeper").c_str(), 1);
    std::array<char, kClientEnvironmentSize> record;
    record.fill('#');
    ZENTO_CLIENT_ENVIRONMENT(record);
    EXPECT_STREQ(record.data() + kClientDirectoryOffset, home_.file("elsewhere/deeper/").c_str());
    EXPECT_EQ(::access(home_.file("elsewhere/deeper").c_str(), F_OK), 0) << "made when missing";
    EXPECT_EQ(record[0], '\0');
    ::unsetenv("ZENTO_DATA_DIR");
}

}  // namespace
