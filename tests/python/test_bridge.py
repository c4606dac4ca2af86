"""The error and array bridges every method relies on, driven through the test-only probe
module: engine errors as Python exceptions, internal failures, argument notes, zero-copy arrays."""

import gc
import sys

import numpy as np
import pytest

RESTORE = "restore the previous generation, or rebuild with `vorp replay` from the event log"
ENGINE_BUG = "this is an engine bug; please report it with the store manifest"


@pytest.mark.parametrize("category, exception", [
    ("corrupt", RuntimeError),
    ("not_found", KeyError),
    ("capacity", OverflowError),
    ("io", OSError),
    ("invariant", RuntimeError),
])
def test_engine_error_categories_map_to_builtin_exceptions(probe, category, exception):
    with pytest.raises(exception) as caught:
        probe.raise_engine_error(category, "something happened")
    assert type(caught.value) is exception  # no subclass such as FileNotFoundError
    assert caught.value.args == (f"{category}: something happened",)


@pytest.mark.parametrize("location, remedy, text", [
    ({}, None, "corrupt: bad magic"),
    ({"file": "/s/seg/000000000001.vos"}, None, "corrupt: bad magic [file=/s/seg/000000000001.vos]"),
    ({"offset": 0}, None, "corrupt: bad magic [offset=0]"),
    ({"file": "f", "offset": 12, "row": 7}, None, "corrupt: bad magic [file=f offset=12 row=7]"),
    ({"offset": 2**64 - 1, "row": 2**32 - 1}, None,
     "corrupt: bad magic [offset=18446744073709551615 row=4294967295]"),
    ({}, RESTORE, f"corrupt: bad magic \u2014 {RESTORE}"),
    ({"row": 3}, ENGINE_BUG, f"corrupt: bad magic [row=3] \u2014 {ENGINE_BUG}"),
    ({"file": "d\u00e9j\u00e0/\u2603"}, None, "corrupt: bad magic [file=d\u00e9j\u00e0/\u2603]"),
])
def test_engine_error_text(probe, location, remedy, text):
    with pytest.raises(RuntimeError) as caught:
        probe.raise_engine_error("corrupt", "bad magic", remedy=remedy, **location)
    assert caught.value.args == (text,)
    assert str(caught.value) == text


def test_not_found_shows_quoted_like_every_key_error(probe):
    with pytest.raises(KeyError) as caught:
        probe.raise_engine_error("not_found", "unknown uid: u1")
    assert caught.value.args == ("not_found: unknown uid: u1",)
    assert str(caught.value) == "'not_found: unknown uid: u1'"


def test_io_error_has_only_its_text(probe):
    with pytest.raises(OSError) as caught:
        probe.raise_engine_error("io", "No such file or directory (os error 2)", file="/x/CURRENT")
    error = caught.value
    assert type(error) is OSError
    assert error.errno is None and error.filename is None
    assert error.args == ("io: No such file or directory (os error 2) [file=/x/CURRENT]",)


def test_internal_failures_derive_from_base_exception(probe):
    with pytest.raises(BaseException) as caught:
        probe.throw_cpp("panic", "stats mutex poisoned")
    panic_type = type(caught.value)
    assert panic_type.__name__ == "EnginePanic" and panic_type.__module__ == "vorp._engine"
    assert issubclass(panic_type, BaseException) and not issubclass(panic_type, Exception)
    assert str(caught.value) == "stats mutex poisoned"


@pytest.mark.parametrize("kind, text, expected", [
    ("runtime_error", "scan worker panicked", "scan worker panicked"),
    ("other", "", "unknown internal failure"),
])
def test_other_cpp_exceptions_become_internal_failures(probe, kind, text, expected):
    with pytest.raises(BaseException) as caught:
        probe.throw_cpp(kind, text)
    assert type(caught.value).__name__ == "EnginePanic"
    assert str(caught.value) == expected


def test_cpp_allocation_failure_is_memory_error(probe):
    with pytest.raises(MemoryError):
        probe.throw_cpp("bad_alloc", "")


class Indexable:
    def __index__(self):
        return 17


@pytest.mark.parametrize("value, expected", [(0, 0), (2**64 - 1, 2**64 - 1), (True, 1), (Indexable(), 17),
                                             (np.int64(5), 5)])
def test_u64_accepts(probe, value, expected):
    assert probe.to_u64(value, "offset") == expected


@pytest.mark.parametrize("value, exception", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError),
                                              ("1", TypeError), (None, TypeError), (np.float64(1), TypeError)])
def test_u64_refusals_keep_type_and_get_the_note(probe, value, exception):
    with pytest.raises(exception) as caught:
        probe.to_u64(value, "keep_last")
    assert type(caught.value) is exception
    assert caught.value.__notes__ == ["while processing 'keep_last'"]


def test_note_is_added_after_existing_notes(probe):
    class Refusing:
        def __index__(self):
            error = TypeError("no index today")
            error.add_note("first")
            raise error

    with pytest.raises(TypeError, match="no index today") as caught:
        probe.to_u64(Refusing(), "limit")
    assert caught.value.__notes__ == ["first", "while processing 'limit'"]


@pytest.mark.parametrize("make, dtype, values", [
    ("int64_array", np.int64, [-(2**63), -1, 0, 2**63 - 1]),
    ("uint32_array", np.uint32, [0, 1, 2**32 - 1]),
    ("int64_array", np.int64, []),
    ("uint32_array", np.uint32, []),
])
def test_arrays_are_zero_copy_views_over_a_holder(probe, make, dtype, values):
    array = getattr(probe, make)(values)
    assert array.dtype == np.dtype(dtype)
    assert array.shape == (len(values),) and array.strides == (np.dtype(dtype).itemsize,)
    assert array.tolist() == values
    assert array.flags.writeable and array.flags.c_contiguous and not array.flags.owndata
    holder = array.base
    assert type(holder).__name__ == "PyCapsule"
    assert sys.getrefcount(holder) == 3
    if values:
        array[0] = 7
        assert array[0] == 7


def test_arrays_survive_the_collector(probe):
    arrays = [probe.uint32_array(list(range(i, i + 100))) for i in range(50)]
    views = [array[10:20] for array in arrays]
    del arrays
    gc.collect()
    for i, view in enumerate(views):
        assert view.tolist() == list(range(i + 10, i + 20))


@pytest.mark.parametrize("count", [1, 3, 100_000])
def test_array_memory_is_the_engine_buffer(probe, count):
    # No element is copied: the array's data pointer is the address the engine vector held.
    array, address = probe.buffer_handover(count)
    assert array.__array_interface__["data"][0] == address
    assert array.tolist()[:3] == list(range(min(count, 3)))
    assert int(array[-1]) == count - 1
