"""Peak resident memory of one fit, measured in a process of its own.

    python bench_memory.py DIR DIM WEIGHTS

DIR holds row_ptrs.npy, col_indices.npy and values.npy; WEIGHTS is a comma
list. RAYON_NUM_THREADS is taken from the environment. Prints one JSON object:
the peak resident set (ru_maxrss) after loading the inputs and after the fit,
in bytes. The peak is read from /proc/self/status (VmHWM), which is the
ru_maxrss of this process alone: getrusage's ru_maxrss also keeps the peak
of the parent that forked it, which would hide the fit's own.
"""

import json
import os
import resource
import sys

import numpy as np


def max_rss_bytes():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # kilobytes on Linux


def main():
    folder, dim, weights = sys.argv[1], int(sys.argv[2]), [float(w) for w in sys.argv[3].split(",")]
    import graphripple

    row_ptrs = np.load(os.path.join(folder, "row_ptrs.npy"))
    col_indices = np.load(os.path.join(folder, "col_indices.npy"))
    values = np.load(os.path.join(folder, "values.npy"))
    n = row_ptrs.size - 1
    # Start the worker pool on a tiny graph so its threads count in the baseline.
    graphripple.fit_csr(np.array([0, 1, 2]), np.array([1, 0]), np.ones(2), 2, 4, [1.0, 1.0], seed=1)
    before = max_rss_bytes()
    result = graphripple.fit_csr(row_ptrs, col_indices, values, n, dim, weights, seed=42)
    after = max_rss_bytes()
    assert result.shape == (n, dim)
    print(json.dumps({"before": before, "after": after}))


if __name__ == "__main__":
    main()
