// A recovery started before its destination says on standard error that it
// waits and why, and when the destination is back; standard output is that
// of a run whose destination was there all along.
#include "tests/e2e/e2e_support.h"

namespace {

using namespace e2e;

class OperatorWait : public E2ETest {};

TEST_F(OperatorWait, DestinationThatComesLateIsWaitedForAloud) {
    fill();
    const Bytes stored = testsupport::readAllBytes(store_);
    std::string usualOut;
    {
        Process arec;
        ASSERT_TRUE(startArec(arec, node_, node_.file("usual.bin"), {"--exit-on-eof"}));
        const RunResult usual = run(node_, {"svc", store_});
        ASSERT_EQ(usual.exitCode, 0);
        usualOut = usual.out;
        EXPECT_EQ(arec.wait(), 0);
    }
    testsupport::writeAllBytes(store_, stored);

    Process recovery, arec;
    ASSERT_TRUE(recovery.start(node_, {kRecover, "svc", store_}, node_.file("recovery.out")));
    const std::string waiting = "zento_sf_recover: Waiting for the destination: TSK_AREC on node nodea cannot be "
                                "reached: nothing listens under the destination service name (No such file or "
                                "directory). The message at offset 192 stays in the store file and is sent again "
                                "every 10 s until it goes.\n";
    ASSERT_TRUE(waitUntil([&] { return contains(recovery.err(), waiting); })) << recovery.err();
    ASSERT_TRUE(startArec(arec, node_, capture_, {"--exit-on-eof"}));
    EXPECT_EQ(recovery.wait(), 0);
    EXPECT_EQ(arec.wait(), 0);
    EXPECT_EQ(received(capture_), numbers(1, 8));

    EXPECT_EQ(recovery.out(), usualOut);
    const std::string err = recovery.err();
    const std::string back = "zento_sf_recover: The destination is back: TSK_AREC on node nodea acknowledged the "
                             "message at offset 192 after ";
    ASSERT_TRUE(err.starts_with(waiting + back)) << err;
    EXPECT_TRUE(contains(err, " of waiting and 1 resend; forwarding goes on.\nzento_sf_recover: Recovery of " + store_ +
                                  " ended: 8 messages forwarded, 1 resends,"))
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
    const std::string log = node_.log();
    EXPECT_TRUE(contains(log, "[SVC] " + waiting.substr(std::strlen("zento_sf_recover: ")))) << log;
    EXPECT_TRUE(contains(log, "[SVC] " + back.substr(std::strlen("zento_sf_recover: ")))) << log;
}

}  // namespace
