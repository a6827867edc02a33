// Loading a scan list file of arbitrary bytes, with and without rebuilding
// the dummy-tag copies.
//
// What must hold: a slot holds tag state only with all of it (deadbands,
// states and values sized for its tag count), whatever the load's outcome; a
// successful load gives the promised entries in slots 0 on, each in use with
// its whole request and a 0/1 flag164, and highestEntry is their count; a
// failed one leaves highestEntry as it was, or at the entry count when the
// entries were read and a tag record failed. What loads saves and loads back
// the same. No handle stays open.
#include <cstring>

#include "fuzz/list_files_fuzz.h"
#include "lists/list_records.h"
#include "scanlist/scan_list_file.h"

namespace {

void checkTagState(const ScanTagArray& tags) {
    for (const ScanEntryTags& t : tags) {
        if (t.tagCount == 0) continue;
        FUZZ_CHECK(t.deadbands.size == std::uint64_t{t.tagCount} * 8);
        FUZZ_CHECK(t.tagStates.size == std::uint64_t{t.tagCount} * 12);
        FUZZ_CHECK(static_cast<bool>(t.lastValues));
    }
}

bool sameBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

bool sameEntries(const ScanList& a, const ScanTagArray& aTags, const ScanList& b, const ScanTagArray& bTags,
                 std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t first[kScanListEntryBytes];
        std::uint8_t second[kScanListEntryBytes];
        encodeScanListEntry(a.slots[i], first);
        encodeScanListEntry(b.slots[i], second);
        const Message& aRequest = a.slots[i].requestMsg;
        const Message& bRequest = b.slots[i].requestMsg;
        if (!sameBytes(first, second, sizeof first) || aRequest.size != bRequest.size ||
            !sameBytes(aRequest.data(), bRequest.data(), aRequest.size) || aTags[i].tagCount != bTags[i].tagCount ||
            !sameBytes(aTags[i].deadbands.data(), bTags[i].deadbands.data(), aTags[i].deadbands.size)) {
            return false;
        }
    }
    return true;
}

void loadOnce(std::span<const std::uint8_t> bytes, const std::string& path, std::int32_t rebuild) {
    auto table = newScanList();
    auto tags = newScanTagArray();
    FUZZ_CHECK(table != nullptr && tags != nullptr);
    StatusBlock status;
    loadScanList(*table, *tags, path.c_str(), rebuild, status);
    checkTagState(*tags);
    const std::optional<std::uint32_t> count = listfuzz::promisedEntries(bytes);
    if (statusFailed(status)) {
        FUZZ_CHECK(table->highestEntry == 0 || (count && table->highestEntry == *count));
        return;
    }
    FUZZ_CHECK(count && *count <= kListSlots && table->highestEntry == *count);
    const std::uint32_t revision = decodeU32(bytes.data() + 4);
    for (std::uint32_t i = 0; i < *count; ++i) {
        const ScanListEntry& e = table->slots[i];
        FUZZ_CHECK(e.inUse == 1 && e.flag164 <= 1);
        FUZZ_CHECK(e.requestMsg.size == e.requestLength);
        if (revision == 1) FUZZ_CHECK((*tags)[i].tagCount == 0);
        if (rebuild == 1) FUZZ_CHECK(e.word156 == 0 && static_cast<bool>(e.dummyTagMsg));
    }
    if (revision != 2) return;
    const std::string again = fuzzsupport::home() + "/ZENTO_SCAN_LIST_AGAIN.FUZZ";
    saveScanList(*table, *tags, again.c_str(), status);
    FUZZ_CHECK(!statusFailed(status));
    auto back = newScanList();
    auto backTags = newScanTagArray();
    loadScanList(*back, *backTags, again.c_str(), rebuild, status);
    FUZZ_CHECK(!statusFailed(status));
    FUZZ_CHECK(back->highestEntry == *count);
    FUZZ_CHECK(sameEntries(*table, *tags, *back, *backTags, *count));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    listfuzz::prepare();
    const std::size_t descriptors = fuzzsupport::openDescriptorCount();
    const std::span<const std::uint8_t> bytes(data, size);
    const std::string path = listfuzz::writeListFile("ZENTO_SCAN_LIST.FUZZ", bytes);
    loadOnce(bytes, path, 0);
    loadOnce(bytes, path, 1);
    FUZZ_CHECK(fuzzsupport::openDescriptorCount() == descriptors);
    return 0;
}
