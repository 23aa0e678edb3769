"""Nearest rows of an embedding: ``most_similar`` and ``knn_graph``.

Scores, larger meaning more similar, are float32 and computed as follows
(``@`` is a float32 matrix product through NumPy's BLAS; row norms are
summed in float64 and then rounded to float32):

- ``"dot"``: ``a @ b``.
- ``"cosine"``: ``(a * ra) @ (b * rb)`` with ``r = float32(1 / sqrt(|x|**2))``
  for each row; a row of zeros has ``r = 0``, so its scores are all 0.
- ``"euclidean"``: ``-sqrt(max(|a|**2 + |b|**2 - 2 * (a @ b), 0))``, the
  negated distance. Through this expansion two equal rows may come out at
  a small positive distance (of the order of sqrt(float32 eps) * |a|).

The ``k`` results of each query row are exactly the best ``k`` by
(decreasing score, increasing row index) over those float32 scores, in that
order; they do not depend on how the work is split into blocks. The
embedding must be finite with row norms below about 9e18, so that no score
overflows float32 and every score is finite.

The embedding is used as C-ordered float32 (copied once when it is not
already). The work goes one block of query rows by one block of candidate
rows at a time, so memory beyond that matrix and the results stays at a few
tens of megabytes for any number of rows. Results depend on the BLAS's
float32 products, which a different BLAS may round differently.
"""

from __future__ import annotations

import importlib
import math
import operator
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._validation import boolean, embedding_matrix

if TYPE_CHECKING:
    from scipy.sparse import csr_array

__all__ = ["most_similar", "knn_graph", "METRICS", "label_row"]

METRICS = ("cosine", "dot", "euclidean")

# Scores per block (query rows x candidate rows): 2M float32 is 8 MB, and the
# index arrays of a block with many tied scores stay within a few tens of MB.
_BLOCK_ELEMENTS = 1 << 21
_MAX_QUERY_ROWS = 1024
# Rows per step when summing squared norms in float64.
_NORM_ROWS = 8192
# Largest squared row norm: |a|^2 + |b|^2 + 2|a.b| stays below float32's maximum.
_MAX_SQUARED_NORM = float(np.finfo(np.float32).max) / 4

# HNSW settings of method="faiss": graph degree, build and search breadth.
_HNSW_M = 32
_HNSW_EF_CONSTRUCTION = 200
_HNSW_EF_SEARCH = 128


def most_similar(
    embedding: ArrayLike,
    query: ArrayLike,
    k: int = 10,
    *,
    metric: str = "cosine",
    exclude_self: bool = True,
) -> tuple[NDArray[np.int64], NDArray[np.float32]]:
    """The ``k`` rows of ``embedding`` most similar to each row in ``query``.

    ``query`` is a row index or a 1-D sequence of row indices. Returns
    ``(indices, scores)``, int64 and float32 arrays of shape
    ``(len(query), k)`` (one row for a single index), each row ordered by
    decreasing score, ties by lower index. With ``exclude_self`` a query's
    own row is left out. When ``k`` reaches the number of candidates, all of
    them are returned (``n - 1`` with ``exclude_self``, else ``n``).
    """
    exclude_self = boolean(exclude_self, "exclude_self")
    matrix, factor = _prepare(embedding, metric)
    n = matrix.shape[0]
    rows = _query_rows(query, n)
    width = _result_width(k, n, exclude_self)
    return _search(matrix, factor, rows, width, metric, exclude_self)


def knn_graph(
    embedding: ArrayLike, k: int = 10, *, metric: str = "cosine", method: str = "exact"
) -> csr_array:
    """The ``k`` nearest other rows of every row, as an n x n ``scipy.sparse.csr_array``.

    Row ``i`` stores the scores of its ``min(k, n - 1)`` nearest other rows
    (a score of 0 is stored too), columns in increasing order. ``"exact"``
    selects as :func:`most_similar` does; ``"faiss"`` searches an HNSW index
    (needs ``pip install faiss-cpu``) and scores the neighbours it finds
    with the formulas above, so its rows may miss some true neighbours and
    may hold fewer than ``k`` entries.
    """
    if method not in ("exact", "faiss"):
        raise ValueError(f"method must be 'exact' or 'faiss', not {method!r}")
    try:
        from scipy.sparse import csr_array
    except ImportError:
        raise ImportError("knn_graph needs scipy: pip install scipy (or graphripple[scipy])") from None
    matrix, factor = _prepare(embedding, metric)
    n = matrix.shape[0]
    width = _result_width(k, n, True)
    if method == "faiss":
        indices, scores = _faiss_search(matrix, factor, width, metric)
    else:
        indices, scores = _search(matrix, factor, np.arange(n, dtype=np.int64), width, metric, True)
    # Canonical CSR: columns ascending within each row, rows found short by faiss included.
    valid = indices >= 0
    order = np.argsort(np.where(valid, indices, n), axis=1, kind="stable")
    indices = np.take_along_axis(indices, order, 1)
    scores = np.take_along_axis(scores, order, 1)
    keep = np.take_along_axis(valid, order, 1)
    index_type = np.int32 if n * max(width, 1) < 2**31 else np.int64
    indptr = np.zeros(n + 1, dtype=index_type)
    np.cumsum(keep.sum(axis=1), out=indptr[1:])
    return csr_array((scores[keep], indices[keep].astype(index_type), indptr), shape=(n, n))


def label_row(nodes: NDArray[Any], label: Any) -> int:
    """The first row whose label equals ``label``; KeyError naming it when none does."""
    kind = nodes.dtype.kind
    if kind in "iu" and not isinstance(label, (bool, np.bool_)):
        try:
            value = operator.index(label)
        except TypeError:
            value = None
        if value is not None:
            hits = np.flatnonzero(nodes == value) if _fits(nodes.dtype, value) else np.empty(0, np.intp)
            if hits.size:
                return int(hits[0])
            raise KeyError(f"no node {label!r}")
    elif kind in "US" and isinstance(label, (str, bytes)) and (kind == "U") == isinstance(label, str):
        hits = np.flatnonzero(nodes == label)
        if hits.size:
            return int(hits[0])
        raise KeyError(f"no node {label!r}")
    elif kind == "O":
        for row, value in enumerate(nodes.tolist()):
            try:
                if bool(value == label):
                    return row
            except Exception:  # labels that refuse comparison are simply not equal
                continue
    raise KeyError(f"no node {label!r}")


# ---------------------------------------------------------------------------
# Checks and preparation


def _fits(dtype: np.dtype[Any], value: int) -> bool:
    info = np.iinfo(dtype)
    return info.min <= value <= info.max


def _prepare(embedding: ArrayLike, metric: str) -> tuple[NDArray[np.float32], NDArray[np.float32]]:
    """The embedding as C-ordered float32 and its per-row factor: 1/|x| (cosine),
    |x|^2 (euclidean) or nothing (dot)."""
    if metric not in METRICS:
        raise ValueError(f"metric must be one of {', '.join(map(repr, METRICS))}, not {metric!r}")
    matrix = embedding_matrix(embedding)
    n = matrix.shape[0]
    squared = np.empty(n, dtype=np.float64)
    for start in range(0, n, _NORM_ROWS):
        chunk = matrix[start : start + _NORM_ROWS].astype(np.float64)
        np.einsum("ij,ij->i", chunk, chunk, out=squared[start : start + _NORM_ROWS])
    bad = np.flatnonzero(~(squared < _MAX_SQUARED_NORM))
    if bad.size:
        row = int(bad[0])
        if not np.isfinite(matrix[row]).all():
            raise ValueError(f"embedding holds a non-finite value in row {row}")
        raise ValueError(f"embedding row {row} is too large for float32 scores (norm {math.sqrt(squared[row]):.3g})")
    if metric == "cosine":
        with np.errstate(divide="ignore"):
            factor = np.where(squared > 0, 1.0 / np.sqrt(squared), 0.0).astype(np.float32)
    elif metric == "euclidean":
        factor = squared.astype(np.float32)
    else:
        factor = np.empty(0, dtype=np.float32)
    return matrix, factor


def _query_rows(query: ArrayLike, n: int) -> NDArray[np.int64]:
    array = np.asarray(query)
    if array.ndim > 1:
        raise ValueError(f"query must be a row index or a 1-D sequence of them, got shape {array.shape}")
    if array.size and array.dtype.kind not in "iu":
        raise TypeError(f"query must hold integer row indices, not {array.dtype}")
    flat = array.reshape(-1)
    bad = np.flatnonzero((flat < 0) | (flat >= n)) if flat.size else flat
    if bad.size:
        raise ValueError(f"query row {flat[bad[0]]} is out of range for {n} rows")
    return flat.astype(np.int64)


def _result_width(k: int, n: int, exclude_self: bool) -> int:
    if isinstance(k, (bool, np.bool_)):
        raise TypeError("k must be an integer, not bool")
    try:
        value = operator.index(k)
    except TypeError:
        raise TypeError(f"k must be an integer, not {type(k).__name__}") from None
    if value < 1:
        raise ValueError(f"k must be at least 1, got {value}")
    return min(value, n - 1 if exclude_self else n) if n else 0


# ---------------------------------------------------------------------------
# Exact search


def _scores(
    queries: NDArray[np.float32], q_rows: slice | NDArray[np.int64], start: int, stop: int,
    matrix: NDArray[np.float32], factor: NDArray[np.float32], metric: str,
) -> NDArray[np.float32]:
    candidates = matrix[start:stop]
    if metric == "cosine":
        candidates = candidates * factor[start:stop, None]
    scores: NDArray[np.float32] = queries @ candidates.T
    if metric == "euclidean":
        scores *= np.float32(-2.0)
        scores += factor[q_rows][:, None]
        scores += factor[None, start:stop]
        np.maximum(scores, 0, out=scores)
        np.sqrt(scores, out=scores)
        np.negative(scores, out=scores)
    return scores


def _search(
    matrix: NDArray[np.float32], factor: NDArray[np.float32], rows: NDArray[np.int64],
    width: int, metric: str, exclude_self: bool,
) -> tuple[NDArray[np.int64], NDArray[np.float32]]:
    n = matrix.shape[0]
    indices = np.full((rows.size, width), -1, dtype=np.int64)
    scores = np.full((rows.size, width), -np.inf, dtype=np.float32)
    if width == 0 or rows.size == 0:
        return indices, scores
    # Bounded: the scores (q_block x c_block) and the row copies (q_block or c_block x dim).
    dim = matrix.shape[1]
    q_block = max(1, min(rows.size, _MAX_QUERY_ROWS, _BLOCK_ELEMENTS // max(8, dim)))
    c_block = max(1, _BLOCK_ELEMENTS // max(q_block, dim))
    for q_start in range(0, rows.size, q_block):
        block_rows = rows[q_start : q_start + q_block]
        queries = matrix[block_rows]
        if metric == "cosine":
            queries *= factor[block_rows, None]
        best_i = indices[q_start : q_start + q_block]
        best_s = scores[q_start : q_start + q_block]
        for c_start in range(0, n, c_block):
            c_stop = min(n, c_start + c_block)
            block = _scores(queries, block_rows, c_start, c_stop, matrix, factor, metric)
            if exclude_self:
                mine = np.flatnonzero((block_rows >= c_start) & (block_rows < c_stop))
                block[mine, block_rows[mine] - c_start] = -np.inf
            r, c = _block_candidates(block, best_i, best_s, width)
            _merge(best_i, best_s, r, c + c_start, block[r, c], width)
    return indices, scores


def _block_candidates(
    block: NDArray[np.float32], best_i: NDArray[np.int64], best_s: NDArray[np.float32], width: int
) -> tuple[NDArray[np.intp], NDArray[np.intp]]:
    """Positions in ``block`` that may enter the best ``width`` of their row.

    Candidates come in increasing index order, after every row already in
    ``best``, so one tied with a row's current last loses and only strictly
    better scores are kept. Excluded entries hold -inf and never qualify.
    """
    rows, columns = block.shape
    full = best_i[:, width - 1] >= 0
    threshold = np.where(full, best_s[:, width - 1], -np.inf).astype(np.float32)
    better = block > threshold[:, None]
    count = np.count_nonzero(better)
    take = min(width, columns)
    if count <= 4 * rows * take + 64:
        return np.divmod(np.flatnonzero(better), columns)
    # Too many: only this block's best `take` per row (ties by lower index) can enter.
    del better
    kth = np.partition(block, columns - take, axis=1)[:, columns - take]
    kth = np.maximum(kth, threshold)
    above = block > kth[:, None]
    need = take - np.count_nonzero(above, axis=1)
    flat_above = np.flatnonzero(above)
    del above
    tied = block == kth[:, None]
    tied &= np.isfinite(kth)[:, None]
    tied &= (kth > threshold)[:, None]
    flat_tied = np.flatnonzero(tied)
    del tied
    r_tied = flat_tied // columns
    first = np.searchsorted(r_tied, np.arange(rows))
    rank = np.arange(r_tied.size) - first[r_tied]
    keep = rank < need[r_tied]
    return np.divmod(np.sort(np.concatenate([flat_above, flat_tied[keep]])), columns)


def _merge(
    best_i: NDArray[np.int64], best_s: NDArray[np.float32], r: NDArray[np.intp],
    index: NDArray[Any], score: NDArray[np.float32], width: int,
) -> None:
    """Fold candidates (row r, index, score), rows ascending, into the per-row best lists in place."""
    if r.size == 0:
        return
    # Only the rows that have candidates take part.
    touched = r[np.flatnonzero(np.r_[True, r[1:] != r[:-1]])]
    local = np.searchsorted(touched, r)
    held_i = best_i[touched]
    held_s = best_s[touched]
    held_r, held_c = np.divmod(np.flatnonzero(held_i >= 0), width)
    rows = np.concatenate([held_r, local])
    indices = np.concatenate([held_i[held_r, held_c], index.astype(np.int64)])
    scores = np.concatenate([held_s[held_r, held_c], score.astype(np.float32)])
    order = np.lexsort((indices, -scores, rows))
    rows, indices, scores = rows[order], indices[order], scores[order]
    first = np.searchsorted(rows, np.arange(touched.size))
    rank = np.arange(rows.size) - first[rows]
    keep = rank < width
    held_i[rows[keep], rank[keep]] = indices[keep]
    held_s[rows[keep], rank[keep]] = scores[keep]
    best_i[touched] = held_i
    best_s[touched] = held_s


# ---------------------------------------------------------------------------
# Approximate search with faiss


def _faiss_search(
    matrix: NDArray[np.float32], factor: NDArray[np.float32], width: int, metric: str
) -> tuple[NDArray[np.int64], NDArray[np.float32]]:
    try:
        faiss: Any = importlib.import_module("faiss")
    except ImportError:
        raise ImportError(
            "knn_graph(method='faiss') needs faiss: pip install faiss-cpu (or graphripple[faiss])"
        ) from None
    n, dim = matrix.shape
    indices = np.full((n, width), -1, dtype=np.int64)
    scores = np.full((n, width), -np.inf, dtype=np.float32)
    if width == 0:
        return indices, scores
    if metric == "euclidean":
        index = faiss.IndexHNSWFlat(dim, _HNSW_M)
        data = matrix
    else:
        index = faiss.IndexHNSWFlat(dim, _HNSW_M, faiss.METRIC_INNER_PRODUCT)
        data = matrix * factor[:, None] if metric == "cosine" else matrix
    index.hnsw.efConstruction = _HNSW_EF_CONSTRUCTION
    index.hnsw.efSearch = max(_HNSW_EF_SEARCH, 2 * (width + 1))
    index.add(data)
    _, found = index.search(data, width + 1)
    # Drop each row itself (or the last hit when the row itself was not found).
    own = found == np.arange(n)[:, None]
    own[~own.any(axis=1), width] = True
    found = found[~own].reshape(n, width)
    # Score the hits with this module's formulas, then order as the exact search does.
    step = max(1, _BLOCK_ELEMENTS // max(1, width * dim))
    for start in range(0, n, step):
        hits = found[start : start + step]
        ok = hits >= 0
        safe = np.where(ok, hits, 0)
        queries = matrix[start : start + step]
        neighbours = matrix[safe]
        if metric == "cosine":
            queries = queries * factor[start : start + step, None]
            neighbours = neighbours * factor[safe][..., None]
        dots = np.matmul(neighbours, queries[:, :, None])[..., 0]
        if metric == "euclidean":
            dots *= np.float32(-2.0)
            dots += factor[start : start + step, None]
            dots += factor[safe]
            np.maximum(dots, 0, out=dots)
            np.sqrt(dots, out=dots)
            np.negative(dots, out=dots)
        dots[~ok] = -np.inf
        key = np.where(ok, safe, np.iinfo(np.int64).max)
        order = _row_order(key, ok, dots)
        indices[start : start + step] = np.where(np.take_along_axis(ok, order, 1), np.take_along_axis(hits, order, 1), -1)
        scores[start : start + step] = np.take_along_axis(dots, order, 1)
    return indices, scores


def _row_order(key: NDArray[np.int64], ok: NDArray[np.bool_], dots: NDArray[np.float32]) -> NDArray[np.intp]:
    """Per-row order: found hits first, by decreasing score, then index."""
    rows = np.arange(key.shape[0])[:, None].repeat(key.shape[1], 1)
    flat = np.lexsort((key.ravel(), -dots.ravel(), ~ok.ravel(), rows.ravel()))
    order: NDArray[np.intp] = (flat.reshape(key.shape) - rows * key.shape[1]).astype(np.intp)
    return order
