"""Node embeddings of weighted graphs by iterated sparse random projection.

``embed`` takes a graph as people hold it (a scipy.sparse matrix, a networkx
graph, a dense NumPy adjacency matrix or ``Edges``) and returns a float32
array with one row per node; ``embed_labelled`` also returns the node label
of each row, and ``RippleEmbedding`` wraps the same as a scikit-learn style
estimator. ``save`` writes an embedding with its node labels (.npz, word2vec
text, .parquet) and ``load`` reads it back; ``estimate_memory`` predicts the
peak memory of a fit; ``most_similar`` and ``knn_graph`` find the nearest
rows of an embedding. The native functions ``fit_csr``, ``fit_dense`` and
``fit_adj_list`` take raw CSR arrays, a dense matrix or an adjacency list.

Importing the package loads only the native module; the Python layer (and
NumPy with it) is imported on first use of one of its names, and scipy,
networkx and scikit-learn only when given their objects.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from ._native_core import fit_adj_list, fit_csr, fit_dense

if TYPE_CHECKING:
    from .embedding import embed, embed_labelled
    from .estimator import RippleEmbedding
    from .edges import Edges
    from .embedding_files import load, save
    from .graph_input import CsrInput, to_csr
    from .memory import estimate_memory
    from .options import DIRECTION_SEED_OFFSET
    from .similarity import knn_graph, most_similar

# Public name -> the submodule that defines it, imported on first access.
_LAZY = {
    "embed": "embedding",
    "embed_labelled": "embedding",
    "DIRECTION_SEED_OFFSET": "options",
    "RippleEmbedding": "estimator",
    "Edges": "edges",
    "CsrInput": "graph_input",
    "to_csr": "graph_input",
    "save": "embedding_files",
    "load": "embedding_files",
    "estimate_memory": "memory",
    "most_similar": "similarity",
    "knn_graph": "similarity",
}

__all__ = [
    "embed",
    "embed_labelled",
    "RippleEmbedding",
    "estimate_memory",
    "save",
    "load",
    "Edges",
    "CsrInput",
    "to_csr",
    "DIRECTION_SEED_OFFSET",
    "most_similar",
    "knn_graph",
    "fit_csr",
    "fit_dense",
    "fit_adj_list",
]


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
