// The module-level functions of vorp._engine. Each is an entry point called by the interpreter
// with the module object as `self`; none keeps state between calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorp::py {

// ping(n=8): a new int64 array 0, 1, ..., n-1 over an engine buffer, handed to NumPy without a copy.
// A probe of the whole path: module, engine library and the zero-copy bridge.
PyObject* ping(PyObject* module, PyObject* args, PyObject* kwargs);

// core_version(): the engine's version text.
PyObject* core_version(PyObject* module, PyObject* unused);

// build_info(): a new dict describing how this build was made, for timing records.
PyObject* build_info(PyObject* module, PyObject* unused);

}  // namespace vorp::py
