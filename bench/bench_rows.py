"""Row partitions: a fit split by rows over the worker processes of a LocalCluster.

    python bench/bench_rows.py [--quick] [--nodes N] [--dim D] [--workers 2,4] [--graph banded]

On the preferential-attachment graph of bench_fit.py (1,000,000 nodes,
m = 5, ids shuffled, so the hubs are spread over every block: the worst
case for the exchange), or with --graph banded on a graph of the same size
whose nodes link to nodes with nearby ids (5 links each, to ids at most 40
above: an ordering with locality); weights [0, 0, 1, 1], dim 128, the
edges read by the workers from parquet shards (the edge list never passes
through the client):

- the local fit in a process of its own (1 thread, and 2): wall time and
  peak memory (VmHWM) above the loaded graph, and in all;
- for each worker count k (processes of 1 thread, k row blocks): wall time
  of graphripple.distributed.embed_rows until every block is done,
  rows and bytes exchanged per propagation, each worker's peak resident
  memory (VmHWM) against the single-process peak, and a byte comparison
  with the local fit;
- the same fit on k workers whose memory_limit is below the single-process
  peak (spilling and pausing off, the nanny ends a worker at 95 %).

On a shared 2-core machine the times are noisy upper bounds; k processes
share the 2 cores.
"""

import argparse
import json
import logging
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
WEIGHTS = [0.0, 0.0, 1.0, 1.0]
SEED = 42


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="100,000 nodes")
    p.add_argument("--nodes", type=int, help="nodes (default 1000000; 100000 with --quick)")
    p.add_argument("--dim", type=int, default=128, help="embedding width (default 128)")
    p.add_argument("--workers", default="2,4", help="worker process counts (default 2,4)")
    p.add_argument("--graph", choices=("power-law", "banded"), default="power-law", help="the graph (default power-law)")
    p.add_argument("--local-child", nargs=3, metavar=("SHARDS", "THREADS", "OUT"), help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    args.nodes = args.nodes or (100_000 if args.quick else 1_000_000)
    args.workers = [int(w) for w in args.workers.split(",")]
    return args


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def mib(b):
    return f"{b / 2**20:,.0f} MiB"


def read_edges(shards):
    import pyarrow.parquet as pq

    table = pq.read_table(shards)
    return (table["source"].to_numpy(), table["target"].to_numpy(), table["weight"].to_numpy())


def local_child(shards, threads, out):
    """Runs in its own process: the local fit's time and peak memory."""
    import graphripple

    src, dst, weights = read_edges(shards)
    n = int(max(src.max(), dst.max())) + 1
    graph = graphripple.to_csr(graphripple.Edges(src, dst, weights, num_nodes=n))
    del src, dst, weights
    loaded = status_bytes("VmHWM")
    start = time.perf_counter()
    result = graphripple.embed(graph, int(os.environ["BENCH_DIM"]), WEIGHTS, seed=SEED)
    wall = time.perf_counter() - start
    np.save(out, result)
    print(json.dumps({"wall": wall, "peak": status_bytes("VmHWM"), "above_graph": status_bytes("VmHWM") - loaded,
                      "threads": threads}))


def write_shards(folder, nodes, kind):
    import pandas as pd
    from bench_graphs import power_law_csr

    if kind == "banded":
        rng = np.random.default_rng(5)
        src = np.repeat(np.arange(nodes, dtype=np.int64), 5)
        cols = (src + rng.integers(1, 41, src.size)) % nodes
        values = rng.integers(1, 5, src.size).astype(np.float64)
    else:
        row_ptrs, cols, values = power_law_csr(nodes, 5)[:3]
        src = np.repeat(np.arange(nodes, dtype=np.int64), np.diff(row_ptrs))
    order = np.random.default_rng(7).permutation(src.size)  # edges in no particular order
    for j, part in enumerate(np.array_split(order, 8)):
        part = np.sort(part)
        pd.DataFrame({"source": src[part], "target": cols[part], "weight": values[part]}).to_parquet(
            os.path.join(folder, f"part-{j:02d}.parquet"))
    return src, cols


def exchanged_rows(src, dst, nodes, parts):
    """Rows received by all blocks together per propagation (undirected: both directions)."""
    from graphripple.distributed._rows import row_bounds

    bounds = row_bounds(nodes, parts)
    a = np.concatenate([src, dst])
    b = np.concatenate([dst, src])
    owner_a = np.searchsorted(bounds, a, side="right") - 1
    owner_b = np.searchsorted(bounds, b, side="right") - 1
    foreign = owner_a != owner_b
    return int(np.unique(owner_a[foreign] * nodes + b[foreign]).size)


def cluster_fit(shards, workers, dim, memory_limit=None):
    import dask
    import dask.dataframe as dd
    import distributed

    from graphripple.distributed import embed_rows

    settings = {"distributed.scheduler.allowed-failures": 0}
    if memory_limit is not None:
        settings.update({f"distributed.worker.memory.{k}": v
                         for k, v in {"target": False, "spill": False, "pause": False, "terminate": 0.95}.items()})
    with dask.config.set(settings), \
            distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                     dashboard_address=None, silence_logs=logging.CRITICAL,
                                     memory_limit=memory_limit or 0, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            distributed.Client(cluster) as client:
        client.run(lambda: __import__("graphripple.distributed._tasks"))
        baseline = client.run(lambda: status_bytes("VmHWM"))
        frame = dd.read_parquet(shards)
        start = time.perf_counter()
        result = embed_rows(frame, client, dim, WEIGHTS, seed=SEED, parts=workers)
        wall = time.perf_counter() - start
        peaks = client.run(lambda: status_bytes("VmHWM"))
        computed = result.compute()
    return wall, baseline, peaks, computed


def main():
    args = parse_args(sys.argv[1:])
    if args.local_child:
        local_child(args.local_child[0], int(args.local_child[1]), args.local_child[2])
        return
    with tempfile.TemporaryDirectory() as folder:
        shards = os.path.join(folder, "edges")
        os.mkdir(shards)
        src, dst = write_shards(shards, args.nodes, args.graph)
        print(f"{args.graph} graph: {args.nodes:,} nodes, {src.size:,} stored entries in 8 parquet shards; dim {args.dim}, "
              f"weights {WEIGHTS}")
        local = {}
        for threads in (1, 2):
            out = os.path.join(folder, f"local-{threads}.npy")
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads), BENCH_DIM=str(args.dim))
            line = subprocess.run([sys.executable, __file__, "--local-child", shards, str(threads), out],
                                  env=env, check=True, capture_output=True, text=True).stdout
            local[threads] = json.loads(line.strip().splitlines()[-1])
            print(f"local fit, {threads} thread(s): {local[threads]['wall']:.2f} s, peak {mib(local[threads]['peak'])} "
                  f"({mib(local[threads]['above_graph'])} above the loaded graph)")
        expected = np.load(os.path.join(folder, "local-1.npy"))
        single_peak = local[1]["peak"]
        for workers in args.workers:
            rows = exchanged_rows(src, dst, args.nodes, workers)
            wall, baseline, peaks, computed = cluster_fit(shards, workers, args.dim)
            same = computed.tobytes() == expected.tobytes()
            print(f"{workers} workers x 1 thread, {workers} row blocks: {wall:.2f} s "
                  f"({wall / local[1]['wall']:.2f}x the 1-thread local fit, {wall / local[2]['wall']:.2f}x the "
                  f"2-thread one); bytes equal: {same}")
            print(f"  exchanged per propagation: {rows:,} rows, {mib(rows * args.dim * 4)} "
                  f"({rows / workers:,.0f} rows per worker on average)")
            for address in sorted(peaks):
                print(f"  worker peak {mib(peaks[address])} ({peaks[address] / single_peak:.2f}x the single-process "
                      f"peak; {mib(peaks[address] - baseline[address])} above its idle size)")
        workers = max(args.workers)
        limit = int(0.8 * single_peak)
        try:
            wall, _, peaks, computed = cluster_fit(shards, workers, args.dim, memory_limit=limit)
            print(f"{workers} workers with memory_limit {mib(limit)} (0.8x the single-process peak): completed in "
                  f"{wall:.2f} s, largest worker peak {mib(max(peaks.values()))}, bytes equal: "
                  f"{computed.tobytes() == expected.tobytes()}")
        except Exception as error:  # the figure is the failure itself
            print(f"{workers} workers with memory_limit {mib(limit)}: failed: {type(error).__name__}: {error}")


if __name__ == "__main__":
    main()
