"""graphripple._native_ext.fit_csr_ext: column blocks and the extended options.

Checked bit for bit against slices of the full fit, against _native_core.fit_csr
(defaults, transposed graphs, unit weights) and against a serial NumPy
reference of every option, built on the reference of test_reference.py.

log1p: the engine takes log1p of each float64 weight from the C library and
rounds it to float32 where it is used; the reference takes math.log1p, which
is the same C library function here, so the comparison is exact. On a
platform whose Python brings its own log1p the float64 values may differ by
one ulp, and the honest contract is then float32 agreement within a relative
1e-6.
"""

import ctypes
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from test_reference import (
    F32, assert_bitwise_equal, canonical_rows, initial_embedding, propagate, random_entries,
    symmetrised, to_csr,
)

native_ext = pytest.importorskip("graphripple._native_ext")
from graphripple import _native_core  # noqa: E402

fit_csr_ext = native_ext.fit_csr_ext


# ---- the serial reference of every option ----------------------------------------

def normalised(row):
    """Unit Euclidean norm, summed in sixteen lanes folded in halves."""
    def total_of(x):
        partial = np.zeros(16, dtype=F32)
        for j, v in enumerate(x):
            partial[j % 16] = v * v + partial[j % 16]
        for width in (8, 4, 2, 1):
            partial[:width] = partial[:width] + partial[width:2 * width]
        return partial[0]

    with np.errstate(over="ignore", under="ignore", invalid="ignore", divide="ignore"):
        total = total_of(row)
        if not (np.finfo(F32).tiny <= total <= np.finfo(F32).max) and not np.isnan(total):
            largest = np.max(np.abs(row)) if len(row) else F32(0)
            if largest == 0.0:
                return row
            row = row / largest
            total = total_of(row)
        return row * (F32(1.0) / np.sqrt(total))


def transposed(rows):
    out = [[] for _ in rows]
    for r, row in enumerate(rows):
        for c, w in row:
            out[c].append((r, w))
    return out


def reference_ext(n, entries, dim, weights, seed, undirected=True, features=None, feature_weight=1.0,
                  columns=None, normalization=None, degree_exponent=0.0, edge_weight="raw",
                  direction="out"):
    rows = canonical_rows(n, entries)
    transform = {"raw": lambda w: w, "binary": lambda w: 1.0, "log1p": math.log1p}[edge_weight]
    rows = [[(c, transform(w)) for c, w in row] for row in rows]
    if undirected:
        rows = symmetrised(rows)
    elif direction == "in":
        rows = transposed(rows)
    current = initial_embedding(n, dim, seed, features, feature_weight)
    with np.errstate(invalid="ignore", over="ignore"):
        if degree_exponent != 0.0:
            for a, row in enumerate(rows):
                if row:
                    current[a] = current[a] * F32(float(len(row)) ** degree_exponent)
        accumulator = np.zeros((n, dim), dtype=F32)
        for i, w in enumerate(weights):
            if w != 0.0:
                accumulator = accumulator + current * F32(w)
            if i == len(weights) - 1:
                break
            current = propagate(rows, current)
            if normalization == "l2":
                current = np.array([normalised(row) for row in current], dtype=F32).reshape(n, dim)
    start, stop = columns or (0, dim)
    return accumulator[:, start:stop]


def graph(seed, n, count, specials=False):
    rng = np.random.default_rng(seed)
    entries = random_entries(rng, n, count, with_specials=specials)
    return rng, entries, to_csr(n, entries)


# ---- defaults and cross-checks against _native_core -----------------------------

DEFAULT_CASES = [
    # n, edges, dim, weights, undirected, feature columns
    (1, 0, 5, [1.0], True, 0),
    (6, 12, 8, [], True, 0),
    (9, 30, 8, [0.0, 1.0, 1.0], True, 0),
    (9, 30, 17, [0.5, -1.0, 2.0, 0.25], False, 2),
    (40, 160, 33, [0.0, 0.0, 1.0, 1.0], True, 3),
    (40, 160, 12, [1e-50, 1.0, -0.0, float("nan")], False, 0),
]


@pytest.mark.parametrize("n, count, dim, weights, undirected, feature_cols", DEFAULT_CASES)
def test_defaults_give_the_bytes_of_fit_csr(n, count, dim, weights, undirected, feature_cols):
    rng, _, csr = graph(n + count, n, count, specials=True)
    features = rng.choice([0.0, 1.0, -2.0, 1e300], size=(n, feature_cols)) if feature_cols else None
    kwargs = dict(seed=n, undirected=undirected, node_features=features, feature_weight=0.5)
    expected = _native_core.fit_csr(*csr, n, dim, weights, **kwargs)
    explicit = dict(columns=None, normalization=None, degree_exponent=0.0, edge_weight="raw", direction="out",
                    row_order="auto")
    for extra in ({}, explicit, dict(columns=(0, dim)), dict(row_order="stored"), dict(row_order="locality")):
        got = fit_csr_ext(*csr, n, dim, weights, **kwargs, **extra)
        assert got.dtype == np.float32 and got.flags.c_contiguous
        assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("options", [dict(undirected=False, direction="both", combine="concat"),
                                     dict(normalization="l2", degree_exponent=0.5, edge_weight="binary")])
def test_locality_order_keeps_the_bytes_and_the_rows(tmp_path, options):
    n, dim, weights = 60, 12, [0.5, 0.0, 1.0, 2.0]
    _, _, csr = graph(7, n, 300)
    stored = fit_csr_ext(*csr, n, dim, weights, seed=3, row_order="stored", **options)
    out = np.lib.format.open_memmap(tmp_path / "out.npy", mode="w+", dtype=np.float32, shape=stored.shape)
    fit_csr_ext(*csr, n, dim, weights, seed=3, row_order="locality", out=out, block_columns=5
                if "normalization" not in options else None, **options)
    assert np.asarray(out).tobytes() == stored.tobytes()


def test_in_direction_is_the_out_fit_of_the_transposed_graph():
    n = 30
    _, entries, csr = graph(3, n, 120, specials=True)
    transposed_csr = to_csr(n, [(c, r, w) for r, c, w in entries])
    for weights in ([0.0, 1.0], [0.3, 0.0, 1.0, 1.0]):
        got = fit_csr_ext(*csr, n, 16, weights, seed=5, undirected=False, direction="in")
        expected = _native_core.fit_csr(*transposed_csr, n, 16, weights, seed=5, undirected=False)
        assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("undirected", [True, False])
def test_binary_weights_are_a_fit_of_unit_weights(undirected):
    n = 25
    _, entries, _ = graph(8, n, 90)
    merged = [(r, c) for r, row in enumerate(canonical_rows(n, entries)) for c, _ in row]
    csr = to_csr(n, [(r, c, w) for r, c, w in entries])
    ones = to_csr(n, [(r, c, 1.0) for r, c in merged])
    got = fit_csr_ext(*csr, n, 12, [0.0, 1.0, 1.0], seed=2, undirected=undirected, edge_weight="binary")
    expected = _native_core.fit_csr(*ones, n, 12, [0.0, 1.0, 1.0], seed=2, undirected=undirected)
    assert got.tobytes() == expected.tobytes()


# ---- the reference of every option ------------------------------------------------

OPTION_CASES = [
    dict(normalization="l2"),
    dict(normalization="l2", weights=[0.0, 0.0, 1.0, 1.0]),
    dict(normalization="l2", weights=[1.0, 0.5, 0.0, 0.25]),
    dict(degree_exponent=-0.5),
    dict(degree_exponent=1.5, weights=[2.0]),
    dict(edge_weight="binary", normalization="l2", degree_exponent=-0.5),
    dict(edge_weight="log1p"),
    dict(edge_weight="log1p", undirected=False, direction="in", normalization="l2"),
    dict(undirected=False, direction="in", degree_exponent=-1.0),
    dict(undirected=False, direction="out", degree_exponent=0.5, columns=(3, 11)),
    dict(columns=(1, 7), degree_exponent=-0.5, features=2),
    dict(normalization="l2", features=3, weights=[0.5, 1.0, 1.0]),
]


@pytest.mark.parametrize("case", OPTION_CASES, ids=lambda case: ",".join(f"{k}={v}" for k, v in case.items()))
def test_options_match_the_numpy_reference(case):
    case = dict(case)
    n, dim = 35, 13
    weights = case.pop("weights", [0.0, 1.0, 1.0])
    feature_cols = case.pop("features", 0)
    rng, entries, csr = graph(len(str(case)), n, 140)
    if case.get("edge_weight") == "log1p":
        entries = [(r, c, abs(w)) for r, c, w in entries]
        csr = to_csr(n, entries)
    features = rng.choice([0.0, 1.0, -2.0, 0.5], size=(n, feature_cols)) if feature_cols else None
    expected = reference_ext(n, entries, dim, weights, 17, features=features, feature_weight=0.75, **case)
    got = fit_csr_ext(*csr, n, dim, weights, seed=17, node_features=features, feature_weight=0.75, **case)
    assert_bitwise_equal(got, expected)


def test_l2_rows_are_unit_and_isolated_rows_zero():
    n = 20
    rng = np.random.default_rng(12)
    entries = [(int(rng.integers(n)), int(rng.integers(n)), 1.0) for _ in range(12)]
    csr = to_csr(n, entries)
    got = fit_csr_ext(*csr, n, 24, [0.0, 1.0], seed=1, normalization="l2")
    touched = {r for r, c, _ in entries} | {c for _, c, _ in entries}
    norms = np.linalg.norm(got.astype(np.float64), axis=1)
    for node in range(n):
        assert norms[node] == pytest.approx(1.0 if node in touched else 0.0, abs=1e-6)


# ---- column blocks ------------------------------------------------------------------

BLOCK_OPTIONS = [
    dict(),
    dict(undirected=False),
    dict(undirected=False, direction="in", degree_exponent=-0.5),
    dict(edge_weight="binary", degree_exponent=0.5),
]


@pytest.mark.parametrize("dim", [1, 8, 31])
@pytest.mark.parametrize("features", [False, True])
@pytest.mark.parametrize("options", BLOCK_OPTIONS, ids=lambda o: ",".join(o) or "defaults")
def test_blocks_equal_slices_of_the_full_fit(dim, features, options):
    n = 45
    rng, _, csr = graph(dim * 7 + features, n, 200, specials=True)
    node_features = rng.choice([0.0, 1.0, -3.0], size=(n, 3)) if features else None
    kwargs = dict(seed=2**64 - 5, node_features=node_features, **options)
    weights = [0.25, 0.0, 1.0, -1.0]
    full = fit_csr_ext(*csr, n, dim, weights, **kwargs)
    bounds = sorted({0, 1, 7, dim - 1, dim} & set(range(dim + 1)))
    for start in bounds:
        for stop in bounds:
            if start <= stop:
                block = fit_csr_ext(*csr, n, dim, weights, columns=(start, stop), **kwargs)
                assert block.shape == (n, stop - start)
                assert block.tobytes() == np.ascontiguousarray(full[:, start:stop]).tobytes()


# ---- blocks over one transition, written into the caller's array --------------------

def _layouts(n, width):
    """Writable float32 targets of shape (n, width): C order, padded rows, F order, reversed rows, unaligned."""
    padded = np.full((n, width + 3), np.nan, np.float32)[:, 1:width + 1]
    reversed_rows = np.full((n, width), np.nan, np.float32)[::-1]
    raw = np.zeros(n * width * 4 + 1, np.uint8)[1:]
    unaligned = raw.view(np.float32).reshape(n, width) if width else np.zeros((n, 0), np.float32)
    return {"c": np.full((n, width), np.nan, np.float32), "padded": padded,
            "fortran": np.full((n, width), np.nan, np.float32, order="F"), "reversed": reversed_rows,
            "unaligned": unaligned}


OUT_CASES = [
    # dim, columns, options, features
    (31, None, dict(), False),
    (31, (3, 29), dict(undirected=False), True),
    (17, None, dict(undirected=False, direction="in", degree_exponent=-0.5), True),
    (9, None, dict(edge_weight="log1p", degree_exponent=0.5), False),
    (13, None, dict(normalization="l2", weights=[0.5, 1.0, 0.0, 1.0]), True),
    (8, (5, 5), dict(), False),
    (6, None, dict(weights=[]), False),
    (6, (1, 6), dict(weights=[2.0], undirected=False), True),
]


@pytest.mark.parametrize("dim, columns, options, features", OUT_CASES,
                         ids=lambda v: repr(v) if not isinstance(v, dict) else ",".join(v) or "defaults")
def test_blocks_into_out_equal_the_one_block_fit(dim, columns, options, features):
    options = dict(options)
    weights = options.pop("weights", [0.25, 0.0, 1.0, -1.0])
    n = 41
    rng, _, csr = graph(dim + 3 * features, n, 170)
    csr = (csr[0], csr[1], np.abs(csr[2]))
    kwargs = dict(seed=2**63 + 7, node_features=rng.random((n, 3)) if features else None, columns=columns,
                  **options)
    expected = fit_csr_ext(*csr, n, dim, weights, **kwargs)
    width = expected.shape[1]
    blocks = [1, 3, 7, dim, None] if options.get("normalization") is None else [dim, 10 * dim, None]
    for block_columns in blocks:
        for name, out in _layouts(n, width).items():
            returned = fit_csr_ext(*csr, n, dim, weights, out=out, block_columns=block_columns, **kwargs)
            assert returned is out
            assert np.ascontiguousarray(out).tobytes() == expected.tobytes(), (block_columns, name)


def test_blocks_into_a_memmap(tmp_path):
    n, dim = 300, 24
    _, _, csr = graph(7, n, 1200)
    expected = fit_csr_ext(*csr, n, dim, [0.0, 0.0, 1.0, 1.0], seed=4)
    path = tmp_path / "e.npy"
    stored = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(n, dim + 2))
    # A column range of the file (a strided view of the map) is written in place.
    fit_csr_ext(*csr, n, dim, [0.0, 0.0, 1.0, 1.0], seed=4, out=stored[:, 1:dim + 1], block_columns=5)
    stored.flush()
    del stored
    loaded = np.load(path)
    assert loaded[:, 1:dim + 1].tobytes() == expected.tobytes()
    assert not loaded[:, 0].any() and not loaded[:, -1].any()


def test_unseeded_blocks_belong_to_one_embedding():
    # Without a seed the call draws one for all of its blocks: two calls
    # differ, and with weights [1] every entry is still a projection value.
    n, dim = 64, 40
    _, _, csr = graph(9, n, 100)
    first = fit_csr_ext(*csr, n, dim, [1.0], out=np.empty((n, dim), np.float32), block_columns=8)
    second = fit_csr_ext(*csr, n, dim, [1.0], out=np.empty((n, dim), np.float32), block_columns=8)
    assert first.tobytes() != second.tobytes()
    assert set(np.unique(np.abs(first))) <= {np.float32(0.0), np.sqrt(np.float32(3.0))}


OUT_REFUSALS = [
    (lambda n, w: np.zeros((n, w)), TypeError, "out must have dtype float32 (native byte order), not float64"),
    (lambda n, w: np.zeros((n, w), ">f4"), TypeError, "out must have dtype float32 (native byte order), not >f4"),
    (lambda n, w: [[0.0] * w] * n, TypeError, "out must be a writable float32 NumPy array (or numpy.memmap), not list"),
    (lambda n, w: bytearray(n * w * 4), TypeError, "out must have dtype float32 (native byte order), not format 'B'"),
    (lambda n, w: np.zeros((n, w + 1), np.float32), ValueError, r"out must have shape (5, 8), not (5, 9)"),
    (lambda n, w: np.zeros(n * w, np.float32), ValueError, r"out must have shape (5, 8), not (40,)"),
    (lambda n, w: np.broadcast_to(np.zeros(w, np.float32), (n, w)), ValueError, "out is read-only"),
    (lambda n, w: np.lib.stride_tricks.as_strided(np.zeros(n + w, np.float32), (n, w), (4, 4)), ValueError,
     "out must not have overlapping elements (strides that repeat memory)"),
]


@pytest.mark.parametrize("make, error, message", OUT_REFUSALS)
def test_bad_out_is_refused_before_any_work(make, error, message):
    _, _, csr = graph(1, 5, 8)
    out = make(5, 8)
    with pytest.raises(error) as exc_info:
        fit_csr_ext(*csr, 5, 8, [0.0, 1.0], seed=1, out=out)
    assert str(exc_info.value) == message


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(block_columns=0), ValueError, "block_columns must be at least 1, not 0"),
    (dict(block_columns=-2), ValueError, "block_columns must be at least 1, not -2"),
    (dict(block_columns=True), TypeError, "block_columns must be None or an integer, not bool"),
    (dict(block_columns=2.0), TypeError, "block_columns must be None or an integer, not float"),
    (dict(block_columns=7, normalization="l2"), ValueError,
     "block_columns must cover all dim columns with normalization='l2', which couples the columns of a row"),
])
def test_bad_block_columns(kwargs, error, message):
    _, _, csr = graph(1, 5, 8)
    with pytest.raises(error) as exc_info:
        fit_csr_ext(*csr, 5, 8, [0.0, 1.0], seed=1, out=np.zeros((5, 8), np.float32), **kwargs)
    assert str(exc_info.value) == message
    with pytest.raises(ValueError, match=r"^block_columns needs out: pass out=numpy.empty"):
        fit_csr_ext(*csr, 5, 8, [0.0, 1.0], seed=1, block_columns=2)


def test_graph_errors_with_out_are_those_without_and_leave_out_alone():
    out = np.full((3, 4), 7.0, np.float32)
    bad = (np.array([0, 2, 1, 3], dtype=np.int64), np.array([1, 2, 0], dtype=np.int64), np.ones(3))
    with pytest.raises(Exception) as plain:
        fit_csr_ext(*bad, 3, 4, [0.0, 1.0], seed=1)
    with pytest.raises(plain.type) as blocked:
        fit_csr_ext(*bad, 3, 4, [0.0, 1.0], seed=1, out=out, block_columns=1)
    assert str(blocked.value) == str(plain.value)
    assert (out == 7.0).all()
    # A large block count and a huge block_columns are both one-call fits.
    _, _, csr = graph(2, 3, 4)
    for block_columns in (2**70, 1):
        assert fit_csr_ext(*csr, 3, 4, [1.0], seed=2, out=out, block_columns=block_columns) is out
    assert out.tobytes() == fit_csr_ext(*csr, 3, 4, [1.0], seed=2).tobytes()


def test_out_keeps_its_references_and_the_fit_runs_unlocked(tmp_path):
    import threading
    import time

    n, dim = 300_000, 32
    rng = np.random.default_rng(3)
    rows = np.sort(rng.integers(n, size=5 * n))
    row_ptrs = np.concatenate([[0], np.cumsum(np.bincount(rows, minlength=n))]).astype(np.int64)
    cols = rng.integers(n, size=5 * n).astype(np.int64)
    values = np.ones(5 * n)
    weights = [0.0, 1.0, 1.0, 1.0, 1.0]
    out = np.lib.format.open_memmap(tmp_path / "big.npy", mode="w+", dtype=np.float32, shape=(n, dim))
    before = sys.getrefcount(out)
    started = threading.Event()

    def profile(frame, event, arg):
        if event == "c_call" and arg is fit_csr_ext:
            started.set()

    def run():
        sys.setprofile(profile)
        try:
            fit_csr_ext(row_ptrs, cols, values, n, dim, weights, seed=1, out=out, block_columns=4)
        finally:
            sys.setprofile(None)

    worker = threading.Thread(target=run)
    worker.start()
    assert started.wait(30)
    time.sleep(0.02)  # well past the argument checks: the blocks are being fitted
    # This thread runs while the fit works, and the map under the array
    # cannot be closed while blocks are written into it. One try only: a
    # close after the fit would succeed and unmap the array.
    try:
        out._mmap.close()
    except BufferError:
        refused = True
    else:
        refused, alive = False, worker.is_alive()
    worker.join()
    if not refused:
        assert not alive, "the map was closed during the fit"
        pytest.skip("the fit ended before the map could be tried")
    assert sys.getrefcount(out) == before
    expected = fit_csr_ext(row_ptrs, cols, values, n, dim, weights, seed=1, columns=(0, 8))
    assert np.asarray(out[:, :8]).tobytes() == expected.tobytes()


WORKER_SCRIPT = textwrap.dedent("""
    import hashlib, sys
    import numpy as np
    from graphripple._native_ext import fit_csr_ext
    rng = np.random.default_rng(0)
    n = 3000
    rows = rng.integers(n, size=30000)
    order = np.argsort(rows, kind="stable")
    row_ptrs = np.concatenate([[0], np.cumsum(np.bincount(rows, minlength=n))]).astype(np.int64)
    cols = rng.integers(n, size=30000)[order].astype(np.int64)
    vals = rng.random(30000)
    for kwargs in (dict(columns=(0, 40)), dict(columns=(7, 33)), dict(normalization="l2"),
                   dict(undirected=False, direction="in", degree_exponent=-0.5, edge_weight="log1p")):
        out = fit_csr_ext(row_ptrs, cols, vals, n, 40, [0.0, 1.0, 1.0], seed=9, **kwargs)
        print(hashlib.sha256(out.tobytes()).hexdigest())
""")


def test_bytes_agree_at_one_two_and_three_workers():
    digests = set()
    for workers in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        run = subprocess.run([sys.executable, "-c", WORKER_SCRIPT], env=env, capture_output=True, text=True,
                             timeout=120)
        assert run.returncode == 0, run.stderr
        digests.add(run.stdout)
    assert len(digests) == 1
    lines = digests.pop().split()
    assert len(lines) == 4 and len(set(lines)) == 4


# ---- refusals -----------------------------------------------------------------------

BAD_OPTIONS = [
    (dict(normalization="x"), "normalization must be None or 'l2', not 'x'"),
    (dict(normalization="L2"), "normalization must be None or 'l2', not 'L2'"),
    (dict(normalization=2), "normalization must be None or 'l2', not 2"),
    (dict(edge_weight="log"), "edge_weight must be 'raw', 'binary' or 'log1p', not 'log'"),
    (dict(edge_weight=None), "edge_weight must be 'raw', 'binary' or 'log1p', not None"),
    (dict(direction="sideways", undirected=False), "direction must be 'out', 'in' or 'both', not 'sideways'"),
    (dict(direction="both"), "direction='both' needs undirected=False: an undirected graph has one direction"),
    (dict(direction="both", undirected=False, columns=(0, 17)),
     "columns must be None or a pair (start, stop) of integers with 0 <= start <= stop <= 2 * dim "
     "(direction='both'), not (0, 17)"),
    (dict(direction="both", undirected=False, normalization="l2", columns=(4, 12)),
     "columns must cover all dim columns with normalization='l2', which couples the columns of a row"),
    (dict(direction="in"), "direction='in' needs undirected=False: an undirected graph has one direction"),
    (dict(row_order="bfs"), "row_order must be 'auto', 'stored' or 'locality', not 'bfs'"),
    (dict(degree_exponent=float("inf")), "degree_exponent must be a finite float, not inf"),
    (dict(degree_exponent=float("nan")), "degree_exponent must be a finite float, not nan"),
    (dict(normalization="l2", columns=(0, 4)),
     "columns must cover all dim columns with normalization='l2', which couples the columns of a row"),
]
COLUMNS_TEXT = "columns must be None or a pair (start, stop) of integers with 0 <= start <= stop <= dim, not "
BAD_COLUMNS = [(3, 2), (0, 9), (-1, 2), (0,), (0, 1, 2), "ab", 5, (0.0, 2), (True, 2), (0, 2**70)]


@pytest.mark.parametrize("kwargs, message", BAD_OPTIONS + [
    (dict(columns=columns), COLUMNS_TEXT + repr(columns)) for columns in BAD_COLUMNS])
def test_bad_option_values(kwargs, message):
    _, _, csr = graph(1, 5, 8)
    with pytest.raises(ValueError) as exc_info:
        fit_csr_ext(*csr, 5, 8, [0.0, 1.0], seed=1, **kwargs)
    assert str(exc_info.value) == message


def test_options_after_weights_are_keyword_only():
    _, _, csr = graph(1, 5, 8)
    with pytest.raises(TypeError, match=r"^fit_csr_ext\(\) takes 6 positional arguments but 7 were given$"):
        fit_csr_ext(*csr, 5, 8, [1.0], 3)
    with pytest.raises(TypeError) as exc_info:
        fit_csr_ext(*csr, 5, 8, [1.0], degree_exponent="x")
    assert exc_info.value.__notes__ == ["while processing 'degree_exponent'"]


@pytest.mark.parametrize("values, message", [
    ([1.0, -0.5, 2.0], "the weight of edge 0 -> 2 is -0.5"),
    ([1.0, float("nan"), 2.0], "the weight of edge 0 -> 2 is nan"),
    ([1.0, 2.0, -3.0], "the weight of edge 1 -> 0 is -3"),
])
def test_log1p_refuses_negative_and_nan_merged_weights(values, message):
    row_ptrs = np.array([0, 2, 3, 3], dtype=np.int64)
    col_indices = np.array([1, 2, 0], dtype=np.int64)
    with pytest.raises(ValueError) as exc_info:
        fit_csr_ext(row_ptrs, col_indices, np.array(values), 3, 4, [0.0, 1.0], seed=1, edge_weight="log1p")
    assert str(exc_info.value) == "edge_weight='log1p' needs non-negative edge weights, but " + message


def test_log1p_judges_the_merged_weight():
    # Two entries 0 -> 1 of 2.0 and -1.5 merge to 0.5 and pass; -0.0 passes too.
    row_ptrs = np.array([0, 2, 3], dtype=np.int64)
    got = fit_csr_ext(row_ptrs, np.array([1, 1, 0], dtype=np.int64), np.array([2.0, -1.5, -0.0]), 2, 4,
                      [0.0, 1.0], seed=1, edge_weight="log1p", undirected=False)
    expected = reference_ext(2, [(0, 1, 2.0), (0, 1, -1.5), (1, 0, -0.0)], 4, [0.0, 1.0], 1, undirected=False,
                             edge_weight="log1p")
    assert_bitwise_equal(got, expected)


SHARED_BAD_ARGUMENTS = [
    dict(row_ptrs=np.array([0.0, 1.0])),
    dict(values=[1.0]),
    dict(num_nodes=-1),
    dict(dim="8"),
    dict(weights="abc"),
    dict(seed=-3),
    dict(undirected=None),
    dict(node_features=np.zeros((2, 2), dtype=np.float32)),
    dict(feature_weight="x"),
    dict(node_features=np.zeros((3, 2))),
    dict(row_ptrs=np.array([0, 5, 1], dtype=np.int64)),
    dict(col_indices=np.array([0, 9], dtype=np.int64)),
    dict(row_ptrs=np.zeros(10, dtype=np.int64)[::2]),
]


@pytest.mark.parametrize("bad", SHARED_BAD_ARGUMENTS, ids=lambda bad: next(iter(bad)))
def test_shared_arguments_fail_as_in_fit_csr(bad):
    kwargs = dict(row_ptrs=np.array([0, 1, 2], dtype=np.int64), col_indices=np.array([1, 0], dtype=np.int64),
                  values=np.array([1.0, 1.0]), num_nodes=2, dim=8, weights=[0.0, 1.0], seed=1)
    kwargs.update(bad)
    with pytest.raises(Exception) as core:
        _native_core.fit_csr(**kwargs)
    with pytest.raises(core.type) as ext:
        fit_csr_ext(**kwargs)
    assert str(ext.value) == str(core.value)
    assert getattr(ext.value, "__notes__", None) == getattr(core.value, "__notes__", None)


def test_seeds_of_the_feature_projection_and_the_module_surface():
    assert native_ext.__all__ == ["fit_csr_ext", "work_matrices", "row_block_transition", "row_block_start",
                                  "row_block_propagate", "group_edges", "DIRECTION_SEED_OFFSET",
                                  "LOCALITY_MIN_MATRIX_BYTES"]
    assert native_ext.DIRECTION_SEED_OFFSET == 0xD1B54A32D192ED03
    assert fit_csr_ext.__text_signature__.startswith("(row_ptrs, col_indices, values, num_nodes, dim, weights, *,")
    # A block with features draws both projections for its columns only.
    n = 6
    rng, entries, csr = graph(2, n, 10)
    features = rng.random((n, 2))
    expected = reference_ext(n, entries, 9, [1.0], 3, features=features, columns=(2, 5))
    assert_bitwise_equal(fit_csr_ext(*csr, n, 9, [1.0], seed=3, node_features=features, columns=(2, 5)),
                         expected)


def _ext_seam():
    library = ctypes.CDLL(native_ext.__file__)
    arm = getattr(library, "graphripple_test_fail_reservation_after", None)
    if arm is not None:
        arm.argtypes, arm.restype = [ctypes.c_uint64], None
    return arm


@pytest.mark.skipif(_ext_seam() is None, reason="module built without GRAPHRIPPLE_TEST_SEAMS")
@pytest.mark.parametrize("options", [
    dict(normalization="l2", degree_exponent=-0.5, weights=[0.5, 1.0, 0.0, 1.0]),
    dict(undirected=False, direction="in", edge_weight="log1p", weights=[0.0, 1.0, 1.0]),
    dict(columns=(2, 5), node_features=np.arange(18.0).reshape(6, 3), weights=[1.0, 0.0, 1.0]),
], ids=["l2-degree", "in-log1p", "block-features"])
def test_out_of_memory_at_every_reservation(options):
    from test_oom_injection import assert_out_of_memory

    arm = _ext_seam()
    options = dict(options)
    weights = options.pop("weights")
    _, _, csr = graph(5, 6, 20)
    csr = (csr[0], csr[1], np.abs(csr[2]))
    expected = fit_csr_ext(*csr, 6, 8, weights, seed=3, **options)
    for k in range(1, 200):
        arm(k)
        try:
            result = fit_csr_ext(*csr, 6, 8, weights, seed=3, **options)
        except ValueError as error:
            assert_out_of_memory(error)
        else:
            break
        finally:
            arm(0)
    else:
        pytest.fail("the walk never got through")
    assert k > 3 and result.tobytes() == expected.tobytes()


@pytest.mark.skipif(_ext_seam() is None, reason="module built without GRAPHRIPPLE_TEST_SEAMS")
def test_out_of_memory_at_every_reservation_of_a_blocked_fit():
    from test_oom_injection import assert_out_of_memory

    arm = _ext_seam()
    rng, _, csr = graph(6, 9, 30)
    kwargs = dict(seed=5, node_features=rng.random((9, 2)), degree_exponent=-0.5, block_columns=3)
    expected = fit_csr_ext(*csr, 9, 8, [0.5, 1.0, 0.0, 1.0], **kwargs, out=np.empty((9, 8), np.float32))
    for k in range(1, 300):
        out = np.full((9, 8), np.nan, np.float32)
        arm(k)
        try:
            fit_csr_ext(*csr, 9, 8, [0.5, 1.0, 0.0, 1.0], **kwargs, out=out)
        except ValueError as error:
            assert_out_of_memory(error)
            # Blocks are written whole or not at all, in order.
            written = [not np.isnan(out[:, lo:lo + 3]).any() for lo in (0, 3, 6)]
            assert written == sorted(written, reverse=True)
        else:
            break
        finally:
            arm(0)
    else:
        pytest.fail("the walk never got through")
    assert k > 6 and out.tobytes() == expected.tobytes()


# ---- direction "both", array-like targets and the matrix plan ------------------------

def _both_reference(csr, n, dim, weights, seed, **kwargs):
    """The out-fit with seed s beside the in-fit with seed s + DIRECTION_SEED_OFFSET."""
    out = fit_csr_ext(*csr, n, dim, weights, seed=seed, undirected=False, direction="out", **kwargs)
    in_seed = (seed + native_ext.DIRECTION_SEED_OFFSET) % 2**64
    into = fit_csr_ext(*csr, n, dim, weights, seed=in_seed, undirected=False, direction="in", **kwargs)
    return np.hstack([out, into])


@pytest.mark.parametrize("seed", [0, 2**64 - 1, 2**64 - native_ext.DIRECTION_SEED_OFFSET])
@pytest.mark.parametrize("options", [{}, dict(normalization="l2"), dict(degree_exponent=0.5, edge_weight="binary")])
def test_both_is_the_out_fit_beside_the_in_fit(seed, options):
    _, _, csr = graph(7, 30, 90)
    expected = _both_reference(csr, 30, 8, [0.5, 1.0, 0.0, 1.0], seed, **options)
    got = fit_csr_ext(*csr, 30, 8, [0.5, 1.0, 0.0, 1.0], seed=seed, undirected=False, direction="both", **options)
    assert_bitwise_equal(got, expected)


@pytest.mark.parametrize("columns", [(0, 16), (3, 13), (0, 8), (8, 16), (7, 9), (8, 8), (16, 16), (2, 5), (11, 15)])
@pytest.mark.parametrize("block_columns", [None, 1, 3, 8, 100])
def test_both_column_ranges_and_blocks(columns, block_columns):
    _, _, csr = graph(8, 25, 70)
    full = _both_reference(csr, 25, 8, [0.0, 1.0, 1.0], 11)
    lo, hi = columns
    kwargs = dict(seed=11, undirected=False, direction="both", columns=columns)
    assert_bitwise_equal(fit_csr_ext(*csr, 25, 8, [0.0, 1.0, 1.0], **kwargs), full[:, lo:hi])
    target = np.full((25, hi - lo), np.nan, dtype=np.float32)
    fit_csr_ext(*csr, 25, 8, [0.0, 1.0, 1.0], out=target, block_columns=block_columns, **kwargs)
    assert_bitwise_equal(target, full[:, lo:hi])


def test_unseeded_both_differs_between_calls_and_halves():
    _, _, csr = graph(9, 20, 60)
    got = fit_csr_ext(*csr, 20, 6, [1.0], undirected=False, direction="both")
    again = fit_csr_ext(*csr, 20, 6, [1.0], undirected=False, direction="both")
    assert got.shape == (20, 12) and got.tobytes() != again.tobytes()
    assert got[:, :6].tobytes() != got[:, 6:].tobytes()


class ArrayLike:
    """The protocol of zarr/h5py targets: shape, dtype and __setitem__, no buffer."""

    def __init__(self, shape, dtype=np.float32):
        self.shape = shape
        self.dtype = np.dtype(dtype)
        self.data = np.full(shape, np.nan, dtype=np.float32)
        self.writes = []

    def __setitem__(self, key, value):
        self.writes.append((key, value.shape))
        self.data[key] = value


@pytest.mark.parametrize("direction, columns, block_columns, undirected", [
    ("out", None, None, True), ("out", (1, 7), 2, True), ("both", None, 3, False), ("both", (5, 14), 4, False),
])
def test_array_like_target_gets_the_bytes_of_an_array_target(direction, columns, block_columns, undirected):
    zarr = pytest.importorskip("zarr")
    _, _, csr = graph(10, 40, 120)
    total = 16 if direction == "both" else 8
    lo, hi = columns or (0, total)
    kwargs = dict(seed=5, undirected=undirected, direction=direction, columns=columns, block_columns=block_columns)
    expected = np.empty((40, hi - lo), dtype=np.float32)
    fit_csr_ext(*csr, 40, 8, [0.0, 1.0, 1.0], out=expected, **kwargs)
    target = zarr.zeros((40, hi - lo), dtype="float32")
    assert fit_csr_ext(*csr, 40, 8, [0.0, 1.0, 1.0], out=target, **kwargs) is target
    assert_bitwise_equal(target[:], expected)
    plain = ArrayLike((40, hi - lo))
    fit_csr_ext(*csr, 40, 8, [0.0, 1.0, 1.0], out=plain, **kwargs)
    assert_bitwise_equal(plain.data, expected)
    widths = [shape[1] for _, shape in plain.writes]
    assert max(widths) <= (block_columns or hi - lo) and sum(widths) == hi - lo


def test_unseeded_array_like_blocks_belong_to_one_embedding():
    _, _, csr = graph(11, 30, 80)
    plain = ArrayLike((30, 8))
    fit_csr_ext(*csr, 30, 8, [1.0], out=plain, block_columns=3)
    assert len(plain.writes) == 3
    assert set(np.unique(np.abs(plain.data))) <= {np.float32(0.0), np.sqrt(np.float32(3.0))}


@pytest.mark.parametrize("make, error, message", [
    (lambda: ArrayLike((30, 8), np.float64), TypeError, "out must have dtype float32 (native byte order), not float64"),
    (lambda: ArrayLike((30, 7)), ValueError, "out must have shape (30, 8), not (30, 7)"),
    (lambda: ArrayLike((30,)), ValueError, "out must have shape (30, 8), not (30,)"),
])
def test_bad_array_like_targets(make, error, message):
    _, _, csr = graph(12, 30, 80)
    with pytest.raises(error) as exc_info:
        fit_csr_ext(*csr, 30, 8, [0.0, 1.0], seed=1, out=make())
    assert str(exc_info.value) == message


def test_array_like_assignment_errors_propagate_after_the_blocks_before():
    _, _, csr = graph(13, 30, 80)

    class Failing(ArrayLike):
        def __setitem__(self, key, value):
            if len(self.writes) == 1:
                raise OSError("disk full")
            super().__setitem__(key, value)

    target = Failing((30, 8))
    with pytest.raises(OSError, match="disk full"):
        fit_csr_ext(*csr, 30, 8, [0.0, 1.0], seed=1, out=target, block_columns=3)
    assert len(target.writes) == 1 and np.isfinite(target.data[:, :3]).all() and np.isnan(target.data[:, 3:]).all()


@pytest.mark.parametrize("weights, matrices", [
    ([], 1), ([0.0, 0.0], 1), ([2.0], 1), ([1.0, 0.0, 0.0], 1), ([0.0, 1.0], 2), ([0.0, 0.0, 3.0], 2),
    ([1.0, 1.0], 2), ([0.0, 1.0, 1.0], 2), ([1.0, 0.0, 1.0], 3), ([0.0, 1.0, 1.0, 1.0], 3),
    ([float("nan"), 0.0, 1.0], 3), ([-0.0, 1.0], 2), ([0.0, float("nan")], 2),
])
def test_work_matrices(weights, matrices):
    assert native_ext.work_matrices(weights) == matrices
    assert native_ext.work_matrices(np.array(weights, dtype=np.float64)) == matrices


@pytest.mark.parametrize("weighted", [True, False])
def test_group_edges_is_a_stable_sort_by_source(weighted):
    rng = np.random.default_rng(4)
    n, m = 50, 200_000  # past the size sorted on one thread
    src, dst = rng.integers(0, n, m), rng.integers(0, n, m)
    weights = rng.random(m) if weighted else None
    row_ptrs, cols, values = native_ext.group_edges(src, dst, weights, n)
    order = np.argsort(src, kind="stable")
    assert np.array_equal(row_ptrs, np.concatenate([[0], np.cumsum(np.bincount(src, minlength=n))]))
    assert np.array_equal(cols, dst[order])
    assert np.array_equal(values, weights[order] if weighted else np.ones(m))


@pytest.mark.parametrize("src, dst, message", [
    ([0, 1, 5], [1, 2, 0], "edge 2 has a node id outside [0, 5): 5 -> 0"),
    ([0, 1, 2], [1, -1, 0], "edge 1 has a node id outside [0, 5): 1 -> -1"),
])
def test_group_edges_refuses_ids_outside_the_rows(src, dst, message):
    with pytest.raises(ValueError) as exc_info:
        native_ext.group_edges(np.array(src), np.array(dst), None, 5)
    assert str(exc_info.value) == message


def test_automatic_row_order_on_scattered_communities_keeps_the_bytes():
    # 140,000 x 128 floats pass the engine's locality threshold, and blocks
    # of 100 nodes with shuffled ids make the sample choose the order.
    n, links = 140_000, 6
    rng = np.random.default_rng(12)
    label = rng.permutation(n)
    src = np.repeat(np.arange(n), links)
    dst = src // 100 * 100 + rng.integers(0, 100, src.size)
    src, dst = label[src], label[np.minimum(dst, n - 1)]
    order = np.lexsort((dst, src))
    src, dst = src[order], dst[order]
    row_ptrs = np.concatenate([[0], np.cumsum(np.bincount(src, minlength=n))]).astype(np.int64)
    values = rng.random(src.size)
    assert n * 128 * 4 >= native_ext.LOCALITY_MIN_MATRIX_BYTES
    weights = [0.5, 1.0, 0.0, 0.25]
    automatic = _native_core.fit_csr(row_ptrs, dst, values, n, 128, weights, seed=5)
    stored = fit_csr_ext(row_ptrs, dst, values, n, 128, weights, seed=5, row_order="stored")
    assert automatic.tobytes() == stored.tobytes()
