// The open batch's staged rows, and sealing them into segment files.
//
// A batch appends versions to a Staging in the order the caller hands them over. Readers of the
// open batch find staged rows by identity through a lazily built index (positions by edge key and
// by node uid), which only ever absorbs rows appended since the last lookup.
//
// Sealing fixes the physical layout of what a commit writes:
//
//   order    rows of one kind are stably sorted by (vt_s, vid); rows with equal keys keep their
//            staging order
//   lane     a version whose valid interval touches fewer than 3 lane buckets (b(t) = floor((t -
//            lane_origin) / lane_stride), saturating) goes to the event lane, every other one to
//            the interval lane
//   cuts     a lane's rows are cut into segments by an estimated size (50 bytes plus the
//            discriminator for an edge row, 44 bytes for a node row): a segment closes once its
//            estimate reaches the target, but never between two rows of the same (vt_s, vid), so a
//            run of equal keys may push one segment past the target
//   ids      one id per segment from the caller's counter, in write order: edge event segments,
//            edge interval segments, node event segments, node interval segments; the file is
//            "{:012}.vos" in the segment directory
//   closes   a staged row whose vid the batch has closed is written with that close folded into
//            its segment's header
//
// The estimate looks only at string lengths, so nothing is encoded before the cuts are known.
// Rows are never copied: they are moved once into key order, and the writers read the rows of a
// segment through pointers straight out of the staging.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vorp/derive.h"
#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/row.h"
#include "vorp/segment.h"

namespace vorp {

// The size estimate at which sealing starts a new segment (128 MiB).
inline constexpr std::uint64_t SEGMENT_TARGET_BYTES = 134217728;
// The width of one lane bucket: one week in microseconds.
inline constexpr std::int64_t LANE_STRIDE = 604800000000;
// A version spanning this many buckets or more belongs to the interval lane.
inline constexpr std::int64_t INTERVAL_LANE_MIN_SPAN = 3;
// The estimated bytes of one row: an edge row adds the length of its discriminator.
inline constexpr std::uint64_t EDGE_ROW_BASE_COST = 50;
inline constexpr std::uint64_t NODE_ROW_COST = 44;

// Closes recorded against versions staged in the same batch: vid -> tt_e. One map serves node and
// edge rows alike.
using StagedVidCloses = std::unordered_map<Id96, std::int64_t, Id96Hash>;

// The bucket of time t: (t - origin) divided by stride, rounded towards negative infinity; the
// subtraction saturates at the i64 limits. `stride` must be positive.
std::int64_t lane_bucket(std::int64_t t, std::int64_t origin, std::int64_t stride);
// The number of buckets a valid interval [vt_s, vt_e) touches, at least 1 (an empty or inverted
// interval touches the bucket of vt_s); every step saturates.
std::int64_t lane_span(std::int64_t vt_s, std::int64_t vt_e, std::int64_t origin, std::int64_t stride);
Lane lane_of(std::int64_t vt_s, std::int64_t vt_e, std::int64_t origin, std::int64_t stride);

inline std::uint64_t row_cost(const EdgeRow& row) { return EDGE_ROW_BASE_COST + row.disc.size(); }
inline std::uint64_t row_cost(const NodeRow&) { return NODE_ROW_COST; }

// The cut rule over n rows in key order: returns the end of every segment (the last is n; none
// for n = 0). `cost_of(i)` is row i's estimate; `same_key(i)` tells whether rows i and i + 1 share
// their (vt_s, vid). A segment closes after row i when its estimate has reached `target_bytes`
// and row i + 1 has another key.
template <class CostOf, class SameKey>
std::vector<std::size_t> segment_ends(std::size_t n, std::uint64_t target_bytes, CostOf&& cost_of, SameKey&& same_key) {
    std::vector<std::size_t> ends;
    std::uint64_t estimate = 0;
    for (std::size_t row = 0; row < n; ++row) {
        const std::uint64_t cost = cost_of(row);
        estimate = cost > UINT64_MAX - estimate ? UINT64_MAX : estimate + cost;
        if (row + 1 < n && estimate >= target_bytes && !same_key(row)) {
            ends.push_back(row + 1);
            estimate = 0;
        }
    }
    if (n > 0) ends.push_back(n);
    return ends;
}

// How sealing lays segments out; the store passes its own fields.
struct SealLayout {
    std::int64_t lane_origin = 0;
    std::int64_t lane_stride = LANE_STRIDE;  // must be positive
    std::uint64_t segment_target_bytes = SEGMENT_TARGET_BYTES;
    std::uint32_t block_rows = BLOCK_ROWS;
};

// What one seal wrote, in write order.
struct SealedBatch {
    std::vector<std::pair<Lane, SegmentEntry>> edges;
    std::vector<SegmentEntry> nodes;
    std::vector<std::uint64_t> segment_ids;  // edge segments first
};

// A set of vids in one flat array (open addressing, linear probing, deletion by backward shift):
// staging notes one vid per staged row, and a node per element would cost an allocation and a
// cache miss each. Holds at most half its slots.
//
// Staging a row only notes its vid in a list; the noted vids enter the table together on the
// set's next use (any member below), where the slot of each is requested a few vids ahead. So a
// batch that is staged and committed never pays a random table access per row. Because a const
// lookup may absorb noted vids, a set must not be used from two threads at once (the staging's
// sets are only touched under exclusive access).
class VidSet {
public:
    // Adds the vid on the set's next use.
    void note(const Id96& vid) { noted_.push_back(vid); }
    // True when the vid was not in the set.
    bool insert(const Id96& vid);
    // 1 when the vid was removed, 0 when it was not in the set.
    std::size_t erase(const Id96& vid);
    bool contains(const Id96& vid) const {
        absorb();
        return !slots_.empty() && slots_[find_slot(vid)].used;
    }
    // Empties the set; its slots stay allocated.
    void clear();
    std::size_t size() const {
        absorb();
        return size_;
    }
    bool empty() const { return size() == 0; }

private:
    struct Slot {
        std::uint64_t prefix = 0;
        std::uint32_t suffix = 0;
        bool used = false;
    };
    std::size_t home_of(std::uint64_t prefix, std::uint32_t suffix) const {
        return Id96Hash{}(Id96{prefix, suffix}) & (slots_.size() - 1);
    }
    // The slot holding the vid, or the empty slot where its probe ends. Requires slots.
    std::size_t find_slot(const Id96& vid) const;
    // Enters the vid; requires a free slot beyond the half-full bound.
    bool place(const Id96& vid) const;
    // Grows the table (never shrinks it) until `entries` fit within half of it.
    void reserve(std::size_t entries) const;
    // Enters every noted vid.
    void absorb() const {
        if (!noted_.empty()) absorb_noted();
    }
    void absorb_noted() const;

    // The table is logically the set of entered and noted vids; entering is deferred (see above).
    mutable std::vector<Slot> slots_;  // a power of two in size, or empty
    mutable std::size_t size_ = 0;
    mutable std::vector<Id96> noted_;
};

// Positions of staged rows by identity. Positions refer to the present order of the staging's
// row lists; whatever reorders or removes rows resets or rebuilds it.
struct StagedIndex {
    // One key per absorbed edge row (the high 64 bits of its edge id), in position order; its
    // length is the number of edge rows absorbed.
    std::vector<std::uint64_t> edge_keys;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> edges_by_key;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> nodes_by_uid;
    std::size_t nodes_absorbed = 0;
};

// The rows of one batch. Mutated only under the handle's exclusive access; shared readers reach
// the rows only through the index lookups, which take the index mutex.
struct Staging {
    std::vector<EdgeRow> edges;  // staging order (sealed order once seal has run)
    std::vector<NodeRow> nodes;
    // A vid is in a set exactly when at least one staged row of that kind carries it.
    VidSet staged_edge_vids;
    VidSet staged_node_vids;

    Staging() = default;
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    // Append one row and note its vid. A vid staged before is accepted again; both rows stay.
    void add_edge(EdgeRow row);
    void add_node(NodeRow row);

    // Appends one row per vid, in order, with the same effect as add_edge (add_node) of each: row
    // i is a default row that `fill(i, row)` writes and whose vid is then vids[i]. The row list
    // grows at most once (geometrically, so a batch arriving in many calls stays linear), and
    // rows are written where they stay. When `fill` throws, the rows appended before it stay
    // staged; nothing else is.
    template <class Fill>
    void add_edges(std::span<const Id96> vids, Fill&& fill) {
        add_rows(edges, staged_edge_vids, vids, fill);
    }
    template <class Fill>
    void add_nodes(std::span<const Id96> vids, Fill&& fill) {
        add_rows(nodes, staged_node_vids, vids, fill);
    }

    bool empty() const { return edges.empty() && nodes.empty(); }

    // Remove every staged row of that kind with the vid, keeping the order of the others; false
    // (and nothing changed) when no row of that kind carries it. Keys already derived for kept
    // edge rows are carried over; the node index is rebuilt from scratch on the next lookup.
    bool retire_edge(const Id96& vid);
    bool retire_node(const Id96& vid);

    // Empties the staging in place (the row lists keep their capacity) and resets the index.
    void clear();

    // Positions in `nodes` of the staged rows of one node, ascending. Absorbs the node rows
    // appended since the last lookup first.
    std::vector<std::uint32_t> node_positions(std::uint32_t uid_id) const;

    // Absorbs up to `at_most` of the edge rows appended since the last lookup, deriving each key
    // with `key_of(const EdgeRow&)` -> Result<std::uint64_t>; whether every row is absorbed now. A
    // failure stops there (rows before it stay absorbed) and is returned. For a caller that keys a
    // large batch in slices, with the index's lock let go between them (a Ctrl-C is looked for
    // only with no lock held).
    template <class KeyOf>
    Result<bool> absorb_edges(KeyOf&& key_of, std::size_t at_most) const {
        return with_index([&]() -> Result<bool> {
            VORP_TRY(absorb_edges_locked(key_of, at_most));
            return index_.edge_keys.size() == edges.size();
        });
    }

    // Positions in `edges` of the staged rows whose edge key is `key`, ascending. Absorbs the edge
    // rows appended since the last lookup first, as absorb_edges does.
    template <class KeyOf>
    Result<std::vector<std::uint32_t>> edge_positions(std::uint64_t key, KeyOf&& key_of) const {
        return with_index([&]() -> Result<std::vector<std::uint32_t>> {
            VORP_TRY(absorb_edges_locked(key_of, SIZE_MAX));
            const auto found = index_.edges_by_key.find(key);
            if (found == index_.edges_by_key.end()) return std::vector<std::uint32_t>{};
            return found->second;
        });
    }

    // Writes the staged rows as new segment files in `segment_dir` and returns their entries.
    // Each segment takes the id `next_segment_id` and advances it by one, also when its write
    // fails. Rows whose vid is a key of `staged_vid_closes` are written closed at that tt_e.
    //
    // Afterwards, also on failure, the index is empty, no row is removed, and every row list the
    // call reached is in (vt_s, vid) order (edges first; a failed edge segment leaves the nodes
    // as they were). A writer's error ends the call at once; segments written before
    // it stay on disk unreferenced. `invariant` for a non-positive lane stride (before anything is
    // written); `capacity` instead of handing out the id 2^64 - 1, which file lists reserve for
    // names without an id (the counter would also wrap to 0 and reuse live ids after it).
    Result<SealedBatch> seal(const std::filesystem::path& segment_dir, const SealLayout& layout,
                             std::uint64_t& next_segment_id, const StagedVidCloses& staged_vid_closes);

private:
    template <class KeyOf>
    Status absorb_edges_locked(KeyOf& key_of, std::size_t at_most) const {
        // A row counts as absorbed once its key is in edge_keys, which has room for every row and
        // so takes it without allocating: a failure (of key_of or of the map) leaves the rows
        // before it absorbed and the index whole.
        std::vector<std::uint64_t>& keys = index_.edge_keys;
        if (edges.size() > keys.capacity()) keys.reserve(std::max(edges.size(), 2 * keys.capacity()));
        const std::size_t end = keys.size() + std::min(at_most, edges.size() - keys.size());
        for (std::size_t position = keys.size(); position < end; ++position) {
            const std::uint64_t row_key = VORP_TRY(key_of(edges[position]));
            index_.edges_by_key[row_key].push_back(static_cast<std::uint32_t>(position));
            keys.push_back(row_key);
        }
        return ok();
    }

    template <class Row, class Fill>
    static void add_rows(std::vector<Row>& rows, VidSet& staged_vids, std::span<const Id96> vids, Fill& fill) {
        const std::size_t wanted = rows.size() + vids.size();
        if (wanted > rows.capacity()) rows.reserve(std::max(wanted, rows.capacity() * 2));
        for (std::size_t added = 0; added < vids.size(); ++added) {
            Row& row = rows.emplace_back();  // reserved: does not throw
            try {
                fill(added, row);
                row.vid = vids[added];
                staged_vids.note(row.vid);
            } catch (...) {
                rows.pop_back();
                throw;
            }
        }
    }

    // Runs `body` under the index mutex, taken even under exclusive access: a mutex poisoned by a
    // failed reader must still end the call. Every body leaves the staging whole when an
    // allocation fails in it (it allocates before its first change, or absorbs row by row), so
    // such a failure leaves the mutex unpoisoned and the batch usable.
    template <class Body>
    decltype(auto) with_index(Body&& body) const {
        return index_mutex_.with_lock(std::forward<Body>(body));
    }

    mutable PoisonMutex index_mutex_{"staging index"};
    mutable StagedIndex index_;
};

// The manifest entry of a segment written from `rows` (non-empty, in stored order; the rows
// themselves or pointers to them) under `file`, with `n_closed` of its rows written closed: the
// first and last keys, the ranges of vt_s, vt_e and tt_s.
template <class Rows>
SegmentEntry sealed_entry(const Rows& rows, std::string file, std::uint32_t n_closed) {
    const auto row_of = [](const auto& element) -> const auto& {
        if constexpr (std::is_pointer_v<std::remove_cvref_t<decltype(element)>>)
            return *element;
        else
            return element;
    };
    SegmentEntry entry;
    entry.file = std::move(file);
    entry.rows = static_cast<std::uint32_t>(rows.size());
    entry.key_lo = {row_of(rows.front()).vt_s, row_of(rows.front()).vid.to_hex()};
    entry.key_hi = {row_of(rows.back()).vt_s, row_of(rows.back()).vid.to_hex()};
    entry.vt_min = INT64_MAX;
    entry.vt_max = INT64_MIN;
    entry.vt_e_max = INT64_MIN;
    entry.tt_s_min = INT64_MAX;
    entry.tt_s_max = INT64_MIN;
    for (const auto& element : rows) {
        const auto& row = row_of(element);
        entry.vt_min = std::min(entry.vt_min, row.vt_s);
        entry.vt_max = std::max(entry.vt_max, row.vt_s);
        entry.vt_e_max = std::max(entry.vt_e_max, row.vt_e);
        entry.tt_s_min = std::min(entry.tt_s_min, row.tt_s);
        entry.tt_s_max = std::max(entry.tt_s_max, row.tt_s);
    }
    entry.n_closed_folded = n_closed;
    entry.all_current = n_closed == 0;
    return entry;
}

}  // namespace vorp
