#pragma once
// The file primitives every store-and-forward file goes through: open under
// the cross-process name lock of the path's extension, exact reads and
// writes, positioned seeks, the size query, close.
#include <cstdint>
#include <string_view>

#include "msglib/status_block.h"

// Flag bits of zento_s_file_open: the runtime library's.
constexpr int kOpenWriteOnly = 0x0001;
constexpr int kOpenReadWrite = 0x0002;
constexpr int kOpenCreate = 0x0100;
constexpr int kOpenTruncate = 0x0200;
constexpr int kOpenText = 0x4000;

std::string_view lockNameOf(std::string_view path);
void acquireNameLock(std::string_view path, StatusBlock& status);
void releaseNameLock(std::string_view path, StatusBlock& status);

// Refuses anything but a regular file (13162): a FIFO or a device would
// block the caller or never end.
std::int32_t zento_s_file_open(const char* path, int flags, StatusBlock& status);
void closeStoreFileHandle(std::int32_t handle, StatusBlock& status);
std::int64_t seekStoreFile(std::int32_t handle, std::int64_t offset, int origin, StatusBlock& status);
std::int64_t storeFileSize(std::int32_t handle, StatusBlock& status);
std::int64_t readExact(std::int32_t handle, void* buffer, std::int64_t n, StatusBlock& status);
std::int64_t writeExact(std::int32_t handle, const void* buffer, std::int64_t n, StatusBlock& status);
// The same at offset, in positioned calls that leave the file position alone:
// one system call where a seek and a transfer took two. A negative offset is
// refused as a seek would refuse it (facility 1 EINVAL, then 13159).
std::int64_t readExactAt(std::int32_t handle, std::int64_t offset, void* buffer, std::int64_t n,
                         StatusBlock& status);
std::int64_t writeExactAt(std::int32_t handle, std::int64_t offset, const void* buffer, std::int64_t n,
                          StatusBlock& status);
// True when the status ends with that refusal (or a failed seek's 13159).
bool offsetRefused(const StatusBlock& status);
// Flushes what was written to the disk (fsync); 13220 after the runtime's
// error when it fails.
void syncStoreFile(std::int32_t handle, StatusBlock& status);
void lockStoreFile(std::int32_t handle, const char* path, std::int64_t length, StatusBlock& status);
void unlockStoreFile(std::int32_t handle, std::int64_t length, StatusBlock& status);
void LogWinError(const char* tag, const char* text, std::uint32_t error);
