// The edge scan pipeline (selection, ordering, materialization, concatenation) over a store of
// VORP_BENCH_SCAN_ROWS edge versions (default 10,000,000) over 100,000 entities, written as ten
// generations of segments whose valid times follow each other, with about 20% of the versions of the first nine generations closed
// by a later generation (through the close index, as committed close runs are read).
//
// Figures, each at VORP_SCAN_THREADS = 1 and 8 (VORP_PARALLEL_MIN_ROWS = 0):
//   ScanNow / ScanPast      columns vt_s, vt_e, src_id, dst_id, as of now and as of the middle
//                           generation: rows/s and output bytes/s
//   ScanNarrowWindow        a 1% valid-time window: segments pruned, rows/s
//   CloseTableBuild         the flat close table a handle caches per generation
//   MemcpyBaseline          one thread copying the same output size into fresh buffers, reserved
//                           plainly (/0) and as the scan reserves its columns (/1)
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/scan.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t ENTITIES = 100'000;
constexpr std::size_t GENERATIONS = 10;
constexpr std::int64_t WINDOW = 1'000'000'000;  // valid time covered by one generation
constexpr std::int64_t TT_BASE = 1'000;

std::size_t total_rows() {
    const char* text = std::getenv("VORP_BENCH_SCAN_ROWS");
    return text != nullptr ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : 10'000'000;
}

struct BenchStore {
    fs::path path = fs::temp_directory_path() / fmt::format("vorp-scan-bench-{}", ::getpid());
    ScanSet set;
    std::size_t rows = 0;

    BenchStore() {
        fs::create_directories(path);
        const std::size_t per_generation = total_rows() / GENERATIONS;
        std::mt19937_64 rng(42);
        auto index = std::make_shared<CloseIndex>();
        for (std::size_t generation = 0; generation < GENERATIONS; ++generation) {
            std::vector<EdgeRow> batch(per_generation);
            std::int64_t vt_s = static_cast<std::int64_t>(generation) * WINDOW;
            const std::int64_t step = WINDOW / static_cast<std::int64_t>(per_generation + 1);
            for (EdgeRow& row : batch) {
                vt_s += 1 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * step));
                row.rel_type = fmt::format("rel_{}", rng() % 16);
                row.disc = rng() % 10 == 0 ? fmt::format("d{}", rng() % 100) : "";
                row.props = fmt::format("{{\"w\":{}}}", rng() % 1000);
                row.source = "bench";
                row.vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
                row.vt_s = std::min(vt_s, static_cast<std::int64_t>(generation + 1) * WINDOW - 1);
                row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 50'000'000);
                row.tt_s = TT_BASE + static_cast<std::int64_t>(generation);
                row.src_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                row.dst_id = static_cast<std::uint32_t>(rng() % ENTITIES);
            }
            const std::uint64_t seg_id = generation + 1;
            const fs::path file = path / fmt::format("{:012}.vos", seg_id);
            if (auto written = write_edge_segment(file, batch, {}); !written) {
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
        // 20% of the versions closed by a later generation than their own.
        for (std::size_t target = 0; target + 1 < set.targets.size(); ++target) {
            const std::uint32_t n = set.targets[target].segment->header.rows;
            for (std::uint32_t row = 0; row < n; ++row)
                if (rng() % 5 == 0)
                    index->insert(set.targets[target].seg_id, row,
                                  TT_BASE + static_cast<std::int64_t>(target + 1 + rng() % (GENERATIONS - target - 1)));
        }
        set.close = index;
        // As a store handle caches it beside the committed index, once per generation.
        set.close_table = std::make_shared<const CloseTable>(CloseTable::build(index));
        set.entity_count = ENTITIES;
    }
    ~BenchStore() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

BenchStore& store() {
    static BenchStore instance;
    return instance;
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
    BenchStore& bench = store();
    set_threads(state.range(0));
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
    run_scan(state, numeric_request(TT_BASE + static_cast<std::int64_t>(GENERATIONS / 2)));
}
void ScanNarrowWindow(benchmark::State& state) {
    ScanRequest request = numeric_request(OPEN_END);
    request.vt_min = 3 * WINDOW;
    request.vt_max = 3 * WINDOW + WINDOW * static_cast<std::int64_t>(GENERATIONS) / 100;
    run_scan(state, request);
}

// The flat close table of the bench's committed index: paid once per generation, on the first scan.
void CloseTableBuild(benchmark::State& state) {
    BenchStore& bench = store();
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
    BenchStore& bench = store();
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

BENCHMARK(ScanNow)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanPast)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ScanNarrowWindow)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CloseTableBuild)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(MemcpyBaseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vorp
