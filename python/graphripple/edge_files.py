"""Edge file readers, kept under their earlier name: see ``graphripple.io``."""

from __future__ import annotations

from .io import MAX_LINE_BYTES, EdgeFileError, EdgeFileNote, parse_delimiter, read_edges

__all__ = ["read_edges", "EdgeFileError", "EdgeFileNote", "MAX_LINE_BYTES", "parse_delimiter"]
