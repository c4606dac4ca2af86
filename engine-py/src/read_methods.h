// The read methods of NativeStore (all shared) and the conversion of version rows to Python.
//
// Results are column-oriented: one list (or int64 array) per field, element i of every column
// describing row i, in the engine's row order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store_method.h"
#include "vorp/read.h"

namespace vorp::py {

// A required parameter that also takes None (meaning absent): `rel_types` of version_page.
template <class Inner>
struct NoneOr {
    using type = std::optional<typename Inner::type>;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out) {
        if (value == Py_None) {
            out.reset();
            return true;
        }
        typename Inner::type converted{};
        if (!Inner::convert(value, converted)) return false;
        out = std::move(converted);
        return true;
    }
};

PyObject* all_versions(StoreCall& call, std::string kind);
PyObject* believed(StoreCall& call, std::string kind, std::string identity, std::int64_t as_of_tt);
PyObject* believed_any(StoreCall& call, std::vector<std::string> uids, std::int64_t as_of_tt);
PyObject* resolve_entities(StoreCall& call, std::string query, std::int64_t as_of_tt);
PyObject* props_for_vids(StoreCall& call, std::string kind, std::vector<std::string> vids);
PyObject* edge_idents_at(StoreCall& call, std::vector<std::int64_t> seg_ids, std::vector<std::int64_t> seg_rows);
PyObject* scan_nodes(StoreCall& call, std::int64_t as_of_tt, std::optional<std::int64_t> vt_min,
                     std::optional<std::int64_t> vt_max);
PyObject* version_page(StoreCall& call, std::string kind, std::int64_t as_of_tt, std::int64_t t_a, std::int64_t t_b,
                       std::string belief, std::optional<std::vector<std::string>> rel_types, std::int64_t offset,
                       std::int64_t limit);

}  // namespace vorp::py
