"""NativeStore.aggregate_edges: argument conversion, the vocabulary and its exact messages, the
result dict, and grouped results compared with a brute-force group-by over the reference model."""

import os
import random

import numpy as np
import pytest

OPEN_END = 1 << 62


@pytest.fixture
def store(engine, tmp_path):
    return engine.NativeStore(str(tmp_path / "store"))


def agg(store, group_by=(), aggregates=(("count", None),), stride=None, rel_types=None, as_of_tt=OPEN_END,
        t_a=-(1 << 40), t_b=1 << 40, max_groups=1 << 20):
    return store.aggregate_edges(as_of_tt, t_a, t_b, rel_types, stride, list(group_by), list(aggregates), max_groups)


VOCAB_ERRORS = [
    ([("time_bucket", None)], [], None, "aggregate_edges: time_bucket requires stride"),
    ([("bucket", None)], [("nope", None)], 1, 'aggregate_edges: unknown dimension "bucket"'),
    ([("rel_type ", None)], [], 1, 'aggregate_edges: unknown dimension "rel_type "'),
    ([], [("Count", None)], 1, 'aggregate_edges: unknown aggregate "Count"'),
    ([("label", None)], [], 1, "aggregate_edges: label requires role src|dst, got None"),
    ([("endpoint", "source")], [], 1, 'aggregate_edges: endpoint requires role src|dst, got Some("source")'),
    ([], [("count_distinct", None)], 1, "aggregate_edges: count_distinct requires role src|dst, got None"),
    ([], [("mean", "vt_e")], 1, 'aggregate_edges: stat aggregate requires of vt_s|duration, got Some("vt_e")'),
    ([("endpoint", "dst"), ("x", None)], [("y", None)], 1, 'aggregate_edges: unknown dimension "x"'),
    ([("rel_type", None)] * 3, [], 1, "aggregate_edges: at most two group_by dimensions, got 3"),
    ([("time_bucket", None)], [], 0, "aggregate_edges: time_bucket requires a non-zero stride"),
]


@pytest.mark.parametrize("group_by,aggregates,stride,message", VOCAB_ERRORS)
def test_vocabulary_errors(store, group_by, aggregates, stride, message):
    with pytest.raises(RuntimeError) as raised:
        agg(store, group_by, aggregates, stride=stride)
    assert str(raised.value) == message


def test_conversion_errors_name_their_argument(store):
    cases = [
        (dict(group_by=[["rel_type", None]]), TypeError, "group_by"),
        (dict(group_by=[("rel_type", None, None)]), TypeError, "group_by"),
        (dict(aggregates=[("count", 3)]), TypeError, "aggregates"),
        (dict(rel_types="knows"), TypeError, "rel_types"),
        (dict(max_groups=-1), OverflowError, "max_groups"),
        (dict(stride="5"), TypeError, "stride"),
        (dict(as_of_tt=None), TypeError, "as_of_tt"),
    ]
    for kwargs, kind, parameter in cases:
        with pytest.raises(kind) as raised:
            agg(store, **kwargs)
        assert raised.value.__notes__ == [f"while processing '{parameter}'"]
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        agg(store, rel_types="knows")


def test_empty_store_groups_and_cap(engine, store):
    assert engine.NativeStore.aggregate_edges.__text_signature__ == (
        "($self, as_of_tt, t_a, t_b, rel_types, stride, group_by, aggregates, max_groups)")
    result = agg(store, aggregates=[("count", "ignored"), ("count_distinct", "src"), ("min", "vt_s"),
                                    ("max", "duration"), ("mean", "vt_s")])
    assert list(result) == ["rows_total", "keys", "aggs", "rel_names", "label_names"]
    assert result == {"rows_total": 1, "keys": [], "aggs": [[0], [0], [None], [None], [None]], "rel_names": [],
                      "label_names": []}
    with pytest.raises(OverflowError) as raised:
        agg(store, max_groups=0)
    assert str(raised.value) == "capacity: aggregate group count 1 exceeds cap 0"
    # With a dimension and nothing selected: no group and no cap error; rows_total 0 without aggregates.
    result = agg(store, group_by=[("time_bucket", "any"), ("label", "dst")], aggregates=[], stride=5, max_groups=0)
    assert result["rows_total"] == 0 and result["aggs"] == [] and result["label_names"] == []
    assert [k.dtype for k in result["keys"]] == [np.int64, np.int64] and all(len(k) == 0 for k in result["keys"])


# ---- against the reference model ----------------------------------------------------------------------

def mean_of(values):
    """q + r / n with q, r from floor division, as the engine rounds."""
    q, r = divmod(sum(values), len(values))
    return r / len(values) + q


def brute_force(model, store, request):
    as_of, t_a, t_b, rel_types, stride, group_by, aggregates = request
    from reference_model import is_believed
    edges = [v for v in model.of_kind("edge") if v.stored]
    rel_names = sorted({v.rel_type for v in edges}, key=lambda s: s.encode())
    wants_label = any(name == "label" for name, _ in group_by)
    nodes = [v for v in model.of_kind("node") if is_believed(v.tt_s, v.tt_e, as_of)]
    label_names = sorted({v.label for v in nodes}, key=lambda s: s.encode()) if wants_label else []
    uids = sorted({u for v in edges for u in (v.src, v.dst)} | {v.uid for v in nodes})
    dense = dict(zip(uids, (int(i) for i in store.dense_ids(uids)))) if uids else {}

    def label_at(uid, t):
        spans = sorted((v.vt_s, v.vt_e, label_names.index(v.label)) for v in nodes if dense[v.uid] == dense[uid])
        before = [s for s in spans if s[0] <= t]
        return before[-1][2] if before and t < before[-1][1] else -1

    groups = {}
    for v in edges:
        if not (is_believed(v.tt_s, v.tt_e, as_of) and t_a <= v.vt_s < t_b and v.vt_e > t_a):
            continue
        if rel_types is not None and v.rel_type not in rel_types:
            continue
        sort_key, codes = [], []
        for name, role in group_by:
            uid = v.src if role == "src" else v.dst
            if name == "time_bucket":
                diff = v.vt_s - t_a  # truncating division, as in C
                code = abs(diff) // abs(stride) * (1 if (diff >= 0) == (stride > 0) else -1)
                sort_key.append((b"", code))
            elif name == "rel_type":
                code = rel_names.index(v.rel_type)
                sort_key.append((b"", code))
            elif name == "endpoint":
                code = dense[uid]
                sort_key.append((uid.encode(), 0))
            else:
                code = label_at(uid, v.vt_s)
                sort_key.append((b"", code))
            codes.append(code)
        groups.setdefault(tuple(sort_key), (codes, []))[1].append(v)
    if not group_by and not groups:
        groups[()] = ([], [])
    ordered = [groups[k] for k in sorted(groups)]
    out_aggs = []
    for name, of in aggregates:
        column = []
        for _, rows in ordered:
            if name == "count":
                column.append(len(rows))
            elif name == "count_distinct":
                column.append(len({dense[v.src if of == "src" else v.dst] for v in rows}))
            else:
                values = [v.vt_s for v in rows] if of == "vt_s" else [v.vt_e - v.vt_s for v in rows
                                                                      if v.vt_e < OPEN_END]
                if not values:
                    column.append(None)
                else:
                    column.append({"min": min, "max": max, "mean": mean_of}[name](values))
        out_aggs.append(column)
    return {"rows_total": len(out_aggs[0]) if out_aggs else 0,
            "keys": [[codes[i] for codes, _ in ordered] for i in range(len(group_by))],
            "aggs": out_aggs, "rel_names": rel_names, "label_names": label_names}


def random_request(rng, model):
    dims = [("time_bucket", None), ("rel_type", "x"), ("endpoint", "src"), ("endpoint", "dst"), ("label", "src"),
            ("label", "dst")]
    aggs = [("count", None), ("count_distinct", "src"), ("count_distinct", "dst"), ("min", "vt_s"),
            ("max", "duration"), ("mean", "vt_s"), ("mean", "duration")]
    t_a = rng.randint(-3, 15)
    return (rng.choice(model.as_of_times()), t_a, t_a + rng.randint(0, 20),
            rng.choice([None, None, [], ["knows", "owns"]]), rng.choice([1, 2, 3, 7, -2]),
            [rng.choice(dims) for _ in range(rng.randint(0, 2))], [rng.choice(aggs) for _ in range(rng.randint(0, 4))])


def test_groups_match_a_brute_force_group_by_at_any_thread_count(engine, tmp_path, monkeypatch):
    model_module = pytest.importorskip("reference_model")
    probe = engine.NativeStore(str(tmp_path / "probe"))
    if not all(hasattr(probe, name) for name in ("stage_edges", "stage_nodes", "stage_closes", "ensure_entities",
                                                 "dense_ids")):
        pytest.skip("the store has no Python staging methods yet")
    monkeypatch.setenv("VORP_PARALLEL_MIN_ROWS", "0")
    for seed in range(int(os.environ.get("VORP_AGG_SEEDS", "2"))):
        store = engine.NativeStore(str(tmp_path / f"s{seed}"))
        driver = model_module.StoreDriver(store, seed)
        rng = random.Random(seed)
        for step in range(40):
            driver.step()
            for _ in range(3):
                request = random_request(rng, driver.model)
                want = brute_force(driver.model, store, request)
                for threads in ("1", "4", "16"):
                    monkeypatch.setenv("VORP_SCAN_THREADS", threads)
                    got = store.aggregate_edges(*request, 1 << 30)
                    got["keys"] = [k.tolist() for k in got["keys"]]
                    assert got == want, f"seed {seed} step {step} threads {threads} request {request}"
