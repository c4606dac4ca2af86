"""Side by side with peers, in one run and on the same seeded rows (bench/bench_data.py):

  ingest   1M edge versions and 100k entities from Python lists: ours ensure_entities + stage +
           commit against DuckDB inserting the same lists into file-backed tables through Arrow
           tables in one transaction, with its commit
  scan     a store of several generations (~20% of versions closed by later ones), in two layouts:
           valid times following the commits, and every commit over the whole valid time:
           scan_edges(as_of_tt=T, columns=[vt_s, vt_e, src_id, dst_id]) as of a past T and now,
           VORP_SCAN_THREADS=1 and 8, against DuckDB's
             SELECT vt_s, vt_e, src_id, dst_id FROM edges WHERE tt_s <= T AND T < tt_e ORDER BY vt_s, vid
           on the same versions in a file-backed database, fetchnumpy(), SET threads=1 and 8; the
           first call of each process is timed with the open (NativeStore(path), duckdb.connect)
  aggregates  (when the module has NativeStore.aggregate_edges) on the scan's store, grouped by
           (day bucket, relationship type) and by source, three sets of aggregates (--agg-sets):
           count and mean duration, count and count_distinct of the destination, count alone;
           as of a past T and now, against DuckDB's GROUP BY (avg, count(DISTINCT dst_id)) with
           the same bitemporal and valid-time predicates, at 1 and 8 threads on both sides, on
           each scan store layout (--layouts)
  pages    a store of --page-versions edge versions in four commits (~20% closed by later ones):
           version_page("edge", now, t_a, t_b, belief, None, offset, 100) for beliefs "current"
           and "all" at offset 0, the middle and the end, VORP_SCAN_THREADS=1 and 8, against
           DuckDB's page and its count on the same versions:
             SELECT vid, ... FROM edges WHERE tt_s <= T AND <belief> AND vt_s < t_b AND vt_e > t_a
               ORDER BY tt_s, vid LIMIT 100 OFFSET k;  SELECT count(*) FROM edges WHERE ...
           (both queries in each timed request), SET threads=1 and 8
  motifs   motif_match per motif against Raphtory's global_temporal_three_node_motif (all 40
           three-edge motifs in one pass) on the same events and delta, at 1 and 8 Raphtory threads

Run by scripts/bench in the benchmark venv (.venv-bench, bench/requirements.txt) with the built
module on PYTHONPATH:

    PYTHONPATH=build/release/python .venv-bench/bin/python bench/peers.py [--quick] [--only scan,motifs]

Every measurement runs in a fresh child process (so peak RSS, from getrusage, is that of one
side alone and the thread settings are read at start); a figure is the median of --repeats runs
after one warm-up where the work allows. One line per figure; ratios are peer time / our time, so
above 1 means we are faster. A check line compares the results of both sides (row counts and a
digest of the scanned columns; triangle counts against Raphtory's) and the run fails if they
differ.
"""

import argparse
import hashlib
import importlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import bench_data as data

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20240601
MOTIFS = ["M_triangle_cyclic", "M_triangle_acyclic_1", "M_2node_pingpong", "M_star_out_3", "M_path_3"]
# Raphtory's 40 counts: 3 x 8 stars, 8 two-node motifs, then 8 triangles; triangle 4 is
# i->j, j->k, k->i (our cyclic one) and triangle 7 is i->j, i->k, j->k (our acyclic one).
RAPHTORY_TRIANGLE = {"M_triangle_cyclic": 32 + 3, "M_triangle_acyclic_1": 32 + 6}


# Motif calls are repeated until --repeats runs or this many seconds, whichever comes first: a
# single call that long is already far above timer and warm-up noise.
LONG_CALL_S = 10.0


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def digest(*columns) -> str:
    h = hashlib.sha256()
    for column in columns:
        h.update(np.ascontiguousarray(column, dtype=np.int64).tobytes())
    return h.hexdigest()[:16]


# ---- children: each does one side of one comparison and prints one JSON line -------------------

def child_ingest_vorp(args: dict) -> dict:
    from vorp._engine import NativeStore

    uids, labels, nodes, edges = data.ingest_rows(args["entities"], args["edges"], args["seed"])
    rss_before = peak_rss_mib()
    start = time.perf_counter()
    store = NativeStore(os.path.join(args["dir"], "store"))
    store.ensure_entities(uids, labels)
    store.begin(1)
    store.stage_nodes(nodes)
    store.stage_edges(edges)
    store.commit()
    seconds = time.perf_counter() - start
    phases = store.last_commit_phases()
    return {"seconds": seconds, "commit_ms": phases["total_us"] / 1e3, "rss_before": rss_before,
            "rss_peak": peak_rss_mib()}


def child_ingest_duckdb(args: dict) -> dict:
    import duckdb
    import pyarrow as pa

    uids, labels, nodes, edges = data.ingest_rows(args["entities"], args["edges"], args["seed"])
    con = duckdb.connect(os.path.join(args["dir"], "duck.db"))
    con.execute("CREATE TABLE entities (uid VARCHAR, label VARCHAR)")
    con.execute("CREATE TABLE nodes (vid VARCHAR, uid VARCHAR, label VARCHAR, vt_s BIGINT, vt_e BIGINT, tt_s BIGINT, "
                "props VARCHAR, source VARCHAR, provenance_ref VARCHAR)")
    con.execute("CREATE TABLE edges (vid VARCHAR, src VARCHAR, dst VARCHAR, rel_type VARCHAR, disc VARCHAR, "
                "vt_s BIGINT, vt_e BIGINT, tt_s BIGINT, props VARCHAR, source VARCHAR, provenance_ref VARCHAR)")
    con.execute("CHECKPOINT")
    rss_before = peak_rss_mib()
    start = time.perf_counter()
    entity_table = pa.table({"uid": uids, "label": labels})
    node_table = pa.table(nodes)
    edge_table = pa.table(edges)
    con.execute("BEGIN TRANSACTION")
    con.register("entity_table", entity_table)
    con.register("node_table", node_table)
    con.register("edge_table", edge_table)
    con.execute("INSERT INTO entities SELECT * FROM entity_table")
    con.execute("INSERT INTO nodes SELECT * FROM node_table")
    con.execute("INSERT INTO edges SELECT * FROM edge_table")
    commit_start = time.perf_counter()
    con.execute("COMMIT")
    end = time.perf_counter()
    count = con.execute("SELECT count(*) FROM edges").fetchone()[0]
    con.close()
    assert count == args["edges"], count
    return {"seconds": end - start, "commit_ms": (end - commit_start) * 1e3, "rss_before": rss_before,
            "rss_peak": peak_rss_mib()}


def child_build(args: dict) -> dict:
    """Builds our store (one commit per generation, closes staged by vid) and the DuckDB table of
    the same versions, in the given directory."""
    import duckdb
    import pyarrow as pa
    from vorp._engine import NativeStore

    h = data.version_history(args["versions"], args["entities"], args["generations"], args["closed"], args["seed"],
                             overlap=args.get("layout") == "overlap")
    uids = data.entity_uids(args["entities"])

    start = time.perf_counter()
    store = NativeStore(os.path.join(args["dir"], "store"))
    store.ensure_entities(uids, data.entity_labels(args["entities"]))
    assert store.dense_ids([uids[0], uids[-1]]).tolist() == [0, len(uids) - 1]
    gen = h["gen"]
    bounds = np.searchsorted(gen, np.arange(args["generations"] + 1))
    for g in range(args["generations"]):
        lo, hi = int(bounds[g]), int(bounds[g + 1])
        tt = data.generation_tt(g)
        cols = data.edge_columns(h, lo, hi, uids, tt)
        store.begin(tt)
        store.stage_edges(cols)
        del cols
        closing = np.nonzero(h["close_gen"] == g)[0]
        if len(closing):
            store.stage_closes("edge", data.vid_texts(h["vid_hi"][closing], h["vid_lo"][closing]), tt)
        store.commit()
    ours_seconds = time.perf_counter() - start
    stats_generation = store.generation()
    del store

    start = time.perf_counter()
    table = pa.table({
        "vid_hi": h["vid_hi"], "vid_lo": h["vid_lo"],
        "src_id": h["src_id"].astype(np.uint32), "dst_id": h["dst_id"].astype(np.uint32),
        "rel_code": h["rel_code"].astype(np.uint8),
        "vt_s": h["vt_s"], "vt_e": h["vt_e"], "tt_s": h["tt_s"], "tt_e": h["tt_e"],
    })
    rel_table = pa.table({"rel_code": np.arange(len(data.REL_TYPES), dtype=np.uint8), "rel_type": data.REL_TYPES})
    con = duckdb.connect(os.path.join(args["dir"], "duck.db"))
    con.register("history", table)
    con.register("rels", rel_table)
    # vid as one 128-bit number prefix * 2^32 + suffix: its order is the (prefix, suffix) order
    # our scan sorts ties by.
    con.execute("""CREATE TABLE edges AS
        SELECT (h.vid_hi::UHUGEINT * 4294967296 + h.vid_lo) AS vid, h.src_id, h.dst_id, r.rel_type,
               h.vt_s, h.vt_e, h.tt_s, h.tt_e
        FROM history h JOIN rels r USING (rel_code)""")
    con.execute("CHECKPOINT")
    duck_seconds = time.perf_counter() - start
    con.close()
    return {"rows": int(len(gen)), "closed": int((h["close_gen"] >= 0).sum()), "generation": stats_generation,
            "vorp_build_s": ours_seconds, "duckdb_build_s": duck_seconds}


def child_compact(args: dict) -> dict:
    from vorp._engine import NativeStore

    store = NativeStore(os.path.join(args["dir"], "store"))
    start = time.perf_counter()
    report = store.compact()
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "segments": report["segments_after"]}


def child_scan_vorp(args: dict) -> dict:
    from vorp._engine import NativeStore

    kwargs = {"columns": ["vt_s", "vt_e", "src_id", "dst_id"]}
    if args["as_of"] is not None:
        kwargs["as_of_tt"] = args["as_of"]
    rss_before = peak_rss_mib()
    times = []
    result = None
    # The first figure is open + first scan on a fresh handle in a fresh process.
    start = time.perf_counter()
    store = NativeStore(os.path.join(args["dir"], "store"))
    for _ in range(args["repeats"] + 1):
        result = None
        result = store.scan_edges(**kwargs)
        times.append(time.perf_counter() - start)
        start = time.perf_counter()
    rss_peak = peak_rss_mib()
    return {"seconds": statistics.median(times[1:]), "first_s": times[0], "rows": int(len(result["vt_s"])),
            "digest": digest(result["vt_s"], result["vt_e"], result["src_id"], result["dst_id"]),
            "segments_pruned": result["segments_pruned"], "segments_total": result["segments_total"],
            "rss_before": rss_before, "rss_peak": rss_peak}


def child_scan_duckdb(args: dict) -> dict:
    import duckdb

    t = data.OPEN_END - 1 if args["as_of"] is None else args["as_of"]
    sql = "SELECT vt_s, vt_e, src_id, dst_id FROM edges WHERE tt_s <= $1 AND $1 < tt_e ORDER BY vt_s, vid"
    rss_before = peak_rss_mib()
    times = []
    result = None
    # The first figure is connect + first query on a fresh connection in a fresh process.
    start = time.perf_counter()
    con = duckdb.connect(os.path.join(args["dir"], "duck.db"), read_only=True)
    con.execute(f"SET threads={int(args['threads'])}")
    for _ in range(args["repeats"] + 1):
        result = None
        result = con.execute(sql, [t]).fetchnumpy()
        times.append(time.perf_counter() - start)
        start = time.perf_counter()
    rss_peak = peak_rss_mib()
    return {"seconds": statistics.median(times[1:]), "first_s": times[0], "rows": int(len(result["vt_s"])),
            "digest": digest(result["vt_s"], result["vt_e"], result["src_id"], result["dst_id"]),
            "rss_before": rss_before, "rss_peak": rss_peak}


PAGE_LIMIT = 100


def page_offsets(total: int) -> dict:
    return {"first": 0, "middle": total // 2, "last": max(0, total - PAGE_LIMIT)}


def child_page_vorp(args: dict) -> dict:
    from vorp._engine import NativeStore

    store = NativeStore(os.path.join(args["dir"], "store"))
    t = data.OPEN_END - 1
    call = lambda offset: store.version_page("edge", t, args["t_a"], args["t_b"], args["belief"], None, offset,
                                             PAGE_LIMIT)
    rss_before = peak_rss_mib()
    total = call(0)["rows_total"]
    out = {"total": total}
    for label, offset in page_offsets(total).items():
        times = []
        page = None
        for _ in range(args["repeats"] + 1):
            page = None
            start = time.perf_counter()
            page = call(offset)
            times.append(time.perf_counter() - start)
        assert page["rows_total"] == total
        out[label] = {"seconds": statistics.median(times[1:]), "first_s": times[0], "vids": list(page["vid"])}
    out["rss_before"], out["rss_peak"] = rss_before, peak_rss_mib()
    return out


def child_page_duckdb(args: dict) -> dict:
    import duckdb

    con = duckdb.connect(os.path.join(args["dir"], "duck.db"), read_only=True)
    con.execute(f"SET threads={int(args['threads'])}")
    t = data.OPEN_END - 1
    belief = "AND $t < tt_e" if args["belief"] == "current" else ""
    where = f"WHERE tt_s <= $t {belief} AND vt_s < $tb AND vt_e > $ta"
    params = {"t": t, "ta": args["t_a"], "tb": args["t_b"]}
    page_sql = f"SELECT vid FROM edges {where} ORDER BY tt_s, vid LIMIT {PAGE_LIMIT} OFFSET $k"
    count_sql = f"SELECT count(*) FROM edges {where}"
    rss_before = peak_rss_mib()

    def call(offset: int):
        rows = con.execute(page_sql, dict(params, k=offset)).fetchall()
        (total,) = con.execute(count_sql, params).fetchone()
        return [f"{vid:024x}" for (vid,) in rows], total

    total = call(0)[1]
    out = {"total": total}
    for label, offset in page_offsets(total).items():
        times = []
        vids = None
        for _ in range(args["repeats"] + 1):
            start = time.perf_counter()
            vids, counted = call(offset)
            times.append(time.perf_counter() - start)
        assert counted == total
        out[label] = {"seconds": statistics.median(times[1:]), "first_s": times[0], "vids": vids}
    out["rss_before"], out["rss_peak"] = rss_before, peak_rss_mib()
    return out


# Every aggregate query groups the versions believed at T whose valid time starts in [t_a, t_b).
AGG_QUERIES = {
    "bucket_rel": {
        "group_by": [("time_bucket", None), ("rel_type", None)],
        "sql_keys": "(vt_s - $ta) // $stride AS k0, rel_type AS k1",
    },
    "source": {
        "group_by": [("endpoint", "src")],
        "sql_keys": "src_id AS k0",
    },
}
# The aggregates of each set: ours, and DuckDB's (the count as n, the other one, if any, as v).
AGG_SETS = {
    "mean": {"aggregates": [("count", None), ("mean", "duration")],
             "sql_aggs": "count(*) AS n, avg(vt_e - vt_s) AS v"},
    "distinct": {"aggregates": [("count", None), ("count_distinct", "dst")],
                 "sql_aggs": "count(*) AS n, count(DISTINCT dst_id) AS v"},
    "count": {"aggregates": [("count", None)], "sql_aggs": "count(*) AS n"},
}
AGG_SQL = ("SELECT {keys}, {aggs} FROM edges "
           "WHERE tt_s <= $t AND $t < tt_e AND vt_s >= $ta AND vt_s < $tb GROUP BY ALL")


def agg_digest(k0, k1, counts, values) -> str:
    """Groups sorted by key, with counts and values rounded to a part in 1e9 (the two sides sum
    means in different orders)."""
    rows = sorted(zip(k0, k1, counts, (float(f"{m:.9e}") for m in values)))
    return hashlib.sha256(repr(rows).encode()).hexdigest()[:16]


def child_agg_vorp(args: dict) -> dict:
    from vorp._engine import NativeStore

    store = NativeStore(os.path.join(args["dir"], "store"))
    query = AGG_QUERIES[args["query"]]
    t = data.OPEN_END - 1 if args["as_of"] is None else args["as_of"]
    call = dict(as_of_tt=t, t_a=args["t_a"], t_b=args["t_b"], rel_types=None, stride=args["stride"],
                group_by=query["group_by"], aggregates=AGG_SETS[args["set"]]["aggregates"], max_groups=10**7)
    times, result = [], None
    for _ in range(args["repeats"] + 1):
        result = None
        start = time.perf_counter()
        result = store.aggregate_edges(**call)
        times.append(time.perf_counter() - start)
    keys = [k.tolist() for k in result["keys"]]
    if args["query"] == "bucket_rel":
        keys[1] = [result["rel_names"][code] for code in keys[1]]
    else:
        keys.append([0] * len(keys[0]))
    counts = result["aggs"][0]
    values = result["aggs"][1] if len(result["aggs"]) > 1 else [0] * len(counts)
    return {"seconds": statistics.median(times[1:]), "first_s": times[0], "groups": len(counts),
            "rows": int(sum(counts)), "digest": agg_digest(keys[0], keys[1], counts, values),
            "rss_peak": peak_rss_mib()}


def child_agg_duckdb(args: dict) -> dict:
    import duckdb

    con = duckdb.connect(os.path.join(args["dir"], "duck.db"), read_only=True)
    con.execute(f"SET threads={int(args['threads'])}")
    query = AGG_QUERIES[args["query"]]
    t = data.OPEN_END - 1 if args["as_of"] is None else args["as_of"]
    sql = AGG_SQL.format(keys=query["sql_keys"], aggs=AGG_SETS[args["set"]]["sql_aggs"])
    params = {"t": t, "ta": args["t_a"], "tb": args["t_b"]}
    if "$stride" in sql:
        params["stride"] = args["stride"]
    times, result = [], None
    for _ in range(args["repeats"] + 1):
        result = None
        start = time.perf_counter()
        result = con.execute(sql, params).fetchnumpy()
        times.append(time.perf_counter() - start)
    k1 = result["k1"].tolist() if "k1" in result else [0] * len(result["n"])
    counts = result["n"].tolist()
    values = result["v"].tolist() if "v" in result else [0] * len(counts)
    return {"seconds": statistics.median(times[1:]), "first_s": times[0], "groups": len(counts),
            "rows": int(sum(counts)), "digest": agg_digest(result["k0"].tolist(), k1, counts, values),
            "rss_peak": peak_rss_mib()}


def child_motifs_vorp(args: dict) -> dict:
    from vorp._engine import motif_match

    src, dst, t, eid = data.motif_events(args["events"], args["nodes"], args["seed"])
    out = {}
    for delta in args["deltas"]:
        for motif in MOTIFS:
            times, count = [], None
            while len(times) < args["repeats"] and sum(times) < LONG_CALL_S:
                start = time.perf_counter()
                count, _ = motif_match(motif, src, dst, t, eid, delta)
                times.append(time.perf_counter() - start)
            out[f"{motif}/{delta}"] = {"seconds": statistics.median(times), "count": count}
    return out


def child_motifs_raphtory(args: dict) -> dict:
    import pyarrow as pa
    import raphtory
    from raphtory import algorithms

    src, dst, t, _ = data.motif_events(args["events"], args["nodes"], args["seed"])
    start = time.perf_counter()
    graph = raphtory.Graph()
    graph.load_edges(pa.table({"t": t, "src": src, "dst": dst}), time="t", src="src", dst="dst")
    out = {"load_s": time.perf_counter() - start}
    for delta in args["deltas"]:
        for threads in args["threads"]:
            times, counts = [], None
            while len(times) < args["repeats"] and sum(times) < LONG_CALL_S:
                start = time.perf_counter()
                counts = algorithms.global_temporal_three_node_motif(graph, delta, threads=threads)
                times.append(time.perf_counter() - start)
            out[f"{delta}/{threads}"] = {"seconds": statistics.median(times), "counts": list(counts)}
    return out


CHILDREN = {
    "ingest-vorp": child_ingest_vorp, "ingest-duckdb": child_ingest_duckdb, "build": child_build,
    "compact": child_compact, "scan-vorp": child_scan_vorp, "scan-duckdb": child_scan_duckdb,
    "agg-vorp": child_agg_vorp, "agg-duckdb": child_agg_duckdb,
    "page-vorp": child_page_vorp, "page-duckdb": child_page_duckdb,
    "motifs-vorp": child_motifs_vorp, "motifs-raphtory": child_motifs_raphtory,
}


def run_child(kind: str, args: dict, env: dict | None = None) -> dict:
    child_env = dict(os.environ)
    # Every child imports NumPy at start, and NumPy's BLAS starts a pool of threads that busy-wait
    # for work for a while after it loads: on 8 cores it took about 0.7 s of CPU from whatever ran
    # next (the cold first call of either side). Neither side uses BLAS.
    child_env.setdefault("OPENBLAS_NUM_THREADS", "1")
    child_env.update(env or {})
    proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", kind, json.dumps(args)],
                          env=child_env, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        raise SystemExit(f"peers: {kind} failed (exit {proc.returncode})")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---- the comparisons -------------------------------------------------------------------------

def ratio(peer_seconds: float, our_seconds: float) -> str:
    return f"{peer_seconds / our_seconds:.2f}"


def bench_ingest(opts, scratch: str) -> None:
    args = {"entities": opts.ingest_entities, "edges": opts.ingest_edges, "seed": SEED}
    rows = args["entities"] + args["edges"]
    runs = {"vorp": [], "duckdb": []}
    for repeat in range(opts.repeats):
        for side in ("vorp", "duckdb"):
            work = os.path.join(scratch, f"ingest-{side}-{repeat}")
            os.makedirs(work)
            runs[side].append(run_child(f"ingest-{side}", dict(args, dir=work)))
            shutil.rmtree(work, ignore_errors=True)
    med = {side: {key: statistics.median(run[key] for run in runs[side]) for key in runs[side][0]} for side in runs}
    print(f"ingest edges={args['edges']} entities={args['entities']} repeats={opts.repeats}")
    for side in ("vorp", "duckdb"):
        m = med[side]
        print(f"ingest {side:6} end_to_end_ms {m['seconds'] * 1e3:9.1f}  rows_per_s {rows / m['seconds']:10.0f}  "
              f"commit_ms {m['commit_ms']:8.1f}  peak_rss_mib {m['rss_peak']:6.0f} (+{m['rss_peak'] - m['rss_before']:.0f} "
              f"over the lists)")
    print(f"ingest ratio duckdb_over_vorp_time {ratio(med['duckdb']['seconds'], med['vorp']['seconds'])}")


def bench_scan(opts, scratch: str, scans: bool, aggregates: bool) -> None:
    # Two layouts: valid times following the commits, and commits overlapping in valid time.
    # The aggregates run on each layout's store.
    for layout in opts.layouts:
        work = os.path.join(scratch, f"scan-{layout}")
        os.makedirs(work)
        build = run_child("build", {"dir": work, "versions": opts.scan_versions, "entities": opts.scan_entities,
                                    "generations": opts.generations, "closed": 0.2, "seed": SEED, "layout": layout})
        print(f"scan store layout={layout} versions={build['rows']} entities={opts.scan_entities} "
              f"generations={opts.generations} closed={build['closed']} ({build['closed'] / build['rows']:.1%})  "
              f"vorp_build_s {build['vorp_build_s']:.1f}  duckdb_build_s {build['duckdb_build_s']:.1f} "
              f"(bulk load of the final table)")
        past = data.generation_tt(opts.generations // 2 - 1)
        if scans:
            scan_figures(opts, work, layout, past)
            if opts.compacted:
                compacted = run_child("compact", {"dir": work})
                print(f"scan store layout={layout} compacted into {compacted['segments']} segments in "
                      f"{compacted['seconds']:.1f} s", flush=True)
                scan_figures(opts, work, f"{layout}-compacted", past)
        if aggregates:
            bench_aggregates(opts, work, past, layout)
        shutil.rmtree(work, ignore_errors=True)


def scan_figures(opts, work: str, layout: str, past: int) -> None:
    for label, as_of in (("past", past), ("now", None)):
        seconds = {}
        for threads in (1, 8):
            common = {"dir": work, "as_of": as_of, "repeats": opts.repeats, "threads": threads}
            ours = run_child("scan-vorp", common, {"VORP_SCAN_THREADS": str(threads)})
            peer = run_child("scan-duckdb", common)
            if (ours["rows"], ours["digest"]) != (peer["rows"], peer["digest"]):
                raise SystemExit(f"peers: scan {layout} {label} threads={threads} differs: ours {ours['rows']} "
                                 f"rows {ours['digest']}, duckdb {peer['rows']} rows {peer['digest']}")
            seconds[threads] = ours["seconds"]
            tag = f"scan {layout:7} {label:4} threads={threads}"
            print(f"{tag} vorp   ms {ours['seconds'] * 1e3:8.1f}  rows_per_s {ours['rows'] / ours['seconds']:11.0f}  "
                  f"open_first_ms {ours['first_s'] * 1e3:8.1f}  peak_rss_mib {ours['rss_peak']:6.0f}  "
                  f"pruned {ours['segments_pruned']}/{ours['segments_total']}")
            print(f"{tag} duckdb ms {peer['seconds'] * 1e3:8.1f}  rows_per_s {peer['rows'] / peer['seconds']:11.0f}  "
                  f"open_first_ms {peer['first_s'] * 1e3:8.1f}  peak_rss_mib {peer['rss_peak']:6.0f}")
            print(f"{tag} check rows {ours['rows']} equal, digest {ours['digest']} equal")
            print(f"{tag} ratio duckdb_over_vorp_time {ratio(peer['seconds'], ours['seconds'])}  "
                  f"open_first {ratio(peer['first_s'], ours['first_s'])}", flush=True)
        print(f"scan {layout:7} {label:4} vorp 1t_over_8t {seconds[1] / seconds[8]:.2f}", flush=True)


def bench_aggregates(opts, work: str, past: int, layout: str) -> None:
    day = 86_400_000_000
    window = {"t_a": data.T0, "t_b": data.T0 + opts.generations * data.WEEK_US, "stride": day}
    print(f"aggregates ({layout} layout) of the versions believed at T with vt_s in "
          f"[t_a, t_a + {opts.generations} weeks); buckets of one day; sets: mean = count and mean(vt_e - vt_s), "
          f"distinct = count and count_distinct(dst), count = count alone")
    for name, agg_set in ((name, agg_set) for name in AGG_QUERIES for agg_set in opts.agg_sets):
        for label, as_of in (("past", past), ("now", None)):
            for threads in (1, 8):
                common = dict(window, dir=work, query=name, set=agg_set, as_of=as_of, repeats=opts.repeats,
                              threads=threads)
                ours = run_child("agg-vorp", common, {"VORP_SCAN_THREADS": str(threads)})
                peer = run_child("agg-duckdb", common)
                if (ours["groups"], ours["rows"], ours["digest"]) != (peer["groups"], peer["rows"], peer["digest"]):
                    raise SystemExit(f"peers: aggregate {name} {agg_set} {label} threads={threads} differs: ours "
                                     f"{ours['groups']} groups {ours['rows']} rows {ours['digest']}, duckdb "
                                     f"{peer['groups']} groups {peer['rows']} rows {peer['digest']}")
                tag = f"aggregates {layout:7} {name:10} {agg_set:8} {label:4} threads={threads}"
                print(f"{tag} vorp   ms {ours['seconds'] * 1e3:8.1f}  rows_per_s {ours['rows'] / ours['seconds']:11.0f}  "
                      f"first_ms {ours['first_s'] * 1e3:8.1f}  peak_rss_mib {ours['rss_peak']:6.0f}")
                print(f"{tag} duckdb ms {peer['seconds'] * 1e3:8.1f}  rows_per_s {peer['rows'] / peer['seconds']:11.0f}  "
                      f"first_ms {peer['first_s'] * 1e3:8.1f}  peak_rss_mib {peer['rss_peak']:6.0f}")
                print(f"{tag} check {ours['groups']} groups over {ours['rows']} rows equal, digest {ours['digest']} equal")
                print(f"{tag} ratio duckdb_over_vorp_time {ratio(peer['seconds'], ours['seconds'])}")


def bench_pages(opts, scratch: str) -> None:
    work = os.path.join(scratch, "pages")
    os.makedirs(work)
    generations = 4
    build = run_child("build", {"dir": work, "versions": opts.page_versions, "entities": opts.scan_entities,
                                "generations": generations, "closed": 0.2, "seed": SEED})
    window = {"t_a": data.T0, "t_b": data.T0 + (generations + 3) * data.WEEK_US}
    print(f"pages store versions={build['rows']} generations={generations} closed={build['closed']} "
          f"({build['closed'] / build['rows']:.1%}); {PAGE_LIMIT} rows as of now, valid-time window covering all; "
          f"each DuckDB request is its page query and its count")
    for belief in ("current", "all"):
        for threads in (1, 8):
            common = dict(window, dir=work, belief=belief, repeats=opts.repeats, threads=threads)
            ours = run_child("page-vorp", common, {"VORP_SCAN_THREADS": str(threads)})
            peer = run_child("page-duckdb", common)
            if ours["total"] != peer["total"]:
                raise SystemExit(f"peers: pages {belief} threads={threads}: rows_total {ours['total']} against "
                                 f"duckdb's {peer['total']}")
            for label in ("first", "middle", "last"):
                o, p = ours[label], peer[label]
                if o["vids"] != p["vids"]:
                    raise SystemExit(f"peers: pages {belief} {label} threads={threads}: the pages differ")
                tag = f"pages {belief:7} {label:6} threads={threads}"
                print(f"{tag} vorp   ms {o['seconds'] * 1e3:8.2f}  first_ms {o['first_s'] * 1e3:8.2f}  "
                      f"peak_rss_mib {ours['rss_peak']:6.0f}")
                print(f"{tag} duckdb ms {p['seconds'] * 1e3:8.2f}  first_ms {p['first_s'] * 1e3:8.2f}  "
                      f"peak_rss_mib {peer['rss_peak']:6.0f}")
                print(f"{tag} check rows_total {ours['total']} equal, page of {len(o['vids'])} vids equal")
                print(f"{tag} ratio duckdb_over_vorp_time {ratio(p['seconds'], o['seconds'])}")
    shutil.rmtree(work, ignore_errors=True)


def bench_motifs(opts) -> None:
    args = {"events": opts.motif_events, "nodes": 100_000, "seed": SEED, "deltas": opts.deltas,
            "repeats": opts.repeats}
    ours = run_child("motifs-vorp", args)
    print(f"motifs events={args['events']} nodes={args['nodes']} power-law endpoints, one event per time unit")
    totals = {}
    for delta in opts.deltas:
        totals[delta] = 0.0
        for motif in MOTIFS:
            o = ours[f"{motif}/{delta}"]
            totals[delta] += o["seconds"]
            print(f"motifs delta={delta:<5} {motif:21} vorp ms {o['seconds'] * 1e3:8.1f}  "
                  f"events_per_s {args['events'] / o['seconds']:11.0f}  count {o['count']}")
        print(f"motifs delta={delta:<5} all five motifs     vorp ms {totals[delta] * 1e3:8.1f}", flush=True)
    try:
        peer = run_child("motifs-raphtory", dict(args, threads=[1, 8]))
    except SystemExit as failure:
        print(f"motifs raphtory unavailable ({failure}); ours only")
        return
    print(f"motifs raphtory graph load from Arrow ms {peer['load_s'] * 1e3:.1f} (not in its times)")
    for delta in opts.deltas:
        slowest = max(ours[f"{motif}/{delta}"]["seconds"] for motif in MOTIFS)
        for threads in (1, 8):
            p = peer[f"{delta}/{threads}"]
            print(f"motifs delta={delta:<5} raphtory threads={threads} ms {p['seconds'] * 1e3:8.1f}  "
                  f"events_per_s {args['events'] / p['seconds']:11.0f}  (all 40 motifs in one pass)  "
                  f"ratio raphtory_over_vorp_slowest_motif {ratio(p['seconds'], slowest)}  "
                  f"raphtory_over_vorp_all_five {ratio(p['seconds'], totals[delta])}")
        counts = peer[f"{delta}/1"]["counts"]
        for motif, index in RAPHTORY_TRIANGLE.items():
            mine, theirs = ours[f"{motif}/{delta}"]["count"], counts[index]
            if mine != theirs:
                raise SystemExit(f"peers: {motif} delta={delta}: ours {mine}, raphtory {theirs}")
        print(f"motifs delta={delta:<5} check triangle counts equal to raphtory's "
              f"({', '.join(str(counts[i]) for i in RAPHTORY_TRIANGLE.values())})")


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        print(json.dumps(CHILDREN[sys.argv[2]](json.loads(sys.argv[3]))))
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="ingest,scan,aggregates,pages,motifs",
                        help="comma-separated: ingest, scan, aggregates (on the scan's store), pages, motifs")
    parser.add_argument("--quick", action="store_true", help="small sizes, one repeat: checks the harness")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--ingest-edges", type=int, default=1_000_000)
    parser.add_argument("--ingest-entities", type=int, default=100_000)
    parser.add_argument("--scan-versions", type=int, default=10_000_000)
    parser.add_argument("--scan-entities", type=int, default=100_000)
    parser.add_argument("--generations", type=int, default=10)
    parser.add_argument("--compacted", action="store_true",
                        help="after each layout's scans, compact our store and run the scans again")
    parser.add_argument("--page-versions", type=int, default=2_000_000)
    parser.add_argument("--layouts", type=lambda text: text.split(","), default=["follow", "overlap"],
                        help="scan store layouts: follow (valid times follow the commits), overlap (commits "
                             "overlap in valid time)")
    parser.add_argument("--agg-sets", type=lambda text: text.split(","), default=list(AGG_SETS),
                        help="aggregate sets: mean, distinct, count (see AGG_SETS)")
    parser.add_argument("--motif-events", type=int, default=1_000_000)
    parser.add_argument("--deltas", type=lambda text: [int(x) for x in text.split(",")], default=[10, 100, 1000])
    opts = parser.parse_args()
    if opts.quick:
        opts.repeats = 1
        opts.ingest_edges, opts.ingest_entities = 20_000, 2_000
        opts.scan_versions, opts.scan_entities, opts.generations = 200_000, 10_000, 4
        opts.page_versions = 100_000
        opts.motif_events, opts.deltas = 20_000, [10, 100]
    sections = set(opts.only.split(","))
    unknown = sections - {"ingest", "scan", "aggregates", "pages", "motifs"}
    if unknown:
        parser.error(f"unknown section(s): {', '.join(sorted(unknown))}")

    print(f"peers cpus={os.cpu_count()} load_average={' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    scratch = tempfile.mkdtemp(prefix="vorp-peers-")
    try:
        if "ingest" in sections:
            bench_ingest(opts, scratch)
        aggregates = "aggregates" in sections
        if aggregates and not hasattr(importlib.import_module("vorp._engine").NativeStore, "aggregate_edges"):
            print("aggregates skipped: this build has no NativeStore.aggregate_edges")
            aggregates = False
        if "scan" in sections or aggregates:
            bench_scan(opts, scratch, "scan" in sections, aggregates)
        if "pages" in sections:
            bench_pages(opts, scratch)
        if "motifs" in sections:
            bench_motifs(opts)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"peers done load_average={' '.join(f'{x:.1f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    main()
