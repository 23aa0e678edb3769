"""Property-based fuzzing of the three functions with hostile arguments.

Whatever is passed (wrong dtypes and shapes, odd strides, huge integers,
objects whose __len__, __iter__, __index__ or __float__ lie or raise), a
call either returns a float32 (n, dim) array or raises one of the ordinary
argument errors; never SystemError, PanicException or a crash. Exceptions
raised by the caller's own objects pass through unchanged. About half the
examples are well formed throughout (a valid graph, dim, weights and
settings), and those calls must succeed.

GRAPHRIPPLE_FUZZ_EXAMPLES raises the number of examples per test.
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import graphripple

# __float__ returning a float subclass is deprecated, and that is one of the
# lies told below.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

EXAMPLES = int(os.environ.get("GRAPHRIPPLE_FUZZ_EXAMPLES", "150"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller as is."""


EXPECTED = (TypeError, ValueError, OverflowError, AttributeError, Boom)
RAISE = object()  # as a hostile object's result: raise a fresh Boom instead


# ---- hostile scalars ------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is RAISE:
            raise Boom("index")
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if self.value is RAISE:
            raise Boom("float")
        return self.value


class IntSubclass(int):
    pass


class FloatSubclass(float):
    def __float__(self):
        raise Boom("never called for a float subclass")


class Bad:
    """Every conversion fails: no number protocol, and __bool__ raises."""

    def __bool__(self):
        raise Boom("truth")


huge_ints = st.sampled_from([2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -1, -(2**63), -(2**64)])
ints = st.one_of(st.integers(0, 6), huge_ints, st.integers())
odd_values = st.sampled_from([None, "3", b"3", 3.0, float("nan"), 1j, [], (), Bad(), object, ..., np.float32(2)])
index_results = st.one_of(ints, st.sampled_from([RAISE, 2.0, "4", None, True, IntSubclass(3)]))
float_results = st.one_of(
    st.floats(), st.sampled_from([RAISE, 2, "1.0", None, 10**400, FloatSubclass(0.5)]))

unsigned_like = st.one_of(
    ints, odd_values, st.booleans(),
    st.builds(Index, index_results),
    st.sampled_from([np.int64(3), np.uint64(2**64 - 1), np.int8(-1), np.bool_(True), np.float64(3.0),
                     IntSubclass(2), np.array(4), np.array([4])]),
)
float_like = st.one_of(
    st.floats(), st.integers(-3, 3), st.sampled_from([10**400, -(10**400), 2**64]), odd_values,
    st.builds(Real, float_results), st.builds(Index, index_results),
    st.sampled_from([np.float32(0.5), np.float64("nan"), np.int64(2), FloatSubclass(1.5), np.bool_(False)]),
)
bool_like = st.one_of(
    st.booleans(), st.sampled_from([np.bool_(True), np.bool_(False), 0, 1, None, "True", Bad(), np.int64(1)]))


# ---- hostile sequences ----------------------------------------------------------

class LyingSequence:
    """A sequence whose length, iteration or items can lie or raise."""

    def __init__(self, items, length, iteration):
        self.items, self.length, self.iteration = items, length, iteration

    def __len__(self):
        if self.length is RAISE:
            raise Boom("len")
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.iteration == "raise":
            raise Boom("iter")
        if self.iteration == "not an iterator":
            return 5
        if self.iteration == "fail midway":
            return self._fail_midway()
        return iter(self.items)

    def _fail_midway(self):
        yield from self.items[: len(self.items) // 2]
        raise Boom("midway")


lengths = st.one_of(st.integers(0, 5), st.sampled_from([-1, 2**31, 2**62, 2**63 - 1, 2**70, "2", 2.0, RAISE]))
iterations = st.sampled_from(["plain", "raise", "not an iterator", "fail midway"])


def sequences(items):
    """Sequence-shaped containers of `items`, well behaved or not."""
    lists = st.lists(items, max_size=5)
    return st.one_of(
        lists, lists.map(tuple),
        st.builds(LyingSequence, lists, lengths, iterations),
        lists.map(lambda xs: (x for x in xs)),       # an iterator, not a sequence
        lists.map(lambda xs: dict(enumerate(xs))),   # a mapping
        st.sampled_from(["", "ab", b"\x01\x02", bytearray(b"\x03"), range(3), None, 5, {1.0}]),
    )


weights_like = st.one_of(
    sequences(float_like),
    st.lists(st.floats(width=64), max_size=4).map(np.array),
    st.lists(st.floats(-2, 2), max_size=4).map(lambda xs: np.array(xs, dtype=np.float32)),
    st.sampled_from([np.array([[1.0, 2.0]]), np.array(["a"]), np.array([1.0, 2.0], dtype=object),
                     np.zeros(0), np.float64(1.0)]),
)


# ---- hostile arrays -------------------------------------------------------------

DTYPES = [np.int64, np.float64, np.int32, np.uint64, np.float32, ">f8", ">i8", np.bool_, np.complex128,
          object, np.int16]


def _reshape(array, kind):
    if kind == "2d" and array.size % 2 == 0:
        return array.reshape(2, -1) if array.size else array.reshape(0, 2)
    if kind == "3d":
        return array.reshape(1, 1, -1)
    if kind == "0d" and array.size:
        return np.array(array.ravel()[0])
    return array


def _restride(array, kind):
    if array.ndim == 0:
        return array
    if kind == "reversed":
        return array[::-1]
    if kind == "step":
        return np.repeat(array, 2, axis=0)[::2]
    if kind == "transposed":
        return array.T
    if kind == "broadcast" and array.size:
        return np.broadcast_to(array[:1], array.shape)  # zero stride, read-only
    if kind == "misaligned" and array.dtype != object and array.size:
        raw = np.zeros(array.nbytes + 1, dtype=np.uint8)
        view = raw[1:].view(array.dtype).reshape(array.shape)
        view[...] = array
        return view
    if kind == "fortran":
        return np.asfortranarray(array)
    return array


@st.composite
def arrays(draw, int_like):
    """An array of any dtype, 0 to 3 dimensions and any layout, with values
    that are mostly plausible for the parameter."""
    if int_like:
        values = draw(st.lists(st.one_of(st.integers(-2, 8), st.sampled_from([2**63 - 1, -(2**63)])),
                               max_size=12))
    else:
        values = draw(st.lists(st.floats(), max_size=12))
    dtype = draw(st.sampled_from(DTYPES))
    try:
        with np.errstate(all="ignore"):
            array = np.array(values, dtype=np.int64 if int_like else np.float64).astype(dtype)
    except (OverflowError, ValueError):
        array = np.zeros(len(values), dtype=dtype)
    array = _reshape(array, draw(st.sampled_from(["1d", "1d", "2d", "3d", "0d"])))
    return _restride(array, draw(st.sampled_from(["none", "reversed", "step", "transposed", "broadcast",
                                                  "misaligned", "fortran"])))


def any_array(int_like):
    return st.one_of(arrays(int_like), odd_values, sequences(st.integers(0, 4)))


@st.composite
def csr_parts(draw, broken=True):
    """Valid CSR arrays of a small graph, or (when `broken` allows) the same
    slightly broken."""
    n = draw(st.integers(0, 6))
    counts = draw(st.lists(st.integers(0, 4), min_size=n, max_size=n))
    nnz = sum(counts)
    row_ptrs = np.cumsum([0] + counts).astype(np.int64)
    cols = np.array(draw(st.lists(st.integers(0, max(n - 1, 0)), min_size=nnz, max_size=nnz)), dtype=np.int64)
    values = np.array(draw(st.lists(st.floats(), min_size=nnz, max_size=nnz)), dtype=np.float64)
    num_nodes = n
    breakage = draw(st.sampled_from(["none", "none", "none", "row_ptrs", "cols", "num_nodes", "values"]
                                    if broken else ["none"]))
    if breakage == "row_ptrs" and row_ptrs.size:
        row_ptrs[draw(st.integers(0, row_ptrs.size - 1))] = draw(st.sampled_from([-1, 2**63 - 1, 1, 100]))
    elif breakage == "cols" and cols.size:
        cols[draw(st.integers(0, cols.size - 1))] = draw(st.sampled_from([-1, n, 2**62]))
    elif breakage == "num_nodes":
        num_nodes = draw(st.one_of(unsigned_like, st.integers(0, 8)))
    elif breakage == "values":
        values = values[: max(values.size - 1, 0)]
    return row_ptrs, cols, values, num_nodes


dims = st.one_of(st.integers(0, 9), unsigned_like, st.sampled_from([2**44, 2**62, 2**63, 2**64 - 1]))
seeds = st.one_of(st.none(), st.integers(0, 2**64 - 1), unsigned_like)


def features(draw):
    return draw(st.one_of(
        st.none(),
        st.builds(lambda r, c, k: _restride(np.ones((r, c)) * np.arange(c), k),
                  st.integers(0, 7), st.integers(0, 3),
                  st.sampled_from(["none", "reversed", "transposed", "broadcast", "misaligned", "fortran"])),
        any_array(False),
    ))


def settings_kwargs(draw):
    """The shared optional settings, each present or not."""
    kwargs = {}
    for name, strategy in [("seed", seeds), ("undirected", bool_like), ("feature_weight", float_like)]:
        if draw(st.booleans()):
            kwargs[name] = draw(strategy)
    if draw(st.booleans()):
        kwargs["node_features"] = features(draw)
    return kwargs


valid_dims = st.integers(0, 9)
valid_weights = st.lists(st.floats(), max_size=4)


def valid_settings_kwargs(draw, n):
    """Optional settings that are all valid for a graph of n nodes."""
    kwargs = {}
    valid = [("seed", st.one_of(st.none(), st.integers(0, 2**64 - 1))), ("undirected", st.booleans()),
             ("feature_weight", st.floats())]
    for name, strategy in valid:
        if draw(st.booleans()):
            kwargs[name] = draw(strategy)
    if draw(st.booleans()):
        kind = draw(st.sampled_from(["none", "reversed", "step", "fortran", "misaligned"]))
        columns = draw(st.integers(0, 3))
        kwargs["node_features"] = _relayout(np.arange(n * columns, dtype=np.float64).reshape(n, columns), kind)
    return kwargs


# ---- checking one call ----------------------------------------------------------

def check_call(function, *args, rows=None, must_succeed=False, **kwargs):
    """Calls `function`; the outcome must be a well-formed result or, unless
    the arguments are all valid (`must_succeed`), an expected exception.
    Anything else (SystemError, PanicException, which derives from
    BaseException) fails the test."""
    try:
        result = function(*args, **kwargs)
    except EXPECTED as error:
        if must_succeed:
            raise AssertionError(f"valid arguments refused: {error!r}") from error
        if isinstance(error, Boom):
            notes = getattr(error, "__notes__", [])
            assert len(notes) == 1 and notes[0].startswith("while processing '"), notes
        return None
    assert type(result) is np.ndarray and result.dtype == np.float32 and result.ndim == 2
    assert result.flags.c_contiguous and result.flags.writeable
    if rows is not None:
        assert result.shape[0] == rows
    if result.size:
        result[...] = 0  # the buffer is really writable
    return result


def dim_arg(draw):
    return draw(dims)


@FUZZ
@given(st.data())
def test_fit_csr_survives_anything(data):
    draw = data.draw
    if draw(st.booleans()):
        row_ptrs, cols, values, num_nodes = draw(csr_parts(broken=False))
        dim = draw(valid_dims)
        result = check_call(graphripple.fit_csr, row_ptrs, cols, values, num_nodes, dim, draw(valid_weights),
                            must_succeed=True, **valid_settings_kwargs(draw, num_nodes))
        assert result.shape == (num_nodes, dim)
        return
    row_ptrs, cols, values, num_nodes = draw(csr_parts())
    if draw(st.booleans()):
        row_ptrs = draw(st.one_of(st.just(row_ptrs), any_array(True)))
        cols = draw(st.one_of(st.just(cols), any_array(True)))
        values = draw(st.one_of(st.just(values), any_array(False)))
    dim = dim_arg(draw)
    result = check_call(graphripple.fit_csr, row_ptrs, cols, values, num_nodes, dim, draw(weights_like),
                        **settings_kwargs(draw))
    if result is not None:
        assert result.shape == (int(num_nodes), int(dim))


@st.composite
def adjacency_lists(draw):
    n = draw(st.integers(0, 6))
    pair_items = st.one_of(
        st.tuples(st.integers(0, max(n - 1, 0)), st.floats()),
        st.tuples(unsigned_like, float_like),
        st.sampled_from([(1,), (1, 2.0, 3), [0, 1.0], "01", None, (0, 1.0)]),
    )
    rows = draw(st.lists(st.one_of(sequences(pair_items), st.lists(pair_items, max_size=4)), min_size=n,
                         max_size=n))
    return draw(st.one_of(st.just(rows), st.just(tuple(rows)), sequences(st.just([])),
                          st.builds(LyingSequence, st.just(rows), lengths, iterations)))


@FUZZ
@given(st.data())
def test_fit_adj_list_survives_anything(data):
    draw = data.draw
    if draw(st.booleans()):
        n = draw(st.integers(0, 6))
        pairs = st.tuples(st.integers(0, max(n - 1, 0)), st.floats())
        adj_list = draw(st.lists(st.lists(pairs, max_size=4) if n else st.just([]), min_size=n, max_size=n))
        dim = draw(valid_dims)
        result = check_call(graphripple.fit_adj_list, adj_list, dim, draw(valid_weights), must_succeed=True,
                            **valid_settings_kwargs(draw, n))
        assert result.shape == (n, dim)
        return
    adj_list = draw(adjacency_lists())
    rows = len(adj_list) if isinstance(adj_list, (list, tuple)) else None
    dim = dim_arg(draw)
    result = check_call(graphripple.fit_adj_list, adj_list, dim, draw(weights_like), rows=rows,
                        **settings_kwargs(draw))
    if result is not None:
        assert result.shape[1] == int(dim)


@FUZZ
@given(st.data())
def test_fit_dense_survives_anything(data):
    draw = data.draw
    n = draw(st.integers(0, 6))
    square = np.array(draw(st.lists(st.floats(), min_size=n * n, max_size=n * n))).reshape(n, n)
    if draw(st.booleans()):
        kind = draw(st.sampled_from(["none", "reversed", "transposed", "broadcast", "misaligned", "fortran"]))
        dim = draw(valid_dims)
        result = check_call(graphripple.fit_dense, _restride(square, kind), dim, draw(valid_weights),
                            must_succeed=True, **valid_settings_kwargs(draw, n))
        assert result.shape == (n, dim)
        return
    adj = draw(st.one_of(
        st.just(square),
        st.sampled_from(["none", "reversed", "transposed", "broadcast", "misaligned", "fortran"]).map(
            lambda kind: _restride(square, kind)),
        any_array(False),
    ))
    dim = dim_arg(draw)
    result = check_call(graphripple.fit_dense, adj, dim, draw(weights_like), **settings_kwargs(draw))
    if result is not None:
        assert result.shape == (adj.shape[0], int(dim))


# ---- one graph, three forms -------------------------------------------------------

@st.composite
def simple_graphs(draw):
    """A graph without repeated edges or stored zeros, so that all three
    input forms describe exactly the same matrix."""
    n = draw(st.integers(1, 7))
    pairs = draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(0, n - 1)), unique=True, max_size=20))
    weights = draw(st.lists(st.one_of(st.floats(-1e3, 1e3).filter(lambda w: w != 0), st.just(float("nan"))),
                            min_size=len(pairs), max_size=len(pairs)))
    return n, [(s, t, w) for (s, t), w in zip(pairs, weights)]


def _relayout(matrix, kind):
    """The same matrix, elementwise, in another memory layout."""
    if kind == "reversed":
        return matrix[::-1, ::-1].copy()[::-1, ::-1]
    if kind == "step":
        return np.repeat(matrix, 2, axis=1)[:, ::2]
    return _restride(matrix, kind)


@FUZZ
@given(simple_graphs(), st.integers(0, 9), st.lists(st.floats(-2, 2), max_size=4), st.integers(0, 2**64 - 1),
       st.booleans(), st.integers(0, 3), st.sampled_from(["none", "reversed", "step", "fortran", "misaligned"]))
def test_three_forms_agree(graph, dim, weights, seed, undirected, feature_cols, layout):
    n, edges = graph
    order = sorted(edges, key=lambda e: (e[0], e[1]))
    row_ptrs = np.searchsorted([s for s, _, _ in order], np.arange(n + 1)).astype(np.int64)
    cols = np.array([t for _, t, _ in order], dtype=np.int64)
    values = np.array([w for _, _, w in order], dtype=np.float64)
    dense = np.zeros((n, n))
    adj_list = [[] for _ in range(n)]
    for s, t, w in edges:  # unsorted order for the list form
        dense[s, t] = w
        adj_list[s].append((t, w))
    node_features = None
    if feature_cols:
        base = np.arange(n * feature_cols, dtype=np.float64).reshape(n, feature_cols) / 7
        node_features = _relayout(base, layout)
    kwargs = dict(seed=seed, undirected=undirected, node_features=node_features, feature_weight=0.75)
    by_csr = graphripple.fit_csr(row_ptrs, cols, values, n, dim, weights, **kwargs)
    by_dense = graphripple.fit_dense(_relayout(dense, layout), dim, weights, **kwargs)
    by_list = graphripple.fit_adj_list(adj_list, dim, weights, **kwargs)
    assert by_csr.shape == (n, dim)
    np.testing.assert_array_equal(by_dense, by_csr)
    np.testing.assert_array_equal(by_list, by_csr)
    np.testing.assert_array_equal(graphripple.fit_csr(row_ptrs, cols, values, n, dim, weights, **kwargs), by_csr)


@pytest.mark.parametrize("function", ["fit_csr", "fit_dense", "fit_adj_list"])
def test_interpreter_survives_a_fuzzed_subprocess(function):
    # A crash in native code would take the interpreter with it; run a short
    # burst of hostile calls in a child so the suite reports it as a failure.
    import subprocess
    import sys

    code = (
        "import numpy as np, graphripple\n"
        f"f = graphripple.{function}\n"
        "bad = [None, 'x', 2**64, -1, np.zeros((2, 2), '>f8'), np.zeros(3, np.int32)[::-1], object(),\n"
        "       [[(0, 1.0)]], [1.0], np.zeros((2, 2))[:, ::-1], np.zeros((0, 3)), 2**63]\n"
        "for a in bad:\n"
        "    for b in bad:\n"
        "        try:\n"
        "            f(*([a] * (6 if f is graphripple.fit_csr else 3)), seed=b)\n"
        "        except (TypeError, ValueError, OverflowError, AttributeError):\n"
        "            pass\n"
        "print('alive')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0 and out.stdout.strip() == "alive", out.stderr[-2000:]
