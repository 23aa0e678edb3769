"""embed's progress reports and memory_limit; the command line's bar and stage lines."""

import io
import sys

import numpy as np
import pytest

import graphripple
from graphripple import _embed as embedding
from graphripple._progress import Progress, TextBar, bar_text

scipy_sparse = pytest.importorskip("scipy.sparse")


def graph(n=300, seed=2):
    rng = np.random.default_rng(seed)
    m = 6 * n
    return scipy_sparse.csr_matrix((rng.random(m) + 0.1, (rng.integers(0, n, m), rng.integers(0, n, m))),
                                   shape=(n, n))


class Recorder:
    def __init__(self, raise_at=None):
        self.calls = []
        self.raise_at = raise_at

    def __call__(self, stage, done, total):
        self.calls.append((stage, done, total))
        if self.raise_at is not None and (stage, done) == self.raise_at:
            raise RuntimeError("stop here")


@pytest.mark.parametrize("options", [
    {},
    {"weights": [0, 1, 1, 1], "block_columns": 5},
    {"weights": [1, 0, 1], "combine": "concat", "block_columns": 3},
    {"undirected": False, "direction": "both", "normalization": "l2"},
    {"weights": [0, 0]},
], ids=["default", "blocks", "concat", "both", "no-term"])
@pytest.mark.parametrize("with_out", [False, True])
def test_reports_each_stage_monotonic_to_its_end_without_changing_bytes(options, with_out):
    a = graph()
    options = dict(options)
    weights = options.pop("weights", [0, 1, 1])
    expected = graphripple.embed(a, 16, weights, seed=9, **options)
    out = np.empty_like(expected) if with_out else None
    record = Recorder()
    got = graphripple.embed(a, 16, weights, seed=9, out=out, progress=record, **options)
    assert got.tobytes() == expected.tobytes()
    stages = [stage for stage, _, _ in record.calls]
    order = list(dict.fromkeys(stages))
    assert order == (["graph", "fit", "write"] if with_out else ["graph", "fit"])
    for stage in order:
        reports = [(done, total) for s, done, total in record.calls if s == stage]
        dones = [done for done, _ in reports]
        assert dones == sorted(dones) and len({total for _, total in reports}) == 1, reports
        assert reports[-1][0] == reports[-1][1] >= 1
    assert stages == sorted(stages, key=order.index)  # each stage reported in one run


def test_a_raising_callback_stops_the_fit_and_leaves_later_blocks_unwritten():
    a = graph(2000)
    out = np.full((2000, 64), np.nan, np.float32)
    record = Recorder(raise_at=("fit", 1))
    with pytest.raises(RuntimeError, match="stop here"):
        graphripple.embed(a, 64, [0, 1, 1], seed=1, out=out, block_columns=8, progress=record)
    assert np.isnan(out[:, 8:]).all()
    assert not [c for c in record.calls if c[0] == "write"]
    # The engine is usable at once afterwards.
    assert graphripple.embed(a, 64, [0, 1, 1], seed=1).shape == (2000, 64)


def test_progress_argument_is_checked_and_true_draws_a_bar(capsys, monkeypatch):
    a = graph()
    with pytest.raises(TypeError, match="progress must be"):
        graphripple.embed(a, 8, progress="yes")
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # tqdm absent: the text bar
    graphripple.embed(a, 8, seed=1, progress=True)
    lines = capsys.readouterr().err.splitlines()
    assert [line.split(" ...")[0] for line in lines] == ["graphripple: graph", "graphripple: fit"]
    monkeypatch.setattr(sys, "stderr", None)  # no stream to draw on: the fit runs without a bar
    assert graphripple.embed(a, 8, seed=1, progress=True).tobytes() == graphripple.embed(a, 8, seed=1).tobytes()


def test_text_bar_redraws_on_a_terminal_and_writes_a_line_per_stage_otherwise():
    now = [0.0]
    for terminal in (True, False):
        stream = io.StringIO()
        bar = TextBar(stream, terminal=terminal, clock=lambda: now[0])
        bar("fit", 0, 4)
        now[0] += 1.0
        bar("fit", 1, 4)
        now[0] += 3.0
        bar("fit", 4, 4)
        bar("write", 1, 1)
        text = stream.getvalue()
        if terminal:
            assert "\rgraphripple: fit [######" in text and "25% 1.0 s, 3.0 s left" in text
            assert text.count("\n") == 2
        else:
            assert text == "graphripple: fit ... 4.0 s\ngraphripple: write ... 0.0 s\n"
    assert bar_text("x", 0, 0, 0.0).startswith("x [####")  # an empty stage is complete


def spy_blocks(monkeypatch):
    seen = []
    real = embedding._native_ext.fit_csr_ext

    def spy(*args, **kwargs):
        seen.append(kwargs.get("block_columns"))
        return real(*args, **kwargs)
    monkeypatch.setattr(embedding._native_ext, "fit_csr_ext", spy)
    return seen


def test_memory_limit_picks_blocks_and_keeps_the_bytes(monkeypatch):
    a = graph(4000)
    n, dim = 4000, 64
    expected = graphripple.embed(a, dim, [0, 1, 1], seed=3)
    seen = spy_blocks(monkeypatch)
    for limit, blocked in (("1G", False), (2_300_000, True)):
        out = np.empty((n, dim), np.float32)
        graphripple.embed(a, dim, [0, 1, 1], seed=3, out=out, memory_limit=limit)
        assert out.tobytes() == expected.tobytes()
        assert (seen[-1] < dim) == blocked, seen
    with pytest.raises(ValueError, match="memory_limit needs out"):
        graphripple.embed(a, dim, memory_limit="4G")
    with pytest.raises(ValueError, match="memory_limit .* below"):
        graphripple.embed(a, dim, out=np.empty((n, dim), np.float32), memory_limit=1000)
    with pytest.raises(ValueError, match="memory_limit: not a size"):
        graphripple.embed(a, dim, out=np.empty((n, dim), np.float32), memory_limit="lots")
    with pytest.raises(ValueError, match="memory_limit or block_columns"):
        graphripple.embed(a, dim, out=np.empty((n, dim), np.float32), memory_limit="1G", block_columns=4)


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


def test_cli_progress_off_a_terminal_is_one_line_per_stage():
    clock, stream = Clock(), io.StringIO()
    progress = Progress(stream, True, terminal=False, delay=1.0, interval=None, clock=clock)
    with progress.stage("reading"):
        clock.now = 0.5
    assert stream.getvalue() == ""  # a short run shows nothing
    with progress.stage("fitting"):
        progress.update(3, 6)
        clock.now = 2.0
        progress.tick()
    progress.close("wrote x")
    assert stream.getvalue() == ("graphripple: reading ... 0.5 s\ngraphripple: fitting ... 1.5 s\n"
                                 "graphripple: wrote x in 2.0 s\n")


def test_cli_progress_on_a_terminal_draws_the_fit_as_a_bar():
    clock, stream = Clock(), io.StringIO()
    progress = Progress(stream, True, terminal=True, delay=0.0, interval=None, clock=clock)
    with progress.stage("fitting"):
        clock.now = 2.0
        progress.reporter()("fit", 1, 4)
        progress.reporter()("graph", 1, 1)  # other stages of embed are not the command's
        progress.tick()
    assert "\rgraphripple: fitting [######" in stream.getvalue()
    assert "25% 2.0 s, 6.0 s left" in stream.getvalue()


def test_true_uses_one_tqdm_bar_per_stage_when_installed(monkeypatch):
    bars = []

    class FakeBar:
        def __init__(self, total, desc, leave):
            self.total, self.desc, self.n, self.closed = total, desc, 0, False
            bars.append(self)

        def update(self, step):
            assert step >= 0
            self.n += step

        def close(self):
            self.closed = True

    module = type(sys)("tqdm.auto")
    module.tqdm = FakeBar
    monkeypatch.setitem(sys.modules, "tqdm.auto", module)
    graphripple.embed(graph(), 8, [0, 1, 1], seed=1, out=np.empty((300, 8), np.float32), block_columns=3,
                      progress=True)
    assert [b.desc for b in bars] == ["graph", "fit", "write"]
    assert all(b.closed and b.n == b.total for b in bars)
