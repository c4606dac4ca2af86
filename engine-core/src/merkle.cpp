#include "vorp/merkle.h"

#include <utility>

#include "vorp/error.h"
#include "vorp/json.h"
#include "vorp/manifest.h"

namespace vorp {

namespace merkle {

MerkleHash hash(std::initializer_list<std::string_view> parts) {
    Sha256 context;  // held in place: nothing is allocated per message
    for (std::string_view part : parts) context.update(part);
    return context.finish();
}

MerkleHash leaf_hash(std::uint8_t lane, std::uint64_t index, std::string_view entry_json) {
    char prefix[10];
    prefix[0] = static_cast<char>(MERKLE_LEAF);
    prefix[1] = static_cast<char>(lane);
    for (int byte_idx = 0; byte_idx < 8; ++byte_idx)  // big-endian index
        prefix[2 + byte_idx] = static_cast<char>((index >> (56 - 8 * byte_idx)) & 0xFF);
    return hash({std::string_view(prefix, sizeof prefix), entry_json});
}

MerkleHash inner_hash(const MerkleHash& left, const MerkleHash& right) {
    static constexpr char kInner = static_cast<char>(MERKLE_INNER);
    return hash({std::string_view(&kInner, 1), bytes_of(left), bytes_of(right)});
}

MerkleHash empty_lane_root(std::uint8_t lane) {
    const char message[2] = {static_cast<char>(MERKLE_EMPTY_LANE), static_cast<char>(lane)};
    return hash({std::string_view(message, sizeof message)});
}

}  // namespace merkle

namespace {

// The compact JSON of one entry, written into a buffer reused across the entries of a build.
template <class Entry>
MerkleHash entry_leaf(std::string& buffer, std::uint8_t lane, std::uint64_t index, const Entry& entry) {
    buffer.clear();
    append_compact_json(buffer, entry);
    return merkle::leaf_hash(lane, index, buffer);
}

template <class Entry>
LaneTree lane_from_list(std::uint8_t lane_index, std::span<const Entry> entries) {
    std::vector<MerkleHash> leaves;
    leaves.reserve(entries.size());
    std::string buffer;
    for (std::size_t entry_idx = 0; entry_idx < entries.size(); ++entry_idx)
        leaves.push_back(entry_leaf(buffer, lane_index, entry_idx, entries[entry_idx]));
    return LaneTree::build(lane_index, leaves);
}

}  // namespace

LaneTree LaneTree::build(std::uint8_t lane_index, std::span<const MerkleHash> leaves) {
    LaneTree tree;
    tree.lane_index = lane_index;
    tree.n_leaves = leaves.size();
    if (leaves.empty()) return tree;

    // Walk up level by level; `current` holds the nodes of the level being recorded. The leaves'
    // level is read in place, each higher level lives in one of two alternating buffers.
    std::vector<MerkleHash> upper[2];
    std::span<const MerkleHash> current = leaves;
    int next_buffer = 0;
    for (;;) {
        const std::size_t count = current.size();
        if (count == 0) engine_panic("a level is never empty here");
        Level level;
        level.last = current[count - 1];
        if (count >= 2) level.left = current[count - 2];
        tree.levels.push_back(level);
        if (count == 1) break;

        std::vector<MerkleHash>& next = upper[next_buffer];
        next.clear();
        next.reserve((count + 1) / 2);
        for (std::size_t pair_idx = 0; pair_idx + 1 < count; pair_idx += 2)
            next.push_back(merkle::inner_hash(current[pair_idx], current[pair_idx + 1]));
        if (count % 2 == 1) next.push_back(current[count - 1]);  // carried up unchanged
        current = next;
        next_buffer ^= 1;
    }
    return tree;
}

LaneTree LaneTree::from_entries(std::uint8_t lane_index, std::span<const SegmentEntry> entries) {
    return lane_from_list(lane_index, entries);
}

LaneTree LaneTree::from_close_runs(std::uint8_t lane_index, std::span<const CloseRunRef> runs) {
    return lane_from_list(lane_index, runs);
}

// A push builds its entry's JSON in a buffer of its own: a commit pushes a few entries, and a
// buffer kept per thread would be allocated lazily by the C library, which ends the process when
// that allocation fails.
void LaneTree::push(const SegmentEntry& entry) {
    std::string buffer;
    push_leaf(entry_leaf(buffer, lane_index, n_leaves, entry));
}

void LaneTree::push(const CloseRunRef& run) {
    std::string buffer;
    push_leaf(entry_leaf(buffer, lane_index, n_leaves, run));
}

// Level j holds ceil(n / 2^j) nodes. Appending a leaf makes level j gain a node exactly when the
// old count there was even (every node, the old last included, then stands for a complete block
// and never changes again, so the old last becomes `left`); otherwise only the level's last node
// changes and is recomputed from the level below. `old_count` and `new_count` are the node counts
// of the level being visited before and after the append.
void LaneTree::push_leaf(const MerkleHash& leaf) {
    std::uint64_t old_count = n_leaves;
    std::uint64_t new_count = old_count + 1;
    n_leaves = new_count;
    MerkleHash current = leaf;
    for (std::size_t level_idx = 0;; ++level_idx) {
        if (level_idx == levels.size()) {
            // A new top level: the previous top just gained a partner (or the lane was empty).
            levels.push_back(Level{std::nullopt, current});
            return;
        }
        Level& level = levels[level_idx];
        if (new_count > old_count) level.left = level.last;
        level.last = current;
        if (new_count == 1) return;  // the top level
        if (new_count % 2 == 0) {
            if (!level.left) engine_panic("an even level has a left sibling for its last node");
            current = merkle::inner_hash(*level.left, current);
        }
        old_count = (old_count + 1) / 2;
        new_count = (new_count + 1) / 2;
    }
}

MerkleHash LaneTree::root() const {
    if (levels.empty()) return merkle::empty_lane_root(lane_index);
    return levels.back().last;
}

ManifestMerkle::ManifestMerkle() {
    for (std::size_t lane_idx = 0; lane_idx < MERKLE_LANES; ++lane_idx)
        lanes[lane_idx].lane_index = static_cast<std::uint8_t>(lane_idx);
}

ManifestMerkle ManifestMerkle::from_manifest(const Manifest& manifest) {
    ManifestMerkle state;
    state.lanes[LANE_NODES] = LaneTree::from_entries(LANE_NODES, manifest.node_store);
    state.lanes[LANE_EDGES_EVENT] = LaneTree::from_entries(LANE_EDGES_EVENT, manifest.edge_lanes.event);
    state.lanes[LANE_EDGES_INTERVAL] = LaneTree::from_entries(LANE_EDGES_INTERVAL, manifest.edge_lanes.interval);
    state.lanes[LANE_CLOSE_RUNS] = LaneTree::from_close_runs(LANE_CLOSE_RUNS, manifest.close_runs);
    return state;
}

std::array<std::uint64_t, MERKLE_LANES> ManifestMerkle::lens() const {
    std::array<std::uint64_t, MERKLE_LANES> counts{};
    for (std::size_t lane_idx = 0; lane_idx < MERKLE_LANES; ++lane_idx) counts[lane_idx] = lanes[lane_idx].n_leaves;
    return counts;
}

MerkleHash ManifestMerkle::root() const {
    const MerkleHash h01 = merkle::inner_hash(lanes[0].root(), lanes[1].root());
    const MerkleHash h23 = merkle::inner_hash(lanes[2].root(), lanes[3].root());
    return merkle::inner_hash(h01, h23);
}

std::string manifest_scalar_json(const Manifest& manifest, const ManifestMerkle& state) {
    // The lists never enter this text (only their leaf counts do), so its size does not grow with
    // the manifest; the recorded digest never enters its own computation.
    std::string out;
    out.reserve(512);
    JsonWriter w(out, JsonStyle::Compact);
    w.begin_object();
    w.key("format");
    json_write(w, manifest.format);
    w.key("generation");
    json_write(w, manifest.generation);
    w.key("parent");
    json_write(w, manifest.parent);
    w.key("created_tt");
    json_write(w, manifest.created_tt);
    w.key("event_log");
    json_write(w, manifest.event_log);
    w.key("dict");
    json_write(w, manifest.dict);
    w.key("widths");
    json_write(w, manifest.widths);
    w.key("next_segment_id");
    json_write(w, manifest.next_segment_id);
    w.key("stats");
    json_write(w, manifest.stats);
    w.key("lens");
    w.begin_array();
    for (const LaneTree& lane : state.lanes) w.value_u64(lane.n_leaves);
    w.end_array();
    w.end_object();
    return out;
}

std::string manifest_digest(const Manifest& manifest, const ManifestMerkle& state) {
    const std::string scalars = manifest_scalar_json(manifest, state);
    const MerkleHash root = state.root();
    const MerkleHash digest = merkle::hash({MANIFEST_DIGEST_TAG, scalars, merkle::bytes_of(root)});
    return to_hex(digest.data(), 8);
}

}  // namespace vorp
