"""Demonstration: embed Zachary's karate club and see whether the two factions
fall apart in the embedding.

The embedding is computed without looking at the factions. Members are then
split in two ways, using NumPy only: each member goes with the leader
(member 0 or member 33) whose embedding row is closer in cosine similarity,
and a 2-means clustering of the normalised rows started from the two
leaders. Both splits are compared with the factions recorded in 1977.
"""

from __future__ import annotations

import os
import time
from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

from .._karate import EDGES, FACTION, NUM_MEMBERS
from .._native_core import fit_adj_list

LEADERS = (0, 33)


def _unit_rows(matrix: NDArray[Any]) -> NDArray[np.float64]:
    norms = np.linalg.norm(matrix, axis=1, keepdims=True)
    return np.asarray(matrix / np.where(norms == 0.0, 1.0, norms), dtype=np.float64)


def nearest_leader(rows: NDArray[Any]) -> NDArray[np.int64]:
    """0 or 1 for each row: the leader whose row is most similar."""
    similarity = rows @ rows[list(LEADERS)].T
    split: NDArray[np.int64] = (similarity[:, 1] > similarity[:, 0]).astype(np.int64)
    return split


def two_means(rows: NDArray[Any], start: NDArray[np.int64], rounds: int = 100) -> NDArray[np.int64]:
    """Lloyd's iterations on unit rows from the initial assignment `start`."""
    labels = start
    for _ in range(rounds):
        centroids = np.stack([rows[labels == k].mean(axis=0) for k in (0, 1)])
        distances = ((rows[:, None, :] - centroids[None, :, :]) ** 2).sum(axis=2)
        updated = distances.argmin(axis=1)
        if np.array_equal(updated, labels) or len(set(updated.tolist())) < 2:
            break
        labels = updated
    return labels


def _report(name: str, labels: NDArray[Any], truth: NDArray[Any]) -> None:
    agree = labels == truth
    if agree.mean() < 0.5:  # cluster numbering is arbitrary
        agree = ~agree
    wrong = ", ".join(str(i) for i in np.flatnonzero(~agree)) or "none"
    print(f"  {name:<16} {agree.sum():>2}/{len(truth)} members placed with their faction"
          f" ({agree.mean():.0%}); misplaced: {wrong}")


def run(dim: int, weights: Sequence[float], seed: int) -> NDArray[np.float32]:
    """Embed the club, print the report, return the embedding."""
    adj_list: list[list[tuple[int, float]]] = [[] for _ in range(NUM_MEMBERS)]
    for a, b in EDGES:
        adj_list[a].append((b, 1.0))  # one direction each; the fit adds A^T

    timings = []
    embedding = np.zeros((0, 0), dtype=np.float32)
    for _ in range(20):
        started = time.perf_counter()
        embedding = fit_adj_list(adj_list, dim, list(weights), seed=seed)
        timings.append(time.perf_counter() - started)
    rows = _unit_rows(embedding.astype(np.float64))
    truth = np.array(FACTION)

    print(f"Zachary's karate club: {NUM_MEMBERS} members, {len(EDGES)} friendships, "
          f"factions of {np.sum(truth == 0)} and {np.sum(truth == 1)}")
    print(f"Embedding: {embedding.shape[0]} x {embedding.shape[1]} float32, weights {list(weights)}, "
          f"seed {seed}")
    print(f"Time per fit: {np.median(timings) * 1e3:.3f} ms (median of {len(timings)})")
    print("Factions recovered from the embedding alone:")
    leader_split = nearest_leader(rows)
    _report("nearest leader", leader_split, truth)
    _report("2-means", two_means(rows, leader_split), truth)
    return embedding


def plot(path: str | os.PathLike[str], embedding: NDArray[Any]) -> None:
    """Draw the PCA projection of the club's (unit) rows coloured by faction."""
    from .._plotting import plot_projection

    plot_projection(
        path, _unit_rows(embedding.astype(np.float64)), FACTION, edges=EDGES,
        group_names=("instructor's faction (0)", "administrator's faction (33)"), highlight=LEADERS,
        title="Zachary's karate club: 2-D projection of the embedding",
    )
