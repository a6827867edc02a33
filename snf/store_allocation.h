#pragma once
// Store file allocation and sizing: a store file is made at its full size
// (MaxSize megabytes, less when the disk does not hold it), with its space
// really taken on the disk, then given a fresh empty header. Both routines
// tell what they did only through the kernel debug log.
//
// While either has the file open, nobody else of the system can open it
// ("no sharing": platform/disk_files.h).
#include <cstdint>

#include "msglib/status_block.h"

constexpr std::int32_t kMinStoreFileMiB = 1;
constexpr std::int32_t kMaxStoreFileMiB = 1000000;
constexpr std::int64_t kStoreMiB = 1048576;
constexpr std::int64_t kDiskSafetyMargin = 10 * kStoreMiB;  // left free by a reduced allocation
constexpr std::int32_t kAllocationDiagCode = 7079;

// Free space is that of the store directory (the client environment
// directory when none is set).
void allocateStoreFile(const char* path, std::int32_t sizeMiB);
void initializeStoreFile(const char* path, std::int32_t sizeMiB, StatusBlock& status);
// Refuses to cut the file below its header's last offset plus a megabyte, and
// to shrink a file whose first header block is not sound.
void setStoreFileSize(const char* path, std::int32_t sizeMiB);

// Gives an open store file (a handle of zento_s_file_open) its length with
// the space taken, as allocation does. False when the disk has no room for
// it, the Windows error then in zento_GetLastError(). tag names the caller in
// the line that says when the file system could only set the length.
bool takeStoreFileSpace(std::int32_t handle, std::int64_t length, const char* tag);
