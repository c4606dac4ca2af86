"""History pages in process, on the store that the pages section of bench/peers.py builds (edge
versions in four commits, ~20% closed by later commits through stage_closes), without the peer.
One line per figure: the median and the range of --repeats requests after one warm-up, each in a
fresh process per (belief, thread count), VORP_SCAN_THREADS set for it.

    PYTHONPATH=build/release/python .venv/bin/python bench/page_bench.py --store DIR [--versions 16000000]

The store is built into DIR when DIR holds none (about a minute at 16M versions) and reused
afterwards, so that two builds of the module can be compared on the same files. A digest of every
page's vids and its rows_total is printed, to compare the results of two builds.
"""

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import bench_data as data

SEED = 20240601
GENERATIONS = 4
PAGE_LIMIT = 100


def build(store_dir: str, versions: int, entities: int, layout: str) -> None:
    from vorp._engine import NativeStore

    h = data.version_history(versions, entities, GENERATIONS, 0.2, SEED, overlap=layout == "overlap")
    uids = data.entity_uids(entities)
    store = NativeStore(store_dir)
    store.ensure_entities(uids, data.entity_labels(entities))
    bounds = np.searchsorted(h["gen"], np.arange(GENERATIONS + 1))
    for g in range(GENERATIONS):
        lo, hi = int(bounds[g]), int(bounds[g + 1])
        n = hi - lo
        tt = data.generation_tt(g)
        store.begin(tt)
        store.stage_edges({
            "vid": data.vid_texts(h["vid_hi"][lo:hi], h["vid_lo"][lo:hi]),
            "src": [uids[i] for i in h["src_id"][lo:hi].tolist()],
            "dst": [uids[i] for i in h["dst_id"][lo:hi].tolist()],
            "rel_type": [data.REL_TYPES[i] for i in h["rel_code"][lo:hi].tolist()],
            "disc": [""] * n,
            "vt_s": h["vt_s"][lo:hi].tolist(),
            "vt_e": h["vt_e"][lo:hi].tolist(),
            "tt_s": [tt] * n,
            "props": ["{}"] * n,
            "source": ["bench"] * n,
            "provenance_ref": [None] * n,
        })
        closing = np.nonzero(h["close_gen"] == g)[0]
        if len(closing):
            store.stage_closes("edge", data.vid_texts(h["vid_hi"][closing], h["vid_lo"][closing]), tt)
        store.commit()


def child(args: dict) -> dict:
    from vorp._engine import NativeStore

    store = NativeStore(args["store"])
    now = data.OPEN_END - 1
    call = lambda offset: store.version_page("edge", now, args["t_a"], args["t_b"], args["belief"], None, offset,
                                             PAGE_LIMIT)
    total = call(0)["rows_total"]
    out = {"total": total}
    for label, offset in (("first", 0), ("middle", total // 2), ("last", max(0, total - PAGE_LIMIT))):
        times = []
        page = None
        for _ in range(args["repeats"] + 1):
            start = time.perf_counter()
            page = call(offset)
            times.append(time.perf_counter() - start)
        digest = hashlib.sha256(json.dumps([list(page["vid"]), page["tt_e"].tolist()]).encode()).hexdigest()[:12]
        out[label] = {"times": times[1:], "digest": digest}
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--store", required=True)
    parser.add_argument("--versions", type=int, default=16_000_000)
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--layout", choices=["follow", "overlap"], default="follow")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--threads", default="1,8")
    parser.add_argument("--beliefs", default="all,current")
    parser.add_argument("--child")
    opts = parser.parse_args()
    if opts.child:
        print(json.dumps(child(json.loads(opts.child))))
        return
    if not os.path.exists(os.path.join(opts.store, "CURRENT")):
        start = time.perf_counter()
        build(opts.store, opts.versions, opts.entities, opts.layout)
        print(f"built {opts.versions} versions ({opts.layout}) in {time.perf_counter() - start:.1f} s", flush=True)
    window = {"t_a": data.T0, "t_b": data.T0 + (GENERATIONS + 3) * data.WEEK_US}
    for belief in opts.beliefs.split(","):
        for threads in opts.threads.split(","):
            args = dict(window, store=opts.store, belief=belief, repeats=opts.repeats)
            env = dict(os.environ, VORP_SCAN_THREADS=threads)
            proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--store", opts.store, "--child",
                                   json.dumps(args)], env=env, check=True, capture_output=True, text=True)
            out = json.loads(proc.stdout)
            for label in ("first", "middle", "last"):
                times = [t * 1e3 for t in out[label]["times"]]
                print(f"page {belief:7} {label:6} threads={threads}  median_ms {statistics.median(times):7.2f}  "
                      f"range {min(times):7.2f}-{max(times):7.2f}  rows_total {out['total']}  "
                      f"digest {out[label]['digest']}", flush=True)


if __name__ == "__main__":
    main()
