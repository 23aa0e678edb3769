"""Fits in forked children: the child must rebuild its worker pool (the
parent's worker threads do not survive fork) and must not repeat the
parent's unseeded random stream."""

import multiprocessing
import os
import signal

import numpy as np
import pytest

import graphripple

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork"),
    # Forking with live worker threads is exactly the case under test.
    pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning"),
]

N = 300
ROW_PTRS = np.arange(0, 3 * N + 1, 3, dtype=np.int64)
COLS = ((np.arange(3 * N) * 7919) % N).astype(np.int64)
COLS = np.sort(COLS.reshape(N, 3), axis=1).reshape(-1)
VALUES = np.ones(3 * N)


def _fit(seed):
    # Large enough to run on the worker pool rather than inline.
    return graphripple.fit_csr(ROW_PTRS, COLS, VALUES, N, 64, [1.0, 1.0, 1.0], seed=seed)


def _child_fit(queue, seed):
    signal.alarm(60)  # a hung child dies instead of blocking the suite
    queue.put(_fit(seed).tobytes())


@pytest.fixture(autouse=True)
def _pool_running():
    _fit(1)  # the pool and this thread's generator exist before forking


def test_multiprocessing_fork_child_fits_like_the_parent():
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    process = context.Process(target=_child_fit, args=(queue, 5))
    process.start()
    result = queue.get(timeout=60)
    process.join(timeout=60)
    if process.is_alive():
        process.kill()
    assert process.exitcode == 0
    assert result == _fit(5).tobytes()


def test_bare_fork_child_fits_and_draws_a_fresh_stream():
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: never return into pytest
        status = 1
        try:
            signal.alarm(60)
            os.close(read_end)
            seeded_ok = _fit(5).tobytes() == SEEDED
            unseeded = _fit(None).tobytes()
            os.write(write_end, bytes([seeded_ok]) + unseeded)
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    chunks = []
    while chunk := os.read(read_end, 1 << 16):
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    data = b"".join(chunks)
    assert data[0] == 1, "seeded fit in the child differs from the parent's"
    parent_unseeded = _fit(None).tobytes()
    assert data[1:] != parent_unseeded, "child repeated the parent's unseeded stream"


SEEDED = _fit(5).tobytes()
