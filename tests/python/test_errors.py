"""Graph and engine errors as ValueError, out-of-memory reports, PanicException."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

import graphripple

from conftest import call_csr, call_dense


def i64(*values):
    return np.array(values, dtype=np.int64)


@pytest.mark.parametrize(
    "row_ptrs, col_indices, values, num_nodes, message",
    [
        (i64(0), i64(), [], 1, "row_ptrs length 1 must be num_nodes + 1 (2)"),
        (i64(5, 0), i64(0, 1, 2), [1.0, 2.0], 1, "col_indices and values must have the same length"),
        (i64(1, 2), i64(0), [1.0], 1, "row_ptrs[0] must be 0, got 1"),
        (i64(0, 1, 3), i64(0, 1), [1.0, 1.0], 2, "row_ptrs last element (3) must equal col_indices length (2)"),
        (i64(0, 3, 2), i64(0, 1), [1.0, 1.0], 2,
         "row_ptrs must be monotonically non-decreasing, found 3 followed by 2"),
        (i64(0, 2, 2, 2), i64(0, 3), [1.0, 1.0], 3, "col_indices[1] = 3 is out of bounds for graph with 3 nodes"),
        (i64(0, 1, 1, 1), i64(-1), [1.0], 3,
         "col_indices[0] = 18446744073709551615 is out of bounds for graph with 3 nodes"),
    ],
)
def test_csr_input_errors(row_ptrs, col_indices, values, num_nodes, message):
    with pytest.raises(ValueError) as info:
        graphripple.fit_csr(row_ptrs, col_indices, np.array(values, dtype=np.float64), num_nodes, 4, [1.0])
    assert str(info.value) == "Shape mismatch: " + message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: graphripple.fit_dense(np.zeros((2, 3)), 4, [1.0]), "Adjacency matrix must be square"),
        (lambda: graphripple.fit_adj_list([[(3, 1.0)], [], []], 4, [1.0]),
         "Target node ID 3 is out of bounds for graph with 3 nodes"),
        (lambda: graphripple.fit_adj_list([[(0, 1.0)], [(7, 1.0), (5, 1.0)], [(6, 1.0)]], 4, [1.0]),
         "Target node ID 7 is out of bounds for graph with 3 nodes"),
        (lambda: call_dense(node_features=np.ones((3, 2))),
         "Node features row count 3 does not match graph node count 4"),
        (lambda: call_csr(weights=[], node_features=np.ones((5, 0))),
         "Node features row count 5 does not match graph node count 4"),
        (lambda: call_dense(dim=2**63), "Capacity overflow"),
        (lambda: graphripple.fit_csr(i64(0), i64(), np.zeros(0), 0, 2**64 - 1, [1.0]),
         "ShapeError/Overflow: arithmetic overflow"),
    ],
)
def test_graph_and_engine_errors(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == "Shape mismatch: " + message


def test_allocator_refusal_report():
    with pytest.raises(ValueError) as info:
        graphripple.fit_adj_list([[], [], []], 2**40, [1.0], seed=0)
    lines = str(info.value).split("\n")
    size = 3 * 2**40 * 4
    assert lines == [
        "Out Of Memory (OOM): The system could not allocate enough memory.",
        f"- Requested Memory: {size / 2**20:.2f} MB",
        "Try reducing the number of nodes or the embedding dimension.",
        "",
        "Raw Error:",
        f"TryReserveError {{ kind: AllocError {{ layout: Layout {{ size: {size}, align: 4 (1 << 2) }}, "
        "non_exhaustive: () } }",
    ]


def test_size_overflow_report():
    # 2**62 floats fit the element count but not a signed 64-bit byte count.
    with pytest.raises(ValueError) as info:
        graphripple.fit_adj_list([[]], 2**62, [1.0], seed=0)
    lines = str(info.value).split("\n")
    assert len(lines) == 6
    assert lines[1] == "- Requested Memory: Unknown"
    assert lines[4] == "Raw Error:"
    assert lines[5] == "TryReserveError { kind: CapacityOverflow }"


def test_failed_call_leaves_nothing_behind():
    with pytest.raises(ValueError):
        call_csr(num_nodes=5)
    np.testing.assert_array_equal(call_csr(), call_csr())


PANIC_SCRIPT = textwrap.dedent(
    """
    import sys
    sys.modules["numpy"] = None  # every import of NumPy now fails
    import graphripple

    def panic():
        try:
            graphripple.fit_adj_list([[]], 2, [1.0], seed=0)
        except Exception:
            print("caught as Exception")
        except BaseException as error:
            return error

    first, second = panic(), panic()
    kind = type(first)
    print(kind.__module__, kind.__qualname__, kind.__bases__ == (BaseException,))
    print(type(second) is kind, isinstance(first, ValueError), first.args[0].startswith(
        "Failed to access NumPy array API capsule"), len(first.args))
    print(first.__cause__ is not None, "BaseException" in kind.__doc__)
    """
)


def test_panic_when_numpy_is_unavailable():
    out = subprocess.run([sys.executable, "-c", PANIC_SCRIPT], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:3] == [
        "pyo3_runtime PanicException True",
        "True False True 1",
        "True True",
    ]
