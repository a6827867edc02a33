// The socket backend between real processes: the peer program answers
// requests or abandons its name, raw sockets play misbehaving peers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "msglib/transport_codes.h"
#include "msglib/transport_frame.h"
#include "tests/support/temp_home.h"
#include "tests/transport/test_messages.h"

using namespace transport_test;
using Named = std::pair<std::string, std::string>;  // node, service

namespace {

// The peer program as a child process; killed if the test leaves it running.
class Peer {
public:
    Peer(const std::string& mode, const std::string& service, const std::string& environment = "")
        : out_(::popen(("exec env " + environment + " " TRANSPORT_PEER_PATH " " + mode + " " + service).c_str(),
                       "r")) {}
    ~Peer() {
        if (out_ == nullptr) return;
        if (pid_ > 0) ::kill(pid_, SIGKILL);
        ::pclose(out_);
    }
    // True once the peer has registered its name.
    bool ready() { return out_ != nullptr && std::fscanf(out_, "ready %d", &pid_) == 1; }
    int exitCode() {
        const int status = ::pclose(std::exchange(out_, nullptr));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    FILE* out_;
    int pid_ = -1;
};

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}
int rawConnect(const std::string& path) {
    const sockaddr_un address = unixAddress(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    return fd;
}
// A listener that never accepts by itself: a peer the test plays by hand.
int rawListen(const std::string& path) {
    const sockaddr_un address = unixAddress(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd, 4), 0);
    return fd;
}
void rawWrite(int fd, const Bytes& bytes, std::size_t from, std::size_t to) {
    ASSERT_EQ(::write(fd, bytes.data() + from, to - from), static_cast<ssize_t>(to - from));
}
bool closedByPeer(int fd) {
    pollfd entry{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&entry, 1, 5'000) == 1 && ::recv(fd, &byte, 1, 0) == 0;
}
int freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}
std::string fileText(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}
std::string field(const char* text) { return std::string(fixedText(text, 32)); }
Bytes payload(MsgView msg) { return {msg.begin() + head::kSize, msg.end()}; }
bool isDisconnect(MsgView msg) {
    return ZENTO_SERVER_MSGTYPE(msg) == kMsgNotification && ZENTO_SERVER_TRANSTYPE(msg) == kTransDisconnect;
}

class SocketTransport : public testsupport::TempHomeTest {
protected:
    void SetUp() override { ::setenv("ZENTO_NODE", "testnode", 1); }
    void TearDown() override {
        EXPECT_TRUE(disconnects_.empty()) << "an unexpected DISCONNECT";
        ZENTO_SERVER_EXIT(status_);
        ::unsetenv("ZENTO_NODE");
    }
    void registerAs(const char* service) {
        ZENTO_SERVER_INIT(1, service, self_, status_);
        ASSERT_FALSE(statusFailed(status_)) << status_.error[0];
    }
    void noteDisconnect(MsgView msg) {
        const AddressRecord source = ZENTO_SERVER_MSGSRC(msg);
        EXPECT_EQ(std::memcmp(&source, msg.data() + 220, 64), 0) << "named as source and requester";
        disconnects_.emplace_back(field(source.node), field(source.service));
    }
    // The next message that is no DISCONNECT (those are kept for disconnects()).
    std::int32_t receive(Message& msg, std::int32_t timeout = 50) {
        std::int32_t length = 0;
        while ((length = ZENTO_SERVER_RECEIVE(timeout, msg, status_)) > 0 && isDisconnect(msg.view())) {
            noteDisconnect(msg.view());
        }
        return length;
    }
    // Sends requests of the given sizes to echo and checks the copies coming back.
    void expectEchoes(const AddressRecord& echo, std::initializer_list<std::uint32_t> sizes, const char* echoNode) {
        for (std::uint32_t size : sizes) {
            const Message request = makeMessage(size, echo, self_);
            ZENTO_SERVER_SEND(50, request.view(), status_);
            ASSERT_FALSE(statusFailed(status_)) << "size " << size << ": " << entries(status_).back().second;
            Message reply;
            ASSERT_EQ(receive(reply), static_cast<std::int32_t>(size));
            EXPECT_EQ(field(ZENTO_SERVER_MSGSRC(reply.view()).node), echoNode);
            EXPECT_EQ(field(ZENTO_SERVER_MSGSRC(reply.view()).service), field(echo.service));
            EXPECT_EQ(field(ZENTO_SERVER_MSGDEST(reply.view()).service), field(self_.service));
            EXPECT_EQ(payload(reply.view()), payload(request.view()));
        }
    }
    void shutDown(Peer& peer, const AddressRecord& address) {
        Message shut;
        buildNotification(kTransShut, self_, address, 0, shut, status_);
        ZENTO_SERVER_SEND(50, shut.view(), status_);
        ASSERT_FALSE(statusFailed(status_));
        EXPECT_EQ(peer.exitCode(), 0);
    }
    // The DISCONNECTs that came while waiting for replies, then up to count in all.
    std::multiset<Named> disconnects(std::size_t count) {
        Message msg;
        while (disconnects_.size() < count && ZENTO_SERVER_RECEIVE(50, msg, status_) > 0) {
            EXPECT_TRUE(isDisconnect(msg.view()));
            noteDisconnect(msg.view());
        }
        std::multiset<Named> named(disconnects_.begin(), disconnects_.end());
        disconnects_.clear();
        EXPECT_EQ(ZENTO_SERVER_RECEIVE(2, msg, status_), 0) << "nothing more";
        return named;
    }

    AddressRecord self_{};
    StatusBlock status_{};
    std::vector<Named> disconnects_;
};

}  // namespace

TEST_F(SocketTransport, RequestsRepliesAndOneDisconnectPerConnection) {
    Peer echo("echo", "ECHO");
    ASSERT_TRUE(echo.ready());
    registerAs("TESTER");
    // Around the reader's staging buffer, and many socket buffers long.
    expectEchoes(makeAddress("", "ECHO"), {292, 400, 100'000, 3'000'000}, "testnode");
    shutDown(echo, makeAddress("localhost", "ECHO"));

    // The cached connection leads to the ended process: a new one is opened.
    Peer successor("echo", "ECHO");
    ASSERT_TRUE(successor.ready());
    expectEchoes(makeAddress("", "ECHO"), {400}, "testnode");
    shutDown(successor, makeAddress("", "ECHO"));
    // Replies came back on the connections the requests went out on: one
    // more connection would bring one more DISCONNECT.
    EXPECT_EQ(disconnects(2), (std::multiset<Named>{{"testnode", "ECHO"}, {"testnode", "ECHO"}}));

    const Message again = makeMessage(400, makeAddress("", "ECHO"), self_);
    ZENTO_SERVER_SEND(50, again.view(), status_);
    EXPECT_EQ(entries(status_), (Entries{{1, ENOENT}, {9, kTransportNoSuchService}})) << "EXIT removed the name";
}

TEST_F(SocketTransport, UnreachableDestinationsFailAtOnce) {
    Peer gone("abandon", "STALE");
    ASSERT_TRUE(gone.ready());
    ASSERT_EQ(gone.exitCode(), 0);
    registerAs("TESTER");
    const std::tuple<const char*, const char*, Entries> cases[] = {
        {"", "NOBODY", {{1, ENOENT}, {9, kTransportNoSuchService}}},
        {"localhost", "STALE", {{1, ECONNREFUSED}, {9, kTransportNoSuchService}}},
        {"testnode", "../x", {{1, ENOENT}, {9, kTransportNoSuchService}}},
        {"farnode", "ECHO", {{9, kTransportNoRoute}}},
        {"", "", {{9, kTransportNoDestination}}},
    };
    for (const auto& [node, service, expected] : cases) {
        const Message msg = makeMessage(400, makeAddress(node, service), self_);
        const auto start = std::chrono::steady_clock::now();
        ZENTO_SERVER_SEND(50, msg.view(), status_);
        EXPECT_EQ(entries(status_), expected) << node << "/" << service;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "within the 5 s time-out";
    }
    Message bad = makeMessage(400, makeAddress("", "STALE"), self_);
    bad.data()[head::kLengthOffset] = 0x91;
    ZENTO_SERVER_SEND(50, bad.view(), status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportBadMessage}}));
}

TEST_F(SocketTransport, RegistrationOwnsItsNameUntilExit) {
    Peer live("echo", "ECHO");
    ASSERT_TRUE(live.ready());
    const std::pair<const char*, std::int32_t> refused[] = {
        {"ECHO", kTransportServiceInUse}, {"A/B", kTransportBadServiceName}, {"", kTransportBadServiceName}};
    for (const auto& [name, code] : refused) {
        ZENTO_SERVER_INIT(1, name, self_, status_);
        EXPECT_EQ(entries(status_), (Entries{{9, code}})) << name;
    }
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportNotRegistered}}));

    Peer gone("abandon", "STALE");
    ASSERT_TRUE(gone.ready());
    ASSERT_EQ(gone.exitCode(), 0);
    registerAs("STALE");  // takes over the file its dead owner left
    EXPECT_EQ(field(self_.node) + "/" + field(self_.service), "testnode/STALE");
    struct stat info {};
    ASSERT_EQ(::stat(home_.file("run/STALE.sock").c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(home_.file("run").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ZENTO_SERVER_INIT(1, "OTHER", self_, status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportAlreadyRegistered}}));
    ZENTO_SERVER_EXIT(status_);
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_NE(::access(home_.file("run/STALE.sock").c_str(), F_OK), 0);
}

// A receive takes a connecting peer at once; when it cannot (no descriptor
// left), the next ACCEPT tries again and reports why it failed, and takes the
// connection once it can.
TEST_F(SocketTransport, AcceptReportsAConnectionItCouldNotTake) {
    registerAs("TESTER");
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_FALSE(statusFailed(status_));
    const int client = rawConnect(home_.file("run/TESTER.sock"));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);  // no new descriptor at all
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    Message in;
    const std::int32_t waited = ZENTO_SERVER_RECEIVE(1, in, status_);
    StatusBlock refused;
    ZENTO_SERVER_ACCEPT(refused);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(waited, 0);
    EXPECT_FALSE(statusFailed(status_)) << "a receive leaves the failure to ACCEPT";
    EXPECT_EQ(entries(refused), (Entries{{1, EMFILE}, {9, kTransportAcceptFailed}}));

    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_FALSE(statusFailed(status_));
    const AddressRecord clientAddress = makeAddress("testnode", "CLIENT");
    Bytes stream = bytesOf(msglib::encodeHello(clientAddress));
    const Bytes msg = bytesOf(makeMessage(400, self_, clientAddress).view());
    stream.insert(stream.end(), msg.begin(), msg.end());
    rawWrite(client, stream, 0, stream.size());
    ASSERT_EQ(receive(in), 400) << "the connection taken by ACCEPT";
    ::close(client);
    EXPECT_EQ(disconnects(1), (std::multiset<Named>{{"testnode", "CLIENT"}}));
}

// A peer that answers and closes before the next send: the send finds the
// connection broken and opens another, and the answer is still received.
TEST_F(SocketTransport, WhatAClosedPeerSentBeforeClosingIsStillReceived) {
    registerAs("TESTER");
    const int listener = rawListen(home_.file("run/RAW.sock"));
    const Message request = makeMessage(400, makeAddress("", "RAW"), self_);
    ZENTO_SERVER_SEND(50, request.view(), status_);
    ASSERT_FALSE(statusFailed(status_));
    const int served = ::accept(listener, nullptr, nullptr);
    Bytes got(head::kSize + 400);  // our hello, then the request
    ASSERT_EQ(::recv(served, got.data(), got.size(), MSG_WAITALL), static_cast<ssize_t>(got.size()));
    const Message answer = makeMessage(300, self_, makeAddress("testnode", "RAW"));
    rawWrite(served, bytesOf(answer.view()), 0, answer.size);
    ::close(served);

    ZENTO_SERVER_SEND(50, request.view(), status_);
    EXPECT_FALSE(statusFailed(status_)) << "sent on a new connection";
    Message in;
    ASSERT_EQ(receive(in), 300);
    EXPECT_EQ(payload(in.view()), payload(answer.view()));
    EXPECT_EQ(disconnects(1), (std::multiset<Named>{{"testnode", "RAW"}}));
    ::close(listener);
}

TEST_F(SocketTransport, SendGivesUpOnAPeerThatDoesNotRead) {
    registerAs("TESTER");
    const int listener = rawListen(home_.file("run/SLOW.sock"));  // the connect succeeds, the write cannot finish
    const Message big = makeMessage(8u << 20, makeAddress("", "SLOW"), self_);
    const auto start = std::chrono::steady_clock::now();
    ZENTO_SERVER_SEND(2, big.view(), status_);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(entries(status_), (Entries{{1, ETIMEDOUT}, {9, kTransportSendTimedOut}}));
    EXPECT_GE(elapsed, std::chrono::milliseconds(190));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    ::close(listener);
}

TEST_F(SocketTransport, BadFramesAndSlowPeersDisturbNoOtherConnection) {
    registerAs("TESTER");
    const std::string path = home_.file("run/TESTER.sock");
    const std::vector<Bytes> garbage = {
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'},      // bad magic
        {0x5A, 0x5A, 0, 0, 100, 0, 0, 0, 1, 2, 3, 4},            // shorter than a head
        {0x5A, 0x5A, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4},  // 2 GiB
    };
    std::vector<int> fds;
    for (const Bytes& bytes : garbage) {
        fds.push_back(rawConnect(path));
        rawWrite(fds.back(), bytes, 0, bytes.size());
    }
    fds.push_back(rawConnect(path));  // the first 100 bytes of a good frame, and never the rest
    rawWrite(fds.back(), bytesOf(makeMessage(400, self_, makeAddress("testnode", "SLOW")).view()), 0, 100);

    const int client = rawConnect(path);
    const AddressRecord clientAddress = makeAddress("testnode", "CLIENT");
    const Message msg = makeMessage(5'000, self_, clientAddress);
    Bytes stream = bytesOf(msglib::encodeHello(clientAddress));
    const Bytes misaddressed = bytesOf(makeMessage(300, makeAddress("testnode", "OTHER"), clientAddress).view());
    stream.insert(stream.end(), misaddressed.begin(), misaddressed.end());
    stream.insert(stream.end(), msg.view().begin(), msg.view().end());
    Message in;
    rawWrite(client, stream, 0, 5);
    EXPECT_EQ(receive(in, 1), 0);
    for (std::size_t i = 0; i < garbage.size(); ++i) EXPECT_TRUE(closedByPeer(fds[i])) << i;
    rawWrite(client, stream, 5, 2'000);
    EXPECT_EQ(receive(in, 1), 0);
    rawWrite(client, stream, 2'000, stream.size());
    ASSERT_EQ(receive(in), 5'000);
    EXPECT_EQ(payload(in.view()), payload(msg.view()));

    ::close(client);
    for (int fd : fds) ::close(fd);
    // None of the others ever named itself.
    EXPECT_EQ(disconnects(1), (std::multiset<Named>{{"testnode", "CLIENT"}}));
    const std::string log = fileText(home_.file("log/zento.log"));
    std::size_t badFrames = 0;
    for (std::size_t at = log.find("Bad frame"); at != std::string::npos; at = log.find("Bad frame", at + 1)) ++badFrames;
    EXPECT_EQ(badFrames, 3u) << log;
    EXPECT_NE(log.find("Message for service OTHER dropped"), std::string::npos) << log;
}

TEST_F(SocketTransport, OtherNodesAreReachedOverTcpThroughTheRoutesFile) {
    const std::string peerHome = home_.file("peer");
    ASSERT_EQ(::mkdir(peerHome.c_str(), 0700), 0);
    const std::string routes =
        "# test nodes\n\nremote.example.com 127.0.0.1 " + std::to_string(freeTcpPort()) + "  # the echo\n";
    std::ofstream(home_.file("routes")) << routes;
    std::ofstream(peerHome + "/routes") << routes;
    Peer echo("echo", "ECHO", "ZENTO_HOME=" + peerHome + " ZENTO_NODE=REMOTE.example.com");
    ASSERT_TRUE(echo.ready());
    registerAs("TESTER");
    const AddressRecord remoteEcho = makeAddress("Remote", "ECHO");
    expectEchoes(remoteEcho, {400, 300'000}, "REMOTE.example.com");

    // A second service on that node finds the port taken: it still registers,
    // and what reaches the port for it is not taken by the first service.
    Peer second("echo", "ECHO2", "ZENTO_HOME=" + peerHome + " ZENTO_NODE=remote");
    ASSERT_TRUE(second.ready());
    const Message toSecond = makeMessage(400, makeAddress("remote", "ECHO2"), self_);
    ZENTO_SERVER_SEND(50, toSecond.view(), status_);
    ASSERT_FALSE(statusFailed(status_));
    Message in;
    EXPECT_EQ(receive(in, 2), 0);

    shutDown(echo, remoteEcho);
    // Both connections ended at the first service's process.
    EXPECT_EQ(disconnects(2), (std::multiset<Named>{{"Remote", "ECHO"}, {"remote", "ECHO2"}}));
    const std::string peerLog = fileText(peerHome + "/log/zento.log");
    EXPECT_NE(peerLog.find("[ECHO2] The TCP port of node remote is in use"), std::string::npos) << peerLog;
    EXPECT_NE(peerLog.find("[ECHO] Message for service ECHO2 dropped"), std::string::npos) << peerLog;
}
