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
//           check_rows           every row of every segment: dictionary codes below the committed
//                                record count, relationship codes and string references inside
//                                the segment, non-empty valid-time and belief intervals, and no two
//                                currently believed versions of one identity overlapping in valid
//                                time.
//
// Verification reads files afresh from disk: it never consults or fills the handle's segment
// cache, verified-once set or close-index cache, takes no mutex, starts no thread and writes
// nothing. Only a manifest that fails its own digest (both modes) and a segment the row walk has
// opened but cannot read (full mode) end the call with an error; the findings gathered are then
// dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
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
};

// The fast mode. Reads the handle's root, manifest and dictionary only.
Result<FastVerification> verify_files(const NativeStore& store);
// The full mode.
Result<VerifyReport> verify_full(const NativeStore& store);

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

// Walks every row of every segment of `manifest` (event lane, interval lane, nodes), one segment
// mapped at a time and without checksum verification, with tt_e from `closes` over each
// segment's own closed_rows. A segment that cannot be mapped or opened is passed over (the fast
// mode reports it); a segment opened but unreadable (a column, the string table, a tt_s run, the
// disc text of a believed edge) ends the walk with that error.
Result<RowWalkReport> check_rows(const std::filesystem::path& root, const Manifest& manifest,
                                 const Dictionary& dictionary, const CloseIndex& closes);

}  // namespace vorp
