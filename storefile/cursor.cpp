// The message cursor. readNextMessage delivers the record at the forward
// offset, stepping over damaged data by a forward search; removeLastMsg moves
// the forward offset past a message once its destination acknowledged it and
// rewrites the header, so that a later run resumes behind it.
//
// Two reading modes follow from the header: linear (maxSize 0), from the
// forward offset to the end of the file; and ring (maxSize nonzero), a
// preallocated file whose data may continue at the start of the data area
// when a wrap exists (firstMsgOffset > lastMsgOffset).
//
// Decisions on records the format leaves open:
// - Zero bytes pass the head CRC (the CRC of zeros is 0) with a length word
//   of 0, so a record whose 292 head bytes are all zero is never a message.
//   Where the header names data (below lastOffset; behind a wrap, up to the
//   newest record of a type-2 header) it is damage: a power loss leaves
//   blocks allocated but never written while later records reached the
//   disk. It is stepped over by a search (before the wrap, for records that
//   start before lastOffset, as those behind are an earlier lap's), and when
//   none follows, the range the header promised is reported as skipped. In
//   DUMP mode the search decides alone: zeros behind the last record found
//   are unwritten space. Elsewhere zeros are unwritten space, the end of the
//   written data: linear reading ends there as at the end of the file
//   ("Reached file end.", no further messages); ring reading wraps there when
//   it may, else ends with both stopRequested set and moreMessages cleared.
// - Any other record whose length word is below 292 cannot hold its own head;
//   it is stepped over like a record whose head CRC failed (a search from the
//   next byte), and when nothing follows the call reports TooShort.
// - A record whose message runs past the end of the file is the truncated
//   tail of the data: it ends the data like the end of the file, as the
//   comparison counts its 12-byte prefix too. In the part of a ring before
//   the wrap it is damage instead: the file was cut there, and the newer
//   records lie behind the wrap, so reading goes on there.
//
// Decisions on ring reading, which must neither run in circles nor hand out
// again what was already forwarded:
// - At most one wrap per call, and only from the stretch that lies before the
//   wrap (readPosition >= firstMsgOffset). A search in the stretch after the
//   wrap stops short of firstMsgOffset, where the data already forwarded in
//   this lap begins.
// - When the search after the wrap finds nothing, the call ends as a failed
//   search without a wrap does (stopRequested set).
// - Behind a wrap, a type-2 header names the newest record (lastMsgOffset);
//   what lies between it and firstMsgOffset is from earlier laps. A search
//   there stops at the newest record, and a read position past it ends the
//   data (stopRequested set, moreMessages cleared): reading on would walk
//   into the older part and wrap again. The older types keep lastMsgOffset
//   at 0 and end by their message count instead.
// - A removal of a message at lastOffset goes to the wrap position only from
//   the part before the wrap of a ring, and only when a wrap exists. A type-2
//   header whose wrapped word is set while firstMsgOffset <= lastMsgOffset
//   has no data at the start of the data area that was not forwarded in this
//   lap, and a linear file is never read from there: going there would
//   deliver it all again, so the removal ends the data as when nothing is
//   wrapped. A message in the part after the wrap lies behind the wrap
//   position already: the next record follows it, so the removal moves past
//   it even when a header's lastOffset (which sound headers keep beyond that
//   part) says otherwise.
// - The part after the wrap ends where the oldest message begins. A removal
//   whose message reaches firstMsgOffset has completed the ring, as the
//   removal of the newest record does: it ends the data, counts every message
//   forwarded and leaves the forward offset on the message. Moving on would
//   put the reader in the part before the wrap, which this recovery or an
//   earlier one forwarded, and a later run would send it all again. A type-0
//   or type-1 ring, which cannot name its newest record, thus also ends when
//   its newer part runs up to the oldest message.
// - No record can start at the wrap position, which lies inside the header: a
//   forward offset there means the reader has wrapped, so a call that starts
//   there reads as one that wrapped itself, even when a header's
//   firstMsgOffset lies before the data area.
// - A removal in the older part of a wrapped ring that leaves no room for a
//   record head before the end of the file records the wrap position, where
//   the next read would go anyway: an offset at the file's end is refused by
//   the next start, so a run stopped right then could not resume. Nothing
//   can lie in those last bytes, so no unacknowledged record is skipped.
//
// Decisions that keep a recovery from reporting a failure as success or
// sending what was already acknowledged:
// - A header that counts every stored message forwarded, with the forward
//   offset on the last one (where removeLastMsg leaves it), has nothing left
//   to deliver: reading ends there as at the end of the data. Only a type-2
//   header names its last record; the DUMP default header never counts its
//   messages, so neither can end this way.
// - A ring with a type-0 or type-1 header cannot name its newest record, and
//   behind it may lie records of an earlier lap, long forwarded, that read as
//   sound: reading on would send them again and go round the ring without
//   end. Its message count marks the end instead: the removal that brings
//   forwardedCount to msgCount (the count restarts at firstMsgOffset) ends
//   the recovery, and the forward offset moves past that message as usual, so
//   that a message appended later is where a rerun starts. A rerun finds the
//   count complete and delivers nothing, unless the reader stands at
//   firstMsgOffset, where the count means nothing yet. The count is trusted
//   only when it can be: never with msgCount 0 (a writer that kept no count)
//   or the DUMP count, never when it went past msgCount (a stale count), and
//   never in a linear file, whose reading ends at the file's end anyway.
// - A forward search that fails to read the file has not shown that nothing
//   follows: the call fails as a read failure, not as the end of the data.
// - Header bytes met at the wrap position are not damaged data: they are
//   neither logged nor counted as skipped.
// - A header write after an acknowledged message that keeps failing stops the
//   recovery: the message would otherwise be sent and acknowledged forever.
// - An inspection (StoreAccess::Inspect) walks the same way on the header in
//   memory: nothing is written back or synced, and nothing is printed; the
//   reporter hears of everything not delivered.
// - With ZENTO_SF_SYNC=message every removal's header is synced to the disk
//   before the removal counts; a failed sync fails the removal like a failed
//   write.
#include "storefile/cursor.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

#include "msglib/coding.h"
#include "msglib/message_head.h"
#include "msglib/msglib.h"
#include "platform/environment.h"
#include "platform/file_kind.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"
#include "storefile/store_file.h"
#include "storefile/stored_record.h"
#include "storefile/store_format.h"

namespace {

using namespace storecode;

constexpr std::uint32_t kProgressEvery = 1000;
constexpr std::uint32_t kRemovalAttempts = 3;

void load(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }



// Progress share in single precision, scaled in double; a header whose data
// ends at 0 or before has nothing ahead of the reader and shows 100 percent.
double progressPercent(std::int64_t forwardOffset, std::int64_t lastOffset) {
    if (lastOffset <= 0) return 100.0;
    const float share = static_cast<float>(forwardOffset) / static_cast<float>(lastOffset);
    return static_cast<double>(share) * 100.0;
}

void reportProgress(StoreFile& store) {
    if (!storeSpeaks(store) || ++store.progressCounter < kProgressEvery) return;
    store.progressCounter = 0;
    std::printf("Currently at location %" PRId64 ", %5.2f percent of file\n", store.header.forwardOffset,
                progressPercent(store.header.forwardOffset, store.header.lastOffset));
}

// Rings of the older header types, where only the message count tells where
// the newest record is.
bool countEndsRing(const StoreFile& store) {
    return (store.headerType == 0 || store.headerType == 1) && store.header.maxSize != 0 && countsMessages(store.header);
}

// The stored data continues at the start of the data area. Types 0 and 1
// keep lastMsgOffset at 0, so their rings always count as wrapped.
bool wrapExists(const StoreFileHeader& h) { return h.firstMsgOffset > h.lastMsgOffset; }

// Only a type-2 header names its newest record, and so can show that the
// part after the wrap ends there.
bool namesNewestRecord(const StoreFile& store) { return store.headerType == 2; }

// Where ring reading at `position` would go to the wrap position at once:
// in the part before the wrap, with no room left for a record head.
bool readWouldWrapAt(const StoreFile& store, std::int64_t position) {
    const StoreFileHeader& h = store.header;
    return h.maxSize != 0 && wrapExists(h) && position >= h.firstMsgOffset &&
           store.fileSize - position < kRecordHeadSize;
}

// A forward offset at the wrap position, where no record can start, is where
// a removal sent the reader round the ring.
bool startsAtWrapPosition(const StoreFile& store) {
    const StoreFileHeader& h = store.header;
    return h.maxSize != 0 && wrapExists(h) && h.forwardOffset == blockSizeOf(store.headerType);
}

// The removed message lies in the part of a ring before the wrap, where
// reading goes on at the start of the data area once that part ends.
bool inPartBeforeWrap(const StoreFile& store) {
    const StoreFileHeader& h = store.header;
    return h.maxSize != 0 && wrapExists(h) && h.forwardOffset >= h.firstMsgOffset;
}

// The removed message lies in the part of a ring after the wrap.
bool inPartAfterWrap(const StoreFile& store) {
    const StoreFileHeader& h = store.header;
    return h.maxSize != 0 && wrapExists(h) && h.forwardOffset < h.firstMsgOffset;
}

// The removed message, in the part of a ring after the wrap, reaches the
// oldest message: the whole ring has been forwarded.
bool endsPartAfterWrap(const StoreFile& store, std::int64_t next) {
    return inPartAfterWrap(store) && next >= store.header.firstMsgOffset;
}

// Why the data ends, as the rows of the end table name them.
enum class EndCase {
    ShortTail,      // fewer than a record head left before the end of the file
    BadHead,        // a head that failed, and the search found nothing
    Truncated,      // the message runs past the end of the file
    BadBody,        // a body check that failed, and the search found nothing
    UnwrittenSpace, // zero-filled space where the next record would be
    Drained,        // the header counts every stored message forwarded
    PastNewest,     // behind a wrap, past the newest record
    LapComplete     // behind a wrap, back where this run began
};

// One call of readNextMessage.
class ReadCall {
public:
    ReadCall(StoreFile& store, StatusBlock& status)
        : store_(store), status_(status), wrapped_(startsAtWrapPosition(store)) {}

    std::uint32_t run();
    bool headerChanged() const { return headerChanged_; }

private:
    enum class Step { Again, Stop };

    Step readAt(std::int64_t limit);
    Step deliverOrSkipBody(std::int64_t limit);
    Step skipBadHead(std::int64_t limit, const char* why, bool headCrcGood, ReadOutcome outcomeAtEnd);
    Step skipZeroFill(std::int64_t limit);
    bool insideNamedData() const;
    Step endOfData(EndCase why, ReadOutcome outcome = ReadOutcome::EndOfData);
    Step fail(const StatusBlock& cause, std::int32_t code);

    bool ring() const { return store_.header.maxSize != 0; }
    bool drained() const;
    bool wrapExists() const { return ::wrapExists(store_.header); }
    bool afterWrap() const { return wrapped_ || store_.readPosition < store_.header.firstMsgOffset; }
    bool pastNewest() const;
    bool lapComplete();
    void noteDelivery();
    std::int64_t wrapPosition() const { return blockSizeOf(store_.headerType); }
    std::int64_t dataAreaStart() const { return 2 * wrapPosition() + 8; }
    bool mayWrap() const {
        return ring() && wrapExists() && !wrapped_ && store_.readPosition >= store_.header.firstMsgOffset;
    }
    std::int64_t searchLimit() const;
    std::int64_t damageStart() const;
    void wrap();
    void moveTo(std::int64_t position, const char* why);
    void reportSkipped(std::int64_t from, std::int64_t to, const char* why);
    void reportRejected(const char* why, bool headCrcGood);

    StoreFile& store_;
    StatusBlock& status_;
    bool headerChanged_ = false;
    bool wrapped_;
    std::uint32_t result_ = 0;
    RecordHead head_;
};

bool ReadCall::drained() const {
    const StoreFileHeader& h = store_.header;
    if (store_.headerType == 2) return type2HeaderDrained(h);
    return countEndsRing(store_) && h.forwardedCount == h.msgCount && h.forwardOffset != h.firstMsgOffset;
}

bool ReadCall::pastNewest() const {
    return ring() && wrapExists() && namesNewestRecord(store_) && afterWrap() &&
           store_.readPosition > store_.header.lastMsgOffset;
}

// One run of the recovery goes round a ring at most once: the store tasks
// cannot append while it holds the file, so reading may go back to the start
// of the data area once, and then must neither go back again nor reach the
// first record it delivered. Headers whose offsets disagree with their data
// (a lastOffset or lastMsgOffset that does not bound the records) would
// otherwise send the reader round and round.
bool ReadCall::lapComplete() {
    if (store_.lapStartOffset < 0) return false;
    if (store_.readPosition < store_.lapMark) {
        if (store_.lapWrapped) return true;
        store_.lapWrapped = true;
    }
    store_.lapMark = store_.readPosition;
    return store_.lapWrapped && store_.readPosition >= store_.lapStartOffset;
}

void ReadCall::noteDelivery() {
    if (store_.lapStartOffset < 0) store_.lapStartOffset = store_.readPosition;
    store_.lapMark = store_.readPosition;
}

std::uint32_t ReadCall::run() {
    const StoreFileHeader& h = store_.header;
    if (drained()) {
        endOfData(EndCase::Drained);
        return 0;
    }
    for (;;) {
        std::int64_t limit = 0;
        const std::int64_t left = store_.fileSize - store_.readPosition;
        if (!ring()) {
            if (store_.readPosition > h.lastOffset) {
                store_.lastReadOutcome = ReadOutcome::BeyondLastOffset;
                return 0;
            }
            if (left < kRecordHeadSize) {
                endOfData(EndCase::ShortTail);
                return 0;
            }
            limit = store_.fileSize - 1;
        } else {
            if (left < kRecordHeadSize) {
                if (!mayWrap()) {
                    endOfData(EndCase::ShortTail);
                    return 0;
                }
                wrap();
            }
            if (pastNewest()) {
                endOfData(EndCase::PastNewest);
                return 0;
            }
            if (lapComplete()) {
                endOfData(EndCase::LapComplete);
                return 0;
            }
            limit = searchLimit();
        }
        if (readAt(limit) == Step::Stop) return result_;
    }
}

ReadCall::Step ReadCall::readAt(std::int64_t limit) {
    StatusBlock headStatus;
    switch (readJudgedHead(store_.storeFileHandle, store_.fileSize, store_.readPosition, head_, headStatus)) {
        case HeadVerdict::Unreadable: return fail(headStatus, kNextHeadReadFailed);
        case HeadVerdict::CrcFailed:
            return skipBadHead(limit, "head CRC mismatch", false, ReadOutcome::EndOfData);
        case HeadVerdict::Unwritten:
            if (insideNamedData()) return skipZeroFill(limit);
            if (mayWrap()) {
                wrap();
                return Step::Again;
            }
            return endOfData(EndCase::UnwrittenSpace);
        case HeadVerdict::TooShort:
            return skipBadHead(limit, "length word below 292", true, ReadOutcome::TooShort);
        case HeadVerdict::PastEnd:
            if (mayWrap()) {
                // A ring cut inside its last record before the physical end:
                // the newer records lie behind the wrap.
                reportSkipped(store_.readPosition, store_.fileSize, "the record runs past the end of the file");
                wrap();
                return Step::Again;
            }
            if (store_.reporter != nullptr) {
                store_.reporter->truncatedRecord(store_.readPosition, store_.fileSize - store_.readPosition);
            }
            return endOfData(EndCase::Truncated);
        case HeadVerdict::Sound: break;
    }
    return deliverOrSkipBody(limit);
}

ReadCall::Step ReadCall::deliverOrSkipBody(std::int64_t limit) {
    StatusBlock bodyStatus;
    if (readRecordMessage(store_.storeFileHandle, store_.readPosition, head_, store_.currentMsg, bodyStatus)) {
        // The removal moves on from the forward offset, so it must name the
        // record delivered, wherever the reading found it.
        if (store_.header.forwardOffset != store_.readPosition) {
            store_.header.forwardOffset = store_.readPosition;
            headerChanged_ = true;
        }
        result_ = head_.length;
        store_.lastReadOutcome = ReadOutcome::Delivered;
        if (ring()) noteDelivery();
        return Step::Stop;
    }
    if (lastErrorCode(bodyStatus) == kMessageNoMemory) {
        load(kMessageNoMemory, status_);
        store_.lastReadOutcome = ReadOutcome::ReadError;
        return Step::Stop;
    }
    if (lastErrorCode(bodyStatus) != kBodyCheckFailed) return fail(bodyStatus, kBodyReadFailed);

    reportRejected("body check not zero", true);
    StatusBlock scanStatus;
    const std::int64_t found =
        scanForRecord(store_.storeFileHandle, store_.readPosition + kRecordHeadSize, limit, scanStatus);
    if (statusFailed(scanStatus)) return fail(scanStatus, kBodyReadFailed);
    if (found > 0) {
        moveTo(found, "body check not zero");
        return Step::Again;
    }
    reportSkipped(store_.readPosition, limit + 1, "body check not zero");
    return endOfData(EndCase::BadBody);
}

ReadCall::Step ReadCall::skipBadHead(std::int64_t limit, const char* why, bool headCrcGood,
                                     ReadOutcome outcomeAtEnd) {
    // At the wrap position the head read meets the header itself.
    if (store_.readPosition != wrapPosition()) reportRejected(why, headCrcGood);
    StatusBlock scanStatus;
    const std::int64_t found = scanForRecord(store_.storeFileHandle, store_.readPosition + 1, limit, scanStatus);
    if (statusFailed(scanStatus)) return fail(scanStatus, kNextHeadReadFailed);
    if (found > 0) {
        moveTo(found, why);
        return Step::Again;
    }
    reportSkipped(damageStart(), limit + 1, why);
    if (mayWrap()) {
        wrap();
        return Step::Again;
    }
    return endOfData(EndCase::BadHead, outcomeAtEnd);
}

// Where the header says records lie, zeros are damage, not the end of the
// data: a power loss leaves blocks allocated but never written while later
// records reached the disk. DUMP's default header names the whole file, and
// there the search decides.
bool ReadCall::insideNamedData() const {
    const StoreFileHeader& h = store_.header;
    if (ring() && wrapExists() && afterWrap()) {
        return namesNewestRecord(store_) && store_.readPosition <= h.lastMsgOffset;
    }
    return store_.readPosition < h.lastOffset;
}

ReadCall::Step ReadCall::skipZeroFill(std::int64_t limit) {
    const char* why = "zero-filled space inside the data";
    const bool behindWrap = ring() && wrapExists() && afterWrap();
    // Before the wrap, or in a linear file, records behind lastOffset are
    // not this lap's: the search finds only those that start before it (it
    // examines the starts below limit - 304).
    std::int64_t zeroLimit = limit;
    const std::int64_t lastStart = store_.header.lastOffset - 1;
    if (!behindWrap && lastStart < limit - kRecordHeadSize - 1) zeroLimit = lastStart + kRecordHeadSize + 1;
    StatusBlock scanStatus;
    const std::int64_t found =
        scanForRecord(store_.storeFileHandle, store_.readPosition + 1, zeroLimit, scanStatus);
    if (statusFailed(scanStatus)) return fail(scanStatus, kNextHeadReadFailed);
    if (found > 0) {
        moveTo(found, why);
        return Step::Again;
    }
    // Zeros behind the last record DUMP finds are unwritten space; where the
    // header names data, what it promised is lost.
    if (!store_.dumpMode) {
        const std::int64_t namedEnd = behindWrap ? limit + 1 : std::min(store_.header.lastOffset, limit + 1);
        reportSkipped(store_.readPosition, namedEnd, why);
    }
    if (mayWrap()) {
        wrap();
        return Step::Again;
    }
    return endOfData(EndCase::UnwrittenSpace);
}

ReadCall::Step ReadCall::endOfData(EndCase why, ReadOutcome outcome) {
    if (!ring()) {
        if (storeSpeaks(store_)) std::printf("Reached file end.\n");
        store_.stopRequested = true;
        if (why != EndCase::BadHead) store_.moreMessages = false;
    } else {
        // A short tail without a wrap only says no message is left; every
        // other end also stops the recovery.
        if (why != EndCase::ShortTail) store_.stopRequested = true;
        if (why != EndCase::BadHead) store_.moreMessages = false;
    }
    load(kEndOfData, status_);
    store_.lastReadOutcome = outcome;
    return Step::Stop;
}

ReadCall::Step ReadCall::fail(const StatusBlock& cause, std::int32_t code) {
    appendStatusEntries(cause, status_);
    load(code, status_);
    store_.lastReadOutcome = ReadOutcome::ReadError;
    return Step::Stop;
}

// Searches run to the end of the file, except in the stretch after a wrap:
// there the data already forwarded begins at firstMsgOffset, and a type-2
// header's data ends with the newest record, which the search must still
// find (it examines the positions below limit - 304).
std::int64_t ReadCall::searchLimit() const {
    const std::int64_t fileLimit = store_.fileSize - 1;
    if (!ring() || !wrapExists() || !afterWrap()) return fileLimit;
    std::int64_t limit = std::min(store_.header.firstMsgOffset - 1, fileLimit);
    if (!namesNewestRecord(store_)) return limit;
    // The offsets come from the file: a sum beyond the range only means no
    // narrower limit.
    const std::int64_t newest = store_.header.lastMsgOffset;
    const std::int64_t reach = std::int64_t{kRecordHeadSize} + 1;
    if (newest > std::numeric_limits<std::int64_t>::max() - reach) return limit;
    return std::min(limit, newest + reach);
}

// A read at the wrap position meets the header itself, whether this call
// wrapped or a removal left the forward offset there; only what lies behind
// the header counts as skipped data.
std::int64_t ReadCall::damageStart() const { return std::max(dataAreaStart(), store_.readPosition); }

void ReadCall::wrap() {
    if (store_.reporter != nullptr) store_.reporter->wrapped(store_.readPosition);
    wrapped_ = true;
    store_.readPosition = wrapPosition();
}

void ReadCall::moveTo(std::int64_t position, const char* why) {
    reportSkipped(damageStart(), position, why);
    store_.readPosition = position;
    store_.header.forwardOffset = position;
    headerChanged_ = true;
}

void ReadCall::reportSkipped(std::int64_t from, std::int64_t to, const char* why) {
    if (to > from && store_.reporter != nullptr) store_.reporter->skipped(from, to - from, why);
}

void ReadCall::reportRejected(const char* why, bool headCrcGood) {
    if (store_.reporter != nullptr) store_.reporter->rejectedRecord(store_.readPosition, head_.bytes, headCrcGood, why);
}

// The header after a removal, on the disk before the removal counts when
// every message is to be synced.
void recordRemoval(StoreFile& store, StatusBlock& writeStatus) {
    store.headerUnsynced = true;
    writeStoreHeader(store, store.header, writeStatus);
    if (statusFailed(writeStatus) || store.syncPolicy != platform::StoreSync::EveryMessage) return;
    syncStoreFile(store.storeFileHandle, writeStatus);
    if (statusFailed(writeStatus)) {
        std::printf("Warning: ERROR trying to write file header: error in SYNC.\n");
        return;
    }
    store.headerUnsynced = false;
}

// The destination acknowledges the message again after every resend; when
// its removal cannot be recorded time after time, going on would only send it
// forever. The message stays in the store file for a later run.
void giveUpAfterRepeatedFailures(StoreFile& store, const StatusBlock& cause) {
    if (++store.failedRemovals < kRemovalAttempts) return;
    const std::int32_t error = runtimeCause(cause);
    const std::string reason = error != 0 ? " (" + platform::runtimeErrorText(error) + ")" : std::string();
    std::printf("Error: the store file header could not be written%s.  Recovery stopped; the remaining "
                "messages stay in the store file.\n",
                reason.c_str());
    store.stopRequested = true;
    store.faulted = true;
}

}  // namespace

std::uint32_t readNextMessage(StoreFile& store, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    reportProgress(store);
    store.readPosition = store.header.forwardOffset;

    ReadCall call(store, status);
    const std::uint32_t result = call.run();
    if (call.headerChanged() && store.access == StoreAccess::Recover) {
        store.headerUnsynced = true;
        StatusBlock writeStatus;
        writeStoreHeader(store, store.header, writeStatus);
        if (statusFailed(writeStatus)) {
            appendStatusEntries(writeStatus, status);
            load(kReadHeaderWriteFailed, status);
        }
    }
    return result;
}

void removeLastMsg(StoreFile& store, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (!store.currentMsg) {
        load(kNoMessageHeld, status);
        return;
    }
    const std::int64_t wrapPosition = blockSizeOf(store.headerType);
    const std::uint32_t length = ZENTO_SERVER_MSGSIZE(store.currentMsg.view());

    // Kept to undo the move when the header cannot be written: the message is
    // then sent again, and its next acknowledgement must move the offset from
    // the same place, not past the message behind it.
    const StoreFileHeader before = store.header;
    const bool moreBefore = store.moreMessages;
    const bool stopBefore = store.stopRequested;

    StoreFileHeader& h = store.header;
    const std::int64_t next = h.forwardOffset + std::int64_t{kRecordPrefixSize} + length;
    if (h.forwardOffset == h.firstMsgOffset) h.forwardedCount = 0;
    h.forwardedCount += 1;
    if (h.forwardOffset == h.lastMsgOffset || endsPartAfterWrap(store, next)) {
        store.moreMessages = false;
        h.forwardedCount = h.msgCount;
    } else if (h.forwardOffset < h.lastOffset || inPartAfterWrap(store)) {
        const bool beforeWrap = inPartBeforeWrap(store);
        h.forwardOffset = next;
        if (beforeWrap && readWouldWrapAt(store, h.forwardOffset)) h.forwardOffset = wrapPosition;
    } else if (h.wrapped != 0 && inPartBeforeWrap(store)) {
        h.forwardOffset = wrapPosition;
    } else {
        store.stopRequested = true;
    }
    if (countEndsRing(store) && h.forwardedCount == h.msgCount) store.moreMessages = false;

    StatusBlock writeStatus;
    ZENTO_SERVER_INITBLK(writeStatus);
    if (store.access == StoreAccess::Recover) recordRemoval(store, writeStatus);
    if (statusFailed(writeStatus)) {
        appendStatusEntries(writeStatus, status);
        load(kRemovalWriteFailed, status);
        store.header = before;
        store.moreMessages = moreBefore;
        store.stopRequested = stopBefore;
        giveUpAfterRepeatedFailures(store, writeStatus);
        return;
    }
    store.failedRemovals = 0;
    releaseMessage(store.currentMsg);
}
