#include "vorp/fileio.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorp {

namespace {
EngineError last_os_error() { return EngineError::from_errno(errno); }
}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Status Fd::close() {
    if (fd_ < 0) return ok();
    const int fd = release();
    // POSIX leaves the descriptor state unspecified after EINTR; Linux always frees it, so the
    // call is not retried.
    if (::close(fd) != 0 && errno != EINTR) return fail(last_os_error());
    return ok();
}

Result<Fd> open_file(const std::filesystem::path& path, int flags) {
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) return Fd(fd);
        if (errno != EINTR) return fail(last_os_error());
    }
}

Status write_all(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(last_os_error());
        }
        if (n == 0) return fail(EngineError::io("failed to write whole buffer"));
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return ok();
}

Status pwrite_all(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(last_os_error());
        }
        if (n == 0) return fail(EngineError::io("failed to write whole buffer"));
        bytes += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return ok();
}

Status pread_exact(int fd, void* data, std::size_t size, std::uint64_t offset) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(last_os_error());
        }
        if (n == 0) return fail(EngineError::io("failed to fill whole buffer"));
        bytes += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return ok();
}

Status full_sync(int fd) {
    for (;;) {
#if defined(__APPLE__)
        const int rc = ::fcntl(fd, F_FULLFSYNC);
#else
        const int rc = ::fsync(fd);
#endif
        if (rc == 0) return ok();
        if (errno != EINTR) return fail(last_os_error());
    }
}

Status truncate_fd(int fd, std::uint64_t length) {
    for (;;) {
        if (::ftruncate(fd, static_cast<off_t>(length)) == 0) return ok();
        if (errno != EINTR) return fail(last_os_error());
    }
}

Result<std::uint64_t> file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(last_os_error());
    return static_cast<std::uint64_t>(st.st_size);
}

Status rename_file(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return fail(last_os_error());
    return ok();
}

namespace {
bool is_existing_directory(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
}  // namespace

Status create_dirs(const std::filesystem::path& dir) {
    if (dir.empty()) return ok();
    // mkdir first: an existing directory (also one another process creates meanwhile) is accepted,
    // and any other failure reports what mkdir itself said about this path (a file in the way is
    // EEXIST, a file in place of an ancestor ENOTDIR).
    if (::mkdir(dir.c_str(), 0777) == 0) return ok();
    int error = errno;
    if (error == ENOENT) {
        const std::filesystem::path parent = dir.parent_path();
        if (!parent.empty() && parent != dir) VORP_TRY(create_dirs(parent));
        if (::mkdir(dir.c_str(), 0777) == 0) return ok();
        error = errno;
    }
    if (is_existing_directory(dir)) return ok();
    return fail(EngineError::from_errno(error));
}

Result<std::string> read_file(const std::filesystem::path& path) {
    Fd fd = VORP_TRY(open_file(path, O_RDONLY));
    // Read straight into a buffer of the file's size; keep reading past it in case the file grew.
    const std::uint64_t expected = VORP_TRY(file_size(fd.get()));
    std::string out;
    std::size_t filled = 0;
    out.resize(static_cast<std::size_t>(expected) + 1);
    for (;;) {
        if (filled == out.size()) out.resize(out.size() * 2);
        const ssize_t n = ::read(fd.get(), out.data() + filled, out.size() - filled);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(last_os_error());
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    out.resize(filled);
    return out;
}

Result<std::vector<std::string>> list_names(const std::filesystem::path& dir) {
    DIR* stream = ::opendir(dir.c_str());
    if (stream == nullptr) return fail(EngineError::from_errno(errno).at_file(dir));
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            const int error = errno;
            ::closedir(stream);
            if (error != 0) return fail(EngineError::from_errno(error).at_file(dir));
            return names;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
}

bool path_exists(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_dir_path(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace vorp
