"""Type stub of graphripple._native_ext, the extended fit beside _native_core."""

from collections.abc import Callable, Sequence
from typing import Any, Final, Literal, Protocol, TypeVar, overload

import numpy as np
import numpy.typing as npt

__all__ = ["fit_csr_ext", "work_matrices", "group_edges", "DIRECTION_SEED_OFFSET", "LOCALITY_MIN_MATRIX_BYTES"]

#: Added (modulo 2**64) to the seed of the in-half of direction="both".
DIRECTION_SEED_OFFSET: Final[int]
# Fits whose propagated matrix takes fewer bytes never renumber their rows.
LOCALITY_MIN_MATRIX_BYTES: Final[int]

class ArrayTarget(Protocol):
    """An array-like output without the buffer protocol (zarr, h5py)."""

    @property
    def shape(self) -> tuple[int, ...]: ...
    @property
    def dtype(self) -> Any: ...
    def __setitem__(self, key: Any, value: npt.NDArray[np.float32], /) -> None: ...

_Target = TypeVar("_Target", bound=ArrayTarget)

def work_matrices(
    weights: Sequence[float] | npt.NDArray[np.floating[Any]], combine: Literal["sum", "concat"] = "sum",
) -> int:
    """The n x width float32 matrices a fit with these weights holds at its peak (1, 2 or 3).

    width: the columns of one block; for combine="concat", the columns of
    the starting matrix one propagation chain carries.
    """
    ...

@overload
def fit_csr_ext(
    row_ptrs: npt.NDArray[np.int64],
    col_indices: npt.NDArray[np.int64],
    values: npt.NDArray[np.float64],
    num_nodes: int,
    dim: int,
    weights: Sequence[float],
    *,
    seed: int | None = None,
    undirected: bool = True,
    node_features: npt.NDArray[np.float64] | None = None,
    feature_weight: float = 1.0,
    columns: tuple[int, int] | None = None,
    normalization: Literal["l2"] | None = None,
    degree_exponent: float = 0.0,
    edge_weight: Literal["raw", "binary", "log1p"] = "raw",
    direction: Literal["out", "in", "both"] = "out",
    out: None = None,
    block_columns: None = None,
    progress: Callable[[int, int], object] | None = None,
    combine: Literal["sum", "concat"] = "sum",
    row_order: Literal["auto", "stored", "locality"] = "auto",
) -> npt.NDArray[np.float32]:
    """Embedding of shape (num_nodes, stop - start) for columns=(start, stop).

    Shared arguments convert and fail as in _native_core.fit_csr; with every
    option at its default the bytes equal fit_csr's. A column block has the
    bytes of the same columns of the full fit (not allowed with
    normalization="l2", which couples a row's columns). Bad option values
    raise ValueError naming the option; edge_weight="log1p" raises ValueError
    for a negative or NaN merged weight; direction="in" needs
    undirected=False. The interpreter lock is released during the fit.
    row_order picks the order rows are propagated in, never the bytes:
    "auto" renumbers them by locality where that pays, "stored" keeps the
    caller's order, "locality" always renumbers.

    direction="both" (needs undirected=False): 2 * dim columns, the
    out-fit with seed s followed by the in-fit with seed
    s + DIRECTION_SEED_OFFSET (mod 2**64); columns index those 2 * dim
    columns, and without a seed one s is drawn for both halves. Each half
    builds its own transition, released before the next half starts.

    out: a writable float32 array of shape (num_nodes, stop - start) with
    any strides (a numpy.memmap included). The graph is validated and its
    transition built once, the columns are fitted in consecutive blocks of
    block_columns columns (default: all at once), each written into its
    columns of out, and out is returned; the bytes are those of the
    one-block fit. Peak memory: the graph side plus one block's matrices.
    out may also be an array-like without the buffer protocol (zarr,
    h5py): shape, dtype float32 and __setitem__; each finished block is
    assigned as out[:, a:b] = block with the lock held, and an exception of
    that assignment propagates unchanged. Without a seed, one is drawn for
    every block.
    Bad out: TypeError (not an array, dtype) or ValueError (shape,
    read-only, overlapping elements); block_columns < 1: ValueError, and so
    is block_columns narrower than the columns with normalization="l2", and
    block_columns without out.
    On an error the blocks already fitted stay written.

    Ctrl-C: while the fit runs, the calling thread checks for signals about
    every 50 ms; a signal handler that raises (KeyboardInterrupt) stops the
    workers at their next task and the exception is raised from the call,
    with every buffer released. With out, the blocks finished before the
    signal stay written and the rest of out is unchanged or partly written.

    progress: called with the lock held as progress(done, total) from the
    calling thread as the fit advances (propagations of each column block);
    done never decreases and the last call has done == total. An exception
    it raises stops the fit like a signal. No effect on the bytes.

    combine="concat": the terms side by side instead of summed, dim columns
    for each non-zero weight w_i in ascending i (NaN counts, -0.0 does
    not), each holding the bytes of the fit with w_i as the only non-zero
    weight; with direction="both", the out-terms then the in-terms.
    columns and out index that width; block_columns counts columns of the
    starting matrix per propagation chain (each chain writes those columns
    of every term). normalization="l2" needs columns on multiples of dim
    (whole terms).
    """
    ...
@overload
def fit_csr_ext(
    row_ptrs: npt.NDArray[np.int64],
    col_indices: npt.NDArray[np.int64],
    values: npt.NDArray[np.float64],
    num_nodes: int,
    dim: int,
    weights: Sequence[float],
    *,
    seed: int | None = None,
    undirected: bool = True,
    node_features: npt.NDArray[np.float64] | None = None,
    feature_weight: float = 1.0,
    columns: tuple[int, int] | None = None,
    normalization: Literal["l2"] | None = None,
    degree_exponent: float = 0.0,
    edge_weight: Literal["raw", "binary", "log1p"] = "raw",
    direction: Literal["out", "in", "both"] = "out",
    out: _Target,
    block_columns: int | None = None,
    progress: Callable[[int, int], object] | None = None,
    combine: Literal["sum", "concat"] = "sum",
    row_order: Literal["auto", "stored", "locality"] = "auto",
) -> _Target: ...

# Row blocks: the native side of row-partitioned fits (graphripple.distributed._tasks).
__all__ += ["row_block_transition", "row_block_start", "row_block_propagate"]

def row_block_transition(
    node_ids: npt.NDArray[np.int64],
    sources: npt.NDArray[np.int64],
    targets: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float64],
    first: int,
    count: int,
    undirected: bool = True,
    direction: int = 0,
    edge_weight: int = 0,
) -> tuple[
    npt.NDArray[np.int64] | None, npt.NDArray[np.int64] | None, npt.NDArray[np.float32] | None,
    tuple[int, int, str] | None,
]:
    """Rows [first, first + count) of the block graph's transition (of A + A^T when
    undirected, else of A, or of A^T for direction 1): (row_ptrs, columns
    indexing node_ids, scales, None); or (None, None, None, (source id,
    target id, message)) when edge_weight 2 (log1p) refuses a merged weight.
    Edges source -> target index node_ids (ascending) and are in input order.
    """
    ...

def row_block_start(
    first_row: int,
    rows: int,
    dim: int,
    seed: int,
    node_features: npt.NDArray[np.float64] | None = None,
    feature_weight: float = 1.0,
    row_ptrs: npt.NDArray[np.int64] | None = None,
    degree_exponent: float = 0.0,
) -> npt.NDArray[np.float32]:
    """Rows [first_row, first_row + rows) of the starting matrix X0 drawn from seed,
    scaled by f32(deg ** degree_exponent) with deg from row_ptrs."""
    ...

def row_block_propagate(
    row_ptrs: npt.NDArray[np.int64],
    columns: npt.NDArray[np.int64],
    scales: npt.NDArray[np.float32],
    sources: Sequence[npt.NDArray[np.float32]],
    next: npt.NDArray[np.float32] | None = None,
    accumulator: npt.NDArray[np.float32] | None = None,
    weight: float = 0.0,
    mode: int = 0,
    deferred_weight: float = 0.0,
    normalize: bool = False,
) -> None:
    """A row block's rows of T * X into next, and/or times weight into
    accumulator (mode 0: added; 1: stored without reading it; 2: stored
    added to sources[0] * deferred_weight), each row as the
    whole-graph fit computes it; X's rows are those of `sources` one after
    the other (the block's own rows first)."""
    ...


def group_edges(
    sources: npt.NDArray[np.int64],
    targets: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float64] | None,
    num_nodes: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """(row_ptrs, col_indices, values): the edges grouped by source row on
    the worker pool, each row keeping the edges' order (repeated edges stay
    apart); weights None means 1.0 each. Ids outside [0, num_nodes) raise
    ValueError."""
    ...
