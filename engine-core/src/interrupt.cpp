#include "vorp/interrupt.h"

#include "vorp/clock.h"

namespace vorp {

namespace {

std::atomic<InterruptPoll> installed_poll{nullptr};

// The calling thread's scope, and whether the thread is a worker that adopted its caller's.
// Initial-exec: the variables live in the static block every thread is created with, so their
// first use on a fresh worker allocates nothing (and cannot fail), in the engine library linked
// into a loaded extension module too.
[[gnu::tls_model("initial-exec")]] thread_local InterruptScope* thread_scope = nullptr;
[[gnu::tls_model("initial-exec")]] thread_local bool thread_is_worker = false;

}  // namespace

void set_interrupt_poll(InterruptPoll poll) { installed_poll.store(poll, std::memory_order_release); }

InterruptScope::InterruptScope() : next_poll_ns_(monotonic_ns() + INTERRUPT_POLL_INTERVAL_NS), outer_(thread_scope) {
    thread_scope = this;
}

InterruptScope::~InterruptScope() { thread_scope = outer_; }

Status interruption_point() {
    InterruptScope* scope = thread_scope;
    if (scope == nullptr) return ok();
    if (scope->stop_.load(std::memory_order_relaxed)) return fail(EngineError::interrupted());
    if (thread_is_worker) return ok();
    const std::uint64_t now = monotonic_ns();
    if (now < scope->next_poll_ns_) return ok();
    const InterruptPoll poll = installed_poll.load(std::memory_order_acquire);
    const bool stop = poll != nullptr && poll();
    // From the end of the poll: a slow poll (it may run the embedding's own housekeeping) does not
    // make the next one due at once.
    scope->next_poll_ns_ = monotonic_ns() + INTERRUPT_POLL_INTERVAL_NS;
    if (!stop) return ok();
    scope->stop_.store(true, std::memory_order_relaxed);
    return fail(EngineError::interrupted());
}

InterruptScope* current_interrupt_scope() { return thread_scope; }

void adopt_interrupt_scope(InterruptScope* scope) {
    thread_scope = scope;
    thread_is_worker = scope != nullptr;
}

bool polls_for_interrupts() {
    return thread_scope != nullptr && !thread_is_worker && installed_poll.load(std::memory_order_acquire) != nullptr;
}

}  // namespace vorp
