// Column buffers that are sized before they are written. A scan knows its output's length before
// it copies a single row, and its workers then write disjoint ranges of the same buffer: zeroing
// the whole buffer first, on one thread, would cost as much as the copy itself. A Column's
// resize() leaves new elements default-initialized (indeterminate for arithmetic types); every
// element must be written before it is read. Otherwise a Column is a std::vector.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorp {

template <class T>
struct UninitAllocator : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() noexcept = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* place) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(place)) U;
    }
    template <class U, class... Args>
    void construct(U* place, Args&&... args) {
        ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
};

template <class T, class U>
bool operator==(const UninitAllocator<T>&, const UninitAllocator<U>&) noexcept {
    return true;
}

template <class T>
using Column = std::vector<T, UninitAllocator<T>>;

}  // namespace vorp
