"""Edge arrays, the one label encoder, and the limit on sparse integer ids.

:class:`Edges` is the edge type of the whole package: users build it from
arrays, and the file readers (``edge_files.read_edges``) return it.
``encode_labels`` gives labels their rows (order of first appearance, each
edge's source before its target) for both. ``sparse_ids_problem`` holds the
rule that refuses integer ids far beyond the number of edges; callers add
their own advice (``num_nodes``, ``--labels``) to its message.
"""

from __future__ import annotations

from typing import Any, Hashable, Iterable

import numpy as np
from numpy.typing import NDArray

from ._validation import as_numpy, endpoint_array, non_negative_int, real_vector

__all__ = ["Edges", "encode_labels", "first_appearance", "sparse_ids_problem", "SPARSE_ID_LIMIT", "SPARSE_ID_RATIO"]

# Integer ids giving more than this many rows, and over this many rows per
# edge, would make an embedding of mostly empty rows (and allocate memory to
# match): callers must confirm the count or read the ids as labels.
SPARSE_ID_LIMIT = 1 << 20
SPARSE_ID_RATIO = 100


def sparse_ids_problem(num_nodes: int, num_edges: int) -> str | None:
    """What is wrong with ``num_nodes`` rows for ``num_edges`` edges, or None when nothing is."""
    if num_nodes > SPARSE_ID_LIMIT and num_nodes > SPARSE_ID_RATIO * num_edges:
        return (
            f"node ids reach {num_nodes - 1} with only {num_edges} edges, so most of the {num_nodes} rows "
            "would be nodes without edges"
        )
    return None


class Edges:
    """Edge arrays: ``src[k] -> dst[k]`` with weight ``weight[k]`` (default 1).

    ``src`` and ``dst`` hold either integer node ids 0..n-1 (both of an
    integer dtype, or Python ints) or any hashable labels, such as strings;
    labels are given rows in order of first appearance, reading the edges in
    order and each edge's source before its target. ``num_nodes`` may only
    be given with integer ids and must exceed every id; nodes without edges
    then still get a row.
    """

    __slots__ = ("_src", "_dst", "weight", "num_nodes", "_rows")

    _src: NDArray[Any] | None
    _dst: NDArray[Any] | None
    weight: NDArray[np.float64] | None
    num_nodes: int | None
    _rows: tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]] | None

    def __init__(
        self,
        src: Iterable[Any],
        dst: Iterable[Any],
        weight: Iterable[float] | None = None,
        num_nodes: int | None = None,
    ) -> None:
        src_array = endpoint_array(src, "src")
        dst_array = endpoint_array(dst, "dst")
        if src_array.shape != dst_array.shape:
            raise ValueError(
                f"src and dst must have the same length, got {src_array.shape[0]} and {dst_array.shape[0]}"
            )
        weight_array: NDArray[np.float64] | None = None
        if weight is not None:
            weight_array = real_vector(weight, "weight")
            if weight_array.shape[0] != src_array.shape[0]:
                raise ValueError(
                    f"weight must have one value per edge ({src_array.shape[0]}), got {weight_array.shape[0]}"
                )
        ids = _is_integer_ids(src_array) and _is_integer_ids(dst_array)
        count: int | None = None
        if num_nodes is not None:
            count = non_negative_int(num_nodes, "num_nodes")
            if not ids:
                raise ValueError("num_nodes can only be given with integer node ids, not with labels")
        if ids:
            checked = []
            for name, array in (("src", src_array), ("dst", dst_array)):
                if array.dtype.kind == "u" and array.size and int(array.max()) > np.iinfo(np.int64).max:
                    raise ValueError(f"{name} holds a node id outside the int64 range")
                array = array.astype(np.int64, copy=False)
                if array.size and int(array.min()) < 0:
                    raise ValueError(f"{name} holds a negative node id ({int(array.min())})")
                checked.append(array)
            src_array, dst_array = checked
            if count is not None and src_array.size:
                largest = max(int(src_array.max()), int(dst_array.max()))
                if largest >= count:
                    raise ValueError(f"node id {largest} is out of range for num_nodes={count}")
        self._set(src_array, dst_array, weight_array, count, None)

    def _set(self, src: Any, dst: Any, weight: Any, num_nodes: int | None, rows: Any) -> None:
        object.__setattr__(self, "_src", src)
        object.__setattr__(self, "_dst", dst)
        object.__setattr__(self, "weight", weight)
        object.__setattr__(self, "num_nodes", num_nodes)
        object.__setattr__(self, "_rows", rows)

    @classmethod
    def _from_rows(
        cls,
        nodes: NDArray[Any],
        src_rows: NDArray[np.int64],
        dst_rows: NDArray[np.int64],
        weight: NDArray[np.float64] | None,
    ) -> Edges:
        """Labelled edges already encoded (as the file readers produce them):
        ``nodes[src_rows[k]] -> nodes[dst_rows[k]]``. ``src`` and ``dst`` are
        built from the rows only when asked for."""
        edges = cls.__new__(cls)
        edges._set(None, None, weight, None, (nodes, src_rows, dst_rows))
        return edges

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Edges is immutable")

    @property
    def src(self) -> NDArray[Any]:
        """The source of each edge: an integer id or a label."""
        if self._src is None:
            assert self._rows is not None
            object.__setattr__(self, "_src", self._rows[0][self._rows[1]])
        assert self._src is not None
        return self._src

    @property
    def dst(self) -> NDArray[Any]:
        """The target of each edge: an integer id or a label."""
        if self._dst is None:
            assert self._rows is not None
            object.__setattr__(self, "_dst", self._rows[0][self._rows[2]])
        assert self._dst is not None
        return self._dst

    @classmethod
    def from_edge_index(cls, edge_index: Any, num_nodes: int | None = None, weight: Any = None) -> Edges:
        """Edges from an integer ``edge_index`` of shape (2, m): row 0 sources, row 1 targets.

        Any array-like works, including a PyTorch tensor (moved to the CPU
        and read through its ``numpy()`` method; torch is never imported).
        """
        array = as_numpy(edge_index)
        if array.ndim != 2 or array.shape[0] != 2:
            raise ValueError(f"edge_index must have shape (2, m), got {tuple(array.shape)}")
        if not _is_integer_ids(array):
            raise TypeError(f"edge_index must hold integer node ids, not {array.dtype}")
        return cls(array[0], array[1], weight=None if weight is None else as_numpy(weight), num_nodes=num_nodes)

    @classmethod
    def from_frame(
        cls,
        frame: Any,
        source: Any = "source",
        target: Any = "target",
        weight: Any = None,
        num_nodes: int | None = None,
    ) -> Edges:
        """Edges from the columns of a pandas or polars DataFrame or a pyarrow Table.

        ``source`` and ``target`` name the endpoint columns and ``weight`` a
        column of real weights: by default (None) the column ``"weight"``
        when the frame has one, as ``embed`` reads a frame; False for no
        weights (each edge 1). Integer columns are node ids
        under the rules of ``Edges``; text and categorical columns are
        labels (the values of a category, integers included). The result
        equals ``Edges`` built from the same columns as arrays. A missing
        column or a null in one is a ``ValueError`` naming the column.
        Columns are read whole (zero-copy where the frame allows); the
        frame's package is used only through the frame itself.
        """
        from . import _frame_columns as columns

        if columns.frame_kind(frame) is None:
            raise TypeError("frame must be a pandas or polars DataFrame or a pyarrow Table, not "
                            f"{type(frame).__module__}.{type(frame).__qualname__}")
        src_kind, src = columns.id_column(frame, source, "source")
        dst_kind, dst = columns.id_column(frame, target, "target")
        if weight is None:
            weight = "weight" if columns.has_column(frame, "weight") else False
        weights = None if weight is False else real_vector(columns.weight_column(frame, weight),
                                                          f"weight column {weight!r}")
        if src_kind == dst_kind == columns.IDS:
            return cls(src, dst, weight=weights, num_nodes=num_nodes)
        if num_nodes is not None:
            raise ValueError("num_nodes can only be given with integer node ids, not with labels")
        if columns.OTHER in (src_kind, dst_kind):
            # Values of unknown kinds: the constructor checks each one.
            return cls(columns.as_objects(src_kind, src), columns.as_objects(dst_kind, dst), weight=weights)
        if isinstance(src, np.ndarray) == isinstance(dst, np.ndarray) and (
            isinstance(src, np.ndarray) or src.type == dst.type
        ):
            return cls._from_rows(*encode_labels(src, dst), weights)
        # Labels beside ids, or text of two kinds: both as objects.
        return cls._from_rows(
            *encode_labels(columns.as_objects(src_kind, src), columns.as_objects(dst_kind, dst)), weights)

    def __len__(self) -> int:
        return int(self._rows[1].shape[0]) if self._rows is not None else int(self.src.shape[0])

    def __reduce__(self) -> tuple[Any, ...]:
        # __setattr__ refuses assignments, so pickling goes through a constructor.
        if self._rows is not None:
            return (Edges._from_rows, (*self._rows, self.weight))
        return (Edges, (self._src, self._dst, self.weight, self.num_nodes))

    def __repr__(self) -> str:
        kind = "labels" if self.is_labelled else "ids"
        return f"Edges({len(self)} edges, {kind}, num_nodes={self.num_nodes})"

    @property
    def is_labelled(self) -> bool:
        """True when the endpoints are labels rather than integer ids."""
        if self._rows is not None:
            return True
        return not (self.src.dtype == np.int64 and self.dst.dtype == np.int64)

    def _label_rows(self) -> tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]]:
        """``(nodes, src_rows, dst_rows)`` of labelled edges, encoded once."""
        if self._rows is None:
            object.__setattr__(self, "_rows", encode_labels(self.src, self.dst))
        assert self._rows is not None
        return self._rows


# ---------------------------------------------------------------------------
# Labels

# Below this many edges sorting the labels is quicker than importing pyarrow.
_ARROW_MIN_EDGES = 50_000


def encode_labels(src: Any, dst: Any) -> tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]]:
    """Rows for labels in order of first appearance (src[0], dst[0], src[1], ...).

    ``src`` and ``dst`` are NumPy arrays, or pyarrow string arrays (as the
    file reader has them). Returns ``(nodes, src_rows, dst_rows)``:
    ``nodes[src_rows[k]]`` equals ``src[k]``. NumPy text arrays keep their
    dtype in ``nodes``; other inputs give an object array. pyarrow's
    hash-based dictionary encoding does the work when it is installed and
    the edges are many; otherwise the labels are grouped by a 64-bit hash
    (sorting numbers is far faster than sorting text), the groups are
    checked against the labels themselves, and a hash collision falls back
    to sorting the labels.
    """
    if not isinstance(src, np.ndarray):
        return _arrow_encode_columns(src, dst)
    m = int(src.shape[0])
    if src.dtype.kind in "US" and src.dtype.kind == dst.dtype.kind:
        both = np.empty(2 * m, dtype=np.result_type(src.dtype, dst.dtype))
    else:
        both = np.empty(2 * m, dtype=object)
    both[0::2] = src
    both[1::2] = dst
    if m == 0:
        return both, np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    if m >= _ARROW_MIN_EDGES:
        encoded = _arrow_encode(src, dst)
        if encoded is not None:
            nodes, src_rows, dst_rows = encoded
            return (nodes.astype(both.dtype) if both.dtype.kind in "US" else nodes), src_rows, dst_rows
    nodes, codes = _hash_encode(both)
    return nodes, codes[0::2].copy(), codes[1::2].copy()


def _arrow_encode(
    src: NDArray[Any], dst: NDArray[Any]
) -> tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]] | None:
    """The arrow encoding of NumPy labels, or None when pyarrow is missing or
    the labels are not all text."""
    try:
        import pyarrow
    except ImportError:
        return None
    kind = src.dtype.kind
    try:
        if kind in "US":
            kind_type = pyarrow.large_binary() if kind == "S" else pyarrow.large_string()
            columns = [pyarrow.array(src, type=kind_type), pyarrow.array(dst, type=kind_type)]
        else:
            # Objects take this path only when all are str: pyarrow would
            # turn bytes into text, so the inferred type must be a string.
            columns = [pyarrow.array(src), pyarrow.array(dst)]
            if not all(pyarrow.types.is_string(column.type) for column in columns):
                return None
    except (pyarrow.ArrowException, TypeError, ValueError):
        return None
    return _arrow_encode_columns(*columns)


def _arrow_encode_columns(src: Any, dst: Any) -> tuple[NDArray[Any], NDArray[np.int64], NDArray[np.int64]]:
    """pyarrow's dictionary encoding over both columns, ranked by first appearance in edge order."""
    import pyarrow
    import pyarrow.compute as pc

    def chunks(column: Any) -> list[Any]:
        return list(column.chunks) if isinstance(column, pyarrow.ChunkedArray) else [column]

    m = len(src)
    # One hash pass over the labels (all sources, then all targets) ...
    # The type given: two empty columns have no chunk to take it from.
    encoded = pc.dictionary_encode(pyarrow.chunked_array(chunks(src) + chunks(dst), type=src.type)).combine_chunks()
    codes = encoded.indices.to_numpy(zero_copy_only=False)
    interleaved = np.empty(2 * m, dtype=codes.dtype)
    interleaved[0::2] = codes[:m]
    interleaved[1::2] = codes[m:]
    del codes
    # ... and one over their small integer codes in edge order, whose
    # dictionary lists the labels by first appearance.
    ranked = pyarrow.array(interleaved).dictionary_encode()
    del interleaved
    rows = np.asarray(ranked.indices.to_numpy(zero_copy_only=False), dtype=np.int64)
    nodes = encoded.dictionary.take(ranked.dictionary).to_numpy(zero_copy_only=False)
    return nodes, rows[0::2].copy(), rows[1::2].copy()


def first_appearance(labels: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64]]:
    """(distinct labels in order of first appearance, the row of each element): ``encode_labels`` for one array."""
    if labels.shape[0] == 0:
        return labels.copy(), np.zeros(0, dtype=np.int64)
    return _hash_encode(labels)


def _hash_encode(both: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64]]:
    count = both.shape[0]
    key = _text_hash(both) if both.dtype.kind in "US" else np.frompyfunc(hash, 1, 1)(both).astype(np.int64)
    order = np.argsort(key)
    sorted_keys = key[order]
    del key
    starts = np.flatnonzero(np.concatenate(([True], sorted_keys[1:] != sorted_keys[:-1])))
    del sorted_keys
    group = np.empty(count, dtype=np.int64)
    group[order] = np.repeat(np.arange(starts.shape[0], dtype=np.int64), np.diff(np.append(starts, count)))
    first = np.minimum.reduceat(order, starts)
    del order
    if not bool(np.all(both[first][group] == both)):
        try:
            _, first, group = np.unique(both, return_index=True, return_inverse=True)
        except TypeError:
            return _dictionary_encode(both)
        group = group.reshape(-1)
    rank = np.empty(first.shape[0], dtype=np.int64)
    by_appearance = np.argsort(first, kind="stable")
    rank[by_appearance] = np.arange(first.shape[0], dtype=np.int64)
    return both[first[by_appearance]], rank[group]


def _text_hash(both: NDArray[Any]) -> NDArray[np.uint64]:
    """FNV-1a over the code points (or bytes) of each element of a text array."""
    count = both.shape[0]
    unit = np.uint32 if both.dtype.kind == "U" else np.uint8
    width = both.dtype.itemsize // np.dtype(unit).itemsize
    characters = both.view(unit).reshape(count, width)
    key = np.full(count, 0xCBF29CE484222325, dtype=np.uint64)
    prime = np.uint64(0x100000001B3)
    for column in range(width):
        key ^= characters[:, column].astype(np.uint64)
        key *= prime
    return key


def _dictionary_encode(both: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64]]:
    # Only for labels whose hashes collide and whose types do not sort
    # together (say negative ints beside strings): one dictionary pass.
    rows: dict[Hashable, int] = {}
    codes = np.fromiter((rows.setdefault(label, len(rows)) for label in both.tolist()), dtype=np.int64,
                        count=both.shape[0])
    labels = np.empty(len(rows), dtype=object)
    labels[:] = list(rows)
    return labels, codes


# ---------------------------------------------------------------------------
# Small conversions shared with graph_input


def _is_integer_ids(array: NDArray[Any]) -> bool:
    return array.dtype.kind in "iu"
