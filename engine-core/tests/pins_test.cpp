#include "alloc_fault.h"
#include "store_support.h"
#include "vorp/gc.h"
#include "vorp/pins.h"
#include "store_access.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include <fmt/format.h>

namespace vorp {
namespace {

namespace fs = std::filesystem;

TEST(PinTable, KeysCompareByComponents) {
    const struct {
        const char* a;
        const char* b;
        bool same;
    } cases[] = {
        {"/s/a", "/s/a", true},       {"/s//a", "/s/a", true},   {"/s/a/", "/s/a", true},
        {"/s/./a", "/s/a", true},     {"/s/a/.", "/s/a", true},  {"//s///a//", "/s/a", true},
        {"/./s", "/s", true},         {"s/a", "s//a/", true},    {"s/./a", "s/a", true},
        {"./s", "./s", true},         {"././s", "./s", true},    {".//s", "./s", true},
        {"./s", "s", false},          {"s", "/s", false},        {"/s/../a", "/a", false},
        {"/S/a", "/s/a", false},      {"/s/a b", "/s/a", false}, {"", ".", false},
        {"/", "//", true},            {"/", "/.", true},         {"s/a", "s/a/..", false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(fmt::format("{} vs {}", test.a, test.b));
        EXPECT_EQ(pin_key(test.a) == pin_key(test.b), test.same) << pin_key(test.a) << " / " << pin_key(test.b);
    }
    EXPECT_EQ(pin_key("//s///a//./b/"), "/s/a/b");
    EXPECT_EQ(pin_key("./s/./"), "./s");
}

TEST(PinTable, CountsPerGenerationAndKeyLifetime) {
    const fs::path key = "/pin-table-test/store";
    EXPECT_TRUE(pinned_generations(key).empty());
    unpin(key, 4);  // never pinned: nothing happens
    pin(key, 4);
    pin("/pin-table-test//store/", 4);
    pin(key, 5);
    EXPECT_EQ(pinned_generations("/pin-table-test/./store"), (std::set<std::uint64_t>{4, 5}));
    EXPECT_TRUE(pinned_generations("pin-table-test/store").empty());  // relative: another key
    unpin(key, 6);  // not pinned under a pinned key
    unpin(key, 4);
    EXPECT_EQ(pinned_generations(key), (std::set<std::uint64_t>{4, 5}));
    unpin(key, 4);
    EXPECT_EQ(pinned_generations(key), (std::set<std::uint64_t>{5}));
    unpin(key, 5);
    EXPECT_TRUE(pinned_generations(key).empty());
    unpin(key, 5);
    EXPECT_TRUE(pinned_generations(key).empty());
}

// An allocation failure in the pin table or the writer guard leaves neither poisoned (every node is
// made before the lock), and dropping a handle never throws, whatever its locks went through.
TEST(PinTable, FailuresPoisonNothingAndDropsNeverAbort) {
    // Short keys, made outside the failing scope: their text needs no allocation of its own.
    const fs::path pinned = "/p";
    const fs::path written = "/w";
    // Both tables exist before allocations fail (each is made on first use).
    EXPECT_TRUE(pinned_generations(pinned).empty());
    EXPECT_FALSE(writer_active(written));
    bool pin_failed = false;
    bool guard_failed = false;
    {
        testing::FailAllocations failing;
        try {
            pin(pinned, 1);
        } catch (const std::bad_alloc&) {
            pin_failed = true;
        }
        try {
            (void)WriterGuard::acquire(written);
        } catch (const std::bad_alloc&) {
            guard_failed = true;
        }
    }
    EXPECT_TRUE(pin_failed && guard_failed);
    EXPECT_TRUE(pinned_generations(pinned).empty());
    EXPECT_TRUE(WriterGuard::acquire(written));

    testing::TempDir dir("vorp-gc");
    auto other = testing::open_ok(dir.path);
    EXPECT_EXIT(
        {
            auto store = testing::open_ok(dir.path);
            (void)store->begin(1);
            StoreTestAccess::batch(*store).staging.add_edge(EdgeRow{});
            // A reader that panics while holding the staging index, and one holding the stats lock.
            try {
                (void)store->batch().staging.edge_positions(0, [](const EdgeRow&) -> Result<std::uint64_t> {
                    throw EnginePanic("boom");
                });
            } catch (const EnginePanic&) {
            }
            try {
                auto guard = StoreTestAccess::caches(*store).stats_mutex.lock();
                throw EnginePanic("boom");
            } catch (const EnginePanic&) {
            }
            const fs::path key = store->pin_path();
            store.reset();
            other.reset();
            std::exit(pinned_generations(key).empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vorp
