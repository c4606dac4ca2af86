"""Ingest from Python lists: entities, one node version each, and edge versions, staged and
committed in one batch, with where the time goes.

    PYTHONPATH=build/release/python .venv/bin/python bench/ingest_bench.py [--edges N] [--entities N] [--repeat N]
        [--duckdb]

With --duckdb (pip install -r bench/requirements-ingest.txt first), DuckDB ingests the same
Python lists into file-backed tables through Arrow tables, in one transaction, and the ratio is
printed.

One line per figure. The phases:
  entities     ensure_entities of every uid (conversion and dictionary inserts)
  convert      column conversion alone: the same columns with an unknown uid in row 0, so the
               call converts every column and stops at its first lookup
  resolve      dense-id lookups and vid parses of every row: the call made outside a batch
               (it resolves every row, then the store refuses row 0), minus `convert`
  stage        stage_edges inside the batch minus both: building and appending the rows
  commit       commit(), split by its own phases (seal, dict, manifest, CURRENT, ...)
The data is generated from a fixed seed before any clock starts.
"""

import argparse
import random
import resource
import shutil
import statistics
import tempfile
import time

from vorp._engine import NativeStore

WEEK_US = 604_800_000_000
REL_TYPES = ["knows", "works_at", "owns", "likes", "follows", "paid", "visited", "mentions"]


def make_data(n_entities: int, n_edges: int, seed: int):
    rng = random.Random(seed)
    uids = [f"ent:{i:07d}" for i in range(n_entities)]
    labels = [("Person", "Company", "Place")[i % 3] for i in range(n_entities)]
    t0 = 1_700_000_000_000_000
    nodes = {
        "vid": [f"{i:016x}{0:08x}" for i in range(n_entities)],
        "uid": uids,
        "label": labels,
        "vt_s": [t0 + i for i in range(n_entities)],
        "vt_e": [t0 + 100 * WEEK_US] * n_entities,
        "tt_s": [1] * n_entities,
        "props": [f'{{"name":"entity {i}"}}' for i in range(n_entities)],
        "source": ["bench"] * n_entities,
        "provenance_ref": [None] * n_entities,
    }
    vt_s = [t0 + rng.randrange(52 * WEEK_US) for _ in range(n_edges)]
    edges = {
        "vid": [f"{i:016x}{1:08x}" for i in range(n_edges)],
        "src": [uids[rng.randrange(n_entities)] for _ in range(n_edges)],
        "dst": [uids[rng.randrange(n_entities)] for _ in range(n_edges)],
        "rel_type": [REL_TYPES[rng.randrange(len(REL_TYPES))] for _ in range(n_edges)],
        "disc": [""] * n_edges,
        "vt_s": vt_s,
        # Most edges are events (one microsecond); one in ten spans a few weeks.
        "vt_e": [s + (1 if i % 10 else 3 * WEEK_US) for i, s in enumerate(vt_s)],
        "tt_s": [1] * n_edges,
        "props": [f'{{"w":{i % 1000}}}' for i in range(n_edges)],
        "source": ["bench"] * n_edges,
        "provenance_ref": [None if i % 4 else f"log:{i}" for i in range(n_edges)],
    }
    return uids, labels, nodes, edges


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def call_failing(store, cols, expected: type, text: str) -> float:
    """Times a stage_edges call that is meant to fail with `expected` mentioning `text`."""
    start = time.perf_counter()
    try:
        store.stage_edges(cols)
    except expected as error:
        assert text in str(error), error
    else:
        raise AssertionError("stage_edges did not fail")
    return time.perf_counter() - start


def duckdb_ingest(scratch: str, uids, labels, nodes, edges) -> dict:
    """The same rows into a file-backed DuckDB database: Arrow tables built from the lists, then
    INSERT ... SELECT in one transaction and its commit."""
    import duckdb
    import pyarrow as pa

    start = time.perf_counter()
    entity_table = pa.table({"uid": uids, "label": labels})
    node_table = pa.table(nodes)
    edge_table = pa.table(edges)
    t_arrow = time.perf_counter() - start
    con = duckdb.connect(f"{scratch}/duck.db")
    con.execute("CREATE TABLE entities (uid VARCHAR, label VARCHAR)")
    con.execute("CREATE TABLE nodes (vid VARCHAR, uid VARCHAR, label VARCHAR, vt_s BIGINT, vt_e BIGINT, tt_s BIGINT, "
                "props VARCHAR, source VARCHAR, provenance_ref VARCHAR)")
    con.execute("CREATE TABLE edges (vid VARCHAR, src VARCHAR, dst VARCHAR, rel_type VARCHAR, disc VARCHAR, "
                "vt_s BIGINT, vt_e BIGINT, tt_s BIGINT, props VARCHAR, source VARCHAR, provenance_ref VARCHAR)")
    con.execute("CHECKPOINT")
    start = time.perf_counter()
    con.execute("BEGIN TRANSACTION")
    con.register("entity_table", entity_table)
    con.register("node_table", node_table)
    con.register("edge_table", edge_table)
    con.execute("INSERT INTO entities SELECT * FROM entity_table")
    con.execute("INSERT INTO nodes SELECT * FROM node_table")
    con.execute("INSERT INTO edges SELECT * FROM edge_table")
    t_insert = time.perf_counter() - start
    start = time.perf_counter()
    con.execute("COMMIT")
    t_commit = time.perf_counter() - start
    count = con.execute("SELECT count(*) FROM edges").fetchone()[0]
    con.close()
    assert count == len(edges["vid"])
    return {"arrow": t_arrow, "insert": t_insert, "commit": t_commit, "total": t_arrow + t_insert + t_commit}


def ingest_once(path: str, uids, labels, nodes, edges) -> dict:
    """One ingest into a new store at `path`: the figures in seconds, and the commit's phases."""
    store = NativeStore(path)
    t_entities, _ = timed(lambda: store.ensure_entities(uids, labels))
    # Row 0 names an unknown uid: every column is converted, then the call stops at once.
    # Each probe is the best of three runs, the first of which also warms the caches.
    unknown_first = dict(edges, src=["no such entity"] + edges["src"][1:])
    t_convert = min(call_failing(store, unknown_first, KeyError, "unknown uid") for _ in range(3))
    # Outside a batch every uid and vid is resolved, then the store refuses row 0.
    t_resolve = min(call_failing(store, edges, RuntimeError, "no batch is open") for _ in range(3)) - t_convert
    del unknown_first
    store.begin(1)
    t_nodes, _ = timed(lambda: store.stage_nodes(nodes))
    t_edges, _ = timed(lambda: store.stage_edges(edges))
    t_commit, _ = timed(store.commit)
    return {"entities": t_entities, "nodes": t_nodes, "edges": t_edges, "convert": t_convert, "resolve": t_resolve,
            "stage": t_edges - t_convert - t_resolve, "commit": t_commit, "phases": store.last_commit_phases()}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--edges", type=int, default=1_000_000)
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=18)
    parser.add_argument("--repeat", type=int, default=1, help="ingests into fresh stores; medians are printed")
    parser.add_argument("--duckdb", action="store_true", help="also ingest the same rows with DuckDB")
    args = parser.parse_args()

    uids, labels, nodes, edges = make_data(args.entities, args.edges, args.seed)
    scratch = tempfile.mkdtemp(prefix="vorp-ingest-")
    try:
        runs = [ingest_once(f"{scratch}/store{run}", uids, labels, nodes, edges) for run in range(args.repeat)]
        figure = {key: statistics.median(run[key] for run in runs) for key in runs[0] if key != "phases"}
        phases = {key: statistics.median(run["phases"][key] for run in runs) for key in runs[0]["phases"]}
        rss_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

        total = figure["entities"] + figure["nodes"] + figure["edges"] + figure["commit"]
        rows = args.edges + args.entities
        print(f"ingest edges={args.edges} entities={args.entities} runs={args.repeat} (medians)")
        print(f"ingest entities_ms {figure['entities'] * 1e3:.1f}")
        print(f"ingest stage_nodes_ms {figure['nodes'] * 1e3:.1f}")
        print(f"ingest stage_edges_ms {figure['edges'] * 1e3:.1f}")
        print(f"ingest   convert_ms {figure['convert'] * 1e3:.1f}")
        print(f"ingest   resolve_ms {figure['resolve'] * 1e3:.1f}")
        print(f"ingest   stage_ms {figure['stage'] * 1e3:.1f}")
        print(f"ingest commit_ms {figure['commit'] * 1e3:.1f}")
        for key in ("seal_us", "closes_us", "stats_us", "dict_us", "digest_us", "delta_build_us", "manifest_us",
                    "current_us", "total_us"):
            print(f"ingest   commit_{key} {phases[key]:.0f}")
        print(f"ingest stage_edges_rows_per_s {args.edges / figure['edges']:.0f}")
        print(f"ingest end_to_end_ms {total * 1e3:.1f}")
        print(f"ingest end_to_end_rows_per_s {rows / total:.0f}")
        print(f"ingest peak_rss_mib {rss_mib:.0f}")
        if args.duckdb:
            duck = duckdb_ingest(scratch, uids, labels, nodes, edges)
            print(f"duckdb arrow_ms {duck['arrow'] * 1e3:.1f}")
            print(f"duckdb insert_ms {duck['insert'] * 1e3:.1f}")
            print(f"duckdb commit_ms {duck['commit'] * 1e3:.1f}")
            print(f"duckdb end_to_end_ms {duck['total'] * 1e3:.1f}")
            print(f"duckdb end_to_end_rows_per_s {rows / duck['total']:.0f}")
            print(f"ratio vorp_over_duckdb_time {total / duck['total']:.2f}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
