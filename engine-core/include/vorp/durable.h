// The durable-file layer: every write that must survive a power loss goes through here. It sits
// on fileio's thin system-call wrappers and below every format and the store.
//
//   replace_file / write_via_temp   a file replaced whole: temporary file written, fsync, close,
//                                   rename over the target (one writer serves both; they differ
//                                   only in the temporary name and whether missing parent
//                                   directories are created)
//   write_atomic                    replace_file, then the target's directory synced
//   fsync_dir                       a directory flushed, so a rename or creation inside it is durable
//   create_dirs_durable             missing directories created, each synced into its parent
//   crash_point                     the test kill points of the write path (VORP_CRASH_POINT)
//
// Why the order: a rename is atomic but not durable until its directory is flushed, and the data
// renamed must be on stable storage before the name points at it; so data sync, then rename, then
// directory sync. A crash at any instant leaves either the old file or the complete new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string_view>
#include <utility>

#include "vorp/error.h"

namespace vorp {

inline constexpr std::string_view CRASH_POINT_ENV = "VORP_CRASH_POINT";

// Fault seam. Every operating-system call of the durable write path (write_atomic, fsync_dir, the
// directory syncs of the store, the segment and close-run writers, the sync of dict.log and the
// removals of garbage collection) first asks the installed hook, if any, whether to fail. Tests
// use it to make a write run out of space part-way, a sync or a rename fail, or a directory sync
// fail after a rename. With no hook installed the cost is one relaxed atomic load per call.
enum class DurableOp : std::uint8_t {
    open_temp,  // creating or truncating the temporary file
    write,      // one write(2) of a chunk
    sync_file,  // flushing the temporary file
    close_file, // closing it
    rename,     // moving it over the target
    open_dir,   // opening a directory to flush it
    sync_dir,   // flushing the directory
    remove,     // unlinking a file (garbage collection)
};

// Asked before each operation with the path concerned (the temporary file, the target for a
// rename, the directory). For `write`, `written` is the number of bytes already written and
// `length` the size of the next chunk; the hook may lower `length` to cut the write short. The
// answer is 0 to go ahead, or the errno the operation then fails with.
using DurableFaultHook =
    std::function<int(DurableOp op, const std::filesystem::path& path, std::uint64_t written, std::size_t& length)>;

// Installs a hook (an empty function removes it). Only while no durable write is running: the
// seam is a test facility, not a runtime switch.
void set_durable_fault_hook(DurableFaultHook hook);

// The hook's answer for an operation; 0 when no hook is installed.
int durable_fault(DurableOp op, const std::filesystem::path& path, std::uint64_t written, std::size_t& length);
inline int durable_fault(DurableOp op, const std::filesystem::path& path) {
    std::size_t length = 0;
    return durable_fault(op, path, 0, length);
}

// Installs a hook for the lifetime of the object, then removes it.
class ScopedDurableFault {
public:
    explicit ScopedDurableFault(DurableFaultHook hook) { set_durable_fault_hook(std::move(hook)); }
    ~ScopedDurableFault() { set_durable_fault_hook({}); }
    ScopedDurableFault(const ScopedDurableFault&) = delete;
    ScopedDurableFault& operator=(const ScopedDurableFault&) = delete;
};

// Opens `dir` read-only, flushes it to stable storage (F_FULLFSYNC on macOS, fsync elsewhere,
// repeated while interrupted) and closes it, which makes a rename or creation inside it durable.
// An empty path is the working directory. Failure: `io` at the directory.
Status fsync_dir(const std::filesystem::path& dir);

// The temporary name of a file replaced whole: the extension replaced by "tmp", or ".tmp" appended
// when the file name has none.
std::filesystem::path temp_path_for(const std::filesystem::path& target);

// Replaces `target` whole, so that a reader or a crash at any instant sees either the old content
// or the complete new one: temporary file (created or truncated, 0666 before the umask), every
// byte written, fsync, close, rename over the target, then the target's directory synced.
// Errors are `io` at the temporary file (open, write, sync, close), the target (rename) or the
// directory (its sync; the target is then already replaced).
Status write_atomic(const std::filesystem::path& target, std::string_view bytes);

// Steps 1-6 of write_atomic, without the directory sync; the caller syncs the directory itself
// (publish does, to tell a failure before the rename from one after it).
Status replace_file(const std::filesystem::path& target, std::string_view bytes);

// The writing pattern of segment and close-run files: missing parent directories created, the
// image written to `tmp_path` (created or truncated, 0666), fully synced, closed and renamed over
// `path`. The directory is not synced here (a commit syncs it once for all its files). Errors carry
// the file of the failing step: the parent directory (creating it), `tmp_path` (creating, writing,
// syncing, closing), `path` (the rename); callers return them unchanged.
Status write_via_temp(const std::filesystem::path& path, const std::filesystem::path& tmp_path, std::string_view image);

// When VORP_CRASH_POINT (read at every call) equals `name` byte for byte, writes
// "VORP_CRASH_POINT hit: {name}\n" to standard error and aborts the process at once: no unwinding,
// no flushing, files exactly as the write path left them. Otherwise returns.
void crash_point(std::string_view name);

// Creates `dir` and its missing parents (0777 before the umask); every directory this created is
// then synced into its parent. Failure: `io` at the directory concerned.
Status create_dirs_durable(const std::filesystem::path& dir);

}  // namespace vorp
