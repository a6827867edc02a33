#pragma once
// The scan list file "<client dir>ZENTO_SCAN_LIST.<service>" (snf/snf_config.h):
// a 12-byte header (signature 0x5A5AA5A6, revision, entry count); the entries
// in use in slot order, each a 168-byte ScanListEntry followed by its request
// of requestLength bytes; from revision 2 on, then for the same entries in
// the same order a 20-byte ScanEntryTags followed by tagCount x 8 bytes of
// deadbands (lists/list_records.h). Revision 2 is written, 1 and 2 are read.
//
// A save puts the whole new file in place at once or leaves the old one
// (snf/list_files_io.h); saving a table with no entry in use removes the
// file. Both routines empty the caller's status first, report a failure as
// its code (snf/list_files_codes.h) after the cause's entries, and file the
// scan list report (diag/list_reports.h).
#include <cstdint>

#include "lists/list_tables.h"
#include "msglib/status_block.h"

void saveScanList(ScanList& table, ScanTagArray& tags, const char* fileName, StatusBlock& status);

// A missing file is no error and loads nothing. The entries go to slots 0 on,
// each in use with its request and flag164 made 0 unless it is 0 or 1;
// highestEntry becomes the entry count. With rebuild 1 each entry's
// word156 is cleared and its dummy-tag copy made, carrying the list id
// without its sign. Revision 2 gives each entry its deadbands, with tag
// states and last values zeroed and sized for its request; revision 1 leaves
// every entry without tag state.
//
// A slot that is loaded drops its old request together with the tag state
// kept for it, and holds tag state only once all of it is in place: on a
// failure the slot being loaded keeps no tag state and what was read before
// stays. A failure among the entries leaves highestEntry as it was; one among
// the tag records leaves it at the entry count.
void loadScanList(ScanList& table, ScanTagArray& tags, const char* fileName, std::int32_t rebuild,
                  StatusBlock& status);
