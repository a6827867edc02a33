// The list files beside plain system calls on the same bytes: saving and
// loading a full 15,000-entry store list (17 MB), and a 15,000-entry scan list
// with 1 KB requests and 10 tags each, against one write() of a file of the
// same length (with and without its fsync) and one read() of it.
//   list_files_bench [--dir=DIR]   DIR: where the files go (default /var/tmp)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/kept_runs.h"
#include "bench/share_line.h"
#include "msglib/coding.h"
#include "msglib/msglib.h"
#include "msglib/request_layout.h"
#include "platform/registry.h"
#include "scanlist/scan_list_file.h"
#include "snf/list_files.h"
#include "snf/snf_config.h"

namespace {

std::string gDirectory = "/var/tmp";

std::string pathOf(const char* name) { return gDirectory + "/" + name + ".BENCH"; }

std::int64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

// A ZENTO_HOME and registry of the bench's own, the DLGP address set.
struct BenchHome {
    std::string home;
    BenchHome() {
        char pattern[] = "/tmp/zento-bench-XXXXXX";
        home = ::mkdtemp(pattern);
        ::setenv("ZENTO_HOME", home.c_str(), 1);
        ::setenv("ZENTO_REGISTRY", (home + "/registry.db").c_str(), 1);
        const AddressRecord dlgp = makeAddress("NODE1", "BENCH");
        SetDlgpAddress(&dlgp);
    }
    ~BenchHome() {
        const std::string command = "rm -rf '" + home + "'";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", home.c_str());
    }
};

// 15,000 destinations: on one node (the configuration getters then read the
// registry once) or each on a node of its own (a registry lookup each).
std::unique_ptr<StoreList> fullStoreList(bool nodeEach) {
    auto table = newStoreList();
    for (std::uint32_t i = 0; i < kListSlots; ++i) {
        StoreListEntry& e = table->slots[i];
        const std::string n = std::to_string(i);
        e.msgDest = makeAddress(nodeEach ? "node" + n : "node", "SVC" + n);
        setFixedText(e.FileName, sizeof e.FileName, StoreFileName(e.msgDest));
        e.existsInList = 1;
        e.FileHandle = -1;
    }
    table->highestEntry = kListSlots;
    return table;
}

// A GET request of about 1 KB with 10 tags (names 64 bytes wide), and its
// deadbands.
Message kilobyteRequest(std::int32_t listId) {
    static const char kDevice[32] = "BENCHDEVICE";
    std::vector<std::uint8_t> tpl(11 * kDescriptorBytes);
    encodeDescriptor(tpl.data(), {kDescStruct, 0, 10, 1});
    for (int i = 1; i <= 10; ++i) encodeDescriptor(tpl.data() + i * kDescriptorBytes, {kDescFloat, 0, 4, 1});
    std::vector<std::uint8_t> names(10 * 64, 0);
    for (int i = 0; i < 10; ++i)
        std::snprintf(reinterpret_cast<char*>(names.data()) + i * 64, 64, "AREA.UNIT.TAG%02d", i);
    GetRequestFields fields;
    fields.head.messageType = kMsgRequest;
    fields.head.destination = makeAddress("NODE1", "SCANNER");
    fields.head.source = makeAddress("CLIENT", "CSVC");
    fields.head.requestSource = fields.head.source;
    fields.items = {0, listId, kDevice, 0, 10, 10};
    fields.dataTemplate = tpl;
    fields.tagNames = names;
    Message out;
    writeGetRequest(fields, out);
    return out;
}

struct ScanTables {
    std::unique_ptr<ScanList> table = newScanList();
    std::unique_ptr<ScanTagArray> tags = newScanTagArray();
};

ScanTables fullScanList() {
    ScanTables full;
    for (std::uint32_t i = 0; i < kListSlots; ++i) {
        ScanListEntry& e = full.table->slots[i];
        e.listId = static_cast<std::int32_t>(i + 1);
        e.frequency = 10;
        e.requestMsg = kilobyteRequest(e.listId);
        e.requestLength = e.requestMsg.size;
        e.inUse = 1;
        ScanEntryTags& t = (*full.tags)[i];
        t.tagCount = 10;
        allocateBytes(t.deadbands, 80);
    }
    full.table->highestEntry = kListSlots;
    return full;
}

void fail(benchmark::State& state, const StatusBlock& status, const char* what) {
    if (statusFailed(status)) state.SkipWithError(what);
}

void BM_SaveStoreList(benchmark::State& state) {
    BenchHome home;
    auto table = fullStoreList(false);
    const std::string path = pathOf("ZENTO_STORE_LIST");
    StatusBlock status;
    for (auto _ : state) {
        saveStoreList(*table, path.c_str(), status);
        fail(state, status, "save failed");
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
    ::unlink(path.c_str());
}

// Each destination's node with its values in the registry, as after a
// configuration load for each: 15,000 client subkeys. The registry goes to
// /dev/shm when there is one, so that building it does not wait on 45,000
// syncs.
void fillRegistry(const BenchHome& home) {
    struct stat st {};
    if (::stat("/dev/shm", &st) == 0) {
        ::setenv("ZENTO_REGISTRY", ("/dev/shm/" + home.home.substr(home.home.rfind('/') + 1) + ".db").c_str(), 1);
    }
    const std::string key = "Software\\Norvane\\ZEN-TO\\ZENTO_SCANNER_BENCH_CFG";
    platform::RegKey parent = nullptr;
    std::uint32_t disposition = 0;
    platform::regCreateKeyEx(platform::registryLocalMachine(), key.c_str(), platform::kKeyAllAccess, &parent,
                             &disposition);
    std::uint8_t value[4];
    for (std::uint32_t i = 0; i < kListSlots; ++i) {
        platform::RegKey child = nullptr;
        platform::regCreateKeyEx(parent, ("node" + std::to_string(i)).c_str(), platform::kKeyAllAccess, &child,
                                 &disposition);
        encodeU32(value, 100 + i);
        platform::regSetValueEx(child, "MaxSize", platform::kRegDword, value, 4);
        platform::regSetValueEx(child, "MaxPeriod", platform::kRegDword, value, 4);
        platform::regCloseKey(child);
    }
    platform::regCloseKey(parent);
}

void removeRegistry() {
    const char* registry = std::getenv("ZENTO_REGISTRY");
    if (registry == nullptr || std::strncmp(registry, "/dev/shm/", 9) != 0) return;
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((std::string(registry) + suffix).c_str());
}

// Arguments: one node for every destination, a node each, or a node each
// with its values in the registry; the store files in the client environment
// directory or in a store directory of their own (then the name of an entry's
// store file is built without asking for the client environment, which makes
// sure its directory exists).
void BM_LoadStoreList(benchmark::State& state) {
    BenchHome home;
    const bool nodeEach = state.range(0) != 0;
    if (state.range(0) == 2) fillRegistry(home);
    if (state.range(1) != 0) SetStoreDirectory(home.home.c_str());
    auto table = fullStoreList(nodeEach);
    const std::string path = pathOf("ZENTO_STORE_LIST");
    StatusBlock status;
    saveStoreList(*table, path.c_str(), status);
    for (auto _ : state) {
        loadStoreList(*table, path.c_str(), status);
        fail(state, status, "load failed");
    }
    if (state.range(0) == 2 && table->slots[kListSlots - 1].maxSize != static_cast<std::int32_t>(100 + kListSlots - 1)) {
        state.SkipWithError("the registry's values were not found");
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
    ::unlink(path.c_str());
    SetStoreDirectory("");
    removeRegistry();
}

void BM_SaveScanList(benchmark::State& state) {
    BenchHome home;
    ScanTables full = fullScanList();
    const std::string path = pathOf("ZENTO_SCAN_LIST");
    StatusBlock status;
    for (auto _ : state) {
        saveScanList(*full.table, *full.tags, path.c_str(), status);
        fail(state, status, "save failed");
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
    state.counters["request_bytes"] = full.table->slots[0].requestLength;
    ::unlink(path.c_str());
}

// Into empty tables, as a task loads its list when it starts.
void BM_LoadScanList(benchmark::State& state) {
    BenchHome home;
    const std::string path = pathOf("ZENTO_SCAN_LIST");
    StatusBlock status;
    {
        ScanTables full = fullScanList();
        saveScanList(*full.table, *full.tags, path.c_str(), status);
    }
    const auto rebuild = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        ScanTables empty;
        state.ResumeTiming();
        loadScanList(*empty.table, *empty.tags, path.c_str(), rebuild, status);
        fail(state, status, "load failed");
        state.PauseTiming();
        empty = ScanTables{};  // freed outside the timing
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * fileSize(path));
    ::unlink(path.c_str());
}

// The same number of bytes in one write() of a new file, then its fsync when
// asked, and the close.
void BM_WriteOnce(benchmark::State& state) {
    const std::vector<char> bytes(static_cast<std::size_t>(state.range(0)), 'x');
    const std::string path = pathOf("zento-write-once");
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
            (state.range(1) != 0 && ::fsync(fd) != 0)) {
            state.SkipWithError("write failed");
        }
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    ::unlink(path.c_str());
}

// The same number of bytes in one read() of a file in the page cache.
void BM_ReadOnce(benchmark::State& state) {
    std::vector<char> bytes(static_cast<std::size_t>(state.range(0)), 'x');
    const std::string path = pathOf("zento-read-once");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        state.SkipWithError("write failed");
    }
    ::close(fd);
    for (auto _ : state) {
        fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0 || ::read(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            state.SkipWithError("read failed");
        }
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    ::unlink(path.c_str());
}

// The files' lengths: 12 + 15,000 x 1,152 bytes, and 12 + 15,000 x (168 + the
// request + 20 + 80).
constexpr std::int64_t kStoreListBytes = 12 + 15000 * 1152;
std::int64_t scanListBytes() { return 12 + 15000 * (168 + std::int64_t{kilobyteRequest(1).size} + 20 + 80); }

}  // namespace

BENCHMARK(BM_SaveStoreList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadStoreList)->Args({0, 0})->Args({0, 1})->Args({1, 1})->Args({2, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveScanList)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadScanList)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--dir=", 6) == 0) {
            gDirectory = argv[i] + 6;
        } else {
            rest.push_back(argv[i]);
        }
    }
    for (std::int64_t bytes : {kStoreListBytes, scanListBytes()}) {
        benchmark::RegisterBenchmark("BM_WriteOnce", BM_WriteOnce)->Args({bytes, 0})->Args({bytes, 1})->Unit(
            benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_ReadOnce", BM_ReadOnce)->Arg(bytes)->Unit(benchmark::kMillisecond);
    }
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    bench::KeptRuns runs;
    benchmark::RunSpecifiedBenchmarks(&runs);
    benchmark::Shutdown();

    using Runs = bench::KeptRuns;
    const auto ms = [](const benchmark::BenchmarkReporter::Run* run) { return Runs::secondsPerIteration(*run) * 1e3; };
    // A routine against a bound of the same bytes: the share is the bound's
    // time over the routine's, the routine's speed as a share of the bound's.
    const auto share = [&](const char* figure, const std::string& name, const std::string& boundName,
                           const char* boundText, bool goal) {
        const auto* run = runs.find(name);
        const auto* bound = runs.find(boundName);
        if (run == nullptr || bound == nullptr) return;
        const double part = ms(bound) / ms(run);
        bench::printShare(
            figure, bench::format("%.1f ms (%.1f ms of processor)", ms(run), Runs::cpuSecondsPerIteration(*run) * 1e3),
            bench::format("%s %.1f ms", boundText, ms(bound)), bench::percent(part), goal ? "≥ 50%" : "-",
            goal ? bench::metText(part >= 0.5) : "");
    };
    const std::string store = std::to_string(kStoreListBytes);
    const std::string scan = std::to_string(scanListBytes());
    share("store list save, 15,000 entries", "BM_SaveStoreList", "BM_WriteOnce/" + store + "/1",
          "one write and fsync of the same bytes", true);
    share("store list load, 15,000 entries", "BM_LoadStoreList/0/0", "BM_ReadOnce/" + store,
          "one read of the same bytes", true);
    share("store list load, store directory set", "BM_LoadStoreList/0/1", "BM_ReadOnce/" + store,
          "one read of the same bytes", false);
    share("store list load, a node each", "BM_LoadStoreList/1/1", "BM_ReadOnce/" + store,
          "one read of the same bytes", false);
    share("store list load, a node each with its values in the registry", "BM_LoadStoreList/2/1",
          "BM_ReadOnce/" + store, "one read of the same bytes", false);
    share("scan list save, 15,000 entries of 1 KB", "BM_SaveScanList", "BM_WriteOnce/" + scan + "/1",
          "one write and fsync of the same bytes", true);
    share("scan list load, 15,000 entries of 1 KB", "BM_LoadScanList/0", "BM_ReadOnce/" + scan,
          "one read of the same bytes", true);
    share("scan list load with rebuilding", "BM_LoadScanList/1", "BM_ReadOnce/" + scan, "one read of the same bytes",
          false);
    return 0;
}
