"""Row partitions on Dask, the worker side: the tasks that ``_rows`` submits.

A row block owns the nodes [lo, hi). Its edges are those its rows of the
transition are made of (see ``MODES``), in input order; from them the native
engine builds the block graph over the "gathered" nodes (its own and the
peer nodes its edges name, ascending), its rows of the transition, and its
rows of X0 from the same per-row random streams as a whole-graph fit.

Gathered layout. The native transition indexes the gathered nodes in id
order; here the columns are renumbered so that the block's own rows come
first and the peer rows (``halo``, ascending) after them: the propagation
reads its own rows of X(k) and the arrays received from each peer, in
block order, where they are, without copying them together.

Tasks never change their inputs, with one exception that stays invisible
to the scheduler: the accumulator moves from a state to the next one
instead of being copied (the consumed state is marked, so a rerun over it
fails loudly instead of adding a term twice).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._options import EDGE_WEIGHT_CODES
from .._validation import check_log1p_weights

# Which edges a block needs: out-edges of its rows ("out"), in-edges ("in"),
# or both ("touching", for A + A^T and for direction="both").
MODES = ("out", "in", "touching")
# Each frame partition's row positions start at its index shifted by this
# many bits, so positions keep the input order without knowing the
# partition lengths.
POSITION_BITS = 40


def _native() -> Any:
    from .. import _native_ext

    return _native_ext


@dataclass
class EdgePiece:
    """The edges of one block in input order (positions ascending)."""

    sources: NDArray[np.int64]
    targets: NDArray[np.int64]
    weights: NDArray[np.float64]
    positions: NDArray[np.int64]

    @classmethod
    def empty(cls) -> EdgePiece:
        no_ids = np.zeros(0, dtype=np.int64)
        return cls(no_ids, no_ids, np.zeros(0, dtype=np.float64), no_ids)

    def __len__(self) -> int:
        return int(self.sources.shape[0])

    def __sizeof__(self) -> int:  # what Dask weighs when it places tasks
        return _nbytes(self.sources, self.targets, self.weights, self.positions)


def _nbytes(*arrays: Any) -> int:
    return 64 + sum(int(a.nbytes) for a in arrays if a is not None)


def split_edges(edges: EdgePiece, bounds: NDArray[np.int64], mode: str) -> list[EdgePiece]:
    """The edges each block [bounds[p], bounds[p + 1]) needs, in the order given."""
    parts = len(bounds) - 1
    by_source = np.searchsorted(bounds, edges.sources, side="right") - 1
    by_target = np.searchsorted(bounds, edges.targets, side="right") - 1
    pieces = []
    for p in range(parts):
        if mode == "out":
            keep = by_source == p
        elif mode == "in":
            keep = by_target == p
        else:
            keep = (by_source == p) | (by_target == p)
        index = np.flatnonzero(keep)
        pieces.append(EdgePiece(edges.sources[index], edges.targets[index], edges.weights[index],
                            edges.positions[index]))
    return pieces


def check_frame_columns(columns: Any, dtypes: Any) -> None:
    """The endpoint columns an edge DataFrame needs: present, and of an integer dtype.

    Checked on the frame's metadata before any task runs, and again by each
    partition (whose own dtypes may differ from the metadata's).
    """
    for name in ("source", "target"):
        if name not in columns:
            raise ValueError(f"graph: the edge DataFrame has no column {name!r} (columns: {list(columns)})")
    for name in ("source", "target"):
        dtype = dtypes[name]
        if getattr(dtype, "kind", "O") not in "iu":
            raise TypeError(f"graph: column {name!r} must hold integer node ids, not {dtype}")


def split_frame(frame: Any, partition: int, bounds: NDArray[np.int64], num_nodes: int, mode: str,
                edge_weight: str) -> list[EdgePiece]:
    """Task: check one partition of an edge DataFrame and split it among the blocks."""
    check_frame_columns(frame.columns, frame.dtypes)
    arrays = {}
    for name in ("source", "target"):
        column = frame[name]
        if column.isna().any():
            raise ValueError(f"graph: column {name!r} holds missing values")
        values = column.to_numpy()
        if values.dtype.kind not in "iu":
            raise TypeError(f"graph: column {name!r} must hold integer node ids, not {values.dtype}")
        bad = np.flatnonzero((values < 0) | (values >= num_nodes))
        if bad.size:
            raise ValueError(f"graph: {name} id {values[bad[0]]} (partition {partition}, row {bad[0]}) is outside "
                             f"0..{num_nodes - 1} for num_nodes={num_nodes}")
        arrays[name] = values.astype(np.int64, copy=False)
    if "weight" in frame.columns:
        import pandas

        column = frame["weight"]
        if not (pandas.api.types.is_numeric_dtype(column.dtype) or pandas.api.types.is_bool_dtype(column.dtype)):
            raise TypeError(f"graph: column 'weight' must hold real numbers, not {column.dtype}")
        # As for a local fit of the same frame: a missing weight is refused, not taken as NaN.
        if column.isna().any():
            raise ValueError("graph: column 'weight' holds missing values")
        weights = column.to_numpy(dtype=np.float64)
        if edge_weight == "log1p":
            check_log1p_weights(weights, lambda k: f"the graph has weight {weights[k]!r} (partition {partition}, "
                                                   f"row {k})")
    else:
        weights = np.ones(len(frame), dtype=np.float64)
    positions = (np.int64(partition) << POSITION_BITS) + np.arange(len(frame), dtype=np.int64)
    return split_edges(EdgePiece(arrays["source"], arrays["target"], weights, positions), bounds, mode)


def join_edges(*pieces: EdgePiece) -> EdgePiece:
    """Task: one block's pieces from every frame partition, in partition order."""
    if not pieces:
        return EdgePiece.empty()
    return EdgePiece(*(np.concatenate([getattr(p, name) for p in pieces])
                   for name in ("sources", "targets", "weights", "positions")))


@dataclass
class Direction:
    """One propagation graph of a block: its rows of the transition and its exchange plan."""

    row_ptrs: NDArray[np.int64]
    columns: NDArray[np.int64]  # own rows first, then the halo
    scales: NDArray[np.float32]
    halo: NDArray[np.int64]  # peer node ids, ascending


    def __sizeof__(self) -> int:
        return _nbytes(self.row_ptrs, self.columns, self.scales, self.halo)

    def aligned(self) -> Direction:
        """The arrays the native code reads, aligned: arrays deserialised from a
        network frame may start at any byte. Copied once per worker, in place
        (equal copies, so racing tasks are harmless)."""
        for name in ("row_ptrs", "columns", "scales"):
            array = getattr(self, name)
            if not (array.flags.aligned and array.flags.c_contiguous):
                setattr(self, name, np.require(array, requirements=["C", "A"]))
        return self


@dataclass
class Block:
    """A block's graph side, built once: one Direction per propagation graph."""

    lo: int
    hi: int
    directions: list[Direction]
    refusal: tuple[int, int, str] | None = None

    @property
    def rows(self) -> int:
        return self.hi - self.lo

    def __sizeof__(self) -> int:
        return 64 + sum(d.__sizeof__() for d in self.directions)


def build_block(edges: EdgePiece, lo: int, hi: int, graphs: list[tuple[bool, str]], edge_weight: str) -> Block:
    """Task: the block's rows of each transition in ``graphs`` ((undirected, direction) pairs)."""
    native = _native()
    block = Block(lo, hi, [])
    for undirected, direction in graphs:
        if undirected:
            index = np.arange(len(edges))
        elif direction == "in":
            index = np.flatnonzero((edges.targets >= lo) & (edges.targets < hi))
        else:
            index = np.flatnonzero((edges.sources >= lo) & (edges.sources < hi))
        sources, targets = edges.sources[index], edges.targets[index]
        ids = np.unique(np.concatenate([np.arange(lo, hi, dtype=np.int64), sources, targets]))
        own_at = int(np.searchsorted(ids, lo))
        row_ptrs, columns, scales, refusal = native.row_block_transition(
            ids, np.searchsorted(ids, sources), np.searchsorted(ids, targets),
            np.ascontiguousarray(edges.weights[index]), own_at, hi - lo, undirected=undirected,
            direction=1 if direction == "in" else 0, edge_weight=EDGE_WEIGHT_CODES[edge_weight])
        if refusal is not None:
            if block.refusal is None or refusal[:2] < block.refusal[:2]:
                block.refusal = refusal
            continue
        rows = hi - lo
        # Own rows first: ids below the block move behind them.
        below = columns < own_at
        own = ~below & (columns < own_at + rows)
        columns = np.where(own, columns - own_at, np.where(below, columns + rows, columns))
        halo = np.concatenate([ids[:own_at], ids[own_at + rows:]])
        block.directions.append(Direction(row_ptrs, columns, scales, halo))
    return block


def block_summary(block: Block, bounds: NDArray[np.int64]) -> tuple[tuple[int, int, str] | None, list[list[int]]]:
    """Task: (refusal, rows needed from each block, per direction), small enough for the client."""
    counts = []
    for direction in block.directions:
        owners = np.searchsorted(bounds, direction.halo, side="right") - 1
        counts.append(np.bincount(owners, minlength=len(bounds) - 1).tolist())
    return block.refusal, counts


def requested_rows(block: Block, d: int, lo: int, hi: int) -> NDArray[np.int64]:
    """Task: the rows (relative to ``lo``) that ``block`` needs from the block owning [lo, hi)."""
    halo = block.directions[d].halo
    start, stop = np.searchsorted(halo, [lo, hi])
    return halo[start:stop] - lo


@dataclass
class State:
    """A block's rows of X(k) and of the accumulator (combine="concat": of each term so far)."""

    x: NDArray[np.float32] | None
    acc: NDArray[np.float32] | None
    step: int
    consumed: bool = field(default=False)
    terms: list[NDArray[np.float32]] | None = None

    def __sizeof__(self) -> int:
        # Dask places a block's next propagation where this is: it must
        # know that the state, not the rows received, is the large input.
        return _nbytes(self.x, self.acc, *(self.terms or ()))


def _zero_term(weight: float) -> bool:
    return weight == 0.0  # NaN counts as a term, -0.0 does not


def start_state(block: Block, d: int, dim: int, seed: int, features: Any, feature_weight: float,
                degree_exponent: float, weight0: float, concat: bool = False) -> State:
    """Task: the block's rows of X0 (degree-scaled), and the first accumulation
    (weight0 0.0: none, or deferred to the next propagation); with ``concat``
    the first term (X0 * w0) + 0.0 on its own."""
    native = _native()
    direction = block.directions[d].aligned()
    rows = block.rows
    if features is not None:
        features = np.require(np.asarray(features), dtype=np.float64, requirements=["C", "A"])
        if features.shape[0] != rows:
            raise ValueError(f"node_features block has {features.shape[0]} rows, not {rows}")
    x0 = native.row_block_start(block.lo, rows, dim, seed, features, feature_weight,
                                np.ascontiguousarray(direction.row_ptrs), degree_exponent)
    acc = None
    if not _zero_term(weight0):
        acc = np.multiply(x0, np.float32(weight0))
        acc += np.float32(0.0)  # (x * w) + 0.0, as the first accumulation of a fit
    if concat:
        return State(x0, None, 0, terms=[] if acc is None else [acc])
    return State(x0, acc, 0)


def pick_rows(state: State, rows: NDArray[np.int64]) -> NDArray[np.float32]:
    """Task: rows of a peer's X(k) that one block needs."""
    assert state.x is not None
    return state.x[rows]


def step_state(block: Block, d: int, state: State, weight: float, last: bool, normalize: bool,
               deferred_weight: float | None, *received: NDArray[np.float32]) -> State:
    """Task: the block's rows of X(k + 1) = T X(k), accumulated with ``weight``.

    ``received`` are the peers' rows, in block order: together the halo.
    ``deferred_weight``: X(k)'s own accumulation, made here together with
    the last one (as the whole-graph fit does when the last two weights are
    the only ones, so one matrix fewer is held).
    """
    if state.consumed or state.x is None:
        raise RuntimeError("a row block's state was used twice: its propagation cannot be rerun in place")
    native = _native()
    direction = block.directions[d].aligned()
    rows = block.rows
    sources = [np.require(a, dtype=np.float32, requirements=["C", "A"]) for a in (state.x, *received)]
    halo = sum(a.shape[0] for a in sources[1:])
    if halo != direction.halo.shape[0]:
        raise RuntimeError(f"a row block received {halo} rows from its peers, not {direction.halo.shape[0]}")
    dim = sources[0].shape[1]
    following = None if last else np.empty((rows, dim), dtype=np.float32)
    acc = state.acc
    mode = 0  # add
    if state.terms is not None and not _zero_term(weight):
        acc = None  # each term of a concat fit is stored on its own: (X(k + 1) * w) + 0.0
    if not _zero_term(weight) and acc is None:
        acc = np.empty((rows, dim), dtype=np.float32)
        mode = 1 if deferred_weight is None else 2  # store, or store with the deferred term
    native.row_block_propagate(
        direction.row_ptrs, direction.columns, direction.scales, sources, next=following,
        accumulator=None if _zero_term(weight) else acc, weight=weight, mode=mode,
        deferred_weight=0.0 if deferred_weight is None else deferred_weight, normalize=normalize)
    state.consumed = True
    state.acc = None
    if state.terms is not None:
        terms = state.terms + ([] if _zero_term(weight) or acc is None else [acc])
        return State(following, None, state.step + 1, terms=terms)
    return State(following, acc, state.step + 1)


def finish(rows: int, width: int, *states: State) -> NDArray[np.float32]:
    """Task: the block's rows of the embedding: each direction's accumulator, side by side
    (no states: no weight is non-zero, and the rows are zeros)."""
    if states and all(s.terms is not None for s in states):
        columns = [t for s in states for t in (s.terms or ())]
    elif not states or any(s.acc is None for s in states):
        return np.zeros((rows, width), dtype=np.float32)
    else:
        columns = [s.acc for s in states if s.acc is not None]
    if not columns:
        return np.zeros((rows, width), dtype=np.float32)
    return columns[0] if len(columns) == 1 else np.concatenate(columns, axis=1)
