// Reads of versions on a store handle: sweeps, point lookups, history pages, belief by identity,
// entity resolution and the node window scan.
//
// Every read sees the handle's current generation plus the open batch. Its close overlay is chosen
// once, at its start: the batch's pending close layer when the batch closed a stored version, else
// the committed close index. A stored row's tt_e is the overlay's (close_tt_e), a staged row's the
// batch's staged_vid_closes entry, else OPEN_END. Reads that take an as-of time believe a version
// exactly when is_believed(tt_s, tt_e, as_of) holds (visibility.h) - with the one exception of the
// history pages, which also list versions no longer believed (belief_mode_keeps, visibility.h).
//
// Reads take the handle shared: they change nothing another read can observe, apart from the lazy
// caches and indexes behind the handle's own mutexes (segment cache, postings, staging index).
// The first error ends a read; nothing partial is returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "vorp/error.h"
#include "vorp/row.h"
#include "vorp/store.h"
#include "vorp/visibility.h"

namespace vorp {

// ---- version records ------------------------------------------------------------------------------
// Both own their texts, so they outlive the segments they were read from. Field order is the key
// order of the Python row dicts.

struct EdgeVersionOut {
    std::string eid;  // 24 lowercase hex digits
    std::string vid;  // 24 lowercase hex digits
    std::string src;
    std::string dst;
    std::string rel_type;
    std::string disc;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::int64_t tt_s = 0;
    std::int64_t tt_e = OPEN_END;
    std::string props;
    std::string source;
    std::optional<std::string> provenance_ref;

    bool operator==(const EdgeVersionOut&) const = default;
};

struct NodeVersionOut {
    std::string vid;
    std::string uid;
    std::string label;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::int64_t tt_s = 0;
    std::int64_t tt_e = OPEN_END;
    std::string props;
    std::string source;
    std::optional<std::string> provenance_ref;

    bool operator==(const NodeVersionOut&) const = default;
};

// The field tables of the version records: each field's Python key and member, in the order of
// the Python row dicts and column dicts. Whatever builds records into Python goes through them, so
// a new field is one line here.
template <class Record, class Member>
struct RecordField {
    const char* key;
    Member Record::*member;
};
template <class Record, class Member>
constexpr RecordField<Record, Member> record_field(const char* key, Member Record::*member) {
    return {key, member};
}
template <class Record>
struct RecordFields;

template <>
struct RecordFields<EdgeVersionOut> {
    using R = EdgeVersionOut;
    static constexpr auto fields =
        std::tuple{record_field("eid", &R::eid),       record_field("vid", &R::vid),
                   record_field("src", &R::src),       record_field("dst", &R::dst),
                   record_field("rel_type", &R::rel_type), record_field("disc", &R::disc),
                   record_field("vt_s", &R::vt_s),     record_field("vt_e", &R::vt_e),
                   record_field("tt_s", &R::tt_s),     record_field("tt_e", &R::tt_e),
                   record_field("props", &R::props),   record_field("source", &R::source),
                   record_field("provenance_ref", &R::provenance_ref)};
};

template <>
struct RecordFields<NodeVersionOut> {
    using R = NodeVersionOut;
    static constexpr auto fields =
        std::tuple{record_field("vid", &R::vid),     record_field("uid", &R::uid),
                   record_field("label", &R::label), record_field("vt_s", &R::vt_s),
                   record_field("vt_e", &R::vt_e),   record_field("tt_s", &R::tt_s),
                   record_field("tt_e", &R::tt_e),   record_field("props", &R::props),
                   record_field("source", &R::source), record_field("provenance_ref", &R::provenance_ref)};
};

// The close overlay of a read: the open batch's pending layer when present, else the committed
// close index (whose failure is returned).
Result<std::shared_ptr<const CloseIndex>> read_overlay(NativeStore& store);

// The tt_e of a staged version: its entry in the batch's staged_vid_closes, else OPEN_END.
std::int64_t staged_tt_e(const NativeStore& store, const Id96& vid);

// ---- sweeps ---------------------------------------------------------------------------------------

// Every version of the kind: stored ones segment by segment in file-list order (event lane, then
// interval lane, for edges), rows ascending, then the staged ones in staging order. No filter.
Result<std::vector<EdgeVersionOut>> all_edge_versions(NativeStore& store);
Result<std::vector<NodeVersionOut>> all_node_versions(NativeStore& store);

Result<EdgeVersionOut> staged_edge_out(const NativeStore& store, const EdgeRow& row);
Result<NodeVersionOut> staged_node_out(const NativeStore& store, const NodeRow& row);
Result<std::vector<EdgeVersionOut>> staged_edge_versions(const NativeStore& store);
Result<std::vector<NodeVersionOut>> staged_node_versions(const NativeStore& store);

// ---- point lookups --------------------------------------------------------------------------------

// (eid, rel_type) of each stored edge address (segment id, row), in address order. `invariant` for
// lists of different lengths, a segment id the current generation's edge lists lack, or a row not
// below the segment's rows; `corrupt` for a rel_code without a type.
Result<std::vector<std::pair<std::string, std::string>>> edge_idents_at(NativeStore& store,
                                                                         std::span<const std::uint64_t> seg_ids,
                                                                         std::span<const std::uint32_t> seg_rows);

// props of the versions of the kind named by the vid texts, keyed by the text as given. Texts that
// are not vids are skipped; a staged version replaces a stored one with the same vid; among stored
// versions sharing a vid the last in sweep order wins. Found through the vid postings.
Result<std::unordered_map<std::string, std::string>> props_for_vids(NativeStore& store, RowKind kind,
                                                                    std::span<const std::string> vids);

// ---- version history pages ------------------------------------------------------------------------

struct VersionQuery {
    std::int64_t as_of_tt = 0;  // clamped to OPEN_END - 1, as belief at any later time is belief now
    std::int64_t t_a = 0;       // valid-time window [t_a, t_b)
    std::int64_t t_b = 0;
    // Absent (null): no relationship filter. Present: edges whose type is one of the names (an
    // empty list keeps none). Ignored for nodes. Borrowed from the caller.
    const std::vector<std::string>* rel_types = nullptr;
    BeliefMode belief = BeliefMode::All;
};

// One qualifying version, integers only. seg_id STAGED_SEGMENT marks a staged version, whose row is
// its index among the staged rows of the kind.
struct VersionKey {
    std::int64_t tt_s = 0;
    std::uint64_t vid64 = 0;
    std::uint64_t seg_id = 0;
    std::uint32_t vid_lo32 = 0;
    std::uint32_t row = 0;

    bool operator==(const VersionKey&) const = default;
};
inline constexpr std::uint64_t STAGED_SEGMENT = UINT64_MAX;

struct EdgeVersionRow {
    std::string vid;
    std::string eid;
    std::string src;
    std::string dst;
    std::string rel_type;
    std::string disc;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::int64_t tt_s = 0;
    std::int64_t tt_e = OPEN_END;  // raw: never censored against the as-of time

    bool operator==(const EdgeVersionRow&) const = default;
};

struct NodeVersionRow {
    std::string vid;
    std::string uid;
    std::string label;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::int64_t tt_s = 0;
    std::int64_t tt_e = OPEN_END;

    bool operator==(const NodeVersionRow&) const = default;
};

template <>
struct RecordFields<EdgeVersionRow> {
    using R = EdgeVersionRow;
    static constexpr auto fields =
        std::tuple{record_field("vid", &R::vid),   record_field("eid", &R::eid),
                   record_field("src", &R::src),   record_field("dst", &R::dst),
                   record_field("rel_type", &R::rel_type), record_field("disc", &R::disc),
                   record_field("vt_s", &R::vt_s), record_field("vt_e", &R::vt_e),
                   record_field("tt_s", &R::tt_s), record_field("tt_e", &R::tt_e)};
};

template <>
struct RecordFields<NodeVersionRow> {
    using R = NodeVersionRow;
    static constexpr auto fields =
        std::tuple{record_field("vid", &R::vid),   record_field("uid", &R::uid),
                   record_field("label", &R::label), record_field("vt_s", &R::vt_s),
                   record_field("vt_e", &R::vt_e), record_field("tt_s", &R::tt_s),
                   record_field("tt_e", &R::tt_e)};
};

using VersionRows = std::variant<std::vector<EdgeVersionRow>, std::vector<NodeVersionRow>>;

struct VersionPage {
    VersionRows rows;
    std::uint64_t rows_total = 0;  // the whole qualifying population
};

// The keys of every qualifying version, stored then staged, in collection order.
Result<std::vector<VersionKey>> version_keys(NativeStore& store, RowKind kind, const VersionQuery& query);
// One row per key, in key order.
Result<VersionRows> version_rows_at(NativeStore& store, RowKind kind, std::span<const VersionKey> keys);
// keys sorted stably by (tt_s, vid), cut as the Python slice [offset : offset + limit]. Refused on a
// current-only store for a past as_of_tt.
Result<VersionPage> version_page(NativeStore& store, RowKind kind, const VersionQuery& query, std::int64_t offset,
                                 std::int64_t limit);
// [start, end) of the slice [offset : offset + limit] of n elements under Python's rules (the sum
// saturates at the i64 range).
std::pair<std::size_t, std::size_t> page_bounds(std::size_t n, std::int64_t offset, std::int64_t limit);

// ---- belief by identity ---------------------------------------------------------------------------

// A stored row by its segment file name (as the manifest records it) and row.
struct LocatedRow {
    std::string file;
    std::uint32_t row = 0;

    bool operator==(const LocatedRow&) const = default;
};

// Every stored version of the kind filed under `key` whose segment is in the current generation.
Result<std::vector<LocatedRow>> locate(NativeStore& store, RowKind kind, std::uint64_t key);
// The same, restricted to the versions current belief can hold: those whose tt_e under the read's
// overlay (and their segment's folded closes) is not below OPEN_END.
Result<std::vector<LocatedRow>> locate_open(NativeStore& store, RowKind kind, std::uint64_t key);

// The versions of one edge id / node uid believed at as_of_tt, stored and staged, sorted stably by
// (vt_s, vid). Refused on a current-only store for a past as_of_tt.
Result<std::vector<EdgeVersionOut>> believed_edge_versions(NativeStore& store, std::string_view eid,
                                                           std::int64_t as_of_tt);
Result<std::vector<NodeVersionOut>> believed_node_versions(NativeStore& store, std::string_view uid,
                                                           std::int64_t as_of_tt);
// The members of `uids` with at least one node version believed at as_of_tt: per-uid lookups for a
// short list, one sweep when 20 * len(uids) >= the committed node versions.
Result<std::unordered_set<std::string>> nodes_with_believed_versions(NativeStore& store,
                                                                     std::span<const std::string> uids,
                                                                     std::int64_t as_of_tt);
inline constexpr std::uint64_t BELIEVED_ANY_SWEEP_FACTOR = 20;

// ---- entity resolution ----------------------------------------------------------------------------

struct ResolvedEntity {
    std::string uid;
    std::uint8_t score = 0;  // 0 uid equals the query, 1 lower(uid) contains lower(query), 2 lower(name) does
    std::string label;       // of the uid's latest believed version, by (vt_s, vid)
    std::string props;

    bool operator==(const ResolvedEntity&) const = default;
};

// The full Unicode lower-case mapping of a UTF-8 text (root locale; final sigma in context).
// Invalid UTF-8 sequences come out as U+FFFD.
std::string unicode_lower(std::string_view text);

// Matching nodes among the node versions believed at as_of_tt, one per uid with its best score,
// sorted stably by (score, uid bytes).
Result<std::vector<ResolvedEntity>> resolve_entities(NativeStore& store, std::string_view query,
                                                     std::int64_t as_of_tt);

// ---- node window scan -----------------------------------------------------------------------------

struct NodeScanRow {
    std::uint32_t uid_id = 0;
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::string uid;
    std::string vid;
    std::string label;

    bool operator==(const NodeScanRow&) const = default;
};

struct NodeScanOut {
    std::vector<NodeScanRow> rows;       // sorted stably by (vt_s, vid)
    std::uint64_t rows_examined = 0;     // every stored node row plus every staged one
    std::uint64_t rows_materialized = 0;  // rows returned
};

// Node versions believed at as_of_tt whose [vt_s, vt_e) overlaps the window (an absent bound is
// open). Makes no current-only check of its own.
Result<NodeScanOut> scan_node_versions(NativeStore& store, std::int64_t as_of_tt, std::optional<std::int64_t> vt_min,
                                       std::optional<std::int64_t> vt_max);

}  // namespace vorp
