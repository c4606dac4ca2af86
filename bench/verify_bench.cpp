// Store verification over a store of VORP_BENCH_VERIFY_ROWS edge versions (default 10,000,000)
// in segments of 1,000,000 rows, a tenth of them closed by close runs, between 100,000 entities.
// Figures, one line each:
//   BM_VerifyFloor   SHA-256 of every segment file plus CRC-32C of it, files read from disk: the
//                    least work the checksum verification can do (bytes/s);
//   BM_VerifyFast    the fast mode (bytes/s over the same files; rows_walked must stay 0);
//   BM_VerifyFull/T  the full mode with VORP_SCAN_THREADS=T (bytes/s, rows_walked, and rows/s:
//                    rows walked per second of the whole call, fast mode included).
// The row walk runs on worker threads only when the scan's gate opens (T >= 4 and at least
// VORP_PARALLEL_MIN_ROWS rows, default 4,000,000), so below that store size T=8 runs serially.
// The store is built once per process with the engine's writers and removed at exit.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_support.h"
#include "vorp/checksum.h"
#include "vorp/fileio.h"
#include "vorp/integrity.h"
#include "vorp/segment.h"
#include "vorp/staging.h"
#include "vorp/store.h"

namespace {

namespace fs = std::filesystem;
using namespace vorp;

constexpr std::uint64_t ROWS_PER_SEGMENT = 1'000'000;
constexpr std::uint32_t ENTITIES = 100'000;

std::uint64_t total_rows() {
    if (const char* text = std::getenv("VORP_BENCH_VERIFY_ROWS")) {
        const std::uint64_t rows = std::strtoull(text, nullptr, 10);
        if (rows > 0) return rows;
    }
    return 10'000'000;
}

struct VerifyStore {
    fs::path root;
    std::uint64_t segment_bytes = 0;
    std::vector<fs::path> segment_files;

    VerifyStore() {
        root = vorp::bench::make_temp_dir("vorp-verify-bench");
        Manifest head = NativeStore::open(root.string()).value()->manifest();
        Dictionary dict = Dictionary::for_root(root);
        for (std::uint32_t id = 0; id < ENTITIES; ++id) dict.push(fmt::format("entity-{:08}", id), "Person");
        const DictCommit committed = dict.commit_to_disk().value();

        std::mt19937_64 rng(42);
        const char* const rels[] = {"knows", "likes", "follows", "blocks"};
        const std::uint64_t rows = total_rows();
        std::uint64_t written = 0;
        std::uint64_t checkpoint = 0;
        for (std::int64_t tt = 100; written < rows; tt += 100) {
            Manifest next = head.successor(tt);
            next.dict = {committed.records, committed.bytes};
            const std::uint64_t count = std::min(ROWS_PER_SEGMENT, rows - written);
            std::vector<EdgeRow> batch(count);
            for (std::uint64_t index = 0; index < count; ++index) {
                EdgeRow& row = batch[index];
                row.src_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                row.dst_id = static_cast<std::uint32_t>(rng() % ENTITIES);
                row.rel_type = rels[rng() % 4];
                row.props = fmt::format("{{\"weight\":{}}}", rng() % 1000);
                row.source = "bench";
                row.vid = Id96{written + index, 7};
                row.vt_s = static_cast<std::int64_t>((written + index) * 10);
                row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 100);
                row.tt_s = tt;
            }
            const std::uint64_t segment_id = next.next_segment_id++;
            const fs::path file = segment_relative_path(segment_id);
            write_edge_segment(root / file, batch, SegmentWriteOptions{}).value();
            next.edge_lanes.event.push_back(sealed_entry(batch, file.string(), 0));
            segment_files.push_back(root / file);
            segment_bytes += fs::file_size(root / file);
            // Close a tenth of the rows of this segment at this generation.
            std::vector<StagedClose> closes;
            for (std::uint64_t index = 0; index < count; index += 10)
                closes.push_back(StagedClose{segment_id, tt + 50, static_cast<std::uint32_t>(index), true});
            const fs::path run = close_run_relative_path(next.generation);
            write_close_run(root / run, closes).value();
            next.close_runs.push_back(CloseRunRef{run.string(), static_cast<std::uint32_t>(closes.size()), ""});
            next.seal();
            const ManifestMerkle merkle = ManifestMerkle::from_manifest(head);
            const DeltaBase base{head.manifest_sha, head.generation, merkle.lens(), head.widths, merkle};
            checkpoint = publish(root, base, checkpoint, next, false, DEFAULT_CHECKPOINT_EVERY)
                             .value()
                             .stats.checkpoint_generation;
            head = std::move(next);
            written += count;
        }
    }
    ~VerifyStore() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

const VerifyStore& verify_store() {
    static const VerifyStore store;
    return store;
}

void BM_VerifyFloor(benchmark::State& state) {
    const VerifyStore& store = verify_store();
    for (auto _ : state) {
        std::uint32_t crc = 0;
        for (const fs::path& file : store.segment_files) {
            const std::string bytes = read_file(file).value();
            const Sha256Digest digest = Sha256::digest(bytes);
            crc ^= crc32c(bytes) ^ digest[0];
        }
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * store.segment_bytes));
}
BENCHMARK(BM_VerifyFloor)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_VerifyFast(benchmark::State& state) {
    const VerifyStore& store = verify_store();
    const auto handle = NativeStore::open(store.root.string()).value();
    VerifyReport last;
    for (auto _ : state) last = verify_files(*handle).value().report;
    if (!last.healthy()) state.SkipWithError("the bench store is not healthy");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * store.segment_bytes));
    state.counters["rows"] = static_cast<double>(last.rows);
    state.counters["rows_walked"] = static_cast<double>(last.rows_walked);
}
BENCHMARK(BM_VerifyFast)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_VerifyFull(benchmark::State& state) {
    const VerifyStore& store = verify_store();
    const auto handle = NativeStore::open(store.root.string()).value();
    const std::string threads = std::to_string(state.range(0));
    ::setenv("VORP_SCAN_THREADS", threads.c_str(), 1);
    VerifyReport last;
    for (auto _ : state) last = verify_full(*handle).value();
    ::unsetenv("VORP_SCAN_THREADS");
    if (!last.healthy()) state.SkipWithError("the bench store is not healthy");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * store.segment_bytes));
    state.counters["rows_walked"] = static_cast<double>(last.rows_walked);
    state.counters["believed_rows"] = static_cast<double>(last.believed_rows);
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(last.rows_walked * state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VerifyFull)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace
