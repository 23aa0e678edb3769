"""graphripple.distributed.embed on a real LocalCluster with two worker processes.

The cluster is started once for the module. Every result is compared byte
for byte with graphripple.embed in this process; a plugin that kills its
own worker process when a block starts stands in for a worker lost mid-run.
"""

import logging
import contextlib
import os
import signal
import sys
import time

import numpy as np
import pytest

distributed = pytest.importorskip(
    "distributed", reason="dask.distributed is not installed (pip install 'graphripple[dask]')")
import cloudpickle  # noqa: E402  (a dependency of distributed)
import dask.array as da  # noqa: E402

import graphripple  # noqa: E402
from graphripple import distributed as gd  # noqa: E402
from graphripple.distributed import _columns as columns  # noqa: E402
from graphripple import CsrInput  # noqa: E402

from conftest import local_cluster  # noqa: E402

# The kill plugin below is defined here and must reach the workers by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def random_graph(n, entries, seed):
    """A directed CSR graph with repeated pairs, self loops and isolated nodes."""
    rng = np.random.default_rng(seed)
    rows = np.sort(rng.integers(0, n, entries))
    cols = rng.integers(0, n, entries)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=row_ptrs[1:])
    values = rng.choice([0.5, 1.0, 2.0, 3.0], entries)
    return CsrInput(row_ptrs, cols.astype(np.int64), values, n, np.arange(n))


GRAPH = random_graph(300, 1500, seed=3)
FEATURES = np.random.default_rng(4).standard_normal((300, 5))


@pytest.fixture(scope="module")
def client():
    # One death of a block's worker is retried; a second raises KilledWorker.
    # The scheduler reads this when it starts.
    with local_cluster(n_workers=2, allowed_failures=1, env={"RAYON_NUM_THREADS": "1"}) as c:
        yield c


def local_fit(graph, dim, weights, seed, **options):
    try:
        return graphripple.embed(graph, dim, weights, seed=seed, **options)
    except NotImplementedError as error:  # an option the installed native module lacks
        pytest.skip(str(error))


def worker_data_count(client, timeout=10.0):
    """Keys held by the workers, once releases in flight have settled (0 as soon as it is)."""
    deadline = time.monotonic() + timeout
    while True:
        count = sum(client.run(lambda dask_worker: len(dask_worker.data)).values())
        if count == 0 or time.monotonic() > deadline:
            return count
        time.sleep(0.05)


@pytest.mark.parametrize("width, blocks, multiple", [
    (128, 4, 1), (10, 3, 1), (10, 6, 1), (7, 7, 1), (1, 1, 1), (0, 1, 1), (100, 3, 8), (5, 2, 8)])
def test_block_bounds_cover_the_columns_in_equal_blocks(width, blocks, multiple):
    bounds = gd.block_bounds(width, blocks, multiple)
    assert bounds[0][0] == 0 and bounds[-1][1] == width
    assert all(a[1] == b[0] for a, b in zip(bounds, bounds[1:]))
    assert 1 <= len(bounds) <= blocks
    widths = [stop - start for start, stop in bounds]
    assert len(set(widths[:-1])) <= 1 and widths[-1] <= widths[0]
    assert all(start % multiple == 0 for start, _ in bounds)


@pytest.mark.parametrize("blocks", [1, 2, 3, 7, 12])
@pytest.mark.parametrize("dim, weights, options", [
    (16, [0.0, 1.0, 1.0], {}),
    (13, [0.5, 0.0, 1.0, 1.0], {"undirected": False}),
    (16, [0.0, 1.0, 1.0], {"node_features": FEATURES, "feature_weight": 0.5}),
], ids=["default", "directed-odd-dim", "features"])
def test_blocks_equal_the_local_fit(client, blocks, dim, weights, options):
    expected = local_fit(GRAPH, dim, weights, 11, **options)
    result = gd.embed(GRAPH, client, dim, weights, seed=11, blocks=blocks, **options)
    assert isinstance(result, da.Array)
    assert result.shape == expected.shape and result.dtype == np.float32
    assert len(result.chunks[1]) == len(gd.block_bounds(dim, blocks))
    computed = result.compute()
    assert computed.dtype == np.float32
    assert computed.tobytes() == expected.tobytes()


@pytest.mark.parametrize("blocks, tasks, sizes", [
    (12, 2, [6, 6]), (7, 2, [4, 3]), (5, 3, [2, 2, 1]), (2, 2, [1, 1]), (1, 4, [1]), (3, 1, [3])])
def test_task_ranges_group_consecutive_blocks(blocks, tasks, sizes):
    bounds = gd.block_bounds(blocks * 3 - 1, blocks)
    groups = gd.task_ranges(bounds, tasks)
    assert [len(g) for g in groups] == sizes
    assert [b for g in groups for b in g] == bounds


def fit_task_keys(result):
    return {k for k in result.__dask_graph__() if str(k).startswith(columns._KEY_PREFIX)}


@pytest.mark.parametrize("out", [None, "embedding.npy", "embedding.zarr"])
def test_more_blocks_than_slots_share_a_transition_per_task(client, tmp_path, out):
    if out and out.endswith(".zarr"):
        pytest.importorskip("zarr")
    expected = local_fit(GRAPH, 14, [0.5, 0.0, 1.0, 1.0], 3, undirected=False, direction="both")
    result = gd.embed(GRAPH, client, 14, [0.5, 0.0, 1.0, 1.0], seed=3, blocks=9, undirected=False,
                      direction="both", out=None if out is None else str(tmp_path / out))
    if out is None:
        # Two task slots: two fits, and still one chunk per block.
        assert len(fit_task_keys(result)) == 2
        assert result.chunks[1] == tuple(b - a for a, b in gd.block_bounds(28, 9))
        result = result.compute()
    assert np.asarray(result[:]).tobytes() == expected.tobytes()


def test_thread_workers_in_this_process_give_the_same_bytes():
    # Blocks run side by side on one worker's threads (the fit releases the GIL).
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=3, dashboard_address=":0",
                            silence_logs=logging.CRITICAL) as c:
        result = gd.embed(GRAPH, c, 15, [0.0, 1.0, 1.0], seed=4, blocks=5)
        assert result.compute().tobytes() == local_fit(GRAPH, 15, [0.0, 1.0, 1.0], 4).tobytes()


@pytest.mark.parametrize("options, blocks", [
    ({"normalization": "l2"}, None),
    ({"normalization": "l2"}, 1),
    ({"undirected": False, "direction": "both"}, 3),
    ({"undirected": False, "direction": "both", "normalization": "l2"}, 2),
    ({"undirected": False, "direction": "in", "edge_weight": "binary", "degree_exponent": -0.5}, 4),
    ({"combine": "concat"}, 3),
    ({"undirected": False, "direction": "both", "combine": "concat"}, 5),
], ids=["l2-default-blocks", "l2-one-block", "both-directions", "both-l2-block-per-direction",
        "in-binary-degree", "concat", "both-concat"])
def test_options_equal_the_local_fit(client, options, blocks):
    expected = local_fit(GRAPH, 12, [0.0, 0.0, 1.0, 1.0], 5, **options)
    result = gd.embed(GRAPH, client, 12, [0.0, 0.0, 1.0, 1.0], seed=5, blocks=blocks, **options)
    if options.get("normalization") == "l2":
        # One block per direction: each row is scaled over its direction's columns.
        assert result.chunks[1] == (12,) * (2 if options.get("direction") == "both" else 1)
    assert result.compute().tobytes() == expected.tobytes()


def test_default_is_one_block_per_worker_and_a_seedless_fit_draws_one_seed(client, monkeypatch):
    monkeypatch.setattr(columns, "draw_seed", lambda: 2**64 - 3)
    result = gd.embed(GRAPH, client, 16, [0.0, 1.0, 1.0])
    assert len(result.chunks[1]) == 2
    assert result.compute().tobytes() == local_fit(GRAPH, 16, [0.0, 1.0, 1.0], 2**64 - 3).tobytes()


def old_output(path):
    """Put an earlier output at `path`; returns what test_old_output_intact compares."""
    if path.suffix == ".npy":
        np.save(path, np.arange(6, dtype=np.float32).reshape(2, 3))
        return path.read_bytes()
    import zarr

    zarr.open_array(str(path), mode="w", shape=(2, 3), dtype="f4")[:] = np.arange(6).reshape(2, 3)
    return np.arange(6, dtype=np.float32).reshape(2, 3).tobytes()


def old_output_intact(path, old):
    if path.suffix == ".npy":
        return path.read_bytes() == old
    import zarr

    return zarr.open_array(str(path), mode="r")[:].tobytes() == old


@pytest.mark.parametrize("suffix", [".npy", ".zarr"])
def test_out_store_holds_the_local_fit_and_the_graph_is_released(client, tmp_path, suffix):
    if suffix == ".zarr":
        pytest.importorskip("zarr")
    path = tmp_path / f"embedding{suffix}"
    old_output(path)  # replaced once every block is done
    assert worker_data_count(client) == 0  # nothing left from earlier tests
    result = gd.embed(GRAPH, client, 20, [0.0, 1.0, 1.0], seed=9, blocks=3, out=str(path))
    expected = local_fit(GRAPH, 20, [0.0, 1.0, 1.0], 9)
    assert np.asarray(result[:]).tobytes() == expected.tobytes()
    if suffix == ".npy":
        # A plain .npy file, column-major so that each block is one byte range.
        stored = np.load(path)
        assert stored.flags.f_contiguous and stored.tobytes(order="C") == expected.tobytes()
    # Neither graph copies nor written blocks stay behind on the workers.
    assert worker_data_count(client) == 0
    assert os.listdir(tmp_path) == [path.name]


def test_bad_graph_or_full_disk_leaves_the_old_output(client, tmp_path, monkeypatch):
    path = tmp_path / "embedding.npy"
    old = old_output(path)
    with pytest.raises(TypeError):
        gd.embed("not a graph", client, 8, [0.0, 1.0], seed=1, out=str(path))

    def full(fd, offset, size):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "posix_fallocate", full)
    with pytest.raises(OSError, match="No space left on device") as caught:
        gd.embed(GRAPH, client, 8, [0.0, 1.0], seed=1, out=str(path))
    assert caught.value.filename.startswith(str(tmp_path))
    assert old_output_intact(path, old) and os.listdir(tmp_path) == [path.name]


def test_closed_client_is_a_clear_error():
    c = distributed.Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=":0",
                           silence_logs=logging.CRITICAL)
    c.close()
    with pytest.raises(ValueError, match="client must be a connected dask.distributed Client"):
        gd.embed(GRAPH, c, 8, [0.0, 1.0], seed=1)


def test_relative_out_path_is_the_callers(client, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = gd.embed(GRAPH, client, 6, [0.0, 1.0], seed=2, blocks=2, out="relative.npy")
    assert np.array_equal(np.load(tmp_path / "relative.npy"), local_fit(GRAPH, 6, [0.0, 1.0], 2))
    assert np.array_equal(result, np.load(tmp_path / "relative.npy"))


def test_given_zarr_array_is_filled_in_blocks_of_its_column_chunks(client, tmp_path):
    zarr = pytest.importorskip("zarr")
    out = zarr.open_array(str(tmp_path / "given.zarr"), mode="w", shape=(300, 20), chunks=(64, 6), dtype="f4")
    gd.embed(GRAPH, client, 20, [0.0, 1.0, 1.0], seed=9, blocks=3, out=out)
    assert out[:].tobytes() == local_fit(GRAPH, 20, [0.0, 1.0, 1.0], 9).tobytes()


@pytest.mark.parametrize("kwargs, error, match", [
    ({"normalization": "l2", "blocks": 2}, ValueError, "normalization='l2'.*blocks=1 or fewer"),
    ({"normalization": "l2", "undirected": False, "direction": "both", "blocks": 3}, ValueError,
     "blocks=2 or fewer"),
    ({"direction": "in"}, ValueError, "undirected=False"),  # the checks of graphripple.embed
    ({"weights_typo": 1}, TypeError, "unexpected keyword argument 'weights_typo'"),
    ({"blocks": 0}, ValueError, "blocks must be at least 1, got 0"),
    ({"blocks": 9}, ValueError, "blocks must be between 1"),
    ({"blocks": 2.0}, TypeError, "blocks must be None or an integer"),
    ({"seed": -1}, ValueError, "seed must be in"),
    ({"seed": 1.5}, TypeError, "seed must be None or an integer"),
    ({"columns": (0, 4)}, TypeError, "unexpected keyword argument 'columns'"),
    ({"out": "embedding.txt"}, ValueError, "out must be a path ending in .npy or .zarr"),
    ({"out": np.zeros((300, 8), np.float32)}, TypeError, "out must be None, a path"),
    ({"edge_weight": "nope"}, ValueError, "edge_weight"),  # raised by a task, passed on as it is
])
def test_bad_arguments_are_clear_errors(client, kwargs, error, match):
    kwargs = {"seed": 1, **kwargs}
    with pytest.raises(error, match=match):
        gd.embed(GRAPH, client, 8, [0.0, 1.0], **kwargs)


def test_in_memory_zarr_store_is_refused(client):
    zarr = pytest.importorskip("zarr")
    out = zarr.create_array(store=zarr.storage.MemoryStore(), shape=(300, 8), chunks=(300, 4), dtype="f4")
    with pytest.raises(ValueError, match="in memory"):
        gd.embed(GRAPH, client, 8, [0.0, 1.0], seed=1, out=out)


class KillOnBlockStart(distributed.WorkerPlugin):
    """Kills its own worker process when a block starts running: once (a marker
    file remembers it across the restarted workers), or every time."""

    name = "graphripple-test-kill"

    def __init__(self, marker, every_time):
        self.marker, self.every_time = marker, every_time

    def transition(self, key, start, finish, **kwargs):
        if finish != "executing" or not str(key).startswith(columns._KEY_PREFIX):
            return
        if not self.every_time:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
            except FileExistsError:
                return
        os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.parametrize("out", [None, "embedding.npy"])
def test_worker_killed_mid_run_gives_the_complete_result(client, tmp_path, out):
    graph = random_graph(20_000, 200_000, seed=8)
    expected = local_fit(graph, 32, [0.0, 0.0, 1.0, 1.0], 21)
    client.register_plugin(KillOnBlockStart(str(tmp_path / "killed"), every_time=False))
    try:
        result = gd.embed(graph, client, 32, [0.0, 0.0, 1.0, 1.0], seed=21, blocks=4,
                          out=None if out is None else str(tmp_path / out))
        computed = np.asarray(result.compute() if out is None else result)
    finally:
        client.unregister_worker_plugin(KillOnBlockStart.name)
        client.wait_for_workers(2, timeout=60)
    assert os.path.exists(tmp_path / "killed")  # a worker did die
    assert computed.tobytes() == expected.tobytes()


@pytest.mark.parametrize("partition", ["columns", "rows"])
def test_a_worker_lost_after_the_fit_returns_is_made_good_by_compute(client, partition):
    expected = local_fit(GRAPH, 8, [0.0, 1.0, 1.0], 5)
    result = gd.embed(GRAPH, client, 8, [0.0, 1.0, 1.0], seed=5, partition=partition,
                      **({"blocks": 2} if partition == "columns" else {"parts": 2}))
    first = sorted(client.scheduler_info()["workers"])[0]
    with contextlib.suppress(Exception):  # the worker dies under the call; its nanny starts another
        client.run(os._exit, 1, workers=[first])
    client.wait_for_workers(2, timeout=60)
    assert np.asarray(result.compute()).tobytes() == expected.tobytes()


@pytest.mark.parametrize("name", ["partial.npy", "partial.zarr"])
def test_workers_dying_on_every_try_is_an_error_not_a_partial_result(client, tmp_path, name):
    if name.endswith(".zarr"):
        pytest.importorskip("zarr")
    path = tmp_path / name
    old = old_output(path)
    client.register_plugin(KillOnBlockStart(str(tmp_path / "killed"), every_time=True))
    try:
        # Usually the block's retries run out (KilledWorker); when both
        # workers die at once the scattered graph goes with them and the
        # block is cancelled instead. Either way: one clear error.
        with pytest.raises((distributed.KilledWorker, RuntimeError),
                           match="graphripple-block|a worker was lost"):
            gd.embed(GRAPH, client, 8, [0.0, 1.0], seed=1, blocks=2, out=str(path))
    finally:
        client.unregister_worker_plugin(KillOnBlockStart.name)
        client.wait_for_workers(2, timeout=60)
    # The old output stands as it was, and no temporary is left beside it.
    assert old_output_intact(path, old)
    assert os.listdir(tmp_path) == [name]
    # The cluster still works afterwards.
    assert gd.embed(GRAPH, client, 8, [0.0, 1.0], seed=1).compute().tobytes() == \
        local_fit(GRAPH, 8, [0.0, 1.0], 1).tobytes()


class StallOnBlockStart(distributed.WorkerPlugin):
    """Writes the key of the first block that starts to a file and holds the worker a moment."""

    name = "graphripple-test-stall"

    def __init__(self, marker):
        self.marker = marker

    def transition(self, key, start, finish, **kwargs):
        if finish == "executing" and str(key).startswith(columns._KEY_PREFIX) and not os.path.exists(self.marker):
            with open(self.marker + ".tmp", "w") as handle:
                handle.write(str(key))
            os.rename(self.marker + ".tmp", self.marker)
            time.sleep(1.0)


def test_a_block_lost_to_the_cluster_names_its_columns(client, tmp_path):
    # The scheduler dropping a block (as when a worker is retired for memory)
    # is a RuntimeError naming the columns, not dask's bare cancellation.
    import threading

    marker = str(tmp_path / "started")
    client.register_plugin(StallOnBlockStart(marker))

    def drop_the_block():
        deadline = time.monotonic() + 30
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.01)
        with open(marker) as handle:
            client.cancel([distributed.Future(handle.read(), client)], force=True)

    thread = threading.Thread(target=drop_the_block)
    thread.start()
    try:
        with pytest.raises(RuntimeError, match=r"a worker was lost \(out of memory\?\) while fitting columns \d+:\d+"):
            gd.embed(GRAPH, client, 8, [0.0, 1.0], seed=1, blocks=2, out=str(tmp_path / "e.npy"))
    finally:
        thread.join()
        client.unregister_worker_plugin(StallOnBlockStart.name)
    assert os.listdir(tmp_path) == ["started"]
