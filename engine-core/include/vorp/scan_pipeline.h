// The pieces of the columnar edge scan's pipeline (scan.h has the interface). For the scan's
// own sources, the aggregate that reuses its targets and selections, tests and benchmarks.
//
// Pipeline of one scan (all of it over committed segment files; staged rows are never scanned,
// staged closes apply through the close overlay):
//
//   gather    the generation's edge segments, event lane then interval lane, through the segment
//             cache (the targets; their order breaks every tie); on a fresh handle the files not
//             yet opened are opened on worker threads, and the committed closes come as one flat
//             table built straight from the close runs
//   select    per target (in chunks of targets on worker threads when there are thousands):
//             header pruning (transaction-time runs, valid-time bounds, rel types) and a row window
//             by binary search on vt_s; then the windows are cut into row ranges ("pieces", below
//             the segment), each scanned for its believed rows (tt_s runs) and filtered, appended
//             whole when no per-row test applies; the kept rows of a scan lie in a few buffers
//   order     with a limit: a k-way merge in key order that stops at the limit, then one copy in
//             that order; without one: selections whose key spans overlap form clusters; a
//             cluster of one selection is cut by position, a cluster of several by key (equal
//             keys always in one piece, so the order is that of the whole cluster's merge)
//   write     every piece writes straight into the full-length output columns at the offset its
//             rows' counts give (nothing is copied twice, nothing zeroed first)
//   eids      edge ids derived from the endpoints' uids on the caller's thread (only when asked)
//
// Threads. A phase fans out only when scan_threads() >= 4, it has enough items (pieces) and
// enough rows (parallel_gate, which rereads VORP_PARALLEL_MIN_ROWS). Workers are plain
// std::threads started for the phase and joined before it returns; they share the segments, the
// overlay, the request and the selections read-only, take no lock, and write only their own
// results or their own ranges of the output. Pieces and their results are combined in piece
// order, which is target and key order. Output, counters and the error reported therefore do not
// depend on the thread count; only the timers do. A worker thread that cannot be started fails
// the call (fan_out).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "vorp/column.h"
#include "vorp/error.h"
#include "vorp/manifest.h"
#include "vorp/scan.h"
#include "vorp/segment.h"
#include "vorp/segment_cache.h"
#include "vorp/visibility.h"

namespace vorp {

// ---- thresholds of the parallel phases ---------------------------------------------------------------------------

inline constexpr std::size_t SELECT_MIN_SEGMENTS = 8;
inline constexpr std::size_t MATERIALIZE_MIN_CLUSTERS = 4;
inline constexpr std::size_t OPEN_MIN_SEGMENTS = 2;  // segment files to open on a cold scan
// Targets to plan on worker threads: a plan costs a few cache misses, so only thousands of
// segments are worth the threads' start.
inline constexpr std::size_t PLAN_MIN_TARGETS = 512;
inline constexpr std::size_t CLOSE_TABLE_MIN_CLOSES = 65536;  // closes to flatten on a first scan

inline constexpr std::string_view SCAN_WORKER_PANICKED = "scan worker panicked";
inline constexpr std::string_view MATERIALIZE_WORKER_PANICKED = "materialize worker panicked";

// ---- targets and selection ----------------------------------------------------------------------------

struct ScanTarget {
    std::shared_ptr<const Segment> segment;
    std::uint64_t seg_id = 0;  // the overlay's key and the seg_id column's value
    Lane lane = Lane::Event;
};

// The ascending rows one segment keeps (never empty) and the index of its target. The rows lie in
// storage the selection does not own: that of the SelectOutcome that made it (or the caller's).
struct Selection {
    std::span<const std::uint32_t> rows;
    std::size_t target = 0;

    friend bool operator==(const Selection& a, const Selection& b) {
        return a.target == b.target && std::ranges::equal(a.rows, b.rows);
    }
};

// Dense ids as a bitmap. Ids at or above `bound` (the dictionary's size: no stored row refers to
// one) are dropped, so the bitmap never outgrows the dictionary whatever ids a caller passes.
struct IdSet {
    std::vector<std::uint64_t> words;
    std::uint32_t max = 0;  // largest id kept (0 when none)

    static IdSet build(std::span<const std::uint32_t> ids, std::uint64_t bound);
    bool contains(std::uint32_t id) const {
        return id <= max && !words.empty() && ((words[id >> 6] >> (id & 63)) & 1u) != 0;
    }
};

// Half-open row range [start, end) believed through the segment's tt_s runs.
struct RowRange {
    std::size_t start = 0;
    std::size_t end = 0;
    bool operator==(const RowRange&) const = default;
};

// The row ranges whose tt_s <= t, ascending and coalesced; `runs` are (first row, tt_s) pairs.
std::vector<RowRange> believed_ranges(std::span<const std::pair<std::uint32_t, std::int64_t>> runs,
                                      std::int64_t tt_s_min, std::int64_t tt_s_max, std::int64_t t, std::size_t rows);

// The spans of one edge segment the scan indexes per row, from the segment's typed view; valid
// while the segment is held.
struct SegmentView {
    const Segment* segment = nullptr;
    std::span<const std::int64_t> vt_s;
    std::span<const std::int64_t> vt_e;  // empty when the segment elides it
    bool vt_e_elided = false;
    std::span<const std::uint32_t> src_id;
    std::span<const std::uint32_t> dst_id;
    std::span<const std::uint64_t> vid64;
    std::span<const std::uint32_t> vid_lo32;
    std::span<const std::uint16_t> rel_code;
    std::span<const std::uint32_t> disc_ref;
    std::span<const std::uint32_t> props_ref;
    const std::vector<std::string>* rel_types = nullptr;
    StringView strings;

    // Every column is required, taken from the segment's edge view in this order; the first that
    // cannot be had is the error.
    static Result<SegmentView> open(const Segment& segment);
    ValidEnds ends() const { return {vt_s, vt_e, vt_e_elided}; }
};

// A row's sort key: (vt_s, vid prefix, vid suffix).
struct RowKey {
    std::int64_t vt_s = 0;
    std::uint64_t vid64 = 0;
    std::uint32_t vid_lo32 = 0;
    friend auto operator<=>(const RowKey&, const RowKey&) = default;
};

// The key columns of one edge segment; valid while the segment is held.
struct KeyColumns {
    std::span<const std::int64_t> vt_s;
    std::span<const std::uint64_t> vid64;
    std::span<const std::uint32_t> vid_lo32;

    // vt_s, vid64, vid_lo32; the first that cannot be had is the error.
    static Result<KeyColumns> of(const Segment& segment);
    RowKey at(std::uint32_t row) const { return {vt_s[row], vid64[row], vid_lo32[row]}; }
};

// What the scan without a limit needs of each selection after the selection phase, taken while
// the phase has the segment at hand (a scan of many small segments would otherwise come back to
// each segment's metadata once per phase): its key columns and the vt_s of its first and last
// rows, which order it (the vids are read only where the ordering meets equal vt_s). A key
// column that cannot be had is kept as its error, reported only where the ordering would meet
// it. (The copy opens each segment's full view itself, on the worker that copies: kept here, the
// views of thousands of small segments made this table too large to build on the calling thread.)
struct SelectionFacts {
    std::int64_t first_vt_s = 0;
    std::int64_t last_vt_s = 0;
    std::uint32_t first_row = 0;  // the selection's first and last rows (so that ordering
    std::uint32_t last_row = 0;   // reads no row list)
    KeyColumns keys;                               // when key_error is null
    std::shared_ptr<const EngineError> key_error;  // KeyColumns::of's error
};

// What one scan prepares once, on the calling thread, and shares read-only with every chunk.
//
// The overlay's layers are read in two parts: the upper layers, from the top down to `stop`
// (all of them when there is no `lower`), then `lower`, the flat table that stands for `stop`
// and the layers below it. The upper layers are looked up row by row in their hash maps, or read
// from `upper`, their own flat table built once for this scan when the scan would otherwise look
// up at least as many rows as they hold. The topmost layer holding a row decides either way.
struct SelectPrep {
    std::optional<IdSet> ids;  // the request's touching ids
    // Per target, the overlay's tt_e of every row (OPEN_END where no layer closes it, or where
    // the topmost layer holding it says OPEN_END: the folded close then applies); empty for
    // untouched targets. prepare leaves it absent; when a caller fills it, it replaces every
    // other reading of the overlay.
    std::optional<std::vector<std::span<const std::int64_t>>> closes;
    std::vector<std::vector<std::int64_t>> close_lists;  // owned storage behind `closes`
    std::shared_ptr<const CloseTable> upper;  // the upper layers flattened, when worth it
    const CloseIndex* stop = nullptr;         // the first layer not among the upper ones
    const CloseTable* lower = nullptr;        // the set's cached table, when it is in the chain
    bool lookup_upper = false;                // the upper layers hold closes and have no `upper`
    bool facts = false;                       // also gather each selection's SelectionFacts
};

struct SelectOutcome {
    std::vector<Selection> selections;  // target order
    ScanStats stats;
    // The buffers the selections' rows lie in: a few per scan, not one per segment. Moving the
    // outcome keeps them in place; a copy would not, so there is none.
    std::vector<Column<std::uint32_t>> storage;
    // When asked for (SelectPrep::facts): one entry per target, filled for the targets that have
    // a selection (facts[selection.target]).
    std::vector<SelectionFacts> facts;

    SelectOutcome() = default;
    SelectOutcome(SelectOutcome&&) noexcept = default;
    SelectOutcome& operator=(SelectOutcome&&) noexcept = default;
    SelectOutcome(const SelectOutcome&) = delete;
    SelectOutcome& operator=(const SelectOutcome&) = delete;
};

// Where select_blocks hands the kept rows. Pieces are numbered in target and row order, each
// scanned by one worker; a piece's blocks come in row order, each not empty.
class RowBlocks {
public:
    virtual ~RowBlocks() = default;
    // Once, on the calling thread, before any block.
    virtual void begin(std::size_t workers, std::size_t pieces) = 0;
    virtual void take(std::size_t worker, std::size_t piece, std::size_t target, std::span<const std::uint32_t> rows) = 0;
    // On each worker, after its last block.
    virtual void finish(std::size_t worker) = 0;
};

// What the workers of one scan read: the targets and the close overlay, shared read-only.
struct ScanSet {
    std::vector<ScanTarget> targets;
    // The open batch's pending close layer, else the committed close index (null: no closes
    // beyond those folded into the segments).
    std::shared_ptr<const CloseIndex> close;
    // Optional: a flat table of one layer of `close`'s chain and those below it (its `source`),
    // cached by the store per generation; read in place of those layers. Ignored when its source
    // is not in the chain. When `close` is null, a table without a source stands alone for the
    // committed closes (what the first scan of a fresh handle builds from the close runs).
    std::shared_ptr<const CloseTable> close_table;
    // The dictionary's size when the scan began: the bound of the touching-ids set.
    std::uint64_t entity_count = UINT32_MAX;
    // The sum of the targets' header row counts, when whoever gathered them knew it (else the
    // selection adds them up itself).
    std::optional<std::uint64_t> header_rows;

    // The per-scan context of the selection: the id set (ids at or above entity_count dropped)
    // and how the overlay is read (see SelectPrep).
    SelectPrep prepare(const ScanRequest& request) const;
    // The selection of targets [lo, hi) on the calling thread.
    Result<SelectOutcome> select_range(const ScanRequest& request, const SelectPrep& prep, std::size_t lo,
                                       std::size_t hi) const;
    // The selection phase: all targets planned (on the calling thread, or in chunks of targets on
    // workers when the gate opens for PLAN_MIN_TARGETS and the targets' header rows; the error
    // reported is the first in target order either way), their row windows cut into pieces of
    // rows that workers scan when the gate opens (items: the pieces; rows: the header rows of the
    // targets their headers do not rule out). The same selections and counters as select_range
    // over all targets.
    // With `facts`, the outcome also holds each selection's SelectionFacts (the scan without a
    // limit); the selections and counters are the same either way.
    //
    // `split` says how the kept rows are handed over. By target: one selection per target. By
    // piece: when workers selected, each piece's kept rows as it wrote them (still in target and
    // row order, a target's rows split over several selections), without the pass that moves
    // them together; for a caller to whom only the rows matter, not how they are split (the
    // aggregates' fold). Counters are the same either way; facts take by target.
    enum class Split : std::uint8_t { ByTarget, ByPiece };
    Result<SelectOutcome> select(const ScanRequest& request, bool facts = false, Split split = Split::ByTarget) const;
    // The selection as select makes it with `threads` threads, for a caller that reads each kept
    // row once and keeps none: when the workers would select, each hands its pieces' kept rows to
    // `blocks` a few thousand at a time instead of writing them out, and the result is empty.
    // Otherwise nothing is handed over and the result is the outcome select gives (by piece).
    // Planning errors are select's. A worker that ends by an exception fails the call with
    // `panic_text` (std::bad_alloc is rethrown as such).
    Result<std::optional<SelectOutcome>> select_blocks(const ScanRequest& request, std::size_t threads, RowBlocks& blocks,
                                                       std::string_view panic_text) const;
};

// ---- columns ------------------------------------------------------------------------------------------------

// Large scan buffers (output columns, row lists) are written once, right after they are
// reserved, so the first touch of their pages costs more than the writes themselves. A buffer of
// at least LARGE_COLUMN_BYTES has the whole 2 MiB pages inside it marked for transparent huge
// pages: one fault then maps 2 MiB. Only a hint (ignored where unsupported); contents unchanged.
// A Column's large buffers are mapped that way by its allocator already; other vectors (the text
// columns) get the hint here.
void advise_huge_pages(const void* data, std::size_t bytes);
template <class T, class Allocator>
void reserve_large(std::vector<T, Allocator>& values, std::size_t count) {
    values.reserve(count);
    if constexpr (!std::is_same_v<Allocator, UninitAllocator<T>>) {
        if (values.capacity() * sizeof(T) >= LARGE_COLUMN_BYTES) advise_huge_pages(values.data(), values.capacity() * sizeof(T));
    }
}

// Appends rows [lo, hi) of the view's segment to the wanted columns (seg_id/seg_row are the
// caller's). Fails on a string reference the table cannot resolve, or a rel_code past the
// segment's rel types (`corrupt`, at the file and row); the columns then hold a partial run.
Status copy_run(const SegmentView& view, std::size_t lo, std::size_t hi, ScanColumns& out, const Want& want);

// The parts' rows one after another, in list order: the only part itself, or a full-length copy
// (one thread per part when `parallel`).
ScanColumns concat_parts(std::vector<ScanColumns> parts, std::size_t total_rows, const Want& want, bool parallel);

// ---- ordering ------------------------------------------------------------------------------------------------

// One entry of a merge order: (target index, row).
struct OrderEntry {
    std::size_t target = 0;
    std::uint32_t row = 0;
    bool operator==(const OrderEntry&) const = default;
};

// Clusters of selection indices whose key spans overlap, in ascending order of first key (equal
// first keys keep list order); every row of a cluster sorts at or after every row of the earlier
// clusters.
Result<std::vector<std::vector<std::size_t>>> cluster_order(std::span<const ScanTarget> targets,
                                                           std::span<const Selection> selections);
// The rows of the selections in key order (ties: list order, then position), at most `limit`.
Result<std::vector<OrderEntry>> merged(std::span<const ScanTarget> targets, std::span<const Selection> selections,
                                       std::optional<std::uint64_t> limit);
// Copies the rows of `order` in that order.
Result<ScanColumns> materialize_order(std::span<const ScanTarget> targets, const Want& want,
                                      std::span<const OrderEntry> order);
// Contiguous groups [start, end) of clusters, at most `threads`, balanced by rows.
std::vector<std::pair<std::size_t, std::size_t>> balance_clusters(std::span<const std::vector<std::size_t>> clusters,
                                                                  std::span<const Selection> selections,
                                                                  std::size_t threads);

struct Materialized {
    ScanColumns columns;
    ScanResultStats stats;
};

// The whole pipeline after target gathering: selection, ordering, materialization.
Result<Materialized> materialize_at(const ScanSet& set, const ScanRequest& request);

// The edge segments of `manifest`'s generation, event lane then interval lane, each in manifest
// order, through the cache. Those it does not hold are opened on the calling thread in that order
// (the first failure ends it), or, with the gate open (at least 4 threads, 2 files to open and
// VORP_PARALLEL_MIN_ROWS rows in them), on worker threads; the failure reported is then the first
// in target order, though later files may have been opened and cached meanwhile. On success
// `header_rows` is set to the sum of the targets' header row counts.
Result<std::vector<ScanTarget>> gather_edge_targets(const std::filesystem::path& root, const Manifest& manifest,
                                                    SegmentCache& cache, std::uint64_t& header_rows);

class NativeStore;

// What a scan of the store's current generation reads: its edge targets (as gather_edge_targets),
// the close overlay (the open batch's pending layer, else the committed index), the committed
// index's flat table from the handle's close cache, and the dictionary's size.
Result<ScanSet> edge_scan_set(NativeStore& store);

}  // namespace vorp
