"""Many threads fitting at once: mixed functions, failures and dims.

Each job is run once on the main thread first; afterwards eight threads and
the main thread replay shuffled copies of the job list concurrently. Seeded
results must have the same bytes as the reference, failures the same
exception, and the whole run must finish (a hang fails on the join timeout).
"""

import random
import threading

import numpy as np

import graphripple

THREADS = 8
ROUNDS = 300  # calls per thread
JOIN_TIMEOUT = 240.0


def _graph(n, seed):
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 6, size=n)
    row_ptrs = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    cols = rng.integers(0, n, size=int(row_ptrs[-1])).astype(np.int64)
    values = rng.standard_normal(cols.size)
    dense = np.zeros((n, n))
    adj = [[] for _ in range(n)]
    for row in range(n):
        for k in range(row_ptrs[row], row_ptrs[row + 1]):
            dense[row, cols[k]] += values[k]
            adj[row].append((int(cols[k]), float(values[k])))
    return row_ptrs, cols, values, dense, adj


def _jobs():
    jobs = []
    for index, n in enumerate((3, 17, 60, 150)):
        row_ptrs, cols, values, dense, adj = _graph(n, index)
        features = np.linspace(-1, 1, n * 3).reshape(n, 3)
        for dim in (1, 8, 33):
            for seed in (None, 5, 2**64 - 1):
                weights = [0.5, 1.0, -0.25][: 1 + dim % 3] + [1.0]
                jobs += [
                    (graphripple.fit_csr, (row_ptrs, cols, values, n, dim, weights),
                     dict(seed=seed, node_features=features if dim == 8 else None)),
                    (graphripple.fit_dense, (dense, dim, weights), dict(seed=seed, undirected=dim != 1)),
                    (graphripple.fit_adj_list, (adj, dim, weights), dict(seed=seed, feature_weight=2.0)),
                ]
        # Failures at every stage: binding, conversion, graph, engine.
        jobs += [
            (graphripple.fit_csr, (row_ptrs, cols, values, n + 1, 4, [1.0]), dict(seed=1)),
            (graphripple.fit_csr, (row_ptrs, cols, values.astype(np.float32), n, 4, [1.0]), {}),
            (graphripple.fit_dense, (dense[:, :-1], 4, [1.0]), dict(seed=2)),
            (graphripple.fit_adj_list, (adj + [[(n + 5, 1.0)]], 4, [1.0]), dict(seed=3)),
            (graphripple.fit_adj_list, (adj, 4, [1.0, "x"]), {}),
            (graphripple.fit_dense, (dense, 4, [1.0]), dict(node_features=np.ones((n + 1, 2)), seed=4)),
            (graphripple.fit_dense, (dense, 2**62, [1.0]), dict(seed=4)),
            (graphripple.fit_csr, (row_ptrs,), {}),
        ]
    return jobs


def _outcome(function, args, kwargs):
    try:
        return function(*args, **kwargs)
    except (TypeError, ValueError) as error:
        return (type(error), str(error))


def _matches(got, expected, seeded):
    if isinstance(expected, tuple):
        return got == expected
    if not isinstance(got, np.ndarray) or got.dtype != np.float32 or got.shape != expected.shape:
        return False
    return got.tobytes() == expected.tobytes() if seeded else True


def test_concurrent_mixed_fits_match_single_threaded_reference():
    jobs = _jobs()
    reference = [_outcome(*job) for job in jobs]
    unseeded_probe = next(i for i, (function, args, kwargs) in enumerate(jobs)
                          if function is graphripple.fit_adj_list and args[1] == 33 and kwargs["seed"] is None)
    mismatches, probes, lock = [], [], threading.Lock()
    start = threading.Barrier(THREADS + 1)

    def replay(worker):
        order = random.Random(worker)
        start.wait()
        for _ in range(ROUNDS):
            i = order.randrange(len(jobs))
            if worker % 2 and order.random() < 0.2:
                i = unseeded_probe
            function, args, kwargs = jobs[i]
            got = _outcome(function, args, kwargs)
            if not _matches(got, reference[i], kwargs.get("seed") is not None):
                with lock:
                    mismatches.append((worker, i, got if isinstance(got, tuple) else "array"))
            if i == unseeded_probe:
                with lock:
                    probes.append(got.tobytes())

    threads = [threading.Thread(target=replay, args=(w,), daemon=True) for w in range(THREADS)]
    for thread in threads:
        thread.start()
    start.wait()
    for i in random.Random(99).sample(range(len(jobs)), len(jobs)):  # the main thread fits too
        assert _matches(_outcome(*jobs[i]), reference[i], jobs[i][2].get("seed") is not None), i
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not [t for t in threads if t.is_alive()], "fits did not finish: deadlock or livelock"
    assert mismatches == []
    # Unseeded fits draw fresh randomness on every call, whatever the thread.
    assert len(set(probes)) == len(probes)


def test_concurrent_first_calls_with_worker_threads_from_many_callers():
    # A large fit keeps the worker pool busy while small ones arrive from
    # other threads; all must complete with their reference bytes.
    n = 20_000
    row_ptrs = np.arange(n + 1, dtype=np.int64)
    cols = (np.arange(n, dtype=np.int64) * 7 + 1) % n
    values = np.ones(n)
    big = lambda: graphripple.fit_csr(row_ptrs, cols, values, n, 64, [1.0] * 6, seed=11)  # noqa: E731
    small = lambda: graphripple.fit_adj_list([[(1, 1.0)], [(0, 2.0)]], 3, [1.0, 1.0], seed=12)  # noqa: E731
    expected_big, expected_small = big().tobytes(), small().tobytes()
    failures = []

    def run(function, expected, times):
        for _ in range(times):
            if function().tobytes() != expected:
                failures.append(function)

    threads = [threading.Thread(target=run, args=(big, expected_big, 3), daemon=True) for _ in range(2)]
    threads += [threading.Thread(target=run, args=(small, expected_small, 200), daemon=True) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not [t for t in threads if t.is_alive()], "fits did not finish"
    assert failures == []
