"""Shared fixtures: the extension module, a way to run code in a fresh interpreter, the test-only
probe module that a build with the C++ tests places beside the package, and a small populated
store."""

import importlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from vorp import _engine
from vorp._engine import OPEN_END, NativeStore

PACKAGE_PARENT = Path(_engine.__file__).resolve().parents[1]
PROBE_DIR = PACKAGE_PARENT.parent / "test-modules"


@pytest.fixture(scope="session")
def engine():
    return _engine


@pytest.fixture(scope="session")
def probe():
    if not PROBE_DIR.is_dir():
        pytest.skip(f"the probe module is built only with the C++ tests (no {PROBE_DIR})")
    sys.path.insert(0, str(PROBE_DIR))
    try:
        return importlib.import_module("_engine_probe")
    finally:
        sys.path.remove(str(PROBE_DIR))


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that imports the same vorp package as this session."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=120)


@pytest.fixture(scope="session")
def fresh_python():
    return run_python


def populated(root):
    """A store at generation 2: two edges and a node, then a close run."""
    store = NativeStore(str(root))
    store.ensure_entities(["a", "b"], ["P", "Q"])
    store.begin(10)
    store.stage_edges({"vid": ["0" * 23 + "1", "0" * 23 + "2"], "src": ["a", "b"], "dst": ["b", "a"],
                       "rel_type": ["r", "s"], "disc": ["", ""], "vt_s": [0, 5], "vt_e": [9, OPEN_END],
                       "tt_s": [10, 10], "props": ["{}", "{}"], "source": ["t", "t"],
                       "provenance_ref": [None, "p"]})
    store.stage_nodes({"vid": ["0" * 23 + "3"], "uid": ["a"], "label": ["P"], "vt_s": [0], "vt_e": [OPEN_END],
                       "tt_s": [10], "props": ['{"name":"A"}'], "source": ["t"], "provenance_ref": [None]})
    store.commit()
    store.begin(20)
    store.stage_closes("edge", ["0" * 23 + "1"], 20)
    store.commit()
    return store
