// Reading and appending the records of the data area: a 12-byte prefix
// (marker, CRC of the message head, body check) in front of each message.
// Records are read with positioned reads from the window of the file that a
// store file held open keeps in memory (storefile/file_memory.h): a recovery
// reads one record after the other, and one read call then serves many.
#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "msglib/coding.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"
#include "storefile/file_memory.h"
#include "storefile/store_format.h"

namespace {

using namespace storecode;


}  // namespace

std::uint32_t readRecordHead(int handle, std::int64_t position, std::span<std::uint8_t, 292> head,
                             StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    std::array<std::uint8_t, kRecordHeadSize> record{};
    readAheadAt(handle, position, record.data(), kRecordHeadSize, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, offsetRefused(status) ? kRecordSeekFailed : kHeadReadFailed, status);
        return 0;
    }
    std::copy_n(record.begin() + kRecordPrefixSize, kMessageHeadSize, head.begin());
    // The head is delivered even when its CRC fails: the caller decides.
    if (storeCrc(head) != decodeU32(record.data() + 4)) ZENTO_SERVER_LDBLK(kFacilityStore, kHeadCrcFailed, status);
    return decodeU32(record.data() + 8);
}

void readRecordBody(int handle, std::int64_t position, std::uint32_t length, std::uint32_t expected,
                    std::span<std::uint8_t> message, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    // A length below the head, or a buffer smaller than the length, has no
    // body that could be read into it: the record cannot be read.
    if (length < kMessageHeadSize || message.size() < length) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kRecordBodyReadFailed, status);
        return;
    }
    readAheadAt(handle, position + kRecordHeadSize, message.data() + kMessageHeadSize, length - kMessageHeadSize,
                status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, offsetRefused(status) ? kRecordSeekFailed : kRecordBodyReadFailed, status);
        return;
    }
    if (bodyChecksum(message.first(length)) != expected) ZENTO_SERVER_LDBLK(kFacilityStore, kBodyCheckFailed, status);
}

void appendRecord(int handle, std::int64_t position, std::span<const std::uint8_t> message, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    seekStoreFile(handle, position, 0, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kAppendSeekFailed, status);
        return;
    }
    // A reader finds the next record through the message's own length word
    // and needs a whole head to check: a message without both would leave a
    // record that breaks every record behind it, so it is not written.
    const std::size_t length = message.size();
    if (length < kMessageHeadSize || length > UINT32_MAX - kRecordPrefixSize ||
        decodeU32(message.data() + 4) != length) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kAppendWriteFailed, status);
        return;
    }
    const std::size_t n = kRecordPrefixSize + length;
    std::unique_ptr<std::uint8_t[]> record(new (std::nothrow) std::uint8_t[n]);
    if (!record) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kAppendNoMemory, status);
        return;
    }
    std::copy_n(kRecordMarker, 4, record.get());
    encodeU32(record.get() + 4, storeCrc(message.first(kMessageHeadSize)));
    encodeU32(record.get() + 8, bodyChecksum(message));
    std::copy(message.begin(), message.end(), record.get() + kRecordPrefixSize);
    writeExact(handle, record.get(), static_cast<std::int64_t>(n), status);
    if (statusFailed(status)) ZENTO_SERVER_LDBLK(kFacilityStore, kAppendWriteFailed, status);
}
