// The cost of the list reports in the diagnostic log.
//
//   diag_reports_bench
//
// A success report over a full store list (15,000 entries) formats its table
// and writes it to the log; beside it the same number of bytes goes to the
// log in one ZENTO_DIAG_LOG call (goal: the report at no less than half that
// speed). Then, with diagnostics off, a report against the gate call alone
// (goal: the report costs that one call).
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "bench/share_line.h"
#include "diag/list_reports.h"
#include "msglib/diag_switch.h"
#include "msglib/msglib.h"
#include "msglib/task_kind.h"

namespace {

constexpr int kRuns = 7;
constexpr int kGateCalls = 10'000'000;

double secondsOf(const std::function<void()>& run) {
    const auto t0 = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    return d.count();
}

// Best of kRuns, each starting from an empty log.
double bestOf(const std::string& log, const std::function<void()>& run) {
    double best = 1e30;
    for (int i = 0; i < kRuns; ++i) {
        std::filesystem::remove(log);
        best = std::min(best, secondsOf(run));
    }
    return best;
}

void fillStoreList(StoreList& list) {
    for (std::uint32_t i = 0; i < kListSlots; ++i) {
        StoreListEntry& entry = list.slots[i];
        char name[64];
        std::snprintf(name, sizeof name, "C:\\ZENTO\\DATA\\ZENTO_STORE_NODE%05u.DLGPSVC", i);
        setFixedText(entry.FileName, sizeof entry.FileName, name);
        std::snprintf(name, sizeof name, "NODE%05u", i);
        entry.msgDest = makeAddress(name, "TSK_AREC");
        entry.existsInList = 1;
    }
    list.highestEntry = kListSlots;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/zento-diag-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const std::string home = pattern;
    ::setenv("ZENTO_HOME", home.c_str(), 1);
    ::setenv("ZENTO_DIAG", "on", 1);
    msglib::refreshDiagnosticSwitch();
    setTaskKind(kTaskStore);
    const std::string log = home + "/log/diag.log";

    std::unique_ptr<StoreList> list = newStoreList();
    if (!list) return 1;
    fillStoreList(*list);
    StatusBlock clean;
    ZENTO_SERVER_INITBLK(clean);

    const double report = bestOf(log, [&] { diag::reportStoreListChange(list.get(), -1, 4, "STORE.SVC", &clean); });
    std::ifstream in(log, std::ios::binary);
    const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    StatusBlock local;
    const double write = bestOf(log, [&] { ZENTO_DIAG_LOG("LOGIC", 7052, written, local); });
    const double mib = static_cast<double>(written.size()) / (1024.0 * 1024.0);
    std::printf("store list report, 15000 entries: %.2f MiB of log text\n", mib);
    std::printf("  report (format + write): %8.2f ms  %7.1f MiB/s\n", report * 1e3, mib / report);
    std::printf("  one write of the same:   %8.2f ms  %7.1f MiB/s\n", write * 1e3, mib / write);
    std::printf("  report speed / write speed: %.0f%% (goal: at least 50%%)\n", 100.0 * write / report);

    ::unsetenv("ZENTO_DIAG");
    msglib::refreshDiagnosticSwitch();
    volatile std::int32_t sink = 0;
    const double gate = secondsOf([&] {
        for (int i = 0; i < kGateCalls; ++i) sink = sink + ZENTO_DIAG_LOGSTATE();
    });
    const double off = secondsOf([&] {
        for (int i = 0; i < kGateCalls; ++i) diag::reportStoreListChange(list.get(), -1, 4, "STORE.SVC", &clean);
    });
    std::printf("diagnostics off: gate call %.1f ns, store list report %.1f ns\n", gate * 1e9 / kGateCalls,
                off * 1e9 / kGateCalls);
    bench::printShare("store list report, 15,000 entries",
                      bench::format("%.2f ms for %.2f MiB (%.0f MiB/s)", report * 1e3, mib, mib / report),
                      bench::format("one log write of the same %.2f ms (%.0f MiB/s)", write * 1e3, mib / write),
                      bench::percent(write / report), "≥ 50%", bench::metText(write / report >= 0.5));
    // Within a nanosecond or a fifth of the gate: the report adds no call.
    const bool gateOnly = off <= gate * 1.2 + 1e-9 * kGateCalls;
    bench::printShare("store list report, diagnostics off", bench::format("%.1f ns", off * 1e9 / kGateCalls),
                      bench::format("the gate call %.1f ns", gate * 1e9 / kGateCalls), bench::percent(gate / off),
                      "the gate call only", bench::metText(gateOnly));
    std::filesystem::remove_all(home);
    return 0;
}
