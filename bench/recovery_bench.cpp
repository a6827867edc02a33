// Throughput and memory of whole recoveries: zento_sf_recover drains a store
// file into zento_arec (which acknowledges at once) over the real local
// transport, against the bound of two processes that do nothing but pass a
// message of the same size back and forth over a plain UNIX domain socket.
//
//   recovery_bench [--messages N] [--small N] [--round-trips N] [--rounds N]
//                  [--cpus A,B] [--no-sync] [--no-syscalls]
//
// Counts may also come from ZENTO_BENCH_MESSAGES, ZENTO_BENCH_SMALL,
// ZENTO_BENCH_ROUND_TRIPS, ZENTO_BENCH_ROUNDS and ZENTO_BENCH_CPUS (the flags
// win), so CI can run a small version. The programs are found beside this one in the build tree
// (ZENTO_BIN_DIR overrides); building this target builds them too. The
// destination runs with --quiet: a line per message would measure its
// console, not the recovery.
//
// Placement: the sending side (the recovery, the ping) runs on CPU A and the
// answering side (zento_arec, the echo) on CPU B, in every run; by default A
// is 0 and B is 1. A round trip between processes on one CPU and one across
// two CPUs differ by an order of magnitude on a virtual machine, so a bound
// measured with another placement bounds nothing.
//
// Runs, in rounds (3 by default): the plain-socket ping-pong (the bound); the
// recovery; the recovery with its header writes left out (a preloaded library
// drops them; the product always writes them); the library's ping-pong (what
// the transport adds). A shared machine's load changes from second to
// second, so each figure is the best of its rounds, the bound's too: all are
// set against the machine at its quietest in the run. Then a
// shorter recovery for the memory check; a shorter one with
// ZENTO_SF_SYNC=message (a sync a message takes milliseconds); a shorter one
// to a destination that acknowledges 1 ms late. Then, unless --no-syscalls or strace is missing, a
// recovery of the shorter file under strace -c on both sides: the system calls
// per message, which is where the gap to the bound goes.
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/pingpong.h"
#include "bench/share_line.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoalShare = 0.90;
constexpr std::uint32_t kFallbackMessageSize = 678;
constexpr std::uint32_t kWarmUpTrips = 100;

struct Cpus {
    int sender = 0;
    int answerer = 1;
};

struct Settings {
    std::uint32_t messages = 100'000;
    std::uint32_t small = 10'000;
    std::uint32_t roundTrips = 0;  // 0: as many as messages
    std::uint32_t rounds = 3;
    Cpus cpus;
    bool sync = true;
    bool syscalls = true;
};

std::optional<std::uint32_t> parseCount(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0 || value > 100'000'000ul) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<Cpus> parseCpus(const char* text) {
    if (text == nullptr) return std::nullopt;
    int a = -1;
    int b = -1;
    char extra = 0;
    if (std::sscanf(text, "%d,%d%c", &a, &b, &extra) != 2 || a < 0 || b < 0 || a >= CPU_SETSIZE || b >= CPU_SETSIZE) {
        return std::nullopt;
    }
    return Cpus{a, b};
}

bool parseSettings(int argc, char** argv, Settings& settings) {
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_MESSAGES"))) settings.messages = *n;
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_SMALL"))) settings.small = *n;
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_ROUND_TRIPS"))) settings.roundTrips = *n;
    if (auto n = parseCount(std::getenv("ZENTO_BENCH_ROUNDS"))) settings.rounds = *n;
    if (auto c = parseCpus(std::getenv("ZENTO_BENCH_CPUS"))) settings.cpus = *c;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--no-sync") {
            settings.sync = false;
            continue;
        }
        if (name == "--no-syscalls") {
            settings.syscalls = false;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (name == "--cpus") {
            const auto cpus = parseCpus(value);
            if (!cpus) return false;
            settings.cpus = *cpus;
            continue;
        }
        std::uint32_t* target = name == "--messages"      ? &settings.messages
                                : name == "--small"       ? &settings.small
                                : name == "--round-trips" ? &settings.roundTrips
                                : name == "--rounds"      ? &settings.rounds
                                                          : nullptr;
        const auto count = parseCount(value);
        if (target == nullptr || !count) return false;
        *target = *count;
    }
    if (settings.roundTrips == 0) settings.roundTrips = settings.messages;
    return true;
}

bool pinTo(pid_t pid, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(pid, sizeof set, &set) == 0;
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

    // Waits up to `seconds` for the child to end by itself.
    bool awaitExit(double seconds) {
        const Clock::time_point from = Clock::now();
        while (running()) {
            if (std::chrono::duration<double>(Clock::now() - from).count() > seconds) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
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
    double seconds = 0;         // the recovery process from start to exit
    double firstMessage = 0;    // until the destination had the first message
    double cpuSeconds = 0;      // user and system time of the recovery process
    double arecCpuSeconds = 0;  // and of the destination
    long peakKb = 0;            // VmHWM: the program's own peak
    long maxRssKb = 0;          // ru_maxrss, see printRun

    // Messages per second once the first one is through: the start-up's
    // first receive waits half a second before anything is sent.
    double steadyRate(std::uint32_t count) const { return count / (seconds - firstMessage); }
};

// The high-water mark of a running process's resident set, from /proc.
long vmHwmKb(pid_t pid) {
    const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmHWM:");
    return at == std::string::npos ? 0 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

struct RecoveryOptions {
    std::vector<std::string> extraEnv;
    std::string traceDir;  // non-empty: both sides run under strace -c, their summaries go here
    std::vector<std::string> destinationArgs;  // more options for zento_arec
};

std::vector<std::string> traced(const RecoveryOptions& options, const std::string& side, std::vector<std::string> args) {
    if (options.traceDir.empty()) return args;
    std::vector<std::string> all{"/usr/bin/strace", "-f", "-c", "-o", options.traceDir + "/" + side + ".strace", "--"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// One recovery of store into a fresh zento_arec that acknowledges at once
// and prints the first message's line and the count at its end.
RecoveryRun recover(const Bench& bench, const Settings& settings, const std::string& store, std::uint32_t count,
                    const RecoveryOptions& options = {}) {
    RecoveryRun run;
    const std::string arecOut = bench.home + "/arec.out";
    Child arec;
    std::vector<std::string> arecArgs{bench.bin + "/tools/arec/zento_arec", "--exit-on-eof", "--quiet"};
    arecArgs.insert(arecArgs.end(), options.destinationArgs.begin(), options.destinationArgs.end());
    if (!arec.start(traced(options, "destination", arecArgs), bench.nodeEnv(), arecOut)) {
        return run;
    }
    pinTo(arec.pid(), settings.cpus.answerer);
    const Clock::time_point waitFrom = Clock::now();
    while (readText(arecOut).find("ready\n") == std::string::npos) {
        if (!arec.running() || secondsSince(waitFrom) > 30) {
            std::fprintf(stderr, "zento_arec did not get ready\n");
            return run;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::vector<std::string> env = bench.nodeEnv();
    env.insert(env.end(), options.extraEnv.begin(), options.extraEnv.end());
    Child recovery;
    const Clock::time_point start = Clock::now();
    if (!recovery.start(traced(options, "recovery", {bench.bin + "/recover/zento_sf_recover", "BENCH", store}), env,
                        bench.home + "/recover.out")) {
        return run;
    }
    pinTo(recovery.pid(), settings.cpus.sender);
    // The first message's arrival marks the end of the start-up.
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
    // The destination ends after the end-of-file notice; a signal is only
    // for one that does not (under strace it would end the tracer first).
    if (!arec.awaitExit(10)) arec.terminate();
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

// One side of a ping-pong, as its process reports it.
struct SideReport {
    char side = 0;            // 'p' the ping, 'e' the echo
    double cpuSeconds = 0;    // over the measured round trips (the echo: over all)
    double seconds = 0;       // the ping: wall time of the measured round trips
    std::uint64_t calls = 0;  // reads and writes made over the measured round trips (the echo: all)
};

struct PingPongRun {
    double rate = 0;  // round trips per second; 0 when it failed
    double pingCpuMicroseconds = 0;
    double echoCpuMicroseconds = 0;
    double pingCalls = 0;  // system calls per round trip
    double echoCalls = 0;
};

bool transfer(int fd, std::uint8_t* buffer, std::uint32_t size, bool reading, std::uint64_t& calls) {
    for (std::uint32_t done = 0; done < size;) {
        const ssize_t n = reading ? ::read(fd, buffer + done, size - done) : ::write(fd, buffer + done, size - done);
        ++calls;
        if (n <= 0) return false;
        done += static_cast<std::uint32_t>(n);
    }
    return true;
}

[[noreturn]] void runSide(char side, int fd, int reportFd, int cpu, std::uint32_t size, std::uint32_t roundTrips) {
    pinTo(0, cpu);
    std::vector<std::uint8_t> buffer(size, 0x5A);
    SideReport report;
    report.side = side;
    std::uint64_t calls = 0;
    bool ok = true;
    if (side == 'e') {
        while (transfer(fd, buffer.data(), size, true, calls) && transfer(fd, buffer.data(), size, false, calls)) {
        }
        report.calls = calls;
        report.cpuSeconds = ownCpuSeconds();
    } else {
        for (std::uint32_t i = 0; ok && i < kWarmUpTrips; ++i) {
            ok = transfer(fd, buffer.data(), size, false, calls) && transfer(fd, buffer.data(), size, true, calls);
        }
        calls = 0;
        const double cpuBefore = ownCpuSeconds();
        const Clock::time_point start = Clock::now();
        for (std::uint32_t i = 0; ok && i < roundTrips; ++i) {
            ok = transfer(fd, buffer.data(), size, false, calls) && transfer(fd, buffer.data(), size, true, calls);
        }
        report.seconds = ok ? secondsSince(start) : 0;
        report.cpuSeconds = ownCpuSeconds() - cpuBefore;
        report.calls = calls;
    }
    ::close(fd);
    const bool sent = ::write(reportFd, &report, sizeof report) == static_cast<ssize_t>(sizeof report);
    ::_exit(ok && sent ? 0 : 1);
}

// The bound: two processes pinned like the recovery and its destination,
// passing size bytes back and forth over a socket pair with blocking reads
// and writes, nothing else.
PingPongRun plainPingPong(std::uint32_t size, std::uint32_t roundTrips, const Cpus& cpus) {
    PingPongRun run;
    int pair[2];
    int reports[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return run;
    if (::pipe(reports) != 0) return run;
    std::fflush(stdout);
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(pair[0]);
        ::close(reports[0]);
        runSide('e', pair[1], reports[1], cpus.answerer, size, roundTrips);
    }
    const pid_t ping = echo > 0 ? ::fork() : -1;
    if (ping == 0) {
        ::close(pair[1]);
        ::close(reports[0]);
        runSide('p', pair[0], reports[1], cpus.sender, size, roundTrips);
    }
    ::close(pair[0]);
    ::close(pair[1]);
    ::close(reports[1]);
    SideReport got[2];
    int count = 0;
    for (; count < 2; ++count) {
        if (::read(reports[0], &got[count], sizeof got[count]) != static_cast<ssize_t>(sizeof got[count])) break;
    }
    ::close(reports[0]);
    bool exited = true;
    for (pid_t pid : {echo, ping}) {
        int status = 0;
        if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            exited = false;
        }
    }
    if (!exited || count != 2) return run;
    for (const SideReport& r : got) {
        if (r.side == 'p' && r.seconds > 0) {
            run.rate = roundTrips / r.seconds;
            run.pingCpuMicroseconds = r.cpuSeconds * 1e6 / roundTrips;
            run.pingCalls = static_cast<double>(r.calls) / roundTrips;
        } else if (r.side == 'e') {
            const double trips = roundTrips + kWarmUpTrips;
            run.echoCpuMicroseconds = r.cpuSeconds * 1e6 / trips;
            run.echoCalls = static_cast<double>(r.calls) / trips;
        }
    }
    return run;
}

// The library's ping-pong, placed the same way: this process pings from the
// sender's CPU.
PingPongRun libraryPingPong(std::uint32_t size, std::uint32_t roundTrips, const Cpus& cpus) {
    PingPongRun run;
    cpu_set_t before;
    if (::sched_getaffinity(0, sizeof before, &before) != 0 || !pinTo(0, cpus.sender)) return run;
    {
        bench::PingPong pair;
        if (pair.start(size, cpus.answerer)) {
            bool ok = true;
            for (std::uint32_t i = 0; ok && i < kWarmUpTrips; ++i) ok = pair.roundTrip();
            const Clock::time_point start = Clock::now();
            const double cpuBefore = ownCpuSeconds();
            for (std::uint32_t i = 0; ok && i < roundTrips; ++i) ok = pair.roundTrip();
            if (ok) {
                run.rate = roundTrips / secondsSince(start);
                run.pingCpuMicroseconds = (ownCpuSeconds() - cpuBefore) * 1e6 / roundTrips;
            }
            pair.stop();
            run.echoCpuMicroseconds = pair.echoCpuSeconds() * 1e6 / (roundTrips + kWarmUpTrips);
        }
    }
    ::sched_setaffinity(0, sizeof before, &before);
    return run;
}

// strace -c's summary: calls per system call.
std::map<std::string, double> straceCounts(const std::string& path) {
    std::map<std::string, double> counts;
    std::istringstream lines(readText(path));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string w; fields >> w;) words.push_back(w);
        if (words.size() < 5 || words.front().find_first_not_of("0123456789.") != std::string::npos) continue;
        counts[words.back()] = std::strtod(words[3].c_str(), nullptr);
    }
    return counts;
}

// "7.0 a message: pwrite64 4.0, sendmsg 1.0, ..." (the calls that come at
// least once every ten messages).
std::string perMessage(const std::map<std::string, double>& counts, std::uint32_t messages) {
    const auto total = counts.find("total");
    if (total == counts.end()) return "not counted";
    std::vector<std::pair<double, std::string>> frequent;
    for (const auto& [name, calls] : counts) {
        if (name != "total" && calls / messages >= 0.1) frequent.emplace_back(calls / messages, name);
    }
    std::sort(frequent.rbegin(), frequent.rend());
    std::string text = bench::format("%.1f a message:", total->second / messages);
    for (std::size_t i = 0; i < frequent.size(); ++i) {
        text += bench::format("%s %s %.1f", i == 0 ? "" : ",", frequent[i].second.c_str(), frequent[i].first);
    }
    return text;
}

// ru_maxrss of a spawned child also counts the pages of the parent it ran
// in before its exec (Linux keeps the old address space's high-water mark),
// so it grows with whatever this program holds; VmHWM is the program's own.
void printRun(const char* label, std::uint32_t count, const RecoveryRun& run, double bound) {
    const double steady = run.steadyRate(count);
    std::printf("%-34s %7u msgs %7.2f s %7.0f msg/s after the first (%5.1f%% of the bound); CPU/msg %5.1f us "
                "(destination %5.1f us); peak RSS %ld KiB (ru_maxrss %ld KiB)\n",
                label, count, run.seconds, steady, 100.0 * steady / bound, run.cpuSeconds * 1e6 / count,
                run.arecCpuSeconds * 1e6 / count, run.peakKb, run.maxRssKb);
}

void printPingPong(const char* label, std::uint32_t trips, const PingPongRun& run, double bound) {
    std::printf("%-34s %7u trips %7.0f round trips/s (%5.1f%% of the bound); CPU/trip %5.1f us (echo %5.1f us)",
                label, trips, run.rate, 100.0 * run.rate / bound, run.pingCpuMicroseconds, run.echoCpuMicroseconds);
    if (run.pingCalls > 0) std::printf("; system calls/trip %.1f (echo %.1f)", run.pingCalls, run.echoCalls);
    std::printf("\n");
}

std::string cpuText(double cpuSeconds, std::uint32_t count) { return bench::format("%.1f", cpuSeconds * 1e6 / count); }

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Settings settings;
    if (!parseSettings(argc, argv, settings)) {
        std::fprintf(stderr,
                     "usage: recovery_bench [--messages N] [--small N] [--round-trips N] [--rounds N] [--cpus A,B] "
                     "[--no-sync] [--no-syscalls]\n");
        return 2;
    }
    const Cpus& cpus = settings.cpus;
    if (!pinTo(0, cpus.sender) || !pinTo(0, cpus.answerer)) {
        std::fprintf(stderr, "recovery_bench: cannot run on CPUs %d and %d\n", cpus.sender, cpus.answerer);
        return 2;
    }
    {
        cpu_set_t both;
        CPU_ZERO(&both);
        CPU_SET(cpus.sender, &both);
        CPU_SET(cpus.answerer, &both);
        ::sched_setaffinity(0, sizeof both, &both);
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
    std::printf("message size: %u bytes (the smallest the store file tool accepts); sending side on CPU %d, "
                "answering side on CPU %d\n",
                size, cpus.sender, cpus.answerer);

    const std::string large = bench.home + "/large.dat";
    const std::string small = bench.home + "/small.dat";
    bool ok = bench.makeStore(large, settings.messages, size) && bench.makeStore(small, settings.small, size);
    const auto copyOf = [&](const std::string& from, const char* name) {
        const std::string path = bench.home + "/" + name;
        std::error_code ec;
        return std::filesystem::copy_file(from, path, std::filesystem::copy_options::overwrite_existing, ec)
                   ? path
                   : std::string();
    };
    const std::string smallSynced = ok ? copyOf(small, "small-synced.dat") : "";
    const std::string smallCounted = ok ? copyOf(small, "small-counted.dat") : "";
    const std::string smallDelayed = ok ? copyOf(small, "small-delayed.dat") : "";
    ok = ok && !smallSynced.empty() && !smallCounted.empty() && !smallDelayed.empty();
    if (!ok) {
        std::fprintf(stderr, "the store files could not be made\n");
        std::filesystem::remove_all(bench.home);
        return 1;
    }

    PingPongRun bound;
    PingPongRun library;
    RecoveryRun largeRun;
    RecoveryRun unwritten;
    long largePeakKb = 0;
    const std::vector<std::string> withoutHeaderWrites{"LD_PRELOAD=" + bench.bin +
                                                       "/bench/libzento_bench_no_header_writes.so"};
    const auto better = [&](const RecoveryRun& a, const RecoveryRun& b) {
        return !b.ok || (a.ok && a.steadyRate(settings.messages) > b.steadyRate(settings.messages));
    };
    for (std::uint32_t round = 1; ok && round <= settings.rounds; ++round) {
        const PingPongRun plain = plainPingPong(size, settings.roundTrips, cpus);
        const std::string copy = copyOf(large, "large-run.dat");
        const RecoveryRun recovered = recover(bench, settings, copy, settings.messages);
        const std::string copyUnwritten = copyOf(large, "large-run.dat");
        const RecoveryRun recoveredUnwritten =
            recover(bench, settings, copyUnwritten, settings.messages, {withoutHeaderWrites, "", {}});
        const PingPongRun viaLibrary = libraryPingPong(size, settings.roundTrips, cpus);
        ok = plain.rate > 0 && recovered.ok && recoveredUnwritten.ok && viaLibrary.rate > 0;
        std::printf("round %u: plain ping-pong %.0f round trips/s, recovery %.0f msg/s, without header writes %.0f "
                    "msg/s, library ping-pong %.0f round trips/s\n",
                    round, plain.rate, recovered.steadyRate(settings.messages),
                    recoveredUnwritten.steadyRate(settings.messages), viaLibrary.rate);
        if (plain.rate > bound.rate) bound = plain;
        if (viaLibrary.rate > library.rate) library = viaLibrary;
        if (better(recovered, largeRun)) largeRun = recovered;
        if (better(recoveredUnwritten, unwritten)) unwritten = recoveredUnwritten;
        largePeakKb = std::max(largePeakKb, recovered.peakKb);
    }
    const RecoveryRun smallRun = ok ? recover(bench, settings, small, settings.small) : RecoveryRun{};
    ok = ok && smallRun.ok;
    if (!ok) {
        std::filesystem::remove_all(bench.home);
        return 1;
    }
    std::printf("best of %u rounds:\n", settings.rounds);
    printPingPong("plain-socket ping-pong (bound)", settings.roundTrips, bound, bound.rate);
    printPingPong("library ping-pong", settings.roundTrips, library, bound.rate);
    printRun("recovery", settings.messages, largeRun, bound.rate);
    printRun("recovery without header writes", settings.messages, unwritten, bound.rate);
    printRun("recovery (memory check)", settings.small, smallRun, bound.rate);
    RecoveryRun synced;
    if (settings.sync) {
        synced = recover(bench, settings, smallSynced, settings.small, {{"ZENTO_SF_SYNC=message"}, "", {}});
        if (synced.ok) printRun("recovery, ZENTO_SF_SYNC=message", settings.small, synced, bound.rate);
        ok = synced.ok;
    }

    // A destination that answers 1 ms after each message, as one across a
    // network might: one message at a time, the wait is the pace.
    const RecoveryRun delayed = recover(bench, settings, smallDelayed, settings.small, {{}, "", {"--ack-delay-ms", "1"}});
    if (delayed.ok) printRun("recovery, acknowledgements 1 ms late", settings.small, delayed, bound.rate);
    ok = ok && delayed.ok;

    std::string recoveryCalls = "not counted";
    std::string destinationCalls = "not counted";
    if (settings.syscalls && ::access("/usr/bin/strace", X_OK) == 0) {
        const RecoveryRun counted = recover(bench, settings, smallCounted, settings.small, {{}, bench.home, {}});
        if (counted.ok) {
            recoveryCalls = perMessage(straceCounts(bench.home + "/recovery.strace"), settings.small);
            destinationCalls = perMessage(straceCounts(bench.home + "/destination.strace"), settings.small);
        }
    }
    std::printf("system calls, recovery:    %s\n", recoveryCalls.c_str());
    std::printf("system calls, destination: %s\n", destinationCalls.c_str());
    std::printf("system calls, ping-pong:   %.1f a round trip on each side (one write, one read)\n", bound.pingCalls);

    const std::string where = bench::format("CPUs %d and %d", cpus.sender, cpus.answerer);
    const std::string boundText =
        bench::format("plain-socket ping-pong %s round trips/s (CPU/trip %.1f + %.1f us)", bench::grouped(bound.rate).c_str(),
                      bound.pingCpuMicroseconds, bound.echoCpuMicroseconds);
    const auto recoveryRow = [&](const std::string& figure, std::uint32_t count, const RecoveryRun& run, bool goal) {
        const double steady = run.steadyRate(count);
        bench::printShare(figure + ", " + where,
                          bench::format("%s msg/s (CPU/msg %s + %s us)", bench::grouped(steady).c_str(),
                                        cpuText(run.cpuSeconds, count).c_str(), cpuText(run.arecCpuSeconds, count).c_str()),
                          boundText, bench::percent(steady / bound.rate), goal ? "≥ 90%" : "-",
                          goal ? bench::metText(steady >= kGoalShare * bound.rate) : "");
    };
    recoveryRow(bench::format("recovery, %s messages of %u bytes", bench::grouped(settings.messages).c_str(), size),
                settings.messages, largeRun, true);
    recoveryRow("recovery without its header writes (bench only)", settings.messages, unwritten, false);
    if (settings.sync && synced.ok) {
        recoveryRow(bench::format("recovery, ZENTO_SF_SYNC=message, %s messages", bench::grouped(settings.small).c_str()),
                    settings.small, synced, false);
    }
    if (delayed.ok) {
        const double steady = delayed.steadyRate(settings.small);
        bench::printShare(bench::format("recovery, acknowledgements 1 ms late, %s messages",
                                        bench::grouped(settings.small).c_str()),
                          bench::format("%s msg/s", bench::grouped(steady).c_str()), "1 ms a message: 1,000 msg/s",
                          bench::percent(steady / 1000.0), "-", "");
    }
    bench::printShare("library ping-pong, " + where,
                      bench::format("%s round trips/s (CPU/trip %.1f + %.1f us)", bench::grouped(library.rate).c_str(),
                                    library.pingCpuMicroseconds, library.echoCpuMicroseconds),
                      boundText, bench::percent(library.rate / bound.rate), "-", "");
    bench::printShare("system calls per message (recovery; destination)", recoveryCalls + "; " + destinationCalls,
                      bench::format("ping-pong %.1f; %.1f", bound.pingCalls, bound.echoCalls), "-", "-", "");
    // A peak that grew with the file would show a per-message leak or a
    // buffer sized by the file; a little allocator slack is expected.
    const bool flat = largePeakKb <= smallRun.peakKb + smallRun.peakKb / 4 + 256;
    bench::printShare(bench::format("recovery peak memory, %s against %s messages",
                                    bench::grouped(settings.messages).c_str(), bench::grouped(settings.small).c_str()),
                      bench::format("%ld KiB", largePeakKb), bench::format("%ld KiB", smallRun.peakKb),
                      bench::percent(static_cast<double>(largePeakKb) / static_cast<double>(smallRun.peakKb)),
                      "flat", bench::metText(flat));
    std::filesystem::remove_all(bench.home);
    return ok ? 0 : 1;
}
