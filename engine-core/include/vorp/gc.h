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
// the table; it is a leaf lock held only for the map operations, never across file access. Nothing
// is allocated while it is held: the tree nodes a pin needs are made before the lock is taken and
// only linked in under it, and removed nodes are freed after it is released. So an allocation
// failure can neither leave the table half changed nor poison it, and a handle can always give its
// pin back (its destructor must never throw).
//
// Keys compare by path components: repeated separators, a trailing separator and "." components
// other than a leading one do not count; nothing else is normalised (no case folding, no "..",
// no symbolic links: the handle resolves those once, when it computes its canonical root).
// std::filesystem::path's equality does not follow this rule (it keeps a trailing empty element
// and interior "." components), so keys are reduced to one canonical string first.
//
// Writer guard. A handle's calls are serialised by the Python object's borrow, but two handles on
// one store are not, and the module does not rely on the interpreter lock. A collection that
// lists `seg/` while another handle seals a commit would take that commit's new segments for
// orphans and delete them before the commit names them. So every operation that writes a
// generation or removes files (commit, compaction, the current-only strip, the manifest upgrade,
// garbage collection) first takes the store's writer guard, keyed like the pin table; a second
// writer on the same store fails at once with `invariant` "another handle is writing to this
// store" and changes nothing. Under the guard, before writing anything, each of them then checks
// that CURRENT still names its handle's generation (NativeStore::check_not_behind), so a handle
// that another one has moved past publishes and collects nothing. The guard knows nothing of
// other processes; the check sees a process that wrote before it, not one writing at that instant.
//
// Garbage collection. Removes what no retained generation needs: the manifest-chain files of
// generations older than the retention window and not pinned by a handle of this process,
// leftover temporary files in `manifests/`, and every segment and close-run file that no remaining
// manifest-chain file names. Its steps are ordered so that a stop at any point leaves a store that
// opens at its current generation with every retained generation readable:
//
//   1. refusals (open batch, read-only format); nothing read or written yet
//   2. retained deltas whose parent file will go are rewritten in place as checkpoints (atomic
//      writes, then one directory sync) -- every reconstruction happens while the whole chain is
//      still on disk
//   3. `.tmp` leftovers and collected manifest-chain files removed, the newest collected first
//      (a stop part-way leaves only old files whose chains are whole), directory synced, so no
//      segment goes before the manifests naming it are gone for good
//   4. the live set: every file named by any remaining `.json` in `manifests/`
//   5. `seg/*.vos` and `close/*.voc` outside the live set removed, each directory synced
//   6. the handle's caches forget the removed segments
//
// A later run finishes whatever an interrupted one left. Nothing in the root (CURRENT,
// CURRENT_ONLY, dict.log), nothing under idx/, and no `.vos.tmp`/`.voc.tmp` is ever removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorp/error.h"

namespace vorp {

class NativeStore;

// ---- pin table ----------------------------------------------------------------------------------

// The canonical string of a store key: "/" for the root, then the kept components joined by "/";
// a relative key keeps a leading "." component ("./a" and "a" differ). Equal keys give equal
// strings and different keys different ones.
std::string pin_key(const std::filesystem::path& key);

using PinGenerations = std::map<std::uint64_t, std::size_t>;
using PinStores = std::map<std::string, PinGenerations, std::less<>>;

// One pin made ready: the nodes its insertion may need, allocated ahead. Taking it (pin) then
// allocates nothing and cannot fail.
class PinSlot {
public:
    // `normalised` is a pin_key. May throw std::bad_alloc.
    PinSlot(std::string normalised, std::uint64_t generation);
    PinSlot(PinSlot&&) noexcept = default;
    PinSlot& operator=(PinSlot&&) noexcept = default;

    std::uint64_t generation() const { return generation_; }

private:
    friend void pin(PinSlot&& slot) noexcept;
    std::uint64_t generation_ = 0;
    PinStores::node_type store_node_;             // the key with an empty generation map
    PinGenerations::node_type generation_node_;   // the generation with a count of 0
};

// Adds one pin of `generation` under `key`.
void pin(const std::filesystem::path& key, std::uint64_t generation);
// Adds the pin a slot was made for; the slot's unused nodes are freed after the lock.
void pin(PinSlot&& slot) noexcept;
// Removes one pin; unpinning what is not pinned changes nothing.
void unpin(const std::filesystem::path& key, std::uint64_t generation);
// The same under a key already normalised by pin_key; allocates nothing, never throws.
void unpin_normalised(std::string_view normalised, std::uint64_t generation) noexcept;
// A copy of the generations pinned under `key` (empty when none), taken under the lock.
std::set<std::uint64_t> pinned_generations(const std::filesystem::path& key);

// ---- durable writes ----------------------------------------------------------------------------

// Opens `dir` read-only, flushes it to stable storage (F_FULLFSYNC on macOS, fsync elsewhere,
// repeated while interrupted) and closes it, which makes a rename or creation inside it durable.
// An empty path is the working directory. Failure: `io` at the directory.
Status fsync_dir(const std::filesystem::path& dir);

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

// ---- writer guard ------------------------------------------------------------------------------

// Held by the one writing operation of a store; released when destroyed. Move-only.
class WriterGuard {
public:
    // Takes the guard of `key` (compared as pin_key compares). `invariant` "another handle is
    // writing to this store" when it is held already, by any handle of this process.
    static Result<WriterGuard> acquire(const std::filesystem::path& key);

    WriterGuard(WriterGuard&& other) noexcept : key_(std::move(other.key_)), held_(std::exchange(other.held_, false)) {}
    WriterGuard& operator=(WriterGuard&&) = delete;
    WriterGuard(const WriterGuard&) = delete;
    WriterGuard& operator=(const WriterGuard&) = delete;
    ~WriterGuard();

private:
    explicit WriterGuard(std::string key) : key_(std::move(key)), held_(true) {}
    std::string key_;
    bool held_ = false;
};

// Whether a writer holds the guard of `key` now (tests and diagnostics).
bool writer_active(const std::filesystem::path& key);

// ---- garbage collection ------------------------------------------------------------------------

// What one collection did; every counter starts at 0.
struct GcReport {
    std::size_t manifests_removed = 0;     // manifest-chain files of collected generations
    std::size_t segments_removed = 0;      // files removed from seg/
    std::size_t close_runs_removed = 0;    // files removed from close/
    std::uint64_t bytes_reclaimed = 0;     // sizes of every file removed, .tmp leftovers included
    std::size_t generations_retained = 0;  // .json files read into the live set after the removals

    bool operator==(const GcReport&) const = default;
};

namespace gc {

// The names of the entries of `dir` ("." and ".." left out), sorted by bytes. Names that are not
// valid UTF-8 are left out: the engine never writes one, and a lossy conversion would name a path
// that does not exist, so every later run would fail on it. `io` at the directory on failure.
Result<std::vector<std::string>> list_dir(const std::filesystem::path& dir);

// Unlinks `path` and returns its size (0 when its metadata cannot be read). Passes the crash point
// "gc_mid_delete" first. `io` at the path on failure.
Result<std::uint64_t> remove(const std::filesystem::path& path);

// Collects the store of `store`, keeping the `keep_last` most recent generations (0 counts as 1)
// and every generation a handle of this process has pinned. Needs exclusive use of the handle;
// takes the store's writer guard. The handle's manifest, Merkle state, generation and checkpoint
// generation never change; only its caches forget removed segments.
Result<GcReport> collect(NativeStore& store, std::uint64_t keep_last);

}  // namespace gc

}  // namespace vorp
