"""Edge files in: graphripple.io.read_edges, its refusals and its limits."""

import gzip
import os
import subprocess
import sys

import numpy as np
import pytest

from graphripple._edges import encode_labels
from graphripple.io import EdgeFileError, EdgeFileNote, read_edges
from graphripple.io import _common as common, _edge_text as gio

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
    edges = read_edges(path, delimiter=delimiter, engine=engine)
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
    _, content = gio._read_all(str(path))
    layout = gio._detect(str(path), content, None, None)
    assert gio._parse_arrow(content, layout) is not None  # the fast path takes this file
    results = [read_edges(path, engine=engine) for engine in ("numpy", "pyarrow")]
    for edges in results:
        np.testing.assert_array_equal(edges.src, src)
        np.testing.assert_array_equal(edges.dst, dst)
        np.testing.assert_array_equal(edges.weight, weight)
        assert edges.num_nodes == max(src.max(), dst.max()) + 1


@pytest.mark.parametrize("stored,arrow_type,dtype", [(np.int32, "int32", np.int64), (np.int64, "int64", np.int64),
                                                      (np.float64, "float64", np.float64)])
def test_arrow_columns_become_numpy_arrays_across_chunks_and_slices(stored, arrow_type, dtype):
    pa = pytest.importorskip("pyarrow")
    values = np.arange(50).astype(dtype) * 3 - 7
    # Chunks as the CSV reader returns them, one a slice whose data starts within its buffer.
    chunks = [pa.array(values[:10], type=arrow_type), pa.array([], type=arrow_type),
              pa.array(values[5:40], type=arrow_type).slice(5), pa.array(values[40:], type=arrow_type)]
    result = gio._arrow_numbers(pa.chunked_array(chunks, type=arrow_type), stored, dtype)
    assert result.dtype == dtype and result.flags.writeable and result.flags.c_contiguous
    np.testing.assert_array_equal(result, values)


@pytest.mark.parametrize("big", [2**31 - 1, 2**31, 2**63 - 1])
def test_ids_beyond_32_bits_take_the_fast_path_whole(tmp_path, big):
    pytest.importorskip("pyarrow")
    path = write(tmp_path / "e.txt", f"0 1 0.5\n{big} 2 1\n1 {big} 2\n")
    _, content = gio._read_all(str(path))
    parsed = gio._parse_arrow(content, gio._detect(str(path), content, None, None))
    assert parsed is not None and parsed.src.dtype == parsed.dst.dtype == np.int64
    assert parsed.src.tolist() == [0, big, 1] and parsed.dst.tolist() == [1, 2, big]
    assert parsed.weight.tolist() == [0.5, 1.0, 2.0]


def test_reading_integer_ids_leaves_pandas_unimported(tmp_path):
    # pyarrow's to_numpy imports pandas, which takes longer than reading ten million edges.
    pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")
    path = write(tmp_path / "e.txt", "0 1 0.5\n1 2 2\n")
    code = ("import sys; from graphripple.io import _edge_text as edge_files; "
            f"e = edge_files.read_edges({str(path)!r}, engine='pyarrow'); "
            "assert e.src.tolist() == [0, 1] and e.weight.tolist() == [0.5, 2.0]; "
            "print('pandas' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert done.stdout == "False\n", done.stderr


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
    with pytest.raises(EdgeFileError) as caught:
        read_edges(path, engine=engine)
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
    with pytest.raises(EdgeFileError, match=words) as caught:
        read_edges(path)
    assert str(caught.value).startswith(str(path))


def test_bad_delimiter_is_refused(tmp_path):
    path = write(tmp_path / "e.txt", "0 1\n")
    with pytest.raises(EdgeFileError, match="delimiter"):
        read_edges(path, delimiter="ab")


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
    edges = read_edges(path)
    assert edges.num_nodes == 4 and not edges.is_labelled
    np.testing.assert_array_equal(_dense_of(edges), EXPECTED)


def test_array_npz_and_its_refusals(tmp_path):
    path = tmp_path / "arrays.npz"
    np.savez(path, src=np.array([0, 1, 2, 2], dtype=np.int32), dst=np.array([1, 2, 0, 3]),
             weight=np.array([2.0, 0.5, 1.0, 3.0]), num_nodes=np.int64(6))
    edges = read_edges(path)
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
        with pytest.raises(EdgeFileError, match=words):
            read_edges(path)


def test_matrix_market(tmp_path):
    scipy_io = pytest.importorskip("scipy.io")
    sparse = pytest.importorskip("scipy.sparse")
    path = tmp_path / "graph.mtx"
    scipy_io.mmwrite(path, sparse.coo_matrix(EXPECTED))
    np.testing.assert_array_equal(_dense_of(read_edges(path)), EXPECTED)
    lines = path.read_text().splitlines()
    entry = next(i for i, text in enumerate(lines) if i > 0 and not text.startswith("%")) + 1
    lines[entry] = "1 x 2.0"
    path.write_text("\n".join(lines) + "\n")
    with pytest.raises(EdgeFileError) as caught:
        read_edges(path)
    assert caught.value.line == entry + 1


@pytest.mark.parametrize("engine", ENGINES)
def test_far_apart_ids_are_refused_unless_read_as_labels(tmp_path, engine):
    path = write(tmp_path / "sparse.txt", "5000000000 7\n7 12\n")
    with pytest.raises(EdgeFileError, match="node ids reach 5000000000 with only 2 edges"):
        read_edges(path, engine=engine)
    edges = read_edges(path, labels=True, engine=engine)
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
    np.testing.assert_array_equal(_dense_of(read_edges(path)), EXPECTED)
    np.savez(path, format=np.array(fmt.encode()), shape=np.array([4, 5]), **arrays)
    with pytest.raises(EdgeFileError, match="square"):
        read_edges(path)


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
    with pytest.raises(EdgeFileError, match="empty source") as caught:
        read_edges(path, engine=engine)
    assert caught.value.line == 2


# ---------------------------------------------------------------------------
# Hostile input files: one line naming the file (and line), exit status 2


def _npz(**arrays):
    import io as _io

    buffer = _io.BytesIO()
    np.savez(buffer, **arrays)
    return buffer.getvalue()


def _corrupt(data, at=0.6):
    middle = int(len(data) * at)
    return data[:middle] + bytes(b ^ 0x5A for b in data[middle:middle + 64]) + data[middle + 64:]


_GZ = gzip.compress(b"".join(b"%d %d\n" % (i, i + 1) for i in range(5000)))
_NPZ_EDGES = _npz(src=np.arange(5000), dst=np.arange(1, 5001))
_CSR = {"indices": np.array([1, 0]), "data": np.array([1.0, 2.0])}

HOSTILE = [
    # (file name, content, line or None, words in the message, text file read by both engines)
    ("nul.txt", b"0 1\n1\x002\n", 2, "NUL byte", True),
    ("decimal-comma.txt", "0 1 0,5\n", 1, "weight '0,5' is not a number (write decimals with a point)", True),
    ("later-comma.txt", "0 1 0.5\n1 2 0,5\n", 2, "weight '0,5' is not a number", True),
    ("mixed-separators.txt", "a,b\nc d\n", 2, "expected 2 fields like the first edge (line 1), found 1", True),
    ("latin1.txt", b"0 1\n\xe9 2\n", 2, "is not UTF-8 text", True),
    ("corrupt.txt.gz", _corrupt(_GZ), None, "cannot read", False),
    ("truncated.txt.gz", _GZ[: len(_GZ) // 2], None, "cannot read", False),
    ("truncated.npz", _NPZ_EDGES[: len(_NPZ_EDGES) // 2], None, "not a readable .npz", False),
    ("corrupt.npz", _corrupt(_npz(src=np.arange(5000), dst=np.arange(5000)), 0.3), None, ".npz", False),
    ("no-indptr.npz", _npz(format=np.array(b"csr"), shape=np.array([2, 2]), **_CSR), None, "indptr", False),
    ("no-col.npz", _npz(format=np.array(b"coo"), shape=np.array([2, 2]), row=np.array([0]), data=np.ones(1)),
     None, "col", False),
    ("empty-format.npz", _npz(format=np.array([], dtype="S3"), shape=np.array([2, 2]), **_CSR), None,
     "'format' must name one sparse format", False),
    ("negative-shape.npz", _npz(format=np.array(b"csr"), shape=np.array([-2, -2]), indptr=np.zeros(1), **_CSR),
     None, "'shape' must be two non-negative integers", False),
    ("huge-id.npz", _npz(src=np.array([2**63 - 1]), dst=np.array([0])), None,
     "node ids reach 9223372036854775807 with only 1 edges", False),
    ("huge-count.npz", _npz(src=np.array([0, 1]), dst=np.array([1, 0]), num_nodes=np.int64(10**12)), None,
     "node ids reach 999999999999 with only 2 edges", False),
    ("huge-shape.npz", _npz(format=np.array(b"coo"), shape=np.array([10**12, 10**12]), row=np.array([0]),
                            col=np.array([1]), data=np.ones(1)), None, "with only 1 edges", False),
    ("complex.npz", _npz(src=np.array([0]), dst=np.array([1]), weight=np.array([1 + 2j])), None,
     "'weight' must hold real numbers, not complex128", False),
    ("complex-csr.npz", _npz(format=np.array(b"csr"), shape=np.array([2, 2]), indptr=np.array([0, 1, 1]),
                             indices=np.array([1]), data=np.array([1j])), None, "real numbers", False),
    ("long-int.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 1\n1 12345678901234567890123 1.0\n", 3,
     "not a valid Matrix Market file", False),
    ("huge-size.mtx", "%%MatrixMarket matrix coordinate real general\n1000000000000 1000000000000 1\n1 2 1.0\n",
     None, "node ids reach 999999999999 with only 1 edges", False),
    ("promising.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 1000000000000\n1 2 1.0\n", 2,
     "promises 1000000000000 entries", False),
    ("promising-array.mtx", "%%MatrixMarket matrix array real general\n1000000 1000000\n1.0\n", 2,
     "promises 1000000000000 entries", False),
    ("bad-size.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 99999999999999999999999\n", 2,
     "must hold non-negative int64 counts", False),
]


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("name,content,line,words,text", HOSTILE, ids=[case[0] for case in HOSTILE])
def test_hostile_files_are_one_line_naming_file_and_line(tmp_path, capsys, name, content, line, words, text,
                                                         engine):
    if name.endswith(".mtx"):
        pytest.importorskip("scipy.io")
    if engine == "pyarrow" and not text:
        pytest.skip("one reader for binary files")
    path = write(tmp_path / name, content)
    with pytest.raises(EdgeFileError) as caught:
        read_edges(path, engine=engine)
    where = f"{path}:{line}: " if line else f"{path}: "
    assert str(caught.value).startswith(where) and caught.value.line == line
    assert words in str(caught.value)
    if engine == "numpy":
        from graphripple import cli

        status = cli.main(["embed", str(path), "-o", str(tmp_path / "out.npz"), "--dim", "2", "--quiet"],
                          prog="graphripple")
        err = capsys.readouterr().err
        assert status == 2 and err.count("\n") == 1
        assert err.startswith(f"graphripple: error: {where}") and words in err
        assert not (tmp_path / "out.npz").exists()


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_an_endless_device_stops_at_once():
    with pytest.raises(EdgeFileError, match="^/dev/zero:1: holds a NUL byte"):
        read_edges("/dev/zero")


def test_an_overlong_line_is_refused_with_its_number(tmp_path, monkeypatch):
    monkeypatch.setattr(gio, "MAX_LINE_BYTES", 1000)
    monkeypatch.setattr(gio, "CHUNK", 256)
    monkeypatch.setattr(common, "CHUNK", 256)
    for body, line in [("0 1\n1 2\n" + "7" * 5000 + " 3\n4 5\n", 3), ("0 1\n" + "x" * 900 + " y" * 100, 2)]:
        path = write(tmp_path / "long.txt", body)
        with pytest.raises(EdgeFileError, match=f":{line}: a line longer than 1000 bytes"):
            read_edges(path)
    path = write(tmp_path / "fine.txt", "a b\n" + "x" * 990 + " y\n")
    assert len(read_edges(path)) == 2


_PIPED_TEXT = b"# from a pipe\n0 1 0.5\n1 2 2\n"


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("content", [
    _PIPED_TEXT,
    gzip.compress(_PIPED_TEXT),
    _npz(src=np.array([0, 1]), dst=np.array([1, 2]), weight=np.array([0.5, 2.0])),
    b"%%MatrixMarket matrix coordinate real general\n3 3 2\n1 2 0.5\n2 3 2\n",
], ids=["text", "gzip", "npz", "mtx"])
def test_pipes_are_read_in_one_pass_and_their_kind_told_by_content(tmp_path, engine, content):
    # A pipe, as the shell's <(...) gives it: it cannot be opened twice or
    # seeked, and its name says nothing of what it holds.
    if content.startswith(b"%%"):
        pytest.importorskip("scipy.io")
    read_end, write_end = os.pipe()
    os.write(write_end, content)
    os.close(write_end)
    try:
        edges = read_edges(f"/dev/fd/{read_end}", engine=engine)
    finally:
        os.close(read_end)
    assert (edges.src.tolist(), edges.dst.tolist(), edges.weight.tolist()) == ([0, 1], [1, 2], [0.5, 2.0])


def test_a_fifo_does_not_hang(tmp_path):
    import subprocess
    import sys

    fifo = tmp_path / "edges.fifo"
    os.mkfifo(fifo)
    code = (
        "import threading, sys\n"
        "from graphripple.io import read_edges\n"
        "def feed():\n"
        f"    with open({str(fifo)!r}, 'w') as f: f.write('a b\\nb c\\n')\n"
        "threading.Thread(target=feed).start()\n"
        f"e = read_edges({str(fifo)!r})\n"
        "print(len(e), e.src.tolist())\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.split("\n")[0] == "2 ['a', 'b']", result.stderr


# ---------------------------------------------------------------------------
# What the first line may do to the graph


@pytest.mark.parametrize("engine", ENGINES)
@pytest.mark.parametrize("content,header,src,dst,nodes,skipped", [
    ("\ufeff0 1\n1 2\n", None, [0, 1], [1, 2], None, False),
    ("\ufeffa b\nb a\n", None, [0, 1], [1, 0], ["a", "b"], False),
    ("src,dst\n0,1\n1,2\n", None, [0, 1], [1, 2], None, True),
    ("# comment\nsource\ttarget\tweight\na\tb\t1\n", None, [0], [1], ["a", "b"], True),
    ("x 10\n10 7\n", None, [0, 1], [1, 2], ["x", "10", "7"], False),
    ("src,dst\n0,1\n", False, [0, 2], [1, 3], ["src", "dst", "0", "1"], False),
    ("0 1\n1 2\n2 3\n", True, [1, 2], [2, 3], None, True),
])
def test_bom_and_header_lines(tmp_path, engine, content, header, src, dst, nodes, skipped):
    path = write(tmp_path / "e.txt", content)
    with pytest.warns(EdgeFileNote, match="skipped the header line") if skipped else _no_note():
        edges = read_edges(path, header=header, engine=engine)
    got_src, got_dst, got_nodes = columns(edges)
    assert (got_src.tolist(), got_dst.tolist()) == (src, dst)
    assert (None if got_nodes is None else got_nodes.tolist()) == nodes


def _no_note():
    import contextlib
    import warnings

    @contextlib.contextmanager
    def guard():
        with warnings.catch_warnings():
            warnings.simplefilter("error", EdgeFileNote)
            yield

    return guard()


def test_cli_notes_a_skipped_header_and_warns_of_non_finite_weights(tmp_path, capsys):
    from graphripple import cli

    path = write(tmp_path / "e.csv", "src,dst,weight\n0,1,1e999\n1,2,1\n2,0,nan\n")
    status = cli.main(["embed", str(path), "-o", str(tmp_path / "out.npz"), "--dim", "2", "--quiet"],
                      prog="graphripple")
    err = capsys.readouterr().err
    assert status == 0
    assert f"note: {path}:1: skipped the header line 'src,dst,weight'" in err
    assert err.count("warning:") == 1 and "2 edge weights are not finite" in err
    assert cli.main(["embed", str(path), "-o", str(tmp_path / "out.npz"), "--no-header", "--quiet"]) == 2
    assert f"{path}:1: weight 'weight' is not a number" in capsys.readouterr().err


# ---------------------------------------------------------------------------
# Memory: labels are not copied into fixed-width arrays


def test_a_long_label_reads_within_a_small_address_space(tmp_path):
    import subprocess
    import sys

    # 20,000 short edges and one 5,000-character label (about 240 KB): a
    # fixed-width array of every label would need 2 x 20,001 x 5,000 x 4 bytes.
    path = tmp_path / "long-label.txt"
    lines = [f"n{i % 997} n{(i * 7) % 991}\n" for i in range(20_000)] + ["L" * 5000 + " n1\n"]
    path.write_text("".join(lines))
    code = (
        "import resource, sys\n"
        "sys.modules['pyarrow'] = None\n"
        "from graphripple.io import read_edges\n"
        "from graphripple import to_csr\n"
        "size = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
        "resource.setrlimit(resource.RLIMIT_AS, (size + (96 << 20), resource.RLIM_INFINITY))\n"
        f"csr = to_csr(read_edges({str(path)!r}, engine='numpy'))\n"
        "print(csr.num_nodes, len(csr.nodes[-1]))\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == [str(997 + 1), "5000"] or result.stdout.split()[1] == "5000"
