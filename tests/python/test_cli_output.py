"""The graphripple command's output: checks before reading, full disks, signals."""

import contextlib
import io
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from graphripple import cli

from conftest import mounted_tmpfs

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def run_cli(*argv):
    """The command in this process: (exit status, stderr)."""
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        status = cli.main([str(a) for a in argv], prog="graphripple")
    return status, err.getvalue()


def failure_lines(stderr):
    """Lines of stderr besides the progress lines of finished stages (stderr is not a terminal here)."""
    return sum(1 for line in stderr.splitlines() if not re.match(r"graphripple: (?!error:)", line))


def run_process(*argv, timeout=120):
    result = subprocess.run([sys.executable, "-m", "graphripple", *map(str, argv)], capture_output=True,
                            text=True, env=ENV, timeout=timeout)
    return result.returncode, result.stderr


# ---------------------------------------------------------------------------
# Checks made before anything is read


def _hard_link(tmp_path, source):
    os.link(source, tmp_path / "link.txt")
    return tmp_path / "link.txt"


def _symbolic_link(tmp_path, source):
    os.symlink(source, tmp_path / "link.txt")
    return tmp_path / "link.txt"


SAME = [
    # (input name, output given the input's path, extra arguments)
    ("same.txt", lambda tmp, source: source, []),
    ("same.npz", lambda tmp, source: source, []),
    ("same.txt", _hard_link, []),
    ("same.txt", _symbolic_link, []),
    ("same.txt", lambda tmp, source: tmp / "." / "same.txt", ["--format", "w2v"]),
    ("g.nodes.npy", lambda tmp, source: tmp / "g.npy", ["--labels"]),
]


@pytest.mark.parametrize("name,output,extra", SAME)
def test_an_output_that_is_the_input_is_refused_and_the_input_kept(tmp_path, name, output, extra):
    source = tmp_path / name
    if name.endswith(".npz"):
        np.savez(source, src=np.array([0, 1]), dst=np.array([1, 2]))
    else:
        source.write_text("a b\nb c\n")
    before, listing = source.read_bytes(), sorted(os.listdir(tmp_path))
    target = output(tmp_path, source)
    listing = sorted(os.listdir(tmp_path))
    status, stderr = run_cli("embed", source, "-o", target, "--dim", 2, *extra)
    assert status == 2
    assert stderr.count("\n") == 1 and "is the input file" in stderr, stderr
    assert source.read_bytes() == before and sorted(os.listdir(tmp_path)) == listing


def _command(*argv):
    return [sys.executable, "-m", "graphripple", "embed", *map(str, argv), "--dim", "4", "--seed", "3", "-q"]


@pytest.mark.parametrize("fmt", ["npz", "w2v", "parquet", "npy"])
def test_special_outputs_are_written_as_streams_and_links_are_followed(tmp_path, fmt):
    if fmt == "parquet":
        pytest.importorskip("pyarrow.parquet")
    graphripple = pytest.importorskip("graphripple")
    edges = tmp_path / "edges.txt"
    edges.write_text("0 1\n1 2\n2 0\n2 3\n")
    expected = graphripple.embed(graphripple.Edges([0, 1, 2, 2], [1, 2, 0, 3]), 4, seed=3)
    # Standard output: "-" with the format named, whatever stdout is (here a pipe).
    piped = subprocess.run(_command(edges, "-o", "-", "--format", fmt), capture_output=True, env=ENV, timeout=120)
    assert piped.returncode == 0, piped.stderr
    (tmp_path / f"piped.{fmt}").write_bytes(piped.stdout)
    assert graphripple.load(tmp_path / f"piped.{fmt}")[0].tobytes() == expected.tobytes()
    # A FIFO stays a FIFO, and its reader gets the whole file.
    fifo = tmp_path / f"out.{fmt}"
    os.mkfifo(fifo)
    writer = subprocess.Popen(_command(edges, "-o", fifo), env=ENV, stderr=subprocess.PIPE)
    with open(fifo, "rb") as stream:
        received = stream.read()
    assert writer.wait(timeout=120) == 0
    assert received == piped.stdout or (fmt == "npy" and len(received) == len(piped.stdout))  # npy: its run token
    assert os.path.exists(fifo) and not os.path.isfile(fifo)
    # A link keeps pointing where it did; the file it names is replaced.
    target, link = tmp_path / f"target.{fmt}", tmp_path / f"link.{fmt}"
    target.write_bytes(b"old")
    os.symlink(target.name, link)
    assert subprocess.run(_command(edges, "-o", link), env=ENV, timeout=120).returncode == 0
    assert os.readlink(link) == target.name and graphripple.load(target)[0].tobytes() == expected.tobytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["edges.txt", f"piped.{fmt}", fifo.name, target.name, link.name])


@pytest.mark.parametrize("extra, words", [
    (["--format", "npy", "--labels"], "a .npy with labels is two files, which a stream cannot be"),
    (["--format", "npy", "--memory-limit", "1G"], "--memory-limit maps the output file"),
])
def test_outputs_a_stream_cannot_hold_are_refused_before_reading(tmp_path, extra, words):
    status, stderr = run_cli("embed", tmp_path / "absent.txt", "-o", "-", *extra)
    assert status == 2 and words in stderr and failure_lines(stderr) == 1


def test_a_suffix_that_contradicts_the_format_is_refused(tmp_path):
    source = tmp_path / "e.txt"
    source.write_text("0 1\n")
    status, stderr = run_cli("embed", source, "-o", tmp_path / "x.parquet", "--format", "npy")
    assert status == 2 and "suffix .parquet names parquet files, not npy" in stderr
    assert os.listdir(tmp_path) == ["e.txt"]


def test_an_unwritable_folder_is_named_before_the_input_is_read(tmp_path):
    with mounted_tmpfs(tmp_path / "ro", "ro,size=1m") as folder:
        # The input does not exist: the output's folder is what gets reported.
        status, stderr = run_cli("embed", tmp_path / "absent.txt", "-o", folder / "e.npz")
        assert status == 2
        assert stderr == f"graphripple: error: {folder / 'e.npz'}: cannot write in the folder " \
                         f"{str(folder)!r}: Read-only file system\n"


# ---------------------------------------------------------------------------
# A full disk


@pytest.mark.parametrize("extra", [["-o", "{disk}/e.npy", "--memory-limit", "1G"], ["-o", "{disk}/e.npz"]],
                         ids=["memory-mapped", "whole"])
def test_a_full_disk_is_one_line_exit_1_and_leaves_nothing(tmp_path, extra):
    source = tmp_path / "g.npz"
    rng = np.random.default_rng(3)
    np.savez(source, src=rng.integers(0, 20000, 40000), dst=rng.integers(0, 20000, 40000))
    with mounted_tmpfs(tmp_path / "disk", "size=1m") as disk:
        arguments = [a.replace("{disk}", str(disk)) for a in extra]
        status, stderr = run_process("embed", source, *arguments, "--dim", 32, "--seed", 1)
        assert status == 1, stderr  # not 135, a SIGBUS from writing a mapping into a full disk
        assert f"graphripple: error: {arguments[1]}: No space left on device" in stderr
        assert failure_lines(stderr) == 1
        assert os.listdir(disk) == []


# ---------------------------------------------------------------------------
# Signals: stop soon, exit 130 or 143, leave no output and no temporary file


@pytest.fixture(scope="module")
def big_graph(tmp_path_factory):
    """A graph whose fit takes several seconds and whose word2vec text takes seconds to write."""
    path = tmp_path_factory.mktemp("graph") / "big.npz"
    rng = np.random.default_rng(5)
    n, m = 200_000, 2_000_000
    np.savez(path, src=rng.integers(0, n, m), dst=rng.integers(0, n, m))
    return path


STAGES = {
    # stage: (arguments, seconds to wait after the temporary file appears)
    "fit": (["-o", "{out}/e.npy", "--memory-limit", "8G", "--dim", 128, "--weights", "0,1,1,1,1,1,1,1,1"], 0.5),
    "write": (["-o", "{out}/e.w2v", "--dim", 64, "--weights", "0,1,1,1"], 0.2),
}


@pytest.mark.parametrize("stage", STAGES)
@pytest.mark.parametrize("signum,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)], ids=["SIGINT", "SIGTERM"])
def test_a_signal_stops_the_run_soon_and_leaves_nothing(tmp_path, big_graph, stage, signum, status):
    out = tmp_path / "out"
    out.mkdir()
    arguments, settle = STAGES[stage]
    arguments = [str(a).replace("{out}", str(out)) for a in arguments]
    process = subprocess.Popen([sys.executable, "-m", "graphripple", "embed", str(big_graph), *arguments,
                                "--seed", "2"], stderr=subprocess.PIPE, text=True, env=ENV)
    try:
        deadline = time.monotonic() + 120
        # The temporary file appears when the memory-mapped output is created
        # (before the fit) or when the text starts being written.
        while not any(name.endswith(".part") for name in os.listdir(out)):
            assert process.poll() is None, process.stderr.read()
            assert time.monotonic() < deadline
            time.sleep(0.02)
        time.sleep(settle)
        assert process.poll() is None, "the run ended before the signal"
        sent = time.monotonic()
        process.send_signal(signum)
        _, stderr = process.communicate(timeout=300)
        latency = time.monotonic() - sent
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == status, stderr
    assert failure_lines(stderr) <= 1
    assert os.listdir(out) == []
    # During the fit this needs the native fit to check for signals.
    assert latency < 5, f"stopped {latency:.1f} s after the signal"
