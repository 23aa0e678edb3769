"""The `python -m graphripple` demonstration and its data."""

import collections
import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from graphripple import _karate, _plotting as plotting


def test_karate_data():
    edges = _karate.EDGES
    assert len(edges) == 78 and len(set(edges)) == 78
    assert all(0 <= a < b < _karate.NUM_MEMBERS for a, b in edges)
    degree = collections.Counter(node for edge in edges for node in edge)
    assert (degree[0], degree[33], degree[32], degree[11]) == (16, 17, 12, 1)
    assert len(_karate.FACTION) == 34 and sum(_karate.FACTION) == 17
    assert _karate.FACTION[0] == 0 and _karate.FACTION[33] == 1


def test_demo_runs_and_separates_factions():
    out = subprocess.run([sys.executable, "-m", "graphripple"], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    assert lines[0].startswith("Zachary's karate club: 34 members, 78 friendships")
    placed = [line for line in lines if "placed with their faction" in line]
    assert len(placed) == 2
    for line in placed:
        correct = int(line.split("/")[0].split()[-1])
        assert correct >= 30, line


def test_demo_options_without_a_command_still_work():
    out = subprocess.run([sys.executable, "-m", "graphripple", "--dim", "16", "--seed", "7"],
                         capture_output=True, text=True, check=True)
    assert "Embedding: 34 x 16 float32" in out.stdout and "seed 7" in out.stdout


def test_demo_plot_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "karate.png"
    out = subprocess.run([sys.executable, "-m", "graphripple", "demo", "--plot", str(path)],
                         capture_output=True, text=True, check=True)
    assert f"Projection drawn to {path}" in out.stdout
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    width, height = struct.unpack(">II", data[16:24])
    assert (width, height) == (640, 480)
    assert len(data) > 20_000  # points, edges and labels, not a blank canvas
    assert os.listdir(tmp_path) == ["karate.png"]


def test_pca_projection_is_centred_and_ordered():
    rng = np.random.default_rng(0)
    rows = rng.standard_normal((200, 2)) * [5.0, 1.0] @ np.array([[0.6, 0.8], [-0.8, 0.6]])
    coords = plotting.pca_2d(np.hstack([rows, np.zeros((200, 3))]) + 10.0)
    np.testing.assert_allclose(coords.mean(axis=0), 0.0, atol=1e-9)
    spread = coords.std(axis=0)
    assert spread[0] > 4 * spread[1]
    along = (rows - rows.mean(0)) @ [0.6, 0.8]  # the direction of largest spread
    assert abs(np.corrcoef(coords[:, 0], along)[0, 1]) > 0.999
