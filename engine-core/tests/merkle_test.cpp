#include "vorp/merkle.h"

#include <gtest/gtest.h>

#include <bit>
#include <fmt/format.h>
#include <string>
#include <vector>

#include "vorp/checksum.h"
#include "vorp/manifest.h"

namespace vorp {
namespace {

std::string hex(const MerkleHash& h) { return to_hex(h); }

MerkleHash sha(std::string_view bytes) { return Sha256::digest(bytes); }

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto part : parts) out.append(part);
    return out;
}

std::string_view raw(const MerkleHash& h) { return merkle::bytes_of(h); }

MerkleHash node(const MerkleHash& left, const MerkleHash& right) {
    return sha(cat({std::string_view("\x01", 1), raw(left), raw(right)}));
}

// Distinct, reproducible leaf hashes.
std::vector<MerkleHash> make_leaves(std::size_t count) {
    std::vector<MerkleHash> leaves;
    for (std::size_t leaf_idx = 0; leaf_idx < count; ++leaf_idx)
        leaves.push_back(sha("leaf " + std::to_string(leaf_idx)));
    return leaves;
}

// An independent definition of the same tree: split at the largest power of two below n. Carrying
// an odd node up unchanged gives exactly this shape.
MerkleHash reference_root(std::span<const MerkleHash> leaves) {
    if (leaves.size() == 1) return leaves[0];
    const std::size_t split = std::bit_floor(leaves.size() - 1);
    return node(reference_root(leaves.first(split)), reference_root(leaves.subspan(split)));
}

TEST(MerkleHashing, DomainSeparatedMessages) {
    EXPECT_EQ(hex(merkle::empty_lane_root(0)), "99be5efb88ca2013bd8e4eb035fd42d5245468fe9afa70d8ba9c1c419a48c4e8");
    EXPECT_EQ(merkle::empty_lane_root(3), sha(std::string_view("\x02\x03", 2)));

    // The index is 8 bytes big-endian after the domain and lane bytes.
    const std::string json = R"({"file":"x"})";
    const std::string expected = cat({std::string_view("\x00\x02\x01\x02\x03\x04\x05\x06\x07\x08", 10), json});
    EXPECT_EQ(merkle::leaf_hash(2, 0x0102030405060708ull, json), sha(expected));
    EXPECT_NE(merkle::leaf_hash(1, 0, json), merkle::leaf_hash(2, 0, json));
    EXPECT_NE(merkle::leaf_hash(1, 0, json), merkle::leaf_hash(1, 1, json));

    const MerkleHash a = sha("a"), b = sha("b");
    EXPECT_EQ(merkle::inner_hash(a, b), node(a, b));
    EXPECT_EQ(merkle::hash({"ab", "", "c"}), sha("abc"));
    EXPECT_EQ(merkle::hash({}), sha(""));
}

TEST(MerkleHashing, EmptyStateRoot) {
    ManifestMerkle state;
    for (std::size_t lane_idx = 0; lane_idx < MERKLE_LANES; ++lane_idx) {
        EXPECT_EQ(state.lanes[lane_idx].lane_index, lane_idx);
        for (std::size_t other = lane_idx + 1; other < MERKLE_LANES; ++other)
            EXPECT_NE(state.lanes[lane_idx].root(), state.lanes[other].root());
    }
    EXPECT_EQ(hex(state.root()), "08dfbbe6967b00d5c042bdf15211211af34983e9031c15658002d70ab350deca");
    EXPECT_EQ(state.lens(), (std::array<std::uint64_t, 4>{0, 0, 0, 0}));
}

TEST(LaneTreeShape, SmallTrees) {
    const auto l = make_leaves(5);

    const LaneTree one = LaneTree::build(1, std::span(l).first(1));
    ASSERT_EQ(one.levels.size(), 1u);
    EXPECT_FALSE(one.levels[0].left.has_value());
    EXPECT_EQ(one.root(), l[0]);

    // The third leaf is carried up, never paired with itself.
    const LaneTree three = LaneTree::build(1, std::span(l).first(3));
    EXPECT_EQ(three.root(), node(node(l[0], l[1]), l[2]));
    ASSERT_EQ(three.levels.size(), 3u);
    EXPECT_EQ(three.levels[0].left, l[1]);
    EXPECT_EQ(three.levels[0].last, l[2]);
    EXPECT_EQ(three.levels[1].left, node(l[0], l[1]));
    EXPECT_EQ(three.levels[1].last, l[2]);
    EXPECT_FALSE(three.levels[2].left.has_value());

    const LaneTree five = LaneTree::build(1, l);
    EXPECT_EQ(five.root(), node(node(node(l[0], l[1]), node(l[2], l[3])), l[4]));
    EXPECT_EQ(five.levels.size(), 4u);
    EXPECT_EQ(five.n_leaves, 5u);
    EXPECT_EQ(five.lane_index, 1u);

    const LaneTree empty = LaneTree::build(2, {});
    EXPECT_TRUE(empty.levels.empty());
    EXPECT_EQ(empty.root(), merkle::empty_lane_root(2));
}

// Building over any prefix and pushing the rest equals building over everything: same count,
// same levels, same spine hashes, same root as the independent definition.
TEST(LaneTreeShape, PushesEqualFullBuild) {
    constexpr std::size_t kMax = 300;
    const auto leaves = make_leaves(kMax);
    LaneTree pushed;
    pushed.lane_index = 2;
    for (std::size_t count = 0; count <= kMax; ++count) {
        const auto prefix = std::span(leaves).first(count);
        const LaneTree built = LaneTree::build(2, prefix);
        ASSERT_EQ(pushed, built) << "after " << count << " pushes";
        ASSERT_EQ(built.n_leaves, count);
        if (count > 0) {
            ASSERT_EQ(built.levels.size(), 1u + std::bit_width(count - 1)) << count;
            ASSERT_EQ(built.root(), reference_root(prefix)) << count;
        }
        if (count < kMax) pushed.push_leaf(leaves[count]);
    }
}

TEST(LaneTreeShape, BuildPrefixThenPush) {
    const auto leaves = make_leaves(70);
    for (std::size_t total = 0; total <= leaves.size(); ++total) {
        const LaneTree expected = LaneTree::build(0, std::span(leaves).first(total));
        for (std::size_t built_count = 0; built_count <= total; ++built_count) {
            LaneTree tree = LaneTree::build(0, std::span(leaves).first(built_count));
            for (std::size_t leaf_idx = built_count; leaf_idx < total; ++leaf_idx) tree.push_leaf(leaves[leaf_idx]);
            ASSERT_EQ(tree, expected) << "built " << built_count << " of " << total;
        }
    }
}

TEST(LaneTreeShape, CloneIsIndependent) {
    const auto leaves = make_leaves(9);
    ManifestMerkle state;
    for (std::size_t leaf_idx = 0; leaf_idx < 8; ++leaf_idx) state.lanes[1].push_leaf(leaves[leaf_idx]);
    const ManifestMerkle snapshot = state;
    state.lanes[1].push_leaf(leaves[8]);
    EXPECT_NE(state, snapshot);
    EXPECT_EQ(snapshot.lanes[1].n_leaves, 8u);
    EXPECT_EQ(snapshot.lanes[1].root(), reference_root(std::span(leaves).first(8)));
    EXPECT_EQ(state.lens(), (std::array<std::uint64_t, 4>{0, 9, 0, 0}));
}

SegmentEntry entry_for(std::uint64_t id) {
    SegmentEntry entry;
    entry.file = fmt::format("seg/{:012}.vos", id);
    entry.rows = static_cast<std::uint32_t>(id + 1);
    entry.key_lo = {static_cast<std::int64_t>(id), "000000000000000000000001"};
    entry.key_hi = {static_cast<std::int64_t>(id) + 5, "000000000000000000000002"};
    entry.vt_min = static_cast<std::int64_t>(id);
    entry.vt_max = static_cast<std::int64_t>(id) + 5;
    entry.vt_e_max = 1000;
    entry.tt_s_min = 7;
    entry.tt_s_max = 8;
    return entry;
}

CloseRunRef close_run_for(std::uint64_t generation) {
    return CloseRunRef{fmt::format("close/{:012}.voc", generation), static_cast<std::uint32_t>(generation), ""};
}

Manifest manifest_with(std::size_t nodes, std::size_t events, std::size_t intervals, std::size_t runs) {
    Manifest manifest = Manifest::genesis().successor(11);
    std::uint64_t next_id = 0;
    for (std::size_t idx = 0; idx < nodes; ++idx) manifest.node_store.push_back(entry_for(next_id++));
    for (std::size_t idx = 0; idx < events; ++idx) manifest.edge_lanes.event.push_back(entry_for(next_id++));
    for (std::size_t idx = 0; idx < intervals; ++idx) manifest.edge_lanes.interval.push_back(entry_for(next_id++));
    for (std::size_t idx = 0; idx < runs; ++idx) manifest.close_runs.push_back(close_run_for(idx + 1));
    manifest.next_segment_id = next_id;
    manifest.seal();
    return manifest;
}

TEST(ManifestDigest, GenesisVectors) {
    const Manifest genesis = Manifest::genesis();
    const ManifestMerkle state = ManifestMerkle::from_manifest(genesis);
    EXPECT_EQ(state, ManifestMerkle());
    const std::string scalars = manifest_scalar_json(genesis, state);
    EXPECT_EQ(scalars,
              R"({"format":3,"generation":0,"parent":null,"created_tt":0,"event_log":{"offset":0,)"
              R"("chain":"e3b0c44298fc1c14"},"dict":{"records":0,"bytes":0},"widths":{"entity_id":32,)"
              R"("row_id":32,"rel_code":16},"next_segment_id":0,"stats":{"n_entities":0,"n_node_versions":0,)"
              R"("n_edge_versions":0,"vt_min":null,"vt_max":null,"max_out_degree":0},"lens":[0,0,0,0]})");
    EXPECT_EQ(scalars.size(), 340u);
    EXPECT_EQ(manifest_digest(genesis, state), "f6a8812338a9f3af");
    EXPECT_EQ(genesis.digest(), "f6a8812338a9f3af");

    // The digest is H(tag | scalars | root), cut to 8 bytes.
    const std::string message = cat({std::string_view("vorp.manifest.merkle-v1\0", 24), scalars, raw(state.root())});
    EXPECT_EQ(to_hex(sha(message).data(), 8), "f6a8812338a9f3af");
}

TEST(ManifestDigest, LeavesHashTheEntryJson) {
    const Manifest manifest = manifest_with(2, 3, 1, 2);
    const ManifestMerkle state = ManifestMerkle::from_manifest(manifest);
    EXPECT_EQ(state.lens(), (std::array<std::uint64_t, 4>{2, 3, 1, 2}));
    EXPECT_EQ(state.lanes[1].root(),
              node(node(merkle::leaf_hash(1, 0, to_compact_json(manifest.edge_lanes.event[0])),
                        merkle::leaf_hash(1, 1, to_compact_json(manifest.edge_lanes.event[1]))),
                   merkle::leaf_hash(1, 2, to_compact_json(manifest.edge_lanes.event[2]))));
    EXPECT_EQ(state.lanes[2].root(), merkle::leaf_hash(2, 0, to_compact_json(manifest.edge_lanes.interval[0])));
    EXPECT_EQ(state.lanes[3].root(), node(merkle::leaf_hash(3, 0, to_compact_json(manifest.close_runs[0])),
                                          merkle::leaf_hash(3, 1, to_compact_json(manifest.close_runs[1]))));
    EXPECT_EQ(state.root(), node(node(state.lanes[0].root(), state.lanes[1].root()),
                                 node(state.lanes[2].root(), state.lanes[3].root())));
    EXPECT_NE(manifest_scalar_json(manifest, state).find(R"("lens":[2,3,1,2]})"), std::string::npos);
}

// A commit appends to the lists and pushes the same entries; the digest of the pushed state equals
// the digest rebuilt from the new manifest.
TEST(ManifestDigest, CommitPushesMatchRebuild) {
    Manifest manifest = manifest_with(5, 4, 0, 1);
    ManifestMerkle state = ManifestMerkle::from_manifest(manifest);
    for (std::uint64_t commit = 0; commit < 40; ++commit) {
        const ManifestMerkle snapshot = state;
        Manifest next = manifest.successor(static_cast<std::int64_t>(100 + commit));
        const std::size_t lane = commit % 4;
        for (std::uint64_t added = 0; added <= commit % 3; ++added) {
            if (lane == 3) {
                next.close_runs.push_back(close_run_for(next.generation * 10 + added));
                state.push_close_run(next.close_runs.back());
                continue;
            }
            std::vector<SegmentEntry>& list =
                lane == 0 ? next.node_store : lane == 1 ? next.edge_lanes.event : next.edge_lanes.interval;
            list.push_back(entry_for(next.next_segment_id++));
            state.lanes[lane].push(list.back());
        }
        next.manifest_sha = manifest_digest(next, state);
        ASSERT_EQ(state, ManifestMerkle::from_manifest(next)) << commit;
        ASSERT_EQ(next.manifest_sha, next.digest()) << commit;
        ASSERT_TRUE(next.verify().has_value()) << commit;
        // The snapshot still digests the parent.
        ASSERT_EQ(manifest_digest(manifest, snapshot), manifest.manifest_sha);
        manifest = std::move(next);
    }
}

TEST(ManifestDigest, WhatChangesTheDigest) {
    const Manifest base = manifest_with(2, 2, 2, 1);
    const std::string digest = base.digest();

    Manifest moved = base;  // the same entry in the other edge lane
    moved.edge_lanes.interval.insert(moved.edge_lanes.interval.begin(), moved.edge_lanes.event.back());
    moved.edge_lanes.event.pop_back();
    Manifest moved_back = base;
    moved_back.edge_lanes.event.push_back(moved_back.edge_lanes.interval.front());
    moved_back.edge_lanes.interval.erase(moved_back.edge_lanes.interval.begin());
    Manifest swapped = base;
    std::swap(swapped.node_store[0], swapped.node_store[1]);
    Manifest member = base;
    member.edge_lanes.interval[1].tt_s_max += 1;
    Manifest run = base;
    run.close_runs[0].entries += 1;
    Manifest scalar = base;
    scalar.stats.vt_min = 0;
    for (const Manifest* changed : {&moved, &moved_back, &swapped, &member, &run, &scalar})
        EXPECT_NE(changed->digest(), digest);

    EXPECT_NE(merkle::leaf_hash(1, 0, to_compact_json(base.node_store[0])),
              merkle::leaf_hash(2, 0, to_compact_json(base.node_store[0])));

    Manifest resealed = base;
    resealed.manifest_sha = "ffffffffffffffff";
    EXPECT_EQ(resealed.digest(), digest);

    // "lens" comes from the state handed in, not from the manifest's lists.
    ManifestMerkle state = ManifestMerkle::from_manifest(base);
    ManifestMerkle stale = state;
    stale.lanes[0].n_leaves += 1;
    EXPECT_NE(manifest_digest(base, stale), manifest_digest(base, state));
}

TEST(ManifestDigest, LegacyFormats) {
    Manifest genesis = Manifest::genesis();
    genesis.format = 2;
    EXPECT_EQ(genesis.digest(), "e96de1fc33697fdb");
    EXPECT_EQ(genesis.legacy_body_sha(), "e96de1fc33697fdb");
    genesis.manifest_sha = "anything";
    EXPECT_EQ(genesis.digest(), "e96de1fc33697fdb");

    Manifest document = manifest_with(3, 1, 2, 1);
    document.format = 1;
    Manifest copy = document;
    copy.manifest_sha.clear();
    EXPECT_EQ(document.digest(), short_sha(to_compact_json(copy)));
}

TEST(ManifestDigest, SealAndVerify) {
    for (std::uint32_t format : {1u, 2u, 3u}) {
        Manifest manifest = manifest_with(1, 2, 3, 1);
        manifest.format = format;
        manifest.seal();
        EXPECT_TRUE(manifest.verify().has_value()) << format;
    }

    const std::string expected_format_error =
        "manifest format {} is not supported by this build (expected 3, or 1 or 2 read-only)";
    for (std::uint32_t format : {0u, 4u, 4294967295u}) {
        Manifest manifest = Manifest::genesis();
        manifest.format = format;
        auto status = manifest.verify();
        ASSERT_FALSE(status.has_value());
        EXPECT_EQ(status.error(), EngineError::corrupt(fmt::format(fmt::runtime(expected_format_error), format)));
    }

    Manifest tampered = manifest_with(2, 1, 1, 1);
    const std::string recorded = tampered.manifest_sha;
    tampered.edge_lanes.event[0].rows += 1;
    auto status = tampered.verify();
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().display(),
              fmt::format("corrupt: manifest checksum mismatch: computed {}, recorded {} — {}", tampered.digest(),
                          recorded, RESTORE_REMEDY));
    EXPECT_NE(tampered.digest(), recorded);

    Manifest capitals = Manifest::genesis();
    capitals.manifest_sha = "F6A8812338A9F3AF";
    status = capitals.verify();
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().message,
              "manifest checksum mismatch: computed f6a8812338a9f3af, recorded F6A8812338A9F3AF");
    EXPECT_FALSE(status.error().location.file.has_value());
}

}  // namespace
}  // namespace vorp
