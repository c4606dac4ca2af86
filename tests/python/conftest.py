"""Shared fixtures: the extension module, a way to run code in a fresh interpreter, and the
test-only probe module that a build with the C++ tests places beside the package."""

import importlib
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from vorp import _engine

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
