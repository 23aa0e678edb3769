"""Progress of an embedding: ``embed(..., progress=...)`` and the command line's display.

``embed`` reports ``progress(stage, done, total)`` with ``stage`` one of
``STAGES``: "graph" (the conversion to CSR), "fit" (the engine: each
starting block, propagation and block written) and "write" (flushing an
``out=`` target). Within a stage ``done`` never decreases and the stage's
last report has ``done == total``.

``progress=True`` draws the reports: with tqdm, one tqdm bar per stage;
without it, ``TextBar`` on stderr (a bar redrawn in place on a terminal,
one line per finished stage otherwise).

``Progress`` is the one text display: stages that begin and end, each
drawn as a bar once it reports how far it has come. The command line
drives it stage by stage (and from a background thread, so that a long
native call still shows time passing); ``TextBar`` drives it from the
reports of ``embed``.
"""

from __future__ import annotations

import contextlib
import sys
import threading
import time
from typing import Any, Callable, Iterator, TextIO

__all__ = ["STAGES", "Progress", "ProgressCallback", "TextBar", "bar_text", "isatty", "reporter_for"]

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


def isatty(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


class Progress:
    """Stage-by-stage progress on stderr, shown once a run passes ``delay`` seconds.

    On a terminal (``terminal=True``) the current stage is one line redrawn
    in place from a background thread (so a long native call still shows
    time passing): a bar with its percentage and the time left once the
    stage reports how far it is (``update``), its elapsed time before.
    Otherwise each stage is one line, written when it ends. Stages that
    ended before the display started are printed when it starts. Disabled,
    it writes nothing.
    """

    def __init__(
        self,
        stream: TextIO,
        enabled: bool,
        *,
        terminal: bool = True,
        delay: float = 1.0,
        interval: float | None = 0.25,
        clock: Callable[[], float] = time.monotonic,
        prefix: str = "graphripple",
    ) -> None:
        self._stream = stream
        self._prefix = prefix
        self.enabled = enabled
        self._terminal = terminal
        self._delay = delay
        self._clock = clock
        self._started = clock()
        self._done: list[tuple[str, float]] = []
        self._printed = 0
        self._current: tuple[str, float] | None = None
        self._fraction: tuple[int, int] | None = None
        self._shown = False
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        if enabled and terminal and interval is not None:
            self._thread = threading.Thread(target=self._run, args=(interval,), daemon=True)
            self._thread.start()

    def _run(self, interval: float) -> None:
        while not self._stop.wait(interval):
            self.tick()

    def _write(self, text: str) -> None:
        # A closed or missing stream (sys.stderr is None under pythonw) shows nothing.
        with contextlib.suppress(OSError, ValueError, AttributeError):
            self._stream.write(text)
            self._stream.flush()

    def _passed_delay(self, now: float) -> bool:
        if not self._shown and now - self._started >= self._delay:
            self._shown = True
        return self._shown

    def tick(self) -> None:
        """Redraw the current stage (called by the thread; public for tests)."""
        if not self.enabled:
            return
        with self._lock:
            now = self._clock()
            if not self._passed_delay(now):
                return
            self._flush_done()
            if self._current is not None and self._terminal:
                name, start = self._current
                if self._fraction is not None:
                    done, total = self._fraction
                    self._write(f"\r{self._prefix}: {bar_text(name, done, total, now - start)} ")
                else:
                    self._write(f"\r{self._prefix}: {name} ... {now - start:.1f} s ")

    def _flush_done(self) -> None:
        while self._printed < len(self._done):
            name, seconds = self._done[self._printed]
            redraw = self._terminal and self._printed == len(self._done) - 1 and self._current is None
            prefix = "\r" if redraw else ""
            self._write(f"{prefix}{self._prefix}: {name} ... {seconds:.1f} s\n")
            self._printed += 1

    @contextlib.contextmanager
    def stage(self, name: str) -> Iterator[None]:
        """Time the block as stage ``name``."""
        self.begin(name)
        try:
            yield
        finally:
            self.end()

    def begin(self, name: str) -> None:
        """Start stage ``name`` (``stage`` for a block)."""
        with self._lock:
            self._current = (name, self._clock())
            self._fraction = None

    def end(self) -> None:
        """End the current stage: its line is written once the display has started."""
        with self._lock:
            assert self._current is not None
            stage_name, start = self._current
            now = self._clock()
            self._done.append((stage_name, now - start))
            self._current = None
            self._fraction = None
            if self.enabled and self._passed_delay(now):
                self._flush_done()

    def update(self, done: int, total: int) -> None:
        """How far the current stage has come (drawn at the next tick)."""
        with self._lock:
            self._fraction = (done, total)

    def reporter(self, stage: str = "fit") -> Callable[[str, int, int], None]:
        """A ``progress`` callback for ``graphripple.embed`` feeding ``update`` with its ``stage`` reports."""
        def report(reported: str, done: int, total: int) -> None:
            if reported == stage:
                self.update(done, total)
        return report

    def note(self, text: str) -> None:
        """A line shown at once when progress is enabled (such as a memory estimate)."""
        if self.enabled:
            with self._lock:
                self._write(f"{self._prefix}: {text}\n")

    def close(self, summary: str | None = None) -> None:
        """Stop the display; ``summary`` is printed when anything was shown."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self.enabled and self._shown and summary:
            with self._lock:
                self._write(f"{self._prefix}: {summary} in {self._clock() - self._started:.1f} s\n")


class TextBar:
    """Draws ``progress(stage, done, total)`` reports with ``Progress``.

    On a terminal the current stage is one line redrawn in place (a bar
    with its percentage and the time left); otherwise each stage is one
    line, written when it ends. A stage ends at ``done == total`` or when
    another one starts.
    """

    def __init__(self, stream: TextIO | None = None, *, terminal: bool | None = None, prefix: str = "graphripple",
                 clock: Callable[[], float] = time.monotonic) -> None:
        stream = stream if stream is not None else sys.stderr
        self._display = Progress(stream, True, terminal=isatty(stream) if terminal is None else terminal,
                                 delay=0.0, interval=None, clock=clock, prefix=prefix)
        self._stage: str | None = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self._stage:
            if self._stage is not None:
                self._display.end()
            self._display.begin(stage)
            self._stage = stage
        self._display.update(done, total)
        self._display.tick()
        if done >= total:
            self._display.end()
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
        if sys.stderr is None:  # no stream to draw on (pythonw, a detached process)
            return None
        try:
            from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            return TextBar()
        return _TqdmBars(tqdm)
    if callable(progress):
        return progress  # type: ignore[no-any-return]
    raise TypeError(f"progress must be None, True, False or a callable(stage, done, total), "
                    f"not {type(progress).__name__}")
