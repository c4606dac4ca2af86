"""Ingest from Python lists: entities, one node version each, and edge versions, staged and
committed in one batch, with where the time goes.

    PYTHONPATH=build/release/python .venv/bin/python bench/ingest_bench.py [--edges N] [--entities N]

The comparison with DuckDB on the same rows is bench/peers.py (ingest section).

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
import resource
import shutil
import tempfile
import time

from vorp._engine import NativeStore

from bench_data import ingest_rows


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


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--edges", type=int, default=1_000_000)
    parser.add_argument("--entities", type=int, default=100_000)
    parser.add_argument("--seed", type=int, default=18)
    args = parser.parse_args()

    uids, labels, nodes, edges = ingest_rows(args.entities, args.edges, args.seed)
    scratch = tempfile.mkdtemp(prefix="vorp-ingest-")
    try:
        store = NativeStore(f"{scratch}/store")
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
        t_commit, generation = timed(store.commit)
        phases = store.last_commit_phases()
        rss_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

        total = t_entities + t_nodes + t_edges + t_commit
        rows = args.edges + args.entities
        print(f"ingest edges={args.edges} entities={args.entities} generation={generation}")
        print(f"ingest entities_ms {t_entities * 1e3:.1f}")
        print(f"ingest stage_nodes_ms {t_nodes * 1e3:.1f}")
        print(f"ingest stage_edges_ms {t_edges * 1e3:.1f}")
        print(f"ingest   convert_ms {t_convert * 1e3:.1f}")
        print(f"ingest   resolve_ms {t_resolve * 1e3:.1f}")
        print(f"ingest   stage_ms {(t_edges - t_convert - t_resolve) * 1e3:.1f}")
        print(f"ingest commit_ms {t_commit * 1e3:.1f}")
        for key in ("seal_us", "closes_us", "stats_us", "dict_us", "digest_us", "delta_build_us", "manifest_us",
                    "current_us", "total_us"):
            print(f"ingest   commit_{key} {phases[key]}")
        print(f"ingest stage_edges_rows_per_s {args.edges / t_edges:.0f}")
        print(f"ingest end_to_end_ms {total * 1e3:.1f}")
        print(f"ingest end_to_end_rows_per_s {rows / total:.0f}")
        print(f"ingest peak_rss_mib {rss_mib:.0f}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
