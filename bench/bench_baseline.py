"""The same embedding written with NumPy and SciPy, as a user would write it.

The graph is made undirected with scipy.sparse (A + Aᵀ, zero sums dropped),
the float32 transition matrix divides each row by its entry count, and every
weight costs one sparse-times-dense product and one scaled addition.

The products can also go to the strongest sparse × dense kernels a user
would reach for (`PEERS`): Intel MKL through sparse_dot_mkl and torch's
sparse CSR tensors. Both are optional; `available_peers` names those that
import. Their thread counts are set by the caller (MKL_NUM_THREADS before
the first import, torch.set_num_threads here).
"""

import glob
import math
import os
import sys
import time
import warnings

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


def scipy_product(threads):
    """T @ X with scipy.sparse (single-threaded whatever `threads` says)."""
    return lambda t, x: t @ x


def mkl_product(threads):
    """T @ X with MKL's sparse × dense through sparse_dot_mkl."""
    # The mkl wheel puts libmkl_rt in the environment's lib folder, which the
    # loader does not search; point sparse_dot_mkl at it.
    if "MKL_RT" not in os.environ:
        found = sorted(glob.glob(os.path.join(sys.prefix, "lib", "libmkl_rt.so*")))
        if found:
            os.environ["MKL_RT"] = found[0]
    import sparse_dot_mkl

    if hasattr(sparse_dot_mkl, "mkl_set_num_threads"):
        sparse_dot_mkl.mkl_set_num_threads(threads)
    return lambda t, x: sparse_dot_mkl.dot_product_mkl(t, x)


def torch_product(threads):
    """T @ X with a torch sparse CSR tensor and a dense tensor sharing NumPy's memory."""
    import torch

    torch.set_num_threads(threads)
    cache = {}

    def product(t, x):
        key = id(t)
        if key not in cache:
            cache.clear()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)  # "sparse CSR support is in beta"
                cache[key] = (t, torch.sparse_csr_tensor(
                    torch.from_numpy(t.indptr.astype(np.int64)), torch.from_numpy(t.indices.astype(np.int64)),
                    torch.from_numpy(t.data), size=t.shape, check_invariants=False))
        tensor = cache[key][1]
        return (tensor @ torch.from_numpy(np.ascontiguousarray(x))).numpy()

    return product


PEERS = {"NumPy + SciPy": scipy_product, "Intel MKL (sparse_dot_mkl)": mkl_product,
         "torch sparse CSR": torch_product}


def available_peers(threads):
    """{name: product} for the peers that import here, and {name: reason} for the others."""
    found, missing = {}, {}
    for name, make in PEERS.items():
        try:
            found[name] = make(threads)
        except Exception as error:  # ImportError, or a library that does not load
            missing[name] = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
    return found, missing


def propagate_sum(t, x, weights, product=None):
    product = product or (lambda a, b: a @ b)
    acc = np.zeros(x.shape, dtype=np.float32)
    for i, w in enumerate(weights):
        if w != 0.0:
            acc += np.float32(w) * x
        if i + 1 < len(weights):
            x = product(t, x)
    return acc


def timed_fit(row_ptrs, col_indices, values, n, dim, weights, x0, seed=0, product=None):
    """(seconds, phases, result); phases maps "projection", "transition" and
    "products" to their seconds. The products run on the given x0, so the
    result can be compared with graphripple's; a projection is drawn with
    NumPy all the same and its time counted. `product(t, x)` computes T @ X
    (default: scipy.sparse)."""
    phases = {}
    start = time.perf_counter()
    random_projection(n, dim, seed)
    phases["projection"] = time.perf_counter() - start
    start = time.perf_counter()
    t = transition_matrix(row_ptrs, col_indices, values, n)
    phases["transition"] = time.perf_counter() - start
    start = time.perf_counter()
    result = propagate_sum(t, x0, weights, product)
    phases["products"] = time.perf_counter() - start
    return sum(phases.values()), phases, result
