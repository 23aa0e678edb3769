"""Where a distributed fit's result goes: the stores the tasks write into.

A ``.npy`` path is created (its space reserved) under a temporary name
that the tasks open themselves; a ``.zarr`` path is a folder filled under a
temporary name (``atomic_directory``); a zarr array on disk is written in
place. Column blocks write column ranges (``ColumnWindow``), row
partitions row ranges (``write_npy``, ``write_zarr``). Either way the
final name appears only once every block is written.
"""

from __future__ import annotations

import contextlib
import math
import os
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..io._atomic import atomic_directory
from ..io._disk import create_npy_memmap
from ._client import import_zarr

__all__ = ["ColumnWindow", "column_sink", "npy_path", "row_sink", "write_npy", "write_zarr"]


class ColumnWindow:
    """Columns [start, stop) of a zarr array as an ``out`` target of their own width."""

    dtype = np.dtype(np.float32)

    def __init__(self, target: Any, start: int, stop: int) -> None:
        self.target, self.start = target, start
        self.shape = (target.shape[0], stop - start)

    def __setitem__(self, key: tuple[slice, slice], value: Any) -> None:
        rows, columns = key
        self.target[rows, self.start + columns.start:self.start + columns.stop] = value


def npy_path(out: Any) -> str | None:
    """The absolute path of an ``out`` naming a .npy file, else None.

    Absolute, so that workers started in other folders find the same file.
    """
    if isinstance(out, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(out))
        if path.endswith(".npy"):
            return path
    return None


def column_sink(out: Any, shape: tuple[int, int], blocks: int, stack: contextlib.ExitStack
                ) -> tuple[tuple[str, Any], int, str | None]:
    """(sink sent to the tasks, column multiple for the blocks, final path or None).

    A zarr path target is created in an ``atomic_directory`` entered on
    ``stack``: it takes the target's place when the stack closes without
    an error. (A .npy path goes through ``create_npy_memmap`` in ``embed_columns``.)
    """
    if isinstance(out, (str, os.PathLike)):
        path = os.path.abspath(os.fspath(out))
        if path.rstrip("/").endswith(".zarr"):
            zarr = import_zarr(out)

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


def row_sink(out: Any, shape: tuple[int, int], bounds: np.ndarray,
                 stack: contextlib.ExitStack) -> tuple[tuple[str, Any], str]:
    """(sink for the write tasks, final path).

    The store is created under a temporary name by ``create_npy_memmap`` or
    ``atomic_directory``, entered on ``stack``: it takes the place of ``out``
    when the stack closes without an error and is removed otherwise.
    """
    if not isinstance(out, (str, os.PathLike)):
        raise TypeError(f"out must be None or a path ending in .npy or .zarr, not {type(out).__name__}")
    path = os.path.abspath(os.fspath(out))
    if path.endswith(".npy"):
        # The write tasks open the temporary file themselves (r+).
        stored = stack.enter_context(create_npy_memmap(path, shape, np.float32))
        return ("npy", str(stored.filename)), path
    if path.rstrip("/").endswith(".zarr"):
        zarr = import_zarr(out)

        path = path.rstrip("/")
        temporary = stack.enter_context(atomic_directory(path))
        step = int(bounds[1] - bounds[0]) if len(bounds) > 1 and bounds[1] > bounds[0] else 1
        array = zarr.open_array(os.fspath(temporary), mode="w", shape=shape, dtype=np.float32,
                                chunks=(step, max(shape[1], 1)), fill_value=0.0)
        return ("zarr", array), path
    raise ValueError(f"out must be a path ending in .npy or .zarr, not {path!r}")


def write_npy(rows: NDArray[np.float32], path: str, lo: int) -> int:
    """Task: write a block's rows into the (row-major) .npy file at ``path``."""
    stored = np.lib.format.open_memmap(path, mode="r+")
    stored[lo:lo + rows.shape[0]] = rows
    stored.flush()
    del stored
    return lo


def write_zarr(rows: NDArray[np.float32], array: Any, lo: int) -> int:
    """Task: write a block's rows into a zarr array whose row chunks align with the blocks."""
    array[lo:lo + rows.shape[0]] = rows
    return lo
