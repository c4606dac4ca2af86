// The edge scan request: from a scan_edges call's arguments to its columns, edge ids and
// statistics.
#include <algorithm>

#include "vorp/interrupt.h"
#include "vorp/scan_pipeline.h"
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

// Rows between interruption points while edge ids are derived (a hash of each row's texts).
constexpr std::uint64_t EID_TICK_ROWS = 8192;

std::expected<std::vector<Id96>, ScanFailure> derive_eids(const Dictionary& dictionary, const ScanColumns& columns) {
    const std::size_t rows = columns.rows();
    std::vector<Id96> eids;
    eids.reserve(rows);
    EidDeriver derive;
    InterruptTicker ticker(EID_TICK_ROWS);
    for (std::size_t row = 0; row < rows; ++row) {
        if (Status going = ticker.tick(); !going)
            return std::unexpected(ScanFailure{ScanFailure::Kind::Engine, going.error(), 0});
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
                                                    SegmentCache& cache, std::uint64_t& header_rows) {
    // The generation's list of files, names and ids, as the cache keeps it for the generation.
    const std::shared_ptr<const SegmentFiles> listed = cache.segment_files(manifest);
    const std::size_t events = manifest.edge_lanes.event.size();
    const auto entry_of = [&](std::size_t index) -> const SegmentEntry& {
        return index < events ? manifest.edge_lanes.event[index] : manifest.edge_lanes.interval[index - events];
    };

    // Cached segments first, all under one lock (a warm scan stops here; a warm scan of the same
    // generation looks no name up again); the others are mapped, verified and decoded, which a
    // cold start pays for every file: on worker threads when there are enough rows.
    const std::vector<std::string_view> files(listed->edge_names.begin(), listed->edge_names.end());
    std::uint64_t rows = 0;
    std::vector<std::shared_ptr<const Segment>> cached = cache.cached_list(manifest.generation, files, rows);
    std::vector<ScanTarget> targets(files.size());
    std::vector<std::size_t> missing;
    std::uint64_t missing_rows = 0;
    for (std::size_t index = 0; index < targets.size(); ++index) {
        targets[index] = {std::move(cached[index]), listed->edge_ids[index], index < events ? Lane::Event : Lane::Interval};
        if (targets[index].segment == nullptr) {
            missing.push_back(index);
            missing_rows += entry_of(index).rows;
        }
    }
    // The header rows of the segments opened here join those of the hits.
    const auto opened_all = [&] {
        for (const std::size_t index : missing) rows += targets[index].segment->header.rows;
        header_rows = rows;
    };
    const std::size_t threads = scan_threads();
    if (!parallel_gate(threads, missing.size(), OPEN_MIN_SEGMENTS, missing_rows)) {
        // In target order; the first failure ends it, and the segments opened so far are released.
        for (const std::size_t index : missing)
            targets[index].segment = VORP_TRY(cache.open_segment(root, manifest, entry_of(index).file));
        opened_all();
        return targets;
    }
    const std::size_t workers = std::min(threads, missing.size());
    std::vector<std::optional<EngineError>> errors(missing.size());
    fan_out(workers, SCAN_WORKER_PANICKED, [&](std::size_t worker) {
        for (std::size_t at = worker; at < missing.size(); at += workers) {
            const std::size_t index = missing[at];
            auto opened = cache.open_segment(root, manifest, entry_of(index).file);
            if (opened) {
                targets[index].segment = std::move(*opened);
            } else {
                errors[at] = std::move(opened).error();
            }
        }
    });
    // The first failure in target order is the one reported, as on one thread.
    for (std::optional<EngineError>& error : errors)
        if (error) return fail(std::move(*error));
    opened_all();
    return targets;
}

Result<ScanSet> edge_scan_set(NativeStore& store) {
    ScanSet set;
    std::uint64_t rows = 0;
    set.targets = VORP_TRY(gather_edge_targets(store.root(), store.manifest(), store.cache(), rows));
    set.header_rows = rows;
    set.entity_count = store.dict().size();
    // Tables of closes are built in slices on worker threads when the gate opens for a phase of
    // this scan's size.
    const auto ways = [rows](std::size_t closes) -> std::size_t {
        const std::size_t threads = scan_threads();
        return parallel_gate(threads, closes, CLOSE_TABLE_MIN_CLOSES, rows) ? threads : 1;
    };
    const CloseTable::Runner fan = [](std::size_t count, const std::function<void(std::size_t)>& work) {
        fan_out(count, SCAN_WORKER_PANICKED, work);
    };
    // A fresh handle without an open batch: the flat table straight from the close runs stands
    // for the committed closes, and the index is left for the reads that need it.
    if (store.batch().close_index == nullptr) {
        // The runs' sizes as the manifest lists them decide whether they are read on workers.
        std::size_t listed_closes = 0;
        for (const CloseRunRef& run : store.manifest().close_runs) listed_closes += run.entries;
        auto cold = store.close_cache().cold_close_table(
            store.root(), store.manifest(), store.current_only(), [&](std::span<const std::vector<StagedClose>> runs) {
                std::size_t closes = 0;
                for (const auto& run : runs) closes += run.size();
                return CloseTable::from_runs(runs, ways(closes), fan);
            },
            ways(listed_closes), fan);
        if (!cold) return fail(std::move(cold).error());
        if (*cold != nullptr) {
            set.close_table = std::move(*cold);
            return set;
        }
    }
    // The open batch's pending layer when it closed a stored version, else the committed index.
    set.close = VORP_TRY(store.close_overlay());
    // The committed index is the bottom layer either way; its table is cached with it.
    std::shared_ptr<const CloseIndex> committed = set.close;
    while (committed != nullptr && committed->base != nullptr) committed = committed->base;
    set.close_table = store.close_cache().close_table(committed, [&](const std::shared_ptr<const CloseIndex>& index) {
        return CloseTable::build(index, nullptr, ways(index->closed.size()), fan);
    });
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
        auto eids = derive_eids(store.dict(), output.columns);
        if (!eids) return std::unexpected(std::move(eids).error());
        output.eids = std::move(*eids);
    }
    output.t_eid = elapsed_ns(eid_started);
    return output;
}

}  // namespace vorp
