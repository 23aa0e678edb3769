"""Node embeddings of weighted graphs by iterated sparse random projection.

The three functions take a graph as CSR arrays (``fit_csr``), a dense
adjacency matrix (``fit_dense``) or an adjacency list (``fit_adj_list``) and
return a float32 array with one row per node.
"""

from ._native_core import fit_adj_list, fit_csr, fit_dense

__all__ = ["fit_csr", "fit_dense", "fit_adj_list"]
