// Allocation-failure injection for tests of out-of-memory paths. The test binary replaces the
// global operator new: while a FailAllocations guard lives on a thread, every operator new on
// that thread fails (the throwing forms throw std::bad_alloc, the nothrow forms return null).
// Other threads, and the same thread outside a guard, allocate normally.
//
// FailNthAllocation counts instead: while it lives, the allocation `n` allocations after its
// construction (0: the very next) fails, on whichever thread makes it, and every other one
// succeeds; `fired` tells whether that allocation was reached. One at a time per process.
#pragma once

#include <cstdint>

namespace vorp::testing {

class FailAllocations {
public:
    FailAllocations();
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;
};

class FailNthAllocation {
public:
    explicit FailNthAllocation(std::uint64_t n);
    ~FailNthAllocation();
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;

    bool fired() const;
};

}  // namespace vorp::testing
