"""How quickly long reads answer Ctrl-C, on two stores built into a temporary directory (removed
afterwards), each read by a child process of its own. One line per figure.

    PYTHONPATH=build/release/python .venv/bin/python bench/interrupt_bench.py [--quick] [--threads N]
        [--only scan_edges,verify]

"gap": the longest stretch of a call without a poll for Ctrl-C. A SIGALRM every 5 ms keeps a signal
pending, and the interpreter runs no handler while the call runs, so the handler runs exactly when
the engine polls (at most every 100 ms); the gaps between its runs, and from the call's start and to
its end, are the stretches in which a Ctrl-C would wait. Over --repeats runs: the longest gap
min/median/max, the handler runs per call, where in the call (as a fraction of its duration) the
longest gap starts, and the call's duration with the timer running. "call": its duration without.

"sigint": a real SIGINT sent from this process at 10%, 50% and 90% of the call's median duration,
and the time until the child catches KeyboardInterrupt (both read CLOCK_MONOTONIC), with how it came:
raised by the call, or by the interpreter as the call returned (no poll after the signal), or not
measured (the call had ended, or not begun, when the signal went out). After each one the child
checks that the store is unchanged and that the call again gives its first answer. "summary": the
longest gap and the signal's delays over all of it, min-max.

Store "poll": 1M edges of 20k entities, 250k versions of one edge, 1M nodes. Store "long": 1.5M
edges with 300-character identity texts (each edge id costs a hash), for the calls that are slow by
their shape. --quick makes the stores a fifth as large, the slow shapes smaller. VORP_SCAN_THREADS is
--threads (1 by default) in the children.
"""

import argparse
import functools
import hashlib
import json
import operator
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

FRACTIONS = (0.1, 0.5, 0.9)
POLL_CALLS = ["all_versions edge", "all_versions node", "scan_edges", "scan_nodes", "believed", "version_page edge",
              "version_page node", "props_for_vids", "believed_any", "verify full"]
LONG_CALLS = ["motif_match", "interval_pairs", "scan_edges", "aggregate_edges", "version_page", "verify"]


def open_poll_store(path, quick):
    from vorp._engine import NativeStore, OPEN_END
    edges = nodes = 200_000 if quick else 1_000_000
    versions = 50_000 if quick else 250_000
    store = NativeStore(path)
    uids = [f"u{n}" for n in range(20_000)]
    store.ensure_entities(uids, ["L"] * len(uids))

    def commit_edges(tt, rows, src, dst, rel_type):
        n = len(rows)
        store.begin(tt)
        store.stage_edges({
            "vid": [f"{tt:016x}{r:08x}" for r in rows], "src": src, "dst": dst, "rel_type": [rel_type] * n,
            "disc": [""] * n, "vt_s": list(rows), "vt_e": [r + 9 for r in rows], "tt_s": [tt] * n,
            "props": ["{}"] * n, "source": ["s"] * n, "provenance_ref": [None] * n})
        store.commit()

    rows = range(edges)
    commit_edges(1, rows, [uids[r % 20_000] for r in rows], [uids[r * 7919 % 20_000] for r in rows], "r")
    commit_edges(2, range(versions), [uids[0]] * versions, [uids[1]] * versions, "one")  # one edge, many versions
    rows = range(nodes)
    store.begin(3)
    store.stage_nodes({
        "vid": [f"{3:016x}{r:08x}" for r in rows], "uid": [uids[r % 20_000] for r in rows], "label": ["L"] * nodes,
        "vt_s": list(rows), "vt_e": [r + 9 for r in rows], "tt_s": [3] * nodes, "props": ["{}"] * nodes,
        "source": ["s"] * nodes, "provenance_ref": [None] * nodes})
    store.commit()
    now = OPEN_END - 1
    eid = store.scan_edges(vt_max=1, rel_types=["one"], columns=["eid"])["eid"][0]
    vids = [f"{1:016x}{r:08x}" for r in range(0, edges, 2)]
    # No lambdas: a lambda would put a Python frame around the engine's method (see `run`).
    calls = {
        "all_versions edge": functools.partial(store.all_versions, "edge"),
        "all_versions node": functools.partial(store.all_versions, "node"),
        "scan_edges": store.scan_edges,
        "scan_nodes": store.scan_nodes,
        "believed": functools.partial(store.believed, "edge", eid, now - 5),
        "version_page edge": functools.partial(store.version_page, "edge", now, 0, OPEN_END, "all", None, 0, 10**9),
        "version_page node": functools.partial(store.version_page, "node", now, 0, OPEN_END, "current", None, 0,
                                               10**9),
        "props_for_vids": functools.partial(store.props_for_vids, "edge", vids),
        "believed_any": functools.partial(store.believed_any, uids * 20),
        "verify full": functools.partial(store.verify, True),
    }
    return store, calls


def open_long_store(path, quick):
    import numpy as np
    from vorp._engine import NativeStore, OPEN_END, interval_pairs, motif_match
    rows_total, batch, pings, pairs = (300_000, 100_000, 12_000, 5_000) if quick else \
        (1_500_000, 500_000, 30_000, 20_000)
    long = "x" * 300
    store = NativeStore(path)
    uids = [f"{n}{long}" for n in range(100_000)]
    store.ensure_entities(uids, ["L"] * len(uids))
    for tt, first in enumerate(range(0, rows_total, batch), start=1):
        rows = range(first, first + batch)
        store.begin(tt)
        store.stage_edges({
            "vid": [f"{tt:016x}{r:08x}" for r in rows], "src": [uids[r % 100_000] for r in rows],
            "dst": [uids[r * 7919 % 100_000] for r in rows], "rel_type": [long] * batch, "disc": [""] * batch,
            "vt_s": list(rows), "vt_e": [r + 1000 for r in rows], "tt_s": [tt] * batch, "props": ["{}"] * batch,
            "source": ["s"] * batch, "provenance_ref": [None] * batch})
        store.commit()
    now = OPEN_END - 1
    ping = np.arange(pings, dtype=np.int64) % 2
    calls = {
        # Every first event of a two-node ping-pong sees every later event within delta: quadratic.
        "motif_match": functools.partial(motif_match, "M_2node_pingpong", ping, 1 - ping,
                                         np.arange(pings, dtype=np.int64), [""] * pings, pings, False),
        "interval_pairs": functools.partial(interval_pairs, [0] * pairs, [1_000_000] * pairs, [1] * pairs,
                                            [0] * (50 * pairs), True),
        "scan_edges": functools.partial(store.scan_edges, columns=["eid"]),
        "aggregate_edges": functools.partial(
            store.aggregate_edges, now, 0, OPEN_END, None, 1, [("time_bucket", None), ("endpoint", "dst")],
            [("count_distinct", "src"), ("count_distinct", "dst"), ("mean", "duration"), ("max", "vt_s")], 1 << 40),
        "version_page": functools.partial(store.version_page, "edge", now, 0, OPEN_END, "all", None, 0, 400_000),
        "verify": functools.partial(store.verify, True),
    }
    return store, calls


def digest(answer, h=None):
    """A hash of an answer without its timings, to compare answers without keeping them."""
    import numpy as np
    h = h or hashlib.sha256()
    if isinstance(answer, dict):
        for key in sorted(answer, key=str):
            if not (str(key).startswith("t_") or str(key).endswith("_ms")):
                h.update(repr(key).encode())
                digest(answer[key], h)
    elif isinstance(answer, np.ndarray) and answer.dtype != object:
        h.update(f"{answer.dtype}{answer.shape}".encode())
        h.update(np.ascontiguousarray(answer).tobytes())
    elif isinstance(answer, (list, tuple)) and any(isinstance(x, (dict, list, tuple, np.ndarray)) for x in answer):
        h.update(f"[{len(answer)}".encode())
        for item in answer:
            digest(item, h)
    else:
        h.update(repr(answer.tolist() if isinstance(answer, np.ndarray) else answer).encode())
    return h


def run(kept, *steps):
    """Calls each step from C with no Python frame in between, keeping what each returns in `kept`
    (what the steps before a raising one returned stays there). The interpreter looks for pending
    signals after a Python-level call returns, before its result is stored; here the results are in
    the list by then, so the clock reads sit right against the engine's call, and a
    KeyboardInterrupt that the interpreter raises once the call has returned is told apart from one
    the call raised. True when a KeyboardInterrupt came."""
    try:
        kept.extend(map(operator.call, steps))
    except KeyboardInterrupt:
        return True
    return False


def child(shape, path, quick):
    signal.signal(signal.SIGINT, signal.default_int_handler)  # may have been inherited as ignored
    store, calls = (open_poll_store if shape == "poll" else open_long_store)(path, quick)
    state = lambda: (store.stats(), store.manifest_sha(), store.verify()["healthy"])
    before, first = state(), {}
    polls = []
    signal.signal(signal.SIGALRM, lambda *_: polls.append(time.monotonic()))
    answer = lambda name: digest(calls[name]()).hexdigest()
    print(json.dumps("ready"), flush=True)
    for line in sys.stdin:
        command, name, *rest = line.rstrip("\n").split("\t")
        if name not in first:
            first[name] = answer(name)
        if command == "gaps":
            out = []
            for _ in range(int(rest[0])):
                polls.clear()
                signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
                kept = []
                try:
                    run(kept, time.monotonic, calls[name], time.monotonic)
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
                started, result, ended = kept
                del kept
                marks = [started] + [t for t in polls if started < t < ended] + [ended]
                gap, at = max((b - a, a) for a, b in zip(marks, marks[1:]))
                out.append({"gap": gap, "at": (at - started) / (ended - started), "polls": len(marks) - 2,
                            "seconds": ended - started, "same": digest(result).hexdigest() == first[name]})
                del result
            print(json.dumps(out), flush=True)
        elif command == "time":  # the call's own duration, without the timer's signals
            out = []
            for _ in range(int(rest[0])):
                kept = []
                run(kept, time.monotonic, calls[name], time.monotonic)
                out.append(kept[2] - kept[0])
                del kept
            print(json.dumps(out), flush=True)
        else:  # "sigint": the parent sends one SIGINT while (or, if late, after) the call runs
            kept, caught = [], None
            print(json.dumps(time.monotonic()), flush=True)
            try:
                if run(kept, time.monotonic, calls[name], time.monotonic):
                    caught = time.monotonic()
                else:
                    time.sleep(60)  # the signal comes once the call has returned: wait for it
            except KeyboardInterrupt:
                caught = time.monotonic()
            # kept: [] the signal came before the call, [start] the call raised, [start, answer, end]
            # it returned
            began, returned = (kept + [None])[0], kept[2] if len(kept) == 3 else None
            del kept
            print(json.dumps({"caught": caught, "began": began, "returned": returned,
                              "unchanged": state() == before, "same": answer(name) == first[name]}), flush=True)


def spread(values, fmt="{:.3f}"):
    values = sorted(values)
    return " / ".join(fmt.format(v) for v in (values[0], statistics.median(values), values[-1]))


def bench(shape, names, args, tmp):
    env = dict(os.environ, VORP_SCAN_THREADS=str(args.threads))
    started = time.monotonic()
    proc = subprocess.Popen([sys.executable, __file__, "--child", shape, os.path.join(tmp, shape)]
                            + ["--quick"] * args.quick, env=env, text=True, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    ask = lambda *words: (proc.stdin.write("\t".join(map(str, words)) + "\n"), proc.stdin.flush())
    reply = lambda: json.loads(proc.stdout.readline() or "null")
    try:
        if reply() != "ready":
            raise SystemExit(f"the {shape} child failed")
        print(f"# store {shape}: built in {time.monotonic() - started:.1f} s", flush=True)
        for name in names:
            label = f"{shape}/{name.replace(' ', '_')}"
            ask("gaps", name, args.repeats)
            runs = reply()
            print(f"{label:28} gap s min/med/max {spread([r['gap'] for r in runs])}"
                  f"  polls {spread([r['polls'] for r in runs], '{:.0f}')}"
                  f"  gap starts at {spread([r['at'] for r in runs], '{:.2f}')} of the call"
                  f"  ({spread([r['seconds'] for r in runs], '{:.2f}')} s)  same answer {all(r['same'] for r in runs)}",
                  flush=True)
            ask("time", name, args.repeats)
            plain = reply()
            print(f"{label:28} call s min/med/max {spread(plain, '{:.3f}')}", flush=True)
            duration = statistics.median(plain)
            answered = []
            for fraction in FRACTIONS:
                delays, outcomes, checks = [], [], []
                for _ in range(args.repeats):
                    ask("sigint", name)
                    call_started = reply()
                    time.sleep(max(0.0, call_started + fraction * duration - time.monotonic()))
                    sent = time.monotonic()
                    os.kill(proc.pid, signal.SIGINT)
                    got = reply()
                    if got is None:
                        raise SystemExit(f"the {shape} child died of the signal during {name}")
                    delays.append(got["caught"] - sent)
                    # raised by the call / the call had no poll left and the interpreter raised on
                    # its return / the call had already ended, or not yet begun, when the signal went out
                    outcomes.append("not begun" if got["began"] is None else
                                    "raised" if got["returned"] is None else
                                    "on return" if got["returned"] >= sent else "ended first")
                    checks.append(got["unchanged"] and got["same"])
                counts = ", ".join(f"{o} {outcomes.count(o)}" for o in dict.fromkeys(outcomes))
                # A signal that found the call ended (or not begun) measures nothing of the call.
                delays = [d for d, o in zip(delays, outcomes) if o in ("raised", "on return")]
                answered += delays
                print(f"{label:28} sigint at {fraction:.0%} -> exception s min/med/max "
                      f"{spread(delays) if delays else 'none'}  ({counts})  unchanged and same answer {all(checks)}",
                      flush=True)
            gaps = [r["gap"] for r in runs]
            print(f"{label:28} summary: longest gap {min(gaps):.3f}-{max(gaps):.3f} s, sigint -> exception "
                  + (f"{min(answered):.3f}-{max(answered):.3f} s" if answered else "none"), flush=True)
        proc.stdin.close()
        proc.wait(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller stores, fewer repeats")
    parser.add_argument("--threads", type=int, default=1, help="VORP_SCAN_THREADS in the children")
    parser.add_argument("--only", help="comma-separated call names (a first word picks both: all_versions)")
    parser.add_argument("--repeats", type=int, help="runs per figure (default 3, 2 with --quick)")
    parser.add_argument("--child", nargs=2, metavar=("SHAPE", "DIR"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(*args.child, args.quick)
    args.repeats = args.repeats or (2 if args.quick else 3)
    wanted = set(args.only.split(",")) if args.only else None
    pick = lambda names: [n for n in names if wanted is None or {n, n.replace(" ", "_"), n.split()[0]} & wanted]
    import vorp._engine
    print(f"# cores {os.cpu_count()} (usable {len(os.sched_getaffinity(0))}), load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}, VORP_SCAN_THREADS={args.threads}, "
          f"repeats {args.repeats}{', quick' if args.quick else ''}", flush=True)
    print(f"# module {vorp._engine.__file__}", flush=True)
    with tempfile.TemporaryDirectory(prefix="vorp-interrupt-") as tmp:
        for shape, names in (("poll", pick(POLL_CALLS)), ("long", pick(LONG_CALLS))):
            if names:
                bench(shape, names, args, tmp)
    print(f"# load average at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
