// Column buffers that are sized before they are written. A scan knows its output's length before
// it copies a single row, and its workers then write disjoint ranges of the same buffer: zeroing
// the whole buffer first, on one thread, would cost as much as the copy itself. A Column's
// resize() leaves new elements default-initialized (indeterminate for arithmetic types); every
// element must be written before it is read. Otherwise a Column is a std::vector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vorp {

// Buffers of at least LARGE_COLUMN_BYTES (scan output columns, row lists) come from whole 2 MiB
// pages marked for transparent huge pages, and a freed one is kept for the next buffer of about
// its size: a scan writes its output once, right after reserving it, and in a fresh mapping the
// kernel's zeroing of the pages on first touch costs as much as the scan's own copying. The pool
// keeps at most LARGE_POOL_BUFFERS buffers and LARGE_POOL_BYTES bytes; the pages of a kept buffer
// are marked free to the kernel (which takes them back only when it needs memory, so a reused
// buffer usually faults nothing). From one huge page up: below that the C library's heap serves,
// and a process that never freed a large block would otherwise map, fault and unmap every scan's
// output of a few hundred thousand rows afresh. Under AddressSanitizer every buffer comes from the
// instrumented allocator instead.
inline constexpr std::size_t LARGE_COLUMN_BYTES = std::size_t{2} << 20;
inline constexpr std::size_t LARGE_POOL_BUFFERS = 16;
inline constexpr std::size_t LARGE_POOL_BYTES = std::size_t{1} << 30;
namespace large_buffers {
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool ADDRESS_SANITIZER = true;
#else
inline constexpr bool ADDRESS_SANITIZER = false;
#endif
inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;
// The largest byte count that rounds up to whole huge pages with one more page to spare.
inline constexpr std::size_t HUGE_PAGE_MAX_BYTES = SIZE_MAX - 2 * HUGE_PAGE_BYTES;
// `bytes` (at most HUGE_PAGE_MAX_BYTES) rounded up to whole 2 MiB pages.
constexpr std::size_t huge_page_len(std::size_t bytes) { return (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1); }
// A buffer of at least `bytes` bytes, 2 MiB aligned; std::bad_alloc when none can be had.
void* take(std::size_t bytes);
// Returns a buffer `take(bytes)` gave (the same `bytes`).
void give(void* data, std::size_t bytes) noexcept;
// The buffers and bytes the pool holds now.
std::pair<std::size_t, std::size_t> pooled();
// A fresh private mapping of huge_page_len(bytes) bytes that starts on a 2 MiB boundary, marked for
// transparent huge pages; null when it cannot be had (or `bytes` is past HUGE_PAGE_MAX_BYTES).
// Released with munmap of that length.
void* map_huge_pages(std::size_t bytes);
}  // namespace large_buffers

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

    T* allocate(std::size_t n) {
        if (n <= SIZE_MAX / sizeof(T) && n * sizeof(T) >= LARGE_COLUMN_BYTES) return static_cast<T*>(large_buffers::take(n * sizeof(T)));
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* data, std::size_t n) noexcept {
        if (n * sizeof(T) >= LARGE_COLUMN_BYTES) return large_buffers::give(data, n * sizeof(T));
        std::allocator<T>::deallocate(data, n);
    }
};

template <class T, class U>
bool operator==(const UninitAllocator<T>&, const UninitAllocator<U>&) noexcept {
    return true;
}

template <class T>
using Column = std::vector<T, UninitAllocator<T>>;

}  // namespace vorp
