// Allocation-failure injection for tests of out-of-memory paths. The test binary replaces the
// global operator new: while a FailAllocations guard lives on a thread, every operator new on
// that thread fails (the throwing forms throw std::bad_alloc, the nothrow forms return null).
// Other threads, and the same thread outside a guard, allocate normally.
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

// While alive, the `nth` operator new counted from its construction (1: the next one) fails, on
// whichever thread makes it; every other allocation succeeds. fired() says whether it was reached.
// One at a time.
class FailNthAllocation {
public:
    explicit FailNthAllocation(std::uint64_t nth);
    ~FailNthAllocation();
    FailNthAllocation(const FailNthAllocation&) = delete;
    FailNthAllocation& operator=(const FailNthAllocation&) = delete;
    bool fired() const;
};

}  // namespace vorp::testing
