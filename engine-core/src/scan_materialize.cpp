// Ordering and materialization of the edge scan: key spans and clusters, the k-way merge, the
// copy of runs of selected rows into columns and the concatenation of the workers' parts.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>

#include <fmt/format.h>

#include "vorp/interrupt.h"
#include "vorp/scan_pipeline.h"

namespace vorp {

namespace {
constexpr std::uintptr_t HUGE_PAGE = std::uintptr_t{2} << 20;
}  // namespace

// ---- columns ---------------------------------------------------------------------------------------------

void advise_huge_pages(const void* data, std::size_t bytes) {
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t last = (begin + bytes) & ~(HUGE_PAGE - 1);
#ifdef MADV_HUGEPAGE
    if (first < last) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)first;
    (void)last;
#endif
}

ScanColumns ScanColumns::with_capacity(std::size_t rows, const Want& want) {
    ScanColumns columns;
    reserve_large(columns.vt_s, rows);
    if (want.vt_e) reserve_large(columns.vt_e, rows);
    if (want.src_id) reserve_large(columns.src_id, rows);
    if (want.dst_id) reserve_large(columns.dst_id, rows);
    if (want.vid) reserve_large(columns.vid, rows);
    if (want.rel_type) columns.rel_type.reserve(rows);
    if (want.disc) columns.disc.reserve(rows);
    if (want.props) columns.props.reserve(rows);
    return columns;
}

namespace {

template <class T, class Allocator>
void append_moved(std::vector<T, Allocator>& to, std::vector<T, Allocator>&& from) {
    if (to.empty()) {
        to = std::move(from);
        return;
    }
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
    from = {};
}

template <class T, class Allocator>
void append_span(std::vector<T, Allocator>& to, std::span<const T> values) {
    to.insert(to.end(), values.begin(), values.end());
}

// The failure a row-by-row copy of rows [lo, hi) meets first: the first row whose texts cannot
// be read, at its first failing column in the order rel_type, disc, props. The copies go column by
// column and call it once one fails, so the error reported is that of the first failing row in
// output order, wherever a thread count cut the rows into pieces.
Status first_text_failure(const SegmentView& view, std::size_t lo, std::size_t hi, const Want& want) {
    const std::filesystem::path& file = view.segment->path;
    for (std::size_t row = lo; row < hi; ++row) {
        if (want.rel_type && view.rel_code[row] >= view.rel_types->size())
            return fail(EngineError::corrupt(fmt::format("rel_code {} has no entry", view.rel_code[row]))
                            .at_file(file)
                            .at_row(static_cast<std::uint32_t>(row)));
        for (const auto& [wanted, refs] : {std::pair{want.disc, view.disc_ref}, std::pair{want.props, view.props_ref}}) {
            if (!wanted) continue;
            auto text = view.strings.get(refs[row]);
            if (!text) return fail(std::move(text).error().at_file(file).at_row(static_cast<std::uint32_t>(row)));
        }
    }
    return ok();
}

}  // namespace

void ScanColumns::append(ScanColumns&& other) {
    append_moved(vt_s, std::move(other.vt_s));
    append_moved(vt_e, std::move(other.vt_e));
    append_moved(src_id, std::move(other.src_id));
    append_moved(dst_id, std::move(other.dst_id));
    append_moved(vid, std::move(other.vid));
    append_moved(rel_type, std::move(other.rel_type));
    append_moved(disc, std::move(other.disc));
    append_moved(props, std::move(other.props));
    append_moved(seg_id, std::move(other.seg_id));
    append_moved(seg_row, std::move(other.seg_row));
}

Status copy_run(const SegmentView& view, std::size_t lo, std::size_t hi, ScanColumns& out, const Want& want) {
    if (lo > hi || hi > view.vt_s.size()) engine_panic("copy_run past the segment's rows");
    if (lo == hi) return ok();
    append_span(out.vt_s, view.vt_s.subspan(lo, hi - lo));
    if (want.src_id) append_span(out.src_id, view.src_id.subspan(lo, hi - lo));
    if (want.dst_id) append_span(out.dst_id, view.dst_id.subspan(lo, hi - lo));
    if (want.vt_e) {
        if (view.vt_e_elided) {
            for (std::size_t row = lo; row < hi; ++row) out.vt_e.push_back(vt_s_plus_one(view.vt_s[row]));
        } else {
            append_span(out.vt_e, view.vt_e.subspan(lo, hi - lo));
        }
    }
    if (want.vid)
        for (std::size_t row = lo; row < hi; ++row) out.vid.push_back(Id96{view.vid64[row], view.vid_lo32[row]});
    const std::filesystem::path& file = view.segment->path;
    if (want.rel_type) {
        const std::vector<std::string>& names = *view.rel_types;
        for (std::size_t row = lo; row < hi; ++row) {
            const std::uint16_t code = view.rel_code[row];
            // A damaged segment may carry a code past its own dictionary: refuse, never read past.
            if (code >= names.size()) return first_text_failure(view, lo, hi, want);
            out.rel_type.push_back(names[code]);
        }
    }
    const auto copy_texts = [&](std::span<const std::uint32_t> refs, std::vector<std::string>& to) -> Status {
        for (std::size_t row = lo; row < hi; ++row) {
            auto text = view.strings.get(refs[row]);
            if (!text) {
                if (Status first = first_text_failure(view, lo, hi, want); !first) return first;
                return fail(std::move(text).error().at_file(file).at_row(static_cast<std::uint32_t>(row)));
            }
            to.emplace_back(*text);
        }
        return ok();
    };
    if (want.disc) VORP_TRY(copy_texts(view.disc_ref, out.disc));
    if (want.props) VORP_TRY(copy_texts(view.props_ref, out.props));
    return ok();
}

namespace {

// Where each part's values of one column go in the full-length output column.
template <class T, class Allocator>
void fill_window(std::vector<T, Allocator>& out, std::size_t offset, std::vector<T, Allocator>& part) {
    if (offset + part.size() > out.size()) engine_panic("a concatenation window differs from its part");
    if constexpr (std::is_trivially_copyable_v<T>) {
        if (!part.empty()) std::memcpy(out.data() + offset, part.data(), part.size() * sizeof(T));
    } else {
        std::move(part.begin(), part.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    part = {};
}

// Sizes the wanted columns of `out` (vt_s always; seg_id and seg_row as asked) to `rows`, one
// thread per column when `parallel`.
void size_columns(ScanColumns& out, std::size_t rows, const Want& want, bool seg_id, bool seg_row, bool parallel) {
    std::vector<std::function<void()>> sizing;
    const auto size_column = [&](auto& column) {
        sizing.emplace_back([&column, rows] {
            reserve_large(column, rows);
            column.resize(rows);
        });
    };
    size_column(out.vt_s);
    if (want.vt_e) size_column(out.vt_e);
    if (want.src_id) size_column(out.src_id);
    if (want.dst_id) size_column(out.dst_id);
    if (want.vid) size_column(out.vid);
    if (want.rel_type) size_column(out.rel_type);
    if (want.disc) size_column(out.disc);
    if (want.props) size_column(out.props);
    if (seg_id) size_column(out.seg_id);
    if (seg_row) size_column(out.seg_row);
    if (parallel) {
        fan_out(sizing.size(), MATERIALIZE_WORKER_PANICKED, [&](std::size_t index) { sizing[index](); });
    } else {
        for (const auto& size : sizing) size();
    }
}

// Offsets of each part's window in one column: the lengths of the same column in earlier parts.
template <class Member>
std::vector<std::size_t> window_offsets(const std::vector<ScanColumns>& parts, Member member) {
    std::vector<std::size_t> offsets(parts.size());
    std::size_t offset = 0;
    for (std::size_t part = 0; part < parts.size(); ++part) {
        offsets[part] = offset;
        offset += (parts[part].*member).size();
    }
    return offsets;
}

}  // namespace

ScanColumns concat_parts(std::vector<ScanColumns> parts, std::size_t total_rows, const Want& want, bool parallel) {
    if (parts.size() == 1) return std::move(parts.front());
    ScanColumns out;
    if (parts.empty()) return out;
    const bool any_seg_id = std::ranges::any_of(parts, [](const ScanColumns& part) { return !part.seg_id.empty(); });
    const bool any_seg_row = std::ranges::any_of(parts, [](const ScanColumns& part) { return !part.seg_row.empty(); });
    // Sizing a column writes all of it (and faults its pages in): one thread per column.
    size_columns(out, total_rows, want, any_seg_id, any_seg_row, parallel);

    const auto vt_s_at = window_offsets(parts, &ScanColumns::vt_s);
    const auto vt_e_at = window_offsets(parts, &ScanColumns::vt_e);
    const auto src_at = window_offsets(parts, &ScanColumns::src_id);
    const auto dst_at = window_offsets(parts, &ScanColumns::dst_id);
    const auto vid_at = window_offsets(parts, &ScanColumns::vid);
    const auto rel_at = window_offsets(parts, &ScanColumns::rel_type);
    const auto disc_at = window_offsets(parts, &ScanColumns::disc);
    const auto props_at = window_offsets(parts, &ScanColumns::props);
    const auto seg_id_at = window_offsets(parts, &ScanColumns::seg_id);
    const auto seg_row_at = window_offsets(parts, &ScanColumns::seg_row);
    // Each part fills only its own windows: disjoint ranges of columns sized before any thread runs.
    const auto fill = [&](std::size_t index) {
        ScanColumns& part = parts[index];
        fill_window(out.vt_s, vt_s_at[index], part.vt_s);
        fill_window(out.vt_e, vt_e_at[index], part.vt_e);
        fill_window(out.src_id, src_at[index], part.src_id);
        fill_window(out.dst_id, dst_at[index], part.dst_id);
        fill_window(out.vid, vid_at[index], part.vid);
        fill_window(out.rel_type, rel_at[index], part.rel_type);
        fill_window(out.disc, disc_at[index], part.disc);
        fill_window(out.props, props_at[index], part.props);
        fill_window(out.seg_id, seg_id_at[index], part.seg_id);
        fill_window(out.seg_row, seg_row_at[index], part.seg_row);
    };
    if (parallel) {
        fan_out(parts.size(), MATERIALIZE_WORKER_PANICKED, fill);
    } else {
        for (std::size_t index = 0; index < parts.size(); ++index) fill(index);
    }
    return out;
}

// ---- ordering --------------------------------------------------------------------------------------------------

namespace {

Result<KeyColumns> key_columns(const Segment& segment) { return KeyColumns::of(segment); }

// The key columns of every selection's target, in selection order.
Result<std::vector<KeyColumns>> selection_keys(std::span<const ScanTarget> targets, std::span<const Selection> selections) {
    std::vector<KeyColumns> keys;
    keys.reserve(selections.size());
    for (const Selection& selection : selections) keys.push_back(VORP_TRY(key_columns(*targets[selection.target].segment)));
    return keys;
}

// Clusters of selection indices, laid out flat: cluster c holds members[starts[c] .. starts[c + 1]).
// One allocation for all clusters, however many segments a scan reads.
struct ClusterList {
    std::vector<std::size_t> members;
    std::vector<std::size_t> starts{0};

    std::size_t size() const { return starts.size() - 1; }
    std::span<const std::size_t> operator[](std::size_t cluster) const {
        return std::span<const std::size_t>(members).subspan(starts[cluster], starts[cluster + 1] - starts[cluster]);
    }
};

// A row's key, its vid read only when a comparison meets an equal vt_s: the ordering of
// selections by their first and last keys then reads two values per selection, not six.
struct LazyKey {
    std::int64_t vt_s = 0;
    std::uint32_t row = 0;
    const KeyColumns* keys = nullptr;

    std::pair<std::uint64_t, std::uint32_t> vid() const { return {keys->vid64[row], keys->vid_lo32[row]}; }
    friend bool operator<(const LazyKey& a, const LazyKey& b) {
        if (a.vt_s != b.vt_s) return a.vt_s < b.vt_s;
        return a.vid() < b.vid();
    }
};

// A selection's first and last keys.
struct KeySpan {
    LazyKey first;
    LazyKey last;
    std::size_t index;
};

// The clusters of the spans, in ascending order of first key (equal first keys in list order).
ClusterList sweep(std::vector<KeySpan> spans) {
    // Segments written in valid-time order (the usual history) come sorted already: one linear
    // check then stands in for the sort.
    const auto by_first = [](const KeySpan& a, const KeySpan& b) { return a.first < b.first; };
    if (!std::ranges::is_sorted(spans, by_first)) std::ranges::stable_sort(spans, by_first);
    ClusterList clusters;
    clusters.members.reserve(spans.size());
    clusters.starts.reserve(spans.size() + 1);
    LazyKey running_max;
    for (const KeySpan& span : spans) {
        if (clusters.members.empty() || !(span.first < running_max)) {
            if (!clusters.members.empty()) clusters.starts.push_back(clusters.members.size());
            running_max = span.last;
        } else if (running_max < span.last) {
            running_max = span.last;
        }
        clusters.members.push_back(span.index);
    }
    if (!clusters.members.empty()) clusters.starts.push_back(clusters.members.size());
    return clusters;
}

ClusterList clusters_of(std::span<const Selection> selections, std::span<const KeyColumns> keys) {
    std::vector<KeySpan> spans;
    spans.reserve(selections.size());
    for (std::size_t index = 0; index < selections.size(); ++index) {
        const Selection& selection = selections[index];
        if (selection.rows.empty()) continue;
        const KeyColumns& key_columns = keys[index];
        const std::uint32_t first = selection.rows.front();
        const std::uint32_t last = selection.rows.back();
        spans.push_back({{key_columns.vt_s[first], first, &key_columns}, {key_columns.vt_s[last], last, &key_columns}, index});
    }
    return sweep(std::move(spans));
}

// The clusters of the selection phase's own selections, from the keys it read: as clusters_of
// over the key columns, the first selection whose key columns cannot be had failing it.
Result<ClusterList> clusters_of(std::span<const Selection> selections, std::span<const SelectionFacts> facts) {
    std::vector<KeySpan> spans;
    spans.reserve(selections.size());
    for (std::size_t index = 0; index < selections.size(); ++index) {
        const Selection& selection = selections[index];
        if (selection.rows.empty()) continue;
        const SelectionFacts& selection_facts = facts[selection.target];
        if (selection_facts.key_error != nullptr) return fail(*selection_facts.key_error);
        spans.push_back({{selection_facts.first_vt_s, selection_facts.first_row, &selection_facts.keys},
                         {selection_facts.last_vt_s, selection_facts.last_row, &selection_facts.keys},
                         index});
    }
    return sweep(std::move(spans));
}

std::vector<std::vector<std::size_t>> nested(const ClusterList& clusters) {
    std::vector<std::vector<std::size_t>> out;
    out.reserve(clusters.size());
    for (std::size_t cluster = 0; cluster < clusters.size(); ++cluster)
        out.emplace_back(clusters[cluster].begin(), clusters[cluster].end());
    return out;
}

// Appends the merge of one cluster of several selections to `out`, stopping once `out` holds
// `cap` entries. Ties go to the lower selection index, then the earlier position.
void merge_cluster(std::span<const Selection> selections, std::span<const KeyColumns> keys,
                   std::span<const std::size_t> cluster, std::vector<OrderEntry>& out, std::size_t cap) {
    struct Head {
        RowKey key;
        std::size_t selection;
        std::size_t position;
    };
    // std heap functions keep the largest on top: order by "greater" to keep the smallest there.
    const auto later = [](const Head& a, const Head& b) {
        if (a.key != b.key) return a.key > b.key;
        return a.selection > b.selection;
    };
    std::vector<Head> heap;
    heap.reserve(cluster.size());
    for (const std::size_t index : cluster) heap.push_back({keys[index].at(selections[index].rows.front()), index, 0});
    std::ranges::make_heap(heap, later);
    while (!heap.empty() && out.size() < cap) {
        std::ranges::pop_heap(heap, later);
        Head& head = heap.back();
        const Selection& selection = selections[head.selection];
        out.push_back({selection.target, selection.rows[head.position]});
        if (++head.position < selection.rows.size()) {
            head.key = keys[head.selection].at(selection.rows[head.position]);
            std::ranges::push_heap(heap, later);
        } else {
            heap.pop_back();
        }
    }
}

// The first index after `begin` where the rows stop being consecutive.
std::size_t run_end(std::span<const std::uint32_t> rows, std::size_t begin) {
    std::size_t end = begin + 1;
    while (end < rows.size() && rows[end] == rows[end - 1] + 1) ++end;
    return end;
}

void append_seg(ScanColumns& out, std::uint64_t seg_id, std::uint32_t first_row, std::size_t count) {
    out.seg_id.insert(out.seg_id.end(), count, seg_id);
    for (std::size_t offset = 0; offset < count; ++offset) out.seg_row.push_back(first_row + static_cast<std::uint32_t>(offset));
}

// Whether the numeric columns of these rows (only those are wanted: they cannot fail) are gathered
// row by row rather than copied run by run: whenever the rows are not one run. A gather of all
// wanted columns in one pass keeps up with copies of runs a few dozen rows long, and deciding
// needs no pass over the rows. The result equals copying run by run.
bool gather_numeric(const Want& want, std::span<const std::uint32_t> rows) {
    if (want.rel_type || want.disc || want.props) return false;
    return !rows.empty() && static_cast<std::size_t>(rows.back()) - rows.front() + 1 != rows.size();
}

// Copies the rows of `order` onto the end of `out`, opening each target's view on first use.
Status materialize_order_into(std::span<const ScanTarget> targets, const Want& want, std::span<const OrderEntry> order,
                              ScanColumns& out) {
    std::vector<std::optional<SegmentView>> views(targets.size());
    std::size_t begin = 0;
    while (begin < order.size()) {
        const OrderEntry first = order[begin];
        std::size_t end = begin + 1;
        while (end < order.size() && order[end].target == first.target &&
               order[end].row == order[end - 1].row + 1)
            ++end;
        std::optional<SegmentView>& view = views[first.target];
        if (!view) view = VORP_TRY(SegmentView::open(*targets[first.target].segment));
        const std::size_t count = end - begin;
        VORP_TRY(copy_run(*view, first.row, first.row + count, out, want));
        if (want.seg) append_seg(out, targets[first.target].seg_id, first.row, count);
        begin = end;
    }
    return ok();
}

std::size_t cluster_rows(std::span<const Selection> selections, std::span<const std::size_t> cluster) {
    std::size_t rows = 0;
    for (const std::size_t index : cluster) rows += selections[index].rows.size();
    return rows;
}

// ---- writing straight into the output ------------------------------------------------------------------------

// Where a piece's rows go: the full-length output columns. Columns that are not wanted are null.
// Pieces write disjoint row ranges of the same columns.
struct Dest {
    std::int64_t* vt_s = nullptr;
    std::int64_t* vt_e = nullptr;
    std::uint32_t* src_id = nullptr;
    std::uint32_t* dst_id = nullptr;
    Id96* vid = nullptr;
    std::string* rel_type = nullptr;
    std::string* disc = nullptr;
    std::string* props = nullptr;
    std::uint64_t* seg_id = nullptr;
    std::uint32_t* seg_row = nullptr;

    static Dest of(ScanColumns& columns) {
        const auto ptr = [](auto& column) { return column.empty() ? nullptr : column.data(); };
        return {ptr(columns.vt_s), ptr(columns.vt_e),     ptr(columns.src_id), ptr(columns.dst_id), ptr(columns.vid),
                ptr(columns.rel_type), ptr(columns.disc), ptr(columns.props),  ptr(columns.seg_id), ptr(columns.seg_row)};
    }
};

template <class T>
void copy_values(T* to, std::span<const T> from, std::size_t lo, std::size_t count) {
    std::memcpy(to, from.data() + lo, count * sizeof(T));
}

// Writes the fixed-width columns of rows [lo, hi) of the view's segment at output row `at`, and
// seg_id/seg_row when wanted. Cannot fail.
void write_fixed(const SegmentView& view, std::size_t lo, std::size_t hi, const Want& want, std::uint64_t seg_id,
                 const Dest& to, std::size_t at) {
    if (lo > hi || hi > view.vt_s.size()) engine_panic("write_fixed past the segment's rows");
    const std::size_t count = hi - lo;
    if (count == 0) return;
    copy_values(to.vt_s + at, view.vt_s, lo, count);
    if (want.src_id) copy_values(to.src_id + at, view.src_id, lo, count);
    if (want.dst_id) copy_values(to.dst_id + at, view.dst_id, lo, count);
    if (want.vt_e) {
        if (view.vt_e_elided) {
            for (std::size_t row = lo; row < hi; ++row) to.vt_e[at + row - lo] = vt_s_plus_one(view.vt_s[row]);
        } else {
            copy_values(to.vt_e + at, view.vt_e, lo, count);
        }
    }
    if (want.vid)
        for (std::size_t row = lo; row < hi; ++row) to.vid[at + row - lo] = Id96{view.vid64[row], view.vid_lo32[row]};
    if (want.seg) {
        std::fill_n(to.seg_id + at, count, seg_id);
        for (std::size_t offset = 0; offset < count; ++offset) to.seg_row[at + offset] = static_cast<std::uint32_t>(lo + offset);
    }
}

// Writes the text columns of rows [lo, hi) at output row `at`, column by column as copy_run
// does, with its failures: a rel_code past the segment's names, a string reference the table
// cannot resolve (`corrupt`, at the file and row).
Status write_texts(const SegmentView& view, std::size_t lo, std::size_t hi, const Want& want, const Dest& to,
                   std::size_t at) {
    if (lo > hi || hi > view.vt_s.size()) engine_panic("write_texts past the segment's rows");
    const std::filesystem::path& file = view.segment->path;
    if (want.rel_type) {
        const std::vector<std::string>& names = *view.rel_types;
        for (std::size_t row = lo; row < hi; ++row) {
            const std::uint16_t code = view.rel_code[row];
            if (code >= names.size()) return first_text_failure(view, lo, hi, want);
            to.rel_type[at + row - lo] = names[code];
        }
    }
    const auto copy_texts = [&](std::span<const std::uint32_t> refs, std::string* out) -> Status {
        for (std::size_t row = lo; row < hi; ++row) {
            auto text = view.strings.get(refs[row]);
            if (!text) {
                if (Status first = first_text_failure(view, lo, hi, want); !first) return first;
                return fail(std::move(text).error().at_file(file).at_row(static_cast<std::uint32_t>(row)));
            }
            out[at + row - lo].assign(*text);
        }
        return ok();
    };
    if (want.disc) VORP_TRY(copy_texts(view.disc_ref, to.disc));
    if (want.props) VORP_TRY(copy_texts(view.props_ref, to.props));
    return ok();
}

bool wants_texts(const Want& want) { return want.rel_type || want.disc || want.props; }

// The fixed-width columns vt_s, vt_e, src_id and dst_id of scattered rows, gathered in one pass
// over the rows: a segment's columns are then read as parallel streams, where a pass per column
// would read one short stream after another (a small segment's columns are a few pages each).
template <bool VtE, bool Elided, bool Src, bool Dst>
void gather_rows(const SegmentView& view, std::span<const std::uint32_t> rows, const Dest& to, std::size_t at) {
    const std::int64_t* const vt_s = view.vt_s.data();
    const std::int64_t* const vt_e = view.vt_e.data();
    const std::uint32_t* const src = view.src_id.data();
    const std::uint32_t* const dst = view.dst_id.data();
    std::int64_t* const out_vt_s = to.vt_s + at;
    std::int64_t* const out_vt_e = to.vt_e + at;
    std::uint32_t* const out_src = to.src_id + at;
    std::uint32_t* const out_dst = to.dst_id + at;
    const std::size_t count = rows.size();
    for (std::size_t index = 0; index < count; ++index) {
        const std::uint32_t row = rows[index];
        const std::int64_t start = vt_s[row];
        out_vt_s[index] = start;
        if constexpr (VtE) out_vt_e[index] = Elided ? vt_s_plus_one(start) : vt_e[row];
        if constexpr (Src) out_src[index] = src[row];
        if constexpr (Dst) out_dst[index] = dst[row];
    }
}

template <bool VtE, bool Elided>
void gather_rows_ids(const SegmentView& view, std::span<const std::uint32_t> rows, const Want& want, const Dest& to,
                     std::size_t at) {
    if (want.src_id) {
        if (want.dst_id) return gather_rows<VtE, Elided, true, true>(view, rows, to, at);
        return gather_rows<VtE, Elided, true, false>(view, rows, to, at);
    }
    if (want.dst_id) return gather_rows<VtE, Elided, false, true>(view, rows, to, at);
    return gather_rows<VtE, Elided, false, false>(view, rows, to, at);
}

// The fixed-width columns of scattered rows, gathered row by row at output row `at`.
void write_gathered(const SegmentView& view, std::span<const std::uint32_t> rows, const Want& want, std::uint64_t seg_id,
                    const Dest& to, std::size_t at) {
    if (!want.vt_e) {
        gather_rows_ids<false, false>(view, rows, want, to, at);
    } else if (view.vt_e_elided) {
        gather_rows_ids<true, true>(view, rows, want, to, at);
    } else {
        gather_rows_ids<true, false>(view, rows, want, to, at);
    }
    if (want.vid)
        for (std::size_t index = 0; index < rows.size(); ++index)
            to.vid[at + index] = Id96{view.vid64[rows[index]], view.vid_lo32[rows[index]]};
    if (want.seg) {
        std::fill_n(to.seg_id + at, rows.size(), seg_id);
        std::copy(rows.begin(), rows.end(), to.seg_row + at);
    }
}

// A piece of the materialization: positions [lo, hi) of each selection of one cluster (in the
// cluster's order), written from output row `offset` on. A cluster of one selection is cut by
// position; a cluster of several by key, every range of a piece holding the keys in [K, K') of
// that piece, so equal keys never straddle two pieces and each piece's merge is a stretch of the
// cluster's merge. The ranges of a piece of several selections lie in a list shared by all pieces
// (from `first_range` on, one per member); a piece of one selection keeps its range itself, so
// a scan of many small segments allocates nothing per piece.
struct MaterializePiece {
    std::size_t cluster = 0;
    std::size_t offset = 0;
    std::size_t rows = 0;
    std::size_t lo = 0;  // one selection: its positions [lo, hi)
    std::size_t hi = 0;
    std::size_t first_range = 0;  // several: the first of the members' ranges in the shared list
};

using PieceRange = std::pair<std::size_t, std::size_t>;

// Keys a member of a cluster cut by key offers per piece's worth of its rows.
constexpr std::size_t SPLIT_OFFERS_PER_PIECE = 16;

// Rows a merge takes at a time before their columns are copied: their picks stay in cache.
constexpr std::size_t MERGE_BATCH = 8192;

// One row of a multi-selection piece's merge: the cluster member it comes from and its row.
struct Pick {
    std::uint32_t member;
    std::uint32_t row;
};

// The merge of one multi-selection piece in key order, taken in batches; ties go to the earlier
// member of the cluster, then the earlier position (as merge_cluster over the whole cluster). A
// tree of losers over the members' streams: one comparison per level for each row out. The
// comparisons read a compact array of the streams' current vt_s (as unsigned values in the same
// order; an exhausted stream holds the largest value and its flag), so the usual comparison is
// one load and one compare, without a branch; the vid is read only when the vt_s are equal. Sets
// `keys_fall` when a member's rows do not ascend by key within the piece (a damaged segment: the
// writer sorts them), since cutting such a cluster by key would make the order depend on where
// the cuts fall.
class PieceMerge {
public:
    PieceMerge(std::span<const Selection> selections, std::span<const KeyColumns> keys,
               std::span<const std::size_t> cluster, std::span<const PieceRange> ranges) {
        for (std::size_t member = 0; member < cluster.size(); ++member) {
            const auto [lo, hi] = ranges[member];
            if (lo >= hi) continue;
            const std::uint32_t* member_rows = selections[cluster[member]].rows.data();
            streams_.push_back({member_rows + lo + 1, member_rows + hi, &keys[member], static_cast<std::uint32_t>(member),
                                member_rows[lo]});
        }
        if (streams_.empty()) return;
        leaves_ = 1;
        while (leaves_ < streams_.size()) leaves_ *= 2;
        // Streams past the members hold nothing; streams are in member order, so the lower index
        // wins a tie of keys.
        head_.assign(leaves_, DONE);
        done_.assign(leaves_, 1);
        for (std::size_t stream = 0; stream < streams_.size(); ++stream) {
            done_[stream] = 0;
            head_[stream] = biased(streams_[stream].keys->vt_s[streams_[stream].row]);
        }
        losers_.assign(leaves_, 0);
        std::vector<std::uint32_t> winners(2 * leaves_, 0);
        for (std::uint32_t leaf = 0; leaf < leaves_; ++leaf) winners[leaves_ + leaf] = leaf;
        for (std::size_t node = leaves_ - 1; node >= 1; --node) {
            const std::uint32_t a = winners[2 * node];
            const std::uint32_t b = winners[2 * node + 1];
            const bool a_first = before(a, b);
            winners[node] = a_first ? a : b;
            losers_[node] = a_first ? b : a;
        }
        winner_ = leaves_ == 1 ? 0 : winners[1];
    }

    // Writes the next rows of the merge, at most `capacity`: their (member, row) to `picks` and
    // their vt_s to `vt_s`. Returns how many; fewer than `capacity` only at the end.
    std::size_t fill(Pick* picks, std::int64_t* vt_s, std::size_t capacity) {
        if (streams_.empty()) return 0;
        std::size_t count = 0;
        std::uint32_t winner = winner_;
        while (count < capacity && done_[winner] == 0) {
            Stream& stream = streams_[winner];
            picks[count] = {stream.member, stream.row};
            vt_s[count] = unbiased(head_[winner]);
            ++count;
            if (runs_) {
                // The stream's next rows that stay below every other stream's head follow without
                // the tree: none of its comparisons could go otherwise. (A key equal to that head
                // goes through the tree, which breaks the tie.) Streams of long runs, as the two
                // lanes of a commit or of a compacted store give, are taken a run at a time.
                const std::uint64_t bound = runner_up(winner);
                const std::size_t before_run = count;
                while (count < capacity && stream.next != stream.end) {
                    const std::uint32_t row = *stream.next;
                    const std::uint64_t head = biased(stream.keys->vt_s[row]);
                    if (head >= bound) break;
                    if (head <= head_[winner]) [[unlikely]] {
                        if (head < head_[winner] || vid_of(*stream.keys, row) < vid_of(*stream.keys, stream.row)) keys_fall_ = true;
                    }
                    ++stream.next;
                    head_[winner] = head;
                    stream.row = row;
                    picks[count] = {stream.member, row};
                    vt_s[count] = unbiased(head);
                    ++count;
                }
                // Streams that interleave row by row (many overlapping selections) would pay for
                // the bound on every pick: after RUN_TRIAL picks that averaged less than one more
                // row each, this merge goes on without runs.
                run_rows_ += count - before_run;
                if (++run_picks_ == RUN_TRIAL && run_rows_ < RUN_TRIAL) runs_ = false;
            }
            if (stream.next != stream.end) {
                const std::uint32_t row = *stream.next++;
                const std::uint64_t head = biased(stream.keys->vt_s[row]);
                if (head <= head_[winner]) [[unlikely]] {
                    if (head < head_[winner] || vid_of(*stream.keys, row) < vid_of(*stream.keys, stream.row)) keys_fall_ = true;
                }
                head_[winner] = head;
                stream.row = row;
            } else {
                done_[winner] = 1;
                head_[winner] = DONE;
            }
            for (std::size_t node = (leaves_ + winner) / 2; node >= 1; node /= 2) {
                const std::uint32_t challenger = losers_[node];
                const bool challenger_first = before(challenger, winner);
                losers_[node] = challenger_first ? winner : challenger;
                winner = challenger_first ? challenger : winner;
            }
        }
        winner_ = winner;
        return count;
    }

    bool keys_fall() const { return keys_fall_; }

private:
    static constexpr std::uint64_t DONE = UINT64_MAX;
    static constexpr std::uint64_t SIGN = std::uint64_t{1} << 63;

    struct Stream {
        const std::uint32_t* next;  // the rows after the current one
        const std::uint32_t* end;
        const KeyColumns* keys;
        std::uint32_t member;
        std::uint32_t row;  // the current row
    };

    // vt_s as an unsigned value of the same order.
    static std::uint64_t biased(std::int64_t vt_s) { return static_cast<std::uint64_t>(vt_s) ^ SIGN; }
    static std::int64_t unbiased(std::uint64_t value) { return static_cast<std::int64_t>(value ^ SIGN); }
    static std::pair<std::uint64_t, std::uint32_t> vid_of(const KeyColumns& keys, std::uint32_t row) {
        return {keys.vid64[row], keys.vid_lo32[row]};
    }

    // Picks after which a merge whose runs were short stops looking for them (see fill).
    static constexpr std::size_t RUN_TRIAL = 1024;

    // The smallest head among the other streams: the runner-up lost to the winner directly, so it
    // is one of the losers on the winner's path.
    std::uint64_t runner_up(std::uint32_t winner) const {
        std::uint64_t bound = DONE;
        for (std::size_t node = (leaves_ + winner) / 2; node >= 1; node /= 2) bound = std::min(bound, head_[losers_[node]]);
        return bound;
    }

    // Whether stream a's current row comes before stream b's: by key, then the lower stream; an
    // exhausted stream after every other.
    bool before(std::uint32_t a, std::uint32_t b) const {
        const std::uint64_t x = head_[a];
        const std::uint64_t y = head_[b];
        if (x == y) [[unlikely]]
            return tie_before(a, b);
        return x < y;
    }
    bool tie_before(std::uint32_t a, std::uint32_t b) const {
        if (done_[a] != 0 || done_[b] != 0) return done_[a] == 0;
        const auto va = vid_of(*streams_[a].keys, streams_[a].row);
        const auto vb = vid_of(*streams_[b].keys, streams_[b].row);
        if (va != vb) return va < vb;
        return a < b;
    }

    std::vector<Stream> streams_;
    std::vector<std::uint64_t> head_;
    std::vector<std::uint8_t> done_;
    std::vector<std::uint32_t> losers_;  // losers_[node] for inner nodes 1 .. leaves - 1
    std::size_t leaves_ = 0;
    std::uint32_t winner_ = 0;
    bool keys_fall_ = false;
    bool runs_ = true;
    std::size_t run_picks_ = 0;
    std::size_t run_rows_ = 0;
};

// The pieces of every cluster, in output order, each at most about `piece_rows` rows, and the
// shared list of the ranges of the pieces of several selections. Sets `keys_fall[c]` when a member
// of cluster c cut by key has a row whose key is below the one before it across a cut (the rows
// within a piece are checked by its merge).
Result<std::vector<MaterializePiece>> materialize_pieces(std::span<const Selection> selections,
                                                         std::span<const SelectionFacts> facts,
                                                         const ClusterList& clusters, std::size_t piece_rows,
                                                         std::vector<PieceRange>& ranges,
                                                         std::vector<std::uint8_t>& keys_fall) {
    keys_fall.assign(clusters.size(), 0);
    std::vector<MaterializePiece> pieces;
    pieces.reserve(clusters.size());
    std::size_t offset = 0;
    for (std::size_t cluster_index = 0; cluster_index < clusters.size(); ++cluster_index) {
        const std::span<const std::size_t> cluster = clusters[cluster_index];
        if (cluster.size() == 1) {
            const std::size_t size = selections[cluster.front()].rows.size();
            const std::size_t count = std::max<std::size_t>(1, (size + piece_rows - 1) / piece_rows);
            for (std::size_t part = 0; part < count; ++part) {
                const std::size_t lo = size * part / count;
                const std::size_t hi = size * (part + 1) / count;
                if (lo < hi) pieces.push_back({cluster_index, offset + lo, hi - lo, lo, hi, 0});
            }
            offset += size;
            continue;
        }
        const std::size_t rows = cluster_rows(selections, cluster);
        const std::size_t count = std::max<std::size_t>(1, (rows + piece_rows - 1) / piece_rows);
        // Split keys at about every (rows / count)-th row of the whole cluster in key order,
        // strictly ascending: each member offers keys evenly spaced among its rows, several per
        // piece's worth of its rows, each standing for the rows up to the next; the offers are
        // sorted and a key is taken wherever their running weight passes the next multiple of
        // rows / count. (With one offer per piece's worth, twenty members holding a piece and a
        // half each offered two keys apiece, and pieces came out one or two offers large.)
        // (Keys of one member alone would leave every other member's rows beyond its last key to
        // the last piece: the two lanes of a compacted store lie side by side in key order.)
        // Every selection is cut before the first row at or after each split key.
        std::vector<KeyColumns> keys;
        keys.reserve(cluster.size());
        for (std::size_t member = 0; member < cluster.size(); ++member) {
            const SelectionFacts& member_facts = facts[selections[cluster[member]].target];
            if (member_facts.key_error != nullptr) return fail(*member_facts.key_error);
            keys.push_back(member_facts.keys);
        }
        std::vector<std::pair<RowKey, std::size_t>> offers;  // (key, rows it stands for)
        for (std::size_t member = 0; member < cluster.size() && count > 1; ++member) {
            const std::span<const std::uint32_t> member_rows = selections[cluster[member]].rows;
            const std::size_t size = member_rows.size();
            const std::size_t share =
                std::min(size, std::max<std::size_t>(1, (SPLIT_OFFERS_PER_PIECE * count * size + rows - 1) / rows));
            for (std::size_t part = 0; part < share; ++part) {
                const std::size_t lo = size * part / share;
                offers.emplace_back(keys[member].at(member_rows[lo]), size * (part + 1) / share - lo);
            }
        }
        std::ranges::sort(offers);
        std::vector<RowKey> splits;
        std::size_t passed = 0;
        std::size_t next_part = 1;
        for (const auto& [key, weight] : offers) {
            if (next_part >= count) break;
            if (passed >= rows * next_part / count) {
                if (splits.empty() || splits.back() < key) splits.push_back(key);
                while (next_part < count && passed >= rows * next_part / count) ++next_part;
            }
            passed += weight;
        }
        std::vector<std::size_t> before(cluster.size(), 0);
        for (std::size_t part = 0; part <= splits.size(); ++part) {
            MaterializePiece piece{cluster_index, offset, 0, 0, 0, ranges.size()};
            for (std::size_t member = 0; member < cluster.size(); ++member) {
                const std::span<const std::uint32_t> member_rows = selections[cluster[member]].rows;
                std::size_t cut = member_rows.size();
                if (part < splits.size()) {
                    const KeyColumns& member_keys = keys[member];
                    const RowKey split = splits[part];
                    cut = static_cast<std::size_t>(
                        std::partition_point(member_rows.begin() + static_cast<std::ptrdiff_t>(before[member]),
                                             member_rows.end(),
                                             [&](std::uint32_t row) { return member_keys.at(row) < split; }) -
                        member_rows.begin());
                    if (cut > 0 && cut < member_rows.size() &&
                        member_keys.at(member_rows[cut]) < member_keys.at(member_rows[cut - 1]))
                        keys_fall[cluster_index] = 1;
                }
                ranges.emplace_back(before[member], cut);
                piece.rows += cut - before[member];
                before[member] = cut;
            }
            offset += piece.rows;
            if (piece.rows > 0) {
                pieces.push_back(piece);
            } else {
                ranges.resize(piece.first_range);
            }
        }
    }
    return pieces;
}

// What the pieces of one scan share read-only.
struct PieceContext {
    std::span<const ScanTarget> targets;
    const Want& want;
    std::span<const Selection> selections;
    std::span<const SelectionFacts> facts;
    const ClusterList& clusters;
    std::span<const PieceRange> ranges;
    Dest to;
    std::atomic<std::uint64_t>& t_order;
    std::atomic<std::uint64_t>& t_copy;
};

// Writes one piece at its offset: bulk runs for one selection, the piece's merge for several.
Status write_piece(const PieceContext& context, const MaterializePiece& piece, bool& keys_fall) {
    const std::span<const ScanTarget> targets = context.targets;
    const Want& want = context.want;
    const std::span<const Selection> selections = context.selections;
    const Dest& to = context.to;
    const std::span<const std::size_t> cluster = context.clusters[piece.cluster];
    if (cluster.size() == 1) {
        // A selection that overlaps no other: bulk runs, no key comparison at all.
        const std::uint64_t started = monotonic_ns();
        const Selection& selection = selections[cluster.front()];
        const ScanTarget& target = targets[selection.target];
        const SegmentView view = VORP_TRY(SegmentView::open(*target.segment));
        const std::span<const std::uint32_t> rows = selection.rows.subspan(piece.lo, piece.hi - piece.lo);
        if (gather_numeric(want, rows)) {
            write_gathered(view, rows, want, target.seg_id, to, piece.offset);
        } else {
            for (std::size_t begin = 0; begin < rows.size();) {
                const std::size_t end_of_run = run_end(rows, begin);
                const std::size_t lo_row = rows[begin];
                const std::size_t hi_row = lo_row + (end_of_run - begin);
                write_fixed(view, lo_row, hi_row, want, target.seg_id, to, piece.offset + begin);
                if (wants_texts(want)) VORP_TRY(write_texts(view, lo_row, hi_row, want, to, piece.offset + begin));
                begin = end_of_run;
            }
        }
        context.t_copy.fetch_add(elapsed_ns(started), std::memory_order_relaxed);
        return ok();
    }
    std::vector<KeyColumns> keys;
    std::vector<SegmentView> views;
    keys.reserve(cluster.size());
    views.reserve(cluster.size());
    for (const std::size_t index : cluster) {
        const SelectionFacts& facts = context.facts[selections[index].target];
        if (facts.key_error != nullptr) return fail(*facts.key_error);
        keys.push_back(facts.keys);
        views.push_back(VORP_TRY(SegmentView::open(*targets[selections[index].target].segment)));
    }
    // The merge is taken in batches that stay in cache: each batch's vt_s is written as it is
    // merged, its other fixed-width columns are then gathered row by row, one column at a time
    // (the rows rarely run on within one segment here), and its texts, which can fail, run by run
    // as copy_run takes them. Batches are written in output order, so the first failing row is
    // the same as for the piece at once.
    PieceMerge merge(selections, keys, cluster, context.ranges.subspan(piece.first_range, cluster.size()));
    std::vector<Pick> picks(std::min(piece.rows, MERGE_BATCH));
    std::uint64_t ordering = 0;
    std::uint64_t copying = 0;
    for (std::size_t at = piece.offset;;) {
        VORP_TRY(interruption_point());
        const std::uint64_t merge_started = monotonic_ns();
        const std::size_t count = merge.fill(picks.data(), to.vt_s + at, picks.size());
        const std::uint64_t merged_at = monotonic_ns();
        ordering += merged_at > merge_started ? merged_at - merge_started : 0;
        if (count == 0) break;
        if (want.src_id)
            for (std::size_t index = 0; index < count; ++index)
                to.src_id[at + index] = views[picks[index].member].src_id[picks[index].row];
        if (want.dst_id)
            for (std::size_t index = 0; index < count; ++index)
                to.dst_id[at + index] = views[picks[index].member].dst_id[picks[index].row];
        if (want.vt_e)
            for (std::size_t index = 0; index < count; ++index) {
                const SegmentView& view = views[picks[index].member];
                to.vt_e[at + index] = view.vt_e_elided ? vt_s_plus_one(to.vt_s[at + index]) : view.vt_e[picks[index].row];
            }
        if (want.vid)
            for (std::size_t index = 0; index < count; ++index) {
                const SegmentView& view = views[picks[index].member];
                to.vid[at + index] = Id96{view.vid64[picks[index].row], view.vid_lo32[picks[index].row]};
            }
        if (want.seg)
            for (std::size_t index = 0; index < count; ++index) {
                to.seg_id[at + index] = targets[selections[cluster[picks[index].member]].target].seg_id;
                to.seg_row[at + index] = picks[index].row;
            }
        if (wants_texts(want)) {
            for (std::size_t begin = 0; begin < count;) {
                const Pick first = picks[begin];
                std::size_t end = begin + 1;
                while (end < count && picks[end].member == first.member && picks[end].row == picks[end - 1].row + 1) ++end;
                if (Status written = write_texts(views[first.member], first.row, first.row + (end - begin), want, to, at + begin);
                    !written) {
                    // The rest of the merge still says whether the piece's keys fall, which decides
                    // whether its cluster is written again as one piece.
                    std::vector<std::int64_t> scratch(picks.size());
                    while (merge.fill(picks.data(), scratch.data(), picks.size()) == picks.size()) {
                    }
                    keys_fall = keys_fall || merge.keys_fall();
                    return written;
                }
                begin = end;
            }
        }
        copying += elapsed_ns(merged_at);
        at += count;
        if (count < picks.size()) break;
    }
    keys_fall = keys_fall || merge.keys_fall();
    context.t_order.fetch_add(ordering, std::memory_order_relaxed);
    context.t_copy.fetch_add(copying, std::memory_order_relaxed);
    return ok();
}

// Full-length output columns for `rows` rows: the wanted ones sized (every element is written by
// some piece afterwards; fixed-width columns are not zeroed first), text columns one thread per
// column when `parallel`.
ScanColumns sized_columns(std::size_t rows, const Want& want, bool parallel) {
    ScanColumns out;
    size_columns(out, rows, want, want.seg, want.seg, parallel && rows > 0 && wants_texts(want));
    return out;
}

// The key columns of the selections that have rows (the others' stay empty), in selection order.
Result<std::vector<KeyColumns>> span_keys(std::span<const ScanTarget> targets, std::span<const Selection> selections) {
    std::vector<KeyColumns> keys(selections.size());
    for (std::size_t index = 0; index < selections.size(); ++index)
        if (!selections[index].rows.empty()) keys[index] = VORP_TRY(key_columns(*targets[selections[index].target].segment));
    return keys;
}

}  // namespace

Result<std::vector<std::vector<std::size_t>>> cluster_order(std::span<const ScanTarget> targets,
                                                           std::span<const Selection> selections) {
    const std::vector<KeyColumns> keys = VORP_TRY(span_keys(targets, selections));
    return nested(clusters_of(selections, keys));
}

Result<std::vector<OrderEntry>> merged(std::span<const ScanTarget> targets, std::span<const Selection> selections,
                                       std::optional<std::uint64_t> limit) {
    const std::vector<KeyColumns> keys = VORP_TRY(selection_keys(targets, selections));
    const ClusterList clusters = clusters_of(selections, keys);
    std::size_t total = 0;
    for (const Selection& selection : selections) total += selection.rows.size();
    const std::size_t cap = limit ? static_cast<std::size_t>(std::min<std::uint64_t>(*limit, total)) : total;
    std::vector<OrderEntry> out;
    out.reserve(cap);
    for (std::size_t cluster_index = 0; cluster_index < clusters.size(); ++cluster_index) {
        if (out.size() >= cap) break;
        const std::span<const std::size_t> cluster = clusters[cluster_index];
        if (cluster.size() == 1) {
            const Selection& selection = selections[cluster.front()];
            const std::size_t take = std::min(selection.rows.size(), cap - out.size());
            for (std::size_t position = 0; position < take; ++position)
                out.push_back({selection.target, selection.rows[position]});
        } else {
            merge_cluster(selections, keys, cluster, out, cap);
        }
    }
    return out;
}

Result<ScanColumns> materialize_order(std::span<const ScanTarget> targets, const Want& want,
                                      std::span<const OrderEntry> order) {
    ScanColumns out = ScanColumns::with_capacity(order.size(), want);
    VORP_TRY(materialize_order_into(targets, want, order, out));
    return out;
}

std::vector<std::pair<std::size_t, std::size_t>> balance_clusters(std::span<const std::vector<std::size_t>> clusters,
                                                                  std::span<const Selection> selections,
                                                                  std::size_t threads) {
    const std::size_t n = clusters.size();
    if (n == 0) return {{0, 0}};
    std::size_t total = 0;
    for (const auto& cluster : clusters) total += cluster_rows(selections, cluster);
    if (n == 1 || threads < 2 || total == 0) return {{0, n}};
    const std::size_t per_group = std::max<std::size_t>((total + threads - 1) / threads, 1);
    std::vector<std::pair<std::size_t, std::size_t>> groups;
    std::size_t acc = 0;
    std::size_t start = 0;
    std::size_t closed = 0;
    for (std::size_t index = 0; index < n; ++index) {
        acc += cluster_rows(selections, clusters[index]);
        if ((acc >= per_group || n - index == threads - closed) && closed + 1 < threads) {
            groups.emplace_back(start, index + 1);
            start = index + 1;
            ++closed;
            acc = 0;
        }
    }
    if (start < n) groups.emplace_back(start, n);
    return groups;
}

Result<Materialized> materialize_at(const ScanSet& set, const ScanRequest& request) {
    Materialized result;
    ScanResultStats& stats = result.stats;
    const Want want = Want::of(request);
    const std::uint64_t started = monotonic_ns();
    // Without a limit every selection is ordered and copied: the selection phase also reads what
    // that needs of each segment while it has the segment at hand.
    SelectOutcome selected = VORP_TRY(set.select(request, !request.limit.has_value()));
    stats.scan = selected.stats;
    stats.t_select = elapsed_ns(started);
    const std::span<const ScanTarget> targets = set.targets;
    const std::span<const Selection> selections = selected.selections;

    if (request.limit) {
        const std::uint64_t merge_started = monotonic_ns();
        const std::vector<OrderEntry> order = VORP_TRY(merged(targets, selections, request.limit));
        stats.t_cluster = elapsed_ns(merge_started);
        const std::uint64_t copy_started = monotonic_ns();
        result.columns = VORP_TRY(materialize_order(targets, want, order));
        stats.t_materialize = elapsed_ns(copy_started);
        return result;
    }

    const std::uint64_t cluster_started = monotonic_ns();
    const std::span<const SelectionFacts> facts = selected.facts;
    const ClusterList clusters = VORP_TRY(clusters_of(selections, facts));
    stats.t_cluster = elapsed_ns(cluster_started);
    const std::uint64_t materialize_started = monotonic_ns();
    stats.clusters = static_cast<std::uint32_t>(clusters.size());
    for (std::size_t cluster = 0; cluster < clusters.size(); ++cluster)
        stats.clusters_multi += clusters[cluster].size() > 1 ? 1 : 0;
    std::atomic<std::uint64_t> t_order{0};
    std::atomic<std::uint64_t> t_copy{0};

    // Pieces below the cluster: a large cluster is cut into ranges of positions (one selection)
    // or of keys (several), so a store of few large segments, or of segments that all overlap,
    // still spreads over every thread. Each piece writes straight into the full-length columns
    // at the offset its rows' counts give.
    const std::size_t threads = scan_threads();
    const std::size_t rows = static_cast<std::size_t>(stats.scan.rows_selected);
    // With enough threads, about four pieces per thread; else one piece per cluster.
    const std::size_t piece_rows = threads >= PARALLEL_MIN_THREADS
                                       ? std::max<std::size_t>(1, (rows + threads * 4 - 1) / (threads * 4))
                                       : std::max<std::size_t>(1, rows);
    std::vector<std::uint8_t> keys_fall;  // per cluster
    std::vector<PieceRange> ranges;
    const std::vector<MaterializePiece> pieces =
        VORP_TRY(materialize_pieces(selections, facts, clusters, piece_rows, ranges, keys_fall));
    const bool parallel = parallel_gate(threads, pieces.size(), MATERIALIZE_MIN_CLUSTERS, stats.scan.rows_selected);
    result.columns = sized_columns(rows, want, parallel);
    const PieceContext context{targets, want,   selections, facts,  clusters,
                               ranges,  Dest::of(result.columns), t_order, t_copy};
    // Contiguous runs of pieces, one per worker, balanced by rows.
    std::vector<std::size_t> bounds{0};
    if (parallel) {
        std::size_t acc = 0;
        for (std::size_t index = 0; index < pieces.size(); ++index) {
            acc += pieces[index].rows;
            if (bounds.size() < threads && acc * threads >= rows * bounds.size() && index + 1 < pieces.size())
                bounds.push_back(index + 1);
        }
    }
    bounds.push_back(pieces.size());
    const std::size_t workers = bounds.size() - 1;
    // A worker stops at its first failing piece (its later pieces cannot come first in output
    // order) and keeps that piece's index and error.
    std::vector<std::optional<std::pair<std::size_t, EngineError>>> failures(workers);
    std::vector<std::uint8_t> piece_keys_fall(pieces.size(), 0);  // one element per piece: no sharing
    const auto run = [&](std::size_t worker) {
        for (std::size_t index = bounds[worker]; index < bounds[worker + 1]; ++index) {
            bool fell = false;
            Status outcome = interruption_point();
            if (outcome) outcome = write_piece(context, pieces[index], fell);
            piece_keys_fall[index] = fell ? 1 : 0;
            if (!outcome) {
                failures[worker].emplace(index, std::move(outcome).error());
                return;
            }
        }
    };
    if (parallel) {
        fan_out(workers, MATERIALIZE_WORKER_PANICKED, run);
    } else {
        run(0);
    }
    std::vector<std::pair<std::size_t, EngineError>> failed;
    for (auto& failure : failures)
        if (failure) failed.push_back(std::move(*failure));
    // A cluster cut by key whose members' rows do not ascend (only a damaged segment's can fail
    // to) is written again as one piece, so its order and its first error are those of one thread.
    for (std::size_t index = 0; index < pieces.size(); ++index)
        if (piece_keys_fall[index]) keys_fall[pieces[index].cluster] = 1;
    for (std::size_t first = 0; first < pieces.size();) {
        const std::size_t cluster_index = pieces[first].cluster;
        std::size_t end = first + 1;
        while (end < pieces.size() && pieces[end].cluster == cluster_index) ++end;
        if (keys_fall[cluster_index] && end - first > 1) {
            const std::span<const std::size_t> cluster = clusters[cluster_index];
            std::vector<PieceRange> whole_ranges;
            MaterializePiece whole{cluster_index, pieces[first].offset, 0, 0, 0, 0};
            for (const std::size_t selection : cluster) {
                whole_ranges.emplace_back(0, selections[selection].rows.size());
                whole.rows += selections[selection].rows.size();
            }
            PieceContext whole_context = context;
            whole_context.ranges = whole_ranges;
            bool fell = false;
            Status outcome = write_piece(whole_context, whole, fell);
            std::erase_if(failed, [&](const auto& failure) { return failure.first >= first && failure.first < end; });
            if (!outcome) failed.emplace_back(first, std::move(outcome).error());
        }
        first = end;
    }
    // The first failing piece in output order decides, as the first failing row would on one thread.
    if (!failed.empty()) {
        auto first_failed = std::ranges::min_element(failed, {}, &std::pair<std::size_t, EngineError>::first);
        return fail(std::move(first_failed->second));
    }
    stats.t_materialize = elapsed_ns(materialize_started);
    stats.t_order = t_order.load(std::memory_order_relaxed);
    stats.t_copy = t_copy.load(std::memory_order_relaxed);
    return result;
}

}  // namespace vorp
