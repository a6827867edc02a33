// zento_arec against a small sender on the real transport: what it answers,
// what it keeps, how it ends. Its option parsing and answer rules in-process.
#include <csignal>
#include <optional>
#include <thread>

#include "forward/end_of_file_notice.h"
#include "tests/tools/tool_test_support.h"
#include "tools/arec/arec_answers.h"
#include "tools/arec/arec_options.h"

namespace {

using namespace tooltest;

constexpr const char* kSender = "TOOLTEST";

class Arec : public ToolTest {
protected:
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            waitExit(pid_);
        }
        StatusBlock status;
        if (registered_) ZENTO_SERVER_EXIT(status);
    }

    // Starts zento_arec and waits for its "ready"; registers the sender.
    void start(std::vector<std::string> options) {
        std::vector<std::string> args{arec()};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = spawn(args, path("arec.out"), path("arec.err"));
        ASSERT_GT(pid_, 0);
        for (int i = 0; i < 500 && readFile(path("arec.out")).find("ready\n") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_EQ(readFile(path("arec.out")), "ready\n") << readFile(path("arec.err"));
        StatusBlock status;
        ZENTO_SERVER_INIT(1, kSender, self_, status);
        ASSERT_FALSE(statusFailed(status));
        registered_ = true;
    }

    // A stored GET reply as a recovery forwards it: to TSK_AREC, from us.
    Message send(std::uint32_t sequence, std::uint32_t transNum, std::uint32_t size = 0) {
        SampleShape shape;
        shape.requesterNode = kNode;
        shape.size = size;
        Message message;
        std::string error;
        EXPECT_TRUE(buildSampleMessage(shape, sequence, message, error)) << error;
        ZENTO_SERVER_SET_MSGDEST(message.span(), makeAddress(kNode, "TSK_AREC"));
        ZENTO_SERVER_SET_MSGSRC(message.span(), self_);
        ZENTO_SERVER_SET_TRANSNUM(message.span(), transNum);
        StatusBlock status;
        ZENTO_SERVER_SEND(50, message.view(), status);
        EXPECT_FALSE(statusFailed(status));
        return message;
    }

    // The next message within about `units` tenths of a second.
    std::optional<Message> receive(std::int32_t units = 50) {
        StatusBlock status;
        ZENTO_SERVER_ACCEPT(status);
        Message message;
        if (ZENTO_SERVER_RECEIVE(units, message, status) <= 0) return std::nullopt;
        return message;
    }

    void expectNotification(std::int32_t transType, std::uint32_t transNum) {
        const std::optional<Message> note = receive();
        ASSERT_TRUE(note.has_value()) << "no notification " << transType;
        EXPECT_EQ(ZENTO_SERVER_MSGTYPE(note->view()), kMsgNotification);
        EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(note->view()), transType);
        EXPECT_EQ(ZENTO_SERVER_TRANSNUM(note->view()), transNum);
        const AddressRecord from = ZENTO_SERVER_MSGSRC(note->view());
        EXPECT_EQ(fixedText(from.node, 32), kNode);
        EXPECT_EQ(fixedText(from.service, 32), "TSK_AREC");
        EXPECT_EQ(fixedText(ZENTO_SERVER_MSGDEST(note->view()).service, 32), kSender);
    }

    // The recovery's end-of-file notice, as it sends it.
    void sendNotice() {
        RecoverContext ctx;
        setFixedText(ctx.serviceName, sizeof ctx.serviceName, kSender);
        ctx.selfAddress = self_;
        ctx.destinationAddress = makeAddress(kNode, "TSK_AREC");
        setFixedText(ctx.deviceName, sizeof ctx.deviceName, "SFTOOL");
        StatusBlock status;
        sendEndOfFileNotice(ctx, status);
        ASSERT_FALSE(statusFailed(status));
    }

    std::string output() { return readFile(path("arec.out")); }

    pid_t pid_ = -1;
    bool registered_ = false;
    AddressRecord self_{};
};

TEST_F(Arec, AcknowledgesEachMessageWithItsTransactionNumber) {
    start({});
    send(1, 101);
    expectNotification(kTransAck, 101);
    send(2, 102, 900);
    expectNotification(kTransAck, 102);
    const std::string out = output();
    EXPECT_NE(out.find("message 1: size 684, list id 1, from testnode/TOOLTEST\n"), std::string::npos) << out;
    EXPECT_NE(out.find("message 2: size 900, list id 2, from testnode/TOOLTEST\n"), std::string::npos) << out;
}

TEST_F(Arec, WithheldAcknowledgementsComeForTheResend) {
    start({"--no-ack", "1"});
    send(1, 7);
    EXPECT_FALSE(receive(10).has_value()) << "the first message goes unanswered";
    send(1, 7);  // the recovery's resend: the same message
    expectNotification(kTransAck, 7);
}

TEST_F(Arec, DisconnectAndShutAfterTheNamedMessages) {
    start({"--disconnect-after", "1", "--shut-after", "2"});
    send(1, 1);
    expectNotification(kTransDisconnect, 1);
    expectNotification(kTransAck, 1);
    send(2, 2);
    expectNotification(kTransShut, 2);
    // Answers keep their order, so an acknowledgement of message 2 would
    // come before that of message 3.
    send(3, 3);
    expectNotification(kTransAck, 3);
    EXPECT_NE(output().find("sent SHUT to testnode/TOOLTEST"), std::string::npos);
}

TEST_F(Arec, DelayedAcknowledgementsKeepTheirDelay) {
    start({"--ack-delay-ms", "300"});
    const auto sent = std::chrono::steady_clock::now();
    send(1, 11);
    expectNotification(kTransAck, 11);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
}

TEST_F(Arec, KeepsForwardedMessagesAndEndsOnTheEndOfFileNotice) {
    const std::string kept = path("kept.bin");
    start({"--out", kept, "--exit-on-eof"});
    std::string expected;
    std::uint32_t number = 0;
    for (std::uint32_t size : {700u, 1200u, 900u}) {
        ++number;
        const Message message = send(number, number, size);
        expected.append(reinterpret_cast<const char*>(message.data()), message.size);
        expectNotification(kTransAck, number);
    }

    sendNotice();
    EXPECT_EQ(waitExit(pid_), 0);
    pid_ = -1;
    EXPECT_EQ(readFile(kept), expected) << "the messages as they arrived, the notice not among them";
    const std::string out = output();
    EXPECT_EQ(out.substr(out.rfind("message 3")), "message 3: size 900, list id 3, from testnode/TOOLTEST\n"
                                                  "end-of-file notice received\n");
}

// For long runs: the first message's line, then only the count at the end.
TEST_F(Arec, QuietPrintsTheFirstMessageAndTheCount) {
    start({"--quiet", "--exit-on-eof"});
    for (std::uint32_t number = 1; number <= 3; ++number) {
        send(number, number);
        expectNotification(kTransAck, number);
    }
    sendNotice();
    EXPECT_EQ(waitExit(pid_), 0);
    pid_ = -1;
    EXPECT_EQ(output(), "ready\n"
                        "message 1: size 684, list id 1, from testnode/TOOLTEST\n"
                        "end-of-file notice received\n"
                        "3 messages received\n");
}

// Nobody reads its lines any more: it goes on acknowledging all the same.
TEST_F(Arec, AnswersWithItsStandardOutputClosed) {
    pid_ = spawnWithClosedStdout({arec(), "--exit-on-eof"}, path("arec.err"));
    ASSERT_GT(pid_, 0);
    const std::string socket = std::string(std::getenv("ZENTO_HOME")) + "/run/TSK_AREC.sock";
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StatusBlock status;
    ZENTO_SERVER_INIT(1, kSender, self_, status);
    ASSERT_FALSE(statusFailed(status));
    registered_ = true;
    send(1, 21);
    expectNotification(kTransAck, 21);
    send(2, 22);
    expectNotification(kTransAck, 22);
    sendNotice();
    EXPECT_EQ(waitExit(pid_), 0);
    pid_ = -1;
}

TEST_F(Arec, SigtermEndsTheRegistration) {
    start({"--service", "TSK_AREC"});
    const std::string socket = std::string(std::getenv("ZENTO_HOME")) + "/run/TSK_AREC.sock";
    EXPECT_TRUE(std::filesystem::exists(socket));
    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    EXPECT_EQ(waitExit(pid_), 0);
    pid_ = -1;
    EXPECT_FALSE(std::filesystem::exists(socket)) << "left without ZENTO_SERVER_EXIT";
}

TEST(ArecOptions, ParsesAndRefuses) {
    struct Case {
        std::vector<const char*> args;
        ArecParse expected;
    };
    const std::vector<Case> cases = {
        {{"zento_arec"}, ArecParse::Run},
        {{"zento_arec", "--help"}, ArecParse::Help},
        {{"zento_arec", "--no-ack"}, ArecParse::Bad},
        {{"zento_arec", "--no-ack", "-1"}, ArecParse::Bad},
        {{"zento_arec", "--service", "A_NAME_OF_MORE_THAN_31_CHARACTERS"}, ArecParse::Bad},
        {{"zento_arec", "--frob"}, ArecParse::Bad},
    };
    for (const Case& c : cases) {
        ArecOptions options;
        std::string error;
        EXPECT_EQ(parseArecOptions(static_cast<int>(c.args.size()), c.args.data(), options, error), c.expected)
            << c.args.back();
        if (c.expected == ArecParse::Bad) {
            EXPECT_FALSE(error.empty());
        }
    }
    ArecOptions options;
    std::string error;
    const char* args[] = {"zento_arec", "--no-ack", "2", "--shut-after", "3", "--service", "OTHER"};
    ASSERT_EQ(parseArecOptions(7, args, options, error), ArecParse::Run);
    EXPECT_EQ(options.noAck, 2u);
    EXPECT_EQ(options.shutAfter, 3u);
    EXPECT_EQ(options.service, "OTHER");
}

TEST(ArecAnswers, FollowTheOptions) {
    ArecOptions options;
    options.noAck = 2;
    options.shutAfter = 4;
    options.disconnectAfter = 1;
    const auto first = answerFor(options, 1);
    EXPECT_TRUE(first.disconnect);
    EXPECT_FALSE(first.ack) << "withheld comes before the usual acknowledgement";
    EXPECT_FALSE(answerFor(options, 2).ack);
    EXPECT_TRUE(answerFor(options, 3).ack);
    const auto shut = answerFor(options, 4);
    EXPECT_TRUE(shut.shut);
    EXPECT_FALSE(shut.ack);
    EXPECT_TRUE(answerFor(options, 5).ack);

    AckQueue queue;
    queue.push({100, {}, 1});
    queue.push({200, {}, 2});
    EXPECT_TRUE(queue.takeDue(99).empty());
    const auto due = queue.takeDue(150);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].transNum, 1u);
    EXPECT_EQ(queue.takeDue(1000).size(), 1u);
    EXPECT_TRUE(queue.empty());
}

}  // namespace
