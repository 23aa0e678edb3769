"""``graphripple.distributed.embed``: one entry for both ways of splitting a fit.

Column blocks (``partition="columns"``) send the whole graph to every
worker and split the embedding's columns; row partitions
(``partition="rows"``) split the graph's rows and exchange the rows peers
need once per propagation. Both give the bytes of ``graphripple.embed``.
"""

from __future__ import annotations

from typing import Any

from ._columns import embed_columns
from ._rows import embed_rows, is_edge_frame

__all__ = ["embed"]


def embed(graph: Any, client: Any, dim: int = 128, weights: Any = (0.0, 1.0, 1.0), *, seed: int | None = None,
          blocks: int | None = None, out: Any = None, partition: str | None = None, parts: int | None = None,
          num_nodes: int | None = None, **options: Any) -> Any:
    """Fit the embedding of `graph` on the workers of a dask.distributed `client`.

    Takes the graphs and options of ``graphripple.embed`` (``undirected``,
    ``node_features``, ``feature_weight``, ``normalization``,
    ``degree_exponent``, ``edge_weight``, ``direction``) and gives its bytes
    for the same seed. The graph is converted here once and sent to
    every worker; each task fits one block of columns.

    Parameters
    ----------
    blocks
        Number of column blocks, at most the embedding width (with
        normalization="l2": one per direction); default one per worker.
        Blocks have equal widths except the last, so there may be fewer
        than asked for. A block is the unit of a fit's work matrices (its
        memory); with more blocks than task slots (the workers' threads)
        each task fits a contiguous range of blocks over one transition.
    seed
        Without one, a 64-bit seed is drawn here once, so all blocks agree.
    out
        None returns a ``dask.array`` (float32, num_nodes x width, one
        chunk per block) whose blocks stay in worker memory. A path ending
        in ".npy" is written as a column-major .npy file and returned as a
        read-only memmap; a path ending in ".zarr" or a zarr array (on disk
        or shared storage) is filled and returned. The path must be
        reachable from every worker under the same name.
    partition
        "columns" (the default for in-memory graphs: every worker holds the
        whole graph and fits column blocks) or "rows" (the default for a
        dask DataFrame of edges: each of ``parts`` workers holds a range of
        rows and exchanges the rows its peers need once per propagation;
        see ``embed_rows``). ``parts`` and ``num_nodes`` apply to row
        partitions only.

    Returns once every block is done; an error in any block is raised here
    (the first one, as its own exception) after the others are cancelled.
    """
    if partition is None:
        partition = "rows" if is_edge_frame(graph) else "columns"
    if partition == "rows":
        if blocks is not None:
            raise ValueError("blocks splits the columns; give parts with partition='rows'")
        return embed_rows(graph, client, dim, weights, seed=seed, parts=parts, num_nodes=num_nodes, out=out,
                          **options)
    if partition != "columns":
        raise ValueError(f"partition must be 'columns' or 'rows', not {partition!r}")
    if parts is not None or num_nodes is not None:
        raise ValueError("parts and num_nodes need partition='rows'")
    return embed_columns(graph, client, dim, weights, seed=seed, blocks=blocks, out=out, **options)
