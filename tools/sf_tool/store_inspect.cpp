#include "tools/sf_tool/store_inspect.h"

#include <algorithm>
#include <array>
#include <set>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "platform/file_ops.h"
#include "storefile/cursor.h"
#include "storefile/file_handle.h"
#include "storefile/store_open.h"
#include "tools/sf_tool/record_placement.h"

namespace {

constexpr std::int32_t kHeadCrcMismatch = 13531;

std::string number(std::int64_t value) { return std::to_string(value); }

// The code a primitive loaded itself comes after its causes.
std::int32_t ownCode(const StatusBlock& status) {
    const int n = statusEntryCount(status);
    return n > 0 ? status.error[n - 1] : -1;
}

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

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

StoreFileHeader convertBlock(std::int32_t type, std::span<const std::uint8_t> block) {
    StoreFileHeader header{};
    switch (type) {
        case 0: headerFromType0(block.first<64>(), header); break;
        case 1: headerFromType1(block.first<68>(), header); break;
        default: header = decodeType2(block.first<92>()); break;
    }
    return header;
}

// The header area as a recovery judges it. The bytes are the first 392 of the
// file, zero-padded when the file is shorter.
HeaderCheck checkHeader(std::span<const std::uint8_t, kHeaderAreaRead> area, std::int64_t fileSize) {
    HeaderCheck check;
    check.type = detectHeaderType(area);
    if (check.type < 0) return check;
    const std::uint32_t s = blockSizeOf(check.type);
    check.blockSize = s;
    check.complete = fileSize >= 2 * std::int64_t{s} + 8;
    const auto primary = area.subspan(0, s);
    const auto backup = area.subspan(s + 4, s);
    check.primaryComputed = storeCrc(primary);
    check.primaryStored = decodeU32(area.data() + s);
    check.backupComputed = storeCrc(backup);
    check.backupStored = decodeU32(area.data() + 2 * s + 4);
    check.primaryCrcGood = check.primaryComputed == check.primaryStored;
    check.backupCrcGood = check.backupComputed == check.backupStored;
    check.blocksEqual = std::equal(primary.begin(), primary.end(), backup.begin());
    check.usingBackup = !check.primaryCrcGood && check.backupCrcGood;
    check.header = convertBlock(check.type, check.usingBackup ? backup : primary);
    const bool bothBad = (!check.primaryCrcGood && !check.backupCrcGood) ||
                         (check.primaryCrcGood && check.backupCrcGood && !check.blocksEqual);
    check.usable = check.complete && !bothBad;
    return check;
}

// Walks the records as the message cursor reads and removes them, on a copy
// of the header, recording every step instead of writing anything back.
class Walk {
public:
    Walk(std::int32_t handle, std::int64_t fileSize, std::int32_t headerType, const StoreFileHeader& header,
         InspectReport& report)
        : handle_(handle), fileSize_(fileSize), headerType_(headerType), wrapPosition_(blockSizeOf(headerType)),
          dataStart_(2 * wrapPosition_ + 8), h_(header), report_(report) {}

    void run();

private:
    enum class Step { Again, Delivered, Ended };

    Step readNext();                      // one readNextMessage
    Step readAt(std::int64_t limit);
    Step skipBadHead(std::int64_t limit, const char* why, bool headCrcGood);
    Step skipBadBody(std::int64_t limit);
    bool remove(std::uint32_t length);    // one removeLastMsg; false when the walk ends

    Step end(WalkEnd how) {
        report_.end = how;
        return Step::Ended;
    }
    bool ring() const { return h_.maxSize != 0; }
    bool wrapExists() const { return h_.firstMsgOffset > h_.lastMsgOffset; }
    bool mayWrap() const { return ring() && wrapExists() && !wrapped_ && pos_ >= h_.firstMsgOffset; }
    std::int64_t searchLimit() const;
    // A read at the wrap position meets the header: not a record, and only
    // what lies behind the header can be damaged.
    bool atWrapPosition() const { return pos_ == wrapPosition_; }
    std::int64_t damageStart() const { return atWrapPosition() ? std::max(dataStart_, pos_) : pos_; }
    void wrap();
    void damaged(std::int64_t from, std::int64_t to, const std::string& why);
    void badHead(const char* why, bool headCrcGood);

    std::int32_t handle_;
    std::int64_t fileSize_;
    std::int32_t headerType_;
    std::int64_t wrapPosition_;
    std::int64_t dataStart_;
    StoreFileHeader h_;
    InspectReport& report_;

    std::int64_t pos_ = 0;
    bool wrapped_ = false;
    std::array<std::uint8_t, kMessageHeadSize> head_{};
    std::uint32_t length_ = 0;
};

void Walk::run() {
    if (drainedHeader(h_, headerType_)) {
        report_.end = WalkEnd::EndOfData;
        return;
    }
    std::set<std::int64_t> delivered;
    for (;;) {
        if (readNext() != Step::Delivered) return;
        if (!delivered.insert(pos_).second) {
            report_.end = WalkEnd::Loop;
            report_.problems.push_back("the record at offset " + number(pos_) +
                                       " would be delivered a second time: the header leads to no end");
            return;
        }
        WalkEvent event;
        event.kind = WalkEventKind::Record;
        event.offset = pos_;
        event.size = length_;
        event.transType = decodeI32(head_.data() + head::kTransTypeOffset);
        report_.events.push_back(event);
        report_.records += 1;
        report_.recordBytes += kRecordPrefixSize + std::uint64_t{length_};
        if (!remove(length_)) return;
    }
}

Walk::Step Walk::readNext() {
    pos_ = h_.forwardOffset;
    wrapped_ = false;
    for (;;) {
        std::int64_t limit = 0;
        const std::int64_t left = fileSize_ - pos_;
        if (!ring()) {
            if (pos_ > h_.lastOffset) return end(WalkEnd::BeyondLastOffset);
            if (left < kRecordHeadSize) return end(WalkEnd::EndOfData);
            limit = fileSize_ - 1;
        } else if (left >= kRecordHeadSize) {
            limit = searchLimit();
        } else if (mayWrap()) {
            wrap();
            limit = searchLimit();
        } else {
            return end(WalkEnd::EndOfData);
        }
        const Step step = readAt(limit);
        if (step != Step::Again) return step;
    }
}

Walk::Step Walk::readAt(std::int64_t limit) {
    StatusBlock status;
    const std::uint32_t bodyCheck = readRecordHead(handle_, pos_, head_, status);
    if (statusFailed(status)) {
        if (ownCode(status) != kHeadCrcMismatch) {
            report_.problems.push_back("the record head at offset " + number(pos_) + " cannot be read");
            return end(WalkEnd::Unreadable);
        }
        return skipBadHead(limit, "head CRC mismatch", false);
    }
    // Zero-filled space is where nothing was written yet.
    if (allZero(head_)) {
        if (!mayWrap()) return end(WalkEnd::EndOfData);
        wrap();
        return Step::Again;
    }
    length_ = decodeU32(head_.data() + head::kLengthOffset);
    if (length_ < kMessageHeadSize) return skipBadHead(limit, "length word below 292", true);
    if (fileSize_ - pos_ < std::int64_t{kRecordPrefixSize} + length_) {
        damaged(pos_, fileSize_, "the record runs past the end of the file");
        return end(WalkEnd::EndOfData);
    }
    if (bodyCheck != 0) return skipBadBody(limit);
    h_.forwardOffset = pos_;
    return Step::Delivered;
}

Walk::Step Walk::skipBadHead(std::int64_t limit, const char* why, bool headCrcGood) {
    if (!atWrapPosition()) badHead(why, headCrcGood);
    StatusBlock status;
    const std::int64_t found = scanForRecord(handle_, pos_ + 1, limit, status);
    if (found > 0 && !statusFailed(status)) {
        damaged(damageStart(), found, why);
        pos_ = found;
        h_.forwardOffset = found;
        return Step::Again;
    }
    damaged(damageStart(), limit + 1, why);
    if (mayWrap()) {
        wrap();
        return Step::Again;
    }
    return end(WalkEnd::EndOfData);
}

Walk::Step Walk::skipBadBody(std::int64_t limit) {
    badHead("body check not zero", true);
    StatusBlock status;
    const std::int64_t found = scanForRecord(handle_, pos_ + kRecordHeadSize, limit, status);
    if (found > 0 && !statusFailed(status)) {
        damaged(damageStart(), found, "body check not zero");
        pos_ = found;
        h_.forwardOffset = found;
        return Step::Again;
    }
    damaged(pos_, limit + 1, "body check not zero");
    return end(WalkEnd::EndOfData);
}

bool Walk::remove(std::uint32_t length) {
    if (h_.forwardOffset == h_.lastMsgOffset) {
        report_.end = WalkEnd::LastMessage;
        return false;
    }
    if (h_.forwardOffset < h_.lastOffset) {
        h_.forwardOffset += std::int64_t{kRecordPrefixSize} + length;
    } else if (h_.wrapped != 0) {
        h_.forwardOffset = wrapPosition_;
    } else {
        report_.end = WalkEnd::Stuck;
        report_.problems.push_back("the forward offset cannot move past the record at offset " +
                                   number(h_.forwardOffset));
        return false;
    }
    return true;
}

std::int64_t Walk::searchLimit() const {
    const std::int64_t fileLimit = fileSize_ - 1;
    const bool afterWrap = wrapped_ || pos_ < h_.firstMsgOffset;
    if (ring() && wrapExists() && afterWrap) return std::min(h_.firstMsgOffset - 1, fileLimit);
    return fileLimit;
}

void Walk::wrap() {
    WalkEvent event;
    event.kind = WalkEventKind::Wrap;
    event.offset = pos_;
    report_.events.push_back(event);
    wrapped_ = true;
    pos_ = wrapPosition_;
}

void Walk::damaged(std::int64_t from, std::int64_t to, const std::string& why) {
    if (to <= from) return;
    WalkEvent event;
    event.kind = WalkEventKind::Damaged;
    event.offset = from;
    event.size = to - from;
    event.note = why;
    report_.events.push_back(event);
    report_.damagedRanges += 1;
    report_.damagedBytes += static_cast<std::uint64_t>(to - from);
}

void Walk::badHead(const char* why, bool headCrcGood) {
    WalkEvent event;
    event.kind = WalkEventKind::BadHead;
    event.offset = pos_;
    event.size = decodeU32(head_.data() + head::kLengthOffset);
    event.transType = decodeI32(head_.data() + head::kTransTypeOffset);
    event.note = why;
    event.headCrcGood = headCrcGood;
    report_.events.push_back(event);
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
    Walk(file.handle(), report.fileSize, type, header, report).run();
    judgeWalk(report);
    return true;
}
