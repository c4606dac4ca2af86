#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include <fmt/format.h>

#include "test_support.h"
#include "vorp/staging.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t S = LANE_STRIDE;

EdgeRow edge(Id96 vid, std::int64_t vt_s, std::int64_t vt_e, std::string disc = "") {
    EdgeRow row;
    row.vid = vid, row.vt_s = vt_s, row.vt_e = vt_e, row.disc = std::move(disc);
    return row;
}
NodeRow node(Id96 vid, std::int64_t vt_s, std::int64_t vt_e, std::uint32_t uid_id = 0) {
    NodeRow row;
    row.vid = vid, row.vt_s = vt_s, row.vt_e = vt_e, row.uid_id = uid_id;
    return row;
}

std::shared_ptr<const Segment> open_sealed(const fs::path& dir, const SegmentEntry& entry) {
    const fs::path path = dir.parent_path() / entry.file;
    return Segment::open(path, MmapSource::load(path).value(), true).value();
}

// Every row of a sealed segment, read back through the segment reader.
template <class Row>
std::vector<Row> read_rows(const Segment& seg) {
    constexpr bool is_edge = std::is_same_v<Row, EdgeRow>;
    const StringView strings = seg.strings().value();
    const auto u32 = [&](const char* name) { return seg.typed<std::uint32_t>(name).value(); };
    const auto text = [&](std::span<const std::uint32_t> refs, std::uint32_t r) { return std::string(strings.get(refs[r]).value()); };
    const auto vt_s = seg.typed<std::int64_t>("vt_s").value();
    const auto vid64 = seg.u64_column("vid64").value();
    const auto vid_lo = u32("vid_lo32"), props = u32("props_ref"), source = u32("source_ref"), prov = u32("prov_ref");
    std::vector<Row> out(seg.header.rows);
    for (std::uint32_t r = 0; r < seg.header.rows; ++r) {
        Row& row = out[r];
        row.vid = {vid64[r], vid_lo[r]};
        row.vt_s = vt_s[r], row.vt_e = seg.vt_e_at(r).value(), row.tt_s = seg.header.tt_s_at(r).value();
        row.props = text(props, r), row.source = text(source, r);
        if (auto p = strings.get_opt(prov[r]).value()) row.prov = std::string(*p);
        if constexpr (is_edge) {
            row.src_id = u32("src_id")[r], row.dst_id = u32("dst_id")[r], row.disc = text(u32("disc_ref"), r);
            row.rel_type = seg.rel_type_of(seg.typed<std::uint16_t>("rel_code").value()[r]).value();
        } else {
            row.uid_id = u32("uid_id")[r], row.label = text(u32("label_ref"), r);
        }
    }
    return out;
}

// ---- lane and cut boundaries ----------------------------------------------------------------------

struct Spec {
    std::int64_t vt_s, vt_e;
    std::uint64_t vid = 1;
    std::size_t disc_len = 0;
    std::size_t repeat = 1;  // copies with the same key
};
struct BoundaryCase {
    const char* name;
    std::vector<Spec> rows;
    std::vector<std::pair<Lane, std::uint32_t>> segments;  // write order: lane, rows
    std::uint64_t target = SEGMENT_TARGET_BYTES;
    std::int64_t origin = 0, stride = S;
};

TEST(StagingSeal, LaneAndCutBoundaries) {
    constexpr Lane E = Lane::Event, I = Lane::Interval;
    const std::vector<BoundaryCase> cases = {
        {"two strides touch buckets 0..1", {{0, 2 * S}}, {{E, 1}}},
        {"one unit more touches bucket 2", {{0, 2 * S + 1}}, {{I, 1}}},
        {"-1 floors to bucket -1", {{-1, 1}}, {{E, 1}}},
        {"-1 to one stride spans -1..1", {{-1, S + 1}}, {{I, 1}}},
        {"open end", {{-5 * S, OPEN_END}}, {{I, 1}}},
        {"inverted interval", {{10 * S, 0}}, {{E, 1}}},
        {"vt_e at i64 min does not wrap", {{0, I64_MIN}}, {{E, 1}}},
        {"i64 extremes", {{I64_MIN, I64_MAX}}, {{I, 1}}},
        {"vt_s i64 max, wrapped end", {{I64_MAX, I64_MIN}}, {{E, 1}}},
        {"origin shifts buckets", {{S / 2 - 1, S / 2 + S + 1}}, {{I, 1}}, SEGMENT_TARGET_BYTES, S / 2},
        {"t - origin saturates", {{0, I64_MAX}}, {{E, 1}}, SEGMENT_TARGET_BYTES, I64_MIN},
        {"span saturates at stride 1", {{I64_MIN, I64_MAX}}, {{I, 1}}, SEGMENT_TARGET_BYTES, 0, 1},
        {"cut once the estimate reaches the target", {{0, 1, 1, 0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}},
         {{E, 3}, {E, 3}, {E, 1}}, 150},
        {"discriminator counts", {{0, 1, 1, 100}, {1, 2, 1, 99}, {2, 3, 1, 100}, {3, 4}}, {{E, 1}, {E, 2}, {E, 1}}, 150},
        {"equal keys run past the target", {{0, 1, 1, 0, 5}, {0, 1, 2}, {1, 2}}, {{E, 5}, {E, 2}}, 100},
        {"run starting under the target", {{0, 1, 1}, {5, 6, 1, 0, 4}, {6, 7}}, {{E, 5}, {E, 1}}, 100},
        {"vid breaks a run", {{0, 1, 1, 0, 2}, {0, 1, 2, 0, 2}}, {{E, 2}, {E, 2}}, 100},
        {"lanes written event first", {{0, 3 * S}, {1, 2}, {2, 3 * S}, {3, 4}}, {{E, 2}, {I, 2}}},
    };
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        vorp::testing::TempDir dir("staging-test");
        Staging staging;
        for (const Spec& spec : c.rows)
            for (std::size_t copy = 0; copy < spec.repeat; ++copy)
                staging.add_edge(edge({spec.vid, 0}, spec.vt_s, spec.vt_e, std::string(spec.disc_len, 'd')));
        std::uint64_t next_id = 42;
        const SealLayout layout{c.origin, c.stride, c.target};
        const SealedBatch sealed = staging.seal(dir.path / "seg", layout, next_id, {}).value();
        ASSERT_EQ(sealed.edges.size(), c.segments.size());
        std::vector<EdgeRow> read_back;
        for (std::size_t k = 0; k < c.segments.size(); ++k) {
            EXPECT_EQ(sealed.edges[k].first, c.segments[k].first) << k;
            EXPECT_EQ(sealed.edges[k].second.rows, c.segments[k].second) << k;
            const auto seg = open_sealed(dir.path / "seg", sealed.edges[k].second);
            EXPECT_EQ(seg->header.lane, c.segments[k].first);
            for (EdgeRow& row : read_rows<EdgeRow>(*seg)) read_back.push_back(std::move(row));
        }
        // Extreme times survive the trip, an elided end included (i64 max + 1 wraps to i64 min).
        EXPECT_TRUE(std::is_permutation(read_back.begin(), read_back.end(), staging.edges.begin(), staging.edges.end()));
        EXPECT_EQ(sealed.edges.front().second.file, "seg/000000000042.vos");
        EXPECT_EQ(next_id, 42 + c.segments.size());
    }
    // The production target, with distinct keys: 50 x 2684355 and 44 x 3050403 are the first sums
    // to reach 134217728.
    const auto distinct = [](std::size_t) { return false; };
    EXPECT_EQ(segment_ends(6000000, SEGMENT_TARGET_BYTES, [](std::size_t) { return EDGE_ROW_BASE_COST; }, distinct).front(), 2684355u);
    EXPECT_EQ(segment_ends(6000000, SEGMENT_TARGET_BYTES, [](std::size_t) { return NODE_ROW_COST; }, distinct).front(), 3050403u);
}

// ---- a random batch, read back --------------------------------------------------------------------

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t out;
    return __builtin_add_overflow(a, b, &out) ? (b > 0 ? I64_MAX : I64_MIN) : out;
}

template <class Row>
void fill_common(Row& row, std::mt19937_64& rng, const std::vector<std::int64_t>& times, const std::vector<Id96>& vids) {
    row.vid = vids[rng() % vids.size()];
    row.vt_s = times[rng() % times.size()];
    switch (rng() % 5) {
        case 0: row.vt_e = vt_s_plus_one(row.vt_s); break;
        case 1: row.vt_e = saturating_add(row.vt_s, static_cast<std::int64_t>(rng() % 5) * S); break;
        case 2: row.vt_e = OPEN_END; break;
        case 3: row.vt_e = saturating_add(row.vt_s, -5); break;
        default: row.vt_e = static_cast<std::int64_t>(rng()); break;
    }
    row.tt_s = 100 + static_cast<std::int64_t>(rng() % 3);
    row.props = fmt::format("{{\"n\":{}}}", rng() % 50);
    row.source = fmt::format("src{}", rng() % 3);
    if (rng() % 4 == 0) row.prov = fmt::format("p{}", rng() % 5);
}

// Every staged row appears once across the written segments, in (vt_s, vid) order within its
// lane, staging order among equal keys, each segment in the right lane, cut by the rule.
template <class Row>
void check_kind(const fs::path& seg_dir, std::vector<Row> staged, const std::vector<Row>& after_seal,
                const std::vector<std::pair<Lane, SegmentEntry>>& entries, const SealLayout& layout,
                const StagedVidCloses& closes) {
    const auto key_less = [](const Row& a, const Row& b) { return std::tie(a.vt_s, a.vid) < std::tie(b.vt_s, b.vid); };
    const auto key_eq = [](const Row& a, const Row& b) { return a.vt_s == b.vt_s && a.vid == b.vid; };
    const auto lane = [&](const Row& r) { return lane_of(r.vt_s, r.vt_e, layout.lane_origin, layout.lane_stride); };
    std::stable_sort(staged.begin(), staged.end(), key_less);
    EXPECT_TRUE(after_seal == staged) << "seal leaves the rows in key order";
    std::stable_partition(staged.begin(), staged.end(), [&](const Row& r) { return lane(r) == Lane::Event; });

    std::vector<Row> read_back;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const auto& [entry_lane, entry] = entries[k];
        const auto seg = open_sealed(seg_dir, entry);
        const std::vector<Row> rows = read_rows<Row>(*seg);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(seg->header.lane, entry_lane);
        EXPECT_EQ(entry.rows, rows.size());
        EXPECT_EQ(entry.key_lo, SegmentKey(rows.front().vt_s, rows.front().vid.to_hex()));
        EXPECT_EQ(entry.key_hi, SegmentKey(rows.back().vt_s, rows.back().vid.to_hex()));
        if (k > 0 && entries[k - 1].first == entry_lane) {
            EXPECT_FALSE(key_eq(read_back.back(), rows.front())) << "equal keys split before segment " << k;
        }
        std::vector<std::pair<std::uint32_t, std::int64_t>> closed;
        std::uint64_t cost = 0;
        for (std::uint32_t r = 0; r < rows.size(); ++r) {
            EXPECT_EQ(lane(rows[r]), entry_lane);
            if (auto it = closes.find(rows[r].vid); it != closes.end()) closed.emplace_back(r, it->second);
            // No earlier cut was allowed: wherever the estimate had reached the target, the key ran on.
            cost += row_cost(rows[r]);
            if (r + 1 < rows.size() && cost >= layout.segment_target_bytes) {
                EXPECT_TRUE(key_eq(rows[r], rows[r + 1]));
            }
        }
        if (k + 1 < entries.size() && entries[k + 1].first == entry_lane) {
            EXPECT_GE(cost, layout.segment_target_bytes) << "segment " << k << " closed early";
        }
        EXPECT_EQ(seg->header.closed_rows, closed);
        EXPECT_EQ(entry.n_closed_folded, closed.size());
        EXPECT_EQ(entry.all_current, closed.empty());
        EXPECT_TRUE(entry.rel_codes.empty() && entry.sha.empty());
        read_back.insert(read_back.end(), rows.begin(), rows.end());
    }
    EXPECT_TRUE(read_back == staged);
}

TEST(StagingSeal, RandomBatchReadsBack) {
    const char* env = std::getenv("VORP_STAGING_SEEDS");
    const int seeds = env != nullptr ? std::max(1, std::atoi(env)) : 4;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        std::vector<std::int64_t> times = {I64_MIN, -3 * S - 1, -1, 0, 1, S - 1, S, 2 * S, I64_MAX};
        for (int t = 0; t < 4; ++t) times.push_back(static_cast<std::int64_t>(rng() % (20 * S)) - 10 * S);
        std::vector<Id96> vids;
        for (int v = 0; v < 60; ++v) vids.push_back({rng() % 4, static_cast<std::uint32_t>(rng())});
        Staging staging;
        for (std::size_t r = 0, n = 300 + rng() % 600; r < n; ++r) {
            EdgeRow row;
            fill_common(row, rng, times, vids);
            row.rel_type = fmt::format("rel{}", rng() % 3), row.disc = std::string(rng() % 60, 'x');
            row.src_id = static_cast<std::uint32_t>(rng()), row.dst_id = static_cast<std::uint32_t>(rng());
            staging.add_edge(std::move(row));
        }
        for (std::size_t r = 0, n = 200 + rng() % 400; r < n; ++r) {
            NodeRow row;
            fill_common(row, rng, times, vids);
            row.label = fmt::format("L{}", rng() % 3);
            row.uid_id = static_cast<std::uint32_t>(rng() % 100);
            staging.add_node(std::move(row));
        }
        StagedVidCloses closes;
        for (const Id96& vid : vids)
            if (rng() % 4 == 0) closes[vid] = static_cast<std::int64_t>(rng() % 1000);
        const std::vector<EdgeRow> staged_edges = staging.edges;
        const std::vector<NodeRow> staged_nodes = staging.nodes;

        vorp::testing::TempDir dir("staging-test");
        const SealLayout layout{0, S, 300 + rng() % 3000};
        const std::uint64_t first_id = 1000 + static_cast<std::uint64_t>(seed);
        std::uint64_t next_id = first_id;
        const SealedBatch sealed = staging.seal(dir.path / "seg", layout, next_id, closes).value();

        ASSERT_EQ(sealed.segment_ids.size(), sealed.edges.size() + sealed.nodes.size());
        EXPECT_EQ(next_id, first_id + sealed.segment_ids.size());
        for (std::size_t k = 0; k < sealed.segment_ids.size(); ++k) {
            EXPECT_EQ(sealed.segment_ids[k], first_id + k);
            const SegmentEntry& entry = k < sealed.edges.size() ? sealed.edges[k].second : sealed.nodes[k - sealed.edges.size()];
            EXPECT_EQ(entry.file, fmt::format("seg/{:012}.vos", first_id + k));
        }
        EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path / "seg"), {})), sealed.segment_ids.size());
        check_kind(dir.path / "seg", staged_edges, staging.edges, sealed.edges, layout, closes);
        std::vector<std::pair<Lane, SegmentEntry>> node_entries;
        for (const SegmentEntry& entry : sealed.nodes) node_entries.emplace_back(open_sealed(dir.path / "seg", entry)->header.lane, entry);
        check_kind(dir.path / "seg", staged_nodes, staging.nodes, node_entries, layout, closes);
    }
}

TEST(StagingSeal, FailuresLeaveSortedRowsAndCountIds) {
    vorp::testing::TempDir dir("staging-test");
    const fs::path seg = dir.path / "seg";
    Staging staging;
    std::uint64_t next_id = 7;
    const SealedBatch empty = staging.seal(seg, {}, next_id, {}).value();
    EXPECT_TRUE(empty.edges.empty() && empty.nodes.empty() && empty.segment_ids.empty());
    EXPECT_EQ(next_id, 7u);
    EXPECT_FALSE(fs::exists(seg));

    for (std::int64_t t = 5; t >= 0; --t) staging.add_edge(edge({1, 0}, t, t + 1));
    for (std::int64_t t = 2; t >= 0; --t) staging.add_node(node({2, 0}, t, t + 1));
    const std::vector<NodeRow> nodes_before = staging.nodes;

    const Result<SealedBatch> bad_stride = staging.seal(seg, {0, 0, 100}, next_id, {});
    EXPECT_EQ(bad_stride.error().display(),
              "invariant: lane stride must be positive, got 0 — this is an engine bug; please report it with the store manifest");
    std::uint64_t exhausted = UINT64_MAX;
    EXPECT_EQ(staging.seal(seg, {0, S, 100}, exhausted, {}).error().category, Category::Capacity);
    EXPECT_EQ(exhausted, UINT64_MAX);
    EXPECT_FALSE(fs::exists(seg));

    // The second edge segment's name is taken by a directory: its rename fails.
    fs::create_directories(seg / "000000000008.vos");
    const Result<SealedBatch> failed = staging.seal(seg, {0, S, 100}, next_id, {});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().category, Category::Io);
    EXPECT_EQ(next_id, 9u) << "the failed segment's id is spent";
    EXPECT_TRUE(fs::exists(seg / "000000000007.vos"));
    EXPECT_FALSE(fs::exists(seg / "000000000009.vos"));
    for (std::size_t r = 0; r < staging.edges.size(); ++r) EXPECT_EQ(staging.edges[r].vt_s, static_cast<std::int64_t>(r));
    EXPECT_TRUE(staging.nodes == nodes_before) << "the nodes were not reached";
}

// ---- retire, clear and the staged-row index -------------------------------------------------------

TEST(Staging, VidSetMatchesAModelSet) {
    std::mt19937_64 rng(11);
    std::vector<Id96> universe;
    for (int v = 0; v < 300; ++v) universe.push_back({rng() % 8, static_cast<std::uint32_t>(rng() % 8)});
    VidSet set;
    std::set<std::pair<std::uint64_t, std::uint32_t>> model;
    for (int op = 0; op < 50000; ++op) {
        const Id96 vid = universe[rng() % universe.size()];
        const auto key = std::pair(vid.prefix, vid.suffix);
        switch (rng() % 3) {
            case 0: ASSERT_EQ(set.insert(vid), model.insert(key).second); break;
            case 1: ASSERT_EQ(set.erase(vid), model.erase(key)); break;
            default: ASSERT_EQ(set.contains(vid), model.contains(key)); break;
        }
        ASSERT_EQ(set.size(), model.size());
        if (op % 5000 == 0) {
            for (const Id96& probe : universe) ASSERT_EQ(set.contains(probe), model.contains({probe.prefix, probe.suffix}));
        }
    }
    set.clear();
    EXPECT_TRUE(set.empty() && !set.contains(universe[0]));
}

// Noted vids enter the table only on the set's next use, many at a time: every use must see them,
// repeats included, across the growth that absorbing a long list forces.
TEST(Staging, NotedVidsMatchAModelSet) {
    std::mt19937_64 rng(12);
    std::vector<Id96> universe;
    for (int v = 0; v < 5000; ++v) universe.push_back({rng() % 64, static_cast<std::uint32_t>(rng() % 64)});
    VidSet set;
    std::set<std::pair<std::uint64_t, std::uint32_t>> model;
    for (int op = 0; op < 20000; ++op) {
        const Id96 vid = universe[rng() % universe.size()];
        const auto key = std::pair(vid.prefix, vid.suffix);
        switch (rng() % 8) {
            case 0: ASSERT_EQ(set.insert(vid), model.insert(key).second); break;
            case 1: ASSERT_EQ(set.erase(vid), model.erase(key)); break;
            case 2: ASSERT_EQ(set.contains(vid), model.contains(key)); break;
            case 3: ASSERT_EQ(set.size(), model.size()); break;
            default:  // runs of notes, so that absorbing grows the table several times over
                for (int k = 0, run = static_cast<int>(rng() % 200); k < run; ++k) {
                    const Id96 noted = universe[rng() % universe.size()];
                    set.note(noted);
                    model.insert({noted.prefix, noted.suffix});
                }
        }
    }
    for (const Id96& probe : universe) ASSERT_EQ(set.contains(probe), model.contains({probe.prefix, probe.suffix}));
    set.note(universe[0]);
    set.clear();
    EXPECT_TRUE(set.empty() && !set.contains(universe[0]));
}

TEST(Staging, RetireClearAndIndex) {
    Staging staging;
    const Id96 a{1, 1}, b{2, 2}, c{3, 3}, d{4, 4};
    for (auto [uid, vid] : {std::pair{7u, a}, {8u, b}, {7u, c}, {7u, a}}) staging.add_node(node(vid, 0, 1, uid));
    EXPECT_EQ(staging.node_positions(7), (std::vector<std::uint32_t>{0, 2, 3}));
    staging.add_node(node(d, 0, 1, 7));  // appended after a lookup: absorbed by the next one
    EXPECT_EQ(staging.node_positions(7), (std::vector<std::uint32_t>{0, 2, 3, 4}));
    EXPECT_TRUE(staging.retire_node(a));  // both rows with vid a go
    EXPECT_FALSE(staging.retire_node(a));
    EXPECT_FALSE(staging.retire_edge(b)) << "b is staged as a node only";
    EXPECT_EQ(staging.node_positions(7), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(staging.node_positions(8), (std::vector<std::uint32_t>{0}));
    EXPECT_FALSE(staging.staged_node_vids.contains(a));

    // Edge keys are derived once per row; retirement carries the derived keys of kept rows over.
    int derived = 0;
    const auto key_of = [&derived](const EdgeRow& row) -> Result<std::uint64_t> {
        ++derived;
        if (row.vid.prefix == 99) return fail(EngineError::invariant("no key"));
        return row.vid.prefix % 2;
    };
    for (const Id96& vid : {a, b, c, b, d}) staging.add_edge(edge(vid, 0, 1));
    EXPECT_EQ(staging.edge_positions(0, key_of).value(), (std::vector<std::uint32_t>{1, 3, 4}));
    EXPECT_EQ(derived, 5);
    staging.add_edge(edge({6, 0}, 0, 1));
    EXPECT_TRUE(staging.retire_edge(b));
    EXPECT_EQ(staging.edge_positions(0, key_of).value(), (std::vector<std::uint32_t>{2, 3}));  // d, then {6, 0}
    EXPECT_EQ(staging.edge_positions(1, key_of).value(), (std::vector<std::uint32_t>{0, 1}));  // a, c
    EXPECT_EQ(derived, 6) << "only the row never absorbed is derived";
    staging.add_edge(edge({99, 0}, 0, 1));
    EXPECT_FALSE(staging.edge_positions(0, key_of));

    staging.clear();
    EXPECT_TRUE(staging.empty() && staging.staged_edge_vids.empty() && staging.staged_node_vids.empty());
    EXPECT_TRUE(staging.node_positions(7).empty());
    staging.add_node(node(a, 0, 1, 7));
    EXPECT_EQ(staging.node_positions(7), (std::vector<std::uint32_t>{0}));

    // A reader that unwinds through the index poisons it; every later use of the index is fatal.
    staging.add_edge(edge(a, 0, 1));
    EXPECT_THROW((void)staging.edge_positions(0, [](const EdgeRow&) -> Result<std::uint64_t> { throw EnginePanic("boom"); }),
                 EnginePanic);
    for (auto use : std::initializer_list<std::function<void()>>{
             [&] { staging.retire_node(a); }, [&] { staging.clear(); }, [&] { (void)staging.node_positions(7); },
             [&] {
                 std::uint64_t id = 0;
                 (void)staging.seal("/nonexistent", {}, id, {});
             }}) {
        try {
            use();
            ADD_FAILURE() << "a poisoned index must end the call";
        } catch (const EnginePanic& panic) {
            EXPECT_EQ(panic.text, "staging index mutex poisoned");
        }
    }
}

}  // namespace
}  // namespace vorp
