"""Ctrl-C during a long read: the call raises KeyboardInterrupt, changes nothing, frees what it
built and leaves the handle usable.

What a call does between two looks for a pending signal is counted, not timed: the probe module's
`watch` runs a call with every interruption point reported to it, with the rows or elements of work
done since the previous point, and can trip SIGINT just before the k-th point, as a Ctrl-C arriving
there would. The verdicts are then the same on any machine, idle or loaded. How long a call really
goes without looking, and how soon a real Ctrl-C stops it, are figures of bench/interrupt_bench.py.
"""

import json
import os
import signal
import subprocess
import sys
import time

from conftest import PACKAGE_PARENT, PROBE_DIR

# The most work a call may do between two points: rows materialised, elements converted, records
# sorted or merged. The engine's loops look every 1,024 to 16,384 of them; a phase without points
# does all of its work (here from 100,000 to a million units) in one stretch.
MOST_WORK = 65_536


def child_env():
    env = dict(os.environ, VORP_SCAN_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return env


WATCH_CHILD = r"""
import collections, json, signal, sys, time
import numpy as np

# SIGINT may have been inherited as ignored; the tripped signal must reach Python's handler.
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, sys.argv[2])
import _engine_probe as probe
from vorp._engine import OPEN_END

EDGES = NODES = 200_000
VERSIONS = 100_000
store = probe.NativeStore(sys.argv[1])
uids = [f"u{n}" for n in range(4_000)]
store.ensure_entities(uids, ["L"] * len(uids))

def commit_edges(tt, rows, src, dst, rel_type):
    store.begin(tt)
    store.stage_edges({
        "vid": [f"{tt:016x}{n:08x}" for n in rows], "src": src, "dst": dst, "rel_type": [rel_type] * len(rows),
        "disc": [""] * len(rows), "vt_s": list(rows), "vt_e": [n + 9 for n in rows], "tt_s": [tt] * len(rows),
        "props": ["{}"] * len(rows), "source": ["s"] * len(rows), "provenance_ref": [None] * len(rows),
    })
    store.commit()

rows = range(EDGES)
commit_edges(1, rows, [uids[n % 4_000] for n in rows], [uids[n * 7919 % 4_000] for n in rows], "r")
# One edge with many overlapping versions: belief by identity walks them all, and the full
# verification finds an overlap per version.
commit_edges(2, range(VERSIONS), [uids[0]] * VERSIONS, [uids[1]] * VERSIONS, "one")
rows = range(NODES)
store.begin(3)
store.stage_nodes({
    "vid": [f"{3:016x}{n:08x}" for n in rows], "uid": [uids[n % 4_000] for n in rows], "label": ["L"] * NODES,
    "vt_s": list(rows), "vt_e": [n + 9 for n in rows], "tt_s": [3] * NODES, "props": ["{}"] * NODES,
    "source": ["s"] * NODES, "provenance_ref": [None] * NODES,
})
store.commit()
NOW = OPEN_END - 1
EID = store.scan_edges(vt_max=1, rel_types=["one"], columns=["eid"])["eid"][0]
VIDS = [f"{1:016x}{n:08x}" for n in range(0, EDGES, 2)]
CALLS = {
    "all_versions edge": lambda store: store.all_versions("edge"),
    "all_versions node": lambda store: store.all_versions("node"),
    "scan_edges": lambda store: store.scan_edges(),
    "scan_nodes": lambda store: store.scan_nodes(),
    "believed": lambda store: store.believed("edge", EID, NOW - 5),
    "version_page edge": lambda store: store.version_page("edge", NOW, 0, OPEN_END, "all", None, 0, 10**9),
    "version_page node": lambda store: store.version_page("node", NOW, 0, OPEN_END, "current", None, 0, 10**9),
    "props_for_vids": lambda store: store.props_for_vids("edge", VIDS),
    "believed_any": lambda store: store.believed_any(uids * 20),
    "verify full": lambda store: store.verify(full=True),
}

def comparable(answer):
    if isinstance(answer, dict):
        return {k: comparable(v) for k, v in answer.items() if not (k.startswith("t_") or k.endswith("_ms"))}
    return answer.tolist() if isinstance(answer, np.ndarray) else answer

def state():
    page = store.version_page("edge", NOW, 0, 2000, "all", None, 0, 5)
    return (store.generation(), store.manifest_sha(), store.stats()["n_edge_versions"], page["vid"],
            len(store.scan_edges(vt_max=2000, columns=[])["vt_s"]), store.verify()["healthy"])

def freed(blocks):
    # What a stopped call built is freed off the caller's thread: once those threads are done, the
    # interpreter holds no more blocks than before the stops.
    while probe.releases_in_progress():
        time.sleep(0.01)
    return sys.getallocatedblocks() <= blocks + 1_000

before = state()
table = {}
for name, call in CALLS.items():
    first = comparable(call(store))
    # Each watched run is a fresh handle's first call, so that what a handle does once (open and
    # verify segments, index identities, build its tables of closes) is watched too, and every
    # run passes the same points.
    fresh = probe.NativeStore(sys.argv[1])
    outcome, answer, works, sites, trailing, workers = probe.watch(lambda: call(fresh))
    watched_same = outcome == "finished" and comparable(answer) == first
    answer = None
    # The loops of the call, told apart by where their points are passed; each is stopped at its
    # first, middle and last point.
    at = collections.defaultdict(list)
    for index, site in enumerate(sites):
        at[site].append(index + 1)
    stops = sorted({k for points in at.values() for k in (points[0], points[len(points) // 2], points[-1])})
    outcomes = {k: None for k in stops}
    freed(0)
    blocks = sys.getallocatedblocks()
    for k in stops:
        fresh = probe.NativeStore(sys.argv[1])
        outcomes[k] = probe.watch(lambda: call(fresh), k)[0]
        outcomes[k] += "" if state() == before else " and changed the store"
    fresh = None
    table[name] = {
        "points": len(works), "loops": len(at), "worker points": workers,
        "most work": max(works + [trailing]), "watched run gives the answer": watched_same,
        "stops not interrupted": {k: v for k, v in outcomes.items() if v != "interrupted"},
        "stops": len(stops), "freed": freed(blocks), "retry gives the answer": comparable(call(store)) == first,
    }
print(json.dumps(table))
"""


def test_every_loop_of_a_long_read_looks_for_ctrl_c_and_stops_there(tmp_path):
    if not PROBE_DIR.is_dir():
        import pytest
        pytest.skip(f"the probe module is built only with the C++ tests (no {PROBE_DIR})")
    done = subprocess.run([sys.executable, "-c", WATCH_CHILD, str(tmp_path / "store"), str(PROBE_DIR)],
                          env=child_env(), text=True, capture_output=True, timeout=1800)
    assert done.returncode == 0, done.stderr
    table = json.loads(done.stdout)
    wrong = {name: row for name, row in table.items()
             if row["points"] == 0 or row["most work"] > MOST_WORK or not row["watched run gives the answer"]
             or row["stops not interrupted"] or not row["retry gives the answer"]}
    assert not wrong, f"per call: {json.dumps(table, indent=1)}"


# A real SIGINT from another process, as a terminal's Ctrl-C sends it. Each call is made slow by its
# shape (a quadratic motif, long candidate ranges, long identity texts whose edge ids cost a hash
# each, one group per row) rather than by a large store: left alone, each runs for seconds. The
# signal goes out once the call has started; the call must end interrupted, with the store as it
# was. A call that ignored the signal would run to its end and meet the KeyboardInterrupt only
# then: so a call counts as stopped in time when it ended within a second of the signal, or else
# within half of what the same call takes left alone, measured then in the same process under the
# same load.
CHILD = r"""
import signal, sys, time
import numpy as np
from vorp._engine import NativeStore, OPEN_END, interval_pairs, motif_match

# SIGINT may have been inherited as ignored (a background job of a shell without job control).
signal.signal(signal.SIGINT, signal.default_int_handler)
ROWS, LONG = 1_500_000, "x" * 300
store = NativeStore(sys.argv[1])
uids = [f"{n}{LONG}" for n in range(100_000)]
store.ensure_entities(uids, ["L"] * len(uids))
for batch, first in enumerate(range(0, ROWS, 500_000)):
    tt, rows = batch + 1, range(first, first + 500_000)
    store.begin(tt)
    store.stage_edges({
        "vid": [f"{tt:016x}{n:08x}" for n in rows], "src": [uids[n % 100_000] for n in rows],
        "dst": [uids[n * 7919 % 100_000] for n in rows], "rel_type": [LONG] * 500_000, "disc": [""] * 500_000,
        "vt_s": list(rows), "vt_e": [n + 1000 for n in rows], "tt_s": [tt] * 500_000, "props": ["{}"] * 500_000,
        "source": ["s"] * 500_000, "provenance_ref": [None] * 500_000,
    })
    store.commit()

NOW, PINGS = OPEN_END - 1, 30_000
ping = np.arange(PINGS, dtype=np.int64) % 2
CALLS = {
    # Every first event of a two-node ping-pong sees every later event within delta.
    "motif_match": lambda: motif_match("M_2node_pingpong", ping, 1 - ping, np.arange(PINGS, dtype=np.int64),
                                       [""] * PINGS, PINGS, False),
    "interval_pairs": lambda: interval_pairs([0] * 20_000, [1_000_000] * 20_000, [1] * 20_000, [0] * 1_000_000, True),
    "scan_edges": lambda: store.scan_edges(columns=["eid"]),
    "aggregate_edges": lambda: store.aggregate_edges(
        NOW, 0, OPEN_END, None, 1, [("time_bucket", None), ("endpoint", "dst")],
        [("count_distinct", "src"), ("count_distinct", "dst"), ("mean", "duration"), ("max", "vt_s")], 1 << 40),
    "version_page": lambda: store.version_page("edge", NOW, 0, OPEN_END, "all", None, 0, 400_000),
    "verify": lambda: store.verify(full=True),
}

def state():
    page = store.version_page("edge", NOW, 0, 2000, "all", None, 0, 5)
    return (store.generation(), store.manifest_sha(), store.stats()["n_edge_versions"], page["vid"],
            len(store.scan_edges(vt_max=2000, columns=[])["vt_s"]), store.verify()["healthy"],
            motif_match("M_2node_pingpong", ping[:10], 1 - ping[:10], np.arange(10), [""] * 10, 10, False)[0])

before = state()
print("ready", flush=True)
for line in sys.stdin:
    words = line.split()
    if words[0] == "alone":
        started = time.monotonic()
        CALLS[words[1]]()
        print(time.monotonic() - started, flush=True)
        continue
    print("calling", flush=True)
    try:
        CALLS[words[0]]()
        outcome = "finished"
    except KeyboardInterrupt:
        outcome = "interrupted"
    # The monotonic clock is the system's: the parent compares this with when it sent the signal.
    print(outcome, time.monotonic(), state() == before, flush=True)
"""

CALLS = ["motif_match", "interval_pairs", "scan_edges", "aggregate_edges", "version_page", "verify"]


def test_a_real_ctrl_c_stops_long_calls_and_changes_nothing(tmp_path):
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(tmp_path / "store")], env=child_env(), text=True,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(line):
        child.stdin.write(line + "\n")
        child.stdin.flush()
        return child.stdout.readline().split()

    table = {}
    try:
        assert child.stdout.readline() == "ready\n"
        for name in CALLS:
            assert ask(name) == ["calling"]
            time.sleep(0.3)  # into the call, though how far does not matter: each runs for seconds
            sent = time.monotonic()
            os.kill(child.pid, signal.SIGINT)
            # A child that died of the signal outside the call answers nothing.
            answer = child.stdout.readline().split() or ["no-answer", "inf", "False"]
            outcome, after, unchanged = answer[0], float(answer[1]) - sent, answer[2]
            if outcome == "interrupted" and after > 1.0:
                outcome += " after {:.2f} s, alone {:.2f} s".format(after, float(ask("alone " + name)[0]))
                outcome = "interrupted" if after < float(outcome.split()[-2]) / 2 else outcome
            table[name] = (outcome, unchanged)
            if outcome == "no-answer":
                break
        child.stdin.close()
        child.wait()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert table == {name: ("interrupted", "True") for name in CALLS}, f"(outcome, store unchanged) per call: {table}"
    assert child.returncode == 0


# The first array-returning read of a process imports NumPy (about 0.1 s). A Ctrl-C during that
# import raises KeyboardInterrupt, not an engine failure, and the next read imports it again. The
# import is made to meet the signal by a module loaded first that sends SIGINT to its own process.
NUMPY_CHILD = r"""
import os, signal, sys
from vorp._engine import NativeStore

signal.signal(signal.SIGINT, signal.default_int_handler)
store = NativeStore(sys.argv[1])

class SignalOnNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy":
            sys.meta_path.remove(self)
            os.kill(os.getpid(), signal.SIGINT)
        return None

sys.meta_path.insert(0, SignalOnNumpy())
try:
    store.scan_edges(columns=[])
    print("finished")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
except BaseException as error:
    print(type(error).__name__, error)
print(type(store.scan_edges(columns=[])["vt_s"]).__name__)
"""


def test_ctrl_c_during_numpy_import_raises_keyboard_interrupt(tmp_path):
    done = subprocess.run([sys.executable, "-c", NUMPY_CHILD, str(tmp_path / "store")], env=child_env(), text=True,
                          capture_output=True, timeout=600)
    assert (done.stdout, done.returncode) == ("KeyboardInterrupt\nndarray\n", 0), done.stderr
