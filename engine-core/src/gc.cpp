#include "vorp/gc.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <string_view>
#include <unistd.h>
#include <unordered_map>

#include "vorp/fileio.h"

namespace vorp {

// ---- pin table ----------------------------------------------------------------------------------

namespace {

struct PinTable {
    PoisonMutex mutex{"pin-table"};
    std::unordered_map<std::string, std::map<std::uint64_t, std::size_t>> stores;
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

void pin(const std::filesystem::path& key, std::uint64_t generation) {
    std::string normalised = pin_key(key);
    PinTable& table = pin_table();
    auto guard = table.mutex.lock();
    ++table.stores[std::move(normalised)][generation];
}

void unpin(const std::filesystem::path& key, std::uint64_t generation) {
    const std::string normalised = pin_key(key);
    PinTable& table = pin_table();
    auto guard = table.mutex.lock();
    const auto store = table.stores.find(normalised);
    if (store == table.stores.end()) return;
    auto& generations = store->second;
    if (const auto counted = generations.find(generation); counted != generations.end()) {
        if (--counted->second == 0) generations.erase(counted);
    }
    if (generations.empty()) table.stores.erase(store);
}

std::set<std::uint64_t> pinned_generations(const std::filesystem::path& key) {
    const std::string normalised = pin_key(key);
    PinTable& table = pin_table();
    std::set<std::uint64_t> out;
    auto guard = table.mutex.lock();
    if (const auto store = table.stores.find(normalised); store != table.stores.end()) {
        for (const auto& [generation, count] : store->second) out.insert(generation);
    }
    return out;
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

}  // namespace vorp
