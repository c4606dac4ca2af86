"""The column-only analytic functions of vorp._engine: motif_match and interval_pairs."""

import inspect

import numpy as np
import pytest

from vorp import _engine

BUG = " — this is an engine bug; please report it with the store manifest"
MOTIFS = ["M_triangle_cyclic", "M_triangle_acyclic_1", "M_2node_pingpong", "M_star_out_3", "M_path_3"]


def i64(values):
    return np.array(values, dtype=np.int64)


@pytest.mark.parametrize("function, signature", [
    (_engine.motif_match, "(motif, src, dst, t, eid, delta, collect=False)"),
    (_engine.interval_pairs, "(lo, hi, a_vt_e, b_vt_e, require_b_end_after_a_end)"),
])
def test_text_signatures(function, signature):
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__self__ is _engine


# ---- motif_match ------------------------------------------------------------------------------

# Rows (src→dst, t): 1→2@10, 2→3@11, 3→1@12, 1→3@12, 2→1@13, 1→2@14, 1→4@14, 3→4@15, 4→4@15.
BASE = dict(src=i64([1, 2, 3, 1, 2, 1, 1, 3, 4]), dst=i64([2, 3, 1, 3, 1, 2, 4, 4, 4]),
            t=i64([10, 11, 12, 12, 13, 14, 14, 15, 15]), eid=[f"e{row}" for row in range(9)])
BASE_EXPECTED = {
    2: {"M_triangle_cyclic": [[0, 1, 2]], "M_triangle_acyclic_1": [], "M_2node_pingpong": [],
        "M_star_out_3": [[3, 5, 6]], "M_path_3": []},
    5: {"M_triangle_cyclic": [[0, 1, 2], [1, 2, 5]], "M_triangle_acyclic_1": [[3, 6, 7]],
        "M_2node_pingpong": [[0, 4, 5]], "M_star_out_3": [[0, 3, 6], [3, 5, 6]],
        "M_path_3": [[0, 1, 7], [1, 2, 6]]},
    0: {motif: [] for motif in MOTIFS},
}


@pytest.mark.parametrize("delta", sorted(BASE_EXPECTED))
@pytest.mark.parametrize("motif", MOTIFS)
def test_motif_base_set(motif, delta):
    expected = BASE_EXPECTED[delta][motif]
    assert _engine.motif_match(motif, delta=delta, collect=True, **BASE) == (len(expected), expected)
    assert _engine.motif_match(motif, BASE["src"], BASE["dst"], BASE["t"], BASE["eid"], delta) == (len(expected), [])


@pytest.mark.parametrize("eid, expected", [
    (["a", "b", "c"], (1, [[0, 1, 2]])),
    (["b", "a", "c"], (0, [])),   # the second event sorts first: nothing follows a→b in time
    (["ab", "a", "b"], (0, [])),  # a proper prefix sorts first
    (["a", "a", "a"], (1, [[0, 1, 2]])),  # equal ids keep input order
])
def test_motif_ties_follow_eid_bytes_then_rows(eid, expected):
    assert _engine.motif_match("M_2node_pingpong", i64([1, 2, 1]), i64([2, 1, 2]), i64([5, 5, 5]), eid, 0,
                               True) == expected


def test_motif_rows_map_back_through_the_time_order():
    # Rows given in reverse time order: instances name input rows, not positions.
    result = _engine.motif_match("M_2node_pingpong", i64([1, 2, 1]), i64([2, 1, 2]), i64([3, 2, 1]),
                                 ["x", "y", "z"], 10, True)
    assert result == (1, [[2, 1, 0]])


def test_motif_deadline_saturates():
    top = 2**63 - 1
    args = ("M_2node_pingpong", i64([1, 2, 1]), i64([2, 1, 2]), i64([top - 9, top - 4, top]), ["a", "b", "c"])
    assert _engine.motif_match(*args, 100, True) == (1, [[0, 1, 2]])
    assert _engine.motif_match(*args, 2**63 - 1) == (1, [])
    assert _engine.motif_match(*args, 8) == (0, [])


def test_motif_empty_and_accepted_forms():
    empty = i64([])
    for motif in MOTIFS:
        assert _engine.motif_match(motif, empty, empty, empty, [], 0, True) == (0, [])

    class Column(np.ndarray):
        pass

    # ndarray subclasses, read-only and non-contiguous-but-empty arrays, an eid tuple of str
    # subclasses, NumPy bools, ints with __index__ and '=i8' / 'q' dtypes are all accepted.
    src = BASE["src"].view(Column)
    dst = BASE["dst"].astype("=i8")
    t = BASE["t"].astype(np.longlong)
    t.flags.writeable = False

    class Text(str):
        pass

    eid = tuple(Text(value) for value in BASE["eid"])
    assert _engine.motif_match("M_star_out_3", src, dst, t, eid, np.int64(5), np.True_) == \
        (2, [[0, 3, 6], [3, 5, 6]])
    assert _engine.motif_match("M_path_3", empty[::2], empty, empty, [], 0) == (0, [])


def _motif_args(**changes):
    args = dict(motif="M_path_3", src=i64([1, 2]), dst=i64([2, 3]), t=i64([1, 2]), eid=["a", "b"], delta=1,
                collect=False)
    args.update(changes)
    return args


# (arguments changed, exception type, exact text or None for the interpreter's own, note)
MOTIF_BAD_INPUTS = [
    (dict(motif=1), TypeError, "'int' object cannot be converted to 'str'", "motif"),
    (dict(motif=b"M_path_3"), TypeError, "'bytes' object cannot be converted to 'str'", "motif"),
    (dict(motif="\ud800"), UnicodeEncodeError, None, "motif"),
    (dict(motif="m_path_3"), RuntimeError, 'invariant: unknown motif "m_path_3"' + BUG, None),
    (dict(motif="M_path_3\n"), RuntimeError, 'invariant: unknown motif "M_path_3\\n"' + BUG, None),
    (dict(src=[1, 2]), TypeError, "'list' object cannot be converted to 'ndarray'", "src"),
    (dict(src=np.array([1, 2], dtype=np.int32)), TypeError,
     "expected an int64 array in native byte order, got dtype int32", "src"),
    (dict(dst=np.array([1.0, 2.0])), TypeError,
     "expected an int64 array in native byte order, got dtype float64", "dst"),
    (dict(dst=np.array([1, 2], dtype=">i8")), TypeError,
     "expected an int64 array in native byte order, got dtype >i8", "dst"),
    (dict(t=np.array([[1, 2]], dtype=np.int64)), TypeError, "expected a one-dimensional array, got 2 dimensions",
     "t"),
    (dict(t=np.int64(3)), TypeError, "'numpy.int64' object cannot be converted to 'ndarray'", "t"),
    (dict(eid="ab"), TypeError, "Can't extract `str` to `Vec`", "eid"),
    (dict(eid=5), TypeError, "'int' object cannot be converted to 'Sequence'", "eid"),
    (dict(eid=["a", 2]), TypeError, "'int' object cannot be converted to 'str'", "eid"),
    (dict(delta=1.0), TypeError, None, "delta"),
    (dict(delta=None), TypeError, None, "delta"),
    (dict(delta=2**63), OverflowError, None, "delta"),
    (dict(collect=1), TypeError, "'int' object cannot be converted to 'bool'", "collect"),
    (dict(collect=None), TypeError, "'NoneType' object cannot be converted to 'bool'", "collect"),
    # Steps in order: conversions, the motif name, contiguity, then the engine's checks.
    (dict(motif="nope", src=[1, 2]), TypeError, "'list' object cannot be converted to 'ndarray'", "src"),
    (dict(motif="nope", src=i64([1, 0, 2])[::2]), RuntimeError, 'invariant: unknown motif "nope"' + BUG, None),
    (dict(src=i64([1, 0, 2])[::2]), TypeError, "The given array is not contiguous or is misaligned.", None),
    (dict(t=np.frombuffer(bytes(17), dtype=np.int64, count=2, offset=1)), TypeError,
     "The given array is not contiguous or is misaligned.", None),
    (dict(eid=["a"]), RuntimeError, "invariant: motif event columns have differing lengths" + BUG, None),
    (dict(src=i64([1])), RuntimeError, "invariant: motif event columns have differing lengths" + BUG, None),
    (dict(eid=["a"], delta=-1), RuntimeError, "invariant: motif event columns have differing lengths" + BUG, None),
    (dict(delta=-1), RuntimeError, "invariant: motif delta must be non-negative" + BUG, None),
]


@pytest.mark.parametrize("changes, error, text, note", MOTIF_BAD_INPUTS)
def test_motif_refusals(changes, error, text, note):
    with pytest.raises(error) as raised:
        _engine.motif_match(**_motif_args(**changes))
    assert type(raised.value) is error
    if text is not None:
        assert str(raised.value) == text
    assert getattr(raised.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


def test_motif_argument_matching_is_the_interpreters():
    with pytest.raises(TypeError):
        _engine.motif_match("M_path_3", i64([]), i64([]), i64([]), [])
    with pytest.raises(TypeError):
        _engine.motif_match(**_motif_args(), extra=1)


# ---- interval_pairs ---------------------------------------------------------------------------

LO, HI, A_END, B_END = [0, 2, 5], [3, 2, 9], [10, 5, 7], [9, 10, 11, 12, 7, 8]


def test_interval_pairs_vectors():
    assert _engine.interval_pairs(LO, HI, A_END, B_END, False) == [(0, 0), (0, 1), (0, 2), (2, 5)]
    assert _engine.interval_pairs(lo=LO, hi=HI, a_vt_e=A_END, b_vt_e=B_END,
                                  require_b_end_after_a_end=True) == [(0, 2), (2, 5)]
    # No A-rows, whatever b_vt_e holds; no B-rows cut every range to nothing.
    assert _engine.interval_pairs([], [], [], [1, 2], True) == []
    assert _engine.interval_pairs([0], [5], [0], [], False) == []
    # An equal end is not "after"; overlapping ranges repeat B-rows; bounds at the 32-bit top.
    assert _engine.interval_pairs([0, 0], [2, 2**32 - 1], [7, 0], [7, 8], True) == [(0, 1), (1, 0), (1, 1)]
    assert _engine.interval_pairs((1,), np.array([2], dtype=np.uint32), (True,), (5, 6), np.True_) == [(0, 1)]


def test_interval_pairs_match_a_brute_force_loop():
    rng = np.random.default_rng(7)
    for _ in range(40):
        a_rows, b_rows = rng.integers(0, 30), rng.integers(0, 30)
        lo = rng.integers(0, 35, a_rows).tolist()
        hi = rng.integers(0, 35, a_rows).tolist()
        a_end = rng.integers(-3, 3, a_rows).tolist()
        b_end = rng.integers(-3, 3, b_rows).tolist()
        for flag in (False, True):
            expected = [(a, b) for a in range(a_rows) for b in range(b_rows)
                        if lo[a] <= b < hi[a] and (not flag or b_end[b] > a_end[a])]
            assert _engine.interval_pairs(lo, hi, a_end, b_end, flag) == expected


def _interval_args(**changes):
    args = dict(lo=[0], hi=[1], a_vt_e=[0], b_vt_e=[1], require_b_end_after_a_end=False)
    args.update(changes)
    return args


OUT_OF_RANGE = "out of range integral type conversion attempted"
INTERVAL_BAD_INPUTS = [
    (dict(lo="01"), TypeError, "Can't extract `str` to `Vec`", "lo"),
    (dict(lo=3), TypeError, "'int' object cannot be converted to 'Sequence'", "lo"),
    (dict(lo=[-1]), OverflowError, OUT_OF_RANGE, "lo"),
    (dict(lo=[2**64]), OverflowError, OUT_OF_RANGE, "lo"),
    (dict(hi=[2**32]), OverflowError, OUT_OF_RANGE, "hi"),
    (dict(hi=[1.0]), TypeError, None, "hi"),
    (dict(a_vt_e=[2**63]), OverflowError, None, "a_vt_e"),
    (dict(a_vt_e=None), TypeError, "'NoneType' object cannot be converted to 'Sequence'", "a_vt_e"),
    (dict(b_vt_e=["1"]), TypeError, None, "b_vt_e"),
    (dict(require_b_end_after_a_end=1), TypeError, "'int' object cannot be converted to 'bool'",
     "require_b_end_after_a_end"),
    # The first failing argument in signature order wins.
    (dict(hi=[-1], lo="x"), TypeError, "Can't extract `str` to `Vec`", "lo"),
    (dict(lo=[0, 1]), RuntimeError,
     "invariant: interval join: lo, hi and a_vt_e must have one entry per a-row" + BUG, None),
    (dict(a_vt_e=[]), RuntimeError,
     "invariant: interval join: lo, hi and a_vt_e must have one entry per a-row" + BUG, None),
]


@pytest.mark.parametrize("changes, error, text, note", INTERVAL_BAD_INPUTS)
def test_interval_pairs_refusals(changes, error, text, note):
    with pytest.raises(error) as raised:
        _engine.interval_pairs(**_interval_args(**changes))
    assert type(raised.value) is error
    if text is not None:
        assert str(raised.value) == text
    assert getattr(raised.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
