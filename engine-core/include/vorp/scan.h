// The columnar edge scan: every edge version believed at a transaction time, inside a valid-time
// window, optionally restricted to relationship types and to edges touching given entities,
// handed out as columns in (vt_s, vid) order.
//
// This header is the scan's interface: the request, the wanted columns, the output and its
// statistics, the call, and the thread settings every parallel phase of the engine shares. The
// pipeline's pieces (targets, selections, ordering, materialization) are in scan_pipeline.h.
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

#include "vorp/column.h"
#include "vorp/derive.h"
#include "vorp/dict.h"
#include "vorp/error.h"
#include "vorp/row.h"
#include "vorp/segment.h"
#include "vorp/visibility.h"

namespace vorp {

// ---- threads and gating ---------------------------------------------------------------------------

inline constexpr std::string_view SCAN_THREADS_ENV = "VORP_SCAN_THREADS";
inline constexpr std::string_view PARALLEL_MIN_ROWS_ENV = "VORP_PARALLEL_MIN_ROWS";
inline constexpr std::uint64_t DEFAULT_PARALLEL_MIN_ROWS = 4000000;
inline constexpr std::size_t MAX_SCAN_THREADS = 64;        // cap of an explicit setting
inline constexpr std::size_t DEFAULT_SCAN_THREADS_CAP = 16;  // cap of the processor count
inline constexpr std::size_t PARALLEL_MIN_THREADS = 4;
inline constexpr std::size_t SELECT_MIN_SEGMENTS = 8;
inline constexpr std::size_t MATERIALIZE_MIN_CLUSTERS = 4;
inline constexpr std::size_t OPEN_MIN_SEGMENTS = 2;  // segment files to open on a cold scan
inline constexpr std::size_t CLOSE_TABLE_MIN_CLOSES = 65536;  // closes to flatten on a first scan

inline constexpr std::string_view SCAN_WORKER_PANICKED = "scan worker panicked";
inline constexpr std::string_view MATERIALIZE_WORKER_PANICKED = "materialize worker panicked";

// The number of an environment variable's value (absent when unset or not UTF-8): Unicode white
// space trimmed, one optional leading '+', then ASCII digits only, fitting 64 bits.
std::optional<std::uint64_t> parse_env_count(std::optional<std::string_view> value);
// A copy of an environment variable's value, absent when unset.
std::optional<std::string> env_value(const char* name);

// VORP_SCAN_THREADS when it is a nonzero number (at most 64); otherwise the online processors
// capped at 16, or 1 when the system cannot say. Read at every call.
std::size_t scan_threads();
// Whether a phase runs on worker threads: threads >= 4, items >= min_items and rows at least
// VORP_PARALLEL_MIN_ROWS (default 4,000,000; read only when the first two tests pass).
bool parallel_gate(std::size_t threads, std::size_t items, std::size_t min_items, std::uint64_t rows);

// Runs work(0) .. work(count - 1), each on a thread of its own, and joins them all before it
// returns. A worker that ends by an exception makes the call panic with `panic_text` once every
// worker has been joined (an abnormal end outranks any error a worker returned through its own
// result); std::bad_alloc is rethrown as such. A thread that cannot be started fails the call:
// the threads already started are joined, then it panics with "a worker thread could not be
// started ({started} of {count} running): {system text}"; no partial result escapes.
void fan_out(std::size_t count, std::string_view panic_text, const std::function<void(std::size_t)>& work);

// Test seam: the thread start that follows `starts` successful ones fails as if the system had
// no thread to give (SIZE_MAX clears it). One relaxed load per thread start when unused.
void fail_thread_start_after(std::size_t starts);

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

// Nanoseconds of the monotonic clock since an arbitrary origin, and the never-negative distance.
std::uint64_t monotonic_ns();
inline std::uint64_t elapsed_ns(std::uint64_t since) {
    const std::uint64_t now = monotonic_ns();
    return now > since ? now - since : 0;
}

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
