"""Embedding files: ``save`` an embedding with the label of each row, ``load`` it back.

Formats, by suffix or by the ``format`` argument: ``.npz`` (arrays
``embedding`` and ``nodes``), ``.txt``/``.w2v`` (word2vec text: a header
``n dim``, then ``label v1 ... vdim`` a line, values printed so that they
read back to the same float32), ``.parquet`` (pyarrow; columns ``node`` and
``embedding``, a fixed-size list of float32) and ``.npy`` (the matrix;
labels other than 0..n-1 go beside it in ``NAME.nodes.npy``). A suffix that
names one format never holds another.

Every file is written through ``atomic_path``: under a
temporary name, renamed into place once complete.

A ``.npy`` result with labels is two files, and two renames cannot happen
as one: a failure between them would pair the labels of one run with the
matrix of another. So that ``load`` never returns such a mix, each save
draws a random run token and ends both files with a short trailer after
the array data, ``graphripple-run:<token>:<L or P>\\n`` (NumPy readers stop
at the end of the array data and ignore it). ``L`` says the matrix has a
labels file, ``P`` that its labels are 0..n-1. The labels file is renamed
into place first, then the matrix, then a labels file that the new result
does not need is removed. ``load`` reads the matrix's trailer: with ``P``
it ignores any labels file (a stale one from an earlier run), with ``L``
it requires the labels file to carry the same token, and raises
``ValueError`` otherwise. After a failure at any point ``load`` therefore
returns the previous complete result, the new complete one, or raises.
Files without a trailer (written by ``numpy.save``) load as before, with
labels whose count must match the rows.

Text labels go into ``.npz`` and ``.npy`` files as a fixed-width NumPy
string array, which NumPy alone reads back, unless that array would be far
larger than the text: its rows are all as wide as the longest label, so one
long label among many nodes would take gigabytes. Such labels are stored
packed instead, as their UTF-8 bytes and the offset of each label: in
``.npz`` the arrays ``nodes_utf8`` and ``nodes_offsets`` replace ``nodes``;
a packed labels file holds one byte array, the n + 1 offsets (little-endian
int64) followed by the text, and its trailer ends in ``T`` instead of ``L``.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import secrets
import zipfile
from pathlib import Path
from typing import Any, Iterator, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._validation import embedding_matrix
from ._atomic import PathLike, atomic_path, is_stream
from ._disk import create_npy_memmap, write_all, writer_target

__all__ = ["FORMATS", "Format", "format_for", "load", "nodes_path", "npy_output", "save"]

Format = Literal["npz", "w2v", "parquet", "npy"]

FORMATS: dict[str, Format] = {
    ".npz": "npz",
    ".txt": "w2v",
    ".w2v": "w2v",
    ".parquet": "parquet",
    ".npy": "npy",
}

_TRAILER_MAGIC = b"graphripple-run:"
_TRAILER_LENGTH = len(_TRAILER_MAGIC) + 32 + 3


class _FileProblem(ValueError):
    """A problem found in a file by this module (its message names the file)."""


def format_for(path: PathLike, format: str | None = None) -> Format:
    """The embedding format named by ``format`` or, when None, by the suffix of ``path``.

    A ``format`` contradicting the suffix (``format="npy"`` for ``x.parquet``)
    is refused; a suffix that names no format may hold any.
    """
    suffix = Path(path).suffix.lower()
    if format is not None:
        if format not in ("npz", "w2v", "parquet", "npy"):
            raise ValueError(f"format must be one of 'npz', 'w2v', 'parquet', 'npy', not {format!r}")
        if suffix in FORMATS and FORMATS[suffix] != format:
            raise ValueError(
                f"{os.fspath(path)}: the suffix {suffix} names {FORMATS[suffix]} files, not {format}; "
                "change the name or the format"
            )
        return format  # type: ignore[return-value]
    if suffix not in FORMATS:
        raise ValueError(
            f"cannot tell the format of {os.fspath(path)!r} from its suffix; use one of "
            + ", ".join(FORMATS)
            + " or give the format"
        )
    return FORMATS[suffix]


def nodes_path(path: PathLike) -> Path:
    """Where the node labels of a ``.npy`` embedding go: ``NAME.nodes.npy`` beside it."""
    target = Path(path)
    stem = target.name[: -len(target.suffix)] if target.suffix else target.name
    return target.with_name(stem + ".nodes.npy")


# ---------------------------------------------------------------------------
# Saving


def save(path: PathLike, embedding: ArrayLike, nodes: ArrayLike | None = None, *, format: str | None = None) -> None:
    """Write ``embedding`` (n x dim) and the label of each row to ``path``.

    ``nodes`` defaults to 0..n-1. The format follows the suffix (see the
    module docstring) unless ``format`` ("npz", "w2v", "parquet", "npy")
    is given. Labels keep their type: integers, text, and tuples of
    integers or of text (as tuples in .npz, .npy and .parquet; word2vec text
    holds text alone, and refuses labels that would be written alike). Any
    other mix is refused, naming the first label that could not be kept.
    """
    kind = format_for(path, format)
    matrix = embedding_matrix(embedding)
    labels = _labels(nodes, matrix.shape[0])
    if kind == "npz":
        stored = _stored_labels(labels)
        arrays: dict[str, NDArray[Any]] = ({"nodes_utf8": stored[0], "nodes_offsets": stored[1]} if isinstance(stored, tuple)
                  else {"nodes": stored})
        with atomic_path(path) as temporary:
            _write_npz(temporary, {"embedding": matrix, **arrays})
    elif kind == "w2v":
        _save_word2vec(path, matrix, labels)
    elif kind == "parquet":
        _save_parquet(path, matrix, labels)
    else:
        token, plain = secrets.token_hex(16), _plain(labels)
        streamed = is_stream(path)
        if streamed and not plain:
            raise ValueError(f"{os.fspath(path)}: a .npy with labels is two files and cannot be written to a "
                             "stream; use .npz, word2vec text or .parquet there")
        with atomic_path(path) as temporary:
            _write_npy(temporary, matrix, _trailer(token, "P" if plain else "L"))
            if not plain:
                _write_nodes(path, labels, token)
        if streamed:
            return
        if plain:
            _remove_stale_nodes(path)


def _write_npz(path: Path, arrays: dict[str, NDArray[Any]]) -> None:
    """An uncompressed .npz as ``numpy.savez`` writes it, with the archive closed
    on every path (NumPy 1.x leaves it open when a write fails, and its
    clean-up later prints a traceback)."""
    with writer_target(path) as target, zipfile.ZipFile(target, mode="w", compression=zipfile.ZIP_STORED,
                                                         allowZip64=True) as archive:
        for name, array in arrays.items():
            with archive.open(f"{name}.npy", "w", force_zip64=True) as member:
                np.lib.format.write_array(member, array, allow_pickle=False)


@contextlib.contextmanager
def npy_output(path: PathLike, shape: tuple[int, int], nodes: ArrayLike | None = None) -> Iterator[np.memmap[Any, Any]]:
    """A float32 ``.npy`` of ``shape`` to fill in place; saved with ``nodes`` when the block succeeds.

    The file's space is reserved before it is mapped (a full disk is one
    ``OSError`` naming ``path``); a failure in the block leaves ``path``
    and its labels file as they were.
    """
    labels = _labels(nodes, int(shape[0]))
    token, plain = secrets.token_hex(16), _plain(labels)
    with create_npy_memmap(path, shape, np.float32, trailer=_trailer(token, "P" if plain else "L")) as matrix:
        yield matrix
        matrix.flush()
        if not plain:
            _write_nodes(path, labels, token)
    if plain:
        _remove_stale_nodes(path)


def _write_nodes(path: PathLike, labels: NDArray[Any], token: str) -> None:
    stored = _stored_labels(labels)
    if isinstance(stored, tuple):
        text, offsets = stored
        # One byte array: the offsets, then the text.
        packed = np.concatenate([offsets.astype("<i8").view(np.uint8), text])
        tag = "T"
    else:
        packed, tag = stored, "L"
    with atomic_path(nodes_path(path)) as temporary:
        _write_npy(temporary, packed, _trailer(token, tag))


def _write_npy(temporary: Path, array: NDArray[Any], trailer: bytes) -> None:
    """What ``numpy.save`` writes, then ``trailer``, into the empty file ``temporary``.

    The array's bytes go straight from its memory (``write_all``), with
    errors that keep their errno (numpy's ``tofile`` reports a full disk as
    a bare short write).
    """
    array = np.ascontiguousarray(array)
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(header, np.lib.format.header_data_from_array_1_0(array))
    # Opened without truncating: the file is new and empty, and truncating
    # makes some file systems (ext4) start writing it all back on close.
    descriptor = os.open(temporary, os.O_WRONLY | getattr(os, "O_BINARY", 0))
    try:
        write_all(descriptor, header.getvalue())  # a copy: a held export of the BytesIO breaks its release
        write_all(descriptor, array.reshape(-1).view(np.uint8))
        write_all(descriptor, trailer)
    finally:
        os.close(descriptor)


def _remove_stale_nodes(path: PathLike) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(nodes_path(path))


def _plain(labels: NDArray[Any]) -> bool:
    return labels.dtype.kind in "iu" and bool(np.array_equal(labels, np.arange(labels.shape[0])))


def _trailer(token: str, tag: str) -> bytes:
    """``P``: a matrix whose labels are 0..n-1; ``L``: a matrix with a labels file, or a labels
    file holding an array of labels; ``T``: a labels file of packed text."""
    return _TRAILER_MAGIC + token.encode("ascii") + f":{tag}\n".encode("ascii")


def _labels(nodes: ArrayLike | None, count: int) -> NDArray[Any]:
    """The labels as the files store them, each kept as its type: integers (int64), text, or tuples
    of integers or of text (a 2-D array, a row per label); anything else is refused by name."""
    if nodes is None:
        return np.arange(count, dtype=np.int64)
    if isinstance(nodes, np.ndarray):
        labels = nodes
    else:
        # A Python sequence as its items: NumPy would turn [1, "1"] into two equal texts and a list
        # of tuples (networkx's grid nodes) into rows.
        items = list(nodes)  # type: ignore[arg-type]
        labels = np.empty(len(items), dtype=object)
        for row, item in enumerate(items):
            labels[row] = item
    if labels.ndim != 1 or labels.shape[0] != count:
        raise ValueError(f"nodes must hold one label per row ({count}), got shape {labels.shape}")
    if labels.dtype.kind == "O":
        return _object_labels(labels.tolist())
    if labels.dtype.kind == "S":
        return np.char.decode(labels, "utf-8")
    return labels


def _kind(label: Any) -> Any:
    """What the files keep of a label: "bool", "int", "float", "text", ("tuple", length, element kind), or None."""
    if isinstance(label, bool):
        return "bool"
    if isinstance(label, int):
        return "int"
    if type(label) in (float, str):
        return "float" if type(label) is float else "text"
    if isinstance(label, tuple) and label:
        element = _kind(label[0])
        if element in ("int", "text") and all(_kind(x) == element for x in label):
            return ("tuple", len(label), element)
    return None


_ALL_ALIKE = object()  # no label differs from the first (None is a label like any other)


def _object_labels(items: list[Any]) -> NDArray[Any]:
    """Python labels of one kind: bool, int64, float64, an object array of str, or the 2-D array of tuples."""
    first = items[0] if items else ""
    kind = _kind(first)
    bad = first if kind is None else next((x for x in items if _kind(x) != kind), _ALL_ALIKE)
    if bad is not _ALL_ALIKE:
        # Named so that the caller can convert them.
        beside = "" if bad is first else f" beside {first!r} ({type(first).__name__})"
        raise ValueError(f"nodes: the label {bad!r} ({type(bad).__name__}) cannot be saved{beside} and read back "
                         "as it is; labels must be all integers, all text, or all tuples of one length of integers "
                         "or of text")
    if kind == "text":
        # Kept as objects: a fixed-width copy would make every row as wide as the longest label.
        texts = np.empty(len(items), dtype=object)
        texts[:] = items
        return texts
    if kind in ("float", "bool"):
        return np.asarray(items, dtype=np.float64 if kind == "float" else bool)
    integers = kind == "int" or kind[2] == "int"
    try:
        array = np.asarray(items, dtype=np.int64 if integers else str)
    except OverflowError:
        bad = next(x for x in items
                   if not all(-(1 << 63) <= y < (1 << 63) for y in (x if isinstance(x, tuple) else (x,))))
        raise ValueError(f"nodes: the label {bad!r} is beyond the int64 range the files hold") from None
    return array if kind == "int" else array.reshape(len(items), kind[1])


def _as_tuples(nodes: NDArray[Any]) -> NDArray[Any]:
    """Stored 2-D labels (a row per tuple) as the object array of tuples that was saved."""
    if nodes.ndim != 2:
        return nodes
    labels = np.empty(nodes.shape[0], dtype=object)
    labels[:] = [tuple(row) for row in nodes.tolist()]
    return labels


# A fixed-width labels array may take this much more room than four bytes
# per byte of text (what ASCII labels of one length take) before the labels
# are packed instead.
_FIXED_WIDTH_SLACK = 1 << 20


def _stored_labels(labels: NDArray[Any]) -> NDArray[Any] | tuple[NDArray[np.uint8], NDArray[np.int64]]:
    """Labels as ``.npz``/``.npy`` files hold them: an array NumPy reads back without
    pickles, or, for text that a fixed-width array would blow up, ``(utf8, offsets)``."""
    if labels.dtype.kind != "O":
        return labels
    items = labels.tolist()
    encoded = [x.encode("utf-8", "surrogatepass") for x in items]
    offsets = np.zeros(len(encoded) + 1, dtype=np.int64)
    np.cumsum(np.fromiter(map(len, encoded), dtype=np.int64, count=len(encoded)), out=offsets[1:])
    fixed = _text_array(items, int(offsets[-1]))
    if fixed.dtype.kind == "U":
        return fixed
    return np.frombuffer(b"".join(encoded), dtype=np.uint8), offsets


def _text_array(items: list[str], nbytes: int | None = None) -> NDArray[Any]:
    """``items`` as a fixed-width string array when that takes little more room than the
    text (``nbytes`` of UTF-8, counted when not given), else as an object array."""
    if not items:
        return np.zeros(0, dtype=str)
    if nbytes is None:
        nbytes = sum(map(len, items))  # characters: at most the UTF-8 bytes, enough for the bound
    if len(items) * max(map(len, items)) * 4 <= 4 * nbytes + _FIXED_WIDTH_SLACK:
        return np.asarray(items, dtype=str)
    texts = np.empty(len(items), dtype=object)
    texts[:] = items
    return texts


def _unpack_labels(name: str, text: NDArray[Any], offsets: NDArray[Any]) -> NDArray[Any]:
    """The labels stored by ``_stored_labels`` as ``(utf8, offsets)``, an object array of str."""
    text = np.asarray(text)
    offsets = np.asarray(offsets)
    if (text.ndim != 1 or text.dtype != np.uint8 or offsets.ndim != 1 or offsets.dtype.kind not in "iu"
            or offsets.shape[0] < 1 or int(offsets[0]) != 0 or int(offsets[-1]) != text.shape[0]
            or bool(np.any(offsets[1:] < offsets[:-1]))):
        raise _FileProblem(f"{name}: damaged packed labels")
    data = text.tobytes()
    bounds = offsets.tolist()
    labels = np.empty(len(bounds) - 1, dtype=object)
    labels[:] = [data[a:b].decode("utf-8", "surrogatepass") for a, b in zip(bounds[:-1], bounds[1:])]
    return labels


_W2V_BAD_LABEL = re.compile(r"\s")


def _check_utf8(path: PathLike, texts: list[Any]) -> None:
    """Refuse a text label that UTF-8 cannot hold (a lone surrogate), naming it and its row."""
    for row, text in enumerate(texts):
        if isinstance(text, str) and not text.isascii():
            try:
                text.encode("utf-8")
            except UnicodeEncodeError:
                raise ValueError(f"{os.fspath(path)}: the label {text!r} of row {row} is not valid text (a lone "
                                 "surrogate) and cannot be written as UTF-8; .npz and .npy keep it") from None


def _save_word2vec(path: PathLike, matrix: NDArray[np.float32], labels: NDArray[Any]) -> None:
    texts = [str(tuple(x)) if labels.ndim == 2 else str(x) for x in labels.tolist()]
    _check_utf8(path, texts)
    if len(set(texts)) < len(texts):
        seen: dict[str, int] = {}
        for row, text in enumerate(texts):
            if seen.setdefault(text, row) != row:
                raise ValueError(f"word2vec text cannot keep the labels of rows {seen[text]} and {row} apart: "
                                 f"both are written {text!r}")
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


def _save_parquet(path: PathLike, matrix: NDArray[np.float32], labels: NDArray[Any]) -> None:
    count, dim = matrix.shape
    if dim == 0:
        raise ValueError(f"{os.fspath(path)}: a .parquet embedding needs at least one column; this one has none "
                         "(.npz and .npy hold it)")
    if labels.dtype.kind in "UO":
        _check_utf8(path, labels.tolist())
    pa = _require("pyarrow", "parquet files", "arrow")
    pq = _require("pyarrow.parquet", "parquet files", "arrow")
    values = pa.array(matrix.reshape(-1), type=pa.float32())
    column = pa.FixedSizeListArray.from_arrays(values, dim)
    # Tuple labels (a row each) as list values, which read back as tuples.
    table = pa.table({"node": pa.array(labels.tolist() if labels.ndim == 2 else labels), "embedding": column})
    with atomic_path(path) as temporary, writer_target(temporary) as target:
        pq.write_table(table, target)


def _require(module: str, purpose: str, extra: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError:
        top = module.split(".")[0]
        raise ImportError(f"{purpose} need {top} (pip install 'graphripple[{extra}]')") from None


# ---------------------------------------------------------------------------
# Loading


def load(path: PathLike, *, format: str | None = None) -> tuple[NDArray[np.float32], NDArray[Any]]:
    """Read a file written by ``save``: ``(embedding, nodes)``.

    A file that is not a readable embedding of its format raises
    ``ValueError`` naming it; a ``.npy`` whose labels file belongs to another
    run raises too (see the module docstring).
    """
    kind = format_for(path, format)
    name = os.fspath(path)
    try:
        if kind == "npz":
            return _load_npz(name)
        if kind == "w2v":
            return _load_word2vec(name)
        if kind == "parquet":
            return _load_parquet(name)
        return _load_npy(name)
    except _FileProblem:
        raise
    except OSError as error:
        if error.errno is not None:
            raise  # missing, unreadable: the system's own message names the file
        raise ValueError(f"{name}: not a readable {kind} embedding file ({error})") from None
    except (ValueError, KeyError, AttributeError, IndexError, TypeError, EOFError, UnicodeDecodeError,
            zipfile.BadZipFile) as error:
        detail = f"{type(error).__name__}: {error}" if isinstance(error, (KeyError, AttributeError)) else str(error)
        raise ValueError(f"{name}: not a readable {kind} embedding file ({detail})") from None


def _check_pair(name: str, matrix: NDArray[Any], nodes: NDArray[Any]) -> tuple[NDArray[np.float32], NDArray[Any]]:
    if matrix.ndim != 2 or matrix.dtype.kind not in "fiu":
        raise _FileProblem(f"{name}: the embedding is not a two-dimensional array of numbers "
                           f"({matrix.dtype} {matrix.shape})")
    if nodes.ndim != 1 or nodes.shape[0] != matrix.shape[0]:
        raise _FileProblem(f"{name}: {nodes.shape[0] if nodes.ndim == 1 else nodes.shape} labels for "
                           f"{matrix.shape[0]} rows")
    return matrix, nodes


def _load_npz(name: str) -> tuple[NDArray[np.float32], NDArray[Any]]:
    archive = np.load(name, allow_pickle=False)
    if not hasattr(archive, "files"):
        raise _FileProblem(f"{name}: a .npy array, not an .npz archive")
    with archive:
        packed = {"nodes_utf8", "nodes_offsets"} <= set(archive.files)
        missing = {"embedding", "nodes"} - set(archive.files) - ({"nodes"} if packed else set())
        if missing:
            raise _FileProblem(f"{name}: no array {', '.join(sorted(missing))} (found "
                               f"{', '.join(sorted(archive.files)) or 'none'})")
        nodes = (_unpack_labels(name, archive["nodes_utf8"], archive["nodes_offsets"]) if packed
                 else _as_tuples(archive["nodes"]))
        return _check_pair(name, archive["embedding"], nodes)


def _load_word2vec(name: str) -> tuple[NDArray[np.float32], NDArray[Any]]:
    with open(name, encoding="utf-8") as handle:
        header = handle.readline().split()
        if len(header) != 2 or not all(field.isdigit() for field in header):
            raise _FileProblem(f"{name}:1: expected a header 'count dim'")
        count, dim = int(header[0]), int(header[1])
        labels: list[str] = []
        matrix = np.empty((count, dim), dtype=np.float32)
        for row, line in enumerate(handle):
            if row >= count:
                raise _FileProblem(f"{name}:{row + 2}: more rows than the header's {count}")
            if not line.endswith("\n"):
                # Every written line ends in one: its last value may have lost digits.
                raise _FileProblem(f"{name}:{row + 2}: truncated (the line has no end)")
            fields = line.split()
            if len(fields) != dim + 1:
                raise _FileProblem(f"{name}:{row + 2}: expected a label and {dim} values")
            labels.append(fields[0])
            try:
                matrix[row] = np.asarray(fields[1:], dtype=np.float32)
            except ValueError:
                raise _FileProblem(f"{name}:{row + 2}: a value is not a number") from None
        if len(labels) != count:
            raise _FileProblem(f"{name}: {len(labels)} rows, the header says {count}")
    return matrix, _text_array(labels)


def _load_parquet(name: str) -> tuple[NDArray[np.float32], NDArray[Any]]:
    pq = _require("pyarrow.parquet", "parquet files", "arrow")
    pa_types = _require("pyarrow.types", "parquet files", "arrow")
    table = pq.read_table(name)
    if "embedding" not in table.column_names or "node" not in table.column_names:
        raise _FileProblem(f"{name}: expected columns 'node' and 'embedding', found "
                           f"{', '.join(table.column_names) or 'none'}")
    column = table.column("embedding").combine_chunks()
    dim = column.type.list_size
    values = column.flatten().to_numpy(zero_copy_only=False).astype(np.float32, copy=False)
    node = table.column("node")
    if pa_types.is_list(node.type) or pa_types.is_large_list(node.type) or pa_types.is_fixed_size_list(node.type):
        nodes = np.empty(len(node), dtype=object)
        nodes[:] = [tuple(x) for x in node.to_pylist()]
    else:
        nodes = node.to_numpy(zero_copy_only=False)
    return _check_pair(name, values.reshape(-1, dim), nodes)


def _npy_layout(name: str) -> tuple[tuple[int, ...], np.dtype[Any], int, int]:
    """(shape, dtype, where the data ends, file size) of a ``.npy`` file."""
    with open(name, "rb") as handle:
        version = np.lib.format.read_magic(handle)
        if version == (1, 0):
            shape, _, dtype = np.lib.format.read_array_header_1_0(handle)
        else:
            shape, _, dtype = np.lib.format.read_array_header_2_0(handle)
        end = handle.tell() + dtype.itemsize * int(np.prod(shape, dtype=np.int64))
        size = os.fstat(handle.fileno()).st_size
    if dtype.hasobject:
        raise _FileProblem(f"{name}: holds Python objects, which are not loaded")
    if size < end:
        raise _FileProblem(f"{name}: truncated ({size} bytes, the header needs {end})")
    return shape, dtype, end, size


def _run_token(name: str, end: int, size: int) -> tuple[str, str] | None:
    """The run token and the tag (see ``_trailer``) from the trailer; None without one."""
    if size == end:
        return None
    with open(name, "rb") as handle:
        handle.seek(end)
        tail = handle.read(_TRAILER_LENGTH + 1)
    if len(tail) == _TRAILER_LENGTH and tail.startswith(_TRAILER_MAGIC) and tail[-3:] in (b":P\n", b":L\n", b":T\n"):
        return tail[len(_TRAILER_MAGIC):-3].decode("ascii", "replace"), tail[-2:-1].decode("ascii")
    if len(tail) < _TRAILER_LENGTH and tail[:len(_TRAILER_MAGIC)] == _TRAILER_MAGIC[:len(tail)]:
        # A save's last bytes are missing: the run trailer is cut short.
        raise _FileProblem(f"{name}: truncated (the run trailer after the array has {len(tail)} of its "
                           f"{_TRAILER_LENGTH} bytes)")
    raise _FileProblem(f"{name}: {size - end} unexpected bytes after the array")


def _load_npy(name: str) -> tuple[NDArray[np.float32], NDArray[Any]]:
    shape, _, end, size = _npy_layout(name)
    run = _run_token(name, end, size)
    matrix = np.load(name, mmap_mode="r" if end > 0 and int(np.prod(shape)) > 0 else None, allow_pickle=False)
    rows = matrix.shape[0] if matrix.ndim else 0
    plain = np.arange(rows, dtype=np.int64)
    sidecar = os.fspath(nodes_path(name))
    if run is not None and run[1] == "P":
        return _check_pair(name, matrix, plain)  # any labels file there is from an earlier run
    if not os.path.exists(sidecar):
        if run is not None:
            raise _FileProblem(f"{name}: its labels file {sidecar} is missing")
        return _check_pair(name, matrix, plain)
    _, _, label_end, label_size = _npy_layout(sidecar)
    label_run = _run_token(sidecar, label_end, label_size)
    if (run is None) != (label_run is None) or (run is not None and label_run is not None and run[0] != label_run[0]):
        raise _FileProblem(f"{name}: its labels file {sidecar} was written by another run "
                           "(an interrupted save?); save the embedding again")
    if run is not None and run[1] == "T":
        raise _FileProblem(f"{name}: its trailer does not belong to a matrix")
    labels = np.load(sidecar, allow_pickle=False)
    if label_run is not None and label_run[1] == "T":
        count = rows + 1
        if labels.dtype != np.uint8 or labels.ndim != 1 or labels.shape[0] < 8 * count:
            raise _FileProblem(f"{sidecar}: damaged packed labels")
        labels = _unpack_labels(sidecar, labels[8 * count:], labels[:8 * count].view("<i8"))
    return _check_pair(name, matrix, _as_tuples(labels))
