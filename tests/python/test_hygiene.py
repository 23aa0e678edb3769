"""Repeated calls on every success and failure path leave nothing behind.

Three measures: the reference count of every argument object (arrays,
lists, tuples, scalars, hostile objects), the interpreter's traced
allocations, and the resident size of the process, which is the only one
that sees native buffers (input copies, graphs, work matrices).
"""

import gc

import numpy as np
import pytest

import graphripple
from conftest import UNDER_ADDRESS_SANITIZER, needs_statm, refcounts, resident_bytes, traced_growth


class Boom(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class Weight:
    def __float__(self):
        return 0.5


class Inputs:
    """One graph of `n` nodes in all three forms, plus the broken variants
    that each failure path needs."""

    def __init__(self, n, dense_n, dim):
        rng = np.random.default_rng(0)
        self.n, self.dim = n, dim
        self.row_ptrs = np.arange(0, 4 * n + 1, 4, dtype=np.int64)
        self.cols = rng.integers(0, n, size=4 * n).astype(np.int64)
        self.values = rng.random(4 * n)
        self.features = np.ones((n, 4))
        self.short_features = np.ones((n - 1, 4))
        self.dense = np.zeros((dense_n, dense_n))
        self.dense[np.arange(dense_n), (np.arange(dense_n) * 7) % dense_n] = 1.5
        self.adj = [[(int(c), 1.0) for c in self.cols[4 * r: 4 * r + 4]] for r in range(n)]
        self.adj_out_of_bounds = self.adj[:-1] + [[(n + 1, 1.0)]]
        self.adj_bad_last = self.adj[:-1] + [[(0, 1.0), [1, 1.0]]]
        self.weights = [0.5, Weight(), 0.25]
        self.seed = 2**64 - 3  # not a cached small int
        self.feature_weight = 1.75
        self.hostile = RaisingIndex()

    def arguments(self):
        """Every object handed to a call, whose reference count must not move."""
        return [self.row_ptrs, self.cols, self.values, self.features, self.short_features, self.dense, self.adj,
                self.adj[0], self.adj[0][0], self.adj_out_of_bounds, self.adj_bad_last, self.adj_bad_last[-1],
                self.adj_bad_last[-1][-1], self.weights, self.weights[1], self.seed, self.feature_weight,
                self.hostile]

    def csr(self, **kw):
        args = dict(row_ptrs=self.row_ptrs, col_indices=self.cols, values=self.values, num_nodes=self.n,
                    dim=self.dim, weights=self.weights, seed=self.seed, node_features=self.features,
                    feature_weight=self.feature_weight)
        args.update(kw)
        return graphripple.fit_csr(**args)

    def dense_fit(self, **kw):
        args = dict(adj_matrix=self.dense, dim=self.dim, weights=self.weights, seed=self.seed)
        args.update(kw)
        return graphripple.fit_dense(**args)

    def adj_fit(self, **kw):
        args = dict(adj_list=self.adj, dim=self.dim, iter_weights=self.weights, seed=self.seed,
                    feature_weight=self.feature_weight)
        args.update(kw)
        return graphripple.fit_adj_list(**args)

    def paths(self):
        """Successes and a failure at each stage; the native failures come
        after the inputs were copied and (for most) the graph was built."""
        csr, dense, adj = self.csr, self.dense_fit, self.adj_fit
        return {
            "csr": csr,
            "dense": dense,
            "adj_list": adj,
            "csr directed": lambda: csr(undirected=False, seed=None),
            "csr features row count": failing(csr, ValueError, node_features=self.short_features),
            "csr graph error": failing(csr, ValueError, num_nodes=self.n - 1),
            "csr out of memory": failing(csr, ValueError, dim=2**40),
            "csr hostile seed": failing(csr, Boom, seed=self.hostile),
            "csr contiguity": failing(csr, ValueError, values=self.values[::-1]),
            "dense capacity overflow": failing(dense, ValueError, dim=2**63),
            "dense features": failing(dense, ValueError, node_features=self.features),
            "dense hostile dim": failing(dense, Boom, dim=self.hostile),
            "adj_list out of bounds": failing(adj, ValueError, adj_list=self.adj_out_of_bounds),
            "adj_list bad last pair": failing(adj, TypeError, adj_list=self.adj_bad_last),
            "adj_list bad bool": failing(adj, TypeError, undirected=1),
            "adj_list binding": failing(adj, TypeError, weights=self.weights),
        }


def failing(function, exc, **kw):
    def run():
        with pytest.raises(exc):
            function(**kw)
    return run


SMALL = Inputs(n=3000, dense_n=600, dim=16)
PATHS = SMALL.paths()


def test_argument_refcounts_unchanged_on_every_path():
    for run in PATHS.values():
        run()
    gc.collect()
    arguments = SMALL.arguments()
    before = refcounts(arguments)
    for name, run in PATHS.items():
        for _ in range(20):
            run()
        gc.collect()
        after = refcounts(arguments)
        changed = [i for i, (b, a) in enumerate(zip(before, after)) if a != b]
        assert not changed, f"{name}: reference counts changed for arguments {changed}"


@pytest.mark.parametrize("name", ["csr hostile seed", "dense hostile dim", "csr out of memory",
                                  "dense capacity overflow", "adj_list bad last pair", "adj_list out of bounds"])
def test_traced_memory_flat(name):
    # Paths that the result tests do not already trace: exceptions raised by
    # the caller's objects (and noted), and the engine's own errors.
    growth = traced_growth(PATHS[name], rounds=60)
    assert growth < 64 * 1024, f"{name}: {growth} bytes"


@needs_statm
@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="freed memory is held in quarantine")
def test_resident_size_flat_on_every_path():
    # Each call makes megabytes of native buffers (input copies, graphs,
    # matrices); losing any of them on one path adds well over the bound
    # below across the rounds.
    rounds = 12
    paths = Inputs(n=60_000, dense_n=1500, dim=8).paths()
    for run in paths.values():
        run()
    gc.collect()
    baseline = resident_bytes()
    for name, run in paths.items():
        for _ in range(rounds):
            run()
    gc.collect()
    growth = resident_bytes() - baseline
    assert growth < 16 * 2**20, f"resident size grew by {growth / 2**20:.1f} MiB"


def test_the_package_imports_form_no_cycle_and_never_the_package_root():
    """Every import between the package's modules, function-level ones included, read from the sources."""
    import ast
    from pathlib import Path

    root = Path(graphripple.__file__).parent
    modules = {}
    for path in root.rglob("*.py"):
        parts = list(path.relative_to(root).with_suffix("").parts)
        is_package = parts[-1] == "__init__"
        name = ".".join(["graphripple", *(parts[:-1] if is_package else parts)])
        modules[name] = (path, is_package)
    native = {f"graphripple.{stub.stem}" for stub in root.glob("*.pyi")}  # the extension modules
    imports = {}
    for name, (path, is_package) in modules.items():
        package = name if is_package else name.rpartition(".")[0]
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = package.split(".")[: len(package.split(".")) - node.level + 1] if node.level else []
                stem = ".".join(base + ([node.module] if node.module else []))
                targets = [f"{stem}.{alias.name}" if f"{stem}.{alias.name}" in modules.keys() | native else stem
                           for alias in node.names]
            else:
                continue
            found.update(t for t in targets if t.split(".")[0] == "graphripple")
        assert "graphripple" not in found or name == "graphripple", f"{name} imports the package root"
        imports[name] = found & set(modules) - {name}

    state = {}

    def visit(name, trail):
        state[name] = "open"
        for target in sorted(imports[name]):
            assert state.get(target) != "open", f"import cycle: {' -> '.join(trail + [target])}"
            if target not in state:
                visit(target, trail + [target])
        state[name] = "done"

    for name in sorted(modules):
        if name not in state:
            visit(name, [name])
