"""RippleEmbedding.embed_new: new nodes from the terms a keep_terms fit keeps."""

import pickle

import numpy as np
import pytest

from graphripple import Edges, embed, embed_labelled, estimate_memory
from graphripple import RippleEmbedding

DIM = 16
SEED = 11


def _graph(rng, n=24, m=90):
    """Labelled edges with repeated pairs and self-loops; every node appears."""
    src = np.concatenate([np.arange(n), rng.integers(0, n, m - n)])
    dst = rng.integers(0, n, m)
    src[-3:], dst[-3:] = src[:3], dst[:3]  # repeated edges, summed by the fit
    weights = rng.uniform(0.25, 4.0, m)
    label = np.array([f"v{i}" for i in range(n)], dtype=object)
    return label[src], label[dst], weights


def _new_edges(rng, n, q=5, m=14):
    """Edges of q new nodes (first appearance in a shuffled order) to fitted nodes, one repeated."""
    names = np.array([f"new{i}" for i in rng.permutation(q)], dtype=object)
    src = np.concatenate([names, names[rng.integers(0, q, m - q)]])
    dst = np.array([f"v{i}" for i in rng.integers(0, n, m)], dtype=object)
    src[-1], dst[-1] = src[0], dst[0]
    return src, dst, rng.uniform(0.5, 3.0, m)


DIRECTED_CASES = {
    "usual weights (two matrices, deferred)": dict(),
    "one propagated term (two matrices)": dict(weights=(0.0, 0.0, 1.0)),
    "three matrices": dict(weights=(1.0, 0.5, 0.25, 0.125)),
    "X0 only": dict(weights=(2.0,)),
    "trailing zero weight": dict(weights=(0.5, 1.0, 0.0)),
    "l2": dict(normalization="l2", weights=(1.0, 1.0, 1.0)),
    "degree exponent": dict(degree_exponent=-0.75),
    "binary": dict(edge_weight="binary"),
    "log1p": dict(edge_weight="log1p", weights=(0.5, 1.0, 1.0)),
    "features": dict(features=3, feature_weight=0.5),
}


@pytest.mark.parametrize("case", DIRECTED_CASES.values(), ids=DIRECTED_CASES.keys())
def test_directed_rows_are_those_of_the_extended_fit(case):
    case = dict(case)
    rng = np.random.default_rng(len(str(case)))
    src, dst, w = _graph(rng)
    n = 24
    nsrc, ndst, nw = _new_edges(rng, n)
    f = case.pop("features", 0)
    features = rng.normal(size=(n, f)) if f else None
    new_features = rng.normal(size=(5, f)) if f else None
    params = dict(n_components=DIM, random_state=SEED, undirected=False, **case)

    model = RippleEmbedding(keep_terms=True, **params).fit(Edges(src, dst, w), node_features=features)
    plain = RippleEmbedding(**params).fit(Edges(src, dst, w), node_features=features)
    assert model.embedding_.tobytes() == plain.embedding_.tobytes()

    rows, nodes = model.embed_new(Edges(nsrc, ndst, nw), node_features=new_features)
    settings = {k: v for k, v in case.items() if k != "weights"}
    full, labels = embed_labelled(
        Edges(np.concatenate([src, nsrc]), np.concatenate([dst, ndst]), np.concatenate([w, nw])), DIM,
        case.get("weights", (0.0, 1.0, 1.0)), seed=SEED, undirected=False,
        node_features=None if f == 0 else np.vstack([features, new_features]), **settings)
    assert nodes.tolist() == labels[n:].tolist()
    assert rows.dtype == np.float32 and rows.tobytes() == full[n:].tobytes()
    assert full[:n].tobytes() == model.embedding_.tobytes()  # the fitted rows do not change
    pd = pytest.importorskip("pandas")  # a frame's weight column counts, as it does for fit(frame)
    frame = pd.DataFrame({"source": nsrc, "target": ndst, "weight": nw})
    assert model.embed_new(frame, node_features=new_features)[0].tobytes() == rows.tobytes()


def test_integer_ids_and_repeated_calls():
    edges = Edges([0, 1, 2, 2, 3], [1, 2, 0, 3, 0], num_nodes=5)  # node 4 has no edges
    model = RippleEmbedding(n_components=8, random_state=1, undirected=False, keep_terms=True).fit(edges)
    new = Edges([5, 6, 5, 6], [4, 0, 1, 0])
    rows, nodes = model.embed_new(new)
    full = embed(Edges([0, 1, 2, 2, 3, 5, 6, 5, 6], [1, 2, 0, 3, 0, 4, 0, 1, 0]), 8, seed=1, undirected=False)
    assert nodes.tolist() == [5, 6] and rows.tobytes() == full[5:].tobytes()
    again, _ = pickle.loads(pickle.dumps(model)).embed_new(new)
    assert again.tobytes() == rows.tobytes()
    empty, none = model.embed_new(Edges(np.zeros(0, np.int64), np.zeros(0, np.int64)))
    assert empty.shape == (0, 8) and none.size == 0


def _reference_fold_in(terms, x0, weights, neighbours):
    """The fold-in formula in float32 arithmetic only: one new node."""
    f32 = np.float32
    columns = sorted(neighbours)
    scale = f32(1.0) / f32(len(columns))
    acc = (x0 * f32(weights[0])) + f32(0.0)
    x = x0
    for k in range(1, len(weights)):
        row = np.zeros_like(x0)
        for j in columns:
            row = row + terms[k - 1][j] * (f32(neighbours[j]) * scale)
        acc = acc + row * f32(weights[k])
        x = row
    return acc


def test_undirected_is_the_fold_in_formula():
    src, dst = [0, 0, 1, 2, 3, 4], [1, 2, 2, 3, 4, 0]
    weights = (0.5, 1.0, 0.25)
    model = RippleEmbedding(n_components=8, random_state=4, weights=weights, keep_terms=True).fit(Edges(src, dst))
    for k, term in enumerate(model.terms_):  # the kept terms are the fit's X(k)
        one_hot = tuple(1.0 if i == k else 0.0 for i in range(k + 1))
        assert term.tobytes() == embed(Edges(src, dst), 8, one_hot, seed=4).tobytes()
    new = Edges([5, 5, 6, 5], [1, 3, 2, 1], [1.0, 2.0, 0.5, 0.25])
    rows, nodes = model.embed_new(new)
    assert rows.shape == (2, 8) and nodes.tolist() == [5, 6]
    assert model.embed_new(new)[0].tobytes() == rows.tobytes()
    x0 = embed(Edges(src + [5, 6], dst + [1, 2]), 8, (1.0,), seed=4)[5:]
    expected = [_reference_fold_in(model.terms_, x0[0], weights, {1: 1.25, 3: 2.0}),
                _reference_fold_in(model.terms_, x0[1], weights, {2: 0.5})]
    assert rows.tobytes() == np.array(expected, dtype=np.float32).tobytes()


def test_refit_without_terms_drops_them():
    model = RippleEmbedding(n_components=4, random_state=0, keep_terms=True).fit(Edges([0, 1], [1, 2]))
    assert len(model.terms_) == 2 and all(t.shape == (3, 4) for t in model.terms_)
    model.set_params(keep_terms=False).fit(Edges([0, 1], [1, 2]))
    assert not hasattr(model, "terms_")
    with pytest.raises(ValueError, match="keep_terms=True"):
        model.embed_new(Edges([3], [0]))


@pytest.mark.parametrize(
    "fit, edges, features, error, match",
    [
        ({}, Edges(["x", "x"], ["a", "zz"]), None, ValueError, "target 'zz' is not a node of the fitted graph"),
        ({}, Edges(["x", "b"], ["a", "a"]), None, ValueError, "source 'b' is a node of the fitted graph"),
        ({}, Edges(["x"], ["a"]), np.ones((1, 2)), ValueError, "fitted without node features"),
        ({"edge_weight": "log1p"}, Edges(["x"], ["a"], [-1.0]), None, ValueError, "log1p"),
        ({}, [("x", "a")], None, TypeError, "edges must be graphripple.Edges"),
    ],
    ids=["unknown target", "fitted source", "features", "log1p", "not edges"],
)
def test_bad_new_edges(fit, edges, features, error, match):
    model = RippleEmbedding(n_components=4, random_state=0, keep_terms=True, **fit).fit(Edges(["a", "b"], ["b", "c"]))
    with pytest.raises(error, match=match):
        model.embed_new(edges, node_features=features)


@pytest.mark.parametrize(
    "params, match",
    [
        (dict(undirected=False, direction="in"), "keep_terms=True needs direction='out'"),
        (dict(columns=(0, 2)), "keep_terms=True needs the whole embedding"),
        (dict(combine="concat"), "keep_terms=True needs combine='sum'"),
        (dict(keep_terms="yes"), "keep_terms must be True or False"),
    ],
)
def test_fits_that_cannot_keep_terms(params, match):
    with pytest.raises((TypeError, ValueError), match=match):
        RippleEmbedding(**{"n_components": 4, "random_state": 0, "keep_terms": True, **params}).fit(Edges([0], [1]))


def test_not_fitted_and_features_required():
    with pytest.raises(ValueError, match="not fitted yet"):  # scikit-learn's NotFittedError where installed
        RippleEmbedding(keep_terms=True).embed_new(Edges([1], [0]))
    model = RippleEmbedding(n_components=4, random_state=0, keep_terms=True)
    model.fit(Edges([0, 1], [1, 2]), node_features=np.ones((3, 2)))
    with pytest.raises(ValueError, match=r"fitted with node features \(2 columns\)"):
        model.embed_new(Edges([3], [0]))
    with pytest.raises(ValueError, match="has 3 columns but the model was fitted with 2"):
        model.embed_new(Edges([3], [0]), node_features=np.ones((1, 3)))


def test_out_target_gets_the_kept_fit():
    out = np.zeros((3, 4), dtype=np.float32)
    model = RippleEmbedding(n_components=4, random_state=0, keep_terms=True, out=out).fit(Edges([0, 1], [1, 2]))
    assert model.embedding_ is out and out.tobytes() == embed(Edges([0, 1], [1, 2]), 4, seed=0).tobytes()


@pytest.mark.parametrize("weights, terms", [((0.0, 1.0, 1.0), 2), ((1.0, 0.5, 0.0), 1), ((1.0,), 0), ((), 0)])
def test_estimate_memory_counts_the_kept_terms(weights, terms):
    n, m, dim = 1000, 5000, 64
    for undirected, merged in ((True, 2 * m), (False, m)):
        extra = estimate_memory(n, m, dim, weights, undirected, keep_terms=True) - estimate_memory(
            n, m, dim, weights, undirected)
        assert extra == terms * n * dim * 4 + 8 * (n + 1) + 12 * merged
