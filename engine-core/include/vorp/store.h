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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/manifest_chain.h"
#include "vorp/merkle.h"
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
inline constexpr std::string_view CRASH_POINT_ENV = "VORP_CRASH_POINT";

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
inline constexpr std::int64_t DEFAULT_LANE_STRIDE = 604800000000;
inline constexpr std::uint64_t DEFAULT_SEGMENT_TARGET_BYTES = 134217728;

// ---- durable writes ------------------------------------------------------------------------------

// The temporary name of a file replaced whole: the extension replaced by "tmp", or ".tmp" appended
// when the file name has none.
std::filesystem::path temp_path_for(const std::filesystem::path& target);

// Replaces `target` whole, so that a reader or a crash at any instant sees either the old content
// or the complete new one: temporary file (created or truncated, 0666 before the umask), every
// byte written, fsync, close, rename over the target, then the target's directory synced.
// Errors are `io` at the temporary file (open, write, sync, close), the target (rename) or the
// directory (its sync; the target is then already replaced).
Status write_atomic(const std::filesystem::path& target, std::string_view bytes);

// Steps 1-6 of write_atomic, without the directory sync; the caller syncs the directory itself
// (publish does, to tell a failure before the rename from one after it).
Status replace_file(const std::filesystem::path& target, std::string_view bytes);

// When VORP_CRASH_POINT (read at every call) equals `name` byte for byte, writes
// "VORP_CRASH_POINT hit: {name}\n" to standard error and aborts the process at once: no unwinding,
// no flushing, files exactly as the write path left them. Otherwise returns.
void crash_point(std::string_view name);

// Creates `dir` and its missing parents (0777 before the umask); every directory this created is
// then synced into its parent. Failure: `io` at the directory concerned.
Status create_dirs_durable(const std::filesystem::path& dir);

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

// Makes `manifest` the current generation of the store at `root`: its manifest-chain file (a delta
// against `base` when one is given, not forced, the generation is not a multiple of `every` and
// the change is a pure append; a checkpoint otherwise), then CURRENT. Changes nothing in any
// handle. A manifest of format other than 3 is refused before anything is written. An error means
// nothing was published: CURRENT still names the previous generation.
Result<Published> publish(const std::filesystem::path& root, const std::optional<DeltaBase>& base,
                          std::uint64_t checkpoint_generation, const Manifest& manifest, bool force,
                          std::uint64_t every);

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

// Reads CURRENT leniently (tokens split at runs of Unicode white space, a third token ignored, the
// generation with an optional '+' and leading zeros) and rebuilds its generation from the chain,
// checking the digest against the sha CURRENT records.
Result<Reconstructed> load_current(const std::filesystem::path& root);

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

// The handle of one open store. Owns the current generation's manifest and Merkle state, the uid
// dictionary, the open batch and the per-handle caches, and holds one pin of its generation in the
// process-wide pin table for as long as it lives.
//
// Plain fields change only in exclusive calls (the Python object lets one exclusive call or any
// number of shared ones in) and are read without a lock; caches and derived indexes sit behind
// their own named mutexes, each a leaf.
class NativeStore {
public:
    // Opens or creates the store at `path` (see store.cpp for the steps). On failure nothing stays
    // pinned; directories created and a genesis generation published stay on disk.
    static Result<std::unique_ptr<NativeStore>> open(std::string_view path);

    // Unpins, then releases the owning fields in declaration order. Writes nothing: an open batch
    // and dictionary entries added since the last commit are lost.
    ~NativeStore();
    NativeStore(const NativeStore&) = delete;
    NativeStore& operator=(const NativeStore&) = delete;

    // Writes CURRENT_ONLY, then marks the handle current-only (left unchanged on failure).
    Status mark_current_only();
    // On a current-only store, every as-of time below OPEN_END - 1 is refused.
    Status assert_full_belief(std::int64_t tt) const;
    // The uid of a dense id (committed entries and entries added since alike).
    Result<std::string> uid_of(std::uint32_t dense_id) const;
    // The dense id of a uid the dictionary must hold.
    Result<std::uint32_t> dense_or_err(std::string_view uid) const;

    bool in_batch() const { return batch_tt.has_value(); }
    // Moves the handle's pin to `generation`: pins the new one before unpinning the old, so that
    // at no instant are both unpinned. Commit, install and the manifest upgrade call it when they
    // adopt a generation.
    void move_pin(std::uint64_t generation);
    // The generation this handle holds pinned.
    std::uint64_t pinned_generation() const { return pinned_generation_; }

    // ---- fields that own resources, in release order ----
    // Later fields of this list are added by the modules that own their types: staging (after
    // merkle), the statistics, postings, verified-set, close-cache and files-cache mutexes (after
    // staged_closes), the segment cache (last, after batch_close_index). Add each to the
    // destructor's release list in the same place.
    std::filesystem::path root;      // as passed to open; every file is addressed under it
    std::filesystem::path pin_path;  // realpath(root), or root when that fails: the pin key
    Dictionary dict;
    Manifest manifest;
    std::optional<ManifestMerkle> merkle;  // present exactly for format 3
    std::unordered_map<Id96, std::int64_t, Id96Hash> staged_vid_closes;
    std::vector<StagedClose> staged_closes;
    std::shared_ptr<CloseIndex> batch_close_index;

    // ---- plain fields ----
    std::optional<std::int64_t> batch_tt;
    std::uint64_t checkpoint_generation = 0;
    std::int64_t lane_origin = DEFAULT_LANE_ORIGIN;
    std::int64_t lane_stride = DEFAULT_LANE_STRIDE;
    std::uint64_t segment_target_bytes = DEFAULT_SEGMENT_TARGET_BYTES;
    OpenPhases open_phases;
    bool current_only = false;
    // The segment cache's budget, fixed by open (absent: unbounded).
    std::optional<std::uint64_t> segment_cache_budget;

private:
    explicit NativeStore(std::filesystem::path root_path);

    bool pinned_ = false;
    std::uint64_t pinned_generation_ = 0;
};

}  // namespace vorp
