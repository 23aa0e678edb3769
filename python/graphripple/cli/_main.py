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
import os
import sys
import threading
import time
import warnings
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence, TextIO

import numpy as np

from . import _similar_cli, edge_files, embedding_files, safe_output
from .memory import human_bytes as _human, pick_block_columns
from .options import add_cli_arguments, check_options, cli_spelling, cli_values, parse_size
from .progress import bar_text

__all__ = ["main", "Progress", "parse_size"]

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_BAD_INPUT = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report it
EXIT_TERMINATED = safe_output.EXIT_TERMINATED  # 128 + SIGTERM

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
# Progress


class Progress:
    """Stage-by-stage progress on stderr, shown once a run passes ``delay`` seconds.

    On a terminal (``terminal=True``) the current stage is one line redrawn
    in place from a background thread (so a long native call still shows
    time passing): a bar with its percentage and the time left once the
    stage reports how far it is (``update``), its elapsed time before.
    Otherwise each stage is one line, written when it ends. Stages that
    ended before the display started are printed when it starts. Disabled,
    it writes nothing.
    """

    def __init__(
        self,
        stream: TextIO,
        enabled: bool,
        *,
        terminal: bool = True,
        delay: float = 1.0,
        interval: float | None = 0.25,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._stream = stream
        self.enabled = enabled
        self._terminal = terminal
        self._delay = delay
        self._clock = clock
        self._started = clock()
        self._done: list[tuple[str, float]] = []
        self._printed = 0
        self._current: tuple[str, float] | None = None
        self._fraction: tuple[int, int] | None = None
        self._shown = False
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        if enabled and terminal and interval is not None:
            self._thread = threading.Thread(target=self._run, args=(interval,), daemon=True)
            self._thread.start()

    def _run(self, interval: float) -> None:
        while not self._stop.wait(interval):
            self.tick()

    def _write(self, text: str) -> None:
        with contextlib.suppress(OSError, ValueError):
            self._stream.write(text)
            self._stream.flush()

    def _passed_delay(self, now: float) -> bool:
        if not self._shown and now - self._started >= self._delay:
            self._shown = True
        return self._shown

    def tick(self) -> None:
        """Redraw the current stage (called by the thread; public for tests)."""
        if not self.enabled:
            return
        with self._lock:
            now = self._clock()
            if not self._passed_delay(now):
                return
            self._flush_done()
            if self._current is not None and self._terminal:
                name, start = self._current
                if self._fraction is not None:
                    done, total = self._fraction
                    self._write(f"\rgraphripple: {bar_text(name, done, total, now - start)} ")
                else:
                    self._write(f"\rgraphripple: {name} ... {now - start:.1f} s ")

    def _flush_done(self) -> None:
        while self._printed < len(self._done):
            name, seconds = self._done[self._printed]
            redraw = self._terminal and self._printed == len(self._done) - 1 and self._current is None
            prefix = "\r" if redraw else ""
            self._write(f"{prefix}graphripple: {name} ... {seconds:.1f} s\n")
            self._printed += 1

    @contextlib.contextmanager
    def stage(self, name: str) -> Iterator[None]:
        """Time the block as stage ``name``."""
        with self._lock:
            self._current = (name, self._clock())
            self._fraction = None
        try:
            yield
        finally:
            with self._lock:
                assert self._current is not None
                stage_name, start = self._current
                now = self._clock()
                self._done.append((stage_name, now - start))
                self._current = None
                self._fraction = None
                if self.enabled and self._passed_delay(now):
                    self._flush_done()

    def update(self, done: int, total: int) -> None:
        """How far the current stage has come (drawn at the next tick)."""
        with self._lock:
            self._fraction = (done, total)

    def reporter(self, stage: str = "fit") -> Callable[[str, int, int], None]:
        """A ``progress`` callback for ``graphripple.embed`` feeding ``update`` with its ``stage`` reports."""
        def report(reported: str, done: int, total: int) -> None:
            if reported == stage:
                self.update(done, total)
        return report

    def note(self, text: str) -> None:
        """A line shown at once when progress is enabled (such as a memory estimate)."""
        if self.enabled:
            with self._lock:
                self._write(f"graphripple: {text}\n")

    def close(self, summary: str | None = None) -> None:
        """Stop the display; ``summary`` is printed when anything was shown."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        if self.enabled and self._shown and summary:
            with self._lock:
                self._write(f"graphripple: {summary} in {self._clock() - self._started:.1f} s\n")


# ---------------------------------------------------------------------------
# Argument parsing


def _size_argument(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


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
                       help="where to write the embedding (.npz, .txt/.w2v, .parquet, .npy)")
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
    embed.add_argument("--memory-limit", type=_size_argument, metavar="SIZE",
                       help="with -o FILE.npy: compute the embedding in column blocks that fit SIZE "
                       "(e.g. 4G) and write it to a memory-mapped .npy")
    embed.add_argument("--quiet", "-q", action="store_true", help="no progress on stderr")

    demo = commands.add_parser(
        "demo", help="embed Zachary's karate club and recover its two factions",
        description="Embed Zachary's karate club and see whether the two factions fall apart.",
    )
    _add_demo_options(demo)
    _similar_cli.add_parser(commands)
    return parser


def _add_demo_options(parser: argparse.ArgumentParser) -> None:
    add_cli_arguments(parser, _DEMO_OPTIONS, _DEMO_DEFAULTS)
    parser.add_argument("--plot", metavar="PNG",
                        help="also draw the 2-D projection (PCA) coloured by faction (needs matplotlib)")


# ---------------------------------------------------------------------------
# embed


def _graphripple() -> Any:
    import graphripple

    return graphripple


def _estimate(n: int, m: int, width: int, weights: Sequence[float], undirected: bool, combine: str) -> int | None:
    try:
        return int(_graphripple().estimate_memory(n, m, width, weights=list(weights), undirected=undirected,
                                                  combine=combine))
    except (TypeError, ValueError):
        return None


def _embed_options(args: argparse.Namespace) -> dict[str, Any]:
    """Keyword arguments for ``graphripple.embed`` (all but dim and weights)."""
    return {name: value for name, value in cli_values(args, _EMBED_OPTIONS).items() if name not in ("dim", "weights")}


def _check_output(args: argparse.Namespace) -> embedding_files.Format:
    """Check the output before anything is read: format, folder, not an input."""
    try:
        kind = embedding_files.format_for(args.output, args.format)
        safe_output.check_output_path(args.output, inputs=[args.edges], fmt=kind)
        if kind == "npy" and safe_output.same_file(embedding_files.nodes_path(args.output), args.edges):
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
    # The rules between options, in the command line's words.
    check_options(spell=cli_spelling, **cli_values(args, _EMBED_OPTIONS))
    return kind


def run_embed(args: argparse.Namespace, stderr: TextIO) -> int:
    kind = _check_output(args)
    progress = Progress(stderr, not args.quiet, terminal=_isatty(stderr))
    try:
        return _run_embed(args, kind, progress)
    finally:
        progress.close()


def _run_embed(args: argparse.Namespace, kind: embedding_files.Format, progress: Progress) -> int:
    gr = _graphripple()
    with progress.stage(f"reading {args.edges}"), warnings.catch_warnings(record=True) as notes:
        warnings.simplefilter("always", edge_files.EdgeFileNote)
        edges = edge_files.read_edges(args.edges, delimiter=args.delimiter, labels=True if args.labels else None,
                                      header=args.header)
    for note in notes:
        if issubclass(note.category, edge_files.EdgeFileNote):
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
        graph = gr.to_csr(edges)
        del edges
        _release_allocator_caches()
    nodes, num_nodes = graph.nodes, graph.num_nodes
    checked = check_options(spell=cli_spelling, **cli_values(args, _EMBED_OPTIONS))
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
                    gr.embed(graph, args.dim, args.weights, out=out, block_columns=block,
                             progress=progress.reporter(), **options)
                # Leaving the block flushes the map, writes the labels and renames.
                writing.enter_context(progress.stage(f"writing {args.output}"))
        progress.close(f"wrote {args.output}")
        return EXIT_OK
    with progress.stage(f"fitting ({num_nodes} x {width})"):
        embedding = gr.embed(graph, args.dim, args.weights, progress=progress.reporter(), **options)
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


def _isatty(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


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
        with safe_output.terminate_on_sigterm():
            if args.command == "similar":
                return _similar_cli.run(args, sys.stdout)
            if args.command == "embed":
                return run_embed(args, sys.stderr)
            return run_demo(args)
    except (CommandError, edge_files.EdgeFileError, ValueError, TypeError, ImportError) as error:
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
    except safe_output.Terminated:
        _fail(prog, "terminated")
        return EXIT_TERMINATED


def _fail(prog: str, message: str) -> None:
    first = message.strip().splitlines()[0] if message.strip() else "failed"
    print(f"{prog}: error: {first}", file=sys.stderr)


if __name__ == "__main__":
    raise SystemExit(main())
