"""A first look at the engine: open (or create) a store, commit one batch, and report the new
generation and the store's statistics.

    python examples/quickstart.py [STORE_DIR]

Without a directory, a new store is made in a temporary directory and removed afterwards.
"""

import sys
import tempfile
import time

from vorp import _engine


def show(path: str) -> None:
    store = _engine.NativeStore(path)
    print(f"store {path}")
    print(f"  generation    {store.generation()}")
    print(f"  manifest sha  {store.manifest_sha()}")
    print(f"  open took     {store.open_phase_us()['total_us']} us")
    # Each batch needs a transaction time after the current generation's.
    store.begin(time.time_ns() // 1000)
    generation = store.commit()
    phases = store.last_commit_phases()
    print(f"committed generation {generation} in {phases['total_us']} us "
          f"({'checkpoint' if phases['manifest_checkpoint'] else 'delta'}, {phases['manifest_bytes']} bytes)")
    for key, value in store.stats().items():
        print(f"  {key:<16}{value}")


print(f"engine {_engine.core_version()} ({_engine.build_info()['profile']})")
if len(sys.argv) > 1:
    show(sys.argv[1])
else:
    with tempfile.TemporaryDirectory(prefix="vorp-quickstart-") as scratch:
        show(f"{scratch}/store")
