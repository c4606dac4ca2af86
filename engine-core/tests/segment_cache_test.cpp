#include "vorp/segment_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "segment_fixtures.h"
#include "vorp/threads.h"
#include "vorp/visibility.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using testing::SegmentStore;

TEST(SegmentFileLists, SegmentIdOf) {
    const std::vector<std::pair<std::string, std::uint64_t>> cases = {
        {"seg/000000000042.vos", 42},
        {"000000000042.vos", 42},
        {"a/b/+42.vos", 42},
        {"seg/0.vos", 0},
        {"seg/18446744073709551614.vos", 18446744073709551614ull},
        {"seg/18446744073709551616.vos", NO_SEGMENT_ID},  // overflows
        {"seg/.vos", NO_SEGMENT_ID},
        {"seg/+.vos", NO_SEGMENT_ID},
        {"seg/-1.vos", NO_SEGMENT_ID},
        {"seg/12a.vos", NO_SEGMENT_ID},
        {"seg/ 12.vos", NO_SEGMENT_ID},
        {"seg/000000000042.voc", NO_SEGMENT_ID},
        {"seg/000000000042.vos/", NO_SEGMENT_ID},
        {"", NO_SEGMENT_ID},
    };
    for (const auto& [name, id] : cases) EXPECT_EQ(segment_id_of(name), id) << name;
}

TEST(SegmentFileLists, LanesOrderAndGenerationCache) {
    Manifest manifest = Manifest::genesis();
    const auto entry = [](std::uint64_t id) {
        SegmentEntry e;
        e.file = segment_relative_path(id).string();
        return e;
    };
    manifest.edge_lanes.interval = {entry(1), entry(5)};
    manifest.edge_lanes.event = {entry(9), entry(3)};
    manifest.node_store = {entry(7), entry(2)};
    const std::vector<SegmentFileRef> edges = edge_files(manifest);
    ASSERT_EQ(edges.size(), 4u);
    EXPECT_EQ(edges[0], (SegmentFileRef{"seg/000000000009.vos", 9}));
    EXPECT_EQ(edges[1].segment_id, 3u);
    EXPECT_EQ(edges[2].segment_id, 1u);
    EXPECT_EQ(edges[3].segment_id, 5u);
    EXPECT_EQ(node_files(manifest), (std::vector<SegmentFileRef>{{"seg/000000000007.vos", 7}, {"seg/000000000002.vos", 2}}));

    SegmentCache cache(std::nullopt);
    const auto files = cache.segment_files(manifest);
    EXPECT_EQ(files->edge.size(), 4u);
    EXPECT_EQ(files->node.at(2), "seg/000000000002.vos");
    EXPECT_EQ(cache.segment_files(manifest), files);  // same generation: the cached maps

    // A later generation is rebuilt; an interval entry with an event entry's id replaces it.
    manifest.generation = 1;
    SegmentEntry renamed = entry(9);
    renamed.file = "seg/9.vos";
    manifest.edge_lanes.interval.push_back(renamed);
    const auto next = cache.segment_files(manifest);
    EXPECT_NE(next, files);
    EXPECT_EQ(next->edge.at(9), "seg/9.vos");
    EXPECT_EQ(files->edge.at(9), "seg/000000000009.vos");  // the old holder's maps are unchanged
}

// A store with four edge segments of different sizes, each with decoded (FOR) columns and a
// packed string table.
struct CacheFixture : ::testing::Test {
    SegmentStore store{50};
    std::vector<std::string> files;
    std::vector<std::vector<EdgeRow>> rows;

    void SetUp() override {
        std::mt19937_64 rng(7);
        for (std::uint64_t id = 1; id <= 4; ++id) {
            std::vector<EdgeRow> batch;
            for (std::uint64_t r = 0; r < 200 * id; ++r) batch.push_back(testing::random_edge(rng, 50));
            std::sort(batch.begin(), batch.end(),
                      [](const EdgeRow& a, const EdgeRow& b) { return std::tie(a.vt_s, a.vid) < std::tie(b.vt_s, b.vid); });
            files.push_back(store.add_segment(id, batch));
            rows.push_back(std::move(batch));
        }
    }

    // What the file pins, worked out from the file size and the header: FOR columns are decoded
    // into rows x width bytes, rounded up to 8-byte words; a packed table is held unpacked.
    std::uint64_t expected_cost(const Segment& segment) const {
        std::uint64_t cost = fs::file_size(segment.path);
        for (const ColumnDesc& column : segment.header.columns)
            if (column.codec == CODEC_FOR)
                cost += (std::uint64_t{segment.header.rows} * dtype_width(column.dtype) + 7) / 8 * 8;
        if (segment.unpacked_strings) cost += segment.unpacked_strings->size();
        return cost;
    }

    std::shared_ptr<const Segment> open(SegmentCache& cache, std::size_t index) {
        auto segment = cache.open_segment(store.root(), store.manifest, files[index]);
        EXPECT_TRUE(segment.has_value()) << segment.error().display();
        return segment ? *segment : nullptr;
    }
};

TEST_F(CacheFixture, CostCountsMapDecodedColumnsAndUnpackedHeap) {
    SegmentCache cache(std::nullopt);
    std::uint64_t total = 0;
    for (std::size_t index = 0; index < files.size(); ++index) {
        const auto segment = open(cache, index);
        ASSERT_TRUE(segment);
        // The fixture really exercises every part of the cost.
        EXPECT_TRUE(std::any_of(segment->header.columns.begin(), segment->header.columns.end(),
                                [](const ColumnDesc& c) { return c.codec == CODEC_FOR && c.dtype != DType::U64; }));
        EXPECT_TRUE(segment->unpacked_strings.has_value());
        EXPECT_EQ(segment_cost(*segment), expected_cost(*segment));
        total += expected_cost(*segment);
    }
    EXPECT_EQ(cache.stats(), (SegmentCacheStats{4, total, std::nullopt, 0}));
    // Hits change nothing but recency.
    for (std::size_t index = 0; index < files.size(); ++index) open(cache, index);
    EXPECT_EQ(cache.stats(), (SegmentCacheStats{4, total, std::nullopt, 0}));
}

TEST_F(CacheFixture, EvictionOrderUnderTinyAndSmallBudgets) {
    {
        // Smaller than any one segment: the segment just opened always stays, alone.
        SegmentCache cache(1);
        const auto first = open(cache, 0);
        EXPECT_EQ(cache.stats(), (SegmentCacheStats{1, expected_cost(*first), 1, 0}));
        const auto second = open(cache, 1);
        EXPECT_EQ(cache.stats(), (SegmentCacheStats{1, expected_cost(*second), 1, 1}));
        EXPECT_FALSE(cache.contains(files[0]));
        EXPECT_TRUE(cache.contains(files[1]));
        // The evicted segment, still held here, stays mapped and readable.
        const auto vid64 = first->u64_column("vid64");
        ASSERT_TRUE(vid64.has_value());
        ASSERT_EQ(vid64->size(), rows[0].size());
        for (std::size_t r = 0; r < rows[0].size(); ++r) EXPECT_EQ((*vid64)[r], rows[0][r].vid.prefix);
    }
    {
        // Room for A and B (the two smallest) but not for a third: A, B, A, C evicts B.
        SegmentCache probe(std::nullopt);
        const std::uint64_t a = expected_cost(*open(probe, 0));
        const std::uint64_t b = expected_cost(*open(probe, 1));
        const std::uint64_t c = expected_cost(*open(probe, 2));
        SegmentCache cache(a + c);  // A + B fits (B < C); A + C fits exactly; A + B + C does not
        ASSERT_LT(b, c);
        open(cache, 0);
        open(cache, 1);
        open(cache, 0);
        open(cache, 2);
        EXPECT_TRUE(cache.contains(files[0]));
        EXPECT_FALSE(cache.contains(files[1]));
        EXPECT_TRUE(cache.contains(files[2]));
        EXPECT_EQ(cache.stats(), (SegmentCacheStats{2, a + c, a + c, 1}));
        // D is larger than A and C: both have to go.
        open(cache, 3);
        EXPECT_EQ(cache.stats().entries, 1u);
        EXPECT_EQ(cache.stats().evictions, 3u);
    }
}

// A list lookup is the name-by-name lookups under one lock, whether it finds the entries of the
// previous list lookup again or looks the names up: against a second cache driven by cached()
// alone, through random opens (with evictions), list lookups of two lists and retains, the same
// files are found, and the same files stay cached (so the same recency), at every step.
TEST_F(CacheFixture, ListLookupsAgreeWithSingleLookups) {
    SegmentCache probe(std::nullopt);
    std::vector<std::uint64_t> costs;
    for (std::size_t index = 0; index < files.size(); ++index) costs.push_back(expected_cost(*open(probe, index)));
    const std::uint64_t budget = costs[0] + costs[1] + costs[2];  // two or three segments at a time
    const std::vector<std::vector<std::string_view>> lists = {
        {files[0], files[1], files[2], files[3]},
        {files[3], files[1], files[1], files[0]},
        {files[2]},
        {files[1], files[3]},
    };
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        std::mt19937_64 rng(seed);
        SegmentCache by_list(budget);
        SegmentCache by_name(budget);
        std::vector<std::shared_ptr<const Segment>> held;  // what list lookups hand out stays readable
        for (int step = 0; step < 120; ++step) {
            const std::uint64_t action = rng() % 8;
            if (action < 3) {
                const std::size_t index = rng() % files.size();
                open(by_list, index);
                open(by_name, index);
            } else if (action < 7) {
                const std::size_t list = rng() % lists.size();
                std::uint64_t hit_rows = UINT64_MAX;
                const auto found = by_list.cached_list(list, lists[list], hit_rows);
                ASSERT_EQ(found.size(), lists[list].size());
                std::uint64_t rows = 0;
                for (std::size_t position = 0; position < found.size(); ++position) {
                    const auto single = by_name.cached(lists[list][position]);
                    ASSERT_EQ(found[position] == nullptr, single == nullptr) << "seed " << seed << " step " << step;
                    if (found[position] != nullptr) {
                        EXPECT_EQ(found[position]->path, single->path);
                        rows += single->header.rows;
                        held.push_back(found[position]);
                    }
                }
                ASSERT_EQ(hit_rows, rows) << "seed " << seed << " step " << step;
            } else {
                FileNameSet live;
                for (const std::string& file : files)
                    if (rng() % 2 == 0) live.insert(file);
                by_list.retain_files(live);
                by_name.retain_files(live);
            }
            const SegmentCacheStats stats = by_name.stats();
            ASSERT_EQ(by_list.stats(), stats) << "seed " << seed << " step " << step;
            for (const std::string& file : files)
                ASSERT_EQ(by_list.contains(file), by_name.contains(file)) << "seed " << seed << " step " << step;
        }
        // Segments handed out by list lookups stay readable after the cache let them go.
        by_list.retain_files({});
        for (const auto& segment : held) EXPECT_EQ(segment->header.rows, segment->edges.rows);
    }
}

TEST_F(CacheFixture, FailedOpenCachesNothing) {
    SegmentCache cache(std::nullopt);
    open(cache, 0);
    const SegmentCacheStats before = cache.stats();
    const auto missing = cache.open_segment(store.root(), store.manifest, "seg/000000000099.vos");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().category, Category::Io);
    EXPECT_EQ(missing.error().location.file, store.root() / "seg/000000000099.vos");
    EXPECT_EQ(cache.stats(), before);
    EXPECT_FALSE(cache.is_verified("seg/000000000099.vos"));
}

// Flips one byte inside the vid64 column's extent: only the checksums can notice.
void damage_vid64(const Segment& segment) {
    const auto column = std::find_if(segment.header.columns.begin(), segment.header.columns.end(),
                                     [](const ColumnDesc& c) { return c.name == "vid64"; });
    ASSERT_NE(column, segment.header.columns.end());
    ASSERT_EQ(column->codec, CODEC_RAW);
    std::fstream file(segment.path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(segment.body_start + column->offset));
    char byte = 0;
    file.read(&byte, 1);
    byte = static_cast<char>(byte ^ 0x5a);
    file.seekp(static_cast<std::streamoff>(segment.body_start + column->offset));
    file.write(&byte, 1);
}

TEST_F(CacheFixture, ChecksumsVerifiedOncePerFilePerHandle) {
    SegmentCache cache(1);  // each open evicts the previous segment
    std::uint64_t original = 0;
    {
        const auto segment = open(cache, 3);
        original = (*segment->u64_column("vid64"))[0];
        EXPECT_TRUE(cache.is_verified(files[3]));
        damage_vid64(*segment);
    }
    open(cache, 0);  // evicts file 3
    ASSERT_FALSE(cache.contains(files[3]));

    // Reopened by the same handle: not verified again, so the damage goes unnoticed here.
    const auto reopened = cache.open_segment(store.root(), store.manifest, files[3]);
    ASSERT_TRUE(reopened.has_value()) << reopened.error().display();
    EXPECT_NE((*(*reopened)->u64_column("vid64"))[0], original);

    // A handle that never verified the file does.
    SegmentCache fresh(std::nullopt);
    const auto refused = fresh.open_segment(store.root(), store.manifest, files[3]);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().category, Category::Corrupt);
    EXPECT_FALSE(fresh.is_verified(files[3]));

    // Dropped from the verified set by the collector's pruning, the file is verified again.
    FileNameSet live{files[0]};
    cache.retain_files(live);
    EXPECT_FALSE(cache.is_verified(files[3]));
    EXPECT_TRUE(cache.is_verified(files[0]));
    EXPECT_FALSE(cache.open_segment(store.root(), store.manifest, files[3]).has_value());
}

TEST_F(CacheFixture, ConcurrentMissesKeepExactAccounting) {
    SegmentCache probe(std::nullopt);
    std::uint64_t total = 0;
    for (std::size_t index = 0; index < files.size(); ++index) total += expected_cost(*open(probe, index));

    for (int round = 0; round < 20; ++round) {
        SegmentCache cache(std::nullopt);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                for (std::size_t i = 0; i < files.size(); ++i) {
                    const auto segment = cache.open_segment(store.root(), store.manifest, files[(i + t) % files.size()]);
                    EXPECT_TRUE(segment.has_value());
                }
            });
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(cache.stats(), (SegmentCacheStats{4, total, std::nullopt, 0}));
    }
}

TEST_F(CacheFixture, TicketsFindOnlyTheirOwnEntryAndLoansKeepEvictedSegmentsMapped) {
    SegmentCache cache(1);  // each open evicts the previous segment
    CacheTicket ticket_a;
    std::weak_ptr<const Segment> a;
    {
        const auto opened = cache.open_segment(store.root(), store.manifest, files[0], ticket_a);
        ASSERT_TRUE(opened.has_value());
        a = *opened;
    }
    ASSERT_TRUE(ticket_a);
    const SegmentCacheStats before = cache.stats();
    {
        const SegmentCache::Loan loan = cache.lend(ticket_a);
        ASSERT_EQ(loan.get(), a.lock().get());
        // Evicted while lent: kept aside, still mapped and readable, counted no more.
        CacheTicket ticket_b;
        ASSERT_TRUE(cache.open_segment(store.root(), store.manifest, files[1], ticket_b).has_value());
        EXPECT_FALSE(cache.contains(files[0]));
        EXPECT_EQ(cache.stats().evictions, before.evictions + 1);
        ASSERT_FALSE(a.expired());
        const auto vid64 = loan.get()->u64_column("vid64");
        ASSERT_TRUE(vid64.has_value());
        EXPECT_EQ((*vid64)[0], rows[0][0].vid.prefix);
    }
    // Given back: the evicted segment is released, and its ticket finds nothing (no lookup counted).
    EXPECT_TRUE(a.expired());
    const SegmentCacheStats after = cache.stats();
    EXPECT_EQ(cache.lend(ticket_a).get(), nullptr);
    EXPECT_EQ(cache.stats(), after);

    // Reopened, the file gets a new entry under a new ticket; the old one still finds nothing,
    // even when the new entry took the old one's slot.
    CacheTicket ticket_again;
    ASSERT_TRUE(cache.open_segment(store.root(), store.manifest, files[0], ticket_again).has_value());
    EXPECT_NE(ticket_again.serial, ticket_a.serial);
    EXPECT_EQ(cache.lend(ticket_a).get(), nullptr);
    EXPECT_NE(cache.lend(ticket_again).get(), nullptr);
    // A hit by name hands out the entry's own ticket.
    CacheTicket by_name;
    ASSERT_TRUE(cache.open_segment(store.root(), store.manifest, files[0], by_name).has_value());
    EXPECT_EQ(by_name.slot, ticket_again.slot);
    EXPECT_EQ(by_name.serial, ticket_again.serial);
}

// ---- committed close index ----------------------------------------------------------------------

struct CloseFixture : ::testing::Test {
    testing::TempDir dir{"vorp-close-cache"};
    Manifest manifest = Manifest::genesis();
    std::vector<std::vector<StagedClose>> runs;  // in manifest order

    // Writes a run named after the next generation and lists it.
    void add_run(std::vector<StagedClose> rows) {
        ++manifest.generation;
        const fs::path relative = close_run_relative_path(manifest.generation);
        fs::create_directories(dir.path / "close");
        const auto written = write_close_run(dir.path / relative, rows);
        ASSERT_TRUE(written.has_value()) << written.error().display();
        manifest.close_runs.push_back({relative.string(), *written, ""});
        runs.push_back(std::move(rows));
    }

    // Every close of the listed runs applied in order: the index the runs describe.
    std::map<std::pair<std::uint64_t, std::uint32_t>, std::int64_t> expected(std::size_t run_count) const {
        std::map<std::pair<std::uint64_t, std::uint32_t>, std::int64_t> out;
        for (std::size_t i = 0; i < run_count; ++i)
            for (const StagedClose& close : runs[i]) out[{close.segment_id, close.row}] = close.tt_e;
        return out;
    }

    static void expect_index(const CloseIndex& index,
                             const std::map<std::pair<std::uint64_t, std::uint32_t>, std::int64_t>& want) {
        EXPECT_EQ(index.base, nullptr);
        ASSERT_EQ(index.closed.size(), want.size());
        std::set<std::uint64_t> touched;
        for (const auto& [key, tt_e] : want) {
            EXPECT_EQ(index.find(key.first, key.second), tt_e);
            touched.insert(key.first);
        }
        EXPECT_EQ(std::set<std::uint64_t>(index.touched.begin(), index.touched.end()), touched);
    }
};

TEST_F(CloseFixture, ExtendingOverParentGenerationsEqualsFreshBuild) {
    const int seeds = testing::seed_count("VORP_CLOSE_INDEX_SEEDS", 20);
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        manifest = Manifest::genesis();
        runs.clear();
        fs::remove_all(dir.path / "close");
        std::mt19937_64 rng(seed);
        CloseIndexCache cache;
        std::vector<std::pair<std::shared_ptr<const CloseIndex>, std::size_t>> held;
        for (int step = 0; step < 12; ++step) {
            if (rng() % 3 != 0) {
                std::vector<StagedClose> rows(1 + rng() % 20);
                for (StagedClose& close : rows)
                    close = {rng() % 6, static_cast<std::int64_t>(rng() % 1000), static_cast<std::uint32_t>(rng() % 8),
                             rng() % 2 == 0};
                add_run(std::move(rows));
            } else {
                ++manifest.generation;  // a commit that closed nothing
            }
            const auto index = cache.committed_close_index(dir.path, manifest, false);
            ASSERT_TRUE(index.has_value()) << index.error().display();
            expect_index(**index, expected(runs.size()));
            EXPECT_EQ(cache.cached_run_count(), runs.size());
            // Same generation: the same shared index, without reading anything.
            EXPECT_EQ(cache.committed_close_index(dir.path, manifest, false).value(), *index);
            if (rng() % 2 == 0) held.emplace_back(*index, runs.size());

            CloseIndexCache fresh;
            expect_index(**fresh.committed_close_index(dir.path, manifest, false), expected(runs.size()));
        }
        // Indexes handed out earlier never changed under their holders.
        for (const auto& [index, run_count] : held) expect_index(*index, expected(run_count));
    }
}

// Runs of thousands of closes over a large index, repeating keys within a run and across runs:
// extended run by run, the index holds each key's last value, as a fresh build does.
TEST_F(CloseFixture, LargeExtensionsKeepTheLastValueOfEveryKey) {
    const int seeds = testing::seed_count("VORP_CLOSE_INDEX_SEEDS", 20) / 8 + 1;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        manifest = Manifest::genesis();
        runs.clear();
        fs::remove_all(dir.path / "close");
        std::mt19937_64 rng(seed + 77);
        CloseIndexCache cache;
        for (int step = 0; step < 8; ++step) {
            std::vector<StagedClose> rows(5000 + rng() % 15000);
            for (StagedClose& close : rows)
                close = {rng() % 40, static_cast<std::int64_t>(rng()), static_cast<std::uint32_t>(rng() % 3000),
                         rng() % 2 == 0};
            add_run(std::move(rows));
            if (rng() % 3 == 0) {
                std::vector<StagedClose> more(5000);
                for (StagedClose& close : more)
                    close = {rng() % 40, static_cast<std::int64_t>(rng()), static_cast<std::uint32_t>(rng() % 3000),
                             false};
                add_run(std::move(more));  // two runs read by one extension
            }
            const auto index = cache.committed_close_index(dir.path, manifest, false);
            ASSERT_TRUE(index.has_value()) << index.error().display();
            expect_index(**index, expected(runs.size()));
        }
        CloseIndexCache fresh;
        expect_index(**fresh.committed_close_index(dir.path, manifest, false), expected(runs.size()));
    }
}

TEST_F(CloseFixture, CloseTableIsKeptWithItsIndexAndNeverChangesUnderItsHolder) {
    CloseIndexCache cache;
    add_run({{1, 100, 0, true}, {2, 200, 5, true}, {1, 150, 0, true}});
    auto index = *cache.committed_close_index(dir.path, manifest, false);
    const auto table = cache.close_table(index);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->source, index);
    EXPECT_EQ(table->find(1, 0), 150);
    EXPECT_EQ(table->find(2, 5), 200);
    EXPECT_EQ(table->entries, 2u);
    EXPECT_EQ(cache.close_table(index), table);  // built once, shared
    EXPECT_EQ(cache.close_table(std::make_shared<const CloseIndex>()), nullptr);
    EXPECT_EQ(cache.close_table(nullptr), nullptr);

    // Only the table still refers to the old index: extending must copy it, not change it.
    index.reset();
    add_run({{3, 300, 1, false}});
    const auto extended = *cache.committed_close_index(dir.path, manifest, false);
    EXPECT_NE(extended, table->source);
    EXPECT_FALSE(table->source->find(3, 1).has_value());
    EXPECT_FALSE(table->find(3, 1).has_value());
    const auto next = cache.close_table(extended);
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, table);
    EXPECT_EQ(next->find(3, 1), 300);
    EXPECT_EQ(next->find(1, 0), 150);
    EXPECT_EQ(cache.close_table(table->source), nullptr);  // no longer the cached index
}

TEST_F(CloseFixture, ExtensionReadsOnlyNewRunsAndRebuildsRewrittenLists) {
    CloseIndexCache cache;
    // No runs: an empty index, cached with count 0.
    EXPECT_TRUE((*cache.committed_close_index(dir.path, manifest, false))->closed.empty());
    EXPECT_EQ(cache.cached_run_count(), 0u);

    add_run({{1, 100, 0, true}, {2, 200, 5, true}});
    add_run({{1, 150, 0, true}});  // closes the same version again: the later value wins
    const auto first = *cache.committed_close_index(dir.path, manifest, false);
    EXPECT_EQ(first->find(1, 0), 150);

    // Runs already read are never read again: their files may be gone.
    for (const CloseRunRef& run : manifest.close_runs) fs::remove(dir.path / run.file);
    ++manifest.generation;  // no closes: re-tagged, same index
    EXPECT_EQ(*cache.committed_close_index(dir.path, manifest, false), first);
    add_run({{3, 300, 1, false}});
    const auto extended = cache.committed_close_index(dir.path, manifest, false);
    ASSERT_TRUE(extended.has_value()) << extended.error().display();
    EXPECT_EQ((*extended)->find(3, 1), 300);
    EXPECT_EQ((*extended)->find(2, 5), 200);
    EXPECT_FALSE(first->find(3, 1).has_value());  // the holder of the old index sees the old contents

    // The list rewritten at a covered position: rebuilt from all runs, so the removed files fail.
    Manifest rewritten = manifest;
    ++rewritten.generation;
    rewritten.close_runs[2].sha = "0000000000000000";
    const auto rebuilt = cache.committed_close_index(dir.path, rewritten, false);
    ASSERT_FALSE(rebuilt.has_value());
    EXPECT_EQ(rebuilt.error().category, Category::Io);
    EXPECT_EQ(cache.cached_run_count(), std::nullopt);  // a failure leaves the cache empty

    // Repaired, the next call rebuilds the whole index.
    ASSERT_TRUE(write_close_run(dir.path / manifest.close_runs[0].file, runs[0]).has_value());
    ASSERT_TRUE(write_close_run(dir.path / manifest.close_runs[1].file, runs[1]).has_value());
    expect_index(**cache.committed_close_index(dir.path, rewritten, false), expected(3));

    // A shorter list than the one cached is rebuilt too.
    Manifest shorter = manifest;
    shorter.generation += 10;
    shorter.close_runs.resize(1);
    expect_index(**cache.committed_close_index(dir.path, shorter, false), expected(1));

    // A damaged run fails with its own error.
    std::ofstream(dir.path / manifest.close_runs[0].file, std::ios::binary | std::ios::trunc) << "VOCR";
    CloseIndexCache fresh;
    const auto damaged = fresh.committed_close_index(dir.path, manifest, false);
    ASSERT_FALSE(damaged.has_value());
    EXPECT_EQ(damaged.error().category, Category::Corrupt);
}

// A fresh cache's flat table straight from the runs, read on workers or one by one, equals the
// runs applied in order; with damaged runs, the first in manifest order is the one reported and
// nothing is cached.
TEST_F(CloseFixture, ColdTableFromRunsOnWorkersReportsTheFirstDamagedRun) {
    std::mt19937_64 rng(7);
    for (int run = 0; run < 7; ++run) {
        std::vector<StagedClose> rows(1 + rng() % 900);
        for (StagedClose& close : rows)
            close = {rng() % 4, static_cast<std::int64_t>(rng() % 1000), static_cast<std::uint32_t>(rng() % 700), true};
        add_run(std::move(rows));
    }
    const CloseTable::Runner threaded = [](std::size_t count, const std::function<void(std::size_t)>& work) {
        fan_out(count, "close test worker panicked", work);
    };
    const CloseTable::Runner reversed = [](std::size_t count, const std::function<void(std::size_t)>& work) {
        for (std::size_t index = count; index-- > 0;) work(index);
    };
    const auto build = [](std::span<const std::vector<StagedClose>> read) { return CloseTable::from_runs(read); };
    const auto want = expected(runs.size());
    for (const std::size_t ways : {1, 3, 16}) {
        for (const CloseTable::Runner* run : {&threaded, &reversed}) {
            CloseIndexCache cache;
            const auto table = cache.cold_close_table(dir.path, manifest, false, build, ways, *run);
            ASSERT_TRUE(table.has_value()) << table.error().display();
            ASSERT_NE(*table, nullptr);
            EXPECT_EQ((*table)->entries, want.size());
            for (const auto& [key, tt_e] : want) EXPECT_EQ((*table)->find(key.first, key.second), tt_e);
        }
    }

    // Runs 2 and 5 damaged differently: run 2's error, whatever the ways.
    std::ofstream(dir.path / manifest.close_runs[5].file, std::ios::binary | std::ios::trunc) << "VOCR";
    std::ofstream(dir.path / manifest.close_runs[2].file, std::ios::binary | std::ios::trunc) << "junk, not a close run";
    CloseIndexCache one_by_one;
    const auto first = one_by_one.cold_close_table(dir.path, manifest, false, build);
    ASSERT_FALSE(first.has_value());
    const std::string named = fmt::format("corrupt: not a VORP close run (bad magic) [file={}]",
                                          (dir.path / manifest.close_runs[2].file).string());
    EXPECT_EQ(first.error().display().substr(0, named.size()), named);
    for (const std::size_t ways : {2, 8}) {
        for (const CloseTable::Runner* run : {&threaded, &reversed}) {
            CloseIndexCache cache;
            const auto failed = cache.cold_close_table(dir.path, manifest, false, build, ways, *run);
            ASSERT_FALSE(failed.has_value());
            EXPECT_EQ(failed.error().display(), first.error().display());
            EXPECT_EQ(cache.cached_run_count(), std::nullopt);
        }
    }
}

TEST_F(CloseFixture, CurrentOnlyStore) {
    CloseIndexCache cache;
    const auto empty = cache.committed_close_index(dir.path, manifest, true);
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE((*empty)->closed.empty());
    EXPECT_EQ(cache.cached_run_count(), std::nullopt);  // not cached
    add_run({{1, 100, 0, true}});
    const auto refused = cache.committed_close_index(dir.path, manifest, true);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().display(),
              "invariant: current-only store has close runs — the CURRENT_ONLY marker does not match the manifest — "
              "this is an engine bug; please report it with the store manifest");
}

}  // namespace
}  // namespace vorp
