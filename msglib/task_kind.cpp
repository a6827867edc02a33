#include "msglib/task_kind.h"

#include <atomic>

namespace {
std::atomic<std::int32_t> taskKindValue{0};
}  // namespace

std::int32_t currentTaskKind() { return taskKindValue.load(std::memory_order_relaxed); }

void setTaskKind(std::int32_t kind) { taskKindValue.store(kind, std::memory_order_relaxed); }
