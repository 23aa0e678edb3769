# Types of the native extension module: three fits of the same engine that
# differ only in how the graph is given.
from typing import Final, Sequence, SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import NDArray

__all__: Final[list[str]]

_Weights = Sequence[SupportsFloat] | NDArray[np.floating] | NDArray[np.integer]
_Bool = bool | np.bool_

def fit_csr(
    row_ptrs: NDArray[np.int64],
    col_indices: NDArray[np.int64],
    values: NDArray[np.float64],
    num_nodes: SupportsIndex,
    dim: SupportsIndex,
    weights: _Weights,
    seed: SupportsIndex | None = None,
    undirected: _Bool = True,
    node_features: NDArray[np.float64] | None = None,
    feature_weight: SupportsFloat | SupportsIndex = 1.0,
) -> NDArray[np.float32]: ...
def fit_dense(
    adj_matrix: NDArray[np.float64],
    dim: SupportsIndex,
    weights: _Weights,
    seed: SupportsIndex | None = None,
    undirected: _Bool = True,
    node_features: NDArray[np.float64] | None = None,
    feature_weight: SupportsFloat | SupportsIndex = 1.0,
) -> NDArray[np.float32]: ...
def fit_adj_list(
    adj_list: Sequence[Sequence[tuple[SupportsIndex, SupportsFloat | SupportsIndex]]],
    dim: SupportsIndex,
    iter_weights: _Weights,
    seed: SupportsIndex | None = None,
    undirected: _Bool = True,
    node_features: NDArray[np.float64] | None = None,
    feature_weight: SupportsFloat | SupportsIndex = 1.0,
) -> NDArray[np.float32]: ...
