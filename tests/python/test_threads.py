"""Calls from several Python threads, and the lock released while computing."""

import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import graphripple


def ring(n):
    """CSR arrays of a directed ring 0 -> 1 -> ... -> n-1 -> 0."""
    row_ptrs = np.arange(n + 1, dtype=np.int64)
    col_indices = (np.arange(n, dtype=np.int64) + 1) % n
    return row_ptrs, col_indices, np.ones(n)


def test_concurrent_fits_match_sequential():
    graphs = [ring(n) for n in (50, 200, 1000, 3000)]
    jobs = [(g, seed) for g in graphs for seed in range(4)]

    def run(job):
        (row_ptrs, col_indices, values), seed = job
        return graphripple.fit_csr(row_ptrs, col_indices, values, len(values), 32, [0.5, 1.0, 1.0, 0.25],
                                   seed=seed)

    sequential = [run(job) for job in jobs]
    with ThreadPoolExecutor(max_workers=8) as pool:
        for _ in range(3):
            for expected, got in zip(sequential, pool.map(run, jobs)):
                np.testing.assert_array_equal(got, expected)


def test_concurrent_first_use_in_fresh_interpreter():
    # The lazily made NumPy table, container and exception types are created
    # by whichever thread gets there first; all threads must see one of each.
    import subprocess
    import sys

    code = (
        "import threading, graphripple\n"
        "barrier = threading.Barrier(8); bases = []; errors = []\n"
        "def work():\n"
        "    barrier.wait()\n"
        "    bases.append(type(graphripple.fit_adj_list([[(0, 1.0)]], 4, [1.0], seed=1).base))\n"
        "threads = [threading.Thread(target=work) for _ in range(8)]\n"
        "[t.start() for t in threads]; [t.join() for t in threads]\n"
        "print(len(bases), len(set(bases)))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["8", "1"]


def test_lock_released_during_fit():
    n = 400_000
    row_ptrs, col_indices, values = ring(n)
    args = (row_ptrs, col_indices, values, n, 64, [1.0] * 8)
    started = time.perf_counter()
    graphripple.fit_csr(*args, seed=0)
    duration = time.perf_counter() - started

    done = threading.Event()
    worker = threading.Thread(target=lambda: (graphripple.fit_csr(*args, seed=0), done.set()))
    longest_gap, ticks = 0.0, 0
    last = time.perf_counter()  # before start(): with the lock held, start() itself stalls
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest_gap = max(longest_gap, now - last)
        last = now
        ticks += 1
    worker.join()
    # Holding the lock would stall this loop for the whole fit.
    assert duration > 0.05
    assert ticks > 1000
    assert longest_gap < duration / 5


# ---- one engine per process ----------------------------------------------------------

ONE_POOL_SCRIPT = """
import os
import numpy as np
from graphripple import _native_core, _native_ext

def tasks():
    return len(os.listdir("/proc/self/task"))

row_ptrs, col_indices, values = np.arange(4, dtype=np.int64), np.array([1, 2, 0], dtype=np.int64), np.ones(3)
before = tasks()  # NumPy's own threads (BLAS) already exist
core = _native_core.fit_csr(row_ptrs, col_indices, values, 3, 8, [0.0, 1.0, 1.0], seed=1)
after_core = tasks()
ext = _native_ext.fit_csr_ext(row_ptrs, col_indices, values, 3, 8, [0.0, 1.0, 1.0], seed=1)
print(after_core - before, tasks() - before, core.tobytes() == ext.tobytes())
"""


def test_both_modules_share_one_worker_pool():
    import os
    import subprocess
    import sys

    env = dict(os.environ, RAYON_NUM_THREADS="3")
    out = subprocess.run([sys.executable, "-c", ONE_POOL_SCRIPT], capture_output=True, text=True, env=env,
                         check=True)
    assert out.stdout.split() == ["3", "3", "True"]


ONE_PANIC_SCRIPT = """
import sys
sys.modules["numpy"] = None  # every import of NumPy now fails: a panic in either module
from graphripple import _native_core, _native_ext

def panic(call):
    try:
        call()
    except Exception as error:
        return None
    except BaseException as error:
        return type(error)

core = panic(lambda: _native_core.fit_adj_list([[]], 2, [1.0], seed=0))
ext = panic(lambda: _native_ext.fit_csr_ext([0], [], [], 0, 2, [1.0], seed=0))
print(core is not None and core is ext, core.__module__, core.__qualname__)
"""


def test_a_panic_from_either_module_is_one_class():
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", ONE_PANIC_SCRIPT], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True", "pyo3_runtime", "PanicException"]
