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
import numbers
import operator
import os
import re
from dataclasses import dataclass, fields, replace
from typing import Any, Callable, Mapping, TypedDict

import numpy as np

from . import _native_ext

__all__ = [
    "Option", "OPTIONS", "FIT_OPTIONS", "Options", "FitOptions", "check_options", "check_value", "draw_seed",
    "DIRECTION_SEED_OFFSET", "SEED_LIMIT", "non_negative_int", "add_cli_arguments", "cli_values", "parse_size",
    "count_terms",
]

# The in-embedding of direction="both" uses seed + DIRECTION_SEED_OFFSET (mod 2**64): the engine's.
DIRECTION_SEED_OFFSET: int = _native_ext.DIRECTION_SEED_OFFSET
SEED_LIMIT = 1 << 64
# Counts (columns, nodes) the engine takes as signed 64-bit integers.
_COUNT_LIMIT = (1 << 63) - 1


def draw_seed() -> int:
    """One 64-bit seed from the operating system's random source."""
    return int.from_bytes(os.urandom(8), "little")


# ---------------------------------------------------------------------------
# Value checks: (value, name) -> converted value, or TypeError / ValueError


def _type_name(value: Any) -> str:
    return type(value).__name__


def integer(value: Any, name: str, minimum: int = 0, maximum: int | None = None) -> int:
    """``value`` as a Python int in [minimum, maximum], or an error naming ``name``."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        result = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {_type_name(value)}") from None
    if result < minimum:
        if minimum == 0:
            raise ValueError(f"{name} must be non-negative, got {result}")
        raise ValueError(f"{name} must be at least {minimum}, got {result}")
    if maximum is not None and result > maximum:
        raise ValueError(f"{name} must be at most {maximum}, got {result}")
    return result


def non_negative_int(value: Any, name: str) -> int:
    """``value`` as a Python int >= 0, or a TypeError / ValueError naming ``name``."""
    return integer(value, name)


def _count(value: Any, name: str) -> int:
    return integer(value, name, maximum=_COUNT_LIMIT)


def _optional(check: Callable[[Any, str], Any]) -> Callable[[Any, str], Any]:
    def optional(value: Any, name: str) -> Any:
        if value is None:
            return None
        try:
            return check(value, name)
        except TypeError as error:
            # "x must be an integer, not str" -> "x must be None or an integer, not str"
            raise TypeError(str(error).replace(f"{name} must be ", f"{name} must be None or ", 1)) from None
    return optional


def _at_least_one(value: Any, name: str) -> int:
    return integer(value, name, minimum=1, maximum=_COUNT_LIMIT)


def _seed(value: Any, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        result = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {_type_name(value)}") from None
    if not 0 <= result < SEED_LIMIT:
        raise ValueError(f"{name} must be in [0, 2**64), got {result}")
    return result


def _boolean(value: Any, name: str) -> bool:
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {_type_name(value)}")


def _real(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {_type_name(value)}")
    return float(value)


def _finite_real(value: Any, name: str) -> float:
    result = _real(value, name)
    if not math.isfinite(result):
        raise ValueError(f"{name} must be finite, not {result!r}")
    return result


def _weights(value: Any, name: str) -> tuple[float, ...]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of numbers, not {_type_name(value)}")
    if isinstance(value, np.ndarray):
        if value.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {value.shape}")
        if value.dtype.kind not in "iuf":
            raise TypeError(f"{name} must hold real numbers, not {value.dtype}")
        return tuple(float(w) for w in value.tolist())
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"{name} must be a sequence of numbers, not {_type_name(value)}") from None
    result = []
    for item in items:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, numbers.Real):
            raise TypeError(f"{name} must hold real numbers, found {_type_name(item)} {item!r}")
        result.append(float(item))
    return tuple(result)


def _pair(value: Any, name: str) -> tuple[int, int]:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a pair (start, stop), not {_type_name(value)}")
    try:
        start, stop = value
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair (start, stop), not {_type_name(value)}") from None
    return (_count(start, f"{name} start"), _count(stop, f"{name} stop"))


_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgtp]?)(i?b?)\s*", re.IGNORECASE)


def parse_size(text: str) -> int:
    """Bytes of a size such as "4G", "512M", "1.5GiB" or "1000000" (K, M, G, T are powers of 1024)."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(f"not a size: {text!r} (examples: 4G, 512M, 1.5GiB)")
    number, unit, _ = match.groups()
    scale = 1024 ** "bkmgtp".index(unit.lower() or "b")
    value = float(number) * scale
    if not math.isfinite(value) or value < 1:
        raise ValueError(f"not a usable size: {text!r}")
    return int(value)


def _size(value: Any, name: str) -> int:
    """Bytes: an integer >= 1 or a text for ``parse_size``."""
    if isinstance(value, str):
        try:
            return parse_size(value)
        except ValueError as error:
            raise ValueError(f"{name}: {error}") from None
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a size in bytes (an integer or a text such as '4G'), not {_type_name(value)}")
    return integer(value, name, minimum=1)


def count_terms(weights: Any) -> int:
    """The weights that make a term of the result: non-zero (NaN counts, -0.0 does not)."""
    return sum(1 for w in weights if w != 0.0)


def _choice_text(choices: tuple[Any, ...]) -> str:
    names = [repr(c) for c in choices]
    return names[0] if len(names) == 1 else f"{', '.join(names[:-1])} or {names[-1]}"


def _choice(choices: tuple[Any, ...]) -> Callable[[Any, str], Any]:
    def choice(value: Any, name: str) -> Any:
        if (value is None or isinstance(value, str)) and value in choices:
            return value
        raise ValueError(f"{name} must be {_choice_text(choices)}, not {value!r}")
    choice.choices = choices  # type: ignore[attr-defined]
    return choice


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
    Option("dim", 128, _count, "columns per direction", estimator_name="n_components", flag="--dim",
           parse=_parse_int, cli_minimum=1),
    Option("weights", (0.0, 1.0, 1.0), _weights, "weight of each power of the transition matrix",
           flag="--weights", parse=_parse_weights, metavar="W0,W1,..."),
    Option("undirected", True, _boolean, "make the graph undirected (A + A^T) before propagating",
           flag="--directed"),
    Option("seed", None, _optional(_seed), "random seed for a reproducible embedding (0 to 2**64 - 1)",
           estimator_name="random_state", flag="--seed", parse=_parse_int),
    Option("feature_weight", 1.0, _real, "weight of the node features in the initial embedding"),
    Option("columns", None, _optional(_pair), "the column range (start, stop) to compute"),
    Option("block_columns", None, _optional(_at_least_one), "columns computed at a time"),
    Option("normalization", None, _choice((None, "l2")), "scale each propagated row to unit length (l2)",
           flag="--normalization", parse=_parse_none),
    Option("degree_exponent", 0.0, _finite_real, "scale each node's starting row by degree**BETA",
           flag="--degree-exponent", parse=_parse_float, metavar="BETA"),
    Option("edge_weight", "raw", _choice(("raw", "binary", "log1p")),
           "use the weights as given (raw), as 1 (binary), or as log(1 + w) (log1p)", flag="--edge-weight"),
    Option("direction", "out", _choice(("out", "in", "both")),
           "with a directed graph: propagate along out-edges, in-edges, or both (2 x dim columns)",
           flag="--direction"),
    Option("combine", "sum", _choice(("sum", "concat")),
           "sum the weighted terms (dim columns) or put them side by side (concat: dim columns per "
           "non-zero weight)", flag="--combine"),
    # embed's resources
    Option("memory_limit", None, _optional(_size),
           "fit in column blocks that stay within SIZE bytes (e.g. 4G); needs an out target",
           flag="--memory-limit", metavar="SIZE"),
    # graphripple.distributed
    Option("blocks", None, _optional(_at_least_one), "number of column blocks (default: one per worker)"),
    # RippleEmbedding and estimate_memory
    Option("keep_terms", False, _boolean,
           "keep the propagated terms X(0) .. X(L-2) of the fit, so that embed_new can add nodes later"),
    # estimate_memory
    Option("num_nodes", 0, _count, "nodes of the graph"),
    Option("num_entries", 0, _count, "stored entries of the graph"),
    Option("feature_columns", 0, _count, "columns of the node features"),
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

    def with_seed(self, seed: int) -> Options:
        return replace(self, seed=seed)

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
                integer(result, option.name, minimum=option.cli_minimum)
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
