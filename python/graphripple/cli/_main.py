"""The ``graphripple`` command (also ``python -m graphripple``).

    graphripple embed EDGES -o OUT [--dim 128] [--weights 0,1,1] [--directed]
                [--seed S] [--delimiter D] [--format npz|w2v|parquet|npy]
                [--memory-limit 4G] [--quiet] ...
    graphripple demo [--plot karate.png] [--dim 64] [--seed 42] [--weights 0,1,1,1]

With no arguments (or only the demonstration's options) it runs the
karate-club demonstration. Exit status: 0 on success, 2 for bad arguments
or a bad input file (one line on stderr naming the file and line), 1 for
other failures (such as running out of memory or disk), 130 after Ctrl-C
and 143 after SIGTERM. Nothing is written under the output name unless the
whole run succeeds, and no temporary file is left behind.

Progress goes to stderr for runs longer than a second, unless --quiet is
given: on a terminal the current stage is a bar redrawn in place (its
percentage and the time left, once the fit reports them), otherwise one
line per finished stage.
"""

from __future__ import annotations

import argparse
import contextlib
import sys
import warnings
from pathlib import Path
from typing import Any, Sequence, TextIO

import numpy as np

from .. import _signals
from .._embed import embed
from .._graph_input import to_csr
from .._memory_model import estimate_memory, human_bytes as _human, pick_block_columns
from .._options import Options, add_cli_arguments, check_options, cli_spelling, cli_values
from .._progress import Progress, isatty
from ..io import _embedding_files as embedding_files
from ..io._common import EdgeFileError, EdgeFileNote
from ..io._edge_text import read_edges
from . import _similar
from ..io._atomic import is_stream, same_file
from ._output import check_output_path

__all__ = ["main", "build_parser"]

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
EXIT_TERMINATED = _signals.EXIT_TERMINATED  # 128 + SIGTERM

# Above this many multiply-adds a run is expected to take more than about a
# second, and its memory estimate is shown before it starts.
_LONG_RUN_FLOPS = 2e9

# How the native module's out-of-memory report begins.
_NATIVE_OUT_OF_MEMORY = "Out Of Memory (OOM)"


class CommandError(Exception):
    """A failure reported as one line; ``status`` is the exit status."""

    def __init__(self, message: str, status: int = EXIT_BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------
# Argument parsing


# The fit's options on the command line, as the option table defines them.
_EMBED_OPTIONS = ("dim", "weights", "undirected", "direction", "seed", "normalization", "degree_exponent",
                  "edge_weight", "combine")
_DEMO_OPTIONS = ("dim", "seed", "weights")
_DEMO_DEFAULTS = {"dim": 64, "seed": 42, "weights": [0.0, 1.0, 1.0, 1.0]}


def build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Node embeddings of weighted graphs by iterated sparse random projection.",
        epilog="Without a command: the karate-club demonstration (see '%(prog)s demo --help').",
    )
    commands = parser.add_subparsers(dest="command", metavar="{embed,demo,similar}")

    embed = commands.add_parser(
        "embed", help="embed the graph of an edge file and save the result",
        description="Embed the graph of an edge file. EDGES: a text edge list 'src dst [weight]' "
        "(white space, tab or comma; '#' comments; gzip when it ends in .gz), a .npz (scipy.sparse "
        "or arrays src, dst[, weight, num_nodes]) or a Matrix Market .mtx (needs scipy).",
    )
    embed.add_argument("edges", metavar="EDGES", help="the edge file")
    embed.add_argument("-o", "--output", required=True, metavar="OUT",
                       help="where to write the embedding (.npz, .txt/.w2v, .parquet, .npy); - for standard "
                       "output (with --format)")
    embed.add_argument("--format", choices=("npz", "w2v", "parquet", "npy"),
                       help="output format (default: from the suffix of OUT)")
    add_cli_arguments(embed, _EMBED_OPTIONS)
    embed.add_argument("--delimiter", help="field separator of a text edge list: one character, 'tab', "
                       "'comma', 'space' or 'whitespace' (default: detected)")
    embed.add_argument("--labels", action="store_true",
                       help="read node ids as labels even when they are integers (rows in order of first "
                       "appearance); the default uses integer ids as row numbers")
    embed.add_argument("--header", action=argparse.BooleanOptionalAction, default=None,
                       help="the first line of a text edge list is (--header) or is not (--no-header) a "
                       "header to skip (default: skipped when it is not numeric and the next line is)")
    add_cli_arguments(embed, ("memory_limit",))
    embed.add_argument("--quiet", "-q", action="store_true", help="no progress on stderr")

    demo = commands.add_parser(
        "demo", help="embed Zachary's karate club and recover its two factions",
        description="Embed Zachary's karate club and see whether the two factions fall apart.",
    )
    _add_demo_options(demo)
    _similar.add_parser(commands)
    return parser


def _add_demo_options(parser: argparse.ArgumentParser) -> None:
    add_cli_arguments(parser, _DEMO_OPTIONS, _DEMO_DEFAULTS)
    parser.add_argument("--plot", metavar="PNG",
                        help="also draw the 2-D projection (PCA) coloured by faction (needs matplotlib)")


# ---------------------------------------------------------------------------
# embed


def _estimate(n: int, m: int, width: int, weights: Sequence[float], undirected: bool, combine: str) -> int | None:
    try:
        return int(estimate_memory(n, m, width, weights=list(weights), undirected=undirected, combine=combine))
    except (TypeError, ValueError):
        return None


def _embed_options(args: argparse.Namespace) -> dict[str, Any]:
    """Keyword arguments for ``graphripple.embed`` (all but dim and weights)."""
    return {name: value for name, value in cli_values(args, _EMBED_OPTIONS).items() if name not in ("dim", "weights")}


def _check_output(args: argparse.Namespace) -> tuple[embedding_files.Format, Options]:
    """Check the output and the options before anything is read: format, folder, not an input."""
    if args.output == "-":  # standard output, written as a stream
        args.output = "/dev/stdout"
    try:
        kind = embedding_files.format_for(args.output, args.format)
        check_output_path(args.output, inputs=[args.edges], fmt=kind)
        if kind == "npy" and same_file(embedding_files.nodes_path(args.output), args.edges):
            raise ValueError(f"{args.output}: its labels file is the input file {args.edges!r}; choose another name")
    except ValueError as error:
        raise CommandError(str(error)) from None
    except OSError as error:  # a folder that takes no new files
        raise CommandError(f"{error.filename}: {error.strerror}") from None
    if kind == "parquet":
        try:
            import pyarrow.parquet  # noqa: F401
        except ImportError:
            raise CommandError("--format parquet needs pyarrow (pip install 'graphripple[arrow]')") from None
    if args.memory_limit is not None and kind != "npy":
        raise CommandError("--memory-limit writes a memory-mapped .npy: use -o FILE.npy (or --format npy)")
    if is_stream(args.output) and (args.memory_limit is not None or (kind == "npy" and args.labels)):
        what = "--memory-limit maps the output file" if args.memory_limit is not None else \
            "a .npy with labels is two files"
        raise CommandError(f"{args.output}: {what}, which a stream cannot be; write to a regular file")
    # The rules between options, in the command line's words.
    return kind, check_options(spell=cli_spelling, **cli_values(args, _EMBED_OPTIONS))


def run_embed(args: argparse.Namespace, stderr: TextIO) -> int:
    kind, checked = _check_output(args)
    progress = Progress(stderr, not args.quiet, terminal=isatty(stderr))
    try:
        return _run_embed(args, kind, checked, progress)
    finally:
        progress.close()


def _run_embed(args: argparse.Namespace, kind: embedding_files.Format, checked: Options, progress: Progress) -> int:
    with progress.stage(f"reading {args.edges}"), warnings.catch_warnings(record=True) as notes:
        warnings.simplefilter("always", EdgeFileNote)
        edges = read_edges(args.edges, delimiter=args.delimiter, labels=True if args.labels else None,
                           header=args.header)
    for note in notes:
        if issubclass(note.category, EdgeFileNote):
            print(f"graphripple: note: {note.message}", file=sys.stderr)
        else:
            warnings.showwarning(note.message, note.category, note.filename, note.lineno)
    if edges.weight is not None and not bool(np.isfinite(edges.weight).all()):
        bad = int(np.count_nonzero(~np.isfinite(edges.weight)))
        print(f"graphripple: warning: {args.edges}: {bad} edge weights are not finite (NaN or infinite, "
              "perhaps overflowing numbers); they spread to every row they reach", file=sys.stderr)
    num_entries = len(edges)
    options = _embed_options(args)
    undirected = options["undirected"]
    with progress.stage("building the graph"):
        graph = to_csr(edges)
        del edges
        _release_allocator_caches()
    nodes, num_nodes = graph.nodes, graph.num_nodes
    width = checked.total_columns
    chained = args.dim * (2 if args.direction == "both" else 1)  # columns the propagations carry
    flops = float(num_entries * (2 if undirected else 1) + num_nodes) * chained * max(len(args.weights) - 1, 1)
    estimate = _estimate(num_nodes, num_entries, args.dim, args.weights, undirected, args.combine)
    if estimate is not None and flops > _LONG_RUN_FLOPS:
        progress.note(f"{num_nodes} nodes, {num_entries} edges: estimated peak memory {_human(estimate)}")
    if args.memory_limit is not None:
        # What the process already holds (the graph arrays, the interpreter,
        # allocator caches) counts against the limit too.
        held = max(graph.row_ptrs.nbytes + graph.col_indices.nbytes + graph.values.nbytes,
                   _resident_anonymous_bytes() or 0)
        try:
            block = pick_block_columns(args.memory_limit, num_nodes, num_entries, min(args.dim, width),
                                       args.weights, undirected, held, limit_name="--memory-limit",
                                       combine=args.combine)
        except ValueError as error:
            raise CommandError(str(error)) from None
        progress.note(f"{block} columns per block for --memory-limit {_human(args.memory_limit)}")
        # The file's space is reserved before it is mapped: a full disk is an
        # error here, not a SIGBUS in the middle of the fit.
        writing = contextlib.ExitStack()
        with writing:
            with embedding_files.npy_output(args.output, (num_nodes, width), nodes) as out:
                with progress.stage(f"fitting ({num_nodes} x {width}, blocks of {block} columns)"):
                    embed(graph, args.dim, args.weights, out=out, block_columns=block,
                             progress=progress.reporter(), **options)
                # Leaving the block flushes the map, writes the labels and renames.
                writing.enter_context(progress.stage(f"writing {args.output}"))
        progress.close(f"wrote {args.output}")
        return EXIT_OK
    with progress.stage(f"fitting ({num_nodes} x {width})"):
        embedding = embed(graph, args.dim, args.weights, progress=progress.reporter(), **options)
    with progress.stage(f"writing {args.output}"):
        embedding_files.save(args.output, embedding, nodes, format=kind)
    progress.close(f"wrote {args.output}")
    return EXIT_OK


def _release_allocator_caches() -> None:
    """Hand memory that pyarrow's allocator keeps after reading back to the system.

    Its pool otherwise holds the freed parse buffers (hundreds of MB for
    ten million edges) through the whole fit.
    """
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None:
        with contextlib.suppress(Exception):
            pyarrow.default_memory_pool().release_unused()


def _resident_anonymous_bytes() -> int | None:
    """This process's resident anonymous memory (Linux), or None where unknown.

    File-backed pages, such as those of the memory-mapped output, are left
    out: the kernel can write them back and drop them under pressure.
    """
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        return None
    return None


# ---------------------------------------------------------------------------
# demo


def run_demo(args: argparse.Namespace) -> int:
    from . import _demo

    plot = getattr(args, "plot", None)
    if plot is not None:
        folder = Path(plot).parent
        if not folder.is_dir():
            raise CommandError(f"{plot}: the folder {str(folder)!r} does not exist")
    embedding = _demo.run(args.dim, args.weights, args.seed)
    if plot is not None:
        try:
            _demo.plot(plot, embedding)
        except ImportError as error:
            raise CommandError(str(error)) from None
        print(f"Projection drawn to {plot}")
    return EXIT_OK


# ---------------------------------------------------------------------------
# main


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command line with ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    arguments = list(sys.argv[1:] if argv is None else argv)
    if prog is None:
        prog = "python -m graphripple" if Path(sys.argv[0]).name == "__main__.py" else "graphripple"
    parser = build_parser(prog)
    # The demonstration's own options, given without a command, still run it.
    if not arguments or (arguments[0].startswith("-") and arguments[0] not in ("-h", "--help")):
        arguments = ["demo", *arguments]
    args = parser.parse_args(arguments)
    try:
        # SIGTERM, like Ctrl-C, becomes an exception so that every temporary
        # file is removed on the way out.
        with _signals.terminate_on_sigterm():
            if args.command == "similar":
                return _similar.run(args, sys.stdout)
            if args.command == "embed":
                return run_embed(args, sys.stderr)
            return run_demo(args)
    except (CommandError, EdgeFileError, ValueError, TypeError, ImportError) as error:
        status = error.status if isinstance(error, CommandError) else EXIT_BAD_INPUT
        message = str(error)
        if message.startswith(_NATIVE_OUT_OF_MEMORY):
            # The native report spans several lines; its second names the size.
            lines = message.splitlines()
            detail = lines[1].lstrip("- ") if len(lines) > 1 else ""
            message = f"out of memory ({detail}); try --memory-limit with -o FILE.npy"
            status = EXIT_FAILURE
        _fail(prog, message)
        return status
    except MemoryError:
        _fail(prog, "out of memory (try --memory-limit with -o FILE.npy)")
        return EXIT_FAILURE
    except OSError as error:
        _fail(prog, f"{error.filename or ''}{': ' if error.filename else ''}{error.strerror or error}")
        return EXIT_FAILURE
    except KeyboardInterrupt:
        _fail(prog, "interrupted")
        return EXIT_INTERRUPTED
    except _signals.Terminated:
        _fail(prog, "terminated")
        return EXIT_TERMINATED


def _fail(prog: str, message: str) -> None:
    first = message.strip().splitlines()[0] if message.strip() else "failed"
    print(f"{prog}: error: {first}", file=sys.stderr)


if __name__ == "__main__":
    raise SystemExit(main())
