#include "tools/sf_tool/store_inspect.h"

#include <algorithm>
#include <array>
#include <set>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "msglib/transport_frame.h"
#include "platform/file_ops.h"
#include "storefile/cursor.h"
#include "storefile/file_handle.h"
#include "storefile/store_file.h"
#include "storefile/store_open.h"
#include "tools/sf_tool/record_placement.h"
#include "tools/sf_tool/store_writer.h"

namespace {

std::string number(std::int64_t value) { return std::to_string(value); }

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path) : handle_(platform::rtOpen(path.c_str(), platform::kRtBinary, 0)) {}
    ~ReadOnlyFile() {
        if (handle_ >= 0) platform::rtClose(handle_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    std::int32_t handle() const { return handle_; }

private:
    std::int32_t handle_;
};

// As the cursor judges it; only a type-2 header names its last message.
bool drainedHeader(const StoreFileHeader& h, std::int32_t headerType) {
    return headerType == 2 && type2HeaderDrained(h);
}

// The header's generation as openStoreFile recognises it (detectHeaderType),
// without the console lines of a recovery's start-up: an inspection's output
// is its own, and may be a JSON document.
std::int32_t headerTypeOf(std::span<const std::uint8_t, kHeaderAreaRead> area) {
    constexpr std::size_t kRevisionOffset = 4;
    const std::uint32_t revision = decodeU32(area.data() + kRevisionOffset);
    if (revision == 1 || revision == 2) return static_cast<std::int32_t>(revision);
    // The backup block of each generation starts with the magic; the newest
    // generation that matches wins.
    std::int32_t type = -1;
    for (std::int32_t candidate = 0; candidate <= 2; ++candidate) {
        if (decodeU32(area.data() + blockSizeOf(candidate) + 4) == kStoreMagic) type = candidate;
    }
    return type;
}

// The header area as a recovery judges it. The bytes are the first 392 of the
// file, zero-padded when the file is shorter.
HeaderCheck checkHeader(std::span<const std::uint8_t, kHeaderAreaRead> area, std::int64_t fileSize) {
    HeaderCheck check;
    check.type = headerTypeOf(area);
    if (check.type < 0) return check;
    const std::uint32_t s = blockSizeOf(check.type);
    check.blockSize = s;
    check.complete = fileSize >= 2 * std::int64_t{s} + 8;
    const HeaderBlockCheck blocks = checkBlockPair(area, s);
    check.primaryComputed = blocks.primaryCrc;
    check.primaryStored = blocks.primaryStored;
    check.backupComputed = blocks.backupCrc;
    check.backupStored = blocks.backupStored;
    check.primaryCrcGood = blocks.primaryOk;
    check.backupCrcGood = blocks.backupOk;
    check.blocksEqual = blocks.blocksEqual;
    check.usingBackup = !check.primaryCrcGood && check.backupCrcGood;
    check.header = headerFromBlock(check.type, check.usingBackup ? area.subspan(s + 4, s) : area.subspan(0, s));
    const bool bothBad = (!check.primaryCrcGood && !check.backupCrcGood) ||
                         (check.primaryCrcGood && check.backupCrcGood && !check.blocksEqual);
    check.usable = check.complete && !bothBad;
    return check;
}

// Lists what the cursor does not deliver, as events of the report.
class InspectReporter final : public CursorReporter {
public:
    explicit InspectReporter(InspectReport& report) : report_(report) {}

    void skipped(std::int64_t offset, std::int64_t length, const char* reason) override {
        damaged(offset, length, reason);
    }
    void rejectedRecord(std::int64_t offset, std::span<const std::uint8_t, 292> head, bool headCrcGood,
                        const char* reason) override {
        WalkEvent event;
        event.kind = WalkEventKind::BadHead;
        event.offset = offset;
        event.size = decodeU32(head.data() + head::kLengthOffset);
        event.transType = decodeI32(head.data() + head::kTransTypeOffset);
        event.note = reason;
        event.headCrcGood = headCrcGood;
        report_.events.push_back(event);
    }
    void truncatedRecord(std::int64_t offset, std::int64_t bytesPresent) override {
        damaged(offset, bytesPresent, "the record runs past the end of the file");
    }
    void wrapped(std::int64_t fromOffset) override {
        WalkEvent event;
        event.kind = WalkEventKind::Wrap;
        event.offset = fromOffset;
        report_.events.push_back(event);
    }

private:
    void damaged(std::int64_t offset, std::int64_t length, const char* why) {
        WalkEvent event;
        event.kind = WalkEventKind::Damaged;
        event.offset = offset;
        event.size = length;
        event.note = why;
        report_.events.push_back(event);
        report_.damagedRanges += 1;
        report_.damagedBytes += static_cast<std::uint64_t>(length);
    }

    InspectReport& report_;
};

// Why the cursor delivered nothing, as the recovery goes on from there.
void endWithoutRecord(const StoreFile& store, InspectReport& report) {
    switch (store.lastReadOutcome) {
        case ReadOutcome::BeyondLastOffset: report.end = WalkEnd::BeyondLastOffset; return;
        case ReadOutcome::TooShort:
            report.end = WalkEnd::Unreadable;
            report.problems.push_back("the record at offset " + number(store.readPosition) +
                                      " cannot hold a message head, and no record follows it");
            return;
        case ReadOutcome::ReadError:
            report.end = WalkEnd::Unreadable;
            report.problems.push_back("the data at offset " + number(store.readPosition) + " cannot be read");
            return;
        default: report.end = WalkEnd::EndOfData; return;
    }
}

// What the recovery's forwarding makes of a delivered message: one no longer
// than its head, or one the library refuses, is taken out unsent; the body of
// any other is parsed for its log lines, and one that does not parse is sent
// as stored.
void judgeForwarding(MsgView message, WalkEvent& event) {
    if (message.size() <= kMessageHeadSize) {
        event.takenOutUnsent = true;
        event.forwardNote = "no longer than a message head: a recovery takes it out unsent";
        return;
    }
    if (!msglib::isSendableMessage(message)) {
        event.takenOutUnsent = true;
        event.forwardNote = "the messaging library refuses to send it: a recovery takes it out unsent";
        return;
    }
    ReplyFields fields;
    StatusBlock status;
    switch (ZENTO_SERVER_TRANSTYPE(message)) {
        case kTransGet: ZENTO_SERVER_PARSE_GETREP(message, fields, status); break;
        case kTransUnsolicited: ZENTO_SERVER_PARSE_UNSREP(message, fields, status); break;
        default:
            event.parses = false;
            event.forwardNote = "neither a GET reply nor an unsolicited reply: sent as stored";
            return;
    }
    if (statusFailed(status)) {
        event.parses = false;
        event.forwardNote = "the body does not parse (" + describeStatus(status) + "): sent as stored";
    }
}

// Reads and removes the records as a recovery does, with the message cursor
// on the header in memory (nothing is written), listing every step.
void walk(std::int32_t handle, std::int64_t fileSize, std::int32_t headerType, const StoreFileHeader& header,
          InspectReport& report) {
    InspectReporter reporter(report);
    StoreFile store;
    inspectWithCursor(store, handle, fileSize, headerType, header, &reporter);
    std::set<std::int64_t> delivered;
    for (;;) {
        StatusBlock status;
        const std::uint32_t length = readNextMessage(store, status);
        if (length == 0 || !store.currentMsg) {
            endWithoutRecord(store, report);
            return;
        }
        const std::int64_t offset = store.header.forwardOffset;
        if (!delivered.insert(offset).second) {
            report.end = WalkEnd::Loop;
            report.problems.push_back("the record at offset " + number(offset) +
                                      " would be delivered a second time: the header leads to no end");
            return;
        }
        WalkEvent event;
        event.kind = WalkEventKind::Record;
        event.offset = offset;
        event.size = length;
        event.transType = ZENTO_SERVER_TRANSTYPE(store.currentMsg.view());
        judgeForwarding(store.currentMsg.view(), event);
        report.events.push_back(event);
        report.records += 1;
        report.unparsable += event.parses ? 0 : 1;
        report.takenOutUnsent += event.takenOutUnsent ? 1 : 0;
        report.recordBytes += kRecordPrefixSize + std::uint64_t{length};

        removeLastMsg(store, status);
        if (!store.moreMessages) {
            report.end = WalkEnd::LastMessage;
            return;
        }
        if (store.stopRequested) {
            report.end = WalkEnd::Stuck;
            report.problems.push_back("the forward offset cannot move past the record at offset " + number(offset));
            return;
        }
    }
}

// Why a recovery refuses the file at start-up, or empty when it accepts it.
std::string startupRefusal(const HeaderCheck& check, std::int64_t fileSize) {
    if (fileSize < kHeaderAreaRead) {
        return "the file is shorter than the " + number(kHeaderAreaRead) + " bytes of header area a recovery reads";
    }
    if (check.type < 0) return "the header is of no known type";
    if (!check.usable) return "both header blocks are bad";
    const std::int64_t forward = check.header.forwardOffset;
    if (forward >= fileSize) return "the forward offset lies at or beyond the end of the file";
    if (forward < 0) return "the forward offset is negative";
    return {};
}

void judgeHeader(InspectReport& report) {
    const HeaderCheck& check = report.check;
    auto& problems = report.problems;
    if (check.type < 0) {
        problems.push_back("the header is of no known type");
        return;
    }
    if (!check.complete) problems.push_back("the file ends inside its header");
    if (!check.primaryCrcGood) problems.push_back("the primary header block fails its CRC");
    if (!check.backupCrcGood) problems.push_back("the backup header block fails its CRC");
    if (check.primaryCrcGood && check.backupCrcGood && !check.blocksEqual) {
        problems.push_back("the two header blocks differ");
    }
    const StoreFileHeader& h = check.header;
    const std::int64_t headerLength = 2 * std::int64_t{check.blockSize} + 8;
    const bool wrapPosition = h.forwardOffset == check.blockSize && h.wrapped != 0 && h.maxSize != 0;
    // A linear file with nothing stored ends where its forward offset stands:
    // empty, not damaged, though a recovery refuses it.
    const bool emptyAtEnd = h.forwardOffset == report.fileSize && !hasPendingRecords(h);
    if (emptyAtEnd) return;
    if (h.forwardOffset >= report.fileSize || h.forwardOffset < 0) {
        problems.push_back("forward offset " + number(h.forwardOffset) + " lies outside the file");
    } else if (h.forwardOffset < headerLength && !wrapPosition) {
        problems.push_back("forward offset " + number(h.forwardOffset) + " lies inside the header area");
    }
}

void judgeWalk(InspectReport& report) {
    if (!report.walked) return;
    if (report.damagedRanges > 0) {
        report.problems.push_back(number(static_cast<std::int64_t>(report.damagedRanges)) + " damaged range(s), " +
                                  number(static_cast<std::int64_t>(report.damagedBytes)) + " bytes");
    }
    if (report.takenOutUnsent > 0) {
        report.problems.push_back(number(static_cast<std::int64_t>(report.takenOutUnsent)) +
                                  " record(s) a recovery cannot forward");
    }
    if (report.unparsable > 0) {
        report.problems.push_back(number(static_cast<std::int64_t>(report.unparsable)) +
                                  " record(s) whose body does not parse");
    }
    if (report.walkedWithDefaultHeader) return;
    const StoreFileHeader& h = report.check.header;
    // Only a type-2 header names its last record.
    if (report.check.type != 2) return;
    if (hasPendingRecords(h) && report.end != WalkEnd::LastMessage && report.end != WalkEnd::Loop &&
        report.end != WalkEnd::Stuck) {
        report.problems.push_back("the data ends before the last record the header names, at offset " +
                                  number(h.lastMsgOffset));
    }
    if (drainedHeader(h, report.check.type)) {
        report.notes.push_back("the header counts every record forwarded: a recovery forwards nothing");
    } else if (report.damagedRanges == 0 && report.end == WalkEnd::LastMessage &&
               report.records != pendingRecordCount(h)) {
        report.notes.push_back("the header counts " + number(pendingRecordCount(h)) +
                               " record(s) awaiting forwarding");
    }
}

}  // namespace

std::vector<std::int64_t> deliveredOffsets(const InspectReport& report) {
    std::vector<std::int64_t> offsets;
    for (const WalkEvent& event : report.events) {
        if (event.kind == WalkEventKind::Record) offsets.push_back(event.offset);
    }
    return offsets;
}

bool inspectStoreFile(const std::string& path, InspectReport& report, std::string& error) {
    report = InspectReport{};
    report.path = path;
    ReadOnlyFile file(path);
    if (file.handle() < 0) {
        error = "cannot open " + path + " for reading";
        return false;
    }
    StatusBlock status;
    report.fileSize = storeFileSize(file.handle(), status);
    if (report.fileSize < 0 || statusFailed(status)) {
        error = "cannot find the length of " + path;
        return false;
    }
    std::array<std::uint8_t, kHeaderAreaRead> area{};
    const std::int64_t wanted = std::min<std::int64_t>(report.fileSize, kHeaderAreaRead);
    if (seekStoreFile(file.handle(), 0, 0, status) < 0 ||
        readExact(file.handle(), area.data(), wanted, status) != wanted) {
        error = "cannot read the header area of " + path;
        return false;
    }

    report.check = checkHeader(area, report.fileSize);
    judgeHeader(report);
    report.startupRefusal = startupRefusal(report.check, report.fileSize);
    if (report.fileSize < kHeaderAreaRead) return true;  // nothing a recovery would read

    report.walked = true;
    report.walkedWithDefaultHeader = !report.startupRefusal.empty();
    const std::int32_t type = report.walkedWithDefaultHeader ? 2 : report.check.type;
    const StoreFileHeader header =
        report.walkedWithDefaultHeader ? defaultHeader(report.fileSize) : report.check.header;
    walk(file.handle(), report.fileSize, type, header, report);
    judgeWalk(report);
    return true;
}
