"""Writing files safely: atomic paths and folders, reserved space, output checks, SIGTERM."""

import contextlib
import errno
import io
import os
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from graphripple import _signals, io as embedding_files
from graphripple.cli._output import check_output_path
from graphripple.io import _atomic, _disk

from conftest import mounted_tmpfs


@pytest.fixture
def full_disk(tmp_path):
    """A 1 MiB file system: anything bigger does not fit."""
    with mounted_tmpfs(tmp_path / "disk", "size=1m") as folder:
        yield folder


@pytest.fixture
def read_only_folder(tmp_path):
    with mounted_tmpfs(tmp_path / "ro", "ro,size=1m") as folder:
        yield folder


WRITERS = {
    "memory-mapped .npy": lambda p: _disk.create_npy_memmap(p / "e.npy", (1000, 1000)).__enter__(),
    ".npz": lambda p: embedding_files.save(p / "e.npz", np.ones((1000, 1000))),
    "word2vec text": lambda p: embedding_files.save(p / "e.w2v", np.full((1000, 300), 1 / 3)),
    ".npy with labels": lambda p: embedding_files.save(p / "e.npy", np.ones((1000, 300)),
                                                       [f"n{i}" for i in range(1000)]),
}


@pytest.mark.parametrize("writer", WRITERS)
def test_a_full_disk_is_one_error_naming_the_target_and_leaves_nothing(full_disk, writer):
    with pytest.raises(OSError) as caught:
        WRITERS[writer](full_disk)
    assert caught.value.errno == errno.ENOSPC
    assert os.path.dirname(caught.value.filename) == str(full_disk)
    assert not os.path.basename(caught.value.filename).startswith(".")
    assert os.listdir(full_disk) == []


def test_reserving_space_that_is_not_there_names_the_target(tmp_path, monkeypatch):
    def no_space(fd, offset, length):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "posix_fallocate", no_space, raising=False)
    target = tmp_path / "e.npy"
    with pytest.raises(OSError, match="No space left") as caught:
        with _disk.create_npy_memmap(target, (10, 10)):
            raise AssertionError("the block must not run")
    assert caught.value.filename == str(target)
    assert os.listdir(tmp_path) == []


def test_memmap_round_trip_with_fortran_order_and_trailer(tmp_path):
    target = tmp_path / "e.npy"
    with _disk.create_npy_memmap(target, (3, 4), fortran_order=True, trailer=b"end\n") as matrix:
        assert os.path.basename(matrix.filename).endswith(".part")
        matrix[:] = np.arange(12).reshape(3, 4)
    assert np.load(target).tolist() == np.arange(12).reshape(3, 4).tolist()
    assert target.read_bytes().endswith(b"end\n")
    assert os.listdir(tmp_path) == ["e.npy"]


def _links(tmp_path):
    source = tmp_path / "edges.txt"
    source.write_text("0 1\n")
    os.link(source, tmp_path / "hard.txt")
    os.symlink(source, tmp_path / "soft.txt")
    (tmp_path / "other.txt").write_text("0 1\n")
    return source


@pytest.mark.parametrize("name,same", [("edges.txt", True), ("hard.txt", True), ("soft.txt", True),
                                       ("./edges.txt", True), ("other.txt", False), ("absent.txt", False)])
def test_same_file_sees_links(tmp_path, monkeypatch, name, same):
    source = _links(tmp_path)
    monkeypatch.chdir(tmp_path)
    assert _atomic.same_file(name, source) is same
    if name != "absent.txt":
        with pytest.raises(ValueError, match="the output is the input") if same else contextlib.nullcontext():
            check_output_path(name, inputs=[str(source)])
    assert source.read_text() == "0 1\n"


@pytest.mark.parametrize("path,fmt,words", [
    ("missing/e.npz", None, "does not exist"),
    ("folder", None, "is a folder"),
    ("e.parquet", "npy", "suffix .parquet names parquet"),
])
def test_check_output_path_refusals(tmp_path, path, fmt, words):
    (tmp_path / "folder").mkdir()
    with pytest.raises(ValueError, match=words):
        check_output_path(tmp_path / path, fmt=fmt)
    assert sorted(os.listdir(tmp_path)) == ["folder"]


def test_an_unwritable_folder_is_reported_under_the_users_name(read_only_folder):
    target = read_only_folder / "e.npz"
    with pytest.raises(OSError, match="cannot write in the folder") as caught:
        check_output_path(target)
    assert caught.value.filename == str(target)


def test_sigterm_handler_is_restored_and_a_custom_one_is_left_alone(tmp_path):
    def custom(signum, frame):
        pass

    previous = signal.signal(signal.SIGTERM, custom)
    try:
        with _signals.terminate_on_sigterm():
            assert signal.getsignal(signal.SIGTERM) is not custom
        assert signal.getsignal(signal.SIGTERM) is custom
        with _atomic.atomic_path(tmp_path / "x") as temporary:
            assert signal.getsignal(signal.SIGTERM) is custom
            temporary.write_text("x")
    finally:
        signal.signal(signal.SIGTERM, previous)


def test_atomic_path_works_outside_the_main_thread(tmp_path):
    errors = []

    def write():
        try:
            embedding_files.save(tmp_path / "e.npz", np.ones((2, 2)))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    thread = threading.Thread(target=write)
    thread.start()
    thread.join()
    assert errors == [] and os.listdir(tmp_path) == ["e.npz"]


WRITE_AND_WAIT = """
import sys, time
from graphripple.io._atomic import atomic_path
with atomic_path(sys.argv[1]) as temporary:
    with open(temporary, "wb") as handle:
        handle.write(b"x" * (1 << 20))
    print("ready", flush=True)
    time.sleep(60)
"""


@pytest.mark.parametrize("signum,status", [(signal.SIGTERM, 143), (signal.SIGINT, -signal.SIGINT)])
def test_a_signal_during_a_write_removes_the_temporary(tmp_path, signum, status):
    target = tmp_path / "e.bin"
    process = subprocess.Popen([sys.executable, "-c", WRITE_AND_WAIT, str(target)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert process.stdout.readline() == "ready\n"
    assert any(name.endswith(".part") for name in os.listdir(tmp_path))
    process.send_signal(signum)
    process.communicate(timeout=30)
    assert process.returncode == status
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("failure", [None, "in the block", "renaming the new folder"])
def test_atomic_directory_replaces_an_old_folder_or_leaves_it_intact(tmp_path, monkeypatch, failure):
    target = tmp_path / "e.zarr"
    (target / "c").mkdir(parents=True)
    (target / "c" / "old").write_text("old")
    real_replace = os.replace

    def failing_replace(source, destination):
        if os.fspath(destination) == os.fspath(target) and ".part" in os.fspath(source) \
                and os.path.exists(os.path.join(source, "new")):
            raise OSError(errno.EXDEV, os.strerror(errno.EXDEV), os.fspath(source))
        return real_replace(source, destination)

    if failure == "renaming the new folder":
        monkeypatch.setattr(os, "replace", failing_replace)
    with contextlib.ExitStack() as stack:
        raised = stack.enter_context(pytest.raises(OSError)) if failure is not None else None
        with _atomic.atomic_directory(target) as temporary:
            assert temporary.parent == tmp_path and temporary.name.startswith(".e.zarr.")
            (temporary / "new").write_text("new")
            if failure == "in the block":
                raise OSError(errno.EIO, "cannot write", os.fspath(temporary))
    # An error names the folder the caller gave, never the temporary one.
    assert raised is None or raised.value.filename == os.fspath(target)
    assert os.listdir(tmp_path) == ["e.zarr"]
    assert sorted(os.listdir(target)) == (["new"] if failure is None else ["c"])


# ---------------------------------------------------------------------------
# Large writes: chunks written while a helper thread flushes the earlier ones


@pytest.fixture
def small_chunks(monkeypatch):
    """Every write goes the chunked way, in chunks that end mid-row, and every
    replaced file drops its cached pages."""
    monkeypatch.setattr(_disk, "_OVERLAP_MIN", 0)
    monkeypatch.setattr(_disk, "_WRITE_CHUNK", 1000)
    monkeypatch.setattr(_atomic, "_DROP_CACHE_MIN", 0)


def _flush_threads():
    return [t for t in threading.enumerate() if t.name == "graphripple-flush"]


@pytest.mark.parametrize("shape", [(0, 4), (3, 0), (1, 1), (123, 45)])
@pytest.mark.parametrize("labels", [None, "text"])
@pytest.mark.parametrize("short_writes", [False, True])
def test_chunked_npy_bytes_are_numpys_and_load_back(tmp_path, monkeypatch, small_chunks, shape, labels,
                                                    short_writes):
    if short_writes:  # the system may take fewer bytes than offered
        real_write = os.write
        monkeypatch.setattr(os, "write", lambda descriptor, data: real_write(descriptor, data[:997]))
    matrix = np.random.default_rng(2).standard_normal(shape).astype(np.float32)
    nodes = None if labels is None else [f"node{i}" for i in range(shape[0])]
    target = tmp_path / "e.npy"
    target.write_bytes(b"an old result")
    embedding_files.save(target, matrix, nodes)
    expected = io.BytesIO()
    np.save(expected, matrix)
    data = target.read_bytes()
    assert data.startswith(expected.getvalue()) and len(data) == len(expected.getvalue()) + 51
    loaded, loaded_nodes = embedding_files.load(target)
    assert np.array_equal(loaded, matrix)
    assert loaded_nodes.tolist() == (list(range(shape[0])) if nodes is None else nodes)
    assert not _flush_threads()


def test_a_full_disk_during_a_chunked_write_names_the_target_and_leaves_nothing(full_disk, small_chunks):
    with pytest.raises(OSError) as caught:
        embedding_files.save(full_disk / "e.npy", np.ones((1000, 1000), np.float32))
    assert caught.value.errno == errno.ENOSPC and caught.value.filename == str(full_disk / "e.npy")
    assert os.listdir(full_disk) == []
    assert not _flush_threads()


@pytest.mark.parametrize("failure", ["flush", "write", "interrupt"])
def test_a_failed_flush_or_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, monkeypatch, small_chunks,
                                                                            failure):
    target = tmp_path / "e.npy"
    embedding_files.save(target, np.zeros((2, 2), np.float32))
    before = target.read_bytes()
    calls = []
    real_write = os.write

    def failing_flush(descriptor):
        raise OSError(errno.EIO, os.strerror(errno.EIO))

    def failing_write(descriptor, data):
        calls.append(len(data))
        if len(calls) == 5:
            if failure == "interrupt":
                raise KeyboardInterrupt
            raise OSError(errno.EIO, os.strerror(errno.EIO))
        return real_write(descriptor, data)

    if failure == "flush":
        # Reported once by the system, on the helper thread: it must still reach the caller.
        monkeypatch.setattr(os, "fdatasync", failing_flush)
        monkeypatch.setattr(os, "fsync", lambda descriptor: None)
    else:
        monkeypatch.setattr(os, "write", failing_write)
    with pytest.raises(KeyboardInterrupt if failure == "interrupt" else OSError) as caught:
        embedding_files.save(target, np.ones((100, 100), np.float32))
    if failure != "interrupt":
        assert caught.value.errno == errno.EIO and caught.value.filename == str(target)
    assert os.listdir(tmp_path) == ["e.npy"]
    assert target.read_bytes() == before
    assert not _flush_threads()
