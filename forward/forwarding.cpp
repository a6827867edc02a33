#include "forward/forwarding.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "forward/transaction_numbers.h"
#include "recover/recover_context.h"
#include "storefile/cursor.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int32_t kMinimumAckSeconds = 5;
constexpr std::int64_t kRetryLogInterval = 300;

std::string_view serviceOf(const RecoverContext& ctx) {
    return fixedText(ctx.selfAddress.service, sizeof ctx.selfAddress.service);
}

void logText(const RecoverContext& ctx, const char* text, StatusBlock& logStatus) {
    ZENTO_SERVER_LOGMSG(serviceOf(ctx), text, logStatus);
}

void logListIdLine(const RecoverContext& ctx, const char* what, std::int32_t listId, StatusBlock& logStatus) {
    char line[1024];
    std::snprintf(line, sizeof line, "%s%d", what, listId);
    logText(ctx, line, logStatus);
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
void setAckDeadline(RecoverContext& ctx, StatusBlock& status) {
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    std::int32_t frequency = ZENTO_SERVER_FREQUENCY(ctx.currentMsg.view(), status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kErrFrequencyFailed, status);
        frequency = 0;
    }
    std::int64_t wait = std::max<std::int64_t>((2 * std::int64_t{frequency}) / 10, kMinimumAckSeconds);
    std::int64_t deadline = std::min<std::int64_t>(std::int64_t{now.seconds} + wait, INT32_MAX);
    ctx.ackDeadline = TimeStamp{now.milliseconds, static_cast<std::int32_t>(deadline)};
}

std::int32_t resendCurrent(RecoverContext& ctx, StatusBlock& status, StatusBlock& logStatus) {
    // Nothing is held that could be resent: go back to reading at the
    // forward offset, which still names the unacknowledged record.
    if (!ctx.currentMsg) {
        ctx.lastMsgAcked = true;
        ctx.retryPending = false;
        return kNormalWait;
    }

    std::int32_t listId = listIdOf(ctx.currentMsg, logStatus);
    TimeStamp now{};
    ZENTO_SERVER_GETTIME(now);
    bool loggedRetry = false;
    if (!ctx.retryLogged || std::int64_t{now.seconds} - ctx.lastRetryLogTime.seconds > kRetryLogInterval) {
        logListIdLine(ctx, "Zen-TO Recover Store File Process retry sending msg for listid ", listId, logStatus);
        ctx.retryLogged = true;
        ZENTO_SERVER_GETTIME(ctx.lastRetryLogTime);
        loggedRetry = true;
    }

    ++ctx.stats.resends;
    ZENTO_SERVER_SEND(ctx.sendTimeout, ctx.currentMsg.view(), status);
    if (!statusFailed(status)) {
        ctx.retryPending = false;
        setAckDeadline(ctx, status);
        return kNormalWait;
    }

    std::int32_t code = firstErrorCode(status);
    if (ctx.lastRetryError != code || loggedRetry) {
        logListIdLine(ctx, "Zen-TO Recover Store File Process had error on retry for send; listid ", listId,
                      logStatus);
        ZENTO_SERVER_LOGBLK(serviceOf(ctx), status, logStatus);
        ctx.lastRetryError = code;
    }
    // A failing resend is retried on every call; the main loop need not log
    // it again.
    ZENTO_SERVER_INITBLK(status);
    return kWaitAfterFailedSend;
}

void printAndLog(const RecoverContext& ctx, const char* line, StatusBlock& logStatus) {
    std::fputs(line, stdout);
    std::fflush(stdout);
    logText(ctx, line, logStatus);
}

// The cursor delivered nothing and did not stop. Waiting would never end:
// no message is held to resend and the next read would find the same.
std::int32_t endWithoutMessage(RecoverContext& ctx, bool endOfData, const StatusBlock& status,
                               StatusBlock& logStatus) {
    char line[1024];
    if (endOfData) {
        // No stored message lies ahead: the end of the data, as when the
        // cursor stops by itself.
        std::snprintf(line, sizeof line, "No further stored message after location %" PRId64 ".\n",
                          static_cast<std::int64_t>(ctx.readPosition));
        printAndLog(ctx, line, logStatus);
        ctx.moreMessages = false;
    } else {
        // The data ahead cannot be read: stop with the header still at the
        // first message not forwarded, so a later run resumes there.
        std::snprintf(line, sizeof line,
                      "Error: stored data at location %" PRId64
                      " cannot be read.  Recovery stopped; the remaining messages stay in the store file.\n",
                      static_cast<std::int64_t>(ctx.header.forwardOffset));
        printAndLog(ctx, line, logStatus);
        if (statusFailed(status)) ZENTO_SERVER_LOGBLK(serviceOf(ctx), status, logStatus);
        ctx.dataUnreadable = true;
    }
    ctx.stopRequested = true;
    return kNoWait;
}

// A message no longer than its head carries nothing to forward. It is taken
// out of the store file as if acknowledged so that the recovery moves on.
std::int32_t skipHeadOnlyMessage(RecoverContext& ctx, std::uint32_t length, StatusBlock& status,
                                 StatusBlock& logStatus) {
    std::int64_t position = ctx.header.forwardOffset;
    StatusBlock removeStatus;
    removeLastMsg(ctx, removeStatus);
    if (statusFailed(removeStatus)) {
        return endWithoutMessage(ctx, false, removeStatus, logStatus);
    }
    ctx.lastMsgAcked = true;
    ++ctx.stats.skippedRanges;
    ctx.stats.skippedBytes += kRecordPrefixSize + length;

    char line[1024];
    std::snprintf(line, sizeof line, "Skipped a stored message of %u bytes at location %" PRId64
                  ": too short to forward", length, static_cast<std::int64_t>(position));
    logText(ctx, line, logStatus);
    ZENTO_SERVER_LDBLK(kFacilityStore, kErrMessageTooShort, status);

    if (!ctx.moreMessages || ctx.stopRequested) {
        ctx.stopRequested = true;
        return kNoWait;
    }
    return kNormalWait;
}

}  // namespace

void addressToRequester(RecoverContext& ctx, MsgView msg) {
    AddressRecord requester = ZENTO_SERVER_REQSRC(msg);
    std::string_view node = ctx.nodeRedirect ? fixedText(ctx.redirectNodeName, sizeof ctx.redirectNodeName)
                                             : fixedText(requester.node, sizeof requester.node);
    // Cut to 31 characters so the record stays terminated.
    setFixedText(ctx.destinationAddress.node, sizeof ctx.destinationAddress.node, node);
    setFixedText(ctx.destinationAddress.service, sizeof ctx.destinationAddress.service, kForwardService);
}

namespace {

std::int32_t sendNext(RecoverContext& ctx, StatusBlock& status, StatusBlock& logStatus) {
    std::uint32_t length = readNextMessage(ctx, status);
    if (ctx.stopRequested) return kNoWait;
    ctx.lastMsgAcked = false;

    if (length == 0 || !ctx.currentMsg) {
        if (statusFailed(status)) ZENTO_SERVER_LDBLK(kFacilityStore, kErrCursorFailed, status);
        bool endOfData = ctx.lastReadOutcome == ReadOutcome::EndOfData ||
                         ctx.lastReadOutcome == ReadOutcome::BeyondLastOffset;
        return endWithoutMessage(ctx, endOfData, status, logStatus);
    }
    // A message delivered together with an error (its header could not be
    // written back after a skip) is still forwarded: the error only means a
    // later run scans the damaged range again.
    if (statusFailed(status)) {
        ZENTO_SERVER_LOGBLK(serviceOf(ctx), status, logStatus);
        ZENTO_SERVER_INITBLK(status);
    }
    if (length <= kMessageHeadSize) return skipHeadOnlyMessage(ctx, length, status, logStatus);

    addressToRequester(ctx, ctx.currentMsg.view());
    ReplyFields fields;
    if (parseForLog(ctx.currentMsg, fields, logStatus) && fields.deviceName != nullptr) {
        std::memcpy(ctx.deviceName, fields.deviceName, sizeof ctx.deviceName);
    }

    ZENTO_SERVER_SET_MSGDEST(ctx.currentMsg.span(), ctx.destinationAddress);
    ZENTO_SERVER_SET_MSGSRC(ctx.currentMsg.span(), ctx.selfAddress);
    // A number of our own, on the copy in memory only: the destination
    // acknowledges with it, and the main loop tells the acknowledgement of
    // this message from a late one of the message before. Resends keep it.
    ctx.outstandingTransNum = takeTransactionNumber(ctx);
    ZENTO_SERVER_SET_TRANSNUM(ctx.currentMsg.span(), ctx.outstandingTransNum);
    ZENTO_SERVER_SEND(ctx.sendTimeout, ctx.currentMsg.view(), status);
    if (!statusFailed(status)) {
        ctx.retryPending = false;
        setAckDeadline(ctx, status);
        return kNormalWait;
    }

    StatusBlock parseStatus;
    logListIdLine(ctx, "Recover Store File Process had error on send; listid ", listIdOf(ctx.currentMsg, parseStatus),
                  logStatus);
    ZENTO_SERVER_LOGBLK(serviceOf(ctx), status, logStatus);
    ctx.retryPending = true;
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

std::int32_t forwardNextMessage(RecoverContext& ctx, StatusBlock& status) {
    StatusBlock logStatus;
    ZENTO_SERVER_INITBLK(status);
    ZENTO_SERVER_INITBLK(logStatus);

    if (!ctx.moreMessages) return kNormalWait;
    if (!ctx.lastMsgAcked) {
        if (!ackTimerExpired(ctx.ackDeadline)) return kNormalWait;
        ctx.retryPending = true;
    }
    return ctx.retryPending ? resendCurrent(ctx, status, logStatus) : sendNext(ctx, status, logStatus);
}
