// Commit, install, the manifest upgrade and the store statistics of a handle.
//
// A commit extends the current manifest in place into its successor, and puts it back exactly if
// anything fails before CURRENT is renamed: the scalars from a snapshot, every list cut back to its
// captured length, the Merkle state from a copy (which is also the base a delta is cut against).
// The files written by then stay as orphans; their names (segment ids from the unchanged
// next_segment_id, the close run and manifest of the unchanged next generation) recur in the next
// attempt, which replaces them.
#include "vorp/store.h"

#include <algorithm>
#include <array>
#include <exception>
#include <utility>

#include <fmt/format.h>

#include "vorp/clock.h"
#include "vorp/durable.h"
#include "vorp/pins.h"
#include "vorp/segment.h"

namespace vorp {

namespace {

// What a failed commit puts back: every scalar the commit changes, and the list lengths.
struct CommitBase {
    std::optional<std::uint64_t> parent;
    std::uint64_t generation = 0;
    std::int64_t created_tt = 0;
    EventLogRef event_log;
    DictRef dict;
    Widths widths;
    std::uint64_t next_segment_id = 0;
    Stats stats;
    std::string manifest_sha;
    std::array<std::size_t, MERKLE_LANES> lens{};

    static CommitBase of(const Manifest& manifest) {
        return CommitBase{manifest.parent,
                          manifest.generation,
                          manifest.created_tt,
                          manifest.event_log,
                          manifest.dict,
                          manifest.widths,
                          manifest.next_segment_id,
                          manifest.stats,
                          manifest.manifest_sha,
                          {manifest.node_store.size(), manifest.edge_lanes.event.size(),
                           manifest.edge_lanes.interval.size(), manifest.close_runs.size()}};
    }

    void restore(Manifest& manifest) && {
        manifest.parent = parent;
        manifest.generation = generation;
        manifest.created_tt = created_tt;
        manifest.event_log = std::move(event_log);
        manifest.dict = dict;
        manifest.widths = widths;
        manifest.next_segment_id = next_segment_id;
        manifest.stats = stats;
        manifest.manifest_sha = std::move(manifest_sha);
        manifest.node_store.resize(lens[LANE_NODES]);
        manifest.edge_lanes.event.resize(lens[LANE_EDGES_EVENT]);
        manifest.edge_lanes.interval.resize(lens[LANE_EDGES_INTERVAL]);
        manifest.close_runs.resize(lens[LANE_CLOSE_RUNS]);
    }
};

std::uint64_t segments_named(const Manifest& manifest) {
    return manifest.node_store.size() + manifest.edge_lanes.event.size() + manifest.edge_lanes.interval.size();
}

}  // namespace

// ---- statistics ----------------------------------------------------------------------------------

Result<StatsAccum> NativeStore::stats_accum() {
    // The copy is made under the lock; failing, it leaves the cache as it was.
    std::optional<StatsAccum> cached = caches_.stats_mutex.with_lock([&] { return caches_.stats; });
    if (cached) return std::move(*cached);
    StatsAccum accum;
    const std::shared_ptr<const SegmentFiles> files = segment_files();
    for (const SegmentFileRef& ref : edge_files()) {
        const std::filesystem::path path = root_ / ref.file;
        // The walk maps its own copies so it never displaces the segment cache, but shares the
        // handle's verify-once bookkeeping with it.
        const bool verified = caches_.segments->is_verified(ref.file);
        MmapSource source = VORP_TRY(MmapSource::load(path));
        const std::shared_ptr<const Segment> segment =
            VORP_TRY(Segment::open(path, std::move(source), !verified, files->rows_of(ref.file)));
        if (!verified) caches_.segments->mark_verified(ref.file);

        // Every column the view hands out holds the segment's row count.
        const ValidEnds ends = VORP_TRY_FILE(path, segment->edges.valid_ends());
        const auto src_id = VORP_TRY_FILE(path, segment->edges.src_id.get());
        const auto rel_code = VORP_TRY_FILE(path, segment->edges.rel_code.get());
        const std::size_t rows = ends.vt_s.size();

        // Types are counted per code and named once per segment.
        std::vector<std::uint64_t> per_code(segment->header.rel_types.size(), 0);
        for (std::size_t row = 0; row < rows; ++row) {
            const std::int64_t start = ends.vt_s[row];
            const std::int64_t end_raw = ends.at(row);
            ++accum.n_edge_versions;
            accum.vt_min = accum.vt_min ? std::min(*accum.vt_min, start) : start;
            const std::int64_t end = end_raw <= OPEN_END - 1 ? end_raw : vt_s_plus_one(start);
            accum.vt_max = accum.vt_max ? std::max(*accum.vt_max, end) : end;
            if (rel_code[row] < per_code.size()) ++per_code[rel_code[row]];
            accum.out_degree.add(src_id[row]);
        }
        for (std::size_t code = 0; code < per_code.size(); ++code)
            if (per_code[code] != 0) accum.rel_type_counts[segment->header.rel_types[code]] += per_code[code];
    }
    const bool open_batch = batch_.tt.has_value();
    if (open_batch) {
        for (const EdgeRow& row : batch_.staging.edges) accum.add_edge(row.vt_s, row.vt_e, row.rel_type, row.src_id);
        accum.n_node_versions += batch_.staging.nodes.size();
    }
    for (const SegmentEntry& entry : manifest_.node_store) accum.n_node_versions += entry.rows;

    // Staged rows are not the store's: a build that counted them is not kept. The copy kept is
    // made before the lock and moved in, so the cache is never left half assigned.
    if (!open_batch) {
        std::optional<StatsAccum> kept = accum;
        auto guard = caches_.stats_mutex.lock();
        caches_.stats = std::move(kept);
    }
    return accum;
}

void NativeStore::drop_stats_cache() {
    auto guard = caches_.stats_mutex.lock();
    caches_.stats.reset();
}

// ---- commit --------------------------------------------------------------------------------------

Result<std::uint64_t> NativeStore::commit(EventLogRef cursor) {
    VORP_TRY(require_batch());
    if (manifest_.format != MANIFEST_FORMAT_VERSION || !merkle_) return fail(read_only_format_error(manifest_.format));
    // One writer per store, in this process and in any other: a collection must never list seg/
    // between this commit's seal and its CURRENT, nor another commit start from the same CURRENT.
    // Refused here, the commit has changed nothing and the batch stays open.
    const WriterGuard writing = VORP_TRY(WriterGuard::acquire(pin_path_, root_));
    VORP_TRY(check_not_behind());

    const Stopwatch total_clock;
    CommitPhases phases;

    // Capture. The copy of the Merkle state restores a failed commit and is the base a delta is
    // cut against. The pin of the new generation is made here too: once CURRENT is renamed the
    // handle must follow, and nothing on that path may fail.
    const Stopwatch capture_clock;
    CommitBase base = CommitBase::of(manifest_);
    const std::uint64_t parent_generation = manifest_.generation;
    const std::uint64_t next_generation = parent_generation + 1;
    DeltaBase delta_base{manifest_.manifest_sha, parent_generation, merkle_->lens(), manifest_.widths, *merkle_};
    PinSlot next_pin = pin_slot_for(next_generation);
    manifest_.parent = parent_generation;
    manifest_.generation = next_generation;
    manifest_.created_tt = *batch_.tt;
    manifest_.manifest_sha.clear();
    phases.capture_us = capture_clock.elapsed_us();

    // Whatever leaves the steps below before CURRENT is renamed, an error or an exception (an
    // allocation failure), puts the handle back as it was; only shrinking and moves, nothing that
    // can fail.
    bool stats_folded = false;
    const auto restore = [&]() noexcept {
        std::move(base).restore(manifest_);
        merkle_ = std::move(*delta_base.merkle);
        // The cache already counts this batch; the next read rebuilds it from the committed files.
        if (stats_folded) {
            auto guard = caches_.stats_mutex.lock_even_if_poisoned();
            caches_.stats.reset();
        }
    };

    PublishPoint reached;
    const auto write_generation = [&]() -> Result<Published> {
        // 1. Segments: each written under a temporary name, synced and renamed; then seg/ is
        // synced, so the new names are durable before any manifest names them.
        const Stopwatch seal_clock;
        std::uint64_t next_segment_id = manifest_.next_segment_id;
        const SealLayout layout = seal_layout();
        SealedBatch sealed = VORP_TRY(batch_.staging.seal(root_ / SEG_DIR, layout, next_segment_id, batch_.vid_closes));
        manifest_.next_segment_id = next_segment_id;
        for (auto& [lane, entry] : sealed.edges) {
            manifest_.stats.n_edge_versions += entry.rows;
            if (lane == Lane::Event) {
                merkle_->lanes[LANE_EDGES_EVENT].push(entry);
                manifest_.edge_lanes.event.push_back(std::move(entry));
            } else {
                merkle_->lanes[LANE_EDGES_INTERVAL].push(entry);
                manifest_.edge_lanes.interval.push_back(std::move(entry));
            }
        }
        for (SegmentEntry& entry : sealed.nodes) {
            manifest_.stats.n_node_versions += entry.rows;
            merkle_->lanes[LANE_NODES].push(entry);
            manifest_.node_store.push_back(std::move(entry));
        }
        if (!sealed.segment_ids.empty()) VORP_TRY(fsync_dir(root_ / SEG_DIR));
        phases.seal_us = seal_clock.elapsed_us();
        crash_point(CRASH_AFTER_SEAL);

        // 2. The close run of the batch's closes of stored versions, then close/ synced.
        const Stopwatch closes_clock;
        if (!batch_.closes.empty()) {
            const std::filesystem::path relative = close_run_relative_path(next_generation);
            const std::uint32_t written = VORP_TRY(write_close_run(root_ / relative, batch_.closes));
            VORP_TRY(fsync_dir(root_ / CLOSE_DIR));
            CloseRunRef run{relative.generic_string(), written, ""};
            merkle_->push_close_run(run);
            manifest_.close_runs.push_back(std::move(run));
        }
        phases.closes_us = closes_clock.elapsed_us();
        crash_point(CRASH_AFTER_CLOSE_RUNS);

        // 3. Statistics: a cached accumulator learns the batch, so it stays equal to a fresh walk.
        // Folding allocates; should that fail, the cache is dropped while the lock is still held
        // (a half-folded cache must not survive), so the lock is released normally and not
        // poisoned, and the failure is passed on once it is.
        const Stopwatch stats_clock;
        std::exception_ptr fold_failure;
        {
            auto guard = caches_.stats_mutex.lock();
            if (caches_.stats) {
                try {
                    stats_folded = true;
                    for (const EdgeRow& row : batch_.staging.edges)
                        caches_.stats->add_edge(row.vt_s, row.vt_e, row.rel_type, row.src_id);
                    caches_.stats->n_node_versions += batch_.staging.nodes.size();
                } catch (...) {
                    caches_.stats.reset();
                    fold_failure = std::current_exception();
                }
            }
        }
        if (fold_failure) std::rethrow_exception(fold_failure);
        phases.stats_us = stats_clock.elapsed_us();

        // 4. The dictionary's new records, appended from the committed length. While the
        // published generation records no dictionary bytes, nothing has made dict.log's name
        // durable (the file may have been created just now, or by an attempt whose root sync
        // failed): sync the root before the first generation that names records in it.
        const Stopwatch dict_clock;
        const std::filesystem::path log = root_ / DICT_LOG_FILE;
        const DictCommit dict_commit = VORP_TRY(dict_.commit_to_disk());
        if (base.dict.bytes == 0 && dict_commit.bytes != 0) VORP_TRY(fsync_dir(log.parent_path()));
        phases.dict_us = dict_clock.elapsed_us();
        crash_point(CRASH_AFTER_DICT);

        // 5. The successor's remaining scalars and its digest.
        manifest_.event_log = std::move(cursor);
        manifest_.dict = DictRef{dict_commit.records, dict_commit.bytes};
        manifest_.stats.n_entities = static_cast<std::uint32_t>(dict_.size());
        const Stopwatch digest_clock;
        manifest_.manifest_sha = manifest_digest(manifest_, *merkle_);
        phases.digest_us = digest_clock.elapsed_us();

        // 6. The manifest-chain file, then CURRENT (the commit point).
        return publish(root_, delta_base, checkpoint_generation_, manifest_, false, checkpoint_every(), &reached);
    };

    std::exception_ptr thrown;
    Result<Published> published;
    try {
        published = write_generation();
    } catch (...) {
        thrown = std::current_exception();
    }
    if (!reached.current_renamed) {
        restore();
        if (thrown) std::rethrow_exception(thrown);
        return fail(std::move(published).error());
    }

    // Published: from here on the handle follows the new generation whatever happens, and
    // nothing below can fail before it does.
    checkpoint_generation_ = reached.checkpoint_generation;
    move_pin(std::move(next_pin));
    batch_.reset();
    if (thrown) std::rethrow_exception(thrown);

    const PublishStats& publish_stats = published->stats;
    phases.debug_verify_us = publish_stats.debug_verify_us;
    phases.delta_build_us = publish_stats.delta_build_us;
    phases.manifest_us = publish_stats.manifest_us;
    phases.current_us = publish_stats.current_us;
    phases.manifest_bytes = publish_stats.manifest_bytes;
    phases.segments_named = segments_named(manifest_);
    phases.manifest_checkpoint = checkpoint_generation_ == next_generation;
    phases.total_us = total_clock.elapsed_us();
    last_commit_phases_ = phases;
    if (published->unsynced) return fail(std::move(*published->unsynced));
    return next_generation;
}

// ---- install, adopt, upgrade ---------------------------------------------------------------------

Result<std::uint64_t> NativeStore::install(Manifest next) {
    if (batch_.tt) return fail(EngineError::invariant("cannot publish a generation while a batch is open"));
    if (manifest_.format != MANIFEST_FORMAT_VERSION) return fail(read_only_format_error(manifest_.format));
    return publish_and_adopt(std::move(next));
}

Result<std::uint64_t> NativeStore::publish_and_adopt(Manifest next) {
    std::optional<ManifestMerkle> next_merkle;
    if (next.format == MANIFEST_FORMAT_VERSION) next_merkle = ManifestMerkle::from_manifest(next);
    PinSlot next_pin = pin_slot_for(next.generation);

    // An exception leaving publish before CURRENT is renamed leaves the handle as it was; after
    // the rename the handle adopts the generation first, then the exception goes on.
    PublishPoint reached;
    std::exception_ptr thrown;
    Result<Published> published;
    try {
        published = publish(root_, std::nullopt, checkpoint_generation_, next, true, checkpoint_every(), &reached);
    } catch (...) {
        thrown = std::current_exception();
    }
    if (!reached.current_renamed) {
        if (thrown) std::rethrow_exception(thrown);
        return fail(std::move(published).error());
    }
    checkpoint_generation_ = reached.checkpoint_generation;
    move_pin(std::move(next_pin));
    merkle_ = std::move(next_merkle);
    manifest_ = std::move(next);
    if (thrown) std::rethrow_exception(thrown);
    if (published->unsynced) return fail(std::move(*published->unsynced));
    return manifest_.generation;
}

void NativeStore::adopt(Manifest next) {
    if (next.generation != manifest_.generation) move_pin(next.generation);
    if (next.format == MANIFEST_FORMAT_VERSION)
        merkle_ = ManifestMerkle::from_manifest(next);
    else
        merkle_.reset();
    manifest_ = std::move(next);
}

Result<UpgradeReport> NativeStore::upgrade_manifests() {
    if (batch_.tt) return fail(EngineError::invariant("cannot upgrade manifests while a batch is open"));
    const std::uint32_t from_format = manifest_.format;
    if (from_format == MANIFEST_FORMAT_VERSION)
        return UpgradeReport{false, from_format, MANIFEST_FORMAT_VERSION, manifest_.generation, manifest_.manifest_sha};
    if (from_format != 1 && from_format != 2) return fail(read_only_format_error(from_format));
    const WriterGuard writing = VORP_TRY(WriterGuard::acquire(pin_path_, root_));
    VORP_TRY(check_not_behind());

    // The same generation's content, one generation on, digested as format 3 from scratch.
    Manifest next = manifest_.successor(manifest_.created_tt);
    next.format = MANIFEST_FORMAT_VERSION;
    next.seal();
    VORP_TRY(publish_and_adopt(std::move(next)));
    return UpgradeReport{true, from_format, MANIFEST_FORMAT_VERSION, manifest_.generation, manifest_.manifest_sha};
}

}  // namespace vorp
