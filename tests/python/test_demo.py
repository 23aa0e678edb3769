"""The `python -m graphripple` demonstration and its data."""

import collections
import subprocess
import sys

from graphripple import _karate


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
