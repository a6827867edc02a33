// Throughput of the forward search for a record prefix, against plain reads of
// the same file in 64 KiB chunks, both from the page cache.
//
//   scan_bench [--size-mb=N]     (or ZENTO_SCAN_BENCH_MB=N; default 1024)
//
// Record-free files, once of random bytes and once of zeros, show the search
// next to the read alone (goal: at least 90% of its throughput). A file with
// a valid-looking marker every 304 bytes whose head CRC fails shows the cost
// of checking every candidate (goal: at least 50% of reading it), at two
// sizes, to show it stays linear.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "msglib/status_block.h"
#include "platform/file_ops.h"
#include "storefile/cursor.h"
#include "storefile/store_format.h"

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr int kRuns = 5;

std::int64_t sizeFromArguments(int argc, char** argv) {
    std::int64_t mb = 1024;
    if (const char* env = std::getenv("ZENTO_SCAN_BENCH_MB")) mb = std::atoll(env);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--size-mb=", 10) == 0) mb = std::atoll(argv[i] + 10);
    }
    return std::max<std::int64_t>(mb, 1) * kMiB;
}

class TempDirectory {
public:
    TempDirectory() {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zento-scan-bench-XXXXXX";
        if (::mkdtemp(path_.data()) == nullptr) path_.clear();
    }
    ~TempDirectory() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

using Filler = std::function<void(std::vector<std::uint8_t>& chunk, std::int64_t offset)>;

bool writeFile(const std::string& path, std::int64_t size, const Filler& fill) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(kMiB));
    for (std::int64_t at = 0; at < size && out; at += kMiB) {
        chunk.resize(static_cast<std::size_t>(std::min(kMiB, size - at)));
        fill(chunk, at);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
    return static_cast<bool>(out);
}

void randomFill(std::vector<std::uint8_t>& chunk, std::int64_t offset) {
    std::uint64_t x = 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(offset);
    for (std::size_t i = 0; i + 8 <= chunk.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        encodeU64(chunk.data() + i, x);
    }
}

// A marker every 304 bytes; the random word behind each is its head CRC,
// which does not match.
void denseFill(std::vector<std::uint8_t>& chunk, std::int64_t offset) {
    randomFill(chunk, offset);
    const std::int64_t first = (kRecordHeadSize - offset % kRecordHeadSize) % kRecordHeadSize;
    for (std::int64_t at = first; at + 8 <= static_cast<std::int64_t>(chunk.size()); at += kRecordHeadSize) {
        std::memcpy(chunk.data() + at, kRecordMarker, sizeof kRecordMarker);  // random CRC words: all wrong
    }
}

double secondsOf(const std::function<void()>& run) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    return d.count();
}

// Plain reads of the whole file in 64 KiB chunks.
void readWhole(const std::string& path) {
    static std::vector<std::uint8_t> buffer(kScanWindow);
    volatile std::uint8_t sink = 0;
    const int fd = platform::rtOpen(path.c_str(), platform::kRtBinary, 0);
    while (platform::rtRead(fd, buffer.data(), kScanWindow) > 0) sink = static_cast<std::uint8_t>(sink + buffer[0]);
    platform::rtClose(fd);
}

std::int64_t scanWhole(const std::string& path, std::int64_t size) {
    const int fd = platform::rtOpen(path.c_str(), platform::kRtBinary, 0);
    StatusBlock status;
    std::int64_t found = scanForRecord(fd, 0, size, status);
    if (statusFailed(status)) found = -1;
    platform::rtClose(fd);
    return found;
}

struct Timing {
    double read = 1e30;
    double scan = 1e30;
    std::int64_t found = 0;
};

// Best of several runs; the read and the search take turns so that both meet
// the same load on the machine.
Timing timeBoth(const std::string& path, std::int64_t size, bool withRead) {
    Timing t;
    readWhole(path);  // into the page cache
    for (int i = 0; i < kRuns; ++i) {
        if (withRead) t.read = std::min(t.read, secondsOf([&] { readWhole(path); }));
        t.scan = std::min(t.scan, secondsOf([&] { t.found = scanWhole(path, size); }));
    }
    return t;
}

double gbPerSecond(std::int64_t bytes, double secs) { return static_cast<double>(bytes) / secs / 1e9; }

bool compareWithRead(const TempDirectory& dir, const char* name, std::int64_t size, const Filler& fill) {
    const std::string path = dir.file(name);
    if (!writeFile(path, size, fill)) {
        std::printf("%s: cannot write %s\n", name, path.c_str());
        return false;
    }
    const Timing t = timeBoth(path, size, true);
    std::printf("%-8s %6lld MiB  read %6.2f GB/s  scan %6.2f GB/s  ratio %5.1f%%%s\n", name,
                static_cast<long long>(size / kMiB), gbPerSecond(size, t.read), gbPerSecond(size, t.scan),
                100.0 * t.read / t.scan, t.found == 0 ? "" : "  (unexpected result!)");
    std::filesystem::remove(path);
    return t.found == 0;
}

bool denseCost(const TempDirectory& dir, std::int64_t size) {
    const std::string path = dir.file("dense");
    if (!writeFile(path, size, denseFill)) return false;
    const Timing t = timeBoth(path, size, true);
    std::printf("dense    %6lld MiB  read %6.2f GB/s  scan %6.2f GB/s  ratio %5.1f%%  %6.3f ms per MiB%s\n",
                static_cast<long long>(size / kMiB), gbPerSecond(size, t.read), gbPerSecond(size, t.scan),
                100.0 * t.read / t.scan, 1000.0 * t.scan / static_cast<double>(size / kMiB),
                t.found == 0 ? "" : "  (unexpected result!)");
    std::filesystem::remove(path);
    return t.found == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::int64_t size = sizeFromArguments(argc, argv);
    TempDirectory dir;
    if (!dir.ok()) {
        std::printf("cannot make a temporary directory\n");
        return 1;
    }
    std::printf("record search against plain 64 KiB reads, best of %d runs, page cache\n", kRuns);
    bool ok = compareWithRead(dir, "random", size, randomFill);
    ok = compareWithRead(dir, "zeros", size, [](std::vector<std::uint8_t>& c, std::int64_t) {
             std::fill(c.begin(), c.end(), 0);
         }) && ok;
    std::printf("record-dense file (a failing marker every 304 bytes): cost per MiB should not grow\n");
    ok = denseCost(dir, std::max(kMiB, size / 4)) && ok;
    ok = denseCost(dir, std::max(kMiB, size / 2)) && ok;
    return ok ? 0 : 1;
}
