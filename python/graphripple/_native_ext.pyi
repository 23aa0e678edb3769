"""Type stub of graphripple._native_ext, the extended fit beside _native_core."""

from collections.abc import Sequence
from typing import Literal

import numpy as np
import numpy.typing as npt

__all__ = ["fit_csr_ext"]

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
    direction: Literal["out", "in"] = "out",
    out: npt.NDArray[np.float32] | None = None,
    block_columns: int | None = None,
) -> npt.NDArray[np.float32]:
    """Embedding of shape (num_nodes, stop - start) for columns=(start, stop).

    Shared arguments convert and fail as in _native_core.fit_csr; with every
    option at its default the bytes equal fit_csr's. A column block has the
    bytes of the same columns of the full fit (not allowed with
    normalization="l2", which couples a row's columns). Bad option values
    raise ValueError naming the option; edge_weight="log1p" raises ValueError
    for a negative or NaN merged weight; direction="in" needs
    undirected=False. The interpreter lock is released during the fit.

    out: a writable float32 array of shape (num_nodes, stop - start) with
    any strides (a numpy.memmap included). The graph is validated and its
    transition built once, the columns are fitted in consecutive blocks of
    block_columns columns (default: all at once), each written into its
    columns of out, and out is returned; the bytes are those of the
    one-block fit. Peak memory: the graph side plus one block's matrices.
    Bad out: TypeError (not an array, dtype) or ValueError (shape,
    read-only, overlapping elements); block_columns < 1: ValueError, and so
    is block_columns narrower than the columns with normalization="l2", and
    block_columns without out.
    On an error the blocks already fitted stay written.
    """
    ...
