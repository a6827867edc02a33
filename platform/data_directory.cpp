#include "platform/data_directory.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "platform/environment.h"

namespace platform {

namespace {

// The directory is nearly always there already, and then one call tells so;
// only a missing parent makes each level in turn. A level that cannot be made
// shows when a file in it is opened, with that open's error.
void makeDirectories(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno != ENOENT) return;
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
        ::mkdir(path.substr(0, at).c_str(), 0700);
    }
    ::mkdir(path.c_str(), 0700);
}

}  // namespace

std::string clientDataDirectory() {
    const char* configured = std::getenv("ZENTO_DATA_DIR");
    std::string directory = (configured != nullptr && *configured != '\0') ? std::string(configured)
                                                                           : zentoHome() + "/data";
    makeDirectories(directory);
    if (directory.back() != '/') directory += '/';
    return directory;
}

}  // namespace platform
