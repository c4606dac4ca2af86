// The process-wide table of pinned generations and the writer guard of a store.
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
// orphans and delete them before the commit names them; two commits that both start from one
// CURRENT give their segments the same ids and write the same manifest-chain file. So every
// operation that writes a generation or removes files (commit, compaction, the current-only
// strip, the manifest upgrade, garbage collection) first takes the store's writer guard, in two
// steps: a slot keyed like the pin table, which excludes the other handles of this process, then
// an exclusive flock(2) on a descriptor of the store's root directory, which excludes every other
// process. Neither waits: a second writer fails at once with `invariant` "another handle is
// writing to this store" and changes nothing. The lock adds no file to the store and goes with
// the descriptor, so a process that dies, however it dies, releases it. Where the file system
// cannot lock, the writer goes ahead with the in-process slot alone.
//
// Under the guard, before writing anything, each writer then checks that CURRENT still names its
// handle's generation (NativeStore::check_not_behind), so a handle that another one, in this
// process or another, has moved past publishes and collects nothing. Readers take no lock: a
// collector in another process can still remove the files of a generation a reader there holds,
// since pins are per process.
//
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "vorp/error.h"
#include "vorp/fileio.h"

namespace vorp {

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

// ---- writer guard ------------------------------------------------------------------------------

// The refusal of a writer while another one holds the guard, in this process or another.
inline constexpr std::string_view WRITER_BUSY_MESSAGE = "another handle is writing to this store";
inline constexpr std::string_view WRITER_BUSY_REMEDY = "retry when the other writer has finished";
// Whether `error` is that refusal: the caller's call changed nothing and may simply be retried.
bool is_writer_busy(const EngineError& error);

// Held by the one writing operation of a store; released when destroyed. Move-only.
class WriterGuard {
public:
    // Takes the guard of `key` (compared as pin_key compares) in this process, then, when `root`
    // is not empty, the lock of the directory `root` across processes. `invariant`
    // WRITER_BUSY_MESSAGE with WRITER_BUSY_REMEDY when either is held already; `io` at `root`
    // when the directory cannot be opened, or cannot be locked for another reason than a file
    // system without locks. A failure gives back whatever was taken.
    static Result<WriterGuard> acquire(const std::filesystem::path& key, const std::filesystem::path& root = {});

    WriterGuard(WriterGuard&& other) noexcept
        : key_(std::move(other.key_)), held_(std::exchange(other.held_, false)), lock_(std::move(other.lock_)) {}
    WriterGuard& operator=(WriterGuard&&) = delete;
    WriterGuard(const WriterGuard&) = delete;
    WriterGuard& operator=(const WriterGuard&) = delete;
    ~WriterGuard();

private:
    explicit WriterGuard(std::string key) : key_(std::move(key)), held_(true) {}
    Status lock_directory(const std::filesystem::path& root);
    std::string key_;
    bool held_ = false;
    Fd lock_;  // the locked directory; invalid when no lock is held
};

// Whether a writer holds the guard of `key` now (tests and diagnostics).
bool writer_active(const std::filesystem::path& key);

}  // namespace vorp
