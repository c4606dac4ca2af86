"""Compaction, the current-only strip and garbage collection from Python.

Rows are staged through the probe module's ProbeStore (the handle operations the staging methods
call); what a store holds is compared through its `stored()` listing of (kind, vid, tt_e)."""

import os

import pytest

from crash_harness import crash_at
from vorp._engine import OPEN_END, NativeStore

ENGINE_BUG = "this is an engine bug; please report it with the store manifest"
COMPACT_KEYS = ["segments_before", "segments_after", "closes_folded", "edge_rows", "node_rows"]
STRIP_KEYS = ["segments_before", "segments_after", "versions_dropped", "edge_rows", "node_rows"]
GC_KEYS = ["manifests_removed", "segments_removed", "close_runs_removed", "bytes_reclaimed", "generations_retained"]


def believed(stored, tt):
    """What a read as of `tt` sees, from (kind, vid, tt_e) and the batch time each vid came with."""
    return sorted((kind, vid) for kind, vid, tt_s, tt_e in stored if tt_s <= min(tt, OPEN_END - 1) < tt_e)


def history(probe, root, batches):
    """Commits `batches` sample batches (each closing an edge of the one before) and returns the
    stored versions as (kind, vid, tt_s, tt_e), tt_s being the batch time that staged the vid."""
    writer = probe.ProbeStore(root)
    born = {}
    closes = []
    for tt in range(1, batches + 1):
        known = {vid for _, vid, _ in writer.stored()}
        writer.stage_sample(tt, 6, 2, closes)
        writer.commit()
        for kind, vid, _ in writer.stored():
            if vid not in known:
                born[vid] = tt
        closes = [vid for kind, vid, tt_e in writer.stored() if kind == "edge" and born[vid] == tt][:1]
    rows = sorted((kind, vid, born[vid], tt_e) for kind, vid, tt_e in writer.stored())
    del writer
    return rows


def every_read(store):
    """The store's own version reads, order-independent: all versions of both kinds (tt_e included)
    and the node window scan as of every batch time."""
    reads = {}
    for kind in ("edge", "node"):
        columns = store.all_versions(kind)
        reads[kind] = sorted(zip(*(columns[key] for key in columns)), key=repr)
    for tt in range(0, 9):
        scan = store.scan_nodes(as_of_tt=tt)
        reads[tt] = sorted(zip(scan["uid"], scan["vid"], scan["label"], scan["vt_s"].tolist(), scan["vt_e"].tolist()))
    return reads


def stored_now(probe, root, born):
    reader = probe.ProbeStore(root)
    rows = sorted((kind, vid, born[vid], tt_e) for kind, vid, tt_e in reader.stored())
    del reader
    return rows


def test_signatures_and_method_order():
    methods = list(vars(NativeStore))
    for name, text in [("needs_compaction", "($self)"), ("compact", "($self)"), ("compact_current_only", "($self)"),
                       ("gc", "($self, keep_last=...)")]:
        assert getattr(NativeStore, name).__text_signature__ == text
    order = [methods.index(name) for name in ("needs_compaction", "compact", "compact_current_only", "current_only",
                                              "gc")]
    assert order == sorted(order)


def test_compact_keeps_every_read(tmp_path, probe):
    root = str(tmp_path / "s")
    before = history(probe, root, 6)
    born = {vid: tt_s for _, vid, tt_s, _ in before}
    assert any(tt_e != OPEN_END for *_, tt_e in before)
    store = NativeStore(root)
    reads_before = every_read(store)
    assert store.needs_compaction() is True  # six commits: six edge and six node segments, close runs
    generation = store.generation()
    report = store.compact()
    assert list(report) == COMPACT_KEYS
    assert report["segments_before"] == 12 and report["edge_rows"] == 36 and report["node_rows"] == 12
    assert report["closes_folded"] == sum(tt_e != OPEN_END for *_, tt_e in before)
    assert store.generation() == generation + 1 and store.checkpoint_generation() == generation + 1
    after = stored_now(probe, root, born)
    assert after == before
    for tt in range(0, 9):
        assert believed(after, tt) == believed(before, tt)
    assert store.stats()["n_edge_versions"] == 36
    assert every_read(store) == reads_before

    # Collecting with keep_last 1 leaves only the compacted generation's files.
    collected = store.gc(1)
    assert list(collected) == GC_KEYS and all(type(v) is int for v in collected.values())
    assert collected["manifests_removed"] == generation + 1 and collected["generations_retained"] == 1
    assert collected["close_runs_removed"] > 0 and os.listdir(os.path.join(root, "close")) == []
    assert len(os.listdir(os.path.join(root, "seg"))) == report["segments_after"]
    assert stored_now(probe, root, born) == before
    del store
    assert NativeStore(root).generation() == generation + 1


def test_compact_current_only(tmp_path, probe):
    root = str(tmp_path / "s")
    before = history(probe, root, 4)
    born = {vid: tt_s for _, vid, tt_s, _ in before}
    store = NativeStore(root)
    report = store.compact_current_only()
    assert list(report) == STRIP_KEYS
    dropped = sum(tt_e != OPEN_END for *_, tt_e in before)
    assert report["versions_dropped"] == dropped > 0
    assert report["edge_rows"] + report["node_rows"] == len(before) - dropped
    assert store.current_only() is True
    after = stored_now(probe, root, born)
    assert after == [row for row in before if row[3] == OPEN_END]
    assert believed(after, OPEN_END) == believed(before, OPEN_END)
    assert store.stats()["n_edge_versions"] == report["edge_rows"]
    with open(os.path.join(root, "CURRENT_ONLY"), "rb") as marker:
        assert marker.read() == b"stripped by compact_current_only\n"
    del store
    assert NativeStore(root).current_only() is True


def test_empty_store_refusals_and_arguments(tmp_path):
    store = NativeStore(str(tmp_path / "s"))
    assert store.needs_compaction() is False
    assert store.compact() == dict.fromkeys(COMPACT_KEYS, 0)
    assert store.generation() == 0
    assert store.gc() == {"manifests_removed": 0, "segments_removed": 0, "close_runs_removed": 0,
                          "bytes_reclaimed": 0, "generations_retained": 1}

    # Empty commits publish generations: the default keeps two, 0 keeps one like 1.
    for tt in range(1, 6):
        store.begin(tt)
        store.commit()
    assert store.gc()["manifests_removed"] == 4
    kept_one = store.gc(keep_last=0)
    assert kept_one["manifests_removed"] == 1 and kept_one["generations_retained"] == 1
    assert kept_one["bytes_reclaimed"] > 0
    assert sorted(os.listdir(tmp_path / "s" / "manifests")) == [f"{5:020}.json"]

    with pytest.raises(TypeError) as none:
        store.gc(None)
    assert "while processing 'keep_last'" in none.value.__notes__[0]
    with pytest.raises(OverflowError):
        store.gc(-1)

    store.begin(10)
    for method in (store.compact, store.compact_current_only):
        with pytest.raises(RuntimeError) as refused:
            method()
        assert str(refused.value) == f"invariant: cannot compact while a batch is open — {ENGINE_BUG}"
    with pytest.raises(RuntimeError) as refused:
        store.gc()
    assert str(refused.value) == f"invariant: cannot collect generations while a batch is open — {ENGINE_BUG}"
    store.rollback()

    assert store.compact_current_only() == dict.fromkeys(STRIP_KEYS, 0)
    assert store.current_only() is True and store.generation() == 5


def test_gc_crash_at_deletion_point(tmp_path):
    root = str(tmp_path / "s")
    store = NativeStore(root)
    for tt in range(1, 7):
        store.begin(tt)
        store.commit()
    del store
    crash_at("gc_mid_delete", f"from vorp._engine import NativeStore; NativeStore({root!r}).gc(1)")
    assert len(os.listdir(os.path.join(root, "manifests"))) == 7
    store = NativeStore(root)
    assert store.generation() == 6
    assert store.gc(1)["manifests_removed"] == 6
    assert NativeStore(root).generation() == 6


@pytest.mark.parametrize("point", ["compact_before_install", "after_manifest", "after_current"])
def test_compact_crash_points(tmp_path, probe, point):
    root = str(tmp_path / "s")
    before = history(probe, root, 3)
    born = {vid: tt_s for _, vid, tt_s, _ in before}
    crash_at(point, f"from vorp._engine import NativeStore; NativeStore({root!r}).compact()")
    store = NativeStore(root)
    assert store.generation() == (4 if point == "after_current" else 3)
    assert stored_now(probe, root, born) == before
    store.gc(1)
    assert stored_now(probe, root, born) == before
