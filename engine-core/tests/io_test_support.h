// Checks shared by the tests of the file layers (plain file I/O and durable writes).
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

#include "vorp/error.h"

namespace vorp::testing {

// Sets the process umask for the lifetime of the guard.
struct UmaskGuard {
    mode_t saved;
    explicit UmaskGuard(mode_t mask) : saved(::umask(mask)) {}
    ~UmaskGuard() { ::umask(saved); }
};

// The permission bits of `path`.
inline mode_t mode_of(const std::filesystem::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// An `io` error with exactly this message and file, and no remedy.
inline void expect_io(const EngineError& error, const std::string& message,
                      const std::optional<std::filesystem::path>& file) {
    EXPECT_EQ(error.category, Category::Io);
    EXPECT_EQ(error.message, message);
    EXPECT_EQ(error.location.file, file);
    EXPECT_FALSE(error.remedy.has_value());
}

inline void expect_io(const Status& status, const std::string& message,
                      const std::optional<std::filesystem::path>& file) {
    ASSERT_FALSE(status.has_value()) << message;
    expect_io(status.error(), message, file);
}

}  // namespace vorp::testing
