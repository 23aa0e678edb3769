"""RippleEmbedding: ``embed`` as a scikit-learn style estimator.

It follows scikit-learn's conventions without importing scikit-learn: the
constructor only stores its arguments (``get_params``/``set_params`` read and
write them, so ``sklearn.base.clone`` works), ``fit`` does the work and sets
the attributes ending in an underscore, ``fit_transform`` returns the
embedding.

The embedding is transductive: it describes the nodes of the fitted graph.
``fit`` fixes a seed (``random_state``, or one drawn from the operating
system) and keeps it in ``seed_``; ``transform(graph)`` embeds a graph with
that seed, so that in a ``Pipeline`` ``predict`` on the fitted graph sees
the very rows that ``fit`` trained on. With ``keep_terms=True`` the fit also
keeps its propagated terms, and ``embed_new`` embeds nodes that are not in
the fitted graph from their edges to fitted nodes (see ``fold_in``).
"""

from __future__ import annotations

import inspect
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _fold_in as fold_in
from ._embed import _check_log1p_weights, _check_out_kind, _check_out_shape, _node_features, embed_labelled
from ._graph_input import to_csr
from ._options import FIT_OPTIONS, OPTIONS, Options, check_options, check_value, draw_seed

__all__ = ["RippleEmbedding", "NotFittedError"]

# Constructor parameter -> embed's option, in the constructor's order; ``out``
# is the one parameter that is not a setting of the fit.
_PARAMETERS: dict[str, str] = {}
_ESTIMATOR_OPTIONS = ("keep_terms",)  # settings of the estimator that embed does not take
for _name in (*FIT_OPTIONS, *_ESTIMATOR_OPTIONS):
    if _name == "block_columns":
        _PARAMETERS["out"] = "out"
    _PARAMETERS[OPTIONS[_name].estimator_name or _name] = _name
_DEFAULTS = {param: (None if name == "out" else OPTIONS[name].default) for param, name in _PARAMETERS.items()}
_SIGNATURE = inspect.Signature(
    [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default)
     for name, default in _DEFAULTS.items()]
)


class NotFittedError(ValueError, AttributeError):
    """Raised by ``transform`` before ``fit`` (same bases as scikit-learn's)."""


def _not_fitted(estimator: RippleEmbedding) -> Exception:
    message = f"This {type(estimator).__name__} instance is not fitted yet; call 'fit' first."
    try:
        from sklearn.exceptions import NotFittedError as SklearnNotFittedError
    except ImportError:
        return NotFittedError(message)
    error: Exception = SklearnNotFittedError(message)
    return error


class RippleEmbedding:
    """Node embedding of a graph by iterated sparse random projection.

    Parameters are those of :func:`graphripple.embed`: ``n_components`` is
    ``dim``, ``random_state`` is ``seed`` (an int, None, or a NumPy
    ``Generator``/``RandomState`` from which one seed is drawn at fit time).

    Attributes after ``fit``: ``embedding_`` (float32, one row per node),
    ``nodes_`` (the label of each row: networkx node, ``Edges`` label or
    row number) and ``seed_`` (the seed used).

    ``keep_terms=True`` makes ``fit`` also keep ``terms_``, the propagated
    matrices X(0) ... X(g-1) that ``embed_new`` reads (g: the index of the
    last non-zero weight, L - 1 for the usual weights): g * n * dim * 4
    bytes held for the model's lifetime (``estimate_memory(...,
    keep_terms=True)`` counts them). ``embedding_`` is the same, bit for
    bit. It needs the whole embedding (no ``columns``) and, for a directed
    fit, ``direction="out"``.
    """

    # The constructor sets one attribute per parameter (see _PARAMETERS).
    random_state: Any
    out: Any
    keep_terms: Any

    embedding_: NDArray[np.float32]
    nodes_: NDArray[Any]
    seed_: int
    terms_: tuple[NDArray[np.float32], ...]

    def __init__(self, *args: Any, **params: Any) -> None:
        # Only stores the arguments: scikit-learn checks them at fit time.
        bound = _SIGNATURE.bind(*args, **params)  # TypeError for unknown or doubled names
        for name, default in _DEFAULTS.items():
            setattr(self, name, bound.arguments.get(name, default))

    # -- scikit-learn parameter protocol ------------------------------------

    @classmethod
    def _param_names(cls) -> list[str]:
        return list(_PARAMETERS)

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor arguments, by name."""
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> RippleEmbedding:
        """Set constructor arguments by name; returns self."""
        valid = self._param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(
                    f"Invalid parameter {name!r} for estimator {type(self).__name__}. "
                    f"Valid parameters are: {sorted(valid)!r}."
                )
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        changed = []
        for name, value in self.get_params().items():
            default = _DEFAULTS[name]
            same = value is default or (type(value) is type(default) and _plain_equal(value, default))
            if not same:
                changed.append(f"{name}={value!r}")
        return f"{type(self).__name__}({', '.join(changed)})"

    def __sklearn_tags__(self) -> Any:
        # Present only when scikit-learn asks; lets its checks see a
        # transformer that takes graphs rather than 2-D arrays.
        from sklearn.utils import Tags, TargetTags, TransformerTags, InputTags

        return Tags(
            estimator_type=None,
            target_tags=TargetTags(required=False),
            transformer_tags=TransformerTags(),
            input_tags=InputTags(two_d_array=False),
        )

    # -- fitting --------------------------------------------------------------

    def fit(self, graph: Any, y: Any = None, *, node_features: ArrayLike | None = None) -> RippleEmbedding:
        """Embed ``graph``; sets ``embedding_``, ``nodes_`` and ``seed_``. Returns self.

        ``y`` is ignored (scikit-learn passes targets there in a Pipeline);
        node features go by keyword only, so that targets are never taken
        for features.
        """
        seed = self._seed()
        kept = None
        if check_value("keep_terms", self.keep_terms):
            embedding, nodes, kept = self._embed_keeping_terms(graph, seed, node_features)
        else:
            embedding, nodes = self._embed(graph, seed, node_features)
        self.embedding_ = embedding
        self.nodes_ = nodes
        self.seed_ = seed
        if kept is not None:
            self.terms_ = kept.terms
            self._kept = kept
        else:  # a refit without terms drops those of an earlier fit
            self.__dict__.pop("terms_", None)
            self.__dict__.pop("_kept", None)
        return self

    def fit_transform(self, graph: Any, y: Any = None, *, node_features: ArrayLike | None = None) -> Any:
        """``fit`` and return ``embedding_``."""
        return self.fit(graph, y, node_features=node_features).embedding_

    def transform(self, graph: Any, *, node_features: ArrayLike | None = None) -> Any:
        """Embed ``graph`` with the fitted seed (the fitted graph gives ``embedding_`` again)."""
        if not hasattr(self, "seed_"):
            raise _not_fitted(self)
        embedding, _ = self._embed(graph, self.seed_, node_features, use_out=False)
        return embedding

    def embed_new(self, edges: Any, node_features: ArrayLike | None = None) -> tuple[NDArray[np.float32], NDArray[Any]]:
        """Embed nodes that are not in the fitted graph: ``(embedding, nodes)``.

        ``edges`` (``Edges``, or a frame ``Edges.from_frame`` takes) go from
        the new nodes (labels not among ``nodes_``; rows in order of first
        appearance, as ``nodes`` lists them) to fitted nodes.
        ``node_features``: one row per new node, when the fit had features.
        Needs a model fitted with ``keep_terms=True``; the fitted rows do not
        change.

        Row i is the row n + i a fit would give the new node, its X(k) built
        from the kept terms of its neighbours: for a directed fit exactly
        the rows n.. of a fit of the fitted edges followed by ``edges``; for
        an undirected fit an approximation, since a refit would also change
        the rows of the neighbours.
        """
        if not hasattr(self, "seed_"):
            raise _not_fitted(self)
        kept = self.__dict__.get("_kept")
        if kept is None:
            raise ValueError("embed_new needs the terms of the fit: fit with keep_terms=True")
        return fold_in.embed_new_rows(kept, self.nodes_, edges, node_features)

    def _seed(self) -> int:
        state = self.random_state
        if state is None:
            return draw_seed()
        if isinstance(state, np.random.Generator):
            return int(state.integers(0, 1 << 64, dtype=np.uint64))
        if isinstance(state, np.random.RandomState):
            return int(state.randint(0, 1 << 63, dtype=np.int64)) * 2 + int(state.randint(0, 2))
        try:
            seed: int = check_value("seed", state, "random_state")
        except TypeError:
            raise TypeError(
                f"random_state must be None, an integer or a NumPy random generator, not {type(state).__name__}"
            ) from None
        return seed

    def _embed(
        self, graph: Any, seed: int, node_features: ArrayLike | None, use_out: bool = True
    ) -> tuple[Any, NDArray[Any]]:
        settings = self._settings(seed)
        check_options(names=self._names(), **settings)
        return embed_labelled(graph, node_features=node_features, out=self.out if use_out else None, **settings)

    def _settings(self, seed: int) -> dict[str, Any]:
        settings = {name: getattr(self, param) for param, name in _PARAMETERS.items() if name in FIT_OPTIONS}
        settings["seed"] = seed
        return settings

    @staticmethod
    def _names() -> dict[str, str]:
        # Messages name the estimator's parameters (n_components, not dim).
        return {name: param for param, name in _PARAMETERS.items() if param != name}

    def _embed_keeping_terms(
        self, graph: Any, seed: int, node_features: ArrayLike | None
    ) -> tuple[Any, NDArray[Any], fold_in.KeptTerms]:
        checked: Options = check_options(names=self._names(), **self._settings(seed))
        if checked.columns is not None and checked.columns != (0, checked.total_columns):
            raise ValueError("keep_terms=True needs the whole embedding: columns must be None")
        if checked.direction != "out":
            raise ValueError(f"keep_terms=True needs direction='out', not {checked.direction!r}: new nodes are "
                             "embedded from their out-edges")
        if checked.combine != "sum":
            raise ValueError(f"keep_terms=True needs combine='sum', not {checked.combine!r}: the fold-in adds "
                             "the new rows' terms as the fit sums them")
        out = self.out
        if out is not None:
            _check_out_kind(out)
        csr = to_csr(graph, undirected=checked.undirected)
        features = _node_features(node_features, csr.num_nodes)
        if out is not None:
            _check_out_shape(out, csr.num_nodes, checked.width)
        if checked.edge_weight == "log1p":
            _check_log1p_weights(csr.values)
        embedding, kept = fold_in.fit_with_terms(csr, checked, features)
        if out is not None:
            out[:, :] = embedding
            embedding = out
        return embedding, csr.nodes, kept

    # -- neighbours -------------------------------------------------------------

    def most_similar(self, node: Any, k: int = 10) -> list[tuple[Any, float]]:
        """The ``k`` fitted nodes nearest to ``node`` by cosine similarity: ``[(label, score), ...]``.

        ``node`` is a label of ``nodes_``; it is left out of its own list. An
        unknown label raises KeyError.
        """
        if not hasattr(self, "embedding_"):
            raise _not_fitted(self)
        from ._similarity import label_row, most_similar

        indices, scores = most_similar(self.embedding_, label_row(self.nodes_, node), k)
        labels = self.nodes_[indices[0]].tolist()
        return list(zip(labels, scores[0].tolist()))


RippleEmbedding.__init__.__signature__ = _SIGNATURE.replace(  # type: ignore[attr-defined]
    parameters=[inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD), *_SIGNATURE.parameters.values()]
)


def _plain_equal(a: Any, b: Any) -> bool:
    try:
        return bool(a == b)
    except Exception:
        return False
