// The destination's side of the conversation: acknowledgements that do not
// come, a shutdown in the middle, a destination that is not there yet.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/support/file_damage.h"

namespace {

using namespace e2e;

class Acknowledgements : public ::testing::Test {
protected:
    void fill(std::uint32_t count) {
        ASSERT_TRUE(tool(node_, {"create", store_}));
        ASSERT_TRUE(tool(node_, {"append", store_, "--count", std::to_string(count)}));
        stored_ = storedMessages(testsupport::readAllBytes(store_));
    }

    static std::size_t occurrences(const std::string& text, const std::string& part) {
        std::size_t count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
        return count;
    }

    testsupport::TempHome home_;
    Node node_ = Node::inside(home_, "nodea");
    std::string store_ = node_.file("store.dat");
    std::map<std::uint32_t, Bytes> stored_;
};

TEST_F(Acknowledgements, AMessageWithoutAcknowledgementIsSentAgainAfterItsDeadline) {
    fill(3);
    const std::string capture = node_.file("received.bin");
    Process arec;
    ASSERT_TRUE(startArec(arec, node_, capture, {"--no-ack", "2", "--exit-on-eof"}));
    const RunResult run = runRecovery(node_, {"E2E", store_});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(arec.wait(kReadyLimit), 0);

    const std::vector<Captured> received = capturedMessages(capture);
    EXPECT_EQ(sequencesOf(received), (std::vector<std::uint32_t>{1, 1, 1, 2, 3}));
    expectSameAsStored(received, stored_, node_.name);
    // The deadline is at least 5 seconds after each send and is checked by
    // whole seconds, so each of the two resends came more than 5 s late.
    EXPECT_GT(run.seconds, 10.0);

    const std::string log = node_.log();
    EXPECT_EQ(occurrences(log, "[E2E] Zen-TO Recover Store File Process retry sending msg for listid 1\n"), 1u)
        << "one retry line until the acknowledgement:\n"
        << log;
    EXPECT_NE(log.find("3 messages forwarded, 2 resends"), std::string::npos) << log;
}

TEST_F(Acknowledgements, ShutdownStopsMidwayAndARerunDeliversTheRest) {
    fill(20);
    const std::string firstCapture = node_.file("first.bin");
    Process first;
    ASSERT_TRUE(startArec(first, node_, firstCapture, {"--shut-after", "8"}));
    const RunResult stopped = runRecovery(node_, {"E2E", store_});
    EXPECT_EQ(stopped.exitCode, 0);
    const StoreFileHeader whole = headerOf(store_, 2);
    EXPECT_EQ(stopped.out, startedLine("E2E") + openingLines(2) + startingAtLine(192, whole.lastOffset) +
                               closingLines());
    EXPECT_NE(node_.log().find("[E2E] \nReceived Shutdown message from TSK_AREC on node nodea\n"), std::string::npos)
        << node_.log();
    first.kill(SIGTERM);
    EXPECT_EQ(first.wait(kReadyLimit), 0);
    EXPECT_EQ(sequencesOf(capturedMessages(firstCapture)), numbers(1, 8));

    const std::string secondCapture = node_.file("second.bin");
    Process second;
    ASSERT_TRUE(startArec(second, node_, secondCapture, {"--exit-on-eof"}));
    const RunResult rerun = runRecovery(node_, {"E2E", store_});
    EXPECT_EQ(rerun.exitCode, 0);
    EXPECT_EQ(second.wait(kReadyLimit), 0);
    EXPECT_NE(rerun.out.find("All messages have been forwarded.\n"), std::string::npos) << rerun.out;

    // The message that was answered with the shutdown was never acknowledged;
    // it may come again, but nothing acknowledged before it may.
    const std::vector<Captured> rest = capturedMessages(secondCapture);
    const std::vector<std::uint32_t> sequences = sequencesOf(rest);
    EXPECT_TRUE(sequences == numbers(8, 20) || sequences == numbers(9, 20)) << ::testing::PrintToString(sequences);
    expectSameAsStored(rest, stored_, node_.name);
    EXPECT_EQ(headerOf(store_, 2).forwardOffset, whole.lastMsgOffset);
}

TEST_F(Acknowledgements, ADestinationThatComesLateStillGetsEverythingOnce) {
    fill(5);
    Process recovery;
    ASSERT_TRUE(recovery.start(node_, {recoverProgram(), "E2E", store_}, node_.file("recover.out")));
    std::this_thread::sleep_for(milliseconds(3000));
    ASSERT_TRUE(recovery.running()) << "the recovery waits for its destination:\n" << recovery.out();

    const std::string capture = node_.file("received.bin");
    Process arec;
    ASSERT_TRUE(startArec(arec, node_, capture, {"--exit-on-eof"}));
    EXPECT_EQ(recovery.wait(kRunLimit), 0) << recovery.out();
    EXPECT_EQ(arec.wait(kReadyLimit), 0);

    const std::vector<Captured> received = capturedMessages(capture);
    EXPECT_EQ(sequencesOf(received), numbers(1, 5));
    expectSameAsStored(received, stored_, node_.name);
    EXPECT_NE(node_.log().find("[E2E] Recover Store File Process had error on send; listid 1\n"), std::string::npos)
        << node_.log();
}

}  // namespace
