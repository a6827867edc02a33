// Loading and dumping a store list file of arbitrary bytes.
//
// What must hold: the load succeeds exactly when the header is whole,
// promises at most 15,000 entries and the file holds them all; then the
// entries are in slots 0 on, each prepared (closed, at offset 0, in the list
// and on disk, acknowledged, its store file named after its destination, its
// flags 0 or 1) and highestEntry is their count; a failed load leaves
// highestEntry as it was. The dump succeeds exactly when the load does. What
// loads saves and loads back the same. No handle stays open.
#include <cstring>

#include "fuzz/list_files_fuzz.h"
#include "lists/list_records.h"
#include "snf/list_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    listfuzz::prepare();
    const std::size_t descriptors = fuzzsupport::openDescriptorCount();
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string path = listfuzz::writeListFile("ZENTO_STORE_LIST.FUZZ", bytes);
    auto table = newStoreList();
    FUZZ_CHECK(table != nullptr);
    StatusBlock status;
    loadStoreList(*table, path.c_str(), status);

    const std::optional<std::uint32_t> count = listfuzz::promisedEntries(bytes);
    const bool whole = count && *count <= kListSlots && size >= 12 + std::uint64_t{*count} * kStoreListEntryBytes;
    FUZZ_CHECK(statusFailed(status) != whole);
    if (!whole) {
        FUZZ_CHECK(table->highestEntry == 0);
    } else {
        FUZZ_CHECK(table->highestEntry == *count);
        for (std::uint32_t i = 0; i < *count; ++i) {
            const StoreListEntry& e = table->slots[i];
            FUZZ_CHECK(e.FileHandle == -1 && e.offset == 0 && e.needToRetry == 0);
            FUZZ_CHECK(e.existsInList == 1 && e.existsInDisk == 1 && e.isAcked == 1 && e.isComOk == 1);
            FUZZ_CHECK(e.flag1144 <= 1 && e.flag1148 <= 1);
            FUZZ_CHECK(std::strcmp(e.FileName, StoreFileName(e.msgDest)) == 0);
        }
        const std::string again = fuzzsupport::home() + "/ZENTO_STORE_LIST_AGAIN.FUZZ";
        saveStoreList(*table, again.c_str(), status);
        FUZZ_CHECK(!statusFailed(status));
        auto back = newStoreList();
        loadStoreList(*back, again.c_str(), status);
        // Saving an empty list removes its file, which a store list load
        // reports.
        FUZZ_CHECK(statusFailed(status) == (*count == 0));
        for (std::uint32_t i = 0; i < *count; ++i) {
            std::uint8_t first[kStoreListEntryBytes];
            std::uint8_t second[kStoreListEntryBytes];
            encodeStoreListEntry(table->slots[i], first);
            encodeStoreListEntry(back->slots[i], second);
            FUZZ_CHECK(std::memcmp(first, second, sizeof first) == 0);
        }
    }
    // The dump loads and reads the file again; it prints to standard output,
    // which the fuzz process sends nowhere.
    auto dumped = newStoreList();
    dumpStoreList(*dumped, path.c_str(), status);
    FUZZ_CHECK(statusFailed(status) != whole);
    FUZZ_CHECK(fuzzsupport::openDescriptorCount() == descriptors);
    return 0;
}
