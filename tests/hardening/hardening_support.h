#pragma once
// Whole recoveries run in-process against a destination that acknowledges
// every stored message at once, with what they sent told by list id, and
// store files of numbered stored replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msglib/inprocess.h"
#include "recover/recover_context.h"
#include "recover/recovery.h"
#include "storefile/file_handle.h"
#include "tests/forward/forward_test_support.h"
#include "tests/support/store_builder.h"

namespace hardening {

inline const AddressRecord kRequester = makeAddress("clienthost", "CLIENT");
inline const AddressRecord kArec = makeAddress("clienthost", "TSK_AREC");
constexpr std::int32_t kNoticeListId = 9999;  // the end-of-file notice's list id

// Stored reply number n answers the request for list n.
inline std::vector<std::uint8_t> storedReply(std::int32_t n) { return fwdtest::makeStoredReply(n, 100, kRequester); }

inline std::int32_t listIdOf(MsgView msg) {
    ReplyFields fields;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREP(msg, fields, status);
    return statusFailed(status) ? -1 : fields.listId;
}

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::vector<std::int32_t> delivered;  // list ids of the stored messages sent, resends included
    int notices = 0;
    bool runaway = false;  // stopped by the watchdog, not by itself
};

// The in-process network, bounded: a recovery that would wait forever gets a
// shutdown request after many passes, and the result says so.
class Watchdog final : public msglib::Transport {
public:
    explicit Watchdog(msglib::InProcessNetwork& network) : net_(network) {}
    void init(std::int32_t mode, std::string_view name, AddressRecord& self, StatusBlock& s) override {
        net_.init(mode, name, self, s);
    }
    void accept(StatusBlock& s) override { net_.accept(s); }
    std::int32_t receive(std::int32_t timeout, Message& m, StatusBlock& s) override {
        if (++receives_ == kMaxReceives) {
            fired_ = true;
            Message shut;
            StatusBlock built;
            buildNotification(kTransShut, makeAddress("ophost", "OPERATOR"), net_.self(), 0, shut, built);
            net_.deliver(shut.view());
        }
        return net_.receive(timeout, m, s);
    }
    void send(std::int32_t timeout, MsgView m, StatusBlock& s) override { net_.send(timeout, m, s); }
    void exit(StatusBlock& s) override { net_.exit(s); }
    TimeStamp now() override { return net_.now(); }
    void sleep(std::int32_t units) override { net_.sleep(units); }
    bool fired() const { return fired_; }

private:
    static constexpr int kMaxReceives = 20000;
    msglib::InProcessNetwork& net_;
    int receives_ = 0;
    bool fired_ = false;
};

// Acknowledges a stored message at once, naming its transaction.
inline void acknowledgeAtOnce(msglib::InProcessNetwork& net, MsgView sent) {
    if (listIdOf(sent) == kNoticeListId) return;
    Message ack;
    StatusBlock status;
    buildNotification(kTransAck, kArec, net.self(), ZENTO_SERVER_TRANSNUM(sent), ack, status);
    net.deliver(ack.view());
}

// One recovery of path with the given extra arguments; the destination
// answers through onSend (acknowledgeAtOnce unless told otherwise).
inline RunResult recoverInProcess(const std::string& path, const std::vector<std::string>& extra = {},
                                  msglib::InProcessNetwork::SendHook onSend = acknowledgeAtOnce) {
    msglib::InProcessNetwork network;
    network.declareReachable(kArec);
    network.onSend(std::move(onSend));
    Watchdog watchdog(network);
    msglib::ScopedTransport use(watchdog);

    std::vector<std::string> args = {"zento_sf_recover", "hardsvc", path};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());

    RunResult result;
    RecoverContext ctx;
    result.out = fwdtest::capturedStdout(
        [&] { result.exitCode = runRecovery(ctx, static_cast<int>(argv.size()), argv.data()); });
    // A failed start leaves the file open, as the process's end would close it.
    if (ctx.storeFileHandle >= 0) {
        StatusBlock ignored;
        closeStoreFileHandle(ctx.storeFileHandle, ignored);
    }
    for (const auto& sent : network.sent()) {
        const std::int32_t id = listIdOf(sent.view());
        if (id == kNoticeListId) {
            ++result.notices;
        } else {
            result.delivered.push_back(id);
        }
    }
    result.runaway = watchdog.fired();
    return result;
}

// The sequence with runs of one value cut to one.
inline std::vector<std::int32_t> withoutRepeats(std::vector<std::int32_t> ids) {
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    return ids;
}

inline std::vector<std::int32_t> numbers(std::int32_t first, std::int32_t last) {
    std::vector<std::int32_t> n;
    for (std::int32_t i = first; i <= last; ++i) n.push_back(i);
    return n;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace hardening
