#include "vorp/interrupt.h"

#include "vorp/clock.h"

#include <utility>

namespace vorp {

namespace {

std::atomic<InterruptPoll> installed_poll{nullptr};

// The calling thread's scope, and whether the thread is a worker that adopted its caller's.
// Initial-exec: the variables live in the static block every thread is created with, so their
// first use on a fresh worker allocates nothing (and cannot fail), in the engine library linked
// into a loaded extension module too.
[[gnu::tls_model("initial-exec")]] thread_local InterruptScope* thread_scope = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local bool thread_is_worker = false;
// Work credited on this thread since its last point (credit_interrupt_work).
[[gnu::tls_model("initial-exec")]] thread_local std::uint64_t thread_work = 0;

std::atomic<InterruptWatcher*> installed_watcher{nullptr};

}  // namespace

void set_interrupt_poll(InterruptPoll poll) { installed_poll.store(poll, std::memory_order_release); }

void set_interrupt_watcher(InterruptWatcher* watcher) { installed_watcher.store(watcher, std::memory_order_release); }

void credit_interrupt_work(std::uint64_t units) noexcept { thread_work += units; }

InterruptScope::InterruptScope() : next_poll_ns_(monotonic_ns() + INTERRUPT_POLL_INTERVAL_NS), outer_(thread_scope) {
    thread_scope = this;
    thread_work = 0;
}

InterruptScope::~InterruptScope() {
    if (InterruptWatcher* watcher = installed_watcher.load(std::memory_order_acquire)) watcher->at_close(thread_work);
    thread_work = 0;
    thread_scope = outer_;
}

[[gnu::noinline]] Status interruption_point() {
    InterruptScope* scope = thread_scope;
    if (scope == nullptr) return ok();
    const std::uint64_t work = std::exchange(thread_work, 0);
    InterruptWatcher* const watcher = installed_watcher.load(std::memory_order_acquire);
    if (watcher != nullptr) watcher->at_point(work, !thread_is_worker, __builtin_return_address(0));
    return scope->poll_or_stop(watcher != nullptr);
}

Status interruption_point_while_waiting() {
    InterruptScope* scope = thread_scope;
    if (scope == nullptr) return ok();
    return scope->poll_or_stop(false);
}

Status InterruptScope::poll_or_stop(bool at_once) {
    if (stopped()) return fail(EngineError::interrupted());
    if (thread_is_worker) return ok();
    if (!at_once && monotonic_ns() < next_poll_ns_) return ok();
    const InterruptPoll poll = installed_poll.load(std::memory_order_acquire);
    const bool stop = poll != nullptr && poll();
    // From the end of the poll: a slow poll (it may run the embedding's own housekeeping) does not
    // make the next one due at once.
    next_poll_ns_ = monotonic_ns() + INTERRUPT_POLL_INTERVAL_NS;
    if (!stop) return ok();
    stop_.store(true, std::memory_order_relaxed);
    return fail(EngineError::interrupted());
}

InterruptScope* current_interrupt_scope() { return thread_scope; }

void adopt_interrupt_scope(InterruptScope* scope) {
    thread_scope = scope;
    thread_is_worker = scope != nullptr;
    thread_work = 0;
}

bool polls_for_interrupts() {
    return thread_scope != nullptr && !thread_is_worker && installed_poll.load(std::memory_order_acquire) != nullptr;
}

}  // namespace vorp
