"""Column blocks on a Dask cluster: every worker holds the graph, each task fits some columns.

Column c of an embedding depends on column c of the random projection (and
of the projected node features) and on the whole graph, never on other
columns. A fit therefore splits into column blocks that need no
communication with each other: the graph is converted once, sent once to
every worker, and each task fits the columns [start, stop) of the result
with the same seed. The blocks are exactly the columns of the
single-machine fit, so the joined result has its bytes.

- Needs dask.distributed (the optional extra ``graphripple[dask]``); it is
  imported when ``embed`` is called, never by ``import graphripple``.
- The fit inside a task releases the interpreter lock, so thread workers
  run blocks side by side as well as process workers do.
- With more blocks than task slots, each task fits a contiguous range of
  blocks over one transition (the graph side is built once per task, not
  once per block); the result keeps one chunk per block.
- ``embed`` returns only when every block is done. A task whose worker dies
  is rerun elsewhere by the scheduler and gives the same bytes (the seed is
  fixed before any task starts); when that is impossible (too many worker
  deaths, every copy of the graph lost) ``embed`` raises. It never returns
  an array with a block missing.
- An ``out`` path is written under a temporary name beside it
  (``.NAME.<hex>.part``) and renamed over NAME only once every block is
  done: on any failure the old NAME is intact and nothing is left behind.
- normalization="l2" scales each row by its norm over all the columns of
  its direction, so such a fit is one block per direction (at most two,
  with direction="both").
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import os
import uuid
from concurrent.futures import CancelledError
from typing import TYPE_CHECKING, Any

import numpy as np

from .._options import FIT_OPTIONS, check_options, check_value, draw_seed
from ..io._disk import create_npy_memmap
from ._client import connected_slots, hand_over, import_distributed
from ._sinks import ColumnWindow, column_sink, npy_path

if TYPE_CHECKING:
    from .._graph_input import CsrInput

__all__ = ["embed_columns", "block_bounds", "task_ranges"]

# Options forwarded to graphripple.embed on the workers. columns, out and
# block_columns belong to this function's own splitting and are refused.
_FORWARDED = frozenset({"node_features", *FIT_OPTIONS[2:]}) - {"seed", "columns", "block_columns"}
_KEY_PREFIX = "graphripple-block"


def block_bounds(width: int, blocks: int, multiple: int = 1) -> list[tuple[int, int]]:
    """[(start, stop), ...] covering [0, width) in at most `blocks` blocks.

    Every block but the last has the same width, a multiple of `multiple`
    (a zarr store's column chunk, so that no two tasks write one chunk);
    hence there can be fewer blocks than asked for. A width of 0 is one
    empty block, so the result still has its rows.
    """
    if width == 0:
        return [(0, 0)]
    step = math.ceil(width / blocks)
    step = math.ceil(step / multiple) * multiple
    return [(start, min(start + step, width)) for start in range(0, width, step)]


class _Payload:
    """The converted graph and the node features, sent to the workers as one object."""

    def __init__(self, graph: CsrInput, node_features: Any) -> None:
        self.graph = graph
        self.node_features = node_features

    def align(self) -> None:
        """Copy the arrays that arrived misaligned, once per worker.

        Deserialised arrays may start at any byte of a network frame, and
        the native core takes only aligned ones. The worker keeps this one
        object for all its tasks, so the copy is made once (two tasks
        racing make equal copies, and either may win).
        """
        graph = self.graph
        arrays = {name: getattr(graph, name) for name in ("row_ptrs", "col_indices", "values")}
        if not all(a.flags.aligned for a in arrays.values()):
            self.graph = dataclasses.replace(
                graph, **{name: np.require(a, requirements=["C", "A"]) for name, a in arrays.items()})
        if self.node_features is not None and isinstance(self.node_features, np.ndarray) \
                and not self.node_features.flags.aligned:
            self.node_features = np.require(self.node_features, requirements="A")


def task_ranges(bounds: list[tuple[int, int]], tasks: int) -> list[list[tuple[int, int]]]:
    """Group consecutive blocks into at most `tasks` contiguous ranges: [[(start, stop), ...], ...].

    Sizes differ by at most one block, earlier groups taking the extra ones.
    """
    count = max(1, min(tasks, len(bounds)))
    size, extra = divmod(len(bounds), count)
    groups, at = [], 0
    for i in range(count):
        take = size + (1 if i < extra else 0)
        groups.append(bounds[at:at + take])
        at += take
    return groups


def _fit_block(payload: _Payload, dim: int, weights: list[float], seed: int, columns: tuple[int, int],
               options: dict[str, Any], sink: tuple[str, Any] | None, block_columns: int | None = None) -> Any:
    """Task body: fit the column range `columns`, in blocks of `block_columns` (default: one block).

    Returns the range's columns, or writes them to the sink and returns the
    bounds. The engine fits the blocks of the range over one transition and
    writes each block as it is done.
    """
    from .._embed import embed

    payload.align()
    if payload.node_features is not None:
        options = dict(options, node_features=payload.node_features)
    start, stop = columns
    if sink is None:
        return embed(payload.graph, dim, weights, seed=seed, columns=columns, block_columns=block_columns,
                     **options)
    kind, target = sink
    out: Any
    if kind == "npy":
        stored = np.lib.format.open_memmap(target, mode="r+")
        out = stored[:, start:stop]
    else:
        out = ColumnWindow(target, start, stop)
    embed(payload.graph, dim, weights, seed=seed, columns=columns, out=out, block_columns=block_columns, **options)
    if kind == "npy":
        stored.flush()
        del out, stored
    return columns


def embed_columns(graph: Any, client: Any, dim: int = 128, weights: Any = (0.0, 1.0, 1.0), *, seed: int | None = None,
                  blocks: int | None = None, out: Any = None, **options: Any) -> Any:
    """``embed`` with ``partition="columns"``: every worker holds the graph and fits column blocks."""
    distributed = import_distributed()
    from .. import _graph_input as graph_input

    unknown = sorted(set(options) - _FORWARDED)
    if unknown:
        raise TypeError(f"graphripple.distributed.embed() got an unexpected keyword argument '{unknown[0]}'")
    # The same checks and messages as graphripple.embed, before any data moves.
    checked = check_options(dim=dim, weights=weights, seed=seed,
                            **{k: v for k, v in options.items() if k != "node_features"})
    dim, weights, width = checked.dim, list(checked.weights), checked.total_columns
    seed = draw_seed() if checked.seed is None else checked.seed
    # l2 scales each row over all the columns of its direction: a block is a whole direction.
    direction_multiple = max(dim, 1) if checked.normalization == "l2" else 1
    most = max(width // direction_multiple, 1)
    nthreads = connected_slots(client)
    blocks = check_value("blocks", blocks)
    if blocks is None:
        blocks = max(1, min(len(nthreads), most))
    elif checked.normalization == "l2" and blocks > most:
        raise ValueError(
            "normalization='l2' scales each row by its norm over all the columns of its direction and "
            f"cannot be split further: pass blocks={most} or fewer, not blocks={blocks}")
    elif blocks > most:
        raise ValueError(f"blocks must be between 1 and the embedding width {most}, not {blocks}")

    csr = graph_input.to_csr(graph, undirected=checked.undirected)
    # The workers need the arrays, not the labels (which may be Python objects).
    csr = dataclasses.replace(csr, nodes=np.arange(csr.num_nodes, dtype=np.int64))
    shape = (int(csr.num_nodes), width)
    node_features = options.pop("node_features", None)
    slots = sum(nthreads.values())
    npy_file = npy_path(out)
    if npy_file is not None:
        # Column-major, so each block is one contiguous byte range of the
        # file and no two tasks ever write the same page. The file is
        # created (and its space reserved) under a temporary name, which the
        # tasks open, and renamed into place once every block is done.
        with create_npy_memmap(npy_file, shape, np.float32, fortran_order=True) as stored:
            assert stored.filename is not None
            _run(distributed, client, csr, node_features, dim, weights, seed, options,
                 ("npy", os.fspath(stored.filename)), shape, block_bounds(width, blocks, direction_multiple), slots)
        return np.load(npy_file, mmap_mode="r")
    with contextlib.ExitStack() as stack:
        sink, multiple, final = (None, 1, None) if out is None else column_sink(out, shape, blocks, stack)
        result = _run(distributed, client, csr, node_features, dim, weights, seed, options, sink, shape,
                      block_bounds(width, blocks, math.lcm(multiple, direction_multiple)), slots)
    if final is not None:
        import zarr

        return zarr.open_array(final, mode="r")
    return result


def _run(distributed: Any, client: Any, csr: CsrInput, node_features: Any, dim: int, weights: list[float], seed: int,
         options: dict[str, Any], sink: tuple[str, Any] | None, shape: tuple[int, int], bounds: list[tuple[int, int]],
         slots: int) -> Any:
    """Fit the blocks `bounds` on the cluster; the dask array of the result, or None with a sink."""
    # The graph travels as a task's argument rather than as scattered data:
    # a worker lost after this returns (before the result is computed) then
    # has its blocks, and the graph they need, made again.
    [payload] = hand_over(client, [_Payload(csr, node_features)], "graphripple-graph")
    # More blocks than task slots: each task takes a contiguous range of
    # blocks and fits them over one transition instead of one per block.
    groups = task_ranges(bounds, max(1, slots))
    ranges = [(group[0][0], group[-1][1]) for group in groups]
    block_width = bounds[0][1] - bounds[0][0] if len(groups) < len(bounds) else None
    token = uuid.uuid4().hex
    futures = {
        client.submit(_fit_block, payload, dim, weights, seed, (start, stop), options, sink, block_width,
                      key=f"{_KEY_PREFIX}-{token}-{start}-{stop}", pure=False): (start, stop)
        for start, stop in ranges
    }
    try:
        # Stop at the first failed block rather than waiting for the rest.
        for future in distributed.as_completed(list(futures)):
            if future.status != "finished":
                start, stop = futures[future]
                try:
                    future.result()  # raises the task's own exception
                except CancelledError as error:
                    raise RuntimeError(
                        f"a worker was lost (out of memory?) while fitting columns {start}:{stop}") from error
                raise RuntimeError(f"columns {start}:{stop} ended as {future.status!r}")
    except BaseException:
        client.cancel(list(futures))
        raise
    finally:
        # Dropping the last reference lets the workers free their graph
        # copies. (Cancelling it would cancel the blocks that depend on it.)
        del payload

    if sink is not None:
        done = client.gather(list(futures))
        if sorted(tuple(c) for c in done) != ranges:
            raise RuntimeError(f"blocks written {sorted(done)} do not cover the columns {ranges}")
        client.cancel(list(futures))
        return None
    import dask.array as da

    parts = [da.from_delayed(f, shape=(shape[0], stop - start), dtype=np.float32)
             for f, (start, stop) in futures.items()]
    result = parts[0] if len(parts) == 1 else da.concatenate(parts, axis=1)
    if len(ranges) < len(bounds):
        # Still one chunk per block, sliced on the worker that holds its range.
        result = result.rechunk({1: tuple(stop - start for start, stop in bounds)})
    return result
