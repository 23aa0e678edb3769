"""The front door: ``embed`` and ``embed_labelled`` on any graph kind ``to_csr`` accepts.

Every option is checked here, before any work, so that a bad value is a
``TypeError`` or ``ValueError`` naming its argument. The graph is turned into
CSR arrays (``graph_input.to_csr``) and handed to ``_native_core.fit_csr`` when
every extra option is at its default, or to ``_native_ext.fit_csr_ext``
otherwise. Without ``_native_ext`` a column range is served by slicing a
full fit and the other extra options raise ``NotImplementedError``.

``direction="both"`` concatenates the out-embedding (seed s) and the
in-embedding (seed s + DIRECTION_SEED_OFFSET, modulo 2**64); ``columns``,
``out`` and ``block_columns`` then index those 2 * dim columns. With ``out``
or ``block_columns`` the result is computed block by block of columns, so
that only one block's work matrices exist at a time; without a seed one
64-bit seed is drawn once from the operating system so that the blocks
belong to the same embedding. When ``_native_ext`` is built and the target
is a NumPy array (a ``numpy.memmap`` included), each direction is one
native call that builds the transition once for all its blocks and writes
them into the target; other targets (zarr, h5py) get one call per block.
"""

from __future__ import annotations

import importlib
import math
import numbers
import operator
import os
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Sequence, TypeVar, overload

from ._checks import non_negative_int

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native_core
from .graph_input import CsrInput, to_csr

__all__ = ["embed", "embed_labelled", "DIRECTION_SEED_OFFSET", "draw_seed"]

DIRECTION_SEED_OFFSET = 0xD1B54A32D192ED03
_SEED_MODULUS = 1 << 64

_NORMALIZATIONS = (None, "l2")
_EDGE_WEIGHTS = ("raw", "binary", "log1p")
_DIRECTIONS = ("out", "in", "both")

_OutT = TypeVar("_OutT")


def draw_seed() -> int:
    """One 64-bit seed from the operating system's random source."""
    return int.from_bytes(os.urandom(8), "little")


@dataclass(frozen=True)
class Options:
    """The checked settings of one embedding (all but the graph and the features)."""

    dim: int
    weights: tuple[float, ...]
    undirected: bool
    seed: int | None
    feature_weight: float
    columns: tuple[int, int] | None
    block_columns: int | None
    normalization: str | None
    degree_exponent: float
    edge_weight: str
    direction: str

    @property
    def total_columns(self) -> int:
        """Columns of the whole embedding: dim, or 2 * dim for direction "both"."""
        return 2 * self.dim if self.direction == "both" else self.dim

    @property
    def column_range(self) -> tuple[int, int]:
        return self.columns if self.columns is not None else (0, self.total_columns)

    @property
    def width(self) -> int:
        start, stop = self.column_range
        return stop - start

    @property
    def extras_at_default(self) -> bool:
        """True when the engine's own options are all at their defaults."""
        return (
            self.normalization is None
            and self.degree_exponent == 0.0
            and self.edge_weight == "raw"
            and self.direction == "out"
        )


def check_options(
    dim: Any,
    weights: Any,
    *,
    undirected: Any = True,
    seed: Any = None,
    feature_weight: Any = 1.0,
    columns: Any = None,
    block_columns: Any = None,
    normalization: Any = None,
    degree_exponent: Any = 0.0,
    edge_weight: Any = "raw",
    direction: Any = "out",
) -> Options:
    """Validate the options of ``embed``; raises TypeError/ValueError naming the argument."""
    dim_value = non_negative_int(dim, "dim")
    weight_values = _weights(weights)
    undirected_value = _boolean(undirected, "undirected")
    seed_value = _seed(seed)
    feature_weight_value = _real(feature_weight, "feature_weight")
    normalization_value = _choice(normalization, "normalization", _NORMALIZATIONS)
    degree_value = _real(degree_exponent, "degree_exponent")
    if not math.isfinite(degree_value):
        raise ValueError(f"degree_exponent must be finite, not {degree_value!r}")
    edge_weight_value = _choice(edge_weight, "edge_weight", _EDGE_WEIGHTS)
    direction_value = _choice(direction, "direction", _DIRECTIONS)
    if direction_value != "out" and undirected_value:
        raise ValueError(
            f"direction={direction_value!r} needs undirected=False: an undirected fit propagates "
            "over A + A^T, which has no direction"
        )
    total = 2 * dim_value if direction_value == "both" else dim_value
    columns_value = _columns(columns, total)
    block_value = None
    if block_columns is not None:
        block_value = non_negative_int(block_columns, "block_columns")
        if block_value == 0:
            raise ValueError("block_columns must be at least 1")
    options = Options(
        dim=dim_value,
        weights=weight_values,
        undirected=undirected_value,
        seed=seed_value,
        feature_weight=feature_weight_value,
        columns=columns_value,
        block_columns=block_value,
        normalization=normalization_value,
        degree_exponent=degree_value,
        edge_weight=edge_weight_value,
        direction=direction_value,
    )
    if normalization_value == "l2":
        # l2 scales each row over all of its columns: every fit must cover the
        # whole of its direction's columns.
        for _, (lo, hi), _unused in _blocks(options):
            for _direction, piece_lo, piece_hi in _pieces(options, lo, hi):
                if (piece_lo, piece_hi) != (0, dim_value):
                    name = "block_columns" if block_value is not None else "columns"
                    raise ValueError(
                        f"{name} narrower than the {dim_value} columns of a direction cannot be combined "
                        "with normalization='l2', which scales each row over all of its columns"
                    )
    return options


# ---------------------------------------------------------------------------
# Public functions


@overload
def embed(
    graph: Any,
    dim: int = ...,
    weights: Sequence[float] | NDArray[Any] = ...,
    *,
    undirected: bool = ...,
    seed: int | None = ...,
    node_features: ArrayLike | None = ...,
    feature_weight: float = ...,
    columns: tuple[int, int] | None = ...,
    out: None = ...,
    block_columns: int | None = ...,
    normalization: str | None = ...,
    degree_exponent: float = ...,
    edge_weight: str = ...,
    direction: str = ...,
) -> NDArray[np.float32]: ...


@overload
def embed(
    graph: Any,
    dim: int = ...,
    weights: Sequence[float] | NDArray[Any] = ...,
    *,
    undirected: bool = ...,
    seed: int | None = ...,
    node_features: ArrayLike | None = ...,
    feature_weight: float = ...,
    columns: tuple[int, int] | None = ...,
    out: _OutT,
    block_columns: int | None = ...,
    normalization: str | None = ...,
    degree_exponent: float = ...,
    edge_weight: str = ...,
    direction: str = ...,
) -> _OutT: ...


def embed(
    graph: Any,
    dim: int = 128,
    weights: Sequence[float] | NDArray[Any] = (0.0, 1.0, 1.0),
    *,
    undirected: bool = True,
    seed: int | None = None,
    node_features: ArrayLike | None = None,
    feature_weight: float = 1.0,
    columns: tuple[int, int] | None = None,
    out: Any = None,
    block_columns: int | None = None,
    normalization: str | None = None,
    degree_exponent: float = 0.0,
    edge_weight: str = "raw",
    direction: str = "out",
) -> Any:
    """Embed ``graph``: a float32 array with one row per node.

    ``graph``: a scipy.sparse array or matrix, a networkx graph, a 2-D NumPy
    dense adjacency matrix or :class:`graphripple.Edges`. ``dim`` columns
    per direction, ``weights`` one per power of the transition matrix,
    ``seed`` for bit-for-bit reproducible results. See the README's API
    section for the options.
    """
    result, _ = _embed(
        graph, dim, weights, undirected=undirected, seed=seed, node_features=node_features,
        feature_weight=feature_weight, columns=columns, out=out, block_columns=block_columns,
        normalization=normalization, degree_exponent=degree_exponent, edge_weight=edge_weight,
        direction=direction,
    )
    return result


@overload
def embed_labelled(
    graph: Any,
    dim: int = ...,
    weights: Sequence[float] | NDArray[Any] = ...,
    *,
    undirected: bool = ...,
    seed: int | None = ...,
    node_features: ArrayLike | None = ...,
    feature_weight: float = ...,
    columns: tuple[int, int] | None = ...,
    out: None = ...,
    block_columns: int | None = ...,
    normalization: str | None = ...,
    degree_exponent: float = ...,
    edge_weight: str = ...,
    direction: str = ...,
) -> tuple[NDArray[np.float32], NDArray[Any]]: ...


@overload
def embed_labelled(
    graph: Any,
    dim: int = ...,
    weights: Sequence[float] | NDArray[Any] = ...,
    *,
    undirected: bool = ...,
    seed: int | None = ...,
    node_features: ArrayLike | None = ...,
    feature_weight: float = ...,
    columns: tuple[int, int] | None = ...,
    out: _OutT,
    block_columns: int | None = ...,
    normalization: str | None = ...,
    degree_exponent: float = ...,
    edge_weight: str = ...,
    direction: str = ...,
) -> tuple[_OutT, NDArray[Any]]: ...


def embed_labelled(
    graph: Any,
    dim: int = 128,
    weights: Sequence[float] | NDArray[Any] = (0.0, 1.0, 1.0),
    *,
    undirected: bool = True,
    seed: int | None = None,
    node_features: ArrayLike | None = None,
    feature_weight: float = 1.0,
    columns: tuple[int, int] | None = None,
    out: Any = None,
    block_columns: int | None = None,
    normalization: str | None = None,
    degree_exponent: float = 0.0,
    edge_weight: str = "raw",
    direction: str = "out",
) -> tuple[Any, NDArray[Any]]:
    """``embed`` plus the label of each row: ``(embedding, nodes)``.

    ``nodes[i]`` is the networkx node or ``Edges`` label of row i, or i for
    graphs without labels.
    """
    return _embed(
        graph, dim, weights, undirected=undirected, seed=seed, node_features=node_features,
        feature_weight=feature_weight, columns=columns, out=out, block_columns=block_columns,
        normalization=normalization, degree_exponent=degree_exponent, edge_weight=edge_weight,
        direction=direction,
    )


def _embed(
    graph: Any,
    dim: Any,
    weights: Any,
    *,
    undirected: Any,
    seed: Any,
    node_features: Any,
    feature_weight: Any,
    columns: Any,
    out: Any,
    block_columns: Any,
    normalization: Any,
    degree_exponent: Any,
    edge_weight: Any,
    direction: Any,
) -> tuple[Any, NDArray[Any]]:
    options = check_options(
        dim, weights, undirected=undirected, seed=seed, feature_weight=feature_weight,
        columns=columns, block_columns=block_columns, normalization=normalization,
        degree_exponent=degree_exponent, edge_weight=edge_weight, direction=direction,
    )
    if out is not None:
        _check_out_kind(out)
    csr = to_csr(graph, undirected=options.undirected)
    features = _node_features(node_features, csr.num_nodes)
    if out is not None:
        _check_out_shape(out, csr.num_nodes, options.width)
    if options.edge_weight == "log1p":
        _check_log1p_weights(csr.values)
    return fit_input(csr, options, features, out), csr.nodes


# ---------------------------------------------------------------------------
# The fits


def fit_input(
    csr: CsrInput,
    options: Options,
    node_features: NDArray[np.float64] | None = None,
    out: Any = None,
) -> Any:
    """Embed an already converted graph with checked options (see ``embed``)."""
    blocked = out is not None or options.block_columns is not None
    if blocked and options.seed is None:
        options = _with_seed(options, draw_seed())
    if not blocked:
        start, stop = options.column_range
        pieces = [p for p in _pieces(options, start, stop) if p[2] > p[1]] or [
            next(iter(_pieces(options, start, stop)))
        ]
        if len(pieces) == 1:
            direction, lo, hi = pieces[0]
            return _fit_piece(csr, options, node_features, direction, lo, hi, cache=None)
        result = np.empty((csr.num_nodes, options.width), dtype=np.float32)
        offset = 0
        for direction, lo, hi in pieces:
            result[:, offset:offset + hi - lo] = _fit_piece(csr, options, node_features, direction, lo, hi, None)
            offset += hi - lo
        return result
    target = out if out is not None else np.empty((csr.num_nodes, options.width), dtype=np.float32)
    ext = native_ext()
    if ext is not None and isinstance(target, np.ndarray):
        return _fit_into(ext, csr, options, node_features, target)
    cache: dict[str, NDArray[np.float32]] = {}
    for offset, (lo, hi), _size in _blocks(options):
        column = offset
        for direction, piece_lo, piece_hi in _pieces(options, lo, hi):
            if piece_hi == piece_lo:
                continue
            block = _fit_piece(csr, options, node_features, direction, piece_lo, piece_hi, cache)
            target[:, column:column + piece_hi - piece_lo] = block
            column += piece_hi - piece_lo
            del block
    return target


def _fit_into(
    ext: ModuleType,
    csr: CsrInput,
    options: Options,
    node_features: NDArray[np.float64] | None,
    target: NDArray[np.float32],
) -> NDArray[np.float32]:
    """Fill ``target`` with one native call per direction.

    Each call validates the graph and builds its transition once and fits
    its columns block by block into its own columns of ``target`` (a view),
    so a blocked fit pays the graph side once rather than once per block.
    """
    start, stop = options.column_range
    pieces = [p for p in _pieces(options, start, stop) if p[2] > p[1]] or _pieces(options, start, stop)[:1]
    column = 0
    for direction, lo, hi in pieces:
        ext.fit_csr_ext(
            csr.row_ptrs, csr.col_indices, csr.values, csr.num_nodes, options.dim, list(options.weights),
            seed=_direction_seed(options, direction), undirected=options.undirected, node_features=node_features,
            feature_weight=options.feature_weight, columns=(lo, hi), normalization=options.normalization,
            degree_exponent=options.degree_exponent, edge_weight=options.edge_weight, direction=direction,
            out=target[:, column:column + hi - lo], block_columns=options.block_columns,
        )
        column += hi - lo
    return target


def _blocks(options: Options) -> list[tuple[int, tuple[int, int], int]]:
    """(offset in the output, (start, stop) in the embedding's columns, size) of each block."""
    start, stop = options.column_range
    step = options.block_columns or max(stop - start, 1)
    blocks = []
    for lo in range(start, stop, step):
        hi = min(lo + step, stop)
        blocks.append((lo - start, (lo, hi), hi - lo))
    return blocks or [(0, (start, stop), 0)]


def _pieces(options: Options, start: int, stop: int) -> list[tuple[str, int, int]]:
    """Split the column range [start, stop) into per-direction ranges."""
    if options.direction != "both":
        return [(options.direction, start, stop)]
    dim = options.dim
    pieces = []
    if start < dim or stop <= dim:
        pieces.append(("out", min(start, dim), min(stop, dim)))
    if stop > dim:
        pieces.append(("in", max(start, dim) - dim, stop - dim))
    return pieces


def _direction_seed(options: Options, direction: str) -> int | None:
    if options.seed is None:
        return None
    if options.direction == "both" and direction == "in":
        return (options.seed + DIRECTION_SEED_OFFSET) % _SEED_MODULUS
    return options.seed


def _fit_piece(
    csr: CsrInput,
    options: Options,
    node_features: NDArray[np.float64] | None,
    direction: str,
    lo: int,
    hi: int,
    cache: dict[str, NDArray[np.float32]] | None,
) -> NDArray[np.float32]:
    """Columns [lo, hi) of the embedding of one direction."""
    seed = _direction_seed(options, direction)
    full = (lo, hi) == (0, options.dim)
    if full and options.extras_at_default:
        return _fit_core(csr, options, node_features, seed)
    ext = native_ext()
    if ext is not None:
        return ext.fit_csr_ext(  # type: ignore[no-any-return]
            csr.row_ptrs, csr.col_indices, csr.values, csr.num_nodes, options.dim, list(options.weights),
            seed=seed, undirected=options.undirected, node_features=node_features,
            feature_weight=options.feature_weight, columns=None if full else (lo, hi),
            normalization=options.normalization, degree_exponent=options.degree_exponent,
            edge_weight=options.edge_weight, direction=direction,
        )
    if not options.extras_at_default:
        changed = [
            f"{name}={value!r}"
            for name, value, default in (
                ("normalization", options.normalization, None),
                ("degree_exponent", options.degree_exponent, 0.0),
                ("edge_weight", options.edge_weight, "raw"),
                ("direction", options.direction, "out"),
            )
            if value != default
        ]
        raise NotImplementedError(
            f"{', '.join(changed)} needs the graphripple._native_ext extension, which is not built"
        )
    # Without the extension a column range is a slice of the full fit; one
    # full fit serves every block of a blocked run.
    if cache is not None and "out" in cache:
        whole = cache["out"]
    else:
        whole = _fit_core(csr, options, node_features, seed)
        if cache is not None:
            cache["out"] = whole
    if cache is None:
        return np.ascontiguousarray(whole[:, lo:hi])
    return whole[:, lo:hi]


def _fit_core(
    csr: CsrInput, options: Options, node_features: NDArray[np.float64] | None, seed: int | None
) -> NDArray[np.float32]:
    return _native_core.fit_csr(
        csr.row_ptrs, csr.col_indices, csr.values, csr.num_nodes, options.dim, list(options.weights),
        seed=seed, undirected=options.undirected, node_features=node_features,
        feature_weight=options.feature_weight,
    )


_EXT_UNSET: Any = object()
_ext_module: Any = _EXT_UNSET


def native_ext() -> ModuleType | None:
    """The ``_native_ext`` extension, or None when it is not built."""
    global _ext_module
    if _ext_module is _EXT_UNSET:
        try:
            _ext_module = importlib.import_module(f"{__package__}._native_ext")
        except ImportError:
            _ext_module = None
    return _ext_module  # type: ignore[no-any-return]


def _with_seed(options: Options, seed: int) -> Options:
    fields = {name: getattr(options, name) for name in Options.__dataclass_fields__}
    fields["seed"] = seed
    return Options(**fields)


# ---------------------------------------------------------------------------
# Argument checks




def _seed(value: Any) -> int | None:
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise TypeError("seed must be None or an integer, not bool")
    try:
        result = operator.index(value)
    except TypeError:
        raise TypeError(f"seed must be None or an integer, not {type(value).__name__}") from None
    if not 0 <= result < _SEED_MODULUS:
        raise ValueError(f"seed must be in [0, 2**64), got {result}")
    return result


def _boolean(value: Any, name: str) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {type(value).__name__}")


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return float(value)


def _weights(value: Any) -> tuple[float, ...]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"weights must be a sequence of numbers, not {type(value).__name__}")
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"weights must be one-dimensional, got shape {value.shape}")
        if value.dtype.kind not in "iuf":
            raise TypeError(f"weights must hold real numbers, not {value.dtype}")
        return tuple(float(w) for w in value.tolist())
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"weights must be a sequence of numbers, not {type(value).__name__}") from None
    result = []
    for item in items:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Real):
            raise TypeError(f"weights must hold real numbers, found {type(item).__name__} {item!r}")
        result.append(float(item))
    return tuple(result)


def _choice(value: Any, name: str, choices: tuple[Any, ...]) -> Any:
    if value is None or isinstance(value, str):
        if value in choices:
            return value
    names = " or ".join(repr(c) for c in choices)
    raise ValueError(f"{name} must be {names}, not {value!r}")


def _columns(value: Any, total: int) -> tuple[int, int] | None:
    if value is None:
        return None
    if isinstance(value, (str, bytes)):
        raise TypeError("columns must be None or a pair (start, stop)")
    try:
        start, stop = value
    except (TypeError, ValueError):
        raise TypeError("columns must be None or a pair (start, stop)") from None
    start_value = non_negative_int(start, "columns start")
    stop_value = non_negative_int(stop, "columns stop")
    if not start_value <= stop_value <= total:
        raise ValueError(f"columns must satisfy 0 <= start <= stop <= {total}, got ({start_value}, {stop_value})")
    return (start_value, stop_value)


def _node_features(value: Any, num_nodes: int) -> NDArray[np.float64] | None:
    if value is None:
        return None
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"node_features must hold real numbers, not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"node_features must be 2-D (one row per node), got shape {array.shape}")
    if array.shape[0] != num_nodes:
        raise ValueError(f"node_features has {array.shape[0]} rows but the graph has {num_nodes} nodes")
    # The native core reads any strides; only the dtype must be native float64.
    return array.astype(np.float64, copy=False) if array.dtype == np.float64 and array.dtype.isnative else (
        array.astype(np.float64)
    )


def _check_out_kind(out: Any) -> None:
    for attribute in ("shape", "dtype", "__setitem__"):
        if not hasattr(out, attribute):
            raise TypeError(f"out must be a float32 array (such as numpy.memmap), not {type(out).__name__}")
    if np.dtype(out.dtype) != np.float32:
        raise TypeError(f"out must have dtype float32, not {out.dtype}")
    if isinstance(out, np.ndarray) and not out.flags.writeable:
        raise ValueError("out is read-only")


def _check_out_shape(out: Any, num_nodes: int, width: int) -> None:
    shape = tuple(int(s) for s in out.shape)
    if shape != (num_nodes, width):
        raise ValueError(f"out must have shape ({num_nodes}, {width}), got {shape}")


def _check_log1p_weights(values: NDArray[np.float64]) -> None:
    bad = np.flatnonzero(~(values >= 0.0))  # negative or NaN
    if bad.size:
        first = int(bad[0])
        raise ValueError(
            f"edge_weight='log1p' needs non-negative weights; the graph has weight {values[first]!r} "
            f"(stored entry {first})"
        )
