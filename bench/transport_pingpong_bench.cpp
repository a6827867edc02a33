// Round trips of 400-byte messages between two processes over the local
// transport: the baseline the recovery's own throughput is measured against.
#include <benchmark/benchmark.h>

#include "bench/pingpong.h"

namespace {

void BM_TransportPingPong(benchmark::State& state) {
    bench::PingPong pingPong;
    if (!pingPong.start(static_cast<std::uint32_t>(state.range(0)))) {
        state.SkipWithError("the echo process could not be started");
        return;
    }
    for (auto _ : state) {
        if (!pingPong.roundTrip()) {
            state.SkipWithError("a round trip failed");
            break;
        }
    }
    state.counters["round_trips_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_TransportPingPong)->Arg(bench::PingPong::kDefaultMessageBytes)->UseRealTime();

BENCHMARK_MAIN();
