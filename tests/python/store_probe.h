// The ProbeStore class of the test-only probe module (store_probe.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Adds ProbeStore to `module`; false with a Python error set on failure.
bool add_probe_store(PyObject* module);
