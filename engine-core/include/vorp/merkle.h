// The format-3 manifest digest: a tagged SHA-256 over the compact JSON of the manifest's scalar
// members and a Merkle root over its four ordered entry lists (lanes).
//
// Hashed messages (H = SHA-256 over the parts written one after another):
//   leaf            0x00 | lane byte | index in its lane (u64 big-endian) | compact JSON of the entry
//   inner node      0x01 | left child (32) | right child (32)
//   empty lane      0x02 | lane byte
//   manifest root   0x01 | H(0x01 | R0 | R1) | H(0x01 | R2 | R3)
//   digest          "vorp.manifest.merkle-v1" 0x00 | scalar JSON | manifest root
// The digest text is the first 8 bytes of the last hash as 16 lowercase hex digits.
//
// Lanes: 0 node_store, 1 edge_lanes.event, 2 edge_lanes.interval, 3 close_runs.
//
// A lane's tree pairs nodes left to right level by level; an odd last node is carried up
// unchanged (never hashed with itself). Only the right spine is kept (per level the last node and
// the node before it), so appending a leaf costs at most ceil(log2 n) inner hashes and a tree of a
// million leaves keeps 21 levels: a commit extends the state instead of rebuilding it.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vorp/checksum.h"

namespace vorp {

struct Manifest;
struct SegmentEntry;
struct CloseRunRef;

using MerkleHash = Sha256Digest;  // 32 raw bytes

inline constexpr std::uint8_t MERKLE_LEAF = 0x00;
inline constexpr std::uint8_t MERKLE_INNER = 0x01;
inline constexpr std::uint8_t MERKLE_EMPTY_LANE = 0x02;
inline constexpr std::size_t MERKLE_LANES = 4;
inline constexpr std::uint8_t LANE_NODES = 0;
inline constexpr std::uint8_t LANE_EDGES_EVENT = 1;
inline constexpr std::uint8_t LANE_EDGES_INTERVAL = 2;
inline constexpr std::uint8_t LANE_CLOSE_RUNS = 3;
// The 24-byte domain tag of the digest, its trailing zero byte included.
inline constexpr std::string_view MANIFEST_DIGEST_TAG{"vorp.manifest.merkle-v1\0", 24};

namespace merkle {

// SHA-256 of the parts written one after another (no separators, no lengths), fed to one
// context part by part; the context is reused per thread, so hashing allocates nothing.
MerkleHash hash(std::initializer_list<std::string_view> parts);

// The hashed messages above, as functions.
MerkleHash leaf_hash(std::uint8_t lane, std::uint64_t index, std::string_view entry_json);
MerkleHash inner_hash(const MerkleHash& left, const MerkleHash& right);
MerkleHash empty_lane_root(std::uint8_t lane);

// Views a hash as bytes for `hash`.
inline std::string_view bytes_of(const MerkleHash& h) {
    return {reinterpret_cast<const char*>(h.data()), h.size()};
}

}  // namespace merkle

// One level of a lane's tree: its last node and, when the level holds two nodes or more, the node
// just before it.
struct Level {
    std::optional<MerkleHash> left;
    MerkleHash last{};

    bool operator==(const Level&) const = default;
};

// The right spine of one lane's tree.
struct LaneTree {
    std::vector<Level> levels;    // leaves' level first; empty exactly when the lane is empty
    std::uint64_t n_leaves = 0;   // also the index of the next leaf
    std::uint8_t lane_index = 0;  // 0..3, hashed into every leaf and the empty-lane root

    // The full tree over the given leaf hashes.
    static LaneTree build(std::uint8_t lane_index, std::span<const MerkleHash> leaves);
    // Leaf i = leaf_hash(lane, i, compact JSON of entry i), then `build`.
    static LaneTree from_entries(std::uint8_t lane_index, std::span<const SegmentEntry> entries);
    static LaneTree from_close_runs(std::uint8_t lane_index, std::span<const CloseRunRef> runs);

    // Appends the entry as leaf number `n_leaves` (its compact JSON is hashed into the leaf).
    void push(const SegmentEntry& entry);
    void push(const CloseRunRef& run);
    // Appends a leaf hash and recomputes the right spine: O(log n) hashes, no allocation beyond
    // growing `levels` by at most one.
    void push_leaf(const MerkleHash& leaf);

    // The top level's last node, or the empty-lane root when there are no leaves.
    MerkleHash root() const;

    bool operator==(const LaneTree&) const = default;
};

// The Merkle state of a manifest: one tree per lane, lane k having `lane_index` k. A plain value:
// copying it (the commit's snapshot, a delta's check) copies a few hundred bytes per lane.
struct ManifestMerkle {
    std::array<LaneTree, MERKLE_LANES> lanes;

    // Four empty trees with lane indices 0..3 (the state of a manifest with empty lists).
    ManifestMerkle();

    // The full state of the manifest's four lists.
    static ManifestMerkle from_manifest(const Manifest& manifest);

    // Segment entries are pushed with lanes[k].push(entry); close runs with this. Pushing is valid
    // only for an entry appended at the end of the matching list of the manifest this state is in
    // step with.
    void push_close_run(const CloseRunRef& run) { lanes[LANE_CLOSE_RUNS].push(run); }

    // The four `n_leaves`, in lane order.
    std::array<std::uint64_t, MERKLE_LANES> lens() const;

    // H(0x01 | H(0x01 | R0 | R1) | H(0x01 | R2 | R3)).
    MerkleHash root() const;

    bool operator==(const ManifestMerkle&) const = default;
};

// The compact scalar object hashed by the digest: format, generation, parent, created_tt,
// event_log, dict, widths, next_segment_id, stats, then "lens" (the state's four leaf counts).
std::string manifest_scalar_json(const Manifest& manifest, const ManifestMerkle& state);

// The format-3 digest (16 lowercase hex digits) of the manifest's scalars and the given state.
// The state is used as handed; the caller keeps it in step with the manifest's lists.
std::string manifest_digest(const Manifest& manifest, const ManifestMerkle& state);

}  // namespace vorp
