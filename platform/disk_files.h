#pragma once
// Whole-file work of the support routines, with Windows results: free disk
// space (GetDiskFreeSpaceExA), files opened without sharing (CreateFileA),
// their length set and their space really taken (SetFilePointer,
// SetEndOfFile), and removal and renaming (DeleteFileA, remove, rename).
// A failing call returns false (or -1) and leaves its Windows error number in
// lastSystemError() (platform/file_ops.h, platform/windows_errors.h).
//
// "No sharing" over POSIX: a file opened here holds an exclusive flock for as
// long as it is open, taken without waiting, so a second such open fails with
// ERROR_SHARING_VIOLATION. Other openers of the system take the shared lock
// with shareOpenFile(), which fails the same way while the exclusive one is
// held, and in turn keeps the exclusive open out while they have the file.
// flock locks belong to the open file, so two opens within one process
// exclude each other as two processes do.
#include <cstdint>

namespace platform {

// The bytes the calling user may still write on the file system of the
// directory (statvfs: f_bavail * f_frsize).
bool freeBytesAvailable(const char* directory, std::uint64_t& bytes);

enum class FileDisposition { CreateAlways, OpenExisting };
// CreateAlways makes the file or empties an existing one (only once the
// exclusive lock is held). A directory is refused with ERROR_ACCESS_DENIED.
// The handle, or -1.
int createFileNoSharing(const char* path, bool readAccess, FileDisposition disposition);
// Moves the file position; a negative one fails with ERROR_NEGATIVE_SEEK.
bool setFilePointer(int handle, std::int64_t position);
enum class EndOfFile {
    Set,          // the file ends at the position, its space taken on the disk
    PlainLength,  // the file system cannot reserve space: the length is set alone
    Failed,       // nothing changed (ERROR_DISK_FULL, ...)
};
// Ends the file at its position. Growth reserves the new space, so a full
// disk shows here rather than at a later write; a failure leaves the length
// as it was.
EndOfFile setEndOfFile(int handle);
// Reads up to count bytes at the position; got says how many came.
bool readFile(int handle, void* buffer, std::uint32_t count, std::uint32_t& got);
bool closeFileHandle(int handle);
bool deleteFile(const char* path);
// The file's length, or -1 when it cannot be found out.
std::int64_t fileLength(const char* path);

// The shared side of "no sharing", for the system's other opens of a file.
bool shareOpenFile(int handle);

// True when the file can be opened for reading.
bool fileReadable(const char* path);
// Renames without replacing an existing target (Windows' rename refuses it;
// POSIX's would silently drop the target).
bool renameFile(const char* from, const char* to);

// The calls under the routines above that tests fail on purpose: the
// free-space query and the reservation of a file's space. Results are errno
// values (0 for success).
struct DiskOps {
    int (*freeSpace)(const char* directory, std::uint64_t& bytes);
    int (*reserve)(int handle, std::int64_t offset, std::int64_t length);
};
const DiskOps& systemDiskOps();
void installDiskOps(const DiskOps* ops);  // nullptr restores systemDiskOps()

}  // namespace platform
