#pragma once
// One stored record read back and judged: the head first (does a message
// start here, and does it fit in the file), then the whole message. The
// cursor reacts to each verdict; whoever needs one message at a known offset
// (the end-of-file notice, the store file tool) takes both steps in one call.
#include <array>
#include <cstdint>

#include "msglib/message.h"
#include "msglib/status_block.h"
#include "storefile/store_format.h"

enum class HeadVerdict {
    Sound,       // a message head that fits in the file
    Unreadable,  // the head could not be read (status holds why)
    CrcFailed,   // the head does not match its CRC
    Unwritten,   // 292 zero bytes: space where nothing was written
    TooShort,    // the length word cannot hold the message head
    PastEnd,     // the message runs past the end of the file
};

struct RecordHead {
    std::array<std::uint8_t, kMessageHeadSize> bytes{};
    std::uint32_t bodyCheck = 0;
    std::uint32_t length = 0;  // the message's length word (valid from TooShort on)
};

HeadVerdict readJudgedHead(std::int32_t handle, std::int64_t fileSize, std::int64_t position, RecordHead& head,
                           StatusBlock& status);

// Reads the message of a sound head into msg. On failure msg is released and
// status ends with 13405 (no memory), 13530 (the body check failed) or the
// body read's codes.
bool readRecordMessage(std::int32_t handle, std::int64_t position, const RecordHead& head, Message& msg,
                       StatusBlock& status);

// The message stored at position, read whole and checked; false when none
// is there (status says why when a read failed).
bool readStoredMessage(std::int32_t handle, std::int64_t fileSize, std::int64_t position, Message& msg,
                       StatusBlock& status);
