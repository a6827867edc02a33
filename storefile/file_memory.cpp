#include "storefile/file_memory.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <memory>
#include <new>

#include "platform/file_ops.h"
#include "storefile/file_handle.h"
#include "storefile/store_codes.h"

namespace {

using namespace storecode;


struct FileMemory {
    std::array<std::uint8_t, kMaxHeaderArea> headerArea{};
    std::size_t headerAreaLength = 0;  // 0: not known
    std::unique_ptr<std::uint8_t[]> window;
    std::int64_t windowStart = 0;
    std::int64_t windowLength = 0;  // 0: nothing held
    // How the last fill of the window ended short of its size: 0 at the end
    // of the file, else the runtime's error.
    int fillError = 0;
};

std::map<std::int32_t, FileMemory>& memories() {
    static std::map<std::int32_t, FileMemory> table;
    return table;
}

FileMemory* memoryOf(std::int32_t handle) {
    auto& table = memories();
    const auto found = table.find(handle);
    return found != table.end() ? &found->second : nullptr;
}

bool overlaps(std::int64_t aStart, std::int64_t aLength, std::int64_t bStart, std::int64_t bLength) {
    return aStart < bStart + bLength && bStart < aStart + aLength;
}

// Reads the window anew from offset: as much of kReadWindow bytes as the file
// holds. A short read ends the fill once the needed bytes are in (near the
// end of the file the next call would only meet the end); before that the
// runtime is asked again, as an exact read would.
bool fillWindow(std::int32_t handle, FileMemory& memory, std::int64_t offset, std::int64_t needed) {
    if (!memory.window) {
        memory.window.reset(new (std::nothrow) std::uint8_t[kReadWindow]);
        if (!memory.window) return false;
    }
    memory.windowStart = offset;
    memory.windowLength = 0;
    memory.fillError = 0;
    while (memory.windowLength < static_cast<std::int64_t>(kReadWindow)) {
        errno = 0;
        const auto wanted = static_cast<unsigned>(static_cast<std::int64_t>(kReadWindow) - memory.windowLength);
        const int r = platform::rtPread(handle, memory.window.get() + memory.windowLength, wanted,
                                        offset + memory.windowLength);
        if (r <= 0) {
            memory.fillError = errno;
            break;
        }
        memory.windowLength += r;
        if (static_cast<unsigned>(r) < wanted && memory.windowLength >= needed) break;
    }
    return true;
}

}  // namespace

void beginFileMemory(std::int32_t handle) {
    try {
        memories()[handle] = FileMemory{};
    } catch (const std::bad_alloc&) {
        // Without an entry the handle simply reads the file every time.
        memories().erase(handle);
    }
}

void endFileMemory(std::int32_t handle) { memories().erase(handle); }

void noteFileWrite(std::int32_t handle, std::int64_t offset, std::int64_t n) {
    FileMemory* memory = memoryOf(handle);
    if (memory == nullptr) return;
    const bool anywhere = offset < 0;
    if (anywhere || overlaps(offset, n, 0, static_cast<std::int64_t>(memory->headerAreaLength))) {
        memory->headerAreaLength = 0;
    }
    if (anywhere || overlaps(offset, n, memory->windowStart, memory->windowLength)) memory->windowLength = 0;
}

void rememberHeaderArea(std::int32_t handle, std::span<const std::uint8_t> area) {
    FileMemory* memory = memoryOf(handle);
    if (memory == nullptr) return;
    if (area.empty() || area.size() > memory->headerArea.size()) {
        memory->headerAreaLength = 0;
        return;
    }
    std::copy(area.begin(), area.end(), memory->headerArea.begin());
    memory->headerAreaLength = area.size();
}

void forgetHeaderArea(std::int32_t handle) {
    if (FileMemory* memory = memoryOf(handle)) memory->headerAreaLength = 0;
}

std::span<const std::uint8_t> knownHeaderArea(std::int32_t handle) {
    const FileMemory* memory = memoryOf(handle);
    if (memory == nullptr) return {};
    return {memory->headerArea.data(), memory->headerAreaLength};
}

std::int64_t readAheadAt(std::int32_t handle, std::int64_t offset, void* buffer, std::int64_t n,
                         StatusBlock& status) {
    FileMemory* memory = memoryOf(handle);
    if (memory == nullptr || buffer == nullptr || offset < 0 || n <= 0 || n > static_cast<std::int64_t>(kReadWindow)) {
        return readExactAt(handle, offset, buffer, n, status);
    }
    ZENTO_SERVER_INITBLK(status);
    const bool held = offset >= memory->windowStart && offset + n <= memory->windowStart + memory->windowLength;
    if (!held && !fillWindow(handle, *memory, offset, n)) return readExactAt(handle, offset, buffer, n, status);

    // After a fill the window starts at offset; whatever it holds of the
    // request is delivered, and a shortfall is reported as a direct read
    // would report it.
    const std::int64_t from = offset - memory->windowStart;
    const std::int64_t available = std::clamp<std::int64_t>(memory->windowLength - from, 0, n);
    std::copy_n(memory->window.get() + from, available, static_cast<std::uint8_t*>(buffer));
    if (available < n) {
        ZENTO_SERVER_LDBLK(kFacilityRuntime, memory->fillError, status);
        ZENTO_SERVER_LDBLK(kFacilityStore, kReadFailed, status);
        // A failed fill is not kept: the next request reads again.
        if (memory->fillError != 0) memory->windowLength = 0;
    }
    return available;
}
