"""What the file readers share: the error of a bad edge file and the small text rules.

``EdgeFileError`` is every problem with an edge file, its text
``FILE:LINE: what is wrong``; ``EdgeFileNote`` a decision the reader
made that the caller may want to know. The text and matrix readers decode
and classify fields with the same helpers, so that a field is an integer
or a number by one rule.
"""

from __future__ import annotations

import os
import re
from typing import Any, Union

import numpy as np

__all__ = ["CHUNK", "INT64_MAX", "EdgeFileError", "EdgeFileNote", "PathLike", "decode", "is_int", "is_number",
           "line_number"]

PathLike = Union[str, "os.PathLike[str]"]

INT64_MAX = int(np.iinfo(np.int64).max)
# Bytes scanned at a time when counting lines of a large buffer.
CHUNK = 1 << 24


class EdgeFileError(ValueError):
    """A problem with an edge file; ``str()`` gives ``FILE:LINE: message``."""

    def __init__(self, path: PathLike, message: str, line: int | None = None) -> None:
        self.path = os.fspath(path)
        self.line = line
        self.message = message
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {message}")


class EdgeFileNote(UserWarning):
    """Something the reader decided about a file that the caller may want to know (a skipped header)."""


def line_number(data: Any, offset: int) -> int:
    return 1 + sum(int(data[begin:min(begin + CHUNK, offset)].count(b"\n")) for begin in range(0, offset, CHUNK))


def decode(path: str, data: bytes, begin: int, end: int) -> str:
    try:
        return data[begin:end].decode("utf-8")
    except UnicodeDecodeError as error:
        raise EdgeFileError(path, "is not UTF-8 text", line_number(data, begin + error.start)) from None


INT_PATTERN = re.compile(r"[+-]?\d+")


def is_int(text: str) -> bool:
    return bool(INT_PATTERN.fullmatch(text))


def is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True
