"""Crash testing: run code in a fresh interpreter with VORP_CRASH_POINT set and check that it died
at that point, so the caller can reopen the store and check what survived.

    from crash_harness import crash_at
    crash_at("after_manifest", f"from vorp._engine import NativeStore; NativeStore({str(root)!r})")
    store = NativeStore(str(root))   # previous or new generation, whole
"""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

from vorp import _engine

PACKAGE_PARENT = Path(_engine.__file__).resolve().parents[1]


def run_with_crash_point(point, code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter importing this session's vorp package, with
    VORP_CRASH_POINT set to `point` (unset when None)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_PARENT), env.get("PYTHONPATH")]))
    env.pop("VORP_CRASH_POINT", None)
    if point is not None:
        env["VORP_CRASH_POINT"] = point
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)


def crash_at(point: str, code: str) -> subprocess.CompletedProcess:
    """Runs `code` with the crash point armed and asserts the process aborted there: killed by
    SIGABRT, its standard error ending with the crash point's line."""
    done = run_with_crash_point(point, code)
    assert done.returncode == -signal.SIGABRT, (done.returncode, done.stdout, done.stderr)
    assert done.stderr.endswith(f"VORP_CRASH_POINT hit: {point}\n"), done.stderr
    return done
