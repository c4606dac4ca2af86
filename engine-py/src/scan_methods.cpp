// scan_edges: arguments converted, the whole engine scan run and the result built, all with the
// interpreter lock held, as every NativeStore method keeps it (the scan's workers never touch a
// Python object, so they need no lock of their own): the wanted columns in their fixed order, then
// the thirteen statistics. Numeric columns become NumPy arrays over the very buffers the scan
// filled; texts become lists of str.
#include "scan_methods.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "docs.h"
#include "numpy_bridge.h"
#include "store_method.h"
#include "vorp/scan.h"
#include "vorp/threads.h"

namespace vorp::py {

namespace {

// A 24-digit lowercase hex str written straight into a new compact ASCII string.
PyObject* id_text(const Id96& id) {
    PyObject* text = PyUnicode_New(ID96_HEX_LEN, 127);
    if (text == nullptr) return nullptr;
    id.write_hex(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
    return text;
}

PyObject* id_list(std::span<const Id96> ids) {
    return list_of(ids.size(), [&](std::size_t index) { return id_text(ids[index]); });
}

// A list of str; with `shared`, equal texts are one str object (relationship types repeat). The
// texts are consumed, all but the first of each shared text, whose memory keys the map.
PyObject* text_list(std::vector<std::string>& texts, bool shared) {
    std::unordered_map<std::string_view, PyObject*> seen;
    return list_of(texts.size(), [&](std::size_t index) -> PyObject* {
        std::string& source = texts[index];
        if (shared) {
            if (const auto found = seen.find(source); found != seen.end()) {
                std::string().swap(source);
                return Py_NewRef(found->second);
            }
        }
        PyObject* text = PyUnicode_FromStringAndSize(source.data(), static_cast<Py_ssize_t>(source.size()));
        if (!shared) {
            std::string().swap(source);
        } else if (text != nullptr) {
            seen.emplace(source, text);  // borrowed: the list holds it
        }
        return text;
    });
}

template <class T, class Allocator>
PyObject* widened(const std::vector<T, Allocator>& values) {
    std::vector<std::int64_t> out(values.size());
    for (std::size_t index = 0; index < values.size(); ++index) out[index] = static_cast<std::int64_t>(values[index]);
    return to_numpy(std::move(out));
}

PyObject* ms(std::uint64_t ns) { return PyFloat_FromDouble(static_cast<double>(ns) / 1000000.0); }

PyObject* raise_failure(ScanFailure failure) {
    switch (failure.kind) {
        case ScanFailure::Kind::EidWithoutColumns:
            PyErr_SetString(PyExc_RuntimeError, std::string(EID_WITHOUT_COLUMNS).c_str());
            return nullptr;
        case ScanFailure::Kind::DenseIdVanished:
            PyErr_SetString(PyExc_KeyError, fmt::format("dense id {} vanished", failure.dense_id).c_str());
            return nullptr;
        case ScanFailure::Kind::Engine:
            break;
    }
    return err(std::move(failure.error));
}

PyObject* scan_edges(StoreCall& call, std::int64_t as_of_tt, std::optional<std::int64_t> vt_min,
                     std::optional<std::int64_t> vt_max, std::optional<std::vector<std::string>> rel_types,
                     std::optional<std::vector<std::int64_t>> touching_ids, bool touching_both,
                     std::optional<std::uint64_t> limit, std::optional<std::vector<std::string>> columns) {
    EdgeScanArgs args{as_of_tt,      vt_min, vt_max, std::move(rel_types), std::move(touching_ids),
                      touching_both, limit,  std::move(columns)};
    // Like every method of the store object, the scan keeps the interpreter lock for its whole run
    // (its worker threads touch no Python object); only the module's column functions release it.
    auto outcome = vorp::scan_edges(call.store(), std::move(args));
    if (!outcome) return raise_failure(std::move(outcome).error());
    if (!numpy_api_ready()) return nullptr;

    const std::uint64_t convert_started = monotonic_ns();
    EdgeScanOutput& out = *outcome;
    ScanColumns& cols = out.columns;
    const Want& want = out.want;
    DictBuilder result;
    if (out.eids) result.add("eid", id_list(*out.eids));
    result.add("vt_s", to_numpy(std::move(cols.vt_s)));
    if (want.vt_e) result.add("vt_e", to_numpy(std::move(cols.vt_e)));
    if (want.src_id) result.add("src_id", to_numpy(std::move(cols.src_id)));
    if (want.dst_id) result.add("dst_id", to_numpy(std::move(cols.dst_id)));
    if (want.vid) result.add("vid", id_list(cols.vid));
    if (want.rel_type) result.add("rel_type", text_list(cols.rel_type, true));
    if (want.disc) result.add("disc", text_list(cols.disc, false));
    if (want.props) result.add("props", text_list(cols.props, false));
    if (want.seg) {
        result.add("seg_id", widened(cols.seg_id));
        result.add("seg_row", widened(cols.seg_row));
    }
    const ScanResultStats& stats = out.stats;
    result.add("segments_total", py_int(stats.scan.segments_total))
        .add("segments_pruned", py_int(stats.scan.segments_pruned))
        .add("rows_examined", py_int(stats.scan.rows_examined))
        .add("t_open_ms", ms(out.t_open))
        .add("t_select_ms", ms(stats.t_select))
        .add("t_cluster_ms", ms(stats.t_cluster))
        .add("t_materialize_ms", ms(stats.t_materialize))
        .add("t_order_ms", ms(stats.t_order))
        .add("t_copy_ms", ms(stats.t_copy))
        .add("clusters", py_int(stats.clusters))
        .add("clusters_multi", py_int(stats.clusters_multi))
        .add("t_eid_ms", ms(out.t_eid));
    result.add("t_convert_ms", ms(elapsed_ns(convert_started)));
    // Whatever texts a stopped conversion left are freed off the caller's thread.
    for (std::vector<std::string>* texts : {&cols.rel_type, &cols.disc, &cols.props})
        release_in_background(std::move(*texts));
    return result.finish();
}

}  // namespace

PyMethodDef scan_edges_method() {
    return StoreMethod<"scan_edges($self, as_of_tt=..., vt_min=None, vt_max=None, rel_types=None, touching_ids=None, "
                       "touching_both=False, limit=None, columns=None)",
                       Borrow::shared, &scan_edges, OrDefault<I64, OPEN_END>, OrNone<I64>, OrNone<I64>,
                       OrNone<ListOf<Str>>, OrNone<ListOf<I64>>, OrDefault<Bool, false>, OrNone<U64>,
                       OrNone<ListOf<Str>>>::def(doc::SCAN_EDGES);
}

}  // namespace vorp::py
