// Engine buffers handed to NumPy without copying.
//
// An array made here is one-dimensional, contiguous and writeable; its memory is the vector's own
// buffer, and its base object is a holder that owns that buffer and frees it when the last array
// or view over it is gone. The array therefore outlives the call, the module object and any store
// object it came from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "vorp/column.h"

namespace vorp::py {

using vorp::Column;

// Loads NumPy's C API table on first use (importing numpy._core.multiarray, or numpy.core.multiarray
// for a NumPy without `_core`). Returns false with the internal-failure exception "Failed to access
// NumPy array API capsule" raised when NumPy cannot be reached; the reason is its __cause__. An
// import stopped by a Ctrl-C (or out of memory) raises that instead, and the next call tries again.
bool numpy_api_ready();

// A new int64 / uint32 array over `values`' buffer. Returns nullptr with a Python error set.
// May throw std::bad_alloc (entry points run inside `guarded`).
PyObject* to_numpy(std::vector<std::int64_t>&& values);
PyObject* to_numpy(std::vector<std::uint32_t>&& values);
PyObject* to_numpy(Column<std::int64_t>&& values);
PyObject* to_numpy(Column<std::uint32_t>&& values);

}  // namespace vorp::py
