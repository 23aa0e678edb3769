"""Memory bandwidth by the STREAM triad a = b + s·c, from several Python threads.

NumPy runs each operation on one thread and releases the interpreter lock
while it does, so each thread works on its own slice of the three arrays.
The triad is done in cache-sized blocks (c·s into a small scratch buffer,
then b + scratch into a), so memory sees just the three streams; bytes are
counted the STREAM way: 3 arrays × 8 bytes per element per pass.
"""

import threading
import time

import numpy as np

BLOCK = 1 << 15  # 256 KiB of float64: the scratch buffer stays in cache


def _triad(a, b, c, s, scratch):
    for lo in range(0, a.size, BLOCK):
        hi = min(lo + BLOCK, a.size)
        t = scratch[: hi - lo]
        np.multiply(c[lo:hi], s, out=t)
        np.add(b[lo:hi], t, out=a[lo:hi])


def triad_bandwidth(elements, threads, repeats=5):
    """Best GB/s over `repeats` passes of the triad on arrays of `elements` float64."""
    a = np.zeros(elements)
    b = np.full(elements, 1.0)
    c = np.full(elements, 2.0)
    bounds = np.linspace(0, elements, threads + 1).astype(int)
    slices = [slice(bounds[i], bounds[i + 1]) for i in range(threads)]
    scratch = [np.empty(BLOCK) for _ in range(threads)]
    best = float("inf")
    for _ in range(repeats):
        barrier = threading.Barrier(threads + 1)

        def work(i):
            barrier.wait()
            _triad(a[slices[i]], b[slices[i]], c[slices[i]], 3.0, scratch[i])
            barrier.wait()

        workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        start = time.perf_counter()
        barrier.wait()
        best = min(best, time.perf_counter() - start)
        for w in workers:
            w.join()
    assert a[0] == 7.0 and a[-1] == 7.0
    return 3 * 8 * elements / best / 1e9
