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

#include "vorp/durable.h"
#include "vorp/fileio.h"
#include "vorp/pins.h"
#include "vorp/manifest_chain.h"
#include "vorp/segment_cache.h"
#include "vorp/store.h"
#include "vorp/text.h"

namespace vorp {

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
    if (store.manifest().format != MANIFEST_FORMAT_VERSION) return fail(read_only_format_error(store.manifest().format));
    const WriterGuard writing = VORP_TRY(WriterGuard::acquire(store.pin_path(), store.root()));
    VORP_TRY(store.check_not_behind());

    const std::filesystem::path& root = store.root();
    const std::filesystem::path manifests = root / MANIFESTS_DIR;
    const std::uint64_t current = store.manifest().generation;
    const std::uint64_t window = std::max<std::uint64_t>(keep_last, 1) - 1;
    const std::uint64_t cutoff = current > window ? current - window : 0;
    const std::set<std::uint64_t> pinned = pinned_generations(store.pin_path());
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
