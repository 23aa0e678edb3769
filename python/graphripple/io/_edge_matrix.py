"""Matrix edge files for ``edge_files.read_edges``: ``.npz`` and Matrix Market ``.mtx``.

Both are given the file's bytes, read once by the caller. Every malformed
archive (corrupt, truncated, missing or ill-typed arrays, out-of-range
counts) is an ``EdgeFileError``, never a crash; counts far beyond the
number of entries are refused by the same rule as integer ids of text files.
"""

from __future__ import annotations

import io
import zipfile
import zlib
from typing import Any, Iterator

import numpy as np
from numpy.typing import NDArray

from .._edges import Edges, sparse_ids_problem
from ._common import INT64_MAX, EdgeFileError, decode, is_int, is_number

__all__ = ["read_mtx", "read_npz"]



_NPZ_BROKEN = (KeyError, IndexError, ValueError, TypeError, OverflowError, OSError, EOFError, zlib.error,
               zipfile.BadZipFile, NotImplementedError)


def read_npz(path: str, data: bytes) -> Edges:
    try:
        with np.load(io.BytesIO(data), allow_pickle=False) as archive:
            keys = set(archive.files)
            if "format" in keys and "shape" in keys:
                return _npz_sparse(path, archive, data)
            if {"src", "dst"} <= keys:
                return _npz_arrays(path, archive, keys)
    except EdgeFileError:
        raise
    except _NPZ_BROKEN as error:
        raise EdgeFileError(path, f"not a readable .npz edge file ({type(error).__name__}: {error})") from None
    raise EdgeFileError(
        path,
        "expected a scipy.sparse .npz or arrays 'src', 'dst' (and optionally 'weight', 'num_nodes'); found "
        + (", ".join(sorted(keys)) or "no arrays"),
    )


def _npz_arrays(path: str, archive: Any, keys: set[str]) -> Edges:
    src = _npz_ids(path, archive, "src")
    dst = _npz_ids(path, archive, "dst")
    if src.shape != dst.shape:
        raise EdgeFileError(path, f"src and dst differ in length ({src.shape[0]} and {dst.shape[0]})")
    weight = _npz_weight(path, archive["weight"], "weight") if "weight" in keys else None
    if weight is not None and weight.shape != src.shape:
        raise EdgeFileError(path, f"weight has {weight.shape[0]} values for {src.shape[0]} edges")
    largest = max(int(src.max()), int(dst.max())) + 1 if src.size else 0
    n = largest
    if "num_nodes" in keys:
        count = np.asarray(archive["num_nodes"])
        if count.size != 1 or count.dtype.kind not in "iu":
            raise EdgeFileError(path, f"'num_nodes' must be one integer, got {count.dtype} {count.shape}")
        n = int(count.reshape(-1)[0])
        if n < largest:
            raise EdgeFileError(path, f"node id {largest - 1} is out of range for num_nodes={n}")
    _check_count(path, n, src.size)
    return Edges(src, dst, weight, num_nodes=n)


def _check_count(path: str, n: int, num_edges: int) -> None:
    problem = sparse_ids_problem(n, num_edges)
    if problem is not None:
        raise EdgeFileError(path, problem)


def _npz_ids(path: str, archive: Any, key: str) -> NDArray[np.int64]:
    array = np.asarray(archive[key])
    if array.ndim != 1 or array.dtype.kind not in "iu":
        raise EdgeFileError(path, f"'{key}' must be a one-dimensional integer array, got {array.dtype} {array.shape}")
    if array.size and int(array.min()) < 0:
        raise EdgeFileError(path, f"'{key}' holds a negative node id")
    if array.dtype == np.uint64 and array.size and int(array.max()) > INT64_MAX:
        raise EdgeFileError(path, f"'{key}' holds a node id beyond the int64 range")
    return np.ascontiguousarray(array, dtype=np.int64)


def _npz_weight(path: str, values: Any, key: str) -> NDArray[np.float64]:
    array = np.asarray(values).reshape(-1)
    if array.dtype.kind not in "biuf":
        raise EdgeFileError(path, f"'{key}' must hold real numbers, not {array.dtype}")
    return np.ascontiguousarray(array, dtype=np.float64)


def _npz_index(path: str, archive: Any, key: str, kind: str) -> NDArray[np.int64]:
    array = np.asarray(archive[key])
    if array.dtype.kind not in "iu":
        raise EdgeFileError(path, f"'{key}' of the {kind} matrix must hold integers, not {array.dtype}")
    if array.dtype == np.uint64 and array.size and int(array.max()) > INT64_MAX:
        raise EdgeFileError(path, f"'{key}' of the {kind} matrix holds an index beyond the int64 range")
    return np.asarray(array, dtype=np.int64)


def _npz_sparse(path: str, archive: Any, data: bytes) -> Edges:
    stored = np.asarray(archive["format"]).reshape(-1)
    if stored.size != 1:
        raise EdgeFileError(path, "'format' must name one sparse format")
    value = stored[0].item()
    kind = value.decode("ascii", "replace") if isinstance(value, bytes) else str(value)
    shape_array = np.asarray(archive["shape"]).reshape(-1)
    if shape_array.dtype.kind not in "iu" or shape_array.shape != (2,) or int(shape_array.min()) < 0:
        raise EdgeFileError(path, f"'shape' must be two non-negative integers, got {shape_array.tolist()}")
    shape = (int(shape_array[0]), int(shape_array[1]))
    if shape[0] != shape[1]:
        raise EdgeFileError(path, f"the adjacency matrix must be square, got shape {shape}")
    n = shape[0]
    if kind in ("csr", "csc"):
        indptr = _npz_index(path, archive, "indptr", kind)
        indices = _npz_index(path, archive, "indices", kind)
        weight = _npz_weight(path, archive["data"], "data")
        _check_count(path, n, indices.size)
        if indptr.shape != (n + 1,) or indptr[0] != 0 or np.any(np.diff(indptr) < 0) or indptr[-1] > indices.size:
            raise EdgeFileError(path, f"inconsistent {kind} arrays")
        nnz = int(indptr[-1])
        outer = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
        inner = indices[:nnz]
        rows, cols = (outer, inner) if kind == "csr" else (inner, outer)
        weight = weight[:nnz]
    elif kind == "coo":
        if "row" in archive.files:
            rows = _npz_index(path, archive, "row", kind)
            cols = _npz_index(path, archive, "col", kind)
        else:
            coords = _npz_index(path, archive, "coords", kind)
            if coords.ndim != 2 or coords.shape[0] != 2:
                raise EdgeFileError(path, f"inconsistent {kind} arrays")
            rows, cols = coords[0], coords[1]
        weight = _npz_weight(path, archive["data"], "data")
    else:
        try:
            import scipy.sparse
        except ImportError:
            raise EdgeFileError(path, f"reading a '{kind}' sparse matrix needs scipy "
                                "(pip install 'graphripple[scipy]')") from None
        coo = scipy.sparse.load_npz(io.BytesIO(data)).tocoo()
        rows, cols = coo.row.astype(np.int64), coo.col.astype(np.int64)
        weight = _npz_weight(path, coo.data, "data")
    _check_count(path, n, rows.size)
    if rows.shape != cols.shape or rows.shape != weight.shape:
        raise EdgeFileError(path, f"inconsistent {kind} arrays")
    if rows.size and (min(int(rows.min()), int(cols.min())) < 0 or max(int(rows.max()), int(cols.max())) >= n):
        raise EdgeFileError(path, f"an index is out of range for shape {shape}")
    return Edges(np.ascontiguousarray(rows), np.ascontiguousarray(cols), weight, num_nodes=n)


def read_mtx(path: str, data: bytes) -> Edges:
    try:
        import scipy.io
        import scipy.sparse
    except ImportError:
        raise EdgeFileError(path, "reading Matrix Market files needs scipy (pip install 'graphripple[scipy]')") from None
    _check_mtx_size(path, data)
    try:
        matrix = scipy.io.mmread(io.BytesIO(data))
    except (ValueError, IndexError, TypeError, OverflowError) as error:
        line = _first_bad_mtx_line(path, data)
        raise EdgeFileError(path, f"not a valid Matrix Market file ({error})", line) from None
    coo = scipy.sparse.coo_matrix(matrix) if not hasattr(matrix, "tocoo") else matrix.tocoo()
    if coo.shape[0] != coo.shape[1]:
        raise EdgeFileError(path, f"the adjacency matrix must be square, got shape {coo.shape}")
    if coo.data.dtype.kind not in "fiub":
        raise EdgeFileError(path, f"entries must be real numbers, not {coo.data.dtype}")
    return Edges(coo.row.astype(np.int64), coo.col.astype(np.int64), coo.data.astype(np.float64),
                 num_nodes=int(coo.shape[0]))


def _mtx_lines(path: str, data: bytes) -> Iterator[tuple[int, str]]:
    for number, line in enumerate(decode(path, data, 0, len(data)).split("\n"), start=1):
        yield number, line


def _check_mtx_size(path: str, data: bytes) -> None:
    """Refuse a size line whose counts are out of range or far beyond the entries before scipy allocates."""
    prefix = data[: data.rfind(b"\n", 0, 1 << 20) + 1] if len(data) > 1 << 20 else data
    for number, line in _mtx_lines(path, prefix):
        if number == 1:  # the banner
            continue
        fields = line.split()
        if not fields or fields[0].startswith("%"):
            continue
        if not all(is_int(f) and 0 <= int(f) <= INT64_MAX for f in fields) or len(fields) not in (2, 3):
            raise EdgeFileError(path, f"the size line {line.strip()!r} must hold non-negative int64 counts", number)
        counts = [int(f) for f in fields]
        # scipy allocates what the size line promises before reading the
        # entries: each needs a few bytes of the file (coordinate: "i j\n",
        # array: "v\n"), so a larger promise is refused here.
        entries, least = (counts[2], 4) if len(counts) == 3 else (counts[0] * counts[1], 2)
        if entries > len(data) // least:
            raise EdgeFileError(path, f"the size line promises {entries} entries, more than the file can hold", number)
        if len(counts) == 3:
            _check_count(path, counts[0], counts[2])
        return


def _first_bad_mtx_line(path: str, data: bytes) -> int | None:
    """The line of the first malformed entry of a coordinate Matrix Market file, if one is."""
    header = ""
    size: list[str] | None = None
    expect = 0
    for number, line in _mtx_lines(path, data):
        if number == 1:
            header = line.lower()
            if not header.startswith("%%matrixmarket"):
                return 1
            continue
        fields = line.split()
        if not fields or fields[0].startswith("%"):
            continue
        if size is None:
            size = fields
            if not all(is_int(f) for f in fields):
                return number
            expect = 3 if "pattern" not in header else 2
            if "array" in header:
                return None
            continue
        if len(fields) < expect or not (is_int(fields[0]) and is_int(fields[1])):
            return number
        if not (1 <= int(fields[0]) <= int(size[0]) and 1 <= int(fields[1]) <= int(size[1])):
            return number
        if expect == 3 and not is_number(fields[2]):
            return number
    return None
