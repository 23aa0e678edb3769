"""Embedding new nodes into a fitted model from their edges to fitted nodes.

A fit that keeps its terms (``RippleEmbedding(keep_terms=True)``) computes
the embedding as one row block holding every row, with the engine's
row-block functions (``_native.row_block_*``), and keeps the
propagated matrices X(0) ... X(g-1), g being the index of the last non-zero
weight (later propagations contribute nothing and are never computed).
These are the bytes of the ordinary fit: the same transition rows, the same
per-row random streams for X0, the same kernel and accumulation order.

New nodes are then one more row block, rows n, n + 1, ... of a graph that
continues the fitted one:

- X(0) of new node u (row n + i) is its draw from the fitted seed, as if
  appended after the fitted rows, plus its projected features, scaled by
  its own degree when ``degree_exponent`` is set;
- for k >= 1, X(k)[u] = sum_j T[u, j] * X(k-1)[j] over u's edges, in
  ascending fitted row, with T[u, .] the transition row a fit would build
  from those edges (same edge-weight transform, repeated edges summed in
  the order given, same scale arithmetic) and l2 normalisation per term as
  the fit does. The gathered matrix of the block is the kept terms' rows of
  the edges' targets; the fitted rows never change.

For a directed fit (direction "out") this is exact: the new rows equal
rows n.. of a fit of the fitted edges followed by the new edges, bit for
bit, because new nodes have no in-edges and so no fitted row changes. For
an undirected fit it is the usual fold-in approximation: a refit would also
change the rows of the targets (they gain u as a neighbour), which the
kept terms do not see.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

from . import _native_ext
from ._edges import Edges, first_appearance
from ._options import EDGE_WEIGHT_CODES, Options
from ._validation import check_log1p_weights

__all__ = ["KeptTerms", "fit_with_terms", "embed_new_rows"]

# The engine's row-block functions, untyped here: a refusal decides which of their results exist.
_native: Any = _native_ext


@dataclass(frozen=True)
class KeptTerms:
    """What a fit keeps for embedding new nodes: its settings, seed and terms."""

    options: Options  # with the fitted seed
    num_nodes: int
    feature_columns: int | None  # columns of the fit's node features; None without
    terms: tuple[NDArray[np.float32], ...]  # X(0) .. X(g - 1), each num_nodes x dim


@dataclass
class _Block:
    """One row block's rows of the transition; columns: own rows first, then ``halo`` (ascending)."""

    row_ptrs: NDArray[np.int64]
    columns: NDArray[np.int64]
    scales: NDArray[np.float32]
    halo: NDArray[np.int64]


def _block(ids: NDArray[np.int64], sources: NDArray[np.int64], targets: NDArray[np.int64],
           weights: NDArray[np.float64], first: int, count: int, options: Options) -> _Block:
    """The rows [first, first + count) of ids (ascending) of the transition of the edges
    sources -> targets (indices into ids, in the order given)."""
    row_ptrs, columns, scales, refusal = _native.row_block_transition(
        ids, sources, targets, np.ascontiguousarray(weights, dtype=np.float64), first, count,
        undirected=options.undirected, direction=0, edge_weight=EDGE_WEIGHT_CODES[options.edge_weight])
    if refusal is not None:
        raise ValueError(refusal[2])
    own = (columns >= first) & (columns < first + count)
    columns = np.where(own, columns - first, np.where(columns < first, columns + count, columns))
    halo = np.concatenate([ids[:first], ids[first + count:]])
    return _Block(row_ptrs, np.ascontiguousarray(columns, dtype=np.int64), scales, halo)


def _propagate(block: _Block, own: NDArray[np.float32], halo: NDArray[np.float32] | None,
               following: NDArray[np.float32] | None, acc: NDArray[np.float32] | None, weight: float,
               store: bool, normalize: bool) -> None:
    """One propagation of the block over its gathered rows: its own, then the halo's (read where they are)."""
    sources = [own] if halo is None or halo.shape[0] == 0 else [own, halo]
    _native.row_block_propagate(block.row_ptrs, block.columns, block.scales, sources, next=following,
                                accumulator=acc, weight=weight, mode=1 if store else 0, normalize=normalize)


def _rows(block: _Block, first_row: int, rows: int, options: Options, features: NDArray[np.float64] | None,
          peers: Sequence[NDArray[np.float32]] | None, keep: bool
          ) -> tuple[NDArray[np.float32], list[NDArray[np.float32]]]:
    """The block's rows of the embedding, and its terms X(0) .. X(g-1) when ``keep``.

    ``peers[k]`` are the halo's rows of X(k) (None: the block has no halo).
    The accumulation follows the fit: (X0 * w0) + 0.0 first, then each
    non-zero term added in index order; propagations after the last
    non-zero weight are skipped.
    """
    assert options.seed is not None
    weights = options.weights
    dim = options.dim
    nonzero = [i for i, w in enumerate(weights) if w != 0.0]
    x = _native.row_block_start(first_row, rows, dim, options.seed, features, options.feature_weight,
                                block.row_ptrs, options.degree_exponent)
    if not nonzero:
        return np.zeros((rows, dim), dtype=np.float32), []
    last = nonzero[-1]
    acc: NDArray[np.float32] | None = None
    if weights[0] != 0.0:
        acc = np.multiply(x, np.float32(weights[0]))
        acc += np.float32(0.0)  # (x * w) + 0.0, as the fit's first accumulation
    terms: list[NDArray[np.float32]] = []
    for i in range(1, last + 1):
        if keep:
            terms.append(x)
        following = None if i == last else np.empty((rows, dim), dtype=np.float32)
        weight = weights[i]
        store = weight != 0.0 and acc is None
        if store:
            acc = np.empty((rows, dim), dtype=np.float32)
        _propagate(block, x, None if peers is None else peers[i - 1], following,
                   acc if weight != 0.0 else None, weight, store, options.normalization == "l2")
        if following is not None:
            x = following
    assert acc is not None
    return acc, terms


def fit_with_terms(csr: Any, options: Options, features: NDArray[np.float64] | None) -> tuple[
        NDArray[np.float32], KeptTerms]:
    """The embedding of ``csr`` (options with a seed) and the terms kept for new nodes."""
    n = int(csr.num_nodes)
    ids = np.arange(n, dtype=np.int64)
    sources = np.repeat(ids, np.diff(csr.row_ptrs))
    targets = np.ascontiguousarray(csr.col_indices, dtype=np.int64)
    block = _block(ids, sources, targets, csr.values, 0, n, options)
    if features is not None:
        features = np.require(features, dtype=np.float64, requirements=["C", "A"])
    embedding, terms = _rows(block, 0, n, options, features, None, keep=True)
    columns = None if features is None else int(features.shape[1])
    return embedding, KeptTerms(options, n, columns, tuple(terms))


# ---------------------------------------------------------------------------
# New nodes


def _fitted_rows(labels: NDArray[Any], nodes: NDArray[Any]) -> NDArray[np.int64]:
    """The fitted row of each label, -1 for labels that are not fitted nodes."""
    n = nodes.shape[0]
    plain = nodes.dtype == np.int64 and (n == 0 or (nodes[0] == 0 and nodes[-1] == n - 1
                                                    and bool(np.all(np.diff(nodes) == 1))))
    if plain and labels.dtype.kind in "iu":
        values = labels.astype(np.int64, copy=False)
        return np.where((values >= 0) & (values < n), values, -1)
    index = {label: row for row, label in enumerate(nodes.tolist())}
    return np.fromiter((index.get(label, -1) for label in labels.tolist()), dtype=np.int64, count=labels.shape[0])


def _plain(label: Any) -> Any:
    """A label as the caller wrote it (a NumPy scalar as its Python value), for messages."""
    return label.item() if isinstance(label, np.generic) else label


def _as_edges(edges: Any) -> Any:
    if isinstance(edges, Edges):
        return edges
    try:
        return Edges.from_frame(edges)
    except TypeError:
        pass
    raise TypeError(f"edges must be graphripple.Edges or an edge frame, not {type(edges).__name__}")


def embed_new_rows(kept: KeptTerms, nodes: NDArray[Any], edges: Any, node_features: Any = None
                   ) -> tuple[NDArray[np.float32], NDArray[Any]]:
    """(rows of the new nodes, their labels) from ``edges`` new node -> fitted node."""
    from ._embed import _node_features

    edges = _as_edges(edges)
    options = kept.options
    src, dst = edges.src, edges.dst
    weights = edges.weight if edges.weight is not None else np.ones(src.shape[0], dtype=np.float64)
    new_nodes, codes = first_appearance(src)
    fitted = _fitted_rows(new_nodes, nodes)
    if np.any(fitted >= 0):
        label = _plain(new_nodes[int(np.flatnonzero(fitted >= 0)[0])])
        raise ValueError(f"edges: source {label!r} is a node of the fitted graph; embed_new takes the edges "
                         "of nodes that are not in it")
    targets = _fitted_rows(dst, nodes)
    if np.any(targets < 0):
        label = _plain(dst[int(np.flatnonzero(targets < 0)[0])])
        raise ValueError(f"edges: target {label!r} is not a node of the fitted graph")
    if options.edge_weight == "log1p":
        check_log1p_weights(weights, lambda k: f"edge {_plain(src[k])!r} -> {_plain(dst[k])!r} has weight "
                                               f"{float(weights[k])!r}")
    q = int(new_nodes.shape[0])
    features = _new_features(node_features, q, kept.feature_columns, _node_features)
    if q == 0:
        return np.zeros((0, options.dim), dtype=np.float32), new_nodes
    halo = np.unique(targets)
    ids = np.concatenate([halo, np.arange(kept.num_nodes, kept.num_nodes + q, dtype=np.int64)])
    block = _block(ids, codes + halo.shape[0], np.searchsorted(halo, targets), weights, int(halo.shape[0]), q,
                   options)
    peers = [term[block.halo] for term in kept.terms]
    rows, _ = _rows(block, kept.num_nodes, q, options, features, peers, keep=False)
    return rows, new_nodes


def _new_features(value: Any, rows: int, columns: int | None, convert: Any) -> NDArray[np.float64] | None:
    if columns is None:
        if value is not None:
            raise ValueError("node_features: the model was fitted without node features")
        return None
    if value is None:
        raise ValueError(f"node_features: the model was fitted with node features ({columns} columns); give one "
                         "row per new node")
    shape = np.shape(value)
    if len(shape) == 2 and shape[0] != rows:
        raise ValueError(f"node_features has {shape[0]} rows but edges name {rows} new nodes")
    features: NDArray[np.float64] = convert(value, rows)
    if features.shape[1] != columns:
        raise ValueError(f"node_features has {features.shape[1]} columns but the model was fitted with {columns}")
    return np.require(features, dtype=np.float64, requirements=["C", "A"])
