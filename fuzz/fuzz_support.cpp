#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace fuzzsupport {

namespace {

std::string& homePath() {
    static std::string path;
    return path;
}

void removeHome() {
    std::error_code ignored;
    if (!homePath().empty()) std::filesystem::remove_all(homePath(), ignored);
}

}  // namespace

void prepareProcess() {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) fail(__FILE__, __LINE__, "stdout to /dev/null");

    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zento-fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail(__FILE__, __LINE__, "mkdtemp");
    homePath() = pattern;
    setenv("ZENTO_HOME", pattern.c_str(), 1);
    std::atexit(removeHome);
}

const std::string& home() { return homePath(); }

const std::string& writeInputFile(std::span<const std::uint8_t> bytes) {
    // The extension names the store file's cross-process lock.
    static const std::string path = home() + "/ZENTO_STORE_FUZZ.DAT";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) fail(__FILE__, __LINE__, "writing the input file");
    return path;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void clearLogs() {
    std::error_code ignored;
    std::filesystem::remove_all(home() + "/log", ignored);
}

std::size_t openDescriptorCount() {
    std::error_code ec;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    return count;
}

void fail(const char* file, int line, const char* what) {
    std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzzsupport
