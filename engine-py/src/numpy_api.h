// The NumPy C API as this module uses it: one function table shared by every translation unit,
// loaded from NumPy's `_ARRAY_API` capsule by numpy_bridge.cpp (see numpy_api_ready). Include this
// header, never <numpy/arrayobject.h> directly, and call numpy_api_ready() before any PyArray_*.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vorp_numpy_array_api
#ifndef VORP_NUMPY_API_DEFINE_TABLE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
