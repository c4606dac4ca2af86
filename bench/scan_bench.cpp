// The edge scan pipeline (selection, ordering, materialization, concatenation) over stores of
// VORP_BENCH_SCAN_ROWS edge versions (default 10,000,000) over 100,000 entities, written as ten
// generations (commits), about 20% of the versions of the first nine closed by a later
// generation (through the close index, as committed close runs are read). Six layouts:
//   0 follow               each generation's valid times in a window of their own, one segment
//                          per generation: segments never overlap
//   1 overlap              every generation's valid times spread over the whole span (backfills,
//                          corrections, feeds not ordered by valid time): every segment overlaps
//                          every other, one cluster
//   2 follow, compacted    the rows of layout 0 rewritten as 7 segments in key order, closes folded
//   3 overlap, compacted   the same for layout 1
//   4 many                 5,000 generations of 1,000 versions, valid times following the commits
//   5 many, compacted      the same rows as 7 segments (what the many-segments scan is set against)
//
// Figures, each with arguments (layout, VORP_SCAN_THREADS), VORP_PARALLEL_MIN_ROWS = 0:
//   ScanNow / ScanPast      columns vt_s, vt_e, src_id, dst_id, as of now and as of the middle
//                           generation: rows/s and output bytes/s
//   ScanNarrowWindow        a 1% valid-time window: segments pruned, rows/s
//   CloseTableBuild         the flat close table a handle caches per generation (/threads)
//   MemcpyBaseline          one thread copying the same output size into fresh buffers, reserved
//                           plainly (/0) and as the scan reserves its columns (/1)
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/scan_pipeline.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t ENTITIES = 100'000;
constexpr std::int64_t SPAN = 10'000'000'000;  // valid time covered by the whole history
constexpr std::int64_t TT_BASE = 1'000;
constexpr std::size_t COMPACTED_SEGMENTS = 7;

std::size_t total_rows() {
    const char* text = std::getenv("VORP_BENCH_SCAN_ROWS");
    return text != nullptr ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : 10'000'000;
}

struct LayoutShape {
    std::size_t generations;
    std::size_t rows;
    bool overlap;
    bool compacted;
};

LayoutShape shape_of(std::int64_t layout) {
    switch (layout) {
        case 0: return {10, total_rows(), false, false};
        case 1: return {10, total_rows(), true, false};
        case 2: return {10, total_rows(), false, true};
        case 3: return {10, total_rows(), true, true};
        case 4: return {5000, 5'000'000, false, false};
        default: return {5000, 5'000'000, false, true};
    }
}

struct BenchStore {
    fs::path path = fs::temp_directory_path() / fmt::format("vorp-scan-bench-{}", ::getpid());
    LayoutShape shape;
    ScanSet set;
    std::size_t rows = 0;

    void write(std::uint64_t seg_id, std::span<const EdgeRow> batch, const SegmentWriteOptions& options) {
        const fs::path file = path / fmt::format("{:012}.vos", seg_id);
        if (auto written = write_edge_segment(file, batch, options); !written) {
            fmt::print(stderr, "scan bench: {}\n", written.error().display());
            std::abort();
        }
        auto source = MmapSource::load(file);
        auto segment = source ? Segment::open(file, std::move(*source), true) : fail(source.error());
        if (!segment) {
            fmt::print(stderr, "scan bench: {}\n", segment.error().display());
            std::abort();
        }
        set.targets.push_back({*segment, seg_id, Lane::Event});
        rows += batch.size();
    }

    explicit BenchStore(std::int64_t layout) : shape(shape_of(layout)) {
        path += fmt::format("-{}", layout);
        fs::create_directories(path);
        const std::size_t generations = shape.generations;
        const std::size_t per_generation = shape.rows / generations;
        const std::int64_t window = SPAN / static_cast<std::int64_t>(generations);
        std::mt19937_64 rng(42);
        // Every version with the tt_e a later generation gives it (about 20% of the first ones).
        std::vector<EdgeRow> all(per_generation * generations);
        std::vector<std::int64_t> tt_e(all.size(), OPEN_END);
        for (std::size_t generation = 0; generation < generations; ++generation) {
            std::int64_t vt_s = static_cast<std::int64_t>(generation) * window;
            const std::int64_t step = window / static_cast<std::int64_t>(per_generation + 1);
            for (std::size_t index = generation * per_generation; index < (generation + 1) * per_generation; ++index) {
                EdgeRow& row = all[index];
                vt_s += 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * step));
                row.rel_type = fmt::format("rel_{}", rng() % 16);
                row.disc = rng() % 10 == 0 ? fmt::format("d{}", rng() % 100) : "";
                row.props = fmt::format("{{\"w\":{}}}", rng() % 1000);
                row.source = "bench";
                row.vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
                row.vt_s = shape.overlap ? static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(SPAN))
                                         : std::min(vt_s, static_cast<std::int64_t>(generation + 1) * window - 1);
                row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 50'000'000);
                row.tt_s = TT_BASE + static_cast<std::int64_t>(generation);
                row.src_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                row.dst_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                if (generation + 1 < generations && rng() % 5 == 0)
                    tt_e[index] = TT_BASE + static_cast<std::int64_t>(generation + 1 + rng() % (generations - generation - 1));
            }
        }
        const auto by_key = [&](std::size_t a, std::size_t b) {
            return std::tie(all[a].vt_s, all[a].vid) < std::tie(all[b].vt_s, all[b].vid);
        };
        if (!shape.compacted) {
            auto index = std::make_shared<CloseIndex>();
            for (std::size_t generation = 0; generation < generations; ++generation) {
                std::vector<std::size_t> order(per_generation);
                for (std::size_t i = 0; i < per_generation; ++i) order[i] = generation * per_generation + i;
                std::ranges::sort(order, by_key);
                std::vector<EdgeRow> batch;
                batch.reserve(per_generation);
                for (const std::size_t i : order) batch.push_back(std::move(all[i]));
                const std::uint64_t seg_id = generation + 1;
                write(seg_id, batch, {});
                for (std::uint32_t row = 0; row < order.size(); ++row)
                    if (tt_e[order[row]] != OPEN_END) index->insert(seg_id, row, tt_e[order[row]]);
            }
            set.close = index;
            // As a store handle caches it beside the committed index, once per generation.
            set.close_table = std::make_shared<const CloseTable>(CloseTable::build(index));
        } else {
            // Compaction's output: every version in key order, cut into equal segments, each
            // version's close folded into its segment's header.
            std::vector<std::size_t> order(all.size());
            for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
            std::ranges::sort(order, by_key);
            const std::size_t per_segment = (order.size() + COMPACTED_SEGMENTS - 1) / COMPACTED_SEGMENTS;
            for (std::size_t first = 0, seg = 0; first < order.size(); first += per_segment, ++seg) {
                const std::size_t last = std::min(order.size(), first + per_segment);
                std::vector<EdgeRow> batch;
                SegmentWriteOptions options;
                for (std::size_t position = first; position < last; ++position) {
                    if (tt_e[order[position]] != OPEN_END)
                        options.closed_rows.emplace_back(static_cast<std::uint32_t>(position - first), tt_e[order[position]]);
                    batch.push_back(std::move(all[order[position]]));
                }
                write(100 + seg, batch, options);
            }
        }
        set.entity_count = ENTITIES;
    }
    ~BenchStore() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

BenchStore& store(std::int64_t layout) {
    static std::map<std::int64_t, std::unique_ptr<BenchStore>> stores;
    std::unique_ptr<BenchStore>& entry = stores[layout];
    if (!entry) entry = std::make_unique<BenchStore>(layout);
    return *entry;
}

ScanRequest numeric_request(std::int64_t as_of) {
    ScanRequest request;
    request.as_of_tt = as_of;
    request.columns = std::vector<std::string>{"vt_s", "vt_e", "src_id", "dst_id"};
    return request;
}

struct ProcessTimes {
    double user_ms = 0;
    double sys_ms = 0;
};

ProcessTimes process_times() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& time) { return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3; };
    return {ms(usage.ru_utime), ms(usage.ru_stime)};
}

void set_threads(std::int64_t threads) {
    ::setenv("VORP_SCAN_THREADS", std::to_string(threads).c_str(), 1);
    ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1);
}

void run_scan(benchmark::State& state, const ScanRequest& request) {
    BenchStore& bench = store(state.range(0));
    set_threads(state.range(1));
    std::size_t rows = 0;
    ScanResultStats stats;
    const ProcessTimes before = process_times();
    for (auto _ : state) {
        auto result = materialize_at(bench.set, request);
        if (!result) {
            state.SkipWithError(result.error().display().c_str());
            return;
        }
        rows = result->columns.rows();
        stats = result->stats;
        benchmark::DoNotOptimize(result->columns.vt_s.data());
    }
    const ProcessTimes after = process_times();
    const double iterations = static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rows * 24));
    // CPU of every thread of the process per scan, to set against the wall time.
    state.counters["user_ms"] = (after.user_ms - before.user_ms) / iterations;
    state.counters["sys_ms"] = (after.sys_ms - before.sys_ms) / iterations;
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["segments"] = static_cast<double>(stats.scan.segments_total);
    state.counters["pruned"] = static_cast<double>(stats.scan.segments_pruned);
    state.counters["clusters"] = static_cast<double>(stats.clusters);
    state.counters["select_ms"] = static_cast<double>(stats.t_select) / 1e6;
    state.counters["materialize_ms"] = static_cast<double>(stats.t_materialize) / 1e6;
}

void ScanNow(benchmark::State& state) { run_scan(state, numeric_request(OPEN_END)); }
void ScanPast(benchmark::State& state) {
    run_scan(state, numeric_request(TT_BASE + static_cast<std::int64_t>(shape_of(state.range(0)).generations / 2)));
}
void ScanNarrowWindow(benchmark::State& state) {
    ScanRequest request = numeric_request(OPEN_END);
    request.vt_min = 3 * SPAN / 10;
    request.vt_max = *request.vt_min + SPAN / 100;
    run_scan(state, request);
}

// The flat close table of the bench's committed index: paid once per generation, on the first scan.
void CloseTableBuild(benchmark::State& state) {
    BenchStore& bench = store(0);
    std::size_t entries = 0;
    for (auto _ : state) {
        const CloseTable table = CloseTable::build(bench.set.close);
        entries = table.entries;
        benchmark::DoNotOptimize(table.segments.size());
    }
    state.counters["entries"] = static_cast<double>(entries);
}

// The same output size copied by one thread into freshly allocated columns.
// Arg 0: plain reserve (4 KiB pages); arg 1: reserved as the scan reserves its columns
// (reserve_large: the huge page hint).
void MemcpyBaseline(benchmark::State& state) {
    BenchStore& bench = store(0);
    const std::size_t rows = bench.rows;
    std::vector<std::int64_t> source64(rows, 7);
    std::vector<std::uint32_t> source32(rows, 7);
    const auto reserve = [&](auto& column) {
        if (state.range(0) != 0)
            reserve_large(column, rows);
        else
            column.reserve(rows);
    };
    for (auto _ : state) {
        std::vector<std::int64_t> a;
        std::vector<std::int64_t> b;
        std::vector<std::uint32_t> c;
        std::vector<std::uint32_t> d;
        reserve(a);
        reserve(b);
        reserve(c);
        reserve(d);
        a.insert(a.end(), source64.begin(), source64.end());
        b.insert(b.end(), source64.begin(), source64.end());
        c.insert(c.end(), source32.begin(), source32.end());
        d.insert(d.end(), source32.begin(), source32.end());
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(d.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rows * 24));
}

// Layouts in order, so each store is built once.
void scan_args(benchmark::internal::Benchmark* bench) {
    for (const std::int64_t layout : {0, 1, 2, 3})
        for (const std::int64_t threads : {1, 8}) bench->Args({layout, threads});
}
void many_args(benchmark::internal::Benchmark* bench) {
    for (const std::int64_t layout : {4, 5})
        for (const std::int64_t threads : {1, 8}) bench->Args({layout, threads});
}
BENCHMARK(ScanNow)->Apply(scan_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanPast)->Apply(scan_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanNarrowWindow)->Apply(scan_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanNow)->Name("ManySegmentsScanNow")->Apply(many_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanNarrowWindow)->Name("ManySegmentsScanNarrowWindow")->Apply(many_args)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CloseTableBuild)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(MemcpyBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vorp
