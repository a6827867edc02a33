// Throughput and memory of whole recoveries: zento_sf_recover drains a store
// file into zento_arec (which acknowledges at once) over the real local
// transport, next to a plain ping-pong of messages of the same size between
// two processes, measured in the same run.
//
//   recovery_bench [--messages N] [--small N] [--round-trips N] [--no-sync]
//
// Counts may also come from ZENTO_BENCH_MESSAGES, ZENTO_BENCH_SMALL and
// ZENTO_BENCH_ROUND_TRIPS (the flags win), so CI can run a small version.
// The programs are found beside this one in the build tree (ZENTO_BIN_DIR
// overrides); building this target builds them too. The destination runs
// with --quiet: a line per message would measure its console, not the
// recovery.
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/pingpong.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoalShare = 0.80;
constexpr std::uint32_t kFallbackMessageSize = 678;

struct Settings {
    std::uint32_t messages = 100'000;
    std::uint32_t small = 10'000;
    std::uint32_t roundTrips = 0;  // 0: as many as messages
    bool sync = true;
};

std::optional<std::uint32_t> parseCount(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 100'000'000ul) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

bool parseSettings(int argc, char** argv, Settings& settings) {
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_MESSAGES"))) settings.messages = *n;
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_SMALL"))) settings.small = *n;
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_ROUND_TRIPS"))) settings.roundTrips = *n;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        std::uint32_t* target = nullptr;
        if (name == "--messages") {
            target = &settings.messages;
        } else if (name == "--small") {
            target = &settings.small;
        } else if (name == "--round-trips") {
            target = &settings.roundTrips;
        } else if (name == "--no-sync") {
            settings.sync = false;
            continue;
        } else {
            return false;
        }
        const auto value = i + 1 < argc ? parseCount(argv[++i]) : std::nullopt;
        if (!value) return false;
        *target = *value;
    }
    if (settings.roundTrips == 0) settings.roundTrips = settings.messages;
    return true;
}

std::string binDir() {
    if (const char* dir = std::getenv("ZENTO_BIN_DIR"); dir != nullptr && *dir != '\0') return dir;
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : self.parent_path().parent_path().string();
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double cpuOf(const rusage& usage) {
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double ownCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuOf(usage);
}

// A child with its own environment and output file; reaped with its usage.
class Child {
public:
    ~Child() {
        if (pid_ > 0 && !done_) {
            ::kill(pid_, SIGKILL);
            finish();
        }
    }

    bool start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, const std::string& out) {
        // The environment without the variables the caller sets, then those.
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view entry = *e;
            const std::string_view name = entry.substr(0, entry.find('='));
            bool replaced = false;
            for (const std::string& extra : extraEnv) replaced = replaced || extra.rfind(std::string(name) + "=", 0) == 0;
            if (!replaced) env.emplace_back(entry);
        }
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> argv;
        std::vector<char*> envp;
        std::vector<std::string> argCopy = args;
        for (auto& a : argCopy) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (out + ".err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(failed));
            pid_ = -1;
        }
        return pid_ > 0;
    }

    bool running() {
        if (pid_ <= 0 || done_) return false;
        return !reap(WNOHANG);
    }

    int finish() {
        if (pid_ > 0 && !done_) reap(0);
        return exitCode_;
    }

    void terminate() {
        if (pid_ > 0 && !done_) ::kill(pid_, SIGTERM);
    }

    long maxRssKb() const { return maxRssKb_; }
    double cpuSeconds() const { return cpuSeconds_; }
    pid_t pid() const { return pid_; }

private:
    bool reap(int flags) {
        int status = 0;
        rusage usage{};
        if (::wait4(pid_, &status, flags, &usage) != pid_) return false;
        done_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        maxRssKb_ = usage.ru_maxrss;
        cpuSeconds_ = cpuOf(usage);
        return true;
    }

    pid_t pid_ = -1;
    bool done_ = false;
    int exitCode_ = -1;
    long maxRssKb_ = 0;
    double cpuSeconds_ = 0;
};

struct Bench {
    std::string bin;
    std::string home;
    std::string node = "benchnode";

    std::vector<std::string> nodeEnv() const { return {"ZENTO_HOME=" + home, "ZENTO_NODE=" + node}; }

    int runTool(const std::vector<std::string>& args, std::string* err = nullptr) const {
        std::vector<std::string> all{bin + "/tools/sf_tool/zento_sf_tool"};
        all.insert(all.end(), args.begin(), args.end());
        Child tool;
        const std::string out = home + "/tool.out";
        if (!tool.start(all, nodeEnv(), out)) return -1;
        const int code = tool.finish();
        if (err != nullptr) *err = readText(out + ".err");
        return code;
    }

    // The tool names its smallest message when it refuses a smaller one.
    std::uint32_t smallestMessageSize() const {
        const std::string probe = home + "/probe.dat";
        std::string err;
        if (runTool({"create", probe}) != 0) return kFallbackMessageSize;
        runTool({"append", probe, "--count", "1", "--size", "1"}, &err);
        std::filesystem::remove(probe);
        const std::string_view marker = "smallest message of this kind, ";
        const std::size_t at = err.find(marker);
        if (at == std::string::npos) return kFallbackMessageSize;
        const unsigned long size = std::strtoul(err.c_str() + at + marker.size(), nullptr, 10);
        return size > 0 && size < 1'000'000 ? static_cast<std::uint32_t>(size) : kFallbackMessageSize;
    }

    bool makeStore(const std::string& path, std::uint32_t count, std::uint32_t size) const {
        return runTool({"create", path, "--force"}) == 0 &&
               runTool({"append", path, "--count", std::to_string(count), "--size", std::to_string(size)}) == 0;
    }
};

struct RecoveryRun {
    bool ok = false;
    double seconds = 0;       // the recovery process from start to exit
    double firstMessage = 0;  // until the destination had the first message
    double cpuSeconds = 0;    // user and system time of the recovery process
    double arecCpuSeconds = 0;  // and of the destination
    long peakKb = 0;          // VmHWM: the program's own peak
    long maxRssKb = 0;        // ru_maxrss, see printRun
};

// The high-water mark of a running process's resident set, from /proc.
long vmHwmKb(pid_t pid) {
    const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

// One recovery of store into a fresh zento_arec that acknowledges at once
// and prints the first message's line and the count at its end.
RecoveryRun recover(const Bench& bench, const std::string& store, std::uint32_t count,
                    const std::vector<std::string>& extraEnv) {
    RecoveryRun run;
    const std::string arecOut = bench.home + "/arec.out";
    Child arec;
    if (!arec.start({bench.bin + "/tools/arec/zento_arec", "--exit-on-eof", "--quiet"}, bench.nodeEnv(), arecOut)) {
        return run;
    }
    const Clock::time_point waitFrom = Clock::now();
    while (readText(arecOut).find("ready\n") == std::string::npos) {
        if (!arec.running() || secondsSince(waitFrom) > 30) {
            std::fprintf(stderr, "zento_arec did not get ready\n");
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::vector<std::string> env = bench.nodeEnv();
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    Child recovery;
    const Clock::time_point start = Clock::now();
    if (!recovery.start({bench.bin + "/recover/zento_sf_recover", "BENCH", store}, env, bench.home + "/recover.out")) {
        return run;
    }
    // The first message's arrival marks the end of the start-up, whose
    // first receive waits half a second before anything is sent.
    std::error_code ec;
    while (recovery.running()) {
        const auto size = std::filesystem::file_size(arecOut, ec);
        if (!ec && size > 6) {
            if (readText(arecOut).find("message 1:") != std::string::npos) break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    run.firstMessage = secondsSince(start);
    // The high-water mark only grows, so the last reading before the exit
    // holds the peak of all but the last moments.
    while (recovery.running()) {
        run.peakKb = std::max(run.peakKb, vmHwmKb(recovery.pid()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int code = recovery.finish();
    run.seconds = secondsSince(start);
    run.maxRssKb = recovery.maxRssKb();
    run.cpuSeconds = recovery.cpuSeconds();
    arec.terminate();
    arec.finish();
    run.arecCpuSeconds = arec.cpuSeconds();

    // Each message once: a resend would count twice.
    const std::string received = readText(arecOut);
    run.ok = code == 0 && received.find("\n" + std::to_string(count) + " messages received\n") != std::string::npos;
    if (!run.ok) {
        std::fprintf(stderr, "recovery of %u messages failed (exit %d); its output:\n%s\n", count, code,
                     readText(bench.home + "/recover.out").c_str());
    }
    return run;
}

struct PingPongRun {
    double rate = 0;              // round trips per second; 0 when it failed
    double cpuMicroseconds = 0;   // per round trip, on the sending side
};

PingPongRun pingPong(std::uint32_t size, std::uint32_t roundTrips) {
    PingPongRun run;
    bench::PingPong pair;
    if (!pair.start(size)) return run;
    for (int i = 0; i < 100; ++i) pair.roundTrip();  // connections made
    const Clock::time_point start = Clock::now();
    const double cpuBefore = ownCpuSeconds();
    for (std::uint32_t i = 0; i < roundTrips; ++i) {
        if (!pair.roundTrip()) return run;
    }
    run.rate = roundTrips / secondsSince(start);
    run.cpuMicroseconds = (ownCpuSeconds() - cpuBefore) * 1e6 / roundTrips;
    return run;
}

// ru_maxrss of a spawned child also counts the pages of the parent it ran
// in before its exec (Linux keeps the old address space's high-water mark),
// so it grows with whatever this program holds; VmHWM is the program's own.
void printRun(const char* label, std::uint32_t count, const RecoveryRun& run, double pingPongRate) {
    const double steady = count / (run.seconds - run.firstMessage);
    std::printf("%-32s %7u msgs %7.2f s %7.0f msg/s in all, %7.0f msg/s after the first (%5.1f%% of ping-pong); "
                "CPU/msg %5.1f us (destination %5.1f us); peak RSS %ld KiB (ru_maxrss %ld KiB)\n",
                label, count, run.seconds, count / run.seconds, steady, 100.0 * steady / pingPongRate,
                run.cpuSeconds * 1e6 / count, run.arecCpuSeconds * 1e6 / count, run.peakKb, run.maxRssKb);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Settings settings;
    if (!parseSettings(argc, argv, settings)) {
        std::fprintf(stderr, "usage: recovery_bench [--messages N] [--small N] [--round-trips N] [--no-sync]\n");
        return 2;
    }
    Bench bench;
    bench.bin = binDir();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zento-recovery-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    bench.home = pattern;

    const std::uint32_t size = bench.smallestMessageSize();
    std::printf("message size: %u bytes (the smallest the store file tool accepts; asked for: 400)\n", size);

    const std::string large = bench.home + "/large.dat";
    const std::string largeSynced = bench.home + "/large-synced.dat";
    const std::string small = bench.home + "/small.dat";
    bool ok = bench.makeStore(large, settings.messages, size) && bench.makeStore(small, settings.small, size);
    if (ok && settings.sync) {
        std::error_code ec;
        ok = std::filesystem::copy_file(large, largeSynced, ec);
    }
    if (!ok) {
        std::fprintf(stderr, "the store files could not be made\n");
        std::filesystem::remove_all(bench.home);
        return 1;
    }

    // The machine's load changes while the bench runs: the ping-pong is
    // measured right before and right after the recovery it is set against.
    // It gives itself a home of its own and puts ours back.
    const PingPongRun before = pingPong(size, settings.roundTrips);
    const RecoveryRun largeRun = recover(bench, large, settings.messages, {});
    const PingPongRun after = pingPong(size, settings.roundTrips);
    const double rate = (before.rate + after.rate) / 2;
    std::printf("%-32s %7u trips %27.0f round trips/s (%.0f before, %.0f after the recovery); CPU/trip %5.1f us "
                "on the sending side\n",
                "ping-pong, same transport, size", settings.roundTrips, rate, before.rate, after.rate,
                (before.cpuMicroseconds + after.cpuMicroseconds) / 2);
    const RecoveryRun smallRun = recover(bench, small, settings.small, {});
    ok = largeRun.ok && smallRun.ok && before.rate > 0 && after.rate > 0;
    if (ok) {
        printRun("recovery", settings.messages, largeRun, rate);
        printRun("recovery (memory check)", settings.small, smallRun, rate);
    }
    if (ok && settings.sync) {
        const RecoveryRun synced = recover(bench, largeSynced, settings.messages, {"ZENTO_SF_SYNC=message"});
        ok = synced.ok;
        if (ok) printRun("recovery, ZENTO_SF_SYNC=message", settings.messages, synced, rate);
    }
    if (ok) {
        const double steady = settings.messages / (largeRun.seconds - largeRun.firstMessage);
        std::printf("goal: at least %.0f%% of the ping-pong rate: %s\n", 100 * kGoalShare,
                    steady >= kGoalShare * rate ? "met" : "NOT met");
        // A peak that grew with the file would show a per-message leak or a
        // buffer sized by the file; a little allocator slack is expected.
        const bool flat = largeRun.peakKb <= smallRun.peakKb + smallRun.peakKb / 4 + 256;
        std::printf("peak memory independent of the file's length: %s (%ld KiB for %u, %ld KiB for %u messages)\n",
                    flat ? "yes" : "NO", smallRun.peakKb, settings.small, largeRun.peakKb, settings.messages);
    }
    std::filesystem::remove_all(bench.home);
    return ok ? 0 : 1;
}
