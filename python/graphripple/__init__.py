"""Node embeddings of weighted graphs by iterated sparse random projection.

``embed`` takes a graph as people hold it (a scipy.sparse matrix, a networkx
graph, a dense NumPy adjacency matrix or ``Edges``) and returns a float32
array with one row per node; ``embed_labelled`` also returns the node label
of each row, and ``RippleEmbedding`` wraps the same as a scikit-learn style
estimator. ``save`` writes an embedding with its node labels (.npz, word2vec
text, .parquet) and ``load`` reads it back; ``estimate_memory`` predicts the
peak memory of a fit. The native functions ``fit_csr``, ``fit_dense`` and
``fit_adj_list`` take raw CSR arrays, a dense matrix or an adjacency list.

Importing the package needs NumPy alone; scipy, networkx and scikit-learn
are used only when given their objects.
"""

from ._native_core import fit_adj_list, fit_csr, fit_dense
from .embedding import DIRECTION_SEED_OFFSET, embed, embed_labelled
from .estimator import RippleEmbedding
from .inputs import CsrInput, Edges, to_csr
from .io import load, save
from .memory import estimate_memory

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
    "fit_csr",
    "fit_dense",
    "fit_adj_list",
]
