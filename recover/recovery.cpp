#include "recover/recovery.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "forward/end_of_file_notice.h"
#include "forward/forwarding.h"
#include "msglib/msglib.h"
#include "recover/command_line.h"
#include "recover/recover_context.h"
#include "recover/same_address.h"
#include "storefile/cursor.h"
#include "storefile/store_open.h"

namespace {

// The status entries in reading order, each either "\n" + entry (the last one
// then runs on into the next text) or entry + "\n".
enum class EntryLayout { NewlineBefore, NewlineAfter };

void printStatusEntries(const StatusBlock& status, EntryLayout layout) {
    int entries = statusEntryCount(status);
    for (int i = 0; i < entries; ++i) {
        long facility = status.facility[i];
        long error = status.error[i];
        if (layout == EntryLayout::NewlineBefore) {
            std::printf("\nfacility=%ld  error=%ld", facility, error);
        } else {
            std::printf("facility=%ld  error=%ld\n", facility, error);
        }
    }
}

void print(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The loop's own state beside the context: its status blocks and the pause
// after a failed accept, which stops once an accept has succeeded.
class MainLoop {
public:
    explicit MainLoop(RecoverContext& ctx) : ctx_(ctx) {
        ZENTO_SERVER_INITBLK(status_);
        ZENTO_SERVER_INITBLK(logStatus_);
    }

    StatusBlock& status() { return status_; }
    std::string_view service() const { return fixedText(ctx_.serviceName, sizeof ctx_.serviceName); }

    void log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        logInto(status_, format, args);
        va_end(args);
    }
    void logWithLogStatus(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list args;
        va_start(args, format);
        logInto(logStatus_, format, args);
        va_end(args);
    }
    void logBlock() { ZENTO_SERVER_LOGBLK(service(), status_, logStatus_); }
    void logBlockIfFailed() {
        if (statusFailed(status_)) logBlock();
    }

    void acceptStep() {
        ZENTO_SERVER_ACCEPT(status_);
        if (statusFailed(status_)) {
            logBlock();
            if (sleepAfterAcceptError_) ZENTO_SERVER_SLEEP(1);
        } else {
            sleepAfterAcceptError_ = false;
        }
    }

    void run();

private:
    enum class Next { ForwardStep, NextPass };

    void logInto(StatusBlock& block, const char* format, va_list args) {
        char line[1024];
        std::vsnprintf(line, sizeof line, format, args);
        ZENTO_SERVER_LOGMSG(service(), line, block);
    }

    Next handleMessage(const Message& msg);
    Next handleAck(const Message& msg);
    void forwardStep();

    RecoverContext& ctx_;
    StatusBlock status_;
    StatusBlock logStatus_;
    std::int32_t rxTimeout_ = kNormalWait;
    bool sleepAfterAcceptError_ = true;
};

MainLoop::Next MainLoop::handleAck(const Message& msg) {
    if (!sameAddress(ZENTO_SERVER_MSGSRC(msg.view()), ctx_.destinationAddress)) {
        log("Could not find reply in store file, ignoring Acknowledgement ");
        return Next::ForwardStep;
    }
    if (ctx_.lastMsgAcked) return Next::NextPass;  // nothing outstanding
    // Matching by source alone let a slow destination's acknowledgement of a
    // resend count for the message sent after it, which was then removed
    // before the destination had it. An acknowledgement that names another
    // transaction is now ignored; one that names none (0) still counts.
    const std::uint32_t acknowledged = ZENTO_SERVER_TRANSNUM(msg.view());
    if (acknowledged != 0 && acknowledged != ctx_.outstandingTransNum) {
        log("Ignoring an acknowledgement of transaction %u: the message awaiting acknowledgement is transaction %u",
            acknowledged, ctx_.outstandingTransNum);
        return Next::ForwardStep;
    }

    removeLastMsg(ctx_, status_);
    if (statusFailed(status_)) {
        print("Error in removeLastMsg\n");
        logBlock();
        return Next::ForwardStep;
    }
    ++ctx_.stats.forwarded;

    if (!ctx_.moreMessages) {
        print("All messages have been forwarded.\n");
        log("All messages from file %s have been forwarded\n%s process is exitting\n", ctx_.storeFileName.c_str(),
            ctx_.serviceName);
        sendEndOfFileNotice(ctx_, status_);
        logBlockIfFailed();
        ZENTO_SERVER_EXIT(status_);
        logBlockIfFailed();
        ctx_.stopRequested = true;
    }
    ctx_.lastMsgAcked = true;
    ctx_.retryLogged = false;
    ctx_.lastRetryError = 0;
    return Next::ForwardStep;
}

MainLoop::Next MainLoop::handleMessage(const Message& msg) {
    std::int32_t msgType = ZENTO_SERVER_MSGTYPE(msg.view());
    if (msgType != kMsgNotification) {
        log("Unknown message type: %d", msgType);
        return Next::ForwardStep;
    }
    std::int32_t transType = ZENTO_SERVER_TRANSTYPE(msg.view());
    switch (transType) {
        case kTransAck:
            return handleAck(msg);
        case kTransShut: {
            AddressRecord source = ZENTO_SERVER_REQSRC(msg.view());
            logWithLogStatus("\nReceived Shutdown message from %.32s on node %.32s\n", source.service, source.node);
            ZENTO_SERVER_EXIT(status_);
            logBlockIfFailed();
            ctx_.stopRequested = true;
            return Next::ForwardStep;
        }
        case kTransDisconnect: {
            AddressRecord source = ZENTO_SERVER_REQSRC(msg.view());
            logWithLogStatus("\nReceived disconnect message from %.32s on node %.32s\n", source.service,
                             source.node);
            return Next::ForwardStep;
        }
        default:
            log("Unknown transaction type: %d", transType);
            return Next::ForwardStep;
    }
}

void MainLoop::forwardStep() {
    if (ctx_.stopRequested) return;
    rxTimeout_ = forwardNextMessage(ctx_, status_);
    if (ctx_.stopRequested) {
        // Data that could not be read on is not an empty store file.
        if (!ctx_.dataUnreadable) sendEndOfFileNotice(ctx_, status_);
    } else {
        logBlockIfFailed();
    }
}

void MainLoop::run() {
    while (!ctx_.stopRequested) {
        acceptStep();
        Message msg;
        std::int32_t n = ZENTO_SERVER_RECEIVE(rxTimeout_, msg, status_);
        if (statusFailed(status_)) {
            logBlock();
            continue;
        }
        if (n > 0 && handleMessage(msg) == Next::NextPass) continue;
        forwardStep();
    }
}

void logSummary(RecoverContext& ctx, MainLoop& loop) {
    loop.log("Recovery of %s ended: %" PRIu64 " messages forwarded, %" PRIu64 " resends, %" PRIu64
             " damaged ranges skipped (%" PRIu64 " bytes), forward offset %" PRId64,
             ctx.storeFileName.c_str(), ctx.stats.forwarded, ctx.stats.resends, ctx.stats.skippedRanges,
             ctx.stats.skippedBytes, static_cast<std::int64_t>(ctx.header.forwardOffset));
}

}  // namespace

int runRecovery(RecoverContext& ctx, int argc, const char* const* argv) {
    MainLoop loop(ctx);
    StatusBlock& status = loop.status();
    ctx.taskKind = 4;

    CommandLineResult commandLine = parseCommandLine(ctx, argc, argv);
    if (!commandLine.ok) return commandLine.exitCode;

    ZENTO_SERVER_INIT(1, loop.service(), ctx.selfAddress, status);
    if (statusFailed(status)) {
        printStatusEntries(status, EntryLayout::NewlineBefore);
        print("Critical error - Failed to initialize ZENT I/O, Exiting\n");
        return kExitBadStart;
    }
    loop.acceptStep();

    char line[1024];
    std::snprintf(line, sizeof line, "Zen-TO Recover Process for DLGP service '%s' started.\n", ctx.serviceName);
    print(line);
    ZENTO_SERVER_LOGMSG(loop.service(), line, status);

    if (!openStoreFile(ctx, status)) {
        printStatusEntries(status, EntryLayout::NewlineAfter);
        print("Critical error -- Could not open store file.  Exiting\n");
        return kExitBadStart;
    }

    loop.run();

    int exitCode = kExitSuccess;
    if (ctx.dataUnreadable) {
        exitCode = kExitUnreadable;
    } else {
        print("Messages have all been sent to destination.\n");
    }
    if (!MasterFileClose(ctx, status)) {
        printStatusEntries(status, EntryLayout::NewlineBefore);
        print("Error : Could not close store file.\n");
    }
    // A header that could not be synced to the disk is no success.
    if (ctx.dataUnreadable) exitCode = kExitUnreadable;
    logSummary(ctx, loop);
    print("Ending program.\n");
    return exitCode;
}
