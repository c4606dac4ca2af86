"""The version reads from Python: every read against the reference model after every step, and the
method surface (result keys, argument conversions, word checks, error texts)."""

import os

import numpy as np
import pytest

from reference_model import OPEN_END, StoreDriver

EDGE_KEYS = ["eid", "vid", "src", "dst", "rel_type", "disc", "vt_s", "vt_e", "tt_s", "tt_e", "props", "source",
             "provenance_ref"]
NODE_KEYS = ["vid", "uid", "label", "vt_s", "vt_e", "tt_s", "tt_e", "props", "source", "provenance_ref"]


@pytest.fixture
def store(engine, tmp_path):
    return engine.NativeStore(str(tmp_path / "store"))


def rows_of(columns: dict) -> list[dict]:
    keys = list(columns)
    return [dict(zip(keys, values)) for values in zip(*(columns[k] for k in keys))]


def check_model(store, model, rng):
    for kind, keys in (("edge", EDGE_KEYS), ("node", NODE_KEYS)):
        got = store.all_versions(kind)
        assert list(got) == keys
        assert sorted(rows_of(got), key=lambda r: r["vid"]) == sorted(model.all_versions(kind), key=lambda r: r["vid"])
    identities = {v.eid for v in model.of_kind("edge")} | {"0" * 24}
    uids = {v.uid for v in model.of_kind("node")} | {"nobody"}
    for at in model.as_of_times():
        for eid in identities:
            assert rows_of(store.believed("edge", eid, at)) == model.believed("edge", eid, at)
        for uid in uids:
            assert rows_of(store.believed("node", uid, at)) == model.believed("node", uid, at)
        asked = rng.sample(sorted(uids), k=min(3, len(uids))) * 2
        assert store.believed_any(asked, at) == model.believed_any(asked, at)
        lo, hi = rng.choice([None, 3, 10]), rng.choice([None, 5, 15])
        scan = store.scan_nodes(at, lo, hi)
        want = model.scan_nodes(at, lo, hi)
        assert scan["vid"] == [v.vid for v in want] and scan["uid"] == [v.uid for v in want]
        assert scan["rows_examined"] == len(model.of_kind("node"))
        query = rng.choice(["", "alice", "ALICE", "σισυφος", "name"])
        assert store.resolve_entities(query, at) == model.resolve_entities(query, at)
    for _ in range(4):
        kind = rng.choice(["edge", "node"])
        at = rng.choice(model.as_of_times())
        t_a = rng.randrange(-2, 22)
        t_b = t_a + rng.randrange(-2, 14)
        belief = rng.choice(["current", "superseded", "all"])
        rels = rng.choice([None, [], ["knows"], ["owns", "likes"]]) if kind == "edge" else None
        want = [v.vid for v in model.page_population(kind, at, t_a, t_b, belief, rels)]
        for size in (1, 4):
            walked, offset = [], 0
            while True:
                page = store.version_page(kind, at, t_a, t_b, belief, rels, offset, size)
                assert page["rows_total"] == len(want)
                if not page["vid"]:
                    break
                walked += page["vid"]
                offset += size
            assert walked == want
    vids = [v.vid for v in model.versions if rng.random() < 0.5] + ["bad"]
    for kind in ("edge", "node"):
        assert store.props_for_vids(kind, vids) == model.props_for_vids(kind, vids)


def test_every_read_agrees_with_the_model(engine, tmp_path):
    probe = engine.NativeStore(str(tmp_path / "probe"))
    if not all(hasattr(probe, name) for name in ("stage_edges", "stage_nodes", "stage_closes", "ensure_entities")):
        pytest.skip("the store has no Python staging methods yet")
    import random
    for seed in range(int(os.environ.get("VORP_READ_MODEL_SEEDS", "2"))):
        store = engine.NativeStore(str(tmp_path / f"s{seed}"))
        driver = StoreDriver(store, seed)
        rng = random.Random(seed)
        trail = []
        for _ in range(30):
            trail.append(driver.step())
            try:
                check_model(store, driver.model, rng)
            except AssertionError as failure:
                raise AssertionError(f"seed {seed}: {'; '.join(trail)}") from failure


# ---- the method surface -------------------------------------------------------------------------------

def test_empty_store_results(store):
    assert list(store.all_versions("edge")) == EDGE_KEYS
    assert all(v == [] for v in store.all_versions("node").values())
    assert list(store.believed("node", "nobody")) == NODE_KEYS
    assert store.believed_any([]) == []
    assert store.resolve_entities("x") == []
    assert store.props_for_vids("edge", []) == {}
    assert store.edge_idents_at([], []) == ([], [])
    page = store.version_page("edge", OPEN_END - 1, 0, 10, "all", None, 0, 10)
    assert list(page) == ["vid", "eid", "src", "dst", "rel_type", "disc", "vt_s", "vt_e", "tt_s", "tt_e", "rows_total"]
    assert isinstance(page["vt_s"], np.ndarray) and page["vt_s"].dtype == np.int64 and page["rows_total"] == 0
    page = store.version_page("node", 5, 0, 10, "current", None, -5, 3)
    assert list(page) == ["vid", "uid", "label", "vt_s", "vt_e", "tt_s", "tt_e", "rows_total"]
    scan = store.scan_nodes()
    assert list(scan) == ["uid_id", "vt_s", "vt_e", "uid", "vid", "label", "segments_total", "rows", "rows_examined",
                          "rows_materialized", "t_materialize_ms", "t_sort_ms", "t_convert_ms"]
    assert scan["uid_id"].dtype == np.int64 and scan["rows"] == 0 and scan["segments_total"] == 0
    assert scan["t_sort_ms"] == 0.0 and isinstance(scan["t_convert_ms"], float)


def test_signatures(engine):
    cls = engine.NativeStore
    assert cls.believed.__text_signature__ == "($self, kind, identity, as_of_tt=...)"
    assert cls.version_page.__text_signature__ == "($self, kind, as_of_tt, t_a, t_b, belief, rel_types, offset, limit)"
    assert cls.scan_nodes.__text_signature__ == "($self, as_of_tt=..., vt_min=None, vt_max=None)"
    assert cls.edge_idents_at.__text_signature__ == "($self, seg_ids, seg_rows)"


@pytest.mark.parametrize("call, exc, text", [
    (lambda s: s.all_versions("nodes"), RuntimeError, "unknown row kind \"nodes\"; expected 'node' or 'edge'"),
    (lambda s: s.believed(1, "x"), TypeError, None),
    (lambda s: s.believed("edge", "x", None), TypeError, None),
    (lambda s: s.believed("edge", "not hex"), RuntimeError, None),
    (lambda s: s.believed_any("abc"), TypeError, None),
    (lambda s: s.props_for_vids("edge", "abc"), TypeError, None),
    (lambda s: s.edge_idents_at([1], []), RuntimeError,
     "invariant: edge_idents_at: seg_ids and seg_rows differ in length — this is an engine bug; please report it "
     "with the store manifest"),
    (lambda s: s.edge_idents_at([-1], [0]), RuntimeError,
     "invariant: segment id 18446744073709551615 is not in the current generation — this is an engine bug; please "
     "report it with the store manifest"),
    (lambda s: s.version_page("edge", 0, 0, 1, "Current", None, 0, 1), RuntimeError,
     "unknown belief mode \"Current\"; expected 'current', 'superseded' or 'all'"),
    (lambda s: s.version_page("nodes", 0, 0, 1, "Current", [], 0, 1), RuntimeError,
     "unknown row kind \"nodes\"; expected 'node' or 'edge'"),
    (lambda s: s.version_page("node", 0, 0, 1, "all", [], 0, 1), RuntimeError,
     "'rel_types' is only meaningful with kind 'edge'; node versions have a label, not a relationship type"),
    (lambda s: s.version_page("edge", 0, 0, 1, "all", "knows", 0, 1), TypeError, None),
])
def test_argument_and_word_errors(store, call, exc, text):
    with pytest.raises(exc) as raised:
        call(store)
    if text is not None:
        assert str(raised.value) == text


def test_conversion_errors_name_the_argument(store):
    with pytest.raises(TypeError) as raised:
        store.believed("edge", "0" * 24, None)
    assert raised.value.__notes__ == ["while processing 'as_of_tt'"]
    with pytest.raises(OverflowError) as raised:
        store.version_page("edge", 0, 0, 1, "all", None, 2**63, 1)
    assert raised.value.__notes__ == ["while processing 'offset'"]
