// zento_snf_tool as an operator runs it: each command in its own process,
// sharing the registry and the files through the environment.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>

#include "tests/snf/snf_test_support.h"

namespace {

struct ToolRun {
    int exit = -1;
    std::string out;
    std::string err;
};

class SnfTool : public snftest::SnfTest {
protected:
    ToolRun run(const std::string& arguments) const {
        const std::string errFile = home_.file("stderr");
        const std::string command =
            ZENTO_BIN_DIR "/tools/snf_tool/zento_snf_tool " + arguments + " 2>" + errFile;
        ToolRun result;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return result;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
        const int status = ::pclose(pipe);
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = snftest::readText(errFile).value_or("");
        return result;
    }
};

TEST_F(SnfTool, EveryCommandAsAProcess) {
    const std::string data = home_.file("data/");
    const std::string key = "'Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_SVC_CFG\\client1'";
    struct Step {
        std::string arguments;
        int exit;
        std::string out;
        std::string err;
    };
    const Step steps[] = {
        {"names 10.1.2.3 SVC", 0,
         "config " + data + "ZENTO_SCANNER_SVC.CFG\nscan-list " + data + "ZENTO_SCAN_LIST.SVC\nunsol-list " + data +
             "ZENTO_UNSOL_LIST.SVC\nstore-list " + data + "ZENTO_STORE_LIST.SVC\nstore-file " + data +
             "ZENTO_STORE_10_1_2_3.SVC\n",
         ""},
        {"--store-dir /srv names N SVC", 0, "", ""},  // checked by its last line below
        {"--service SVC config load client1", 0, "MaxSize=0 MaxPeriod=86400\n", ""},
        {"--service SVC config update client1 700 3600", 0, "", ""},
        {"--service SVC config get CLIENT1", 0, "MaxSize=700 MaxPeriod=3600\n", ""},
        {"--service SVC config get client9", 0, "MaxSize=-1 MaxPeriod=-1\n", ""},
        {"registry get " + key + " MaxSize", 0, "MaxSize REG_DWORD 700\n", ""},
        {"registry set " + key + " MaxSize 42", 0, "", ""},
        {"--service SVC config save client1", 0, "", ""},
        {"registry list 'software\\norvane\\zen-to\\zento_scanner_svc_cfg'", 0, "[client1]\n", ""},
        {"registry list " + key, 0, "MaxPeriod REG_DWORD 3600\nMaxSize REG_DWORD 42\n", ""},
        {"registry delete " + key + " MaxSize", 0, "", ""},
        {"registry get " + key + " MaxSize", 1, "", "zento_snf_tool: reading " + key.substr(1, key.size() - 2) +
                                                       "\\MaxSize: Windows error 2: not found\n"},
        {"config load client1", 1, "", "facility=13  error=13117\nfacility=13  error=13113\n"},
        {"remove " + home_.file("none") + " 0", 0, "", ""},
        {"remove " + home_.file("data") + " 0", 1, "", "facility=13  error=13157\n"},
        {"config update client1 x 1", 2, "", ""},
    };
    for (const Step& s : steps) {
        const ToolRun r = run(s.arguments);
        EXPECT_EQ(r.exit, s.exit) << s.arguments << "\n" << r.err;
        if (s.arguments.rfind("--store-dir", 0) == 0) {
            EXPECT_NE(r.out.find("store-file /srv/ZENTO_STORE_N.SVC\n"), std::string::npos) << r.out;
            continue;
        }
        EXPECT_EQ(r.out, s.out) << s.arguments;
        if (s.exit != 2) {
            EXPECT_EQ(r.err, s.err) << s.arguments;
        } else {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << s.arguments;
        }
    }
}

TEST_F(SnfTool, AllocationAndRemovalByHand) {
    const std::string file = home_.file("ZENTO_STORE_N.SVC");
    EXPECT_EQ(run("allocate " + file + " 3").exit, 0);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3 * 1048576);
    EXPECT_GE(st.st_blocks * 512, 3 * 1048576);
    EXPECT_EQ(run("resize " + file + " 5").exit, 0);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5 * 1048576);
    EXPECT_NE(log("kernel.log").find("Created/Modified file [" + file + "] with [5]MB"), std::string::npos);

    EXPECT_EQ(run("registry set 'SOFTWARE\\Norvane\\ZEN-TO' ZENTOStoreBckCopies 2").exit, 0);
    EXPECT_EQ(run("remove " + file + " 1").exit, 0);
    EXPECT_FALSE(snftest::readText(file));
    EXPECT_EQ(snftest::readText(file + "_BCK01")->size(), 5u * 1048576);

    const ToolRun help = run("--help");
    EXPECT_EQ(help.exit, 0);
    for (const char* command : {"config load", "config get", "config update", "config save", "names", "allocate",
                                "resize", "remove", "registry get", "registry set", "registry list", "registry delete",
                                "ZENTO_REGISTRY", "ZENTO_DATA_DIR", "--store-dir", "--node", "--service"}) {
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    }
}

}  // namespace
