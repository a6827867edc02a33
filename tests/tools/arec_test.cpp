// zento_arec against a sender on the real transport, with nobody reading its
// standard output: what it answers, what it keeps, how it ends.
#include <csignal>
#include <thread>

#include "tests/tools/tool_test_support.h"

namespace {

using namespace tooltest;

class Arec : public ToolTest {
protected:
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitExit(pid_);
        }
        StatusBlock status;
        ZENTO_SERVER_EXIT(status);
    }

    // A stored GET reply as a recovery forwards it: to TSK_AREC, from us, with its transaction number.
    Message send(std::uint32_t sequence, std::uint32_t transNum) {
        SampleShape shape;
        shape.requesterNode = kNode;
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

    void expectNotification(std::int32_t transType, std::uint32_t transNum) {
        StatusBlock status;
        ZENTO_SERVER_ACCEPT(status);
        Message note;
        ASSERT_GT(ZENTO_SERVER_RECEIVE(50, note, status), 0) << "no notification " << transType;
        EXPECT_EQ(ZENTO_SERVER_MSGTYPE(note.view()), kMsgNotification);
        EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(note.view()), transType);
        EXPECT_EQ(ZENTO_SERVER_TRANSNUM(note.view()), transNum);
        const AddressRecord from = ZENTO_SERVER_MSGSRC(note.view());
        EXPECT_EQ(std::string(fixedText(from.node, 32)) + "/" + std::string(fixedText(from.service, 32)),
                  std::string(kNode) + "/TSK_AREC");
    }

    pid_t pid_ = -1;
    AddressRecord self_{};
};

TEST_F(Arec, AnswersEachMessageWithItsTransactionNumberKeepsItAndEndsOnSigterm) {
    const std::string socket = path("run/TSK_AREC.sock");
    pid_ = spawn({arec(), "--disconnect-after", "1", "--shut-after", "2", "--out", path("kept.bin")}, "",
                 path("arec.err"));
    ASSERT_GT(pid_, 0);
    for (int i = 0; i < 500 && !std::filesystem::exists(socket); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    StatusBlock status;
    ZENTO_SERVER_INIT(1, "TOOLTEST", self_, status);
    ASSERT_FALSE(statusFailed(status));

    std::string sent;
    const auto keep = [&](const Message& m) { sent.append(reinterpret_cast<const char*>(m.data()), m.size); };
    keep(send(1, 101));
    expectNotification(kTransDisconnect, 101);
    expectNotification(kTransAck, 101);
    keep(send(2, 102));
    expectNotification(kTransShut, 102);  // in place of the acknowledgement
    // Answers keep their order: an acknowledgement of message 2 would come first.
    keep(send(3, 103));
    expectNotification(kTransAck, 103);
    EXPECT_EQ(readFile(path("kept.bin")), sent);

    ASSERT_EQ(::kill(pid_, SIGTERM), 0);
    EXPECT_EQ(waitExit(pid_), 0);
    pid_ = -1;
    EXPECT_FALSE(std::filesystem::exists(socket)) << "left without ZENTO_SERVER_EXIT";
    EXPECT_EQ(readFile(path("arec.err")), "");
}

}  // namespace
