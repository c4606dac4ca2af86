// Store verification: a read-only check of everything the current generation of a store rests on,
// which reports every problem it meets as a finding instead of stopping at the first one.
//
// Two modes:
//
//   fast  the handle's manifest against its own digest (a failure here is an error, not a finding:
//         nothing else can be trusted), the generation rebuilt from the manifest chain on disk and
//         compared with the handle's, every segment file read whole and opened with every checksum
//         verified, every close-run file read, the dictionary's record count against the manifest.
//   full  the fast mode, then CURRENT (must parse and publish the digest recomputed from scratch),
//         the committed part of dict.log (must load, and name no uid twice), and three walks:
//           parent_chain         every manifest-chain file at or below the generation, each read
//                                on its own, and the links between neighbours (parent number and
//                                sha of deltas; created_tt, next_segment_id and event-log offset
//                                never moving backwards);
//           check_close_targets  every close row that names a segment of the generation names a
//                                row the segment holds;
//           check_rows           every segment's header against its manifest entry and its rows,
//                                and every row: dictionary codes below the committed record
//                                count, relationship codes and string references inside the
//                                segment, every referenced string readable, non-empty valid-time
//                                and belief intervals, and no two currently believed versions of
//                                one identity overlapping in valid time.
//
// Verification reads files afresh from disk: it never consults or fills the handle's segment
// cache, verified-once set or close-index cache, takes no mutex and writes nothing; the row walk
// alone starts worker threads, joined before it returns. Only a manifest that fails its own
// digest ends the call with an error (both modes), and so does a file of the generation that is
// missing while CURRENT names a later one: another process collected the generation, the store
// is sound and the handle is behind it (NativeStore::check_not_collected). Everything else the
// checks meet, a segment the row walk cannot read included, is a finding.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "vorp/dict.h"
#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/store.h"
#include "vorp/visibility.h"

namespace vorp {

// The one severity the engine produces.
inline constexpr std::string_view SEVERITY_ERROR = "error";

// One problem. `path` is relative to the store root (a manifest entry's file as recorded, a fixed
// name such as "CURRENT", a chain file name) or empty.
struct Finding {
    std::string layer;
    std::string kind;
    std::string path;
    std::uint64_t generation = 0;
    std::string detail;
    std::string severity{SEVERITY_ERROR};

    bool operator==(const Finding&) const = default;
};

// The result of both modes; every counter starts at 0.
struct VerifyReport {
    std::string mode;  // "fast" or "full"
    std::uint64_t generation = 0;
    std::uint32_t manifest_format = 0;
    std::uint64_t manifest_checkpoint = 0;  // where the chain reconstruction started (0 when it failed)
    std::uint64_t manifest_deltas = 0;      // deltas it applied (0 when it failed)
    std::uint32_t segments_checked = 0;     // loaded and opened with their checksums verified
    std::uint32_t close_runs_checked = 0;   // read without error
    std::uint64_t rows = 0;                 // header row counts of the segments checked
    std::uint64_t closes = 0;               // rows of the close runs checked
    std::uint32_t dict_records = 0;         // the handle's dictionary, staged entries included
    std::uint64_t tt_s_runs = 0;            // tt_s runs of the segments checked
    std::uint32_t max_tt_s_runs = 0;        // the most in one segment
    std::uint64_t rows_walked = 0;          // full mode: rows of every segment walked
    std::uint64_t believed_rows = 0;        // full mode: rows walked that are currently believed
    std::uint64_t identities_checked = 0;   // full mode: edge ids and node ids with a believed row
    std::vector<std::string> problems;      // the detail of every "error" finding, in order
    std::vector<Finding> findings;          // every finding, in the order recorded

    // Appends the detail to `problems` when the severity is "error", then the finding.
    void flag(Finding finding);
    bool healthy() const { return problems.empty(); }

    bool operator==(const VerifyReport&) const = default;
};

// The fast mode's result: the report and every row of every close-run file it read, in the order
// of the manifest's close_runs and within a file in file order.
struct FastVerification {
    VerifyReport report;
    std::vector<StagedClose> close_rows;
    // The entry files of the segments it could not read or open (reported as missing or
    // unreadable) or whose header claims other rows than their entry (reported as a row count
    // mismatch, and never decoded); the row walk does not read them again.
    std::unordered_set<std::string> unreadable_segments;
};

// The fast mode. Reads the handle's root, manifest and dictionary only.
Result<FastVerification> verify_files(const NativeStore& store);
// The full mode: the fast mode, then verify_full_after.
Result<VerifyReport> verify_full(const NativeStore& store);
// The full mode's own checks after `fast`, the fast mode's result on the same handle. A file of the
// generation that is gone by the end while CURRENT names a later generation was collected by
// another process during the walk: the collected error (NativeStore::check_not_collected), not
// the walk's findings.
Result<VerifyReport> verify_full_after(const NativeStore& store, FastVerification fast);

// ---- the steps of the full mode, each usable on its own ----------------------------------------

// CURRENT against the handle's generation and the digest of `manifest` recomputed from scratch:
// at most one finding. A CURRENT naming another generation is no finding (another process may
// have published since the handle opened).
std::vector<Finding> check_current(const std::filesystem::path& root, const Manifest& manifest);

// The committed part of dict.log (the manifest's dict.bytes): it must load as `dict.records`
// records, and no uid may be recorded twice (open would accept the file, and every later lookup
// of that uid would find only its first id).
std::vector<Finding> check_dict_log(const std::filesystem::path& root, const Manifest& manifest);

// Every manifest-chain file at or below `generation`, and the links between them. Never fails.
std::vector<Finding> parent_chain(const std::filesystem::path& root, std::uint64_t generation);

// Close rows whose segment the manifest lists but whose row the segment does not hold.
std::vector<Finding> check_close_targets(const Manifest& manifest, std::span<const StagedClose> close_rows);

// The interval tests of one row: "valid-interval-empty" when vt_s >= vt_e, "belief-interval-empty"
// when the row is closed (tt_e != OPEN_END) and tt_s >= tt_e; appended to `findings` in this order.
void row_intervals(std::string_view path, std::uint64_t generation, std::uint32_t row, std::int64_t vt_s,
                   std::int64_t vt_e, std::int64_t tt_s, std::int64_t tt_e, std::vector<Finding>& findings);

struct RowWalkReport {
    std::uint64_t rows_walked = 0;
    std::uint64_t believed_rows = 0;
    std::uint64_t identities_checked = 0;
    std::vector<Finding> findings;
};

// Walks every row of every segment of `manifest` (event lane, interval lane, nodes) without
// checksum verification, with tt_e from `closes` over each segment's own closed_rows, and never
// fails: whatever it cannot read becomes a finding. Segments named in `passed_over` (those the
// fast mode could not read, or found claiming other rows than their entry) are not walked; a
// segment whose header claims other rows than its entry is never decoded ("rows-unreadable" with
// the open's refusal). Per segment, in this order:
//   header     the manifest entry's summary against the header (entry-summary-mismatch), the
//              vt_e column present exactly when vt_e_elided is false (vt-e-elided-mismatch),
//              tt_s_runs strictly ascending (tt-s-runs-not-ascending), closed_rows strictly
//              ascending (closed-rows-unsorted) and inside the segment (closed-row-past-end);
//   columns    the string table and every column the reads of the kind read; a failure here, or a
//              row whose tt_s no run covers, ends the segment's walk with "rows-unreadable";
//   order      rows ascending by (vt_s, vid) (rows-out-of-order) and held by the header's bounds
//              vt_min, vt_max, vt_e_max, key_lo, key_hi (header-bounds-exceeded);
//   rows       dictionary codes, rel_code, every string reference range-checked (the none marker
//              only in prov_ref and name_ref) and every referenced string read once
//              (string-unreadable), node name_ref against the name its props give
//              (name-ref-mismatch), the interval tests, and the believed intervals.
// A version counts as believed exactly when the belief rule believes it now. Segments are walked
// in parallel when the scan's gate opens (VORP_SCAN_THREADS, VORP_PARALLEL_MIN_ROWS), each into a
// result of its own combined in walk order, so findings and counters do not depend on the thread
// count.
// Fails only when the call is interrupted (interrupt.h).
Result<RowWalkReport> check_rows(const std::filesystem::path& root, const Manifest& manifest,
                                 const Dictionary& dictionary, const CloseIndex& closes,
                                 const std::unordered_set<std::string>& passed_over = {});

}  // namespace vorp
