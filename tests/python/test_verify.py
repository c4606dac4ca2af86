"""NativeStore.verify: the report dict, its argument, findings of a damaged store and the errors
that replace a report. Stores with rows are committed through the probe module's ProbeStore."""

import os
from pathlib import Path

import numpy as np
import pytest

from vorp._engine import NativeStore

REPORT_KEYS = [
    "mode", "generation", "manifest_format", "manifest_checkpoint", "manifest_deltas", "segments_checked",
    "close_runs_checked", "rows", "closes", "dict_records", "tt_s_runs", "max_tt_s_runs", "rows_walked",
    "believed_rows", "identities_checked", "problems", "findings", "healthy",
]
FINDING_KEYS = ["layer", "kind", "path", "generation", "detail", "severity"]


def empty_report(mode):
    report = dict.fromkeys(REPORT_KEYS, 0)
    report.update(mode=mode, manifest_format=3, problems=[], findings=[], healthy=True)
    return report


def test_fresh_store_is_healthy_in_both_modes(tmp_path):
    store = NativeStore(str(tmp_path / "s"))
    for args, mode in (((), "fast"), ((False,), "fast"), ((True,), "full"), ((np.bool_(True),), "full")):
        report = store.verify(*args)
        assert list(report) == REPORT_KEYS
        assert report == empty_report(mode)
    assert store.verify(full=True)["mode"] == "full"
    assert NativeStore.verify.__text_signature__ == "($self, full=False)"


@pytest.mark.parametrize("value", [1, 0, None, "yes"])
def test_full_must_be_a_bool(tmp_path, value):
    store = NativeStore(str(tmp_path / "s"))
    with pytest.raises(TypeError) as raised:
        store.verify(value)
    assert raised.value.__notes__ == ["while processing 'full'"]


def committed_store(root, probe):
    """Generation 1: 20 edges and 4 nodes; generation 2: 3 edges and a close of a stored edge."""
    writer = probe.ProbeStore(root)
    writer.stage_sample(1, 20, 4, [])
    writer.commit()
    edge_vid = next(vid for kind, vid, _ in writer.stored() if kind == "edge")
    writer.stage_sample(2, 3, 0, [edge_vid])
    writer.commit()
    return NativeStore(root)


def test_committed_store_counters(tmp_path, probe):
    store = committed_store(str(tmp_path / "s"), probe)
    fast, full = store.verify(), store.verify(True)
    assert fast["healthy"] and full["healthy"], full["problems"]
    assert (fast["generation"], fast["manifest_checkpoint"], fast["manifest_deltas"]) == (2, 0, 2)
    assert fast["rows"] == 27 and fast["closes"] == 1 and fast["close_runs_checked"] == 1
    assert fast["dict_records"] == 10
    assert fast["rows_walked"] == fast["believed_rows"] == fast["identities_checked"] == 0
    assert full["rows_walked"] == 27 and full["believed_rows"] == 26 and full["identities_checked"] == 26
    assert {k: v for k, v in full.items() if k not in ("mode", "rows_walked", "believed_rows", "identities_checked")} \
        == {k: v for k, v in fast.items() if k not in ("mode", "rows_walked", "believed_rows", "identities_checked")}


def test_missing_segment_and_broken_current_are_findings(tmp_path, probe):
    root = tmp_path / "s"
    store = committed_store(str(root), probe)
    segment = sorted((root / "seg").glob("*.vos"))[-1]
    relative = f"seg/{segment.name}"
    segment.unlink()
    (root / "CURRENT").write_text("two abc\n")

    missing = {
        "layer": "segment", "kind": "segment-missing", "path": relative, "generation": 2,
        "detail": f"{relative}: io: No such file or directory (os error 2) [file={root}/{relative}]",
        "severity": "error",
    }
    current = {
        "layer": "manifest", "kind": "current-malformed", "path": "CURRENT", "generation": 2,
        "detail": 'CURRENT generation is not a number: "two"', "severity": "error",
    }
    fast = store.verify()
    assert fast["findings"] == [missing] and fast["problems"] == [missing["detail"]] and not fast["healthy"]
    assert list(fast["findings"][0]) == FINDING_KEYS
    full = store.verify(full=True)
    assert full["findings"] == [missing, current]
    assert full["problems"] == [missing["detail"], current["detail"]]
    assert full["segments_checked"] == fast["segments_checked"] and not full["healthy"]


def test_damaged_segment_is_reported_and_not_walked_again(tmp_path, probe):
    root = tmp_path / "s"
    store = committed_store(str(root), probe)
    segment = sorted((root / "seg").glob("*.vos"))[0]
    data = segment.read_bytes()
    at = data.index(b'"tt_s_runs":[[0,')
    segment.write_bytes(data[:at + 14] + b"5" + data[at + 15:])

    fast = store.verify()
    assert [f["kind"] for f in fast["findings"]] == ["segment-unreadable"]
    full = store.verify(True)
    assert full["findings"] == fast["findings"] and not full["healthy"]
    assert full["rows_walked"] == fast["rows"]  # the segments the fast mode could read, no more


def test_verify_is_shared(tmp_path, probe):
    # Two objects on one store verify side by side; neither write nor cache use shows on disk.
    root = str(tmp_path / "s")
    first = committed_store(root, probe)
    second = NativeStore(root)
    before = sorted((p.name, p.stat().st_mtime_ns) for p in Path(root).rglob("*"))
    assert first.verify(True)["healthy"] and second.verify(True)["healthy"]
    assert sorted((p.name, p.stat().st_mtime_ns) for p in Path(root).rglob("*")) == before
