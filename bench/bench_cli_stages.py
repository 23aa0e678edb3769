"""Stage times of ``graphripple embed`` on an edge file, each run in a fresh process.

    python bench/bench_cli_stages.py EDGES [--runs 3] [-- extra embed arguments]

Every run starts a new interpreter, as a user's command would, so first-touch
costs (imports, fresh memory, the page cache of the output) count. The child
wraps ``Progress.stage`` to record each stage with a fine clock; the output
goes to a temporary folder (``--out-dir`` to choose one), replacing the
previous run's file as a repeated command would. Prints each run's stages,
then the best of the runs per stage and the load average before and after.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile

CHILD = r"""
import contextlib, json, sys, time
import graphripple.cli as cli
from graphripple._progress import Progress
times = []
original = Progress.stage
@contextlib.contextmanager
def stage(self, name):
    start = time.perf_counter()
    with original(self, name):
        yield
    times.append((name.split(" ")[0], time.perf_counter() - start))
Progress.stage = stage
status = cli.main(sys.argv[1:], prog="graphripple")
print("STAGES " + json.dumps(times), file=sys.stderr)
sys.exit(status)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("edges")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--out-dir", default=None)
    parser.add_argument("--name", default="out.npy", help="output file name (its suffix picks the format)")
    argv = sys.argv[1:]
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:len(argv) - len(extra) - (1 if extra else 0)])
    folder = args.out_dir or tempfile.mkdtemp(prefix="bench_cli_")
    output = os.path.join(folder, args.name)
    command = [sys.executable, "-c", CHILD, "embed", args.edges, "-o", output, "--dim", "128", "--seed", "1",
               *extra]
    print(f"load average before: {os.getloadavg()}")
    best: dict[str, float] = {}
    for run in range(args.runs):
        done = subprocess.run(command, capture_output=True, text=True, check=False)
        line = [text for text in done.stderr.splitlines() if text.startswith("STAGES ")]
        if done.returncode != 0 or not line:
            sys.exit(f"run failed ({done.returncode}):\n{done.stderr}")
        stages = json.loads(line[-1][len("STAGES "):])
        print(f"run {run + 1}: " + "  ".join(f"{name} {seconds:.3f}" for name, seconds in stages))
        for name, seconds in stages:
            best[name] = min(best.get(name, float("inf")), seconds)
    non_fit = sum(seconds for name, seconds in best.items() if name != "fitting")
    print("best:  " + "  ".join(f"{name} {seconds:.3f}" for name, seconds in best.items())
          + f"  | non-fit {non_fit:.3f}")
    print(f"load average after: {os.getloadavg()}")


if __name__ == "__main__":
    main()
