"""Benchmark: make_many on the core's thread pool, this build against another.

    python -P bench/batch_pool.py                          # the installed build alone
    python -P bench/batch_pool.py --other /path/site-dir   # and another build, same run

The other build is a folder that holds a quillbank package (for example
`pip install --no-deps --target DIR .` of another commit).  Each build runs
in child processes of its own, in interleaved rounds, and the best round of
each counts, so that a busy moment of the shared machine falls on both
alike.  Every call makes messages new to it: 20,000 boarding passes (100
bytes) and 2,000 random messages of 500 bytes, on 1 and 2 threads.  Wall
time is what a caller waits; CPU time (every thread's, the interpreter's
included) is what the batch costs, and is steadier on a busy machine.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)  # -P leaves this folder out
from payloads import boarding_pass  # noqa: E402

RUNS = [("boarding passes", 20000, 1), ("boarding passes", 20000, 2),
        ("500 random bytes", 2000, 1), ("500 random bytes", 2000, 2)]


def messages(kind, count, seed):
    rng = random.Random(seed)
    if kind == "boarding passes":
        return [boarding_pass(rng) for _ in range(count)]
    return [bytes(rng.randrange(256) for _ in range(500)) for _ in range(count)]


def child(seed):
    """Symbols a second for each run, with this process's quillbank."""
    import quillbank.aztec as aztec

    rates = []
    for number, (kind, count, threads) in enumerate(RUNS):
        batch = messages(kind, count, seed * 100 + number)
        start, cpu = time.perf_counter(), time.process_time()
        made = aztec.make_many(batch, threads=threads)
        rates += [count / (time.perf_counter() - start), count / (time.process_time() - cpu)]
        assert len(made) == count
    print(json.dumps(rates))


def round_of(path, seed):
    env = dict(os.environ)
    if path:
        env["PYTHONPATH"] = path
    out = subprocess.run([sys.executable, "-P", __file__, "--child", str(seed)], env=env, capture_output=True,
                         text=True, check=True, cwd=HERE).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--other", help="a folder holding another build's quillbank package")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child is not None:
        return child(args.child)
    builds = {"installed": None}
    if args.other:
        builds["other"] = args.other
    best = {name: [0.0] * 2 * len(RUNS) for name in builds}
    for number in range(args.rounds):
        # Both builds get the same fresh messages in a round, each going
        # first in every other round.
        for name, path in sorted(builds.items(), reverse=number % 2 == 1):
            best[name] = [max(a, b) for a, b in zip(best[name], round_of(path, number + 1))]
    print(f"make_many, symbols a second (best of {args.rounds} rounds; load {os.getloadavg()[0]:.1f})")
    for clock, offset in (("wall time", 0), ("CPU time", 1)):
        print(f"{clock:32}" + "".join(f"{name:>12}" for name in builds) + ("      ratio" if args.other else ""))
        for index, (kind, count, threads) in enumerate(RUNS):
            row = f"{count} {kind}, {threads} thread{'s' * (threads > 1)}"
            figures = [best[name][2 * index + offset] for name in builds]
            line = f"  {row:30}" + "".join(f"{figure:12,.0f}" for figure in figures)
            if args.other:
                line += f"{figures[0] / figures[1]:11.3f}"
            print(line)


if __name__ == "__main__":
    main()
