"""Columns of data frames as the arrays that :class:`~graphripple.Edges` takes.

A pandas or polars DataFrame or a pyarrow Table (or RecordBatch) is
recognised by the module of its type, so none of these packages is imported
unless the caller already holds one of their frames. Each column comes out
whole, without a Python step per row: integer columns as NumPy arrays
(zero-copy where the frame allows), text columns as pyarrow string arrays
or NumPy object arrays of ``str`` (which ``encode_labels`` takes as they
are), categorical columns as their values.

A column is classified as one of:

- ``IDS``: a NumPy integer array, node ids under the rules of ``Edges``;
- ``LABELS``: labels already known to be valid (text, or the values of
  checked categories), ready for ``encode_labels``;
- ``OTHER``: an object array of anything else (Python ints in an object
  column, mixed values); ``Edges`` checks each value itself.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._validation import endpoint_array

__all__ = ["frame_kind", "has_column", "id_column", "weight_column", "IDS", "LABELS", "OTHER"]

IDS, LABELS, OTHER = "ids", "labels", "other"


def frame_kind(frame: Any) -> str | None:
    """``"pandas"``, ``"polars"`` or ``"arrow"`` for a frame of that package, else None."""
    top = type(frame).__module__.split(".")[0]
    if top == "pandas" and hasattr(frame, "columns") and hasattr(frame, "iloc") and getattr(frame, "ndim", 0) == 2:
        return "pandas"
    if top == "polars" and hasattr(frame, "get_column") and hasattr(frame, "columns"):
        return "polars"
    if top == "pyarrow" and hasattr(frame, "column_names") and hasattr(frame, "column"):
        return "arrow"
    return None


def _names(frame: Any, kind: str) -> list[Any]:
    return list(frame.column_names) if kind == "arrow" else list(frame.columns)


def has_column(frame: Any, name: str) -> bool:
    kind = frame_kind(frame)
    return kind is not None and name in _names(frame, kind)


def _column(frame: Any, kind: str, name: Any, role: str) -> Any:
    """The column ``name`` of ``frame`` as the frame's own column object, checked for presence and nulls."""
    names = _names(frame, kind)
    count = names.count(name)
    if count == 0:
        shown = ", ".join(repr(n) for n in names[:20]) + (", ..." if len(names) > 20 else "")
        raise ValueError(f"frame has no {role} column {name!r} (its columns: {shown or 'none'}); "
                         f"pass {role}=... to name another")
    if count > 1:
        raise ValueError(f"frame has {count} columns named {name!r}; the {role} column must be one")
    if kind == "pandas":
        column = frame[name]
        nulls = int(column.isna().sum())
    elif kind == "polars":
        column = frame.get_column(name)
        nulls = int(column.null_count())
    else:
        column = frame.column(name)
        nulls = int(column.null_count)
    if nulls:
        what = "weights" if role == "weight" else "node ids"
        raise ValueError(f"{role} column {name!r} holds {nulls} null value{'s' if nulls > 1 else ''}; "
                         f"{what} cannot be missing")
    return column


def id_column(frame: Any, name: Any, role: str) -> tuple[str, Any]:
    """``(IDS|LABELS|OTHER, values)`` of the node column ``name`` (``role`` names it in errors)."""
    kind = frame_kind(frame)
    assert kind is not None
    column = _column(frame, kind, name, role)
    if kind == "pandas":
        return _pandas_ids(column, name, role)
    if kind == "polars":
        if column.dtype.is_integer():
            return IDS, column.to_numpy()
        try:
            column = column.to_arrow()
        except ImportError:
            return _polars_text(column, name, role)
    return _arrow_ids(column, name, role)


def _polars_text(column: Any, name: Any, role: str) -> tuple[str, Any]:
    """A polars text or categorical column as an object array of str (when pyarrow is missing)."""
    import polars

    if column.dtype == polars.Categorical or column.dtype == polars.Enum:
        column = column.cast(polars.String)
    if column.dtype != polars.String:
        raise _refuse(column.dtype, name, role)
    return LABELS, column.to_numpy()


def weight_column(frame: Any, name: Any) -> NDArray[Any]:
    """The weight column ``name`` as a NumPy array (``Edges`` checks that it holds real numbers)."""
    kind = frame_kind(frame)
    assert kind is not None
    column = _column(frame, kind, name, "weight")
    if kind == "pandas":
        dtype = column.dtype
        if not isinstance(dtype, np.dtype) and dtype.kind in "biuf":
            return np.asarray(column.to_numpy(dtype=np.float64))
        return np.asarray(column.to_numpy())
    if kind == "polars":
        return np.asarray(column.to_numpy())
    return np.asarray(column.to_numpy() if hasattr(column, "num_chunks") else column.to_numpy(zero_copy_only=False))


def _refuse(dtype: Any, name: Any, role: str) -> TypeError:
    return TypeError(f"{role} column {name!r} must hold integer node ids, text or categories, not {dtype}")


def _pandas_ids(column: Any, name: Any, role: str) -> tuple[str, Any]:
    import pandas  # type: ignore[import-untyped,import-not-found,unused-ignore]

    dtype = column.dtype
    if isinstance(dtype, pandas.CategoricalDtype):
        # Categories are labels whatever their type: check them once, take each row's value.
        categories = endpoint_array(dtype.categories.to_numpy(dtype=object), f"{role} column {name!r}")
        return LABELS, categories[np.asarray(column.cat.codes.to_numpy(), dtype=np.intp)]
    if dtype.kind in "iu":
        if isinstance(dtype, np.dtype):
            return IDS, column.to_numpy()
        return IDS, column.to_numpy(dtype=getattr(dtype, "numpy_dtype", np.int64))
    if dtype.kind in "fcbmM":
        raise _refuse(dtype, name, role)
    inferred = pandas.api.types.infer_dtype(column, skipna=False)
    if not isinstance(dtype, np.dtype) and inferred == "string":
        # Arrow-backed text is taken as pyarrow strings when pyarrow can have them.
        try:
            import pyarrow

            return _arrow_ids(pyarrow.array(column.array), name, role)
        except (ImportError, TypeError, ValueError):
            pass
    values = column.to_numpy(dtype=object)
    return (LABELS if inferred == "string" else OTHER), values


def _arrow_ids(column: Any, name: Any, role: str) -> tuple[str, Any]:
    import pyarrow
    import pyarrow.types as types

    kind = column.type
    if types.is_dictionary(kind):
        # Categories: their values are labels, integers included.
        column = column.cast(kind.value_type)
        kind = column.type
        if types.is_integer(kind):
            return LABELS, _arrow_numpy(column).astype(object)
    if types.is_integer(kind):
        return IDS, _arrow_numpy(column)
    if types.is_string(kind) or types.is_large_string(kind) or _is_view(types, "is_string_view", kind):
        return LABELS, column.cast(pyarrow.large_string()) if kind != pyarrow.large_string() else column
    if types.is_binary(kind) or types.is_large_binary(kind) or _is_view(types, "is_binary_view", kind):
        return LABELS, column.cast(pyarrow.large_binary()) if kind != pyarrow.large_binary() else column
    raise _refuse(kind, name, role)


def _is_view(types: Any, test: str, kind: Any) -> bool:
    check = getattr(types, test, None)
    return bool(check(kind)) if check is not None else False


def _arrow_numpy(column: Any) -> NDArray[Any]:
    """A pyarrow (chunked) array without nulls as NumPy, zero-copy when it is one chunk of numbers."""
    if hasattr(column, "num_chunks"):
        return np.asarray(column.to_numpy())
    return np.asarray(column.to_numpy(zero_copy_only=False))


def as_objects(kind: str, values: Any) -> NDArray[Any]:
    """Any classified column as a NumPy array that ``Edges`` reads as labels."""
    if isinstance(values, np.ndarray):
        return values.astype(object) if kind == IDS else values
    return _arrow_numpy(values).astype(object, copy=False)
