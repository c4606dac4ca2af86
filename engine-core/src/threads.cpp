#include "vorp/threads.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <new>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "vorp/column.h"
#include "vorp/error.h"
#include "vorp/interrupt.h"

namespace vorp {

std::size_t scan_threads() {
    const std::optional<std::uint64_t> parsed = env_count(SCAN_THREADS_ENV);
    if (parsed && *parsed != 0) return static_cast<std::size_t>(std::min<std::uint64_t>(*parsed, MAX_SCAN_THREADS));
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online <= 0) return 1;
    return std::min(static_cast<std::size_t>(online), DEFAULT_SCAN_THREADS_CAP);
}

bool parallel_gate(std::size_t threads, std::size_t items, std::size_t min_items, std::uint64_t rows) {
    if (threads < PARALLEL_MIN_THREADS) return false;
    if (items < min_items) return false;
    const std::uint64_t minimum = env_count(PARALLEL_MIN_ROWS_ENV).value_or(DEFAULT_PARALLEL_MIN_ROWS);
    return rows >= minimum;
}

namespace {
// Thread starts left before the injected failure (0: none injected). Read once per start.
std::atomic<std::size_t> thread_starts_before_failure{0};
std::atomic<int> injected_start_error{EPERM};
}  // namespace

void fail_thread_start_after(std::size_t starts, int error) {
    injected_start_error.store(error, std::memory_order_relaxed);
    thread_starts_before_failure.store(starts == SIZE_MAX ? 0 : starts + 1, std::memory_order_relaxed);
}

namespace detail {

namespace {
struct Releaser {
    void (*release)(void*);
    void* owned;
};
std::atomic<std::size_t> releasers_running{0};
void* releaser_main(void* argument) {
    const Releaser releaser = *static_cast<const Releaser*>(argument);
    delete static_cast<const Releaser*>(argument);
    releaser.release(releaser.owned);
    releasers_running.fetch_sub(1, std::memory_order_release);
    return nullptr;
}
}  // namespace

bool start_releaser(void (*release)(void*), void* owned) noexcept {
    auto* start = new (std::nothrow) Releaser{release, owned};
    if (start == nullptr) return false;
    // Signals stay with the threads that answer them: the new thread starts with all of them blocked.
    sigset_t all, before;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attributes;
    bool started = ::pthread_attr_init(&attributes) == 0;
    if (started) {
        ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        releasers_running.fetch_add(1, std::memory_order_relaxed);
        started = ::pthread_create(&thread, &attributes, &releaser_main, start) == 0;
        if (!started) releasers_running.fetch_sub(1, std::memory_order_relaxed);
        ::pthread_attr_destroy(&attributes);
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!started) delete start;
    return started;
}

}  // namespace detail

std::size_t releases_in_progress() { return detail::releasers_running.load(std::memory_order_acquire); }

namespace {

// Worker stacks of 2 MiB: enough for every phase's work, and eight or sixteen of them stay within
// the C library's cache of freed stacks, so a phase does not map and unmap fresh stacks each time
// (the 8 MiB default made every fan-out of eight threads about half again as slow). Sanitized
// builds keep the default: their frames carry redzones.
constexpr std::size_t WORKER_STACK_BYTES = large_buffers::ADDRESS_SANITIZER ? 0 : std::size_t{2} << 20;

struct WorkerStart {
    const std::function<void(std::size_t)>* run;
    std::size_t index;
    InterruptScope* interrupt;  // the caller's call, whose stop the worker's points see
};

void* worker_main(void* argument) {
    const WorkerStart start = *static_cast<const WorkerStart*>(argument);
    adopt_interrupt_scope(start.interrupt);
    (*start.run)(start.index);
    return nullptr;
}

// Joins a worker. A caller that answers interrupt polls waits in short slices and passes an
// interruption point after each, so a Ctrl-C is seen while its workers run; the stop it raises
// ends them at their next point, and the phase's results carry the interrupted error.
constexpr std::int64_t JOIN_SLICE_NS = 20'000'000;

void join_worker(pthread_t thread, bool poll) {
    while (poll) {
        timespec deadline{};
        ::clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += JOIN_SLICE_NS;
        if (deadline.tv_nsec >= 1'000'000'000) {
            deadline.tv_nsec -= 1'000'000'000;
            ++deadline.tv_sec;
        }
        if (::pthread_clockjoin_np(thread, nullptr, CLOCK_MONOTONIC, &deadline) != ETIMEDOUT) return;
        // Once stopped, the workers are only awaited. Nothing may escape here while workers run:
        // an allocation failure while the stop's error is made still leaves the stop flag up.
        try {
            poll = interruption_point_while_waiting().has_value();
        } catch (...) {
            poll = false;
        }
    }
    ::pthread_join(thread, nullptr);
}

// Starts one worker; 0 or the error number of the failed start.
int start_worker(pthread_t& thread, const pthread_attr_t* attributes, WorkerStart& start) {
    if (thread_starts_before_failure.load(std::memory_order_relaxed) != 0 &&
        thread_starts_before_failure.fetch_sub(1, std::memory_order_relaxed) == 1)
        return -1;
    return ::pthread_create(&thread, attributes, worker_main, &start);
}

}  // namespace

void fan_out(std::size_t count, std::string_view panic_text, const std::function<void(std::size_t)>& work) {
    // One status byte per worker, each written by its own worker only and read after the joins.
    enum : unsigned char { DONE = 0, PANICKED = 1, OUT_OF_MEMORY = 2 };
    std::vector<unsigned char> status(count, DONE);
    const std::function<void(std::size_t)> run = [&](std::size_t index) noexcept {
        try {
            work(index);
        } catch (const std::bad_alloc&) {
            status[index] = OUT_OF_MEMORY;
        } catch (...) {
            status[index] = PANICKED;
        }
    };
    pthread_attr_t attributes;
    bool use_attributes = false;
    if (WORKER_STACK_BYTES != 0 && ::pthread_attr_init(&attributes) == 0) {
        use_attributes = ::pthread_attr_setstacksize(&attributes, WORKER_STACK_BYTES) == 0;
        if (!use_attributes) ::pthread_attr_destroy(&attributes);
    }
    InterruptScope* const interrupt = current_interrupt_scope();
    // Everything the starts need is allocated before the first one: nothing between a start and
    // the joins may throw, or a running worker would outlive the state it works on.
    std::vector<WorkerStart> starts(count);
    std::vector<pthread_t> threads;
    threads.reserve(count);
    int start_error = 0;
    for (std::size_t index = 0; index < count; ++index) {
        starts[index] = WorkerStart{&run, index, interrupt};
        pthread_t thread{};
        start_error = start_worker(thread, use_attributes ? &attributes : nullptr, starts[index]);
        if (start_error != 0) break;
        threads.push_back(thread);
    }
    if (use_attributes) ::pthread_attr_destroy(&attributes);
    const bool poll = polls_for_interrupts();
    for (const pthread_t thread : threads) join_worker(thread, poll);
    // The phase's work was cut up for `count` threads: without all of them there is no result,
    // and none is made up on the calling thread behind the caller's back.
    if (start_error != 0) {
        const int cause = start_error == -1 ? injected_start_error.load(std::memory_order_relaxed) : start_error;
        // EAGAIN is how the C library says it found no memory for the thread's stack or its
        // thread-local storage: an allocation failure, which the caller sees as such.
        if (cause == EAGAIN || cause == ENOMEM) throw std::bad_alloc();
        const std::string start_failure =
            start_error == -1 ? std::system_error(cause, std::generic_category(), "injected thread start failure").what()
                              : std::system_error(start_error, std::generic_category()).what();
        engine_panic(fmt::format("a worker thread could not be started ({} of {} running): {}", threads.size(), count,
                                 start_failure));
    }
    // A worker that ran out of memory outranks one that panicked: the panic may be what the
    // shortage led to in another worker, and the caller is to see the shortage as such.
    if (std::ranges::find(status, OUT_OF_MEMORY) != status.end()) throw std::bad_alloc();
    if (std::ranges::find(status, PANICKED) != status.end()) engine_panic(std::string(panic_text));
}

}  // namespace vorp
