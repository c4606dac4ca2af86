"""Batches, commits and the status methods from Python; the crash matrix of commit and publish.

Rows are staged through the probe module's ProbeStore (the same handle operations the staging
methods call); every check of what survived goes through NativeStore."""

import pytest

from crash_harness import crash_at
from vorp._engine import NativeStore

ENGINE_BUG = "this is an engine bug; please report it with the store manifest"
COMMIT_KEYS = ["capture_us", "seal_us", "closes_us", "stats_us", "dict_us", "digest_us", "debug_verify_us",
               "delta_build_us", "manifest_us", "current_us", "total_us", "manifest_bytes", "segments_named",
               "manifest_checkpoint"]
STATS_KEYS = ["n_entities", "n_node_versions", "n_edge_versions", "vt_min", "vt_max", "rel_type_counts",
              "max_out_degree", "generation"]
CRASH_POINTS = ["after_seal", "after_close_runs", "after_dict", "after_manifest", "after_current"]


def test_batch_cursor_and_status(tmp_path):
    store = NativeStore(str(tmp_path / "s"))
    assert store.event_cursor() == (0, "e3b0c44298fc1c14")
    assert store.last_commit_phases() is None and store.in_batch() is False and store.current_only() is False
    stats = store.stats()
    assert list(stats) == STATS_KEYS
    assert stats == {"n_entities": 0, "n_node_versions": 0, "n_edge_versions": 0, "vt_min": None, "vt_max": None,
                     "rel_type_counts": {}, "max_out_degree": 0, "generation": 0}
    entries, accounted, budget, evictions = store.segment_cache_stats()
    assert (entries, accounted, evictions) == (0, 0, 0) and (budget is None or budget > 0)
    assert store.postings_stats("edge") == (0, 0, 0) and store.postings_stats("node") == (0, 0, 0)
    with pytest.raises(RuntimeError, match="unknown row kind"):
        store.postings_stats("edges")

    with pytest.raises(RuntimeError) as no_batch:
        store.commit()
    assert str(no_batch.value) == f"invariant: no batch is open; call begin() first — {ENGINE_BUG}"

    store.begin(-5)  # the genesis generation accepts any time
    with pytest.raises(RuntimeError, match=r"a batch at tt=-5 is already open \(single-writer, no nesting\)"):
        store.begin(7)
    assert store.in_batch()
    store.set_event_cursor(100, "c")
    assert store.event_cursor() == (0, "e3b0c44298fc1c14")  # staged, not yet committed
    assert store.commit() == 1
    assert store.event_cursor() == (100, "c") and not store.in_batch()
    phases = store.last_commit_phases()
    assert list(phases) == COMMIT_KEYS and all(type(v) is int for v in phases.values())
    assert phases["debug_verify_us"] == 0 and phases["segments_named"] == 0 and phases["manifest_checkpoint"] == 0

    with pytest.raises(RuntimeError, match=r"transaction time must advance: batch tt=-5 is not after generation 1's tt=-5"):
        store.begin(-5)
    # A failed commit consumes the staged cursor; so does a refused rollback.
    store.set_event_cursor(200, "d")
    with pytest.raises(RuntimeError):
        store.commit()
    store.begin(-4)
    assert store.commit() == 2 and store.event_cursor() == (100, "c")
    store.set_event_cursor(300, "e")
    with pytest.raises(RuntimeError):
        store.rollback()
    store.begin(-3)
    store.rollback()
    assert not store.in_batch()
    store.begin(-2)
    assert store.commit() == 3 and store.event_cursor() == (100, "c")
    with pytest.raises(OverflowError):
        store.set_event_cursor(-1, "x")
    with pytest.raises(TypeError):
        store.set_event_cursor(1, b"x")

    assert store.upgrade_manifests() == {"upgraded": False, "from_format": 3, "to_format": 3, "generation": 3,
                                         "manifest_sha": store.manifest_sha()}
    store.begin(10)
    with pytest.raises(RuntimeError, match="cannot upgrade manifests while a batch is open"):
        store.upgrade_manifests()
    store.close()
    store.close()
    assert store.in_batch()
    del store
    again = NativeStore(str(tmp_path / "s"))
    assert again.generation() == 3 and again.last_commit_phases() is None and not again.in_batch()


def test_rows_commit_and_stats(tmp_path, probe):
    root = str(tmp_path / "s")
    writer = probe.ProbeStore(root)
    writer.stage_sample(1, 20, 4, [])
    assert writer.commit() == 1
    first = writer.stored()
    assert len(first) == 24 and all(tt_e == 2**62 for _, _, tt_e in first)
    edge_vid = next(vid for kind, vid, _ in first if kind == "edge")
    writer.stage_sample(2, 3, 0, [edge_vid])
    assert writer.commit() == 2
    closed = {vid: tt_e for _, vid, tt_e in writer.stored()}
    assert closed[edge_vid] == 2 and len(closed) == 27
    del writer

    store = NativeStore(root)
    stats = store.stats()
    assert stats["n_edge_versions"] == 23 and stats["n_node_versions"] == 4 and stats["generation"] == 2
    assert stats["vt_min"] == 0 and stats["vt_max"] == 29
    assert stats["rel_type_counts"] == {"likes": 12, "knows": 11}
    assert stats["n_entities"] == 10 and stats["max_out_degree"] == 3


def run_store(root, body):
    return f"""
import sys
sys.path.insert(0, {str(probe_dir())!r})
import _engine_probe as probe
store = probe.ProbeStore({root!r})
{body}
"""


def probe_dir():
    from conftest import PROBE_DIR
    return PROBE_DIR


@pytest.mark.parametrize("with_closes", [False, True])
@pytest.mark.parametrize("point", CRASH_POINTS)
def test_crash_matrix(tmp_path, probe, point, with_closes):
    root = str(tmp_path / "s")
    writer = probe.ProbeStore(root)
    writer.stage_sample(1, 40, 5, [])
    writer.commit()
    before = writer.stored()
    del writer
    closes = [before[0][1]] if with_closes else []
    crash_at(point, run_store(root, f"store.stage_sample(2, 30, 3, {closes!r}); store.commit()"))

    store = NativeStore(root)
    generation = store.generation()
    reader = probe.ProbeStore(root)
    after = reader.stored()
    if point == "after_current":
        assert generation == 2
        assert len(after) == len(before) + 33
        assert all(tt_e == (2 if with_closes and vid == closes[0] else 2**62) for _, vid, tt_e in after)
    else:
        assert generation == 1 and after == before  # nothing of the aborted batch
        assert store.stats()["n_entities"] == 7
    del reader
    assert store.stats()["n_edge_versions"] == sum(kind == "edge" for kind, _, _ in after)
    del store

    # A later commit reuses the orphans' names and trips over none of them.
    writer = probe.ProbeStore(root)
    writer.stage_sample(3, 10, 1, [before[1][1]])
    assert writer.commit() == generation + 1
    final = writer.stored()
    del writer
    assert len(final) == len(after) + 11
    assert NativeStore(root).generation() == generation + 1


def test_crash_during_upgrade_and_genesis(tmp_path):
    root = tmp_path / "g"
    crash_at("after_manifest", f"from vorp._engine import NativeStore; NativeStore({str(root)!r})")
    assert NativeStore(str(root)).generation() == 0
    for point, generation in [("after_manifest", 0), ("after_current", 1)]:
        root = tmp_path / point
        NativeStore(str(root))
        crash_at(point, f"""
from vorp._engine import NativeStore
s = NativeStore({str(root)!r}); s.begin(1); s.commit()""")
        assert NativeStore(str(root)).generation() == generation


def test_failed_commit_raises_oserror_and_keeps_the_batch(tmp_path, probe):
    root = tmp_path / "s"
    writer = probe.ProbeStore(str(root))
    writer.stage_sample(1, 5, 1, [])
    writer.commit()
    del writer
    store = NativeStore(str(root))
    sha = store.manifest_sha()
    store.begin(2)
    store.set_event_cursor(9, "z")
    blocker = root / "CURRENT.tmp"
    blocker.mkdir()
    with pytest.raises(OSError) as failed:
        store.commit()
    assert str(failed.value) == f"io: Is a directory (os error 21) [file={blocker}]"
    assert failed.value.errno is None
    assert store.in_batch() and store.generation() == 1 and store.manifest_sha() == sha
    assert store.last_commit_phases() is None
    assert NativeStore(str(root)).generation() == 1
    blocker.rmdir()
    assert store.commit() == 2
    assert store.event_cursor() == (0, "e3b0c44298fc1c14")  # the failed attempt consumed the staged cursor
    assert NativeStore(str(root)).manifest_sha() == store.manifest_sha()
