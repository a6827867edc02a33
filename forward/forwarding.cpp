#include "forward/forwarding.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "forward/transaction_numbers.h"
#include "msglib/code_catalogue.h"
#include "msglib/transport_codes.h"
#include "platform/clock.h"
#include "platform/file_kind.h"
#include "forward/forward_codes.h"
#include "storefile/cursor.h"
#include "storefile/store_file.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int32_t kMinimumAckSeconds = 5;
constexpr std::int64_t kRetryLogInterval = 300;
// While the destination keeps a message waiting, the operator hears of it at
// least this often.
constexpr std::int64_t kWaitNoticeInterval = 60;

std::string_view serviceOf(const ForwardState& fwd) {
    const AddressRecord& self = fwd.settings.selfAddress;
    return fixedText(self.service, sizeof self.service);
}

void logText(const ForwardState& fwd, const char* text, StatusBlock& logStatus) {
    ZENTO_SERVER_LOGMSG(serviceOf(fwd), text, logStatus);
}

// ---- Waiting notices ----
// A destination that cannot be reached or does not acknowledge keeps the
// recovery waiting, rightly (it may come back), but never in silence: a line
// on standard error and in the log when the wait begins, when its reason
// changes, at most once a minute while it lasts, and when it ends.

std::int32_t nowSeconds() {
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    return now.seconds;
}

void tellOperator(const ForwardState& fwd, const std::string& text) {
    std::fprintf(stderr, "zento_sf_recover: %s\n", text.c_str());
    std::fflush(stderr);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(serviceOf(fwd), text, logStatus);
}

std::string destinationText(const ForwardState& fwd) {
    const AddressRecord& to = fwd.destinationAddress;
    return std::string(fixedText(to.service, sizeof to.service)) + " on node " +
           std::string(fixedText(to.node, sizeof to.node));
}

std::string waitReason(const DestinationWait& wait) {
    std::string why = codeMeaningText(wait.facility, wait.code);
    if (why.empty()) why = "error " + std::to_string(wait.code);
    if (wait.cause != 0) why += " (" + platform::runtimeErrorText(wait.cause) + ")";
    return why;
}

std::string durationText(std::int64_t seconds) {
    char text[64];
    if (seconds >= 3600) {
        std::snprintf(text, sizeof text, "%" PRId64 " h %" PRId64 " min", seconds / 3600, seconds / 60 % 60);
    } else if (seconds >= 60) {
        std::snprintf(text, sizeof text, "%" PRId64 " min %" PRId64 " s", seconds / 60, seconds % 60);
    } else {
        std::snprintf(text, sizeof text, "%" PRId64 " s", seconds < 0 ? 0 : seconds);
    }
    return text;
}

// "since 14:03:07 (2 min 5 s)", in local time.
std::string sinceText(const DestinationWait& wait) {
    const platform::LocalTime t = platform::toLocalTime(platform::WallClockTime{wait.sinceSeconds, 0});
    char text[96];
    std::snprintf(text, sizeof text, "since %02d:%02d:%02d (%s)", t.hour, t.minute, t.second,
                  durationText(std::int64_t{nowSeconds()} - wait.sinceSeconds).c_str());
    return text;
}

std::string resendsText(const ForwardState& fwd) {
    const std::uint64_t n = fwd.stats.resends - fwd.wait.resendsBefore;
    return std::to_string(n) + (n == 1 ? " resend" : " resends");
}

std::string messageText(const StoreFile& store) {
    return "the message at offset " + std::to_string(store.header.forwardOffset);
}

void beginWait(ForwardState& fwd, DestinationWait::State state) {
    fwd.wait.state = state;
    fwd.wait.sinceSeconds = nowSeconds();
    fwd.wait.resendsBefore = fwd.stats.resends;
}

void noted(ForwardState& fwd, const std::string& text) {
    tellOperator(fwd, text);
    fwd.wait.lastNoticeSeconds = nowSeconds();
}

// A send, first or resend, failed as status says.
void noticeSendFailed(ForwardState& fwd, const StoreFile& store, const StatusBlock& status) {
    DestinationWait& wait = fwd.wait;
    const int entries = statusEntryCount(status);
    const std::int32_t facility = entries > 0 ? status.facility[entries - 1] : 0;
    const std::int32_t code = lastErrorCode(status);
    const std::int32_t cause = runtimeCause(status);
    const bool sameReason = wait.facility == facility && wait.code == code && wait.cause == cause;
    const DestinationWait::State before = wait.state;
    if (before == DestinationWait::State::Unreachable && sameReason) return;
    if (before == DestinationWait::State::Fine) beginWait(fwd, DestinationWait::State::Unreachable);
    wait.state = DestinationWait::State::Unreachable;
    wait.facility = facility;
    wait.code = code;
    wait.cause = cause;
    const std::int64_t every = std::int64_t{kWaitAfterFailedSend} * kLibraryUnitMs / 1000;
    if (before == DestinationWait::State::Fine) {
        noted(fwd, "Waiting for the destination: " + destinationText(fwd) + " cannot be reached: " + waitReason(wait) +
                       ". The message at offset " + std::to_string(store.header.forwardOffset) +
                       " stays in the store file and is sent again every " +
                       std::to_string(every) + " s until it goes.");
    } else {
        noted(fwd, "Still waiting for the destination " + sinceText(wait) + ": " + destinationText(fwd) +
                       " cannot be reached now: " + waitReason(wait) + "; " + resendsText(fwd) + " so far.");
    }
}

void noticeSendSucceeded(ForwardState& fwd) {
    if (fwd.wait.state == DestinationWait::State::Unreachable) fwd.wait.state = DestinationWait::State::Reached;
}

// The acknowledgement of a message that went out is overdue.
void noticeOverdue(ForwardState& fwd, const StoreFile& store) {
    DestinationWait& wait = fwd.wait;
    if (wait.state == DestinationWait::State::Silent) return;
    if (wait.state == DestinationWait::State::Fine) {
        beginWait(fwd, DestinationWait::State::Silent);
        noted(fwd, "Waiting for the destination: " + destinationText(fwd) + " has not acknowledged " +
                       messageText(store) + " in time; it is sent again until it is acknowledged.");
        return;
    }
    wait.state = DestinationWait::State::Silent;
    noted(fwd, "Still waiting for the destination " + sinceText(wait) + ": " + destinationText(fwd) +
                   " can be reached now but has not acknowledged " + messageText(store) + "; " + resendsText(fwd) +
                   " so far.");
}

// Once a minute at most while the wait lasts.
void remindWhileWaiting(ForwardState& fwd, const StoreFile& store) {
    const DestinationWait& wait = fwd.wait;
    if (wait.state != DestinationWait::State::Unreachable && wait.state != DestinationWait::State::Silent) return;
    if (std::int64_t{nowSeconds()} - wait.lastNoticeSeconds < kWaitNoticeInterval) return;
    if (wait.state == DestinationWait::State::Unreachable) {
        noted(fwd, "Still waiting for the destination " + sinceText(wait) + ": " + destinationText(fwd) +
                       " cannot be reached: " + waitReason(wait) + "; " + resendsText(fwd) + " so far.");
    } else {
        noted(fwd, "Still waiting for the destination " + sinceText(wait) + ": " + destinationText(fwd) +
                       " has not acknowledged " + messageText(store) + "; " + resendsText(fwd) + " so far.");
    }
}

void noticeAcknowledged(ForwardState& fwd, const std::string& message) {
    DestinationWait& wait = fwd.wait;
    if (wait.state == DestinationWait::State::Fine) return;
    tellOperator(fwd, "The destination is back: " + destinationText(fwd) + " acknowledged " + message +
                          " after " + durationText(std::int64_t{nowSeconds()} - wait.sinceSeconds) +
                          " of waiting and " + resendsText(fwd) + "; forwarding goes on.");
    wait = DestinationWait{};
}

void logListIdLine(const ForwardState& fwd, const char* what, std::int32_t listId, StatusBlock& logStatus) {
    char line[1024];
    std::snprintf(line, sizeof line, "%s%d", what, listId);
    logText(fwd, line, logStatus);
}

// Parse outputs are only trusted when the parse succeeded; otherwise the log
// lines show kUnknownListId and the device name is not taken.
bool parseForLog(const Message& msg, ReplyFields& fields, StatusBlock& logStatus) {
    parseStoredReply(msg.view(), fields, logStatus);
    return !statusFailed(logStatus);
}

std::int32_t listIdOf(const Message& msg, StatusBlock& logStatus) {
    ReplyFields fields;
    return parseForLog(msg, fields, logStatus) ? fields.listId : kUnknownListId;
}

// The deadline of the message just sent: twice its frequency (tenths of a
// second) after the send, never less than 5 seconds. Computed in 64 bits and
// held within 32, so a huge frequency means "as late as can be said".
void setAckDeadline(ForwardState& fwd, const StoreFile& store, StatusBlock& status) {
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    std::int32_t frequency = ZENTO_SERVER_FREQUENCY(store.currentMsg.view(), status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kErrFrequencyFailed, status);
        frequency = 0;
    }
    std::int64_t wait = std::max<std::int64_t>((2 * std::int64_t{frequency}) / 10, kMinimumAckSeconds);
    std::int64_t deadline = std::min<std::int64_t>(std::int64_t{now.seconds} + wait, INT32_MAX);
    fwd.ackDeadline = TimeStamp{now.milliseconds, static_cast<std::int32_t>(deadline)};
}

std::int32_t resendCurrent(ForwardState& fwd, const StoreFile& store, StatusBlock& status, StatusBlock& logStatus) {
    // Nothing is held that could be resent: go back to reading at the
    // forward offset, which still names the unacknowledged record.
    if (!store.currentMsg) {
        fwd.lastMsgAcked = true;
        fwd.retryPending = false;
        return kNormalWait;
    }

    std::int32_t listId = listIdOf(store.currentMsg, logStatus);
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    bool loggedRetry = false;
    if (!fwd.retryLogged || std::int64_t{now.seconds} - fwd.lastRetryLogTime.seconds > kRetryLogInterval) {
        logListIdLine(fwd, "Zen-TO Recover Store File Process retry sending msg for listid ", listId, logStatus);
        fwd.retryLogged = true;
        ZENTO_SERVER_GETTIME(fwd.lastRetryLogTime);
        loggedRetry = true;
    }

    ++fwd.stats.resends;
    ZENTO_SERVER_SEND(fwd.settings.sendTimeout, store.currentMsg.view(), status);
    if (!statusFailed(status)) {
        fwd.retryPending = false;
        noticeSendSucceeded(fwd);
        setAckDeadline(fwd, store, status);
        return kNormalWait;
    }
    noticeSendFailed(fwd, store, status);

    std::int32_t code = firstErrorCode(status);
    if (fwd.lastRetryError != code || loggedRetry) {
        logListIdLine(fwd, "Zen-TO Recover Store File Process had error on retry for send; listid ", listId,
                      logStatus);
        ZENTO_SERVER_LOGBLK(serviceOf(fwd), status, logStatus);
        fwd.lastRetryError = code;
    }
    // A failing resend is retried on every call; the main loop need not log
    // it again.
    ZENTO_SERVER_INITBLK(status);
    return kWaitAfterFailedSend;
}

void printAndLog(const ForwardState& fwd, const char* line, StatusBlock& logStatus) {
    std::fputs(line, stdout);
    std::fflush(stdout);
    logText(fwd, line, logStatus);
}

// The cursor delivered nothing and did not stop. Waiting would never end:
// no message is held to resend and the next read would find the same.
std::int32_t endWithoutMessage(ForwardState& fwd, const StoreFile& store, bool endOfData, const StatusBlock& status,
                               StatusBlock& logStatus) {
    char line[1024];
    if (endOfData) {
        // No stored message lies ahead: the end of the data, as when the
        // cursor stops by itself.
        std::snprintf(line, sizeof line, "No further stored message after location %" PRId64 ".\n",
                          static_cast<std::int64_t>(store.readPosition));
        printAndLog(fwd, line, logStatus);
    } else {
        // The data ahead cannot be read: stop with the header still at the
        // first message not forwarded, so a later run resumes there.
        std::snprintf(line, sizeof line,
                      "Error: stored data at location %" PRId64
                      " cannot be read.  Recovery stopped; the remaining messages stay in the store file.\n",
                      static_cast<std::int64_t>(store.header.forwardOffset));
        printAndLog(fwd, line, logStatus);
        if (statusFailed(status)) ZENTO_SERVER_LOGBLK(serviceOf(fwd), status, logStatus);
        fwd.dataUnreadable = true;
    }
    fwd.stopRequested = true;
    return kNoWait;
}

// Takes the outstanding message out of the store file; once it is gone
// there is nothing left to resend.
bool removeOutstanding(ForwardState& fwd, StoreFile& store, StatusBlock& status) {
    removeLastMsg(store, status);
    if (statusFailed(status)) return false;
    fwd.retryPending = false;
    return true;
}

// A message that can never go (no longer than its head: nothing to forward;
// refused by the library itself) is damage. It is taken out of the store file
// as if acknowledged so that the recovery moves on, and logged and counted as
// a skipped range. A removal that fails keeps it, as a failed removal of an
// acknowledged message does: the next step tries again, and three failures in
// a row stop the recovery.
std::int32_t skipStoredMessage(ForwardState& fwd, StoreFile& store, const SkipPending& why, StatusBlock& status,
                               StatusBlock& logStatus) {
    const std::int64_t position = store.header.forwardOffset;
    const std::uint32_t length = ZENTO_SERVER_MSGSIZE(store.currentMsg.view());
    fwd.skipPending = why;
    // Not sent, so no acknowledgement may take it: a late one of the message
    // before names that message's number.
    fwd.outstandingTransNum = 0;
    StatusBlock removeStatus;
    if (!removeOutstanding(fwd, store, removeStatus)) {
        ZENTO_SERVER_LOGBLK(serviceOf(fwd), removeStatus, logStatus);
        return kNormalWait;
    }
    fwd.skipPending = {};
    fwd.lastMsgAcked = true;
    ++fwd.stats.skippedMessages;
    fwd.stats.skippedBytes += kRecordPrefixSize + length;

    char line[1024];
    std::snprintf(line, sizeof line, "Skipped a stored message of %u bytes at location %" PRId64 ": %s", length,
                  static_cast<std::int64_t>(position), why.reason);
    logText(fwd, line, logStatus);
    ZENTO_SERVER_LDBLK(kFacilityStore, why.code, status);

    if (store.stopRequested) {
        fwd.stopRequested = true;
        return kNoWait;
    }
    // The last message taken out ends the data as its acknowledgement would:
    // the caller sees moreMessages cleared with nothing outstanding.
    return store.moreMessages ? kNormalWait : kNoWait;
}

// The library refuses the message itself, as opposed to a destination that
// cannot be reached or does not answer: no resend can ever succeed.
bool refusedByTheLibrary(const StatusBlock& status) {
    for (int i = 0; i < statusEntryCount(status); ++i) {
        if (status.facility[i] == kFacilityLibrary && status.error[i] == kTransportBadMessage) return true;
    }
    return false;
}

}  // namespace

void addressToRequester(ForwardState& fwd, MsgView msg) {
    const ForwardSettings& settings = fwd.settings;
    AddressRecord requester = ZENTO_SERVER_REQSRC(msg);
    std::string_view node = settings.nodeRedirect
                                ? fixedText(settings.redirectNodeName, sizeof settings.redirectNodeName)
                                : fixedText(requester.node, sizeof requester.node);
    // Cut to 31 characters so the record stays terminated.
    setFixedText(fwd.destinationAddress.node, sizeof fwd.destinationAddress.node, node);
    setFixedText(fwd.destinationAddress.service, sizeof fwd.destinationAddress.service, kForwardService);
}

namespace {

std::int32_t sendNext(ForwardState& fwd, StoreFile& store, StatusBlock& status, StatusBlock& logStatus) {
    std::uint32_t length = readNextMessage(store, status);
    if (store.stopRequested) return kNoWait;
    fwd.lastMsgAcked = false;

    if (length == 0 || !store.currentMsg) {
        if (statusFailed(status)) ZENTO_SERVER_LDBLK(kFacilityStore, kErrCursorFailed, status);
        bool endOfData = store.lastReadOutcome == ReadOutcome::EndOfData ||
                         store.lastReadOutcome == ReadOutcome::BeyondLastOffset;
        return endWithoutMessage(fwd, store, endOfData, status, logStatus);
    }
    // A message delivered together with an error (its header could not be
    // written back after a skip) is still forwarded: the error only means a
    // later run scans the damaged range again.
    if (statusFailed(status)) {
        ZENTO_SERVER_LOGBLK(serviceOf(fwd), status, logStatus);
        ZENTO_SERVER_INITBLK(status);
    }
    if (length <= kMessageHeadSize) {
        return skipStoredMessage(fwd, store, {"too short to forward", kErrMessageTooShort}, status, logStatus);
    }

    addressToRequester(fwd, store.currentMsg.view());
    fwd.addressedAny = true;
    ReplyFields fields;
    if (parseForLog(store.currentMsg, fields, logStatus) && fields.deviceName != nullptr) {
        std::memcpy(fwd.deviceName, fields.deviceName, sizeof fwd.deviceName);
    }

    ZENTO_SERVER_SET_MSGDEST(store.currentMsg.span(), fwd.destinationAddress);
    ZENTO_SERVER_SET_MSGSRC(store.currentMsg.span(), fwd.settings.selfAddress);
    // A number of our own, on the copy in memory only: the destination
    // acknowledges with it, and the main loop tells the acknowledgement of
    // this message from a late one of the message before. Resends keep it.
    fwd.outstandingTransNum = takeTransactionNumber(fwd);
    ZENTO_SERVER_SET_TRANSNUM(store.currentMsg.span(), fwd.outstandingTransNum);
    ZENTO_SERVER_SEND(fwd.settings.sendTimeout, store.currentMsg.view(), status);
    if (!statusFailed(status)) {
        fwd.retryPending = false;
        noticeSendSucceeded(fwd);
        setAckDeadline(fwd, store, status);
        return kNormalWait;
    }

    if (refusedByTheLibrary(status)) {
        ZENTO_SERVER_LOGBLK(serviceOf(fwd), status, logStatus);
        ZENTO_SERVER_INITBLK(status);
        return skipStoredMessage(fwd, store, {"the messaging library refuses to send it", kErrMessageUnsendable},
                                 status, logStatus);
    }
    StatusBlock parseStatus;
    logListIdLine(fwd, "Recover Store File Process had error on send; listid ", listIdOf(store.currentMsg, parseStatus),
                  logStatus);
    ZENTO_SERVER_LOGBLK(serviceOf(fwd), status, logStatus);
    noticeSendFailed(fwd, store, status);
    fwd.retryPending = true;
    return kWaitAfterFailedSend;
}

}  // namespace

bool ackTimerExpired(const TimeStamp& deadline) {
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    return now.seconds > deadline.seconds;
}

void parseStoredReply(MsgView msg, ReplyFields& out, StatusBlock& status) {
    switch (ZENTO_SERVER_TRANSTYPE(msg)) {
        case kTransGet:
            ZENTO_SERVER_PARSE_GETREP(msg, out, status);
            break;
        case kTransUnsolicited:
            ZENTO_SERVER_PARSE_UNSREP(msg, out, status);
            break;
        default:
            std::fputs("Unable to parse message.\n", stdout);
            std::fflush(stdout);
            ZENTO_SERVER_INITBLK(status);
            ZENTO_SERVER_LDBLK(kFacilityParser, kErrUnparsable, status);
            break;
    }
}

void configureForwarding(ForwardState& fwd, const ForwardSettings& settings) {
    fwd = ForwardState{};
    fwd.settings = settings;
}

std::int32_t forwardNextMessage(ForwardState& fwd, StoreFile& store, StatusBlock& status) {
    StatusBlock logStatus;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(logStatus);

    if (!store.moreMessages) return kNormalWait;
    if (fwd.skipPending.reason != nullptr) return skipStoredMessage(fwd, store, fwd.skipPending, status, logStatus);
    remindWhileWaiting(fwd, store);
    if (!fwd.lastMsgAcked) {
        if (!ackTimerExpired(fwd.ackDeadline)) return kNormalWait;
        if (!fwd.retryPending && store.currentMsg) noticeOverdue(fwd, store);
        fwd.retryPending = true;
    }
    return fwd.retryPending ? resendCurrent(fwd, store, status, logStatus) : sendNext(fwd, store, status, logStatus);
}

bool acknowledgeMessage(ForwardState& fwd, StoreFile& store, StatusBlock& status) {
    // Told before the removal moves the forward offset past the message.
    const std::string message = messageText(store);
    if (!removeOutstanding(fwd, store, status)) return false;
    noticeAcknowledged(fwd, message);
    fwd.skipPending = {};
    ++fwd.stats.forwarded;
    fwd.lastMsgAcked = true;
    fwd.retryLogged = false;
    fwd.lastRetryError = 0;
    return true;
}
