#include "vorp/column.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace vorp {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool POOLED = false;  // every buffer then comes from the instrumented allocator
#else
constexpr bool POOLED = true;
#endif

constexpr std::size_t MIB = std::size_t{1} << 20;

void drain() {
    // Twice the pool's buffer count of small buffers pushes out whatever earlier tests left.
    std::vector<void*> taken;
    for (std::size_t k = 0; k < 2 * LARGE_POOL_BUFFERS; ++k) taken.push_back(large_buffers::take(LARGE_COLUMN_BYTES));
    for (void* data : taken) large_buffers::give(data, LARGE_COLUMN_BYTES);
}

TEST(LargeBuffers, ReuseAlignmentAndBounds) {
    if (!POOLED) GTEST_SKIP() << "buffers come from the instrumented allocator";
    drain();
    // A buffer given back serves the next take of a size it holds, at most twice its need.
    void* first = large_buffers::take(40 * MIB);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % (2 * MIB), 0u);
    std::memset(first, 0x5A, 40 * MIB);
    large_buffers::give(first, 40 * MIB);
    void* too_small_for_it = large_buffers::take(18 * MIB);  // 40 MiB is more than twice 18
    EXPECT_NE(too_small_for_it, first);
    void* again = large_buffers::take(39 * MIB);
    EXPECT_EQ(again, first);
    std::memset(again, 0x33, 39 * MIB);  // writable after its pages were marked free
    EXPECT_EQ(static_cast<unsigned char*>(again)[39 * MIB - 1], 0x33);
    large_buffers::give(again, 39 * MIB);
    large_buffers::give(too_small_for_it, 18 * MIB);

    // Never more than LARGE_POOL_BUFFERS buffers nor LARGE_POOL_BYTES bytes; the oldest go first.
    std::vector<void*> many;
    for (std::size_t k = 0; k < LARGE_POOL_BUFFERS + 4; ++k) many.push_back(large_buffers::take(LARGE_COLUMN_BYTES));
    for (void* data : many) large_buffers::give(data, LARGE_COLUMN_BYTES);
    EXPECT_EQ(large_buffers::pooled().first, LARGE_POOL_BUFFERS);
    void* big = large_buffers::take(LARGE_POOL_BYTES - 4 * MIB);
    large_buffers::give(big, LARGE_POOL_BYTES - 4 * MIB);
    EXPECT_LE(large_buffers::pooled().second, LARGE_POOL_BYTES);
    EXPECT_EQ(large_buffers::take(LARGE_POOL_BYTES - 4 * MIB), big);
    large_buffers::give(big, LARGE_POOL_BYTES - 4 * MIB);
    // Larger than the whole pool: unmapped, never kept.
    void* huge = large_buffers::take(LARGE_POOL_BYTES + 2 * MIB);
    large_buffers::give(huge, LARGE_POOL_BYTES + 2 * MIB);
    EXPECT_LE(large_buffers::pooled().second, LARGE_POOL_BYTES);
    drain();
}

// Columns of large and small sizes from several threads at once keep their contents: a buffer is
// never handed to two owners, and a reused one holds what its new owner wrote.
TEST(LargeBuffers, ColumnsFromManyThreadsKeepTheirValues) {
    std::vector<std::thread> workers;
    std::vector<int> bad(8, 0);
    for (int w = 0; w < 8; ++w) {
        workers.emplace_back([w, &bad] {
            for (int round = 0; round < 12; ++round) {
                const std::size_t rows = (round % 3 == 0 ? 1000 : (LARGE_COLUMN_BYTES / 8) * (1 + (w + round) % 3)) + 17;
                Column<std::int64_t> column;
                column.resize(rows);
                for (std::size_t row = 0; row < rows; ++row) column[row] = static_cast<std::int64_t>(row * 8 + w);
                std::this_thread::yield();
                for (std::size_t row = 0; row < rows; row += 4099)
                    bad[w] += column[row] != static_cast<std::int64_t>(row * 8 + w);
                bad[w] += column[rows - 1] != static_cast<std::int64_t>((rows - 1) * 8 + w);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    for (int w = 0; w < 8; ++w) EXPECT_EQ(bad[w], 0) << "worker " << w;
}

}  // namespace
}  // namespace vorp
