#include "msglib/inprocess.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "msglib/msglib.h"
#include "msglib/transport_address.h"
#include "msglib/transport_codes.h"
#include "msglib/transport_frame.h"

namespace msglib {

void InProcessNetwork::deliverAt(std::int64_t dueMs, MsgView msg) {
    pending_.push_back(Delivery{dueMs, std::vector<std::uint8_t>(msg.begin(), msg.end())});
}

void InProcessNetwork::declareReachable(const AddressRecord& destination) {
    if (!isReachable(destination)) reachable_.push_back(destination);
}

void InProcessNetwork::declareUnreachable(const AddressRecord& destination) {
    const std::string key = peerKey(destination, zentoNode());
    std::erase_if(reachable_, [&](const AddressRecord& known) { return peerKey(known, zentoNode()) == key; });
}

void InProcessNetwork::failNth(Call call, int n, std::int32_t facility, std::int32_t code) {
    Counter& counter = counters_[index(call)];
    counter.faults.push_back(Fault{counter.made + n, facility, code});
}

void InProcessNetwork::failNext(Call call, int count, std::int32_t facility, std::int32_t code) {
    for (int n = 1; n <= count; ++n) failNth(call, n, facility, code);
}

bool InProcessNetwork::injectedFault(Call call, StatusBlock& status) {
    Counter& counter = counters_[index(call)];
    ++counter.made;
    const auto fault = std::find_if(counter.faults.begin(), counter.faults.end(),
                                    [&](const Fault& f) { return f.callNumber == counter.made; });
    if (fault == counter.faults.end()) return false;
    ZENTO_SERVER_LDBLK(fault->facility, fault->code, status);
    counter.faults.erase(fault);
    return true;
}

bool InProcessNetwork::isReachable(const AddressRecord& destination) const {
    const std::string local = zentoNode();
    const std::string key = peerKey(destination, local);
    if (registered_ && peerKey(self_, local) == key) return true;
    return std::any_of(reachable_.begin(), reachable_.end(),
                       [&](const AddressRecord& known) { return peerKey(known, local) == key; });
}

void InProcessNetwork::init(std::int32_t /*mode*/, std::string_view serviceName, AddressRecord& self,
                            StatusBlock& status) {
    if (injectedFault(Call::kInit, status)) return;
    if (registered_) return ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportAlreadyRegistered, status);
    if (!isServiceName(serviceName)) return ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportBadServiceName, status);
    registered_ = true;
    self_ = makeAddress(zentoNode(), serviceName);
    self = self_;
}

void InProcessNetwork::accept(StatusBlock& status) {
    if (injectedFault(Call::kAccept, status)) return;
    if (!registered_) ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportNotRegistered, status);
}

std::int32_t InProcessNetwork::receive(std::int32_t timeout, Message& msg, StatusBlock& status) {
    if (injectedFault(Call::kReceive, status)) return -1;
    const std::int64_t waitMs = timeout > 0 ? std::int64_t{timeout} * kLibraryUnitMs : 0;
    // min_element keeps the first of equal due times: arrival order.
    const auto next = std::min_element(pending_.begin(), pending_.end(),
                                       [](const Delivery& a, const Delivery& b) { return a.dueMs < b.dueMs; });
    if (next == pending_.end() || next->dueMs > nowMs_ + waitMs) {
        nowMs_ += waitMs;
        return 0;
    }
    nowMs_ = std::max(nowMs_, next->dueMs);
    if (!allocateMessage(msg, static_cast<std::uint32_t>(next->bytes.size()))) {
        ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportNoMemory, status);
        return -1;
    }
    if (!next->bytes.empty()) std::memcpy(msg.data(), next->bytes.data(), next->bytes.size());
    pending_.erase(next);
    return static_cast<std::int32_t>(msg.size);
}

void InProcessNetwork::send(std::int32_t timeout, MsgView msg, StatusBlock& status) {
    if (injectedFault(Call::kSend, status)) return;
    if (!isSendableMessage(msg)) return ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportBadMessage, status);
    const AddressRecord destination = ZENTO_SERVER_MSGDEST(msg);
    if (destination.service[0] == '\0') {
        return ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportNoDestination, status);
    }
    if (!isReachable(destination)) {
        // As the socket backend reports a service nobody listens under.
        ZENTO_SERVER_LDBLK(kFacilityRuntime, ENOENT, status);
        return ZENTO_SERVER_LDBLK(kFacilityLibrary, kTransportNoSuchService, status);
    }
    sent_.push_back(SentMessage{std::vector<std::uint8_t>(msg.begin(), msg.end()), nowMs_, timeout});
    if (registered_ && peerKey(destination, zentoNode()) == peerKey(self_, zentoNode())) deliver(msg);
    if (hook_) {
        // The hook may replace itself; the running copy stays valid.
        const SendHook hook = hook_;
        hook(*this, msg);
    }
}

void InProcessNetwork::exit(StatusBlock& status) {
    if (injectedFault(Call::kExit, status)) return;
    registered_ = false;
}

TimeStamp InProcessNetwork::now() {
    return TimeStamp{static_cast<std::int32_t>(nowMs_ % 1000), static_cast<std::int32_t>(nowMs_ / 1000)};
}

void InProcessNetwork::sleep(std::int32_t units) {
    if (units > 0) nowMs_ += std::int64_t{units} * kLibraryUnitMs;
}

}  // namespace msglib
