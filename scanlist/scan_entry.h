#pragma once
// Scan entry creation: a GET request recorded in the scan list with its tag
// state, and the request's dummy-tag copy.
#include <cstdint>
#include <span>

#include "lists/list_tables.h"
#include "msglib/message.h"
#include "msglib/records.h"
#include "msglib/status_block.h"

// Records the GET request in the scan list: in the slot in use of the same
// list id (either sign) and client (the request's source, sameAddress), else
// in the first free slot, else in a new slot (lists/list_rules.h). The slot
// gets a copy of the request, whose destination and reply destination become
// the given ones, the list id and frequency as given, the request's reply
// destination and source as it came, and extraValue as flag164. With
// secondPairs (tagCount x 8 deadbands) and tagCount >= 1 the slot's tag
// state is set up: the deadbands, and zeroed status records and values, as
// many bytes as the request's template describes. With dummyTagFlag 1 the
// slot also gets the request's dummy-tag copy, addressed alike, whose list
// id is the absolute value of a negative one (the most negative id, which
// has none, is kept as it is).
//
// The add is whole or nothing: everything is made before the slot is
// touched, so a failure leaves the slot as it was (an entry reused keeps its
// old request) rather than an entry in use that lacks its request, its
// client or its tag state. A table with no slot to take fails with
// kListTableFull (lists/list_rules.h), overwriting nothing.
//
// Returns the slot used, or -1 when the add failed. Either way the change is
// reported to the scan list diagnostics (added or modified).
std::int32_t addScanEntry(ScanList& list, ScanTagArray& tags, std::int32_t listId, std::int32_t frequency,
                          const AddressRecord& destination, const AddressRecord& replyDestination, MsgView request,
                          std::int32_t dummyTagFlag, std::uint32_t tagCount, std::span<const std::uint8_t> secondPairs,
                          std::uint32_t extraValue, StatusBlock& status);

// The dummy-tag copy of a GET request: the request with every tag name
// replaced by "-" and its length word telling the shorter length; the
// descriptor table is copied unchanged, so that the copy no longer parses
// as a request and only its head and list id are meant to be read. Any
// message dummy held is freed first; it stays empty on failure.
//
// The names' width and number are those of the request's layout (its name
// block over its tag count), so the names always count out whole and the
// copy is made of the bytes before the names and the new ones: a name width
// of 1 (empty names) gives a copy longer than the request, never a read past
// it. A request the library cannot read (such as a dummy-tag copy) fails
// with the library's causes and kDummyNoNames rather than giving no copy
// without a word.
void makeDummyTagMessage(MsgView request, Message& dummy, StatusBlock& status);
