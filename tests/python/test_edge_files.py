"""Edge files in: graphripple.edge_files.read_edges, its refusals and its limits."""

import gzip
import os

import numpy as np
import pytest

from graphripple import edge_files as gio
from graphripple.edges import encode_labels

ENGINES = ["numpy", pytest.param("pyarrow", marks=pytest.mark.skipif(
    not gio._has_pyarrow(), reason="pyarrow is not installed"))]


def write(path, text, compress=False):
    data = text.encode("utf-8") if isinstance(text, str) else text
    if compress:
        data = gzip.compress(data)
    path.write_bytes(data)
    return path


def columns(edges):
    """(source rows, target rows, labels or None) of what a reader returned."""
    if edges.is_labelled:
        nodes, src, dst = edges._label_rows()
        return src, dst, nodes
    return edges.src, edges.dst, None


# ---------------------------------------------------------------------------
# Text edge lists

TEXT_CASES = {
    # name: (content, delimiter, src, dst, weight, nodes)
    "comments, blanks, tabs and runs of spaces": (
        "# header\n\n0 1\n1\t2\n   # indented comment\n2   3 # inline\n", None,
        [0, 1, 2], [1, 2, 3], None, None),
    "tab separated with weights and CRLF": (
        "0\t1\t0.5\r\n3\t0\t-2\r\n", None, [0, 3], [1, 0], [0.5, -2.0], None),
    "comma separated with spaces around fields": (
        "0, 1, 2.5\n1 ,2,1e-3\n", None, [0, 1], [1, 2], [2.5, 1e-3], None),
    "labels in order of first appearance, source before target": (
        "# people\nbob alice\ncarol bob\nalice dave\n", None, [0, 2, 1], [1, 0, 3], None,
        ["bob", "alice", "carol", "dave"]),
    "numbers are labels when the first edge has a label": (
        "x 10\n10 7\n", None, [0, 1], [1, 2], None, ["x", "10", "7"]),
    "explicit delimiter": ("a;b;1\nb;c;2\n", ";", [0, 1], [1, 2], [1.0, 2.0], ["a", "b", "c"]),
    "tab delimiter keeps spaces inside labels": (
        "new york\tboston\nboston\tlos angeles\n", "tab", [0, 1], [1, 2], None,
        ["new york", "boston", "los angeles"]),
    "labels of any length": ("x" * 300 + " y\n", None, [0], [1], None, ["x" * 300, "y"]),
    "nan and inf weights pass through": ("0 1 nan\n1 0 inf\n", None, [0, 1], [1, 0], [np.nan, np.inf], None),
}


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gz"])
@pytest.mark.parametrize("case", list(TEXT_CASES), ids=list(TEXT_CASES))
def test_text_edge_lists(tmp_path, case, compress, engine):
    content, delimiter, src, dst, weight, nodes = TEXT_CASES[case]
    path = write(tmp_path / ("edges.txt.gz" if compress else "edges.txt"), content, compress)
    edges = gio.read_edges(path, delimiter=delimiter, engine=engine)
    got_src, got_dst, got_nodes = columns(edges)
    assert got_src.dtype == np.int64 and got_dst.dtype == np.int64
    assert got_src.tolist() == src and got_dst.tolist() == dst
    if weight is None:
        assert edges.weight is None
    else:
        np.testing.assert_array_equal(edges.weight, weight)
    if nodes is None:
        assert got_nodes is None and edges.num_nodes == max(src + dst) + 1
    else:
        assert got_nodes.tolist() == nodes and edges.is_labelled
        assert edges.src.tolist() == [nodes[i] for i in src]


def test_engines_agree_on_a_large_file(tmp_path):
    pytest.importorskip("pyarrow")
    rng = np.random.default_rng(5)
    m = 20_000
    src, dst = rng.integers(0, 3000, m), rng.integers(0, 3000, m)
    weight = rng.random(m).round(4)
    path = tmp_path / "big.tsv"
    with open(path, "w") as handle:
        handle.write("# a leading comment\n")
        handle.writelines(f"{a}\t{b}\t{w}\n" for a, b, w in zip(src, dst, weight))
    content = gio._read_all(str(path), text=True)
    layout = gio._detect(str(path), content, None, None)
    assert gio._parse_arrow(content, layout) is not None  # the fast path takes this file
    results = [gio.read_edges(path, engine=engine) for engine in ("numpy", "pyarrow")]
    for edges in results:
        np.testing.assert_array_equal(edges.src, src)
        np.testing.assert_array_equal(edges.dst, dst)
        np.testing.assert_array_equal(edges.weight, weight)
        assert edges.num_nodes == max(src.max(), dst.max()) + 1


BAD_FILES = [
    # (content, line, words in the message)
    ("0 1\n1 2\n\n2 x\n", 4, "target 'x' is not an integer"),
    ("# c\n0 1 1\n1 2\n", 3, "expected 3 fields"),
    ("0 1\n1 2 3\n", 2, "expected 2 fields"),
    ("0 1\n-1 2\n", 2, "source '-1' is negative"),
    ("0 1 1\n1 2 heavy\n", 2, "weight 'heavy' is not a number"),
    ("0 1\n99999999999999999999 2\n", 2, "too large"),
    ("0 1 2 3\n", 1, "found 4 fields"),
    ("0,1,\n", 1, "weight '' is not a number"),
]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("content,line,words", BAD_FILES)
def test_bad_text_files_name_the_line(tmp_path, content, line, words, engine):
    path = write(tmp_path / "bad.txt", content)
    with pytest.raises(gio.EdgeFileError) as caught:
        gio.read_edges(path, engine=engine)
    assert caught.value.line == line
    assert str(caught.value).startswith(f"{path}:{line}: ")
    assert words in str(caught.value)


@pytest.mark.parametrize("content,words", [
    ("# only a comment\n\n", "no edges found"),
    (None, "no such file"),
    (b"\x1f\x8b\x08garbage", "cannot read"),
    (b"0 1\n\xff\xfe 2\n", ":2: is not UTF-8 text"),
])
def test_unreadable_files(tmp_path, content, words):
    path = tmp_path / ("edges.txt.gz" if isinstance(content, bytes) and content[:2] == b"\x1f\x8b" else "edges.txt")
    if isinstance(content, str):
        path.write_text(content)
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(gio.EdgeFileError, match=words) as caught:
        gio.read_edges(path)
    assert str(caught.value).startswith(str(path))


def test_bad_delimiter_is_refused(tmp_path):
    path = write(tmp_path / "e.txt", "0 1\n")
    with pytest.raises(gio.EdgeFileError, match="delimiter"):
        gio.read_edges(path, delimiter="ab")


# ---------------------------------------------------------------------------
# .npz and .mtx edge files

def _dense_of(edges):
    matrix = np.zeros((edges.num_nodes, edges.num_nodes))
    weight = edges.weight if edges.weight is not None else np.ones(len(edges))
    np.add.at(matrix, (edges.src, edges.dst), weight)
    return matrix


EXPECTED = np.array([[0, 2.0, 0, 0], [0, 0, 0.5, 0], [1, 0, 0, 3], [0, 0, 0, 0]])


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo", "lil"])
def test_scipy_sparse_npz(tmp_path, fmt):
    sparse = pytest.importorskip("scipy.sparse")
    path = tmp_path / "graph.npz"
    matrix = sparse.csr_matrix(EXPECTED).asformat(fmt)
    if fmt == "lil":
        matrix = matrix.tocsr().asformat("bsr")  # a format read through scipy itself
    sparse.save_npz(path, matrix)
    edges = gio.read_edges(path)
    assert edges.num_nodes == 4 and not edges.is_labelled
    np.testing.assert_array_equal(_dense_of(edges), EXPECTED)


def test_array_npz_and_its_refusals(tmp_path):
    path = tmp_path / "arrays.npz"
    np.savez(path, src=np.array([0, 1, 2, 2], dtype=np.int32), dst=np.array([1, 2, 0, 3]),
             weight=np.array([2.0, 0.5, 1.0, 3.0]), num_nodes=np.int64(6))
    edges = gio.read_edges(path)
    assert edges.num_nodes == 6
    np.testing.assert_array_equal(_dense_of(edges)[:4, :4], EXPECTED)
    for arrays, words in [
        ({"src": np.array([0, 1]), "dst": np.array([1])}, "differ in length"),
        ({"src": np.array([0, -1]), "dst": np.array([1, 1])}, "negative"),
        ({"src": np.array([0.5]), "dst": np.array([1])}, "integer array"),
        ({"src": np.array([0, 5]), "dst": np.array([1, 1]), "num_nodes": np.int64(3)}, "out of range"),
        ({"rows": np.array([0])}, "found rows"),
    ]:
        np.savez(path, **arrays)
        with pytest.raises(gio.EdgeFileError, match=words):
            gio.read_edges(path)


def test_matrix_market(tmp_path):
    scipy_io = pytest.importorskip("scipy.io")
    sparse = pytest.importorskip("scipy.sparse")
    path = tmp_path / "graph.mtx"
    scipy_io.mmwrite(path, sparse.coo_matrix(EXPECTED))
    np.testing.assert_array_equal(_dense_of(gio.read_edges(path)), EXPECTED)
    lines = path.read_text().splitlines()
    entry = next(i for i, text in enumerate(lines) if i > 0 and not text.startswith("%")) + 1
    lines[entry] = "1 x 2.0"
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(gio.EdgeFileError) as caught:
        gio.read_edges(path)
    assert caught.value.line == entry + 1


@pytest.mark.parametrize("engine", ENGINES)
def test_far_apart_ids_are_refused_unless_read_as_labels(tmp_path, engine):
    path = write(tmp_path / "sparse.txt", "5000000000 7\n7 12\n")
    with pytest.raises(gio.EdgeFileError, match="node ids reach 5000000000 with only 2 edges"):
        gio.read_edges(path, engine=engine)
    edges = gio.read_edges(path, labels=True, engine=engine)
    src, dst, nodes = columns(edges)
    assert nodes.tolist() == ["5000000000", "7", "12"]
    assert (src.tolist(), dst.tolist()) == ([0, 1], [1, 2])


@pytest.mark.parametrize("fmt", ["csr", "csc", "coo"])
def test_sparse_npz_layouts_read_without_scipy(tmp_path, fmt):
    # The arrays scipy.sparse.save_npz writes, laid out by hand, so that the
    # scipy-free reader is tested where scipy is absent too.
    rows, cols = np.nonzero(EXPECTED)
    if fmt == "coo":
        arrays = {"row": rows, "col": cols, "data": EXPECTED[rows, cols]}
    else:
        matrix = EXPECTED if fmt == "csr" else EXPECTED.T
        outer, inner = np.nonzero(matrix)
        arrays = {"indptr": np.concatenate([[0], np.cumsum(np.bincount(outer, minlength=4))]),
                  "indices": inner.astype(np.int32), "data": matrix[outer, inner]}
    path = tmp_path / "graph.npz"
    np.savez(path, format=np.array(fmt.encode()), shape=np.array([4, 4]), **arrays)
    np.testing.assert_array_equal(_dense_of(gio.read_edges(path)), EXPECTED)
    np.savez(path, format=np.array(fmt.encode()), shape=np.array([4, 5]), **arrays)
    with pytest.raises(gio.EdgeFileError, match="square"):
        gio.read_edges(path)


def test_label_rows_match_a_dictionary_walk():
    rng = np.random.default_rng(8)
    alphabet = np.array(list("ab é中\U0001f600"))
    pool = ["".join(rng.choice(alphabet, size=rng.integers(1, 6))) for _ in range(300)] + ["a", "ab", "aa", "b"]
    for m in (1, 7, 2000):
        src = np.array(rng.choice(pool, m), dtype=str)
        dst = np.array(rng.choice(pool, m), dtype=str)
        rows = {}
        for a, b in zip(src.tolist(), dst.tolist()):
            rows.setdefault(a, len(rows))
            rows.setdefault(b, len(rows))
        nodes, src_rows, dst_rows = encode_labels(src, dst)
        assert nodes.tolist() == list(rows)
        assert src_rows.tolist() == [rows[a] for a in src.tolist()]
        assert dst_rows.tolist() == [rows[b] for b in dst.tolist()]


@pytest.mark.parametrize("engine", ENGINES)
def test_empty_label_is_named(tmp_path, engine):
    path = write(tmp_path / "e.csv", "a,b\n,c\n")
    with pytest.raises(gio.EdgeFileError, match="empty source") as caught:
        gio.read_edges(path, engine=engine)
    assert caught.value.line == 2
