// The format fast paths, each measured in the same run against a reference doing the same work:
// one benchmark per row, one iteration that alternates the engine's path and the reference many
// times and reports the medians. Counters: `ours` and `ref` (the unit is in the benchmark's name),
// `ratio` = ours / ref as a throughput ratio (1.0 = as fast as the reference), and where it helps
// `scalar` (the engine with the vector kernels switched off).
//
//   build/release/engine-bench --benchmark_filter=FastPath
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "vorp/codec.h"
#include "vorp/simd.h"

namespace {

constexpr int REPEATS = 31;

// Median wall time in seconds of each function, run alternately REPEATS times.
std::vector<double> median_seconds(const std::vector<std::function<void()>>& runs, int repeats = REPEATS) {
    std::vector<std::vector<double>> samples(runs.size());
    for (const auto& run : runs) run();  // warm caches and lazy initialisation
    for (int repeat = 0; repeat < repeats; ++repeat) {
        for (std::size_t run_idx = 0; run_idx < runs.size(); ++run_idx) {
            const auto start = std::chrono::steady_clock::now();
            runs[run_idx]();
            samples[run_idx].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    }
    std::vector<double> medians;
    for (auto& sample : samples) {
        std::nth_element(sample.begin(), sample.begin() + sample.size() / 2, sample.end());
        medians.push_back(sample[sample.size() / 2]);
    }
    return medians;
}

void report(benchmark::State& state, double ours_per_s, double ref_per_s) {
    state.counters["ours"] = ours_per_s;
    state.counters["ref"] = ref_per_s;
    state.counters["ratio"] = ours_per_s / ref_per_s;
}

// ---- FOR decode ---------------------------------------------------------------------------------
// A column small enough that stream and output stay in L2, so the figure is the kernel's, not the
// memory's. Reference: a plain memcpy of the same output bytes from cache (the store floor; no
// packaged unpacker reads this bit layout).

constexpr std::size_t IN_CACHE_VALUES = 16384;

std::vector<std::uint8_t> stream_of_width(unsigned width, std::size_t count) {
    std::mt19937_64 rng(width + 7);
    const std::uint64_t mask = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
    std::vector<std::int64_t> values(count);
    for (auto& value : values) value = static_cast<std::int64_t>(1000 + (rng() & mask) / 2 * 2 + (rng() & 1));
    return vorp::encode_i64(values);
}

void for_decode_row(benchmark::State& state, unsigned element_width) {
    const unsigned width = static_cast<unsigned>(state.range(0));
    const std::vector<std::uint8_t> stream = stream_of_width(width, IN_CACHE_VALUES);
    std::vector<std::uint8_t> out(IN_CACHE_VALUES * element_width);
    std::vector<std::uint8_t> source(out.size(), 1);
    const auto decode = [&] {
        if (!vorp::decode_le_into(stream, IN_CACHE_VALUES, element_width, out)) std::abort();
        benchmark::ClobberMemory();
    };
    const auto scalar = [&] {
        vorp::force_scalar_kernels(true);
        decode();
        vorp::force_scalar_kernels(false);
    };
    const auto copy = [&] {
        std::memcpy(out.data(), source.data(), out.size());
        benchmark::ClobberMemory();
    };
    for (auto _ : state) {
        const auto t = median_seconds({decode, copy, scalar}, 201);
        report(state, IN_CACHE_VALUES / t[0], IN_CACHE_VALUES / t[1]);
        state.counters["scalar"] = IN_CACHE_VALUES / t[2];
    }
}

void BM_FastPathForDecode8ValuesPerS(benchmark::State& state) { for_decode_row(state, 8); }
void BM_FastPathForDecode4ValuesPerS(benchmark::State& state) { for_decode_row(state, 4); }
void BM_FastPathForDecode2ValuesPerS(benchmark::State& state) { for_decode_row(state, 2); }
BENCHMARK(BM_FastPathForDecode8ValuesPerS)->DenseRange(1, 8)->Arg(13)->Arg(20)->Arg(25)->Arg(32)->Iterations(1);
BENCHMARK(BM_FastPathForDecode4ValuesPerS)->DenseRange(1, 8)->Arg(13)->Arg(20)->Arg(25)->Arg(32)->Iterations(1);
BENCHMARK(BM_FastPathForDecode2ValuesPerS)->Arg(1)->Arg(7)->Arg(13)->Arg(16)->Iterations(1);

}  // namespace
