#include "errors.h"

#include <atomic>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "vorp/store.h"

namespace vorp::py {

namespace {

// Created by the first exec step of the module and kept for the rest of the process, so that an
// exception raised by an array outliving a module object still has its class.
std::atomic<PyObject*> g_panic_type{nullptr};

PyObject* text_object(std::string_view text) {
    // Engine texts are UTF-8 (paths are shown lossily); "replace" keeps a stray byte from turning
    // the report into a decoding error.
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Raises `type(text)`.
void raise_with_text(PyObject* type, std::string_view text) {
    PyObject* message = text_object(text);
    if (message == nullptr) return;  // the decoding failure (memory) is raised instead
    // A tuple value would be unpacked into several arguments; a str is passed as the only one.
    PyErr_SetObject(type, message);
    Py_DECREF(message);
}

}  // namespace

bool init_panic_type() {
    if (g_panic_type.load(std::memory_order_acquire) != nullptr) return true;
    PyObject* type = PyErr_NewExceptionWithDoc(
        "vorp._engine.EnginePanic",
        "An internal failure of the engine: a state its code treats as impossible.",
        PyExc_BaseException, nullptr);
    if (type == nullptr) return false;
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(type);  // another module object got there first; keep the one published
    }
    return true;
}

PyObject* panic_type() { return g_panic_type.load(std::memory_order_acquire); }

PyObject* exception_type_for(Category category) {
    switch (category) {
        case Category::Corrupt: return PyExc_RuntimeError;
        case Category::NotFound: return PyExc_KeyError;
        case Category::Capacity: return PyExc_OverflowError;
        case Category::Io: return PyExc_OSError;
        case Category::Invariant: return PyExc_RuntimeError;
        case Category::Interrupted: return PyExc_KeyboardInterrupt;
    }
    return PyExc_RuntimeError;
}

namespace {

// The store whose method runs on this thread. Initial-exec: no allocation at its first use on a
// thread.
[[gnu::tls_model("initial-exec")]] thread_local const NativeStore* store_in_call = nullptr;

}  // namespace

StoreErrorScope::StoreErrorScope(const NativeStore* store) noexcept : outer_(store_in_call) { store_in_call = store; }

StoreErrorScope::~StoreErrorScope() { store_in_call = outer_; }

PyObject* err(EngineError error) {
    if (store_in_call != nullptr && error.category != Category::Interrupted)
        error = store_in_call->explain_missing(std::move(error));
    // An abandoned call raises what the signal handler raised (finish_interruptible); the bare
    // KeyboardInterrupt stands in until then, or should no handler's exception be at hand.
    if (error.category == Category::Interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        return nullptr;
    }
    raise_with_text(exception_type_for(error.category), error.display());
    return nullptr;
}

namespace {

// The exception a signal handler raised during the calling thread's read, held from the poll
// until the call returns (only that thread touches it, with the interpreter lock held).
// Initial-exec: no allocation at its first use on a thread.
[[gnu::tls_model("initial-exec")]] thread_local PyObject* pending_interrupt = nullptr;

bool poll_signals() {
    const PyGILState_STATE state = PyGILState_Ensure();
    bool stop = false;
    // A call that has a Python error set is ending already: its signals wait for the interpreter.
    if (!PyErr_Occurred() && PyErr_CheckSignals() != 0) {
        Py_XDECREF(pending_interrupt);
        pending_interrupt = PyErr_GetRaisedException();
        stop = true;
    }
    PyGILState_Release(state);
    return stop;
}

}  // namespace

void install_interrupt_poll() { set_interrupt_poll(&poll_signals); }

void drop_interrupt() noexcept { Py_CLEAR(pending_interrupt); }

PyObject* finish_interruptible(const InterruptScope& scope, PyObject* result) {
    if (!scope.stopped()) return result;
    Py_XDECREF(result);
    PyObject* raised = std::exchange(pending_interrupt, nullptr);
    if (raised != nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
    } else if (!PyErr_Occurred()) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    return nullptr;
}

PyObject* raise_panic(std::string_view text) {
    if (!init_panic_type()) return nullptr;  // the failure to create the class is raised
    raise_with_text(panic_type(), text);
    return nullptr;
}

void note_argument(std::string_view parameter) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) return;
    std::string note = "while processing '";
    note.append(parameter);
    note.push_back('\'');
    PyObject* result = nullptr;
    if (PyObject* note_text = text_object(note)) {
        result = PyObject_CallMethod(raised, "add_note", "O", note_text);
        Py_DECREF(note_text);
    }
    if (result == nullptr) {
        // Only memory exhaustion gets here; the conversion failure itself matters more than
        // its note, so it is the one raised.
        PyErr_Clear();
    } else {
        Py_DECREF(result);
    }
    PyErr_SetRaisedException(raised);
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const EnginePanic& panic) {
        raise_panic(panic.text);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

}  // namespace vorp::py
