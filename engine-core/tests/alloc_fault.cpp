// The replaceable global allocation functions of the test binary (see alloc_fault.h). Every
// form is replaced, new and delete alike, so that allocation and release always pair up through
// malloc (posix_memalign for the aligned forms) and free (the sanitizers check that pairing). The
// aligned forms fail only under FailNthAllocation.
#include "alloc_fault.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
constinit thread_local int failing_guards = 0;

// FailNthAllocation: allocations left before the failing one while armed (any thread).
constinit std::atomic<bool> countdown_armed{false};
constinit std::atomic<std::int64_t> countdown{0};
constinit std::atomic<bool> countdown_fired{false};

bool countdown_fails() noexcept {
    if (!countdown_armed.load(std::memory_order_relaxed)) [[likely]]
        return false;
    if (countdown.fetch_sub(1, std::memory_order_relaxed) != 1) return false;
    countdown_fired.store(true, std::memory_order_relaxed);
    return true;
}

void* allocate(std::size_t size) noexcept {
    if (failing_guards > 0 || countdown_fails()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* allocate_aligned(std::size_t size, std::align_val_t alignment) noexcept {
    if (countdown_fails()) return nullptr;
    void* memory = nullptr;
    const std::size_t align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
    return ::posix_memalign(&memory, align, size == 0 ? 1 : size) == 0 ? memory : nullptr;
}

void* allocate_aligned_or_throw(std::size_t size, std::align_val_t alignment) {
    void* memory = allocate_aligned(size, alignment);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
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

FailNthAllocation::FailNthAllocation(std::uint64_t nth) {
    countdown.store(static_cast<std::int64_t>(nth), std::memory_order_relaxed);
    countdown_fired.store(false, std::memory_order_relaxed);
    countdown_armed.store(true, std::memory_order_release);
}
FailNthAllocation::~FailNthAllocation() { countdown_armed.store(false, std::memory_order_release); }
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

void* operator new(std::size_t size, std::align_val_t alignment) { return allocate_aligned_or_throw(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocate_aligned_or_throw(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate_aligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocate_aligned(size, alignment);
}
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
