#pragma once
// Scan entry creation: a GET request recorded in the scan list with its tag
// state, and the request's dummy-tag copy.
#include <cstdint>
#include <span>

#include "lists/list_tables.h"
#include "msglib/message.h"
#include "msglib/records.h"
#include "msglib/status_block.h"

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
