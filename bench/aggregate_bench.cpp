// Grouped aggregation over a store of VORP_BENCH_AGG_ROWS edge versions (default 10,000,000) over
// 100,000 entities and 16 relationship types, committed through the store handle as ten batches
// whose valid times follow each other.
//
// Figures, each at VORP_SCAN_THREADS = 1 and 8 (VORP_PARALLEL_MIN_ROWS = 0), as of now, over the
// whole valid-time range: rows folded per second.
//   AggBucketRel   count and mean duration by (time bucket of a tenth of the range, rel type)
//   AggSource      count and mean duration by source endpoint (100,000 groups)
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/aggregate.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t ENTITIES = 100'000;
constexpr std::size_t BATCHES = 10;
constexpr std::int64_t WINDOW = 1'000'000'000;  // valid time covered by one batch

std::size_t total_rows() {
    const char* text = std::getenv("VORP_BENCH_AGG_ROWS");
    return text != nullptr ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : 10'000'000;
}

[[noreturn]] void die(const EngineError& error) {
    fmt::print(stderr, "aggregate bench: {}\n", error.display());
    std::abort();
}

struct BenchStore {
    fs::path path = fs::temp_directory_path() / fmt::format("vorp-agg-bench-{}", ::getpid());
    std::unique_ptr<NativeStore> handle;
    std::size_t rows = 0;

    BenchStore() {
        auto opened = NativeStore::open(path.string());
        if (!opened) die(opened.error());
        handle = std::move(*opened);
        for (std::uint32_t entity = 0; entity < ENTITIES; ++entity) handle->dict.push(fmt::format("e{:06}", entity), "");
        std::mt19937_64 rng(42);
        const std::size_t per_batch = total_rows() / BATCHES;
        for (std::size_t batch = 0; batch < BATCHES; ++batch) {
            if (auto begun = handle->begin(static_cast<std::int64_t>(batch + 1) * 10); !begun) die(begun.error());
            const std::int64_t step = WINDOW / static_cast<std::int64_t>(per_batch + 1);
            std::int64_t vt_s = static_cast<std::int64_t>(batch) * WINDOW;
            for (std::size_t index = 0; index < per_batch; ++index) {
                vt_s += 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * step));
                EdgeRow row;
                row.rel_type = fmt::format("rel_{}", rng() % 16);
                row.props = "{}";
                row.source = "bench";
                row.vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
                row.vt_s = std::min(vt_s, static_cast<std::int64_t>(batch + 1) * WINDOW - 1);
                row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 50'000'000);
                row.tt_s = static_cast<std::int64_t>(batch + 1) * 10;
                row.src_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                row.dst_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                if (auto staged = handle->stage_edge(std::move(row)); !staged) die(staged.error());
            }
            if (auto committed = handle->commit(handle->manifest.event_log); !committed) die(committed.error());
            rows += per_batch;
        }
    }
    ~BenchStore() {
        handle.reset();
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

BenchStore& store() {
    static BenchStore instance;
    return instance;
}

void run(benchmark::State& state, std::vector<Dim> group_by) {
    BenchStore& bench = store();
    ::setenv("VORP_SCAN_THREADS", std::to_string(state.range(0)).c_str(), 1);
    ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1);
    AggregateRequest request;
    request.group_by = std::move(group_by);
    request.aggregates = {{AggKind::Count, 0}, {AggKind::Mean, STAT_DURATION}};
    request.as_of_tt = OPEN_END;
    request.t_a = 0;
    request.t_b = static_cast<std::int64_t>(BATCHES) * WINDOW;
    request.max_groups = UINT64_MAX;
    std::size_t groups = 0;
    for (auto _ : state) {
        auto result = aggregate_edges(*bench.handle, request);
        if (!result) die(result.error());
        groups = std::get<IntValues>(result->aggs[0]).size();
        benchmark::DoNotOptimize(result);
    }
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(bench.rows) * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
    state.counters["groups"] = static_cast<double>(groups);
}

void AggBucketRel(benchmark::State& state) {
    run(state, {{DimKind::TimeBucket, 0, static_cast<std::int64_t>(BATCHES) * WINDOW / 10}, {DimKind::RelType, 0, 0}});
}
void AggSource(benchmark::State& state) { run(state, {{DimKind::Endpoint, ROLE_SRC, 0}}); }

BENCHMARK(AggBucketRel)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AggSource)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vorp
