"""Data frames and igraph graphs as inputs: the same bytes as the equivalent
Edges or networkx graph, and one clear error for a bad column."""

import subprocess
import sys

import numpy as np
import pytest

import graphripple
from graphripple import Edges

SRC = ["a", "b", "c", "a", "e", "b"]
DST = ["b", "c", "a", "d", "e", "b"]
INT_SRC = [0, 1, 2, 0, 4, 1]
INT_DST = [1, 2, 0, 3, 4, 1]
WEIGHT = [1.0, 2.5, 0.5, 3.0, 1.5, 2.0]


def _module(name):
    return pytest.importorskip(name, reason=f"needs {name}")


def make_frame(kind, columns, categorical=()):
    """A frame of `kind` with `columns` (name -> list); names in `categorical` become categories."""
    if kind == "pandas":
        pd = _module("pandas")
        return pd.DataFrame({k: pd.Categorical(v) if k in categorical else v for k, v in columns.items()})
    if kind == "polars":
        pl = _module("polars")
        frame = pl.DataFrame(columns)
        for name in categorical:
            dtype = pl.Categorical if isinstance(columns[name][0], str) else pl.Utf8
            frame = frame.with_columns(pl.col(name).cast(pl.Utf8).cast(dtype))
        return frame
    pa = _module("pyarrow")
    arrays = {k: pa.array(v).dictionary_encode() if k in categorical else pa.array(v) for k, v in columns.items()}
    return pa.table(arrays)


def embed_pair(graph, **kw):
    return graphripple.embed_labelled(graph, 8, seed=11, **kw)


def same(left, right):
    (a, nodes_a), (b, nodes_b) = left, right
    assert a.tobytes() == b.tobytes()
    assert [str(x) for x in nodes_a] == [str(x) for x in nodes_b]


KINDS = ["pandas", "polars", "arrow"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("ids", ["int", "str", "categorical"])
@pytest.mark.parametrize("weighted", [False, True])
def test_frame_matches_edges(kind, ids, weighted):
    src, dst = (INT_SRC, INT_DST) if ids == "int" else (SRC, DST)
    columns = {"source": src, "target": dst}
    if weighted:
        columns["weight"] = WEIGHT
    frame = make_frame(kind, columns, categorical=("source", "target") if ids == "categorical" else ())
    expected = Edges(np.array(src), np.array(dst), weight=WEIGHT if weighted else None)
    same(embed_pair(frame), embed_pair(expected))
    same(embed_pair(frame, undirected=False), embed_pair(expected, undirected=False))
    # Named columns through from_frame; a column "weight" by default, as embed reads it, none with False.
    renamed = make_frame(kind, {"s": src, "t": dst, "w": WEIGHT})
    same(embed_pair(Edges.from_frame(renamed, "s", "t", "w" if weighted else None)), embed_pair(expected))
    same(embed_pair(Edges.from_frame(frame)), embed_pair(expected))
    same(embed_pair(Edges.from_frame(frame, weight=False)), embed_pair(Edges(np.array(src), np.array(dst))))


@pytest.mark.parametrize("kind", KINDS)
def test_empty_text_columns_give_no_rows(kind):
    frame = make_frame(kind, {"source": ["a"], "target": ["b"]})[:0]
    embedding, nodes = embed_pair(frame)
    assert embedding.shape == (0, 8) and len(nodes) == 0


@pytest.mark.parametrize("kind", ["pandas", "arrow"])
def test_integer_categories_are_labels(kind):
    # Categories of numbers are names, not row numbers: rows follow first appearance.
    frame = make_frame(kind, {"source": [7, 3, 7], "target": [3, 9, 9]}, categorical=("source", "target"))
    embedding, nodes = embed_pair(frame)
    assert list(nodes) == [7, 3, 9]
    same((embedding, nodes), embed_pair(Edges(np.array([7, 3, 7], dtype=object), np.array([3, 9, 9], dtype=object))))


def test_mixed_ids_and_labels_and_chunks():
    pa = _module("pyarrow")
    pd = _module("pandas")
    # An integer source column beside a text target column: both are labels.
    frame = pd.DataFrame({"source": [1, 2], "target": ["x", "y"]})
    same(embed_pair(frame), embed_pair(Edges(np.array([1, 2], dtype=object), np.array(["x", "y"], dtype=object))))
    # Text in a plain object column, as older pandas versions hold it.
    objects = pd.DataFrame({"source": SRC, "target": DST}).astype(object)
    assert objects["source"].dtype == object
    same(embed_pair(objects), embed_pair(Edges(np.array(SRC), np.array(DST))))
    # A table of several chunks reads as one.
    parts = [pa.table({"source": SRC[:3], "target": DST[:3]}), pa.table({"source": SRC[3:], "target": DST[3:]})]
    table = pa.concat_tables(parts)
    assert table.column("source").num_chunks == 2
    same(embed_pair(table), embed_pair(Edges(np.array(SRC), np.array(DST))))


@pytest.mark.parametrize("kind", ["pandas", "arrow"])
def test_many_text_labels(kind):
    # Enough edges for the hash-based dictionary encoding.
    rng = np.random.default_rng(0)
    src = [f"n{x}" for x in rng.integers(0, 5000, 60_000)]
    dst = [f"n{x}" for x in rng.integers(0, 5000, 60_000)]
    frame = make_frame(kind, {"source": src, "target": dst})
    same(embed_pair(frame), embed_pair(Edges(np.array(src), np.array(dst))))


@pytest.mark.parametrize("kind", KINDS)
def test_integer_id_rules(kind):
    frame = make_frame(kind, {"source": [0, 1], "target": [1, 2]})
    assert graphripple.embed(Edges.from_frame(frame, num_nodes=5), 4, seed=1).shape == (5, 4)
    with pytest.raises(ValueError, match="out of range for num_nodes=2"):
        Edges.from_frame(frame, num_nodes=2)
    with pytest.raises(ValueError, match="negative node id"):
        Edges.from_frame(make_frame(kind, {"source": [0, -1], "target": [1, 2]}))
    with pytest.raises(ValueError, match="num_nodes"):
        graphripple.embed(make_frame(kind, {"source": [0], "target": [1 << 40]}), 4)
    with pytest.raises(ValueError, match="num_nodes can only be given with integer node ids"):
        Edges.from_frame(make_frame(kind, {"source": ["a"], "target": ["b"]}), num_nodes=3)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("column", ["source", "target", "weight"])
def test_nulls_are_refused_by_column(kind, column):
    columns = {"source": ["a", "b", "c"], "target": ["b", "c", "a"], "weight": [1.0, 2.0, 3.0]}
    columns[column] = [columns[column][0], None, columns[column][2]]
    frame = make_frame(kind, columns)
    with pytest.raises(ValueError, match=f"{column} column '{column}' holds 1 null value"):
        graphripple.embed(frame, 4, seed=1)


def test_null_integer_ids_in_nullable_columns():
    pd = _module("pandas")
    frame = pd.DataFrame({"source": pd.array([0, None], dtype="Int64"), "target": [1, 2]})
    with pytest.raises(ValueError, match="source column 'source' holds 1 null"):
        Edges.from_frame(frame)
    full = pd.DataFrame({"source": pd.array([0, 1], dtype="Int64"), "target": pd.array([1, 2], dtype="UInt32")})
    same(embed_pair(full), embed_pair(Edges([0, 1], [1, 2])))


@pytest.mark.parametrize("kind", KINDS)
def test_bad_columns_are_named(kind):
    frame = make_frame(kind, {"from": [0], "target": [1], "w": ["x"], "f": [0.5]})
    with pytest.raises(ValueError, match=r"no source column 'source' \(its columns: 'from', 'target'"):
        graphripple.embed(frame, 4)
    with pytest.raises(ValueError, match="no weight column 'weight'"):
        Edges.from_frame(frame, "from", weight="weight")
    with pytest.raises(TypeError, match="weight column 'w' must hold real numbers"):
        Edges.from_frame(frame, "from", weight="w")
    with pytest.raises(TypeError, match="target column 'f' must hold integer node ids"):
        Edges.from_frame(frame, "from", "f")


def test_not_a_frame():
    with pytest.raises(TypeError, match="frame must be a pandas or polars DataFrame or a pyarrow Table"):
        Edges.from_frame({"source": [0], "target": [1]})


def test_estimator_takes_a_frame():
    frame = make_frame("pandas", {"source": SRC, "target": DST, "weight": WEIGHT})
    model = graphripple.RippleEmbedding(n_components=8, random_state=11).fit(frame)
    same((model.embedding_, model.nodes_), embed_pair(Edges(np.array(SRC), np.array(DST), WEIGHT)))


def test_reading_one_kind_imports_no_other():
    _module("pyarrow")
    code = (
        "import sys, pyarrow as pa, graphripple\n"
        "table = pa.table({'source': ['a'], 'target': ['b']})\n"
        "before = set(sys.modules)\n"  # pyarrow may import pandas itself
        "graphripple.embed(table, 4, seed=1)\n"
        "print(sorted({'pandas', 'polars', 'igraph', 'networkx', 'scipy'} & (set(sys.modules) - before)))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "[]"


# ---------------------------------------------------------------------------
# igraph

EDGE_LIST = [(0, 1, 1.0), (1, 2, 2.0), (2, 0, 0.5), (3, 3, 4.0), (1, 0, 3.0), (4, 2, 1.5)]


def graph_pair(directed, named, weighted, multi=False):
    igraph = _module("igraph")
    nx = _module("networkx")
    names = ["w", "x", "y", "z", "v", "u"] if named else list(range(6))
    g = igraph.Graph(n=6, edges=[(u, v) for u, v, _ in EDGE_LIST], directed=directed)
    if named:
        g.vs["name"] = names
    if weighted:
        g.es["weight"] = [w for _, _, w in EDGE_LIST]
    kind = {(False, False): nx.Graph, (True, False): nx.DiGraph, (False, True): nx.MultiGraph,
            (True, True): nx.MultiDiGraph}[(directed, multi)]
    G = kind()
    G.add_nodes_from(names)
    for u, v, w in EDGE_LIST:
        if weighted:
            G.add_edge(names[u], names[v], weight=w)
        else:
            G.add_edge(names[u], names[v])
    return g, G


@pytest.mark.parametrize("directed", [False, True])
@pytest.mark.parametrize("named", [False, True])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("undirected", [False, True])
def test_igraph_matches_networkx(directed, named, weighted, undirected):
    # The undirected graph holds 0-1 twice: networkx's MultiGraph keeps both, as igraph does.
    g, G = graph_pair(directed, named, weighted, multi=True)
    same(embed_pair(g, undirected=undirected), embed_pair(G, undirected=undirected))
    assert list(embed_pair(g)[1]) == list(G)


def test_igraph_missing_and_bad_weights():
    igraph = _module("igraph")
    g = igraph.Graph(n=3, edges=[(0, 1)])
    g.es["weight"] = [2.0]
    g.add_edge(1, 2)  # no weight: 1, as networkx's default
    same(embed_pair(g), embed_pair(Edges([0, 1], [1, 2], [2.0, 1.0])))
    g.es["weight"] = ["heavy", 1.0]
    with pytest.raises(TypeError, match="edge \\(0, 1\\) has a non-numeric 'weight'"):
        graphripple.embed(g, 4)


def test_polars_text_without_pyarrow():
    _module("polars")
    code = (
        "import sys\n"
        "sys.modules['pyarrow'] = None  # as if it were not installed\n"
        "import numpy as np, polars as pl, graphripple as gr\n"
        "f = pl.DataFrame({'source': ['a', 'b', 'c'], 'target': ['b', 'c', 'a']})\n"
        "f = f.with_columns(pl.col('target').cast(pl.Categorical))\n"
        "e, n = gr.embed_labelled(f, 4, seed=1)\n"
        "r = gr.embed(gr.Edges(np.array(['a', 'b', 'c']), np.array(['b', 'c', 'a'])), 4, seed=1)\n"
        "print(e.tobytes() == r.tobytes(), list(n))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "True ['a', 'b', 'c']"
