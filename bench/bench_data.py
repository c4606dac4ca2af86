"""Seeded data for the Python benchmarks: every comparison with a peer is fed from here, so both
sides of a ratio see the same rows. Nothing here is timed.

  ingest_rows       Python lists, as an application hands them to `stage_edges` / `stage_nodes`
  version_history   the edge versions of a store built over several generations, with the
                    generation that closes each one (if any), as NumPy columns
  motif_events      power-law event columns for temporal motif counting
"""

import random

import numpy as np

WEEK_US = 604_800_000_000
OPEN_END = 2**62
T0 = 1_700_000_000_000_000
REL_TYPES = ["knows", "works_at", "owns", "likes", "follows", "paid", "visited", "mentions"]


def entity_uids(n_entities: int) -> list[str]:
    # Dense ids follow the order of first insertion, so uid i gets dense id i.
    return [f"ent:{i:07d}" for i in range(n_entities)]


def entity_labels(n_entities: int) -> list[str]:
    return [("Person", "Company", "Place")[i % 3] for i in range(n_entities)]


def ingest_rows(n_entities: int, n_edges: int, seed: int):
    """Entities with one node version each and `n_edges` edge versions between them, committed
    at transaction time 1: (uids, labels, node columns, edge columns), all plain lists."""
    rng = random.Random(seed)
    uids = entity_uids(n_entities)
    labels = entity_labels(n_entities)
    nodes = {
        "vid": [f"{i:016x}{0:08x}" for i in range(n_entities)],
        "uid": uids,
        "label": labels,
        "vt_s": [T0 + i for i in range(n_entities)],
        "vt_e": [T0 + 100 * WEEK_US] * n_entities,
        "tt_s": [1] * n_entities,
        "props": [f'{{"name":"entity {i}"}}' for i in range(n_entities)],
        "source": ["bench"] * n_entities,
        "provenance_ref": [None] * n_entities,
    }
    vt_s = [T0 + rng.randrange(52 * WEEK_US) for _ in range(n_edges)]
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


def generation_tt(generation: int) -> int:
    return 1000 * (generation + 1)


def version_history(n_versions: int, n_entities: int, generations: int, closed_fraction: float, seed: int,
                    overlap: bool = False) -> dict:
    """Edge versions written in `generations` commits of equal size, generation g at transaction
    time `generation_tt(g)` with valid times in its own week (so valid time follows transaction
    time, as in an append-mostly history), or with `overlap` anywhere in the weeks of all
    generations (backfills and corrections: every commit overlaps every other in valid time). About `closed_fraction` of all versions are closed by a
    later generation, chosen uniformly among the later ones; the last generation closes but is
    never closed. Columns (NumPy): gen, vid_hi (u64), vid_lo (u32), src_id, dst_id (dense ids),
    rel_code (index into REL_TYPES), vt_s, vt_e, tt_s, tt_e (OPEN_END when open), close_gen (-1
    when open)."""
    rng = np.random.default_rng(seed)
    per_gen = n_versions // generations
    n = per_gen * generations
    gen = np.repeat(np.arange(generations, dtype=np.int64), per_gen)
    # Unique 64-bit prefixes (a random odd multiplier is a bijection on u64), suffix = generation.
    multiplier = np.uint64(int(rng.integers(1, 2**62)) * 2 + 1)
    vid_hi = np.arange(n, dtype=np.uint64) * multiplier
    vid_lo = gen.astype(np.uint32)
    src_id = rng.integers(0, n_entities, n, dtype=np.int64)
    dst_id = rng.integers(0, n_entities, n, dtype=np.int64)
    rel_code = rng.integers(0, len(REL_TYPES), n, dtype=np.int64)
    if overlap:
        vt_s = T0 + rng.integers(0, generations * WEEK_US, n, dtype=np.int64)
    else:
        vt_s = T0 + gen * WEEK_US + rng.integers(0, WEEK_US, n, dtype=np.int64)
    spans = np.where(rng.random(n) < 0.9, 1, rng.integers(1, 3 * WEEK_US, n, dtype=np.int64))
    vt_e = vt_s + spans
    tt_s = 1000 * (gen + 1)
    # Versions of every generation but the last may be closed; the probability is raised so the
    # overall fraction comes out at `closed_fraction`.
    p_close = min(1.0, closed_fraction * generations / max(1, generations - 1))
    closes = (gen < generations - 1) & (rng.random(n) < p_close)
    later = rng.random(n)
    close_gen = np.where(closes, gen + 1 + (later * (generations - 1 - gen)).astype(np.int64), -1)
    tt_e = np.where(closes, 1000 * (close_gen + 1), OPEN_END)
    return {"gen": gen, "vid_hi": vid_hi, "vid_lo": vid_lo, "src_id": src_id, "dst_id": dst_id,
            "rel_code": rel_code, "vt_s": vt_s, "vt_e": vt_e, "tt_s": tt_s, "tt_e": tt_e, "close_gen": close_gen}


def vid_texts(vid_hi: np.ndarray, vid_lo: np.ndarray) -> list[str]:
    return [f"{hi:016x}{lo:08x}" for hi, lo in zip(vid_hi.tolist(), vid_lo.tolist())]


def motif_events(n_events: int, n_nodes: int, seed: int, exponent: float = 1.1):
    """`n_events` events between `n_nodes` nodes whose endpoints follow a power law (a few hubs
    send and receive most events), one event per time unit (t = 0, 1, 2, ...: no ties, so every
    counter orders them alike), no self-loops. Returns src, dst, t (int64 arrays) and eid texts."""
    rng = np.random.default_rng(seed)
    weights = np.arange(1, n_nodes + 1, dtype=np.float64) ** -exponent
    cumulative = np.cumsum(weights)
    cumulative /= cumulative[-1]
    # Ranks are scattered over the node numbers so that hubs are not simply the smallest ids.
    ids = rng.permutation(n_nodes).astype(np.int64) * 7919 + 13

    def draw(count):
        return ids[np.minimum(np.searchsorted(cumulative, rng.random(count)), n_nodes - 1)]

    src = draw(n_events)
    dst = draw(n_events)
    loops = src == dst
    while loops.any():
        dst[loops] = draw(int(loops.sum()))
        loops = src == dst
    t = np.arange(n_events, dtype=np.int64)
    eid = [f"{i:024x}" for i in range(n_events)]
    return src, dst, t, eid


def edge_columns(h: dict, lo: int, hi: int, uids: list[str], tt: int) -> dict:
    """The stage_edges columns of versions [lo, hi) of a version_history, written at tt."""
    n = hi - lo
    return {
        "vid": vid_texts(h["vid_hi"][lo:hi], h["vid_lo"][lo:hi]),
        "src": [uids[i] for i in h["src_id"][lo:hi].tolist()],
        "dst": [uids[i] for i in h["dst_id"][lo:hi].tolist()],
        "rel_type": [REL_TYPES[i] for i in h["rel_code"][lo:hi].tolist()],
        "disc": [""] * n,
        "vt_s": h["vt_s"][lo:hi].tolist(),
        "vt_e": h["vt_e"][lo:hi].tolist(),
        "tt_s": [tt] * n,
        "props": ["{}"] * n,
        "source": ["bench"] * n,
        "provenance_ref": [None] * n,
    }
