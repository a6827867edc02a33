// Whole recoveries as real processes: every header type and layout, NODE
// across TCP, a closed standard output, a destination that answers a message
// twice, a second recovery of the same file, a stop signal. Every message arrives once, in
// order, as it was stored.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

const std::string kStarted = "Zen-TO Recover Process for DLGP service 'E2E' started.\n";
const std::string kClosing =
    "Messages have all been sent to destination.\nExecuting MasterFileClose.\nEnding program.\n";

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
    {
        Process arec;  // its shutdown answers message 31, so 30 are acknowledged and removed
        ASSERT_TRUE(startArec(arec, node_, node_.file("first.bin"), {"--shut-after", "31"}));
        ASSERT_EQ(run(node_, {"E2E", store_}).exitCode, 0);
    }
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
            waitUntil([&] { return !recovery.running() || testsupport::fileSizeOf(capture_) > 2 * ssize(stored); });
            recovery.kill();
            EXPECT_EQ(recovery.wait(), 0);
            EXPECT_EQ(arec.wait(), 0) << "the destination got the end-of-file notice";
            EXPECT_EQ(received(capture_, stored, node_.name), layouts[layout].second);
            // Type 2 knows its newest record and a ring of an older type counts
            // its messages; an older type's linear file is read to its end.
            // (The other lines are told in-process.)
            const std::string end =
                type != 2 && layout == 0 ? "Reached file end.\n" : "All messages have been forwarded.\n";
            const std::string start = "Starting at location " + std::to_string(before.forwardOffset) + ", ";
            EXPECT_TRUE(contains(recovery.out(), start) && recovery.out().ends_with(end + kClosing)) << recovery.out();
            const StoreFileHeader after = headerOf(store_, type);
            EXPECT_EQ(after.forwardOffset, type == 2 ? before.lastMsgOffset : before.offset48)
                << "so a rerun sends nothing";
            EXPECT_EQ(after.msgCount, before.msgCount);
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
    EXPECT_TRUE(r.out.starts_with("Your have chosen to redirect your messages to node [nodeb]\n" + kStarted)) << r.out;
    EXPECT_TRUE(r.out.ends_with("All messages have been forwarded.\n" + kClosing)) << r.out;
    EXPECT_EQ(received(b.file("received.bin"), testsupport::readAllBytes(store_), "nodeb"), numbers(1, 8));
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

// A destination slower than the acknowledgement deadline answers both a
// message and its resend, then dies. Its second answer must not count for
// the message sent next, or that message leaves the store file without ever
// having been acknowledged, and is lost.
TEST_F(FullRecovery, MessageSentAfterALateAnsweredResendStaysInTheFile) {
    fill();
    // Seven seconds is past the deadline of at least five (plus the second
    // in which the resend falls): message 1 goes out twice and both sends are
    // answered, the second answer while message 2 awaits its own.
    Process slow, recovery;
    ASSERT_TRUE(startArec(slow, node_, node_.file("slow.bin"), {"--ack-delay-ms", "7000", "--ack-first", "2"}));
    ASSERT_TRUE(recovery.start(node_, {kRecover, "recsvc", store_}, node_.file("recovery.out")));
    ASSERT_TRUE(waitUntil([&] { return contains(slow.out(), "message 2: "); })) << slow.out() << recovery.out();
    // Until the late answer to the resend has come and been handled.
    waitUntil([&] { return contains(node_.log(), "Ignoring an acknowledgement of transaction"); }, milliseconds(8500));
    slow.kill();
    recovery.kill();
    const Numbers first = received(node_.file("slow.bin"));
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(Numbers(first.begin(), first.begin() + 3), (Numbers{1, 1, 2}));

    // A second recovery to a sound destination forwards what is left.
    Process sound;
    ASSERT_TRUE(startArec(sound, node_, capture_, {"--exit-on-eof"}));
    EXPECT_EQ(run(node_, {"recsvc", store_}).exitCode, 0);
    EXPECT_EQ(sound.wait(), 0);
    EXPECT_EQ(received(capture_), numbers(2, 8)) << "message 2 was never acknowledged by the one that received it";
}

// A second recovery of the file waits for the first's lock on it (and says
// so once), then finds nothing left: each message arrives once. The file
// reached under another extension (a link) is the same file: the name locks
// differ, and the lock on the file itself makes it wait all the same.
TEST_F(FullRecovery, SecondRecoveryOfAFileWaitsForTheFirstThenFindsNothingLeft) {
    const std::string link = node_.file("store.lnk");
    for (const bool throughLink : {false, true}) {
        SCOPED_TRACE(throughLink ? "through a link" : "same name");
        fill();
        std::filesystem::remove(capture_);
        std::filesystem::remove(link);
        std::filesystem::create_hard_link(store_, link);
        // Slow enough answers that the first recovery holds the file a while.
        Process arec, first, second;
        ASSERT_TRUE(startArec(arec, node_, capture_, {"--ack-delay-ms", "400"}));
        ASSERT_TRUE(first.start(node_, {kRecover, "recone", store_}, node_.file("first.out")));
        ASSERT_TRUE(waitUntil([&] { return contains(first.out(), "File opened.\n"); })) << first.out();

        const std::string path = throughLink ? link : store_;
        const std::string waiting =
            "Waiting for the lock on '" + (throughLink ? link : std::string("dat")) + "' held by another process...\n";
        ASSERT_TRUE(second.start(node_, {kRecover, "rectwo", path}, node_.file("second.out")));
        ASSERT_TRUE(waitUntil([&] { return contains(second.err(), waiting); })) << second.err();
        EXPECT_TRUE(first.running());
        EXPECT_EQ(first.wait(), 0) << first.out();
        EXPECT_EQ(second.wait(), 0) << second.out();
        EXPECT_TRUE(second.err().starts_with(waiting) && second.err().find(waiting, 1) == std::string::npos)
            << "said once, not once per attempt: " << second.err();
        EXPECT_TRUE(contains(node_.log(), "[RECTWO] Recovery of " + path + " ended: 0 messages forwarded, 0 resends"))
            << node_.log();
        // Anything the second sent would have come within the acknowledgement delay.
        std::this_thread::sleep_for(milliseconds(300));
        arec.kill(SIGTERM);
        EXPECT_EQ(arec.wait(), 0);
        EXPECT_EQ(received(capture_), numbers(1, 8));
    }
}

// SIGTERM stops a recovery as a SHUT request does: the lines of an ending
// run, the file closed with the unacknowledged message in it, and a rerun
// forwards the rest.
TEST_F(FullRecovery, StopSignalEndsTheRunAsAShutdownDoes) {
    fill();
    Process arec, recovery;
    ASSERT_TRUE(startArec(arec, node_, capture_, {"--ack-delay-ms", "300"}));
    ASSERT_TRUE(recovery.start(node_, {kRecover, "recsvc", store_}, node_.file("recovery.out")));
    ASSERT_TRUE(waitUntil([&] { return received(capture_).size() >= 2; }));
    recovery.kill(SIGTERM);
    EXPECT_EQ(recovery.wait(), 0) << recovery.out();
    EXPECT_TRUE(recovery.out().ends_with(kClosing)) << recovery.out();
    EXPECT_TRUE(contains(node_.log(), "[RECSVC] \nReceived a stop signal: ending as on a shutdown request\n"))
        << node_.log();
    const std::size_t first = received(capture_).size();
    EXPECT_LT(first, 8u);

    EXPECT_EQ(run(node_, {"recsvc", store_}).exitCode, 0);
    std::this_thread::sleep_for(milliseconds(400));
    arec.kill(SIGTERM);
    EXPECT_EQ(arec.wait(), 0);
    Numbers all = received(capture_);
    all.erase(std::unique(all.begin(), all.end()), all.end());  // the outstanding one may come twice
    EXPECT_EQ(all, numbers(1, 8));
}

}  // namespace
