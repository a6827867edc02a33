// The socket backend between real processes: the peer program answers
// requests, raw sockets play misbehaving peers. Route lines and node names
// are tested through the files and names used here.
#include <gtest/gtest.h>
#include <netinet/in.h>
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
#include <regex>
#include <set>
#include <sstream>

#include "msglib/head_writer.h"
#include "msglib/msglib.h"
#include "msglib/transport_codes.h"
#include "msglib/transport_frame.h"
#include "tests/support/status_entries.h"
#include "tests/support/temp_home.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testsupport::Entries;
using Named = std::multiset<std::pair<std::string, std::string>>;  // node, service of each DISCONNECT
using Clock = std::chrono::steady_clock;

// The peer program as a child process; killed if the test leaves it running.
struct Peer {
    FILE* out;
    int pid = -1;
    explicit Peer(const std::string& service, const std::string& environment = "")
        : out(::popen(("exec env " + environment + " " TRANSPORT_PEER_PATH " " + service).c_str(), "r")) {}
    ~Peer() {
        if (out != nullptr && pid > 0) ::kill(pid, SIGKILL);
        if (out != nullptr) ::pclose(out);
    }
    // True once the peer has registered its name.
    bool ready() { return out != nullptr && std::fscanf(out, "ready %d", &pid) == 1; }
    int exitCode() {
        const int status = ::pclose(std::exchange(out, nullptr));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// A message of size bytes: a head and a counting pattern behind it.
Bytes makeMessage(std::uint32_t size, const AddressRecord& destination, const AddressRecord& source) {
    Bytes msg(size);
    HeadFields fields;
    fields.length = size;
    fields.messageType = kMsgRequest;
    fields.transType = kTransGet;
    fields.destination = destination;
    fields.source = source;
    writeHead(msg.data(), fields);
    for (std::uint32_t i = head::kSize; i < size; ++i) msg[i] = static_cast<std::uint8_t>(i * 7);
    return msg;
}
constexpr auto entries = testsupport::statusEntries;
std::string field(const char* text) { return std::string(fixedText(text, 32)); }

// A UNIX-domain socket connected to path, or listening there (accepting
// only when the test plays the peer by hand).
int rawSocket(const std::string& path, bool listening) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    EXPECT_EQ(listening ? ::bind(fd, at, sizeof address) | ::listen(fd, 4) : ::connect(fd, at, sizeof address), 0);
    return fd;
}
void rawWrite(int fd, const Bytes& bytes, std::size_t from, std::size_t to) {
    ASSERT_EQ(::write(fd, bytes.data() + from, to - from), static_cast<ssize_t>(to - from));
}
std::string fileText(const std::string& path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }

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
    void send(const Bytes& msg, std::int32_t timeout = 50) { ZENTO_SERVER_SEND(timeout, msg, status_); }
    // The next message that is no DISCONNECT; those are kept for disconnects().
    Bytes receive(std::int32_t timeout = 50) {
        for (Message msg; ZENTO_SERVER_RECEIVE(timeout, msg, status_) > 0;) {
            if (ZENTO_SERVER_TRANSTYPE(msg.view()) != kTransDisconnect) return {msg.view().begin(), msg.view().end()};
            const AddressRecord source = ZENTO_SERVER_MSGSRC(msg.view());
            EXPECT_EQ(std::memcmp(&source, msg.data() + 220, 64), 0) << "named as source and requester";
            disconnects_.emplace(field(source.node), field(source.service));
        }
        return {};
    }
    // The DISCONNECTs received so far and while waiting up to 5 s for count in all.
    Named disconnects(std::size_t count) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (disconnects_.size() < count && Clock::now() < deadline) {
            EXPECT_TRUE(receive(1).empty()) << "not a DISCONNECT";
        }
        EXPECT_TRUE(receive(2).empty()) << "nothing more";
        return std::exchange(disconnects_, {});
    }
    // Sends requests of the given sizes to echo and checks the copies coming back.
    void expectEchoes(const AddressRecord& echo, std::initializer_list<std::uint32_t> sizes, const char* echoNode) {
        for (std::uint32_t size : sizes) {
            const Bytes request = makeMessage(size, echo, self_);
            send(request);
            ASSERT_FALSE(statusFailed(status_)) << "size " << size << ": " << entries(status_).back().second;
            const Bytes reply = receive();
            ASSERT_EQ(reply.size(), size);
            EXPECT_EQ(field(ZENTO_SERVER_MSGSRC(reply).node) + "/" + field(ZENTO_SERVER_MSGSRC(reply).service),
                      echoNode + ("/" + field(echo.service)));
            EXPECT_TRUE(std::equal(reply.begin() + head::kSize, reply.end(), request.begin() + head::kSize));
        }
    }
    void shutDown(Peer& peer, const AddressRecord& address) {
        Message shut;
        buildNotification(kTransShut, self_, address, 0, shut, status_);
        send({shut.view().begin(), shut.view().end()});
        ASSERT_FALSE(statusFailed(status_));
        EXPECT_EQ(peer.exitCode(), 0);
    }

    AddressRecord self_{};
    StatusBlock status_{};
    Named disconnects_;
};

}  // namespace

TEST_F(SocketTransport, RequestsRepliesAndOneDisconnectPerConnection) {
    Peer echo("ECHO");
    ASSERT_TRUE(echo.ready());
    registerAs("TESTER");
    // Around the reader's 32 KiB staging buffer, and many socket buffers long.
    expectEchoes(makeAddress("", "ECHO"), {292, 400, 100'000, 3'000'000}, "testnode");
    shutDown(echo, makeAddress("localhost", "ECHO"));
    // The cached connection leads to the ended process: a new one is opened.
    Peer successor("ECHO");
    ASSERT_TRUE(successor.ready());
    expectEchoes(makeAddress("", "ECHO"), {400}, "testnode");
    shutDown(successor, makeAddress("", "ECHO"));
    // Replies came back on the connections the requests went out on: one
    // more connection would bring one more DISCONNECT.
    EXPECT_EQ(disconnects(2), (Named{{"testnode", "ECHO"}, {"testnode", "ECHO"}}));
    send(makeMessage(400, makeAddress("", "ECHO"), self_));
    EXPECT_EQ(entries(status_), (Entries{{1, ENOENT}, {9, kTransportNoSuchService}})) << "EXIT removed the name";
}

// ZENTO_HOME and ZENTO_NODE cannot change during a run: a registration keeps
// what INIT read (its socket directory, its node, its log) until EXIT.
TEST_F(SocketTransport, ARegistrationKeepsItsHomeAndNodeUntilItEnds) {
    registerAs("TESTER");
    const std::string elsewhere = home_.file("elsewhere");
    ::setenv("ZENTO_HOME", elsewhere.c_str(), 1);
    ::setenv("ZENTO_NODE", "othernode", 1);
    ZENTO_SERVER_LOGMSG("TESTER", "kept", status_);
    send(makeMessage(400, makeAddress("testnode", "TESTER"), self_));  // to itself, still on the local node
    ASSERT_FALSE(statusFailed(status_)) << entries(status_).back().second;
    EXPECT_EQ(receive().size(), 400u);
    ZENTO_SERVER_EXIT(status_);
    ZENTO_SERVER_LOGMSG("TESTER", "read again", status_);
    EXPECT_NE(fileText(home_.file("log/zento.log")).find("[TESTER] kept"), std::string::npos);
    EXPECT_NE(fileText(elsewhere + "/log/zento.log").find("[TESTER] read again"), std::string::npos);
}

TEST_F(SocketTransport, UnreachableDestinationsFailAtOnceAndAStaleNameIsTakenOver) {
    ZENTO_SERVER_INIT(1, "A/B", self_, status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportBadServiceName}}));
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportNotRegistered}}));
    ASSERT_EQ(::mkdir(home_.file("run").c_str(), 0700), 0);
    ::close(rawSocket(home_.file("run/STALE.sock"), true));  // a name whose process ended without EXIT
    const std::tuple<const char*, const char*, Entries> unreachable[] = {
        {"", "NOBODY", {{1, ENOENT}, {9, kTransportNoSuchService}}},
        {"localhost", "STALE", {{1, ECONNREFUSED}, {9, kTransportNoSuchService}}},
        {"TESTNODE.lab", "../x", {{1, ENOENT}, {9, kTransportNoSuchService}}},  // the local node in any case
        {"testnodes", "ECHO", {{9, kTransportNoRoute}}},  // another node, not in the routes file
        {".testnode", "ECHO", {{9, kTransportNoRoute}}},  // leading dots are part of a name
        {"", "", {{9, kTransportNoDestination}}},
    };
    for (const auto& [node, service, expected] : unreachable) {
        const auto start = Clock::now();
        send(makeMessage(400, makeAddress(node, service), self_));
        EXPECT_EQ(entries(status_), expected) << node << "/" << service;
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "fails at once";
    }
    Bytes bad = makeMessage(400, makeAddress("", "STALE"), self_);
    bad[head::kLengthOffset] = 0x91;
    send(bad);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportBadMessage}}));

    registerAs("STALE");
    ZENTO_SERVER_INIT(1, "OTHER", self_, status_);
    EXPECT_EQ(entries(status_), (Entries{{9, kTransportAlreadyRegistered}}));
}

// A receive takes a connecting peer at once; when it cannot (no descriptor
// left), the next ACCEPT tries again and reports why it failed, and takes the
// connection once it can.
TEST_F(SocketTransport, AcceptReportsAConnectionItCouldNotTake) {
    registerAs("TESTER");
    struct stat socketFile {}, runDirectory {};
    ASSERT_EQ(::stat(home_.file("run/TESTER.sock").c_str(), &socketFile), 0);
    ASSERT_EQ(::stat(home_.file("run").c_str(), &runDirectory), 0);
    EXPECT_EQ(std::make_pair(socketFile.st_mode & 0777, runDirectory.st_mode & 0777), std::make_pair(0600u, 0700u))
        << "for this user alone";
    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_FALSE(statusFailed(status_));
    const int client = rawSocket(home_.file("run/TESTER.sock"), false);
    rlimit saved{}, tight{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    tight = {static_cast<rlim_t>(::dup(0)), saved.rlim_max};  // no new descriptor at all
    ::close(static_cast<int>(tight.rlim_cur));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    const Bytes waited = receive(1);
    StatusBlock refused;
    ZENTO_SERVER_ACCEPT(refused);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(waited.empty());
    EXPECT_FALSE(statusFailed(status_)) << "a receive leaves the failure to ACCEPT";
    EXPECT_EQ(entries(refused), (Entries{{1, EMFILE}, {9, kTransportAcceptFailed}}));

    ZENTO_SERVER_ACCEPT(status_);
    EXPECT_FALSE(statusFailed(status_));
    // No hello first: the peer is named by its first message's source.
    rawWrite(client, makeMessage(400, self_, makeAddress("testnode", "CLIENT")), 0, 400);
    EXPECT_EQ(receive().size(), 400u) << "the connection taken by ACCEPT";
    ::close(client);
    EXPECT_EQ(disconnects(1), (Named{{"testnode", "CLIENT"}}));
}

// A peer that answers and closes before the next send: the send finds the
// connection broken and opens another, and the answer is still received. A
// peer that never reads makes a send give up within its time-out.
TEST_F(SocketTransport, PeersThatCloseOrStopReadingAreOutlived) {
    registerAs("TESTER");
    const int listener = rawSocket(home_.file("run/RAW.sock"), true);
    const Bytes request = makeMessage(400, makeAddress("", "RAW"), self_);
    send(request);
    ASSERT_FALSE(statusFailed(status_));
    const int served = ::accept(listener, nullptr, nullptr);
    Bytes got(head::kSize + 400);  // our hello, then the request
    ASSERT_EQ(::recv(served, got.data(), got.size(), MSG_WAITALL), static_cast<ssize_t>(got.size()));
    const Bytes answer = makeMessage(300, self_, makeAddress("testnode", "RAW"));
    rawWrite(served, answer, 0, answer.size());
    ::close(served);
    send(request);
    EXPECT_FALSE(statusFailed(status_)) << "sent on a new connection";
    EXPECT_EQ(receive(), answer);
    EXPECT_EQ(disconnects(1), (Named{{"testnode", "RAW"}}));

    const int stalled = rawSocket(home_.file("run/SLOW.sock"), true);  // accepts nothing: no write can finish
    const auto start = Clock::now();
    send(makeMessage(8u << 20, makeAddress("", "SLOW"), self_), 2);
    EXPECT_EQ(entries(status_), (Entries{{1, ETIMEDOUT}, {9, kTransportSendTimedOut}}));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    for (int fd : {listener, stalled}) ::close(fd);
}

TEST_F(SocketTransport, BadFramesAndSlowPeersDisturbNoOtherConnection) {
    registerAs("TESTER");
    const std::string path = home_.file("run/TESTER.sock");
    const std::vector<Bytes> garbage = {
        {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'},      // bad magic
        {0x5A, 0x5A, 0, 0, 100, 0, 0, 0, 1, 2, 3, 4},            // shorter than a head
        {0x5A, 0x5A, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4},  // 2 GiB
        makeMessage(400, self_, makeAddress("testnode", "SLOW")),  // sent no further than 100 bytes
    };
    std::vector<int> fds;
    for (const Bytes& bytes : garbage) {
        fds.push_back(rawSocket(path, false));
        rawWrite(fds.back(), bytes, 0, std::min<std::size_t>(bytes.size(), 100));
    }
    const int client = rawSocket(path, false);
    const AddressRecord clientAddress = makeAddress("testnode", "CLIENT");
    const Bytes msg = makeMessage(5'000, self_, clientAddress);
    const Bytes other = makeMessage(300, makeAddress("testnode", "OTHER"), clientAddress);  // for nobody here
    const auto hello = msglib::encodeHello(clientAddress);
    Bytes stream(hello.begin(), hello.end());
    for (const Bytes* part : {&other, &msg}) stream.insert(stream.end(), part->begin(), part->end());
    rawWrite(client, stream, 0, 5);
    EXPECT_TRUE(receive(1).empty());
    rawWrite(client, stream, 5, 2'000);
    EXPECT_TRUE(receive(1).empty());
    rawWrite(client, stream, 2'000, stream.size());
    EXPECT_EQ(receive(), msg) << "the misaddressed message is dropped";
    ::close(client);
    for (int fd : fds) ::close(fd);
    EXPECT_EQ(disconnects(1), (Named{{"testnode", "CLIENT"}})) << "none of the others named itself";
    const std::string log = fileText(home_.file("log/zento.log"));
    const std::regex badFrame("Bad frame from .*: connection closed");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), badFrame), {}), 3) << log;
    EXPECT_NE(log.find("Message for service OTHER dropped"), std::string::npos) << log;
}

TEST_F(SocketTransport, OtherNodesAreReachedOverTcpThroughTheRoutesFile) {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);  // finds a free port
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<const sockaddr*>(&address), length);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    const std::string peerHome = home_.file("peer");
    ASSERT_EQ(::mkdir(peerHome.c_str(), 0700), 0);
    // Lines that are no routes come first: none may be taken for the node's.
    const std::string routes = "# test nodes\nremote 127.0.0.1 0\nremote 127.0.0.1 65536\nremote 127.0.0.1 74a\n"
                               "remote 127.0.0.1 1 x\n\nremote.example.com 127.0.0.1 " +
                               std::to_string(ntohs(address.sin_port)) + "  # the echo\n";
    std::ofstream(home_.file("routes")) << routes;
    std::ofstream(peerHome + "/routes") << routes;
    Peer echo("ECHO", "ZENTO_HOME=" + peerHome + " ZENTO_NODE=REMOTE.example.com");
    ASSERT_TRUE(echo.ready());
    registerAs("TESTER");
    expectEchoes(makeAddress("Remote", "ECHO"), {400, 300'000}, "REMOTE.example.com");

    // A second service on that node finds the port taken: it still registers,
    // and what reaches the port for it is not taken by the first service.
    Peer second("ECHO2", "ZENTO_HOME=" + peerHome + " ZENTO_NODE=remote");
    ASSERT_TRUE(second.ready());
    send(makeMessage(400, makeAddress("remote", "ECHO2"), self_));
    EXPECT_TRUE(receive(2).empty());
    shutDown(echo, makeAddress("Remote", "ECHO"));
    // Both connections ended at the first service's process.
    EXPECT_EQ(disconnects(2), (Named{{"Remote", "ECHO"}, {"remote", "ECHO2"}}));
    const std::string peerLog = fileText(peerHome + "/log/zento.log");
    EXPECT_NE(peerLog.find("[ECHO2] The TCP port of node remote is in use"), std::string::npos) << peerLog;
    EXPECT_NE(peerLog.find("[ECHO] Message for service ECHO2 dropped"), std::string::npos) << peerLog;
}
