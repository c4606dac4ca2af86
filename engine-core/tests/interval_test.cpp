#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "vorp/interval.h"

namespace vorp {
namespace {

std::uint64_t seed_count() {
    const char* text = std::getenv("VORP_INTERVAL_SEEDS");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 400;
}

// Every (A-row, B-row) pair, kept when the B-row is inside the A-row's range and, with the flag,
// ends strictly after the A-row.
std::vector<IntervalPair> brute_force(const std::vector<std::uint32_t>& lo, const std::vector<std::uint32_t>& hi,
                                      const std::vector<std::int64_t>& a_vt_e, const std::vector<std::int64_t>& b_vt_e,
                                      bool flag) {
    std::vector<IntervalPair> pairs;
    for (std::uint32_t a = 0; a < lo.size(); ++a) {
        for (std::uint32_t b = 0; b < b_vt_e.size(); ++b) {
            if (lo[a] <= b && b < hi[a] && (!flag || b_vt_e[b] > a_vt_e[a])) pairs.push_back({a, b});
        }
    }
    return pairs;
}

TEST(IntervalPairs, EqualBruteForceForRandomRanges) {
    std::uint64_t pairs_seen = 0;
    for (std::uint64_t seed = 0; seed < seed_count(); ++seed) {
        std::mt19937_64 rng(seed);
        auto pick = [&](std::uint64_t bound) { return rng() % bound; };
        const std::size_t a_rows = pick(12);
        const std::size_t b_rows = pick(10);
        std::vector<std::uint32_t> lo, hi;
        std::vector<std::int64_t> a_vt_e, b_vt_e;
        for (std::size_t row = 0; row < a_rows; ++row) {
            // Ranges that are empty, reversed, start or end past the B-rows, or reach the 32-bit top.
            lo.push_back(pick(8) == 0 ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(pick(13)));
            hi.push_back(pick(8) == 0 ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(pick(13)));
            a_vt_e.push_back(static_cast<std::int64_t>(pick(6)) - 3);
        }
        for (std::size_t row = 0; row < b_rows; ++row) b_vt_e.push_back(static_cast<std::int64_t>(pick(6)) - 3);
        for (const bool flag : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << " flag " << flag);
            const auto pairs = interval_pairs(lo, hi, a_vt_e, b_vt_e, flag);
            ASSERT_TRUE(pairs);
            const auto expected = brute_force(lo, hi, a_vt_e, b_vt_e, flag);
            EXPECT_EQ(*pairs, expected);
            pairs_seen += expected.size();
        }
    }
    if (seed_count() >= 100) {
        EXPECT_GT(pairs_seen, 1000u);
    }
}

TEST(IntervalPairs, RefusesBadCallsBeforeAnyWork) {
    const std::vector<std::uint32_t> two_u = {0, 1};
    const std::vector<std::uint32_t> one_u = {0};
    const std::vector<std::int64_t> two = {5, 6};
    const std::vector<std::int64_t> one = {5};
    const std::string lengths =
        "invariant: interval join: lo, hi and a_vt_e must have one entry per a-row — this is an engine bug; please "
        "report it with the store manifest";
    struct Case {
        std::span<const std::uint32_t> lo, hi;
        std::span<const std::int64_t> a_vt_e, b_vt_e;
    };
    for (const Case& c : std::vector<Case>{{one_u, two_u, two, two}, {two_u, one_u, two, two}, {two_u, two_u, one, two}}) {
        for (const bool flag : {false, true}) {
            const auto result = interval_pairs(c.lo, c.hi, c.a_vt_e, c.b_vt_e, flag);
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().display(), lengths);
        }
    }
    // The B-rows' count is only a bound on the ranges, never compared with the A-rows'.
    const auto unequal_b = interval_pairs(two_u, two_u, two, one, true);
    ASSERT_TRUE(unequal_b);
    EXPECT_TRUE(unequal_b->empty());

    // 2^32 A-rows cannot be numbered in 32 bits: refused from the lengths alone (the spans claim
    // more than their buffers hold, and nothing is read).
    const std::size_t too_many = std::size_t{1} << 32;
    const auto result = interval_pairs(std::span<const std::uint32_t>(two_u.data(), too_many),
                                       std::span<const std::uint32_t>(two_u.data(), too_many),
                                       std::span<const std::int64_t>(two.data(), too_many), two, false);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(),
              "invariant: interval join: 4294967296 a-rows; rows are numbered in 32 bits, so a call takes at most "
              "4294967295 — this is an engine bug; please report it with the store manifest");
}

}  // namespace
}  // namespace vorp
