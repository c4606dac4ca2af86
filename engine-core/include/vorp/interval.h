// Interval-join pairs: the engine's half of an interval join whose candidate ranges the caller
// has already found.
//
// For each row of the left relation A the caller gives the range [lo, hi) of candidate rows of
// the right relation B; the engine walks the ranges in A order and, on request, keeps only the
// B-rows whose valid time ends strictly after the A-row's. Ranges reaching past the B-rows are
// cut at their end, so no range can read past `b_vt_e`.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vorp/error.h"

namespace vorp {

struct IntervalPair {
    std::uint32_t a_row = 0;
    std::uint32_t b_row = 0;
    bool operator==(const IntervalPair&) const = default;
};

// The pairs (i, b) with lo[i] <= b < min(hi[i], b_vt_e.size()), by A-row then B-row, and with
// `require_b_end_after_a_end` only those where b_vt_e[b] > a_vt_e[i]. `lo`, `hi` and `a_vt_e`
// hold one entry per A-row (invariant error otherwise); 2^32 or more A-rows are refused
// (invariant), and an output larger than one vector can hold is refused (capacity).
Result<std::vector<IntervalPair>> interval_pairs(std::span<const std::uint32_t> lo, std::span<const std::uint32_t> hi,
                                                 std::span<const std::int64_t> a_vt_e,
                                                 std::span<const std::int64_t> b_vt_e,
                                                 bool require_b_end_after_a_end);

}  // namespace vorp
