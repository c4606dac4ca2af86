#include "vorp/motif.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "vorp/interrupt.h"
#include "vorp/text.h"

namespace vorp {

namespace {

constexpr std::string_view MOTIF_NAMES[] = {
    "M_triangle_cyclic", "M_triangle_acyclic_1", "M_2node_pingpong", "M_star_out_3", "M_path_3",
};

// A 64-bit finalizer (splitmix64): every input bit reaches every output bit, so the table's low
// bits are usable for consecutive node numbers as well as for sparse ones.
std::uint64_t mix64(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

std::uint64_t key_hash(std::int64_t node) { return mix64(static_cast<std::uint64_t>(node)); }
std::uint64_t key_hash(const NodePair& pair) {
    return mix64(static_cast<std::uint64_t>(pair.src) * 0x9e3779b97f4a7c15ULL ^ mix64(static_cast<std::uint64_t>(pair.dst)));
}

// The latest time a second or third event may have: t + delta, or the largest time when that
// sum does not fit (delta is non-negative, so only the upper end can overflow).
std::int64_t deadline_of(std::int64_t t, std::int64_t delta) {
    std::int64_t deadline = 0;
    if (__builtin_add_overflow(t, delta, &deadline)) return std::numeric_limits<std::int64_t>::max();
    return deadline;
}

// Candidate entries of a position list: indices [lo, hi) into the list.
struct Window {
    std::size_t lo = 0;
    std::size_t hi = 0;
    std::size_t size() const { return hi - lo; }
};

// The entries of `list` after position `after` whose time is at most `deadline`. Every entry up
// to `after` has a time at most t[after] <= deadline, so the entries within the deadline form a
// prefix of the list that reaches at least to `lo`: the end is searched from `lo` outwards
// (windows are usually short next to their lists).
Window window_after(const PositionList& list, std::uint32_t after, std::int64_t deadline) {
    Window window;
    window.lo = static_cast<std::size_t>(std::upper_bound(list.positions, list.positions + list.size, after) -
                                         list.positions);
    std::size_t below = window.lo;  // every entry before `below` is within the deadline
    std::size_t above = below;      // after the loop: an entry past the deadline, or the end
    std::size_t step = 1;
    while (above < list.size && list.times[above] <= deadline) {
        below = above + 1;
        above = below + step;
        step *= 2;
    }
    above = std::min(above, list.size);
    window.hi = static_cast<std::size_t>(
        std::upper_bound(list.times + below, list.times + above, deadline) - list.times);
    return window;
}

// How far ahead, in second events, the third-event table slot is prefetched: lookups of pairs
// are independent random reads that the loop would otherwise wait for one at a time.
constexpr std::size_t PREFETCH_AHEAD = 8;

// Third-event windows of at most this many entries are walked one by one when counting the star
// and the path; larger ones are counted by subtracting the excluded targets' windows, which costs
// three lookups whatever the window's size (a hub's windows can be long).
constexpr std::size_t WALK_LIMIT = 16;

// Work between interruption points, counted in first events and candidate second events: each
// costs a lookup or two, so a stride is a few milliseconds at most.
constexpr std::uint64_t MATCH_TICK_STRIDE = std::uint64_t{1} << 16;

template <Motif::Kind K, bool Collect>
Status match(const Index& index, std::int64_t delta, MotifMatches& out) {
    using Kind = Motif::Kind;
    const std::int64_t* t = index.t.data();
    const std::int64_t* src = index.src.data();
    const std::int64_t* dst = index.dst.data();
    const auto positions = static_cast<std::uint32_t>(index.t.size());
    std::uint64_t count = 0;

    // Instances whose third event leaves the motif's pattern through d: d must differ from a, b
    // and c. `from` is the third event's source; all three pairs are distinct (a, b, c are) and
    // their lists are disjoint parts of the third-event list, so their windows can be subtracted.
    auto excluded = [&](std::int64_t from, std::int64_t a, std::int64_t b, std::int64_t c, std::uint32_t after,
                        std::int64_t deadline) {
        std::size_t total = 0;
        for (std::int64_t target : {a, b, c}) {
            const PositionList list = index.by_pair.find(NodePair{from, target});
            if (!list.empty()) total += window_after(list, after, deadline).size();
        }
        return total;
    };

    // One first event's second events are a window of a list: a hub's can be long, so the ticker
    // counts them, not the first events alone.
    InterruptTicker ticker(MATCH_TICK_STRIDE);
    for (std::uint32_t i = 0; i < positions; ++i) {
        VORP_TRY(ticker.tick());
        const std::int64_t a = src[i];
        const std::int64_t b = dst[i];
        if (a == b) continue;  // a self-loop never starts an instance
        const std::int64_t deadline = deadline_of(t[i], delta);

        PositionList second;
        if constexpr (K == Kind::TriangleCyclic || K == Kind::Path3) {
            second = index.by_src.find(b);
        } else if constexpr (K == Kind::TriangleAcyclic1 || K == Kind::StarOut3) {
            second = index.by_src.find(a);
        } else {
            second = index.by_pair.find(NodePair{b, a});
        }
        if (second.empty()) continue;
        const Window second_window = window_after(second, i, deadline);
        if (second_window.size() == 0) continue;
        VORP_TRY(ticker.tick(second_window.size()));

        // The ping-pong's third event is a→b again, whatever the second.
        PositionList pingpong_third;
        if constexpr (K == Kind::TwoNodePingpong) {
            pingpong_third = index.by_pair.find(NodePair{a, b});
            if (pingpong_third.empty()) continue;
        }

        for (std::size_t second_idx = second_window.lo; second_idx < second_window.hi; ++second_idx) {
            const std::uint32_t j = second.positions[second_idx];
            const std::int64_t c = dst[j];
            if constexpr (K == Kind::TriangleCyclic || K == Kind::TriangleAcyclic1 || K == Kind::Path3) {
                if (second_idx + PREFETCH_AHEAD < second_window.hi) {
                    const std::int64_t ahead = dst[second.positions[second_idx + PREFETCH_AHEAD]];
                    if constexpr (K == Kind::TriangleCyclic) index.by_pair.prefetch(NodePair{ahead, a});
                    if constexpr (K == Kind::TriangleAcyclic1) index.by_pair.prefetch(NodePair{b, ahead});
                    if constexpr (K == Kind::Path3) index.by_src.prefetch(ahead);
                }
            }
            if constexpr (K != Kind::TwoNodePingpong) {
                if (c == a || c == b) continue;
            }

            if constexpr (K == Kind::TriangleCyclic || K == Kind::TriangleAcyclic1 || K == Kind::TwoNodePingpong) {
                // The third-event list holds exactly one (src, dst) pair: every entry of the
                // window completes an instance.
                PositionList third;
                if constexpr (K == Kind::TriangleCyclic) {
                    third = index.by_pair.find(NodePair{c, a});
                } else if constexpr (K == Kind::TriangleAcyclic1) {
                    third = index.by_pair.find(NodePair{b, c});
                } else {
                    third = pingpong_third;
                }
                if (third.empty()) continue;
                const Window third_window = window_after(third, j, deadline);
                count += third_window.size();
                if constexpr (Collect) {
                    for (std::size_t k = third_window.lo; k < third_window.hi; ++k) {
                        out.instances.push_back({i, j, third.positions[k]});
                    }
                }
            } else {
                PositionList third;
                Window third_window;
                std::int64_t from = a;
                if constexpr (K == Kind::StarOut3) {
                    // The third list is the second one (a's out-events), after j, same deadline.
                    third = second;
                    third_window = Window{second_idx + 1, second_window.hi};
                } else {
                    from = c;
                    third = index.by_src.find(c);
                    if (third.empty()) continue;
                    third_window = window_after(third, j, deadline);
                }
                if (!Collect && third_window.size() > WALK_LIMIT) {
                    count += third_window.size() - excluded(from, a, b, c, j, deadline);
                    continue;
                }
                for (std::size_t k = third_window.lo; k < third_window.hi; ++k) {
                    const std::int64_t d = dst[third.positions[k]];
                    if (d == a || d == b || d == c) continue;
                    ++count;
                    if constexpr (Collect) out.instances.push_back({i, j, third.positions[k]});
                }
            }
        }
    }
    out.count = count;
    return ok();
}

template <Motif::Kind K>
Status match_kind(const Index& index, std::int64_t delta, bool collect, MotifMatches& out) {
    return collect ? match<K, true>(index, delta, out) : match<K, false>(index, delta, out);
}

}  // namespace

Result<Motif> Motif::parse(std::string_view name) {
    for (std::size_t kind = 0; kind < std::size(MOTIF_NAMES); ++kind) {
        if (name == MOTIF_NAMES[kind]) return Motif{static_cast<Kind>(kind)};
    }
    return fail(EngineError::invariant(fmt::format("unknown motif {}", debug_quoted(name))));
}

std::string_view Motif::name() const { return MOTIF_NAMES[static_cast<std::size_t>(kind)]; }

template <class Key>
void PositionLists<Key>::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.size == 0) continue;
        std::uint64_t at = key_hash(slot.key) & mask_;
        while (slots_[at].size != 0) at = (at + 1) & mask_;
        slots_[at] = slot;
    }
}

template <class Key>
PositionLists<Key> PositionLists<Key>::build(std::span<const Key> keys, std::span<const std::int64_t> times) {
    PositionLists lists;
    lists.grow();
    // First pass: one group per distinct key, numbered in order of appearance (held in the
    // slot's `start` until the runs are laid out); the table stays at most half full.
    std::vector<std::uint32_t> group_of(keys.size());
    std::vector<std::uint32_t> counts;
    for (std::size_t position = 0; position < keys.size(); ++position) {
        if (2 * (counts.size() + 1) > lists.slots_.size()) lists.grow();
        const Key& key = keys[position];
        std::uint64_t at = key_hash(key) & lists.mask_;
        while (lists.slots_[at].size != 0 && !(lists.slots_[at].key == key)) at = (at + 1) & lists.mask_;
        Slot& slot = lists.slots_[at];
        if (slot.size == 0) {
            slot = Slot{key, static_cast<std::uint32_t>(counts.size()), 1};
            counts.push_back(0);
        }
        group_of[position] = slot.start;
        ++counts[slot.start];
    }

    std::vector<std::uint32_t> starts(counts.size());
    std::uint32_t start = 0;
    for (std::size_t group = 0; group < counts.size(); ++group) {
        starts[group] = start;
        start += counts[group];
    }
    for (Slot& slot : lists.slots_) {
        if (slot.size == 0) continue;
        const std::uint32_t group = slot.start;
        slot.start = starts[group];
        slot.size = counts[group];
    }

    // Filled in position order, so each run is ascending and its times non-decreasing.
    lists.positions_.resize(keys.size());
    lists.times_.resize(keys.size());
    for (std::size_t position = 0; position < keys.size(); ++position) {
        const std::uint32_t at = starts[group_of[position]]++;
        lists.positions_[at] = static_cast<std::uint32_t>(position);
        lists.times_[at] = times[position];
    }
    return lists;
}

template <class Key>
PositionList PositionLists<Key>::find(const Key& key) const {
    std::uint64_t at = key_hash(key) & mask_;
    while (true) {
        const Slot& slot = slots_[at];
        if (slot.size == 0) return {};
        if (slot.key == key) return PositionList{positions_.data() + slot.start, times_.data() + slot.start, slot.size};
        at = (at + 1) & mask_;
    }
}

template <class Key>
void PositionLists<Key>::prefetch(const Key& key) const {
    __builtin_prefetch(&slots_[key_hash(key) & mask_]);
}

template class PositionLists<std::int64_t>;
template class PositionLists<NodePair>;

Index Index::build(const MotifEvents& events) {
    const std::size_t n = events.t.size();
    Index index;

    // Event order: time, then edge id bytes (a proper prefix first), then input row, which makes
    // the order total, so no stable sort is needed. Sorting by (time, row) first compares only
    // integers; the edge ids are consulted only inside runs of equal times.
    struct Key {
        std::int64_t t;
        std::uint32_t row;
    };
    std::vector<Key> keys(n);
    for (std::size_t row = 0; row < n; ++row) keys[row] = Key{events.t[row], static_cast<std::uint32_t>(row)};
    std::sort(keys.begin(), keys.end(), [](const Key& left, const Key& right) {
        return left.t != right.t ? left.t < right.t : left.row < right.row;
    });
    // string_view compares as unsigned bytes (memcmp), then by length; rows break ties.
    auto by_eid = [&](const Key& left, const Key& right) {
        const int bytes = events.eid[left.row].compare(events.eid[right.row]);
        return bytes != 0 ? bytes < 0 : left.row < right.row;
    };
    for (std::size_t run = 0; run < n;) {
        std::size_t run_end = run + 1;
        while (run_end < n && keys[run_end].t == keys[run].t) ++run_end;
        if (run_end - run == 2) {
            if (by_eid(keys[run + 1], keys[run])) std::swap(keys[run], keys[run + 1]);
        } else if (run_end - run > 2) {
            std::sort(keys.begin() + static_cast<std::ptrdiff_t>(run), keys.begin() + static_cast<std::ptrdiff_t>(run_end),
                      by_eid);
        }
        run = run_end;
    }

    index.order.resize(n);
    index.t.resize(n);
    index.src.resize(n);
    index.dst.resize(n);
    std::vector<NodePair> pairs(n);
    for (std::size_t position = 0; position < n; ++position) {
        const std::uint32_t row = keys[position].row;
        index.order[position] = row;
        index.t[position] = keys[position].t;
        index.src[position] = events.src[row];
        index.dst[position] = events.dst[row];
        pairs[position] = NodePair{events.src[row], events.dst[row]};
    }
    keys = {};
    index.by_src = PositionLists<std::int64_t>::build(index.src, index.t);
    index.by_pair = PositionLists<NodePair>::build(pairs, index.t);
    return index;
}

Result<MotifMatches> match_motifs(Motif motif, const MotifEvents& events, std::int64_t delta, bool collect) {
    const std::size_t n = events.src.size();
    if (events.dst.size() != n || events.t.size() != n || events.eid.size() != n) {
        return fail(EngineError::invariant("motif event columns have differing lengths"));
    }
    if (delta < 0) return fail(EngineError::invariant("motif delta must be non-negative"));
    // Positions and rows are 32-bit; a larger call would wrap them silently.
    if (n > std::numeric_limits<std::uint32_t>::max()) {
        return fail(EngineError::invariant(fmt::format(
            "motif event columns hold {} events; rows are numbered in 32 bits, so a call takes at most {}", n,
            std::numeric_limits<std::uint32_t>::max())));
    }

    const Index index = Index::build(events);
    VORP_TRY(interruption_point());
    MotifMatches matches;
    switch (motif.kind) {
        case Motif::Kind::TriangleCyclic:
            VORP_TRY(match_kind<Motif::Kind::TriangleCyclic>(index, delta, collect, matches));
            break;
        case Motif::Kind::TriangleAcyclic1:
            VORP_TRY(match_kind<Motif::Kind::TriangleAcyclic1>(index, delta, collect, matches));
            break;
        case Motif::Kind::TwoNodePingpong:
            VORP_TRY(match_kind<Motif::Kind::TwoNodePingpong>(index, delta, collect, matches));
            break;
        case Motif::Kind::StarOut3: VORP_TRY(match_kind<Motif::Kind::StarOut3>(index, delta, collect, matches)); break;
        case Motif::Kind::Path3: VORP_TRY(match_kind<Motif::Kind::Path3>(index, delta, collect, matches)); break;
    }
    // Instances were gathered as positions; the caller knows events by their rows.
    for (auto& instance : matches.instances) {
        for (std::uint32_t& event : instance) event = index.order[event];
    }
    return matches;
}

}  // namespace vorp
