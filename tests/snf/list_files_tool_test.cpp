// zento_snf_tool's lists commands, each in its own process as an operator
// runs them.
#include <sys/wait.h>

#include <cstdio>

#include "tests/snf/list_files_test_support.h"

namespace {

using namespace listtest;

struct ToolRun {
    int exit = -1;
    std::string out;
    std::string err;
};

class ListsTool : public ListFileTest {
protected:
    ToolRun run(const std::string& arguments) const {
        const std::string errFile = home_.file("stderr");
        const std::string command = ZENTO_BIN_DIR "/tools/snf_tool/zento_snf_tool " + arguments + " 2>" + errFile;
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

TEST_F(ListsTool, EveryListsCommand) {
    const std::string data = home_.file("data/");
    const std::string scanFile = home_.file("ZENTO_SCAN_LIST.SVC");
    // A revision 1 scan list: its request is not parsed.
    Bytes scanEntry(168, 0);
    put32(scanEntry, 0, static_cast<std::uint32_t>(-4));
    put32(scanEntry, 4, 25);
    putText(scanEntry, 16, "RNODE");
    putText(scanEntry, 48, "RSVC");
    putText(scanEntry, 80, "CNODE");
    putText(scanEntry, 112, "CSVC");
    put32(scanEntry, 152, 5);
    writeBytes(scanFile, concat({header(0x5A5AA5A6, 1, 1), scanEntry, Bytes(5, 'r')}));
    writeBytes(unsolFile_, concat({header(0x5A5AA5A7, 1, 1), unsolImage({9, "D", "DS", "C", "CS", 1, 1})}));
    const std::string entry = "FileName = *" + data +
                              "ZENTO_STORE_client1.DSVC*\nFileHandle = -1\noffset = 0\nmsgDest = client1-DSVC\n"
                              "isComOk = 1\nisAcked = 1\nexistsInList = 1\nexistsInDisk = 1\nneedToRetry = 0\n"
                              "maxSize = 700\nmaxPeriod = 3600\nexpirationTime = 0.0\n\n";
    struct Step {
        std::string arguments;
        int exit;
        std::string out;
        std::string err;
    } steps[] = {
        {"--service SVC lists dump-store " + storeFile_, 1, "", "facility=13  error=13161\nfacility=13  error=13050\n"},
        {"lists load-store " + storeFile_, 2, "", ""},
        {"--service SVC config update client1 700 3600", 0, "", ""},
        {"--service SVC lists add-store " + storeFile_ + " client1 DSVC", 0, "", ""},
        {"--service SVC lists add-store " + storeFile_ + " client1.domain DSVC", 0, "", ""},
        {"--service SVC lists load-store " + storeFile_, 0, "entries=1\n", ""},
        {"--service SVC --task forward lists dump-store " + storeFile_, 0,
         "Signature = 1515890088, Revision = 1, Number of Entries = 1\n\nEntry 0\n" + entry, ""},
        {"lists show-scan " + scanFile, 0,
         "0 listId=-4 frequency=25 reply=RNODE/RSVC source=CNODE/CSVC tags=0 requestLength=5\n", ""},
        {"lists show-unsol " + unsolFile_, 0, "0 listId=9 destination=D/DS source=C/CS flag=1\n", ""},
        {"lists show-unsol " + home_.file("none"), 0, "", ""},
        {"lists show-scan " + unsolFile_, 1, "", "facility=13  error=13028\n"},
        {"--task x lists load-store " + storeFile_, 2, "", ""},
        {"lists load-store", 2, "", ""},
        {"lists add-store " + storeFile_ + " N", 2, "", ""},
    };
    for (const Step& s : steps) {
        const ToolRun r = run(s.arguments);
        EXPECT_EQ(r.exit, s.exit) << s.arguments << "\n" << r.err;
        EXPECT_EQ(r.out, s.out) << s.arguments;
        if (s.exit == 2) {
            EXPECT_NE(r.err.find("--help"), std::string::npos) << s.arguments;
        } else {
            EXPECT_EQ(r.err, s.err) << s.arguments;
        }
    }
    // Each command filed the reports of its task: the store task's by default
    // (7046 a failed store list load, 7049 an entry added, 7052 saved, 7051
    // loaded, 7031 and 7041 the scan and unsol lists loaded, 7026 a failed
    // scan list load), the forward task's with --task forward (7061).
    std::vector<int> reports;
    for (const diagtest::Filed& filed : takeFiled()) {
        if (filed.code != 7079) reports.push_back(filed.code);
    }
    EXPECT_EQ(reports, (std::vector<int>{7046, 7046, 7049, 7052, 7051, 7049, 7052, 7051, 7061, 7031, 7041, 7041, 7026}));
}

}  // namespace
