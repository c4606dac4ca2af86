// The columnar edge scan: every edge version believed at a transaction time, inside a valid-time
// window, optionally restricted to relationship types and to edges touching given entities,
// handed out as columns in (vt_s, vid) order.
//
// This header is the scan's interface: the request, the wanted columns, the output and its
// statistics, and the call. The pipeline's pieces (targets, selections, ordering,
// materialization, and the thresholds of its parallel phases) are in scan_pipeline.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorp/clock.h"
#include "vorp/column.h"
#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/error.h"
#include "vorp/row.h"
#include "vorp/segment.h"
#include "vorp/threads.h"
#include "vorp/visibility.h"

namespace vorp {

// ---- request, wanted columns, counters ----------------------------------------------------------------

struct ScanRequest {
    std::int64_t as_of_tt = OPEN_END;
    std::optional<std::int64_t> vt_min;  // the window is [vt_min, vt_max); absent sides are open
    std::optional<std::int64_t> vt_max;
    std::optional<std::vector<std::string>> rel_types;
    std::optional<std::vector<std::uint32_t>> touching_ids;  // ascending, no duplicates
    bool touching_both = false;
    std::optional<std::uint64_t> limit;
    std::optional<std::vector<std::string>> columns;
};

// The optional columns a scan materializes (vt_s always is). `seg` stands for seg_id and seg_row.
struct Want {
    bool vt_e = false;
    bool src_id = false;
    bool dst_id = false;
    bool vid = false;
    bool rel_type = false;
    bool disc = false;
    bool props = false;
    bool seg = false;

    // Every flag without a column list; otherwise a flag is set when the list names its column
    // exactly ("seg_id" or "seg_row" for `seg`); other names set nothing.
    static Want of(const ScanRequest& request);
    static Want all() { return {true, true, true, true, true, true, true, true}; }
    bool operator==(const Want&) const = default;
};

struct ScanStats {
    std::uint64_t segments_total = 0;   // targets considered
    std::uint64_t segments_pruned = 0;  // targets rejected whole by their header
    std::uint64_t rows_examined = 0;    // rows inside both a believed range and the row window
    std::uint64_t rows_selected = 0;    // rows put into selections

    ScanStats& operator+=(const ScanStats& other);
    bool operator==(const ScanStats&) const = default;
};

// ---- columns ------------------------------------------------------------------------------------------------

// The scan's columnar output. Every filled column has one entry per row; unwanted ones stay empty.
// The columns own their values and outlive the segments they were copied from.
struct ScanColumns {
    Column<std::int64_t> vt_s;
    Column<std::int64_t> vt_e;
    Column<std::uint32_t> src_id;
    Column<std::uint32_t> dst_id;
    Column<Id96> vid;
    std::vector<std::string> rel_type;
    std::vector<std::string> disc;
    std::vector<std::string> props;
    Column<std::uint64_t> seg_id;
    Column<std::uint32_t> seg_row;

    static ScanColumns with_capacity(std::size_t rows, const Want& want);
    std::size_t rows() const { return vt_s.size(); }
    // Moves the other's rows onto the end of these, column by column.
    void append(ScanColumns&& other);
    bool operator==(const ScanColumns&) const = default;
};

// The statistics materialize_at reports: durations in nanoseconds of the monotonic clock.
struct ScanResultStats {
    ScanStats scan;
    std::uint64_t t_select = 0;
    std::uint64_t t_cluster = 0;
    std::uint64_t t_materialize = 0;
    std::uint64_t t_order = 0;  // summed over workers
    std::uint64_t t_copy = 0;   // summed over workers
    std::uint32_t clusters = 0;
    std::uint32_t clusters_multi = 0;
};


// ---- the request ---------------------------------------------------------------------------------------------

// The arguments of one scan_edges call, as the caller gives them.
struct EdgeScanArgs {
    std::int64_t as_of_tt = OPEN_END;
    std::optional<std::int64_t> vt_min;
    std::optional<std::int64_t> vt_max;
    std::optional<std::vector<std::string>> rel_types;
    std::optional<std::vector<std::int64_t>> touching_ids;
    bool touching_both = false;
    std::optional<std::uint64_t> limit;
    std::optional<std::vector<std::string>> columns;
};

// The pipeline's request: touching ids cut to their low 32 bits, sorted and made unique; a column
// list that names "eid" gets the columns an edge id is derived from appended (rel_type, disc,
// src_id, dst_id, those it lacks, in that order), and they are returned too.
ScanRequest scan_request_of(EdgeScanArgs args);
// Whether the result holds edge ids: no column list, or one that names "eid".
bool wants_eid(const ScanRequest& request);

// A scan_edges failure. Besides engine errors, two texts of the call itself: edge ids asked for
// without the columns they come from, and an endpoint id the dictionary no longer holds.
inline constexpr std::string_view EID_WITHOUT_COLUMNS =
    "scan_edges: eid requested without src_id/dst_id/rel_type/disc materialized";
struct ScanFailure {
    enum class Kind : std::uint8_t { Engine, EidWithoutColumns, DenseIdVanished };
    Kind kind = Kind::Engine;
    EngineError error;            // Kind::Engine
    std::uint32_t dense_id = 0;   // Kind::DenseIdVanished ("dense id {} vanished")
};

// The edge ids of the rows, from the endpoints' uids, rel_type and disc, in row order; the first
// failing row decides the failure.
std::expected<std::vector<Id96>, ScanFailure> derive_eids(const Dictionary& dictionary, const ScanColumns& columns);

// One scan's answer: the columns, the edge ids when wanted, and the statistics (nanoseconds).
struct EdgeScanOutput {
    ScanColumns columns;
    Want want;                              // the columns the result holds besides vt_s and eid
    std::optional<std::vector<Id96>> eids;  // present exactly when eid is wanted
    ScanResultStats stats;
    std::uint64_t t_open = 0;
    std::uint64_t t_eid = 0;
};

class NativeStore;

// The whole scan_edges call after argument conversion, on the calling thread (workers are
// started and joined inside): the current-only guard, targets and close overlay, the pipeline,
// edge ids. Reads committed segment files only; staged closes apply through the batch's layer.
// May run on several threads at once for one handle (shared calls); touches only the handle's
// caches, each behind its own mutex.
std::expected<EdgeScanOutput, ScanFailure> scan_edges(NativeStore& store, EdgeScanArgs args);

}  // namespace vorp
