// The one monotonic clock behind every timing the engine and the binding report: the per-step
// timings of commit, open and manifest replay (whole microseconds), the scan's phase timers
// (nanoseconds) and the binding's millisecond figures. All read std::chrono::steady_clock
// (CLOCK_MONOTONIC), so figures of one call add up.
#pragma once

#include <chrono>
#include <cstdint>

namespace vorp {

// Nanoseconds of the monotonic clock since an arbitrary origin.
inline std::uint64_t monotonic_ns() {
    const auto since_origin = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since_origin).count());
}

// The never-negative distance from a monotonic_ns reading to now.
inline std::uint64_t elapsed_ns(std::uint64_t since) {
    const std::uint64_t now = monotonic_ns();
    return now > since ? now - since : 0;
}

// Time since construction on the monotonic clock; an end before the start counts 0.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    // Whole microseconds, truncated.
    std::uint64_t elapsed_us() const {
        const auto end = std::chrono::steady_clock::now();
        if (end < start_) return 0;
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(end - start_).count());
    }
    // Milliseconds with the nanoseconds as the fraction.
    double elapsed_ms() const {
        const auto end = std::chrono::steady_clock::now();
        if (end < start_) return 0.0;
        return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start_).count()) / 1000000.0;
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace vorp
