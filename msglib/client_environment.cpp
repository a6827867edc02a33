#include <algorithm>
#include <cstring>
#include <string>

#include "msglib/msglib.h"
#include "platform/data_directory.h"
#include "platform/registry.h"

void ZENTO_CLIENT_ENVIRONMENT(std::span<char, kClientEnvironmentSize> record) {
    std::fill(record.begin(), record.end(), '\0');
    const std::string directory = platform::clientDataDirectory();
    // A directory too long for its field is cut; the NUL at the field's end
    // stays, so readers never run past the record.
    const std::size_t room = kClientEnvironmentSize - kClientDirectoryOffset - 1;
    std::memcpy(record.data() + kClientDirectoryOffset, directory.data(), std::min(directory.size(), room));
}

std::uint32_t GetZentoRegSamViewFlag() { return platform::registryMachineView(); }
