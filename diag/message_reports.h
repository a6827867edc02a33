#pragma once
// The message reports of the store-and-forward tasks (scanner 1, store 2,
// forward 3) in the diagnostic log, category "LOGIC". Each is made only when
// ZENTO_DIAG_LOGSTATE says diagnostics are on, and otherwise costs that one
// call. Reports read their arguments and change nothing; failures of their
// own library calls are dropped. A message with no bytes at all (a null
// view) counts as no message. Texts are cut at 2,048 bytes.
#include <cstdint>

#include "lists/list_tables.h"
#include "msglib/message.h"
#include "msglib/status_block.h"

namespace diag {

// 7004: the scan task sends the regular GET request of scan list entry
// `entry`; frequency in tenths of a second.
void reportScanRequest(MsgView message, std::int32_t listId, std::int32_t tagInformation, std::int32_t frequency,
                       std::int32_t entry);

// 7005 to 7013: one receive of a task, with ZENTO_SERVER_RECEIVE's result
// and the block it filled (nullptr: none).
void reportReceive(std::int32_t taskKind, std::int32_t result, MsgView message, const StatusBlock* status);

// 7070 to 7074, 7084, 7085: one send of a task.
void reportSent(std::int32_t taskKind, MsgView message, std::int32_t resent, const StatusBlock* status);

// 7064 to 7067: the store task found the entry `index` of its scan list (a
// GET reply) or unsol list (an unsolicited reply) that message answers.
void reportReplyLocated(const ScanList* scanList, const UnsolList* unsolList, MsgView message, std::int32_t index,
                        std::int32_t unchanged);

}  // namespace diag
