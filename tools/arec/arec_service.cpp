#include "tools/arec/arec_service.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "msglib/msglib.h"
#include "platform/clock.h"
#include "tools/arec/arec_answers.h"

namespace {

constexpr std::int32_t kReceiveUnits = 1;  // short, so a signal is seen promptly
// While an acknowledgement is due within a unit, the longest a message that
// arrives waits to be taken.
constexpr std::int64_t kPollMs = 1;
constexpr std::int32_t kSendUnits = 50;
constexpr std::string_view kEndOfFileTag = "STOREFILEISEMPTY";

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string describe(const StatusBlock& status) {
    std::string text;
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (!text.empty()) text += ", ";
        text += "facility=" + std::to_string(status.facility[i]) + " error=" + std::to_string(status.error[i]);
    }
    return text;
}

std::string addressText(const AddressRecord& address) {
    return std::string(fixedText(address.node, sizeof address.node)) + "/" +
           std::string(fixedText(address.service, sizeof address.service));
}

const char* notificationName(std::int32_t transType) {
    switch (transType) {
        case kTransAck: return "ACK";
        case kTransShut: return "SHUT";
        case kTransDisconnect: return "DISCONNECT";
        default: return "notification";
    }
}

bool parseReply(MsgView message, ReplyFields& fields) {
    StatusBlock status;
    if (ZENTO_SERVER_TRANSTYPE(message) == kTransUnsolicited) {
        ZENTO_SERVER_PARSE_UNSREP(message, fields, status);
    } else {
        ZENTO_SERVER_PARSE_GETREP(message, fields, status);
    }
    return !statusFailed(status);
}

// Whether the tag's name appears anywhere in the message: a message without
// it cannot be the notice, and the search costs far less than a parse.
bool mentionsEndOfFileTag(MsgView message) {
    const std::string_view bytes(reinterpret_cast<const char*>(message.data()), message.size());
    return bytes.find(kEndOfFileTag) != std::string_view::npos;
}

// The recovery's last word: a GET reply for the pseudo tag STOREFILEISEMPTY.
bool isEndOfFileNotice(MsgView message) {
    if (ZENTO_SERVER_TRANSTYPE(message) != kTransGet || !mentionsEndOfFileTag(message)) return false;
    ReplyFields fields;
    StatusBlock status;
    ZENTO_SERVER_PARSE_GETREP(message, fields, status);
    if (statusFailed(status) || fields.tagCount < 1 || fields.tagNames.empty()) return false;
    const std::size_t width = fields.tagNames.size() / static_cast<std::size_t>(fields.tagCount);
    return fixedText(reinterpret_cast<const char*>(fields.tagNames.data()), width) == kEndOfFileTag;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class ArecService {
public:
    explicit ArecService(const ArecOptions& options) : options_(options) {}

    int run(const volatile std::sig_atomic_t& stop);

private:
    bool start();
    void onMessage(const Message& message);
    void onForwarded(const Message& message);
    void answer(const Message& message, std::uint32_t number);
    void sendNotification(std::int32_t transType, const AddressRecord& to, std::uint32_t transNum);
    void sendDueAcks();
    void reportReceiveFailure(const StatusBlock& status);

    const ArecOptions& options_;
    AddressRecord self_{};
    std::unique_ptr<std::FILE, FileCloser> out_;
    AckQueue acks_;
    std::uint32_t received_ = 0;
    bool endOfFileSeen_ = false;
    std::int32_t lastReceiveError_ = 0;
};

int ArecService::run(const volatile std::sig_atomic_t& stop) {
    if (!start()) return 1;
    while (stop == 0 && !(endOfFileSeen_ && options_.exitOnEof)) {
        StatusBlock status;
        ZENTO_SERVER_ACCEPT(status);
        sendDueAcks();
        const ReceiveWait wait = receiveWaitFor(acks_, nowMs(), kReceiveUnits, kPollMs);
        Message message;
        const std::int32_t n = ZENTO_SERVER_RECEIVE(wait.units, message, status);
        if (n < 0) {
            reportReceiveFailure(status);
            ZENTO_SERVER_SLEEP(1);
        } else if (n > 0) {
            onMessage(message);
        } else if (wait.pauseMs > 0) {
            platform::sleepMilliseconds(wait.pauseMs);
        }
    }
    StatusBlock status;
    ZENTO_SERVER_EXIT(status);
    if (options_.quiet) {
        std::printf("%u messages received\n", received_);
        std::fflush(stdout);
    }
    return 0;
}

bool ArecService::start() {
    if (!options_.outPath.empty()) {
        out_.reset(std::fopen(options_.outPath.c_str(), "ab"));
        if (!out_) {
            std::fprintf(stderr, "zento_arec: cannot open %s for appending\n", options_.outPath.c_str());
            return false;
        }
    }
    StatusBlock status;
    ZENTO_SERVER_INIT(1, options_.service, self_, status);
    if (statusFailed(status)) {
        std::fprintf(stderr, "zento_arec: cannot register as %s (%s)\n", options_.service.c_str(),
                     describe(status).c_str());
        return false;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return true;
}

void ArecService::onMessage(const Message& message) {
    const MsgView view = message.view();
    if (ZENTO_SERVER_MSGTYPE(view) == kMsgNotification) {
        std::printf("%s received from %s\n", notificationName(ZENTO_SERVER_TRANSTYPE(view)),
                    addressText(ZENTO_SERVER_MSGSRC(view)).c_str());
        std::fflush(stdout);
        return;
    }
    if (isEndOfFileNotice(view)) {
        endOfFileSeen_ = true;
        std::printf("end-of-file notice received\n");
        std::fflush(stdout);
        return;
    }
    onForwarded(message);
}

void ArecService::onForwarded(const Message& message) {
    const MsgView view = message.view();
    const std::uint32_t number = ++received_;
    // Quiet, the first line still tells a watcher that messages arrive; the
    // parse is only for the line.
    if (!options_.quiet || number == 1) {
        ReplyFields fields;
        const std::string listId = parseReply(view, fields) ? std::to_string(fields.listId) : "unknown";
        std::printf("message %u: size %u, list id %s, from %s\n", number, message.size, listId.c_str(),
                    addressText(ZENTO_SERVER_MSGSRC(view)).c_str());
        std::fflush(stdout);
    }
    if (out_) {
        if (std::fwrite(message.data(), 1, message.size, out_.get()) != message.size || std::fflush(out_.get()) != 0) {
            std::fprintf(stderr, "zento_arec: cannot write message %u to %s\n", number, options_.outPath.c_str());
        }
    }
    answer(message, number);
}

void ArecService::answer(const Message& message, std::uint32_t number) {
    const Answer what = answerFor(options_, number);
    const AddressRecord sender = ZENTO_SERVER_MSGSRC(message.view());
    const std::uint32_t transNum = ZENTO_SERVER_TRANSNUM(message.view());
    if (what.disconnect) sendNotification(kTransDisconnect, sender, transNum);
    if (what.shut) sendNotification(kTransShut, sender, transNum);
    if (!what.ack) return;
    if (options_.ackDelayMs == 0) {
        sendNotification(kTransAck, sender, transNum);
        return;
    }
    acks_.push(PendingAck{nowMs() + options_.ackDelayMs, sender, transNum});
}

void ArecService::sendDueAcks() {
    if (acks_.empty()) return;
    for (const PendingAck& ack : acks_.takeDue(nowMs())) sendNotification(kTransAck, ack.to, ack.transNum);
}

void ArecService::sendNotification(std::int32_t transType, const AddressRecord& to, std::uint32_t transNum) {
    Message notification;
    StatusBlock status;
    buildNotification(transType, self_, to, transNum, notification, status);
    if (!statusFailed(status)) ZENTO_SERVER_SEND(kSendUnits, notification.view(), status);
    if (statusFailed(status)) {
        std::fprintf(stderr, "zento_arec: cannot send %s to %s (%s)\n", notificationName(transType),
                     addressText(to).c_str(), describe(status).c_str());
        return;
    }
    if (transType != kTransAck) {
        std::printf("sent %s to %s\n", notificationName(transType), addressText(to).c_str());
        std::fflush(stdout);
    }
}

// A failing receive usually repeats; one line per distinct cause is enough.
void ArecService::reportReceiveFailure(const StatusBlock& status) {
    if (firstErrorCode(status) == lastReceiveError_) return;
    lastReceiveError_ = firstErrorCode(status);
    std::fprintf(stderr, "zento_arec: receive failed (%s)\n", describe(status).c_str());
}

}  // namespace

int runArec(const ArecOptions& options, const volatile std::sig_atomic_t& stop) {
    ArecService service(options);
    return service.run(stop);
}
