// The store verification method of NativeStore: verify($self, full=False).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "store_method.h"

namespace vorp::py {

// A shared method that keeps the interpreter lock throughout: the fast mode, or with `full` the
// full mode, as a dict of the report's counters, "problems", "findings" (one dict per finding)
// and "healthy". A manifest failing its own digest, and in full mode a segment the row walk
// cannot read, raise instead.
PyObject* verify(StoreCall& call, bool full);

}  // namespace vorp::py
