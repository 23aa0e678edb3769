"""estimate_memory: the work-matrix table, and the estimate against the measured peak of real fits."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import UNDER_ADDRESS_SANITIZER
from graphripple import estimate_memory
from graphripple._memory_model import pick_block_columns, work_matrices

NAN = float("nan")


@pytest.mark.parametrize(
    "weights, matrices",
    [
        ((), 1),
        ((0.0, 0.0, -0.0), 1),  # no non-zero weight: only the zero result
        ((2.0,), 1),  # X0 scaled in place
        ((1.0, 0.0, 0.0), 1),  # propagations after the last non-zero weight are skipped
        ((0.0, 1.0), 2),
        ((0.0, 0.0, 0.0, 3.0), 2),  # f == g
        ((0.0, 1.0, 1.0), 2),  # g == f + 1: first accumulation fused into the last propagation
        ((1.0, 1.0), 2),
        ((1.0, 0.0, 1.0), 3),
        ((0.0, 1.0, 1.0, 1.0), 3),
        ((NAN, 0.0, 0.0), 1),  # NaN counts as non-zero
        ((0.0, NAN, 0.0, NAN), 3),
    ],
)
def test_work_matrices(weights, matrices):
    assert work_matrices(weights) == matrices


def test_terms_of_the_estimate():
    n, m, dim = 1000, 5000, 32
    directed = estimate_memory(n, m, dim, (1.0, 1.0, 1.0), undirected=False)
    # Input copies, three work matrices, 4-byte scales and 4-byte columns.
    assert directed == 8 * (n + 1) + 16 * m + 3 * n * dim * 4 + 8 * m
    undirected = estimate_memory(n, m, dim, (1.0, 1.0, 1.0))
    assert undirected == 8 * (n + 1) + 16 * m + (8 * (n + 1) + 2 * m * 8) + max(8 * (n + 2) + 16 * m, 3 * n * dim * 4)
    # Without propagations no transition is built.
    assert estimate_memory(n, m, dim, (1.0,), undirected=False) == 8 * (n + 1) + 16 * m + n * dim * 4
    # Many feature columns: the initial embedding's (n + f) x dim floats
    # outweigh the work matrices; the features' copy is held throughout.
    f = 5000
    wide = estimate_memory(n, m, dim, (1.0,), undirected=False, feature_columns=f)
    assert wide == 8 * (n + 1) + 16 * m + 8 * n * f + (n + f) * dim * 4


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"num_nodes": -1}, ValueError),
        ({"dim": 1.5}, TypeError),
        ({"num_entries": True}, TypeError),
        ({"weights": "0,1"}, TypeError),
        ({"weights": [None]}, TypeError),
        ({"undirected": 1}, TypeError),
    ],
)
def test_bad_arguments(kwargs, error):
    arguments = {"num_nodes": 10, "num_entries": 10, "dim": 4, **kwargs}
    with pytest.raises(error):
        estimate_memory(**arguments)


def test_block_columns_fit_the_limit():
    n, m, weights = 100_000, 1_000_000, [0.0, 1.0, 1.0]
    for limit in (200 << 20, 400 << 20, 1 << 30):
        block = pick_block_columns(limit, n, m, 128, weights, True)
        assert estimate_memory(n, m, block, weights=weights, undirected=True) <= limit
        if block < 128:
            assert estimate_memory(n, m, block + 1, weights=weights, undirected=True) > limit
    assert pick_block_columns(1 << 40, n, m, 128, weights, True) == 128
    with pytest.raises(ValueError, match="^--memory-limit 1.0 MiB is below the"):
        pick_block_columns(1 << 20, n, m, 128, weights, True, limit_name="--memory-limit")


# Peak resident memory of one fit, measured in a fresh interpreter: the
# high-water mark is reset once the inputs exist, so only the fit counts.
MEASURE = textwrap.dedent(
    """
    import json, sys
    import numpy as np
    import graphripple

    def status(key):
        with open("/proc/self/status") as fh:
            for line in fh:
                if line.startswith(key + ":"):
                    return int(line.split()[1]) * 1024

    n, m, dim, undirected, weights, f, blocks = json.loads(sys.argv[1])
    rng = np.random.default_rng(0)
    src = np.sort(rng.integers(0, n, m))
    row_ptrs = np.zeros(n + 1, np.int64)
    np.cumsum(np.bincount(src, minlength=n), out=row_ptrs[1:])
    col_indices = rng.integers(0, n, m).astype(np.int64)
    if blocks:
        # Links inside blocks of 1,000 ids, the ids shuffled: the fit
        # renumbers its rows for locality.
        label = rng.permutation(n)
        inside = (src // 1000) * 1000 + rng.integers(0, 1000, m)
        col_indices = label[np.minimum(inside, n - 1)][np.argsort(label[src], kind="stable")]
        src = np.sort(label[src])
        row_ptrs[1:] = np.cumsum(np.bincount(src, minlength=n))
    values = rng.random(m)
    features = rng.random((n, f)) if f else None
    del src
    # Start the worker pool before measuring.
    graphripple.fit_csr(np.zeros(2, np.int64), col_indices[:0], values[:0], 1, 4, [1.0, 1.0], seed=1)
    before = status("VmRSS")
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    result = graphripple.fit_csr(row_ptrs, col_indices, values, n, dim, weights, seed=1,
                                 undirected=undirected, node_features=features)
    print(json.dumps(status("VmHWM") - before))
    """
)

def measured_peak(n, m, dim, undirected, weights, f=0, blocks=False):
    if UNDER_ADDRESS_SANITIZER:
        pytest.skip("ASan's shadow memory and quarantine inflate the resident size")
    if not os.access("/proc/self/clear_refs", os.W_OK):
        pytest.skip("needs Linux /proc/self/clear_refs to reset the resident high-water mark")
    args = json.dumps([n, m, dim, undirected, list(weights), f, blocks])
    out = subprocess.run([sys.executable, "-c", MEASURE, args], capture_output=True, text=True, check=True)
    return int(out.stdout)


@pytest.mark.parametrize("size", [(100_000, 1_000_000), (300_000, 3_000_000)], ids=["1M", "3M"])
@pytest.mark.parametrize(
    "undirected, weights, features",
    [
        (True, (1.0, 1.0, 1.0), 0),
        (False, (1.0, 1.0, 1.0), 0),
        (True, (1.0, 0.5, 0.25), 8),
        (True, (0.0, 1.0, 1.0), 0),
        (False, (2.0,), 0),
    ],
)
def test_estimate_within_ten_percent_of_measured_peak(size, undirected, weights, features):
    n, m = size
    dim = 64
    peak = measured_peak(n, m, dim, undirected, weights, features)
    estimate = estimate_memory(n, m, dim, weights, undirected=undirected, feature_columns=features)
    assert abs(estimate - peak) <= 0.10 * peak, f"estimate {estimate} vs measured {peak}"


@pytest.mark.parametrize("undirected", [True, False])
def test_estimate_covers_a_fit_that_renumbers_its_rows(undirected):
    # 300,000 x 64 floats pass the engine's locality threshold.
    n, m, dim, weights = 300_000, 3_000_000, 64, (0.0, 1.0, 1.0)
    peak = measured_peak(n, m, dim, undirected, weights, blocks=True)
    estimate = estimate_memory(n, m, dim, weights, undirected=undirected)
    assert abs(estimate - peak) <= 0.10 * peak, f"estimate {estimate} vs measured {peak}"
