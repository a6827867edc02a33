// Command lines with odd bytes: each ends with a clear line and exit code 1,
// a service name never becomes a file outside ZENTO_HOME/run, and a store
// file path with odd bytes that names a real file is recovered like any other.
#include <filesystem>

#include "tests/robustness/robustness_support.h"

namespace {

using namespace robust;
namespace fs = std::filesystem;

const std::string kSyntax = "\nSyntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n";
const std::string kRegistrationRefused =
    "\nfacility=9  error=9103Critical error - Failed to initialize ZENT I/O, Exiting\n";
const std::string kCannotOpen = "Critical error -- Could not open store file.  Exiting\n";

class OddArguments : public RecoveryProcessTest {
protected:
    tooltest::RunResult recover(const std::vector<std::string>& args) {
        std::vector<std::string> all{recoverProgram()};
        all.insert(all.end(), args.begin(), args.end());
        return tooltest::run(all, dir_);
    }

    // Files of a kind found anywhere under the home but in the one folder
    // where they belong.
    std::vector<std::string> strays(const std::string& suffix, const std::string& folder) const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(home_.path())) {
            const std::string name = entry.path().filename().string();
            if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                continue;
            }
            if (entry.path().string().rfind(path(folder) + "/", 0) != 0) found.push_back(entry.path().string());
        }
        return found;
    }
};

TEST_F(OddArguments, TooLongArgumentsAreRefusedByTheCommandLine) {
    std::string accents;
    for (int i = 0; i < 8; ++i) accents += "\xC3\xA9";  // 8 characters, 16 bytes: bytes count
    const std::string longService = "\nError: DLGP service name too long" + kSyntax;
    const std::string longPath = "\nError: Store filename too long" + kSyntax;
    struct Case {
        std::vector<std::string> args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{accents, "store.dat"}, longService},
        {{std::string(100'000, 'S'), "store.dat"}, longService},
        {{"svc", "/" + std::string(1027, 'p')}, longPath},
        {{"svc", std::string(100'000, '\x01')}, longPath},
    };
    for (const Case& c : cases) {
        const tooltest::RunResult r = recover(c.args);
        EXPECT_EQ(r.exitCode, 1) << c.args[0].size() << " " << c.args[1].size();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(OddArguments, ServiceNamesThatCannotNameASocketFailRegistrationAndCreateNothing) {
    const std::string store = path("store.dat");
    makeStore(store, 1);
    // Escapes aimed one and two levels above ZENTO_HOME/run.
    const std::string escapeName = "ZESC" + std::to_string(::getpid() % 100000);
    const std::vector<std::string> names = {
        "",       "caf\xC3\xA9", "\xFF\xFE",   "a\nb",          "tab\there",          "\x1B[2J",
        "del\x7F", "a b",        "a/b",        "..",            ".",                  "/",
        ".hidden", "../" + escapeName, "../../" + escapeName, "run/../x",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(testing::PrintToString(name));
        const tooltest::RunResult r = recover({name, store});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, kRegistrationRefused);
    }
    EXPECT_TRUE(!fs::exists(path("run")) || fs::is_empty(path("run")));
    EXPECT_EQ(strays(".sock", "run"), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(fs::path(home_.path()).parent_path() / (escapeName + ".sock")));
    EXPECT_FALSE(fs::exists(fs::path(home_.path()).parent_path() / (escapeName + ".SOCK")));
    // Nothing was forwarded: the message is still there for a proper run.
    EXPECT_EQ(tooltest::drain(store).sequences, std::vector<std::uint32_t>{1});
}

TEST_F(OddArguments, StoreFileThatCannotBeOpenedEndsWithTheCriticalLine) {
    fs::create_directory(path("folder.dat"));
    const std::vector<std::string> stores = {
        "",
        path("folder.dat"),
        path("missing\n\x1B[1m.dat"),
        path("no/such/dir/store.dat"),
    };
    for (const std::string& store : stores) {
        SCOPED_TRACE(testing::PrintToString(store));
        const tooltest::RunResult r = recover({"svc", store});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out.rfind("Zen-TO Recover Process for DLGP service 'SVC' started.\n", 0), 0u) << r.out;
        ASSERT_GE(r.out.size(), kCannotOpen.size());
        EXPECT_EQ(r.out.substr(r.out.size() - kCannotOpen.size()), kCannotOpen);
    }
}

TEST_F(OddArguments, StoreFilePathsWithOddBytesAreRecoveredWhole) {
    fs::create_directory(path("sub.d"));
    const std::vector<std::string> stores = {
        path("st\xC3\xB6re file\twith\nbreaks.dat"),
        // Its lock is named after "d/../plain", which must stay a lock name.
        path("sub.d/../plain"),
        path("-starts-with-a-dash.dat"),
    };
    for (const std::string& store : stores) {
        SCOPED_TRACE(testing::PrintToString(store));
        makeStore(store, 2);
        fs::remove(path("arec.bin"));
        auto arec = startArec("arec", {"--out", path("arec.bin"), "--exit-on-eof"});
        const tooltest::RunResult r = recover({"svc", store});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(arec->wait(), 0);
        EXPECT_EQ(receivedSequences(path("arec.bin")), (std::vector<std::uint32_t>{1, 2}));
    }
    EXPECT_EQ(strays(".lock", "locks"), std::vector<std::string>{});
    EXPECT_EQ(strays(".sock", "run"), std::vector<std::string>{});
}

}  // namespace
