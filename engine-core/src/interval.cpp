#include "vorp/interval.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "vorp/interrupt.h"

namespace vorp {

namespace {
// Candidates examined between interruption points (a compare, perhaps a store, each).
constexpr std::uint64_t INTERVAL_TICK_STRIDE = std::uint64_t{1} << 20;
}  // namespace

Result<std::vector<IntervalPair>> interval_pairs(std::span<const std::uint32_t> lo, std::span<const std::uint32_t> hi,
                                                 std::span<const std::int64_t> a_vt_e,
                                                 std::span<const std::int64_t> b_vt_e,
                                                 bool require_b_end_after_a_end) {
    const std::size_t a_rows = lo.size();
    if (hi.size() != a_rows || a_vt_e.size() != a_rows) {
        return fail(EngineError::invariant("interval join: lo, hi and a_vt_e must have one entry per a-row"));
    }
    // A-row numbers are 32-bit in the output; B-row numbers stay below hi, which is 32-bit.
    if (a_rows > std::numeric_limits<std::uint32_t>::max()) {
        return fail(EngineError::invariant(fmt::format(
            "interval join: {} a-rows; rows are numbered in 32 bits, so a call takes at most {}", a_rows,
            std::numeric_limits<std::uint32_t>::max())));
    }
    std::vector<IntervalPair> pairs;
    if (a_rows == 0) return pairs;

    const std::uint64_t b_rows = b_vt_e.size();
    auto range_end = [&](std::size_t a_row) { return std::min<std::uint64_t>(hi[a_row], b_rows); };

    // Without the filter every candidate is a pair: size the output once. (A-rows times 32-bit
    // ranges stays below 2^64, so the sum cannot wrap.)
    if (!require_b_end_after_a_end) {
        std::uint64_t total = 0;
        for (std::size_t a_row = 0; a_row < a_rows; ++a_row) {
            const std::uint64_t end = range_end(a_row);
            if (end > lo[a_row]) total += end - lo[a_row];
        }
        if (total > pairs.max_size()) {
            return fail(EngineError::capacity(
                fmt::format("interval join would yield {} pairs, more than one call can return ({})", total,
                            pairs.max_size())));
        }
        pairs.resize(static_cast<std::size_t>(total));
        IntervalPair* out = pairs.data();
        InterruptTicker ticker(INTERVAL_TICK_STRIDE);
        for (std::size_t a_row = 0; a_row < a_rows; ++a_row) {
            const std::uint64_t end = range_end(a_row);
            VORP_TRY(ticker.tick(1 + (end > lo[a_row] ? end - lo[a_row] : 0)));
            for (std::uint64_t b_row = lo[a_row]; b_row < end; ++b_row) {
                *out++ = IntervalPair{static_cast<std::uint32_t>(a_row), static_cast<std::uint32_t>(b_row)};
            }
        }
        return pairs;
    }

    // Candidate ranges can be long: the ticker counts candidates, not A-rows.
    InterruptTicker ticker(INTERVAL_TICK_STRIDE);
    for (std::size_t a_row = 0; a_row < a_rows; ++a_row) {
        const std::uint64_t end = range_end(a_row);
        VORP_TRY(ticker.tick(1 + (end > lo[a_row] ? end - lo[a_row] : 0)));
        const std::int64_t a_end = a_vt_e[a_row];
        for (std::uint64_t b_row = lo[a_row]; b_row < end; ++b_row) {
            if (b_vt_e[b_row] > a_end) {
                pairs.push_back(IntervalPair{static_cast<std::uint32_t>(a_row), static_cast<std::uint32_t>(b_row)});
            }
        }
    }
    return pairs;
}

}  // namespace vorp
