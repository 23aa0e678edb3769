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

With ``combine="concat"`` each propagation chain carries ``dim`` columns of
the starting matrix and writes each term (dim columns per non-zero weight)
as soon as it is computed, so the work matrices are those of ``dim``
columns (X(i), X(i+1) and the term being written) and the wider output
counts separately: n x dim x terms floats for a returned array, nothing
for a caller's ``out`` (``returned=False``, as ``pick_block_columns``
assumes).

``keep_terms=True`` (``RippleEmbedding``) adds the terms the fit keeps for
``embed_new``: X(0) ... X(g-1), g the index of the last non-zero weight
(L - 1 for weights whose last element is non-zero), g n dim 4 bytes held
after the fit as well; and that fit's transition, which has 8-byte columns
(8 (n + 1) bytes of row starts, 12 bytes per merged entry). Both counted
on top of the peak above: the fit holds the terms and one more matrix
(g + 1 in all) besides the transition.

A fit whose propagated n x dim matrix takes at least
``_native_ext.LOCALITY_MIN_MATRIX_BYTES`` may renumber its rows for cache
locality (only the speed depends on it): the order and its inverse hold
16 n bytes, and the renumbered transition is built beside the first one
(an undirected fit after the transpose is dropped; a directed one then
owns 8 (n + 1) bytes of row starts and its columns too). The estimate counts
this wherever the engine may do it.

No transition is built when no propagation contributes to the result. The
merged graph is assumed to hold 2 m entries (no edge given in both
directions); a graph that stores both directions needs up to 8 m bytes
less. Converting a non-CSR graph in ``embed`` adds its CSR arrays, 8 (n + 1)
+ 16 m bytes, held by the caller during the fit.

The number of work matrices and the skipped transition are the engine's own
memory plan (``_native_ext.work_matrices``); the graph-side terms are the
engine's current allocations.
"""

from __future__ import annotations

from typing import Sequence

from . import _native_ext
from ._options import check_value, count_terms, kept_term_count

__all__ = ["estimate_memory", "work_matrices", "pick_block_columns", "human_bytes"]

_FLOAT32 = 4
_WORD = 8
_NARROW_LIMIT = (1 << 32) + 1  # node counts whose columns fit in 32 bits


# n x dim float32 matrices a fit with these weights holds at its peak: the
# engine's own plan. One matrix means no propagation: no transition is built.
work_matrices = _native_ext.work_matrices


def estimate_memory(
    num_nodes: int,
    num_entries: int,
    dim: int,
    weights: Sequence[float] = (0.0, 1.0, 1.0),
    undirected: bool = True,
    feature_columns: int = 0,
    combine: str = "sum",
    returned: bool = True,
    keep_terms: bool = False,
) -> int:
    """Peak bytes a fit of this size allocates (see the module docstring).

    ``num_entries`` is the number of stored entries of the graph as given
    (before symmetrisation), ``feature_columns`` the columns of the node
    features (0 without them). With ``combine="concat"``, ``dim`` is the
    columns of one propagation chain and ``returned`` says whether the
    fit allocates the n x dim x terms result itself (False: it writes
    into the caller's ``out``). ``keep_terms`` adds the terms a fit with
    ``keep_terms=True`` keeps.
    """
    n: int = check_value("num_nodes", num_nodes)
    m: int = check_value("num_entries", num_entries)
    d: int = check_value("dim", dim)
    f: int = check_value("feature_columns", feature_columns)
    checked_weights = list(check_value("weights", weights))
    combine = check_value("combine", combine)
    matrices = int(work_matrices(checked_weights, "concat" if combine == "concat" else "sum"))
    undirected = check_value("undirected", undirected)
    kept = 0
    if check_value("keep_terms", keep_terms):
        merged = 2 * m if undirected else m
        kept = kept_term_count(checked_weights) * n * d * _FLOAT32 + _WORD * (n + 1) + merged * (_WORD + _FLOAT32)

    copies = _WORD * (n + 1) + 2 * _WORD * m + _WORD * n * f
    work = matrices * n * d * _FLOAT32
    if f:
        work = max(work, (n + f) * d * _FLOAT32)
    if combine == "concat" and returned:
        # The result, wider than a chain's matrices, is held throughout.
        work += n * d * count_terms(checked_weights) * _FLOAT32
    narrow = n <= _NARROW_LIMIT
    propagates = matrices > 1
    ordered = propagates and n * d * _FLOAT32 >= _native_ext.LOCALITY_MIN_MATRIX_BYTES
    order = 2 * _WORD * n if ordered else 0
    if undirected:
        transpose = _WORD * (n + 2) + 2 * _WORD * m
        merged = 2 * m
        transition = _WORD * (n + 1) + merged * (_FLOAT32 + (_FLOAT32 if narrow else _WORD)) if propagates else 0
        return copies + order + transition + max(transpose, work, transition if ordered else 0) + kept
    transition = m * (_FLOAT32 + (_FLOAT32 if narrow else 0)) if propagates else 0
    if ordered:
        owned = _WORD * (n + 1) + m * (_FLOAT32 + (_FLOAT32 if narrow else _WORD))
        return copies + order + max(transition, work) + owned + kept
    return copies + work + transition + kept


def pick_block_columns(
    limit: int, num_nodes: int, num_entries: int, width: int, weights: Sequence[float], undirected: bool,
    held: int = 0, limit_name: str = "limit", combine: str = "sum",
) -> int:
    """The most columns per block whose fit stays within ``limit`` bytes (``held`` already in use).

    The fit writes into a caller's ``out``, so the result itself is not
    counted; with ``combine="concat"`` ``width`` and the result are columns
    of one propagation chain (at most dim). Raises ValueError (naming
    ``limit_name``) when not even one column fits.
    """
    def peak(columns: int) -> int:
        return held + estimate_memory(num_nodes, num_entries, columns, weights, undirected, combine=combine,
                                      returned=False)

    if width <= 0 or peak(width) <= limit:
        return max(width, 1)
    if peak(1) > limit:
        raise ValueError(
            f"{limit_name} {human_bytes(limit)} is below the {human_bytes(peak(1))} a one-column block of this "
            "graph needs"
        )
    low, high = 1, width  # peak(low) fits, peak(high) does not
    while high - low > 1:
        middle = (low + high) // 2
        if peak(middle) <= limit:
            low = middle
        else:
            high = middle
    return low


def human_bytes(size: float) -> str:
    """``size`` bytes as "512 B", "1.5 GiB"."""
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if size < 1024 or unit == "TiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")
