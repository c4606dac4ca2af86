// Segment write, open and full sequential read over a 1M-row edge segment.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_support.h"
#include "vorp/segment.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t ROWS = 1'000'000;

// Rows shaped like a real edge lane (see lane_edge_rows).
const std::vector<EdgeRow>& sample_rows() {
    static const std::vector<EdgeRow> rows = bench::lane_edge_rows(ROWS);
    return rows;
}

// A scratch directory removed when the benchmark program exits.
struct BenchDir {
    fs::path path = fs::temp_directory_path() / fmt::format("vorp-segment-bench-{}", ::getpid());
    BenchDir() { fs::create_directories(path); }
    ~BenchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

const fs::path& bench_dir() {
    static const BenchDir dir;
    return dir.path;
}

const fs::path& sample_file() {
    static const fs::path path = [] {
        fs::path target = bench_dir() / "seg" / "000000000001.vos";
        if (!write_edge_segment(target, sample_rows(), {})) std::abort();
        return target;
    }();
    return path;
}

void BM_SegmentWriteEdge1M(benchmark::State& state) {
    const std::vector<EdgeRow>& rows = sample_rows();
    const fs::path path = bench_dir() / "seg" / "000000000002.vos";
    for (auto _ : state) {
        const Status written = write_edge_segment(path, rows, {});
        if (!written) {
            state.SkipWithError(written.error().display().c_str());
            return;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fs::file_size(path)));
    state.counters["file_MB"] = static_cast<double>(fs::file_size(path)) / 1e6;
}
BENCHMARK(BM_SegmentWriteEdge1M)->Unit(benchmark::kMillisecond)->UseRealTime();

void open_bench(benchmark::State& state, bool verify) {
    const fs::path& path = sample_file();
    for (auto _ : state) {
        Result<MmapSource> source = MmapSource::load(path);
        if (!source) {
            state.SkipWithError(source.error().display().c_str());
            return;
        }
        auto segment = Segment::open(path, std::move(*source), verify);
        if (!segment) {
            state.SkipWithError(segment.error().display().c_str());
            return;
        }
        benchmark::DoNotOptimize(segment);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fs::file_size(path)));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ROWS));
}

// Map + verify (SHA-256 and CRC-32C of the whole body) + decode.
void BM_SegmentOpenVerified(benchmark::State& state) { open_bench(state, true); }
BENCHMARK(BM_SegmentOpenVerified)->Unit(benchmark::kMillisecond)->UseRealTime();
// Map + decode only (every open after the first of a handle).
void BM_SegmentOpenUnverified(benchmark::State& state) { open_bench(state, false); }
BENCHMARK(BM_SegmentOpenUnverified)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every column of every row through the typed views, every string reference resolved.
void BM_SegmentSequentialRead(benchmark::State& state) {
    const fs::path& path = sample_file();
    const std::shared_ptr<const Segment> segment = Segment::open(path, MmapSource::load(path).value(), false).value();
    for (auto _ : state) {
        const auto vt_s = segment->edges.vt_s.get().value();
        const auto src_id = segment->edges.src_id.get().value();
        const auto dst_id = segment->edges.dst_id.get().value();
        const auto rel_code = segment->edges.rel_code.get().value();
        const auto vid64 = segment->edges.vid64.get().value();
        const auto vid_lo32 = segment->edges.vid_lo32.get().value();
        const auto vt_e = segment->edges.vt_e.get().value();
        const auto props_ref = segment->edges.props_ref.get().value();
        const auto disc_ref = segment->edges.disc_ref.get().value();
        const auto source_ref = segment->edges.source_ref.get().value();
        const auto prov_ref = segment->edges.prov_ref.get().value();
        const StringView strings = segment->strings().value();
        std::uint64_t checksum = 0;
        std::size_t text_bytes = 0;
        for (std::size_t r = 0; r < segment->header.rows; ++r) {
            checksum += static_cast<std::uint64_t>(vt_s[r]) ^ src_id[r] ^ dst_id[r] ^ rel_code[r] ^ vid64[r] ^ vid_lo32[r] ^
                        static_cast<std::uint64_t>(vt_e[r]);
            text_bytes += strings.get(props_ref[r]).value().size();
            text_bytes += strings.get(disc_ref[r]).value().size();
            text_bytes += strings.get(source_ref[r]).value().size();
            if (const auto prov = strings.get_opt(prov_ref[r]).value()) text_bytes += prov->size();
        }
        benchmark::DoNotOptimize(checksum);
        benchmark::DoNotOptimize(text_bytes);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * segment->header.rows));
}
BENCHMARK(BM_SegmentSequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime();

// The numeric columns only (no string resolution): the raw cost of the zero-copy views.
void BM_SegmentSequentialReadNumeric(benchmark::State& state) {
    const fs::path& path = sample_file();
    const std::shared_ptr<const Segment> segment = Segment::open(path, MmapSource::load(path).value(), false).value();
    for (auto _ : state) {
        const auto vt_s = segment->edges.vt_s.get().value();
        const auto src_id = segment->edges.src_id.get().value();
        const auto dst_id = segment->edges.dst_id.get().value();
        const auto rel_code = segment->edges.rel_code.get().value();
        const auto vid64 = segment->edges.vid64.get().value();
        const auto vt_e = segment->edges.vt_e.get().value();
        std::uint64_t checksum = 0;
        for (std::size_t r = 0; r < segment->header.rows; ++r)
            checksum += static_cast<std::uint64_t>(vt_s[r]) ^ src_id[r] ^ dst_id[r] ^ rel_code[r] ^ vid64[r] ^
                        static_cast<std::uint64_t>(vt_e[r]);
        benchmark::DoNotOptimize(checksum);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * segment->header.rows));
}
BENCHMARK(BM_SegmentSequentialReadNumeric)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vorp
