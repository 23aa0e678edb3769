"""Time and peak memory of reading edge files (graphripple.io.read_edges).

    python bench/bench_read.py [--nodes 1000000] [--m 10] [--dir build/bench-read]

Writes a power-law edge list (bench_graphs: --nodes nodes, about --m edges
per node) as integer ids, integer ids with weights, gzipped ids and string
labels, then reads each file with each engine in a fresh process and prints
the read time and the growth of the peak resident size (VmHWM, Linux). The
files are kept in --dir for the next run. Needs pyarrow to write the files.
"""

from __future__ import annotations

import argparse
import gzip
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

_MEASURE = r"""
import sys, time
engine, path = sys.argv[1], sys.argv[2]
if engine == "numpy":
    sys.modules["pyarrow"] = None
import numpy
from graphripple.io import read_edges
def status(key):
    # VmHWM is this process's own peak (ru_maxrss may carry the parent's over exec).
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(key))
before = status("VmRSS:")
start = time.perf_counter()
edges = read_edges(path, engine=engine)
seconds = time.perf_counter() - start
peak = status("VmHWM:") - before
print(f"{seconds:.2f} {peak / 1024:.0f} {len(edges)}")
"""


def write_files(folder: Path, nodes: int, m: int) -> dict[str, Path]:
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as csv

    from bench_graphs import power_law_csr

    folder.mkdir(parents=True, exist_ok=True)
    files = {"ids": folder / "ids.txt", "ids+weight": folder / "weighted.tsv", "ids.gz": folder / "ids.txt.gz",
             "labels": folder / "labels.txt"}
    if all(path.exists() for path in files.values()):
        return files
    row_ptrs, cols, values = power_law_csr(nodes, m)
    rows = np.repeat(np.arange(nodes, dtype=np.int64), np.diff(row_ptrs))
    order = np.random.default_rng(2).permutation(rows.size)  # a file in no particular order
    src, dst, weight = pa.array(rows[order]), pa.array(cols[order]), pa.array(values[order])
    plain = csv.WriteOptions(include_header=False, delimiter=" ", quoting_style="none")
    csv.write_csv(pa.table({"s": src, "d": dst}), str(files["ids"]), plain)
    csv.write_csv(pa.table({"s": src, "d": dst, "w": weight}), str(files["ids+weight"]),
                  csv.WriteOptions(include_header=False, delimiter="\t", quoting_style="none"))
    with open(files["ids"], "rb") as source, gzip.open(files["ids.gz"], "wb", compresslevel=1) as target:
        shutil.copyfileobj(source, target, 1 << 24)
    labels = [pc.binary_join_element_wise("user_", pc.cast(column, pa.string()), "") for column in (src, dst)]
    csv.write_csv(pa.table({"s": labels[0], "d": labels[1]}), str(files["labels"]), plain)
    return files


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--m", type=int, default=10)
    parser.add_argument("--dir", type=Path, default=Path("build/bench-read"))
    parser.add_argument("--engines", default="pyarrow,numpy")
    args = parser.parse_args()
    files = write_files(args.dir, args.nodes, args.m)
    print(f"{'file':<12} {'MB':>6} {'engine':<8} {'edges':>10} {'read s':>7} {'peak MiB':>9}")
    for kind, path in files.items():
        size = os.path.getsize(path) / 1e6
        for engine in args.engines.split(","):
            result = subprocess.run([sys.executable, "-c", _MEASURE, engine, str(path)], capture_output=True,
                                    text=True)
            if result.returncode:
                print(f"{kind:<12} {size:6.0f} {engine:<8} failed: {result.stderr.strip().splitlines()[-1]}")
                continue
            seconds, peak, count = result.stdout.split()
            print(f"{kind:<12} {size:6.0f} {engine:<8} {count:>10} {seconds:>7} {peak:>9}")


if __name__ == "__main__":
    main()
