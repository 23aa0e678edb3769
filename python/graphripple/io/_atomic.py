"""Writing files so that a failure never leaves a partial or wrong one.

Every file the package writes goes through ``atomic_path``: it is written
under a hidden temporary name beside the target (``.NAME.<hex>.part``, in
the same folder so that the final rename is atomic), flushed to the disk,
and renamed over the target only when complete. On any failure, an
exception, Ctrl-C, or SIGTERM (turned into an exception by
``terminate_on_sigterm``), the temporary file is removed and the target is
left as it was. A replaced file keeps its permission mode.

``atomic_directory`` does the same for a folder (a zarr store): it is
filled under a temporary name and put in place of the target only when
complete, an old folder there being moved aside and removed after.

Errors name the path the caller gave, never the temporary name.
"""

from __future__ import annotations

import contextlib
import os
import re
import secrets
import shutil
import stat
import threading
from pathlib import Path
from typing import Iterator, Union

from .._signals import sigterm_is_default, terminate_on_sigterm

__all__ = ["PathLike", "atomic_directory", "atomic_path", "create_temporary", "is_stream", "same_file", "user_name"]

PathLike = Union[str, "os.PathLike[str]"]

# Temporary path -> the target the caller named, for error messages.
_TARGETS: dict[str, str] = {}
_TARGETS_LOCK = threading.Lock()


# OSError subclasses that stand for a plain failed write or open.
_RENAMED = (PermissionError, FileNotFoundError, FileExistsError, IsADirectoryError, NotADirectoryError)


def user_name(temporary: PathLike) -> str:
    with _TARGETS_LOCK:
        return _TARGETS.get(os.fspath(temporary), os.fspath(temporary))


def _renamed_error(error: OSError, temporary: Path, target: Path) -> OSError:
    """``error`` naming ``target`` where it named the temporary file or nothing."""
    if error.filename not in (None, os.fspath(temporary)) or type(error) not in (OSError, *_RENAMED):
        return error
    if error.errno is None:
        # Short writes (numpy's tofile) report no errno: keep their text.
        renamed = OSError(None, str(error), os.fspath(target))
    else:
        renamed = OSError(error.errno, error.strerror or os.strerror(error.errno), os.fspath(target))
    renamed.__cause__ = error.__cause__
    return renamed


@contextlib.contextmanager
def atomic_path(path: PathLike) -> Iterator[Path]:
    """A temporary path beside ``path`` that becomes ``path`` when the block succeeds.

    The temporary file is created empty, with the mode of the file it will
    replace (or the usual mode of a new file, unlike ``mkstemp``'s 0600).
    After the block it is fsynced and renamed over ``path``. On any
    exception (KeyboardInterrupt and SIGTERM included) it is removed and
    ``path`` is left as it was. An ``OSError`` that named the temporary file,
    or no file, names ``path`` instead.

    Called in the main thread while SIGTERM has its default action, the
    block runs under ``terminate_on_sigterm`` so that SIGTERM cleans up too.

    A symbolic link is followed: the file it ends at is replaced and the
    link stays. A stream (``is_stream``: a FIFO, a device, standard output)
    is never renamed over; the block writes to it directly.
    """
    with _cleaned_up_on_sigterm(_atomic_path(Path(path))) as temporary:
        yield temporary


@contextlib.contextmanager
def _cleaned_up_on_sigterm(inner: contextlib.AbstractContextManager[Path]) -> Iterator[Path]:
    """``inner``, run under ``terminate_on_sigterm`` when called in the main
    thread while SIGTERM has its default action, so that SIGTERM removes the
    temporary as any other exception does."""
    with contextlib.ExitStack() as stack:
        if sigterm_is_default():
            stack.enter_context(terminate_on_sigterm())
        yield stack.enter_context(inner)


_DESCRIPTOR_LINK = re.compile(r"/(proc/(self|\d+)|dev)/fd/\d+")


def is_stream(path: PathLike) -> bool:
    """True when ``path`` names something written as a stream rather than a file to replace.

    That is an existing FIFO, character device or socket (``/dev/null``, a
    pipe made with ``mkfifo``), or a link to an open descriptor
    (``/dev/stdout``, ``/proc/self/fd/1``), whatever that descriptor is.
    """
    name = os.fspath(path)
    for _ in range(40):  # the system's own limit on links in a row
        if not os.path.islink(name):
            break
        if _DESCRIPTOR_LINK.fullmatch(name):
            return True
        name = os.path.join(os.path.dirname(name), os.readlink(name))
    if _DESCRIPTOR_LINK.fullmatch(name):
        return True
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def _followed(target: Path) -> Path:
    """The file a symbolic link ends at, which the write replaces (the link stays); ``target`` otherwise."""
    return Path(os.path.realpath(target)) if target.is_symlink() else target


@contextlib.contextmanager
def _atomic_path(target: Path) -> Iterator[Path]:
    if is_stream(target):
        # Written where it is, in one pass: a stream cannot be renamed over
        # (that would put a plain file in place of a device or a pipe).
        yield target
        return
    target = _followed(target)
    try:
        mode: int | None = stat.S_IMODE(os.stat(target).st_mode)
    except (FileNotFoundError, NotADirectoryError):
        mode = None
    if mode is not None:
        _drop_cached_pages(target)
    # Replacing a file: the new data is never readable by more people than
    # the old, and the owner can write it until it is complete.
    temporary, descriptor = create_temporary(target, 0o600 if mode is not None else 0o666)
    os.close(descriptor)
    key = os.fspath(temporary)
    with _TARGETS_LOCK:
        _TARGETS[key] = os.fspath(target)
    try:
        if mode is not None:
            os.chmod(temporary, mode | stat.S_IRUSR | stat.S_IWUSR)
        yield temporary
        try:
            descriptor = os.open(temporary, os.O_RDWR)
        except PermissionError:
            descriptor = os.open(temporary, os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)
        if mode is not None:
            os.chmod(temporary, mode)
        os.replace(temporary, target)
        _sync_folder(target.parent)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError):
            renamed = _renamed_error(error, temporary, target)
            if renamed is not error:
                raise renamed from None
        raise
    finally:
        with _TARGETS_LOCK:
            _TARGETS.pop(key, None)


# Smaller replaced files keep their cached pages: too few to matter.
_DROP_CACHE_MIN = 1 << 26


def _drop_cached_pages(target: Path) -> None:
    """Drop the cached pages of the file that the rename will delete.

    The rename frees them anyway; freeing them before the new file is
    written saves that work at the end and lets the new file's pages reuse
    their memory. A file that outlives the rename (a link to it elsewhere,
    or ``target`` being a symbolic link) keeps them. Only speed is at stake:
    every failure is ignored.
    """
    advise = getattr(os, "posix_fadvise", None)
    if advise is None:
        return
    with contextlib.suppress(OSError):
        info = os.lstat(target)
        if not stat.S_ISREG(info.st_mode) or info.st_nlink != 1 or info.st_size < _DROP_CACHE_MIN:
            return
        descriptor = os.open(target, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_NONBLOCK", 0))
        try:
            advise(descriptor, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(descriptor)


def create_temporary(target: Path, mode: int = 0o666) -> tuple[Path, int]:
    while True:
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
        try:
            return temporary, os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, mode)
        except FileExistsError:
            continue
        except OSError as error:
            raise _renamed_error(error, temporary, target) from None


@contextlib.contextmanager
def atomic_directory(path: PathLike) -> Iterator[Path]:
    """A new empty folder beside ``path`` that takes its place when the block succeeds.

    The folder is ``.NAME.<hex>.part`` in the folder of ``path``. After the
    block, whatever is at ``path`` (an old store) is moved aside under a
    temporary name, the new folder renamed to ``path``, and the old one
    removed; if that rename fails the old one is moved back. On any
    exception (KeyboardInterrupt and SIGTERM included, as in
    ``atomic_path``) the new folder is removed and ``path`` is left as it
    was. An ``OSError`` that named the temporary folder names ``path``.
    """
    with _cleaned_up_on_sigterm(_atomic_directory(Path(path))) as temporary:
        yield temporary


@contextlib.contextmanager
def _atomic_directory(target: Path) -> Iterator[Path]:
    temporary = _create_temporary_folder(target)
    try:
        yield temporary
        aside = None
        if os.path.lexists(target):
            # A folder cannot be renamed over a non-empty one: the old one
            # (or a file or link) is first moved into a folder of its own.
            aside = _create_temporary_folder(target)
            try:
                os.replace(target, aside / target.name)
            except BaseException:
                _remove_tree(aside)
                raise
        try:
            os.replace(temporary, target)
        except BaseException:
            if aside is not None:
                os.replace(aside / target.name, target)
                _remove_tree(aside)
            raise
        _sync_folder(target.parent)
        if aside is not None:
            _remove_tree(aside)
    except BaseException as error:
        _remove_tree(temporary)
        if isinstance(error, OSError):
            renamed = _renamed_error(error, temporary, target)
            if renamed is not error:
                raise renamed from None
        raise


def _create_temporary_folder(target: Path) -> Path:
    while True:
        temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
        try:
            os.mkdir(temporary)
            return temporary
        except FileExistsError:
            continue
        except OSError as error:
            raise _renamed_error(error, temporary, target) from None


def _remove_tree(path: Path) -> None:
    """Remove a folder, or a file or link (never what a link points to); quietly."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            os.unlink(path)


def _sync_folder(folder: Path) -> None:
    """Make a rename in ``folder`` durable (where the system allows it)."""
    with contextlib.suppress(OSError):
        descriptor = os.open(folder if str(folder) else ".", os.O_RDONLY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)


def same_file(a: PathLike, b: PathLike) -> bool:
    """True when ``a`` and ``b`` are one file: the same path, a hard link or a symbolic link."""
    try:
        first, second = os.stat(a), os.stat(b)
    except (OSError, ValueError):
        return False
    return (first.st_dev, first.st_ino) == (second.st_dev, second.st_ino)
