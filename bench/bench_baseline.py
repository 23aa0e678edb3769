"""The same embedding written with NumPy and SciPy, as a user would write it.

The graph is made undirected with scipy.sparse (A + Aᵀ, zero sums dropped),
the float32 transition matrix divides each row by its entry count, and every
weight costs one sparse-times-dense product and one scaled addition.
"""

import math
import time

import numpy as np
import scipy.sparse as sp

SQRT3 = np.float32(math.sqrt(3.0))


def random_projection(n, dim, seed):
    """n × dim float32: +√3 and −√3 with probability 1/6 each, 0 otherwise."""
    u = np.random.default_rng(seed).random((n, dim), dtype=np.float32)
    x = np.zeros((n, dim), dtype=np.float32)
    x[u < np.float32(1 / 6)] = SQRT3
    x[u > np.float32(5 / 6)] = -SQRT3
    return x


def transition_matrix(row_ptrs, col_indices, values, n, undirected=True):
    a = sp.csr_matrix((values, col_indices, row_ptrs), shape=(n, n))
    if undirected:
        a = (a + a.T).tocsr()
        a.eliminate_zeros()
    a.sort_indices()
    deg = np.diff(a.indptr)
    inv = np.zeros(n, dtype=np.float32)
    nonzero = deg > 0
    inv[nonzero] = np.float32(1.0) / deg[nonzero].astype(np.float32)
    data = a.data.astype(np.float32) * np.repeat(inv, deg)
    return sp.csr_matrix((data, a.indices, a.indptr), shape=(n, n))


def propagate_sum(t, x, weights):
    acc = np.zeros(x.shape, dtype=np.float32)
    for i, w in enumerate(weights):
        if w != 0.0:
            acc += np.float32(w) * x
        if i + 1 < len(weights):
            x = t @ x
    return acc


def timed_fit(row_ptrs, col_indices, values, n, dim, weights, x0, seed=0):
    """(seconds, phases, result); phases maps "projection", "transition" and
    "products" to their seconds. The products run on the given x0, so the
    result can be compared with graphripple's; a projection is drawn with
    NumPy all the same and its time counted."""
    phases = {}
    start = time.perf_counter()
    random_projection(n, dim, seed)
    phases["projection"] = time.perf_counter() - start
    start = time.perf_counter()
    t = transition_matrix(row_ptrs, col_indices, values, n)
    phases["transition"] = time.perf_counter() - start
    start = time.perf_counter()
    result = propagate_sum(t, x0, weights)
    phases["products"] = time.perf_counter() - start
    return sum(phases.values()), phases, result
