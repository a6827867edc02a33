#pragma once
// Asks another process whether named mutexes are free: a forked child tries
// each name without waiting and reports. A name the calling process holds
// counts as held by others from the child's side, so a test can see exactly
// which locks it holds.
#include <string>
#include <vector>

namespace testsupport {

// One entry per name: true when the child could not take it.
std::vector<bool> locksHeldElsewhere(const std::vector<std::string>& names);
bool lockHeldElsewhere(const std::string& name);

}  // namespace testsupport
