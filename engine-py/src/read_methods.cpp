#include "read_methods.h"

#include <algorithm>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "numpy_bridge.h"
#include "vorp/clock.h"
#include "vorp/text.h"
#include "vorp/threads.h"

namespace vorp::py {

namespace {

// ---- column builders --------------------------------------------------------------------------------

// Text columns consume their texts (py_str_taking): once the list is built, the rows hold none.
template <class Row, class Field>
PyObject* str_column(std::vector<Row>& rows, Field field) {
    return list_of(rows.size(), [&](std::size_t i) { return py_str_taking(rows[i].*field); });
}

template <class Row>
PyObject* opt_str_column(std::vector<Row>& rows, std::optional<std::string> Row::*field) {
    return list_of(rows.size(), [&](std::size_t i) {
        std::optional<std::string>& text = rows[i].*field;
        return text ? py_str_taking(*text) : py_none();
    });
}

template <class Row, class Field>
PyObject* int_list_column(const std::vector<Row>& rows, Field field) {
    return list_of(rows.size(), [&](std::size_t i) { return py_int(static_cast<std::int64_t>(rows[i].*field)); });
}

// The gathered vector becomes the array's own memory. A gather over millions of records reads a
// GiB or more, so it passes interruption points too.
template <class Row, class Field>
PyObject* int_array_column(const std::vector<Row>& rows, Field field) {
    if (PyErr_Occurred()) return nullptr;
    std::vector<std::int64_t> values;
    values.reserve(rows.size());
    ConversionTicker ticker;
    for (const Row& row : rows) {
        if (!ticker.tick()) return nullptr;
        values.push_back(static_cast<std::int64_t>(row.*field));
    }
    return to_numpy(std::move(values));
}

RowKind row_kind(std::uint8_t code) { return code == 0 ? RowKind::Node : RowKind::Edge; }

}  // namespace

namespace {

// One column of records per field of the record's table: texts as lists of str (None for an
// absent optional text), integers as lists of int or, with `int_arrays`, as NumPy int64 arrays.
template <class Row>
DictBuilder& add_record_columns(DictBuilder& dict, std::vector<Row>& rows, bool int_arrays) {
    const auto column = [&](const auto& field) -> PyObject* {
        using Member = std::remove_cvref_t<decltype(std::declval<const Row&>().*(field.member))>;
        if constexpr (std::is_same_v<Member, std::string>)
            return str_column(rows, field.member);
        else if constexpr (std::is_same_v<Member, std::optional<std::string>>)
            return opt_str_column(rows, field.member);
        else
            return int_arrays ? int_array_column(rows, field.member) : int_list_column(rows, field.member);
    };
    std::apply([&](const auto&... fields) { (dict.add(fields.key, column(fields)), ...); }, RecordFields<Row>::fields);
    return dict;
}

// The edge row dict (13 keys, eid first) and the node row dict (10 keys, vid first); every value a
// list. The rows are consumed.
template <class Row>
PyObject* versions_to_py(std::vector<Row>&& rows) {
    std::vector<Row> owned = std::move(rows);
    DictBuilder dict;
    PyObject* result = add_record_columns(dict, owned, false).finish();
    release_in_background(std::move(owned));
    return result;
}

}  // namespace

// ---- read methods -----------------------------------------------------------------------------------

PyObject* all_versions(StoreCall& call, std::string kind) {
    const std::optional<std::uint8_t> code = kind_of(kind);
    if (!code) return nullptr;
    if (row_kind(*code) == RowKind::Edge) return versions_to_py(VORP_PY_TRY(all_edge_versions(call.store())));
    return versions_to_py(VORP_PY_TRY(all_node_versions(call.store())));
}

PyObject* believed(StoreCall& call, std::string kind, std::string identity, std::int64_t as_of_tt) {
    const std::optional<std::uint8_t> code = kind_of(kind);
    if (!code) return nullptr;
    if (row_kind(*code) == RowKind::Edge)
        return versions_to_py(VORP_PY_TRY(believed_edge_versions(call.store(), identity, as_of_tt)));
    return versions_to_py(VORP_PY_TRY(believed_node_versions(call.store(), identity, as_of_tt)));
}

PyObject* believed_any(StoreCall& call, std::vector<std::string> uids, std::int64_t as_of_tt) {
    const std::unordered_set<std::string> found = VORP_PY_TRY(nodes_with_believed_versions(call.store(), uids, as_of_tt));
    std::vector<std::string_view> sorted(found.begin(), found.end());
    // Byte order of the UTF-8 texts (string_view compares as unsigned bytes).
    std::sort(sorted.begin(), sorted.end());
    return list_of(sorted.size(), [&](std::size_t i) { return py_str(sorted[i]); });
}

PyObject* resolve_entities(StoreCall& call, std::string query, std::int64_t as_of_tt) {
    const std::vector<ResolvedEntity> entities = VORP_PY_TRY(vorp::resolve_entities(call.store(), query, as_of_tt));
    return list_of(entities.size(), [&](std::size_t i) -> PyObject* {
        const ResolvedEntity& entity = entities[i];
        PyObject* uid = py_str(entity.uid);
        PyObject* score = py_int(std::uint64_t{entity.score});
        PyObject* label = py_str(entity.label);
        PyObject* props = py_str(entity.props);
        if (uid == nullptr || score == nullptr || label == nullptr || props == nullptr) {
            Py_XDECREF(uid);
            Py_XDECREF(score);
            Py_XDECREF(label);
            Py_XDECREF(props);
            return nullptr;
        }
        PyObject* tuple = PyTuple_New(4);
        if (tuple == nullptr) {
            Py_DECREF(uid);
            Py_DECREF(score);
            Py_DECREF(label);
            Py_DECREF(props);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, 0, uid);
        PyTuple_SET_ITEM(tuple, 1, score);
        PyTuple_SET_ITEM(tuple, 2, label);
        PyTuple_SET_ITEM(tuple, 3, props);
        return tuple;
    });
}

PyObject* props_for_vids(StoreCall& call, std::string kind, std::vector<std::string> vids) {
    const std::optional<std::uint8_t> code = kind_of(kind);
    if (!code) return nullptr;
    std::unordered_map<std::string, std::string> found =
        VORP_PY_TRY(vorp::props_for_vids(call.store(), row_kind(*code), vids));
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    ConversionTicker ticker;
    // Each entry is given back once converted, so that a large answer is not freed all at once
    // after the last interruption point.
    while (!found.empty()) {
        const auto entry = found.extract(found.begin());
        PyObject* key = ticker.tick() ? py_str(entry.key()) : nullptr;
        PyObject* value = key != nullptr ? py_str(entry.mapped()) : nullptr;
        const bool stored = value != nullptr && PyDict_SetItem(dict, key, value) == 0;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (!stored) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

PyObject* edge_idents_at(StoreCall& call, std::vector<std::int64_t> seg_ids, std::vector<std::int64_t> seg_rows) {
    // Segment ids are the signed values reinterpreted (a negative one names no segment); rows are
    // cut to their low 32 bits.
    std::vector<std::uint64_t> ids(seg_ids.size());
    std::transform(seg_ids.begin(), seg_ids.end(), ids.begin(), [](std::int64_t v) { return static_cast<std::uint64_t>(v); });
    std::vector<std::uint32_t> rows(seg_rows.size());
    std::transform(seg_rows.begin(), seg_rows.end(), rows.begin(), [](std::int64_t v) { return static_cast<std::uint32_t>(v); });
    const std::vector<std::pair<std::string, std::string>> idents = VORP_PY_TRY(vorp::edge_idents_at(call.store(), ids, rows));
    PyObject* eids = list_of(idents.size(), [&](std::size_t i) { return py_str(idents[i].first); });
    if (eids == nullptr) return nullptr;
    PyObject* rel_types = list_of(idents.size(), [&](std::size_t i) { return py_str(idents[i].second); });
    if (rel_types == nullptr) {
        Py_DECREF(eids);
        return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
        Py_DECREF(eids);
        Py_DECREF(rel_types);
        return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, eids);
    PyTuple_SET_ITEM(pair, 1, rel_types);
    return pair;
}

PyObject* scan_nodes(StoreCall& call, std::int64_t as_of_tt, std::optional<std::int64_t> vt_min,
                     std::optional<std::int64_t> vt_max) {
    NativeStore& store = call.store();
    VORP_PY_TRY(store.assert_full_belief(as_of_tt));
    const Stopwatch materialize_clock;
    NodeScanOut scan = VORP_PY_TRY(scan_node_versions(store, as_of_tt, vt_min, vt_max));
    const double t_materialize_ms = materialize_clock.elapsed_ms();
    const Stopwatch convert_clock;
    using R = NodeScanRow;
    DictBuilder dict;
    dict.add("uid_id", int_array_column(scan.rows, &R::uid_id))
        .add("vt_s", int_array_column(scan.rows, &R::vt_s))
        .add("vt_e", int_array_column(scan.rows, &R::vt_e))
        .add("uid", str_column(scan.rows, &R::uid))
        .add("vid", str_column(scan.rows, &R::vid))
        .add("label", str_column(scan.rows, &R::label))
        .add("segments_total", py_int(static_cast<std::uint64_t>(store.manifest().node_store.size())))
        .add("rows", py_int(static_cast<std::uint64_t>(scan.rows.size())))
        .add("rows_examined", py_int(scan.rows_examined))
        .add("rows_materialized", py_int(scan.rows_materialized))
        .add("t_materialize_ms", PyFloat_FromDouble(t_materialize_ms))
        .add("t_sort_ms", PyFloat_FromDouble(0.0));
    release_in_background(std::move(scan.rows));
    return dict.add("t_convert_ms", PyFloat_FromDouble(convert_clock.elapsed_ms())).finish();
}

PyObject* version_page(StoreCall& call, std::string kind, std::int64_t as_of_tt, std::int64_t t_a, std::int64_t t_b,
                       std::string belief, std::optional<std::vector<std::string>> rel_types, std::int64_t offset,
                       std::int64_t limit) {
    const std::optional<std::uint8_t> code = kind_of(kind);
    if (!code) return nullptr;
    BeliefMode mode;
    if (belief == "current") {
        mode = BeliefMode::Current;
    } else if (belief == "superseded") {
        mode = BeliefMode::Superseded;
    } else if (belief == "all") {
        mode = BeliefMode::All;
    } else {
        const std::string message = fmt::format("unknown belief mode {}; expected 'current', 'superseded' or 'all'",
                                                debug_quoted(belief));
        PyErr_SetString(PyExc_RuntimeError, message.c_str());
        return nullptr;
    }
    const RowKind row_kind_value = row_kind(*code);
    if (row_kind_value == RowKind::Node && rel_types) {
        PyErr_SetString(PyExc_RuntimeError,
                        "'rel_types' is only meaningful with kind 'edge'; node versions have a label, not a "
                        "relationship type");
        return nullptr;
    }
    VersionQuery query;
    query.as_of_tt = as_of_tt;
    query.t_a = t_a;
    query.t_b = t_b;
    query.rel_types = rel_types ? &*rel_types : nullptr;
    query.belief = mode;
    VersionPage page = VORP_PY_TRY(vorp::version_page(call.store(), row_kind_value, query, offset, limit));
    DictBuilder dict;
    std::visit([&](auto& rows) {
        add_record_columns(dict, rows, true);
        release_in_background(std::move(rows));
    }, page.rows);
    return dict.add("rows_total", py_int(page.rows_total)).finish();
}

}  // namespace vorp::py
