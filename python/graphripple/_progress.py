"""Progress of an embedding: ``embed(..., progress=...)`` and the command line's bar.

``embed`` reports ``progress(stage, done, total)`` with ``stage`` one of
``STAGES``: "graph" (the conversion to CSR), "fit" (the engine: each
starting block, propagation and block written) and "write" (flushing an
``out=`` target). Within a stage ``done`` never decreases and the stage's
last report has ``done == total``.

``progress=True`` draws the reports: with tqdm, one tqdm bar per stage;
without it, ``TextBar`` on stderr (a bar redrawn in place on a terminal,
one line per finished stage otherwise).
"""

from __future__ import annotations

import contextlib
import sys
import time
from typing import Any, Callable, TextIO

__all__ = ["STAGES", "ProgressCallback", "TextBar", "bar_text", "reporter_for"]

STAGES = ("graph", "fit", "write")

ProgressCallback = Callable[[str, int, int], object]

_BAR_WIDTH = 24


def bar_text(label: str, done: int, total: int, elapsed: float) -> str:
    """``label [#####.....]  45% 1.2 s, 1.5 s left``: the fraction, the time so far and the time left."""
    fraction = done / total if total else 1.0
    filled = int(fraction * _BAR_WIDTH)
    text = f"{label} [{'#' * filled}{'.' * (_BAR_WIDTH - filled)}] {fraction:4.0%} {elapsed:.1f} s"
    if 0 < fraction < 1:
        text += f", {elapsed * (1 - fraction) / fraction:.1f} s left"
    return text


def _isatty(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class TextBar:
    """Draws ``progress(stage, done, total)`` reports as text.

    On a terminal the current stage is one line redrawn in place (a bar
    with its percentage and the time left); otherwise each stage is one
    line, written when it ends. A stage ends at ``done == total`` or when
    another one starts.
    """

    def __init__(self, stream: TextIO | None = None, *, terminal: bool | None = None, prefix: str = "graphripple",
                 clock: Callable[[], float] = time.monotonic) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._terminal = _isatty(self._stream) if terminal is None else terminal
        self._prefix = prefix
        self._clock = clock
        self._stage: str | None = None
        self._started = 0.0

    def _write(self, text: str) -> None:
        with contextlib.suppress(OSError, ValueError):
            self._stream.write(text)
            self._stream.flush()

    def __call__(self, stage: str, done: int, total: int) -> None:
        now = self._clock()
        if stage != self._stage:
            self._stage, self._started = stage, now
        elapsed = now - self._started
        finished = done >= total
        if self._terminal:
            self._write(f"\r{self._prefix}: {bar_text(stage, done, total, elapsed)}" + ("\n" if finished else " "))
        elif finished:
            self._write(f"{self._prefix}: {stage} ... {elapsed:.1f} s\n")
        if finished:
            self._stage = None


class _TqdmBars:
    """One tqdm bar per stage."""

    def __init__(self, tqdm: Any) -> None:
        self._tqdm = tqdm
        self._bar: Any = None
        self._stage: str | None = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self._stage:
            if self._bar is not None:
                self._bar.close()
            self._bar = self._tqdm(total=total, desc=stage, leave=False)
            self._stage = stage
        self._bar.update(done - self._bar.n)
        if done >= total:
            self._bar.close()
            self._bar, self._stage = None, None


def reporter_for(progress: Any) -> ProgressCallback | None:
    """``embed``'s ``progress`` argument as a callback, or None (False / None)."""
    if progress is None or progress is False:
        return None
    if progress is True:
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            return TextBar()
        return _TqdmBars(tqdm)
    if callable(progress):
        return progress  # type: ignore[no-any-return]
    raise TypeError(f"progress must be None, True, False or a callable(stage, done, total), "
                    f"not {type(progress).__name__}")
