// storeCrc over 292-byte message heads laid back to back, as the forward
// search of a damaged store file checks them, next to the plain
// byte-at-a-time table loop. Goal: at least 30 times faster. The sixteen-way
// table that processors without carry-less multiplication use is shown too.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "storefile/crc_variants.h"
#include "storefile/store_format.h"

namespace {

constexpr std::size_t kHead = 292;
constexpr std::size_t kHeads = 4096;  // about 1.2 MB: stays in the cache, measures the loop

std::vector<std::uint8_t> randomHeads() {
    std::vector<std::uint8_t> bytes(kHead * kHeads);
    std::mt19937 rng(1);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

std::array<std::uint32_t, 256> byteTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) != 0 ? (r << 1) ^ 0x04C11DB7u : r << 1;
        table[i] = r;
    }
    return table;
}

// The same CRC one byte per step: shift the byte in, reduce the byte that
// falls out at the top.
std::uint32_t byteAtATimeCrc(const std::array<std::uint32_t, 256>& table, const std::uint8_t* p, std::size_t n) {
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < n; ++i) r = ((r << 8) | p[i]) ^ table[r >> 24];
    return r;
}

void BM_StoreCrc(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = randomHeads();
    for (auto _ : state) {
        std::uint32_t sum = 0;
        for (std::size_t h = 0; h < kHeads; ++h) sum ^= storeCrc(std::span(bytes).subspan(h * kHead, kHead));
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

void BM_StoreCrcTableFallback(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = randomHeads();
    const auto crc = storeCrcVariants().front().crc;
    for (auto _ : state) {
        std::uint32_t sum = 0;
        for (std::size_t h = 0; h < kHeads; ++h) sum ^= crc(std::span(bytes).subspan(h * kHead, kHead));
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

void BM_ByteAtATimeTable(benchmark::State& state) {
    const std::vector<std::uint8_t> bytes = randomHeads();
    const auto table = byteTable();
    if (byteAtATimeCrc(table, bytes.data(), kHead) != storeCrc(std::span(bytes).first(kHead))) {
        state.SkipWithError("the reference loop disagrees with storeCrc");
        return;
    }
    for (auto _ : state) {
        std::uint32_t sum = 0;
        for (std::size_t h = 0; h < kHeads; ++h) sum ^= byteAtATimeCrc(table, bytes.data() + h * kHead, kHead);
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes.size()));
}

}  // namespace

BENCHMARK(BM_StoreCrc);
BENCHMARK(BM_StoreCrcTableFallback);
BENCHMARK(BM_ByteAtATimeTable);

BENCHMARK_MAIN();
