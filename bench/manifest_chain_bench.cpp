// Reconstruction of a manifest chain: a checkpoint of 10,000 segments followed by 511 deltas of
// one segment each (the longest run of deltas under the default checkpoint interval of 512).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "bench_support.h"
#include "vorp/manifest.h"
#include "vorp/manifest_chain.h"
#include "vorp/merkle.h"

namespace {

namespace fs = std::filesystem;
using namespace vorp;
using vorp::bench::bench_entry;
using vorp::bench::make_temp_dir;

constexpr std::uint64_t CHECKPOINT_SEGMENTS = 10'000;
constexpr std::uint64_t DELTAS = 511;

void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The chain on disk, built once per process and removed at exit.
struct ChainOnDisk {
    fs::path root;
    std::uint64_t bytes = 0;

    ChainOnDisk() {
        root = make_temp_dir("vorp-chain-bench");

        Manifest manifest = Manifest::genesis();
        for (std::uint64_t segment_idx = 0; segment_idx < CHECKPOINT_SEGMENTS; ++segment_idx) {
            SegmentEntry entry = bench_entry(manifest.next_segment_id++);
            (segment_idx % 2 == 0 ? manifest.node_store : manifest.edge_lanes.event).push_back(entry);
        }
        manifest.seal();
        ManifestMerkle merkle = ManifestMerkle::from_manifest(manifest);
        const std::string checkpoint = checkpoint_json(manifest);
        bytes += checkpoint.size();
        write_file(manifest_path(root, 0), checkpoint);

        for (std::uint64_t delta_idx = 0; delta_idx < DELTAS; ++delta_idx) {
            const DeltaBase base{manifest.manifest_sha, manifest.generation,
                                 {manifest.node_store.size(), manifest.edge_lanes.event.size(),
                                  manifest.edge_lanes.interval.size(), manifest.close_runs.size()},
                                 manifest.widths, merkle};
            manifest = manifest.successor(static_cast<std::int64_t>(delta_idx) + 1);
            SegmentEntry entry = bench_entry(manifest.next_segment_id++);
            merkle.lanes[LANE_EDGES_EVENT].push(entry);
            manifest.edge_lanes.event.push_back(std::move(entry));
            manifest.stats.n_edge_versions += 32768;
            manifest.event_log.offset += 4096;
            manifest.manifest_sha = manifest_digest(manifest, merkle);
            const auto delta = ManifestDelta::from_appends(manifest, base, 0);
            if (!delta) throw std::runtime_error("the bench chain must be cut as deltas");
            const std::string text = delta->to_json();
            bytes += text.size();
            write_file(manifest_path(root, manifest.generation), text);
        }
    }
    ~ChainOnDisk() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

const ChainOnDisk& chain() {
    static const ChainOnDisk instance;
    return instance;
}

void BM_ReconstructCheckpointPlus511Deltas(benchmark::State& state) {
    const ChainOnDisk& disk = chain();
    Reconstructed last;
    for (auto _ : state) {
        auto rebuilt = reconstruct(disk.root, DELTAS);
        if (!rebuilt) {
            state.SkipWithError(rebuilt.error().display().c_str());
            return;
        }
        last = std::move(*rebuilt);
        benchmark::DoNotOptimize(last.manifest.manifest_sha.data());
    }
    state.counters["segments"] = static_cast<double>(last.manifest.node_store.size() + last.manifest.edge_lanes.event.size());
    state.counters["deltas"] = static_cast<double>(last.deltas_since_checkpoint);
    state.counters["chain_MB"] = static_cast<double>(disk.bytes) / 1e6;
    state.counters["ckpt_read_us"] = static_cast<double>(last.timings.checkpoint_read_parse_us);
    state.counters["merkle_us"] = static_cast<double>(last.timings.merkle_verify_us);
    state.counters["delta_read_us"] = static_cast<double>(last.timings.delta_read_parse_us);
    state.counters["delta_apply_us"] = static_cast<double>(last.timings.delta_apply_us);
}
BENCHMARK(BM_ReconstructCheckpointPlus511Deltas)->Unit(benchmark::kMillisecond);

// The checkpoint alone (read, parse, full Merkle build and digest check) for comparison.
void BM_ReadCheckpointOf10kSegments(benchmark::State& state) {
    const ChainOnDisk& disk = chain();
    for (auto _ : state) {
        auto rebuilt = reconstruct(disk.root, 0);
        if (!rebuilt) {
            state.SkipWithError(rebuilt.error().display().c_str());
            return;
        }
        benchmark::DoNotOptimize(rebuilt->manifest.manifest_sha.data());
    }
}
BENCHMARK(BM_ReadCheckpointOf10kSegments)->Unit(benchmark::kMillisecond);

}  // namespace

#ifndef VORP_BENCH_SIMDJSON
#define VORP_BENCH_SIMDJSON 0
#endif
#if VORP_BENCH_SIMDJSON
#include <simdjson.h>
#endif
#include <algorithm>
#include <chrono>
#include <vector>

#include "vorp/fileio.h"

namespace {

// Fast-path row: the whole rebuild (checkpoint + 511 deltas) in milliseconds against reading the
// same 512 files and parsing each with simdjson's DOM parser (`ref`; without simdjson, reading
// alone, said by `ref_is_simdjson` = 0). `ratio` = ref time / our time.
void BM_FastPathChainRebuildMs(benchmark::State& state) {
    const ChainOnDisk& disk = chain();
#if VORP_BENCH_SIMDJSON
    simdjson::dom::parser parser;
#endif
    const auto median_ms = [](std::vector<double>& samples) {
        std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
        return samples[samples.size() / 2] * 1e3;
    };
    double ours = 0, reference = 0;
    for (auto _ : state) {
        std::vector<double> ours_s, ref_s;
        for (int round = 0; round < 15; ++round) {
            auto start = std::chrono::steady_clock::now();
            if (!reconstruct(disk.root, DELTAS)) std::abort();
            ours_s.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            start = std::chrono::steady_clock::now();
            for (std::uint64_t generation = 0; generation <= DELTAS; ++generation) {
                auto text = read_file(manifest_path(disk.root, generation));
                if (!text) std::abort();
#if VORP_BENCH_SIMDJSON
                simdjson::dom::element parsed;
                if (parser.parse(*text).get(parsed)) std::abort();
                benchmark::DoNotOptimize(parsed);
#else
                benchmark::DoNotOptimize(text->data());
#endif
            }
            ref_s.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        ours = median_ms(ours_s);
        reference = median_ms(ref_s);
    }
    state.counters["ours_ms"] = ours;
    state.counters["ref_ms"] = reference;
    state.counters["ratio"] = reference / ours;
    state.counters["ref_is_simdjson"] = VORP_BENCH_SIMDJSON;
}
BENCHMARK(BM_FastPathChainRebuildMs)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
