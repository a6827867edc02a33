#include "recover/recovery.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "forward/end_of_file_notice.h"
#include "forward/forwarding.h"
#include "msglib/msglib.h"
#include "msglib/same_address.h"
#include "msglib/task_kind.h"
#include "platform/stop_signal.h"
#include "recover/command_line.h"
#include "recover/operator_lines.h"
#include "recover/recover_context.h"
#include "recover/run_summary.h"
#include "recover/startup_reasons.h"
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
    RunEnd end() const { return end_; }
    const std::string& shutdownSource() const { return shutdownSource_; }

private:
    enum class Next { ForwardStep, NextPass };

    void logInto(StatusBlock& block, const char* format, va_list args) {
        char line[1024];
        std::vsnprintf(line, sizeof line, format, args);
        ZENTO_SERVER_LOGMSG(service(), line, block);
    }

    Next handleMessage(const Message& msg);
    void shutDown();
    void finishAfterLastMessage();
    bool stopSignalled();
    void noticeEmptyStoreFile();
    Next handleAck(const Message& msg);
    void forwardStep();

    RecoverContext& ctx_;
    StatusBlock status_;
    StatusBlock logStatus_;
    std::int32_t rxTimeout_ = kNormalWait;
    bool sleepAfterAcceptError_ = true;
    // Why the loop ended, for the summary; the cursor's end unless told.
    RunEnd end_ = RunEnd::EndOfData;
    std::string shutdownSource_;
};

MainLoop::Next MainLoop::handleAck(const Message& msg) {
    const ForwardState& forward = ctx_.forward;
    if (!sameAddress(ZENTO_SERVER_MSGSRC(msg.view()), forward.destinationAddress)) {
        log("Could not find reply in store file, ignoring Acknowledgement ");
        return Next::ForwardStep;
    }
    if (forward.lastMsgAcked) return Next::NextPass;  // nothing outstanding
    // Matching by source alone let a slow destination's acknowledgement of a
    // resend count for the message sent after it, which was then removed
    // before the destination had it. An acknowledgement that names another
    // transaction is now ignored; one that names none (0) still counts.
    const std::uint32_t acknowledged = ZENTO_SERVER_TRANSNUM(msg.view());
    if (acknowledged != 0 && acknowledged != forward.outstandingTransNum) {
        log("Ignoring an acknowledgement of transaction %u: the message awaiting acknowledgement is transaction %u",
            acknowledged, forward.outstandingTransNum);
        return Next::ForwardStep;
    }

    if (!acknowledgeMessage(ctx_.forward, ctx_.store, status_)) {
        print("Error in removeLastMsg\n");
        logBlock();
        return Next::ForwardStep;
    }

    if (!ctx_.store.moreMessages) finishAfterLastMessage();
    return Next::ForwardStep;
}

// The last stored message is out of the store file, acknowledged or taken
// out unsent.
void MainLoop::finishAfterLastMessage() {
    end_ = RunEnd::AllForwarded;
    print("All messages have been forwarded.\n");
    log("All messages from file %s have been forwarded\n%s process is exitting\n", ctx_.storeFileName.c_str(),
        ctx_.serviceName);
    noticeEmptyStoreFile();
    logBlockIfFailed();
    shutDown();
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
            end_ = RunEnd::Shutdown;
            shutdownSource_ = std::string(fixedText(source.service, sizeof source.service)) + " on node " +
                              std::string(fixedText(source.node, sizeof source.node));
            shutDown();
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

void MainLoop::shutDown() {
    ZENTO_SERVER_EXIT(status_);
    logBlockIfFailed();
    ctx_.stopRequested = true;
}

// A signal is taken as a SHUT request: the loop stops before its next step,
// with the outstanding message left in the store file.
bool MainLoop::stopSignalled() {
    if (ctx_.stopRequested) return true;
    if (!platform::stopSignalled()) return false;
    logWithLogStatus("\nReceived a stop signal: ending as on a shutdown request\n");
    end_ = RunEnd::StopSignal;
    shutDown();
    return true;
}

// The end-of-file notice tells the destination that the store file is
// empty: only once the header that says so is on the disk. A header that
// cannot be synced ends the run as a file fault, without the notice.
void MainLoop::noticeEmptyStoreFile() {
    if (recoveryFaulted(ctx_)) return;  // data that could not be read on is not an empty store file
    StatusBlock syncStatus;
    if (!syncStoreHeader(ctx_.store, syncStatus)) return;
    sendEndOfFileNotice(ctx_.forward, ctx_.store, status_);
}

void MainLoop::forwardStep() {
    if (recoveryStopping(ctx_) || stopSignalled()) return;
    rxTimeout_ = forwardNextMessage(ctx_.forward, ctx_.store, status_);
    if (recoveryStopping(ctx_)) {
        noticeEmptyStoreFile();
        return;
    }
    logBlockIfFailed();
    // The step took the last message out unsent.
    if (!ctx_.store.moreMessages && ctx_.forward.lastMsgAcked) finishAfterLastMessage();
}

void MainLoop::run() {
    while (!recoveryStopping(ctx_) && !stopSignalled()) {
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

// The run's end on standard error and in the log: what it did, and plainly
// what it skipped or did not find.
void tellSummary(const RecoverContext& ctx, const MainLoop& loop, std::optional<std::uint64_t> waitingAtStart) {
    const ForwardStats& sent = ctx.forward.stats;
    RunFacts facts;
    facts.end = loop.end();
    if (ctx.forward.dataUnreadable) facts.end = RunEnd::Unreadable;
    if (ctx.store.faulted) facts.end = RunEnd::HeaderFault;
    facts.storeFileName = ctx.storeFileName;
    facts.shutdownSource = loop.shutdownSource();
    facts.forwarded = sent.forwarded;
    facts.resends = sent.resends;
    facts.takenOutUnsent = sent.skippedMessages;
    facts.skippedRanges = ctx.skipLog->ranges() + sent.skippedMessages;
    facts.skippedBytes = ctx.skipLog->bytes() + sent.skippedBytes;
    facts.forwardOffset = ctx.store.header.forwardOffset;
    facts.messageOutstanding = !ctx.forward.lastMsgAcked && ctx.store.currentMsg;
    facts.fileSize = ctx.store.fileSize;
    facts.lastOffset = ctx.store.header.lastOffset;
    facts.truncatedOffset = ctx.skipLog->truncatedOffset();
    facts.truncatedBytes = ctx.skipLog->truncatedBytes();
    facts.waitingAtStart = waitingAtStart;
    tellOperator(loop.service(), summaryLine(facts));
    if (const std::string loss = lossLine(facts); !loss.empty()) tellOperator(loop.service(), loss);
}

ForwardSettings forwardSettingsOf(const RecoverContext& ctx) {
    ForwardSettings settings;
    settings.selfAddress = ctx.selfAddress;
    settings.sendTimeout = ctx.sendTimeout;
    settings.nodeRedirect = ctx.nodeRedirect;
    std::memcpy(settings.redirectNodeName, ctx.redirectNodeName, sizeof settings.redirectNodeName);
    return settings;
}

// The log's last line of every run, however it ended.
int closeRun(std::string_view logName, int exitCode) {
    const char* meaning = exitCode == kExitSuccess  ? "the run ended"
                          : exitCode == kExitBadStart ? "the recovery could not start"
                                                      : "the recovery stopped on a file fault";
    char line[256];
    std::snprintf(line, sizeof line, "zento_sf_recover ends with exit code %d: %s", exitCode, meaning);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(logName, line, logStatus);
    return exitCode;
}

int endBeforeStart(std::string_view logName, const std::string& reason, int exitCode) {
    tellOperator(logName, reason);
    return closeRun(logName, exitCode);
}

}  // namespace

int runRecovery(RecoverContext& ctx, int argc, const char* const* argv) {
    MainLoop loop(ctx);
    StatusBlock& status = loop.status();
    setTaskKind(kTaskRecover);

    CommandLineResult commandLine = parseCommandLine(ctx, argc, argv);
    if (!commandLine.ok && commandLine.exitCode == kExitSuccess) return kExitSuccess;  // --help, --version
    if (!commandLine.ok) return endBeforeStart(kProgramName, commandLine.reason, commandLine.exitCode);

    ZENTO_SERVER_INIT(1, loop.service(), ctx.selfAddress, status);
    if (statusFailed(status)) {
        printStatusEntries(status, EntryLayout::NewlineBefore);
        print("Critical error - Failed to initialize ZENT I/O, Exiting\n");
        // A name that cannot register may not be fit to head log lines either.
        const std::string_view logName = isPlainName(loop.service()) ? loop.service() : kProgramName;
        return endBeforeStart(logName, registrationFailure(loop.service(), status), kExitBadStart);
    }
    loop.acceptStep();
    configureForwarding(ctx.forward, forwardSettingsOf(ctx));

    char line[1024];
    std::snprintf(line, sizeof line, "Zen-TO Recover Process for DLGP service '%s' started.\n", ctx.serviceName);
    print(line);
    ZENTO_SERVER_LOGMSG(loop.service(), line, status);

    ctx.skipLog = std::make_unique<SkipLog>(std::string(loop.service()), ctx.storeFileName);
    if (!openStoreFile(ctx.store, ctx.storeFileName, StoreOpenOptions{ctx.dumpMode, ctx.skipLog.get()}, status)) {
        printStatusEntries(status, EntryLayout::NewlineAfter);
        print("Critical error -- Could not open store file.  Exiting\n");
        return endBeforeStart(loop.service(), storeOpenFailure(ctx.store, status), kExitBadStart);
    }

    const std::optional<std::uint64_t> waitingAtStart = messagesWaiting(ctx.store.header, ctx.store.headerType);
    loop.run();

    int exitCode = kExitSuccess;
    if (recoveryFaulted(ctx)) {
        exitCode = kExitUnreadable;
    } else {
        print("Messages have all been sent to destination.\n");
    }
    if (!MasterFileClose(ctx.store, status)) {
        printStatusEntries(status, EntryLayout::NewlineBefore);
        print("Error : Could not close store file.\n");
    }
    // A header that could not be synced to the disk is no success.
    if (recoveryFaulted(ctx)) exitCode = kExitUnreadable;
    tellSummary(ctx, loop, waitingAtStart);
    print("Ending program.\n");
    return closeRun(loop.service(), exitCode);
}
