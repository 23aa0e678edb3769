"""embed / embed_labelled: bytes against the native functions, options, blocks and directions."""

import numpy as np
import pytest

import graphripple
from graphripple import DIRECTION_SEED_OFFSET, Edges, embed, embed_labelled
from graphripple import _embed as embedding_module

sp = pytest.importorskip("scipy.sparse")
nx = pytest.importorskip("networkx")

DIM = 16
SEED = 11


def native(row_ptrs, col_indices, values, n, **kwargs):
    kwargs.setdefault("seed", SEED)
    return graphripple.fit_csr(
        np.asarray(row_ptrs, dtype=np.int64), np.asarray(col_indices, dtype=np.int64),
        np.asarray(values, dtype=np.float64), n, DIM, kwargs.pop("weights", [0.0, 1.0, 1.0]), **kwargs,
    )


def same_bytes(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# The graph 0 -> 1 (2.0), 0 -> 2 (1.0), 2 -> 2 (3.0), 3 -> 0 (0.5), node 4
# isolated, as each kind gives it, and its CSR.
CSR = ([0, 2, 2, 3, 4, 4], [1, 2, 2, 0], [2.0, 1.0, 3.0, 0.5], 5)
DENSE = np.zeros((5, 5))
DENSE[0, 1], DENSE[0, 2], DENSE[2, 2], DENSE[3, 0] = 2.0, 1.0, 3.0, 0.5


def kinds():
    digraph = nx.DiGraph()
    digraph.add_nodes_from(range(5))
    digraph.add_weighted_edges_from([(0, 1, 2.0), (0, 2, 1.0), (2, 2, 3.0), (3, 0, 0.5)])
    return {
        "csr_array": sp.csr_array(DENSE),
        "csr_matrix_int32": sp.csr_matrix(DENSE),
        "coo": sp.coo_array(DENSE),
        "csc": sp.csc_matrix(DENSE),
        "lil": sp.lil_array(DENSE),
        "dense": DENSE,
        "dense_fortran": np.asfortranarray(DENSE),
        "digraph": digraph,
        "edges": Edges([0, 0, 2, 3], [1, 2, 2, 0], [2.0, 1.0, 3.0, 0.5], num_nodes=5),
        "edge_index": Edges.from_edge_index(np.array([[0, 0, 2, 3], [1, 2, 2, 0]]), num_nodes=5,
                                            weight=np.array([2.0, 1.0, 3.0, 0.5])),
    }


@pytest.mark.parametrize("kind", list(kinds()))
@pytest.mark.parametrize("undirected", [True, False])
def test_each_kind_gives_the_bytes_of_fit_csr(kind, undirected):
    graph = kinds()[kind]
    assert same_bytes(embed(graph, DIM, seed=SEED, undirected=undirected), native(*CSR, undirected=undirected))


def test_dense_matches_fit_dense_on_nan_self_loops_and_signed_zeros():
    dense = np.array([[np.nan, 1.0, -0.0], [0.0, 2.0, 4.0], [1.0, 0.0, 0.0]])
    for undirected in (True, False):
        expected = graphripple.fit_dense(dense, DIM, [1.0, 1.0, 1.0], seed=SEED, undirected=undirected)
        got = embed(dense, DIM, [1.0, 1.0, 1.0], seed=SEED, undirected=undirected)
        assert np.array_equal(got, expected, equal_nan=True) and got.tobytes() == expected.tobytes()


def test_string_labelled_networkx_graph():
    graph = nx.Graph()
    graph.add_edge("carol", "alice", weight=2.0)
    graph.add_edge("alice", "bob")
    graph.add_node("dave")
    result, nodes = embed_labelled(graph, DIM, seed=SEED)
    assert nodes.tolist() == ["carol", "alice", "bob", "dave"]
    # carol=0, alice=1, bob=2; each undirected edge given once, the fit adds A^T.
    assert same_bytes(result, native([0, 1, 2, 2, 2], [1, 2], [2.0, 1.0], 4))
    # Without the fit's symmetrisation both directions are given.
    directed = embed(graph, DIM, seed=SEED, undirected=False)
    assert same_bytes(directed, native([0, 1, 3, 4, 4], [1, 0, 2, 1], [2.0, 2.0, 1.0, 1.0], 4, undirected=False))


def test_string_labelled_edges_and_multigraph_duplicates():
    edges = Edges(["x", "y", "x", "y"], ["y", "z", "y", "x"], weight=[1.0, 2.0, 3.0, 0.25])
    result, nodes = embed_labelled(edges, DIM, seed=SEED, undirected=False)
    assert nodes.tolist() == ["x", "y", "z"]
    # Repeated pairs reach the native core in order and are summed there.
    expected = native([0, 2, 4, 4], [1, 1, 2, 0], [1.0, 3.0, 2.0, 0.25], 3, undirected=False)
    assert same_bytes(result, expected)
    multigraph = nx.MultiDiGraph()
    multigraph.add_weighted_edges_from([("x", "y", 1.0), ("y", "z", 2.0), ("x", "y", 3.0), ("y", "x", 0.25)])
    assert same_bytes(embed(multigraph, DIM, seed=SEED, undirected=False), expected)


def test_networkx_graph_agrees_with_the_same_edge_list():
    graph = nx.karate_club_graph()
    edges = Edges([u for u, _ in graph.edges()], [v for _, v in graph.edges()],
                  [w for *_, w in graph.edges(data="weight")], num_nodes=34)
    assert same_bytes(embed(graph, DIM, seed=SEED), embed(edges, DIM, seed=SEED))


@pytest.mark.parametrize(
    "graph, shape",
    [
        (np.zeros((0, 0)), (0, DIM)),
        (nx.Graph(), (0, DIM)),
        (Edges([], []), (0, DIM)),
        (sp.csr_array((3, 3)), (3, DIM)),
    ],
)
def test_empty_graphs(graph, shape):
    result = embed(graph, DIM, seed=SEED)
    assert result.shape == shape and result.dtype == np.float32
    assert not result.any()  # no edges: every propagated term is zero


def test_isolated_nodes_and_explicit_zeros():
    # An explicit zero is an entry of the stored graph: it counts toward its
    # row's degree when undirected is false and vanishes in A + A^T.
    matrix = sp.csr_array((np.array([0.0, 1.0]), np.array([1, 2]), np.array([0, 2, 2, 2, 2])), shape=(4, 4))
    for undirected in (True, False):
        got = embed(matrix, DIM, [0.0, 1.0], seed=SEED, undirected=undirected)
        assert same_bytes(got, native([0, 2, 2, 2, 2], [1, 2], [0.0, 1.0], 4, weights=[0.0, 1.0],
                                      undirected=undirected))
        assert not got[3].any()


def test_options_are_passed_through():
    features = np.arange(10.0).reshape(5, 2)
    got = embed(DENSE, DIM, [1.0, 0.5], seed=SEED, node_features=features.tolist(), feature_weight=2.0)
    assert same_bytes(got, native(*CSR, weights=[1.0, 0.5], node_features=features, feature_weight=2.0))
    sparse = sp.csr_array(features)  # sparse features: the same bytes
    assert same_bytes(embed(DENSE, DIM, [1.0, 0.5], seed=SEED, node_features=sparse, feature_weight=2.0), got)
    unseeded = [embed(DENSE, DIM) for _ in range(2)]
    assert not np.array_equal(*unseeded)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"dim": -1}, ValueError, "dim must be non-negative"),
        ({"dim": 2.0}, TypeError, "dim must be an integer"),
        ({"dim": True}, TypeError, "dim must be an integer"),
        ({"weights": "011"}, TypeError, "weights must be a sequence"),
        ({"weights": 1.0}, TypeError, "weights must be a sequence"),
        ({"weights": [0, "1"]}, TypeError, "weights must hold real numbers"),
        ({"weights": np.ones((2, 2))}, ValueError, "weights must be one-dimensional"),
        ({"undirected": 1}, TypeError, "undirected must be True or False"),
        ({"seed": -1}, ValueError, r"seed must be in \[0, 2\*\*64\)"),
        ({"seed": 1 << 64}, ValueError, "seed must be in"),
        ({"seed": 1.5}, TypeError, "seed must be None or an integer"),
        ({"feature_weight": None}, TypeError, "feature_weight must be a real number"),
        ({"node_features": np.ones((4, 2))}, ValueError, "node_features has 4 rows but the graph has 5 nodes"),
        ({"node_features": np.ones(5)}, ValueError, "node_features must be 2-D"),
        ({"node_features": [["a"] * 2] * 5}, TypeError, "node_features must hold real numbers"),
        ({"columns": (3, 2)}, ValueError, "columns must satisfy 0 <= start <= stop <= 16"),
        ({"columns": (0, 17)}, ValueError, "columns must satisfy"),
        ({"columns": 3}, TypeError, "columns must be None or a pair"),
        ({"block_columns": 0}, ValueError, "block_columns must be at least 1"),
        ({"normalization": "l1"}, ValueError, "normalization must be None or 'l2', not 'l1'"),
        ({"degree_exponent": float("nan")}, ValueError, "degree_exponent must be finite"),
        ({"degree_exponent": "1"}, TypeError, "degree_exponent must be a real number"),
        ({"edge_weight": "log"}, ValueError, "edge_weight must be 'raw', 'binary' or 'log1p', not 'log'"),
        ({"direction": "up", "undirected": False}, ValueError, "direction must be"),
        ({"direction": "in"}, ValueError, "direction='in' needs undirected=False"),
        ({"direction": "both"}, ValueError, "direction='both' needs undirected=False"),
        ({"normalization": "l2", "columns": (0, 4)}, ValueError, "columns narrower.*normalization='l2'"),
        ({"normalization": "l2", "block_columns": 4}, ValueError, "block_columns narrower.*'l2'"),
        ({"out": [[0.0]]}, TypeError, "out must be a float32 array"),
        ({"out": np.zeros((5, DIM))}, TypeError, "out must have dtype float32"),
        ({"out": np.zeros((5, 3), np.float32)}, ValueError, r"out must have shape \(5, 16\)"),
    ],
)
def test_bad_options_name_their_argument(kwargs, error, text):
    kwargs = {"dim": DIM, "seed": SEED, **kwargs}
    with pytest.raises(error, match=text):
        embed(DENSE, **kwargs)


@pytest.mark.parametrize("bad", [-1.0, float("nan")])
def test_log1p_refuses_negative_or_nan_weights(bad):
    graph = DENSE.copy()
    graph[1, 3] = bad
    with pytest.raises(ValueError, match="edge_weight='log1p' needs non-negative weights"):
        embed(graph, DIM, edge_weight="log1p")


def test_one_engine_call_takes_every_option(monkeypatch):
    calls = []
    real = embedding_module._native_ext

    class Spy:
        def fit_csr_ext(self, *args, **kwargs):
            calls.append(kwargs)
            return real.fit_csr_ext(*args, **kwargs)

    monkeypatch.setattr(embedding_module, "_native_ext", Spy())
    out = np.zeros((5, 9), np.float32)
    embed(DENSE, DIM, seed=SEED, columns=(2, 11), degree_exponent=0.5, edge_weight="binary", out=out,
          block_columns=4, undirected=False, direction="both")
    (call,) = calls
    assert call["columns"] == (2, 11) and call["block_columns"] == 4 and call["out"] is out
    assert call["degree_exponent"] == 0.5 and call["edge_weight"] == "binary" and call["direction"] == "both"
    assert call["seed"] == SEED and call["undirected"] is False


def test_unknown_keyword_is_a_type_error_naming_it():
    with pytest.raises(TypeError, match="embed_labelled\\(\\) got an unexpected keyword argument 'dims'"):
        embed_labelled(DENSE, dims=4)


def test_read_only_out_is_refused():
    out = np.zeros((5, DIM), np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="out is read-only"):
        embed(DENSE, DIM, out=out)


class Sink:
    """An out= target with shape, dtype and __setitem__ only (as zarr or h5py datasets)."""

    dtype = np.dtype(np.float32)

    def __init__(self, shape):
        self.shape = shape
        self.data = np.zeros(self.shape, np.float32)
        self.writes = []

    def __setitem__(self, key, value):
        self.writes.append(key)
        self.data[key] = value


GRAPH = sp.random_array((60, 60), density=0.08, format="csr", rng=np.random.default_rng(4))


@pytest.mark.parametrize(
    "options",
    [
        {},
        {"degree_exponent": -0.5, "edge_weight": "binary"},
        {"edge_weight": "log1p", "undirected": False, "direction": "in"},
        {"undirected": False, "direction": "both"},
        {"undirected": False, "direction": "both", "normalization": "l2"},
    ],
)
def test_blocks_and_ranges_match_the_whole_fit(tmp_path, options):
    whole = embed(GRAPH, DIM, seed=SEED, **options)
    width = whole.shape[1]
    if "normalization" not in options:
        assert same_bytes(embed(GRAPH, DIM, seed=SEED, columns=(3, width - 2), **options), whole[:, 3:width - 2])
    block = DIM if "normalization" in options else 5
    out = np.lib.format.open_memmap(tmp_path / "e.npy", mode="w+", dtype=np.float32, shape=whole.shape)
    assert embed(GRAPH, DIM, seed=SEED, out=out, block_columns=block, **options) is out
    out.flush()
    assert same_bytes(np.load(tmp_path / "e.npy"), whole)
    # A strided target, and a target that is no NumPy array (written block by block).
    strided = np.full((60, 2 * width), np.nan, np.float32)[:, ::2]
    embed(GRAPH, DIM, seed=SEED, out=strided, block_columns=block, **options)
    assert same_bytes(np.ascontiguousarray(strided), whole)
    sink = Sink(whole.shape)
    assert embed(GRAPH, DIM, seed=SEED, out=sink, block_columns=block, **options) is sink
    assert all(key[1].stop - key[1].start <= block for key in sink.writes) and same_bytes(sink.data, whole)
    assert same_bytes(embed(GRAPH, DIM, seed=SEED, block_columns=block, **options), whole)


@pytest.mark.parametrize("seed", [SEED, (1 << 64) - 3])  # the in-seed wraps modulo 2**64
def test_both_is_out_then_in_with_the_offset_seed(seed):
    both = embed(GRAPH, DIM, seed=seed, undirected=False, direction="both")
    out_part = embed(GRAPH, DIM, seed=seed, undirected=False, direction="out")
    in_part = embed(GRAPH, DIM, seed=(seed + DIRECTION_SEED_OFFSET) % (1 << 64), undirected=False,
                    direction="in")
    assert same_bytes(both, np.hstack([out_part, in_part]))
    # A column range across the two halves.
    middle = embed(GRAPH, DIM, seed=seed, undirected=False, direction="both", columns=(DIM - 2, DIM + 3))
    assert same_bytes(middle, both[:, DIM - 2:DIM + 3])


def test_l2_rows_have_unit_norm_terms():
    result = embed(GRAPH, DIM, [0.0, 1.0], seed=SEED, normalization="l2")
    norms = np.linalg.norm(result.astype(np.float64), axis=1)
    assert np.allclose(norms[norms > 0], 1.0, atol=1e-5)
