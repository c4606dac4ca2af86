// Version history pages and the node window scan: both filter on numeric columns first and build
// texts only for the rows they return.
#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <utility>

#include "read_internal.h"
#include "vorp/interrupt.h"
#include "vorp/read.h"
#include "vorp/threads.h"
#include "vorp/segment_cache.h"
#include "vorp/simd.h"

namespace vorp {

using namespace read_detail;

namespace {

bool rel_requested(const std::vector<std::string>& names, std::string_view rel_type) {
    return std::find(names.begin(), names.end(), rel_type) != names.end();
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? std::numeric_limits<std::int64_t>::max()
                                                         : std::numeric_limits<std::int64_t>::min();
    return sum;
}

// Python's normalisation of one slice bound against a length n.
std::size_t slice_bound(std::int64_t bound, std::size_t n) {
    const auto length = static_cast<std::int64_t>(n);
    if (bound < 0) return static_cast<std::size_t>(std::max<std::int64_t>(length + bound, 0));
    return static_cast<std::size_t>(std::min(bound, length));
}

}  // namespace

std::pair<std::size_t, std::size_t> page_bounds(std::size_t n, std::int64_t offset, std::int64_t limit) {
    const std::size_t start = slice_bound(offset, n);
    const std::size_t end = slice_bound(saturating_add(offset, limit), n);
    return {start, std::max(start, end)};
}

Result<std::vector<VersionKey>> version_keys(NativeStore& store, RowKind kind, const VersionQuery& asked) {
    // Belief at or after OPEN_END is belief now, as in every other read as of a time.
    VersionQuery query = asked;
    query.as_of_tt = belief_tt(asked.as_of_tt);
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    const bool edges = kind == RowKind::Edge;
    const bool rel_filter = edges && query.rel_types != nullptr;
    const std::vector<SegmentFileRef> files = edges ? store.edge_files() : store.node_files();
    std::vector<VersionKey> keys;
    std::vector<bool> mask;
    for (const SegmentFileRef& ref : files) {
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        const SegmentHeader& header = segment->header;
        if (rel_filter) {
            mask.assign(header.rel_types.size(), false);
            bool any = false;
            for (std::size_t code = 0; code < header.rel_types.size(); ++code)
                any |= mask[code] = rel_requested(*query.rel_types, header.rel_types[code]);
            if (!any) continue;  // no column of this segment is read
        }
        const VersionColumns view = version_columns(*segment, kind);
        const ValidEnds ends = VORP_TRY(view.valid_ends());
        const std::span<const std::int64_t> vt_s = ends.vt_s;
        const std::size_t rows = vt_s.size();
        const std::span<const std::uint64_t> vid64 = VORP_TRY(view.vid64.get());
        const std::span<const std::uint32_t> vid_lo32 = VORP_TRY(view.vid_lo32.get());
        std::span<const std::uint16_t> rel_code;
        if (rel_filter) rel_code = VORP_TRY(segment->edges.rel_code.get());
        const CloseIndex* layers = overlay_for(overlay.get(), ref.segment_id);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::int64_t end = ends.at(r);
            if (!(vt_s[r] < query.t_b && end > query.t_a)) continue;
            if (rel_filter && (rel_code[r] >= mask.size() || !mask[rel_code[r]])) continue;
            const auto row = static_cast<std::uint32_t>(r);
            const std::int64_t tt_s = VORP_TRY(header.tt_s_at(row));
            if (tt_s > query.as_of_tt) continue;
            // The close index is consulted only when the mode looks at tt_e.
            if (query.belief != BeliefMode::All &&
                !belief_mode_keeps(query.belief, stored_tt_e(layers, *segment, ref.segment_id, row), query.as_of_tt))
                continue;
            keys.push_back({tt_s, vid64[r], ref.segment_id, vid_lo32[r], row});
        }
    }
    const auto staged_key = [&](const auto& row, std::size_t index) {
        if (!(row.vt_s < query.t_b && row.vt_e > query.t_a)) return;
        if (row.tt_s > query.as_of_tt) return;
        if constexpr (requires { row.rel_type; }) {
            if (rel_filter && !rel_requested(*query.rel_types, row.rel_type)) return;
        }
        if (!belief_mode_keeps(query.belief, staged_tt_e(store, row.vid), query.as_of_tt)) return;
        keys.push_back({row.tt_s, row.vid.prefix, STAGED_SEGMENT, row.vid.suffix, static_cast<std::uint32_t>(index)});
    };
    if (edges) {
        for (std::size_t i = 0; i < store.batch().staging.edges.size(); ++i) staged_key(store.batch().staging.edges[i], i);
    } else {
        for (std::size_t i = 0; i < store.batch().staging.nodes.size(); ++i) staged_key(store.batch().staging.nodes[i], i);
    }
    return keys;
}

namespace {

EngineError staged_row_gone(std::uint32_t index) {
    return EngineError::invariant(fmt::format("staged row {} is no longer in the open batch", index));
}

// The page's positions grouped by segment id, ascending, with the staged group taken out.
struct Groups {
    std::map<std::uint64_t, std::vector<std::size_t>> stored;
    std::vector<std::size_t> staged;
};

Groups group_keys(std::span<const VersionKey> keys) {
    Groups groups;
    for (std::size_t position = 0; position < keys.size(); ++position) {
        if (keys[position].seg_id == STAGED_SEGMENT)
            groups.staged.push_back(position);
        else
            groups.stored[keys[position].seg_id].push_back(position);
    }
    return groups;
}

// The texts and ends of one stored row of either kind, with each kind's columns taken in its
// fixed order (which decides the error reported first).
struct EdgePageRows {
    using Row = EdgeVersionRow;
    using Staged = EdgeRow;
    std::span<const std::uint32_t> src_id, dst_id, disc_ref;
    std::span<const std::uint16_t> rel_code;

    static Result<EdgePageRows> load(const Segment& segment) {
        const EdgeSegmentView& view = segment.edges;
        EdgePageRows cols;
        cols.src_id = VORP_TRY(view.src_id.get());
        cols.dst_id = VORP_TRY(view.dst_id.get());
        cols.rel_code = VORP_TRY(view.rel_code.get());
        cols.disc_ref = VORP_TRY(view.disc_ref.get());
        return cols;
    }
    Status fill(const NativeStore& store, const Segment& segment, const StringView& strings, std::uint32_t r,
                Row& out) const {
        out.src = VORP_TRY(uid_text(store, src_id[r]));
        out.dst = VORP_TRY(uid_text(store, dst_id[r]));
        const std::uint16_t code = rel_code[r];
        if (code >= segment.header.rel_types.size()) return fail(bad_rel_code(code, r));
        out.rel_type = segment.header.rel_types[code];
        out.disc = VORP_TRY(strings.get(disc_ref[r]));
        return ok();
    }
    static Status fill_staged(const NativeStore& store, const Staged& row, Row& out) {
        out.src = VORP_TRY(uid_text(store, row.src_id));
        out.dst = VORP_TRY(uid_text(store, row.dst_id));
        out.rel_type = row.rel_type;
        out.disc = row.disc;
        return ok();
    }
    static void finish(Row& out) { out.eid = eid_text(out.src, out.dst, out.rel_type, out.disc); }
    static const std::vector<Staged>& staged(const NativeStore& store) { return store.batch().staging.edges; }
};

struct NodePageRows {
    using Row = NodeVersionRow;
    using Staged = NodeRow;
    std::span<const std::uint32_t> uid_id, label_ref;

    static Result<NodePageRows> load(const Segment& segment) {
        const NodeSegmentView& view = segment.nodes;
        NodePageRows cols;
        cols.uid_id = VORP_TRY(view.uid_id.get());
        cols.label_ref = VORP_TRY(view.label_ref.get());
        return cols;
    }
    Status fill(const NativeStore& store, const Segment&, const StringView& strings, std::uint32_t r, Row& out) const {
        out.uid = VORP_TRY(uid_text(store, uid_id[r]));
        out.label = VORP_TRY(strings.get(label_ref[r]));
        return ok();
    }
    static Status fill_staged(const NativeStore& store, const Staged& row, Row& out) {
        out.uid = VORP_TRY(uid_text(store, row.uid_id));
        out.label = row.label;
        return ok();
    }
    static void finish(Row&) {}
    static const std::vector<Staged>& staged(const NativeStore& store) { return store.batch().staging.nodes; }
};

constexpr std::uint64_t PAGE_ROWS_TICK = 4096;

// One row per key, in key order, for either kind.
template <class Kind>
Result<std::vector<typename Kind::Row>> page_rows_at(NativeStore& store, RowKind kind, std::span<const VersionKey> keys,
                                                     const CloseIndex* overlay) {
    const std::shared_ptr<const SegmentFiles> files = store.segment_files();
    const auto& listed = files->of(kind);
    const Groups groups = group_keys(keys);
    // Made in slices with a point between them: the records of a page of a million rows take a
    // good part of a GiB, and faulting that in is a long stretch of its own.
    std::vector<typename Kind::Row> slots;
    slots.reserve(keys.size());
    while (slots.size() < keys.size()) {
        const std::size_t made = slots.size();
        slots.resize(std::min(keys.size(), made + 16 * PAGE_ROWS_TICK));
        credit_interrupt_work(slots.size() - made);
        VORP_TRY(interruption_point());
    }
    InterruptTicker ticker(PAGE_ROWS_TICK);  // a long page's rows cost their texts each
    for (const auto& [segment_id, positions] : groups.stored) {
        const auto file = listed.find(segment_id);
        if (file == listed.end()) return fail(segment_not_current(segment_id));
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(file->second));
        const StringView strings = VORP_TRY(segment->strings());
        const SegmentHeader& header = segment->header;
        const VersionColumns view = version_columns(*segment, kind);
        const ValidEnds ends = VORP_TRY(view.valid_ends());
        const std::size_t rows = ends.vt_s.size();
        const Kind cols = VORP_TRY(Kind::load(*segment));
        const std::span<const std::uint64_t> vid64 = VORP_TRY(view.vid64.get());
        const std::span<const std::uint32_t> vid_lo32 = VORP_TRY(view.vid_lo32.get());
        const CloseIndex* layers = overlay_for(overlay, segment_id);
        for (const std::size_t position : positions) {
            VORP_TRY(ticker.tick());
            const std::uint32_t r = keys[position].row;
            if (r >= rows) return fail(row_out_of_bounds(r, segment_id));
            typename Kind::Row& out = slots[position];
            VORP_TRY(cols.fill(store, *segment, strings, r, out));
            out.tt_e = stored_tt_e(layers, *segment, segment_id, r);
            out.vid = vid_text(vid64[r], vid_lo32[r]);
            Kind::finish(out);
            out.vt_s = ends.vt_s[r];
            out.vt_e = ends.at(r);
            out.tt_s = VORP_TRY(header.tt_s_at(r));
        }
    }
    const auto& staged = Kind::staged(store);
    for (const std::size_t position : groups.staged) {
        const std::uint32_t index = keys[position].row;
        if (index >= staged.size()) return fail(staged_row_gone(index));
        const typename Kind::Staged& row = staged[index];
        typename Kind::Row& out = slots[position];
        VORP_TRY(Kind::fill_staged(store, row, out));
        out.vid = row.vid.to_hex();
        Kind::finish(out);
        out.vt_s = row.vt_s;
        out.vt_e = row.vt_e;
        out.tt_s = row.tt_s;
        out.tt_e = staged_tt_e(store, row.vid);
    }
    return slots;
}

}  // namespace

Result<VersionRows> version_rows_at(NativeStore& store, RowKind kind, std::span<const VersionKey> keys) {
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    if (kind == RowKind::Edge) return VersionRows(VORP_TRY(page_rows_at<EdgePageRows>(store, kind, keys, overlay.get())));
    return VersionRows(VORP_TRY(page_rows_at<NodePageRows>(store, kind, keys, overlay.get())));
}

namespace {

// ---- the page read ------------------------------------------------------------------------------
//
// A page needs the count of the whole qualifying population and the keys of its own rows only.
// Keys order by tt_s first, and a segment's rows fall into few tt_s runs (one per commit that
// wrote them, usually one), so the read goes in two passes over the segments:
//   count   per segment and tt_s run, how many rows qualify: a window and type test per row, and
//           for the belief filter only the segment's closed rows (a row no close reaches has
//           tt_e OPEN_END, current at every as-of time); no key is built;
//   select  the tt_s values whose rows the page reaches (usually one) are read again, and only
//           their qualifying rows give keys: into a bounded heap when the page lies near either
//           end of that tt_s, otherwise into a list cut by selection.
// Ties on (tt_s, vid) go by collection position (segment list index, row; staged rows after all
// stored ones, by staging index): the order of the stable sort of the collected keys.
// Row ranges of the segments are visited on worker threads when the store holds enough rows; every
// range's outcome is kept in list order, so the error reported and the rows returned never depend
// on the threads.

constexpr std::size_t PAGE_HEAP_LIMIT = 1u << 14;  // a page end this close to an edge uses a heap
constexpr std::uint64_t PAGE_MIN_CHUNK_ROWS = 4096;  // rows of a work item, at least
constexpr std::uint64_t PAGE_SERIAL_CHUNK_ROWS = std::uint64_t{1} << 18;  // rows of a work item on one thread

struct PageKey {
    std::uint64_t vid64;
    std::uint32_t vid_lo32;
    std::uint32_t source;  // segment list index; the list's length for a staged row
    std::uint32_t row;

    friend bool operator<(const PageKey& a, const PageKey& b) {
        if (a.vid64 != b.vid64) return a.vid64 < b.vid64;
        if (a.vid_lo32 != b.vid_lo32) return a.vid_lo32 < b.vid_lo32;
        if (a.source != b.source) return a.source < b.source;
        return a.row < b.row;
    }
};

// Rows [lo, hi) of a segment sharing one tt_s; `covered` false for rows before the first run,
// which have none (such a row that passes the window and type tests is the segment's error).
struct TtRun {
    std::uint32_t lo = 0, hi = 0;
    std::int64_t tt_s = 0;
    bool covered = true;
};

struct PageFilter {
    const VersionQuery* query = nullptr;
    RowKind kind = RowKind::Node;
    bool rel_filter = false;
    const CloseTable* upper = nullptr;  // the overlay's layers above `lower`'s source, flattened
    const CloseTable* lower = nullptr;  // the committed index's cached table
};

using ClosedSpan = std::span<const std::pair<std::uint32_t, std::int64_t>>;

// One opened segment with the columns the page filters read, its runs and its closed rows with
// the tt_e the overlay gives them (rows absent from `closed` have tt_e OPEN_END; a row listed with
// OPEN_END is one too, and every belief test treats it as absent, the as-of time lying below it).
struct PageSegment {
    std::shared_ptr<const Segment> segment;
    ValidEnds ends;
    std::span<const std::uint64_t> vid64;
    std::span<const std::uint32_t> vid_lo32;
    std::span<const std::uint16_t> rel_code;
    std::vector<std::uint8_t> mask;  // rel_code -> requested (relationship filter on)
    std::vector<TtRun> runs;
    // Ascending by row: a view of the committed table's list when nothing else closes the
    // segment's rows, else of `closed_owned` (tt_e != OPEN_END; a move keeps a vector's buffer, so
    // the view survives the record's moves; it is never copied).
    ClosedSpan closed;
    std::vector<std::pair<std::uint32_t, std::int64_t>> closed_owned;
    bool skipped = false;  // no requested type in the dictionary: nothing read

    PageSegment() = default;
    PageSegment(PageSegment&&) = default;
    PageSegment& operator=(PageSegment&&) = default;
    PageSegment(const PageSegment&) = delete;
    PageSegment& operator=(const PageSegment&) = delete;

    bool in_window_and_type(std::size_t r, const PageFilter& filter) const {
        const VersionQuery& query = *filter.query;
        const std::int64_t start = ends.vt_s[r];
        const std::int64_t end = ends.at(r);
        if (!(start < query.t_b && end > query.t_a)) return false;
        if (filter.rel_filter && (rel_code[r] >= mask.size() || mask[rel_code[r]] == 0)) return false;
        return true;
    }
};

std::vector<TtRun> runs_of(const SegmentHeader& header, std::uint32_t rows) {
    std::vector<TtRun> runs;
    const auto& listed = header.tt_s_runs;
    bool ascending = true;
    for (std::size_t i = 1; i < listed.size() && ascending; ++i) ascending = listed[i - 1].first < listed[i].first;
    if (ascending) {
        std::uint32_t covered_from = rows;
        if (!listed.empty()) covered_from = std::min(listed.front().first, rows);
        if (covered_from > 0) runs.push_back({0, covered_from, 0, false});
        for (std::size_t i = 0; i < listed.size() && listed[i].first < rows; ++i) {
            const std::uint32_t hi = i + 1 < listed.size() ? std::min(listed[i + 1].first, rows) : rows;
            runs.push_back({listed[i].first, hi, listed[i].second, true});
        }
        return runs;
    }
    // Runs out of order (a damaged header): each row's tt_s as the lookup answers it.
    for (std::uint32_t r = 0; r < rows; ++r) {
        const Result<std::int64_t> tt_s = header.tt_s_at(r);
        const bool covered = tt_s.has_value();
        const std::int64_t value = covered ? *tt_s : 0;
        if (!runs.empty() && runs.back().covered == covered && runs.back().tt_s == value && runs.back().hi == r)
            ++runs.back().hi;
        else
            runs.push_back({r, r + 1, value, covered});
    }
    return runs;
}

// The tt_e the overlay gives each closed row of the segment: the topmost layer holding the row
// decides, a value of OPEN_END deferring to the segment's folded close; rows left at OPEN_END are
// not listed.
// The entries of a list ascending by row that fall in rows [lo, hi).
ClosedSpan rows_in(ClosedSpan rows, std::uint32_t lo, std::uint32_t hi) {
    const auto below = [](const auto& entry, std::uint32_t row) { return entry.first < row; };
    const auto first = std::lower_bound(rows.begin(), rows.end(), lo, below);
    const auto last = std::lower_bound(first, rows.end(), hi, below);
    return rows.subspan(static_cast<std::size_t>(first - rows.begin()), static_cast<std::size_t>(last - first));
}

std::vector<std::pair<std::uint32_t, std::int64_t>> closed_rows_of(const Segment& segment, std::uint64_t segment_id,
                                                                   const PageFilter& filter, std::uint32_t lo,
                                                                   std::uint32_t hi) {
    const ClosedSpan upper = rows_in(filter.upper != nullptr ? filter.upper->of(segment_id) : ClosedSpan{}, lo, hi);
    const ClosedSpan lower = rows_in(filter.lower != nullptr ? filter.lower->of(segment_id) : ClosedSpan{}, lo, hi);
    ClosedSpan folded = segment.header.closed_rows;
    std::vector<std::pair<std::uint32_t, std::int64_t>> out;
    if (upper.empty() && lower.empty() && folded.empty()) return out;
    const auto effective = [&](std::optional<std::int64_t> layer, std::uint32_t row, auto&& folded_at) {
        const std::int64_t tt_e = layer && *layer != OPEN_END ? *layer : folded_at(row).value_or(OPEN_END);
        if (tt_e != OPEN_END) out.emplace_back(row, tt_e);
    };
    const bool folded_sorted = std::is_sorted(folded.begin(), folded.end(),
                                              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (folded_sorted) folded = rows_in(folded, lo, hi);
    if (!folded_sorted) {
        // A damaged header's closes out of order: every row any list names, looked up as the
        // per-row read would.
        std::vector<std::uint32_t> rows;
        rows.reserve(upper.size() + lower.size() + folded.size());
        for (const auto& entry : upper) rows.push_back(entry.first);
        for (const auto& entry : lower) rows.push_back(entry.first);
        for (const auto& entry : folded)
            if (entry.first >= lo && entry.first < hi) rows.push_back(entry.first);
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        for (const std::uint32_t row : rows) {
            std::optional<std::int64_t> layer = find_closed_row(upper, row);
            if (!layer) layer = find_closed_row(lower, row);
            effective(layer, row, [&](std::uint32_t r) { return find_closed_row(folded, r); });
        }
        return out;
    }
    // The three lists ascending by row (the flat tables hold each row once; the folded list may
    // repeat one, and its first entry then counts, as a binary search finds it): one merge.
    out.reserve(upper.size() + lower.size() + folded.size());
    std::size_t iu = 0, il = 0, iff = 0;
    while (iu < upper.size() || il < lower.size() || iff < folded.size()) {
        std::uint32_t row = UINT32_MAX;
        if (iu < upper.size()) row = std::min(row, upper[iu].first);
        if (il < lower.size()) row = std::min(row, lower[il].first);
        if (iff < folded.size()) row = std::min(row, folded[iff].first);
        std::optional<std::int64_t> layer;
        if (iu < upper.size() && upper[iu].first == row) layer = upper[iu++].second;
        if (il < lower.size() && lower[il].first == row) {
            if (!layer) layer = lower[il].second;
            ++il;
        }
        std::optional<std::int64_t> folded_value;
        if (iff < folded.size() && folded[iff].first == row) {
            folded_value = folded[iff].second;
            while (iff < folded.size() && folded[iff].first == row) ++iff;
        }
        effective(layer, row, [&](std::uint32_t) { return folded_value; });
    }
    return out;
}

// Opens a segment and reads what the filters need, with the errors (and their order) of a read
// that takes the columns one by one: the segment, then vt_s, vt_e, vid64, vid_lo32, rel_code.
// Only rows [lo, hi) of it (hi capped at its row count) are to be read: their runs and closes.
Result<PageSegment> open_page_segment(NativeStore& store, const SegmentFileRef& ref, const PageFilter& filter,
                                      std::uint32_t lo, std::uint32_t hi) {
    PageSegment out;
    out.segment = VORP_TRY(store.open_segment(ref.file));
    const Segment& segment = *out.segment;
    const SegmentHeader& header = segment.header;
    if (filter.rel_filter) {
        out.mask.assign(header.rel_types.size(), 0);
        bool any = false;
        for (std::size_t code = 0; code < header.rel_types.size(); ++code) {
            const bool wanted = rel_requested(*filter.query->rel_types, header.rel_types[code]);
            out.mask[code] = wanted ? 1 : 0;
            any |= wanted;
        }
        if (!any) {
            out.skipped = true;
            return out;
        }
    }
    const VersionColumns view = version_columns(segment, filter.kind);
    out.ends = VORP_TRY(view.valid_ends());
    const std::size_t rows = out.ends.vt_s.size();
    out.vid64 = VORP_TRY(view.vid64.get());
    out.vid_lo32 = VORP_TRY(view.vid_lo32.get());
    if (filter.rel_filter) out.rel_code = VORP_TRY(segment.edges.rel_code.get());
    hi = static_cast<std::uint32_t>(std::min<std::size_t>(hi, rows));
    if (lo >= hi) return out;
    for (TtRun run : runs_of(header, static_cast<std::uint32_t>(rows))) {
        run.lo = std::max(run.lo, lo);
        run.hi = std::min(run.hi, hi);
        if (run.lo < run.hi) out.runs.push_back(run);
    }
    if (filter.query->belief != BeliefMode::All) {
        const ClosedSpan lower = rows_in(filter.lower != nullptr ? filter.lower->of(ref.segment_id) : ClosedSpan{}, lo, hi);
        // With no layer above it and no closes folded into the segment, the committed table says
        // it all: an entry of OPEN_END there defers to the folded closes, and there are none, so
        // the row's tt_e is OPEN_END, as the entry itself reads.
        const bool alone =
            (filter.upper == nullptr || filter.upper->of(ref.segment_id).empty()) && header.closed_rows.empty();
        if (alone) {
            out.closed = lower;
        } else {
            out.closed_owned = closed_rows_of(segment, ref.segment_id, filter, lo, hi);
            out.closed = out.closed_owned;
        }
    }
    return out;
}

// Visits the qualifying rows of `runs` (runs of `seg` with a tt_s at or before the as-of time):
// visit(row) for each. Rows in an uncovered run that pass the window and type tests are an error.
// `maybe(row)` is asked first and a row it turns down is passed over: the bounded selections use
// it to skip, on the vid alone, rows that could not enter the page.
template <class Visit, class Maybe>
Status visit_qualifying(const PageSegment& seg, const TtRun& run, const PageFilter& filter, Visit&& visit,
                        Maybe&& maybe) {
    const VersionQuery& query = *filter.query;
    if (!run.covered) {
        for (std::uint32_t r = run.lo; r < run.hi; ++r)
            if (seg.in_window_and_type(r, filter)) return fail(seg.segment->header.tt_s_at(r).error());
        return ok();
    }
    if (run.tt_s > query.as_of_tt) return ok();
    const auto closed_begin = std::lower_bound(seg.closed.begin(), seg.closed.end(), run.lo,
                                               [](const auto& entry, std::uint32_t row) { return entry.first < row; });
    if (query.belief == BeliefMode::Superseded) {
        // Only closed rows can have tt_e at or before the as-of time.
        for (auto it = closed_begin; it != seg.closed.end() && it->first < run.hi; ++it)
            if (it->second <= query.as_of_tt && maybe(it->first) && seg.in_window_and_type(it->first, filter))
                visit(it->first);
        return ok();
    }
    auto next_closed = closed_begin;
    for (std::uint32_t r = run.lo; r < run.hi; ++r) {
        if (!maybe(r) || !seg.in_window_and_type(r, filter)) continue;
        if (query.belief == BeliefMode::Current) {
            while (next_closed != seg.closed.end() && next_closed->first < r) ++next_closed;
            if (next_closed != seg.closed.end() && next_closed->first == r &&
                !belief_mode_keeps(BeliefMode::Current, next_closed->second, query.as_of_tt))
                continue;
        }
        visit(r);
    }
    return ok();
}

// How many of rows [0, n) lie in the window vt_s < t_b and vt_e > t_a (vt_e absent: vt_s + 1,
// wrapping). Written as a plain loop that the compiler vectorizes: once for any x86-64, once for
// AVX2 (64-bit compares four at a time), picked at run time like the codec's kernels.
template <bool Elided>
inline std::uint64_t window_count_loop(const std::int64_t* vt_s, const std::int64_t* vt_e, std::size_t n,
                                       std::int64_t t_a, std::int64_t t_b) {
    std::uint64_t count = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const std::int64_t end = Elided ? vt_s_plus_one(vt_s[r]) : vt_e[r];  // ValidEnds::at, unrolled by kind
        count += static_cast<std::uint64_t>((vt_s[r] < t_b) & (end > t_a));
    }
    return count;
}

__attribute__((target("avx2"))) std::uint64_t window_count_avx2(const std::int64_t* vt_s, const std::int64_t* vt_e,
                                                                 std::size_t n, std::int64_t t_a, std::int64_t t_b) {
    return vt_e == nullptr ? window_count_loop<true>(vt_s, vt_e, n, t_a, t_b)
                           : window_count_loop<false>(vt_s, vt_e, n, t_a, t_b);
}

std::uint64_t window_count(const std::int64_t* vt_s, const std::int64_t* vt_e, std::size_t n, std::int64_t t_a,
                           std::int64_t t_b) {
    if (simd_kernels_active()) return window_count_avx2(vt_s, vt_e, n, t_a, t_b);
    return vt_e == nullptr ? window_count_loop<true>(vt_s, vt_e, n, t_a, t_b)
                           : window_count_loop<false>(vt_s, vt_e, n, t_a, t_b);
}

constexpr std::uint32_t PAGE_COUNT_BLOCK = 256;  // rows counted before their closed rows are taken off (4 KiB a column)

// Counts the qualifying rows of a run without visiting them one by one where it can.
Result<std::uint64_t> count_qualifying(const PageSegment& seg, const TtRun& run, const PageFilter& filter) {
    const VersionQuery& query = *filter.query;
    if (!run.covered || query.belief == BeliefMode::Superseded || filter.rel_filter) {
        std::uint64_t n = 0;
        VORP_TRY(visit_qualifying(seg, run, filter, [&](std::uint32_t) { ++n; }, [](std::uint32_t) { return true; }));
        return n;
    }
    if (run.tt_s > query.as_of_tt) return std::uint64_t{0};
    // A window that holds every row of the segment (a listing over all valid time, the usual
    // first request) needs no row's valid time: the run's length, less the closed rows the
    // belief filter drops.
    if (seg.segment->valid_span(seg.ends).holds_all(query.t_a, query.t_b)) {
        std::uint64_t n = run.hi - run.lo;
        if (query.belief == BeliefMode::Current) {
            auto it = std::lower_bound(seg.closed.begin(), seg.closed.end(), run.lo,
                                       [](const auto& entry, std::uint32_t row) { return entry.first < row; });
            for (; it != seg.closed.end() && it->first < run.hi; ++it)
                n -= static_cast<std::uint64_t>(!belief_mode_keeps(BeliefMode::Current, it->second, query.as_of_tt));
        }
        return n;
    }
    // The window test over the run, branch-free.
    const std::int64_t* vt_s = seg.ends.vt_s.data();
    const std::int64_t* vt_e = seg.ends.elided ? nullptr : seg.ends.vt_e.data();
    if (query.belief == BeliefMode::All)
        return window_count(vt_s + run.lo, vt_e == nullptr ? nullptr : vt_e + run.lo, run.hi - run.lo, query.t_a,
                            query.t_b);
    // Less the closed rows in the window that the belief filter drops, taken block by block right
    // after the block's count, while its valid times are still in cache (a fifth of the rows may be
    // closed, which would otherwise mean a second walk over the columns).
    auto it = std::lower_bound(seg.closed.begin(), seg.closed.end(), run.lo,
                               [](const auto& entry, std::uint32_t row) { return entry.first < row; });
    std::uint64_t n = 0;
    for (std::uint32_t lo = run.lo; lo < run.hi;) {
        const std::uint32_t hi = lo + std::min(PAGE_COUNT_BLOCK, run.hi - lo);
        n += window_count(vt_s + lo, vt_e == nullptr ? nullptr : vt_e + lo, hi - lo, query.t_a, query.t_b);
        for (; it != seg.closed.end() && it->first < hi; ++it) {
            const std::uint32_t row = it->first;
            const bool dropped = !belief_mode_keeps(BeliefMode::Current, it->second, query.as_of_tt);
            const bool in_window = (vt_s[row] < query.t_b) & (seg.ends.at(row) > query.t_a);
            n -= static_cast<std::uint64_t>(dropped & in_window);  // counted just above when in the window
        }
        lo = hi;
    }
    return n;
}

// Runs work(i) for i in [0, count) on up to `threads` threads (the calling thread's share
// included); items are handed out in order as threads free up. An interruption stops the handing
// out: the error then says that some items were not run.
template <class Work>
Status for_each_item(std::size_t count, std::size_t threads, Work&& work) {
    if (threads <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            VORP_TRY(interruption_point());
            work(i);
        }
        return ok();
    }
    std::atomic<std::size_t> next{0};
    fan_out(std::min(threads, count), "page worker panicked", [&](std::size_t) {
        for (std::size_t i = next.fetch_add(1); i < count && interruption_point(); i = next.fetch_add(1)) work(i);
    });
    return interruption_point();
}

// Per segment of the list: its qualifying rows per tt_s (one entry per distinct tt_s).
struct SegmentTally {
    Status status = ok();
    std::vector<std::pair<std::int64_t, std::uint64_t>> per_tt_s;
};

// The keys of the rows of tt_s `tt_s` ranked [lo, hi) among them, in order. `total` is how many
// there are.
struct BucketPick {
    std::int64_t tt_s;
    std::uint64_t total;
    std::uint64_t lo, hi;
};

// Keeps the `capacity` smallest (or largest) keys offered.
class BoundedKeys {
public:
    BoundedKeys(std::size_t capacity, bool largest) : capacity_(capacity), largest_(largest) {}
    void offer(const PageKey& key) {
        if (capacity_ == 0) return;
        const auto worse = [this](const PageKey& a, const PageKey& b) { return largest_ ? b < a : a < b; };
        if (heap_.size() < capacity_) {
            heap_.push_back(key);
            std::push_heap(heap_.begin(), heap_.end(), worse);
        } else if (worse(key, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), worse);
            heap_.back() = key;
            std::push_heap(heap_.begin(), heap_.end(), worse);
        }
    }
    std::vector<PageKey>& keys() { return heap_; }
    // Holding as many keys as it keeps, at least one.
    bool full() const { return !heap_.empty() && heap_.size() >= capacity_; }
    bool largest() const { return largest_; }
    // The vid64 of the worst key kept (full selections only).
    std::uint64_t worst_vid64() const { return heap_.front().vid64; }
    // False when a key with this vid64 cannot enter whatever its other fields (the heap is full
    // and its worst key is strictly better on vid64 alone).
    bool may_take(std::uint64_t vid64) const {
        if (heap_.size() < capacity_ || capacity_ == 0) return capacity_ != 0;
        return largest_ ? vid64 >= heap_.front().vid64 : vid64 <= heap_.front().vid64;
    }

private:
    std::size_t capacity_;
    bool largest_;
    std::vector<PageKey> heap_;
};

// Whether any of vid64[0, n) could enter a full bounded selection whose worst key has vid64
// `bound` (BoundedKeys::may_take of each). A plain loop the compiler vectorizes, as window_count.
template <bool Largest>
inline bool any_may_take_loop(const std::uint64_t* vid64, std::size_t n, std::uint64_t bound) {
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < n; ++i) any |= static_cast<std::uint64_t>(Largest ? vid64[i] >= bound : vid64[i] <= bound);
    return any != 0;
}

__attribute__((target("avx2"))) bool any_may_take_avx2(const std::uint64_t* vid64, std::size_t n, std::uint64_t bound,
                                                        bool largest) {
    return largest ? any_may_take_loop<true>(vid64, n, bound) : any_may_take_loop<false>(vid64, n, bound);
}

bool any_may_take(const std::uint64_t* vid64, std::size_t n, std::uint64_t bound, bool largest) {
    if (simd_kernels_active()) return any_may_take_avx2(vid64, n, bound, largest);
    return largest ? any_may_take_loop<true>(vid64, n, bound) : any_may_take_loop<false>(vid64, n, bound);
}

constexpr std::uint32_t PAGE_VID_BLOCK = 64;  // rows whose vid64 are tested together

// Offers the qualifying rows of a run to a bounded selection, in row order: the rows
// visit_qualifying visits, less those the selection's may_take turns down. Once the selection is
// full its worst vid64 only improves as keys are offered, so a block of rows none of whose vid64
// it would take now holds no row it would take later in the walk either: such a block is passed
// over on its vid64 alone, and the window, type and belief tests run only in the few blocks that
// hold a candidate.
Status offer_qualifying(const PageSegment& seg, const TtRun& run, const PageFilter& filter, BoundedKeys& bounded,
                        std::uint32_t source) {
    const VersionQuery& query = *filter.query;
    const auto offer = [&](std::uint32_t r) { bounded.offer({seg.vid64[r], seg.vid_lo32[r], source, r}); };
    const auto maybe = [&](std::uint32_t r) { return bounded.may_take(seg.vid64[r]); };
    if (!run.covered || run.tt_s > query.as_of_tt || query.belief == BeliefMode::Superseded)
        return visit_qualifying(seg, run, filter, offer, maybe);
    const auto before_row = [](const auto& entry, std::uint32_t row) { return entry.first < row; };
    auto next_closed = std::lower_bound(seg.closed.begin(), seg.closed.end(), run.lo, before_row);
    const auto test = [&](std::uint32_t r) {
        if (!maybe(r) || !seg.in_window_and_type(r, filter)) return;
        if (query.belief == BeliefMode::Current) {
            next_closed = std::lower_bound(next_closed, seg.closed.end(), r, before_row);
            if (next_closed != seg.closed.end() && next_closed->first == r &&
                !belief_mode_keeps(BeliefMode::Current, next_closed->second, query.as_of_tt))
                return;
        }
        offer(r);
    };
    std::uint32_t r = run.lo;
    for (; r < run.hi && !bounded.full(); ++r) test(r);
    const std::uint64_t* vid64 = seg.vid64.data();
    while (r < run.hi) {
        const std::uint32_t block_end = r + std::min(PAGE_VID_BLOCK, run.hi - r);
        if (any_may_take(vid64 + r, block_end - r, bounded.worst_vid64(), bounded.largest()))
            for (; r < block_end; ++r) test(r);
        r = block_end;
    }
    return ok();
}

}  // namespace

Result<VersionPage> version_page(NativeStore& store, RowKind kind, const VersionQuery& asked, std::int64_t offset,
                                 std::int64_t limit) {
    VORP_TRY(store.assert_full_belief(asked.as_of_tt));
    VersionQuery query = asked;
    query.as_of_tt = belief_tt(asked.as_of_tt);
    const bool edges = kind == RowKind::Edge;

    // The overlay, read through the committed index's cached flat table and a flat table of the
    // layers above it (the open batch's closes), built here when there are any.
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    PageFilter filter;
    filter.query = &query;
    filter.kind = kind;
    filter.rel_filter = edges && query.rel_types != nullptr;
    std::shared_ptr<const CloseTable> lower, upper;
    if (query.belief != BeliefMode::All && overlay != nullptr) {
        const CloseIndex* stop = nullptr;
        if (const auto committed = store.committed_close_index()) {
            lower = store.close_cache().close_table(*committed);
            for (const CloseIndex* layer = overlay.get(); lower != nullptr && layer != nullptr; layer = layer->base.get())
                if (layer == lower->source.get()) stop = layer;
        }
        if (stop == nullptr) lower.reset();
        bool upper_closes = false;
        for (const CloseIndex* layer = overlay.get(); layer != nullptr && layer != stop; layer = layer->base.get())
            upper_closes |= !layer->closed.empty();
        if (upper_closes) upper = std::make_shared<const CloseTable>(CloseTable::build(overlay, stop));
        filter.lower = lower.get();
        filter.upper = upper.get();
    }

    const std::vector<SegmentFileRef> files = edges ? store.edge_files() : store.node_files();
    const auto staged_source = static_cast<std::uint32_t>(files.size());

    // Work items: row ranges of the segments, cut by the row counts the manifest lists (the files
    // are its entries in order; a segment's last item runs to its real end), a few per thread so
    // that threads finish together. On one thread, ranges of PAGE_SERIAL_CHUNK_ROWS: items are
    // where a serial walk looks for a Ctrl-C.
    std::vector<const SegmentEntry*> entries;
    for (const SegmentEntry& entry : edges ? store.manifest().edge_lanes.event : store.manifest().node_store)
        entries.push_back(&entry);
    if (edges)
        for (const SegmentEntry& entry : store.manifest().edge_lanes.interval) entries.push_back(&entry);
    std::uint64_t listed_rows = 0;
    for (const SegmentEntry* entry : entries) listed_rows += entry->rows;
    // Threads as for scans: the scans' gate decides (at least four threads, and the rows of
    // VORP_PARALLEL_MIN_ROWS), so a page never starts fewer threads than a scan would.
    const std::size_t available = scan_threads();
    const std::size_t threads = parallel_gate(available, files.size(), 1, listed_rows) ? available : 1;
    const std::uint64_t chunk_rows =
        threads == 1 ? PAGE_SERIAL_CHUNK_ROWS
                     : std::clamp<std::uint64_t>(listed_rows / (threads * 4), PAGE_MIN_CHUNK_ROWS, UINT32_MAX);
    struct Item {
        std::uint32_t segment;  // index in `files`
        std::uint32_t lo, hi;
    };
    std::vector<Item> items;
    for (std::size_t index = 0; index < files.size(); ++index) {
        const std::uint64_t rows = index < entries.size() ? entries[index]->rows : 0;
        std::uint64_t lo = 0;
        for (; rows > chunk_rows && lo < rows - chunk_rows; lo += chunk_rows)
            items.push_back({static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(lo),
                             static_cast<std::uint32_t>(lo + chunk_rows)});
        items.push_back({static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(lo), UINT32_MAX});
    }

    // Segments split into several items are opened once first (in parallel by segment), so that
    // workers do not all miss the cache on one segment and decode it side by side. Those the
    // cache holds need no thread.
    if (threads > 1 && items.size() > files.size()) {
        std::vector<std::size_t> missing;
        for (std::size_t index = 0; index < files.size(); ++index)
            if (store.cache().cached(files[index].file) == nullptr) missing.push_back(index);
        VORP_TRY(for_each_item(missing.size(), threads,
                               [&](std::size_t at) { (void)store.open_segment(files[missing[at]].file); }));
    }

    // Count.
    std::vector<SegmentTally> tallies(items.size());
    VORP_TRY(for_each_item(items.size(), threads, [&](std::size_t index) {
        const Item& item = items[index];
        SegmentTally& tally = tallies[index];
        Result<PageSegment> seg = open_page_segment(store, files[item.segment], filter, item.lo, item.hi);
        if (!seg) {
            tally.status = fail(std::move(seg).error());
            return;
        }
        if (seg->skipped) return;
        for (const TtRun& run : seg->runs) {
            const Result<std::uint64_t> n = count_qualifying(*seg, run, filter);
            if (!n) {
                tally.status = fail(n.error());
                return;
            }
            if (*n == 0) continue;
            auto found = std::find_if(tally.per_tt_s.begin(), tally.per_tt_s.end(),
                                      [&](const auto& entry) { return entry.first == run.tt_s; });
            if (found == tally.per_tt_s.end())
                tally.per_tt_s.emplace_back(run.tt_s, *n);
            else
                found->second += *n;
        }
    }));
    std::map<std::int64_t, std::uint64_t> by_tt_s;
    for (SegmentTally& tally : tallies) {
        VORP_TRY(std::move(tally.status));
        for (const auto& [tt_s, n] : tally.per_tt_s) by_tt_s[tt_s] += n;
    }
    // The open batch's rows, in staging order.
    std::vector<std::pair<std::int64_t, PageKey>> staged;
    const auto staged_key = [&](const auto& row, std::size_t index) {
        if (!(row.vt_s < query.t_b && row.vt_e > query.t_a)) return;
        if (row.tt_s > query.as_of_tt) return;
        if constexpr (requires { row.rel_type; }) {
            if (filter.rel_filter && !rel_requested(*query.rel_types, row.rel_type)) return;
        }
        if (!belief_mode_keeps(query.belief, staged_tt_e(store, row.vid), query.as_of_tt)) return;
        staged.push_back({row.tt_s, PageKey{row.vid.prefix, row.vid.suffix, staged_source, static_cast<std::uint32_t>(index)}});
        ++by_tt_s[row.tt_s];
    };
    if (edges) {
        for (std::size_t i = 0; i < store.batch().staging.edges.size(); ++i) staged_key(store.batch().staging.edges[i], i);
    } else {
        for (std::size_t i = 0; i < store.batch().staging.nodes.size(); ++i) staged_key(store.batch().staging.nodes[i], i);
    }

    std::uint64_t total = 0;
    for (const auto& [tt_s, n] : by_tt_s) total += n;
    const auto [start, end] = page_bounds(static_cast<std::size_t>(total), offset, limit);

    // The tt_s values the page reaches, and the ranks it wants within each.
    std::vector<BucketPick> picks;
    std::uint64_t before = 0;
    for (const auto& [tt_s, n] : by_tt_s) {
        const std::uint64_t lo = std::max<std::uint64_t>(start, before), hi = std::min<std::uint64_t>(end, before + n);
        if (lo < hi) picks.push_back({tt_s, n, lo - before, hi - before});
        before += n;
    }

    // Select.
    std::vector<VersionKey> page_keys;
    page_keys.reserve(end - start);
    for (const BucketPick& pick : picks) {
        const bool head = pick.hi <= PAGE_HEAP_LIMIT;
        const bool tail = !head && pick.total - pick.lo <= PAGE_HEAP_LIMIT;
        struct Gathered {
            Status status = ok();
            std::vector<PageKey> keys;  // bounded selections: this item's best
        };
        std::vector<Gathered> gathered(items.size());
        // A whole bucket is written in place: each item's keys at its own offset, from the counts.
        std::vector<PageKey> keys;
        std::vector<std::uint64_t> from(items.size() + 1, 0);  // item i writes [from[i], from[i + 1])
        if (!head && !tail) {
            keys.resize(pick.total);
            for (std::size_t index = 0; index < items.size(); ++index) {
                from[index + 1] = from[index];
                for (const auto& [tt_s, n] : tallies[index].per_tt_s)
                    if (tt_s == pick.tt_s) from[index + 1] += n;
            }
        }
        std::vector<std::uint64_t> at(from.begin(), from.end() - 1);  // write cursors
        VORP_TRY(for_each_item(items.size(), threads, [&](std::size_t index) {
            const SegmentTally& tally = tallies[index];
            if (std::none_of(tally.per_tt_s.begin(), tally.per_tt_s.end(),
                             [&](const auto& entry) { return entry.first == pick.tt_s; }))
                return;
            const Item& item = items[index];
            Gathered& out = gathered[index];
            Result<PageSegment> seg = open_page_segment(store, files[item.segment], filter, item.lo, item.hi);
            if (!seg) {
                out.status = fail(std::move(seg).error());
                return;
            }
            BoundedKeys bounded(head ? pick.hi : pick.total - pick.lo, tail);
            for (const TtRun& run : seg->runs) {
                if (!run.covered || run.tt_s != pick.tt_s) continue;
                Status visited = ok();
                if (head || tail) {
                    visited = offer_qualifying(*seg, run, filter, bounded, item.segment);
                } else {
                    // The count fixed how many keys this item gives: a row more would be a fault.
                    std::uint64_t& write = at[index];
                    const std::uint64_t limit_at = from[index + 1];
                    visited = visit_qualifying(
                        *seg, run, filter,
                        [&](std::uint32_t r) {
                            if (write < limit_at) keys[write] = {seg->vid64[r], seg->vid_lo32[r], item.segment, r};
                            ++write;
                        },
                        [](std::uint32_t) { return true; });
                }
                if (!visited) {
                    out.status = visited;
                    return;
                }
            }
            if (head || tail) out.keys = std::move(bounded.keys());
        }));
        for (Gathered& part : gathered) VORP_TRY(std::move(part.status));
        if (head || tail) {
            for (Gathered& part : gathered) {
                keys.insert(keys.end(), part.keys.begin(), part.keys.end());
                part.keys = {};
            }
            for (const auto& [tt_s, key] : staged)
                if (tt_s == pick.tt_s) keys.push_back(key);
        } else {
            // Each item wrote exactly the keys its count promised (the same filters decide both).
            for (std::size_t index = 0; index < items.size(); ++index)
                if (at[index] != from[index + 1])
                    engine_panic(fmt::format("page selection: work item {} gave {} keys of tt_s {} where {} were counted",
                                             index, at[index] - from[index], pick.tt_s, from[index + 1] - from[index]));
            std::uint64_t write = from.back();
            for (const auto& [tt_s, key] : staged)
                if (tt_s == pick.tt_s && write < keys.size()) keys[write++] = key;
            if (write != keys.size())
                engine_panic(fmt::format("page selection found {} keys of tt_s {} where {} were counted", write,
                                         pick.tt_s, pick.total));
        }
        // `keys` holds the bucket's ranks [base, base + keys.size()): all of them, or (from the
        // workers' bounded heaps, each holding its own best) the head [0, hi) or tail [lo, total).
        std::uint64_t base = 0;
        if (head || tail) {
            std::sort(keys.begin(), keys.end());
            const auto wanted = static_cast<std::size_t>(head ? pick.hi : pick.total - pick.lo);
            if (keys.size() != pick.total && keys.size() < wanted)
                engine_panic(fmt::format("page selection kept {} keys of {} for {}", keys.size(), pick.total, wanted));
            if (head)
                keys.resize(std::min(keys.size(), wanted));
            else
                keys.erase(keys.begin(), keys.end() - static_cast<std::ptrdiff_t>(std::min(keys.size(), wanted)));
            base = tail ? pick.lo : 0;
        }
        const auto first = keys.begin();
        const auto lo = static_cast<std::ptrdiff_t>(pick.lo - base), hi = static_cast<std::ptrdiff_t>(pick.hi - base);
        if (!head && !tail) {
            if (lo > 0) std::nth_element(first, first + lo, keys.end());
            if (hi < static_cast<std::ptrdiff_t>(keys.size())) std::nth_element(first + lo, first + hi, keys.end());
            VORP_TRY(interruptible_stable_sort(first + lo, first + hi, std::less<>{}));
        }
        for (auto it = first + lo; it != first + hi; ++it) {
            const bool is_staged = it->source == staged_source;
            page_keys.push_back({pick.tt_s, it->vid64, is_staged ? STAGED_SEGMENT : files[it->source].segment_id,
                                 it->vid_lo32, it->row});
        }
    }
    VersionPage page;
    page.rows_total = total;
    page.rows = VORP_TRY(version_rows_at(store, kind, page_keys));
    return page;
}

// ---- node window scan -------------------------------------------------------------------------------

// Rows the node sweep examines between interruption points.
constexpr std::uint64_t NODE_SCAN_TICK_ROWS = std::uint64_t{1} << 14;

Result<NodeScanOut> scan_node_versions(NativeStore& store, std::int64_t as_of_tt, std::optional<std::int64_t> vt_min,
                                       std::optional<std::int64_t> vt_max) {
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    const auto in_window = [&](std::int64_t vt_s, std::int64_t vt_e) {
        return (!vt_min || vt_e > *vt_min) && (!vt_max || vt_s < *vt_max);
    };
    NodeScanOut out;
    InterruptTicker ticker(NODE_SCAN_TICK_ROWS);
    for (const SegmentFileRef& ref : store.node_files()) {
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        const StringView strings = VORP_TRY(segment->strings());
        const SegmentHeader& header = segment->header;
        const NodeSegmentView& view = segment->nodes;
        const ValidEnds ends = VORP_TRY(view.valid_ends());
        const std::span<const std::int64_t> vt_s = ends.vt_s;
        const std::size_t rows = vt_s.size();
        const auto uid_id = VORP_TRY(view.uid_id.get());
        const auto label_ref = VORP_TRY(view.label_ref.get());
        const auto vid64 = VORP_TRY(view.vid64.get());
        const auto vid_lo32 = VORP_TRY(view.vid_lo32.get());
        out.rows_examined += rows;
        const CloseIndex* layers = overlay_for(overlay.get(), ref.segment_id);
        for (std::size_t r = 0; r < rows; ++r) {
            VORP_TRY(ticker.tick());
            const std::int64_t end = ends.at(r);
            if (!in_window(vt_s[r], end)) continue;
            const auto row = static_cast<std::uint32_t>(r);
            // tt_s first: a version recorded after the as-of time needs no close index lookup.
            const std::int64_t tt_s = VORP_TRY(header.tt_s_at(row));
            if (tt_s > belief_tt(as_of_tt)) continue;
            if (!is_believed(tt_s, stored_tt_e(layers, *segment, ref.segment_id, row), as_of_tt)) continue;
            NodeScanRow scan_row;
            scan_row.uid_id = uid_id[r];
            scan_row.vt_s = vt_s[r];
            scan_row.vt_e = end;
            scan_row.uid = VORP_TRY(uid_text(store, uid_id[r]));
            scan_row.vid = vid_text(vid64[r], vid_lo32[r]);
            scan_row.label = VORP_TRY(strings.get(label_ref[r]));
            out.rows.push_back(std::move(scan_row));
        }
    }
    out.rows_examined += store.batch().staging.nodes.size();
    for (const NodeRow& row : store.batch().staging.nodes) {
        if (!in_window(row.vt_s, row.vt_e)) continue;
        if (!is_believed(row.tt_s, staged_tt_e(store, row.vid), as_of_tt)) continue;
        NodeScanRow scan_row;
        scan_row.uid_id = row.uid_id;
        scan_row.vt_s = row.vt_s;
        scan_row.vt_e = row.vt_e;
        scan_row.uid = VORP_TRY(uid_text(store, row.uid_id));
        scan_row.vid = row.vid.to_hex();
        scan_row.label = row.label;
        out.rows.push_back(std::move(scan_row));
    }
    out.rows_materialized = out.rows.size();
    VORP_TRY(interruptible_stable_sort(out.rows.begin(), out.rows.end(), [](const NodeScanRow& a, const NodeScanRow& b) {
        return a.vt_s != b.vt_s ? a.vt_s < b.vt_s : a.vid < b.vid;
    }));
    return out;
}

}  // namespace vorp
