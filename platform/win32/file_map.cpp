// Views by CreateFileMappingA and MapViewOfFile. A page that cannot be read
// while the view is held (a disk or a network share failing under it) raises
// EXCEPTION_IN_PAGE_ERROR in the visiting thread. A vectored handler takes it
// only while that thread visits, and sends the thread, once the system's
// exception dispatch is over, into a landing function that jumps back into
// visitMapped, which drops the view and fails. The visit's own frames hold
// nothing that needs destroying.
#include "platform/file_map.h"

#include <cerrno>
#include <mutex>

#include "platform/file_ops.h"
#include "platform/win32/windows_api.h"

namespace platform {

namespace {

// GCC's own jump buffer: the jump leaves the runtime's setjmp alone, and is
// taken from a function other than the one that set it, as it must be.
using JumpBuffer = void* [5];

thread_local JumpBuffer* tVisitJump = nullptr;

[[noreturn]] void landFromPageError() { __builtin_longjmp(*tVisitJump, 1); }

// The faulting instruction becomes a call of landFromPageError: the return
// address pushed is never used, it only keeps the stack as a call leaves it.
LONG CALLBACK onPageError(EXCEPTION_POINTERS* exception) {
    if (tVisitJump == nullptr || exception->ExceptionRecord->ExceptionCode != EXCEPTION_IN_PAGE_ERROR) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT& context = *exception->ContextRecord;
#if defined(_M_X64) || defined(__x86_64__)
    context.Rsp = (context.Rsp & ~DWORD64{15}) - sizeof(DWORD64);
    *reinterpret_cast<DWORD64*>(context.Rsp) = context.Rip;
    context.Rip = reinterpret_cast<DWORD64>(&landFromPageError);
#else
    context.Esp -= sizeof(DWORD);
    *reinterpret_cast<DWORD*>(context.Esp) = context.Eip;
    context.Eip = reinterpret_cast<DWORD>(&landFromPageError);
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool guardInstalled() {
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] { installed = AddVectoredExceptionHandler(1, onPageError) != nullptr; });
    return installed;
}

// Kept apart so that nothing of visitMapped's own frame changes between the
// jump's set-up and its return.
__attribute__((noinline)) bool guardedVisit(const std::uint8_t* bytes, std::size_t length, MappedVisit visit,
                                            void* context) {
    JumpBuffer jump;
    if (__builtin_setjmp(jump) != 0) {
        tVisitJump = nullptr;
        return false;
    }
    tVisitJump = &jump;
    visit(bytes, length, context);
    tVisitJump = nullptr;
    return true;
}

bool failWithLastError() {
    errno = win32::errnoOf(GetLastError());
    return false;
}

}  // namespace

std::int64_t mapAlignment() {
    static const std::int64_t granularity = [] {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        return info.dwAllocationGranularity > 0 ? std::int64_t{info.dwAllocationGranularity} : std::int64_t{65536};
    }();
    return granularity;
}

bool visitMapped(int handle, std::int64_t offset, std::size_t length, MappedVisit visit, void* context) {
    if (&fileOps() != &systemFileOps() || !guardInstalled()) {
        errno = ENOSYS;
        return false;
    }
    if (length == 0 || offset < 0 || offset % mapAlignment() != 0) {
        errno = EINVAL;
        return false;
    }
    const HANDLE file = win32::osHandleOf(handle);
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    // A mapping as long as the file is now; a view beyond its end is refused.
    const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) return failWithLastError();
    const LARGE_INTEGER at = win32::largeInteger(offset);
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(at.HighPart), at.LowPart, length);
    if (view == nullptr) {
        const bool failed = failWithLastError();
        CloseHandle(mapping);
        return failed;
    }
    const bool visited = guardedVisit(static_cast<const std::uint8_t*>(view), length, visit, context);
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    if (!visited) errno = EIO;
    return visited;
}

}  // namespace platform
