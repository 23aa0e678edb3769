"""A picture of an embedding: its 2-D principal-component projection.

Drawn with matplotlib's Agg canvas directly, without pyplot, so that no
global backend or figure state of the caller's process changes.
"""

from __future__ import annotations

import os
from typing import Any, Sequence

import numpy as np
from numpy.typing import NDArray

from .io._atomic import atomic_path

__all__ = ["pca_2d", "plot_projection"]


def pca_2d(rows: NDArray[Any]) -> NDArray[np.float64]:
    """The coordinates of each row on the two leading principal axes.

    The sign of each axis is fixed (largest coordinate positive) so that the
    picture does not flip between runs of the SVD.
    """
    data = np.asarray(rows, dtype=np.float64)
    centred = data - data.mean(axis=0, keepdims=True)
    if centred.shape[0] == 0 or centred.shape[1] == 0:
        return np.zeros((centred.shape[0], 2))
    left, singular, _ = np.linalg.svd(centred, full_matrices=False)
    coords = np.zeros((data.shape[0], 2))
    k = min(2, singular.shape[0])
    coords[:, :k] = left[:, :k] * singular[:k]
    for axis in range(k):
        column = coords[:, axis]
        if column[np.argmax(np.abs(column))] < 0:
            coords[:, axis] = -column
    return coords


def plot_projection(
    path: str | os.PathLike[str],
    embedding: NDArray[Any],
    groups: Sequence[int],
    *,
    edges: Sequence[tuple[int, int]] = (),
    group_names: Sequence[str] = ("group 0", "group 1"),
    highlight: Sequence[int] = (),
    title: str = "",
) -> None:
    """Write a PNG of the 2-D projection of ``embedding``, points coloured by group.

    ``edges`` are drawn as faint lines, ``highlight`` nodes larger and
    labelled. Needs matplotlib (the ``plot`` extra).
    """
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plotting needs matplotlib (pip install 'graphripple[plot]')") from None
    coords = pca_2d(embedding)
    labels = np.asarray(groups)
    figure = Figure(figsize=(6.4, 4.8), dpi=100)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    for a, b in edges:
        axes.plot(coords[[a, b], 0], coords[[a, b], 1], color="0.85", linewidth=0.6, zorder=1)
    colours = ("tab:blue", "tab:orange", "tab:green", "tab:red")
    for group in np.unique(labels):
        members = labels == group
        name = group_names[int(group)] if int(group) < len(group_names) else f"group {group}"
        axes.scatter(coords[members, 0], coords[members, 1], s=36, color=colours[int(group) % len(colours)],
                     edgecolors="white", linewidths=0.5, label=name, zorder=2)
    for node in range(coords.shape[0]):
        big = node in highlight
        axes.annotate(str(node), coords[node], fontsize=8 if big else 6, xytext=(3, 3),
                      textcoords="offset points", fontweight="bold" if big else "normal")
    if highlight:
        chosen = list(highlight)
        axes.scatter(coords[chosen, 0], coords[chosen, 1], s=120, facecolors="none", edgecolors="black",
                     linewidths=1.2, zorder=3)
    axes.set_xlabel("first principal component")
    axes.set_ylabel("second principal component")
    if title:
        axes.set_title(title)
    axes.legend(loc="best", fontsize=8)
    figure.tight_layout()
    with atomic_path(path) as temporary, open(temporary, "wb") as handle:
        figure.savefig(handle, format="png")
