// The module functions that run an analytic operator on columns the caller passes, without a
// store: interval_pairs and motif_match. Both release the interpreter lock while the engine works
// on its own copies or on read-only borrows of the inputs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorp::py {

// interval_pairs(lo, hi, a_vt_e, b_vt_e, require_b_end_after_a_end): a list of (a_row, b_row)
// tuples, by A-row then B-row.
PyObject* interval_pairs(PyObject* module, PyObject* args, PyObject* kwargs);

// motif_match(motif, src, dst, t, eid, delta, collect=False): (count, instances), where instances
// is a list of [i, j, k] row triples (empty unless `collect`). src, dst and t are one-dimensional
// int64 NumPy arrays read in place.
PyObject* motif_match(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace vorp::py
