#pragma once
// The unsol and store list files, the changes of their tables entry by entry,
// the store list dump, and the list id of the scan list's entries. Files are
// "<client dir>ZENTO_UNSOL_LIST.<service>" and
// "<client dir>ZENTO_STORE_LIST.<service>" (snf/snf_config.h): a 12-byte
// header (signature, revision 1, entry count) and the entries in use in
// slot order, 140 and 1152 bytes each (lists/list_records.h).
//
// Every routine empties the caller's status first and reports a failure as
// its code (snf/list_files_codes.h) after the cause's entries. Changes,
// loads, saves and removals are filed as list reports (diag/list_reports.h).
// A save puts the whole new file in place at once or leaves the old one
// (snf/list_files_io.h); saving a table with no entry in use removes the
// file.
#include <cstdint>
#include <cstdio>

#include "lists/list_tables.h"
#include "msglib/message.h"
#include "msglib/status_block.h"

// Gives every scan list entry in use of the list id (either sign) the id, in
// the entry and in its stored request. A negative id does nothing; a request
// that cannot take the id ends the routine with the library's status.
void setScanEntryListId(ScanList& table, std::int32_t listId, StatusBlock& status);

// Adds an entry for the client that sent request (its request source), or
// refreshes the entry of that client and list id (either sign), which then
// holds listId as given. The third argument is not read. 13620 when the
// table is full.
void addUnsolEntry(UnsolList& table, std::int32_t listId, std::int32_t unused, const AddressRecord& destination,
                   MsgView request, std::uint32_t flag, StatusBlock& status);
// Frees the first entry of the list id (either sign) for the client that sent
// request; 13005 when there is none.
void removeUnsolEntry(UnsolList& table, std::int32_t listId, MsgView request, StatusBlock& status);
void saveUnsolList(UnsolList& table, const char* fileName, StatusBlock& status);
// A missing file is no error and loads nothing. The entries go to slots 0 on,
// each in use, flag136 made 0 unless it is 0 or 1; highestEntry becomes the
// entry count. On a failure what was read stays and highestEntry does not
// change.
void loadUnsolList(UnsolList& table, const char* fileName, StatusBlock& status);

// Marks the entry of entry.msgDest as in the list and on disk, or copies the
// whole entry into a free slot. 13620 when the table is full.
void addStoreEntry(StoreList& table, const StoreListEntry& entry, StatusBlock& status);
// Files the removal report of the destination's entry and, with diagnostics
// on, the notice that the store task was told to remove its store file. The
// table does not change.
void notifyStoreFileRemoval(const StoreList& table, const AddressRecord& destination, StatusBlock& status);
// Sets isAcked of every entry it saves.
void saveStoreList(StoreList& table, const char* fileName, StatusBlock& status);
// A missing file is 13050. Each entry is prepared for a task starting anew:
// closed (FileHandle -1, offset 0), acknowledged, communication good, in the
// list and on disk, no retry due, its store file named and sized by the
// destination's current configuration (StoreFileName, GetSnfMaxSize,
// GetSnfMaxPeriod), flag1144 and flag1148 made 0 unless 0 or 1.
void loadStoreList(StoreList& table, const char* fileName, StatusBlock& status);
// Loads the list, then reads the file again and prints its header and every
// entry as stored (not as prepared) on out; the table is left holding the
// entries as stored. Nothing is printed when a load or read fails.
void dumpStoreList(StoreList& table, const char* fileName, StatusBlock& status);
void dumpStoreList(StoreList& table, const char* fileName, std::FILE* out, StatusBlock& status);
