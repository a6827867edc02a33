#pragma once
// What every fuzz target shares: a quiet, private process environment, the
// input as a file, and a check that a finding aborts with a readable reason.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace fuzzsupport {

// Once per process: standard output goes to /dev/null (the code under test
// prints console lines on every call), and ZENTO_HOME becomes a fresh
// temporary directory that is removed at exit.
void prepareProcess();

// The temporary home prepared above.
const std::string& home();

// Writes bytes to a file in the home (replacing it) and gives its path.
const std::string& writeInputFile(std::span<const std::uint8_t> bytes);

// Reads a whole file; empty when it cannot be read.
std::string readWholeFile(const std::string& path);

// Removes the log files, which would otherwise grow with every input.
void clearLogs();

// Descriptors open in this process, to catch handles left open.
std::size_t openDescriptorCount();

// A broken invariant: prints the reason on standard error and aborts, which
// the fuzzer and the replay both report as a crash.
[[noreturn]] void fail(const char* file, int line, const char* what);

}  // namespace fuzzsupport

#define FUZZ_CHECK(condition)                                                     \
    do {                                                                          \
        if (!(condition)) ::fuzzsupport::fail(__FILE__, __LINE__, #condition);    \
    } while (false)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
