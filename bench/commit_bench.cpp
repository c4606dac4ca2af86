// Commits: a batch of 1M edge rows through the whole commit, split by its phases; and an empty
// batch on a store with a long history, which must stay small (a delta per generation, not a
// checkpoint of every segment).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include <fmt/format.h>

#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

struct ScratchStore {
    fs::path path;
    ScratchStore() {
        path = fs::temp_directory_path() / fmt::format("vorp-commit-bench-{}", ::getpid());
        fs::remove_all(path);
    }
    ~ScratchStore() { fs::remove_all(path); }
};

std::unique_ptr<NativeStore> open_store(const fs::path& root) {
    auto store = NativeStore::open(root.string());
    if (!store) throw std::runtime_error(store.error().display());
    return std::move(*store);
}

void report_phases(benchmark::State& state, const CommitPhases& phases) {
    const auto ms = [](std::uint64_t us) { return static_cast<double>(us) / 1000.0; };
    state.counters["seal_ms"] = ms(phases.seal_us);
    state.counters["stats_ms"] = ms(phases.stats_us);
    state.counters["dict_ms"] = ms(phases.dict_us);
    state.counters["digest_ms"] = ms(phases.digest_us);
    state.counters["manifest_ms"] = ms(phases.manifest_us);
    state.counters["current_ms"] = ms(phases.current_us);
    state.counters["total_ms"] = ms(phases.total_us);
    state.counters["manifest_bytes"] = static_cast<double>(phases.manifest_bytes);
}

// One batch of 1M edges between 100k new entities, committed into a store whose statistics are
// cached (so the fold is measured too).
void BM_Commit1MEdges(benchmark::State& state) {
    constexpr std::uint32_t ROWS = 1'000'000, ENTITIES = 100'000;
    ScratchStore scratch;
    auto store = open_store(scratch.path);
    (void)store->stats_accum();
    std::int64_t tt = 1;
    for (auto _ : state) {
        state.PauseTiming();
        std::mt19937_64 rng(tt);
        if (!store->begin(tt)) state.SkipWithError("begin failed");
        for (std::uint32_t e = 0; e < ENTITIES; ++e) (void)store->add_entity(fmt::format("t{}-e{}", tt, e), "thing");
        const std::uint32_t first = static_cast<std::uint32_t>(store->dict().size()) - ENTITIES;
        for (std::uint32_t r = 0; r < ROWS; ++r) {
            EdgeRow row;
            row.rel_type = fmt::format("rel_{}", rng() % 16);
            row.props = "{}";
            row.source = "bench";
            row.vid = Id96{static_cast<std::uint64_t>(tt), r};
            row.vt_s = static_cast<std::int64_t>(rng() % (52 * LANE_STRIDE));
            row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 1000);
            row.tt_s = tt;
            row.src_id = first + static_cast<std::uint32_t>(rng() % ENTITIES);
            row.dst_id = first + static_cast<std::uint32_t>(rng() % ENTITIES);
            (void)store->stage_edge(std::move(row));
        }
        state.ResumeTiming();
        if (!store->commit(store->manifest().event_log)) state.SkipWithError("commit failed");
        ++tt;
    }
    report_phases(state, *store->last_commit_phases());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * ROWS);
}
BENCHMARK(BM_Commit1MEdges)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

// An empty batch on a store of `generations` generations, each of which added one segment.
void BM_EmptyCommitLongHistory(benchmark::State& state) {
    const auto generations = static_cast<std::int64_t>(state.range(0));
    ScratchStore scratch;
    auto store = open_store(scratch.path);
    std::int64_t tt = 1;
    for (; tt <= generations; ++tt) {
        (void)store->begin(tt);
        EdgeRow row;
        row.vid = Id96{static_cast<std::uint64_t>(tt), 0};
        row.vt_e = 1;
        row.tt_s = tt;
        (void)store->add_entity(fmt::format("e{}", tt), "");
        row.src_id = row.dst_id = static_cast<std::uint32_t>(store->dict().size() - 1);
        (void)store->stage_edge(std::move(row));
        if (!store->commit(store->manifest().event_log)) state.SkipWithError("building the history failed");
    }
    for (auto _ : state) {
        (void)store->begin(tt++);
        if (!store->commit(store->manifest().event_log)) state.SkipWithError("commit failed");
    }
    report_phases(state, *store->last_commit_phases());
    state.counters["segments_named"] = static_cast<double>(store->last_commit_phases()->segments_named);
}
BENCHMARK(BM_EmptyCommitLongHistory)->Arg(10'000)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();

}  // namespace
}  // namespace vorp
