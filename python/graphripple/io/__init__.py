"""Files in and out: edge files read into ``Edges``, embeddings saved and loaded.

``read_edges`` reads text edge lists (plain or gzip), ``.npz`` edge arrays
or scipy.sparse matrices and Matrix Market files; every problem is one
``EdgeFileError`` naming the file and line. ``save`` and ``load`` write
and read an embedding with the label of each row (``.npz``, word2vec
text, ``.parquet``, ``.npy``). Every file is written under a temporary
name and renamed into place only when complete.
"""

from __future__ import annotations

from ._common import EdgeFileError, EdgeFileNote
from ._edge_text import MAX_LINE_BYTES, parse_delimiter, read_edges
from ._embedding_files import FORMATS, load, save

__all__ = ["read_edges", "EdgeFileError", "EdgeFileNote", "MAX_LINE_BYTES", "parse_delimiter", "save", "load",
           "FORMATS"]
