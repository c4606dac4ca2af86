#include "vorp/pins.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

#include <set>
#include <string>
#include <vector>

namespace vorp {

// ---- pin table ----------------------------------------------------------------------------------

namespace {

// A tree rather than a hash map: linking a prepared node into a tree never allocates, while a hash
// map may have to grow its bucket array.
struct PinTable {
    PoisonMutex mutex{"pin-table"};
    PinStores stores;
};

// Created on first use and kept until the process ends (never destroyed, so a handle dropped
// during static destruction still finds it).
PinTable& pin_table() {
    static PinTable* table = new PinTable();
    return *table;
}

}  // namespace

std::string pin_key(const std::filesystem::path& key) {
    const std::string_view text = key.native();
    const bool absolute = !text.empty() && text.front() == '/';
    std::string out = absolute ? "/" : "";
    bool any_component = false;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('/', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view component = text.substr(pos, end - pos);
        const bool leading = pos == 0;
        pos = end + 1;
        if (component.empty()) continue;
        // "." counts only as the very first component of a relative key.
        if (component == "." && !(leading && !absolute)) continue;
        if (any_component) out.push_back('/');
        out.append(component);
        any_component = true;
    }
    return out;
}

PinSlot::PinSlot(std::string normalised, std::uint64_t generation) : generation_(generation) {
    PinStores stores;
    stores.emplace(std::move(normalised), PinGenerations());
    store_node_ = stores.extract(stores.begin());
    PinGenerations generations;
    generations.emplace(generation, 0);
    generation_node_ = generations.extract(generations.begin());
}

// Every change of the table under its lock is a lookup, a counter, or linking or unlinking a node,
// none of which can fail part-way: the lock is taken even when a panic elsewhere poisoned it.
void pin(PinSlot&& slot) noexcept {
    PinSlot taken = std::move(slot);  // destroyed after the guard below: unused nodes are freed unlocked
    PinTable& table = pin_table();
    auto guard = table.mutex.lock_even_if_poisoned();
    auto store = table.stores.find(taken.store_node_.key());
    if (store == table.stores.end()) store = table.stores.insert(std::move(taken.store_node_)).position;
    PinGenerations& generations = store->second;
    auto counted = generations.find(taken.generation_);
    if (counted == generations.end()) counted = generations.insert(std::move(taken.generation_node_)).position;
    ++counted->second;
}

void pin(const std::filesystem::path& key, std::uint64_t generation) { pin(PinSlot(pin_key(key), generation)); }

void unpin_normalised(std::string_view normalised, std::uint64_t generation) noexcept {
    // Declared before the guard, so the nodes taken out are freed after it is released.
    PinStores::node_type removed_store;
    PinGenerations::node_type removed_generation;
    PinTable& table = pin_table();
    auto guard = table.mutex.lock_even_if_poisoned();
    const auto store = table.stores.find(normalised);
    if (store == table.stores.end()) return;
    PinGenerations& generations = store->second;
    if (const auto counted = generations.find(generation); counted != generations.end()) {
        if (--counted->second == 0) removed_generation = generations.extract(counted);
    }
    if (generations.empty()) removed_store = table.stores.extract(store);
}

void unpin(const std::filesystem::path& key, std::uint64_t generation) { unpin_normalised(pin_key(key), generation); }

std::set<std::uint64_t> pinned_generations(const std::filesystem::path& key) {
    const std::string normalised = pin_key(key);
    PinTable& table = pin_table();
    // The generations are copied into room made before the lock; when the table grew meanwhile,
    // the room is widened outside the lock and the copy taken again.
    std::vector<std::uint64_t> copied;
    for (;;) {
        std::size_t needed = 0;
        {
            auto guard = table.mutex.lock_even_if_poisoned();
            const auto store = table.stores.find(normalised);
            if (store == table.stores.end()) return {};
            needed = store->second.size();
            if (needed <= copied.capacity()) {
                copied.clear();
                for (const auto& [generation, count] : store->second) copied.push_back(generation);
                break;
            }
        }
        copied.reserve(needed);
    }
    return std::set<std::uint64_t>(copied.begin(), copied.end());
}

// ---- writer guard ------------------------------------------------------------------------------

namespace {

// Like the pin table, changed under its lock only by linking and unlinking prepared nodes.
struct WriterTable {
    PoisonMutex mutex{"writer-guard"};
    std::set<std::string, std::less<>> writing;
};

WriterTable& writer_table() {
    static WriterTable* table = new WriterTable();
    return *table;
}

EngineError writer_busy_error() {
    EngineError error = EngineError::invariant(std::string(WRITER_BUSY_MESSAGE));
    error.remedy = std::string(WRITER_BUSY_REMEDY);
    return error;
}

}  // namespace

bool is_writer_busy(const EngineError& error) {
    return error.category == Category::Invariant && error.message == WRITER_BUSY_MESSAGE;
}

Result<WriterGuard> WriterGuard::acquire(const std::filesystem::path& key, const std::filesystem::path& root) {
    std::string normalised = pin_key(key);
    // The node and the guard's own copy of the key are made before the lock.
    decltype(WriterTable::writing) spare;
    spare.insert(normalised);
    decltype(WriterTable::writing)::insert_return_type inserted;
    {
        WriterTable& table = writer_table();
        auto guard = table.mutex.lock_even_if_poisoned();
        inserted = table.writing.insert(spare.extract(spare.begin()));
    }
    if (!inserted.inserted) return fail(writer_busy_error());
    // The slot belongs to `writing` from here on: any failure below gives it back.
    WriterGuard writing(std::move(normalised));
    if (!root.empty()) VORP_TRY(writing.lock_directory(root));
    return writing;
}

Status WriterGuard::lock_directory(const std::filesystem::path& root) {
    // Read-only is all flock needs, and a directory can be opened no other way.
    Fd dir = VORP_TRY_FILE(root, open_file(root, O_RDONLY | O_DIRECTORY));
    for (;;) {
        if (::flock(dir.get(), LOCK_EX | LOCK_NB) == 0) break;
        switch (errno) {
            case EINTR: continue;
            case EWOULDBLOCK: return fail(writer_busy_error());
            // A file system that cannot lock: the write goes ahead unlocked. NFS emulates flock
            // with byte-range locks, which refuse an exclusive lock on a read-only descriptor (EBADF).
            case EOPNOTSUPP:
            case ENOLCK:
            case ENOSYS:
            case EBADF: return ok();
            default: return fail(EngineError::from_errno(errno).at_file(root));
        }
    }
    lock_ = std::move(dir);
    return ok();
}

// The directory lock goes first: were the slot given back first, another handle of this process
// could take it while the lock is still held here and be refused for a writer that has finished.
// Closing the descriptor releases the lock.
WriterGuard::~WriterGuard() {
    lock_ = Fd();
    if (!held_) return;
    decltype(WriterTable::writing)::node_type released;  // freed after the lock
    WriterTable& table = writer_table();
    auto guard = table.mutex.lock_even_if_poisoned();
    if (const auto held = table.writing.find(key_); held != table.writing.end()) released = table.writing.extract(held);
}

bool writer_active(const std::filesystem::path& key) {
    const std::string normalised = pin_key(key);
    WriterTable& table = writer_table();
    auto guard = table.mutex.lock_even_if_poisoned();
    return table.writing.contains(normalised);
}

}  // namespace vorp
