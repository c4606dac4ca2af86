// NativeStore.aggregate_edges: the caller's vocabulary of dimensions and aggregates turned into an
// engine request, the grouped aggregate run on the caller's thread (with the interpreter lock held),
// and its result as a dict of zero-copy key arrays and value lists.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorp::py {

// The method table row of
// "aggregate_edges($self, as_of_tt, t_a, t_b, rel_types, stride, group_by, aggregates, max_groups)",
// a shared method. Returns dict {"rows_total", "keys", "aggs", "rel_names", "label_names"}.
PyMethodDef aggregate_edges_def();

}  // namespace vorp::py
