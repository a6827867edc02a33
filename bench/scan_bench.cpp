// Throughput of the forward search for a record prefix, against plain reads of
// the same file in 64 KiB chunks, both from the page cache.
//
//   scan_bench [--size-mb=N]     (or ZENTO_SCAN_BENCH_MB=N; default 1024)
//
// Record-free files, once of random bytes and once of zeros, show the search
// next to the read alone (goal: at least 90% of its throughput). A file with
// a valid-looking marker every 304 bytes whose head CRC fails shows the cost
// of checking every candidate (goal: at least 50% of reading it), at two
// sizes, to show it stays linear. Each search runs twice: through views of
// the file, as it does where the platform offers them, and by reads alone
// (with a copy of the system's file calls installed, which takes the views
// away), as it does elsewhere.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "msglib/coding.h"
#include "bench/share_line.h"
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
    double scanByReads = 1e30;
    std::int64_t found = 0;
};

std::int64_t scanWholeByReads(const std::string& path, std::int64_t size) {
    const platform::FileOps copy = platform::systemFileOps();
    platform::installFileOps(&copy);
    const std::int64_t found = scanWhole(path, size);
    platform::installFileOps(nullptr);
    return found;
}

// Best of several runs; the read and the searches take turns so that all
// meet the same load on the machine.
Timing timeAll(const std::string& path, std::int64_t size) {
    Timing t;
    readWhole(path);  // into the page cache
    for (int i = 0; i < kRuns; ++i) {
        t.read = std::min(t.read, secondsOf([&] { readWhole(path); }));
        t.scan = std::min(t.scan, secondsOf([&] { t.found = scanWhole(path, size); }));
        t.scanByReads = std::min(t.scanByReads, secondsOf([&] { t.found |= scanWholeByReads(path, size); }));
    }
    return t;
}

double gbPerSecond(std::int64_t bytes, double secs) { return static_cast<double>(bytes) / secs / 1e9; }

void printTiming(const char* name, std::int64_t size, const Timing& t) {
    std::printf("%-8s %6lld MiB  read %6.2f GB/s  search %6.2f GB/s (%5.1f%%), by reads %6.2f GB/s (%5.1f%%)  "
                "%6.3f ms per MiB%s\n",
                name, static_cast<long long>(size / kMiB), gbPerSecond(size, t.read), gbPerSecond(size, t.scan),
                100.0 * t.read / t.scan, gbPerSecond(size, t.scanByReads), 100.0 * t.read / t.scanByReads,
                1000.0 * t.scan / static_cast<double>(size / kMiB), t.found == 0 ? "" : "  (unexpected result!)");
}

// The search against reading the same file, as share lines: through views,
// and by reads alone for comparison.
void printShares(const std::string& figure, std::int64_t size, const Timing& t, double goal) {
    const std::string bound = bench::format("read() in 64 KiB chunks %.2f GB/s", gbPerSecond(size, t.read));
    bench::printShare(figure, bench::format("%.2f GB/s", gbPerSecond(size, t.scan)), bound,
                      bench::percent(t.read / t.scan), bench::format("≥ %.0f%%", 100 * goal),
                      bench::metText(t.read / t.scan >= goal));
    bench::printShare(figure + ", by reads (where no views are offered)",
                      bench::format("%.2f GB/s", gbPerSecond(size, t.scanByReads)), bound,
                      bench::percent(t.read / t.scanByReads), "-", "");
}

// Writes the file, times it and removes it again; nullopt when it could not
// be written.
std::optional<Timing> timeFile(const TempDirectory& dir, const char* name, std::int64_t size, const Filler& fill) {
    const std::string path = dir.file(name);
    if (!writeFile(path, size, fill)) {
        std::printf("%s: cannot write %s\n", name, path.c_str());
        return std::nullopt;
    }
    const Timing t = timeAll(path, size);
    printTiming(name, size, t);
    std::filesystem::remove(path);
    return t;
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
    const auto random = timeFile(dir, "random", size, randomFill);
    const auto zeros = timeFile(dir, "zeros", size, [](std::vector<std::uint8_t>& c, std::int64_t) {
        std::fill(c.begin(), c.end(), 0);
    });
    std::printf("record-dense file (a failing marker every 304 bytes): cost per MiB should not grow\n");
    const auto denseSmall = timeFile(dir, "dense", std::max(kMiB, size / 4), denseFill);
    const auto dense = timeFile(dir, "dense", std::max(kMiB, size / 2), denseFill);
    if (!random || !zeros || !denseSmall || !dense) return 1;
    const std::string gib = bench::format("%lld MiB", static_cast<long long>(size / kMiB));
    printShares("forward search, " + gib + " of random bytes", size, *random, 0.9);
    printShares("forward search, " + gib + " of zeros", size, *zeros, 0.9);
    printShares(bench::format("forward search, %lld MiB with a failing head every 304 bytes",
                              static_cast<long long>(std::max(kMiB, size / 2) / kMiB)),
                std::max(kMiB, size / 2), *dense, 0.5);
    const bool nothingFound = (random->found | zeros->found | denseSmall->found | dense->found) == 0;
    return nothingFound ? 0 : 1;
}
