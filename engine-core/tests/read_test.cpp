// Boundaries of the version reads that the model test does not reach by chance: point lookups at
// the edges of a segment, the page slice table, lower-casing and the entity-resolution ranking.
#include <gtest/gtest.h>

#include <limits>
#include <unordered_set>
#include <string>
#include <vector>

#include "test_support.h"
#include "vorp/read.h"
#include "vorp/segment_cache.h"
#include "vorp/store.h"
#include "store_access.h"

namespace vorp {
namespace {

constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

std::unique_ptr<NativeStore> open_store(const testing::TempDir& dir) {
    auto store = NativeStore::open(dir.path.string());
    EXPECT_TRUE(store.has_value());
    return std::move(*store);
}

std::uint32_t dense(NativeStore& store, std::string_view uid) {
    if (auto id = store.dict().dense_id(uid)) return *id;
    return store.add_entity(uid, "entity").value();
}

EdgeRow edge(NativeStore& store, std::string_view src, std::string_view dst, std::uint32_t vid, std::int64_t tt,
             std::string props = "{}") {
    return EdgeRow{"knows", "", std::move(props), "", std::nullopt, Id96{7, vid}, static_cast<std::int64_t>(vid),
                   static_cast<std::int64_t>(vid) + 1, tt, dense(store, src), dense(store, dst)};
}

NodeRow node(NativeStore& store, std::string_view uid, std::uint32_t vid, std::int64_t tt, std::string props,
             std::int64_t vt_s = 0) {
    return NodeRow{"Person", std::move(props), "", std::nullopt, Id96{9, vid}, vt_s, vt_s + 10, tt, dense(store, uid)};
}

TEST(PageBounds, FollowsPythonSlices) {
    struct Case {
        std::int64_t offset, limit;
        std::size_t start, end;
    };
    for (const Case& c : std::vector<Case>{{0, 10, 0, 10},   {20, 10, 20, 25}, {30, 10, 25, 25},   {0, 0, 0, 0},
                                           {0, -1, 0, 24},   {-5, 100, 20, 25}, {-5, 4, 20, 24},   {-5, 5, 20, 20},
                                           {-30, 10, 0, 5},  {5, I64_MAX, 5, 25}, {-5, 3, 20, 23}, {-1, 1, 24, 24},
                                           {I64_MAX, 1, 25, 25}, {std::numeric_limits<std::int64_t>::min(), -1, 0, 0}}) {
        const auto [start, end] = page_bounds(25, c.offset, c.limit);
        EXPECT_EQ(start, c.start) << c.offset << " " << c.limit;
        EXPECT_EQ(end, c.end) << c.offset << " " << c.limit;
    }
}

TEST(PointLookups, EdgeIdentsAtEveryBoundary) {
    testing::TempDir dir;
    auto store = open_store(dir);
    ASSERT_TRUE(store->begin(10).has_value());
    for (std::uint32_t i = 0; i < 5; ++i) ASSERT_TRUE(store->stage_edge(edge(*store, "a", fmt::format("b{}", i), i, 10)).has_value());
    ASSERT_TRUE(store->stage_node(node(*store, "a", 1, 10, "{}")).has_value());
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    const std::vector<SegmentFileRef> edges = store->edge_files();
    ASSERT_EQ(edges.size(), 1u);
    const std::uint64_t seg = edges[0].segment_id;
    const std::uint64_t node_seg = store->node_files().at(0).segment_id;

    const auto expect_eid = [&](std::uint32_t i) { return edge_eid("a", fmt::format("b{}", i), "knows", "").to_hex(); };
    const std::vector<std::uint64_t> ids = {seg, seg, seg};
    const std::vector<std::uint32_t> rows = {4, 0, 4};
    const auto got = edge_idents_at(*store, ids, rows);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, (std::vector<std::pair<std::string, std::string>>{
                        {expect_eid(4), "knows"}, {expect_eid(0), "knows"}, {expect_eid(4), "knows"}}));
    EXPECT_TRUE(edge_idents_at(*store, {}, {})->empty());

    const auto error_of = [&](std::vector<std::uint64_t> i, std::vector<std::uint32_t> r) {
        const auto result = edge_idents_at(*store, i, r);
        EXPECT_FALSE(result.has_value());
        return result ? std::string() : result.error().display();
    };
    const std::string bug = " — this is an engine bug; please report it with the store manifest";
    EXPECT_EQ(error_of({seg}, {5}), fmt::format("invariant: row 5 is out of bounds for segment {}", seg) + bug);
    EXPECT_EQ(error_of({node_seg}, {0}),
              fmt::format("invariant: segment id {} is not in the current generation", node_seg) + bug);
    EXPECT_EQ(error_of({UINT64_MAX}, {0}), "invariant: segment id 18446744073709551615 is not in the current generation" + bug);
    EXPECT_EQ(error_of({seg}, {}), "invariant: edge_idents_at: seg_ids and seg_rows differ in length" + bug);
}

TEST(PointLookups, PropsForVidsPrefersStagedAndKeepsTheCallersText) {
    testing::TempDir dir;
    auto store = open_store(dir);
    ASSERT_TRUE(store->begin(10).has_value());
    ASSERT_TRUE(store->stage_node(node(*store, "a", 1, 10, R"({"v":"stored"})")).has_value());
    ASSERT_TRUE(store->stage_node(node(*store, "a", 2, 10, R"({"v":"closed"})")).has_value());
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_TRUE(store->begin(11).has_value());
    ASSERT_TRUE(store->close_version(RowKind::Node, Id96{9, 2}, 11).has_value());
    const std::string one = Id96{9, 1}.to_hex(), two = Id96{9, 2}.to_hex();
    std::string upper_two = two;
    for (char& c : upper_two) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::vector<std::string> asked = {one, upper_two, "xyz", Id96{9, 3}.to_hex(), fmt::format("+{}", one.substr(1))};
    auto got = props_for_vids(*store, RowKind::Node, asked);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, (std::unordered_map<std::string, std::string>{{fmt::format("+{}", one.substr(1)), R"({"v":"stored"})"},
                                                                   {upper_two, R"({"v":"closed"})"}}));
    ASSERT_TRUE(store->stage_node(node(*store, "a", 1, 11, R"({"v":"staged"})")).has_value());
    got = props_for_vids(*store, RowKind::Node, std::vector<std::string>{one});
    EXPECT_EQ(got->at(one), R"({"v":"staged"})");
    EXPECT_TRUE(props_for_vids(*store, RowKind::Edge, std::vector<std::string>{one})->empty());
}

TEST(Belief, CurrentOnlyStoresRefusePastTimes) {
    testing::TempDir dir;
    auto store = open_store(dir);
    StoreTestAccess::set_current_only(*store, true);
    EXPECT_TRUE(believed_node_versions(*store, "a", OPEN_END - 1).has_value());
    const auto refused = believed_node_versions(*store, "a", OPEN_END - 2);
    ASSERT_FALSE(refused.has_value());
    EXPECT_NE(refused.error().message.find("belief at tt=4611686018427387902 cannot be answered"), std::string::npos);
    EXPECT_FALSE(nodes_with_believed_versions(*store, {}, 5).has_value());
    EXPECT_FALSE(resolve_entities(*store, "", 5).has_value());
    EXPECT_FALSE(believed_edge_versions(*store, std::string(24, '0'), 5).has_value());
    // Pages too: the current time (or any later one) is answered, a past one refused like the rest.
    for (const std::int64_t now : {OPEN_END - 1, OPEN_END, I64_MAX})
        EXPECT_TRUE(version_page(*store, RowKind::Node, VersionQuery{now, 0, 1, nullptr, BeliefMode::All}, 0, 10));
    const auto page = version_page(*store, RowKind::Edge, VersionQuery{5, 0, 1, nullptr, BeliefMode::All}, 0, 10);
    ASSERT_FALSE(page.has_value());
    EXPECT_EQ(page.error().message, "this store is current-only (plan §13 stripped configuration): historical versions "
                                    "were discarded, so belief at tt=5 cannot be answered");
    EXPECT_EQ(page.error().remedy, "rebuild the store from its event log for bi-temporal queries");
}

// A page as of OPEN_END or later is a page of current belief: a version never closed is current,
// not superseded, exactly as at OPEN_END - 1.
TEST(Pages, AsOfTimesAtOrAfterOpenEndAreClampedToNow) {
    testing::TempDir dir;
    auto store = open_store(dir);
    ASSERT_TRUE(store->begin(10).has_value());
    for (std::uint32_t i = 0; i < 3; ++i) ASSERT_TRUE(store->stage_edge(edge(*store, "a", "b", i, 10)).has_value());
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_TRUE(store->begin(11).has_value());
    ASSERT_TRUE(store->close_version(RowKind::Edge, Id96{7, 1}, 11).has_value());
    ASSERT_TRUE(store->stage_edge(edge(*store, "a", "b", 3, 11)).has_value());  // staged, never closed
    const auto vids = [&](std::int64_t at, BeliefMode belief) {
        const auto page = version_page(*store, RowKind::Edge, VersionQuery{at, 0, 100, nullptr, belief}, 0, 10);
        EXPECT_TRUE(page.has_value());
        std::vector<std::uint32_t> out;
        for (const EdgeVersionRow& row : std::get<std::vector<EdgeVersionRow>>(page->rows))
            out.push_back(static_cast<std::uint32_t>(row.vt_s));
        EXPECT_EQ(page->rows_total, out.size());
        return out;
    };
    using V = std::vector<std::uint32_t>;
    for (const std::int64_t at : {OPEN_END - 1, OPEN_END, OPEN_END + 1, I64_MAX}) {
        EXPECT_EQ(vids(at, BeliefMode::Current), (V{0, 2, 3})) << at;
        EXPECT_EQ(vids(at, BeliefMode::Superseded), (V{1})) << at;
        EXPECT_EQ(vids(at, BeliefMode::All), (V{0, 1, 2, 3})) << at;
    }
    EXPECT_EQ(vids(10, BeliefMode::Current), (V{0, 1, 2}));
}

// A vid stored more than once: the version a sweep of the file list meets last gives the props.
// The event lane is listed before the interval lane, so the file-list order differs here from the
// segment-id order; within a segment the later row wins.
TEST(PointLookups, PropsForAVidStoredTwiceComeFromTheLastInFileListOrder) {
    testing::TempDir dir;
    auto store = open_store(dir);
    const Id96 vid{7, 42};
    const auto stage = [&](std::int64_t vt_s, std::int64_t vt_e, std::string props) {
        ASSERT_TRUE(store->stage_edge(EdgeRow{"knows", "", std::move(props), "", std::nullopt, vid, vt_s, vt_e, 10,
                                              dense(*store, "a"), dense(*store, "b")})
                        .has_value());
    };
    ASSERT_TRUE(store->begin(10).has_value());
    stage(100, OPEN_END, R"({"at":"interval 100"})");
    stage(50, OPEN_END, R"({"at":"interval 50"})");
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_TRUE(store->begin(11).has_value());
    stage(5, 6, R"({"at":"event"})");
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_EQ(store->manifest().edge_lanes.interval.size(), 1u);
    ASSERT_EQ(store->manifest().edge_lanes.event.size(), 1u);
    const std::vector<std::string> asked = {vid.to_hex()};
    EXPECT_EQ(props_for_vids(*store, RowKind::Edge, asked)->at(vid.to_hex()), R"({"at":"interval 100"})");

    // Node segments are listed in commit order: the later commit wins.
    for (const std::int64_t tt : {12, 13}) {
        ASSERT_TRUE(store->begin(tt).has_value());
        ASSERT_TRUE(store->stage_node(node(*store, "a", 1, tt, fmt::format(R"({{"tt":{}}})", tt))).has_value());
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    }
    const std::string node_vid = Id96{9, 1}.to_hex();
    EXPECT_EQ(props_for_vids(*store, RowKind::Node, std::vector<std::string>{node_vid})->at(node_vid), R"({"tt":13})");
}

// believed_any looks a short list of uids up one by one through the identity postings (building
// the node postings) and sweeps every node version otherwise (building none): the per-uid path is
// taken exactly when 20 * len(uids) < the committed node versions. Both give the same answer.
TEST(Belief, BelievedAnyChoosesLookupsOnlyForAShortList) {
    testing::TempDir dir;
    {
        auto store = open_store(dir);
        ASSERT_TRUE(store->begin(10).has_value());
        // 60 versions of 20 uids, three each; every version of "u0" is closed at 11.
        for (std::uint32_t i = 0; i < 60; ++i)
            ASSERT_TRUE(store->stage_node(node(*store, fmt::format("u{}", i % 20), i, 10, "{}")).has_value());
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        ASSERT_TRUE(store->begin(11).has_value());
        ASSERT_TRUE(store->close_version(RowKind::Node, Id96{9, 0}, 11).has_value());
        ASSERT_TRUE(store->close_version(RowKind::Node, Id96{9, 20}, 11).has_value());
        ASSERT_TRUE(store->close_version(RowKind::Node, Id96{9, 40}, 11).has_value());
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        ASSERT_EQ(store->manifest().stats.n_node_versions, 60u);
    }
    using Found = std::unordered_set<std::string>;
    const auto ask = [&](std::vector<std::string> uids, std::int64_t at, Found want, bool per_uid) {
        auto store = open_store(dir);  // fresh postings
        const auto found = nodes_with_believed_versions(*store, uids, at);
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(*found, want) << uids.size() << " uids at " << at;
        EXPECT_EQ(store->postings_stats(RowKind::Node).indexed_segments, per_uid ? 1u : 0u) << uids.size() << " uids";
    };
    // 20 * 2 < 60: lookups. 20 * 3 = 60: the sweep.
    ask({"u0", "nobody"}, OPEN_END, {}, true);
    ask({"u0", "u1"}, 10, {"u0", "u1"}, true);
    ask({"u1", "u0", "nobody"}, OPEN_END, {"u1"}, false);
    ask({"u1", "u0", "nobody"}, 10, {"u1", "u0"}, false);
}

// A sweep opens each segment once: with a cache that holds one segment, every open after the
// first evicts one, so n segments swept cost n - 1 evictions (a counting pass first would double it).
TEST(Sweeps, OpenEachSegmentOnce) {
    testing::TempDir dir;
    auto store = open_store(dir);
    for (std::int64_t tt = 1; tt <= 4; ++tt) {
        ASSERT_TRUE(store->begin(tt).has_value());
        for (std::uint32_t i = 0; i < 3; ++i)
            ASSERT_TRUE(store->stage_edge(edge(*store, "a", "b", static_cast<std::uint32_t>(tt * 10) + i, tt)).has_value());
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    }
    ASSERT_EQ(store->edge_files().size(), 4u);
    ASSERT_TRUE(store->close_overlay().has_value());
    StoreTestAccess::caches(*store).segments.emplace(1);
    const auto edges = all_edge_versions(*store);
    ASSERT_TRUE(edges.has_value());
    EXPECT_EQ(edges->size(), 12u);
    EXPECT_EQ(store->segment_cache_stats().evictions, 3u);
}

TEST(Resolution, LowerCasingIsTheFullUnicodeMapping) {
    EXPECT_EQ(unicode_lower("AbC"), "abc");
    EXPECT_EQ(unicode_lower("ΣΊΣΥΦΟΣ"), "σίσυφος");  // final sigma in context
    EXPECT_EQ(unicode_lower("İ"), "i̇");              // 2 bytes in, 3 bytes out
    EXPECT_EQ(unicode_lower("ǅ"), "ǆ");
    EXPECT_EQ(unicode_lower(std::string("\xff" "A", 2)), "\xEF\xBF\xBD" "a");
}

TEST(Resolution, RanksByScoreThenUidBytes) {
    testing::TempDir dir;
    auto store = open_store(dir);
    ASSERT_TRUE(store->begin(10).has_value());
    std::uint32_t vid = 0;
    const auto add = [&](std::string_view uid, std::string props, std::int64_t vt_s = 0) {
        ASSERT_TRUE(store->stage_node(node(*store, uid, ++vid, 10, std::move(props), vt_s)).has_value());
    };
    add("alice", R"({"name":"Alice Smith"})");
    add("Alice", "{}");
    add("ALICE2", "{}");
    add("bob", R"({"name":"friend of alice"})");
    add("İzmir", R"({"name":"city"})");
    add("carl", R"({"name":"Old ALICE name"})", 0);
    add("carl", R"({"name":"Carl"})", 5);  // newest version no longer bears the name
    add(" alice", "{}");
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_TRUE(store->begin(11).has_value());
    add("zed", R"({"name":"staged alice"})");
    ASSERT_TRUE(store->close_version(RowKind::Node, Id96{9, 2}, 11).has_value());  // "Alice" closed now

    using E = ResolvedEntity;
    const auto ranked = [&](std::string_view query, std::int64_t at = OPEN_END) {
        auto result = resolve_entities(*store, query, at);
        EXPECT_TRUE(result.has_value());
        std::vector<std::pair<std::string, int>> out;
        for (const E& e : *result) out.emplace_back(e.uid, e.score);
        return out;
    };
    using V = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(ranked("alice"), (V{{"alice", 0}, {" alice", 1}, {"ALICE2", 1}, {"bob", 2}, {"carl", 2}, {"zed", 2}}));
    EXPECT_EQ(ranked("Alice", 10), (V{{"Alice", 0}, {" alice", 1}, {"ALICE2", 1}, {"alice", 1}, {"bob", 2}, {"carl", 2}, {"zed", 2}}));
    EXPECT_EQ(ranked(" ALICE"), (V{{" alice", 1}, {"bob", 2}, {"carl", 2}, {"zed", 2}}));
    EXPECT_EQ(ranked("i̇zm"), (V{{"İzmir", 1}}));
    EXPECT_EQ(ranked("IZM"), V{});
    EXPECT_EQ(ranked("nobody"), V{});
    // carl matched by an older name: the newest version's props are reported.
    const auto carl = resolve_entities(*store, "old alice", OPEN_END);
    ASSERT_EQ(carl->size(), 1u);
    EXPECT_EQ((*carl)[0].props, R"({"name":"Carl"})");
    // The empty query matches every believed uid by uid (score 1), in byte order.
    const auto all = ranked("");
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all.front(), (std::pair<std::string, int>{" alice", 1}));
}

}  // namespace
}  // namespace vorp
