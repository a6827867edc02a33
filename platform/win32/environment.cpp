#include "platform/environment.h"

#include <direct.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/win32/paths.h"
#include "platform/win32/windows_api.h"

namespace platform {

namespace {

// The first caller that needs the directory reports a failure to make it
// through its own open or bind.
void makeDirectory(const std::string& path) { _mkdir(path.c_str()); }

// The user's name, with the characters a file name may not hold replaced.
std::string userName() {
    char name[257] = {};
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size) || name[0] == '\0') return "user";
    std::string text(name);
    for (char& c : text) {
        if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos) c = '_';
    }
    return text;
}

}  // namespace

// Windows takes '/' as well as '\\'. A home written with slashes only (as a
// POSIX-minded script may set it) keeps them in the paths built from it;
// any other uses the system's own.
char pathSeparatorOf(const std::string& path) {
    return path.find('/') != std::string::npos && path.find('\\') == std::string::npos ? '/' : '\\';
}

// The default, as on POSIX, is private to the user: the user's temporary
// directory (%TEMP%) and a name of the user's own.
std::string zentoHome() {
    const char* configured = std::getenv("ZENTO_HOME");
    std::string home;
    if (configured != nullptr && *configured != '\0') {
        home = configured;
    } else {
        char temp[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathA(sizeof temp, temp);
        home = (length > 0 && length < sizeof temp) ? std::string(temp, length) : std::string(".\\");
        home += "zento-" + userName();
    }
    makeDirectory(home);
    return home;
}

std::string zentoHomeDir(const char* subdirectory) {
    const std::string home = zentoHome();
    std::string dir = home + pathSeparatorOf(home) + subdirectory;
    makeDirectory(dir);
    return dir;
}

std::string zentoNode() {
    const char* configured = std::getenv("ZENTO_NODE");
    if (configured != nullptr && *configured != '\0') return configured;
    char host[256] = {};
    DWORD size = sizeof host;
    if (!GetComputerNameExA(ComputerNameDnsHostname, host, &size) || host[0] == '\0') return "localhost";
    return host;
}

}  // namespace platform
