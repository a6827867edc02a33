// The replacing rename with the Windows call itself. MOVEFILE_WRITE_THROUGH
// returns once the move is on the disk, so the directory needs no sync of
// its own (NTFS journals its entries).
#include "platform/file_replace.h"

#include <cerrno>

#include "platform/win32/windows_api.h"

namespace platform {

namespace {

int systemReplace(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    return win32::errnoOf(GetLastError());
}

int systemSyncDirectory(const char*) { return 0; }

constexpr ReplaceOps kSystemReplaceOps = {systemReplace, systemSyncDirectory};

}  // namespace

const ReplaceOps& systemReplaceOps() { return kSystemReplaceOps; }

}  // namespace platform
