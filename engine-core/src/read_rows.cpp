// Version rows: the row readers every version read shares, the sweeps over all versions of a kind,
// and the point lookups by segment address and by vid.
#include <algorithm>
#include <map>
#include <utility>

#include "read_internal.h"
#include "vorp/interrupt.h"
#include "vorp/threads.h"
#include "vorp/read.h"
#include "vorp/segment_cache.h"

namespace vorp {

using namespace read_detail;

Result<std::shared_ptr<const CloseIndex>> read_overlay(NativeStore& store) { return store.close_overlay(); }

std::int64_t staged_tt_e(const NativeStore& store, const Id96& vid) {
    if (store.batch().vid_closes.empty()) return OPEN_END;
    const auto found = store.batch().vid_closes.find(vid);
    return found == store.batch().vid_closes.end() ? OPEN_END : found->second;
}

namespace read_detail {

namespace {

// The fields both kinds of record end with, in the order both read them (which decides the error
// reported first).
template <class Cols, class Out>
Status read_stored_tail(const Cols& cols, std::uint32_t r, Out& out) {
    out.vt_s = cols.vt_s[r];
    out.vt_e = cols.vt_e_at(r);
    out.tt_s = VORP_TRY(cols.segment->header.tt_s_at(r));
    out.props = VORP_TRY(cols.strings.get(cols.props_ref[r]));
    out.source = VORP_TRY(cols.strings.get(cols.source_ref[r]));
    const std::optional<std::string_view> prov = VORP_TRY(cols.strings.get_opt(cols.prov_ref[r]));
    if (prov) out.provenance_ref.emplace(*prov);
    return ok();
}

}  // namespace

// Fields are derived in a fixed order, which decides the error reported first: endpoints, type,
// discriminator, tt_e, ids, valid time, tt_s, texts.
Result<EdgeVersionOut> stored_edge_out(const NativeStore& store, const StoredEdgeRows& cols, const CloseIndex* overlay,
                                       std::uint32_t r) {
    const Segment& seg = *cols.segment;
    EdgeVersionOut out;
    out.src = VORP_TRY(uid_text(store, cols.src_id[r]));
    out.dst = VORP_TRY(uid_text(store, cols.dst_id[r]));
    const std::uint16_t code = cols.rel_code[r];
    if (code >= seg.header.rel_types.size()) return fail(bad_rel_code(code, r));
    out.rel_type = seg.header.rel_types[code];
    out.disc = VORP_TRY(cols.strings.get(cols.disc_ref[r]));
    out.tt_e = stored_tt_e(overlay, seg, cols.segment_id, r);
    out.eid = eid_text(out.src, out.dst, out.rel_type, out.disc);
    out.vid = vid_text(cols.vid64[r], cols.vid_lo32[r]);
    VORP_TRY(read_stored_tail(cols, r, out));
    return out;
}

Result<NodeVersionOut> stored_node_out(const NativeStore& store, const StoredNodeRows& cols, const CloseIndex* overlay,
                                       std::uint32_t r) {
    const Segment& seg = *cols.segment;
    NodeVersionOut out;
    out.tt_e = stored_tt_e(overlay, seg, cols.segment_id, r);
    out.vid = vid_text(cols.vid64[r], cols.vid_lo32[r]);
    out.uid = VORP_TRY(uid_text(store, cols.uid_id[r]));
    out.label = VORP_TRY(cols.strings.get(cols.label_ref[r]));
    VORP_TRY(read_stored_tail(cols, r, out));
    return out;
}

}  // namespace read_detail

namespace {

// The fields both kinds of staged record end with.
template <class Row, class Out>
void copy_staged_tail(const NativeStore& store, const Row& row, Out& out) {
    out.props = row.props;
    out.source = row.source;
    out.provenance_ref = row.prov;
    out.vt_s = row.vt_s;
    out.vt_e = row.vt_e;
    out.tt_s = row.tt_s;
    out.tt_e = staged_tt_e(store, row.vid);
}

}  // namespace

Result<EdgeVersionOut> staged_edge_out(const NativeStore& store, const EdgeRow& row) {
    EdgeVersionOut out;
    out.src = VORP_TRY(uid_text(store, row.src_id));
    out.dst = VORP_TRY(uid_text(store, row.dst_id));
    out.eid = eid_text(out.src, out.dst, row.rel_type, row.disc);
    out.vid = row.vid.to_hex();
    out.rel_type = row.rel_type;
    out.disc = row.disc;
    copy_staged_tail(store, row, out);
    return out;
}

Result<NodeVersionOut> staged_node_out(const NativeStore& store, const NodeRow& row) {
    NodeVersionOut out;
    out.vid = row.vid.to_hex();
    out.uid = VORP_TRY(uid_text(store, row.uid_id));
    out.label = row.label;
    copy_staged_tail(store, row, out);
    return out;
}

namespace {

template <class Out, class Row, class Make>
Result<std::vector<Out>> staged_versions(const NativeStore& store, const std::vector<Row>& rows, Make&& make) {
    std::vector<Out> out;
    out.reserve(rows.size());
    for (const Row& row : rows) out.push_back(VORP_TRY(make(store, row)));
    return out;
}

}  // namespace

Result<std::vector<EdgeVersionOut>> staged_edge_versions(const NativeStore& store) {
    return staged_versions<EdgeVersionOut>(store, store.batch().staging.edges, staged_edge_out);
}

Result<std::vector<NodeVersionOut>> staged_node_versions(const NativeStore& store) {
    return staged_versions<NodeVersionOut>(store, store.batch().staging.nodes, staged_node_out);
}

namespace {

// Every record goes straight into one vector sized once, so that a million records are not moved
// again each time the vector grows, and no segment is opened twice. The size is the row count of
// the segments themselves, all opened (and their columns taken) before anything is reserved: a
// manifest entry's count is only what the manifest claims, and an open refuses a segment whose
// header disagrees with it, so nothing is sized from a count no file backs.

// Rows a sweep materializes between interruption points (each row copies its texts).
constexpr std::uint64_t SWEEP_TICK_ROWS = 4096;

template <class Columns, class Out, class StoredOut, class StagedRows, class StagedOut>
Result<std::vector<Out>> sweep(NativeStore& store, const std::vector<SegmentFileRef>& files, StoredOut&& stored_out,
                               const StagedRows& staged_rows, StagedOut&& staged_out) {
    const std::shared_ptr<const CloseIndex> overlay = VORP_TRY(read_overlay(store));
    std::vector<Columns> opened;
    opened.reserve(files.size());
    std::uint64_t stored_rows = 0;
    for (const SegmentFileRef& ref : files) {
        // A segment the handle has not opened yet is read, verified and decoded here, a stretch of
        // its own for a large one.
        VORP_TRY(interruption_point());
        std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        opened.push_back(VORP_TRY(Columns::load(std::move(segment), ref.segment_id)));
        stored_rows += opened.back().rows();
    }
    std::vector<Out> out;
    out.reserve(static_cast<std::size_t>(stored_rows) + staged_rows.size());
    const Status filled = [&]() -> Status {
        InterruptTicker ticker(SWEEP_TICK_ROWS);
        for (std::size_t index = 0; index < opened.size(); ++index) {
            const Columns& cols = opened[index];
            const CloseIndex* layers = overlay_for(overlay.get(), files[index].segment_id);
            for (std::size_t r = 0; r < cols.rows(); ++r) {
                VORP_TRY(ticker.tick());
                out.push_back(VORP_TRY(stored_out(store, cols, layers, static_cast<std::uint32_t>(r))));
            }
        }
        // An open batch may hold millions of rows too, each with its edge id derived here.
        for (const auto& row : staged_rows) {
            VORP_TRY(ticker.tick());
            out.push_back(VORP_TRY(staged_out(store, row)));
        }
        return ok();
    }();
    if (!filled) {
        // A sweep stopped by Ctrl-C returns at once: the records it made are freed elsewhere.
        release_in_background(std::move(out));
        return fail(filled.error());
    }
    return out;
}

}  // namespace

Result<std::vector<EdgeVersionOut>> all_edge_versions(NativeStore& store) {
    return sweep<StoredEdgeRows, EdgeVersionOut>(store, store.edge_files(), stored_edge_out, store.batch().staging.edges,
                                                 staged_edge_out);
}

Result<std::vector<NodeVersionOut>> all_node_versions(NativeStore& store) {
    return sweep<StoredNodeRows, NodeVersionOut>(store, store.node_files(), stored_node_out, store.batch().staging.nodes,
                                                 staged_node_out);
}

// ---- point lookups ----------------------------------------------------------------------------------

Result<std::vector<std::pair<std::string, std::string>>> edge_idents_at(NativeStore& store,
                                                                         std::span<const std::uint64_t> seg_ids,
                                                                         std::span<const std::uint32_t> seg_rows) {
    if (seg_ids.size() != seg_rows.size())
        return fail(EngineError::invariant("edge_idents_at: seg_ids and seg_rows differ in length"));
    const std::shared_ptr<const SegmentFiles> files = store.segment_files();
    // Groups visited in ascending segment id, so that the error reported among several bad
    // addresses does not depend on hashing.
    InterruptTicker ticker(SWEEP_TICK_ROWS);
    std::map<std::uint64_t, std::vector<std::size_t>> groups;
    for (std::size_t position = 0; position < seg_ids.size(); ++position) {
        VORP_TRY(ticker.tick());
        groups[seg_ids[position]].push_back(position);
    }
    std::vector<std::pair<std::string, std::string>> slots(seg_ids.size());
    for (const auto& [segment_id, positions] : groups) {
        const auto file = files->edge.find(segment_id);
        if (file == files->edge.end()) return fail(segment_not_current(segment_id));
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(file->second));
        const StringView strings = VORP_TRY(segment->strings());
        const std::span<const std::uint32_t> src_id = VORP_TRY(segment->edges.src_id.get());
        const std::size_t rows = src_id.size();
        const std::span<const std::uint32_t> dst_id = VORP_TRY(segment->edges.dst_id.get());
        const std::span<const std::uint16_t> rel_code = VORP_TRY(segment->edges.rel_code.get());
        const std::span<const std::uint32_t> disc_ref = VORP_TRY(segment->edges.disc_ref.get());
        for (const std::size_t position : positions) {
            VORP_TRY(ticker.tick());
            const std::uint32_t row = seg_rows[position];
            if (row >= rows) return fail(row_out_of_bounds(row, segment_id));
            const std::string src = VORP_TRY(uid_text(store, src_id[row]));
            const std::string dst = VORP_TRY(uid_text(store, dst_id[row]));
            const std::uint16_t code = rel_code[row];
            if (code >= segment->header.rel_types.size()) return fail(bad_rel_code(code, row));
            const std::string& rel_type = segment->header.rel_types[code];
            const std::string_view disc = VORP_TRY(strings.get(disc_ref[row]));
            slots[position] = {eid_text(src, dst, rel_type, disc), rel_type};
        }
    }
    return slots;
}

Result<std::unordered_map<std::string, std::string>> props_for_vids(NativeStore& store, RowKind kind,
                                                                    std::span<const std::string> vids) {
    // Wanted id -> the text the caller wrote (a later text for the same id replaces the earlier).
    InterruptTicker ticker(SWEEP_TICK_ROWS);
    std::unordered_map<Id96, const std::string*, Id96Hash> wanted;
    for (const std::string& text : vids) {
        VORP_TRY(ticker.tick());
        const Result<Id96> id = Id96::from_hex(text);
        if (id) wanted.insert_or_assign(*id, &text);
    }
    std::unordered_map<std::string, std::string> result;
    if (wanted.empty()) return result;
    result.reserve(wanted.size());

    // Stored versions through the vid postings. When several stored versions share a vid, the one
    // a sweep of the file list would meet last wins: order candidates by (list position, row).
    VORP_TRY(store.index_segments(kind));
    const bool edges = kind == RowKind::Edge;
    const std::vector<SegmentFileRef> list = edges ? store.edge_files() : store.node_files();
    std::unordered_map<std::uint64_t, std::size_t> list_position;
    for (std::size_t index = 0; index < list.size(); ++index) list_position[list[index].segment_id] = index;
    struct Candidate {
        std::size_t list_index;
        std::uint32_t row;
        const std::string* text;
    };
    std::vector<Candidate> candidates;
    // Looked up a slice at a time, with a point between slices: no point may poll under the lock.
    for (auto next = wanted.begin(); next != wanted.end();) {
        store.postings(kind).with_postings([&](Postings& postings) {
            for (std::uint64_t left = SWEEP_TICK_ROWS * 16; next != wanted.end() && left > 0; ++next, --left) {
                for (const Position& position : postings.by_vid.find(vid_key(next->first))) {
                    const auto listed = list_position.find(position.segment_id);
                    if (listed != list_position.end()) candidates.push_back({listed->second, position.row, next->second});
                }
            }
        });
        VORP_TRY(interruption_point());
    }
    VORP_TRY(interruptible_stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.list_index != b.list_index ? a.list_index < b.list_index : a.row < b.row;
    }));
    std::size_t begin = 0;
    while (begin < candidates.size()) {
        std::size_t end = begin;
        while (end < candidates.size() && candidates[end].list_index == candidates[begin].list_index) ++end;
        const SegmentFileRef& ref = list[candidates[begin].list_index];
        const std::shared_ptr<const Segment> segment = VORP_TRY(store.open_segment(ref.file));
        const std::span<const std::uint64_t> vid64 = VORP_TRY(edges ? segment->edges.vid64.get() : segment->nodes.vid64.get());
        const std::size_t rows = vid64.size();
        const std::span<const std::uint32_t> vid_lo32 = VORP_TRY(edges ? segment->edges.vid_lo32.get() : segment->nodes.vid_lo32.get());
        const std::span<const std::uint32_t> props_ref = VORP_TRY(edges ? segment->edges.props_ref.get() : segment->nodes.props_ref.get());
        const StringView strings = VORP_TRY(segment->strings());
        for (std::size_t index = begin; index < end; ++index) {
            VORP_TRY(ticker.tick());
            const Candidate& candidate = candidates[index];
            const std::uint32_t r = candidate.row;
            // The postings key on a hash of the vid: confirm the whole vid at the row.
            if (r >= rows) continue;
            const Id96 id{vid64[r], vid_lo32[r]};
            const auto want = wanted.find(id);
            if (want == wanted.end() || want->second != candidate.text) continue;
            const std::string_view props = VORP_TRY(strings.get(props_ref[r]));
            result.insert_or_assign(*candidate.text, std::string(props));
        }
        begin = end;
    }

    // Staged versions replace stored ones; a later staged row replaces an earlier one.
    const auto stage = [&](const Id96& vid, const std::string& props) {
        if (const auto want = wanted.find(vid); want != wanted.end()) result.insert_or_assign(*want->second, props);
    };
    if (kind == RowKind::Edge) {
        for (const EdgeRow& row : store.batch().staging.edges) stage(row.vid, row.props);
    } else {
        for (const NodeRow& row : store.batch().staging.nodes) stage(row.vid, row.props);
    }
    return result;
}

}  // namespace vorp
