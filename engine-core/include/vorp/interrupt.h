// Abandoning a long read when its caller asks it to stop (Ctrl-C in the Python process).
//
// The embedding installs one poll function (set_interrupt_poll). A call that may be abandoned runs
// inside an InterruptScope, opened on the caller's thread; its loops pass interruption points
// between pieces of work. On the caller's thread a point reads the monotonic clock and, at most
// once per INTERRUPT_POLL_INTERVAL_NS, asks the poll function; when that says stop, the scope's
// stop flag goes up and the point fails with the `interrupted` error, which the call returns like
// any other error, so nothing it was building is kept. The workers of a fan-out started under the
// scope only read the flag (they never poll: the embedding's poll may need the caller's thread),
// and the caller answers polls while it waits for them, so a stop reaches them at their next
// point. Writers open no scope: a commit is never abandoned half-way, it runs to its end.
//
// A point costs one thread-local load when no scope is open and one clock read on the caller's
// thread, so points sit between blocks of work, never at every row; InterruptTicker spaces them
// by units of work inside loops whose steps are cheap.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "vorp/error.h"

namespace vorp {

inline constexpr std::uint64_t INTERRUPT_POLL_INTERVAL_NS = 100'000'000;  // 100 ms

// Asks the embedding whether the call in progress is to stop. Called only on the thread that
// opened the scope, between pieces of work, with no engine lock held.
using InterruptPoll = bool (*)();

// Installs the poll function for the whole process (nullptr: calls are never abandoned).
void set_interrupt_poll(InterruptPoll poll);

// Marks the calling thread's current call as one that may be abandoned, for the scope's lifetime.
// Scopes nest (the inner one rules until it closes). Neither copied nor moved: workers and the
// thread's own state point at it.
class InterruptScope {
public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Whether a poll asked this call to stop (the call then fails with the interrupted error, or
    // has already finished its work when the poll came during its last wait).
    bool stopped() const { return stop_.load(std::memory_order_relaxed); }

private:
    friend Status interruption_point();
    std::atomic<bool> stop_{false};
    std::uint64_t next_poll_ns_;
    InterruptScope* outer_;
};

// ok, or EngineError::interrupted() once the calling thread's call is to stop. Outside any scope
// always ok.
Status interruption_point();

// Passes an interruption point once per `stride` units of work: for loops whose steps are too
// cheap for a clock read each. A unit is whatever the loop counts (rows, candidates).
class InterruptTicker {
public:
    explicit InterruptTicker(std::uint64_t stride = std::uint64_t{1} << 16) : stride_(stride), left_(stride) {}
    Status tick(std::uint64_t units = 1) {
        if (units < left_) {
            left_ -= units;
            return ok();
        }
        left_ = stride_;
        return interruption_point();
    }

private:
    std::uint64_t stride_;
    std::uint64_t left_;
};

// std::stable_sort with interruption points, for results sorted on the caller's thread: a sort of a
// million records with texts runs for a good part of a second, and std::stable_sort cannot be left
// half-way. Runs of SORT_RUN elements are sorted one by one, then merged pairwise, level by level,
// with a point after each piece; the order is std::stable_sort's. An interrupted sort leaves the
// elements permuted (the caller drops them with the call).
inline constexpr std::size_t SORT_RUN = std::size_t{1} << 14;
template <std::random_access_iterator It, class Less>
Status interruptible_stable_sort(It first, It last, Less less) {
    const auto n = static_cast<std::size_t>(last - first);
    const auto at = [first](std::size_t index) { return first + static_cast<std::ptrdiff_t>(index); };
    for (std::size_t lo = 0; lo < n; lo += SORT_RUN) {
        std::stable_sort(at(lo), at(std::min(n, lo + SORT_RUN)), less);
        VORP_TRY(interruption_point());
    }
    for (std::size_t width = SORT_RUN; width < n; width *= 2) {
        for (std::size_t lo = 0; lo + width < n; lo += 2 * width) {
            std::inplace_merge(at(lo), at(lo + width), at(std::min(n, lo + 2 * width)), less);
            VORP_TRY(interruption_point());
        }
    }
    return ok();
}

// For fan_out. The scope of the calling thread's call (nullptr: none), which a worker adopts with
// adopt_interrupt_scope before its work: its points then read that scope's stop flag only.
InterruptScope* current_interrupt_scope();
void adopt_interrupt_scope(InterruptScope* scope);
// Whether this thread answers polls: it has a scope of its own (it is no worker) and a poll
// function is installed. A fan-out's caller then waits for its workers in short slices.
bool polls_for_interrupts();

}  // namespace vorp
