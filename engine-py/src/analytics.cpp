#include "numpy_api.h"

#include "analytics.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "errors.h"
#include "numpy_bridge.h"
#include "vorp/interval.h"
#include "vorp/motif.h"

namespace vorp::py {

namespace {

// ---- argument conversions -------------------------------------------------------------------
// Each returns nothing with the conversion's exception raised and noted with the parameter.

// An owned reference, released at scope exit.
struct Ref {
    PyObject* object = nullptr;
    Ref() = default;
    explicit Ref(PyObject* owned) : object(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object(other.object) { other.object = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object);
            object = other.release();
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object); }
    PyObject* get() const { return object; }
    PyObject* release() {
        PyObject* owned = object;
        object = nullptr;
        return owned;
    }
};

template <class T>
std::optional<T> refuse(std::string_view parameter) {
    note_argument(parameter);
    return std::nullopt;
}

template <class T>
std::optional<T> refuse_type(PyObject* value, const char* wanted, std::string_view parameter) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to '%s'", Py_TYPE(value)->tp_name, wanted);
    return refuse<T>(parameter);
}

constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";

// A str (or subclass), read in place as UTF-8; the view lives as long as the object.
std::optional<std::string_view> to_text(PyObject* value, std::string_view parameter) {
    if (!PyUnicode_Check(value)) return refuse_type<std::string_view>(value, "str", parameter);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);  // refuses lone surrogates
    if (data == nullptr) return refuse<std::string_view>(parameter);
    return std::string_view(data, static_cast<std::size_t>(size));
}

// An int or an object with __index__ (bool counts as 0 or 1); out of range: OverflowError.
std::optional<std::int64_t> int64_of(PyObject* value) {
    Ref index(PyNumber_Index(value));
    if (index.get() == nullptr) return std::nullopt;
    const long long converted = PyLong_AsLongLong(index.get());
    if (converted == -1 && PyErr_Occurred()) return std::nullopt;
    return static_cast<std::int64_t>(converted);
}

std::optional<std::int64_t> to_i64(PyObject* value, std::string_view parameter) {
    auto converted = int64_of(value);
    if (!converted) return refuse<std::int64_t>(parameter);
    return converted;
}

std::optional<std::uint32_t> uint32_of(PyObject* value) {
    Ref index(PyNumber_Index(value));
    if (index.get() == nullptr) return std::nullopt;
    int overflow = 0;
    const long long converted = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (converted == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow != 0 || converted < 0 || converted > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, OUT_OF_RANGE);
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(converted);
}

// True or False, or a NumPy bool scalar; 0 and 1 are refused.
std::optional<bool> to_bool(PyObject* value, std::string_view parameter) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    if (numpy_api_ready()) {
        if (PyArray_IsScalar(value, Bool)) return PyObject_IsTrue(value) == 1;
    } else {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return std::nullopt;
        PyErr_Clear();  // without NumPy there is no NumPy bool: the value is simply not a bool
    }
    return refuse_type<bool>(value, "bool", parameter);
}

// The items of a sequence other than str, as a fast sequence (a list or tuple).
std::optional<Ref> sequence_items(PyObject* value, std::string_view parameter) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return refuse<Ref>(parameter);
    }
    if (!PySequence_Check(value)) return refuse_type<Ref>(value, "Sequence", parameter);
    Ref items(PySequence_Fast(value, "expected a sequence"));
    if (items.get() == nullptr) return refuse<Ref>(parameter);
    return items;
}

// A sequence copied element by element with `convert`; the first failing element stops it.
template <class T, class Convert>
std::optional<std::vector<T>> to_list(PyObject* value, std::string_view parameter, Convert convert) {
    auto items = sequence_items(value, parameter);
    if (!items) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items->get());
    std::vector<T> out;
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t at = 0; at < size; ++at) {
        auto element = convert(PySequence_Fast_GET_ITEM(items->get(), at));
        if (!element) return refuse<std::vector<T>>(parameter);
        out.push_back(*element);
    }
    return out;
}

// The edge ids copied into one buffer: the engine reads them without the interpreter lock, when
// the caller's strings may change hands. The buffer is a vector because moving one keeps its
// heap block, and with it the views (a short std::string would move its bytes).
struct CopiedTexts {
    std::vector<char> bytes;
    std::vector<std::string_view> views;
};

std::optional<CopiedTexts> to_copied_texts(PyObject* value, std::string_view parameter) {
    auto items = sequence_items(value, parameter);
    if (!items) return std::nullopt;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items->get());
    CopiedTexts copied;
    std::vector<std::size_t> ends;
    ends.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t at = 0; at < size; ++at) {
        PyObject* item = PySequence_Fast_GET_ITEM(items->get(), at);
        if (!PyUnicode_Check(item)) return refuse_type<CopiedTexts>(item, "str", parameter);
        Py_ssize_t length = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &length);
        if (data == nullptr) return refuse<CopiedTexts>(parameter);
        copied.bytes.insert(copied.bytes.end(), data, data + length);
        ends.push_back(copied.bytes.size());
    }
    // Views are taken once the buffer no longer grows.
    copied.views.reserve(ends.size());
    std::size_t start = 0;
    for (const std::size_t end : ends) {
        copied.views.emplace_back(copied.bytes.data() + start, end - start);
        start = end;
    }
    return copied;
}

// A one-dimensional int64 NumPy array (a subclass counts), held for the call and read in place.
struct Int64Column {
    Ref array;
    std::span<const std::int64_t> values() const {
        auto* data = reinterpret_cast<PyArrayObject*>(array.get());
        const auto length = static_cast<std::size_t>(PyArray_DIM(data, 0));
        if (length == 0) return {};
        return {static_cast<const std::int64_t*>(PyArray_DATA(data)), length};
    }
    // Empty arrays have nothing to read; others must be one aligned, unit-stride run.
    bool readable_in_place() const {
        auto* data = reinterpret_cast<PyArrayObject*>(array.get());
        if (PyArray_DIM(data, 0) == 0) return true;
        return PyArray_ISALIGNED(data) && (PyArray_IS_C_CONTIGUOUS(data) || PyArray_IS_F_CONTIGUOUS(data));
    }
};

std::optional<Int64Column> to_int64_column(PyObject* value, std::string_view parameter) {
    if (!PyArray_Check(value)) return refuse_type<Int64Column>(value, "ndarray", parameter);
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) != 1) {
        PyErr_Format(PyExc_TypeError, "expected a one-dimensional array, got %d dimensions", PyArray_NDIM(array));
        return refuse<Int64Column>(parameter);
    }
    // No cast: another width, a float type or the other byte order is refused, not converted.
    PyArray_Descr* int64 = PyArray_DescrFromType(NPY_INT64);
    if (int64 == nullptr) return refuse<Int64Column>(parameter);
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), int64);
    Py_DECREF(int64);
    if (!equivalent) {
        PyErr_Format(PyExc_TypeError, "expected an int64 array in native byte order, got dtype %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
        return refuse<Int64Column>(parameter);
    }
    Py_INCREF(value);
    return Int64Column{Ref(value)};
}

// ---- the engine call without the interpreter lock --------------------------------------------

// Runs `work` with the interpreter lock released and returns its result once the lock is taken
// back. The work touches no Python object; a C++ exception it throws is carried across the
// re-acquisition and rethrown here, for `guarded` to raise.
template <class Work>
auto without_interpreter_lock(Work&& work) -> std::invoke_result_t<Work&> {
    std::optional<std::invoke_result_t<Work&>> result;
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// ---- results --------------------------------------------------------------------------------

PyObject* instances_list(const std::vector<std::array<std::uint32_t, 3>>& instances) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(instances.size())));
    if (list.get() == nullptr) return nullptr;
    ConversionTicker ticker;
    for (std::size_t at = 0; at < instances.size(); ++at) {
        if (!ticker.tick()) return nullptr;
        Ref triple(PyList_New(3));
        if (triple.get() == nullptr) return nullptr;
        for (Py_ssize_t event = 0; event < 3; ++event) {
            PyObject* row = PyLong_FromUnsignedLong(instances[at][static_cast<std::size_t>(event)]);
            if (row == nullptr) return nullptr;
            PyList_SET_ITEM(triple.get(), event, row);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), triple.release());
    }
    return list.release();
}

PyObject* pairs_list(const std::vector<IntervalPair>& pairs) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (list.get() == nullptr) return nullptr;
    // Pairs come grouped by A-row: one int object serves the whole group.
    Ref a_row;
    std::uint32_t a_row_value = 0;
    ConversionTicker ticker;
    for (std::size_t at = 0; at < pairs.size(); ++at) {
        if (!ticker.tick()) return nullptr;
        if (a_row.get() == nullptr || pairs[at].a_row != a_row_value) {
            a_row = Ref(PyLong_FromUnsignedLong(pairs[at].a_row));
            if (a_row.get() == nullptr) return nullptr;
            a_row_value = pairs[at].a_row;
        }
        PyObject* b_row = PyLong_FromUnsignedLong(pairs[at].b_row);
        if (b_row == nullptr) return nullptr;
        PyObject* pair = PyTuple_New(2);
        if (pair == nullptr) {
            Py_DECREF(b_row);
            return nullptr;
        }
        Py_INCREF(a_row.get());
        PyTuple_SET_ITEM(pair, 0, a_row.get());
        PyTuple_SET_ITEM(pair, 1, b_row);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), pair);
    }
    return list.release();
}

}  // namespace

PyObject* interval_pairs(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"lo", "hi", "a_vt_e", "b_vt_e", "require_b_end_after_a_end", nullptr};
        PyObject* lo_arg = nullptr;
        PyObject* hi_arg = nullptr;
        PyObject* a_vt_e_arg = nullptr;
        PyObject* b_vt_e_arg = nullptr;
        PyObject* flag_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:interval_pairs", const_cast<char**>(keywords), &lo_arg,
                                         &hi_arg, &a_vt_e_arg, &b_vt_e_arg, &flag_arg)) {
            return nullptr;
        }
        const auto lo = to_list<std::uint32_t>(lo_arg, "lo", uint32_of);
        if (!lo) return nullptr;
        const auto hi = to_list<std::uint32_t>(hi_arg, "hi", uint32_of);
        if (!hi) return nullptr;
        const auto a_vt_e = to_list<std::int64_t>(a_vt_e_arg, "a_vt_e", int64_of);
        if (!a_vt_e) return nullptr;
        const auto b_vt_e = to_list<std::int64_t>(b_vt_e_arg, "b_vt_e", int64_of);
        if (!b_vt_e) return nullptr;
        const auto flag = to_bool(flag_arg, "require_b_end_after_a_end");
        if (!flag) return nullptr;

        return interruptible([&]() -> PyObject* {
            auto pairs =
                without_interpreter_lock([&] { return vorp::interval_pairs(*lo, *hi, *a_vt_e, *b_vt_e, *flag); });
            if (!pairs) return err(std::move(pairs.error()));
            return pairs_list(*pairs);
        });
    });
}

PyObject* motif_match(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"motif", "src", "dst", "t", "eid", "delta", "collect", nullptr};
        PyObject* motif_arg = nullptr;
        PyObject* src_arg = nullptr;
        PyObject* dst_arg = nullptr;
        PyObject* t_arg = nullptr;
        PyObject* eid_arg = nullptr;
        PyObject* delta_arg = nullptr;
        PyObject* collect_arg = Py_False;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO|O:motif_match", const_cast<char**>(keywords),
                                         &motif_arg, &src_arg, &dst_arg, &t_arg, &eid_arg, &delta_arg,
                                         &collect_arg)) {
            return nullptr;
        }
        if (!numpy_api_ready()) return nullptr;
        const auto motif_name = to_text(motif_arg, "motif");
        if (!motif_name) return nullptr;
        const auto src = to_int64_column(src_arg, "src");
        if (!src) return nullptr;
        const auto dst = to_int64_column(dst_arg, "dst");
        if (!dst) return nullptr;
        const auto t = to_int64_column(t_arg, "t");
        if (!t) return nullptr;
        const auto eid = to_copied_texts(eid_arg, "eid");
        if (!eid) return nullptr;
        const auto delta = to_i64(delta_arg, "delta");
        if (!delta) return nullptr;
        const auto collect = to_bool(collect_arg, "collect");
        if (!collect) return nullptr;

        auto motif = Motif::parse(*motif_name);
        if (!motif) return err(std::move(motif.error()));
        for (const Int64Column* column : {&*src, &*dst, &*t}) {
            if (!column->readable_in_place()) {
                PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
                return nullptr;
            }
        }

        const MotifEvents events{src->values(), dst->values(), t->values(), eid->views};
        return interruptible([&]() -> PyObject* {
            auto matches = without_interpreter_lock([&] { return match_motifs(*motif, events, *delta, *collect); });
            if (!matches) return err(std::move(matches.error()));
            Ref count(PyLong_FromUnsignedLongLong(matches->count));
            if (count.get() == nullptr) return nullptr;
            Ref instances(instances_list(matches->instances));
            if (instances.get() == nullptr) return nullptr;
            return PyTuple_Pack(2, count.get(), instances.get());
        });
    });
}

}  // namespace vorp::py
