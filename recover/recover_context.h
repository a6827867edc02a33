#pragma once
// The one process-wide record of a recovery. The program keeps one for its
// lifetime; tests build their own.
#include <cstdint>
#include <string>

#include "msglib/message.h"
#include "msglib/records.h"
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

// What an operator reads in the final summary line.
struct RecoveryStats {
    std::uint64_t forwarded = 0;      // messages acknowledged and removed
    std::uint64_t resends = 0;        // sends after the first of a message
    std::uint64_t skippedRanges = 0;  // damaged ranges the cursor stepped over
    std::uint64_t skippedBytes = 0;
};

struct RecoverContext {
    // Command line.
    char serviceName[32] = {};
    std::string storeFileName;
    std::int32_t sendTimeout = 50;
    bool dumpMode = false;
    bool nodeRedirect = false;
    char redirectNodeName[34] = {};

    // Main loop.
    std::int32_t taskKind = 0;
    AddressRecord selfAddress = {};
    AddressRecord destinationAddress = {};
    bool stopRequested = false;
    // Set with stopRequested when stored data could not be read on, or when
    // the header could not be written or synced: the recovery ends without
    // the end-of-file notice and with a failure code.
    bool dataUnreadable = false;
    bool moreMessages = true;
    bool lastMsgAcked = true;

    // Store file.
    std::int32_t storeFileHandle = -1;
    std::int64_t fileSize = 0;
    std::int32_t headerType = -1;
    StoreFileHeader header = {};

    // Cursor.
    std::int64_t readPosition = 0;
    Message currentMsg;
    std::uint32_t progressCounter = 0;
    ReadOutcome lastReadOutcome = ReadOutcome::None;
    // Ring reading in this run: the first record delivered, the furthest
    // position read since the last time reading went back, and whether it
    // has gone back once.
    std::int64_t lapStartOffset = -1;
    std::int64_t lapMark = -1;
    bool lapWrapped = false;
    std::uint32_t failedRemovals = 0;  // header write-backs of removals that failed in a row

    // Forwarding.
    bool retryPending = false;
    TimeStamp ackDeadline = {};
    bool retryLogged = false;
    TimeStamp lastRetryLogTime = {};
    std::int32_t lastRetryError = 0;
    char deviceName[32] = {};
    // The number stamped on the outstanding message at its first send (its
    // resends carry the same), and the next one to hand out (0: not seeded).
    std::uint32_t outstandingTransNum = 0;
    std::uint32_t nextTransNum = 0;

    RecoveryStats stats;
};
