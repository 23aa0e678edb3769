"""Large writes to the disk: overlapped flushing, reserved space, mapped ``.npy`` files.

``write_all`` writes a large buffer straight from its memory while a
helper thread already sends the written part to the disk, so that the
fsync before the rename finds little left to do.

``reserve_space`` allocates a file's blocks before it is memory-mapped: a
write through a mapping into a full disk kills the process with SIGBUS,
while a reservation fails up front with an ordinary ``OSError``.
``create_npy_memmap`` combines the two for ``.npy`` results filled in
place, under ``atomic_path``.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import stat
import threading
from pathlib import Path
from typing import IO, Any, Iterator

import numpy as np
from numpy.typing import DTypeLike

from ._atomic import PathLike, atomic_path, is_stream, user_name

__all__ = ["StreamWriter", "create_npy_memmap", "reserve_space", "write_all", "writer_target"]


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
    # Only a regular file has pages to flush; a pipe or a device takes the bytes as they come.
    if len(view) < _OVERLAP_MIN or not stat.S_ISREG(os.fstat(descriptor).st_mode):
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
        path = user_name(name) if isinstance(name, str) else None
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
    if is_stream(target):
        raise ValueError(f"{os.fspath(path)}: a memory-mapped .npy needs a regular file, not a stream or device")
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


class StreamWriter(io.RawIOBase):
    """A binary writer for a stream (a pipe, a device, standard output) that never seeks.

    It counts what it has written, so that writers which ask where they are
    (zipfile, parquet) get the offset without the stream being asked: a
    pipe cannot answer, and a device such as /dev/null answers wrongly.
    """

    def __init__(self, path: PathLike) -> None:
        super().__init__()
        if not is_stream(path):  # a file is replaced through atomic_path, never truncated in place
            raise ValueError(f"{os.fspath(path)}: not a stream")
        self._file = open(path, "wb", buffering=0)
        self._position = 0

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return False

    def write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        _write_view(self._file.fileno(), view)
        self._position += len(view)
        return len(view)

    def tell(self) -> int:
        return self._position

    def seek(self, offset: int, whence: int = 0) -> int:
        raise OSError(errno.ESPIPE, "a stream cannot seek")

    def close(self) -> None:
        if not self.closed:
            self._file.close()
        super().close()


@contextlib.contextmanager
def writer_target(path: PathLike) -> Iterator[Any]:
    """What a library writer (zipfile, parquet) is given for ``path``: the path of a file, a
    ``StreamWriter`` on a stream."""
    if not is_stream(path):
        yield os.fspath(path)
        return
    with StreamWriter(path) as stream:
        yield stream
