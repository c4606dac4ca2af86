// Compaction of a store of 10M versions (VORP_COMPACT_BENCH_ROWS to change it): rows/s and the
// peak resident memory of the process that compacts, against the size of the store's segment
// files. The store is built by a child process (its memory is not this process's), committed in
// 40 batches with about one version in a hundred closed by a later batch, so the rewrite merges
// many small segments, folds close runs and cuts new segments at the default target.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/compact.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

std::size_t bench_rows() {
    const char* text = std::getenv("VORP_COMPACT_BENCH_ROWS");
    return text == nullptr ? 10'000'000 : std::strtoull(text, nullptr, 10);
}

constexpr int BATCHES = 40;
constexpr std::uint32_t ENTITIES = 1'000'000;

[[noreturn]] void die(const std::string& what) {
    fmt::print(stderr, "compact_bench: {}\n", what);
    std::_Exit(1);
}

void build_store(const fs::path& root, std::size_t rows) {
    auto opened = NativeStore::open(root.string());
    if (!opened) die(opened.error().display());
    NativeStore& store = **opened;
    for (std::uint32_t uid = 0; uid < ENTITIES; ++uid) (void)store.add_entity(fmt::format("entity-{}", uid), "Thing");
    std::mt19937_64 rng(42);
    std::vector<Id96> previous;
    const std::size_t per_batch = rows / BATCHES;
    for (int batch = 0; batch < BATCHES; ++batch) {
        const std::int64_t tt = 1'760'000'000'000'000 + batch * 1'000'000;
        if (!store.begin(tt)) die("begin");
        std::vector<Id96> staged;
        staged.reserve(per_batch);
        for (std::size_t r = 0; r < per_batch; ++r) {
            const Id96 vid{rng(), static_cast<std::uint32_t>(rng())};
            const std::int64_t vt_s = 1'700'000'000'000'000 + static_cast<std::int64_t>(rng() % (52 * 604800000000));
            if (r % 10 == 9) {
                NodeRow node{"Thing", fmt::format("{{\"name\":\"n{}\"}}", rng() % 100000), "feed", std::nullopt, vid,
                             vt_s, OPEN_END, tt, static_cast<std::uint32_t>(rng() % ENTITIES)};
                if (!store.stage_node(std::move(node))) die("stage node");
                continue;
            }
            EdgeRow edge{fmt::format("rel_{}", rng() % 24),
                         r % 10 == 0 ? fmt::format("d{}", rng() % 100) : "",
                         fmt::format("{{\"weight\":{}}}", rng() % 100000),
                         fmt::format("feed-{}", rng() % 8),
                         std::nullopt,
                         vid,
                         vt_s,
                         r % 10 == 0 ? vt_s + 4 * 604800000000 : vt_s + 1 + static_cast<std::int64_t>(rng() % 1000),
                         tt,
                         static_cast<std::uint32_t>(rng() % ENTITIES),
                         static_cast<std::uint32_t>(rng() % ENTITIES)};
            if (!store.stage_edge(std::move(edge))) die("stage edge");
            staged.push_back(vid);
        }
        for (std::size_t c = 0; c < previous.size() / 100; ++c)
            if (!store.close_version(RowKind::Edge, previous[rng() % previous.size()], tt)) die("close");
        if (!store.commit(store.manifest().event_log)) die("commit");
        previous = std::move(staged);
    }
}

std::uint64_t dir_bytes(const fs::path& dir) {
    std::uint64_t total = 0;
    for (const auto& entry : fs::directory_iterator(dir)) total += entry.file_size();
    return total;
}

void BM_Compact(benchmark::State& state) {
    const std::size_t rows = bench_rows();
    const fs::path root = fs::temp_directory_path() / fmt::format("vorp-compact-bench-{}", ::getpid());
    fs::remove_all(root);
    const pid_t child = ::fork();
    if (child == 0) {
        build_store(root, rows);
        std::_Exit(0);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        state.SkipWithError("building the store failed");
        return;
    }
    const std::uint64_t store_bytes = dir_bytes(root / "seg") + dir_bytes(root / "close");
    auto store = NativeStore::open(root.string());
    if (!store) {
        state.SkipWithError(store.error().display().c_str());
        return;
    }
    const std::size_t segments_in = (*store)->manifest().edge_lanes.event.size() +
                                    (*store)->manifest().edge_lanes.interval.size() +
                                    (*store)->manifest().node_store.size();
    CompactReport report;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        auto done = compact(**store);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!done) {
            state.SkipWithError(done.error().display().c_str());
            break;
        }
        report = *done;
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double versions = static_cast<double>(report.edge_rows + report.node_rows);
    state.counters["versions"] = versions;
    state.counters["rows_per_s"] = seconds > 0 ? versions / seconds : 0;
    state.counters["peak_rss_mib"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["store_mib"] = static_cast<double>(store_bytes) / (1024.0 * 1024.0);
    state.counters["segments_in"] = static_cast<double>(segments_in);
    state.counters["segments_out"] = static_cast<double>(report.segments_after);
    state.counters["closes_folded"] = static_cast<double>(report.closes_folded);
    store->reset();
    fs::remove_all(root);
}

BENCHMARK(BM_Compact)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace vorp
