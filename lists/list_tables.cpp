#include "lists/list_tables.h"

#include <new>

bool allocateBytes(OwnedBytes& buffer, std::uint32_t size) {
    buffer.bytes.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]());
    buffer.size = buffer.bytes ? size : 0;
    return buffer.bytes != nullptr;
}

void releaseBytes(OwnedBytes& buffer) {
    buffer.bytes.reset();
    buffer.size = 0;
}

std::unique_ptr<ScanList> newScanList() { return std::unique_ptr<ScanList>(new (std::nothrow) ScanList()); }
std::unique_ptr<UnsolList> newUnsolList() { return std::unique_ptr<UnsolList>(new (std::nothrow) UnsolList()); }
std::unique_ptr<StoreList> newStoreList() { return std::unique_ptr<StoreList>(new (std::nothrow) StoreList()); }
std::unique_ptr<ScanTagArray> newScanTagArray() {
    return std::unique_ptr<ScanTagArray>(new (std::nothrow) ScanTagArray());
}

void clearScanEntryTags(ScanEntryTags& tags) {
    releaseBytes(tags.deadbands);
    releaseBytes(tags.tagStates);
    releaseBytes(tags.lastValues);
    tags.tagCount = 0;
    tags.word4 = 0;
}

void releaseScanRequest(ScanListEntry& entry, ScanEntryTags& tags) {
    releaseMessage(entry.requestMsg);
    releaseMessage(entry.dummyTagMsg);
    clearScanEntryTags(tags);
}
