"""combine="concat": each term block against the single-weight fit, and the options around it."""

import io
import math

import numpy as np
import pytest

import graphripple
from graphripple import cli, estimate_memory
from graphripple._memory_model import work_matrices

scipy_sparse = pytest.importorskip("scipy.sparse")

DIM = 6


def graph(n=40, seed=3):
    rng = np.random.default_rng(seed)
    m = 5 * n
    a = scipy_sparse.coo_matrix((rng.random(m) + 0.1, (rng.integers(0, n, m), rng.integers(0, n, m))), shape=(n, n))
    return a.tocsr()


def single_weight_blocks(a, weights, **options):
    """[embed with w_i alone for each non-zero w_i], each cut into its directions."""
    blocks = []
    for i, w in enumerate(weights):
        if w != 0.0:
            alone = [0.0] * len(weights)
            alone[i] = w
            blocks.append(graphripple.embed(a, DIM, alone, seed=11, **options))
    if options.get("direction") == "both":
        return [b[:, :DIM] for b in blocks] + [b[:, DIM:] for b in blocks]
    return blocks


OPTION_SETS = [
    {},
    {"normalization": "l2"},
    {"degree_exponent": -0.5, "edge_weight": "log1p"},
    {"undirected": False, "direction": "in"},
    {"undirected": False, "direction": "both", "normalization": "l2"},
    {"undirected": False, "direction": "both", "edge_weight": "binary"},
]


@pytest.mark.parametrize("weights", [[0.0, 1.0, 1.0], [0.5, 0.0, -2.0, 1.0], [3.0], [0.0, 0.0, 0.0, 0.25]])
@pytest.mark.parametrize("options", OPTION_SETS, ids=lambda o: ",".join(f"{k}={v}" for k, v in o.items()) or "default")
def test_each_block_holds_the_single_weight_fit(weights, options):
    a = graph()
    features = np.random.default_rng(1).standard_normal((a.shape[0], 3))
    for node_features in (None, features):
        got = graphripple.embed(a, DIM, weights, seed=11, combine="concat", node_features=node_features, **options)
        expected = single_weight_blocks(a, weights, node_features=node_features, **options)
        assert got.shape == (a.shape[0], DIM * len(expected))
        assert got.tobytes() == np.hstack(expected).tobytes()


@pytest.mark.parametrize("options", [{}, {"undirected": False, "direction": "both"}, {"normalization": "l2"}])
def test_columns_and_blocks_index_the_concatenated_width(options):
    a = graph(seed=5)
    weights = [1.0, 0.5, 0.0, 2.0]
    whole = graphripple.embed(a, DIM, weights, seed=4, combine="concat", **options)
    width = whole.shape[1]
    l2 = options.get("normalization") == "l2"
    ranges = [(0, width), (DIM, 3 * DIM)] if l2 else [(0, width), (2, 9), (DIM + 1, DIM + 3), (width - 1, width)]
    for start, stop in ranges:
        for block in ([None, DIM] if l2 else [None, 1, 4, DIM]):
            part = graphripple.embed(a, DIM, weights, seed=4, combine="concat", columns=(start, stop),
                                     block_columns=block, **options)
            assert part.tobytes() == np.ascontiguousarray(whole[:, start:stop]).tobytes(), (start, stop, block)
            # Into a column-major target as well.
            target = np.asfortranarray(np.full((a.shape[0], stop - start), np.nan, np.float32))
            graphripple.embed(a, DIM, weights, seed=4, combine="concat", columns=(start, stop), out=target,
                              block_columns=block, **options)
            assert np.array_equal(target, whole[:, start:stop])


def test_unseeded_concat_blocks_share_one_starting_matrix():
    a = graph()
    got = graphripple.embed(a, DIM, [2.0, 0.0, 0.0], combine="concat", block_columns=2)
    # Weights [2] alone: the result is 2 X0, whose entries take three values.
    assert len(np.unique(np.abs(got))) <= 2


def test_refusals_name_the_argument():
    a = graph()
    with pytest.raises(ValueError, match="combine must be 'sum' or 'concat'"):
        graphripple.embed(a, DIM, combine="mean")
    with pytest.raises(ValueError, match="columns"):
        graphripple.embed(a, DIM, [0, 1, 1], combine="concat", columns=(0, 3 * DIM))
    with pytest.raises(ValueError, match="columns narrower"):
        graphripple.embed(a, DIM, [0, 1, 1], combine="concat", normalization="l2", columns=(0, DIM + 1))
    with pytest.raises(ValueError, match="block_columns narrower"):
        graphripple.embed(a, DIM, [0, 1, 1], combine="concat", normalization="l2", block_columns=DIM - 1)
    # No non-zero weight: no columns.
    assert graphripple.embed(a, DIM, [0, 0], combine="concat").shape == (a.shape[0], 0)


def test_estimator_and_estimate_memory_know_concat():
    a = graph()
    model = graphripple.RippleEmbedding(n_components=DIM, weights=[0, 1, 1], random_state=2, combine="concat")
    expected = graphripple.embed(a, DIM, [0, 1, 1], seed=2, combine="concat")
    assert model.fit_transform(a).tobytes() == expected.tobytes()
    n, m = 1000, 5000
    summed = estimate_memory(n, m, 16, [0, 1, 1, 1])
    # Three chain matrices of 16 columns either way, plus the 3 x 16-column result when it is returned.
    assert estimate_memory(n, m, 16, [0, 1, 1, 1], combine="concat", returned=False) == summed
    assert estimate_memory(n, m, 16, [0, 1, 1, 1], combine="concat") == summed + n * 16 * 3 * 4
    assert work_matrices([0.0, 1.0, 1.0], "concat") == 3


def test_cli_combine_writes_the_concatenated_embedding(tmp_path):
    edges = tmp_path / "g.txt"
    edges.write_text("".join(f"{i} {(i * 7 + 3) % 30}\n" for i in range(30)))
    out = tmp_path / "e.npy"
    stderr = io.StringIO()
    import contextlib
    with contextlib.redirect_stderr(stderr):
        status = cli.main(["embed", str(edges), "-o", str(out), "--dim", "4", "--weights", "1,0,1",
                           "--seed", "3", "--combine", "concat"])
    assert status == 0, stderr.getvalue()
    got = np.load(out)
    csr = graphripple.to_csr(graphripple.Edges(*np.loadtxt(edges, dtype=np.int64).T))
    assert got.tobytes() == graphripple.embed(csr, 4, [1, 0, 1], seed=3, combine="concat").tobytes()
    assert got.shape[1] == 8 and not math.isnan(float(got.sum()))
