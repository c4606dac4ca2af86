#include "native_store.h"

#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "aggregate_methods.h"
#include "docs.h"
#include "maintenance_methods.h"
#include "read_methods.h"
#include "scan_methods.h"
#include "staging_methods.h"
#include "store_method.h"
#include "verify_methods.h"
#include "vorp/pins.h"

namespace vorp::py {

namespace {

// ---- construction and destruction -----------------------------------------------------------------

// A path given as str or as an os.PathLike whose __fspath__ gives a str (pathlib.Path), as UTF-8.
// Bytes paths are refused (TypeError), as is anything else, with the str converter's message.
bool path_text(PyObject* value, std::string& out) {
    if (PyUnicode_Check(value) || PyBytes_Check(value)) return Str::convert(value, out);
    const int path_like = PyObject_HasAttrStringWithError(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__");
    if (path_like < 0) return false;
    if (path_like == 0) return Str::convert(value, out);
    PyObject* text = PyOS_FSPath(value);
    if (text == nullptr) return false;
    const bool converted = Str::convert(text, out);
    Py_DECREF(text);
    return converted;
}

// NativeStore(path): the store open runs on the caller's thread, with the interpreter lock held.
PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"path", nullptr};
        PyObject* path_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:NativeStore", const_cast<char**>(keywords), &path_arg))
            return nullptr;
        std::string path;
        if (!path_text(path_arg, path)) {
            note_argument("path");
            return nullptr;
        }
        // An empty path would make the current directory a store. Refused before any file call.
        if (path.empty()) {
            PyErr_SetString(PyExc_ValueError, "path is empty");
            note_argument("path");
            return nullptr;
        }
        // The operating system reads a path only up to its first NUL: "st\0ore" would create and
        // open "st". Refused before any file is touched, as Python's own file functions do.
        if (path.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            note_argument("path");
            return nullptr;
        }
        auto opened = NativeStore::open(path);
        if (!opened) return err(std::move(opened).error());
        // Should the object not come into being, `opened` drops the handle, which unpins it.
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        auto* object = reinterpret_cast<StoreObject*>(self);
        new (&object->state) StoreState();
        object->state.store = std::move(*opened);
        return self;
    });
}

void store_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Drops the handle: it unpins its generation first, then releases everything it holds.
    reinterpret_cast<StoreObject*>(self)->state.~StoreState();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods (in the order of the class's method table) ---------------------------------------------

// Takes the exclusive borrow and gives it back: it releases nothing, ends no batch, writes
// nothing, and succeeds exactly when no other call holds the object.
PyObject* close(StoreCall&) { return py_none(); }

PyObject* generation(StoreCall& call) { return py_int(call.store().manifest().generation); }

PyObject* begin(StoreCall& call, std::int64_t tt) {
    VORP_PY_TRY(call.store().begin(tt));
    return py_none();
}

// The cursor is the one staged since the last commit, taken out of the object first (so a failed
// commit consumes it too), else the current generation's. Only a commit refused because another
// writer holds the store gives it back: that refusal changes nothing, so the retry it asks for
// records the same cursor.
PyObject* commit(StoreCall& call) {
    NativeStore& store = call.store();
    EventLogRef cursor = store.manifest().event_log;
    std::optional<PendingCursor> taken = std::exchange(call.state().pending_cursor, std::nullopt);
    if (taken) cursor = EventLogRef{taken->offset, taken->chain};
    Result<std::uint64_t> committed = store.commit(std::move(cursor));
    if (!committed && is_writer_busy(committed.error())) call.state().pending_cursor = std::move(taken);
    const std::uint64_t generation = VORP_PY_TRY(std::move(committed));
    return py_int(generation);
}

// The staged cursor goes before the engine is asked, so it is gone even when the engine refuses.
PyObject* rollback(StoreCall& call) {
    call.state().pending_cursor.reset();
    VORP_PY_TRY(call.store().rollback());
    return py_none();
}

PyObject* set_event_cursor(StoreCall& call, std::uint64_t offset, std::string chain) {
    call.state().pending_cursor = PendingCursor{std::move(chain), offset};
    return py_none();
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    for (PyObject* item : items) {
        if (item == nullptr) {
            for (PyObject* other : items) Py_XDECREF(other);
            return nullptr;
        }
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) {
        for (PyObject* item : items) Py_DECREF(item);
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple, index++, item);
    return tuple;
}

PyObject* event_cursor(StoreCall& call) {
    const EventLogRef& cursor = call.store().manifest().event_log;
    return tuple_of({py_int(cursor.offset), py_str(cursor.chain)});
}

PyObject* segment_cache_stats(StoreCall& call) {
    const SegmentCacheStats stats = call.store().segment_cache_stats();
    return tuple_of({py_int(stats.entries), py_int(stats.accounted_bytes),
                     stats.budget ? py_int(*stats.budget) : py_none(), py_int(stats.evictions)});
}

PyObject* postings_stats(StoreCall& call, std::string kind) {
    const std::optional<std::uint8_t> row_kind = kind_of(kind);
    if (!row_kind) return nullptr;
    const PostingsStats stats = call.store().postings_stats(static_cast<RowKind>(*row_kind));
    return tuple_of({py_int(stats.by_identity_entries), py_int(stats.by_vid_entries), py_int(stats.indexed_segments)});
}

PyObject* last_commit_phases(StoreCall& call) {
    const std::optional<CommitPhases>& phases = call.store().last_commit_phases();
    if (!phases) return py_none();
    return DictBuilder()
        .add("capture_us", py_int(phases->capture_us))
        .add("seal_us", py_int(phases->seal_us))
        .add("closes_us", py_int(phases->closes_us))
        .add("stats_us", py_int(phases->stats_us))
        .add("dict_us", py_int(phases->dict_us))
        .add("digest_us", py_int(phases->digest_us))
        .add("debug_verify_us", py_int(phases->debug_verify_us))
        .add("delta_build_us", py_int(phases->delta_build_us))
        .add("manifest_us", py_int(phases->manifest_us))
        .add("current_us", py_int(phases->current_us))
        .add("total_us", py_int(phases->total_us))
        .add("manifest_bytes", py_int(phases->manifest_bytes))
        .add("segments_named", py_int(phases->segments_named))
        .add("manifest_checkpoint", py_int(std::uint64_t{phases->manifest_checkpoint ? 1u : 0u}))
        .finish();
}

PyObject* open_phase_us(StoreCall& call) {
    const OpenPhases& phases = call.store().open_phases();
    return DictBuilder()
        .add("checkpoint_read_parse_us", py_int(phases.checkpoint_read_parse_us))
        .add("merkle_verify_us", py_int(phases.merkle_verify_us))
        .add("state_build_us", py_int(phases.state_build_us))
        .add("delta_replay_us", py_int(phases.delta_replay_us))
        .add("delta_count", py_int(phases.delta_count))
        .add("dictionary_open_us", py_int(phases.dictionary_open_us))
        .add("other_us", py_int(phases.other_us))
        .add("total_us", py_int(phases.total_us))
        .add("chain_format", py_int(phases.chain_format))
        .finish();
}

PyObject* manifest_sha(StoreCall& call) { return py_str(call.store().manifest().manifest_sha); }

PyObject* manifest_format(StoreCall& call) { return py_int(call.store().manifest().format); }

PyObject* checkpoint_generation(StoreCall& call) { return py_int(call.store().checkpoint_generation()); }

PyObject* in_batch(StoreCall& call) { return py_bool(call.store().in_batch()); }

PyObject* optional_int(const std::optional<std::int64_t>& value) { return value ? py_int(*value) : py_none(); }

PyObject* stats(StoreCall& call) {
    NativeStore& store = call.store();
    const StatsAccum accum = VORP_PY_TRY(store.stats_accum());
    PyObject* counts = PyDict_New();
    if (counts == nullptr) return nullptr;
    for (const auto& [rel_type, count] : accum.rel_type_counts) {
        PyObject* key = py_str(rel_type);
        PyObject* value = py_int(count);
        const int added = key != nullptr && value != nullptr ? PyDict_SetItem(counts, key, value) : -1;
        Py_XDECREF(key);
        Py_XDECREF(value);
        if (added != 0) {
            Py_DECREF(counts);
            return nullptr;
        }
    }
    return DictBuilder()
        .add("n_entities", py_int(static_cast<std::uint64_t>(store.dict().size())))
        .add("n_node_versions", py_int(accum.n_node_versions))
        .add("n_edge_versions", py_int(accum.n_edge_versions))
        .add("vt_min", optional_int(accum.vt_min))
        .add("vt_max", optional_int(accum.vt_max))
        .add("rel_type_counts", counts)
        .add("max_out_degree", py_int(accum.max_out_degree()))
        .add("generation", py_int(store.manifest().generation))
        .finish();
}

PyObject* current_only(StoreCall& call) { return py_bool(call.store().current_only()); }

PyObject* upgrade_manifests(StoreCall& call) {
    const UpgradeReport report = VORP_PY_TRY(call.store().upgrade_manifests());
    return DictBuilder()
        .add("upgraded", py_bool(report.upgraded))
        .add("from_format", py_int(report.from_format))
        .add("to_format", py_int(report.to_format))
        .add("generation", py_int(report.generation))
        .add("manifest_sha", py_str(report.manifest_sha))
        .finish();
}

// The class's methods in the order of its published method index; each later method takes its
// place in that order.
PyMethodDef* store_methods() {
    static PyMethodDef methods[] = {
        StoreMethod<"close($self)", Borrow::exclusive, &close>::def(doc::CLOSE),
        StoreMethod<"generation($self)", Borrow::shared, &generation>::def(doc::GENERATION),
        StoreMethod<"begin($self, tt)", Borrow::exclusive, &begin, I64>::def(doc::BEGIN),
        StoreMethod<"commit($self)", Borrow::exclusive, &commit>::def(doc::COMMIT),
        StoreMethod<"rollback($self)", Borrow::exclusive, &rollback>::def(doc::ROLLBACK),
        StoreMethod<"set_event_cursor($self, offset, chain)", Borrow::exclusive, &set_event_cursor, U64,
                    Str>::def(doc::SET_EVENT_CURSOR),
        StoreMethod<"event_cursor($self)", Borrow::shared, &event_cursor>::def(doc::EVENT_CURSOR),
        StoreMethod<"segment_cache_stats($self)", Borrow::shared, &segment_cache_stats>::def(doc::SEGMENT_CACHE_STATS),
        StoreMethod<"postings_stats($self, kind)", Borrow::shared, &postings_stats, Str>::def(doc::POSTINGS_STATS),
        StoreMethod<"last_commit_phases($self)", Borrow::shared, &last_commit_phases>::def(doc::LAST_COMMIT_PHASES),
        StoreMethod<"open_phase_us($self)", Borrow::shared, &open_phase_us>::def(doc::OPEN_PHASE_US),
        StoreMethod<"in_batch($self)", Borrow::shared, &in_batch>::def(doc::IN_BATCH),
        StoreMethod<"ensure_entities($self, uids, labels)", Borrow::exclusive, &ensure_entities, StrList,
                    StrList>::def(doc::ENSURE_ENTITIES),
        StoreMethod<"dense_ids($self, uids)", Borrow::shared, &dense_ids, StrList>::def(doc::DENSE_IDS),
        StoreMethod<"uids_for($self, ids)", Borrow::shared, &uids_for, I64List>::def(doc::UIDS_FOR),
        StoreMethod<"num_entities($self)", Borrow::shared, &num_entities>::def(doc::NUM_ENTITIES),
        StoreMethod<"stage_edges($self, cols)", Borrow::exclusive, &stage_edges, EdgeColsArg>::def(doc::STAGE_EDGES),
        StoreMethod<"stage_nodes($self, cols)", Borrow::exclusive, &stage_nodes, NodeColsArg>::def(doc::STAGE_NODES),
        StoreMethod<"stage_closes($self, kind, vids, tt_e)", Borrow::exclusive, &stage_closes, Str, StrList,
                    I64>::def(doc::STAGE_CLOSES),
        StoreMethod<"stage_retires($self, kind, vids)", Borrow::exclusive, &stage_retires, Str,
                    StrList>::def(doc::STAGE_RETIRES),
        StoreMethod<"all_versions($self, kind)", Borrow::shared, &all_versions, Str>::def(doc::ALL_VERSIONS),
        StoreMethod<"believed($self, kind, identity, as_of_tt=...)", Borrow::shared, &believed, Str, Str,
                    OrDefault<I64, OPEN_END>>::def(doc::BELIEVED),
        StoreMethod<"believed_any($self, uids, as_of_tt=...)", Borrow::shared, &believed_any, ListOf<Str>,
                    OrDefault<I64, OPEN_END>>::def(doc::BELIEVED_ANY),
        StoreMethod<"resolve_entities($self, query, as_of_tt=...)", Borrow::shared, &resolve_entities, Str,
                    OrDefault<I64, OPEN_END>>::def(doc::RESOLVE_ENTITIES),
        StoreMethod<"props_for_vids($self, kind, vids)", Borrow::shared, &props_for_vids, Str,
                    ListOf<Str>>::def(doc::PROPS_FOR_VIDS),
        scan_edges_method(),
        aggregate_edges_def(),
        StoreMethod<"edge_idents_at($self, seg_ids, seg_rows)", Borrow::shared, &edge_idents_at, ListOf<I64>,
                    ListOf<I64>>::def(doc::EDGE_IDENTS_AT),
        StoreMethod<"manifest_sha($self)", Borrow::shared, &manifest_sha>::def(doc::MANIFEST_SHA),
        StoreMethod<"manifest_format($self)", Borrow::shared, &manifest_format>::def(doc::MANIFEST_FORMAT),
        StoreMethod<"checkpoint_generation($self)", Borrow::shared,
                    &checkpoint_generation>::def(doc::CHECKPOINT_GENERATION),
        StoreMethod<"scan_nodes($self, as_of_tt=..., vt_min=None, vt_max=None)", Borrow::shared, &scan_nodes,
                    OrDefault<I64, OPEN_END>, OrNone<I64>, OrNone<I64>>::def(doc::SCAN_NODES),
        StoreMethod<"version_page($self, kind, as_of_tt, t_a, t_b, belief, rel_types, offset, limit)", Borrow::shared,
                    &version_page, Str, I64, I64, I64, Str, NoneOr<ListOf<Str>>, I64, I64>::def(doc::VERSION_PAGE),
        StoreMethod<"stats($self)", Borrow::shared, &stats>::def(doc::STATS),
        StoreMethod<"verify($self, full=False)", Borrow::shared, &verify, OrDefault<Bool, false>>::def(doc::VERIFY),
        StoreMethod<"needs_compaction($self)", Borrow::shared, &needs_compaction>::def(doc::NEEDS_COMPACTION),
        StoreMethod<"compact($self)", Borrow::exclusive, &compact>::def(doc::COMPACT),
        StoreMethod<"compact_current_only($self)", Borrow::exclusive,
                    &compact_current_only>::def(doc::COMPACT_CURRENT_ONLY),
        StoreMethod<"current_only($self)", Borrow::shared, &current_only>::def(doc::CURRENT_ONLY),
        StoreMethod<"gc($self, keep_last=...)", Borrow::exclusive, &gc, OrDefault<U64, 2>>::def(doc::GC),
        StoreMethod<"upgrade_manifests($self)", Borrow::exclusive, &upgrade_manifests>::def(doc::UPGRADE_MANIFESTS),
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

}  // namespace

PyTypeObject* create_store_class(const char* qualified_name, const char* doc, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&store_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&store_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec spec = {
        qualified_name,
        static_cast<int>(sizeof(StoreObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

PyTypeObject* native_store_type() {
    // Created once per process and never freed: objects and module objects may outlive each other.
    // PyMutex lets go of the interpreter lock while it waits.
    static PyMutex creating{};
    static PyTypeObject* type = nullptr;
    PyMutex_Lock(&creating);
    if (type == nullptr) type = create_store_class("vorp._engine.NativeStore", doc::NATIVE_STORE, store_methods());
    PyTypeObject* created = type;
    PyMutex_Unlock(&creating);
    return created;
}

}  // namespace vorp::py
