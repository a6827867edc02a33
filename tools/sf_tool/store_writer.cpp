#include "tools/sf_tool/store_writer.h"

#include <algorithm>
#include <array>
#include <vector>

#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "snf/store_allocation.h"
#include "storefile/file_handle.h"

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr std::uint32_t kMaxRingMiB = 1000000;  // the largest store file size the system allocates

std::string failure(const std::string& what, const StatusBlock& status) {
    return what + " (" + describeStatus(status) + ")";
}

bool fill(std::int32_t handle, std::int64_t from, std::int64_t to, StatusBlock& status) {
    if (from >= to) return true;
    std::vector<std::uint8_t> filler(static_cast<std::size_t>(std::min<std::int64_t>(to - from, 65536)), kRingFiller);
    if (seekStoreFile(handle, from, 0, status) < 0) return false;
    for (std::int64_t at = from; at < to;) {
        const std::int64_t n = std::min<std::int64_t>(to - at, static_cast<std::int64_t>(filler.size()));
        if (writeExact(handle, filler.data(), n, status) != n) return false;
        at += n;
    }
    return true;
}

// Just behind the newest record, read from the record itself so that the
// wrapped layout (where lastOffset names the end of the older part) needs no
// special case.
bool findWritePosition(StoreWriter& writer, std::string& error) {
    const StoreFileHeader& header = writer.header;
    if (header.msgCount == 0) {
        writer.extent.writePosition = kType2HeaderLength;
        return true;
    }
    StatusBlock status;
    std::array<std::uint8_t, kMessageHeadSize> head{};
    readRecordHead(writer.handle, header.lastMsgOffset, head, status);
    const std::uint32_t length = decodeU32(head.data() + 4);
    if (statusFailed(status) || length < kMessageHeadSize) {
        error = "the newest record, at offset " + std::to_string(header.lastMsgOffset) + ", is unreadable";
        if (statusFailed(status)) error += " (" + describeStatus(status) + ")";
        return false;
    }
    writer.extent.writePosition = header.lastMsgOffset + kRecordPrefixSize + length;
    if (writer.extent.writePosition > writer.extent.fileSize) {
        error = "the file ends inside its newest record, at offset " + std::to_string(header.lastMsgOffset);
        return false;
    }
    return true;
}

}  // namespace

std::string describeStatus(const StatusBlock& status) {
    std::string text;
    const int count = statusEntryCount(status);
    for (int i = 0; i < count; ++i) {
        if (!text.empty()) text += ", ";
        text += "facility=" + std::to_string(status.facility[i]) + " error=" + std::to_string(status.error[i]);
    }
    return text.empty() ? "no status" : text;
}

bool createStoreFile(const std::string& path, std::uint32_t ringMiB, bool overwrite, std::string& error) {
    if (ringMiB > kMaxRingMiB) {
        error = "a ring file holds at most " + std::to_string(kMaxRingMiB) + " MiB";
        return false;
    }
    StatusBlock status;
    const int flags = kOpenReadWrite | kOpenCreate | (overwrite ? kOpenTruncate : 0);
    const std::int32_t handle = zento_s_file_open(path.c_str(), flags, status);
    if (handle < 0) {
        error = failure("cannot create " + path, status);
        return false;
    }
    bool ok = true;
    const std::int64_t existing = storeFileSize(handle, status);
    if (existing != 0) {
        ok = false;
        error = existing > 0 ? path + " already exists; remove it or pass --force"
                             : failure("cannot find the length of " + path, status);
    }
    if (ok) {
        writeNewType2Header(handle, emptyStoreHeader(ringMiB), status);
        if (statusFailed(status)) {
            ok = false;
            error = failure("cannot write the header of " + path, status);
        }
    }
    // The ring's space is taken as the system's allocation takes it; the gap
    // reads as zero bytes.
    if (ok && ringMiB > 0 && !takeStoreFileSpace(handle, static_cast<std::int64_t>(ringMiB) * kMiB, "zento_sf_tool")) {
        ok = false;
        error = "cannot give " + path + " its full length (Windows error " + std::to_string(zento_GetLastError()) + ")";
    }
    StatusBlock closeStatus;
    closeStoreFileHandle(handle, closeStatus);
    if (ok && statusFailed(closeStatus)) {
        ok = false;
        error = failure("cannot close " + path, closeStatus);
    }
    return ok;
}

bool openStoreWriter(StoreWriter& writer, const std::string& path, std::string& error) {
    StatusBlock status;
    writer = StoreWriter{};
    writer.path = path;
    writer.handle = zento_s_file_open(path.c_str(), kOpenReadWrite, status);
    if (writer.handle < 0) {
        error = failure("cannot open " + path, status);
        return false;
    }
    writer.extent.fileSize = storeFileSize(writer.handle, status);
    if (writer.extent.fileSize < 0) {
        error = failure("cannot find the length of " + path, status);
    } else {
        writer.header = readType2Header(writer.handle, status);
        if (statusFailed(status)) {
            error = failure(path + " has no sound type-2 header", status);
        } else if (writer.header.magic != kStoreMagic || writer.header.revision != 2) {
            error = path + " has no type-2 header (revision " + std::to_string(writer.header.revision) + ")";
        } else if (findWritePosition(writer, error)) {
            return true;
        }
    }
    closeStoreWriter(writer);
    return false;
}

bool appendStoredMessage(StoreWriter& writer, MsgView message, std::string& error) {
    if (message.size() < kMessageHeadSize) {
        error = "a stored message needs at least " + std::to_string(kMessageHeadSize) + " bytes";
        return false;
    }
    const auto recordLength = static_cast<std::uint32_t>(message.size() + kRecordPrefixSize);
    const Placement placement = placeRecord(writer.header, writer.extent, recordLength);
    if (placement.result == PlacementResult::TooLarge) {
        error = "a record of " + std::to_string(recordLength) + " bytes does not fit in " + writer.path;
        return false;
    }
    if (placement.result == PlacementResult::Full) {
        error = "store file " + writer.path + " is full: a record of " + std::to_string(recordLength) +
                " bytes would overwrite the record at offset " + std::to_string(placement.blockedAt) +
                ", which has not been forwarded yet";
        return false;
    }
    StatusBlock status;
    if (!fill(writer.handle, placement.fillFrom, placement.fillTo, status)) {
        error = failure("cannot write the unused end of " + writer.path, status);
        return false;
    }
    appendRecord(writer.handle, placement.position, message, status);
    if (statusFailed(status)) {
        error = failure("cannot write a record at offset " + std::to_string(placement.position), status);
        return false;
    }
    writeNewType2Header(writer.handle, placement.header, status);
    if (statusFailed(status)) {
        error = failure("cannot rewrite the header of " + writer.path, status);
        return false;
    }
    writer.header = placement.header;
    writer.extent.writePosition = placement.position + recordLength;
    writer.extent.fileSize = std::max(writer.extent.fileSize, writer.extent.writePosition);
    return true;
}

void closeStoreWriter(StoreWriter& writer) {
    if (writer.handle < 0) return;
    StatusBlock status;
    closeStoreFileHandle(writer.handle, status);
    writer.handle = -1;
}
