#pragma once
// What a recovery did, told at its end however it ended: one summary line,
// and when stored data was skipped or is missing, one line that says so
// plainly. The exit code stays what the run's end makes it.
#include <cstdint>
#include <optional>
#include <string>

#include "storefile/store_format.h"

enum class RunEnd {
    AllForwarded,  // the last stored message left the file
    EndOfData,     // the cursor found no further message
    Shutdown,      // a SHUT request
    StopSignal,    // SIGTERM or SIGINT
    Unreadable,    // stored data could not be read on
    HeaderFault,   // the header could not be written or synced
};

struct RunFacts {
    RunEnd end = RunEnd::EndOfData;
    std::string storeFileName;
    std::string shutdownSource;  // Shutdown: "SERVICE on node NODE"
    std::uint64_t forwarded = 0;
    std::uint64_t resends = 0;
    std::uint64_t takenOutUnsent = 0;  // messages that could never go, taken out as damage
    std::uint64_t skippedRanges = 0;   // damaged ranges, those messages included
    std::uint64_t skippedBytes = 0;
    std::int64_t forwardOffset = 0;
    bool messageOutstanding = false;   // sent and not acknowledged when the run ended
    std::int64_t fileSize = 0;
    std::int64_t lastOffset = 0;       // the end of the data the header names
    std::int64_t truncatedOffset = -1; // a record the end of the file cut off
    std::int64_t truncatedBytes = 0;
    // The messages the header counted as waiting when the run began, where
    // it counts them.
    std::optional<std::uint64_t> waitingAtStart;
};

// The messages a header counts as not yet forwarded: none for a header that
// keeps no count (the DUMP default, a writer that kept none) or whose count
// is past its total.
std::optional<std::uint64_t> messagesWaiting(const StoreFileHeader& header, std::int32_t headerType);

std::string summaryLine(const RunFacts& facts);
// Empty when every stored message was forwarded or stays in the file.
std::string lossLine(const RunFacts& facts);
