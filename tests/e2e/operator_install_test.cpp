// The programs as installed: `cmake --install` into a temporary prefix puts
// them and the documentation there, and the installed programs recover a
// store file on their own.
#include <sys/wait.h>

#include <cstdlib>

#include "tests/e2e/e2e_support.h"
#include "zento_version.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

class OperatorInstall : public E2ETest {
protected:
    // An installed program run to its end (run() takes only the built ones).
    RunResult runInstalled(const std::vector<std::string>& args) {
        Process p;
        const int code = p.start(node_, args, node_.file("installed.out")) ? p.wait().value_or(-1) : -1;
        return {code, p.out(), p.err()};
    }
};

TEST_F(OperatorInstall, InstalledProgramsAndDocumentationRecoverAStoreFile) {
    const std::string prefix = node_.file("prefix");
    const std::string install = "cmake --install '" ZENTO_BIN_DIR "' --prefix '" + prefix + "' > '" +
                                node_.file("install.out") + "' 2>&1";
    const int status = std::system(install.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readText(node_.file("install.out"));
    std::vector<std::string> installed;
    for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
        if (entry.is_regular_file()) installed.push_back(fs::relative(entry.path(), prefix).string());
    }
    std::sort(installed.begin(), installed.end());
    EXPECT_EQ(installed, (std::vector<std::string>{"bin/zento_arec", "bin/zento_sf_recover", "bin/zento_sf_tool",
                                                   "bin/zento_snf_tool", "share/doc/zento-sf-recover/README.md",
                                                   "share/doc/zento-sf-recover/docs/reliability.md"}));

    const std::string bin = prefix + "/bin/";
    const RunResult version = runInstalled({bin + "zento_sf_recover", "--version"});
    EXPECT_EQ(version.out, std::string("zento_sf_recover ") + kZentoVersion + " (revision " + kZentoRevision + ")\n");
    for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
             {"create", store_}, {"append", store_, "--count", "3"}}) {
        std::vector<std::string> args = {bin + "zento_sf_tool"};
        args.insert(args.end(), step.begin(), step.end());
        EXPECT_EQ(runInstalled(args).exitCode, 0);
    }
    Process arec;
    ASSERT_TRUE(arec.start(node_, {bin + "zento_arec", "--exit-on-eof", "--out", capture_}, node_.file("arec.out")));
    ASSERT_TRUE(waitUntil([&] { return contains(arec.out(), "ready\n") || !arec.running(); }));
    const RunResult recovery = runInstalled({bin + "zento_sf_recover", "svc", store_});
    EXPECT_EQ(recovery.exitCode, 0) << recovery.out << recovery.err;
    EXPECT_EQ(arec.wait(), 0);
    EXPECT_EQ(received(capture_), numbers(1, 3));
}

}  // namespace
