// The Python class NativeStore: one object wraps one engine store handle.
//
// Fields of an object, in this order: the handle; the event-log cursor staged for the next commit;
// the borrow flag (0 free, -1 held by one exclusive call, n > 0 held by n shared calls), changed
// only atomically, because the module declares it does not rely on the interpreter lock and two
// threads may call one object at once. Methods are written with the machinery of store_method.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vorp/store.h"

namespace vorp::py {

// The event-log cursor staged by set_event_cursor: (chain, offset).
struct PendingCursor {
    std::string chain;
    std::uint64_t offset = 0;
};

struct StoreState {
    std::unique_ptr<NativeStore> store;
    std::optional<PendingCursor> pending_cursor;
    std::atomic<Py_ssize_t> borrow{0};
};

struct StoreObject {
    PyObject_HEAD
    StoreState state;  // constructed by the class's tp_new once the store is open
};

// The module's NativeStore class: created at first use and kept for the rest of the process.
// Returns nullptr with a Python error set when it cannot be created.
PyTypeObject* native_store_type();

// A class with NativeStore's constructor (path: str, runs the store open), deallocation (drops the
// handle, which unpins it) and object layout, and the given method table (which must outlive
// the class). The module's class is one; a test module builds another to drive the machinery.
// Returns a new reference, or nullptr with a Python error set.
PyTypeObject* create_store_class(const char* qualified_name, const char* doc, PyMethodDef* methods);

}  // namespace vorp::py
