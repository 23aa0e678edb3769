"""Argument conversion: accepted values, refusals, notes, contiguity, copies."""

import numpy as np
import pytest

import graphripple

from conftest import (
    ADJ_LIST, COL_INDICES, DENSE, ROW_PTRS, VALUES, call_adj_list, call_csr, call_dense,
    raises_with_note,
)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 2.0


class MyArray(np.ndarray):
    pass


# ---- array parameters -------------------------------------------------------

@pytest.mark.parametrize(
    "param, value, message",
    [
        ("row_ptrs", [0, 2, 3, 4, 4], "'list' object is not an instance of 'ndarray'"),
        ("row_ptrs", None, "'None' is not an instance of 'ndarray'"),
        ("row_ptrs", ROW_PTRS.astype(np.int32), "'ndarray' object is not an instance of 'ndarray'"),
        ("row_ptrs", ROW_PTRS.astype(np.uint64), "'ndarray' object is not an instance of 'ndarray'"),
        ("col_indices", COL_INDICES.reshape(2, 2), "'ndarray' object is not an instance of 'ndarray'"),
        ("values", VALUES.astype(np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        ("values", VALUES.astype(">f8"), "'ndarray' object is not an instance of 'ndarray'"),
        ("values", np.float64(1.0), "'float64' object is not an instance of 'ndarray'"),
    ],
)
def test_csr_array_refusals(param, value, message):
    with pytest.raises(TypeError) as info:
        call_csr(**{param: value})
    assert str(info.value) == message
    assert raises_with_note(info, f"while processing '{param}'")


@pytest.mark.parametrize(
    "call, param, value",
    [
        (call_dense, "adj_matrix", DENSE.ravel()),
        (call_dense, "adj_matrix", DENSE.astype(np.float32)),
        (call_dense, "node_features", np.ones((4, 2, 1))),
        (call_adj_list, "node_features", np.ones((4, 2), dtype=np.int64)),
    ],
)
def test_matrix_refusals(call, param, value):
    with pytest.raises(TypeError) as info:
        call(**{param: value})
    assert str(info.value) == "'ndarray' object is not an instance of 'ndarray'"
    assert raises_with_note(info, f"while processing '{param}'")


def test_ndarray_subclass_and_readonly_arrays_accepted():
    expected = call_csr()
    readonly = ROW_PTRS.copy()
    readonly.flags.writeable = False
    np.testing.assert_array_equal(call_csr(row_ptrs=readonly, values=VALUES.view(MyArray)), expected)


# ---- scalars -------------------------------------------------------------------

@pytest.mark.parametrize(
    "param, value, exc",
    [
        ("dim", -1, OverflowError),
        ("dim", 2**64, OverflowError),
        ("dim", 4.0, TypeError),
        ("dim", "4", TypeError),
        ("dim", None, TypeError),
        ("num_nodes", -4, OverflowError),
        ("seed", -1, OverflowError),
        ("seed", 1.5, TypeError),
        ("undirected", 1, TypeError),
        ("undirected", None, TypeError),
        ("undirected", "yes", TypeError),
        ("feature_weight", None, TypeError),
        ("feature_weight", "1.0", TypeError),
    ],
)
def test_scalar_refusals(param, value, exc):
    with pytest.raises(exc) as info:
        call_csr(**{param: value})
    assert type(info.value) is exc
    assert raises_with_note(info, f"while processing '{param}'")


@pytest.mark.parametrize(
    "value, message",
    [(1, "'int' object is not an instance of 'bool'"), (None, "'None' is not an instance of 'bool'")],
)
def test_bool_messages(value, message):
    with pytest.raises(TypeError) as info:
        call_dense(undirected=value)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "overrides, same_as",
    [
        ({"dim": np.int64(8)}, {}),
        ({"dim": Index(8)}, {}),
        ({"seed": np.uint64(7)}, {}),
        ({"seed": True}, {"seed": 1}),
        ({"undirected": np.bool_(False)}, {"undirected": False}),
        ({"undirected": np.bool_(True)}, {}),
        ({"feature_weight": 2, "node_features": np.ones((4, 2))},
         {"feature_weight": 2.0, "node_features": np.ones((4, 2))}),
        ({"feature_weight": Real(), "node_features": np.ones((4, 2))},
         {"feature_weight": 2.0, "node_features": np.ones((4, 2))}),
        ({"weights": (0.0, 1, np.float32(1.0))}, {}),
        ({"weights": np.array([0.0, 1.0, 1.0])}, {}),
    ],
)
def test_accepted_scalar_forms(overrides, same_as):
    np.testing.assert_array_equal(call_dense(**overrides), call_dense(**same_as))


def test_largest_seed_accepted():
    assert call_dense(seed=2**64 - 1).shape == (4, 8)


# ---- weight sequences ------------------------------------------------------------

@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        (3.0, TypeError, "'float' object is not an instance of 'Sequence'"),
        ({0: 1.0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        ([1.0, "x"], TypeError, None),
        ([1.0, None], TypeError, None),
    ],
)
@pytest.mark.parametrize("call, name", [(call_dense, "weights"), (call_adj_list, "iter_weights")])
def test_weight_refusals(call, name, value, exc, message):
    with pytest.raises(exc) as info:
        call(weights=value)
    if message is not None:
        assert str(info.value) == message
    assert raises_with_note(info, f"while processing '{name}'")


def test_empty_weights_give_zeros():
    result = call_dense(weights=())
    assert result.shape == (4, 8) and not result.any()


class LyingSequence:
    """A sequence whose __len__ is not to be trusted."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [2**40, 2**62, 2**63 - 1, 0, RuntimeError("no length")])
def test_length_is_only_a_hint(length):
    # Trusting these lengths would mean reserving terabytes (a panic) or
    # nothing at all; either way the items actually present are converted.
    result = call_dense(weights=LyingSequence([0.0, 1.0, 1.0], length))
    adj = LyingSequence([LyingSequence(row, length) for row in ADJ_LIST], length)
    np.testing.assert_array_equal(result, call_dense())
    np.testing.assert_array_equal(call_adj_list(adj_list=adj), call_adj_list())


def test_iteration_error_propagates():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            raise KeyError("boom")

    with pytest.raises(KeyError) as info:
        call_dense(weights=Broken())
    assert raises_with_note(info, "while processing 'weights'")


# ---- adjacency lists -------------------------------------------------------------

@pytest.mark.parametrize(
    "adj_list, exc, message",
    [
        ([[[1, 0.5]], []], TypeError, "'list' object is not an instance of 'tuple'"),
        ([[(1, 0.5, 2)], []], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([[()], []], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([[(-1, 0.5)], []], OverflowError, None),
        ([[(1.0, 0.5)], []], TypeError, None),
        ([[(1, "w")], []], TypeError, None),
        ("ab", TypeError, "Can't extract `str` to `Vec`"),
        (["ab"], TypeError, "Can't extract `str` to `Vec`"),
        ([[(0, 1.0)], 5], TypeError, "'int' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ],
)
def test_adj_list_refusals(adj_list, exc, message):
    with pytest.raises(exc) as info:
        call_adj_list(adj_list=adj_list)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert raises_with_note(info, "while processing 'adj_list'")


def test_adj_list_accepts_sequences_and_tuple_subclasses():
    from collections import namedtuple

    Pair = namedtuple("Pair", "target weight")
    as_tuples = tuple(tuple(Pair(*p) for p in row) for row in ADJ_LIST)
    np.testing.assert_array_equal(call_adj_list(adj_list=as_tuples), call_adj_list())
    two = graphripple.fit_adj_list([[(1, 0.5)], []], 3, [1.0], seed=0)
    assert two.shape == (2, 3)


# ---- contiguity ------------------------------------------------------------------

@pytest.mark.parametrize("param", ["row_ptrs", "col_indices", "values"])
def test_strided_vector_refused(param):
    base = {"row_ptrs": ROW_PTRS, "col_indices": COL_INDICES, "values": VALUES}[param]
    strided = np.repeat(base, 2)[::2]
    with pytest.raises(ValueError) as info:
        call_csr(**{param: strided})
    assert str(info.value) == (
        f"{param} must be contiguous: The given array is not contiguous or is misaligned.")
    assert not hasattr(info.value, "__notes__")


def test_misaligned_vector_refused():
    raw = np.zeros(VALUES.nbytes + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64)
    misaligned[:] = VALUES
    with pytest.raises(ValueError, match="^values must be contiguous"):
        call_csr(values=misaligned)


def test_contiguity_edge_cases():
    expected = call_csr()
    np.testing.assert_array_equal(call_csr(row_ptrs=np.asfortranarray(ROW_PTRS)), expected)
    empty_strided = np.zeros(4, dtype=np.int64)[::2][:0]
    result = graphripple.fit_csr(np.array([0, 0]), empty_strided, np.zeros(0), 1, 3, [1.0], seed=0)
    assert result.shape == (1, 3)


def test_conversion_precedes_contiguity():
    with pytest.raises(TypeError) as info:
        call_csr(col_indices=np.repeat(COL_INDICES, 2)[::2], values=VALUES.astype(np.float32))
    assert raises_with_note(info, "while processing 'values'")


# ---- matrix copies ---------------------------------------------------------------

def _layouts(matrix):
    """The same logical matrix in many memory layouts."""
    padded = np.zeros((matrix.shape[0], 2 * matrix.shape[1]))
    padded[:, ::2] = matrix
    yield "fortran", np.asfortranarray(matrix)
    yield "reversed rows", np.ascontiguousarray(matrix[::-1])[::-1]
    yield "reversed cols", np.ascontiguousarray(matrix[:, ::-1])[:, ::-1]
    yield "both reversed", np.ascontiguousarray(matrix[::-1, ::-1])[::-1, ::-1]
    yield "fortran reversed", np.asfortranarray(matrix[::-1])[::-1]
    yield "every second column", padded[:, ::2]
    yield "transposed view", np.ascontiguousarray(matrix.T).T


def _unaligned(matrix):
    raw = np.zeros(matrix.size * 8 + 1, dtype=np.uint8)
    view = np.ndarray(matrix.shape, dtype=np.float64, buffer=raw, offset=1)
    view[...] = matrix
    return view


def _broadcast_row(row, n):
    return np.broadcast_to(row, (n, row.size))


LAYOUT_NAMES = [name for name, _ in _layouts(DENSE)]


@pytest.mark.parametrize("layout", LAYOUT_NAMES + ["unaligned"])
def test_adj_matrix_layouts(layout):
    variant = _unaligned(DENSE) if layout == "unaligned" else dict(_layouts(DENSE))[layout]
    assert np.array_equal(variant, DENSE)
    np.testing.assert_array_equal(call_dense(adj_matrix=variant), call_dense())


@pytest.mark.parametrize("layout", LAYOUT_NAMES + ["unaligned", "broadcast"])
def test_node_feature_layouts(layout):
    features = np.arange(12, dtype=np.float64).reshape(4, 3) - 5.0
    if layout == "unaligned":
        variant = _unaligned(features)
    elif layout == "broadcast":
        features = np.broadcast_to(features[1], (4, 3)).copy()
        variant = _broadcast_row(features[0], 4)
    else:
        variant = dict(_layouts(features))[layout]
    expected = call_csr(node_features=features, feature_weight=0.5)
    np.testing.assert_array_equal(call_csr(node_features=variant, feature_weight=0.5), expected)


def test_inputs_are_not_written():
    inputs = [ROW_PTRS, COL_INDICES, VALUES, DENSE]
    before = [a.copy() for a in inputs]
    features = np.ones((4, 2))
    call_csr(node_features=features)
    call_dense(node_features=features)
    for a, b in zip(inputs + [features], before + [np.ones((4, 2))]):
        np.testing.assert_array_equal(a, b)
