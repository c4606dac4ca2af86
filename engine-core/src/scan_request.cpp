// The edge scan request: from a scan_edges call's arguments to its columns, edge ids and
// statistics.
#include <algorithm>

#include "vorp/scan.h"
#include "vorp/store.h"

namespace vorp {

ScanRequest scan_request_of(EdgeScanArgs args) {
    ScanRequest request;
    request.as_of_tt = args.as_of_tt;
    request.vt_min = args.vt_min;
    request.vt_max = args.vt_max;
    request.rel_types = std::move(args.rel_types);
    if (args.touching_ids) {
        // Each id is cut to its low 32 bits (-1 becomes 4294967295, 2^32 becomes 0).
        std::vector<std::uint32_t> ids;
        ids.reserve(args.touching_ids->size());
        for (const std::int64_t id : *args.touching_ids) ids.push_back(static_cast<std::uint32_t>(id));
        std::ranges::sort(ids);
        ids.erase(std::ranges::unique(ids).begin(), ids.end());
        request.touching_ids = std::move(ids);
    }
    request.touching_both = args.touching_both;
    request.limit = args.limit;
    if (args.columns) {
        std::vector<std::string>& columns = *args.columns;
        if (std::ranges::find(columns, "eid") != columns.end()) {
            for (const std::string_view needed : {"rel_type", "disc", "src_id", "dst_id"})
                if (std::ranges::find(columns, needed) == columns.end()) columns.emplace_back(needed);
        }
    }
    request.columns = std::move(args.columns);
    return request;
}

bool wants_eid(const ScanRequest& request) {
    return !request.columns || std::ranges::find(*request.columns, "eid") != request.columns->end();
}

std::expected<std::vector<Id96>, ScanFailure> derive_eids(const Dictionary& dictionary, const EdgeColumns& columns) {
    const std::size_t rows = columns.rows();
    std::vector<Id96> eids;
    eids.reserve(rows);
    EidDeriver derive;
    for (std::size_t row = 0; row < rows; ++row) {
        if (row >= columns.rel_type.size() || row >= columns.disc.size() || row >= columns.dst_id.size() ||
            row >= columns.src_id.size())
            return std::unexpected(ScanFailure{ScanFailure::Kind::EidWithoutColumns, {}, 0});
        const std::optional<std::string_view> src = dictionary.uid(columns.src_id[row]);
        if (!src) return std::unexpected(ScanFailure{ScanFailure::Kind::DenseIdVanished, {}, columns.src_id[row]});
        const std::optional<std::string_view> dst = dictionary.uid(columns.dst_id[row]);
        if (!dst) return std::unexpected(ScanFailure{ScanFailure::Kind::DenseIdVanished, {}, columns.dst_id[row]});
        eids.push_back(derive(*src, *dst, columns.rel_type[row], columns.disc[row]));
    }
    return eids;
}

Result<std::vector<ScanTarget>> gather_edge_targets(const std::filesystem::path& root, const Manifest& manifest,
                                                    SegmentCache& cache) {
    std::vector<ScanTarget> targets;
    targets.reserve(manifest.edge_lanes.event.size() + manifest.edge_lanes.interval.size());
    for (const auto& [lane, entries] : {std::pair{Lane::Event, &manifest.edge_lanes.event},
                                        std::pair{Lane::Interval, &manifest.edge_lanes.interval}}) {
        for (const SegmentEntry& entry : *entries) {
            // On failure the segments opened so far are released with `targets`.
            std::shared_ptr<const Segment> segment = VORP_TRY(cache.open_segment(root, entry.file));
            targets.push_back({std::move(segment), segment_id_of(entry.file), lane});
        }
    }
    return targets;
}

Result<ScanSet> edge_scan_set(NativeStore& store) {
    ScanSet set;
    set.targets = VORP_TRY(gather_edge_targets(store.root, store.manifest, store.cache()));
    // The open batch's pending layer when it closed a stored version, else the committed index.
    set.close = VORP_TRY(store.close_overlay());
    // The committed index is the bottom layer either way; its table is cached with it.
    std::shared_ptr<const CloseIndex> committed = set.close;
    while (committed != nullptr && committed->base != nullptr) committed = committed->base;
    set.close_table = store.close_cache.close_table(committed);
    set.entity_count = store.dict.size();
    return set;
}

namespace {

std::unexpected<ScanFailure> engine_failure(EngineError error) {
    return std::unexpected(ScanFailure{ScanFailure::Kind::Engine, std::move(error), 0});
}

}  // namespace

std::expected<EdgeScanOutput, ScanFailure> scan_edges(NativeStore& store, EdgeScanArgs args) {
    if (auto guard = store.assert_full_belief(args.as_of_tt); !guard) return engine_failure(std::move(guard).error());
    EdgeScanOutput output;
    const std::uint64_t open_started = monotonic_ns();
    auto scan_set = edge_scan_set(store);
    if (!scan_set) return engine_failure(std::move(scan_set).error());
    const ScanSet set = std::move(*scan_set);
    output.t_open = elapsed_ns(open_started);

    const ScanRequest request = scan_request_of(std::move(args));
    output.want = Want::of(request);
    auto materialized = materialize_at(set, request);
    if (!materialized) return engine_failure(std::move(materialized).error());
    output.columns = std::move(materialized->columns);
    output.stats = materialized->stats;

    const std::uint64_t eid_started = monotonic_ns();
    if (wants_eid(request)) {
        auto eids = derive_eids(store.dict, output.columns);
        if (!eids) return std::unexpected(std::move(eids).error());
        output.eids = std::move(*eids);
    }
    output.t_eid = elapsed_ns(eid_started);
    return output;
}

}  // namespace vorp
