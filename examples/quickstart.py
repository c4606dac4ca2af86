"""A first look at the engine: write a small graph's history from Python in three batches, then
ask what was believed when, page through the history, verify the store, compact it and collect
the generations nobody needs any more.

    python examples/quickstart.py [STORE_DIR]

Without a directory, a new store is made in a temporary directory and removed afterwards. With
one, the store is created there (the directory must be new or empty).
"""

import sys
import tempfile

from vorp import _engine

DAY_US = 86_400_000_000
OPEN_END = _engine.OPEN_END


def vid(tt: int, n: int) -> str:
    # Version ids are chosen by the caller: 24 hex digits, unique per version.
    return f"{tt:016x}{n:08x}"


def edges(tt: int, rows: list[tuple]) -> dict:
    """Columns of edge versions (n, src, dst, rel_type, vt_s, vt_e, props) at transaction time tt."""
    return {
        "vid": [vid(tt, r[0]) for r in rows],
        "src": [r[1] for r in rows],
        "dst": [r[2] for r in rows],
        "rel_type": [r[3] for r in rows],
        "disc": [""] * len(rows),
        "vt_s": [r[4] for r in rows],
        "vt_e": [r[5] for r in rows],
        "tt_s": [tt] * len(rows),
        "props": [r[6] for r in rows],
        "source": ["quickstart"] * len(rows),
        "provenance_ref": [None] * len(rows),
    }


def walk(path: str) -> None:
    store = _engine.NativeStore(path)
    print(f"opened {path}: generation {store.generation()}, manifest {store.manifest_sha()}")

    # Batch 1 (tt=100): three entities, their nodes and two employments.
    people = ["person:ada", "person:alan", "org:analytical"]
    store.ensure_entities(people, ["Person", "Person", "Organisation"])
    store.begin(100)
    store.stage_nodes({
        "vid": [vid(100, n) for n in range(3)],
        "uid": people,
        "label": ["Person", "Person", "Organisation"],
        "vt_s": [0, 0, 0],
        "vt_e": [OPEN_END] * 3,
        "tt_s": [100] * 3,
        "props": ['{"name":"Ada"}', '{"name":"Alan"}', '{"name":"Analytical Engines Ltd"}'],
        "source": ["quickstart"] * 3,
        "provenance_ref": [None] * 3,
    })
    store.stage_edges(edges(100, [
        (10, "person:ada", "org:analytical", "works_at", 0, OPEN_END, '{"role":"analyst"}'),
        (11, "person:alan", "org:analytical", "works_at", 30 * DAY_US, OPEN_END, '{"role":"engineer"}'),
    ]))
    print(f"batch 1 committed as generation {store.commit()}")

    # Batch 2 (tt=200): Ada's role changes. The old version is closed (it stops being believed at
    # tt=200) and a new version takes its place; nothing already written is rewritten.
    store.begin(200)
    store.stage_closes("edge", [vid(100, 10)], 200)
    store.stage_edges(edges(200, [
        (10, "person:ada", "org:analytical", "works_at", 0, OPEN_END, '{"role":"director"}'),
        (12, "person:ada", "person:alan", "knows", 10 * DAY_US, 10 * DAY_US + 1, "{}"),
    ]))
    print(f"batch 2 committed as generation {store.commit()}")

    # Batch 3 (tt=300) is staged and then abandoned: a rollback leaves no trace.
    store.begin(300)
    store.stage_edges(edges(300, [(13, "person:alan", "person:ada", "knows", 0, 1, "{}")]))
    store.rollback()

    # Time travel: the edge columns as believed at tt=150 and now, handed over as NumPy arrays.
    for as_of in (150, OPEN_END):
        scan = store.scan_edges(as_of_tt=as_of, columns=["vt_s", "src_id", "dst_id", "props"])
        label = "now" if as_of == OPEN_END else f"tt={as_of}"
        print(f"scan as of {label}: {len(scan['vt_s'])} edges, props {scan['props']}")

    # Who was believed to work where, and the full version history of one edge.
    ada_job = _engine_eid(store)
    for version in _rows(store.believed("edge", ada_job, as_of_tt=150)):
        print(f"believed at tt=150: {version['src']} -{version['rel_type']}-> {version['dst']} {version['props']}")
    page = store.version_page("edge", OPEN_END, -2**62, 2**62, "all", None, 0, 10)
    print(f"history: {page['rows_total']} edge versions")
    for n in range(page["rows_total"]):
        print(f"  {page['vid'][n]} tt [{page['tt_s'][n]}, {page['tt_e'][n]}) {page['rel_type'][n]}")

    for key, value in store.stats().items():
        print(f"stats {key:<16}{value}")

    report = store.verify(full=True)
    print(f"verify (full): healthy={report['healthy']}, {report['rows_walked']} rows walked")

    # Maintenance: rewrite the current generation into fresh segments (closes folded in), then
    # remove what only older generations needed (the two most recent are kept).
    print(f"compact: {store.compact()}")
    print(f"gc: {store.gc()}")
    print(f"after maintenance, as of tt=150: {len(store.scan_edges(as_of_tt=150)['vt_s'])} edges")


def _engine_eid(store) -> str:
    # The edge id is derived by the engine from (src, dst, rel_type, disc).
    for version in _rows(store.all_versions("edge")):
        if version["vid"] == vid(100, 10):
            return version["eid"]
    raise LookupError("edge not found")


def _rows(columns: dict) -> list[dict]:
    keys = list(columns)
    return [dict(zip(keys, values)) for values in zip(*(columns[k] for k in keys))]


print(f"engine {_engine.core_version()} ({_engine.build_info()['profile']})")
if len(sys.argv) > 1:
    walk(sys.argv[1])
else:
    with tempfile.TemporaryDirectory(prefix="vorp-quickstart-") as scratch:
        walk(f"{scratch}/store")
