#include "native_store.h"

#include <new>
#include <string>

#include "staging_methods.h"
#include "store_method.h"

namespace vorp::py {

namespace {

// ---- construction and destruction -----------------------------------------------------------------

// NativeStore(path): the store open runs on the caller's thread, with the interpreter lock held.
PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* const keywords[] = {"path", nullptr};
        PyObject* path_arg = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:NativeStore", const_cast<char**>(keywords), &path_arg))
            return nullptr;
        std::string path;
        if (!Str::convert(path_arg, path)) {
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

PyObject* generation(StoreCall& call) { return py_int(call.store().manifest.generation); }

PyObject* open_phase_us(StoreCall& call) {
    const OpenPhases& phases = call.store().open_phases;
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

PyObject* manifest_sha(StoreCall& call) { return py_str(call.store().manifest.manifest_sha); }

PyObject* manifest_format(StoreCall& call) { return py_int(call.store().manifest.format); }

PyObject* checkpoint_generation(StoreCall& call) { return py_int(call.store().checkpoint_generation); }

// The class's methods in the order of its published method index; each later method takes its
// place in that order.
PyMethodDef* store_methods() {
    static PyMethodDef methods[] = {
        StoreMethod<"close($self)", Borrow::exclusive, &close>::def(),
        StoreMethod<"generation($self)", Borrow::shared, &generation>::def(),
        StoreMethod<"open_phase_us($self)", Borrow::shared, &open_phase_us>::def(),
        StoreMethod<"ensure_entities($self, uids, labels)", Borrow::exclusive, &ensure_entities, StrList, StrList>::def(),
        StoreMethod<"dense_ids($self, uids)", Borrow::shared, &dense_ids, StrList>::def(),
        StoreMethod<"uids_for($self, ids)", Borrow::shared, &uids_for, I64List>::def(),
        StoreMethod<"num_entities($self)", Borrow::shared, &num_entities>::def(),
#ifdef VORP_HAVE_BATCHES
        StoreMethod<"stage_edges($self, cols)", Borrow::exclusive, &stage_edges, EdgeColsArg>::def(),
        StoreMethod<"stage_nodes($self, cols)", Borrow::exclusive, &stage_nodes, NodeColsArg>::def(),
        StoreMethod<"stage_closes($self, kind, vids, tt_e)", Borrow::exclusive, &stage_closes, Str, StrList, I64>::def(),
        StoreMethod<"stage_retires($self, kind, vids)", Borrow::exclusive, &stage_retires, Str, StrList>::def(
            STAGE_RETIRES_DOC),
#endif
        StoreMethod<"manifest_sha($self)", Borrow::shared, &manifest_sha>::def(),
        StoreMethod<"manifest_format($self)", Borrow::shared, &manifest_format>::def(),
        StoreMethod<"checkpoint_generation($self)", Borrow::shared, &checkpoint_generation>::def(),
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
    if (type == nullptr) type = create_store_class("vorp._engine.NativeStore", "NativeStore(path)\n--\n\n", store_methods());
    PyTypeObject* created = type;
    PyMutex_Unlock(&creating);
    return created;
}

}  // namespace vorp::py
