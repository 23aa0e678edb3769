"""most_similar and knn_graph against a brute-force float64 reference; the estimator and command hooks."""

import argparse
import io

import numpy as np
import pytest

import graphripple
from graphripple import NotFittedError, RippleEmbedding, _similarity as similarity
from graphripple.cli import _similar as _similar_cli

METRICS = similarity.METRICS


def reference_scores(matrix, rows, metric):
    """Scores in float64, rounded once to float32."""
    x = np.asarray(matrix, dtype=np.float64)
    if metric == "dot":
        scores = x[rows] @ x.T
    elif metric == "cosine":
        norms = np.linalg.norm(x, axis=1)
        unit = x / np.where(norms > 0, norms, 1.0)[:, None]
        scores = unit[rows] @ unit.T
    else:
        scores = -np.sqrt(((x[rows][:, None, :] - x[None, :, :]) ** 2).sum(axis=-1))
    return scores.astype(np.float32)


def reference(matrix, rows, k, metric, exclude_self=True):
    scores = reference_scores(matrix, rows, metric)
    indices = []
    for i, row in enumerate(rows):
        candidates = [j for j in range(len(matrix)) if not (exclude_self and j == row)]
        candidates.sort(key=lambda j: (-scores[i, j], j))
        indices.append(candidates[:k])
    indices = np.array(indices, dtype=np.int64).reshape(len(rows), -1)
    return indices, np.take_along_axis(scores, indices, 1)


@pytest.fixture(params=[1 << 21, 5, 64], ids=["one-block", "tiny-blocks", "small-blocks"])
def block_size(request, monkeypatch):
    monkeypatch.setattr(similarity, "_BLOCK_ELEMENTS", request.param)
    return request.param


# Small integers: every dot product and squared distance is exact in float32,
# so the order, ties included, must equal the reference exactly.
TIES = np.random.default_rng(1).integers(-2, 3, size=(60, 4)).astype(np.float32)
TIES[7] = 0.0
TIES[11] = TIES[3]


@pytest.mark.parametrize("metric", ["dot", "euclidean"])
@pytest.mark.parametrize("k", [1, 6, 59, 60, 100])
@pytest.mark.parametrize("exclude_self", [True, False])
def test_exact_ties_match_the_reference(block_size, metric, k, exclude_self):
    rows = np.array([0, 3, 7, 11, 59, 3])
    indices, scores = graphripple.most_similar(TIES, rows, k, metric=metric, exclude_self=exclude_self)
    width = min(k, 59 if exclude_self else 60)
    want_i, want_s = reference(TIES, rows, width, metric, exclude_self)
    assert indices.dtype == np.int64 and scores.dtype == np.float32 and indices.shape == (6, width)
    np.testing.assert_array_equal(indices, want_i)
    np.testing.assert_array_equal(scores, want_s)
    if exclude_self:
        assert not (indices == rows[:, None]).any()


@pytest.mark.parametrize("metric", METRICS)
def test_random_rows_agree_with_float64(block_size, metric):
    matrix = np.random.default_rng(2).standard_normal((200, 16)).astype(np.float32)
    matrix[5] = 0.0
    rows = np.arange(0, 200, 9)
    indices, scores = graphripple.most_similar(matrix, rows, 12, metric=metric)
    exact = reference_scores(matrix, rows, metric)
    tolerance = 1e-3 if metric == "euclidean" else 1e-5
    np.testing.assert_allclose(scores, np.take_along_axis(exact, indices, 1), atol=tolerance)
    # Ordered by (score, index) on the returned scores, and nothing better left out.
    for row, idx, got in zip(rows, indices, scores):
        assert list(idx) == sorted(idx, key=lambda j: (-got[list(idx).index(j)], j))
        others = np.delete(exact[list(rows).index(row)], np.r_[idx, row])
        assert others.max() <= got[-1] + tolerance
    if metric == "cosine":  # the zero row scores 0 against everything
        np.testing.assert_array_equal(scores[indices == 5], 0.0)
        idx, got = graphripple.most_similar(matrix, 5, 3)
        assert got.tolist() == [[0.0, 0.0, 0.0]] and idx.tolist() == [[0, 1, 2]]


def test_blocks_do_not_change_the_result(monkeypatch):
    matrix = np.random.default_rng(3).standard_normal((150, 8)).astype(np.float32)
    for metric in METRICS:
        whole = graphripple.most_similar(matrix, np.arange(150), 7, metric=metric)
        monkeypatch.setattr(similarity, "_BLOCK_ELEMENTS", 3)
        blocked = graphripple.most_similar(matrix, np.arange(150), 7, metric=metric)
        monkeypatch.undo()
        np.testing.assert_array_equal(whole[0], blocked[0])
        np.testing.assert_allclose(whole[1], blocked[1], rtol=1e-6, atol=1e-6)


def test_all_tied_rows_keep_the_lowest_indices(block_size):
    ones = np.ones((40, 3), dtype=np.float32)
    indices, scores = graphripple.most_similar(ones, [0, 39, 20], 5)
    assert indices.tolist() == [[1, 2, 3, 4, 5], [0, 1, 2, 3, 4], [0, 1, 2, 3, 4]]
    np.testing.assert_allclose(scores, 1.0, rtol=1e-6)


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: graphripple.most_similar(TIES, 60), ValueError, "query row 60"),
        (lambda: graphripple.most_similar(TIES, [-1]), ValueError, "query row -1"),
        (lambda: graphripple.most_similar(TIES, [[0]]), ValueError, "query must be"),
        (lambda: graphripple.most_similar(TIES, 1.0), TypeError, "query must hold integer"),
        (lambda: graphripple.most_similar(TIES, [True]), TypeError, "query must hold integer"),
        (lambda: graphripple.most_similar(TIES, 0, 0), ValueError, "k must be at least 1"),
        (lambda: graphripple.most_similar(TIES, 0, 2.0), TypeError, "k must be an integer"),
        (lambda: graphripple.most_similar(TIES, 0, metric="l1"), ValueError, "metric must be one of"),
        (lambda: graphripple.most_similar(TIES, 0, exclude_self="no"), TypeError, "exclude_self must be True or False"),
        (lambda: graphripple.most_similar(TIES[0], 0), ValueError, "embedding must be two-dimensional"),
        (lambda: graphripple.most_similar(np.array([[1.0, np.nan]]), 0), ValueError, "non-finite value in row 0"),
        (lambda: graphripple.most_similar(np.array([[1.0], [1e30]]), 0), ValueError, "row 1 is too large"),
        (lambda: graphripple.knn_graph(TIES, method="annoy"), ValueError, "method must be"),
    ],
)
def test_bad_arguments_name_themselves(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_small_and_empty_cases():
    one = np.ones((1, 2), dtype=np.float32)
    assert graphripple.most_similar(one, 0)[0].shape == (1, 0)
    assert graphripple.most_similar(one, 0, exclude_self=False)[0].tolist() == [[0]]
    indices, scores = graphripple.most_similar(TIES, [], 3)
    assert indices.shape == (0, 3) and scores.shape == (0, 3)


@pytest.mark.parametrize("metric", METRICS)
def test_knn_graph_rows_are_the_nearest_others(block_size, metric):
    sparse = pytest.importorskip("scipy.sparse")
    graph = graphripple.knn_graph(TIES, 4, metric=metric)
    assert isinstance(graph, sparse.csr_array) and graph.shape == (60, 60) and graph.dtype == np.float32
    assert graph.has_canonical_format and np.diff(graph.indptr).tolist() == [4] * 60
    assert not graph.diagonal().any() and all(i not in graph.indices[graph.indptr[i]:graph.indptr[i + 1]]
                                              for i in range(60))
    indices, scores = graphripple.most_similar(TIES, np.arange(60), 4, metric=metric)
    for i in range(60):
        order = np.argsort(indices[i])
        np.testing.assert_array_equal(graph.indices[4 * i: 4 * i + 4], indices[i][order])
        np.testing.assert_array_equal(graph.data[4 * i: 4 * i + 4], scores[i][order])
    if metric == "dot":  # zero scores stay stored entries
        assert (graph.data == 0).any() and graph.nnz == 240


def test_knn_graph_caps_k_at_the_other_rows():
    pytest.importorskip("scipy.sparse")
    graph = graphripple.knn_graph(TIES[:5], 50)
    assert graph.nnz == 20 and np.diff(graph.indptr).tolist() == [4] * 5


@pytest.mark.parametrize("metric", METRICS)
def test_faiss_recall_on_random_rows(metric):
    pytest.importorskip("scipy.sparse")
    pytest.importorskip("faiss", reason="faiss-cpu is not installed")
    matrix = np.random.default_rng(4).standard_normal((2000, 16)).astype(np.float32)
    exact = graphripple.knn_graph(matrix, 10, metric=metric)
    approximate = graphripple.knn_graph(matrix, 10, metric=metric, method="faiss")
    assert approximate.has_canonical_format and approximate.diagonal().sum() == 0
    hits = sum(len(np.intersect1d(exact[[i]].indices, approximate[[i]].indices)) for i in range(2000))
    assert hits / exact.nnz > 0.9
    # Shared neighbours carry the same score as the exact search's, within float32 rounding.
    common = exact.multiply(approximate != 0)
    np.testing.assert_allclose(common.data, approximate.multiply(exact != 0).data, rtol=1e-5, atol=1e-5)


def test_faiss_missing_names_the_package(monkeypatch):
    pytest.importorskip("scipy.sparse")
    import sys

    monkeypatch.setitem(sys.modules, "faiss", None)
    with pytest.raises(ImportError, match="pip install faiss-cpu"):
        graphripple.knn_graph(TIES, method="faiss")


def test_estimator_most_similar():
    edges = graphripple.Edges(["a", "b", "c", "d"], ["b", "c", "a", "a"])
    estimator = RippleEmbedding(n_components=8, random_state=1, weights=(1.0, 1.0))
    with pytest.raises((NotFittedError, AttributeError), match="not fitted"):  # scikit-learn's when installed
        estimator.most_similar("a")
    estimator.fit(edges)
    found = estimator.most_similar("a", k=2)
    indices, scores = graphripple.most_similar(estimator.embedding_, 0, 2)
    assert found == list(zip(estimator.nodes_[indices[0]].tolist(), scores[0].tolist()))
    assert all(type(label) is str and type(score) is float for label, score in found)
    with pytest.raises(KeyError, match="'zz'"):
        estimator.most_similar("zz")


def run_similar(*argv):
    commands = argparse.ArgumentParser().add_subparsers(dest="command")
    _similar_cli.add_parser(commands)
    args = commands._name_parser_map["similar"].parse_args([str(a) for a in argv])
    out = io.StringIO()
    return _similar_cli.run(args, out), out.getvalue()


@pytest.mark.parametrize("suffix", [".npz", ".txt", ".npy"])
@pytest.mark.parametrize("labels", [["x", "y", "z", "w"], [10, 20, 30, 40]])
def test_similar_command_prints_neighbours(tmp_path, suffix, labels):
    matrix = np.array([[1, 0], [1, 0.1], [0, 1], [-1, 0]], dtype=np.float32)
    path = tmp_path / f"emb{suffix}"
    graphripple.save(path, matrix, labels)
    status, out = run_similar(path, labels[0], "-k", 2, "--metric", "dot")
    assert status == 0
    assert out == f"{labels[1]}\t1.0\n{labels[2]}\t0.0\n"
    assert run_similar(path, labels[0], "-k", 1)[1] == f"{labels[1]}\t0.9950372\n"  # float32's shortest text
    with pytest.raises(ValueError, match=f"^{path}: no node 'nope'$"):
        run_similar(path, "nope")
    with pytest.raises(ValueError, match="no node '99'"):
        run_similar(path, "99")
    plain = tmp_path / "emb"  # no suffix: the format is given as the error advises
    plain.write_bytes(path.read_bytes())
    with pytest.raises(ValueError, match="give the format"):
        run_similar(plain, labels[0])
    if suffix != ".npy":  # a .npy's labels live in a file named after it
        assert run_similar(plain, labels[0], "-k", 1, "--format", {".npz": "npz", ".txt": "w2v"}[suffix]) == \
            run_similar(path, labels[0], "-k", 1)
