// Every version read against one reference model: a plain list of versions with their four times,
// driven by a seeded random sequence of begin / stage / close / retire / commit / rollback, and
// checked after every step at as-of times in the past, at each commit's tt, now, OPEN_END - 1,
// OPEN_END and beyond. Seeds: VORP_READ_MODEL_SEEDS (default 8), steps per seed 45.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "test_support.h"
#include "vorp/read.h"
#include "vorp/segment.h"
#include "vorp/segment_cache.h"
#include "vorp/store.h"
#include "vorp/text.h"

namespace vorp {
namespace {

// One version as the model knows it. tt_e follows the close index's layering: a pending (batch)
// value, else the committed close-run value, else the close folded into its segment; a layer value
// of OPEN_END defers to the folded close.
struct MVersion {
    RowKind kind = RowKind::Node;
    Id96 vid;
    std::string uid, src, dst, rel_type, disc, label, props, source;
    std::optional<std::string> prov;
    std::int64_t vt_s = 0, vt_e = 0, tt_s = 0;
    bool stored = false;
    std::optional<std::int64_t> folded, committed, pending;  // stored versions
    std::optional<std::int64_t> staged_close;                // staged versions

    std::int64_t tt_e() const {
        if (!stored) return staged_close.value_or(OPEN_END);
        const auto folded_or_open = [&] { return folded.value_or(OPEN_END); };
        if (pending) return *pending != OPEN_END ? *pending : folded_or_open();
        if (committed) return *committed != OPEN_END ? *committed : folded_or_open();
        return folded_or_open();
    }
    std::string eid() const { return edge_eid(src, dst, rel_type, disc).to_hex(); }
};

const std::vector<std::string> UIDS = {"alice", "Bob", "ΣΙΣΥΦΟΣ", "İstanbul", "carol", "", "dave x"};
const std::vector<std::string> RELS = {"knows", "owns", "likes"};

class Model {
public:
    std::vector<MVersion> versions;  // stored ones in no particular order, staged ones in staging order
    std::vector<std::int64_t> commit_tts;
    std::optional<std::int64_t> batch_tt;
    std::int64_t last_tt = 100;

    std::vector<const MVersion*> of_kind(RowKind kind) const {
        std::vector<const MVersion*> out;
        for (const MVersion& v : versions)
            if (v.kind == kind) out.push_back(&v);
        return out;
    }
    MVersion* find(RowKind kind, const Id96& vid) {
        for (MVersion& v : versions)
            if (v.kind == kind && v.vid == vid) return &v;
        return nullptr;
    }
};

EdgeVersionOut expected_edge(const MVersion& v) {
    return {v.eid(), v.vid.to_hex(), v.src, v.dst, v.rel_type, v.disc, v.vt_s, v.vt_e, v.tt_s, v.tt_e(), v.props,
            v.source, v.prov};
}
NodeVersionOut expected_node(const MVersion& v) {
    return {v.vid.to_hex(), v.uid, v.label, v.vt_s, v.vt_e, v.tt_s, v.tt_e(), v.props, v.source, v.prov};
}

template <class Out>
std::vector<Out> sorted_by_vid(std::vector<Out> rows) {
    std::sort(rows.begin(), rows.end(), [](const Out& a, const Out& b) { return a.vid < b.vid; });
    return rows;
}

class Driver {
public:
    Driver(std::uint64_t seed, const std::filesystem::path& root) : rng_(seed) {
        store_ = std::move(*NativeStore::open(root.string()));
    }

    NativeStore& store() { return *store_; }
    Model model;

    std::uint64_t pick(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return pick(100) < static_cast<std::uint64_t>(percent); }

    std::uint32_t dense(const std::string& uid) {
        if (auto id = store_->dict().dense_id(uid)) return *id;
        return store_->add_entity(uid, "entity").value();
    }

    std::int64_t close_time() {
        const std::int64_t base = *model.batch_tt;
        switch (pick(6)) {
            case 0: return OPEN_END;
            case 1: return OPEN_END + 5;  // beyond OPEN_END: still believed at every time
            case 2: return base;
            case 3: return base - 1;
            default: return base + static_cast<std::int64_t>(pick(3));
        }
    }

    // One random step; returns a short description for failure messages.
    std::string step() {
        if (!model.batch_tt) {
            const std::int64_t tt = model.last_tt + 1 + static_cast<std::int64_t>(pick(3));
            EXPECT_TRUE(store_->begin(tt).has_value());
            model.batch_tt = tt;
            return fmt::format("begin {}", tt);
        }
        const std::uint64_t op = pick(100);
        if (op < 30) return stage_edge();
        if (op < 50) return stage_node();
        if (op < 68) return close_one();
        if (op < 74) return retire_one();
        if (op < 92) return commit();
        return rollback();
    }

private:
    std::string stage_edge() {
        MVersion v;
        v.kind = RowKind::Edge;
        v.src = UIDS[pick(UIDS.size())];
        v.dst = UIDS[pick(UIDS.size())];
        v.rel_type = RELS[pick(RELS.size())];
        v.disc = chance(70) ? "" : "d1";
        fill_common(v);
        EdgeRow row{v.rel_type, v.disc, v.props, v.source, v.prov, v.vid, v.vt_s, v.vt_e, v.tt_s, dense(v.src), dense(v.dst)};
        EXPECT_TRUE(store_->stage_edge(row).has_value());
        model.versions.push_back(v);
        return fmt::format("stage edge {}", v.vid);
    }
    std::string stage_node() {
        MVersion v;
        v.kind = RowKind::Node;
        v.uid = UIDS[pick(UIDS.size())];
        v.label = chance(50) ? "Person" : "Thing";
        fill_common(v);
        if (chance(60)) v.props = fmt::format(R"({{"name": "{}"}})", chance(50) ? "Ünïcode Name" : "Plain name");
        NodeRow row{v.label, v.props, v.source, v.prov, v.vid, v.vt_s, v.vt_e, v.tt_s, dense(v.uid)};
        EXPECT_TRUE(store_->stage_node(row).has_value());
        model.versions.push_back(v);
        return fmt::format("stage node {}", v.vid);
    }
    void fill_common(MVersion& v) {
        v.vid = Id96{pick(40) << 20, static_cast<std::uint32_t>(next_vid_++)};
        v.vt_s = static_cast<std::int64_t>(pick(20));
        v.vt_e = chance(15) ? OPEN_END : v.vt_s + static_cast<std::int64_t>(pick(6));  // vt_e = vt_s possible
        v.tt_s = *model.batch_tt - (chance(10) ? 1 : 0);
        v.props = fmt::format(R"({{"n": {}}})", next_vid_);
        v.source = chance(50) ? "feed" : "";
        if (chance(50)) v.prov = chance(30) ? std::string() : std::string("p") + std::to_string(next_vid_);
    }
    std::string close_one() {
        if (model.versions.empty()) return "close (nothing)";
        MVersion& v = model.versions[pick(model.versions.size())];
        const std::int64_t tt_e = close_time();
        EXPECT_TRUE(store_->close_version(v.kind, v.vid, tt_e).has_value()) << v.vid.to_hex();
        if (v.stored)
            v.pending = tt_e;
        else
            v.staged_close = tt_e;
        return fmt::format("close {} {} at {}", v.stored ? "stored" : "staged", v.vid, tt_e);
    }
    std::string retire_one() {
        std::vector<std::size_t> candidates;
        for (std::size_t i = 0; i < model.versions.size(); ++i)
            if (!model.versions[i].stored && !model.versions[i].staged_close) candidates.push_back(i);
        if (candidates.empty()) return "retire (nothing)";
        const std::size_t index = candidates[pick(candidates.size())];
        const MVersion v = model.versions[index];
        EXPECT_TRUE(store_->retire_version(v.kind, v.vid).has_value());
        model.versions.erase(model.versions.begin() + static_cast<std::ptrdiff_t>(index));
        return fmt::format("retire {}", v.vid);
    }
    std::string commit() {
        const auto generation = store_->commit(store_->manifest().event_log);
        EXPECT_TRUE(generation.has_value()) << (generation ? "" : generation.error().display());
        for (MVersion& v : model.versions) {
            if (v.stored) {
                if (v.pending) v.committed = std::exchange(v.pending, std::nullopt);
            } else {
                v.stored = true;
                v.folded = v.staged_close;
                v.staged_close.reset();
            }
        }
        model.commit_tts.push_back(*model.batch_tt);
        model.last_tt = *model.batch_tt;
        model.batch_tt.reset();
        return "commit";
    }
    std::string rollback() {
        EXPECT_TRUE(store_->rollback().has_value());
        std::erase_if(model.versions, [](const MVersion& v) { return !v.stored; });
        for (MVersion& v : model.versions) v.pending.reset();
        model.batch_tt.reset();
        return "rollback";
    }

    std::mt19937_64 rng_;
    std::unique_ptr<NativeStore> store_;
    std::uint64_t next_vid_ = 1;
};

std::vector<std::int64_t> as_of_times(const Model& model) {
    std::vector<std::int64_t> times = {INT64_MIN, 99, OPEN_END - 2, OPEN_END - 1, OPEN_END, INT64_MAX};
    for (const std::int64_t tt : model.commit_tts) {
        times.push_back(tt);
        times.push_back(tt - 1);
    }
    if (model.batch_tt) times.push_back(*model.batch_tt);
    return times;
}

// ---- the checks ---------------------------------------------------------------------------------------

void check_sweeps(Driver& d) {
    NativeStore& store = d.store();
    std::vector<EdgeVersionOut> want_edges;
    std::vector<NodeVersionOut> want_nodes;
    std::vector<std::string> staged_edge_vids, staged_node_vids;
    for (const MVersion& v : d.model.versions) {
        if (v.kind == RowKind::Edge) {
            want_edges.push_back(expected_edge(v));
            if (!v.stored) staged_edge_vids.push_back(v.vid.to_hex());
        } else {
            want_nodes.push_back(expected_node(v));
            if (!v.stored) staged_node_vids.push_back(v.vid.to_hex());
        }
    }
    const auto edges = all_edge_versions(store);
    ASSERT_TRUE(edges.has_value()) << edges.error().display();
    EXPECT_EQ(sorted_by_vid(*edges), sorted_by_vid(want_edges));
    // Staged versions come last, in staging order.
    ASSERT_GE(edges->size(), staged_edge_vids.size());
    for (std::size_t i = 0; i < staged_edge_vids.size(); ++i)
        EXPECT_EQ((*edges)[edges->size() - staged_edge_vids.size() + i].vid, staged_edge_vids[i]);
    const auto nodes = all_node_versions(store);
    ASSERT_TRUE(nodes.has_value()) << nodes.error().display();
    EXPECT_EQ(sorted_by_vid(*nodes), sorted_by_vid(want_nodes));
    ASSERT_GE(nodes->size(), staged_node_vids.size());
    for (std::size_t i = 0; i < staged_node_vids.size(); ++i)
        EXPECT_EQ((*nodes)[nodes->size() - staged_node_vids.size() + i].vid, staged_node_vids[i]);
}

template <class Out>
std::vector<Out> by_valid_time(std::vector<Out> rows) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Out& a, const Out& b) { return a.vt_s != b.vt_s ? a.vt_s < b.vt_s : a.vid < b.vid; });
    return rows;
}

void check_belief(Driver& d, const std::vector<std::int64_t>& times) {
    NativeStore& store = d.store();
    std::set<std::string> eids = {std::string(24, '0')};
    std::set<std::string> uids = {"nobody"};
    for (const MVersion& v : d.model.versions) (v.kind == RowKind::Edge ? eids.insert(v.eid()) : uids.insert(v.uid));
    for (const std::int64_t at : times) {
        for (const std::string& eid : eids) {
            std::vector<EdgeVersionOut> want;
            for (const MVersion& v : d.model.versions)
                if (v.kind == RowKind::Edge && v.eid() == eid && is_believed(v.tt_s, v.tt_e(), at))
                    want.push_back(expected_edge(v));
            const auto got = believed_edge_versions(store, eid, at);
            ASSERT_TRUE(got.has_value()) << got.error().display();
            EXPECT_EQ(*got, by_valid_time(want)) << "edge " << eid << " at " << at;
        }
        for (const std::string& uid : uids) {
            std::vector<NodeVersionOut> want;
            for (const MVersion& v : d.model.versions)
                if (v.kind == RowKind::Node && v.uid == uid && is_believed(v.tt_s, v.tt_e(), at))
                    want.push_back(expected_node(v));
            const auto got = believed_node_versions(store, uid, at);
            ASSERT_TRUE(got.has_value()) << got.error().display();
            EXPECT_EQ(*got, by_valid_time(want)) << "node " << uid << " at " << at;
        }
        // Random uid lists: short ones take per-uid lookups, long ones the sweep.
        for (const std::size_t length : {std::size_t{1}, std::size_t{3}, std::size_t{40}}) {
            std::vector<std::string> asked;
            for (std::size_t i = 0; i < length; ++i)
                asked.push_back(i % 7 == 6 ? "ghost" : UIDS[d.pick(UIDS.size())]);
            std::unordered_set<std::string> want;
            for (const MVersion& v : d.model.versions)
                if (v.kind == RowKind::Node && is_believed(v.tt_s, v.tt_e(), at) &&
                    std::find(asked.begin(), asked.end(), v.uid) != asked.end())
                    want.insert(v.uid);
            const auto got = nodes_with_believed_versions(store, asked, at);
            ASSERT_TRUE(got.has_value()) << got.error().display();
            EXPECT_EQ(*got, want) << "believed_any at " << at << " of " << length;
        }
    }
}

template <class Row>
std::vector<std::string> vids_of(const std::vector<Row>& rows) {
    std::vector<std::string> out;
    for (const Row& row : rows) out.push_back(row.vid);
    return out;
}

void check_pages(Driver& d, const std::vector<std::int64_t>& times) {
    NativeStore& store = d.store();
    for (int round = 0; round < 6; ++round) {
        const RowKind kind = round % 2 == 0 ? RowKind::Edge : RowKind::Node;
        const std::int64_t at = times[d.pick(times.size())];
        const auto t_a = static_cast<std::int64_t>(d.pick(25)) - 2;
        const std::int64_t t_b = d.chance(20) ? OPEN_END + 1 : t_a + static_cast<std::int64_t>(d.pick(15)) - 2;
        const auto belief = static_cast<BeliefMode>(d.pick(3));
        std::optional<std::vector<std::string>> rels;
        if (d.chance(50)) {
            rels.emplace();
            for (const std::string& rel : RELS)
                if (d.chance(50)) rels->push_back(rel);
        }
        const VersionQuery query{at, t_a, t_b, rels ? &*rels : nullptr, belief};
        // The model's population, ordered by (tt_s, vid); ties keep stored-before-staged order. The
        // as-of time is clamped as in every belief read.
        const std::int64_t clamped = std::min(at, OPEN_END - 1);
        std::vector<const MVersion*> want;
        for (const MVersion* v : d.model.of_kind(kind)) {
            if (!(v->vt_s < t_b && v->vt_e > t_a) || v->tt_s > clamped) continue;
            if (kind == RowKind::Edge && rels && std::find(rels->begin(), rels->end(), v->rel_type) == rels->end()) continue;
            const std::int64_t tt_e = v->tt_e();
            if (belief == BeliefMode::Current && !(tt_e > clamped)) continue;
            if (belief == BeliefMode::Superseded && !(tt_e <= clamped)) continue;
            want.push_back(v);
        }
        std::stable_sort(want.begin(), want.end(), [](const MVersion* a, const MVersion* b) {
            return a->tt_s != b->tt_s ? a->tt_s < b->tt_s : a->vid < b->vid;
        });
        for (const std::int64_t size : {1, 3, 7}) {
            std::vector<std::string> walked;
            for (std::int64_t offset = 0;; offset += size) {
                const auto page = version_page(store, kind, query, offset, size);
                ASSERT_TRUE(page.has_value()) << page.error().display();
                EXPECT_EQ(page->rows_total, want.size());
                const std::vector<std::string> vids =
                    kind == RowKind::Edge ? vids_of(std::get<std::vector<EdgeVersionRow>>(page->rows))
                                          : vids_of(std::get<std::vector<NodeVersionRow>>(page->rows));
                walked.insert(walked.end(), vids.begin(), vids.end());
                if (vids.empty()) break;
            }
            std::vector<std::string> want_vids;
            for (const MVersion* v : want) want_vids.push_back(v->vid.to_hex());
            EXPECT_EQ(walked, want_vids) << "page size " << size;
        }
        // One whole page compared field by field.
        const auto page = version_page(store, kind, query, 0, static_cast<std::int64_t>(want.size()));
        ASSERT_TRUE(page.has_value());
        for (std::size_t i = 0; i < want.size(); ++i) {
            const MVersion& v = *want[i];
            if (kind == RowKind::Edge) {
                const EdgeVersionRow& row = std::get<std::vector<EdgeVersionRow>>(page->rows).at(i);
                EXPECT_EQ(row, (EdgeVersionRow{v.vid.to_hex(), v.eid(), v.src, v.dst, v.rel_type, v.disc, v.vt_s,
                                               v.vt_e, v.tt_s, v.tt_e()}));
            } else {
                const NodeVersionRow& row = std::get<std::vector<NodeVersionRow>>(page->rows).at(i);
                EXPECT_EQ(row, (NodeVersionRow{v.vid.to_hex(), v.uid, v.label, v.vt_s, v.vt_e, v.tt_s, v.tt_e()}));
            }
        }
    }
}

void check_node_scan(Driver& d, const std::vector<std::int64_t>& times) {
    NativeStore& store = d.store();
    const std::uint64_t examined = d.model.of_kind(RowKind::Node).size();
    for (const std::int64_t at : times) {
        for (int round = 0; round < 2; ++round) {
            std::optional<std::int64_t> lo, hi;
            if (d.chance(60)) lo = static_cast<std::int64_t>(d.pick(22)) - 1;
            if (d.chance(60)) hi = static_cast<std::int64_t>(d.pick(22)) - 1;
            std::vector<NodeScanRow> want;
            for (const MVersion* v : d.model.of_kind(RowKind::Node)) {
                if ((lo && !(v->vt_e > *lo)) || (hi && !(v->vt_s < *hi))) continue;
                if (!is_believed(v->tt_s, v->tt_e(), at)) continue;
                want.push_back({*store.dict().dense_id(v->uid), v->vt_s, v->vt_e, v->uid, v->vid.to_hex(), v->label});
            }
            const auto got = scan_node_versions(store, at, lo, hi);
            ASSERT_TRUE(got.has_value()) << got.error().display();
            EXPECT_EQ(got->rows, by_valid_time(want)) << "scan at " << at;
            EXPECT_EQ(got->rows_examined, examined);
            EXPECT_EQ(got->rows_materialized, want.size());
        }
    }
}

// The resolution rule written out over the model (names from the props' "name" member).
std::vector<ResolvedEntity> model_resolve(const Model& model, const std::string& query, std::int64_t at) {
    const std::string q = unicode_lower(query);
    struct Acc {
        std::uint8_t score = 255;
        std::tuple<std::int64_t, Id96> latest;
        std::string label, props;
    };
    std::map<std::string, Acc> acc;
    for (const MVersion* v : model.of_kind(RowKind::Node)) {
        if (!is_believed(v->tt_s, v->tt_e(), at)) continue;
        const std::optional<std::string> name = name_of(v->props);
        std::uint8_t score = 255;
        if (v->uid == query)
            score = 0;
        else if (unicode_lower(v->uid).find(q) != std::string::npos)
            score = 1;
        else if (name && unicode_lower(*name).find(q) != std::string::npos)
            score = 2;
        const auto key = std::make_tuple(v->vt_s, v->vid);
        auto [it, created] = acc.try_emplace(v->uid);
        it->second.score = std::min(it->second.score, score);
        if (created || !(key < it->second.latest)) {
            // Equal keys cannot occur: vids are unique.
            it->second.latest = key;
            it->second.label = v->label;
            it->second.props = v->props;
        }
    }
    std::vector<ResolvedEntity> out;
    for (auto& [uid, a] : acc)
        if (a.score != 255) out.push_back({uid, a.score, a.label, a.props});
    std::stable_sort(out.begin(), out.end(),
                     [](const ResolvedEntity& a, const ResolvedEntity& b) { return a.score < b.score; });
    return out;
}

void check_resolution_and_props(Driver& d, const std::vector<std::int64_t>& times) {
    NativeStore& store = d.store();
    for (const std::string query : {"", "alice", "ALICE", "σισυφος", "name", "ünï", "i̇stanbul", "zzz"}) {
        const std::int64_t at = times[d.pick(times.size())];
        const auto got = resolve_entities(store, query, at);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(*got, model_resolve(d.model, query, at)) << "resolve \"" << query << "\" at " << at;
    }
    for (const RowKind kind : {RowKind::Edge, RowKind::Node}) {
        std::vector<std::string> asked = {"not a vid", std::string(24, 'f')};
        std::unordered_map<std::string, std::string> want;
        for (const MVersion* v : d.model.of_kind(kind)) {
            if (!d.chance(40)) continue;
            std::string text = v->vid.to_hex();
            if (d.chance(30)) std::transform(text.begin(), text.end(), text.begin(), ::toupper);
            asked.push_back(text);
            want[text] = v->props;
        }
        const auto got = props_for_vids(store, kind, asked);
        ASSERT_TRUE(got.has_value()) << got.error().display();
        EXPECT_EQ(*got, want);
    }
}

// Every stored edge address, its expected identity taken from the model by the row's vid.
void check_edge_idents(Driver& d) {
    NativeStore& store = d.store();
    std::vector<std::uint64_t> ids;
    std::vector<std::uint32_t> rows;
    std::vector<std::pair<std::string, std::string>> want;
    for (const SegmentFileRef& ref : store.edge_files()) {
        const auto segment = store.open_segment(ref.file);
        ASSERT_TRUE(segment.has_value());
        const auto vid64 = *(*segment)->typed<std::uint64_t>("vid64");
        const auto vid_lo32 = *(*segment)->typed<std::uint32_t>("vid_lo32");
        for (std::uint32_t r = 0; r < vid64.size(); ++r) {
            if (!d.chance(50) && r != 0 && r + 1 != vid64.size()) continue;
            const MVersion* v = d.model.find(RowKind::Edge, Id96{vid64[r], vid_lo32[r]});
            ASSERT_NE(v, nullptr);
            ids.push_back(ref.segment_id);
            rows.push_back(r);
            want.emplace_back(v->eid(), v->rel_type);
        }
    }
    // Reversed, so that segments are met out of order and more than once.
    std::reverse(ids.begin(), ids.end());
    std::reverse(rows.begin(), rows.end());
    std::reverse(want.begin(), want.end());
    const auto got = edge_idents_at(store, ids, rows);
    ASSERT_TRUE(got.has_value()) << got.error().display();
    EXPECT_EQ(*got, want);
}

std::size_t env_count(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr) return fallback;
    const std::optional<std::uint64_t> parsed = parse_u64_decimal(text);
    return parsed ? static_cast<std::size_t>(*parsed) : fallback;
}

TEST(ReadModel, EveryReadAgreesWithTheModelAfterEveryStep) {
    const std::size_t seeds = env_count("VORP_READ_MODEL_SEEDS", 8);
    for (std::size_t seed = 1; seed <= seeds; ++seed) {
        testing::TempDir dir("vorp-read-model");
        Driver d(seed, dir.path);
        std::vector<std::string> trail;
        for (int step = 0; step < 45; ++step) {
            trail.push_back(d.step());
            SCOPED_TRACE(fmt::format("seed {} step {}: {}", seed, step, trail.back()));
            const std::vector<std::int64_t> times = as_of_times(d.model);
            check_sweeps(d);
            check_belief(d, times);
            check_pages(d, times);
            check_node_scan(d, times);
            check_resolution_and_props(d, times);
            check_edge_idents(d);
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "steps: " << fmt::format("{}", fmt::join(trail, "; "));
                return;
            }
        }
    }
}

}  // namespace
}  // namespace vorp
