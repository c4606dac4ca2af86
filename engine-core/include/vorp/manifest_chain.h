// The manifest chain: one file per generation under `manifests/`, either a checkpoint (the whole
// manifest) or a delta (what changed since the parent), and the reconstruction of any generation
// from the checkpoint below it and the deltas above that checkpoint.
//
// File name: manifests/{generation:020}.json (25 characters), the same name for both kinds.
//
// Checkpoint file (pretty JSON, two-space indent, no trailing newline):
//   "kind": "checkpoint", then "sha_kind": "merkle-v1" for format 3 only, then the manifest's 13
//   members in their compact-form order. Files written by format-1/2 engines have no "kind" and
//   are read as checkpoints.
//
// Delta file (same layout): "format", "kind": "delta", "sha_kind" (left out when empty),
//   "generation", "parent", "parent_sha", "checkpoint", "created_tt", "event_log", "dict",
//   "next_segment_id", "stats", the four addition and four removal lists (each left out when
//   empty), "delta_sha", "manifest_sha".
//   delta_sha = short sha of the delta's compact form with "delta_sha" written as "". It covers
//   "manifest_sha", the digest of the manifest that applying the delta produces.
//
// Every file read here is untrusted: a read checks the file's own digest, and a reconstruction
// checks that each delta links to the manifest rebuilt so far (parent number, parent sha) and
// that the digest after every step is the one the delta records.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vorp/error.h"
#include "vorp/json.h"
#include "vorp/manifest.h"
#include "vorp/merkle.h"

namespace vorp {

inline constexpr std::string_view MANIFESTS_DIR = "manifests";
inline constexpr std::string_view CHECKPOINT_EVERY_ENV = "VORP_MANIFEST_CHECKPOINT_EVERY";
inline constexpr std::uint64_t DEFAULT_CHECKPOINT_EVERY = 512;
// The sha_kind of format-3 records; formats 1 and 2 declare none.
inline constexpr std::string_view SHA_KIND_MERKLE_V1 = "merkle-v1";
// Tag sniffing never looks past this many bytes of a chain file.
inline constexpr std::size_t TAG_SNIFF_WINDOW = 1024;
// The remedy of the read-only-format error.
inline constexpr std::string_view UPGRADE_MANIFESTS_REMEDY =
    "run `vorp store upgrade-manifests --store <path>`: it writes one format-3 checkpoint and flips "
    "CURRENT, touching nothing else";

// ---- files ---------------------------------------------------------------------------------------

// root / "manifests" / "{generation:020}.json".
std::filesystem::path manifest_path(const std::filesystem::path& root, std::uint64_t generation);

// "manifests/{generation:020}.json": the chain file's name relative to the store root.
std::string manifest_relative_name(std::uint64_t generation);

// The checkpoint file's full content. Cannot fail.
std::string checkpoint_json(const Manifest& manifest);

// The checkpoint interval from VORP_MANIFEST_CHECKPOINT_EVERY, read on every call: white space
// trimmed, then an unsigned decimal with an optional '+'. Unset, not UTF-8, malformed, out of
// range or 0: 512. Always at least 1.
std::uint64_t checkpoint_every();

// ---- deltas --------------------------------------------------------------------------------------

// What a delta is cut against: the previous generation as the writer last published or opened it.
struct DeltaBase {
    std::string manifest_sha;
    std::uint64_t generation = 0;
    // Entries in node_store, edge_lanes.event, edge_lanes.interval, close_runs.
    std::array<std::uint64_t, MERKLE_LANES> lane_lens{};
    Widths widths;
    // The previous generation's Merkle state. A delta is cut only when the additions pushed onto
    // a copy of it reproduce the new manifest's digest, so a change that a delta cannot express
    // (an entry rewritten in place, a reorder) becomes a checkpoint. Absent: no delta is cut.
    std::optional<ManifestMerkle> merkle;
};

// The change from one generation to the next.
struct ManifestDelta {
    std::uint32_t format = MANIFEST_FORMAT_VERSION;
    std::string kind = "delta";
    std::string sha_kind;  // "merkle-v1" for format 3, empty for formats 1 and 2
    std::uint64_t generation = 0;
    std::uint64_t parent = 0;  // generation - 1
    std::string parent_sha;
    std::uint64_t checkpoint = 0;  // the checkpoint this run of deltas rests on
    std::int64_t created_tt = 0;
    EventLogRef event_log;
    DictRef dict;
    std::uint64_t next_segment_id = 0;
    Stats stats;
    std::vector<SegmentEntry> add_nodes;
    std::vector<std::string> del_nodes;
    std::vector<SegmentEntry> add_edges_event;
    std::vector<std::string> del_edges_event;
    std::vector<SegmentEntry> add_edges_interval;
    std::vector<std::string> del_edges_interval;
    std::vector<CloseRunRef> add_close_runs;
    std::vector<std::string> del_close_runs;
    std::string delta_sha;
    std::string manifest_sha;  // the digest of the manifest this delta produces

    // The sealed delta that turns the base generation's manifest into `manifest`, or nothing when
    // the change is not a pure append that a delta reproduces exactly. `manifest` must be sealed.
    static std::optional<ManifestDelta> from_appends(const Manifest& manifest, const DeltaBase& base,
                                                     std::uint64_t checkpoint);

    // Short sha of the compact form with "delta_sha" written as "".
    std::string body_sha() const;
    void seal() { delta_sha = body_sha(); }
    // The delta file's full content. Cannot fail.
    std::string to_json() const;
    // Format, kind, sha_kind and delta_sha, in this order; `corrupt` errors without location.
    Status verify_self() const;
    // Turns the parent's manifest (and its Merkle state when given) into this delta's generation.
    // The resulting manifest_sha is the recorded one; the caller recomputes and compares.
    void apply_into(Manifest& manifest, ManifestMerkle* merkle) const;

    bool operator==(const ManifestDelta&) const = default;
};

// Reading a delta: members in any order, unknown ones skipped; "sha_kind" and the eight lists may
// be absent; "parent" must be a number. Failures name the expectation "struct ManifestDelta".
void json_write(JsonWriter& w, const ManifestDelta& value);
bool json_read(JsonReader& r, ManifestDelta& out);

// The expected sha_kind of a format is "merkle-v1" from format 3 on and "" below; anything else
// is `corrupt` "manifest format {} implies sha_kind {} but the record declares {}".
Status check_sha_kind(std::uint32_t format, std::string_view sha_kind);

// ---- records -------------------------------------------------------------------------------------

// The content of one chain file.
struct ManifestRecord {
    std::variant<Manifest, ManifestDelta> content;

    bool is_checkpoint() const { return std::holds_alternative<Manifest>(content); }
    bool is_delta() const { return std::holds_alternative<ManifestDelta>(content); }
    // Only valid for the matching kind.
    const Manifest& checkpoint() const { return std::get<Manifest>(content); }
    Manifest& checkpoint() { return std::get<Manifest>(content); }
    const ManifestDelta& delta() const { return std::get<ManifestDelta>(content); }
    ManifestDelta& delta() { return std::get<ManifestDelta>(content); }
    // The generation the record describes.
    std::uint64_t generation() const;

    // The files the record names, borrowed from it: a checkpoint's node, event, interval and
    // close-run entries; a delta's added entries in the same lane order (removals not included).
    std::vector<std::string_view> referenced_files() const;

    bool operator==(const ManifestRecord&) const = default;
};

// A record with the Merkle state built while its digest was verified (format-3 checkpoints only).
struct VerifiedRecord {
    ManifestRecord record;
    std::optional<ManifestMerkle> merkle;
};

// Accumulated while chain files are read and replayed: whole microseconds of the monotonic clock.
struct ChainTimings {
    std::uint64_t checkpoint_read_parse_us = 0;
    std::uint64_t merkle_verify_us = 0;
    std::uint64_t delta_read_parse_us = 0;
    std::uint64_t deltas_applied = 0;
    std::uint64_t delta_apply_us = 0;
    std::uint32_t chain_format = 0;  // format of the checkpoint read last

    bool operator==(const ChainTimings&) const = default;
};

// The full manifest of a generation rebuilt from its chain.
struct Reconstructed {
    Manifest manifest;
    std::optional<ManifestMerkle> merkle;  // present when rebuilt from a format-3 checkpoint
    std::uint64_t checkpoint = 0;          // the checkpoint it was rebuilt from
    std::uint64_t deltas_since_checkpoint = 0;
    std::uint64_t records_read = 0;  // requested generation - starting checkpoint + 1
    ChainTimings timings;
};

// A replay in progress: a checkpoint's manifest with the deltas above it applied one by one.
struct Walk {
    Manifest manifest;
    std::optional<ManifestMerkle> merkle;
    std::uint64_t checkpoint = 0;
    std::uint64_t deltas_since_checkpoint = 0;
    ChainTimings timings;

    // Checks that the delta rests on this walk's checkpoint and links to its manifest, applies it
    // and, with a Merkle state, compares the new digest. Errors carry the delta's file. After a
    // failure the walk is half-applied and must be dropped.
    Status step_delta(const std::filesystem::path& root, const ManifestDelta& delta);
    // Checks the walk ended on `generation` and, without a Merkle state, the final digest.
    Result<Reconstructed> finish(std::uint64_t generation, std::uint64_t records_read) &&;
};

// The value of a top-level string member found in the first 1024 bytes without parsing: the
// first occurrence of "key", white space, ':', white space, '"', then the bytes up to the next '"'.
std::optional<std::string_view> sniff_tag(std::string_view text, std::string_view key);

// Parses a chain file and makes the checks that need no digest (delta: verify_self; checkpoint:
// the sha_kind rule). `corrupt` errors without location.
Result<ManifestRecord> parse_record_raw(std::string_view text);
// Verifies a checkpoint's digest (format 3: with the Merkle state it returns; formats 1, 2:
// Manifest::verify). Deltas pass unchanged.
Result<VerifiedRecord> finish_raw_record(ManifestRecord record);
// parse_record_raw then finish_raw_record, the Merkle state dropped.
Result<ManifestRecord> parse_record(std::string_view text);

// Reads and verifies the file of `generation`; every error carries that file.
Result<VerifiedRecord> read_record_with_state(const std::filesystem::path& root, std::uint64_t generation);
Result<VerifiedRecord> read_record_with_state_timed(const std::filesystem::path& root, std::uint64_t generation,
                                                    ChainTimings& timings);
Result<ManifestRecord> read_record(const std::filesystem::path& root, std::uint64_t generation);

// Rebuilds the manifest of `generation`: from the checkpoint its delta names when that path
// succeeds, otherwise down by parents to the nearest checkpoint and up again.
Result<Reconstructed> reconstruct(const std::filesystem::path& root, std::uint64_t generation);

// The error of a generation below the target, reworded to name both (the inner message only):
// `corrupt` with the restore remedy, except that an operating-system failure other than a missing
// file stays `io` without a remedy.
EngineError chain_below(const std::filesystem::path& root, std::uint64_t target, std::uint64_t failing,
                        EngineError error);

// `invariant` "this store {}, and this build writes manifest format 3; it is open read-only",
// with the upgrade instruction as remedy.
EngineError read_only_format_error(std::uint32_t format);

}  // namespace vorp
