"""Type stub of graphripple._native_ext, the extended fit beside _native_core."""

from collections.abc import Callable, Sequence
from typing import Any, Final, Literal, Protocol, TypeVar, overload

import numpy as np
import numpy.typing as npt

__all__ = ["fit_csr_ext", "work_matrices", "DIRECTION_SEED_OFFSET"]

#: Added (modulo 2**64) to the seed of the in-half of direction="both".
DIRECTION_SEED_OFFSET: Final[int]

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
) -> npt.NDArray[np.float32]:
    """Embedding of shape (num_nodes, stop - start) for columns=(start, stop).

    Shared arguments convert and fail as in _native_core.fit_csr; with every
    option at its default the bytes equal fit_csr's. A column block has the
    bytes of the same columns of the full fit (not allowed with
    normalization="l2", which couples a row's columns). Bad option values
    raise ValueError naming the option; edge_weight="log1p" raises ValueError
    for a negative or NaN merged weight; direction="in" needs
    undirected=False. The interpreter lock is released during the fit.

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
) -> _Target: ...
