"""``python -m graphripple``: the command line (see ``graphripple.cli``).

With no arguments it runs the karate-club demonstration:

    python -m graphripple [--dim 64] [--seed 42] [--weights 0,1,1,1]
"""

from .cli import main

raise SystemExit(main(prog="python -m graphripple"))
