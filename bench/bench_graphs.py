"""Graphs for the Python benchmark, built with NumPy alone.

`power_law_csr` grows a preferential-attachment graph: every new node v links
to `m` earlier nodes, each chosen in proportion to its current degree. Picking
an end of a uniformly random earlier edge is degree-proportional; a picked
source is known at once, a picked target is "the target of edge e'", which is
resolved for all edges together by pointer jumping. A quarter of the links go
to a uniformly random earlier node instead, so young nodes get edges too.
Node ids are shuffled so the hubs are spread over the id range, repeated
links are merged by summing their weights, and weights are 1, 2, 3 or 4.

`block_model_csr` is a stochastic block model: nodes fall into blocks of
equal size and most links stay inside a block, as in graphs with strong
communities; ids are shuffled, so a block's rows are scattered over the
whole id range and no row order given by the ids keeps them together.
"""

import numpy as np

from graphripple._karate import EDGES, NUM_MEMBERS

UNIFORM_SHARE = 0.25


def _attachment_edges(n, m, rng):
    """(sources, targets) of the (n - 1) · m links, in growth order."""
    src = np.repeat(np.arange(1, n, dtype=np.int64), m)
    num_edges = src.size
    earlier = (src - 1) * m  # number of links made before node src joined
    uniform = (rng.random(num_edges) < UNIFORM_SHARE) | (earlier == 0)
    tgt = np.full(num_edges, -1, dtype=np.int64)
    tgt[uniform] = (rng.random(int(uniform.sum())) * src[uniform]).astype(np.int64)

    copy = np.flatnonzero(~uniform)
    picked = (rng.random(copy.size) * earlier[copy]).astype(np.int64)  # an earlier link
    take_source = rng.random(copy.size) < 0.5
    tgt[copy[take_source]] = src[picked[take_source]]
    # The rest point at the target of an earlier link: follow and shorten the
    # pointers until every one lands on a resolved link.
    pending = copy[~take_source]
    pointer = np.full(num_edges, -1, dtype=np.int64)
    pointer[pending] = picked[~take_source]
    while pending.size:
        via = pointer[pending]
        found = tgt[via]
        done = found >= 0
        tgt[pending[done]] = found[done]
        pending = pending[~done]
        pointer[pending] = pointer[via[~done]]
    return src, tgt


def _to_csr(rows, cols, weight_codes, n):
    """Sorted CSR arrays with repeated (row, column) pairs summed.

    Weights are given as codes 0 … 3 (weight = code + 1) and packed into the
    sort key, so one plain sort (much faster than an argsort) orders them.
    """
    packed = np.sort((rows * n + cols) << 2 | weight_codes)
    key = packed >> 2
    values = (packed & 3).astype(np.float64) + 1.0
    first = np.ones(key.size, dtype=bool)
    first[1:] = key[1:] != key[:-1]
    starts = np.flatnonzero(first)
    merged_values = np.add.reduceat(values, starts) if key.size else values
    key = key[starts]
    merged_rows = key // n
    col_indices = key - merged_rows * n
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(merged_rows, minlength=n), out=row_ptrs[1:])
    return row_ptrs, col_indices, merged_values


def power_law_csr(n, m, seed=1):
    """(row_ptrs, col_indices, values) of a directed power-law graph with n nodes.

    Each link is stored once, in one direction; the undirected fit stores it
    in both, so the symmetrised graph has about 2 · (n - 1) · m entries.
    """
    rng = np.random.default_rng(seed)
    src, tgt = _attachment_edges(n, m, rng)
    label = rng.permutation(n).astype(np.int64)
    weight_codes = rng.integers(0, 4, size=src.size, dtype=np.int64)
    return _to_csr(label[src], label[tgt], weight_codes, n)


def block_model_csr(n, m, block_size=1000, in_block=0.9, seed=1):
    """(row_ptrs, col_indices, values) of a directed block-model graph with n nodes.

    Node v links to m targets; each lies in v's block (of `block_size`
    consecutive nodes before shuffling) with probability `in_block`, else
    anywhere. Like power_law_csr, each link is stored once, so the
    symmetrised graph has about 2 · n · m entries.
    """
    rng = np.random.default_rng(seed)
    src = np.repeat(np.arange(n, dtype=np.int64), m)
    block_start = (src // block_size) * block_size
    block_len = np.minimum(block_size, n - block_start)
    inside = rng.random(src.size) < in_block
    tgt = np.where(inside, block_start + (rng.random(src.size) * block_len).astype(np.int64),
                   (rng.random(src.size) * n).astype(np.int64))
    label = rng.permutation(n).astype(np.int64)
    weight_codes = rng.integers(0, 4, size=src.size, dtype=np.int64)
    return _to_csr(label[src], label[tgt], weight_codes, n)


def karate_csr():
    """(row_ptrs, col_indices, values, n) of Zachary's karate club, one entry per friendship."""
    edges = np.array(EDGES, dtype=np.int64)
    row_ptrs, col_indices, values = _to_csr(edges[:, 0], edges[:, 1], np.zeros(len(edges), dtype=np.int64), NUM_MEMBERS)
    return row_ptrs, col_indices, values, NUM_MEMBERS
