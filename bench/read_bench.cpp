// Version reads on one store of VORP_READ_BENCH_EDGES edge versions (default 1M) and
// VORP_READ_BENCH_ENTITIES entities with ten node versions each (default 100k, so 1M node
// versions), built once per process by ten commits.
//
// The store's shape: edge identity j (of 2 * entities) connects entity j % n to a scrambled one
// under one of eight types; the ten batches alternate between the even and the odd identities, and
// each batch closes (at its own tt) the version its identity received two batches before, so an
// identity has five versions of which one is current. Every entity gets a version per batch and
// the previous one is closed. Everything (vids included) is a pure function of the batch and the
// index, so the lookups below can name existing versions without reading the store first.
//
// VORP_READ_BENCH_STORE=dir builds the store there (or reopens the one a previous run built) and
// leaves it on disk: bench/read_bench.py uses it with `--benchmark_filter=BM_VersionsStoreBuild`.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "bench_support.h"
#include "vorp/read.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t BATCHES = 10;
constexpr std::uint32_t RELS = 8;

std::uint64_t env_count(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 10);
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

using bench::check;
using bench::unwrap;

struct Shape {
    std::uint32_t entities = 0;
    std::uint32_t identities = 0;  // edge identities: twice the entities' count by default
    std::uint32_t per_batch = 0;   // edge versions per batch: half the identities

    std::string uid(std::uint32_t e) const { return fmt::format("entity-{:07}", e); }
    std::uint32_t src(std::uint32_t j) const { return j % entities; }
    std::uint32_t dst(std::uint32_t j) const { return static_cast<std::uint32_t>(mix(j) % entities); }
    std::string rel(std::uint32_t j) const { return fmt::format("rel_{}", j % RELS); }
    std::string disc(std::uint32_t j) const { return j / entities == 0 ? std::string() : fmt::format("{}", j / entities); }
    // Batch b (0-based, tt b + 1) stages the identities of parity b % 2.
    bool in_batch(std::uint32_t j, std::int64_t b) const { return static_cast<std::int64_t>(j % 2) == b % 2; }
    static Id96 edge_vid(std::int64_t b, std::uint32_t j) {
        return {mix((static_cast<std::uint64_t>(b) << 40) ^ j), static_cast<std::uint32_t>(mix(j + 77) >> 7)};
    }
    static Id96 node_vid(std::int64_t b, std::uint32_t e) {
        return {mix((static_cast<std::uint64_t>(b + 1000) << 40) ^ e), static_cast<std::uint32_t>(mix(e + 91) >> 9)};
    }
    std::string eid(std::uint32_t j) const {
        return edge_eid(uid(src(j)), uid(dst(j)), rel(j), disc(j)).to_hex();
    }
    std::uint64_t edge_versions() const { return per_batch * static_cast<std::uint64_t>(BATCHES); }
    std::uint64_t node_versions() const { return entities * static_cast<std::uint64_t>(BATCHES); }
};

Shape bench_shape() {
    Shape shape;
    shape.entities = static_cast<std::uint32_t>(env_count("VORP_READ_BENCH_ENTITIES", 100'000));
    const std::uint64_t edges = env_count("VORP_READ_BENCH_EDGES", 1'000'000);
    shape.per_batch = static_cast<std::uint32_t>(edges / BATCHES);
    shape.identities = shape.per_batch * 2;
    return shape;
}

void build(NativeStore& store, const Shape& shape) {
    std::mt19937_64 rng(42);
    const std::int64_t span = 4 * LANE_STRIDE;  // valid times over four lane buckets
    for (std::int64_t b = 0; b < BATCHES; ++b) {
        const std::int64_t tt = b + 1;
        check(store.begin(tt), "begin");
        if (b == 0)
            for (std::uint32_t e = 0; e < shape.entities; ++e)
                if (store.add_entity(shape.uid(e), "person").value_or(UINT32_MAX) != e) throw std::runtime_error("dense ids do not start at 0");
        for (std::uint32_t j = 0; j < shape.identities; ++j) {
            if (!shape.in_batch(j, b)) continue;
            if (b >= 2) check(store.close_version(RowKind::Edge, Shape::edge_vid(b - 2, j), tt), "close edge");
            EdgeRow row;
            row.rel_type = shape.rel(j);
            row.disc = shape.disc(j);
            row.props = fmt::format("{{\"w\":{},\"batch\":{}}}", j % 1000, b);
            row.source = "bench";
            if (j % 5 == 0) row.prov = "import-1";
            row.vid = Shape::edge_vid(b, j);
            row.vt_s = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(span));
            row.vt_e = j % 4 == 0 ? row.vt_s + 1 : row.vt_s + 1 + static_cast<std::int64_t>(rng() % 100'000);
            row.tt_s = tt;
            row.src_id = shape.src(j);
            row.dst_id = shape.dst(j);
            check(store.stage_edge(std::move(row)), "stage edge");
        }
        for (std::uint32_t e = 0; e < shape.entities; ++e) {
            if (b >= 1) check(store.close_version(RowKind::Node, Shape::node_vid(b - 1, e), tt), "close node");
            NodeRow row;
            row.label = "person";
            row.props = fmt::format("{{\"name\":\"Entity {} v{}\"}}", e, b);
            row.source = "bench";
            row.vid = Shape::node_vid(b, e);
            row.vt_s = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(span));
            row.vt_e = row.vt_s + 1 + static_cast<std::int64_t>(rng() % 1'000'000);
            row.tt_s = tt;
            row.uid_id = e;
            check(store.stage_node(std::move(row)), "stage node");
        }
        (void)unwrap(store.commit(store.manifest().event_log), "commit");
    }
}

struct BenchStore {
    Shape shape;
    fs::path path;
    bool keep = false;
    bool built = false;
    double build_s = 0;
    double close_index_s = 0;  // the committed close index, first use after open
    double postings_s = 0;     // both kinds' postings, first use after open
    std::unique_ptr<NativeStore> store;

    BenchStore() {
        shape = bench_shape();
        if (const char* dir = std::getenv("VORP_READ_BENCH_STORE"); dir != nullptr && *dir != '\0') {
            path = dir;
            keep = true;
        } else {
            path = fs::temp_directory_path() / fmt::format("vorp-read-bench-{}", ::getpid());
            fs::remove_all(path);
        }
        const bool exists = fs::exists(path / CURRENT_FILE);
        store = unwrap(NativeStore::open(path.string()), "open");
        if (!exists) {
            const auto start = std::chrono::steady_clock::now();
            build(*store, shape);
            build_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            built = true;
        }
        // The lazily built indexes every read below consults, built here so that the figures are
        // of the reads themselves (their first-use cost is reported by BM_VersionsStoreBuild).
        const auto t0 = std::chrono::steady_clock::now();
        (void)unwrap(store->close_overlay(), "close index");
        const auto t1 = std::chrono::steady_clock::now();
        check(store->index_segments(RowKind::Edge), "edge postings");
        check(store->index_segments(RowKind::Node), "node postings");
        const auto t2 = std::chrono::steady_clock::now();
        close_index_s = std::chrono::duration<double>(t1 - t0).count();
        postings_s = std::chrono::duration<double>(t2 - t1).count();
        if (store->manifest().stats.n_edge_versions != shape.edge_versions() ||
            store->manifest().stats.n_node_versions != shape.node_versions())
            throw std::runtime_error(fmt::format("{} holds another shape than VORP_READ_BENCH_* asks", path.string()));
    }
    ~BenchStore() {
        store.reset();
        if (!keep) fs::remove_all(path);
    }
};

BenchStore& bench_store() {
    static BenchStore instance;
    return instance;
}

// Transaction times of the store: batch b committed at b + 1; NOW is the latest.
constexpr std::int64_t PAST = 5;
constexpr std::int64_t CURRENT = OPEN_END - 1;

// `count` vids of random stored edge versions.
std::vector<std::string> random_edge_vids(const Shape& shape, std::size_t count) {
    std::mt19937_64 rng(7);
    std::vector<std::string> vids;
    vids.reserve(count);
    while (vids.size() < count) {
        const auto j = static_cast<std::uint32_t>(rng() % shape.identities);
        const auto b = static_cast<std::int64_t>(rng() % BATCHES);
        if (shape.in_batch(j, b)) vids.push_back(Shape::edge_vid(b, j).to_hex());
    }
    return vids;
}

void BM_VersionsStoreBuild(benchmark::State& state) {
    for (auto _ : state) {
        BenchStore& bench = bench_store();
        state.counters["built"] = bench.built ? 1 : 0;
        state.counters["build_s"] = bench.build_s;
        state.counters["close_index_s"] = bench.close_index_s;
        state.counters["postings_s"] = bench.postings_s;
        state.counters["edge_versions"] = static_cast<double>(bench.shape.edge_versions());
        state.counters["node_versions"] = static_cast<double>(bench.shape.node_versions());
        state.counters["edge_segments"] = static_cast<double>(bench.store->edge_files().size());
        state.counters["node_segments"] = static_cast<double>(bench.store->node_files().size());
    }
}
BENCHMARK(BM_VersionsStoreBuild)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_VersionsAllEdges(benchmark::State& state) {
    NativeStore& store = *bench_store().store;
    std::size_t rows = 0;
    for (auto _ : state) {
        const auto versions = unwrap(all_edge_versions(store), "all_edge_versions");
        rows = versions.size();
        benchmark::DoNotOptimize(versions.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows));
}
BENCHMARK(BM_VersionsAllEdges)->Unit(benchmark::kMillisecond);

// 10k vids through the vid postings.
void BM_VersionsPropsForVids10k(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    const std::vector<std::string> vids = random_edge_vids(bench.shape, 10'000);
    std::size_t found = 0;
    for (auto _ : state) {
        const auto props = unwrap(props_for_vids(store, RowKind::Edge, vids), "props_for_vids");
        found = props.size();
    }
    state.counters["found"] = static_cast<double>(found);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * vids.size()));
}
BENCHMARK(BM_VersionsPropsForVids10k)->Unit(benchmark::kMillisecond);

// What the same answer costs by a sweep: every edge version read, then matched by vid.
void BM_VersionsPropsForVids10kBySweep(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    const std::vector<std::string> vids = random_edge_vids(bench.shape, 10'000);
    const std::unordered_set<std::string> wanted(vids.begin(), vids.end());
    std::size_t found = 0;
    for (auto _ : state) {
        std::unordered_map<std::string, std::string> props;
        for (EdgeVersionOut& version : unwrap(all_edge_versions(store), "all_edge_versions"))
            if (wanted.contains(version.vid)) props[version.vid] = std::move(version.props);
        found = props.size();
    }
    state.counters["found"] = static_cast<double>(found);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * vids.size()));
}
BENCHMARK(BM_VersionsPropsForVids10kBySweep)->Unit(benchmark::kMillisecond);

// 10k random edge identities; arg 0: as of a past tt (all postings), 1: current (open postings).
void BM_VersionsBelievedEdges10k(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    const std::int64_t as_of = state.range(0) == 0 ? PAST : CURRENT;
    std::mt19937_64 rng(11);
    std::vector<std::string> eids;
    for (int i = 0; i < 10'000; ++i) eids.push_back(bench.shape.eid(static_cast<std::uint32_t>(rng() % bench.shape.identities)));
    std::size_t versions = 0;
    for (auto _ : state) {
        versions = 0;
        for (const std::string& eid : eids) versions += unwrap(believed_edge_versions(store, eid, as_of), "believed").size();
    }
    state.counters["versions"] = static_cast<double>(versions);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * eids.size()));
}
BENCHMARK(BM_VersionsBelievedEdges10k)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_VersionsBelievedNodes10k(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    std::mt19937_64 rng(12);
    std::vector<std::string> uids;
    for (int i = 0; i < 10'000; ++i) uids.push_back(bench.shape.uid(static_cast<std::uint32_t>(rng() % bench.shape.entities)));
    std::size_t versions = 0;
    for (auto _ : state) {
        versions = 0;
        for (const std::string& uid : uids) versions += unwrap(believed_node_versions(store, uid, PAST), "believed").size();
    }
    state.counters["versions"] = static_cast<double>(versions);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * uids.size()));
}
BENCHMARK(BM_VersionsBelievedNodes10k)->Unit(benchmark::kMillisecond);

// A name query matching 11 entities, over every node version (items: node versions examined).
void BM_VersionsResolveEntities(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    std::size_t matches = 0;
    for (auto _ : state) matches = unwrap(resolve_entities(store, "Entity 4242", CURRENT), "resolve").size();
    state.counters["matches"] = static_cast<double>(matches);
    state.counters["entities"] = static_cast<double>(bench.shape.entities);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bench.shape.node_versions()));
}
BENCHMARK(BM_VersionsResolveEntities)->Unit(benchmark::kMillisecond);

// A page of 100 edge rows of the whole history (every version qualifies), at offset 0 (arg 0) or
// at 90% of the edge versions (arg 900: 900k of 1M).
void BM_VersionsPage(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    VersionQuery query;
    query.as_of_tt = BATCHES + 1;
    query.t_a = INT64_MIN;
    query.t_b = INT64_MAX;
    query.belief = BeliefMode::All;
    const auto offset = static_cast<std::int64_t>(bench.shape.edge_versions() / 1000 * state.range(0));
    state.counters["offset"] = static_cast<double>(offset);
    std::uint64_t total = 0;
    for (auto _ : state) {
        const VersionPage page = unwrap(version_page(store, RowKind::Edge, query, offset, 100), "page");
        total = page.rows_total;
        if (std::get<0>(page.rows).size() != 100) state.SkipWithError("short page");
    }
    state.counters["rows_total"] = static_cast<double>(total);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * total));
}
BENCHMARK(BM_VersionsPage)->Arg(0)->Arg(900)->Unit(benchmark::kMillisecond);

// Every node version examined, the believed ones returned (one per entity); arg 0 past, 1 current.
void BM_VersionsScanNodes(benchmark::State& state) {
    BenchStore& bench = bench_store();
    NativeStore& store = *bench.store;
    const std::int64_t as_of = state.range(0) == 0 ? PAST : CURRENT;
    std::uint64_t returned = 0;
    for (auto _ : state) {
        const NodeScanOut scan = unwrap(scan_node_versions(store, as_of, std::nullopt, std::nullopt), "scan");
        returned = scan.rows_materialized;
    }
    state.counters["returned"] = static_cast<double>(returned);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * bench.shape.node_versions()));
}
BENCHMARK(BM_VersionsScanNodes)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorp
