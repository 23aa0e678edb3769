"""Node embeddings of weighted graphs by iterated sparse random projection.

``embed`` takes a graph as people hold it (a scipy.sparse matrix, a networkx
graph, a dense NumPy adjacency matrix or ``Edges``) and returns a float32
array with one row per node; ``embed_labelled`` also returns the node label
of each row, and ``RippleEmbedding`` wraps the same as a scikit-learn style
estimator. ``save`` writes an embedding with its node labels (.npz, word2vec
text, .parquet, .npy) and ``load`` reads it back; ``estimate_memory`` predicts the
peak memory of a fit; ``most_similar`` and ``knn_graph`` find the nearest
rows of an embedding. The native functions ``fit_csr``, ``fit_dense`` and
``fit_adj_list`` take raw CSR arrays, a dense matrix or an adjacency list.

Subpackages: ``graphripple.io`` (edge files in, embedding files in and
out), ``graphripple.distributed`` (fits on a Dask cluster) and
``graphripple.cli`` (the ``graphripple`` command).

Importing the package loads only the native module; the Python layer (and
NumPy with it) is imported on first use of one of its names, and scipy,
networkx and scikit-learn only when given their objects.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from ._native_core import fit_adj_list, fit_csr, fit_dense

if TYPE_CHECKING:
    from . import cli, distributed, io
    from ._edges import Edges
    from ._embed import embed, embed_labelled
    from ._estimator import NotFittedError, RippleEmbedding
    from ._graph_input import CsrInput, to_csr
    from ._memory_model import estimate_memory
    from ._options import DIRECTION_SEED_OFFSET
    from ._plotting import plot_projection
    from ._progress import TextBar
    from ._similarity import knn_graph, most_similar
    from .io import load, save

# Public name -> the module that defines it, imported on first access.
_LAZY = {
    "embed": "._embed",
    "embed_labelled": "._embed",
    "DIRECTION_SEED_OFFSET": "._options",
    "RippleEmbedding": "._estimator",
    "NotFittedError": "._estimator",
    "Edges": "._edges",
    "CsrInput": "._graph_input",
    "to_csr": "._graph_input",
    "save": ".io",
    "load": ".io",
    "estimate_memory": "._memory_model",
    "most_similar": "._similarity",
    "knn_graph": "._similarity",
    "plot_projection": "._plotting",
    "TextBar": "._progress",
}
# Subpackages, imported on first access too.
_SUBPACKAGES = ("io", "distributed", "cli")

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
    "plot_projection",
    "TextBar",
    "NotFittedError",
    "io",
    "distributed",
    "cli",
    "fit_csr",
    "fit_dense",
    "fit_adj_list",
]


def __getattr__(name: str) -> Any:
    if name in _SUBPACKAGES:
        return importlib.import_module(f".{name}", __name__)
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY) | set(_SUBPACKAGES))
