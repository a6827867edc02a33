#pragma once
// The list reports: a task changed, loaded, saved or removed one of its list
// tables or files, or failed to. Success shows the table, one two-line row
// per entry in use with an arrow on the entry concerned; failure shows the
// operation and the status block as text. Category "LOGIC", codes 7014 to
// 7063.
//
// Arguments: the table; the slot concerned by operations 1 and 2 (-1 for
// none); the operation (1 entry added or modified, 2 entry removed, 3 file
// loaded, 4 file saved, 5 file removed); the file name, nullptr or "" for
// none (shown as "**********", cut to 255 characters); the status block of
// the operation, a failure when its first error code is above 0.
//
// A report is made only when diagnostics are on, the table is given, the
// running task keeps that list (scan: scanner or store task; unsol: store
// task; store: store or forward task), and the operation is 1 to 5. The scan
// and unsol reports need a block; the store report takes none as success,
// and reports the removal of an entry only while its existsInList is set.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "lists/list_tables.h"
#include "msglib/status_block.h"

namespace diag {

void reportScanListChange(const ScanList* list, std::int32_t entry, std::int32_t operation, const char* fileName,
                          const StatusBlock* status);
void reportUnsolListChange(const UnsolList* list, std::int32_t entry, std::int32_t operation, const char* fileName,
                           const StatusBlock* status);
void reportStoreListChange(const StoreList* list, std::int32_t entry, std::int32_t operation, const char* fileName,
                           const StatusBlock* status);

// Where the list reports take their text buffers (new, without throwing, by
// default). A source that gives nullptr stands for memory that cannot be had;
// installing nullptr restores the default.
using ReportBufferSource = std::unique_ptr<char[]> (*)(std::size_t bytes);
void installReportBufferSource(ReportBufferSource source);

}  // namespace diag
