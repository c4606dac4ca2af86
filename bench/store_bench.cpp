// Opening a store: a chain of one checkpoint and 511 deltas naming 10,000 segments in all (the
// longest delta run under the default checkpoint interval), with a dictionary of 10,000 uids;
// creating a new store (genesis publish, every sync included); reopening a new store. The open's
// phases are reported as counters (microseconds per open). No segment file exists: open reads
// CURRENT, the chain and dict.log only.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "bench_support.h"
#include "vorp/dict.h"
#include "vorp/store.h"

namespace {

namespace fs = std::filesystem;
using namespace vorp;
using vorp::bench::bench_entry;
using vorp::bench::make_temp_dir;

constexpr std::uint64_t TOTAL_SEGMENTS = 10'000;
constexpr std::uint64_t DELTAS = 511;
constexpr std::uint64_t UIDS = 10'000;

void append_entry(Manifest& manifest) {
    SegmentEntry entry = bench_entry(manifest.next_segment_id++);
    (manifest.next_segment_id % 2 == 0 ? manifest.node_store : manifest.edge_lanes.event).push_back(std::move(entry));
}

DeltaBase base_of(const Manifest& parent) {
    ManifestMerkle merkle = ManifestMerkle::from_manifest(parent);
    return DeltaBase{parent.manifest_sha, parent.generation, merkle.lens(), parent.widths, std::move(merkle)};
}

// Generation 1 a checkpoint of 9,489 segments and the dictionary; generations 2..512 deltas of
// one segment each, published through the store's own publish. Built once, removed at exit.
struct ChainStore {
    fs::path root;

    ChainStore() {
        root = make_temp_dir("vorp-store-bench");
        Manifest head = NativeStore::open(root.string()).value()->manifest();
        Dictionary dict = Dictionary::for_root(root);
        for (std::uint64_t uid = 0; uid < UIDS; ++uid) dict.push(fmt::format("entity-{:08}", uid), "Person");
        const DictCommit committed = dict.commit_to_disk().value();

        Manifest next = head.successor(1);
        next.dict = {committed.records, committed.bytes};
        for (std::uint64_t segment = 0; segment < TOTAL_SEGMENTS - DELTAS; ++segment) append_entry(next);
        next.seal();
        std::uint64_t checkpoint = publish(root, std::nullopt, 0, next, true, 0).value().stats.checkpoint_generation;
        head = std::move(next);
        for (std::uint64_t delta = 0; delta < DELTAS; ++delta) {
            Manifest step = head.successor(head.created_tt + 1);
            append_entry(step);
            step.seal();
            // An interval of 1024 keeps generation 512 a delta.
            checkpoint = publish(root, base_of(head), checkpoint, step, false, 1024).value().stats.checkpoint_generation;
            head = std::move(step);
        }
        if (checkpoint != 1) throw std::runtime_error("the chain did not stay on its checkpoint");
    }
    ~ChainStore() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

const ChainStore& chain_store() {
    static const ChainStore store;
    return store;
}

void report_phases(benchmark::State& state, const OpenPhases& sum) {
    const auto per_open = [&](std::uint64_t total) {
        return benchmark::Counter(static_cast<double>(total), benchmark::Counter::kAvgIterations);
    };
    state.counters["checkpoint_read_parse_us"] = per_open(sum.checkpoint_read_parse_us);
    state.counters["merkle_verify_us"] = per_open(sum.merkle_verify_us);
    state.counters["state_build_us"] = per_open(sum.state_build_us);
    state.counters["delta_replay_us"] = per_open(sum.delta_replay_us);
    state.counters["delta_count"] = per_open(sum.delta_count);
    state.counters["dictionary_open_us"] = per_open(sum.dictionary_open_us);
    state.counters["other_us"] = per_open(sum.other_us);
    state.counters["total_us"] = per_open(sum.total_us);
}

void add_phases(OpenPhases& sum, const OpenPhases& phases) {
    sum.checkpoint_read_parse_us += phases.checkpoint_read_parse_us;
    sum.merkle_verify_us += phases.merkle_verify_us;
    sum.state_build_us += phases.state_build_us;
    sum.delta_replay_us += phases.delta_replay_us;
    sum.delta_count += phases.delta_count;
    sum.dictionary_open_us += phases.dictionary_open_us;
    sum.other_us += phases.other_us;
    sum.total_us += phases.total_us;
}

// Opens the store at `root` once per iteration and reports the phases per open.
void open_repeatedly(benchmark::State& state, const fs::path& root) {
    OpenPhases sum;
    for (auto _ : state) {
        auto store = NativeStore::open(root.string()).value();
        add_phases(sum, store->open_phases());
        benchmark::DoNotOptimize(store.get());
    }
    report_phases(state, sum);
}

void BM_StoreOpenChain(benchmark::State& state) {
    open_repeatedly(state, chain_store().root);
}
BENCHMARK(BM_StoreOpenChain)->Unit(benchmark::kMillisecond);

// A new store: directories created and synced, genesis manifest and CURRENT written and synced.
void BM_StoreCreate(benchmark::State& state) {
    const fs::path parent = make_temp_dir("vorp-store-bench-new");
    std::uint64_t index = 0;
    for (auto _ : state) {
        const fs::path root = parent / std::to_string(index++);
        auto store = NativeStore::open(root.string()).value();
        benchmark::DoNotOptimize(store.get());
        state.PauseTiming();
        store.reset();
        fs::remove_all(root);
        state.ResumeTiming();
    }
    fs::remove_all(parent);
}
BENCHMARK(BM_StoreCreate)->Unit(benchmark::kMicrosecond);

// Reopening a store that holds only its genesis.
void BM_StoreOpenFresh(benchmark::State& state) {
    const fs::path root = make_temp_dir("vorp-store-bench-fresh");
    NativeStore::open(root.string()).value();
    open_repeatedly(state, root);
    fs::remove_all(root);
}
BENCHMARK(BM_StoreOpenFresh)->Unit(benchmark::kMicrosecond);

}  // namespace
