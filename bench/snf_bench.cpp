// The support routines' costs: allocating a 1 GiB store file beside writing
// 1 GiB of zeros (and how much disk the allocation really holds), the cached
// getter (registry calls per call), and a configuration load against a
// registry of 15,000 client nodes.
//   snf_bench [--dir=DIR]   DIR: where the 1 GiB files go (default /var/tmp)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/kept_runs.h"
#include "bench/share_line.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "platform/registry.h"
#include "snf/snf_config.h"
#include "snf/store_allocation.h"

namespace {

constexpr std::int64_t kGiB = std::int64_t{1} << 30;
std::string gDirectory = "/var/tmp";

// A ZENTO_HOME of the bench's own, with its registry on /dev/shm when there is
// one, so that building 15,000 keys does not wait on 15,000 syncs.
struct BenchHome {
    std::string home;
    std::string previousHome = std::getenv("ZENTO_HOME") != nullptr ? std::getenv("ZENTO_HOME") : "";
    std::string previousRegistry = std::getenv("ZENTO_REGISTRY") != nullptr ? std::getenv("ZENTO_REGISTRY") : "";
    BenchHome() {
        char pattern[] = "/tmp/zento-bench-XXXXXX";
        home = ::mkdtemp(pattern);
        ::setenv("ZENTO_HOME", home.c_str(), 1);
        struct stat st {};
        const bool shm = ::stat("/dev/shm", &st) == 0;
        const std::string db = (shm ? "/dev/shm/zento-bench-" + std::to_string(::getpid()) : home + "/registry") + ".db";
        ::setenv("ZENTO_REGISTRY", db.c_str(), 1);
    }
    ~BenchHome() {
        const std::string db = std::getenv("ZENTO_REGISTRY");
        for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((db + suffix).c_str());
        std::string command = "rm -rf '" + home + "'";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", home.c_str());
        ::setenv("ZENTO_HOME", previousHome.c_str(), 1);
        ::setenv("ZENTO_REGISTRY", previousRegistry.c_str(), 1);
    }
};

void BM_AllocateStoreFile1GiB(benchmark::State& state) {
    SetStoreDirectory(gDirectory.c_str());
    const std::string path = gDirectory + "/ZENTO_STORE_BENCH.SVC";
    std::int64_t held = 0;
    for (auto _ : state) {
        allocateStoreFile(path.c_str(), 1024);
        state.PauseTiming();
        struct stat st {};
        held = ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_blocks) * 512 : 0;
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
    state.counters["disk_held_MiB"] = static_cast<double>(held) / 1048576.0;
    SetStoreDirectory("");
}

void BM_WriteZeros1GiB(benchmark::State& state) {
    const std::string path = gDirectory + "/zento-bench-zeros";
    const std::vector<char> zeros(1 << 20, 0);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (std::int64_t done = 0; done < kGiB; done += static_cast<std::int64_t>(zeros.size())) {
            if (::write(fd, zeros.data(), zeros.size()) != static_cast<ssize_t>(zeros.size())) {
                state.SkipWithError("write failed");
                break;
            }
        }
        ::close(fd);
        state.PauseTiming();
        ::unlink(path.c_str());
        state.ResumeTiming();
    }
}

void setDlgp() {
    const AddressRecord dlgp = makeAddress("NODE1", "BENCH");
    SetDlgpAddress(&dlgp);
}

void BM_GetSnfMaxSizeCached(benchmark::State& state) {
    BenchHome home;
    resetSnfCfgState();
    setDlgp();
    const AddressRecord client = makeAddress("CLIENT1", "");
    StatusBlock status;
    WriteRegSnfCfg(client, 500, 3600, status);
    GetSnfMaxSize(client);
    const std::uint64_t before = platform::registryCallCount();
    for (auto _ : state) benchmark::DoNotOptimize(GetSnfMaxSize(client));
    state.counters["registry_calls"] = static_cast<double>(platform::registryCallCount() - before);
}

void BM_LoadSnfCfg15000Clients(benchmark::State& state) {
    BenchHome home;
    resetSnfCfgState();
    setDlgp();
    const std::string key = "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_BENCH_CFG";
    platform::RegKey parent = nullptr;
    std::uint32_t disposition = 0;
    platform::regCreateKeyEx(platform::registryLocalMachine(), key.c_str(), platform::kKeyAllAccess, &parent,
                             &disposition);
    std::uint8_t value[4];
    encodeU32(value, 500);
    for (int i = 0; i < 15000; ++i) {
        // The looked-for client sorts last, so the enumeration walks them all.
        const std::string name = i == 14999 ? "ZZZ_LAST" : "NODE" + std::to_string(i);
        platform::RegKey child = nullptr;
        platform::regCreateKeyEx(parent, name.c_str(), platform::kKeyAllAccess, &child, &disposition);
        platform::regSetValueEx(child, "MaxSize", platform::kRegDword, value, 4);
        platform::regSetValueEx(child, "MaxPeriod", platform::kRegDword, value, 4);
        platform::regCloseKey(child);
    }
    platform::regCloseKey(parent);
    const AddressRecord client = makeAddress("zzz_last", "");
    StatusBlock status;
    for (auto _ : state) {
        LoadSnfCfg(client, status);
        benchmark::DoNotOptimize(status);
    }
    if (GetSnfMaxSize(client) != 500) state.SkipWithError("the client's values were not found");
}

}  // namespace

BENCHMARK(BM_AllocateStoreFile1GiB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WriteZeros1GiB)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_GetSnfMaxSizeCached);
BENCHMARK(BM_LoadSnfCfg15000Clients)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--dir=", 6) == 0) {
            gDirectory = argv[i] + 6;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(rest.size());
    BenchHome home;  // the allocation's logs go here
    benchmark::Initialize(&count, rest.data());
    bench::KeptRuns runs;
    benchmark::RunSpecifiedBenchmarks(&runs);
    benchmark::Shutdown();
    using Runs = bench::KeptRuns;
    if (const auto *allocate = runs.find("BM_AllocateStoreFile1GiB"), *zeros = runs.find("BM_WriteZeros1GiB");
        allocate != nullptr && zeros != nullptr) {
        const double share = Runs::secondsPerIteration(*allocate) / Runs::secondsPerIteration(*zeros);
        const double held = Runs::counter(*allocate, "disk_held_MiB");
        bench::printShare("store file allocation, 1 GiB",
                          bench::format("%.0f ms, %.0f MiB held on disk", Runs::secondsPerIteration(*allocate) * 1e3, held),
                          bench::format("writing 1 GiB of zeros %.0f ms", Runs::secondsPerIteration(*zeros) * 1e3),
                          bench::format("%.1f%%", 100 * share), "< 5%, all 1,024 MiB held",
                          bench::metText(share < 0.05 && held >= 1024));
    }
    if (const auto* cached = runs.find("BM_GetSnfMaxSizeCached")) {
        const double calls = Runs::counter(*cached, "registry_calls");
        bench::printShare("GetSnfMaxSize, cached client",
                          bench::format("%.0f ns a call, %.0f registry calls", Runs::secondsPerIteration(*cached) * 1e9, calls),
                          "-", "-", "no registry call", bench::metText(calls == 0));
    }
    if (const auto* load = runs.find("BM_LoadSnfCfg15000Clients")) {
        const double ms = Runs::secondsPerIteration(*load) * 1e3;
        bench::printShare("LoadSnfCfg, 15,000 client subkeys", bench::format("%.1f ms", ms), "-", "-", "< 50 ms",
                          bench::metText(ms < 50));
    }
    return 0;
}
