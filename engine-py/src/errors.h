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

#include <string_view>

#include "vorp/error.h"

namespace vorp::py {

// Creates the process-wide internal-failure exception class once; later calls do nothing.
// Returns false with a Python error set when the class cannot be created.
bool init_panic_type();

// The internal-failure exception class (null before init_panic_type succeeded).
PyObject* panic_type();

// The built-in exception class for an engine error category.
PyObject* exception_type_for(Category category);

// Raises `error` as the exception of its category with its display text; consumes the error.
// Always returns nullptr so that entry points can `return err(...)`.
PyObject* err(EngineError error);

// Raises the internal-failure exception with `text`. Always returns nullptr.
PyObject* raise_panic(std::string_view text);

// Adds the note "while processing '{parameter}'" to the exception being raised (an argument
// conversion failure). The exception keeps its type and text.
void note_argument(std::string_view parameter);

// Turns the C++ exception currently being handled into the matching Python exception:
// std::bad_alloc becomes MemoryError, everything else the internal-failure exception.
// Only valid inside a catch block.
void raise_current_exception() noexcept;

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
