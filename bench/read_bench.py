"""Version reads from Python on the store bench/read_bench.cpp builds (1M edge versions and 100k
entities with 1M node versions by default; VORP_READ_BENCH_EDGES / VORP_READ_BENCH_ENTITIES scale
it). One line per figure.

    PYTHONPATH=build/release/python .venv/bin/python bench/read_bench.py [--store DIR] [--bench EXE]

The store is built by `engine-bench --benchmark_filter=BM_VersionsStoreBuild` into DIR (reused when it
already holds one; a temporary directory, removed afterwards, when no DIR is given).
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from vorp import _engine

OPEN_END = 2**63 - 1
CURRENT = OPEN_END - 1
PAST = 5


def build_store(bench: Path, store: Path) -> None:
    env = dict(os.environ, VORP_READ_BENCH_STORE=str(store))
    subprocess.run([str(bench), "--benchmark_filter=^BM_VersionsStoreBuild$"], env=env, check=True,
                   stdout=sys.stderr)


def timed(fn, repeat: int):
    """Best wall time in seconds of `repeat` calls, and the last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def line(name: str, seconds: float, items: int, unit: str, extra: str = "") -> None:
    print(f"{name:<44} {seconds * 1e3:10.1f} ms  {items / seconds:14,.0f} {unit}/s  {extra}")


def main() -> None:
    root = Path(__file__).resolve().parents[1]
    parser = argparse.ArgumentParser()
    parser.add_argument("--store", type=Path)
    parser.add_argument("--bench", type=Path, default=root / "build" / "release" / "engine-bench")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    scratch = None
    store_dir = args.store
    if store_dir is None:
        scratch = tempfile.mkdtemp(prefix="vorp-read-bench-py-")
        store_dir = Path(scratch) / "store"
    try:
        build_store(args.bench, store_dir)
        store = _engine.NativeStore(str(store_dir))

        seconds, cols = timed(lambda: store.all_versions("edge"), args.repeat)
        line("all_versions('edge')", seconds, len(cols["vid"]), "rows", f"rows={len(cols['vid'])}")
        vids = random.Random(7).sample(cols["vid"], 10_000)
        eids = random.Random(11).sample(sorted(set(cols["eid"])), 10_000)
        del cols
        seconds, cols = timed(lambda: store.all_versions("node"), args.repeat)
        line("all_versions('node')", seconds, len(cols["vid"]), "rows", f"rows={len(cols['vid'])}")
        uids = random.Random(12).sample(sorted(set(cols["uid"])), 10_000)
        del cols

        store.props_for_vids("edge", vids[:1])  # the postings are built by the first call
        seconds, found = timed(lambda: store.props_for_vids("edge", vids), args.repeat)
        line("props_for_vids('edge', 10k vids)", seconds, len(vids), "vids", f"found={len(found)}")
        for name, at in (("past", PAST), ("current", CURRENT)):
            seconds, n = timed(lambda: sum(len(store.believed("edge", e, at)["vid"]) for e in eids), args.repeat)
            line(f"believed('edge', 10k eids, {name})", seconds, len(eids), "lookups", f"versions={n}")
        store.believed("node", uids[0], PAST)
        seconds, n = timed(lambda: sum(len(store.believed("node", u, PAST)["vid"]) for u in uids), args.repeat)
        line("believed('node', 10k uids, past)", seconds, len(uids), "lookups", f"versions={n}")
        seconds, found = timed(lambda: store.resolve_entities("Entity 4242", CURRENT), args.repeat)
        stats = store.stats() if hasattr(store, "stats") else {}
        n_nodes = stats.get("n_node_versions", 0)
        line("resolve_entities('Entity 4242')", seconds, n_nodes or 1, "node versions", f"matches={len(found)}")
        n_edges = stats.get("n_edge_versions", 0)
        for offset in (0, n_edges * 9 // 10):
            seconds, page = timed(lambda: store.version_page("edge", 100, -(2**63), 2**63 - 1, "all", None, offset,
                                                             100), args.repeat)
            line(f"version_page('edge', offset {offset}, 100)", seconds, page["rows_total"], "rows counted",
                 f"rows_total={page['rows_total']} page={len(page['vid'])}")
        for name, at in (("past", PAST), ("current", CURRENT)):
            seconds, scan = timed(lambda: store.scan_nodes(at), args.repeat)
            line(f"scan_nodes({name})", seconds, scan["rows_examined"], "rows examined",
                 f"returned={scan['rows']}")
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
