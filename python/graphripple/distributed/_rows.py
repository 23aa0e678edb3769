"""Row partitions on Dask, the client side: graphs larger than one worker.

Block p of ``parts`` owns a contiguous range of rows (nodes): the edges its
rows of the transition are made of, its rows of the transition, of X0 and of
every propagated matrix. Before each propagation each block receives from
its peers exactly the rows of X(k) that its columns name (a plan fixed once
when the transitions are built) and computes its own rows in the
whole-graph fit's per-row order, so the result has the bytes of
``graphripple.embed`` on the same edges.

- The graph is a ``dask.dataframe.DataFrame`` of edges (integer columns
  ``source`` and ``target``, optionally ``weight``), read and split by the
  workers themselves, so the edge list never passes through the client; or
  any graph ``graphripple.embed`` takes, which the client converts and
  splits, sending each block only its own edges.
- Repeated edges are summed in input order: every edge carries its input
  position through the split, and a block's graph keeps it.
- Each task is an ordinary Dask task with its inputs as dependencies, so a
  worker lost mid-run has its blocks recomputed from their inputs (the same
  bytes); when that fails too the call raises and returns nothing partial.
"""

from __future__ import annotations

import contextlib
import math
import operator
import uuid
from typing import Any

import numpy as np

from .. import _options
from .._edges import sparse_ids_problem
from . import _tasks as tasks
from ._client import connected_slots, hand_over
from ._sinks import row_sink, write_npy, write_zarr

__all__ = ["embed_rows", "is_edge_frame"]

KEY_PREFIX = "graphripple-rows"
_OPTIONS = frozenset(
    {"undirected", "node_features", "feature_weight", "normalization", "degree_exponent", "edge_weight",
     "direction", "combine"})


def is_edge_frame(graph: Any) -> bool:
    """True for a dask DataFrame (the edge-list input that only row partitions take)."""
    return type(graph).__module__.split(".")[0] in ("dask", "dask_expr") and hasattr(graph, "to_delayed") \
        and hasattr(graph, "columns")


def row_bounds(num_nodes: int, parts: int) -> np.ndarray:
    """Block boundaries: equal blocks of ceil(n / parts) rows (the last may be shorter), none empty."""
    if num_nodes == 0:
        return np.array([0, 0], dtype=np.int64)
    step = math.ceil(num_nodes / parts)
    return np.array(list(range(0, num_nodes, step)) + [num_nodes], dtype=np.int64)


def _check_csr(csr: Any) -> None:
    """The checks of the native CSR validation, for graphs split before any native call sees them."""
    n, row_ptrs, cols = csr.num_nodes, csr.row_ptrs, csr.col_indices
    if row_ptrs.shape[0] != n + 1:
        raise ValueError(f"row_ptrs length {row_ptrs.shape[0]} must be num_nodes + 1 ({n + 1})")
    if cols.shape[0] != csr.values.shape[0]:
        raise ValueError("col_indices and values must have the same length")
    if row_ptrs[0] != 0:
        raise ValueError(f"row_ptrs[0] must be 0, got {row_ptrs[0]}")
    if row_ptrs[-1] != cols.shape[0]:
        raise ValueError(f"row_ptrs last element ({row_ptrs[-1]}) must equal col_indices length ({cols.shape[0]})")
    down = np.flatnonzero(np.diff(row_ptrs) < 0)
    if down.size:
        i = down[0]
        raise ValueError(f"row_ptrs must be monotonically non-decreasing, found {row_ptrs[i]} followed by "
                         f"{row_ptrs[i + 1]}")
    bad = np.flatnonzero((cols < 0) | (cols >= n))
    if bad.size:
        k = bad[0]
        raise ValueError(f"col_indices[{k}] = {cols[k]} is out of bounds for graph with {n} nodes")


def _client_pieces(client: Any, graph: Any, undirected: bool, num_nodes: Any, parts: int, mode: str,
                   edge_weight: str) -> tuple[int, np.ndarray, list[Any]]:
    """An in-memory graph converted here, split by block and scattered: (n, bounds, futures)."""
    from .._embed import _check_log1p_weights
    from .._graph_input import to_csr

    csr = to_csr(graph, undirected=undirected)
    _check_csr(csr)
    if edge_weight == "log1p":
        _check_log1p_weights(csr.values)
    n = int(csr.num_nodes)
    if num_nodes is not None and num_nodes != n:
        raise ValueError(f"num_nodes={num_nodes} does not match the graph's {n} nodes")
    sources = np.repeat(np.arange(n, dtype=np.int64), np.diff(csr.row_ptrs))
    edges = tasks.EdgePiece(sources, csr.col_indices.astype(np.int64, copy=False),
                             csr.values.astype(np.float64, copy=False),
                             np.arange(sources.shape[0], dtype=np.int64))
    bounds = row_bounds(n, parts)
    pieces = tasks.split_edges(edges, bounds, mode)
    del edges, sources
    return n, bounds, hand_over(client, pieces, f"{KEY_PREFIX}-edges")


def _frame_pieces(client: Any, frame: Any, num_nodes: Any, parts: int, mode: str,
                  edge_weight: str) -> tuple[int, np.ndarray, list[Any]]:
    """A DataFrame of edges read and split by the workers: (n, bounds, futures of each block's edges)."""
    import dask

    tasks.check_frame_columns(frame.columns, frame.dtypes)
    if num_nodes is None:
        # Three scalars come back, not the edges.
        *highest, count = dask.compute(frame["source"].max(), frame["target"].max(), frame.shape[0])
        top = max((int(v) for v in highest if v is not None and v == v), default=-1)
        num_nodes = top + 1
        problem = sparse_ids_problem(num_nodes, int(count))
        if problem is not None:
            # As a local fit refuses: ids such as user numbers would allocate rows for every number.
            raise ValueError(f"{problem}; pass num_nodes to confirm")
    n = num_nodes
    bounds = row_bounds(n, parts)
    token = uuid.uuid4().hex
    splits = client.compute([
        dask.delayed(tasks.split_frame, pure=False)(part, j, bounds, n, mode, edge_weight,
                                                         dask_key_name=f"{KEY_PREFIX}-split-{token}-{j}")
        for j, part in enumerate(frame.to_delayed())])
    pieces = []
    for p in range(len(bounds) - 1):
        picked = [client.submit(operator.getitem, s, p, key=f"{KEY_PREFIX}-pick-{token}-{j}-{p}")
                  for j, s in enumerate(splits)]
        pieces.append(client.submit(tasks.join_edges, *picked, key=f"{KEY_PREFIX}-edges-{token}-{p}"))
    return n, bounds, pieces


def _feature_blocks(client: Any, features: Any, n: int, bounds: np.ndarray) -> list[Any]:
    """Each block's rows of the node features: futures (or None per block)."""
    blocks = len(bounds) - 1
    if features is None:
        return [None] * blocks
    if type(features).__module__.startswith("dask"):
        if features.ndim != 2 or features.shape[0] != n:
            raise ValueError(f"node_features must have one row per node ({n}), got shape {features.shape}")
        sizes = tuple(int(b) for b in np.diff(bounds)) if n else (0,)
        rows = features.rechunk({0: sizes, 1: -1}).to_delayed().ravel().tolist()
        computed: list[Any] = client.compute(rows)
        return computed
    from .._embed import _node_features

    array = _node_features(features, n)
    assert array is not None
    return hand_over(client, [np.ascontiguousarray(array[lo:hi]) for lo, hi in zip(bounds[:-1], bounds[1:])],
                     f"{KEY_PREFIX}-features")


def _graphs(checked: Any) -> list[tuple[bool, str, int]]:
    """(undirected, direction, seed offset) of each propagation graph, in column order."""
    if checked.undirected:
        return [(True, "out", 0)]
    if checked.direction == "both":
        return [(False, "out", 0), (False, "in", _options.DIRECTION_SEED_OFFSET)]
    return [(False, checked.direction, 0)]


def _wait(futures: list[Any]) -> None:
    """Return when every future is done; raise the first failure's own exception."""
    import distributed

    for future in distributed.as_completed(futures):
        if future.status != "finished":
            future.result()
            raise RuntimeError(f"row block task {future.key} ended as {future.status!r}")


def embed_rows(graph: Any, client: Any, dim: int, weights: Any, *, seed: Any = None, parts: Any = None,
               num_nodes: Any = None, out: Any = None, **options: Any) -> Any:
    """Fit the embedding of `graph` in `parts` row blocks on the workers of `client`.

    Returns a ``dask.array`` (float32, num_nodes x width) with one chunk per
    block, its blocks held by the workers; or, with ``out`` a path ending in
    ".npy" or ".zarr", writes the store under a temporary name, renames it
    when complete (an old store stays intact on failure) and returns it
    opened read-only.
    """
    unknown = sorted(set(options) - _OPTIONS)
    if unknown:
        raise TypeError(f"graphripple.distributed.embed() got an unexpected keyword argument '{unknown[0]}'")
    features = options.pop("node_features", None)
    checked = _options.check_options(dim=dim, weights=weights, seed=seed, **options)
    dim, weights = checked.dim, [float(w) for w in checked.weights]
    seed = _options.draw_seed() if checked.seed is None else checked.seed
    nthreads = connected_slots(client)
    if parts is None:
        parts = max(1, len(nthreads))
    if isinstance(parts, bool) or not isinstance(parts, (int, np.integer)) or parts < 1:
        raise ValueError(f"parts must be an integer of at least 1, not {parts!r}")
    if num_nodes is not None and (isinstance(num_nodes, bool) or not isinstance(num_nodes, (int, np.integer))
                                  or num_nodes < 0):
        raise ValueError(f"num_nodes must be None or a non-negative integer, not {num_nodes!r}")
    graphs = _graphs(checked)
    mode = "touching" if checked.undirected or checked.direction == "both" else checked.direction
    if is_edge_frame(graph):
        n, bounds, pieces = _frame_pieces(client, graph, num_nodes, int(parts), mode, checked.edge_weight)
    else:
        n, bounds, pieces = _client_pieces(client, graph, checked.undirected, num_nodes, int(parts), mode,
                                           checked.edge_weight)
    width = checked.total_columns
    feature_blocks = _feature_blocks(client, features, n, bounds)
    with contextlib.ExitStack() as stack:
        sink: tuple[str, Any] | None = None
        if out is not None:
            sink, path = row_sink(out, (n, width), bounds, stack)
        blocks = _fit(client, pieces, feature_blocks, bounds, graphs, checked, dim, weights, seed)
        if sink is None:
            import dask.array as da

            chunks = [da.from_delayed(b, shape=(int(hi - lo), width), dtype=np.float32)
                      for b, lo, hi in zip(blocks, bounds[:-1], bounds[1:])]
            return chunks[0] if len(chunks) == 1 else da.concatenate(chunks, axis=0)
        kind, target = sink
        writer = write_npy if kind == "npy" else write_zarr
        token = uuid.uuid4().hex
        written = [client.submit(writer, b, target, int(lo), key=f"{KEY_PREFIX}-write-{token}-{p}")
                   for p, (b, lo) in enumerate(zip(blocks, bounds[:-1]))]
        _wait(written)
        del blocks, written, sink, target
    if kind == "npy":
        return np.load(path, mmap_mode="r")
    import zarr

    return zarr.open_array(path, mode="r")


def _fit(client: Any, pieces: list[Any], feature_blocks: list[Any], bounds: np.ndarray,
         graphs: list[tuple[bool, str, int]], checked: Any, dim: int, weights: list[float],
         seed: int) -> list[Any]:
    """Submit the whole fit; returns one finished future per block (its rows of the embedding)."""
    token = uuid.uuid4().hex
    count = len(bounds) - 1

    def key(*parts: object) -> str:
        return "-".join([KEY_PREFIX, *map(str, parts), token])

    # Blocks spread evenly over the workers, each block's tasks on its
    # worker (a soft restriction: a lost worker's blocks still move), so a
    # block's state never travels and no worker takes two blocks while
    # another has none.
    workers = sorted(client.scheduler_info()["workers"]) or [None]
    home = [{"workers": None if workers[p % len(workers)] is None else [workers[p % len(workers)]],
             "allow_other_workers": True} for p in range(count)]
    built = [client.submit(tasks.build_block, pieces[p], int(bounds[p]), int(bounds[p + 1]),
                           [(u, d) for u, d, _ in graphs], checked.edge_weight, key=key("block", p), **home[p])
             for p in range(count)]
    summaries = [client.submit(tasks.block_summary, b, bounds, key=key("plan", p))
                 for p, b in enumerate(built)]
    # Dropped here so that the workers free each block's edges once its graph
    # side is built (the scheduler can still recompute them for a lost worker).
    pieces.clear()
    try:
        _wait(summaries)
        results = client.gather(summaries)
    except BaseException:
        client.cancel(built + summaries)
        raise
    refusals = [r for r, _ in results if r is not None]
    if refusals:
        client.cancel(built)
        raise ValueError(min(refusals)[2])
    nonzero = [i for i, w in enumerate(weights) if w != 0.0]  # NaN counts, -0.0 does not
    last = nonzero[-1] if nonzero else -1
    # The whole-graph fit's two-matrix plan: when the only terms are the last
    # two, the first is accumulated together with the second.
    concat = checked.combine == "concat"
    deferred = not concat and len(nonzero) == 2 and nonzero[1] == nonzero[0] + 1
    step_weights = list(weights)
    if deferred:
        step_weights[nonzero[0]] = 0.0
    finals = []
    for d, (_, _, offset) in enumerate(graphs):
        dir_seed = (seed + offset) % (1 << 64)
        states: list[Any] = []
        for p in range(count):
            if last < 0:
                states.append(None)
                continue
            states.append(client.submit(
                tasks.start_state, built[p], d, dim, dir_seed, feature_blocks[p], checked.feature_weight,
                checked.degree_exponent, step_weights[0], concat, key=key("start", d, p), **home[p]))
        asks = {}
        for p in range(count):
            for q, needed in enumerate(results[p][1][d] if last > 0 else []):
                if needed:
                    asks[p, q] = client.submit(tasks.requested_rows, built[p], d, int(bounds[q]),
                                               int(bounds[q + 1]), key=key("ask", d, p, q), **home[p])
        for i in range(1, last + 1):
            received = {p: [client.submit(tasks.pick_rows, states[q], asks[p, q], key=key("pick", d, i, q, p),
                                          **home[q])
                            for q in range(count) if (p, q) in asks]
                        for p in range(count)}
            carried = weights[nonzero[0]] if deferred and i == last else None
            states = [client.submit(tasks.step_state, built[p], d, states[p], step_weights[i], i == last,
                                    checked.normalization == "l2", carried, *received[p], key=key("step", d, i, p),
                                    **home[p])
                      for p in range(count)]
        finals.append(states)
    width = checked.total_columns
    feature_blocks.clear()
    blocks = [client.submit(tasks.finish, int(bounds[p + 1] - bounds[p]), width,
                            *[f[p] for f in finals if f[p] is not None], key=key("result", p), **home[p])
              for p in range(count)]
    try:
        _wait(blocks)
    except BaseException:
        client.cancel(blocks)
        raise
    return blocks
