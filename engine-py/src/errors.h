// How engine failures become Python exceptions.
//
// An EngineError becomes a built-in exception chosen by its category, carrying the error's display
// text as its only argument. An internal failure (EnginePanic, any other C++ exception) becomes
// EnginePanic on the Python side, a class derived from BaseException so that an ordinary
// `except Exception` does not swallow a state the engine treats as impossible. No C++ exception
// may cross into the interpreter: every entry point runs its body through `guarded`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "vorp/error.h"
#include "vorp/interrupt.h"

namespace vorp {
class NativeStore;
}

namespace vorp::py {

// Creates the process-wide internal-failure exception class once; later calls do nothing.
// Returns false with a Python error set when the class cannot be created.
bool init_panic_type();

// The internal-failure exception class (null before init_panic_type succeeded).
PyObject* panic_type();

// The built-in exception class for an engine error category.
PyObject* exception_type_for(Category category);

// Raises `error` as the exception of its category with its display text; consumes the error.
// Always returns nullptr so that entry points can `return err(...)`. Inside a StoreErrorScope the
// error first passes through that store's explain_missing.
PyObject* err(EngineError error);

// Marks the calling thread as running a method of `store` (null: of no store) for the scope's
// lifetime. Every engine error of the method reaches `err`, whichever of its paths raises it and
// whichever thread made it, so this one place tells a file that another process's collection
// removed under the handle from a damaged store. A method that calls into Python code which
// calls another store's method gets its own store back when that call returns.
class StoreErrorScope {
public:
    explicit StoreErrorScope(const NativeStore* store) noexcept;
    ~StoreErrorScope();
    StoreErrorScope(const StoreErrorScope&) = delete;
    StoreErrorScope& operator=(const StoreErrorScope&) = delete;

private:
    const NativeStore* outer_;
};

// Raises the internal-failure exception with `text`. Always returns nullptr.
PyObject* raise_panic(std::string_view text);

// Adds the note "while processing '{parameter}'" to the exception being raised (an argument
// conversion failure). The exception keeps its type and text.
void note_argument(std::string_view parameter);

// Turns the C++ exception currently being handled into the matching Python exception:
// std::bad_alloc becomes MemoryError, everything else the internal-failure exception.
// Only valid inside a catch block.
void raise_current_exception() noexcept;

// ---- Ctrl-C during long reads ----------------------------------------------------------------------
// A read runs its engine call inside an interrupt scope (vorp/interrupt.h). The engine then asks,
// about every 100 ms of work, whether a signal is pending: the poll takes the interpreter lock
// when the call let it go, and runs PyErr_CheckSignals (the signal handlers, so a SIGINT becomes
// KeyboardInterrupt). When a handler raised, the engine abandons the call, and the call raises
// that exception, whatever else its abandoning raised, with nothing changed. Writers open no scope:
// a commit runs to its end and the pending signal is raised after it returns.

// Installs the poll for the process (the module's exec step).
void install_interrupt_poll();

// Runs `body` (which builds the call's result, or returns nullptr with an exception set) inside
// an interrupt scope; when the engine was told to stop, the result is dropped and the signal
// handler's exception is raised instead.
PyObject* finish_interruptible(const InterruptScope& scope, PyObject* result);
void drop_interrupt() noexcept;
template <class Body>
PyObject* interruptible(Body&& body) {
    const InterruptScope scope;
    PyObject* result = nullptr;
    try {
        result = body();
    } catch (...) {
        drop_interrupt();
        throw;
    }
    return finish_interruptible(scope, result);
}

// Converting a large result from the engine's output (or a long list argument of a read) runs on
// the caller's thread with the interpreter lock held and can take seconds: its loops pass
// interruption points too. One clock read every CONVERSION_TICK_ITEMS elements (an element costs
// tens of nanoseconds, so a due poll waits well under a millisecond past its 100 ms); the poll then
// runs the signal handlers at once. `tick` is false once the call is to stop, with
// KeyboardInterrupt raised (finish_interruptible puts the handler's own exception in its place);
// the converter drops what it made and fails.
inline constexpr std::uint64_t CONVERSION_TICK_ITEMS = 1024;
class ConversionTicker {
public:
    bool tick() {
        if (Status going = ticker_.tick(); !going) {
            err(std::move(going).error());
            return false;
        }
        return true;
    }

private:
    InterruptTicker ticker_{CONVERSION_TICK_ITEMS};
};

// Runs an entry point's body; a C++ exception escaping it is raised as a Python exception and
// the entry point returns nullptr.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

}  // namespace vorp::py
