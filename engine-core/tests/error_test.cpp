#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "vorp/error.h"

namespace vorp {
namespace {

TEST(EngineError, RemedyTexts) {
    EXPECT_EQ(RESTORE_REMEDY.size(), 81u);
    EXPECT_EQ(ENGINE_BUG_REMEDY.size(), 63u);
}

TEST(EngineError, ConstructorsSetCategoryAndRemedy) {
    struct Case {
        EngineError error;
        Category category;
        std::optional<std::string_view> remedy;
    };
    const std::vector<Case> cases = {
        {EngineError::corrupt("m"), Category::Corrupt, RESTORE_REMEDY},
        {EngineError::invariant("m"), Category::Invariant, ENGINE_BUG_REMEDY},
        {EngineError::not_found("m"), Category::NotFound, std::nullopt},
        {EngineError::capacity("m"), Category::Capacity, std::nullopt},
        {EngineError::io("m"), Category::Io, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.category, c.category);
        EXPECT_EQ(c.error.message, "m");
        EXPECT_EQ(c.error.location, Location{});
        EXPECT_EQ(c.error.remedy, c.remedy ? std::optional<std::string>(std::string(*c.remedy)) : std::nullopt);
    }
    EXPECT_EQ(static_cast<int>(Category::Corrupt), 0);
    EXPECT_EQ(static_cast<int>(Category::NotFound), 1);
    EXPECT_EQ(static_cast<int>(Category::Capacity), 2);
    EXPECT_EQ(static_cast<int>(Category::Io), 3);
    EXPECT_EQ(static_cast<int>(Category::Invariant), 4);
}

TEST(EngineError, DisplayMatrix) {
    const std::string restore = " \u2014 " + std::string(RESTORE_REMEDY);
    const std::string bug = " \u2014 " + std::string(ENGINE_BUG_REMEDY);
    struct Case {
        const char* name;
        EngineError error;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"no location, no remedy", EngineError::io("disk on fire"), "io: disk on fire"},
        {"not_found word", EngineError::not_found("no version"), "not_found: no version"},
        {"capacity word", EngineError::capacity("full"), "capacity: full"},
        {"row only", EngineError::not_found("x").at_row(7), "not_found: x [row=7]"},
        {"offset only", EngineError::io("x").at_offset(0), "io: x [offset=0]"},
        {"offset and row", EngineError::io("x").at_row(4294967295u).at_offset(18446744073709551615ull),
         "io: x [offset=18446744073709551615 row=4294967295]"},
        {"file, offset and row", EngineError::capacity("x").at_row(3).at_offset(12).at_file("seg/000000000001.vos"),
         "capacity: x [file=seg/000000000001.vos offset=12 row=3]"},
        {"file and row", EngineError::io("x").at_file("a b").at_row(1), "io: x [file=a b row=1]"},
        {"corrupt with location: location before remedy", EngineError::corrupt("bad").at_file("close/000000000007.voc"),
         "corrupt: bad [file=close/000000000007.voc]" + restore},
        {"remedy without location", EngineError::corrupt("bad"), "corrupt: bad" + restore},
        {"empty invariant message", EngineError::invariant(""), "invariant: " + bug},
        {"at_file twice keeps the second", EngineError::io("x").at_file("first").at_file("second"), "io: x [file=second]"},
        {"non-UTF-8 path shown lossily", EngineError::io("x").at_file(std::string("bad\xff\xfe.vos")),
         "io: x [file=bad\uFFFD\uFFFD.vos]"},
        {"os error", EngineError::from_errno(ENOENT).at_file("dict.log"),
         "io: No such file or directory (os error 2) [file=dict.log]"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.error.display(), c.expected) << c.name;
    // The two spaces between the colon and the dash of an empty message.
    EXPECT_EQ(EngineError::invariant("").display().substr(0, 15), "invariant:  \u2014");
}

TEST(EngineError, OsErrorCodeReadsBackFromErrno) {
    EXPECT_EQ(EngineError::from_errno(EMFILE).at_file("f").os_error_code(), EMFILE);
    EXPECT_EQ(EngineError::from_errno(ENOENT).os_error_code(), ENOENT);
    EXPECT_EQ(EngineError::from_errno(4242).os_error_code(), 4242);
    EXPECT_EQ(EngineError::io("failed to write whole buffer").os_error_code(), std::nullopt);
    EXPECT_EQ(EngineError::corrupt("Is a directory (os error 21)").os_error_code(), std::nullopt);
    EXPECT_EQ(EngineError::io("x (os error )").os_error_code(), std::nullopt);
}

TEST(EngineError, AtFileKeepsEverythingElse) {
    EngineError error = EngineError::corrupt("m").at_offset(5).at_row(6);
    EngineError moved = at_file(std::move(error), "p");
    EXPECT_EQ(moved.category, Category::Corrupt);
    EXPECT_EQ(moved.message, "m");
    EXPECT_EQ(moved.location.file, std::filesystem::path("p"));
    EXPECT_EQ(moved.location.offset, 5u);
    EXPECT_EQ(moved.location.row, 6u);
    EXPECT_EQ(moved.remedy, std::string(RESTORE_REMEDY));
}

TEST(EngineError, DebugForm) {
    EXPECT_EQ(EngineError::corrupt("a \"b\"").at_file("f").at_row(2).debug(),
              "EngineError { category: Corrupt, message: \"a \\\"b\\\"\", location: Location { file: Some(\"f\"), "
              "offset: None, row: Some(2) }, remedy: Some(\"restore the previous generation, or rebuild with `vorp "
              "replay` from the event log\") }");
    EXPECT_EQ(EngineError::not_found("x").debug(),
              "EngineError { category: NotFound, message: \"x\", location: Location { file: None, offset: None, row: "
              "None }, remedy: None }");
}

TEST(EngineError, TryMacrosPropagate) {
    auto failing = []() -> Result<int> { return fail(EngineError::corrupt("inner")); };
    auto outer = [&]() -> Result<int> {
        const int value = VORP_TRY(failing());
        return value + 1;
    };
    auto outer_file = [&]() -> Result<int> { return VORP_TRY_FILE("some/file", failing()); };
    auto succeeding = []() -> Result<int> { return 41; };
    auto outer_ok = [&]() -> Result<int> { return VORP_TRY(succeeding()) + 1; };
    ASSERT_FALSE(outer().has_value());
    EXPECT_EQ(outer().error().message, "inner");
    EXPECT_EQ(outer_file().error().location.file, std::filesystem::path("some/file"));
    EXPECT_EQ(outer_ok().value(), 42);
}

TEST(PoisonMutex, UnwindingThroughAGuardPoisonsIt) {
    PoisonMutex mutex("cache");
    { auto guard = mutex.lock(); }
    EXPECT_FALSE(mutex.poisoned());
    try {
        auto guard = mutex.lock();
        throw std::runtime_error("worker failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(mutex.poisoned());
    try {
        auto guard = mutex.lock();
        FAIL() << "locking a poisoned mutex must panic";
    } catch (const EnginePanic& panic) {
        EXPECT_EQ(panic.text, "cache mutex poisoned");
    }
    // A caller may word the same mutex differently; the mutex stays usable for the panic only.
    try {
        auto guard = mutex.lock("pin table");
        FAIL() << "locking a poisoned mutex must panic";
    } catch (const EnginePanic& panic) {
        EXPECT_STREQ(panic.what(), "pin table mutex poisoned");
    }
}

// A guard taken and released normally while some other exception is already unwinding (inside a
// destructor) does not poison: only an exception raised while the guard is held does.
struct LocksInDestructor {
    PoisonMutex& mutex;
    ~LocksInDestructor() { auto guard = mutex.lock(); }
};

TEST(PoisonMutex, GuardTakenDuringUnwindingDoesNotPoison) {
    PoisonMutex mutex("index");
    try {
        LocksInDestructor locker{mutex};
        throw std::runtime_error("unrelated");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(mutex.poisoned());
    auto guard = mutex.lock();
}

TEST(EnginePanic, CarriesItsText) {
    try {
        engine_panic("sha256 hex prefix is always valid");
    } catch (const EnginePanic& panic) {
        EXPECT_STREQ(panic.what(), "sha256 hex prefix is always valid");
        return;
    }
    FAIL();
}

}  // namespace
}  // namespace vorp
