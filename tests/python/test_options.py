"""The option table: each bad value gives the table's own message through every entry point."""

import math
import typing

import numpy as np
import pytest

import graphripple
from graphripple import RippleEmbedding, _options as options, cli, embed, embed_labelled

DIM = 16
DENSE = np.zeros((5, 5))
DENSE[0, 1], DENSE[1, 2], DENSE[3, 0] = 1.0, 2.0, 0.5

# (option, bad value, error, message, command-line text or None, command-line message when it differs)
BAD = [
    ("dim", -1, ValueError, "dim must be non-negative, got -1", "-1", None),
    ("dim", 2.5, TypeError, "dim must be an integer, not float", None, None),
    ("dim", 10**20, ValueError, "dim must be at most 9223372036854775807, got 100000000000000000000",
     "99999999999999999999", "dim must be at most 9223372036854775807, got 99999999999999999999"),
    ("weights", "011", TypeError, "weights must be a sequence of numbers, not str", None, None),
    ("weights", [0, "1"], TypeError, "weights must hold real numbers, found str '1'", "0,x",
     "weights must be comma-separated numbers, got '0,x'"),
    ("weights", {1: 2}, TypeError, "weights must be a sequence of numbers, not dict", None, None),
    ("weights", np.ones((2, 2)), ValueError, "weights must be one-dimensional, got shape (2, 2)", None, None),
    ("undirected", 1, TypeError, "undirected must be True or False, not int", None, None),
    ("seed", -1, ValueError, "seed must be in [0, 2**64), got -1", "-1", None),
    ("seed", 1 << 64, ValueError, "seed must be in [0, 2**64), got 18446744073709551616", "0x10000000000000000",
     None),
    ("seed", 1.5, TypeError, "seed must be None or an integer, not float", None, None),
    ("feature_weight", None, TypeError, "feature_weight must be a real number, not NoneType", None, None),
    ("columns", 3, TypeError, "columns must be None or a pair (start, stop), not int", None, None),
    ("columns", (0, 17), ValueError, "columns must satisfy 0 <= start <= stop <= 16, got (0, 17)", None, None),
    ("block_columns", 0, ValueError, "block_columns must be at least 1, got 0", None, None),
    ("block_columns", 2.0, TypeError, "block_columns must be None or an integer, not float", None, None),
    ("normalization", "l1", ValueError, "normalization must be None or 'l2', not 'l1'", "l1",
     "invalid choice 'l1' (choose from none, l2)"),
    ("degree_exponent", math.nan, ValueError, "degree_exponent must be finite, not nan", "nan", None),
    ("degree_exponent", "1", TypeError, "degree_exponent must be a real number, not str", None, None),
    ("edge_weight", "log", ValueError, "edge_weight must be 'raw', 'binary' or 'log1p', not 'log'", "log",
     "invalid choice 'log' (choose from raw, binary, log1p)"),
    ("direction", "up", ValueError, "direction must be 'out', 'in' or 'both', not 'up'", "up",
     "invalid choice 'up' (choose from out, in, both)"),
]
IDS = [f"{row[0]}={row[1]!r}"[:40] for row in BAD]


def via_table(name, value):
    options.check_options(**{"dim": DIM, "seed": 1, name: value})


def via_embed(name, value):
    embed(DENSE, **{"dim": DIM, "seed": 1, name: value})


def via_embed_labelled(name, value):
    embed_labelled(DENSE, **{"dim": DIM, "seed": 1, name: value})


def via_distributed(name, value):
    pytest.importorskip("distributed")
    from graphripple import distributed as gd

    if name in ("columns", "block_columns"):
        pytest.skip("distributed sets the columns of each task itself")
    # Options are checked before the client is used.
    gd.embed(DENSE, object(), **{"dim": DIM, "seed": 1, name: value})


@pytest.mark.parametrize("entry", [via_table, via_embed, via_embed_labelled, via_distributed])
@pytest.mark.parametrize("name, value, error, message, _text, _cli", BAD, ids=IDS)
def test_same_message_through_every_function(entry, name, value, error, message, _text, _cli):
    with pytest.raises(error) as caught:
        entry(name, value)
    assert str(caught.value) == message


@pytest.mark.parametrize("name, value, error, message, _text, _cli", BAD, ids=IDS)
def test_estimator_names_its_own_parameters(name, value, error, message, _text, _cli):
    parameter = options.OPTIONS[name].estimator_name or name
    if name == "seed" and error is TypeError:
        message = "random_state must be None, an integer or a NumPy random generator, not float"
    estimator = RippleEmbedding(**{"n_components": DIM, "random_state": 1, parameter: value})
    with pytest.raises(error) as caught:
        estimator.fit(DENSE)
    assert str(caught.value) == message.replace(f"{name} must", f"{parameter} must", 1)


@pytest.fixture
def edge_file(tmp_path):
    path = tmp_path / "edges.txt"
    path.write_text("0 1\n1 2\n2 0\n")
    return path


def run_cli(capsys, *argv):
    with pytest.raises(SystemExit) as caught:
        cli.main([str(a) for a in argv], prog="graphripple")
    return caught.value.code, capsys.readouterr().err


@pytest.mark.parametrize("name, value, error, message, text, cli_message",
                         [row for row in BAD if row[4] is not None], ids=[i for i, r in zip(IDS, BAD) if r[4]])
def test_command_line_gives_the_message_on_one_line(capsys, tmp_path, edge_file, name, value, error, message,
                                                     text, cli_message):
    flag = options.OPTIONS[name].flag
    status, stderr = run_cli(capsys, "embed", edge_file, "-o", tmp_path / "e.npz", f"{flag}={text}")
    last = stderr.strip().splitlines()[-1]
    assert status == 2 and "Traceback" not in stderr
    assert last == f"graphripple embed: error: argument {flag}: {cli_message or message}"


@pytest.mark.parametrize("text", ["nan", "inf", "1,-inf", "1e400"])
def test_command_line_refuses_weights_that_are_not_finite(capsys, tmp_path, edge_file, text):
    status, stderr = run_cli(capsys, "embed", edge_file, "-o", tmp_path / "e.npz", "--weights", text)
    assert status == 2
    assert stderr.strip().splitlines()[-1] == (
        f"graphripple embed: error: argument --weights: weights must be finite numbers, got {text!r}")


def test_command_line_rules_in_its_own_words(capsys, tmp_path, edge_file):
    assert cli.main(["embed", str(edge_file), "-o", str(tmp_path / "e.npz"), "--direction", "both"],
                    prog="graphripple") == 2
    assert capsys.readouterr().err == (
        "graphripple: error: --direction both needs --directed: an undirected fit propagates over A + A^T, "
        "which has no direction\n")
    status, stderr = run_cli(capsys, "demo", "--dim", "0")
    assert status == 2 and stderr.strip().endswith("argument --dim: dim must be at least 1, got 0")


@pytest.mark.parametrize("kwargs, message", [
    ({"direction": "in"}, "direction='in' needs undirected=False: an undirected fit propagates over A + A^T"),
    ({"normalization": "l2", "columns": (0, 4)},
     "columns narrower than the 16 columns of a direction cannot be combined with normalization='l2'"),
    ({"normalization": "l2", "block_columns": 4, "undirected": False, "direction": "both"},
     "block_columns narrower than the 16 columns"),
    ({"normalization": "l2", "columns": (16, 24), "undirected": False, "direction": "both"}, "columns narrower"),
])
def test_rules_between_options(kwargs, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)").replace("+", r"\+")
                       .replace("^", r"\^")):
        options.check_options(dim=DIM, **kwargs)


@pytest.mark.parametrize("kwargs", [
    {"normalization": "l2", "undirected": False, "direction": "both", "columns": (16, 32)},
    {"normalization": "l2", "undirected": False, "direction": "both", "block_columns": 16},
    {"normalization": "l2", "block_columns": 40},
])
def test_whole_directions_are_allowed_with_l2(kwargs):
    options.check_options(dim=DIM, **kwargs)


def test_memory_estimate_checks_through_the_table():
    with pytest.raises(ValueError, match=r"^dim must be at most 9223372036854775807"):
        graphripple.estimate_memory(10, 10, 10**20)
    with pytest.raises(TypeError, match=r"^feature_columns must be an integer, not float$"):
        graphripple.estimate_memory(10, 10, 4, feature_columns=1.5)


def test_every_interface_reads_the_table():
    import inspect

    keywords = {name: p.default for name, p in inspect.signature(embed).parameters.items()}
    assert {name: keywords[name] for name in options.FIT_OPTIONS} == {
        name: options.OPTIONS[name].default for name in options.FIT_OPTIONS}
    assert list(typing.get_type_hints(options.FitOptions)) == list(options.FIT_OPTIONS[2:])
    params = RippleEmbedding().get_params()
    assert params["n_components"] == options.OPTIONS["dim"].default and params["direction"] == "out"
    parsed = cli._main.build_parser("graphripple").parse_args(["embed", "x", "-o", "y.npz"])
    assert (parsed.dim, tuple(parsed.weights), parsed.undirected, parsed.normalization) == (128, (0, 1, 1), True, None)
