"""The graphripple command: embed files end to end, errors, memory limits, progress."""

import io
import os
import subprocess
import sys

import numpy as np
import pytest

import graphripple
from graphripple import cli
from graphripple._progress import Progress
from graphripple._validation import parse_size
from graphripple.io import load, read_edges

LABELLED = "# friends\nann bob 2\nbob cy 0.5\ncy ann 1\ndee ann 3\nbob bob 1\n"


def run_cli(*argv):
    """The command in this process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    old = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        status = cli.main([str(a) for a in argv], prog="graphripple")
    finally:
        sys.stdout, sys.stderr = old
    return status, out.getvalue(), err.getvalue()


@pytest.fixture
def labelled_file(tmp_path):
    path = tmp_path / "friends.txt"
    path.write_text(LABELLED)
    return path


def reference(edges_text_path, dim, weights=(0.0, 1.0, 1.0), **options):
    """The same embedding through the Python API."""
    return graphripple.embed_labelled(read_edges(edges_text_path), dim, list(weights), **options)


@pytest.mark.parametrize("suffix", [".npz", ".w2v", ".txt", ".npy", ".parquet"])
def test_round_trip_equals_embed(tmp_path, labelled_file, suffix):
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"emb{suffix}"
    status, stdout, stderr = run_cli("embed", labelled_file, "-o", out, "--dim", 16, "--weights", "0.5,1,1",
                                     "--seed", 11, "--quiet")
    assert (status, stdout, stderr) == (0, "", "")
    embedding, nodes = load(out)
    expected, expected_nodes = reference(labelled_file, 16, (0.5, 1.0, 1.0), seed=11)
    assert embedding.tobytes() == expected.tobytes()
    assert nodes.tolist() == expected_nodes.tolist() == ["ann", "bob", "cy", "dee"]


def test_directed_integer_ids_with_gaps(tmp_path):
    path = tmp_path / "ids.csv"
    path.write_text("0,5\n5,2\n2,0\n")
    out = tmp_path / "emb.npz"
    assert run_cli("embed", path, "-o", out, "--directed", "--dim", 8, "--seed", 3)[0] == 0
    embedding, nodes = load(out)
    assert nodes.tolist() == list(range(6))  # ids are rows; 1, 3 and 4 have no edges
    expected = graphripple.embed(graphripple.Edges([0, 5, 2], [5, 2, 0], num_nodes=6), 8, seed=3,
                                 undirected=False)
    assert embedding.tobytes() == expected.tobytes()
    assert not embedding[[1, 3, 4]].any()


def test_command_line_through_python_dash_m(tmp_path, labelled_file):
    out = tmp_path / "emb.npz"
    done = subprocess.run([sys.executable, "-m", "graphripple", "embed", str(labelled_file), "-o", str(out),
                           "--dim", "4", "--seed", "1", "--quiet"], capture_output=True, text=True)
    # --quiet: no stage lines even when a loaded machine makes the run last over a second.
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    assert load(out)[0].shape == (4, 4)


BAD_RUNS = [
    # (edge file text or None for a missing file, extra arguments, words in the error line)
    ("a b\nb\n", [], "bad.txt:2: expected 2 fields"),
    ("0 1\n1 two\n", [], "bad.txt:2: target 'two' is not an integer"),
    ("# nothing\n", [], "bad.txt: no edges found"),
    (None, [], "bad.txt: no such file"),
    ("0 1\n", ["--delimiter", "xy"], "delimiter must be"),
    ("0 1\n", ["-o", "{tmp}/emb.csv"], "cannot tell the format"),
    ("0 1\n", ["-o", "{tmp}/missing/emb.npz"], "does not exist"),
    ("0 1\n", ["--memory-limit", "1G"], "--memory-limit writes a memory-mapped .npy"),
    ("0 1\n", ["--direction", "in"], "--direction in needs --directed"),
    ("0 1\n", ["-o", "{tmp}/emb.npy", "--memory-limit", "16"], "below the"),
    ("0 1 -1\n", ["--edge-weight", "log1p"], "log1p"),
]


@pytest.mark.parametrize("text,extra,words", BAD_RUNS)
def test_errors_are_one_line_exit_2_and_write_nothing(tmp_path, text, extra, words):
    path = tmp_path / "bad.txt"
    if text is not None:
        path.write_text(text)
    extra = [a.replace("{tmp}", str(tmp_path)) for a in extra]
    output = ["-o", str(tmp_path / "emb.npz")] if "-o" not in extra else []
    before = set(os.listdir(tmp_path))
    status, stdout, stderr = run_cli("embed", path, *output, *extra)
    assert status == 2
    assert stderr.startswith("graphripple: error: ") and stderr.count("\n") == 1, stderr
    assert words in stderr
    assert set(os.listdir(tmp_path)) == before


def test_bad_file_through_a_real_process_has_no_traceback(tmp_path):
    path = tmp_path / "bad.txt.gz"
    path.write_bytes(b"not gzip at all")
    done = subprocess.run([sys.executable, "-m", "graphripple", "embed", str(path), "-o",
                           str(tmp_path / "e.npz")], capture_output=True, text=True)
    assert done.returncode == 2
    assert "Traceback" not in done.stderr and done.stderr.count("\n") == 1
    assert str(path) in done.stderr
    assert os.listdir(tmp_path) == ["bad.txt.gz"]


def test_bad_option_values_are_usage_errors(labelled_file):
    for args in (["--dim", "0"], ["--weights", "1,x"], ["--seed", "-1"], ["--memory-limit", "lots"]):
        with pytest.raises(SystemExit) as caught:
            run_cli("embed", labelled_file, "-o", "x.npz", *args)
        assert caught.value.code == 2


def test_memory_limit_writes_a_memmap_in_blocks(tmp_path, monkeypatch):
    rng = np.random.default_rng(2)
    path = tmp_path / "graph.tsv"
    n = 400
    src, dst = rng.integers(0, n, 3000), rng.integers(0, n, 3000)
    path.write_text("".join(f"{a}\t{b}\n" for a, b in zip(src, dst)))
    dim = 32
    seen = []
    real_embed = graphripple.embed

    def spy(*args, **kwargs):
        seen.append(kwargs.get("block_columns"))
        assert isinstance(kwargs["out"], np.memmap)
        return real_embed(*args, **kwargs)

    monkeypatch.setattr(cli._main, "embed", spy)
    monkeypatch.setattr(cli._main, "pick_block_columns", lambda *a, **k: 5)
    out = tmp_path / "big.npy"
    assert run_cli("embed", path, "-o", out, "--dim", dim, "--seed", 9, "--memory-limit", "64M")[0] == 0
    assert seen == [5]
    embedding, nodes = load(out)
    assert isinstance(embedding, np.memmap) and nodes.tolist() == list(range(embedding.shape[0]))
    expected = real_embed(graphripple.Edges(src, dst), dim, seed=9)
    assert np.asarray(embedding).tobytes() == expected.tobytes()


@pytest.mark.parametrize("text,size", [
    ("4G", 4 << 30), ("512M", 512 << 20), ("1.5GiB", 3 << 29), ("100", 100), ("2kb", 2048), ("1T", 1 << 40),
])
def test_parse_size(text, size):
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "G", "4X", "-1G", "0"])
def test_parse_size_refuses(text):
    with pytest.raises(ValueError):
        parse_size(text)


class Terminal(io.StringIO):
    def isatty(self):
        return True


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def test_progress_starts_after_the_delay_and_lists_every_stage():
    clock, stream = Clock(), Terminal()
    progress = Progress(stream, True, delay=1.0, interval=None, clock=clock)
    with progress.stage("reading"):
        clock.now = 0.4
    progress.tick()
    assert stream.getvalue() == ""  # a short run shows nothing
    with progress.stage("fitting"):
        clock.now = 2.0
        progress.tick()
        assert stream.getvalue() == "graphripple: reading ... 0.4 s\n\rgraphripple: fitting ... 1.6 s "
        clock.now = 3.0
    progress.close("wrote x")
    assert stream.getvalue().endswith("\rgraphripple: fitting ... 2.6 s\ngraphripple: wrote x in 3.0 s\n")


def test_progress_disabled_or_short_writes_nothing():
    clock, stream = Clock(), Terminal()
    for enabled, finish in ((False, 5.0), (True, 0.5)):
        progress = Progress(stream, enabled, interval=None, clock=clock)
        with progress.stage("fitting"):
            clock.now += finish
            progress.tick()
        progress.note("estimate") if not enabled else None
        progress.close("done")
    assert stream.getvalue() == ""


@pytest.mark.parametrize("args,options", [
    (["--normalization", "l2", "--degree-exponent", "0.5"], {"normalization": "l2", "degree_exponent": 0.5}),
    (["--edge-weight", "log1p", "--directed", "--direction", "in"],
     {"edge_weight": "log1p", "undirected": False, "direction": "in"}),
    (["--directed", "--direction", "both"], {"undirected": False, "direction": "both"}),
])
def test_engine_options_reach_embed(tmp_path, labelled_file, args, options):
    out = tmp_path / "emb.npz"
    assert run_cli("embed", labelled_file, "-o", out, "--dim", 8, "--seed", 2, *args)[0] == 0
    expected, _ = reference(labelled_file, 8, seed=2, **options)
    assert load(out)[0].tobytes() == expected.tobytes()
