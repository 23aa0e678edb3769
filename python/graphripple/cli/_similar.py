"""The ``graphripple similar`` command: the nearest nodes of one node in a saved embedding.

    graphripple similar EMB NODE [-k 10] [--metric cosine] [--format npz|w2v|parquet|npy]

EMB is any file ``graphripple.load`` reads (.npz, word2vec text, .parquet,
.npy with its labels file). NODE is matched against the node labels: exactly
for string labels, as an integer for integer labels. Prints one
``label<TAB>score`` line per neighbour, best first. An unknown node is a
ValueError ``EMB: no node 'X'``, which the command reports as exit status 2.
"""

from __future__ import annotations

import argparse
from typing import Any, TextIO

import numpy as np

from .._similarity import METRICS, label_row, most_similar
from ..io._embedding_files import load

__all__ = ["add_parser", "run"]


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Add the ``similar`` command to the command line's subparsers."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "similar", help="list the nodes nearest to one node of a saved embedding",
        description="Print the nodes of a saved embedding nearest to NODE, one 'label<TAB>score' line "
        "each, best first.",
    )
    parser.add_argument("embedding", metavar="EMB",
                        help="a saved embedding (.npz, .txt/.w2v, .parquet, .npy)")
    parser.add_argument("node", metavar="NODE", help="the node's label (an integer for integer labels)")
    parser.add_argument("-k", type=_positive_int, default=10, help="how many neighbours (default 10)")
    parser.add_argument("--metric", choices=METRICS, default="cosine", help="similarity (default cosine)")
    parser.add_argument("--format", choices=("npz", "w2v", "parquet", "npy"),
                        help="format of EMB (default: from its suffix)")
    return parser


def run(args: argparse.Namespace, stdout: TextIO) -> int:
    """Run ``similar`` with parsed ``args``, writing to ``stdout``; returns the exit status."""
    embedding, nodes = load(args.embedding, format=args.format)
    nodes = np.asarray(nodes)
    row = _find(nodes, args.node)
    if row is None:
        raise ValueError(f"{args.embedding}: no node {args.node!r}")
    indices, scores = most_similar(embedding, row, args.k, metric=args.metric)
    labels = nodes[indices[0]].tolist()
    for label, score in zip(labels, scores[0]):
        # str() of a float32 is its shortest round-tripping decimal.
        stdout.write(f"{label}\t{str(score)}\n")
    return 0


def _find(nodes: np.ndarray[Any, Any], text: str) -> int | None:
    label: Any = text
    if nodes.dtype.kind in "iu":
        try:
            label = int(text)
        except ValueError:
            return None
    elif nodes.dtype.kind == "S":
        label = text.encode()
    try:
        return label_row(nodes, label)
    except KeyError:
        return None
