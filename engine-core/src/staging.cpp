// Staged rows of the open batch, their identity index, and sealing them into segment files.
#include "vorp/staging.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace vorp {

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();

std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t result;
    if (__builtin_sub_overflow(a, b, &result)) return b < 0 ? I64_MAX : I64_MIN;
    return result;
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t result;
    if (__builtin_add_overflow(a, b, &result)) return b > 0 ? I64_MAX : I64_MIN;
    return result;
}

}  // namespace

std::int64_t lane_bucket(std::int64_t t, std::int64_t origin, std::int64_t stride) {
    if (stride <= 0) engine_panic(fmt::format("lane stride must be positive, got {}", stride));
    const std::int64_t offset = saturating_sub(t, origin);
    // C++ division truncates towards zero; with a positive stride a negative remainder means the
    // floor is one lower. (The quotient of a saturated offset cannot underflow by that step.)
    std::int64_t quotient = offset / stride;
    if (offset % stride < 0) --quotient;
    return quotient;
}

std::int64_t lane_span(std::int64_t vt_s, std::int64_t vt_e, std::int64_t origin, std::int64_t stride) {
    // The last instant inside [vt_s, vt_e); an empty or inverted interval counts as vt_s alone.
    const std::int64_t last = saturating_sub(vt_e, 1);
    const std::int64_t hi = std::max(vt_s, last);
    return saturating_add(saturating_sub(lane_bucket(hi, origin, stride), lane_bucket(vt_s, origin, stride)), 1);
}

Lane lane_of(std::int64_t vt_s, std::int64_t vt_e, std::int64_t origin, std::int64_t stride) {
    return lane_span(vt_s, vt_e, origin, stride) < INTERVAL_LANE_MIN_SPAN ? Lane::Event : Lane::Interval;
}

// ---- vid set -------------------------------------------------------------------------------------

std::size_t VidSet::find_slot(const Id96& vid) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = home_of(vid.prefix, vid.suffix);
    while (slots_[slot].used && (slots_[slot].prefix != vid.prefix || slots_[slot].suffix != vid.suffix))
        slot = (slot + 1) & mask;
    return slot;
}

void VidSet::reserve(std::size_t entries) const {
    std::size_t capacity = std::max<std::size_t>(16, slots_.size());
    while (entries * 2 > capacity) capacity *= 2;
    if (capacity == slots_.size()) return;
    const std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(capacity));
    for (const Slot& entry : old)
        if (entry.used) slots_[find_slot({entry.prefix, entry.suffix})] = entry;
}

bool VidSet::place(const Id96& vid) const {
    Slot& slot = slots_[find_slot(vid)];
    if (slot.used) return false;
    slot = {vid.prefix, vid.suffix, true};
    ++size_;
    return true;
}

void VidSet::absorb_noted() const {
    // Room for every noted vid at once (some may repeat; the bound only has to hold).
    reserve(size_ + noted_.size());
    constexpr std::size_t AHEAD = 8;
    const std::size_t n = noted_.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + AHEAD < n) __builtin_prefetch(&slots_[home_of(noted_[i + AHEAD].prefix, noted_[i + AHEAD].suffix)], 1);
        place(noted_[i]);
    }
    noted_.clear();
}

bool VidSet::insert(const Id96& vid) {
    absorb();
    reserve(size_ + 1);
    return place(vid);
}

std::size_t VidSet::erase(const Id96& vid) {
    absorb();
    if (slots_.empty()) return 0;
    std::size_t hole = find_slot(vid);
    if (!slots_[hole].used) return 0;
    // Backward shift: pull every later entry of the probe run whose home does not lie cyclically
    // in (hole, at] into the hole, so no lookup ever stops early at an empty slot.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = (hole + 1) & mask; slots_[at].used; at = (at + 1) & mask) {
        const std::size_t home = home_of(slots_[at].prefix, slots_[at].suffix);
        const bool stays = hole < at ? (home > hole && home <= at) : (home > hole || home <= at);
        if (stays) continue;
        slots_[hole] = slots_[at];
        hole = at;
    }
    slots_[hole].used = false;
    --size_;
    return 1;
}

void VidSet::clear() {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    size_ = 0;
    noted_.clear();
}

// ---- staging and its index ---------------------------------------------------------------------

// The row first, then its vid, taken back when noting fails: a vid is staged exactly when a row
// carries it, also after an allocation failure.
void Staging::add_edge(EdgeRow row) {
    edges.push_back(std::move(row));
    try {
        staged_edge_vids.note(edges.back().vid);
    } catch (...) {
        edges.pop_back();
        throw;
    }
}

void Staging::add_node(NodeRow row) {
    nodes.push_back(std::move(row));
    try {
        staged_node_vids.note(nodes.back().vid);
    } catch (...) {
        nodes.pop_back();
        throw;
    }
}

bool Staging::retire_edge(const Id96& vid) {
    return with_index([&] {
        if (!staged_edge_vids.contains(vid)) return false;
        // The new index is built aside first, so that an allocation failure leaves rows, vids and
        // index as they were; then the rows are compacted in place (moves only). A kept row that
        // was already absorbed keeps its derived key, so only rows never looked at are derived
        // again. Kept absorbed rows stay a prefix of the kept rows.
        const std::size_t absorbed = index_.edge_keys.size();
        std::vector<std::uint64_t> keys;
        keys.reserve(absorbed);
        for (std::size_t old_position = 0; old_position < absorbed; ++old_position)
            if (edges[old_position].vid != vid) keys.push_back(index_.edge_keys[old_position]);
        std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> by_key;
        for (std::size_t position = 0; position < keys.size(); ++position)
            by_key[keys[position]].push_back(static_cast<std::uint32_t>(position));

        staged_edge_vids.erase(vid);
        std::size_t kept = 0;
        for (std::size_t old_position = 0; old_position < edges.size(); ++old_position) {
            if (edges[old_position].vid == vid) continue;
            if (kept != old_position) edges[kept] = std::move(edges[old_position]);
            ++kept;
        }
        edges.erase(edges.begin() + static_cast<std::ptrdiff_t>(kept), edges.end());
        index_.edges_by_key = std::move(by_key);
        index_.edge_keys = std::move(keys);
        return true;
    });
}

bool Staging::retire_node(const Id96& vid) {
    // Erasing from the set may absorb its noted vids first, which allocates before it changes
    // anything; nothing after it allocates.
    return with_index([&] {
        if (staged_node_vids.erase(vid) == 0) return false;
        std::erase_if(nodes, [&vid](const NodeRow& row) { return row.vid == vid; });
        // Node keys are the rows' own uid ids: cheaper to absorb everything again than to carry
        // over.
        index_.nodes_by_uid.clear();
        index_.nodes_absorbed = 0;
        return true;
    });
}

void Staging::clear() {
    with_index([&] {
        edges.clear();
        nodes.clear();
        staged_edge_vids.clear();
        staged_node_vids.clear();
        index_ = StagedIndex{};
    });
}

std::vector<std::uint32_t> Staging::node_positions(std::uint32_t uid_id) const {
    return with_index([&]() -> std::vector<std::uint32_t> {
        // Row by row, so that an allocation failure leaves the rows before it absorbed and no
        // row filed twice.
        for (std::size_t position = index_.nodes_absorbed; position < nodes.size(); ++position) {
            index_.nodes_by_uid[nodes[position].uid_id].push_back(static_cast<std::uint32_t>(position));
            index_.nodes_absorbed = position + 1;
        }
        const auto found = index_.nodes_by_uid.find(uid_id);
        if (found == index_.nodes_by_uid.end()) return {};
        return found->second;
    });
}

// ---- seal ------------------------------------------------------------------------------------------

namespace {

// The sort key of one row; the staging position makes every key distinct, so an unstable sort of
// the keys gives the stable order of the rows.
struct SortKey {
    std::int64_t vt_s;
    std::uint64_t vid_prefix;
    std::uint32_t vid_suffix;
    bool interval;  // carried along, not compared
    std::size_t position;

    friend bool operator<(const SortKey& a, const SortKey& b) {
        if (a.vt_s != b.vt_s) return a.vt_s < b.vt_s;
        if (a.vid_prefix != b.vid_prefix) return a.vid_prefix < b.vid_prefix;
        if (a.vid_suffix != b.vid_suffix) return a.vid_suffix < b.vid_suffix;
        return a.position < b.position;
    }
};

template <class Row>
bool same_key(const Row& a, const Row& b) {
    return a.vt_s == b.vt_s && a.vid == b.vid;
}

// Rearranges rows so that new position p holds the row that was at source[p], in place (no second
// list of rows: its pages would all be fresh). Follows each cycle once, moving every row once
// (the cycle's first twice); `source` is consumed. Along a cycle the rows lie anywhere, so a second
// cursor runs a few steps ahead on the (smaller, unconsumed) source entries and requests each row
// before the move reaches it, letting several fetches overlap.
template <class Row, class Index>
void permute_in_place(std::vector<Row>& rows, std::vector<Index>& source) {
    constexpr int AHEAD = 16;
    const auto prefetch_row = [&rows](std::size_t at) {
        const char* row = reinterpret_cast<const char*>(&rows[at]);
        for (std::size_t line = 0; line < sizeof(Row); line += 64) __builtin_prefetch(row + line, 1);
    };
    for (std::size_t start = 0; start < rows.size(); ++start) {
        if (source[start] == start) continue;
        // Entries from `ahead` on are not consumed yet; the cursor stops when the cycle closes.
        std::size_t ahead = source[start];
        for (int lead = 0; lead < AHEAD && ahead != start; ++lead) {
            prefetch_row(ahead);
            ahead = source[ahead];
        }
        Row held = std::move(rows[start]);
        std::size_t at = start;
        for (std::size_t from = source[at]; from != start; from = source[at]) {
            if (ahead != start) {
                prefetch_row(ahead);
                ahead = source[ahead];
            }
            rows[at] = std::move(rows[from]);
            source[at] = static_cast<Index>(at);
            at = from;
        }
        rows[at] = std::move(held);
        source[at] = static_cast<Index>(at);
    }
}

// Moves the rows into the order `keys` gives: new position s holds the row that was at
// keys[s].position.
template <class Row>
void move_into_key_order(std::vector<Row>& rows, const std::vector<SortKey>& keys) {
    const auto permute = [&]<class Index>(Index) {
        std::vector<Index> source(rows.size());
        for (std::size_t s = 0; s < rows.size(); ++s) source[s] = static_cast<Index>(keys[s].position);
        permute_in_place(rows, source);
    };
    if (rows.size() <= UINT32_MAX)
        permute(std::uint32_t{});  // half the index bytes to fetch
    else
        permute(std::size_t{});
}

Status write_rows(const fs::path& path, std::span<const EdgeRow* const> rows, const SegmentWriteOptions& options) {
    return write_edge_segment(path, rows, options);
}
Status write_rows(const fs::path& path, std::span<const NodeRow* const> rows, const SegmentWriteOptions& options) {
    return write_node_segment(path, rows, options);
}

// Writes one segment of rows already in their final order and hands its entry to `emit`.
template <class Row, class Emit>
Status write_one_segment(std::span<const Row* const> rows, Lane lane, const fs::path& segment_dir, const SealLayout& layout,
                         std::uint64_t& next_segment_id, const StagedVidCloses& staged_vid_closes, Emit& emit) {
    if (rows.empty()) return fail(EngineError::invariant("a sealed segment must contain at least one row"));
    const std::uint64_t id = next_segment_id;
    if (id == UINT64_MAX)
        return fail(EngineError::capacity(fmt::format("segment ids are exhausted: the next id would be {}", id)));
    next_segment_id = id + 1;
    const std::string file_name = fmt::format("{:012}.vos", id);

    SegmentWriteOptions options;
    options.block_rows = layout.block_rows;
    options.lane = lane;
    if (!staged_vid_closes.empty()) {
        // Rows are visited in order, so the pairs come out ascending by row, one per row.
        for (std::size_t row = 0; row < rows.size(); ++row) {
            const auto found = staged_vid_closes.find(rows[row]->vid);
            if (found != staged_vid_closes.end()) options.closed_rows.emplace_back(static_cast<std::uint32_t>(row), found->second);
        }
    }
    VORP_TRY(write_rows(segment_dir / file_name, rows, options));
    const auto n_closed = static_cast<std::uint32_t>(options.closed_rows.size());
    emit(lane, sealed_entry(rows, fmt::format("seg/{}", file_name), n_closed), id);
    return ok();
}

// Seals one kind: sort, lane split, cut, write. The rows are moved into (vt_s, vid) order before
// anything is written, so they stay in that order whatever happens; each lane is the list of
// pointers to its rows in that order, and every segment a contiguous part of one.
template <class Row, class Emit>
Status seal_rows(std::vector<Row>& rows, const fs::path& segment_dir, const SealLayout& layout,
                 std::uint64_t& next_segment_id, const StagedVidCloses& staged_vid_closes, Emit emit) {
    const std::size_t n = rows.size();
    if (n == 0) return ok();

    std::vector<SortKey> keys(n);
    std::size_t n_interval = 0;
    for (std::size_t position = 0; position < n; ++position) {
        const Row& row = rows[position];
        const bool interval = lane_of(row.vt_s, row.vt_e, layout.lane_origin, layout.lane_stride) == Lane::Interval;
        keys[position] = {row.vt_s, row.vid.prefix, row.vid.suffix, interval, position};
        n_interval += interval ? 1 : 0;
    }
    std::sort(keys.begin(), keys.end());
    // A batch staged in key order already (say, replayed from a sorted source) is not moved at all.
    bool in_order = true;
    for (std::size_t s = 0; s < n && in_order; ++s) in_order = keys[s].position == s;
    if (!in_order) move_into_key_order(rows, keys);

    std::vector<const Row*> lane_rows[2];
    lane_rows[0].reserve(n - n_interval);
    lane_rows[1].reserve(n_interval);
    for (std::size_t s = 0; s < n; ++s) lane_rows[keys[s].interval ? 1 : 0].push_back(&rows[s]);
    keys = {};

    for (const Lane lane : {Lane::Event, Lane::Interval}) {
        const std::span<const Row* const> members = lane_rows[lane == Lane::Interval ? 1 : 0];
        if (members.empty()) continue;
        const std::vector<std::size_t> ends = segment_ends(
            members.size(), layout.segment_target_bytes, [&](std::size_t row) { return row_cost(*members[row]); },
            [&](std::size_t row) { return same_key(*members[row], *members[row + 1]); });
        std::size_t begin = 0;
        for (const std::size_t end : ends) {
            VORP_TRY(write_one_segment(members.subspan(begin, end - begin), lane, segment_dir, layout, next_segment_id,
                                       staged_vid_closes, emit));
            begin = end;
        }
    }
    return ok();
}

}  // namespace

Result<SealedBatch> Staging::seal(const fs::path& segment_dir, const SealLayout& layout, std::uint64_t& next_segment_id,
                                  const StagedVidCloses& staged_vid_closes) {
    if (layout.lane_stride <= 0)
        return fail(EngineError::invariant(fmt::format("lane stride must be positive, got {}", layout.lane_stride)));
    // Every position changes with the sort; readers rebuild the index lazily.
    with_index([&] { index_ = StagedIndex{}; });
    SealedBatch sealed;
    VORP_TRY(seal_rows(edges, segment_dir, layout, next_segment_id, staged_vid_closes,
                       [&sealed](Lane lane, SegmentEntry entry, std::uint64_t id) {
                           sealed.edges.emplace_back(lane, std::move(entry));
                           sealed.segment_ids.push_back(id);
                       }));
    VORP_TRY(seal_rows(nodes, segment_dir, layout, next_segment_id, staged_vid_closes,
                       [&sealed](Lane, SegmentEntry entry, std::uint64_t id) {
                           sealed.nodes.push_back(std::move(entry));
                           sealed.segment_ids.push_back(id);
                       }));
    return sealed;
}

}  // namespace vorp
