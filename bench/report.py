"""What the benchmark scripts share: their command line and their JSON file."""

import argparse
import json
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
