#pragma once
// An in-process backend for tests: one registered service, scripted peers,
// and a clock that only moves when told to or when the program waits.
//
//   msglib::InProcessNetwork network;
//   msglib::ScopedTransport use(network);
//   network.declareReachable(makeAddress("", "TSK_AREC"));
//   network.onSend([](msglib::InProcessNetwork& net, MsgView sent) {
//       net.deliverAt(net.nowMs() + 2000, ackFor(sent));   // an ACK 2 s later
//   });
//   ... run the code under test ...
//   EXPECT_EQ(network.sent().size(), 1u);
//
// The clock: GETTIME returns it; SLEEP advances it by the units slept; a
// RECEIVE that finds nothing due advances it by its whole wait, and one that
// finds a delivery due within its wait advances it to that delivery's time.
// Sends take no time.
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "msglib/message.h"
#include "msglib/records.h"
#include "msglib/status_block.h"
#include "msglib/transport.h"

namespace msglib {

class InProcessNetwork final : public Transport {
public:
    enum class Call { kInit, kAccept, kReceive, kSend, kExit };

    struct SentMessage {
        std::vector<std::uint8_t> bytes;
        std::int64_t timeMs = 0;   // the clock when it was sent
        std::int32_t timeout = 0;  // the time-out it was sent with
        MsgView view() const { return {bytes.data(), bytes.size()}; }
    };

    using SendHook = std::function<void(InProcessNetwork& network, MsgView sent)>;

    // The clock starts at a fixed moment, 2023-11-14 22:13:20 UTC.
    static constexpr std::int64_t kStartMs = 1'700'000'000'000;

    // ---- Clock (milliseconds since the epoch) ----
    std::int64_t nowMs() const { return nowMs_; }
    void setTimeMs(std::int64_t ms) { nowMs_ = ms; }
    void advanceMs(std::int64_t ms) { nowMs_ += ms; }

    // ---- Scripted peers ----
    // A copy of msg comes out of the first RECEIVE at or after dueMs; equal
    // due times keep their order.
    void deliver(MsgView msg) { deliverAt(nowMs_, msg); }
    void deliverAt(std::int64_t dueMs, MsgView msg);
    std::size_t pendingDeliveries() const { return pending_.size(); }
    // Every successful send, in order.
    const std::vector<SentMessage>& sent() const { return sent_; }
    void clearSent() { sent_.clear(); }
    // Runs on each successful send, after it is recorded; it may deliver.
    void onSend(SendHook hook) { hook_ = std::move(hook); }

    // ---- Reachability ----
    // A send succeeds only to a declared destination (node compared without
    // domain and case, "" and "localhost" meaning the local node) or to the
    // registered service itself, which receives it back.
    void declareReachable(const AddressRecord& destination);
    void declareUnreachable(const AddressRecord& destination);

    // ---- Faults ----
    // The n-th call of the kind from now on (1: the next) fails with
    // (facility, code); failNext fails the next count calls.
    void failNth(Call call, int n, std::int32_t facility, std::int32_t code);
    void failNext(Call call, int count, std::int32_t facility, std::int32_t code);
    // Calls of the kind made so far, failed ones included.
    int calls(Call call) const { return counters_[index(call)].made; }

    // ---- Registration ----
    bool registered() const { return registered_; }
    const AddressRecord& self() const { return self_; }

    // ---- Transport ----
    void init(std::int32_t mode, std::string_view serviceName, AddressRecord& self, StatusBlock& status) override;
    void accept(StatusBlock& status) override;
    std::int32_t receive(std::int32_t timeout, Message& msg, StatusBlock& status) override;
    void send(std::int32_t timeout, MsgView msg, StatusBlock& status) override;
    void exit(StatusBlock& status) override;
    TimeStamp now() override;
    void sleep(std::int32_t units) override;

private:
    struct Delivery {
        std::int64_t dueMs;
        std::vector<std::uint8_t> bytes;
    };
    struct Fault {
        int callNumber;  // counted from the first call of the kind
        std::int32_t facility;
        std::int32_t code;
    };
    struct Counter {
        int made = 0;
        std::vector<Fault> faults;
    };

    static std::size_t index(Call call) { return static_cast<std::size_t>(call); }
    // Counts the call; true (with status loaded) when a fault is due.
    bool injectedFault(Call call, StatusBlock& status);
    bool isReachable(const AddressRecord& destination) const;

    std::int64_t nowMs_ = kStartMs;
    std::vector<Delivery> pending_;  // in order of arrival
    std::vector<SentMessage> sent_;
    SendHook hook_;
    std::vector<AddressRecord> reachable_;
    Counter counters_[5];
    bool registered_ = false;
    AddressRecord self_{};
};

}  // namespace msglib
