// Thin, error-checked wrappers over the file services the engine needs. Every failure becomes an
// `io` EngineError "{strerror} (os error {n})"; callers attach the file they were working on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "vorp/error.h"

namespace vorp {

// An owned file descriptor, closed on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports a failed close (some file systems report write-back errors here).
    Status close();

private:
    int fd_ = -1;
};

// open(2) with EINTR retry; files are created with permission bits 0666 (before the umask).
Result<Fd> open_file(const std::filesystem::path& path, int flags);

// Writes every byte, retrying EINTR; a write that makes no progress is "failed to write whole buffer".
Status write_all(int fd, const void* data, std::size_t size);
// pwrite(2) of every byte at the given offset, with the same rules.
Status pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset);
// Reads exactly size bytes at offset; a short file is "failed to fill whole buffer".
Status pread_exact(int fd, void* data, std::size_t size, std::uint64_t offset);

// Flushes a file to stable storage (F_FULLFSYNC on macOS, fsync elsewhere), retrying EINTR.
Status full_sync(int fd);
// ftruncate(2) with EINTR retry.
Status truncate_fd(int fd, std::uint64_t length);
Result<std::uint64_t> file_size(int fd);

Status rename_file(const std::filesystem::path& from, const std::filesystem::path& to);
// Creates a directory and its missing parents with permission bits 0777 (before the umask).
Status create_dirs(const std::filesystem::path& dir);
// Whether stat(2) succeeds on `path` (following links); any failure counts as absent.
bool path_exists(const std::filesystem::path& path);
// Whether `path` names a directory (following links).
bool is_dir_path(const std::filesystem::path& path);

// Whole-file read.
Result<std::string> read_file(const std::filesystem::path& path);

// The names in a directory ("." and ".." left out), in the order readdir(3) gives them. A failure
// to open the directory or to read an entry fails the whole listing: a directory we cannot read is
// never taken for an empty one. `io` at the directory on failure.
Result<std::vector<std::string>> list_names(const std::filesystem::path& dir);

}  // namespace vorp
