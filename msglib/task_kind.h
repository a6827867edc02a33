#pragma once
// The code of the task this process runs, read by the task diagnostics to
// word their reports. One value for the whole process: the program sets it at
// start-up, before any report is made.
#include <cstdint>

constexpr std::int32_t kTaskScanner = 1;
constexpr std::int32_t kTaskStore = 2;
constexpr std::int32_t kTaskForward = 3;
constexpr std::int32_t kTaskRecover = 4;

std::int32_t currentTaskKind();  // 0 until a program sets it
void setTaskKind(std::int32_t kind);
