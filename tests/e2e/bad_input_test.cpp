// Command lines and store files a recovery cannot use, run as the program
// itself: each ends with a clear line and exit code 1, a service name never
// becomes a file outside ZENTO_HOME/run, and a store file path with odd bytes
// that names a real file is recovered like any other.
#include <sys/stat.h>

#include <array>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const std::string kStarted = "Zen-TO Recover Process for DLGP service 'SVC' started.\n";
const std::string kCannotOpen = "facility=13  error=13408\nCritical error -- Could not open store file.  Exiting\n";

class BadInput : public E2ETest {
protected:
    // Files under the home ending in suffix but outside folder.
    std::vector<std::string> strays(const std::string& suffix, const std::string& folder) const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
            const std::string p = entry.path().string();
            if (p.ends_with(suffix) && !p.starts_with(node_.file(folder) + "/")) found.push_back(p);
        }
        return found;
    }
};

TEST_F(BadInput, RefusedArgumentsAndStoreFilesEndWithAClearLineAndExitCodeOne) {
    fill();
    const Bytes before = testsupport::readAllBytes(store_);
    const std::string fifo = node_.file("pipe.dat"), dir = node_.file("folder.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(fs::create_directory(dir));
    std::string accents;
    for (int i = 0; i < 8; ++i) accents += "\xC3\xA9";  // 8 characters, 16 bytes: bytes count
    const std::string syntax = "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n";
    const std::string longName = "\nError: DLGP service name too long" + syntax;
    const std::string longPath = "\nError: Store filename too long" + syntax;
    const std::string notRegular = " is not a regular file.\nfacility=13  error=13162\n" + kCannotOpen;
    const std::string missing = kStarted + "facility=13  error=13161\n" + kCannotOpen;
    const std::string refused = "\nfacility=9  error=9103Critical error - Failed to initialize ZENT I/O, Exiting\n";
    const std::string escape = "ZESC" + std::to_string(::getpid() % 100000);
    const std::vector<std::array<std::string, 3>> cases = {  // service, store file, console
        {accents, store_, longName},
        {std::string(100'000, 'S'), store_, longName},
        {"svc", "/" + std::string(1027, 'p'), longPath},
        {"svc", std::string(100'000, '\x01'), longPath},
        // A FIFO opens without a writer; a read would then wait forever.
        {"svc", fifo, kStarted + "Error: store file " + fifo + notRegular},
        {"svc", "/dev/null", kStarted + "Error: store file /dev/null" + notRegular},
        {"svc", "/dev/zero", kStarted + "Error: store file /dev/zero" + notRegular},
        {"svc", dir, kStarted + "Error: store file " + dir + " could not be opened: Is a directory.\n"
                     "facility=1  error=21\nfacility=13  error=13153\n" + kCannotOpen},
        {"svc", "", missing},
        {"svc", node_.file("missing\n\x1B[1m.dat"), missing},
        {"svc", node_.file("no/such/dir/store.dat"), missing},
        // Service names that cannot name a socket; the escapes aim one and
        // two levels above ZENTO_HOME/run.
        {"", store_, refused}, {"caf\xC3\xA9", store_, refused}, {"\xFF\xFE", store_, refused},
        {"a\nb", store_, refused}, {"\x1B[2J", store_, refused}, {"a b", store_, refused}, {"a/b", store_, refused},
        {"..", store_, refused}, {".", store_, refused}, {".hidden", store_, refused},
        {"../" + escape, store_, refused}, {"../../" + escape, store_, refused},
    };
    for (const auto& [service, store, out] : cases) {
        SCOPED_TRACE(testing::PrintToString(service.substr(0, 20)) + " " + testing::PrintToString(store.substr(0, 80)));
        const RunResult r = run(node_, {service, store});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, out);
        EXPECT_TRUE(r.err.starts_with("zento_sf_recover: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
    }
    EXPECT_TRUE(fs::is_empty(node_.file("run"))) << "a process that registered removes its socket file as it ends";
    EXPECT_EQ(strays(".sock", "run"), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(fs::path(home_.path()).parent_path() / (escape + ".sock")));
    EXPECT_EQ(testsupport::readAllBytes(store_), before) << "nothing was forwarded";
}

TEST_F(BadInput, StoreFilePathsWithOddBytesAreRecoveredWhole) {
    fs::create_directory(node_.file("sub.d"));
    // The second's lock is named after "d/../plain", which must stay a lock name.
    for (const std::string& store : {node_.file("st\xC3\xB6re file\twith\nbreaks.dat"), node_.file("sub.d/../plain"),
                                     node_.file("-starts-with-a-dash.dat")}) {
        SCOPED_TRACE(testing::PrintToString(store));
        ASSERT_TRUE(tool(node_, {"create", store}));
        ASSERT_TRUE(tool(node_, {"append", store, "--count", "2"}));
        fs::remove(capture_);
        Process arec;
        ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
        EXPECT_EQ(run(node_, {"svc", store}).exitCode, 0);
        EXPECT_EQ(arec.wait(), 0);
        EXPECT_EQ(received(capture_), (Numbers{1, 2}));
    }
    EXPECT_EQ(strays(".lock", "locks"), std::vector<std::string>{});
    EXPECT_EQ(strays(".sock", "run"), std::vector<std::string>{});
}

}  // namespace
