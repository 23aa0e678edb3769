"""Embeddings out and back in (edge files are read by ``edge_files``).

Embeddings (``save`` and ``load``), by suffix: ``.npz`` (arrays
``embedding`` and ``nodes``), ``.txt``/``.w2v`` (word2vec text: a header
``n dim``, then ``label v1 ... vdim`` a line, values printed so that they
read back to the same float32), ``.parquet`` (pyarrow; columns ``node`` and
``embedding``, a fixed-size list of float32) and ``.npy`` (the matrix; node
labels other than 0..n-1 go beside it in ``NAME.nodes.npy``). Every file is
written to a temporary name in the target's folder and renamed into place
once complete, so a failure never leaves a partial file under the name.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
from pathlib import Path
from typing import Any, Iterator, Literal, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "FORMATS",
    "atomic_path",
    "format_for",
    "load",
    "save",
    "save_npy_nodes",
]

PathLike = Union[str, "os.PathLike[str]"]
Format = Literal["npz", "w2v", "parquet", "npy"]

FORMATS: dict[str, Format] = {
    ".npz": "npz",
    ".txt": "w2v",
    ".w2v": "w2v",
    ".parquet": "parquet",
    ".npy": "npy",
}


# ---------------------------------------------------------------------------
# Atomic writes


@contextlib.contextmanager
def atomic_path(path: PathLike) -> Iterator[Path]:
    """A temporary path beside ``path`` that becomes ``path`` when the block succeeds.

    The temporary file is created empty (with the usual permissions, unlike
    ``mkstemp``'s 0600); on any exception, KeyboardInterrupt included, it is
    removed and ``path`` is left as it was.
    """
    target = Path(path)
    while True:
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
        try:
            with open(temporary, "xb"):
                pass
            break
        except FileExistsError:
            continue
    try:
        yield temporary
        with open(temporary, "rb+") as handle:
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


# ---------------------------------------------------------------------------
# Saving and loading embeddings


def format_for(path: PathLike, format: str | None = None) -> Format:
    """The embedding format named by ``format`` or, when None, by the suffix of ``path``."""
    if format is not None:
        if format not in ("npz", "w2v", "parquet", "npy"):
            raise ValueError(f"format must be one of 'npz', 'w2v', 'parquet', 'npy', not {format!r}")
        return format  # type: ignore[return-value]
    suffix = Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ValueError(
            f"cannot tell the format of {os.fspath(path)!r} from its suffix; use one of "
            + ", ".join(FORMATS)
            + " or give the format"
        )
    return FORMATS[suffix]


def save(path: PathLike, embedding: ArrayLike, nodes: ArrayLike | None = None, *, format: str | None = None) -> None:
    """Write ``embedding`` (n x dim) and the label of each row to ``path``.

    ``nodes`` defaults to 0..n-1. The format follows the suffix (see the
    module docstring) unless ``format`` ("npz", "w2v", "parquet", "npy")
    is given. Labels that are neither all integers nor all strings are
    stored as their ``str()``.
    """
    kind = format_for(path, format)
    matrix = np.asarray(embedding)
    if matrix.ndim != 2:
        raise ValueError(f"embedding must be two-dimensional, got shape {matrix.shape}")
    if matrix.dtype.kind not in "fiu":
        raise TypeError(f"embedding must hold real numbers, not {matrix.dtype}")
    matrix = np.ascontiguousarray(matrix, dtype=np.float32)
    labels = _labels(nodes, matrix.shape[0])
    if kind == "npz":
        with atomic_path(path) as temporary, open(temporary, "wb") as handle:
            np.savez(handle, embedding=matrix, nodes=labels)
    elif kind == "w2v":
        _save_word2vec(path, matrix, labels)
    elif kind == "parquet":
        _save_parquet(path, matrix, labels)
    else:
        with atomic_path(path) as temporary, open(temporary, "wb") as handle:
            np.save(handle, matrix)
        save_npy_nodes(path, labels)


def load(path: PathLike, *, format: str | None = None) -> tuple[NDArray[np.float32], NDArray[Any]]:
    """Read a file written by ``save``: ``(embedding, nodes)``."""
    kind = format_for(path, format)
    if kind == "npz":
        with np.load(path, allow_pickle=False) as archive:
            return archive["embedding"], archive["nodes"]
    if kind == "w2v":
        return _load_word2vec(path)
    if kind == "parquet":
        pq = _require("pyarrow.parquet", "parquet files", "arrow")
        table = pq.read_table(os.fspath(path))
        column = table.column("embedding").combine_chunks()
        dim = column.type.list_size
        values = column.flatten().to_numpy(zero_copy_only=False).astype(np.float32, copy=False)
        return values.reshape(-1, dim), table.column("node").to_numpy(zero_copy_only=False)
    matrix = np.load(path, mmap_mode="r", allow_pickle=False)
    sidecar = nodes_path(path)
    if sidecar.exists():
        return matrix, np.load(sidecar, allow_pickle=False)
    return matrix, np.arange(matrix.shape[0], dtype=np.int64)


def save_npy_nodes(path: PathLike, nodes: ArrayLike | None, count: int | None = None) -> None:
    """Write the labels of a ``.npy`` embedding at ``path`` beside it, or remove a
    stale labels file when the labels are just 0..n-1."""
    labels = _labels(nodes, count if count is not None else len(np.asarray(nodes)))
    sidecar = nodes_path(path)
    if labels.dtype.kind in "iu" and np.array_equal(labels, np.arange(labels.shape[0])):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(sidecar)
        return
    with atomic_path(sidecar) as temporary, open(temporary, "wb") as handle:
        np.save(handle, labels)


def nodes_path(path: PathLike) -> Path:
    """Where the node labels of a ``.npy`` embedding go: ``NAME.nodes.npy`` beside it."""
    target = Path(path)
    stem = target.name[: -len(target.suffix)] if target.suffix else target.name
    return target.with_name(stem + ".nodes.npy")


def _labels(nodes: ArrayLike | None, count: int) -> NDArray[Any]:
    if nodes is None:
        return np.arange(count, dtype=np.int64)
    labels = np.asarray(nodes)
    if labels.ndim != 1 or labels.shape[0] != count:
        raise ValueError(f"nodes must hold one label per row ({count}), got shape {labels.shape}")
    if labels.dtype.kind == "O":
        items = labels.tolist()
        if items and all(isinstance(x, (int, np.integer)) and not isinstance(x, bool) for x in items):
            with contextlib.suppress(OverflowError):
                return np.asarray(items, dtype=np.int64)
        return np.asarray([str(x) for x in items], dtype=str) if items else np.zeros(0, dtype=str)
    if labels.dtype.kind == "S":
        return np.char.decode(labels, "utf-8")
    return labels


_W2V_BAD_LABEL = re.compile(r"\s")


def _save_word2vec(path: PathLike, matrix: NDArray[np.float32], labels: NDArray[Any]) -> None:
    texts = [str(x) for x in labels.tolist()]
    for row, text in enumerate(texts):
        # A label with white space would shift every value of its line.
        if not text or _W2V_BAD_LABEL.search(text):
            raise ValueError(
                f"word2vec text cannot hold the label {text!r} of row {row}: labels must be non-empty "
                "and free of white space"
            )
    count, dim = matrix.shape
    # Nine significant digits read back to the same float32.
    row_format = " ".join(["%.9g"] * dim)
    with atomic_path(path) as temporary, open(temporary, "w", encoding="utf-8", newline="\n") as handle:
        handle.write(f"{count} {dim}\n")
        for start in range(0, count, 4096):
            block = matrix[start:start + 4096].tolist()
            handle.write(
                "".join(
                    f"{text} {row_format % tuple(values)}\n" if dim else f"{text}\n"
                    for text, values in zip(texts[start:start + 4096], block)
                )
            )


def _load_word2vec(path: PathLike) -> tuple[NDArray[np.float32], NDArray[Any]]:
    with open(path, encoding="utf-8") as handle:
        header = handle.readline().split()
        if len(header) != 2:
            raise ValueError(f"{os.fspath(path)}:1: expected a header 'count dim'")
        count, dim = int(header[0]), int(header[1])
        labels: list[str] = []
        matrix = np.empty((count, dim), dtype=np.float32)
        for row, line in enumerate(handle):
            if row >= count:
                raise ValueError(f"{os.fspath(path)}:{row + 2}: more rows than the header's {count}")
            fields = line.split()
            if len(fields) != dim + 1:
                raise ValueError(f"{os.fspath(path)}:{row + 2}: expected a label and {dim} values")
            labels.append(fields[0])
            matrix[row] = np.asarray(fields[1:], dtype=np.float32)
        if len(labels) != count:
            raise ValueError(f"{os.fspath(path)}: {len(labels)} rows, the header says {count}")
    return matrix, np.asarray(labels, dtype=str) if labels else np.zeros(0, dtype=str)


def _save_parquet(path: PathLike, matrix: NDArray[np.float32], labels: NDArray[Any]) -> None:
    pa = _require("pyarrow", "parquet files", "arrow")
    pq = _require("pyarrow.parquet", "parquet files", "arrow")
    count, dim = matrix.shape
    values = pa.array(matrix.reshape(-1), type=pa.float32())
    column = pa.FixedSizeListArray.from_arrays(values, dim)
    table = pa.table({"node": pa.array(labels), "embedding": column})
    with atomic_path(path) as temporary:
        pq.write_table(table, os.fspath(temporary))


def _require(module: str, purpose: str, extra: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise ImportError(f"{purpose} need {top} (pip install 'graphripple[{extra}]')") from None
