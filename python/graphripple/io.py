"""Edge files in: edge lists to read.

Edge files (``read_edges``):

- text, one edge a line: ``src dst`` or ``src dst weight``, fields split by
  whitespace, tabs or commas (or a ``delimiter`` given), ``#`` starting a
  comment, blank lines ignored, gzip when the name ends in ``.gz``. When
  both ids of the first edge are integers, every id must be a non-negative
  integer and is the node's row; otherwise every id is a label and labels
  get rows in order of first appearance (each edge's source before its
  target). The first edge also fixes the number of fields.
- ``.npz``: a ``scipy.sparse.save_npz`` file (csr, csc or coo without
  scipy, any format with it), or arrays ``src``, ``dst`` and optionally
  ``weight`` and ``num_nodes``.
- ``.mtx``: Matrix Market, read by scipy.

Text is parsed by pyarrow's CSV reader when pyarrow is installed and the
file suits it, else by NumPy's ``loadtxt``; both are compiled parsers, so
no Python code runs per line. When either reports a problem, one slow pass
over the lines finds the first bad one, so that the error names it: every
problem is an ``EdgeFileError`` whose text is ``FILE:LINE: what is wrong``.

Embeddings are saved and loaded by ``embedding_files``.
"""

from __future__ import annotations

import dataclasses
import gzip
import io
import os
import re
import warnings
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, NamedTuple, Union

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "EdgeFileError",
    "EdgeList",
    "read_edges",
]

PathLike = Union[str, "os.PathLike[str]"]

_INT64_MAX = np.iinfo(np.int64).max
# Integer ids this far beyond the edge count are refused (see _read_text).
_SPARSE_ID_LIMIT = 1 << 20
_SPARSE_ID_RATIO = 100


class EdgeFileError(ValueError):
    """A problem with an edge file; ``str()`` gives ``FILE:LINE: message``."""

    def __init__(self, path: PathLike, message: str, line: int | None = None) -> None:
        self.path = os.fspath(path)
        self.line = line
        self.message = message
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {message}")


@dataclass(frozen=True, eq=False)
class EdgeList:
    """Edges read from a file: row ids ``src[k] -> dst[k]``, optional weights.

    ``nodes`` holds the label of each row when the file named nodes by
    labels, and is None when the ids are the rows themselves (0..n-1).
    """

    src: NDArray[np.int64]
    dst: NDArray[np.int64]
    weight: NDArray[np.float64] | None
    num_nodes: int
    nodes: NDArray[Any] | None = None

    def __len__(self) -> int:
        return int(self.src.shape[0])

    def node_labels(self) -> NDArray[Any]:
        """The label of each row (0..n-1 when the file used integer ids)."""
        return self.nodes if self.nodes is not None else np.arange(self.num_nodes, dtype=np.int64)


# ---------------------------------------------------------------------------
# Reading edge files

_DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "space": " ", "whitespace": None}


def parse_delimiter(text: str | None) -> str | None:
    """The field separator named by ``text``: one character, "tab", "comma",
    "space" or "whitespace" (runs of spaces and tabs; also None)."""
    if text is None:
        return None
    if text in _DELIMITER_NAMES:
        return _DELIMITER_NAMES[text]
    if len(text) != 1 or text in "#\n\r":
        raise ValueError(f"delimiter must be one character (not '#'), 'tab', 'comma', 'space' or 'whitespace', not {text!r}")
    return " " if text.isspace() and text != "\t" else text


def read_edges(
    path: PathLike, *, delimiter: str | None = None, labels: bool | None = None, engine: str = "auto"
) -> EdgeList:
    """Read an edge file (see the module docstring); raises ``EdgeFileError``.

    ``delimiter``: a character, "tab", "comma", "space" or "whitespace";
    None detects it from the first edge. ``labels``: True reads every node
    id of a text file as a label (rows in order of first appearance), False
    requires integer ids, None decides from the first edge. ``engine``:
    "auto" (pyarrow when installed and the file suits it, NumPy otherwise),
    "pyarrow" or "numpy".
    """
    if engine not in ("auto", "pyarrow", "numpy"):
        raise ValueError(f"engine must be 'auto', 'pyarrow' or 'numpy', not {engine!r}")
    name = os.fspath(path)
    try:
        separator = parse_delimiter(delimiter)
    except ValueError as error:
        raise EdgeFileError(name, str(error)) from None
    lower = name.lower()
    if not os.path.exists(name):
        raise EdgeFileError(name, "no such file")
    if os.path.isdir(name):
        raise EdgeFileError(name, "is a folder, not an edge file")
    try:
        if lower.endswith(".npz"):
            return _read_npz(name)
        if lower.endswith(".mtx") or lower.endswith(".mtx.gz"):
            return _read_mtx(name)
        return _read_text(name, separator, engine, labels)
    except EdgeFileError:
        raise
    except (OSError, EOFError, gzip.BadGzipFile, UnicodeDecodeError) as error:
        raise EdgeFileError(name, f"cannot read: {error}") from None


@dataclass(frozen=True)
class _Layout:
    """What the first edge of a text file says about the rest."""

    skip_lines: int          # comment and blank lines before it
    fields: int              # 2 or 3
    separator: str | None    # None: runs of white space (spaces and tabs)
    integer_ids: bool
    arrow_delimiter: str     # the one character pyarrow splits on


def _open_text(path: str) -> IO[str]:
    if path.lower().endswith(".gz"):
        return io.TextIOWrapper(gzip.open(path, "rb"), encoding="utf-8", newline=None)
    return open(path, encoding="utf-8", newline=None)


def _split(line: str, separator: str | None) -> list[str]:
    body = line.split("#", 1)[0]
    if separator is None:
        return body.split()
    if not body.strip():
        return []
    return [field.strip() for field in body.strip("\r\n").split(separator)]


def _is_int(text: str) -> bool:
    return bool(re.fullmatch(r"[+-]?\d+", text))


def _detect(path: str, separator: str | None) -> _Layout | None:
    """The layout from the first edge; None for a file without edges."""
    with _open_text(path) as handle:
        for index, line in enumerate(handle):
            body = line.split("#", 1)[0]
            if not body.strip():
                continue
            chosen = separator
            if chosen is None and "," in body:
                chosen = ","
            fields = _split(line, chosen)
            if len(fields) not in (2, 3):
                raise EdgeFileError(
                    path, f"expected 'src dst' or 'src dst weight', found {len(fields)} fields", index + 1
                )
            arrow = chosen if chosen is not None else ("\t" if "\t" in body.strip() else " ")
            return _Layout(index, len(fields), chosen, _is_int(fields[0]) and _is_int(fields[1]), arrow)
    return None


def _read_text(path: str, separator: str | None, engine: str, labels: bool | None) -> EdgeList:
    layout = _detect(path, separator)
    if layout is None:
        raise EdgeFileError(path, "no edges found")
    if labels is not None:
        layout = dataclasses.replace(layout, integer_ids=not labels)
    parsed: _Parsed | None = None
    use_arrow = engine == "pyarrow" or (engine == "auto" and _has_pyarrow())
    if use_arrow:
        if engine == "pyarrow" and not _has_pyarrow():
            raise ImportError("engine='pyarrow' needs pyarrow (pip install 'graphripple[arrow]')")
        parsed = _parse_arrow(path, layout)
    if parsed is None:
        parsed = _parse_numpy(path, layout)
    if parsed is None:
        _raise_first_problem(path, layout)
        raise EdgeFileError(path, "cannot be parsed as an edge list")
    src, dst, weight, nodes = parsed
    if nodes is not None:
        return EdgeList(src, dst, weight, int(nodes.shape[0]), nodes)
    if (src.size and int(src.min()) < 0) or (dst.size and int(dst.min()) < 0):
        _raise_first_problem(path, layout)
    n = max(int(src.max()), int(dst.max())) + 1 if src.size else 0
    if n > _SPARSE_ID_LIMIT and n > _SPARSE_ID_RATIO * src.size:
        # Ids are rows: a few edges between huge ids would ask for an
        # embedding of mostly empty rows, and memory to match.
        raise EdgeFileError(
            path,
            f"node ids reach {n - 1} with only {src.size} edges; integer ids are row numbers, "
            "so read them as labels instead (--labels)",
        )
    return EdgeList(src, dst, weight, n)


class _Parsed(NamedTuple):
    """Columns of a text edge file: rows (or integer ids when ``nodes`` is None) and weights."""

    src: NDArray[np.int64]
    dst: NDArray[np.int64]
    weight: NDArray[np.float64] | None
    nodes: NDArray[Any] | None


def _has_pyarrow() -> bool:
    try:
        import pyarrow.csv  # noqa: F401
    except ImportError:
        return False
    return True


def _parse_arrow(path: str, layout: _Layout) -> _Parsed | None:
    """The columns by pyarrow's CSV reader, or None when it cannot take the file.

    The reader knows one separator character and no comments: it is given
    the lines after the leading comments, and any later comment, run of
    spaces or bad field makes it fail, which sends the file to NumPy.
    """
    import pyarrow as pa
    import pyarrow.csv as csv

    names = ["src", "dst", "weight"][: layout.fields]
    id_type = pa.int64() if layout.integer_ids else pa.string()
    types = {"src": id_type, "dst": id_type, "weight": pa.float64()}
    try:
        table = csv.read_csv(
            path,
            read_options=csv.ReadOptions(column_names=names, skip_rows=layout.skip_lines, block_size=1 << 24),
            parse_options=csv.ParseOptions(delimiter=layout.arrow_delimiter, quote_char=False,
                                           double_quote=False, escape_char=False),
            convert_options=csv.ConvertOptions(column_types=types, strings_can_be_null=False,
                                               quoted_strings_can_be_null=False, null_values=[]),
        )
    except (pa.ArrowInvalid, pa.ArrowTypeError, ValueError):
        return None
    if any(table.column(name).null_count for name in names):
        return None
    if layout.integer_ids:
        src = table.column("src").to_numpy()
        dst = table.column("dst").to_numpy()
    else:
        import pyarrow.compute as pc

        columns = []
        for name in ("src", "dst"):
            column = table.column(name)
            if layout.arrow_delimiter != " ":
                column = pc.utf8_trim_whitespace(column)
            # A later comment line would read as labels: NumPy handles those.
            if pc.any(pc.match_substring(column, "#")).as_py() or pc.any(pc.equal(column, "")).as_py():
                return None
            columns.append(column)
        # Interleave (src[0], dst[0], src[1], ...) so that the dictionary
        # lists labels in order of first appearance.
        m = table.num_rows
        interleave = np.empty(2 * m, dtype=np.int64)
        interleave[0::2] = np.arange(m)
        interleave[1::2] = np.arange(m, 2 * m)
        both = pa.chunked_array(columns[0].chunks + columns[1].chunks).take(pa.array(interleave))
        del interleave
        encoded = pc.dictionary_encode(both).combine_chunks()
        codes = encoded.indices.to_numpy().astype(np.int64)
        nodes = np.asarray(encoded.dictionary.to_numpy(zero_copy_only=False), dtype=str)
        weight = table.column("weight").to_numpy() if layout.fields == 3 else None
        return _Parsed(codes[0::2].copy(), codes[1::2].copy(), weight, nodes)
    weight = table.column("weight").to_numpy() if layout.fields == 3 else None
    return _Parsed(src, dst, weight, None)


def _parse_numpy(path: str, layout: _Layout) -> _Parsed | None:
    """The columns by NumPy's compiled ``loadtxt``, or None when it rejects the file."""
    common: dict[str, Any] = {"comments": "#", "delimiter": layout.separator, "encoding": "utf-8"}
    weight: NDArray[np.float64] | None = None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            if layout.integer_ids:
                fields: list[tuple[str, Any]] = [("src", np.int64), ("dst", np.int64)]
                if layout.fields == 3:
                    fields.append(("weight", np.float64))
                table = np.loadtxt(path, dtype=np.dtype(fields), ndmin=1, **common)
                src = np.ascontiguousarray(table["src"])
                dst = np.ascontiguousarray(table["dst"])
                if layout.fields == 3:
                    weight = np.ascontiguousarray(table["weight"])
            else:
                # Every field as text sized by loadtxt itself (labels have
                # no length limit); it also checks every line's field count.
                table = np.loadtxt(path, dtype=str, ndmin=2, **common)
                if table.shape[1] != layout.fields:
                    return None
                src = np.char.strip(table[:, 0])
                dst = np.char.strip(table[:, 1])
                if src.size and min(int(np.char.str_len(src).min()), int(np.char.str_len(dst).min())) == 0:
                    return None  # an empty label: the line walk names it
                if layout.fields == 3:
                    weight = table[:, 2].astype(np.float64)
    except (ValueError, TypeError, OverflowError):
        return None
    if layout.integer_ids:
        return _Parsed(src, dst, weight, None)
    nodes, src_rows, dst_rows = _label_rows(src, dst)
    return _Parsed(src_rows, dst_rows, weight, nodes)


def _raise_first_problem(path: str, layout: _Layout) -> None:
    """Walk the lines (slowly, on the error path only) and raise for the first bad one."""
    with _open_text(path) as handle:
        for index, line in enumerate(handle):
            fields = _split(line, layout.separator)
            if not fields:
                continue
            number = index + 1
            if len(fields) != layout.fields:
                raise EdgeFileError(
                    path,
                    f"expected {layout.fields} fields like the first edge (line {layout.skip_lines + 1}), "
                    f"found {len(fields)}",
                    number,
                )
            for position, text in enumerate(fields[:2]):
                role = ("source", "target")[position]
                if not text:
                    raise EdgeFileError(path, f"empty {role}", number)
                if layout.integer_ids:
                    if not _is_int(text):
                        raise EdgeFileError(path, f"{role} {text!r} is not an integer node id", number)
                    value = int(text)
                    if value < 0:
                        raise EdgeFileError(path, f"{role} {text!r} is negative", number)
                    if value > _INT64_MAX:
                        raise EdgeFileError(path, f"{role} {text!r} is too large", number)
            if layout.fields == 3:
                try:
                    float(fields[2])
                except ValueError:
                    raise EdgeFileError(path, f"weight {fields[2]!r} is not a number", number) from None


def _label_rows(src: NDArray[Any], dst: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]]:
    """Rows for labels in order of first appearance: src[0], dst[0], src[1], ...

    Labels are grouped by a 64-bit hash of their characters (sorting numbers
    is far faster than sorting text); the groups are then checked against
    the text, and a collision falls back to sorting the text itself.
    """
    m = src.shape[0]
    both = np.empty(2 * m, dtype=np.result_type(src.dtype, dst.dtype))
    both[0::2] = src
    both[1::2] = dst
    count = both.shape[0]
    if count == 0:
        return both, np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    width = both.dtype.itemsize // 4
    characters = both.view(np.uint32).reshape(count, width)
    key = np.full(count, 0xCBF29CE484222325, dtype=np.uint64)  # FNV-1a over the code points
    prime = np.uint64(0x100000001B3)
    for column in range(width):
        key ^= characters[:, column]
        key *= prime
    order = np.argsort(key)
    sorted_keys = key[order]
    del key
    starts = np.flatnonzero(np.concatenate(([True], sorted_keys[1:] != sorted_keys[:-1])))
    del sorted_keys
    group = np.empty(count, dtype=np.int64)
    group[order] = np.repeat(np.arange(starts.shape[0], dtype=np.int64), np.diff(np.append(starts, count)))
    first = np.minimum.reduceat(order, starts)
    del order
    if not np.array_equal(both[first][group], both):
        uniques, first, group = np.unique(both, return_index=True, return_inverse=True)
        group = group.reshape(-1)
    rank = np.empty(first.shape[0], dtype=np.int64)
    by_appearance = np.argsort(first, kind="stable")
    rank[by_appearance] = np.arange(first.shape[0], dtype=np.int64)
    codes = rank[group]
    return both[first[by_appearance]], codes[0::2].copy(), codes[1::2].copy()


def _read_npz(path: str) -> EdgeList:
    try:
        archive = np.load(path, allow_pickle=False)
    except (ValueError, OSError) as error:
        raise EdgeFileError(path, f"not a readable .npz archive ({error})") from None
    with archive:
        keys = set(archive.files)
        if "format" in keys and "shape" in keys:
            return _npz_sparse(path, archive)
        if {"src", "dst"} <= keys:
            src = _npz_ids(path, archive, "src")
            dst = _npz_ids(path, archive, "dst")
            if src.shape != dst.shape:
                raise EdgeFileError(path, f"src and dst differ in length ({src.shape[0]} and {dst.shape[0]})")
            weight = None
            if "weight" in keys:
                weight = np.asarray(archive["weight"], dtype=np.float64).reshape(-1)
                if weight.shape != src.shape:
                    raise EdgeFileError(path, f"weight has {weight.shape[0]} values for {src.shape[0]} edges")
            largest = max(int(src.max()), int(dst.max())) + 1 if src.size else 0
            n = largest
            if "num_nodes" in keys:
                n = int(archive["num_nodes"])
                if n < largest:
                    raise EdgeFileError(path, f"node id {largest - 1} is out of range for num_nodes={n}")
            return EdgeList(src, dst, weight, n)
    raise EdgeFileError(
        path,
        "expected a scipy.sparse .npz or arrays 'src', 'dst' (and optionally 'weight', 'num_nodes'); found "
        + (", ".join(sorted(keys)) or "no arrays"),
    )


def _npz_ids(path: str, archive: Any, key: str) -> NDArray[np.int64]:
    array = np.asarray(archive[key])
    if array.ndim != 1 or array.dtype.kind not in "iu":
        raise EdgeFileError(path, f"'{key}' must be a one-dimensional integer array, got {array.dtype} {array.shape}")
    if array.size and int(array.min()) < 0:
        raise EdgeFileError(path, f"'{key}' holds a negative node id")
    if array.dtype == np.uint64 and array.size and int(array.max()) > _INT64_MAX:
        raise EdgeFileError(path, f"'{key}' holds a node id beyond the int64 range")
    return np.ascontiguousarray(array, dtype=np.int64)


def _npz_sparse(path: str, archive: Any) -> EdgeList:
    stored = np.asarray(archive["format"]).reshape(-1)[0].item()
    kind = stored.decode("ascii", "replace") if isinstance(stored, bytes) else str(stored)
    shape = tuple(int(s) for s in np.asarray(archive["shape"]).reshape(-1))
    if len(shape) != 2 or shape[0] != shape[1]:
        raise EdgeFileError(path, f"the adjacency matrix must be square, got shape {shape}")
    n = shape[0]
    if kind in ("csr", "csc"):
        indptr = np.asarray(archive["indptr"], dtype=np.int64)
        indices = np.asarray(archive["indices"], dtype=np.int64)
        data = np.asarray(archive["data"], dtype=np.float64)
        if indptr.shape != (n + 1,) or indptr[0] != 0 or np.any(np.diff(indptr) < 0) or indptr[-1] > indices.size:
            raise EdgeFileError(path, f"inconsistent {kind} arrays")
        nnz = int(indptr[-1])
        outer = np.repeat(np.arange(n, dtype=np.int64), np.diff(indptr))
        inner = indices[:nnz]
        rows, cols = (outer, inner) if kind == "csr" else (inner, outer)
        weight = data[:nnz]
    elif kind == "coo":
        row_key = "row" if "row" in archive.files else "coords"
        if row_key == "coords":
            coords = np.asarray(archive["coords"], dtype=np.int64)
            rows, cols = coords[0], coords[1]
        else:
            rows = np.asarray(archive["row"], dtype=np.int64)
            cols = np.asarray(archive["col"], dtype=np.int64)
        weight = np.asarray(archive["data"], dtype=np.float64)
    else:
        try:
            import scipy.sparse
        except ImportError:
            raise EdgeFileError(path, f"reading a '{kind}' sparse matrix needs scipy "
                                "(pip install 'graphripple[scipy]')") from None
        coo = scipy.sparse.load_npz(path).tocoo()
        rows, cols, weight = coo.row.astype(np.int64), coo.col.astype(np.int64), coo.data.astype(np.float64)
    if rows.shape != cols.shape or rows.shape != weight.shape:
        raise EdgeFileError(path, f"inconsistent {kind} arrays")
    if rows.size and (min(int(rows.min()), int(cols.min())) < 0 or max(int(rows.max()), int(cols.max())) >= n):
        raise EdgeFileError(path, f"an index is out of range for shape {shape}")
    return EdgeList(np.ascontiguousarray(rows), np.ascontiguousarray(cols), np.ascontiguousarray(weight), n)


def _read_mtx(path: str) -> EdgeList:
    try:
        import scipy.io
    except ImportError:
        raise EdgeFileError(path, "reading Matrix Market files needs scipy (pip install 'graphripple[scipy]')") from None
    try:
        matrix = scipy.io.mmread(path)
    except (ValueError, IndexError, TypeError) as error:
        line = _first_bad_mtx_line(path)
        raise EdgeFileError(path, f"not a valid Matrix Market file ({error})", line) from None
    if not hasattr(matrix, "tocoo"):
        matrix = scipy.sparse.coo_matrix(matrix)
    coo = matrix.tocoo()
    if coo.shape[0] != coo.shape[1]:
        raise EdgeFileError(path, f"the adjacency matrix must be square, got shape {coo.shape}")
    if coo.data.dtype.kind not in "fiub":
        raise EdgeFileError(path, f"entries must be real numbers, not {coo.data.dtype}")
    return EdgeList(
        coo.row.astype(np.int64), coo.col.astype(np.int64), coo.data.astype(np.float64), int(coo.shape[0])
    )


def _first_bad_mtx_line(path: str) -> int | None:
    """The line of the first malformed entry of a coordinate Matrix Market file, if one is."""
    with _open_text(path) as handle:
        header = handle.readline()
        if not header.lower().startswith("%%matrixmarket"):
            return 1
        size: list[str] | None = None
        expect = 0
        for index, line in enumerate(handle, start=2):
            fields = line.split()
            if not fields or fields[0].startswith("%"):
                continue
            if size is None:
                size = fields
                if not all(_is_int(f) for f in fields):
                    return index
                expect = 3 if "pattern" not in header.lower() else 2
                if "array" in header.lower():
                    return None
                continue
            if len(fields) < expect or not (_is_int(fields[0]) and _is_int(fields[1])):
                return index
            if not (1 <= int(fields[0]) <= int(size[0]) and 1 <= int(fields[1]) <= int(size[1])):
                return index
            if expect == 3:
                try:
                    float(fields[2])
                except ValueError:
                    return index
    return None
