#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "io_test_support.h"
#include "test_support.h"
#include "vorp/fileio.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::write_text;

struct TempDir : vorp::testing::TempDir {
    TempDir() : vorp::testing::TempDir("fileio_test") {}
};

using vorp::testing::UmaskGuard;
using vorp::testing::expect_io;
using vorp::testing::mode_of;

TEST(CreateDirs, CreatesMissingAncestorsAndAcceptsExistingOnes) {
    TempDir dir;
    const UmaskGuard umask_guard(022);
    const fs::path deep = dir.path / "a" / "b" / "c";
    ASSERT_TRUE(create_dirs(deep).has_value());
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_EQ(mode_of(dir.path / "a"), 0755);  // 0777 reduced by the umask
    EXPECT_EQ(mode_of(deep), 0755);
    EXPECT_TRUE(create_dirs(deep).has_value());
    EXPECT_TRUE(create_dirs(dir.path / "a" / "b" / "d" / "").has_value());  // trailing separator
    EXPECT_TRUE(fs::is_directory(dir.path / "a" / "b" / "d"));
    EXPECT_TRUE(create_dirs("").has_value());
}

TEST(CreateDirs, ReportsWhatStandsInTheWay) {
    TempDir dir;
    write_text(dir.path / "file", "x");
    // A file at the path itself, and a file in place of an ancestor.
    expect_io(create_dirs(dir.path / "file"), "File exists (os error 17)", std::nullopt);
    expect_io(create_dirs(dir.path / "file" / "sub"), "Not a directory (os error 20)", std::nullopt);
    expect_io(create_dirs(dir.path / "file" / "sub" / "deeper"), "Not a directory (os error 20)", std::nullopt);
}

TEST(FileIo, PositionalWritesReadsLengthAndSync) {
    TempDir dir;
    const fs::path path = dir.path / "dict.log";
    Fd fd = open_file(path, O_RDWR | O_CREAT).value();
    ASSERT_TRUE(pwrite_all(fd.get(), "0123456789", 10, 0).has_value());
    ASSERT_TRUE(pwrite_all(fd.get(), "ab", 2, 12).has_value());  // leaves a hole of two zero bytes
    EXPECT_EQ(file_size(fd.get()).value(), 14u);
    char buffer[4] = {};
    ASSERT_TRUE(pread_exact(fd.get(), buffer, 4, 9).has_value());
    EXPECT_EQ(std::string(buffer, 4), std::string("9\0\0a", 4));
    expect_io(pread_exact(fd.get(), buffer, 4, 12), "failed to fill whole buffer", std::nullopt);
    ASSERT_TRUE(truncate_fd(fd.get(), 5).has_value());
    ASSERT_TRUE(full_sync(fd.get()).has_value());
    ASSERT_TRUE(fd.close().has_value());
    EXPECT_FALSE(fd.valid());
    EXPECT_TRUE(fd.close().has_value());  // closing twice is harmless
    EXPECT_EQ(read_file(path).value(), "01234");

    Fd appended = open_file(path, O_WRONLY | O_APPEND).value();
    ASSERT_TRUE(write_all(appended.get(), "xyz", 3).has_value());
    EXPECT_EQ(read_file(path).value(), "01234xyz");
}

TEST(FileIo, OperatingSystemFailuresAreIoErrorsWithoutAFile) {
    TempDir dir;
    const fs::path missing = dir.path / "missing";
    expect_io(open_file(missing, O_RDONLY).error(), "No such file or directory (os error 2)", std::nullopt);
    expect_io(read_file(missing).error(), "No such file or directory (os error 2)", std::nullopt);
    expect_io(rename_file(missing, dir.path / "other"), "No such file or directory (os error 2)", std::nullopt);
    if (fs::exists("/dev/full")) {
        Fd full = open_file("/dev/full", O_WRONLY).value();
        expect_io(write_all(full.get(), "x", 1), "No space left on device (os error 28)", std::nullopt);
    }
}

TEST(FileIo, ReadFileReadsWholeFilesOfAnySize) {
    TempDir dir;
    std::string large(200000, '\0');
    for (std::size_t byte_idx = 0; byte_idx < large.size(); ++byte_idx) large[byte_idx] = static_cast<char>(byte_idx * 7);
    for (const std::string& content : {std::string(), std::string("a"), large}) {
        write_text(dir.path / "f", content);
        EXPECT_EQ(read_file(dir.path / "f").value(), content);
    }
}

}  // namespace
}  // namespace vorp
