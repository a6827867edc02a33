// NODE sends everything to another node: two homes on this machine stand for
// two nodes, so the messages and their acknowledgements cross TCP.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/e2e_support.h"
#include "tests/support/file_damage.h"

namespace {

using namespace e2e;

TEST(NodeRedirect, MessagesCrossTcpToTheNamedNodeWhateverTheirRequester) {
    testsupport::TempHome home;
    const Node a = Node::inside(home, "nodea");
    const Node b = Node::inside(home, "nodeb", "nodeb");
    const std::string routes = "# both nodes on the loopback interface\nnodea 127.0.0.1 " +
                               std::to_string(freeLoopbackPort()) + "\nnodeb 127.0.0.1 " +
                               std::to_string(freeLoopbackPort()) + "\n";
    writeText(a.file("routes"), routes);
    writeText(b.file("routes"), routes);

    // The requester's node has no route: only the redirect can deliver.
    const std::string store = a.file("store.dat");
    ASSERT_TRUE(tool(a, {"create", store}));
    ASSERT_TRUE(tool(a, {"append", store, "--count", "6", "--node", "farnode"}));
    ASSERT_TRUE(tool(a, {"append", store, "--count", "2", "--size", "70000", "--node", "farnode"}));
    const auto stored = storedMessages(testsupport::readAllBytes(store));

    const std::string capture = b.file("received.bin");
    Process arec;
    ASSERT_TRUE(startArec(arec, b, capture, {"--exit-on-eof"}));
    const RunResult run = runRecovery(a, {"E2E", store, "NODE", "nodeb"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(arec.wait(kReadyLimit), 0) << "the end-of-file notice reached node b";

    EXPECT_EQ(run.out.rfind("Your have chosen to redirect your messages to node [nodeb]\n" + startedLine("E2E"), 0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find("All messages have been forwarded.\n" + closingLines()), std::string::npos) << run.out;

    const std::vector<Captured> received = capturedMessages(capture);
    EXPECT_EQ(sequencesOf(received), numbers(1, 8));
    expectSameAsStored(received, stored, "nodeb");
    EXPECT_NE(arec.out().find("message 1: size 684, list id 1, from nodea/E2E\n"), std::string::npos) << arec.out();
    EXPECT_FALSE(std::filesystem::exists(a.file("run/TSK_AREC.sock"))) << "node a has no destination of its own";
}

}  // namespace
