#include "snf/list_files.h"

#include <cinttypes>
#include <cstring>
#include <optional>

#include "diag/list_reports.h"
#include "lists/list_records.h"
#include "lists/list_rules.h"
#include "msglib/msglib.h"
#include "snf/file_removal.h"
#include "snf/list_files_codes.h"
#include "snf/list_files_io.h"
#include "snf/snf_cfg_lookup.h"
#include "snf/snf_codes.h"
#include "snf/snf_config.h"
#include "snf/snf_text.h"

namespace {

using namespace listcode;

constexpr std::int32_t kNotifyDiagnosticCode = 7079;

// A 0/1 flag read from a file: anything else becomes 0.
std::uint32_t flagOf(std::uint32_t value) { return value <= 1 ? value : 0; }

template <class Entry>
std::uint32_t entriesInUse(const ListTable<Entry>& table) {
    std::uint32_t count = 0;
    const std::uint32_t searched = searchedSlots(table.highestEntry);
    for (std::uint32_t i = 0; i < searched; ++i) count += slotInUse(table.slots[i]) ? 1 : 0;
    return count;
}

constexpr ListSaveRules kUnsolSave = {
    kUnsolListSignature, 1, kSaveNullName, kSaveEmptyName, kSaveOpenFailed, kSaveHeaderFailed, kSaveCloseFailed,
    kSaveRemoveFailed, nullptr, nullptr, nullptr, nullptr, false, kSnfUnsolListFile};

constexpr ListLoadRules kUnsolLoad = {kUnsolLoadNullName, kUnsolLoadEmptyName, kUnsolLoadOpenFailed,
                                      kUnsolLoadHeaderFailed, kUnsolLoadCloseFailed, 0, nullptr, 0, 0, 0, 0, 0};

constexpr ListSaveRules kStoreSave = {kStoreListSignature,
                                      1,
                                      kStoreSaveNullName,
                                      kStoreSaveEmptyName,
                                      kStoreSaveOpenFailed,
                                      kStoreSaveHeaderFailed,
                                      kStoreSaveCloseFailed,
                                      kSaveRemoveFailed,
                                      "Save store. No messages to save. Open READONLY file %s\n",
                                      "Save store. No messages to save, marked delete file found %s\n",
                                      "Messages to save. Open READ|WRITE|CREATE file %s\n",
                                      "Messages to save. Error in Open READ|WRITE|CREATE file %s\n",
                                      true,
                                      kSnfStoreListFile};

constexpr ListLoadRules kStoreLoad = {kStoreLoadNullName,
                                      kStoreLoadEmptyName,
                                      kStoreLoadOpenFailed,
                                      kStoreLoadHeaderFailed,
                                      kStoreLoadCloseFailed,
                                      kStoreLoadMissing,
                                      "Load. Open READONLY scan file %s\n",
                                      0,
                                      0,
                                      0,
                                      0,
                                      0};

// Reads entryCount store list entries into slots 0 on; prepare makes each
// ready for use. False (the failure loaded) when one cannot be read.
template <class Prepare>
bool readStoreEntries(StoreList& table, ListFileReader& reader, const ListFileHeader& header, Prepare&& prepare,
                      StatusBlock& status) {
    StatusBlock step;
    for (std::uint32_t i = 0; i < header.entryCount; ++i) {
        const std::uint8_t* at = reader.take(kStoreListEntryBytes, step);
        if (at == nullptr) {
            appendStatusEntries(step, status);
            ZENTO_SERVER_LDBLK(kFacilityStore, kStoreLoadEntryFailed, status);
            return false;
        }
        prepare(std::span<const std::uint8_t, kStoreListEntryBytes>(at, kStoreListEntryBytes), table.slots[i]);
    }
    table.highestEntry = header.entryCount;
    return true;
}

// What every entry of one load shares: its store files' directory (looked up
// at the first entry, as a list without entries never asked for it) and the
// configuration already looked up.
struct StoreLoadContext {
    std::optional<StoreFileDirectory> directory;
    SnfCfgLookup configuration;
};

// The entry as a task starts with it. The stored file name is not read: the
// entry gets its destination's name in today's directory.
void prepareLoadedStoreEntry(StoreLoadContext& context, std::span<const std::uint8_t, kStoreListEntryBytes> in,
                             StoreListEntry& entry) {
    decodeStoreListFields(in, entry);
    entry.isAcked = 1;
    entry.needToRetry = 0;
    entry.FileHandle = -1;
    entry.offset = 0;
    if (!context.directory) context.directory = storeFileDirectory();
    storeFileNameInto(*context.directory, entry.msgDest, entry.FileName);
    entry.isComOk = 1;
    entry.existsInList = 1;
    entry.existsInDisk = 1;
    const SnfCfgValues values = lookUpSnfCfg(context.configuration, entry.msgDest);
    entry.maxSize = values.maxSize;
    entry.maxPeriod = values.maxPeriod;
    entry.flag1144 = flagOf(entry.flag1144);
    entry.flag1148 = flagOf(entry.flag1148);
}

void printStoreList(const StoreList& table, const ListFileHeader& header, std::FILE* out) {
    std::fprintf(out, "Signature = %d, Revision = %d, Number of Entries = %d\n\n", static_cast<int>(header.signature),
                 static_cast<int>(header.revision), static_cast<int>(header.entryCount));
    for (std::uint32_t i = 0; i < header.entryCount; ++i) {
        const StoreListEntry& e = table.slots[i];
        const std::string_view name = fixedText(e.FileName, sizeof e.FileName);
        const std::string_view node = fixedText(e.msgDest.node, sizeof e.msgDest.node);
        const std::string_view service = fixedText(e.msgDest.service, sizeof e.msgDest.service);
        std::fprintf(out,
                     "Entry %d\nFileName = *%.*s*\nFileHandle = %d\noffset = %" PRId64 "\nmsgDest = %.*s-%.*s\n"
                     "isComOk = %d\nisAcked = %d\nexistsInList = %d\nexistsInDisk = %d\nneedToRetry = %d\n"
                     "maxSize = %d\nmaxPeriod = %d\nexpirationTime = %d.%d\n\n",
                     static_cast<int>(i), static_cast<int>(name.size()), name.data(), static_cast<int>(e.FileHandle),
                     e.offset, static_cast<int>(node.size()), node.data(), static_cast<int>(service.size()),
                     service.data(), static_cast<int>(e.isComOk), static_cast<int>(e.isAcked),
                     static_cast<int>(e.existsInList), static_cast<int>(e.existsInDisk),
                     static_cast<int>(e.needToRetry), static_cast<int>(e.maxSize), static_cast<int>(e.maxPeriod),
                     static_cast<int>(e.expirationTime.seconds), static_cast<int>(e.expirationTime.milliseconds));
    }
}

}  // namespace

void setScanEntryListId(ScanList& table, std::int32_t listId, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    if (listId < 0) return;
    const std::uint32_t searched = searchedSlots(table.highestEntry);
    for (std::uint32_t i = 0; i < searched; ++i) {
        ScanListEntry& entry = table.slots[i];
        if (!slotInUse(entry) || !matchesListId(entry.listId, listId)) continue;
        entry.listId = listId;
        ZENTO_SERVER_SET_LISTID(entry.requestMsg.span(), listId, status);
        if (statusFailed(status)) return;
    }
}

void addUnsolEntry(UnsolList& table, std::int32_t listId, std::int32_t /*unused*/, const AddressRecord& destination,
                   MsgView request, std::uint32_t flag, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const AddressRecord source = ZENTO_SERVER_REQSRC(request);
    const SlotSearch found = searchSlots(table, [&](const UnsolListEntry& entry) {
        return matchesListId(entry.listId, listId) && sameAddress(entry.requestSource, source) == 1;
    });
    const std::int32_t slot = takeSlot(table, ListKind::Unsol, found, status);
    if (slot >= 0) {
        UnsolListEntry& entry = table.slots[static_cast<std::uint32_t>(slot)];
        entry.listId = listId;
        entry.inUse = 1;
        entry.flag136 = flag;
        entry.destination = destination;
        entry.requestSource = source;
    }
    diag::reportUnsolListChange(&table, slot, 1, nullptr, &status);
}

void removeUnsolEntry(UnsolList& table, std::int32_t listId, MsgView request, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const std::int32_t slot = findUnsolEntry(table, listId, ZENTO_SERVER_REQSRC(request));
    if (slot < 0) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kNoSuchEntry, status);
        return;
    }
    diag::reportUnsolListChange(&table, slot, 2, nullptr, &status);
    UnsolListEntry& entry = table.slots[static_cast<std::uint32_t>(slot)];
    entry.destination = AddressRecord{};
    entry.requestSource = AddressRecord{};
    entry.listId = 0;
    entry.inUse = 0;
}

void saveUnsolList(UnsolList& table, const char* fileName, StatusBlock& status) {
    saveListFile(
        kUnsolSave, fileName, entriesInUse(table),
        [&](ListFileWriter& writer) {
            const std::uint32_t searched = searchedSlots(table.highestEntry);
            for (std::uint32_t i = 0; i < searched; ++i) {
                if (!slotInUse(table.slots[i])) continue;
                std::uint8_t* at = writer.reserve(kUnsolListEntryBytes, kSaveEntryFailed);
                if (at == nullptr) return;
                encodeUnsolListEntry(table.slots[i],
                                     std::span<std::uint8_t, kUnsolListEntryBytes>(at, kUnsolListEntryBytes));
            }
        },
        [&](std::int32_t action, const StatusBlock& outcome) {
            diag::reportUnsolListChange(&table, -1, action, fileName, &outcome);
        },
        status);
}

void loadUnsolList(UnsolList& table, const char* fileName, StatusBlock& status) {
    loadListFile(
        kUnsolLoad, fileName,
        [&](ListFileReader& reader, const ListFileHeader& header, StatusBlock& outcome) {
            StatusBlock step;
            for (std::uint32_t i = 0; i < header.entryCount; ++i) {
                const std::uint8_t* at = reader.take(kUnsolListEntryBytes, step);
                if (at == nullptr) {
                    appendStatusEntries(step, outcome);
                    ZENTO_SERVER_LDBLK(kFacilityStore, kUnsolLoadEntryFailed, outcome);
                    return;
                }
                UnsolListEntry& slot = table.slots[i];
                slot =
                    decodeUnsolListEntry(std::span<const std::uint8_t, kUnsolListEntryBytes>(at, kUnsolListEntryBytes));
                slot.inUse = 1;
                slot.flag136 = flagOf(slot.flag136);
            }
            table.highestEntry = header.entryCount;
        },
        [&](std::int32_t action, const StatusBlock& outcome) {
            diag::reportUnsolListChange(&table, -1, action, fileName, &outcome);
        },
        status);
}

void addStoreEntry(StoreList& table, const StoreListEntry& entry, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const SlotSearch found = searchSlots(
        table, [&](const StoreListEntry& listed) { return sameAddress(listed.msgDest, entry.msgDest) == 1; });
    const std::int32_t slot = takeSlot(table, ListKind::Store, found, status);
    if (slot >= 0) {
        StoreListEntry& listed = table.slots[static_cast<std::uint32_t>(slot)];
        if (slot == found.match) {
            listed.existsInList = 1;
            listed.existsInDisk = 1;
        } else {
            listed = entry;
        }
    }
    diag::reportStoreListChange(&table, slot, 1, nullptr, &status);
}

void notifyStoreFileRemoval(const StoreList& table, const AddressRecord& destination, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    const std::int32_t slot = findStoreEntry(table, destination);
    if (slot < 0) return;
    diag::reportStoreListChange(&table, slot, 2, nullptr, &status);
    if (ZENTO_DIAG_LOGSTATE() != 0) return;
    const StoreListEntry& entry = table.slots[static_cast<std::uint32_t>(slot)];
    const std::string_view name = fixedText(entry.FileName, sizeof entry.FileName);
    char text[kSnfLineSize];
    formatSnfLine(text, "KV.58 Store task notified to remove Store file\n  List Entry   = %d\n  Store File   = %.*s",
                  static_cast<int>(slot), static_cast<int>(name.size()), name.data());
    StatusBlock own;
    ZENTO_DIAG_LOG("LOGIC", kNotifyDiagnosticCode, text, own);
}

void saveStoreList(StoreList& table, const char* fileName, StatusBlock& status) {
    saveListFile(
        kStoreSave, fileName, entriesInUse(table),
        [&](ListFileWriter& writer) {
            const std::uint32_t searched = searchedSlots(table.highestEntry);
            for (std::uint32_t i = 0; i < searched; ++i) {
                StoreListEntry& entry = table.slots[i];
                if (!slotInUse(entry)) continue;
                entry.isAcked = 1;
                std::uint8_t* at = writer.reserve(kStoreListEntryBytes, kStoreSaveEntryFailed);
                if (at == nullptr) return;
                encodeStoreListEntry(entry, std::span<std::uint8_t, kStoreListEntryBytes>(at, kStoreListEntryBytes));
            }
        },
        [&](std::int32_t action, const StatusBlock& outcome) {
            diag::reportStoreListChange(&table, -1, action, fileName, &outcome);
        },
        status);
}

void loadStoreList(StoreList& table, const char* fileName, StatusBlock& status) {
    loadListFile(
        kStoreLoad, fileName,
        [&](ListFileReader& reader, const ListFileHeader& header, StatusBlock& outcome) {
            StoreLoadContext context;
            readStoreEntries(
                table, reader, header,
                [&](std::span<const std::uint8_t, kStoreListEntryBytes> in, StoreListEntry& slot) {
                    prepareLoadedStoreEntry(context, in, slot);
                },
                outcome);
        },
        [&](std::int32_t action, const StatusBlock& outcome) {
            diag::reportStoreListChange(&table, -1, action, fileName, &outcome);
        },
        status);
}

void dumpStoreList(StoreList& table, const char* fileName, StatusBlock& status) {
    dumpStoreList(table, fileName, stdout, status);
}

void dumpStoreList(StoreList& table, const char* fileName, std::FILE* out, StatusBlock& status) {
    loadStoreList(table, fileName, status);
    if (statusFailed(status)) return;
    logListDiagnostic("Dump. Open READONLY scan file %s\n", fileName);
    ListFileReader reader;
    StatusBlock step;
    if (!reader.open(fileName, step)) {
        appendStatusEntries(step, status);
        ZENTO_SERVER_LDBLK(kFacilityStore,
                           lastErrorCode(step) == snfcode::kFileMissing ? kStoreLoadMissing : kStoreLoadOpenFailed,
                           status);
        return;
    }
    const std::uint8_t* at = reader.take(kListHeaderBytes, step);
    if (at == nullptr) {
        appendStatusEntries(step, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kStoreLoadHeaderFailed, status);
    } else {
        const ListFileHeader header =
            decodeListHeader(std::span<const std::uint8_t, kListHeaderBytes>(at, kListHeaderBytes));
        if (header.entryCount > kListSlots) {
            ZENTO_SERVER_LDBLK(kFacilityStore, kStoreLoadHeaderFailed, status);
        } else if (readStoreEntries(
                       table, reader, header,
                       [](std::span<const std::uint8_t, kStoreListEntryBytes> in, StoreListEntry& slot) {
                           slot = decodeStoreListEntry(in);
                       },
                       status)) {
            printStoreList(table, header, out);
        }
    }
    reader.close(step);
    if (statusFailed(step)) {
        appendStatusEntries(step, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kStoreLoadCloseFailed, status);
    }
}
