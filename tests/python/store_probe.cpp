// ProbeStore: a test-only class of _engine_probe built with NativeStore's constructor, layout and
// method machinery, whose methods exercise what the real methods share (argument matching, the
// borrow, conversions with their notes, error mapping, the interpreter lock) before the store has
// methods that take arguments.
#include "store_probe.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <optional>
#include <string>
#include <vector>

#include "store_method.h"
#include "vorp/row.h"
#include "vorp/store.h"

namespace {

using namespace vorp::py;

PyObject* generation(StoreCall& call) { return py_int(call.store().manifest().generation); }
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

PyObject* dict_order(StoreCall&) {
    return DictBuilder().add("z", py_int(std::uint64_t{1})).add("a", py_int(std::uint64_t{2})).finish();
}

// stage_sample(tt, edges, nodes, closes): opens a batch at tt and stages `edges` edge and `nodes`
// node versions with vids (tt, i) between fresh entities "u{tt}-{i}", then closes the stored
// versions named by the vid texts in `closes` at tt. Stands in for the staging methods.
PyObject* stage_sample(StoreCall& call, std::int64_t tt, std::uint64_t edges, std::uint64_t nodes,
                       std::vector<std::string> closes) {
    vorp::NativeStore& store = call.store();
    VORP_PY_TRY(store.begin(tt));
    const auto entity = [&](std::uint64_t index) {
        const std::string uid = fmt::format("u{}-{}", tt, index);
        if (const auto id = store.dict().dense_id(uid)) return *id;
        return store.add_entity(uid, "thing").value();
    };
    for (std::uint64_t i = 0; i < edges; ++i) {
        vorp::EdgeRow row;
        row.rel_type = i % 2 ? "knows" : "likes";
        row.disc = std::to_string(i);
        row.props = "{}";
        row.source = "probe";
        row.vid = vorp::Id96{static_cast<std::uint64_t>(tt), static_cast<std::uint32_t>(i)};
        row.vt_s = static_cast<std::int64_t>(i);
        row.vt_e = static_cast<std::int64_t>(i) + 10;
        row.tt_s = tt;
        row.src_id = entity(i % 7);
        row.dst_id = entity(i % 5);
        VORP_PY_TRY(store.stage_edge(std::move(row)));
    }
    for (std::uint64_t i = 0; i < nodes; ++i) {
        const std::uint32_t uid_id = entity(i);
        VORP_PY_TRY(store.stage_node(vorp::NodeRow{
            std::string("thing"), std::string("{}"), std::string("probe"), std::nullopt,
            vorp::Id96{static_cast<std::uint64_t>(tt) + (std::uint64_t{1} << 40), static_cast<std::uint32_t>(i)},
            static_cast<std::int64_t>(i), vorp::OPEN_END, tt, uid_id}));
    }
    for (const std::string& text : closes) {
        const vorp::Id96 vid = VORP_PY_TRY(vorp::Id96::from_hex(text));
        const vorp::RowKind kind = vid.prefix >> 40 ? vorp::RowKind::Node : vorp::RowKind::Edge;
        VORP_PY_TRY(store.close_version(kind, vid, tt));
    }
    return py_none();
}

// stored(): every stored version of the current generation as (kind, vid, tt_e), read from the
// segment files through the close index, sorted.
PyObject* stored(StoreCall& call) {
    vorp::NativeStore& store = call.store();
    const auto overlay = VORP_PY_TRY(store.committed_close_index());
    std::vector<std::tuple<std::string, std::string, std::int64_t>> rows;
    for (const vorp::RowKind kind : {vorp::RowKind::Node, vorp::RowKind::Edge}) {
        const auto files = kind == vorp::RowKind::Edge ? store.edge_files() : store.node_files();
        for (const vorp::SegmentFileRef& ref : files) {
            const auto segment = VORP_PY_TRY(store.open_segment(ref.file));
            const auto high = VORP_PY_TRY(segment->typed<std::uint64_t>("vid64"));
            const auto low = VORP_PY_TRY(segment->typed<std::uint32_t>("vid_lo32"));
            for (std::size_t row = 0; row < high.size(); ++row) {
                const std::int64_t tt_e = vorp::close_tt_e(overlay.get(), ref.segment_id, static_cast<std::uint32_t>(row),
                                                            segment->header.closed_rows);
                rows.emplace_back(std::string(vorp::row_kind_word(kind)), vorp::Id96{high[row], low[row]}.to_hex(), tt_e);
            }
        }
    }
    std::sort(rows.begin(), rows.end());
    PyObject* list = PyList_New(0);
    if (list == nullptr) return nullptr;
    for (const auto& [kind, vid, tt_e] : rows) {
        PyObject* item = Py_BuildValue("(ssL)", kind.c_str(), vid.c_str(), static_cast<long long>(tt_e));
        if (item == nullptr || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

PyObject* commit(StoreCall& call) {
    const std::uint64_t generation = VORP_PY_TRY(call.store().commit(call.store().manifest().event_log));
    return py_int(generation);
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
    StoreMethod<"dict_order($self)", Borrow::shared, &dict_order>::def(),
    StoreMethod<"stage_sample($self, tt, edges, nodes, closes)", Borrow::exclusive, &stage_sample, I64, U64, U64,
                ListOf<Str>>::def(),
    StoreMethod<"stored($self)", Borrow::shared, &stored>::def(),
    StoreMethod<"commit($self)", Borrow::exclusive, &commit>::def(),
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
