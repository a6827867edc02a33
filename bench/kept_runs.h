#pragma once
// For the Google Benchmark programs: the console output as usual, and each
// run's results kept, so that main can set one run against another and print
// the share lines (bench/share_line.h).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class KeptRuns : public benchmark::ConsoleReporter {
public:
    KeptRuns() : ConsoleReporter(::isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred) kept_[run.benchmark_name()] = run;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The run named name, or name/arguments; nullptr when it failed or did
    // not run.
    const Run* find(const std::string& name) const {
        for (const auto& [full, run] : kept_) {
            if (full == name || full.rfind(name + "/", 0) == 0) return &run;
        }
        return nullptr;
    }

    // Wall time, and processor time (which rates such as bytes_per_second
    // are based on unless the benchmark asks for wall time).
    static double secondsPerIteration(const Run& run) {
        return run.iterations > 0 ? run.real_accumulated_time / static_cast<double>(run.iterations) : 0;
    }
    static double cpuSecondsPerIteration(const Run& run) {
        return run.iterations > 0 ? run.cpu_accumulated_time / static_cast<double>(run.iterations) : 0;
    }

    static double counter(const Run& run, const std::string& name) {
        const auto found = run.counters.find(name);
        return found != run.counters.end() ? found->second.value : 0;
    }

private:
    std::map<std::string, Run> kept_;
};

}  // namespace bench
