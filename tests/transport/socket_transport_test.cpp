// The socket backend between real processes: the peer program answers
// requests, abandons its name, or is played by raw sockets in the test.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "msglib/transport_codes.h"
#include "msglib/transport_frame.h"
#include "tests/support/temp_home.h"
#include "tests/transport/test_messages.h"

using transport_test::entries;
using transport_test::makeMessage;
using transport_test::payload;
using Entries = std::vector<std::pair<int, int>>;
using Clock = std::chrono::steady_clock;
using Named = std::pair<std::string, std::string>;  // node, service

namespace {

constexpr auto kPeerPatience = std::chrono::seconds(10);

// The peer program as a child process; killed if the test leaves it running.
class Peer {
public:
    Peer(const char* mode, const char* service, std::vector<std::pair<std::string, std::string>> environment = {}) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipeFds[1], STDOUT_FILENO);
            for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
            ::execl(TRANSPORT_PEER_PATH, TRANSPORT_PEER_PATH, mode, service, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        output_ = pipeFds[0];
    }
    ~Peer() {
        if (pid_ > 0 && exitCode_ < 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (output_ >= 0) ::close(output_);
    }

    // True once the peer has registered its name.
    bool ready() {
        pollfd entry{output_, POLLIN, 0};
        char text[8] = {};
        return ::poll(&entry, 1, 10'000) == 1 && ::read(output_, text, 6) == 6 && std::string(text) == "ready\n";
    }
    // The exit code; -1 when the peer did not end in time.
    int exitCode() {
        const auto deadline = Clock::now() + kPeerPatience;
        int status = 0;
        while (exitCode_ < 0 && Clock::now() < deadline) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        return exitCode_;
    }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int exitCode_ = -1;
};

int rawConnect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) ADD_FAILURE() << path;
    return fd;
}

void rawWrite(int fd, const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t to) {
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
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string field(const char* text) { return std::string(fixedText(text, 32)); }

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
        ASSERT_FALSE(statusFailed(status_)) << entries(status_)[0].second;
    }
    // Sends requests of the given sizes to echo and checks the copies coming back.
    void expectEchoes(const AddressRecord& echo, std::initializer_list<std::uint32_t> sizes,
                      const char* echoNode) {
        for (std::uint32_t size : sizes) {
            const Message request = makeMessage(size, echo, self_);
            ZENTO_SERVER_SEND(50, request.view(), status_);
            ASSERT_FALSE(statusFailed(status_)) << "size " << size << ": " << entries(status_).back().second;
            Message reply;
            std::int32_t length = 0;
            while ((length = ZENTO_SERVER_RECEIVE(50, reply, status_)) > 0 && isDisconnect(reply.view())) {
                disconnects_.push_back(namedBy(reply.view()));
            }
            ASSERT_EQ(length, static_cast<std::int32_t>(size));
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
    static bool isDisconnect(MsgView msg) {
        return ZENTO_SERVER_MSGTYPE(msg) == kMsgNotification && ZENTO_SERVER_TRANSTYPE(msg) == kTransDisconnect;
    }
    static Named namedBy(MsgView disconnect) {
        const AddressRecord source = ZENTO_SERVER_MSGSRC(disconnect);
        const AddressRecord requester = ZENTO_SERVER_REQSRC(disconnect);
        EXPECT_EQ(field(requester.node), field(source.node));
        EXPECT_EQ(field(requester.service), field(source.service));
        return {field(source.node), field(source.service)};
    }
    // The peer named by the next DISCONNECT (one seen while waiting for a reply first).
    Named nextDisconnect() {
        if (!disconnects_.empty()) {
            const Named named = disconnects_.front();
            disconnects_.erase(disconnects_.begin());
            return named;
        }
        Message note;
        if (ZENTO_SERVER_RECEIVE(50, note, status_) <= 0) return {"nothing", "received"};
        EXPECT_TRUE(isDisconnect(note.view()));
        return namedBy(note.view());
    }
    void expectNothingMore() {
        Message msg;
        EXPECT_EQ(ZENTO_SERVER_RECEIVE(2, msg, status_), 0);
    }

    AddressRecord self_{};
    StatusBlock status_{};
    std::vector<Named> disconnects_;
};

}  // namespace

TEST_F(SocketTransport, RequestsRepliesAndOneDisconnectWhenThePeerEnds) {
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
    EXPECT_EQ(nextDisconnect(), Named("testnode", "ECHO"));
    EXPECT_EQ(nextDisconnect(), Named("testnode", "ECHO"));
    expectNothingMore();

    const Message again = makeMessage(400, makeAddress("", "ECHO"), self_);
    ZENTO_SERVER_SEND(50, again.view(), status_);
    EXPECT_EQ(entries(status_), (Entries{{1, ENOENT}, {9, kTransportNoSuchService}})) << "EXIT removed the name";
}

TEST_F(SocketTransport, UnreachableDestinationsFailAtOnce) {
    Peer gone("abandon", "STALE");
    ASSERT_TRUE(gone.ready());
    ASSERT_EQ(gone.exitCode(), 0);
    registerAs("TESTER");
    struct Case {
        const char* node;
        const char* service;
        Entries expected;
    } cases[] = {
        {"", "NOBODY", {{1, ENOENT}, {9, kTransportNoSuchService}}},
        {"localhost", "STALE", {{1, ECONNREFUSED}, {9, kTransportNoSuchService}}},
        {"testnode", "../x", {{1, ENOENT}, {9, kTransportNoSuchService}}},
        {"farnode", "ECHO", {{9, kTransportNoRoute}}},
        {"", "", {{9, kTransportNoDestination}}},
    };
    for (const Case& c : cases) {
        const Message msg = makeMessage(400, makeAddress(c.node, c.service), self_);
        const auto start = Clock::now();
        ZENTO_SERVER_SEND(50, msg.view(), status_);
        EXPECT_EQ(entries(status_), c.expected) << c.node << "/" << c.service;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "within the 5 s time-out";
    }
    Message bad = makeMessage(400, makeAddress("", "STALE"), self_);
    bad.data()[head::kLengthOffset] = 0x91;
    ZENTO_SERVER_SEND(50, bad.view(), status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportBadMessage}}));
}

TEST_F(SocketTransport, RegistrationOwnsItsNameUntilExit) {
    Peer live("echo", "ECHO");
    ASSERT_TRUE(live.ready());
    ZENTO_SERVER_INIT(1, "ECHO", self_, status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportServiceInUse}}));
    for (const char* name : {"", "A/B", "..", "NAME WITH BLANKS", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"}) {
        ZENTO_SERVER_INIT(1, name, self_, status_);
        EXPECT_EQ(entries(status_), (Entries{{9, kTransportBadServiceName}})) << name;
    }
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportNotRegistered}}));

    Peer gone("abandon", "STALE");
    ASSERT_TRUE(gone.ready());
    ASSERT_EQ(gone.exitCode(), 0);
    registerAs("STALE");  // takes over the file its dead owner left
    EXPECT_EQ(field(self_.node), "testnode");
    EXPECT_EQ(field(self_.service), "STALE");
    const std::string socketPath = home_.file("run/STALE.sock");
    struct stat info {};
    ASSERT_EQ(::stat(socketPath.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(home_.file("run").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    ZENTO_SERVER_INIT(1, "OTHER", self_, status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportAlreadyRegistered}}));
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_FALSE(statusFailed(status_));
    ZENTO_SERVER_EXIT(status_);
    EXPECT_FALSE(statusFailed(status_));
    EXPECT_NE(::access(socketPath.c_str(), F_OK), 0);
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
    const auto hello = msglib::encodeHello(clientAddress);
    const Message msg = makeMessage(400, self_, clientAddress);
    rawWrite(client, {hello.begin(), hello.end()}, 0, hello.size());
    rawWrite(client, {msg.view().begin(), msg.view().end()}, 0, msg.size);
    ASSERT_EQ(ZENTO_SERVER_RECEIVE(50, in, status_), 400) << "the connection taken by ACCEPT";
    ::close(client);
    EXPECT_EQ(nextDisconnect(), Named("testnode", "CLIENT"));
}

// A peer that answers and closes before the next send: the send finds the
// connection broken and opens another, and the answer is still received.
TEST_F(SocketTransport, WhatAClosedPeerSentBeforeClosingIsStillReceived) {
    registerAs("TESTER");
    const std::string path = home_.file("run/RAW.sock");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    const AddressRecord raw = makeAddress("", "RAW");
    const Message request = makeMessage(400, raw, self_);
    ZENTO_SERVER_SEND(50, request.view(), status_);
    ASSERT_FALSE(statusFailed(status_));
    const int served = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(served, 0);
    std::vector<std::uint8_t> got(head::kSize + 400);  // our hello, then the request
    std::size_t have = 0;
    while (have < got.size()) {
        const ssize_t n = ::recv(served, got.data() + have, got.size() - have, 0);
        ASSERT_GT(n, 0);
        have += static_cast<std::size_t>(n);
    }
    const Message answer = makeMessage(300, self_, makeAddress("testnode", "RAW"));
    rawWrite(served, {answer.view().begin(), answer.view().end()}, 0, answer.size);
    ::close(served);

    ZENTO_SERVER_SEND(50, request.view(), status_);
    EXPECT_FALSE(statusFailed(status_)) << "sent on a new connection";
    Message in;
    ASSERT_EQ(ZENTO_SERVER_RECEIVE(50, in, status_), 300);
    EXPECT_EQ(payload(in.view()), payload(answer.view()));
    EXPECT_EQ(nextDisconnect(), Named("testnode", "RAW"));
    ::close(listener);
}

TEST_F(SocketTransport, SendGivesUpOnAPeerThatDoesNotRead) {
    registerAs("TESTER");
    // Listens but never accepts: the connect succeeds, the write cannot finish.
    const std::string path = home_.file("run/SLOW.sock");
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    const Message big = makeMessage(8u << 20, makeAddress("", "SLOW"), self_);
    const auto start = Clock::now();
    ZENTO_SERVER_SEND(2, big.view(), status_);
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(entries(status_), (Entries{{1, ETIMEDOUT}, {9, kTransportSendTimedOut}}));
    EXPECT_GE(elapsed, std::chrono::milliseconds(190));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
    ::close(listener);
}

TEST_F(SocketTransport, BadFramesAndSlowPeersDisturbNoOtherConnection) {
    registerAs("TESTER");
    const std::string path = home_.file("run/TESTER.sock");
    const std::vector<std::vector<std::uint8_t>> garbage = {
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'},               // bad magic
        {0x5A, 0x5A, 0, 0, 100, 0, 0, 0, 1, 2, 3, 4},                     // shorter than a head
        {0x5A, 0x5A, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4},           // 2 GiB
    };
    std::vector<int> garbageFds;
    for (const auto& bytes : garbage) {
        garbageFds.push_back(rawConnect(path));
        rawWrite(garbageFds.back(), bytes, 0, bytes.size());
    }
    // The first 100 bytes of a good frame, and never the rest.
    const int stalled = rawConnect(path);
    const Message unfinished = makeMessage(400, self_, makeAddress("testnode", "SLOW"));
    rawWrite(stalled, {unfinished.view().begin(), unfinished.view().end()}, 0, 100);

    const int client = rawConnect(path);
    const AddressRecord clientAddress = makeAddress("testnode", "CLIENT");
    const auto hello = msglib::encodeHello(clientAddress);
    const Message msg = makeMessage(5'000, self_, clientAddress);
    const Message misaddressed = makeMessage(300, makeAddress("testnode", "OTHER"), clientAddress);
    std::vector<std::uint8_t> stream(hello.begin(), hello.end());
    stream.insert(stream.end(), misaddressed.view().begin(), misaddressed.view().end());
    stream.insert(stream.end(), msg.view().begin(), msg.view().end());

    Message in;
    rawWrite(client, stream, 0, 5);
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(1, in, status_), 0);
    for (int fd : garbageFds) EXPECT_TRUE(closedByPeer(fd));
    rawWrite(client, stream, 5, 2'000);
    EXPECT_EQ(ZENTO_SERVER_RECEIVE(1, in, status_), 0);
    rawWrite(client, stream, 2'000, stream.size());
    ASSERT_EQ(ZENTO_SERVER_RECEIVE(50, in, status_), 5'000);
    EXPECT_EQ(payload(in.view()), payload(msg.view()));

    ::close(client);
    EXPECT_EQ(nextDisconnect(), Named("testnode", "CLIENT"));
    for (int fd : garbageFds) ::close(fd);
    ::close(stalled);
    expectNothingMore();  // none of them ever named itself
    const std::string log = fileText(home_.file("log/zento.log"));
    std::size_t badFrames = 0;
    for (std::size_t at = log.find("Bad frame"); at != std::string::npos; at = log.find("Bad frame", at + 1)) {
        ++badFrames;
    }
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

    Peer echo("echo", "ECHO", {{"ZENTO_HOME", peerHome}, {"ZENTO_NODE", "REMOTE.example.com"}});
    ASSERT_TRUE(echo.ready());
    registerAs("TESTER");
    const AddressRecord remoteEcho = makeAddress("Remote", "ECHO");
    expectEchoes(remoteEcho, {400, 300'000}, "REMOTE.example.com");

    // A second service on that node finds the port taken: it still registers,
    // and what reaches the port for it is not taken by the first service.
    Peer second("echo", "ECHO2", {{"ZENTO_HOME", peerHome}, {"ZENTO_NODE", "remote"}});
    ASSERT_TRUE(second.ready());
    const Message toSecond = makeMessage(400, makeAddress("remote", "ECHO2"), self_);
    ZENTO_SERVER_SEND(50, toSecond.view(), status_);
    ASSERT_FALSE(statusFailed(status_));
    expectNothingMore();

    shutDown(echo, remoteEcho);
    // Both connections ended at the first service's process.
    const std::set<Named> named = {nextDisconnect(), nextDisconnect()};
    EXPECT_EQ(named, (std::set<Named>{{"Remote", "ECHO"}, {"remote", "ECHO2"}}));
    expectNothingMore();
    const std::string peerLog = fileText(peerHome + "/log/zento.log");
    EXPECT_NE(peerLog.find("[ECHO2] The TCP port of node remote is in use"), std::string::npos) << peerLog;
    EXPECT_NE(peerLog.find("[ECHO] Message for service ECHO2 dropped"), std::string::npos) << peerLog;
}
