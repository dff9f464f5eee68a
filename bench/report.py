"""What the benchmark scripts share: their command line, their JSON file,
and rounds of a script's child processes for this build and another."""

import argparse
import json
import os
import subprocess
import sys


def parser(doc, repeat=5, what="timings"):
    """An argument parser described by the script's docstring ``doc``, with
    --json FILE and --repeat N (default ``repeat``)."""
    made = argparse.ArgumentParser(description=doc.splitlines()[0])
    made.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    made.add_argument("--repeat", type=int, default=repeat,
                      help=f"{what} per figure, the best is kept (default {repeat})")
    return made


def write_json(path, rows):
    """Writes ``rows`` with the Python version to ``path``, when given."""
    if path:
        with open(path, "w") as out:
            json.dump({"python": sys.version, "results": rows}, out, indent=2)


def build_rounds(script, child):
    """Runs ``script`` (a benchmark's __file__) as its own child, in rounds
    for the installed build and, with --other DIR, the build in DIR (a folder
    that holds a quillbank package), interleaved so that a busy moment of
    the machine falls on both alike; the child (``child(seed)``, when the
    script is run with --child SEED) prints its figures as JSON.  Returns
    {build name: [each round's figures]}, or None in the child."""
    made = argparse.ArgumentParser()
    made.add_argument("--other", help="a folder holding another build's quillbank package")
    made.add_argument("--rounds", type=int, default=5)
    made.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = made.parse_args()
    if args.child is not None:
        child(args.child)
        return None
    builds = {"installed": None}
    if args.other:
        builds["other"] = args.other
    rounds = {name: [] for name in builds}
    for number in range(args.rounds):
        # Both builds get the same fresh messages in a round, each going
        # first in every other round.
        for name, path in sorted(builds.items(), reverse=number % 2 == 1):
            env = dict(os.environ)
            if path:
                env["PYTHONPATH"] = path
            out = subprocess.run([sys.executable, "-P", script, "--child", str(number + 1)], env=env,
                                 capture_output=True, text=True, check=True, cwd=os.path.dirname(script)).stdout
            rounds[name].append(json.loads(out))
    return rounds
