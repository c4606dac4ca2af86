#define VORP_NUMPY_API_DEFINE_TABLE
#include "numpy_api.h"

#include "numpy_bridge.h"

#include <atomic>
#include <memory>
#include <utility>

#include "errors.h"

namespace vorp::py {

namespace {

// The table pointer (PyArray_API) and the runtime feature version are written only under
// g_api_lock while g_api_ready is false, and read only after g_api_ready was seen true (acquire).
// No Python code runs under the lock: the import happens before it is taken, and errors are
// raised after it is released, so a finalizer or import hook that calls back into this module
// cannot deadlock on it. PyMutex also detaches the thread state while it waits, so a waiter never
// blocks a thread that holds the lock and needs the interpreter.
std::atomic<bool> g_api_ready{false};
PyMutex g_api_lock = {};

constexpr const char* kNumpyUnreachable = "Failed to access NumPy array API capsule";

// Imports NumPy's multiarray module and returns the table inside its `_ARRAY_API` capsule, or
// nullptr with the Python error that stopped it.
void** fetch_api_table() {
    PyObject* multiarray = PyImport_ImportModule("numpy._core.multiarray");
    if (multiarray == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        multiarray = PyImport_ImportModule("numpy.core.multiarray");
    }
    if (multiarray == nullptr) return nullptr;
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (capsule == nullptr) return nullptr;
    void** table = nullptr;
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
    } else {
        table = static_cast<void**>(PyCapsule_GetPointer(capsule, nullptr));
        if (table == nullptr && !PyErr_Occurred()) {
            PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API holds a null pointer");
        }
    }
    // The table is static data of NumPy's extension module, which is never unloaded.
    Py_DECREF(capsule);
    return table;
}

struct ApiCheck {
    bool usable = false;
    unsigned int abi_version = 0;
    unsigned int feature_version = 0;
    bool endianness_matches = true;
};

// Under g_api_lock: installs `table` if the running NumPy can serve what this module was built
// against. Raises nothing (see the lock's comment); the caller reports a refusal.
ApiCheck install_api_table(void** table) {
    ApiCheck check;
    PyArray_API = table;
    check.abi_version = PyArray_GetNDArrayCVersion();
    check.feature_version = PyArray_GetNDArrayCFeatureVersion();
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
    check.endianness_matches = PyArray_GetEndianness() == NPY_CPU_BIG;
#else
    check.endianness_matches = PyArray_GetEndianness() == NPY_CPU_LITTLE;
#endif
    check.usable = check.abi_version <= NPY_VERSION && check.feature_version >= NPY_FEATURE_VERSION &&
                   check.endianness_matches;
    if (check.usable) {
        PyArray_RUNTIME_VERSION = static_cast<int>(check.feature_version);
        g_api_ready.store(true, std::memory_order_release);
    } else {
        PyArray_API = nullptr;
    }
    return check;
}

void raise_refusal(const ApiCheck& check) {
    if (!check.endianness_matches) {
        PyErr_SetString(PyExc_RuntimeError, "NumPy reports a byte order other than this module's");
    } else if (check.abi_version > NPY_VERSION) {
        PyErr_Format(PyExc_RuntimeError, "NumPy's C ABI version 0x%x is newer than the 0x%x this module was built for",
                     check.abi_version, static_cast<unsigned int>(NPY_VERSION));
    } else {
        PyErr_Format(PyExc_RuntimeError, "NumPy's C API version 0x%x is older than the 0x%x this module needs",
                     check.feature_version, static_cast<unsigned int>(NPY_FEATURE_VERSION));
    }
}

// Replaces the pending Python error with the internal-failure exception, keeping it as the cause.
// Some errors stay as they are, since they say nothing about NumPy: a MemoryError (the interpreter
// ran out of memory importing it), and whatever derives from BaseException but not from Exception
// (KeyboardInterrupt from a Ctrl-C during the import, SystemExit from a signal handler that ends
// the program): those ask the program to stop, and an internal failure in their place would
// misreport a Ctrl-C as a fault of the engine. Nothing is remembered of a failed import, so the
// next call imports again. (A signal handler raising an ordinary Exception during the import
// cannot be told from NumPy failing to load: that one becomes the cause of the internal failure.)
void raise_unreachable() {
    if (PyObject* pending = PyErr_Occurred();
        pending != nullptr && (PyErr_GivenExceptionMatches(pending, PyExc_MemoryError) ||
                               !PyErr_GivenExceptionMatches(pending, PyExc_Exception)))
        return;
    PyObject* cause = PyErr_GetRaisedException();
    raise_panic(kNumpyUnreachable);
    if (cause == nullptr) return;
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        Py_DECREF(cause);
        return;
    }
    PyException_SetCause(raised, cause);  // steals `cause`
    PyErr_SetRaisedException(raised);
}

const char kHolderName[] = "vorp._engine.buffer";

template <class Vector>
void free_holder(PyObject* holder) {
    delete static_cast<Vector*>(PyCapsule_GetPointer(holder, kHolderName));
}

template <class T, int TypeNum, class Allocator>
PyObject* array_over(std::vector<T, Allocator>&& values) {
    using Vector = std::vector<T, Allocator>;
    if (!numpy_api_ready()) return nullptr;
    auto owned = std::make_unique<Vector>(std::move(values));  // moves the buffer, no copy
    // NumPy wants a non-null, aligned pointer even for zero elements; an empty vector may have none.
    if (owned->data() == nullptr) owned->reserve(1);
    T* data = owned->data();
    npy_intp length = static_cast<npy_intp>(owned->size());

    PyObject* holder = PyCapsule_New(owned.get(), kHolderName, &free_holder<Vector>);
    if (holder == nullptr) return nullptr;  // `owned` still frees the buffer
    owned.release();                        // the holder owns it from here

    PyObject* array = PyArray_SimpleNewFromData(1, &length, TypeNum, data);
    if (array == nullptr) {
        Py_DECREF(holder);
        return nullptr;
    }
    // Steals the holder's reference, also on failure.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), holder) < 0) {
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace

bool numpy_api_ready() {
    if (g_api_ready.load(std::memory_order_acquire)) return true;
    void** table = fetch_api_table();
    if (table == nullptr) {
        raise_unreachable();
        return false;
    }
    ApiCheck check;
    PyMutex_Lock(&g_api_lock);
    if (g_api_ready.load(std::memory_order_relaxed)) {
        check.usable = true;  // another thread installed it meanwhile
    } else {
        check = install_api_table(table);
    }
    PyMutex_Unlock(&g_api_lock);
    if (check.usable) return true;
    raise_refusal(check);
    raise_unreachable();
    return false;
}

PyObject* to_numpy(std::vector<std::int64_t>&& values) { return array_over<std::int64_t, NPY_INT64>(std::move(values)); }

PyObject* to_numpy(std::vector<std::uint32_t>&& values) { return array_over<std::uint32_t, NPY_UINT32>(std::move(values)); }

PyObject* to_numpy(Column<std::int64_t>&& values) { return array_over<std::int64_t, NPY_INT64>(std::move(values)); }

PyObject* to_numpy(Column<std::uint32_t>&& values) { return array_over<std::uint32_t, NPY_UINT32>(std::move(values)); }

}  // namespace vorp::py
