// The process-wide table of pinned generations, the directory flush every durable write ends
// with, and the fault seam of the durable write path.
//
// Pin table. A handle reads the files of its generation long after it opened them, and several
// handles of one process may hold different generations of one store. The table records, per store
// key, how many live handles hold each generation, so that a garbage collection run by a handle of
// this process never deletes files another handle still reads. It knows nothing of other processes
// and is never written to disk.
//
//   store key (normalised path) -> generation -> number of pins (always >= 1)
//
// A key is present exactly while one of its generations is pinned. One mutex ("pin-table") guards
// the table; it is a leaf lock held only for the map operations, never across file access.
//
// Keys compare by path components: repeated separators, a trailing separator and "." components
// other than a leading one do not count; nothing else is normalised (no case folding, no "..",
// no symbolic links: the handle resolves those once, when it computes its canonical root).
// std::filesystem::path's equality does not follow this rule (it keeps a trailing empty element
// and interior "." components), so keys are reduced to one canonical string first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "vorp/error.h"

namespace vorp {

// ---- pin table ----------------------------------------------------------------------------------

// The canonical string of a store key: "/" for the root, then the kept components joined by "/";
// a relative key keeps a leading "." component ("./a" and "a" differ). Equal keys give equal
// strings and different keys different ones.
std::string pin_key(const std::filesystem::path& key);

// Adds one pin of `generation` under `key`.
void pin(const std::filesystem::path& key, std::uint64_t generation);
// Removes one pin; unpinning what is not pinned changes nothing.
void unpin(const std::filesystem::path& key, std::uint64_t generation);
// A copy of the generations pinned under `key` (empty when none), taken under the lock.
std::set<std::uint64_t> pinned_generations(const std::filesystem::path& key);

// ---- durable writes ----------------------------------------------------------------------------

// Opens `dir` read-only, flushes it to stable storage (F_FULLFSYNC on macOS, fsync elsewhere,
// repeated while interrupted) and closes it, which makes a rename or creation inside it durable.
// An empty path is the working directory. Failure: `io` at the directory.
Status fsync_dir(const std::filesystem::path& dir);

// Fault seam. Every operating-system call of the durable write path (write_atomic, fsync_dir and
// the directory syncs of the store) first asks the installed hook, if any, whether to fail. Tests
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

}  // namespace vorp
