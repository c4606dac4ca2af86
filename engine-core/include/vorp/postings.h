// Identity postings: per row kind, an in-memory inverted index from identity key and from vid64 to
// the (segment id, row) positions of the stored versions, so that reads by identity and closes by
// version id find their rows without sweeping every segment.
//
// Keys are 64-bit hashes, not identities: an edge's key is the high 64 bits of its edge id, a
// node's is hash_uid of its uid, and by_vid's is vid_key of the whole vid. One list may therefore
// mix rows of several identities; readers re-check the full identity on every row.
//
// The postings are built lazily and never rebuilt: the first call that needs them indexes every
// segment of the current generation not yet indexed, in ascending segment id, one segment at a
// time. A segment's keys are computed (dictionary lookups, hashing) with no lock held; its
// positions are merged under the kind's mutex, which re-checks that no other thread merged the
// segment meanwhile, so a segment is merged exactly once. The garbage collector prunes them to the
// segments of the generations it keeps (evict_segments_not_in).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vorp/dict.h"
#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/row.h"
#include "vorp/segment.h"
#include "vorp/segment_cache.h"

namespace vorp {

// One stored row.
struct Position {
    std::uint64_t segment_id = 0;
    std::uint32_t row = 0;

    bool operator==(const Position&) const = default;
};

// The by_vid key of a version id: its high 64 bits folded with its low 32 bits spread over all 64
// (an odd multiplier is a bijection, so vids that share their high bits, as ids made of a batch
// number above a row counter do, get distinct keys and a close finds its candidates without
// reading every stored version of the batch). Kept in memory only; nothing on disk uses it.
constexpr std::uint64_t vid_key(const Id96& vid) {
    return vid.prefix ^ (std::uint64_t{vid.suffix} * 0x9E3779B97F4A7C15ull);
}

// A hash multimap from a 64-bit key to a list of positions in filing order. A key with one
// position (every vid, most identities) holds it in its table slot, so a lookup reads one line of
// the table and nothing else; a key with more chains them in a pool, newest first, so that an
// append writes only the slot and the pool's end (never an older node), and readers turn the
// chain round. A position names its segment by a number (the segments in the order this index
// first met them), which keeps slots at 16 bytes and nodes at 12, and lets callers keep
// per-segment facts in a flat table beside the index (`segment_count`, `for_each`).
class PositionIndex {
public:
    // Files `position` last in the list of `key`. Positions are counted in 32 bits: callers
    // check `room_for` first.
    void append(std::uint64_t key, Position position);
    bool room_for(std::size_t more) const { return appended_ + more < NO_NODE; }
    // Room for `keys` more keys and positions without growing the table or the pool.
    void reserve_keys(std::size_t keys);
    // The number of `segment_id`, given one when it has none yet (appends of its positions then
    // allocate nothing for it).
    std::uint32_t number_segment(std::uint64_t segment_id);
    // Starts loading the table slot where `key` would be looked up first (a hint, no effect on
    // contents): bulk appends issue it a few keys ahead to overlap the cache misses.
    void prefetch(std::uint64_t key) const {
        if (!slots_.empty()) __builtin_prefetch(&slots_[home(key)], 1);
    }

    // One row of a segment to file and its key.
    struct Filing {
        std::uint64_t key;
        std::uint32_t row;
        std::uint32_t home;  // the low 32 bits of its home slot, once the order is by home
    };
    // The rows `rows` (ascending; every row of `keys` when absent) of one segment to file, each
    // under keys[row], in the order that costs least: as given while the table is small enough
    // for the caches or the rows few; else by home slot, the rows of one key in their given order,
    // so that the appends sweep the table from end to end instead of missing on a random slot (and
    // its page) each. Filing in either order gives every key the same list. Valid until the table
    // grows: reserve first.
    std::vector<Filing> filing_order(std::span<const std::uint64_t> keys,
                                     std::optional<std::span<const std::uint32_t>> rows = std::nullopt) const;
    // Files each row of `order` of segment `segment_id` under its key, in turn. Allocates nothing
    // when the room was reserved and the segment numbered.
    void append_rows(std::uint64_t segment_id, std::span<const Filing> order);

    // The positions of `key` in filing order (empty when none).
    std::vector<Position> find(std::uint64_t key) const;
    // Calls visit(segment number, position) for the positions of `key` in filing order.
    template <class Visit>
    void for_each(std::uint64_t key, Visit&& visit) const;
    // Removes the positions of `key` for which `drop` holds, keeping the others in order; the key
    // goes when its list empties. Returns how many were removed.
    template <class Drop>
    std::size_t erase_if(std::uint64_t key, Drop drop);
    // The positions whose segment is in `keep`, in order, as a new index with a compact pool and
    // the segments numbered afresh; this one is left as it is.
    PositionIndex retained(const std::unordered_set<std::uint64_t>& keep) const;

    std::size_t positions() const { return live_; }
    std::size_t keys() const { return used_; }
    // Segment numbers run from 0 to segment_count() - 1; a number stays with its segment for
    // the life of the index (`retained` numbers afresh).
    std::size_t segment_count() const { return segment_ids_.size(); }

private:
    static constexpr std::uint32_t NO_NODE = 0xFFFFFFFFu;
    // Slot::segment of a free slot, and of a key whose positions are chained from Slot::row.
    static constexpr std::uint32_t EMPTY = 0xFFFFFFFFu;
    static constexpr std::uint32_t CHAINED = 0xFFFFFFFEu;
    struct Node {
        std::uint32_t segment;  // index into segment_ids_
        std::uint32_t row;
        std::uint32_t next;  // the position filed before this one; NO_NODE ends the chain
    };
    // Linear probing; never more than 3/4 full.
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t segment = EMPTY;  // the one position's segment number, EMPTY or CHAINED
        std::uint32_t row = 0;          // its row, or the newest node of the chain
    };

    // Keys of by_vid are caller-chosen vid64 values (often sequential): mixed before masking.
    std::size_t home(std::uint64_t key) const {
        std::uint64_t x = key;
        x ^= x >> 33;
        x *= 0xFF51AFD7ED558CCDull;
        x ^= x >> 33;
        return static_cast<std::size_t>(x) & (slots_.size() - 1);
    }
    // The slot holding `key`, or slots_.size().
    std::size_t find_slot(std::uint64_t key) const;
    void grow_to(std::size_t slot_count);
    void erase_slot(std::size_t slot);
    Position position_of(std::uint32_t segment, std::uint32_t row) const {
        return Position{segment_ids_[segment], row};
    }
    // Calls visit(segment number, row) for the positions of a used slot in filing order.
    template <class Visit>
    void walk(const Slot& slot, Visit&& visit) const;

    std::vector<Slot> slots_;
    std::vector<Node> pool_;
    std::size_t used_ = 0;      // keys
    std::size_t live_ = 0;      // positions reachable from a key
    std::size_t appended_ = 0;  // positions appended since the pool was last rebuilt
    // Segment number -> id, and back. Appends come segment by segment, so the last number given
    // answers almost every lookup.
    std::vector<std::uint64_t> segment_ids_;
    std::unordered_map<std::uint64_t, std::uint32_t> segment_numbers_;
    std::uint32_t last_number_ = NO_NODE;
};

template <class Visit>
void PositionIndex::walk(const Slot& slot, Visit&& visit) const {
    if (slot.segment != CHAINED) {
        visit(slot.segment, slot.row);
        return;
    }
    // The chain runs newest first: gather it, then hand it out oldest first.
    constexpr std::size_t inline_nodes = 16;
    std::array<std::uint32_t, inline_nodes> few;
    std::vector<std::uint32_t> many;
    std::size_t count = 0;
    for (std::uint32_t node = slot.row; node != NO_NODE; node = pool_[node].next) {
        if (count < inline_nodes) {
            few[count] = node;
        } else {
            if (count == inline_nodes) many.assign(few.begin(), few.end());
            many.push_back(node);
        }
        ++count;
    }
    for (std::size_t index = count; index-- > 0;) {
        const Node& node = pool_[count > inline_nodes ? many[index] : few[index]];
        visit(node.segment, node.row);
    }
}

template <class Visit>
void PositionIndex::for_each(std::uint64_t key, Visit&& visit) const {
    const std::size_t slot = find_slot(key);
    if (slot == slots_.size()) return;
    walk(slots_[slot], [&](std::uint32_t segment, std::uint32_t row) { visit(segment, position_of(segment, row)); });
}

template <class Drop>
std::size_t PositionIndex::erase_if(std::uint64_t key, Drop drop) {
    const std::size_t slot = find_slot(key);
    if (slot == slots_.size()) return 0;
    Slot& entry = slots_[slot];
    if (entry.segment != CHAINED) {
        if (!drop(position_of(entry.segment, entry.row))) return 0;
        --live_;
        erase_slot(slot);
        return 1;
    }
    // The kept nodes, oldest first, are chained again newest first; dropped ones stay in the pool
    // unreferenced until the pool is rebuilt (retained).
    std::vector<std::uint32_t> kept;
    std::size_t removed = 0;
    for (std::uint32_t node = entry.row; node != NO_NODE; node = pool_[node].next) {
        if (drop(position_of(pool_[node].segment, pool_[node].row)))
            ++removed;
        else
            kept.push_back(node);
    }
    live_ -= removed;
    if (kept.empty()) {
        erase_slot(slot);
        return removed;
    }
    std::uint32_t next = NO_NODE;
    for (std::size_t index = kept.size(); index-- > 0;) {
        pool_[kept[index]].next = next;
        next = kept[index];
    }
    entry.row = kept.front();
    return removed;
}

// The postings of one row kind.
struct Postings {
    // Every stored row of the kind, by identity key.
    PositionIndex by_identity;
    // Every stored row of the kind, by vid_key of its vid.
    PositionIndex by_vid;
    // Segments whose rows have been merged.
    std::unordered_set<std::uint64_t> indexed;
    // Like by_identity, without the rows their own segment records as closed before OPEN_END: the
    // candidates of current belief (closes recorded later in close runs are applied by readers).
    PositionIndex open_by_identity;

    // Merges one segment's rows: keys[r] and vid_keys[r] are row r's identity key and vid_key;
    // `closed_rows` is the segment header's, sorted by row. Does nothing and returns false when the
    // segment is already indexed. `capacity` when the positions would overflow the pools.
    Result<bool> merge_segment(std::uint64_t segment_id, std::span<const std::uint64_t> keys,
                               std::span<const std::uint64_t> vid_keys,
                               std::span<const std::pair<std::uint32_t, std::int64_t>> closed_rows);

    // Keeps only the positions and indexed ids of the segments in `keep`.
    void retain_segments(const std::unordered_set<std::uint64_t>& keep);
};

struct PostingsStats {
    std::uint64_t by_identity_entries = 0;  // positions, summed over all keys
    std::uint64_t by_vid_entries = 0;
    std::uint64_t indexed_segments = 0;

    bool operator==(const PostingsStats&) const = default;
};

// The identity key of each row of an opened segment of `kind`, in row order: for nodes hash_uid
// of the uid of `uid_id`; for edges the high 64 bits of the edge id derived from the uids of
// `src_id` and `dst_id`, the relationship type of `rel_code` and the text of `disc_ref`. A dense
// id outside the dictionary is `invariant` "dense id {} is not in the dictionary"; a rel_code
// without a type, a bad string reference or a column of the wrong length is `corrupt`. Inside an
// interrupt scope it passes interruption points (`interrupted`).
Result<std::vector<std::uint64_t>> identity_keys(RowKind kind, const Segment& segment, const Dictionary& dictionary);

// A store handle's postings of one kind behind their mutex ("edge-postings" or "node-postings";
// the reads and the indexing word its poison message "postings mutex poisoned").
class KindPostings {
public:
    explicit KindPostings(RowKind kind);
    KindPostings(const KindPostings&) = delete;
    KindPostings& operator=(const KindPostings&) = delete;

    RowKind kind() const { return kind_; }

    // Indexes every segment of this kind in `manifest`'s file list that is not indexed yet, in
    // ascending segment id, opening each through `cache`. The first error ends the call: the
    // segments merged before it stay indexed, the failing one and those after it are retried by
    // the next call. Once a generation's list has been indexed whole, later calls for the same
    // list return at once (every close of a batch asks), without walking its segments again.
    Status index_segments(const std::filesystem::path& root, const Manifest& manifest, SegmentCache& cache,
                          const Dictionary& dictionary);

    // The stored version `vid` of this kind, as a close of a stored version finds it: the
    // postings brought up to date first (index_segments), then the candidates the vid postings
    // list for it, in filing order: a candidate whose segment the generation does not list is
    // skipped; its segment is opened through `cache` (an error ends the call) and the candidate
    // is the version when the segment's vid64 and then vid_lo32 at its row are those of `vid`
    // (an error reading either column ends the call, named by the segment's path). The first
    // confirmed candidate wins; none gives an empty result.
    //
    // Every candidate costs what the first touch of its segment costs only once: each segment
    // keeps the cache entry it was last opened through (a ticket) and its two vid columns, so a
    // later close finds its segment without hashing a file name and reads its columns without
    // looking them up. The ticket is used only while the cache still holds that very entry and
    // counts as a hit on it, so the cache's contents, order and counters are those the lookups
    // by file name give.
    Result<std::optional<Position>> find_version(const std::filesystem::path& root, const Manifest& manifest,
                                                 SegmentCache& cache, const Dictionary& dictionary, const Id96& vid);

    PostingsStats stats();

    // Prunes to the segments in `keep` (the garbage collector's eviction).
    void retain_segments(const std::unordered_set<std::uint64_t>& keep);

    // Runs `read(Postings&)` under the mutex and returns its result: lookups and the in-place
    // pruning of open_by_identity. `read` must not block or do I/O, and must leave the postings
    // as they were when an allocation fails in it (an allocation failure leaves the mutex
    // unpoisoned).
    template <class Read>
    decltype(auto) with_postings(Read&& read) {
        return mutex_.with_lock("postings", [&]() -> decltype(auto) { return std::forward<Read>(read)(postings_); });
    }

private:
    // What find_version keeps of one segment of by_vid (by its segment number there). One cache
    // line each: a close reads one per candidate.
    struct alignas(64) VidSource {
        // The resolution of `files_` this was made against (sources_epoch_): whether the
        // generation lists the segment under this kind.
        std::uint64_t epoch = 0;
        bool listed = false;
        bool have_vid64 = false;  // vid64 (vid_lo32) holds the column of the ticket's segment
        bool have_vid_lo32 = false;
        CacheTicket ticket;  // the entry it was last opened through, for the file in source_files_
        std::span<const std::uint64_t> vid64;
        std::span<const std::uint32_t> vid_lo32;
    };

    RowKind kind_;
    PoisonMutex mutex_;
    Postings postings_;
    // Under the mutex; emptied with the postings' numbering (retain_segments).
    std::vector<VidSource> sources_;
    std::vector<std::string> source_files_;  // the file each source's ticket was got for
    std::shared_ptr<const SegmentFiles> sources_files_;  // the generation's lists they resolve against
    std::uint64_t sources_epoch_ = 0;
    // The segment list (of one generation) whose every segment of this kind is indexed; null when
    // none is known to be, and reset by pruning. Held, not just compared, so that its address
    // cannot come back as another generation's list.
    std::shared_ptr<const SegmentFiles> indexed_through_;
    std::uint64_t prunes_ = 0;  // retain_segments calls so far
};

// The garbage collector's pruning to the segment files `live` that the kept generations
// reference: the segment cache and the verified set, then the edge and node postings (to the ids
// of those files). Each step under its own lock, released before the next.
void evict_segments_not_in(SegmentCache& cache, KindPostings& edge_postings, KindPostings& node_postings,
                           const FileNameSet& live);

}  // namespace vorp
