// The edge scan against a model of stored versions: random segments (overlapping and disjoint in
// valid time, some with elided vt_e, folded closes), a two-layer close overlay and random
// requests; the scan must return exactly the model's believed, filtered versions in (vt_s, vid)
// order, with the same columns and counters whether it runs on one thread or on eight.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include <fmt/format.h>

#include "segment_fixtures.h"
#include "test_support.h"
#include "vorp/scan_pipeline.h"
#include "vorp/store.h"

namespace vorp {
namespace {

using testing::seed_count;
using testing::TempDir;

// Sets environment variables for the life of the object and restores them after.
class EnvScope {
public:
    void set(const char* name, const std::string& value) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        ::setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        if (!saved_.contains(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        ::unsetenv(name);
    }
    ~EnvScope() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(ScanThreads, EnvironmentParsingAndGate) {
    struct Case {
        std::optional<std::string> value;
        std::optional<std::uint64_t> parsed;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt}, {"", std::nullopt},          {"  ", std::nullopt},
        {"0", 0},                     {" +8 ", 8},                 {"\u00a08\u2003", 8},
        {"-1", std::nullopt},         {"+", std::nullopt},         {"-", std::nullopt},
        {"8x", std::nullopt},         {"0x10", std::nullopt},      {"1 000", std::nullopt},
        {"007", 7},                   {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt}, {"++8", std::nullopt}, {"\xff", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_env_count(c.value ? std::optional<std::string_view>(*c.value) : std::nullopt), c.parsed)
            << (c.value ? *c.value : "<unset>");

    EnvScope env;
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t fallback = online <= 0 ? 1 : std::min<std::size_t>(online, 16);
    for (const char* value : {"", "0", "-3", "4abc", "0x8", "99999999999999999999"}) {
        env.set("VORP_SCAN_THREADS", value);
        EXPECT_EQ(scan_threads(), fallback) << value;
    }
    env.unset("VORP_SCAN_THREADS");
    EXPECT_EQ(scan_threads(), fallback);
    for (const auto& [value, threads] : std::vector<std::pair<const char*, std::size_t>>{
             {" +8 ", 8}, {"100", 64}, {"64", 64}, {"1", 1}}) {
        env.set("VORP_SCAN_THREADS", value);
        EXPECT_EQ(scan_threads(), threads) << value;
    }

    env.unset("VORP_PARALLEL_MIN_ROWS");
    EXPECT_FALSE(parallel_gate(3, 100, 8, UINT64_MAX));
    EXPECT_FALSE(parallel_gate(4, 7, 8, UINT64_MAX));
    EXPECT_FALSE(parallel_gate(4, 8, 8, 3999999));
    EXPECT_TRUE(parallel_gate(4, 8, 8, 4000000));
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    EXPECT_TRUE(parallel_gate(4, 8, 8, 0));
    EXPECT_FALSE(parallel_gate(3, 8, 8, 0));
    env.set("VORP_PARALLEL_MIN_ROWS", "-5");
    EXPECT_FALSE(parallel_gate(16, 8, 8, 3999999));
    env.set("VORP_PARALLEL_MIN_ROWS", " 10 ");
    EXPECT_TRUE(parallel_gate(16, 8, 8, 10));
}

TEST(ScanThreads, WantOfColumnsAndRequestNormalization) {
    ScanRequest request;
    EXPECT_EQ(Want::of(request), Want::all());
    request.columns = std::vector<std::string>{};
    EXPECT_EQ(Want::of(request), Want{});
    request.columns = std::vector<std::string>{"seg_row"};
    EXPECT_EQ(Want::of(request), (Want{.seg = true}));
    request.columns = std::vector<std::string>{"eid", "vt_s", "nope", "props", "props"};
    EXPECT_EQ(Want::of(request), (Want{.props = true}));

    EdgeScanArgs args;
    args.touching_ids = std::vector<std::int64_t>{5, 5, (std::int64_t{1} << 32) + 5, -1, 7};
    args.columns = std::vector<std::string>{"eid", "disc", "vt_e"};
    const ScanRequest normalized = scan_request_of(args);
    EXPECT_EQ(*normalized.touching_ids, (std::vector<std::uint32_t>{5, 7, 4294967295u}));
    EXPECT_EQ(*normalized.columns, (std::vector<std::string>{"eid", "disc", "vt_e", "rel_type", "src_id", "dst_id"}));
    EXPECT_TRUE(wants_eid(normalized));
    args.columns = std::vector<std::string>{"vt_e"};
    EXPECT_FALSE(wants_eid(scan_request_of(args)));
    args.columns.reset();
    EXPECT_TRUE(wants_eid(scan_request_of(args)));
    EXPECT_FALSE(scan_request_of(args).columns.has_value());
}

TEST(ScanSelection, BelievedRangesAndIdSetBound) {
    const std::vector<std::pair<std::uint32_t, std::int64_t>> runs{{0, 5}, {3, 9}, {6, 5}, {8, 2}};
    EXPECT_EQ(believed_ranges(runs, 2, 9, 1, 10), std::vector<RowRange>{});
    EXPECT_EQ(believed_ranges(runs, 2, 9, 9, 10), (std::vector<RowRange>{{0, 10}}));
    EXPECT_EQ(believed_ranges(runs, 2, 9, 5, 10), (std::vector<RowRange>{{0, 3}, {6, 10}}));
    EXPECT_EQ(believed_ranges(runs, 2, 9, 2, 10), (std::vector<RowRange>{{8, 10}}));
    EXPECT_EQ(believed_ranges(runs, 2, 9, 5, 7), (std::vector<RowRange>{{0, 3}, {6, 7}}));
    EXPECT_EQ(believed_ranges({}, INT64_MAX, INT64_MIN, 5, 10), std::vector<RowRange>{});

    // Ids a stored row cannot carry are dropped: the bitmap stays the dictionary's size.
    const std::vector<std::uint32_t> ids{3, 64, 4294967295u, 100000};
    const IdSet set = IdSet::build(ids, 100);
    EXPECT_EQ(set.words.size(), 2u);
    EXPECT_TRUE(set.contains(3));
    EXPECT_TRUE(set.contains(64));
    EXPECT_FALSE(set.contains(4294967295u));
    EXPECT_FALSE(set.contains(65));
    const IdSet empty = IdSet::build({}, 100);
    EXPECT_FALSE(empty.contains(0));
}

TEST(ScanOrdering, BalanceClustersVectors) {
    static const std::vector<std::uint32_t> rows(1000, 0);  // the selections' rows lie here
    const auto make = [](std::vector<std::size_t> sizes) {
        std::vector<Selection> selections;
        std::vector<std::vector<std::size_t>> clusters;
        for (std::size_t size : sizes) {
            clusters.push_back({selections.size()});
            selections.push_back({std::span<const std::uint32_t>(rows).first(size), 0});
        }
        return std::pair{selections, clusters};
    };
    using Groups = std::vector<std::pair<std::size_t, std::size_t>>;
    auto [tens, ten_clusters] = make(std::vector<std::size_t>(10, 100));
    EXPECT_EQ(balance_clusters(ten_clusters, tens, 4), (Groups{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
    auto [skewed, skewed_clusters] = make({1000, 1, 1});
    EXPECT_EQ(balance_clusters(skewed_clusters, skewed, 3), (Groups{{0, 1}, {1, 2}, {2, 3}}));
    EXPECT_EQ(balance_clusters({}, {}, 4), (Groups{{0, 0}}));
    EXPECT_EQ(balance_clusters(ten_clusters, tens, 1), (Groups{{0, 10}}));
}

// ---- the model ----------------------------------------------------------------------------------------------

struct ModelVersion {
    EdgeRow row;
    std::uint64_t seg_id = 0;
    std::uint32_t seg_row = 0;
    std::int64_t tt_e = OPEN_END;
};

struct ModelStore {
    TempDir dir{"vorp-scan-test"};
    std::vector<ModelVersion> versions;
    ScanSet set;
    std::uint32_t entities = 0;
};

constexpr const char* REL_NAMES[] = {"knows", "owns", "likes", "cites"};

// Writes `count` segments of random rows. Closes: some folded into segment headers, some in a
// bottom overlay layer and some in a top layer (which may reopen with OPEN_END, falling back to
// the folded close).
void build_store(ModelStore& store, std::mt19937_64& rng, std::size_t count) {
    store.entities = 40;
    auto bottom = std::make_shared<CloseIndex>();
    auto top = std::make_shared<CloseIndex>(CloseIndex::layered_over(bottom));
    std::set<std::pair<std::uint64_t, std::uint32_t>> bottom_keys;
    for (std::size_t segment_index = 0; segment_index < count; ++segment_index) {
        const std::uint64_t seg_id = 100 + segment_index * 3;
        const std::size_t rows = 1 + rng() % 60;
        const bool events = rng() % 4 == 0;                     // every vt_e = vt_s + 1: elided column
        const bool disjoint = rng() % 2 == 0;                    // a valid-time band of its own
        const std::size_t rel_count = 1 + rng() % 3;
        const std::size_t rel_first = rng() % 4;
        std::vector<EdgeRow> rows_out;
        for (std::size_t i = 0; i < rows; ++i) {
            EdgeRow row;
            row.src_id = static_cast<std::uint32_t>(rng() % store.entities);
            row.dst_id = static_cast<std::uint32_t>(rng() % store.entities);
            row.rel_type = REL_NAMES[(rel_first + rng() % rel_count) % 4];
            row.disc = rng() % 3 == 0 ? fmt::format("d{}", rng() % 3) : "";
            row.props = fmt::format("{{\"w\":{}}}", rng() % 100);
            row.source = "model";
            row.vid = Id96{rng() % 4 == 0 ? 7 : rng(), static_cast<std::uint32_t>(rng())};
            row.vt_s = disjoint ? static_cast<std::int64_t>(segment_index * 1000 + rng() % 1000)
                                : static_cast<std::int64_t>(rng() % 3000);
            if (rng() % 8 == 0) row.vt_s = -row.vt_s;
            row.vt_e = events ? row.vt_s + 1 : row.vt_s + 1 + static_cast<std::int64_t>(rng() % 200);
            row.tt_s = static_cast<std::int64_t>(rng() % 12);
            rows_out.push_back(std::move(row));
        }
        std::ranges::sort(rows_out, [](const EdgeRow& a, const EdgeRow& b) {
            return std::tie(a.vt_s, a.vid) < std::tie(b.vt_s, b.vid);
        });
        SegmentWriteOptions options;
        options.lane = segment_index % 3 == 2 ? Lane::Interval : Lane::Event;
        std::vector<std::int64_t> folded(rows, OPEN_END);
        for (std::uint32_t row = 0; row < rows; ++row) {
            if (rng() % 6 == 0) {
                const std::int64_t tt_e = rows_out[row].tt_s + static_cast<std::int64_t>(rng() % 5);
                options.closed_rows.emplace_back(row, tt_e);
                folded[row] = tt_e;
            }
        }
        const std::filesystem::path path = store.dir.path / fmt::format("{:012}.vos", seg_id);
        auto written = write_edge_segment(path, rows_out, options);
        ASSERT_TRUE(written) << written.error().display();
        auto source = MmapSource::load(path);
        ASSERT_TRUE(source) << source.error().display();
        auto segment = Segment::open(path, std::move(*source), true);
        ASSERT_TRUE(segment) << segment.error().display();
        ASSERT_EQ((*segment)->header.vt_e_elided, events);
        store.set.targets.push_back({*segment, seg_id, options.lane});

        for (std::uint32_t row = 0; row < rows; ++row) {
            ModelVersion version{rows_out[row], seg_id, row, folded[row]};
            // The layers: the topmost layer holding the row decides, unless its value is OPEN_END,
            // which leaves the folded close (or none) in force.
            std::optional<std::int64_t> layer_value;
            if (rng() % 5 == 0) {
                const std::int64_t tt_e = version.row.tt_s + static_cast<std::int64_t>(rng() % 6);
                bottom->insert(seg_id, row, tt_e);
                layer_value = tt_e;
            }
            if (rng() % 10 == 0) {
                const std::int64_t tt_e = rng() % 3 == 0 ? OPEN_END : version.row.tt_s + static_cast<std::int64_t>(rng() % 6);
                top->insert(seg_id, row, tt_e);
                layer_value = tt_e;
            }
            if (layer_value && *layer_value != OPEN_END) version.tt_e = *layer_value;
            store.versions.push_back(std::move(version));
        }
    }
    store.set.close = top;
    store.set.entity_count = store.entities;
}

ScanRequest random_request(std::mt19937_64& rng, std::uint32_t entities) {
    ScanRequest request;
    const auto pick = rng() % 5;
    request.as_of_tt = pick == 0 ? OPEN_END : pick == 1 ? OPEN_END - 1 : static_cast<std::int64_t>(rng() % 20) - 2;
    if (rng() % 2) request.vt_min = static_cast<std::int64_t>(rng() % 4000) - 500;
    if (rng() % 2) request.vt_max = static_cast<std::int64_t>(rng() % 4000) - 500;
    if (rng() % 3 == 0) {
        std::vector<std::string> names;
        for (const char* name : REL_NAMES)
            if (rng() % 2) names.push_back(name);
        if (rng() % 4 == 0) names.push_back("absent");
        request.rel_types = names;
    }
    if (rng() % 3 == 0) {
        std::vector<std::uint32_t> ids;
        const std::size_t n = rng() % 12;
        for (std::size_t i = 0; i < n; ++i) ids.push_back(static_cast<std::uint32_t>(rng() % (entities + 5)));
        if (rng() % 3 == 0) ids.push_back(4294967295u);
        std::ranges::sort(ids);
        ids.erase(std::ranges::unique(ids).begin(), ids.end());
        request.touching_ids = ids;
        request.touching_both = rng() % 2 == 0;
    }
    if (rng() % 3 == 0) {
        const std::uint64_t choices[] = {0, 1, 5, 1000000};
        request.limit = choices[rng() % 4];
    }
    if (rng() % 2) {
        std::vector<std::string> columns;
        for (const char* name : {"vt_e", "src_id", "dst_id", "vid", "rel_type", "disc", "props", "seg_id", "seg_row", "eid"})
            if (rng() % 2) columns.push_back(name);
        request.columns = columns;
    }
    return request;
}

std::vector<const ModelVersion*> expected_rows(const ModelStore& store, const ScanRequest& request) {
    const std::int64_t t = std::min(request.as_of_tt, OPEN_END - 1);
    std::vector<const ModelVersion*> rows;
    for (const ModelVersion& version : store.versions) {
        const EdgeRow& row = version.row;
        if (!(row.tt_s <= t && t < version.tt_e)) continue;
        if (request.vt_min && !(row.vt_e > *request.vt_min)) continue;
        if (request.vt_max && !(row.vt_s < *request.vt_max)) continue;
        if (request.rel_types && std::ranges::find(*request.rel_types, row.rel_type) == request.rel_types->end()) continue;
        if (request.touching_ids) {
            const auto& ids = *request.touching_ids;
            const bool src = std::ranges::binary_search(ids, row.src_id);
            const bool dst = std::ranges::binary_search(ids, row.dst_id);
            if (request.touching_both ? !(src && dst) : !(src || dst)) continue;
        }
        rows.push_back(&version);
    }
    // Equal keys (a vid repeated in one valid-time instant) keep target order, then row order.
    std::ranges::stable_sort(rows, [](const ModelVersion* a, const ModelVersion* b) {
        return std::tie(a->row.vt_s, a->row.vid) < std::tie(b->row.vt_s, b->row.vid);
    });
    if (request.limit && *request.limit < rows.size()) rows.resize(*request.limit);
    return rows;
}

ScanColumns expected_columns(const std::vector<const ModelVersion*>& rows, const Want& want) {
    ScanColumns out;
    for (const ModelVersion* version : rows) {
        const EdgeRow& row = version->row;
        out.vt_s.push_back(row.vt_s);
        if (want.vt_e) out.vt_e.push_back(row.vt_e);
        if (want.src_id) out.src_id.push_back(row.src_id);
        if (want.dst_id) out.dst_id.push_back(row.dst_id);
        if (want.vid) out.vid.push_back(row.vid);
        if (want.rel_type) out.rel_type.push_back(row.rel_type);
        if (want.disc) out.disc.push_back(row.disc);
        if (want.props) out.props.push_back(row.props);
        if (want.seg) {
            out.seg_id.push_back(version->seg_id);
            out.seg_row.push_back(version->seg_row);
        }
    }
    return out;
}

// Rows whose keys are equal come in an order the two roads define differently; compare only
// requests whose selected keys are distinct (vid collisions are rare but allowed by the model).
bool keys_distinct(const std::vector<const ModelVersion*>& rows) {
    for (std::size_t i = 1; i < rows.size(); ++i)
        if (rows[i]->row.vt_s == rows[i - 1]->row.vt_s && rows[i]->row.vid == rows[i - 1]->row.vid) return false;
    return true;
}

TEST(ScanProperty, EqualsModelAtOneFourAndEightThreads) {
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    const int seeds = seed_count("VORP_SCAN_SEEDS", 40);
    std::size_t compared = 0;
    std::size_t multi_clusters = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        std::mt19937_64 rng(0x5ca9 + seed);
        ModelStore store;
        build_store(store, rng, 4 + rng() % 14);
        if (::testing::Test::HasFatalFailure()) return;
        for (int round = 0; round < 25; ++round) {
            const ScanRequest request = random_request(rng, store.entities);
            // Without a limit, all selected rows are compared; with one, the model's order decides.
            std::vector<const ModelVersion*> all_rows = expected_rows(store, [&] {
                ScanRequest unlimited = request;
                unlimited.limit.reset();
                return unlimited;
            }());
            if (!keys_distinct(all_rows)) continue;
            const std::vector<const ModelVersion*> rows = expected_rows(store, request);
            const ScanColumns expected = expected_columns(rows, Want::of(request));
            std::optional<Materialized> first;
            for (const char* threads : {"1", "4", "8"}) {
                env.set("VORP_SCAN_THREADS", threads);
                auto result = materialize_at(store.set, request);
                ASSERT_TRUE(result) << result.error().display();
                EXPECT_EQ(result->columns, expected) << "seed " << seed << " round " << round << " threads " << threads;
                EXPECT_EQ(result->stats.scan.rows_selected, all_rows.size());
                EXPECT_EQ(result->stats.scan.segments_total, store.set.targets.size());
                if (first) {
                    EXPECT_EQ(result->stats.scan, first->stats.scan);
                    EXPECT_EQ(result->stats.clusters, first->stats.clusters);
                    EXPECT_EQ(result->stats.clusters_multi, first->stats.clusters_multi);
                } else {
                    first = std::move(*result);
                }
            }
            // Per-row overlay lookups and the gathered per-segment close lists select alike.
            SelectPrep gathered = store.set.prepare(request);
            SelectPrep lookups = store.set.prepare(request);
            lookups.closes.reset();
            if (!gathered.closes) {
                gathered.closes.emplace();
                for (const ScanTarget& target : store.set.targets) {
                    std::vector<std::int64_t>& list = gathered.close_lists.emplace_back(target.segment->header.rows, OPEN_END);
                    for (std::uint32_t row = 0; row < list.size(); ++row)
                        list[row] = store.set.close->find(target.seg_id, row).value_or(OPEN_END);
                }
                for (const auto& list : gathered.close_lists) gathered.closes->push_back(list);
            }
            const std::size_t n = store.set.targets.size();
            auto by_lookup = store.set.select_range(request, lookups, 0, n);
            auto by_list = store.set.select_range(request, gathered, 0, n);
            ASSERT_TRUE(by_lookup && by_list);
            EXPECT_EQ(by_lookup->selections, by_list->selections);
            EXPECT_EQ(by_lookup->stats, first->stats.scan);
            multi_clusters += first->stats.clusters_multi > 0;
            ++compared;
        }
    }
    EXPECT_GT(compared, static_cast<std::size_t>(seeds) * 15);
    EXPECT_GT(multi_clusters, 0u);
}

// A cached flat table in the set stands for its source layer and those below; one whose source
// is not in the overlay's chain is ignored. Every request selects as without a table.
TEST(ScanProperty, CachedCloseTableSelectsAsTheLayers) {
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    const int seeds = seed_count("VORP_SCAN_SEEDS", 40) / 4 + 1;
    for (int seed = 0; seed < seeds; ++seed) {
        std::mt19937_64 rng(0x7ab1e5 + seed);
        ModelStore store;
        build_store(store, rng, 4 + rng() % 14);
        if (::testing::Test::HasFatalFailure()) return;
        const std::shared_ptr<const CloseIndex> top = store.set.close;
        const std::vector<std::shared_ptr<const CloseTable>> tables = {
            std::make_shared<const CloseTable>(CloseTable::build(top->base)),  // committed layer, pending above
            std::make_shared<const CloseTable>(CloseTable::build(top)),        // the whole chain
            std::make_shared<const CloseTable>(CloseTable::build(std::make_shared<const CloseIndex>())),  // foreign
        };
        // Built in slices on worker threads (and in slices on this thread), a table is the same.
        const CloseTable::Runner threaded = [](std::size_t count, const std::function<void(std::size_t)>& work) {
            fan_out(count, SCAN_WORKER_PANICKED, work);
        };
        const CloseTable::Runner inline_run = [](std::size_t count, const std::function<void(std::size_t)>& work) {
            for (std::size_t index = count; index-- > 0;) work(index);
        };
        // Straight from close runs (repeated keys: the last run, then the last row, wins), the
        // table is that of an index of the same runs.
        std::vector<std::vector<StagedClose>> runs(1 + rng() % 4);
        auto runs_index = std::make_shared<CloseIndex>();
        for (auto& run : runs) {
            for (std::size_t count = rng() % 300; count-- > 0;)
                run.push_back({100 + 3 * (rng() % 6), static_cast<std::int64_t>(rng() % 9), static_cast<std::uint32_t>(rng() % 50),
                               true});
            runs_index->insert_run(run);
        }
        // Long runs too: a segment's closes are then sorted by digits of the row, up to the full
        // 32 bits, with repeated rows whose last close must win.
        std::vector<std::vector<StagedClose>> long_runs(2 + rng() % 2);
        auto long_index = std::make_shared<CloseIndex>();
        for (auto& run : long_runs) {
            const std::uint32_t row_range = rng() % 2 == 0 ? 3000 : UINT32_MAX;
            for (std::size_t count = 2000 + rng() % 3000; count-- > 0;) {
                const std::uint32_t row = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng() % 64)
                                                         : static_cast<std::uint32_t>(rng() % row_range);
                run.push_back({100 + 3 * (rng() % 3), static_cast<std::int64_t>(rng() % 1000), row, true});
            }
            long_index->insert_run(run);
        }
        const CloseTable from_index = CloseTable::build(runs_index);
        const CloseTable from_long_index = CloseTable::build(long_index);
        for (const std::size_t ways : {1, 2, 5}) {
            for (const CloseTable::Runner* run : {&threaded, &inline_run}) {
                const CloseTable direct = CloseTable::from_runs(runs, ways, *run);
                EXPECT_EQ(direct.segments, from_index.segments) << "ways " << ways;
                EXPECT_EQ(direct.entries, from_index.entries);
                EXPECT_EQ(direct.source, nullptr);
                const CloseTable long_direct = CloseTable::from_runs(long_runs, ways, *run);
                EXPECT_EQ(long_direct.segments, from_long_index.segments) << "ways " << ways;
                EXPECT_EQ(long_direct.entries, from_long_index.entries);
            }
        }
        for (const auto& source : {top->base, top}) {
            const CloseTable plain = CloseTable::build(source);
            for (const std::size_t ways : {2, 3, 7}) {
                for (const CloseTable::Runner* run : {&threaded, &inline_run}) {
                    const CloseTable sliced = CloseTable::build(source, nullptr, ways, *run);
                    EXPECT_EQ(sliced.segments, plain.segments) << "ways " << ways;
                    EXPECT_EQ(sliced.entries, plain.entries);
                    EXPECT_EQ(sliced.source, plain.source);
                }
            }
        }
        for (int round = 0; round < 12; ++round) {
            const ScanRequest request = random_request(rng, store.entities);
            store.set.close_table = nullptr;
            const SelectPrep plain_prep = store.set.prepare(request);
            auto plain = store.set.select_range(request, plain_prep, 0, store.set.targets.size());
            ASSERT_TRUE(plain) << plain.error().display();
            const std::vector<const ModelVersion*> rows = expected_rows(store, request);
            const ScanColumns expected = expected_columns(rows, Want::of(request));
            for (const auto& table : tables) {
                store.set.close_table = table;
                const SelectPrep prep = store.set.prepare(request);
                EXPECT_EQ(prep.lower != nullptr, table != tables.back());
                auto selected = store.set.select_range(request, prep, 0, store.set.targets.size());
                ASSERT_TRUE(selected) << selected.error().display();
                EXPECT_EQ(selected->selections, plain->selections) << "seed " << seed << " round " << round;
                EXPECT_EQ(selected->stats, plain->stats);
                if (!keys_distinct(expected_rows(store, [&] {
                        ScanRequest unlimited = request;
                        unlimited.limit.reset();
                        return unlimited;
                    }())))
                    continue;
                for (const char* threads : {"1", "8"}) {
                    env.set("VORP_SCAN_THREADS", threads);
                    auto result = materialize_at(store.set, request);
                    ASSERT_TRUE(result) << result.error().display();
                    EXPECT_EQ(result->columns, expected) << "seed " << seed << " round " << round << " threads " << threads;
                }
            }
        }
    }
}

// Every pruning rule and counter on a fixed layout.
TEST(ScanSelection, PruningCountersAndBoundaries) {
    ModelStore store;
    std::mt19937_64 rng(7);
    build_store(store, rng, 10);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    ScanRequest request;
    request.rel_types = std::vector<std::string>{};
    auto outcome = store.set.select(request);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->selections.empty());
    EXPECT_EQ(outcome->stats.segments_pruned, store.set.targets.size());

    // A version closed at T is not believed at T; closed at T + 1 it is.
    ScanRequest at;
    for (const ModelVersion& version : store.versions) {
        if (version.tt_e == OPEN_END || version.tt_e <= version.row.tt_s) continue;
        at.as_of_tt = version.tt_e;
        auto closed = materialize_at(store.set, at);
        ASSERT_TRUE(closed);
        at.as_of_tt = version.tt_e - 1;
        auto open = materialize_at(store.set, at);
        ASSERT_TRUE(open);
        const auto holds = [&](const ScanColumns& columns) {
            for (std::size_t i = 0; i < columns.rows(); ++i)
                if (columns.seg_id[i] == version.seg_id && columns.seg_row[i] == version.seg_row) return true;
            return false;
        };
        EXPECT_FALSE(holds(closed->columns));
        EXPECT_TRUE(holds(open->columns));
        break;
    }

    // Before the first tt_s every segment is pruned; an empty range selects nothing.
    ScanRequest before;
    before.as_of_tt = -1;
    auto nothing = store.set.select(before);
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->stats.segments_pruned, store.set.targets.size());
    auto empty = store.set.select_range(before, store.set.prepare(before), 3, 3);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->stats, ScanStats{});

    // touching_ids = [] selects nothing, and only ids inside the dictionary cost memory.
    ScanRequest touching;
    touching.touching_ids = std::vector<std::uint32_t>{};
    auto none = materialize_at(store.set, touching);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->columns.rows(), 0u);
    EXPECT_EQ(none->stats.clusters, 0u);
}

// ---- a fixed layout with hand-written answers ----------------------------------------------------------
//
// Five segments, in target order (vt_e = vt_s + 10 unless said; vids written v1 .. v12):
//   seg 10  tt_s 1   (100,v1) (110,v2) (120,v3) (130,v4)      row 0 closed in its header at tt 5
//   seg 11  tt_s 2   (105,v5) (120,v3) (125,v6)                row 0 closed by the overlay at tt 3
//   seg 12  tt_s 1   (130,v4) (140,v7) (150,v8)                vt_e elided (vt_s + 1)
//   seg 13  tt_s 1,1,3  (50,v9) (110,v2) (115,v10)             two tt_s runs
//   seg 14  tt_s 4   (1000,v11) (1010,v12)
// (110,v2) is stored in segs 13 and 10, (120,v3) in 10 and 11, (130,v4) in 10 and 12: the ties.
// Seg 13 starts before seg 10, so in a cluster's order it comes first while in target order it
// comes after; seg 12 starts exactly at the running maximum (130,v4) and so opens a cluster.
struct FixedRow {
    std::int64_t vt_s;
    std::uint64_t vid;
    std::int64_t tt_s;
};

ScanSet fixed_layout(const std::filesystem::path& dir) {
    struct Layout {
        std::uint64_t seg_id;
        std::vector<FixedRow> rows;
        bool elided;
        std::vector<std::pair<std::uint32_t, std::int64_t>> folded;
    };
    const Layout layouts[] = {
        {10, {{100, 1, 1}, {110, 2, 1}, {120, 3, 1}, {130, 4, 1}}, false, {{0, 5}}},
        {11, {{105, 5, 2}, {120, 3, 2}, {125, 6, 2}}, false, {}},
        {12, {{130, 4, 1}, {140, 7, 1}, {150, 8, 1}}, true, {}},
        {13, {{50, 9, 1}, {110, 2, 1}, {115, 10, 3}}, false, {}},
        {14, {{1000, 11, 4}, {1010, 12, 4}}, false, {}},
    };
    ScanSet set;
    for (const Layout& layout : layouts) {
        std::vector<EdgeRow> rows;
        for (const FixedRow& fixed : layout.rows) {
            EdgeRow row;
            row.src_id = static_cast<std::uint32_t>(fixed.vid % 3);
            row.dst_id = static_cast<std::uint32_t>(fixed.vid % 5);
            row.rel_type = "knows";
            row.source = "fixed";
            row.props = "{}";
            row.vid = Id96{fixed.vid, 0};
            row.vt_s = fixed.vt_s;
            row.vt_e = fixed.vt_s + (layout.elided ? 1 : 10);
            row.tt_s = fixed.tt_s;
            rows.push_back(std::move(row));
        }
        SegmentWriteOptions options;
        options.closed_rows = layout.folded;
        options.lane = layout.seg_id == 13 ? Lane::Interval : Lane::Event;
        const std::filesystem::path path = dir / fmt::format("{:012}.vos", layout.seg_id);
        EXPECT_TRUE(write_edge_segment(path, rows, options));
        auto source = MmapSource::load(path);
        auto segment = source ? Segment::open(path, std::move(*source), true) : fail(source.error());
        EXPECT_TRUE(segment);
        if (!segment) return set;
        EXPECT_EQ((*segment)->header.vt_e_elided, layout.elided);
        set.targets.push_back({*segment, layout.seg_id, options.lane});
    }
    auto overlay = std::make_shared<CloseIndex>();
    overlay->insert(11, 0, 3);
    set.close = overlay;
    set.entity_count = 5;
    return set;
}

// Each request with the rows it must return, as (seg_id, row) in output order, and every counter.
// The tie rule is visible where (110,v2) meets: without a limit seg 13's row first (cluster
// order), with a limit seg 10's (target order).
TEST(ScanPinned, FixedLayoutRowsOrderAndCountersAtEveryThreadCount) {
    TempDir dir{"vorp-scan-pinned"};
    const ScanSet set = fixed_layout(dir.path);
    ASSERT_EQ(set.targets.size(), 5u);
    using Rows = std::vector<std::pair<std::uint64_t, std::uint32_t>>;
    struct Case {
        const char* name;
        std::int64_t as_of;
        std::optional<std::int64_t> vt_min, vt_max;
        std::optional<std::uint64_t> limit;
        Rows rows;
        std::uint64_t pruned, examined, selected;
        std::uint32_t clusters, clusters_multi;
    };
    const Case cases[] = {
        {"now, all rows", OPEN_END, {}, {}, {},
         {{13, 0}, {13, 1}, {10, 1}, {13, 2}, {10, 2}, {11, 1}, {11, 2}, {10, 3}, {12, 0}, {12, 1}, {12, 2}, {14, 0}, {14, 1}},
         0, 15, 13, 3, 1},
        {"now, limit above the rows", OPEN_END, {}, {}, 100,
         {{13, 0}, {10, 1}, {13, 1}, {13, 2}, {10, 2}, {11, 1}, {11, 2}, {10, 3}, {12, 0}, {12, 1}, {12, 2}, {14, 0}, {14, 1}},
         0, 15, 13, 0, 0},
        {"now, limit 3", OPEN_END, {}, {}, 3, {{13, 0}, {10, 1}, {13, 1}}, 0, 15, 13, 0, 0},
        {"now, limit 0", OPEN_END, {}, {}, 0, {}, 0, 15, 13, 0, 0},
        {"as of 2: seg 14 pruned, seg 13's second run not believed, no close yet", 2, {}, {}, {},
         {{13, 0}, {10, 0}, {11, 0}, {13, 1}, {10, 1}, {10, 2}, {11, 1}, {11, 2}, {10, 3}, {12, 0}, {12, 1}, {12, 2}},
         1, 12, 12, 2, 1},
        {"as of 3: the overlay's close at 3 is in force, seg 13's second run believed", 3, {}, {}, {},
         {{13, 0}, {10, 0}, {13, 1}, {10, 1}, {13, 2}, {10, 2}, {11, 1}, {11, 2}, {10, 3}, {12, 0}, {12, 1}, {12, 2}},
         1, 13, 12, 2, 1},
        {"as of 4: the header's close at 5 not yet", 4, {}, {}, {},
         {{13, 0}, {10, 0}, {13, 1}, {10, 1}, {13, 2}, {10, 2}, {11, 1}, {11, 2}, {10, 3}, {12, 0}, {12, 1}, {12, 2},
          {14, 0}, {14, 1}},
         0, 15, 14, 3, 1},
        {"as of 0: everything pruned", 0, {}, {}, {}, {}, 5, 0, 0, 0, 0},
        {"window [130, 141): vt_e = vt_min rejected, elided rows cut by vt_s", OPEN_END, 130, 141, {},
         {{11, 2}, {10, 3}, {12, 0}, {12, 1}}, 2, 9, 4, 3, 0},
        {"window [131, 140): seg 12's window empty, neither pruned nor examined", OPEN_END, 131, 140, {},
         {{11, 2}, {10, 3}}, 2, 7, 2, 2, 0},
        {"as of 2, vt_max 121: seg 12 pruned by its vt_min, seg 14 by tt", 2, {}, 121, {},
         {{13, 0}, {10, 0}, {11, 0}, {13, 1}, {10, 1}, {10, 2}, {11, 1}}, 2, 7, 7, 1, 1},
        {"as of 2, vt_max 121, limit 5", 2, {}, 121, 5, {{13, 0}, {10, 0}, {11, 0}, {10, 1}, {13, 1}}, 2, 7, 7, 0, 0},
    };
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    for (const char* threads : {"1", "4", "16"}) {
        env.set("VORP_SCAN_THREADS", threads);
        for (const Case& c : cases) {
            SCOPED_TRACE(fmt::format("{} at {} threads", c.name, threads));
            ScanRequest request;
            request.as_of_tt = c.as_of;
            request.vt_min = c.vt_min;
            request.vt_max = c.vt_max;
            request.limit = c.limit;
            request.columns = std::vector<std::string>{"seg_row", "vt_e"};
            auto result = materialize_at(set, request);
            ASSERT_TRUE(result) << result.error().display();
            Rows rows;
            for (std::size_t i = 0; i < result->columns.rows(); ++i)
                rows.emplace_back(result->columns.seg_id[i], result->columns.seg_row[i]);
            EXPECT_EQ(rows, c.rows);
            EXPECT_EQ(result->stats.scan.segments_total, 5u);
            EXPECT_EQ(result->stats.scan.segments_pruned, c.pruned);
            EXPECT_EQ(result->stats.scan.rows_examined, c.examined);
            EXPECT_EQ(result->stats.scan.rows_selected, c.selected);
            EXPECT_EQ(result->stats.clusters, c.clusters);
            EXPECT_EQ(result->stats.clusters_multi, c.clusters_multi);
            // The copied values are those of the rows named (vt_e elided in seg 12).
            for (std::size_t i = 0; i < rows.size(); ++i) {
                const Segment& segment = *set.targets[rows[i].first - 10].segment;
                const std::int64_t vt_s = (*segment.typed<std::int64_t>("vt_s"))[rows[i].second];
                EXPECT_EQ(result->columns.vt_s[i], vt_s);
                EXPECT_EQ(result->columns.vt_e[i], vt_s + (rows[i].first == 12 ? 1 : 10));
            }
        }
    }
}

// A verified segment of `count` rows for the damaged-segment tests, written under `dir` and
// opened from a copy in memory (so a test may edit its columns): vids seg_id * 1000 + i, valid
// times [vt_s_of(i), + 3), all at tt_s 1.
Result<std::shared_ptr<const Segment>> written_segment(const std::filesystem::path& dir, std::uint64_t seg_id,
                                                       std::size_t count,
                                                       const std::function<std::int64_t(std::uint64_t)>& vt_s_of,
                                                       const std::function<std::string(std::uint64_t)>& props_of) {
    std::vector<EdgeRow> rows;
    for (std::uint64_t i = 0; i < count; ++i) {
        EdgeRow row;
        row.rel_type = "knows";
        row.source = "damaged";
        row.props = props_of(i);
        row.vid = Id96{seg_id * 1000 + i, 0};
        row.vt_s = vt_s_of(i);
        row.vt_e = row.vt_s + 3;
        row.tt_s = 1;
        rows.push_back(std::move(row));
    }
    const std::filesystem::path path = dir / fmt::format("{:012}.vos", seg_id);
    VORP_TRY(write_edge_segment(path, rows, SegmentWriteOptions{}));
    MemorySource source = VORP_TRY(MemorySource::load(path));
    return Segment::open(path, std::move(source), true);
}

// Damaged rows report the same error at every thread count: the first row in output order that
// cannot be copied, whatever piece boundaries the thread count puts between the damaged rows.
// One segment of 64 rows read from memory, then damaged in place: rows 10 (a props reference past
// the string table) and 40 (a rel_code past the segment's names) of one run of selected rows; a
// second segment overlapping it in valid time, so the rows also go through a merge.
TEST(ScanPinned, DamagedRowsFailAlikeAtEveryThreadCount) {
    TempDir dir{"vorp-scan-damaged"};
    ScanSet set;
    for (const std::uint64_t seg_id : {20, 21}) {
        auto segment = written_segment(dir.path, seg_id, 64, [&](std::uint64_t i) {
            return static_cast<std::int64_t>(10 * i + (seg_id == 21 ? 5 : 0));
        }, [](std::uint64_t i) { return fmt::format("{{\"n\":{}}}", i); });
        ASSERT_TRUE(segment) << segment.error().display();
        if (seg_id == 20) {
            // The columns live in the segment's own heap memory (read from a copy, or decoded).
            auto* rel_code = const_cast<std::uint16_t*>((*segment)->typed<std::uint16_t>("rel_code")->data());
            auto* props_ref = const_cast<std::uint32_t*>((*segment)->typed<std::uint32_t>("props_ref")->data());
            rel_code[40] = 7;
            props_ref[10] = 0xFFFFFF00u;
        }
        set.targets.push_back({*segment, seg_id, Lane::Event});
    }
    set.entity_count = 1;
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    for (const bool merged : {false, true}) {
        ScanRequest request;
        request.as_of_tt = OPEN_END;
        request.columns = std::vector<std::string>{"rel_type", "props"};
        // Without the second segment the first one's rows form a cluster of their own.
        ScanSet scanned = set;
        if (!merged) scanned.targets.pop_back();
        for (const std::optional<std::uint64_t> limit : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{500}}) {
            request.limit = limit;
            std::optional<std::string> first;
            for (const char* threads : {"1", "4", "16"}) {
                SCOPED_TRACE(fmt::format("merged {} limit {} threads {}", merged, limit.has_value(), threads));
                env.set("VORP_SCAN_THREADS", threads);
                auto result = materialize_at(scanned, request);
                ASSERT_FALSE(result);
                const std::string shown = result.error().display();
                EXPECT_NE(shown.find("row=10"), std::string::npos) << shown;
                if (!first) first = shown;
                EXPECT_EQ(shown, *first);
            }
        }
    }
}

// Two overlapping segments, one of whose rows do not ascend by key (a resealed file: only
// verification's row walk reports it): the merge's order must not depend on where the threads cut
// the cluster, so every thread count gives what one thread gives.
TEST(ScanPinned, DamagedRowOrderMergesAlikeAtEveryThreadCount) {
    TempDir dir{"vorp-scan-damaged-order"};
    ScanSet set;
    for (const std::uint64_t seg_id : {40, 41}) {
        // The sound segment is the larger, so the cuts are taken from its keys.
        auto segment = written_segment(dir.path, seg_id, seg_id == 41 ? 96 : 64, [&](std::uint64_t i) {
            return static_cast<std::int64_t>(seg_id == 41 ? 7 * i : 10 * i);
        }, [](std::uint64_t) { return std::string("{}"); });
        ASSERT_TRUE(segment) << segment.error().display();
        if (seg_id == 40) {
            // Shuffle the valid-time starts of the rows between the first and the last, so the
            // header's bounds still hold.
            auto* vt_s = const_cast<std::int64_t*>((*segment)->typed<std::int64_t>("vt_s")->data());
            std::mt19937_64 rng(7);
            std::shuffle(vt_s + 1, vt_s + 63, rng);
        }
        set.targets.push_back({*segment, seg_id, Lane::Event});
    }
    set.entity_count = 1;
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    ScanRequest request;
    request.as_of_tt = OPEN_END;
    request.columns = std::vector<std::string>{"vt_s", "seg_id", "seg_row"};
    std::optional<ScanColumns> first;
    for (const char* threads : {"1", "4", "16"}) {
        SCOPED_TRACE(fmt::format("threads {}", threads));
        env.set("VORP_SCAN_THREADS", threads);
        auto result = materialize_at(set, request);
        ASSERT_TRUE(result) << result.error().display();
        ASSERT_EQ(result->columns.rows(), 160u);
        if (!first) first = std::move(result->columns);
        else EXPECT_TRUE(result->columns == *first);
    }
}

// Selections whose first or last keys share a vt_s are ordered and clustered by their vids: seg 3
// (100,v0) sorts before seg 1 (100,v1) though listed after it; seg 2's first key (130,v4) lies
// below seg 1's last (130,v5), so both join one cluster; seg 5's first key (150,v10) lies above
// seg 4's last (150,v9), so it opens a cluster of its own. Rows as (vt_s, vid) in output order,
// with and without a limit, at every thread count.
TEST(ScanOrdering, EqualVtSAtClusterEdgesOrderByVid) {
    TempDir dir{"vorp-scan-edge-ties"};
    const std::vector<std::pair<std::uint64_t, std::vector<std::pair<std::int64_t, std::uint64_t>>>> layouts = {
        {1, {{100, 1}, {130, 5}}}, {2, {{130, 4}, {140, 6}}}, {3, {{100, 0}, {105, 8}}},
        {4, {{148, 2}, {150, 9}}}, {5, {{150, 10}, {160, 1}}},
    };
    ScanSet set;
    for (const auto& [seg_id, keys] : layouts) {
        std::vector<EdgeRow> rows;
        for (const auto& [vt_s, vid] : keys) {
            EdgeRow row;
            row.rel_type = "knows";
            row.source = "ties";
            row.props = "{}";
            row.vid = Id96{vid, 0};
            row.vt_s = vt_s;
            row.vt_e = vt_s + 1000;
            row.tt_s = 1;
            rows.push_back(std::move(row));
        }
        const std::filesystem::path path = dir.path / fmt::format("{:012}.vos", seg_id);
        ASSERT_TRUE(write_edge_segment(path, rows, SegmentWriteOptions{}));
        auto source = MmapSource::load(path);
        ASSERT_TRUE(source);
        auto segment = Segment::open(path, std::move(*source), true);
        ASSERT_TRUE(segment) << segment.error().display();
        set.targets.push_back({*segment, seg_id, Lane::Event});
    }
    set.entity_count = 1;
    const std::vector<std::pair<std::int64_t, std::uint64_t>> expected = {
        {100, 0}, {100, 1}, {105, 8}, {130, 4}, {130, 5}, {140, 6}, {148, 2}, {150, 9}, {150, 10}, {160, 1},
    };
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    for (const std::optional<std::uint64_t> limit : {std::optional<std::uint64_t>{}, std::optional<std::uint64_t>{100}}) {
        for (const char* threads : {"1", "8"}) {
            SCOPED_TRACE(fmt::format("limit {} threads {}", limit.has_value(), threads));
            env.set("VORP_SCAN_THREADS", threads);
            ScanRequest request;
            request.limit = limit;
            request.columns = std::vector<std::string>{"vid"};
            auto result = materialize_at(set, request);
            ASSERT_TRUE(result) << result.error().display();
            std::vector<std::pair<std::int64_t, std::uint64_t>> rows;
            for (std::size_t i = 0; i < result->columns.rows(); ++i)
                rows.emplace_back(result->columns.vt_s[i], result->columns.vid[i].prefix);
            EXPECT_EQ(rows, expected);
            if (!limit) {
                EXPECT_EQ(result->stats.clusters, 3u);  // {3, 1, 2}, {4}, {5}
                EXPECT_EQ(result->stats.clusters_multi, 1u);
            }
        }
    }
}

// Merges longer than a batch, of segments whose keys tie (equal vt_s, and versions stored in two
// segments), with closes cutting the rows: every column comes out as the heap merge of the whole
// cluster (merged over the selections in cluster order, then copied in that order) gives it, at
// every thread count. In one round a segment's rows do not ascend by key (equal vt_s, falling
// vids: a damaged file), so the merge reads the vids to tell, and every thread count merges
// that cluster as one piece.
TEST(ScanOrdering, LongMergesEqualTheHeapMergeAtEveryThreadCount) {
    TempDir dir{"vorp-scan-long-merge"};
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    for (std::uint64_t round = 0; round < 4; ++round) {
        SCOPED_TRACE(fmt::format("round {}", round));
        std::mt19937_64 rng(round + 11);
        ScanSet set;
        auto overlay = std::make_shared<CloseIndex>();
        const std::size_t segments = 3 + round;
        for (std::uint64_t seg_id = 1; seg_id <= segments; ++seg_id) {
            std::vector<EdgeRow> rows;
            const std::size_t count = 7000 + rng() % 3000;
            for (std::size_t i = 0; i < count; ++i) {
                EdgeRow row;
                row.src_id = static_cast<std::uint32_t>(rng() % 50);
                row.dst_id = static_cast<std::uint32_t>(rng() % 50);
                row.rel_type = fmt::format("r{}", rng() % 3);
                row.disc = rng() % 4 == 0 ? "d" : "";
                row.source = "long";
                row.props = fmt::format("{{\"s\":{},\"i\":{}}}", seg_id, i);
                // Few distinct vt_s and vids: equal keys within and across segments.
                row.vt_s = static_cast<std::int64_t>(rng() % 4000);
                row.vid = Id96{rng() % 3000, static_cast<std::uint32_t>(rng() % 2)};
                row.vt_e = row.vt_s + (seg_id % 2 == 0 ? 1 : 7);
                row.tt_s = 1;
                rows.push_back(std::move(row));
            }
            std::ranges::sort(rows, {}, [](const EdgeRow& row) { return std::tie(row.vt_s, row.vid); });
            for (std::uint32_t r = 0; r < rows.size(); ++r)
                if (rng() % 10 == 0) overlay->insert(seg_id, r, 2);
            const std::filesystem::path path = dir.path / fmt::format("{:012}-{}.vos", seg_id, round);
            ASSERT_TRUE(write_edge_segment(path, rows, SegmentWriteOptions{}));
            auto source = MemorySource::load(path);
            ASSERT_TRUE(source);
            auto segment = Segment::open(path, std::move(*source), true);
            ASSERT_TRUE(segment) << segment.error().display();
            if (round == 3 && seg_id == 2) {
                // Swap the vids of neighbours with equal vt_s and different vids: their keys fall.
                const auto vt_s = (*segment)->typed<std::int64_t>("vt_s").value();
                auto* vid64 = const_cast<std::uint64_t*>((*segment)->typed<std::uint64_t>("vid64")->data());
                std::size_t swapped = 0;
                for (std::size_t r = 1; r < vt_s.size(); ++r)
                    if (vt_s[r] == vt_s[r - 1] && vid64[r] != vid64[r - 1] && swapped++ < 40) std::swap(vid64[r], vid64[r - 1]);
                ASSERT_GT(swapped, 0u);
            }
            set.targets.push_back({*segment, seg_id, Lane::Event});
        }
        set.close = overlay;
        set.entity_count = 50;
        ScanRequest request;
        request.as_of_tt = 5;
        const Want want = Want::of(request);

        env.set("VORP_SCAN_THREADS", "1");
        auto selected = set.select(request);
        ASSERT_TRUE(selected);
        auto clusters = cluster_order(set.targets, selected->selections);
        ASSERT_TRUE(clusters);
        ASSERT_EQ(clusters->size(), 1u);  // every segment spans the whole valid time
        std::vector<Selection> in_cluster_order;
        for (const std::size_t index : clusters->front()) in_cluster_order.push_back(selected->selections[index]);
        auto order = merged(set.targets, in_cluster_order, std::nullopt);
        ASSERT_TRUE(order);
        ASSERT_GT(order->size(), 2 * 8192u);  // more than two batches of the merge
        auto expected = materialize_order(set.targets, want, *order);
        ASSERT_TRUE(expected);
        for (const char* threads : {"1", "4", "8"}) {
            SCOPED_TRACE(fmt::format("threads {}", threads));
            env.set("VORP_SCAN_THREADS", threads);
            auto result = materialize_at(set, request);
            ASSERT_TRUE(result) << result.error().display();
            EXPECT_EQ(result->stats.clusters_multi, 1u);
            EXPECT_TRUE(result->columns == *expected);
        }
    }
}

// Thousands of small segments are planned in chunks on worker threads: the selections, the
// counters and the columns are those of one thread, and so is the error of the first segment in
// output order whose view cannot be had (two node segments listed among the edge segments).
TEST(ScanSelection, ThousandsOfTargetsPlanAlikeOnWorkers) {
    testing::SegmentStore store{20};
    std::mt19937_64 rng(5);
    ScanSet set;
    auto overlay = std::make_shared<CloseIndex>();
    const std::size_t targets = PLAN_MIN_TARGETS + 200;
    for (std::uint64_t seg_id = 1; seg_id <= targets; ++seg_id) {
        std::vector<EdgeRow> rows;
        for (int i = 0; i < 4; ++i) {
            EdgeRow row = testing::random_edge(rng, 20);
            row.tt_s = seg_id % 7 == 0 ? 9 : 1 + static_cast<std::int64_t>(rng() % 3);  // some pruned at 5
            rows.push_back(std::move(row));
        }
        const std::string file = store.add_segment(seg_id, std::move(rows));
        auto source = MmapSource::load(store.root() / file);
        ASSERT_TRUE(source);
        auto segment = Segment::open(store.root() / file, std::move(*source), true);
        ASSERT_TRUE(segment) << segment.error().display();
        for (std::uint32_t row = 0; row < 4; ++row)
            if (rng() % 5 == 0) overlay->insert(seg_id, row, 2 + static_cast<std::int64_t>(rng() % 3));
        set.targets.push_back({*segment, seg_id, Lane::Event});
    }
    set.close = overlay;
    set.entity_count = 20;
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    std::vector<ScanRequest> requests(4);
    for (ScanRequest& request : requests) request.as_of_tt = 5;
    requests[1].vt_min = 300;
    requests[1].vt_max = 700;
    requests[2].rel_types = std::vector<std::string>{"rel_1"};
    requests[3].touching_ids = std::vector<std::uint32_t>{2, 3, 5, 7, 11};
    for (std::size_t index = 0; index < requests.size(); ++index) {
        SCOPED_TRACE(fmt::format("request {}", index));
        const ScanRequest& request = requests[index];
        env.set("VORP_SCAN_THREADS", "1");
        auto one = set.select(request, true);
        auto one_columns = materialize_at(set, request);
        ASSERT_TRUE(one && one_columns);
        EXPECT_GT(one->stats.segments_pruned, 0u);
        env.set("VORP_SCAN_THREADS", "8");
        auto many = set.select(request, true);
        auto many_columns = materialize_at(set, request);
        ASSERT_TRUE(many && many_columns);
        EXPECT_EQ(many->selections, one->selections);
        EXPECT_EQ(many->stats, one->stats);
        // Split by piece: the same rows of each target in the same order, and the same counters.
        auto pieces = set.select(request, false, ScanSet::Split::ByPiece);
        ASSERT_TRUE(pieces);
        EXPECT_EQ(pieces->stats, one->stats);
        std::vector<Selection> joined;
        std::vector<std::vector<std::uint32_t>> joined_rows;
        for (const Selection& selection : pieces->selections) {
            EXPECT_FALSE(selection.rows.empty());
            if (joined.empty() || joined.back().target != selection.target) {
                ASSERT_TRUE(joined.empty() || joined.back().target < selection.target);
                joined.push_back({{}, selection.target});
                joined_rows.emplace_back();
            }
            joined_rows.back().insert(joined_rows.back().end(), selection.rows.begin(), selection.rows.end());
        }
        for (std::size_t at = 0; at < joined.size(); ++at) joined[at].rows = joined_rows[at];
        EXPECT_EQ(joined, one->selections);
        EXPECT_TRUE(many_columns->columns == one_columns->columns);
        EXPECT_EQ(many_columns->stats.scan, one_columns->stats.scan);
        EXPECT_EQ(many_columns->stats.clusters, one_columns->stats.clusters);
    }

    // Node segments among the targets: their rows are selected, but an edge view of them cannot
    // be had; the first in output order fails the call at every thread count.
    std::vector<std::string> node_files;
    for (const std::uint64_t seg_id : {9001, 9002}) {
        std::vector<NodeRow> rows;
        for (int i = 0; i < 4; ++i) {
            NodeRow row = testing::random_node(rng, 20);
            row.vt_s = 100 * static_cast<std::int64_t>(seg_id - 9000) + i;
            row.vt_e = row.vt_s + 5;
            row.tt_s = 1;
            rows.push_back(std::move(row));
        }
        node_files.push_back(store.add_segment(seg_id, std::move(rows)));
        auto source = MmapSource::load(store.root() / node_files.back());
        ASSERT_TRUE(source);
        auto segment = Segment::open(store.root() / node_files.back(), std::move(*source), true);
        ASSERT_TRUE(segment) << segment.error().display();
        // 9001 sorts first in output order (vt_s 100) but comes later in target order.
        set.targets.insert(set.targets.begin() + (seg_id == 9001 ? 400 : 100), {*segment, seg_id, Lane::Event});
    }
    std::optional<std::string> first;
    for (const char* threads : {"1", "8"}) {
        SCOPED_TRACE(fmt::format("threads {}", threads));
        env.set("VORP_SCAN_THREADS", threads);
        auto result = materialize_at(set, requests[0]);
        ASSERT_FALSE(result);
        const std::string shown = result.error().display();
        EXPECT_NE(shown.find(node_files[0]), std::string::npos) << shown;
        if (!first) first = shown;
        EXPECT_EQ(shown, *first);
    }
}

// A damaged header whose tt_s runs or folded closes are out of row order (a resealed file: only
// verification's row walk reports it) is read row by row as every other read reads it (the tt_s
// and close lookups of the belief rule), so the rows selected and examined do not depend on where
// the thread count starts a piece.
TEST(ScanPinned, DamagedHeaderListsSelectAsTheLookupsAtEveryThreadCount) {
    TempDir dir{"vorp-scan-damaged-header"};
    std::vector<EdgeRow> rows;
    for (std::uint64_t i = 0; i < 64; ++i) {
        EdgeRow row;
        row.rel_type = "knows";
        row.source = "damaged";
        row.props = "{}";
        row.vid = Id96{100 + i, 0};
        row.vt_s = static_cast<std::int64_t>(10 * i);
        row.vt_e = row.vt_s + 3;
        row.tt_s = std::array<std::int64_t, 4>{1, 3, 2, 4}[i / 16];
        rows.push_back(std::move(row));
    }
    SegmentWriteOptions options;
    options.closed_rows = {{10, 5}, {20, 5}, {30, 5}, {40, 5}, {50, 5}};
    const std::filesystem::path path = dir.path / "000000000030.vos";
    ASSERT_TRUE(write_edge_segment(path, rows, options));
    std::string written;
    {
        std::ifstream in(path, std::ios::binary);
        written.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> edits;  // same-length header texts
    };
    const Case cases[] = {
        {"as written", {}},
        {"closes out of order", {{"\"closed_rows\":[[10,5],[20,5],[30,5],[40,5],[50,5]]",
                                  "\"closed_rows\":[[40,5],[10,5],[50,5],[20,5],[30,5]]"}}},
        {"runs out of order", {{"\"tt_s_runs\":[[0,1],[16,3],[32,2],[48,4]]", "\"tt_s_runs\":[[16,3],[0,1],[48,4],[32,2]]"}}},
        {"both", {{"\"closed_rows\":[[10,5],[20,5],[30,5],[40,5],[50,5]]", "\"closed_rows\":[[50,5],[40,5],[30,5],[20,5],[10,5]]"},
                  {"\"tt_s_runs\":[[0,1],[16,3],[32,2],[48,4]]", "\"tt_s_runs\":[[32,2],[48,4],[0,1],[16,3]]"}}},
    };
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    for (const Case& c : cases) {
        std::string bytes = written;
        for (const auto& [from, to] : c.edits) {
            const std::size_t at = bytes.find(from);
            ASSERT_NE(at, std::string::npos) << c.name << ": " << from;
            bytes.replace(at, from.size(), to);
        }
        auto source = MemorySource::copy_of(bytes);
        ASSERT_TRUE(source);
        auto segment = Segment::open(path, std::move(*source), false);  // the checksums no longer match
        ASSERT_TRUE(segment) << segment.error().display();
        ScanSet set;
        set.targets.push_back({*segment, 30, Lane::Event});
        set.entity_count = 1;
        const SegmentHeader& header = (*segment)->header;
        for (const std::int64_t as_of : {1, 2, 3, 4, 5, 6}) {
            // The rows the lookups believe, and those they place at or before the as-of time.
            std::vector<std::uint32_t> expected;
            std::uint64_t placed = 0;
            for (std::uint32_t row = 0; row < 64; ++row) {
                const Result<std::int64_t> tt_s = header.tt_s_at(row);
                if (!tt_s || *tt_s > as_of) continue;
                ++placed;
                if (is_believed(*tt_s, close_tt_e(nullptr, 30, row, header.closed_rows), as_of)) expected.push_back(row);
            }
            for (const bool filtered : {false, true}) {
                ScanRequest request;
                request.as_of_tt = as_of;
                request.columns = std::vector<std::string>{"seg_row"};
                if (filtered) request.rel_types = std::vector<std::string>{"knows"};
                for (const char* threads : {"1", "4", "16"}) {
                    SCOPED_TRACE(fmt::format("{}, as of {}, filtered {}, {} threads", c.name, as_of, filtered, threads));
                    env.set("VORP_SCAN_THREADS", threads);
                    auto result = materialize_at(set, request);
                    ASSERT_TRUE(result) << result.error().display();
                    EXPECT_EQ(std::vector<std::uint32_t>(result->columns.seg_row.begin(), result->columns.seg_row.end()),
                              expected);
                    EXPECT_EQ(result->stats.scan.rows_examined, placed);
                }
            }
        }
    }
}

// A worker thread that cannot be started fails the call after the started ones are joined; the
// work is never done on the calling thread instead, and nothing partial comes back.
TEST(ScanThreads, ThreadStartFailureFailsTheCall) {
    std::vector<int> ran(5, 0);
    fail_thread_start_after(2);
    try {
        fan_out(5, SCAN_WORKER_PANICKED, [&](std::size_t index) { ran[index] = 1; });
        ADD_FAILURE() << "fan_out returned";
    } catch (const EnginePanic& panic) {
        EXPECT_EQ(panic.text.substr(0, 81),
                  "a worker thread could not be started (2 of 5 running): injected thread start fail");
    }
    EXPECT_EQ(ran, (std::vector<int>{1, 1, 0, 0, 0}));
    fan_out(3, SCAN_WORKER_PANICKED, [&](std::size_t index) { ran[index] = 2; });  // the seam fired once
    EXPECT_EQ(ran, (std::vector<int>{2, 2, 2, 0, 0}));
    // No memory for a thread is an allocation failure, not a panic.
    for (const int error : {EAGAIN, ENOMEM}) {
        fail_thread_start_after(1, error);
        EXPECT_THROW(fan_out(5, SCAN_WORKER_PANICKED, [&](std::size_t index) { ran[index] = 3; }), std::bad_alloc);
        EXPECT_EQ(ran, (std::vector<int>{3, 2, 2, 0, 0}));
    }

    // Through the scan: the selection's workers, then the materialization's.
    TempDir dir{"vorp-scan-thread-start"};
    const ScanSet set = fixed_layout(dir.path);
    ASSERT_EQ(set.targets.size(), 5u);
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    env.set("VORP_SCAN_THREADS", "4");
    ScanRequest request;
    auto whole = materialize_at(set, request);
    ASSERT_TRUE(whole) << whole.error().display();
    for (const std::size_t starts : {0, 1, 3, 5, 6}) {
        fail_thread_start_after(starts);
        EXPECT_THROW((void)materialize_at(set, request), EnginePanic) << "after " << starts << " starts";
        fail_thread_start_after(SIZE_MAX);
    }
    auto again = materialize_at(set, request);
    ASSERT_TRUE(again) << again.error().display();
    EXPECT_EQ(again->columns, whole->columns);
}

// Edge ids come from the endpoints' uids; a short source column or a vanished id is refused.
TEST(ScanRequest, EidDerivationFailures) {
    Dictionary dictionary(std::filesystem::path("/nonexistent/dict.log"));
    dictionary.push("a", "L");
    dictionary.push("b", "L");
    ScanColumns columns;
    columns.vt_s = {1, 2};
    columns.src_id = {0, 1};
    columns.dst_id = {1, 0};
    columns.rel_type = {"r", "r"};
    columns.disc = {"", ""};
    auto eids = derive_eids(dictionary, columns);
    ASSERT_TRUE(eids);
    EXPECT_EQ((*eids)[0], edge_eid("a", "b", "r", ""));
    EXPECT_EQ((*eids)[1], edge_eid("b", "a", "r", ""));
    columns.dst_id = {1, 5};
    auto vanished = derive_eids(dictionary, columns);
    ASSERT_FALSE(vanished);
    EXPECT_EQ(vanished.error().kind, ScanFailure::Kind::DenseIdVanished);
    EXPECT_EQ(vanished.error().dense_id, 5u);
    columns.disc.pop_back();
    auto short_column = derive_eids(dictionary, columns);
    ASSERT_FALSE(short_column);
    EXPECT_EQ(short_column.error().kind, ScanFailure::Kind::EidWithoutColumns);
}

TEST(ScanMaterialize, ConcatPartsSequentialAndParallelAgree) {
    const Want want = Want::all();
    const auto part = [](std::int64_t base, std::size_t n, bool seg) {
        ScanColumns columns;
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = base + static_cast<std::int64_t>(i);
            columns.vt_s.push_back(v);
            columns.vt_e.push_back(v + 1);
            columns.src_id.push_back(static_cast<std::uint32_t>(v));
            columns.dst_id.push_back(static_cast<std::uint32_t>(v * 2));
            columns.vid.push_back(Id96{static_cast<std::uint64_t>(v), 1});
            columns.rel_type.push_back(fmt::format("rel-{}", v));
            columns.disc.push_back(fmt::format("disc-with-a-long-text-{}", v));
            columns.props.push_back("{}");
            if (seg) {
                columns.seg_id.push_back(9);
                columns.seg_row.push_back(static_cast<std::uint32_t>(i));
            }
        }
        return columns;
    };
    const auto parts = [&](bool seg) {
        std::vector<ScanColumns> list;
        list.push_back(part(0, 3, seg));
        list.push_back(part(100, 0, seg));
        list.push_back(part(200, 5, seg));
        return list;
    };
    ScanColumns expected = part(0, 3, true);
    expected.append(part(200, 5, true));
    EXPECT_EQ(concat_parts(parts(true), 8, want, false), expected);
    EXPECT_EQ(concat_parts(parts(true), 8, want, true), expected);
    const ScanColumns without_seg = concat_parts(parts(false), 8, want, true);
    EXPECT_TRUE(without_seg.seg_id.empty());
    EXPECT_TRUE(without_seg.seg_row.empty());
    EXPECT_EQ(concat_parts({}, 0, want, true), ScanColumns{});
}

TEST(ScanThreads, WorkerFailuresAfterJoin) {
    std::vector<int> done(6, 0);
    EXPECT_THROW(fan_out(6, SCAN_WORKER_PANICKED,
                         [&](std::size_t index) {
                             if (index == 2) engine_panic("boom");
                             done[index] = 1;
                         }),
                 EnginePanic);
    EXPECT_EQ(std::ranges::count(done, 1), 5);  // every other worker ran to its end
    try {
        fan_out(3, MATERIALIZE_WORKER_PANICKED, [](std::size_t) { throw std::runtime_error("x"); });
    } catch (const EnginePanic& panic) {
        EXPECT_EQ(panic.text, "materialize worker panicked");
    }
}

// Through the handle: committed rows only, staged closes already in force, current-only refusal.
TEST(ScanRequest, StagedClosesApplyAndStagedRowsStayHidden) {
    TempDir dir{"vorp-scan-store"};
    auto opened = NativeStore::open((dir.path / "s").string());
    ASSERT_TRUE(opened) << opened.error().display();
    NativeStore& store = **opened;
    const std::uint32_t a = store.add_entity("a", "L").value();
    const std::uint32_t b = store.add_entity("b", "L").value();
    const auto edge = [&](std::uint32_t index, std::int64_t tt) {
        EdgeRow row;
        row.rel_type = "r";
        row.props = "{}";
        row.source = "t";
        row.vid = Id96{static_cast<std::uint64_t>(tt), index};
        row.vt_s = index;
        row.vt_e = index + 5;
        row.tt_s = tt;
        row.src_id = a;
        row.dst_id = b;
        return row;
    };
    ASSERT_TRUE(store.begin(10));
    for (std::uint32_t index = 0; index < 3; ++index) ASSERT_TRUE(store.stage_edge(edge(index, 10)));
    ASSERT_TRUE(store.commit({}));
    ASSERT_TRUE(store.begin(20));
    ASSERT_TRUE(store.stage_edge(edge(7, 20)));
    ASSERT_TRUE(store.close_version(RowKind::Edge, Id96{10, 1}, 20));

    const auto vids = [&](std::int64_t as_of) {
        EdgeScanArgs args;
        args.as_of_tt = as_of;
        auto out = scan_edges(store, args);
        EXPECT_TRUE(out);
        Column<Id96> found = out ? out->columns.vid : Column<Id96>{};
        if (out) {
            EXPECT_EQ(out->eids->size(), found.size());
            if (!found.empty()) {
                EXPECT_EQ(out->eids->front(), edge_eid("a", "b", "r", ""));
            }
        }
        return found;
    };
    EXPECT_EQ(vids(OPEN_END), (Column<Id96>{{10, 0}, {10, 2}}));
    EXPECT_EQ(vids(19), (Column<Id96>{{10, 0}, {10, 1}, {10, 2}}));
    EXPECT_EQ(vids(9), Column<Id96>{});

    ASSERT_TRUE(store.rollback());
    ASSERT_TRUE(store.mark_current_only());
    EdgeScanArgs past;
    past.as_of_tt = 19;
    auto refused = scan_edges(store, past);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ScanFailure::Kind::Engine);
    EXPECT_EQ(refused.error().error.category, Category::Invariant);
    EXPECT_TRUE(scan_edges(store, EdgeScanArgs{}));
}

// A fresh handle opens its segments and builds its close table on the first scan: on worker
// threads when the gate opens, with the same result as on one thread; with damaged files, the
// failure reported is that of the first damaged file in target order either way.
TEST(ScanRequest, ColdScansOfFreshHandlesAgreeAtEveryThreadCount) {
    TempDir dir{"vorp-scan-cold"};
    const std::filesystem::path root = dir.path / "s";
    {
        auto opened = NativeStore::open(root.string());
        ASSERT_TRUE(opened) << opened.error().display();
        NativeStore& store = **opened;
        const std::uint32_t a = store.add_entity("a", "L").value();
        const std::uint32_t b = store.add_entity("b", "L").value();
        for (std::int64_t batch = 0; batch < 6; ++batch) {
            const std::int64_t tt = 10 * (batch + 1);
            ASSERT_TRUE(store.begin(tt));
            for (std::uint32_t index = 0; index < 40; ++index) {
                EdgeRow row;
                row.rel_type = "r";
                row.props = "{}";
                row.source = "t";
                row.vid = Id96{static_cast<std::uint64_t>(tt), index};
                row.vt_s = (index * 7 + batch * 13) % 50;  // every batch over the same valid times
                row.vt_e = row.vt_s + 5;
                row.tt_s = tt;
                row.src_id = index % 2 ? a : b;
                row.dst_id = index % 3 ? b : a;
                ASSERT_TRUE(store.stage_edge(row));
            }
            for (std::uint32_t index = 0; batch > 0 && index < 40; index += 3) {
                ASSERT_TRUE(store.close_version(RowKind::Edge, Id96{static_cast<std::uint64_t>(tt - 10), index}, tt));
            }
            ASSERT_TRUE(store.commit({}));
        }
    }
    EnvScope env;
    env.set("VORP_PARALLEL_MIN_ROWS", "0");
    const auto cold_scan = [&](const char* threads) {
        env.set("VORP_SCAN_THREADS", threads);
        auto opened = NativeStore::open(root.string());
        EXPECT_TRUE(opened);
        EdgeScanArgs args;
        args.columns = std::vector<std::string>{"vid", "seg_id", "seg_row", "vt_e"};
        return scan_edges(**opened, args);
    };
    auto one = cold_scan("1");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->stats.scan.segments_total, 6u);
    EXPECT_EQ(one->columns.rows(), 240u - 5 * 14);
    for (const char* threads : {"4", "16"}) {
        auto many = cold_scan(threads);
        ASSERT_TRUE(many);
        EXPECT_EQ(many->columns, one->columns) << threads << " threads";
        EXPECT_EQ(many->stats.scan, one->stats.scan);
        EXPECT_EQ(many->stats.clusters, one->stats.clusters);
    }
    {
        // A first scan reads the closes as a table of the runs; a handle that built the index
        // first reads them through it; after the scan the index is still there to be had.
        EdgeScanArgs args;
        args.columns = std::vector<std::string>{"vid", "seg_id", "seg_row", "vt_e"};
        auto warm = NativeStore::open(root.string());
        ASSERT_TRUE(warm);
        auto index = (*warm)->committed_close_index();
        ASSERT_TRUE(index);
        EXPECT_EQ((*index)->closed.size(), 5u * 14);
        auto through_index = scan_edges(**warm, args);
        ASSERT_TRUE(through_index);
        EXPECT_EQ(through_index->columns, one->columns);
        EXPECT_EQ(through_index->stats.scan, one->stats.scan);
        auto cold = NativeStore::open(root.string());
        ASSERT_TRUE(cold);
        ASSERT_TRUE(scan_edges(**cold, args));
        EXPECT_EQ((*cold)->close_cache().cached_run_count(), std::optional<std::size_t>(5));
        auto later = (*cold)->committed_close_index();
        ASSERT_TRUE(later);
        EXPECT_EQ((*later)->closed, (*index)->closed);
        auto again = scan_edges(**cold, args);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->columns, one->columns);
    }

    // Damage the third and fifth edge segments in target order.
    auto opened = NativeStore::open(root.string());
    ASSERT_TRUE(opened);
    const std::vector<SegmentEntry>& event = (*opened)->manifest().edge_lanes.event;
    ASSERT_GE(event.size(), 5u);
    for (const std::size_t index : {2, 4}) {
        const std::filesystem::path file = root / event[index].file;
        std::string bytes = testing::read_text(file);
        bytes[bytes.size() / 2] ^= 0x5a;
        testing::write_text(file, bytes);
    }
    auto broken_one = cold_scan("1");
    ASSERT_FALSE(broken_one);
    EXPECT_NE(broken_one.error().error.display().find(event[2].file.substr(4)), std::string::npos)
        << broken_one.error().error.display();
    auto broken_many = cold_scan("4");
    ASSERT_FALSE(broken_many);
    EXPECT_EQ(broken_many.error().error.display(), broken_one.error().error.display());
}

}  // namespace
}  // namespace vorp
