// Loading an unsol list file of arbitrary bytes.
//
// What must hold: the load succeeds exactly when the header is whole,
// promises at most 15,000 entries and the file holds them all; then the
// entries are in slots 0 on, each in use with a 0/1 flag, and highestEntry
// is their count; a failed load leaves highestEntry as it was. What loads
// saves and loads back the same. No handle stays open.
#include <cstring>

#include "fuzz/list_files_fuzz.h"
#include "lists/list_records.h"
#include "snf/list_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    listfuzz::prepare();
    const std::size_t descriptors = fuzzsupport::openDescriptorCount();
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string path = listfuzz::writeListFile("ZENTO_UNSOL_LIST.FUZZ", bytes);
    auto table = newUnsolList();
    FUZZ_CHECK(table != nullptr);
    StatusBlock status;
    loadUnsolList(*table, path.c_str(), status);

    const std::optional<std::uint32_t> count = listfuzz::promisedEntries(bytes);
    const bool whole = count && *count <= kListSlots && size >= 12 + std::uint64_t{*count} * kUnsolListEntryBytes;
    FUZZ_CHECK(statusFailed(status) != whole);
    if (!whole) {
        FUZZ_CHECK(table->highestEntry == 0);
    } else {
        FUZZ_CHECK(table->highestEntry == *count);
        for (std::uint32_t i = 0; i < *count; ++i) {
            FUZZ_CHECK(table->slots[i].inUse == 1);
            FUZZ_CHECK(table->slots[i].flag136 <= 1);
        }
        const std::string again = fuzzsupport::home() + "/ZENTO_UNSOL_LIST_AGAIN.FUZZ";
        saveUnsolList(*table, again.c_str(), status);
        FUZZ_CHECK(!statusFailed(status));
        auto back = newUnsolList();
        loadUnsolList(*back, again.c_str(), status);
        FUZZ_CHECK(!statusFailed(status));
        FUZZ_CHECK(back->highestEntry == *count);
        for (std::uint32_t i = 0; i < *count; ++i) {
            std::uint8_t first[kUnsolListEntryBytes];
            std::uint8_t second[kUnsolListEntryBytes];
            encodeUnsolListEntry(table->slots[i], first);
            encodeUnsolListEntry(back->slots[i], second);
            FUZZ_CHECK(std::memcmp(first, second, sizeof first) == 0);
        }
    }
    FUZZ_CHECK(fuzzsupport::openDescriptorCount() == descriptors);
    return 0;
}
