// Manifest digest: extending the Merkle state of a large manifest by one entry (what a commit
// does) against rebuilding it from the manifest's lists (what an open or a compaction does).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <fmt/format.h>

#include "vorp/manifest.h"
#include "vorp/merkle.h"

namespace {

using namespace vorp;

SegmentEntry bench_entry(std::uint64_t id) {
    SegmentEntry entry;
    entry.file = fmt::format("seg/{:012}.vos", id);
    entry.rows = 32768;
    entry.key_lo = {static_cast<std::int64_t>(id) * 1000, "00000000000000000000a001"};
    entry.key_hi = {static_cast<std::int64_t>(id) * 1000 + 999, "00000000000000000000a002"};
    entry.vt_min = static_cast<std::int64_t>(id) * 1000;
    entry.vt_max = entry.vt_min + 999;
    entry.vt_e_max = 4611686018427387904;
    entry.tt_s_min = 1700000000000000 + static_cast<std::int64_t>(id);
    entry.tt_s_max = entry.tt_s_min;
    return entry;
}

// `count` segment entries spread over the three segment lanes (half event edges, a quarter each
// of nodes and interval edges) plus one close run per 64 segments.
Manifest large_manifest(std::uint64_t count) {
    Manifest manifest = Manifest::genesis().successor(1);
    for (std::uint64_t id = 0; id < count; ++id) {
        SegmentEntry entry = bench_entry(id);
        switch (id % 4) {
            case 0: manifest.node_store.push_back(std::move(entry)); break;
            case 3: manifest.edge_lanes.interval.push_back(std::move(entry)); break;
            default: manifest.edge_lanes.event.push_back(std::move(entry)); break;
        }
        if (id % 64 == 63) manifest.close_runs.push_back({fmt::format("close/{:012}.voc", id), 100, ""});
    }
    manifest.next_segment_id = count;
    manifest.stats.n_edge_versions = count * 32768;
    manifest.seal();
    return manifest;
}

constexpr std::uint64_t kEntries = 100'000;

const Manifest& shared_manifest() {
    static const Manifest manifest = large_manifest(kEntries);
    return manifest;
}

// One commit's digest work: snapshot the state, push one new entry, compute the digest.
void BM_ManifestDigestExtendOne(benchmark::State& bench) {
    const Manifest& manifest = shared_manifest();
    ManifestMerkle state = ManifestMerkle::from_manifest(manifest);
    SegmentEntry entry = bench_entry(kEntries);
    std::uint64_t next_id = kEntries;
    for (auto _ : bench) {
        ManifestMerkle snapshot = state;
        benchmark::DoNotOptimize(snapshot);
        entry.rows = static_cast<std::uint32_t>(next_id++);
        state.lanes[LANE_EDGES_EVENT].push(entry);
        std::string digest = manifest_digest(manifest, state);
        benchmark::DoNotOptimize(digest);
    }
    bench.counters["leaves"] = static_cast<double>(state.lanes[LANE_EDGES_EVENT].n_leaves);
}
BENCHMARK(BM_ManifestDigestExtendOne);

// The push alone, and the clone alone.
void BM_LaneTreePush(benchmark::State& bench) {
    ManifestMerkle state = ManifestMerkle::from_manifest(shared_manifest());
    SegmentEntry entry = bench_entry(kEntries);
    for (auto _ : bench) {
        entry.rows += 1;
        state.lanes[LANE_EDGES_EVENT].push(entry);
    }
    benchmark::DoNotOptimize(state);
}
BENCHMARK(BM_LaneTreePush);

void BM_ManifestMerkleClone(benchmark::State& bench) {
    const ManifestMerkle state = ManifestMerkle::from_manifest(shared_manifest());
    for (auto _ : bench) {
        ManifestMerkle copy = state;
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_ManifestMerkleClone);

// The full rebuild: every entry serialised and hashed again, then the digest.
void BM_ManifestDigestFullBuild(benchmark::State& bench) {
    const Manifest& manifest = shared_manifest();
    for (auto _ : bench) {
        std::string digest = manifest.digest();
        benchmark::DoNotOptimize(digest);
    }
    bench.counters["entries"] = static_cast<double>(kEntries);
}
BENCHMARK(BM_ManifestDigestFullBuild)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// Fast-path row: one push against the entry's compact JSON, its leaf hash and one inner hash
// (`ref`; what an append-only tree that keeps only complete subtrees merges per push on average);
// pushes per second, `ratio` = ours / ref. The lane tree keeps its whole right spine current, so a
// push also rehashes every level whose node count is even (about half of log2 n levels);
// `ref_spine` is the same reference with exactly that many inner hashes, `ratio_spine` = ours /
// ref_spine.
void BM_FastPathMerklePushPerS(benchmark::State& bench) {
    ManifestMerkle state = ManifestMerkle::from_manifest(shared_manifest());
    SegmentEntry entry = bench_entry(kEntries);
    std::string buffer;
    double ours = 0, reference = 0, spine = 0;
    for (auto _ : bench) {
        constexpr int rounds = 21, pushes = 20000;
        std::vector<double> ours_s, ref_s, spine_s;
        for (int round = 0; round < rounds; ++round) {
            auto start = std::chrono::steady_clock::now();
            for (int push = 0; push < pushes; ++push) {
                entry.rows += 1;
                state.lanes[LANE_EDGES_EVENT].push(entry);
            }
            ours_s.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            start = std::chrono::steady_clock::now();
            for (int push = 0; push < pushes; ++push) {
                entry.rows += 1;
                buffer.clear();
                append_compact_json(buffer, entry);
                const MerkleHash leaf = merkle::leaf_hash(LANE_EDGES_EVENT, entry.rows, buffer);
                benchmark::DoNotOptimize(merkle::inner_hash(leaf, leaf));
            }
            ref_s.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            start = std::chrono::steady_clock::now();
            for (int push = 0; push < pushes; ++push) {
                entry.rows += 1;
                buffer.clear();
                append_compact_json(buffer, entry);
                MerkleHash node = merkle::leaf_hash(LANE_EDGES_EVENT, entry.rows, buffer);
                // The inner hashes of a push onto a lane of this size: one per even level count.
                for (std::uint64_t count = state.lanes[LANE_EDGES_EVENT].n_leaves + push + 1; count > 1;
                     count = (count + 1) / 2)
                    if (count % 2 == 0) node = merkle::inner_hash(node, node);
                benchmark::DoNotOptimize(node);
            }
            spine_s.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::nth_element(spine_s.begin(), spine_s.begin() + rounds / 2, spine_s.end());
        spine = pushes / spine_s[rounds / 2];
        std::nth_element(ours_s.begin(), ours_s.begin() + rounds / 2, ours_s.end());
        std::nth_element(ref_s.begin(), ref_s.begin() + rounds / 2, ref_s.end());
        ours = pushes / ours_s[rounds / 2];
        reference = pushes / ref_s[rounds / 2];
    }
    bench.counters["ours"] = ours;
    bench.counters["ref"] = reference;
    bench.counters["ratio"] = ours / reference;
    bench.counters["ref_spine"] = spine;
    bench.counters["ratio_spine"] = ours / spine;
}
BENCHMARK(BM_FastPathMerklePushPerS)->Iterations(1);

}  // namespace
