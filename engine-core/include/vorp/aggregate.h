// Grouped aggregation of edge versions: the versions believed at a transaction time that start
// inside a valid-time window [t_a, t_b), grouped by up to two dimensions, with counts, distinct
// endpoint counts and minimum, maximum and mean of the valid-time start or of the duration.
//
// One call, in this order:
//
//   refuse    a request outside the limits (more than two dimensions, a zero stride), then a past
//             transaction time on a current-only store; nothing has been read yet
//   labels    with a label dimension only: every node version believed at the as-of time (stored
//             ones through the close overlay, then those staged in the open batch) indexed by
//             dense id as (vt_s, vt_e, label code), label codes in byte order of the label names
//   targets   the generation's edge segments, event lane then interval lane, opened through the
//             segment cache; staged edge rows are never aggregated, staged closes apply
//   select    the edge scan's own selection phase (same threads, same gate) with the window
//   rel table the union of every target's relationship types in byte order (the RelType code)
//   fold      rows with vt_s >= t_a (one binary search per selection) read in place from the
//             mapped columns, in batches; a key with a dense slot (rel type, label, endpoint id
//             below the dictionary size, time bucket of a positive stride inside the window, when
//             the slots are few or at most one per folded row, and all of them take at most
//             256 MiB) updates a flat record array indexed by slot, any other key a private group
//             map; chunks of about equal rows on worker threads when the gate opens (>= 4
//             threads, >= 2 selections, VORP_PARALLEL_MIN_ROWS rows)
//   merge     with slots that fit a core's share of the caches, each chunk folds into slots of
//             its own and these are merged in chunk order; with more, the chunks route their rows
//             to partitions of the slots and each partition is folded once, by one worker, into
//             records that fit (no merge of large arrays). The maps are merged in chunk order.
//             Every merge is exact (counts and 128-bit sums add, sets unite, min/max are
//             order-free), so the result does not depend on the thread count or on the split
//   cap       more groups than max_groups is a `capacity` error
//   finalize  groups ordered by their two key slots (an endpoint slot by the byte order of the
//             endpoint's uid), key columns of codes and one value column per aggregate
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "vorp/error.h"

namespace vorp {

class NativeStore;
class Dictionary;

// ---- request ----------------------------------------------------------------------------------------

enum class DimKind : std::uint8_t { TimeBucket = 0, RelType = 1, Endpoint = 2, Label = 3 };
enum class AggKind : std::uint8_t { Count = 0, CountDistinct = 1, Min = 2, Max = 3, Mean = 4 };

// Endpoint roles (Endpoint, Label, CountDistinct) and stat sources (Min, Max, Mean).
inline constexpr std::uint8_t ROLE_SRC = 0;
inline constexpr std::uint8_t ROLE_DST = 1;
inline constexpr std::uint8_t STAT_VT_S = 0;
inline constexpr std::uint8_t STAT_DURATION = 1;

// A group key has two slots.
inline constexpr std::size_t MAX_GROUP_DIMS = 2;

struct Dim {
    DimKind kind = DimKind::TimeBucket;
    std::uint8_t role = 0;    // Endpoint and Label only
    std::int64_t stride = 0;  // TimeBucket only
    bool operator==(const Dim&) const = default;
};

struct Agg {
    AggKind kind = AggKind::Count;
    std::uint8_t of = 0;  // role for CountDistinct, stat source for Min/Max/Mean
    bool operator==(const Agg&) const = default;
};

struct AggregateRequest {
    std::vector<Dim> group_by;
    std::vector<Agg> aggregates;
    std::optional<std::vector<std::string>> rel_types;  // absent: every type; empty: none
    std::int64_t as_of_tt = 0;
    std::int64_t t_a = 0;
    std::int64_t t_b = 0;
    std::uint64_t max_groups = 0;
};

// One (name, second item) pair of the caller's group_by or aggregates vocabulary.
struct VocabPair {
    std::string name;
    std::optional<std::string> second;
};

// The request's dimensions and aggregates from the caller's words: every group_by entry before
// any aggregate, the first bad entry reported. The error is the bare message the caller shows:
//   "aggregate_edges: time_bucket requires stride"
//   "aggregate_edges: unknown dimension {quoted}" / "aggregate_edges: unknown aggregate {quoted}"
//   "aggregate_edges: {name} requires role src|dst, got {None | Some(quoted)}"
//   "aggregate_edges: stat aggregate requires of vt_s|duration, got {None | Some(quoted)}"
// then the limits of aggregate_limit_error. Every Dim gets the stride (0 when absent).
struct TranslatedVocab {
    std::vector<Dim> group_by;
    std::vector<Agg> aggregates;
};
std::expected<TranslatedVocab, std::string> translate_aggregate_vocab(const std::vector<VocabPair>& group_by,
                                                                      const std::vector<VocabPair>& aggregates,
                                                                      std::optional<std::int64_t> stride);

// What no fold can answer: "aggregate_edges: at most two group_by dimensions, got {n}" or
// "aggregate_edges: time_bucket requires a non-zero stride"; nothing for a request within them.
std::optional<std::string> aggregate_limit_error(const AggregateRequest& request);

// ---- result -----------------------------------------------------------------------------------------

using IntValues = std::vector<std::optional<std::int64_t>>;
using FloatValues = std::vector<std::optional<double>>;
// Count, CountDistinct, Min and Max give ints; Mean gives floats. Absent: no value in that group.
using AggValues = std::variant<IntValues, FloatValues>;

struct AggregateResult {
    std::vector<std::vector<std::int64_t>> keys;  // one column per dimension, in group order
    std::vector<AggValues> aggs;                  // one column per aggregate, in group order
    std::vector<std::string> rel_names;           // a RelType code indexes it
    std::vector<std::string> label_names;         // a Label code indexes it; empty without one

    bool operator==(const AggregateResult&) const = default;
};

// The mean of values whose exact sum is `sum` over `n` > 0 values: q = floor(sum / n) and
// r = sum - q * n (0 <= r < n), then r / n + q in doubles. Mean of {1, 2} is 1.5, of {-1, -2} -1.5.
double aggregate_mean(__int128 sum, std::uint64_t n);

// The time-bucket code of a row: (vt_s - t_a) / stride, wrapping subtraction and truncating
// division; a dividend of the smallest i64 over -1 wraps to itself. `stride` must not be 0.
std::int64_t time_bucket_of(std::int64_t vt_s, std::int64_t t_a, std::int64_t stride);

// ---- label index --------------------------------------------------------------------------------------

// One believed node version as the label lookup sees it.
struct LabelSpan {
    std::int64_t vt_s = 0;
    std::int64_t vt_e = 0;
    std::uint32_t code = 0;
    friend auto operator<=>(const LabelSpan&, const LabelSpan&) = default;
};

struct LabelIndex {
    std::vector<std::string> names;  // ascending by bytes, no duplicates
    std::unordered_map<std::uint32_t, std::vector<LabelSpan>> entries;  // each list ascending

    // The label code of node `id` at valid time t: the last span starting at or before t decides
    // alone; its code when t is before its end, else -1 (also with no span or no list).
    std::int64_t lookup(std::uint32_t id, std::int64_t t) const;
};

// The label index of every node version believed at `as_of_tt`: stored ones (tt_e through the
// handle's close overlay) in file-list and row order, then those staged in the open batch.
Result<LabelIndex> build_label_index(NativeStore& store, std::int64_t as_of_tt);

// ---- the operation ------------------------------------------------------------------------------------

// How a fold on several threads splits its work, by bytes of dense group records: up to
// `worker_records_max_bytes` each worker folds into records of its own, and these merge in slot
// ranges on several threads from `parallel_merge_slots` slots; past it, rows are routed to
// partitions of at most `partition_bytes` of records, each folded once. Results never depend on
// them: tests shrink them to reach every path on small stores.
struct FoldSplit {
    std::uint64_t worker_records_max_bytes = std::uint64_t{4} << 20;
    std::uint64_t partition_bytes = std::uint64_t{256} << 10;
    std::uint64_t parallel_merge_slots = std::uint64_t{1} << 14;
};
FoldSplit& fold_split();

inline constexpr std::string_view AGGREGATE_WORKER_PANICKED = "aggregate worker panicked";

// The grouped aggregate of the handle's current generation. Changes nothing in the store.
// Errors, in the order they can occur: a request outside the limits (`invariant`), the
// current-only refusal, label index read errors, segment open errors, the close index, selection
// and fold column errors (`corrupt`; a rel_code past its segment's table is "rel_code {} has no
// entry" at the file), then `capacity` "aggregate group count {n} exceeds cap {max_groups}".
Result<AggregateResult> aggregate_edges(NativeStore& store, const AggregateRequest& request);

}  // namespace vorp
