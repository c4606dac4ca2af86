#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "vorp/motif.h"

namespace vorp {
namespace {

using Kind = Motif::Kind;
using Instance = std::array<std::uint32_t, 3>;
constexpr std::int64_t MAX_TIME = std::numeric_limits<std::int64_t>::max();

std::uint64_t seed_count() {
    const char* text = std::getenv("VORP_MOTIF_SEEDS");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 150;
}

struct Events {
    std::vector<std::int64_t> src, dst, t;
    std::vector<std::string> eid;
    std::vector<std::string_view> eid_views;

    MotifEvents view() {
        eid_views.assign(eid.begin(), eid.end());
        return MotifEvents{src, dst, t, eid_views};
    }
};

// ---- the reference: every ordered triple of rows, straight from the motif definitions --------

bool bytes_before(const std::string& left, const std::string& right) {
    return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
}

// Event order: time, then edge id bytes, then row.
bool earlier(const Events& events, std::uint32_t x, std::uint32_t y) {
    if (events.t[x] != events.t[y]) return events.t[x] < events.t[y];
    if (events.eid[x] != events.eid[y]) return bytes_before(events.eid[x], events.eid[y]);
    return x < y;
}

bool distinct(std::initializer_list<std::int64_t> nodes) {
    std::vector<std::int64_t> sorted(nodes);
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
}

bool forms_motif(Kind kind, const Events& e, std::uint32_t r1, std::uint32_t r2, std::uint32_t r3) {
    const std::int64_t a = e.src[r1], b = e.dst[r1];
    switch (kind) {
        case Kind::TriangleCyclic:  // a→b, b→c, c→a
            return e.src[r2] == b && e.src[r3] == e.dst[r2] && e.dst[r3] == a && distinct({a, b, e.dst[r2]});
        case Kind::TriangleAcyclic1:  // a→b, a→c, b→c
            return e.src[r2] == a && e.src[r3] == b && e.dst[r3] == e.dst[r2] && distinct({a, b, e.dst[r2]});
        case Kind::TwoNodePingpong:  // a→b, b→a, a→b
            return a != b && e.src[r2] == b && e.dst[r2] == a && e.src[r3] == a && e.dst[r3] == b;
        case Kind::StarOut3:  // a→b, a→c, a→d
            return e.src[r2] == a && e.src[r3] == a && distinct({a, b, e.dst[r2], e.dst[r3]});
        case Kind::Path3:  // a→b, b→c, c→d
            return e.src[r2] == b && e.src[r3] == e.dst[r2] && distinct({a, b, e.dst[r2], e.dst[r3]});
    }
    return false;
}

std::vector<Instance> brute_force(Kind kind, const Events& e, std::int64_t delta) {
    const auto n = static_cast<std::uint32_t>(e.t.size());
    std::vector<std::uint32_t> by_order(n);
    for (std::uint32_t row = 0; row < n; ++row) by_order[row] = row;
    std::sort(by_order.begin(), by_order.end(), [&](std::uint32_t x, std::uint32_t y) { return earlier(e, x, y); });
    std::vector<std::uint32_t> rank(n);
    for (std::uint32_t position = 0; position < n; ++position) rank[by_order[position]] = position;

    std::vector<Instance> found;
    for (std::uint32_t r1 = 0; r1 < n; ++r1) {
        if (e.src[r1] == e.dst[r1]) continue;
        const __int128 deadline = static_cast<__int128>(e.t[r1]) + delta;
        for (std::uint32_t r2 = 0; r2 < n; ++r2) {
            if (!earlier(e, r1, r2) || e.t[r2] > deadline) continue;
            for (std::uint32_t r3 = 0; r3 < n; ++r3) {
                if (!earlier(e, r2, r3) || e.t[r3] > deadline) continue;
                if (forms_motif(kind, e, r1, r2, r3)) found.push_back({r1, r2, r3});
            }
        }
    }
    std::sort(found.begin(), found.end(), [&](const Instance& x, const Instance& y) {
        return std::tuple(rank[x[0]], rank[x[1]], rank[x[2]]) < std::tuple(rank[y[0]], rank[y[1]], rank[y[2]]);
    });
    return found;
}

// Small dense event sets: few nodes (so every pattern occurs), few distinct times (ties), edge
// ids that tie, prefix one another and use bytes above 0x7f, self-loops, repeated events; every
// fourth set has a hub that sends most events, so third-event windows get long; some sets sit at
// the top of the time range, where t + delta overflows.
Events random_events(std::mt19937_64& rng) {
    static const std::vector<std::string> eids = {"", "a", "b", "ab", "ba", "\x7f", "\xff", "a\xff", "a\x01"};
    auto pick = [&](std::uint64_t bound) { return static_cast<std::int64_t>(rng() % bound); };
    Events events;
    const std::int64_t n = pick(41);
    const std::int64_t nodes = 1 + pick(5);
    const bool hub = pick(4) == 0;
    const std::int64_t base = std::array<std::int64_t, 3>{0, -7, MAX_TIME - 6}[pick(3)];
    const std::int64_t spread = 1 + pick(6);
    for (std::int64_t row = 0; row < n; ++row) {
        events.src.push_back(hub && pick(5) != 0 ? 0 : pick(nodes));
        events.dst.push_back(pick(nodes));
        events.t.push_back(base + pick(spread));
        events.eid.push_back(eids[pick(eids.size())]);
    }
    return events;
}

// ---- tests ------------------------------------------------------------------------------------

TEST(Motif, ParseAcceptsExactNamesOnly) {
    const std::vector<std::pair<std::string_view, Kind>> names = {
        {"M_triangle_cyclic", Kind::TriangleCyclic}, {"M_triangle_acyclic_1", Kind::TriangleAcyclic1},
        {"M_2node_pingpong", Kind::TwoNodePingpong}, {"M_star_out_3", Kind::StarOut3}, {"M_path_3", Kind::Path3},
    };
    for (const auto& [name, kind] : names) {
        const auto parsed = Motif::parse(name);
        ASSERT_TRUE(parsed) << name;
        EXPECT_EQ(parsed->kind, kind);
        EXPECT_EQ(parsed->name(), name);
    }
    const std::vector<std::pair<std::string_view, std::string>> refused = {
        {"m_path_3", R"(unknown motif "m_path_3")"},
        {"M_path_3 ", R"(unknown motif "M_path_3 ")"},
        {"", R"(unknown motif "")"},
        {std::string_view("tab\t\"q\"\0", 8), R"(unknown motif "tab\t\"q\"\0")"},
    };
    for (const auto& [name, message] : refused) {
        const auto parsed = Motif::parse(name);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(parsed.error().display(),
                  "invariant: " + message + " — this is an engine bug; please report it with the store manifest");
    }
}

TEST(Motif, MatchesEqualBruteForceOverAllOrderedTriples) {
    std::uint64_t instances_seen = 0;
    std::uint64_t saturated_seen = 0;
    for (std::uint64_t seed = 0; seed < seed_count(); ++seed) {
        std::mt19937_64 rng(seed);
        Events events = random_events(rng);
        const MotifEvents view = events.view();
        const std::int64_t small_delta = static_cast<std::int64_t>(rng() % 5);
        for (const std::int64_t delta : {std::int64_t{0}, small_delta, MAX_TIME}) {
            if (!events.t.empty() && events.t[0] > MAX_TIME - 8 && delta > 0) ++saturated_seen;
            for (const Kind kind : ALL_MOTIFS) {
                SCOPED_TRACE(::testing::Message() << "seed " << seed << " delta " << delta << " "
                                                  << Motif{kind}.name());
                const std::vector<Instance> expected = brute_force(kind, events, delta);
                const auto listed = match_motifs(Motif{kind}, view, delta, true);
                const auto counted = match_motifs(Motif{kind}, view, delta, false);
                ASSERT_TRUE(listed && counted);
                EXPECT_EQ(listed->instances, expected);
                EXPECT_EQ(listed->count, expected.size());
                EXPECT_EQ(counted->count, expected.size());
                EXPECT_TRUE(counted->instances.empty());
                instances_seen += expected.size();
            }
        }
    }
    // The generator must produce instances and overflowing deadlines, or the comparison proves little.
    if (seed_count() >= 50) {
        EXPECT_GT(instances_seen, 1000u);
        EXPECT_GT(saturated_seen, 0u);
    }
}

TEST(Motif, RefusesBadCallsBeforeAnyWork) {
    const std::vector<std::int64_t> two = {1, 2};
    const std::vector<std::int64_t> one = {1};
    const std::vector<std::string_view> eid_two = {"a", "b"};
    const std::vector<std::string_view> eid_one = {"a"};
    const std::string lengths =
        "invariant: motif event columns have differing lengths — this is an engine bug; please report it with the "
        "store manifest";
    const std::string negative =
        "invariant: motif delta must be non-negative — this is an engine bug; please report it with the store "
        "manifest";
    struct Case {
        MotifEvents events;
        std::int64_t delta;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{two, two, two, eid_one}, 1, lengths},
        {{one, two, two, eid_two}, 1, lengths},
        {{two, one, two, eid_two}, 1, lengths},
        {{two, two, one, eid_two}, 1, lengths},
        {{two, two, two, eid_one}, -1, lengths},  // lengths are checked first
        {{two, two, two, eid_two}, -1, negative},
        {{two, two, two, eid_two}, std::numeric_limits<std::int64_t>::min(), negative},
    };
    for (const Case& c : cases) {
        const auto result = match_motifs(Motif{Kind::Path3}, c.events, c.delta, true);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().display(), c.expected);
    }

    // 2^32 events cannot be numbered in 32 bits: refused from the lengths alone, before a single
    // value is read (the spans below claim more than their buffers hold).
    const std::size_t too_many = std::size_t{1} << 32;
    const MotifEvents huge{std::span<const std::int64_t>(two.data(), too_many),
                           std::span<const std::int64_t>(two.data(), too_many),
                           std::span<const std::int64_t>(two.data(), too_many),
                           std::span<const std::string_view>(eid_two.data(), too_many)};
    const auto result = match_motifs(Motif{Kind::StarOut3}, huge, 0, false);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(),
              "invariant: motif event columns hold 4294967296 events; rows are numbered in 32 bits, so a call takes "
              "at most 4294967295 — this is an engine bug; please report it with the store manifest");
}

}  // namespace
}  // namespace vorp
