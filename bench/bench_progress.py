"""What progress reports cost: embed with and without a progress callback.

    python bench/bench_progress.py [--nodes 200000] [--degree 10] [--dim 64] [--rounds 7]

Fits the same random graph with progress=None and with a callback that
records every report, alternating the two (in turn first) so that both
see the same machine load, in one block and in blocks of 4 columns (many more reports);
prints the fastest time of each and the relative difference, and checks
that the bytes agree. Then the cost of one report, from a 50-node ring
fitted one column at a time (about 20,000 reports, each a step of a few
microseconds), where the reports are most of the work.
"""

import argparse
import time

import numpy as np

import graphripple


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--nodes", type=int, default=200_000)
    p.add_argument("--degree", type=int, default=10)
    p.add_argument("--dim", type=int, default=64)
    p.add_argument("--rounds", type=int, default=7)
    args = p.parse_args()
    rng = np.random.default_rng(0)
    n, m = args.nodes, args.nodes * args.degree
    graph = graphripple.to_csr(graphripple.Edges(rng.integers(0, n, m), rng.integers(0, n, m), num_nodes=n))
    weights = [0.0, 1.0, 1.0, 1.0]
    for blocks in (None, 4):
        reports = []
        times = {"off": [], "on": []}
        results = {}
        for round_ in range(args.rounds):
            for mode in (("off", "on") if round_ % 2 else ("on", "off")):
                out = np.empty((n, args.dim), np.float32)
                progress = (lambda stage, done, total: reports.append(done)) if mode == "on" else None
                start = time.perf_counter()
                graphripple.embed(graph, args.dim, weights, seed=1, out=out, block_columns=blocks, progress=progress)
                times[mode].append(time.perf_counter() - start)
                results[mode] = out
        assert results["on"].tobytes() == results["off"].tobytes()
        off, on = min(times["off"]), min(times["on"])
        print(f"blocks of {blocks or args.dim} columns: without progress {off:.3f} s, with {on:.3f} s "
              f"({(on / off - 1) * 100:+.2f} %), {len(reports) // args.rounds} reports per fit")
    ring = np.roll(np.eye(50), 1, axis=1)
    count = [0]

    def counter(stage, done, total):
        count[0] += 1
    best = {}
    for round_ in range(args.rounds):
        for mode in (("off", "on") if round_ % 2 else ("on", "off")):
            out = np.empty((50, 4000), np.float32)
            start = time.perf_counter()
            graphripple.embed(ring, 4000, weights, seed=1, out=out, block_columns=1,
                              progress=counter if mode == "on" else None)
            best[mode] = min(best.get(mode, float("inf")), time.perf_counter() - start)
    per_fit = count[0] / args.rounds
    print(f"one report: {(best['on'] - best['off']) / per_fit * 1e6:.1f} us ({per_fit:.0f} reports per fit)")


if __name__ == "__main__":
    main()
