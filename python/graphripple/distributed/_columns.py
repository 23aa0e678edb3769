"""Embeddings fitted on a Dask cluster, one column block per task.

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

import numpy as np

from .options import FIT_OPTIONS, check_options, check_value, draw_seed
from .safe_output import atomic_directory, create_npy_memmap

__all__ = ["embed"]

# Options forwarded to graphripple.embed on the workers. columns, out and
# block_columns belong to this function's own splitting and are refused.
_FORWARDED = frozenset({"node_features", *FIT_OPTIONS[2:]}) - {"seed", "columns", "block_columns"}
_KEY_PREFIX = "graphripple-block"


def _import_distributed():
    try:
        import distributed
    except ImportError as error:
        raise ImportError(
            "graphripple.distributed needs dask.distributed: pip install 'graphripple[dask]'") from error
    return distributed


def block_bounds(width, blocks, multiple=1):
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
    """The converted graph and the node features, scattered to every worker as one object.

    A plain class, not a tuple: client.scatter splits sequences into one
    piece of data per element.
    """

    def __init__(self, graph, node_features):
        self.graph = graph
        self.node_features = node_features

    def align(self):
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
                graph, **{name: np.require(a, requirements="CA") for name, a in arrays.items()})
        if self.node_features is not None and isinstance(self.node_features, np.ndarray) \
                and not self.node_features.flags.aligned:
            self.node_features = np.require(self.node_features, requirements="A")


def task_ranges(bounds, tasks):
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


class _ColumnWindow:
    """Columns [start, stop) of a zarr array as an ``out`` target of their own width."""

    dtype = np.dtype(np.float32)

    def __init__(self, target, start, stop):
        self.target, self.start = target, start
        self.shape = (target.shape[0], stop - start)

    def __setitem__(self, key, value):
        rows, columns = key
        self.target[rows, self.start + columns.start:self.start + columns.stop] = value


def _fit_block(payload, dim, weights, seed, columns, options, sink, block_columns=None):
    """Task body: fit the column range `columns`, in blocks of `block_columns` (default: one block).

    Returns the range's columns, or writes them to the sink and returns the
    bounds. The engine fits the blocks of the range over one transition and
    writes each block as it is done.
    """
    import graphripple

    payload.align()
    if payload.node_features is not None:
        options = dict(options, node_features=payload.node_features)
    start, stop = columns
    if sink is None:
        return graphripple.embed(payload.graph, dim, weights, seed=seed, columns=columns,
                                 block_columns=block_columns, **options)
    kind, target = sink
    if kind == "npy":
        stored = np.lib.format.open_memmap(target, mode="r+")
        out = stored[:, start:stop]
    else:
        out = _ColumnWindow(target, start, stop)
    graphripple.embed(payload.graph, dim, weights, seed=seed, columns=columns, out=out,
                      block_columns=block_columns, **options)
    if kind == "npy":
        stored.flush()
        del out, stored
    return columns


def _npy_path(out):
    """The absolute path of an ``out`` naming a .npy file, else None.

    Absolute, so that workers started in other folders find the same file.
    """
    if isinstance(out, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(out))
        if path.endswith(".npy"):
            return path
    return None


def _prepare_sink(out, shape, blocks, stack):
    """(sink sent to the tasks, column multiple for the blocks, final path or None).

    A zarr path target is created in an ``atomic_directory`` entered on
    ``stack``: it takes the target's place when the stack closes without
    an error. (A .npy path goes through ``create_npy_memmap`` in ``embed``.)
    """
    if isinstance(out, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(out))
        if path.rstrip("/").endswith(".zarr"):
            import zarr

            path = path.rstrip("/")
            temporary = stack.enter_context(atomic_directory(path))
            width = shape[1]
            step = max(1, math.ceil(width / blocks)) if width else 1
            chunk_rows = max(1, min(shape[0], (32 << 20) // (4 * step)))  # chunks of about 32 MiB
            array = zarr.open_array(os.fspath(temporary), mode="w", shape=shape, dtype=np.float32,
                                    chunks=(chunk_rows, step), fill_value=0.0)
            return ("zarr", array), step, path
        raise ValueError(f"out must be a path ending in .npy or .zarr, or a zarr array, not {path!r}")
    if type(out).__module__.startswith("zarr") and hasattr(out, "chunks"):
        if tuple(out.shape) != shape or np.dtype(out.dtype) != np.float32:
            raise ValueError(
                f"out must be a float32 array of shape {shape}, not {np.dtype(out.dtype)} of shape {tuple(out.shape)}")
        store = getattr(out, "store", None)
        if type(store).__name__ == "MemoryStore":
            raise ValueError("out is a zarr array in memory: worker processes would each write to a copy of "
                             "their own; give a zarr array on disk or shared storage, or out=None")
        return ("zarr", out), int(out.chunks[1]), None
    raise TypeError(
        f"out must be None, a path ending in .npy or .zarr, or a zarr array, not {type(out).__name__}")


def _slots(client):
    """Worker threads of a running client; ValueError naming `client` when it is not connected."""
    status = getattr(client, "status", None)
    try:
        if status not in ("running", "connecting", "newly-created"):
            raise AttributeError
        nthreads = client.nthreads()
    except (AttributeError, OSError):
        raise ValueError(f"client must be a connected dask.distributed Client, not one whose status is {status!r}"
                         ) from None
    if not nthreads:
        raise ValueError("client has no workers")
    return nthreads


def embed(graph, client, dim=128, weights=(0.0, 1.0, 1.0), *, seed=None, blocks=None, out=None,
          partition=None, parts=None, num_nodes=None, **options):
    """Fit the embedding of `graph` on the workers of a dask.distributed `client`.

    Takes the graphs and options of ``graphripple.embed`` (``undirected``,
    ``node_features``, ``feature_weight``, ``normalization``,
    ``degree_exponent``, ``edge_weight``, ``direction``) and gives its bytes
    for the same seed. The graph is converted here once and scattered to
    every worker; each task fits one block of columns.

    blocks: number of column blocks, at most the embedding width (with
        normalization="l2": one per direction); default one per worker.
        Blocks have equal widths except the last, so there may be fewer
        than asked for. A block is the unit of a fit's work matrices (its
        memory); with more blocks than task slots (the workers' threads)
        each task fits a contiguous range of blocks over one transition.
    seed: without one, a 64-bit seed is drawn here once, so all blocks agree.
    out: None returns a ``dask.array`` (float32, num_nodes x width, one
        chunk per block) whose blocks stay in worker memory. A path ending
        in ".npy" is written as a column-major .npy file and returned as a
        read-only memmap; a path ending in ".zarr" or a zarr array (on disk
        or shared storage) is filled and returned. The path must be
        reachable from every worker under the same name.

    partition: "columns" (the default for in-memory graphs: every worker
        holds the whole graph and fits column blocks) or "rows" (the default
        for a dask DataFrame of edges: each of ``parts`` workers holds a
        range of rows and exchanges the rows its peers need once per
        propagation; see ``distributed_rows.embed_rows``). ``parts`` and
        ``num_nodes`` apply to row partitions only.

    Returns once every block is done; an error in any block is raised here
    (the first one, as its own exception) after the others are cancelled.
    """
    from . import distributed_rows

    if partition is None:
        partition = "rows" if distributed_rows.is_edge_frame(graph) else "columns"
    if partition == "rows":
        if blocks is not None:
            raise ValueError("blocks splits the columns; give parts with partition='rows'")
        return distributed_rows.embed_rows(graph, client, dim, weights, seed=seed, parts=parts,
                                           num_nodes=num_nodes, out=out, **options)
    if partition != "columns":
        raise ValueError(f"partition must be 'columns' or 'rows', not {partition!r}")
    if parts is not None or num_nodes is not None:
        raise ValueError("parts and num_nodes need partition='rows'")
    distributed = _import_distributed()
    from . import graph_input

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
    nthreads = _slots(client)
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
    npy_path = _npy_path(out)
    if npy_path is not None:
        # Column-major, so each block is one contiguous byte range of the
        # file and no two tasks ever write the same page. The file is
        # created (and its space reserved) under a temporary name, which the
        # tasks open, and renamed into place once every block is done.
        with create_npy_memmap(npy_path, shape, np.float32, fortran_order=True) as stored:
            _run(distributed, client, csr, node_features, dim, weights, seed, options,
                 ("npy", os.fspath(stored.filename)), shape, block_bounds(width, blocks, direction_multiple), slots)
        return np.load(npy_path, mmap_mode="r")
    with contextlib.ExitStack() as stack:
        sink, multiple, final = (None, 1, None) if out is None else _prepare_sink(out, shape, blocks, stack)
        result = _run(distributed, client, csr, node_features, dim, weights, seed, options, sink, shape,
                      block_bounds(width, blocks, math.lcm(multiple, direction_multiple)), slots)
    if final is not None:
        import zarr

        return zarr.open_array(final, mode="r")
    return result


def _run(distributed, client, csr, node_features, dim, weights, seed, options, sink, shape, bounds, slots):
    """Fit the blocks `bounds` on the cluster; the dask array of the result, or None with a sink."""
    [payload] = client.scatter([_Payload(csr, node_features)], broadcast=True, hash=False)
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
