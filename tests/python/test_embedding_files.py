"""Embeddings out and back: graphripple.save and graphripple.load."""

import importlib.util
import os
import stat

import numpy as np
import pytest

from graphripple.io import _embedding_files as ef

HAS_PYARROW = importlib.util.find_spec("pyarrow") is not None


# ---------------------------------------------------------------------------
# Saving and loading embeddings

FORMATS = ["npz", "w2v", "npy", pytest.param("parquet", marks=pytest.mark.skipif(
    not HAS_PYARROW, reason="pyarrow is not installed"))]
SUFFIX = {"npz": ".npz", "w2v": ".w2v", "npy": ".npy", "parquet": ".parquet"}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("labels", ["ids", "strings"])
def test_save_load_round_trip_keeps_bytes(tmp_path, fmt, labels):
    rng = np.random.default_rng(1)
    embedding = rng.standard_normal((50, 7)).astype(np.float32)
    embedding[3] = [0.0, -0.0, 1e-38, 3.4e38, -1.5e-45, 0.1, 1 / 3]
    nodes = None if labels == "ids" else np.array([f"n{i}é" for i in range(50)])
    path = tmp_path / f"emb{SUFFIX[fmt]}"
    ef.save(path, embedding, nodes)
    loaded, loaded_nodes = ef.load(path)
    assert loaded.dtype == np.float32 and loaded.tobytes() == embedding.tobytes()
    expected = list(range(50)) if nodes is None else nodes.tolist()
    if fmt == "w2v":
        expected = [str(x) for x in expected]
    assert loaded_nodes.tolist() == expected
    sidecar = {"emb.nodes.npy"} if fmt == "npy" and nodes is not None else set()
    assert set(os.listdir(tmp_path)) == {path.name} | sidecar  # no temporary left behind


def test_word2vec_text_layout_and_gensim(tmp_path):
    embedding = np.array([[0.5, -1.25], [3.0, 0.1]], dtype=np.float32)
    path = tmp_path / "emb.txt"
    ef.save(path, embedding, ["a", "b"])
    assert path.read_text().splitlines() == ["2 2", "a 0.5 -1.25", "b 3 0.100000001"]
    gensim_models = pytest.importorskip("gensim.models")
    vectors = gensim_models.KeyedVectors.load_word2vec_format(str(path), binary=False)
    assert vectors["b"].tobytes() == embedding[1].tobytes()


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("labels, refusal", [
    ([(0, 0), (0, 1), (1, 0)], "white space"),  # networkx's grid nodes: tuples where the format holds them
    ([("a", "x"), ("b", "y"), ("a", "y")], "white space"),
    ([1, "1", 2], r"the label '1' \(str\) cannot be saved beside 1 \(int\)"),  # two labels that would read back equal
    ([1, "two", (3, 4)], r"the label 'two' \(str\) cannot be saved beside 1"),
    ([(1, "a"), (2, "b"), (3, "c")], r"the label \(1, 'a'\) \(tuple\) cannot be saved and read back"),
    ([0.5, 1.5, None], "cannot be saved beside 0.5"),
])
def test_labels_keep_their_type_or_are_refused_by_name(tmp_path, fmt, labels, refusal):
    path = tmp_path / f"e{SUFFIX[fmt]}"
    nodes = np.empty(3, dtype=object)
    for row, label in enumerate(labels):
        nodes[row] = label
    kept = refusal == "white space" and fmt != "w2v"
    for given in (nodes, labels):  # an object array, or the Python list as it is
        if kept:
            ef.save(path, np.zeros((3, 2)), given)
            assert ef.load(path)[1].tolist() == labels
        else:
            with pytest.raises(ValueError, match=refusal):
                ef.save(path, np.zeros((3, 2)), given)
            assert not path.exists()


@pytest.mark.parametrize("bad_label", ["two words", "", "tab\there"])
def test_word2vec_refuses_labels_that_would_shift_values(tmp_path, bad_label):
    path = tmp_path / "emb.w2v"
    with pytest.raises(ValueError, match="white space"):
        ef.save(path, np.zeros((2, 3)), ["ok", bad_label])
    assert os.listdir(tmp_path) == []


def test_failed_save_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "emb.npz"
    ef.save(path, np.ones((2, 2)))
    before = path.read_bytes()

    def broken(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(np.lib.format, "write_array", broken)
    with pytest.raises(OSError, match="disk full"):
        ef.save(path, np.zeros((5, 5)))
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["emb.npz"]


@pytest.mark.parametrize("call,words", [
    (lambda p: ef.save(p / "e.bin", np.zeros((1, 1))), "suffix"),
    (lambda p: ef.save(p / "e.npz", np.zeros(3)), "two-dimensional"),
    (lambda p: ef.save(p / "e.npz", np.zeros((3, 1)), ["a"]), "one label per row"),
    (lambda p: ef.save(p / "e.npz", np.zeros((1, 1)), format="csv"), "format must be"),
    (lambda p: ef.save(p / "e.parquet", np.zeros((1, 1)), format="npy"), "suffix .parquet names parquet"),
    (lambda p: ef.save(p / "e.txt", np.zeros((1, 1)), format="npz"), "suffix .txt names w2v"),
    (lambda p: ef.save(p / "e.parquet", np.zeros((3, 0))), "needs at least one column"),
    (lambda p: ef.save(p / "e.txt", np.zeros((2, 1)), ["a", "b\udc80"]), r"'b\\udc80' of row 1 is not valid text"),
    (lambda p: ef.save(p / "e.parquet", np.zeros((1, 1)), ["\ud800"]), "cannot be written as UTF-8"),
])
def test_save_refusals(tmp_path, call, words):
    with pytest.raises(ValueError, match=words):
        call(tmp_path)
    assert os.listdir(tmp_path) == []




def test_a_format_may_name_a_file_whose_suffix_names_none(tmp_path):
    path = tmp_path / "emb.bin"
    ef.save(path, np.eye(2), ["a", "b"], format="npy")
    assert ef.load(path, format="npy")[1].tolist() == ["a", "b"]
    assert sorted(os.listdir(tmp_path)) == ["emb.bin", "emb.nodes.npy"]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("mode", [0o600, 0o444, 0o640])
def test_a_replaced_file_keeps_its_mode_and_a_new_one_gets_the_umask(tmp_path, fmt, mode):
    path = tmp_path / f"emb{SUFFIX[fmt]}"
    ef.save(path, np.ones((2, 2)))
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~umask
    os.chmod(path, mode)
    ef.save(path, np.zeros((3, 2)), ["a", "b", "c"])
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert ef.load(path)[0].shape == (3, 2)


# ---------------------------------------------------------------------------
# Foreign and damaged files


def _saved_then_cut(size):
    def make(path):
        ef.save(path, np.ones((20, 4)))
        path.write_bytes(path.read_bytes()[:size])
    return make


def _parquet(columns):
    def make(path):
        import pyarrow as pa
        import pyarrow.parquet as pq

        pq.write_table(pa.table(columns), str(path))
    return make


needs_arrow = pytest.mark.skipif(not HAS_PYARROW, reason="pyarrow is not installed")
DAMAGED = [
    ("e.npz", lambda p: np.savez(p, x=np.zeros(3)), "no array embedding, nodes"),
    ("e.npz", _saved_then_cut(100), "not a readable npz"),
    ("e.npz", lambda p: np.save(p.with_suffix(".npy"), np.zeros((2, 2))) or os.replace(p.with_suffix(".npy"), p),
     "not an .npz archive"),
    ("e.npz", lambda p: np.savez(p, embedding=np.zeros((3, 2)), nodes=np.arange(2)), "2 labels for 3 rows"),
    ("e.w2v", lambda p: p.write_bytes(b"2 2\n\xff\xfe 1 2\n"), "not a readable w2v"),
    ("e.w2v", lambda p: p.write_text("1 2\na b c\n"), ":2: a value is not a number"),
    ("e.w2v", lambda p: p.write_text("a 1 2\n"), ":1: expected a header"),
    ("e.w2v", lambda p: p.write_text("2 1\na 0.5\nb -0.3"), r":3: truncated \(the line has no end\)"),
    ("e.w2v", lambda p: p.write_text("2 1\na 0.5\nb\n"), ":3: expected a label and 1 values"),
    ("e.npy", lambda p: p.write_bytes(b"not an array at all"), "not a readable npy"),
    ("e.npy", lambda p: np.save(p, np.array([{"a": 1}], dtype=object), allow_pickle=True), "Python objects"),
    ("e.npy", _saved_then_cut(150), "truncated"),
    ("e.npy", _saved_then_cut(489), r"truncated \(the run trailer after the array has 41 of its 51 bytes\)"),
    pytest.param("e.parquet", _parquet({"x": [1, 2]}), "expected columns", marks=needs_arrow),
    pytest.param("e.parquet", _parquet({"node": [1, 2], "embedding": [0.5, 1.5]}), "not a readable parquet",
                 marks=needs_arrow),
]


@pytest.mark.parametrize("name,make,words", DAMAGED)
def test_foreign_or_damaged_files_raise_value_error_naming_the_file(tmp_path, name, make, words):
    path = tmp_path / name
    make(path)
    with pytest.raises(ValueError, match=words) as caught:
        ef.load(path)
    assert str(caught.value).startswith(str(path))


def test_a_missing_file_stays_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        ef.load(tmp_path / "absent.npz")


# ---------------------------------------------------------------------------
# A .npy and its labels file always come from one run


def _write_with(writer, path, matrix, nodes):
    if writer == "save":
        ef.save(path, matrix, nodes)
    else:
        with ef.npy_output(path, matrix.shape, nodes) as out:
            out[:] = matrix


LABELS = {"labelled": ["a", "b", "c"], "plain": None, "other labelled": ["x", "y", "z"]}


@pytest.mark.parametrize("writer", ["save", "npy_output"])
@pytest.mark.parametrize("old,new", [("labelled", "other labelled"), ("plain", "labelled"),
                                     ("labelled", "plain")])
def test_a_failure_at_any_step_never_pairs_labels_and_matrix_of_two_runs(tmp_path, monkeypatch, writer, old, new):
    path = tmp_path / "emb.npy"
    old_matrix, new_matrix = np.full((3, 2), 1, np.float32), np.full((3, 2), 2, np.float32)
    expected_old = (old_matrix.tolist(), list(range(3)) if LABELS[old] is None else LABELS[old])
    expected_new = (new_matrix.tolist(), list(range(3)) if LABELS[new] is None else LABELS[new])
    outcomes = set()
    for step in range(6):
        for name in os.listdir(tmp_path):
            os.unlink(tmp_path / name)
        _write_with(writer, path, old_matrix, LABELS[old])
        calls = []
        real_replace, real_unlink = os.replace, os.unlink

        def counted(real):
            def call(*args, **kwargs):
                calls.append(args)
                if len(calls) == step + 1:
                    raise KeyboardInterrupt  # as if the run were stopped just before this step
                return real(*args, **kwargs)
            return call

        with monkeypatch.context() as patch:
            patch.setattr(os, "replace", counted(real_replace))
            # Removing a temporary on the way out is cleanup, not a step.
            patch.setattr(os, "unlink", lambda p, *a, **k: real_unlink(p) if str(p).endswith(".part")
                          else counted(real_unlink)(p, *a, **k))
            try:
                _write_with(writer, path, new_matrix, LABELS[new])
            except KeyboardInterrupt:
                pass
        assert not [n for n in os.listdir(tmp_path) if n.endswith(".part")]
        try:
            matrix, nodes = ef.load(path)
            outcome = (np.asarray(matrix).tolist(), nodes.tolist())
            assert outcome in (expected_old, expected_new)
            outcomes.add("old" if outcome == expected_old else "new")
        except ValueError as error:
            assert "another run" in str(error)
            outcomes.add("refused")
    assert {"old", "new"} <= outcomes


@pytest.mark.parametrize("sidecar", ["from numpy.save, too short", "from a save"])
def test_labels_that_cannot_belong_to_a_plain_numpy_matrix_are_refused(tmp_path, sidecar):
    path = tmp_path / "emb.npy"
    if sidecar == "from a save":
        ef.save(path, np.zeros((3, 2)), ["a", "b", "c"])
    else:
        np.save(ef.nodes_path(path), np.array(["a", "b"]))
    np.save(path, np.ones((3, 2), np.float32))
    with pytest.raises(ValueError, match="another run|2 labels for 3 rows"):
        ef.load(path)


def test_a_plain_numpy_matrix_with_a_matching_labels_file_still_loads(tmp_path):
    path = tmp_path / "emb.npy"
    np.save(path, np.ones((2, 2), np.float32))
    np.save(ef.nodes_path(path), np.array(["a", "b"]))
    assert ef.load(path)[1].tolist() == ["a", "b"]
    assert np.load(path).shape == (2, 2)  # our files stay readable by numpy alone
    ef.save(path, np.ones((2, 2)), ["c", "d"])
    assert np.load(path).tolist() == [[1, 1], [1, 1]] and np.load(ef.nodes_path(path)).tolist() == ["c", "d"]


# ---------------------------------------------------------------------------
# Labels of very different lengths


@pytest.mark.parametrize("fmt", FORMATS)
def test_one_long_label_among_many_nodes_stays_small(tmp_path, fmt):
    # A fixed-width array of these labels would take 100k x 1M x 4 bytes.
    import tracemalloc

    count = 100_000
    nodes = np.empty(count, dtype=object)
    nodes[:] = [f"n{i}" for i in range(count)]
    nodes[7] = "é" + "x" * (1 << 20)
    embedding = np.ones((count, 2), dtype=np.float32)
    path = tmp_path / f"emb{SUFFIX[fmt]}"
    tracemalloc.start()
    try:
        ef.save(path, embedding, nodes)
        loaded, loaded_nodes = ef.load(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 200 << 20
    assert loaded.tobytes() == embedding.tobytes()
    assert loaded_nodes.tolist() == nodes.tolist()


@pytest.mark.parametrize("fmt", ["npz", "npy"])
def test_packed_labels_are_checked_on_load(tmp_path, fmt):
    nodes = ["a", "bé" * (1 << 19), "c"] + [str(i) for i in range(5)]
    path = tmp_path / f"emb{SUFFIX[fmt]}"
    ef.save(path, np.zeros((8, 1)), np.array(nodes, dtype=object))
    assert ef.load(path)[1].tolist() == nodes
    if fmt == "npz":
        with np.load(path) as archive:
            arrays = dict(archive)
        arrays["nodes_offsets"][2] += 1 << 30
        np.savez(path, **arrays)
    else:
        sidecar = ef.nodes_path(path)
        data = bytearray(sidecar.read_bytes())
        header = len(data) - _TRAILER - (8 * 9 + len("".join(nodes).encode()))
        data[header + 8 + 6] = 0x7F  # the second offset, now beyond the third
        sidecar.write_bytes(bytes(data))
    with pytest.raises(ValueError, match="damaged packed labels"):
        ef.load(path)


_TRAILER = ef._TRAILER_LENGTH
