#include "verify_methods.h"

#include <utility>

#include "vorp/integrity.h"

namespace vorp::py {

namespace {

// A finding as {"layer", "kind", "path", "generation", "detail", "severity"}.
PyObject* finding_to_python(const Finding& finding) {
    return DictBuilder()
        .add("layer", py_str(finding.layer))
        .add("kind", py_str(finding.kind))
        .add("path", py_str(finding.path))
        .add("generation", py_int(finding.generation))
        .add("detail", py_str(finding.detail))
        .add("severity", py_str(finding.severity))
        .finish();
}

// A new list of the converted items; nullptr with the first error.
template <class Item, class Convert>
PyObject* list_of(const std::vector<Item>& items, Convert&& convert) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return nullptr;
    ConversionTicker ticker;
    for (std::size_t index = 0; index < items.size(); ++index) {
        PyObject* value = ticker.tick() ? convert(items[index]) : nullptr;
        if (value == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(index), value);
    }
    return list;
}

PyObject* report_to_python(const VerifyReport& report) {
    return DictBuilder()
        .add("mode", py_str(report.mode))
        .add("generation", py_int(report.generation))
        .add("manifest_format", py_int(report.manifest_format))
        .add("manifest_checkpoint", py_int(report.manifest_checkpoint))
        .add("manifest_deltas", py_int(report.manifest_deltas))
        .add("segments_checked", py_int(report.segments_checked))
        .add("close_runs_checked", py_int(report.close_runs_checked))
        .add("rows", py_int(report.rows))
        .add("closes", py_int(report.closes))
        .add("dict_records", py_int(report.dict_records))
        .add("tt_s_runs", py_int(report.tt_s_runs))
        .add("max_tt_s_runs", py_int(report.max_tt_s_runs))
        .add("rows_walked", py_int(report.rows_walked))
        .add("believed_rows", py_int(report.believed_rows))
        .add("identities_checked", py_int(report.identities_checked))
        .add("problems", list_of(report.problems, [](const std::string& text) { return py_str(text); }))
        .add("findings", list_of(report.findings, finding_to_python))
        .add("healthy", py_bool(report.healthy()))
        .finish();
}

}  // namespace

PyObject* verify(StoreCall& call, bool full) {
    if (full) return report_to_python(VORP_PY_TRY(verify_full(call.store())));
    // The fast mode's close rows feed only the full mode's walks.
    return report_to_python(VORP_PY_TRY(verify_files(call.store())).report);
}

}  // namespace vorp::py
