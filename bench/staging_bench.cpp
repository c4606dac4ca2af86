// Staging and sealing a batch of 1M edge rows: rows/s, where seal spends its time, and how much
// memory it needs on top of the batch it seals.
//
// The split of seal's time is measured around it, not inside it: `encode_ms` is the writers' time
// for the same segments written to tmpfs (/dev/shm: no device I/O, no real sync), `write_ms` the
// extra time the same writes take in the benchmark's directory on disk, and `sort_ms` the rest of
// seal (index reset, sort, lane split, cuts, regrouping and restoring the key order).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/staging.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t ROWS = 1'000'000;

// Rows as a batch stages them: valid times in no particular order, one in ten a long interval
// (interval lane), a few dozen relationship types, mostly distinct properties.
const std::vector<EdgeRow>& batch_rows() {
    static const std::vector<EdgeRow> rows = [] {
        std::mt19937_64 rng(7);
        std::vector<EdgeRow> out;
        out.reserve(ROWS);
        for (std::size_t r = 0; r < ROWS; ++r) {
            EdgeRow row;
            row.rel_type = fmt::format("rel_{}", rng() % 24);
            row.disc = r % 10 == 0 ? fmt::format("d{}", rng() % 100) : "";
            row.props = fmt::format("{{\"weight\":{},\"since\":{}}}", rng() % 100000, 2000 + rng() % 25);
            row.source = fmt::format("feed-{}", rng() % 8);
            if (r % 5 == 0) row.prov = fmt::format("batch-{}", r / 1000);
            row.vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
            row.vt_s = 1'700'000'000'000'000 + static_cast<std::int64_t>(rng() % (52 * LANE_STRIDE));
            row.vt_e = r % 10 == 0 ? row.vt_s + 4 * LANE_STRIDE : row.vt_s + 1 + static_cast<std::int64_t>(rng() % 1000);
            row.tt_s = 1'760'000'000'000'000;
            row.src_id = static_cast<std::uint32_t>(rng() % 1'000'000);
            row.dst_id = static_cast<std::uint32_t>(rng() % 1'000'000);
            out.push_back(std::move(row));
        }
        return out;
    }();
    return rows;
}

struct ScratchDir {
    fs::path path;
    explicit ScratchDir(const fs::path& parent)
        : path(parent / fmt::format("vorp-staging-bench-{}", ::getpid())) {
        fs::create_directories(path);
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    void empty() const {
        for (const auto& entry : fs::directory_iterator(path)) fs::remove_all(entry.path());
    }
};

std::uint64_t proc_status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoull(line.substr(std::string(field).size()));
    return 0;
}

// Resets the peak resident set size to the current one (Linux 4.0 and later).
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

// What the staged rows occupy: the records and every text that does not fit in place.
std::uint64_t batch_bytes(const std::vector<EdgeRow>& rows) {
    const auto text = [](const std::string& s) { return s.capacity() > 15 ? s.capacity() + 1 : 0; };
    std::uint64_t total = rows.capacity() * sizeof(EdgeRow);
    for (const EdgeRow& row : rows)
        total += text(row.rel_type) + text(row.disc) + text(row.props) + text(row.source) + (row.prov ? text(*row.prov) : 0);
    return total;
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void BM_StageEdges1M(benchmark::State& state) {
    const std::vector<EdgeRow>& rows = batch_rows();
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<EdgeRow> copy = rows;
        Staging staging;
        state.ResumeTiming();
        for (EdgeRow& row : copy) staging.add_edge(std::move(row));
        benchmark::DoNotOptimize(staging.edges.data());
        state.PauseTiming();
        staging.clear();
        copy = {};
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows.size()));
}
BENCHMARK(BM_StageEdges1M)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The writers alone over the segments seal produced (rows already in key order).
double write_segments_ms(const std::vector<EdgeRow>& sorted, const SealedBatch& sealed, const fs::path& dir) {
    std::vector<EdgeRow> lane_major = sorted;
    std::stable_partition(lane_major.begin(), lane_major.end(), [](const EdgeRow& row) {
        return lane_of(row.vt_s, row.vt_e, 0, LANE_STRIDE) == Lane::Event;
    });
    const auto start = std::chrono::steady_clock::now();
    std::size_t begin = 0;
    for (const auto& [lane, entry] : sealed.edges) {
        SegmentWriteOptions options;
        options.lane = lane;
        const std::span<const EdgeRow> rows(lane_major.data() + begin, entry.rows);
        if (!write_edge_segment(dir / fs::path(entry.file).filename(), rows, options)) std::abort();
        begin += entry.rows;
    }
    return ms_since(start);
}

void BM_SealEdges1M(benchmark::State& state) {
    const std::vector<EdgeRow>& rows = batch_rows();
    const ScratchDir disk(fs::temp_directory_path());
    const ScratchDir shm("/dev/shm");
    double seal_ms = 0, disk_ms = 0, shm_ms = 0, peak_extra = 0, batch = 0;
    std::size_t segments = 0;
    for (auto _ : state) {
        state.PauseTiming();
        Staging staging;
        for (const EdgeRow& row : rows) staging.add_edge(row);
        batch = static_cast<double>(batch_bytes(staging.edges));
        disk.empty();
        reset_peak_rss();
        const std::uint64_t rss_before = proc_status_kib("VmRSS:");
        std::uint64_t next_id = 1;
        state.ResumeTiming();

        const auto start = std::chrono::steady_clock::now();
        const Result<SealedBatch> sealed = staging.seal(disk.path, {}, next_id, {});
        seal_ms += ms_since(start);

        state.PauseTiming();
        if (!sealed) {
            state.SkipWithError(sealed.error().display().c_str());
            return;
        }
        peak_extra = std::max(peak_extra, static_cast<double>(proc_status_kib("VmHWM:") - rss_before) * 1024.0);
        segments = sealed->segment_ids.size();
        disk.empty();
        disk_ms += write_segments_ms(staging.edges, *sealed, disk.path);
        shm_ms += write_segments_ms(staging.edges, *sealed, shm.path);
        shm.empty();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows.size()));
    state.counters["segments"] = static_cast<double>(segments);
    state.counters["sort_ms"] = (seal_ms - disk_ms) / n;
    state.counters["encode_ms"] = shm_ms / n;
    state.counters["write_ms"] = (disk_ms - shm_ms) / n;
    state.counters["batch_MB"] = batch / 1e6;
    state.counters["peak_extra_MB"] = peak_extra / 1e6;
}
BENCHMARK(BM_SealEdges1M)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace vorp
