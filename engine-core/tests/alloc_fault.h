// Allocation-failure injection for tests of out-of-memory paths. The test binary replaces the
// global operator new: while a FailAllocations guard lives on a thread, every operator new on
// that thread fails (the throwing forms throw std::bad_alloc, the nothrow forms return null).
// Other threads, and the same thread outside a guard, allocate normally.
#pragma once

namespace vorp::testing {

class FailAllocations {
public:
    FailAllocations();
    ~FailAllocations();
    FailAllocations(const FailAllocations&) = delete;
    FailAllocations& operator=(const FailAllocations&) = delete;
};

}  // namespace vorp::testing
