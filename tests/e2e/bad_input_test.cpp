// Command lines and store files a recovery cannot use, run as the program
// itself: each ends with a clear line and exit code 1, a service name never
// becomes a file outside ZENTO_HOME/run, and a store file path with odd bytes
// that names a real file is recovered like any other.
#include <sys/stat.h>

#include <filesystem>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const std::string kSyntax = "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n";
const std::string kStarted = "Zen-TO Recover Process for DLGP service 'SVC' started.\n";
const std::string kCannotOpen = "facility=13  error=13408\nCritical error -- Could not open store file.  Exiting\n";

class BadInput : public ::testing::Test {
protected:
    // Paths under the home ending in suffix that lie outside folder.
    std::vector<std::string> strays(const std::string& suffix, const std::string& folder) const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
            const std::string p = entry.path().string();
            if (p.ends_with(suffix) && !p.starts_with(node_.file(folder) + "/")) found.push_back(p);
        }
        return found;
    }

    testsupport::TempHome home_;
    Node node_{"nodea", home_.path()};
    std::string store_ = node_.file("store.dat");
};

TEST_F(BadInput, TooLongArgumentsAreRefusedByTheCommandLine) {
    std::string accents;
    for (int i = 0; i < 8; ++i) accents += "\xC3\xA9";  // 8 characters, 16 bytes: bytes count
    const std::string longService = "\nError: DLGP service name too long" + kSyntax;
    const std::string longPath = "\nError: Store filename too long" + kSyntax;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{accents, "store.dat"}, longService},
        {{std::string(100'000, 'S'), "store.dat"}, longService},
        {{"svc", "/" + std::string(1027, 'p')}, longPath},
        {{"svc", std::string(100'000, '\x01')}, longPath},
    };
    for (const auto& [args, out] : cases) {
        SCOPED_TRACE(std::to_string(args[0].size()) + " " + std::to_string(args[1].size()));
        const RunResult r = recover(node_, args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(BadInput, ServiceNamesThatCannotNameASocketFailRegistrationAndCreateNothing) {
    ASSERT_TRUE(tool(node_, {"create", store_}));
    ASSERT_TRUE(tool(node_, {"append", store_, "--count", "1"}));
    const Bytes before = testsupport::readAllBytes(store_);
    // Escapes aimed one and two levels above ZENTO_HOME/run.
    const std::string escape = "ZESC" + std::to_string(::getpid() % 100000);
    for (const std::string& name : {std::string(), std::string("caf\xC3\xA9"), std::string("\xFF\xFE"),
                                    std::string("a\nb"), std::string("\x1B[2J"), std::string("a b"),
                                    std::string("a/b"), std::string(".."), std::string("."), std::string(".hidden"),
                                    "../" + escape, "../../" + escape}) {
        SCOPED_TRACE(testing::PrintToString(name));
        const RunResult r = recover(node_, {name, store_});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "\nfacility=9  error=9103Critical error - Failed to initialize ZENT I/O, Exiting\n");
    }
    EXPECT_TRUE(!fs::exists(node_.file("run")) || fs::is_empty(node_.file("run")));
    EXPECT_EQ(strays(".sock", "run"), std::vector<std::string>{});
    EXPECT_EQ(strays(".SOCK", "run"), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(fs::path(home_.path()).parent_path() / (escape + ".sock")));
    EXPECT_FALSE(fs::exists(fs::path(home_.path()).parent_path() / (escape + ".SOCK")));
    EXPECT_EQ(testsupport::readAllBytes(store_), before) << "nothing was forwarded";
}

TEST_F(BadInput, StoreFileThatCannotBeOpenedIsRefusedWithAClearLine) {
    const std::string fifo = node_.file("pipe.dat"), dir = node_.file("folder.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(fs::create_directory(dir));
    const std::string notRegular = " is not a regular file.\nfacility=13  error=13162\n";
    const std::string missing = "facility=13  error=13161\n";
    const std::pair<std::string, std::string> cases[] = {
        // A FIFO opens without a writer; a read would then wait forever.
        {fifo, "Error: store file " + fifo + notRegular},
        {"/dev/null", "Error: store file /dev/null" + notRegular},
        {"/dev/zero", "Error: store file /dev/zero" + notRegular},
        {dir, "Error: store file " + dir + " could not be opened: Is a directory.\nfacility=1  error=21\n"
              "facility=13  error=13153\n"},
        {"", missing},
        {node_.file("missing\n\x1B[1m.dat"), missing},
        {node_.file("no/such/dir/store.dat"), missing},
    };
    for (const auto& [file, lines] : cases) {
        SCOPED_TRACE(testing::PrintToString(file));
        const RunResult r = recover(node_, {"svc", file});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, kStarted + lines + kCannotOpen);
    }
}

// Root may open anything, so the program then runs as the user nobody.
TEST_F(BadInput, StoreFileWithoutReadOrWritePermissionIsRefused) {
    const bool root = ::geteuid() == 0;
    Options as;
    as.user = root ? 65534 : 0;
    const Node user{"nodea", node_.file("home")};
    ASSERT_TRUE(fs::create_directory(user.home));
    ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);
    if (root && ::chown(user.home.c_str(), as.user, as.user) != 0) GTEST_SKIP() << "cannot hand a home to nobody";
    ASSERT_TRUE(tool(node_, {"create", store_}));
    for (const mode_t mode : {mode_t{0400}, mode_t{0200}, mode_t{0}}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(store_.c_str(), mode), 0);
        if (root) {
            ASSERT_EQ(::chown(store_.c_str(), as.user, as.user), 0);
        }
        const RunResult r = recover(user, {"svc", store_}, as);
        if (r.exitCode == 126) GTEST_SKIP() << "cannot become the user nobody";
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, kStarted + "Error: store file " + store_ + " could not be opened: Permission denied.\n" +
                             "facility=1  error=13\nfacility=13  error=13153\n" + kCannotOpen);
    }
}

TEST_F(BadInput, StoreFilePathsWithOddBytesAreRecoveredWhole) {
    fs::create_directory(node_.file("sub.d"));
    // The second's lock is named after "d/../plain", which must stay a lock name.
    for (const std::string& store : {node_.file("st\xC3\xB6re file\twith\nbreaks.dat"), node_.file("sub.d/../plain"),
                                     node_.file("-starts-with-a-dash.dat")}) {
        SCOPED_TRACE(testing::PrintToString(store));
        ASSERT_TRUE(tool(node_, {"create", store}));
        ASSERT_TRUE(tool(node_, {"append", store, "--count", "2"}));
        fs::remove(node_.file("arec.bin"));
        Process arec;
        ASSERT_TRUE(startArec(arec, node_, node_.file("arec.bin"), {"--exit-on-eof"}));
        const RunResult r = recover(node_, {"svc", store});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(arec.wait(), 0);
        EXPECT_EQ(received(node_.file("arec.bin")), (Numbers{1, 2}));
    }
    EXPECT_EQ(strays(".lock", "locks"), std::vector<std::string>{});
    EXPECT_EQ(strays(".sock", "run"), std::vector<std::string>{});
}

}  // namespace
