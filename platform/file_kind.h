#pragma once
// What an open descriptor refers to (fstat). The store-and-forward files must
// be regular files: a FIFO or a device opens, then blocks or never ends.
#include <string>

namespace platform {

enum class FileKind { Regular, Directory, Fifo, Device, Socket, Other, Unknown };

// Unknown when the descriptor cannot be examined.
FileKind fileKindOf(int handle);

// A short noun for console lines: "a directory", "a FIFO", ...
const char* describeFileKind(FileKind kind);

// The C library's text of an errno value ("No space left on device").
std::string runtimeErrorText(int error);

}  // namespace platform
