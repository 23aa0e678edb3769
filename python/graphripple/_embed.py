"""The front door: ``embed`` and ``embed_labelled`` on any graph kind ``to_csr`` accepts.

Every option is checked against the option table (``options.py``) before
any work, so that a bad value is a ``TypeError`` or ``ValueError`` naming
its argument. The graph is turned into CSR arrays (``graph_input.to_csr``) and
fitted by one call of ``_native_ext.fit_csr_ext``, which takes every option
as it is: column ranges, blocks of ``block_columns`` columns written into
``out`` over one transition, and ``direction="both"`` (the out-embedding
with seed s, then the in-embedding with seed s + DIRECTION_SEED_OFFSET,
modulo 2**64; ``columns``, ``out`` and ``block_columns`` index those
2 * dim columns), and ``combine="concat"`` (the terms side by side, dim
columns per non-zero weight; ``block_columns`` then counts the columns of
one propagation chain). Without a seed the engine draws one for all the
blocks.

``progress`` reports the stages "graph", "fit" and "write" (progress.py);
``memory_limit`` picks ``block_columns`` from the memory model
(``memory.pick_block_columns``) for a fit into ``out``.
"""

from __future__ import annotations

import inspect
from dataclasses import replace
from typing import TYPE_CHECKING, Any, Callable, Sequence, TypeVar, Union, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native_ext
from ._graph_input import CsrInput, to_csr
from ._memory_model import pick_block_columns
from ._options import (
    DIRECTION_SEED_OFFSET, FIT_OPTIONS, OPTIONS, FitOptions, Options, check_options, check_value, draw_seed,
)
from ._progress import ProgressCallback, reporter_for
from ._validation import check_log1p_weights

if TYPE_CHECKING:
    from typing import Unpack

__all__ = ["embed", "embed_labelled", "fit_input", "DIRECTION_SEED_OFFSET", "draw_seed"]

_OutT = TypeVar("_OutT")
_KEYWORDS = FIT_OPTIONS[2:]  # the options after dim and weights, keyword-only
_Progress = Union[bool, Callable[[str, int, int], object], None]


@overload
def embed(
    graph: Any, dim: int = ..., weights: Sequence[float] | NDArray[Any] = ..., *,
    node_features: ArrayLike | None = ..., out: None = ..., progress: _Progress = ...,
    memory_limit: int | str | None = ..., **options: Unpack[FitOptions],
) -> NDArray[np.float32]: ...


@overload
def embed(
    graph: Any, dim: int = ..., weights: Sequence[float] | NDArray[Any] = ..., *,
    node_features: ArrayLike | None = ..., out: _OutT, progress: _Progress = ...,
    memory_limit: int | str | None = ..., **options: Unpack[FitOptions],
) -> _OutT: ...


def embed(
    graph: Any, dim: Any = OPTIONS["dim"].default, weights: Any = OPTIONS["weights"].default, *,
    node_features: Any = None, out: Any = None, progress: Any = None, memory_limit: Any = None, **options: Any,
) -> Any:
    """Embed ``graph``: a float32 array with one row per node.

    ``graph``: a scipy.sparse array or matrix, a networkx graph, a 2-D NumPy
    dense adjacency matrix or :class:`graphripple.Edges`. ``dim`` columns
    per direction, ``weights`` one per power of the transition matrix,
    ``seed`` for bit-for-bit reproducible results. The user guide's
    "Options and quality" page describes every option.

    ``progress``: True draws a bar (tqdm when installed, else on stderr);
    a callable is called as ``progress(stage, done, total)`` for the stages
    "graph", "fit" and "write". ``memory_limit`` (bytes, or a text such as
    "4G"; needs ``out``) picks ``block_columns`` so the fit stays within it.
    """
    result, _ = _embed("embed", graph, dim, weights, node_features, out, progress, memory_limit, options)
    return result


@overload
def embed_labelled(
    graph: Any, dim: int = ..., weights: Sequence[float] | NDArray[Any] = ..., *,
    node_features: ArrayLike | None = ..., out: None = ..., progress: _Progress = ...,
    memory_limit: int | str | None = ..., **options: Unpack[FitOptions],
) -> tuple[NDArray[np.float32], NDArray[Any]]: ...


@overload
def embed_labelled(
    graph: Any, dim: int = ..., weights: Sequence[float] | NDArray[Any] = ..., *,
    node_features: ArrayLike | None = ..., out: _OutT, progress: _Progress = ...,
    memory_limit: int | str | None = ..., **options: Unpack[FitOptions],
) -> tuple[_OutT, NDArray[Any]]: ...


def embed_labelled(
    graph: Any, dim: Any = OPTIONS["dim"].default, weights: Any = OPTIONS["weights"].default, *,
    node_features: Any = None, out: Any = None, progress: Any = None, memory_limit: Any = None, **options: Any,
) -> tuple[Any, NDArray[Any]]:
    """``embed`` plus the label of each row: ``(embedding, nodes)``.

    ``nodes[i]`` is the networkx node or ``Edges`` label of row i, or i for
    graphs without labels.
    """
    return _embed("embed_labelled", graph, dim, weights, node_features, out, progress, memory_limit, options)


def _signature(function: Any) -> inspect.Signature:
    """The signature help() shows: every keyword with its default from the table."""
    P = inspect.Parameter
    parameters = [P("graph", P.POSITIONAL_OR_KEYWORD)]
    parameters += [P(name, P.POSITIONAL_OR_KEYWORD, default=OPTIONS[name].default) for name in FIT_OPTIONS[:2]]
    parameters += [P(name, P.KEYWORD_ONLY, default=OPTIONS[name].default) for name in _KEYWORDS]
    parameters += [P(name, P.KEYWORD_ONLY, default=None)
                   for name in ("node_features", "out", "progress", "memory_limit")]
    return inspect.Signature(parameters, return_annotation=inspect.signature(function).return_annotation)


embed.__signature__ = _signature(embed)  # type: ignore[attr-defined]
embed_labelled.__signature__ = _signature(embed_labelled)  # type: ignore[attr-defined]


def _embed(
    caller: str, graph: Any, dim: Any, weights: Any, node_features: Any, out: Any, progress: Any,
    memory_limit: Any, options: dict[str, Any],
) -> tuple[Any, NDArray[Any]]:
    unknown = sorted(set(options) - set(_KEYWORDS))
    if unknown:
        raise TypeError(f"{caller}() got an unexpected keyword argument '{unknown[0]}'")
    checked = check_options(dim=dim, weights=weights, **options)
    report = reporter_for(progress)
    limit: int | None = check_value("memory_limit", memory_limit)
    if limit is not None:
        if out is None:
            raise ValueError("memory_limit needs out: the blocks it chooses bound memory only when they are "
                             "written into out=numpy.empty((num_nodes, width), numpy.float32) or a memmap")
        if checked.block_columns is not None:
            raise ValueError("give memory_limit or block_columns, not both")
    if out is not None:
        _check_out_kind(out)
    if report is not None:
        report("graph", 0, 1)
    csr = to_csr(graph, undirected=checked.undirected)
    if report is not None:
        report("graph", 1, 1)
    features = _node_features(node_features, csr.num_nodes)
    if out is not None:
        _check_out_shape(out, csr.num_nodes, checked.width)
    if checked.edge_weight == "log1p":
        _check_log1p_weights(csr.values)
    if limit is not None:
        checked = replace(checked, block_columns=_blocks_within(limit, csr, checked, features))
    result = fit_input(csr, checked, features, out, progress=report)
    if out is not None and report is not None:
        report("write", 0, 1)
        flush = getattr(out, "flush", None)  # numpy.memmap: the pages go to the file
        if callable(flush):
            flush()
        report("write", 1, 1)
    return result, csr.nodes


def _blocks_within(limit: int, csr: CsrInput, options: Options, features: Any) -> int:
    """The block_columns whose fit stays within ``limit`` bytes (the graph arrays count as held)."""
    held = csr.row_ptrs.nbytes + csr.col_indices.nbytes + csr.values.nbytes
    if features is not None:
        held += features.nbytes
    chain = min(options.dim, options.width)  # columns of one block: never more than one direction's dim
    block = pick_block_columns(limit, csr.num_nodes, len(csr.col_indices), chain, options.weights,
                               options.undirected, held, limit_name="memory_limit", combine=options.combine)
    if options.normalization == "l2" and block < chain:
        raise ValueError(f"memory_limit {limit} bytes fits blocks of {block} columns, but normalization='l2' "
                         f"needs all {chain} columns of a direction in one block")
    return block


def fit_input(
    csr: CsrInput,
    options: Options,
    node_features: NDArray[np.float64] | None = None,
    out: Any = None,
    progress: ProgressCallback | None = None,
) -> Any:
    """Embed an already converted graph with checked options: one call of the engine.

    ``progress`` hears ``("fit", done, total)`` for each step the engine
    reports, the last one with ``done == total``.
    """
    if out is None and options.block_columns is not None:
        # The engine writes blocks into a target only: this one is returned.
        out = np.empty((csr.num_nodes, options.width), dtype=np.float32)
    engine_progress = None
    last = [0, 0]
    if progress is not None:
        def engine_progress(done: int, total: int) -> None:
            last[:] = (done, total)
            progress("fit", done, total)
    result = _native_ext.fit_csr_ext(
        csr.row_ptrs, csr.col_indices, csr.values, csr.num_nodes, options.dim, list(options.weights),
        node_features=node_features, out=out, progress=engine_progress, **options.engine_arguments(),
    )
    if progress is not None and (last[0] != last[1] or last[1] == 0):
        progress("fit", max(last[1], 1), max(last[1], 1))  # a fit with no step still ends its stage
    return result


# ---------------------------------------------------------------------------
# Checks that need the graph


def _node_features(value: Any, num_nodes: int) -> NDArray[np.float64] | None:
    if value is None:
        return None
    if type(value).__module__.startswith("scipy.sparse") and callable(getattr(value, "toarray", None)):
        # The engine reads features as a dense matrix anyway: n x f of them.
        value = value.toarray()
    array = np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"node_features must hold real numbers, not {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"node_features must be 2-D (one row per node), got shape {array.shape}")
    if array.shape[0] != num_nodes:
        raise ValueError(f"node_features has {array.shape[0]} rows but the graph has {num_nodes} nodes")
    # The engine reads any strides; only the dtype must be native float64.
    if array.dtype == np.float64 and array.dtype.isnative:
        return array
    return array.astype(np.float64)


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
    check_log1p_weights(values, lambda k: f"the graph has weight {values[k]!r} (stored entry {k})")
