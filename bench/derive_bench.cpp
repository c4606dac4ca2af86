// Edge-id derivation throughput: one derivation per row of an edge scan's eid column.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/derive.h"

namespace {

struct EidInputs {
    std::vector<std::string> sources;
    std::vector<std::string> targets;
    EidInputs() {
        for (int i = 0; i < 1024; ++i) {
            sources.push_back(fmt::format("person-{:08}", i));
            targets.push_back(fmt::format("company-{:08}", (i * 7919) % 1024));
        }
    }
};

const EidInputs& inputs() {
    static const EidInputs data;
    return data;
}

void BM_EdgeEid(benchmark::State& state) {
    const EidInputs& data = inputs();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorp::edge_eid(data.sources[i], data.targets[i], "works_at", ""));
        i = (i + 1) & 1023;
    }
    state.counters["eids_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EdgeEid);

void BM_EidDeriver(benchmark::State& state) {
    const EidInputs& data = inputs();
    vorp::EidDeriver deriver;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(deriver(data.sources[i], data.targets[i], "works_at", "2024"));
        i = (i + 1) & 1023;
    }
    state.counters["eids_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EidDeriver);

void BM_EdgeEidThreads(benchmark::State& state) {
    const EidInputs& data = inputs();
    std::size_t i = static_cast<std::size_t>(state.thread_index()) * 97;
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorp::edge_eid(data.sources[i & 1023], data.targets[i & 1023], "works_at", ""));
        ++i;
    }
    state.counters["eids_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EdgeEidThreads)->Threads(4)->UseRealTime();

void BM_IdFromHex(benchmark::State& state) {
    const std::string text = "0123456789abcdef89abcdef";
    for (auto _ : state) benchmark::DoNotOptimize(vorp::Id96::from_hex(text));
}
BENCHMARK(BM_IdFromHex);

}  // namespace
