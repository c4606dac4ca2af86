// Interruption points: when they ask the embedding (spaced by the clock, only on the caller's
// thread, only inside a scope), what a stop does to the caller and to a fan-out's workers, that
// a caller waiting for its workers keeps asking, and what a watcher of the points sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
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
constexpr int TIMED_POLLS = 3;
std::atomic<std::uint64_t> poll_ns[TIMED_POLLS];  // when the first polls came

bool test_poll() {
    const std::uint64_t now = monotonic_ns();
    const int index = polls.fetch_add(1);
    if (index < TIMED_POLLS) poll_ns[index] = now;
    polled_on.store(std::this_thread::get_id());
    return now >= stop_after_ns.load();
}

struct InstalledPoll {
    explicit InstalledPoll(std::uint64_t stop_in_ns) {
        polls = 0;
        stop_after_ns = stop_in_ns == UINT64_MAX ? UINT64_MAX : monotonic_ns() + stop_in_ns;
        set_interrupt_poll(&test_poll);
    }
    ~InstalledPoll() { set_interrupt_poll(nullptr); }
};

// Far above what any wait below takes on a loaded machine: it only turns a build whose points
// never get there into a failure instead of a hang.
constexpr std::uint64_t HANG_GUARD_NS = 60'000'000'000;

// Passes points until `done` holds or a point fails.
template <class Done>
void pass_points_until(Status& last, Done done) {
    const std::uint64_t give_up = monotonic_ns() + HANG_GUARD_NS;
    while (last && !done()) {
        ASSERT_LT(monotonic_ns(), give_up) << "the points never got there";
        last = interruption_point();
    }
}

TEST(Interrupt, PointsPollOnlyInsideAScopeAndAtMostOncePerInterval) {
    const InstalledPoll installed(UINT64_MAX);
    Status last = ok();
    // No scope: never asked, though more than a poll interval passes.
    const std::uint64_t outside = monotonic_ns();
    pass_points_until(last, [&] { return elapsed_ns(outside) > 2 * INTERRUPT_POLL_INTERVAL_NS; });
    EXPECT_TRUE(last.has_value());
    EXPECT_EQ(polls.load(), 0);
    const std::uint64_t opened = monotonic_ns();
    {
        const InterruptScope scope;
        pass_points_until(last, [] { return polls.load() >= TIMED_POLLS; });
        EXPECT_TRUE(last.has_value());
        EXPECT_FALSE(scope.stopped());
    }
    // The first is due a poll interval after the scope opened, each next one an interval after
    // the one before: never sooner, however fast the points come.
    std::uint64_t previous = opened;
    for (int index = 0; index < TIMED_POLLS; ++index) {
        EXPECT_GE(poll_ns[index], previous + INTERRUPT_POLL_INTERVAL_NS) << "poll " << index;
        previous = poll_ns[index];
    }
    InterruptTicker ticker(1000);
    for (int i = 0; i < 5000; ++i) EXPECT_TRUE(ticker.tick().has_value());
}

TEST(Interrupt, AStopFailsEveryLaterPointWithoutAskingAgain) {
    const InstalledPoll installed(0);
    const InterruptScope scope;
    Status last = ok();
    pass_points_until(last, [] { return false; });
    ASSERT_FALSE(last.has_value());
    EXPECT_EQ(last.error(), EngineError::interrupted());
    EXPECT_EQ(last.error().display(), "interrupted: the call was interrupted");
    EXPECT_TRUE(scope.stopped());
    const int asked = polls.load();
    EXPECT_FALSE(interruption_point().has_value());
    EXPECT_EQ(polls.load(), asked);
}

// The sort in runs and merges gives std::stable_sort's order (equal keys keep their order) at
// sizes around the run length and its multiples (its stops: below).
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
}

// Workers that never finish by themselves: only a stop seen through their points ends them, and
// only the waiting caller can ask for it. Also on a single-worker fan-out.
TEST(Interrupt, AWaitingCallerAsksAndItsWorkersStop) {
    for (const std::size_t workers : {std::size_t{1}, std::size_t{4}}) {
        const InstalledPoll installed(150'000'000);
        const InterruptScope scope;
        const std::thread::id caller = std::this_thread::get_id();
        std::vector<int> stopped(workers, 0);
        fan_out(workers, "test worker panicked", [&](std::size_t index) {
            // A worker still running at the guard was never stopped: `stopped` says so.
            const std::uint64_t give_up = monotonic_ns() + HANG_GUARD_NS;
            while (monotonic_ns() < give_up) {
                if (!interruption_point()) {
                    stopped[index] = 1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        EXPECT_EQ(stopped, std::vector<int>(workers, 1)) << workers << " workers";
        EXPECT_TRUE(scope.stopped());
        EXPECT_EQ(polled_on.load(), caller);
    }
}


// A watcher that records every point it is told of, and a poll that stops the call at the
// `stop_at`-th of them: with a watcher installed, points poll at once, so the stop lands exactly
// there whatever the machine's speed.
struct PointRecord final : InterruptWatcher {
    std::mutex mutex;  // a fan-out's workers report at once
    std::vector<std::uint64_t> works;
    std::vector<bool> callers;
    std::vector<std::uint64_t> closes;
    std::size_t stop_at = 0;
    void at_point(std::uint64_t work, bool caller, const void*) noexcept override {
        const std::lock_guard lock(mutex);
        works.push_back(work);
        callers.push_back(caller);
    }
    void at_close(std::uint64_t work) noexcept override {
        const std::lock_guard lock(mutex);
        closes.push_back(work);
    }
    void clear(std::size_t stop_at_point = 0) {
        const std::lock_guard lock(mutex);
        works.clear();
        callers.clear();
        closes.clear();
        stop_at = stop_at_point;
    }
};
PointRecord* recording = nullptr;
bool stop_at_recorded_point() {
    const std::lock_guard lock(recording->mutex);
    return recording->stop_at != 0 && recording->works.size() >= recording->stop_at;
}

struct Watching {
    explicit Watching(PointRecord& record) {
        recording = &record;
        set_interrupt_watcher(&record);
        set_interrupt_poll(&stop_at_recorded_point);
    }
    ~Watching() {
        set_interrupt_poll(nullptr);
        set_interrupt_watcher(nullptr);
        recording = nullptr;
    }
};

// Work credited between points reaches the watcher with the next point, and what is left when the
// scope closes with the close; points outside a scope report nothing. A fan-out's workers report
// their own points, the waiting caller none.
TEST(Interrupt, AWatcherSeesEveryPointWithTheWorkBeforeIt) {
    PointRecord record;
    const Watching watching(record);
    credit_interrupt_work(5);
    ASSERT_TRUE(interruption_point().has_value());
    EXPECT_TRUE(record.works.empty());
    {
        const InterruptScope scope;
        credit_interrupt_work(7);
        ASSERT_TRUE(interruption_point().has_value());
        {
            InterruptTicker ticker(100);
            for (int row = 0; row < 250; ++row) ASSERT_TRUE(ticker.tick().has_value());
        }  // 50 rows left over, credited as the ticker goes
        credit_interrupt_work(3);
    }
    EXPECT_EQ(record.works, (std::vector<std::uint64_t>{7, 100, 100}));
    EXPECT_EQ(record.closes, (std::vector<std::uint64_t>{53}));
    record.clear();
    {
        const InterruptScope scope;
        fan_out(2, "test worker panicked", [](std::size_t) {
            InterruptTicker ticker(10);
            for (int row = 0; row < 35; ++row) (void)ticker.tick();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the caller waits meanwhile
        });
    }
    EXPECT_EQ(record.works, (std::vector<std::uint64_t>(6, 10)));
    EXPECT_EQ(record.callers, std::vector<bool>(6, false));
}

// The sort's runs and merges pass a point at least every SORT_RUN elements, on any input, and a
// stop at any of its points ends it with the interrupted error. Elements own memory, so that a
// merge that lost or duplicated one would show.
TEST(Interrupt, InterruptibleSortLooksEveryRunOfElementsAndStopsAtAnyPoint) {
    std::mt19937_64 rng(11);
    const auto by_key = [](const std::pair<int, std::string>& a, const std::pair<int, std::string>& b) {
        return a.first < b.first;
    };
    // Merges of halves of equal length, and of a shorter right half.
    for (const std::size_t n : {SORT_RUN + 1, 3 * SORT_RUN + 5}) {
        for (const int keys : {3, 1 << 30}) {  // ties everywhere, and hardly any
            std::vector<std::pair<int, std::string>> values(n);
            for (std::size_t index = 0; index < n; ++index)
                values[index] = {static_cast<int>(rng() % keys), "element " + std::to_string(index) + std::string(20, 'x')};
            std::vector<std::pair<int, std::string>> want = values;
            std::stable_sort(want.begin(), want.end(), by_key);
            PointRecord record;
            const Watching watching(record);
            std::vector<std::pair<int, std::string>> sorted = values;
            {
                const InterruptScope scope;
                ASSERT_TRUE(interruptible_stable_sort(sorted.begin(), sorted.end(), by_key).has_value());
            }
            EXPECT_EQ(sorted, want) << n << " values, " << keys << " keys";
            record.works.push_back(record.closes.at(0));
            EXPECT_LE(*std::ranges::max_element(record.works), SORT_RUN) << n << " values, " << keys << " keys";
            const std::size_t points = record.works.size() - 1;
            for (const std::size_t stop_at : {std::size_t{1}, points / 2, points}) {
                record.clear(stop_at);
                std::vector<std::pair<int, std::string>> stopped = values;
                const InterruptScope scope;
                const Status outcome = interruptible_stable_sort(stopped.begin(), stopped.end(), by_key);
                ASSERT_FALSE(outcome.has_value()) << "stopped at point " << stop_at << " of " << points;
                EXPECT_EQ(outcome.error(), EngineError::interrupted());
                EXPECT_EQ(record.works.size(), stop_at);
            }
        }
    }
}
}  // namespace
}  // namespace vorp
