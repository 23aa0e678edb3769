"""The wheel: built from the source tree, installed into a fresh virtual environment with NumPy alone.

Slow (a full native build); runs where the ``build`` module is installed,
which scripts/test arranges for one interpreter only.
"""

import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import graphripple

pytestmark = pytest.mark.wheel
# The repository's own build/ folder imports as a namespace package named
# "build": look for the real module's API.
if not hasattr(pytest.importorskip("build", reason="the build module is not installed"), "ProjectBuilder"):
    pytest.skip("the build module is not installed", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[2]


def run(*argv, **kwargs):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, f"{argv} failed:\n{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
    return done


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    dist = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "build", "--wheel", "--outdir", dist, ROOT, timeout=1200)
    (built,) = dist.glob("graphripple-*.whl")
    return built


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    home = tmp_path_factory.mktemp("venv")
    run(sys.executable, "-m", "venv", home)
    python = home / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", wheel, timeout=600)
    return home


def test_wheel_contents(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        entry_points = next(n for n in names if n.endswith("entry_points.txt"))
        scripts = archive.read(entry_points).decode()
        metadata = archive.read(next(n for n in names if n.endswith("METADATA"))).decode()
    for name in ("py.typed", "_native_core.pyi", "cli/__init__.py", "io/__init__.py", "distributed/__init__.py",
                 "__main__.py"):
        assert f"graphripple/{name}" in names
    for module in ("_native_core.", "_native_ext."):
        assert any(n.startswith(f"graphripple/{module}") and n.endswith(".so") for n in names)
    # Both modules load the one engine library beside them.
    assert "graphripple/libgraphripple_engine.so" in names
    assert not any(n.startswith("tests/") for n in names)
    assert "graphripple = graphripple.cli:main" in scripts
    for extra in ("scipy", "networkx", "arrow", "dask", "plot", "sklearn", "faiss", "frames", "igraph", "all"):
        assert f"Provides-Extra: {extra}" in metadata


def test_fresh_environment_embeds_with_numpy_alone(venv):
    python = venv / "bin" / "python"
    code = (
        "import sys, numpy as np, graphripple\n"
        "e = graphripple.embed(np.array([[0, 1.0], [1.0, 0]]), 8, seed=1)\n"
        "assert e.shape == (2, 8) and e.dtype == np.float32\n"
        "optional = {'scipy', 'networkx', 'pyarrow', 'matplotlib', 'sklearn', 'dask'}\n"
        "print(sorted(optional & set(sys.modules)), e.tobytes().hex())\n"
    )
    done = run(python, "-c", code, cwd=venv)  # not the source tree, so the installed copy is used
    imported, digest = done.stdout.split()
    assert imported == "[]"
    expected = graphripple.embed(np.array([[0, 1.0], [1.0, 0]]), 8, seed=1)
    assert digest == expected.tobytes().hex()


def test_console_script_in_fresh_environment(venv, tmp_path):
    edges = tmp_path / "edges.txt"
    edges.write_text("# a weighted ring\n0 1 1\n1 2 1\n2 3 1\n3 0 2.5\n")
    out = tmp_path / "emb.npz"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run(venv / "bin" / "graphripple", "embed", edges, "-o", out, "--dim", 8, "--seed", 4, cwd=tmp_path, env=env)
    with np.load(out) as saved:
        expected = graphripple.embed(graphripple.Edges([0, 1, 2, 3], [1, 2, 3, 0], [1, 1, 1, 2.5]), 8, seed=4)
        assert saved["embedding"].tobytes() == expected.tobytes()
    demo = run(venv / "bin" / "python", "-m", "graphripple", "--dim", "8", cwd=tmp_path, env=env)
    assert demo.stdout.startswith("Zachary's karate club")
