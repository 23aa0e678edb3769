"""Module surface and argument binding."""

import inspect
import subprocess
import sys

import numpy as np
import pytest

import graphripple
from graphripple import _native_core

from conftest import DENSE, call_dense


def test_module_surface():
    assert _native_core.__all__ == ["fit_dense", "fit_csr", "fit_adj_list"]
    assert _native_core.__doc__ == ""
    public = {name for name in vars(_native_core) if not name.startswith("__")}
    assert public == {"fit_dense", "fit_csr", "fit_adj_list"}
    assert not hasattr(_native_core, "PySliceContainer")
    assert graphripple.fit_csr is _native_core.fit_csr


@pytest.mark.parametrize(
    "name, signature",
    [
        ("fit_csr", "(row_ptrs, col_indices, values, num_nodes, dim, weights, seed=None, "
                    "undirected=True, node_features=None, feature_weight=1.0)"),
        ("fit_dense", "(adj_matrix, dim, weights, seed=None, undirected=True, "
                      "node_features=None, feature_weight=1.0)"),
        ("fit_adj_list", "(adj_list, dim, iter_weights, seed=None, undirected=True, "
                         "node_features=None, feature_weight=1.0)"),
    ],
)
def test_signature_and_docstring(name, signature):
    function = getattr(_native_core, name)
    assert function.__doc__ is None
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(function).parameters.values())
    assert function.__module__ == _native_core.__name__


def test_import_does_not_import_numpy():
    code = "import sys, graphripple; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


A = np.zeros((2, 2))


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        (graphripple.fit_dense, (A, 2, [1.0], None, True, None, 1.0, "extra"), {},
         "fit_dense() takes from 3 to 7 positional arguments but 8 were given"),
        (graphripple.fit_csr, tuple(range(11)), {},
         "fit_csr() takes from 6 to 10 positional arguments but 11 were given"),
        (graphripple.fit_csr, (1, 2, 3, 4, 5), {},
         "fit_csr() missing 1 required positional argument: 'weights'"),
        (graphripple.fit_csr, (1, 2, 3), {},
         "fit_csr() missing 3 required positional arguments: 'num_nodes', 'dim', and 'weights'"),
        (graphripple.fit_dense, (A,), {},
         "fit_dense() missing 2 required positional arguments: 'dim' and 'weights'"),
        (graphripple.fit_adj_list, (), {"dim": 2},
         "fit_adj_list() missing 2 required positional arguments: 'adj_list' and 'iter_weights'"),
        (graphripple.fit_csr, (1, 2, 3, 4, 5, 6), {"row_ptrs": 1},
         "fit_csr() got multiple values for argument 'row_ptrs'"),
        (graphripple.fit_adj_list, ([], 2), {"weights": [1.0]},
         "fit_adj_list() got an unexpected keyword argument 'weights'"),
        (graphripple.fit_dense, (A, 2, [1.0]), {"sed": 1},
         "fit_dense() got an unexpected keyword argument 'sed'"),
    ],
)
def test_binding_errors(function, args, kwargs, message):
    # Garbage in the given slots proves binding runs before any conversion.
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_unknown_keyword_reported_before_missing():
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        graphripple.fit_csr(bogus=1)


def test_keywords_in_any_order():
    by_keyword = graphripple.fit_dense(weights=[1.0, 1.0], dim=4, adj_matrix=DENSE, seed=3)
    by_position = graphripple.fit_dense(DENSE, 4, [1.0, 1.0], 3)
    np.testing.assert_array_equal(by_keyword, by_position)


def test_none_means_not_given():
    np.testing.assert_array_equal(call_dense(node_features=None), call_dense())
    # Without a seed every call draws fresh randomness, given None or not.
    assert not np.array_equal(call_dense(seed=None), call_dense(seed=None))
    assert call_dense(seed=None).shape == graphripple.fit_dense(DENSE, 8, [0.0, 1.0, 1.0]).shape


def test_isolated_subinterpreters_refused():
    interpreters = pytest.importorskip("_interpreters", reason="needs the 3.13 interpreters module")
    interp = interpreters.create()
    try:
        failure = interpreters.exec(interp, "import graphripple._native_core")
    finally:
        interpreters.destroy(interp)
    assert failure is not None and failure.type.__name__ == "ImportError"
    assert "does not support loading in subinterpreters" in failure.msg
