#include "functions.h"

#include <cstdint>
#include <numeric>
#include <string_view>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "numpy_bridge.h"
#include "vorp/manifest.h"

namespace vorp::py {

namespace {

// The engine's version, recorded by callers in determinism receipts: the project version the
// engine library was built with.
constexpr std::string_view ENGINE_VERSION = VORP_VERSION;

// The build system passes the lower-cased build type and the optimisation level it compiled with;
// a build that did not capture them says "unknown".
#ifdef VORP_BUILD_TYPE
constexpr std::string_view BUILD_PROFILE = VORP_BUILD_TYPE;
#else
constexpr std::string_view BUILD_PROFILE = "";
#endif
#ifdef VORP_OPT_LEVEL
constexpr std::string_view BUILD_OPT_LEVEL = VORP_OPT_LEVEL;
#else
constexpr std::string_view BUILD_OPT_LEVEL = "";
#endif

// The engine's debug-only self-checks are compiled in exactly when assertions are.
#ifdef NDEBUG
constexpr bool DEBUG_ASSERTIONS = false;
#else
constexpr bool DEBUG_ASSERTIONS = true;
#endif

PyObject* text(std::string_view value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* captured_or_unknown(std::string_view value) { return text(value.empty() ? "unknown" : value); }

// Sets dict[key] = value, consuming `value`; false with a Python error set on failure.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

}  // namespace

PyObject* ping(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"n", nullptr};
        PyObject* n_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ping", keywords, &n_arg)) {
            return nullptr;
        }
        std::uint64_t n = 8;
        if (n_arg != nullptr) {
            const auto converted = to_u64(n_arg, "n");
            if (!converted) return nullptr;
            n = *converted;
        }
        // n * 8 bytes must be representable before anything is allocated; a count beyond that is
        // memory the process cannot have.
        if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / sizeof(std::int64_t)) return PyErr_NoMemory();
        if (!numpy_api_ready()) return nullptr;
        std::vector<std::int64_t> values(static_cast<std::size_t>(n));  // std::bad_alloc -> MemoryError
        std::iota(values.begin(), values.end(), std::int64_t{0});
        return to_numpy(std::move(values));
    });
}

PyObject* core_version(PyObject* /*module*/, PyObject* /*unused*/) { return text(ENGINE_VERSION); }

PyObject* build_info(PyObject* /*module*/, PyObject* /*unused*/) {
    PyObject* info = PyDict_New();
    if (info == nullptr) return nullptr;
    // Insertion order is part of the interface.
    const bool filled = set_item(info, "profile", captured_or_unknown(BUILD_PROFILE)) &&
                        set_item(info, "opt_level", captured_or_unknown(BUILD_OPT_LEVEL)) &&
                        set_item(info, "engine_version", text(ENGINE_VERSION)) &&
                        set_item(info, "debug_assertions", PyBool_FromLong(DEBUG_ASSERTIONS)) &&
                        set_item(info, "manifest_format_version", PyLong_FromUnsignedLong(MANIFEST_FORMAT_VERSION));
    if (!filled) {
        Py_DECREF(info);
        return nullptr;
    }
    return info;
}

}  // namespace vorp::py
