#pragma once
// An open store file and the message cursor's place in it: the state the
// store file subsystem keeps for one recovery (or one inspection). Only the
// store file code changes it; the other layers read it.
#include <cstdint>
#include <span>
#include <string>

#include "msglib/message.h"
#include "platform/environment.h"
#include "storefile/store_format.h"

// Why the last readNextMessage call delivered nothing (or that it delivered).
enum class ReadOutcome {
    None,              // no call yet
    Delivered,         // a message is in currentMsg
    EndOfData,         // an end row: no further message (error 13412)
    BeyondLastOffset,  // linear read found readPosition past lastOffset
    TooShort,          // a record whose length word cannot hold a message head
    ReadError,         // seek, read or allocation failure (13405, 13406, 13411)
};

// What the cursor tells about the data it does not deliver. The recovery's
// reporter logs and counts; an inspection lists.
class CursorReporter {
public:
    virtual ~CursorReporter() = default;
    // Bytes [offset, offset + length) that the forward search stepped over.
    virtual void skipped(std::int64_t offset, std::int64_t length, const char* reason) = 0;
    // A record at offset that is not delivered: its head failed its CRC, its
    // length word cannot hold a head, or its body failed its check. Not told
    // for the header bytes met at the wrap position.
    virtual void rejectedRecord(std::int64_t offset, std::span<const std::uint8_t, 292> head, bool headCrcGood,
                                const char* reason) {
        (void)offset, (void)head, (void)headCrcGood, (void)reason;
    }
    // The record at offset runs past the end of the file: the data ends there.
    virtual void truncatedRecord(std::int64_t offset, std::int64_t bytesPresent) { (void)offset, (void)bytesPresent; }
    // Reading goes on at the start of the data area.
    virtual void wrapped(std::int64_t fromOffset) { (void)fromOffset; }
};

enum class StoreAccess {
    Recover,  // a recovery: header write-backs, syncs and console lines
    Inspect,  // a look at the file: the cursor moves in memory only and prints nothing
};

struct StoreFile {
    // Given at open.
    std::string storeFileName;
    bool dumpMode = false;
    StoreAccess access = StoreAccess::Recover;
    CursorReporter* reporter = nullptr;
    // ZENTO_SF_SYNC, read once when the file is opened.
    platform::StoreSync syncPolicy = platform::StoreSync::AtClose;

    // The file and its header.
    std::int32_t storeFileHandle = -1;
    std::int64_t fileSize = 0;
    std::int32_t headerType = -1;
    StoreFileHeader header = {};

    // The cursor.
    std::int64_t readPosition = 0;
    Message currentMsg;
    bool moreMessages = true;
    // The cursor has ended the recovery: the data ended, or (with faulted)
    // the header could not be written back time after time.
    bool stopRequested = false;
    // The header could not be written or synced: the recovery ends without
    // the end-of-file notice and with a failure code.
    bool faulted = false;
    // The header was written since it was last synced to the disk.
    bool headerUnsynced = false;
    std::uint32_t progressCounter = 0;
    ReadOutcome lastReadOutcome = ReadOutcome::None;
    // Ring reading in this run: the first record delivered, the furthest
    // position read since the last time reading went back, and whether it
    // has gone back once.
    std::int64_t lapStartOffset = -1;
    std::int64_t lapMark = -1;
    bool lapWrapped = false;
    std::uint32_t failedRemovals = 0;  // header write-backs of removals that failed in a row
};

struct StoreOpenOptions {
    bool dumpMode = false;
    CursorReporter* reporter = nullptr;
};

// Back to the start values of a recovery that has not opened its file; a
// message still held is released.
void resetStoreFile(StoreFile& store);

// Sets store up to walk a file already open on handle, whose header was read
// and judged by the caller, without ever writing to it.
void inspectWithCursor(StoreFile& store, std::int32_t handle, std::int64_t fileSize, std::int32_t headerType,
                       const StoreFileHeader& header, CursorReporter* reporter);

// Whether the store file's console lines are printed (not in an inspection).
inline bool storeSpeaks(const StoreFile& store) { return store.access == StoreAccess::Recover; }
