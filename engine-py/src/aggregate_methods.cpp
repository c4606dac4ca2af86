#include "aggregate_methods.h"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "docs.h"
#include "numpy_bridge.h"
#include "read_methods.h"
#include "store_method.h"
#include "vorp/aggregate.h"
#include "vorp/row.h"

namespace vorp::py {

namespace {

// One group_by or aggregates entry: a tuple of exactly two items, (str, str or None).
struct VocabTuple {
    using type = VocabPair;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out) {
        if (!PyTuple_Check(value)) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'tuple'", Py_TYPE(value)->tp_name);
            return false;
        }
        if (PyTuple_GET_SIZE(value) != 2) {
            PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd",
                         PyTuple_GET_SIZE(value));
            return false;
        }
        if (!Str::convert(PyTuple_GET_ITEM(value, 0), out.name)) return false;
        return NoneOr<Str>::convert(PyTuple_GET_ITEM(value, 1), out.second);
    }
};

PyObject* int_or_none(const std::optional<std::int64_t>& value) { return value ? py_int(*value) : py_none(); }

PyObject* float_or_none(const std::optional<double>& value) {
    return value ? PyFloat_FromDouble(*value) : py_none();
}

PyObject* aggregate_edges(StoreCall& call, std::int64_t as_of_tt, std::int64_t t_a, std::int64_t t_b,
                          std::optional<std::vector<std::string>> rel_types, std::optional<std::int64_t> stride,
                          std::vector<VocabPair> group_by, std::vector<VocabPair> aggregates, std::uint64_t max_groups) {
    auto vocab = translate_aggregate_vocab(group_by, aggregates, stride);
    if (!vocab) {
        PyErr_SetString(PyExc_RuntimeError, vocab.error().c_str());
        return nullptr;
    }
    AggregateRequest request;
    request.group_by = std::move(vocab->group_by);
    request.aggregates = std::move(vocab->aggregates);
    request.rel_types = std::move(rel_types);
    request.as_of_tt = as_of_tt;
    request.t_a = t_a;
    request.t_b = t_b;
    request.max_groups = max_groups;
    AggregateResult result = VORP_PY_TRY(vorp::aggregate_edges(call.store(), request));

    const std::size_t rows_total = result.aggs.empty()
                                       ? 0
                                       : std::visit([](const auto& column) { return column.size(); }, result.aggs[0]);
    PyObject* keys = list_of(result.keys.size(), [&](std::size_t index) { return to_numpy(std::move(result.keys[index])); });
    PyObject* aggs = keys == nullptr ? nullptr : list_of(result.aggs.size(), [&](std::size_t index) -> PyObject* {
        return std::visit(
            [](const auto& column) {
                return list_of(column.size(), [&](std::size_t row) {
                    if constexpr (std::is_same_v<std::decay_t<decltype(column)>, FloatValues>)
                        return float_or_none(column[row]);
                    else
                        return int_or_none(column[row]);
                });
            },
            result.aggs[index]);
    });
    const auto strings = [](const std::vector<std::string>& texts) {
        return list_of(texts.size(), [&](std::size_t index) { return py_str(texts[index]); });
    };
    return DictBuilder()
        .add("rows_total", py_int(static_cast<std::uint64_t>(rows_total)))
        .add("keys", keys)
        .add("aggs", aggs)
        .add("rel_names", strings(result.rel_names))
        .add("label_names", strings(result.label_names))
        .finish();
}

}  // namespace

PyMethodDef aggregate_edges_def() {
    return StoreMethod<"aggregate_edges($self, as_of_tt, t_a, t_b, rel_types, stride, group_by, aggregates, max_groups)",
                       Borrow::shared, &aggregate_edges, I64, I64, I64, NoneOr<ListOf<Str>>, NoneOr<I64>,
                       ListOf<VocabTuple>, ListOf<VocabTuple>, U64>::def(doc::AGGREGATE_EDGES);
}

}  // namespace vorp::py
