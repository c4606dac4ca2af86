// Interruption points: when they ask the embedding (spaced by the clock, only on the caller's
// thread, only inside a scope), what a stop does to the caller and to a fan-out's workers, and that
// a caller waiting for its workers keeps asking.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <utility>
#include <thread>
#include <vector>

#include "vorp/clock.h"
#include "vorp/interrupt.h"
#include "vorp/threads.h"

namespace vorp {
namespace {

std::atomic<int> polls{0};
std::atomic<std::uint64_t> stop_after_ns{UINT64_MAX};  // monotonic time from which polls say stop
std::atomic<std::thread::id> polled_on{};

bool test_poll() {
    polls.fetch_add(1);
    polled_on.store(std::this_thread::get_id());
    return monotonic_ns() >= stop_after_ns.load();
}

struct InstalledPoll {
    explicit InstalledPoll(std::uint64_t stop_in_ns) {
        polls = 0;
        stop_after_ns = stop_in_ns == UINT64_MAX ? UINT64_MAX : monotonic_ns() + stop_in_ns;
        set_interrupt_poll(&test_poll);
    }
    ~InstalledPoll() { set_interrupt_poll(nullptr); }
};

void spin_points_for(std::chrono::milliseconds span, Status& last) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end && last) last = interruption_point();
}

TEST(Interrupt, PointsPollOnlyInsideAScopeAndAtMostOncePerInterval) {
    const InstalledPoll installed(UINT64_MAX);
    Status last = ok();
    spin_points_for(std::chrono::milliseconds(150), last);
    EXPECT_TRUE(last.has_value());
    EXPECT_EQ(polls.load(), 0);  // no scope: never asked
    {
        const InterruptScope scope;
        spin_points_for(std::chrono::milliseconds(350), last);
        EXPECT_TRUE(last.has_value());
        EXPECT_FALSE(scope.stopped());
    }
    // First due 100 ms after the scope opened, then every 100 ms: three at most in 350 ms.
    EXPECT_GE(polls.load(), 1);
    EXPECT_LE(polls.load(), 3);
    InterruptTicker ticker(1000);
    for (int i = 0; i < 5000; ++i) EXPECT_TRUE(ticker.tick().has_value());
}

TEST(Interrupt, AStopFailsEveryLaterPointWithoutAskingAgain) {
    const InstalledPoll installed(0);
    const InterruptScope scope;
    Status last = ok();
    spin_points_for(std::chrono::milliseconds(2000), last);
    ASSERT_FALSE(last.has_value());
    EXPECT_EQ(last.error(), EngineError::interrupted());
    EXPECT_EQ(last.error().display(), "interrupted: the call was interrupted");
    EXPECT_TRUE(scope.stopped());
    const int asked = polls.load();
    EXPECT_FALSE(interruption_point().has_value());
    EXPECT_EQ(polls.load(), asked);
}

// The sort in runs and merges gives std::stable_sort's order (equal keys keep their order) at
// sizes around the run length and its multiples; a stop leaves it with the interrupted error.
TEST(Interrupt, InterruptibleStableSortIsStdStableSort) {
    std::mt19937_64 rng(7);
    const auto by_key = [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a.first < b.first; };
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, SORT_RUN - 1, SORT_RUN, SORT_RUN + 1, 3 * SORT_RUN + 17,
                                8 * SORT_RUN}) {
        std::vector<std::pair<int, int>> values(n);
        for (std::size_t index = 0; index < n; ++index)
            values[index] = {static_cast<int>(rng() % (n / 4 + 1)), static_cast<int>(index)};  // many ties
        std::vector<std::pair<int, int>> want = values;
        std::stable_sort(want.begin(), want.end(), by_key);
        const InterruptScope scope;
        ASSERT_TRUE(interruptible_stable_sort(values.begin(), values.end(), by_key).has_value());
        EXPECT_EQ(values, want) << n << " values";
    }
    const InstalledPoll installed(0);
    const InterruptScope scope;
    std::vector<int> values(4 * SORT_RUN);
    for (int& value : values) value = static_cast<int>(rng());
    // The first point asks only once the poll interval has passed since the scope opened.
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    const Status sorted = interruptible_stable_sort(values.begin(), values.end(), std::less<>{});
    ASSERT_FALSE(sorted.has_value());
    EXPECT_EQ(sorted.error(), EngineError::interrupted());
}

// Workers that never finish by themselves: only a stop seen through their points ends them, and
// only the waiting caller can ask for it. Also on a single-worker fan-out.
TEST(Interrupt, AWaitingCallerAsksAndItsWorkersStop) {
    for (const std::size_t workers : {std::size_t{1}, std::size_t{4}}) {
        const InstalledPoll installed(150'000'000);
        const InterruptScope scope;
        const std::thread::id caller = std::this_thread::get_id();
        std::vector<int> stopped(workers, 0);
        const std::uint64_t started = monotonic_ns();
        fan_out(workers, "test worker panicked", [&](std::size_t index) {
            const std::uint64_t give_up = monotonic_ns() + 10'000'000'000;
            while (monotonic_ns() < give_up) {
                if (!interruption_point()) {
                    stopped[index] = 1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        EXPECT_LT(elapsed_ns(started), 2'000'000'000u) << workers << " workers";
        EXPECT_EQ(stopped, std::vector<int>(workers, 1)) << workers << " workers";
        EXPECT_TRUE(scope.stopped());
        EXPECT_EQ(polled_on.load(), caller);
    }
}

}  // namespace
}  // namespace vorp
