// ProbeStore: a test-only class of _engine_probe built with NativeStore's constructor, layout and
// method machinery, whose methods exercise what the real methods share (argument matching, the
// borrow, conversions with their notes, error mapping, the interpreter lock) before the store has
// methods that take arguments.
#include "store_probe.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store_method.h"
#include "vorp/row.h"

namespace {

using namespace vorp::py;

PyObject* generation(StoreCall& call) { return py_int(call.store().manifest.generation); }
PyObject* close(StoreCall&) { return py_none(); }
PyObject* echo(StoreCall&, std::int64_t value) { return py_int(value); }

// Returns its converted arguments as a tuple, None for an absent optional.
PyObject* convert(StoreCall&, std::int64_t a, std::uint64_t b, std::vector<std::string> c, std::int64_t d,
                  std::optional<std::vector<std::uint32_t>> e, bool f) {
    PyObject* names = PyList_New(0);
    for (const std::string& text : c) PyList_Append(names, py_str(text));
    PyObject* ids = Py_None;
    if (e) {
        ids = PyList_New(0);
        for (std::uint32_t id : *e) PyList_Append(ids, py_int(id));
    } else {
        Py_INCREF(ids);
    }
    return Py_BuildValue("(LKNLNO)", static_cast<long long>(a), static_cast<unsigned long long>(b), names,
                         static_cast<long long>(d), ids, f ? Py_True : Py_False);
}

PyObject* kind(StoreCall&, std::string word) {
    const auto row_kind = kind_of(word);
    if (!row_kind) return nullptr;
    return py_int(std::uint64_t{*row_kind});
}

// fail(how): "panic" throws the internal failure, anything else is an engine error category.
PyObject* fail(StoreCall&, std::string how) {
    if (how == "panic") vorp::engine_panic("probe panic");
    vorp::Status failed = vorp::fail(vorp::EngineError::invariant("probe failure"));
    VORP_PY_TRY(failed);
    return py_none();
}

PyObject* released(StoreCall& call) {
    const std::uint64_t value = without_gil([&] { return call.store().manifest.generation + 1; });
    return py_int(value);
}

PyObject* dict_order(StoreCall&) {
    return DictBuilder().add("z", py_int(std::uint64_t{1})).add("a", py_int(std::uint64_t{2})).finish();
}

PyMethodDef probe_store_methods[] = {
    StoreMethod<"generation($self)", Borrow::shared, &generation>::def(),
    StoreMethod<"close($self)", Borrow::exclusive, &close>::def(),
    StoreMethod<"shared_echo($self, value)", Borrow::shared, &echo, I64>::def(),
    StoreMethod<"exclusive_echo($self, value)", Borrow::exclusive, &echo, I64>::def("Echoes its value."),
    StoreMethod<"convert($self, a, b, c, d=..., e=None, f=False)", Borrow::shared, &convert, I64, U64,
                ListOf<Str>, OrDefault<I64, vorp::OPEN_END>, OrNone<ListOf<U32>>, OrDefault<Bool, false>>::def(),
    StoreMethod<"kind($self, kind)", Borrow::shared, &kind, Str>::def(),
    StoreMethod<"fail($self, how)", Borrow::exclusive, &fail, Str>::def(),
    StoreMethod<"released($self)", Borrow::shared, &released>::def(),
    StoreMethod<"dict_order($self)", Borrow::shared, &dict_order>::def(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_probe_store(PyObject* module) {
    PyTypeObject* type = create_store_class("_engine_probe.ProbeStore", "ProbeStore(path)\n--\n\n", probe_store_methods);
    if (type == nullptr) return false;
    const int rc = PyModule_AddType(module, type);
    Py_DECREF(type);
    return rc == 0;
}
