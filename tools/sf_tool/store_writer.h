#pragma once
// Makes and fills store files with a type-2 header, through the same file
// primitives and record format the system uses, so the bytes on disk are the
// system's own. Files are opened under the store file name lock.
#include <cstdint>
#include <string>

#include "msglib/message.h"
#include "storefile/store_format.h"
#include "tools/sf_tool/record_placement.h"

// An empty store file: linear when ringMiB is 0, else a zero-filled ring of
// ringMiB MiB. An existing non-empty file is kept unless overwrite is set.
bool createStoreFile(const std::string& path, std::uint32_t ringMiB, bool overwrite, std::string& error);

struct StoreWriter {
    std::int32_t handle = -1;
    std::string path;
    StoreFileHeader header{};
    StoreExtent extent;
};

// Opens a store file made by createStoreFile (any type-2 file with a sound
// header) and finds where its newest record ends.
bool openStoreWriter(StoreWriter& writer, const std::string& path, std::string& error);
// Stores one message as a record and rewrites the header, so the file is
// consistent after every message. False, with the header unchanged, when the
// ring is full, the message does not fit, or a write fails.
bool appendStoredMessage(StoreWriter& writer, MsgView message, std::string& error);
void closeStoreWriter(StoreWriter& writer);

// "facility=F error=E" for each entry of the block, for error texts.
std::string describeStatus(const StatusBlock& status);
