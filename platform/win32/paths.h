#pragma once
// The separator of the paths built from a directory's path: '/' when it is
// written with slashes only, else the system's own '\'.
#include <string>

namespace platform {

char pathSeparatorOf(const std::string& path);

}  // namespace platform
