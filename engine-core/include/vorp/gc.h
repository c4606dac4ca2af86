// Garbage collection of a store's files.
//
// Removes what no retained generation needs: the manifest-chain files of
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
#include <string>
#include <vector>

#include "vorp/error.h"

namespace vorp {

class NativeStore;

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
