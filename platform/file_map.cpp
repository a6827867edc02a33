// Views by mmap. Every page is read in with MADV_POPULATE_READ before the
// visit, which reports a page that cannot be read as an error rather than a
// SIGBUS, and maps the whole view in one call rather than a fault per few
// pages. A page can still fail while the view is held (the file truncated
// under it by a process that ignores the name lock, a page dropped under
// memory pressure whose second read fails): that SIGBUS ends the visit
// through a jump back into visitMapped, which drops the view and fails. The
// visit's own frames hold nothing that needs destroying.
#include "platform/file_map.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/file_ops.h"

namespace platform {

namespace {

thread_local sigjmp_buf* tVisitJump = nullptr;
struct sigaction gPreviousSigbus {};

// A SIGBUS of a visit ends the visit; any other goes to the disposition that
// was there before, when the faulting instruction runs again on return.
void onSigbus(int, siginfo_t*, void*) {
    if (tVisitJump != nullptr) siglongjmp(*tVisitJump, 1);
    ::sigaction(SIGBUS, &gPreviousSigbus, nullptr);
}

bool guardInstalled() {
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] {
        struct sigaction guard {};
        guard.sa_sigaction = onSigbus;
        guard.sa_flags = SA_SIGINFO;
        sigemptyset(&guard.sa_mask);
        installed = ::sigaction(SIGBUS, &guard, &gPreviousSigbus) == 0;
    });
    return installed;
}

// Kept apart so that nothing of visitMapped's own frame changes between the
// jump's set-up and its return.
bool guardedVisit(const std::uint8_t* bytes, std::size_t length, MappedVisit visit, void* context) {
    sigjmp_buf jump;
    if (sigsetjmp(jump, 1) != 0) {
        tVisitJump = nullptr;
        return false;
    }
    tVisitJump = &jump;
    visit(bytes, length, context);
    tVisitJump = nullptr;
    return true;
}

}  // namespace

std::int64_t mapAlignment() {
    static const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? page : 4096;
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
    void* view = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, handle, static_cast<off_t>(offset));
    if (view == MAP_FAILED) return false;
    // Kernels before 5.14 know no MADV_POPULATE_READ (EINVAL): the pages then
    // come in as they are touched, under the same guard.
    if (::madvise(view, length, MADV_POPULATE_READ) != 0 && errno != EINVAL) {
        const int error = errno;
        ::munmap(view, length);
        errno = error;
        return false;
    }
    const bool visited = guardedVisit(static_cast<const std::uint8_t*>(view), length, visit, context);
    ::munmap(view, length);
    if (!visited) errno = EIO;
    return visited;
}

}  // namespace platform
