// No views on Windows yet: visitMapped refuses, and the search reads.
#include "platform/file_map.h"

#include <cerrno>

namespace platform {

std::int64_t mapAlignment() { return 65536; }  // the allocation granularity

bool visitMapped(int, std::int64_t, std::size_t, MappedVisit, void*) {
    errno = ENOSYS;
    return false;
}

}  // namespace platform
