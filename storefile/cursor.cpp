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
// - Unwritten space. Zero bytes pass the head CRC (the CRC of zeros is 0)
//   with a length word of 0, so a record whose 292 head bytes are all zero is
//   taken as the end of the written data, never as a message: linear reading
//   ends there as at the end of the file ("Reached file end.", no further
//   messages); ring reading wraps there when it may, else ends with both
//   stopRequested set and moreMessages cleared.
// - Any other record whose length word is below 292 cannot hold its own head;
//   it is stepped over like a record whose head CRC failed (a search from the
//   next byte), and when nothing follows the call reports TooShort.
// - A record whose message runs past the end of the file is the truncated
//   tail of the data: it ends the data like the end of the file, as the
//   comparison counts its 12-byte prefix too.
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
#include "recover/recover_context.h"
#include "storefile/file_handle.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int32_t kNoMemory = 13405;
constexpr std::int32_t kBodyReadFailed = 13406;
constexpr std::int32_t kHeadReadFailed = 13411;
constexpr std::int32_t kEndOfData = 13412;
constexpr std::int32_t kHeaderWriteFailed = 13414;
constexpr std::int32_t kNoMessageHeld = 13452;
constexpr std::int32_t kRemovalWriteFailed = 13453;
constexpr std::int32_t kHeadCrcMismatch = 13531;
constexpr std::int32_t kBodyCheckNotZero = 13530;
constexpr std::uint32_t kProgressEvery = 1000;
constexpr std::uint32_t kRemovalAttempts = 3;

void load(std::int32_t code, StatusBlock& status) { ZENTO_SERVER_LDBLK(kFacilityStore, code, status); }

// Appends the entries of `from` behind those already in `to`: the primitives
// work on blocks of their own so that a failure the cursor recovers from
// leaves nothing behind in the caller's block.
void appendEntries(const StatusBlock& from, StatusBlock& to) {
    const int n = statusEntryCount(from);
    for (int i = 0; i < n; ++i) ZENTO_SERVER_LDBLK(from.facility[i], from.error[i], to);
}

// The code a primitive loaded itself comes after its causes.
std::int32_t ownCode(const StatusBlock& status) {
    const int n = statusEntryCount(status);
    return n > 0 ? status.error[n - 1] : -1;
}

// Progress share in single precision, scaled in double; a header whose data
// ends at 0 or before has nothing ahead of the reader and shows 100 percent.
double progressPercent(std::int64_t forwardOffset, std::int64_t lastOffset) {
    if (lastOffset <= 0) return 100.0;
    const float share = static_cast<float>(forwardOffset) / static_cast<float>(lastOffset);
    return static_cast<double>(share) * 100.0;
}

void reportProgress(RecoverContext& ctx) {
    if (++ctx.progressCounter < kProgressEvery) return;
    ctx.progressCounter = 0;
    std::printf("Currently at location %" PRId64 ", %5.2f percent of file\n", ctx.header.forwardOffset,
                progressPercent(ctx.header.forwardOffset, ctx.header.lastOffset));
}

bool allZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Rings of the older header types, where only the message count tells where
// the newest record is.
bool countEndsRing(const RecoverContext& ctx) {
    return (ctx.headerType == 0 || ctx.headerType == 1) && ctx.header.maxSize != 0 && countsMessages(ctx.header);
}

// The stored data continues at the start of the data area. Types 0 and 1
// keep lastMsgOffset at 0, so their rings always count as wrapped.
bool wrapExists(const StoreFileHeader& h) { return h.firstMsgOffset > h.lastMsgOffset; }

// Only a type-2 header names its newest record, and so can show that the
// part after the wrap ends there.
bool namesNewestRecord(const RecoverContext& ctx) { return ctx.headerType == 2; }

// Where ring reading at `position` would go to the wrap position at once:
// in the part before the wrap, with no room left for a record head.
bool readWouldWrapAt(const RecoverContext& ctx, std::int64_t position) {
    const StoreFileHeader& h = ctx.header;
    return h.maxSize != 0 && wrapExists(h) && position >= h.firstMsgOffset &&
           ctx.fileSize - position < kRecordHeadSize;
}

// A forward offset at the wrap position, where no record can start, is where
// a removal sent the reader round the ring.
bool startsAtWrapPosition(const RecoverContext& ctx) {
    const StoreFileHeader& h = ctx.header;
    return h.maxSize != 0 && wrapExists(h) && h.forwardOffset == blockSizeOf(ctx.headerType);
}

// The removed message lies in the part of a ring before the wrap, where
// reading goes on at the start of the data area once that part ends.
bool inPartBeforeWrap(const RecoverContext& ctx) {
    const StoreFileHeader& h = ctx.header;
    return h.maxSize != 0 && wrapExists(h) && h.forwardOffset >= h.firstMsgOffset;
}

// The removed message lies in the part of a ring after the wrap.
bool inPartAfterWrap(const RecoverContext& ctx) {
    const StoreFileHeader& h = ctx.header;
    return h.maxSize != 0 && wrapExists(h) && h.forwardOffset < h.firstMsgOffset;
}

// The removed message, in the part of a ring after the wrap, reaches the
// oldest message: the whole ring has been forwarded.
bool endsPartAfterWrap(const RecoverContext& ctx, std::int64_t next) {
    return inPartAfterWrap(ctx) && next >= ctx.header.firstMsgOffset;
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
    ReadCall(RecoverContext& ctx, StatusBlock& status)
        : ctx_(ctx), status_(status), wrapped_(startsAtWrapPosition(ctx)) {}

    std::uint32_t run();
    bool headerChanged() const { return headerChanged_; }

private:
    enum class Step { Again, Stop };

    Step readAt(std::int64_t limit);
    Step deliverOrSkipBody(std::uint32_t length, std::uint32_t bodyCheck, std::int64_t limit);
    Step skipBadHead(std::int64_t limit, const char* why, ReadOutcome outcomeAtEnd);
    Step endOfData(EndCase why, ReadOutcome outcome = ReadOutcome::EndOfData);
    Step fail(const StatusBlock& cause, std::int32_t code);

    bool ring() const { return ctx_.header.maxSize != 0; }
    bool drained() const;
    bool wrapExists() const { return ::wrapExists(ctx_.header); }
    bool afterWrap() const { return wrapped_ || ctx_.readPosition < ctx_.header.firstMsgOffset; }
    bool pastNewest() const;
    bool lapComplete();
    void noteDelivery();
    std::int64_t wrapPosition() const { return blockSizeOf(ctx_.headerType); }
    std::int64_t dataAreaStart() const { return 2 * wrapPosition() + 8; }
    bool mayWrap() const {
        return ring() && wrapExists() && !wrapped_ && ctx_.readPosition >= ctx_.header.firstMsgOffset;
    }
    std::int64_t searchLimit() const;
    std::int64_t damageStart() const;
    void wrap();
    void moveTo(std::int64_t position, const char* why);
    void logSkipped(std::int64_t from, std::int64_t to, const char* why);

    RecoverContext& ctx_;
    StatusBlock& status_;
    bool headerChanged_ = false;
    bool wrapped_;
    std::uint32_t result_ = 0;
    std::array<std::uint8_t, kMessageHeadSize> head_{};
};

bool ReadCall::drained() const {
    const StoreFileHeader& h = ctx_.header;
    if (ctx_.headerType == 2) return type2HeaderDrained(h);
    return countEndsRing(ctx_) && h.forwardedCount == h.msgCount && h.forwardOffset != h.firstMsgOffset;
}

bool ReadCall::pastNewest() const {
    return ring() && wrapExists() && namesNewestRecord(ctx_) && afterWrap() &&
           ctx_.readPosition > ctx_.header.lastMsgOffset;
}

// One run of the recovery goes round a ring at most once: the store tasks
// cannot append while it holds the file, so reading may go back to the start
// of the data area once, and then must neither go back again nor reach the
// first record it delivered. Headers whose offsets disagree with their data
// (a lastOffset or lastMsgOffset that does not bound the records) would
// otherwise send the reader round and round.
bool ReadCall::lapComplete() {
    if (ctx_.lapStartOffset < 0) return false;
    if (ctx_.readPosition < ctx_.lapMark) {
        if (ctx_.lapWrapped) return true;
        ctx_.lapWrapped = true;
    }
    ctx_.lapMark = ctx_.readPosition;
    return ctx_.lapWrapped && ctx_.readPosition >= ctx_.lapStartOffset;
}

void ReadCall::noteDelivery() {
    if (ctx_.lapStartOffset < 0) ctx_.lapStartOffset = ctx_.readPosition;
    ctx_.lapMark = ctx_.readPosition;
}

std::uint32_t ReadCall::run() {
    const StoreFileHeader& h = ctx_.header;
    if (drained()) {
        endOfData(EndCase::Drained);
        return 0;
    }
    for (;;) {
        std::int64_t limit = 0;
        const std::int64_t left = ctx_.fileSize - ctx_.readPosition;
        if (!ring()) {
            if (ctx_.readPosition > h.lastOffset) {
                ctx_.lastReadOutcome = ReadOutcome::BeyondLastOffset;
                return 0;
            }
            if (left < kRecordHeadSize) {
                endOfData(EndCase::ShortTail);
                return 0;
            }
            limit = ctx_.fileSize - 1;
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
    const std::uint32_t bodyCheck = readRecordHead(ctx_.storeFileHandle, ctx_.readPosition, head_, headStatus);
    if (statusFailed(headStatus)) {
        if (ownCode(headStatus) != kHeadCrcMismatch) return fail(headStatus, kHeadReadFailed);
        return skipBadHead(limit, "head CRC mismatch", ReadOutcome::EndOfData);
    }
    if (allZero(head_)) {
        if (mayWrap()) {
            wrap();
            return Step::Again;
        }
        return endOfData(EndCase::UnwrittenSpace);
    }
    const std::uint32_t length = decodeU32(head_.data() + head::kLengthOffset);
    if (length < kMessageHeadSize) return skipBadHead(limit, "length word below 292", ReadOutcome::TooShort);
    if (ctx_.fileSize - ctx_.readPosition < std::int64_t{kRecordPrefixSize} + length) {
        return endOfData(EndCase::Truncated);
    }
    return deliverOrSkipBody(length, bodyCheck, limit);
}

ReadCall::Step ReadCall::deliverOrSkipBody(std::uint32_t length, std::uint32_t bodyCheck, std::int64_t limit) {
    if (!allocateMessage(ctx_.currentMsg, length)) {
        load(kNoMemory, status_);
        ctx_.lastReadOutcome = ReadOutcome::ReadError;
        return Step::Stop;
    }
    std::copy(head_.begin(), head_.end(), ctx_.currentMsg.data());
    StatusBlock bodyStatus;
    readRecordBody(ctx_.storeFileHandle, ctx_.readPosition, length, bodyCheck, ctx_.currentMsg.span(), bodyStatus);
    if (!statusFailed(bodyStatus)) {
        // The removal moves on from the forward offset, so it must name the
        // record delivered, wherever the reading found it.
        if (ctx_.header.forwardOffset != ctx_.readPosition) {
            ctx_.header.forwardOffset = ctx_.readPosition;
            headerChanged_ = true;
        }
        result_ = length;
        ctx_.lastReadOutcome = ReadOutcome::Delivered;
        if (ring()) noteDelivery();
        return Step::Stop;
    }
    releaseMessage(ctx_.currentMsg);
    if (ownCode(bodyStatus) != kBodyCheckNotZero) return fail(bodyStatus, kBodyReadFailed);

    StatusBlock scanStatus;
    const std::int64_t found =
        scanForRecord(ctx_.storeFileHandle, ctx_.readPosition + kRecordHeadSize, limit, scanStatus);
    if (statusFailed(scanStatus)) return fail(scanStatus, kBodyReadFailed);
    if (found > 0) {
        moveTo(found, "body check not zero");
        return Step::Again;
    }
    logSkipped(ctx_.readPosition, limit + 1, "body check not zero");
    return endOfData(EndCase::BadBody);
}

ReadCall::Step ReadCall::skipBadHead(std::int64_t limit, const char* why, ReadOutcome outcomeAtEnd) {
    StatusBlock scanStatus;
    const std::int64_t found = scanForRecord(ctx_.storeFileHandle, ctx_.readPosition + 1, limit, scanStatus);
    if (statusFailed(scanStatus)) return fail(scanStatus, kHeadReadFailed);
    if (found > 0) {
        moveTo(found, why);
        return Step::Again;
    }
    logSkipped(damageStart(), limit + 1, why);
    if (mayWrap()) {
        wrap();
        return Step::Again;
    }
    return endOfData(EndCase::BadHead, outcomeAtEnd);
}

ReadCall::Step ReadCall::endOfData(EndCase why, ReadOutcome outcome) {
    if (!ring()) {
        std::printf("Reached file end.\n");
        ctx_.stopRequested = true;
        if (why != EndCase::BadHead) ctx_.moreMessages = false;
    } else {
        // A short tail without a wrap only says no message is left; every
        // other end also stops the recovery.
        if (why != EndCase::ShortTail) ctx_.stopRequested = true;
        if (why != EndCase::BadHead) ctx_.moreMessages = false;
    }
    load(kEndOfData, status_);
    ctx_.lastReadOutcome = outcome;
    return Step::Stop;
}

ReadCall::Step ReadCall::fail(const StatusBlock& cause, std::int32_t code) {
    appendEntries(cause, status_);
    load(code, status_);
    ctx_.lastReadOutcome = ReadOutcome::ReadError;
    return Step::Stop;
}

// Searches run to the end of the file, except in the stretch after a wrap:
// there the data already forwarded begins at firstMsgOffset, and a type-2
// header's data ends with the newest record, which the search must still
// find (it examines the positions below limit - 304).
std::int64_t ReadCall::searchLimit() const {
    const std::int64_t fileLimit = ctx_.fileSize - 1;
    if (!ring() || !wrapExists() || !afterWrap()) return fileLimit;
    std::int64_t limit = std::min(ctx_.header.firstMsgOffset - 1, fileLimit);
    if (!namesNewestRecord(ctx_)) return limit;
    // The offsets come from the file: a sum beyond the range only means no
    // narrower limit.
    const std::int64_t newest = ctx_.header.lastMsgOffset;
    const std::int64_t reach = std::int64_t{kRecordHeadSize} + 1;
    if (newest > std::numeric_limits<std::int64_t>::max() - reach) return limit;
    return std::min(limit, newest + reach);
}

// A read at the wrap position meets the header itself, whether this call
// wrapped or a removal left the forward offset there; only what lies behind
// the header counts as skipped data.
std::int64_t ReadCall::damageStart() const { return std::max(dataAreaStart(), ctx_.readPosition); }

void ReadCall::wrap() {
    wrapped_ = true;
    ctx_.readPosition = wrapPosition();
}

void ReadCall::moveTo(std::int64_t position, const char* why) {
    logSkipped(damageStart(), position, why);
    ctx_.readPosition = position;
    ctx_.header.forwardOffset = position;
    headerChanged_ = true;
}

void ReadCall::logSkipped(std::int64_t from, std::int64_t to, const char* why) {
    if (to <= from) return;
    const std::int64_t length = to - from;
    ctx_.stats.skippedRanges += 1;
    ctx_.stats.skippedBytes += static_cast<std::uint64_t>(length);
    char text[1024];
    std::snprintf(text, sizeof text, "Store file %s: skipped %" PRId64 " bytes at offset %" PRId64 ": %s",
                  ctx_.storeFileName.c_str(), length, from, why);
    StatusBlock logStatus;
    ZENTO_SERVER_LOGMSG(fixedText(ctx_.serviceName, sizeof ctx_.serviceName), text, logStatus);
}

// The destination acknowledges the message again after every resend; when
// its removal cannot be recorded time after time, going on would only send it
// forever. The message stays in the store file for a later run.
void giveUpAfterRepeatedFailures(RecoverContext& ctx, const StatusBlock& cause) {
    if (++ctx.failedRemovals < kRemovalAttempts) return;
    const std::int32_t error = runtimeCause(cause);
    const std::string reason = error != 0 ? " (" + platform::runtimeErrorText(error) + ")" : std::string();
    std::printf("Error: the store file header could not be written%s.  Recovery stopped; the remaining "
                "messages stay in the store file.\n",
                reason.c_str());
    ctx.stopRequested = true;
    ctx.dataUnreadable = true;
}

}  // namespace

std::uint32_t readNextMessage(RecoverContext& ctx, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    reportProgress(ctx);
    ctx.readPosition = ctx.header.forwardOffset;

    ReadCall call(ctx, status);
    const std::uint32_t result = call.run();
    if (call.headerChanged()) {
        StatusBlock writeStatus;
        writeStoreHeader(ctx, ctx.header, writeStatus);
        if (statusFailed(writeStatus)) {
            appendEntries(writeStatus, status);
            load(kHeaderWriteFailed, status);
        }
    }
    return result;
}

void removeLastMsg(RecoverContext& ctx, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (!ctx.currentMsg) {
        load(kNoMessageHeld, status);
        return;
    }
    const std::int64_t wrapPosition = blockSizeOf(ctx.headerType);
    const std::uint32_t length = ZENTO_SERVER_MSGSIZE(ctx.currentMsg.view());

    // Kept to undo the move when the header cannot be written: the message is
    // then sent again, and its next acknowledgement must move the offset from
    // the same place, not past the message behind it.
    const StoreFileHeader before = ctx.header;
    const bool moreBefore = ctx.moreMessages;
    const bool stopBefore = ctx.stopRequested;

    StoreFileHeader& h = ctx.header;
    const std::int64_t next = h.forwardOffset + std::int64_t{kRecordPrefixSize} + length;
    if (h.forwardOffset == h.firstMsgOffset) h.forwardedCount = 0;
    h.forwardedCount += 1;
    if (h.forwardOffset == h.lastMsgOffset || endsPartAfterWrap(ctx, next)) {
        ctx.moreMessages = false;
        h.forwardedCount = h.msgCount;
    } else if (h.forwardOffset < h.lastOffset || inPartAfterWrap(ctx)) {
        const bool beforeWrap = inPartBeforeWrap(ctx);
        h.forwardOffset = next;
        if (beforeWrap && readWouldWrapAt(ctx, h.forwardOffset)) h.forwardOffset = wrapPosition;
    } else if (h.wrapped != 0 && inPartBeforeWrap(ctx)) {
        h.forwardOffset = wrapPosition;
    } else {
        ctx.stopRequested = true;
    }
    if (countEndsRing(ctx) && h.forwardedCount == h.msgCount) ctx.moreMessages = false;

    StatusBlock writeStatus;
    writeStoreHeader(ctx, ctx.header, writeStatus);
    if (!statusFailed(writeStatus) && platform::storeSyncPolicy() == platform::StoreSync::EveryMessage) {
        syncStoreFile(ctx.storeFileHandle, writeStatus);
        if (statusFailed(writeStatus)) std::printf("Warning: ERROR trying to write file header: error in SYNC.\n");
    }
    if (statusFailed(writeStatus)) {
        appendEntries(writeStatus, status);
        load(kRemovalWriteFailed, status);
        ctx.header = before;
        ctx.moreMessages = moreBefore;
        ctx.stopRequested = stopBefore;
        giveUpAfterRepeatedFailures(ctx, writeStatus);
        return;
    }
    ctx.failedRemovals = 0;
    releaseMessage(ctx.currentMsg);
    ctx.retryPending = false;
}
