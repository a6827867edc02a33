// A destination slower than the acknowledgement deadline answers both a
// message and its resend, then dies. Its second answer must not count for the
// message sent next, or that message leaves the store file without ever
// having been acknowledged, and is lost.
#include "tests/robustness/robustness_support.h"
#include "tools/arec/arec_answers.h"

namespace {

using namespace robust;

class StaleAcknowledgement : public RecoveryProcessTest {};

TEST_F(StaleAcknowledgement, MessageSentAfterALateAnsweredResendStaysInTheFile) {
    const std::string store = path("store.dat");
    makeStore(store, 3);

    // Seven seconds is past the deadline of at least five (plus the second
    // in which the resend falls): message 1 goes out twice and both sends are
    // answered, the second answer while message 2 awaits its own.
    auto slow = startArec("slow", {"--ack-delay-ms", "7000", "--ack-first", "2", "--out", path("slow.bin")});
    auto recovery = startRecovery("recovery", {"recsvc", store});

    ASSERT_TRUE(waitUntil([&] { return contains(slow->out(), "message 2: "); }, std::chrono::seconds(15)))
        << slow->out() << recovery->out();
    // Until the late answer to the resend has come and been handled.
    waitUntil([&] { return contains(libraryLog(), "Ignoring an acknowledgement of transaction"); },
              std::chrono::milliseconds(7000 + 1500));
    slow->kill(SIGKILL);
    recovery->kill(SIGKILL);

    const std::vector<std::uint32_t> first = receivedSequences(path("slow.bin"));
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(std::vector<std::uint32_t>(first.begin(), first.begin() + 3), (std::vector<std::uint32_t>{1, 1, 2}));

    // A second recovery to a sound destination forwards what is left.
    auto sound = startArec("sound", {"--out", path("sound.bin"), "--exit-on-eof"});
    auto rerun = startRecovery("rerun", {"recsvc", store});
    EXPECT_EQ(rerun->wait(), 0) << rerun->out();
    EXPECT_EQ(sound->wait(), 0);
    EXPECT_EQ(receivedSequences(path("sound.bin")), (std::vector<std::uint32_t>{2, 3}))
        << "message 2 was never acknowledged by the destination that received it";
}

TEST(ArecAnswers, AckFirstAnswersOnlyTheFirstMessages) {
    ArecOptions options;
    options.ackFirst = 2;
    EXPECT_TRUE(answerFor(options, 1).ack);
    EXPECT_TRUE(answerFor(options, 2).ack);
    EXPECT_FALSE(answerFor(options, 3).ack);
    EXPECT_FALSE(answerFor(options, 100).ack);

    options.noAck = 1;  // both limits hold together
    EXPECT_FALSE(answerFor(options, 1).ack);
    EXPECT_TRUE(answerFor(options, 2).ack);

    ArecOptions parsed;
    std::string error;
    const char* args[] = {"zento_arec", "--ack-first", "5"};
    ASSERT_EQ(parseArecOptions(3, args, parsed, error), ArecParse::Run) << error;
    EXPECT_EQ(parsed.ackFirst, 5u);
}

}  // namespace
