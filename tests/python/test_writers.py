"""Writers of one store in several processes: they exclude each other, a refused commit keeps its
batch and staged cursor, and a writer killed mid-run costs no acknowledged commit.

VORP_WRITER_COMMITS sets how many commits each committer that runs to the end makes (default 20)."""

import os
import signal
import subprocess
import sys
import time
from collections import Counter

import pytest

from conftest import PACKAGE_PARENT, populated
from vorp._engine import OPEN_END, NativeStore

BUSY = "invariant: another handle is writing to this store — retry when the other writer has finished"

# What both kinds of writer run first: `BUSY` comes as the last argument.
PRELUDE = r"""
import os, sys, time
from vorp._engine import NativeStore
BUSY = sys.argv[-1]


def open_store(root):
    # Readers take no lock: a collector in another process may remove the chain files of the
    # generation an open has just read from CURRENT; the open then starts over from the newer one.
    return NativeStore(root)
"""

# argv: root, writer number, commits, acknowledgement file. Each commit stages one edge with a
# vid of its own and is acknowledged (one line) only once commit() has returned. Refused because
# another process is writing, it commits the same batch again; refused because the handle fell
# behind, it opens the store again and stages the batch anew.
COMMITTER = PRELUDE + r"""
root, writer, commits, acked_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
store = None
done = 0
with open(acked_path, "a") as acked:
    while done < commits:
        vid = f"{writer:08x}{done:016x}"
        if store is None:
            store = open_store(root)
        if not store.in_batch():
            uid = f"w{writer}-{done}"
            tt = time.time_ns()
            store.ensure_entities([uid], ["P"])
            store.begin(tt)
            store.stage_edges({"vid": [vid], "src": [uid], "dst": [uid], "rel_type": ["r"], "disc": [""],
                               "vt_s": [done], "vt_e": [done + 1], "tt_s": [tt], "props": ["{}"],
                               "source": ["t"], "provenance_ref": [None]})
        try:
            store.commit()
        except RuntimeError as refused:
            if str(refused) == BUSY:
                time.sleep(0.001)
            elif "another handle has written to it" in str(refused):
                store = None
            else:
                raise
            continue
        acked.write(vid + "\n")
        acked.flush()
        done += 1
"""

# argv: root, stop file. Compacts and collects, a few milliseconds apart, until the stop file
# appears, opening the store again whenever it is refused.
MAINTAINER = PRELUDE + r"""
root, stop = sys.argv[1], sys.argv[2]
store = None
rounds = 0
while not os.path.exists(stop):
    time.sleep(0.005)
    rounds += 1
    if store is None:
        store = open_store(root)
    try:
        if rounds % 2:
            store.compact()
        store.gc(keep_last=2)
    except RuntimeError as refused:
        if str(refused) != BUSY and "another handle has written to it" not in str(refused):
            raise
        store = None
"""

# argv: root. Holds the store directory's lock until its standard input closes.
LOCK_HOLDER = r"""
import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("locked", flush=True)
sys.stdin.read()
"""


def spawn(code, *args, **kwargs):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return subprocess.Popen([sys.executable, "-c", code, *map(str, args)], env=env, text=True, **kwargs)


def lines(path):
    return path.read_text().split() if path.exists() else []


def test_committers_compaction_and_collection_in_several_processes(tmp_path):
    root = tmp_path / "store"
    NativeStore(str(root))  # the store exists before any writer starts
    commits = int(os.environ.get("VORP_WRITER_COMMITS", "20"))
    acked = [tmp_path / f"acked-{writer}" for writer in range(3)]
    stop = tmp_path / "stop"
    # Writer 0 would run on long after the others: it is killed once it has made a few commits.
    writers = [spawn(COMMITTER, root, writer, 10**6 if writer == 0 else commits, acked[writer], BUSY,
                     stderr=subprocess.PIPE) for writer in range(3)]
    maintainer = spawn(MAINTAINER, root, stop, BUSY, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 120
        while len(lines(acked[0])) < max(commits // 2, 2) and writers[0].poll() is None:
            assert time.monotonic() < deadline, "writer 0 made no progress"
            time.sleep(0.005)
        writers[0].send_signal(signal.SIGKILL)
        assert writers[0].wait(timeout=60) == -signal.SIGKILL, writers[0].stderr.read()
        for writer in writers[1:]:
            assert writer.wait(timeout=120) == 0, writer.stderr.read()
    finally:
        stop.touch()
        for process in writers:
            if process.poll() is None:
                process.kill()
                process.wait()
    assert maintainer.wait(timeout=60) == 0, maintainer.stderr.read()

    store = NativeStore(str(root))
    report = store.verify(full=True)
    assert report["healthy"], report["findings"]
    stored = Counter(store.all_versions("edge")["vid"])
    assert all(count == 1 for count in stored.values())
    assert [len(lines(path)) for path in acked[1:]] == [commits, commits]
    for path in acked:
        assert all(stored[vid] == 1 for vid in lines(path)), path.name


def files_of(root):
    return {path.relative_to(root): path.read_bytes() for path in root.rglob("*") if path.is_file()}


def stage_edge(store, tt, vid):
    """Opens a batch at tt holding one edge."""
    store.ensure_entities([vid], ["P"])
    store.begin(tt)
    store.stage_edges({"vid": [vid], "src": [vid], "dst": [vid], "rel_type": ["r"], "disc": [""], "vt_s": [0],
                       "vt_e": [1], "tt_s": [tt], "props": ["{}"], "source": ["t"], "provenance_ref": [None]})


def test_writers_refused_while_another_process_holds_the_store(tmp_path):
    root = tmp_path / "store"
    store = NativeStore(str(root))
    for tt in (1, 2):  # two generations: compaction and collection would have work to do
        stage_edge(store, tt, f"{tt:024x}")
        store.commit()
    holder = spawn(LOCK_HOLDER, root, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == "locked\n"
        before = files_of(root)
        for write in [store.compact, store.compact_current_only, store.gc]:
            with pytest.raises(RuntimeError) as refused:
                write()
            assert str(refused.value) == BUSY, write.__name__
        stage_edge(store, 3, f"{3:024x}")
        store.set_event_cursor(7, "c")
        for _ in range(2):
            with pytest.raises(RuntimeError) as refused:
                store.commit()
            assert str(refused.value) == BUSY
            assert store.in_batch()
        assert files_of(root) == before
        assert store.generation() == 2 and not store.current_only()
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)
    # The batch, with its staged cursor, is committed once the other writer has finished.
    assert store.commit() == 3
    assert store.event_cursor() == (7, "c")
    reopened = NativeStore(str(root))
    assert reopened.event_cursor() == (7, "c")
    assert len(reopened.all_versions("edge")["vid"]) == 3


NOW = OPEN_END - 1
# Every read of a handle that opens store files, and verify.
READS = {
    "scan_edges": lambda s: s.scan_edges(),
    "scan_edges in the past": lambda s: s.scan_edges(as_of_tt=15),
    "scan_nodes": lambda s: s.scan_nodes(),
    "all_versions edge": lambda s: s.all_versions("edge"),
    "all_versions node": lambda s: s.all_versions("node"),
    "version_page edge": lambda s: s.version_page("edge", NOW, 0, OPEN_END, "all", None, 0, 5),
    "version_page node": lambda s: s.version_page("node", NOW, 0, OPEN_END, "all", None, 0, 5),
    "believed edge": lambda s: s.believed("edge", "0" * 24),
    "believed node": lambda s: s.believed("node", "a"),
    "believed_any": lambda s: s.believed_any(["a"]),
    "resolve_entities": lambda s: s.resolve_entities("A"),
    "props_for_vids": lambda s: s.props_for_vids("edge", ["0" * 23 + "2"]),
    "edge_idents_at": lambda s: s.edge_idents_at([0], [0]),
    "aggregate_edges": lambda s: s.aggregate_edges(NOW, 0, 10, None, None, [("label", "src")], [("count", None)], 10),
    "stats": lambda s: s.stats(),
    "verify": lambda s: s.verify(),
    "verify full": lambda s: s.verify(full=True),
}


def outcome(store, read):
    try:
        read(store)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    return "returned"


def test_reads_of_a_generation_another_process_collected(tmp_path):
    root = tmp_path / "store"
    populated(root)
    # A handle per read, so that no read finds what another one cached; pins are per process, so
    # the collector removes the generation they hold.
    handles = {name: NativeStore(str(root)) for name in READS}
    collector = spawn("import sys; from vorp._engine import NativeStore\n"
                      "store = NativeStore(sys.argv[1]); store.compact(); store.gc(keep_last=1)", root,
                      stderr=subprocess.PIPE)
    assert collector.wait(timeout=60) == 0, collector.stderr.read()
    stale = ("RuntimeError: invariant: generation 2 of this handle was collected by another process (the store "
             "is at generation 3) — open the store again")

    def state(store):
        return (store.generation(), store.segment_cache_stats(), store.postings_stats("edge"),
                store.postings_stats("node"))

    got = {}
    for name, read in READS.items():
        store = handles[name]
        before = state(store)
        # The failed call changed nothing: a second one fails alike.
        got[name] = (outcome(store, read), outcome(store, read), state(store) == before)
    assert got == {name: (stale, stale, True) for name in READS}
    reopened = NativeStore(str(root))
    assert reopened.generation() == 3
    assert list(reopened.scan_edges()["vt_s"]) == [5]
    assert reopened.verify(full=True)["healthy"]


def test_a_file_removed_by_hand_under_current_is_still_io_and_findings(tmp_path):
    root = tmp_path / "store"
    populated(root)
    store = NativeStore(str(root))
    segment = root / "seg" / "000000000000.vos"
    image = segment.read_bytes()
    segment.unlink()
    assert outcome(store, READS["scan_edges"]) == f"OSError: io: No such file or directory (os error 2) [file={segment}]"
    for full in (False, True):
        assert [f["kind"] for f in store.verify(full=full)["findings"]] == ["segment-missing"]
    segment.write_bytes(image)  # the handle reads again once the file is back
    assert list(store.scan_edges()["vt_s"]) == [5]
