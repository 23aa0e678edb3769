"""The ``graphripple`` command line: ``embed``, ``similar`` and ``demo`` (see ``main``)."""

from __future__ import annotations

from ._main import main

__all__ = ["main"]
