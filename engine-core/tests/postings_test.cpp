#include "vorp/postings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <latch>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "segment_fixtures.h"
#include "vorp/derive.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using testing::SegmentStore;
using Lists = std::map<std::uint64_t, std::vector<Position>>;

TEST(PositionIndex, MatchesAMultimapUnderAppendEraseAndRetain) {
    const int seeds = testing::seed_count("VORP_POSTINGS_SEEDS", 10);
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        PositionIndex index;
        Lists model;
        const auto check = [&] {
            std::size_t positions = 0;
            for (const auto& [key, list] : model) {
                ASSERT_EQ(index.find(key), list) << key;
                positions += list.size();
            }
            EXPECT_EQ(index.positions(), positions);
            EXPECT_EQ(index.keys(), model.size());
            EXPECT_TRUE(index.find(0xdeadbeefcafe).empty());
        };
        // Many keys, many of them probing past each other; or a few with long lists.
        const std::uint64_t key_range = seed % 2 == 0 ? 600 : 7;
        for (int step = 0; step < 4000; ++step) {
            const std::uint64_t key = rng() % key_range;
            const std::uint64_t roll = rng() % 10;
            if (roll < 7) {
                const Position position{rng() % 5, static_cast<std::uint32_t>(rng() % 100)};
                index.append(key, position);
                model[key].push_back(position);
            } else if (roll < 9) {
                const std::uint64_t segment = rng() % 5;
                const auto drop = [&](const Position& p) { return p.segment_id == segment; };
                std::size_t removed = 0;
                if (auto it = model.find(key); it != model.end()) {
                    removed = std::erase_if(it->second, drop);
                    if (it->second.empty()) model.erase(it);
                }
                EXPECT_EQ(index.erase_if(key, drop), removed);
            } else if (step % 7 == 0) {
                const std::unordered_set<std::uint64_t> keep{rng() % 5, rng() % 5, rng() % 5};
                index = index.retained(keep);
                for (auto it = model.begin(); it != model.end();) {
                    std::erase_if(it->second, [&](const Position& p) { return !keep.contains(p.segment_id); });
                    it = it->second.empty() ? model.erase(it) : std::next(it);
                }
            }
            if (step % 500 == 0) check();
        }
        check();
    }
}

// The postings of a set of stored segments worked out row by row from the rows as written.
struct Expected {
    Lists by_identity, by_vid, open_by_identity;
    std::uint64_t rows = 0;
    std::uint64_t segments = 0;

    void add(std::uint64_t segment_id, const std::vector<std::uint64_t>& keys, const std::vector<std::uint64_t>& vids,
             const std::vector<std::pair<std::uint32_t, std::int64_t>>& closed_rows) {
        for (std::uint32_t row = 0; row < keys.size(); ++row) {
            by_identity[keys[row]].push_back({segment_id, row});
            by_vid[vids[row]].push_back({segment_id, row});
            const auto closed = std::find_if(closed_rows.begin(), closed_rows.end(),
                                             [&](const auto& entry) { return entry.first == row; });
            if (closed == closed_rows.end() || closed->second >= OPEN_END)
                open_by_identity[keys[row]].push_back({segment_id, row});
        }
        rows += keys.size();
        ++segments;
    }

    void check(KindPostings& postings) const {
        EXPECT_EQ(postings.stats(), (PostingsStats{rows, rows, segments}));
        postings.with_postings([&](Postings& p) {
            for (const auto& [key, list] : by_identity) ASSERT_EQ(p.by_identity.find(key), list);
            for (const auto& [key, list] : by_vid) ASSERT_EQ(p.by_vid.find(key), list);
            for (const auto& [key, list] : open_by_identity) ASSERT_EQ(p.open_by_identity.find(key), list);
            EXPECT_EQ(p.by_identity.keys(), by_identity.size());
            EXPECT_EQ(p.by_vid.keys(), by_vid.size());
            EXPECT_EQ(p.open_by_identity.keys(), open_by_identity.size());
        });
    }
};

// Random folded closes: some before OPEN_END (they take the row out of current belief), some at
// or after it (they do not).
std::vector<std::pair<std::uint32_t, std::int64_t>> random_closed_rows(std::mt19937_64& rng, std::size_t rows) {
    std::vector<std::pair<std::uint32_t, std::int64_t>> out;
    for (std::uint32_t row = 0; row < rows; ++row) {
        if (rng() % 4 != 0) continue;
        const std::int64_t tt_e = rng() % 3 == 0 ? 20 : rng() % 2 == 0 ? OPEN_END : OPEN_END + 5;
        out.emplace_back(row, tt_e);
    }
    return out;
}

template <class Row>
void sort_rows(std::vector<Row>& rows) {
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return std::tie(a.vt_s, a.vid) < std::tie(b.vt_s, b.vid); });
}

TEST(Postings, LookupsMatchABruteForceSweep) {
    const int seeds = testing::seed_count("VORP_POSTINGS_SEEDS", 10);
    constexpr std::uint32_t entities = 40;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed + 100);
        SegmentStore store(entities);
        SegmentCache cache(std::nullopt);
        KindPostings edges(RowKind::Edge), nodes(RowKind::Node);
        Expected want_edges, want_nodes;
        const auto uid = [&](std::uint32_t id) { return std::string(*store.dictionary.uid(id)); };

        // Two generations; the second adds segments with larger ids, so ascending-id indexing
        // order equals the order below. Ids are shuffled between kinds and lanes.
        std::uint64_t next_id = 1;
        for (int generation = 0; generation < 2; ++generation) {
            const int segment_count = 1 + static_cast<int>(rng() % 4);
            for (int s = 0; s < segment_count; ++s) {
                const std::uint64_t id = next_id;
                next_id += 1 + rng() % 3;
                const std::size_t count = 1 + rng() % 60;
                if (rng() % 2 == 0) {
                    std::vector<EdgeRow> rows;
                    for (std::size_t r = 0; r < count; ++r) rows.push_back(testing::random_edge(rng, entities));
                    sort_rows(rows);
                    const auto closed = random_closed_rows(rng, rows.size());
                    store.add_segment(id, rows, rng() % 2 == 0 ? Lane::Event : Lane::Interval, closed);
                    std::vector<std::uint64_t> keys, vids;
                    for (const EdgeRow& row : rows) {
                        keys.push_back(edge_eid(uid(row.src_id), uid(row.dst_id), row.rel_type, row.disc).prefix);
                        vids.push_back(vid_key(row.vid));
                    }
                    want_edges.add(id, keys, vids, closed);
                } else {
                    std::vector<NodeRow> rows;
                    for (std::size_t r = 0; r < count; ++r) rows.push_back(testing::random_node(rng, entities));
                    sort_rows(rows);
                    const auto closed = random_closed_rows(rng, rows.size());
                    store.add_segment(id, rows, Lane::Event, closed);
                    std::vector<std::uint64_t> keys, vids;
                    for (const NodeRow& row : rows) {
                        keys.push_back(hash_uid(uid(row.uid_id)));
                        vids.push_back(vid_key(row.vid));
                    }
                    want_nodes.add(id, keys, vids, closed);
                }
            }
            store.next_generation();
            ASSERT_TRUE(edges.index_segments(store.root(), store.manifest, cache, store.dictionary).has_value());
            want_edges.check(edges);
            // Nothing indexes a kind until asked for it.
            if (generation == 0) {
                EXPECT_EQ(nodes.stats(), PostingsStats{});
            }
            ASSERT_TRUE(nodes.index_segments(store.root(), store.manifest, cache, store.dictionary).has_value());
            want_nodes.check(nodes);
        }
    }
}

// Segments large enough, into tables large enough, to be filed in order of home slots: every
// list still holds its positions in filing order, as appending row by row gives.
TEST(Postings, LargeSegmentsKeepEveryListInFilingOrder) {
    std::mt19937_64 rng(7);
    Postings postings;
    std::unordered_map<std::uint64_t, std::vector<Position>> by_identity, by_vid, open;
    for (std::uint64_t segment_id = 10; segment_id < 13; ++segment_id) {
        constexpr std::size_t rows = 100'000;
        std::vector<std::uint64_t> keys(rows), vid_keys(rows);
        for (std::size_t row = 0; row < rows; ++row) {
            keys[row] = rng() % 60'000;                               // lists of a few rows, within and across segments
            vid_keys[row] = row % 7 == 0 ? rng() % 1'000 : rng();     // and some long ones
        }
        const auto closed_rows = random_closed_rows(rng, rows);
        std::vector<char> closed(rows);
        for (const auto& [row, tt_e] : closed_rows) closed[row] = tt_e < OPEN_END;
        ASSERT_TRUE(postings.merge_segment(segment_id, keys, vid_keys, closed_rows).value());
        for (std::uint32_t row = 0; row < rows; ++row) {
            by_identity[keys[row]].push_back({segment_id, row});
            by_vid[vid_keys[row]].push_back({segment_id, row});
            if (!closed[row]) open[keys[row]].push_back({segment_id, row});
        }
    }
    const auto same = [](const PositionIndex& index, const auto& model) {
        ASSERT_EQ(index.keys(), model.size());
        for (const auto& [key, list] : model) ASSERT_EQ(index.find(key), list) << key;
    };
    same(postings.by_identity, by_identity);
    same(postings.by_vid, by_vid);
    same(postings.open_by_identity, open);
}

TEST(Postings, TwoThreadsIndexingTheSameSegmentsMergeEachOnce) {
    SegmentStore store(30);
    std::mt19937_64 rng(5);
    std::uint64_t rows = 0;
    for (std::uint64_t id = 1; id <= 24; ++id) {
        std::vector<EdgeRow> batch;
        for (int r = 0; r < 40; ++r) batch.push_back(testing::random_edge(rng, 30));
        rows += batch.size();
        store.add_segment(id, std::move(batch));
    }
    SegmentCache cache(std::nullopt);
    for (int round = 0; round < 30; ++round) {
        KindPostings postings(RowKind::Edge);
        std::latch start(2);
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&] {
                start.arrive_and_wait();
                const Status indexed = postings.index_segments(store.root(), store.manifest, cache, store.dictionary);
                EXPECT_TRUE(indexed.has_value());
            });
        for (std::thread& thread : threads) thread.join();
        ASSERT_EQ(postings.stats(), (PostingsStats{rows, rows, 24})) << "round " << round;
    }
}

TEST(Postings, FailingSegmentStaysUnindexedAndIsRetried) {
    SegmentStore store(10);
    std::mt19937_64 rng(9);
    for (std::uint64_t id = 1; id <= 2; ++id) {
        std::vector<NodeRow> batch;
        for (int r = 0; r < 5; ++r) batch.push_back(testing::random_node(rng, 10));
        store.add_segment(id, std::move(batch));
    }
    NodeRow stranger = testing::random_node(rng, 10);
    stranger.uid_id = 12;  // not (yet) in the dictionary
    store.add_segment(3, std::vector<NodeRow>{stranger});

    SegmentCache cache(std::nullopt);
    KindPostings postings(RowKind::Node);
    const Status failed = postings.index_segments(store.root(), store.manifest, cache, store.dictionary);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().display(),
              "invariant: dense id 12 is not in the dictionary — this is an engine bug; please report it with the "
              "store manifest");
    EXPECT_EQ(postings.stats(), (PostingsStats{10, 10, 2}));

    for (int id = 10; id <= 12; ++id) store.dictionary.push(fmt::format("late-{}", id), "Thing");
    ASSERT_TRUE(postings.index_segments(store.root(), store.manifest, cache, store.dictionary).has_value());
    EXPECT_EQ(postings.stats(), (PostingsStats{11, 11, 3}));
    postings.with_postings([&](Postings& p) {
        EXPECT_EQ(p.by_identity.find(hash_uid("late-12")), (std::vector<Position>{{3, 0}}));
    });
}

// Rewrites `segment` to `path` with row 0 of one column set to `value`, checksums made right.
// Writes `segment` again at `path`, without the column `drop` (when one is named) and with row 0
// of the column `patch` (when one is named) set to `value`.
Status rewrite_segment(const Segment& segment, const fs::path& path, std::string_view drop, std::string_view patch,
                       std::uint64_t value) {
    std::vector<ColumnBuilder> columns;
    const std::size_t rows = segment.header.rows;
    for (const ColumnDesc& desc : segment.header.columns) {
        if (!drop.empty() && desc.name == drop) continue;
        ColumnBuilder builder(desc.name, desc.dtype, rows);
        const bool patched = !patch.empty() && desc.name == patch;
        const auto push_all = [&](auto values) {
            if (!values.has_value()) {
                ADD_FAILURE() << "column " << desc.name << " cannot be read";
                return;
            }
            for (std::size_t row = 0; row < rows; ++row)
                builder.push(row == 0 && patched ? value : static_cast<std::uint64_t>((*values)[row]));
        };
        switch (desc.dtype) {
            case DType::I64: push_all(segment.typed<std::int64_t>(desc.name)); break;
            case DType::U64: push_all(segment.typed<std::uint64_t>(desc.name)); break;
            case DType::U32: push_all(segment.typed<std::uint32_t>(desc.name)); break;
            case DType::U16: push_all(segment.typed<std::uint16_t>(desc.name)); break;
        }
        columns.push_back(std::move(builder));
    }
    StringTable strings;
    const StringView view = *segment.strings();
    for (std::uint32_t ref = 0; ref < view.count; ++ref) strings.intern(*view.get(ref));
    SegmentHeader header = segment.header;
    header.columns.clear();
    return write_segment(path, std::move(header), std::move(columns), strings);
}

void rewrite_with(const Segment& segment, std::string_view column, std::uint64_t value, const fs::path& path) {
    const Status written = rewrite_segment(segment, path, {}, column, value);
    ASSERT_TRUE(written.has_value()) << written.error().display();
}

TEST(Postings, ReferencesReadFromASegmentAreBoundsChecked) {
    struct Case {
        std::string_view column;
        std::uint64_t value;
        Category category;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"src_id", 999, Category::Invariant, "dense id 999 is not in the dictionary"},
        {"dst_id", 0xFFFFFFFF, Category::Invariant, "dense id 4294967295 is not in the dictionary"},
        {"rel_code", 7, Category::Corrupt, "rel_code 7 is out of range (the segment has 1 rel_types)"},
        {"disc_ref", 100000, Category::Corrupt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        SegmentStore store(5);
        std::vector<EdgeRow> batch;
        std::mt19937_64 rng(3);
        for (int r = 0; r < 20; ++r) {
            batch.push_back(testing::random_edge(rng, 5));
            batch.back().rel_type = "knows";
        }
        const std::string file = store.add_segment(1, batch);
        SegmentCache probe(std::nullopt);
        const auto segment = probe.open_segment(store.root(), store.manifest, file);
        ASSERT_TRUE(segment.has_value());
        rewrite_with(**segment, c.column, c.value, store.root() / file);

        SegmentCache cache(std::nullopt);
        KindPostings postings(RowKind::Edge);
        const Status failed = postings.index_segments(store.root(), store.manifest, cache, store.dictionary);
        ASSERT_FALSE(failed.has_value());
        EXPECT_EQ(failed.error().category, c.category);
        if (!c.message.empty()) {
            EXPECT_EQ(failed.error().message, c.message);
        }
        EXPECT_EQ(postings.stats(), PostingsStats{});
    }
}

// ---- finding a stored version by vid ------------------------------------------------------------

// The lookup as written out step by step: index, then every candidate of the vid postings in
// filing order, each segment looked up by file name in the generation's list and opened through
// the cache by that name, its vid64 and then vid_lo32 read through the column lookups.
Result<std::optional<Position>> find_by_file_name(const fs::path& root, const Manifest& manifest, SegmentCache& cache,
                                                  KindPostings& postings, const Dictionary& dictionary,
                                                  const Id96& vid) {
    VORP_TRY(postings.index_segments(root, manifest, cache, dictionary));
    const std::shared_ptr<const SegmentFiles> files = cache.segment_files(manifest);
    const std::vector<Position> candidates =
        postings.with_postings([&](Postings& p) { return p.by_vid.find(vid_key(vid)); });
    const auto& by_id = files->of(postings.kind());
    for (const Position& candidate : candidates) {
        const auto file = by_id.find(candidate.segment_id);
        if (file == by_id.end()) continue;
        const std::shared_ptr<const Segment> segment = VORP_TRY(cache.open_segment(root, manifest, file->second));
        const auto high = VORP_TRY_FILE(segment->path, version_columns(*segment, postings.kind()).vid64.get());
        if (candidate.row >= high.size() || high[candidate.row] != vid.prefix) continue;
        const auto low = VORP_TRY_FILE(segment->path, version_columns(*segment, postings.kind()).vid_lo32.get());
        if (candidate.row >= low.size() || low[candidate.row] != vid.suffix) continue;
        return candidate;
    }
    return std::optional<Position>{};
}

// A vid other than `vid` with the same by_vid key.
Id96 key_twin(const Id96& vid, std::uint32_t suffix) {
    if (suffix == vid.suffix) ++suffix;
    return Id96{vid_key(vid) ^ (std::uint64_t{suffix} * 0x9E3779B97F4A7C15ull), suffix};
}

// The segment's bytes with `column` left out (the header no longer lists it), checksums made right.
std::string without_column(const Segment& segment, std::string_view column, const fs::path& scratch) {
    const Status written = rewrite_segment(segment, scratch, column, {}, 0);
    EXPECT_TRUE(written.has_value()) << written.error().display();
    return testing::read_text(scratch);
}

// The segment-kept lookup (tickets into the cache, columns kept per segment) against the lookup
// by file name, on twin caches and postings over one store, through random closes and everything
// that can make what a segment keeps stale: generations that drop and re-list segments (also
// under another file name), budgets that evict, the collector's pruning, files replaced on disk
// by damaged or changed ones (reopened only after an eviction). Results, errors and the caches'
// counters must agree after every step.
TEST(Postings, FindVersionMatchesTheLookupByFileName) {
    const int seeds = testing::seed_count("VORP_POSTINGS_SEEDS", 12);
    constexpr std::uint32_t entities = 30;
    std::size_t found = 0, missing = 0, failed = 0;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed + 500);
        const RowKind kind = seed % 2 == 0 ? RowKind::Edge : RowKind::Node;
        SegmentStore store(entities);
        const std::optional<std::uint64_t> budget =
            std::array<std::optional<std::uint64_t>, 4>{std::nullopt, 1, 6000, 20000}[seed % 4];
        struct Side {
            SegmentCache cache;
            KindPostings edges{RowKind::Edge}, nodes{RowKind::Node};
            explicit Side(std::optional<std::uint64_t> budget) : cache(budget) {}
        };
        Side fast(budget), reference(budget);
        const auto postings = [&](Side& side) -> KindPostings& { return kind == RowKind::Edge ? side.edges : side.nodes; };

        std::vector<Id96> stored;                      // every vid written, in any segment
        std::map<std::uint64_t, std::string> written;  // segment id -> its file's original bytes
        std::uint64_t next_id = 1;
        const auto add_segment = [&] {
            const std::uint64_t id = next_id++;
            const std::size_t count = 1 + rng() % 12;
            const auto vid_for = [&](Id96 drawn) {
                // Now and then a vid stored before (a duplicate) or a key twin of one.
                if (!stored.empty() && rng() % 5 == 0) return stored[rng() % stored.size()];
                if (!stored.empty() && rng() % 5 == 0) return key_twin(stored[rng() % stored.size()], rng());
                return drawn;
            };
            std::string file;
            if (kind == RowKind::Edge) {
                std::vector<EdgeRow> rows;
                for (std::size_t r = 0; r < count; ++r) {
                    rows.push_back(testing::random_edge(rng, entities));
                    rows.back().vid = vid_for(rows.back().vid);
                    stored.push_back(rows.back().vid);
                }
                file = store.add_segment(id, rows, rng() % 3 == 0 ? Lane::Interval : Lane::Event);
            } else {
                std::vector<NodeRow> rows;
                for (std::size_t r = 0; r < count; ++r) {
                    rows.push_back(testing::random_node(rng, entities));
                    rows.back().vid = vid_for(rows.back().vid);
                    stored.push_back(rows.back().vid);
                }
                file = store.add_segment(id, rows);
            }
            written[id] = testing::read_text(store.root() / file);
        };
        // The lists of the kind: both lanes for edges.
        const std::vector<std::vector<SegmentEntry>*> lists =
            kind == RowKind::Node
                ? std::vector<std::vector<SegmentEntry>*>{&store.manifest.node_store}
                : std::vector<std::vector<SegmentEntry>*>{&store.manifest.edge_lanes.event,
                                                          &store.manifest.edge_lanes.interval};
        const auto listed_count = [&] {
            std::size_t count = 0;
            for (const auto* list : lists) count += list->size();
            return count;
        };
        // The list holding the n-th listed entry, and its index there.
        const auto locate = [&](std::size_t n) -> std::pair<std::vector<SegmentEntry>*, std::size_t> {
            for (auto* list : lists) {
                if (n < list->size()) return {list, n};
                n -= list->size();
            }
            return {nullptr, 0};
        };
        const auto any_listed = [&]() -> const SegmentEntry& {
            const auto [list, index] = locate(rng() % listed_count());
            return (*list)[index];
        };
        std::vector<SegmentEntry> dropped;
        std::set<std::string> damaged;  // files replaced on disk by damaged or changed bytes
        // Replaces a file by rename, so that a mapping of the old file stays whole.
        const auto replace_file = [&](const std::string& file, const std::string& bytes) {
            const fs::path temporary = store.root() / "seg" / "replacement.tmp";
            testing::write_text(temporary, bytes);
            fs::rename(temporary, store.root() / file);
        };

        for (int s = 0; s < 3; ++s) add_segment();
        store.next_generation();
        for (int step = 0; step < 250; ++step) {
            const std::uint64_t roll = rng() % 100;
            if (roll < 70) {
                Id96 vid;
                const std::uint64_t pick = rng() % 10;
                if (pick < 6) vid = stored[rng() % stored.size()];
                else if (pick < 9) vid = key_twin(stored[rng() % stored.size()], rng());
                else vid = Id96{rng(), static_cast<std::uint32_t>(rng())};
                const auto got = postings(fast).find_version(store.root(), store.manifest, fast.cache, store.dictionary, vid);
                const auto want = find_by_file_name(store.root(), store.manifest, reference.cache, postings(reference),
                                                    store.dictionary, vid);
                ASSERT_EQ(got.has_value(), want.has_value()) << "step " << step;
                if (want) {
                    ASSERT_EQ(*got, *want) << "step " << step;
                    (*want ? found : missing)++;
                } else {
                    ASSERT_EQ(got.error().display(), want.error().display()) << "step " << step;
                    ASSERT_EQ(got.error().location.file, want.error().location.file) << "step " << step;
                    failed++;
                }
            } else if (roll < 80) {
                // The next generation: new segments, one dropped (its postings go stale), one
                // dropped earlier listed again, now and then under another name of the same id.
                for (std::uint64_t n = rng() % 3; n > 0; --n) add_segment();
                if (listed_count() > 1 && rng() % 2 == 0) {
                    const auto [list, index] = locate(rng() % listed_count());
                    dropped.push_back((*list)[index]);
                    list->erase(list->begin() + static_cast<std::ptrdiff_t>(index));
                }
                if (!dropped.empty() && rng() % 2 == 0) {
                    const std::size_t index = rng() % dropped.size();
                    SegmentEntry entry = dropped[index];
                    dropped.erase(dropped.begin() + static_cast<std::ptrdiff_t>(index));
                    if (rng() % 2 == 0 && !entry.file.starts_with("seg/+")) {
                        const std::string alias = "seg/+" + entry.file.substr(4);
                        fs::copy_file(store.root() / entry.file, store.root() / alias,
                                      fs::copy_options::overwrite_existing);
                        entry.file = alias;
                    }
                    lists[rng() % lists.size()]->push_back(entry);
                }
                store.next_generation();
            } else if (roll < 86) {
                // A listed file replaced on disk: truncated, without vid_lo32 or with row 0's vid64
                // changed; or a replaced one restored. Either cache notices only when it opens the
                // file again.
                if (!damaged.empty() && rng() % 3 != 0) {
                    const auto restored = std::next(damaged.begin(), static_cast<std::ptrdiff_t>(rng() % damaged.size()));
                    replace_file(*restored, written.at(segment_id_of(*restored)));
                    damaged.erase(restored);
                } else {
                    const SegmentEntry& entry = any_listed();
                    std::string bytes = written.at(segment_id_of(entry.file));
                    const fs::path original = store.root() / "seg" / "original.tmp";
                    testing::write_text(original, bytes);
                    SegmentCache probe(std::nullopt);
                    const auto segment = probe.open_segment(store.root(), store.manifest, "seg/original.tmp");
                    ASSERT_TRUE(segment.has_value()) << segment.error().display();
                    switch (rng() % 3) {
                        case 0: bytes.resize(bytes.size() / 2); break;
                        case 1: bytes = without_column(**segment, "vid_lo32", store.root() / "seg" / "scratch.tmp"); break;
                        default: {
                            const std::uint64_t vid64 = (*version_columns(**segment, kind).vid64.get())[0];
                            const auto at = bytes.find(std::string(reinterpret_cast<const char*>(&vid64), 8));
                            ASSERT_NE(at, std::string::npos);
                            bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
                        }
                    }
                    replace_file(entry.file, bytes);
                    damaged.insert(entry.file);
                }
            } else if (roll < 94) {
                // The collector's pruning to a random part of the listed files.
                FileNameSet live;
                for (const auto* list : lists)
                    for (const SegmentEntry& entry : *list)
                        if (rng() % 3 != 0) live.insert(entry.file);
                evict_segments_not_in(fast.cache, fast.edges, fast.nodes, live);
                evict_segments_not_in(reference.cache, reference.edges, reference.nodes, live);
            } else {
                // Another reader's opens move the recency of both caches alike.
                const SegmentEntry& entry = any_listed();
                const auto a = fast.cache.open_segment(store.root(), store.manifest, entry.file);
                const auto b = reference.cache.open_segment(store.root(), store.manifest, entry.file);
                ASSERT_EQ(a.has_value(), b.has_value());
            }
            ASSERT_EQ(fast.cache.stats(), reference.cache.stats()) << "step " << step;
            ASSERT_EQ(postings(fast).stats(), postings(reference).stats()) << "step " << step;
        }
    }
    // The walks reached every outcome.
    EXPECT_GT(found, 0u);
    EXPECT_GT(missing, 0u);
    EXPECT_GT(failed, 0u);
    std::printf("found %zu, not found %zu, failed %zu\n", found, missing, failed);
}

TEST(Postings, EvictionPrunesCacheVerifiedSetAndBothKinds) {
    SegmentStore store(20);
    std::mt19937_64 rng(11);
    std::vector<std::string> files;
    std::vector<std::uint64_t> row_counts;
    for (std::uint64_t id = 1; id <= 4; ++id) {
        const std::size_t count = 10 * id;
        if (id % 2 == 1) {
            std::vector<EdgeRow> batch;
            for (std::size_t r = 0; r < count; ++r) batch.push_back(testing::random_edge(rng, 20));
            files.push_back(store.add_segment(id, std::move(batch)));
        } else {
            std::vector<NodeRow> batch;
            for (std::size_t r = 0; r < count; ++r) batch.push_back(testing::random_node(rng, 20));
            files.push_back(store.add_segment(id, std::move(batch)));
        }
        row_counts.push_back(count);
    }
    SegmentCache cache(std::nullopt);
    KindPostings edges(RowKind::Edge), nodes(RowKind::Node);
    ASSERT_TRUE(edges.index_segments(store.root(), store.manifest, cache, store.dictionary).has_value());
    ASSERT_TRUE(nodes.index_segments(store.root(), store.manifest, cache, store.dictionary).has_value());
    EXPECT_EQ(cache.stats().entries, 4u);

    // Keep segment 1 (edge) and segment 4 (node).
    evict_segments_not_in(cache, edges, nodes, FileNameSet{files[0], files[3]});
    EXPECT_EQ(edges.stats(), (PostingsStats{row_counts[0], row_counts[0], 1}));
    EXPECT_EQ(nodes.stats(), (PostingsStats{row_counts[3], row_counts[3], 1}));
    EXPECT_TRUE(cache.contains(files[0]));
    EXPECT_FALSE(cache.contains(files[1]));
    EXPECT_FALSE(cache.is_verified(files[2]));
    EXPECT_TRUE(cache.is_verified(files[3]));

    // A pruned segment still in the manifest is indexed afresh by the next call.
    ASSERT_TRUE(edges.index_segments(store.root(), store.manifest, cache, store.dictionary).has_value());
    EXPECT_EQ(edges.stats(), (PostingsStats{row_counts[0] + row_counts[2], row_counts[0] + row_counts[2], 2}));

    evict_segments_not_in(cache, edges, nodes, FileNameSet{});
    EXPECT_EQ(edges.stats(), PostingsStats{});
    EXPECT_EQ(nodes.stats(), PostingsStats{});
    const SegmentCacheStats stats = cache.stats();
    EXPECT_EQ(stats.entries, 0u);
    EXPECT_EQ(stats.accounted_bytes, 0u);
    EXPECT_EQ(stats.evictions, 0u);
    EXPECT_FALSE(cache.is_verified(files[0]));
}

}  // namespace
}  // namespace vorp
