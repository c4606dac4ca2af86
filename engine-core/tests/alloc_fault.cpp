// The replaceable global allocation functions of the test binary (see alloc_fault.h). Every
// non-aligned form is replaced, new and delete alike, so that allocation and release always pair
// up through malloc and free (the sanitizers check that pairing). The aligned forms keep the
// runtime's own pair and never fail on purpose.
#include "alloc_fault.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
constinit thread_local int failing_guards = 0;
// Allocations left before the one that fails; negative while no countdown is armed (and after it
// fired: racing threads take it below zero and pass).
constinit std::atomic<std::int64_t> countdown{-1};
constinit std::atomic<bool> countdown_fired{false};

bool countdown_fails() noexcept {
    if (countdown.load(std::memory_order_relaxed) < 0) return false;
    if (countdown.fetch_sub(1, std::memory_order_relaxed) != 0) return false;
    countdown_fired.store(true, std::memory_order_relaxed);
    return true;
}

void* allocate(std::size_t size) noexcept {
    if (failing_guards > 0 || countdown_fails()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate_or_throw(std::size_t size) {
    void* memory = allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
}  // namespace

namespace vorp::testing {
FailAllocations::FailAllocations() { ++failing_guards; }
FailAllocations::~FailAllocations() { --failing_guards; }

FailNthAllocation::FailNthAllocation(std::uint64_t n) {
    countdown_fired.store(false, std::memory_order_relaxed);
    countdown.store(static_cast<std::int64_t>(n), std::memory_order_seq_cst);
}
FailNthAllocation::~FailNthAllocation() { countdown.store(-1, std::memory_order_seq_cst); }
bool FailNthAllocation::fired() const { return countdown_fired.load(std::memory_order_relaxed); }
}  // namespace vorp::testing

void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
