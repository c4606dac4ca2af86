"""A first look at the engine: write a small graph from Python, commit it, reopen the store and
report what it holds.

    python examples/quickstart.py [STORE_DIR]

Without a directory, a new store is made in a temporary directory and removed afterwards. With
one, the batch goes to that store: a new one, or the next generation of one this script wrote.
"""

import sys
import tempfile

from vorp import _engine

DAY_US = 86_400_000_000


def write_and_report(path: str) -> None:
    store = _engine.NativeStore(path)
    # Transaction times come from the caller and must advance from one batch to the next.
    tt = store.generation() + 1

    # Every entity an edge or node names must be in the uid dictionary first.
    store.ensure_entities(["person:ada", "person:alan", "org:analytical"], ["Person", "Person", "Organisation"])
    print(f"dense ids     {store.dense_ids(['person:ada', 'person:alan', 'org:analytical']).tolist()}")

    store.begin(tt)
    store.stage_nodes({
        "vid": [f"{tt:016x}{n:08x}" for n in range(3)],
        "uid": ["person:ada", "person:alan", "org:analytical"],
        "label": ["Person", "Person", "Organisation"],
        "vt_s": [0, 0, 0],
        "vt_e": [_engine.OPEN_END] * 3,
        "tt_s": [tt] * 3,
        "props": ['{"name":"Ada"}', '{"name":"Alan"}', '{"name":"Analytical Engines Ltd"}'],
        "source": ["quickstart"] * 3,
        "provenance_ref": [None] * 3,
    })
    store.stage_edges({
        "vid": [f"{tt:016x}{n:08x}" for n in range(100, 103)],
        "src": ["person:ada", "person:alan", "person:ada"],
        "dst": ["org:analytical", "org:analytical", "person:alan"],
        "rel_type": ["works_at", "works_at", "knows"],
        "disc": ["", "", ""],
        "vt_s": [0, 30 * DAY_US, 10 * DAY_US],
        "vt_e": [365 * DAY_US, _engine.OPEN_END, 10 * DAY_US + 1],
        "tt_s": [tt] * 3,
        "props": ['{"role":"analyst"}', '{"role":"engineer"}', "{}"],
        "source": ["quickstart"] * 3,
        "provenance_ref": ["notes:1", None, None],
    })
    generation = store.commit()
    print(f"committed     generation {generation}")
    del store

    reopened = _engine.NativeStore(path)
    print(f"store {path}")
    print(f"  manifest sha      {reopened.manifest_sha()}")
    print(f"  open took         {reopened.open_phase_us()['total_us']} us")
    for key, value in reopened.stats().items():
        print(f"  {key:<17} {value}")
    # Maintenance: rewrite the generation into fresh segments when it has grown fragmented, then
    # remove what only older generations needed (the two most recent generations are kept).
    if reopened.needs_compaction():
        print(f"compacted: {reopened.compact()}")
    print(f"collected: {reopened.gc()}")


print(f"engine {_engine.core_version()} ({_engine.build_info()['profile']})")
if len(sys.argv) > 1:
    write_and_report(sys.argv[1])
else:
    with tempfile.TemporaryDirectory(prefix="vorp-quickstart-") as scratch:
        write_and_report(f"{scratch}/store")
