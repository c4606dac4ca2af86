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
#include <vector>

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
    friend Status interruption_point_while_waiting();
    // The stop flag, then (on the caller's thread) the poll when it is due, or at once.
    Status poll_or_stop(bool at_once);
    std::atomic<bool> stop_{false};
    std::uint64_t next_poll_ns_;
    InterruptScope* outer_;
};

// ok, or EngineError::interrupted() once the calling thread's call is to stop. Outside any scope
// always ok. Never inlined: a watcher tells points apart by where they return to.
[[gnu::noinline]] Status interruption_point();
// The point a fan-out's caller passes while it waits for its workers: it answers polls, but it
// ends no work of its own and its count depends on the workers' speed, so no watcher sees it.
Status interruption_point_while_waiting();

// Work done on the calling thread since its last interruption point, in units of the loop doing
// it (rows, elements, candidates). Loops credit it as they go, so that a watcher (below) sees how
// much work lies between two points whatever the machine's speed. One thread-local add.
void credit_interrupt_work(std::uint64_t units) noexcept;

// Passes an interruption point once per `stride` units of work: for loops whose steps are too
// cheap for a clock read each. A unit is whatever the loop counts (rows, candidates); the ticker
// credits its units as work.
class InterruptTicker {
public:
    explicit InterruptTicker(std::uint64_t stride = std::uint64_t{1} << 16) : stride_(stride), left_(stride) {}
    InterruptTicker(const InterruptTicker&) = delete;
    InterruptTicker& operator=(const InterruptTicker&) = delete;
    ~InterruptTicker() { credit_interrupt_work(stride_ - left_); }
    Status tick(std::uint64_t units = 1) {
        if (units < left_) {
            left_ -= units;
            return ok();
        }
        credit_interrupt_work(stride_ - left_ + units);
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
// through a buffer of half the elements, with a point every SORT_RUN elements merged: the last
// merge alone moves every element. The order is std::stable_sort's. An interrupted sort leaves the
// elements in an unspecified state (the caller drops them with the call).
inline constexpr std::size_t SORT_RUN = std::size_t{1} << 14;
template <std::random_access_iterator It, class Less>
Status interruptible_stable_sort(It first, It last, Less less) {
    using Value = std::iter_value_t<It>;
    const auto n = static_cast<std::size_t>(last - first);
    const auto at = [first](std::size_t index) { return first + static_cast<std::ptrdiff_t>(index); };
    for (std::size_t lo = 0; lo < n; lo += SORT_RUN) {
        std::stable_sort(at(lo), at(std::min(n, lo + SORT_RUN)), less);
        credit_interrupt_work(std::min(n, lo + SORT_RUN) - lo);
        VORP_TRY(interruption_point());
    }
    if (n <= SORT_RUN) return ok();
    // The shorter half of a merge goes to the buffer, and the merged sequence is written from that
    // half's end of the range, where it never overtakes the other half's next element.
    std::vector<Value> buffer;
    buffer.reserve(n / 2);
    InterruptTicker ticker(SORT_RUN);
    for (std::size_t width = SORT_RUN; width < n; width *= 2) {
        for (std::size_t lo = 0; lo + width < n; lo += 2 * width) {
            const It begin = at(lo);
            const It middle = at(lo + width);
            const It end = at(std::min(n, lo + 2 * width));
            if (!less(*middle, *std::prev(middle))) continue;  // already in order
            buffer.clear();
            const bool left_shorter = middle - begin <= end - middle;
            for (It from = left_shorter ? begin : middle; from != (left_shorter ? middle : end); ++from) {
                buffer.push_back(std::move(*from));
                VORP_TRY(ticker.tick());
            }
            // Of equal elements the left half's come first: that keeps the sort stable.
            if (left_shorter) {
                It out = begin;
                It right = middle;
                for (auto left = buffer.begin(); left != buffer.end(); ++out) {
                    *out = right != end && less(*right, *left) ? std::move(*right++) : std::move(*left++);
                    VORP_TRY(ticker.tick());
                }
            } else {
                It out = end;
                It left = middle;
                for (auto right = buffer.end(); right != buffer.begin();) {
                    *--out = left != begin && less(*std::prev(right), *std::prev(left)) ? std::move(*--left)
                                                                                        : std::move(*--right);
                    VORP_TRY(ticker.tick());
                }
            }
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

// ---- Watching the points of a call (tests) -----------------------------------------------------
// With a watcher installed, every interruption point a thread of a call passes (the caller's and
// its workers') is reported with the work credited on that thread since its previous point, and
// every point on the caller's thread polls at once, not once per interval: what a call does is
// then seen point by point, the same on any machine. `site` is the code address the point was
// passed from, which tells the loops of a call apart. The work after a caller's last point is
// reported when its scope closes. Reports come from the workers' threads too, at once.
class InterruptWatcher {
public:
    virtual void at_point(std::uint64_t work, bool caller, const void* site) noexcept = 0;
    virtual void at_close(std::uint64_t work) noexcept = 0;

protected:
    ~InterruptWatcher() = default;
};

// Installs `watcher` for the whole process (nullptr: none). Only while no call runs.
void set_interrupt_watcher(InterruptWatcher* watcher);

}  // namespace vorp
