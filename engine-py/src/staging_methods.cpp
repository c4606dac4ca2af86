#include "staging_methods.h"

#include <algorithm>
#include <array>
#include <new>
#include <span>
#include <tuple>
#include <type_traits>

#include <fmt/format.h>

#include "numpy_bridge.h"
#include "vorp/dict.h"
#include "vorp/row.h"

namespace vorp::py {

namespace {

// Checks that an element is a str with a UTF-8 form (a str with lone surrogates has none), which
// the str then caches; anything else fails exactly as the Str converter does. Runs no Python code.
bool check_str(PyObject* item) {
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) [[likely]] return true;
    if (!PyUnicode_Check(item)) [[unlikely]] {
        std::string ignored;
        return Str::convert(item, ignored);
    }
    Py_ssize_t length = 0;
    return PyUnicode_AsUTF8AndSize(item, &length) != nullptr;  // else the interpreter's UnicodeEncodeError
}

// An element that is an int (or a subclass of int) converts without running Python code.
bool i64_value(PyObject* item, std::int64_t& out) {
    if (PyLong_CheckExact(item)) [[likely]] {
        auto* number = reinterpret_cast<PyLongObject*>(item);
        if (PyUnstable_Long_IsCompact(number)) {
            out = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
            return true;
        }
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

template <class T>
bool resize_or_raise(std::vector<T>& values, std::size_t count) {
    try {
        values.resize(count);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

// Runs `read(PyObject* const* items, std::size_t count) -> bool` over the elements of a sequence
// under the list rule: a str is refused ("Can't extract `str` to `Vec`"), a list or tuple is read
// directly, any other sequence through the interpreter's list of it. `read` must run no Python
// code until it fails (and then stop): the elements cannot change under it, so what it reads is
// what a snapshot taken at its start would hold.
template <class Read>
bool read_items(PyObject* sequence, Read&& read) {
    Py_ssize_t length = 0;
    if (!check_list_argument(sequence, length)) return false;
    const PyRef fast(PySequence_Fast(sequence, "expected a sequence"));
    if (fast.get() == nullptr) return false;
    bool done = false;
    Py_BEGIN_CRITICAL_SECTION(fast.get());
    done = read(PySequence_Fast_ITEMS(fast.get()), static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast.get())));
    Py_END_CRITICAL_SECTION();
    return done;
}

void raise_text(PyObject* type, std::string_view text) {
    if (PyObject* message = py_str(text)) {
        // A str value is passed as the exception's only argument (a tuple would be unpacked).
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
}

PyObject* unknown_uid_error(std::string_view uid) {
    raise_text(PyExc_KeyError, fmt::format("unknown uid: {}", uid));
    return nullptr;
}

// `cols[key]` converted by `Converter`. A failed lookup keeps its own error; a failed conversion
// becomes TypeError "failed to extract field {record}.{key}" caused by the conversion's error,
// except a MemoryError, which says nothing about the column and is raised as it is.
template <class Converter>
bool extract_field(PyObject* cols, const char* record, const char* key, typename Converter::type& out) {
    PyRef key_text(PyUnicode_FromString(key));
    if (key_text.get() == nullptr) return false;
    PyRef column(PyObject_GetItem(cols, key_text.get()));
    if (column.get() == nullptr) return false;
    if (Converter::convert(column.get(), out)) return true;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
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

void set_optional_text(const OptStrColumn& column, std::size_t row, std::optional<std::string>& out) {
    if (column.present(row)) out.emplace(column.text(row));
}

// Looks up the uids of rows [0, end) of a column, calling `found(row, id)` (id: optional dense id)
// in row order until it returns false. The dictionary is asked in chunks of UID_CHUNK rows, each
// just before the first call for its rows (it fetches the table
// slots and texts of a chunk's uids at once); the uids' own str objects lie all over the heap, so
// those of the chunk after next are requested, and the texts of the next one, ahead of their turn.
constexpr std::size_t UID_CHUNK = 32;

template <class Found>
void lookup_uids(const Dictionary& dict, const StrColumn& column, std::size_t end, Found&& found) {
    constexpr std::size_t CHUNK = UID_CHUNK;
    std::string_view texts[2][CHUNK];
    std::optional<std::uint32_t> ids[CHUNK];
    const auto prefetch_items = [&](std::size_t first) {
        for (std::size_t row = first; row < std::min(end, first + CHUNK); ++row) __builtin_prefetch(column.items[row]);
    };
    const auto read_texts = [&](std::size_t first, std::string_view* out) {
        for (std::size_t row = first; row < std::min(end, first + CHUNK); ++row) {
            out[row - first] = column.text(row);
            __builtin_prefetch(out[row - first].data());
        }
    };
    prefetch_items(0);
    prefetch_items(CHUNK);
    read_texts(0, texts[0]);
    for (std::size_t first = 0, turn = 0; first < end; first += CHUNK, turn ^= 1) {
        const std::size_t count = std::min(CHUNK, end - first);
        prefetch_items(first + 2 * CHUNK);
        read_texts(first + CHUNK, texts[turn ^ 1]);
        dict.dense_ids(std::span<const std::string_view>(texts[turn], count), std::span(ids, count));
        for (std::size_t at = 0; at < count; ++at) {
            if (!found(first + at, ids[at])) return;
        }
    }
}

// The first row that cannot be staged, found before anything is staged: an unknown uid or a vid
// that does not parse. Rows before it are staged first, and the store may refuse one of them (no
// batch) before this row's error is raised, exactly as a row-by-row loop would.
struct RowFailure {
    std::size_t row = SIZE_MAX;
    std::string_view unknown_uid;        // set for an unknown uid
    std::optional<EngineError> bad_vid;  // set for a vid that does not parse

    PyObject* raise() {
        if (bad_vid) return err(std::move(*bad_vid));
        return unknown_uid_error(unknown_uid);
    }
};

// The dense ids of one uid column in the rows before `failure`; an unknown uid there becomes the
// failure. Called for src, then dst: a dst is looked at only in rows whose src is known.
void resolve_uids(const Dictionary& dict, const StrColumn& column, std::size_t rows, std::vector<std::uint32_t>& ids,
                  RowFailure& failure) {
    ids.resize(rows);
    lookup_uids(dict, column, std::min(rows, failure.row), [&](std::size_t row, std::optional<std::uint32_t> id) {
        if (!id) [[unlikely]] {
            failure = RowFailure{.row = row, .unknown_uid = column.text(row), .bad_vid = std::nullopt};
            return false;
        }
        ids[row] = *id;
        return true;
    });
}

// The vids of the rows before the first failure; a vid that does not parse becomes the failure
// when it lies before it. Within a row the uids are looked at first, so a row whose uid is
// unknown keeps that error even when its vid is bad too.
void resolve_vids(const StrColumn& column, std::size_t rows, std::vector<Id96>& vids, RowFailure& failure) {
    vids.resize(rows);
    const std::size_t end = std::min(rows, failure.row);
    for (std::size_t row = 0; row < end; ++row) {
        Result<Id96> vid = Id96::from_hex(column.text(row));
        if (!vid) [[unlikely]] {
            failure = RowFailure{.row = row, .unknown_uid = {}, .bad_vid = std::move(vid).error()};
            return;
        }
        vids[row] = *vid;
    }
}

}  // namespace

// ---- converters -----------------------------------------------------------------------------------

bool Snapshot::reserve(std::size_t count) {
    try {
        items_.reserve(items_.size() + count);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool StrList::convert(PyObject* value, type& out) {
    return read_items(value, [&out](PyObject* const* items, std::size_t count) {
        if (!out.items.reserve(count)) return false;
        for (std::size_t index = 0; index < count; ++index) {
            if (!check_str(items[index])) return false;
            out.items.hold(items[index]);
        }
        return true;
    });
}

bool OptStrList::convert(PyObject* value, type& out) {
    return read_items(value, [&out](PyObject* const* items, std::size_t count) {
        if (!out.items.reserve(count)) return false;
        for (std::size_t index = 0; index < count; ++index) {
            if (items[index] != Py_None && !check_str(items[index])) return false;
            out.items.hold(items[index]);
        }
        return true;
    });
}

bool I64List::convert(PyObject* value, type& out) {
    // The elements from the first one that is not an int on, held before any of them converts:
    // converting one may run Python code, which could change the sequence.
    Snapshot rest;
    std::size_t first_rest = 0;
    const bool read = read_items(value, [&](PyObject* const* items, std::size_t count) {
        if (!resize_or_raise(out.values, count)) return false;
        std::size_t index = 0;
        for (; index < count && PyLong_Check(items[index]); ++index) {
            if (!i64_value(items[index], out.values[index])) return false;
        }
        first_rest = index;
        if (!rest.reserve(count - index)) return false;
        for (; index < count; ++index) rest.hold(items[index]);
        return true;
    });
    if (!read) return false;
    for (std::size_t index = 0; index < rest.size(); ++index) {
        if (!i64_value(rest[index], out.values[first_rest + index])) return false;
    }
    return true;
}

namespace {

std::size_t column_length(const StrColumn& column) { return column.size(); }
std::size_t column_length(const OptStrColumn& column) { return column.size(); }
std::size_t column_length(const I64Column& column) { return column.values.size(); }

}  // namespace

template <class Cols>
bool ColsArg<Cols>::convert(PyObject* value, type& out) {
    return std::apply(
        [&](const auto&... fields) {
            return (extract_field<typename std::remove_cvref_t<decltype(fields)>::converter>(
                        value, ColsFields<Cols>::record, fields.key, out.*(fields.member)) &&
                    ...);
        },
        ColsFields<Cols>::fields);
}
template struct ColsArg<EdgeCols>;
template struct ColsArg<NodeCols>;

template <class Cols>
bool check_column_lengths(const char* method, const Cols& cols) {
    const std::size_t rows = cols.vid.size();
    return std::apply(
        [&](const auto& vid, const auto&... rest) {
            static_cast<void>(vid);
            return (check_column(method, rest.key, column_length(cols.*(rest.member)), rows) && ...);
        },
        ColsFields<Cols>::fields);
}

// ---- dictionary methods ---------------------------------------------------------------------------

PyObject* ensure_entities(StoreCall& call, StrColumn uids, StrColumn labels) {
    if (uids.size() != labels.size()) {
        raise_text(PyExc_RuntimeError, "ensure_entities: uids and labels differ in length");
        return nullptr;
    }
    NativeStore& store = call.store();
    const Dictionary& dict = store.dict();
    // Looked up in batches as the loop reaches them. The dictionary only grows here, so a uid
    // found is held at its position; one missing is looked up again there only when this call
    // has added something since its batch was looked up (an earlier position may have added it).
    std::size_t pushed_at_lookup = 0, pushed = 0;
    bool refused = false;
    lookup_uids(dict, uids, uids.size(), [&](std::size_t index, std::optional<std::uint32_t> held) {
        if (index % UID_CHUNK == 0) pushed_at_lookup = pushed;
        const std::string_view uid = uids.text(index);
        // A uid already held (committed or staged) keeps its id and its first label.
        if (held || (pushed != pushed_at_lookup && dict.dense_id(uid))) return true;
        if (auto added = store.add_entity(uid, labels.text(index)); !added) {
            err(std::move(added).error());
            refused = true;
            return false;
        }
        ++pushed;
        return true;
    });
    if (refused) return nullptr;
    return py_none();
}

PyObject* dense_ids(StoreCall& call, StrColumn uids) {
    // The result buffer is reserved whole before it is filled, and handed to NumPy as it is.
    std::vector<std::int64_t> ids;
    ids.reserve(uids.size());
    bool known = true;
    lookup_uids(call.store().dict(), uids, uids.size(), [&](std::size_t index, std::optional<std::uint32_t> id) {
        if (!id) {
            unknown_uid_error(uids.text(index));
            known = false;
            return false;
        }
        ids.push_back(static_cast<std::int64_t>(*id));
        return true;
    });
    if (!known) return nullptr;
    return to_numpy(std::move(ids));
}

PyObject* uids_for(StoreCall& call, I64Column ids) {
    const Dictionary& dict = call.store().dict();
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

PyObject* num_entities(StoreCall& call) { return py_int(static_cast<std::uint64_t>(call.store().dict().size())); }

// ---- staging methods ------------------------------------------------------------------------------

PyObject* stage_edges(StoreCall& call, EdgeCols cols) {
    const std::size_t rows = cols.vid.size();
    if (!check_column_lengths("stage_edges", cols)) return nullptr;
    NativeStore& store = call.store();
    // src before dst within a row: a row whose src and dst are both unknown names its src.
    RowFailure failure;
    std::vector<std::uint32_t> src_ids, dst_ids;
    std::vector<Id96> vids;
    resolve_uids(store.dict(), cols.src, rows, src_ids, failure);
    resolve_uids(store.dict(), cols.dst, rows, dst_ids, failure);
    resolve_vids(cols.vid, rows, vids, failure);

    const std::size_t good = std::min(rows, failure.row);
    if (good > 0) {
        // Each row would meet the same batch test; the first one refuses them all.
        VORP_PY_TRY(store.stage_edges(std::span<const Id96>(vids).first(good), [&cols, &src_ids, &dst_ids](std::size_t row, EdgeRow& edge) {
            edge.rel_type = cols.rel_type.text(row);
            edge.disc = cols.disc.text(row);
            edge.props = cols.props.text(row);
            edge.source = cols.source.text(row);
            set_optional_text(cols.provenance_ref, row, edge.prov);
            edge.vt_s = cols.vt_s.values[row];
            edge.vt_e = cols.vt_e.values[row];
            edge.tt_s = cols.tt_s.values[row];
            edge.src_id = src_ids[row];
            edge.dst_id = dst_ids[row];
        }));
    }
    if (good < rows) return failure.raise();
    return py_none();
}

PyObject* stage_nodes(StoreCall& call, NodeCols cols) {
    const std::size_t rows = cols.vid.size();
    if (!check_column_lengths("stage_nodes", cols)) return nullptr;
    NativeStore& store = call.store();
    RowFailure failure;
    std::vector<std::uint32_t> uid_ids;
    std::vector<Id96> vids;
    resolve_uids(store.dict(), cols.uid, rows, uid_ids, failure);
    resolve_vids(cols.vid, rows, vids, failure);

    const std::size_t good = std::min(rows, failure.row);
    if (good > 0) {
        VORP_PY_TRY(store.stage_nodes(std::span<const Id96>(vids).first(good), [&cols, &uid_ids](std::size_t row, NodeRow& node) {
            node.label = cols.label.text(row);
            node.props = cols.props.text(row);
            node.source = cols.source.text(row);
            set_optional_text(cols.provenance_ref, row, node.prov);
            node.vt_s = cols.vt_s.values[row];
            node.vt_e = cols.vt_e.values[row];
            node.tt_s = cols.tt_s.values[row];
            node.uid_id = uid_ids[row];
        }));
    }
    if (good < rows) return failure.raise();
    return py_none();
}

PyObject* stage_closes(StoreCall& call, std::string kind, StrColumn vids, std::int64_t tt_e) {
    // The kind word is checked after every argument converted and before the first vid.
    const std::optional<std::uint8_t> row_kind = kind_of(kind);
    if (!row_kind) return nullptr;
    for (std::size_t index = 0; index < vids.size(); ++index) {
        const Id96 vid = VORP_PY_TRY(Id96::from_hex(vids.text(index)));
        if (auto closed = call.store().close_version(static_cast<RowKind>(*row_kind), vid, tt_e); !closed) {
            return err(std::move(closed).error());
        }
    }
    return py_none();
}

PyObject* stage_retires(StoreCall& call, std::string kind, StrColumn vids) {
    const std::optional<std::uint8_t> row_kind = kind_of(kind);
    if (!row_kind) return nullptr;
    for (std::size_t index = 0; index < vids.size(); ++index) {
        const Id96 vid = VORP_PY_TRY(Id96::from_hex(vids.text(index)));
        if (auto retired = call.store().retire_version(static_cast<RowKind>(*row_kind), vid); !retired) {
            return err(std::move(retired).error());
        }
    }
    return py_none();
}

}  // namespace vorp::py
