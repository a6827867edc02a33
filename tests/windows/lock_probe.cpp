// The lock probe on Windows: a mutex belongs to the thread that waited for
// it, so a thread of the test's own stands for the other process.
#include <gtest/gtest.h>

#include <thread>

#include "platform/named_mutex.h"
#include "tests/support/lock_probe.h"

namespace testsupport {

std::vector<bool> locksHeldElsewhere(const std::vector<std::string>& names) {
    std::vector<bool> held(names.size(), false);
    std::thread probe([&] {
        for (std::size_t i = 0; i < names.size(); ++i) {
            platform::NamedMutex* mutex = platform::createNamedMutex(names[i]);
            if (mutex == nullptr) {
                ADD_FAILURE() << "probe could not make the mutex of '" << names[i] << "'";
                continue;
            }
            const bool taken = platform::tryWaitNamedMutex(mutex);
            if (taken) platform::releaseNamedMutex(mutex);
            held[i] = !taken;
        }
    });
    probe.join();
    return held;
}

bool lockHeldElsewhere(const std::string& name) { return locksHeldElsewhere({name})[0]; }

}  // namespace testsupport
