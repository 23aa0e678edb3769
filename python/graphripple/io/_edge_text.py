"""Edge files in: ``read_edges`` returns :class:`~graphripple.Edges`.

- Text, one edge a line: ``src dst`` or ``src dst weight``, fields split by
  white space, tabs or commas (or a ``delimiter`` given), ``#`` starting a
  comment, blank lines ignored, gzip when the name ends in ``.gz``. A UTF-8
  byte-order mark is dropped. When both ids of the first edge are integers,
  every id must be a non-negative integer and is the node's row; otherwise
  every id is a label. The first edge also fixes the number of fields and
  the separator; no line is ever split a second way. A first line that is
  not numeric above numeric lines (``src,dst`` over ``0,1``) is a header and
  is skipped with an ``EdgeFileNote`` warning (``header=`` forces either way).
- ``.npz``: a ``scipy.sparse.save_npz`` file (csr, csc or coo without
  scipy, any format with it), or arrays ``src``, ``dst`` and optionally
  ``weight`` and ``num_nodes``.
- ``.mtx``: Matrix Market, read by scipy.

Every file is read once, front to back, so pipes and other non-regular
files work (a name such as ``/dev/fd/63`` that does not tell the kind is
read by its first bytes: gzip, zip, a Matrix Market banner), and a line
longer than ``MAX_LINE_BYTES`` or a NUL byte stops the read at once. Text is then parsed by pyarrow's CSV reader when pyarrow
is installed and the file suits it, else by NumPy's ``loadtxt``; both are
compiled parsers and keep labels as separate strings (never in fixed-width
arrays), so no Python code runs per line and memory stays near the file's
size plus the edge arrays. When a parser reports a problem, one slow pass
over the lines finds the first bad one: every problem is an
``EdgeFileError`` whose text is ``FILE:LINE: what is wrong``.
"""

from __future__ import annotations

import dataclasses
import gzip
import io
import mmap
import os
import re
import stat
import warnings
import zlib
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from .._edges import Edges, encode_labels, sparse_ids_problem
from ._common import CHUNK, INT64_MAX, EdgeFileError, EdgeFileNote, PathLike, decode, is_int, is_number, line_number

__all__ = ["EdgeFileError", "EdgeFileNote", "MAX_LINE_BYTES", "parse_delimiter", "read_edges"]

# Longer lines are refused: an endless line (a device, a stream without line
# breaks) would otherwise take all memory.
MAX_LINE_BYTES = 1 << 26
_BOM = b"\xef\xbb\xbf"
_GZIP_MAGIC = b"\x1f\x8b"
_ZIP_MAGIC = b"PK\x03\x04"
_MTX_BANNER = b"%%MatrixMarket"
_LABELS_HINT = "read the ids as labels instead (--labels, or labels=True)"


_DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "space": " ", "whitespace": None}


def parse_delimiter(text: str | None) -> str | None:
    """The field separator named by ``text``: one character, "tab", "comma",
    "space" or "whitespace" (runs of spaces and tabs; also None)."""
    if text is None:
        return None
    if text in _DELIMITER_NAMES:
        return _DELIMITER_NAMES[text]
    if len(text) != 1 or text in "#\n\r\0":
        raise ValueError(f"delimiter must be one character (not '#'), 'tab', 'comma', 'space' or 'whitespace', not {text!r}")
    return " " if text.isspace() and text != "\t" else text


def read_edges(
    path: PathLike,
    *,
    delimiter: str | None = None,
    labels: bool | None = None,
    header: bool | None = None,
    engine: str = "auto",
) -> Edges:
    """Read an edge file (see the module docstring); raises ``EdgeFileError``.

    ``delimiter``: a character, "tab", "comma", "space" or "whitespace";
    None detects it from the first edge. ``labels``: True reads every node
    id of a text file as a label (rows in order of first appearance), False
    requires integer ids, None decides from the first edge. ``header``: True
    skips the first line that is not a comment, False reads it as an edge,
    None skips it when it looks like a header. ``engine``: "auto" (pyarrow
    when installed and the file suits it, NumPy otherwise), "pyarrow" or
    "numpy". Integer ids come back with ``num_nodes`` set; labels as
    labelled ``Edges``.
    """
    if engine not in ("auto", "pyarrow", "numpy"):
        raise ValueError(f"engine must be 'auto', 'pyarrow' or 'numpy', not {engine!r}")
    name = os.fspath(path)
    try:
        separator = parse_delimiter(delimiter)
    except ValueError as error:
        raise EdgeFileError(name, str(error)) from None
    if not os.path.exists(name):
        raise EdgeFileError(name, "no such file")
    if os.path.isdir(name):
        raise EdgeFileError(name, "is a folder, not an edge file")
    try:
        kind, content = _read_all(name)
        if kind == "npz":
            from ._edge_matrix import read_npz

            return read_npz(name, content.data)
        if kind == "mtx":
            from ._edge_matrix import read_mtx

            return read_mtx(name, content.data)
        return _read_text(name, content, separator, engine, labels, header)
    except EdgeFileError:
        raise
    except (OSError, EOFError, zlib.error) as error:
        raise EdgeFileError(name, f"cannot read: {error}") from None


# ---------------------------------------------------------------------------
# Reading the bytes


class _Content(NamedTuple):
    data: Any       # bytes, or a read-only memory map of a regular file
    start: int      # after a byte-order mark
    longest: int    # bytes of the longest line that crossed a read block (block-sized lines aside)
    regular: bool   # a regular file, which the NumPy parser may open again by name
    path: str


class _TextCheck:
    """NUL bytes and over-long lines, found block by block as a file is read.

    ``feed`` returns None, or the message and position of the first problem
    in the block; the caller, which holds the bytes before it, numbers the line.
    """

    def __init__(self) -> None:
        self.run = 0     # bytes of the line the current block continues
        self.longest = 0

    def feed(self, data: Any, begin: int, end: int) -> tuple[str, int] | None:
        nul = data.find(b"\0", begin, end)
        if nul >= 0:
            return "holds a NUL byte: not a text edge list", nul
        too_long = f"a line longer than {MAX_LINE_BYTES} bytes: not a text edge list"
        first = data.find(b"\n", begin, end)
        if first < 0:
            self.run += end - begin
            return (too_long, end) if self.run > MAX_LINE_BYTES else None
        self.longest = max(self.longest, self.run + first - begin)
        if self.run + first - begin > MAX_LINE_BYTES:
            return too_long, first
        self.run = end - data.rfind(b"\n", begin, end) - 1
        return (too_long, end) if self.run > MAX_LINE_BYTES else None


def _read_all(path: str) -> tuple[str, _Content]:
    """The kind of file ("npz", "mtx" or "text") and its whole (decompressed) content.

    The file is opened once and read front to back. Its name decides the
    kind, and for names that say nothing (``/dev/fd/63`` from the shell's
    ``<(...)``) its first bytes: gzip, zip (``.npz``) and Matrix Market
    banners. Text is checked for NUL bytes and over-long lines as it comes,
    so an endless stream stops.
    """
    lower = path.lower()
    with open(path, "rb") as raw:
        info = os.fstat(raw.fileno())
        regular = stat.S_ISREG(info.st_mode)
        gz = lower.endswith(".gz") or raw.peek(2)[:2] == _GZIP_MAGIC
        stream: Any = gzip.GzipFile(fileobj=raw, mode="rb") if gz else raw
        head = bytes(stream.peek(len(_MTX_BANNER))[: len(_MTX_BANNER)])
        if lower.endswith(".npz") or (not gz and head.startswith(_ZIP_MAGIC)):
            kind = "npz"
        elif lower.endswith((".mtx", ".mtx.gz")) or head.lower() == _MTX_BANNER.lower():
            kind = "mtx"
        else:
            kind = "text"
        check = _TextCheck() if kind != "npz" else None
        if check is not None and regular and not gz and info.st_size > 0:
            # A regular file is mapped, not copied: its pages stay the page cache's.
            data: Any = mmap.mmap(raw.fileno(), 0, access=mmap.ACCESS_READ)
            for begin in range(0, len(data), CHUNK):
                problem = check.feed(data, begin, min(begin + CHUNK, len(data)))
                if problem is not None:
                    raise EdgeFileError(path, problem[0], line_number(data, problem[1]))
        else:
            chunks: list[bytes] = []
            while True:
                chunk = stream.read(CHUNK)
                if not chunk:
                    break
                problem = check.feed(chunk, 0, len(chunk)) if check is not None else None
                if problem is not None:
                    lines = sum(earlier.count(b"\n") for earlier in chunks)
                    raise EdgeFileError(path, problem[0], lines + line_number(chunk, problem[1]))
                chunks.append(chunk)
            data = chunks[0] if len(chunks) == 1 else b"".join(chunks)
            del chunks
    longest = max(check.longest, check.run) if check is not None else 0
    # NumPy may open the file again by name when that gives the same bytes.
    reopen = regular and (not gz or lower.endswith(".gz"))
    start = 3 if check is not None and data[:3] == _BOM else 0
    return kind, _Content(data, start, longest, reopen, path)


# ---------------------------------------------------------------------------
# Text layout


@dataclasses.dataclass(frozen=True)
class _Layout:
    """What the first edge of a text file says about the rest."""

    offset: int              # byte offset of the first edge's line
    line: int                # its line number
    fields: int              # 2 or 3
    separator: str | None    # None: runs of white space (spaces and tabs)
    integer_ids: bool
    arrow_delimiter: str     # the one character pyarrow splits on


_DECIMAL_COMMA = re.compile(r"[+-]?\d*,\d+")


def _show(text: str) -> str:
    """``repr(text)``, shortened: a label may be megabytes long."""
    return repr(text) if len(text) <= 80 else repr(text[:60]) + f"... ({len(text)} characters)"


def _split(body: str, separator: str | None) -> list[str]:
    if separator is None:
        return body.split()
    if not body.strip():
        return []
    return [field.strip() for field in body.strip("\r\n").split(separator)]


def _choose_separator(body: str) -> str | None:
    if "," not in body:
        return None
    words = body.split()
    # "0 1 0,5": white space separates, and the comma is a decimal comma.
    if len(words) == 3 and "," not in words[0] + words[1] and _DECIMAL_COMMA.fullmatch(words[2]):
        return None
    return ","


def _numeric(fields: list[str]) -> bool:
    return len(fields) >= 2 and is_int(fields[0]) and is_int(fields[1]) and (
        len(fields) < 3 or is_number(fields[2]))


def _content_lines(path: str, content: _Content, wanted: int) -> list[tuple[int, int, str]]:
    """Up to ``wanted`` lines with an edge (or a header) on them: (offset, line number, text without comment)."""
    data = content.data
    found: list[tuple[int, int, str]] = []
    position, number = content.start, 1
    while position < len(data) and len(found) < wanted:
        end = data.find(b"\n", position)
        end = len(data) if end < 0 else end
        body = decode(path, data, position, end).split("#", 1)[0]
        if body.strip():
            found.append((position, number, body))
        position, number = end + 1, number + 1
    return found


def _detect(path: str, content: _Content, separator: str | None, header: bool | None) -> _Layout | None:
    """The layout from the first edge; None for a file without edges."""
    lines = _content_lines(path, content, 2)
    if not lines:
        return None
    chosen = separator if separator is not None else _choose_separator(lines[0][2])
    first = _split(lines[0][2], chosen)
    if header is None and len(lines) == 2 and len(first) in (2, 3):
        second = _split(lines[1][2], chosen)
        # A header has no number at all above integer ids or a weight.
        header = not any(is_number(field) for field in first) and (
            _numeric(second) or (len(first) == len(second) == 3 and is_number(second[2])))
    if header:
        warnings.warn(EdgeFileNote(f"{path}:{lines[0][1]}: skipped the header line {_show(lines[0][2].strip())} "
                                   "(--no-header, or header=False, reads it as an edge)"), stacklevel=4)
        lines = lines[1:]
        if not lines:
            return None
    offset, number, body = lines[0]
    fields = _split(body, chosen)
    if len(fields) not in (2, 3):
        raise EdgeFileError(path, f"expected 'src dst' or 'src dst weight', found {len(fields)} fields", number)
    arrow = chosen if chosen is not None else ("\t" if "\t" in body.strip() else " ")
    return _Layout(offset, number, len(fields), chosen, is_int(fields[0]) and is_int(fields[1]), arrow)


# ---------------------------------------------------------------------------
# Text parsing


class _Parsed(NamedTuple):
    """Columns of a text edge file: integer ids (``nodes`` None) or rows and their labels."""

    src: NDArray[np.int64]
    dst: NDArray[np.int64]
    weight: NDArray[np.float64] | None
    nodes: NDArray[Any] | None


def _read_text(
    path: str, content: _Content, separator: str | None, engine: str, labels: bool | None, header: bool | None
) -> Edges:
    layout = _detect(path, content, separator, header)
    if layout is None:
        raise EdgeFileError(path, "no edges found")
    if labels is not None:
        layout = dataclasses.replace(layout, integer_ids=not labels)
    parsed: _Parsed | None = None
    if engine == "pyarrow" and not _has_pyarrow():
        raise ImportError("engine='pyarrow' needs pyarrow (pip install 'graphripple[arrow]')")
    if engine == "pyarrow" or (engine == "auto" and _has_pyarrow()):
        parsed = _parse_arrow(content, layout)
    if parsed is None:
        parsed = _parse_numpy(content, layout)
    if parsed is None:
        _raise_first_problem(path, content, layout)
        raise EdgeFileError(path, "cannot be parsed as an edge list")
    src, dst, weight, nodes = parsed
    if nodes is not None:
        return Edges._from_rows(nodes, src, dst, weight)
    if (src.size and int(src.min()) < 0) or (dst.size and int(dst.min()) < 0):
        _raise_first_problem(path, content, layout)
    n = max(int(src.max()), int(dst.max())) + 1 if src.size else 0
    problem = sparse_ids_problem(n, int(src.size))
    if problem is not None:
        raise EdgeFileError(path, f"{problem}; {_LABELS_HINT}")
    return Edges(src, dst, weight, num_nodes=n)


def _has_pyarrow() -> bool:
    try:
        import pyarrow.csv  # noqa: F401
    except ImportError:
        return False
    return True


def _parse_arrow(content: _Content, layout: _Layout) -> _Parsed | None:
    """The columns by pyarrow's CSV reader, or None when it cannot take the file.

    The reader knows one separator character and no comments: it is given
    the bytes from the first edge on, and any later comment, run of spaces
    or bad field makes it fail, which sends the file to NumPy.
    """
    import pyarrow as pa
    import pyarrow.csv as csv

    names = ["src", "dst", "weight"][: layout.fields]
    block = max(1 << 24, content.longest + (1 << 20))
    # Integer ids are read as int32 first, which takes half the memory and
    # time of int64, and again as int64 when one does not fit.
    id_types: list[tuple[Any, type[np.generic] | None]] = (
        [(pa.int32(), np.int32), (pa.int64(), np.int64)] if layout.integer_ids else [(pa.string(), None)])
    for id_type, id_dtype in id_types:
        types = {"src": id_type, "dst": id_type, "weight": pa.float64()}
        try:
            table = csv.read_csv(
                pa.BufferReader(pa.py_buffer(content.data).slice(layout.offset)),
                read_options=csv.ReadOptions(column_names=names, block_size=block),
                parse_options=csv.ParseOptions(delimiter=layout.arrow_delimiter, quote_char=False,
                                               double_quote=False, escape_char=False),
                convert_options=csv.ConvertOptions(column_types=types, strings_can_be_null=False,
                                                   quoted_strings_can_be_null=False, null_values=[]),
            )
            break
        except (pa.ArrowInvalid, pa.ArrowTypeError, ValueError):
            continue
    else:
        return None
    if any(table.column(name).null_count for name in names):
        return None
    weight = _arrow_numbers(table.column("weight"), np.float64, np.float64) if layout.fields == 3 else None
    if id_dtype is not None:
        return _Parsed(_arrow_numbers(table.column("src"), id_dtype, np.int64),
                       _arrow_numbers(table.column("dst"), id_dtype, np.int64), weight, None)
    import pyarrow.compute as pc  # slow to import: only labels need it

    columns = []
    for name in ("src", "dst"):
        column = table.column(name)
        if layout.arrow_delimiter != " ":
            column = pc.utf8_trim_whitespace(column)
        # A later comment line would read as labels: NumPy handles those.
        if pc.any(pc.match_substring(column, "#")).as_py() or pc.any(pc.equal(column, "")).as_py():
            return None
        columns.append(column)
    del table
    nodes, src, dst = encode_labels(columns[0], columns[1])
    return _Parsed(src, dst, weight, nodes)


def _arrow_numbers(column: Any, stored: type[np.generic], dtype: type[np.generic]) -> NDArray[Any]:
    """A pyarrow column of numbers without nulls, ``stored`` as NumPy's type of that
    name, as one new NumPy array of ``dtype``.

    Each chunk's values are copied from its data buffer into place: pyarrow's
    own ``to_numpy`` first imports pandas when pandas is installed, which
    takes longer than the copy.
    """
    itemsize = np.dtype(stored).itemsize
    result = np.empty(len(column), dtype=dtype)
    position = 0
    for chunk in column.chunks:
        count = len(chunk)
        if count:
            values = chunk.buffers()[1]
            result[position:position + count] = np.frombuffer(values, dtype=stored, count=count,
                                                              offset=chunk.offset * itemsize)
        position += count
    return result


def _parse_numpy(content: _Content, layout: _Layout) -> _Parsed | None:
    """The columns by NumPy's compiled ``loadtxt``, or None when it rejects the file.

    Labels are read as one Python string each (dtype object), so a long
    label costs its own length and not that length for every edge.
    """
    label = np.int64 if layout.integer_ids else object
    fields: list[tuple[str, Any]] = [("src", label), ("dst", label), ("weight", np.float64)][: layout.fields]
    source: Any
    if content.regular:
        # loadtxt reads a file it opens itself about twice as fast as a stream.
        source, skip = content.path, layout.line - 1
    else:
        stream = io.BytesIO(content.data)
        stream.seek(layout.offset)
        source, skip = io.TextIOWrapper(stream, encoding="utf-8"), 0
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            table = np.loadtxt(source, dtype=np.dtype(fields), ndmin=1, comments="#", delimiter=layout.separator,
                               skiprows=skip, encoding="utf-8-sig")
    except (ValueError, TypeError, OverflowError, UnicodeDecodeError):
        return None
    weight = np.ascontiguousarray(table["weight"]) if layout.fields == 3 else None
    src = np.ascontiguousarray(table["src"])
    dst = np.ascontiguousarray(table["dst"])
    del table
    if layout.integer_ids:
        return _Parsed(src, dst, weight, None)
    if layout.separator is not None:
        strip = np.frompyfunc(str.strip, 1, 1)
        src, dst = strip(src), strip(dst)
    if src.size and (bool(np.any(src == "")) or bool(np.any(dst == ""))):
        return None  # an empty label: the line walk names it
    nodes, src_rows, dst_rows = encode_labels(src, dst)
    return _Parsed(src_rows, dst_rows, weight, nodes)


def _raise_first_problem(path: str, content: _Content, layout: _Layout) -> None:
    """Walk the lines (slowly, on the error path only) and raise for the first bad one."""
    data = content.data
    text = decode(path, data, layout.offset, len(data))
    for index, line in enumerate(text.split("\n")):
        fields = _split(line.split("#", 1)[0], layout.separator)
        if not fields:
            continue
        number = layout.line + index
        if len(fields) != layout.fields:
            raise EdgeFileError(
                path, f"expected {layout.fields} fields like the first edge (line {layout.line}), found {len(fields)}",
                number,
            )
        for position, field in enumerate(fields[:2]):
            role = ("source", "target")[position]
            if not field:
                raise EdgeFileError(path, f"empty {role}", number)
            if layout.integer_ids:
                if not is_int(field):
                    raise EdgeFileError(path, f"{role} {_show(field)} is not an integer node id", number)
                value = int(field)
                if value < 0:
                    raise EdgeFileError(path, f"{role} {_show(field)} is negative", number)
                if value > INT64_MAX:
                    raise EdgeFileError(path, f"{role} {_show(field)} is too large", number)
        if layout.fields == 3 and not is_number(fields[2]):
            hint = " (write decimals with a point)" if _DECIMAL_COMMA.fullmatch(fields[2]) else ""
            raise EdgeFileError(path, f"weight {_show(fields[2])} is not a number{hint}", number)

