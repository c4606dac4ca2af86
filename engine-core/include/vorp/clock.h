// The monotonic timer behind the per-step timings that commit, open and manifest replay report.
#pragma once

#include <chrono>
#include <cstdint>

namespace vorp {

// Whole microseconds of the monotonic clock since construction, truncated; an end before the
// start counts 0.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    std::uint64_t elapsed_us() const {
        const auto end = std::chrono::steady_clock::now();
        if (end < start_) return 0;
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(end - start_).count());
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace vorp
