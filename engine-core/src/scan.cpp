// Scan threads and gating, wanted columns, and the selection phase of the edge scan.
#include "vorp/scan_pipeline.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include <fmt/format.h>

#include "vorp/interrupt.h"
#include "vorp/text.h"

namespace vorp {

// ---- wanted columns, counters ---------------------------------------------------------------------

Want Want::of(const ScanRequest& request) {
    if (!request.columns) return all();
    Want want;
    for (const std::string& name : *request.columns) {
        if (name == "vt_e") want.vt_e = true;
        else if (name == "src_id") want.src_id = true;
        else if (name == "dst_id") want.dst_id = true;
        else if (name == "vid") want.vid = true;
        else if (name == "rel_type") want.rel_type = true;
        else if (name == "disc") want.disc = true;
        else if (name == "props") want.props = true;
        else if (name == "seg_id" || name == "seg_row") want.seg = true;
    }
    return want;
}

ScanStats& ScanStats::operator+=(const ScanStats& other) {
    segments_total += other.segments_total;
    segments_pruned += other.segments_pruned;
    rows_examined += other.rows_examined;
    rows_selected += other.rows_selected;
    return *this;
}

// ---- selection ---------------------------------------------------------------------------------------

IdSet IdSet::build(std::span<const std::uint32_t> ids, std::uint64_t bound) {
    IdSet set;
    bool any = false;
    for (const std::uint32_t id : ids) {
        if (id >= bound) continue;
        set.max = any ? std::max(set.max, id) : id;
        any = true;
    }
    // max / 64 + 1 words, as for an empty list; at most the dictionary's size in bits.
    set.words.assign(static_cast<std::size_t>(set.max / 64) + 1, 0);
    for (const std::uint32_t id : ids)
        if (id < bound) set.words[id >> 6] |= std::uint64_t{1} << (id & 63);
    return set;
}

std::vector<RowRange> believed_ranges(std::span<const std::pair<std::uint32_t, std::int64_t>> runs,
                                      std::int64_t tt_s_min, std::int64_t tt_s_max, std::int64_t t, std::size_t rows) {
    std::vector<RowRange> ranges;
    if (runs.empty() || tt_s_min > t) return ranges;
    if (tt_s_max <= t) {
        const std::size_t first = runs.front().first;
        if (first < rows) ranges.push_back({first, rows});
        return ranges;
    }
    for (std::size_t run = 0; run < runs.size(); ++run) {
        const std::size_t start = runs[run].first;
        const std::size_t end =
            run + 1 < runs.size() ? std::min<std::size_t>(runs[run + 1].first, rows) : rows;
        if (runs[run].second > t || start >= end) continue;
        if (!ranges.empty() && ranges.back().end == start)
            ranges.back().end = end;
        else
            ranges.push_back({start, end});
    }
    return ranges;
}

Result<SegmentView> SegmentView::open(const Segment& segment) {
    const EdgeSegmentView& columns = segment.edges;
    SegmentView view;
    view.segment = &segment;
    view.vt_s = VORP_TRY(columns.vt_s.get());
    view.vt_e_elided = columns.vt_e_elided;
    if (!view.vt_e_elided) view.vt_e = VORP_TRY(columns.vt_e.get());
    view.src_id = VORP_TRY(columns.src_id.get());
    view.dst_id = VORP_TRY(columns.dst_id.get());
    view.vid64 = VORP_TRY(columns.vid64.get());
    view.vid_lo32 = VORP_TRY(columns.vid_lo32.get());
    view.rel_code = VORP_TRY(columns.rel_code.get());
    view.disc_ref = VORP_TRY(columns.disc_ref.get());
    view.props_ref = VORP_TRY(columns.props_ref.get());
    view.rel_types = &segment.header.rel_types;
    view.strings = VORP_TRY(segment.strings());
    return view;
}

Result<KeyColumns> KeyColumns::of(const Segment& segment) {
    KeyColumns keys;
    keys.vt_s = VORP_TRY(segment.edges.vt_s.get());
    keys.vid64 = VORP_TRY(segment.edges.vid64.get());
    keys.vid_lo32 = VORP_TRY(segment.edges.vid_lo32.get());
    return keys;
}

namespace {

bool rel_types_overlap(const std::vector<std::string>& names, const std::vector<std::string>& wanted) {
    for (const std::string& name : names)
        if (std::ranges::find(wanted, name) != wanted.end()) return true;
    return false;
}

// Header pruning, in the order of its tests; touches no column.
bool header_prunes(const Segment& segment, const ScanRequest& request, std::int64_t t) {
    const SegmentHeader& header = segment.header;
    return t < segment.tt_s_min || (request.vt_min && header.vt_e_max <= *request.vt_min) ||
           (request.vt_max && *request.vt_max <= header.vt_min) ||
           (request.rel_types && !header.rel_types.empty() && !rel_types_overlap(header.rel_types, *request.rel_types));
}

// The rows whose vt_s can lie in the window: [first row that may end after vt_min (only known
// from vt_s where vt_e is elided), first row starting at or after vt_max).
RowRange row_window(const Segment& segment, std::span<const std::int64_t> vt_s, const ScanRequest& request) {
    RowRange window{0, vt_s.size()};
    if (request.vt_max)
        window.end = static_cast<std::size_t>(std::ranges::lower_bound(vt_s, *request.vt_max) - vt_s.begin());
    if (request.vt_min && segment.header.vt_e_elided)
        window.start = static_cast<std::size_t>(std::ranges::lower_bound(vt_s, *request.vt_min) - vt_s.begin());
    return window;
}

// Walks a list of (row, tt_e) ascending by row alongside ascending rows. Skips forward by
// galloping, so a window deep inside a long list costs a few probes, not a walk.
struct CloseCursor {
    std::span<const std::pair<std::uint32_t, std::int64_t>> list;
    std::size_t next = 0;

    // Moves to the first entry whose row is at least `row`; returns that row, or SIZE_MAX.
    std::size_t seek(std::size_t row) {
        const std::size_t n = list.size();
        if (next < n && list[next].first < row) {
            std::size_t low = next;  // list[low].first < row throughout
            std::size_t step = 1;
            while (low + step < n && list[low + step].first < row) {
                low += step;
                step *= 2;
            }
            const auto first = list.begin() + static_cast<std::ptrdiff_t>(low + 1);
            const auto last = list.begin() + static_cast<std::ptrdiff_t>(std::min(low + step + 1, n));
            next = static_cast<std::size_t>(
                std::partition_point(first, last, [row](const auto& entry) { return entry.first < row; }) - list.begin());
        }
        return next < n ? list[next].first : SIZE_MAX;
    }
    const std::int64_t* at(std::uint32_t row) {
        seek(row);
        return next < list.size() && list[next].first == row ? &list[next].second : nullptr;
    }
};

// The value of the topmost of the layers [top, stop) holding (segment id, row).
std::optional<std::int64_t> find_above(const CloseIndex* top, const CloseIndex* stop, std::uint64_t segment_id,
                                       std::uint32_t row) {
    for (const CloseIndex* layer = top; layer != nullptr && layer != stop; layer = layer->base.get())
        if (const std::int64_t* value = layer->closed.find(segment_id, row)) return *value;
    return std::nullopt;
}

// The per-row tests of one segment, each switched on only when it can reject a row. Rows are
// offered in ascending order (the cursors rely on it).
struct RowFilter {
    // close test: the dense per-row list when given; else the upper layers (by lookup in [close,
    // stop) or by the `upper` cursor), then the `lower` cursor; then the folded closes
    const CloseIndex* close = nullptr;
    const CloseIndex* stop = nullptr;
    std::uint64_t seg_id = 0;
    bool check_close = false;
    bool dense = false;
    std::span<const std::int64_t> overlay;
    bool upper_lookup = false;
    CloseCursor upper;
    CloseCursor lower;
    CloseCursor folded;
    // The folded closes out of row order (a damaged header): each row looked up as close_tt_e
    // does, since a cursor's answer would then depend on the row a piece starts at.
    bool folded_lookup = false;
    // valid-time end test
    std::span<const std::int64_t> vt_e;
    std::int64_t vt_min = 0;
    bool check_vt_e = false;
    // relationship test
    std::span<const std::uint16_t> rel_code;
    const std::vector<char>* rel_mask = nullptr;
    bool check_rel = false;
    // incidence test
    const IdSet* ids = nullptr;
    std::span<const std::uint32_t> src_id;
    std::span<const std::uint32_t> dst_id;
    bool both = false;

    // The row's tt_e by the one rule of close_tt_e: the topmost layer's value unless it has none
    // or it is OPEN_END, then the folded close, else OPEN_END.
    std::int64_t tt_e(std::uint32_t row) {
        if (dense) {
            if (row < overlay.size() && overlay[row] != OPEN_END) return overlay[row];
        } else {
            std::optional<std::int64_t> held;
            if (upper_lookup) {
                held = find_above(close, stop, seg_id, row);
            } else if (const std::int64_t* value = upper.at(row)) {
                held = *value;
            }
            if (!held)
                if (const std::int64_t* value = lower.at(row)) held = *value;
            if (held && *held != OPEN_END) return *held;
        }
        if (folded_lookup) return find_closed_row(folded.list, row).value_or(OPEN_END);
        const std::int64_t* value = folded.at(row);
        return value != nullptr ? *value : OPEN_END;
    }

    // A pure conjunction, so the tests run cheapest first: the close lookup, which may probe a
    // hash table per layer, only for rows every other test keeps.
    bool keeps(std::uint32_t row, std::int64_t t) {
        if (check_vt_e && vt_e[row] <= vt_min) return false;
        if (check_rel) {
            const std::uint16_t code = rel_code[row];
            if (code >= rel_mask->size() || (*rel_mask)[code] == 0) return false;
        }
        if (ids != nullptr) {
            const bool src_hit = !src_id.empty() && ids->contains(src_id[row]);
            const bool dst_hit = !dst_id.empty() && ids->contains(dst_id[row]);
            if (both ? !(src_hit && dst_hit) : !(src_hit || dst_hit)) return false;
        }
        return !check_close || tt_e(row) > t;
    }

    // Writes the rows of [start, end) that the close test keeps from `to` on, when it is the only
    // test and every close is in a list: only the listed rows are tested, the rows between them
    // are written as they come. Returns the end of what it wrote (at most end - start rows).
    std::uint32_t* keep_open(std::size_t start, std::size_t end, std::int64_t t, std::uint32_t* to) {
        std::size_t row = start;
        while (row < end) {
            const std::size_t listed = std::min({upper.seek(row), lower.seek(row), folded.seek(row), end});
            for (std::size_t next = row; next < listed; ++next) *to++ = static_cast<std::uint32_t>(next);
            if (listed == end) break;
            *to = static_cast<std::uint32_t>(listed);
            to += static_cast<std::size_t>(tt_e(static_cast<std::uint32_t>(listed)) > t);
            row = listed + 1;
        }
        return to;
    }

    // keep_open when only `cursor`'s list is not empty: a listed row's tt_e is then its first entry
    // in that list (OPEN_END included: no other list can stand in), as tt_e() finds it, so the
    // list is walked once, entry by entry, and the rows between entries are written as they come.
    static constexpr std::size_t GAP_BLOCK = 8;
    static std::uint32_t* keep_listed(CloseCursor& cursor, std::size_t start, std::size_t end, std::int64_t t,
                                      std::uint32_t* to) {
        const std::span<const std::pair<std::uint32_t, std::int64_t>> list = cursor.list;
        const std::size_t n = list.size();
        cursor.seek(start);
        std::size_t next = cursor.next;
        std::size_t row = start;
        while (next < n && list[next].first < end) {
            const std::size_t listed = list[next].first;
            const std::int64_t tt_e = list[next].second;
            // A row listed twice counts with its first entry, as the cursor's lookup finds it.
            do ++next;
            while (next < n && list[next].first == listed);
            if (listed - row <= GAP_BLOCK && row + GAP_BLOCK <= end) {
                // A short gap (closes a few rows apart are the common case) as one block of stores
                // of the next GAP_BLOCK row numbers, of which only the gap's are kept: at most the
                // rows of [start, row + GAP_BLOCK) are written, which the window has room for.
                for (std::size_t k = 0; k < GAP_BLOCK; ++k) to[k] = static_cast<std::uint32_t>(row + k);
                to += listed - row;
                row = listed;
            }
            for (; row < listed; ++row) *to++ = static_cast<std::uint32_t>(row);
            *to = static_cast<std::uint32_t>(listed);
            to += static_cast<std::size_t>(tt_e > t);
            row = listed + 1;
        }
        for (; row < end; ++row) *to++ = static_cast<std::uint32_t>(row);
        cursor.next = next;
        return to;
    }

    // Writes the rows of [start, end) that end after vt_min and that the close test keeps from `to`
    // on, when those are the only tests and at most one close list is not empty: a row's tt_e is
    // then its entry in that list, or OPEN_END, as tt_e() finds it. One pass without a branch per
    // row: the usual query with a valid-time window keeps rows at a few nanoseconds each. Returns
    // the end of what it wrote.
    std::uint32_t* keep_ending_after(std::size_t start, std::size_t end, std::int64_t t, std::uint32_t* to) {
        std::span<const std::pair<std::uint32_t, std::int64_t>> list;
        CloseCursor* cursor = nullptr;
        if (check_close) {
            for (CloseCursor* each : {&upper, &lower, &folded})
                if (!each->list.empty()) cursor = each;
        }
        std::size_t next = 0;
        if (cursor != nullptr) {
            cursor->seek(start);
            list = cursor->list;
            next = cursor->next;
        }
        std::size_t kept = 0;
        const std::int64_t* ends = vt_e.data();
        const std::size_t n = list.size();
        if (n == 0) {
            for (std::size_t row = start; row < end; ++row) {
                to[kept] = static_cast<std::uint32_t>(row);
                kept += static_cast<std::size_t>(ends[row] > vt_min);
            }
        } else {
            for (std::size_t row = start; row < end; ++row) {
                // The first entry at or after the row, as CloseCursor::seek keeps it (only an
                // entry repeating a row is ever passed here).
                while (next < n && list[next].first < row) [[unlikely]]
                    ++next;
                const auto& entry = list[next < n ? next : n - 1];
                const bool listed = next < n && entry.first == row;
                const std::int64_t closed = listed ? entry.second : OPEN_END;
                next += static_cast<std::size_t>(listed);
                to[kept] = static_cast<std::uint32_t>(row);
                kept += static_cast<std::size_t>((ends[row] > vt_min) & (closed > t));
            }
        }
        if (cursor != nullptr) cursor->next = next;
        return to + kept;
    }
};

}  // namespace

SelectPrep ScanSet::prepare(const ScanRequest& request) const {
    SelectPrep prep;
    // The id set is built once and shared read-only by every chunk; ids no stored row can carry
    // are dropped, so its size is bounded by the dictionary whatever the caller passed.
    if (request.touching_ids) prep.ids = IdSet::build(*request.touching_ids, entity_count);
    if (close == nullptr) {
        // Without an overlay, a table without a source stands alone for the committed closes.
        if (close_table != nullptr && close_table->source == nullptr) prep.lower = close_table.get();
        return prep;
    }

    // The cached table stands for its source layer and those below it, when the source is in
    // this overlay's chain; the layers above it are the upper ones.
    if (close_table != nullptr && close_table->source != nullptr) {
        for (const CloseIndex* layer = close.get(); layer != nullptr; layer = layer->base.get()) {
            if (layer == close_table->source.get()) {
                prep.stop = layer;
                prep.lower = close_table.get();
                break;
            }
        }
    }
    std::uint64_t upper_entries = 0;
    for (const CloseIndex* layer = close.get(); layer != nullptr && layer != prep.stop; layer = layer->base.get())
        upper_entries += layer->closed.size();
    if (upper_entries == 0) return prep;
    // Rows the per-row close test would look up: those in the window of touched segments. A
    // lookup and a flattened entry cost about the same (a hash probe against visiting a node).
    const std::int64_t t = belief_tt(request.as_of_tt);
    std::uint64_t lookups = 0;
    for (const ScanTarget& target : targets) {
        const Segment& segment = *target.segment;
        if (header_prunes(segment, request, t) || !close->touches(target.seg_id)) continue;
        auto vt_s = segment.edges.vt_s.get();
        const RowRange window = vt_s ? row_window(segment, *vt_s, request) : RowRange{0, segment.header.rows};
        if (window.start < window.end) lookups += window.end - window.start;
        if (lookups >= upper_entries) {
            prep.upper = std::make_shared<const CloseTable>(CloseTable::build(close, prep.stop));
            return prep;
        }
    }
    prep.lookup_upper = true;
    return prep;
}

namespace {

// One target's row loop, set up on the calling thread in target order. Every step of a target
// that can fail (its columns, the incidence check) happens here, so the loop itself cannot fail
// and any row range of it can run on any thread: the rows it keeps and the rows it examines
// depend only on the rows, never on how the window was cut.
struct TargetScan {
    std::size_t target = 0;
    RowRange window;  // the row window, not empty
    // The believed ranges are taken from the tt_s runs range by range (a compacted segment may
    // hold a run per row), so planning costs a binary search, not a walk of the runs.
    std::span<const std::pair<std::uint32_t, std::int64_t>> runs;
    // The runs of a damaged header whose runs are out of row order, rebuilt row by row from the
    // lookup every other read uses (rows it cannot place are never believed); `runs` then points here.
    std::vector<std::pair<std::uint32_t, std::int64_t>> own_runs;
    bool all_believed = false;  // every run's tt_s <= t
    RowFilter filter;           // cursors at their start; copied for every range
    std::vector<char> rel_mask;
    bool per_row = false;
    bool close_only = false;
    CloseCursor RowFilter::* one_list = nullptr;  // with close_only: the only close list not empty
    bool ending_after = false;  // the valid-time end test, and the close test over one list at most
    std::size_t header_rows = 0;  // the segment's row count, as its header gives it
    // With SelectPrep::facts: where the target's facts go, and its key columns (when had).
    SelectionFacts* facts = nullptr;

    // Calls visit(start, end) for the believed rows of [lo, hi), ascending, each range not empty.
    template <class Visit>
    void believed_in(std::size_t lo, std::size_t hi, std::int64_t t, Visit&& visit) const {
        if (runs.empty()) return;
        if (all_believed) {
            const std::size_t start = std::max<std::size_t>(lo, runs.front().first);
            if (start < hi) visit(start, hi);
            return;
        }
        // The run holding row lo: the last whose first row is at or before it.
        auto run = std::ranges::upper_bound(runs, static_cast<std::uint32_t>(std::min<std::size_t>(lo, UINT32_MAX)), {},
                                            &std::pair<std::uint32_t, std::int64_t>::first);
        if (run != runs.begin()) --run;
        for (; run != runs.end() && run->first < hi; ++run) {
            const std::size_t next = run + 1 != runs.end() ? (run + 1)->first : SIZE_MAX;
            const std::size_t start = std::max<std::size_t>(run->first, lo);
            const std::size_t end = std::min(next, hi);
            if (run->second <= t && start < end) visit(start, end);
        }
    }

    // Writes the kept rows of [lo, hi) (inside the window) from `to` on, ascending (at most
    // hi - lo rows); adds the rows examined there to `examined` and returns the end of what it wrote.
    std::uint32_t* scan(std::size_t lo, std::size_t hi, std::int64_t t, std::uint32_t* to, std::uint64_t& examined) const {
        RowFilter local = start_filter();
        return scan_with(local, lo, hi, t, to, examined);
    }

    // The filter with its cursors at their start, for scan_with.
    RowFilter start_filter() const {
        RowFilter local = filter;
        local.rel_mask = &rel_mask;
        return local;
    }

    // scan with the caller's filter, whose cursors move on: consecutive ascending ranges of one
    // target share one filter, so no range seeks its close lists from their start again.
    std::uint32_t* scan_with(RowFilter& local, std::size_t lo, std::size_t hi, std::int64_t t, std::uint32_t* to,
                             std::uint64_t& examined) const {
        believed_in(lo, hi, t, [&](std::size_t start, std::size_t end) {
            examined += end - start;
            if (!per_row) {
                for (std::size_t row = start; row < end; ++row) *to++ = static_cast<std::uint32_t>(row);
            } else if (close_only && one_list != nullptr) {
                to = RowFilter::keep_listed(local.*one_list, start, end, t, to);
            } else if (close_only) {
                to = local.keep_open(start, end, t, to);
            } else if (ending_after) {
                to = local.keep_ending_after(start, end, t, to);
            } else {
                for (std::size_t row = start; row < end; ++row) {
                    *to = static_cast<std::uint32_t>(row);
                    to += static_cast<std::size_t>(local.keeps(static_cast<std::uint32_t>(row), t));
                }
            }
        });
        return to;
    }
};

enum class Planned : std::uint8_t { Pruned, Empty, Rows };

// Header pruning, the row window and the filter of one target. Pruned targets load no column; a
// target whose window holds no row is Empty (neither pruned nor examined).
Result<Planned> plan_target(const ScanSet& set, const ScanRequest& request, const SelectPrep& prep, std::int64_t t,
                            std::size_t target_index, TargetScan& out, SelectionFacts* facts) {
    const ScanTarget& target = set.targets[target_index];
    const Segment& segment = *target.segment;
    const SegmentHeader& header = segment.header;
    const IdSet* ids = prep.ids ? &*prep.ids : nullptr;
    if (header_prunes(segment, request, t)) return Planned::Pruned;
    const std::span<const std::int64_t> vt_s = VORP_TRY(segment.edges.vt_s.get());
    const RowRange window = row_window(segment, vt_s, request);
    if (window.start >= window.end) return Planned::Empty;

    out.target = target_index;
    RowFilter& filter = out.filter;
    if (!header.vt_e_elided) filter.vt_e = VORP_TRY(segment.edges.vt_e.get());
    // Columns the filter can do without read as empty when they cannot be had.
    filter.rel_code = segment.edges.rel_code.values_or_empty();
    filter.src_id = segment.edges.src_id.values_or_empty();
    filter.dst_id = segment.edges.dst_id.values_or_empty();
    if (ids != nullptr && request.touching_both && (filter.src_id.empty() || filter.dst_id.empty()))
        return fail(EngineError::corrupt("both-endpoint incidence needs src_id and dst_id"));
    if (request.rel_types) {
        out.rel_mask.assign(header.rel_types.size(), 0);
        for (std::size_t code = 0; code < header.rel_types.size(); ++code)
            out.rel_mask[code] = std::ranges::find(*request.rel_types, header.rel_types[code]) != request.rel_types->end();
    }
    const CloseIndex* close = set.close.get();
    filter.close = close;
    filter.stop = prep.stop;
    filter.seg_id = target.seg_id;
    filter.folded.list = header.closed_rows;
    filter.folded_lookup = !segment.closed_rows_ascending;
    if (prep.closes) {
        filter.dense = true;
        filter.overlay = (*prep.closes)[target_index];
    } else {
        if (prep.upper != nullptr) {
            filter.upper.list = prep.upper->of(target.seg_id);
        } else {
            filter.upper_lookup = prep.lookup_upper;
        }
        if (prep.lower != nullptr) filter.lower.list = prep.lower->of(target.seg_id);
    }
    filter.check_close = !header.closed_rows.empty() || (close != nullptr && close->touches(target.seg_id)) ||
                         !filter.lower.list.empty();
    // A segment whose rows all end after vt_min needs no end test: its span of valid times, taken
    // once from its rows, says so.
    filter.check_vt_e = request.vt_min.has_value() && !filter.vt_e.empty() &&
                        segment.valid_span(ValidEnds{vt_s, filter.vt_e, false}).min_end <= *request.vt_min;
    filter.vt_min = request.vt_min.value_or(0);
    filter.check_rel = request.rel_types.has_value() && !filter.rel_code.empty();
    filter.ids = ids;
    filter.both = request.touching_both;
    // Segment open checked that every column holds one value per row.
    out.per_row = filter.check_vt_e || request.rel_types.has_value() || ids != nullptr || filter.check_close;
    out.close_only = out.per_row && filter.check_close && !filter.check_vt_e && !request.rel_types.has_value() &&
                     ids == nullptr && !filter.dense && !filter.upper_lookup && !filter.folded_lookup;
    const int lists = (filter.upper.list.empty() ? 0 : 1) + (filter.lower.list.empty() ? 0 : 1) +
                      (filter.folded.list.empty() ? 0 : 1);
    if (out.close_only && lists == 1)
        out.one_list = !filter.upper.list.empty() ? &RowFilter::upper
                       : !filter.lower.list.empty() ? &RowFilter::lower
                                                    : &RowFilter::folded;
    out.ending_after = out.per_row && filter.check_vt_e && !request.rel_types.has_value() && ids == nullptr &&
                       !filter.dense && !filter.upper_lookup && !filter.folded_lookup && lists <= 1;
    // As believed_ranges: nothing before the first run; runs past the rows hold nothing.
    out.window = window;
    out.runs = header.tt_s_runs;
    if (!segment.tt_s_runs_ascending) {
        constexpr std::int64_t NEVER = INT64_MAX;  // above every as-of time
        for (std::uint32_t row = 0; row < window.end; ++row) {
            const Result<std::int64_t> tt_s = header.tt_s_at(row);
            const std::int64_t value = tt_s ? *tt_s : NEVER;
            if (out.own_runs.empty() || out.own_runs.back().second != value) out.own_runs.emplace_back(row, value);
        }
        out.runs = out.own_runs;
    }
    out.all_believed = segment.tt_s_max <= t && segment.tt_s_runs_ascending;
    if (segment.tt_s_min > t) out.runs = {};
    out.header_rows = header.rows;
    if (facts != nullptr) {
        SelectionFacts& target_facts = facts[target_index];
        out.facts = &target_facts;
        if (Result<KeyColumns> keys = KeyColumns::of(segment)) {
            target_facts.keys = *keys;
        } else {
            target_facts.key_error = std::make_shared<const EngineError>(std::move(keys).error());
        }
    }
    return Planned::Rows;
}

// The plans of targets [lo, hi), in target order, and the pruned count; the first failing target
// in target order ends it.
// With `facts` (one entry per target), each planned target's facts are taken there.
Result<std::vector<TargetScan>> plan_targets(const ScanSet& set, const ScanRequest& request, const SelectPrep& prep,
                                             std::size_t lo, std::size_t hi, ScanStats& stats,
                                             SelectionFacts* facts = nullptr) {
    const std::int64_t t = belief_tt(request.as_of_tt);
    if (request.touching_ids.has_value() != prep.ids.has_value()) engine_panic("the touching-ids set is built once per scan");
    std::vector<TargetScan> plans;
    plans.reserve(hi - lo);
    for (std::size_t target_index = lo; target_index < hi; ++target_index) {
        VORP_TRY(interruption_point());
        TargetScan plan;
        const Planned planned = VORP_TRY(plan_target(set, request, prep, t, target_index, plan, facts));
        if (planned == Planned::Pruned) ++stats.segments_pruned;
        if (planned == Planned::Rows) plans.push_back(std::move(plan));
    }
    stats.segments_total = hi - lo;
    return plans;
}

void emit(std::size_t target, const std::uint32_t* begin, const std::uint32_t* end, SelectOutcome& out) {
    if (begin == end) return;
    out.stats.rows_selected += static_cast<std::uint64_t>(end - begin);
    out.selections.push_back({std::span<const std::uint32_t>(begin, end), target});
}

// A selection's first and last rows and, when its plan has key columns, their vt_s.
struct EndKeys {
    std::int64_t first_vt_s = 0;
    std::int64_t last_vt_s = 0;
    std::uint32_t first_row = 0;
    std::uint32_t last_row = 0;
};

EndKeys end_keys(const TargetScan& plan, const std::uint32_t* begin, const std::uint32_t* end) {
    if (plan.facts == nullptr || begin == end) return {};
    EndKeys keys{0, 0, *begin, *(end - 1)};
    if (plan.facts->key_error == nullptr) {
        keys.first_vt_s = plan.facts->keys.vt_s[keys.first_row];
        keys.last_vt_s = plan.facts->keys.vt_s[keys.last_row];
    }
    return keys;
}

void set_end_keys(const TargetScan& plan, const EndKeys& first, const EndKeys& last) {
    if (plan.facts == nullptr) return;
    plan.facts->first_vt_s = first.first_vt_s;
    plan.facts->first_row = first.first_row;
    plan.facts->last_vt_s = last.last_vt_s;
    plan.facts->last_row = last.last_row;
}

// A buffer for `capacity` rows, of which a scan writes a prefix: reserved (with the huge page hint
// when large), never zeroed.
Column<std::uint32_t>& row_storage(SelectOutcome& out, std::size_t capacity) {
    Column<std::uint32_t>& rows = out.storage.emplace_back();
    reserve_large(rows, capacity);
    rows.resize(capacity);
    return rows;
}

// Every plan's window scanned on this thread. The kept rows of all targets lie one after another
// in one buffer, sized by the windows: one allocation per scan, not one per segment.
Status scan_plans(std::span<const TargetScan> plans, std::int64_t t, SelectOutcome& out) {
    std::size_t capacity = 0;
    for (const TargetScan& plan : plans) capacity += plan.window.end - plan.window.start;
    out.selections.reserve(plans.size());
    if (capacity == 0) return ok();
    std::uint32_t* at = row_storage(out, capacity).data();
    for (const TargetScan& plan : plans) {
        VORP_TRY(interruption_point());
        std::uint32_t* const end = plan.scan(plan.window.start, plan.window.end, t, at, out.stats.rows_examined);
        const EndKeys keys = end_keys(plan, at, end);
        set_end_keys(plan, keys, keys);
        emit(plan.target, at, end, out);
        at = end;
    }
    return ok();
}

// A range of one target's window that one worker scans: rows [lo, hi) of target plan `plan`.
struct SelectPiece {
    std::size_t plan = 0;
    std::size_t lo = 0;
    std::size_t hi = 0;
};

// The plans' windows cut into pieces of at most `piece_rows` rows (a piece never spans two
// targets), in target and row order.
std::vector<SelectPiece> select_pieces(std::span<const TargetScan> plans, std::size_t piece_rows) {
    std::vector<SelectPiece> pieces;
    for (std::size_t plan_index = 0; plan_index < plans.size(); ++plan_index) {
        const RowRange window = plans[plan_index].window;
        const std::size_t count = (window.end - window.start + piece_rows - 1) / piece_rows;
        for (std::size_t part = 0; part < count; ++part) {
            const std::size_t lo = window.start + (window.end - window.start) * part / count;
            const std::size_t hi = window.start + (window.end - window.start) * (part + 1) / count;
            if (lo < hi) pieces.push_back({plan_index, lo, hi});
        }
    }
    return pieces;
}

}  // namespace

Result<SelectOutcome> ScanSet::select_range(const ScanRequest& request, const SelectPrep& prep, std::size_t lo,
                                            std::size_t hi) const {
    SelectOutcome out;
    const std::int64_t t = belief_tt(request.as_of_tt);
    if (prep.facts) out.facts.resize(targets.size());
    const std::vector<TargetScan> plans =
        VORP_TRY(plan_targets(*this, request, prep, lo, hi, out.stats, prep.facts ? out.facts.data() : nullptr));
    VORP_TRY(scan_plans(plans, t, out));
    return out;
}

// Pieces per thread: enough that a piece of dense closes or many kept rows does not hold up the
// phase, few enough that each piece is long.
constexpr std::uint64_t SELECT_PIECES_PER_THREAD = 4;
// Rows of a piece that select_blocks scans at a time: their kept rows (16 KiB at most) stay in the
// core's first-level cache for the caller to read.
constexpr std::size_t ROW_BLOCK = 4096;
// Rows the closing of the pieces' gaps must move before it is worth worker threads.
constexpr std::size_t CLOSE_GAPS_PARALLEL_ROWS = std::size_t{1} << 20;

namespace {

// The plans of all targets, in target order, and the pruned count. With the gate open for the
// number of targets and their header rows, chunks of targets are planned on worker threads (a
// plan touches its segment's header and columns, which for thousands of small segments costs
// more than their rows); the error reported is the first failing chunk's, which is the first
// failing target in target order, as on one thread.
Result<std::vector<TargetScan>> plan_all(const ScanSet& set, const ScanRequest& request, const SelectPrep& prep,
                                         std::size_t threads, ScanStats& stats, SelectionFacts* facts) {
    const std::size_t n = set.targets.size();
    std::uint64_t rows = 0;
    if (set.header_rows) {
        rows = *set.header_rows;
    } else {
        for (const ScanTarget& target : set.targets) rows += target.segment->header.rows;
    }
    if (!parallel_gate(threads, n, PLAN_MIN_TARGETS, rows)) return plan_targets(set, request, prep, 0, n, stats, facts);
    const std::size_t chunk = (n + threads - 1) / threads;
    const std::size_t chunks = (n + chunk - 1) / chunk;
    std::vector<Result<std::vector<TargetScan>>> planned(chunks);
    std::vector<ScanStats> chunk_stats(chunks);
    fan_out(chunks, SCAN_WORKER_PANICKED, [&](std::size_t index) {
        planned[index] =
            plan_targets(set, request, prep, index * chunk, std::min(n, (index + 1) * chunk), chunk_stats[index], facts);
    });
    std::size_t count = 0;
    for (std::size_t index = 0; index < chunks; ++index) {
        if (!planned[index]) return fail(std::move(planned[index]).error());
        count += planned[index]->size();
    }
    std::vector<TargetScan> plans;
    plans.reserve(count);
    for (std::size_t index = 0; index < chunks; ++index) {
        for (TargetScan& plan : *planned[index]) plans.push_back(std::move(plan));
        stats.segments_pruned += chunk_stats[index].segments_pruned;
    }
    stats.segments_total = n;
    return plans;
}

// The plans of a selection and, when the gate opens for their pieces, the pieces and the
// contiguous runs of them that the workers take (worker w: pieces bounds[w] .. bounds[w + 1]).
struct PieceWork {
    std::vector<TargetScan> plans;
    std::vector<SelectPiece> pieces;
    std::vector<std::size_t> bounds;
    bool parallel = false;
};

Result<PieceWork> piece_work(const ScanSet& set, const ScanRequest& request, const SelectPrep& prep, std::size_t threads,
                             ScanStats& stats, SelectionFacts* facts) {
    PieceWork work;
    work.plans = VORP_TRY(plan_all(set, request, prep, threads, stats, facts));
    std::size_t examined = 0;  // rows of the windows: the work, up to the believed ranges
    for (const TargetScan& plan : work.plans) examined += plan.window.end - plan.window.start;
    const std::size_t piece_rows =
        std::max<std::size_t>(1, (examined + threads * SELECT_PIECES_PER_THREAD - 1) / (threads * SELECT_PIECES_PER_THREAD));
    work.pieces = select_pieces(work.plans, piece_rows);
    // The gate counts the header rows of the candidates that their headers do not rule out: a
    // narrow window over many segments stays on this thread.
    std::uint64_t rows = 0;
    for (const TargetScan& plan : work.plans) rows += plan.header_rows;
    if (!parallel_gate(threads, work.pieces.size(), SELECT_MIN_SEGMENTS, rows)) return work;

    // Contiguous runs of pieces, one per worker, balanced by the rows they examine.
    work.bounds.push_back(0);
    std::size_t acc = 0;
    for (std::size_t index = 0; index < work.pieces.size(); ++index) {
        acc += work.pieces[index].hi - work.pieces[index].lo;
        if (work.bounds.size() < threads && acc * threads >= examined * work.bounds.size() && index + 1 < work.pieces.size())
            work.bounds.push_back(index + 1);
    }
    work.bounds.push_back(work.pieces.size());
    work.parallel = true;
    return work;
}

}  // namespace

Result<std::optional<SelectOutcome>> ScanSet::select_blocks(const ScanRequest& request, std::size_t threads,
                                                            RowBlocks& blocks, std::string_view panic_text) const {
    const SelectPrep prep = prepare(request);
    if (threads < PARALLEL_MIN_THREADS) return std::optional<SelectOutcome>(VORP_TRY(select_range(request, prep, 0, targets.size())));
    SelectOutcome out;
    PieceWork work = VORP_TRY(piece_work(*this, request, prep, threads, out.stats, nullptr));
    const std::int64_t t = belief_tt(request.as_of_tt);
    if (!work.parallel) {
        VORP_TRY(scan_plans(work.plans, t, out));
        return std::optional<SelectOutcome>(std::move(out));
    }
    const std::size_t workers = work.bounds.size() - 1;
    blocks.begin(workers, work.pieces.size());
    // Workers take pieces one at a time: what a piece keeps, and so what the caller does with its
    // rows, is not known when the pieces are cut.
    std::atomic<std::size_t> next_piece{0};
    fan_out(workers, panic_text, [&](std::size_t worker) {
        // One block of kept rows at a time, in a buffer that stays in the core's cache.
        std::vector<std::uint32_t> buffer(ROW_BLOCK);
        for (std::size_t index = next_piece++; index < work.pieces.size(); index = next_piece++) {
            if (!interruption_point()) break;  // the caller sees the stop after the join
            const SelectPiece& piece = work.pieces[index];
            const TargetScan& plan = work.plans[piece.plan];
            RowFilter filter = plan.start_filter();
            std::uint64_t examined = 0;
            for (std::size_t lo = piece.lo; lo < piece.hi; lo += ROW_BLOCK) {
                const std::size_t hi = std::min(piece.hi, lo + ROW_BLOCK);
                const std::uint32_t* const end = plan.scan_with(filter, lo, hi, t, buffer.data(), examined);
                if (end != buffer.data())
                    blocks.take(worker, index, plan.target, std::span<const std::uint32_t>(buffer.data(), end));
            }
        }
        blocks.finish(worker);
    });
    // Workers that saw a stop handed over only part of their rows.
    VORP_TRY(interruption_point());
    return std::optional<SelectOutcome>();
}

Result<SelectOutcome> ScanSet::select(const ScanRequest& request, bool facts, Split split) const {
    SelectPrep prep = prepare(request);
    prep.facts = facts;
    const std::size_t threads = scan_threads();
    const std::size_t n = targets.size();
    if (threads < PARALLEL_MIN_THREADS) return select_range(request, prep, 0, n);

    SelectOutcome out;
    const std::int64_t t = belief_tt(request.as_of_tt);
    if (facts) out.facts.resize(n);
    const PieceWork work = VORP_TRY(piece_work(*this, request, prep, threads, out.stats, facts ? out.facts.data() : nullptr));
    const std::vector<TargetScan>& plans = work.plans;
    const std::vector<SelectPiece>& pieces = work.pieces;
    const std::vector<std::size_t>& bounds = work.bounds;
    if (!work.parallel) {
        VORP_TRY(scan_plans(plans, t, out));
        return out;
    }

    // One buffer for the rows of every target, each target's part sized for its window (nothing
    // is written or zeroed here: the workers touch its pages first). Each piece writes its kept
    // rows at its own offset in its target's part; the gaps the pieces leave are then closed in
    // row order, in place. No row goes to a second buffer, and no piece allocates memory. With
    // facts, each worker also reads the vt_s of its pieces' first and last kept rows.
    std::vector<std::size_t> part_of(plans.size());
    std::size_t capacity = 0;
    for (std::size_t plan = 0; plan < plans.size(); ++plan) {
        part_of[plan] = capacity;
        capacity += plans[plan].window.end - plans[plan].window.start;
    }
    std::uint32_t* const rows_base = row_storage(out, capacity).data();
    std::vector<std::size_t> kept(pieces.size(), 0);
    std::vector<EndKeys> piece_keys(facts ? pieces.size() : 0);
    std::vector<std::uint64_t> seen(pieces.size(), 0);
    fan_out(bounds.size() - 1, SCAN_WORKER_PANICKED, [&](std::size_t worker) {
        for (std::size_t index = bounds[worker]; index < bounds[worker + 1]; ++index) {
            if (!interruption_point()) return;  // the caller sees the stop after the join
            const SelectPiece& piece = pieces[index];
            const TargetScan& plan = plans[piece.plan];
            std::uint32_t* const at = rows_base + part_of[piece.plan] + (piece.lo - plan.window.start);
            std::uint32_t* const end = plan.scan(piece.lo, piece.hi, t, at, seen[index]);
            kept[index] = static_cast<std::size_t>(end - at);
            if (facts) piece_keys[index] = end_keys(plan, at, end);
        }
    });
    // Workers that saw a stop left pieces unscanned.
    VORP_TRY(interruption_point());
    for (const std::uint64_t rows_seen : seen) out.stats.rows_examined += rows_seen;
    if (split == Split::ByPiece && !facts) {
        out.selections.reserve(pieces.size());
        for (std::size_t index = 0; index < pieces.size(); ++index) {
            const SelectPiece& piece = pieces[index];
            std::uint32_t* const at = rows_base + part_of[piece.plan] + (piece.lo - plans[piece.plan].window.start);
            emit(plans[piece.plan].target, at, at + kept[index], out);
        }
        return out;
    }

    // A target's pieces are contiguous in the list. Its gaps are closed by one thread; when many
    // rows move, the targets are handed out to workers in turn.
    std::vector<std::size_t> first_piece(plans.size() + 1, pieces.size());
    for (std::size_t index = pieces.size(); index-- > 0;) first_piece[pieces[index].plan] = index;
    for (std::size_t plan = plans.size(); plan-- > 0;)
        if (first_piece[plan] == pieces.size()) first_piece[plan] = first_piece[plan + 1];
    std::vector<std::size_t> total(plans.size(), 0);
    std::size_t moving = 0;
    for (std::size_t plan = 0; plan < plans.size(); ++plan) {
        for (std::size_t index = first_piece[plan]; index < first_piece[plan + 1]; ++index) {
            if (index > first_piece[plan]) moving += kept[index];
            total[plan] += kept[index];
        }
    }
    const auto close_gaps = [&](std::size_t plan) {
        std::uint32_t* const part = rows_base + part_of[plan];
        const std::size_t start = plans[plan].window.start;
        std::size_t at = 0;
        for (std::size_t index = first_piece[plan]; index < first_piece[plan + 1]; ++index) {
            const std::size_t from = pieces[index].lo - start;
            if (from != at && kept[index] > 0) std::memmove(part + at, part + from, kept[index] * sizeof(std::uint32_t));
            at += kept[index];
        }
    };
    const std::size_t closers = std::min(plans.size(), threads);
    if (closers < 2 || moving < CLOSE_GAPS_PARALLEL_ROWS) {
        for (std::size_t plan = 0; plan < plans.size(); ++plan) close_gaps(plan);
    } else {
        fan_out(closers, SCAN_WORKER_PANICKED, [&](std::size_t worker) {
            for (std::size_t plan = worker; plan < plans.size(); plan += closers) close_gaps(plan);
        });
    }
    out.selections.reserve(plans.size());
    for (std::size_t plan = 0; plan < plans.size(); ++plan) {
        if (total[plan] == 0) continue;
        if (facts) {
            std::size_t first = first_piece[plan];
            while (kept[first] == 0) ++first;
            std::size_t last = first_piece[plan + 1] - 1;
            while (kept[last] == 0) --last;
            set_end_keys(plans[plan], piece_keys[first], piece_keys[last]);
        }
        std::uint32_t* const part = rows_base + part_of[plan];
        emit(plans[plan].target, part, part + total[plan], out);
    }
    return out;
}

}  // namespace vorp
