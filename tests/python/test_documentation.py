"""What the Python surface says about itself: the doc strings of the module's functions and of
NativeStore's methods, the type stubs beside the module (mypy's stubtest against the built
module), and the README's guide, whose code runs, and type-checks against the stubs, as written."""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import populated
from vorp import _engine
from vorp._engine import OPEN_END, NativeStore

REPO = Path(__file__).resolve().parents[2]
PACKAGE_PARENT = Path(_engine.__file__).resolve().parents[1]
FUNCTIONS = ["interval_pairs", "motif_match", "ping", "core_version", "build_info"]
METHODS = [name for name in vars(NativeStore) if not name.startswith("__")]


def prose_of(function):
    """The doc string after its signature line, "--" and blank line, which Python moves into
    __text_signature__ (so a doc string without them has no text signature)."""
    assert function.__text_signature__ is not None
    return function.__doc__


def parameters(function):
    text = function.__text_signature__[1:-1]
    names = [part.split("=")[0] for part in text.split(", ") if part]
    return [name for name in names if name != "$self"]


# ---- doc strings ----------------------------------------------------------------------------------

@pytest.mark.parametrize("owner, name", [(_engine, name) for name in FUNCTIONS]
                         + [(NativeStore, name) for name in METHODS])
def test_doc_strings_explain_every_parameter(owner, name):
    function = getattr(owner, name)
    prose = prose_of(function)
    lines = prose.rstrip("\n").split("\n")
    summary = lines[0]
    assert summary.endswith(".") and summary[0].isupper(), summary
    assert all(len(line) <= 79 for line in lines), [line for line in lines if len(line) > 79]
    if len(lines) > 1:
        assert lines[1] == "", "a blank line follows the one-line summary"
    for parameter in parameters(function):
        assert re.search(rf"\b{parameter}\b", prose), f"{name}: '{parameter}' is not explained"


def keys_of(result):
    """The keys of a result dict, and of the dicts it holds in lists (verify's findings)."""
    keys = list(result)
    for value in result.values():
        if isinstance(value, list) and value and isinstance(value[0], dict):
            keys += keys_of(value[0])
    return keys


# (method, call on a populated store); run in this order, so the maintenance calls come last.
RESULT_DICTS = [
    ("scan_edges", lambda s: s.scan_edges()),
    ("scan_nodes", lambda s: s.scan_nodes()),
    ("version_page", lambda s: s.version_page("edge", OPEN_END - 1, 0, OPEN_END, "all", None, 0, 5)),
    ("version_page", lambda s: s.version_page("node", OPEN_END - 1, 0, OPEN_END, "all", None, 0, 5)),
    ("all_versions", lambda s: s.all_versions("edge")),
    ("all_versions", lambda s: s.all_versions("node")),
    ("aggregate_edges", lambda s: s.aggregate_edges(OPEN_END, 0, 10, None, None, [("label", "src")],
                                                    [("count", None)], 10)),
    ("stats", lambda s: s.stats()),
    ("last_commit_phases", lambda s: s.last_commit_phases()),
    ("open_phase_us", lambda s: s.open_phase_us()),
    ("verify", lambda s: s.verify(full=True)),
    ("upgrade_manifests", lambda s: s.upgrade_manifests()),
    ("compact", lambda s: s.compact()),
    ("gc", lambda s: s.gc()),
    ("compact_current_only", lambda s: s.compact_current_only()),
]


def test_doc_strings_name_every_key_of_their_results(tmp_path):
    store = populated(tmp_path / "s")
    results = [(name, call(store)) for name, call in RESULT_DICTS]
    results.append(("build_info", _engine.build_info()))
    for name, result in results:
        owner = _engine if name == "build_info" else NativeStore
        prose = prose_of(getattr(owner, name))
        missing = [key for key in keys_of(result) if not re.search(rf"\b{key}\b", prose)]
        assert missing == [], f"{name} does not explain {missing}"


def test_motif_names_in_the_doc_are_the_ones_accepted():
    names = re.findall(r'"(M_\w+)"', prose_of(_engine.motif_match))
    assert len(set(names)) == 5
    empty = np.zeros(0, dtype=np.int64)
    for name in names:
        assert _engine.motif_match(name, empty, empty, empty, [], 0) == (0, [])
    with pytest.raises(RuntimeError, match="unknown motif"):
        _engine.motif_match(names[0].lower(), empty, empty, empty, [], 0)


# ---- type stubs -----------------------------------------------------------------------------------

def run_mypy(tmp_path, *arguments):
    """Runs `python -m <arguments>` with a mypy config at tmp_path/mypy.ini, importing vorp as the
    tests do (its stubs and py.typed lie beside the module)."""
    pytest.importorskip("mypy", reason="scripts/setup installs mypy into the test venv")
    # In a build tree a cache beside it keeps later runs fast; an installed package gets none.
    build_tree = PACKAGE_PARENT.parent
    cache = build_tree / "mypy-cache" if (build_tree / "CMakeCache.txt").is_file() else tmp_path / "mypy-cache"
    (tmp_path / "mypy.ini").write_text(f"[mypy]\ncache_dir = {cache}\n")
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    return subprocess.run([sys.executable, "-m", *arguments], env=env, cwd=tmp_path, capture_output=True,
                          text=True, timeout=600)


def test_stubs_match_the_built_module(tmp_path):
    assert (PACKAGE_PARENT / "vorp" / "_engine.pyi").is_file() and (PACKAGE_PARENT / "vorp" / "py.typed").is_file()
    result = run_mypy(tmp_path, "mypy.stubtest", "vorp._engine", "--mypy-config-file", str(tmp_path / "mypy.ini"))
    assert result.returncode == 0, result.stdout + result.stderr


# ---- the README's guide ---------------------------------------------------------------------------

def guide_code():
    readme = (REPO / "README.md").read_text()
    section = readme.split("\n## Using the engine\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) >= 10
    return "\n".join(blocks)


def test_guide_runs_as_written(tmp_path):
    script = tmp_path / "guide.py"
    script.write_text(guide_code())
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    result = subprocess.run([sys.executable, str(script)], cwd=work, env=env, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert (work / "people-store" / "CURRENT").is_file()


def test_guide_type_checks_against_the_stubs(tmp_path):
    script = tmp_path / "guide.py"
    script.write_text(guide_code())
    result = run_mypy(tmp_path, "mypy", "--strict", str(script), "--config-file", str(tmp_path / "mypy.ini"))
    assert result.returncode == 0, result.stdout + result.stderr
