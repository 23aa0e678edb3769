"""Argument checks shared by the Python layer."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np


def non_negative_int(value: Any, name: str) -> int:
    """``value`` as a Python int >= 0, or a TypeError / ValueError naming ``name``."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        result = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if result < 0:
        raise ValueError(f"{name} must be non-negative, got {result}")
    return result
