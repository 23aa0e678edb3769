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

``write_all`` writes a large buffer straight from its memory while a
helper thread already sends the written part to the disk, so that the
fsync before the rename finds little left to do.

``reserve_space`` allocates a file's blocks before it is memory-mapped: a
write through a mapping into a full disk kills the process with SIGBUS,
while a reservation fails up front with an ordinary ``OSError``.
``create_npy_memmap`` combines the two for ``.npy`` results filled in
place. ``check_output_path`` checks an output before anything is read, so
that a run never spends a fit on an output it cannot write or that would
destroy one of its own inputs.

Errors name the path the caller gave, never the temporary name.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import shutil
import signal
import stat
import threading
from pathlib import Path
from types import FrameType
from typing import IO, Any, Iterable, Iterator, Union

import numpy as np
from numpy.typing import DTypeLike

__all__ = [
    "EXIT_TERMINATED",
    "Terminated",
    "atomic_directory",
    "atomic_path",
    "check_output_path",
    "create_npy_memmap",
    "reserve_space",
    "same_file",
    "terminate_on_sigterm",
    "write_all",
]

PathLike = Union[str, "os.PathLike[str]"]

# The exit status of a process ended by SIGTERM, as shells report it.
EXIT_TERMINATED = 128 + signal.SIGTERM

# Temporary path -> the target the caller named, for error messages.
_TARGETS: dict[str, str] = {}
_TARGETS_LOCK = threading.Lock()


class Terminated(SystemExit):
    """Raised in the main thread on SIGTERM (see ``terminate_on_sigterm``).

    A ``SystemExit`` with status 143, so that every ``finally`` and cleanup
    runs and an uncaught one ends the process with the status a shell shows
    for SIGTERM.
    """

    def __init__(self) -> None:
        super().__init__(EXIT_TERMINATED)


# ---------------------------------------------------------------------------
# Signals


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


def _sigterm_is_default() -> bool:
    return (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGTERM) == signal.SIG_DFL)


# ---------------------------------------------------------------------------
# Atomic writes


# OSError subclasses that stand for a plain failed write or open.
_RENAMED = (PermissionError, FileNotFoundError, FileExistsError, IsADirectoryError, NotADirectoryError)


def _user_name(temporary: PathLike) -> str:
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
    """
    with _cleaned_up_on_sigterm(_atomic_path(Path(path))) as temporary:
        yield temporary


@contextlib.contextmanager
def _cleaned_up_on_sigterm(inner: contextlib.AbstractContextManager[Path]) -> Iterator[Path]:
    """``inner``, run under ``terminate_on_sigterm`` when called in the main
    thread while SIGTERM has its default action, so that SIGTERM removes the
    temporary as any other exception does."""
    with contextlib.ExitStack() as stack:
        if _sigterm_is_default():
            stack.enter_context(terminate_on_sigterm())
        yield stack.enter_context(inner)


@contextlib.contextmanager
def _atomic_path(target: Path) -> Iterator[Path]:
    try:
        mode: int | None = stat.S_IMODE(os.stat(target).st_mode)
    except (FileNotFoundError, NotADirectoryError):
        mode = None
    if mode is not None:
        _drop_cached_pages(target)
    # Replacing a file: the new data is never readable by more people than
    # the old, and the owner can write it until it is complete.
    temporary, descriptor = _create_temporary(target, 0o600 if mode is not None else 0o666)
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


def _create_temporary(target: Path, mode: int = 0o666) -> tuple[Path, int]:
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


# Buffers at least this large are written in chunks of _WRITE_CHUNK bytes
# while a helper thread flushes the chunks already written; smaller ones in
# one go.
_OVERLAP_MIN = 1 << 26
_WRITE_CHUNK = 1 << 25


def write_all(descriptor: int, data: Any) -> None:
    """Write every byte of ``data`` (any C-contiguous buffer) at ``descriptor``'s position.

    The bytes go from the buffer's own memory to the system, with no copy
    in between. A large buffer goes in chunks, and a helper thread flushes
    (``fdatasync``, on its own duplicate of the descriptor) what has been
    written while the next chunk is copied in: the copy and the disk write
    then overlap. On return every byte has been flushed, and the ``fsync``
    that ``atomic_path`` does before its rename, which stays the guarantee
    (of the metadata too), finds little left to write. A failed
    write or flush (a full disk, an I/O error) is an ``OSError`` raised
    here; the system reports a failed flush only once, so the helper's is
    never lost.
    """
    view = memoryview(data).cast("B")
    if len(view) < _OVERLAP_MIN:
        _write_view(descriptor, view)
        return
    flusher = _Flusher(descriptor)
    try:
        for start in range(0, len(view), _WRITE_CHUNK):
            _write_view(descriptor, view[start:start + _WRITE_CHUNK])
            flusher.check()
            flusher.wake()
    except BaseException:
        flusher.stop(finish=False)  # a failed file is not worth flushing
        raise
    flusher.stop(finish=True)
    flusher.check()


def _write_view(descriptor: int, view: memoryview) -> None:
    while len(view):
        written = os.write(descriptor, view)
        if written <= 0:  # a regular file raises instead; never loop forever
            raise OSError(errno.EIO, "the system accepted no bytes")
        view = view[written:]


class _Flusher:
    """A thread flushing a file to the disk each time it is woken, until stopped.

    ``wake`` after each write; the flush that follows covers every byte
    written before it, so flushes never queue up behind a fast writer.
    """

    def __init__(self, descriptor: int) -> None:
        # Its own descriptor: the caller may close its one at any time.
        self._descriptor = os.dup(descriptor)
        self._wanted = threading.Event()
        self._stopping = False
        self._finish = False
        self._error: Exception | None = None
        self._thread = threading.Thread(target=self._run, name="graphripple-flush", daemon=True)
        try:
            self._thread.start()
        except BaseException:
            os.close(self._descriptor)
            raise

    def _run(self) -> None:
        # fdatasync skips metadata the data does not need; not every system has it.
        flush = getattr(os, "fdatasync", None) or os.fsync
        try:
            while True:
                self._wanted.wait()
                self._wanted.clear()
                if self._stopping and not self._finish:
                    return
                flush(self._descriptor)
                if self._stopping:
                    return
        except Exception as error:  # raised in the writing thread by check()
            self._error = error
        finally:
            os.close(self._descriptor)

    def wake(self) -> None:
        self._wanted.set()

    def check(self) -> None:
        """Raise the error of a failed flush."""
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def stop(self, finish: bool) -> None:
        """End the thread (which closes its descriptor) after the current flush,
        and with ``finish`` after one more that covers every byte written."""
        self._finish = finish
        self._stopping = True
        self._wanted.set()
        self._thread.join()


def reserve_space(file: int | IO[Any], nbytes: int, path: PathLike | None = None) -> None:
    """Allocate ``nbytes`` of disk for ``file`` (a descriptor or open file) now.

    Uses ``posix_fallocate`` where the system has it, so that a full disk is
    an ``OSError`` here rather than a SIGBUS when a memory mapping of the
    file is written. The error names ``path``, or the target of the
    ``atomic_path`` temporary that ``file`` is, or the file's own name.
    Where allocation is unsupported the file is only extended.
    """
    descriptor = file if isinstance(file, int) else file.fileno()
    if path is None:
        name = getattr(file, "name", None)
        path = _user_name(name) if isinstance(name, str) else None
    try:
        fallocate = getattr(os, "posix_fallocate", None)
        if fallocate is None or nbytes == 0:
            os.ftruncate(descriptor, nbytes)
            return
        try:
            fallocate(descriptor, 0, nbytes)
        except OSError as error:
            if error.errno not in (errno.EINVAL, errno.EOPNOTSUPP, errno.ENOSYS):
                raise
            os.ftruncate(descriptor, nbytes)
    except OSError as error:
        if error.errno in (errno.ENOSPC, errno.EDQUOT, errno.EFBIG):
            raise OSError(error.errno, f"{os.strerror(error.errno)} (needed {nbytes} bytes)",
                          None if path is None else os.fspath(path)) from None
        raise OSError(error.errno, error.strerror, None if path is None else os.fspath(path)) from None


@contextlib.contextmanager
def create_npy_memmap(
    path: PathLike, shape: tuple[int, ...], dtype: DTypeLike = np.float32, *, fortran_order: bool = False,
    trailer: bytes = b"",
) -> Iterator[np.memmap[Any, Any]]:
    """A writable memory-mapped ``.npy`` that becomes ``path`` when the block succeeds.

    The file is created under ``atomic_path``, its header written and its
    whole size reserved (``reserve_space``) before it is mapped, so a full
    disk fails here with one ``OSError`` naming ``path``. The block fills the
    array; it is then flushed, ``trailer`` is written after the array data,
    and the file renamed into place. Other processes may open the file in
    the block through the map's ``filename`` (the temporary name).
    """
    target = Path(path)
    array_type = np.dtype(dtype)
    shape = tuple(int(s) for s in shape)
    header = {"descr": np.lib.format.dtype_to_descr(array_type), "fortran_order": bool(fortran_order),
              "shape": shape}
    with atomic_path(target) as temporary:
        with open(temporary, "r+b") as handle:
            np.lib.format.write_array_header_1_0(handle, header)
            offset = handle.tell()
            nbytes = array_type.itemsize * int(np.prod(shape, dtype=np.int64))
            reserve_space(handle, offset + nbytes + len(trailer), target)
            if trailer:
                handle.seek(offset + nbytes)
                handle.write(trailer)
        matrix: np.memmap[Any, Any] = np.memmap(temporary, dtype=array_type, mode="r+", offset=offset,
                                                shape=shape, order="F" if fortran_order else "C")
        try:
            yield matrix
            matrix.flush()
        finally:
            del matrix


# ---------------------------------------------------------------------------
# Output checks


def same_file(a: PathLike, b: PathLike) -> bool:
    """True when ``a`` and ``b`` are one file: the same path, a hard link or a symbolic link."""
    try:
        first, second = os.stat(a), os.stat(b)
    except (OSError, ValueError):
        return False
    return (first.st_dev, first.st_ino) == (second.st_dev, second.st_ino)


def check_output_path(path: PathLike, inputs: Iterable[PathLike] = (), fmt: str | None = None) -> Path:
    """Check that ``path`` can be written before any work is done; returns it as a Path.

    Its folder must exist and take new files (tried by creating and removing
    a temporary file there), it must not be a folder, and it must not be
    any of ``inputs`` (the same path, a hard link or a symbolic link to
    it). With ``fmt``, its suffix must not name another embedding format.
    Raises ``ValueError`` (or ``OSError`` for a folder that cannot be
    written), naming ``path``.
    """
    target = Path(path)
    name = os.fspath(path)
    if fmt is not None:
        from .embedding_files import format_for

        format_for(target, fmt)
    for source in inputs:
        if same_file(target, source):
            raise ValueError(f"{name}: the output is the input file {os.fspath(source)!r}; choose another name")
    folder = target.parent
    if not folder.is_dir():
        raise ValueError(f"{name}: the folder {os.fspath(folder)!r} does not exist")
    if target.is_dir():
        raise ValueError(f"{name}: is a folder")
    try:
        temporary, descriptor = _create_temporary(target)
    except OSError as error:
        raise OSError(error.errno, f"cannot write in the folder {os.fspath(folder)!r}: {error.strerror}",
                      name) from None
    os.close(descriptor)
    with contextlib.suppress(OSError):
        os.unlink(temporary)
    return target
