#include "platform/data_directory.h"

#include <direct.h>

#include <cerrno>
#include <cstdlib>

#include "platform/environment.h"
#include "platform/win32/paths.h"

namespace platform {

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The directory is nearly always there already, and then one call tells so;
// only a missing parent makes each level in turn (a drive "C:" or a share
// "\\host\share" fails to be made and is there anyway). A level that cannot be
// made shows when a file in it is opened, with that open's error.
void makeDirectories(const std::string& path) {
    if (_mkdir(path.c_str()) == 0 || errno != ENOENT) return;
    for (std::size_t at = 1; at < path.size(); ++at) {
        if (isSeparator(path[at])) _mkdir(path.substr(0, at).c_str());
    }
    _mkdir(path.c_str());
}

}  // namespace

std::string clientDataDirectory() {
    const char* configured = std::getenv("ZENTO_DATA_DIR");
    std::string directory;
    if (configured != nullptr && *configured != '\0') {
        directory = configured;
    } else {
        const std::string home = zentoHome();
        directory = home + pathSeparatorOf(home) + "data";
    }
    makeDirectories(directory);
    if (!isSeparator(directory.back())) directory += pathSeparatorOf(directory);
    return directory;
}

}  // namespace platform
