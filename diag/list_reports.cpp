#include "diag/list_reports.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "diag/name_tables.h"
#include "diag/report_text.h"
#include "msglib/msglib.h"
#include "msglib/task_kind.h"

namespace diag {

namespace {

constexpr std::size_t kFailureTextBytes = 2048;
// The file name is shown from a copy of this size, cut to fit.
constexpr std::size_t kFileNameCopyBytes = 256;
constexpr std::string_view kNoFileName = "**********";

// The first line, "\n" and the header lines, with room for the longest file
// name copy.
constexpr std::size_t kSuccessHeadBytes = 1024;
// A row's two lines at their widest (every number at its longest), besides
// a store file name.
constexpr std::size_t kRowBytes = 256;

std::unique_ptr<char[]> newBuffer(std::size_t bytes) { return std::unique_ptr<char[]>(new (std::nothrow) char[bytes]); }
ReportBufferSource bufferSource = newBuffer;

// The success report's buffer, kept by each thread for its next report: a
// full table's text is megabytes, which a task that reports often would
// otherwise take and touch afresh each time.
struct TableText {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
    std::size_t used = 0;

    // Room for more bytes behind those used; false when memory cannot be had.
    bool makeRoom(std::size_t more) {
        if (used + more <= capacity) return true;
        const std::size_t wanted = used + more > 2 * capacity ? used + more : 2 * capacity;
        std::unique_ptr<char[]> bigger = bufferSource(wanted);
        if (!bigger) return false;
        if (used > 0) std::memcpy(bigger.get(), bytes.get(), used);
        bytes = std::move(bigger);
        capacity = wanted;
        return true;
    }
    char* end() { return bytes.get() + used; }
    void endAt(char* at) { used = static_cast<std::size_t>(at - bytes.get()); }
};
thread_local TableText tableText;

const char* const kOperationWords[] = {"Updating entry", "Removing entry", "Loading %s file", "Saving %s file",
                                       "Removing %s file"};
const char* const kSuccessLines[] = {
    "\nKV.58 %s task added/modified entry %d in %s list", "\nKV.58 %s task removed entry %d in %s list",
    "\nKV.58 %s task loaded %s list from file %.*s", "\nKV.58 %s task saved %s list to file %.*s",
    "\nKV.58 %s task removing %s list file %.*s"};

// What tells the three reports apart.
struct ListWords {
    const char* list;         // "scan", "unsol", "store"
    const char* errorList;    // the list named in the failure line
    bool fileLineEndsLine;    // the standard output fallback's file name line
    std::string_view header;  // the three header lines
};

constexpr ListWords kScanWords = {
    "scan", "scan", false,
    "\n     Entry    Listid Frequency Type  Reply Destination              Requesting Source"
    "\n                     (sec)           Service/Node                   Service/Node"
    "\n---- -----    ------ --------- ----- ------------------------------ ------------------------------"};
constexpr ListWords kUnsolWords = {
    "unsol", "scan", false,
    "\n     Entry    Listid Reply Destination              Requesting Source"
    "\n                     Service/Node                   Service/Node"
    "\n---- -----    ------ ------------------------------ ------------------------------"};
constexpr ListWords kStoreWords = {
    "store", "store", true,
    "\n     Entry    Destination                    File name"
    "\n              Service/Node"
    "\n---- -----    ------------------------------ ------------------------------"};

// The part of the file name the 256-byte copy holds; empty for none.
std::string_view fileNameCopy(const char* fileName) { return boundedText(fileName, kFileNameCopyBytes - 1); }


// The row's first three columns: "\n%4d %5d %2s ".
char* putRowStart(char* at, std::int32_t ordinal, std::uint32_t slot, bool arrow) {
    *at++ = '\n';
    at = put::integer(at, ordinal, 4);
    *at++ = ' ';
    at = put::integer(at, slot, 5);
    *at++ = ' ';
    at = put::right(at, arrow ? "->" : "", 2);
    *at++ = ' ';
    return at;
}

// "%6d %9.1f %-5s %-30.30s %-30.30s", "\n" + 37 blanks + "%-30.30s %-30.30s".
char* putRow(char* at, const ScanListEntry& entry) {
    at = put::integer(at, entry.listId, 6);
    *at++ = ' ';
    at = put::tenths(at, entry.frequency, 9);
    *at++ = ' ';
    at = put::left(at, entry.frequency >= 0 ? "GET" : "UNSOL", 5, 5);
    *at++ = ' ';
    at = put::field30(at, entry.replyDestination.service);
    *at++ = ' ';
    at = put::field30(at, entry.requestSource.service);
    *at++ = '\n';
    at = put::blanks(at, 37);
    at = put::field30(at, entry.replyDestination.node);
    *at++ = ' ';
    return put::field30(at, entry.requestSource.node);
}

// "%6d %-30.30s %-30.30s", "\n" + 21 blanks + "%-30.30s %-30.30s".
char* putRow(char* at, const UnsolListEntry& entry) {
    at = put::integer(at, entry.listId, 6);
    *at++ = ' ';
    at = put::field30(at, entry.destination.service);
    *at++ = ' ';
    at = put::field30(at, entry.requestSource.service);
    *at++ = '\n';
    at = put::blanks(at, 21);
    at = put::field30(at, entry.destination.node);
    *at++ = ' ';
    return put::field30(at, entry.requestSource.node);
}

// "%-30.30s %-s", "\n" + 14 blanks + "%-30.30s".
char* putRow(char* at, const StoreListEntry& entry) {
    at = put::field30(at, entry.msgDest.service);
    *at++ = ' ';
    at = put::text(at, boundedText(entry.FileName, sizeof entry.FileName));
    *at++ = '\n';
    at = put::blanks(at, 14);
    return put::field30(at, entry.msgDest.node);
}

// In use as the reports see it.
bool shown(const ScanListEntry& entry) { return entry.inUse != 0; }
bool shown(const UnsolListEntry& entry) { return entry.inUse != 0; }
bool shown(const StoreListEntry& entry) { return entry.existsInList != 0; }

// A row reads the first few cache lines of its entry. Entries lie more than
// a kilobyte apart, so those of a later row are asked for early.
constexpr std::uint32_t kPrefetchAhead = 8;
template <class Entry>
void prefetchRow(const Entry& entry) {
    const char* at = reinterpret_cast<const char*>(&entry);
    for (std::size_t line = 0; line < sizeof(Entry) && line < 192; line += 64) __builtin_prefetch(at + line);
}

// The widest row of the list.
constexpr std::size_t rowBytes(const ScanListEntry*) { return kRowBytes; }
constexpr std::size_t rowBytes(const UnsolListEntry*) { return kRowBytes; }
constexpr std::size_t rowBytes(const StoreListEntry*) { return kRowBytes + kStoreFileNameBytes; }

void appendOperation(ReportText& text, const ListWords& words, std::int32_t operation) {
    char name[32];
    std::snprintf(name, sizeof name, kOperationWords[operation - 1], words.list);
    text.append(name);
}

void failureReport(const ListWords& words, std::int32_t code, std::int32_t operation, const char* fileName,
                   const StatusBlock& status) {
    const char* task = taskName(currentTaskKind());
    const std::string_view name = fileNameCopy(fileName);
    const char* blockText = nullptr;
    StatusBlock local;
    std::unique_ptr<char[]> buffer = bufferSource(kFailureTextBytes);
    if (!buffer) {
        char operationName[32];
        std::snprintf(operationName, sizeof operationName, kOperationWords[operation - 1], words.list);
        std::printf("\nKV.58 %s task detected the following %s list error while %s", task, words.errorList,
                    operationName);
        if (!name.empty()) {
            std::printf(words.fileLineEndsLine ? "\nUnsol list file name = %.*s\n" : "\nUnsol list file name = %.*s",
                        static_cast<int>(name.size()), name.data());
        }
        ZENTO_ERR_FMTBLK("XXXX", status, blockText, local);
        if (blockText != nullptr) std::printf("\n%s\n", blockText);
        std::fflush(stdout);
        return;
    }
    ReportText text(buffer.get(), kFailureTextBytes);
    text.format("\nKV.58 %s task detected the following %s list error while ", task, words.errorList);
    appendOperation(text, words, operation);
    // The one label of all three lists.
    if (!name.empty()) text.format("\nUnsol list file name = %.*s", static_cast<int>(name.size()), name.data());
    ZENTO_ERR_FMTBLK("XXXX", status, blockText, local);
    if (blockText != nullptr) text.format("\n%s", blockText);
    ZENTO_DIAG_LOG("LOGIC", code, text.text(), local);
}

void appendFirstLine(ReportText& text, const ListWords& words, std::int32_t entry, std::int32_t operation,
                     const char* fileName) {
    const char* task = taskName(currentTaskKind());
    if (operation <= 2) {
        text.format(kSuccessLines[operation - 1], task, static_cast<int>(entry), words.list);
        return;
    }
    std::string_view name = fileNameCopy(fileName);
    if (name.empty()) name = kNoFileName;
    text.format(kSuccessLines[operation - 1], task, words.list, static_cast<int>(name.size()), name.data());
}

template <class Entry>
void successReport(const ListTable<Entry>& list, const ListWords& words, std::int32_t code, std::int32_t entry,
                   std::int32_t operation, const char* fileName) {
    const std::uint32_t shownSlots = list.highestEntry < kListSlots ? list.highestEntry : kListSlots;
    StatusBlock local;
    // The Part's (n + 2) x 256 bytes cannot hold a row with a long store file
    // name: the text grows as its rows need instead, in one pass over the
    // table.
    TableText& out = tableText;
    out.used = 0;
    bool room = out.makeRoom(kSuccessHeadBytes);
    if (room) {
        ReportText head(out.end(), kSuccessHeadBytes);
        appendFirstLine(head, words, entry, operation, fileName);
        head.append("\n");
        head.append(words.header);
        out.used += head.text().size();
    }
    std::int32_t ordinal = 0;
    for (std::uint32_t i = 0; room && i < shownSlots; ++i) {
        if (i + kPrefetchAhead < shownSlots) prefetchRow(list.slots[i + kPrefetchAhead]);
        const Entry& slot = list.slots[i];
        if (!shown(slot)) continue;
        room = out.makeRoom(rowBytes(&slot) + put::kFieldSlack + 1);
        if (!room) break;
        char* at = putRowStart(out.end(), ++ordinal, i, entry >= 0 && static_cast<std::uint32_t>(entry) == i);
        out.endAt(putRow(at, slot));
    }
    if (!room) {
        // Without memory for the table the event is still filed, with its
        // first line alone.
        char fallback[kFailureTextBytes];
        ReportText text(fallback, sizeof fallback);
        appendFirstLine(text, words, entry, operation, fileName);
        text.append("\n(the list is not shown: no memory for its text)");
        ZENTO_DIAG_LOG("LOGIC", code, text.text(), local);
        return;
    }
    *out.end() = '\n';
    ++out.used;
    ZENTO_DIAG_LOG("LOGIC", code, {out.bytes.get(), out.used}, local);
}

// Failure and success codes of operation 1; the others follow in order.
struct ListCodes {
    std::int32_t failure;
    std::int32_t success[5];
};

template <class Entry>
void report(const ListTable<Entry>* list, const ListWords& words, const ListCodes* codes, std::int32_t entry,
            std::int32_t operation, const char* fileName, const StatusBlock* status) {
    if (codes == nullptr || operation < 1 || operation > 5) return;
    if (status != nullptr && statusFailed(*status)) {
        failureReport(words, codes->failure + operation - 1, operation, fileName, *status);
    } else {
        successReport(*list, words, codes->success[operation - 1], entry, operation, fileName);
    }
}

constexpr ListCodes kScanByScanner = {7014, {7019, 7020, 7021, 7022, 7023}};
constexpr ListCodes kScanByStore = {7024, {7029, 7030, 7031, 7032, 7033}};
// 7030, not 7040, for a removed entry: the number tools know it by.
constexpr ListCodes kUnsolByStore = {7034, {7039, 7030, 7041, 7042, 7043}};
constexpr ListCodes kStoreByStore = {7044, {7049, 7050, 7051, 7052, 7053}};
constexpr ListCodes kStoreByForward = {7054, {7059, 7060, 7061, 7062, 7063}};

}  // namespace

void installReportBufferSource(ReportBufferSource source) {
    bufferSource = source != nullptr ? source : newBuffer;
    tableText = TableText{};
}

void reportScanListChange(const ScanList* list, std::int32_t entry, std::int32_t operation, const char* fileName,
                          const StatusBlock* status) {
    if (ZENTO_DIAG_LOGSTATE() != 0 || list == nullptr || status == nullptr) return;
    const std::int32_t kind = currentTaskKind();
    const ListCodes* codes = kind == kTaskScanner ? &kScanByScanner : kind == kTaskStore ? &kScanByStore : nullptr;
    report(list, kScanWords, codes, entry, operation, fileName, status);
}

void reportUnsolListChange(const UnsolList* list, std::int32_t entry, std::int32_t operation, const char* fileName,
                           const StatusBlock* status) {
    if (ZENTO_DIAG_LOGSTATE() != 0 || list == nullptr || status == nullptr) return;
    const ListCodes* codes = currentTaskKind() == kTaskStore ? &kUnsolByStore : nullptr;
    report(list, kUnsolWords, codes, entry, operation, fileName, status);
}

void reportStoreListChange(const StoreList* list, std::int32_t entry, std::int32_t operation, const char* fileName,
                           const StatusBlock* status) {
    if (ZENTO_DIAG_LOGSTATE() != 0 || list == nullptr) return;
    const std::int32_t kind = currentTaskKind();
    const ListCodes* codes = kind == kTaskStore ? &kStoreByStore : kind == kTaskForward ? &kStoreByForward : nullptr;
    // The removal of an entry that is no longer listed is not reported (nor is
    // one of a slot outside the table).
    if (operation == 2 &&
        (entry < 0 || static_cast<std::uint32_t>(entry) >= kListSlots || list->slots[entry].existsInList == 0)) {
        return;
    }
    report(list, kStoreWords, codes, entry, operation, fileName, status);
}

}  // namespace diag
