// The replaceable global allocation functions of the test binary (see alloc_fault.h). Every
// non-aligned form is replaced, new and delete alike, so that allocation and release always pair
// up through malloc and free (the sanitizers check that pairing). The aligned forms keep the
// runtime's own pair and never fail on purpose.
#include "alloc_fault.h"

#include <cstdlib>
#include <new>

namespace {
constinit thread_local int failing_guards = 0;

void* allocate(std::size_t size) noexcept {
    if (failing_guards > 0) return nullptr;
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
