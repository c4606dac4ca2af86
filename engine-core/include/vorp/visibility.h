// Close runs and the close index: the ends of belief (tt_e) of stored versions, recorded outside
// the never-rewritten segment files.
//
// A commit that closes stored versions writes one close-run file ("close/" + generation in 12
// digits + ".voc"). Readers fold every run of a generation into a bottom CloseIndex layer; an open
// batch stacks a pending layer over it. A version's tt_e is the first layer's value for its
// (segment, row), falling back to the segment's own folded `closed_rows` when no layer holds it
// or the value found is OPEN_END (see close_tt_e).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "vorp/derive.h"
#include "vorp/error.h"
#include "vorp/row.h"

namespace vorp {

inline constexpr std::size_t CLOSE_RUN_HEADER_BYTES = 12;  // "VOCR", version, n
inline constexpr std::size_t CLOSE_RUN_ROW_BYTES = 21;     // kind, segment id, row, tt_e
inline constexpr std::size_t CLOSE_RUN_TRAILER_BYTES = 8;  // CRC-32C, "VOCE"
inline constexpr std::uint32_t CLOSE_RUN_VERSION = 1;

// One close of a stored version, in memory. (The file row orders its fields differently.)
struct StagedClose {
    std::uint64_t segment_id = 0;
    std::int64_t tt_e = 0;
    std::uint32_t row = 0;
    bool kind = false;  // false node, true edge

    bool operator==(const StagedClose&) const = default;
};

// "close/" + the generation in at least 12 zero-padded digits + ".voc", relative to the store root.
std::filesystem::path close_run_relative_path(std::uint64_t generation);

// The complete file image of a run. `invariant` for no rows; `capacity` for more rows than the
// 32-bit count can hold.
Result<std::string> encode_close_run(std::span<const StagedClose> rows);
// The rows of a file image, with the checks of read_close_run (errors carry no file).
Result<std::vector<StagedClose>> decode_close_run(std::string_view image);

// Writes the run durably: image built in memory, written to the path with its extension replaced
// by "voc.tmp", fully synced, closed and renamed over the path (the directory is not synced).
// Returns the row count written.
Result<std::uint32_t> write_close_run(const std::filesystem::path& path, std::span<const StagedClose> rows);
// Reads and verifies a run; every error carries the path.
Result<std::vector<StagedClose>> read_close_run(const std::filesystem::path& path);

// The closes of one layer: (segment id, row) -> tt_e, in one open-addressing table (linear
// probing, at most 3/4 full). A store's closes run to millions; a node-per-entry map would cost an
// allocation and two scattered writes per close, a walk of every node per rehash or copy and a
// free per entry on release, where this costs one probe of one or two cache lines, a sequential
// rehash and one block. Entries are never removed.
class CloseMap {
public:
    std::size_t size() const { return used_; }
    bool empty() const { return used_ == 0; }
    // How many entries fit before the table grows.
    std::size_t capacity() const { return slots_.size() - slots_.size() / 4; }
    // Room for `entries` in all without growing.
    void reserve(std::size_t entries);

    // Sets the value of (segment id, row), adding the key when absent.
    void insert_or_assign(std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e);
    // The value of (segment id, row), or null.
    const std::int64_t* find(std::uint64_t segment_id, std::uint32_t row) const;

    // The table's slots, and the slot a key's probe starts at (valid while the table does not
    // grow): inserting keys in order of their home slot walks the table from end to end.
    std::size_t slot_count() const { return slots_.size(); }
    std::size_t home(std::uint64_t segment_id, std::uint32_t row) const {
        return static_cast<std::size_t>(Id96Hash{}(Id96{segment_id, row})) & (slots_.size() - 1);
    }
    // Calls visit(segment id, row, tt_e) for the entries of slots [first, last), in slot order.
    template <class Visit>
    void for_each_in(std::size_t first, std::size_t last, Visit&& visit) const {
        for (std::size_t slot = first; slot < last; ++slot)
            if (const Slot& entry = slots_[slot]; entry.full) visit(entry.segment_id, entry.row, entry.tt_e);
    }
    template <class Visit>
    void for_each(Visit&& visit) const {
        for_each_in(0, slots_.size(), std::forward<Visit>(visit));
    }

    // The same keys with the same values.
    bool operator==(const CloseMap& other) const;

private:
    struct Slot {
        std::uint64_t segment_id = 0;
        std::uint32_t row = 0;
        std::uint32_t full = 0;  // 0 for a free slot
        std::int64_t tt_e = 0;
    };
    void grow_to(std::size_t slot_count);

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// One layer of the close index. Layers are immutable once shared: a holder that wants to change
// a layer it does not hold uniquely copies it first (see unshare). A shared layer may be read by
// any number of threads at once.
struct CloseIndex {
    // (segment id, row) -> tt_e; the key's prefix is the segment id and its suffix the row.
    // Segment ids are unique across node and edge segments, so the key carries no kind.
    CloseMap closed;
    // Every segment with at least one key in this layer's `closed`.
    std::unordered_set<std::uint64_t> touched;
    // The layer below; absent in the bottom layer.
    std::shared_ptr<const CloseIndex> base;

    // A new empty layer over `base`.
    static CloseIndex layered_over(std::shared_ptr<const CloseIndex> base);

    // Copy-on-write: when `layer` is not the only reference to its layer, replaces it with a copy
    // (maps copied, base shared); returns the layer, now safe to change. Call only while holding
    // exclusive access to `layer` (the reference count is not otherwise stable).
    static CloseIndex& unshare(std::shared_ptr<CloseIndex>& layer);

    // True when this layer or one below it has the segment in `touched`.
    bool touches(std::uint64_t segment_id) const;

    // The value of the topmost layer holding (segment id, row); layers below it are not consulted.
    std::optional<std::int64_t> find(std::uint64_t segment_id, std::uint32_t row) const;

    // Records one close in this layer, replacing an earlier value for the same key. An allocation
    // failure leaves the layer as it was.
    void insert(std::uint64_t segment_id, std::uint32_t row, std::int64_t tt_e);
    // Records the rows of a run in file order, so a later row (and a later run) wins.
    void insert_run(std::span<const StagedClose> rows);
};

// The closes of the layers of a close index laid out flat, for reads that walk a segment's rows in
// order: per segment, its closed rows ascending, each with the value of the topmost flattened
// layer holding it (OPEN_END kept as such: it defers to the segment's folded close, exactly as
// the layer would). One sequential pass over a segment's list replaces a hash probe per row.
// Immutable once built; any number of threads may read one at once.
struct CloseTable {
    using Rows = std::vector<std::pair<std::uint32_t, std::int64_t>>;  // (row, tt_e), rows ascending

    // Segment id -> its closed rows; only segments with at least one.
    std::unordered_map<std::uint64_t, Rows> segments;
    // The topmost layer flattened. The table stands for it and the layers below it down to, not
    // including, the `stop` it was built with; holding it keeps those layers alive.
    std::shared_ptr<const CloseIndex> source;
    std::size_t entries = 0;  // rows over all segments

    // Runs work(0) .. work(count - 1), possibly at once on several threads, all done on return.
    using Runner = std::function<void(std::size_t count, const std::function<void(std::size_t)>& work)>;

    // Flattens the layers from `top` down to, not including, `stop` (null: every layer below).
    // With `ways` > 1 the entries are gathered in `ways` slices of the layers' buckets and sorted
    // in `ways` partitions of segments, each phase through `run`; the table is the same.
    static CloseTable build(std::shared_ptr<const CloseIndex> top, const CloseIndex* stop = nullptr,
                            std::size_t ways = 1, const Runner& run = {});

    // The table of close runs read in order, without an index: for each (segment id, row) the
    // tt_e of the last run listing it (rows of one run in file order, a later row winning), as
    // an index of these runs would hold. Its `source` is null. Built as `build` with `ways`.
    static CloseTable from_runs(std::span<const std::vector<StagedClose>> runs, std::size_t ways = 1,
                                const Runner& run = {});

    // The closed rows of a segment; empty when it has none.
    std::span<const std::pair<std::uint32_t, std::int64_t>> of(std::uint64_t segment_id) const {
        const auto found = segments.find(segment_id);
        if (found == segments.end()) return {};
        return found->second;
    }
    // The value of the topmost flattened layer holding (segment id, row), as CloseIndex::find.
    std::optional<std::int64_t> find(std::uint64_t segment_id, std::uint32_t row) const;
};

// ---- the belief rule ----------------------------------------------------------------------------
// Every read that answers "what was believed at transaction time T" goes through these two, so
// that scans, pages, lookups, aggregates and verification can never disagree.

// Any as-of time at or above OPEN_END - 1 means current belief: a version never closed (tt_e =
// OPEN_END) is then believed, whatever its tt_s below OPEN_END.
constexpr std::int64_t belief_tt(std::int64_t as_of_tt) { return std::min(as_of_tt, OPEN_END - 1); }

// A version is believed at `as_of_tt` when tt_s <= belief_tt(as_of_tt) < tt_e.
constexpr bool is_believed(std::int64_t tt_s, std::int64_t tt_e, std::int64_t as_of_tt) {
    const std::int64_t at = belief_tt(as_of_tt);
    return tt_s <= at && at < tt_e;
}

// The history pages' belief modes. A page lists versions known by T (tt_s <= T, tested apart,
// from the segment's tt_s runs, before any close is looked up) and then keeps them by their end
// of belief alone, so only tt_e is tested here. Current is exactly is_believed over the versions
// known by T; Superseded keeps the versions known by T that T no longer believes (closed at or
// before it) and All keeps every one: a page shows history, which belief at T alone cannot.
// Callers pass T through belief_tt, as every other read as of a time does.
enum class BeliefMode : std::uint8_t { Current = 0, Superseded = 1, All = 2 };

constexpr bool belief_mode_keeps(BeliefMode mode, std::int64_t tt_e, std::int64_t as_of_tt) {
    switch (mode) {
        case BeliefMode::Current: return tt_e > as_of_tt;
        case BeliefMode::Superseded: return tt_e <= as_of_tt;
        case BeliefMode::All: return true;
    }
    return true;
}

namespace detail {
template <class Entry>
std::uint32_t closed_row_of(const Entry& entry) {
    if constexpr (requires { entry.row; })
        return entry.row;
    else
        return std::get<0>(entry);
}
template <class Entry>
std::int64_t closed_tt_e_of(const Entry& entry) {
    if constexpr (requires { entry.tt_e; })
        return entry.tt_e;
    else
        return std::get<1>(entry);
}
}  // namespace detail

// Binary search of a segment's folded closes (sorted ascending by row; elements are pairs or
// tuples (row, tt_e), or records with `row` and `tt_e` members).
template <class ClosedRows>
std::optional<std::int64_t> find_closed_row(const ClosedRows& closed_rows, std::uint32_t row) {
    const auto it = std::partition_point(std::begin(closed_rows), std::end(closed_rows),
                                         [row](const auto& entry) { return detail::closed_row_of(entry) < row; });
    if (it == std::end(closed_rows) || detail::closed_row_of(*it) != row) return std::nullopt;
    return detail::closed_tt_e_of(*it);
}

// The tt_e of the stored version at `row` of segment `segment_id`: the topmost index layer's value
// unless there is none or it is OPEN_END; then the segment's own `closed_rows`; otherwise OPEN_END.
// `index` may be null (no closes recorded outside the segments).
template <class ClosedRows>
std::int64_t close_tt_e(const CloseIndex* index, std::uint64_t segment_id, std::uint32_t row,
                        const ClosedRows& closed_rows) {
    if (index != nullptr) {
        const std::optional<std::int64_t> found = index->find(segment_id, row);
        if (found && *found != OPEN_END) return *found;
    }
    return find_closed_row(closed_rows, row).value_or(OPEN_END);
}

}  // namespace vorp
