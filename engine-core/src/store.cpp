#include "vorp/store.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>

#include "vorp/clock.h"
#include "vorp/current.h"
#include "vorp/env.h"
#include "vorp/fileio.h"
#include "vorp/row.h"
#include "vorp/text.h"

namespace vorp {

namespace {

// The extension of a file name: the text after the last '.', when that dot is not the first
// character.
std::optional<std::string_view> extension_of(std::string_view name, std::string_view* stem = nullptr) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::nullopt;
    if (stem != nullptr) *stem = name.substr(0, dot);
    return name.substr(dot + 1);
}

EngineError populated_without_current(std::size_t manifests, std::size_t segments) {
    EngineError error = EngineError::corrupt(fmt::format(
        "store has {} manifest(s) / {} segment(s) but no CURRENT — refusing to treat a populated directory as empty; "
        "if this is a crashed first commit, remove the orphans or restore CURRENT",
        manifests, segments));
    error.remedy =
        "remove the orphaned manifests/segments if this was a crashed first commit, or restore CURRENT from a backup";
    return error;
}

// Releases a field now: its content is moved out and destroyed at the end of the statement.
template <class Field>
void release(Field& field) {
    [[maybe_unused]] Field discarded = std::move(field);
}

}  // namespace

// ---- durable writes ------------------------------------------------------------------------------

Result<Published> publish(const std::filesystem::path& root, const std::optional<DeltaBase>& base,
                          std::uint64_t checkpoint_generation, const Manifest& manifest, bool force,
                          std::uint64_t every, PublishPoint* reached) {
    if (manifest.format != MANIFEST_FORMAT_VERSION) return fail(read_only_format_error(manifest.format));

    Published published;
    PublishStats& stats = published.stats;
    const Stopwatch build_clock;
    const std::uint64_t cadence = every != 0 ? manifest.generation % every : manifest.generation;
    std::optional<std::string> bytes;
    if (!force && base && cadence != 0) {
        if (auto delta = ManifestDelta::from_appends(manifest, *base, checkpoint_generation)) {
            bytes = delta->to_json();
            stats.checkpoint_generation = checkpoint_generation;
        }
    }
    if (!bytes) {
        bytes = checkpoint_json(manifest);
        stats.checkpoint_generation = manifest.generation;
    }
    stats.delta_build_us = build_clock.elapsed_us();
    stats.manifest_bytes = bytes->size();

    const Stopwatch manifest_clock;
    VORP_TRY(write_atomic(manifest_path(root, manifest.generation), *bytes));
    stats.manifest_us = manifest_clock.elapsed_us();
    crash_point(CRASH_AFTER_MANIFEST);

    // The rename of CURRENT is the commit point; the directory sync after it decides only
    // whether the switch is durable yet, not whether it happened.
    const Stopwatch current_clock;
    const std::filesystem::path current = root / CURRENT_FILE;
    VORP_TRY(replace_file(current, format_current(manifest.generation, manifest.manifest_sha)));
    if (reached != nullptr) *reached = PublishPoint{true, stats.checkpoint_generation};
    if (auto synced = fsync_dir(current.parent_path()); !synced) {
        EngineError cause = std::move(synced).error();
        EngineError error = EngineError::io(fmt::format("generation {} was published but its directory could not be synced: {}",
                                                        manifest.generation, cause.message));
        error.location = std::move(cause.location);
        published.unsynced = std::move(error);
    }
    crash_point(CRASH_AFTER_CURRENT);
    stats.current_us = current_clock.elapsed_us();
    return published;
}

// ---- open ----------------------------------------------------------------------------------------

Result<CurrentLine> read_current(const std::filesystem::path& root) {
    const std::filesystem::path current = root / CURRENT_FILE;
    const std::string text = VORP_TRY_FILE(current, read_file(current));
    return VORP_TRY_FILE(current, parse_current(text));
}

namespace {

std::atomic<bool> g_current_read_hook_armed{false};
// Written only while no store is being opened (set_current_read_hook's contract).
CurrentReadHook& current_read_hook() {
    static CurrentReadHook* hook = new CurrentReadHook();
    return *hook;
}

void after_current_read(std::uint64_t generation) {
    if (!g_current_read_hook_armed.load(std::memory_order_relaxed)) [[likely]]
        return;
    std::atomic_thread_fence(std::memory_order_acquire);
    current_read_hook()(generation);
}

// The generation that `line` names, rebuilt from its chain and checked against its sha.
Result<Reconstructed> load_generation(const std::filesystem::path& root, const CurrentLine& line) {
    after_current_read(line.generation);
    const std::filesystem::path chain_file = manifest_path(root, line.generation);
    if (!path_exists(chain_file))
        return fail(EngineError::corrupt(fmt::format("CURRENT points at generation {} but its manifest is missing",
                                                     line.generation))
                        .at_file(chain_file));
    Reconstructed rebuilt = VORP_TRY(reconstruct(root, line.generation));
    if (rebuilt.manifest.manifest_sha != line.sha)
        return fail(EngineError::corrupt(fmt::format("CURRENT records sha {} but manifest {} has {}", line.sha,
                                                     line.generation, rebuilt.manifest.manifest_sha))
                        .at_file(chain_file));
    return rebuilt;
}

}  // namespace

void set_current_read_hook(CurrentReadHook hook) {
    g_current_read_hook_armed.store(false, std::memory_order_release);
    current_read_hook() = std::move(hook);
    if (current_read_hook()) g_current_read_hook_armed.store(true, std::memory_order_release);
}

bool names_missing_file(const EngineError& error) {
    if (error.os_error_code() == ENOENT) return true;
    if (!error.location.file) return false;
    struct stat st {};
    return ::stat(error.location.file->c_str(), &st) != 0 && errno == ENOENT;
}

Result<Reconstructed> load_current(const std::filesystem::path& root) {
    CurrentLine line = VORP_TRY(read_current(root));
    for (unsigned round = 1;; ++round) {
        Result<Reconstructed> rebuilt = load_generation(root, line);
        if (rebuilt || round == OPEN_ROUNDS || !names_missing_file(rebuilt.error())) return rebuilt;
        // A collection in another process has moved CURRENT on before removing this generation:
        // the store is sound, only this open came late. Telling the user to restore the previous
        // generation would roll back commits.
        Result<CurrentLine> again = read_current(root);
        if (!again || again->generation == line.generation) return rebuilt;
        line = std::move(*again);
    }
}

Status refuse_if_populated_without_current(const std::filesystem::path& root) {
    std::vector<std::uint64_t> numbered;
    const std::filesystem::path manifests = root / MANIFESTS_DIR;
    if (is_dir_path(manifests)) {
        for (const std::string& name : VORP_TRY(list_names(manifests))) {
            std::string_view stem;
            if (extension_of(name, &stem) != "json") continue;
            if (const auto generation = parse_u64_decimal(stem)) numbered.push_back(*generation);
        }
    }
    std::size_t segments = 0;
    const std::filesystem::path seg = root / SEG_DIR;
    if (is_dir_path(seg)) {
        for (const std::string& name : VORP_TRY(list_names(seg)))
            if (extension_of(name) == "vos") ++segments;
    }
    struct stat dict_stat {};
    const bool dict_empty = ::stat((root / DICT_LOG_FILE).c_str(), &dict_stat) != 0 || dict_stat.st_size == 0;

    if (dict_empty && segments == 0 && numbered.empty()) return ok();
    // What a crash between the two writes of a first open leaves: the genesis checkpoint alone.
    if (dict_empty && segments == 0 && numbered.size() == 1 && numbered.front() == 0) {
        if (auto record = read_record(root, 0); record && record->is_checkpoint()) {
            const Manifest& genesis = record->checkpoint();
            if (genesis.generation == 0 && !genesis.parent && genesis.event_log.offset == 0) return ok();
        }
    }
    return fail(populated_without_current(numbered.size(), segments));
}

std::optional<std::uint64_t> cache_budget(std::optional<std::string_view> env, std::optional<std::uint64_t> ram_bytes) {
    const auto half_of_memory = [&]() -> std::optional<std::uint64_t> {
        if (!ram_bytes) return std::nullopt;
        return *ram_bytes / 2;
    };
    const std::optional<std::uint64_t> value = parse_env_count(env);
    if (!value) return half_of_memory();
    if (*value == 0) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> meminfo_total_bytes(std::string_view meminfo) {
    constexpr std::string_view KEY = "MemTotal:";
    std::size_t pos = 0;
    while (pos <= meminfo.size()) {
        std::size_t end = meminfo.find('\n', pos);
        if (end == std::string_view::npos) end = meminfo.size();
        std::string_view line = meminfo.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.starts_with(KEY)) continue;
        std::string_view value = trim_unicode_whitespace(line.substr(KEY.size()));
        if (value.ends_with("kB")) value = trim_unicode_whitespace(value.substr(0, value.size() - 2));
        const std::optional<std::uint64_t> kib = parse_u64_decimal(value);
        // A size whose byte count does not fit 64 bits is no size at all.
        if (!kib || *kib > std::numeric_limits<std::uint64_t>::max() / 1024) return std::nullopt;
        return *kib * 1024;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> detected_ram_bytes() {
    auto text = read_file("/proc/meminfo");
    if (!text || validate_utf8(*text)) return std::nullopt;
    return meminfo_total_bytes(*text);
}

NativeStore::NativeStore(std::filesystem::path root_path)
    : root_(std::move(root_path)), dict_(Dictionary::for_root(root_)) {}

NativeStore::~NativeStore() {
    // Unpin first, so that a garbage collection never sees this handle's generation as held by
    // a handle that is half gone; then release the fields in declaration order.
    //
    // A throw from here would end the process, so nothing here takes a lock that may be poisoned
    // (a panic in an earlier call, already reported to the caller, leaves its mutex so) or
    // allocates. No call can be running on a handle being destroyed, so its own fields need no
    // lock; the pin is given back by its precomputed key, and the pin table never refuses that.
    if (pinned_) unpin_normalised(pin_key_, pinned_generation_);
    release(root_);
    release(pin_path_);
    release(dict_);
    release(manifest_);
    release(merkle_);
    release(batch_.staging.edges);
    release(batch_.staging.nodes);
    release(batch_.staging.staged_edge_vids);
    release(batch_.staging.staged_node_vids);
    release(batch_.vid_closes);
    release(batch_.closes);
    release(caches_.stats);
    // The postings go with the caches, after the segment cache.
    release(batch_.close_index);
    caches_.segments.reset();
}

Result<std::unique_ptr<NativeStore>> NativeStore::open(std::string_view path) {
    const Stopwatch total_clock;
    std::unique_ptr<NativeStore> store(new NativeStore(std::filesystem::path(path)));
    const std::filesystem::path& root = store->root_;
    OpenPhases& phases = store->open_phases_;

    // The layout. Existing directories cost one stat each and no sync.
    for (const std::string_view dir : {MANIFESTS_DIR, SEG_DIR, CLOSE_DIR, IDX_DIR})
        VORP_TRY(create_dirs_durable(root / dir));

    if (!path_exists(root / CURRENT_FILE)) {
        VORP_TRY(refuse_if_populated_without_current(root));
        Manifest genesis = Manifest::genesis();
        Published published = VORP_TRY(publish(root, std::nullopt, 0, genesis, true, DEFAULT_CHECKPOINT_EVERY));
        // The genesis is current on disk; the next open reads it as any other generation.
        if (published.unsynced) return fail(std::move(*published.unsynced));
        store->merkle_ = ManifestMerkle::from_manifest(genesis);
        store->checkpoint_generation_ = 0;
        phases.chain_format = genesis.format;
        store->manifest_ = std::move(genesis);
    } else {
        Reconstructed current = VORP_TRY(load_current(root));
        const ChainTimings& timings = current.timings;
        phases.checkpoint_read_parse_us = timings.checkpoint_read_parse_us;
        // The chain builds the checkpoint's Merkle state while it verifies the digest, so that
        // time is part of merkle_verify_us and no separate state build remains.
        phases.merkle_verify_us = timings.merkle_verify_us;
        phases.state_build_us = 0;
        phases.delta_replay_us = timings.delta_read_parse_us + timings.delta_apply_us;
        phases.delta_count = timings.deltas_applied;
        phases.chain_format = timings.chain_format;
        store->manifest_ = std::move(current.manifest);
        store->merkle_ = std::move(current.merkle);
        store->checkpoint_generation_ = current.checkpoint;
    }

    {
        // Only the prefix the manifest records belongs to the store; a longer file holds the
        // remains of a commit that never published, which the next commit overwrites.
        const Stopwatch dictionary_clock;
        const std::filesystem::path log = root / DICT_LOG_FILE;
        const DictRef& recorded = store->manifest_.dict;
        std::string image;
        if (path_exists(log)) image = VORP_TRY_FILE(log, read_file(log));
        if (image.size() < recorded.bytes)
            return fail(EngineError::corrupt(
                            fmt::format("dictionary is shorter than its manifest claims ({} bytes on disk, {} expected)",
                                        image.size(), recorded.bytes))
                            .at_file(log));
        image.resize(static_cast<std::size_t>(recorded.bytes));
        VORP_TRY(store->dict_.load(image));
        if (store->dict_.size() != recorded.records)
            return fail(EngineError::corrupt(fmt::format("dictionary holds {} records, manifest claims {}",
                                                         store->dict_.size(), recorded.records))
                            .at_file(log));
        store->dict_.set_committed(recorded.records, recorded.bytes);
        phases.dictionary_open_us = dictionary_clock.elapsed_us();
    }

    if (char* canonical = ::realpath(root.c_str(), nullptr)) {
        store->pin_path_ = canonical;
        std::free(canonical);
    } else {
        store->pin_path_ = root;
    }
    store->pin_key_ = pin_key(store->pin_path_);
    pin(store->pin_slot_for(store->manifest_.generation));
    store->pinned_ = true;
    store->pinned_generation_ = store->manifest_.generation;

    store->current_only_ = path_exists(root / CURRENT_ONLY_FILE);
    phases.total_us = total_clock.elapsed_us();
    const std::uint64_t accounted = phases.checkpoint_read_parse_us + phases.merkle_verify_us + phases.state_build_us +
                                    phases.delta_replay_us + phases.dictionary_open_us;
    phases.other_us = accounted > phases.total_us ? 0 : phases.total_us - accounted;

    // Both are evaluated every time, whether or not the variable is set.
    const std::optional<std::string> budget_env = env_text(SEGMENT_CACHE_BYTES_ENV);
    store->segment_cache_budget_ = cache_budget(budget_env, detected_ram_bytes());
    store->caches_.segments.emplace(store->segment_cache_budget_);
    return store;
}

Status NativeStore::mark_current_only() {
    VORP_TRY(write_atomic(root_ / CURRENT_ONLY_FILE, CURRENT_ONLY_TEXT));
    current_only_ = true;
    return ok();
}

Status NativeStore::check_not_behind() const {
    const CurrentLine on_disk = VORP_TRY(read_current(root_));
    if (on_disk.generation == manifest_.generation && on_disk.sha == manifest_.manifest_sha) return ok();
    EngineError error = EngineError::invariant(
        fmt::format("this handle is at generation {} but the store is at generation {}: another handle has written to it",
                    manifest_.generation, on_disk.generation));
    error.remedy = "open the store again";
    return fail(std::move(error));
}

Status NativeStore::check_not_collected() const {
    const Result<CurrentLine> on_disk = read_current(root_);
    if (!on_disk || on_disk->generation <= manifest_.generation) return ok();
    EngineError error = EngineError::invariant(
        fmt::format("generation {} of this handle was collected by another process (the store is at generation {})",
                    manifest_.generation, on_disk->generation));
    error.remedy = "open the store again";
    return fail(std::move(error));
}

EngineError NativeStore::explain_missing(EngineError error) const {
    if (!names_missing_file(error)) return error;
    if (Status readable = check_not_collected(); !readable) return std::move(readable).error();
    return error;
}

Status NativeStore::assert_full_belief(std::int64_t tt) const {
    if (current_only_ && tt < OPEN_END - 1) {
        EngineError error = EngineError::invariant(fmt::format(
            "this store is current-only (plan §13 stripped configuration): historical versions were discarded, so "
            "belief at tt={} cannot be answered",
            tt));
        error.remedy = "rebuild the store from its event log for bi-temporal queries";
        return fail(std::move(error));
    }
    return ok();
}

Result<std::string> NativeStore::uid_of(std::uint32_t dense_id) const {
    return std::string(VORP_TRY(uid_in(dict_, dense_id)));
}

Result<std::uint32_t> NativeStore::dense_or_err(std::string_view uid) const {
    if (const auto id = dict_.dense_id(uid)) return *id;
    return fail(EngineError::invariant(fmt::format("uid {} left the dictionary", debug_quoted(uid))));
}

EngineError no_batch_error() { return EngineError::invariant("no batch is open; call begin() first"); }

SealLayout NativeStore::seal_layout() const {
    return SealLayout{lane_origin_, lane_stride_, segment_target_bytes_, BLOCK_ROWS};
}

void NativeStore::enter_current_only() {
    current_only_ = true;
    drop_stats_cache();
}

Result<std::uint32_t> NativeStore::add_entity(std::string_view uid, std::string_view label) {
    // The dictionary itself refuses nothing: an id of 0xFFFFFFFF would read as "none" and a text
    // past 32 bits of length cannot be recorded, so both are refused here.
    if (dict_.full()) return fail(dictionary_full_error());
    if (uid.size() > MAX_DICT_TEXT_BYTES || label.size() > MAX_DICT_TEXT_BYTES)
        return fail(EngineError::capacity(fmt::format("a dictionary record holds at most {} bytes of uid and of label, got {} and {}",
                                                      MAX_DICT_TEXT_BYTES, uid.size(), label.size())));
    return dict_.push(uid, label);
}

// ---- batches -------------------------------------------------------------------------------------

void Batch::reset() {
    staging.clear();
    vid_closes.clear();
    closes.clear();
    close_index.reset();
    tt.reset();
}

Status NativeStore::require_batch() const {
    if (!batch_.open()) return fail(no_batch_error());
    return ok();
}

Status NativeStore::begin(std::int64_t tt) {
    if (batch_.tt)
        return fail(EngineError::invariant(
            fmt::format("a batch at tt={} is already open (single-writer, no nesting)", *batch_.tt)));
    // No read can ever believe a version written at OPEN_END or later (every as-of time at or
    // above OPEN_END - 1 means "now"), so such a batch would commit rows that are lost on arrival.
    if (tt >= OPEN_END) {
        EngineError error = EngineError::invariant(fmt::format(
            "transaction time {} is not below OPEN_END ({}): versions written at it could never be read", tt, OPEN_END));
        error.remedy = "choose a transaction time below OPEN_END";
        return fail(std::move(error));
    }
    // The genesis generation has no transaction time of its own: the first batch may use any.
    if (manifest_.generation != 0 && tt <= manifest_.created_tt)
        return fail(EngineError::invariant(
            fmt::format("transaction time must advance: batch tt={} is not after generation {}'s tt={}", tt,
                        manifest_.generation, manifest_.created_tt)));
    batch_.tt = tt;
    return ok();
}

Status NativeStore::stage_edge(EdgeRow row) {
    VORP_TRY(require_batch());
    batch_.staging.add_edge(std::move(row));
    return ok();
}

Status NativeStore::stage_node(NodeRow row) {
    VORP_TRY(require_batch());
    batch_.staging.add_node(std::move(row));
    return ok();
}

Status NativeStore::close_version(RowKind kind, const Id96& vid, std::int64_t tt_e) {
    if (current_only_)
        return fail(EngineError::invariant(
            "a current-only store cannot record a correction: closing a version creates the belief history this "
            "configuration deliberately does not keep"));
    VORP_TRY(require_batch());

    // A version staged in this batch is closed in its own segment when the batch is sealed; a
    // stored one with the same vid is not touched.
    const VidSet& staged = kind == RowKind::Node ? batch_.staging.staged_node_vids : batch_.staging.staged_edge_vids;
    if (staged.contains(vid)) {
        batch_.vid_closes.insert_or_assign(vid, tt_e);
        return ok();
    }

    // Through the vid postings (brought up to date first); the first candidate in filing order
    // whose segment confirms the whole vid.
    const std::optional<Position> found =
        VORP_TRY(postings(kind).find_version(root_, manifest_, *caches_.segments, dict_, vid));
    if (!found) return fail(EngineError::not_found(fmt::format("no version {} to close", vid.to_hex())));

    // The pending layer first, then the close itself: a call that fails records nothing.
    if (!batch_.close_index) {
        std::shared_ptr<const CloseIndex> committed = VORP_TRY(committed_close_index());
        batch_.close_index = std::make_shared<CloseIndex>(CloseIndex::layered_over(std::move(committed)));
    }
    // Room for the record is made before the index changes, so the push below cannot fail after
    // it; the capacity grows geometrically (a reserve of exactly one more would copy the whole
    // list on every close and make a batch of n closes cost n^2).
    if (batch_.closes.size() == batch_.closes.capacity())
        batch_.closes.reserve(std::max<std::size_t>(64, 2 * batch_.closes.capacity()));
    CloseIndex::unshare(batch_.close_index).insert(found->segment_id, found->row, tt_e);
    batch_.closes.push_back(StagedClose{found->segment_id, tt_e, found->row, kind == RowKind::Edge});
    return ok();
}

Status NativeStore::retire_version(RowKind kind, const Id96& vid) {
    VORP_TRY(require_batch());
    const bool retired = kind == RowKind::Node ? batch_.staging.retire_node(vid) : batch_.staging.retire_edge(vid);
    if (!retired)
        return fail(EngineError::not_found(fmt::format("no version {} staged in this batch to retire", vid.to_hex())));
    batch_.vid_closes.erase(vid);
    return ok();
}

Status NativeStore::rollback() {
    VORP_TRY(require_batch());
    dict_.discard_staged();
    batch_.reset();
    return ok();
}

// ---- segment files, postings, close index --------------------------------------------------------

Result<std::shared_ptr<const Segment>> NativeStore::open_segment(std::string_view file) {
    return caches_.segments->open_segment(root_, manifest_, file);
}

std::shared_ptr<const SegmentFiles> NativeStore::segment_files() { return caches_.segments->segment_files(manifest_); }

Result<std::shared_ptr<const CloseIndex>> NativeStore::committed_close_index() {
    return caches_.close.committed_close_index(root_, manifest_, current_only_);
}

Result<std::shared_ptr<const CloseIndex>> NativeStore::close_overlay() {
    if (batch_.close_index) return std::shared_ptr<const CloseIndex>(batch_.close_index);
    return committed_close_index();
}

Status NativeStore::index_segments(RowKind kind) {
    return postings(kind).index_segments(root_, manifest_, *caches_.segments, dict_);
}

SegmentCacheStats NativeStore::segment_cache_stats() { return caches_.segments->stats(); }

PostingsStats NativeStore::postings_stats(RowKind kind) { return postings(kind).stats(); }

void NativeStore::evict_segments_not_in(const FileNameSet& live) {
    vorp::evict_segments_not_in(*caches_.segments, caches_.edge_postings, caches_.node_postings, live);
}

void NativeStore::move_pin(std::uint64_t generation) {
    if (pinned_ && generation == pinned_generation_) return;
    move_pin(pin_slot_for(generation));
}

void NativeStore::move_pin(PinSlot&& slot) noexcept {
    const std::uint64_t generation = slot.generation();
    if (pinned_ && generation == pinned_generation_) return;
    pin(std::move(slot));
    if (pinned_) unpin_normalised(pin_key_, pinned_generation_);
    pinned_ = true;
    pinned_generation_ = generation;
}

}  // namespace vorp
