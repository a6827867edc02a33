// Recoveries that meet a second party: a destination that answers a message
// twice, and a second recovery of the same store file.
#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

class TwoRecoveries : public E2ETest {
protected:
    void SetUp() override { fill(); }
};

// A destination slower than the acknowledgement deadline answers both a
// message and its resend, then dies. Its second answer must not count for
// the message sent next, or that message leaves the store file without ever
// having been acknowledged, and is lost.
TEST_F(TwoRecoveries, MessageSentAfterALateAnsweredResendStaysInTheFile) {
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
    EXPECT_EQ(received(capture_), numbers(2, 8)) << "message 2 was never acknowledged by the destination that received it";
}

// Under another service name the second recovery waits for the first's lock
// on the file (and says so once), then finds nothing left; under the same
// name it cannot register at all. Either way each message arrives once.
TEST_F(TwoRecoveries, SecondRecoveryOfAFileWaitsForTheFirstThenFindsNothingLeft) {
    // Slow enough answers that the first recovery holds the file a while.
    Process arec, first, second;
    ASSERT_TRUE(startArec(arec, node_, capture_, {"--ack-delay-ms", "400"}));
    ASSERT_TRUE(first.start(node_, {kRecover, "recone", store_}, node_.file("first.out")));
    ASSERT_TRUE(waitUntil([&] { return contains(first.out(), "File opened.\n"); })) << first.out();

    const RunResult same = run(node_, {"RECONE", store_});
    EXPECT_EQ(same.exitCode, 1);
    EXPECT_EQ(same.out, "\nfacility=9  error=9104Critical error - Failed to initialize ZENT I/O, Exiting\n");

    const std::string waiting = "Waiting for the lock on 'dat' held by another process...\n";
    ASSERT_TRUE(second.start(node_, {kRecover, "rectwo", store_}, node_.file("second.out")));
    ASSERT_TRUE(waitUntil([&] { return contains(second.err(), waiting); })) << second.err();
    EXPECT_EQ(second.out(), "Zen-TO Recover Process for DLGP service 'RECTWO' started.\n")
        << "the store file is opened only once the first recovery has let go of it";
    EXPECT_TRUE(first.running());
    EXPECT_EQ(first.wait(), 0) << first.out();
    EXPECT_EQ(second.wait(), 0) << second.out();
    EXPECT_EQ(second.err(), waiting) << "said once, not once per attempt";
    EXPECT_TRUE(contains(second.out(), "Ending program.\n"));
    EXPECT_TRUE(contains(node_.log(), "[RECTWO] Recovery of " + store_ + " ended: 0 messages forwarded, 0 resends"))
        << node_.log();
    // Anything the second sent would have come within the acknowledgement delay.
    std::this_thread::sleep_for(milliseconds(300));
    arec.kill(SIGTERM);
    EXPECT_EQ(arec.wait(), 0);
    EXPECT_EQ(received(capture_), numbers(1, 8));
}

}  // namespace
