#include "recover/run_summary.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::string format(const char* pattern, auto... values) {
    char text[1024];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// The run reached the end of the stored data, rather than being stopped
// with messages left for a later run.
bool reachedTheEnd(RunEnd end) { return end == RunEnd::AllForwarded || end == RunEnd::EndOfData; }

std::string endText(const RunFacts& f) {
    const std::string kept = f.messageOutstanding
                                 ? format("; the message at offset %" PRId64
                                          " was not acknowledged and stays in the store file for the next run",
                                          f.forwardOffset)
                                 : std::string("; what was not forwarded stays in the store file for the next run");
    switch (f.end) {
        case RunEnd::AllForwarded: return "the store file holds no further message";
        case RunEnd::EndOfData: return "no further stored message";
        case RunEnd::Shutdown: return "stopped by a shutdown request from " + f.shutdownSource + kept;
        case RunEnd::StopSignal: return "stopped by a stop signal" + kept;
        case RunEnd::Unreadable:
            return format("stopped: the stored data at offset %" PRId64
                          " cannot be read; the remaining messages stay in the store file",
                          f.forwardOffset);
        case RunEnd::HeaderFault:
            return "stopped: the store file header could not be written or synced; the messages not recorded as "
                   "forwarded stay in the store file";
    }
    return {};
}

}  // namespace

std::optional<std::uint64_t> messagesWaiting(const StoreFileHeader& h, std::int32_t headerType) {
    if (!countsMessages(h) || h.forwardedCount > h.msgCount) return std::nullopt;
    if (headerType == 2 && type2HeaderDrained(h)) return 0;
    // The count of forwarded messages restarts at the oldest message.
    if (h.forwardOffset == h.firstMsgOffset) return h.msgCount;
    return h.msgCount - h.forwardedCount;
}

std::string summaryLine(const RunFacts& f) {
    return format("Recovery of %s ended: %" PRIu64 " messages forwarded, %" PRIu64 " resends, %" PRIu64
                  " damaged ranges skipped (%" PRIu64 " bytes), forward offset %" PRId64 "; ",
                  f.storeFileName.c_str(), f.forwarded, f.resends, f.skippedRanges, f.skippedBytes,
                  f.forwardOffset) +
           endText(f) + ".";
}

std::string lossLine(const RunFacts& f) {
    std::string lost;
    const auto add = [&](const std::string& part) { lost += (lost.empty() ? "" : "; ") + part; };
    if (f.skippedRanges > 0) {
        add(format("%" PRIu64 " damaged ranges (%" PRIu64 " bytes) were skipped and not forwarded", f.skippedRanges,
                   f.skippedBytes));
    }
    if (f.truncatedOffset >= 0) {
        add(format("the record at offset %" PRId64 " is cut off by the end of the file (%" PRId64
                   " of its bytes are there)",
                   f.truncatedOffset, f.truncatedBytes));
    }
    if (reachedTheEnd(f.end)) {
        if (f.lastOffset > f.fileSize) {
            add(format("the file ends at byte %" PRId64 ", %" PRId64
                       " bytes before the end of the data its header names (byte %" PRId64 ")",
                       f.fileSize, f.lastOffset - f.fileSize, f.lastOffset));
        }
        const std::uint64_t out = f.forwarded + f.takenOutUnsent;
        if (f.waitingAtStart && *f.waitingAtStart > out) {
            add(format("%" PRIu64 " of the %" PRIu64 " messages the header counted as waiting were not found",
                       *f.waitingAtStart - out, *f.waitingAtStart));
        }
    }
    if (lost.empty()) return {};
    return "Not everything stored was forwarded: " + lost + ". The exit code does not show this.";
}
