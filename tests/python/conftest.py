"""Shared inputs for the Python tests: one small graph in all three forms,
the process measurements the leak checks compare before and after, and the
Dask cluster the distributed tests share."""

import contextlib
import gc
import logging
import os
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import graphripple

# A 4-node graph with a self-loop, a repeated pair and an isolated node:
# 0 -> 1 (1.0), 0 -> 2 (2.0), 1 -> 0 (0.5), 2 -> 2 (3.0); node 3 has no edges.
DENSE = np.array(
    [
        [0.0, 1.0, 2.0, 0.0],
        [0.5, 0.0, 0.0, 0.0],
        [0.0, 0.0, 3.0, 0.0],
        [0.0, 0.0, 0.0, 0.0],
    ]
)
ROW_PTRS = np.array([0, 2, 3, 4, 4], dtype=np.int64)
COL_INDICES = np.array([1, 2, 0, 2], dtype=np.int64)
VALUES = np.array([1.0, 2.0, 0.5, 3.0])
ADJ_LIST = [[(1, 1.0), (2, 2.0)], [(0, 0.5)], [(2, 3.0)], []]
NUM_NODES = 4


def call_csr(**overrides):
    kwargs = dict(
        row_ptrs=ROW_PTRS, col_indices=COL_INDICES, values=VALUES,
        num_nodes=NUM_NODES, dim=8, weights=[0.0, 1.0, 1.0], seed=7,
    )
    kwargs.update(overrides)
    return graphripple.fit_csr(**kwargs)


def call_dense(**overrides):
    kwargs = dict(adj_matrix=DENSE, dim=8, weights=[0.0, 1.0, 1.0], seed=7)
    kwargs.update(overrides)
    return graphripple.fit_dense(**kwargs)


def call_adj_list(**overrides):
    kwargs = dict(adj_list=ADJ_LIST, dim=8, iter_weights=[0.0, 1.0, 1.0], seed=7)
    if "weights" in overrides:
        kwargs["iter_weights"] = overrides.pop("weights")
    kwargs.update(overrides)
    return graphripple.fit_adj_list(**kwargs)


CALLERS = {"fit_csr": call_csr, "fit_dense": call_dense, "fit_adj_list": call_adj_list}


@pytest.fixture(params=sorted(CALLERS))
def caller(request):
    """Each of the three functions, called on the same graph."""
    return CALLERS[request.param]


def raises_with_note(exc_info, note):
    """The exception carries exactly one note, `note`."""
    return getattr(exc_info.value, "__notes__", None) == [note]


HAVE_STATM = os.path.exists("/proc/self/statm")
needs_statm = pytest.mark.skipif(not HAVE_STATM, reason="needs /proc/self/statm")


def resident_bytes():
    """This process's resident set size."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts(objects):
    """The reference count of each object, for checks that calls keep none."""
    return [sys.getrefcount(obj) for obj in objects]


def traced_growth(function, rounds=1000):
    """Bytes of interpreter memory still traced after `rounds` more calls of
    `function`, measured after one warm-up call and one baseline call."""
    function()
    gc.collect()
    tracemalloc.start()
    try:
        function()
        baseline = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            function()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()


def _under_address_sanitizer():
    import ctypes

    return hasattr(ctypes.CDLL(None), "__asan_init")


# Resident sizes mean little under ASan: its shadow memory and quarantine.
UNDER_ADDRESS_SANITIZER = _under_address_sanitizer()


@contextlib.contextmanager
def mounted_tmpfs(folder, options):
    """A small tmpfs mounted at ``folder`` (needs root); skips the test where it cannot be mounted."""
    folder.mkdir()
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(folder)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here ({result.stderr.strip() or 'mount failed'})")
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=False)


@contextlib.contextmanager
def local_cluster(n_workers, allowed_failures, env=None):
    """A client of a LocalCluster of `n_workers` single-thread worker processes.

    The scheduler retries a task `allowed_failures` times after its worker
    dies (it reads this when it starts); `env` is set in every worker.
    """
    import dask
    import distributed

    with dask.config.set({"distributed.scheduler.allowed-failures": allowed_failures}):
        cluster = distributed.LocalCluster(
            n_workers=n_workers, threads_per_worker=1, processes=True, dashboard_address=":0",
            silence_logs=logging.CRITICAL, env=env)
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        cluster.close()
