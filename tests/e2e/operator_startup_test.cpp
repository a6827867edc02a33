// What an operator learns from a recovery that cannot start: standard output
// exactly as it has always been, one line on standard error that says what is
// wrong and what to do, the same line in the log, and the log's closing line.
#include <sys/stat.h>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

const std::string kStarted = "Zen-TO Recover Process for DLGP service 'SVC' started.\n";
const std::string kCannotOpen = "Critical error -- Could not open store file.  Exiting\n";
const std::string kClosing = "zento_sf_recover ends with exit code 1: the recovery could not start";

class OperatorStartup : public E2ETest {};

TEST_F(OperatorStartup, EachFailureSaysWhyOnStandardErrorAndInTheLog) {
    fill();
    const std::string empty = node_.file("empty.dat"), corrupt = node_.file("corrupt.dat"),
                      unreadable = node_.file("unreadable.dat");
    testsupport::writeAllBytes(empty, {});
    Bytes bytes = testsupport::readAllBytes(store_);
    bytes[20] ^= 1;   // the primary header block
    bytes[120] ^= 1;  // the backup
    testsupport::writeAllBytes(corrupt, bytes);
    testsupport::writeAllBytes(unreadable, bytes);
    ASSERT_EQ(::chmod(unreadable.c_str(), 0200), 0);
    const bool root = ::geteuid() == 0;  // root opens it all the same

    Process holder;  // keeps the name SVC
    ASSERT_TRUE(startArec(holder, node_, node_.file("holder.bin"), {"--service", "SVC"}));
    Node other{"nodea", node_.file("other")};
    std::filesystem::create_directory(other.home);

    struct Case {
        Node node;
        std::vector<std::string> args;
        std::string out;     // exactly; empty: only its last line is checked
        std::string reason;  // the start of the line on standard error and in the log
        std::string logName;
    };
    const std::vector<Case> cases = {
        {other, {"svc", node_.file("missing.dat")}, kStarted + "facility=13  error=13161\nfacility=13  error=13408\n" + kCannotOpen,
         "the store file '" + node_.file("missing.dat") + "' does not exist (No such file or directory): check the path.",
         "SVC"},
        {other, {"a b", store_}, "\nfacility=9  error=9103Critical error - Failed to initialize ZENT I/O, Exiting\n",
         "the service name 'A B' cannot be registered: a service name is 1 to 15 characters of A-Z a-z 0-9 _ . -",
         "zento_sf_recover"},
        {other, {"a\x1b", store_}, "\nfacility=9  error=9103Critical error - Failed to initialize ZENT I/O, Exiting\n",
         "the service name 'A\\x1B' cannot be registered", "zento_sf_recover"},
        {node_, {"svc", store_}, "\nfacility=9  error=9104Critical error - Failed to initialize ZENT I/O, Exiting\n",
         "the service name 'SVC' is already registered by another live process on this node", "SVC"},
        {other, {"svc", empty}, kStarted + "File opened.\n" + kCannotOpen,
         "the store file '" + empty + "' is empty (0 bytes)", "SVC"},
        {other, {"svc", corrupt}, "",
         "the header of the store file '" + corrupt + "' fails validation: neither copy of the header passes its "
         "CRC check. Nothing was forwarded. 'zento_sf_tool inspect " + corrupt + "' shows the header and what a "
         "recovery can read; the DUMP option forwards",
         "SVC"},
        {other, {"svc", unreadable}, "",
         root ? "the header of the store file" : "the store file '" + unreadable +
                "' cannot be opened for reading and writing: Permission denied. This user needs to read and write it",
         "SVC"},
        {other, {"svc"}, "\nError: DLGP service name & Store filename has not been specified\n"
                         "Syntax: zento_sf_recover service storeFile [timeout] [NODE nodename] [DUMP]\n",
         "the service name and the store file are both needed", "zento_sf_recover"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const RunResult r = run(c.node, c.args);
        EXPECT_EQ(r.exitCode, 1);
        if (!c.out.empty()) {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_TRUE(r.out.ends_with("Exiting\n") || r.out.ends_with("[DUMP]\n")) << r.out;
        EXPECT_TRUE(r.err.starts_with("zento_sf_recover: " + c.reason)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        const std::string log = c.node.log();
        const std::string line = r.err.substr(std::strlen("zento_sf_recover: "));
        EXPECT_TRUE(contains(log, "[" + c.logName + "] " + line)) << log;
        EXPECT_TRUE(log.ends_with("[" + c.logName + "] " + kClosing + "\n")) << log;
    }
    // Only live services keep a socket file: the runs that registered and
    // failed, and ended without leaving the library, took theirs away.
    EXPECT_TRUE(std::filesystem::is_empty(other.file("run")));
    EXPECT_EQ(std::vector<std::filesystem::path>(std::filesystem::directory_iterator(node_.file("run")), {}),
              std::vector<std::filesystem::path>{node_.file("run/SVC.sock")});
    holder.kill(SIGTERM);
    EXPECT_EQ(holder.wait(), 0);
}

}  // namespace
