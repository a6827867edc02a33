#pragma once
// Scan list update from the declare and cancel requests of unsolicited
// lists: the store task's handler that keeps, for every such list a client
// declared with a negative frequency, an equivalent GET request in the scan
// list.
#include <cstdint>

#include "lists/list_tables.h"
#include "msglib/message.h"
#include "msglib/records.h"
#include "msglib/status_block.h"

// Handles a declare (transaction type 4) or cancel (5) request: works out
// the list's new tag set (tag_sets.h), builds its GET request in the
// library's GET request layout, and records it in the list's slot: a new
// slot for a list declared afresh (scan_entry.h), or the slot's request and
// tag state replaced. The GET request built is handed out in *builtRequest,
// a view of a buffer of this thread's that lives until the next build here;
// *builtRequest is empty when none was built.
//
// destination and replyDestination address the stored request (and its
// dummy-tag copy, made when dummyTagFlag is 1 or the slot has one);
// extraValue goes with a new entry (flag164).
//
// Returns the slot created, changed or removed, or -1 when the scan list was
// left as it was. Nothing is done without a request, an out-argument or a
// status block.
//
// Departures from the bare steps, each for a fault they would have:
// - The device name, list id and request word of a listed list are copied
//   out of its stored request before that request can be freed; a list that
//   a declare records afresh (every old tag declared again) takes them, with
//   its pairs flag, from the declare, as a new list does.
// - A declare that changes a listed list's (negative) frequency gives the
//   slot that frequency too, so that the entry and its request agree.
// - The dummy-tag copy of a changed list is made again from the new request,
//   since the old copy names the old tags.
// - A changed slot is reported to the scan list diagnostics (added or
//   modified), as a new one is.
// - A frequency of -2^31 has no absolute value in 32 bits: the request
//   carries 2^31 - 1, the longest period it can.
// - The slot's request and tag state are replaced whole or not at all.
//
// When a step fails on a request its parser accepted, because the request
// (or the slot's stored request or tag state) is inconsistent — a data
// template that does not give one element per tag, pieces of the wrong size,
// a stored request that no longer parses — the message is dumped to the
// library log under "DEBUG" with the progress mark, then "Message dump:" and
// its bytes, and the stored request after "ScanList Msg Dump:" when a slot
// was found. Malformed requests fail their parse, memory failures and a
// full table fail with their codes, without a dump.
std::int32_t updateScanList(MsgView request, ScanList& list, ScanTagArray& tags, const AddressRecord& destination,
                            const AddressRecord& replyDestination, std::int32_t dummyTagFlag, MsgView* builtRequest,
                            std::uint32_t extraValue, StatusBlock* status);

// The lowest slot in use whose list id is listId or -listId and whose client
// is the request's source (sameAddress); -1 when there is none. Fails
// (facility 8) only for a request too short to name its source.
std::int32_t findScanEntry(const ScanList& list, std::int32_t listId, MsgView request, StatusBlock& status);

// Frees the slot findScanEntry finds (report to the scan list diagnostics
// first, removed): its request, dummy-tag copy and tag state. highestEntry
// drops to 0 when it was the only slot in use, else by one when it was the
// highest. Returns the slot, or -1 with kNoEntry.
std::int32_t removeScanEntry(ScanList& list, ScanTagArray& tags, std::int32_t listId, MsgView request,
                             StatusBlock& status);

// The step updateScanList last reached on this thread: '0' on entry, letters
// and signs through its steps, '*' at its end.
char updateScanListProgress();
