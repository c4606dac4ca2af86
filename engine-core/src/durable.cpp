#include "vorp/durable.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <fmt/format.h>

#include "vorp/env.h"
#include "vorp/fileio.h"
#include "vorp/text.h"

namespace vorp {

// ---- fault seam ----------------------------------------------------------------------------------

namespace {

std::atomic<bool> g_fault_armed{false};
// Written only while no durable write runs (set_durable_fault_hook's contract).
DurableFaultHook& fault_hook() {
    static DurableFaultHook* hook = new DurableFaultHook();
    return *hook;
}

EngineError injected(int errnum, const std::filesystem::path& path) {
    return EngineError::from_errno(errnum).at_file(path);
}

// A single write(2) moves at most this many bytes.
constexpr std::size_t MAX_WRITE_CHUNK = 2147483647;

}  // namespace

void set_durable_fault_hook(DurableFaultHook hook) {
    g_fault_armed.store(false, std::memory_order_release);
    fault_hook() = std::move(hook);
    if (fault_hook()) g_fault_armed.store(true, std::memory_order_release);
}

int durable_fault(DurableOp op, const std::filesystem::path& path, std::uint64_t written, std::size_t& length) {
    if (!g_fault_armed.load(std::memory_order_relaxed)) [[likely]]
        return 0;
    std::atomic_thread_fence(std::memory_order_acquire);
    return fault_hook()(op, path, written, length);
}

// ---- directory sync ------------------------------------------------------------------------------

Status fsync_dir(const std::filesystem::path& dir) {
    const std::filesystem::path target = dir.empty() ? std::filesystem::path(".") : dir;
    if (const int errnum = durable_fault(DurableOp::open_dir, target)) return fail(injected(errnum, dir));
    Fd fd = VORP_TRY_FILE(dir, open_file(target, O_RDONLY | O_DIRECTORY));
    if (const int errnum = durable_fault(DurableOp::sync_dir, target)) return fail(injected(errnum, dir));
    VORP_TRY_FILE(dir, full_sync(fd.get()));
    VORP_TRY_FILE(dir, fd.close());
    return ok();
}

// ---- files replaced whole ------------------------------------------------------------------------

namespace {

// The one writer of a file replaced whole: `tmp` created or truncated (a leftover from an earlier
// crash is reused, never appended to), every byte written, fsync, close, rename over `target`.
// Each step first asks the fault seam.
Status write_then_rename(const std::filesystem::path& target, const std::filesystem::path& tmp, std::string_view bytes) {
    if (const int errnum = durable_fault(DurableOp::open_temp, tmp)) return fail(injected(errnum, tmp));
    Fd fd = VORP_TRY_FILE(tmp, open_file(tmp, O_WRONLY | O_CREAT | O_TRUNC));
    std::uint64_t written = 0;
    while (written < bytes.size()) {
        std::size_t chunk = std::min<std::size_t>(bytes.size() - written, MAX_WRITE_CHUNK);
        if (const int errnum = durable_fault(DurableOp::write, tmp, written, chunk)) return fail(injected(errnum, tmp));
        chunk = std::min<std::size_t>(chunk, bytes.size() - written);
        // A hook that cut the chunk to nothing stands for a write that makes no progress.
        if (chunk == 0) return fail(EngineError::io("failed to write whole buffer").at_file(tmp));
        VORP_TRY_FILE(tmp, write_all(fd.get(), bytes.data() + written, chunk));
        written += chunk;
    }
    if (const int errnum = durable_fault(DurableOp::sync_file, tmp)) return fail(injected(errnum, tmp));
    VORP_TRY_FILE(tmp, full_sync(fd.get()));
    if (const int errnum = durable_fault(DurableOp::close_file, tmp)) return fail(injected(errnum, tmp));
    VORP_TRY_FILE(tmp, fd.close());
    if (const int errnum = durable_fault(DurableOp::rename, target)) return fail(injected(errnum, target));
    VORP_TRY_FILE(target, rename_file(tmp, target));
    return ok();
}

}  // namespace

std::filesystem::path temp_path_for(const std::filesystem::path& target) {
    std::filesystem::path tmp = target;
    if (target.has_extension()) {
        tmp.replace_extension("tmp");
    } else {
        tmp += ".tmp";
    }
    return tmp;
}

Status replace_file(const std::filesystem::path& target, std::string_view bytes) {
    return write_then_rename(target, temp_path_for(target), bytes);
}

Status write_atomic(const std::filesystem::path& target, std::string_view bytes) {
    VORP_TRY(replace_file(target, bytes));
    // A bare file name lives in the working directory, which fsync_dir syncs for an empty path.
    return fsync_dir(target.parent_path());
}

Status write_via_temp(const std::filesystem::path& path, const std::filesystem::path& tmp_path, std::string_view image) {
    const std::filesystem::path parent = path.parent_path();
    VORP_TRY_FILE(parent, create_dirs(parent));
    return write_then_rename(path, tmp_path, image);
}

// ---- directories ---------------------------------------------------------------------------------

Status create_dirs_durable(const std::filesystem::path& dir) {
    // The directories this call creates: `dir` and its missing ancestors, deepest first.
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path probe = dir; !probe.empty() && !path_exists(probe);) {
        missing.push_back(probe);
        std::filesystem::path parent = probe.parent_path();
        if (parent == probe) break;
        probe = std::move(parent);
    }
    if (missing.empty()) {
        // Something is there already. A file in place of the directory would be accepted here and
        // break the first write into it, so it fails now, as mkdir reports it (EEXIST).
        if (is_dir_path(dir)) return ok();
        VORP_TRY_FILE(dir, create_dirs(dir));
        return ok();
    }
    VORP_TRY_FILE(dir, create_dirs(dir));
    // Each new entry becomes durable with a sync of its parent, outermost first.
    for (auto created = missing.rbegin(); created != missing.rend(); ++created)
        VORP_TRY(fsync_dir(created->parent_path()));
    return ok();
}

// ---- crash points --------------------------------------------------------------------------------

void crash_point(std::string_view name) {
    const std::optional<std::string> armed = env_text(CRASH_POINT_ENV);
    if (!armed || *armed != name) return;
    const std::string line = fmt::format("VORP_CRASH_POINT hit: {}\n", name);
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    std::abort();
}

}  // namespace vorp
