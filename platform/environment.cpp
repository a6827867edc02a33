#include "platform/environment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace platform {

namespace {

void makeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        // The first caller that needs the directory reports the failure
        // through its own open or bind; nothing useful can be done here.
    }
}

}  // namespace

std::string zentoHome() {
    const char* configured = std::getenv("ZENTO_HOME");
    std::string home = (configured != nullptr && *configured != '\0')
                           ? std::string(configured)
                           : "/tmp/zento-" + std::to_string(::getuid());
    makeDirectory(home);
    return home;
}

std::string zentoHomeDir(const char* subdirectory) {
    std::string dir = zentoHome() + "/" + subdirectory;
    makeDirectory(dir);
    return dir;
}

std::string zentoNode() {
    const char* configured = std::getenv("ZENTO_NODE");
    if (configured != nullptr && *configured != '\0') return configured;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost";
    return host;
}

}  // namespace platform
