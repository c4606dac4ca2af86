// Batches on the store handle, commit with its restore on failure, the manifest-chain cadence,
// statistics kept by commits, and the manifest upgrade.
#include "store_support.h"
#include "vorp/store.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/compact.h"
#include "vorp/gc.h"
#include "vorp/manifest_chain.h"
#include "store_access.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::TempDir;
using vorp::testing::open_ok;
using vorp::testing::entity;
using vorp::testing::stored_versions;

constexpr std::uint64_t NODE_VID_BASE = std::uint64_t{1} << 40;

EdgeRow edge(NativeStore& store, Id96 vid, std::int64_t vt_s, std::int64_t vt_e, std::int64_t tt_s,
             const std::string& src, const std::string& dst, std::string rel = "knows") {
    EdgeRow row;
    row.rel_type = std::move(rel);
    row.disc = fmt::format("{}", vid.suffix);
    row.props = "{}";
    row.source = "test";
    row.vid = vid;
    row.vt_s = vt_s;
    row.vt_e = vt_e;
    row.tt_s = tt_s;
    row.src_id = entity(store, src);
    row.dst_id = entity(store, dst);
    return row;
}

NodeRow node(NativeStore& store, Id96 vid, std::int64_t vt_s, std::int64_t tt_s, const std::string& uid) {
    NodeRow row;
    row.label = "thing";
    row.props = "{}";
    row.source = "test";
    row.vid = vid;
    row.vt_s = vt_s;
    row.vt_e = OPEN_END;
    row.tt_s = tt_s;
    row.uid_id = entity(store, uid);
    return row;
}

// Commits a batch at `tt` of `edges` edges (vids (tt, i)) and `nodes` nodes (vids (2^40 + tt, i)).
std::uint64_t commit_sample(NativeStore& store, std::int64_t tt, std::uint32_t edges, std::uint32_t nodes) {
    if (!store.begin(tt)) throw std::runtime_error("begin failed");
    for (std::uint32_t i = 0; i < edges; ++i)
        (void)store.stage_edge(edge(store, {std::uint64_t(tt), i}, i, i + 10, tt, fmt::format("a{}", i % 3), "b"));
    for (std::uint32_t i = 0; i < nodes; ++i)
        (void)store.stage_node(node(store, {NODE_VID_BASE + std::uint64_t(tt), i}, i, tt, fmt::format("n{}", i)));
    auto generation = store.commit(store.manifest().event_log);
    if (!generation) throw std::runtime_error("commit failed: " + generation.error().display());
    return *generation;
}

// ---- batches -------------------------------------------------------------------------------------

TEST(Batch, BeginStageAndRollback) {
    TempDir dir("vorp-batch");
    auto store = open_ok(dir.path);
    EXPECT_EQ(store->stage_edge(EdgeRow{}).error().display(),
              fmt::format("invariant: no batch is open; call begin() first — {}", ENGINE_BUG_REMEDY));
    for (const std::int64_t at_end : {OPEN_END, std::numeric_limits<std::int64_t>::max()})
        EXPECT_EQ(store->begin(at_end).error().display(),
                  fmt::format("invariant: transaction time {} is not below OPEN_END ({}): versions written at it could "
                              "never be read — choose a transaction time below OPEN_END",
                              at_end, OPEN_END));
    EXPECT_FALSE(store->in_batch());
    ASSERT_TRUE(store->begin(-7));  // the genesis generation accepts any time
    EXPECT_EQ(store->begin(3).error().message, "a batch at tt=-7 is already open (single-writer, no nesting)");
    ASSERT_TRUE(store->commit(store->manifest().event_log));
    EXPECT_EQ(store->begin(-7).error().message, "transaction time must advance: batch tt=-7 is not after generation 1's tt=-7");
    ASSERT_TRUE(store->begin(-6));

    // Uids added before or during the batch go with a rollback; committed ones stay.
    entity(*store, "kept");
    ASSERT_TRUE(store->rollback());
    EXPECT_EQ(store->dict().size(), 0u);
    EXPECT_FALSE(store->rollback());
    commit_sample(*store, 1, 0, 1);
    ASSERT_TRUE(store->begin(2));
    entity(*store, "dropped");
    ASSERT_TRUE(store->stage_edge(edge(*store, {9, 9}, 0, 1, 2, "n0", "dropped")));
    ASSERT_TRUE(store->rollback());
    EXPECT_EQ(store->dict().size(), 1u);
    EXPECT_TRUE(store->batch().staging.empty());
    EXPECT_FALSE(store->in_batch());
}

TEST(Batch, CloseAndRetireAgainstStoredAndStaged) {
    TempDir dir("vorp-batch");
    auto store = open_ok(dir.path);
    commit_sample(*store, 1, 4, 2);
    const std::uint64_t edge_segment = store->edge_files().at(0).segment_id;

    ASSERT_TRUE(store->begin(2));
    // Staged and stored with the same vid: only the staged version is closed.
    ASSERT_TRUE(store->stage_edge(edge(*store, {1, 0}, 0, 5, 2, "a0", "b")));
    ASSERT_TRUE(store->stage_edge(edge(*store, {1, 0}, 1, 5, 2, "a0", "b")));
    ASSERT_TRUE(store->close_version(RowKind::Edge, {1, 0}, 5));
    ASSERT_TRUE(store->close_version(RowKind::Edge, {1, 0}, 7));
    EXPECT_EQ(store->batch().vid_closes.at(Id96{1, 0}), 7);
    EXPECT_TRUE(store->batch().closes.empty());
    EXPECT_EQ(store->batch().close_index, nullptr);

    // A stored version: found through the postings, recorded for the close run and visible at once.
    ASSERT_TRUE(store->close_version(RowKind::Edge, {1, 2}, 9));
    ASSERT_EQ(store->batch().closes.size(), 1u);
    EXPECT_EQ(store->batch().closes[0], (StagedClose{edge_segment, 9, 2, true}));
    EXPECT_EQ(store->close_overlay().value()->find(edge_segment, 2), 9);
    EXPECT_EQ(store->postings_stats(RowKind::Edge), (PostingsStats{4, 4, 1}));
    EXPECT_EQ(store->postings_stats(RowKind::Node), (PostingsStats{}));

    EXPECT_EQ(store->close_version(RowKind::Node, {1, 2}, 9).error().display(),
              "not_found: no version 000000000000000100000002 to close");
    EXPECT_EQ(store->close_version(RowKind::Edge, {1, 99}, 9).error().display(),
              "not_found: no version 000000000000000100000063 to close");

    // Retire: both staged rows of the vid and its close go; a second retire finds nothing.
    ASSERT_TRUE(store->retire_version(RowKind::Edge, {1, 0}));
    EXPECT_TRUE(store->batch().staging.edges.empty());
    EXPECT_TRUE(store->batch().vid_closes.empty());
    EXPECT_EQ(store->retire_version(RowKind::Edge, {1, 0}).error().display(),
              "not_found: no version 000000000000000100000000 staged in this batch to retire");
    EXPECT_EQ(store->batch().closes.size(), 1u);  // closes of stored versions stay

    ASSERT_TRUE(store->commit(store->manifest().event_log));
    std::map<Id96, std::int64_t> stored = stored_versions(*store);
    EXPECT_EQ(stored.size(), 6u);
    EXPECT_EQ(stored.at(Id96{1, 2}), 9);
    EXPECT_EQ(stored.at(Id96{1, 1}), OPEN_END);
    EXPECT_EQ(store->manifest().close_runs.at(0).file, "close/000000000002.voc");

    // A close whose committed close index cannot be read records nothing.
    const fs::path run = dir.path / "close/000000000002.voc";
    fs::resize_file(run, fs::file_size(run) - 1);
    auto fresh = open_ok(dir.path);
    ASSERT_TRUE(fresh->begin(3));
    const auto failed = fresh->close_version(RowKind::Edge, {1, 1}, 11);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().category, Category::Corrupt);
    EXPECT_TRUE(fresh->batch().closes.empty());
    EXPECT_EQ(fresh->batch().close_index, nullptr);

    StoreTestAccess::set_current_only(*fresh, true);
    ASSERT_TRUE(fresh->rollback());
    EXPECT_EQ(fresh->close_version(RowKind::Edge, {1, 1}, 11).error().message,
              "a current-only store cannot record a correction: closing a version creates the belief history this "
              "configuration deliberately does not keep");
}

// ---- commit --------------------------------------------------------------------------------------

// Random batches against a model of every version's tt_e; statistics folded by commits must equal
// a fresh walk; every generation reopens with the same digest.
TEST(Commit, RandomBatchesMatchModelAndStatistics) {
    const char* seeds_env = std::getenv("VORP_COMMIT_SEEDS");
    const int seeds = seeds_env ? std::atoi(seeds_env) : 3;
    for (int seed = 0; seed < seeds; ++seed) {
        TempDir dir("vorp-commit");
        std::mt19937_64 rng(seed);
        auto store = open_ok(dir.path);
        std::map<Id96, std::int64_t> model;
        ASSERT_TRUE(store->stats_accum());  // cached from here on; commits fold into it
        for (std::int64_t tt = 1; tt <= 6; ++tt) {
            ASSERT_TRUE(store->begin(tt));
            std::vector<Id96> staged;
            const std::uint32_t edges = rng() % 40, nodes = rng() % 5;
            for (std::uint32_t i = 0; i < edges; ++i) {
                const Id96 vid{std::uint64_t(tt), i};
                const std::int64_t vt_s = std::int64_t(rng() % 3000000000000) - 1000000000000;
                const std::int64_t vt_e = rng() % 4 == 0 ? OPEN_END : vt_s + std::int64_t(rng() % 2000000000000);
                ASSERT_TRUE(store->stage_edge(edge(*store, vid, vt_s, vt_e, tt, fmt::format("s{}", rng() % 9),
                                                   fmt::format("d{}", rng() % 9), rng() % 2 ? "knows" : "likes")));
                model[vid] = OPEN_END;
                staged.push_back(vid);
            }
            for (std::uint32_t i = 0; i < nodes; ++i) {
                const Id96 vid{NODE_VID_BASE + std::uint64_t(tt), i};
                ASSERT_TRUE(store->stage_node(node(*store, vid, i, tt, fmt::format("n{}", rng() % 5))));
                model[vid] = OPEN_END;
            }
            // Close a few stored and staged edge versions.
            for (int k = 0; k < 3 && !model.empty(); ++k) {
                auto it = model.begin();
                std::advance(it, rng() % model.size());
                if (it->first.prefix >= NODE_VID_BASE) continue;
                ASSERT_TRUE(store->close_version(RowKind::Edge, it->first, tt));
                it->second = tt;
            }
            ASSERT_EQ(store->commit(store->manifest().event_log).value(), std::uint64_t(tt));
            ASSERT_EQ(stored_versions(*store), model) << "seed " << seed << " tt " << tt;
            auto reopened = open_ok(dir.path);
            EXPECT_EQ(reopened->manifest(), store->manifest());
            EXPECT_EQ(reopened->stats_accum().value(), store->stats_accum().value());
            EXPECT_EQ(store->last_commit_phases()->segments_named,
                      store->manifest().node_store.size() + store->manifest().edge_lanes.event.size() +
                          store->manifest().edge_lanes.interval.size());
        }
    }
}

// Statistics during an open batch count the staged rows but are never kept: after a rollback they
// equal the committed figures again. A cache filled before the batch began is returned unchanged
// (committed figures only) while the batch is open.
TEST(Commit, StatisticsDuringABatchAreNotCached) {
    TempDir dir("vorp-stats-batch");
    StatsAccum committed;
    {
        auto store = open_ok(dir.path);
        ASSERT_TRUE(store->begin(1));
        ASSERT_TRUE(store->stage_edge(edge(*store, {1, 0}, 10, 20, 1, "a", "b")));
        ASSERT_TRUE(store->stage_node(node(*store, {NODE_VID_BASE, 0}, 10, 1, "a")));
        ASSERT_TRUE(store->commit(store->manifest().event_log));
        committed = store->stats_accum().value();
        EXPECT_EQ(committed.n_edge_versions, 1u);
        EXPECT_EQ(committed.n_node_versions, 1u);
    }
    const auto stage_more = [](NativeStore& store) {
        ASSERT_TRUE(store.begin(2));
        ASSERT_TRUE(store.stage_edge(edge(store, {2, 0}, -5, 50, 2, "a", "c", "likes")));
        ASSERT_TRUE(store.stage_edge(edge(store, {2, 1}, 10, 20, 2, "a", "d")));
        ASSERT_TRUE(store.stage_node(node(store, {NODE_VID_BASE, 1}, 10, 2, "c")));
    };
    {
        auto store = open_ok(dir.path);  // nothing cached yet
        stage_more(*store);
        const StatsAccum during = store->stats_accum().value();
        EXPECT_EQ(during.n_edge_versions, 3u);
        EXPECT_EQ(during.n_node_versions, 2u);
        EXPECT_EQ(during.vt_min, -5);
        EXPECT_EQ(during.vt_max, 50);
        EXPECT_EQ(during.rel_type_counts.at("likes"), 1u);
        EXPECT_EQ(during.max_out_degree(), 3u);
        ASSERT_TRUE(store->rollback());
        EXPECT_EQ(store->stats_accum().value(), committed);
    }
    {
        auto store = open_ok(dir.path);
        ASSERT_EQ(store->stats_accum().value(), committed);  // cached before the batch
        stage_more(*store);
        EXPECT_EQ(store->stats_accum().value(), committed);
    }
}

TEST(Commit, CheckpointCadenceAndEmptyBatches) {
    TempDir dir("vorp-commit");
    ::setenv("VORP_MANIFEST_CHECKPOINT_EVERY", "2", 1);
    auto store = open_ok(dir.path);
    std::vector<bool> checkpoints;
    for (std::int64_t tt = 1; tt <= 5; ++tt) {
        commit_sample(*store, tt, tt % 2 ? 3 : 0, 0);
        checkpoints.push_back(store->last_commit_phases()->manifest_checkpoint);
        EXPECT_EQ(store->checkpoint_generation(), std::uint64_t(tt - tt % 2));
        auto reopened = open_ok(dir.path);
        EXPECT_EQ(reopened->manifest().manifest_sha, store->manifest().manifest_sha);
        EXPECT_EQ(reopened->checkpoint_generation(), store->checkpoint_generation());
    }
    ::unsetenv("VORP_MANIFEST_CHECKPOINT_EVERY");
    EXPECT_EQ(checkpoints, (std::vector<bool>{false, true, false, true, false}));
    // An empty batch publishes a generation naming the same segments.
    const auto segments = store->manifest().edge_lanes.event;
    commit_sample(*store, 6, 0, 0);
    EXPECT_EQ(store->manifest().edge_lanes.event, segments);
    EXPECT_EQ(store->manifest().generation, 6u);
}

// What a failed commit must leave: the handle exactly as before with the batch open, the store on
// disk at the old generation; a retry then succeeds over whatever the attempt left.
struct FaultCase {
    std::string name;
    std::function<void(const fs::path& root, const NativeStore& store)> arm;
    std::function<void(const fs::path& root)> disarm;
    std::string message;  // a part of the error's display text
    bool stats_dropped = false;
};

int fail_on(DurableOp want_op, const fs::path& want, DurableOp op, const fs::path& path, int errnum) {
    return op == want_op && path == want ? errnum : 0;
}

TEST(Commit, FailuresRestoreTheHandleAndRetrySucceeds) {
    const auto hook = [](DurableFaultHook h) { set_durable_fault_hook(std::move(h)); };
    const auto no_hook = [](const fs::path&) { set_durable_fault_hook({}); };
    const auto manifest_tmp = [](const fs::path& root) { return root / "manifests/00000000000000000003.tmp"; };
    const std::vector<FaultCase> cases = {
        {"manifest fills the disk part-way",
         [&](const fs::path& root, const NativeStore&) {
             hook([tmp = manifest_tmp(root)](DurableOp op, const fs::path& path, std::uint64_t written, std::size_t& length) {
                 if (op != DurableOp::write || path != tmp) return 0;
                 if (written == 0) {
                     length /= 2;
                     return 0;
                 }
                 return ENOSPC;
             });
         },
         no_hook, "No space left on device (os error 28)", true},
        {"manifest sync",
         [&](const fs::path& root, const NativeStore&) {
             hook([tmp = manifest_tmp(root)](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
                 return fail_on(DurableOp::sync_file, tmp, op, path, EIO);
             });
         },
         no_hook, "Input/output error (os error 5)", true},
        {"manifest rename",
         [&](const fs::path& root, const NativeStore&) {
             hook([target = root / "manifests/00000000000000000003.json"](DurableOp op, const fs::path& path,
                                                                           std::uint64_t, std::size_t&) {
                 return fail_on(DurableOp::rename, target, op, path, EXDEV);
             });
         },
         no_hook, "(os error 18)", true},
        {"CURRENT write",
         [&](const fs::path& root, const NativeStore&) {
             hook([tmp = root / "CURRENT.tmp"](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
                 return fail_on(DurableOp::write, tmp, op, path, ENOSPC);
             });
         },
         no_hook, "No space left on device", true},
        {"CURRENT rename",
         [&](const fs::path& root, const NativeStore&) {
             hook([target = root / "CURRENT"](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
                 return fail_on(DurableOp::rename, target, op, path, EIO);
             });
         },
         no_hook, "Input/output error", true},
        {"seg directory sync",
         [&](const fs::path& root, const NativeStore&) {
             hook([dir = root / "seg"](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
                 return fail_on(DurableOp::sync_dir, dir, op, path, EIO);
             });
         },
         no_hook, "Input/output error", false},
        {"close directory sync",
         [&](const fs::path& root, const NativeStore&) {
             hook([dir = root / "close"](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
                 return fail_on(DurableOp::open_dir, dir, op, path, EMFILE);
             });
         },
         no_hook, "(os error 24)", false},
        {"segment file",
         [](const fs::path& root, const NativeStore& store) {
             fs::create_directories(root / fmt::format("seg/{:012}.vos.tmp", store.manifest().next_segment_id));
         },
         [](const fs::path& root) { fs::remove_all(root / "seg/000000000003.vos.tmp"); }, "Is a directory", false},
        {"close-run file",
         [](const fs::path& root, const NativeStore&) { fs::create_directories(root / "close/000000000003.voc.tmp"); },
         [](const fs::path& root) { fs::remove_all(root / "close/000000000003.voc.tmp"); }, "Is a directory", false},
        {"dictionary",
         [](const fs::path& root, const NativeStore&) {
             fs::rename(root / "dict.log", root / "dict.saved");
             fs::create_directories(root / "dict.log");
         },
         [](const fs::path& root) {
             fs::remove_all(root / "dict.log");
             fs::rename(root / "dict.saved", root / "dict.log");
         },
         "Is a directory", true},
    };
    for (const FaultCase& fault : cases) {
        SCOPED_TRACE(fault.name);
        TempDir dir("vorp-fault");
        const fs::path root = dir.path;
        auto store = open_ok(root);
        commit_sample(*store, 1, 5, 2);
        commit_sample(*store, 2, 5, 0);
        ASSERT_TRUE(store->stats_accum());
        const auto phases_before = store->last_commit_phases();

        ASSERT_TRUE(store->begin(3));
        for (std::uint32_t i = 0; i < 6; ++i)
            ASSERT_TRUE(store->stage_edge(edge(*store, {3, i}, i, OPEN_END, 3, "fresh", "b")));
        ASSERT_TRUE(store->stage_node(node(*store, {NODE_VID_BASE + 3, 0}, 0, 3, "fresh")));
        ASSERT_TRUE(store->close_version(RowKind::Edge, {1, 1}, 3));
        const Manifest manifest_before = store->manifest();
        const auto merkle_before = store->merkle();
        const std::size_t dict_before = store->dict().size();

        fault.arm(root, *store);
        const auto failed = store->commit(EventLogRef{5, "x"});
        fault.disarm(root);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().category, Category::Io);
        EXPECT_NE(failed.error().display().find(fault.message), std::string::npos) << failed.error().display();
        EXPECT_EQ(store->manifest(), manifest_before);
        EXPECT_EQ(store->merkle(), merkle_before);
        EXPECT_TRUE(store->in_batch());
        EXPECT_EQ(store->batch().staging.edges.size(), 6u);
        EXPECT_EQ(store->batch().closes.size(), 1u);
        EXPECT_NE(store->batch().close_index, nullptr);
        EXPECT_EQ(store->last_commit_phases(), phases_before);
        EXPECT_EQ(store->pinned_generation(), 2u);
        EXPECT_EQ(store->dict().size(), dict_before);
        EXPECT_EQ(StoreTestAccess::caches(*store).stats.has_value(), !fault.stats_dropped);
        EXPECT_EQ(open_ok(root)->manifest(), manifest_before);

        ASSERT_EQ(store->commit(EventLogRef{5, "x"}).value(), 3u);
        auto reopened = open_ok(root);
        EXPECT_EQ(reopened->manifest(), store->manifest());
        EXPECT_EQ(reopened->manifest().event_log, (EventLogRef{5, "x"}));
        EXPECT_EQ(stored_versions(*reopened).size(), 5u + 2u + 5u + 6u + 1u);
        EXPECT_EQ(stored_versions(*reopened).at(Id96{1, 1}), 3);
        EXPECT_EQ(reopened->stats_accum().value(), store->stats_accum().value());
    }
}

TEST(Commit, DirectorySyncAfterCurrentStillMovesTheHandle) {
    TempDir dir("vorp-fault");
    auto store = open_ok(dir.path);
    ASSERT_TRUE(store->begin(1));
    std::string root_text = dir.path.string();
    {
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::sync_dir && path == dir.path ? EIO : 0;
        });
        const auto result = store->commit(store->manifest().event_log);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message,
                  "generation 1 was published but its directory could not be synced: Input/output error (os error 5)");
    }
    EXPECT_FALSE(store->in_batch());
    EXPECT_EQ(store->manifest().generation, 1u);
    EXPECT_EQ(store->pinned_generation(), 1u);
    EXPECT_EQ(open_ok(dir.path)->manifest(), store->manifest());
}

// Runs `body` with the fault seam throwing std::bad_alloc (an allocation failure) at its
// `throw_at`-th step; whether it threw.
bool throws_at(std::size_t throw_at, const std::function<void()>& body) {
    std::size_t steps = 0;
    ScopedDurableFault fault([&](DurableOp, const fs::path&, std::uint64_t, std::size_t&) -> int {
        if (steps++ == throw_at) throw std::bad_alloc();
        return 0;
    });
    try {
        body();
        return false;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

// An exception leaving a durable step (an allocation failure, thrown here by the fault seam at
// the n-th step, for every n in turn) is a failed commit: before CURRENT is renamed the handle is
// put back, batch open, and the retry succeeds; after it, the handle has moved with the store.
TEST(Commit, ExceptionsAtEveryStepLeaveHandleAndStoreAgreeing) {
    for (std::size_t throw_at = 0;; ++throw_at) {
        SCOPED_TRACE(throw_at);
        TempDir dir("vorp-throw");
        auto store = open_ok(dir.path);
        commit_sample(*store, 1, 5, 2);
        ASSERT_TRUE(store->stats_accum());
        ASSERT_TRUE(store->begin(2));
        for (std::uint32_t i = 0; i < 4; ++i)
            ASSERT_TRUE(store->stage_edge(edge(*store, {2, i}, i, OPEN_END, 2, "fresh", "b")));
        ASSERT_TRUE(store->close_version(RowKind::Edge, {1, 1}, 2));
        const Manifest before = store->manifest();
        const auto merkle_before = store->merkle();

        if (!throws_at(throw_at, [&] { ASSERT_EQ(store->commit(EventLogRef{5, "x"}).value(), 2u); }))
            break;  // every step has thrown once
        if (store->manifest().generation == 1) {
            EXPECT_EQ(store->manifest(), before);
            EXPECT_EQ(store->merkle(), merkle_before);
            EXPECT_TRUE(store->in_batch());
            EXPECT_EQ(store->pinned_generation(), 1u);
            EXPECT_EQ(open_ok(dir.path)->manifest(), before);
            ASSERT_EQ(store->commit(EventLogRef{5, "x"}).value(), 2u);
        } else {
            EXPECT_FALSE(store->in_batch());
            EXPECT_EQ(store->pinned_generation(), 2u);
            EXPECT_EQ(pinned_generations(store->pin_path()), (std::set<std::uint64_t>{2}));
        }
        auto reopened = open_ok(dir.path);
        EXPECT_EQ(reopened->manifest(), store->manifest());
        EXPECT_EQ(stored_versions(*reopened).size(), 5u + 2u + 4u);
        EXPECT_EQ(stored_versions(*reopened).at(Id96{1, 1}), 2);
        EXPECT_EQ(reopened->stats_accum().value(), store->stats_accum().value());
        ASSERT_LT(throw_at, 100u);
    }
}

// ---- handles behind the store --------------------------------------------------------------------

// Every file under the root with its bytes.
std::map<std::string, std::string> store_files(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = testing::read_text(entry.path());
    return files;
}

std::optional<EngineError> error_of(const auto& result) {
    if (result) return std::nullopt;
    return result.error();
}

void write_legacy_generation(const fs::path& root, std::uint32_t format, const Manifest& genesis);

// A handle opened before another handle committed (or before its latest commit) must not publish
// or collect over the newer generation: every writing operation refuses, and nothing changes.
TEST(Commit, AHandleBehindTheStoreChangesNothing) {
    using Operation = std::function<std::optional<EngineError>(NativeStore&)>;
    const std::vector<std::pair<std::string, Operation>> operations = {
        {"commit",
         [](NativeStore& store) {
             EXPECT_TRUE(store.begin(50));
             EXPECT_TRUE(store.stage_edge(edge(store, {50, 0}, 0, 1, 50, "late", "b")));
             return error_of(store.commit(store.manifest().event_log));
         }},
        {"compact", [](NativeStore& store) { return error_of(compact(store)); }},
        {"compact_current_only", [](NativeStore& store) { return error_of(compact_current_only(store)); }},
        {"gc", [](NativeStore& store) { return error_of(gc::collect(store, 1)); }},
        {"upgrade_manifests", [](NativeStore& store) { return error_of(store.upgrade_manifests()); }},
    };
    for (const bool opened_after_a_commit : {false, true}) {
        for (const auto& [name, operation] : operations) {
            SCOPED_TRACE(fmt::format("{}, opened after a commit: {}", name, opened_after_a_commit));
            TempDir dir("vorp-behind");
            const bool legacy = name == "upgrade_manifests";
            auto writer = open_ok(dir.path);
            if (legacy) write_legacy_generation(dir.path, 2, writer->manifest());
            writer = open_ok(dir.path);
            if (opened_after_a_commit && !legacy) commit_sample(*writer, 1, 3, 1);
            auto behind = open_ok(dir.path);
            if (legacy) {
                ASSERT_TRUE(writer->upgrade_manifests());
            } else {
                commit_sample(*writer, opened_after_a_commit ? 2 : 1, 3, 1);
            }
            const Manifest held = behind->manifest();
            const auto files_before = store_files(dir.path);

            const std::optional<EngineError> refused = operation(*behind);
            ASSERT_TRUE(refused.has_value());
            EXPECT_EQ(refused->display(),
                      fmt::format("invariant: this handle is at generation {} but the store is at generation {}: "
                                  "another handle has written to it — open the store again",
                                  held.generation, writer->manifest().generation));
            EXPECT_EQ(store_files(dir.path), files_before);
            EXPECT_EQ(behind->manifest(), held);
            EXPECT_FALSE(behind->current_only());
            EXPECT_EQ(behind->in_batch(), name == "commit");  // the batch stays open for a rollback
            if (behind->in_batch()) {
                EXPECT_TRUE(behind->rollback());
            }
            EXPECT_EQ(open_ok(dir.path)->manifest(), writer->manifest());
        }
    }
}

// ---- install and upgrade -------------------------------------------------------------------------

// A store whose current generation 1 was written by an older engine: a checkpoint of format
// `format` (no "kind", the digest the short sha of the compact record with an empty sha).
void write_legacy_generation(const fs::path& root, std::uint32_t format, const Manifest& genesis) {
    Manifest legacy = genesis.successor(42);
    legacy.format = format;
    legacy.manifest_sha = legacy.legacy_body_sha();
    std::ofstream(root / "manifests/00000000000000000001.json", std::ios::binary) << to_compact_json(legacy);
    std::ofstream(root / "CURRENT", std::ios::binary) << "1 " << legacy.manifest_sha << "\n";
}

TEST(Upgrade, FormatOneAndTwoBecomeWritable) {
    for (const std::uint32_t format : {1u, 2u}) {
        TempDir dir("vorp-upgrade");
        write_legacy_generation(dir.path, format, open_ok(dir.path)->manifest());
        auto store = open_ok(dir.path);
        ASSERT_EQ(store->manifest().format, format);
        ASSERT_TRUE(store->begin(43));  // begin does not check the format; commit does
        EXPECT_EQ(store->commit(store->manifest().event_log).error(), read_only_format_error(format));
        EXPECT_EQ(store->upgrade_manifests().error().message, "cannot upgrade manifests while a batch is open");
        ASSERT_TRUE(store->rollback());
        EXPECT_EQ(store->install(store->manifest()).error(), read_only_format_error(format));

        const UpgradeReport report = store->upgrade_manifests().value();
        EXPECT_EQ(report, (UpgradeReport{true, format, 3, 2, store->manifest().manifest_sha}));
        EXPECT_EQ(store->manifest().created_tt, 42);
        EXPECT_EQ(store->checkpoint_generation(), 2u);
        EXPECT_EQ(store->pinned_generation(), 2u);
        EXPECT_EQ(store->upgrade_manifests().value(), (UpgradeReport{false, 3, 3, 2, store->manifest().manifest_sha}));
        auto reopened = open_ok(dir.path);
        EXPECT_EQ(reopened->manifest(), store->manifest());
        EXPECT_EQ(commit_sample(*reopened, 43, 2, 0), 3u);
        EXPECT_EQ(stored_versions(*reopened).size(), 2u);
    }
}

// Once the rename of CURRENT has succeeded the upgrade is published: a failed root sync after it
// is reported, but the handle has moved. A crash after the manifest leaves the old read-only
// generation; after CURRENT, the upgraded one.
TEST(Upgrade, PublishPointsDecideOldOrNew) {
    {
        TempDir dir("vorp-upgrade");
        write_legacy_generation(dir.path, 2, open_ok(dir.path)->manifest());
        auto store = open_ok(dir.path);
        ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
            return op == DurableOp::sync_dir && path == dir.path ? EIO : 0;
        });
        EXPECT_EQ(store->upgrade_manifests().error().display(),
                  "io: generation 2 was published but its directory could not be synced: Input/output error (os error "
                  "5) [file=" + dir.path.string() + "]");
        EXPECT_EQ(store->manifest().generation, 2u);
        EXPECT_EQ(store->manifest().format, 3u);
        EXPECT_EQ(store->pinned_generation(), 2u);
        EXPECT_EQ(open_ok(dir.path)->manifest(), store->manifest());
    }
    for (const char* point : {"after_manifest", "after_current"}) {
        SCOPED_TRACE(point);
        TempDir dir("vorp-upgrade");
        write_legacy_generation(dir.path, 1, open_ok(dir.path)->manifest());
        EXPECT_DEATH(
            {
                ::setenv("VORP_CRASH_POINT", point, 1);
                (void)open_ok(dir.path)->upgrade_manifests();
            },
            fmt::format("VORP_CRASH_POINT hit: {}", point));
        auto store = open_ok(dir.path);
        if (std::string_view(point) == "after_manifest") {
            EXPECT_EQ(store->manifest().generation, 1u);
            EXPECT_EQ(store->manifest().format, 1u);
            ASSERT_TRUE(store->begin(43));
            EXPECT_EQ(store->commit(store->manifest().event_log).error(), read_only_format_error(1));
        } else {
            EXPECT_EQ(store->manifest().generation, 2u);
            EXPECT_EQ(store->manifest().format, 3u);
            EXPECT_EQ(commit_sample(*store, 43, 1, 0), 3u);
        }
    }
}

// The same for the upgrade, which publishes through install's path: an exception before CURRENT is
// renamed leaves a read-only handle at the old generation, one after it an upgraded handle.
TEST(Upgrade, ExceptionsAtEveryStepLeaveHandleAndStoreAgreeing) {
    for (std::size_t throw_at = 0;; ++throw_at) {
        SCOPED_TRACE(throw_at);
        TempDir dir("vorp-upgrade");
        write_legacy_generation(dir.path, 2, open_ok(dir.path)->manifest());
        auto store = open_ok(dir.path);
        const Manifest before = store->manifest();
        if (!throws_at(throw_at, [&] { ASSERT_TRUE(store->upgrade_manifests()); })) break;
        if (store->manifest().generation == 1) {
            EXPECT_EQ(store->manifest(), before);
            EXPECT_FALSE(store->merkle().has_value());
            EXPECT_EQ(store->upgrade_manifests().value().generation, 2u);
        }
        EXPECT_EQ(store->manifest().format, 3u);
        EXPECT_EQ(store->pinned_generation(), 2u);
        EXPECT_EQ(store->merkle(), ManifestMerkle::from_manifest(store->manifest()));
        EXPECT_EQ(open_ok(dir.path)->manifest(), store->manifest());
        ASSERT_LT(throw_at, 100u);
    }
}

TEST(Install, PublishesACheckpointAndAdopts) {
    TempDir dir("vorp-install");
    auto store = open_ok(dir.path);
    commit_sample(*store, 1, 3, 0);
    Manifest next = store->manifest().successor(2);
    next.seal();
    ASSERT_TRUE(store->begin(2));
    EXPECT_EQ(store->install(next).error().message, "cannot publish a generation while a batch is open");
    ASSERT_TRUE(store->rollback());
    EXPECT_EQ(store->install(next).value(), 2u);
    EXPECT_EQ(store->checkpoint_generation(), 2u);
    EXPECT_EQ(store->merkle(), ManifestMerkle::from_manifest(next));
    EXPECT_EQ(pinned_generations(store->pin_path()), (std::set<std::uint64_t>{2}));
    EXPECT_EQ(open_ok(dir.path)->manifest(), next);
}

}  // namespace
}  // namespace vorp
