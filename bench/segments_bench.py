"""The warm edge scan of a store of many small commits against the same rows compacted, through
NativeStore.scan_edges: N generations of 1,000 edge versions each (valid times following the
commits, random vids, about 20% closed by a later generation), scanned as of now (columns vt_s,
vt_e, src_id, dst_id) over the whole valid time and over a 1% window; then `compact()` and the
same scans again. One line per figure, the median of --repeats warm calls; peak RSS at the end.

    PYTHONPATH=build/release/python .venv/bin/python bench/segments_bench.py [--generations 10,500,5000]
"""

import argparse
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

import numpy as np

from vorp._engine import NativeStore

PER_GENERATION = 1000
ENTITIES = 10_000
WEEK = 604_800_000_000
COLUMNS = ["vt_s", "vt_e", "src_id", "dst_id"]


def build(path: str, generations: int, seed: int = 7) -> None:
    rng = np.random.default_rng(seed)
    store = NativeStore(path)
    uids = [f"e{i}" for i in range(ENTITIES)]
    store.ensure_entities(uids, ["L"] * ENTITIES)
    vids = []
    for g in range(generations):
        tt = 1000 * (g + 1)
        hi = rng.integers(0, 2**63, PER_GENERATION, dtype=np.int64)
        ids = [f"{int(h):016x}{g:08x}" for h in hi]
        vt_s = (g * WEEK + rng.integers(0, WEEK, PER_GENERATION)).tolist()
        store.begin(tt)
        store.stage_edges({
            "vid": ids,
            "src": [uids[i] for i in rng.integers(0, ENTITIES, PER_GENERATION).tolist()],
            "dst": [uids[i] for i in rng.integers(0, ENTITIES, PER_GENERATION).tolist()],
            "rel_type": ["knows"] * PER_GENERATION, "disc": [""] * PER_GENERATION,
            "vt_s": vt_s, "vt_e": [v + 1000 for v in vt_s], "tt_s": [tt] * PER_GENERATION,
            "props": ["{}"] * PER_GENERATION, "source": ["bench"] * PER_GENERATION,
            "provenance_ref": [None] * PER_GENERATION,
        })
        # Close a fifth of the earlier versions, a generation's worth spread over the history.
        if vids:
            picks = rng.choice(len(vids), size=min(len(vids), PER_GENERATION // 5), replace=False)
            store.stage_closes("edge", [vids[i] for i in picks.tolist()], tt)
            for i in sorted(picks.tolist(), reverse=True):
                vids[i] = vids[-1]
                vids.pop()
        vids.extend(ids)
        store.commit()


def median_ms(fn, repeats: int):
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3, result


def scans(store: NativeStore, generations: int, repeats: int) -> dict:
    lo = (generations * WEEK * 3) // 10
    window = max(WEEK // 10, generations * WEEK // 100)
    whole_ms, whole = median_ms(lambda: store.scan_edges(columns=COLUMNS), repeats)
    narrow_ms, narrow = median_ms(lambda: store.scan_edges(vt_min=lo, vt_max=lo + window, columns=COLUMNS), repeats)
    return {"whole_ms": whole_ms, "whole_rows": len(whole["vt_s"]), "narrow_ms": narrow_ms,
            "narrow_rows": len(narrow["vt_s"]), "segments": whole["segments_total"]}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--generations", default="10,500,5000")
    parser.add_argument("--repeats", type=int, default=7)
    opts = parser.parse_args()
    print(f"segments cpus={os.cpu_count()} load_average={' '.join(f'{x:.1f}' for x in os.getloadavg())} "
          f"VORP_SCAN_THREADS={os.environ.get('VORP_SCAN_THREADS', '(default)')}")
    for generations in (int(x) for x in opts.generations.split(",")):
        scratch = tempfile.mkdtemp(prefix="vorp-segments-")
        try:
            path = os.path.join(scratch, "store")
            start = time.perf_counter()
            build(path, generations)
            build_s = time.perf_counter() - start
            store = NativeStore(path)
            many = scans(store, generations, opts.repeats)
            store.compact()
            compacted = scans(store, generations, opts.repeats)
            assert (many["whole_rows"], many["narrow_rows"]) == (compacted["whole_rows"], compacted["narrow_rows"])
            print(f"segments generations={generations} build_s {build_s:.1f}  "
                  f"now: {many['segments']} segments {many['whole_ms']:8.2f} ms, compacted ({compacted['segments']}) "
                  f"{compacted['whole_ms']:8.2f} ms, ratio {many['whole_ms'] / compacted['whole_ms']:.2f}  "
                  f"rows {many['whole_rows']}")
            print(f"segments generations={generations} 1% window: {many['narrow_ms']:8.2f} ms, compacted "
                  f"{compacted['narrow_ms']:8.2f} ms, ratio {many['narrow_ms'] / compacted['narrow_ms']:.2f}  "
                  f"rows {many['narrow_rows']}", flush=True)
            del store
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    print(f"segments peak_rss_mib {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f}")


if __name__ == "__main__":
    sys.exit(main())
