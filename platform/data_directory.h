#pragma once
// The client environment directory: where the store-and-forward files of the
// tasks live (configuration, list files, and the store files unless a store
// directory is set).
//   ZENTO_DATA_DIR  the directory; default $ZENTO_HOME/data/
#include <string>

namespace platform {

// Created (mode 0700, with its missing parents) when it does not exist; always
// ends in '/', so that callers prefix file names to it as they are.
std::string clientDataDirectory();

}  // namespace platform
