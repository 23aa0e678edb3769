"""Time of knn_graph, exact and through faiss's HNSW, and the recall of the latter.

    python bench_similarity.py [--rows 100000] [--dim 128] [--k 10]
                               [--faiss-rows 200000] [--recall-queries 2000]

The rows are a mixture of Gaussians (2000 centres, noise of a quarter of
the centres' spread), closer to a trained embedding than plain noise and
reproducible from a fixed seed. Prints one line per measurement. The recall
of method="faiss" is measured against exact neighbours of a random sample
of rows (most_similar), so that --faiss-rows can exceed what an exact graph
of all rows would take. --rows 0 or --faiss-rows 0 skips that part.
"""

import argparse
import os
import time

import numpy as np

import graphripple


def clustered(rows, dim, seed):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((2000, dim)).astype(np.float32)
    data = centres[rng.integers(0, 2000, size=rows)]
    data += np.float32(0.25) * rng.standard_normal((rows, dim), dtype=np.float32)
    return data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000, help="rows of the exact graph")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--metric", default="cosine")
    parser.add_argument("--faiss-rows", type=int, default=200_000, help="rows of the HNSW graph")
    parser.add_argument("--recall-queries", type=int, default=2000)
    args = parser.parse_args()
    print(f"cpus: {os.cpu_count()}  metric: {args.metric}  k: {args.k}  dim: {args.dim}")

    if args.rows:
        data = clustered(args.rows, args.dim, 1)
        start = time.perf_counter()
        graph = graphripple.knn_graph(data, args.k, metric=args.metric)
        seconds = time.perf_counter() - start
        print(f"exact  {args.rows:>9} rows: {seconds:8.1f} s  ({graph.nnz} entries)")

    if args.faiss_rows:
        try:
            import faiss  # noqa: F401
        except ImportError:
            print("faiss: not installed (pip install faiss-cpu); skipped")
            return
        data = clustered(args.faiss_rows, args.dim, 2)
        start = time.perf_counter()
        graph = graphripple.knn_graph(data, args.k, metric=args.metric, method="faiss")
        seconds = time.perf_counter() - start
        sample = np.sort(np.random.default_rng(3).choice(args.faiss_rows, args.recall_queries, replace=False))
        start = time.perf_counter()
        truth, _ = graphripple.most_similar(data, sample, args.k, metric=args.metric)
        exact_seconds = time.perf_counter() - start
        hits = sum(
            np.intersect1d(truth[i], graph.indices[graph.indptr[row]:graph.indptr[row + 1]]).size
            for i, row in enumerate(sample)
        )
        recall = hits / truth.size
        estimate = exact_seconds * args.faiss_rows / args.recall_queries
        print(f"faiss  {args.faiss_rows:>9} rows: {seconds:8.1f} s  recall@{args.k} {recall:.4f} "
              f"(exact for {args.recall_queries} sampled rows took {exact_seconds:.1f} s, "
              f"about {estimate:.0f} s for all)")


if __name__ == "__main__":
    main()
