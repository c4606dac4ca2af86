#include "store_support.h"
#include "vorp/compact.h"
#include "vorp/gc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/manifest_chain.h"
#include "vorp/store.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::TempDir;
using vorp::testing::write_text;
using vorp::testing::open_ok;

std::set<std::string> names_in(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

std::uint64_t size_of(const fs::path& path) { return fs::file_size(path); }

// A store built generation by generation through publish, every segment and close-run file the
// manifests name present on disk (garbage collection judges files by name only, so their content
// is filler of varying length).
struct ChainFixture {
    fs::path root;
    std::vector<Manifest> generations;  // index = generation
    std::uint64_t checkpoint = 0;

    explicit ChainFixture(fs::path store_root) : root(std::move(store_root)) {
        generations.push_back(open_ok(root)->manifest());
    }

    // The next generation: `segments` new node or edge segments and, when `close_run`, a close run.
    Manifest make_next(std::mt19937_64& rng, std::uint64_t segments, bool close_run) {
        const Manifest& parent = generations.back();
        Manifest next = parent.successor(parent.created_tt + 1);
        for (std::uint64_t i = 0; i < segments; ++i) {
            SegmentEntry entry;
            entry.file = fmt::format("seg/{:012}.vos", next.next_segment_id++);
            entry.rows = 1;
            entry.key_lo = {0, std::string(24, '0')};
            entry.key_hi = entry.key_lo;
            write_text(root / entry.file, std::string(1 + rng() % 200, 's'));
            if (rng() % 2 == 0)
                next.node_store.push_back(std::move(entry));
            else
                next.edge_lanes.event.push_back(std::move(entry));
        }
        if (close_run) {
            CloseRunRef run{fmt::format("close/{:012}.voc", next.generation), 1, ""};
            write_text(root / run.file, std::string(1 + rng() % 100, 'c'));
            next.close_runs.push_back(std::move(run));
        }
        next.seal();
        return next;
    }

    void publish_next(std::mt19937_64& rng, std::uint64_t segments, bool close_run, std::uint64_t every) {
        const Manifest& parent = generations.back();
        Manifest next = make_next(rng, segments, close_run);
        const ManifestMerkle merkle = ManifestMerkle::from_manifest(parent);
        const DeltaBase base{parent.manifest_sha, parent.generation, merkle.lens(), parent.widths, merkle};
        auto published = publish(root, base, checkpoint, next, false, every);
        if (!published || published->unsynced) throw std::runtime_error("publish failed");
        checkpoint = published->stats.checkpoint_generation;
        generations.push_back(std::move(next));
    }
};

std::set<std::string> files_of(const Manifest& manifest) {
    std::set<std::string> files;
    for (const auto* list : {&manifest.node_store, &manifest.edge_lanes.event, &manifest.edge_lanes.interval})
        for (const SegmentEntry& entry : *list) files.insert(entry.file);
    for (const CloseRunRef& run : manifest.close_runs) files.insert(run.file);
    return files;
}

// Seeded property: after a collection, exactly the retained generations' chain files remain and
// each rebuilds to the manifest it was published as; exactly their files remain in seg/ and
// close/; strays are treated as their kind says; the counts add up; a second run finds nothing.
TEST(GarbageCollection, RetentionAndPinningAgainstAModel) {
    const char* seeds_env = std::getenv("VORP_GC_SEEDS");
    const int seeds = seeds_env != nullptr ? std::atoi(seeds_env) : 40;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(fmt::format("seed {}", seed));
        std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
        TempDir dir("vorp-gc");
        ChainFixture chain(dir.path);
        const std::uint64_t every = 1 + rng() % 5;
        const std::uint64_t n_generations = rng() % 12;
        for (std::uint64_t g = 0; g < n_generations; ++g) chain.publish_next(rng, rng() % 3, rng() % 3 == 0, every);
        const std::uint64_t current = chain.generations.size() - 1;

        // Strays: an orphan segment and close run, the leftover manifest (and segment) of a commit
        // that failed before CURRENT moved, temporaries in every directory, an idx file, a name
        // that is not UTF-8.
        write_text(dir.path / "seg/999999999990.vos", "orphan");
        write_text(dir.path / "close/999999999990.voc", "orphan run");
        write_text(dir.path / "seg/999999999991.vos.tmp", "half a segment");
        write_text(dir.path / "idx/anything.vos", "idx");
        write_text(dir.path / "seg/\xff\xfe.vos", "not utf-8");
        write_text(dir.path / "manifests/00000000000000000077.tmp", "interrupted");
        const Manifest leftover = chain.make_next(rng, 1, false);
        write_text(manifest_path(dir.path, leftover.generation), checkpoint_json(leftover));

        auto handle = open_ok(dir.path);
        ASSERT_EQ(handle->manifest(), chain.generations.back());
        const std::uint64_t checkpoint_before = handle->checkpoint_generation();
        // Other handles of the process hold a few older generations.
        std::set<std::uint64_t> pinned = {current};
        for (std::uint64_t g = 0; g < current; ++g)
            if (rng() % 5 == 0) pinned.insert(g);
        for (std::uint64_t g : pinned)
            if (g != current) pin(handle->pin_path(), g);

        const std::uint64_t keep_last = rng() % (current + 3);
        const std::uint64_t window = std::max<std::uint64_t>(keep_last, 1) - 1;
        const std::uint64_t cutoff = current > window ? current - window : 0;
        std::set<std::uint64_t> retained;
        for (std::uint64_t g = 0; g <= current; ++g)
            if (g >= cutoff || pinned.contains(g)) retained.insert(g);

        std::set<std::string> live = files_of(leftover);
        for (std::uint64_t g : retained) live.merge(files_of(chain.generations[g]));
        GcReport expected;
        expected.generations_retained = retained.size() + 1;
        expected.manifests_removed = current + 1 - retained.size();
        expected.bytes_reclaimed = size_of(dir.path / "manifests/00000000000000000077.tmp");
        for (std::uint64_t g = 0; g <= current; ++g)
            if (!retained.contains(g)) expected.bytes_reclaimed += size_of(manifest_path(dir.path, g));
        for (const auto& [sub, counter] : {std::pair{"seg", &expected.segments_removed},
                                           std::pair{"close", &expected.close_runs_removed}}) {
            for (const std::string& name : names_in(dir.path / sub)) {
                const std::string relative = fmt::format("{}/{}", sub, name);
                if (!name.ends_with(sub == std::string("seg") ? ".vos" : ".voc") || live.contains(relative) ||
                    name.starts_with("\xff"))
                    continue;
                ++*counter;
                // Rewrites happen before removals but never change a segment's size.
                expected.bytes_reclaimed += size_of(dir.path / relative);
            }
        }
        // A retained delta rewritten as a checkpoint changes size; account for it after the run.
        std::map<std::uint64_t, bool> was_delta;
        for (std::uint64_t g : retained) was_delta[g] = read_record(dir.path, g).value().is_delta();

        const auto report = gc::collect(*handle, keep_last);
        ASSERT_TRUE(report) << report.error().display();
        EXPECT_EQ(*report, expected);

        std::set<std::string> expected_manifests = {fmt::format("{:020}.json", leftover.generation)};
        for (std::uint64_t g : retained) expected_manifests.insert(fmt::format("{:020}.json", g));
        EXPECT_EQ(names_in(dir.path / "manifests"), expected_manifests);
        for (std::uint64_t g : retained) {
            const auto rebuilt = reconstruct(dir.path, g);
            ASSERT_TRUE(rebuilt) << g << ": " << rebuilt.error().display();
            EXPECT_EQ(rebuilt->manifest, chain.generations[g]);
            // A delta stays one exactly when its parent stays.
            const bool parent_kept = g > 0 && retained.contains(g - 1);
            EXPECT_EQ(read_record(dir.path, g).value().is_delta(), was_delta[g] && parent_kept) << g;
            for (const std::string& file : files_of(chain.generations[g])) EXPECT_TRUE(fs::exists(dir.path / file));
        }
        std::set<std::string> expected_seg;
        for (const std::string& file : live)
            if (file.starts_with("seg/")) expected_seg.insert(file.substr(4));
        expected_seg.insert("999999999991.vos.tmp");
        expected_seg.insert("\xff\xfe.vos");
        EXPECT_EQ(names_in(dir.path / "seg"), expected_seg);
        for (const std::string& name : names_in(dir.path / "close")) EXPECT_TRUE(live.contains("close/" + name));
        EXPECT_TRUE(fs::exists(dir.path / "idx/anything.vos"));

        // The handle is where it was; the store reopens there; a second run removes nothing.
        EXPECT_EQ(handle->manifest(), chain.generations.back());
        EXPECT_EQ(handle->checkpoint_generation(), checkpoint_before);
        EXPECT_EQ(open_ok(dir.path)->manifest(), chain.generations.back());
        const auto again = gc::collect(*handle, keep_last);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, (GcReport{0, 0, 0, 0, retained.size() + 1}));
        for (std::uint64_t g : pinned)
            if (g != current) unpin(handle->pin_path(), g);
    }
}

TEST(GarbageCollection, RefusalsAndUnreadableChainFiles) {
    TempDir dir("vorp-gc");
    std::mt19937_64 rng(7);
    ChainFixture chain(dir.path);
    for (int g = 0; g < 3; ++g) chain.publish_next(rng, 1, false, 512);
    auto handle = open_ok(dir.path);

    // Another writer of the same store (any handle of the process): refused, nothing touched.
    {
        auto other = WriterGuard::acquire(fs::path(handle->pin_path().string() + "//"));
        ASSERT_TRUE(other);
        const auto refused = gc::collect(*handle, 1);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().display(),
                  "invariant: another handle is writing to this store — retry when the other writer has finished");
        EXPECT_EQ(names_in(dir.path / "manifests").size(), 4u);
    }
    EXPECT_FALSE(writer_active(handle->pin_path()));

    // A stray .json that is no chain record fails every run at the live-set step, at that file,
    // after the removals of collected generations.
    write_text(dir.path / "manifests/notes.json", "{\"hello\": 1}");
    write_text(dir.path / "manifests/notes.txt", "ignored");
    const auto stray = gc::collect(*handle, 1);
    ASSERT_FALSE(stray);
    EXPECT_EQ(stray.error().category, Category::Corrupt);
    EXPECT_EQ(stray.error().location.file, dir.path / "manifests/notes.json");
    EXPECT_EQ(names_in(dir.path / "manifests"),
              (std::set<std::string>{fmt::format("{:020}.json", 3), "notes.json", "notes.txt"}));
    EXPECT_FALSE(writer_active(handle->pin_path()));
    fs::remove(dir.path / "manifests/notes.json");
    EXPECT_TRUE(gc::collect(*handle, 1));

    // A store written by an older engine is read-only: refused before anything is read.
    TempDir legacy_dir("vorp-gc");
    Manifest legacy = open_ok(legacy_dir.path)->manifest();
    legacy.format = 2;
    legacy.generation = 1;
    legacy.parent = 0;
    legacy.seal();
    write_text(manifest_path(legacy_dir.path, 1), checkpoint_json(legacy));
    write_text(legacy_dir.path / "CURRENT", fmt::format("1 {}\n", legacy.manifest_sha));
    write_text(legacy_dir.path / "seg/000000000005.vos", "orphan");
    auto old = open_ok(legacy_dir.path);
    const auto read_only = gc::collect(*old, 1);
    ASSERT_FALSE(read_only);
    EXPECT_EQ(read_only.error(), read_only_format_error(2));
    EXPECT_TRUE(fs::exists(legacy_dir.path / "seg/000000000005.vos"));
    EXPECT_TRUE(fs::exists(manifest_path(legacy_dir.path, 0)));
}

// A crash at the first removal leaves the rewritten checkpoints and nothing removed; the store
// opens, every generation is readable, and the next run finishes the job.
TEST(GarbageCollection, CrashAtDeletionPointThenRerun) {
    TempDir dir("vorp-gc");
    std::mt19937_64 rng(11);
    ChainFixture chain(dir.path);
    for (int g = 0; g < 6; ++g) chain.publish_next(rng, 2, g % 2 == 0, 512);
    write_text(dir.path / "seg/999999999990.vos", "orphan");
    const std::set<std::string> seg_before = names_in(dir.path / "seg");
    {
        auto handle = open_ok(dir.path);
        ASSERT_TRUE(read_record(dir.path, 5).value().is_delta());
        EXPECT_DEATH(
            {
                ::setenv("VORP_CRASH_POINT", "gc_mid_delete", 1);
                (void)gc::collect(*handle, 2);
            },
            "VORP_CRASH_POINT hit: gc_mid_delete");
    }
    // The child rewrote generation 5 (its parent goes) and removed nothing.
    EXPECT_TRUE(read_record(dir.path, 5).value().is_checkpoint());
    EXPECT_TRUE(read_record(dir.path, 6).value().is_delta());
    EXPECT_EQ(names_in(dir.path / "manifests").size(), 7u);
    EXPECT_EQ(names_in(dir.path / "seg"), seg_before);
    for (std::uint64_t g = 0; g <= 6; ++g) EXPECT_EQ(reconstruct(dir.path, g).value().manifest, chain.generations[g]);

    auto handle = open_ok(dir.path);
    EXPECT_EQ(handle->manifest(), chain.generations[6]);
    const auto report = gc::collect(*handle, 2);
    ASSERT_TRUE(report) << report.error().display();
    EXPECT_EQ(report->manifests_removed, 5u);
    EXPECT_EQ(report->generations_retained, 2u);
    std::set<std::string> live = files_of(chain.generations[6]);
    live.merge(files_of(chain.generations[5]));
    for (const std::string& name : names_in(dir.path / "seg")) EXPECT_TRUE(live.contains("seg/" + name)) << name;
    EXPECT_FALSE(fs::exists(dir.path / "seg/999999999990.vos"));
    EXPECT_EQ(open_ok(dir.path)->manifest(), chain.generations[6]);
}

}  // namespace
}  // namespace vorp

namespace vorp {
namespace {

// Two handles on one store driven from two threads: one commits batch after batch, the other
// collects with keep_last 1 as fast as it can. Each collection either runs while no commit is
// writing, or is refused with the writer error, or (once a commit has moved the store past the
// collector's handle) with the error of a handle that is behind, after which the collector opens
// the store again; no file a committed generation names is ever removed, and the store reads back
// every committed row.
TEST(GarbageCollection, CollectorAndCommitterOnTwoHandles) {
    TempDir dir("vorp-gc");
    auto writer = open_ok(dir.path);
    auto collector = open_ok(dir.path);
    writer->add_entity("a", "L").value();
    writer->add_entity("b", "L").value();
    constexpr int BATCHES = 60;
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::atomic<int> ran{0};
    std::string failure;
    std::thread collecting([&] {
        while (!done.load()) {
            const auto report = gc::collect(*collector, 1);
            if (report) {
                ++ran;
            } else if (report.error().message == "another handle is writing to this store") {
                ++refused;
                std::this_thread::yield();
            } else if (report.error().message.ends_with("another handle has written to it")) {
                auto again = NativeStore::open(dir.path.string());
                if (!again) {
                    failure = again.error().display();
                    return;
                }
                collector = std::move(*again);
            } else {
                failure = report.error().display();
                return;
            }
        }
    });
    std::uint64_t rows = 0;
    for (int batch = 1; batch <= BATCHES && failure.empty(); ++batch) {
        ASSERT_TRUE(writer->begin(batch));
        for (int r = 0; r < 3; ++r, ++rows)
            ASSERT_TRUE(writer->stage_edge(EdgeRow{"R", "", "{}", "s", std::nullopt,
                                                   Id96{1, static_cast<std::uint32_t>(rows)}, r, r + 1, batch, 0, 1}));
        const auto committed = writer->commit(writer->manifest().event_log);
        if (!committed) {
            // Refused while the collector was running: nothing was written, the batch stays open.
            ASSERT_EQ(committed.error().message, "another handle is writing to this store");
            ASSERT_TRUE(writer->in_batch());
            rows -= 3;
            ASSERT_TRUE(writer->rollback());
            --batch;
            std::this_thread::yield();
            continue;
        }
        // Every file the new generation names exists.
        for (const auto* list : {&writer->manifest().edge_lanes.event, &writer->manifest().edge_lanes.interval})
            for (const SegmentEntry& entry : *list) ASSERT_TRUE(fs::exists(dir.path / entry.file)) << entry.file;
        // Now and then the writer lets a collection finish between two commits: a collector that
        // opened the store again during a commit is behind as soon as it ends, so back to back
        // commits could leave it no generation to collect at.
        if (batch % 10 == 0) {
            for (const int seen = ran.load(); ran.load() == seen && failure.empty();) std::this_thread::yield();
        }
    }
    done = true;
    collecting.join();
    ASSERT_TRUE(failure.empty()) << failure;
    EXPECT_GT(ran.load(), 0);
    auto reopened = open_ok(dir.path);
    EXPECT_EQ(reopened->manifest(), writer->manifest());
    std::uint64_t stored = 0;
    for (const SegmentEntry& entry : reopened->manifest().edge_lanes.event) {
        const auto segment = reopened->open_segment(entry.file);
        ASSERT_TRUE(segment) << segment.error().display();
        stored += (*segment)->header.rows;
    }
    EXPECT_EQ(stored, rows);
}

// Readers take no lock: a collection in another process may remove the generation an open has
// just read from CURRENT. Here another handle acts at exactly that instant (its collections do not
// see the opening handle, which pins nothing yet, as another process's would not): an open whose
// file vanished under a CURRENT that moved on starts over from the new generation, at most eight
// times; under a CURRENT that stays put the missing file is reported as damage, as it always was.
TEST(GarbageCollection, OpenMeetsACollectionBetweenCurrentAndItsManifest) {
    std::uint32_t next_vid = 0;
    const auto commit = [&](NativeStore& store) {
        const std::int64_t tt = store.manifest().created_tt + 1;
        ASSERT_TRUE(store.begin(tt));
        ASSERT_TRUE(store.stage_edge(EdgeRow{"R", "", "{}", "s", std::nullopt, Id96{1, next_vid++}, 0, 1, tt, 0, 0}));
        ASSERT_TRUE(store.commit(store.manifest().event_log));
    };
    const auto chain_file = [](const fs::path& root, std::uint64_t generation) {
        return manifest_path(root, generation);
    };
    struct Case {
        const char* name;
        bool every_round;  // the other handle acts at every read of CURRENT, not the first only
        std::function<void(NativeStore& other, const fs::path& root, std::uint64_t read)> act;
        unsigned reads;     // reads of CURRENT the open makes
        std::string error;  // empty: the open succeeds at the other handle's generation
    };
    const std::vector<Case> cases = {
        {"two commits, compaction and a collection keeping one generation", false,
         [&](NativeStore& other, const fs::path&, std::uint64_t) {
             commit(other);
             commit(other);
             ASSERT_TRUE(compact(other));
             ASSERT_TRUE(gc::collect(other, 1));
         },
         2, ""},
        {"compaction, then the chain below the generation read removed", false,
         [&](NativeStore& other, const fs::path& root, std::uint64_t read) {
             ASSERT_TRUE(compact(other));
             for (std::uint64_t generation = 0; generation < read; ++generation)
                 fs::remove(chain_file(root, generation));
         },
         2, ""},
        {"the manifest read removed, CURRENT unchanged", false,
         [&](NativeStore&, const fs::path& root, std::uint64_t read) { fs::remove(chain_file(root, read)); },
         1, "corrupt: CURRENT points at generation 3 but its manifest is missing [file={root}/manifests/00000000000000000003.json] — " + std::string(RESTORE_REMEDY)},
        {"a chain file below it removed, CURRENT unchanged", false,
         [&](NativeStore&, const fs::path& root, std::uint64_t) { fs::remove(chain_file(root, 2)); },
         1, "corrupt: manifest chain broken below generation 3: generation 2 is unreadable: No such file or directory (os error 2) [file={root}/manifests/00000000000000000002.json] — " + std::string(RESTORE_REMEDY)},
        {"a commit and the manifest read removed, at every read", true,
         [&](NativeStore& other, const fs::path& root, std::uint64_t read) {
             commit(other);
             fs::remove(chain_file(root, read));
         },
         OPEN_ROUNDS, "corrupt: CURRENT points at generation 10 but its manifest is missing [file={root}/manifests/00000000000000000010.json] — " + std::string(RESTORE_REMEDY)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("vorp-gc");
        auto other = open_ok(dir.path);
        ASSERT_TRUE(other->add_entity("a", "L"));
        for (int generation = 1; generation <= 3; ++generation) commit(*other);
        unsigned reads = 0;
        Result<std::unique_ptr<NativeStore>> opened = fail(EngineError::invariant("not opened"));
        {
            const ScopedCurrentReadHook hook([&](std::uint64_t read) {
                if (reads++ == 0 || c.every_round) c.act(*other, dir.path, read);
            });
            opened = NativeStore::open(dir.path.string());
        }
        EXPECT_EQ(reads, c.reads);
        if (c.error.empty()) {
            if (!opened) {
                ADD_FAILURE() << opened.error().display();
                continue;
            }
            EXPECT_EQ((*opened)->manifest(), other->manifest());
            EXPECT_EQ((*opened)->pinned_generation(), other->manifest().generation);
            EXPECT_EQ((*opened)->dict().size(), 1u);
        } else {
            if (opened) {
                ADD_FAILURE() << "opened at generation " << (*opened)->manifest().generation;
                continue;
            }
            std::string expected = c.error;
            expected.replace(expected.find("{root}"), 6, dir.path.string());
            EXPECT_EQ(opened.error().display(), expected);
        }
    }
}

}  // namespace
}  // namespace vorp
