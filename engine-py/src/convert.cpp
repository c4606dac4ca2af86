#include "convert.h"

#include "errors.h"

namespace vorp::py {

std::optional<std::uint64_t> to_u64(PyObject* value, std::string_view parameter) {
    // __index__ first: floats, str and None are refused with the interpreter's TypeError rather
    // than truncated or parsed.
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) {
        note_argument(parameter);
        return std::nullopt;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        note_argument(parameter);
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(converted);
}

}  // namespace vorp::py
