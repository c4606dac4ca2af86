#include "store_support.h"
#include "vorp/compact.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "vorp/gc.h"
#include "vorp/manifest_chain.h"
#include "vorp/segment.h"
#include "vorp/staging.h"
#include "vorp/store.h"
#include "vorp/visibility.h"
#include "store_access.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::TempDir;
using vorp::testing::open_ok;
using vorp::testing::read_text;

// One stored version with its end of belief, comparable as a whole.
struct Version {
    RowKind kind = RowKind::Edge;
    EdgeRow edge;
    NodeRow node;
    std::int64_t tt_e = OPEN_END;

    const Id96& vid() const { return kind == RowKind::Edge ? edge.vid : node.vid; }
    std::int64_t tt_s() const { return kind == RowKind::Edge ? edge.tt_s : node.tt_s; }
    auto tie() const { return std::tie(kind, edge.vid.prefix, edge.vid.suffix, node.vid.prefix, node.vid.suffix, edge.vt_s, node.vt_s, tt_e); }
    bool operator==(const Version& other) const = default;
    bool operator<(const Version& other) const {
        if (tie() != other.tie()) return tie() < other.tie();
        return std::tie(edge.props, node.props, edge.src_id, edge.dst_id, edge.disc, node.uid_id) <
               std::tie(other.edge.props, other.node.props, other.edge.src_id, other.edge.dst_id, other.edge.disc,
                        other.node.uid_id);
    }
};

// Every version the store's current generation holds, read straight from its segments in read
// order (edge event lane, edge interval lane, nodes), each tt_e from the committed close runs and
// the segment's own closed_rows.
std::vector<Version> stored_versions(NativeStore& store) {
    std::vector<Version> out;
    const auto closes = store.committed_close_index().value();
    const auto read_list = [&](const std::vector<SegmentEntry>& list, RowKind kind) {
        for (const SegmentEntry& entry : list) {
            const auto segment = store.open_segment(entry.file).value();
            const auto strings = segment->strings().value();
            const auto text = [&](const char* column, std::uint32_t row) {
                return std::string(strings.get(segment->typed<std::uint32_t>(column).value()[row]).value());
            };
            for (std::uint32_t row = 0; row < segment->header.rows; ++row) {
                Version v;
                v.kind = kind;
                const Id96 vid{segment->typed<std::uint64_t>("vid64").value()[row],
                               segment->typed<std::uint32_t>("vid_lo32").value()[row]};
                const std::int64_t vt_s = segment->typed<std::int64_t>("vt_s").value()[row];
                const std::int64_t vt_e = segment->vt_e_at(row).value();
                const std::int64_t tt_s = segment->header.tt_s_at(row).value();
                const auto prov = strings.get_opt(segment->typed<std::uint32_t>("prov_ref").value()[row]).value();
                if (kind == RowKind::Edge) {
                    v.edge = {std::string(segment->rel_type_of(segment->typed<std::uint16_t>("rel_code").value()[row]).value()),
                              text("disc_ref", row), text("props_ref", row), text("source_ref", row),
                              prov ? std::optional<std::string>(*prov) : std::nullopt, vid, vt_s, vt_e, tt_s,
                              segment->typed<std::uint32_t>("src_id").value()[row],
                              segment->typed<std::uint32_t>("dst_id").value()[row]};
                } else {
                    v.node = {text("label_ref", row), text("props_ref", row), text("source_ref", row),
                              prov ? std::optional<std::string>(*prov) : std::nullopt, vid, vt_s, vt_e, tt_s,
                              segment->typed<std::uint32_t>("uid_id").value()[row]};
                }
                v.tt_e = close_tt_e(closes.get(), segment_id_of(entry.file), row, segment->header.closed_rows);
                out.push_back(std::move(v));
            }
        }
    };
    read_list(store.manifest().edge_lanes.event, RowKind::Edge);
    read_list(store.manifest().edge_lanes.interval, RowKind::Edge);
    read_list(store.manifest().node_store, RowKind::Node);
    return out;
}

std::vector<Version> sorted(std::vector<Version> versions) {
    std::sort(versions.begin(), versions.end());
    return versions;
}

// The versions believed at `as_of` (what every read as of that time is built from).
std::vector<Version> believed_at(const std::vector<Version>& versions, std::int64_t as_of) {
    std::vector<Version> out;
    for (const Version& v : versions)
        if (is_believed(v.tt_s(), v.tt_e, as_of)) out.push_back(v);
    return sorted(std::move(out));
}

// A seeded history: batches of edges and nodes with valid intervals of every span (both lanes),
// closes of stored and of staged versions, a few repeated vids (one closed, one not). The model
// holds what the store must hold.
struct Workload {
    std::vector<Version> model;
    std::vector<std::int64_t> times;  // every transaction time used, plus 0 and OPEN_END

    Workload(NativeStore& store, std::uint64_t seed, int batches, bool repeat_vids) {
        std::mt19937_64 rng(seed);
        for (int uid = 0; uid < 12; ++uid) store.add_entity(fmt::format("u{}", uid), "L").value();
        std::uint32_t next_vid = 1;
        times = {0, OPEN_END - 1, OPEN_END};
        for (int batch = 1; batch <= batches; ++batch) {
            const std::int64_t tt = 100 * batch;
            times.push_back(tt);
            times.push_back(tt + 5);
            if (!store.begin(tt)) throw std::runtime_error("begin");
            std::vector<std::size_t> staged_here;
            const int rows = 1 + static_cast<int>(rng() % 9);
            for (int i = 0; i < rows; ++i) {
                Version v;
                v.kind = rng() % 3 == 0 ? RowKind::Node : RowKind::Edge;
                Id96 vid{rng() % 4, next_vid++};
                // Now and then a vid another version already carries (same kind).
                if (repeat_vids && !model.empty() && rng() % 6 == 0) {
                    const Version& earlier = model[rng() % model.size()];
                    if (earlier.kind == v.kind) vid = earlier.vid();
                }
                const std::int64_t vt_s = static_cast<std::int64_t>(rng() % 50) - 10;
                const std::int64_t vt_e = rng() % 4 == 0 ? OPEN_END : vt_s + 1 + static_cast<std::int64_t>(rng() % 30);
                const std::optional<std::string> prov =
                    rng() % 2 == 0 ? std::optional<std::string>(fmt::format("p{}", rng() % 3)) : std::nullopt;
                if (v.kind == RowKind::Edge) {
                    v.edge = {fmt::format("R{}", rng() % 3), rng() % 2 ? "" : fmt::format("d{}", rng() % 100),
                              fmt::format("{{\"w\":{}}}", rng() % 1000), "src", prov, vid, vt_s, vt_e, tt,
                              static_cast<std::uint32_t>(rng() % 12), static_cast<std::uint32_t>(rng() % 12)};
                    if (!store.stage_edge(v.edge)) throw std::runtime_error("stage edge");
                } else {
                    v.node = {fmt::format("L{}", rng() % 2), fmt::format("{{\"name\":\"n{}\"}}", rng() % 1000), "src",
                              prov, vid, vt_s, vt_e, tt, static_cast<std::uint32_t>(rng() % 12)};
                    if (!store.stage_node(v.node)) throw std::runtime_error("stage node");
                }
                staged_here.push_back(model.size());
                model.push_back(std::move(v));
            }
            // Closes of stored versions whose vid is carried by that one stored version only (a
            // close by vid is ambiguous otherwise), and of versions staged in this batch.
            for (int c = 0; c < 3 && !model.empty(); ++c) {
                const std::size_t pick = rng() % model.size();
                Version& v = model[pick];
                const bool staged = std::find(staged_here.begin(), staged_here.end(), pick) != staged_here.end();
                const auto sharing = std::count_if(model.begin(), model.end(), [&](const Version& o) {
                    return o.kind == v.kind && o.vid() == v.vid();
                });
                if (sharing != 1) continue;
                const std::int64_t tt_e = tt + static_cast<std::int64_t>(rng() % 3);
                if (!store.close_version(v.kind, v.vid(), tt_e)) throw std::runtime_error("close");
                v.tt_e = tt_e;
                (void)staged;
            }
            if (!store.commit(store.manifest().event_log)) throw std::runtime_error("commit");
        }
    }
};

// Small segments and a short lane stride, so the rewrite cuts several segments per lane and
// both lanes are used.
void small_layout(NativeStore& store) {
    StoreTestAccess::set_segment_target_bytes(store, 400);
    StoreTestAccess::set_lane_stride(store, 8);
}

// Every read answers as before at every transaction time, for stores with and without repeated
// vids; the rewrite is one checkpoint with no close runs, and its layout is what one seal of all
// the rows gives.
TEST(Compaction, ReadsUnchangedAtEveryTransactionTime) {
    const char* seeds_env = std::getenv("VORP_COMPACT_SEEDS");
    const int seeds = seeds_env != nullptr ? std::atoi(seeds_env) : 12;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(fmt::format("seed {}", seed));
        TempDir dir("vorp-compact");
        auto store = open_ok(dir.path);
        small_layout(*store);
        const bool repeat_vids = seed % 2 == 1;
        const Workload work(*store, static_cast<std::uint64_t>(seed), 4 + seed % 5, repeat_vids);
        const std::vector<Version> before = stored_versions(*store);
        ASSERT_EQ(sorted(before), sorted(work.model));
        const Manifest old = store->manifest();
        ASSERT_TRUE(needs_compaction(*store) == (old.node_store.size() + old.edge_lanes.event.size() +
                                                         old.edge_lanes.interval.size() >
                                                     4 ||
                                                 !old.close_runs.empty()));

        const auto report = compact(*store);
        ASSERT_TRUE(report) << report.error().display();
        const Manifest& now = store->manifest();
        EXPECT_EQ(now.generation, old.generation + 1);
        EXPECT_EQ(now.parent, old.generation);
        EXPECT_EQ(now.created_tt, old.created_tt);
        EXPECT_TRUE(now.close_runs.empty());
        EXPECT_EQ(now.dict, old.dict);
        EXPECT_EQ(now.event_log, old.event_log);
        EXPECT_EQ(now.stats.n_entities, old.dict.records);
        EXPECT_EQ(store->checkpoint_generation(), now.generation);
        EXPECT_TRUE(read_record(dir.path, now.generation).value().is_checkpoint());
        std::size_t edges = 0;
        std::size_t closed = 0;
        for (const Version& v : work.model) {
            edges += v.kind == RowKind::Edge;
            closed += v.tt_e != OPEN_END;
        }
        EXPECT_EQ(*report, (CompactReport{old.node_store.size() + old.edge_lanes.event.size() +
                                              old.edge_lanes.interval.size(),
                                          now.node_store.size() + now.edge_lanes.event.size() +
                                              now.edge_lanes.interval.size(),
                                          closed, edges, work.model.size() - edges}));
        EXPECT_EQ(now.stats.n_edge_versions, edges);

        const std::vector<Version> after = stored_versions(*store);
        EXPECT_EQ(sorted(after), sorted(before));
        for (const std::int64_t tt : work.times) EXPECT_EQ(believed_at(after, tt), believed_at(work.model, tt)) << tt;
        auto reopened = open_ok(dir.path);
        EXPECT_EQ(reopened->manifest(), now);
        EXPECT_EQ(sorted(stored_versions(*reopened)), sorted(before));

        // The layout is exactly that of one seal of all the rows in read order (when every vid is
        // distinct, the seal's vid-keyed closes say the same as the positions).
        if (!repeat_vids) {
            TempDir ref("vorp-compact-ref");
            Staging staging;
            StagedVidCloses closes;
            for (const Version& v : before) {
                if (v.kind == RowKind::Edge) staging.add_edge(v.edge);
                else staging.add_node(v.node);
                if (v.tt_e != OPEN_END) closes[v.vid()] = v.tt_e;
            }
            std::uint64_t next_id = old.next_segment_id;
            const SealedBatch sealed =
                staging.seal(ref.path, SealLayout{store->seal_layout().lane_origin, store->seal_layout().lane_stride, store->seal_layout().segment_target_bytes},
                             next_id, closes)
                    .value();
            EXPECT_EQ(next_id, now.next_segment_id);
            std::vector<SegmentEntry> event, interval;
            for (const auto& [lane, entry] : sealed.edges) (lane == Lane::Event ? event : interval).push_back(entry);
            EXPECT_EQ(event, now.edge_lanes.event);
            EXPECT_EQ(interval, now.edge_lanes.interval);
            EXPECT_EQ(sealed.nodes, now.node_store);
            for (const std::uint64_t id : sealed.segment_ids) {
                const std::string name = fmt::format("{:012}.vos", id);
                EXPECT_EQ(read_text(ref.path / name), read_text(dir.path / "seg" / name)) << name;
            }
        }
    }
}

// A version closed before a second version with the same vid was stored keeps its close; the
// other stays open (closes belong to row positions, not vids).
TEST(Compaction, RepeatedVidKeepsEachVersionsOwnClose) {
    TempDir dir("vorp-compact");
    auto store = open_ok(dir.path);
    store->add_entity("a", "L").value();
    store->add_entity("b", "L").value();
    const Id96 vid{7, 7};
    const EdgeRow first{"R", "", "{}", "s", std::nullopt, vid, 1, 5, 10, 0, 1};
    EdgeRow second = first;
    second.vt_s = 2;
    second.tt_s = 30;
    ASSERT_TRUE(store->begin(10) && store->stage_edge(first) && store->commit(store->manifest().event_log));
    ASSERT_TRUE(store->begin(20) && store->close_version(RowKind::Edge, vid, 25) &&
                store->commit(store->manifest().event_log));
    ASSERT_TRUE(store->begin(30) && store->stage_edge(second) && store->commit(store->manifest().event_log));
    const std::vector<Version> before = sorted(stored_versions(*store));
    ASSERT_EQ(before.size(), 2u);
    const auto report = compact(*store);
    ASSERT_TRUE(report) << report.error().display();
    EXPECT_EQ(report->closes_folded, 1u);
    EXPECT_EQ(sorted(stored_versions(*store)), before);
}

TEST(Compaction, RefusalsAndEmptyStores) {
    TempDir dir("vorp-compact");
    auto store = open_ok(dir.path);
    // Nothing stored: nothing published; the current-only strip still marks the store.
    EXPECT_EQ(compact(*store).value(), CompactReport{});
    EXPECT_EQ(store->manifest().generation, 0u);
    EXPECT_FALSE(needs_compaction(*store));

    store->add_entity("a", "L").value();
    ASSERT_TRUE(store->begin(10));
    const std::string bug = std::string(" — ") + std::string(ENGINE_BUG_REMEDY);
    EXPECT_EQ(compact(*store).error().display(), "invariant: cannot compact while a batch is open" + bug);
    EXPECT_EQ(compact_current_only(*store).error().display(), "invariant: cannot compact while a batch is open" + bug);
    ASSERT_TRUE(store->rollback());
    {
        auto other = WriterGuard::acquire(store->pin_path());
        ASSERT_TRUE(other);
        EXPECT_EQ(compact_current_only(*store).error().display(),
                  "invariant: another handle is writing to this store — retry when the other writer has finished");
        EXPECT_FALSE(fs::exists(dir.path / "CURRENT_ONLY"));
    }
    EXPECT_EQ(compact_current_only(*store).value(), CompactReport{});
    EXPECT_TRUE(store->current_only());
    EXPECT_EQ(read_text(dir.path / "CURRENT_ONLY"), "stripped by compact_current_only\n");
    EXPECT_EQ(store->manifest().generation, 0u);

    // A store of an older manifest format is refused before anything is read or written.
    TempDir legacy_dir("vorp-compact");
    {
        auto fresh = open_ok(legacy_dir.path);
        fresh->add_entity("a", "L").value();
        ASSERT_TRUE(fresh->begin(10));
        ASSERT_TRUE(fresh->stage_node(NodeRow{"L", "{}", "s", std::nullopt, Id96{1, 1}, 0, 1, 10, 0}));
        ASSERT_TRUE(fresh->commit(fresh->manifest().event_log));
    }
    auto legacy = open_ok(legacy_dir.path);
    StoreTestAccess::manifest(*legacy).format = 2;
    const std::size_t files = std::distance(fs::directory_iterator(legacy_dir.path / "seg"), fs::directory_iterator{});
    EXPECT_EQ(compact(*legacy).error(), read_only_format_error(2));
    EXPECT_EQ(compact_current_only(*legacy).error(), read_only_format_error(2));
    EXPECT_EQ(std::distance(fs::directory_iterator(legacy_dir.path / "seg"), fs::directory_iterator{}),
              static_cast<std::ptrdiff_t>(files));
}

// The strip keeps exactly the open versions: current reads are equal, past reads are refused,
// the marker survives a reopen, and a failed marker write still leaves the handle refusing.
TEST(Compaction, CurrentOnlyKeepsOpenVersions) {
    TempDir dir("vorp-compact");
    auto store = open_ok(dir.path);
    small_layout(*store);
    const Workload work(*store, 99, 6, false);
    // Times at the edge of belief, which the engine stores as given: a close above OPEN_END
    // (every read still believes the version), one at OPEN_END - 1 (no read believes it now), and
    // a version whose tt_s is OPEN_END (never believed).
    std::vector<Version> model = work.model;
    ASSERT_TRUE(store->begin(700));
    std::vector<std::int64_t> edge_closes = {OPEN_END + 9, OPEN_END - 1};
    for (Version& v : model) {
        if (edge_closes.empty()) break;
        if (v.kind != RowKind::Edge || v.tt_e != OPEN_END) continue;
        ASSERT_TRUE(store->close_version(RowKind::Edge, v.vid(), edge_closes.back()));
        v.tt_e = edge_closes.back();
        edge_closes.pop_back();
    }
    ASSERT_TRUE(edge_closes.empty());
    Version late;
    late.kind = RowKind::Node;
    late.node = {"L0", "{}", "src", std::nullopt, Id96{9, 100000}, 0, OPEN_END, OPEN_END, 0};
    ASSERT_TRUE(store->stage_node(late.node));
    model.push_back(late);
    ASSERT_TRUE(store->commit(store->manifest().event_log));

    const std::vector<Version> before = stored_versions(*store);
    ASSERT_TRUE(store->stats_accum());  // cached: the strip must drop it
    std::vector<Version> open;
    for (const Version& v : model)
        if (is_believed(v.tt_s(), v.tt_e, OPEN_END)) open.push_back(v);
    ASSERT_EQ(open.size(), 1 + static_cast<std::size_t>(std::count_if(model.begin(), model.end(), [](const Version& v) {
                               return v.tt_e == OPEN_END && v.tt_s() < OPEN_END;
                           })));
    // An entity added outside a batch is not part of any generation: the rewrite counts the
    // committed dictionary only.
    const std::uint32_t committed_entities = store->manifest().dict.records;
    store->add_entity("outside any batch", "L").value();
    const auto report = compact_current_only(*store);
    ASSERT_TRUE(report) << report.error().display();
    EXPECT_EQ(store->manifest().stats.n_entities, committed_entities);
    EXPECT_EQ(store->manifest().dict.records, committed_entities);
    EXPECT_EQ(report->closes_folded, model.size() - open.size());
    EXPECT_EQ(report->edge_rows + report->node_rows, open.size());
    EXPECT_EQ(sorted(stored_versions(*store)), sorted(open));
    EXPECT_EQ(believed_at(stored_versions(*store), OPEN_END), believed_at(before, OPEN_END));
    for (const SegmentEntry& entry : store->manifest().node_store) EXPECT_TRUE(entry.all_current);
    EXPECT_EQ(store->stats_accum().value().n_edge_versions, report->edge_rows);
    EXPECT_TRUE(store->current_only());
    EXPECT_FALSE(store->assert_full_belief(100));
    EXPECT_TRUE(open_ok(dir.path)->current_only());

    // The marker cannot be written: `io`, but the handle is stripped and refuses already.
    TempDir second("vorp-compact");
    auto other = open_ok(second.path);
    const Workload more(*other, 5, 3, false);
    {
        ScopedDurableFault fault([](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::rename && path.filename() == "CURRENT_ONLY" ? EACCES : 0;
        });
        const auto failed = compact_current_only(*other);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().category, Category::Io);
    }
    EXPECT_TRUE(other->current_only());
    EXPECT_FALSE(other->assert_full_belief(0));
    EXPECT_FALSE(fs::exists(second.path / "CURRENT_ONLY"));
    // Running the strip again repairs the marker.
    ASSERT_TRUE(compact_current_only(*other));
    EXPECT_TRUE(fs::exists(second.path / "CURRENT_ONLY"));

    // The root cannot be synced once CURRENT names the stripped generation: the strip has taken
    // effect all the same, so the handle refuses past-time belief and forgets its statistics.
    TempDir third("vorp-compact");
    auto unsynced = open_ok(third.path);
    const Workload third_work(*unsynced, 7, 3, false);
    ASSERT_TRUE(unsynced->stats_accum());
    const std::uint64_t generation = unsynced->manifest().generation;
    {
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::sync_dir && path == third.path ? EIO : 0;
        });
        const auto failed = compact_current_only(*unsynced);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().message,
                  fmt::format("generation {} was published but its directory could not be synced: Input/output error "
                              "(os error 5)",
                              generation + 1));
    }
    EXPECT_EQ(unsynced->manifest().generation, generation + 1);
    EXPECT_TRUE(unsynced->current_only());
    EXPECT_FALSE(unsynced->assert_full_belief(0));
    EXPECT_FALSE(StoreTestAccess::caches(*unsynced).stats.has_value());
    EXPECT_TRUE(open_ok(third.path)->current_only());

    // The same when an exception (an allocation failure) leaves the install after that point.
    TempDir fourth("vorp-compact");
    auto thrown = open_ok(fourth.path);
    const Workload fourth_work(*thrown, 8, 3, false);
    ASSERT_TRUE(thrown->stats_accum());
    {
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) -> int {
            if (op == DurableOp::sync_dir && path == fourth.path) throw std::bad_alloc();
            return 0;
        });
        EXPECT_THROW((void)compact_current_only(*thrown), std::bad_alloc);
    }
    EXPECT_EQ(thrown->manifest(), open_ok(fourth.path)->manifest());
    EXPECT_TRUE(thrown->current_only());
    EXPECT_FALSE(thrown->assert_full_belief(0));
    EXPECT_FALSE(StoreTestAccess::caches(*thrown).stats.has_value());
}

// A crash at each point of the install leaves the old or the new generation, never a mixture;
// a later gc with keep_last 1 removes every old file and the store still reads the same.
TEST(Compaction, CrashPointsLeaveOldOrNewThenGc) {
    for (const char* point : {"compact_before_install", "after_manifest", "after_current"}) {
        SCOPED_TRACE(point);
        TempDir dir("vorp-compact");
        std::vector<Version> before;
        std::uint64_t old_generation = 0;
        {
            auto store = open_ok(dir.path);
            small_layout(*store);
            const Workload work(*store, 3, 5, false);
            before = sorted(stored_versions(*store));
            old_generation = store->manifest().generation;
            EXPECT_DEATH(
                {
                    ::setenv("VORP_CRASH_POINT", point, 1);
                    (void)compact(*store);
                },
                fmt::format("VORP_CRASH_POINT hit: {}", point));
        }
        auto reopened = open_ok(dir.path);
        const bool published = std::string(point) == "after_current";
        EXPECT_EQ(reopened->manifest().generation, old_generation + (published ? 1 : 0));
        EXPECT_EQ(sorted(stored_versions(*reopened)), before);
        if (!published) {
            // The rewrite runs again from the old generation and publishes normally.
            StoreTestAccess::set_segment_target_bytes(*reopened, 400);
            StoreTestAccess::set_lane_stride(*reopened, 8);
            ASSERT_TRUE(compact(*reopened));
        }
        const Manifest compacted = reopened->manifest();
        const auto collected = gc::collect(*reopened, 1);
        ASSERT_TRUE(collected) << collected.error().display();
        EXPECT_EQ(collected->generations_retained, 1u);
        EXPECT_TRUE(fs::is_empty(dir.path / "close"));
        std::set<std::string> live;
        for (const auto* list : {&compacted.node_store, &compacted.edge_lanes.event, &compacted.edge_lanes.interval})
            for (const SegmentEntry& entry : *list) live.insert(entry.file);
        std::set<std::string> on_disk;
        for (const auto& entry : fs::directory_iterator(dir.path / "seg"))
            on_disk.insert("seg/" + entry.path().filename().string());
        EXPECT_EQ(on_disk, live);
        EXPECT_EQ(sorted(stored_versions(*reopened)), before);
        EXPECT_EQ(sorted(stored_versions(*open_ok(dir.path))), before);
    }
}

}  // namespace
}  // namespace vorp
