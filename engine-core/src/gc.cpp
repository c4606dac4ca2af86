#include "vorp/gc.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "vorp/fileio.h"
#include "vorp/manifest_chain.h"
#include "vorp/segment_cache.h"
#include "vorp/store.h"
#include "vorp/text.h"

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

// ---- durable writes ----------------------------------------------------------------------------

namespace {

std::atomic<bool> g_fault_armed{false};
// Written only while no durable write runs (set_durable_fault_hook's contract).
DurableFaultHook& fault_hook() {
    static DurableFaultHook* hook = new DurableFaultHook();
    return *hook;
}

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

Status fsync_dir(const std::filesystem::path& dir) {
    const std::filesystem::path target = dir.empty() ? std::filesystem::path(".") : dir;
    if (const int injected = durable_fault(DurableOp::open_dir, target))
        return fail(EngineError::from_errno(injected).at_file(dir));
    Fd fd = VORP_TRY_FILE(dir, open_file(target, O_RDONLY | O_DIRECTORY));
    if (const int injected = durable_fault(DurableOp::sync_dir, target))
        return fail(EngineError::from_errno(injected).at_file(dir));
    VORP_TRY_FILE(dir, full_sync(fd.get()));
    VORP_TRY_FILE(dir, fd.close());
    return ok();
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

}  // namespace

Result<WriterGuard> WriterGuard::acquire(const std::filesystem::path& key) {
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
    if (!inserted.inserted) return fail(EngineError::invariant("another handle is writing to this store"));
    return WriterGuard(std::move(normalised));
}

WriterGuard::~WriterGuard() {
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

// ---- garbage collection ------------------------------------------------------------------------

namespace gc {

Result<std::vector<std::string>> list_dir(const std::filesystem::path& dir) {
    std::vector<std::string> names = VORP_TRY(list_names(dir));
    std::erase_if(names, [](const std::string& name) { return validate_utf8(name).has_value(); });
    std::sort(names.begin(), names.end());
    return names;
}

Result<std::uint64_t> remove(const std::filesystem::path& path) {
    struct stat st {};
    const std::uint64_t size = ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    crash_point(CRASH_GC_MID_DELETE);
    if (const int errnum = durable_fault(DurableOp::remove, path)) return fail(EngineError::from_errno(errnum).at_file(path));
    if (::unlink(path.c_str()) != 0) return fail(EngineError::from_errno(errno).at_file(path));
    return size;
}

namespace {

// The generation a "<stem>.json" name stands for, if its stem is a generation number.
std::optional<std::uint64_t> json_generation(std::string_view name) {
    if (!name.ends_with(".json")) return std::nullopt;
    return parse_u64_decimal(name.substr(0, name.size() - 5));
}

// Step 2: every retained delta whose parent file goes becomes a self-contained checkpoint with
// the same generation, content and manifest_sha. Runs before any removal, so each reconstruction
// still finds the whole chain below it.
Status rewrite_orphaned_deltas(const std::filesystem::path& root, std::uint64_t current,
                               const std::vector<std::uint64_t>& listed, const auto& retained) {
    for (std::size_t index = 0; index < listed.size(); ++index) {
        const std::uint64_t generation = listed[index];
        if (!retained(generation) || generation > current) continue;
        if (index > 0 && generation > 0 && listed[index - 1] == generation - 1 && retained(listed[index - 1])) continue;
        const ManifestRecord record = VORP_TRY(read_record(root, generation));
        if (record.is_checkpoint()) continue;
        const Reconstructed rebuilt = VORP_TRY(reconstruct(root, generation));
        VORP_TRY(write_atomic(manifest_path(root, generation), checkpoint_json(rebuilt.manifest)));
    }
    return fsync_dir(root / MANIFESTS_DIR);
}

// Removes every name of `dir` with the extension that `live` does not hold as prefix + name.
Result<std::size_t> sweep(const std::filesystem::path& dir, std::string_view extension, std::string_view prefix,
                          const FileNameSet& live, std::uint64_t& bytes_reclaimed) {
    std::size_t removed = 0;
    std::string relative;
    for (const std::string& name : VORP_TRY(list_dir(dir))) {
        if (!name.ends_with(extension)) continue;
        relative.assign(prefix);
        relative.append(name);
        if (live.contains(relative)) continue;
        bytes_reclaimed += VORP_TRY(gc::remove(dir / name));
        ++removed;
    }
    VORP_TRY(fsync_dir(dir));
    return removed;
}

}  // namespace

Result<GcReport> collect(NativeStore& store, std::uint64_t keep_last) {
    if (store.in_batch()) return fail(EngineError::invariant("cannot collect generations while a batch is open"));
    if (store.manifest.format != MANIFEST_FORMAT_VERSION) return fail(read_only_format_error(store.manifest.format));
    const WriterGuard writing = VORP_TRY(WriterGuard::acquire(store.pin_path));
    VORP_TRY(store.check_not_behind());

    const std::filesystem::path& root = store.root;
    const std::filesystem::path manifests = root / MANIFESTS_DIR;
    const std::uint64_t current = store.manifest.generation;
    const std::uint64_t window = std::max<std::uint64_t>(keep_last, 1) - 1;
    const std::uint64_t cutoff = current > window ? current - window : 0;
    const std::set<std::uint64_t> pinned = pinned_generations(store.pin_path);
    const auto retained = [&](std::uint64_t generation) { return generation >= cutoff || pinned.contains(generation); };

    GcReport report;
    {
        std::vector<std::uint64_t> listed;
        for (const std::string& name : VORP_TRY(list_dir(manifests)))
            if (const auto generation = json_generation(name)) listed.push_back(*generation);
        std::sort(listed.begin(), listed.end());
        if (std::any_of(listed.begin(), listed.end(), [&](std::uint64_t g) { return !retained(g); }))
            VORP_TRY(rewrite_orphaned_deltas(root, current, listed, retained));
    }

    // Collected generations go newest first. A run that stops part-way then leaves the oldest
    // collected files, each with its whole chain below it, so a later run with a longer window (one
    // that retains some of them again) can still rebuild every one it has to rewrite. Oldest first,
    // it would leave deltas whose checkpoint is already gone.
    std::vector<std::pair<std::uint64_t, std::string>> collected;
    for (std::string& name : VORP_TRY(list_dir(manifests))) {
        if (name.ends_with(".tmp")) {
            report.bytes_reclaimed += VORP_TRY(gc::remove(manifests / name));
        } else if (const auto generation = json_generation(name); generation && !retained(*generation)) {
            collected.emplace_back(*generation, std::move(name));
        }
    }
    std::sort(collected.begin(), collected.end(), std::greater<>());
    for (const auto& [generation, name] : collected) {
        report.bytes_reclaimed += VORP_TRY(gc::remove(manifests / name));
        ++report.manifests_removed;
    }
    VORP_TRY(fsync_dir(manifests));

    FileNameSet live;
    for (const std::string& name : VORP_TRY(list_dir(manifests))) {
        if (!name.ends_with(".json")) continue;
        const std::filesystem::path file = manifests / name;
        const std::string text = VORP_TRY_FILE(file, read_file(file));
        if (const auto invalid = validate_utf8(text))
            return fail(EngineError::io("stream did not contain valid UTF-8").at_file(file));
        const ManifestRecord record = VORP_TRY_FILE(file, parse_record(text));
        ++report.generations_retained;
        for (const std::string_view referenced : record.referenced_files()) live.emplace(referenced);
    }

    report.segments_removed = VORP_TRY(sweep(root / SEG_DIR, ".vos", "seg/", live, report.bytes_reclaimed));
    report.close_runs_removed = VORP_TRY(sweep(root / CLOSE_DIR, ".voc", "close/", live, report.bytes_reclaimed));
    store.evict_segments_not_in(live);
    return report;
}

}  // namespace gc

}  // namespace vorp
