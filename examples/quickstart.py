"""A first look at the engine: open (or create) a store and report its current generation.

    python examples/quickstart.py [STORE_DIR]

Without a directory, a new store is made in a temporary directory and removed afterwards.
"""

import sys
import tempfile

from vorp import _engine


def show(path: str) -> None:
    store = _engine.NativeStore(path)
    print(f"store {path}")
    print(f"  generation    {store.generation()}")
    print(f"  manifest sha  {store.manifest_sha()}")
    print(f"  open took     {store.open_phase_us()['total_us']} us")


print(f"engine {_engine.core_version()} ({_engine.build_info()['profile']})")
if len(sys.argv) > 1:
    show(sys.argv[1])
else:
    with tempfile.TemporaryDirectory(prefix="vorp-quickstart-") as scratch:
        show(f"{scratch}/store")
