// Whole recoveries as real processes: every header type and layout, NODE
// across TCP, a closed standard output. Every message arrives once, in order,
// as it was stored; the console tells the run as it went.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

const std::string kStarted = "Zen-TO Recover Process for DLGP service 'E2E' started.\n";
const std::string kClosing = "Messages have all been sent to destination.\nExecuting MasterFileClose.\nEnding program.\n";

std::string startingAtLine(std::int64_t forward, std::int64_t last) {
    char line[128];  // the share is worked out in single precision, as the program does
    std::snprintf(line, sizeof line, "Starting at location %lld, %5.2f percent of file.\n", static_cast<long long>(forward),
                  static_cast<double>(static_cast<float>(forward) * 100.0f / static_cast<float>(last)));
    return line;
}

class FullRecovery : public E2ETest {};

TEST_F(FullRecovery, EveryHeaderTypeAndLayoutDeliversEachMessageOnceInOrder) {
    std::vector<std::pair<Bytes, Numbers>> layouts;  // linear, ring, wrapped ring
    fill();
    layouts.push_back({testsupport::readAllBytes(store_), numbers(1, 8)});
    fill({"--ring", "1"});
    layouts.push_back({testsupport::readAllBytes(store_), numbers(1, 8)});
    // A 1 MiB ring whose newest records continue at the data start: 52
    // records of 20012 bytes make a lap; 30 of the first 40 were forwarded
    // before 30 more came, 12 up to the physical end and 18 from the start.
    // Behind the newest lie records of the earlier lap, forwarded long ago:
    // an older header type cannot name the newest record and must stop at
    // its message count, not send them again.
    std::filesystem::remove(store_);
    tool(node_, {"create", store_, "--ring", "1"});
    tool(node_, {"append", store_, "--count", "40", "--size", "20000"});
    forward(30);
    tool(node_, {"append", store_, "--count", "30", "--size", "20000"});
    ASSERT_EQ(headerOf(store_).wrapped, 1u);
    layouts.push_back({testsupport::readAllBytes(store_), numbers(31, 70)});

    for (std::size_t layout = 0; layout < layouts.size(); ++layout) {
        for (int type : {0, 1, 2}) {
            SCOPED_TRACE("layout " + std::to_string(layout) + ", header type " + std::to_string(type));
            const Bytes& stored = layouts[layout].first;
            testsupport::writeAllBytes(store_, stored);
            if (type != 2) rewriteHeaderAs(store_, type);
            const StoreFileHeader before = headerOf(store_, type);
            std::filesystem::remove(capture_);
            Process arec, recovery;
            ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
            ASSERT_TRUE(recovery.start(node_, {kRecover, "e2e", store_}, node_.file("recover.out")));
            // One that sends more than twice what the file holds goes round in circles.
            waitUntil([&] { return !recovery.running() || testsupport::fileSizeOf(capture_) > 2 * std::ssize(stored); });
            recovery.kill();
            EXPECT_EQ(recovery.wait(), 0);
            EXPECT_EQ(arec.wait(), 0) << "the destination got the end-of-file notice";
            EXPECT_EQ(received(capture_, stored, node_.name), layouts[layout].second);
            // Type 2 knows its newest record and a ring of an older type
            // counts its messages; an older type's linear file is read to its end.
            const std::string t = std::to_string(type);
            EXPECT_EQ(recovery.out(), kStarted + "File opened.\n" + (type != 0 ? "Found non-zero revision number " + t + "\n" : "") +
                                          "Checking store file header blocks, size=" + std::to_string(blockSizeOf(type)) +
                                          "\nHeader read in ok.\nProcessing file header type " + t + "\nFile header type " +
                                          t + " detected and read.  Processing file.\n" +
                                          startingAtLine(before.forwardOffset, before.lastOffset) +
                                          (type != 2 && layout == 0 ? "Reached file end.\n" : "All messages have been forwarded.\n") +
                                          kClosing);
            const StoreFileHeader after = headerOf(store_, type);
            EXPECT_EQ(after.forwardOffset, type == 2 ? before.lastMsgOffset : before.offset48) << "a rerun sends nothing";
            EXPECT_EQ(after.msgCount, before.msgCount);
            if (type == 2) {
                EXPECT_EQ(after.forwardedCount, before.msgCount);
            }
            if (HasFailure()) return;
        }
    }
}

TEST_F(FullRecovery, NodeSendsEverythingAcrossTcpToTheNamedNode) {
    const Node b{"nodeb", node_.file("nodeb")};
    std::filesystem::create_directory(b.home);
    std::string routes;
    for (const char* name : {"nodea", "nodeb"}) {  // a free loopback port each
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        socklen_t length = sizeof address;
        address.sin_family = AF_INET;
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        routes += std::string(name) + " 127.0.0.1 " + std::to_string(ntohs(address.sin_port)) + "\n";
    }
    for (const std::string& home : {node_.home, b.home}) {
        testsupport::writeAllBytes(home + "/routes", Bytes(routes.begin(), routes.end()));
    }
    // The requester's node has no route: only the redirect can deliver.
    tool(node_, {"create", store_});
    tool(node_, {"append", store_, "--count", "6", "--node", "farnode"});
    tool(node_, {"append", store_, "--count", "2", "--size", "70000", "--node", "farnode"});

    Process arec;
    ASSERT_TRUE(startArec(arec, b, b.file("received.bin"), {"--exit-on-eof"}));
    const RunResult r = run(node_, {"E2E", store_, "NODE", "nodeb"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(arec.wait(), 0) << "the end-of-file notice reached node b";
    EXPECT_EQ(r.out.rfind("Your have chosen to redirect your messages to node [nodeb]\n" + kStarted, 0), 0u) << r.out;
    EXPECT_TRUE(r.out.ends_with("All messages have been forwarded.\n" + kClosing)) << r.out;
    EXPECT_EQ(received(b.file("received.bin"), testsupport::readAllBytes(store_), "nodeb"), numbers(1, 8));
    EXPECT_TRUE(contains(arec.out(), "message 1: size 684, list id 1, from nodea/E2E\n")) << arec.out();
    EXPECT_FALSE(std::filesystem::exists(node_.file("run/TSK_AREC.sock"))) << "node a has no destination of its own";
}

// As after `zento_sf_recover ... | head`: every line fails, the run goes on.
TEST_F(FullRecovery, ClosedStandardOutputNeitherStopsNorKillsTheRun) {
    fill();
    Process arec;
    ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
    EXPECT_EQ(run(node_, {"E2E", store_}, true).exitCode, 0) << "128 + 13 would be the death by SIGPIPE";
    EXPECT_EQ(arec.wait(), 0);
    EXPECT_EQ(received(capture_), numbers(1, 8));
    EXPECT_EQ(headerOf(store_).forwardOffset, headerOf(store_).lastMsgOffset) << "every removal reached the header";
}

}  // namespace
