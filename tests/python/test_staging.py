"""Writing a store from Python: the uid dictionary methods and the four staging methods.

A batch written from Python columns is committed and read back in another process field by
field; then one table of bad inputs per method, each case checked for its exception type, text
and argument note, and for exactly which rows, closes and entities it left staged."""

import collections.abc
import json

import numpy as np
import pytest

from vorp._engine import OPEN_END, NativeStore

ENGINE_BUG = "this is an engine bug; please report it with the store manifest"
EDGE_KEYS = ["vid", "src", "dst", "rel_type", "disc", "vt_s", "vt_e", "tt_s", "props", "source", "provenance_ref"]
NODE_KEYS = ["vid", "uid", "label", "vt_s", "vt_e", "tt_s", "props", "source", "provenance_ref"]


def vid(n: int, low: int = 0) -> str:
    return f"{n:016x}{low:08x}"


def edge_cols(rows):
    """Columns from rows given as (vid, src, dst, rel_type, disc, vt_s, vt_e, tt_s, props, source, prov)."""
    return {key: [row[index] for row in rows] for index, key in enumerate(EDGE_KEYS)}


def node_cols(rows):
    return {key: [row[index] for row in rows] for index, key in enumerate(NODE_KEYS)}


def edge_row(n, src="a", dst="b", **changes):
    row = dict(vid=vid(n), src=src, dst=dst, rel_type="knows", disc="", vt_s=10 * n, vt_e=10 * n + 5, tt_s=7,
               props=f'{{"n":{n}}}', source="test", provenance_ref=None)
    row.update(changes)
    return tuple(row[key] for key in EDGE_KEYS)


def node_row(n, uid="a", **changes):
    row = dict(vid=vid(n, 1), uid=uid, label="Person", vt_s=n, vt_e=OPEN_END, tt_s=7, props="{}", source="test",
               provenance_ref=None)
    row.update(changes)
    return tuple(row[key] for key in NODE_KEYS)


def staged(store, kind):
    """(vid, tt_e) of every version the store holds of that kind, stored and staged."""
    rows = store.all_versions(kind)
    return sorted(zip(rows["vid"], rows["tt_e"]))


def open_batch(tmp_path, uids=("a", "b", "c")):
    store = NativeStore(str(tmp_path / "store"))
    store.ensure_entities(list(uids), [f"L{u}" for u in uids])
    store.begin(100)
    return store


# ---- round trip through a commit and another process --------------------------------------------

def test_batch_written_from_python_reads_back_in_another_process(tmp_path, fresh_python):
    root = tmp_path / "store"
    store = NativeStore(str(root))
    uids = ["alice", "bob", "café ☕", ""]
    store.ensure_entities(uids, ["Person", "Person", "Place", "Empty"])
    store.begin(1000)
    nodes = [
        (vid(1, 1), "alice", "Person", 5, OPEN_END, 1000, '{"name":"Alice"}', "crm", None),
        (vid(2, 1).upper(), "café ☕", "Place", -3, 9, 999, '{"name":"Café"}', "geo", "row:7"),
        (vid(3, 1), "", "", -(2**63), 2**63 - 1, 0, "", "", ""),
    ]
    edges = [
        (vid(10), "alice", "bob", "knows", "", 100, 101, 1000, '{"w":1}', "crm", None),
        (vid(11), "bob", "café ☕", "visited", "2024", 50, 3_000_000_000_000, 1000, "{}", "geo", "log:1\n"),
        (vid(12), "", "alice", "", "d\"q", -5, -4, -1, "[]", "", ""),
        (vid(13).upper(), "alice", "alice", "knows", "", 7, 8, 1000, "{}", "crm", None),
        (vid(14), "bob", "alice", "knows", "", 1, 2, 1000, "{}", "crm", None),
    ]
    store.stage_nodes(node_cols(nodes))
    store.stage_edges(edge_cols(edges))
    store.stage_closes("edge", [vid(13)], 1500)  # a version staged in this batch, closed in it
    store.stage_retires("edge", [vid(14)])       # withdrawn before the commit
    assert store.commit() == 1
    del store

    child = fresh_python(f"""
        import json
        from vorp._engine import NativeStore
        store = NativeStore({str(root)!r})
        print(json.dumps({{
            "entities": store.num_entities(),
            "ids": store.dense_ids({uids!r}).tolist(),
            "uids": store.uids_for([3, 2, 1, 0]),
            "edge": store.all_versions("edge"),
            "node": store.all_versions("node"),
        }}))
    """)
    assert child.returncode == 0, child.stderr
    got = json.loads(child.stdout)
    assert (got["entities"], got["ids"], got["uids"]) == (4, [0, 1, 2, 3], uids[::-1])

    def by_vid(columns):
        return sorted(zip(*columns.values()))

    expect_edges = [
        (v.lower(), src, dst, rel, disc, vt_s, vt_e, tt_s, 1500 if v.lower() == vid(13) else OPEN_END, props,
         source, prov)
        for v, src, dst, rel, disc, vt_s, vt_e, tt_s, props, source, prov in edges[:4]]
    edge_got = got["edge"]
    assert list(edge_got) == ["eid", "vid", "src", "dst", "rel_type", "disc", "vt_s", "vt_e", "tt_s", "tt_e",
                              "props", "source", "provenance_ref"]
    del edge_got["eid"]
    assert by_vid(edge_got) == sorted(expect_edges)
    expect_nodes = [(v.lower(), uid, label, vt_s, vt_e, tt_s, OPEN_END, props, source, prov)
                    for v, uid, label, vt_s, vt_e, tt_s, props, source, prov in nodes]
    assert by_vid(got["node"]) == sorted(expect_nodes)


def test_dictionary_methods(tmp_path):
    store = NativeStore(str(tmp_path / "store"))
    assert store.ensure_entities([], []) is None and store.num_entities() == 0
    # A uid given twice keeps its first label; a later call changes nothing.
    store.ensure_entities(["x", "y", "x"], ["first", "Y", "second"])
    store.ensure_entities(["x"], ["third"])
    assert store.num_entities() == 2
    ids = store.dense_ids(["y", "x", "y"])
    assert ids.dtype == np.int64 and ids.ndim == 1 and ids.flags.writeable and ids.base is not None
    assert ids.tolist() == [1, 0, 1]
    assert store.dense_ids([]).dtype == np.int64 and len(store.dense_ids([])) == 0
    assert store.uids_for(ids.tolist()) == ["y", "x", "y"] and store.uids_for([]) == []
    # Entries added outside a batch are staged: a rollback discards them, a commit keeps them.
    store.begin(1)
    store.ensure_entities(["z"], ["Z"])
    assert store.num_entities() == 3 and store.dense_ids(["z"]).tolist() == [2]
    store.rollback()
    assert store.num_entities() == 0
    with pytest.raises(KeyError):
        store.dense_ids(["x"])
    store.ensure_entities(["p", "q"], ["P", "Q"])
    store.begin(2)
    store.commit()
    reopened = NativeStore(str(tmp_path / "store"))
    assert reopened.num_entities() == 2 and reopened.uids_for([1, 0]) == ["q", "p"]


# ---- bad inputs -----------------------------------------------------------------------------------

def check_raised(info, exc_type, text, note, cause=None):
    assert type(info.value) is exc_type
    if text is not None:
        assert info.value.args == (text,)
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    if cause is None:
        assert info.value.__cause__ is None
    else:
        cause_type, cause_text = cause
        assert type(info.value.__cause__) is cause_type
        if cause_text is not None:
            assert str(info.value.__cause__) == cause_text


def hex_error(text):
    return (f'invariant: identity must be 24 hex chars, got {len(text.encode())}: "{text}" — {ENGINE_BUG}')


NO_BATCH = f"invariant: no batch is open; call begin() first — {ENGINE_BUG}"
EXTRACT = "failed to extract field {}"
NOT_VEC = (TypeError, "Can't extract `str` to `Vec`")


class OutOfMemory(collections.abc.Sequence):
    """A column whose elements cannot be had: reading it raises MemoryError."""

    def __len__(self):
        return 3

    def __getitem__(self, index):
        raise MemoryError


def with_column(rows, make, key, value):
    cols = make(rows)
    cols[key] = value
    return cols


GOOD_EDGES = [edge_row(0), edge_row(1, "b", "c"), edge_row(2, "c", "a")]

# (id, cols, exception, text, note, cause, vids staged afterwards)
EDGE_CASES = [
    ("not-a-mapping", 5, TypeError, None, "cols", None, []),
    ("missing-key", {k: v for k, v in edge_cols(GOOD_EDGES).items() if k != "disc"}, KeyError, "disc", "cols", None,
     []),
    ("str-for-vid", with_column(GOOD_EDGES, edge_cols, "vid", vid(0)), TypeError, EXTRACT.format("EdgeCols.vid"),
     "cols", NOT_VEC, []),
    ("int-in-src", with_column(GOOD_EDGES, edge_cols, "src", ["a", 1, "c"]), TypeError,
     EXTRACT.format("EdgeCols.src"), "cols", (TypeError, None), []),
    ("none-column-dst", with_column(GOOD_EDGES, edge_cols, "dst", None), TypeError, EXTRACT.format("EdgeCols.dst"),
     "cols", (TypeError, None), []),
    ("bytes-in-rel-type", with_column(GOOD_EDGES, edge_cols, "rel_type", ["knows", b"x", "y"]), TypeError,
     EXTRACT.format("EdgeCols.rel_type"), "cols", (TypeError, None), []),
    ("int-for-disc", with_column(GOOD_EDGES, edge_cols, "disc", 3), TypeError, EXTRACT.format("EdgeCols.disc"),
     "cols", (TypeError, None), []),
    ("str-in-vt-s", with_column(GOOD_EDGES, edge_cols, "vt_s", [1, "2", 3]), TypeError,
     EXTRACT.format("EdgeCols.vt_s"), "cols", (TypeError, None), []),
    ("float-in-vt-e", with_column(GOOD_EDGES, edge_cols, "vt_e", [1, 2.0, 3]), TypeError,
     EXTRACT.format("EdgeCols.vt_e"), "cols", (TypeError, None), []),
    ("overflow-in-tt-s", with_column(GOOD_EDGES, edge_cols, "tt_s", [1, 2**63, 3]), TypeError,
     EXTRACT.format("EdgeCols.tt_s"), "cols", (OverflowError, None), []),
    ("none-in-props", with_column(GOOD_EDGES, edge_cols, "props", ["{}", None, "{}"]), TypeError,
     EXTRACT.format("EdgeCols.props"), "cols", (TypeError, None), []),
    ("none-in-source", with_column(GOOD_EDGES, edge_cols, "source", [None, "s", "s"]), TypeError,
     EXTRACT.format("EdgeCols.source"), "cols", (TypeError, None), []),
    ("int-in-provenance", with_column(GOOD_EDGES, edge_cols, "provenance_ref", [None, "p", 5]), TypeError,
     EXTRACT.format("EdgeCols.provenance_ref"), "cols", (TypeError, None), []),
    # The first column that fails conversion is reported, before any length is compared.
    ("short-src-bad-dst", {**edge_cols(GOOD_EDGES), "src": ["a"], "dst": ["b", "c", 4]}, TypeError,
     EXTRACT.format("EdgeCols.dst"), "cols", (TypeError, None), []),
    # Running out of memory says nothing about the column: MemoryError, not the column's TypeError.
    ("memory-in-src", with_column(GOOD_EDGES, edge_cols, "src", OutOfMemory()), MemoryError, None, "cols", None,
     []),
    ("memory-in-vt-s", with_column(GOOD_EDGES, edge_cols, "vt_s", OutOfMemory()), MemoryError, None, "cols", None,
     []),
    ("short-src", with_column(GOOD_EDGES, edge_cols, "src", ["a", "b"]), RuntimeError,
     "stage_edges: column 'src' holds 2 elements, 'vid' holds 3", None, None, []),
    ("short-provenance", with_column(GOOD_EDGES, edge_cols, "provenance_ref", []), RuntimeError,
     "stage_edges: column 'provenance_ref' holds 0 elements, 'vid' holds 3", None, None, []),
    ("unknown-src-row-1", edge_cols([edge_row(0), edge_row(1, "zz", "yy"), edge_row(2)]), KeyError,
     "unknown uid: zz", None, None, [vid(0)]),
    ("unknown-dst-row-2", edge_cols([edge_row(0), edge_row(1), edge_row(2, "a", "ü nope")]), KeyError,
     "unknown uid: ü nope", None, None, [vid(0), vid(1)]),
    ("short-vid-row-2", edge_cols([edge_row(0), edge_row(1), edge_row(2, vid="abc")]), RuntimeError,
     hex_error("abc"), None, None, [vid(0), vid(1)]),
    ("non-hex-vid-row-0", edge_cols([edge_row(0, vid="g" * 24)]), RuntimeError,
     f'invariant: identity prefix not hex (invalid digit found in string): "{"g" * 24}" — {ENGINE_BUG}', None,
     None, []),
    ("non-hex-suffix", edge_cols([edge_row(0, vid="0" * 16 + "0000000x")]), RuntimeError,
     f'invariant: identity suffix not hex (invalid digit found in string): "{"0" * 16}0000000x" — {ENGINE_BUG}',
     None, None, []),
]


@pytest.mark.parametrize("case", EDGE_CASES, ids=[case[0] for case in EDGE_CASES])
def test_stage_edges_refusals(tmp_path, case):
    _, cols, exc_type, text, note, cause, after = case
    store = open_batch(tmp_path)
    with pytest.raises(exc_type) as info:
        store.stage_edges(cols)
    check_raised(info, exc_type, text, note, cause)
    assert staged(store, "edge") == [(v, OPEN_END) for v in after]
    assert store.in_batch()
    # The batch goes on: the failure harmed nothing.
    store.stage_edges(edge_cols([edge_row(9)]))
    assert staged(store, "edge") == [(v, OPEN_END) for v in after + [vid(9)]]


GOOD_NODES = [node_row(0), node_row(1, "b"), node_row(2, "c")]
NODE_CASES = [
    ("missing-key", {k: v for k, v in node_cols(GOOD_NODES).items() if k != "provenance_ref"}, KeyError,
     "provenance_ref", "cols", None, []),
    ("str-for-uid", with_column(GOOD_NODES, node_cols, "uid", "abc"), TypeError, EXTRACT.format("NodeCols.uid"),
     "cols", NOT_VEC, []),
    ("none-in-label", with_column(GOOD_NODES, node_cols, "label", ["x", "y", None]), TypeError,
     EXTRACT.format("NodeCols.label"), "cols", (TypeError, None), []),
    ("none-in-vt-e", with_column(GOOD_NODES, node_cols, "vt_e", [None, 1, 2]), TypeError,
     EXTRACT.format("NodeCols.vt_e"), "cols", (TypeError, None), []),
    ("memory-in-label", with_column(GOOD_NODES, node_cols, "label", OutOfMemory()), MemoryError, None, "cols",
     None, []),
    ("short-source", with_column(GOOD_NODES, node_cols, "source", ["s"]), RuntimeError,
     "stage_nodes: column 'source' holds 1 elements, 'vid' holds 3", None, None, []),
    ("unknown-uid-row-2", node_cols([node_row(0), node_row(1), node_row(2, "nobody")]), KeyError,
     "unknown uid: nobody", None, None, [vid(0, 1), vid(1, 1)]),
    ("bad-vid-row-1", node_cols([node_row(0), node_row(1, vid=vid(1) + "0")]), RuntimeError,
     hex_error(vid(1) + "0"), None, None, [vid(0, 1)]),
]


@pytest.mark.parametrize("case", NODE_CASES, ids=[case[0] for case in NODE_CASES])
def test_stage_nodes_refusals(tmp_path, case):
    _, cols, exc_type, text, note, cause, after = case
    store = open_batch(tmp_path)
    with pytest.raises(exc_type) as info:
        store.stage_nodes(cols)
    check_raised(info, exc_type, text, note, cause)
    assert staged(store, "node") == [(v, OPEN_END) for v in after]


def test_staging_outside_a_batch_and_edge_cases(tmp_path):
    store = NativeStore(str(tmp_path / "store"))
    store.ensure_entities(["a", "b"], ["A", "B"])
    # Empty inputs stage nothing and need no batch.
    assert store.stage_edges(edge_cols([])) is None and store.stage_nodes(node_cols([])) is None
    assert store.stage_closes("edge", [], 5) is None and store.stage_retires("node", []) is None
    # A row's uids are resolved before the batch test; a good row meets the batch test.
    with pytest.raises(KeyError) as info:
        store.stage_edges(edge_cols([edge_row(0, "nobody", "none")]))
    check_raised(info, KeyError, "unknown uid: nobody", None)
    for call in (lambda: store.stage_edges(edge_cols([edge_row(0)])),
                 lambda: store.stage_nodes(node_cols([node_row(0)])),
                 lambda: store.stage_closes("edge", [vid(0)], 5),
                 lambda: store.stage_retires("edge", [vid(0)])):
        with pytest.raises(RuntimeError) as info:
            call()
        check_raised(info, RuntimeError, NO_BATCH, None)
    # Longer columns are read up to the length of vid; any object with item access serves.

    class Columns:
        def __getitem__(self, key):
            return [vid(0)] if key == "vid" else edge_cols([edge_row(0), edge_row(1, "x", "y")])[key]

    store.begin(10)
    store.stage_edges(Columns())
    assert staged(store, "edge") == [(vid(0), OPEN_END)]


def test_columns_are_snapshotted_and_the_object_borrowed(tmp_path):
    store = open_batch(tmp_path)
    cols = edge_cols([edge_row(0), edge_row(1)])

    class Mutating(dict):
        # Changes a column already read while the later ones are fetched.
        def __getitem__(self, key):
            if key == "props":
                cols["vid"].clear()
                cols["src"][0] = "nobody"
            return dict.__getitem__(self, key)

    store.stage_edges(Mutating(cols))
    assert staged(store, "edge") == [(vid(0), OPEN_END), (vid(1), OPEN_END)]

    class Reentrant(dict):
        def __getitem__(self, key):
            return store.num_entities()

    with pytest.raises(RuntimeError) as info:
        store.stage_edges(Reentrant())
    check_raised(info, RuntimeError, "Already mutably borrowed", "cols")
    assert store.num_entities() == 3


def test_stage_closes_and_retires(tmp_path):
    store = open_batch(tmp_path)
    store.stage_edges(edge_cols([edge_row(0), edge_row(1), edge_row(1), edge_row(2)]))
    store.stage_nodes(node_cols([node_row(0)]))
    store.commit()
    store.begin(200)
    store.stage_edges(edge_cols([edge_row(5), edge_row(5), edge_row(6)]))
    stored_open = [(vid(0), OPEN_END), (vid(1), OPEN_END), (vid(1), OPEN_END), (vid(2), OPEN_END)]

    # (call, exception, text, note, edges afterwards)
    cases = [
        (lambda: store.stage_closes(5, [], 1), TypeError, None, "kind", None),
        (lambda: store.stage_closes("edge", vid(0), 1), TypeError, NOT_VEC[1], "vids", None),
        (lambda: store.stage_closes("edge", [vid(0)], None), TypeError, None, "tt_e", None),
        (lambda: store.stage_closes("Edge", [], 1), RuntimeError,
         "unknown row kind \"Edge\"; expected 'node' or 'edge'", None, None),
        # Vids before a failing one stay closed; the uppercase one is found and named in lowercase.
        (lambda: store.stage_closes("edge", [vid(2).upper(), vid(6), "ABCDEF" * 4, vid(0)], 150), KeyError,
         f"not_found: no version {'abcdef' * 4} to close", None,
         sorted(stored_open[:3] + [(vid(2), 150), (vid(5), OPEN_END), (vid(5), OPEN_END), (vid(6), 150)])),
        (lambda: store.stage_closes("node", [vid(0)], 150), KeyError, f"not_found: no version {vid(0)} to close",
         None, None),
        (lambda: store.stage_closes("edge", [vid(0), "xyz"], 160), RuntimeError, hex_error("xyz"), None,
         sorted(stored_open[1:3] + [(vid(0), 160), (vid(2), 150), (vid(5), OPEN_END), (vid(5), OPEN_END),
                                    (vid(6), 150)])),
        # A vid staged twice is withdrawn whole, with its close; a stored one cannot be retired.
        (lambda: store.stage_retires("edge", [vid(6).upper(), vid(5), vid(5)]), KeyError,
         f"not_found: no version {vid(5)} staged in this batch to retire", None,
         sorted(stored_open[1:3] + [(vid(0), 160), (vid(2), 150)])),
        (lambda: store.stage_retires("edge", [vid(1)]), KeyError,
         f"not_found: no version {vid(1)} staged in this batch to retire", None, None),
        (lambda: store.stage_retires("nodes", [vid(1)]), RuntimeError,
         "unknown row kind \"nodes\"; expected 'node' or 'edge'", None, None),
        (lambda: store.stage_retires("edge", ["0" * 23]), RuntimeError, hex_error("0" * 23), None, None),
    ]
    expected = sorted(stored_open + [(vid(5), OPEN_END), (vid(5), OPEN_END), (vid(6), OPEN_END)])
    for call, exc_type, text, note, after in cases:
        with pytest.raises(exc_type) as info:
            call()
        check_raised(info, exc_type, text, note)
        expected = after if after is not None else expected
        assert staged(store, "edge") == expected
    store.commit()
    assert staged(store, "edge") == expected and staged(store, "node") == [(vid(0, 1), OPEN_END)]


def test_dictionary_refusals(tmp_path):
    store = NativeStore(str(tmp_path / "store"))
    store.ensure_entities(["a", "b"], ["A", "B"])
    cases = [
        (lambda: store.ensure_entities("ab", ["x"]), TypeError, NOT_VEC[1], "uids"),
        (lambda: store.ensure_entities(["c"], "x"), TypeError, NOT_VEC[1], "labels"),
        (lambda: store.ensure_entities(None, []), TypeError, None, "uids"),
        (lambda: store.ensure_entities(["c", 1], ["x", "y"]), TypeError, None, "uids"),
        (lambda: store.ensure_entities(["c"], [None]), TypeError, None, "labels"),
        (lambda: store.ensure_entities(["c"], []), RuntimeError, "ensure_entities: uids and labels differ in length",
         None),
        (lambda: store.dense_ids(["a", "c"]), KeyError, "unknown uid: c", None),
        (lambda: store.dense_ids("a"), TypeError, NOT_VEC[1], "uids"),
        (lambda: store.uids_for([0, 2]), KeyError, "unknown dense id: 2", None),
        (lambda: store.uids_for([-1]), KeyError, "unknown dense id: -1", None),
        # Never cut to the low 32 bits, where it would name entity 0.
        (lambda: store.uids_for([2**32]), KeyError, "unknown dense id: 4294967296", None),
        (lambda: store.uids_for([2**63]), OverflowError, None, "ids"),
        (lambda: store.uids_for(["0"]), TypeError, None, "ids"),
        (lambda: store.uids_for(None), TypeError, None, "ids"),
    ]
    for call, exc_type, text, note in cases:
        with pytest.raises(exc_type) as info:
            call()
        check_raised(info, exc_type, text, note)
        assert store.num_entities() == 2 and store.uids_for([0, 1]) == ["a", "b"]
