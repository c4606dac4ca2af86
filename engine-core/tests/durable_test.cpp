#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "io_test_support.h"
#include "test_support.h"
#include "vorp/durable.h"
#include "vorp/fileio.h"

namespace vorp {
namespace {

namespace fs = std::filesystem;
using vorp::testing::write_text;

struct TempDir : vorp::testing::TempDir {
    TempDir() : vorp::testing::TempDir("durable_test") {}
};

using vorp::testing::UmaskGuard;
using vorp::testing::expect_io;
using vorp::testing::mode_of;

TEST(WriteViaTemp, WritesCreatesAndReplaces) {
    TempDir dir;
    const UmaskGuard umask_guard(022);
    const fs::path target = dir.path / "seg" / "000000000007.vos";
    const fs::path tmp = dir.path / "seg" / "000000000007.vos.tmp";
    ASSERT_TRUE(write_via_temp(target, tmp, std::string("first\0image", 11)).has_value());
    EXPECT_EQ(read_file(target).value(), std::string("first\0image", 11));
    EXPECT_FALSE(fs::exists(tmp));
    EXPECT_EQ(mode_of(target), 0644);  // 0666 reduced by the umask

    // A leftover temporary file of a failed write is truncated and reused; the target is replaced.
    write_text(tmp, "a much longer leftover from an earlier attempt");
    ASSERT_TRUE(write_via_temp(target, tmp, "second").has_value());
    EXPECT_EQ(read_file(target).value(), "second");
    EXPECT_FALSE(fs::exists(tmp));
    ASSERT_TRUE(write_via_temp(target, tmp, "").has_value());
    EXPECT_EQ(read_file(target).value(), "");
}

TEST(WriteViaTemp, EachStepReportsItsOwnFile) {
    TempDir dir;
    // The parent directory cannot be created: a file stands in its place.
    write_text(dir.path / "seg", "not a directory");
    expect_io(write_via_temp(dir.path / "seg" / "1.vos", dir.path / "seg" / "1.vos.tmp", "x"),
              "File exists (os error 17)", dir.path / "seg");

    // The temporary path is a directory: opening it fails.
    fs::create_directories(dir.path / "a" / "1.vos.tmp");
    expect_io(write_via_temp(dir.path / "a" / "1.vos", dir.path / "a" / "1.vos.tmp", "x"), "Is a directory (os error 21)",
              dir.path / "a" / "1.vos.tmp");
    EXPECT_FALSE(fs::exists(dir.path / "a" / "1.vos"));

    // The target is a non-empty directory: the rename fails, the temporary file stays behind.
    fs::create_directories(dir.path / "b" / "1.vos" / "inside");
    const Status renamed = write_via_temp(dir.path / "b" / "1.vos", dir.path / "b" / "1.vos.tmp", "x");
    ASSERT_FALSE(renamed.has_value());
    EXPECT_EQ(renamed.error().location.file, dir.path / "b" / "1.vos");
    EXPECT_EQ(read_file(dir.path / "b" / "1.vos.tmp").value(), "x");
}

TEST(FsyncDir, SyncsDirectoriesAndReportsTheDirectory) {
    TempDir dir;
    EXPECT_TRUE(fsync_dir(dir.path));
    EXPECT_TRUE(fsync_dir(""));  // the working directory
    const Status missing = fsync_dir(dir.path / "absent");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(),
              fmt::format("io: No such file or directory (os error 2) [file={}]", (dir.path / "absent").string()));

    int calls = 0;
    ScopedDurableFault fault([&](DurableOp op, const fs::path& path, std::uint64_t, std::size_t&) {
        ++calls;
        EXPECT_EQ(path, dir.path);
        return op == DurableOp::sync_dir ? EIO : 0;
    });
    const Status failed = fsync_dir(dir.path);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().display(), fmt::format("io: Input/output error (os error 5) [file={}]", dir.path.string()));
    EXPECT_EQ(calls, 2);  // open_dir, then sync_dir
}

// Every way of replacing a file whole goes through one writer: the same operations in the same
// order reach the fault seam, a failure at any of them reports the same file and leaves the old
// content in place, and only write_atomic goes on to sync the directory.
TEST(ReplaceWhole, OneWriterBehindEveryEntryPoint) {
    TempDir dir;
    struct Entry {
        const char* name;
        std::function<Status(const fs::path&, std::string_view)> write;
        bool syncs_directory;
    };
    const std::vector<Entry> entries = {
        {"write_atomic", [](const fs::path& target, std::string_view bytes) { return write_atomic(target, bytes); }, true},
        {"replace_file", [](const fs::path& target, std::string_view bytes) { return replace_file(target, bytes); }, false},
        {"write_via_temp",
         [](const fs::path& target, std::string_view bytes) { return write_via_temp(target, temp_path_for(target), bytes); },
         false},
    };
    const std::vector<DurableOp> file_steps = {DurableOp::open_temp, DurableOp::write, DurableOp::sync_file,
                                               DurableOp::close_file, DurableOp::rename};
    for (const Entry& entry : entries) {
        const fs::path target = dir.path / fmt::format("{}.json", entry.name);
        const fs::path tmp = dir.path / fmt::format("{}.tmp", entry.name);
        EXPECT_EQ(temp_path_for(target), tmp);
        write_text(target, "old");

        std::vector<DurableOp> seen;
        {
            ScopedDurableFault fault([&](DurableOp op, const fs::path&, std::uint64_t, std::size_t&) {
                seen.push_back(op);
                return 0;
            });
            ASSERT_TRUE(entry.write(target, "new content"));
        }
        std::vector<DurableOp> expected = file_steps;
        if (entry.syncs_directory) expected.insert(expected.end(), {DurableOp::open_dir, DurableOp::sync_dir});
        EXPECT_EQ(seen, expected) << entry.name;
        EXPECT_EQ(read_file(target).value(), "new content");

        for (const DurableOp failing : file_steps) {
            write_text(target, "old");
            const ScopedDurableFault fault([&](DurableOp op, const fs::path&, std::uint64_t, std::size_t&) {
                return op == failing ? EIO : 0;
            });
            const fs::path blamed = failing == DurableOp::rename ? target : tmp;
            expect_io(entry.write(target, "new content"), "Input/output error (os error 5)", blamed);
            EXPECT_EQ(read_file(target).value(), "old") << entry.name << " " << static_cast<int>(failing);
        }

        // A write cut to nothing is a write that makes no progress.
        write_text(target, "old");
        const ScopedDurableFault cut([&](DurableOp op, const fs::path&, std::uint64_t, std::size_t& length) {
            if (op == DurableOp::write) length = 0;
            return 0;
        });
        expect_io(entry.write(target, "new content"), "failed to write whole buffer", tmp);
        EXPECT_EQ(read_file(target).value(), "old");
    }
}

}  // namespace
}  // namespace vorp
