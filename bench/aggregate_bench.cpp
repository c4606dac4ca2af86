// Grouped aggregation over a store of VORP_BENCH_AGG_ROWS edge versions (default 10,000,000) of
// 100,000 entities and 8 relationship types, shaped like the peer comparison's store
// (bench/bench_data.py): ten commits of equal size at transaction times 1000, 2000, ..., 90% of
// the versions one microsecond long and the others up to three weeks, about 20% of them closed by
// a later commit (the closing commit uniform among the later ones). Two layouts:
//   easy      each commit's valid times lie in a week of their own, so segments never overlap
//   overlap   every commit's valid times are spread over all ten weeks (backfills, corrections)
//
// Figures (args: layout 0 easy / 1 overlap, as of 0 past / 1 now, threads), each with
// VORP_PARALLEL_MIN_ROWS = 0 and one untimed call first (segment opens, close table):
//   AggBucketRel   count and mean duration by (day bucket, rel type): 70 x 8 groups
//   AggSource      count and mean duration by source endpoint: 100,000 groups
//   AggSelectOnly  the selection phase alone with the same predicate (what every aggregate pays)
// Counters: rows/s (rows folded), cpu/wall (the process's user plus system CPU time over the wall
// time of the timed loop: how many cores the call kept busy), groups.
// "Past" is the transaction time of the fifth commit.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/aggregate.h"
#include "vorp/scan_pipeline.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t ENTITIES = 100'000;
constexpr std::size_t GENERATIONS = 10;
constexpr std::int64_t T0 = 1'700'000'000'000'000;
constexpr std::int64_t WEEK = 604'800'000'000;
constexpr std::int64_t DAY = 86'400'000'000;
const char* const REL_TYPES[] = {"knows", "works_at", "owns", "likes", "follows", "paid", "visited", "mentions"};

std::size_t total_rows() {
    const char* text = std::getenv("VORP_BENCH_AGG_ROWS");
    return text != nullptr ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : 10'000'000;
}

[[noreturn]] void die(const EngineError& error) {
    fmt::print(stderr, "aggregate bench: {}\n", error.display());
    std::abort();
}

std::int64_t generation_tt(std::size_t generation) { return 1000 * static_cast<std::int64_t>(generation + 1); }

struct BenchStore {
    fs::path path;
    std::unique_ptr<NativeStore> handle;
    std::size_t rows = 0;

    explicit BenchStore(bool overlap) : path(fs::temp_directory_path() / fmt::format("vorp-agg-bench-{}-{}", ::getpid(), overlap)) {
        auto opened = NativeStore::open(path.string());
        if (!opened) die(opened.error());
        handle = std::move(*opened);
        for (std::uint32_t entity = 0; entity < ENTITIES; ++entity) (void)handle->add_entity(fmt::format("ent:{:07}", entity), "");
        std::mt19937_64 rng(overlap ? 43 : 42);
        const std::size_t per_gen = total_rows() / GENERATIONS;
        const std::size_t n = per_gen * GENERATIONS;
        // The generation that closes each version, or -1; the overall fraction comes out at 20%.
        const double p_close = 0.2 * GENERATIONS / (GENERATIONS - 1);
        std::vector<std::int32_t> close_gen(n, -1);
        std::vector<Id96> vids(n);
        std::vector<std::vector<std::size_t>> closing(GENERATIONS);
        for (std::size_t index = 0; index < n; ++index) {
            const std::size_t gen = index / per_gen;
            vids[index] = Id96{(index + 1) * 0x9E3779B97F4A7C15ull, static_cast<std::uint32_t>(gen)};
            if (gen + 1 < GENERATIONS && std::uniform_real_distribution<double>(0, 1)(rng) < p_close) {
                const std::size_t later = gen + 1 + rng() % (GENERATIONS - 1 - gen);
                closing[later].push_back(index);
            }
        }
        for (std::size_t gen = 0; gen < GENERATIONS; ++gen) {
            const std::int64_t tt = generation_tt(gen);
            if (auto begun = handle->begin(tt); !begun) die(begun.error());
            for (std::size_t index = gen * per_gen; index < (gen + 1) * per_gen; ++index) {
                EdgeRow row;
                row.rel_type = REL_TYPES[rng() % 8];
                row.props = "{}";
                row.source = "bench";
                row.vid = vids[index];
                row.vt_s = overlap ? T0 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(GENERATIONS * WEEK))
                                   : T0 + static_cast<std::int64_t>(gen) * WEEK + static_cast<std::int64_t>(rng() % WEEK);
                row.vt_e = row.vt_s + (rng() % 10 != 0 ? 1 : 1 + static_cast<std::int64_t>(rng() % (3 * WEEK)));
                row.tt_s = tt;
                row.src_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                row.dst_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                if (auto staged = handle->stage_edge(std::move(row)); !staged) die(staged.error());
            }
            for (const std::size_t index : closing[gen])
                if (auto closed = handle->close_version(RowKind::Edge, vids[index], tt); !closed) die(closed.error());
            if (auto committed = handle->commit(handle->manifest().event_log); !committed) die(committed.error());
        }
        rows = n;
    }
    ~BenchStore() {
        handle.reset();
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

BenchStore& store(bool overlap) {
    static std::unique_ptr<BenchStore> stores[2];
    if (!stores[overlap]) stores[overlap] = std::make_unique<BenchStore>(overlap);
    return *stores[overlap];
}

double process_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void set_threads(std::int64_t threads) {
    ::setenv("VORP_SCAN_THREADS", std::to_string(threads).c_str(), 1);
    ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1);
}

std::int64_t as_of(const benchmark::State& state) { return state.range(1) == 0 ? generation_tt(GENERATIONS / 2 - 1) : OPEN_END; }

void run(benchmark::State& state, std::vector<Dim> group_by) {
    BenchStore& bench = store(state.range(0) != 0);
    set_threads(state.range(2));
    AggregateRequest request;
    request.group_by = std::move(group_by);
    request.aggregates = {{AggKind::Count, 0}, {AggKind::Mean, STAT_DURATION}};
    request.as_of_tt = as_of(state);
    request.t_a = T0;
    request.t_b = T0 + static_cast<std::int64_t>(GENERATIONS) * WEEK;
    request.max_groups = UINT64_MAX;
    const auto call = [&] {
        auto result = aggregate_edges(*bench.handle, request);
        if (!result) die(result.error());
        return std::move(*result);
    };
    AggregateResult warm = call();
    std::int64_t folded = 0;
    for (const std::optional<std::int64_t>& count : std::get<IntValues>(warm.aggs[0])) folded += count.value_or(0);
    const double cpu0 = process_cpu_seconds();
    const double wall0 = wall_seconds();
    for (auto _ : state) {
        AggregateResult result = call();
        benchmark::DoNotOptimize(result);
    }
    state.counters["cpu/wall"] = (process_cpu_seconds() - cpu0) / (wall_seconds() - wall0);
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(folded) * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
    state.counters["groups"] = static_cast<double>(std::get<IntValues>(warm.aggs[0]).size());
}

void AggBucketRel(benchmark::State& state) { run(state, {{DimKind::TimeBucket, 0, DAY}, {DimKind::RelType, 0, 0}}); }
void AggSource(benchmark::State& state) { run(state, {{DimKind::Endpoint, ROLE_SRC, 0}}); }

void AggSelectOnly(benchmark::State& state) {
    BenchStore& bench = store(state.range(0) != 0);
    set_threads(state.range(2));
    ScanRequest request;
    request.as_of_tt = as_of(state);
    request.vt_min = T0;
    request.vt_max = T0 + static_cast<std::int64_t>(GENERATIONS) * WEEK;
    const auto call = [&] {
        auto set = edge_scan_set(*bench.handle);
        if (!set) die(set.error());
        auto selected = set->select(request);
        if (!selected) die(selected.error());
        return std::move(*selected);
    };
    const std::size_t selections = call().selections.size();
    const double cpu0 = process_cpu_seconds();
    const double wall0 = wall_seconds();
    for (auto _ : state) {
        SelectOutcome selected = call();
        benchmark::DoNotOptimize(selected);
    }
    state.counters["selections"] = static_cast<double>(selections);
    state.counters["cpu/wall"] = (process_cpu_seconds() - cpu0) / (wall_seconds() - wall0);
}

void figures(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"overlap", "now", "threads"});
    for (const std::int64_t layout : {0, 1})
        for (const std::int64_t now : {0, 1})
            for (const std::int64_t threads : {1, 8}) bench->Args({layout, now, threads});
    bench->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(AggBucketRel)->Apply(figures);
BENCHMARK(AggSource)->Apply(figures);
BENCHMARK(AggSelectOnly)->Apply(figures);

}  // namespace
}  // namespace vorp
