// For recovery_bench only, loaded with LD_PRELOAD into one recovery: positioned
// writes that start inside a store file's header area are reported done
// without reaching the kernel. The recovery writes nothing else with pwrite,
// so the run shows what the ordered header writes after each acknowledgement
// cost; the file keeps its old header, and nothing of the product changes.
#include <dlfcn.h>
#include <sys/types.h>

namespace {

constexpr off_t kHeaderArea = 192;  // the largest header pair, type 2

using Pwrite = ssize_t (*)(int, const void*, size_t, off_t);

ssize_t passOn(const char* name, int fd, const void* buffer, size_t count, off_t offset) {
    const auto real = reinterpret_cast<Pwrite>(::dlsym(RTLD_NEXT, name));
    return real != nullptr ? real(fd, buffer, count, offset) : -1;
}

}  // namespace

extern "C" {

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    if (offset >= 0 && offset < kHeaderArea) return static_cast<ssize_t>(count);
    return passOn("pwrite", fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
    if (offset >= 0 && offset < kHeaderArea) return static_cast<ssize_t>(count);
    return passOn("pwrite64", fd, buffer, count, offset);
}

}  // extern "C"
