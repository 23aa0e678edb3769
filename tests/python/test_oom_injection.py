"""Every fallible reservation of a whole fit, refused in turn.

Builds made with GRAPHRIPPLE_TEST_SEAMS=ON export a C function that makes
the k-th reservation from now fail. Walking k = 1, 2, ... until a fit
succeeds visits each out-of-memory path once; each must surface as the
out-of-memory ValueError and leave the module fully usable.
"""

import ctypes
import re

import numpy as np
import pytest

import graphripple
from graphripple import _native_core
from conftest import refcounts


def _load_seam():
    library = ctypes.CDLL(_native_core.__file__)
    try:
        arm = library.graphripple_test_fail_reservation_after
        count = library.graphripple_test_reservation_count
    except AttributeError:
        return None
    arm.argtypes, arm.restype = [ctypes.c_uint64], None
    count.argtypes, count.restype = [], ctypes.c_uint64
    return arm, count


SEAM = _load_seam()
pytestmark = pytest.mark.skipif(SEAM is None, reason="module built without GRAPHRIPPLE_TEST_SEAMS")

RAW = re.compile(
    r"TryReserveError \{ kind: AllocError \{ layout: Layout \{ size: (\d+), align: (\d+) \(1 << (\d+)\) \}, "
    r"non_exhaustive: \(\) \} \}"
)


def assert_out_of_memory(error):
    assert type(error) is ValueError and len(error.args) == 1
    assert not hasattr(error, "__notes__")
    lines = str(error).split("\n")
    assert len(lines) == 6, lines
    assert lines[0] == "Out Of Memory (OOM): The system could not allocate enough memory."
    assert lines[2] == "Try reducing the number of nodes or the embedding dimension."
    assert lines[3:5] == ["", "Raw Error:"]
    match = RAW.fullmatch(lines[5])
    assert match, lines[5]
    size, align, shift = map(int, match.groups())
    assert size > 0 and align == 1 << shift
    assert lines[1] == f"- Requested Memory: {size / 2**20:.2f} MB"


# Node 0 has a long unsorted row with repeated targets (merge sort with its
# second buffer), the others short rows; node 5 is isolated.
N = 6
EDGES = [(0, (7 * k) % 5 + 1, 0.5 + k) for k in range(30)] + [(1, 0, 1.0), (2, 3, 2.0), (3, 2, 0.25), (4, 4, 1.5)]


def _csr():
    rows = [[] for _ in range(N)]
    for source, target, weight in EDGES:
        rows[source].append((target, weight))
    row_ptrs = np.cumsum([0] + [len(r) for r in rows]).astype(np.int64)
    cols = np.array([t for r in rows for t, _ in r], dtype=np.int64)
    values = np.array([w for r in rows for _, w in r])
    return rows, row_ptrs, cols, values


ROWS, ROW_PTRS, COLS, VALUES = _csr()
DENSE = np.zeros((N, N))
for _s, _t, _w in EDGES:
    DENSE[_s, _t] += _w
DENSE_F = np.asfortranarray(DENSE)  # column-major: the matrix copy keeps its strides
FEATURES = np.arange(N * 3, dtype=np.float64).reshape(N, 3)[:, ::-1]  # reversed columns: a strided copy

SETTINGS = [
    pytest.param(dict(undirected=True, node_features=FEATURES, feature_weight=0.5), id="undirected-features"),
    pytest.param(dict(undirected=False), id="directed"),
]
FITS = {
    "fit_csr": lambda **kw: graphripple.fit_csr(ROW_PTRS, COLS, VALUES, N, 5, [0.5, 1.0, 0.25], seed=3, **kw),
    "fit_dense": lambda **kw: graphripple.fit_dense(DENSE_F, 5, [0.5, 1.0, 0.25], seed=3, **kw),
    "fit_adj_list": lambda **kw: graphripple.fit_adj_list(ROWS, 5, [0.5, 1.0, 0.25], seed=3, **kw),
}


def _fit_with_failure_at(fit, k):
    arm, _ = SEAM
    arm(k)
    try:
        return fit()
    finally:
        arm(0)


@pytest.mark.parametrize("settings", SETTINGS)
@pytest.mark.parametrize("name", sorted(FITS))
def test_every_reservation_failure_is_reported(name, settings):
    _, count = SEAM
    fit = lambda: FITS[name](**settings)  # noqa: E731
    reference = fit()
    before = count()
    fit()
    reservations = count() - before
    assert reservations >= 4  # graph arrays, projection, work matrices at least

    failures = 0
    for k in range(1, reservations + 2):
        try:
            result = _fit_with_failure_at(fit, k)
        except ValueError as error:
            assert_out_of_memory(error)
            failures += 1
        else:
            np.testing.assert_array_equal(result, reference)
            break
    # Each reservation of the fit was refused once; the next k succeeded.
    assert failures == reservations
    np.testing.assert_array_equal(fit(), reference)


def test_refusal_during_input_copy():
    # The CSR arrays are copied before the lock is released; a refusal there
    # is the same error and keeps no hold on the caller's arrays.
    refs = refcounts((ROW_PTRS, COLS, VALUES))
    with pytest.raises(ValueError) as info:
        _fit_with_failure_at(FITS["fit_csr"], 1)
    assert_out_of_memory(info.value)
    assert "size: %d," % (ROW_PTRS.size * 8) in str(info.value)
    assert refcounts((ROW_PTRS, COLS, VALUES)) == refs


def test_refusals_across_threads_leave_other_fits_intact():
    # An armed seam refuses exactly one reservation, whoever makes it; fits
    # on other threads see either the refusal or a correct result.
    import threading

    reference = FITS["fit_adj_list"]()
    outcomes, lock = [], threading.Lock()

    def work():
        for _ in range(20):
            try:
                result = FITS["fit_adj_list"]()
            except ValueError as error:
                assert_out_of_memory(error)
                outcome = "refused"
            else:
                outcome = "ok" if np.array_equal(result, reference) else "wrong"
            with lock:
                outcomes.append(outcome)

    arm, _ = SEAM
    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for _ in range(10):
        arm(3)
    for thread in threads:
        thread.join(timeout=60)
    arm(0)
    assert not any(thread.is_alive() for thread in threads)
    assert "wrong" not in outcomes and len(outcomes) == 80
