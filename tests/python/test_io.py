"""Embeddings out and back in: graphripple.io."""

import importlib.util
import os

import numpy as np
import pytest

from graphripple import io as gio

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
    gio.save(path, embedding, nodes)
    loaded, loaded_nodes = gio.load(path)
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
    gio.save(path, embedding, ["a", "b"])
    assert path.read_text().splitlines() == ["2 2", "a 0.5 -1.25", "b 3 0.100000001"]
    gensim_models = pytest.importorskip("gensim.models")
    vectors = gensim_models.KeyedVectors.load_word2vec_format(str(path), binary=False)
    assert vectors["b"].tobytes() == embedding[1].tobytes()


def test_mixed_labels_are_written_as_text(tmp_path):
    path = tmp_path / "e.npz"
    nodes = np.empty(3, dtype=object)
    nodes[:] = [1, "two", (3, 4)]
    gio.save(path, np.zeros((3, 2)), nodes)
    assert gio.load(path)[1].tolist() == ["1", "two", "(3, 4)"]


@pytest.mark.parametrize("bad_label", ["two words", "", "tab\there"])
def test_word2vec_refuses_labels_that_would_shift_values(tmp_path, bad_label):
    path = tmp_path / "emb.w2v"
    with pytest.raises(ValueError, match="white space"):
        gio.save(path, np.zeros((2, 3)), ["ok", bad_label])
    assert os.listdir(tmp_path) == []


def test_failed_save_leaves_the_old_file_and_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "emb.npz"
    gio.save(path, np.ones((2, 2)))
    before = path.read_bytes()

    def broken(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(np, "savez", broken)
    with pytest.raises(OSError, match="disk full"):
        gio.save(path, np.zeros((5, 5)))
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["emb.npz"]


@pytest.mark.parametrize("call,words", [
    (lambda p: gio.save(p / "e.bin", np.zeros((1, 1))), "suffix"),
    (lambda p: gio.save(p / "e.npz", np.zeros(3)), "two-dimensional"),
    (lambda p: gio.save(p / "e.npz", np.zeros((3, 1)), ["a"]), "one label per row"),
    (lambda p: gio.save(p / "e.npz", np.zeros((1, 1)), format="csv"), "format must be"),
])
def test_save_refusals(tmp_path, call, words):
    with pytest.raises(ValueError, match=words):
        call(tmp_path)
    assert os.listdir(tmp_path) == []
