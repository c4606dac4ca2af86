#include "staging_methods.h"

#include <algorithm>

#include <fmt/format.h>

#include "numpy_bridge.h"
#include "vorp/dict.h"
#include "vorp/row.h"

namespace vorp::py {

namespace {

// A dict.log record stores each text's length in 32 bits.
constexpr std::uint64_t MAX_DICT_TEXT_BYTES = 0xFFFFFFFFu;

// The list rule up to the elements: a str is refused ("Can't extract `str` to `Vec`"), any other
// sequence is copied into a tuple of its elements (the same tuple when it is one). Later changes
// of the caller's list, also by code that runs while other arguments convert, cannot reach it.
PyObject* snapshot(PyObject* value) {
    Py_ssize_t length = 0;
    if (!check_list_argument(value, length)) return nullptr;
    return PySequence_Tuple(value);
}

// The UTF-8 of a str element in place (cached by the str itself, so no copy for the common
// case); anything else fails exactly as the Str converter does.
bool str_view(PyObject* item, std::string_view& out) {
    if (!PyUnicode_Check(item)) [[unlikely]] {
        std::string ignored;
        return Str::convert(item, ignored);
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(item, &length);
    if (text == nullptr) return false;  // lone surrogates: the interpreter's UnicodeEncodeError
    out = std::string_view(text, static_cast<std::size_t>(length));
    return true;
}

bool i64_value(PyObject* item, std::int64_t& out) {
    if (PyLong_CheckExact(item)) [[likely]] {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow == 0 && !(value == -1 && PyErr_Occurred())) {
            out = value;
            return true;
        }
        PyErr_Clear();
    }
    // Subclasses, objects with __index__, and every refusal with the converter's own error.
    return I64::convert(item, out);
}

void raise_text(PyObject* type, std::string_view text) {
    if (PyObject* message = py_str(text)) {
        // A str value is passed as the exception's only argument (a tuple would be unpacked).
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
}

PyObject* unknown_uid(std::string_view uid) {
    raise_text(PyExc_KeyError, fmt::format("unknown uid: {}", uid));
    return nullptr;
}

// `cols[key]` converted by `Converter`. A failed lookup keeps its own error; a failed conversion
// becomes TypeError "failed to extract field {record}.{key}" caused by the conversion's error.
template <class Converter>
bool extract_field(PyObject* cols, const char* record, const char* key, typename Converter::type& out) {
    PyRef key_text(PyUnicode_FromString(key));
    if (key_text.get() == nullptr) return false;
    PyRef column(PyObject_GetItem(cols, key_text.get()));
    if (column.get() == nullptr) return false;
    if (Converter::convert(column.get(), out)) return true;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_TypeError, "failed to extract field %s.%s", record, key);
    PyObject* wrapped = PyErr_GetRaisedException();
    if (cause != nullptr) {
        PyException_SetContext(wrapped, Py_NewRef(cause));
        PyException_SetCause(wrapped, cause);  // steals the reference
    }
    PyErr_SetRaisedException(wrapped);
    return false;
}

// Every column must hold a value for each row (one per element of `vid`); a shorter one is
// refused before any row is staged, so no row is read past the end of a column. Longer columns
// are fine: their extra elements are not read.
bool check_column(const char* method, const char* key, std::size_t length, std::size_t rows) {
    if (length >= rows) return true;
    raise_text(PyExc_RuntimeError,
               fmt::format("{}: column '{}' holds {} elements, 'vid' holds {}", method, key, length, rows));
    return false;
}

std::optional<std::string> optional_text(const OptStrColumn& column, std::size_t row) {
    if (!column.present[row]) return std::nullopt;
    return std::string(column.values[row]);
}

// Makes room for `more` rows in a staged row list without giving up geometric growth when a
// batch arrives in many small calls.
template <class Row>
void make_room(std::vector<Row>& rows, std::size_t more) {
    const std::size_t wanted = rows.size() + more;
    if (wanted > rows.capacity()) rows.reserve(std::max(wanted, rows.capacity() * 2));
}

}  // namespace

// ---- converters -----------------------------------------------------------------------------------

bool StrList::convert(PyObject* value, type& out) {
    out.hold = PyRef(snapshot(value));
    if (out.hold.get() == nullptr) return false;
    const Py_ssize_t length = PyTuple_GET_SIZE(out.hold.get());
    out.values.resize(static_cast<std::size_t>(length));
    for (Py_ssize_t index = 0; index < length; ++index) {
        if (!str_view(PyTuple_GET_ITEM(out.hold.get(), index), out.values[static_cast<std::size_t>(index)])) return false;
    }
    return true;
}

bool OptStrList::convert(PyObject* value, type& out) {
    out.hold = PyRef(snapshot(value));
    if (out.hold.get() == nullptr) return false;
    const Py_ssize_t length = PyTuple_GET_SIZE(out.hold.get());
    out.values.resize(static_cast<std::size_t>(length));
    out.present.assign(static_cast<std::size_t>(length), false);
    for (Py_ssize_t index = 0; index < length; ++index) {
        PyObject* item = PyTuple_GET_ITEM(out.hold.get(), index);
        if (item == Py_None) continue;
        if (!str_view(item, out.values[static_cast<std::size_t>(index)])) return false;
        out.present[static_cast<std::size_t>(index)] = true;
    }
    return true;
}

bool I64List::convert(PyObject* value, type& out) {
    const PyRef items(snapshot(value));
    if (items.get() == nullptr) return false;
    const Py_ssize_t length = PyTuple_GET_SIZE(items.get());
    out.values.resize(static_cast<std::size_t>(length));
    for (Py_ssize_t index = 0; index < length; ++index) {
        if (!i64_value(PyTuple_GET_ITEM(items.get(), index), out.values[static_cast<std::size_t>(index)])) return false;
    }
    return true;
}

bool EdgeColsArg::convert(PyObject* value, type& out) {
    constexpr const char* record = "EdgeCols";
    return extract_field<StrList>(value, record, "vid", out.vid) &&
           extract_field<StrList>(value, record, "src", out.src) &&
           extract_field<StrList>(value, record, "dst", out.dst) &&
           extract_field<StrList>(value, record, "rel_type", out.rel_type) &&
           extract_field<StrList>(value, record, "disc", out.disc) &&
           extract_field<I64List>(value, record, "vt_s", out.vt_s) &&
           extract_field<I64List>(value, record, "vt_e", out.vt_e) &&
           extract_field<I64List>(value, record, "tt_s", out.tt_s) &&
           extract_field<StrList>(value, record, "props", out.props) &&
           extract_field<StrList>(value, record, "source", out.source) &&
           extract_field<OptStrList>(value, record, "provenance_ref", out.provenance_ref);
}

bool NodeColsArg::convert(PyObject* value, type& out) {
    constexpr const char* record = "NodeCols";
    return extract_field<StrList>(value, record, "vid", out.vid) &&
           extract_field<StrList>(value, record, "uid", out.uid) &&
           extract_field<StrList>(value, record, "label", out.label) &&
           extract_field<I64List>(value, record, "vt_s", out.vt_s) &&
           extract_field<I64List>(value, record, "vt_e", out.vt_e) &&
           extract_field<I64List>(value, record, "tt_s", out.tt_s) &&
           extract_field<StrList>(value, record, "props", out.props) &&
           extract_field<StrList>(value, record, "source", out.source) &&
           extract_field<OptStrList>(value, record, "provenance_ref", out.provenance_ref);
}

// ---- dictionary methods ---------------------------------------------------------------------------

PyObject* ensure_entities(StoreCall& call, StrColumn uids, StrColumn labels) {
    if (uids.values.size() != labels.values.size()) {
        raise_text(PyExc_RuntimeError, "ensure_entities: uids and labels differ in length");
        return nullptr;
    }
    Dictionary& dict = call.store().dict;
    for (std::size_t index = 0; index < uids.values.size(); ++index) {
        const std::string_view uid = uids.values[index];
        // A uid already held (committed or staged) keeps its id and its first label.
        if (dict.dense_id(uid)) continue;
        // The dictionary itself refuses nothing: an id of 0xFFFFFFFF would read as "none" and a
        // text past 32 bits of length cannot be recorded, so both are refused here.
        if (dict.full()) return err(dictionary_full_error());
        const std::string_view label = labels.values[index];
        if (uid.size() > MAX_DICT_TEXT_BYTES || label.size() > MAX_DICT_TEXT_BYTES) {
            return err(EngineError::capacity(
                fmt::format("a dictionary record holds at most {} bytes of uid and of label, got {} and {}",
                            MAX_DICT_TEXT_BYTES, uid.size(), label.size())));
        }
        dict.push(uid, label);
    }
    return py_none();
}

PyObject* dense_ids(StoreCall& call, StrColumn uids) {
    const Dictionary& dict = call.store().dict;
    std::vector<std::int64_t> ids;
    ids.reserve(uids.values.size());
    for (const std::string_view uid : uids.values) {
        const std::optional<std::uint32_t> id = dict.dense_id(uid);
        if (!id) return unknown_uid(uid);
        ids.push_back(static_cast<std::int64_t>(*id));
    }
    return to_numpy(std::move(ids));
}

PyObject* uids_for(StoreCall& call, I64Column ids) {
    const Dictionary& dict = call.store().dict;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.values.size())));
    if (list.get() == nullptr) return nullptr;
    for (std::size_t index = 0; index < ids.values.size(); ++index) {
        const std::int64_t id = ids.values[index];
        // An id outside the dictionary, also one past 32 bits, names no entity: it is never cut
        // to its low 32 bits, which could name another one.
        std::optional<std::string_view> uid;
        if (id >= 0 && static_cast<std::uint64_t>(id) < dict.size()) uid = dict.uid(static_cast<std::uint32_t>(id));
        if (!uid) {
            raise_text(PyExc_KeyError, fmt::format("unknown dense id: {}", id));
            return nullptr;
        }
        PyObject* text = py_str(*uid);
        if (text == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), text);
    }
    return Py_NewRef(list.get());
}

PyObject* num_entities(StoreCall& call) { return py_int(static_cast<std::uint64_t>(call.store().dict.size())); }

#ifdef VORP_HAVE_BATCHES
// ---- staging methods ------------------------------------------------------------------------------

PyObject* stage_edges(StoreCall& call, EdgeCols cols) {
    const std::size_t rows = cols.vid.values.size();
    if (!(check_column("stage_edges", "src", cols.src.values.size(), rows) &&
          check_column("stage_edges", "dst", cols.dst.values.size(), rows) &&
          check_column("stage_edges", "rel_type", cols.rel_type.values.size(), rows) &&
          check_column("stage_edges", "disc", cols.disc.values.size(), rows) &&
          check_column("stage_edges", "vt_s", cols.vt_s.values.size(), rows) &&
          check_column("stage_edges", "vt_e", cols.vt_e.values.size(), rows) &&
          check_column("stage_edges", "tt_s", cols.tt_s.values.size(), rows) &&
          check_column("stage_edges", "props", cols.props.values.size(), rows) &&
          check_column("stage_edges", "source", cols.source.values.size(), rows) &&
          check_column("stage_edges", "provenance_ref", cols.provenance_ref.values.size(), rows))) {
        return nullptr;
    }
    NativeStore& store = call.store();
    if (store.in_batch()) make_room(store.staging.edges, rows);
    for (std::size_t row = 0; row < rows; ++row) {
        // The row's uids and vid are resolved before the store sees it, so a bad row is reported
        // as such even outside a batch.
        const std::optional<std::uint32_t> src_id = store.dict.dense_id(cols.src.values[row]);
        if (!src_id) return unknown_uid(cols.src.values[row]);
        const std::optional<std::uint32_t> dst_id = store.dict.dense_id(cols.dst.values[row]);
        if (!dst_id) return unknown_uid(cols.dst.values[row]);
        const Id96 vid = VORP_PY_TRY(Id96::from_hex(cols.vid.values[row]));
        EdgeRow edge{
            .rel_type = std::string(cols.rel_type.values[row]),
            .disc = std::string(cols.disc.values[row]),
            .props = std::string(cols.props.values[row]),
            .source = std::string(cols.source.values[row]),
            .prov = optional_text(cols.provenance_ref, row),
            .vid = vid,
            .vt_s = cols.vt_s.values[row],
            .vt_e = cols.vt_e.values[row],
            .tt_s = cols.tt_s.values[row],
            .src_id = *src_id,
            .dst_id = *dst_id,
        };
        if (auto staged = store.stage_edge(std::move(edge)); !staged) return err(std::move(staged).error());
    }
    return py_none();
}

PyObject* stage_nodes(StoreCall& call, NodeCols cols) {
    const std::size_t rows = cols.vid.values.size();
    if (!(check_column("stage_nodes", "uid", cols.uid.values.size(), rows) &&
          check_column("stage_nodes", "label", cols.label.values.size(), rows) &&
          check_column("stage_nodes", "vt_s", cols.vt_s.values.size(), rows) &&
          check_column("stage_nodes", "vt_e", cols.vt_e.values.size(), rows) &&
          check_column("stage_nodes", "tt_s", cols.tt_s.values.size(), rows) &&
          check_column("stage_nodes", "props", cols.props.values.size(), rows) &&
          check_column("stage_nodes", "source", cols.source.values.size(), rows) &&
          check_column("stage_nodes", "provenance_ref", cols.provenance_ref.values.size(), rows))) {
        return nullptr;
    }
    NativeStore& store = call.store();
    if (store.in_batch()) make_room(store.staging.nodes, rows);
    for (std::size_t row = 0; row < rows; ++row) {
        const std::optional<std::uint32_t> uid_id = store.dict.dense_id(cols.uid.values[row]);
        if (!uid_id) return unknown_uid(cols.uid.values[row]);
        const Id96 vid = VORP_PY_TRY(Id96::from_hex(cols.vid.values[row]));
        NodeRow node{
            .label = std::string(cols.label.values[row]),
            .props = std::string(cols.props.values[row]),
            .source = std::string(cols.source.values[row]),
            .prov = optional_text(cols.provenance_ref, row),
            .vid = vid,
            .vt_s = cols.vt_s.values[row],
            .vt_e = cols.vt_e.values[row],
            .tt_s = cols.tt_s.values[row],
            .uid_id = *uid_id,
        };
        if (auto staged = store.stage_node(std::move(node)); !staged) return err(std::move(staged).error());
    }
    return py_none();
}

PyObject* stage_closes(StoreCall& call, std::string kind, StrColumn vids, std::int64_t tt_e) {
    // The kind word is checked after every argument converted and before the first vid.
    const std::optional<std::uint8_t> row_kind = kind_of(kind);
    if (!row_kind) return nullptr;
    for (const std::string_view text : vids.values) {
        const Id96 vid = VORP_PY_TRY(Id96::from_hex(text));
        if (auto closed = call.store().close_version(static_cast<RowKind>(*row_kind), vid, tt_e); !closed) {
            return err(std::move(closed).error());
        }
    }
    return py_none();
}

PyObject* stage_retires(StoreCall& call, std::string kind, StrColumn vids) {
    const std::optional<std::uint8_t> row_kind = kind_of(kind);
    if (!row_kind) return nullptr;
    for (const std::string_view text : vids.values) {
        const Id96 vid = VORP_PY_TRY(Id96::from_hex(text));
        if (auto retired = call.store().retire_version(static_cast<RowKind>(*row_kind), vid); !retired) {
            return err(std::move(retired).error());
        }
    }
    return py_none();
}

#endif
}  // namespace vorp::py
