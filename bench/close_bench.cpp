// Closes of stored versions, and ingest with closes as the store grows.
//
//   BM_ClosesAcrossSegments/S   1,000 closes of random stored versions in a store of 1M edge
//                               versions in S segments (S commits), after a second of warm-up: the
//                               cost per close should not depend on S
//   BM_ClosesSharedPrefix/P     1,000 closes in a store of 200k edge versions whose vids are random
//                               (P = 0) or a batch number above a row counter (P = 1)
//   BM_IngestWithCloses         VORP_CLOSE_BENCH_BATCHES batches (default 4) of
//                               VORP_CLOSE_BENCH_ROWS edge versions (default 1M), one in five a new
//                               version of an earlier identity that closes its open version; rows/s
//                               of each batch (stage, close and commit), so growth shows as a falling
//                               rate; with 16 batches or more also the mean rate of the batches
//                               ending at 2-4M rows and at 13-16M rows, by wall clock and by the
//                               process's CPU time (which a machine shared with other work
//                               disturbs less), and the change from the one to the other
// Each close batch is rolled back, so every iteration closes against the same store.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_support.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t ENTITIES = 100'000;

std::uint64_t env_count(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 10);
}

using bench::check;
using bench::unwrap;

// CPU time of every thread of this process so far.
double process_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Scratch {
    fs::path path;
    explicit Scratch(const std::string& name)
        : path(fs::temp_directory_path() / fmt::format("vorp-close-bench-{}-{}", name, ::getpid())) {
        fs::remove_all(path);
    }
    ~Scratch() { fs::remove_all(path); }
};

EdgeRow edge_row(Id96 vid, std::uint32_t identity, std::int64_t tt, std::mt19937_64& rng) {
    EdgeRow row;
    row.rel_type = fmt::format("rel_{}", identity % 8);
    row.props = "{}";
    row.source = "bench";
    row.vid = vid;
    row.vt_s = static_cast<std::int64_t>(rng() % 1'000'000'000);
    row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 1000);
    row.tt_s = tt;
    row.src_id = identity % ENTITIES;
    row.dst_id = static_cast<std::uint32_t>((identity * 2654435761u) % ENTITIES);
    return row;
}

std::unique_ptr<NativeStore> fresh_store(const fs::path& path) {
    auto store = unwrap(NativeStore::open(path.string()), "open");
    for (std::uint32_t e = 0; e < ENTITIES; ++e) (void)store->add_entity(fmt::format("entity-{:07}", e), "person");
    return store;
}

// A store of `segments` commits of `per_segment` versions, and the vids it holds.
struct ClosableStore {
    Scratch scratch;
    std::unique_ptr<NativeStore> store;
    std::vector<Id96> vids;

    ClosableStore(const std::string& name, std::uint64_t segments, std::uint64_t per_segment, bool shared_prefix)
        : scratch(name) {
        store = fresh_store(scratch.path);
        std::mt19937_64 rng(11);
        for (std::uint64_t s = 0; s < segments; ++s) {
            const auto tt = static_cast<std::int64_t>(s + 1);
            check(store->begin(tt), "begin");
            for (std::uint64_t r = 0; r < per_segment; ++r) {
                // A batch number above a row counter shares the high 64 bits across the batch.
                const Id96 vid = shared_prefix ? Id96{s, static_cast<std::uint32_t>(r)}
                                               : Id96{rng(), static_cast<std::uint32_t>(rng())};
                vids.push_back(vid);
                check(store->stage_edge(edge_row(vid, static_cast<std::uint32_t>(vids.size()), tt, rng)), "stage");
            }
            (void)unwrap(store->commit(store->manifest().event_log), "commit");
        }
        check(store->index_segments(RowKind::Edge), "postings");  // built once, outside the figures
    }

    // 1,000 closes of random stored versions in one batch, rolled back.
    void close_some(std::mt19937_64& rng) {
        check(store->begin(store->manifest().created_tt + 1), "begin");
        for (int k = 0; k < 1000; ++k)
            check(store->close_version(RowKind::Edge, vids[rng() % vids.size()], store->manifest().created_tt + 1),
                  "close");
        check(store->rollback(), "rollback");
    }
};

void BM_ClosesAcrossSegments(benchmark::State& state) {
    static std::map<std::int64_t, std::unique_ptr<ClosableStore>> stores;
    auto& held = stores[state.range(0)];
    if (!held) held = std::make_unique<ClosableStore>("segments", state.range(0), 1'000'000 / state.range(0), false);
    std::mt19937_64 rng(3);
    for (auto _ : state) held->close_some(rng);
    state.counters["segments"] = static_cast<double>(held->store->edge_files().size());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 1000));
    held.reset();
}
// A second of closes before the timing: the store was just written (the kernel is still busy
// with its files), and the first close that reaches a segment learns where its vids are.
BENCHMARK(BM_ClosesAcrossSegments)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(5000)
    ->MinWarmUpTime(1.0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ClosesSharedPrefix(benchmark::State& state) {
    ClosableStore held("prefix", 200, 1000, state.range(0) == 1);
    std::mt19937_64 rng(3);
    for (auto _ : state) held.close_some(rng);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 1000));
}
BENCHMARK(BM_ClosesSharedPrefix)->Arg(0)->Arg(1)->MinWarmUpTime(1.0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_IngestWithCloses(benchmark::State& state) {
    const std::uint64_t batches = env_count("VORP_CLOSE_BENCH_BATCHES", 4);
    const std::uint64_t rows = env_count("VORP_CLOSE_BENCH_ROWS", 1'000'000);
    for (auto _ : state) {
        Scratch scratch("ingest");
        auto store = fresh_store(scratch.path);
        std::mt19937_64 rng(5);
        std::vector<Id96> open;  // the open version of identity i
        std::vector<double> rates, cpu_rates;
        for (std::uint64_t b = 0; b < batches; ++b) {
            const auto tt = static_cast<std::int64_t>(b + 1);
            // Rows built before the clock starts; the closes name versions of earlier batches.
            std::vector<EdgeRow> batch;
            std::vector<std::optional<Id96>> closes;  // the version row r's staging closes first
            batch.reserve(rows);
            closes.reserve(rows);
            for (std::uint64_t r = 0; r < rows; ++r) {
                const Id96 vid{rng(), static_cast<std::uint32_t>(rng())};
                std::uint32_t identity;
                if (b > 0 && r % 5 == 0) {
                    identity = static_cast<std::uint32_t>(rng() % open.size());
                    closes.push_back(open[identity]);
                    open[identity] = vid;
                } else {
                    identity = static_cast<std::uint32_t>(open.size());
                    closes.push_back(std::nullopt);
                    open.push_back(vid);
                }
                batch.push_back(edge_row(vid, identity, tt, rng));
            }
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = process_cpu_seconds();
            check(store->begin(tt), "begin");
            for (std::uint64_t r = 0; r < rows; ++r) {
                // An identity drawn twice in one batch closes a version staged in this batch.
                if (closes[r]) check(store->close_version(RowKind::Edge, *closes[r], tt), "close");
                check(store->stage_edge(std::move(batch[r])), "stage");
            }
            (void)unwrap(store->commit(store->manifest().event_log), "commit");
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            rates.push_back(static_cast<double>(rows) / seconds);
            cpu_rates.push_back(static_cast<double>(rows) / (process_cpu_seconds() - cpu_start));
        }
        for (std::size_t b = 0; b < rates.size(); ++b)
            state.counters[fmt::format("krows_s_at_{}M", (b + 1) * rows / 1'000'000)] = rates[b] / 1000;
        state.counters["last_over_first"] = rates.back() / rates.front();
        // The mean rate of the batches whose last row is the lo-th to hi-th million.
        const auto window = [&](const std::vector<double>& of, std::uint64_t lo, std::uint64_t hi) {
            double sum = 0;
            std::size_t count = 0;
            for (std::size_t b = 0; b < of.size(); ++b) {
                const std::uint64_t end = (b + 1) * rows;
                if (end >= lo * 1'000'000 && end <= hi * 1'000'000) {
                    sum += of[b];
                    ++count;
                }
            }
            return count == 0 ? 0.0 : sum / static_cast<double>(count);
        };
        if (batches * rows >= 16'000'000) {
            for (const auto& [name, of] : {std::pair{"", &rates}, std::pair{"cpu_", &cpu_rates}}) {
                const double early = window(*of, 2, 4), late = window(*of, 13, 16);
                state.counters[fmt::format("{}krows_s_2_4M", name)] = early / 1000;
                state.counters[fmt::format("{}krows_s_13_16M", name)] = late / 1000;
                state.counters[fmt::format("{}change_13_16M", name)] = late / early - 1;
            }
        }
    }
}
BENCHMARK(BM_IngestWithCloses)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace vorp
