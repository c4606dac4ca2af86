#include "vorp/column.h"

#include <sys/mman.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace vorp::large_buffers {

namespace {

struct Kept {
    void* data;
    std::size_t len;
};

// Buffers given back, newest last.
struct Pool {
    std::mutex mutex;
    std::vector<Kept> kept;
    std::size_t bytes = 0;
};

Pool& pool() {
    // Never destroyed: buffers may be given back while the process exits.
    static Pool* const instance = new Pool;
    return *instance;
}

}  // namespace

void* map_huge_pages(std::size_t bytes) {
    if (bytes > HUGE_PAGE_MAX_BYTES) return nullptr;
    const std::size_t len = huge_page_len(bytes);
    constexpr std::size_t HUGE_PAGE = HUGE_PAGE_BYTES;
    // Over-map by one huge page, then trim both ends so the buffer starts on a 2 MiB boundary.
    void* raw = ::mmap(nullptr, len + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
    const std::uintptr_t end = start + len + HUGE_PAGE;
    if (aligned > start) ::munmap(raw, aligned - start);
    if (end > aligned + len) ::munmap(reinterpret_cast<void*>(aligned + len), end - (aligned + len));
#ifdef MADV_HUGEPAGE
    // A hint: where transparent huge pages are off it is refused or ignored, and 4 KiB pages serve.
    (void)::madvise(reinterpret_cast<void*>(aligned), len, MADV_HUGEPAGE);
#endif
    return reinterpret_cast<void*>(aligned);
}

void* take(std::size_t bytes) {
    if constexpr (ADDRESS_SANITIZER) return ::operator new(bytes);
    if (bytes > HUGE_PAGE_MAX_BYTES) throw std::bad_alloc();
    const std::size_t len = huge_page_len(bytes);
    {
        // The smallest kept buffer that holds `len`, unless it is more than twice as large.
        Pool& shared = pool();
        std::lock_guard guard(shared.mutex);
        auto best = shared.kept.end();
        for (auto it = shared.kept.begin(); it != shared.kept.end(); ++it)
            if (it->len >= len && it->len / 2 <= len && (best == shared.kept.end() || it->len < best->len)) best = it;
        if (best != shared.kept.end()) {
            void* data = best->data;
            shared.bytes -= best->len;
            shared.kept.erase(best);
            return data;
        }
    }
    void* data = map_huge_pages(len);
    if (data == nullptr) throw std::bad_alloc();
    return data;
}

void give(void* data, std::size_t bytes) noexcept {
    if constexpr (ADDRESS_SANITIZER) return ::operator delete(data);
    if (data == nullptr) return;
    const std::size_t len = huge_page_len(bytes);
    if (len > LARGE_POOL_BYTES) {
        ::munmap(data, len);
        return;
    }
#ifdef MADV_FREE
    // Before any other thread can take it: the kernel may take the pages back when it runs short;
    // until then the next taker writes them without a fault.
    (void)::madvise(data, len, MADV_FREE);
#endif
    std::vector<Kept> drop;
    bool kept = false;
    {
        Pool& shared = pool();
        std::lock_guard guard(shared.mutex);
        // Room for this one: the oldest kept buffers go first.
        std::size_t first_kept = 0;
        const std::size_t count = shared.kept.size();
        std::size_t held = shared.bytes;
        while (first_kept < count && (count - first_kept + 1 > LARGE_POOL_BUFFERS || held + len > LARGE_POOL_BYTES)) {
            held -= shared.kept[first_kept].len;
            ++first_kept;
        }
        try {
            drop.assign(shared.kept.begin(), shared.kept.begin() + static_cast<std::ptrdiff_t>(first_kept));
            shared.kept.reserve(count - first_kept + 1);
            kept = true;
        } catch (...) {
            drop.clear();
        }
        if (kept) {
            shared.kept.erase(shared.kept.begin(), shared.kept.begin() + static_cast<std::ptrdiff_t>(first_kept));
            shared.kept.push_back({data, len});
            shared.bytes = held + len;
        }
    }
    if (!kept) ::munmap(data, len);
    for (const Kept& old : drop) ::munmap(old.data, old.len);
}

std::pair<std::size_t, std::size_t> pooled() {
    Pool& shared = pool();
    std::lock_guard guard(shared.mutex);
    return {shared.kept.size(), shared.bytes};
}

}  // namespace vorp::large_buffers
