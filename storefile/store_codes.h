#pragma once
// The store file subsystem's error codes (facility 13, kFacilityStore). A
// failing call loads its cause first (the runtime's errno as facility 1, or
// the code of the primitive it called), then its own code.
#include <cstdint>

namespace storecode {
// File primitives.
constexpr std::int32_t kOpenFailed = 13153;        // open failed other than for a missing file
constexpr std::int32_t kSizeSeekFailed = 13154;    // the seek to the end failed
constexpr std::int32_t kSeekFailed = 13159;        // a seek (or a positioned call's offset) was refused
constexpr std::int32_t kFileMissing = 13161;       // the file does not exist
constexpr std::int32_t kNotRegularFile = 13162;    // a directory, FIFO or device, not a regular file
constexpr std::int32_t kReadBadHandle = 13180;     // read on a handle that is not open
constexpr std::int32_t kReadNoBuffer = 13181;      // read without a buffer
constexpr std::int32_t kReadFailed = 13182;        // read failed or met the end of the file
constexpr std::int32_t kWriteBadHandle = 13200;    // write on a handle that is not open
constexpr std::int32_t kWriteNoBuffer = 13201;     // write without a buffer
constexpr std::int32_t kWriteFailed = 13202;       // write failed or was cut short
constexpr std::int32_t kCloseFailed = 13210;       // close failed
constexpr std::int32_t kSyncFailed = 13220;        // flushing the file to the disk failed

// Records.
constexpr std::int32_t kAppendSeekFailed = 13340;  // appendRecord: seek failed
constexpr std::int32_t kAppendNoMemory = 13341;    // appendRecord: no memory for the record
constexpr std::int32_t kAppendWriteFailed = 13342; // appendRecord: write failed, or the message's length word is not its size
constexpr std::int32_t kRecordSeekFailed = 13402;  // a record read was refused its offset
constexpr std::int32_t kRecordBodyReadFailed = 13512; // a record body could not be read whole
constexpr std::int32_t kBodyCheckFailed = 13530;   // the body check word is not 0
constexpr std::int32_t kHeadCrcFailed = 13531;     // the head CRC does not match the message head
constexpr std::int32_t kHeadReadFailed = 13532;    // the 304-byte record head could not be read whole

// Opening and closing.
constexpr std::int32_t kLockFailed = 13407;        // openStoreFile: the lock step failed
constexpr std::int32_t kStoreOpenFailed = 13408;   // openStoreFile: the open failed
constexpr std::int32_t kLengthUnknown = 13410;     // openStoreFile: the file's length could not be found
constexpr std::int32_t kHeaderNotLoaded = 13411;   // openStoreFile: the header read or validation failed
constexpr std::int32_t kUnlockFailed = 13455;      // MasterFileClose: the unlock step failed
constexpr std::int32_t kStoreCloseFailed = 13456;  // MasterFileClose: the close failed
constexpr std::int32_t kStoreSyncFailed = 13457;   // MasterFileClose: the header could not be synced to the disk

// The header.
constexpr std::int32_t kHeaderUnusable = 13510;    // both blocks bad, or the forward offset outside the file
constexpr std::int32_t kHeaderSeekFailed = 13511;  // the seek to offset 0 failed
constexpr std::int32_t kHeaderReadFailed = 13512;  // header area unreadable, of no known type, or unusable
constexpr std::int32_t kHeaderWriteSeekFailed = 13520; // the seek before a header write failed
constexpr std::int32_t kHeaderWriteFailed = 13521; // a header write failed

// The cursor.
constexpr std::int32_t kMessageNoMemory = 13405;   // readNextMessage: no memory for the message
constexpr std::int32_t kBodyReadFailed = 13406;    // readNextMessage: the body read failed (not its check)
constexpr std::int32_t kNextHeadReadFailed = 13411; // readNextMessage: the head read failed (not its CRC)
constexpr std::int32_t kEndOfData = 13412;         // readNextMessage: no further message
constexpr std::int32_t kReadHeaderWriteFailed = 13414; // readNextMessage: the header write-back failed
constexpr std::int32_t kNoMessageHeld = 13452;     // removeLastMsg: no message held
constexpr std::int32_t kRemovalWriteFailed = 13453; // removeLastMsg: the header write-back failed
}  // namespace storecode
