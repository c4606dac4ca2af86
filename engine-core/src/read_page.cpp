// Version history pages and the node window scan: both filter on numeric columns first and build
// texts only for the rows they return.
#include <algorithm>
#include <limits>
#include <map>
#include <utility>

#include "read_internal.h"
#include "vorp/read.h"

namespace vorp {

using namespace read_detail;

namespace {

bool belief_keeps(BeliefMode mode, std::int64_t tt_e, std::int64_t as_of_tt) {
    switch (mode) {
        case BeliefMode::Current: return tt_e > as_of_tt;
        case BeliefMode::Superseded: return tt_e <= as_of_tt;
        case BeliefMode::All: return true;
    }
    return true;
}

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

// A version key's place in the page order: (tt_s, vid), then its position in collection order.
struct RankedKey {
    std::int64_t tt_s = 0;
    std::uint64_t vid64 = 0;
    std::uint32_t vid_lo32 = 0;
    std::size_t position = 0;

    friend auto operator<=>(const RankedKey&, const RankedKey&) = default;
};

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
        const std::span<const std::int64_t> vt_s = VORP_TRY(segment->typed<std::int64_t>("vt_s"));
        const std::size_t rows = vt_s.size();
        std::span<const std::int64_t> vt_e;
        if (!header.vt_e_elided) vt_e = VORP_TRY(column<std::int64_t>(*segment, "vt_e", rows));
        const std::span<const std::uint64_t> vid64 = VORP_TRY(column<std::uint64_t>(*segment, "vid64", rows));
        const std::span<const std::uint32_t> vid_lo32 = VORP_TRY(column<std::uint32_t>(*segment, "vid_lo32", rows));
        std::span<const std::uint16_t> rel_code;
        if (rel_filter) rel_code = VORP_TRY(column<std::uint16_t>(*segment, "rel_code", rows));
        const CloseIndex* layers = overlay_for(overlay.get(), ref.segment_id);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::int64_t end = vt_e_of(vt_e, vt_s, r, header.vt_e_elided);
            if (!(vt_s[r] < query.t_b && end > query.t_a)) continue;
            if (rel_filter && (rel_code[r] >= mask.size() || !mask[rel_code[r]])) continue;
            const auto row = static_cast<std::uint32_t>(r);
            const std::int64_t tt_s = VORP_TRY(header.tt_s_at(row));
            if (tt_s > query.as_of_tt) continue;
            // The close index is consulted only when the mode looks at tt_e.
            if (query.belief != BeliefMode::All &&
                !belief_keeps(query.belief, stored_tt_e(layers, *segment, ref.segment_id, row), query.as_of_tt))
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
        if (!belief_keeps(query.belief, staged_tt_e(store, row.vid), query.as_of_tt)) return;
        keys.push_back({row.tt_s, row.vid.prefix, STAGED_SEGMENT, row.vid.suffix, static_cast<std::uint32_t>(index)});
    };
    if (edges) {
        for (std::size_t i = 0; i < store.staging.edges.size(); ++i) staged_key(store.staging.edges[i], i);
    } else {
        for (std::size_t i = 0; i < store.staging.nodes.size(); ++i) staged_key(store.staging.nodes[i], i);
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

Result<std::vector<EdgeVersionRow>> edge_rows_at(NativeStore& store, std::span<const VersionKey> keys,
                                                 const CloseIndex* overlay) {
    const std::shared_ptr<const SegmentFiles> files = store.segment_files();
    const Groups groups = group_keys(keys);
    std::vector<EdgeVersionRow> slots(keys.size());
    for (const auto& [segment_id, positions] : groups.stored) {
        const auto file = files->edge.find(segment_id);
        if (file == files->edge.end()) return fail(segment_not_current(segment_id));
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(file->second));
        const StringView strings = VORP_TRY(segment->strings());
        const SegmentHeader& header = segment->header;
        const std::span<const std::int64_t> vt_s = VORP_TRY(segment->typed<std::int64_t>("vt_s"));
        const std::size_t rows = vt_s.size();
        std::span<const std::int64_t> vt_e;
        if (!header.vt_e_elided) vt_e = VORP_TRY(column<std::int64_t>(*segment, "vt_e", rows));
        const auto src_id = VORP_TRY(column<std::uint32_t>(*segment, "src_id", rows));
        const auto dst_id = VORP_TRY(column<std::uint32_t>(*segment, "dst_id", rows));
        const auto rel_code = VORP_TRY(column<std::uint16_t>(*segment, "rel_code", rows));
        const auto disc_ref = VORP_TRY(column<std::uint32_t>(*segment, "disc_ref", rows));
        const auto vid64 = VORP_TRY(column<std::uint64_t>(*segment, "vid64", rows));
        const auto vid_lo32 = VORP_TRY(column<std::uint32_t>(*segment, "vid_lo32", rows));
        const CloseIndex* layers = overlay_for(overlay, segment_id);
        for (const std::size_t position : positions) {
            const std::uint32_t r = keys[position].row;
            if (r >= rows) return fail(row_out_of_bounds(r, segment_id));
            EdgeVersionRow& out = slots[position];
            out.src = VORP_TRY(uid_text(store, src_id[r]));
            out.dst = VORP_TRY(uid_text(store, dst_id[r]));
            const std::uint16_t code = rel_code[r];
            if (code >= header.rel_types.size()) return fail(bad_rel_code(code, r));
            out.rel_type = header.rel_types[code];
            out.disc = VORP_TRY(strings.get(disc_ref[r]));
            out.tt_e = stored_tt_e(layers, *segment, segment_id, r);
            out.vid = vid_text(vid64[r], vid_lo32[r]);
            out.eid = eid_text(out.src, out.dst, out.rel_type, out.disc);
            out.vt_s = vt_s[r];
            out.vt_e = vt_e_of(vt_e, vt_s, r, header.vt_e_elided);
            out.tt_s = VORP_TRY(header.tt_s_at(r));
        }
    }
    for (const std::size_t position : groups.staged) {
        const std::uint32_t index = keys[position].row;
        if (index >= store.staging.edges.size()) return fail(staged_row_gone(index));
        const EdgeRow& row = store.staging.edges[index];
        EdgeVersionRow& out = slots[position];
        out.src = VORP_TRY(uid_text(store, row.src_id));
        out.dst = VORP_TRY(uid_text(store, row.dst_id));
        out.vid = row.vid.to_hex();
        out.eid = eid_text(out.src, out.dst, row.rel_type, row.disc);
        out.rel_type = row.rel_type;
        out.disc = row.disc;
        out.vt_s = row.vt_s;
        out.vt_e = row.vt_e;
        out.tt_s = row.tt_s;
        out.tt_e = staged_tt_e(store, row.vid);
    }
    return slots;
}

Result<std::vector<NodeVersionRow>> node_rows_at(NativeStore& store, std::span<const VersionKey> keys,
                                                 const CloseIndex* overlay) {
    const std::shared_ptr<const SegmentFiles> files = store.segment_files();
    const Groups groups = group_keys(keys);
    std::vector<NodeVersionRow> slots(keys.size());
    for (const auto& [segment_id, positions] : groups.stored) {
        const auto file = files->node.find(segment_id);
        if (file == files->node.end()) return fail(segment_not_current(segment_id));
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(file->second));
        const StringView strings = VORP_TRY(segment->strings());
        const SegmentHeader& header = segment->header;
        const std::span<const std::int64_t> vt_s = VORP_TRY(segment->typed<std::int64_t>("vt_s"));
        const std::size_t rows = vt_s.size();
        std::span<const std::int64_t> vt_e;
        if (!header.vt_e_elided) vt_e = VORP_TRY(column<std::int64_t>(*segment, "vt_e", rows));
        const auto uid_id = VORP_TRY(column<std::uint32_t>(*segment, "uid_id", rows));
        const auto label_ref = VORP_TRY(column<std::uint32_t>(*segment, "label_ref", rows));
        const auto vid64 = VORP_TRY(column<std::uint64_t>(*segment, "vid64", rows));
        const auto vid_lo32 = VORP_TRY(column<std::uint32_t>(*segment, "vid_lo32", rows));
        const CloseIndex* layers = overlay_for(overlay, segment_id);
        for (const std::size_t position : positions) {
            const std::uint32_t r = keys[position].row;
            if (r >= rows) return fail(row_out_of_bounds(r, segment_id));
            NodeVersionRow& out = slots[position];
            out.tt_e = stored_tt_e(layers, *segment, segment_id, r);
            out.vid = vid_text(vid64[r], vid_lo32[r]);
            out.uid = VORP_TRY(uid_text(store, uid_id[r]));
            out.label = VORP_TRY(strings.get(label_ref[r]));
            out.vt_s = vt_s[r];
            out.vt_e = vt_e_of(vt_e, vt_s, r, header.vt_e_elided);
            out.tt_s = VORP_TRY(header.tt_s_at(r));
        }
    }
    for (const std::size_t position : groups.staged) {
        const std::uint32_t index = keys[position].row;
        if (index >= store.staging.nodes.size()) return fail(staged_row_gone(index));
        const NodeRow& row = store.staging.nodes[index];
        NodeVersionRow& out = slots[position];
        out.vid = row.vid.to_hex();
        out.uid = VORP_TRY(uid_text(store, row.uid_id));
        out.label = row.label;
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
    if (kind == RowKind::Edge) return VersionRows(VORP_TRY(edge_rows_at(store, keys, overlay.get())));
    return VersionRows(VORP_TRY(node_rows_at(store, keys, overlay.get())));
}

Result<VersionPage> version_page(NativeStore& store, RowKind kind, const VersionQuery& query, std::int64_t offset,
                                 std::int64_t limit) {
    VORP_TRY(store.assert_full_belief(query.as_of_tt));
    const std::vector<VersionKey> keys = VORP_TRY(version_keys(store, kind, query));
    const auto [start, end] = page_bounds(keys.size(), offset, limit);
    // The page of the stable sort by (tt_s, vid), without sorting the whole population: with the
    // collection position as the last key the order is total and equals the stable one, so
    // selecting the page's bounds and sorting only the page gives the same rows.
    std::vector<RankedKey> ranked;
    ranked.reserve(keys.size());
    for (std::size_t position = 0; position < keys.size(); ++position)
        ranked.push_back({keys[position].tt_s, keys[position].vid64, keys[position].vid_lo32, position});
    const auto first = ranked.begin();
    if (start > 0 && start < ranked.size()) std::nth_element(first, first + start, ranked.end());
    if (end > start && end < ranked.size()) std::nth_element(first + start, first + end, ranked.end());
    std::sort(first + start, first + end);
    std::vector<VersionKey> page_keys;
    page_keys.reserve(end - start);
    for (std::size_t index = start; index < end; ++index) page_keys.push_back(keys[ranked[index].position]);
    VersionPage page;
    page.rows_total = keys.size();
    page.rows = VORP_TRY(version_rows_at(store, kind, page_keys));
    return page;
}

// ---- node window scan -------------------------------------------------------------------------------

Result<NodeScanOut> scan_node_versions(NativeStore& store, std::int64_t as_of_tt, std::optional<std::int64_t> vt_min,
                                       std::optional<std::int64_t> vt_max) {
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    const auto in_window = [&](std::int64_t vt_s, std::int64_t vt_e) {
        return (!vt_min || vt_e > *vt_min) && (!vt_max || vt_s < *vt_max);
    };
    NodeScanOut out;
    for (const SegmentFileRef& ref : store.node_files()) {
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        const StringView strings = VORP_TRY(segment->strings());
        const SegmentHeader& header = segment->header;
        const std::span<const std::int64_t> vt_s = VORP_TRY(segment->typed<std::int64_t>("vt_s"));
        const std::size_t rows = vt_s.size();
        std::span<const std::int64_t> vt_e;
        if (!header.vt_e_elided) vt_e = VORP_TRY(column<std::int64_t>(*segment, "vt_e", rows));
        const auto uid_id = VORP_TRY(column<std::uint32_t>(*segment, "uid_id", rows));
        const auto label_ref = VORP_TRY(column<std::uint32_t>(*segment, "label_ref", rows));
        const auto vid64 = VORP_TRY(column<std::uint64_t>(*segment, "vid64", rows));
        const auto vid_lo32 = VORP_TRY(column<std::uint32_t>(*segment, "vid_lo32", rows));
        out.rows_examined += rows;
        const CloseIndex* layers = overlay_for(overlay.get(), ref.segment_id);
        for (std::size_t r = 0; r < rows; ++r) {
            const std::int64_t end = vt_e_of(vt_e, vt_s, r, header.vt_e_elided);
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
    out.rows_examined += store.staging.nodes.size();
    for (const NodeRow& row : store.staging.nodes) {
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
    std::stable_sort(out.rows.begin(), out.rows.end(), [](const NodeScanRow& a, const NodeScanRow& b) {
        return a.vt_s != b.vt_s ? a.vt_s < b.vt_s : a.vid < b.vid;
    });
    return out;
}

}  // namespace vorp
