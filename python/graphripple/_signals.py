"""SIGTERM as an exception, so that cleanups run when a process is told to stop.

The default action of SIGTERM ends the process at once and skips every
``finally``; a temporary file would stay behind. ``terminate_on_sigterm``
turns it into ``Terminated`` (a ``SystemExit`` with the status a shell
shows for SIGTERM) for the length of a block. The command line wraps its
whole run in it; the atomic writers in ``graphripple.io`` enter it
themselves when nobody has set a handler.
"""

from __future__ import annotations

import contextlib
import signal
import threading
from types import FrameType
from typing import Iterator

__all__ = ["EXIT_TERMINATED", "Terminated", "terminate_on_sigterm", "sigterm_is_default"]

# The exit status of a process ended by SIGTERM, as shells report it.
EXIT_TERMINATED = 128 + signal.SIGTERM


class Terminated(SystemExit):
    """Raised in the main thread on SIGTERM (see ``terminate_on_sigterm``).

    A ``SystemExit`` with status 143, so that every ``finally`` and cleanup
    runs and an uncaught one ends the process with the status a shell shows
    for SIGTERM.
    """

    def __init__(self) -> None:
        super().__init__(EXIT_TERMINATED)


@contextlib.contextmanager
def terminate_on_sigterm() -> Iterator[None]:
    """Within the block, SIGTERM raises ``Terminated`` in the main thread.

    The default action of SIGTERM ends the process at once and skips every
    cleanup (temporary files stay behind). Further SIGTERMs while the first
    is being handled are ignored, so that they cannot cut a cleanup short.
    The previous handler is restored on exit. Outside the main thread (where
    handlers cannot be set) the block runs unchanged.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    raised = False

    def handler(signum: int, frame: FrameType | None) -> None:
        nonlocal raised
        if not raised:
            raised = True
            raise Terminated()

    previous = signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def sigterm_is_default() -> bool:
    return (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL)
