#include "store_method.h"

#include <array>
#include <atomic>
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "vorp/text.h"
#include "vorp/threads.h"

namespace vorp::py {

// ---- borrow ---------------------------------------------------------------------------------------

BorrowGuard::BorrowGuard(StoreState& state, Borrow kind) : state_(state), kind_(kind) {
    if (kind == Borrow::exclusive) {
        Py_ssize_t expected = 0;
        if (!state.borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
    } else {
        Py_ssize_t seen = state.borrow.load(std::memory_order_relaxed);
        do {
            if (seen == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
        } while (!state.borrow.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }
    held_ = true;
}

BorrowGuard::~BorrowGuard() {
    if (!held_) return;
    if (kind_ == Borrow::exclusive) {
        state_.borrow.store(0, std::memory_order_release);
    } else {
        state_.borrow.fetch_sub(1, std::memory_order_release);
    }
}

// ---- converters -----------------------------------------------------------------------------------

bool I64::convert(PyObject* value, type& out) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) return false;
    const long long converted = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (converted == -1 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool U64::convert(PyObject* value, type& out) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) return false;
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool U32::convert(PyObject* value, type& out) {
    PyObject* index = PyNumber_Index(value);
    if (index == nullptr) return false;
    int overflow = 0;
    const long long converted = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (converted == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || converted < 0 || converted > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(converted);
    return true;
}

bool Str::convert(PyObject* value, type& out) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &length);
    if (text == nullptr) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
    out.assign(text, static_cast<std::size_t>(length));
    return true;
}

bool Bool::convert(PyObject* value, type& out) {
    if (PyBool_Check(value)) {
        out = value == Py_True;
        return true;
    }
    // A NumPy bool scalar, recognised by its type name so that NumPy need not be loaded.
    const char* name = Py_TYPE(value)->tp_name;
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got %.200s", Py_TYPE(value)->tp_name);
    return false;
}

bool check_list_argument(PyObject* value, Py_ssize_t& length) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(value)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence, got %.200s", Py_TYPE(value)->tp_name);
        return false;
    }
    length = PySequence_Size(value);
    return length >= 0;
}

// ---- results and words ----------------------------------------------------------------------------

PyObject* py_int(std::int64_t value) { return PyLong_FromLongLong(value); }
PyObject* py_int(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
PyObject* py_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}
PyObject* py_str_taking(std::string& text) {
    PyObject* str = py_str(text);
    std::string().swap(text);
    return str;
}
PyObject* py_bool(bool value) { return PyBool_FromLong(value ? 1 : 0); }
PyObject* py_none() { Py_RETURN_NONE; }

// ---- dropping large results ----------------------------------------------------------------------

namespace {

// Items a releasing thread drops under one hold of the interpreter lock: about a millisecond.
constexpr Py_ssize_t RELEASE_SLICE = Py_ssize_t{1} << 15;

// The thread's body: the list's tail cut off a slice at a time, the lock taken for each slice only,
// so that the caller's Python code runs on between them. Started through the interpreter's own
// thread API and holding no C++ object: when the interpreter is finalizing it ends the thread
// inside PyGILState_Ensure, and the list is then simply left to the end of the process.
std::atomic<std::size_t> lists_releasing{0};

void release_list_slices(void* argument) {
    PyObject* list = static_cast<PyObject*>(argument);
    for (bool done = false; !done;) {
        const PyGILState_STATE state = PyGILState_Ensure();
        const Py_ssize_t size = PyList_GET_SIZE(list);
        if (size <= RELEASE_SLICE || PyList_SetSlice(list, size - RELEASE_SLICE, size, nullptr) != 0) {
            PyErr_Clear();
            Py_DECREF(list);
            lists_releasing.fetch_sub(1, std::memory_order_release);
            done = true;
        }
        PyGILState_Release(state);
    }
}

}  // namespace

void release_later(PyObject* object) {
    if (object == nullptr) return;
    if (PyDict_CheckExact(object)) {
        // The dict of a result that failed part-way: its finished columns go their own way once
        // the dict has let go of them (a result dict has a few dozen keys at most).
        std::array<PyObject*, 32> columns{};
        std::size_t count = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        for (Py_ssize_t at = 0; PyDict_Next(object, &at, &key, &value) && count < columns.size();)
            if (PyList_CheckExact(value) && PyList_GET_SIZE(value) >= Py_ssize_t{RELEASE_IN_BACKGROUND_FROM})
                columns[count++] = Py_NewRef(value);
        Py_DECREF(object);
        for (std::size_t index = 0; index < count; ++index) release_later(columns[index]);
        return;
    }
    // Only a list nothing else holds: the thread empties it while the caller's code runs.
    if (PyList_CheckExact(object) && PyList_GET_SIZE(object) >= Py_ssize_t{RELEASE_IN_BACKGROUND_FROM} &&
        Py_REFCNT(object) == 1) {
        lists_releasing.fetch_add(1, std::memory_order_relaxed);
        if (PyThread_start_new_thread(&release_list_slices, object) != PYTHREAD_INVALID_THREAD_ID) return;
        lists_releasing.fetch_sub(1, std::memory_order_relaxed);
    }
    Py_DECREF(object);
}

std::size_t lists_being_released() { return lists_releasing.load(std::memory_order_acquire); }

DictBuilder::DictBuilder() : dict_(PyDict_New()) {}

DictBuilder::~DictBuilder() { release_later(std::exchange(dict_, nullptr)); }

DictBuilder& DictBuilder::add(const char* key, PyObject* value) {
    if (value == nullptr || dict_ == nullptr) {
        release_later(value);
        release_later(std::exchange(dict_, nullptr));
        return *this;
    }
    const int rc = PyDict_SetItemString(dict_, key, value);
    Py_DECREF(value);
    if (rc != 0) Py_CLEAR(dict_);
    return *this;
}

PyObject* DictBuilder::finish() { return std::exchange(dict_, nullptr); }

std::optional<std::uint8_t> kind_of(std::string_view word) {
    if (word == "node") return std::uint8_t{0};
    if (word == "edge") return std::uint8_t{1};
    const std::string message = fmt::format("unknown row kind {}; expected 'node' or 'edge'", debug_quoted(word));
    if (PyObject* text = py_str(message)) {
        PyErr_SetObject(PyExc_RuntimeError, text);
        Py_DECREF(text);
    }
    return std::nullopt;
}

// ---- signatures -----------------------------------------------------------------------------------

ParsedSignature::ParsedSignature(std::string_view signature, std::size_t first_optional, std::string_view prose) {
    const std::size_t open = signature.find('(');
    name = std::string(signature.substr(0, open));
    // "$self" comes first; every later parameter follows a comma.
    std::string_view rest = signature.substr(open + 1, signature.rfind(')') - open - 1);
    for (std::size_t comma; (comma = rest.find(',')) != std::string_view::npos;) {
        rest.remove_prefix(comma + 1);
        std::string_view parameter = rest.substr(0, rest.find(','));
        while (!parameter.empty() && parameter.front() == ' ') parameter.remove_prefix(1);
        parameters.emplace_back(parameter.substr(0, parameter.find('=')));
    }
    for (std::string& parameter : parameters) keywords.push_back(parameter.data());
    keywords.push_back(nullptr);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (i == first_optional) format.push_back('|');
        format.push_back('O');
    }
    format += ":" + name;
    doc = fmt::format("{}\n--\n\n{}", signature, prose);
}

}  // namespace vorp::py
