// Worker threads of one phase: how many (scan_threads), whether a phase is big enough to use them
// (parallel_gate), and running its work items on them (fan_out). Used by the scan, the
// aggregate, verification and history pages. There is no pool: threads are started for a phase
// and joined before it returns, so a call never leaves a thread behind, with one exception: a
// thread that frees a large answer (release_in_background) runs on until it has done so.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <utility>
#include <vector>
#include <string_view>

#include "vorp/env.h"

namespace vorp {

inline constexpr std::string_view SCAN_THREADS_ENV = "VORP_SCAN_THREADS";
inline constexpr std::string_view PARALLEL_MIN_ROWS_ENV = "VORP_PARALLEL_MIN_ROWS";
inline constexpr std::uint64_t DEFAULT_PARALLEL_MIN_ROWS = 4000000;
inline constexpr std::size_t MAX_SCAN_THREADS = 64;        // cap of an explicit setting
inline constexpr std::size_t DEFAULT_SCAN_THREADS_CAP = 16;  // cap of the processor count
inline constexpr std::size_t PARALLEL_MIN_THREADS = 4;

// VORP_SCAN_THREADS when it is a nonzero number (at most 64); otherwise the online processors
// capped at 16, or 1 when the system cannot say. Read at every call.
std::size_t scan_threads();
// Whether a phase runs on worker threads: threads >= 4, items >= min_items and rows at least
// VORP_PARALLEL_MIN_ROWS (default 4,000,000; read only when the first two tests pass).
bool parallel_gate(std::size_t threads, std::size_t items, std::size_t min_items, std::uint64_t rows);

// Runs work(0) .. work(count - 1), each on a thread of its own, and joins them all before it
// returns. A worker that ends by an exception makes the call panic with `panic_text` once every
// worker has been joined (an abnormal end outranks any error a worker returned through its own
// result); a worker that ran out of memory makes it throw std::bad_alloc instead, even when
// another worker panicked. A thread that cannot be started fails the call: the threads already
// started are joined, then it throws std::bad_alloc when the system had no memory for the thread
// (EAGAIN, ENOMEM), else panics with "a worker thread could not be started ({started} of {count}
// running): {system text}"; no partial result escapes.
// The workers run under the caller's interrupt scope (interrupt.h): their interruption points
// see its stop, and a caller that answers polls keeps answering them while it waits.
void fan_out(std::size_t count, std::string_view panic_text, const std::function<void(std::size_t)>& work);

// Destroys `values` on a thread of its own when it holds RELEASE_IN_BACKGROUND_FROM elements or
// more, else (or when no thread can be had) here and now. For the records of a large answer: a
// million records with their texts take a good part of a second to free, which a call stopped by
// Ctrl-C, or one whose answer has been converted, need not spend before it returns. The thread
// touches nothing but the vector it is given, whose elements must own all they refer to; it blocks
// every signal and is never joined.
inline constexpr std::size_t RELEASE_IN_BACKGROUND_FROM = std::size_t{1} << 16;
namespace detail {
// Runs release(owned) on a new detached thread; false (nothing run) when none could be started.
bool start_releaser(void (*release)(void*), void* owned) noexcept;
}  // namespace detail
template <class T, class Allocator>
void release_in_background(std::vector<T, Allocator>&& values) noexcept {
    using Values = std::vector<T, Allocator>;
    if (values.size() >= RELEASE_IN_BACKGROUND_FROM) {
        if (Values* owned = new (std::nothrow) Values(std::move(values))) {
            if (detail::start_releaser([](void* held) { delete static_cast<Values*>(held); }, owned)) return;
            delete owned;
            return;
        }
    }
    Values().swap(values);
}

// Test seam: how many values release_in_background handed to a thread of their own are not freed
// yet, so that a test waits for the freeing itself rather than for a time.
std::size_t releases_in_progress();

// Test seam: the thread start that follows `starts` successful ones fails with `error`, as
// pthread_create would return it (SIZE_MAX clears it). One relaxed load per thread start when unused.
void fail_thread_start_after(std::size_t starts, int error = EPERM);

}  // namespace vorp
