// Version pages select their rows without sorting the whole population; the selected rows must be
// exactly those of the stable sort by (tt_s, vid), including among versions that share a vid and a
// tt_s (a vid staged again, a vid stored in two segments), which only the collection order tells
// apart. Reference: the keys stably sorted in full, cut by page_bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "vorp/read.h"
#include "vorp/store.h"

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
    const std::uint32_t a = store->dict.push("a", "x");
    const std::uint32_t b = store->dict.push("b", "x");
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
            ASSERT_TRUE(store->commit(store->manifest.event_log).has_value());
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

}  // namespace
}  // namespace vorp
