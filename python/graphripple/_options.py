"""The option table: every setting of a fit, defined once.

``embed``, ``embed_labelled``, ``RippleEmbedding``, the command line,
``graphripple.distributed`` and ``estimate_memory`` all read ``OPTIONS``:
each ``Option`` holds its name, default, check (which converts a value or
raises TypeError / ValueError in one wording), help text and, where the
command line has it, its flag. The rules that tie options together (a
direction needs a directed fit, the column range lies inside the
embedding, l2 needs whole directions) are ``_cross_checks`` below.

Messages name the argument as the caller spelt it: ``spell`` turns an
(option, value) pair into ``direction='in'`` for Python and into
``--direction in`` for the command line.
"""

from __future__ import annotations

import argparse
import math
import os
from dataclasses import dataclass, fields
from typing import Any, Callable, Mapping, TypedDict

from . import _native_ext
from . import _validation as checks
from ._validation import SEED_LIMIT, non_negative_int, parse_size

__all__ = [
    "Option", "OPTIONS", "FIT_OPTIONS", "Options", "FitOptions", "check_options", "check_value", "draw_seed",
    "DIRECTION_SEED_OFFSET", "SEED_LIMIT", "non_negative_int", "add_cli_arguments", "cli_values", "parse_size",
    "count_terms", "kept_term_count", "EDGE_WEIGHT_CODES",
]

#: The in-embedding of direction="both" uses seed + DIRECTION_SEED_OFFSET (mod 2**64): the engine's.
DIRECTION_SEED_OFFSET: int = _native_ext.DIRECTION_SEED_OFFSET
# edge_weight as the engine's row-block functions take it.
EDGE_WEIGHT_CODES = {"raw": 0, "binary": 1, "log1p": 2}


def draw_seed() -> int:
    """One 64-bit seed from the operating system's random source."""
    return int.from_bytes(os.urandom(8), "little")


def count_terms(weights: Any) -> int:
    """The weights that make a term of the result: non-zero (NaN counts, -0.0 does not)."""
    return sum(1 for w in weights if w != 0.0)


def kept_term_count(weights: Any) -> int:
    """Terms a fit with ``weights`` keeps for new nodes: the index of the last non-zero weight (0 without one)."""
    nonzero = [i for i, w in enumerate(weights) if w != 0.0]  # NaN counts, -0.0 does not
    return nonzero[-1] if nonzero else 0


# ---------------------------------------------------------------------------
# Command-line text -> value


def _parse_int(text: str) -> Any:
    try:
        return int(text, 0)
    except ValueError:
        return text  # the check names the argument and the bad text


def _parse_float(text: str) -> Any:
    try:
        return float(text)
    except ValueError:
        return text


def _parse_weights(text: str) -> Any:
    try:
        weights = [float(part) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"weights must be comma-separated numbers, got {text!r}") from None
    if not weights:
        raise argparse.ArgumentTypeError("weights must hold at least one number")
    if not all(math.isfinite(w) for w in weights):
        raise argparse.ArgumentTypeError(f"weights must be finite numbers, got {text!r}")
    return weights


def _parse_size(text: str) -> Any:
    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _parse_none(text: str) -> Any:
    return None if text == "none" else text


# ---------------------------------------------------------------------------
# The table


@dataclass(frozen=True)
class Option:
    """One setting: its name, default, check and help; ``flag`` where the command line has it."""

    name: str
    default: Any
    check: Callable[[Any, str], Any]
    help: str
    estimator_name: str | None = None  # RippleEmbedding's parameter name, when it differs
    flag: str | None = None
    parse: Callable[[str], Any] | None = None  # command-line text -> a value for ``check``
    metavar: str | None = None
    cli_minimum: int | None = None  # a stricter lower bound on the command line

    @property
    def choices(self) -> tuple[Any, ...] | None:
        return getattr(self.check, "choices", None)

    def __call__(self, value: Any, name: str | None = None) -> Any:
        return self.check(value, name or self.name)


OPTIONS: dict[str, Option] = {o.name: o for o in (
    Option("dim", 128, checks.count, "columns per direction", estimator_name="n_components", flag="--dim",
           parse=_parse_int, cli_minimum=1),
    Option("weights", (0.0, 1.0, 1.0), checks.weights, "weight of each power of the transition matrix",
           flag="--weights", parse=_parse_weights, metavar="W0,W1,..."),
    Option("undirected", True, checks.boolean, "make the graph undirected (A + A^T) before propagating",
           flag="--directed"),
    Option("seed", None, checks.optional(checks.seed), "random seed for a reproducible embedding (0 to 2**64 - 1)",
           estimator_name="random_state", flag="--seed", parse=_parse_int),
    Option("feature_weight", 1.0, checks.real, "weight of the node features in the initial embedding"),
    Option("columns", None, checks.optional(checks.pair), "the column range (start, stop) to compute"),
    Option("block_columns", None, checks.optional(checks.at_least_one), "columns computed at a time"),
    Option("normalization", None, checks.choice((None, "l2")), "scale each propagated row to unit length (l2)",
           flag="--normalization", parse=_parse_none),
    Option("degree_exponent", 0.0, checks.finite_real, "scale each node's starting row by degree**BETA",
           flag="--degree-exponent", parse=_parse_float, metavar="BETA"),
    Option("edge_weight", "raw", checks.choice(("raw", "binary", "log1p")),
           "use the weights as given (raw), as 1 (binary), or as log(1 + w) (log1p)", flag="--edge-weight"),
    Option("direction", "out", checks.choice(("out", "in", "both")),
           "with a directed graph: propagate along out-edges, in-edges, or both (2 x dim columns)",
           flag="--direction"),
    Option("combine", "sum", checks.choice(("sum", "concat")),
           "sum the weighted terms (dim columns) or put them side by side (concat: dim columns per "
           "non-zero weight)", flag="--combine"),
    # embed's resources
    Option("memory_limit", None, checks.optional(checks.size),
           "fit in column blocks that stay within SIZE bytes (e.g. 4G); needs an out target "
           "(on the command line: -o FILE.npy, written as a memory-mapped .npy)",
           flag="--memory-limit", parse=_parse_size, metavar="SIZE"),
    # graphripple.distributed
    Option("blocks", None, checks.optional(checks.at_least_one), "number of column blocks (default: one per worker)"),
    # RippleEmbedding and estimate_memory
    Option("keep_terms", False, checks.boolean,
           "keep the propagated terms X(0) .. X(L-2) of the fit, so that embed_new can add nodes later"),
    # estimate_memory
    Option("num_nodes", 0, checks.count, "nodes of the graph"),
    Option("num_entries", 0, checks.count, "stored entries of the graph"),
    Option("feature_columns", 0, checks.count, "columns of the node features"),
)}

# The settings of one fit, in the order of embed's keywords.
FIT_OPTIONS = ("dim", "weights", "undirected", "seed", "feature_weight", "columns", "block_columns",
               "normalization", "degree_exponent", "edge_weight", "direction", "combine")


class FitOptions(TypedDict, total=False):
    """Types of embed's keyword options (for type checkers; the table holds the rest)."""

    undirected: bool
    seed: int | None
    feature_weight: float
    columns: tuple[int, int] | None
    block_columns: int | None
    normalization: str | None
    degree_exponent: float
    edge_weight: str
    direction: str
    combine: str


def check_value(name: str, value: Any, spelt: str | None = None) -> Any:
    """``value`` of option ``name`` checked and converted (errors name ``spelt`` or ``name``)."""
    return OPTIONS[name](value, spelt)


# ---------------------------------------------------------------------------
# Checked settings


@dataclass(frozen=True)
class Options:
    """The checked settings of one embedding (all but the graph, the features and ``out``)."""

    dim: int = OPTIONS["dim"].default
    weights: tuple[float, ...] = OPTIONS["weights"].default
    undirected: bool = OPTIONS["undirected"].default
    seed: int | None = OPTIONS["seed"].default
    feature_weight: float = OPTIONS["feature_weight"].default
    columns: tuple[int, int] | None = OPTIONS["columns"].default
    block_columns: int | None = OPTIONS["block_columns"].default
    normalization: str | None = OPTIONS["normalization"].default
    degree_exponent: float = OPTIONS["degree_exponent"].default
    edge_weight: str = OPTIONS["edge_weight"].default
    direction: str = OPTIONS["direction"].default
    combine: str = OPTIONS["combine"].default

    @property
    def terms(self) -> int:
        """Column blocks of dim columns per direction: the non-zero weights for concat, else 1."""
        return count_terms(self.weights) if self.combine == "concat" else 1

    @property
    def total_columns(self) -> int:
        """Columns of the whole embedding: dim per term, twice for direction "both".

        With combine="concat" the columns are [w_i X(i) for each non-zero
        w_i] side by side (ascending i); with direction="both" the
        out-terms come first, then the in-terms.
        """
        columns = self.dim * self.terms
        return 2 * columns if self.direction == "both" else columns

    @property
    def column_range(self) -> tuple[int, int]:
        return self.columns if self.columns is not None else (0, self.total_columns)

    @property
    def width(self) -> int:
        start, stop = self.column_range
        return stop - start

    def engine_arguments(self) -> dict[str, Any]:
        """The keyword arguments of ``_native_ext.fit_csr_ext`` these settings give."""
        return {f.name: getattr(self, f.name) for f in fields(self) if f.name not in ("dim", "weights")}


assert tuple(f.name for f in fields(Options)) == FIT_OPTIONS


def python_spelling(name: str, value: Any) -> str:
    """How a Python caller writes the setting: ``direction='in'``."""
    return f"{name}={value!r}"


def cli_spelling(name: str, value: Any) -> str:
    """How a command-line user writes the setting: ``--direction in``, ``--directed``."""
    option = OPTIONS[name]
    if option.flag is None:
        return python_spelling(name, value)
    if name == "undirected":
        return option.flag if not value else f"no {option.flag}"
    return f"{option.flag} {'none' if value is None else value}"


def check_options(
    *, spell: Callable[[str, Any], str] = python_spelling, names: Mapping[str, str] | None = None,
    **values: Any,
) -> Options:
    """Check the settings of one fit (defaults for those not given); TypeError/ValueError name the argument.

    ``names`` renames options in messages (RippleEmbedding's n_components).
    """
    unknown = sorted(set(values) - set(FIT_OPTIONS))
    if unknown:
        raise TypeError(f"unexpected keyword argument {unknown[0]!r}")
    names = names or {}
    checked = {
        name: OPTIONS[name](values[name], names.get(name)) if name in values else OPTIONS[name].default
        for name in FIT_OPTIONS
    }
    options = Options(**checked)
    _cross_checks(options, spell)
    return options


def _cross_checks(options: Options, spell: Callable[[str, Any], str]) -> None:
    """The rules between options."""
    if options.direction != "out" and options.undirected:
        raise ValueError(
            f"{spell('direction', options.direction)} needs {spell('undirected', False)}: an undirected fit "
            "propagates over A + A^T, which has no direction"
        )
    total = options.total_columns
    if options.columns is not None:
        start, stop = options.columns
        if not start <= stop <= total:
            raise ValueError(f"columns must satisfy 0 <= start <= stop <= {total}, got ({start}, {stop})")
    if options.normalization == "l2":
        # l2 scales each row over all dim columns of a term: every fitted
        # block must be whole directions (whole terms for concat, whose
        # block_columns counts the columns of one propagation chain).
        dim = options.dim
        start, stop = options.column_range
        if options.combine == "concat":
            blocks_too_narrow = options.block_columns is not None and options.block_columns < dim and stop > start
        else:
            blocks_too_narrow = options.block_columns is not None and options.block_columns < stop - start \
                and bool(options.block_columns % dim)
        if dim and total and (start % dim or stop % dim or stop == start):
            name = "columns"
        elif dim and blocks_too_narrow:
            name = "block_columns"
        else:
            return
        raise ValueError(
            f"{name} narrower than the {dim} columns of a direction cannot be combined with "
            f"{spell('normalization', 'l2')}, which scales each row over all of its columns"
        )


# ---------------------------------------------------------------------------
# The command line


def _cli_choices(option: Option) -> list[str]:
    return ["none" if c is None else str(c) for c in option.choices or ()]


def _cli_type(option: Option) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        value = option.parse(text) if option.parse is not None else text
        if option.choices is not None and value not in option.choices:
            raise argparse.ArgumentTypeError(
                f"invalid choice {text!r} (choose from {', '.join(_cli_choices(option))})")
        try:
            result = option(value)
            if option.cli_minimum is not None:
                checks.integer(result, option.name, minimum=option.cli_minimum)
        except (TypeError, ValueError) as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return result
    convert.__name__ = option.name
    return convert


def add_cli_arguments(parser: argparse.ArgumentParser, names: tuple[str, ...],
                      defaults: Mapping[str, Any] | None = None) -> None:
    """Add the flags of the options ``names`` to ``parser`` (``defaults`` overrides the table's)."""
    defaults = defaults or {}
    for name in names:
        option = OPTIONS[name]
        assert option.flag is not None
        default = defaults.get(name, option.default)
        if name == "undirected":
            parser.add_argument(option.flag, dest=name, action="store_false", default=default,
                                help="keep edge directions (default: the graph is made undirected, A + A^T)")
            continue
        shown = ",".join(f"{w:g}" for w in default) if name == "weights" else default
        help_text = option.help if default is None else f"{option.help} (default {shown})"
        metavar = option.metavar
        if option.choices is not None:
            metavar = "{" + ",".join(_cli_choices(option)) + "}"
            help_text = option.help if default is None else f"{option.help} (default {default})"
        parser.add_argument(option.flag, dest=name, type=_cli_type(option), default=default, metavar=metavar,
                            help=help_text)


def cli_values(args: argparse.Namespace, names: tuple[str, ...]) -> dict[str, Any]:
    """The values of the options ``names`` parsed by ``add_cli_arguments``."""
    return {name: getattr(args, name) for name in names}
