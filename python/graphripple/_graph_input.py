"""Graphs as people hold them, turned into the CSR arrays of ``fit_csr``.

``to_csr`` accepts a ``scipy.sparse`` array or matrix, a networkx graph, a
2-D NumPy array (dense adjacency) or an :class:`~graphripple.edges.Edges` value and returns a
:class:`CsrInput`: int64 ``row_ptrs`` and ``col_indices``, float64
``values``, the node count and the label of each row. The arrays are handed
to the native core as they are; it sorts each row and sums repeated pairs
itself, so every entry of the caller's graph reaches it in stored order.

What each kind becomes:

- scipy.sparse: every stored entry is an edge, explicit zeros included (they
  count toward their row's entry count when ``undirected`` is false and are
  dropped by the symmetrisation otherwise); repeated pairs are summed. A CSR
  matrix with int64 indices and float64 data is passed without a copy.
- dense array: element (r, c) is the edge r -> c when it is not equal to 0.0
  (NaN is an edge, -0.0 is not), exactly as ``fit_dense`` reads it.
- networkx: rows in ``list(G)`` order, edge attribute ``weight`` (default 1).
  A directed graph gives each edge once, in its own direction. An undirected
  graph gives each edge once when ``undirected`` is true (the fit adds the
  reverse, so the weight between u and v is w) and in both directions when it
  is false; a self loop is stored once either way. Parallel edges of a
  multigraph are summed.
- igraph: rows in vertex order, labelled by the vertex attribute ``name``
  when there is one; edge attribute ``weight`` (an edge without a value,
  1). Directed and undirected graphs give their edges as networkx graphs do,
  so that equal graphs give equal bytes.
- Edges: one entry per edge, in the order given.
- a pandas or polars DataFrame or a pyarrow Table: ``Edges.from_frame`` with
  the columns ``source`` and ``target``, and ``weight`` when there is one
  (the column names networkx uses for edge lists).

NaN and infinite weights are passed on unchanged, as the native functions
accept them. Importing this module imports none of the packages above.
"""

from __future__ import annotations

import numbers
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _native_ext
from ._frame_columns import frame_kind
from ._edges import Edges, sparse_ids_problem
from ._validation import check_real_dtype

__all__ = ["CsrInput", "to_csr", "ACCEPTED_KINDS"]

ACCEPTED_KINDS = (
    "a scipy.sparse array or matrix, a networkx Graph/DiGraph/MultiGraph, an igraph Graph, "
    "a 2-D NumPy array (dense adjacency), graphripple.Edges, or a pandas/polars DataFrame or "
    "pyarrow Table with columns 'source', 'target' and optionally 'weight'"
)


@dataclass(frozen=True, eq=False)
class CsrInput:
    """A graph as the arrays ``fit_csr`` takes, plus the label of each row.

    ``row_ptrs`` and ``col_indices`` are int64, ``values`` float64, all
    one-dimensional and contiguous; rows may be unsorted and hold repeated
    columns (the native core merges them). ``nodes`` has ``num_nodes``
    elements: the networkx node or ``Edges`` label of each row, or the row
    numbers 0..n-1 for graphs without labels.
    """

    row_ptrs: NDArray[np.int64]
    col_indices: NDArray[np.int64]
    values: NDArray[np.float64]
    num_nodes: int
    nodes: NDArray[Any]

    @property
    def num_entries(self) -> int:
        """Number of stored entries (before the native merge of repeats)."""
        return int(self.col_indices.shape[0])


# ---------------------------------------------------------------------------
# Conversion

def to_csr(graph: Any, *, undirected: bool = True) -> CsrInput:
    """Convert ``graph`` to :class:`CsrInput` (see the module docstring).

    ``undirected`` matters only for undirected networkx and igraph graphs, whose edges
    are given once when the fit will add the reverse direction and in both
    directions when it will not.
    """
    if isinstance(graph, CsrInput):
        return graph
    if isinstance(graph, Edges):
        return _from_edges(graph)
    if isinstance(graph, np.ndarray):
        return _from_dense(graph)
    if _is_scipy_sparse(graph):
        return _from_scipy(graph)
    if _is_networkx_graph(graph):
        return _from_networkx(graph, undirected=undirected)
    if _is_igraph_graph(graph):
        return _from_igraph(graph, undirected=undirected)
    if frame_kind(graph) is not None:
        return _from_edges(Edges.from_frame(graph))
    raise TypeError(f"graph must be {ACCEPTED_KINDS}; got {type(graph).__module__}.{type(graph).__qualname__}")


def _is_scipy_sparse(graph: Any) -> bool:
    # Only ask scipy when the object comes from it, so that scipy is never
    # imported on behalf of other kinds.
    if not type(graph).__module__.startswith("scipy."):
        return False
    import scipy.sparse

    return bool(scipy.sparse.issparse(graph))


def _is_networkx_graph(graph: Any) -> bool:
    for klass in type(graph).__mro__:
        if klass.__module__.startswith("networkx.") and klass.__name__ == "Graph":
            return True
    return False


def _from_scipy(matrix: Any) -> CsrInput:
    shape = tuple(int(s) for s in matrix.shape)
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"graph must be a square adjacency matrix, got shape {shape}")
    n = shape[0]
    check_real_dtype(matrix.dtype, "graph")
    fmt = matrix.format
    if fmt == "coo":
        row = np.asarray(matrix.row if hasattr(matrix, "row") else matrix.coords[0])
        col = np.asarray(matrix.col if hasattr(matrix, "col") else matrix.coords[1])
        return _from_coo(row, col, np.asarray(matrix.data), n, np.arange(n, dtype=np.int64))
    if fmt != "csr":
        matrix = matrix.tocsr()
    row_ptrs = _int64(matrix.indptr)
    col_indices = _int64(matrix.indices)
    values = _float64(matrix.data)
    # A CSR matrix may keep slack beyond indptr[-1] in its arrays.
    nnz = int(row_ptrs[-1]) if row_ptrs.size else 0
    if col_indices.shape[0] != nnz:
        col_indices = col_indices[:nnz]
        values = values[:nnz]
    return CsrInput(row_ptrs, col_indices, values, n, np.arange(n, dtype=np.int64))


def _from_dense(matrix: NDArray[Any]) -> CsrInput:
    matrix = np.asarray(matrix)  # numpy.matrix indexes to 2-D; a plain array does not
    if matrix.ndim != 2:
        raise ValueError(f"graph: a NumPy array must be a 2-D dense adjacency matrix, got {matrix.ndim}-D")
    if matrix.shape[0] != matrix.shape[1]:
        raise ValueError(f"graph must be a square adjacency matrix, got shape {matrix.shape}")
    check_real_dtype(matrix.dtype, "graph")
    n = int(matrix.shape[0])
    present = matrix != 0  # NaN is an edge, +0.0 and -0.0 are not
    counts = np.count_nonzero(present, axis=1)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=row_ptrs[1:])
    col_indices = _int64(np.nonzero(present)[1])
    values = np.ascontiguousarray(matrix[present], dtype=np.float64)
    return CsrInput(row_ptrs, col_indices, values, n, np.arange(n, dtype=np.int64))


def _from_networkx(graph: Any, *, undirected: bool) -> CsrInput:
    nodes = list(graph)
    n = len(nodes)
    index = {node: i for i, node in enumerate(nodes)}
    multi = graph.is_multigraph()
    both_ways = not graph.is_directed() and not undirected
    src: list[int] = []
    dst: list[int] = []
    weights: list[float] = []
    edges = graph.edges(keys=False, data="weight", default=1) if multi else graph.edges(data="weight", default=1)
    for u, v, w in edges:
        i = index[u]
        j = index[v]
        weight = _edge_weight(w, u, v)
        src.append(i)
        dst.append(j)
        weights.append(weight)
        if both_ways and i != j:
            src.append(j)
            dst.append(i)
            weights.append(weight)
    labels = np.empty(n, dtype=object)
    labels[:] = nodes if n else []
    return _from_coo(
        np.asarray(src, dtype=np.int64),
        np.asarray(dst, dtype=np.int64),
        np.asarray(weights, dtype=np.float64),
        n,
        _compact_labels(labels),
    )


def _is_igraph_graph(graph: Any) -> bool:
    for klass in type(graph).__mro__:
        if klass.__module__.split(".")[0] == "igraph" and klass.__name__ == "Graph":
            return True
    return False


def _from_igraph(graph: Any, *, undirected: bool) -> CsrInput:
    n = int(graph.vcount())
    pairs = np.asarray(graph.get_edgelist(), dtype=np.int64).reshape(-1, 2)
    src, dst = pairs[:, 0], pairs[:, 1]
    if "weight" in graph.es.attributes():
        weights = _igraph_weights(graph.es["weight"], pairs)
    else:
        weights = np.ones(src.shape[0], dtype=np.float64)
    if not graph.is_directed() and not undirected:
        # Both directions, each edge's reverse right after it (as networkx
        # gives them); a self loop once.
        m = src.shape[0]
        keep = np.ones(2 * m, dtype=bool)
        keep[1::2] = src != dst
        src, dst = _interleave(src, dst)[keep], _interleave(dst, src)[keep]
        weights = _interleave(weights, weights)[keep]
    if "name" in graph.vs.attributes():
        labels = np.empty(n, dtype=object)
        labels[:] = graph.vs["name"] if n else []
        nodes = _compact_labels(labels)
    else:
        nodes = np.arange(n, dtype=np.int64)
    return _from_coo(src, dst, weights, n, nodes)


def _interleave(a: NDArray[Any], b: NDArray[Any]) -> NDArray[Any]:
    both = np.empty(2 * a.shape[0], dtype=a.dtype)
    both[0::2] = a
    both[1::2] = b
    return both


def _igraph_weights(values: list[Any], pairs: NDArray[np.int64]) -> NDArray[np.float64]:
    array = np.asarray(values) if values else np.zeros(0, dtype=np.float64)
    if array.dtype.kind in "iuf":
        return np.ascontiguousarray(array, dtype=np.float64)
    # An edge added without a weight holds None: 1, networkx's default.
    return np.fromiter(
        (1.0 if w is None else _edge_weight(w, int(pairs[k, 0]), int(pairs[k, 1])) for k, w in enumerate(values)),
        dtype=np.float64, count=len(values),
    )


def _edge_weight(w: Any, u: Any, v: Any) -> float:
    if isinstance(w, (bool, np.bool_)) or not isinstance(w, (numbers.Real, np.number)) or isinstance(
        w, np.complexfloating
    ):
        raise TypeError(f"graph: edge ({u!r}, {v!r}) has a non-numeric 'weight' attribute {w!r}")
    return float(w)


def _from_edges(edges: Edges) -> CsrInput:
    if not edges.is_labelled:
        src = edges.src
        dst = edges.dst
        if edges.num_nodes is not None:
            n = edges.num_nodes
        else:
            n = max(int(src.max()), int(dst.max())) + 1 if src.size else 0
            problem = sparse_ids_problem(n, int(src.size))
            if problem is not None:
                # Ids such as user numbers would give mostly empty rows and
                # allocate n of everything: ask before doing that.
                raise ValueError(
                    f"{problem}; pass num_nodes to confirm, or make the ids labels "
                    "(Edges(src.astype(object), dst.astype(object)))"
                )
        nodes: NDArray[Any] = np.arange(n, dtype=np.int64)
    else:
        nodes, src, dst = edges._label_rows()
        n = int(nodes.shape[0])
    weight = edges.weight if edges.weight is not None else np.ones(src.shape[0], dtype=np.float64)
    return _from_coo(src, dst, weight, n, nodes)


def _from_coo(
    row: NDArray[Any], col: NDArray[Any], data: NDArray[Any], n: int, nodes: NDArray[Any]
) -> CsrInput:
    """CSR arrays of the entries (row[k], col[k], data[k]), each row keeping the given order."""
    row64 = _int64(row)
    col64 = _int64(col)
    values = _float64(data)
    if row64.size > 1 and bool(np.any(row64[1:] < row64[:-1])):
        # A stable counting sort on every core: an argsort and two gathers
        # took over a second for ten million edges.
        row_ptrs, col64, values = _native_ext.group_edges(
            np.ascontiguousarray(row64), np.ascontiguousarray(col64), np.ascontiguousarray(values), n)
        return CsrInput(row_ptrs, col64, values, n, nodes)
    counts = np.bincount(row64, minlength=n) if row64.size else np.zeros(n, dtype=np.int64)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=row_ptrs[1:])
    return CsrInput(row_ptrs, np.ascontiguousarray(col64), np.ascontiguousarray(values), n, nodes)


def _compact_labels(labels: NDArray[Any]) -> NDArray[Any]:
    """Labels as a typed array when they are all ints or all strings, else objects."""
    if labels.size == 0:
        return labels
    items = labels.tolist()
    if all(type(x) is int for x in items):
        try:
            return np.asarray(items, dtype=np.int64)
        except OverflowError:
            return labels
    if all(type(x) is str for x in items):
        return np.asarray(items, dtype=str)
    return labels




def _int64(array: Any) -> NDArray[np.int64]:
    return np.ascontiguousarray(array, dtype=np.int64)


def _float64(array: Any) -> NDArray[np.float64]:
    return np.ascontiguousarray(array, dtype=np.float64)
