// What every NativeStore method shares, written once. A method is its body plus one row of the
// class's method table:
//
//   // believed($self, kind, identity, as_of_tt=...): shared borrow, three parameters.
//   PyObject* believed(StoreCall& call, std::string kind, std::string identity, std::int64_t as_of_tt) {
//       const auto row_kind = kind_of(kind);
//       if (!row_kind) return nullptr;
//       auto rows = VORP_PY_TRY(read_believed(call.store(), *row_kind, identity, as_of_tt));
//       return edge_rows_to_python(rows);
//   }
//   ...
//   StoreMethod<"believed($self, kind, identity, as_of_tt=...)", Borrow::shared, &believed,
//               Str, Str, OrDefault<I64, OPEN_END>>::def(),
//
// The signature text is the published doc signature: the method's name and its parameter names
// come from it, and a parameter written with a default ("=...", "=None", "=False") is optional.
// The number of converters must match it (checked at compile time). A call then runs, in order:
//   1. match the arguments to the parameter names (the interpreter's TypeError; nothing touched);
//   2. take the object's borrow, exclusive or shared ("Already borrowed" / "Already mutably
//      borrowed", RuntimeError, raised at once, never waiting);
//   3. convert the arguments in parameter order; the first failure keeps its exception and gets
//      the note "while processing '{parameter}'";
//   4. run the body, which calls the engine (VORP_PY_TRY maps an EngineError through `err`) with
//      the interpreter lock held for the whole call, and builds the result; a shared call runs
//      it inside an interrupt scope, so a Ctrl-C abandons a long read (errors.h);
//   5. release the borrow, on every path: success, Python error, engine error, internal failure.
// Engine errors are raised through the store (StoreErrorScope): one whose file another process's
// collection removed under the handle says so, whichever method met it.
// A C++ exception leaving the body is raised as the internal-failure exception (or MemoryError).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "errors.h"
#include "native_store.h"

namespace vorp::py {

// ---- borrow ---------------------------------------------------------------------------------------

enum class Borrow : std::uint8_t { shared, exclusive };

// Holds the object's borrow for its lifetime. `held()` is false when the borrow was refused, with
// the RuntimeError raised.
class BorrowGuard {
public:
    BorrowGuard(StoreState& state, Borrow kind);
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    bool held() const { return held_; }

private:
    StoreState& state_;
    Borrow kind_;
    bool held_ = false;
};

// What a body works on.
struct StoreCall {
    StoreObject& object;
    NativeStore& store() const { return *object.state.store; }
    StoreState& state() const { return object.state; }
};

// ---- argument converters --------------------------------------------------------------------------
// Each has `type` (the engine value), `optional` (whether the argument may be omitted) and
// `convert(value, out)`, which returns false with a Python error set; `value` is nullptr only for
// an omitted optional argument.

// Signed 64-bit: int or any object with __index__; OverflowError outside the range, TypeError else.
struct I64 {
    using type = std::int64_t;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
// Unsigned 64-bit: as I64; negative or above 2^64 - 1 is OverflowError.
struct U64 {
    using type = std::uint64_t;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
// Unsigned 32-bit list element: OverflowError "out of range integral type conversion attempted".
struct U32 {
    using type = std::uint32_t;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
// str only (bytes and everything else: TypeError), as UTF-8.
struct Str {
    using type = std::string;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
// True, False or a NumPy bool scalar; 0 and 1 are refused (TypeError).
struct Bool {
    using type = bool;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};

// Any sequence but str, copied element by element before the engine is called.
bool check_list_argument(PyObject* value, Py_ssize_t& length);
template <class Item>
struct ListOf {
    using type = std::vector<typename Item::type>;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out) {
        Py_ssize_t length = 0;
        if (!check_list_argument(value, length)) return false;
        out.clear();
        out.reserve(static_cast<std::size_t>(length));
        ConversionTicker ticker;  // a read's argument may be a long list too
        for (Py_ssize_t index = 0; index < length; ++index) {
            if (!ticker.tick()) return false;
            PyObject* element = PySequence_GetItem(value, index);
            if (element == nullptr) return false;
            typename Item::type converted{};
            const bool converted_ok = Item::convert(element, converted);
            Py_DECREF(element);
            if (!converted_ok) return false;
            out.push_back(std::move(converted));
        }
        return true;
    }
};

// A parameter whose signature shows "=None": omitted or None mean absent.
template <class Inner>
struct OrNone {
    using type = std::optional<typename Inner::type>;
    static constexpr bool optional = true;
    static bool convert(PyObject* value, type& out) {
        if (value == nullptr || value == Py_None) {
            out.reset();
            return true;
        }
        typename Inner::type converted{};
        if (!Inner::convert(value, converted)) return false;
        out = std::move(converted);
        return true;
    }
};

// A parameter with a default that applies only when it is omitted (shown as "=..." or its value);
// an explicit None is converted like any other value, and refused by the integer converters.
template <class Inner, auto Default>
struct OrDefault {
    using type = typename Inner::type;
    static constexpr bool optional = true;
    static bool convert(PyObject* value, type& out) {
        if (value == nullptr) {
            out = static_cast<type>(Default);
            return true;
        }
        return Inner::convert(value, out);
    }
};

// ---- results and words ----------------------------------------------------------------------------

PyObject* py_int(std::int64_t value);
PyObject* py_int(std::uint64_t value);
inline PyObject* py_int(std::uint32_t value) { return py_int(static_cast<std::uint64_t>(value)); }
PyObject* py_str(std::string_view text);
PyObject* py_bool(bool value);
PyObject* py_none();

// Builds a dict whose keys keep the order they are added in. `add` consumes `value` (a null value
// is a failure already raised); `finish` returns the dict, or nullptr with the first error.
class DictBuilder {
public:
    DictBuilder();
    ~DictBuilder();
    DictBuilder(const DictBuilder&) = delete;
    DictBuilder& operator=(const DictBuilder&) = delete;
    DictBuilder& add(const char* key, PyObject* value);
    PyObject* finish();

private:
    PyObject* dict_;
};

// Drops a reference the caller owns. A list of a large result (or each such list in a dict) is
// emptied by a thread of its own, a slice at a time under the interpreter lock, so that a call
// stopped by Ctrl-C returns at once: freeing ten million str objects takes the caller's thread a
// second or more. Anything else, or when no thread can be had, is dropped here.
void release_later(PyObject* object);
// Test seam: lists release_later handed to a thread that has not emptied them yet.
std::size_t lists_being_released();

// A new list of n elements, element i made by make(i) (a null element is a failure already raised),
// with interruption points along it. A part of a result is not started once an earlier part
// failed: nullptr, that failure standing. A stop or failure drops the elements made so far.
template <class Make>
PyObject* list_of(std::size_t n, Make&& make) {
    if (PyErr_Occurred()) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return nullptr;
    ConversionTicker ticker;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* element = ticker.tick() ? make(i) : nullptr;
        if (element == nullptr) {
            Py_SET_SIZE(list, static_cast<Py_ssize_t>(i));  // the slots past i were never filled
            release_later(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), element);
    }
    return list;
}

// A str of an engine text that is no longer needed: the text's memory is given back as soon as its
// str exists, so that a large result is not freed all at once after its last interruption point.
PyObject* py_str_taking(std::string& text);

// The row kind of a kind word: "node" 0, "edge" 1; anything else raises RuntimeError
// "unknown row kind {quoted}; expected 'node' or 'edge'" and gives nothing.
std::optional<std::uint8_t> kind_of(std::string_view word);

// Evaluates a Result; an EngineError is raised through `err` and the body returns nullptr.
#define VORP_PY_TRY(...)                                                          \
    ({                                                                            \
        auto&& vorp_py_try_result_ = (__VA_ARGS__);                               \
        if (!vorp_py_try_result_) [[unlikely]]                                    \
            return ::vorp::py::err(::std::move(vorp_py_try_result_).error());     \
        ::std::move(vorp_py_try_result_).value();                                 \
    })

// ---- the method template --------------------------------------------------------------------------

// A published text signature as a template argument.
template <std::size_t N>
struct Signature {
    char text[N];
    consteval Signature(const char (&literal)[N]) {
        for (std::size_t i = 0; i < N; ++i) text[i] = literal[i];
    }
    // Parameters after "$self": the commas inside the parentheses.
    consteval std::size_t parameter_count() const {
        std::size_t commas = 0;
        for (std::size_t i = 0; i < N; ++i) commas += text[i] == ',';
        return commas;
    }
    // Index of the first parameter written with a default (parameter_count() when none).
    consteval std::size_t first_optional() const {
        std::size_t parameter = 0;
        for (std::size_t i = 0; i < N; ++i) {
            if (text[i] == ',') ++parameter;
            if (text[i] == '=') return parameter - 1;
        }
        return parameter_count();
    }
};

// The parts of a signature the interpreter needs, built once per method.
struct ParsedSignature {
    std::string name;                      // the method name
    std::vector<std::string> parameters;   // names after $self
    std::vector<char*> keywords;           // for PyArg_ParseTupleAndKeywords, null-terminated
    std::string format;                    // "O" per parameter, "|" before the optional ones
    std::string doc;                       // "{signature}\n--\n\n{prose}"

    ParsedSignature(std::string_view signature, std::size_t first_optional, std::string_view prose);
    // `keywords` points into `parameters`: the object stays where it was built.
    ParsedSignature(const ParsedSignature&) = delete;
    ParsedSignature& operator=(const ParsedSignature&) = delete;
};

template <Signature Sig, Borrow Kind, auto Body, class... Params>
struct StoreMethod {
    static constexpr std::size_t arity = sizeof...(Params);
    static_assert(Sig.parameter_count() == arity, "the signature and the converters disagree on the parameters");
    static constexpr std::size_t first_optional = Sig.first_optional();
    static constexpr bool optional_params_match = [] {
        constexpr std::array<bool, arity + 1> optional{Params::optional..., false};
        for (std::size_t i = 0; i < arity; ++i)
            if (optional[i] != (i >= first_optional)) return false;
        return true;
    }();
    static_assert(optional_params_match, "parameters with a default need OrNone/OrDefault converters, and only they");

    static const ParsedSignature& parsed(std::string_view prose = {}) {
        static const ParsedSignature signature(std::string_view(Sig.text, sizeof(Sig.text) - 1), first_optional, prose);
        return signature;
    }

    // The method table row; `prose` (static text) follows the signature in the doc string.
    static PyMethodDef def(std::string_view prose = {}) {
        const ParsedSignature& signature = parsed(prose);
        if constexpr (arity == 0) {
            return {signature.name.c_str(), reinterpret_cast<PyCFunction>(&call_noargs), METH_NOARGS,
                    signature.doc.c_str()};
        } else {
            return {signature.name.c_str(),
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_with_args)),
                    METH_VARARGS | METH_KEYWORDS, signature.doc.c_str()};
        }
    }

private:
    using Values = std::tuple<typename Params::type...>;

    static PyObject* call_noargs(PyObject* self, PyObject* /*unused*/) { return run(self, {}); }

    static PyObject* call_with_args(PyObject* self, PyObject* args, PyObject* kwargs) {
        std::array<PyObject*, arity> raw{};
        if (!match(args, kwargs, raw, std::make_index_sequence<arity>{})) return nullptr;
        return run(self, raw);
    }

    template <std::size_t... I>
    static bool match(PyObject* args, PyObject* kwargs, std::array<PyObject*, arity>& raw, std::index_sequence<I...>) {
        const ParsedSignature& signature = parsed();
        return PyArg_ParseTupleAndKeywords(args, kwargs, signature.format.c_str(), signature.keywords.data(),
                                           &raw[I]...) != 0;
    }

    template <std::size_t I>
    static bool convert_one(const std::array<PyObject*, arity>& raw, Values& values) {
        using Param = std::tuple_element_t<I, std::tuple<Params...>>;
        if (Param::convert(raw[I], std::get<I>(values))) return true;
        note_argument(parsed().parameters[I]);
        return false;
    }

    template <std::size_t... I>
    static PyObject* convert_and_call(StoreCall& call, const std::array<PyObject*, arity>& raw, std::index_sequence<I...>) {
        Values values;
        // Left to right, stopping at the first failure.
        if (!(convert_one<I>(raw, values) && ...)) return nullptr;
        return Body(call, std::move(std::get<I>(values))...);
    }

    static PyObject* run(PyObject* self, const std::array<PyObject*, arity>& raw) {
        return guarded([&]() -> PyObject* {
            auto* object = reinterpret_cast<StoreObject*>(self);
            const BorrowGuard borrow(object->state, Kind);
            if (!borrow.held()) return nullptr;
            StoreCall call{*object};
            const StoreErrorScope errors(object->state.store.get());
            // Reads answer Ctrl-C; writers run to their end.
            if constexpr (Kind == Borrow::shared)
                return interruptible([&] { return convert_and_call(call, raw, std::make_index_sequence<arity>{}); });
            return convert_and_call(call, raw, std::make_index_sequence<arity>{});
        });
    }
};

}  // namespace vorp::py
