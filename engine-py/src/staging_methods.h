// The write side of NativeStore: the dictionary methods (ensure_entities, dense_ids, uids_for,
// num_entities) and the staging methods (stage_edges, stage_nodes, stage_closes, stage_retires).
//
// This is the ingest path, so columns are converted whole before the first row and without a
// Python object per value. A column is read in one pass that runs no Python code, so it sees the
// elements exactly as they were when the pass began; every str element is read through its cached
// UTF-8 in place and held by a strong reference (the caller may change its list afterwards, even
// while later columns convert, and the engine never sees it), and ints go straight to a vector
// (only an element that is not an int, whose conversion may run Python code, makes the pass take
// references to the elements from there on first). The uids and vids
// of all rows are then resolved in one tight pass (the dictionary does not change during the
// call, so this reports exactly the error the first failing row would), and the row loop touches
// no Python object. Each row takes effect as the loop reaches it: a call that fails at
// row k keeps rows 0 to k - 1 staged.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <tuple>
#include <vector>

#include "store_method.h"

namespace vorp::py {

// An owned reference, released when it goes (always under the interpreter lock: argument values
// live and die inside the method call).
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object_(owned) {}
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }
    PyObject* get() const { return object_; }

private:
    PyObject* object_ = nullptr;
};

// Strong references to elements of a sequence, released together. A plain array rather than a
// tuple: no object the cyclic collector would have to visit, so holding a large column never sets
// off a collection.
class Snapshot {
public:
    Snapshot() = default;
    Snapshot(Snapshot&& other) noexcept : items_(std::move(other.items_)) { other.items_.clear(); }
    Snapshot& operator=(Snapshot&& other) noexcept {
        if (this != &other) {
            release();
            items_ = std::move(other.items_);
            other.items_.clear();
        }
        return *this;
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    ~Snapshot() { release(); }

    // Room for `count` further references; false with MemoryError set when there is none.
    bool reserve(std::size_t count);
    // Takes a reference; room for it must have been reserved.
    void hold(PyObject* item) { items_.push_back(Py_NewRef(item)); }
    std::size_t size() const { return items_.size(); }
    PyObject* operator[](std::size_t index) const { return items_[index]; }

private:
    void release() {
        for (PyObject* item : items_) Py_DECREF(item);
    }
    std::vector<PyObject*> items_;
};

// The UTF-8 of a str whose conversion succeeded: a compact ASCII str is its own UTF-8, any other
// str has cached its UTF-8 when it was converted, so this neither fails nor allocates.
inline std::string_view converted_text(PyObject* item) {
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) [[likely]] {
        return {static_cast<const char*>(PyUnicode_DATA(item)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &length);
    return {text, static_cast<std::size_t>(length)};
}

// A list of str, read in place: element i is held by `items`, and text(i) is its UTF-8, valid
// while the column lives. One reference per element and no copy of any text: a column costs 8
// bytes per row.
struct StrColumn {
    Snapshot items;
    std::size_t size() const { return items.size(); }
    std::string_view text(std::size_t index) const { return converted_text(items[index]); }
};

// A list of str or None (None only where the column allows it).
struct OptStrColumn {
    Snapshot items;
    std::size_t size() const { return items.size(); }
    bool present(std::size_t index) const { return items[index] != Py_None; }
    std::string_view text(std::size_t index) const { return converted_text(items[index]); }
};

// A list of signed 64-bit ints.
struct I64Column {
    std::vector<std::int64_t> values;
};

// The list rule for a list of str: any sequence but a str ("Can't extract `str` to `Vec`"); the
// first element that is not a str fails as the Str converter fails.
struct StrList {
    using type = StrColumn;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
struct OptStrList {
    using type = OptStrColumn;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
struct I64List {
    using type = I64Column;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};

// The columns stage_edges reads, in the order it fetches them from `cols`.
struct EdgeCols {
    StrColumn vid, src, dst, rel_type, disc;
    I64Column vt_s, vt_e, tt_s;
    StrColumn props, source;
    OptStrColumn provenance_ref;
};

// The columns stage_nodes reads, in the order it fetches them from `cols`.
struct NodeCols {
    StrColumn vid, uid, label;
    I64Column vt_s, vt_e, tt_s;
    StrColumn props, source;
    OptStrColumn provenance_ref;
};

// The field tables of the staged columns: each column's key, converter and member, in fetch
// order (vid first: every other column must hold a value for each of its elements).
template <class Converter, class Cols>
struct ColsField {
    using converter = Converter;
    const char* key;
    typename Converter::type Cols::*member;
};
template <class Converter, class Cols>
constexpr ColsField<Converter, Cols> cols_field(const char* key, typename Converter::type Cols::*member) {
    return {key, member};
}
template <class Cols>
struct ColsFields;

template <>
struct ColsFields<EdgeCols> {
    using C = EdgeCols;
    static constexpr const char* record = "EdgeCols";
    static constexpr auto fields = std::tuple{
        cols_field<StrList, C>("vid", &C::vid),          cols_field<StrList, C>("src", &C::src),
        cols_field<StrList, C>("dst", &C::dst),          cols_field<StrList, C>("rel_type", &C::rel_type),
        cols_field<StrList, C>("disc", &C::disc),        cols_field<I64List, C>("vt_s", &C::vt_s),
        cols_field<I64List, C>("vt_e", &C::vt_e),        cols_field<I64List, C>("tt_s", &C::tt_s),
        cols_field<StrList, C>("props", &C::props),      cols_field<StrList, C>("source", &C::source),
        cols_field<OptStrList, C>("provenance_ref", &C::provenance_ref)};
};

template <>
struct ColsFields<NodeCols> {
    using C = NodeCols;
    static constexpr const char* record = "NodeCols";
    static constexpr auto fields = std::tuple{
        cols_field<StrList, C>("vid", &C::vid),          cols_field<StrList, C>("uid", &C::uid),
        cols_field<StrList, C>("label", &C::label),      cols_field<I64List, C>("vt_s", &C::vt_s),
        cols_field<I64List, C>("vt_e", &C::vt_e),        cols_field<I64List, C>("tt_s", &C::tt_s),
        cols_field<StrList, C>("props", &C::props),      cols_field<StrList, C>("source", &C::source),
        cols_field<OptStrList, C>("provenance_ref", &C::provenance_ref)};
};

// `cols[key]` for each key of the table in order; a failed lookup passes its own error through, a
// column that does not convert raises TypeError "failed to extract field EdgeCols.{key}" (or
// NodeCols) whose __cause__ is the conversion's error; a MemoryError passes through as it is.
template <class Cols>
struct ColsArg {
    using type = Cols;
    static constexpr bool optional = false;
    static bool convert(PyObject* value, type& out);
};
using EdgeColsArg = ColsArg<EdgeCols>;
using NodeColsArg = ColsArg<NodeCols>;

// Every column after vid must hold a value for each row (one per element of `vid`); the first
// shorter one raises RuntimeError "{method}: column '{key}' holds {} elements, 'vid' holds {}".
template <class Cols>
bool check_column_lengths(const char* method, const Cols& cols);

// ---- method bodies (rows of the class's method table) ---------------------------------------------

PyObject* ensure_entities(StoreCall& call, StrColumn uids, StrColumn labels);
PyObject* dense_ids(StoreCall& call, StrColumn uids);
PyObject* uids_for(StoreCall& call, I64Column ids);
PyObject* num_entities(StoreCall& call);
PyObject* stage_edges(StoreCall& call, EdgeCols cols);
PyObject* stage_nodes(StoreCall& call, NodeCols cols);
PyObject* stage_closes(StoreCall& call, std::string kind, StrColumn vids, std::int64_t tt_e);
PyObject* stage_retires(StoreCall& call, std::string kind, StrColumn vids);

}  // namespace vorp::py
