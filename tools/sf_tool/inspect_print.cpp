#include "tools/sf_tool/inspect_print.h"

#include <cinttypes>
#include <string>

#include "msglib/message_head.h"
#include "tools/sf_tool/record_placement.h"

namespace {

const char* crcVerdict(bool good) { return good ? "good" : "bad"; }

void printHeader(const InspectReport& report, std::FILE* out) {
    const HeaderCheck& check = report.check;
    std::fprintf(out, "file: %s, %" PRId64 " bytes\n", report.path.c_str(), report.fileSize);
    if (check.type < 0) {
        std::fprintf(out, "header type: unknown\n");
        return;
    }
    std::fprintf(out, "header type: %d (block size %u, header length %u)\n", static_cast<int>(check.type),
                 check.blockSize, 2 * check.blockSize + 8);
    std::fprintf(out, "primary block CRC: %s (stored %08X, computed %08X)\n", crcVerdict(check.primaryCrcGood),
                 check.primaryStored, check.primaryComputed);
    std::fprintf(out, "backup block CRC: %s (stored %08X, computed %08X)\n", crcVerdict(check.backupCrcGood),
                 check.backupStored, check.backupComputed);
    std::fprintf(out, "blocks: %s; header taken from the %s block\n", check.blocksEqual ? "identical" : "differ",
                 check.usingBackup ? "backup" : "primary");
    const StoreFileHeader& h = check.header;
    std::fprintf(out, "  magic           %08X\n", h.magic);
    std::fprintf(out, "  revision        %u\n", h.revision);
    std::fprintf(out, "  firstMsgOffset  %" PRId64 "\n", h.firstMsgOffset);
    std::fprintf(out, "  lastMsgOffset   %" PRId64 "\n", h.lastMsgOffset);
    std::fprintf(out, "  msgCount        %u\n", h.msgCount);
    std::fprintf(out, "  forwardedCount  %u\n", h.forwardedCount);
    std::fprintf(out, "  offset48        %" PRId64 "\n", h.offset48);
    std::fprintf(out, "  lastOffset      %" PRId64 "\n", h.lastOffset);
    std::fprintf(out, "  forwardOffset   %" PRId64 "\n", h.forwardOffset);
    std::fprintf(out, "  wrapped         %u\n", h.wrapped);
    std::fprintf(out, "  maxSize         %u (%s reading)\n", h.maxSize, h.maxSize != 0 ? "ring" : "linear");
    std::fprintf(out, "  carried         word08=%u word12=%u value24=%" PRId64 " value72=%" PRId64 " word88=%u\n",
                 h.word08, h.word12, h.value24, h.value72, h.word88);
}

void printEvent(const WalkEvent& event, std::FILE* out) {
    char name[32];
    switch (event.kind) {
        case WalkEventKind::Record:
            std::fprintf(out, "  offset %" PRId64 ": length %" PRId64 ", %s, head CRC good%s%s\n", event.offset,
                         event.size, transTypeName(event.transType, name), event.forwardNote.empty() ? "" : "; ",
                         event.forwardNote.c_str());
            break;
        case WalkEventKind::BadHead:
            std::fprintf(out, "  offset %" PRId64 ": length %" PRId64 ", %s, head CRC %s (%s)\n", event.offset,
                         event.size, transTypeName(event.transType, name),
                         event.headCrcGood ? "good" : "bad", event.note.c_str());
            break;
        case WalkEventKind::Damaged:
            std::fprintf(out, "  damaged: offset %" PRId64 ", %" PRId64 " bytes (%s)\n", event.offset, event.size,
                         event.note.c_str());
            break;
        case WalkEventKind::Wrap:
            std::fprintf(out, "  wrap at offset %" PRId64 ": reading goes on at the start of the data area\n",
                         event.offset);
            break;
    }
}

}  // namespace

std::string recoveryOutcome(const InspectReport& report) {
    std::string forwards = "forwards " + std::to_string(report.forwarded()) + " message(s)";
    if (report.takenOutUnsent > 0) forwards += " (" + std::to_string(report.takenOutUnsent) + " taken out unsent)";
    switch (report.end) {
        case WalkEnd::LastMessage:
        case WalkEnd::EndOfData:
        case WalkEnd::BeyondLastOffset: return forwards + ", then sends the end-of-file notice";
        case WalkEnd::Unreadable: return forwards + ", then stops: the data behind cannot be read";
        case WalkEnd::Stuck: return forwards + ", then stops: the forward offset can move no further";
        case WalkEnd::Loop: return forwards + ", then would send one again: the header leads to no end";
    }
    return forwards;
}

namespace {

void printSummary(const InspectReport& report, std::FILE* out) {
    std::fprintf(out, "records: %" PRIu64 ", %" PRIu64 " bytes", report.records, report.recordBytes);
    if (report.unparsable > 0 || report.takenOutUnsent > 0) {
        std::fprintf(out, " (%" PRIu64 " do not parse, %" PRIu64 " cannot be forwarded)", report.unparsable,
                     report.takenOutUnsent);
    }
    std::fprintf(out, "\n");
    std::fprintf(out, "damaged: %" PRIu64 " range(s), %" PRIu64 " bytes\n", report.damagedRanges,
                 report.damagedBytes);
    if (!report.startupRefusal.empty()) {
        std::string line = "recovery: refuses the file at start-up: " + report.startupRefusal;
        if (report.walked) line += "; with DUMP it " + recoveryOutcome(report);
        std::fprintf(out, "%s\n", line.c_str());
    } else {
        std::fprintf(out, "recovery: %s\n", recoveryOutcome(report).c_str());
    }
    if (report.sound()) {
        std::fprintf(out, "verdict: sound\n");
        return;
    }
    std::string reasons;
    for (const std::string& problem : report.problems) reasons += (reasons.empty() ? "" : "; ") + problem;
    std::fprintf(out, "verdict: damaged: %s\n", reasons.c_str());
}

}  // namespace

const char* transTypeName(std::int32_t transType, char (&buffer)[32]) {
    if (transType == kTransGet) return "GET reply";
    if (transType == kTransUnsolicited) return "unsolicited reply";
    std::snprintf(buffer, sizeof buffer, "transaction type %d", static_cast<int>(transType));
    return buffer;
}

void printInspectReport(const InspectReport& report, bool summaryOnly, std::FILE* out) {
    printHeader(report, out);
    if (report.walked && !summaryOnly) {
        std::fprintf(out, "records from offset %" PRId64 "%s:\n",
                     report.walkedWithDefaultHeader ? std::int64_t{kType2HeaderLength}
                                                    : report.check.header.forwardOffset,
                     report.walkedWithDefaultHeader ? " (as DUMP reads the file)" : "");
        for (const WalkEvent& event : report.events) printEvent(event, out);
    }
    for (const std::string& note : report.notes) std::fprintf(out, "note: %s\n", note.c_str());
    printSummary(report, out);
    std::fflush(out);
}
