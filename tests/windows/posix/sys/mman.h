#pragma once
// Memory mappings of the POSIX tests, for the Windows build: none can be
// made (the tests that need one are listed in not-under-wine.txt).
#include <cerrno>
#include <cstddef>

#define PROT_NONE 0
#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_PRIVATE 2
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void*>(-1))

inline void* mmap(void*, std::size_t, int, int, int, long) {
    errno = ENOSYS;
    return MAP_FAILED;
}
inline int munmap(void*, std::size_t) { return 0; }
inline int mprotect(void*, std::size_t, int) {
    errno = ENOSYS;
    return -1;
}
