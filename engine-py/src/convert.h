// Conversions of Python argument values to engine values.
//
// A conversion that fails leaves the interpreter's exception (type and text unchanged) with the
// note "while processing '{parameter}'" and returns nothing; the caller returns nullptr.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorp::py {

// Any int, or an object with __index__ (bool counts as 0 or 1). Refuses negative values and
// values above 2^64 - 1 with OverflowError, everything else with TypeError.
std::optional<std::uint64_t> to_u64(PyObject* value, std::string_view parameter);

}  // namespace vorp::py
