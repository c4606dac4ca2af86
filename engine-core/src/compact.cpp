#include "vorp/compact.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "vorp/durable.h"
#include "vorp/pins.h"
#include "vorp/manifest.h"
#include "vorp/segment.h"
#include "vorp/segment_cache.h"
#include "vorp/staging.h"
#include "vorp/store.h"
#include "vorp/visibility.h"

namespace vorp {

namespace {

namespace fs = std::filesystem;

// One row of the rewrite, 32 bytes: where it sorts, where it comes from, what it costs. The
// origin (input, row) is the read order, so sorting on all five fields is the stable sort of the
// rows by (vt_s, vid).
struct RowKey {
    std::int64_t vt_s;
    std::uint64_t vid_prefix;
    std::uint32_t vid_suffix;
    std::uint32_t input;  // index into the kind's input segments
    std::uint32_t row;
    std::uint32_t cost;   // sealing's size estimate, saturated

    friend bool operator<(const RowKey& a, const RowKey& b) {
        if (a.vt_s != b.vt_s) return a.vt_s < b.vt_s;
        if (a.vid_prefix != b.vid_prefix) return a.vid_prefix < b.vid_prefix;
        if (a.vid_suffix != b.vid_suffix) return a.vid_suffix < b.vid_suffix;
        if (a.input != b.input) return a.input < b.input;
        return a.row < b.row;
    }
    bool same_version_key(const RowKey& other) const {
        return vt_s == other.vt_s && vid_prefix == other.vid_prefix && vid_suffix == other.vid_suffix;
    }
};
static_assert(sizeof(RowKey) == 32);

struct Input {
    std::string file;  // as the manifest names it
    std::uint64_t segment_id = 0;
    std::uint32_t rows = 0;  // as its manifest entry gives them
};

// What the rewrite of one kind keeps: the keys of each lane, and its counts.
struct KindKeys {
    std::vector<RowKey> lanes[2];  // Lane::Event, Lane::Interval
    std::size_t kept = 0;
    std::size_t closed = 0;   // kept rows with a close folded in
    std::size_t dropped = 0;  // rows left out (current-only)
};

// The state shared by both passes.
struct Rewrite {
    NativeStore& store;
    bool current_only;
    std::shared_ptr<const CloseIndex> closes;  // the committed close runs, one layer
    SealLayout layout;
    std::uint64_t next_segment_id = 0;
};

std::uint32_t saturate_u32(std::uint64_t value) { return value > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(value); }

Result<std::shared_ptr<const Segment>> open_input(const Rewrite& rewrite, const Input& input, bool verify) {
    const fs::path path = rewrite.store.root() / fs::path(input.file);
    MmapSource source = VORP_TRY(MmapSource::load(path));
    return Segment::open(path, std::move(source), verify, input.rows);
}

std::int64_t row_tt_e(const Rewrite& rewrite, const Input& input, const Segment& segment, std::uint32_t row) {
    return close_tt_e(rewrite.closes.get(), input.segment_id, row, segment.header.closed_rows);
}

// The typed columns of one opened segment that a rewrite reads.
struct Columns {
    std::span<const std::int64_t> vt_s;
    std::span<const std::uint64_t> vid64;
    std::span<const std::uint32_t> vid_lo32;
    std::span<const std::uint32_t> props_ref, source_ref, prov_ref;
    // Edges.
    std::span<const std::uint32_t> src_id, dst_id, disc_ref;
    std::span<const std::uint16_t> rel_code;
    // Nodes.
    std::span<const std::uint32_t> uid_id, label_ref;
    StringView strings;

    static Result<Columns> of(const Segment& segment, RowKind kind) {
        Columns c;
        const VersionColumns common = version_columns(segment, kind);
        c.vt_s = VORP_TRY(common.vt_s.get());
        c.vid64 = VORP_TRY(common.vid64.get());
        c.vid_lo32 = VORP_TRY(common.vid_lo32.get());
        c.props_ref = VORP_TRY(common.props_ref.get());
        c.source_ref = VORP_TRY(common.source_ref.get());
        c.prov_ref = VORP_TRY(common.prov_ref.get());
        if (kind == RowKind::Edge) {
            c.src_id = VORP_TRY(segment.edges.src_id.get());
            c.dst_id = VORP_TRY(segment.edges.dst_id.get());
            c.disc_ref = VORP_TRY(segment.edges.disc_ref.get());
            c.rel_code = VORP_TRY(segment.edges.rel_code.get());
        } else {
            c.uid_id = VORP_TRY(segment.nodes.uid_id.get());
            c.label_ref = VORP_TRY(segment.nodes.label_ref.get());
        }
        c.strings = VORP_TRY(segment.strings());
        return c;
    }
};

Status check_kind(const Segment& segment, RowKind kind) {
    if (segment.header.kind == kind) return ok();
    return fail(EngineError::corrupt(fmt::format("segment is listed as a {} segment but holds {} rows",
                                                 row_kind_word(kind), row_kind_word(segment.header.kind)))
                    .at_file(segment.path));
}

// A dense id a stored row refers to must name an entry of the dictionary.
Result<std::uint32_t> known_entity(const NativeStore& store, std::uint32_t dense_id) {
    if (dense_id < store.dict().size()) return dense_id;
    return fail(EngineError::invariant(fmt::format("dense id {} is not in the dictionary", dense_id)));
}

// Pass 1: one old segment open at a time; a key per kept row, in the lane sealing will give it.
Result<KindKeys> key_pass(const Rewrite& rewrite, RowKind kind, const std::vector<Input>& inputs) {
    KindKeys keys;
    if (inputs.size() > UINT32_MAX)
        return fail(EngineError::capacity(fmt::format("{} segment files are more than one rewrite can hold", inputs.size())));
    for (std::uint32_t input_idx = 0; input_idx < inputs.size(); ++input_idx) {
        const Input& input = inputs[input_idx];
        const std::shared_ptr<const Segment> segment = VORP_TRY(open_input(rewrite, input, true));
        VORP_TRY(check_kind(*segment, kind));
        const Columns columns = VORP_TRY(Columns::of(*segment, kind));
        for (std::uint32_t row = 0; row < segment->header.rows; ++row) {
            const std::int64_t tt_e = row_tt_e(rewrite, input, *segment, row);
            // The strip keeps exactly what every read believes now, by the one belief rule: a
            // close above OPEN_END does not end belief, a tt_s at or past it never began it.
            if (rewrite.current_only && !is_believed(VORP_TRY(segment->header.tt_s_at(row)), tt_e, OPEN_END)) {
                ++keys.dropped;
                continue;
            }
            if (tt_e != OPEN_END) ++keys.closed;
            ++keys.kept;
            const std::int64_t vt_s = columns.vt_s[row];
            const std::int64_t vt_e = VORP_TRY(segment->vt_e_at(row));
            std::uint64_t cost = NODE_ROW_COST;
            if (kind == RowKind::Edge) cost = EDGE_ROW_BASE_COST + VORP_TRY(columns.strings.get(columns.disc_ref[row])).size();
            const Lane lane = lane_of(vt_s, vt_e, rewrite.layout.lane_origin, rewrite.layout.lane_stride);
            keys.lanes[static_cast<std::size_t>(lane)].push_back(
                {vt_s, columns.vid64[row], columns.vid_lo32[row], input_idx, row, saturate_u32(cost)});
        }
    }
    for (auto& lane : keys.lanes) std::sort(lane.begin(), lane.end());
    return keys;
}

// The fields edge and node rows share, in the order both read them (which decides the error
// reported first).
template <class Row>
Status read_shared_fields(const Segment& segment, const Columns& c, std::uint32_t row, Row& out) {
    out.props = std::string(VORP_TRY(c.strings.get(c.props_ref[row])));
    out.source = std::string(VORP_TRY(c.strings.get(c.source_ref[row])));
    if (const auto prov = VORP_TRY(c.strings.get_opt(c.prov_ref[row]))) out.prov = std::string(*prov);
    out.vid = Id96{c.vid64[row], c.vid_lo32[row]};
    out.vt_s = c.vt_s[row];
    out.vt_e = VORP_TRY(segment.vt_e_at(row));
    out.tt_s = VORP_TRY(segment.header.tt_s_at(row));
    return ok();
}

Status read_row(const NativeStore& store, const Segment& segment, const Columns& c, std::uint32_t row, EdgeRow& out) {
    out.rel_type = std::string(VORP_TRY(segment.rel_type_of(c.rel_code[row])));
    out.disc = std::string(VORP_TRY(c.strings.get(c.disc_ref[row])));
    VORP_TRY(read_shared_fields(segment, c, row, out));
    out.src_id = VORP_TRY(known_entity(store, c.src_id[row]));
    out.dst_id = VORP_TRY(known_entity(store, c.dst_id[row]));
    return ok();
}

Status read_row(const NativeStore& store, const Segment& segment, const Columns& c, std::uint32_t row, NodeRow& out) {
    out.label = std::string(VORP_TRY(c.strings.get(c.label_ref[row])));
    VORP_TRY(read_shared_fields(segment, c, row, out));
    out.uid_id = VORP_TRY(known_entity(store, c.uid_id[row]));
    return ok();
}

Status write_rows(const fs::path& path, std::span<const EdgeRow> rows, const SegmentWriteOptions& options) {
    return write_edge_segment(path, rows, options);
}
Status write_rows(const fs::path& path, std::span<const NodeRow> rows, const SegmentWriteOptions& options) {
    return write_node_segment(path, rows, options);
}

// Pass 2 for one lane of one kind: the lane's keys cut as sealing cuts them; each output segment
// gathered from the old segments it draws on (each opened once for it), written, then dropped.
template <class Row>
Status write_lane(Rewrite& rewrite, RowKind kind, Lane lane, const std::vector<Input>& inputs,
                  const std::vector<RowKey>& keys, std::vector<SegmentEntry>& out) {
    const std::vector<std::size_t> ends = segment_ends(
        keys.size(), rewrite.layout.segment_target_bytes, [&](std::size_t i) { return std::uint64_t{keys[i].cost}; },
        [&](std::size_t i) { return keys[i].same_version_key(keys[i + 1]); });
    std::size_t begin = 0;
    std::vector<std::uint32_t> by_origin;
    for (const std::size_t end : ends) {
        const std::size_t n = end - begin;
        std::vector<Row> rows(n);
        SegmentWriteOptions options;
        options.block_rows = rewrite.layout.block_rows;
        options.lane = lane;

        // Output positions grouped by the old segment they come from.
        by_origin.resize(n);
        for (std::uint32_t position = 0; position < n; ++position) by_origin[position] = position;
        std::sort(by_origin.begin(), by_origin.end(), [&](std::uint32_t a, std::uint32_t b) {
            const RowKey& ka = keys[begin + a];
            const RowKey& kb = keys[begin + b];
            return ka.input != kb.input ? ka.input < kb.input : ka.row < kb.row;
        });
        std::size_t at = 0;
        while (at < n) {
            const Input& input = inputs[keys[begin + by_origin[at]].input];
            const std::shared_ptr<const Segment> segment = VORP_TRY(open_input(rewrite, input, false));
            VORP_TRY(check_kind(*segment, kind));
            const Columns columns = VORP_TRY(Columns::of(*segment, kind));
            for (; at < n && &inputs[keys[begin + by_origin[at]].input] == &input; ++at) {
                const std::uint32_t position = by_origin[at];
                const std::uint32_t row = keys[begin + position].row;
                if (row >= segment->header.rows)
                    return fail(EngineError::corrupt(fmt::format("segment changed while it was compacted: row {} of {}",
                                                                 row, segment->header.rows))
                                    .at_file(segment->path));
                VORP_TRY(read_row(rewrite.store, *segment, columns, row, rows[position]));
                const std::int64_t tt_e = row_tt_e(rewrite, input, *segment, row);
                if (tt_e != OPEN_END) options.closed_rows.emplace_back(position, tt_e);
            }
        }
        std::sort(options.closed_rows.begin(), options.closed_rows.end());

        const std::uint64_t id = rewrite.next_segment_id;
        if (id == UINT64_MAX)
            return fail(EngineError::capacity(fmt::format("segment ids are exhausted: the next id would be {}", id)));
        rewrite.next_segment_id = id + 1;
        const std::string name = fmt::format("{:012}.vos", id);
        VORP_TRY(write_rows(rewrite.store.root() / SEG_DIR / name, std::span<const Row>(rows), options));
        out.push_back(sealed_entry(std::span<const Row>(rows), fmt::format("seg/{}", name),
                                   static_cast<std::uint32_t>(options.closed_rows.size())));
        begin = end;
    }
    return ok();
}

std::size_t segment_count(const Manifest& manifest) {
    return manifest.node_store.size() + manifest.edge_lanes.event.size() + manifest.edge_lanes.interval.size();
}

std::vector<Input> inputs_of(std::initializer_list<const std::vector<SegmentEntry>*> lists) {
    std::vector<Input> inputs;
    for (const auto* list : lists)
        for (const SegmentEntry& entry : *list) inputs.push_back({entry.file, segment_id_of(entry.file), entry.rows});
    return inputs;
}

Status refuse(const NativeStore& store) {
    if (store.in_batch()) return fail(EngineError::invariant("cannot compact while a batch is open"));
    // Checked before anything is read: the install would refuse such a store anyway, after every
    // new segment had been written.
    if (store.manifest().format != MANIFEST_FORMAT_VERSION) return fail(read_only_format_error(store.manifest().format));
    return ok();
}

// Both variants up to the sealed next manifest; nothing is published.
Result<std::pair<Manifest, CompactReport>> rewrite_generation(NativeStore& store, bool current_only) {
    const Manifest& current = store.manifest();
    CompactReport report;
    report.segments_before = segment_count(current);

    Rewrite rewrite{store, current_only, VORP_TRY(store.committed_close_index()),
                    SealLayout{store.seal_layout().lane_origin, store.seal_layout().lane_stride, store.seal_layout().segment_target_bytes, BLOCK_ROWS},
                    current.next_segment_id};
    if (rewrite.layout.lane_stride <= 0)
        return fail(EngineError::invariant(fmt::format("lane stride must be positive, got {}", rewrite.layout.lane_stride)));

    Manifest next = current.successor(current.created_tt);
    next.node_store.clear();
    next.edge_lanes.event.clear();
    next.edge_lanes.interval.clear();
    next.close_runs.clear();

    // Edges first, then nodes, each kind's keys dropped before the next kind is read.
    {
        const std::vector<Input> inputs = inputs_of({&current.edge_lanes.event, &current.edge_lanes.interval});
        const KindKeys keys = VORP_TRY(key_pass(rewrite, RowKind::Edge, inputs));
        VORP_TRY(write_lane<EdgeRow>(rewrite, RowKind::Edge, Lane::Event, inputs, keys.lanes[0], next.edge_lanes.event));
        VORP_TRY(write_lane<EdgeRow>(rewrite, RowKind::Edge, Lane::Interval, inputs, keys.lanes[1],
                                     next.edge_lanes.interval));
        report.edge_rows = keys.kept;
        report.closes_folded += current_only ? keys.dropped : keys.closed;
    }
    {
        const std::vector<Input> inputs = inputs_of({&current.node_store});
        const KindKeys keys = VORP_TRY(key_pass(rewrite, RowKind::Node, inputs));
        VORP_TRY(write_lane<NodeRow>(rewrite, RowKind::Node, Lane::Event, inputs, keys.lanes[0], next.node_store));
        VORP_TRY(write_lane<NodeRow>(rewrite, RowKind::Node, Lane::Interval, inputs, keys.lanes[1], next.node_store));
        report.node_rows = keys.kept;
        report.closes_folded += current_only ? keys.dropped : keys.closed;
    }
    // The new names are durable before the manifest that refers to them is written.
    VORP_TRY(fsync_dir(store.root() / SEG_DIR));

    next.next_segment_id = rewrite.next_segment_id;
    next.stats.n_edge_versions = report.edge_rows;
    next.stats.n_node_versions = report.node_rows;
    // The committed dictionary: compaction writes nothing to dict.log, so entries added since the
    // last commit are not part of this generation.
    next.stats.n_entities = next.dict.records;
    next.seal();
    report.segments_after = segment_count(next);
    return std::pair{std::move(next), report};
}

}  // namespace

Result<CompactReport> compact(NativeStore& store) {
    VORP_TRY(refuse(store));
    const WriterGuard writing = VORP_TRY(WriterGuard::acquire(store.pin_path(), store.root()));
    VORP_TRY(store.check_not_behind());
    if (segment_count(store.manifest()) == 0) return CompactReport{};
    auto [next, report] = VORP_TRY(rewrite_generation(store, false));
    crash_point(CRASH_COMPACT_BEFORE_INSTALL);
    VORP_TRY(store.install(std::move(next)));
    return report;
}

namespace {
// Writes the marker of a stripped generation that CURRENT already names. Without it the next open
// would answer past reads from the stripped data, so an allocation failure gets one more try: by
// then the first attempt has given back what it held.
Status mark_stripped(NativeStore& store) {
    try {
        return store.mark_current_only();
    } catch (const std::bad_alloc&) {
    }
    return store.mark_current_only();
}
}  // namespace

Result<CompactReport> compact_current_only(NativeStore& store) {
    VORP_TRY(refuse(store));
    const WriterGuard writing = VORP_TRY(WriterGuard::acquire(store.pin_path(), store.root()));
    VORP_TRY(store.check_not_behind());
    if (segment_count(store.manifest()) == 0) {
        VORP_TRY(store.mark_current_only());
        return CompactReport{};
    }
    auto [next, report] = VORP_TRY(rewrite_generation(store, true));
    const std::uint64_t stripped = next.generation;
    Result<std::uint64_t> installed;
    try {
        installed = store.install(std::move(next));
    } catch (...) {
        // An exception (an allocation failure) after CURRENT named the stripped generation: the
        // handle has adopted it, so from now on it refuses as a stripped store does (below), and
        // the marker is written all the same, or a later open would answer past reads from the
        // stripped data. The exception goes on either way; a marker that cannot be written now
        // (its own failure is dropped) leaves the store as a crash at this point would.
        if (store.manifest().generation == stripped) {
            store.enter_current_only();
            try {
                (void)mark_stripped(store);
            } catch (...) {
            }
        }
        throw;
    }
    // An install that fails only in the directory sync after CURRENT moved has still made the
    // stripped generation current, and the handle has adopted it.
    if (!installed && store.manifest().generation != stripped) return fail(std::move(installed).error());
    // The stripped generation is current: from here on the handle must refuse past-time belief
    // and answer statistics from the new segments, whether or not the marker can be written.
    store.enter_current_only();
    auto marked = mark_stripped(store);
    if (!installed) return fail(std::move(installed).error());
    VORP_TRY(std::move(marked));
    return report;
}

bool needs_compaction(const NativeStore& store) {
    return segment_count(store.manifest()) > 4 || !store.manifest().close_runs.empty();
}

}  // namespace vorp
