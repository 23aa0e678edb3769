"""Result arrays: layout, ownership, lifetime, and no leaks."""

import gc
import os

import numpy as np
import pytest

import graphripple

from conftest import (
    COL_INDICES,
    DENSE,
    ROW_PTRS,
    VALUES,
    call_csr,
    call_dense,
    refcounts,
    resident_bytes,
    traced_growth,
)


def test_result_array_properties(caller):
    result = caller()
    assert type(result) is np.ndarray
    assert result.dtype == np.float32
    assert result.shape == (4, 8)
    assert result.strides == (32, 4)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.aligned
    assert not result.flags.owndata
    container = type(result.base)
    assert container.__name__ == "PySliceContainer"
    assert container.__module__ == "builtins"
    assert container.__doc__ == (
        "Utility type that safely keeps a natively allocated buffer alive on the Python heap.")


def test_same_container_type_every_time():
    assert type(call_csr().base) is type(call_dense().base)


def test_container_cannot_be_made_or_extended_from_python():
    container = type(call_csr().base)
    with pytest.raises(TypeError):
        container()
    with pytest.raises(TypeError):
        container.__new__(container)
    with pytest.raises(TypeError):
        type("Sub", (container,), {})
    with pytest.raises(TypeError):
        container.release = None


def test_writes_change_only_that_result():
    first, second = call_csr(), call_csr()
    np.testing.assert_array_equal(first, second)
    first[:] = 5.0
    assert (first == 5.0).all()
    assert not (second == 5.0).all()
    np.testing.assert_array_equal(second, call_csr())


@pytest.mark.parametrize("dim", [0, 3])
def test_empty_graph_shapes(dim):
    result = graphripple.fit_csr(np.array([0], dtype=np.int64), np.zeros(0, np.int64), np.zeros(0), 0, dim,
                                 [1.0], seed=0)
    assert result.shape == (0, dim) and result.dtype == np.float32
    assert result.strides == (0, 0)
    assert not result.flags.owndata
    del result
    gc.collect()


def test_zero_dim_shape(caller):
    result = caller(dim=0)
    assert result.shape == (4, 0) and result.size == 0
    assert result.strides == (0, 0)
    assert result.copy().shape == (4, 0)


def test_view_outlives_result():
    result = call_csr(dim=16)
    expected = result[1].copy()
    view = result[1]
    container = result.base
    del result
    gc.collect()
    np.testing.assert_array_equal(view, expected)
    assert view.base.base is container  # the view keeps the result, which keeps the buffer


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_buffer_freed_with_last_view():
    n, dim = 4096, 4096  # 64 MiB of float32
    size = n * dim * 4
    empty = np.zeros(0, np.int64)
    result = graphripple.fit_csr(np.zeros(n + 1, np.int64), empty, np.zeros(0), n, dim, [1.0], seed=1)
    view = result[-1]
    with_result = resident_bytes()
    del result
    gc.collect()
    assert resident_bytes() > with_result - size // 2  # the view keeps it
    del view
    gc.collect()
    assert resident_bytes() < with_result - size // 2


def test_input_refcounts_unchanged():
    features = np.ones((4, 2))
    arrays = [ROW_PTRS, COL_INDICES, VALUES, DENSE, features]
    before = refcounts(arrays)
    for _ in range(50):
        call_csr(node_features=features)
        call_dense(node_features=features)
        with pytest.raises(ValueError):
            call_csr(num_nodes=3, node_features=features)
        with pytest.raises(TypeError):
            call_csr(values=VALUES.astype(np.float32), node_features=features)
        with pytest.raises(ValueError):
            call_dense(node_features=features[:3])
    assert refcounts(arrays) == before


def _fails(function, exc):
    def run():
        try:
            function()
        except exc:
            pass
        else:
            raise AssertionError("expected a failure")
    return run


@pytest.mark.parametrize(
    "name, function",
    [
        ("csr", lambda: call_csr(node_features=np.ones((4, 2)))),
        ("dense", lambda: call_dense()),
        ("adj_list", lambda: graphripple.fit_adj_list([[(1, 1.0)], [(0, 2.0)]], 4, (1.0, 0.5), seed=3)),
        ("graph error", _fails(lambda: call_csr(num_nodes=9), ValueError)),
        ("conversion error", _fails(lambda: call_csr(weights=[1.0, "x"]), TypeError)),
        ("adj_list error", _fails(lambda: graphripple.fit_adj_list([[(0, 1.0), [1, 2]]], 2, [1.0]), TypeError)),
        ("binding error", _fails(lambda: graphripple.fit_dense(DENSE, 2, [1.0], bad=1), TypeError)),
        ("contiguity error", _fails(lambda: call_csr(values=np.repeat(VALUES, 2)[::2]), ValueError)),
    ],
)
def test_no_leak_over_many_calls(name, function):
    assert traced_growth(function) < 64 * 1024, name
