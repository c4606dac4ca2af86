// The store: a directory that holds every generation of one graph, the handle that opens it, and
// the durable writes that publish a new generation.
//
// Store directory (the root is the path given to open; a relative root stays relative):
//
//   entry          kind  content                                                   written by
//   manifests/     dir   manifest-chain files, {generation:020}.json: a checkpoint  publish
//                        (the whole manifest) or a delta against the previous one
//   seg/           dir   segment files, {segment id:012}.vos                        seal
//   close/         dir   close-run files, {generation:012}.voc                      commit
//   idx/           dir   created by open, otherwise unused
//   dict.log       file  uid dictionary log; only the first `dict.bytes` bytes of   commit
//                        the current manifest belong to the store
//   CURRENT        file  "{generation} {manifest sha}\n": the current generation    publish
//   CURRENT_ONLY   file  "stripped by compact_current_only\n": history discarded    mark_current_only
//
// A file replaced whole is written under a temporary name beside it (the extension replaced by
// "tmp", or ".tmp" appended when it has none: manifests/{generation:020}.tmp, CURRENT.tmp,
// CURRENT_ONLY.tmp; segments and close runs use .vos.tmp and .voc.tmp). Open never reads one.
//
// What makes a generation exist is the rename of CURRENT. A commit writes, each step flushed to
// stable storage before the next begins:
//
//   1. segment files: .vos.tmp written, fsync, renamed to .vos; then seg/ is synced, so the
//      names are durable before anything refers to them;
//   2. the close-run file, the same way, then close/ is synced;
//   3. dict.log: the new records written from the committed length, the file cut at the new
//      end, fsync (the old prefix is never rewritten, so the current generation stays intact);
//   4. the manifest-chain file through write_atomic: .tmp written, fsync, renamed to .json,
//      manifests/ synced. Now every file the new generation names is durable;
//   5. CURRENT through write_atomic: CURRENT.tmp, fsync, rename (the commit point), root synced.
//
// A crash before the rename of step 5 leaves the previous generation current and intact: the
// files of steps 1-4 are orphans whose names the next commit reuses (segment ids, the close run
// and the manifest of the same generation) or garbage collection removes, and the dict.log tail
// lies beyond the committed length, which open ignores. A crash after it leaves the new
// generation current, complete because each of its files was made durable before CURRENT named
// it. The sync of the root after the rename only makes the switch itself durable: once the rename
// succeeded the generation is published, and a failed sync is reported as such, never as a
// failed commit (the handle still moves to the new generation).
//
// Directories created by open (and the root itself when it is new) are synced into their parent,
// so a new store's layout survives a power loss together with its first CURRENT.
//
// Crash points (VORP_CRASH_POINT), in the order a commit passes them: "after_seal",
// "after_close_runs", "after_dict", "after_manifest", "after_current"; publish (also the genesis
// publish of a new store, install and the manifest upgrade) passes the last two. Maintenance
// passes "compact_before_install" and "gc_mid_delete".
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vorp/current.h"
#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/error.h"
#include "vorp/durable.h"
#include "vorp/manifest.h"
#include "vorp/manifest_chain.h"
#include "vorp/merkle.h"
#include "vorp/pins.h"
#include "vorp/postings.h"
#include "vorp/row.h"
#include "vorp/segment_cache.h"
#include "vorp/staging.h"
#include "vorp/stats.h"
#include "vorp/visibility.h"

namespace vorp {

inline constexpr std::string_view CURRENT_FILE = "CURRENT";
inline constexpr std::string_view CURRENT_ONLY_FILE = "CURRENT_ONLY";
inline constexpr std::string_view DICT_LOG_FILE = "dict.log";
inline constexpr std::string_view SEG_DIR = "seg";
inline constexpr std::string_view CLOSE_DIR = "close";
inline constexpr std::string_view IDX_DIR = "idx";
// The 33 bytes of the current-only marker.
inline constexpr std::string_view CURRENT_ONLY_TEXT = "stripped by compact_current_only\n";
inline constexpr std::string_view SEGMENT_CACHE_BYTES_ENV = "VORP_SEGMENT_CACHE_BYTES";

// The crash points.
inline constexpr std::string_view CRASH_AFTER_SEAL = "after_seal";
inline constexpr std::string_view CRASH_AFTER_CLOSE_RUNS = "after_close_runs";
inline constexpr std::string_view CRASH_AFTER_DICT = "after_dict";
inline constexpr std::string_view CRASH_AFTER_MANIFEST = "after_manifest";
inline constexpr std::string_view CRASH_AFTER_CURRENT = "after_current";
inline constexpr std::string_view CRASH_COMPACT_BEFORE_INSTALL = "compact_before_install";
inline constexpr std::string_view CRASH_GC_MID_DELETE = "gc_mid_delete";

// Defaults of the sealing parameters every handle starts with: lanes are cut into one-week
// buckets of valid time (microseconds) and segments at about 128 MiB (the sealing module's
// SEGMENT_TARGET_BYTES).
inline constexpr std::int64_t DEFAULT_LANE_ORIGIN = 0;
inline constexpr std::int64_t DEFAULT_LANE_STRIDE = LANE_STRIDE;
inline constexpr std::uint64_t DEFAULT_SEGMENT_TARGET_BYTES = SEGMENT_TARGET_BYTES;

// ---- durable writes ------------------------------------------------------------------------------

// What publish measured and decided; all durations in whole microseconds.
struct PublishStats {
    std::uint64_t manifest_us = 0;      // writing the manifest-chain file
    std::uint64_t current_us = 0;       // writing CURRENT
    std::uint64_t manifest_bytes = 0;   // length of the manifest-chain file written
    std::uint64_t checkpoint_generation = 0;  // the checkpoint the new generation's chain rests on
    std::uint64_t delta_build_us = 0;   // deciding delta or checkpoint and building its bytes
    std::uint64_t debug_verify_us = 0;  // always 0

    bool operator==(const PublishStats&) const = default;
};

// A publish that reached its commit point. `unsynced` is set when the rename of CURRENT
// succeeded but the directory sync after it failed: the generation is current on disk (the caller
// adopts it), and the caller reports this error afterwards (`io` "generation {} was published but
// its directory could not be synced: {}").
struct Published {
    PublishStats stats;
    std::optional<EngineError> unsynced;
};

// Set by publish the moment the rename of CURRENT has succeeded. A caller that sees an exception
// leave publish (an allocation failure) learns from it whether the generation was published.
struct PublishPoint {
    bool current_renamed = false;
    std::uint64_t checkpoint_generation = 0;  // as PublishStats, once current_renamed is set
};

// Makes `manifest` the current generation of the store at `root`: its manifest-chain file (a delta
// against `base` when one is given, not forced, the generation is not a multiple of `every` and
// the change is a pure append; a checkpoint otherwise), then CURRENT. Changes nothing in any
// handle. A manifest of format other than 3 is refused before anything is written. An error means
// nothing was published: CURRENT still names the previous generation. `reached`, when given,
// records the commit point as it passes.
Result<Published> publish(const std::filesystem::path& root, const std::optional<DeltaBase>& base,
                          std::uint64_t checkpoint_generation, const Manifest& manifest, bool force,
                          std::uint64_t every, PublishPoint* reached = nullptr);

// ---- open ----------------------------------------------------------------------------------------

// The open's timings: microseconds of the monotonic clock, truncated.
struct OpenPhases {
    std::uint64_t checkpoint_read_parse_us = 0;
    std::uint64_t merkle_verify_us = 0;
    std::uint64_t state_build_us = 0;
    std::uint64_t delta_replay_us = 0;
    std::uint64_t delta_count = 0;
    std::uint64_t dictionary_open_us = 0;
    std::uint64_t other_us = 0;
    std::uint64_t total_us = 0;
    std::uint32_t chain_format = 0;

    bool operator==(const OpenPhases&) const = default;
};

// Reads and parses CURRENT (parse_current); its errors carry the file.
Result<CurrentLine> read_current(const std::filesystem::path& root);

// Reads CURRENT (read_current) and rebuilds its generation from the chain, checking the digest
// against the sha CURRENT records. Readers take no lock, so a collection in another process may
// remove the generation between the read of CURRENT and the read of its chain: when a file it
// needs is missing (names_missing_file) and CURRENT has meanwhile moved to another generation, it
// starts over from that one, at most OPEN_ROUNDS times in all; the last round's error stands.
// Under a CURRENT that stays put a missing file is damage, reported as such.
Result<Reconstructed> load_current(const std::filesystem::path& root);
inline constexpr unsigned OPEN_ROUNDS = 8;

// Whether `error` is about a file that is not there: an operating-system ENOENT, or an error whose
// file no longer exists (the chain reports a missing lower generation as `corrupt` at its file).
bool names_missing_file(const EngineError& error);

// Test seam: a hook that load_current runs after each read of CURRENT, before anything of the
// generation read is touched, with that generation. Tests use it to let another handle commit and
// collect at exactly that instant. With no hook installed the cost is one relaxed atomic load.
// Install only while no store is being opened.
using CurrentReadHook = std::function<void(std::uint64_t generation)>;
void set_current_read_hook(CurrentReadHook hook);
class ScopedCurrentReadHook {
public:
    explicit ScopedCurrentReadHook(CurrentReadHook hook) { set_current_read_hook(std::move(hook)); }
    ~ScopedCurrentReadHook() { set_current_read_hook({}); }
    ScopedCurrentReadHook(const ScopedCurrentReadHook&) = delete;
    ScopedCurrentReadHook& operator=(const ScopedCurrentReadHook&) = delete;
};

// Decides whether a directory without CURRENT may become a new store: only when dict.log is
// missing or empty, seg/ holds no segment file and manifests/ holds no numbered chain file, or
// only the generation-0 checkpoint that a crash between the two writes of a first open leaves.
// Otherwise `corrupt`; a directory that cannot be listed is `io`, never taken for empty.
Status refuse_if_populated_without_current(const std::filesystem::path& root);

// The segment cache's byte budget from VORP_SEGMENT_CACHE_BYTES (`env`, absent when unset or not
// UTF-8) and the physical memory: the variable's value when it is a positive decimal (white space
// and a leading '+' allowed), unbounded (absent) for 0, otherwise half of the memory, or
// unbounded when the memory is unknown.
std::optional<std::uint64_t> cache_budget(std::optional<std::string_view> env, std::optional<std::uint64_t> ram_bytes);
// MemTotal of /proc/meminfo in bytes; absent without the file or a parsable first MemTotal line.
std::optional<std::uint64_t> detected_ram_bytes();
// The same rule over the file's text.
std::optional<std::uint64_t> meminfo_total_bytes(std::string_view meminfo);


// ---- commit ----------------------------------------------------------------------------------------

// The timings of one successful commit, whole microseconds of the monotonic clock.
struct CommitPhases {
    std::uint64_t capture_us = 0;       // snapshot for the restore and the successor set up
    std::uint64_t seal_us = 0;          // staged rows written as segment files
    std::uint64_t closes_us = 0;        // the close-run file
    std::uint64_t stats_us = 0;         // the batch folded into the cached statistics
    std::uint64_t dict_us = 0;          // new dictionary records appended to dict.log
    std::uint64_t digest_us = 0;        // the manifest digest
    std::uint64_t debug_verify_us = 0;  // always 0
    std::uint64_t delta_build_us = 0;   // the manifest-chain record built
    std::uint64_t manifest_us = 0;      // the manifest-chain file written
    std::uint64_t current_us = 0;       // CURRENT written
    std::uint64_t total_us = 0;
    std::uint64_t manifest_bytes = 0;   // length of the manifest-chain record
    std::uint64_t segments_named = 0;   // segment entries of the new manifest, all three lists
    bool manifest_checkpoint = false;   // the record written was a checkpoint

    bool operator==(const CommitPhases&) const = default;
};

// What the manifest upgrade did.
struct UpgradeReport {
    bool upgraded = false;
    std::uint32_t from_format = 0;
    std::uint32_t to_format = MANIFEST_FORMAT_VERSION;
    std::uint64_t generation = 0;  // current after the call
    std::string manifest_sha;

    bool operator==(const UpgradeReport&) const = default;
};

// The open batch: its transaction time and everything staged in it. Staged rows live in
// `staging`; a close of a version staged in the same batch is a vid -> tt_e entry of `vid_closes`
// (one map for both kinds; sealing folds it into the new segments); a close of a stored version is
// a StagedClose for the commit's close run and an entry of `close_index`, a pending layer over the
// committed close index through which reads see the close at once.
struct Batch {
    std::optional<std::int64_t> tt;  // absent: no batch is open
    Staging staging;
    StagedVidCloses vid_closes;
    std::vector<StagedClose> closes;
    std::shared_ptr<CloseIndex> close_index;

    bool open() const { return tt.has_value(); }
    // Back to "no batch is open", everything staged dropped: what commit does once the batch is
    // published and rollback does instead.
    void reset();
};

// The per-handle caches and derived indexes, each behind its own named mutex (a leaf lock), so
// that shared calls may fill them concurrently.
struct StoreCaches {
    PoisonMutex stats_mutex{"stats"};
    std::optional<StatsAccum> stats;  // under stats_mutex
    KindPostings edge_postings{RowKind::Edge};
    KindPostings node_postings{RowKind::Node};
    CloseIndexCache close;
    // The segment cache with the verified set and the per-generation file maps. Present from the
    // end of open on (its budget is fixed there).
    std::optional<SegmentCache> segments;
};

struct StoreTestAccess;

// The handle of one open store. Owns the current generation's manifest and Merkle state, the uid
// dictionary, the open batch and the per-handle caches, and holds one pin of its generation in the
// process-wide pin table for as long as it lives. Its state is private: other modules read it
// through the accessors and change it only through the member functions below.
//
// Thread safety. Exclusive calls (batches, commit, install, upgrade, maintenance) change the
// plain state and need the handle to themselves; the Python object lets one exclusive call or any
// number of shared ones in. Shared calls read the plain state without a lock and fill the caches
// behind their own mutexes. A failed call of a batch operation leaves the batch as it was.
class NativeStore {
public:
    // Opens or creates the store at `path` (see store.cpp for the steps). On failure nothing stays
    // pinned; directories created and a genesis generation published stay on disk.
    static Result<std::unique_ptr<NativeStore>> open(std::string_view path);

    // Unpins, then releases the owning state in declaration order. Writes nothing: an open batch
    // and dictionary entries added since the last commit are lost. Never throws, whatever state
    // the handle's locks (or the pin table's) are in.
    ~NativeStore();
    NativeStore(const NativeStore&) = delete;
    NativeStore& operator=(const NativeStore&) = delete;

    // ---- state (read-only views) ----
    // The root as passed to open; every file is addressed under it.
    const std::filesystem::path& root() const { return root_; }
    // realpath(root), or root when that fails: the key of the pin table and the writer guard.
    const std::filesystem::path& pin_path() const { return pin_path_; }
    const Dictionary& dict() const { return dict_; }
    const Manifest& manifest() const { return manifest_; }
    // Present exactly for format 3.
    const std::optional<ManifestMerkle>& merkle() const { return merkle_; }
    const Batch& batch() const { return batch_; }
    std::uint64_t checkpoint_generation() const { return checkpoint_generation_; }
    // The sealing parameters of commit and compaction.
    SealLayout seal_layout() const;
    const OpenPhases& open_phases() const { return open_phases_; }
    // Of this handle's last successful commit.
    const std::optional<CommitPhases>& last_commit_phases() const { return last_commit_phases_; }
    bool current_only() const { return current_only_; }
    // The segment cache's budget, fixed by open (absent: unbounded).
    std::optional<std::uint64_t> segment_cache_budget() const { return segment_cache_budget_; }

    // Writes CURRENT_ONLY, then marks the handle current-only (left unchanged on failure).
    Status mark_current_only();
    // Marks the handle current-only without writing the marker, and forgets the statistics: for
    // the moment a stripped generation has become current, whether or not the marker follows.
    void enter_current_only();
    // Whether CURRENT still names this handle's generation and sha. Every operation that writes a
    // generation or removes files calls it under the writer guard, before it writes anything: a
    // handle opened before another handle (or process) committed would otherwise publish a
    // generation number that is already taken, replacing that commit's files, or collect files
    // the newer generations need. `invariant` "this handle is at generation {} but the store is
    // at generation {}: another handle has written to it", remedy "open the store again".
    Status check_not_behind() const;
    // Whether this handle's generation may still be read. Pins hold generations against the
    // collections of this process only: a collection in another process removes every generation
    // it does not keep. When CURRENT names a generation later than this handle's: `invariant`
    // "generation {} of this handle was collected by another process (the store is at generation
    // {})", remedy "open the store again". Ok when CURRENT names this generation (or an earlier
    // one) or cannot be read: a missing file is then what it is.
    Status check_not_collected() const;
    // The error a read of this handle reports for `error`: check_not_collected's when `error` is a
    // missing file (names_missing_file) and the generation was collected, else `error` unchanged.
    EngineError explain_missing(EngineError error) const;
    // On a current-only store, every as-of time below OPEN_END - 1 is refused.
    Status assert_full_belief(std::int64_t tt) const;
    // The uid of a dense id (committed entries and entries added since alike).
    Result<std::string> uid_of(std::uint32_t dense_id) const;
    // The dense id of a uid the dictionary must hold.
    Result<std::uint32_t> dense_or_err(std::string_view uid) const;

    bool in_batch() const { return batch_.open(); }
    // Moves the handle's pin to `generation`: pins the new one before unpinning the old, so that
    // at no instant are both unpinned. Commit, install and the manifest upgrade call it when they
    // adopt a generation.
    void move_pin(std::uint64_t generation);
    // The same with the new pin made ahead (pin_slot_for), so that it cannot fail: for the step
    // after CURRENT has been renamed, which must follow the published generation whatever happens.
    void move_pin(PinSlot&& slot) noexcept;
    PinSlot pin_slot_for(std::uint64_t generation) const { return PinSlot(pin_key_, generation); }
    // The generation this handle holds pinned.
    std::uint64_t pinned_generation() const { return pinned_generation_; }

    // ---- entities (exclusive) ----
    // Gives `uid`, which the dictionary must not hold yet (dict().dense_id finds nothing: the
    // caller looks up first, usually many uids at once), the next dense id with `label`; the entry
    // reaches dict.log with the next commit and needs no batch. `capacity` when the dictionary is
    // full or a text is longer than a record holds; nothing is added then.
    Result<std::uint32_t> add_entity(std::string_view uid, std::string_view label);

    // ---- batches (exclusive) ----
    // Opens a batch at transaction time `tt`, which must be below OPEN_END and after the current
    // generation's created_tt (the genesis generation accepts any). No I/O.
    Status begin(std::int64_t tt);
    // The refusal of every batch operation called with no batch open (no_batch_error).
    Status require_batch() const;
    // Appends a row to the open batch; a vid staged before is accepted again.
    Status stage_edge(EdgeRow row);
    Status stage_node(NodeRow row);
    // Appends one row per vid, built in place from columns: `fill(index, row)` sets everything
    // but the vid. With no batch open nothing is staged. When `fill` throws at row k, rows 0 to
    // k - 1 stay staged (a call that fails part-way keeps what it staged) and the exception goes on.
    template <class Fill>
    Status stage_edges(std::span<const Id96> vids, Fill&& fill) {
        VORP_TRY(require_batch());
        batch_.staging.add_edges(vids, std::forward<Fill>(fill));
        return ok();
    }
    template <class Fill>
    Status stage_nodes(std::span<const Id96> vids, Fill&& fill) {
        VORP_TRY(require_batch());
        batch_.staging.add_nodes(vids, std::forward<Fill>(fill));
        return ok();
    }
    // Records that the version `vid` of `kind` stops being believed at `tt_e`: a version staged in
    // this batch first, else the stored one (found through the vid postings and confirmed against
    // its segment). `not_found` when neither exists. A failure records nothing.
    Status close_version(RowKind kind, const Id96& vid, std::int64_t tt_e);
    // Withdraws every row of `kind` staged with `vid` in this batch, and a close recorded for it.
    Status retire_version(RowKind kind, const Id96& vid);
    // Drops the batch: staged rows, closes, the pending layer, and every dictionary entry added
    // since the last commit. No I/O.
    Status rollback();

    // ---- commit, install, upgrade (exclusive) ----
    // Seals the batch and publishes it as the next generation, recording `cursor` as its
    // event-log cursor; returns the new generation. Every file reaches stable storage before the
    // next is written and CURRENT's rename is the commit point (see the top of this file). A
    // failure before that point restores the manifest, Merkle state and the handle's statistics
    // view to what they were, keeps the batch open and leaves what it wrote as orphans that the
    // next commit overwrites; dictionary records already written count as committed. A failure
    // after it (the root's sync) still moves the handle to the new generation, then is reported.
    Result<std::uint64_t> commit(EventLogRef cursor);
    // Publishes `next` (complete and sealed) as a checkpoint and adopts it; no batch may be open.
    Result<std::uint64_t> install(Manifest next);
    // Makes a published manifest current: pin moved (when its generation differs), Merkle state
    // rebuilt, manifest replaced. The per-generation caches notice on their next use.
    void adopt(Manifest next);
    // Publishes a format-1 or format-2 store's manifest as a format-3 checkpoint of the next
    // generation (same content, same created_tt), which makes the store writable. A format-3
    // store is reported and left alone.
    Result<UpgradeReport> upgrade_manifests();

    // ---- segment files, postings, close index (shared) ----
    // The opened segment of a manifest file name ("seg/....vos"), through the segment cache.
    Result<std::shared_ptr<const Segment>> open_segment(std::string_view file);
    // The current manifest's edge files (event lane, then interval lane) and node files.
    std::vector<SegmentFileRef> edge_files() const { return vorp::edge_files(manifest_); }
    std::vector<SegmentFileRef> node_files() const { return vorp::node_files(manifest_); }
    // Segment id -> file of the current generation, per kind.
    std::shared_ptr<const SegmentFiles> segment_files();
    // The close index of the current generation's committed close runs.
    Result<std::shared_ptr<const CloseIndex>> committed_close_index();
    // What reads consult for a stored version's tt_e: the open batch's pending layer when it has
    // one, else the committed index.
    Result<std::shared_ptr<const CloseIndex>> close_overlay();
    // The committed close index's cache (close tables for scans and pages).
    CloseIndexCache& close_cache() { return caches_.close; }
    // Brings the postings of `kind` up to date with the current generation's segments.
    Status index_segments(RowKind kind);
    KindPostings& postings(RowKind kind) { return kind == RowKind::Edge ? caches_.edge_postings : caches_.node_postings; }
    SegmentCacheStats segment_cache_stats();
    PostingsStats postings_stats(RowKind kind);
    // Prunes the segment cache, the verified set and both postings to the files in `live`.
    void evict_segments_not_in(const FileNameSet& live);
    SegmentCache& cache() { return *caches_.segments; }

    // ---- statistics (shared) ----
    // The statistics of the current generation: the cached ones, or one walk over the edge
    // segments (opened outside the segment cache, verified once per handle). Built outside a
    // batch, the result is cached; built during one, it also counts the staged rows and is not.
    Result<StatsAccum> stats_accum();
    // Forgets the cached statistics; the next stats_accum walks the store again.
    void drop_stats_cache();

private:
    friend struct StoreTestAccess;  // tests only: the one way in past the member functions

    explicit NativeStore(std::filesystem::path root_path);
    // Publishes `next` as a checkpoint and adopts it (install and the upgrade). Its pin and Merkle
    // state are made before anything is written, so that once CURRENT names it the handle
    // follows without any step that can fail; an exception before that leaves the handle as it was.
    Result<std::uint64_t> publish_and_adopt(Manifest next);

    // ---- owning state, in release order ----
    std::filesystem::path root_;
    std::filesystem::path pin_path_;
    Dictionary dict_;
    Manifest manifest_;
    std::optional<ManifestMerkle> merkle_;
    Batch batch_;
    StoreCaches caches_;

    // ---- plain state ----
    std::optional<CommitPhases> last_commit_phases_;
    std::uint64_t checkpoint_generation_ = 0;
    std::int64_t lane_origin_ = DEFAULT_LANE_ORIGIN;
    std::int64_t lane_stride_ = DEFAULT_LANE_STRIDE;
    std::uint64_t segment_target_bytes_ = DEFAULT_SEGMENT_TARGET_BYTES;
    OpenPhases open_phases_;
    bool current_only_ = false;
    std::optional<std::uint64_t> segment_cache_budget_;

    bool pinned_ = false;
    std::uint64_t pinned_generation_ = 0;
    std::string pin_key_;  // pin_key(pin_path_), made once so that giving the pin back allocates nothing
};

// The error of a batch operation called with no batch open.
EngineError no_batch_error();

}  // namespace vorp
