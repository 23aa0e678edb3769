"""RippleEmbedding: scikit-learn conventions, with and without scikit-learn."""

import pickle

import numpy as np
import pytest

from graphripple import Edges, embed
from graphripple import NotFittedError, RippleEmbedding

nx = pytest.importorskip("networkx")

KARATE = nx.karate_club_graph()


def test_init_only_stores_its_arguments():
    # No checks in __init__: bad values surface at fit, as scikit-learn expects.
    estimator = RippleEmbedding(n_components="many", weights=None, normalization="l7")
    assert estimator.get_params()["n_components"] == "many"
    with pytest.raises(TypeError, match="n_components must be an integer, not str"):
        estimator.fit(KARATE)


def test_get_and_set_params_round_trip():
    estimator = RippleEmbedding(n_components=8, random_state=3)
    params = estimator.get_params()
    assert list(params) == [
        "n_components", "weights", "undirected", "random_state", "feature_weight", "columns", "out",
        "block_columns", "normalization", "degree_exponent", "edge_weight", "direction", "combine",
        "keep_terms",
    ]
    assert estimator.set_params(n_components=4, weights=(1.0,)) is estimator
    assert estimator.get_params()["n_components"] == 4 and RippleEmbedding(**estimator.get_params()).weights == (1.0,)
    with pytest.raises(ValueError, match="Invalid parameter 'dim'"):
        estimator.set_params(dim=3)
    assert repr(estimator) == "RippleEmbedding(n_components=4, weights=(1.0,), random_state=3)"


def test_fit_matches_embed_and_labels_rows():
    edges = Edges(["a", "b", "c"], ["b", "c", "a"])
    estimator = RippleEmbedding(n_components=8, random_state=5, weights=(1.0, 1.0))
    assert estimator.fit(edges) is estimator
    assert estimator.embedding_.tobytes() == embed(edges, 8, (1.0, 1.0), seed=5).tobytes()
    assert estimator.nodes_.tolist() == ["a", "b", "c"] and estimator.seed_ == 5
    again = RippleEmbedding(n_components=8, random_state=5, weights=(1.0, 1.0)).fit_transform(edges)
    assert again.tobytes() == estimator.embedding_.tobytes()


def test_unseeded_fit_keeps_its_seed_for_transform():
    estimator = RippleEmbedding(n_components=8).fit(KARATE)
    assert isinstance(estimator.seed_, int)
    assert estimator.transform(KARATE).tobytes() == estimator.embedding_.tobytes()
    assert RippleEmbedding(n_components=8).fit(KARATE).seed_ != estimator.seed_


@pytest.mark.parametrize(
    "state",
    [lambda: np.random.default_rng(7), lambda: np.random.RandomState(7)],
)
def test_numpy_generators_give_reproducible_seeds(state):
    first = RippleEmbedding(n_components=4, random_state=state()).fit(KARATE)
    second = RippleEmbedding(n_components=4, random_state=state()).fit(KARATE)
    assert first.seed_ == second.seed_ and 0 <= first.seed_ < 1 << 64


@pytest.mark.parametrize(
    "state, error", [(-1, ValueError), (1 << 64, ValueError), (1.5, TypeError), (True, TypeError), ("7", TypeError)]
)
def test_bad_random_state(state, error):
    with pytest.raises(error, match="random_state"):
        RippleEmbedding(random_state=state).fit(KARATE)


def test_node_features_are_keyword_only_and_y_is_ignored():
    features = np.eye(34)[:, :3]
    labels = np.arange(34)
    estimator = RippleEmbedding(n_components=8, random_state=1)
    with_features = estimator.fit(KARATE, labels, node_features=features).embedding_
    assert with_features.tobytes() == embed(KARATE, 8, seed=1, node_features=features).tobytes()
    # A target passed where scikit-learn passes it never becomes features.
    assert estimator.fit_transform(KARATE, labels[:, None]).tobytes() == embed(KARATE, 8, seed=1).tobytes()
    with pytest.raises(TypeError):
        estimator.fit(KARATE, None, features)


def test_transform_before_fit():
    with pytest.raises((NotFittedError, AttributeError, ValueError), match="not fitted"):
        RippleEmbedding().transform(KARATE)


def test_pickles_with_its_fitted_state():
    estimator = RippleEmbedding(n_components=4, random_state=2).fit(KARATE)
    restored = pickle.loads(pickle.dumps(estimator))
    assert restored.embedding_.tobytes() == estimator.embedding_.tobytes() and restored.seed_ == 2


class TestScikitLearn:
    sklearn = pytest.importorskip("sklearn")

    def test_clone_copies_parameters_not_state(self):
        from sklearn.base import clone

        estimator = RippleEmbedding(n_components=6, weights=(0.0, 1.0), random_state=9).fit(KARATE)
        copy = clone(estimator)
        assert copy.get_params() == estimator.get_params() and not hasattr(copy, "embedding_")

    def test_pipeline_with_a_classifier(self):
        from sklearn.exceptions import NotFittedError as SklearnNotFittedError
        from sklearn.linear_model import LogisticRegression
        from sklearn.pipeline import Pipeline

        factions = np.array([KARATE.nodes[v]["club"] == "Officer" for v in KARATE])
        pipeline = Pipeline([
            ("embed", RippleEmbedding(n_components=32, weights=(0.0, 1.0, 1.0, 1.0), random_state=0)),
            ("classify", LogisticRegression()),
        ])
        pipeline.fit(KARATE, factions)
        assert pipeline.score(KARATE, factions) > 0.9
        with pytest.raises(SklearnNotFittedError):
            RippleEmbedding().transform(KARATE)

    def test_grid_search_style_parameter_paths(self):
        from sklearn.decomposition import PCA
        from sklearn.pipeline import Pipeline

        pipeline = Pipeline([("embed", RippleEmbedding(random_state=0)), ("pca", PCA(2))])
        pipeline.set_params(embed__n_components=12, embed__weights=(1.0, 1.0))
        assert pipeline.fit_transform(KARATE).shape == (34, 2)
        assert pipeline.named_steps["embed"].embedding_.shape == (34, 12)
