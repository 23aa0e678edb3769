"""Typed use of the public API; checked with `mypy --strict tests/typing/usage.py`."""

import pathlib
import tempfile
from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import graphripple
from graphripple import CsrInput, Edges, RippleEmbedding, embed, embed_labelled, estimate_memory, load, save, to_csr

dense: NDArray[np.float64] = np.zeros((3, 3))
dense[0, 1] = 1.0

result = embed(dense, 8, (0.0, 1.0), seed=1, undirected=False)
assert_type(result, NDArray[np.float32])

edges = Edges(["a", "b"], ["b", "c"], weight=[1.0, 2.0])
labelled, nodes = embed_labelled(edges, dim=4, seed=2)
assert_type(nodes, NDArray[Any])
assert_type(labelled, NDArray[np.float32])

ids = Edges.from_edge_index(np.array([[0, 1], [1, 2]]), num_nodes=3)
buffer = np.zeros((3, 4), dtype=np.float32)
filled = embed(ids, 4, seed=3, out=buffer, block_columns=2)
assert_type(filled, np.ndarray[tuple[int, int], np.dtype[np.float32]])

csr: CsrInput = to_csr(ids, undirected=True)
assert_type(csr.num_nodes, int)
native = graphripple.fit_csr(csr.row_ptrs, csr.col_indices, csr.values, csr.num_nodes, 4, [0.0, 1.0], seed=3)
assert_type(native, NDArray[np.float32])
graphripple.fit_dense(dense, 4, [1.0])
graphripple.fit_adj_list([[(1, 1.0)], []], 4, [1.0, 1.0], seed=np.uint64(5))

estimator = RippleEmbedding(n_components=4, random_state=0).fit(edges)
assert_type(estimator, RippleEmbedding)
embedding: NDArray[np.float32] = estimator.embedding_
params: dict[str, object] = estimator.get_params()
estimator.set_params(n_components=8)

size: int = estimate_memory(1000, 5000, 64, weights=(0.0, 1.0, 1.0), undirected=True, feature_columns=0)

with tempfile.TemporaryDirectory() as folder:
    path = pathlib.Path(folder) / "embedding.npz"
    save(path, labelled, nodes)
    loaded, loaded_nodes = load(path)
    assert_type(loaded, NDArray[np.float32])

both = embed(dense, 4, undirected=False, direction="both", normalization="l2", degree_exponent=0.5)
assert_type(both, NDArray[np.float32])

def report(stage: str, done: int, total: int) -> None:
    print(stage, done, total)


concat = embed(dense, 4, (1.0, 0.0, 1.0), combine="concat", progress=report)
assert_type(concat, NDArray[np.float32])
target: NDArray[np.float32] = np.empty((3, 4), np.float32)
limited = embed(dense, 4, out=target, memory_limit="1G", progress=True)
assert_type(limited, NDArray[np.float32])

kept = RippleEmbedding(n_components=4, random_state=0, keep_terms=True).fit(edges)
new_rows, new_nodes = kept.embed_new(Edges(["z"], ["a"]))
assert_type(new_rows, NDArray[np.float32])
