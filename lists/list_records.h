#pragma once
// The list records as the list files hold them: fixed little-endian layouts,
// encoded and decoded field by field. The 32-bit address fields of the layouts
// (the request, the dummy-tag copy, the tag arrays) are written as 0 and
// ignored when read: an address means nothing on disk, and the buffers follow
// the records in the file or are rebuilt when it is loaded.
#include <cstddef>
#include <cstdint>
#include <span>

#include "lists/list_tables.h"

constexpr std::size_t kScanListEntryBytes = 168;
constexpr std::size_t kScanEntryTagsBytes = 20;
constexpr std::size_t kUnsolListEntryBytes = 140;
constexpr std::size_t kStoreListEntryBytes = 1152;

// requestLength is written as the entry holds it; the request itself follows
// the record in a scan list file.
void encodeScanListEntry(const ScanListEntry& entry, std::span<std::uint8_t, kScanListEntryBytes> out);
// The decoded entry holds no request and no dummy-tag copy.
ScanListEntry decodeScanListEntry(std::span<const std::uint8_t, kScanListEntryBytes> in);

void encodeScanEntryTags(const ScanEntryTags& tags, std::span<std::uint8_t, kScanEntryTagsBytes> out);
// tagCount and word4; the arrays are empty.
ScanEntryTags decodeScanEntryTags(std::span<const std::uint8_t, kScanEntryTagsBytes> in);

void encodeUnsolListEntry(const UnsolListEntry& entry, std::span<std::uint8_t, kUnsolListEntryBytes> out);
UnsolListEntry decodeUnsolListEntry(std::span<const std::uint8_t, kUnsolListEntryBytes> in);

void encodeStoreListEntry(const StoreListEntry& entry, std::span<std::uint8_t, kStoreListEntryBytes> out);
// FileName always ends in a NUL within its 1024 bytes: a name that fills the
// field loses its last byte rather than running into the fields after it.
StoreListEntry decodeStoreListEntry(std::span<const std::uint8_t, kStoreListEntryBytes> in);
// Every field but FileName, into entry: for a load, which names the store
// file anew.
void decodeStoreListFields(std::span<const std::uint8_t, kStoreListEntryBytes> in, StoreListEntry& entry);
