"""Fits on a Dask cluster: ``embed`` with column blocks or row partitions.

Needs dask.distributed (``pip install 'graphripple[dask]'``), imported
when a fit starts, never by ``import graphripple``. ``embed`` splits the
embedding's columns over workers that each hold the whole graph
(``partition="columns"``), or the graph's rows over workers that each hold
a part of it (``partition="rows"``, also ``embed_rows``); both give the
bytes of ``graphripple.embed`` for the same seed.
"""

from __future__ import annotations

from ._columns import block_bounds, task_ranges
from ._embed import embed
from ._rows import embed_rows

__all__ = ["embed", "embed_rows", "block_bounds", "task_ranges"]
