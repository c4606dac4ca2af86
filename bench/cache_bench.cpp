// The store's memory: segment-cache hits and misses, the identity-postings build over edge
// segments (rows/s), and the committed close index extended by one run versus rebuilt from 1,000.
//
// VORP_BENCH_POSTINGS_ROWS sets the number of edge rows the postings build indexes (default
// 10,000,000, written as 1M-row segments once per run).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/dict.h"
#include "vorp/postings.h"
#include "vorp/segment_cache.h"
#include "vorp/visibility.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

struct BenchDir {
    fs::path path = fs::temp_directory_path() / fmt::format("vorp-cache-bench-{}", ::getpid());
    BenchDir() { fs::create_directories(path); }
    ~BenchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

const fs::path& bench_root() {
    static const BenchDir dir;
    return dir.path;
}

constexpr std::uint32_t ENTITIES = 1'000'000;
constexpr std::size_t SEGMENT_ROWS = 1'000'000;

// Edge rows shaped like a real lane: ascending vt_s, a few dozen relationship types, mostly empty
// discriminators, endpoints over a million entities.
std::vector<EdgeRow> edge_rows(std::uint64_t seed, std::size_t count) {
    std::mt19937_64 rng(seed);
    std::vector<EdgeRow> out;
    out.reserve(count);
    std::int64_t vt_s = 1'700'000'000'000;
    for (std::size_t r = 0; r < count; ++r) {
        vt_s += static_cast<std::int64_t>(rng() % 1000);
        EdgeRow row;
        row.rel_type = fmt::format("rel_{}", rng() % 24);
        row.disc = r % 10 == 0 ? fmt::format("d{}", rng() % 100) : "";
        row.props = fmt::format("{{\"weight\":{}}}", rng() % 100000);
        row.source = "feed";
        row.vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
        row.vt_s = vt_s;
        row.vt_e = vt_s + 1 + static_cast<std::int64_t>(rng() % 100000);
        row.tt_s = 1'700'000'000'000;
        row.src_id = static_cast<std::uint32_t>(rng() % ENTITIES);
        row.dst_id = static_cast<std::uint32_t>(rng() % ENTITIES);
        out.push_back(std::move(row));
    }
    return out;
}

const Dictionary& dictionary() {
    static const Dictionary dict = [] {
        Dictionary d(bench_root() / "dict.log");
        for (std::uint32_t id = 0; id < ENTITIES; ++id) d.push(fmt::format("entity-{:08}", id), "Thing");
        return d;
    }();
    return dict;
}

std::size_t postings_rows() {
    const char* text = std::getenv("VORP_BENCH_POSTINGS_ROWS");
    return text == nullptr ? 10'000'000 : std::strtoull(text, nullptr, 10);
}

// Edge segments of SEGMENT_ROWS rows (the last one shorter) holding postings_rows() rows.
const Manifest& edge_store() {
    static const Manifest manifest = [] {
        Manifest m = Manifest::genesis();
        std::uint64_t id = 1;
        for (std::size_t done = 0; done < postings_rows(); done += SEGMENT_ROWS, ++id) {
            const std::size_t count = std::min(SEGMENT_ROWS, postings_rows() - done);
            SegmentEntry entry;
            entry.file = segment_relative_path(id).string();
            entry.rows = static_cast<std::uint32_t>(count);
            if (!write_edge_segment(bench_root() / entry.file, edge_rows(id, count), {})) std::abort();
            m.edge_lanes.event.push_back(std::move(entry));
        }
        return m;
    }();
    return manifest;
}

void BM_OpenSegmentHit(benchmark::State& state) {
    const Manifest& manifest = edge_store();
    SegmentCache cache(std::nullopt);
    const std::string& file = manifest.edge_lanes.event.front().file;
    if (!cache.open_segment(bench_root(), manifest, file)) std::abort();
    for (auto _ : state) benchmark::DoNotOptimize(cache.open_segment(bench_root(), manifest, file));
}
BENCHMARK(BM_OpenSegmentHit);

// Every open a miss (a budget of one byte keeps only the segment just opened), the checksums
// already verified by this handle: map, frame checks, column decoding.
void BM_OpenSegmentMiss(benchmark::State& state) {
    const Manifest& manifest = edge_store();
    SegmentCache cache(1);
    const std::string& a = manifest.edge_lanes.event.front().file;
    const std::string& b = manifest.edge_lanes.event.back().file;
    if (!cache.open_segment(bench_root(), manifest, a) || !cache.open_segment(bench_root(), manifest, b)) std::abort();
    bool flip = false;
    for (auto _ : state) {
        benchmark::DoNotOptimize(cache.open_segment(bench_root(), manifest, flip ? a : b));
        flip = !flip;
    }
}
BENCHMARK(BM_OpenSegmentMiss)->Unit(benchmark::kMillisecond);

// A first open by a handle: the miss plus SHA-256 of the body and CRC-32C of every extent.
void BM_OpenSegmentMissVerified(benchmark::State& state) {
    const Manifest& manifest = edge_store();
    const std::string& file = manifest.edge_lanes.event.front().file;
    for (auto _ : state) {
        SegmentCache cache(std::nullopt);
        benchmark::DoNotOptimize(cache.open_segment(bench_root(), manifest, file));
    }
}
BENCHMARK(BM_OpenSegmentMissVerified)->Unit(benchmark::kMillisecond);

// Indexing every edge row of the store (segments already in the cache): per row two dictionary
// lookups, the canonical JSON array and SHA-256, then the merge.
void BM_PostingsBuildEdges(benchmark::State& state) {
    const Manifest& manifest = edge_store();
    const Dictionary& dict = dictionary();
    SegmentCache cache(std::nullopt);
    for (const SegmentEntry& entry : manifest.edge_lanes.event)
        if (!cache.open_segment(bench_root(), manifest, entry.file)) std::abort();
    std::uint64_t rows = 0;
    for (auto _ : state) {
        auto postings = std::make_unique<KindPostings>(RowKind::Edge);
        if (!postings->index_segments(bench_root(), manifest, cache, dict)) std::abort();
        rows += postings->stats().by_identity_entries;
        state.PauseTiming();  // freeing the postings is not part of the build
        postings.reset();
        state.ResumeTiming();
    }
    state.counters["rows"] = static_cast<double>(postings_rows());
    state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PostingsBuildEdges)->Unit(benchmark::kMillisecond)->Iterations(2);

constexpr std::size_t CLOSE_RUNS = 1000;
constexpr std::size_t CLOSES_PER_RUN = 200;

// A manifest listing `runs` close runs of CLOSES_PER_RUN closes each, at generation `runs`.
Manifest close_manifest(std::size_t runs) {
    static const std::vector<CloseRunRef> refs = [] {
        std::vector<CloseRunRef> out;
        std::mt19937_64 rng(17);
        for (std::size_t generation = 1; generation <= CLOSE_RUNS; ++generation) {
            std::vector<StagedClose> rows(CLOSES_PER_RUN);
            for (StagedClose& close : rows)
                close = {1 + rng() % 10, static_cast<std::int64_t>(generation), static_cast<std::uint32_t>(rng() % 1'000'000),
                         true};
            const fs::path relative = close_run_relative_path(generation);
            if (!write_close_run(bench_root() / relative, rows)) std::abort();
            out.push_back({relative.string(), static_cast<std::uint32_t>(rows.size()), ""});
        }
        return out;
    }();
    Manifest m = Manifest::genesis();
    m.generation = runs;
    m.close_runs.assign(refs.begin(), refs.begin() + static_cast<std::ptrdiff_t>(runs));
    return m;
}

void BM_CloseIndexRebuild1000Runs(benchmark::State& state) {
    const Manifest manifest = close_manifest(CLOSE_RUNS);
    for (auto _ : state) {
        CloseIndexCache cache;
        benchmark::DoNotOptimize(cache.committed_close_index(bench_root(), manifest, false));
    }
}
BENCHMARK(BM_CloseIndexRebuild1000Runs)->Unit(benchmark::kMillisecond)->Iterations(10);

// The cache holds the index of 999 runs; the next generation appended the 1,000th.
void BM_CloseIndexExtendTo1000Runs(benchmark::State& state) {
    const Manifest parent = close_manifest(CLOSE_RUNS - 1);
    const Manifest child = close_manifest(CLOSE_RUNS);
    for (auto _ : state) {
        state.PauseTiming();
        auto cache = std::make_unique<CloseIndexCache>();
        if (!cache->committed_close_index(bench_root(), parent, false)) std::abort();
        state.ResumeTiming();
        benchmark::DoNotOptimize(cache->committed_close_index(bench_root(), child, false));
        state.PauseTiming();  // freeing the index is not part of the extension
        cache.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_CloseIndexExtendTo1000Runs)->Unit(benchmark::kMicrosecond)->Iterations(20);

}  // namespace
}  // namespace vorp
