"""estimate_memory: the peak bytes a fit allocates, from the sizes of its inputs.

The model counts what the native fit holds at its peak on top of the
caller's own arrays and the interpreter:

- input copies: ``row_ptrs`` (8 (n + 1) bytes), ``col_indices`` and
  ``values`` (16 bytes per entry) and the node features (8 n f bytes);
- undirected fits: the transpose used to merge A + A^T (8 (n + 2) + 16 m
  bytes), dropped before the work matrices exist, and the transition of the
  merged graph (8 (n + 1) bytes of row starts, 4 bytes of scale and 4 of
  column per merged entry, at most 2 m of them; 8-byte columns above 2^32
  nodes);
- directed fits: the transition over the caller's graph (4 bytes of scale
  and 4 of column per entry; the columns are borrowed above 2^32 nodes);
- the n x dim float32 work matrices: how many are held at once depends on
  the weights (``work_matrices``); with node features the initial embedding
  briefly holds (n + f) x dim floats before the work matrices exist.

No transition is built when no propagation contributes to the result. The
merged graph is assumed to hold 2 m entries (no edge given in both
directions); a graph that stores both directions needs up to 8 m bytes
less. Converting a non-CSR graph in ``embed`` adds its CSR arrays, 8 (n + 1)
+ 16 m bytes, held by the caller during the fit.

The number of work matrices and the skipped transition follow the engine's
memory plan (``work_matrices``); the graph-side terms are the engine's
current allocations.
"""

from __future__ import annotations

import math
from typing import Any, Sequence

from ._checks import non_negative_int

__all__ = ["estimate_memory", "work_matrices"]

_FLOAT32 = 4
_WORD = 8
_NARROW_LIMIT = (1 << 32) + 1  # node counts whose columns fit in 32 bits


def work_matrices(weights: Sequence[float]) -> int:
    """n x dim float32 matrices a fit with these weights holds at its peak.

    With f and g the first and last index of a non-zero weight (NaN counts
    as non-zero): 1 without any (the zero result) or when g is 0 (X0 scaled
    in place), 2 when f == g or g == f + 1, 3 otherwise.
    """
    nonzero = [i for i, w in enumerate(weights) if w != 0.0 or math.isnan(w)]
    if not nonzero:
        return 1
    first, last = nonzero[0], nonzero[-1]
    if last == 0:
        return 1
    if first == last or last - first == 1:
        return 2
    return 3


def _propagates(weights: Sequence[float]) -> bool:
    nonzero = [i for i, w in enumerate(weights) if w != 0.0 or math.isnan(w)]
    return bool(nonzero) and nonzero[-1] >= 1


def estimate_memory(
    num_nodes: int,
    num_entries: int,
    dim: int,
    weights: Sequence[float] = (0.0, 1.0, 1.0),
    undirected: bool = True,
    feature_columns: int = 0,
) -> int:
    """Peak bytes a fit of this size allocates (see the module docstring).

    ``num_entries`` is the number of stored entries of the graph as given
    (before symmetrisation), ``feature_columns`` the columns of the node
    features (0 without them).
    """
    n = non_negative_int(num_nodes, "num_nodes")
    m = non_negative_int(num_entries, "num_entries")
    d = non_negative_int(dim, "dim")
    f = non_negative_int(feature_columns, "feature_columns")
    weight_values = [_real(w) for w in _sequence(weights)]
    if not isinstance(undirected, bool):
        raise TypeError(f"undirected must be True or False, not {type(undirected).__name__}")

    copies = _WORD * (n + 1) + 2 * _WORD * m + _WORD * n * f
    work = work_matrices(weight_values) * n * d * _FLOAT32
    if f:
        work = max(work, (n + f) * d * _FLOAT32)
    narrow = n <= _NARROW_LIMIT
    propagates = _propagates(weight_values)
    if undirected:
        transpose = _WORD * (n + 2) + 2 * _WORD * m
        merged = 2 * m
        transition = _WORD * (n + 1) + merged * (_FLOAT32 + (_FLOAT32 if narrow else _WORD)) if propagates else 0
        return copies + transition + max(transpose, work)
    transition = m * (_FLOAT32 + (_FLOAT32 if narrow else 0)) if propagates else 0
    return copies + work + transition




def _sequence(value: Any) -> list[Any]:
    if isinstance(value, (str, bytes)):
        raise TypeError("weights must be a sequence of numbers")
    try:
        return list(value)
    except TypeError:
        raise TypeError(f"weights must be a sequence of numbers, not {type(value).__name__}") from None


def _real(value: Any) -> float:
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"weights must hold real numbers, found {value!r}") from None
