// The columnar edge scan as a NativeStore method.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorp::py {

// The method table row of scan_edges($self, as_of_tt=..., vt_min=None, vt_max=None,
// rel_types=None, touching_ids=None, touching_both=False, limit=None, columns=None).
PyMethodDef scan_edges_method();

}  // namespace vorp::py
