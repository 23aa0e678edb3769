"""Graph conversion: what each accepted kind becomes as CSR arrays."""

import subprocess
import sys

import numpy as np
import pytest

import graphripple
from graphripple import Edges, to_csr

sp = pytest.importorskip("scipy.sparse")
nx = pytest.importorskip("networkx")


def entries(csr):
    """The stored entries as (row, col, value) triples, in stored order."""
    rows = np.repeat(np.arange(csr.num_nodes), np.diff(csr.row_ptrs))
    return list(zip(rows.tolist(), csr.col_indices.tolist(), csr.values.tolist()))


def check_arrays(csr):
    assert csr.row_ptrs.dtype == np.int64 and csr.col_indices.dtype == np.int64
    assert csr.values.dtype == np.float64
    for array in (csr.row_ptrs, csr.col_indices, csr.values):
        assert array.ndim == 1 and array.flags.c_contiguous
    assert csr.row_ptrs.shape == (csr.num_nodes + 1,) and csr.nodes.shape == (csr.num_nodes,)


def test_import_does_not_load_the_optional_packages():
    # Every public name is touched, so the whole Python layer is imported.
    code = (
        "import sys, graphripple\n"
        "[getattr(graphripple, name) for name in graphripple.__all__]\n"
        "print(*[m in sys.modules for m in ('scipy', 'networkx', 'sklearn', 'pyarrow', 'dask')])"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.split() == ["False"] * 5


class TestScipy:
    def test_canonical_csr_is_passed_without_copy(self):
        matrix = sp.csr_array(np.array([[0.0, 1.0], [2.0, 0.0]]))
        matrix.indptr = matrix.indptr.astype(np.int64)
        matrix.indices = matrix.indices.astype(np.int64)
        csr = to_csr(matrix)
        assert csr.row_ptrs is matrix.indptr or np.shares_memory(csr.row_ptrs, matrix.indptr)
        assert np.shares_memory(csr.col_indices, matrix.indices)
        assert np.shares_memory(csr.values, matrix.data)

    @pytest.mark.parametrize("fmt", ["csr", "csc", "coo", "lil", "dok", "bsr", "dia"])
    @pytest.mark.parametrize("container", ["array", "matrix"])
    def test_every_format_gives_the_same_entries(self, fmt, container):
        dense = np.array([[0.0, 1.5, 0.0], [0.0, 0.0, -2.0], [4.0, 0.0, 3.0]])
        make = sp.csr_array if container == "array" else sp.csr_matrix
        matrix = make(dense).asformat(fmt)
        csr = to_csr(matrix)
        check_arrays(csr)
        assert entries(csr) == [(0, 1, 1.5), (1, 2, -2.0), (2, 0, 4.0), (2, 2, 3.0)]
        assert csr.nodes.tolist() == [0, 1, 2]

    @pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
    @pytest.mark.parametrize("value_dtype", [np.float32, np.int8, np.uint16, np.bool_, np.float64])
    def test_index_and_value_dtypes(self, index_dtype, value_dtype):
        matrix = sp.coo_array(
            (np.array([1, 1], dtype=value_dtype), (np.array([0, 1], dtype=index_dtype), np.array([1, 0], dtype=index_dtype))),
            shape=(2, 2),
        )
        assert entries(to_csr(matrix)) == [(0, 1, 1.0), (1, 0, 1.0)]

    def test_coo_keeps_duplicates_explicit_zeros_and_their_order(self):
        # Rows out of order, a repeated pair and an explicit zero: every
        # stored entry reaches the native core, which sums the repeats.
        matrix = sp.coo_array(
            (np.array([5.0, 0.0, 1.0, 2.0]), (np.array([1, 0, 1, 1]), np.array([2, 2, 0, 2]))), shape=(3, 3)
        )
        assert entries(to_csr(matrix)) == [(0, 2, 0.0), (1, 2, 5.0), (1, 0, 1.0), (1, 2, 2.0)]

    def test_csr_slack_beyond_indptr_is_ignored(self):
        matrix = sp.csr_array(
            (np.array([1.0, 9.0]), np.array([1, 0]), np.array([0, 1, 1])), shape=(2, 2)
        )
        assert entries(to_csr(matrix)) == [(0, 1, 1.0)]

    @pytest.mark.parametrize(
        "matrix, error, text",
        [
            (lambda: sp.csr_array((2, 3)), ValueError, "square"),
            (lambda: sp.csr_array(np.array([[0, 1j], [0, 0]])), TypeError, "real numbers"),
        ],
    )
    def test_refusals(self, matrix, error, text):
        with pytest.raises(error, match=text):
            to_csr(matrix())


class TestDense:
    def test_entries_follow_fit_dense(self):
        # Nonzero test as fit_dense makes it: NaN is an edge, -0.0 is not;
        # the diagonal gives self loops; rows are visited column by column.
        dense = np.array([[0.0, 2.0, np.nan], [-0.0, 0.0, 0.0], [1.0, 0.0, 7.0]])
        csr = to_csr(dense)
        check_arrays(csr)
        got = entries(csr)
        assert got[0] == (0, 1, 2.0) and got[1][:2] == (0, 2) and np.isnan(got[1][2])
        assert got[2:] == [(2, 0, 1.0), (2, 2, 7.0)]

    @pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
    def test_numpy_matrix(self):
        assert entries(to_csr(np.asmatrix([[0.0, 2.0], [0.0, 0.0]]))) == [(0, 1, 2.0)]

    @pytest.mark.parametrize("layout", ["C", "F", "reversed"])
    def test_layouts_and_dtypes(self, layout):
        dense = np.array([[0, 3], [1, 0]], dtype=np.int16)
        if layout == "F":
            dense = np.asfortranarray(dense)
        elif layout == "reversed":
            dense = np.array([[0, 1], [3, 0]], dtype=np.int16)[::-1, ::-1]
        assert entries(to_csr(dense)) == [(0, 1, 3.0), (1, 0, 1.0)]

    @pytest.mark.parametrize(
        "array, error, text",
        [
            (np.zeros(3), ValueError, "2-D"),
            (np.zeros((2, 3)), ValueError, "square"),
            (np.array([["a", "b"], ["c", "d"]]), TypeError, "real numbers"),
            (np.zeros((2, 2), dtype=complex), TypeError, "real numbers"),
        ],
    )
    def test_refusals(self, array, error, text):
        with pytest.raises(error, match=text):
            to_csr(array)

    def test_empty(self):
        csr = to_csr(np.zeros((0, 0)))
        assert csr.num_nodes == 0 and csr.row_ptrs.tolist() == [0] and csr.num_entries == 0


class TestNetworkx:
    def test_rows_follow_list_order_with_string_labels(self):
        graph = nx.DiGraph()
        graph.add_nodes_from(["z", "a", "m"])
        graph.add_edge("m", "z", weight=2.5)
        graph.add_edge("z", "a")  # default weight 1
        csr = to_csr(graph, undirected=False)
        check_arrays(csr)
        assert csr.nodes.tolist() == ["z", "a", "m"]
        assert entries(csr) == [(0, 1, 1.0), (2, 0, 2.5)]

    def test_undirected_graph_gives_each_edge_once_or_both_ways(self):
        graph = nx.Graph()
        graph.add_edge(0, 1, weight=3.0)
        graph.add_edge(1, 1, weight=5.0)  # self loop: stored once either way
        graph.add_node(2)
        once = entries(to_csr(graph, undirected=True))
        both = entries(to_csr(graph, undirected=False))
        assert sorted(once) == [(0, 1, 3.0), (1, 1, 5.0)]
        assert sorted(both) == [(0, 1, 3.0), (1, 0, 3.0), (1, 1, 5.0)]

    def test_multigraph_keeps_parallel_edges_for_summing(self):
        graph = nx.MultiDiGraph()
        graph.add_edge("a", "b", weight=1.0)
        graph.add_edge("a", "b", weight=2.0)
        assert entries(to_csr(graph)) == [(0, 1, 1.0), (0, 1, 2.0)]

    def test_mixed_labels_stay_objects(self):
        graph = nx.Graph([(1, "x"), ((2, 3), 1)])
        csr = to_csr(graph)
        assert csr.nodes.dtype == object and csr.nodes.tolist() == [1, "x", (2, 3)]

    @pytest.mark.parametrize("weight", ["heavy", None, 1j])
    def test_non_numeric_weight_names_the_edge(self, weight):
        graph = nx.Graph()
        graph.add_edge("u", "v", weight=weight)
        with pytest.raises(TypeError, match=r"edge \('u', 'v'\)"):
            to_csr(graph)


class FakeTensor:
    """Stands in for a torch tensor: only detach/cpu/numpy are used."""

    def __init__(self, array):
        self.array = np.asarray(array)
        self.calls = []

    def detach(self):
        self.calls.append("detach")
        return self

    def cpu(self):
        self.calls.append("cpu")
        return self

    def numpy(self):
        self.calls.append("numpy")
        return self.array


class TestEdges:
    def test_integer_ids_and_num_nodes(self):
        csr = to_csr(Edges([2, 0], [0, 1], weight=[0.5, 4.0], num_nodes=5))
        check_arrays(csr)
        assert csr.num_nodes == 5 and csr.nodes.tolist() == [0, 1, 2, 3, 4]
        assert entries(csr) == [(0, 1, 4.0), (2, 0, 0.5)]

    def test_num_nodes_defaults_to_largest_id_plus_one(self):
        assert to_csr(Edges(np.array([3], dtype=np.uint8), [1])).num_nodes == 4
        assert to_csr(Edges([], [])).num_nodes == 0

    @pytest.mark.parametrize(
        "src, dst, expected_nodes",
        [
            (["b", "c"], ["a", "b"], ["b", "a", "c"]),  # each edge's source before its target
            (np.array(["y", "x", "y"]), np.array(["x", "y", "z"]), ["y", "x", "z"]),
            ([1, "one"], ["one", (1,)], [1, "one", (1,)]),  # labels that do not sort together
            ([b"p"], [b"q"], [b"p", b"q"]),
        ],
    )
    def test_labels_in_order_of_first_appearance(self, src, dst, expected_nodes):
        csr = to_csr(Edges(src, dst))
        assert csr.nodes.tolist() == expected_nodes
        labels = csr.nodes.tolist()
        stored = [(labels[r], labels[c]) for r, c, _ in entries(csr)]
        assert sorted(stored, key=repr) == sorted(zip(list(src), list(dst)), key=repr)

    def test_from_edge_index_duck_types_tensors(self):
        tensor = FakeTensor([[0, 1, 2], [1, 2, 0]])
        edges = Edges.from_edge_index(tensor, num_nodes=4)
        assert tensor.calls == ["detach", "cpu", "numpy"]
        assert entries(to_csr(edges)) == [(0, 1, 1.0), (1, 2, 1.0), (2, 0, 1.0)]
        assert to_csr(edges).num_nodes == 4

    @pytest.mark.parametrize(
        "make, error, text",
        [
            (lambda: Edges([0, 1], [1]), ValueError, "same length"),
            (lambda: Edges([0], [1], weight=[1.0, 2.0]), ValueError, "one value per edge"),
            (lambda: Edges([0], [1], weight=["x"]), TypeError, "weight must hold real numbers"),
            (lambda: Edges([-1], [0]), ValueError, "src holds a negative node id"),
            (lambda: Edges(np.array([2**63], np.uint64), np.array([0], np.uint64)), ValueError,
             "src holds a node id outside the int64 range"),
            (lambda: Edges([0], [3], num_nodes=3), ValueError, "out of range for num_nodes=3"),
            (lambda: Edges(["a"], ["b"], num_nodes=2), ValueError, "num_nodes can only be given"),
            (lambda: Edges([0.0], [1.0]), TypeError, "src must hold integer node ids"),
            (lambda: Edges("ab", "cd"), TypeError, "src must be a sequence"),
            (lambda: Edges(np.zeros((1, 1), dtype=int), [1]), ValueError, "one-dimensional"),
            (lambda: Edges([["a"]], ["b"]), TypeError, "hashable"),
            (lambda: Edges.from_edge_index(np.zeros((3, 2), dtype=int)), ValueError, r"shape \(2, m\)"),
            (lambda: Edges.from_edge_index(np.zeros((2, 2))), TypeError, "integer node ids"),
        ],
    )
    def test_refusals(self, make, error, text):
        with pytest.raises(error, match=text):
            make()

    def test_is_immutable_but_pickles(self):
        import pickle

        edges = Edges(["a", "b"], ["b", "c"], weight=[1.0, 2.0])
        with pytest.raises(AttributeError):
            edges.num_nodes = 3
        restored = pickle.loads(pickle.dumps(edges))
        assert entries(to_csr(restored)) == entries(to_csr(edges))

    def test_far_apart_ids_need_num_nodes(self):
        big = 10**12
        with pytest.raises(ValueError, match="pass num_nodes to confirm"):
            to_csr(Edges([0, big], [big, 0]))
        labelled = to_csr(Edges(np.array([0, big], dtype=object), np.array([big, 0], dtype=object)))
        assert labelled.num_nodes == 2 and labelled.nodes.tolist() == [0, big]


@pytest.mark.parametrize("graph", [[[0, 1], [1, 0]], {0: [1]}, None, "graph.txt", np.float64(1.0)])
def test_other_kinds_are_a_type_error_naming_the_accepted_ones(graph):
    with pytest.raises(TypeError, match="scipy.sparse.*networkx.*NumPy.*Edges"):
        graphripple.embed(graph, 4)


@pytest.mark.parametrize("arrow", [False, True])
def test_large_label_sets_agree_with_and_without_pyarrow(monkeypatch, arrow):
    if arrow:
        pytest.importorskip("pyarrow")
    else:
        monkeypatch.setattr("graphripple._edges._arrow_encode", lambda src, dst: None)
    monkeypatch.setattr("graphripple._edges._ARROW_MIN_EDGES", 1)
    rng = np.random.default_rng(3)
    src = np.char.add("n", rng.integers(0, 50, 400).astype(str))
    dst = np.char.add("n", rng.integers(0, 50, 400).astype(str))
    csr = to_csr(Edges(src, dst))
    order = list(dict.fromkeys(np.column_stack([src, dst]).ravel().tolist()))
    assert csr.nodes.tolist() == order and csr.nodes.dtype.kind == "U"
    labels = csr.nodes.tolist()
    rows = np.repeat(np.arange(csr.num_nodes), np.diff(csr.row_ptrs))
    assert sorted((labels[r], labels[c]) for r, c in zip(rows, csr.col_indices)) == sorted(zip(src, dst))


@pytest.mark.parametrize("make,words", [
    (lambda: Edges([0, 1], [1, 0], weight=[1.0, 2j]), "weight must hold real numbers"),
    (lambda: Edges(["a"], ["b"], weight=np.array([1 + 1j], dtype=np.complex64)), "weight must hold real numbers"),
    (lambda: Edges.from_edge_index(np.array([[0], [1]]), weight=[1j]), "weight must hold real numbers"),
    (lambda: to_csr(sp.csr_array(np.array([[0, 1j], [0, 0]]))), "graph must hold real numbers"),
    (lambda: to_csr(np.array([[0, 1j], [0, 0]])), "graph must hold real numbers"),
    (lambda: to_csr(nx.Graph([(0, 1, {"weight": 1j})])), "non-numeric 'weight'"),
])
def test_complex_weights_are_refused_naming_the_argument(make, words):
    with pytest.raises(TypeError, match=words):
        make()


def test_label_encoding_of_objects_matches_a_dictionary_walk(monkeypatch):
    # Mixed types that do not sort together, and ints whose hashes collide
    # (hash(-1) == hash(-2)), with the pyarrow path forced where it applies.
    from graphripple import _edges as edges_module

    monkeypatch.setattr(edges_module, "_ARROW_MIN_EDGES", 1)
    rng = np.random.default_rng(4)
    pool = [-1, -2, "a", "b", ("t", 1), 7, "7", True, b"x"]
    for m in (1, 9, 500):
        src = np.empty(m, dtype=object)
        dst = np.empty(m, dtype=object)
        src[:] = [pool[i] for i in rng.integers(0, len(pool), m)]
        dst[:] = [pool[i] for i in rng.integers(0, len(pool), m)]
        rows = {}
        for a, b in zip(src.tolist(), dst.tolist()):
            rows.setdefault(a, len(rows))
            rows.setdefault(b, len(rows))
        nodes, src_rows, dst_rows = edges_module.encode_labels(src, dst)
        assert nodes.tolist() == list(rows)
        assert src_rows.tolist() == [rows[a] for a in src.tolist()]
        assert dst_rows.tolist() == [rows[b] for b in dst.tolist()]


def test_encoded_edges_pickle_and_expose_their_labels():
    import pickle

    from graphripple._edges import encode_labels

    edges = Edges._from_rows(*encode_labels(np.array(["a", "b"]), np.array(["b", "c"])), np.array([1.0, 2.0]))
    again = pickle.loads(pickle.dumps(edges))
    assert again.src.tolist() == ["a", "b"] and again.dst.tolist() == ["b", "c"] and again.is_labelled
    assert to_csr(again).nodes.tolist() == ["a", "b", "c"] and len(again) == 2
