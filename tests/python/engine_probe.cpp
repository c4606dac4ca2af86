// _engine_probe: a test-only module that drives the error and array bridges of vorp._engine
// directly, so that pytest can check every mapping before any method raises them.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert.h"
#include "errors.h"
#include "native_store.h"
#include "numpy_bridge.h"
#include "store_method.h"
#include "store_probe.h"
#include "vorp/error.h"
#include "vorp/interrupt.h"
#include "vorp/threads.h"

namespace {

using vorp::Category;
using vorp::EngineError;

std::optional<Category> category_from_word(const std::string& word) {
    for (Category category : {Category::Corrupt, Category::NotFound, Category::Capacity, Category::Io,
                              Category::Invariant}) {
        if (vorp::category_word(category) == word) return category;
    }
    return std::nullopt;
}

// raise_engine_error(category, message, file=None, offset=None, row=None, remedy=None)
PyObject* raise_engine_error(PyObject*, PyObject* args, PyObject* kwargs) {
    return vorp::py::guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"category", "message", "file", "offset", "row", "remedy", nullptr};
        const char* category_text = nullptr;
        const char* message = nullptr;
        PyObject* file = Py_None;
        PyObject* offset = Py_None;
        PyObject* row = Py_None;
        PyObject* remedy = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|OOOO", keywords, &category_text, &message, &file,
                                         &offset, &row, &remedy)) {
            return nullptr;
        }
        const auto category = category_from_word(category_text);
        if (!category) {
            PyErr_SetString(PyExc_ValueError, "unknown category");
            return nullptr;
        }
        EngineError error;
        error.category = *category;
        error.message = message;
        if (file != Py_None) error.location.file = PyUnicode_AsUTF8(file);
        if (offset != Py_None) error.location.offset = PyLong_AsUnsignedLongLong(offset);
        if (row != Py_None) error.location.row = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(row));
        if (remedy != Py_None) error.remedy = PyUnicode_AsUTF8(remedy);
        if (PyErr_Occurred()) return nullptr;
        return vorp::py::err(std::move(error));
    });
}

// throw_cpp(kind, text): throws a C++ exception of `kind` through the entry-point firewall.
PyObject* throw_cpp(PyObject*, PyObject* args) {
    return vorp::py::guarded([&]() -> PyObject* {
        const char* kind = nullptr;
        const char* text = nullptr;
        if (!PyArg_ParseTuple(args, "ss", &kind, &text)) return nullptr;
        const std::string which = kind;
        if (which == "panic") vorp::engine_panic(text);
        if (which == "bad_alloc") throw std::bad_alloc();
        if (which == "runtime_error") throw std::runtime_error(text);
        throw 42;  // not derived from std::exception
    });
}

// to_u64(value, name): the unsigned 64-bit argument conversion.
PyObject* to_u64(PyObject*, PyObject* args) {
    PyObject* value = nullptr;
    const char* name = nullptr;
    if (!PyArg_ParseTuple(args, "Os", &value, &name)) return nullptr;
    const auto converted = vorp::py::to_u64(value, name);
    if (!converted) return nullptr;
    return PyLong_FromUnsignedLongLong(*converted);
}

template <class T>
PyObject* array_from_list(PyObject* list) {
    return vorp::py::guarded([&]() -> PyObject* {
        if (!PyList_Check(list)) {
            PyErr_SetString(PyExc_TypeError, "expected a list");
            return nullptr;
        }
        std::vector<T> values;
        for (Py_ssize_t index = 0; index < PyList_GET_SIZE(list); ++index) {
            const long long value = PyLong_AsLongLong(PyList_GET_ITEM(list, index));
            if (value == -1 && PyErr_Occurred()) return nullptr;
            values.push_back(static_cast<T>(value));
        }
        return vorp::py::to_numpy(std::move(values));
    });
}

PyObject* int64_array(PyObject*, PyObject* list) { return array_from_list<std::int64_t>(list); }
PyObject* uint32_array(PyObject*, PyObject* list) { return array_from_list<std::uint32_t>(list); }

// buffer_handover(n): (array, address) where `address` is where the engine vector of n uint32
// values 0..n-1 kept its elements before it was handed to NumPy.
PyObject* buffer_handover(PyObject*, PyObject* arg) {
    return vorp::py::guarded([&]() -> PyObject* {
        const Py_ssize_t count = PyLong_AsSsize_t(arg);
        if (count == -1 && PyErr_Occurred()) return nullptr;
        std::vector<std::uint32_t> values(static_cast<std::size_t>(count));
        for (std::size_t index = 0; index < values.size(); ++index) values[index] = static_cast<std::uint32_t>(index);
        const auto address = reinterpret_cast<std::uintptr_t>(values.data());
        PyObject* array = vorp::py::to_numpy(std::move(values));
        if (array == nullptr) return nullptr;
        return Py_BuildValue("(NK)", array, static_cast<unsigned long long>(address));
    });
}

// The points one watched call passed, in the order passed, with the work before each. At the
// `stop_at`-th point (1-based; 0: never) it trips SIGINT as a Ctrl-C arriving there would: a point
// on the caller's thread polls right after reporting, so the interpreter's SIGINT handler runs
// there; a worker's stop is seen at its caller's next poll.
class PointLog final : public vorp::InterruptWatcher {
public:
    explicit PointLog(std::size_t stop_at) : stop_at_(stop_at) {}

    void at_point(std::uint64_t work, bool caller, const void* site) noexcept override {
        const std::lock_guard lock(mutex_);
        works_.push_back(work);
        sites_.push_back(reinterpret_cast<std::uintptr_t>(site));
        workers_ += caller ? 0 : 1;
        if (works_.size() == stop_at_) PyErr_SetInterruptEx(SIGINT);
    }
    void at_close(std::uint64_t work) noexcept override {
        const std::lock_guard lock(mutex_);
        trailing_ = std::max(trailing_, work);
    }

    std::vector<std::uint64_t> works_;
    std::vector<std::uintptr_t> sites_;
    std::size_t workers_ = 0;
    std::uint64_t trailing_ = 0;

private:
    std::size_t stop_at_;
    std::mutex mutex_;
};

// watch(call, stop_at=0): runs call() with its interruption points watched (PointLog) and returns
// (outcome, result, works, sites, trailing, worker_points). outcome is "finished", "interrupted"
// (the call raised KeyboardInterrupt) or "signal-after-return" (the call ended without seeing the
// tripped SIGINT, which the interpreter would raise after it); works[i] is the work credited
// before the i-th point, sites[i] where that point was passed from, trailing the most work after
// a scope's last point. Another exception propagates. Only the NativeStore of this module (and
// its engine) is watched, not vorp._engine's.
PyObject* watch(PyObject*, PyObject* args) {
    return vorp::py::guarded([&]() -> PyObject* {
        PyObject* call = nullptr;
        Py_ssize_t stop_at = 0;
        if (!PyArg_ParseTuple(args, "O|n", &call, &stop_at)) return nullptr;
        PointLog log(static_cast<std::size_t>(std::max<Py_ssize_t>(stop_at, 0)));
        vorp::set_interrupt_watcher(&log);
        PyObject* result = PyObject_CallNoArgs(call);
        vorp::set_interrupt_watcher(nullptr);
        const char* outcome = "finished";
        if (result == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return nullptr;
            PyErr_Clear();
            outcome = "interrupted";
            result = Py_NewRef(Py_None);
        }
        if (PyErr_CheckSignals() != 0) {
            PyErr_Clear();
            outcome = "signal-after-return";
        }
        PyObject* works = PyList_New(0);
        PyObject* sites = PyList_New(0);
        for (std::size_t index = 0; works != nullptr && sites != nullptr && index < log.works_.size(); ++index) {
            PyObject* work = PyLong_FromUnsignedLongLong(log.works_[index]);
            PyObject* site = PyLong_FromSize_t(log.sites_[index]);
            const bool added = work != nullptr && site != nullptr && PyList_Append(works, work) == 0 &&
                               PyList_Append(sites, site) == 0;
            Py_XDECREF(work);
            Py_XDECREF(site);
            if (!added) Py_CLEAR(works);
        }
        if (works == nullptr || sites == nullptr) {
            Py_XDECREF(works);
            Py_XDECREF(sites);
            Py_DECREF(result);
            return nullptr;
        }
        return Py_BuildValue("(sNNNKn)", outcome, result, works, sites,
                             static_cast<unsigned long long>(log.trailing_), static_cast<Py_ssize_t>(log.workers_));
    });
}

// releases_in_progress(): results of stopped or finished calls still being freed on threads of
// their own (engine records and Python lists).
PyObject* releases_in_progress(PyObject*, PyObject*) {
    return PyLong_FromSize_t(vorp::releases_in_progress() + vorp::py::lists_being_released());
}

template <class Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef probe_functions[] = {
    {"raise_engine_error", as_cfunction(&raise_engine_error), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"throw_cpp", as_cfunction(&throw_cpp), METH_VARARGS, nullptr},
    {"to_u64", as_cfunction(&to_u64), METH_VARARGS, nullptr},
    {"int64_array", as_cfunction(&int64_array), METH_O, nullptr},
    {"uint32_array", as_cfunction(&uint32_array), METH_O, nullptr},
    {"buffer_handover", as_cfunction(&buffer_handover), METH_O, nullptr},
    {"watch", as_cfunction(&watch), METH_VARARGS, nullptr},
    {"releases_in_progress", as_cfunction(&releases_in_progress), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_definition = {
    PyModuleDef_HEAD_INIT, "_engine_probe", nullptr, -1, probe_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__engine_probe() {
    if (!vorp::py::init_panic_type()) return nullptr;
    vorp::py::install_interrupt_poll();
    PyObject* module = PyModule_Create(&probe_definition);
    if (module != nullptr && !add_probe_store(module)) Py_CLEAR(module);
    // The extension's own class, run by this module's copy of the engine, whose points watch sees.
    PyTypeObject* store_type = module == nullptr ? nullptr : vorp::py::native_store_type();
    if (module != nullptr && (store_type == nullptr || PyModule_AddType(module, store_type) < 0)) Py_CLEAR(module);
    return module;
}
