#include "maintenance_methods.h"

#include "vorp/compact.h"
#include "vorp/gc.h"

namespace vorp::py {

namespace {

PyObject* py_count(std::size_t value) { return py_int(static_cast<std::uint64_t>(value)); }

PyObject* compact_report(const CompactReport& report, const char* third_key) {
    return DictBuilder()
        .add("segments_before", py_count(report.segments_before))
        .add("segments_after", py_count(report.segments_after))
        .add(third_key, py_count(report.closes_folded))
        .add("edge_rows", py_count(report.edge_rows))
        .add("node_rows", py_count(report.node_rows))
        .finish();
}

}  // namespace

PyObject* needs_compaction(StoreCall& call) { return py_bool(vorp::needs_compaction(call.store())); }

PyObject* compact(StoreCall& call) {
    const CompactReport report = VORP_PY_TRY(vorp::compact(call.store()));
    return compact_report(report, "closes_folded");
}

PyObject* compact_current_only(StoreCall& call) {
    const CompactReport report = VORP_PY_TRY(vorp::compact_current_only(call.store()));
    return compact_report(report, "versions_dropped");
}

PyObject* gc(StoreCall& call, std::uint64_t keep_last) {
    const GcReport report = VORP_PY_TRY(vorp::gc::collect(call.store(), keep_last));
    return DictBuilder()
        .add("manifests_removed", py_count(report.manifests_removed))
        .add("segments_removed", py_count(report.segments_removed))
        .add("close_runs_removed", py_count(report.close_runs_removed))
        .add("bytes_reclaimed", py_int(report.bytes_reclaimed))
        .add("generations_retained", py_count(report.generations_retained))
        .finish();
}

}  // namespace vorp::py
