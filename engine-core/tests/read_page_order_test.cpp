// Version pages select their rows without sorting the whole population; the selected rows must be
// exactly those of the stable sort by (tt_s, vid), including among versions that share a vid and a
// tt_s (a vid staged again, a vid stored in two segments), which only the collection order tells
// apart. Reference: the keys stably sorted in full, cut by page_bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include <fmt/format.h>

#include "vorp/read.h"
#include "vorp/segment.h"
#include "vorp/simd.h"
#include "vorp/store.h"
#include "vorp/threads.h"

namespace vorp {
namespace {

std::vector<std::string> vids_and_starts(const VersionRows& rows) {
    std::vector<std::string> out;
    for (const EdgeVersionRow& row : std::get<std::vector<EdgeVersionRow>>(rows))
        out.push_back(row.vid + "@" + std::to_string(row.vt_s));
    return out;
}

TEST(VersionPageOrder, PagesEqualTheStableSortAmongTiedVersions) {
    testing::TempDir dir;
    auto store = std::move(*NativeStore::open((dir.path / "store").string()));
    std::mt19937_64 rng(5);
    const std::uint32_t a = store->add_entity("a", "x").value();
    const std::uint32_t b = store->add_entity("b", "x").value();
    // Three batches over only six vids: most (tt_s, vid) pairs occur several times.
    for (std::int64_t tt = 1; tt <= 3; ++tt) {
        ASSERT_TRUE(store->begin(tt).has_value());
        for (int i = 0; i < 40; ++i) {
            const std::int64_t vt_s = tt * 100 + i;  // tells the tied versions apart in the result
            EdgeRow row{"r", "", "{}", "", std::nullopt, Id96{rng() % 3, static_cast<std::uint32_t>(rng() % 2)},
                        vt_s, vt_s + 1, tt - static_cast<std::int64_t>(rng() % 2), rng() % 2 ? a : b, b};
            ASSERT_TRUE(store->stage_edge(std::move(row)).has_value());
        }
        if (tt < 3) {  // the last batch stays staged
            ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        }
    }
    const VersionQuery query{10, 0, 1000, nullptr, BeliefMode::All};
    std::vector<VersionKey> keys = *version_keys(*store, RowKind::Edge, query);
    ASSERT_EQ(keys.size(), 120u);
    std::stable_sort(keys.begin(), keys.end(), [](const VersionKey& x, const VersionKey& y) {
        if (x.tt_s != y.tt_s) return x.tt_s < y.tt_s;
        if (x.vid64 != y.vid64) return x.vid64 < y.vid64;
        return x.vid_lo32 < y.vid_lo32;
    });
    for (const std::int64_t offset : {0, 1, 7, 59, 119, 120, 500, -1, -30, -200}) {
        for (const std::int64_t limit : {0, 1, 5, 33, 120, 1000, -3}) {
            const auto [start, end] = page_bounds(keys.size(), offset, limit);
            const std::vector<VersionKey> slice(keys.begin() + static_cast<std::ptrdiff_t>(start),
                                                keys.begin() + static_cast<std::ptrdiff_t>(end));
            const auto want = version_rows_at(*store, RowKind::Edge, slice);
            const auto page = version_page(*store, RowKind::Edge, query, offset, limit);
            ASSERT_TRUE(want.has_value() && page.has_value());
            EXPECT_EQ(page->rows_total, 120u);
            EXPECT_EQ(vids_and_starts(page->rows), vids_and_starts(*want)) << "offset " << offset << " limit " << limit;
        }
    }
}

// Versions that tie on (tt_s, vid) keep the order a reader of the file list meets them in: event
// lane segments in manifest order, then interval lane segments, rows in segment order, and the
// open batch's staged rows last, in staging order. The expected order is written out by hand.
TEST(VersionPageOrder, TiedVersionsFollowTheFileListThenTheStagedRows) {
    testing::TempDir dir;
    auto store = std::move(*NativeStore::open((dir.path / "store").string()));
    const std::uint32_t a = store->add_entity("a", "x").value();
    const std::uint32_t b = store->add_entity("b", "x").value();
    const Id96 v{7, 1}, w{5, 0}, x{9, 9};
    const auto stage = [&](Id96 vid, std::int64_t tt_s, std::int64_t vt_s, std::int64_t vt_e) {
        ASSERT_TRUE(store->stage_edge(EdgeRow{"r", "", "{}", "", std::nullopt, vid, vt_s, vt_e, tt_s, a, b}).has_value());
    };
    ASSERT_TRUE(store->begin(5).has_value());
    stage(v, 3, 100, OPEN_END);  // the interval lane
    stage(w, 3, 101, 102);
    stage(x, 2, 102, 103);
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_TRUE(store->begin(6).has_value());
    stage(v, 3, 200, 201);  // one event segment holding 199 before 200 (rows sorted by vt_s)
    stage(v, 4, 400, 401);
    stage(v, 3, 199, 200);
    ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    ASSERT_EQ(store->manifest().edge_lanes.event.size(), 2u);
    ASSERT_EQ(store->manifest().edge_lanes.interval.size(), 1u);
    ASSERT_TRUE(store->begin(7).has_value());
    stage(v, 3, 301, 302);  // staged rows keep staging order
    stage(v, 3, 300, 301);
    const std::vector<std::int64_t> want = {102, 101, 199, 200, 100, 301, 300, 400};
    for (const BeliefMode belief : {BeliefMode::All, BeliefMode::Current}) {
        const VersionQuery query{10, 0, OPEN_END, nullptr, belief};
        for (std::int64_t size = 1; size <= 9; ++size) {
            std::vector<std::int64_t> walked;
            for (std::int64_t offset = 0; offset < 9; offset += size) {
                const auto page = version_page(*store, RowKind::Edge, query, offset, size);
                ASSERT_TRUE(page.has_value());
                EXPECT_EQ(page->rows_total, want.size());
                for (const EdgeVersionRow& row : std::get<std::vector<EdgeVersionRow>>(page->rows)) walked.push_back(row.vt_s);
            }
            EXPECT_EQ(walked, want) << "page size " << size;
        }
        // From the end, as Python slices count.
        const auto last = version_page(*store, RowKind::Edge, query, -3, 2);
        ASSERT_TRUE(last.has_value());
        std::vector<std::int64_t> tail;
        for (const EdgeVersionRow& row : std::get<std::vector<EdgeVersionRow>>(last->rows)) tail.push_back(row.vt_s);
        EXPECT_EQ(tail, (std::vector<std::int64_t>{301, 300}));
    }
}

// A store large enough for every way of selecting a page: near the start or end of a tt_s (bounded
// heaps), in its middle (selection), across two tt_s values, on one thread and on several; closes
// folded into segments, committed and pending in the open batch; every belief mode, with and
// without a type filter.
// Reference: the collected keys stably sorted in full, cut by page_bounds.
TEST(VersionPageOrder, LargePagesEqualTheStableSortOnAnyThreadCount) {
    testing::TempDir dir;
    auto store = std::move(*NativeStore::open((dir.path / "store").string()));
    std::mt19937_64 rng(17);
    std::vector<std::uint32_t> ids;
    for (int e = 0; e < 50; ++e) ids.push_back(store->add_entity(fmt::format("e{}", e), "x").value());
    constexpr std::uint32_t PER_BATCH = 40'000;
    std::vector<Id96> stored;
    for (std::int64_t tt = 1; tt <= 4; ++tt) {
        ASSERT_TRUE(store->begin(tt).has_value());
        if (tt > 1) {
            for (int k = 0; k < 3000; ++k)
                ASSERT_TRUE(store->close_version(RowKind::Edge, stored[rng() % stored.size()], tt).has_value());
        }
        const std::uint32_t rows = tt < 4 ? PER_BATCH : 500;
        for (std::uint32_t i = 0; i < rows; ++i) {
            // Few distinct high halves, so ties on vid64 are common; now and then a vid again.
            const Id96 vid = !stored.empty() && rng() % 50 == 0 ? stored[rng() % stored.size()]
                                                                 : Id96{rng() % 64, static_cast<std::uint32_t>(rng())};
            const std::int64_t vt_s = static_cast<std::int64_t>(rng() % 1000);
            const std::int64_t vt_e = rng() % 3 == 0 ? vt_s + 1 : vt_s + static_cast<std::int64_t>(rng() % 500) + 1;
            EdgeRow row{rng() % 2 ? "knows" : "likes", "", "{}", "", std::nullopt, vid, vt_s, vt_e,
                        rng() % 10 == 0 ? tt - 1 : tt, ids[rng() % ids.size()], ids[rng() % ids.size()]};
            ASSERT_TRUE(store->stage_edge(std::move(row)).has_value());
            if (tt < 4) stored.push_back(vid);
            // A close of a version staged in the same batch is folded into its segment.
            if (i % 97 == 0) {
                ASSERT_TRUE(store->close_version(RowKind::Edge, vid, tt + static_cast<std::int64_t>(i % 2)).has_value());
            }
        }
        if (tt < 4) {
            ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
        }
    }
    const std::vector<std::string> knows = {"knows"};
    const auto set_env = [](const char* name, const char* value) { ::setenv(name, value, 1); };
    set_env("VORP_PARALLEL_MIN_ROWS", "0");
    for (const char* threads : {"1", "4"}) {
        set_env("VORP_SCAN_THREADS", threads);
        // The window count's scalar loop on one thread, its vector loop (where the CPU has one) on four.
        force_scalar_kernels(threads[0] == '1');
        for (const BeliefMode belief : {BeliefMode::All, BeliefMode::Current, BeliefMode::Superseded}) {
            for (const std::vector<std::string>* rels : {static_cast<const std::vector<std::string>*>(nullptr), &knows}) {
                for (const std::int64_t at : {std::int64_t{2}, OPEN_END}) {
                    const VersionQuery query{at, 100, 700, rels, belief};
                    std::vector<VersionKey> keys = *version_keys(*store, RowKind::Edge, query);
                    std::stable_sort(keys.begin(), keys.end(), [](const VersionKey& x, const VersionKey& y) {
                        if (x.tt_s != y.tt_s) return x.tt_s < y.tt_s;
                        if (x.vid64 != y.vid64) return x.vid64 < y.vid64;
                        return x.vid_lo32 < y.vid_lo32;
                    });
                    const auto n = static_cast<std::int64_t>(keys.size());
                    // Where the second tt_s value starts: a page across it needs two of them.
                    const auto second = std::find_if(keys.begin(), keys.end(),
                                                     [&](const VersionKey& key) { return key.tt_s != keys[0].tt_s; });
                    const std::int64_t boundary = second - keys.begin();
                    for (const std::int64_t offset : {std::int64_t{0}, std::int64_t{16'380}, n / 5, n / 2, boundary - 50,
                                                      n - 16'390, n - 100, std::int64_t{-7}}) {
                        for (const std::int64_t limit : {std::int64_t{100}, std::int64_t{1'500}}) {
                            // A long page only where it crosses a bucket or sits in the middle.
                            if (limit > 100 && offset != n / 2 && offset != boundary - 50) continue;
                            const auto [start, end] = page_bounds(keys.size(), offset, limit);
                            const std::vector<VersionKey> slice(keys.begin() + static_cast<std::ptrdiff_t>(start),
                                                                keys.begin() + static_cast<std::ptrdiff_t>(end));
                            const auto want = version_rows_at(*store, RowKind::Edge, slice);
                            const auto page = version_page(*store, RowKind::Edge, query, offset, limit);
                            ASSERT_TRUE(want.has_value() && page.has_value());
                            EXPECT_EQ(page->rows_total, keys.size());
                            EXPECT_TRUE(std::get<0>(page->rows) == std::get<0>(*want))
                                << threads << " threads, belief " << int(belief) << ", at " << at << ", offset "
                                << offset << ", limit " << limit;
                        }
                    }
                }
            }
        }
    }
    force_scalar_kernels(false);
    ::unsetenv("VORP_SCAN_THREADS");
    ::unsetenv("VORP_PARALLEL_MIN_ROWS");
}


// The reference of a page: the per-row keys stably sorted in full, cut by page_bounds.
std::vector<VersionKey> sorted_keys(NativeStore& store, const VersionQuery& query) {
    std::vector<VersionKey> keys = *version_keys(store, RowKind::Edge, query);
    std::stable_sort(keys.begin(), keys.end(), [](const VersionKey& x, const VersionKey& y) {
        if (x.tt_s != y.tt_s) return x.tt_s < y.tt_s;
        if (x.vid64 != y.vid64) return x.vid64 < y.vid64;
        return x.vid_lo32 < y.vid_lo32;
    });
    return keys;
}

// Windows whose ends fall on rows (vt_s exactly t_a, t_b - 1 and t_b, ends exactly t_a) and cut
// tt_s runs at both ends, over every kind of segment a store can hold: valid times on a small grid
// with ends after, at and before their starts (stored as given), open ends (the interval lane), a
// segment whose vt_e the writer elided (with starts at both extremes of the range, whose end wraps),
// one whose rows do not ascend by vt_s (written directly, as a damaged file would be: only
// verification's row walk reports it), committed closes (some at and past OPEN_END), closes folded
// into a segment, closes and rows pending in the open batch. Every belief mode, as of several times, at the start, middle
// and end of the order and across tt_s values, on one thread and on four: the page and its
// rows_total are those of the per-row test.
TEST(VersionPageOrder, WindowsOnRowBoundsPageAsThePerRowTest) {
    constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
    testing::TempDir dir;
    const std::filesystem::path root = dir.path / "store";
    auto store = std::move(*NativeStore::open(root.string()));
    std::mt19937_64 rng(29);
    std::vector<std::uint32_t> ids;
    for (int e = 0; e < 20; ++e) ids.push_back(store->add_entity(fmt::format("e{}", e), "x").value());
    std::vector<Id96> stored;
    const auto edge = [&](Id96 vid, std::int64_t vt_s, std::int64_t vt_e, std::int64_t tt_s) {
        return EdgeRow{rng() % 3 ? "knows" : "likes", "", "{}", "", std::nullopt, vid, vt_s, vt_e, tt_s,
                       ids[rng() % ids.size()], ids[rng() % ids.size()]};
    };
    // Now and then a vid stored before, so that versions tie on the whole vid.
    const auto vid_of = [&](std::uint64_t high) {
        return !stored.empty() && rng() % 50 == 0 ? stored[rng() % stored.size()] : Id96{high, static_cast<std::uint32_t>(rng() % 4)};
    };
    const auto stage = [&](EdgeRow row) {
        stored.push_back(row.vid);
        ASSERT_TRUE(store->stage_edge(std::move(row)).has_value());
    };
    const auto commit = [&] { ASSERT_TRUE(store->commit(store->manifest().event_log).has_value()); };

    // tt 1: one long tt_s run, vids over the whole 64-bit range (the bounded selections skip most
    // rows on their vid); ends after, at and before the start, and open.
    ASSERT_TRUE(store->begin(1).has_value());
    for (int i = 0; i < 30'000; ++i) {
        const auto vt_s = static_cast<std::int64_t>(rng() % 200);
        const std::int64_t ends[] = {vt_s + 1, vt_s + 1 + static_cast<std::int64_t>(rng() % 60), vt_s, vt_s - 3, OPEN_END};
        stage(edge(vid_of(rng()), vt_s, ends[rng() % 5], 1));
    }
    stage(edge(vid_of(rng()), MIN, MIN + 1, 1));
    stage(edge(vid_of(rng()), MAX - 1, MAX, 1));
    commit();
    // tt 2: every end vt_s + 1, so the writer elides vt_e (vt_s at the top of the range wraps to
    // the bottom); vids of few high halves, so the bounded selections meet ties on their bound;
    // tt_s 2, 1 and 2 again in three runs of the segment (by valid time); closes of earlier versions and of its own
    // (folded into the segment).
    ASSERT_TRUE(store->begin(2).has_value());
    for (int k = 0; k < 3000; ++k)
        ASSERT_TRUE(store->close_version(RowKind::Edge, stored[rng() % stored.size()], 2).has_value());
    for (int i = 0; i < 20'000; ++i) {
        const auto vt_s = static_cast<std::int64_t>(rng() % 200);
        EdgeRow row = edge(vid_of(rng() % 8), vt_s, vt_s + 1, vt_s < 120 ? 2 : 1);
        const Id96 vid = row.vid;
        stage(std::move(row));
        if (i % 89 == 0) {
            ASSERT_TRUE(store->close_version(RowKind::Edge, vid, 2 + i % 2).has_value());
        }
    }
    stage(edge(vid_of(rng() % 8), MAX, MIN, 2));
    stage(edge(vid_of(rng() % 8), MIN, MIN + 1, 2));
    ASSERT_EQ(store->manifest().edge_lanes.event.size(), 1u);  // nothing staged yet of this batch
    commit();
    ASSERT_EQ(store->manifest().edge_lanes.event.size(), 2u);
    // tt 3: rows whose file is then written again in another order, so that its rows do not
    // ascend by vt_s (closes of earlier versions only: the rewrite folds none).
    ASSERT_TRUE(store->begin(3).has_value());
    for (int k = 0; k < 2000; ++k)
        ASSERT_TRUE(store->close_version(RowKind::Edge, stored[rng() % stored.size()], 3).has_value());
    // Closes at and above OPEN_END: the first defers to a close folded into the segment, if any;
    // the second is a close after every as-of time.
    for (int k = 0; k < 600; ++k) {
        const std::int64_t tt_e = k % 2 ? OPEN_END : OPEN_END + 7;
        ASSERT_TRUE(store->close_version(RowKind::Edge, stored[rng() % stored.size()], tt_e).has_value());
    }
    std::vector<EdgeRow> shuffled;
    for (int i = 0; i < 8000; ++i) {
        const auto vt_s = static_cast<std::int64_t>(rng() % 200);
        shuffled.push_back(edge(vid_of(rng()), vt_s, vt_s + 1 + static_cast<std::int64_t>(rng() % 2), 3));
        stage(shuffled.back());
    }
    commit();
    ASSERT_EQ(store->manifest().edge_lanes.event.size(), 3u);
    const std::filesystem::path rewritten = root / store->manifest().edge_lanes.event.back().file;
    store.reset();
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    ASSERT_TRUE(write_edge_segment(rewritten, shuffled, SegmentWriteOptions{}).has_value());
    store = std::move(*NativeStore::open(root.string()));
    {
        // The segments are what the cases need: the second with vt_e elided and closes folded in,
        // the third out of vt_s order.
        const auto& event = store->manifest().edge_lanes.event;
        const auto elided = store->open_segment(event[1].file);
        ASSERT_TRUE(elided.has_value());
        EXPECT_TRUE((*elided)->header.vt_e_elided);
        EXPECT_FALSE((*elided)->header.closed_rows.empty());
        EXPECT_EQ((*elided)->header.tt_s_runs.size(), 3u);  // 2 (up to vt_s 119), 1, 2 (the row at MAX)
        const auto unordered = store->open_segment(event[2].file);
        ASSERT_TRUE(unordered.has_value());
        const std::span<const std::int64_t> vt_s = *(*unordered)->edges.vt_s.get();
        EXPECT_FALSE(std::is_sorted(vt_s.begin(), vt_s.end()));
    }
    // (t_a, t_b): on the grid, every bound has rows starting at it, just before it and ending at it.
    const std::pair<std::int64_t, std::int64_t> windows[] = {
        {MIN, MAX}, {0, 200}, {50, 150}, {50, 51}, {149, 150}, {-3, 0}, {199, 200}, {100, 100},
        {150, 50},  {MAX - 1, MAX}, {MIN, MIN + 1}, {OPEN_END - 1, OPEN_END}};
    const auto set_env = [](const char* name, const char* value) { ::setenv(name, value, 1); };
    set_env("VORP_PARALLEL_MIN_ROWS", "0");
    const auto check_pages = [&](const char* stage_name) {
        for (const char* threads : {"1", "4"}) {
            set_env("VORP_SCAN_THREADS", threads);
            force_scalar_kernels(threads[0] == '1');
            for (const auto& [t_a, t_b] : windows) {
                for (const BeliefMode belief : {BeliefMode::All, BeliefMode::Current, BeliefMode::Superseded}) {
                    for (const std::int64_t at : {std::int64_t{1}, std::int64_t{3}, OPEN_END}) {
                        const VersionQuery query{at, t_a, t_b, nullptr, belief};
                        const std::vector<VersionKey> keys = sorted_keys(*store, query);
                        const auto n = static_cast<std::int64_t>(keys.size());
                        const auto second = std::find_if(keys.begin(), keys.end(),
                                                         [&](const VersionKey& key) { return key.tt_s != keys[0].tt_s; });
                        const std::int64_t boundary = second - keys.begin();
                        for (const std::int64_t offset : {std::int64_t{0}, std::int64_t{1}, n / 2, boundary - 50,
                                                          n - 100, n - 1, std::int64_t{-7}}) {
                            const auto [start, end] = page_bounds(keys.size(), offset, 100);
                            const std::vector<VersionKey> slice(keys.begin() + static_cast<std::ptrdiff_t>(start),
                                                                keys.begin() + static_cast<std::ptrdiff_t>(end));
                            const auto want = version_rows_at(*store, RowKind::Edge, slice);
                            const auto page = version_page(*store, RowKind::Edge, query, offset, 100);
                            ASSERT_TRUE(want.has_value() && page.has_value());
                            EXPECT_EQ(page->rows_total, keys.size());
                            EXPECT_TRUE(std::get<0>(page->rows) == std::get<0>(*want))
                                << stage_name << ", " << threads << " threads, window [" << t_a << ", " << t_b
                                << "), belief " << int(belief) << ", at " << at << ", offset " << offset;
                        }
                    }
                }
            }
        }
    };
    // The committed closes alone, then with the open batch's.
    check_pages("no batch");
    // tt 4, left open: closes of stored versions and of staged ones, staged rows.
    ASSERT_TRUE(store->begin(4).has_value());
    for (int k = 0; k < 500; ++k)
        ASSERT_TRUE(store->close_version(RowKind::Edge, stored[rng() % stored.size()], 4).has_value());
    for (int i = 0; i < 300; ++i) {
        const auto vt_s = static_cast<std::int64_t>(rng() % 200);
        EdgeRow row = edge(vid_of(rng()), vt_s, vt_s + 2, i % 3 ? 4 : 1);
        const Id96 vid = row.vid;
        stage(std::move(row));
        if (i % 7 == 0) {
            ASSERT_TRUE(store->close_version(RowKind::Edge, vid, 4).has_value());
        }
    }
    check_pages("batch open");
    force_scalar_kernels(false);
    ::unsetenv("VORP_SCAN_THREADS");
    ::unsetenv("VORP_PARALLEL_MIN_ROWS");
}

// Pages go parallel under the scans' gate: with fewer than four threads no worker starts, however
// low VORP_PARALLEL_MIN_ROWS is. A thread start made to fail shows whether one was attempted.
TEST(VersionPageOrder, FewerThanFourThreadsStartNoWorker) {
    testing::TempDir dir;
    auto store = std::move(*NativeStore::open((dir.path / "store").string()));
    const std::uint32_t a = store->add_entity("a", "x").value();
    for (std::int64_t tt = 1; tt <= 2; ++tt) {  // two segments: two work items
        ASSERT_TRUE(store->begin(tt).has_value());
        for (std::uint32_t i = 0; i < 10; ++i)
            ASSERT_TRUE(
                store->stage_edge(EdgeRow{"r", "", "{}", "", std::nullopt, Id96{1, i}, 0, 5, tt, a, a}).has_value());
        ASSERT_TRUE(store->commit(store->manifest().event_log).has_value());
    }
    ::setenv("VORP_PARALLEL_MIN_ROWS", "0", 1);
    const VersionQuery query{OPEN_END, 0, OPEN_END, nullptr, BeliefMode::All};
    for (const char* threads : {"1", "2", "3", "4"}) {
        ::setenv("VORP_SCAN_THREADS", threads, 1);
        fail_thread_start_after(0);
        if (threads[0] == '4') {
            EXPECT_THROW((void)version_page(*store, RowKind::Edge, query, 0, 100), EnginePanic);
        } else {
            const auto page = version_page(*store, RowKind::Edge, query, 0, 100);
            ASSERT_TRUE(page.has_value()) << threads << " threads";
            EXPECT_EQ(page->rows_total, 20u) << threads << " threads";
        }
        fail_thread_start_after(SIZE_MAX);
    }
    ::unsetenv("VORP_SCAN_THREADS");
    ::unsetenv("VORP_PARALLEL_MIN_ROWS");
}

}  // namespace
}  // namespace vorp
