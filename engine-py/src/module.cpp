// The definition of the extension module vorp._engine (multi-phase initialisation).
//
// PyInit__engine only hands the definition to the interpreter; everything is created by the exec
// step, once per module object. Importing opens no store and starts no thread. The module keeps
// no state of its own and declares that it does not rely on the interpreter lock: every store
// object serialises its callers through its own borrow flag and the engine's caches have their
// own mutexes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "analytics.h"
#include "docs.h"
#include "errors.h"
#include "functions.h"
#include "native_store.h"
#include "vorp/manifest.h"
#include "vorp/row.h"
#include "vorp/segment.h"
#include "vorp/staging.h"

namespace vorp::py {

namespace {

template <class Function>
PyCFunction as_cfunction(Function function) {
    // The interpreter calls through the generic signature and dispatches on the METH_* flags.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Registered in this order, each bound to the module object.
PyMethodDef module_functions[] = {
    {"interval_pairs", as_cfunction(&interval_pairs), METH_VARARGS | METH_KEYWORDS, doc::INTERVAL_PAIRS},
    {"motif_match", as_cfunction(&motif_match), METH_VARARGS | METH_KEYWORDS, doc::MOTIF_MATCH},
    {"ping", as_cfunction(&ping), METH_VARARGS | METH_KEYWORDS, doc::PING},
    {"core_version", as_cfunction(&core_version), METH_NOARGS, doc::CORE_VERSION},
    {"build_info", as_cfunction(&build_info), METH_NOARGS, doc::BUILD_INFO},
    {nullptr, nullptr, 0, nullptr},
};

// The engine numbers the Python side checks its own copies against, taken from the modules that
// own them. PyModule_Add consumes `value`, also when it is null (the creation error is reported).
bool add_constants(PyObject* module) {
    return PyModule_Add(module, "FORMAT_VERSION", PyLong_FromUnsignedLong(SEGMENT_FORMAT)) == 0 &&
           PyModule_Add(module, "MANIFEST_FORMAT_VERSION", PyLong_FromUnsignedLong(MANIFEST_FORMAT_VERSION)) == 0 &&
           PyModule_Add(module, "OPEN_END", PyLong_FromLongLong(OPEN_END)) == 0 &&
           PyModule_Add(module, "BLOCK_ROWS", PyLong_FromUnsignedLong(BLOCK_ROWS)) == 0 &&
           PyModule_Add(module, "SEGMENT_TARGET_BYTES", PyLong_FromUnsignedLongLong(SEGMENT_TARGET_BYTES)) == 0;
}

// Returns 0, or -1 with a Python error set; the first failing step fails the import.
int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'module'", Py_TYPE(module)->tp_name);
        return -1;
    }
    // The internal-failure exception must exist before any entry point can need it.
    if (!init_panic_type()) return -1;
    install_interrupt_poll();
    // The NativeStore class comes first, ahead of the functions.
    PyTypeObject* store_type = native_store_type();
    if (store_type == nullptr || PyModule_AddType(module, store_type) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (!add_constants(module)) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    PyDoc_STR("The engine's constants are exported so that the Python side can assert agreement with its own "
              "model module rather than trust two copies of one number."),
    0,        // no per-module state
    nullptr,  // functions are added by the exec step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vorp::py

PyMODINIT_FUNC PyInit__engine() { return PyModuleDef_Init(&vorp::py::module_definition); }
