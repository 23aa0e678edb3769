"""Graphs as people hold them, turned into the CSR arrays of ``fit_csr``.

``to_csr`` accepts a ``scipy.sparse`` array or matrix, a networkx graph, a
2-D NumPy array (dense adjacency) or an :class:`Edges` value and returns a
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
- Edges: one entry per edge, in the order given.

NaN and infinite weights are passed on unchanged, as the native functions
accept them. Importing this module imports neither scipy nor networkx.
"""

from __future__ import annotations

import numbers
from dataclasses import dataclass
from typing import Any, Hashable, Iterable

from .options import non_negative_int

import numpy as np
from numpy.typing import NDArray

__all__ = ["CsrInput", "Edges", "to_csr", "ACCEPTED_KINDS"]

ACCEPTED_KINDS = (
    "a scipy.sparse array or matrix, a networkx Graph/DiGraph/MultiGraph, "
    "a 2-D NumPy array (dense adjacency) or graphripple.Edges"
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


class Edges:
    """Edge arrays: ``src[k] -> dst[k]`` with weight ``weight[k]`` (default 1).

    ``src`` and ``dst`` hold either integer node ids 0..n-1 (both of an
    integer dtype, or Python ints) or any hashable labels, such as strings;
    labels are given rows in order of first appearance, reading the edges in
    order and each edge's source before its target. ``num_nodes`` may only
    be given with integer ids and must exceed every id; nodes without edges
    then still get a row.
    """

    __slots__ = ("src", "dst", "weight", "num_nodes")

    src: NDArray[Any]
    dst: NDArray[Any]
    weight: NDArray[np.float64] | None
    num_nodes: int | None

    def __init__(
        self,
        src: Iterable[Any],
        dst: Iterable[Any],
        weight: Iterable[float] | None = None,
        num_nodes: int | None = None,
    ) -> None:
        src_array = _endpoint_array(src, "src")
        dst_array = _endpoint_array(dst, "dst")
        if src_array.shape != dst_array.shape:
            raise ValueError(
                f"src and dst must have the same length, got {src_array.shape[0]} and {dst_array.shape[0]}"
            )
        weight_array: NDArray[np.float64] | None = None
        if weight is not None:
            weight_array = _real_vector(weight, "weight")
            if weight_array.shape[0] != src_array.shape[0]:
                raise ValueError(
                    f"weight must have one value per edge ({src_array.shape[0]}), got {weight_array.shape[0]}"
                )
        ids = _is_integer_ids(src_array) and _is_integer_ids(dst_array)
        count: int | None = None
        if num_nodes is not None:
            count = non_negative_int(num_nodes, "num_nodes")
            if not ids:
                raise ValueError("num_nodes can only be given with integer node ids, not with labels")
        if ids:
            src_array = src_array.astype(np.int64, copy=False)
            dst_array = dst_array.astype(np.int64, copy=False)
            for name, array in (("src", src_array), ("dst", dst_array)):
                if array.size and int(array.min()) < 0:
                    raise ValueError(f"{name} holds a negative node id ({int(array.min())})")
            if count is not None and src_array.size:
                largest = max(int(src_array.max()), int(dst_array.max()))
                if largest >= count:
                    raise ValueError(f"node id {largest} is out of range for num_nodes={count}")
        object.__setattr__(self, "src", src_array)
        object.__setattr__(self, "dst", dst_array)
        object.__setattr__(self, "weight", weight_array)
        object.__setattr__(self, "num_nodes", count)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Edges is immutable")

    @classmethod
    def from_edge_index(cls, edge_index: Any, num_nodes: int | None = None, weight: Any = None) -> Edges:
        """Edges from an integer ``edge_index`` of shape (2, m): row 0 sources, row 1 targets.

        Any array-like works, including a PyTorch tensor (moved to the CPU
        and read through its ``numpy()`` method; torch is never imported).
        """
        array = _as_numpy(edge_index)
        if array.ndim != 2 or array.shape[0] != 2:
            raise ValueError(f"edge_index must have shape (2, m), got {tuple(array.shape)}")
        if not _is_integer_ids(array):
            raise TypeError(f"edge_index must hold integer node ids, not {array.dtype}")
        return cls(array[0], array[1], weight=None if weight is None else _as_numpy(weight), num_nodes=num_nodes)

    def __len__(self) -> int:
        return int(self.src.shape[0])

    def __reduce__(self) -> tuple[Any, ...]:
        # __setattr__ refuses assignments, so pickling goes through __init__.
        return (Edges, (self.src, self.dst, self.weight, self.num_nodes))

    def __repr__(self) -> str:
        kind = "ids" if self.src.dtype == np.int64 else "labels"
        return f"Edges({len(self)} edges, {kind}, num_nodes={self.num_nodes})"

    @property
    def is_labelled(self) -> bool:
        """True when the endpoints are labels rather than integer ids."""
        return not (self.src.dtype == np.int64 and self.dst.dtype == np.int64)


# ---------------------------------------------------------------------------
# Conversion

# Integer ids above this many rows, with over this many rows per edge, need
# an explicit num_nodes.
_SPARSE_ID_LIMIT = 1 << 20
_SPARSE_ID_RATIO = 100


def to_csr(graph: Any, *, undirected: bool = True) -> CsrInput:
    """Convert ``graph`` to :class:`CsrInput` (see the module docstring).

    ``undirected`` matters only for undirected networkx graphs, whose edges
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
    _check_real_dtype(matrix.dtype, "graph")
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
    _check_real_dtype(matrix.dtype, "graph")
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
            if n > _SPARSE_ID_LIMIT and n > _SPARSE_ID_RATIO * src.size:
                # Ids such as user numbers would give mostly empty rows and
                # allocate n of everything: ask before doing that.
                raise ValueError(
                    f"node ids reach {n - 1} with only {src.size} edges, so most of the {n} rows would be "
                    "nodes without edges; pass num_nodes to confirm, or make the ids labels "
                    "(Edges(src.astype(object), dst.astype(object)))"
                )
        nodes: NDArray[Any] = np.arange(n, dtype=np.int64)
    else:
        nodes, src, dst = _label_rows(edges.src, edges.dst)
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
    counts = np.bincount(row64, minlength=n) if row64.size else np.zeros(n, dtype=np.int64)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(counts, out=row_ptrs[1:])
    if row64.size > 1 and bool(np.any(row64[1:] < row64[:-1])):
        order = np.argsort(row64, kind="stable")
        col64 = col64[order]
        values = values[order]
    return CsrInput(row_ptrs, np.ascontiguousarray(col64), np.ascontiguousarray(values), n, nodes)


# ---------------------------------------------------------------------------
# Labels


def _label_rows(src: NDArray[Any], dst: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]]:
    """Rows for labels in order of first appearance (src[0], dst[0], src[1], ...)."""
    m = src.shape[0]
    if src.dtype.kind in "US" and src.dtype.kind == dst.dtype.kind:
        both = np.empty(2 * m, dtype=np.result_type(src.dtype, dst.dtype))
    else:
        both = np.empty(2 * m, dtype=object)
    both[0::2] = src
    both[1::2] = dst
    encoded = _arrow_encode(both) if m >= _ARROW_MIN_EDGES else None
    if encoded is not None:
        labels, codes = encoded
        return labels, codes[0::2].copy(), codes[1::2].copy()
    try:
        uniques, first, inverse = np.unique(both, return_index=True, return_inverse=True)
    except TypeError:
        # Labels of types that do not sort together (say ints and strings):
        # one dictionary pass instead.
        rows: dict[Hashable, int] = {}
        codes = np.fromiter(
            (rows.setdefault(label, len(rows)) for label in both.tolist()), dtype=np.int64, count=2 * m
        )
        labels = np.empty(len(rows), dtype=object)
        labels[:] = list(rows)
        return labels, codes[0::2].copy(), codes[1::2].copy()
    order = np.argsort(first, kind="stable")
    rank = np.empty(order.shape[0], dtype=np.int64)
    rank[order] = np.arange(order.shape[0], dtype=np.int64)
    codes = rank[inverse.reshape(-1)]
    return uniques[order], codes[0::2].copy(), codes[1::2].copy()


# Below this many edges sorting the labels is quicker than importing pyarrow.
_ARROW_MIN_EDGES = 50_000


def _arrow_encode(both: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64]] | None:
    """pyarrow's hash-based dictionary encoding (codes in order of first appearance), if installed."""
    if both.dtype.kind not in "US":
        return None
    try:
        import pyarrow
    except ImportError:
        return None
    encoded = pyarrow.array(both).dictionary_encode()
    if isinstance(encoded, pyarrow.ChunkedArray):
        encoded = encoded.combine_chunks()
    codes = np.asarray(encoded.indices.to_numpy(zero_copy_only=False), dtype=np.int64)
    labels = encoded.dictionary.to_numpy(zero_copy_only=False).astype(both.dtype)
    return labels, codes


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


# ---------------------------------------------------------------------------
# Small conversions shared with the front door


def _as_numpy(value: Any) -> NDArray[Any]:
    """An ndarray of ``value``; tensors are detached and moved to the CPU first."""
    if isinstance(value, np.ndarray):
        return value
    for step in ("detach", "cpu"):
        method = getattr(value, step, None)
        if callable(method) and not isinstance(value, np.ndarray):
            value = method()
    to_numpy = getattr(value, "numpy", None)
    if callable(to_numpy) and not isinstance(value, np.ndarray):
        value = to_numpy()
    return np.asarray(value)


def _endpoint_array(values: Any, name: str) -> NDArray[Any]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of node ids or labels, not {type(values).__name__}")
    if isinstance(values, np.ndarray) or hasattr(values, "__array__") or hasattr(values, "numpy"):
        array = _as_numpy(values)
    else:
        items = list(values)
        if all(type(x) is int or isinstance(x, np.integer) for x in items):
            try:
                array = np.asarray(items, dtype=np.int64) if items else np.zeros(0, dtype=np.int64)
            except OverflowError:
                raise ValueError(f"{name} holds a node id outside the int64 range") from None
        elif all(isinstance(x, str) for x in items):
            array = np.asarray(items, dtype=str)
        else:
            array = np.empty(len(items), dtype=object)
            array[:] = items
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    kind = array.dtype.kind
    if kind in "fcb" or kind in "mMV":
        raise TypeError(
            f"{name} must hold integer node ids or hashable labels such as strings, not {array.dtype}"
        )
    if kind == "O":
        for x in array.tolist():
            if isinstance(x, float) or not isinstance(x, Hashable):
                raise TypeError(
                    f"{name} must hold integer node ids or hashable labels such as strings, "
                    f"not {type(x).__name__} {x!r}"
                )
    return array


def _is_integer_ids(array: NDArray[Any]) -> bool:
    return array.dtype.kind in "iu"


def _real_vector(values: Any, name: str) -> NDArray[np.float64]:
    array = _as_numpy(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    _check_real_dtype(array.dtype, name)
    return np.ascontiguousarray(array, dtype=np.float64)


def _check_real_dtype(dtype: np.dtype[Any], name: str) -> None:
    if dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {dtype}")


def _int64(array: Any) -> NDArray[np.int64]:
    return np.ascontiguousarray(array, dtype=np.int64)


def _float64(array: Any) -> NDArray[np.float64]:
    return np.ascontiguousarray(array, dtype=np.float64)


