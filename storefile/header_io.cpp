// Writing and reading the header pair at the start of an open store file.
#include <array>
#include <cstdio>
#include <span>

#include "msglib/coding.h"
#include "storefile/file_handle.h"
#include "storefile/header_pair.h"
#include "storefile/store_codes.h"
#include "storefile/store_file.h"
#include "storefile/store_format.h"

using namespace storecode;

// Written in the file's own generation. The pair goes out in the order that
// keeps one complete header readable at every moment (storefile/header_pair.cpp);
// reaching the disk is the caller's affair (a sync at the end of the recovery,
// or after every removal when asked for).
void writeStoreHeader(const StoreFile& store, const StoreFileHeader& header, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    switch (store.headerType) {
        case 2: writeHeaderPair(store.storeFileHandle, encodeType2(header), PairWriteMode::Recovery, status); break;
        case 1: writeHeaderPair(store.storeFileHandle, headerToType1(header), PairWriteMode::Recovery, status); break;
        case 0: writeHeaderPair(store.storeFileHandle, headerToType0(header), PairWriteMode::Recovery, status); break;
        default:
            // No header type was established: writing any layout could ruin
            // a header this process does not understand.
            std::printf("Warning: ERROR trying to write file header: error in WRITE.\n");
            ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderWriteFailed, status);
            return;
    }
}

// The same order as a recovery's rewrite: appending to a file rewrites its
// header too, and a crash there must not cost the file its header either.
void writeNewType2Header(int handle, const StoreFileHeader& header, StatusBlock& status) {
    writeHeaderPair(handle, encodeType2(header), PairWriteMode::NewFile, status);
}

StoreFileHeader readType2Header(int handle, StatusBlock& status) {
    ZENTO_SERVER_INITBLK(status);
    seekStoreFile(handle, 0, 0, status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderSeekFailed, status);
        return {};
    }
    std::array<std::uint8_t, 2 * kMaxHeaderBlock + 8> bytes{};
    readExact(handle, bytes.data(), static_cast<std::int64_t>(bytes.size()), status);
    if (statusFailed(status)) {
        ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderReadFailed, status);
        return {};
    }
    switch (checkType2Blocks(bytes)) {
        case 0:
        case 2: return decodeType2(std::span<const std::uint8_t, 92>(bytes.data(), 92));
        case 1: return decodeType2(std::span<const std::uint8_t, 92>(bytes.data() + 96, 92));
        default: ZENTO_SERVER_LDBLK(kFacilityStore, kHeaderUnusable, status); return {};
    }
}
