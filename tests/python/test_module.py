"""The module surface of vorp._engine: definition, constants, ping, core_version, build_info."""

import gc
import inspect
import sys

import numpy as np
import pytest

from vorp import _engine

CONSTANTS = {
    "FORMAT_VERSION": 1,
    "MANIFEST_FORMAT_VERSION": 3,
    "OPEN_END": 4611686018427387904,
    "BLOCK_ROWS": 32768,
    "SEGMENT_TARGET_BYTES": 134217728,
}
FUNCTION_SIGNATURES = {"ping": "(n=8)", "core_version": "()", "build_info": "()"}
# Registration order (NativeStore comes first, interval_pairs and motif_match before ping).
REGISTRATION_ORDER = ["NativeStore", "interval_pairs", "motif_match", "ping", "core_version", "build_info", *CONSTANTS]
PY_SSIZE_T_MAX = 2**63 - 1


# ---- module definition ------------------------------------------------------------------------

def test_module_identity_and_doc():
    assert _engine.__name__ == "vorp._engine"
    assert _engine.__doc__.startswith("The engine's constants are exported so that the Python side")
    assert "two copies of one number" in _engine.__doc__


def test_attributes_registered_in_order():
    names = [name for name in vars(_engine) if not name.startswith("__")]
    assert names == REGISTRATION_ORDER


@pytest.mark.parametrize("name, value", CONSTANTS.items())
def test_constants(name, value):
    constant = getattr(_engine, name)
    assert type(constant) is int
    assert constant == value


@pytest.mark.parametrize("name, signature", FUNCTION_SIGNATURES.items())
def test_functions_publish_text_signatures(name, signature):
    function = getattr(_engine, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__module__ == "vorp._engine"
    assert function.__self__ is _engine


def test_argument_free_functions_refuse_arguments():
    for function in (_engine.core_version, _engine.build_info):
        with pytest.raises(TypeError):
            function(1)
    with pytest.raises(TypeError):
        _engine.ping(1, 2)
    with pytest.raises(TypeError):
        _engine.ping(m=3)


# ---- core_version and build_info --------------------------------------------------------------

def test_core_version():
    assert _engine.core_version() == "0.8.0"


# What each build profile must report beside it.
PROFILES = {"release": ("3", False), "debug": ("0", True), "relwithdebinfo": ("2", False),
            "minsizerel": ("s", False)}


def test_build_info():
    info = _engine.build_info()
    assert list(info) == ["profile", "opt_level", "engine_version", "debug_assertions",
                          "manifest_format_version"]
    assert info["engine_version"] == _engine.core_version()
    assert info["manifest_format_version"] == _engine.MANIFEST_FORMAT_VERSION
    assert type(info["manifest_format_version"]) is int
    assert type(info["debug_assertions"]) is bool
    assert info["profile"] in PROFILES
    assert (info["opt_level"], info["debug_assertions"]) == PROFILES[info["profile"]]


def test_build_info_is_fresh_each_call():
    first = _engine.build_info()
    first["profile"] = "changed"
    first["extra"] = 1
    assert _engine.build_info()["profile"] != "changed"
    assert "extra" not in _engine.build_info()


# ---- ping -------------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, expected", [
    ((), {}, list(range(8))),
    ((0,), {}, []),
    ((), {"n": 3}, [0, 1, 2]),
    ((1,), {}, [0]),
    ((True,), {}, [0]),                  # bool is an int
    ((np.uint8(4),), {}, [0, 1, 2, 3]),  # any object with __index__
])
def test_ping_values(args, kwargs, expected):
    array = _engine.ping(*args, **kwargs)
    assert type(array) is np.ndarray
    assert array.dtype == np.dtype(np.int64)
    assert array.ndim == 1 and array.shape == (len(expected),)
    assert array.tolist() == expected


def test_ping_large_array_is_exact():
    array = _engine.ping(100_003)
    assert np.array_equal(array, np.arange(100_003, dtype=np.int64))


def test_ping_array_is_a_writeable_view_over_its_holder():
    array = _engine.ping(5)
    assert not array.flags.owndata
    assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned
    assert array.strides == (8,)
    holder = array.base
    assert holder is not None and not isinstance(holder, np.ndarray)
    assert type(holder).__name__ == "PyCapsule"
    # Views share the holder; each call has its own buffer.
    view = array[1:]
    assert view.base is array
    other = _engine.ping(5)
    assert other.base is not holder
    array[0] = 42
    assert other[0] == 0 and view[0] == 1


def test_empty_ping_still_has_a_holder():
    array = _engine.ping(0)
    assert array.dtype == np.dtype(np.int64) and array.shape == (0,)
    assert type(array.base).__name__ == "PyCapsule"
    assert array.flags.writeable


def test_ping_array_outlives_every_other_reference(fresh_python):
    # The module object, the package and NumPy's references are dropped; the arrays, a view and
    # the values must survive the garbage collector.
    result = fresh_python("""
        import gc, sys
        from vorp import _engine
        array = _engine.ping(1000)
        view = array[500:]
        del _engine
        for name in [n for n in sys.modules if n == "vorp" or n.startswith("vorp.")]:
            del sys.modules[name]
        gc.collect()
        assert array.tolist() == list(range(1000))
        del array
        gc.collect()
        assert view.tolist() == list(range(500, 1000))
        view[:] = -1
        assert int(view.sum()) == -500
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_ping_holder_is_referenced_only_by_its_arrays():
    array = _engine.ping(16)
    holder = array.base
    assert sys.getrefcount(holder) == 3  # `array`, `holder`, the call's argument
    view = array[::2]
    del array
    gc.collect()
    assert view.tolist() == list(range(0, 16, 2))
    del view
    gc.collect()
    assert sys.getrefcount(holder) == 2  # the buffer goes with the last reference


@pytest.mark.parametrize("value, exception", [
    (-1, OverflowError),
    (-(2**70), OverflowError),
    (2**64, OverflowError),
    ("8", TypeError),
    (8.0, TypeError),
    (None, TypeError),
    (b"8", TypeError),
])
def test_ping_conversion_errors_name_the_argument(value, exception):
    with pytest.raises(exception) as caught:
        _engine.ping(value)
    assert type(caught.value) is exception
    assert caught.value.__notes__ == ["while processing 'n'"]
    with pytest.raises(exception) as by_keyword:
        _engine.ping(n=value)
    assert by_keyword.value.__notes__ == ["while processing 'n'"]


@pytest.mark.parametrize("n", [2**64 - 1, 2**61, PY_SSIZE_T_MAX // 8 + 1, PY_SSIZE_T_MAX // 8])
def test_ping_sizes_that_cannot_be_allocated_raise_memory_error(n):
    # The first three overflow the byte count and are refused before allocating; the last one is
    # representable but far beyond any address space.
    with pytest.raises(MemoryError):
        _engine.ping(n)
    assert _engine.ping(2).tolist() == [0, 1]


def test_ping_without_numpy_raises_the_internal_failure(fresh_python):
    result = fresh_python("""
        import sys
        sys.modules["numpy"] = None          # makes every import of numpy fail
        from vorp import _engine             # importing needs no NumPy
        assert _engine.core_version() == "0.8.0" and _engine.build_info()["engine_version"] == "0.8.0"
        try:
            _engine.ping(3)
        except BaseException as failure:
            caught = failure
        assert not isinstance(caught, Exception), type(caught).__mro__
        assert type(caught).__name__ == "EnginePanic"
        assert type(caught).__module__ == "vorp._engine"
        assert str(caught) == "Failed to access NumPy array API capsule", str(caught)
        assert isinstance(caught.__cause__, ImportError), repr(caught.__cause__)
        # Not remembered: once NumPy can be imported the same call works.
        del sys.modules["numpy"]
        assert _engine.ping(3).tolist() == [0, 1, 2]
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_module_object_can_be_created_again(fresh_python):
    # Multi-phase initialisation: a second import after removal runs the exec step on a new module.
    result = fresh_python("""
        import importlib, sys
        import vorp._engine as first
        array = first.ping(4)
        del sys.modules["vorp._engine"]
        second = importlib.import_module("vorp._engine")
        assert second is not first
        assert [n for n in vars(second) if not n.startswith("__")] == [n for n in vars(first) if not n.startswith("__")]
        assert second.ping(4).tolist() == array.tolist() == [0, 1, 2, 3]
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_first_calls_from_many_threads_at_once(fresh_python):
    # The NumPy API is loaded by whichever call comes first; concurrent first calls all succeed.
    result = fresh_python("""
        import threading
        from vorp import _engine
        barrier = threading.Barrier(8)
        results = [None] * 8
        def call(slot):
            barrier.wait()
            results[slot] = _engine.ping(1000 + slot).tolist()
        threads = [threading.Thread(target=call, args=(slot,)) for slot in range(8)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        assert all(results[slot] == list(range(1000 + slot)) for slot in range(8))
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
