#pragma once
// A read-only look at a store file: its header blocks, and the records a
// recovery would forward, found by walking from the forward offset as the
// message cursor does (linear or ring reading, forward search over damaged
// data, the wrap) without changing a byte of the file.
#include <cstdint>
#include <string>
#include <vector>

#include "storefile/store_format.h"

struct HeaderCheck {
    std::int32_t type = -1;  // 0, 1, 2; -1 unknown
    std::uint32_t blockSize = 0;
    bool complete = false;  // the file holds both blocks and their CRC words
    bool primaryCrcGood = false;
    bool backupCrcGood = false;
    bool blocksEqual = false;
    std::uint32_t primaryStored = 0, primaryComputed = 0;
    std::uint32_t backupStored = 0, backupComputed = 0;
    bool usingBackup = false;  // the primary block is bad and the backup is used
    bool usable = false;       // a recovery accepts the header (without DUMP)
    StoreFileHeader header{};  // in the type-2 layout, from the block in use
};

enum class WalkEventKind {
    Record,   // a record the recovery would forward
    BadHead,  // a record position whose head or body check failed
    Damaged,  // bytes the forward search steps over
    Wrap,     // the reading continues at the start of the data area
};

struct WalkEvent {
    WalkEventKind kind = WalkEventKind::Record;
    std::int64_t offset = 0;
    std::int64_t size = 0;          // Damaged: bytes; Record and BadHead: the length word
    std::int32_t transType = 0;     // Record and BadHead
    bool headCrcGood = true;        // BadHead: false when the head CRC failed
    std::string note;               // why a head is bad or a range damaged
    // Record: as the recovery's forwarding sees it. A record that cannot go
    // at all is taken out unsent; one whose body does not parse is sent as
    // stored, though its destination cannot read it either.
    bool takenOutUnsent = false;
    bool parses = true;
    std::string forwardNote;        // why it is taken out, or does not parse
};

// How the walk ended, that is what the recovery does after the last record.
enum class WalkEnd {
    LastMessage,       // the record at lastMsgOffset was removed: end-of-file notice
    EndOfData,         // no further record: end-of-file notice
    BeyondLastOffset,  // linear reading stands past lastOffset: end-of-file notice
    Unreadable,        // a read failed or a record cannot hold its head: the recovery stops
    Stuck,             // the forward offset can move no further: the recovery stops
    Loop,              // a record would be delivered twice: the header leads nowhere
};

struct InspectReport {
    std::string path;
    std::int64_t fileSize = 0;
    HeaderCheck check;
    // Set when the header stops a recovery at start-up; the walk then shows
    // what DUMP mode would read with its default header instead.
    std::string startupRefusal;
    bool walkedWithDefaultHeader = false;
    bool walked = false;
    std::vector<WalkEvent> events;
    WalkEnd end = WalkEnd::EndOfData;
    std::uint64_t records = 0;
    std::uint64_t recordBytes = 0;   // messages, prefixes included
    std::uint64_t damagedRanges = 0;
    std::uint64_t damagedBytes = 0;
    std::uint64_t unparsable = 0;      // records whose body does not parse
    std::uint64_t takenOutUnsent = 0;  // records a recovery cannot forward
    std::vector<std::string> problems;  // empty for a sound file
    std::vector<std::string> notes;     // worth knowing, not damage

    bool sound() const { return problems.empty(); }
    std::uint64_t forwarded() const { return records - takenOutUnsent; }
};

// False only when the file cannot be opened or read at all (error says why).
bool inspectStoreFile(const std::string& path, InspectReport& report, std::string& error);

// The offsets of the records the walk delivers, in order.
std::vector<std::int64_t> deliveredOffsets(const InspectReport& report);
