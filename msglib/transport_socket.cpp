// The socket backend: no broker. Each registered service listens on
// ZENTO_HOME/run/<SERVICE>.sock (and on TCP when the routes file names the
// local node); a send connects straight to the destination's socket and keeps
// the connection for later sends, to that destination or back from it.
//
// One thread: every call runs to completion on the caller's thread, and no
// call blocks longer than its own time-out.
//
// Connections are taken where the transport learns of them: a receive's wait
// watches the listeners and takes a connection as soon as one is pending.
// ACCEPT takes the connections that may be pending beyond that (those queued
// before the first receive, or left when taking them failed) and reports a
// failure to take them; otherwise it has nothing to do and makes no system
// call, which matters to a process that calls it once per message.
//
// ZENTO_NODE, ZENTO_HOME and the routes file are read once, at INIT, and kept
// for the registration (the log's directory too): they cannot change during a
// run. A process that sends without registering reads them at each new
// connection.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "msglib/coding.h"
#include "msglib/log_file.h"
#include "msglib/msglib.h"
#include "msglib/transport.h"
#include "msglib/transport_address.h"
#include "msglib/transport_codes.h"
#include "msglib/transport_frame.h"
#include "msglib/transport_routes.h"
#include "msglib/transport_socket_io.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/stop_signal.h"

namespace msglib {

namespace {

// Connections beyond this are accepted and closed at once (and logged).
constexpr std::size_t kMaxConnections = 256;
constexpr std::size_t kListeners = 2;

// Longer waits are cut to this (about 28 hours), well inside the clock's range.
constexpr std::int32_t kMaxWaitUnits = 1'000'000;

std::chrono::milliseconds unitsToMs(std::int32_t units) {
    return std::chrono::milliseconds(std::int64_t{units < kMaxWaitUnits ? units : kMaxWaitUnits} * kLibraryUnitMs);
}

void loadFailure(int error, std::int32_t code, StatusBlock& status) {
    if (error != 0) ZENTO_SERVER_LDBLK(kFacilityRuntime, error, status);
    ZENTO_SERVER_LDBLK(kFacilityLibrary, code, status);
}

struct Connection {
    UniqueFd fd;             // closed once the peer has gone; frames read before stay in reader
    FrameReader reader;
    bool tcp = false;
    bool sendable = true;    // new messages may go out on it
    bool helloPending = false;
    bool identified = false;
    AddressRecord peer{};
    std::string key;         // peerKey of peer, once identified
};

class SocketTransport final : public Transport {
public:
    // A process that ends normally while registered (without EXIT: a
    // recovery that stops at the end of its data, or cannot open its file)
    // leaves no socket file behind, so run/ names only live services.
    ~SocketTransport() override {
        if (registered_ && ownerPid_ == currentProcessId()) removeListenerFile(socketPath_);
    }

    void init(std::int32_t mode, std::string_view serviceName, AddressRecord& self, StatusBlock& status) override;
    void accept(StatusBlock& status) override;
    std::int32_t receive(std::int32_t timeout, Message& msg, StatusBlock& status) override;
    void send(std::int32_t timeout, MsgView msg, StatusBlock& status) override;
    void exit(StatusBlock& status) override;
    TimeStamp now() override;
    void sleep(std::int32_t units) override;

private:
    std::string localNode() const { return registered_ ? localNode_ : platform::zentoNode(); }
    std::string socketPath(std::string_view service) const {
        return (registered_ ? runDirectory_ : platform::zentoHome() + "/run") + "/" + std::string(service) + ".sock";
    }
    std::optional<Route> routeTo(std::string_view node) const {
        if (registered_) return findRoute(routes_, node);
        return findRoute(readRoutesFile(), node);
    }
    void logEvent(const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool acceptPending(StatusBlock& status);
    Connection* addConnection(UniqueFd fd, bool tcp);
    void identify(Connection& connection, const AddressRecord& peer);
    bool addressedHere(MsgView frame);
    void readFrom(Connection& connection);
    void checkReader(Connection& connection);
    void peerGone(Connection& connection);
    void refreshBeforeSend(Connection& connection);
    bool deliverReady(Message& msg, std::int32_t& length, StatusBlock& status);
    bool deliverDisconnect(Connection& connection, Message& msg, std::int32_t& length, StatusBlock& status);
    void release(std::size_t slot);

    Connection* findSendable(const std::string& key);
    Connection* openConnection(const AddressRecord& destination, SteadyClock::time_point deadline,
                               StatusBlock& status);
    IoResult writeMessage(Connection& connection, MsgView msg, SteadyClock::time_point deadline);

    bool registered_ = false;
    // Connections may be waiting that no receive took: the next ACCEPT must
    // try (and report a failure to take them).
    bool acceptDue_ = false;
    long ownerPid_ = 0;
    AddressRecord self_{};
    std::string serviceName_;
    std::string localNode_;
    std::string runDirectory_;
    std::string routes_;  // the routes file's text
    std::string socketPath_;
    UniqueFd unixListener_;
    UniqueFd tcpListener_;
    std::array<std::unique_ptr<Connection>, kMaxConnections> connections_;
    // Slots from here on are empty: the scans of every receive and send stop
    // there instead of walking all the slots for the few connections in use.
    std::size_t slotsInUse_ = 0;
    std::size_t nextSlot_ = 0;  // where the next delivery scan starts, so no peer starves the others
};

void SocketTransport::logEvent(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(registered_ ? std::string_view(serviceName_) : std::string_view("ZENTO"), text, logStatus);
}

void SocketTransport::init(std::int32_t /*mode: only servers register*/, std::string_view serviceName,
                           AddressRecord& self, StatusBlock& status) {
    if (registered_) return loadFailure(0, kTransportAlreadyRegistered, status);
    if (!isServiceName(serviceName)) return loadFailure(0, kTransportBadServiceName, status);

    const std::string node = platform::zentoNode();
    const std::string runDirectory = platform::zentoHomeDir("run");
    const std::string path = runDirectory + "/" + std::string(serviceName) + ".sock";
    switch (probeUnixListener(path)) {
        case ListenerProbe::kLive:
            return loadFailure(0, kTransportServiceInUse, status);
        case ListenerProbe::kStale:
            // Left behind by a process that ended without EXIT.
            removeListenerFile(path);
            break;
        case ListenerProbe::kAbsent:
            break;
    }
    int error = 0;
    UniqueFd unixListener = listenUnix(path, error);
    if (!unixListener.valid()) {
        const bool inUse = error == EADDRINUSE;
        return loadFailure(error,
                           error == ENAMETOOLONG ? kTransportPathTooLong
                           : inUse               ? kTransportServiceInUse
                                                 : kTransportListenFailed,
                           status);
    }
    std::string routes = readRoutesFile();
    UniqueFd tcpListener;
    bool tcpPortTaken = false;
    if (const std::optional<Route> route = findRoute(routes, node)) {
        tcpListener = listenTcp(route->host, route->port, error);
        // The node's port belongs to the first service that registered on
        // it; later ones serve this node's processes only.
        tcpPortTaken = error == EADDRINUSE;
        if (!tcpListener.valid() && !tcpPortTaken) {
            removeListenerFile(path);
            return loadFailure(error, kTransportListenFailed, status);
        }
    }

    unixListener_ = std::move(unixListener);
    tcpListener_ = std::move(tcpListener);
    registered_ = true;
    acceptDue_ = true;
    ownerPid_ = currentProcessId();
    serviceName_ = std::string(serviceName);
    localNode_ = node;
    runDirectory_ = runDirectory;
    routes_ = std::move(routes);
    socketPath_ = path;
    holdLogDirectory();
    self_ = makeAddress(node, serviceName);
    self = self_;
    if (tcpPortTaken) {
        logEvent("The TCP port of node %s is in use: %s is reachable from this node only", node.c_str(),
                 serviceName_.c_str());
    }
}

void SocketTransport::accept(StatusBlock& status) {
    if (!registered_) return loadFailure(0, kTransportNotRegistered, status);
    if (!acceptDue_) return;
    acceptDue_ = !acceptPending(status);
}

bool SocketTransport::acceptPending(StatusBlock& status) {
    const std::array<const UniqueFd*, kListeners> listeners{&unixListener_, &tcpListener_};
    for (const UniqueFd* listener : listeners) {
        if (!listener->valid()) continue;
        for (;;) {
            int error = 0;
            UniqueFd fd = acceptConnection(listener->get(), listener == &tcpListener_, error);
            if (!fd.valid()) {
                if (error == 0) break;
                loadFailure(error, kTransportAcceptFailed, status);
                return false;
            }
            if (addConnection(std::move(fd), listener == &tcpListener_) == nullptr) {
                logEvent("Connection refused: %u connections are open already", static_cast<unsigned>(kMaxConnections));
            }
        }
    }
    return true;
}

Connection* SocketTransport::addConnection(UniqueFd fd, bool tcp) {
    for (std::size_t i = 0; i < kMaxConnections; ++i) {
        auto& slot = connections_[i];
        if (slot) continue;
        std::unique_ptr<Connection> connection(new (std::nothrow) Connection);
        if (!connection || !connection->reader.allocate()) return nullptr;
        connection->fd = std::move(fd);
        connection->tcp = tcp;
        slot = std::move(connection);
        slotsInUse_ = std::max(slotsInUse_, i + 1);
        return slot.get();
    }
    return nullptr;
}

// Over TCP, whichever service holds the node's port receives what remote
// nodes send to any service there; a message for another service (a SHUT
// above all) must not act on this one.
bool SocketTransport::addressedHere(MsgView frame) {
    if (!registered_) return true;
    const AddressRecord destination = ZENTO_SERVER_MSGDEST(frame);
    const std::string_view service = fixedText(destination.service, sizeof destination.service);
    if (service == serviceName_) return true;
    logEvent("Message for service %.*s dropped: this process serves %s", static_cast<int>(service.size()),
             service.data(), serviceName_.c_str());
    return false;
}

void SocketTransport::identify(Connection& connection, const AddressRecord& peer) {
    if (peer.service[0] == '\0') return;
    connection.identified = true;
    connection.peer = peer;
    connection.key = peerKey(peer, localNode());
}

void SocketTransport::peerGone(Connection& connection) {
    connection.fd.reset();
    connection.sendable = false;
}

void SocketTransport::checkReader(Connection& connection) {
    const char* peer = connection.identified ? connection.peer.service : "an unnamed peer";
    switch (connection.reader.state()) {
        case FrameReader::State::kBadFrame:
            logEvent("Bad frame from %s (magic 0x%04x, length %u): connection closed", peer,
                     connection.reader.badMagic(), connection.reader.badLength());
            peerGone(connection);
            break;
        case FrameReader::State::kNoMemory:
            logEvent("No memory for a %u-byte message from %s: connection closed", connection.reader.badLength(),
                     peer);
            peerGone(connection);
            break;
        case FrameReader::State::kIncomplete:
        case FrameReader::State::kReady:
            break;
    }
}

void SocketTransport::readFrom(Connection& connection) {
    if (!connection.fd.valid()) return;
    const MsgSpan space = connection.reader.receiveSpace();
    if (space.empty()) return;
    const ReadResult read = readAvailable(connection.fd.get(), space);
    if (read.kind == ReadResult::kData) {
        connection.reader.received(read.count);
        checkReader(connection);
    } else if (read.kind == ReadResult::kClosed) {
        peerGone(connection);
    }
}

void SocketTransport::release(std::size_t slot) {
    Connection& connection = *connections_[slot];
    if (connection.reader.holdsPartialFrame() && connection.reader.state() == FrameReader::State::kIncomplete) {
        logEvent("Connection from %s closed in the middle of a message",
                 connection.identified ? connection.peer.service : "an unnamed peer");
    }
    connections_[slot].reset();
    while (slotsInUse_ > 0 && !connections_[slotsInUse_ - 1]) --slotsInUse_;
}

bool SocketTransport::deliverDisconnect(Connection& connection, Message& msg, std::int32_t& length,
                                        StatusBlock& status) {
    // Source and request source both name the peer.
    buildNotification(kTransDisconnect, connection.peer, self_, 0, msg, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportNoMemory, status);
        length = -1;
        return true;
    }
    length = static_cast<std::int32_t>(msg.size);
    return true;
}

bool SocketTransport::deliverReady(Message& msg, std::int32_t& length, StatusBlock& status) {
    const std::size_t inUse = slotsInUse_;  // a release below may lower it
    for (std::size_t step = 0; step < inUse; ++step) {
        const std::size_t slot = (nextSlot_ + step) % inUse;
        if (!connections_[slot]) continue;
        Connection& connection = *connections_[slot];
        Message frame;
        while (connection.reader.take(frame)) {
            checkReader(connection);
            const bool hello = isHelloFrame(frame.view());
            if (hello || !connection.identified) identify(connection, ZENTO_SERVER_MSGSRC(frame.view()));
            if (hello) continue;
            if (!addressedHere(frame.view())) continue;
            nextSlot_ = slot + 1;
            length = static_cast<std::int32_t>(frame.size);
            msg = std::move(frame);
            return true;
        }
        if (connection.fd.valid()) continue;
        // The peer has gone and everything it sent has been delivered. A
        // connection that never named its peer (a probe) ends silently.
        if (connection.identified) {
            nextSlot_ = slot + 1;
            deliverDisconnect(connection, msg, length, status);
            if (length < 0) return true;  // kept for the next receive to try again
            release(slot);
            return true;
        }
        release(slot);
    }
    return false;
}

std::int32_t SocketTransport::receive(std::int32_t timeout, Message& msg, StatusBlock& status) {
    const SteadyClock::time_point deadline = SteadyClock::now() + unitsToMs(timeout > 0 ? timeout : 0);
    bool listening = registered_;
    std::array<WatchedSocket, kListeners + kMaxConnections> entries;
    std::array<Connection*, kListeners + kMaxConnections> owners;
    for (;;) {
        std::int32_t length = 0;
        if (deliverReady(msg, length, status)) return length;

        std::size_t count = 0;
        if (listening) {
            for (const UniqueFd* listener : {&unixListener_, &tcpListener_}) {
                if (!listener->valid()) continue;
                entries[count] = {listener->get(), false};
                owners[count++] = nullptr;
            }
        }
        for (std::size_t slot = 0; slot < slotsInUse_; ++slot) {
            const auto& connection = connections_[slot];
            if (!connection || !connection->fd.valid() || connection->reader.receiveSpace().empty()) continue;
            entries[count] = {connection->fd.get(), false};
            owners[count++] = connection.get();
        }
        int error = 0;
        const int ready = waitReadable(std::span(entries.data(), count), millisecondsLeft(deadline), error);
        if (ready < 0) {
            // A stop signal ends the wait at once: the program acts on it.
            if (error == EINTR) {
                if (platform::stopSignalled()) return 0;
                continue;
            }
            loadFailure(error, kTransportReceiveFailed, status);
            return -1;
        }
        if (ready == 0) return 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (!entries[i].ready) continue;
            if (owners[i] != nullptr) {
                readFrom(*owners[i]);
            } else if (listening) {
                // A peer connecting during the wait is taken at once, so its
                // message need not wait for the next ACCEPT. Failures are
                // ACCEPT's to report; here they only stop watching listeners.
                StatusBlock ignored;
                ZENTO_SERVER_INITBLK(ignored);
                listening = acceptPending(ignored);
                if (!listening) acceptDue_ = true;
            }
        }
    }
}

Connection* SocketTransport::findSendable(const std::string& key) {
    for (std::size_t slot = 0; slot < slotsInUse_; ++slot) {
        const auto& connection = connections_[slot];
        if (connection && connection->sendable && connection->identified && connection->key == key) {
            return connection.get();
        }
    }
    return nullptr;
}

// A cached connection whose peer has closed or half-closed takes no more
// messages: on TCP the first write after the peer's close would still
// succeed, and the message would be lost. What the peer sent before closing
// stays to be received. A UNIX-domain write to a peer that has closed (or
// shut its reading side) fails at once with EPIPE, which send answers with a
// new connection, so those connections need no look before every send.
void SocketTransport::refreshBeforeSend(Connection& connection) {
    const PeerLook look = lookBeforeSend(connection.fd.get(), connection.tcp);
    if (look.readable) readFrom(connection);
    if (look.hungUp) connection.sendable = false;
}

Connection* SocketTransport::openConnection(const AddressRecord& destination, SteadyClock::time_point deadline,
                                            StatusBlock& status) {
    const std::string_view node = fixedText(destination.node, sizeof destination.node);
    const std::string_view service = fixedText(destination.service, sizeof destination.service);
    const std::string local = localNode();
    UniqueFd fd;
    IoResult result;
    if (isLocalNode(node, local)) {
        if (!isServiceName(service)) {
            loadFailure(ENOENT, kTransportNoSuchService, status);
            return nullptr;
        }
        result = connectUnix(socketPath(service), deadline, fd);
    } else {
        const std::optional<Route> route = routeTo(node);
        if (!route) {
            loadFailure(0, kTransportNoRoute, status);
            return nullptr;
        }
        result = connectTcp(route->host, route->port, deadline, fd);
    }
    switch (result.kind) {
        case IoResult::kOk:
            break;
        case IoResult::kRefused:
            loadFailure(result.error, kTransportNoSuchService, status);
            return nullptr;
        case IoResult::kTimedOut:
            loadFailure(result.error, kTransportSendTimedOut, status);
            return nullptr;
        case IoResult::kBroken:
        case IoResult::kFailed:
            loadFailure(result.error, kTransportConnectFailed, status);
            return nullptr;
    }
    Connection* connection = addConnection(std::move(fd), !isLocalNode(node, local));
    if (connection == nullptr) {
        loadFailure(EMFILE, kTransportConnectFailed, status);
        return nullptr;
    }
    AddressRecord peer = destination;
    if (node.empty()) setFixedText(peer.node, sizeof peer.node, local);
    identify(*connection, peer);
    connection->helloPending = true;
    return connection;
}

IoResult SocketTransport::writeMessage(Connection& connection, MsgView msg, SteadyClock::time_point deadline) {
    std::array<std::uint8_t, head::kSize> hello{};
    // An unregistered sender is named by the source its message carries.
    if (connection.helloPending) hello = encodeHello(registered_ ? self_ : ZENTO_SERVER_MSGSRC(msg));
    const MsgView parts[] = {connection.helloPending ? MsgView(hello) : MsgView(), msg};
    const IoResult result = writeParts(connection.fd.get(), parts, deadline);
    if (result.kind == IoResult::kOk) {
        connection.helloPending = false;
    } else if (result.kind == IoResult::kBroken) {
        // The peer has gone, but what it sent before going (an
        // acknowledgement, say) may still wait to be read: the connection
        // stays open for receiving until its end is met.
        connection.sendable = false;
    } else if (result.written > 0 || result.kind != IoResult::kTimedOut) {
        // Half a frame is on the stream: nothing more can follow it there.
        peerGone(connection);
    }
    return result;
}

void SocketTransport::send(std::int32_t timeout, MsgView msg, StatusBlock& status) {
    if (!isSendableMessage(msg)) return loadFailure(0, kTransportBadMessage, status);
    const AddressRecord destination = ZENTO_SERVER_MSGDEST(msg);
    if (destination.service[0] == '\0') return loadFailure(0, kTransportNoDestination, status);
    const SteadyClock::time_point deadline = SteadyClock::now() + unitsToMs(timeout > 0 ? timeout : 1);

    if (Connection* cached = findSendable(peerKey(destination, localNode()))) {
        refreshBeforeSend(*cached);
        if (cached->sendable) {
            const IoResult result = writeMessage(*cached, msg, deadline);
            if (result.kind == IoResult::kOk) return;
            if (result.kind == IoResult::kTimedOut) return loadFailure(result.error, kTransportSendTimedOut, status);
            if (result.kind != IoResult::kBroken) return loadFailure(result.error, kTransportSendFailed, status);
        }
        // The cached connection is broken: one new connection is tried.
    }
    Connection* connection = openConnection(destination, deadline, status);
    if (connection == nullptr) return;
    const IoResult result = writeMessage(*connection, msg, deadline);
    switch (result.kind) {
        case IoResult::kOk:
            return;
        case IoResult::kTimedOut:
            return loadFailure(result.error, kTransportSendTimedOut, status);
        default:
            return loadFailure(result.error, kTransportSendFailed, status);
    }
}

void SocketTransport::exit(StatusBlock& /*status*/) {
    for (auto& connection : connections_) connection.reset();
    slotsInUse_ = 0;
    unixListener_.reset();
    tcpListener_.reset();
    // A child forked after INIT shares the registration but not the name.
    if (registered_ && ownerPid_ == currentProcessId()) removeListenerFile(socketPath_);
    registered_ = false;
    releaseLogDirectory();
    acceptDue_ = false;
    self_ = AddressRecord{};
    nextSlot_ = 0;
}

TimeStamp SocketTransport::now() {
    const platform::WallClockTime now = platform::wallClockNow();
    return TimeStamp{now.milliseconds, static_cast<std::int32_t>(now.seconds)};
}

void SocketTransport::sleep(std::int32_t units) { platform::sleepMilliseconds(std::int64_t{units} * kLibraryUnitMs); }

}  // namespace

Transport& socketTransport() {
    static SocketTransport transport;
    return transport;
}

}  // namespace msglib
