// The in-process backend other tests drive the program with: its clock,
// scripted deliveries, sends and faults, reached through the ZENTO_SERVER_*
// calls as the program reaches them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "msglib/inprocess.h"
#include "msglib/transport_codes.h"
#include "tests/support/temp_home.h"
#include "tests/transport/test_messages.h"

using namespace msglib;
using transport_test::entries;
using transport_test::makeMessage;
using Call = InProcessNetwork::Call;

namespace {

class InProcess : public testsupport::TempHomeTest {
protected:
    void SetUp() override {
        ::setenv("ZENTO_NODE", "alpha", 1);
        ZENTO_SERVER_INIT(1, "RECOVER", self_, status_);
        ASSERT_FALSE(statusFailed(status_));
    }
    void TearDown() override { ::unsetenv("ZENTO_NODE"); }

    std::int64_t elapsedMs() const { return network_.nowMs() - InProcessNetwork::kStartMs; }

    InProcessNetwork network_;
    ScopedTransport use_{network_};
    AddressRecord self_{};
    StatusBlock status_{};
    const AddressRecord arec_ = makeAddress("beta", "TSK_AREC");
};

}  // namespace

TEST_F(InProcess, ClockMovesOnlyWhenTheProgramWaits) {
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    EXPECT_EQ(now.seconds, 1'700'000'000);
    EXPECT_EQ(now.milliseconds, 0);

    ZENTO_SERVER_SLEEP(3);
    ZENTO_SERVER_SLEEP(0);
    ZENTO_SERVER_SLEEP(-4);
    EXPECT_EQ(elapsedMs(), 300);

    Message msg;
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, msg, status_), 0);
    EXPECT_EQ(elapsedMs(), 800) << "an empty receive waits its whole time-out";
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(0, msg, status_), 0);
    EXPECT_EQ(elapsedMs(), 800);

    network_.advanceMs(1'234);
    ZENTO_SERVER_GETTIME(now);
    EXPECT_EQ(now.seconds, 1'700'000'002);
    EXPECT_EQ(now.milliseconds, 34);
}

TEST_F(InProcess, DeliveriesComeOutWhenDue) {
    const std::int64_t start = network_.nowMs();
    const Message first = makeMessage(300, self_, arec_);
    const Message second = makeMessage(301, self_, arec_);
    const Message late = makeMessage(302, self_, arec_);
    network_.deliverAt(start + 1'200, late.view());
    network_.deliverAt(start + 700, first.view());
    network_.deliverAt(start + 700, second.view());

    Message msg;
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, msg, status_), 0) << "nothing due within 500 ms";
    EXPECT_EQ(network_.nowMs(), start + 500);
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, msg, status_), 300) << "due times win over arrival order";
    EXPECT_EQ(network_.nowMs(), start + 700) << "the clock stops at the delivery";
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, msg, status_), 301) << "equal due times keep their order";
    EXPECT_EQ(network_.nowMs(), start + 700);

    network_.advanceMs(10'000);
    const std::int64_t later = network_.nowMs();
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, msg, status_), 302) << "an overdue delivery comes at once";
    EXPECT_EQ(network_.nowMs(), later);
    EXPECT_EQ(transport_test::payload(msg.view()), transport_test::payload(late.view()));
    EXPECT_EQ(network_.pendingDeliveries(), 0u);
}

TEST_F(InProcess, SendsAreRecordedAndAScriptedPeerAnswers) {
    network_.declareReachable(makeAddress("BETA.plant.example", "TSK_AREC"));
    network_.onSend([&](InProcessNetwork& net, MsgView sent) {
        Message ack;
        StatusBlock status;
        buildNotification(kTransAck, ZENTO_SERVER_MSGDEST(sent), ZENTO_SERVER_MSGSRC(sent), 0, ack, status);
        net.deliverAt(net.nowMs() + 2'000, ack.view());
    });
    const Message msg = makeMessage(400, arec_, self_);
    network_.advanceMs(50);
    ZENTO_SERVER_SEND(50, msg.view(), status_);
    ASSERT_FALSE(statusFailed(status_));
    ASSERT_EQ(network_.sent().size(), 1u);
    EXPECT_EQ(network_.sent()[0].timeMs, InProcessNetwork::kStartMs + 50);
    EXPECT_EQ(network_.sent()[0].timeout, 50);
    EXPECT_EQ(network_.sent()[0].bytes, std::vector<std::uint8_t>(msg.view().begin(), msg.view().end()));

    Message reply;
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(10, reply, status_), 0) << "the ACK is 2 s away";
    EXPECT_GT(ZENTO_SERVER_RECEIVE(20, reply, status_), 0);
    EXPECT_EQ(elapsedMs(), 2'050);
    EXPECT_EQ(ZENTO_SERVER_TRANSTYPE(reply.view()), kTransAck);
    EXPECT_EQ(fixedText(ZENTO_SERVER_MSGSRC(reply.view()).node, 32), "beta");
}

TEST_F(InProcess, UndeclaredDestinationsFailAsTheSocketBackendDoes) {
    const Message toArec = makeMessage(400, arec_, self_);
    ZENTO_SERVER_SEND(50, toArec.view(), status_);
    EXPECT_EQ(entries(status_), (std::vector<std::pair<int, int>>{{1, ENOENT}, {9, kTransportNoSuchService}}));

    network_.declareReachable(arec_);
    network_.declareUnreachable(makeAddress("Beta.x", "TSK_AREC"));
    ZENTO_SERVER_SEND(50, toArec.view(), status_);
    EXPECT_TRUE(statusFailed(status_)) << "undeclared under another spelling of the node";

    network_.declareReachable(arec_);
    const Message otherService = makeMessage(400, makeAddress("beta", "tsk_arec"), self_);
    ZENTO_SERVER_SEND(50, otherService.view(), status_);
    EXPECT_TRUE(statusFailed(status_)) << "service names compare exactly";
    EXPECT_TRUE(network_.sent().empty());

    // The registered service reaches itself under any local spelling.
    const Message toSelf = makeMessage(300, makeAddress("localhost", "RECOVER"), self_);
    ZENTO_SERVER_SEND(50, toSelf.view(), status_);
    ASSERT_FALSE(statusFailed(status_));
    Message back;
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(0, back, status_), 300);
}

TEST_F(InProcess, InjectedFaultsHitTheChosenCalls) {
    network_.declareReachable(arec_);
    const Message msg = makeMessage(400, arec_, self_);
    network_.failNth(Call::kSend, 2, 1, ECONNRESET);
    network_.failNext(Call::kReceive, 2, 9, kTransportReceiveFailed);
    network_.failNext(Call::kAccept, 1, 9, kTransportAcceptFailed);
    network_.failNth(Call::kExit, 1, 9, 9999);

    std::vector<bool> sendFailed;
    for (int i = 0; i < 3; ++i) {
        ZENTO_SERVER_SEND(50, msg.view(), status_);
        sendFailed.push_back(statusFailed(status_));
        if (i == 1) {
            EXPECT_EQ(entries(status_), (std::vector<std::pair<int, int>>{{1, ECONNRESET}}));
        }
    }
    EXPECT_EQ(sendFailed, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(network_.sent().size(), 2u) << "a failed send goes nowhere";

    Message in;
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, in, status_), -1);
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, in, status_), -1);
    EXPECT_EQ(entries(status_), (std::vector<std::pair<int, int>>{{9, kTransportReceiveFailed}}));
    EXPECT_EQ(elapsedMs(), 0) << "a failed receive does not wait";
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(5, in, status_), 0);
    EXPECT_FALSE(statusFailed(status_));

    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_TRUE(statusFailed(status_));
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_FALSE(statusFailed(status_));

    ZENTO_SERVER_EXIT(status_);
    EXPECT_TRUE(statusFailed(status_));
    EXPECT_TRUE(network_.registered()) << "a failed EXIT leaves the registration";
    ZENTO_SERVER_EXIT(status_);
    EXPECT_FALSE(network_.registered());
    EXPECT_EQ(network_.calls(Call::kSend), 3);
    EXPECT_EQ(network_.calls(Call::kExit), 2);

    network_.failNth(Call::kInit, 1, 9, kTransportServiceInUse);
    AddressRecord self{};
    ZENTO_SERVER_INIT(1, "RECOVER", self, status_);
    EXPECT_TRUE(statusFailed(status_));
    EXPECT_FALSE(network_.registered());
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_EQ(entries(status_), (std::vector<std::pair<int, int>>{{9, kTransportNotRegistered}}));
}

TEST(TransportInstall, CallsReturnToTheSocketBackendAfterTheScope) {
    {
        InProcessNetwork network;
        ScopedTransport use(network);
        network.setTimeMs(5'000);
        TimeStamp now{};
        ZENTO_SERVER_GETTIME(now);
        EXPECT_EQ(now.seconds, 5);
    }
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    EXPECT_LE(std::abs(now.seconds - static_cast<std::int32_t>(std::time(nullptr))), 2);
}
