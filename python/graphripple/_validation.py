"""Argument checks: ``(value, name) -> converted value``, or an error naming ``name``.

Each check converts a value (an index-like integer, a real number, a
sequence of weights, a size such as "4G") or raises ``TypeError`` /
``ValueError`` in one wording, so that every entry point refuses a bad
argument the same way. The option table (``_options``) is built from
these; other modules use them for arguments that are not fit options.
"""

from __future__ import annotations

import math
import numbers
import operator
import re
from collections.abc import Mapping, Set as AbstractSet
from typing import Any, Callable, Hashable

import numpy as np
from numpy.typing import NDArray

__all__ = [
    "SEED_LIMIT", "COUNT_LIMIT", "integer", "non_negative_int", "count", "optional", "at_least_one", "seed",
    "boolean", "real", "finite_real", "weights", "pair", "parse_size", "size", "choice", "type_name",
    "as_numpy", "endpoint_array", "real_vector", "check_real_dtype", "embedding_matrix", "check_log1p_weights",
]

SEED_LIMIT = 1 << 64
# Counts (columns, nodes) the engine takes as signed 64-bit integers.
COUNT_LIMIT = (1 << 63) - 1


def type_name(value: Any) -> str:
    return type(value).__name__


def _index(value: Any, name: str) -> int:
    """``value`` as a Python int (bools refused), or a TypeError naming ``name``."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type_name(value)}") from None


def integer(value: Any, name: str, minimum: int = 0, maximum: int | None = None) -> int:
    """``value`` as a Python int in [minimum, maximum], or an error naming ``name``."""
    result = _index(value, name)
    if result < minimum:
        if minimum == 0:
            raise ValueError(f"{name} must be non-negative, got {result}")
        raise ValueError(f"{name} must be at least {minimum}, got {result}")
    if maximum is not None and result > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {result}")
    return result


def non_negative_int(value: Any, name: str) -> int:
    """``value`` as a Python int >= 0, or a TypeError / ValueError naming ``name``."""
    return integer(value, name)


def count(value: Any, name: str) -> int:
    return integer(value, name, maximum=COUNT_LIMIT)


def optional(check: Callable[[Any, str], Any]) -> Callable[[Any, str], Any]:
    def optional(value: Any, name: str) -> Any:
        if value is None:
            return None
        try:
            return check(value, name)
        except TypeError as error:
            # "x must be an integer, not str" -> "x must be None or an integer, not str"
            raise TypeError(str(error).replace(f"{name} must be ", f"{name} must be None or ", 1)) from None
    return optional


def at_least_one(value: Any, name: str) -> int:
    return integer(value, name, minimum=1, maximum=COUNT_LIMIT)


def seed(value: Any, name: str) -> int:
    result = _index(value, name)
    if not 0 <= result < SEED_LIMIT:
        raise ValueError(f"{name} must be in [0, 2**64), got {result}")
    return result


def boolean(value: Any, name: str) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {type_name(value)}")


def real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type_name(value)}")
    return float(value)


def finite_real(value: Any, name: str) -> float:
    result = real(value, name)
    if not math.isfinite(result):
        raise ValueError(f"{name} must be finite, not {result!r}")
    return result


def weights(value: Any, name: str) -> tuple[float, ...]:
    # Text, and collections without an order (a dict's keys, a set), are no sequence of weights.
    if isinstance(value, (str, bytes, Mapping, AbstractSet)):
        raise TypeError(f"{name} must be a sequence of numbers, not {type_name(value)}")
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {value.shape}")
        if value.dtype.kind not in "iuf":
            raise TypeError(f"{name} must hold real numbers, not {value.dtype}")
        return tuple(float(w) for w in value.tolist())
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"{name} must be a sequence of numbers, not {type_name(value)}") from None
    result = []
    for item in items:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Real):
            raise TypeError(f"{name} must hold real numbers, found {type_name(item)} {item!r}")
        result.append(float(item))
    return tuple(result)


def pair(value: Any, name: str) -> tuple[int, int]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a pair (start, stop), not {type_name(value)}")
    try:
        start, stop = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (start, stop), not {type_name(value)}") from None
    return (count(start, f"{name} start"), count(stop, f"{name} stop"))


_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgtp]?)(i?b?)\s*", re.IGNORECASE)


def parse_size(text: str) -> int:
    """Bytes of a size such as "4G", "512M", "1.5GiB" or "1000000" (K, M, G, T are powers of 1024)."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"not a size: {text!r} (examples: 4G, 512M, 1.5GiB)")
    number, unit, _ = match.groups()
    scale = 1024 ** "bkmgtp".index(unit.lower() or "b")
    value = float(number) * scale
    if not math.isfinite(value) or value < 1:
        raise ValueError(f"not a usable size: {text!r}")
    return int(value)


def size(value: Any, name: str) -> int:
    """Bytes: an integer >= 1 or a text for ``parse_size``."""
    if isinstance(value, str):
        try:
            return parse_size(value)
        except ValueError as error:
            raise ValueError(f"{name}: {error}") from None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a size in bytes (an integer or a text such as '4G'), not {type_name(value)}")
    return integer(value, name, minimum=1)


def choice_text(choices: tuple[Any, ...]) -> str:
    names = [repr(c) for c in choices]
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} or {names[-1]}"


def choice(choices: tuple[Any, ...]) -> Callable[[Any, str], Any]:
    def choice(value: Any, name: str) -> Any:
        if (value is None or isinstance(value, str)) and value in choices:
            return value
        raise ValueError(f"{name} must be {choice_text(choices)}, not {value!r}")
    choice.choices = choices  # type: ignore[attr-defined]
    return choice


# ---------------------------------------------------------------------------
# Arrays


def as_numpy(value: Any) -> NDArray[Any]:
    """An ndarray of ``value``; tensors are detached and moved to the CPU first."""
    if isinstance(value, np.ndarray):
        return value
    for step in ("detach", "cpu"):
        method = getattr(value, step, None)
        if callable(method) and not isinstance(value, np.ndarray):
            value = method()
    to_numpy = getattr(value, "numpy", None)
    if callable(to_numpy) and not isinstance(value, np.ndarray):
        value = to_numpy()
    return np.asarray(value)


def endpoint_array(values: Any, name: str) -> NDArray[Any]:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of node ids or labels, not {type(values).__name__}")
    if isinstance(values, np.ndarray) or hasattr(values, "__array__") or hasattr(values, "numpy"):
        array = as_numpy(values)
    else:
        items = list(values)
        if all(type(x) is int or isinstance(x, np.integer) for x in items):
            try:
                array = np.asarray(items, dtype=np.int64) if items else np.zeros(0, dtype=np.int64)
            except OverflowError:
                raise ValueError(f"{name} holds a node id outside the int64 range") from None
        elif all(isinstance(x, str) for x in items):
            array = np.asarray(items, dtype=str)
        else:
            array = np.empty(len(items), dtype=object)
            array[:] = items
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    kind = array.dtype.kind
    if kind in "fcb" or kind in "mMV":
        raise TypeError(
            f"{name} must hold integer node ids or hashable labels such as strings, not {array.dtype}"
        )
    if kind == "O":
        for x in array.tolist():
            if isinstance(x, float) or not isinstance(x, Hashable):
                raise TypeError(
                    f"{name} must hold integer node ids or hashable labels such as strings, "
                    f"not {type(x).__name__} {x!r}"
                )
    return array


def real_vector(values: Any, name: str) -> NDArray[np.float64]:
    """``values`` as a contiguous float64 vector; complex and non-numeric values are refused."""
    array = as_numpy(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    check_real_dtype(array.dtype, name)
    return np.ascontiguousarray(array, dtype=np.float64)


def check_real_dtype(dtype: np.dtype[Any], name: str) -> None:
    if dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold real numbers, not {dtype}")


def embedding_matrix(embedding: Any) -> NDArray[np.float32]:
    """``embedding`` as a C-ordered float32 matrix, or an error naming it."""
    matrix = np.asarray(embedding)
    if matrix.ndim != 2:
        raise ValueError(f"embedding must be two-dimensional, got shape {matrix.shape}")
    if matrix.dtype.kind not in "fiu":
        raise TypeError(f"embedding must hold real numbers, not {matrix.dtype}")
    return np.ascontiguousarray(matrix, dtype=np.float32)


def check_log1p_weights(weights: NDArray[np.float64], where: Callable[[int], str]) -> None:
    """Refuse a negative or NaN weight, whose log(1 + w) is not a weight; ``where(k)`` names edge k."""
    bad = np.flatnonzero(~(weights >= 0.0))
    if bad.size:
        raise ValueError(f"edge_weight='log1p' needs non-negative weights; {where(int(bad[0]))}")
