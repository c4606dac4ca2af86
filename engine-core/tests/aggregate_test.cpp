#include "vorp/aggregate.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <numeric>
#include <ostream>
#include <variant>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "test_support.h"
#include "vorp/scan_pipeline.h"
#include "vorp/segment.h"
#include "vorp/store.h"
#include "store_access.h"

namespace vorp {
// Readable failures: keys, values (None for absent), name tables.
void PrintTo(const AggregateResult& result, std::ostream* os) {
    *os << "keys=" << ::testing::PrintToString(result.keys) << " aggs=[";
    for (const AggValues& column : result.aggs) {
        std::visit(
            [&](const auto& values) {
                *os << "[";
                for (const auto& value : values) *os << (value ? fmt::format("{}", *value) : "None") << ",";
                *os << "]";
            },
            column);
    }
    *os << "] rel=" << ::testing::PrintToString(result.rel_names)
        << " labels=" << ::testing::PrintToString(result.label_names);
}

namespace {

// ---- vocabulary and arithmetic --------------------------------------------------------------------------

TEST(AggregateVocab, MessagesAndPrecedence) {
    using Pairs = std::vector<VocabPair>;
    struct Case {
        Pairs group_by;
        Pairs aggregates;
        std::optional<std::int64_t> stride;
        std::string error;  // empty: accepted
    };
    const std::vector<Case> cases = {
        {{{"time_bucket", "anything"}, {"rel_type", std::nullopt}}, {{"count", "x"}}, 5, ""},
        {{{"time_bucket", std::nullopt}}, {}, std::nullopt, "aggregate_edges: time_bucket requires stride"},
        {{{"bucket", std::nullopt}}, {{"nope", std::nullopt}}, 1, "aggregate_edges: unknown dimension \"bucket\""},
        {{{"Rel_type", std::nullopt}}, {}, 1, "aggregate_edges: unknown dimension \"Rel_type\""},
        {{}, {{"count ", std::nullopt}}, 1, "aggregate_edges: unknown aggregate \"count \""},
        {{{"label", std::nullopt}}, {}, 1, "aggregate_edges: label requires role src|dst, got None"},
        {{{"endpoint", "source"}}, {}, 1, "aggregate_edges: endpoint requires role src|dst, got Some(\"source\")"},
        {{}, {{"count_distinct", std::nullopt}}, 1, "aggregate_edges: count_distinct requires role src|dst, got None"},
        {{}, {{"mean", "vt_e"}}, 1, "aggregate_edges: stat aggregate requires of vt_s|duration, got Some(\"vt_e\")"},
        {{}, {{"min", "a\"\n"}}, 1, "aggregate_edges: stat aggregate requires of vt_s|duration, got Some(\"a\\\"\\n\")"},
        {{{"rel_type", std::nullopt}, {"rel_type", std::nullopt}, {"rel_type", std::nullopt}}, {}, 1,
         "aggregate_edges: at most two group_by dimensions, got 3"},
        {{{"time_bucket", std::nullopt}}, {}, 0, "aggregate_edges: time_bucket requires a non-zero stride"},
        // A bad dimension wins over a bad aggregate; within a list the first bad entry wins.
        {{{"endpoint", "dst"}, {"x", std::nullopt}}, {{"y", std::nullopt}}, 1, "aggregate_edges: unknown dimension \"x\""},
    };
    for (const Case& test : cases) {
        const auto translated = translate_aggregate_vocab(test.group_by, test.aggregates, test.stride);
        if (test.error.empty()) {
            ASSERT_TRUE(translated.has_value()) << translated.error();
        } else {
            ASSERT_FALSE(translated.has_value()) << test.error;
            EXPECT_EQ(translated.error(), test.error);
        }
    }
    const auto ok = translate_aggregate_vocab({{"endpoint", "dst"}, {"label", "src"}},
                                              {{"count_distinct", "dst"}, {"max", "duration"}, {"mean", "vt_s"}}, 7);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->group_by, (std::vector<Dim>{{DimKind::Endpoint, 1, 7}, {DimKind::Label, 0, 7}}));
    EXPECT_EQ(ok->aggregates, (std::vector<Agg>{{AggKind::CountDistinct, 1}, {AggKind::Max, 1}, {AggKind::Mean, 0}}));
}

TEST(AggregateArithmetic, MeanRoundingAndBuckets) {
    EXPECT_EQ(aggregate_mean(3, 2), 1.5);
    EXPECT_EQ(aggregate_mean(-3, 2), -1.5);
    EXPECT_EQ(aggregate_mean(5, 3), 1.6666666666666665);  // not 5.0 / 3
    EXPECT_EQ(aggregate_mean(-5, 3), -1.6666666666666667);
    const __int128 big = static_cast<__int128>(INT64_MAX) * 4;
    EXPECT_EQ(aggregate_mean(big, 4), static_cast<double>(INT64_MAX));
    // Sums and counts on both sides of 64 bits against the floor division done in 128 bits.
    const auto reference = [](__int128 sum, std::uint64_t n) {
        const auto divisor = static_cast<__int128>(n);
        __int128 q = sum / divisor;
        if (sum % divisor != 0 && sum < 0) --q;
        return static_cast<double>(sum - q * divisor) / static_cast<double>(n) + static_cast<double>(q);
    };
    std::vector<__int128> sums = {0, 1, -1, 2, -2, 7, -7, INT64_MAX, INT64_MIN, static_cast<__int128>(INT64_MAX) + 1,
                                  static_cast<__int128>(INT64_MIN) - 1, big, -big};
    std::vector<std::uint64_t> counts = {1, 2, 3, 7, 1000, static_cast<std::uint64_t>(INT64_MAX),
                                         static_cast<std::uint64_t>(INT64_MAX) + 1, UINT64_MAX};
    std::mt19937_64 rng(5);
    for (int i = 0; i < 200; ++i) {
        sums.push_back(static_cast<__int128>(static_cast<std::int64_t>(rng())) >> (rng() % 64));
        counts.push_back(std::max<std::uint64_t>(1, rng() >> (rng() % 64)));
    }
    for (const __int128 sum : sums)
        for (const std::uint64_t n : counts)
            ASSERT_EQ(aggregate_mean(sum, n), reference(sum, n)) << static_cast<double>(sum) << " / " << n;

    EXPECT_EQ(time_bucket_of(100, 100, 10), 0);
    EXPECT_EQ(time_bucket_of(109, 100, 10), 0);
    EXPECT_EQ(time_bucket_of(110, 100, 10), 1);
    EXPECT_EQ(time_bucket_of(105, 100, -2), -2);  // truncating
    EXPECT_EQ(time_bucket_of(0, INT64_MIN, -1), INT64_MIN);  // wrapped dividend over -1 wraps
    EXPECT_EQ(time_bucket_of(INT64_MAX, -1, 1), INT64_MIN);

    LabelIndex labels;
    labels.entries[7] = {{10, 20, 3}};
    EXPECT_EQ(labels.lookup(7, 10), 3);
    EXPECT_EQ(labels.lookup(7, 19), 3);
    EXPECT_EQ(labels.lookup(7, 20), -1);
    EXPECT_EQ(labels.lookup(7, 9), -1);
    EXPECT_EQ(labels.lookup(8, 15), -1);
    labels.entries[7] = {{0, 100, 1}, {5, 8, 2}};  // only the last span starting at or before t decides
    EXPECT_EQ(labels.lookup(7, 9), -1);
    EXPECT_EQ(labels.lookup(7, 6), 2);
}

// ---- against a brute-force model ------------------------------------------------------------------------

struct ModelEdge {
    Id96 vid;
    std::uint32_t src = 0, dst = 0;
    std::string rel;
    std::int64_t vt_s = 0, vt_e = 0, tt_s = 0, tt_e = OPEN_END;
    bool committed = false;
};
struct ModelNode {
    Id96 vid;
    std::uint32_t id = 0;
    std::string label;
    std::int64_t vt_s = 0, vt_e = 0, tt_s = 0, tt_e = OPEN_END;
};

struct Model {
    std::vector<std::string> uids;  // by dense id
    std::vector<ModelEdge> edges;
    std::vector<ModelNode> nodes;
    std::set<std::string> committed_rels;
};

bool believed(std::int64_t tt_s, std::int64_t tt_e, std::int64_t as_of) {
    const std::int64_t t = std::min(as_of, OPEN_END - 1);
    return tt_s <= t && t < tt_e;
}

AggregateResult brute_force(const Model& model, const AggregateRequest& request) {
    AggregateResult out;
    out.rel_names.assign(model.committed_rels.begin(), model.committed_rels.end());
    const bool wants_label = std::ranges::any_of(request.group_by, [](const Dim& d) { return d.kind == DimKind::Label; });
    std::map<std::uint32_t, std::vector<LabelSpan>> spans;
    if (wants_label) {
        std::set<std::string> names;
        for (const ModelNode& node : model.nodes)
            if (believed(node.tt_s, node.tt_e, request.as_of_tt)) names.insert(node.label);
        out.label_names.assign(names.begin(), names.end());
        for (const ModelNode& node : model.nodes)
            if (believed(node.tt_s, node.tt_e, request.as_of_tt))
                spans[node.id].push_back({node.vt_s, node.vt_e,
                                          static_cast<std::uint32_t>(std::ranges::find(out.label_names, node.label) -
                                                                     out.label_names.begin())});
    }
    const auto label_at = [&](std::uint32_t id, std::int64_t t) -> std::int64_t {
        auto list = spans[id];
        std::ranges::sort(list);
        const LabelSpan* last = nullptr;
        for (const LabelSpan& span : list)
            if (span.vt_s <= t) last = &span;
        return last != nullptr && t < last->vt_e ? static_cast<std::int64_t>(last->code) : std::int64_t{-1};
    };
    using SortPart = std::pair<std::string, std::int64_t>;
    struct Group {
        std::int64_t codes[2] = {0, 0};
        std::vector<const ModelEdge*> rows;
    };
    std::map<std::pair<SortPart, SortPart>, Group> groups;
    for (const ModelEdge& edge : model.edges) {
        if (!edge.committed || !believed(edge.tt_s, edge.tt_e, request.as_of_tt)) continue;
        if (!(edge.vt_s >= request.t_a && edge.vt_s < request.t_b && edge.vt_e > request.t_a)) continue;
        if (request.rel_types && std::ranges::find(*request.rel_types, edge.rel) == request.rel_types->end()) continue;
        SortPart parts[2] = {{"", 0}, {"", 0}};
        std::int64_t codes[2] = {0, 0};
        for (std::size_t i = 0; i < request.group_by.size(); ++i) {
            const Dim& dim = request.group_by[i];
            const std::uint32_t endpoint = dim.role == ROLE_SRC ? edge.src : edge.dst;
            switch (dim.kind) {
                case DimKind::TimeBucket: codes[i] = (edge.vt_s - request.t_a) / dim.stride; break;
                case DimKind::RelType:
                    codes[i] = std::ranges::find(out.rel_names, edge.rel) - out.rel_names.begin();
                    break;
                case DimKind::Endpoint: codes[i] = endpoint; parts[i].first = model.uids[endpoint]; break;
                case DimKind::Label: codes[i] = label_at(endpoint, edge.vt_s); break;
            }
            parts[i].second = codes[i];
        }
        Group& group = groups[{parts[0], parts[1]}];
        group.codes[0] = codes[0];
        group.codes[1] = codes[1];
        group.rows.push_back(&edge);
    }
    if (request.group_by.empty() && groups.empty()) groups[{}];
    out.keys.assign(request.group_by.size(), {});
    for (const Agg& agg : request.aggregates) {
        if (agg.kind == AggKind::Mean)
            out.aggs.emplace_back(FloatValues{});
        else
            out.aggs.emplace_back(IntValues{});
    }
    for (const auto& [sort_key, group] : groups) {
        for (std::size_t i = 0; i < request.group_by.size(); ++i) out.keys[i].push_back(group.codes[i]);
        for (std::size_t a = 0; a < request.aggregates.size(); ++a) {
            const Agg& agg = request.aggregates[a];
            if (agg.kind == AggKind::Count) {
                std::get<IntValues>(out.aggs[a]).push_back(static_cast<std::int64_t>(group.rows.size()));
                continue;
            }
            if (agg.kind == AggKind::CountDistinct) {
                std::set<std::uint32_t> ids;
                for (const ModelEdge* edge : group.rows) ids.insert(agg.of == ROLE_SRC ? edge->src : edge->dst);
                std::get<IntValues>(out.aggs[a]).push_back(static_cast<std::int64_t>(ids.size()));
                continue;
            }
            std::vector<std::int64_t> values;
            for (const ModelEdge* edge : group.rows) {
                if (agg.of == STAT_VT_S) values.push_back(edge->vt_s);
                else if (edge->vt_e < OPEN_END) values.push_back(edge->vt_e - edge->vt_s);
            }
            if (agg.kind == AggKind::Mean) {
                __int128 sum = 0;
                for (const std::int64_t v : values) sum += v;
                std::get<FloatValues>(out.aggs[a])
                    .push_back(values.empty() ? std::nullopt : std::optional(aggregate_mean(sum, values.size())));
            } else if (values.empty()) {
                std::get<IntValues>(out.aggs[a]).push_back(std::nullopt);
            } else {
                std::get<IntValues>(out.aggs[a])
                    .push_back(agg.kind == AggKind::Min ? std::ranges::min(values) : std::ranges::max(values));
            }
        }
    }
    return out;
}

struct ThreadEnv {
    ThreadEnv() { ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1); }
    ~ThreadEnv() {
        ::unsetenv("VORP_PARALLEL_MIN_ROWS");
        ::unsetenv("VORP_SCAN_THREADS");
    }
    void threads(int n) { ::setenv("VORP_SCAN_THREADS", std::to_string(n).c_str(), 1); }
};

int seed_count() {
    const char* value = std::getenv("VORP_AGG_SEEDS");
    return value != nullptr ? std::max(1, std::atoi(value)) : 3;
}

// Random batches (edges and nodes in both lanes, closes of stored and of same-batch versions), a
// last batch left open (its edges must not count, its closes and node labels must), then random
// requests compared with the brute force at 1, 4 and 16 threads.
TEST(AggregateEdges, MatchesBruteForceAtEveryThreadCount) {
    ThreadEnv env;
    for (int seed = 1; seed <= seed_count(); ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        const auto pick = [&](std::int64_t lo, std::int64_t hi) {
            return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
        };
        testing::TempDir dir;
        auto opened = NativeStore::open((dir.path / "store").string());
        ASSERT_TRUE(opened.has_value()) << opened.error().display();
        NativeStore& store = **opened;
        StoreTestAccess::set_lane_stride(store, 10);            // a version spanning 3 buckets goes to the interval lane
        StoreTestAccess::set_segment_target_bytes(store, 300);  // about six rows per segment: many targets

        Model model;
        const char* const labels[] = {"gamma", "alpha", "beta", "Zed"};
        const char* const rels[] = {"likes", "knows", "KNOWS", "owns"};
        // More than 64 entities: distinct sets of two words. Every other seed names thousands, more
        // than the batches have rows, so endpoint groups go through the hashed group table rather
        // than the flat one indexed by dense id.
        const int n_entities = seed % 2 == 0 ? 6000 : 70;
        // Uids in several shapes: a prefix every uid shares on every third seed, and tails that
        // tie on their first eight bytes, that end inside them, or that hold bytes above 0x7F.
        const std::string shared = seed % 3 == 0 ? "tenant-0042/entity-" : "";
        for (int e = 0; e < n_entities; ++e) {
            std::string uid = shared + fmt::format("{:c}{}", static_cast<char>('a' + pick(0, 25)), pick(0, 99999));
            switch (pick(0, 3)) {
                case 0: uid = shared + "long-shared-tail-" + std::to_string(pick(0, 999)); break;
                case 1: uid += "\xc3\xa9"; break;
                default: break;
            }
            while (std::ranges::find(model.uids, uid) != model.uids.end()) uid += "x";
            model.uids.push_back(uid);
        }
        // Codes in byte order of the uids (as ids from a counter get them) on some seeds; on others
        // in the order of the eight bytes after the prefix all uids share, ties in random order.
        if (seed % 4 == 1) std::ranges::sort(model.uids);
        if (seed % 4 == 3) {
            std::size_t common = model.uids[0].size();
            for (const std::string& uid : model.uids) {
                std::size_t at = 0;
                while (at < common && at < uid.size() && uid[at] == model.uids[0][at]) ++at;
                common = at;
            }
            std::ranges::stable_sort(model.uids, {}, [&](const std::string& uid) { return uid.substr(common, 8); });
        }
        for (const std::string& uid : model.uids) store.add_entity(uid, "").value();
        std::uint64_t next_vid = 1;
        const int batches = 5;
        for (int batch = 0; batch < batches; ++batch) {
            const std::int64_t tt = 10 * (batch + 1);
            ASSERT_TRUE(store.begin(tt).has_value());
            const std::size_t first_edge = model.edges.size();
            for (int i = 0, n = static_cast<int>(pick(20, 90)); i < n; ++i) {
                ModelEdge edge;
                edge.vid = Id96{next_vid++ * 0x9E3779B97F4A7C15ull, static_cast<std::uint32_t>(pick(0, 9))};
                edge.src = static_cast<std::uint32_t>(pick(0, n_entities - 1));
                edge.dst = static_cast<std::uint32_t>(pick(0, n_entities - 1));
                edge.rel = rels[pick(0, 3)];
                edge.vt_s = pick(-20, 100);
                const std::int64_t shape = pick(0, 9);
                edge.vt_e = shape == 0 ? OPEN_END : shape == 1 ? edge.vt_s - pick(0, 3) : edge.vt_s + pick(1, 40);
                edge.tt_s = tt - pick(0, 5);
                EdgeRow row{edge.rel, "", "{}", "test", std::nullopt, edge.vid, edge.vt_s, edge.vt_e, edge.tt_s,
                            edge.src, edge.dst};
                ASSERT_TRUE(store.stage_edge(row).has_value());
                model.edges.push_back(edge);
            }
            for (int i = 0, n = static_cast<int>(pick(0, 15)); i < n; ++i) {
                ModelNode node;
                node.vid = Id96{next_vid++, 7};
                node.id = static_cast<std::uint32_t>(pick(0, n_entities - 1));
                node.label = labels[pick(0, 3)];
                node.vt_s = pick(-20, 100);
                node.vt_e = pick(0, 5) == 0 ? OPEN_END : node.vt_s + pick(1, 60);
                node.tt_s = tt;
                NodeRow row{node.label, "{}", "test", std::nullopt, node.vid, node.vt_s, node.vt_e, node.tt_s, node.id};
                ASSERT_TRUE(store.stage_node(row).has_value());
                model.nodes.push_back(node);
            }
            for (int i = 0, n = static_cast<int>(pick(0, 12)); i < n; ++i) {
                // Stored or staged in this batch alike; a later close of the same vid wins.
                ModelEdge& edge = model.edges[static_cast<std::size_t>(pick(0, static_cast<std::int64_t>(model.edges.size()) - 1))];
                if (edge.tt_e != OPEN_END && edge.committed) continue;
                edge.tt_e = tt + pick(0, 3);
                ASSERT_TRUE(store.close_version(RowKind::Edge, edge.vid, edge.tt_e).has_value());
            }
            for (int i = 0, n = static_cast<int>(pick(0, 4)); i < n && !model.nodes.empty(); ++i) {
                ModelNode& node = model.nodes[static_cast<std::size_t>(pick(0, static_cast<std::int64_t>(model.nodes.size()) - 1))];
                if (node.tt_e != OPEN_END) continue;
                node.tt_e = tt;
                ASSERT_TRUE(store.close_version(RowKind::Node, node.vid, node.tt_e).has_value());
            }
            if (batch + 1 == batches) break;  // the last batch stays open
            auto committed = store.commit(store.manifest().event_log);
            ASSERT_TRUE(committed.has_value()) << committed.error().display();
            for (std::size_t i = first_edge; i < model.edges.size(); ++i) {
                model.edges[i].committed = true;
                model.committed_rels.insert(model.edges[i].rel);
            }
        }
        ASSERT_GT(store.manifest().edge_lanes.interval.size(), 0u);
        ASSERT_GE(store.manifest().edge_lanes.event.size(), 8u);

        for (int query = 0; query < 40; ++query) {
            SCOPED_TRACE(query);
            AggregateRequest request;
            const std::int64_t as_of_choice = pick(0, 6);
            request.as_of_tt = as_of_choice == 6 ? OPEN_END + pick(0, 1) : 10 * as_of_choice + pick(0, 5);
            request.t_a = pick(-30, 60);
            request.t_b = request.t_a + pick(0, 100);
            std::int64_t stride = pick(-3, 25);
            if (stride == 0) stride = 7;
            const int n_dims = static_cast<int>(pick(0, 2));
            for (int d = 0; d < n_dims; ++d)
                request.group_by.push_back(
                    {static_cast<DimKind>(pick(0, 3)), static_cast<std::uint8_t>(pick(0, 1)), stride});
            for (int a = 0, n = static_cast<int>(pick(0, 5)); a < n; ++a)
                request.aggregates.push_back({static_cast<AggKind>(pick(0, 4)), static_cast<std::uint8_t>(pick(0, 1))});
            const std::int64_t rel_choice = pick(0, 5);
            if (rel_choice == 0) request.rel_types = std::vector<std::string>{};
            if (rel_choice == 1) request.rel_types = std::vector<std::string>{"knows", "owns", "nothing"};
            request.max_groups = UINT64_MAX;

            const AggregateResult expected = brute_force(model, request);
            // The default split, then every worker routing rows to partitions of a few slots
            // (most lists spill), then every worker folding alone with merges cut in many ranges.
            const FoldSplit defaults;
            const FoldSplit splits[] = {defaults, {0, 1, UINT64_MAX}, {UINT64_MAX, defaults.partition_bytes, 1}};
            for (const FoldSplit& split : splits) {
                fold_split() = split;
                for (const int threads : {1, 4, 16}) {
                    env.threads(threads);
                    auto got = aggregate_edges(store, request);
                    ASSERT_TRUE(got.has_value()) << got.error().display();
                    ASSERT_EQ(*got, expected) << "threads " << threads << " split " << split.worker_records_max_bytes;
                }
            }
            fold_split() = defaults;
            const std::size_t groups = expected.keys.empty() ? (request.group_by.empty() ? 1 : 0) : expected.keys[0].size();
            if (groups > 0) {
                request.max_groups = groups - 1;
                auto capped = aggregate_edges(store, request);
                ASSERT_FALSE(capped.has_value());
                EXPECT_EQ(capped.error().display(),
                          fmt::format("capacity: aggregate group count {} exceeds cap {}", groups, groups - 1));
                request.max_groups = groups;
                EXPECT_TRUE(aggregate_edges(store, request).has_value());
            }
        }
    }
}

// ---- a fixed table ----------------------------------------------------------------------------------------

// Groups as "k0,k1:v1,v2,..." separated by blanks, "-" for an absent value.
std::string render(const AggregateResult& result) {
    std::size_t groups = 0;
    for (const AggValues& column : result.aggs) groups = std::visit([](const auto& v) { return v.size(); }, column);
    if (!result.keys.empty()) groups = result.keys[0].size();
    std::string out;
    for (std::size_t group = 0; group < groups; ++group) {
        if (group > 0) out += ' ';
        for (std::size_t dim = 0; dim < result.keys.size(); ++dim)
            out += fmt::format("{}{}", dim > 0 ? "," : "", result.keys[dim][group]);
        out += ':';
        for (std::size_t agg = 0; agg < result.aggs.size(); ++agg) {
            if (agg > 0) out += ',';
            std::visit([&](const auto& values) { out += values[group] ? fmt::format("{}", *values[group]) : "-"; },
                       result.aggs[agg]);
        }
    }
    return out;
}

// 72 edge versions in three commits (tt 10, 20, 30), row g = 24 b + j of commit b:
//   src (5g + 3) mod 12, dst (7g + g div 5) mod 12 (uids in another order than the dense ids),
//   rel "d" when g mod 7 = 6, else b, a, c by g mod 3;
//   vt_s 100 b + 37 g mod 100 (easy: each commit in a span of its own) or 53 g mod 300 (overlap);
//   vt_e open when g mod 6 = 0, vt_s + 1 when 1, else vt_s + 7 (g mod 9) + 1.
// Commit b + 1 closes the rows of commit b with j mod 4 = 1; a batch left open at tt 40 closes
// every other row with g mod 10 = 3 and stages an edge of its own (never aggregated). About six
// rows per segment and a lane stride of 50, so both lanes hold several segments.
std::unique_ptr<NativeStore> fixed_store(const std::filesystem::path& path, bool overlap, int entities) {
    auto opened = NativeStore::open(path.string());
    EXPECT_TRUE(opened.has_value());
    std::unique_ptr<NativeStore> store = std::move(*opened);
    StoreTestAccess::set_lane_stride(*store, 50);
    StoreTestAccess::set_segment_target_bytes(*store, 300);
    for (int id = 0; id < entities; ++id)
        store->add_entity(id < 12 ? fmt::format("{}{}", "qwertyuiopas"[id], id) : fmt::format("zz{:05}", id), "").value();
    const auto vid = [](int g) { return Id96{static_cast<std::uint64_t>(g + 1) * 0x9E3779B97F4A7C15ull, 0}; };
    std::set<int> closed;
    for (int batch = 0; batch <= 3; ++batch) {
        const std::int64_t tt = 10 * (batch + 1);
        EXPECT_TRUE(store->begin(tt).has_value());
        for (int j = 0; j < 24 && batch < 3; ++j) {
            const int g = 24 * batch + j;
            const std::int64_t vt_s = overlap ? (g * 53) % 300 : 100 * batch + (g * 37) % 100;
            const std::int64_t vt_e = g % 6 == 0 ? OPEN_END : g % 6 == 1 ? vt_s + 1 : vt_s + 7 * (g % 9) + 1;
            const char* rel = g % 7 == 6 ? "d" : g % 3 == 0 ? "b" : g % 3 == 1 ? "a" : "c";
            EXPECT_TRUE(store->stage_edge(EdgeRow{rel, "", "{}", "test", std::nullopt, vid(g), vt_s, vt_e, tt,
                                                  static_cast<std::uint32_t>((5 * g + 3) % 12),
                                                  static_cast<std::uint32_t>((7 * g + g / 5) % 12)})
                            .has_value());
        }
        for (int j = 1; j < 24 && batch >= 1 && batch < 3; j += 4) {
            closed.insert(24 * (batch - 1) + j);
            EXPECT_TRUE(store->close_version(RowKind::Edge, vid(24 * (batch - 1) + j), tt).has_value());
        }
        if (batch == 3) {
            for (int g = 3; g < 72; g += 10) {
                if (closed.contains(g)) continue;
                EXPECT_TRUE(store->close_version(RowKind::Edge, vid(g), tt).has_value());
            }
            EXPECT_TRUE(store->stage_edge(EdgeRow{"zz", "", "{}", "test", std::nullopt, vid(100), 50, 60, tt, 1, 2})
                            .has_value());
            break;
        }
        EXPECT_TRUE(store->commit(store->manifest().event_log).has_value());
    }
    return store;
}

// Expected groups from a model of the rows above, written out; as of tt 25 ("past") and now, on
// both layouts, each at 1, 4 and 16 threads with the gates open, over a dictionary of 80 entities
// (distinct sets of two words, turned into bitsets at four ids) and of 20,000 (endpoint key spaces
// larger than a worker's cache share).
TEST(AggregateEdges, FixedTableAtEveryThreadCount) {
    struct Expected {
        const char* layout;
        const char* request;
        const char* as_of;
        const char* groups;
    };
    const std::vector<Expected> table = {
        {"easy", "bucket_rel", "past",
         "0,0:2,15,48,29 0,1:2,43,44,43 0,2:1,36,51,36 0,3:2,15,22,15 1,0:2,29,70,50 "
         "1,1:1,-,66,- 1,2:2,36,74,57 2,0:3,5.666666666666667,102,8 2,1:3,43,110,43 "
         "2,2:3,29,106,57 2,3:1,36,117,36 3,0:2,1,147,1 3,1:3,11.5,143,22 3,2:2,36,162,57 "
         "3,3:1,50,158,50 4,0:2,15,180,29 4,1:1,-,188,- 4,2:2,46.5,184,57 4,3:1,1,199,1"},
        {"easy", "bucket_rel", "now",
         "0,0:2,15,48,29 0,1:2,43,44,43 0,3:2,15,22,15 1,0:2,29,70,50 1,1:1,-,66,- "
         "1,2:2,36,74,57 2,0:2,8,102,8 2,1:2,-,110,- 2,2:3,29,106,57 3,0:1,1,147,1 "
         "3,1:2,22,143,22 3,2:1,57,162,57 3,3:1,50,158,50 4,0:2,15,180,29 4,1:2,22,188,22 "
         "4,2:4,36,184,57 4,3:1,1,199,1 5,0:3,26.666666666666668,224,50 5,1:2,-,220,- "
         "5,2:2,46.5,227,57 5,3:2,22,235,43"},
        {"easy", "src", "past",
         "10:4,4,195 2:4,4,191 7:4,4,184 8:2,2,169 9:4,4,154 0:2,2,165 3:4,4,188 11:4,4,180 "
         "4:2,2,173 6:4,4,199 1:4,4,162 5:4,4,158"},
        {"easy", "src", "now",
         "10:5,4,283 2:5,4,279 7:6,5,272 8:2,2,257 9:6,5,298 0:2,2,253 3:6,5,276 11:6,5,268 "
         "4:1,1,205 6:4,4,287 1:6,5,294 5:6,5,290"},
        {"easy", "rel_dst", "past", "0,2:2,1 0,7:3,1 0,9:2,1 0,0:3,1 3,2:1,1 3,7:1,36 3,4:1,50"},
        {"easy", "rel_dst", "now", "0,2:2,1 0,7:3,1 0,9:2,8 0,0:2,8 0,4:1,1 3,2:1,1 3,0:1,1 3,4:1,50"},
        {"easy", "none", "past", ":42,12,104.61904761904762,23.852941176470587"},
        {"easy", "none", "now", ":55,12,160.27272727272728,26.88372093023256"},
        {"easy", "src_fine", "past",
         "10,0:1,1,1,15 10,5:1,1,1,36 10,13:1,1,1,15 10,19:1,1,1,57 2,0:1,1,1,1 2,5:1,1,1,1 "
         "2,14:1,1,1,1 2,19:1,1,1,1 7,4:1,1,1,15 7,9:1,1,1,57 7,12:1,1,1,57 7,18:1,1,1,36 "
         "8,12:1,1,1,1 8,16:1,1,1,1 9,2:1,1,1,- 9,6:1,1,1,- 9,11:1,1,1,- 9,15:1,1,1,- "
         "0,12:1,1,1,43 0,16:1,1,1,1 3,0:1,1,1,- 3,4:1,1,1,- 3,13:1,1,1,- 3,18:1,1,1,- "
         "11,4:1,1,1,29 11,9:1,1,1,50 11,13:1,1,1,8 11,18:1,1,1,29 4,11:1,1,1,36 4,17:1,1,1,15 "
         "6,1:1,1,1,22 6,5:1,1,1,43 6,14:1,1,1,22 6,19:1,1,1,1 1,1:1,1,1,36 1,7:1,1,1,15 "
         "1,10:1,1,1,15 1,16:1,1,1,57 5,1:1,1,1,29 5,7:1,1,1,8 5,10:1,1,1,8 5,15:1,1,1,50"},
        {"easy", "src_fine", "now",
         "10,0:1,1,1,15 10,13:1,1,1,15 10,19:1,1,1,57 10,22:1,1,1,57 10,28:1,1,1,36 "
         "2,0:1,1,1,1 2,5:1,1,1,1 2,14:1,1,1,1 2,23:1,1,1,1 2,27:1,1,1,1 7,4:1,1,1,15 "
         "7,9:1,1,1,57 7,12:1,1,1,57 7,18:1,1,1,36 7,21:1,1,1,36 7,27:1,1,1,15 8,21:1,1,1,1 "
         "8,25:1,1,1,1 9,2:1,1,1,- 9,6:1,1,1,- 9,11:1,1,1,- 9,15:1,1,1,- 9,24:1,1,1,- "
         "9,29:1,1,1,- 0,20:1,1,1,22 0,25:1,1,1,43 3,0:1,1,1,- 3,4:1,1,1,- 3,13:1,1,1,- "
         "3,18:1,1,1,- 3,22:1,1,1,- 3,27:1,1,1,- 11,4:1,1,1,29 11,9:1,1,1,50 11,13:1,1,1,8 "
         "11,18:1,1,1,29 11,22:1,1,1,50 11,26:1,1,1,8 4,20:1,1,1,15 6,5:1,1,1,43 6,14:1,1,1,22 "
         "6,19:1,1,1,1 6,28:1,1,1,43 1,1:1,1,1,36 1,7:1,1,1,15 1,10:1,1,1,15 1,16:1,1,1,57 "
         "1,25:1,1,1,36 1,29:1,1,1,57 5,1:1,1,1,29 5,7:1,1,1,8 5,10:1,1,1,8 5,15:1,1,1,50 "
         "5,24:1,1,1,29 5,29:1,1,1,50"},
        {"easy", "dst_bucket", "past", "2,0:4 2,1:5 7,0:3 7,1:5 9,0:4 9,1:4 0,0:4 0,1:5 4,0:3 4,1:5"},
        {"easy", "dst_bucket", "now",
         "2,0:4 2,1:4 2,2:4 7,0:3 7,1:4 7,2:5 9,0:2 9,1:2 9,2:3 0,0:4 0,1:3 0,2:5 4,0:3 4,1:4 "
         "4,2:5"},
        {"overlap", "bucket_rel", "past",
         "0,0:2,18.5,20,29 0,1:2,-,36,- 0,2:2,36,37,57 1,0:1,1,71,1 1,1:2,-,72,- "
         "1,2:1,15,91,15 1,3:1,36,73,36 2,0:2,1,107,1 2,1:2,-,108,- 2,2:2,36,106,57 "
         "3,0:3,1,143,1 3,1:1,22,159,22 3,2:2,46.5,142,57 3,3:1,15,160,15 4,0:1,29,212,29 "
         "4,1:1,43,195,43 4,2:2,25.5,196,36 5,0:2,29,230,50 5,1:1,43,249,43 5,2:1,57,232,57 "
         "5,3:1,1,231,1"},
        {"overlap", "bucket_rel", "now",
         "0,0:3,29,20,50 0,1:3,22,21,22 0,2:1,57,55,57 0,3:1,43,57,43 "
         "1,0:3,12.666666666666666,71,29 1,1:2,-,72,- 1,2:1,15,91,15 2,0:2,25.5,107,50 "
         "2,1:2,-,108,- 2,2:3,36,106,57 3,0:1,1,143,1 3,1:1,-,162,- 3,2:4,41.25,142,57 "
         "3,3:2,15,144,15 4,0:2,15,197,29 4,1:3,43,180,43 4,2:2,25.5,196,36 4,3:1,1,215,1 "
         "5,0:4,15,230,50 5,2:2,46.5,232,57 5,3:1,1,231,1"},
        {"overlap", "src", "past",
         "10:4,4,283 2:4,4,179 7:4,4,232 8:2,2,161 9:4,4,126 0:2,2,285 3:4,4,108 11:4,4,284 "
         "4:2,2,73 6:4,4,267 1:4,4,214 5:4,4,266"},
        {"overlap", "src", "now",
         "10:5,4,283 2:5,4,251 7:6,5,268 8:2,2,233 9:6,5,198 0:2,2,57 3:6,5,180 11:6,5,284 "
         "4:1,1,145 6:4,4,267 1:6,5,286 5:6,5,266"},
        {"overlap", "rel_dst", "past", "0,2:2,1 0,7:2,1 0,9:1,1 0,0:2,1 0,4:2,1 3,2:1,1 3,7:1,36 3,0:1,15"},
        {"overlap", "rel_dst", "now", "0,2:2,1 0,7:3,1 0,9:1,29 0,0:2,8 0,4:4,1 3,2:1,1 3,9:1,- 3,0:2,1 3,4:1,43"},
        {"overlap", "none", "past", ":42,12,140.14285714285714,23.852941176470587"},
        {"overlap", "none", "now", ":55,12,142.45454545454547,26.88372093023256"},
        {"overlap", "src_fine", "past",
         "10,1:1,1,1,36 10,5:1,1,1,57 10,9:1,1,1,15 10,28:1,1,1,15 2,7:1,1,1,1 2,10:1,1,1,1 "
         "2,14:1,1,1,1 2,17:1,1,1,1 7,12:1,1,1,57 7,16:1,1,1,15 7,19:1,1,1,36 7,23:1,1,1,57 "
         "8,12:1,1,1,1 8,16:1,1,1,1 9,1:1,1,1,- 9,5:1,1,1,- 9,9:1,1,1,- 9,12:1,1,1,- "
         "0,24:1,1,1,43 0,28:1,1,1,1 3,0:1,1,1,- 3,3:1,1,1,- 3,7:1,1,1,- 3,10:1,1,1,- "
         "11,2:1,1,1,29 11,21:1,1,1,29 11,24:1,1,1,50 11,28:1,1,1,8 4,3:1,1,1,15 4,7:1,1,1,36 "
         "6,15:1,1,1,22 6,19:1,1,1,43 6,23:1,1,1,1 6,26:1,1,1,22 1,10:1,1,1,15 1,14:1,1,1,36 "
         "1,17:1,1,1,57 1,21:1,1,1,15 5,0:1,1,1,50 5,3:1,1,1,8 5,23:1,1,1,8 5,26:1,1,1,29"},
        {"overlap", "src_fine", "now",
         "10,5:1,1,1,57 10,9:1,1,1,15 10,12:1,1,1,36 10,16:1,1,1,57 10,28:1,1,1,15 2,7:1,1,1,1 "
         "2,10:1,1,1,1 2,14:1,1,1,1 2,21:1,1,1,1 2,25:1,1,1,1 7,0:1,1,1,36 7,12:1,1,1,57 "
         "7,16:1,1,1,15 7,19:1,1,1,36 7,23:1,1,1,57 7,26:1,1,1,15 8,19:1,1,1,1 8,23:1,1,1,1 "
         "9,1:1,1,1,- 9,5:1,1,1,- 9,9:1,1,1,- 9,12:1,1,1,- 9,16:1,1,1,- 9,19:1,1,1,- "
         "0,2:1,1,1,22 0,5:1,1,1,43 3,0:1,1,1,- 3,3:1,1,1,- 3,7:1,1,1,- 3,10:1,1,1,- "
         "3,14:1,1,1,- 3,18:1,1,1,- 11,2:1,1,1,29 11,5:1,1,1,50 11,9:1,1,1,8 11,21:1,1,1,29 "
         "11,24:1,1,1,50 11,28:1,1,1,8 4,14:1,1,1,15 6,0:1,1,1,43 6,19:1,1,1,43 6,23:1,1,1,1 "
         "6,26:1,1,1,22 1,10:1,1,1,15 1,14:1,1,1,36 1,17:1,1,1,57 1,21:1,1,1,15 1,25:1,1,1,36 "
         "1,28:1,1,1,57 5,0:1,1,1,50 5,3:1,1,1,8 5,7:1,1,1,29 5,11:1,1,1,50 5,23:1,1,1,8 "
         "5,26:1,1,1,29"},
        {"overlap", "dst_bucket", "past",
         "2,0:3 2,1:4 2,2:2 7,0:3 7,1:3 7,2:2 9,0:2 9,1:3 9,2:3 0,0:4 0,1:3 0,2:2 4,0:3 4,1:2 "
         "4,2:3"},
        {"overlap", "dst_bucket", "now",
         "2,0:5 2,1:3 2,2:4 7,0:3 7,1:5 7,2:4 9,0:3 9,1:2 9,2:2 0,0:4 0,1:5 0,2:3 4,0:4 4,1:5 "
         "4,2:3"},
    };
    const auto request_of = [](std::string_view name) {
        AggregateRequest request;
        request.max_groups = UINT64_MAX;
        request.t_a = 0;
        request.t_b = 300;
        const Agg count{AggKind::Count, 0};
        if (name == "bucket_rel") {
            request.group_by = {{DimKind::TimeBucket, 0, 40}, {DimKind::RelType, 0, 40}};
            request.aggregates = {count, {AggKind::Mean, STAT_DURATION}, {AggKind::Min, STAT_VT_S}, {AggKind::Max, STAT_DURATION}};
            request.t_a = 20;
            request.t_b = 260;
        } else if (name == "src") {
            request.group_by = {{DimKind::Endpoint, ROLE_SRC, 0}};
            request.aggregates = {count, {AggKind::CountDistinct, ROLE_DST}, {AggKind::Max, STAT_VT_S}};
        } else if (name == "rel_dst") {
            request.group_by = {{DimKind::RelType, 0, 0}, {DimKind::Endpoint, ROLE_DST, 0}};
            request.aggregates = {count, {AggKind::Min, STAT_DURATION}};
            request.rel_types = std::vector<std::string>{"a", "d", "x"};
            request.t_a = 50;
            request.t_b = 250;
        } else if (name == "src_fine") {
            // Enough slots and distinct sets that several workers route rows to partitions.
            request.group_by = {{DimKind::Endpoint, ROLE_SRC, 10}, {DimKind::TimeBucket, 0, 10}};
            request.aggregates = {count, {AggKind::CountDistinct, ROLE_SRC}, {AggKind::CountDistinct, ROLE_DST},
                                  {AggKind::Mean, STAT_DURATION}};
        } else if (name == "none") {
            request.aggregates = {count, {AggKind::CountDistinct, ROLE_SRC}, {AggKind::Mean, STAT_VT_S},
                                  {AggKind::Mean, STAT_DURATION}};
        } else {
            request.group_by = {{DimKind::Endpoint, ROLE_DST, 100}, {DimKind::TimeBucket, 0, 100}};
            request.aggregates = {count};
        }
        return request;
    };
    ThreadEnv env;
    for (const bool overlap : {false, true}) {
        for (const int entities : {80, 20000}) {
            testing::TempDir dir;
            const std::unique_ptr<NativeStore> store = fixed_store(dir.path / "store", overlap, entities);
            ASSERT_GE(store->manifest().edge_lanes.event.size() + store->manifest().edge_lanes.interval.size(), 8u);
            ASSERT_GT(store->manifest().edge_lanes.interval.size(), 0u);
            std::size_t checked = 0;
            for (const Expected& row : table) {
                if (std::string_view(row.layout) != (overlap ? "overlap" : "easy")) continue;
                ++checked;
                SCOPED_TRACE(fmt::format("{} {} {} entities={}", row.layout, row.request, row.as_of, entities));
                AggregateRequest request = request_of(row.request);
                request.as_of_tt = std::string_view(row.as_of) == "past" ? 25 : OPEN_END;
                for (const int threads : {1, 4, 16}) {
                    env.threads(threads);
                    auto got = aggregate_edges(*store, request);
                    ASSERT_TRUE(got.has_value()) << got.error().display();
                    EXPECT_EQ(render(*got), row.groups) << "threads " << threads;
                    EXPECT_EQ(got->rel_names, (std::vector<std::string>{"a", "b", "c", "d"}));
                }
            }
            EXPECT_EQ(checked, 12u);
        }
    }
}

// Distinct counts written out by hand, over 130 entities (three bitset words; the last id, 129, in
// the third) and about six rows per segment. Commit 1: 600 versions from 0, the i-th to
// {1, 2, 33, 63, 64, 65, 97, 127, 128, 129}[i mod 10], rel "a", vt_s i div 30, lasting 5. Commit 2: from 0
// to 5 twice (b); 1 to 63 three times (b, open-ended); 2 to 64 and 65 (a); 63 to 64 (b); 64 to
// 63 (b); 65 to 65 twice (a); 129 to 129 and 0 (b); 127 to 10..15 and 128 to 10..16, lasting 1
// (b: six ids, then seven, each once); 3 to 4 outside the window (c). So groups repeat ids, the
// large group of 0 (past any list-to-bitset switch in every chunk) merges with
// its small part from the second commit, and the time-bucket requests have more key slots than
// rows (the hashed group table). Each at 1, 4 and 16 threads, under every fold split; and all of it
// again over 2,000 entities (the same answers; there, sets list up to 64 ids before any bitset).
TEST(AggregateEdges, DistinctCountsByHandAtEveryThreadCount) {
    ThreadEnv env;
    for (const int entities : {130, 2000}) {
        SCOPED_TRACE(entities);
        testing::TempDir dir;
        std::unique_ptr<NativeStore> store = std::move(NativeStore::open((dir.path / "store").string()).value());
        StoreTestAccess::set_segment_target_bytes(*store, 300);
        for (int id = 0; id < entities; ++id) ASSERT_TRUE(store->add_entity(fmt::format("n{:03}", id), "").has_value());
        std::uint64_t next_vid = 1;
        const auto edge = [&](const char* rel, std::uint32_t src, std::uint32_t dst, std::int64_t vt_s, std::int64_t vt_e) {
            ASSERT_TRUE(store->stage_edge(EdgeRow{rel, "", "{}", "test", std::nullopt, Id96{next_vid++, 0}, vt_s, vt_e,
                                                  *store->batch().tt, src, dst})
                            .has_value());
        };
        const std::uint32_t wide[10] = {1, 2, 33, 63, 64, 65, 97, 127, 128, 129};
        ASSERT_TRUE(store->begin(10).has_value());
        for (std::int64_t i = 0; i < 600; ++i) edge("a", 0, wide[i % 10], i / 30, i / 30 + 5);
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        ASSERT_TRUE(store->begin(20).has_value());
        edge("b", 0, 5, 50, 55), edge("b", 0, 5, 51, 56);
        for (std::int64_t t : {40, 41, 42}) edge("b", 1, 63, t, OPEN_END);
        edge("a", 2, 64, 43, 45), edge("a", 2, 65, 44, 46);
        edge("b", 63, 64, 45, 47), edge("b", 64, 63, 46, 47);
        edge("a", 65, 65, 47, 50), edge("a", 65, 65, 48, 51);
        edge("b", 129, 129, 49, 55), edge("b", 129, 0, 52, 55);
        for (std::uint32_t k = 0; k < 6; ++k) edge("b", 127, 10 + k, 60 + k, 61 + k);
        for (std::uint32_t k = 0; k < 7; ++k) edge("b", 128, 10 + k, 70 + k, 71 + k);
        edge("c", 3, 4, 200, 201);
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        ASSERT_GE(store->manifest().edge_lanes.event.size(), 8u);

        const Agg count{AggKind::Count, 0};
        const Agg src{AggKind::CountDistinct, ROLE_SRC};
        const Agg dst{AggKind::CountDistinct, ROLE_DST};
        const Dim by_src{DimKind::Endpoint, ROLE_SRC, 0};
        std::string buckets_of_0, buckets_of_127_128, dst_10_to_16;
        for (int bucket = 0; bucket < 20; ++bucket) buckets_of_0 += fmt::format("{},0:30,10 ", bucket);
        for (int k = 0; k < 13; ++k) buckets_of_127_128 += fmt::format(" {},{}:1,1", k < 6 ? 60 + k : 64 + k, k < 6 ? 127 : 128);
        for (int id = 10; id <= 16; ++id) dst_10_to_16 += fmt::format("{}:{},{},1 ", id, id < 16 ? 2 : 1, id < 16 ? 2 : 1);
        struct Case {
            const char* name;
            std::int64_t as_of, t_a, t_b;
            std::vector<Dim> group_by;
            std::vector<Agg> aggregates;
            std::string groups;
        };
        const std::vector<Case> cases = {
            {"src", OPEN_END, 0, 100, {by_src}, {count, dst, src, {AggKind::Min, STAT_VT_S}, {AggKind::Mean, STAT_DURATION}},
             "0:602,11,1,0,5 1:3,1,1,40,- 2:2,2,1,43,2 63:1,1,1,45,2 64:1,1,1,46,1 65:2,1,1,47,3 127:6,6,1,60,1 "
             "128:7,7,1,70,1 129:2,2,1,49,4.5"},
            {"src past", 15, 0, 100, {by_src}, {count, dst, src, {AggKind::Min, STAT_VT_S}, {AggKind::Mean, STAT_DURATION}},
             "0:600,10,1,0,5"},
            {"dst", OPEN_END, 0, 100, {{DimKind::Endpoint, ROLE_DST, 0}}, {count, src, dst},
             "0:1,1,1 1:60,1,1 2:60,1,1 5:2,1,1 " + dst_10_to_16 +
                 "33:60,1,1 63:64,3,1 64:62,3,1 65:63,3,1 97:60,1,1 127:60,1,1 128:60,1,1 129:61,2,1"},
            {"none", OPEN_END, 0, 100, {}, {src, dst, count, {AggKind::Min, STAT_VT_S}}, ":9,19,626,0"},
            {"rel", OPEN_END, 0, 100, {{DimKind::RelType, 0, 0}}, {dst, src, count}, "0:10,3,604 1:12,7,22"},
            {"bucket src", OPEN_END, 0, 100, {{DimKind::TimeBucket, 0, 1}, by_src}, {count, dst},
             buckets_of_0 + "40,1:1,1 41,1:1,1 42,1:1,1 43,2:1,1 44,2:1,1 45,63:1,1 46,64:1,1 47,65:1,1 48,65:1,1 "
                            "49,129:1,1 50,0:1,1 51,0:1,1 52,129:1,1" + buckets_of_127_128},
            {"empty window", OPEN_END, 50, 50, {by_src}, {count, dst, src}, ""},
            {"empty window, no dimension", OPEN_END, 50, 50, {}, {dst, src, count, {AggKind::Mean, STAT_VT_S}}, ":0,0,0,-"},
        };
        const FoldSplit defaults;
        const FoldSplit splits[] = {defaults, {0, 1, UINT64_MAX}, {UINT64_MAX, defaults.partition_bytes, 1}};
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            AggregateRequest request;
            request.as_of_tt = c.as_of;
            request.t_a = c.t_a;
            request.t_b = c.t_b;
            request.group_by = c.group_by;
            request.aggregates = c.aggregates;
            request.max_groups = UINT64_MAX;
            for (const FoldSplit& split : splits) {
                fold_split() = split;
                for (const int threads : {1, 4, 16}) {
                    env.threads(threads);
                    auto got = aggregate_edges(*store, request);
                    ASSERT_TRUE(got.has_value()) << got.error().display();
                    EXPECT_EQ(render(*got), c.groups) << "threads " << threads << " split " << split.worker_records_max_bytes;
                }
            }
            fold_split() = defaults;
        }
    }
}

// Overwrites values of a column of a segment the store has opened, from `row` on: in the segment's
// own memory for a column decoded at open, else in the file, whose shared map then shows them (the
// store checked the file's checksums when it opened it).
template <class T>
void overwrite_column(const Segment& segment, std::string_view name, std::size_t row, const std::vector<T>& values) {
    const T* data = segment.typed<T>(name)->data() + row;
    for (const std::optional<DecodedColumn>& decoded : segment.decoded) {
        const std::span<const std::uint8_t> bytes = decoded ? decoded->bytes() : std::span<const std::uint8_t>{};
        if (!bytes.empty() && reinterpret_cast<const std::uint8_t*>(data) >= bytes.data() &&
            reinterpret_cast<const std::uint8_t*>(data) < bytes.data() + bytes.size()) {
            std::ranges::copy(values, const_cast<T*>(data));
            return;
        }
    }
    const std::uint8_t* base = std::get<MmapSource>(segment.source).bytes().data();
    const int fd = ::open(segment.path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const std::size_t bytes = values.size() * sizeof(T);
    EXPECT_EQ(::pwrite(fd, values.data(), bytes, reinterpret_cast<const std::uint8_t*>(data) - base),
              static_cast<ssize_t>(bytes));
    ::close(fd);
}

// Damaged segments in the store's cache give every thread count what one thread gives, whether
// the fold runs while the rows are selected or after: a segment whose vt_s fall along its rows
// (the rows before t_a are found by one binary search over the target's kept rows, however the
// selection split them), and rel_codes past their segment's table in two segments (the first
// segment's is reported).
TEST(AggregateEdges, DamagedSegmentsFoldAlikeAtEveryThreadCount) {
    ThreadEnv env;
    testing::TempDir dir;
    // Two commits, one segment each, every version believed and open-ended (so every row in the
    // window is kept, wherever its valid time moves): of 48 versions, and of 40,000, whose pieces
    // at four threads are handed over in two blocks each.
    for (const std::uint64_t per_commit : {48, 40000}) {
        SCOPED_TRACE(per_commit);
        std::unique_ptr<NativeStore> store =
            std::move(NativeStore::open((dir.path / fmt::format("store-{}", per_commit)).string()).value());
        for (const char* uid : {"p", "q"}) ASSERT_TRUE(store->add_entity(uid, "").has_value());
        for (std::uint64_t commit = 0; commit < 2; ++commit) {
            const std::int64_t tt = 10 * static_cast<std::int64_t>(commit + 1);
            ASSERT_TRUE(store->begin(tt).has_value());
            for (std::uint64_t i = 0; i < per_commit; ++i) {
                const std::int64_t vt_s = static_cast<std::int64_t>(6 * i + 3 * commit);
                ASSERT_TRUE(store->stage_edge(EdgeRow{i % 3 == 0 ? "a" : "b", "", "{}", "test", std::nullopt,
                                                      Id96{per_commit * commit + i + 1, 0}, vt_s, OPEN_END, tt, 0, 1})
                                .has_value());
            }
            ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        }
        const ScanSet set = edge_scan_set(*store).value();
        ASSERT_EQ(set.targets.size(), 2u);
        const std::vector<std::size_t> damaged = {0, 1};
        const Segment& first_segment = *set.targets[damaged[0]].segment;
        const std::size_t rows = first_segment.header.rows;
        const std::span<const std::int64_t> vt_s = first_segment.typed<std::int64_t>("vt_s").value();
        const std::vector<std::int64_t> starts(vt_s.begin(), vt_s.begin() + static_cast<std::ptrdiff_t>(rows));
        AggregateRequest request;
        request.max_groups = UINT64_MAX;
        request.as_of_tt = OPEN_END;
        request.t_b = static_cast<std::int64_t>(6 * per_commit);
        request.group_by = {{DimKind::TimeBucket, 0, request.t_b / 8 + 1}, {DimKind::RelType, 0, 0}};
        request.aggregates = {{AggKind::Count, 0}, {AggKind::Mean, STAT_VT_S}};
        // The valid times of the rows moved to other rows: falling; rising twice (the second half
        // first); rising with each pair of rows swapped. t_a at each start (at 48 of them on the large
        // segment), so that the rows before it end a piece, start one or lie inside one.
        std::vector<std::size_t> identity(rows);
        std::iota(identity.begin(), identity.end(), std::size_t{0});
        std::vector<std::size_t> falling(identity.rbegin(), identity.rend());
        std::vector<std::size_t> rotated = identity;
        std::ranges::rotate(rotated, rotated.begin() + static_cast<std::ptrdiff_t>(rows / 2));
        std::vector<std::size_t> swapped = identity;
        for (std::size_t row = 0; row + 1 < rows; row += 2) std::swap(swapped[row], swapped[row + 1]);
        // On the large segment, also the 104 lowest starts moved to rows 4,096 to 4,199, the others
        // rising around them: at four threads the rows before the second-lowest start of the rest
        // then open the second block (of 4,096 rows) of the first piece, and nothing else is out
        // of place.
        constexpr std::size_t DIP_AT = 4096;
        constexpr std::size_t DIP_ROWS = 104;
        std::vector<std::size_t> dip;
        std::vector<std::int64_t> cuts;
        for (std::size_t at = 0; at < rows; at += std::max<std::size_t>(1, rows / 48)) cuts.push_back(starts[at]);
        if (rows > DIP_AT + DIP_ROWS) {
            std::size_t next = DIP_ROWS;
            for (std::size_t row = 0; row < rows; ++row)
                dip.push_back(row >= DIP_AT && row < DIP_AT + DIP_ROWS ? row - DIP_AT : next++);
            cuts.push_back(starts[DIP_ROWS]);
        }
        const auto move_rows = [&](const std::vector<std::size_t>& from) {
            std::vector<std::int64_t> moved(rows);
            for (std::size_t row = 0; row < rows; ++row) moved[row] = starts[from[row]];
            overwrite_column(first_segment, "vt_s", 0, moved);
            ASSERT_EQ(vt_s[0], starts[from[0]]);
        };
        for (const std::vector<std::size_t>& order : {falling, rotated, swapped, dip}) {
            if (order.empty()) continue;
            move_rows(order);
            for (const std::int64_t t_a : cuts) {
                request.t_a = t_a;
                std::optional<std::string> expected;
                for (const int threads : {1, 4, 16}) {
                    env.threads(threads);
                    auto got = aggregate_edges(*store, request);
                    ASSERT_TRUE(got.has_value()) << got.error().display();
                    if (!expected) expected = render(*got);
                    EXPECT_EQ(render(*got), *expected) << "t_a " << t_a << " threads " << threads;
                }
            }
        }
        move_rows(identity);

        for (const std::size_t target : {damaged[0], damaged[1]}) {
            const Segment& segment = *set.targets[target].segment;
            overwrite_column(segment, "rel_code", 0, std::vector<std::uint16_t>(segment.header.rows, 7));
        }
        request.t_a = 0;
        for (const int threads : {1, 4, 16}) {
            env.threads(threads);
            auto got = aggregate_edges(*store, request);
            ASSERT_FALSE(got.has_value()) << "threads " << threads;
            EXPECT_EQ(got.error().display(),
                      EngineError::corrupt("rel_code 7 has no entry").at_file(first_segment.path).display())
                << "threads " << threads;
        }
    }
}

TEST(AggregateEdges, RefusalsBeforeAnyRead) {
    testing::TempDir dir;
    auto opened = NativeStore::open((dir.path / "store").string());
    ASSERT_TRUE(opened.has_value());
    NativeStore& store = **opened;
    AggregateRequest request;
    request.as_of_tt = OPEN_END;
    request.max_groups = 10;
    request.group_by = {{DimKind::RelType, 0, 0}, {DimKind::RelType, 0, 0}, {DimKind::Endpoint, 0, 0}};
    EXPECT_EQ(aggregate_edges(store, request).error().message,
              "aggregate_edges: at most two group_by dimensions, got 3");
    request.group_by = {{DimKind::TimeBucket, 0, 0}};
    EXPECT_EQ(aggregate_edges(store, request).error().message, "aggregate_edges: time_bucket requires a non-zero stride");

    // An empty store: no dimension gives one empty group; with one, nothing and no cap error.
    request.group_by = {};
    request.aggregates = {{AggKind::Count, 0}, {AggKind::CountDistinct, 0}, {AggKind::Min, 0}, {AggKind::Mean, 1}};
    const AggregateResult one = aggregate_edges(store, request).value();
    EXPECT_EQ(one.aggs, (std::vector<AggValues>{IntValues{0}, IntValues{0}, IntValues{std::nullopt},
                                                 FloatValues{std::nullopt}}));
    request.max_groups = 0;
    EXPECT_EQ(aggregate_edges(store, request).error().display(), "capacity: aggregate group count 1 exceeds cap 0");
    request.group_by = {{DimKind::Endpoint, 1, 0}};
    EXPECT_EQ(aggregate_edges(store, request).value().keys, (std::vector<std::vector<std::int64_t>>{{}}));

    StoreTestAccess::set_current_only(store, true);
    request.as_of_tt = OPEN_END - 2;
    EXPECT_EQ(aggregate_edges(store, request).error().category, Category::Invariant);
    request.as_of_tt = OPEN_END - 1;
    EXPECT_TRUE(aggregate_edges(store, request).has_value());
}

}  // namespace
}  // namespace vorp
