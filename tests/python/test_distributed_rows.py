"""Row-partitioned fits on a real LocalCluster with worker processes.

Every result is compared byte for byte with graphripple.embed on the same
edges in this process: from in-memory graphs split by the client, and from
edge DataFrames read from parquet shards by the workers. A worker plugin
that kills its own process stands in for a worker lost mid-run.
"""

import logging
import os
import resource
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

distributed = pytest.importorskip(
    "distributed", reason="dask.distributed is not installed (pip install 'graphripple[dask]')")
dd = pytest.importorskip("dask.dataframe", reason="dask.dataframe needs pandas")
import cloudpickle  # noqa: E402
import dask  # noqa: E402
import dask.array as da  # noqa: E402
import pandas as pd  # noqa: E402

import graphripple  # noqa: E402
from graphripple import CsrInput, _native_ext, _options as options  # noqa: E402
from graphripple.distributed import _rows as gr  # noqa: E402

from conftest import local_cluster  # noqa: E402

cloudpickle.register_pickle_by_value(sys.modules[__name__])


def random_edges(n, count, seed):
    """Edges in no order, with repeats (summed in input order), self-loops and a hub."""
    rng = np.random.default_rng(seed)
    src = rng.integers(0, n, count)
    dst = np.where(rng.random(count) < 0.2, 0, rng.integers(0, n, count))
    weights = rng.choice([0.1, 0.5, 1.0 / 3.0, 2.0, 3.0], count)
    repeat = rng.integers(0, count, count // 10)
    return (np.concatenate([src, src[repeat]]), np.concatenate([dst, dst[repeat]]),
            np.concatenate([weights, rng.random(repeat.size)]))


SRC, DST, WEIGHTS = random_edges(300, 1500, seed=3)
EDGES = graphripple.Edges(SRC, DST, WEIGHTS, num_nodes=300)
FEATURES = np.random.default_rng(4).standard_normal((300, 5))


@pytest.fixture(scope="module")
def client():
    # One death of a task's worker is retried; a second raises KilledWorker.
    with local_cluster(n_workers=2, allowed_failures=1, env={"RAYON_NUM_THREADS": "1"}) as c:
        yield c


@pytest.fixture(scope="module")
def shards(tmp_path_factory):
    """The edges as four parquet shards (one of a single row), in input order."""
    folder = tmp_path_factory.mktemp("edges")
    cuts = [0, 700, 701, 1200, SRC.size]
    for j, (a, b) in enumerate(zip(cuts[:-1], cuts[1:])):
        pd.DataFrame({"source": SRC[a:b], "target": DST[a:b], "weight": WEIGHTS[a:b]}).to_parquet(
            folder / f"part-{j}.parquet")
    return folder


OPTIONS = [
    {},
    {"undirected": False},
    {"undirected": False, "direction": "in", "normalization": "l2"},
    {"undirected": False, "direction": "both", "edge_weight": "log1p", "degree_exponent": -0.5},
    {"edge_weight": "binary", "normalization": "l2", "degree_exponent": 0.5},
    {"node_features": FEATURES, "feature_weight": 0.5},
    {"undirected": False, "direction": "both", "combine": "concat", "normalization": "l2"},
]


@pytest.mark.parametrize("parts", [1, 2, 3, 7])
@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: ",".join(o) or "defaults")
def test_in_memory_graph_equals_the_local_fit(client, options, parts):
    expected = graphripple.embed(EDGES, 12, [0.5, 0.0, 1.0, 1.0], seed=9, **options)
    result = gr.embed_rows(EDGES, client, 12, [0.5, 0.0, 1.0, 1.0], seed=9, parts=parts, **options)
    assert result.chunks[0] == tuple(np.diff(gr.row_bounds(300, parts)))
    assert result.compute().tobytes() == expected.tobytes()


def test_the_front_door_picks_row_partitions(client, shards):
    """distributed.embed: rows for an edge DataFrame, or when asked; columns otherwise."""
    from graphripple import distributed as gd

    expected = graphripple.embed(EDGES, 8, [0.0, 1.0, 1.0], seed=4)
    frame = dd.read_parquet(str(shards))
    by_default = gd.embed(frame, client, 8, [0.0, 1.0, 1.0], seed=4, parts=2)
    asked = gd.embed(EDGES, client, 8, [0.0, 1.0, 1.0], seed=4, partition="rows", parts=3)
    columns = gd.embed(EDGES, client, 8, [0.0, 1.0, 1.0], seed=4, blocks=2)
    for result in (by_default, asked, columns):
        assert np.asarray(result.compute()).tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="partition must be 'columns' or 'rows'"):
        gd.embed(EDGES, client, 8, seed=4, partition="diagonal")
    with pytest.raises(ValueError, match="need partition='rows'"):
        gd.embed(EDGES, client, 8, seed=4, parts=2)
    with pytest.raises(ValueError, match="give parts with partition='rows'"):
        gd.embed(EDGES, client, 8, seed=4, partition="rows", blocks=2)


@pytest.mark.parametrize("weights", [[0.0], [2.0], [0.0, 0.0, 1.0], [float("nan"), 1.0]])
def test_weight_patterns_equal_the_local_fit(client, weights):
    expected = graphripple.embed(EDGES, 8, weights, seed=1, degree_exponent=-1.0)
    result = gr.embed_rows(EDGES, client, 8, weights, seed=1, parts=3, degree_exponent=-1.0)
    assert result.compute().tobytes() == expected.tobytes()


@pytest.mark.parametrize("parts", [1, 2, 3, 7])
@pytest.mark.parametrize("options", [OPTIONS[0], OPTIONS[3]], ids=["defaults", "both"])
def test_dataframe_from_parquet_shards_equals_the_local_fit(client, shards, options, parts):
    frame = dd.read_parquet(str(shards / "*.parquet"))
    expected = graphripple.embed(EDGES, 8, [0.0, 1.0, 1.0], seed=4, **options)
    result = gr.embed_rows(frame, client, 8, [0.0, 1.0, 1.0], seed=4, parts=parts, **options)
    assert result.compute().tobytes() == expected.tobytes()


def test_dataframe_without_weights_and_features_as_a_dask_array(client, shards):
    frame = dd.read_parquet(str(shards / "*.parquet"), columns=["source", "target"])
    features = da.from_array(np.vstack([FEATURES, np.ones((2, 5))]), chunks=(45, 5))
    ones = graphripple.Edges(SRC, DST, np.ones(SRC.size), num_nodes=302)
    expected = graphripple.embed(ones, 8, [1.0, 1.0], seed=6, node_features=features.compute())
    result = gr.embed_rows(frame, client, 8, [1.0, 1.0], seed=6, parts=3, num_nodes=302, node_features=features)
    assert result.shape == (302, 8)
    assert result.compute().tobytes() == expected.tobytes()


def test_seedless_fit_draws_one_seed_for_every_block(client, monkeypatch):
    monkeypatch.setattr(options, "draw_seed", lambda: 1234)
    result = gr.embed_rows(EDGES, client, 8, [0.0, 1.0], parts=3)
    assert result.compute().tobytes() == graphripple.embed(EDGES, 8, [0.0, 1.0], seed=1234).tobytes()


@pytest.mark.parametrize("suffix", [".npy", ".zarr"])
def test_out_store_is_written_whole_and_an_old_one_survives_a_failure(client, tmp_path, suffix):
    pytest.importorskip("zarr") if suffix == ".zarr" else None
    target = tmp_path / f"embedding{suffix}"
    stored = gr.embed_rows(EDGES, client, 8, [0.0, 1.0], seed=2, parts=3, out=str(target))
    expected = graphripple.embed(EDGES, 8, [0.0, 1.0], seed=2)
    assert np.asarray(stored[:]).tobytes() == expected.tobytes()
    # A refused edge weight fails the fit: the old store stays and no temporary is left.
    negative = graphripple.Edges(SRC, DST, -WEIGHTS, num_nodes=300)
    with pytest.raises(ValueError, match="log1p"):
        gr.embed_rows(negative, client, 8, [0.0, 1.0], seed=3, parts=3, out=str(target), edge_weight="log1p")
    again = np.load(target, mmap_mode="r") if suffix == ".npy" else __import__("zarr").open_array(str(target))
    assert np.asarray(again[:]).tobytes() == expected.tobytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == [target.name]


def test_log1p_refusals_match_the_local_fit(client, shards):
    weights = WEIGHTS.copy()
    weights[[40, 900, 1400]] = [-1.0, -2.0, float("nan")]
    graph = graphripple.Edges(SRC, DST, weights, num_nodes=300)
    with pytest.raises(ValueError) as local:
        graphripple.embed(graph, 8, [0.0, 1.0], seed=1, edge_weight="log1p")
    with pytest.raises(ValueError) as rows:
        gr.embed_rows(graph, client, 8, [0.0, 1.0], seed=1, parts=7, edge_weight="log1p")
    assert str(rows.value) == str(local.value)
    weights[1400] = 0.5  # a frame's NaN weight is a missing one, refused before the log1p check
    frame = dd.from_pandas(pd.DataFrame({"source": SRC, "target": DST, "weight": weights}), npartitions=1)
    with pytest.raises(ValueError, match=r"weight np.float64\(-1.0\) \(partition 0, row 40\)"):
        gr.embed_rows(frame, client, 8, [0.0, 1.0], seed=1, parts=3, edge_weight="log1p")


@pytest.mark.parametrize("frame, kwargs, error, match", [
    (pd.DataFrame({"source": [0, 5], "target": [1, 2]}), {"num_nodes": 4}, ValueError, "source id 5"),
    (pd.DataFrame({"source": [0, 1], "target": [-1, 2]}), {}, ValueError, "target id -1"),
    (pd.DataFrame({"source": [0.5, 1.0], "target": [1, 2]}), {}, TypeError, "integer node ids"),
    (pd.DataFrame({"src": [0], "target": [1]}), {"num_nodes": 3}, ValueError, "no column 'source'"),
    (pd.DataFrame({"src": [0], "target": [1]}), {}, ValueError, "no column 'source'"),
    (pd.DataFrame({"source": ["a", "b"], "target": [1, 2]}), {}, TypeError, "'source' must hold integer node ids"),
    (pd.DataFrame({"source": [0, 1], "target": [1, 2], "weight": [1.0, None]}), {}, ValueError,
     "column 'weight' holds missing values"),
    (pd.DataFrame({"source": [0], "target": [10**12]}), {}, ValueError, "most of the .* rows would be nodes "
     "without edges; pass num_nodes to confirm"),
])
def test_bad_edge_frames_are_clear_errors(client, frame, kwargs, error, match):
    with pytest.raises(error, match=match):
        gr.embed_rows(dd.from_pandas(frame, npartitions=1), client, 4, [0.0, 1.0], seed=1, parts=2, **kwargs)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"parts": 0}, ValueError, "parts"),
    ({"parts": 2, "num_nodes": 5}, ValueError, "num_nodes=5"),
    ({"parts": 2, "columns": (0, 2)}, TypeError, "columns"),
    ({"parts": 2, "out": "x.txt"}, ValueError, ".npy or .zarr"),
    ({"client": None}, ValueError, "client must be a connected dask.distributed Client"),
    ({"parts": 2, "out": "x.zarr", "zarr": None}, ImportError, r"needs zarr \(pip install zarr\)"),
])
def test_bad_arguments_are_clear_errors(client, monkeypatch, kwargs, error, match):
    kwargs = dict(kwargs)
    if "zarr" in kwargs:  # zarr not installed
        monkeypatch.setitem(sys.modules, "zarr", kwargs.pop("zarr"))
    with pytest.raises(error, match=match):
        gr.embed_rows(EDGES, kwargs.pop("client", client), 4, [0.0, 1.0], seed=1, **kwargs)


class KillOnTaskStart(distributed.WorkerPlugin):
    """Kills its own worker process when a task whose key starts with `prefix`
    starts: once (a marker file remembers it across restarts), or every time."""

    name = "graphripple-test-kill-rows"

    def __init__(self, marker, prefix, every_time):
        self.marker, self.prefix, self.every_time = marker, prefix, every_time

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or not str(key).startswith(self.prefix):
            return
        if not self.every_time:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
        os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.parametrize("stage", ["block", "step-0-2", "pick-0-1"])
def test_worker_killed_mid_run_gives_the_same_bytes(client, tmp_path, shards, stage):
    frame = dd.read_parquet(str(shards / "*.parquet"))
    expected = graphripple.embed(EDGES, 8, [0.0, 0.0, 1.0, 1.0], seed=21)
    client.register_plugin(KillOnTaskStart(str(tmp_path / "killed"), f"{gr.KEY_PREFIX}-{stage}", False))
    try:
        graph = frame if stage == "block" else EDGES
        result = gr.embed_rows(graph, client, 8, [0.0, 0.0, 1.0, 1.0], seed=21, parts=4).compute()
    finally:
        client.unregister_worker_plugin(KillOnTaskStart.name)
        client.wait_for_workers(2, timeout=60)
    assert os.path.exists(tmp_path / "killed")  # a worker did die
    assert result.tobytes() == expected.tobytes()


def test_workers_dying_every_time_is_an_error_and_writes_nothing(client, tmp_path):
    client.register_plugin(KillOnTaskStart(str(tmp_path / "killed"), f"{gr.KEY_PREFIX}-step", True))
    try:
        with pytest.raises(distributed.KilledWorker):
            gr.embed_rows(EDGES, client, 8, [0.0, 1.0], seed=1, parts=2, out=str(tmp_path / "partial.npy"))
    finally:
        client.unregister_worker_plugin(KillOnTaskStart.name)
        client.wait_for_workers(2, timeout=60)
    assert os.listdir(tmp_path) == []


def banded_graph(n, seed):
    """Each node linked to a few nodes just after it: blocks exchange few rows."""
    rng = np.random.default_rng(seed)
    src = np.repeat(np.arange(n), 5)
    dst = (src + rng.integers(1, 40, src.size)) % n
    return CsrInput(np.arange(0, 5 * n + 1, 5, dtype=np.int64), dst.astype(np.int64),
                    rng.random(src.size), n, np.arange(n))


LOCAL_PEAK = textwrap.dedent("""
    import resource, sys, numpy as np, graphripple
    sys.path.insert(0, {tests!r})
    from test_distributed_rows import banded_graph
    graph = banded_graph({n}, 1)
    graphripple.embed(graph, {dim}, [0.0, 1.0, 1.0], seed=3)
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
""")


def test_workers_below_the_single_process_peak_complete_the_fit(tmp_path):
    n, dim = 500_000, 64
    script = LOCAL_PEAK.format(tests=os.path.dirname(__file__), n=n, dim=dim)
    peak = int(subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True,
                              env=dict(os.environ, RAYON_NUM_THREADS="1")).stdout)
    limit = int(0.7 * peak)
    # No spilling and no pausing: the workers must really fit under the limit,
    # or the nanny ends them at 95 % of it.
    memory = {f"distributed.worker.memory.{k}": v
              for k, v in {"target": False, "spill": False, "pause": False, "terminate": 0.95}.items()}
    with dask.config.set({**memory, "distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                      memory_limit=limit, silence_logs=logging.CRITICAL,
                                      env={"RAYON_NUM_THREADS": "1"}) as cluster, \
                distributed.Client(cluster) as small:
            graph = banded_graph(n, 1)
            result = gr.embed_rows(graph, small, dim, [0.0, 1.0, 1.0], seed=3, parts=4, out=str(tmp_path / "e.npy"))
            worker_peaks = small.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
    assert max(worker_peaks.values()) < limit
    assert np.asarray(result).tobytes() == graphripple.embed(graph, dim, [0.0, 1.0, 1.0], seed=3).tobytes()


def _propagate_arguments():
    ptrs, cols = np.array([0, 1, 2]), np.array([1, 2])
    scales, own, peer = np.ones(2, np.float32), np.ones((2, 3), np.float32), np.ones((1, 3), np.float32)
    return dict(row_ptrs=ptrs, columns=cols, scales=scales, sources=[own, peer])


@pytest.mark.parametrize("change, error, match", [
    ({"columns": np.array([1.0, 2.0])}, TypeError, "columns must have dtype int64"),
    ({"columns": np.array([1, 3])}, ValueError, "columns must index the 3 rows"),
    ({"row_ptrs": np.array([0, 3, 2])}, ValueError, "row_ptrs must not decrease"),
    ({"sources": [np.ones((2, 4), np.float32), np.ones((1, 3), np.float32)]}, ValueError, "same number of columns"),
    ({"sources": [np.ones((3, 3), np.float32)]}, ValueError, r"sources\[0\] must hold the block's own rows"),
    ({"next": np.ones((2, 3), np.float64)}, TypeError, "next must have dtype float32"),
    ({"accumulator": np.ones((3, 3), np.float32)}, ValueError, r"accumulator must have shape \(2, 3\)"),
    ({"mode": 3}, ValueError, "mode must be between 0 and 2"),
])
def test_native_row_block_arguments_are_checked(change, error, match):
    arguments = dict(_propagate_arguments(), **change)
    with pytest.raises(error, match=match):
        _native_ext.row_block_propagate(**arguments)


def test_native_row_block_propagation_reads_the_received_rows_in_place():
    own = np.array([[1.0, 2.0], [3.0, 4.0]], np.float32)
    peer = np.array([[10.0, 20.0]], np.float32)
    nxt, acc = np.zeros((2, 2), np.float32), np.full((2, 2), 5.0, np.float32)
    # Row 0 averages own row 1 and the peer's row; row 1 has no entries.
    _native_ext.row_block_propagate(
        np.array([0, 2, 2]), np.array([1, 2]), np.array([0.5, 0.5], np.float32), [own, peer], next=nxt,
        accumulator=acc, weight=2.0)
    assert nxt.tolist() == [[6.5, 12.0], [0.0, 0.0]]
    assert acc.tolist() == [[18.0, 29.0], [5.0, 5.0]]
