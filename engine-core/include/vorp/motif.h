// δ-temporal motif matching over event columns.
//
// An instance of a motif is an ordered triple of events e1 < e2 < e3 (in event order: time, then
// edge id bytes, then input row) whose endpoints form the motif's pattern and whose second and
// third events happen no later than e1's time plus δ. The caller hands in the columns of the
// events it chose; the result is a count and, on request, each instance as three row indices into
// those columns, so no string travels back.
//
// Event positions and rows are 32-bit: a call takes fewer than 2^32 events.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "vorp/error.h"

namespace vorp {

struct Motif {
    // Every instance starts with a non-loop event a→b.
    enum class Kind : std::uint8_t {
        TriangleCyclic = 0,    // a→b, b→c, c→a
        TriangleAcyclic1 = 1,  // a→b, a→c, b→c
        TwoNodePingpong = 2,   // a→b, b→a, a→b
        StarOut3 = 3,          // a→b, a→c, a→d
        Path3 = 4,             // a→b, b→c, c→d
    };
    // a, b, c (and d) of an instance are pairwise distinct nodes.

    Kind kind = Kind::TriangleCyclic;

    // Exact, case-sensitive: "M_triangle_cyclic", "M_triangle_acyclic_1", "M_2node_pingpong",
    // "M_star_out_3", "M_path_3". Anything else is the invariant error `unknown motif "{name}"`.
    static Result<Motif> parse(std::string_view name);
    std::string_view name() const;

    bool operator==(const Motif&) const = default;
};

inline constexpr std::array<Motif::Kind, 5> ALL_MOTIFS = {
    Motif::Kind::TriangleCyclic, Motif::Kind::TriangleAcyclic1, Motif::Kind::TwoNodePingpong,
    Motif::Kind::StarOut3, Motif::Kind::Path3,
};

// The event columns, borrowed for the call: one entry per event row. `eid` only orders events
// with equal `t` (byte-wise; a proper prefix sorts first).
struct MotifEvents {
    std::span<const std::int64_t> src;
    std::span<const std::int64_t> dst;
    std::span<const std::int64_t> t;
    std::span<const std::string_view> eid;
};

// One key's events: ascending positions and, beside them, the events' times (non-decreasing),
// so that both searches of a candidate window run over contiguous memory.
struct PositionList {
    const std::uint32_t* positions = nullptr;
    const std::int64_t* times = nullptr;
    std::size_t size = 0;
    bool empty() const { return size == 0; }
};

// Ascending event positions grouped by a key, in one array, with a flat hash table from key to
// its run. Only looked up, never iterated, so the hashing cannot influence a result.
template <class Key>
class PositionLists {
public:
    // Groups positions 0 .. keys.size()-1 by their key; `times` holds each position's time.
    static PositionLists build(std::span<const Key> keys, std::span<const std::int64_t> times);
    // The positions whose key is `key`; empty when there are none.
    PositionList find(const Key& key) const;
    // Starts loading the table slot where `key` would be found.
    void prefetch(const Key& key) const;

private:
    struct Slot {
        Key key{};
        std::uint32_t start = 0;
        std::uint32_t size = 0;  // 0 marks a free slot; every key has at least one position
    };
    void grow();

    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0;
    std::vector<std::uint32_t> positions_;
    std::vector<std::int64_t> times_;  // times_[k] is the time of positions_[k]
};

struct NodePair {
    std::int64_t src = 0;
    std::int64_t dst = 0;
    bool operator==(const NodePair&) const = default;
};

// The events in time order, built once per call. The position of an event is its index in
// `order`; `t`, `src` and `dst` are the columns permuted into position order, so `t` is
// non-decreasing along positions.
struct Index {
    std::vector<std::uint32_t> order;  // position -> row
    std::vector<std::int64_t> t;
    std::vector<std::int64_t> src;
    std::vector<std::int64_t> dst;
    PositionLists<std::int64_t> by_src;  // node -> positions of its out-events
    PositionLists<NodePair> by_pair;     // (src, dst) -> positions of exactly those events

    // `events` must hold columns of one length below 2^32 (match_motifs checks).
    static Index build(const MotifEvents& events);
};

struct MotifMatches {
    std::uint64_t count = 0;
    // Rows of the first, second and third event of each instance, ordered by the positions of the
    // first, then the second, then the third event. Empty unless instances were asked for.
    std::vector<std::array<std::uint32_t, 3>> instances;
};

// Counts (and with `collect` lists) the instances of `motif` whose events all lie within
// [t1, t1 + delta] (the bound saturates at the largest 64-bit time). Refuses, before any work,
// columns of differing lengths, a negative delta and 2^32 or more events (invariant errors).
Result<MotifMatches> match_motifs(Motif motif, const MotifEvents& events, std::int64_t delta, bool collect);

}  // namespace vorp
