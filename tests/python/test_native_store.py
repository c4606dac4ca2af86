"""NativeStore(path) and what every method shares: the class surface, the store open and its
errors, the borrow discipline, argument conversion, crash points of the open, and the object's
lifetime (no descriptor or memory kept after a drop)."""

import gc
import inspect
import os
import pathlib
import resource

import numpy as np
import pytest

from crash_harness import crash_at, run_with_crash_point
from vorp import _engine
from vorp._engine import NativeStore

RESTORE = "restore the previous generation, or rebuild with `vorp replay` from the event log"
ENGINE_BUG = "this is an engine bug; please report it with the store manifest"
# The class's method index, in table order. Methods are added over time; those present must keep
# this order and these signatures.
METHODS = {
    "close": "($self)",
    "generation": "($self)",
    "begin": "($self, tt)",
    "commit": "($self)",
    "rollback": "($self)",
    "set_event_cursor": "($self, offset, chain)",
    "event_cursor": "($self)",
    "segment_cache_stats": "($self)",
    "postings_stats": "($self, kind)",
    "last_commit_phases": "($self)",
    "open_phase_us": "($self)",
    "in_batch": "($self)",
    "ensure_entities": "($self, uids, labels)",
    "dense_ids": "($self, uids)",
    "uids_for": "($self, ids)",
    "num_entities": "($self)",
    "stage_edges": "($self, cols)",
    "stage_nodes": "($self, cols)",
    "stage_closes": "($self, kind, vids, tt_e)",
    "stage_retires": "($self, kind, vids)",
    "all_versions": "($self, kind)",
    "believed": "($self, kind, identity, as_of_tt=...)",
    "believed_any": "($self, uids, as_of_tt=...)",
    "resolve_entities": "($self, query, as_of_tt=...)",
    "props_for_vids": "($self, kind, vids)",
    "scan_edges": "($self, as_of_tt=..., vt_min=None, vt_max=None, rel_types=None, touching_ids=None, "
                  "touching_both=False, limit=None, columns=None)",
    "aggregate_edges": "($self, as_of_tt, t_a, t_b, rel_types, stride, group_by, aggregates, max_groups)",
    "edge_idents_at": "($self, seg_ids, seg_rows)",
    "manifest_sha": "($self)",
    "manifest_format": "($self)",
    "checkpoint_generation": "($self)",
    "scan_nodes": "($self, as_of_tt=..., vt_min=None, vt_max=None)",
    "version_page": "($self, kind, as_of_tt, t_a, t_b, belief, rel_types, offset, limit)",
    "stats": "($self)",
    "verify": "($self, full=False)",
    "needs_compaction": "($self)",
    "compact": "($self)",
    "compact_current_only": "($self)",
    "current_only": "($self)",
    "gc": "($self, keep_last=...)",
    "upgrade_manifests": "($self)",
}
PHASE_KEYS = ["checkpoint_read_parse_us", "merkle_verify_us", "state_build_us", "delta_replay_us", "delta_count",
              "dictionary_open_us", "other_us", "total_us", "chain_format"]


def current_of(root):
    return (root / "CURRENT").read_text()


# ---- the class and the open ---------------------------------------------------------------------

def test_class_surface():
    assert NativeStore.__module__ == "vorp._engine" and NativeStore.__name__ == "NativeStore"
    assert NativeStore.__text_signature__ == "(path)"
    present = [name for name in vars(NativeStore) if not name.startswith("__")]
    assert present == [name for name in METHODS if name in present]
    for name in ["close", "generation", "begin", "commit", "rollback", "set_event_cursor", "event_cursor",
                 "last_commit_phases", "open_phase_us", "in_batch", "stats", "current_only", "upgrade_manifests"]:
        assert name in present
    for name in present:
        assert getattr(NativeStore, name).__text_signature__ == METHODS[name]
        if METHODS[name] == "($self)":
            assert str(inspect.signature(getattr(NativeStore, name))) == "(self, /)"
    with pytest.raises(TypeError):
        type("Sub", (NativeStore,), {})


def test_new_store_then_reopen(tmp_path):
    root = tmp_path / "a" / "store"
    store = NativeStore(str(root))
    sha = store.manifest_sha()
    assert current_of(root) == f"0 {sha}\n"
    assert len(sha) == 16 and int(sha, 16) >= 0
    assert (store.generation(), store.manifest_format(), store.checkpoint_generation()) == (0, 3, 0)
    phases = store.open_phase_us()
    assert list(phases) == PHASE_KEYS and all(type(value) is int for value in phases.values())
    assert [phases[key] for key in PHASE_KEYS[:5]] == [0, 0, 0, 0, 0] and phases["chain_format"] == 3
    assert 0 <= phases["other_us"] <= phases["total_us"]
    assert store.close() is None and store.close() is None  # close releases nothing
    assert store.generation() == 0

    again = NativeStore(str(root))
    assert again.manifest_sha() == sha and current_of(root) == f"0 {sha}\n"
    assert again.open_phase_us()["chain_format"] == 3 and again.open_phase_us()["delta_count"] == 0
    assert not (root / "dict.log").exists()


def test_constructor_argument_errors(tmp_path):
    with pytest.raises(TypeError) as caught:
        NativeStore(os.fsencode(str(tmp_path)))
    assert caught.value.__notes__ == ["while processing 'path'"]
    for call in (lambda: NativeStore(), lambda: NativeStore(str(tmp_path), 1), lambda: NativeStore(root=str(tmp_path))):
        with pytest.raises(TypeError):
            call()
    assert not (tmp_path / "CURRENT").exists()
    # A NUL would cut the path short at the operating system: refused before anything is created.
    with pytest.raises(ValueError) as caught:
        NativeStore(str(tmp_path / "st\x00ore"))
    assert caught.value.args == ("embedded null byte",) and caught.value.__notes__ == ["while processing 'path'"]
    assert list(tmp_path.iterdir()) == []
    assert NativeStore(path=str(tmp_path)).generation() == 0


def test_constructor_takes_path_like_objects_and_refuses_an_empty_path(tmp_path, monkeypatch):
    # An empty path would make the current directory a store: refused before any file call.
    class Fspath:
        def __init__(self, path):
            self.path = path

        def __fspath__(self):
            return self.path

    monkeypatch.chdir(tmp_path)
    for empty in ("", Fspath("")):
        with pytest.raises(ValueError) as caught:
            NativeStore(empty)
        assert caught.value.args == ("path is empty",) and caught.value.__notes__ == ["while processing 'path'"]
    assert list(tmp_path.iterdir()) == []
    # Any os.PathLike giving a str opens the store it names, as Python's own file functions do.
    written = NativeStore(tmp_path / "a")
    written.begin(1)
    assert written.commit() == 1
    for given in (pathlib.PurePosixPath(tmp_path / "a"), Fspath(str(tmp_path / "a"))):
        assert NativeStore(given).generation() == 1
    assert [p.name for p in tmp_path.iterdir()] == ["a"]


def test_open_errors_map_to_their_exceptions(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    with pytest.raises(OSError) as caught:
        NativeStore(str(blocker / "store"))
    assert type(caught.value) is OSError and caught.value.errno is None
    assert caught.value.args == (f"io: Not a directory (os error 20) [file={blocker}/store/manifests]",)

    root = tmp_path / "store"
    NativeStore(str(root))
    (root / "CURRENT").write_text("zero f00\n")
    with pytest.raises(RuntimeError) as caught:
        NativeStore(str(root))
    assert caught.value.args == (f'corrupt: CURRENT generation is not a number: "zero" [file={root}/CURRENT] '
                                 f"\u2014 {RESTORE}",)

    (root / "CURRENT").unlink()
    (root / "seg" / "000000000001.vos").write_bytes(b"")
    with pytest.raises(RuntimeError, match=r"^corrupt: store has 1 manifest\(s\) / 1 segment\(s\) but no CURRENT"):
        NativeStore(str(root))


def test_two_objects_on_one_store_do_not_block_each_other(tmp_path):
    first, second = NativeStore(str(tmp_path)), NativeStore(str(tmp_path))
    assert first.close() is None and second.generation() == 0 and first.manifest_sha() == second.manifest_sha()


# ---- crash points of the genesis publish --------------------------------------------------------

OPEN = "from vorp._engine import NativeStore; NativeStore({root!r})"


def test_crash_after_genesis_manifest_leaves_a_store_that_opens(tmp_path):
    root = tmp_path / "store"
    crash_at("after_manifest", OPEN.format(root=str(root)))
    assert (root / "manifests" / "00000000000000000000.json").is_file()
    assert not (root / "CURRENT").exists()
    store = NativeStore(str(root))  # the lone genesis checkpoint is accepted and published again
    assert store.generation() == 0 and current_of(root) == f"0 {store.manifest_sha()}\n"


def test_crash_after_genesis_current_opens_at_generation_zero(tmp_path):
    root = tmp_path / "store"
    crash_at("after_current", OPEN.format(root=str(root)))
    written = current_of(root)
    store = NativeStore(str(root))
    assert store.generation() == 0 and written == f"0 {store.manifest_sha()}\n"


@pytest.mark.parametrize("value", ["AFTER_MANIFEST", " after_manifest", "after_manifest ", "after_seal", ""])
def test_crash_point_fires_only_on_its_exact_name(tmp_path, value):
    done = run_with_crash_point(value, OPEN.format(root=str(tmp_path)))
    assert done.returncode == 0, done.stderr
    assert "VORP_CRASH_POINT" not in done.stderr and (tmp_path / "CURRENT").is_file()


# ---- the method machinery (through the probe's class, built with it) ----------------------------

class Calls:
    """An __index__ or __len__ that runs a callback first."""

    def __init__(self, callback, value=0):
        self.callback, self.value = callback, value

    def __index__(self):
        self.callback()
        return self.value

    def __len__(self):
        self.callback()
        return 0

    def __getitem__(self, index):
        raise IndexError(index)


@pytest.fixture
def probe_store(probe, tmp_path):
    return probe.ProbeStore(str(tmp_path))


def test_reentry_is_refused_while_the_borrow_is_held(probe_store):
    store = probe_store
    with pytest.raises(RuntimeError) as caught:
        store.exclusive_echo(Calls(store.generation))
    assert caught.value.args == ("Already mutably borrowed",)
    with pytest.raises(RuntimeError) as caught:
        store.shared_echo(Calls(store.close))
    assert caught.value.args == ("Already borrowed",)
    with pytest.raises(RuntimeError) as caught:
        store.exclusive_echo(Calls(store.close))
    assert caught.value.args == ("Already borrowed",)
    with pytest.raises(RuntimeError) as caught:
        store.convert(1, 2, Calls(store.close))  # through the sequence's __len__
    assert caught.value.args == ("Already borrowed",) and caught.value.__notes__ == ["while processing 'c'"]
    assert store.shared_echo(Calls(store.generation, 7)) == 7  # shared inside shared is fine
    assert store.close() is None and store.exclusive_echo(3) == 3  # every borrow was given back


def test_arguments_convert_in_order_and_name_the_failing_one(probe_store):
    store = probe_store
    seen = []
    with pytest.raises(OverflowError) as caught:
        store.convert(Calls(lambda: seen.append("a")), Calls(lambda: seen.append("b"), -1),
                      Calls(lambda: seen.append("c")))
    assert seen == ["a", "b"] and caught.value.__notes__ == ["while processing 'b'"]

    cases = [
        ((None, 0, []), {}, TypeError, "a", None),
        ((2**63, 0, []), {}, OverflowError, "a", None),
        ((0, 2**64, []), {}, OverflowError, "b", None),
        ((0, 0, "ab"), {}, TypeError, "c", "Can't extract `str` to `Vec`"),
        ((0, 0, [b"x"]), {}, TypeError, "c", None),
        ((0, 0, 5), {}, TypeError, "c", None),
        ((0, 0, []), {"d": None}, TypeError, "d", None),
        ((0, 0, []), {"e": [2**32]}, OverflowError, "e", "out of range integral type conversion attempted"),
        ((0, 0, []), {"e": [-1]}, OverflowError, "e", "out of range integral type conversion attempted"),
        ((0, 0, []), {"f": 1}, TypeError, "f", None),
        ((0, 0, []), {"f": None}, TypeError, "f", None),
    ]
    for args, kwargs, exception, parameter, text in cases:
        with pytest.raises(exception) as caught:
            store.convert(*args, **kwargs)
        assert type(caught.value) is exception
        assert caught.value.__notes__ == [f"while processing '{parameter}'"]
        if text is not None:
            assert caught.value.args == (text,)

    assert store.convert(-2**63, 2**64 - 1, ("x", "\u00e9")) == (-2**63, 2**64 - 1, ["x", "\u00e9"], 2**62, None, False)
    assert store.convert(1, 2, [], e=None, d=-5, f=np.bool_(True)) == (1, 2, [], -5, None, True)
    assert store.convert(a=1, b=True, c=[], e=[0, 2**32 - 1], f=False)[1:] == (1, [], 2**62, [0, 2**32 - 1], False)
    for args, kwargs in [((), {}), ((1, 2), {}), ((1, 2, [], 4, None, True, 7), {}), ((1, 2, []), {"g": 1}),
                         ((1, 2, []), {"a": 1})]:
        with pytest.raises(TypeError) as caught:
            store.convert(*args, **kwargs)
        assert not getattr(caught.value, "__notes__", None)
    assert probe_store.exclusive_echo.__doc__ == "Echoes its value."
    assert probe_store.exclusive_echo.__text_signature__ == "($self, value)"
    assert type(probe_store).convert.__text_signature__ == "($self, a, b, c, d=..., e=None, f=False)"


def test_kind_words(probe_store):
    assert (probe_store.kind("node"), probe_store.kind("edge")) == (0, 1)
    for word, shown in [("Node", '"Node"'), (" node", '" node"'), ("edges", '"edges"'), ("n\tx\n", '"n\\tx\\n"')]:
        with pytest.raises(RuntimeError) as caught:
            probe_store.kind(word)
        assert caught.value.args == (f"unknown row kind {shown}; expected 'node' or 'edge'",)


def test_failures_give_the_borrow_back(probe_store):
    with pytest.raises(RuntimeError) as caught:
        probe_store.fail("invariant")
    assert caught.value.args == (f"invariant: probe failure \u2014 {ENGINE_BUG}",)
    with pytest.raises(BaseException) as caught:
        probe_store.fail("panic")
    assert type(caught.value).__name__ == "EnginePanic" and str(caught.value) == "probe panic"
    assert probe_store.close() is None
    assert list(probe_store.dict_order()) == ["z", "a"]


# ---- lifetime -----------------------------------------------------------------------------------

def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_opens_and_drops_keep_no_descriptor_or_memory(tmp_path):
    path = str(tmp_path)
    NativeStore(path)
    for _ in range(500):  # warm up allocator pools
        NativeStore(path).generation()
    gc.collect()
    descriptors = open_descriptors()
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(10_000):
        store = NativeStore(path)
        store.generation()
        del store
    gc.collect()
    assert open_descriptors() == descriptors
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before
    assert grown_kib < 8 * 1024, grown_kib


def test_a_segment_map_refused_for_want_of_memory_raises_memory_error(tmp_path, fresh_python):
    # Under an address-space limit the map of a segment file fails like any allocation: the
    # reads that map it raise MemoryError (not OSError) and the handle answers once there is room.
    result = fresh_python(f"""
        import base64, os, resource
        from vorp._engine import NativeStore
        store = NativeStore({str(tmp_path / "store")!r})
        n = 4000
        store.ensure_entities(["a"], ["P"])
        store.begin(1)
        store.stage_edges({{"vid": [f"{{i:024x}}" for i in range(n)], "src": ["a"] * n, "dst": ["a"] * n,
                           "rel_type": ["r"] * n, "disc": [str(i) for i in range(n)], "vt_s": [0] * n,
                           "vt_e": [1] * n, "tt_s": [1] * n, "source": ["s"] * n, "provenance_ref": [None] * n,
                           "props": ['{{"k":"' + base64.b64encode(os.urandom(1500)).decode() + '"}}'
                                     for _ in range(n)]}})
        store.commit()
        store = NativeStore({str(tmp_path / "store")!r})
        size = os.path.getsize({str(tmp_path / "store" / "seg" / "000000000000.vos")!r})
        used = int(next(line for line in open("/proc/self/status") if line.startswith("VmSize:")).split()[1])
        resource.setrlimit(resource.RLIMIT_AS, (used * 1024 + size // 2, resource.RLIM_INFINITY))
        for read in (lambda: store.scan_edges(columns=["vid"]), store.stats):
            try:
                read()
                print("answered")
            except BaseException as error:
                print(type(error).__name__)
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        print(len(store.scan_edges(columns=["vid"])["vid"]), store.stats()["n_edge_versions"])
    """)
    assert result.stdout.split() == ["MemoryError", "MemoryError", "4000", "4000"], result.stderr
