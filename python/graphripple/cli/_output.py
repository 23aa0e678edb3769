"""Checks of an output before a run starts: a run never spends a fit on an
output it cannot write, or on one that would destroy one of its own inputs."""

from __future__ import annotations

import contextlib
import os
from pathlib import Path
from typing import Iterable

from ..io._atomic import PathLike, create_temporary, is_stream, same_file
from ..io._embedding_files import format_for

__all__ = ["check_output_path"]


def check_output_path(path: PathLike, inputs: Iterable[PathLike] = (), fmt: str | None = None) -> Path:
    """Check that ``path`` can be written before any work is done; returns it as a Path.

    Its folder must exist and take new files (tried by creating and removing
    a temporary file there), it must not be a folder, and it must not be
    any of ``inputs`` (the same path, a hard link or a symbolic link to
    it). With ``fmt``, its suffix must not name another embedding format.
    Raises ``ValueError`` (or ``OSError`` for a folder that cannot be
    written), naming ``path``. A stream (a FIFO, a device, standard output)
    is written where it is, so only the input check applies to it; a
    symbolic link is checked where it ends, where the file is replaced.
    """
    target = Path(path)
    name = os.fspath(path)
    if fmt is not None:
        format_for(target, fmt)
    for source in inputs:
        if same_file(target, source):
            raise ValueError(f"{name}: the output is the input file {os.fspath(source)!r}; choose another name")
    if is_stream(target):
        return target
    if target.is_symlink():
        target = Path(os.path.realpath(target))
    folder = target.parent
    if not folder.is_dir():
        raise ValueError(f"{name}: the folder {os.fspath(folder)!r} does not exist")
    if target.is_dir():
        raise ValueError(f"{name}: is a folder")
    try:
        temporary, descriptor = create_temporary(target)
    except OSError as error:
        raise OSError(error.errno, f"cannot write in the folder {os.fspath(folder)!r}: {error.strerror}",
                      name) from None
    os.close(descriptor)
    with contextlib.suppress(OSError):
        os.unlink(temporary)
    return target
